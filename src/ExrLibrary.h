// The OpenEXR-library path of the EXR module (ExrRange.h): a strict walk of
// the header, read exactly as the library will read it, then the span of
// the first channel as the library decodes it.
#pragma once

#include "FileAccess.h"

namespace exr {

// The span of the first channel of the file's bytes (name: the file's name
// for the library's messages), or kRefused when the walk refuses the header
// or the library's view of it differs, kNoPixels, kLibraryFailed, or
// hostcall::kOutOfMemory. No exception leaves it.
float libraryRange(const fileio::Bytes& file, const char* name);

}  // namespace exr
