#include "BmpOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "FileAccess.h"
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

// True when every pixel of the header's rows lies inside size bytes. Only
// the padding of the last row may be missing (some writers leave it out).
bool rowsFit(const BMPHeader& h, std::size_t size) {
    if (h.width <= 0 || h.height <= 0) return true;  // no rows to touch
    const std::uint64_t stride = static_cast<std::uint64_t>(strideOf(h));
    const std::uint64_t lastRow = 3 * std::uint64_t(h.width);
    if (std::uint64_t(h.dataOffset) + lastRow > size) return false;
    const std::uint64_t room = size - h.dataOffset - lastRow;
    return std::uint64_t(h.height - 1) <= room / stride;
}

bool writable(const char* path) { return static_cast<bool>(fileio::open(path, "r+b")); }

}  // namespace

float readBMPHeader(const fileio::Bytes& f) {
    if (f.size >= 2) {
        _bmpHdr.signature[0] = static_cast<char>(f.data[0]);
        _bmpHdr.signature[1] = static_cast<char>(f.data[1]);
    }
    if (f.size < 38 || f.data[0] != 'B' || f.data[1] != 'M') return bmp::kNotBmp;
    _bmpHdr.fileSize = fileio::loadLE32(f.data + 2);
    _bmpHdr.dataOffset = fileio::loadLE32(f.data + 10);
    _bmpHdr.width = static_cast<std::int32_t>(fileio::loadLE32(f.data + 18));
    _bmpHdr.height = static_cast<std::int32_t>(fileio::loadLE32(f.data + 22));
    _bmpHdr.bitsPerPixel = fileio::loadLE16(f.data + 28);
    _bmpHdr.imageSize = fileio::loadLE32(f.data + 34);
    // 32-bit arithmetic as stored; the operations use strideOf for offsets.
    _bmpHdr.rowStride = static_cast<std::int32_t>(3u * static_cast<std::uint32_t>(_bmpHdr.width) +
                                                  static_cast<std::uint32_t>(getPadding(_bmpHdr.width)));
    return 0.0f;
}

namespace {

// Maps and parses one map for merge or swap.
float mapMap(const char* path, fileio::MappedFile& m, float cannotOpen) {
    if (m.open(path) != fileio::Load::Ok) return cannotOpen;
    return readBMPHeader(m.bytes()) != 0.0f ? bmp::kNotBmp : 0.0f;
}

// Rows are rewritten in blocks of about this many bytes.
constexpr std::size_t kRowBlockBytes = 1u << 20;

// Rewrites the rows of a mapped map in place a block at a time: each block
// is copied out of the mapping (padding included, but never past the end
// of the file), edited by fn(block, first row, rows) and written over the
// same bytes. Nothing outside the rows is written: the rest of the file
// keeps the bytes it has. False when the file cannot be opened for writing
// or a write fails.
template <class Fn>
bool rewriteRows(const char* path, const fileio::MappedFile& m, const BMPHeader& h, Fn&& fn) {
    fileio::File f = fileio::open(path, "r+b");
    if (!f) return false;
    if (h.width > 0 && h.height > 0) {
        const std::uint64_t stride = static_cast<std::uint64_t>(strideOf(h));
        const std::uint32_t per = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, kRowBlockBytes / stride));
        std::vector<std::uint8_t> block;
        for (std::uint32_t y = 0; y < static_cast<std::uint32_t>(h.height); y += per) {
            const std::uint32_t rows = std::min<std::uint32_t>(per, static_cast<std::uint32_t>(h.height) - y);
            const std::uint64_t at = h.dataOffset + stride * y;
            // rowsFit: every pixel is inside; only the last padding may not be.
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(stride * rows, m.size() - at));
            block.assign(m.data() + at, m.data() + at + n);
            fn(block.data(), y, rows);
            if (!fileio::seekTo(f.get(), at) || !fileio::writeAll(f.get(), block.data(), n)) return false;
            m.discard(static_cast<std::size_t>(at), n);
        }
    }
    return f.close();
}

}  // namespace

