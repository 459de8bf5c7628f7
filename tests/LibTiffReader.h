// An independent check of TIFF files with libtiff (POSIX builds): of the
// files the library writes, and of the maps other programs write that the
// library is given. Kept apart from the module's tests: libtiff's C names
// and the library's own tiff namespace cannot share a translation unit.
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
bool readWithLibTiff(const std::string& path, LibTiffImage& img);

// How a file is laid out, as libtiff reads its first directory.
struct LibTiffLayout {
    std::uint32_t width = 0, length = 0, strips = 0;
    std::uint16_t bits = 0, samples = 0, format = 1, photometric = 0, planar = 1, compression = 1;
    bool tiled = false, bigEndian = false;
    // Every sample, rows top first, samples interleaved, in this machine's
    // byte order; filled for uncompressed, untiled, interleaved files.
    std::vector<std::uint8_t> pixels;
};

// False when libtiff cannot open the file or read its rows.
bool inspectWithLibTiff(const std::string& path, LibTiffLayout& layout);
