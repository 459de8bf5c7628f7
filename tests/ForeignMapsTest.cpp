// Maps as other programs write them: ImageMagick, vips and libtiff's
// tiffcp, run at test time on pictures made here, in the layouts they
// offer. Every operation that reads a map either gives the right answer
// (by libtiff's reading of the same TIFF, or, for BMP and PSD, what the
// operation gives on the same picture in the host's layout) or refuses
// with a code its table lists, and leaves the map as it was. Programs that
// are missing are named and their files skipped.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BmpOps.h"
#include "FileAccess.h"
#include "JpegOps.h"
#include "LibTiffReader.h"
#include "Platform.h"
#include "PsdOps.h"
#include "ResultMeaning.h"
#include "TargaOps.h"
#include "TestSupport.h"
#include "TiffInternal.h"
#include "TiffKernels.h"
#include "TiffOps.h"
#include "fixtures/Files.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool haveTool(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

// ImageMagick's own convert (the versioned name first: a bare `convert`
// may be something else on the PATH).
std::string imageMagick() {
    for (const char* name : {"convert-im6.q16", "magick", "convert"})
        if (haveTool(name)) return name;
    return "";
}

// A binary PGM (1 channel) or PPM (3) of w x h, 8 or 16 bits, smooth with
// some noise so that the maps hold many levels.
void writePnm(const std::string& path, int w, int h, int channels, int bits) {
    std::string head = std::string(channels == 1 ? "P5" : "P6") + "\n" + std::to_string(w) + " " + std::to_string(h) +
                       "\n" + (bits == 16 ? "65535" : "255") + "\n";
    Bytes f(head.begin(), head.end());
    std::uint32_t r = 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                r = r * 1103515245u + 12345u;
                const std::uint32_t v = (x * 1400u + y * 900u + c * 20000u + (r >> 20)) % 65536u;
                if (bits == 16) f.push_back(static_cast<std::uint8_t>(v >> 8));
                f.push_back(static_cast<std::uint8_t>(bits == 16 ? v : v >> 8));
            }
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(out);
    ASSERT_EQ(std::fwrite(f.data(), 1, f.size(), out), f.size());
    std::fclose(out);
}

struct Variant {
    const char* what;
    std::string tool;     // the program that must be there
    std::string command;  // {IN8G} {IN8C} {IN16G} {IN16C} {BASE8} {BASEF} {OUT} {TMP} are filled in
};

// Used by the maps that libtiff checks; a build without it has none.
[[maybe_unused]] std::string fill(std::string s, const std::string& key, const std::string& value) {
    for (std::size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
    return s;
}

bool listed(const std::string& exportName, float code) {
    return describeResult(exportName, code).find("not a result listed") == std::string::npos;
}

// A picture as ImageMagick decodes it: 8-bit RGB, top row first.
Bytes decoded(const std::string& im, const std::string& file, const std::string& scratch) {
    const std::string raw = scratch + "decoded.rgb";
    std::remove(raw.c_str());
    (void)std::system((im + " '" + file + "' -depth 8 rgb:" + raw + " >/dev/null 2>&1").c_str());
    return readBytes(raw);
}

}  // namespace

