// Targa copies of TIFF maps: the header, the rows from the end of the file
// in bottom-up blue-green-red order, the tag checks and the refusals.
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform.h"
#include "TargaOps.h"
#include "TestSupport.h"
#include "TiffOps.h"
#include "fixtures/TiffBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An independent Targa reader: type-2 24-bit files with the origin at the
// lower left, returned as RGB rows top row first.
struct Tga {
    bool ok = false;
    int w = 0, h = 0;
    Bytes rgb;
};

Tga readTga(const Bytes& f) {
    Tga t;
    if (f.size() < 18 || f[0] != 0 || f[1] != 0 || f[2] != 2 || f[16] != 24 || f[17] != 0) return t;
    t.w = f[12] | (f[13] << 8);
    t.h = f[14] | (f[15] << 8);
    if (f.size() != 18 + static_cast<size_t>(t.w) * t.h * 3) return t;
    t.rgb.resize(static_cast<size_t>(t.w) * t.h * 3);
    for (int y = 0; y < t.h; ++y)
        for (int x = 0; x < t.w; ++x) {
            const std::uint8_t* s = f.data() + 18 + (static_cast<size_t>(t.h - 1 - y) * t.w + x) * 3;
            std::uint8_t* d = t.rgb.data() + (static_cast<size_t>(y) * t.w + x) * 3;
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    t.ok = true;
    return t;
}

TiffBuilder rgb8(std::uint32_t w, std::uint32_t h, unsigned seed = 1) {
    TiffBuilder b(w, h, 3, 8);
    b.u8s([seed](std::uint32_t x, std::uint32_t y, int c) {
        return static_cast<std::uint8_t>((x * 37 + y * 101 + static_cast<unsigned>(c) * 59 + seed * 13) ^ (x * y));
    });
    return b;
}

float convert(const TempDir& dir, const Bytes& tiff, Bytes* tga = nullptr) {
    std::string in = dir.path("in.tif"), out = dir.path("out.tga");
    EXPECT_TRUE(writeBytes(in, tiff));
    std::remove(out.c_str());
    float r = convertToTarga(in.c_str(), out.c_str());
    if (tga) *tga = fileExists(out) ? readBytes(out) : Bytes();
    return r;
}

const Bytes kHeader2x2 = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 24, 0};

}  // namespace

TEST(Targa, TwoByTwoExample) {
    TiffBuilder b(2, 2, 3, 8);
    // Rows (R1 G1 B1, R2 G2 B2) and (R3 G3 B3, R4 G4 B4) with Rk = 10k + 1,
    // Gk = 10k + 2, Bk = 10k + 3.
    b.u8s([](std::uint32_t x, std::uint32_t y, int c) {
        return static_cast<std::uint8_t>(10 * (2 * y + x + 1) + static_cast<unsigned>(c) + 1);
    });
    TempDir dir;
    Bytes tga;
    ASSERT_EQ(convert(dir, b.build(), &tga), 0.0f);
    Bytes expect = kHeader2x2;
    for (int k : {3, 4, 1, 2}) {
        expect.push_back(static_cast<std::uint8_t>(10 * k + 3));
        expect.push_back(static_cast<std::uint8_t>(10 * k + 2));
        expect.push_back(static_cast<std::uint8_t>(10 * k + 1));
    }
    EXPECT_EQ(tga, expect);
}

TEST(Targa, PixelsMatchTheSource) {
    // Sizes around the 4 MiB read block, so rows straddle block edges.
    struct Case {
        std::uint32_t w, h;
    } cases[] = {{1, 1}, {67, 45}, {1500, 1000}, {4097, 343}};
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        TiffBuilder b = rgb8(c.w, c.h, c.w);
        Bytes tga;
        ASSERT_EQ(convert(dir, b.build(), &tga), 0.0f);
        Tga t = readTga(tga);
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(t.w, static_cast<int>(c.w));
        EXPECT_EQ(t.h, static_cast<int>(c.h));
        EXPECT_TRUE(t.rgb == b.pixels) << "pixels differ";
    }
}

