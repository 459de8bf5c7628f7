#include "WritingExports.h"

#include <filesystem>
#include <tuple>
#include <system_error>

#include "BmpOps.h"
#include "FileOps.h"
#include "JpegOps.h"
#include "MeskOps.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TestSupport.h"
#include "TiffOps.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

namespace fs = std::filesystem;

namespace {

FileBytes bytesOf(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }
FileBytes textOf(const std::string& s) { return {s.begin(), s.end()}; }

std::string at(const std::string& dir, const char* name) { return dir + name; }

// 8-bit RGB maps: A's first pixel is (0, 1, 2), and a third of B's pixels
// show it, so the merge changes B.
FileBytes tiffA(int variant) {
    return bytesOf(TiffBuilder(12, 8, 3, 8)
                       .u8s([variant](std::uint32_t x, std::uint32_t y, int c) {
                           return static_cast<std::uint8_t>(40 * x + 7 * y + c + (x + y ? 60 * variant : 0));
                       })
                       .build());
}
FileBytes tiffB() {
    return bytesOf(TiffBuilder(12, 8, 3, 8)
                       .u8s([](std::uint32_t x, std::uint32_t y, int c) {
                           return static_cast<std::uint8_t>((x + y) % 3 == 0 ? c : 200 - x - 3 * y + c);
                       })
                       .build());
}
FileBytes floatRgb(int variant) {
    return bytesOf(TiffBuilder(6, 4, 3, 32)
                       .floats([variant](std::uint32_t x, std::uint32_t y, int c) {
                           return 0.05f * static_cast<float>(x + 3 * y + c) + 0.3f * static_cast<float>(variant);
                       })
                       .build());
}
FileBytes floatGrey(int variant) {
    return bytesOf(TiffBuilder(6, 4, 1, 32)
                       .floats([variant](std::uint32_t x, std::uint32_t y, int) {
                           return 0.04f * static_cast<float>(x * y) + 0.2f * static_cast<float>(variant);
                       })
                       .build());
}

fixtures::Picture shifted(int w, int h, int variant) {
    fixtures::Picture p = fixtures::coordinates(w, h);
    for (fixtures::Rgb& px : p.px) px.b = static_cast<std::uint8_t>(px.b + 17 * variant);
    return p;
}
// The BMP merge takes the source's pixel where the target shows the
// source's first stored pixel: a third of the target does.
FileBytes bmpTarget() {
    fixtures::Picture p = fixtures::coordinates(24, 16);
    const fixtures::Rgb key = fixtures::coordinates(24, 16).at(0, 0);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if ((x + 2 * y) % 3 == 0)
                p.at(x, y) = key;
            else
                p.at(x, y).r = static_cast<std::uint8_t>(255 - p.at(x, y).r);
    return bytesOf(fixtures::makeBmp(p));
}
FileBytes psdWhiteB() {
    fixtures::Picture p(24, 16, fixtures::Rgb{255, 255, 255});
    for (int x = 0; x < 24; x += 5) p.at(x, 3) = fixtures::kRed;
    return bytesOf(fixtures::makePsdRgb(p));
}

FileBytes mesh(int variant) { return bytesOf(gridMesh(2, 1, 2, 2, 0, variant).build().bytes()); }

using Inputs = std::map<std::string, FileBytes>;
using Call = std::function<float(const std::string&, int)>;

WritingExport rewriteOf(const char* name, const std::string& target, const FileBytes& before, const Inputs& inputs,
                        Call call) {
    WritingExport c;
    c.name = name;
    c.rewrite = true;
    c.target = target;
    c.before = before;
    c.inputs[0] = inputs;
    c.call = std::move(call);
    return c;
}

WritingExport outputOf(const char* name, const std::string& target, const Inputs& in0, const Inputs& in1, Call call) {
    WritingExport c;
    c.name = name;
    c.rewrite = false;
    c.target = target;
    c.before = textOf("an older file of this name\n");
    c.inputs[0] = in0;
    c.inputs[1] = in1;
    c.call = std::move(call);
    return c;
}

std::vector<WritingExport> buildTable() {
    const FileBytes psd = bytesOf(fixtures::makePsdRgb(fixtures::coordinates(24, 16)));
    const FileBytes bmp = bytesOf(fixtures::makeBmp(fixtures::coordinates(24, 16)));
    std::vector<WritingExport> t;
    // Rewrites: the map changed in place of itself, A (when there is one)
    // only read.
    t.push_back(rewriteOf("mergeMapsTIF", "b.tif", tiffB(), {{"a.tif", tiffA(0)}}, [](const std::string& d, int) {
        return mergeTiff(at(d, "a.tif").c_str(), at(d, "b.tif").c_str());
    }));
    t.push_back(rewriteOf("mergeMapsTIFHack", "b.tif", tiffB(), {{"a.tif", tiffA(0)}}, [](const std::string& d, int) {
        return mergeTiffHack(at(d, "a.tif").c_str(), at(d, "b.tif").c_str());
    }));
    t.push_back(rewriteOf("swapRGBTIF", "map.tif", tiffA(0), {},
                          [](const std::string& d, int) { return swapChannels(at(d, "map.tif").c_str(), 2); }));
    t.push_back(rewriteOf(
        "mergeMapsBMP", "target.bmp", bmpTarget(), {{"source.bmp", bmp}},
        [](const std::string& d, int) { return mergeBMP(at(d, "source.bmp").c_str(), at(d, "target.bmp").c_str()); }));
    t.push_back(rewriteOf("swapRGBBMP", "map.bmp", bmp, {},
                          [](const std::string& d, int) { return swapChannelsBMP(at(d, "map.bmp").c_str(), 2); }));
    t.push_back(rewriteOf("CreateThumbnailBMP", "map.bmp", bytesOf(fixtures::makeBmp(fixtures::coordinates(40, 40))),
                          {}, [](const std::string& d, int) { return createBMPthumb(at(d, "map.bmp").c_str(), 10); }));
    t.push_back(rewriteOf("CreateThumbnail", "map.psd", bytesOf(fixtures::makePsdRgb(fixtures::coordinates(40, 40))),
                          {}, [](const std::string& d, int) { return createThumb(at(d, "map.psd").c_str(), 8); }));
    t.push_back(rewriteOf("mergeMapsPSD", "b.psd", psdWhiteB(), {{"a.psd", psd}}, [](const std::string& d, int) {
        return mergePSD(at(d, "a.psd").c_str(), at(d, "b.psd").c_str());
    }));
    t.push_back(rewriteOf("swapRGBPSD", "map.psd", psd, {},
                          [](const std::string& d, int) { return swapChannelsPSD(at(d, "map.psd").c_str(), 2); }));
    t.push_back(
        rewriteOf("mergeCrease", "target.Mesk", mesh(0), {{"crease.Mesk", mesh(1)}}, [](const std::string& d, int) {
            std::string target = at(d, "target.Mesk");
            return mergeFiles(at(d, "crease.Mesk").c_str(), &target[0]);
        }));
    // Outputs over an older file of their name, from either of two inputs.
    t.push_back(outputOf(
        "convertTIFF16", "out.tif", {{"in.tif", floatRgb(0)}}, {{"in.tif", floatRgb(1)}},
        [](const std::string& d, int) { return convertTiff(at(d, "in.tif").c_str(), at(d, "out.tif").c_str(), 3); }));
    t.push_back(outputOf(
        "convertTIFF16", "out.psd", {{"in.tif", floatGrey(0)}}, {{"in.tif", floatGrey(1)}},
        [](const std::string& d, int) { return convertTiff(at(d, "in.tif").c_str(), at(d, "out.psd").c_str(), 1); }));
    t.push_back(outputOf("convertTIFFSingle", "single.tif", {{"in.tif", floatRgb(0)}}, {{"in.tif", floatRgb(1)}},
                         [](const std::string& d, int) {
                             return singleChannelTiff(at(d, "in.tif").c_str(), at(d, "single.tif").c_str());
                         }));
    t.push_back(outputOf(
        "saveAsTarga", "out.tga", {{"in.tif", tiffA(0)}}, {{"in.tif", tiffA(1)}},
        [](const std::string& d, int) { return convertToTarga(at(d, "in.tif").c_str(), at(d, "out.tga").c_str()); }));
    t.push_back(outputOf("saveAsJpeg", "out.jpg", {{"in.bmp", bmp}},
                         {{"in.bmp", bytesOf(fixtures::makeBmp(shifted(24, 16, 1)))}}, [](const std::string& d, int) {
                             return convertToJPEG(at(d, "in.bmp").c_str(), at(d, "out.jpg").c_str(), 50);
                         }));
    t.push_back(
        outputOf("getUVs", "out0.Mesk", {{"in.Mesk", mesh(0)}}, {{"in.Mesk", mesh(1)}}, [](const std::string& d, int) {
            return GetUVsFromMesk(at(d, "in.Mesk").c_str(), at(d, "out.Mesk").c_str(), 0);
        }));
    t.push_back(outputOf("getUVsMask", "out0.Mesk", {{"in.Mesk", mesh(0)}}, {{"in.Mesk", mesh(1)}},
                         [](const std::string& d, int) {
                             return GetUVsFromMeskMASK(at(d, "in.Mesk").c_str(), at(d, "out.Mesk").c_str(), 0);
                         }));
    for (WritingExport* split : {&t[t.size() - 2], &t[t.size() - 1]}) {
        split->alsoWritten = {"out1.Mesk"};
        split->success = 2.0f;
    }
    // One coarse triangle at refinement level 0: a table entry with no
    // faces, so the OBJ text holds the header, vertices and colours.
    const FileBytes coarse = bytesOf(MeskBuilder().faces({{{0, 1, 2, -1}}}).bytes());
    t.push_back(outputOf("mesktoOBJ", "out.obj", {{"in.Mesk", mesh(0)}, {"coarse.Mesk", coarse}},
                         {{"in.Mesk", mesh(1)}, {"coarse.Mesk", coarse}}, [](const std::string& d, int) {
                             if (GetFaceIDsMesk(at(d, "coarse.Mesk").c_str(), 0) != 1.0f) return -12345.0f;
                             std::string out = at(d, "out.obj");
                             return writeOBJfromMesk(at(d, "in.Mesk").c_str(), &out[0]);
                         }));
    t.push_back(outputOf("outMRGB", "colours.txt", {{"in.Mesk", mesh(0)}}, {{"in.Mesk", mesh(1)}},
                         [](const std::string& d, int) {
                             std::string out = at(d, "colours.txt");
                             return ReadVertColorMesk(at(d, "in.Mesk").c_str(), &out[0]);
                         }));
    t.push_back(outputOf(
        "FileCopyTo", "copy.bin", {{"source.bin", psd}}, {{"source.bin", bmp}},
        [](const std::string& d, int) { return fileCopyTo(at(d, "source.bin").c_str(), at(d, "copy.bin").c_str()); }));
    // What a failed write gives, by export.
    const std::map<std::string, std::pair<float, float>> codes = {
        {"mergeMapsTIF", {tiff::kIoFailure, tiff::kIoFailure}},
        {"mergeMapsTIFHack", {tiff::kIoFailure, tiff::kIoFailure}},
        {"swapRGBTIF", {tiff::kIoFailure, tiff::kIoFailure}},
        {"mergeMapsBMP", {bmp::kTargetNotWritable, bmp::kTargetNotWritable}},
        {"swapRGBBMP", {bmp::kSourceNotWritable, bmp::kSourceNotWritable}},
        {"CreateThumbnailBMP", {bmp::kThumbCannotWrite, bmp::kThumbCannotWrite}},
        {"CreateThumbnail", {psd::kCannotWrite, psd::kCannotWrite}},
        {"mergeMapsPSD", {psd::kCannotWrite, psd::kCannotWrite}},
        {"swapRGBPSD", {psd::kCannotWrite, psd::kCannotWrite}},
        {"mergeCrease", {kCreaseNotWritten, kCreaseNotWritten}},
        {"convertTIFF16", {tiff::kIoFailure, tiff::kCannotCreate}},
        {"convertTIFFSingle", {tiff::kIoFailure, tiff::kCannotCreate}},
        {"saveAsTarga", {tiff::kIoFailure, targa::kCannotCreate}},
        {"saveAsJpeg", {float(jpegcode::kWriteFailed), float(jpegcode::kCannotCreateOutput)}},
        {"getUVs", {kMeskTileFileBase, kMeskTileFileBase}},
        {"getUVsMask", {kMeskTileFileBase, kMeskTileFileBase}},
        {"mesktoOBJ", {kTextNotWritten, kMeskOutputCannotOpen}},
        {"outMRGB", {kTextNotWritten, kMeskOutputCannotOpen}},
        {"FileCopyTo", {-1.0f, -1.0f}},
    };
    for (WritingExport& c : t) std::tie(c.writeFailed, c.cannotCreate) = codes.at(c.name);
    return t;
}

}  // namespace

