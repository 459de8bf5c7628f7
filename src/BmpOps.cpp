#include "BmpOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "FileAccess.h"
#include "PsdOps.h"

std::vector<std::uint8_t> _bmpV;
BMPHeader _bmpHdr;

int getPadding(int width) {
    const float prod = 3.0f * static_cast<float>(width);
    const int r = static_cast<int>(std::fmod(prod, 4.0f));
    return (r >= 1 && r <= 3) ? 4 - r : 0;
}

namespace {

bool inside(std::int64_t offset, std::size_t len) {
    return offset >= 0 && static_cast<std::uint64_t>(offset) + len <= _bmpV.size();
}

// Empties _bmpV and gives its storage back on every way out of an operation.
struct ReleaseBmpV {
    ~ReleaseBmpV() { std::vector<std::uint8_t>().swap(_bmpV); }
};

// Row stride in 64 bits, for arithmetic that must not wrap.
std::int64_t strideOf(const BMPHeader& h) {
    return h.width > 0 ? 3 * std::int64_t(h.width) + getPadding(h.width) : 0;
}

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

// Loads and parses one map for merge or swap, leaving its bytes in out and
// _bmpV empty.
float loadMap(const char* path, std::vector<std::uint8_t>& out, float cannotOpen) {
    if (!loadBMPFile(path)) return cannotOpen;
    if (readBMPHeader() != 0.0f) return bmp::kNotBmp;
    out.swap(_bmpV);
    _bmpV.clear();
    return 0.0f;
}

bool writable(const char* path) { return static_cast<bool>(fileio::open(path, "r+b")); }

}  // namespace

std::int32_t readSigned(std::int64_t offset) { return static_cast<std::int32_t>(readUnsigned(offset)); }

std::uint32_t readUnsigned(std::int64_t offset) {
    return inside(offset, 4) ? fileio::loadLE32(_bmpV.data() + offset) : 0;
}

int readShortInt(std::int64_t offset) {
    return inside(offset, 2) ? static_cast<std::int16_t>(fileio::loadLE16(_bmpV.data() + offset)) : 0;
}

void writeSignedInt(std::int64_t offset, std::int32_t value) {
    writeUnsignedInt(offset, static_cast<std::uint32_t>(value));
}

void writeUnsignedInt(std::int64_t offset, std::uint32_t value) {
    if (inside(offset, 4)) fileio::storeLE32(_bmpV.data() + offset, value);
}

void writeShortInt(std::int64_t offset, int value) {
    if (inside(offset, 2)) fileio::storeLE16(_bmpV.data() + offset, static_cast<std::uint16_t>(value));
}

bool loadBMPFile(const char* path) {
    if (fileio::loadFile(path, _bmpV) == fileio::Load::Ok) return true;
    _bmpV.clear();
    return false;
}

float readBMPHeader() {
    if (_bmpV.size() >= 2) {
        _bmpHdr.signature[0] = static_cast<char>(_bmpV[0]);
        _bmpHdr.signature[1] = static_cast<char>(_bmpV[1]);
    }
    if (_bmpV.size() < 38 || _bmpV[0] != 'B' || _bmpV[1] != 'M') return bmp::kNotBmp;
    _bmpHdr.fileSize = readUnsigned(2);
    _bmpHdr.dataOffset = readUnsigned(10);
    _bmpHdr.width = readSigned(18);
    _bmpHdr.height = readSigned(22);
    _bmpHdr.bitsPerPixel = static_cast<std::uint16_t>(readShortInt(28));
    _bmpHdr.imageSize = readUnsigned(34);
    // 32-bit arithmetic as stored; the operations use strideOf for offsets.
    _bmpHdr.rowStride = static_cast<std::int32_t>(3u * static_cast<std::uint32_t>(_bmpHdr.width) +
                                                  static_cast<std::uint32_t>(getPadding(_bmpHdr.width)));
    return 0.0f;
}

