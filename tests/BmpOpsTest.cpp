// BMP maps: the header subset, padding, merge, channel swap, and both
// thumbnails (the PSD thumbnail lives in the BMP module). Every file
// written is read back with the independent reader of MapTestSupport.h.
#include <cmath>
#include <functional>
#include <set>

#include "BmpOps.h"
#include "FileAccess.h"
#include "MapTestSupport.h"
#include "PsdOps.h"
#include "TestSupport.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/PsdBuilder.h"

using namespace fixtures;
using maptest::put;
using maptest::readBmp;
using maptest::readPsd;

namespace {

using Bytes = std::vector<unsigned char>;

// Parses a built file's header through the module.
float parse(const Bytes& file) { return readBMPHeader(fileio::Bytes(file)); }

}  // namespace

TEST(BmpHeader, PaddingFollowsTheSinglePrecisionRule) {
    struct Case {
        int width, padding, stride;
    } cases[] = {
        {1, 1, 4},
        {2, 2, 8},
        {3, 3, 12},
        {4, 0, 12},
        {5, 1, 16},
        {6, 2, 20},
        {7, 3, 24},
        {0, 0, 0},
        {101, 1, 304},
        // 3w is no longer exact in single precision: 16777221 rounds to
        // 16777220, a multiple of 4, so no padding although w mod 4 is 3.
        {5592407, 0, 16777221},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(getPadding(c.width), c.padding);
        Bytes f = makeBmp(Picture(1, 1));
        putLE32(f, 18, std::uint32_t(c.width));
        ASSERT_EQ(parse(f), 0.0f);
        EXPECT_EQ(_bmpHdr.rowStride, c.stride);
    }
    EXPECT_EQ(getPadding(-3), 0);
}

TEST(BmpHeader, TakesItsFieldsAndRefusesWhatIsNotABitmap) {
    BmpOptions opt;
    opt.bitsPerPixel = 32;  // parsed; the operations refuse it
    opt.extraHeader = 12;
    Bytes f = makeBmp(letterF(), opt);
    ASSERT_EQ(parse(f), 0.0f);
    EXPECT_EQ(_bmpHdr.width, 6);
    EXPECT_EQ(_bmpHdr.height, 5);
    EXPECT_EQ(_bmpHdr.dataOffset, 66u);
    EXPECT_EQ(_bmpHdr.bitsPerPixel, 32);
    EXPECT_EQ(_bmpHdr.headerSize, 52u);
    EXPECT_EQ(_bmpHdr.compression, 0u);
    EXPECT_EQ(_bmpHdr.rowStride, 20);
    EXPECT_EQ(_bmpHdr.fileSize, f.size());

    Bytes notBm = f;
    notBm[1] = 'A';
    EXPECT_EQ(parse(notBm), bmp::kNotBmp);
    EXPECT_EQ(parse(Bytes(f.begin(), f.begin() + 37)), bmp::kNotBmp);  // shorter than the fields
    EXPECT_EQ(parse(Bytes(f.begin(), f.begin() + 38)), 0.0f);
    EXPECT_EQ(parse(Bytes()), bmp::kNotBmp);
}

