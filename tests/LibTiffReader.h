// An independent check of written TIFF files with libtiff (POSIX builds).
// Kept apart from the module's tests: libtiff's C names and the library's
// own tiff namespace cannot share a translation unit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LibTiffImage {
    std::uint32_t width = 0, length = 0;
    std::uint16_t bits = 0, samples = 0, format = 1;
    std::vector<std::uint8_t> strip;  // the decoded single strip
};

// False when libtiff refuses the file or it does not hold one strip.
bool readWithLibTiff(const std::string &path, LibTiffImage &img);
