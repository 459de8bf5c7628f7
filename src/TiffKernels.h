// The SIMD kernels of the TIFF operations: the 16-bit quantisation of float
// samples, the marking of the levels a float map holds, and the span of
// 16-bit samples. Each has a portable path, compiled and tested in every
// build, beside its SIMD paths (Platform.h); the `...With` forms run one
// path by number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tiff {

// The quantisation of a float sample to 16 bits: f x 65535 in single
// precision, clamped to [0, 65535] (NaN gives 0), + 0.5, truncated.
inline std::uint16_t quantise16(float f) {
    float s = f * 65535.0f;
    if (s > 65535.0f) return 65535;
    if (s < 0.0f) return 0;
    if (s != s) return 0;
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<double>(s) + 0.5));
}

// quantise16 of n little-endian floats lying 4 bytes apart, into out; the
// widest path this build has.
void quantise16Run(const std::uint8_t* p, std::size_t n, std::uint16_t* out);
// One path by number (Platform.h): simd::kPortable or kSse2; false when this
// build lacks it (nothing is written then). Every path gives the same bits.
bool quantise16RunWith(int path, const std::uint8_t* p, std::size_t n, std::uint16_t* out);
// Sets seen[quantise16(sample)] to 1 for n such samples (seen holds 65536).
// The widest path this processor has.
void markLevels(const std::uint8_t* p, std::size_t n, std::uint8_t* seen);
// One path by number: simd::kPortable, kSse2 or kAvx2; false when this build
// or processor lacks it (nothing is marked then).
bool markLevelsWith(int path, const std::uint8_t* p, std::size_t n, std::uint8_t* seen);

// Widens [lo, hi] to the span of n 16-bit little-endian samples lying step
// bytes apart; the widest path this build has (grey maps, step 2, and the
// red of RGB maps, step 6, go eight samples at a time).
void range16(const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi, std::uint32_t& lo);
// One path by number: simd::kPortable or kSse2; false when this build lacks
// it (the span is left as it was then).
bool range16With(int path, const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi,
                 std::uint32_t& lo);

}  // namespace tiff
