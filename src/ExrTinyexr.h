// The tinyexr path of the EXR module (ExrRange.h): the walks that refuse a
// header tinyexr would stop the process on or allocate beyond the file
// for, and the span of the first channel as tinyexr decodes it.
#pragma once

#include "FileAccess.h"

namespace exr {

// The three walks take a file of at least kExrMinBytes (ExrHeader.h).

// False when the header's data window spans more than 2^31 - 1 columns or
// rows (the bounds are 32-bit, so max - min + 1 can pass the int range and
// the decoder's sizes wrap). A header this walk cannot follow is left to
// the decoder.
bool exrWindowFits(const fileio::Bytes& b);

// True when tinyexr would stop the process on one of its assertions: in a
// file whose version says tiled, a tiles attribute that is not 9 bytes, or
// one with tiles no columns wide or no rows tall or the level mode 3; a type
// attribute that names another kind of image than the tiling says. A header
// this walk cannot follow is left to the decoder.
bool exrTinyexrAsserts(const fileio::Bytes& b);

// False when the header claims more than the file can hold, as tinyexr
// would allocate it before reading a chunk: an offset table past the end of
// the file, a tile of more than kMaxBlockBytes of samples, or more bytes of
// samples than kMaxClaim per byte of the file beyond kMaxBlockBytes.
// Headers tinyexr refuses by itself before it allocates (no channels or
// window, a window or tiles wider or taller than its limit, a compression
// it lacks) are left to it, as is a header this walk cannot follow.
bool exrClaimsFit(const fileio::Bytes& b);

// The span of the file's first channel through tinyexr, or tinyexr's code;
// a map in a compression tinyexr lacks (compression, as firstCompression
// reads it, PXR24 or later) goes to openExrLibraryRange.
float tinyexrRange(const char* path, int compression);

}  // namespace exr
