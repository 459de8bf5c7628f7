#include "PsdKernels.h"

#include "Platform.h"

#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#endif

namespace {

using MergePlane8Fn = void (*)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                               const std::uint8_t*, std::size_t, std::uint8_t, std::uint8_t, std::uint8_t,
                               std::uint8_t*);
using MergePlane16Fn = void (*)(const std::uint8_t*, const std::uint8_t*, std::size_t, std::uint8_t, std::uint8_t,
                                std::uint8_t*);

// One block of a merged 8-bit plane: out[j] = s[j] where A's pixel differs
// from the key in any of its samples s0, s1, s2, else B's d[j].
void mergePlane8Portable(const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2, const std::uint8_t* s,
                         const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1, std::uint8_t k2,
                         std::uint8_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const bool take = (s0[j] != k0) | (s1[j] != k1) | (s2[j] != k2);
        out[j] = take ? s[j] : d[j];
    }
}

// The same for one 16-bit plane (m bytes, m even): the key is B's first sample.
void mergePlane16Portable(const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1,
                          std::uint8_t* out) {
    for (std::size_t j = 0; j < m; j += 2) {
        const bool take = s[j] != k0 || s[j + 1] != k1;
        out[j] = take ? s[j] : d[j];
        out[j + 1] = take ? s[j + 1] : d[j + 1];
    }
}

#if BRINDLEX_X86_SIMD
// Sixteen bytes at a time, the tail by the portable path.
void mergePlane8Sse2(const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2, const std::uint8_t* s,
                     const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1, std::uint8_t k2,
                     std::uint8_t* out) {
    std::size_t j = 0;
    const __m128i v0 = _mm_set1_epi8(static_cast<char>(k0)), v1 = _mm_set1_epi8(static_cast<char>(k1)),
                  v2 = _mm_set1_epi8(static_cast<char>(k2));
    auto at = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    for (; j + 16 <= m; j += 16) {
        const __m128i key = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(at(s0 + j), v0), _mm_cmpeq_epi8(at(s1 + j), v1)),
                                          _mm_cmpeq_epi8(at(s2 + j), v2));
        const __m128i r = _mm_or_si128(_mm_and_si128(key, at(d + j)), _mm_andnot_si128(key, at(s + j)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), r);
    }
    mergePlane8Portable(s0 + j, s1 + j, s2 + j, s + j, d + j, m - j, k0, k1, k2, out + j);
}

void mergePlane16Sse2(const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1,
                      std::uint8_t* out) {
    std::size_t j = 0;
    // Each 16-bit lane holds one sample's two bytes in file order.
    const __m128i v = _mm_set1_epi16(static_cast<short>(k0 | (k1 << 8)));
    for (; j + 16 <= m; j += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + j));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + j));
        const __m128i key = _mm_cmpeq_epi16(a, v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j),
                         _mm_or_si128(_mm_and_si128(key, b), _mm_andnot_si128(key, a)));
    }
    mergePlane16Portable(s + j, d + j, m - j, k0, k1, out + j);
}
#endif

// Both merges on one path (simd::k*); null where this build lacks it.
struct MergePaths {
    MergePlane8Fn plane8;
    MergePlane16Fn plane16;
};

constexpr MergePaths mergePaths(int path) {
    switch (path) {
        case simd::kPortable:
            return {mergePlane8Portable, mergePlane16Portable};
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            return {mergePlane8Sse2, mergePlane16Sse2};
#endif
        default:
            return {nullptr, nullptr};
    }
}

// The widest paths this build has.
constexpr MergePlane8Fn kMergePlane8 = mergePaths(simd::kBaseline).plane8;
constexpr MergePlane16Fn kMergePlane16 = mergePaths(simd::kBaseline).plane16;

}  // namespace

void mergePlane8(const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2, const std::uint8_t* s,
                 const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1, std::uint8_t k2,
                 std::uint8_t* out) {
    kMergePlane8(s0, s1, s2, s, d, m, k0, k1, k2, out);
}

void mergePlane16(const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1,
                  std::uint8_t* out) {
    kMergePlane16(s, d, m, k0, k1, out);
}

bool mergePlane8With(int path, const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2,
                     const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1,
                     std::uint8_t k2, std::uint8_t* out) {
    const MergePlane8Fn merge = mergePaths(path).plane8;
    if (merge) merge(s0, s1, s2, s, d, m, k0, k1, k2, out);
    return merge != nullptr;
}

bool mergePlane16With(int path, const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0,
                      std::uint8_t k1, std::uint8_t* out) {
    const MergePlane16Fn merge = mergePaths(path).plane16;
    if (merge) merge(s, d, m, k0, k1, out);
    return merge != nullptr;
}
