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
#include "TiffKernels.h"

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
