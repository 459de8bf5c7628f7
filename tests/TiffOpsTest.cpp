// TIFF maps: the dialect reader and its refusals, the header templates and
// patch, the quantisation and the scale curve, and the operations.
#include "TiffOps.h"

#include "Platform.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TiffInternal.h"
#include "TiffKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>

#include "LibTiffReader.h"
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

// An operation's walk rules, and for the walk over a bare buffer the bytes
// of the file it is given (0: all of them).
struct TestRules {
    WalkRules r;
    std::size_t bytes = 0;
    operator const WalkRules&() const { return r; }
};

TestRules rules(std::size_t bytes, int bits = 0, bool positive = false) {
    TestRules t;
    t.bytes = bytes;
    t.r.requiredBits = bits;
    t.r.positiveBpsCode = positive;
    return t;
}

// The same map with its IFD copied after the rows, where libtiff-based
// writers put it, and the header pointing there (the arrays stay where
// they were).
std::vector<std::uint8_t> ifdAfterRows(std::vector<std::uint8_t> f) {
    const std::size_t entries = fileio::loadLE16(&f[8]);
    const std::uint32_t at = static_cast<std::uint32_t>(f.size() + f.size() % 2);
    f.resize(at);
    f.insert(f.end(), f.begin() + 8, f.begin() + 8 + 2 + 12 * static_cast<std::ptrdiff_t>(entries) + 4);
    fileio::storeLE32(&f[4], at);
    return f;
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
    EXPECT_EQ(d.rowsPerStripIndex, 8);
}

TEST(TiffWalk, ChecksAndCodes) {
    using Edit = std::function<void(TiffBuilder&, std::vector<std::uint8_t>&)>;
    auto entry = [](std::uint16_t tag, std::uint32_t count, std::uint32_t value) {
        return Edit([=](TiffBuilder& b, std::vector<std::uint8_t>&) {
            if (!b.find(tag)) b.entries.push_back({tag, 3, 1, 0});
            b.setCount(tag, count).set(tag, value);
        });
    };
    const Edit none = [](TiffBuilder&, std::vector<std::uint8_t>&) {};
    struct Case {
        const char* what;
        int bits;
        Edit before, after;  // on the builder, then on the built bytes
        TestRules r;
        float code;
    } cases[] = {
        {"valid float map", 32, none, none, rules(250, 32), 0},
        {"BitsPerSample count 2", 32, entry(258, 2, 32), none, rules(250, 32), -258},
        {"BitsPerSample count 4, merge rules", 32, entry(258, 4, 32), none, rules(1000, 0, true), 258},
        {"three depths that differ", 32, none,
         [](TiffBuilder& b, std::vector<std::uint8_t>& f) {
             f[194 + 2] = 16;
             f[194 + 4] = 16;
         },
         rules(250, 32), kMixedDepths},
        {"16-bit map where 32 is required", 16, none, none, rules(250, 32), -32},
        {"16-bit map where 16 is required", 16, none, none, rules(0, 16), 0},
        {"no BitsPerSample entry", 32, [](TiffBuilder& b, auto&) { b.remove(258); }, none, rules(250, 32), -32},
        {"LZW compression", 32, entry(259, 1, 5), none, rules(250, 32), -259},
        {"photometric 3 (palette)", 32, entry(262, 1, 3), none, rules(250, 32), -262},
        {"photometric -1 passes the signed test", 32, entry(262, 1, 0xFFFFFFFFu), none, rules(250, 32), 0},
        {"two strips", 32, entry(273, 2, 300), none, rules(250, 32), -273},
        {"SampleFormat count 2", 32, entry(339, 2, 3), none, rules(250, 32), -339},
        {"integer SampleFormat on a float map passes the walk", 8, entry(339, 1, 1), none, rules(250, 0), 0},
        {"SampleFormats of three samples differ", 32, none,
         [](TiffBuilder& b, std::vector<std::uint8_t>& f) {
             // The entries follow the count at 8; the array's offset is in the value field.
             for (std::size_t e = 10; e + 12 <= f.size() && e < 10 + 12u * f[8]; e += 12)
                 if (fileio::loadLE16(&f[e]) == 339) f[fileio::loadLE32(&f[e + 8]) + 2] = 1;
         },
         rules(250, 32), -339},
        {"tiles", 32, entry(322, 1, 16), none, rules(250, 32), kTiled},
        {"tiles without strips", 32,
         [](TiffBuilder& b, auto&) {
             b.remove(273);
             b.entries.push_back({324, 4, 1, 300});
         },
         none, rules(250, 32), kTiled},
        {"planar RGB", 32, entry(284, 1, 2), none, rules(250, 32), kPlanar},
        {"planar grey is one plane", 32,
         [](TiffBuilder& b, auto&) {
             b.setCount(258, 1).set(258, 32);
             b.set(284, 2);
         },
         none, rules(250, 32), 0},
        {"not a TIFF", 32, none, [](TiffBuilder&, std::vector<std::uint8_t>& f) { f[0] = 0x89, f[1] = 'P'; },
         rules(250, 32), kNotTiff},
        {"II without 42", 32, none, [](TiffBuilder&, std::vector<std::uint8_t>& f) { f[2] = 43; }, rules(250, 32),
         kNotTiff},
        {"first failing entry in file order wins", 32, [](TiffBuilder& b, auto&) { b.set(259, 5).setCount(339, 2); },
         none, rules(250, 32), -259},
        {"unknown tags, descending order", 32,
         [](TiffBuilder& b, auto&) {
             b.entries.push_back({18, 11, 1, 1});
             b.entries.push_back({5, 3, 1, 9});
         },
         none, rules(250, 32), 0},
        {"no ImageWidth", 32, [](TiffBuilder& b, auto&) { b.remove(256); }, none, rules(250, 32), kMissingEntry},
        {"no StripOffsets", 32, [](TiffBuilder& b, auto&) { b.remove(273); }, none, rules(250, 32), kMissingEntry},
        {"no entries", 32, none,
         [](TiffBuilder&, std::vector<std::uint8_t>& f) {
             f[8] = 0;
             f[9] = 0;
         },
         rules(250, 0), kMissingEntry},
        {"negative entry count", 32, none, [](TiffBuilder&, std::vector<std::uint8_t>& f) { f[9] = 0x80; },
         rules(250, 0), kMissingEntry},
        {"IFD past the header buffer", 32, none, [](TiffBuilder&, std::vector<std::uint8_t>& f) { f[4] = 250; },
         rules(250, 32), kIfdOutsideHeader},
        {"IFD offset near 4 GiB", 32, none,
         [](TiffBuilder&, std::vector<std::uint8_t>& f) { f[4] = f[5] = f[6] = f[7] = 0xFF; }, rules(0, 32),
         kIfdOutsideHeader},
        {"entries run past the header buffer", 32, none, [](TiffBuilder&, std::vector<std::uint8_t>& f) { f[8] = 21; },
         rules(250, 32), kIfdOutsideHeader},
        {"BitsPerSample array past the buffer", 32, entry(258, 3, 249), none, rules(250, 32), kBitsOutsideHeader},
        {"\"MM\" on a little-endian file: its IFD offset read big-endian lies past the end", 32, none,
         [](TiffBuilder&, std::vector<std::uint8_t>& f) {
             f[0] = f[1] = 'M';
             f[2] = 0, f[3] = 42;
         },
         rules(1000, 32), kIfdOutsideHeader},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TiffBuilder b(4, 2, 3, c.bits);
        c.before(b, b.pixels);
        std::vector<std::uint8_t> f = b.build();
        c.after(b, f);
        std::vector<std::uint8_t> header = f;
        if (c.r.bytes) header.resize(c.r.bytes, header.back());
        Directory d;
        EXPECT_EQ(walkIfd(header, c.r, d), c.code);
    }
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
    EXPECT_EQ(readTiffHeader(dir.path("missing.tif").c_str(), rules(0, 32), d), -10.0f);
}

TEST(TiffWalk, EveryTruncatedPrefixFailsCleanly) {
    const std::vector<std::uint8_t> full = floatRgb(3, 2).build();
    const std::size_t ifdEnd = 8 + 2 + 12 * 15 + 4 + 12;  // through the arrays of depths and sample formats
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
        {4, 2, 222, 222 + 4 * 2 * 12, true},        {4, 2, 222, 222 + 4 * 2 * 12 - 1, false},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 8, 1000, false}, {0, 0xFFFFFFFFu, 8, 8, true},
        {1, 1, 0xFFFFFFF0u, 1000, false},           {65536, 65536, 222, 1u << 20, false},
    };
    for (const Case& c : cases) {
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
    for (const Case& c : cases) {
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
                                              0,   128, 0,   16,  0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   0, 0}));
}

