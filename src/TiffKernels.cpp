#include "TiffKernels.h"

#include <algorithm>

#include "ByteOrder.h"
#include "Platform.h"
#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#include <immintrin.h>
#endif

namespace tiff {

namespace {

using Quantise16RunFn = void (*)(const std::uint8_t*, std::size_t, std::uint16_t*);
using MarkLevelsFn = void (*)(const std::uint8_t*, std::size_t, std::uint8_t*);
using Range16Fn = void (*)(const std::uint8_t*, std::size_t, std::size_t, std::uint32_t&, std::uint32_t&);

void quantise16RunPortable(const std::uint8_t* p, std::size_t n, std::uint16_t* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = quantise16(fileio::loadLEf32(p + 4 * i));
}

void markLevelsPortable(const std::uint8_t* p, std::size_t n, std::uint8_t* seen) {
    for (std::size_t i = 0; i < n; ++i) seen[quantise16(fileio::loadLEf32(p + 4 * i))] = 1;
}

void range16Portable(const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi, std::uint32_t& lo) {
    for (std::size_t i = 0; i < n; ++i, p += step) {
        const std::uint32_t v = fileio::loadLE16(p);
        hi = std::max(hi, v);
        lo = std::min(lo, v);
    }
}

#if BRINDLEX_X86_SIMD
// Four samples at once. maxps gives its second operand when either is NaN,
// so NaN and negatives clamp to 0, and anything above 65535 (infinity too)
// to 65535. In that range the truncation t is exact and so is c - t, so
// c - t >= 0.5 decides floor(c + 0.5) exactly as the double sum does. No
// operation here can be fused or reordered.
inline __m128i quantise4(__m128 f) {
    const __m128 top = _mm_set1_ps(65535.0f);
    const __m128 c = _mm_min_ps(_mm_max_ps(_mm_mul_ps(f, top), _mm_setzero_ps()), top);
    const __m128i t = _mm_cvttps_epi32(c);
    const __m128 frac = _mm_sub_ps(c, _mm_cvtepi32_ps(t));
    return _mm_sub_epi32(t, _mm_castps_si128(_mm_cmpge_ps(frac, _mm_set1_ps(0.5f))));
}

void quantise16RunSse2(const std::uint8_t* p, std::size_t n, std::uint16_t* out) {
    std::size_t i = 0;
    // x86 is little-endian: the samples load as they are stored. The 32-bit
    // results are packed to 16 bits through the signed range and back.
    const __m128i bias = _mm_set1_epi32(32768), flip = _mm_set1_epi16(static_cast<short>(0x8000));
    for (; i + 8 <= n; i += 8) {
        const __m128i a = quantise4(_mm_loadu_ps(reinterpret_cast<const float*>(p + 4 * i)));
        const __m128i b = quantise4(_mm_loadu_ps(reinterpret_cast<const float*>(p + 4 * i + 16)));
        const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(packed, flip));
    }
    quantise16RunPortable(p + 4 * i, n - i, out + i);
}

void markLevelsSse2(const std::uint8_t* p, std::size_t n, std::uint8_t* seen) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i a = quantise4(_mm_loadu_ps(reinterpret_cast<const float*>(p + 4 * i)));
        const __m128i b = quantise4(_mm_loadu_ps(reinterpret_cast<const float*>(p + 4 * i + 16)));
        // Two 16-bit levels in each 32-bit lane: (b << 16) | a.
        const __m128i both = _mm_or_si128(a, _mm_slli_epi32(b, 16));
        std::uint32_t w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(both));
        seen[w & 0xFFFF] = 1;
        seen[w >> 16] = 1;
        w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(both, 4)));
        seen[w & 0xFFFF] = 1;
        seen[w >> 16] = 1;
        w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(both, 8)));
        seen[w & 0xFFFF] = 1;
        seen[w >> 16] = 1;
        w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(both, 12)));
        seen[w & 0xFFFF] = 1;
        seen[w >> 16] = 1;
    }
    markLevelsPortable(p + 4 * i, n - i, seen);
}

// Eight 16-bit samples a register; the signed maximum and minimum of samples
// shifted by 0x8000 keep their unsigned order. Grey maps (step 2) take every
// sample. RGB maps (step 6) take the red ones: eight pixels fill three
// registers, red in lanes 0, 3, 6 of the first, 1, 4, 7 of the second and
// 2, 5 of the third; the other lanes become 0 for the maximum and 65535 for
// the minimum, which cannot move either.
void range16Sse2(const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi, std::uint32_t& lo) {
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i vhi = _mm_xor_si128(_mm_set1_epi16(static_cast<short>(hi)), flip);
    __m128i vlo = _mm_xor_si128(_mm_set1_epi16(static_cast<short>(lo)), flip);
    auto load = [](const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    std::size_t i = 0;
    if (step == 2) {
        for (; i + 8 <= n; i += 8) {
            const __m128i v = _mm_xor_si128(load(p + 2 * i), flip);
            vhi = _mm_max_epi16(vhi, v);
            vlo = _mm_min_epi16(vlo, v);
        }
    } else if (step == 6) {
        const __m128i red[3] = {_mm_setr_epi16(-1, 0, 0, -1, 0, 0, -1, 0), _mm_setr_epi16(0, -1, 0, 0, -1, 0, 0, -1),
                                _mm_setr_epi16(0, 0, -1, 0, 0, -1, 0, 0)};
        const __m128i ones = _mm_set1_epi16(-1);
        for (; i + 8 <= n; i += 8) {
            for (int k = 0; k < 3; ++k) {
                const __m128i v = load(p + 6 * i + 16 * k);
                vhi = _mm_max_epi16(vhi, _mm_xor_si128(_mm_and_si128(v, red[k]), flip));
                vlo = _mm_min_epi16(vlo, _mm_xor_si128(_mm_or_si128(v, _mm_andnot_si128(red[k], ones)), flip));
            }
        }
    }
    std::uint16_t h[8], l[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_xor_si128(vhi, flip));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(l), _mm_xor_si128(vlo, flip));
    for (int k = 0; k < 8; ++k) {
        hi = std::max<std::uint32_t>(hi, h[k]);
        lo = std::min<std::uint32_t>(lo, l[k]);
    }
    range16Portable(p + step * i, n - i, step, hi, lo);
}

