// EXR maps (POSIX and macOS builds): the span of the first channel, read
// by tinyexr.
#pragma once

// OpenEXR: max - min of the first channel's samples (start values -65535
// and 65535, NaN skipped, single precision).
float openExrRange(const char* path);