TEST(TiffTemplates, FitTakesTheLow16BitsWhateverTheLayout) {
    // The host's layout: the fields its own entries hold.
    TiffBuilder b(4096, 2048, 1, 32);
    b.pixels.clear();
    b.set(278, 0x12345);  // low 16 bits land
    Directory d;
    ASSERT_EQ(walkIfd(b.build(), rules(0, 32), d), 0.0f);
    std::vector<std::uint8_t> h = grey16Template();
    fitTemplate(d, h);
    EXPECT_EQ(tiffU32At(h, kWidthField), 4096u);
    EXPECT_EQ(tiffU32At(h, kLengthField), 2048u);
    EXPECT_EQ(tiffU32At(h, kRowsPerStripField), 0x2345u);

    // Other writers' layouts fill the same fields; one strip of all the
    // rows when RowsPerStrip is missing or smaller than the map.
    const struct {
        const char* what;
        std::function<void(TiffBuilder&)> edit;
        std::uint32_t rowsPerStrip;
    } layouts[] = {
        {"entries swapped", [](TiffBuilder& t) { std::swap(t.entries[1], t.entries[2]); }, 8},
        {"no RowsPerStrip", [](TiffBuilder& t) { t.remove(278); }, 8},
        {"RowsPerStrip below the length", [](TiffBuilder& t) { t.set(278, 3); }, 8},
        {"RowsPerStrip 2^32 - 1", [](TiffBuilder& t) { t.set(278, 0xFFFFFFFFu); }, 0xFFFF},
        {"no StripByteCounts", [](TiffBuilder& t) { t.remove(279); }, 8},
        {"an entry before the others",
         [](TiffBuilder& t) {
             t.entries.insert(t.entries.begin(), TiffEntry{5, 3, 1, 0});
         },
         8},
    };
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.what);
        TiffBuilder t(9, 8, 1, 32);
        l.edit(t);
        ASSERT_EQ(walkIfd(ifdAfterRows(t.build()), rules(0, 32), d), 0.0f);
        h = grey16Template();
        fitTemplate(d, h);
        EXPECT_EQ(tiffU32At(h, kWidthField), 9u);
        EXPECT_EQ(tiffU32At(h, kLengthField), 8u);
        EXPECT_EQ(tiffU32At(h, kRowsPerStripField), l.rowsPerStrip);
    }
}

// ---------------------------------------------------------------------------
// Quantisation and the scale curve.

TEST(TiffQuantise, MatchesTheDepthConversionExamples) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float f;
        std::uint16_t q;
    } cases[] = {{0.0f, 0},          {1.0f, 65535}, {0.5f, 32768},    {-0.25f, 0},          {2.0f, 65535},
                 {std::nanf(""), 0}, {inf, 65535},  {-inf, 0},        {1.0f / 65535.0f, 1}, {-0.0f, 0},
                 {0.25f, 16384},     {1e-9f, 0},    {0.99999f, 65534}};
    for (const Case& c : cases) EXPECT_EQ(quantise16(c.f), c.q) << c.f;
}

namespace {

std::vector<std::uint8_t> leFloats(const std::vector<std::uint32_t>& bits) {
    std::vector<std::uint8_t> out(4 * bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) fileio::storeLE32(&out[4 * i], bits[i]);
    return out;
}

// Float bit patterns: every 251st of all 2^32 (both signs, denormals, NaN
// payloads, infinities), the specials, and the neighbours of every level's
// rounding boundary (k + 0.5) / 65535 and of every level itself.
std::vector<std::uint32_t> quantiseProbes() {
    std::vector<std::uint32_t> v;
    for (std::uint64_t u = 0; u <= 0xFFFFFFFFu; u += 251) v.push_back(static_cast<std::uint32_t>(u));
    for (std::uint32_t u :
         {0x00000000u, 0x80000000u, 0x00000001u, 0x807FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u,
          0x7F800001u, 0x3F800000u, 0x3F7FFFFFu, 0x3F800001u, 0x7F7FFFFFu, 0xFF7FFFFFu, 0x3EFFFFFFu, 0x3F000000u})
        v.push_back(u);
    for (int k = 0; k <= 65536; ++k)
        for (float centre : {(k + 0.5f) / 65535.0f, k / 65535.0f}) {
            std::uint32_t c;
            std::memcpy(&c, &centre, 4);
            for (std::uint32_t d = 0; d < 9; ++d) v.push_back(c - 4 + d);
        }
    return v;
}

}  // namespace

// quantise16Run's paths: the portable one everywhere, SSE2 where the build
// has it.
class QuantiseRunPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(TiffQuantise, QuantiseRunPaths, testing::Values(simd::kPortable, simd::kSse2), simdPathName);

TEST_P(QuantiseRunPaths, RunMatchesTheScalarForEveryProbedBitPattern) {
    const std::vector<std::uint32_t> bits = quantiseProbes();
    const std::vector<std::uint8_t> bytes = leFloats(bits);
    std::vector<std::uint16_t> out(bits.size() + 8);
    // Odd lengths and offsets reach the scalar tail after the vector part,
    // which writes nothing past the run.
    std::vector<std::pair<std::size_t, std::size_t>> runs = {{0, bits.size()}, {3, bits.size() - 3}};
    for (std::size_t n = 0; n <= 17; ++n) runs.push_back({bits.size() - 1000 + 5 * n, n});
    for (const auto& [skip, n] : runs) {
        std::fill(out.begin(), out.end(), 0xAAAA);
        ASSERT_TRUE(quantise16RunWith(GetParam(), bytes.data() + 4 * skip, n, out.data()));
        std::size_t bad = 0;
        for (std::size_t i = 0; i < n && bad < 10; ++i) {
            float f;
            std::memcpy(&f, &bits[i + skip], 4);
            if (out[i] != quantise16(f)) {
                ++bad;
                ADD_FAILURE() << std::hex << "bits 0x" << bits[i + skip] << ": " << out[i] << " != " << quantise16(f);
            }
        }
        for (std::size_t i = n; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAAAA) << "written past " << n;
    }
}

TEST(TiffQuantise, RunGivesThePortableResults) {
    const std::vector<std::uint8_t> bytes = leFloats(quantiseProbes());
    const std::size_t n = bytes.size() / 4;
    std::vector<std::uint16_t> best(n), portable(n);
    quantise16Run(bytes.data(), n, best.data());
    ASSERT_TRUE(quantise16RunWith(simd::kPortable, bytes.data(), n, portable.data()));
    EXPECT_EQ(best, portable);
}

// markLevels' paths: the portable one everywhere, SSE2 and AVX2 where the
// processor has them.
class MarkLevelsPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(TiffQuantise, MarkLevelsPaths, testing::Values(simd::kPortable, simd::kSse2, simd::kAvx2),
                         simdPathName);

TEST_P(MarkLevelsPaths, MarkLevelsSetsExactlyTheScalarLevels) {
    const int path = GetParam();
    const std::vector<std::uint32_t> bits = quantiseProbes();
    const std::vector<std::uint8_t> bytes = leFloats(bits);
    for (std::size_t n : {bits.size(), std::size_t(7), std::size_t(13), std::size_t(31), std::size_t(1000003)}) {
        std::vector<std::uint8_t> seen(65536, 0), expected(65536, 0);
        // Start past the first probes so the short runs see more than zeros.
        const std::size_t from = bits.size() - n;
        ASSERT_TRUE(markLevelsWith(path, bytes.data() + 4 * from, n, seen.data()));
        for (std::size_t i = from; i < bits.size(); ++i) {
            float f;
            std::memcpy(&f, &bits[i], 4);
            expected[quantise16(f)] = 1;
        }
        EXPECT_EQ(seen, expected) << n;
    }
    // Sample by sample: windows of 16 probes (one pass of the widest path),
    // each marking its own levels and no others.
    std::vector<std::uint8_t> seen(65536, 0);
    std::size_t bad = 0;
    for (std::size_t w = 0; w + 16 <= bits.size() && bad < 10; w += 16) {
        ASSERT_TRUE(markLevelsWith(path, bytes.data() + 4 * w, 16, seen.data()));
        std::uint16_t q[16];
        for (int k = 0; k < 16; ++k) {
            float f;
            std::memcpy(&f, &bits[w + k], 4);
            q[k] = quantise16(f);
            if (!seen[q[k]]) ++bad;
        }
        for (int k = 0; k < 16; ++k) seen[q[k]] = 0;
        // A level marked wrongly stays marked: look for one now and then.
        if ((w / 16) % 256 == 255 && std::count(seen.begin(), seen.end(), 1) != 0) {
            ++bad;
            std::fill(seen.begin(), seen.end(), 0);
        }
    }
    EXPECT_EQ(bad, 0u);
}

TEST(TiffQuantise, MarkLevelsGivesThePortableLevels) {
    const std::vector<std::uint32_t> bits = quantiseProbes();
    const std::vector<std::uint8_t> bytes = leFloats(bits);
    std::vector<std::uint8_t> best(65536, 0), portable(65536, 0);
    markLevels(bytes.data(), bits.size(), best.data());
    markLevelsWith(simd::kPortable, bytes.data(), bits.size(), portable.data());
    EXPECT_EQ(best, portable);
}

// range16's paths: grey samples (step 2) and the red of RGB pixels (step 6),
// at every length around the eight-sample groups, low, middle and high
// samples with an extreme in every position, and the green and blue holding
// 0 and 65535, which would widen the span if any of them were read. The
// span given in is widened, not replaced.
class Range16Paths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(TiffRange16, Range16Paths, testing::Values(simd::kPortable, simd::kSse2), simdPathName);