// BMP and PSD maps as ImageMagick writes them. The operations give, on each
// map they read, what they give on the same picture in the host's own
// layout (ImageMagick decodes both alike), and refuse the others with a
// listed code, untouched.
TEST(ForeignMaps, BmpAndPsdMapsOfImageMagick) {
    const std::string im = imageMagick();
    if (im.empty()) GTEST_SKIP() << "ImageMagick is not installed";
    TempDir dir;
    writePnm(dir.path("p1.ppm"), 37, 23, 3, 8);
    // The target shows the source's first stored pixel (its bottom left)
    // every fifth pixel, so that the merge has pixels to take.
    writePnm(dir.path("p2.ppm"), 37, 23, 3, 8);
    {
        Bytes p1 = readBytes(dir.path("p1.ppm"));
        const Bytes p2 = readBytes(dir.path("p2.ppm"));
        const std::size_t head = p1.size() - 37 * 23 * 3, key = head + 3 * 37 * 22;
        for (std::size_t i = head; i + 3 <= p1.size(); i += 15) std::copy_n(&p2[key], 3, &p1[i]);
        writeBytes(dir.path("p1.ppm"), p1);
    }
    struct Layout {
        const char* what;
        std::string ext, prefix, options;
        bool readable;
    };
    const Layout layouts[] = {
        {"BMP, 40-byte header", "bmp", "BMP3:", "", true},
        {"BMP, 124-byte header (ImageMagick's default)", "bmp", "", "", true},
        {"BMP, 12-byte header", "bmp", "BMP2:", "", false},
        {"BMP, 32-bit with alpha", "bmp", "", "-alpha on -channel A -evaluate set 100% +channel", false},
        {"BMP, 8-bit palette, RLE", "bmp", "", "-colors 8 -type palette -compress rle", false},
        {"BMP, 16-bit RGB565", "bmp", "", "-define bmp:subtype=RGB565", false},
        {"PSD, 8-bit RGB", "psd", "", "-compress none", true},
        {"PSD, 8-bit RGB, RLE", "psd", "", "-compress rle", false},
        {"PSD, 16-bit RGB", "psd", "", "-depth 16 -compress none", false},
        {"PSD, CMYK", "psd", "", "-colorspace cmyk -compress none", false},
    };
    auto make = [&](const Layout& l, const std::string& picture, const std::string& name) {
        const std::string out = dir.path(name + "." + l.ext);
        std::remove(out.c_str());
        (void)std::system((im + " " + dir.path(picture) + " " + (l.options.empty() ? "-depth 8" : l.options) + " " +
                           l.prefix + out + " >/dev/null 2>&1")
                              .c_str());
        return out;
    };
    struct Op {
        const char *exportName, *ext;
        std::function<float(const std::string& target, const std::string& source, const std::string& out)> run;
        bool writesOut;  // compare the output file, else the target
    };
    const Op ops[] = {
        {"saveAsJpeg", "bmp", [](auto& t, auto&, auto& o) { return convertToJPEG(t.c_str(), o.c_str(), 50); }, true},
        {"swapRGBBMP", "bmp", [](auto& t, auto&, auto&) { return swapChannelsBMP(t.c_str(), 2); }, false},
        {"CreateThumbnailBMP", "bmp", [](auto& t, auto&, auto&) { return createBMPthumb(t.c_str(), 8); }, false},
        {"mergeMapsBMP", "bmp", [](auto& t, auto& s, auto&) { return mergeBMP(s.c_str(), t.c_str()); }, false},
        {"swapRGBPSD", "psd", [](auto& t, auto&, auto&) { return swapChannelsPSD(t.c_str(), 2); }, false},
        {"mergeMapsPSD", "psd", [](auto& t, auto& s, auto&) { return mergePSD(s.c_str(), t.c_str()); }, false},
    };
    for (const Op& op : ops) {
        const Layout& plain = std::string(op.ext) == "bmp" ? layouts[0] : layouts[6];
        for (const Layout& l : layouts) {
            if (l.ext != op.ext) continue;
            SCOPED_TRACE(std::string(op.exportName) + ", " + l.what);
            const std::string out = dir.path("out.bin");
            // The host's layout first: what the operation must give.
            const std::string pt = make(plain, "p1.ppm", "plainT"), ps = make(plain, "p2.ppm", "plainS");
            std::remove(out.c_str());
            ASSERT_EQ(op.run(pt, ps, out), 0.0f);
            const Bytes want = op.writesOut ? readBytes(out) : decoded(im, pt, dir.path(""));
            ASSERT_FALSE(want.empty());

            const std::string t = make(l, "p1.ppm", "t"), s = make(l, "p2.ppm", "s");
            ASSERT_TRUE(fileExists(t) && fileExists(s));
            if (l.readable) {
                ASSERT_TRUE(decoded(im, t, dir.path("")) == decoded(im, make(plain, "p1.ppm", "again"), dir.path("")))
                    << "the two layouts hold different pictures";
            }
            const Bytes before = readBytes(t);
            std::remove(out.c_str());
            const float code = op.run(t, s, out);
            if (l.readable) {
                ASSERT_EQ(code, 0.0f);
                EXPECT_TRUE((op.writesOut ? readBytes(out) : decoded(im, t, dir.path(""))) == want);
            } else {
                EXPECT_NE(code, 0.0f);
                EXPECT_TRUE(listed(op.exportName, code)) << code;
                EXPECT_TRUE(readBytes(t) == before) << "the map changed";
                EXPECT_FALSE(fileExists(out));
            }
        }
    }
}