TEST(BmpSwap, ExchangesTheChosenChannelsAndKeepsEverythingElse) {
    Picture pic = letterF();
    // Three distinct channels in every pixel, so each exchange shows.
    for (std::size_t i = 0; i < pic.px.size(); ++i) pic.px[i].g = std::uint8_t(10 + i);
    BmpOptions opt;
    opt.extraHeader = 8;
    opt.trailing = {1, 2, 3};
    const Bytes original = makeBmp(pic, opt);
    struct Case {
        double value;
        int mode;
    } cases[] = {{1, 1}, {2, 2}, {3, 3}, {2.7, 2}, {0.5, 0}, {3.999, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        std::string p = put(dir, "map.bmp", original);
        ASSERT_EQ(callExport("swapRGBBMP", p, c.value), 0.0f);
        Bytes got = readBytes(p);
        ASSERT_EQ(got.size(), original.size());
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + 62, got.begin())) << "header changed";
        EXPECT_TRUE(std::equal(original.end() - 3, original.end(), got.end() - 3)) << "trailing bytes changed";
        auto b = readBmp(got);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->pad, std::vector<std::uint8_t>(5 * 2, 0xEE));
        for (std::size_t i = 0; i < pic.px.size(); ++i) {
            Rgb want = pic.px[i];
            if (c.mode == 1) std::swap(want.b, want.g);
            if (c.mode == 2) std::swap(want.b, want.r);
            if (c.mode == 3) std::swap(want.g, want.r);
            ASSERT_EQ(b->pic.px[i], want) << "pixel " << i;
        }
        // The same mode again gives the file back.
        ASSERT_EQ(callExport("swapRGBBMP", p, c.value), 0.0f);
        EXPECT_EQ(readBytes(p), original);
    }
}

TEST(BmpSwap, RefusesBadArgumentsAndBadFiles) {
    TempDir dir;
    const Bytes good = makeBmp(letterF());
    std::string p = put(dir, "map.bmp", good);
    for (double v : {0.0, 4.0, -1.0, std::nan("")}) EXPECT_EQ(callExport("swapRGBBMP", p, v), -9.0f) << v;
    EXPECT_EQ(callExport("swapRGBBMP", nullptr, 1), -9.0f);
    EXPECT_EQ(callExport("swapRGBBMP", dir.path("missing.bmp"), 1), bmp::kCannotOpen);

    Bytes notBm = good;
    notBm[0] = 'X';
    Bytes huge = good;
    putLE32(huge, 18, 0x7fffffff);
    Bytes tall = good;
    putLE32(tall, 22, 0x40000000);
    Bytes farData = good;
    putLE32(farData, 10, 0xfffffff0u);
    struct Case {
        const char* what;
        Bytes file;
        float code;
    } cases[] = {
        {"not a bitmap", notBm, bmp::kNotBmp},
        {"width past the file", huge, bmp::kShortData},
        {"height past the file", tall, bmp::kShortData},
        {"data offset past the file", farData, bmp::kShortData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string q = put(dir, "case.bmp", c.file);
        EXPECT_EQ(callExport("swapRGBBMP", q, 2), c.code);
        EXPECT_EQ(readBytes(q), c.file);
    }
}

TEST(BmpMaps, TruncatedFilesAreRefusedUntouched) {
    // Every prefix of a valid map: refused and untouched, except the one
    // that lacks only the last row's padding, whose pixels are all there.
    const Bytes full = makeBmp(letterF());
    BmpOptions noPad;
    noPad.omitLastPadding = true;
    const std::size_t lastPixel = makeBmp(letterF(), noPad).size();
    TempDir dir;
    for (std::size_t len = 0; len < full.size(); ++len) {
        SCOPED_TRACE(len);
        const Bytes cut(full.begin(), full.begin() + len);
        const std::string p = put(dir, "cut.bmp", cut);
        const std::string whole = put(dir, "whole.bmp", full);
        const float want = len < 38 ? bmp::kNotBmp : (len < lastPixel ? bmp::kShortData : 0.0f);
        EXPECT_EQ(swapChannelsBMP(p.c_str(), 3), want);
        EXPECT_EQ(mergeBMP(whole.c_str(), p.c_str()), want);
        EXPECT_EQ(mergeBMP(p.c_str(), whole.c_str()), want);
        if (want != 0.0f) {
            EXPECT_EQ(readBytes(p), cut);
        }
        EXPECT_EQ(readBytes(whole), full);
        const float thumb = len < 38 ? bmp::kThumbNotBmp : (len < lastPixel ? bmp::kShortData : 0.0f);
        EXPECT_EQ(createBMPthumb(put(dir, "t.bmp", cut).c_str(), 3), thumb);
    }
}

TEST(BmpMerge, TargetBackgroundTakesTheSourcePixels) {
    // Source: the F; its first pixel (blue) is the key. Target: blue
    // background with a green block and one red pixel.
    const Picture src = letterF();
    Picture dst(6, 5, kBlue);
    dst.at(3, 3) = dst.at(4, 3) = Rgb{0, 200, 0};
    dst.at(1, 0) = kRed;
    const Bytes srcFile = makeBmp(src), dstFile = makeBmp(dst, BmpOptions{0, 24, false, 0x33, false, {}});
    TempDir dir;
    std::string s = put(dir, "src.bmp", srcFile), t = put(dir, "dst.bmp", dstFile);
    std::string m = t;
    ASSERT_EQ(callExport("mergeMapsBMP", s, 0, &m), 0.0f);
    EXPECT_EQ(readBytes(s), srcFile);
    auto b = readBmp(readBytes(t));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->pad, std::vector<std::uint8_t>(10, 0x33));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(b->pic.at(x, y), dst.at(x, y) == kBlue ? src.at(x, y) : dst.at(x, y));

    // A target without the key colour is rewritten as it was.
    Picture white(6, 5, Rgb{255, 255, 255});
    const Bytes whiteFile = makeBmp(white);
    std::string w = put(dir, "white.bmp", whiteFile);
    ASSERT_EQ(mergeBMP(s.c_str(), w.c_str()), 0.0f);
    EXPECT_EQ(readBytes(w), whiteFile);
}