TEST_P(Range16Paths, SpanOfExactlyTheSamplesGiven) {
    const int path = GetParam();
    for (std::size_t step : {std::size_t(2), std::size_t(6)})
        for (std::uint32_t base : {10u, 30000u, 65400u})
            for (std::size_t n = 0; n <= 35; ++n)
                for (std::size_t at = 0; at < std::max<std::size_t>(n, 1); ++at)
                    for (std::uint16_t extreme : {std::uint16_t(0), std::uint16_t(65535), std::uint16_t(base)}) {
                        std::vector<std::uint8_t> bytes(step * (n + 1), 0);  // one pixel more that must not count
                        std::uint32_t wantHi = 0, wantLo = 65535;
                        for (std::size_t i = 0; i <= n; ++i) {
                            const std::uint16_t v = i == n    ? (i % 2 ? 65535 : 0)
                                                    : i == at ? extreme
                                                              : static_cast<std::uint16_t>(base + (i * 7919) % 100);
                            fileio::storeLE16(&bytes[step * i], v);
                            if (step == 6) fileio::storeLE16(&bytes[6 * i + 4], 65535);  // green stays 0
                            if (i < n) {
                                wantHi = std::max<std::uint32_t>(wantHi, v);
                                wantLo = std::min<std::uint32_t>(wantLo, v);
                            }
                        }
                        std::uint32_t hi = 0, lo = 65535;
                        ASSERT_TRUE(range16With(path, bytes.data(), n, step, hi, lo));
                        ASSERT_EQ(hi, wantHi)
                            << "step " << step << ", " << n << " samples, " << extreme << " at " << at;
                        ASSERT_EQ(lo, wantLo)
                            << "step " << step << ", " << n << " samples, " << extreme << " at " << at;
                        // A span from earlier blocks is kept where these samples lie inside it.
                        hi = 65535;
                        lo = 0;
                        ASSERT_TRUE(range16With(path, bytes.data(), n, step, hi, lo));
                        ASSERT_EQ(hi, 65535u);
                        ASSERT_EQ(lo, 0u);
                    }
}

TEST(TiffScaleCurve, ExamplesAndBuildDifferences) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::uint32_t n;
        double expected, tolerance;
    } cases[] = {{256, 1093.11, 0.01}, {1049, 46.668, 0.001}, {3852, 18.489, 0.001}, {65536, 0.18253, 1e-5}};
    for (const Case& c : cases) {
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

// ---------------------------------------------------------------------------
// Shared pieces of the operation tests.

namespace {

std::string put(const TempDir& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string p = dir.path(name);
    EXPECT_TRUE(writeBytes(p, bytes));
    return p;
}

// Makes a file unwritable for the test's lifetime, even for root (the
// immutable attribute); skips when the system cannot.
class ReadOnly {
public:
    explicit ReadOnly(const std::string& path) : path_(path) {
#if BRINDLEX_WINDOWS
        std::filesystem::permissions(std::filesystem::u8path(path), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::remove);
#else
        immutable_ = std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
        if (!immutable_)
            std::filesystem::permissions(path, std::filesystem::perms::all, std::filesystem::perm_options::remove);
#endif
    }
    ~ReadOnly() {
#if BRINDLEX_WINDOWS
        std::filesystem::permissions(std::filesystem::u8path(path_), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
#else
        if (immutable_) (void)std::system(("chattr -i '" + path_ + "'").c_str());
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
#endif
    }
    bool works() const { return !fileio::opens(path_, true); }

private:
    std::string path_;
    bool immutable_ = false;
};

#define REQUIRE_READ_ONLY(ro) \
    if (!(ro).works()) GTEST_SKIP() << "cannot make a file read-only here"

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
    return std::vector<std::uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                     v.begin() + static_cast<std::ptrdiff_t>(from + n));
}

}  // namespace

// ---------------------------------------------------------------------------
// Depth conversion.

TEST(ConvertTiff16, ModesQuantiseAndPatch) {
    TempDir dir;
    const float nan = std::nanf("");
    // One row of three pixels; the RGB samples hold every example value.
    const std::vector<float> rgb = {0.0f, 1.0f, 0.5f, -0.25f, 2.0f, nan, 0.25f, 1.0f / 65535.0f, 0.75f};
    TiffBuilder srcRgb(3, 1, 3, 32), srcGrey(3, 1, 1, 32);
    srcRgb.floatList(rgb);
    srcGrey.floatList({0.5f, 2.0f, -0.25f});
    const std::string rgbPath = put(dir, "rgb.tif", srcRgb.build()), greyPath = put(dir, "grey.tif", srcGrey.build());
    struct Case {
        std::string src, dst;
        double mode;
        std::size_t header;
        std::vector<std::uint16_t> samples;
        bool psd;
    } cases[] = {
        {greyPath, "g1.tif", 1, 198, {32768, 65535, 0}, false},
        {rgbPath, "c3.tif", 3, 234, {0, 65535, 32768, 0, 65535, 0, 16384, 1, 49151}, false},
        {rgbPath, "c4.tiff", 4, 198, {0, 0, 16384}, false},
        {greyPath, "g1.psd", 1, 40, {32768, 65535, 0}, true},
        {rgbPath, "c4.PSD", 4, 40, {0, 0, 16384}, true},
        {greyPath, "g1.Psd", 1, 198, {32768, 65535, 0}, false},
        // The extension runs from the path's last dot, wherever that is.
        {greyPath, "g1.psd.tif", 1, 198, {32768, 65535, 0}, false},
        {greyPath, "maps.psd/g1", 1, 40, {32768, 65535, 0}, true},
    };
    ASSERT_TRUE(makeFolders(dir.path("maps.psd")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dst);
        std::string dst = dir.path(c.dst);
        ASSERT_EQ(callExport("convertTIFF16", c.src, c.mode, &dst), 0.0f);
        std::vector<std::uint8_t> out = readBytes(dst);
        ASSERT_EQ(out.size(), c.header + 2 * c.samples.size());
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            const std::uint8_t* p = &out[c.header + 2 * i];
            EXPECT_EQ(c.psd ? fileio::loadBE16(p) : fileio::loadLE16(p), c.samples[i]) << i;
        }
        if (c.psd) {
            EXPECT_EQ(std::memcmp(out.data(), "8BPS", 4), 0);
            EXPECT_EQ(fileio::loadBE32(&out[14]), 1u) << "rows";
            EXPECT_EQ(fileio::loadBE32(&out[18]), 3u) << "columns";
            EXPECT_EQ(slice(out, 22, 18), slice(psd16Header(), 22, 18));
        } else {
            EXPECT_EQ(tiffU32At(out, kWidthField), 3u);
            EXPECT_EQ(tiffU32At(out, kLengthField), 1u);
            EXPECT_EQ(tiffU32At(out, kRowsPerStripField), 1u);
            EXPECT_EQ(tiffU32At(out, kByteCountsField), 2 * c.samples.size());
            std::vector<std::uint8_t> tmpl = c.mode == 3 ? rgb16Template() : grey16Template();
            EXPECT_EQ(slice(out, 0, 30), slice(tmpl, 0, 30)) << "template kept outside the patch";
#if BRINDLEX_HAVE_LIBTIFF
            LibTiffImage img;
            ASSERT_TRUE(readWithLibTiff(dst, img));
            EXPECT_EQ(img.width, 3u);
            EXPECT_EQ(img.length, 1u);
            EXPECT_EQ(img.bits, 16);
            EXPECT_EQ(img.samples, c.mode == 3 ? 3 : 1);
            EXPECT_EQ(img.strip, slice(out, c.header, 2 * c.samples.size()));
#endif
        }
    }
}

TEST(ConvertTiff16, LargeMapHeaderAndSize) {
    TempDir dir;
    TiffBuilder b(4096, 2048, 1, 32);
    b.floats([](std::uint32_t x, std::uint32_t y, int) { return (x ^ y) / 4096.0f; });
    const std::string src = put(dir, "big.tif", b.build());
    std::string dst = dir.path("big16.tif");
    ASSERT_EQ(callExport("convertTIFF16", src, 1, &dst), 0.0f);
    std::vector<std::uint8_t> out = readBytes(dst);
    ASSERT_EQ(out.size(), 198u + 16777216u);
    EXPECT_EQ(tiffU32At(out, kWidthField), 4096u);
    EXPECT_EQ(tiffU32At(out, kLengthField), 2048u);
    EXPECT_EQ(tiffU32At(out, kByteCountsField), 16777216u);
    // Spot checks across block boundaries.
    for (std::uint32_t y : {0u, 255u, 256u, 1000u, 2047u})
        for (std::uint32_t x : {0u, 1u, 4095u}) {
            std::size_t at = 198 + 2 * (static_cast<std::size_t>(y) * 4096 + x);
            EXPECT_EQ(tiffU16At(out, at), quantise16((x ^ y) / 4096.0f)) << x << "," << y;
        }
}

namespace {

// A 4 x 2 grey float map with one entry set, or without it.
std::vector<std::uint8_t> floatWith(std::uint16_t tag, std::uint32_t value) {
    TiffBuilder b(4, 2, 1, 32);
    b.set(tag, value);
    return b.build();
}
std::vector<std::uint8_t> floatWithout(std::uint16_t tag) {
    TiffBuilder b(4, 2, 1, 32);
    b.remove(tag);
    return b.build();
}

}  // namespace

