// Truncation and corruption sweep: every valid fixture of every format, cut
// at many lengths and with bytes of its header fields changed, goes through
// every operation that reads that format. Nothing may crash, read or write
// out of bounds (the sanitizer build checks that), or return a code outside
// the operation's result table (a worker's results are those of its export).
#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "BmpOps.h"
#include "JpegOps.h"
#include "ExrRange.h"
#include "ListedResult.h"
#include "MeskOps.h"
#include "Platform.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TestSupport.h"
#include "TiffOps.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/ExrBuilder.h"
#include "fixtures/Files.h"
#include "fixtures/JpegSamples.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Checks one result as a result of the export whose worker gave it.
using Check = std::function<void(const char* exportName, float r)>;

struct Op {
    const char* name;
    // The operation on the damaged file at path; scratch is a folder for
    // outputs. Every result goes through check.
    std::function<void(const std::string& path, const std::string& scratch, const Check& check)> run;
    bool rewrites = false;  // changes the file it is given
};

struct Format {
    const char* name;
    Bytes fixture;
    std::vector<std::size_t> headerBytes;  // positions whose bytes are changed
    std::vector<Op> ops;
};

std::vector<std::size_t> range(std::size_t from, std::size_t to) {
    std::vector<std::size_t> v;
    for (std::size_t i = from; i < to; ++i) v.push_back(i);
    return v;
}

// Every cut up to 64 bytes, then about 40 more spread over the file.
std::vector<std::size_t> cuts(std::size_t size) {
    std::vector<std::size_t> v;
    for (std::size_t n = 0; n < size && n <= 64; ++n) v.push_back(n);
    std::size_t step = std::max<std::size_t>(1, size / 40);
    for (std::size_t n = 65; n < size; n += step) v.push_back(n);
    if (size > 0) v.push_back(size - 1);
    return v;
}

std::vector<Bytes> variants(const Format& f) {
    std::vector<Bytes> out;
    for (std::size_t n : cuts(f.fixture.size())) out.emplace_back(f.fixture.begin(), f.fixture.begin() + n);
    for (std::size_t pos : f.headerBytes) {
        if (pos >= f.fixture.size()) continue;
        for (std::uint8_t value :
             {std::uint8_t(0xFF), std::uint8_t(f.fixture[pos] ^ 0x80), std::uint8_t(f.fixture[pos] + 1)}) {
            Bytes b = f.fixture;
            b[pos] = value;
            out.push_back(std::move(b));
        }
    }
    return out;
}

std::vector<Format> meskFormats() {
    using S = const std::string;
    std::vector<Op> ops = {
        {"GetUVTile",
         [](S& p, S&, const Check& check) {
             for (int mode = 0; mode < 4; ++mode) {
                 std::optional<std::string> out;
                 check("getUVTile", GetUVTile(p.c_str(), out, mode));
             }
         }},
        {"GetUVsFromMesk",
         [](S& p, S& s, const Check& check) {
             check("getUVs", GetUVsFromMesk(p.c_str(), (s + "tile.Mesk").c_str(), 2));
             clearUVTileString();
         }},
        {"GetUVsFromMeskMASK",
         [](S& p, S& s, const Check& check) {
             check("getUVsMask", GetUVsFromMeskMASK(p.c_str(), (s + "mask.Mesk").c_str(), 0));
             clearUVTileString();
         }},
        {"GetUVGroup", [](S& p, S&, const Check& check) { check("getUVGroups", GetUVGroup(p.c_str())); }},
        {"GetFaceIDsMesk+writeOBJfromMesk",
         [](S& p, S& s, const Check& check) {
             float r = GetFaceIDsMesk(p.c_str(), 2.0);
             check("getFaceIDs", r);
             if (r < 0.0f) return;
             std::string obj = s + "out.obj";
             check("mesktoOBJ", writeOBJfromMesk(p.c_str(), &obj[0]));
             _faceID.clear();
         }},
        {"ReadVertColorMesk",
         [](S& p, S& s, const Check& check) {
             std::string out = s + "out.rgb";
             check("outMRGB", ReadVertColorMesk(p.c_str(), &out[0]));
         }},
        {"mergeFiles",
         [](S& p, S& s, const Check& check) {
             std::string target = s + "target.Mesk";
             writeBytes(target, readBytes(p));
             check("mergeCrease", mergeFiles(p.c_str(), &target[0]));
         }},
    };
    std::vector<Format> out;
    for (MeskBuilder b : {exampleMesk(), gridMesh(2, 1, 2, 2).build()}) {
        std::vector<std::size_t> fields = range(0, 4);
        for (std::size_t pos : b.chunkPositions())
            for (std::size_t i = 0; i < 12; ++i) fields.push_back(pos + i);
        out.push_back({"Mesk", b.bytes(), fields, ops});
    }
    return out;
}

