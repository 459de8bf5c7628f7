#include "PsdOps.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "FileAccess.h"
#include "NewFile.h"
#include "PsdKernels.h"

std::int32_t _offst = 0;
PSDHeader _fHeader;

namespace {

// The header reader over any source of the file's bytes: at(off, n) gives
// the n bytes at off, or null when they do not lie inside the file.
template <class At>
float decodePsdHeader(At&& at) {
    using namespace psd;
    _offst = 0;
    const std::uint8_t* p = at(0, 4);
    if (!p || std::memcmp(p, "8BPS", 4) != 0) return kBadSignature;
    _fHeader.signature = fileio::loadBE32(p);
    if (!(p = at(4, 2))) return kShortHeader;
    _fHeader.version = fileio::loadBE16(p);
    if (_fHeader.version != 1) return kBadVersion;
    if (!(p = at(0, 34))) return kShortHeader;
    _fHeader.channels = fileio::loadBE16(p + 12);
    _fHeader.rows = fileio::loadBE32(p + 14);
    _fHeader.columns = fileio::loadBE32(p + 18);
    _fHeader.depth = fileio::loadBE16(p + 22);
    _fHeader.colourMode = fileio::loadBE16(p + 24);
    _fHeader.colourDataLength = fileio::loadBE32(p + 26);
    if (_fHeader.colourDataLength != 0) return kColourData;
    _fHeader.resourcesLength = fileio::loadBE32(p + 30);
    // Section lengths are 32-bit: their sums are formed in 64 bits.
    std::uint64_t pos = std::uint64_t(_fHeader.resourcesLength) + 34;
    if (!(p = at(pos, 4))) return kShortHeader;
    _fHeader.layersLength = fileio::loadBE32(p);
    pos += 4 + std::uint64_t(_fHeader.layersLength);
    if (pos + 2 > std::uint64_t(std::numeric_limits<std::int32_t>::max()) || !(p = at(pos, 2))) return kShortHeader;
    _offst = static_cast<std::int32_t>(pos);
    _fHeader.compression = fileio::loadBE16(p);
    if (_fHeader.compression != 0) return kCompressed;
    _offst += 2;
    return 0.0f;
}

}  // namespace

float readPSDHeader(const fileio::Bytes& f) {
    return decodePsdHeader([&f](std::uint64_t off, std::size_t n) -> const std::uint8_t* {
        return off <= f.size && n <= f.size - off ? f.data + off : nullptr;
    });
}

float readPSDHeader(fileio::FileWindow& w) {
    return decodePsdHeader([&w](std::uint64_t off, std::size_t n) { return w.view(off, n); });
}

float finishPSDRewrite(fileio::NewFile& out, bool read) {
    if (!read) {
        out.abandon();
        return psd::kBadSignature;
    }
    return fileio::writtenCode(out.commit(), psd::kCannotWrite, psd::kCannotWrite, psd::kCannotWrite);
}

namespace {

// Starts the new content of a PSD that a call rewrites (and has locked).
float beginPSDRewrite(fileio::NewFile& out, const char* path) {
    return fileio::writtenCode(out.begin(path, fileio::Target::Rewrite), psd::kCannotWrite, psd::kCannotWrite,
                               psd::kCannotWrite);
}

}  // namespace

std::vector<std::uint8_t> psd16Header() {
    std::vector<std::uint8_t> h(40, 0);
    std::memcpy(h.data(), "8BPS", 4);
    fileio::storeBE16(&h[4], 1);
    fileio::storeBE16(&h[12], 1);
    fileio::storeBE32(&h[14], 128);
    fileio::storeBE32(&h[18], 128);
    fileio::storeBE16(&h[22], 16);
    fileio::storeBE16(&h[24], 1);
    return h;  // the three section lengths and the compression stay 0
}

bool psdPlanesFit(std::int64_t offset, std::uint32_t rows, std::uint32_t columns, int planes, int bytesPerSample,
                  std::size_t size) {
    if (offset < 0 || static_cast<std::uint64_t>(offset) > size) return false;
    // rows and columns are below 2^32 each, so the plane size fits in 64
    // bits; the whole product is checked against the bytes left by division.
    std::uint64_t plane = std::uint64_t(rows) * columns;
    std::uint64_t left = size - static_cast<std::uint64_t>(offset);
    std::uint64_t per = std::uint64_t(planes) * std::uint64_t(bytesPerSample);
    return per == 0 || plane <= left / per;
}

namespace {

// Opens a PSD for a pass through a window and reads its header.
float openPsd(const char* path, fileio::FileWindow& w) {
    if (w.open(path) != fileio::Load::Ok) return psd::kBadSignature;  // cannot be opened for reading
    return readPSDHeader(w);
}

// The merge reads each plane's block of this many bytes straight from the
// files (B's into the new file's buffer, where it is merged).
constexpr std::size_t kBlock = 256u << 10;

// The kinds of map the merge takes: 16 for 16-bit greyscale, 24 for 8-bit
// RGB; 0 for any other depth or colour mode.
int mergeKind(const PSDHeader& h) {
    if (h.depth == 16 && h.colourMode == psd::kGreyMode) return 16;
    if (h.depth == 8 && h.colourMode == psd::kRgbMode) return 24;
    return 0;
}

}  // namespace

