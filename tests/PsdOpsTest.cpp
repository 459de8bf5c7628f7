// PSD maps: readPSDHeader, the merge and the channel swap. Every file
// written is read back with the independent reader of MapTestSupport.h.
#include <cmath>

#include "FileAccess.h"
#include "MapTestSupport.h"
#include "PsdKernels.h"
#include "PsdOps.h"
#include "TestSupport.h"
#include "fixtures/PsdBuilder.h"

using namespace fixtures;
using maptest::put;
using maptest::readPsd;

namespace {

using Bytes = std::vector<unsigned char>;

float parse(const Bytes& file) { return readPSDHeader(fileio::Bytes(file)); }

Picture picture(const std::string& path) {
    auto p = readPsd(readBytes(path));
    EXPECT_TRUE(p);
    return p ? maptest::psdPicture(*p) : Picture();
}

}  // namespace

namespace {

// An 8-bit map's options in another colour mode (9 Lab, 4 CMYK, 1 grey).
fixtures::PsdOptions withMode(std::uint16_t mode) {
    fixtures::PsdOptions o;
    o.colourMode = mode;
    return o;
}

}  // namespace

TEST(PsdHeader, FindsTheImageDataAndRefusesOtherDialects) {
    PsdOptions res;
    res.resourcesLength = 28;
    ASSERT_EQ(parse(makePsdRgb(letterF(), res)), 0.0f);
    EXPECT_EQ(_offst, 68);
    EXPECT_EQ(_fHeader.channels, 3);
    EXPECT_EQ(_fHeader.rows, 5u);
    EXPECT_EQ(_fHeader.columns, 6u);
    EXPECT_EQ(_fHeader.resourcesLength, 28u);

    PsdOptions rle;
    rle.compression = 1;
    EXPECT_EQ(parse(makePsdRgb(letterF(), rle)), psd::kCompressed);
    EXPECT_EQ(_fHeader.rows, 5u);  // the size and depth are already known
    EXPECT_EQ(_fHeader.depth, 8);

    PsdOptions v2;
    v2.version = 2;
    PsdOptions indexed;
    indexed.colourDataLength = 768;
    Bytes bigL1 = makePsdRgb(letterF());
    putBE32(bigL1, 30, 0xfffffff0u);
    Bytes bigL2 = makePsdRgb(letterF());
    putBE32(bigL2, 34, 0xfffffff0u);
    Bytes sig = makePsdRgb(letterF());
    sig[3] = 'B';
    struct Case {
        const char* what;
        Bytes file;
        float code;
    } cases[] = {
        {"signature", sig, psd::kBadSignature},
        {"version 2", makePsdRgb(letterF(), v2), psd::kBadVersion},
        {"colour-mode data", makePsdRgb(letterF(), indexed), psd::kColourData},
        {"resources past the end", bigL1, psd::kShortHeader},
        {"layers past the end", bigL2, psd::kShortHeader},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.file), c.code) << c.what;

    // Every prefix that stops inside the header is refused.
    const Bytes full = makePsdRgb(letterF(), res);
    for (std::size_t len = 0; len < 70; ++len) {
        const float r = parse(Bytes(full.begin(), full.begin() + len));
        if (len < 4)
            EXPECT_EQ(r, psd::kBadSignature) << len;
        else if (len < 68)
            EXPECT_EQ(r, psd::kShortHeader) << len;
        else
            EXPECT_EQ(r, 0.0f) << len;
    }
}