TEST(Targa, GreyIsWrittenTripled) {
    TiffBuilder b(5, 3, 1, 8);
    b.u8s([](std::uint32_t x, std::uint32_t y, int) { return static_cast<std::uint8_t>(x * 50 + y); });
    TempDir dir;
    Bytes tga;
    ASSERT_EQ(convert(dir, b.build(), &tga), 0.0f);
    Tga t = readTga(tga);
    ASSERT_TRUE(t.ok);
    for (size_t i = 0; i < b.pixels.size(); ++i)
        for (int c = 0; c < 3; ++c) ASSERT_EQ(t.rgb[3 * i + c], b.pixels[i]) << i;
}

TEST(Targa, HeightZeroGivesTheHeaderOnly) {
    TempDir dir;
    Bytes tga;
    EXPECT_EQ(convert(dir, TiffBuilder(7, 0, 3, 8).build(), &tga), 0.0f);
    EXPECT_EQ(tga, Bytes({0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 24, 0}));
}

TEST(Targa, RefusalsLeaveNoOutput) {
    auto edit = [](TiffBuilder b, void (*f)(TiffBuilder&)) {
        f(b);
        return b.build();
    };
    Bytes farIfd = rgb8(4, 4).build();
    farIfd.resize(1200, 0);
    fileio::storeLE32(farIfd.data() + 4, 1300);  // an IFD past the end of the file
    Bytes edgeIfd = rgb8(4, 4).build();
    edgeIfd.resize(1000, 0);
    fileio::storeLE32(edgeIfd.data() + 4, 990);  // count inside, entries outside
    fileio::storeLE16(edgeIfd.data() + 990, 15);

    struct Case {
        const char* what;
        Bytes tiff;
        float code;
    } cases[] = {
        {"LZW", edit(rgb8(4, 4), [](TiffBuilder& b) { b.set(259, 5); }), -259},
        {"RGBA count", edit(rgb8(4, 4), [](TiffBuilder& b) { b.setCount(258, 4); }), 258},
        {"BitsPerSample count 2", edit(rgb8(4, 4), [](TiffBuilder& b) { b.setCount(258, 2); }), 258},
        {"photometric 3", edit(rgb8(4, 4), [](TiffBuilder& b) { b.set(262, 3); }), -262},
        {"two strips", edit(rgb8(4, 4), [](TiffBuilder& b) { b.setCount(273, 2); }), -273},
        {"SampleFormat count 2", edit(rgb8(4, 4), [](TiffBuilder& b) { b.setCount(339, 2); }), -339},
        {"first failing tag wins",
         edit(rgb8(4, 4),
              [](TiffBuilder& b) {
                  b.set(262, 9);
                  b.setCount(339, 2);
              }),
         -262},
        {"no BitsPerSample (one bit a sample)", edit(rgb8(4, 4), [](TiffBuilder& b) { b.remove(258); }), -8},
        {"16-bit", TiffBuilder(3, 2, 3, 16).build(), -8},
        {"float", TiffBuilder(3, 2, 1, 32).build(), -8},
        {"signed samples", edit(TiffBuilder(3, 2, 1, 8), [](TiffBuilder& b) { b.set(339, 2); }),
         tiff::kWrongSampleFormat},
        {"0 is white", edit(TiffBuilder(3, 2, 1, 8), [](TiffBuilder& b) { b.set(262, 0); }), tiff::kMinIsWhite},
        {"rows turned (Orientation 8)", edit(rgb8(4, 4), [](TiffBuilder& b) { b.set(274, 8); }), tiff::kTurnedRows},
        {"\"MM\" on a little-endian file",
         [] {
             Bytes f = rgb8(4, 4).build();
             f[0] = f[1] = 'M', f[2] = 0, f[3] = 42;
             return f;
         }(),
         tiff::kIfdOutsideHeader},
        {"no width", edit(rgb8(4, 4), [](TiffBuilder& b) { b.remove(256); }), tiff::kMissingEntry},
        {"no height", edit(rgb8(4, 4), [](TiffBuilder& b) { b.remove(257); }), tiff::kMissingEntry},
        {"IFD past the end", farIfd, tiff::kIfdOutsideHeader},
        {"entries past the end", edgeIfd, tiff::kIfdOutsideHeader},
        {"empty file", Bytes(), tiff::kNotTiff},
        {"width 65536", edit(TiffBuilder(1, 1, 3, 8), [](TiffBuilder& b) { b.set(256, 65536); }), tiff::kTooLarge},
        {"rows past the file", edit(rgb8(4, 4), [](TiffBuilder& b) { b.set(257, 400); }), tiff::kRowsPastEnd},
        {"width x 3 overflows 32 bits", edit(rgb8(4, 4), [](TiffBuilder& b) { b.set(256, 0xFFFFFFFFu); }),
         tiff::kTooLarge},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes tga;
        EXPECT_EQ(convert(dir, c.tiff, &tga), c.code);
        EXPECT_FALSE(fileExists(dir.path("out.tga"))) << "output created";
    }
    // Accepted oddity: a negative photometric value passes the signed
    // comparison.
    EXPECT_EQ(convert(dir, edit(rgb8(4, 4), [](TiffBuilder& b) { b.set(262, 0xFFFFFFFFu); })), 0.0f);
}

