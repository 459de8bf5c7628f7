#include "BmpOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "FileAccess.h"
#include "NewFile.h"
#include "PsdOps.h"

BMPHeader _bmpHdr;

int getPadding(int width) {
    const float prod = 3.0f * static_cast<float>(width);
    const int r = static_cast<int>(std::fmod(prod, 4.0f));
    return (r >= 1 && r <= 3) ? 4 - r : 0;
}

namespace {

// Row stride in 64 bits, for arithmetic that must not wrap.
std::int64_t strideOf(const BMPHeader& h) { return h.width > 0 ? 3 * std::int64_t(h.width) + getPadding(h.width) : 0; }

// The number of rows: the height, or its magnitude for rows stored top
// down. The operations keep the storage order, so both read alike.
std::uint32_t rowCount(const BMPHeader& h) {
    return static_cast<std::uint32_t>(h.height < 0 ? -std::int64_t(h.height) : std::int64_t(h.height));
}

// True when every pixel of the header's rows lies inside size bytes. Only
// the padding of the last row may be missing (some writers leave it out).
bool rowsFit(const BMPHeader& h, std::size_t size) {
    if (h.width <= 0 || rowCount(h) == 0) return true;  // no rows to touch
    const std::uint64_t stride = static_cast<std::uint64_t>(strideOf(h));
    const std::uint64_t lastRow = 3 * std::uint64_t(h.width);
    if (std::uint64_t(h.dataOffset) + lastRow > size) return false;
    const std::uint64_t room = size - h.dataOffset - lastRow;
    return std::uint64_t(rowCount(h) - 1) <= room / stride;
}

}  // namespace

float readBMPHeader(const fileio::Bytes& f) {
    if (f.size >= 2) {
        _bmpHdr.signature[0] = static_cast<char>(f.data[0]);
        _bmpHdr.signature[1] = static_cast<char>(f.data[1]);
    }
    if (f.size < 38 || f.data[0] != 'B' || f.data[1] != 'M') return bmp::kNotBmp;
    _bmpHdr.fileSize = fileio::loadLE32(f.data + 2);
    _bmpHdr.dataOffset = fileio::loadLE32(f.data + 10);
    _bmpHdr.headerSize = fileio::loadLE32(f.data + 14);
    _bmpHdr.width = static_cast<std::int32_t>(fileio::loadLE32(f.data + 18));
    _bmpHdr.height = static_cast<std::int32_t>(fileio::loadLE32(f.data + 22));
    _bmpHdr.bitsPerPixel = fileio::loadLE16(f.data + 28);
    _bmpHdr.compression = fileio::loadLE32(f.data + 30);
    _bmpHdr.imageSize = fileio::loadLE32(f.data + 34);
    // 32-bit arithmetic as stored; the operations use strideOf for offsets.
    _bmpHdr.rowStride = static_cast<std::int32_t>(3u * static_cast<std::uint32_t>(_bmpHdr.width) +
                                                  static_cast<std::uint32_t>(getPadding(_bmpHdr.width)));
    return 0.0f;
}

bool rowsAfterHeader(std::uint32_t headerSize, std::uint32_t compression, std::uint32_t dataOffset) {
    return headerSize >= 40 && compression == 0 && dataOffset >= 14 + std::uint64_t(headerSize);
}

float layoutCode(const BMPHeader& h) {
    if (h.bitsPerPixel != 24) return bmp::kNot24Bit;
    return rowsAfterHeader(h.headerSize, h.compression, h.dataOffset) ? 0.0f : bmp::kUnreadLayout;
}

namespace {

// Opens one map for a pass through a window, parses its header and checks
// that its rows are ones the operations read.
float openMap(const char* path, fileio::FileWindow& w, float cannotOpen) {
    if (w.open(path) != fileio::Load::Ok) return cannotOpen;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(w.size(), 38));
    const std::uint8_t* head = w.view(0, n);
    if (!head) return cannotOpen;
    if (readBMPHeader(fileio::Bytes(head, n)) != 0.0f) return bmp::kNotBmp;
    return layoutCode(_bmpHdr);
}

