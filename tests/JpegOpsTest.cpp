// The JPEG encoder: the tables and segments it writes, the BMP loader's
// padding, flip and truncation, its codes, and its files decoded by the
// system's JPEG library (POSIX suite).
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "JpegEncoder.h"
#include "JpegOps.h"
#include "Platform.h"
#include "TestSupport.h"
#include "fixtures/JpegSamples.h"

#if BRINDLEX_HAVE_LIBJPEG
#include <cstdio>
#include <jpeglib.h>
#endif

using samples::Picture;
using samples::Rgb;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t fnv1a(const Bytes& b) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint8_t c : b) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Writes the BMP, converts it and returns the JPEG bytes (empty on failure).
Bytes encode(const TempDir& dir, const Bytes& bmp, int scale, float* result = nullptr) {
    std::string in = dir.path("in.bmp"), out = dir.path("out.jpg");
    EXPECT_TRUE(writeBytes(in, bmp));
    float r = convertToJPEG(in.c_str(), out.c_str(), scale);
    if (result) *result = r;
    if (r != 0.0f) return {};
    return readBytes(out);
}

// A JPEG's marker segments up to the scan, and the scan data itself.
struct Segment {
    std::uint8_t marker;
    Bytes body;  // without marker and length
};
struct Parsed {
    std::vector<Segment> segments;
    Bytes scan;  // entropy-coded data between SOS and EOI
    bool ok = false;
};

Parsed parse(const Bytes& f) {
    Parsed p;
    if (f.size() < 4 || f[0] != 0xFF || f[1] != 0xD8) return p;
    size_t at = 2;
    while (at + 4 <= f.size() && f[at] == 0xFF) {
        std::uint8_t m = f[at + 1];
        size_t len = (static_cast<size_t>(f[at + 2]) << 8) | f[at + 3];
        if (len < 2 || at + 2 + len > f.size()) return p;
        p.segments.push_back({m, Bytes(f.begin() + at + 4, f.begin() + at + 2 + len)});
        at += 2 + len;
        if (m == 0xDA) break;
    }
    if (f.size() < at + 2 || f[f.size() - 2] != 0xFF || f.back() != 0xD9) return p;
    p.scan.assign(f.begin() + at, f.end() - 2);
    p.ok = true;
    return p;
}

const Segment* find(const Parsed& p, std::uint8_t marker) {
    for (const Segment& s : p.segments)
        if (s.marker == marker) return &s;
    return nullptr;
}

#if BRINDLEX_HAVE_LIBJPEG
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
void onJpegError(j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); }
void quietJpeg(j_common_ptr, int) {}

struct Decoded {
    bool ok = false;
    int w = 0, h = 0, components = 0;
    int sampling[3][2] = {};
    int ids[3] = {};
    bool warnings = false;
    std::vector<std::uint8_t> rgb;
};

Decoded decode(const Bytes& file) {
    Decoded d;
    jpeg_decompress_struct c;
    JpegError err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    err.mgr.emit_message = quietJpeg;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&c);
        d.ok = false;
        return d;
    }
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&c, TRUE);
    d.w = static_cast<int>(c.image_width);
    d.h = static_cast<int>(c.image_height);
    d.components = c.num_components;
    for (int i = 0; i < c.num_components && i < 3; ++i) {
        d.sampling[i][0] = c.comp_info[i].h_samp_factor;
        d.sampling[i][1] = c.comp_info[i].v_samp_factor;
        d.ids[i] = c.comp_info[i].component_id;
    }
    c.out_color_space = JCS_RGB;
    c.dct_method = JDCT_FLOAT;
    c.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&c);
    d.rgb.resize(static_cast<size_t>(d.w) * d.h * 3);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = d.rgb.data() + static_cast<size_t>(c.output_scanline) * d.w * 3;
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    d.warnings = err.mgr.num_warnings != 0;
    jpeg_destroy_decompress(&c);
    d.ok = true;
    return d;
}

// The same picture through the system encoder with the given tables
// (natural order), 4:4:4 and the float DCT.
Bytes referenceEncode(const Picture& p, const std::uint8_t* lumNatural, const std::uint8_t* chromNatural) {
    jpeg_compress_struct c;
    JpegError err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        std::free(buf);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = static_cast<JDIMENSION>(p.w);
    c.image_height = static_cast<JDIMENSION>(p.h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    unsigned lum[64], chrom[64];
    for (int i = 0; i < 64; ++i) {
        lum[i] = lumNatural[i];
        chrom[i] = chromNatural[i];
    }
    jpeg_add_quant_table(&c, 0, lum, 100, TRUE);
    jpeg_add_quant_table(&c, 1, chrom, 100, TRUE);
    for (int i = 0; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    c.dct_method = JDCT_FLOAT;
    jpeg_start_compress(&c, TRUE);
    std::vector<std::uint8_t> row(static_cast<size_t>(p.w) * 3);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < p.w; ++x) {
            const Rgb& px = p.at(x, static_cast<int>(c.next_scanline));
            row[3 * x] = px.r;
            row[3 * x + 1] = px.g;
            row[3 * x + 2] = px.b;
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(buf, buf + size);
    std::free(buf);
    return out;
}

// Scaled quantisation tables in natural order, as the encoder chose them.
void tablesFromDQT(const Segment& dqt, std::uint8_t* lum, std::uint8_t* chrom) {
    for (int i = 0; i < 64; ++i) {
        lum[i] = dqt.body[1 + zigzag[i]];
        chrom[i] = dqt.body[66 + zigzag[i]];
    }
}

double psnr(const Picture& p, const Decoded& d) {
    double se = 0;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const Rgb& s = p.at(x, y);
            const std::uint8_t* o = d.rgb.data() + (static_cast<size_t>(y) * p.w + x) * 3;
            double dr = s.r - o[0], dg = s.g - o[1], db = s.b - o[2];
            se += dr * dr + dg * dg + db * db;
        }
    double mse = se / (3.0 * p.w * p.h);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}
#endif

}  // namespace