TEST(BmpMerge, RefusesMismatchesAndUnreadableMapsUntouched) {
    TempDir dir;
    const Bytes base = makeBmp(letterF());
    BmpOptions deep;
    deep.bitsPerPixel = 32;
    BmpOptions longer;
    longer.extraHeader = 4;
    Bytes notBm = base;
    notBm[0] = 'b';
    struct Case {
        const char* what;
        Bytes other;
        float code;
    } cases[] = {
        {"heights differ", makeBmp(Picture(6, 4)), bmp::kSizesDiffer},
        {"widths differ", makeBmp(Picture(5, 5)), bmp::kSizesDiffer},
        {"one of them 32-bit", makeBmp(letterF(), deep), bmp::kNot24Bit},
        {"data offsets differ", makeBmp(letterF(), longer), bmp::kLayoutDiffers},
        {"not a bitmap", notBm, bmp::kNotBmp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string a = put(dir, "a.bmp", base), b = put(dir, "b.bmp", c.other);
        EXPECT_EQ(mergeBMP(a.c_str(), b.c_str()), c.code);
        EXPECT_EQ(mergeBMP(b.c_str(), a.c_str()), c.code);
        EXPECT_EQ(readBytes(a), base);
        EXPECT_EQ(readBytes(b), c.other);
    }
    std::string a = put(dir, "a.bmp", base);
    std::string missing = dir.path("missing.bmp");
    EXPECT_EQ(mergeBMP(a.c_str(), missing.c_str()), bmp::kCannotOpen);
    EXPECT_EQ(mergeBMP(missing.c_str(), a.c_str()), bmp::kSourceCannotOpen);
    std::string none;
    EXPECT_EQ(callExport("mergeMapsBMP", a, 0, nullptr), -9.0f);
    EXPECT_EQ(callExport("mergeMapsBMP", nullptr, 0, &none), -9.0f);
}

TEST(BmpMaps, ReadOnlyMapsFailWithTheReopenCode) {
    TempDir dir;
    Picture blue(6, 5, kBlue);
    const Bytes src = makeBmp(letterF()), dst = makeBmp(blue);
    std::string s = put(dir, "src.bmp", src), t = put(dir, "dst.bmp", dst);
    {
        maptest::ReadOnlyFile lock(s);
        if (!lock.active()) GTEST_SKIP() << "cannot make a file read-only here";
        EXPECT_EQ(mergeBMP(s.c_str(), t.c_str()), bmp::kSourceNotWritable);
        EXPECT_EQ(swapChannelsBMP(s.c_str(), 1), bmp::kSourceNotWritable);
        EXPECT_EQ(swapChannelsBMP(s.c_str(), 0), bmp::kSourceNotWritable);
        EXPECT_EQ(createBMPthumb(s.c_str(), 2), bmp::kThumbCannotWrite);
    }
    {
        maptest::ReadOnlyFile lock(t);
        EXPECT_EQ(mergeBMP(s.c_str(), t.c_str()), bmp::kTargetNotWritable);
    }
    EXPECT_EQ(readBytes(s), src);
    EXPECT_EQ(readBytes(t), dst);
}

// Layouts other programs write. Every BMP export reads the same stored
// rows whatever header precedes them and whichever way they are stored,
// and refuses, untouched, the files whose rows it would misread.
namespace {

struct BmpRun {
    const char* what;
    std::function<float(const std::string& dir, const std::string& map)> run;  // map: the file changed
};

// The exports on a map (the merge's source is a good copy of the map's
// own layout, key pixel first, so that some pixels take it).
std::vector<BmpRun> bmpRuns() {
    return {
        {"swapRGBBMP", [](const std::string&, const std::string& m) { return swapChannelsBMP(m.c_str(), 2); }},
        {"CreateThumbnailBMP", [](const std::string&, const std::string& m) { return createBMPthumb(m.c_str(), 4); }},
        {"mergeMapsBMP (target)",
         [](const std::string& d, const std::string& m) { return mergeBMP((d + "/src.bmp").c_str(), m.c_str()); }},
    };
}

Bytes withLE32(Bytes f, std::size_t at, std::uint32_t v) {
    putLE32(f, at, v);
    return f;
}

// letterF with some pixels equal to its first (the merge's key).
Picture keyedF() {
    Picture p = letterF();
    p.at(3, 2) = p.at(0, 0);
    p.at(5, 4) = p.at(0, 0);
    return p;
}

}  // namespace

TEST(BmpLayouts, RowsTheOperationsWouldMisreadAreRefusedUntouched) {
    const Bytes good = makeBmp(keyedF());
    BmpOptions deep;
    deep.bitsPerPixel = 32;
    BmpOptions sixteen;
    sixteen.bitsPerPixel = 16;
    const struct {
        const char* what;
        Bytes file;
        float code;
    } files[] = {
        {"32-bit", makeBmp(keyedF(), deep), bmp::kNot24Bit},
        {"16-bit", makeBmp(keyedF(), sixteen), bmp::kNot24Bit},
        {"RLE compression", withLE32(good, 30, 1), bmp::kUnreadLayout},
        {"bit fields", withLE32(good, 30, 3), bmp::kUnreadLayout},
        {"the 12-byte header", withLE32(good, 14, 12), bmp::kUnreadLayout},
        {"rows inside the header", withLE32(good, 10, 40), bmp::kUnreadLayout},
    };
    for (const auto& f : files)
        for (const BmpRun& r : bmpRuns()) {
            SCOPED_TRACE(std::string(f.what) + ", " + r.what);
            TempDir dir;
            put(dir, "src.bmp", good);
            const std::string m = put(dir, "map.bmp", f.file);
            EXPECT_EQ(r.run(dir.path(""), m), f.code);
            EXPECT_EQ(readBytes(m), f.file);
        }
    // The merge checks its source alike.
    TempDir dir;
    const std::string s = put(dir, "s.bmp", makeBmp(keyedF(), deep)), t = put(dir, "t.bmp", good);
    EXPECT_EQ(mergeBMP(s.c_str(), t.c_str()), bmp::kNot24Bit);
    EXPECT_EQ(readBytes(t), good);
}

TEST(BmpLayouts, TopDownRowsAndLongerHeadersGiveTheSameRows) {
    // A file of the same stored rows as the plain one: its result must be
    // the plain file's result with the same header changes.
    BmpOptions topDown;
    topDown.topDown = true;
    BmpOptions v4, v5;
    v4.extraHeader = 68;  // the 108-byte header
    v5.extraHeader = 84;  // the 124-byte header
    const struct {
        const char* what;
        BmpOptions opt;
    } layouts[] = {{"top-down", topDown}, {"108-byte header", v4}, {"124-byte header", v5}};
    for (const auto& l : layouts)
        for (const BmpRun& r : bmpRuns()) {
            SCOPED_TRACE(std::string(l.what) + ", " + r.what);
            TempDir plainDir, dir;
            put(plainDir, "src.bmp", makeBmp(keyedF()));
            put(dir, "src.bmp", makeBmp(keyedF(), l.opt));
            const std::string plain = put(plainDir, "map.bmp", makeBmp(keyedF()));
            const std::string m = put(dir, "map.bmp", makeBmp(keyedF(), l.opt));
            const Bytes before = readBytes(m);
            ASSERT_EQ(r.run(plainDir.path(""), plain), 0.0f);
            ASSERT_EQ(r.run(dir.path(""), m), 0.0f);
            const Bytes want = readBytes(plain), got = readBytes(m);
            const std::size_t at = 54 + l.opt.extraHeader;
            ASSERT_EQ(got.size(), want.size() + l.opt.extraHeader);
            EXPECT_TRUE(std::equal(want.begin() + 54, want.end(), got.begin() + std::ptrdiff_t(at))) << "rows";
            EXPECT_TRUE(std::equal(before.begin() + 38, before.begin() + std::ptrdiff_t(at), got.begin() + 38))
                << "the header after the size fields is kept";
            const std::int32_t h = static_cast<std::int32_t>(fileio::loadLE32(want.data() + 22));
            EXPECT_EQ(static_cast<std::int32_t>(fileio::loadLE32(got.data() + 22)), l.opt.topDown ? -h : h);
            EXPECT_EQ(fileio::loadLE32(got.data() + 2), got.size());
        }
}

namespace {

// Source position shown by output position k under the running-sum rule:
// trunc(a_k) with a_0 = 0 and a_(k+1) = a_k + step in single precision.
std::vector<int> sampled(float step, int count) {
    std::vector<int> at;
    float a = 0.0f;
    for (int k = 0; k < count; ++k) {
        at.push_back(int(a));
        a = a + step;
    }
    return at;
}

}  // namespace

TEST(BmpThumbnail, KeepsTheAspectAndSamplesTheNamedPixels) {
    struct Case {
        int w, h, size, outW, outH, padding;
    } cases[] = {
        {400, 200, 100, 100, 50, 0},                              // step 4: columns 0, 4, 8, ...
        {200, 400, 100, 50, 100, 2}, {100, 60, 100, 100, 60, 0},  // step 1: the same pixels
        {202, 100, 101, 101, 50, 1},                              // width 101: one padding byte a row
        {300, 170, 77, 77, 43, 1},                                // a step that is not a whole number
        {64, 64, 64, 64, 64, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " to " + std::to_string(c.size));
        TempDir dir;
        BmpOptions opt;
        opt.extraHeader = 16;
        const Bytes original = makeBmp(coordinates(c.w, c.h), opt);
        std::string p = put(dir, "map.bmp", original);
        ASSERT_EQ(callExport("CreateThumbnailBMP", p, c.size + 0.75), 0.0f);
        const Bytes got = readBytes(p);
        auto b = readBmp(got);
        ASSERT_TRUE(b);
        ASSERT_EQ(b->width, c.outW);
        ASSERT_EQ(b->height, c.outH);
        const std::size_t n = std::size_t(c.outH) * (3 * c.outW + c.padding);
        EXPECT_EQ(got.size(), 70 + n);
        EXPECT_EQ(b->fileSize, 70 + n);
        EXPECT_EQ(b->imageSize, n);
        EXPECT_EQ(b->pad, std::vector<std::uint8_t>(std::size_t(c.outH) * c.padding, 0));
        for (std::size_t i = 0; i < 70; ++i)
            if ((i < 2 || i > 5) && (i < 18 || i > 25) && (i < 34 || i > 37)) {
                ASSERT_EQ(got[i], original[i]) << "header byte " << i;
            }
        const float step = c.w < c.h ? float(c.h) / float(c.size) : float(c.w) / float(c.size);
        const std::vector<int> cols = sampled(step, c.outW), rows = sampled(step, c.outH);
        for (int j = 0; j < c.outH; ++j)
            for (int i = 0; i < c.outW; ++i) {
                int x, y;
                coordinatesOf(b->pic.at(i, j), x, y);
                ASSERT_EQ(x, cols[i]) << "output " << i << "," << j;
                ASSERT_EQ(y, rows[j]) << "output " << i << "," << j;
            }
        if (c.w == 400) {
            EXPECT_EQ(cols[25], 100);
        }
    }
}

TEST(BmpThumbnail, LeavesTheFileAsItWasWhenItCannotOrNeedNotShrink) {
    TempDir dir;
    const Bytes small = makeBmp(coordinates(75, 75));
    Bytes zeroWide = makeBmp(Picture(0, 120));
    Bytes noRows = small;
    putLE32(noRows, 22, 0);
    Bytes notBm = small;
    notBm[1] = 'N';
    struct Case {
        const char* what;
        Bytes file;
        double size;
        float code;
    } cases[] = {
        {"smaller than the size", small, 100, 0.0f},        {"size zero", small, 0, bmp::kThumbBadSize},
        {"size below zero", small, -5, bmp::kThumbBadSize}, {"size below one", small, 0.9, bmp::kThumbBadSize},
        {"no rows", noRows, 100, bmp::kThumbNotPositive},   {"no columns", zeroWide, 100, bmp::kThumbNotPositive},
        {"not a bitmap", notBm, 10, bmp::kThumbNotBmp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string p = put(dir, "t.bmp", c.file);
        EXPECT_EQ(callExport("CreateThumbnailBMP", p, c.size), c.code);
        EXPECT_EQ(readBytes(p), c.file);
    }
    EXPECT_EQ(callExport("CreateThumbnailBMP", dir.path("missing.bmp"), 10), bmp::kThumbCannotOpen);
    EXPECT_EQ(callExport("CreateThumbnailBMP", nullptr, 10), -9.0f);
}

// ---------------------------------------------------------------------------
// The PSD thumbnail.

namespace {

// Runs the PSD thumbnail through the export where the build has it.
float psdThumb(const std::string& path, int size) {
    if (kWindowsBuild) return callExport("CreateThumbnail", path, size);
    return createThumb(path.c_str(), size);
}

// The source position of each output pixel of a size x size PSD thumbnail,
// or (-1, -1) for black.
struct Shown {
    int x, y;
};

std::vector<Shown> shownPixels(const maptest::PsdFile& p) {
    std::vector<Shown> out;
    for (std::size_t i = 0; i < p.planes[0].size(); ++i) {
        Rgb px{p.planes[0][i], p.planes[1][i], p.planes[2][i]};
        int x = -1, y = -1;
        if (px != Rgb{}) coordinatesOf(px, x, y);
        out.push_back({x, y});
    }
    return out;
}

}  // namespace

TEST(PsdThumbnail, LandscapeIsCentredWithBlackRowsAboveAndBelow) {
    TempDir dir;
    PsdOptions opt;
    opt.resourcesLength = 30;
    opt.layersLength = 6;
    const Bytes original = makePsdRgb(coordinates(512, 256), opt);
    std::string p = put(dir, "map.psd", original);
    ASSERT_EQ(psdThumb(p, 128), 0.0f);
    const Bytes got = readBytes(p);
    auto t = readPsd(got);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->rows, 128u);
    EXPECT_EQ(t->columns, 128u);
    EXPECT_EQ(t->channels, 3);
    EXPECT_EQ(t->trailing, 0u);
    EXPECT_TRUE(std::equal(original.begin() + 22, original.begin() + t->dataOffset, got.begin() + 22));
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            const std::size_t i = std::size_t(y) * 128 + x;
            Rgb px{t->planes[0][i], t->planes[1][i], t->planes[2][i]};
            if (y < 32 || y >= 96) {
                ASSERT_EQ(px, Rgb{}) << x << "," << y;
            } else {
                int sx, sy;
                coordinatesOf(px, sx, sy);
                ASSERT_EQ(sx, 4 * x);
                ASSERT_EQ(sy, 4 * (y - 32));
            }
        }
}

