// The operations that rewrite a map in place: mergeMapsTIF and
// mergeMapsTIFHack, which change map B from map A, and swapRGBTIF. Each
// writes the map's new content to a new file that then replaces it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "FileAccess.h"
#include "HostCall.h"
#include "NewFile.h"
#include "Platform.h"
#include "TiffInternal.h"
#include "TiffOps.h"
#include "TiffReader.h"

namespace tiff {

namespace {

// Prints a code on a line of its own on standard output, at once.
void printCode(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

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
using WordOf = std::conditional_t<
    N == 8, std::uint64_t,
    std::conditional_t<N == 4, std::uint32_t, std::conditional_t<N == 2, std::uint16_t, std::uint8_t>>>;

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
        case 1:
            return keyMergeOf<1>(rb, n, key, rowsOfA);
        case 2:
            return keyMergeOf<2>(rb, n, key, rowsOfA);
        case 3:
            return keyMergeOf<3>(rb, n, key, rowsOfA);
        case 4:
            return keyMergeOf<4>(rb, n, key, rowsOfA);
        case 6:
            return keyMergeOf<6>(rb, n, key, rowsOfA);
        case 12:
            return keyMergeOf<12>(rb, n, key, rowsOfA);
    }
    return false;  // one or three samples of 1, 2 or 4 bytes: nothing else reaches here
}

}  // namespace

float mergeMaps(const char* pathA, const char* pathB, bool hack) {
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

    if (!fileio::opens(pathA, true)) return kCannotReopen;
    // A map merged into itself is refused as B.
    if (fileio::sameFile(pathA, pathB)) return kBCannotReopen;
    // Nothing changes (a depth other than 8, 16 or 32, no rows); B must
    // still open for reading and writing.
    if (s == 0 || row == 0 || a.length == 0) return fileio::opens(pathB, true) ? 0.0f : kBCannotReopen;
    const fileio::Written w = out.begin(pathB, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok) return fileio::writtenCode(w, kBCannotReopen, kIoFailure, kIoFailure);
    fileio::FileWindow mapA, mapB;
    if (mapA.open(pathA) != fileio::Load::Ok || mapB.open(pathB) != fileio::Load::Ok) return kIoFailure;

    const std::size_t pix = static_cast<std::size_t>(a.samples) * s;
    const bool blend = hack && s != 4;
    // The blend takes samples as unsigned integers (0 white or black alike:
    // the blend of two inverted samples is the inverse of their blend).
    if (blend && (a.sampleFormat > kUnsignedSamples || b.sampleFormat > kUnsignedSamples)) return kWrongSampleFormat;
    std::uint8_t key[12] = {};
    if (!blend && !mapA.read(a.stripOffset, key, pix)) return kIoFailure;

    // Both maps are read at A's strip positions; A's rows of a piece only
    // when one of B's pixels there takes A's.
    std::vector<std::uint8_t> ra(static_cast<std::size_t>(row * rowsPerPiece(row, a.length)));
    const std::uint8_t* ex = blend ? exclusionTable().data() : nullptr;
    const bool read =
        rewriteStrip(mapB, a.stripOffset, row, a.length, out, [&](std::uint8_t* rb, std::size_t n, std::uint32_t y) {
            auto rowsOfA = [&] { return mapA.read(a.stripOffset + row * y, ra.data(), n) ? ra.data() : nullptr; };
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

float swapPair(const char* path, int mode) {
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
    if (!fileio::opens(path, true)) {
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

}  // namespace tiff