TEST(JpegTables, ZigzagWalksTheAntiDiagonals) {
    int natural[64];
    bool seen[64] = {};
    for (int i = 0; i < 64; ++i) {
        ASSERT_LT(zigzag[i], 64);
        ASSERT_FALSE(seen[zigzag[i]]);
        seen[zigzag[i]] = true;
        natural[zigzag[i]] = i;
    }
    // Consecutive positions are neighbours on a diagonal, or a step along
    // the border to the next diagonal.
    for (int k = 1; k < 64; ++k) {
        int r0 = natural[k - 1] / 8, c0 = natural[k - 1] % 8, r1 = natural[k] / 8, c1 = natural[k] % 8;
        int d0 = r0 + c0, d1 = r1 + c1;
        ASSERT_TRUE(d1 == d0 || d1 == d0 + 1) << k;
        if (d1 == d0) {
            ASSERT_EQ(std::abs(r1 - r0), 1) << k;
        }
    }
}

TEST(JpegTables, QuantisationScaling) {
    struct Case {
        int scale;
        int natural;  // index into the tables
        int lum, chrom;
    } cases[] = {
        {100, 0, 16, 17}, {100, 63, 99, 99},   {50, 0, 8, 9},  {50, 63, 50, 50}, {0, 0, 1, 1},
        {0, 63, 1, 1},    {1, 1, 1, 1},        {3, 0, 1, 1},   {4, 0, 1, 1},     {75, 1, 8, 14},
        {255, 0, 41, 43}, {255, 62, 255, 252}, {256, 0, 1, 1}, {356, 0, 16, 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "scale " << c.scale << " index " << c.natural);
        set_DQTinfo(c.scale);
        EXPECT_EQ(DQTinfo[5 + zigzag[c.natural]], c.lum);
        EXPECT_EQ(DQTinfo[70 + zigzag[c.natural]], c.chrom);
    }
    set_DQTinfo(0);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(DQTinfo[5 + i] | DQTinfo[70 + i], 1);
}

TEST(JpegTables, HuffmanCodesArePrefixFreeAndCanonical) {
    init_Huffman_tables();
    // Known codes of the example tables.
    EXPECT_EQ(YDC_HT[0].length, 2);
    EXPECT_EQ(YDC_HT[0].code, 0);
    EXPECT_EQ(YAC_HT[0x00].length, 4);
    EXPECT_EQ(YAC_HT[0x00].code, 0xA);
    EXPECT_EQ(YAC_HT[0xF0].length, 11);
    EXPECT_EQ(YAC_HT[0xF0].code, 0x7F9);
    EXPECT_EQ(CbAC_HT[0x00].length, 2);
    EXPECT_EQ(CbAC_HT[0x00].code, 0);
    EXPECT_EQ(CbDC_HT[11].length, 11);
    EXPECT_EQ(CbDC_HT[11].code, 0x7FE);
    // Every used code is a prefix of no other one.
    auto prefixFree = [](const bitstring* t, int n) {
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) {
                if (a == b || !t[a].length || !t[b].length || t[a].length > t[b].length) continue;
                if ((t[b].code >> (t[b].length - t[a].length)) == t[a].code) return false;
            }
        return true;
    };
    EXPECT_TRUE(prefixFree(YDC_HT, 12));
    EXPECT_TRUE(prefixFree(CbDC_HT, 12));
    EXPECT_TRUE(prefixFree(YAC_HT, 256));
    EXPECT_TRUE(prefixFree(CbAC_HT, 256));
}

TEST(JpegTables, CategoryAndAdditionalBits) {
    ASSERT_EQ(set_numbers_category_and_bitcode(), 0);
    struct Case {
        int v, cat, code;
    } cases[] = {{1, 1, 1},        {-1, 1, 0},        {2, 2, 2},          {-2, 2, 1},     {3, 2, 3},
                 {-3, 2, 0},       {255, 8, 255},     {-255, 8, 0},       {256, 9, 256},  {-256, 9, 255},
                 {2047, 11, 2047}, {-2048, 12, 2047}, {32767, 15, 32767}, {-32767, 15, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v);
        EXPECT_EQ(category[c.v], c.cat);
        EXPECT_EQ(bitcode[c.v].length, c.cat);
        EXPECT_EQ(bitcode[c.v].code, c.code);
    }
    release_jpeg_buffers();
}

// The colour loader's paths: the portable one everywhere, SSE2 and SSSE3
// where the processor has them.
class ColourPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(JpegTables, ColourPaths, testing::Values(simd::kPortable, simd::kSse2, simd::kSsse3),
                         simdPathName);

TEST_P(ColourPaths, ColourConversionCentresChroma) {
    precalculate_YCbCr_tables();
    _width = 8;
    _height = 8;
    struct Case {
        Rgb c;
        int y, cb, cr;
    } cases[] = {
        {{255, 255, 255}, 127, 0, 0},  {{0, 0, 0}, -128, 0, 0},      {{0, 0, 255}, -99, 127, -21},
        {{255, 255, 0}, 97, -128, 20}, {{255, 0, 0}, -52, -44, 127}, {{128, 128, 128}, 0, 0, 0},
    };
    std::vector<std::uint8_t> buf(8 * 8 * 3);
    _RGB_buffer = buf.data();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.c.r) << "," << int(c.c.g) << "," << int(c.c.b));
        for (size_t i = 0; i < buf.size(); i += 3) {
            buf[i] = c.c.b;
            buf[i + 1] = c.c.g;
            buf[i + 2] = c.c.r;
        }
        ASSERT_TRUE(load_data_units_with(GetParam(), 0, 0));
        for (int i : {0, 17, 63}) {
            EXPECT_EQ(YDU[i], c.y);
            EXPECT_EQ(CbDU[i], c.cb);
            EXPECT_EQ(CrDU[i], c.cr);
        }
    }
    _RGB_buffer = nullptr;
}

// The SIMD paths against the portable one.
class ColourSimdPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(JpegTables, ColourSimdPaths, testing::Values(simd::kSse2, simd::kSsse3), simdPathName);

