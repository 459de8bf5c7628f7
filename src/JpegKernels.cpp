#include "JpegKernels.h"

#include <cstddef>
#include <cstring>

#include "Platform.h"

#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>
#include <xmmintrin.h>
#endif

const std::uint8_t* _RGB_buffer = nullptr;
std::uint16_t _width = 0, _height = 0;
std::int32_t YRtab[256], YGtab[256], YBtab[256];
std::int32_t CbRtab[256], CbGtab[256], CbBtab[256];
std::int32_t CrRtab[256], CrGtab[256], CrBtab[256];
std::int8_t YDU[64], CbDU[64], CrDU[64];

// ---------------------------------------------------------------------------
// Colour tables.

namespace {

// The weights of the colour conversion in units of 1/65536: Y is
// (kYR R + kYG G + kYB B) >> 16, less 128 to centre it on zero; Cb and Cr
// come out centred on zero.
constexpr std::int32_t kYR = 19595, kYG = 38470, kYB = 7471;
constexpr std::int32_t kCbR = -11058, kCbG = -21708, kCbB = 32768;
constexpr std::int32_t kCrR = 32768, kCrG = -27438, kCrB = -5328;

}  // namespace

void precalculate_YCbCr_tables() {
    for (std::int32_t i = 0; i < 256; ++i) {
        YRtab[i] = kYR * i;
        YGtab[i] = kYG * i;
        YBtab[i] = kYB * i;
        CbRtab[i] = kCbR * i;
        CbGtab[i] = kCbG * i;
        CbBtab[i] = kCbB * i;
        CrRtab[i] = kCrR * i;
        CrGtab[i] = kCrG * i;
        CrBtab[i] = kCrB * i;
    }
}

// ---------------------------------------------------------------------------
// Transform and quantisation.

namespace {

// Four lanes of single-precision floats. The transform works on four rows
// (or columns) at once; each lane goes through exactly the operations, in
// the order, of one scalar pass, so the results are the same bits. GCC and
// Clang map this onto SSE2 and NEON (and split it where neither exists).
typedef float v4f __attribute__((vector_size(16)));

// One AAN pass over eight vectors: element k of the eight inputs is one
// scalar pass's input k. V is a vector of four or eight floats; the pass is
// always inlined, so it takes the instruction set of its caller.
template <class V>
__attribute__((always_inline)) inline void aan_pass(V* d) {
    const V c0707 = V{} + 0.707106781f, c0382 = V{} + 0.382683433f;
    const V c0541 = V{} + 0.541196100f, c1306 = V{} + 1.306562965f;
    V tmp0 = d[0] + d[7];
    V tmp7 = d[0] - d[7];
    V tmp1 = d[1] + d[6];
    V tmp6 = d[1] - d[6];
    V tmp2 = d[2] + d[5];
    V tmp5 = d[2] - d[5];
    V tmp3 = d[3] + d[4];
    V tmp4 = d[3] - d[4];

    // Even part.
    V tmp10 = tmp0 + tmp3;
    V tmp13 = tmp0 - tmp3;
    V tmp11 = tmp1 + tmp2;
    V tmp12 = tmp1 - tmp2;
    d[0] = tmp10 + tmp11;
    d[4] = tmp10 - tmp11;
    V z1 = (tmp12 + tmp13) * c0707;
    d[2] = tmp13 + z1;
    d[6] = tmp13 - z1;

    // Odd part.
    tmp10 = tmp4 + tmp5;
    tmp11 = tmp5 + tmp6;
    tmp12 = tmp6 + tmp7;
    V z5 = (tmp10 - tmp12) * c0382;
    V z2 = c0541 * tmp10 + z5;
    V z4 = c1306 * tmp12 + z5;
    V z3 = tmp11 * c0707;
    V z11 = tmp7 + z3;
    V z13 = tmp7 - z3;
    d[5] = z13 + z2;
    d[3] = z13 - z2;
    d[1] = z11 + z4;
    d[7] = z11 - z4;
}

using FdctFn = void (*)(const std::int8_t*, const float*, std::int16_t*);
using NonzeroMaskFn = std::uint64_t (*)(const std::int16_t*);
using LoadUnitsFn = void (*)(const std::uint8_t*, std::size_t);

// The encoder's functions on one path (simd::k*), each null where this
// build or processor lacks it. The table follows the last of them.
struct JpegPath {
    FdctFn fdct;
    NonzeroMaskFn nonzeroMask;
    LoadUnitsFn loadUnits;
};
JpegPath jpeg_path(int path);

// The transform in generic four-lane vectors, which every target compiles;
// the other paths give its results bit for bit.
void fdct_portable(const std::int8_t* data, const float* fdtbl, std::int16_t* outdata) {
    // Row pass: lane j of vector k holds row (4h + j), column k.
    float t[2][8][4];
    for (int h = 0; h < 2; ++h)
        for (int k = 0; k < 8; ++k)
            for (int j = 0; j < 4; ++j) t[h][k][j] = static_cast<float>(data[(4 * h + j) * 8 + k]);
    v4f rows[2][8];
    std::memcpy(rows, t, sizeof rows);
    aan_pass(rows[0]);
    aan_pass(rows[1]);
    std::memcpy(t, rows, sizeof t);

    // Column pass: lane j of vector r holds row r, column (4h + j).
    float u[2][8][4];
    for (int h = 0; h < 2; ++h)
        for (int r = 0; r < 8; ++r)
            for (int j = 0; j < 4; ++j) u[h][r][j] = t[r / 4][4 * h + j][r % 4];
    v4f cols[2][8];
    std::memcpy(cols, u, sizeof cols);
    aan_pass(cols[0]);
    aan_pass(cols[1]);
    std::memcpy(u, cols, sizeof u);

    // Round to nearest, halves upwards: the product in single precision,
    // the offset sum in double, then truncation.
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            const int i = 8 * r + c;
            const float temp = u[c / 4][r][c % 4] * fdtbl[i];
            outdata[i] = static_cast<std::int16_t>(static_cast<int>(static_cast<double>(temp) + 16384.5) - 16384);
        }
}

