#include "TiffOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <system_error>
#include <thread>
#include <type_traits>

#include "FileOps.h"
#include "NewFile.h"
#include "Platform.h"
#include "PsdOps.h"
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

float scaleCurve(std::uint32_t levels, bool doublePrecision) {
    if (levels == 0) return std::numeric_limits<float>::infinity();  // 1049 / 0
    if (doublePrecision) {
        const double n = static_cast<double>(static_cast<float>(levels));
        return static_cast<float>(18.49 * std::exp(1049.0 / n - 7.071e-5 * n));
    }
    const float n = static_cast<float>(levels);
    const float a = 1049.0f / n;
    const float b = n * -7.071e-5f;
    const float e = std::exp(a + b);
    return e * 18.49f;
}

}  // namespace tiff

// ---------------------------------------------------------------------------
// The operations.

namespace {

using tiff::Directory;
using tiff::WalkRules;

// Below this many bytes of rows a second thread costs more than it saves.
constexpr std::uint64_t kParallelBytes = 16u << 20;

// Rows of rowLen bytes in a piece of the new file's buffer (at least one).
std::uint32_t rowsPerPiece(std::uint64_t rowLen, std::uint32_t length) {
    const std::uint64_t k = std::max<std::uint64_t>(1, fileio::NewFile::kBuffer / std::max<std::uint64_t>(rowLen, 1));
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(k, length));
}

bool readAt(std::FILE* f, std::uint64_t off, std::uint8_t* dst, std::size_t n) {
    return fileio::seekTo(f, off) && fileio::readSome(f, dst, n) == n;
}

// Walks every row of a strip through a window on the file, a block of whole
// rows at a time: fn(block, rows in block). Only the window a block lies in
// is held, whatever the map's size. False when a block cannot be read (the
// file shrank since it was sized) or fn returns false.
template <class Fn>
bool forEachRowBlock(fileio::FileWindow& w, std::uint64_t start, std::uint64_t rowLen, std::uint32_t length, Fn&& fn) {
    if (rowLen == 0 || length == 0) return true;
    return fileio::forEachBlock(
        w, start, length, static_cast<std::size_t>(rowLen),
        [&](const std::uint8_t* p, std::size_t rows) { return fn(p, static_cast<std::uint32_t>(rows)); });
}