TEST_P(ColourSimdPaths, EveryColourAsThePortablePathGivesIt) {
    // Every one of the 2^24 colours, 64 per block, in a block at x = 8,
    // y = 8 of a 24 x 16 picture, so that rows lie a whole picture row
    // apart and pixels on either side of the block must be left out.
    precalculate_YCbCr_tables();
    _width = 24;
    _height = 16;
    std::vector<std::uint8_t> buf(24 * 16 * 3, 0xA5);
    _RGB_buffer = buf.data();
    auto pixel = [&buf](std::uint32_t i) { return &buf[((8 + i / 8) * 24 + 8 + i % 8) * 3]; };
    for (std::uint32_t base = 0; base < (1u << 24); base += 64) {
        for (std::uint32_t i = 0; i < 64; ++i) {
            const std::uint32_t c = base + i;
            pixel(i)[0] = static_cast<std::uint8_t>(c);
            pixel(i)[1] = static_cast<std::uint8_t>(c >> 8);
            pixel(i)[2] = static_cast<std::uint8_t>(c >> 16);
        }
        ASSERT_TRUE(load_data_units_with(simd::kPortable, 8, 8));
        std::int8_t y[64], cb[64], cr[64];
        std::memcpy(y, YDU, 64);
        std::memcpy(cb, CbDU, 64);
        std::memcpy(cr, CrDU, 64);
        ASSERT_TRUE(load_data_units_with(GetParam(), 8, 8));
        if (std::memcmp(y, YDU, 64) != 0 || std::memcmp(cb, CbDU, 64) != 0 || std::memcmp(cr, CrDU, 64) != 0) {
            _RGB_buffer = nullptr;
            FAIL() << "colours from " << base;
        }
    }
    _RGB_buffer = nullptr;
}

namespace {

// The padded picture as BitmapStripes gives it, stripe after stripe; empty
// when open refuses the file.
Bytes readStripes(const std::string& path, int& w, int& h, size_t* W = nullptr, size_t* H = nullptr) {
    BitmapStripes stripes;
    if (stripes.open(path.c_str(), w, h) != 0) return {};
    if (W) *W = stripes.paddedWidth();
    if (H) *H = stripes.paddedHeight();
    const size_t rowBytes = stripes.paddedWidth() * 3;
    Bytes pic;
    for (size_t y = 0; y < stripes.paddedHeight(); y += 8) {
        EXPECT_TRUE(stripes.load(y));
        pic.insert(pic.end(), stripes.data(), stripes.data() + 8 * rowBytes);
    }
    return pic;
}

// The padded picture of a w x h BMP straight from its bytes: rows stored
// bottom first from byte 54, 3w + w mod 4 bytes each; top row first, padding
// columns repeating a row's last pixel and padding rows the bottom row;
// bytes past the end of the file read as zeros.
Bytes paddedPicture(const Bytes& bmp, size_t w, size_t h) {
    const size_t W = (w + 7) & ~size_t(7), H = (h + 7) & ~size_t(7), stored = 3 * w + w % 4;
    Bytes pic(W * H * 3);
    for (size_t y = 0; y < H; ++y)
        for (size_t x = 0; x < W; ++x)
            for (size_t c = 0; c < 3; ++c) {
                const size_t at = 54 + (h - 1 - std::min(y, h - 1)) * stored + 3 * std::min(x, w - 1) + c;
                pic[(y * W + x) * 3 + c] = at < bmp.size() ? bmp[at] : 0;
            }
    return pic;
}

}  // namespace

TEST(JpegLoader, PadsWithTheLastPixelAndFlips) {
    TempDir dir;
    // 10 x 3 with a distinct colour per pixel.
    Picture p = samples::makePicture(10, 3, [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x * 20), static_cast<std::uint8_t>(y * 50), 7};
    });
    writeBytes(dir.path("a.bmp"), samples::bmp24(p));
    int w = 0, h = 0;
    size_t W = 0, H = 0;
    const Bytes pic = readStripes(dir.path("a.bmp"), w, h, &W, &H);
    EXPECT_EQ(w, 10);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(W, 16u);
    EXPECT_EQ(H, 8u);
    ASSERT_EQ(pic.size(), 16u * 8 * 3);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            const Rgb& s = p.at(std::min(x, 9), std::min(y, 2));
            const std::uint8_t* b = &pic[(y * 16 + x) * 3];
            ASSERT_EQ(b[0], s.b) << x << "," << y;
            ASSERT_EQ(b[1], s.g) << x << "," << y;
            ASSERT_EQ(b[2], s.r) << x << "," << y;
        }
}

TEST(JpegLoader, TruncatedPixelsReadAsZeros) {
    TempDir dir;
    Bytes full = samples::bmp24(samples::noise(13, 11, 5));
    // From 13 x 11 bytes on (a third of the pixel data); shorter files are refused.
    for (size_t n = 13 * 11; n < full.size(); n += 7) {
        SCOPED_TRACE(n);
        // The expected picture: the file with its missing tail zeroed.
        Bytes zeroed(full.begin(), full.begin() + n);
        zeroed.resize(full.size(), 0);
        writeBytes(dir.path("z.bmp"), zeroed);
        int w, h;
        const Bytes expect = readStripes(dir.path("z.bmp"), w, h);
        ASSERT_EQ(expect.size(), 16u * 16 * 3);
        writeBytes(dir.path("t.bmp"), Bytes(full.begin(), full.begin() + n));
        ASSERT_EQ(readStripes(dir.path("t.bmp"), w, h), expect);
    }
}