#if BRINDLEX_X86_SIMD
inline v4f as_v4f(__m128 x) { return reinterpret_cast<v4f&>(x); }
inline __m128 as_m128(v4f x) { return reinterpret_cast<__m128&>(x); }

// 4 x 4 transpose of a, b, c, d in place.
inline void transpose4(v4f& a, v4f& b, v4f& c, v4f& d) {
    __m128 A = as_m128(a), B = as_m128(b), C = as_m128(c), D = as_m128(d);
    _MM_TRANSPOSE4_PS(A, B, C, D);
    a = as_v4f(A);
    b = as_v4f(B);
    c = as_v4f(C);
    d = as_v4f(D);
}

// x[r][h] holds row r, columns 4h .. 4h+3; afterwards row and column swap.
inline void transpose8(v4f x[8][2]) {
    transpose4(x[0][0], x[1][0], x[2][0], x[3][0]);
    transpose4(x[4][1], x[5][1], x[6][1], x[7][1]);
    transpose4(x[0][1], x[1][1], x[2][1], x[3][1]);
    transpose4(x[4][0], x[5][0], x[6][0], x[7][0]);
    for (int k = 0; k < 4; ++k) {
        v4f t = x[k][1];
        x[k][1] = x[4 + k][0];
        x[4 + k][0] = t;
    }
}

// Round to nearest, halves upwards: the product in single precision,
// then (int)((double)t + 16384.5) - 16384. For |t| < 16384 that is
// floor(t + 0.5), which single precision gives exactly and whatever the
// rounding mode: n = t truncated, d = t - n (exact), then n + 1 where
// d >= 0.5 and n - 1 where d < -0.5. Larger products, which quantised
// 8-bit samples never give, take the double sum itself.
__attribute__((always_inline)) inline __m128i quantise4(__m128 coefficients, const float* fdtbl) {
    const __m128 t = _mm_mul_ps(coefficients, _mm_loadu_ps(fdtbl));
    const __m128 magnitude = _mm_and_ps(t, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)));
    if (_mm_movemask_ps(_mm_cmplt_ps(magnitude, _mm_set1_ps(16384.0f))) == 0xF) {
        const __m128i n = _mm_cvttps_epi32(t);
        const __m128 d = _mm_sub_ps(t, _mm_cvtepi32_ps(n));
        // Comparison masks are -1 where true.
        return _mm_add_epi32(_mm_sub_epi32(n, _mm_castps_si128(_mm_cmpge_ps(d, _mm_set1_ps(0.5f)))),
                             _mm_castps_si128(_mm_cmplt_ps(d, _mm_set1_ps(-0.5f))));
    }
    const __m128d half = _mm_set1_pd(16384.5);
    const __m128i lo = _mm_cvttpd_epi32(_mm_add_pd(_mm_cvtps_pd(t), half));
    const __m128i hi = _mm_cvttpd_epi32(_mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(t, t)), half));
    return _mm_sub_epi32(_mm_unpacklo_epi64(lo, hi), _mm_set1_epi32(16384));
}

