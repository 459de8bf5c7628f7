// TIFF maps: the dialect reader and its refusals, the header templates and
// patch, the quantisation and the scale curve, and the operations.
#include "TiffOps.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "TestSupport.h"
#include "fixtures/TiffBuilder.h"

using namespace tiff;

namespace {

// A small float RGB map as the host writes it.
TiffBuilder floatRgb(std::uint32_t w = 5, std::uint32_t h = 4) {
    TiffBuilder b(w, h, 3, 32);
    b.floats([](std::uint32_t x, std::uint32_t y, int c) { return 0.1f * x + 0.01f * y + 0.3f * c; });
    return b;
}

WalkRules rules(std::size_t bytes, int bits = 0, bool positive = false) {
    WalkRules r;
    r.headerBytes = bytes;
    r.requiredBits = bits;
    r.positiveBpsCode = positive;
    return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// The reader.

TEST(TiffWalk, PicksUpTheDialectsTags) {
    TiffBuilder b = floatRgb(7, 3);
    Directory d;
    ASSERT_EQ(walkIfd(b.build(), rules(0, 32), d), 0.0f);
    EXPECT_EQ(d.ifdOffset, 8u);
    EXPECT_EQ(d.entryCount, 15);
    EXPECT_EQ(d.width, 7u);
    EXPECT_EQ(d.length, 3u);
    EXPECT_EQ(d.samples, 3u);
    EXPECT_EQ(d.bits, 32u);
    EXPECT_EQ(d.stripOffset, b.stripOffset());
    EXPECT_EQ(d.rowsPerStrip, 3u);
    EXPECT_EQ(checkPatchable(d), 0.0f);
    EXPECT_EQ(d.valueField(d.byteCountsIndex), kByteCountsField);
}

TEST(TiffWalk, ChecksAndCodes) {
    using Edit = std::function<void(TiffBuilder &, std::vector<std::uint8_t> &)>;
    auto entry = [](std::uint16_t tag, std::uint32_t count, std::uint32_t value) {
        return Edit([=](TiffBuilder &b, std::vector<std::uint8_t> &) {
            if (!b.find(tag)) b.entries.push_back({tag, 3, 1, 0});
            b.setCount(tag, count).set(tag, value);
        });
    };
    const Edit none = [](TiffBuilder &, std::vector<std::uint8_t> &) {};
    struct Case {
        const char *what;
        int bits;
        Edit before, after;  // on the builder, then on the built bytes
        WalkRules r;
        float code;
    } cases[] = {
        {"valid float map", 32, none, none, rules(250, 32), 0},
        {"BitsPerSample count 2", 32, entry(258, 2, 32), none, rules(250, 32), -258},
        {"BitsPerSample count 4, merge rules", 32, entry(258, 4, 32), none, rules(1000, 0, true), 258},
        {"only the first of three depths counts", 32, none,
         [](TiffBuilder &b, std::vector<std::uint8_t> &f) { f[194 + 2] = 16; f[194 + 4] = 16; }, rules(250, 32), 0},
        {"16-bit map where 32 is required", 16, none, none, rules(250, 32), -32},
        {"16-bit map where 16 is required", 16, none, none, rules(0, 16), 0},
        {"no BitsPerSample entry", 32, [](TiffBuilder &b, auto &) { b.remove(258); }, none, rules(250, 32), -32},
        {"LZW compression", 32, entry(259, 1, 5), none, rules(250, 32), -259},
        {"photometric 3 (palette)", 32, entry(262, 1, 3), none, rules(250, 32), -262},
        {"photometric -1 passes the signed test", 32, entry(262, 1, 0xFFFFFFFFu), none, rules(250, 32), 0},
        {"two strips", 32, entry(273, 2, 300), none, rules(250, 32), -273},
        {"SampleFormat count 2", 32, entry(339, 2, 3), none, rules(250, 32), -339},
        {"integer SampleFormat on a float map is accepted", 8, entry(339, 1, 1), none, rules(250, 0), 0},
        {"first failing entry in file order wins", 32,
         [](TiffBuilder &b, auto &) { b.set(259, 5).setCount(339, 2); }, none, rules(250, 32), -259},
        {"unknown tags, descending order", 32,
         [](TiffBuilder &b, auto &) { b.entries.push_back({18, 11, 1, 1}); b.entries.push_back({5, 3, 1, 9}); },
         none, rules(250, 32), 0},
        {"no ImageWidth", 32, [](TiffBuilder &b, auto &) { b.remove(256); }, none, rules(250, 32), kMissingEntry},
        {"no StripOffsets", 32, [](TiffBuilder &b, auto &) { b.remove(273); }, none, rules(250, 32), kMissingEntry},
        {"no entries", 32, none, [](TiffBuilder &, std::vector<std::uint8_t> &f) { f[8] = 0; f[9] = 0; },
         rules(250, 0), kMissingEntry},
        {"negative entry count", 32, none, [](TiffBuilder &, std::vector<std::uint8_t> &f) { f[9] = 0x80; },
         rules(250, 0), kMissingEntry},
        {"IFD past the header buffer", 32, none, [](TiffBuilder &, std::vector<std::uint8_t> &f) { f[4] = 250; },
         rules(250, 32), kIfdOutsideHeader},
        {"IFD offset near 4 GiB", 32, none,
         [](TiffBuilder &, std::vector<std::uint8_t> &f) { f[4] = f[5] = f[6] = f[7] = 0xFF; }, rules(0, 32),
         kIfdOutsideHeader},
        {"entries run past the header buffer", 32, none, [](TiffBuilder &, std::vector<std::uint8_t> &f) { f[8] = 21; },
         rules(250, 32), kIfdOutsideHeader},
        {"BitsPerSample array past the buffer", 32, entry(258, 3, 249), none, rules(250, 32), kBitsOutsideHeader},
        {"big-endian file is misread, not detected", 32, none,
         [](TiffBuilder &, std::vector<std::uint8_t> &f) { f[0] = f[1] = 'M'; f[4] = 0; f[7] = 8; }, rules(1000, 32),
         kIfdOutsideHeader},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TiffBuilder b(4, 2, 3, c.bits);
        c.before(b, b.pixels);
        std::vector<std::uint8_t> f = b.build();
        c.after(b, f);
        std::vector<std::uint8_t> header = f;
        if (c.r.headerBytes) header.resize(c.r.headerBytes, header.back());
        Directory d;
        EXPECT_EQ(walkIfd(header, c.r, d), c.code);
    }
}

TEST(TiffWalk, BitsArrayOutsideIsHarmlessWhenDepthIsNotNeeded) {
    TiffBuilder b(4, 2, 3, 8);
    b.set(258, 100000);
    WalkRules r = rules(1000, 0, true);
    r.needBits = false;
    Directory d;
    EXPECT_EQ(walkIfd(b.build(), r, d), 0.0f);
    EXPECT_EQ(d.samples, 3u);
    EXPECT_EQ(d.bits, 0u);
}

TEST(TiffWalk, HeaderBufferIsPaddedWithTheLastByte) {
    TempDir dir;
    const std::string p = dir.path("short.bin");
    ASSERT_TRUE(writeBytes(p, {1, 2, 3}));
    fileio::File f = fileio::open(p, "rb");
    std::vector<std::uint8_t> buf = loadHeaderBuffer(f.get(), 6);
    EXPECT_EQ(buf, (std::vector<std::uint8_t>{1, 2, 3, 3, 3, 3}));
    ASSERT_TRUE(writeBytes(p, {}));
    fileio::File e = fileio::open(p, "rb");
    EXPECT_EQ(loadHeaderBuffer(e.get(), 4), std::vector<std::uint8_t>(4, 0));
}

TEST(TiffWalk, WholeFileRuleFindsAnIfdBehindThePixels) {
    // IFD placed after 100 KiB of pixels: beyond the cached prefix.
    TiffBuilder b(200, 128, 1, 32);
    b.floats([](std::uint32_t x, std::uint32_t, int) { return x / 200.0f; });
    std::vector<std::uint8_t> f = b.build();
    const std::uint32_t ifdAt = static_cast<std::uint32_t>(f.size());
    f.insert(f.end(), f.begin() + 8, f.begin() + 8 + 2 + 12 * 15 + 4);
    fileio::storeLE32(&f[4], ifdAt);
    TempDir dir;
    ASSERT_TRUE(writeBytes(dir.path("late.tif"), f));
    Directory d;
    EXPECT_EQ(readTiffHeader(dir.path("late.tif").c_str(), rules(0, 32), d), 0.0f);
    EXPECT_EQ(d.ifdOffset, ifdAt);
    EXPECT_EQ(d.width, 200u);
    EXPECT_EQ(d.fileSize, f.size());
    EXPECT_EQ(readTiffHeader(dir.path("late.tif").c_str(), rules(1000, 32), d), kIfdOutsideHeader);
    EXPECT_EQ(readTiffHeader(dir.path("missing.tif").c_str(), rules(0, 32), d), -10.0f);
}

TEST(TiffWalk, EveryTruncatedPrefixFailsCleanly) {
    const std::vector<std::uint8_t> full = floatRgb(3, 2).build();
    const std::size_t ifdEnd = 8 + 2 + 12 * 15 + 4 + 2;  // through the first depth of the array
    for (std::size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        std::vector<std::uint8_t> prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        Directory d;
        float r = walkIfd(prefix, rules(0, 32), d);
        if (n < ifdEnd) {
            EXPECT_NE(r, 0.0f);
        } else {
            ASSERT_EQ(r, 0.0f);
            std::uint64_t row = 0;
            ASSERT_TRUE(rowBytes(d, 3, 4, row));
            EXPECT_EQ(rowsFit(d, row), n == full.size());
        }
    }
}

TEST(TiffWalk, RowsMustFitTheFile) {
    struct Case {
        std::uint32_t width, length, strip;
        std::uint64_t fileSize;
        bool fits;
    } cases[] = {
        {4, 2, 222, 222 + 4 * 2 * 12, true},          {4, 2, 222, 222 + 4 * 2 * 12 - 1, false},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 8, 1000, false},   {0, 0xFFFFFFFFu, 8, 8, true},
        {1, 1, 0xFFFFFFF0u, 1000, false},            {65536, 65536, 222, 1u << 20, false},
    };
    for (const Case &c : cases) {
        Directory d;
        d.width = c.width;
        d.length = c.length;
        d.stripOffset = c.strip;
        d.fileSize = c.fileSize;
        std::uint64_t row = 0;
        ASSERT_TRUE(rowBytes(d, 3, 4, row));
        EXPECT_EQ(rowsFit(d, row), c.fits) << c.width << " x " << c.length;
    }
}

// ---------------------------------------------------------------------------
// Templates and the header patch.

TEST(TiffTemplates, ByteForByte) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::size_t size, rationals;
        std::uint32_t width, bits, samples, strip, byteCounts;
    } cases[] = {
        {grey16Template(), 198, 182, 256, 16, 1, 198, 131072},
        {rgb16Template(), 234, 206, 1024, 16, 3, 234, 6291456},
        {float32Template(), 222, 194, 4096, 32, 1, 222, 67108864},
    };
    const std::uint8_t rational[8] = {0x80, 0xFC, 0x0A, 0x00, 0x10, 0x27, 0x00, 0x00};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(c.bytes.size(), c.size);
        EXPECT_EQ(std::memcmp(c.bytes.data(), "II\x2A\0\x08\0\0\0", 8), 0);
        EXPECT_EQ(std::memcmp(&c.bytes[c.rationals], rational, 8), 0);
        EXPECT_EQ(std::memcmp(&c.bytes[c.rationals + 8], rational, 8), 0);
        EXPECT_EQ(tiffU32At(c.bytes, c.rationals - 4), 0u) << "next IFD";
        EXPECT_EQ(tiffU32At(c.bytes, kWidthField), c.width);
        EXPECT_EQ(tiffU32At(c.bytes, kLengthField), c.width);
        EXPECT_EQ(tiffU32At(c.bytes, kRowsPerStripField), c.width);
        EXPECT_EQ(tiffU32At(c.bytes, kByteCountsField), c.byteCounts);
        Directory d;
        ASSERT_EQ(walkIfd(c.bytes, rules(0, static_cast<int>(c.bits)), d), 0.0f);
        EXPECT_EQ(d.samples, c.samples);
        EXPECT_EQ(d.stripOffset, c.strip);
        EXPECT_EQ(checkPatchable(d), 0.0f);
    }
    // The RGB template's arrays and its trailing tag 18 entry.
    std::vector<std::uint8_t> rgb = rgb16Template();
    EXPECT_EQ(std::vector<std::uint8_t>(rgb.begin() + 222, rgb.end()),
              (std::vector<std::uint8_t>{16, 0, 16, 0, 16, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(rgb.begin() + 190, rgb.begin() + 202),
              (std::vector<std::uint8_t>{18, 0, 11, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
    std::vector<std::uint8_t> fl = float32Template();
    EXPECT_EQ(tiffFloatAt(fl, 210), 0.5f);
    EXPECT_EQ(tiffFloatAt(fl, 218), 0.5f);
    EXPECT_EQ(tiffU16At(grey16Template(), 10 + 13 * 12 + 8), 2u) << "grey ResolutionUnit inch";
    std::vector<std::uint8_t> psd = psd16Header();
    EXPECT_EQ(psd, (std::vector<std::uint8_t>{'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 128, 0, 0,
                                              0, 128, 0, 16, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(TiffTemplates, PatchTakesTheLow16BitsAndRefusesOtherLayouts) {
    TiffBuilder b(4096, 2048, 1, 32);
    b.pixels.clear();
    b.set(278, 0x12345);  // low 16 bits land
    Directory d;
    ASSERT_EQ(walkIfd(b.build(), rules(250, 32), d), 0.0f);
    ASSERT_EQ(checkPatchable(d), 0.0f);
    std::vector<std::uint8_t> h = grey16Template();
    applyPatch(d, h);
    EXPECT_EQ(tiffU32At(h, kWidthField), 4096u);
    EXPECT_EQ(tiffU32At(h, kLengthField), 2048u);
    EXPECT_EQ(tiffU32At(h, kRowsPerStripField), 0x2345u);

    // Any layout that would move the patch off the template's fields.
    std::function<void(TiffBuilder &)> edits[] = {
        [](TiffBuilder &t) { std::swap(t.entries[1], t.entries[2]); },
        [](TiffBuilder &t) { t.remove(278); },
        [](TiffBuilder &t) { t.remove(279); },
        [](TiffBuilder &t) { t.entries.insert(t.entries.begin(), TiffEntry{5, 3, 1, 0}); },
    };
    for (auto &edit : edits) {
        TiffBuilder t(8, 8, 1, 32);
        edit(t);
        ASSERT_EQ(walkIfd(t.build(), rules(250, 32), d), 0.0f);
        EXPECT_EQ(checkPatchable(d), kNotPatchable);
    }
    d.ifdOffset = 16;  // entries fine, IFD elsewhere
    d.widthIndex = 1, d.lengthIndex = 2, d.rowsPerStripIndex = 8, d.byteCountsIndex = 9;
    EXPECT_EQ(checkPatchable(d), kNotPatchable);
}

// ---------------------------------------------------------------------------
// Quantisation and the scale curve.

TEST(TiffQuantise, MatchesTheDepthConversionExamples) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float f;
        std::uint16_t q;
    } cases[] = {{0.0f, 0},          {1.0f, 65535},   {0.5f, 32768},     {-0.25f, 0},      {2.0f, 65535},
                 {std::nanf(""), 0}, {inf, 65535},    {-inf, 0},         {1.0f / 65535.0f, 1},
                 {-0.0f, 0},         {0.25f, 16384},  {1e-9f, 0},        {0.99999f, 65534}};
    for (const Case &c : cases) EXPECT_EQ(quantise16(c.f), c.q) << c.f;
}

TEST(TiffScaleCurve, ExamplesAndBuildDifferences) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::uint32_t n;
        double expected, tolerance;
    } cases[] = {{256, 1093.11, 0.01}, {1049, 46.668, 0.001}, {3852, 18.489, 0.001}, {65536, 0.18253, 1e-5}};
    for (const Case &c : cases) {
        EXPECT_NEAR(scaleCurve(c.n, true), c.expected, c.tolerance) << c.n;
        EXPECT_NEAR(scaleCurve(c.n, false), c.expected, c.tolerance * 10) << c.n;
    }
    for (bool dbl : {true, false}) {
        EXPECT_EQ(scaleCurve(0, dbl), inf);
        EXPECT_EQ(scaleCurve(2, dbl), inf);  // e^524.5 overflows
    }
    // The single-precision evaluation differs from the double one in the low
    // bits for most counts, and is bit-exact to its own recipe.
    int differ = 0;
    for (std::uint32_t n = 3; n < 5000; ++n) {
        float a = 1049.0f / static_cast<float>(n);
        float b = static_cast<float>(n) * -7.071e-5f;
        float e = std::exp(a + b);
        ASSERT_EQ(scaleCurve(n, false), e * 18.49f) << n;
        if (scaleCurve(n, false) != scaleCurve(n, true)) ++differ;
    }
    EXPECT_GT(differ, 100);
}
