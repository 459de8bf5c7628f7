// The JPEG encoder's input: a 24-bit BMP read eight rows at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileAccess.h"

// The stored layout of a 24-bit BMP as BitmapStripes reads it.
struct BitmapLayout {
    std::size_t w = 0, h = 0;  // true size
    std::size_t W = 0, H = 0;  // padded to multiples of 8
    std::size_t rowBytes = 0;  // one padded picture row, 3W
    std::size_t stored = 0;    // one stored row, 3w plus w mod 4
    std::uint64_t rowsAt = 0;  // the pixel-data offset of the header
    bool topDown = false;      // a negative height: the top row is stored first
};

// A 24-bit BMP, eight rows at a time. open checks the header (0, or 3 to 6,
// 9 or 11) and reports the true size; paddedWidth and paddedHeight give it
// padded to multiples of 8. load(y) fills data() with rows y .. y+7 of the padded
// picture, top row first, reading only their part of the file: columns
// past the width repeat the row's last pixel, rows past the height repeat
// the bottom row, and bytes missing from a short file read as zeros.
class BitmapStripes {
public:
    int open(const char* path, int& width, int& height);
    bool load(std::size_t y);
    std::uint8_t* data() { return stripe_.data(); }
    std::size_t paddedWidth() const { return layout_.W; }
    std::size_t paddedHeight() const { return layout_.H; }

private:
    fileio::FileWindow file_;
    BitmapLayout layout_;
    std::vector<std::uint8_t> stripe_, bottom_, rows_;
};
