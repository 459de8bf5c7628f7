// EXR maps (POSIX and macOS builds): the span of the first channel. tinyexr
// decodes what it can; a map in a compression tinyexr lacks (PXR24, B44,
// B44A, DWAA, DWAB) is decoded by the OpenEXR library instead. Before
// either runs, header walks of our own refuse whatever would make it stop
// the process or allocate beyond what the file can hold. The codes, and
// what the OpenEXR export's result means, are in ExrCodes.h.
#pragma once

#include "ExrCodes.h"

// OpenEXR: max - min of the first channel's samples (in the file's channel
// order; start values -65535 and 65535, NaN skipped, single precision).
float openExrRange(const char* path);

// The same measure through the OpenEXR library alone, whatever the
// compression: the fallback of openExrRange, and the second decoder the
// tests hold tinyexr's results against. A span, or kNoPixels, kRefused
// (also for any file but a single-part flat image of version 2),
// kLibraryFailed, -7 (cannot open), -9 (null path) or -9001 (out of
// memory); no exception leaves it.
float openExrLibraryRange(const char* path);
