// The BMP and PSD operations read their maps through a window and write as
// they go; here each is checked against a plain whole-file version of the
// same rules (the file loaded into memory, edited there, written back),
// over layouts that reach the edges: headers shorter than their fields,
// missing last padding, trailing bytes, maps of several blocks and windows.
#include <cmath>
#include <cstring>
#include <functional>

#include "BmpOps.h"
#include "MapTestSupport.h"
#include "PsdOps.h"

using maptest::put;
using Bytes = std::vector<unsigned char>;

namespace {

std::uint32_t rd32(const Bytes& f, std::size_t o) { return maptest::le32(f, o); }
void wr32(Bytes& f, std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f[o + i] = static_cast<unsigned char>(v >> (8 * i));
}

// ---------------------------------------------------------------------------
// Plain versions. Each returns the code and leaves the new content in f
// (unchanged when the code is a refusal).

struct Hdr {
    std::uint32_t off;
    std::int32_t w, h;
    std::uint16_t bpp;
    std::uint32_t headerSize, compression;
};

bool plainHeader(const Bytes& f, Hdr& h) {
    if (f.size() < 38 || f[0] != 'B' || f[1] != 'M') return false;
    h.off = rd32(f, 10);
    h.headerSize = rd32(f, 14);
    h.w = std::int32_t(rd32(f, 18));
    h.h = std::int32_t(rd32(f, 22));
    h.bpp = std::uint16_t(f[28] | (f[29] << 8));
    h.compression = rd32(f, 30);
    return true;
}

// 24 bits, uncompressed, a header of 40 bytes or more, the rows after it.
float plainLayout(const Hdr& h) {
    if (h.bpp != 24) return bmp::kNot24Bit;
    if (h.headerSize < 40 || h.compression != 0 || h.off < 14 + std::uint64_t(h.headerSize)) return bmp::kUnreadLayout;
    return 0.0f;
}

std::int64_t plainStride(std::int32_t w) { return w > 0 ? 3 * std::int64_t(w) + getPadding(w) : 0; }

bool plainFits(const Hdr& h, std::size_t size) {
    if (h.w <= 0 || h.h <= 0) return true;
    // Every row whole but the last one's padding.
    return std::uint64_t(h.off) + std::uint64_t(plainStride(h.w)) * std::uint64_t(h.h - 1) + 3 * std::uint64_t(h.w) <=
           size;
}

float plainMergeBmp(const Bytes& src, Bytes& dst) {
    Hdr t, s;
    if (!plainHeader(dst, t)) return bmp::kNotBmp;
    if (plainLayout(t) != 0.0f) return plainLayout(t);
    if (!plainHeader(src, s)) return bmp::kNotBmp;
    if (plainLayout(s) != 0.0f) return plainLayout(s);
    if (s.w != t.w || s.h != t.h) return bmp::kSizesDiffer;
    if (s.off != t.off) return bmp::kLayoutDiffers;
    if (!plainFits(s, src.size()) || !plainFits(t, dst.size())) return bmp::kShortData;
    if (s.w <= 0 || s.h <= 0) return 0.0f;
    const unsigned char* key = &src[s.off];
    const unsigned char k0 = key[0], k1 = key[1], k2 = key[2];
    for (std::int64_t y = 0; y < s.h; ++y)
        for (std::int64_t x = 0; x < s.w; ++x) {
            const std::size_t at = std::size_t(s.off + y * plainStride(s.w) + 3 * x);
            if (dst[at] == k0 && dst[at + 1] == k1 && dst[at + 2] == k2) std::memcpy(&dst[at], &src[at], 3);
        }
    return 0.0f;
}

float plainSwapBmp(Bytes& f, int mode) {
    Hdr h;
    if (!plainHeader(f, h)) return bmp::kNotBmp;
    if (plainLayout(h) != 0.0f) return plainLayout(h);
    if (!plainFits(h, f.size())) return bmp::kShortData;
    if (mode < 1 || mode > 3 || h.w <= 0 || h.h <= 0) return 0.0f;
    const int a = mode == 3 ? 1 : 0, b = mode == 1 ? 1 : 2;
    for (std::int64_t y = 0; y < h.h; ++y)
        for (std::int64_t x = 0; x < h.w; ++x) {
            const std::size_t at = std::size_t(h.off + y * plainStride(h.w) + 3 * x);
            std::swap(f[at + a], f[at + b]);
        }
    return 0.0f;
}

float plainBmpThumb(Bytes& f, int size) {
    Hdr h;
    if (!plainHeader(f, h)) return bmp::kThumbNotBmp;
    if (plainLayout(h) != 0.0f) return plainLayout(h);
    if (h.w <= 0 || h.h <= 0) return bmp::kThumbNotPositive;
    if (h.w < size && h.h < size) return 0.0f;
    if (!plainFits(h, f.size())) return bmp::kShortData;
    const float fs = float(size);
    std::int32_t ow, oh;
    float step;
    if (h.w < h.h) {
        oh = size;
        ow = std::int32_t(float(h.w) / float(h.h) * fs);
        step = float(h.h) / fs;
    } else {
        ow = size;
        oh = std::int32_t(float(h.h) / float(h.w) * fs);
        step = float(h.w) / fs;
    }
    const std::size_t row = 3 * std::size_t(ow) + std::size_t(getPadding(ow)), n = row * std::size_t(oh);
    Bytes out(n, 0);
    std::int64_t rowAt = h.off, iR = 0;
    float aR = 0;
    for (std::int32_t j = 0; j < oh; ++j) {
        std::int64_t p = rowAt, iC = 0;
        float aC = 0;
        for (std::int32_t i = 0; i < ow; ++i) {
            if (p >= 0 && std::uint64_t(p) + 3 <= f.size()) std::memcpy(&out[j * row + 3 * i], &f[std::size_t(p)], 3);
            aC = aC + step;
            p += 3 * std::int64_t(aC - float(iC));
            iC = std::int64_t(aC);
        }
        aR = aR + step;
        rowAt += plainStride(h.w) * std::int64_t(aR - float(iR));
        iR = std::int64_t(aR);
    }
    // The fields are patched in the whole file, then only what precedes the
    // rows is kept.
    wr32(f, 2, std::uint32_t(h.off + n));
    wr32(f, 18, std::uint32_t(ow));
    wr32(f, 22, std::uint32_t(oh));
    wr32(f, 34, std::uint32_t(n));
    f.resize(h.off);
    f.insert(f.end(), out.begin(), out.end());
    return 0.0f;
}

// A BMP of w x h noise pixels whose rows start at off (which may lie inside
// the 38 header bytes: the rows then overwrite the fields they cover),
// cut bytes short of its last padding, with extra bytes after it.
Bytes makeBmp(int w, int h, std::uint32_t off, std::uint32_t seed, int cut = 0, int extra = 0, bool keyed = false) {
    const std::size_t stride = std::size_t(plainStride(w));
    Bytes f(std::max<std::size_t>(38, off + stride * std::size_t(h)) + std::size_t(extra) - std::size_t(cut), 0);
    std::uint32_t r = seed;
    for (auto& b : f) {
        r = r * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(r >> 24);
    }
    f[0] = 'B', f[1] = 'M';
    wr32(f, 2, std::uint32_t(f.size()));
    wr32(f, 10, off);
    wr32(f, 18, std::uint32_t(w));
    wr32(f, 22, std::uint32_t(h));
    f[28] = 24, f[29] = 0;
    wr32(f, 14, 40);
    wr32(f, 30, 0);
    if (keyed && w > 0 && h > 0) {
        // Every third pixel shows the first one's colour, so merges have
        // something to replace.
        for (std::size_t y = 0; y < std::size_t(h); ++y)
            for (std::size_t x = 0; x < std::size_t(w); x += 3)
                if (off + y * stride + 3 * x >= 38 && off + y * stride + 3 * x + 3 <= f.size())
                    std::memcpy(&f[off + y * stride + 3 * x], &f[off], 3);
    }
    return f;
}

struct BmpCase {
    const char* what;
    int w, h;
    std::uint32_t off;
    int cut, extra;
};

const BmpCase kBmpCases[] = {
    {"plain", 7, 5, 54, 0, 0},
    {"missing last padding", 5, 4, 54, 1, 0},
    {"trailing bytes", 6, 3, 54, 0, 9},
    {"rows inside the header", 40, 9, 30, 0, 0},
    {"rows at 0", 13, 8, 0, 0, 0},
    {"wide gap before the rows", 9, 6, 300, 0, 5},
    {"several row blocks", 701, 530, 54, 2, 0},
    {"one row longer than a block", 400000, 2, 54, 0, 0},
    {"several windows, rows off the page grid", 1501, 1203, 58, 1, 3},
    {"cut into the last row", 5, 4, 54, 5, 0},
};

}  // namespace

