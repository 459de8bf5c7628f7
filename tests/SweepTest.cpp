// Truncation and corruption sweep: every valid fixture of every format, cut
// at many lengths and with bytes of its header fields changed, goes through
// every operation that reads that format. Nothing may crash, read or write
// out of bounds (the sanitizer build checks that), or return a code outside
// the operation's documented set.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "BmpOps.h"
#include "JpegOps.h"
#include "Platform.h"
#if !BRINDLEX_WINDOWS
#include "ExrRange.h"
#endif
#include "MeskOps.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TestSupport.h"
#include "TiffOps.h"
#include "demo/Demo.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/ExrBuilder.h"
#include "fixtures/JpegSamples.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool isCount(float r) { return r >= 0.0f && r == static_cast<float>(static_cast<long long>(r)); }
bool isNegativeCode(float r) { return r < 0.0f && r == static_cast<float>(static_cast<long long>(r)); }
bool oneOf(float r, std::initializer_list<float> codes) {
    return std::find(codes.begin(), codes.end(), r) != codes.end();
}

struct Op {
    const char *name;
    // The operation on the damaged file at path; scratch is a folder for outputs.
    std::function<float(const std::string &path, const std::string &scratch)> run;
    std::function<bool(float)> valid;
    bool rewrites = false;  // changes the file it is given
};