TEST(PsdSwap, PlanesFollowTheModeTable) {
    Picture pic = letterF();
    for (std::size_t i = 0; i < pic.px.size(); ++i) pic.px[i].g = std::uint8_t(100 + i);
    PsdOptions opt;
    opt.resourcesLength = 120;  // the image data starts past byte 100
    opt.layersLength = 10;
    const Bytes original = makePsdRgb(pic, opt);
    const std::size_t data = psdDataOffset(opt);
    struct Case {
        double value;
        int mode;
    } cases[] = {{1, 1}, {2, 2}, {3, 3}, {3.7, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        std::string p = put(dir, "map.psd", original);
        ASSERT_EQ(callExport("swapRGBPSD", p, c.value), 0.0f);
        const Bytes got = readBytes(p);
        ASSERT_EQ(got.size(), original.size());
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + data, got.begin())) << "header changed";
        Picture back = picture(p);
        for (std::size_t i = 0; i < pic.px.size(); ++i) {
            const Rgb s = pic.px[i];
            const Rgb want = c.mode == 1 ? Rgb{s.r, s.b, s.g} : c.mode == 2 ? Rgb{s.b, s.r, s.g} : Rgb{s.g, s.b, s.r};
            ASSERT_EQ(back.px[i], want) << i;
        }
    }
}

TEST(PsdSwap, RotationsRestoreTheMap) {
    const Bytes original = makePsdRgb(letterF());
    const std::vector<std::vector<int>> sequences = {{2, 2, 2}, {2, 3}, {3, 2}, {1, 1}, {3, 3, 3}};
    for (const auto& seq : sequences) {
        TempDir dir;
        std::string p = put(dir, "map.psd", original);
        for (std::size_t k = 0; k < seq.size(); ++k) {
            ASSERT_EQ(swapChannelsPSD(p.c_str(), seq[k]), 0.0f);
            if (k + 1 < seq.size()) {
                EXPECT_NE(readBytes(p), original);
            }
        }
        EXPECT_EQ(readBytes(p), original) << "sequence of " << seq.size() << " starting " << seq[0];
    }
}