TEST(JpegLoader, StripesFollowTheStoredRows) {
    // Sizes around the 8-row stripes and the 4-byte row padding, each whole
    // and cut at many lengths (down to the shortest the checks let through).
    TempDir dir;
    const struct { int w, h; } sizes[] = {{1, 1}, {8, 8}, {13, 11}, {7, 17}, {33, 5}, {16, 24}};
    for (const auto& sz : sizes) {
        const Bytes full = samples::bmp24(samples::noise(sz.w, sz.h, 9));
        const size_t shortest = 54 + static_cast<size_t>(sz.w) * sz.h;
        for (size_t n = full.size(); n + 1 > shortest && n >= 54; n -= std::max<size_t>(1, full.size() / 23)) {
            SCOPED_TRACE(testing::Message() << sz.w << "x" << sz.h << " cut at " << n);
            const Bytes cut(full.begin(), full.begin() + n);
            writeBytes(dir.path("s.bmp"), cut);
            int w = 0, h = 0;
            const Bytes pic = readStripes(dir.path("s.bmp"), w, h);
            EXPECT_EQ(w, sz.w);
            EXPECT_EQ(h, sz.h);
            ASSERT_EQ(pic, paddedPicture(cut, size_t(sz.w), size_t(sz.h)));
        }
    }
}

// What other programs write: rows stored top down, and the longer
// information headers (108 and 124 bytes) with the rows at the data offset
// they give. Each gives the very JPEG of the plain bottom-up file.
TEST(JpegConvert, TopDownRowsAndLongerHeadersGiveTheSameJpeg) {
    TempDir dir;
    auto jpegOf = [&](const Bytes& bmp) {
        writeBytes(dir.path("in.bmp"), bmp);
        EXPECT_EQ(convertToJPEG(dir.path("in.bmp").c_str(), dir.path("out.jpg").c_str(), 75), 0.0f);
        return readBytes(dir.path("out.jpg"));
    };
    for (const auto& sz : {std::pair<int, int>{13, 11}, {8, 8}, {1, 17}}) {
        SCOPED_TRACE(testing::Message() << sz.first << "x" << sz.second);
        const Bytes plain = samples::bmp24(samples::noise(sz.first, sz.second, 4));
        const std::size_t stored = (plain.size() - 54) / static_cast<std::size_t>(sz.second);
        Bytes topDown(plain.begin(), plain.begin() + 54);
        for (int r = sz.second - 1; r >= 0; --r)
            topDown.insert(topDown.end(), plain.begin() + 54 + std::ptrdiff_t(r * stored),
                           plain.begin() + 54 + std::ptrdiff_t((r + 1) * stored));
        fileio::storeLE32(topDown.data() + 22, static_cast<std::uint32_t>(-sz.second));
        const Bytes want = jpegOf(plain);
        EXPECT_EQ(jpegOf(topDown), want) << "top-down";
        for (std::uint32_t extra : {68u, 84u}) {
            Bytes longer = plain;
            longer.insert(longer.begin() + 54, extra, 0x5A);
            fileio::storeLE32(longer.data() + 2, static_cast<std::uint32_t>(longer.size()));
            fileio::storeLE32(longer.data() + 10, 54 + extra);
            fileio::storeLE32(longer.data() + 14, 40 + extra);
            EXPECT_EQ(jpegOf(longer), want) << 40 + extra << "-byte header";
        }
    }
}