TEST(MapStreaming, BmpMergeAndSwapMatchTheWholeFileVersion) {
    TempDir dir;
    for (const BmpCase& c : kBmpCases) {
        SCOPED_TRACE(c.what);
        // The source must show the key on the target: use the target's
        // first pixel colour throughout.
        const Bytes target = makeBmp(c.w, c.h, c.off, 1, c.cut, c.extra, true);
        Bytes source = makeBmp(c.w, c.h, c.off, 2, c.cut, c.extra);
        if (c.off + 3 <= source.size()) std::memcpy(&source[c.off], &target[c.off], 3);
        // Rows inside the header are the header: the two files agree on it.
        for (std::size_t i = 0; i < 38; ++i) source[i] = target[i];

        Bytes want = target;
        const float code = plainMergeBmp(source, want);
        const std::string s = put(dir, "s.bmp", source), t = put(dir, "t.bmp", target);
        EXPECT_EQ(mergeBMP(s.c_str(), t.c_str()), code);
        EXPECT_TRUE(readBytes(t) == (code == 0.0f ? want : target));
        EXPECT_TRUE(readBytes(s) == source);

        for (int mode = 0; mode <= 3; ++mode) {
            Bytes swapped = target;
            const float sc = plainSwapBmp(swapped, mode);
            const std::string p = put(dir, "w.bmp", target);
            EXPECT_EQ(swapChannelsBMP(p.c_str(), mode), sc) << mode;
            EXPECT_TRUE(readBytes(p) == (sc == 0.0f ? swapped : target)) << mode;
        }
    }
}