TEST(ConvertTiff16, RefusalsWriteNothing) {
    TempDir dir;
    const std::string good = put(dir, "good.tif", floatRgb().build());
    TiffBuilder grey16(4, 2, 1, 16);
    TiffBuilder wide(70000, 0, 1, 32);
    std::vector<std::uint8_t> truncated = floatRgb().build();
    truncated.pop_back();
    TiffBuilder lzw = floatRgb();
    lzw.set(259, 5);
    struct Case {
        const char* what;
        std::string src;
        double mode;
        std::string dst;
        float code;
    } cases[] = {
        {"mode 2", good, 2, "a.tif", -9},
        {"mode 3.5", good, 3.5, "a.tif", -9},
        {"missing source", dir.path("none.tif"), 1, "a.tif", -10},
        {"16-bit source", put(dir, "g16.tif", grey16.build()), 1, "a.tif", -32},
        {"LZW", put(dir, "lzw.tif", lzw.build()), 3, "a.tif", -259},
        {"RGB to PSD", good, 3, "a.psd", kPsdNeedsGrey},
        {"wider than the template's field", put(dir, "wide.tif", wide.build()), 1, "a.tif", kTooLarge},
        {"last byte missing", put(dir, "trunc.tif", truncated), 3, "a.tif", kRowsPastEnd},
        {"mode 3 on a grey map", put(dir, "grey.tif", TiffBuilder(4, 2, 1, 32).build()), 3, "a.tif", kModeSamples},
        {"mode 4 on a grey map", put(dir, "grey.tif", TiffBuilder(4, 2, 1, 32).build()), 4, "a.tif", kModeSamples},
        {"mode 1 on an RGB map", good, 1, "a.tif", kModeSamples},
        {"32-bit integers", put(dir, "u32.tif", floatWith(339, 1)), 1, "a.tif", kWrongSampleFormat},
        {"32-bit, no SampleFormat (integers)", put(dir, "nofmt.tif", floatWithout(339)), 1, "a.tif",
         kWrongSampleFormat},
        {"float, 0 is white", put(dir, "white.tif", floatWith(262, 0)), 1, "a.tif", kMinIsWhite},
        {"rows turned (Orientation 3)", put(dir, "turned.tif", floatWith(274, 3)), 1, "a.tif", kTurnedRows},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dst = dir.path(c.dst);
        EXPECT_EQ(callExport("convertTIFF16", c.src, c.mode, &dst), c.code);
        EXPECT_FALSE(fileExists(dst));
    }
    EXPECT_EQ(callExport("convertTIFF16", nullptr, 1, nullptr), -9.0f);
    std::string noFolder = dir.path("no/such/folder/a.tif");
    EXPECT_EQ(callExport("convertTIFF16", good, 3, &noFolder), -102.0f);
    // A wide map converts to PSD: its header fields are 32-bit.
    std::string psd = dir.path("wide.psd");
    EXPECT_EQ(callExport("convertTIFF16", dir.path("wide.tif"), 1, &psd), 0.0f);
}

TEST(ConvertTiff16, ReadOnlySourceIsRefused) {
    TempDir dir;
    const std::string src = put(dir, "ro.tif", floatRgb().build());
    ReadOnly ro(src);
    REQUIRE_READ_ONLY(ro);
    std::string dst = dir.path("out.tif");
    EXPECT_EQ(callExport("convertTIFF16", src, 3, &dst), -101.0f);
    EXPECT_FALSE(fileExists(dst));
}

TEST(ConvertTiff16, EveryTruncatedPrefixIsRefused) {
    TempDir dir;
    const std::vector<std::uint8_t> full = floatRgb(3, 2).build();
    for (std::size_t n = 0; n < full.size(); ++n) {
        const std::string src = put(dir, "p.tif", slice(full, 0, n));
        std::string dst = dir.path("p16.tif");
        float r = callExport("convertTIFF16", src, 3, &dst);
        EXPECT_LT(r, 0.0f) << n;
        EXPECT_FALSE(fileExists(dst)) << n;
    }
}

// ---------------------------------------------------------------------------
// Value range queries.

TEST(GetScale, CountsDistinctLevels) {
    TempDir dir;
    const float inf = std::numeric_limits<float>::infinity();
    // 256 levels in the first channel; the other two repeat them.
    TiffBuilder levels(64, 4, 3, 32);
    levels.floats([](std::uint32_t x, std::uint32_t y, int) { return (y * 64 + x) / 65535.0f; });
    TiffBuilder rgbLevels(2, 1, 3, 32);
    rgbLevels.floatList({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f});
    TiffBuilder binary(8, 8, 1, 32);
    binary.floats([](std::uint32_t x, std::uint32_t, int) { return x % 2 ? 1.0f : 0.0f; });
    TiffBuilder noRows(8, 0, 1, 32);
    TiffBuilder clamped(4, 1, 1, 32);
    clamped.floatList({-1.0f, 0.0f, std::nanf(""), -0.0f});  // all quantise to 0: N = 1
    struct Case {
        const char* what;
        TiffBuilder b;
        double samples;
        float expected;
    } cases[] = {
        {"256 levels", levels, 3, scaleCurve(256, kWindowsBuild)},
        {"turned rows hold the same levels",
         [&] {
             TiffBuilder t = levels;
             t.set(274, 3);
             return t;
         }(),
         3, scaleCurve(256, kWindowsBuild)},
        {"every channel counts", rgbLevels, 3, scaleCurve(6, kWindowsBuild)},
        {"RGB map in mode 1", rgbLevels, 1, kModeSamples},
        {"grey map in mode 3", binary, 3, kModeSamples},
        {"32-bit integers",
         [] {
             TiffBuilder u(4, 1, 1, 32);
             u.set(339, 1);
             return u;
         }(),
         1, kWrongSampleFormat},
        {"only 0 and 1", binary, 1, inf},
        {"no rows", noRows, 1, inf},
        {"negative, NaN and zero share level 0", clamped, 1, scaleCurve(1, kWindowsBuild)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(callExport("getScale", put(dir, "m.tif", c.b.build()), c.samples), c.expected);
    }
    EXPECT_NEAR(callExport("getScale", put(dir, "m.tif", levels.build()), 3), 1093.11, 0.01);
}

// The level count over maps of awkward widths and specials, against a
// plain per-sample count of the same floats.
TEST(GetScale, MatchesAPlainCountOverAwkwardMaps) {
    TempDir dir;
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {std::nanf(""), inf, -inf, -0.0f, 1e-40f, -1e-40f, 2.0f, 0.5f / 65535.0f};
    for (std::uint32_t w : {1u, 7u, 9u, 33u, 257u}) {
        for (int samples : {1, 3}) {
            TiffBuilder b(w, 5, static_cast<std::uint32_t>(samples), 32);
            std::vector<float> all;
            b.floats([&](std::uint32_t x, std::uint32_t y, int c) {
                const std::uint32_t i = (y * w + x) * 3 + static_cast<std::uint32_t>(c);
                float f = i % 11 == 0 ? specials[i % 8] : std::fmod(i * 0.000123f + 0.37f * y, 1.3f) - 0.1f;
                all.push_back(f);
                return f;
            });
            std::vector<std::uint8_t> seen(65536, 0);
            for (float f : all) seen[quantise16(f)] = 1;
            std::uint32_t n = 0;
            for (std::uint8_t s : seen) n += s;
            SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(samples));
            EXPECT_EQ(callExport("getScale", put(dir, "m.tif", b.build()), samples), scaleCurve(n, kWindowsBuild));
        }
    }
}

// Large enough for the two halves to run side by side; the odd row count
// splits unevenly.
TEST(GetScale, HalvesOfALargeMapCountAsOne) {
    TempDir dir;
    const std::uint32_t w = 2051, h = 2049;
    TiffBuilder b(w, h, 1, 32);
    std::vector<std::uint8_t> seen(65536, 0);
    b.floats([&](std::uint32_t x, std::uint32_t y, int) {
        // Levels that only the bottom rows reach, and some only the top.
        const float f = y < 3       ? 0.9f + x * 1e-5f
                        : y > h - 3 ? 0.1f + x * 2e-6f
                                    : 0.4f + ((x * 7 + y * 13) % 5000) * 1e-5f;
        seen[quantise16(f)] = 1;
        return f;
    });
    std::uint32_t n = 0;
    for (std::uint8_t s : seen) n += s;
    EXPECT_EQ(callExport("getScale", put(dir, "big.tif", b.build()), 1), scaleCurve(n, kWindowsBuild));
}

TEST(GetScale, Refusals) {
    TempDir dir;
    const std::string good = put(dir, "good.tif", floatRgb().build());
    std::vector<std::uint8_t> truncated = floatRgb().build();
    truncated.resize(truncated.size() - 4);
    TiffBuilder huge(0xFFFFFFFFu, 0xFFFFFFFFu, 1, 32);
    EXPECT_EQ(callExport("getScale", good, 2), -9.0f);
    EXPECT_EQ(callExport("getScale", nullptr, 1), -9.0f);
    EXPECT_EQ(callExport("getScale", dir.path("none.tif"), 1), -10.0f);
    EXPECT_EQ(callExport("getScale", put(dir, "g16.tif", TiffBuilder(2, 2, 1, 16).build()), 1), -32.0f);
    EXPECT_EQ(callExport("getScale", put(dir, "t.tif", truncated), 3), kRowsPastEnd);
    EXPECT_EQ(callExport("getScale", put(dir, "huge.tif", huge.build()), 1), kRowsPastEnd);
    ReadOnly ro(good);
    REQUIRE_READ_ONLY(ro);
    EXPECT_EQ(callExport("getScale", good, 3), -101.0f);
}

