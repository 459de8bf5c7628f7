// Targa copies of 8-bit TIFF maps: an 18-byte header for uncompressed
// 24-bit true colour, then the rows bottom row first in blue, green, red
// order. The rows are taken from the end of the TIFF file, where the
// dialect's single strip lies.
#pragma once

#include <cstdint>

namespace targa {
// Codes of the conversion besides the TIFF reader's tag checks (258
// positive, -259, -262, -273, -339), -10 and -101.
inline constexpr float kCannotCreate = -5.0f;  // the Targa file cannot be created
}  // namespace targa

inline constexpr std::uint32_t kTargaMaxDimension = 65535;

// Reads the 32-bit little-endian number at p, byte by byte.
std::uint32_t readLong_T(const std::uint8_t *p);
inline std::uint32_t readLong_TA(const std::uint8_t *p) { return readLong_T(p); }

// Writes the Targa copy of tiffPath to tgaPath; 0 or a code (README).
float convertToTarga(const char *tiffPath, const char *tgaPath);