TEST(MapStreaming, BmpThumbnailMatchesTheWholeFileVersion) {
    TempDir dir;
    for (const BmpCase& c : kBmpCases) {
        // A size of the width itself samples every pixel: the widest case's
        // rows are then longer than one read of a row holds.
        for (int size : {1, 3, 16, 100, c.w}) {
            SCOPED_TRACE(std::string(c.what) + ", size " + std::to_string(size));
            const Bytes file = makeBmp(c.w, c.h, c.off, 3, c.cut, c.extra);
            Bytes want = file;
            const float code = plainBmpThumb(want, size);
            const std::string p = put(dir, "th.bmp", file);
            EXPECT_EQ(createBMPthumb(p.c_str(), size), code);
            EXPECT_TRUE(readBytes(p) == (code == 0.0f ? want : file));
        }
    }
}

namespace {

void be32put(Bytes& f, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) f.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void be16put(Bytes& f, std::uint16_t v) {
    f.push_back(static_cast<unsigned char>(v >> 8));
    f.push_back(static_cast<unsigned char>(v));
}

// A raw PSD: resources and layers sections of the given lengths, the planes
// (noise, with B's first pixel repeated where keyed), then extra bytes.
Bytes makePsd(std::uint32_t rows, std::uint32_t cols, std::uint16_t depth, std::uint16_t mode, std::uint16_t channels,
              std::uint32_t resources, std::uint32_t layers, std::size_t extra, std::uint32_t seed, bool keyed) {
    Bytes f = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
    be16put(f, channels);
    be32put(f, rows);
    be32put(f, cols);
    be16put(f, depth);
    be16put(f, mode);
    be32put(f, 0);
    be32put(f, resources);
    f.resize(f.size() + resources, 0x11);
    be32put(f, layers);
    f.resize(f.size() + layers, 0x22);
    be16put(f, 0);
    const std::size_t at = f.size(), bytes = std::size_t(depth / 8), n = std::size_t(rows) * cols;
    std::uint32_t r = seed;
    f.resize(at + n * bytes * channels + extra);
    for (std::size_t i = at; i < f.size(); ++i) {
        r = r * 1664525u + 1013904223u;
        f[i] = static_cast<unsigned char>(r >> 28);  // few values: many pixels repeat the key
    }
    if (keyed)
        for (std::size_t i = 0; i < n; i += 2)
            for (std::size_t c = 0; c < channels; ++c)
                for (std::size_t b = 0; b < bytes; ++b) f[at + (c * n + i) * bytes + b] = f[at + c * n * bytes + b];
    return f;
}

float plainMergePsd(const Bytes& a, Bytes& b) {
    float r = readPSDHeader(fileio::Bytes(b));
    if (r != 0.0f) return r;
    const PSDHeader hb = _fHeader;
    const std::int32_t offB = _offst;
    r = readPSDHeader(fileio::Bytes(a));
    if (r != 0.0f) return r;
    if (_fHeader.rows != hb.rows || _fHeader.columns != hb.columns) return psd::kSizesDiffer;
    const std::int64_t kind = std::int64_t(_fHeader.depth) * _fHeader.colourMode;
    if ((kind != 16 && kind != 24) || std::int64_t(hb.depth) * hb.colourMode != kind) return psd::kUnsupportedKind;
    if (_offst != offB) return psd::kHeadersDiffer;
    const std::size_t n = std::size_t(hb.rows) * hb.columns, o = std::size_t(offB);
    const std::size_t bytes = kind == 16 ? 2 * n : 3 * n;
    if (o + bytes > a.size() || o + bytes > b.size()) return psd::kShortData;
    if (n == 0) return 0.0f;
    if (kind == 16) {
        const unsigned char k0 = b[o], k1 = b[o + 1];
        for (std::size_t i = 0; i < 2 * n; i += 2)
            if (a[o + i] != k0 || a[o + i + 1] != k1) b[o + i] = a[o + i], b[o + i + 1] = a[o + i + 1];
    } else {
        const unsigned char k[3] = {b[o], b[o + n], b[o + 2 * n]};
        for (std::size_t i = 0; i < n; ++i)
            if (a[o + i] != k[0] || a[o + n + i] != k[1] || a[o + 2 * n + i] != k[2])
                for (std::size_t c = 0; c < 3; ++c) b[o + c * n + i] = a[o + c * n + i];
    }
    return 0.0f;
}

float plainSwapPsd(Bytes& f, int mode) {
    const float r = readPSDHeader(fileio::Bytes(f));
    if (r != 0.0f) return r;
    if (std::int64_t(_fHeader.depth) * _fHeader.channels != 24) return psd::kNotRgb8;
    const std::size_t n = std::size_t(_fHeader.rows) * _fHeader.columns, o = std::size_t(_offst);
    if (o + 3 * n > f.size()) return psd::kShortData;
    if (mode < 1 || mode > 3) return 0.0f;
    static const int order[4][3] = {{0, 1, 2}, {0, 2, 1}, {2, 0, 1}, {1, 2, 0}};
    Bytes out(f.begin(), f.begin() + std::ptrdiff_t(o));
    for (int k = 0; k < 3; ++k) {
        const auto from = f.begin() + std::ptrdiff_t(o + std::size_t(order[mode][k]) * n);
        out.insert(out.end(), from, from + std::ptrdiff_t(n));
    }
    f = out;
    return 0.0f;
}

struct PsdCase {
    const char* what;
    std::uint32_t rows, cols;
    std::uint16_t depth, mode, channels;
    std::uint32_t resources, layers;
    std::size_t extra;
};

const PsdCase kPsdCases[] = {
    {"RGB", 5, 7, 8, 3, 3, 0, 0, 0},
    {"RGB with sections and trailing bytes", 9, 11, 8, 3, 3, 28, 6, 13},
    {"RGB of several blocks", 1100, 1001, 8, 3, 3, 4, 0, 3},
    {"four channels", 6, 5, 8, 3, 4, 0, 0, 0},
    {"16-bit grey", 7, 9, 16, 1, 1, 10, 0, 7},
    {"16-bit grey of several blocks", 1031, 1030, 16, 1, 1, 0, 0, 0},
    {"no pixels", 0, 5, 8, 3, 3, 0, 0, 4},
    {"16-bit RGB is no merge kind", 3, 3, 16, 3, 3, 0, 0, 0},
    {"RGB planes over several windows", 1501, 1303, 8, 3, 3, 5, 0, 2},
    {"16-bit grey over several windows", 1203, 1301, 16, 1, 1, 0, 3, 1},
    {"sections past the first window", 30, 40, 8, 3, 3, 2500001, 700000, 9},
};

}  // namespace

