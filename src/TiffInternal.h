// What the files of the TIFF operations share and the exports do not see:
// the pieces of rows a new file's buffer holds, big-endian samples put in
// this library's order, the scale curve, and the operations themselves,
// which TiffOps.cpp runs once it has checked their arguments.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "NewFile.h"

namespace tiff {

// Rows of rowLen bytes in a piece of the new file's buffer (at least one).
inline std::uint32_t rowsPerPiece(std::uint64_t rowLen, std::uint32_t length) {
    const std::uint64_t k = std::max<std::uint64_t>(1, fileio::NewFile::kBuffer / std::max<std::uint64_t>(rowLen, 1));
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(k, length));
}

// The samples of a big-endian map in this library's order (little-endian,
// as every map it writes): each run of `width` bytes reversed in place.
template <std::size_t Width>
void toLittleEndian(std::uint8_t* p, std::size_t bytes) {
    for (std::size_t i = 0; i + Width <= bytes; i += Width) std::reverse(p + i, p + i + Width);
}

// The scale curve 18.49 x e^(1049 / N - 7.071e-5 x N): in double precision
// (Windows build) or wholly in single precision (macOS build).
float scaleCurve(std::uint32_t levels, bool doublePrecision);

// The operations, given paths that are not null and a mode or sample count
// their export takes.

// TiffConversions.cpp: convertTIFF16 (mode 1, 3 or 4) and convertTIFFSingle.
float convert16(const char* source, const char* destination, int mode);
float firstChannel(const char* source, const char* destination);

// TiffMeasures.cpp: getScale and getScale16 (samples 1 or 3).
float levelScale(const char* path, int samples);
float span16(const char* path, int samples);

// TiffRewrites.cpp: mergeMapsTIF (hack false) and mergeMapsTIFHack (true),
// and swapRGBTIF (mode 0 to 3).
float mergeMaps(const char* pathA, const char* pathB, bool hack);
float swapPair(const char* path, int mode);

}  // namespace tiff