TEST(PsdSwap, RefusesUntouched) {
    TempDir dir;
    const Picture pic = letterF();
    PsdOptions grey16;
    grey16.depth = 16;
    grey16.colourMode = 1;
    Bytes shortPlanes = makePsdRgb(pic);
    shortPlanes.pop_back();
    Bytes huge = makePsdRgb(pic);
    putBE32(huge, 14, 0xffffffffu);
    putBE32(huge, 18, 0xffffffffu);
    struct Case {
        const char* what;
        Bytes file;
        double value;
        float code;
    } cases[] = {
        {"RGBA", makePsdRgb(pic, {}, 255), 1, psd::kNotRgb8},
        {"16-bit grey", makePsdGrey16(6, 5, std::vector<std::uint16_t>(30, 7)), 1, psd::kNotRgb8},
        {"16-bit RGB", makePsd(6, 5, 3, {Bytes(60), Bytes(60), Bytes(60)}, grey16), 1, psd::kNotRgb8},
        {"Lab, three planes", makePsdRgb(pic, withMode(9)), 1, psd::kNotRgb8},
        {"greyscale with two extra planes", makePsdRgb(pic, withMode(1)), 1, psd::kNotRgb8},
        {"planes short", shortPlanes, 1, psd::kShortData},
        {"size past the file", huge, 1, psd::kShortData},
        {"mode 0 leaves the map alone", makePsdRgb(pic), 0.5, 0.0f},
        {"value 0", makePsdRgb(pic), 0, -9.0f},
        {"value 4", makePsdRgb(pic), 4, -9.0f},
        {"NaN", makePsdRgb(pic), std::nan(""), -9.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string p = put(dir, "m.psd", c.file);
        EXPECT_EQ(callExport("swapRGBPSD", p, c.value), c.code);
        EXPECT_EQ(readBytes(p), c.file);
    }
    EXPECT_EQ(callExport("swapRGBPSD", nullptr, 1), -9.0f);
    EXPECT_EQ(callExport("swapRGBPSD", dir.path("missing.psd"), 1), psd::kBadSignature);

    // Every prefix of a valid map is refused, untouched.
    const Bytes full = makePsdRgb(pic);
    for (std::size_t len = 0; len < full.size(); ++len) {
        const Bytes cut(full.begin(), full.begin() + len);
        std::string p = put(dir, "cut.psd", cut);
        const float r = swapChannelsPSD(p.c_str(), 2);
        EXPECT_TRUE(r == psd::kBadSignature || r == psd::kShortHeader || r == psd::kShortData) << len << ": " << r;
        EXPECT_EQ(readBytes(p), cut) << len;
    }

    std::string ro = put(dir, "ro.psd", full);
    maptest::ReadOnlyFile lock(ro);
    if (lock.active()) {
        EXPECT_EQ(swapChannelsPSD(ro.c_str(), 1), psd::kCannotWrite);
        EXPECT_EQ(readBytes(ro), full);
    }
}

TEST(PsdSwap, DropsWhatFollowsTheThirdPlane) {
    TempDir dir;
    PsdOptions opt;
    opt.trailing = {9, 9, 9, 9};
    std::string p = put(dir, "map.psd", makePsdRgb(letterF(), opt));
    ASSERT_EQ(swapChannelsPSD(p.c_str(), 1), 0.0f);
    auto back = readPsd(readBytes(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->trailing, 0u);
    EXPECT_EQ(maptest::psdPicture(*back).at(1, 0), (Rgb{255, 0, 0}));
    EXPECT_EQ(maptest::psdPicture(*back).at(0, 0), (Rgb{0, 255, 0}));
}

TEST(PsdMerge, TakesTheSourceWhereverItDiffersFromTheTargetsBackground) {
    const Rgb white{255, 255, 255}, grey{90, 90, 90};
    Picture a(6, 5, white), b(6, 5, white);
    a.at(1, 1) = kRed;   // B is white there: takes red
    a.at(2, 2) = kBlue;  // B has its own colour there: still takes blue
    b.at(2, 2) = grey;
    b.at(4, 4) = grey;                // A is white there: B keeps its own
    a.at(5, 0) = Rgb{255, 255, 254};  // differs in one plane only
    PsdOptions opt;
    opt.resourcesLength = 12;
    opt.trailing = {1, 2, 3};
    for (int alpha : {-1, 40}) {
        SCOPED_TRACE(alpha);
        TempDir dir;
        const Bytes fa = makePsdRgb(a, opt, alpha < 0 ? -1 : 200), fb = makePsdRgb(b, opt, alpha);
        std::string pa = put(dir, "a.psd", fa), pb = put(dir, "b.psd", fb);
        std::string m = pb;
        ASSERT_EQ(callExport("mergeMapsPSD", pa, 0, &m), 0.0f);
        EXPECT_EQ(readBytes(pa), fa);
        const Bytes got = readBytes(pb);
        ASSERT_EQ(got.size(), fb.size());
        auto back = readPsd(got);
        ASSERT_TRUE(back);
        Picture want = b;
        want.at(1, 1) = kRed;
        want.at(2, 2) = kBlue;
        want.at(5, 0) = a.at(5, 0);
        EXPECT_EQ(maptest::psdPicture(*back), want);
        if (alpha >= 0) {
            EXPECT_EQ(back->planes[3], Bytes(30, 40)) << "B's alpha plane is kept";
        }
        EXPECT_TRUE(std::equal(fb.end() - 3, fb.end(), got.end() - 3));
    }
}

TEST(PsdMerge, SixteenBitGreyComparesWholeSamples) {
    std::vector<std::uint16_t> a(30, 0x1234), b(30, 0x1234);
    a[3] = 0x1235;  // low byte differs
    a[4] = 0x2234;  // high byte differs
    b[7] = 0x0101;  // A equals the key there: B keeps it
    TempDir dir;
    std::string pa = put(dir, "a.psd", makePsdGrey16(6, 5, a)), pb = put(dir, "b.psd", makePsdGrey16(6, 5, b));
    ASSERT_EQ(mergePSD(pa.c_str(), pb.c_str()), 0.0f);
    std::vector<std::uint16_t> want = b;
    want[3] = 0x1235;
    want[4] = 0x2234;
    EXPECT_EQ(readBytes(pb), makePsdGrey16(6, 5, want));
}

TEST(PsdMerge, RefusesMismatchesUntouched) {
    const Picture pic = letterF();
    PsdOptions rgb16;
    rgb16.depth = 16;
    PsdOptions longer;
    longer.resourcesLength = 4;
    Bytes shortPlanes = makePsdRgb(pic);
    shortPlanes.resize(shortPlanes.size() - 5);
    struct Case {
        const char* what;
        Bytes a;
        float code;
    } cases[] = {
        {"sizes differ", makePsdRgb(Picture(5, 5)), psd::kSizesDiffer},
        {"16-bit RGB", makePsd(6, 5, 3, {Bytes(60), Bytes(60), Bytes(60)}, rgb16), psd::kUnsupportedKind},
        {"16-bit grey into RGB", makePsdGrey16(6, 5, std::vector<std::uint16_t>(30, 9)), psd::kUnsupportedKind},
        {"8-bit Lab", makePsdRgb(pic, withMode(9)), psd::kUnsupportedKind},
        {"8-bit CMYK", makePsdRgb(pic, withMode(4), 0), psd::kUnsupportedKind},
        {"header lengths differ", makePsdRgb(pic, longer), psd::kHeadersDiffer},
        {"source planes short", shortPlanes, psd::kShortData},
        {"not a PSD", Bytes{'B', 'M', 0, 0}, psd::kBadSignature},
    };
    TempDir dir;
    const Bytes fb = makePsdRgb(pic);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string pa = put(dir, "a.psd", c.a), pb = put(dir, "b.psd", fb);
        EXPECT_EQ(mergePSD(pa.c_str(), pb.c_str()), c.code);
        EXPECT_EQ(readBytes(pa), c.a);
        EXPECT_EQ(readBytes(pb), fb);
    }
    // A target whose planes are short cannot take a full source.
    std::string pa = put(dir, "a.psd", fb), pb = put(dir, "b.psd", shortPlanes);
    EXPECT_EQ(mergePSD(pa.c_str(), pb.c_str()), psd::kShortData);
    EXPECT_EQ(readBytes(pb), shortPlanes);

    std::string missing = dir.path("missing.psd");
    pb = put(dir, "b.psd", fb);
    EXPECT_EQ(mergePSD(missing.c_str(), pb.c_str()), psd::kBadSignature);
    EXPECT_EQ(mergePSD(pa.c_str(), missing.c_str()), psd::kBadSignature);
    std::string none;
    EXPECT_EQ(callExport("mergeMapsPSD", pa, 0, nullptr), -9.0f);
    EXPECT_EQ(callExport("mergeMapsPSD", nullptr, 0, &none), -9.0f);

    // Every prefix of a valid target or source is refused, untouched.
    for (std::size_t len = 0; len < fb.size(); ++len) {
        const Bytes cut(fb.begin(), fb.begin() + len);
        std::string pc = put(dir, "cut.psd", cut);
        pb = put(dir, "b.psd", fb);
        const float r1 = mergePSD(pb.c_str(), pc.c_str()), r2 = mergePSD(pc.c_str(), pb.c_str());
        for (float r : {r1, r2})
            EXPECT_TRUE(r == psd::kBadSignature || r == psd::kShortHeader || r == psd::kShortData) << len << ": " << r;
        EXPECT_EQ(readBytes(pc), cut) << len;
        EXPECT_EQ(readBytes(pb), fb) << len;
    }

    pb = put(dir, "b.psd", fb);
    maptest::ReadOnlyFile lock(pb);
    if (lock.active()) {
        EXPECT_EQ(mergePSD(pa.c_str(), pb.c_str()), psd::kCannotWrite);
        EXPECT_EQ(readBytes(pb), fb);
    }
}

// The plane merges' paths: the portable ones everywhere, SSE2 where the
// build has it.
class MergePlanePaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(PsdMerge, MergePlanePaths, testing::Values(simd::kPortable, simd::kSse2), simdPathName);

TEST_P(MergePlanePaths, EightBitPlanesTakeASampleWhereverItsPixelIsNotTheKey) {
    // Key 1 2 3; A's pixels: the key, each sample off by one, all off.
    const std::uint8_t s0[] = {1, 0, 1, 1, 9}, s1[] = {2, 2, 3, 2, 9}, s2[] = {3, 3, 3, 0x83, 9};
    const std::uint8_t s[] = {10, 11, 12, 13, 14}, d[] = {20, 21, 22, 23, 24};
    std::uint8_t out[5];
    ASSERT_TRUE(mergePlane8With(GetParam(), s0, s1, s2, s, d, 5, 1, 2, 3, out));
    EXPECT_EQ(Bytes(out, out + 5), Bytes({20, 11, 12, 13, 14}));
}

TEST_P(MergePlanePaths, SixteenBitPlanesCompareBothBytesInFileOrder) {
    // Key bytes 0x12 0x34; A's samples: the key, the key's bytes swapped,
    // one byte off each.
    const std::uint8_t s[] = {0x12, 0x34, 0x34, 0x12, 0x12, 0x35, 0x13, 0x34};
    const std::uint8_t d[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t out[8];
    ASSERT_TRUE(mergePlane16With(GetParam(), s, d, 8, 0x12, 0x34, out));
    EXPECT_EQ(Bytes(out, out + 8), Bytes({1, 2, 0x34, 0x12, 0x12, 0x35, 0x13, 0x34}));
}

TEST_P(MergePlanePaths, EveryLengthAndOffsetAsThePortablePathGivesIt) {
    // Samples drawn from a few values around the key (0x00, 0x7F, 0x80 and
    // 0xFF among them), so that whole pixels match it often; runs of every
    // length up to three vectors and beyond, at odd offsets, never writing
    // past their end.
    std::uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const std::size_t size = 1100;
    for (const std::uint8_t key : {0x00, 0x7F, 0x80, 0xFF}) {
        const std::uint8_t k0 = key, k1 = static_cast<std::uint8_t>(key + 1),
                           k2 = static_cast<std::uint8_t>(key ^ 0x80);
        const std::uint8_t near[3][2] = {{k0, static_cast<std::uint8_t>(k0 - 1)},
                                         {k1, static_cast<std::uint8_t>(k1 ^ 0x80)},
                                         {k2, static_cast<std::uint8_t>(k2 + 1)}};
        Bytes p0(size), p1(size), p2(size), s(size), d(size);
        for (std::size_t j = 0; j < size; ++j) {
            // Three pixels in four are the key.
            const bool keyed = next() % 4 != 0;
            p0[j] = keyed || next() % 2 ? near[0][0] : near[0][1];
            p1[j] = keyed || next() % 2 ? near[1][0] : near[1][1];
            p2[j] = keyed ? near[2][0] : near[2][1];
            s[j] = static_cast<std::uint8_t>(next());
            d[j] = static_cast<std::uint8_t>(next());
            // A's 16-bit samples: the key (k0 k1) often, one byte of it otherwise.
            if (j % 2 == 1 && next() % 3 != 0) {
                s[j - 1] = keyed ? k0 : static_cast<std::uint8_t>(k0 + 1);
                s[j] = k1;
            }
        }
        std::vector<std::size_t> lengths;
        for (std::size_t m = 0; m <= 50; ++m) lengths.push_back(m);
        lengths.push_back(1001);
        lengths.push_back(1002);
        for (std::size_t at : {0, 1, 2, 3})
            for (std::size_t m : lengths) {
                SCOPED_TRACE(testing::Message() << "key " << int(key) << ", offset " << at << ", length " << m);
                Bytes want(m + 16, 0x5A), got(m + 16, 0x5A);
                ASSERT_TRUE(mergePlane8With(simd::kPortable, &p0[at], &p1[at], &p2[at], &s[at], &d[at], m, k0, k1, k2,
                                            want.data()));
                ASSERT_TRUE(
                    mergePlane8With(GetParam(), &p0[at], &p1[at], &p2[at], &s[at], &d[at], m, k0, k1, k2, got.data()));
                ASSERT_EQ(got, want);
                if (m % 2) continue;
                std::fill(want.begin(), want.end(), 0x5A);
                std::fill(got.begin(), got.end(), 0x5A);
                ASSERT_TRUE(mergePlane16With(simd::kPortable, &s[at], &d[at], m, k0, k1, want.data()));
                ASSERT_TRUE(mergePlane16With(GetParam(), &s[at], &d[at], m, k0, k1, got.data()));
                ASSERT_EQ(got, want);
            }
    }
}