// Programs that put a directory or anything else after the rows: the rows
// are taken at the strip offset, not from the end of the file.
TEST(Targa, RowsAreTakenAtTheStripWhateverFollowsThem) {
    TempDir dir;
    for (int samples : {1, 3}) {
        SCOPED_TRACE(samples);
        const Bytes plain = TiffBuilder(5, 3, samples, 8).build();
        Bytes followed = plain;
        followed.insert(followed.end(), 37, 0xC3);
        Bytes want, got;
        ASSERT_EQ(convert(dir, plain, &want), 0.0f);
        ASSERT_EQ(convert(dir, followed, &got), 0.0f);
        EXPECT_EQ(got, want);
    }
}

TEST(Targa, MissingOrUncreatableFiles) {
    TempDir dir;
    EXPECT_EQ(convertToTarga(dir.path("none.tif").c_str(), dir.path("o.tga").c_str()), -10.0f);
    EXPECT_FALSE(fileExists(dir.path("o.tga")));
    writeBytes(dir.path("a.tif"), rgb8(3, 3).build());
    EXPECT_EQ(convertToTarga(dir.path("a.tif").c_str(), dir.path("no/dir/o.tga").c_str()), targa::kCannotCreate);
}

#if !BRINDLEX_WINDOWS
TEST(Targa, ReadOnlyTiffLeavesTheTargaPathAsItWas) {
    TempDir dir;
    const std::string in = dir.path("ro.tif"), out = dir.path("ro.tga");
    TiffBuilder b = rgb8(2, 2);
    writeBytes(in, b.build());
    // Root ignores permission bits; the immutable flag holds even for root.
    if (std::system(("chattr +i '" + in + "' 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "chattr unavailable";
    float r = convertToTarga(in.c_str(), out.c_str());
    std::system(("chattr -i '" + in + "'").c_str());
    EXPECT_EQ(r, -101.0f);
    EXPECT_FALSE(fileExists(out));
}

#endif

TEST(Targa, Export) {
    TempDir dir;
    const std::string in = dir.path("e.tif");
    writeBytes(in, rgb8(2, 2).build());
    std::string m = dir.path("e.tga");
    EXPECT_EQ(callExport("saveAsTarga", nullptr, 0, &m), -9.0f);
    EXPECT_EQ(callExport("saveAsTarga", in, 0, nullptr), -9.0f);
    EXPECT_FALSE(fileExists(dir.path("e.tga")));
    EXPECT_EQ(callExport("saveAsTarga", in, 0, &m), 0.0f);
    EXPECT_EQ(readTga(readBytes(dir.path("e.tga"))).w, 2);
}