TEST(GetScale16, SpanOfTheFirstChannel) {
    TempDir dir;
    TiffBuilder redConstant(3, 2, 3, 16);
    redConstant.u16s([](std::uint32_t x, std::uint32_t y, int c) { return c == 0 ? 700 : 100 * x + 7 * y + c; });
    TiffBuilder grey(3, 2, 1, 16);
    grey.u16s([](std::uint32_t x, std::uint32_t y, int) { return 1000 + 500 * x + 3 * y; });
    struct Case {
        const char* what;
        TiffBuilder b;
        int samples;
        float expected;
    } cases[] = {
        {"red constant", redConstant, 3, 0.0f},
        {"grey span", grey, 1, 1003.0f},
        {"no rows wraps", TiffBuilder(3, 0, 1, 16), 1, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string p = put(dir, "m.tif", c.b.build());
        EXPECT_EQ(getScale16Tiff(p.c_str(), c.samples), c.expected);
        if (kWindowsBuild) {
            EXPECT_EQ(callExport("getScale16", p, c.samples), c.expected);
        }
    }
    const std::string f32 = put(dir, "f.tif", floatRgb().build());
    EXPECT_EQ(getScale16Tiff(f32.c_str(), 3), -16.0f);
    EXPECT_EQ(getScale16Tiff(f32.c_str(), 2), -9.0f);
    if (kWindowsBuild) {
        EXPECT_EQ(callExport("getScale16", f32, 2), -9.0f);
    } else {
        EXPECT_FALSE(hasExport("getScale16"));
    }
}

TEST(GetScale16, MatchesAPlainSpanOverAwkwardMaps) {
    TempDir dir;
    for (std::uint32_t w : {1u, 7u, 8u, 9u, 31u, 100u}) {
        for (int samples : {1, 3}) {
            TiffBuilder b(w, 3, static_cast<std::uint32_t>(samples), 16);
            std::uint32_t hi = 0, lo = 65535;
            b.u16s([&](std::uint32_t x, std::uint32_t y, int c) {
                std::uint32_t h = (x * 2654435761u) ^ (y * 40503u) ^ (static_cast<std::uint32_t>(c) * 977u);
                // The extremes of the range at a few places, to cross the sign flip.
                std::uint16_t v = static_cast<std::uint16_t>(x == 3 ? 65535 : x == 5 && y == 1 ? 0 : 20000 + h % 30000);
                if (c == 0) {
                    hi = std::max<std::uint32_t>(hi, v);
                    lo = std::min<std::uint32_t>(lo, v);
                }
                return v;
            });
            SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(samples));
            const std::string p = put(dir, "m.tif", b.build());
            EXPECT_EQ(getScale16Tiff(p.c_str(), samples), static_cast<float>(static_cast<std::uint16_t>(hi - lo)));
        }
    }
}

// Maps large enough for the two halves to run side by side (odd row counts):
// the maximum only in the top rows, the minimum only in the bottom ones, and
// in RGB maps green and blue at the extremes everywhere.
TEST(GetScale16, HalvesOfALargeMapMakeOneSpan) {
    TempDir dir;
    for (int samples : {1, 3}) {
        const std::uint32_t w = samples == 1 ? 2896 : 1676, h = samples == 1 ? 2897 : 1671;
        TiffBuilder b(w, h, samples, 16);
        b.u16s([&](std::uint32_t x, std::uint32_t y, int c) -> std::uint16_t {
            if (c == 1) return 0;
            if (c == 2) return 65535;
            return y == 0 && x == w / 2 ? 60000 : y == h - 1 && x == 3 ? 100 : 30000 + (x + y) % 1000;
        });
        SCOPED_TRACE(samples);
        EXPECT_EQ(getScale16Tiff(put(dir, "big.tif", b.build()).c_str(), samples), 59900.0f);
    }
}

// ---------------------------------------------------------------------------
// Merge.

namespace {

// An 8-bit RGB pair: A's first pixel (0, 0, 0) is the key; B is black
// wherever x + y is even.
TiffBuilder mapA() {
    TiffBuilder a(4, 3, 3, 8);
    a.u8s([](std::uint32_t x, std::uint32_t y, int c) {
        return static_cast<std::uint8_t>(x == 0 && y == 0 ? 0 : 10 * x + 40 * y + c + 1);
    });
    return a;
}
TiffBuilder mapB() {
    TiffBuilder b(4, 3, 3, 8);
    b.u8s([](std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>((x + y) % 2 ? 200 + c : 0); });
    return b;
}

// The file b builds, stored "MM": the numbers of its header, IFD and
// arrays, and each sample wider than a byte, most significant byte first.
std::vector<std::uint8_t> bigEndianFile(const TiffBuilder& b) {
    std::vector<std::uint8_t> f = b.build();
    auto turn = [&f](std::size_t at, std::size_t n) { std::reverse(f.begin() + at, f.begin() + at + n); };
    f[0] = f[1] = 'M';
    turn(2, 2);
    turn(4, 4);
    turn(8, 2);
    for (std::size_t k = 0; k < b.entries.size(); ++k) {
        const std::size_t e = 10 + 12 * k;
        turn(e, 2);
        turn(e + 2, 2);
        turn(e + 4, 4);
        // One SHORT sits in the first two bytes of the value field.
        const bool oneShort = b.entries[k].type == 3 && b.entries[k].count == 1;
        turn(e + 8, oneShort ? 2 : 4);
    }
    const std::size_t arrays = 10 + 12 * b.entries.size() + 4;
    for (std::size_t i = 0; i < 6; ++i) turn(arrays + 2 * i, 2);       // BitsPerSample, SampleFormat
    for (std::size_t i = 0; i < 4; ++i) turn(arrays + 12 + 4 * i, 4);  // the two rationals
    const std::size_t bytes = static_cast<std::size_t>(b.bits) / 8;
    if (bytes > 1)
        for (std::size_t p = b.stripOffset(); p + bytes <= f.size(); p += bytes) turn(p, bytes);
    return f;
}

}  // namespace

TEST(MergeTiff, BackgroundPixelsTakeA) {
    TempDir dir;
    const std::vector<std::uint8_t> a = mapA().build(), b = mapB().build();
    const std::string pa = put(dir, "a.tif", a), pb = put(dir, "b.tif", b);
    std::string mb = pb;
    ASSERT_EQ(callExport("mergeMapsTIF", pa, 0, &mb), 0.0f);
    std::vector<std::uint8_t> out = readBytes(pb);
    ASSERT_EQ(out.size(), b.size());
    const std::size_t s = mapA().stripOffset();
    for (std::size_t px = 0; px < 12; ++px) {
        const bool black = b[s + 3 * px] == 0 && b[s + 3 * px + 1] == 0 && b[s + 3 * px + 2] == 0;
        EXPECT_EQ(slice(out, s + 3 * px, 3), slice(black ? a : b, s + 3 * px, 3)) << px;
    }
    EXPECT_EQ(readBytes(pa), a) << "A is only read";
    EXPECT_EQ(slice(out, 0, s), slice(b, 0, s)) << "B's header is not touched";
}

TEST(MergeTiff, KeyIsComparedByteForByte) {
    TempDir dir;
    const float nan = std::nanf("");
    // Float grey: the key +0.0 does not match -0.0.
    TiffBuilder a(4, 1, 1, 32), b(4, 1, 1, 32);
    a.floatList({0.0f, 1.0f, 2.0f, 3.0f});
    b.floatList({0.0f, -0.0f, 0.0f, 5.0f});
    std::string pb = put(dir, "b.tif", b.build());
    ASSERT_EQ(callExport("mergeMapsTIF", put(dir, "a.tif", a.build()), 0, &pb), 0.0f);
    std::vector<std::uint8_t> out = readBytes(pb);
    const std::size_t s = b.stripOffset();
    EXPECT_EQ(tiffFloatAt(out, s + 4 * 1), -0.0f);
    EXPECT_TRUE(std::signbit(tiffFloatAt(out, s + 4 * 1)));
    EXPECT_EQ(tiffFloatAt(out, s + 4 * 2), 2.0f);
    EXPECT_EQ(tiffFloatAt(out, s + 4 * 3), 5.0f);
    // A NaN key matches NaN pixels with the same bits.
    a.floatList({nan, 1.0f, 2.0f, 3.0f});
    b.floatList({1.0f, nan, 0.0f, nan});
    pb = put(dir, "b.tif", b.build());
    ASSERT_EQ(callExport("mergeMapsTIF", put(dir, "a.tif", a.build()), 0, &pb), 0.0f);
    out = readBytes(pb);
    EXPECT_EQ(tiffFloatAt(out, s + 4), 1.0f);
    EXPECT_EQ(tiffFloatAt(out, s + 12), 3.0f);
    EXPECT_EQ(tiffFloatAt(out, s + 8), 0.0f);
    // 16-bit grey: the key is A's first sample only.
    TiffBuilder a16(3, 1, 1, 16), b16(3, 1, 1, 16);
    a16.u16s([](std::uint32_t x, std::uint32_t, int) { return static_cast<std::uint16_t>(0x1234 + x); });
    b16.u16s([](std::uint32_t x, std::uint32_t, int) { return static_cast<std::uint16_t>(x == 1 ? 0x1234 : 9); });
    pb = put(dir, "b.tif", b16.build());
    ASSERT_EQ(callExport("mergeMapsTIF", put(dir, "a.tif", a16.build()), 0, &pb), 0.0f);
    out = readBytes(pb);
    const std::size_t s16 = b16.stripOffset();
    EXPECT_EQ(tiffU16At(out, s16), 9u);
    EXPECT_EQ(tiffU16At(out, s16 + 2), 0x1235u);
    EXPECT_EQ(tiffU16At(out, s16 + 4), 9u);
}

