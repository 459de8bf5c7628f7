// The per-coordinate arithmetic of UV tiles and its SIMD paths.
//
// A face belongs to the tile of its corner 0: U = u - 1 truncated if u < 0,
// else u truncated (likewise V), so u = 1 is tile 1 and u = -1 is tile -2.
// Coordinates beyond the int32 range saturate and NaN counts as 0.
//
// The tile loops convert one coordinate at a time, so the paths are inline
// here and the hot path is the widest one this build has, chosen when it is
// compiled (SSE2 is in every x86 processor the build runs on).
#pragma once

#include <cstdint>
#include <cstring>

#include "Platform.h"

#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#endif

namespace meskkernels {

// float to int32 truncated toward zero, saturated, NaN as 0.
inline std::int32_t truncSatPortable(float t) {
    if (!(t == t)) return 0;
    if (t >= 2147483648.0f) return INT32_MAX;
    if (t < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(t);
}

#if BRINDLEX_X86_SIMD
// The truncating conversion gives INT32_MIN for NaN and for everything out
// of range; only then is the value looked at more closely.
inline std::int32_t truncSatSse2(float t) {
    const std::int32_t i = _mm_cvttss_si32(_mm_set_ss(t));
    return i != INT32_MIN ? i : truncSatPortable(t);
}
#endif

// The widest path this build has.
// The quiet NaN of a NaN's payload (the quiet bit set).
inline float quietNaN(float nan) {
    std::uint32_t bits;
    std::memcpy(&bits, &nan, sizeof bits);
    bits |= 0x00400000u;
    std::memcpy(&nan, &bits, sizeof bits);
    return nan;
}

inline std::int32_t truncSat(float t) {
#if BRINDLEX_X86_SIMD
    return truncSatSse2(t);
#else
    return truncSatPortable(t);
#endif
}

}  // namespace meskkernels

// The float to int32 conversion of the tile indices by path number
// (Platform.h): simd::kPortable or kSse2; false when this build lacks it
// (out is left alone then).
bool truncSatWith(int path, float t, std::int32_t& out);

// Tile index of one coordinate.
inline std::int32_t uvTileIndex(float w) { return meskkernels::truncSat(w < 0.0f ? w - 1.0f : w); }

// Integer part and tile-local fraction (0 <= f < 1 for ordinary input) of
// one coordinate, by the same rule as uvTileIndex.
inline void uvLocal(float w, std::int32_t& index, float& local) {
    float t = w < 0.0f ? w - 1.0f : w;
    index = meskkernels::truncSat(t);
    float f = t - static_cast<float>(index);
    local = f < 0.0f ? f + 1.0f : f;
    // A NaN comes out quiet, with its payload, as the subtraction makes it:
    // where the compiler sees that a NaN's index is 0 it drops the
    // subtraction and a signalling NaN would pass unchanged, so the bits
    // would depend on inlining.
    if (local != local) local = meskkernels::quietNaN(local);
}