TEST(MapStreaming, PsdMergeAndSwapMatchTheWholeFileVersion) {
    TempDir dir;
    for (const PsdCase& c : kPsdCases) {
        SCOPED_TRACE(c.what);
        const Bytes b = makePsd(c.rows, c.cols, c.depth, c.mode, c.channels, c.resources, c.layers, c.extra, 5, true);
        const Bytes a = makePsd(c.rows, c.cols, c.depth, c.mode, c.channels, c.resources, c.layers, c.extra, 6, false);
        Bytes want = b;
        const float code = plainMergePsd(a, want);
        const std::string pa = put(dir, "a.psd", a), pb = put(dir, "b.psd", b);
        EXPECT_EQ(mergePSD(pa.c_str(), pb.c_str()), code);
        EXPECT_TRUE(readBytes(pb) == (code == 0.0f ? want : b));
        EXPECT_TRUE(readBytes(pa) == a);

        for (int mode = 0; mode <= 3; ++mode) {
            Bytes swapped = b;
            const float sc = plainSwapPsd(swapped, mode);
            const std::string p = put(dir, "s.psd", b);
            EXPECT_EQ(swapChannelsPSD(p.c_str(), mode), sc) << mode;
            EXPECT_TRUE(readBytes(p) == (sc == 0.0f ? swapped : b)) << mode;
        }
    }
}