#if BRINDLEX_HAVE_LIBTIFF

namespace {

// What libtiff says the library must read right: uncompressed, strips, one
// plane (or one sample), either byte order, grey or RGB with 0 black, 8- or
// 16-bit unsigned or 32-bit float samples.
bool readable(const LibTiffLayout& l) {
    const bool kind = (l.bits == 32 && l.format == 3) || ((l.bits == 8 || l.bits == 16) && l.format == 1);
    return l.compression == 1 && !l.tiled && (l.planar == 1 || l.samples == 1) && (l.samples == 1 || l.samples == 3) &&
           (l.photometric == 1 || l.photometric == 2) && kind && !l.pixels.empty();
}

float floatAt(const Bytes& p, std::size_t i) {
    float f;
    std::memcpy(&f, &p[4 * i], 4);  // libtiff gives this machine's byte order
    return f;
}

}  // namespace

TEST(ForeignMaps, ReadRightOrRefusedWithAListedCodeAndUntouched) {
    TempDir dir;
    const std::string im = imageMagick();
    std::vector<std::string> missing, readRight;
    std::map<std::string, std::string> keptMaps;  // each variant's map, after the operations
    writePnm(dir.path("g8.pgm"), 37, 23, 1, 8);
    writePnm(dir.path("c8.ppm"), 37, 23, 3, 8);
    writePnm(dir.path("g16.pgm"), 37, 23, 1, 16);
    writePnm(dir.path("c16.ppm"), 37, 23, 3, 16);
    const std::string flt = "-define quantum:format=floating-point -depth 32", quiet = " >/dev/null 2>&1";
    const Variant variants[] = {
        {"ImageMagick RGB 8", im, im + " {IN8C} -compress none {OUT}"},
        {"ImageMagick grey 8", im, im + " {IN8G} -compress none {OUT}"},
        {"ImageMagick RGB 16", im, im + " {IN16C} -compress none {OUT}"},
        {"ImageMagick grey 16", im, im + " {IN16G} -compress none {OUT}"},
        {"ImageMagick RGB float", im, im + " {IN16C} " + flt + " -compress none {OUT}"},
        {"ImageMagick grey float", im, im + " {IN16G} " + flt + " -compress none {OUT}"},
        {"ImageMagick RGB 8, strips of 4 rows", im, im + " {IN8C} -define tiff:rows-per-strip=4 -compress none {OUT}"},
        {"ImageMagick grey float, one row a strip", im,
         im + " {IN16G} " + flt + " -define tiff:rows-per-strip=1 -compress none {OUT}"},
        {"ImageMagick RGB 8, big-endian", im, im + " {IN8C} -define tiff:endian=msb -compress none {OUT}"},
        {"ImageMagick RGB float, big-endian", im,
         im + " {IN16C} " + flt + " -define tiff:endian=msb -compress none {OUT}"},
        {"ImageMagick grey float, big-endian", im,
         im + " {IN16G} " + flt + " -define tiff:endian=msb -compress none {OUT}"},
        {"ImageMagick grey 16, big-endian", im, im + " {IN16G} -define tiff:endian=msb -compress none {OUT}"},
        {"ImageMagick RGB 8, LZW", im, im + " {IN8C} -compress lzw {OUT}"},
        {"ImageMagick grey float, deflate", im, im + " {IN16G} " + flt + " -compress zip {OUT}"},
        {"ImageMagick RGB 8, planar", im, im + " {IN8C} -interlace plane -compress none {OUT}"},
        {"ImageMagick RGB 8, tiled", im, im + " {IN8C} -define tiff:tile-geometry=16x16 -compress none {OUT}"},
        {"ImageMagick grey 8, 0 white", im, im + " {IN8G} -define tiff:photometric=min-is-white -compress none {OUT}"},
        {"ImageMagick palette", im, im + " {IN8C} -colors 16 -type palette -compress none {OUT}"},
        {"ImageMagick RGBA 8", im, im + " {IN8C} -alpha opaque -type TrueColorAlpha -compress none {OUT}"},
        {"ImageMagick CMYK 8", im, im + " {IN8C} -colorspace cmyk -compress none {OUT}"},
        {"vips RGB 8", "vips", "vips copy {IN8C} {OUT}"},
        {"vips grey 16", "vips", "vips copy {IN16G} {OUT}"},
        {"vips RGB float", "vips", "vips linear {IN8C} {OUT} 0.0039 0"},
        {"vips grey float, tiled", "vips", "vips linear {IN8G} {TMP}.v 0.0039 0 && vips tiffsave {TMP}.v {OUT} --tile"},
        {"vips RGB 8, deflate", "vips", "vips tiffsave {IN8C} {OUT} --compression deflate"},
        {"tiffcp RGB 8, strips of 3 rows", "tiffcp", "tiffcp -c none -r 3 {BASE8} {OUT}"},
        {"tiffcp RGB float, strips of 5 rows", "tiffcp", "tiffcp -c none -r 5 {BASEF} {OUT}"},
        {"tiffcp RGB 8, big-endian", "tiffcp", "tiffcp -c none -B {BASE8} {OUT}"},
        {"tiffcp RGB float, big-endian, strips of 2 rows", "tiffcp", "tiffcp -c none -B -r 2 {BASEF} {OUT}"},
        {"tiffcp RGB 8, planar", "tiffcp", "tiffcp -c none -p separate {BASE8} {OUT}"},
        {"tiffcp RGB 8, tiles", "tiffcp", "tiffcp -c none -t -w 16 -l 16 {BASE8} {OUT}"},
    };
    // tiffcp's inputs: maps that ImageMagick writes.
    const std::string base8 = dir.path("base8.tif"), baseF = dir.path("baseF.tif");
    // (ImageMagick exits 1 after some float maps it wrote whole: a warning
    // about a tag its libtiff lacks. The file it leaves is what counts.)
    if (!im.empty()) {
        (void)std::system((im + " " + dir.path("c8.ppm") + " -compress none " + base8 + quiet).c_str());
        (void)std::system((im + " " + dir.path("c16.ppm") + " " + flt + " -compress none " + baseF + quiet).c_str());
        ASSERT_TRUE(fileExists(base8) && fileExists(baseF));
    }

    int checked = 0;
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        if (v.tool.empty() || !haveTool(v.tool) || ((v.tool == "tiffcp") && im.empty())) {
            missing.push_back(v.what);
            continue;
        }
        const std::string map = dir.path("map.tif");
        std::remove(map.c_str());
        std::string cmd = v.command;
        for (auto [key, value] : {std::pair<const char*, std::string>{"{IN8G}", dir.path("g8.pgm")},
                                  {"{IN8C}", dir.path("c8.ppm")},
                                  {"{IN16G}", dir.path("g16.pgm")},
                                  {"{IN16C}", dir.path("c16.ppm")},
                                  {"{BASE8}", base8},
                                  {"{BASEF}", baseF},
                                  {"{OUT}", map},
                                  {"{TMP}", dir.path("tmp")}})
            cmd = fill(cmd, key, value);
        (void)std::system((cmd + quiet).c_str());
        ASSERT_TRUE(fileExists(map)) << cmd;
        LibTiffLayout l;
        ASSERT_TRUE(inspectWithLibTiff(map, l)) << "libtiff cannot read what " << v.tool << " wrote";
        const Bytes before = readBytes(map);
        const bool ok = readable(l);
        const bool grey = l.samples == 1, floats = ok && l.bits == 32, bytes8 = ok && l.bits == 8;
        const std::size_t n = std::size_t(l.width) * l.length * l.samples;

        // Each operation: its result, whether it must succeed, and the check
        // of what it gave when it did.
        struct Run {
            const char* exportName;
            std::function<float()> call;
            bool mustRead;
            std::function<void(float)> checkRead;
        };
        const std::string out = dir.path("out.bin");
        const int mode = grey ? 1 : 3;
        const Run runs[] = {
            {"getScale", [&] { return getScaleTiff(map.c_str(), mode); }, floats,
             [&](float r) {
                 std::vector<std::uint8_t> seen(65536, 0);
                 for (std::size_t i = 0; i < n; ++i) seen[tiff::quantise16(floatAt(l.pixels, i))] = 1;
                 std::uint32_t levels = 0;
                 for (std::uint8_t s : seen) levels += s;
                 EXPECT_EQ(r, tiff::scaleCurve(levels, kWindowsBuild));
             }},
            {"getScale", [&] { return getScaleTiff(map.c_str(), 4 - mode); }, false, nullptr},  // the other mode
            {"getScale16", [&] { return getScale16Tiff(map.c_str(), mode); }, ok && l.bits == 16,
             [&](float r) {
                 std::uint32_t lo = 65535, hi = 0;
                 for (std::size_t i = 0; i < n; i += l.samples) {  // red only for RGB
                     std::uint16_t v;
                     std::memcpy(&v, &l.pixels[2 * i], 2);
                     lo = std::min<std::uint32_t>(lo, v), hi = std::max<std::uint32_t>(hi, v);
                 }
                 EXPECT_EQ(r, static_cast<float>((hi - lo) % 65536));
             }},
            {"convertTIFF16", [&] { return convertTiff(map.c_str(), out.c_str(), mode); }, floats,
             [&](float) {
                 LibTiffLayout o;
                 ASSERT_TRUE(inspectWithLibTiff(out, o));
                 ASSERT_EQ(o.pixels.size(), 2 * n);
                 for (std::size_t i = 0; i < n; ++i) {
                     std::uint16_t s;
                     std::memcpy(&s, &o.pixels[2 * i], 2);
                     ASSERT_EQ(s, tiff::quantise16(floatAt(l.pixels, i))) << "sample " << i;
                 }
             }},
            {"convertTIFFSingle", [&] { return singleChannelTiff(map.c_str(), out.c_str()); }, floats && !grey,
             [&](float) {
                 LibTiffLayout o;
                 ASSERT_TRUE(inspectWithLibTiff(out, o));
                 ASSERT_EQ(o.pixels.size(), 4 * n / 3);
                 for (std::size_t i = 0; i < n / 3; ++i) ASSERT_EQ(floatAt(o.pixels, i), floatAt(l.pixels, 3 * i));
             }},
            {"saveAsTarga", [&] { return convertToTarga(map.c_str(), out.c_str()); }, bytes8,
             [&](float) {
                 const Bytes tga = readBytes(out);
                 ASSERT_EQ(tga.size(), 18 + 3 * std::size_t(l.width) * l.length);
                 for (std::uint32_t y = 0; y < l.length; ++y)
                     for (std::uint32_t x = 0; x < l.width; ++x) {
                         const std::uint8_t* px = &l.pixels[(std::size_t(y) * l.width + x) * l.samples];
                         const std::uint8_t* t = &tga[18 + 3 * (std::size_t(l.length - 1 - y) * l.width + x)];
                         ASSERT_EQ(t[0], px[grey ? 0 : 2]);
                         ASSERT_EQ(t[1], px[grey ? 0 : 1]);
                         ASSERT_EQ(t[2], px[0]);
                     }
             }},
        };
        for (const Run& r : runs) {
            SCOPED_TRACE(r.exportName);
            std::remove(out.c_str());
            const float code = r.call();
            if (r.mustRead) {
                if (std::string(r.exportName).rfind("getScale", 0) == 0) {
                    ASSERT_GT(code, 0.0f) << "a measure, not a code";
                } else {
                    ASSERT_EQ(code, 0.0f);
                }
                r.checkRead(code);
            } else {
                EXPECT_TRUE(code < 0.0f || code == 258.0f) << code << " from a map it cannot read right";
                EXPECT_TRUE(listed(r.exportName, code)) << code;
                EXPECT_FALSE(fileExists(out));
            }
            EXPECT_TRUE(readBytes(map) == before) << "the map changed";
        }

        // The swap rewrites 8-bit RGB maps; it changes nothing else.
        const float swap = swapChannels(map.c_str(), 2);
        LibTiffLayout after;
        ASSERT_TRUE(inspectWithLibTiff(map, after));
        if (bytes8 && !grey) {
            ASSERT_EQ(swap, 0.0f);
            ASSERT_EQ(after.pixels.size(), l.pixels.size());
            for (std::size_t i = 0; i < n; i += 3) {
                ASSERT_EQ(after.pixels[i], l.pixels[i + 2]);
                ASSERT_EQ(after.pixels[i + 1], l.pixels[i + 1]);
                ASSERT_EQ(after.pixels[i + 2], l.pixels[i]);
            }
        } else {
            EXPECT_TRUE(swap == 0.0f || listed("swapRGBTIF", swap)) << swap;
            EXPECT_TRUE(readBytes(map) == before) << "the map changed";
        }
        ++checked;
        if (ok) readRight.push_back(v.what);
        const std::string kept = dir.path("kept" + std::to_string(checked) + ".tif");
        if (std::rename(map.c_str(), kept.c_str()) == 0) keptMaps[v.what] = kept;
    }
    // A merge of 16-bit maps stored in different byte orders would copy
    // samples into the wrong order: refused, both untouched.
    if (keptMaps.count("ImageMagick grey 16") && keptMaps.count("ImageMagick grey 16, big-endian")) {
        const std::string le = keptMaps["ImageMagick grey 16"], be = keptMaps["ImageMagick grey 16, big-endian"];
        const Bytes leBefore = readBytes(le), beBefore = readBytes(be);
        EXPECT_EQ(mergeTiff(le.c_str(), be.c_str()), tiff::kBSamplesDiffer);
        EXPECT_EQ(mergeTiff(be.c_str(), le.c_str()), tiff::kBSamplesDiffer);
        EXPECT_TRUE(readBytes(le) == leBefore && readBytes(be) == beBefore);
    }
    std::printf("[ foreign  ] %d maps, %zu of them in a layout read right\n", checked, readRight.size());
    for (const std::string& m : readRight) std::printf("[ foreign  ] read right: %s\n", m.c_str());
    // The layouts the library reads are among them whenever ImageMagick is.
    if (!im.empty()) {
        EXPECT_GE(readRight.size(), 10u);
    }
    for (const std::string& m : missing) std::printf("[ foreign  ] skipped, its program is missing: %s\n", m.c_str());
    if (checked == 0) GTEST_SKIP() << "none of ImageMagick, vips and tiffcp is installed";
}

#endif
