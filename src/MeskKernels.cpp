#include "MeskKernels.h"

#include "Platform.h"

#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#endif

namespace {

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

// The widest path this build has, inlined.
inline std::int32_t truncSat(float t) {
#if BRINDLEX_X86_SIMD
    return truncSatSse2(t);
#else
    return truncSatPortable(t);
#endif
}

}  // namespace

bool truncSatWith(int path, float t, std::int32_t& out) {
    switch (path) {
        case simd::kPortable:
            out = truncSatPortable(t);
            return true;
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            out = truncSatSse2(t);
            return true;
#endif
        default:
            return false;
    }
}

std::int32_t uvTileIndex(float w) { return truncSat(w < 0.0f ? w - 1.0f : w); }

void uvLocal(float w, std::int32_t& index, float& local) {
    float t = w < 0.0f ? w - 1.0f : w;
    index = truncSat(t);
    float f = t - static_cast<float>(index);
    local = f < 0.0f ? f + 1.0f : f;
}
