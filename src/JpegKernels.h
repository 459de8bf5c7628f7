// The JPEG encoder's kernels: the colour conversion of a block of the
// stripe into three data units, the AAN float DCT with its quantisation,
// and the non-zero mask of a block's coefficients. Each has a portable path
// and SIMD ones that give its results bit for bit (Platform.h); the
// `..._with(path, ...)` forms run one path by number for the tests.
#pragma once

#include <cstdint>

// The picture being encoded. The stripe, borrowed from BitmapStripes:
// eight padded rows of _width pixels, top row first, B G R per pixel.
extern const std::uint8_t* _RGB_buffer;
extern std::uint16_t _width, _height;  // padded dimensions (multiples of 8)

// The colour tables (weight x sample, in units of 1/65536) and the data
// units of the block last loaded.
extern std::int32_t YRtab[256], YGtab[256], YBtab[256];
extern std::int32_t CbRtab[256], CbGtab[256], CbBtab[256];
extern std::int32_t CrRtab[256], CrGtab[256], CrBtab[256];
extern std::int8_t YDU[64], CbDU[64], CrDU[64];

void precalculate_YCbCr_tables();

// The 8 x 8 block at x, y of _RGB_buffer into YDU, CbDU and CrDU, through
// the colour tables; the widest path this processor has.
void load_data_units_from_RGB_buffer(unsigned x, unsigned y);
// One path by number (Platform.h): simd::kPortable, kSse2 or kSsse3; false
// when this build or processor lacks it (nothing is loaded then).
bool load_data_units_with(int path, unsigned x, unsigned y);

// The transform and quantisation of one block; the widest path this
// processor has.
void fdct_and_quantization(const std::int8_t* data, const float* fdtbl, std::int16_t* outdata);
// One path by number: simd::kPortable, kSse2 (four lanes) or kAvx2 (eight
// lanes); false when this build or processor lacks it.
bool fdct_and_quantization_with(int path, const std::int8_t* data, const float* fdtbl, std::int16_t* outdata);

// Bit i set where c[i], of 64 coefficients, is non-zero; the widest path
// this build has.
std::uint64_t nonzero_mask(const std::int16_t* c);
// The same by path simd::kPortable or kSse2; false when this build lacks it.
bool nonzero_mask_with(int path, const std::int16_t* c, std::uint64_t& mask);