// One row of eight quantised coefficients from its two halves.
__attribute__((always_inline)) inline void quantise_row(__m128 left, __m128 right, const float* fdtbl,
                                                        std::int16_t* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packs_epi32(quantise4(left, fdtbl), quantise4(right, fdtbl + 4)));
}

// The transform on SSE2 registers: eight rows as sixteen four-lane halves.
void fdct_sse2(const std::int8_t* data, const float* fdtbl, std::int16_t* outdata) {
    // The samples as floats, x[r][h] = row r, columns 4h .. 4h+3.
    v4f x[8][2];
    for (int r = 0; r < 8; ++r) {
        __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data + 8 * r));
        __m128i w = _mm_srai_epi16(_mm_unpacklo_epi8(b, b), 8);
        x[r][0] = as_v4f(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16)));
        x[r][1] = as_v4f(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(w, w), 16)));
    }
    // Row pass, four rows per vector: after the transpose x[k][h] holds
    // column k of rows 4h .. 4h+3.
    transpose8(x);
    v4f p[8];
    for (int h = 0; h < 2; ++h) {
        for (int k = 0; k < 8; ++k) p[k] = x[k][h];
        aan_pass(p);
        for (int k = 0; k < 8; ++k) x[k][h] = p[k];
    }
    // Column pass, four columns per vector.
    transpose8(x);
    for (int h = 0; h < 2; ++h) {
        for (int r = 0; r < 8; ++r) p[r] = x[r][h];
        aan_pass(p);
        for (int r = 0; r < 8; ++r) x[r][h] = p[r];
    }
    for (int r = 0; r < 8; ++r) quantise_row(as_m128(x[r][0]), as_m128(x[r][1]), fdtbl + 8 * r, outdata + 8 * r);
}

typedef float v8f __attribute__((vector_size(32)));

// Rows and columns of an 8 x 8 block of eight-lane vectors swap.
__attribute__((target("avx2"))) inline void transpose8x8(v8f* x) {
    __m256 r[8], t[8];
    for (int k = 0; k < 8; ++k) r[k] = reinterpret_cast<__m256&>(x[k]);
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    for (int k = 0; k < 8; k += 4) {
        r[k] = _mm256_shuffle_ps(t[k], t[k + 2], 0x44);
        r[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], 0xEE);
        r[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0x44);
        r[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0xEE);
    }
    for (int k = 0; k < 4; ++k) {
        t[k] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x20);
        t[k + 4] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x31);
    }
    for (int k = 0; k < 8; ++k) x[k] = reinterpret_cast<v8f&>(t[k]);
}

// The same transform with a whole row or column per vector: lane for lane
// the operations of the four-lane version, so the same bits, in half the
// passes. No fused multiply-add is enabled here.
__attribute__((target("avx2"))) void fdct_avx2(const std::int8_t* data, const float* fdtbl, std::int16_t* outdata) {
    v8f x[8];
    for (int r = 0; r < 8; ++r) {
        const __m256 f =
            _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(data + 8 * r))));
        x[r] = reinterpret_cast<const v8f&>(f);
    }
    transpose8x8(x);  // x[k]: column k, lane j = row j
    aan_pass(x);      // row pass
    transpose8x8(x);  // x[r]: row r, lane c = column c
    aan_pass(x);      // column pass
    for (int r = 0; r < 8; ++r) {
        const __m256 row = reinterpret_cast<const __m256&>(x[r]);
        quantise_row(_mm256_castps256_ps128(row), _mm256_extractf128_ps(row, 1), fdtbl + 8 * r, outdata + 8 * r);
    }
}
#endif

FdctFn fdct_path(int path) { return jpeg_path(path).fdct; }

}  // namespace

void fdct_and_quantization(const std::int8_t* data, const float* fdtbl, std::int16_t* outdata) {
    static const FdctFn fdct = simd::first(fdct_path, {simd::kAvx2, simd::kSse2, simd::kPortable});
    fdct(data, fdtbl, outdata);
}