Format tileListFormat() {
    Op op{"setUVtilesOut", [](const std::string& p, const std::string&, const Check& check) {
              float r = setUVtilesOut(p.c_str());
              clearUVtilesOut();
              check("setUVtilesOutput", r);
              EXPECT_EQ(r, 0.0f) << "whatever it holds, the list file opens";
          }};
    std::string list = "1001, 1002,1011\n1003-1009\r\n 20-4 ,x-,-3--1\n";
    return {"tile list", Bytes(list.begin(), list.end()), range(0, list.size()), {op}};
}

std::vector<Format> tiffFormats() {
    using S = const std::string;
    std::vector<Op> ops;
    // The header walk alone, with the rules of the depth conversion and of
    // the range queries (without their depth requirement).
    for (auto [bits, exportName] : {std::pair<int, const char*>{32, "convertTIFF16"}, {0, "getScale"}})
        ops.push_back({"readTiffHeader", [bits = bits, exportName = exportName](S& p, S&, const Check& check) {
                           tiff::WalkRules r;
                           r.requiredBits = bits;
                           tiff::Directory d;
                           float code = tiff::readTiffHeader(p.c_str(), r, d);
                           if (code == 0.0f) {
                               std::uint64_t len = 0;
                               if (tiff::rowBytes(d, d.samples ? d.samples : 1, 4, len)) tiff::rowsFit(d, len);
                           }
                           check(exportName, code);
                       }});
    ops.push_back({"convertToTarga", [](S& p, S& s, const Check& check) {
                       check("saveAsTarga", convertToTarga(p.c_str(), (s + "out.tga").c_str()));
                   }});
    ops.push_back({"convertTiff", [](S& p, S& s, const Check& check) {
                       for (int mode : {1, 3, 4})
                           check("convertTIFF16", convertTiff(p.c_str(), (s + "out16.tif").c_str(), mode));
                       check("convertTIFF16", convertTiff(p.c_str(), (s + "out16.psd").c_str(), 1));
                   }});
    ops.push_back({"singleChannelTiff", [](S& p, S& s, const Check& check) {
                       check("convertTIFFSingle", singleChannelTiff(p.c_str(), (s + "single.tif").c_str()));
                   }});
    ops.push_back({"getScale", [](S& p, S&, const Check& check) {
                       for (int samples : {1, 3}) {
                           check("getScale", getScaleTiff(p.c_str(), samples));
                           check("getScale16", getScale16Tiff(p.c_str(), samples));
                       }
                   }});
    ops.push_back({"mergeTiff",
                   [](S& p, S& s, const Check& check) {
                       std::string b = s + "b.tif";
                       writeBytes(b, readBytes(p));
                       check("mergeMapsTIF", mergeTiff(p.c_str(), b.c_str()));
                       check("mergeMapsTIFHack", mergeTiffHack(b.c_str(), p.c_str()));
                   },
                   true});
    ops.push_back(
        {"swapChannels", [](S& p, S&, const Check& check) { check("swapRGBTIF", swapChannels(p.c_str(), 2)); }, true});
    std::vector<Format> out;
    TiffBuilder rgb8(4, 3, 3, 8), grey16(3, 2, 1, 16), rgb32(3, 2, 3, 32);
    rgb8.u8s([](std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>(x * 50 + y + c); });
    grey16.u16s([](std::uint32_t x, std::uint32_t y, int) { return static_cast<std::uint16_t>(x * 999 + y); });
    rgb32.floats([](std::uint32_t x, std::uint32_t y, int c) { return 0.1f * x + 0.3f * y + 0.01f * c; });
    for (const TiffBuilder* b : {&rgb8, &grey16, &rgb32}) {
        // The file header and entry count; of each entry its tag, type,
        // count and the low, second and high value bytes.
        std::vector<std::size_t> fields = range(0, 10);
        for (std::size_t e = 0; e < b->entries.size(); ++e)
            for (std::size_t k : {0, 2, 4, 8, 9, 11}) fields.push_back(10 + 12 * e + k);
        out.push_back({"TIFF", b->build(), fields, ops});
    }
    return out;
}