// Cut short anywhere, the merge and swap give the codes of the whole-file
// version and leave both files as they were when they refuse.
TEST(MapStreaming, TruncatedPsdsGiveTheWholeFileCodes) {
    TempDir dir;
    const Bytes b = makePsd(4, 5, 8, 3, 3, 6, 2, 0, 7, true);
    const Bytes a = makePsd(4, 5, 8, 3, 3, 6, 2, 0, 8, false);
    for (std::size_t len = 0; len <= b.size(); ++len) {
        SCOPED_TRACE(len);
        const Bytes cut(b.begin(), b.begin() + std::ptrdiff_t(len));
        Bytes want = cut;
        const float code = plainMergePsd(a, want);
        const std::string pa = put(dir, "a.psd", a), pb = put(dir, "b.psd", cut);
        EXPECT_EQ(mergePSD(pa.c_str(), pb.c_str()), code);
        EXPECT_TRUE(readBytes(pb) == (code == 0.0f ? want : cut));
        Bytes swapped = cut;
        const float sc = plainSwapPsd(swapped, 2);
        EXPECT_EQ(swapChannelsPSD(pb.c_str(), 2), sc);
    }
}

namespace {

// The PSD thumbnail made whole in memory: the S x S canvas of three planes
// filled by the sampling rules, then the header with the new size.
float plainPsdThumb(Bytes& f, int size) {
    if (size < 1 || size > bmp::kMaxPsdThumb) return bmp::kThumbBadSize;
    const float r = readPSDHeader(fileio::Bytes(f));
    if (r != 0.0f) return r;
    if (_fHeader.depth != 8 || _fHeader.channels < 3) return psd::kNotRgb8;
    const std::int64_t W = _fHeader.columns, H = _fHeader.rows, S = size, A = W * H, o = _offst;
    if (W > INT32_MAX || H > INT32_MAX || std::uint64_t(o + 3 * A) > f.size()) return psd::kShortData;
    Bytes canvas(std::size_t(3 * S * S), 0);
    auto put = [&](std::int64_t at, std::int64_t s) {
        for (std::int64_t c = 0; c < 3; ++c) canvas[std::size_t(c * S * S + at)] = f[std::size_t(o + c * A + s)];
    };
    if (W < S && H < S) {
        for (std::int64_t y = 0; y < H; ++y)
            for (std::int64_t x = 0; x < W; ++x) put(((S - H) / 2 + y) * S + (S - W) / 2 + x, y * W + x);
    } else {
        const std::int64_t step = std::max<std::int64_t>(1, std::max(W, H) / S);
        auto interval = [&](std::int64_t left) { return left > 0 ? S / left : 0; };
        const std::int64_t cI = interval(W - step * S), rI = interval(H - step * S);
        const bool portrait = H > W;
        std::int64_t mC = portrait ? (S - W / step) / 2 : 0, mR = portrait ? 0 : (S - H / step) / 2;
        std::int64_t s = 0, ci = 0, ri = 0, kC = 0, kR = 0;
        auto extra = [](std::int64_t every, std::int64_t& k) -> std::int64_t {
            if (every > 0 && k >= every) {
                k = 0;
                return 1;
            }
            ++k;
            return 0;
        };
        for (std::int64_t y = 0; y < S; ++y) {
            const std::int64_t rowS = s, rowCi = ci;
            for (std::int64_t x = 0; x < S; ++x) {
                const bool take = portrait ? (mC < 1 && ci < W) : (mR < 1 && ri < H);
                if (take && ri < H && ci < W) put(y * S + x, s);
                const std::int64_t e = extra(cI, kC);
                if (mC < 1) {
                    s += step + e;
                    ci += step + e;
                }
                --mC;
            }
            const std::int64_t e = extra(rI, kR);
            if (mR < 1) {
                if (portrait) mC = (S - W / step) / 2;
                ri += step + e;
                s = W * ri;
                ci = 0;
            } else {
                --mR;
                s = rowS;
                ci = rowCi;
            }
        }
    }
    Bytes out(f.begin(), f.begin() + o);
    for (int i = 0; i < 4; ++i) out[14 + i] = out[18 + i] = static_cast<unsigned char>(size >> (24 - 8 * i));
    if (_fHeader.channels > 3) out[12] = 0, out[13] = 3;
    out.insert(out.end(), canvas.begin(), canvas.end());
    f = out;
    return 0.0f;
}

}  // namespace