// quantise4 eight at a time, for processors that have AVX2 (chosen at run
// time; the target adds no fused multiply-add). Sixteen levels are packed to
// 16 bits in one register (their order does not matter to the table) and
// taken out of it four at a time. The rows come from the system's cache:
// the loads are asked for a few KiB ahead, so they arrive while the table
// is being marked instead of stalling the loop.
__attribute__((target("avx2"))) void markLevelsAvx2(const std::uint8_t* p, std::size_t n, std::uint8_t* seen) {
    const __m256 top = _mm256_set1_ps(65535.0f), zero = _mm256_setzero_ps(), half = _mm256_set1_ps(0.5f);
    auto q8 = [&](const std::uint8_t* at) __attribute__((target("avx2"))) {
        const __m256 f = _mm256_loadu_ps(reinterpret_cast<const float*>(at));
        const __m256 c = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(f, top), zero), top);
        const __m256i t = _mm256_cvttps_epi32(c);
        const __m256 frac = _mm256_sub_ps(c, _mm256_cvtepi32_ps(t));
        return _mm256_sub_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(frac, half, _CMP_GE_OQ)));
    };
    auto mark4 = [seen](std::uint64_t w) {
        seen[w & 0xFFFF] = 1;
        seen[w >> 16 & 0xFFFF] = 1;
        seen[w >> 32 & 0xFFFF] = 1;
        seen[w >> 48] = 1;
    };
    constexpr std::size_t kAhead = 4096 / 4;  // samples
    const std::size_t prefetchEnd = n > kAhead ? n - kAhead : 0;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        // One 64-byte line a pass, never past the samples given.
        if (i < prefetchEnd) _mm_prefetch(reinterpret_cast<const char*>(p + 4 * (i + kAhead)), _MM_HINT_T0);
        // Levels are at most 65535: the unsigned saturation keeps them.
        const __m256i levels = _mm256_packus_epi32(q8(p + 4 * i), q8(p + 4 * i + 32));
        const __m128i lo = _mm256_castsi256_si128(levels), hi = _mm256_extracti128_si256(levels, 1);
        mark4(static_cast<std::uint64_t>(_mm_cvtsi128_si64(lo)));
        mark4(static_cast<std::uint64_t>(_mm_extract_epi64(lo, 1)));
        mark4(static_cast<std::uint64_t>(_mm_cvtsi128_si64(hi)));
        mark4(static_cast<std::uint64_t>(_mm_extract_epi64(hi, 1)));
    }
    markLevelsPortable(p + 4 * i, n - i, seen);
}
#endif

// Both operations' paths by number (simd::k*), null where this build or
// processor lacks one.
constexpr Quantise16RunFn quantise16RunPath(int path) {
    switch (path) {
        case simd::kPortable:
            return quantise16RunPortable;
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            return quantise16RunSse2;
#endif
        default:
            return nullptr;
    }
}

MarkLevelsFn markLevelsPath(int path) {
    switch (path) {
        case simd::kPortable:
            return markLevelsPortable;
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            return markLevelsSse2;
        case simd::kAvx2:
            return cpuHasAvx2() ? markLevelsAvx2 : nullptr;
#endif
        default:
            return nullptr;
    }
}

constexpr Range16Fn range16Path(int path) {
    switch (path) {
        case simd::kPortable:
            return range16Portable;
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            return range16Sse2;
#endif
        default:
            return nullptr;
    }
}

}  // namespace

void range16(const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi, std::uint32_t& lo) {
    constexpr Range16Fn span = range16Path(simd::kBaseline);
    span(p, n, step, hi, lo);
}

bool range16With(int path, const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi,
                 std::uint32_t& lo) {
    const Range16Fn span = range16Path(path);
    if (span) span(p, n, step, hi, lo);
    return span != nullptr;
}

void quantise16Run(const std::uint8_t* p, std::size_t n, std::uint16_t* out) {
    constexpr Quantise16RunFn run = quantise16RunPath(simd::kBaseline);
    run(p, n, out);
}

bool quantise16RunWith(int path, const std::uint8_t* p, std::size_t n, std::uint16_t* out) {
    const Quantise16RunFn run = quantise16RunPath(path);
    if (run) run(p, n, out);
    return run != nullptr;
}

bool markLevelsWith(int path, const std::uint8_t* p, std::size_t n, std::uint8_t* seen) {
    const MarkLevelsFn mark = markLevelsPath(path);
    if (mark) mark(p, n, seen);
    return mark != nullptr;
}

void markLevels(const std::uint8_t* p, std::size_t n, std::uint8_t* seen) {
    static const MarkLevelsFn mark = simd::first(markLevelsPath, {simd::kAvx2, simd::kSse2, simd::kPortable});
    mark(p, n, seen);
}

}  // namespace tiff