float mergePSD(const char* a, const char* b) {
    using namespace psd;
    if (fileio::sameFile(a, b)) return kCannotWrite;
    // B is locked before anything of it is read, and stays so until it is
    // replaced.
    fileio::NewFile out;
    if (out.lock(b) == fileio::Written::Busy) return hostcall::kFileBusy;
    fileio::FileWindow wa, wb;
    float r = openPsd(b, wb);
    if (r != 0.0f) return r;
    const std::uint32_t rowsB = _fHeader.rows, columnsB = _fHeader.columns;
    const std::int32_t offB = _offst;
    const int kindB = mergeKind(_fHeader);

    r = openPsd(a, wa);
    if (r != 0.0f) return r;
    if (_fHeader.rows != rowsB || _fHeader.columns != columnsB) return kSizesDiffer;
    const int kind = mergeKind(_fHeader);
    // B must be of the same kind: A's samples written into planes of
    // another layout would scramble B.
    if (kind == 0 || kindB != kind) return kUnsupportedKind;
    if (_offst != offB) return kHeadersDiffer;
    const int planes = kind == 16 ? 1 : 3;
    const int sample = kind == 16 ? 2 : 1;
    if (!psdPlanesFit(_offst, rowsB, columnsB, planes, sample, static_cast<std::size_t>(wa.size())) ||
        !psdPlanesFit(offB, rowsB, columnsB, planes, sample, static_cast<std::size_t>(wb.size())))
        return kShortData;

    // B's new content: its header, the merged planes, whatever followed them.
    const std::uint64_t n = std::uint64_t(rowsB) * columnsB, off = std::uint64_t(offB);
    const std::uint64_t pixels = std::uint64_t(planes) * std::uint64_t(sample) * n;
    // The key: B's first sample (16-bit) or first pixel (8-bit RGB).
    std::uint8_t key[3] = {0, 0, 0};
    if (n > 0) {
        const std::uint64_t at[3] = {off, kind == 16 ? off + 1 : off + n, off + 2 * n};
        for (int c = 0; c < (kind == 16 ? 2 : 3); ++c)
            if (!wb.read(at[c], &key[c], 1)) return kBadSignature;
    }
    if ((r = beginPSDRewrite(out, b)) != 0.0f) return r;
    bool ok = fileio::copyRange(wb, 0, off, out);
    // A's blocks of each plane, kept for the next call (memory touched for
    // the first time is slow).
    thread_local std::vector<std::uint8_t> blocks;
    blocks.resize(3 * kBlock);
    std::uint8_t* s[3] = {blocks.data(), blocks.data() + kBlock, blocks.data() + 2 * kBlock};
    if (kind == 16) {
        // A's sample wherever it differs from B's first one.
        for (std::uint64_t i = 0; ok && i < 2 * n; i += kBlock) {
            const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, 2 * n - i));  // even
            std::uint8_t* d = out.room(m);
            if (!d) break;  // a write failed
            ok = wa.read(off + i, s[0], m) && wb.read(off + i, d, m);
            if (!ok) break;
            mergePlane16(s[0], d, m, key[0], key[1], d);
            out.advance(m);
        }
    } else {
        // A's pixel wherever any of its three samples differs from B's first
        // pixel. One pass over the planes: each block of pixels is merged in
        // all three and written at its place in each plane.
        for (std::uint64_t i = 0; ok && out.ok() && i < n; i += kBlock) {
            const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, n - i));
            for (std::uint64_t c = 0; ok && c < 3; ++c) ok = wa.read(off + c * n + i, s[c], m);
            for (std::uint64_t c = 0; ok && c < 3; ++c) {
                out.seek(off + c * n + i);
                std::uint8_t* d = out.room(m);
                if (!d) break;  // a write failed
                ok = wb.read(off + c * n + i, d, m);
                if (!ok) break;
                mergePlane8(s[0], s[1], s[2], s[c], d, m, key[0], key[1], key[2], d);
                out.advance(m);
            }
        }
    }
    if (ok) out.seek(off + pixels);
    ok = ok && fileio::copyRange(wb, off + pixels, wb.size() - (off + pixels), out);
    wa.release();
    wb.release();  // B is renamed over below
    return finishPSDRewrite(out, ok);
}

float swapChannelsPSD(const char* path, int mode) {
    using namespace psd;
    fileio::NewFile out;
    if (out.lock(path) == fileio::Written::Busy) return hostcall::kFileBusy;
    // The header of any length is written back as it was read.
    fileio::FileWindow w;
    float r = openPsd(path, w);
    if (r != 0.0f) return r;
    if (std::int64_t(_fHeader.depth) * _fHeader.channels != 24 || _fHeader.colourMode != kRgbMode) return kNotRgb8;
    if (!psdPlanesFit(_offst, _fHeader.rows, _fHeader.columns, 3, 1, static_cast<std::size_t>(w.size())))
        return kShortData;
    if (mode < 1 || mode > 3) return 0.0f;  // mode 0: the map is left alone

    const std::uint64_t n = std::uint64_t(_fHeader.rows) * _fHeader.columns, off = std::uint64_t(_offst);
    // Mode 1: P1 P3 P2; 2: P3 P1 P2; 3: P2 P3 P1. Whatever followed the
    // third plane is not written back.
    static const int order[4][3] = {{0, 1, 2}, {0, 2, 1}, {2, 0, 1}, {1, 2, 0}};
    if ((r = beginPSDRewrite(out, path)) != 0.0f) return r;
    bool ok = fileio::copyRange(w, 0, off, out);
    for (int k = 0; k < 3 && ok && out.ok(); ++k)
        ok = fileio::copyRange(w, off + std::uint64_t(order[mode][k]) * n, n, out);
    w.release();  // the original is renamed over below
    return finishPSDRewrite(out, ok);
}