std::vector<Op> bmpOps() {
    using S = const std::string;
    static const Bytes valid = fixtures::makeBmp(fixtures::letterF());
    return {
        {"convertToJPEG",
         [](S& p, S& s, const Check& check) {
             check("saveAsJpeg", convertToJPEG(p.c_str(), (s + "out.jpg").c_str(), 50));
         }},
        {"mergeBMP source",
         [](S& p, S& s, const Check& check) {
             std::string t = s + "valid.bmp";
             writeBytes(t, valid);
             check("mergeMapsBMP", mergeBMP(p.c_str(), t.c_str()));
         }},
        {"mergeBMP target",
         [](S& p, S& s, const Check& check) {
             std::string src = s + "valid.bmp";
             writeBytes(src, valid);
             check("mergeMapsBMP", mergeBMP(src.c_str(), p.c_str()));
         },
         true},
        {"swapChannelsBMP", [](S& p, S&, const Check& check) { check("swapRGBBMP", swapChannelsBMP(p.c_str(), 2)); },
         true},
        {"createBMPthumb",
         [](S& p, S&, const Check& check) { check("CreateThumbnailBMP", createBMPthumb(p.c_str(), 3)); }, true},
    };
}

std::vector<Format> bmpFormats() {
    return {{"BMP", samples::bmp24(samples::gradient(5, 3)), range(0, 54), bmpOps()},
            {"BMP", fixtures::makeBmp(fixtures::letterF()), range(0, 54), bmpOps()}};
}

std::vector<Format> psdFormats() {
    using S = const std::string;
    static const Bytes valid = fixtures::makePsdRgb(fixtures::letterF());
    std::vector<Op> ops = {
        {"mergePSD source",
         [](S& p, S& s, const Check& check) {
             std::string t = s + "valid.psd";
             writeBytes(t, valid);
             check("mergeMapsPSD", mergePSD(p.c_str(), t.c_str()));
         }},
        {"mergePSD target",
         [](S& p, S& s, const Check& check) {
             std::string src = s + "valid.psd";
             writeBytes(src, valid);
             check("mergeMapsPSD", mergePSD(src.c_str(), p.c_str()));
         },
         true},
        {"swapChannelsPSD", [](S& p, S&, const Check& check) { check("swapRGBPSD", swapChannelsPSD(p.c_str(), 3)); },
         true},
        {"createThumb", [](S& p, S&, const Check& check) { check("CreateThumbnail", createThumb(p.c_str(), 4)); },
         true},
    };
    return {{"PSD", fixtures::makePsdRgb(fixtures::letterF()), range(0, 42), ops},
            {"PSD", fixtures::makePsdRgb(fixtures::coordinates(3, 2), {}, 128), range(0, 42), ops},
            {"PSD", fixtures::makePsdGrey16(3, 2, {1, 2, 3, 4, 5, 6}), range(0, 42), ops}};
}

void sweep(const Format& f) {
    TempDir dir;
    std::string scratch = dir.path("");
    std::string path = dir.path("in.bin");
    for (const Bytes& v : variants(f)) {
        ASSERT_TRUE(writeBytes(path, v));
        bool changed = false;
        for (const Op& op : f.ops) {
            // Operations after one that rewrites get the damaged file afresh.
            if (changed) {
                ASSERT_TRUE(writeBytes(path, v));
            }
            changed = op.rewrites;
            op.run(path, scratch, [&](const char* exportName, float r) {
                EXPECT_TRUE(listedResult(exportName, r))
                    << f.name << " " << op.name << " on a " << v.size() << "-byte variant";
            });
        }
    }
}

#if !BRINDLEX_WINDOWS
Format exrFormat() {
    Op op{"openExrRange", [](const std::string& p, const std::string&, const Check& check) {
              check("OpenEXR", openExrRange(p.c_str()));
          }};
    Bytes file = buildExr(3, 2, {{"G", {1, 2, 3, 4, 5, 6}}, {"R", {0.5f, -1, 2, 0, 0, 7}}});
    // The magic, version and the attribute list's start.
    return {"EXR", file, range(0, 80), {op}};
}
#endif

}  // namespace

#if !BRINDLEX_WINDOWS
TEST(Sweep, ExrMaps) { sweep(exrFormat()); }
#endif
TEST(Sweep, Meshes) {
    for (const Format& f : meskFormats()) sweep(f);
}
TEST(Sweep, TileLists) { sweep(tileListFormat()); }
TEST(Sweep, TiffMaps) {
    for (const Format& f : tiffFormats()) sweep(f);
}
TEST(Sweep, BmpMaps) {
    for (const Format& f : bmpFormats()) sweep(f);
}
TEST(Sweep, PsdMaps) {
    for (const Format& f : psdFormats()) sweep(f);
}