TEST(JpegConvert, Codes) {
    TempDir dir;
    Bytes good = samples::bmp24(samples::gradient(9, 9));
    auto with = [&](size_t at, std::vector<std::uint8_t> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bmp;
        int code;
    } cases[] = {
        {"20-byte file", Bytes(good.begin(), good.begin() + 20), 4},
        {"empty file", Bytes(), 4},
        {"53-byte file", Bytes(good.begin(), good.begin() + 53), 4},
        // 9 x 9 pixels need 81 bytes of file at least (a third of their data).
        {"header only (81 pixels, 54 bytes)", Bytes(good.begin(), good.begin() + 54), 6},
        {"81 bytes: the bound", Bytes(good.begin(), good.begin() + 81), 0},
        {"80 bytes: below it", Bytes(good.begin(), good.begin() + 80), 6},
        {"not BM", with(0, {'B', 'A'}), 5},
        {"32-bit", samples::bmp24(samples::gradient(4, 4), 32), 5},
        {"8-bit", samples::bmp24(samples::gradient(4, 4), 8), 5},
        {"bits 0x118 (low byte 24)", samples::bmp24(samples::gradient(4, 4), 0x118), 5},
        {"RLE compression", with(30, {1, 0, 0, 0}), 11},
        {"bit fields", with(30, {3, 0, 0, 0}), 11},
        {"the 12-byte header", with(14, {12, 0, 0, 0}), 11},
        {"rows inside the header", with(10, {40, 0, 0, 0}), 11},
        {"width 0", with(18, {0, 0, 0, 0}), 9},
        {"height 0", with(22, {0, 0, 0, 0}), 9},
        {"top-down", with(22, {0xF7, 0xFF, 0xFF, 0xFF}), 0},
        {"top-down, height -65529", with(22, {0x07, 0x00, 0xFF, 0xFF}), 9},
        {"width 65529", with(18, {0xF9, 0xFF, 0, 0}), 9},
        {"height 65536 (low half 0)", with(22, {0, 0, 1, 0}), 9},
        {"width 70000 (low half 4464)", with(18, {0x70, 0x11, 0x01, 0}), 9},
        {"width 65528, 1 row, no pixel data", with(18, {0xF8, 0xFF, 0, 0, 1, 0, 0, 0}), 6},
        {"65528 x 65528 in a few bytes", with(18, {0xF8, 0xFF, 0, 0, 0xF8, 0xFF, 0, 0}), 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string in = dir.path("c.bmp"), out = dir.path("c.jpg");
        writeBytes(in, c.bmp);
        writeText(out, "keep");
        EXPECT_EQ(convertToJPEG(in.c_str(), out.c_str(), 50), static_cast<float>(c.code));
        if (c.code != 0) {
            EXPECT_EQ(readBytes(out), Bytes({'k', 'e', 'e', 'p'})) << "output touched";
        }
    }
    EXPECT_EQ(convertToJPEG(dir.path("missing.bmp").c_str(), dir.path("m.jpg").c_str(), 50), 3.0f);
    EXPECT_FALSE(fileExists(dir.path("m.jpg")));
    writeBytes(dir.path("g.bmp"), good);
    EXPECT_EQ(convertToJPEG(dir.path("g.bmp").c_str(), dir.path("no/such/dir/x.jpg").c_str(), 50), 8.0f);
    // The BMP itself as the output, by another spelling: refused, kept.
    EXPECT_EQ(convertToJPEG(dir.path("g.bmp").c_str(), dir.path("./g.bmp").c_str(), 50), 8.0f);
    EXPECT_EQ(readBytes(dir.path("g.bmp")), good);
    EXPECT_EQ(_RGB_buffer, nullptr) << "no pointer into the stripes is left";
    EXPECT_EQ(category_alloc, nullptr);
}

TEST(JpegConvert, SegmentLayout) {
    TempDir dir;
    Bytes f = encode(dir, samples::bmp24(samples::gradient(37, 21)), 75);
    Parsed p = parse(f);
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.segments.size(), 6u);
    const std::uint8_t order[] = {0xE0, 0xFE, 0xDB, 0xC0, 0xC4, 0xDA};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.segments[i].marker, order[i]) << i;
    EXPECT_EQ(p.segments[0].body, Bytes({'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
    EXPECT_EQ(std::string(p.segments[1].body.begin(), p.segments[1].body.end()), "Brindlex v1.0..");
    ASSERT_EQ(p.segments[2].body.size(), 130u);
    EXPECT_EQ(p.segments[2].body[0], 0x00);
    EXPECT_EQ(p.segments[2].body[65], 0x01);
    EXPECT_EQ(p.segments[3].body, Bytes({8, 0, 21, 0, 37, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1}));
    ASSERT_EQ(p.segments[4].body.size(), 416u);
    const Bytes& dht = p.segments[4].body;
    EXPECT_EQ(dht[0], 0x00);
    EXPECT_EQ(dht[29], 0x10);
    EXPECT_EQ(dht[29 + 179], 0x01);
    EXPECT_EQ(dht[29 + 179 + 29], 0x11);
    EXPECT_EQ(p.segments[5].body, Bytes({3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}));
}

TEST(JpegConvert, ScanStuffsEveryFFByte) {
    TempDir dir;
    Bytes f = encode(dir, samples::bmp24(samples::noise(96, 64, 3)), 0);
    Parsed p = parse(f);
    ASSERT_TRUE(p.ok);
    size_t ffs = 0;
    for (size_t i = 0; i < p.scan.size(); ++i)
        if (p.scan[i] == 0xFF) {
            ++ffs;
            ASSERT_LT(i + 1, p.scan.size());
            EXPECT_EQ(p.scan[i + 1], 0x00) << "at " << i;
            ++i;
        }
    EXPECT_GT(ffs, 10u) << "noise at scale 0 should form FF bytes";
}

TEST(JpegConvert, ByteAlignedDataEndsWithStuffedFill) {
    // A flat 8 x 8 grey block codes as Y DC + EOB, then DC 0 + EOB twice;
    // its length in bits is known from the tables, so some greys end the
    // data on a byte boundary.
    TempDir dir;
    ASSERT_EQ(init_all(50), 0);
    int aligned = 0, unaligned = 0;
    for (int g = 0; g < 256; g += 3) {
        std::int8_t block[64];
        std::memset(block, static_cast<std::int8_t>(((65536 * g) >> 16) - 128), sizeof block);
        ASSERT_EQ(init_all(50), 0);
        std::int16_t q[64];
        fdct_and_quantization(block, fdtbl_Y, q);
        int dc = q[0];
        int bits = YDC_HT[dc ? category[dc] : 0].length + (dc ? category[dc] : 0) + YAC_HT[0].length +
                   2 * (CbDC_HT[0].length + CbAC_HT[0].length);
        release_jpeg_buffers();
        Bytes f = encode(
            dir, samples::bmp24(samples::solid(8, 8, Rgb{std::uint8_t(g), std::uint8_t(g), std::uint8_t(g)})), 50);
        Parsed p = parse(f);
        ASSERT_TRUE(p.ok);
        SCOPED_TRACE(g);
        if (bits % 8 == 0) {
            ++aligned;
            ASSERT_GE(f.size(), 4u);
            EXPECT_EQ(Bytes(f.end() - 4, f.end()), Bytes({0xFF, 0x00, 0xFF, 0xD9}));
        } else {
            ++unaligned;
        }
        // Data bytes, plus one for the fill, plus its stuffing byte when it
        // forms FF, with every FF of the data stuffed.
        size_t unstuffed = 0;
        for (size_t i = 0; i < p.scan.size(); ++i) {
            ++unstuffed;
            if (p.scan[i] == 0xFF) ++i;
        }
        EXPECT_EQ(unstuffed, static_cast<size_t>(bits / 8 + 1));
    }
    EXPECT_GT(aligned, 0);
    EXPECT_GT(unaligned, 0);
}

// The transform's paths: the portable one everywhere, SSE2 and AVX2 where
// the processor has them.
class TransformPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(JpegConvert, TransformPaths, testing::Values(simd::kPortable, simd::kSse2, simd::kAvx2),
                         simdPathName);

TEST_P(TransformPaths, ConstantBlocksGiveOnlyTheDcTerm) {
    // A flat block has no AC energy, exactly: every difference in a pass is
    // 0. The DC term is 64 x v x fdtbl[0], rounded halves upwards.
    for (int scale : {0, 50, 100}) {
        ASSERT_EQ(init_all(scale), 0);
        for (int v : {-128, -127, -1, 0, 1, 64, 127}) {
            std::int8_t block[64];
            std::memset(block, v, sizeof block);
            for (const float* tbl : {fdtbl_Y, fdtbl_Cb}) {
                std::int16_t q[64];
                ASSERT_TRUE(fdct_and_quantization_with(GetParam(), block, tbl, q));
                const float t = static_cast<float>(64 * v) * tbl[0];
                EXPECT_EQ(q[0], static_cast<int>(std::floor(static_cast<double>(t) + 0.5))) << scale << " " << v;
                for (int i = 1; i < 64; ++i) ASSERT_EQ(q[i], 0) << scale << " " << v << " at " << i;
            }
        }
        release_jpeg_buffers();
    }
}

class TransformSimdPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(JpegConvert, TransformSimdPaths, testing::Values(simd::kSse2, simd::kAvx2), simdPathName);

TEST_P(TransformSimdPaths, TransformMatchesThePortablePath) {
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    auto same = [&](const std::int8_t* block, const float* tbl) {
        std::int16_t a[64], b[64];
        EXPECT_TRUE(fdct_and_quantization_with(GetParam(), block, tbl, a));
        EXPECT_TRUE(fdct_and_quantization_with(simd::kPortable, block, tbl, b));
        return std::memcmp(a, b, sizeof a) == 0;
    };
    for (int scale : {0, 1, 13, 50, 75, 100}) {
        ASSERT_EQ(init_all(scale), 0);
        for (int n = 0; n < 1500; ++n) {
            std::int8_t block[64];
            int kind = n % 6;
            for (int i = 0; i < 64; ++i) {
                std::uint32_t r = next();
                block[i] = kind == 0   ? static_cast<std::int8_t>(r)                             // noise
                           : kind == 1 ? static_cast<std::int8_t>((i % 8) * 30 - 100 + (r & 3))  // ramp
                           : kind == 2 ? static_cast<std::int8_t>(((i / 8 + i % 8 + n) & 1) ? 127 : -128)
                           : kind == 3 ? static_cast<std::int8_t>((r & 1) ? -128 : 127)
                           // one sample of an extreme on zeros, at every place in turn
                           : kind == 4 ? static_cast<std::int8_t>(i == (n / 6) % 64 ? (n & 1 ? -128 : 127) : 0)
                                       // flat blocks, zero among them
                                       : static_cast<std::int8_t>((n / 6) % 256 - 128);
            }
            for (const float* tbl : {fdtbl_Y, fdtbl_Cb})
                ASSERT_TRUE(same(block, tbl)) << "scale " << scale << " block " << n;
        }
        release_jpeg_buffers();
    }
    // Tables no scale gives, for the rounding: exact halves of both signs
    // (0.5 and 0.25 on integer sums), and products of 16384 and beyond (still within 16 bits),
    // where the double sum truncates towards zero instead of rounding down.
    std::vector<std::vector<float>> tables = {std::vector<float>(64, 0.5f), std::vector<float>(64, 0.25f),
                                              std::vector<float>(64, 3.9f), std::vector<float>(64, 2.5f)};
    std::vector<float> mixed(64);
    for (float& v : mixed) v = static_cast<float>(next() % 1024) / 256.0f;
    tables.push_back(mixed);
    for (const std::vector<float>& tbl : tables)
        for (int n = 0; n < 2000; ++n) {
            std::int8_t block[64];
            for (int i = 0; i < 64; ++i)
                block[i] = n % 2 ? static_cast<std::int8_t>(next()) : static_cast<std::int8_t>(n % 7 == 0 ? -128 : 127);
            ASSERT_TRUE(same(block, tbl.data())) << "table " << tbl[0] << " block " << n;
        }
}

// The zigzag coder's non-zero mask: the portable path everywhere, SSE2
// where the build has it.
class NonzeroMaskPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(JpegConvert, NonzeroMaskPaths, testing::Values(simd::kPortable, simd::kSse2), simdPathName);

TEST_P(NonzeroMaskPaths, OneBitPerNonZeroCoefficient) {
    std::int16_t c[64] = {};
    std::uint64_t mask = 1;
    ASSERT_TRUE(nonzero_mask_with(GetParam(), c, mask));
    EXPECT_EQ(mask, 0u);
    // Each coefficient alone, with values whose low or high byte is zero
    // and the extremes.
    for (int at = 0; at < 64; ++at)
        for (int v : {1, -1, 0x100, -0x100, 0x80, 0x7F00, -32768, 32767}) {
            std::int16_t one[64] = {};
            one[at] = static_cast<std::int16_t>(v);
            ASSERT_TRUE(nonzero_mask_with(GetParam(), one, mask));
            ASSERT_EQ(mask, std::uint64_t(1) << at) << "value " << v << " at " << at;
        }
    for (std::int16_t& v : c) v = -32768;
    ASSERT_TRUE(nonzero_mask_with(GetParam(), c, mask));
    EXPECT_EQ(mask, ~std::uint64_t(0));
    // Sparse and dense random blocks against the portable path.
    std::uint32_t seed = 99;
    for (int n = 0; n < 20000; ++n) {
        for (std::int16_t& v : c) {
            seed = seed * 1664525u + 1013904223u;
            v = (seed >> 24) % 8 < static_cast<std::uint32_t>(n % 9) ? static_cast<std::int16_t>(seed >> 8) : 0;
        }
        std::uint64_t expected = 0;
        ASSERT_TRUE(nonzero_mask_with(simd::kPortable, c, expected));
        ASSERT_TRUE(nonzero_mask_with(GetParam(), c, mask));
        ASSERT_EQ(mask, expected) << "block " << n;
    }
}

TEST(JpegConvert, LastZigzagCoefficientCanBeNonZero) {
    // A one-pixel checkerboard puts energy in the highest frequency, so
    // its block ends without an end-of-block code.
    ASSERT_EQ(init_all(0), 0);
    std::int8_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = ((i / 8 + i % 8) & 1) ? 127 : -128;
    std::int16_t q[64];
    fdct_and_quantization(block, fdtbl_Y, q);
    EXPECT_NE(q[63], 0);
    release_jpeg_buffers();
}

TEST(JpegConvert, GoldenBytes) {
    struct Case {
        const char* what;
        Picture pic;
        int scale;
        std::uint64_t hash;
    } cases[] = {
        // Smooth picture, odd size (padding in both directions), default scale.
        {"gradient 37x21 @50", samples::gradient(37, 21), 50, 0xf58380804399e6ceull},
        // Noise at scale 0: large coefficients, long AC runs, many FF bytes.
        {"noise 24x16 @0", samples::noise(24, 16, 11), 0, 0x2ddd7b1e71f808feull},
        // Hard edges at scale 100 (the example tables): zero runs of 16+.
        {"edges 40x24 @100", samples::edges(40, 24), 100, 0x4715b6ff062fb6a5ull},
        // One white pixel: a single MCU.
        {"white 1x1 @75", samples::solid(1, 1, Rgb{255, 255, 255}), 75, 0x74b917a9cdea3a2aull},
    };
    TempDir dir;
    for (const Case& c : cases) {
        Bytes f = encode(dir, samples::bmp24(c.pic), c.scale);
        ASSERT_FALSE(f.empty()) << c.what;
        EXPECT_EQ(fnv1a(f), c.hash) << c.what << ": 0x" << std::hex << fnv1a(f);
    }
}

// The encoder's bytes over a matrix of pictures (sizes off the 8 grid,
// noise, flat areas, sharp edges, a tall and a wide strip) and scales, as
// one hash pinned from the straightforward scalar encoder: the fast paths
// must reproduce it exactly, in both builds.
TEST(JpegConvert, GoldenBytesAcrossPicturesAndScales) {
    const Picture pics[] = {
        samples::noise(29, 19, 1),
        samples::noise(64, 8, 2),
        samples::gradient(71, 45),
        samples::edges(53, 37),
        samples::solid(15, 9, Rgb{0, 0, 0}),
        samples::solid(9, 15, Rgb{255, 255, 255}),
        samples::edges(3, 120),
        samples::noise(130, 2, 3),
    };
    const int scales[] = {0, 1, 25, 50, 75, 99, 100};
    TempDir dir;
    std::uint64_t h = 1469598103934665603ull;
    size_t total = 0;
    for (const Picture& p : pics)
        for (int s : scales) {
            Bytes f = encode(dir, samples::bmp24(p), s);
            ASSERT_FALSE(f.empty());
            total += f.size();
            for (std::uint8_t c : f) {
                h ^= c;
                h *= 1099511628211ull;
            }
        }
    EXPECT_EQ(h, 0x449f94697829d410ull) << std::hex << "0x" << h << std::dec << " over " << total << " bytes";
}

TEST(JpegExport, ArgumentsAndScale) {
    TempDir dir;
    std::string in = dir.path("e.bmp"), out = dir.path("e.jpg");
    writeBytes(in, samples::bmp24(samples::gradient(8, 8)));
    std::string m = out;
    EXPECT_EQ(callExport("saveAsJpeg", nullptr, 50, &m), -9.0f);
    EXPECT_EQ(callExport("saveAsJpeg", in, 50, nullptr), -9.0f);
    EXPECT_FALSE(fileExists(out));
    struct Case {
        double value;
        int lum0;  // first luminance table entry: 16 x scale / 100, rounded
    } cases[] = {{100, 16}, {0, 1},     {75.9, 12}, {150, 8},
                 {-1, 8},   {100.5, 8}, {50, 8},    {std::numeric_limits<double>::quiet_NaN(), 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        m = out;
        ASSERT_EQ(callExport("saveAsJpeg", in, c.value, &m), 0.0f);
        Parsed p = parse(readBytes(out));
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(find(p, 0xDB)->body[1], c.lum0);
    }
    m = out;
    EXPECT_EQ(callExport("saveAsJpeg", dir.path("none.bmp"), 50, &m), 3.0f);
}

TEST(JpegExport, LongPaths) {
    TempDir dir;
    std::string folder = dir.path(std::string(120, 'a') + "/" + std::string(120, 'b') + "/" + std::string(120, 'c') +
                                  "/" + std::string(120, 'd'));
    ASSERT_TRUE(makeFolders(folder));
    std::string in = folder + "/" + std::string(100, 'i') + ".bmp";
    std::string m = folder + "/" + std::string(100, 'o') + ".jpg";
    ASSERT_GT(m.size(), 600u);
    ASSERT_TRUE(writeBytes(in, samples::bmp24(samples::gradient(5, 5))));
    std::string out = m;
    EXPECT_EQ(callExport("saveAsJpeg", in, 50, &m), 0.0f);
    EXPECT_TRUE(parse(readBytes(out)).ok);
    // Non-ASCII names arrive as UTF-8.
    std::string uin = dir.path("karte-\xc3\xa9t\xc3\xa9.bmp"), uout = dir.path("\xe5\x9c\xb0\xe5\x9b\xbe.jpg");
    ASSERT_TRUE(writeBytes(uin, samples::bmp24(samples::gradient(5, 5))));
    m = uout;
    EXPECT_EQ(callExport("saveAsJpeg", uin, 50, &m), 0.0f);
    EXPECT_TRUE(parse(readBytes(uout)).ok);
}

#if !BRINDLEX_WINDOWS
#endif

#if BRINDLEX_HAVE_LIBJPEG
TEST(JpegDecode, TablesMatchTheSystemEncodersExampleTables) {
    // At its quality 50 the system encoder writes the example quantisation
    // tables, and it always writes the example Huffman tables.
    Picture pic = samples::gradient(16, 16);
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = 16;
    c.image_height = 16;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 50, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<std::uint8_t> row(48);
    while (c.next_scanline < 16) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes theirs(buf, buf + size);
    std::free(buf);

    // Their tables, gathered from however many segments they use.
    Bytes qt[2], ht[4];
    size_t at = 2;
    while (at + 4 <= theirs.size() && theirs[at] == 0xFF && theirs[at + 1] != 0xDA) {
        size_t len = (theirs[at + 2] << 8) | theirs[at + 3];
        const std::uint8_t *b = theirs.data() + at + 4, *e = theirs.data() + at + 2 + len;
        if (theirs[at + 1] == 0xDB)
            for (; b < e; b += 65) qt[b[0] & 1].assign(b + 1, b + 65);
        if (theirs[at + 1] == 0xC4)
            while (b < e) {
                int n = 0;
                for (int i = 1; i <= 16; ++i) n += b[i];
                int slot = (b[0] >> 4) * 2 + (b[0] & 1);
                ht[slot].assign(b + 1, b + 17 + n);
                b += 17 + n;
            }
        at += 2 + len;
    }

    TempDir dir;
    Parsed p = parse(encode(dir, samples::bmp24(pic), 100));
    ASSERT_TRUE(p.ok);
    const Bytes& dqt = find(p, 0xDB)->body;
    EXPECT_EQ(Bytes(dqt.begin() + 1, dqt.begin() + 65), qt[0]);
    EXPECT_EQ(Bytes(dqt.begin() + 66, dqt.begin() + 130), qt[1]);
    const Bytes& dht = find(p, 0xC4)->body;
    // Our order: luminance DC, luminance AC, chrominance DC, chrominance AC.
    const int slots[4] = {0, 2, 1, 3};
    size_t off = 0;
    for (int t = 0; t < 4; ++t) {
        size_t n = ht[slots[t]].size();
        ASSERT_GT(n, 16u);
        EXPECT_EQ(Bytes(dht.begin() + off + 1, dht.begin() + off + 1 + n), ht[slots[t]]) << "table " << t;
        off += 1 + n;
    }
}

TEST(JpegDecode, DecodesWithTheRightFrameAndCloseToTheSource) {
    struct Case {
        const char* what;
        Picture pic;
        double minPsnr[4];  // at scales 0, 50, 75, 100
    } cases[] = {
        {"white 1x1", samples::solid(1, 1, Rgb{255, 255, 255}), {45, 45, 45, 45}},
        {"gradient 10x3", samples::gradient(10, 3), {40, 33, 30, 27}},
        {"gradient 123x77", samples::gradient(123, 77), {40, 38, 36, 35}},
        {"noise 33x17", samples::noise(33, 17, 9), {40, 14, 12, 11}},
        {"edges 64x48", samples::edges(64, 48), {35, 20, 19, 18}},
        // Wider than 21840: rows of more than 65535 bytes.
        {"gradient 21849x2", samples::gradient(21849, 2), {35, 27, 25, 23}},
        {"checkerboard 8x8",
         samples::makePicture(8, 8,
                              [](int x, int y) {
                                  return ((x + y) & 1) ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
                              }),
         {35, 8, 8, 8}},
    };
    const int scales[4] = {0, 50, 75, 100};
    TempDir dir;
    for (const Case& c : cases) {
        for (int s = 0; s < 4; ++s) {
            SCOPED_TRACE(testing::Message() << c.what << " scale " << scales[s]);
            Bytes f = encode(dir, samples::bmp24(c.pic), scales[s]);
            Decoded d = decode(f);
            ASSERT_TRUE(d.ok);
            EXPECT_FALSE(d.warnings) << "the decoder found damaged data";
            EXPECT_EQ(d.w, c.pic.w);
            EXPECT_EQ(d.h, c.pic.h);
            ASSERT_EQ(d.components, 3);
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(d.ids[k], k + 1);
                EXPECT_EQ(d.sampling[k][0], 1);
                EXPECT_EQ(d.sampling[k][1], 1);
            }
            EXPECT_GE(psnr(c.pic, d), c.minPsnr[s]);
        }
    }
}

TEST(JpegDecode, QualityMatchesTheSystemEncoderWithTheSameTables) {
    // The colour conversion truncates (shift right, no rounding term) where
    // the system encoder rounds. Over smooth content that biases Y, Cb and
    // Cr by half a level each: about -1.2, 0 and -1.4 levels in R, G, B,
    // which adds up to 1.15 to the mean square error. Beyond that bias the
    // two encoders must be equal; on noise the bias is lost in the error.
    struct Case {
        const char* what;
        Picture pic;
        int scale;
    } cases[] = {
        {"gradient @0", samples::gradient(160, 96), 0},     {"gradient @50", samples::gradient(160, 96), 50},
        {"gradient @100", samples::gradient(160, 96), 100}, {"noise @50", samples::noise(64, 64, 21), 50},
        {"noise @75", samples::noise(64, 64, 22), 75},      {"noise @100", samples::noise(64, 64, 23), 100},
        {"edges @75", samples::edges(96, 64), 75},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes ours = encode(dir, samples::bmp24(c.pic), c.scale);
        Parsed p = parse(ours);
        ASSERT_TRUE(p.ok);
        std::uint8_t lum[64], chrom[64];
        tablesFromDQT(*find(p, 0xDB), lum, chrom);
        Decoded a = decode(ours), b = decode(referenceEncode(c.pic, lum, chrom));
        ASSERT_TRUE(a.ok && b.ok);
        double pa = psnr(c.pic, a), pb = psnr(c.pic, b);
        auto mse = [](double db) { return 255.0 * 255.0 / std::pow(10.0, db / 10.0); };
        EXPECT_LE(mse(pa), mse(pb) * 1.01 + 1.15) << "ours " << pa << " dB, system " << pb << " dB";
        if (c.pic.w == 64) {
            EXPECT_GE(pa, pb - 0.05) << "noise: ours " << pa << " dB, system " << pb << " dB";
        }
    }
}

TEST(JpegDecode, TruncatedFilesStillGiveDecodableFiles) {
    TempDir dir;
    Bytes full = samples::bmp24(samples::edges(21, 13));
    for (size_t n = 0; n < full.size(); n += (n < 60 ? 1 : 37)) {
        SCOPED_TRACE(n);
        float r = -1;
        Bytes f = encode(dir, Bytes(full.begin(), full.begin() + n), 50, &r);
        if (n < 54) {
            EXPECT_EQ(r, 4.0f);
            continue;
        }
        if (n < 21 * 13) {
            EXPECT_EQ(r, 6.0f) << "less than a third of the pixel data";
            continue;
        }
        ASSERT_EQ(r, 0.0f);
        Decoded d = decode(f);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.w, 21);
        EXPECT_EQ(d.h, 13);
    }
}
#endif