TEST(PsdThumbnail, RemainderIntervalsSpreadTheLeftOverPixels) {
    // 300 x 300 to 128: f = 2 and 300 - 256 = 44 left over, so one extra
    // source pixel every third step. The column counter runs on across
    // rows, so the second row starts its extra steps one column earlier.
    TempDir dir;
    std::string p = put(dir, "map.psd", makePsdRgb(coordinates(300, 300)));
    ASSERT_EQ(psdThumb(p, 128), 0.0f);
    auto t = readPsd(readBytes(p));
    ASSERT_TRUE(t);
    ASSERT_EQ(t->rows, 128u);
    std::vector<Shown> shown = shownPixels(*t);
    auto at = [&](int x, int y) { return shown[std::size_t(y) * 128 + x]; };
    const int row0[] = {0, 2, 4, 7, 9, 11, 14}, row1[] = {0, 3, 5, 7, 10, 12, 14};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(at(i, 0).x, row0[i]) << i;
        EXPECT_EQ(at(i, 1).x, row1[i]) << i;
    }
    const int rows[] = {0, 2, 4, 7, 9, 11, 14};
    for (int j = 0; j < 7; ++j) EXPECT_EQ(at(5, j).y, rows[j]) << j;
    // The whole canvas is picture, always inside the source, in order.
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            Shown s = at(x, y);
            ASSERT_TRUE(s.x >= 0 && s.x < 300 && s.y >= 0 && s.y < 300) << x << "," << y;
            if (x > 0) {
                ASSERT_GT(s.x, at(x - 1, y).x);
            }
            if (y > 0) {
                ASSERT_GT(s.y, at(x, y - 1).y);
            }
        }
}

