// Targa copies of 8-bit TIFF maps: an 18-byte header for uncompressed
// 24-bit true colour, then the rows bottom row first in blue, green, red
// order, taken from the TIFF's single strip. The conversion's codes and
// rows are in TargaCodes.h.
#pragma once

#include <cstdint>

#include "TargaCodes.h"

inline constexpr std::uint32_t kTargaMaxDimension = 65535;

// Writes the Targa copy of tiffPath to tgaPath; 0 or a code (its rows in
// TargaCodes.h).
float convertToTarga(const char* tiffPath, const char* tgaPath);