bool fdct_and_quantization_with(int path, const std::int8_t* data, const float* fdtbl, std::int16_t* outdata) {
    const FdctFn fdct = fdct_path(path);
    if (fdct) fdct(data, fdtbl, outdata);
    return fdct != nullptr;
}

// ---------------------------------------------------------------------------
// Non-zero masks.

namespace {

// Bit i set when c[i] is non-zero.
inline std::uint64_t nonzero_mask_portable(const std::int16_t* c) {
    std::uint64_t m = 0;
    for (int i = 0; i < 64; ++i) m |= static_cast<std::uint64_t>(c[i] != 0) << i;
    return m;
}

#if BRINDLEX_X86_SIMD
// Sixteen coefficients per step: their zero tests packed to bytes.
inline std::uint64_t nonzero_mask_sse2(const std::int16_t* c) {
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t m = 0;
    for (int k = 0; k < 4; ++k) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 16 * k));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 16 * k + 8));
        __m128i z = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        m |= static_cast<std::uint64_t>(~_mm_movemask_epi8(z) & 0xFFFF) << (16 * k);
    }
    return m;
}
#endif

}  // namespace

std::uint64_t nonzero_mask(const std::int16_t* c) {
#if BRINDLEX_X86_SIMD
    return nonzero_mask_sse2(c);
#else
    return nonzero_mask_portable(c);
#endif
}

bool nonzero_mask_with(int path, const std::int16_t* c, std::uint64_t& mask) {
    const NonzeroMaskFn nonzero = jpeg_path(path).nonzeroMask;
    if (nonzero) mask = nonzero(c);
    return nonzero != nullptr;
}

// ---------------------------------------------------------------------------
// The block loader, and the table of every path.

namespace {

// Eight pixels of eight rows, rowBytes apart, through the tables.
void load_units_portable(const std::uint8_t* p, std::size_t rowBytes) {
    int pos = 0;
    for (unsigned yy = 0; yy < 8; ++yy, p += rowBytes)
        for (int xx = 0; xx < 8; ++xx, ++pos) {
            const std::uint8_t B = p[3 * xx], G = p[3 * xx + 1], R = p[3 * xx + 2];
            YDU[pos] = static_cast<std::int8_t>(((YRtab[R] + YGtab[G] + YBtab[B]) >> 16) - 128);
            CbDU[pos] = static_cast<std::int8_t>((CbRtab[R] + CbGtab[G] + CbBtab[B]) >> 16);
            CrDU[pos] = static_cast<std::int8_t>((CrRtab[R] + CrGtab[G] + CrBtab[B]) >> 16);
        }
}

#if BRINDLEX_X86_SIMD
// Eight pixels per step with 16-bit multiply-adds. The colour tables hold
// exact products (table[i] = weight x i), so the sums below are the
// tables' sums; the weights of 32768 and above are split into two halves,
// each applied to the same sample, so that every factor fits 16 bits.
constexpr bool fits16(std::int32_t w) { return w >= -32768 && w <= 32767; }
static_assert(kYG % 2 == 0 && kCbB % 2 == 0 && kCrR % 2 == 0, "the split weights halve exactly");
static_assert(fits16(kYR) && fits16(kYB) && fits16(kCbR) && fits16(kCbG) && fits16(kCrG) && fits16(kCrB) &&
                  fits16(kYG / 2) && fits16(kCbB / 2) && fits16(kCrR / 2),
              "every factor fits 16 bits");

inline __m128i coefficient_pair(int lo, int hi) {
    return _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(lo)) |
                                           (static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16)));
}

inline __m128i weighted_sum(__m128i a, __m128i b, __m128i ka, __m128i c, __m128i d, __m128i kc) {
    __m128i lo =
        _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), ka), _mm_madd_epi16(_mm_unpacklo_epi16(c, d), kc));
    __m128i hi =
        _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), ka), _mm_madd_epi16(_mm_unpackhi_epi16(c, d), kc));
    return _mm_packs_epi32(_mm_srai_epi32(lo, 16), _mm_srai_epi32(hi, 16));
}