const std::vector<WritingExport>& writingExports() {
    static const std::vector<WritingExport> table = buildTable();
    return table;
}

void prepareCase(const WritingExport& c, const std::string& dir, int variant) {
    writeBytes(dir + c.target, c.before);
    for (int v = 0; v < 2; ++v) {
        if (variant >= 0 && v != variant) continue;
        for (const auto& in : c.inputs[v]) writeBytes(dir + in.first, in.second);
    }
}

std::map<std::string, FileBytes> folderFiles(const std::string& dir) {
    std::map<std::string, FileBytes> files;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::u8path(dir), ec)) {
        if (!e.is_regular_file(ec)) continue;
        const std::string name = e.path().filename().u8string();
        files[name] = readBytes(dir + name);
    }
    return files;
}

std::map<std::string, FileBytes> writtenBy(const WritingExport& c, int variant, int calls) {
    TempDir dir;
    prepareCase(c, dir.path(), variant);
    for (int k = 0; k < calls; ++k)
        if (c.call(dir.path(), variant) != c.success) ADD_FAILURE() << c.name << " failed in a fresh folder";
    std::map<std::string, FileBytes> out;
    out[c.target] = readBytes(dir.path(c.target));
    for (const std::string& name : c.alsoWritten) out[name] = readBytes(dir.path(name));
    return out;
}
