// The range queries: getScale, the scale factor from the distinct 16-bit
// levels of a float map, and getScale16, the span of a 16-bit map's samples.
// Both read the rows in two halves, on two threads for a large map.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "FileAccess.h"
#include "Platform.h"
#include "SecondThread.h"
#include "TiffInternal.h"
#include "TiffKernels.h"
#include "TiffOps.h"
#include "TiffReader.h"

namespace tiff {

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

namespace {

// Below this many bytes of rows a second thread costs more than it saves.
constexpr std::uint64_t kParallelBytes = 16u << 20;

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
        bool firstOk = false, secondOk = false;
        if (runBeside([&] { firstOk = half(0, w); }, [&] { secondOk = half(1, second); })) return firstOk && secondOk;
        // No thread to be had: both halves run here, below.
    }
    return half(0, w) && half(1, w);
}

// A block of a big-endian map's rows in little-endian order, in `copy`; the
// block itself when the map is little-endian.
template <std::size_t Width>
const std::uint8_t* littleEndian(const Directory& d, const std::uint8_t* p, std::size_t bytes,
                                 std::vector<std::uint8_t>& copy) {
    if (!d.bigEndian) return p;
    copy.assign(p, p + bytes);
    toLittleEndian<Width>(copy.data(), bytes);
    return copy.data();
}

// A map opened for a range query: its directory and row length, and the
// window its rows are read through.
struct RangeSource {
    Directory d;
    std::uint64_t row = 0;
    fileio::FileWindow w;
};

// The common start of the two range queries: whole-file header walk, the
// rows within the file, the check that the map opens for reading and
// writing (a read-only map is refused), the window.
float openForRange(const char* path, int samples, int bits, RangeSource& s) {
    WalkRules rules;
    rules.requiredBits = bits;
    float rc = readTiffHeader(path, rules, s.d);
    if (rc != 0.0f) return rc;
    rc = checkSamples(s.d, static_cast<std::uint32_t>(samples), bits == 32 ? kFloatSamples : kUnsignedSamples);
    if (rc != 0.0f) return rc;
    rowBytes(s.d, static_cast<std::uint32_t>(samples), static_cast<std::uint32_t>(bits / 8), s.row);
    if (!rowsFit(s.d, s.row)) return kRowsPastEnd;
    if (!fileio::opens(path, true)) return kCannotReopen;
    if (s.row != 0 && s.d.length != 0 && s.w.open(path) != fileio::Load::Ok) return kIoFailure;
    return 0.0f;
}

}  // namespace

float levelScale(const char* path, int samples) {
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
            markLevels(le, perRow * rows, seen.data() + 65536 * half);
            return true;
        });
    if (!ok) return kIoFailure;
    std::uint32_t levels = 0;
    for (std::size_t i = 0; i < 65536; ++i) levels += seen[i] | seen[65536 + i];
    return scaleCurve(levels, kWindowsBuild);
}

float span16(const char* path, int samples) {
    RangeSource s;
    const float rc = openForRange(path, samples, 16, s);
    if (rc != 0.0f) return rc;
    std::uint32_t hi[2] = {0, 0}, lo[2] = {65535, 65535};             // one span per half of the rows
    const std::size_t step = 2u * static_cast<std::size_t>(samples);  // grey: every sample; RGB: red only
    std::vector<std::uint8_t> copies[2];                              // a big-endian map's blocks, one per half
    bool ok = forEachRowBlockInHalves(
        path, s.w, s.d.stripOffset, s.row, s.d.length, [&](int half, const std::uint8_t* p, std::uint32_t rows) {
            const std::uint8_t* le = littleEndian<2>(s.d, p, static_cast<std::size_t>(s.row) * rows, copies[half]);
            range16(le, static_cast<std::size_t>(s.d.width) * rows, step, hi[half], lo[half]);
            return true;
        });
    if (!ok) return kIoFailure;
    return static_cast<float>(static_cast<std::uint16_t>(std::max(hi[0], hi[1]) - std::min(lo[0], lo[1])));
}

}  // namespace tiff