// Each plane sampled through the window in file order and written a row at
// a time gives the canvas of the whole-file version, on pictures that span
// several windows, with an alpha plane, margins either way, a remainder to
// spread, or fewer pixels than the canvas.
TEST(MapStreaming, PsdThumbnailMatchesTheWholeFileVersion) {
    TempDir dir;
    struct Case {
        const char* what;
        std::uint32_t rows, cols;
        std::uint16_t channels;
        std::uint32_t resources;
        int size;
    } cases[] = {
        {"landscape over several windows, with alpha", 1301, 1501, 4, 5, 128},
        {"portrait over several windows", 1703, 701, 3, 0, 300},
        {"step 1", 200, 150, 3, 3, 200},
        {"one pixel", 999, 1000, 3, 0, 1},
        {"smaller than the canvas", 50, 100, 3, 0, 128},
        {"sections past the first window", 30, 40, 3, 2500001, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes file = makePsd(c.rows, c.cols, 8, 3, c.channels, c.resources, 0, 4, 11, false);
        Bytes want = file;
        const float code = plainPsdThumb(want, c.size);
        ASSERT_EQ(code, 0.0f);
        const std::string p = put(dir, "th.psd", file);
        EXPECT_EQ(createThumb(p.c_str(), c.size), code);
        EXPECT_TRUE(readBytes(p) == want);
    }
}