TEST(MergeTiff, RefusalsLeaveBUntouched) {
    TempDir dir;
    const std::string pa = put(dir, "a.tif", mapA().build());
    const std::vector<std::uint8_t> bBytes = mapB().build();
    TiffBuilder narrow(3, 3, 3, 8), grey(4, 3, 1, 8), deep(4, 3, 3, 16), rgba = mapB(), moved = mapB();
    rgba.setCount(258, 4);
    moved.gap = 4;
    std::vector<std::uint8_t> noEntries = bBytes;
    noEntries[8] = noEntries[9] = 0;
    std::vector<std::uint8_t> shortB = bBytes;
    shortB.resize(shortB.size() - 1);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> b;
        float code;
    } cases[] = {
        {"widths differ", narrow.build(), -30},    {"B has no entries", noEntries, -30},
        {"samples differ", grey.build(), -40},     {"depths differ", deep.build(), -40},
        {"RGBA BitsPerSample", rgba.build(), 258}, {"header lengths differ", moved.build(), kHeaderLengthsDiffer},
        {"B is short", shortB, kRowsPastEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string pb = put(dir, "b.tif", c.b);
        EXPECT_EQ(callExport("mergeMapsTIF", pa, 0, &pb), c.code);
        EXPECT_EQ(readBytes(pb), c.b);
    }
    std::string pb = put(dir, "b.tif", bBytes);
    EXPECT_EQ(callExport("mergeMapsTIF", dir.path("none.tif"), 0, &pb), -10.0f);
    EXPECT_EQ(callExport("mergeMapsTIF", pa, 0, nullptr), -9.0f);
    std::string missing = dir.path("none.tif");
    testing::internal::CaptureStdout();
    float r = callExport("mergeMapsTIF", pa, 0, &missing);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-20\n");
    EXPECT_EQ(r, -20.0f);
    // 4 bits per sample: every check passes, nothing changes.
    TiffBuilder a4(4, 3, 3, 4), b4(4, 3, 3, 4);
    a4.pixels.assign(18, 0x00);
    b4.pixels.assign(18, 0x00);
    pb = put(dir, "b4.tif", b4.build());
    EXPECT_EQ(callExport("mergeMapsTIF", put(dir, "a4.tif", a4.build()), 0, &pb), 0.0f);
    EXPECT_EQ(readBytes(pb), b4.build());
}