float mergeBMP(const char* sourcePath, const char* targetPath) {
    using namespace bmp;
    if (fileio::sameFile(sourcePath, targetPath)) return kTargetNotWritable;
    fileio::MappedFile target, source;
    float r = mapMap(targetPath, target, kCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader t = _bmpHdr;
    r = mapMap(sourcePath, source, kSourceCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader s = _bmpHdr;
    if (s.width != t.width || s.height != t.height) return kSizesDiffer;
    if (s.dataOffset != t.dataOffset || s.bitsPerPixel != t.bitsPerPixel) return kLayoutDiffers;
    if (!rowsFit(s, source.size()) || !rowsFit(t, target.size())) return kShortData;
    // The source is only read, but like the target it must be writable.
    if (!writable(sourcePath)) return kSourceNotWritable;

    std::uint8_t k0 = 0, k1 = 0, k2 = 0;
    if (s.width > 0 && s.height > 0) {
        const std::uint8_t* key = source.data() + s.dataOffset;
        k0 = key[0], k1 = key[1], k2 = key[2];
    }
    const std::int64_t stride = strideOf(s);
    const std::size_t rowPixels = 3 * std::size_t(s.width > 0 ? s.width : 0);
    const bool ok = rewriteRows(targetPath, target, t, [&](std::uint8_t* block, std::uint32_t y, std::uint32_t rows) {
        for (std::uint32_t k = 0; k < rows; ++k) {
            const std::size_t at = std::size_t(s.dataOffset + (y + k) * stride);
            const std::uint8_t* sp = source.data() + at;
            std::uint8_t* tp = block + std::size_t(k * stride);
            for (std::size_t x = 0; x < rowPixels; x += 3)
                if (tp[x] == k0 && tp[x + 1] == k1 && tp[x + 2] == k2) {
                    tp[x] = sp[x];
                    tp[x + 1] = sp[x + 1];
                    tp[x + 2] = sp[x + 2];
                }
        }
        source.discard(std::size_t(s.dataOffset + y * stride), std::size_t(rows * stride));
    });
    return ok ? 0.0f : kTargetNotWritable;
}

float swapChannelsBMP(const char* path, int mode) {
    using namespace bmp;
    fileio::MappedFile map;
    float r = mapMap(path, map, kCannotOpen);
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
            return writable(path) ? 0.0f : kSourceNotWritable;
    }
    if (h.width <= 0 || h.height <= 0) return writable(path) ? 0.0f : kSourceNotWritable;
    const std::int64_t stride = strideOf(h);
    const std::size_t rowPixels = 3 * std::size_t(h.width);
    const bool ok = rewriteRows(path, map, h, [&](std::uint8_t* block, std::uint32_t, std::uint32_t rows) {
        for (std::uint32_t k = 0; k < rows; ++k) {
            std::uint8_t* p = block + std::size_t(k * stride);
            for (std::size_t x = 0; x < rowPixels; x += 3) std::swap(p[x + a], p[x + b]);
        }
    });
    return ok ? 0.0f : kSourceNotWritable;
}

float createBMPthumb(const char* path, int size) {
    using namespace bmp;
    if (size < 1) return kThumbBadSize;
    // Mapped, so only the pages of the sampled rows are ever read.
    fileio::MappedFile m;
    if (m.open(path) != fileio::Load::Ok) return kThumbCannotOpen;
    const fileio::Bytes file = m.bytes();
    if (readBMPHeader(file) != 0.0f) return kThumbNotBmp;
    const BMPHeader h = _bmpHdr;
    const std::int32_t w = h.width, ht = h.height;
    if (w <= 0 || ht <= 0) return kThumbNotPositive;
    if (w < size && ht < size) return 0.0f;  // already small enough
    if (!rowsFit(h, file.size)) return kShortData;

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
    // sampled pixels.
    std::vector<std::uint8_t> img(file.data, file.data + std::max<std::size_t>(h.dataOffset, 38));
    fileio::storeLE32(&img[2], static_cast<std::uint32_t>(h.dataOffset + n));
    fileio::storeLE32(&img[18], static_cast<std::uint32_t>(outW));
    fileio::storeLE32(&img[22], static_cast<std::uint32_t>(outH));
    fileio::storeLE32(&img[34], static_cast<std::uint32_t>(n));
    img.resize(h.dataOffset);
    img.resize(h.dataOffset + n, 0);

    const std::int64_t fileSize = static_cast<std::int64_t>(file.size);
    const std::int64_t stride = strideOf(h);
    std::int64_t rowAt = h.dataOffset;
    float aR = 0.0f;
    std::int64_t iR = 0;
    std::uint8_t* o = img.data() + h.dataOffset;
    for (std::int32_t j = 0; j < outH; ++j) {
        std::int64_t p = rowAt;
        float aC = 0.0f;
        std::int64_t iC = 0;
        for (std::int32_t i = 0; i < outW; ++i) {
            if (p >= 0 && p + 3 <= fileSize) std::memcpy(o, file.data + p, 3);
            o += 3;
            aC = aC + step;
            p += 3 * static_cast<std::int64_t>(aC - static_cast<float>(iC));
            iC = static_cast<std::int64_t>(aC);
        }
        o += pad;  // already zero
        aR = aR + step;
        rowAt += stride * static_cast<std::int64_t>(aR - static_cast<float>(iR));
        iR = static_cast<std::int64_t>(aR);
    }

    m.release();  // the original is replaced below
    if (fileio::replaceFile(path, img.data(), img.size()) != fileio::Rewrite::Ok) return kThumbCannotWrite;
    return 0.0f;
}

namespace {

// Maps the PSD for its thumbnail and checks that it has three 8-bit colour
// planes inside the file, each of fewer than 2^31 rows and columns.
float mapThumbSource(const char* path, fileio::MappedFile& m) {
    using namespace psd;
    if (m.open(path) != fileio::Load::Ok) return kBadSignature;
    const float r = readPSDHeader(m.bytes());
    if (r != 0.0f) return r;
    if (_fHeader.depth != 8 || _fHeader.channels < 3) return kNotRgb8;
    constexpr std::uint32_t kMaxSide = std::numeric_limits<std::int32_t>::max();
    if (_fHeader.rows > kMaxSide || _fHeader.columns > kMaxSide ||
        !psdPlanesFit(_offst, _fHeader.rows, _fHeader.columns, 3, 1, m.size()))
        return kShortData;
    return 0.0f;
}

// Copies the pixel at `from`, whose planes lie `a` samples apart, to `to`,
// whose planes lie `plane` samples apart.
inline void copyPixel(const std::uint8_t* from, std::int64_t a, std::uint8_t* to, std::size_t plane) {
    to[0] = from[0];
    to[plane] = from[a];
    to[2 * plane] = from[2 * a];
}

// A W x H picture smaller than the S x S canvas: copied 1:1, centred on
// black.
void centreOnCanvas(const std::uint8_t* src, std::int64_t W, std::int64_t H, std::int64_t S, std::uint8_t* out) {
    const std::size_t plane = std::size_t(S) * std::size_t(S);
    const std::int64_t x0 = (S - W) / 2, y0 = (S - H) / 2;
    for (std::int64_t y = 0; y < H; ++y)
        for (std::int64_t x = 0; x < W; ++x) copyPixel(src + (y * W + x), W * H, out + ((y0 + y) * S + x0 + x), plane);
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
// black margins. The column counter runs on from row to row.
void sampleOntoCanvas(const std::uint8_t* src, std::int64_t W, std::int64_t H, std::int64_t S, std::uint8_t* out) {
    const std::int64_t A = W * H;
    const std::size_t plane = std::size_t(S) * std::size_t(S);
    std::int64_t f = std::max(W, H) / S;
    if (f == 0) f = 1;
    const std::int64_t outW = W / f, outH = H / f;
    const std::int64_t cI = spreadInterval(W - f * S, S), rI = spreadInterval(H - f * S, S);
    const bool portrait = H > W;
    std::int64_t mC = portrait ? (S - outW) / 2 : 0;  // margin columns still to pass in this row
    std::int64_t mR = portrait ? 0 : (S - outH) / 2;  // margin rows still to pass
    std::int64_t s = 0, ci = 0, ri = 0, kC = 0, kR = 0;
    std::size_t o = 0;
    for (std::int64_t y = 0; y < S; ++y) {
        const std::int64_t rowS = s, rowCi = ci;
        for (std::int64_t x = 0; x < S; ++x, ++o) {
            const bool take = portrait ? (mC < 1 && ci < W) : (mR < 1 && ri < H);
            if (take && ri < H && ci < W) copyPixel(src + s, A, out + o, plane);  // never outside the planes
            const std::int64_t e = extraStep(cI, kC);
            if (mC < 1) {
                s += f + e;
                ci += f + e;
            }
            --mC;
        }
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
}

// Replaces the PSD by its header and sections as they were (a successful
// header read puts _offst past byte 40) with the new size, then the canvas.
float replaceWithThumb(const char* path, fileio::MappedFile& m, const std::vector<std::uint8_t>& canvas,
                       std::int64_t S) {
    std::vector<std::uint8_t> head(m.data(), m.data() + _offst);
    fileio::storeBE32(&head[14], static_cast<std::uint32_t>(S));
    fileio::storeBE32(&head[18], static_cast<std::uint32_t>(S));
    // Three planes are written: the header says so (an alpha plane is dropped).
    if (_fHeader.channels > 3) fileio::storeBE16(&head[12], 3);
    m.release();  // the original is replaced below
    if (fileio::replaceFile(path, {{head.data(), head.size()}, {canvas.data(), canvas.size()}}) != fileio::Rewrite::Ok)
        return psd::kCannotWrite;
    return 0.0f;
}

}  // namespace

float createThumb(const char* path, int size) {
    if (size < 1 || size > bmp::kMaxPsdThumb) return bmp::kThumbBadSize;
    // Mapped, so only the sampled parts of the planes are ever read.
    fileio::MappedFile m;
    const float r = mapThumbSource(path, m);
    if (r != 0.0f) return r;
    const std::int64_t W = _fHeader.columns, H = _fHeader.rows, S = size;
    const std::uint8_t* src = m.data() + _offst;
    std::vector<std::uint8_t> canvas(3 * std::size_t(S) * std::size_t(S), 0);
    if (W < S && H < S)
        centreOnCanvas(src, W, H, S, canvas.data());
    else
        sampleOntoCanvas(src, W, H, S, canvas.data());
    return replaceWithThumb(path, m, canvas, S);
}
