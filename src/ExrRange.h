// EXR maps (POSIX and macOS builds): the span of the first channel. tinyexr
// decodes what it can; a map in a compression tinyexr lacks (PXR24, B44,
// B44A, DWAA, DWAB) is decoded by the OpenEXR library instead. Before
// either runs, header walks of our own refuse whatever would make it stop
// the process or allocate beyond what the file can hold.
#pragma once

namespace exr {

// The codes of our own making; every other negative result of openExrRange
// is tinyexr's own code.
inline constexpr float kRefused = -5.0f;           // refused before either decoder ran (tinyexr's "invalid file")
inline constexpr float kNoPixels = -131070.0f;     // no sample counted: the start values' span
inline constexpr float kLibraryFailed = -800.0f;   // the OpenEXR library could not decode the map

}  // namespace exr

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