enum class Pass { Ok, ReadFailed, WriteFailed };

// Writes the new content of a map, read through `map`: the bytes before
// the rows as they are, the rows a piece at a time (padding included, but
// never past the end of the file), read into the new file's buffer and
// edited there by fn(piece, first row, rows), then whatever follows the
// rows. fn returns false when it cannot read what it needs.
template <class Fn>
Pass rewriteRows(fileio::FileWindow& map, const BMPHeader& h, fileio::NewFile& out, Fn&& fn) {
    const std::uint64_t size = map.size();
    std::uint64_t done = 0;  // bytes of the map passed on so far
    if (h.width > 0 && rowCount(h) > 0) {
        const std::uint64_t stride = static_cast<std::uint64_t>(strideOf(h));
        const std::uint32_t per =
            static_cast<std::uint32_t>(std::max<std::uint64_t>(1, fileio::NewFile::kBuffer / stride));
        if (!fileio::copyRange(map, 0, h.dataOffset, out)) return Pass::ReadFailed;
        for (std::uint32_t y = 0; y < rowCount(h); y += per) {
            const std::uint32_t rows = std::min<std::uint32_t>(per, rowCount(h) - y);
            const std::uint64_t at = h.dataOffset + stride * y;
            // rowsFit: every pixel is inside; only the last padding may not be.
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(stride * rows, size - at));
            std::uint8_t* p = out.room(n);
            if (!p) return Pass::WriteFailed;
            if (!map.read(at, p, n) || !fn(p, y, rows)) return Pass::ReadFailed;
            out.advance(n);
            done = at + n;
        }
    }
    if (!fileio::copyRange(map, done, size - done, out)) return Pass::ReadFailed;
    return out.ok() ? Pass::Ok : Pass::WriteFailed;
}

// The code of a rewrite's end: the pass's failure, else the commit's.
float finishRewrite(Pass pass, fileio::NewFile& out, float notWritable) {
    if (pass != Pass::Ok) {
        out.abandon();
        return pass == Pass::ReadFailed ? bmp::kCannotOpen : notWritable;
    }
    return fileio::writtenCode(out.commit(), notWritable, notWritable, notWritable);
}

}  // namespace