TEST(PsdThumbnail, PortraitAndSmallPicturesSitCentredOnBlack) {
    struct Case {
        int w, h, size;
        int left, top, outW, outH, f;
    } cases[] = {
        {256, 512, 128, 32, 0, 64, 128, 4},  // portrait: black columns left and right
        {40, 20, 64, 12, 22, 40, 20, 1},     // smaller than the canvas: copied 1:1
        {20, 40, 64, 22, 12, 20, 40, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        TempDir dir;
        std::string p = put(dir, "map.psd", makePsdRgb(coordinates(c.w, c.h)));
        ASSERT_EQ(psdThumb(p, c.size), 0.0f);
        auto t = readPsd(readBytes(p));
        ASSERT_TRUE(t);
        ASSERT_EQ(t->columns, std::uint32_t(c.size));
        std::vector<Shown> shown = shownPixels(*t);
        for (int y = 0; y < c.size; ++y)
            for (int x = 0; x < c.size; ++x) {
                Shown s = shown[std::size_t(y) * c.size + x];
                const bool in = x >= c.left && x < c.left + c.outW && y >= c.top && y < c.top + c.outH;
                ASSERT_EQ(s.x, in ? (x - c.left) * c.f : -1) << x << "," << y;
                ASSERT_EQ(s.y, in ? (y - c.top) * c.f : -1) << x << "," << y;
            }
    }
}

TEST(PsdThumbnail, RefusesWhatItCannotShrinkUntouched) {
    TempDir dir;
    const Picture pic = coordinates(40, 30);
    PsdOptions rle;
    rle.compression = 1;
    PsdOptions grey16;
    grey16.depth = 16;
    PsdOptions cmyk;
    cmyk.colourMode = 4;  // four planes: the black one would be dropped
    Bytes shortPlanes = makePsdRgb(pic);
    shortPlanes.resize(shortPlanes.size() - 1);
    Bytes huge = makePsdRgb(pic);
    putBE32(huge, 14, 0x7fffffff);
    putBE32(huge, 18, 0x7fffffff);
    Bytes negative = makePsdRgb(pic);
    putBE32(negative, 18, 0x80000000u);
    struct Case {
        const char* what;
        Bytes file;
        int size;
        float code;
    } cases[] = {
        {"RLE", makePsdRgb(pic, rle), 16, psd::kCompressed},
        {"two channels", makePsd(40, 30, 2, {Bytes(1200), Bytes(1200)}), 16, psd::kNotRgb8},
        {"CMYK", makePsdRgb(pic, cmyk, 0), 16, psd::kNotRgb8},
        {"16-bit", makePsd(40, 30, 3, {Bytes(2400), Bytes(2400), Bytes(2400)}, grey16), 16, psd::kNotRgb8},
        {"planes short", shortPlanes, 16, psd::kShortData},
        {"size past the file", huge, 16, psd::kShortData},
        {"columns past 2^31", negative, 16, psd::kShortData},
        {"size zero", makePsdRgb(pic), 0, bmp::kThumbBadSize},
        {"size past the largest side", makePsdRgb(pic), 30001, bmp::kThumbBadSize},
        {"not a PSD", makeBmp(pic), 16, psd::kBadSignature},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string p = put(dir, "t.psd", c.file);
        EXPECT_EQ(psdThumb(p, c.size), c.code);
        EXPECT_EQ(readBytes(p), c.file);
    }
    EXPECT_EQ(psdThumb(dir.path("missing.psd"), 16), psd::kBadSignature);

    // Every prefix of a valid map is refused, untouched.
    const Bytes full = makePsdRgb(letterF());
    for (std::size_t len = 0; len < full.size(); ++len) {
        const Bytes cut(full.begin(), full.begin() + len);
        std::string p = put(dir, "cut.psd", cut);
        const float r = createThumb(p.c_str(), 3);
        EXPECT_TRUE(r == psd::kBadSignature || r == psd::kShortHeader || r == psd::kShortData) << len << ": " << r;
        EXPECT_EQ(readBytes(p), cut) << len;
    }

    std::string ro = put(dir, "ro.psd", makePsdRgb(pic));
    maptest::ReadOnlyFile lock(ro);
    if (lock.active()) {
        EXPECT_EQ(psdThumb(ro, 16), psd::kCannotWrite);
        EXPECT_EQ(readBytes(ro), makePsdRgb(pic));
    }
}

TEST(PsdThumbnail, AFourChannelMapKeepsItsColourAndSaysThreeChannels) {
    TempDir dir;
    std::string p = put(dir, "rgba.psd", makePsdRgb(letterF(), {}, 0x7f));
    ASSERT_EQ(psdThumb(p, 6), 0.0f);
    auto t = readPsd(readBytes(p));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->channels, 3);
    EXPECT_EQ(t->trailing, 0u);
    // 6 x 5 into 6: step 1 and no margin row, so the last row is black.
    Picture want(6, 6);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) want.at(x, y) = letterF().at(x, y);
    EXPECT_EQ(maptest::psdPicture(*t), want);
}
