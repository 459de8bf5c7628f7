// Baseline JPEG encoder: a 24-bit BMP map in, a 4:4:4 JFIF file out, with
// the example quantisation tables scaled by a percentage, the AAN float
// DCT and the example Huffman tables. The conversion; its codes and rows
// are in JpegCodes.h, and the encoder itself is internal (JpegEncoder.h,
// JpegKernels.h, JpegBmpInput.h).
#pragma once

#include <cstdint>

#include "JpegCodes.h"

// Largest width or height accepted: the padded size must fit 16 bits.
inline constexpr std::uint32_t kJpegMaxDimension = 65528;

// The whole conversion: 0, 1 to 11 (jpegcode).
float convertToJPEG(const char* bmpPath, const char* jpegPath, int scale);