float mergeBMP(const char* sourcePath, const char* targetPath) {
    using namespace bmp;
    if (fileio::sameFile(sourcePath, targetPath)) return kTargetNotWritable;
    // The target is locked before anything of it is read.
    fileio::NewFile out;
    if (out.lock(targetPath) == fileio::Written::Busy) return hostcall::kFileBusy;
    fileio::FileWindow target, source;
    float r = openMap(targetPath, target, kCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader t = _bmpHdr;
    r = openMap(sourcePath, source, kSourceCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader s = _bmpHdr;
    if (s.width != t.width || s.height != t.height) return kSizesDiffer;
    if (s.dataOffset != t.dataOffset) return kLayoutDiffers;
    if (!rowsFit(s, source.size()) || !rowsFit(t, target.size())) return kShortData;
    // The source is only read, but like the target it must be writable.
    if (!fileio::opens(sourcePath, true)) return kSourceNotWritable;

    std::uint8_t k0 = 0, k1 = 0, k2 = 0;
    if (s.width > 0 && rowCount(s) > 0) {
        const std::uint8_t* key = source.view(s.dataOffset, 3);
        if (!key) return kSourceCannotOpen;
        k0 = key[0], k1 = key[1], k2 = key[2];
    }
    const std::uint64_t stride = static_cast<std::uint64_t>(strideOf(s));
    const std::size_t rowPixels = 3 * std::size_t(s.width > 0 ? s.width : 0);
    const fileio::Written w = out.begin(targetPath, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok)
        return fileio::writtenCode(w, kTargetNotWritable, kTargetNotWritable, kTargetNotWritable);
    auto merge = [&](std::uint8_t* block, std::uint32_t y, std::uint32_t rows) {
        // The source's rows of this block, as far as its file goes: read
        // only when a pixel takes one (most blocks of a map need few).
        const std::uint64_t at = s.dataOffset + y * stride;
        const std::size_t len = std::size_t(std::min<std::uint64_t>(rows * stride, source.size() - at));
        const std::uint8_t* src = nullptr;
        for (std::uint32_t k = 0; k < rows; ++k) {
            std::uint8_t* tp = block + std::size_t(k * stride);
            for (std::size_t x = 0; x < rowPixels; x += 3)
                if (tp[x] == k0 && tp[x + 1] == k1 && tp[x + 2] == k2) {
                    if (!src) {
                        src = source.view(at, len);
                        if (!src) return false;
                    }
                    const std::uint8_t* sp = src + std::size_t(k * stride);
                    tp[x] = sp[x];
                    tp[x + 1] = sp[x + 1];
                    tp[x + 2] = sp[x + 2];
                }
        }
        return true;
    };
    const Pass pass = rewriteRows(target, t, out, merge);
    target.release();  // Windows renames nothing over an open file
    source.release();
    return finishRewrite(pass, out, kTargetNotWritable);
}

float swapChannelsBMP(const char* path, int mode) {
    using namespace bmp;
    fileio::NewFile out;
    if (out.lock(path) == fileio::Written::Busy) return hostcall::kFileBusy;
    fileio::FileWindow map;
    float r = openMap(path, map, kCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader h = _bmpHdr;
    if (!rowsFit(h, map.size())) return kShortData;
    int a, b;
    switch (mode) {
        case 1:
            a = 0, b = 1;
            break;  // blue <-> green
        case 2:
            a = 0, b = 2;
            break;  // blue <-> red
        case 3:
            a = 1, b = 2;
            break;  // green <-> red
        default:    // every row would be written back as it was read
            return fileio::opens(path, true) ? 0.0f : kSourceNotWritable;
    }
    if (h.width <= 0 || rowCount(h) == 0) return fileio::opens(path, true) ? 0.0f : kSourceNotWritable;
    const std::int64_t stride = strideOf(h);
    const std::size_t rowPixels = 3 * std::size_t(h.width);
    const fileio::Written w = out.begin(path, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok)
        return fileio::writtenCode(w, kSourceNotWritable, kSourceNotWritable, kSourceNotWritable);
    const Pass pass = rewriteRows(map, h, out, [&](std::uint8_t* block, std::uint32_t, std::uint32_t rows) {
        for (std::uint32_t k = 0; k < rows; ++k) {
            std::uint8_t* p = block + std::size_t(k * stride);
            for (std::size_t x = 0; x < rowPixels; x += 3) std::swap(p[x + a], p[x + b]);
        }
        return true;
    });
    map.release();  // Windows renames nothing over an open file
    return finishRewrite(pass, out, kSourceNotWritable);
}

namespace {

// The thumbnails read a few rows spread over the map: small windows, read
// rather than mapped, so that the rows between the sampled ones are not
// brought in.
constexpr std::size_t kSampleWindow = 16u << 10;

// Small reads in file order through a window, which is asked for
// kSampleWindow bytes at a time.
class Reader {
public:
    explicit Reader(fileio::FileWindow& w) : w_(w) {}
    // The n bytes at off, or null when they do not lie inside the file or
    // cannot be read.
    const std::uint8_t* at(std::uint64_t off, std::size_t n) {
        if (off > w_.size() || n > w_.size() - off) return nullptr;
        if (!p_ || off < lo_ || off + n > hi_) {
            const std::size_t len =
                std::max(n, static_cast<std::size_t>(std::min<std::uint64_t>(kSampleWindow, w_.size() - off)));
            p_ = w_.view(off, len);
            if (!p_) return nullptr;
            lo_ = off;
            hi_ = off + len;
        }
        return p_ + (off - lo_);
    }

private:
    fileio::FileWindow& w_;
    const std::uint8_t* p_ = nullptr;
    std::uint64_t lo_ = 0, hi_ = 0;
};

}  // namespace

float createBMPthumb(const char* path, int size) {
    using namespace bmp;
    if (size < 1) return kThumbBadSize;
    fileio::NewFile out;
    if (out.lock(path) == fileio::Written::Busy) return hostcall::kFileBusy;
    fileio::FileWindow file(kSampleWindow, fileio::FileWindow::Fill::Read);
    const float r = openMap(path, file, kThumbCannotOpen);
    if (r != 0.0f) return r == kNotBmp ? kThumbNotBmp : r;
    const BMPHeader h = _bmpHdr;
    // Rows stored top down give a thumbnail stored top down.
    const std::int32_t w = h.width;
    if (w <= 0 || rowCount(h) == 0 || rowCount(h) > std::uint32_t(INT32_MAX)) return kThumbNotPositive;
    const std::int32_t ht = static_cast<std::int32_t>(rowCount(h));
    if (w < size && ht < size) return 0.0f;  // already small enough
    if (!rowsFit(h, file.size())) return kShortData;

    // Output size and step in single precision.
    const float fs = static_cast<float>(size);
    std::int32_t outW, outH;
    float step;
    if (w < ht) {
        outH = size;
        outW = static_cast<std::int32_t>(static_cast<float>(w) / static_cast<float>(ht) * fs);
        step = static_cast<float>(ht) / fs;
    } else {
        outW = size;
        outH = static_cast<std::int32_t>(static_cast<float>(ht) / static_cast<float>(w) * fs);
        step = static_cast<float>(w) / fs;
    }
    const int pad = getPadding(outW);
    // outW <= w and outH <= ht, so the output is no larger than the rows
    // just checked against the file.
    const std::size_t outRow = 3 * std::size_t(outW) + std::size_t(pad);
    const std::size_t n = outRow * std::size_t(outH);
    if (std::uint64_t(h.dataOffset) + n > std::numeric_limits<std::uint32_t>::max()) return kShortData;

    // The new file: the bytes before the rows with the size fields patched
    // (rowsFit put dataOffset inside the file; the header's 38 bytes are
    // patched first and only the part before the rows is kept), then the
    // sampled rows, written as they are made.
    std::uint8_t head[38];
    const std::uint8_t* p = file.view(0, sizeof head);  // openMap read them
    if (!p) return kThumbCannotOpen;
    std::memcpy(head, p, sizeof head);
    fileio::storeLE32(&head[2], static_cast<std::uint32_t>(h.dataOffset + n));
    fileio::storeLE32(&head[18], static_cast<std::uint32_t>(outW));
    fileio::storeLE32(&head[22], static_cast<std::uint32_t>(h.height < 0 ? -outH : outH));
    fileio::storeLE32(&head[34], static_cast<std::uint32_t>(n));
    const fileio::Written begun = out.begin(path, fileio::Target::Rewrite);
    if (begun != fileio::Written::Ok)
        return fileio::writtenCode(begun, kThumbCannotWrite, kThumbCannotWrite, kThumbCannotWrite);
    out.put(head, std::min<std::size_t>(h.dataOffset, sizeof head));
    bool ok = h.dataOffset <= sizeof head || fileio::copyRange(file, sizeof head, h.dataOffset - sizeof head, out);

    const std::uint64_t fileSize = file.size();
    const std::int64_t stride = strideOf(h);
    std::vector<std::uint8_t> row(outRow, 0);  // the padding stays zero
    Reader src(file);
    std::int64_t rowAt = h.dataOffset;
    float aR = 0.0f;
    std::int64_t iR = 0;
    for (std::int32_t j = 0; ok && j < outH; ++j) {
        std::int64_t at = rowAt;
        // The row's samples lie within its 3 * w bytes: one read for them
        // all (up to a block; the samples read the rest, and meet again a
        // read that fails here).
        if (at >= 0 && std::uint64_t(at) < fileSize)
            (void)src.at(std::uint64_t(at),
                         std::size_t(std::min<std::uint64_t>(
                             {3 * std::uint64_t(w), fileio::FileWindow::kBlock, fileSize - std::uint64_t(at)})));
        float aC = 0.0f;
        std::int64_t iC = 0;
        for (std::int32_t i = 0; ok && i < outW; ++i) {
            std::uint8_t* o = &row[3 * std::size_t(i)];
            if (at >= 0 && std::uint64_t(at) + 3 <= fileSize) {
                const std::uint8_t* px = src.at(std::uint64_t(at), 3);
                ok = px != nullptr;
                if (ok) std::memcpy(o, px, 3);
            } else {
                std::memset(o, 0, 3);
            }
            aC = aC + step;
            at += 3 * static_cast<std::int64_t>(aC - static_cast<float>(iC));
            iC = static_cast<std::int64_t>(aC);
        }
        out.put(row.data(), row.size());
        aR = aR + step;
        rowAt += stride * static_cast<std::int64_t>(aR - static_cast<float>(iR));
        iR = static_cast<std::int64_t>(aR);
    }

    file.release();  // the original is replaced below
    if (!ok) {
        out.abandon();
        return kThumbCannotOpen;  // a row could not be read
    }
    return fileio::writtenCode(out.commit(), kThumbCannotWrite, kThumbCannotWrite, kThumbCannotWrite);
}

namespace {

// Opens the PSD for its thumbnail and checks that it has three 8-bit colour
// planes inside the file, each of fewer than 2^31 rows and columns.
float openThumbSource(const char* path, fileio::FileWindow& w) {
    using namespace psd;
    if (w.open(path) != fileio::Load::Ok) return kBadSignature;
    const float r = readPSDHeader(w);
    if (r != 0.0f) return r;
    if (_fHeader.depth != 8 || _fHeader.channels < 3 || _fHeader.colourMode != kRgbMode) return kNotRgb8;
    constexpr std::uint32_t kMaxSide = std::numeric_limits<std::int32_t>::max();
    if (_fHeader.rows > kMaxSide || _fHeader.columns > kMaxSide ||
        !psdPlanesFit(_offst, _fHeader.rows, _fHeader.columns, 3, 1, static_cast<std::size_t>(w.size())))
        return kShortData;
    return 0.0f;
}

// The canvases below are walked a row at a time, for one plane:
// take(x, s) puts source sample s (an index within the plane) at output
// column x of the row, done() ends the row; either returns false to stop
// the walk (a sample that cannot be read, a row that cannot be written).

// A W x H picture smaller than the S x S canvas: copied 1:1, centred on
// black.
template <class Take, class Done>
bool centreOnCanvas(std::int64_t W, std::int64_t H, std::int64_t S, Take&& take, Done&& done) {
    const std::int64_t x0 = (S - W) / 2, y0 = (S - H) / 2;
    for (std::int64_t y = 0; y < S; ++y) {
        if (y >= y0 && y < y0 + H)
            for (std::int64_t x = 0; x < W; ++x)
                if (!take(x0 + x, (y - y0) * W + x)) return false;
        if (!done()) return false;
    }
    return true;
}

// How many steps lie between the extra source pixels that spread what
// f * S leaves over of a side; 0 when nothing is left over.
std::int64_t spreadInterval(std::int64_t left, std::int64_t S) { return left > 0 ? S / left : 0; }

// The step's extra source pixel: 1 after every `interval` steps without
// one (counted in k), else 0.
inline std::int64_t extraStep(std::int64_t interval, std::int64_t& k) {
    if (interval > 0 && k >= interval) {
        k = 0;
        return 1;
    }
    ++k;
    return 0;
}

// A picture at least as large as the S x S canvas on one side: sampled at
// the integer step f = max(W, H) / S, with an extra source pixel now and
// then to spread the remainder, and centred across the shorter side with
// black margins. The column counter runs on from row to row. The samples
// taken lie in file order.
template <class Take, class Done>
bool sampleOntoCanvas(std::int64_t W, std::int64_t H, std::int64_t S, Take&& take, Done&& done) {
    std::int64_t f = std::max(W, H) / S;
    if (f == 0) f = 1;
    const std::int64_t outW = W / f, outH = H / f;
    const std::int64_t cI = spreadInterval(W - f * S, S), rI = spreadInterval(H - f * S, S);
    const bool portrait = H > W;
    std::int64_t mC = portrait ? (S - outW) / 2 : 0;  // margin columns still to pass in this row
    std::int64_t mR = portrait ? 0 : (S - outH) / 2;  // margin rows still to pass
    std::int64_t s = 0, ci = 0, ri = 0, kC = 0, kR = 0;
    for (std::int64_t y = 0; y < S; ++y) {
        const std::int64_t rowS = s, rowCi = ci;
        for (std::int64_t x = 0; x < S; ++x) {
            const bool shown = portrait ? (mC < 1 && ci < W) : (mR < 1 && ri < H);
            if (shown && ri < H && ci < W && !take(x, s)) return false;  // never outside the plane
            const std::int64_t e = extraStep(cI, kC);
            if (mC < 1) {
                s += f + e;
                ci += f + e;
            }
            --mC;
        }
        if (!done()) return false;
        const std::int64_t e = extraStep(rI, kR);
        if (mR < 1) {
            if (portrait) mC = (S - W / f) / 2;
            ri += f + e;
            s = W * ri;
            ci = 0;
        } else {
            --mR;
            s = rowS;
            ci = rowCi;
        }
    }
    return true;
}

}  // namespace

float createThumb(const char* path, int size) {
    using namespace psd;
    if (size < 1 || size > bmp::kMaxPsdThumb) return bmp::kThumbBadSize;
    fileio::NewFile out;
    if (out.lock(path) == fileio::Written::Busy) return hostcall::kFileBusy;
    fileio::FileWindow file(kSampleWindow, fileio::FileWindow::Fill::Read);
    const float r = openThumbSource(path, file);
    if (r != 0.0f) return r;
    const std::int64_t W = _fHeader.columns, H = _fHeader.rows, S = size;
    const std::uint64_t off = std::uint64_t(_offst);

    // The header and its sections as they were (a successful header read
    // puts _offst past byte 40) with the new size, then the three planes,
    // each made and written a row at a time.
    std::uint8_t head[22];
    const std::uint8_t* p = file.view(0, sizeof head);
    if (!p) return kBadSignature;
    std::memcpy(head, p, sizeof head);
    fileio::storeBE32(&head[14], static_cast<std::uint32_t>(S));
    fileio::storeBE32(&head[18], static_cast<std::uint32_t>(S));
    // Three planes are written: the header says so (an alpha plane is dropped).
    if (_fHeader.channels > 3) fileio::storeBE16(&head[12], 3);
    const fileio::Written w = out.begin(path, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok) return fileio::writtenCode(w, kCannotWrite, kCannotWrite, kCannotWrite);
    out.put(head, sizeof head);
    bool ok = fileio::copyRange(file, sizeof head, off - sizeof head, out);

    std::vector<std::uint8_t> row(std::size_t(S), 0);
    Reader src(file);
    for (std::uint64_t c = 0; ok && c < 3; ++c) {
        const std::uint64_t plane = off + c * std::uint64_t(W) * std::uint64_t(H);
        auto take = [&](std::int64_t x, std::int64_t s) {
            const std::uint8_t* v = src.at(plane + std::uint64_t(s), 1);
            if (v) row[std::size_t(x)] = *v;
            return v != nullptr;
        };
        auto done = [&] {
            out.put(row.data(), row.size());
            std::fill(row.begin(), row.end(), std::uint8_t(0));
            return out.ok();
        };
        ok = W < S && H < S ? centreOnCanvas(W, H, S, take, done) : sampleOntoCanvas(W, H, S, take, done);
    }
    file.release();  // the original is replaced below
    return finishPSDRewrite(out, ok || !out.ok());
}