struct Format {
    const char *name;
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

std::vector<Bytes> variants(const Format &f) {
    std::vector<Bytes> out;
    for (std::size_t n : cuts(f.fixture.size())) out.emplace_back(f.fixture.begin(), f.fixture.begin() + n);
    for (std::size_t pos : f.headerBytes) {
        if (pos >= f.fixture.size()) continue;
        for (std::uint8_t value : {std::uint8_t(0xFF), std::uint8_t(f.fixture[pos] ^ 0x80),
                                   std::uint8_t(f.fixture[pos] + 1)}) {
            Bytes b = f.fixture;
            b[pos] = value;
            out.push_back(std::move(b));
        }
    }
    return out;
}

std::vector<Format> meskFormats() {
    std::vector<Op> ops = {
        {"GetUVTile",
         [](const std::string &p, const std::string &) {
             float worst = 0.0f;
             for (int mode = 0; mode < 4; ++mode) {
                 std::optional<std::string> out;
                 float r = GetUVTile(p.c_str(), out, mode);
                 if (!isCount(r)) worst = r;
             }
             return worst;
         },
         [](float r) { return isCount(r) || oneOf(r, {kMeskQueryCannotOpen, kMeskNoChunk}); }},
        {"GetUVsFromMesk",
         [](const std::string &p, const std::string &s) {
             float r = GetUVsFromMesk(p.c_str(), (s + "tile.Mesk").c_str(), 2);
             clearUVTileString();
             return r;
         },
         [](float r) { return isCount(r) || oneOf(r, {kMeskCannotOpen, kMeskNoChunk}); }},
        {"GetUVsFromMeskMASK",
         [](const std::string &p, const std::string &s) {
             float r = GetUVsFromMeskMASK(p.c_str(), (s + "mask.Mesk").c_str(), 0);
             clearUVTileString();
             return r;
         },
         [](float r) { return isCount(r) || oneOf(r, {kMeskCannotOpen, kMeskNoChunk, kMeskNoFaceChunk}); }},
        {"GetUVGroup", [](const std::string &p, const std::string &) { return GetUVGroup(p.c_str()); },
         [](float r) { return isCount(r) || oneOf(r, {kMeskQueryCannotOpen, kMeskNoChunk}); }},
        {"GetFaceIDsMesk+writeOBJfromMesk",
         [](const std::string &p, const std::string &s) {
             float r = GetFaceIDsMesk(p.c_str(), 2.0);
             if (!isCount(r)) return r;
             std::string obj = s + "out.obj";
             r = writeOBJfromMesk(p.c_str(), &obj[0]);
             _faceID.clear();
             // A misplaced chunk gives its tag, a positive number.
             return r > 0.0f ? -1.0f : r;
         },
         [](float r) { return isCount(r) || isNegativeCode(r); }},
        {"ReadVertColorMesk",
         [](const std::string &p, const std::string &s) {
             std::string out = s + "out.rgb";
             return ReadVertColorMesk(p.c_str(), &out[0]);
         },
         [](float r) {
             return oneOf(r, {0.0f, kMeskCannotOpen, kMeskTruncated, kMeskOutputCannotOpen, kTextNotWritten});
         }},
        {"mergeFiles",
         [](const std::string &p, const std::string &s) {
             std::string target = s + "target.Mesk";
             writeBytes(target, readBytes(p));
             return mergeFiles(p.c_str(), &target[0]);
         },
         [](float r) { return r == 0.0f || isNegativeCode(r); }},
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
    Op op{"setUVtilesOut",
          [](const std::string &p, const std::string &) {
              float r = setUVtilesOut(p.c_str());
              clearUVtilesOut();
              return r;
          },
          [](float r) { return r == 0.0f; }};
    std::string list = "1001, 1002,1011\n1003-1009\r\n 20-4 ,x-,-3--1\n";
    return {"tile list", Bytes(list.begin(), list.end()), range(0, list.size()), {op}};
}

std::vector<Format> tiffFormats() {
    std::vector<Op> ops;
    for (auto [bytes, bits] : {std::pair<std::size_t, int>{250, 32}, {0, 0}})
            ops.push_back({"readTiffHeader",
                           [bytes = bytes, bits = bits](const std::string &p, const std::string &) {
                               tiff::WalkRules r;
                               r.headerBytes = bytes;
                               r.requiredBits = bits;
                               tiff::Directory d;
                               float code = tiff::readTiffHeader(p.c_str(), r, d);
                               if (code == 0.0f) {
                                   std::uint64_t len = 0;
                                   if (tiff::rowBytes(d, d.samples ? d.samples : 1, 4, len)) tiff::rowsFit(d, len);
                               }
                               return code;
                           },
                           [](float r) { return r == 0.0f || r == 258.0f || isNegativeCode(r); }});
    ops.push_back({"convertToTarga",
                   [](const std::string &p, const std::string &s) {
                       return convertToTarga(p.c_str(), (s + "out.tga").c_str());
                   },
                   [](float r) { return r == 0.0f || r == 258.0f || isNegativeCode(r); }});
    auto code = [](float r) { return r == 0.0f || r == 258.0f || isNegativeCode(r); };
    ops.push_back({"convertTiff",
                   [](const std::string &p, const std::string &s) {
                       float worst = 0.0f;
                       for (int mode : {1, 3, 4}) {
                           float r = convertTiff(p.c_str(), (s + "out16.tif").c_str(), mode, false);
                           if (r != 0.0f) worst = r;
                       }
                       float r = convertTiff(p.c_str(), (s + "out16.psd").c_str(), 1, true);
                       return r != 0.0f ? r : worst;
                   },
                   code});
    ops.push_back({"singleChannelTiff",
                   [](const std::string &p, const std::string &s) {
                       return singleChannelTiff(p.c_str(), (s + "single.tif").c_str());
                   },
                   code});
    // The ranges give values; they only must not crash.
    ops.push_back({"getScale",
                   [](const std::string &p, const std::string &) {
                       getScaleTiff(p.c_str(), 3);
                       getScale16Tiff(p.c_str(), 1);
                       return 0.0f;
                   },
                   code});
    ops.push_back({"mergeTiff",
                   [](const std::string &p, const std::string &s) {
                       std::string b = s + "b.tif";
                       writeBytes(b, readBytes(p));
                       float r = mergeTiff(p.c_str(), b.c_str());
                       float h = mergeTiffHack(b.c_str(), p.c_str());
                       return r != 0.0f ? r : h;
                   },
                   code, true});
    ops.push_back({"swapChannels", [](const std::string &p, const std::string &) { return swapChannels(p.c_str(), 2); },
                   code, true});
    std::vector<Format> out;
    TiffBuilder rgb8(4, 3, 3, 8), grey16(3, 2, 1, 16), rgb32(3, 2, 3, 32);
    rgb8.u8s([](std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>(x * 50 + y + c); });
    grey16.u16s([](std::uint32_t x, std::uint32_t y, int) { return static_cast<std::uint16_t>(x * 999 + y); });
    rgb32.floats([](std::uint32_t x, std::uint32_t y, int c) { return 0.1f * x + 0.3f * y + 0.01f * c; });
    for (const TiffBuilder *b : {&rgb8, &grey16, &rgb32}) {
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
    auto mapCode = [](float r) { return r == 0.0f || isNegativeCode(r); };
    static const Bytes valid = fixtures::makeBmp(fixtures::letterF());
    return {
        {"convertToJPEG",
         [](const std::string &p, const std::string &s) {
             return convertToJPEG(p.c_str(), (s + "out.jpg").c_str(), 50);
         },
         [](float r) { return isCount(r) && r <= 10.0f; }},
        {"mergeBMP source",
         [](const std::string &p, const std::string &s) {
             std::string t = s + "valid.bmp";
             writeBytes(t, valid);
             return mergeBMP(p.c_str(), t.c_str());
         },
         mapCode},
        {"mergeBMP target",
         [](const std::string &p, const std::string &s) {
             std::string src = s + "valid.bmp";
             writeBytes(src, valid);
             return mergeBMP(src.c_str(), p.c_str());
         },
         mapCode, true},
        {"swapChannelsBMP", [](const std::string &p, const std::string &) { return swapChannelsBMP(p.c_str(), 2); },
         mapCode, true},
        {"createBMPthumb", [](const std::string &p, const std::string &) { return createBMPthumb(p.c_str(), 3); },
         mapCode, true},
    };
}

std::vector<Format> bmpFormats() {
    return {{"BMP", samples::bmp24(samples::gradient(5, 3)), range(0, 54), bmpOps()},
            {"BMP", fixtures::makeBmp(fixtures::letterF()), range(0, 54), bmpOps()}};
}

std::vector<Format> psdFormats() {
    auto code = [](float r) { return r == 0.0f || r == psd::kUnsupportedKind || isNegativeCode(r); };
    static const Bytes valid = fixtures::makePsdRgb(fixtures::letterF());
    std::vector<Op> ops = {
        {"mergePSD source",
         [](const std::string &p, const std::string &s) {
             std::string t = s + "valid.psd";
             writeBytes(t, valid);
             return mergePSD(p.c_str(), t.c_str());
         },
         code},
        {"mergePSD target",
         [](const std::string &p, const std::string &s) {
             std::string src = s + "valid.psd";
             writeBytes(src, valid);
             return mergePSD(src.c_str(), p.c_str());
         },
         code, true},
        {"swapChannelsPSD", [](const std::string &p, const std::string &) { return swapChannelsPSD(p.c_str(), 3); },
         code, true},
        {"createThumb", [](const std::string &p, const std::string &) { return createThumb(p.c_str(), 4); },
         [](float r) { return r == 0.0f || isNegativeCode(r); }, true},
    };
    return {{"PSD", fixtures::makePsdRgb(fixtures::letterF()), range(0, 42), ops},
            {"PSD", fixtures::makePsdRgb(fixtures::coordinates(3, 2), {}, 128), range(0, 42), ops},
            {"PSD", fixtures::makePsdGrey16(3, 2, {1, 2, 3, 4, 5, 6}), range(0, 42), ops}};
}

void sweep(const Format &f) {
    TempDir dir;
    std::string scratch = dir.path("");
    std::string path = dir.path("in.bin");
    for (const Bytes &v : variants(f)) {
        ASSERT_TRUE(writeBytes(path, v));
        bool changed = false;
        for (const Op &op : f.ops) {
            // Operations after one that rewrites get the damaged file afresh.
            if (changed) {
                ASSERT_TRUE(writeBytes(path, v));
            }
            changed = op.rewrites;
            float r = op.run(path, scratch);
            EXPECT_TRUE(op.valid(r)) << f.name << " " << op.name << " gave " << r << " for a " << v.size()
                                     << "-byte variant";
        }
    }
}

#if !BRINDLEX_WINDOWS
Format exrFormat() {
    Op op{"openExrRange", [](const std::string &p, const std::string &) { return openExrRange(p.c_str()); },
          [](float) { return true; }};  // a range or a tinyexr code: only no crash
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
    for (const Format &f : meskFormats()) sweep(f);
}
TEST(Sweep, TileLists) { sweep(tileListFormat()); }
TEST(Sweep, TiffMaps) {
    for (const Format &f : tiffFormats()) sweep(f);
}
TEST(Sweep, BmpMaps) {
    for (const Format &f : bmpFormats()) sweep(f);
}
TEST(Sweep, PsdMaps) {
    for (const Format &f : psdFormats()) sweep(f);
}