float mergeBMP(const char* sourcePath, const char* targetPath) {
    using namespace bmp;
    if (fileio::sameFile(sourcePath, targetPath)) return kTargetNotWritable;
    ReleaseBmpV release;
    std::vector<std::uint8_t> target, source;
    float r = loadMap(targetPath, target, kCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader t = _bmpHdr;
    r = loadMap(sourcePath, source, kSourceCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader s = _bmpHdr;
    if (s.width != t.width || s.height != t.height) return kSizesDiffer;
    if (s.dataOffset != t.dataOffset || s.bitsPerPixel != t.bitsPerPixel) return kLayoutDiffers;
    if (!rowsFit(s, source.size()) || !rowsFit(t, target.size())) return kShortData;
    // The source is only read, but like the target it must be writable.
    if (!writable(sourcePath)) return kSourceNotWritable;

    if (s.width > 0 && s.height > 0) {
        const std::int64_t stride = strideOf(s);
        const std::size_t rowPixels = 3 * std::size_t(s.width);
        const std::uint8_t* key = source.data() + s.dataOffset;
        const std::uint8_t k0 = key[0], k1 = key[1], k2 = key[2];
        for (std::int64_t row = 0; row < s.height; ++row) {
            const std::size_t at = std::size_t(s.dataOffset + row * stride);
            const std::uint8_t* sp = source.data() + at;
            std::uint8_t* tp = target.data() + at;
            for (std::size_t x = 0; x < rowPixels; x += 3)
                if (tp[x] == k0 && tp[x + 1] == k1 && tp[x + 2] == k2) {
                    tp[x] = sp[x];
                    tp[x + 1] = sp[x + 1];
                    tp[x + 2] = sp[x + 2];
                }
        }
    }
    // Same length as before: written over the old bytes, never truncated.
    if (fileio::rewriteFile(targetPath, target.data(), target.size()) != fileio::Rewrite::Ok)
        return kTargetNotWritable;
    return 0.0f;
}

float swapChannelsBMP(const char* path, int mode) {
    using namespace bmp;
    ReleaseBmpV release;
    std::vector<std::uint8_t> map;
    float r = loadMap(path, map, kCannotOpen);
    if (r != 0.0f) return r;
    const BMPHeader h = _bmpHdr;
    if (!rowsFit(h, map.size())) return kShortData;
    int a, b;
    switch (mode) {
        case 1: a = 0, b = 1; break;  // blue <-> green
        case 2: a = 0, b = 2; break;  // blue <-> red
        case 3: a = 1, b = 2; break;  // green <-> red
        default:  // every row would be written back as it was read
            return writable(path) ? 0.0f : kSourceNotWritable;
    }
    if (h.width <= 0 || h.height <= 0) return writable(path) ? 0.0f : kSourceNotWritable;
    const std::int64_t stride = strideOf(h);
    const std::size_t rowPixels = 3 * std::size_t(h.width);
    for (std::int64_t row = 0; row < h.height; ++row) {
        std::uint8_t* p = map.data() + std::size_t(h.dataOffset + row * stride);
        for (std::size_t x = 0; x < rowPixels; x += 3) std::swap(p[x + a], p[x + b]);
    }
    if (fileio::rewriteFile(path, map.data(), map.size()) != fileio::Rewrite::Ok) return kSourceNotWritable;
    return 0.0f;
}

float createBMPthumb(const char* path, int size) {
    using namespace bmp;
    if (size < 1) return kThumbBadSize;
    ReleaseBmpV release;
    if (!loadBMPFile(path)) return kThumbCannotOpen;
    if (readBMPHeader() != 0.0f) return kThumbNotBmp;
    const BMPHeader h = _bmpHdr;
    const std::int32_t w = h.width, ht = h.height;
    if (w <= 0 || ht <= 0) return kThumbNotPositive;
    if (w < size && ht < size) return 0.0f;  // already small enough
    if (!rowsFit(h, _bmpV.size())) return kShortData;

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

    std::vector<std::uint8_t> out(n, 0);
    const std::int64_t fileSize = static_cast<std::int64_t>(_bmpV.size());
    const std::int64_t stride = strideOf(h);
    std::int64_t rowAt = h.dataOffset;
    float aR = 0.0f;
    std::int64_t iR = 0;
    std::uint8_t* o = out.data();
    for (std::int32_t j = 0; j < outH; ++j) {
        std::int64_t p = rowAt;
        float aC = 0.0f;
        std::int64_t iC = 0;
        for (std::int32_t i = 0; i < outW; ++i) {
            if (p >= 0 && p + 3 <= fileSize) std::memcpy(o, _bmpV.data() + p, 3);
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

    writeUnsignedInt(2, static_cast<std::uint32_t>(h.dataOffset + n));
    writeSignedInt(18, outW);
    writeSignedInt(22, outH);
    writeUnsignedInt(34, static_cast<std::uint32_t>(n));
    _bmpV.resize(h.dataOffset);
    _bmpV.insert(_bmpV.end(), out.begin(), out.end());
    if (fileio::replaceFile(path, _bmpV.data(), _bmpV.size()) != fileio::Rewrite::Ok) return kThumbCannotWrite;
    return 0.0f;
}

float createThumb(const char* path, int size) {
    using namespace psd;
    if (size < 1 || size > bmp::kMaxPsdThumb) return bmp::kThumbBadSize;
    struct ReleaseImg {
        ~ReleaseImg() { std::vector<std::uint8_t>().swap(_img); }
    } release;
    _img.clear();
    if (fileio::loadFile(path, _img) != fileio::Load::Ok) return kBadSignature;
    float r = readPSDHeader();
    if (r != 0.0f) return r;
    if (_fHeader.depth != 8 || _fHeader.channels < 3) return kNotRgb8;
    constexpr std::uint32_t kMaxSide = std::numeric_limits<std::int32_t>::max();
    if (_fHeader.rows > kMaxSide || _fHeader.columns > kMaxSide ||
        !psdPlanesFit(_offst, _fHeader.rows, _fHeader.columns, 3, 1, _img.size()))
        return kShortData;

    const std::int64_t W = _fHeader.columns, H = _fHeader.rows, A = W * H, S = size;
    const std::uint8_t* src = _img.data() + _offst;
    const std::size_t plane = std::size_t(S) * std::size_t(S);
    std::vector<std::uint8_t> out(3 * plane, 0);
    std::uint8_t* p0 = out.data();
    std::uint8_t* p1 = p0 + plane;
    std::uint8_t* p2 = p1 + plane;

    if (W < S && H < S) {
        // A picture smaller than the canvas is copied 1:1, centred on black.
        const std::int64_t x0 = (S - W) / 2, y0 = (S - H) / 2;
        for (std::int64_t y = 0; y < H; ++y)
            for (std::int64_t x = 0; x < W; ++x) {
                const std::size_t o = std::size_t((y0 + y) * S + x0 + x), s = std::size_t(y * W + x);
                p0[o] = src[s];
                p1[o] = src[s + A];
                p2[o] = src[s + 2 * A];
            }
    } else {
        // Integer step f, with one extra source pixel every cI + 1 columns
        // (rI + 1 rows) to spread what f * S leaves over.
        std::int64_t f = std::max(W, H) / S;
        if (f == 0) f = 1;
        const std::int64_t outW = W / f, outH = H / f;
        std::int64_t cI = W - f * S;
        if (cI > 0) cI = S / cI;
        std::int64_t rI = H - f * S;
        if (rI > 0) rI = S / rI;
        const bool portrait = H > W;
        std::int64_t mC = portrait ? (S - outW) / 2 : 0;
        std::int64_t mR = portrait ? 0 : (S - outH) / 2;
        std::int64_t s = 0, ci = 0, ri = 0, kC = 0, kR = 0;
        std::size_t o = 0;
        for (std::int64_t y = 0; y < S; ++y) {
            const std::int64_t rowS = s, rowCi = ci;
            for (std::int64_t x = 0; x < S; ++x, ++o) {
                bool take = portrait ? (mC < 1 && ci < W) : (mR < 1 && ri < H);
                if (take && ri < H && ci < W) {  // never outside the planes
                    p0[o] = src[s];
                    p1[o] = src[s + A];
                    p2[o] = src[s + 2 * A];
                }
                std::int64_t e = 0;
                if (cI > 0 && kC >= cI) {
                    e = 1;
                    kC = 0;
                } else {
                    ++kC;
                }
                if (mC < 1) {
                    s += f + e;
                    ci += f + e;
                }
                --mC;
            }
            std::int64_t e = 0;
            if (rI > 0 && kR >= rI) {
                e = 1;
                kR = 0;
            } else {
                ++kR;
            }
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

    writeLong(14, static_cast<std::uint32_t>(S));
    writeLong(18, static_cast<std::uint32_t>(S));
    // Three planes are written: the header says so (an alpha plane is dropped).
    if (_fHeader.channels > 3) writeShort(12, 3);
    _img.resize(static_cast<std::size_t>(_offst));
    _img.insert(_img.end(), out.begin(), out.end());
    if (fileio::replaceFile(path, _img.data(), _img.size()) != fileio::Rewrite::Ok) return kCannotWrite;
    return 0.0f;
}
