// BMP maps: the subset, merge, channel swap and thumbnails.
#pragma once

#include <cstdint>
#include <vector>

// Pixel data of the BMP operation in progress; emptied when it returns.
extern std::vector<std::uint8_t> _bmpV;