// One row of eight pixels, as 16-bit blue, green and red lanes, to the
// data units' row yy.
inline void convert_row(__m128i B, __m128i G, __m128i R, unsigned yy) {
    const __m128i Y = _mm_sub_epi16(
        weighted_sum(R, G, coefficient_pair(kYR, kYG / 2), B, G, coefficient_pair(kYB, kYG / 2)), _mm_set1_epi16(128));
    const __m128i Cb = weighted_sum(R, B, coefficient_pair(kCbR, kCbB / 2), G, B, coefficient_pair(kCbG, kCbB / 2));
    const __m128i Cr = weighted_sum(R, G, coefficient_pair(kCrR / 2, kCrG), R, B, coefficient_pair(kCrR / 2, kCrB));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(YDU + 8 * yy), _mm_packs_epi16(Y, Y));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(CbDU + 8 * yy), _mm_packs_epi16(Cb, Cb));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(CrDU + 8 * yy), _mm_packs_epi16(Cr, Cr));
}

void load_units_sse2(const std::uint8_t* p, std::size_t rowBytes) {
    for (unsigned yy = 0; yy < 8; ++yy, p += rowBytes) {
        alignas(16) std::int16_t b[8], g[8], r[8];
        for (int i = 0; i < 8; ++i) {
            b[i] = p[3 * i];
            g[i] = p[3 * i + 1];
            r[i] = p[3 * i + 2];
        }
        convert_row(_mm_load_si128(reinterpret_cast<const __m128i*>(b)),
                    _mm_load_si128(reinterpret_cast<const __m128i*>(g)),
                    _mm_load_si128(reinterpret_cast<const __m128i*>(r)), yy);
    }
}

// The same with the 24 bytes of a row split by byte shuffles: a lane that
// takes byte -1 (0x80) reads as zero, which widens each sample to 16 bits.
__attribute__((target("ssse3"))) void load_units_ssse3(const std::uint8_t* p, std::size_t rowBytes) {
    const __m128i loB = _mm_setr_epi8(0, -1, 3, -1, 6, -1, 9, -1, 12, -1, 15, -1, -1, -1, -1, -1);
    const __m128i hiB = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, -1, 5, -1);
    const __m128i loG = _mm_setr_epi8(1, -1, 4, -1, 7, -1, 10, -1, 13, -1, -1, -1, -1, -1, -1, -1);
    const __m128i hiG = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1, 3, -1, 6, -1);
    const __m128i loR = _mm_setr_epi8(2, -1, 5, -1, 8, -1, 11, -1, 14, -1, -1, -1, -1, -1, -1, -1);
    const __m128i hiR = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, -1, 4, -1, 7, -1);
    for (unsigned yy = 0; yy < 8; ++yy, p += rowBytes) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));       // bytes 0 .. 15
        const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));  // bytes 16 .. 23
        convert_row(_mm_or_si128(_mm_shuffle_epi8(lo, loB), _mm_shuffle_epi8(hi, hiB)),
                    _mm_or_si128(_mm_shuffle_epi8(lo, loG), _mm_shuffle_epi8(hi, hiG)),
                    _mm_or_si128(_mm_shuffle_epi8(lo, loR), _mm_shuffle_epi8(hi, hiR)), yy);
    }
}
#endif

// The transform, the non-zero mask and the row loader of each path.
JpegPath jpeg_path(int path) {
    switch (path) {
        case simd::kPortable:
            return {fdct_portable, nonzero_mask_portable, load_units_portable};
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            return {fdct_sse2, nonzero_mask_sse2, load_units_sse2};
        case simd::kAvx2:
            return {cpuHasAvx2() ? fdct_avx2 : nullptr, nullptr, nullptr};
        case simd::kSsse3:
            return {nullptr, nullptr, cpuHasSsse3() ? load_units_ssse3 : nullptr};
#endif
        default:
            return {nullptr, nullptr, nullptr};
    }
}

LoadUnitsFn load_units_path(int path) { return jpeg_path(path).loadUnits; }

const std::uint8_t* block_at(unsigned x, unsigned y) {
    return _RGB_buffer + static_cast<std::size_t>(y) * _width * 3 + static_cast<std::size_t>(x) * 3;
}

}  // namespace

void load_data_units_from_RGB_buffer(unsigned x, unsigned y) {
    static const LoadUnitsFn load = simd::first(load_units_path, {simd::kSsse3, simd::kSse2, simd::kPortable});
    load(block_at(x, y), static_cast<std::size_t>(_width) * 3);
}

bool load_data_units_with(int path, unsigned x, unsigned y) {
    const LoadUnitsFn load = load_units_path(path);
    if (load) load(block_at(x, y), static_cast<std::size_t>(_width) * 3);
    return load != nullptr;
}