// Samples are copied as stored, so two maps in different byte orders merge
// only when a sample is one byte; wider ones are refused and B is left as
// it was.
TEST(MergeTiff, ByteOrdersMayDifferOnlyForSingleByteSamples) {
    TempDir dir;
    struct Case {
        int bits;
        bool aBig, bBig;
        float code;
    } cases[] = {
        {8, false, true, 0.0f},
        {8, true, false, 0.0f},
        {16, false, true, kBSamplesDiffer},
        {16, true, false, kBSamplesDiffer},
        {16, true, true, 0.0f},
        {32, false, true, kBSamplesDiffer},
        {32, true, false, kBSamplesDiffer},
        {32, true, true, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, A " + (c.aBig ? "MM" : "II") + ", B " + (c.bBig ? "MM" : "II"));
        TiffBuilder a(4, 3, 3, c.bits), b(4, 3, 3, c.bits);
        const std::size_t pixel = a.pixels.size() / 12;
        // A's first pixel, all zero bytes, is the key; every second pixel of B is the key.
        for (std::size_t i = 0; i < a.pixels.size(); ++i) {
            a.pixels[i] = static_cast<std::uint8_t>(i < pixel ? 0 : i + 1);
            b.pixels[i] = static_cast<std::uint8_t>((i / pixel) % 2 ? 0xC0 + i : 0);
        }
        const std::vector<std::uint8_t> fa = c.aBig ? bigEndianFile(a) : a.build();
        const std::vector<std::uint8_t> fb = c.bBig ? bigEndianFile(b) : b.build();
        std::string pb = put(dir, "b.tif", fb);
        EXPECT_EQ(callExport("mergeMapsTIF", put(dir, "a.tif", fa), 0, &pb), c.code);
        std::vector<std::uint8_t> want = fb;
        const std::size_t s = a.stripOffset();
        if (c.code == 0.0f)
            for (std::size_t px = 0; px < 12; px += 2)
                std::copy_n(fa.begin() + s + px * pixel, pixel, want.begin() + s + px * pixel);
        ASSERT_EQ(b.stripOffset(), s);
        EXPECT_EQ(readBytes(pb), want);
    }
}

TEST(MergeTiff, ReadOnlyMapsAreRefused) {
    TempDir dir;
    const std::string pa = put(dir, "a.tif", mapA().build());
    std::string pb = put(dir, "b.tif", mapB().build());
    {
        ReadOnly ro(pa);
        REQUIRE_READ_ONLY(ro);
        EXPECT_EQ(callExport("mergeMapsTIF", pa, 0, &pb), -101.0f);
    }
    ReadOnly ro(pb);
    EXPECT_EQ(callExport("mergeMapsTIF", pa, 0, &pb), -201.0f);
    EXPECT_EQ(readBytes(pb), mapB().build());
}

TEST(MergeTiff, LargeMapAcrossBlocks) {
    TempDir dir;
    TiffBuilder a(1024, 700, 3, 32), b(1024, 700, 3, 32);
    a.floats([](std::uint32_t x, std::uint32_t y, int c) { return x == 0 && y == 0 ? 0.0f : 1.0f + x + c; });
    b.floats([](std::uint32_t x, std::uint32_t y, int c) { return (x + y) % 3 ? 0.0f : -1.0f - y; });
    std::string pb = put(dir, "b.tif", b.build());
    ASSERT_EQ(callExport("mergeMapsTIF", put(dir, "a.tif", a.build()), 0, &pb), 0.0f);
    std::vector<std::uint8_t> out = readBytes(pb);
    const std::size_t s = b.stripOffset();
    for (std::uint32_t y : {0u, 1u, 341u, 342u, 699u})
        for (std::uint32_t x : {0u, 1u, 2u, 1023u}) {
            float want = (x + y) % 3 ? (x == 0 && y == 0 ? 0.0f : 1.0f + x + 2) : -1.0f - y;
            EXPECT_EQ(tiffFloatAt(out, s + 12 * (static_cast<std::size_t>(y) * 1024 + x) + 8), want) << x << "," << y;
        }
}

// Every pixel size, over maps of several pieces: B's pixels that equal A's
// first pixel take A's, and so does nothing else, not even a pixel that
// misses the key by one byte. Key pixels sit in only some of the pieces.
TEST(MergeTiff, EveryPixelSizeMatchesWholePixelsOnly) {
    TempDir dir;
    for (int samples : {1, 3})
        for (int bits : {8, 16, 32}) {
            SCOPED_TRACE(std::to_string(samples) + " x " + std::to_string(bits) + " bits");
            const std::uint32_t width = 257, length = 1400;
            const std::size_t pix = static_cast<std::size_t>(samples) * (bits / 8);
            TiffBuilder builder(width, length, samples, bits);
            std::vector<std::uint8_t> a = builder.build(), b = a;
            const std::size_t s = builder.stripOffset(), pixels = std::size_t(width) * length;
            std::uint32_t h = 12345;
            auto next = [&h] { return h = h * 1103515245u + 12345u, static_cast<std::uint8_t>(h >> 16 | 1); };
            for (std::size_t i = 0; i < pixels * pix; ++i) a[s + i] = next(), b[s + i] = next();
            const std::vector<std::uint8_t> key(a.begin() + s, a.begin() + s + pix);
            // Rows 300 to 309 and the last row: keys, and near misses in every byte.
            for (std::uint32_t y : {300u, 301u, 305u, 309u, length - 1})
                for (std::uint32_t x = 0; x < width; ++x) {
                    std::uint8_t* px = &b[s + (std::size_t(y) * width + x) * pix];
                    std::copy(key.begin(), key.end(), px);
                    if (x % 3 == 1) px[x / 3 % pix] ^= 0x80;
                }
            std::vector<std::uint8_t> want = b;
            for (std::size_t i = 0; i < pixels; ++i)
                if (std::equal(key.begin(), key.end(), &b[s + i * pix]))
                    std::copy_n(&a[s + i * pix], pix, &want[s + i * pix]);
            std::string pb = put(dir, "b.tif", b);
            ASSERT_EQ(callExport("mergeMapsTIF", put(dir, "a.tif", a), 0, &pb), 0.0f);
            EXPECT_TRUE(readBytes(pb) == want);
        }
}

TEST(MergeTiffHack, ExclusionBlendForIntegerMaps) {
    TempDir dir;
    TiffBuilder same(256, 1, 1, 8);
    same.u8s([](std::uint32_t x, std::uint32_t, int) { return static_cast<std::uint8_t>(x); });
    const std::string pa = put(dir, "a.tif", same.build());
    std::string pb = put(dir, "b.tif", same.build());
    ASSERT_EQ(mergeTiffHack(pa.c_str(), pb.c_str()), 0.0f);
    std::vector<std::uint8_t> out = readBytes(pb);
    const std::size_t s = same.stripOffset();
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(out[s + v], static_cast<std::uint8_t>(std::floor(2.0 * v - 2.0 * v * v / 255.0))) << v;
    EXPECT_EQ(out[s + 0], 0);
    EXPECT_EQ(out[s + 255], 0);
    EXPECT_EQ(out[s + 1], 1);
    EXPECT_EQ(out[s + 128], 127);
    // 16-bit samples blend their two bytes separately: a = 0x00FF, b = 0x8080.
    TiffBuilder a16(1, 1, 1, 16), b16(1, 1, 1, 16);
    a16.u16s([](std::uint32_t, std::uint32_t, int) { return std::uint16_t(0x00FF); });
    b16.u16s([](std::uint32_t, std::uint32_t, int) { return std::uint16_t(0x8080); });
    pb = put(dir, "b16.tif", b16.build());
    ASSERT_EQ(mergeTiffHack(put(dir, "a16.tif", a16.build()).c_str(), pb.c_str()), 0.0f);
    EXPECT_EQ(tiffU16At(readBytes(pb), b16.stripOffset()), 0x807Fu);
    // Signed samples (in either map) would be blended as unsigned: refused.
    for (bool signedB : {false, true}) {
        TiffBuilder s16a = a16, s16b = b16;
        (signedB ? s16b : s16a).set(339, 2);
        const std::vector<std::uint8_t> before = s16b.build();
        pb = put(dir, "s16.tif", before);
        EXPECT_EQ(mergeTiffHack(put(dir, "sa.tif", s16a.build()).c_str(), pb.c_str()), kWrongSampleFormat);
        EXPECT_EQ(readBytes(pb), before);
    }
    // Float maps keep the background-key merge.
    TiffBuilder af(2, 1, 1, 32), bf(2, 1, 1, 32);
    af.floatList({0.0f, 7.0f});
    bf.floatList({0.0f, 0.0f});
    pb = put(dir, "bf.tif", bf.build());
    std::string mb = pb;
    if (kWindowsBuild)
        ASSERT_EQ(callExport("mergeMapsTIFHack", put(dir, "af.tif", af.build()), 0, &mb), 0.0f);
    else
        ASSERT_EQ(mergeTiffHack(put(dir, "af.tif", af.build()).c_str(), pb.c_str()), 0.0f);
    EXPECT_EQ(tiffFloatAt(readBytes(pb), bf.stripOffset() + 4), 7.0f);
    EXPECT_EQ(hasExport("mergeMapsTIFHack"), kWindowsBuild);
}

// ---------------------------------------------------------------------------
// Channel swap and single channel.

TEST(SwapRGBTIF, ModesAndUnchangedMaps) {
    TempDir dir;
    TiffBuilder b(2, 1, 3, 8);
    b.u8s([](std::uint32_t x, std::uint32_t, int c) { return static_cast<std::uint8_t>(10 * x + c + 1); });
    const std::size_t s = b.stripOffset();
    struct Case {
        double value;
        std::vector<std::uint8_t> pixels;
    } cases[] = {
        {0.5, {1, 2, 3, 11, 12, 13}}, {1, {1, 3, 2, 11, 13, 12}}, {2, {3, 2, 1, 13, 12, 11}},
        {3.9, {2, 1, 3, 12, 11, 13}}, {0, {1, 2, 3, 11, 12, 13}}, {4, {1, 2, 3, 11, 12, 13}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string p = put(dir, "m.tif", b.build());
        EXPECT_EQ(callExport("swapRGBTIF", p, c.value), (c.value <= 0 || c.value >= 4) ? -9.0f : 0.0f);
        EXPECT_EQ(slice(readBytes(p), s, 6), c.pixels);
    }
    // Mode 2 twice restores a map that spans several blocks.
    TiffBuilder big(1500, 1000, 3, 8);
    big.u8s([](std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>(x * 7 + y * 3 + c); });
    const std::string p = put(dir, "big.tif", big.build());
    ASSERT_EQ(callExport("swapRGBTIF", p, 2), 0.0f);
    std::vector<std::uint8_t> once = readBytes(p);
    const std::size_t last = big.stripOffset() + 3 * (1500 * 1000 - 1);
    EXPECT_EQ(once[last], big.pixels[big.pixels.size() - 1]);
    EXPECT_EQ(once[last + 2], big.pixels[big.pixels.size() - 3]);
    ASSERT_EQ(callExport("swapRGBTIF", p, 2), 0.0f);
    EXPECT_EQ(readBytes(p), big.build());
    // Maps that are not 8-bit RGB stay as they are.
    for (TiffBuilder other : {TiffBuilder(2, 2, 3, 16), TiffBuilder(2, 2, 1, 8)}) {
        other.u8s([](std::uint32_t x, std::uint32_t, int c) { return static_cast<std::uint8_t>(x + c); });
        const std::string q = put(dir, "o.tif", other.build());
        EXPECT_EQ(callExport("swapRGBTIF", q, 2), 0.0f);
        EXPECT_EQ(readBytes(q), other.build());
    }
}

TEST(SwapRGBTIF, FailuresAndTheirOutputLines) {
    TempDir dir;
    TiffBuilder rgba(2, 1, 3, 8);
    rgba.setCount(258, 4);
    EXPECT_EQ(callExport("swapRGBTIF", put(dir, "rgba.tif", rgba.build()), 1), 258.0f);
    EXPECT_EQ(callExport("swapRGBTIF", nullptr, 1), -9.0f);
    TiffBuilder lzw(2, 1, 3, 8);
    lzw.set(259, 5);
    EXPECT_EQ(callExport("swapRGBTIF", put(dir, "lzw.tif", lzw.build()), 1), -259.0f);
    std::vector<std::uint8_t> shortMap = TiffBuilder(2, 1, 3, 8).build();
    shortMap.pop_back();
    EXPECT_EQ(callExport("swapRGBTIF", put(dir, "short.tif", shortMap), 1), kRowsPastEnd);
    EXPECT_EQ(readBytes(dir.path("short.tif")), shortMap);

    const std::string line10 = kWindowsBuild ? "" : "-10\n", line101 = kWindowsBuild ? "" : "-101\n";
    testing::internal::CaptureStdout();
    float r = callExport("swapRGBTIF", dir.path("none.tif"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line10);
    EXPECT_EQ(r, -10.0f);
    const std::string p = put(dir, "ro.tif", TiffBuilder(2, 1, 3, 8).build());
    ReadOnly ro(p);
    REQUIRE_READ_ONLY(ro);
    testing::internal::CaptureStdout();
    r = callExport("swapRGBTIF", p, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line101);
    EXPECT_EQ(r, -101.0f);
}

TEST(ConvertTIFFSingle, CopiesTheFirstChannel) {
    TempDir dir;
    TiffBuilder b(2048, 2048, 3, 32);
    b.floats([](std::uint32_t x, std::uint32_t y, int c) { return c == 0 ? 0.25f + x - 0.5f * y : 0.5f + 0.25f * c; });
    const std::string src = put(dir, "rgb.tif", b.build());
    std::string dst = dir.path("single.tif");
    ASSERT_EQ(callExport("convertTIFFSingle", src, 0, &dst), 0.0f);
    std::vector<std::uint8_t> out = readBytes(dst);
    ASSERT_EQ(out.size(), 222u + 16777216u);
    EXPECT_EQ(tiffU32At(out, kWidthField), 2048u);
    EXPECT_EQ(tiffU32At(out, kLengthField), 2048u);
    EXPECT_EQ(tiffU32At(out, kRowsPerStripField), 2048u);
    EXPECT_EQ(tiffU32At(out, kByteCountsField), 16777216u);
    EXPECT_EQ(slice(out, 126 + 4, 92), slice(float32Template(), 130, 92));
    for (std::size_t i : {std::size_t(0), std::size_t(1), std::size_t(2048 * 1000 + 7), std::size_t(2048 * 2048 - 1)})
        EXPECT_EQ(slice(out, 222 + 4 * i, 4), slice(b.pixels, 12 * i, 4)) << i;
#if BRINDLEX_HAVE_LIBTIFF
    LibTiffImage img;
    ASSERT_TRUE(readWithLibTiff(dst, img));
    EXPECT_EQ(img.width, 2048u);
    EXPECT_EQ(img.bits, 32);
    EXPECT_EQ(img.samples, 1);
    EXPECT_EQ(img.format, 3) << "IEEE float";
    EXPECT_EQ(img.strip, slice(out, 222, 16777216));
#endif
    TiffBuilder one(1, 1, 3, 32);
    one.floatList({0.25f, 0.5f, 0.75f});
    ASSERT_EQ(callExport("convertTIFFSingle", put(dir, "one.tif", one.build()), 0, &dst), 0.0f);
    EXPECT_EQ(tiffFloatAt(readBytes(dst), 222), 0.25f);
}

TEST(ConvertTIFFSingle, Refusals) {
    TempDir dir;
    const std::string good = put(dir, "good.tif", floatRgb().build());
    std::vector<std::uint8_t> shortMap = floatRgb().build();
    shortMap.pop_back();
    struct Case {
        const char* what;
        std::string src;
        float code;
    } cases[] = {
        {"missing", dir.path("none.tif"), -10},
        {"8-bit", put(dir, "b8.tif", TiffBuilder(2, 2, 3, 8).build()), -32},
        {"BitsPerSample count 2", put(dir, "c2.tif", floatRgb().setCount(258, 2).build()), -258},
        {"rows mirrored (Orientation 2)", put(dir, "mirrored.tif", floatRgb().set(274, 2).build()), kTurnedRows},
        {"short", put(dir, "short.tif", shortMap), kRowsPastEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dst = dir.path("out.tif");
        EXPECT_EQ(callExport("convertTIFFSingle", c.src, 0, &dst), c.code);
        EXPECT_FALSE(fileExists(dst));
    }
    EXPECT_EQ(callExport("convertTIFFSingle", good, 0, nullptr), -1.0f);
    std::string noFolder = dir.path("no/such/out.tif");
    EXPECT_EQ(callExport("convertTIFFSingle", good, 0, &noFolder), -102.0f);
    ReadOnly ro(good);
    REQUIRE_READ_ONLY(ro);
    std::string dst = dir.path("out.tif");
    EXPECT_EQ(callExport("convertTIFFSingle", good, 0, &dst), -101.0f);
}

// ---------------------------------------------------------------------------
// Maps whose directory follows their rows, as libtiff-based programs write
// them: every operation gives the host layout's result, and its output (or
// the rewritten map's rows) the same bytes.

TEST(TiffLayouts, ADirectoryAfterTheRowsReadsAsTheHostsLayout) {
    using Files = std::vector<std::string>;  // inputs, then the outputs the operation writes
    struct Op {
        const char* what;
        std::vector<TiffBuilder> inputs;
        int outputs;
        std::function<float(const Files&)> run;
        bool rewritesFirstInput;  // the result to compare is the first input's rows
    };
    TiffBuilder grey(33, 21, 1, 32), rgb(33, 21, 3, 32), grey16(33, 21, 1, 16), rgb8(33, 21, 3, 8);
    grey.floats([](std::uint32_t x, std::uint32_t y, int) { return (x * 7 + y * 3) / 400.0f; });
    rgb.floats([](std::uint32_t x, std::uint32_t y, int c) { return (x * 5 + y + 40 * c) / 300.0f; });
    grey16.u16s([](std::uint32_t x, std::uint32_t y, int) { return static_cast<std::uint16_t>(x * 900 + y * 31); });
    rgb8.u8s(
        [](std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>(x % 3 ? x * 7 + y + c : 0); });
    TiffBuilder rgb8a = rgb8;
    rgb8a.u8s([](std::uint32_t x, std::uint32_t y, int c) {
        return static_cast<std::uint8_t>(x == 0 && y == 0 ? 0 : 99 + c);
    });
    const Op ops[] = {
        {"getScale grey", {grey}, 0, [](const Files& f) { return getScaleTiff(f[0].c_str(), 1); }, false},
        {"getScale RGB", {rgb}, 0, [](const Files& f) { return getScaleTiff(f[0].c_str(), 3); }, false},
        {"getScale16", {grey16}, 0, [](const Files& f) { return getScale16Tiff(f[0].c_str(), 1); }, false},
        {"convertTIFF16 mode 1",
         {grey},
         1,
         [](const Files& f) { return convertTiff(f[0].c_str(), f[1].c_str(), 1); },
         false},
        {"convertTIFF16 mode 3",
         {rgb},
         1,
         [](const Files& f) { return convertTiff(f[0].c_str(), f[1].c_str(), 3); },
         false},
        {"convertTIFF16 mode 4 to PSD",
         {rgb},
         1,
         [](const Files& f) {
             return convertTiff(f[0].c_str(), (f[1] + ".psd").c_str(), 4) == 0.0f
                        ? (std::filesystem::rename(f[1] + ".psd", f[1]), 0.0f)
                        : -1.0f;
         },
         false},
        {"convertTIFFSingle",
         {rgb},
         1,
         [](const Files& f) { return singleChannelTiff(f[0].c_str(), f[1].c_str()); },
         false},
        {"saveAsTarga", {rgb8}, 1, [](const Files& f) { return convertToTarga(f[0].c_str(), f[1].c_str()); }, false},
        {"swapRGBTIF", {rgb8}, 0, [](const Files& f) { return swapChannels(f[0].c_str(), 2); }, true},
        {"mergeMapsTIF", {rgb8, rgb8a}, 0, [](const Files& f) { return mergeTiff(f[1].c_str(), f[0].c_str()); }, true},
    };
    for (const Op& op : ops) {
        SCOPED_TRACE(op.what);
        float results[2];
        std::vector<std::uint8_t> outputs[2];
        for (int late = 0; late < 2; ++late) {
            TempDir dir;
            Files f;
            std::vector<std::vector<std::uint8_t>> in;
            for (const TiffBuilder& b : op.inputs) {
                in.push_back(late ? ifdAfterRows(b.build()) : b.build());
                f.push_back(put(dir, "in" + std::to_string(f.size()) + ".tif", in.back()));
            }
            for (int k = 0; k < op.outputs; ++k) f.push_back(dir.path("out" + std::to_string(k)));
            results[late] = op.run(f);
            if (op.rewritesFirstInput) {
                // The rows of the map, and everything else as it was.
                const std::vector<std::uint8_t> got = readBytes(f[0]);
                const std::size_t s = op.inputs[0].stripOffset(), n = op.inputs[0].pixels.size();
                ASSERT_EQ(got.size(), in[0].size());
                EXPECT_TRUE(std::equal(got.begin(), got.begin() + std::ptrdiff_t(s), in[0].begin()));
                EXPECT_TRUE(
                    std::equal(got.begin() + std::ptrdiff_t(s + n), got.end(), in[0].begin() + std::ptrdiff_t(s + n)));
                outputs[late].assign(got.begin() + std::ptrdiff_t(s), got.begin() + std::ptrdiff_t(s + n));
            } else if (op.outputs) {
                outputs[late] = readBytes(f.back());
            }
        }
        if (op.outputs || op.rewritesFirstInput) {
            EXPECT_EQ(results[0], 0.0f);
            EXPECT_FALSE(outputs[0].empty());
        } else {
            EXPECT_GT(results[0], 0.0f) << "a measure, not a code";
        }
        EXPECT_EQ(results[1], results[0]);
        EXPECT_TRUE(outputs[1] == outputs[0]);
    }
}

// Strips, as most programs write them: RowsPerStrip rows each, one after
// another. They read as the one strip of the host's layout; strips that do
// not make one run of rows are refused.
TEST(TiffLayouts, StripsThatFollowEachOtherReadAsOne) {
    const std::uint32_t w = 7, l = 8, row = w * 3 * 4;
    auto withStrips = [&](std::uint32_t perStrip, std::uint16_t type,
                          const std::function<void(std::vector<std::uint32_t>&)>& edit) {
        TiffBuilder b = floatRgb(w, l);
        const std::uint32_t strips = (l + perStrip - 1) / perStrip;
        const std::uint32_t at = b.stripOffset() + static_cast<std::uint32_t>(b.pixels.size());
        b.set(278, perStrip);
        b.setCount(273, strips).set(273, at);
        b.find(273)->type = type;
        std::vector<std::uint32_t> offsets;
        for (std::uint32_t i = 0; i < strips; ++i) offsets.push_back(b.stripOffset() + i * perStrip * row);
        edit(offsets);
        std::vector<std::uint8_t> f = b.build();
        for (std::uint32_t o : offsets) {
            for (int k = 0; k < (type == 3 ? 2 : 4); ++k) f.push_back(static_cast<std::uint8_t>(o >> (8 * k)));
        }
        return f;
    };
    const auto keep = [](std::vector<std::uint32_t>&) {};
    const struct {
        const char* what;
        std::vector<std::uint8_t> file;
        float code;
    } cases[] = {
        {"three strips of 3 rows, LONG", withStrips(3, 4, keep), 0},
        {"eight strips of one row, SHORT", withStrips(1, 3, keep), 0},
        {"two strips of 4 rows", withStrips(4, 4, keep), 0},
        {"a gap between strips", withStrips(3, 4, [](auto& o) { o[2] += 4; }), -273},
        {"strips out of order", withStrips(4, 4, [](auto& o) { std::swap(o[0], o[1]); }), -273},
        {"offsets run past the end of the file", withStrips(3, 4, [](auto& o) { o.pop_back(); }), -273},
        {"RATIONAL offsets", withStrips(3, 5, keep), -273},
    };
    TempDir dir;
    const std::vector<std::uint8_t> plain = floatRgb(w, l).build();
    std::string want = dir.path("want.tif");
    ASSERT_EQ(convertTiff(put(dir, "plain.tif", plain).c_str(), want.c_str(), 3), 0.0f);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::uint8_t>& f = c.file;
        Directory d;
        EXPECT_EQ(walkIfd(f, rules(0, 32), d), c.code);
        std::string out = dir.path("out.tif");
        std::filesystem::remove(out);
        EXPECT_EQ(convertTiff(put(dir, "strips.tif", f).c_str(), out.c_str(), 3), c.code);
        if (c.code == 0.0f) {
            EXPECT_EQ(d.stripOffset, floatRgb(w, l).stripOffset());
            EXPECT_EQ(readBytes(out), readBytes(want));
        } else {
            EXPECT_FALSE(fileExists(out));
        }
    }
}