// The same over two halves of the rows at once, the second half on a second
// thread through a window of its own, when the rows are many and the process
// may run on another core: fn(half, block, rows), half 0 or 1, for work whose
// halves combine in any order. Without a thread both halves run here
// through w, one after the other.
template <class Fn>
bool forEachRowBlockInHalves(const char* path, fileio::FileWindow& w, std::uint64_t start, std::uint64_t rowLen,
                             std::uint32_t length, Fn&& fn) {
    const std::uint32_t first = length / 2;
    auto half = [&](int k, fileio::FileWindow& window) {
        const std::uint32_t y0 = k == 0 ? 0 : first, rows = k == 0 ? first : length - first;
        return forEachRowBlock(window, start + rowLen * y0, rowLen, rows,
                               [&](const std::uint8_t* p, std::uint32_t n) { return fn(k, p, n); });
    };
    fileio::FileWindow second;
    if (rowLen * length >= kParallelBytes && usableCores() > 1 && second.open(path) == fileio::Load::Ok) {
        bool secondOk = false;
        std::exception_ptr failure;  // the second half's, passed on once both have ended
        std::thread t;
        try {
            t = std::thread([&] {
                try {
                    secondOk = half(1, second);
                } catch (...) {
                    failure = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: both halves run here, below.
        }
        if (t.joinable()) {
            bool firstOk = false;
            try {
                firstOk = half(0, w);
            } catch (...) {
                t.join();
                throw;
            }
            t.join();
            if (failure) std::rethrow_exception(failure);
            return firstOk && secondOk;
        }
    }
    return half(0, w) && half(1, w);
}

// The source of a conversion: a map of 32-bit samples.
float readFloatSource(const char* source, Directory& d) {
    WalkRules rules;
    rules.requiredBits = 32;
    return tiff::readTiffHeader(source, rules, d);
}

// Fits a TIFF template to the source's size: refused when the size does not
// fit the template's fields (the sizes are SHORT, StripByteCounts LONG).
// The strip's byte count, which the rows written will make true, goes in
// with the size.
float patchTemplate(const Directory& d, std::uint64_t pixelBytes, std::vector<std::uint8_t>& header) {
    if (d.width > 0xFFFF || d.length > 0xFFFF || pixelBytes > 0xFFFFFFFFu) return tiff::kTooLarge;
    tiff::fitTemplate(d, header);
    fileio::storeLE32(&header[tiff::kByteCountsField], static_cast<std::uint32_t>(pixelBytes));
    return 0.0f;
}

// The samples of a big-endian map in this library's order (little-endian,
// as every map it writes): each run of `width` bytes reversed in place.
template <std::size_t Width>
void toLittleEndian(std::uint8_t* p, std::size_t bytes) {
    for (std::size_t i = 0; i + Width <= bytes; i += Width) std::reverse(p + i, p + i + Width);
}

// A block of a big-endian map's rows in little-endian order, in `copy`; the
// block itself when the map is little-endian.
template <std::size_t Width>
const std::uint8_t* littleEndian(const tiff::Directory& d, const std::uint8_t* p, std::size_t bytes,
                                 std::vector<std::uint8_t>& copy) {
    if (!d.bigEndian) return p;
    copy.assign(p, p + bytes);
    toLittleEndian<Width>(copy.data(), bytes);
    return copy.data();
}

// The row loop of the conversions to a new file. The source's rows must lie
// inside it, and it must open for reading and writing; the destination gets
// the header (its strip's byte count, for a TIFF, already in it), then the
// rows a piece of the new file's buffer at a time, convert(source rows,
// pixels, out) turning a piece's pixels into dstRow bytes a row there.
template <class Convert>
float convertRows(const char* source, const char* destination, const Directory& d,
                  const std::vector<std::uint8_t>& header, std::uint64_t srcRow, std::uint64_t dstRow,
                  Convert&& convert) {
    if (!tiff::rowsFit(d, srcRow)) return tiff::kRowsPastEnd;
    if (!fileio::open(source, "r+b")) return tiff::kCannotReopen;
    // A destination that is the source would be replaced before its rows are read.
    if (fileio::sameFile(source, destination)) return tiff::kCannotCreate;
    fileio::FileWindow src;
    if (src.open(source) != fileio::Load::Ok) return tiff::kIoFailure;
    fileio::NewFile dst;
    const fileio::Written w = dst.begin(destination, fileio::Target::Output);
    if (w != fileio::Written::Ok)
        return fileio::writtenCode(w, tiff::kCannotCreate, tiff::kCannotCreate, tiff::kIoFailure);
    dst.put(header.data(), header.size());
    // Pieces of at most a buffer's worth of source and of destination; the
    // source's buffer is kept for the next call (memory touched for the
    // first time is slow).
    const std::uint32_t per = std::min(rowsPerPiece(dstRow, d.length), rowsPerPiece(srcRow, d.length));
    thread_local std::vector<std::uint8_t> in;
    in.resize(std::max<std::size_t>(in.size(), static_cast<std::size_t>(srcRow * per)));
    for (std::uint32_t y = 0; y < d.length && srcRow > 0; y += per) {
        const std::uint32_t rows = std::min(per, d.length - y);
        std::uint8_t* o = dst.room(static_cast<std::size_t>(dstRow * rows));
        if (!o) break;  // a write failed
        if (!src.read(d.stripOffset + srcRow * y, in.data(), static_cast<std::size_t>(srcRow * rows)))
            return tiff::kIoFailure;
        if (d.bigEndian) toLittleEndian<4>(in.data(), static_cast<std::size_t>(srcRow * rows));  // floats
        convert(in.data(), static_cast<std::size_t>(d.width) * rows, o);
        dst.advance(static_cast<std::size_t>(dstRow * rows));
    }
    src.release();
    return fileio::writtenCode(dst.commit(), tiff::kIoFailure, tiff::kIoFailure, tiff::kIoFailure);
}

// A PSD destination: the path's extension (from its last dot on) holds
// "psd" or "PSD"; "Psd" and other mixtures do not count.
bool psdDestination(const char* path) {
    const std::string ext = FileNameExtract(path, 4);
    return ext.find("psd") != std::string::npos || ext.find("PSD") != std::string::npos;
}

void printCode(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

float convertTiff(const char* source, const char* destination, int mode) {
    using namespace tiff;
    if (!source || !destination || (mode != 1 && mode != 3 && mode != 4)) return -9.0f;
    const bool psd = psdDestination(destination);
    if (psd && mode == 3) return kPsdNeedsGrey;
    std::vector<std::uint8_t> header = psd ? psd16Header() : mode == 3 ? rgb16Template() : grey16Template();
    Directory d;
    float rc = readFloatSource(source, d);
    if (rc != 0.0f) return rc;
    const std::uint32_t srcSamples = mode == 1 ? 1 : 3;
    if ((rc = checkSamples(d, srcSamples, kFloatSamples)) != 0.0f || (rc = checkOrientation(d)) != 0.0f) return rc;

    const std::uint32_t dstSamples = mode == 3 ? 3 : 1;
    std::uint64_t srcRow = 0, dstRow = 0;
    rowBytes(d, srcSamples, 4, srcRow);
    rowBytes(d, dstSamples, 2, dstRow);
    if (psd) {
        fileio::storeBE32(&header[14], d.length);
        fileio::storeBE32(&header[18], d.width);
    } else if ((rc = patchTemplate(d, dstRow * d.length, header)) != 0.0f) {
        return rc;
    }
    // Modes 1 and 3 take every float in turn, a run the SIMD quantisation
    // takes whole; mode 4 the first of each three.
    const std::size_t step = mode == 4 ? 12 : 4;
    std::vector<std::uint16_t> levels;
    return convertRows(source, destination, d, header, srcRow, dstRow,
                       [&](const std::uint8_t* p, std::size_t pixels, std::uint8_t* o) {
                           const std::size_t n = pixels * dstSamples;
                           levels.resize(n);
                           if (step == 4) {
                               quantise16Run(p, n, levels.data());
                           } else {
                               for (std::size_t i = 0; i < n; ++i, p += step)
                                   levels[i] = quantise16(fileio::loadLEf32(p));
                           }
                           if (psd) {
                               for (std::size_t i = 0; i < n; ++i) fileio::storeBE16(o + 2 * i, levels[i]);
                           } else {
                               for (std::size_t i = 0; i < n; ++i) fileio::storeLE16(o + 2 * i, levels[i]);
                           }
                       });
}

namespace {

// A map opened for a range query: its directory and row length, the stream
// held open for reading and writing (a read-only map is refused), and the
// window its rows are read through.
struct RangeSource {
    Directory d;
    std::uint64_t row = 0;
    fileio::File f;
    fileio::FileWindow w;
};

// The common start of the two range queries: whole-file header walk, the
// rows within the file, the reopening for reading and writing, the window.
float openForRange(const char* path, int samples, int bits, RangeSource& s) {
    if (!path || (samples != 1 && samples != 3)) return -9.0f;
    WalkRules rules;
    rules.requiredBits = bits;
    float rc = tiff::readTiffHeader(path, rules, s.d);
    if (rc != 0.0f) return rc;
    rc = tiff::checkSamples(s.d, static_cast<std::uint32_t>(samples),
                            bits == 32 ? tiff::kFloatSamples : tiff::kUnsignedSamples);
    if (rc != 0.0f) return rc;
    tiff::rowBytes(s.d, static_cast<std::uint32_t>(samples), static_cast<std::uint32_t>(bits / 8), s.row);
    if (!tiff::rowsFit(s.d, s.row)) return tiff::kRowsPastEnd;
    s.f = fileio::open(path, "r+b");
    if (!s.f) return tiff::kCannotReopen;
    if (s.row != 0 && s.d.length != 0 && s.w.open(path) != fileio::Load::Ok) return tiff::kIoFailure;
    return 0.0f;
}

}  // namespace

float getScaleTiff(const char* path, int samples) {
    RangeSource s;
    const float rc = openForRange(path, samples, 32, s);
    if (rc != 0.0f) return rc;
    // A 65536-entry table marks the levels seen; counted once at the end,
    // it gives the number of distinct levels as a set would.
    std::vector<std::uint8_t> seen(2 * 65536, 0);  // one table per half of the rows
    const std::size_t perRow = static_cast<std::size_t>(s.row / 4);
    std::vector<std::uint8_t> copies[2];  // a big-endian map's blocks, one per half
    bool ok = forEachRowBlockInHalves(
        path, s.w, s.d.stripOffset, s.row, s.d.length, [&](int half, const std::uint8_t* p, std::uint32_t rows) {
            const std::uint8_t* le = littleEndian<4>(s.d, p, 4 * perRow * rows, copies[half]);
            tiff::markLevels(le, perRow * rows, seen.data() + 65536 * half);
            return true;
        });
    if (!ok) return tiff::kIoFailure;
    std::uint32_t levels = 0;
    for (std::size_t i = 0; i < 65536; ++i) levels += seen[i] | seen[65536 + i];
    return tiff::scaleCurve(levels, kWindowsBuild);
}

float getScale16Tiff(const char* path, int samples) {
    RangeSource s;
    const float rc = openForRange(path, samples, 16, s);
    if (rc != 0.0f) return rc;
    std::uint32_t hi[2] = {0, 0}, lo[2] = {65535, 65535};             // one span per half of the rows
    const std::size_t step = 2u * static_cast<std::size_t>(samples);  // grey: every sample; RGB: red only
    std::vector<std::uint8_t> copies[2];                              // a big-endian map's blocks, one per half
    bool ok = forEachRowBlockInHalves(
        path, s.w, s.d.stripOffset, s.row, s.d.length, [&](int half, const std::uint8_t* p, std::uint32_t rows) {
            const std::uint8_t* le = littleEndian<2>(s.d, p, static_cast<std::size_t>(s.row) * rows, copies[half]);
            tiff::range16(le, static_cast<std::size_t>(s.d.width) * rows, step, hi[half], lo[half]);
            return true;
        });
    if (!ok) return tiff::kIoFailure;
    return static_cast<float>(static_cast<std::uint16_t>(std::max(hi[0], hi[1]) - std::min(lo[0], lo[1])));
}

namespace {

// One 256 x 256 table of the exclusion blend floor(a + b - 2ab / 255).
const std::vector<std::uint8_t>& exclusionTable() {
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> t(65536);
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b) {
                double da = a, db = b;
                t[(a << 8) | b] = static_cast<std::uint8_t>(std::floor(da + db - 2.0 * da * db / 255.0));
            }
        return t;
    }();
    return table;
}

// Writes the new content of a map whose strip of `length` rows of rowLen
// bytes starts at `start`: the bytes before the strip and after it as they
// are, the rows a piece at a time, read into the new file's buffer and
// changed there by edit(piece, bytes, first row). False when the map cannot
// be read (out.ok() tells a failed write).
template <class Edit>
bool rewriteStrip(fileio::FileWindow& map, std::uint64_t start, std::uint64_t rowLen, std::uint32_t length,
                  fileio::NewFile& out, Edit&& edit) {
    if (!fileio::copyRange(map, 0, start, out)) return false;
    const std::uint32_t per = rowsPerPiece(rowLen, length);
    for (std::uint32_t y = 0; y < length; y += per) {
        const std::uint32_t rows = std::min(per, length - y);
        const std::size_t n = static_cast<std::size_t>(rowLen * rows);
        std::uint8_t* p = out.room(n);
        if (!p) return true;  // a write failed
        if (!map.read(start + rowLen * y, p, n) || !edit(p, n, y)) return false;
        out.advance(n);
    }
    const std::uint64_t end = start + rowLen * length;
    return fileio::copyRange(map, end, map.size() - end, out);
}

template <std::size_t N>
using WordOf = std::conditional_t<N == 8, std::uint64_t,
                                  std::conditional_t<N == 4, std::uint32_t,
                                                      std::conditional_t<N == 2, std::uint16_t, std::uint8_t>>>;

// Whether the P bytes at a and b are equal, compared a word at a time
// (a library memcmp call per pixel costs more than the merge).
template <std::size_t P>
bool samePixel(const std::uint8_t* a, const std::uint8_t* b) {
    constexpr std::size_t H = P >= 8 ? 8 : P >= 4 ? 4 : P >= 2 ? 2 : 1;
    WordOf<H> x, y;
    std::memcpy(&x, a, H);
    std::memcpy(&y, b, H);
    if constexpr (P == H)
        return x == y;
    else
        return x == y && samePixel<P - H>(a + H, b + H);
}

// B's pixels of P bytes that equal `key` take A's pixel at the same
// place; rowsOfA() gives A's bytes of the piece (nullptr when they cannot
// be read) and is called at most once, at the first such pixel.
template <std::size_t P, class RowsOfA>
bool keyMergeOf(std::uint8_t* rb, std::size_t n, const std::uint8_t* key, RowsOfA& rowsOfA) {
    std::uint8_t k[P];  // a copy the stores into rb cannot alias
    std::memcpy(k, key, P);
    const std::uint8_t* ra = nullptr;
    for (std::size_t i = 0; i + P <= n; i += P) {
        if (!samePixel<P>(&rb[i], k)) continue;
        if (!ra && !(ra = rowsOfA())) return false;
        std::memcpy(&rb[i], &ra[i], P);
    }
    return true;
}

// A pixel of one or three samples of 1, 2 or 4 bytes.
template <class RowsOfA>
bool keyMerge(std::uint8_t* rb, std::size_t n, const std::uint8_t* key, std::size_t pix, RowsOfA& rowsOfA) {
    switch (pix) {
        case 1: return keyMergeOf<1>(rb, n, key, rowsOfA);
        case 2: return keyMergeOf<2>(rb, n, key, rowsOfA);
        case 3: return keyMergeOf<3>(rb, n, key, rowsOfA);
        case 4: return keyMergeOf<4>(rb, n, key, rowsOfA);
        case 6: return keyMergeOf<6>(rb, n, key, rowsOfA);
        case 12: return keyMergeOf<12>(rb, n, key, rowsOfA);
    }
    return false;  // one or three samples of 1, 2 or 4 bytes: nothing else reaches here
}

float mergeMaps(const char* pathA, const char* pathB, bool hack) {
    using namespace tiff;
    if (!pathA || !pathB) return -9.0f;
    // B is locked before anything of it is read, and stays so until it is
    // replaced.
    fileio::NewFile out;
    if (out.lock(pathB) == fileio::Written::Busy) return hostcall::kFileBusy;
    WalkRules rules;
    rules.positiveBpsCode = true;
    Directory a, b;
    float rc = readTiffHeader(pathA, rules, a);
    if (rc != 0.0f) return rc;
    rc = readTiffHeader(pathB, rules, b);
    if (rc == kCannotOpen) {
        printCode("-20");
        return kBCannotOpen;
    }
    if (rc == kMissingEntry && b.entryCount < 1) return kBSizesDiffer;
    if (rc != 0.0f) return rc;
    if (a.width != b.width || a.length != b.length) return kBSizesDiffer;
    // Samples of more than a byte are copied and blended as stored: both
    // maps must store them in one byte order.
    if (a.samples != b.samples || a.bits != b.bits || (a.bits > 8 && a.bigEndian != b.bigEndian))
        return kBSamplesDiffer;
    if (a.stripOffset != b.stripOffset) return kHeaderLengthsDiffer;

    const std::uint32_t s = a.bits == 8 ? 1 : a.bits == 16 ? 2 : a.bits == 32 ? 4 : 0;
    std::uint64_t row = 0;
    rowBytes(a, a.samples, s, row);
    if (s && (!rowsFit(a, row) || !rowsFit(b, row))) return kRowsPastEnd;

    fileio::File fa = fileio::open(pathA, "r+b");
    if (!fa) return kCannotReopen;
    // A map merged into itself is refused as B.
    if (fileio::sameFile(pathA, pathB)) return kBCannotReopen;
    // Nothing changes (a depth other than 8, 16 or 32, no rows); B must
    // still open for reading and writing.
    if (s == 0 || row == 0 || a.length == 0) return fileio::open(pathB, "r+b") ? 0.0f : kBCannotReopen;
    const fileio::Written w = out.begin(pathB, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok) return fileio::writtenCode(w, kBCannotReopen, kIoFailure, kIoFailure);
    fileio::FileWindow mapB;
    if (mapB.open(pathB) != fileio::Load::Ok) return kIoFailure;

    const std::size_t pix = static_cast<std::size_t>(a.samples) * s;
    const bool blend = hack && s != 4;
    // The blend takes samples as unsigned integers (0 white or black alike:
    // the blend of two inverted samples is the inverse of their blend).
    if (blend && (a.sampleFormat > kUnsignedSamples || b.sampleFormat > kUnsignedSamples)) return kWrongSampleFormat;
    std::uint8_t key[12] = {};
    if (!blend && !readAt(fa.get(), a.stripOffset, key, pix)) return kIoFailure;

    // Both maps are read at A's strip positions; A's rows of a piece only
    // when one of B's pixels there takes A's.
    std::vector<std::uint8_t> ra(static_cast<std::size_t>(row * rowsPerPiece(row, a.length)));
    const std::uint8_t* ex = blend ? exclusionTable().data() : nullptr;
    const bool read =
        rewriteStrip(mapB, a.stripOffset, row, a.length, out, [&](std::uint8_t* rb, std::size_t n, std::uint32_t y) {
            auto rowsOfA = [&] { return readAt(fa.get(), a.stripOffset + row * y, ra.data(), n) ? ra.data() : nullptr; };
            if (blend) {
                if (!rowsOfA()) return false;
                for (std::size_t i = 0; i < n; ++i) rb[i] = ex[(ra[i] << 8) | rb[i]];
                return true;
            }
            return keyMerge(rb, n, key, pix, rowsOfA);
        });
    mapB.release();  // Windows renames nothing over an open file
    if (!read) return kIoFailure;
    return fileio::writtenCode(out.commit(), kBCannotReopen, kIoFailure, kIoFailure);
}

}  // namespace

float mergeTiff(const char* a, const char* b) { return mergeMaps(a, b, false); }
float mergeTiffHack(const char* a, const char* b) { return mergeMaps(a, b, true); }

float swapChannels(const char* path, int mode) {
    using namespace tiff;
    if (!path || mode < 0 || mode > 3) return -9.0f;
    fileio::NewFile out;
    if (out.lock(path) == fileio::Written::Busy) return hostcall::kFileBusy;
    WalkRules rules;
    rules.positiveBpsCode = true;
    Directory d;
    float rc = readTiffHeader(path, rules, d);
    if (rc == kCannotOpen && !kWindowsBuild) printCode("-10");
    if (rc != 0.0f) return rc;
    const bool rgb8 = d.bits == 8 && d.samples == 3;
    std::uint64_t row = 0;
    rowBytes(d, 3, 1, row);
    if (rgb8 && !rowsFit(d, row)) return kRowsPastEnd;
    if (!fileio::open(path, "r+b")) {
        if (!kWindowsBuild) printCode("-101");
        return kCannotReopen;
    }
    // Mode 1 exchanges G and B, 2 R and B, 3 R and G; mode 0 and maps that
    // are not 8-bit RGB change nothing, and nothing is written.
    if (!rgb8 || row == 0 || d.length == 0 || mode == 0) return 0.0f;
    const fileio::Written w = out.begin(path, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok) return fileio::writtenCode(w, kCannotReopen, kIoFailure, kIoFailure);
    fileio::FileWindow map;
    if (map.open(path) != fileio::Load::Ok) return kIoFailure;
    static const int pairs[4][2] = {{0, 0}, {1, 2}, {0, 2}, {0, 1}};
    const int i0 = pairs[mode][0], i1 = pairs[mode][1];
    const bool read =
        rewriteStrip(map, d.stripOffset, row, d.length, out, [&](std::uint8_t* p, std::size_t n, std::uint32_t) {
            for (std::size_t k = 0; k < n; k += 3) std::swap(p[k + i0], p[k + i1]);
            return true;
        });
    map.release();  // Windows renames nothing over an open file
    if (!read) return kIoFailure;
    return fileio::writtenCode(out.commit(), kCannotReopen, kIoFailure, kIoFailure);
}

float singleChannelTiff(const char* source, const char* destination) {
    using namespace tiff;
    if (!source || !destination) return -1.0f;
    std::vector<std::uint8_t> header = float32Template();
    Directory d;
    float rc = readFloatSource(source, d);
    if (rc != 0.0f) return rc;
    if ((rc = checkSamples(d, 3, kFloatSamples)) != 0.0f || (rc = checkOrientation(d)) != 0.0f) return rc;
    std::uint64_t srcRow = 0, dstRow = 0;
    rowBytes(d, 3, 4, srcRow);
    rowBytes(d, 1, 4, dstRow);
    if ((rc = patchTemplate(d, dstRow * d.length, header)) != 0.0f) return rc;
    return convertRows(source, destination, d, header, srcRow, dstRow,
                       [](const std::uint8_t* p, std::size_t pixels, std::uint8_t* out) {
                           for (std::size_t i = 0; i < pixels; ++i) std::memcpy(out + 4 * i, p + 12 * i, 4);
                       });
}
