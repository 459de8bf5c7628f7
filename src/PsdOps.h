// PSD maps: the dialect, readPSDHeader, merge and channel swap.
#pragma once

#include <cstdint>
#include <vector>

// Pixel data of the PSD operation in progress.
extern std::vector<std::uint8_t> _img;
