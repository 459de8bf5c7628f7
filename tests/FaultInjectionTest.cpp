// Exports that write on a full disk (a child process whose file-size limit
// makes every write past a few bytes fail), with read-only inputs, into a
// missing folder and onto their own input: each reports a code of its own
// (checked against its result table) and leaves every file as it was.
#include "ChildProcess.h"
#include "Platform.h"
#include "TestSupport.h"

#if !BRINDLEX_WINDOWS
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>

#include "BmpOps.h"
#include "FileOps.h"
#include "JpegOps.h"
#include "ListedResult.h"
#include "MeskOps.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TiffOps.h"
#include "WritingExports.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

namespace {

// The export a case is named after: its name up to the first blank or
// comma ("mergeMapsTIF, B read-only", "convertTIFF16 to PSD").
std::string exportOf(const char* caseName) {
    const std::string name = caseName;
    return name.substr(0, name.find_first_of(" ,"));
}

}  // namespace

// Every export that writes a file, on a disk that is full (no file may grow
// past a few bytes): a failure the export lists, and the folder as it was.
TEST(FullDisk, EveryWriteLeavesTheFolderAsItWas) {
    for (const WritingExport& c : writingExports()) {
        SCOPED_TRACE(std::string(c.name) + " " + c.target);
        TempDir dir;
        prepareCase(c, dir.path(), 0);
        const std::map<std::string, FileBytes> before = folderFiles(dir.path());
        const float r = underFileSizeLimit(8, [&] { return c.call(dir.path(), 0); });
        EXPECT_FALSE(std::isnan(r)) << "the child reported nothing";
        EXPECT_NE(r, c.success) << "a failed write was reported as success";
        EXPECT_EQ(r, c.writeFailed);  // the tile splits: the first file failed
        EXPECT_TRUE(listedResult(c.name, r));
        EXPECT_EQ(folderFiles(dir.path()), before);
    }
}

// ---------------------------------------------------------------------------
// Read-only inputs, missing destination folders, a destination that is the
// source: each export must report its code and leave every input as it was.

namespace {

using Bytes = std::vector<unsigned char>;

// The inputs every case below draws from.
struct Inputs {
    Bytes floatRgb, floatGrey, rgb8, grey16, bmp, psd, mesh, coarse;
    Inputs() {
        auto f = [](std::uint32_t x, std::uint32_t y, int c) { return 0.05f * static_cast<float>(x + 3 * y + c); };
        floatRgb = TiffBuilder(6, 4, 3, 32).floats(f).build();
        floatGrey = TiffBuilder(6, 4, 1, 32).floats(f).build();
        rgb8 = TiffBuilder(6, 4, 3, 8)
                   .u8s([](std::uint32_t x, std::uint32_t y, int c) {
                       return static_cast<std::uint8_t>(40 * x + 7 * y + c);
                   })
                   .build();
        grey16 =
            TiffBuilder(6, 4, 1, 16)
                .u16s([](std::uint32_t x, std::uint32_t y, int) { return static_cast<std::uint16_t>(900 * x + y); })
                .build();
        bmp = fixtures::makeBmp(fixtures::coordinates(24, 16));
        psd = fixtures::makePsdRgb(fixtures::coordinates(24, 16));
        mesh = exampleMesk().bytes();
        // One triangle in the chunk at 32; at level 0 its table entry asks
        // for no faces, so any mesh's OBJ text can be written.
        coarse = MeskBuilder().faces({{{0, 1, 2, -1}}}).bytes();
    }
};

const Inputs& inputs() {
    static const Inputs in;
    return in;
}

// One operation on two paths: a (the input) and b (the second input or
// the destination).
using TwoPaths = std::function<float(const std::string& a, const std::string& b)>;

float crease(const std::string& addition, const std::string& target) {
    std::string t = target;
    return mergeFiles(addition.c_str(), &t[0]);
}

float objText(const std::string& mesh, const std::string& out, const std::string& coarse) {
    if (GetFaceIDsMesk(coarse.c_str(), 0) < 1.0f) return std::nanf("");
    std::string o = out;
    return writeOBJfromMesk(mesh.c_str(), &o[0]);
}

float colourBlock(const std::string& mesh, const std::string& out) {
    std::string o = out;
    return ReadVertColorMesk(mesh.c_str(), &o[0]);
}

}  // namespace

TEST(ReadOnlyInputs, EveryReopenForWritingIsRefused) {
    const Inputs& in = inputs();
    TempDir base;
    // A folder the unprivileged user owns, so only the files' own bits
    // refuse the writes (and new outputs can be created).
    const std::string dir = base.path("work/");
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chmod(base.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    }

    struct Case {
        const char* name;
        Bytes a, b;  // b empty: the second path is a new output
        bool aReadOnly, bReadOnly;
        TwoPaths op;
        float code;
        std::size_t outputSize;  // bytes an output may hold after the failure
    } cases[] = {
        {"convertTIFF16",
         in.floatRgb,
         {},
         true,
         false,
         [](auto& a, auto& b) { return convertTiff(a.c_str(), b.c_str(), 3); },
         -101.0f,
         0},
        {"convertTIFF16 to PSD",
         in.floatGrey,
         {},
         true,
         false,
         [](auto& a, auto& b) { return convertTiff(a.c_str(), (b + ".psd").c_str(), 1); },
         -101.0f,
         0},
        {"convertTIFFSingle",
         in.floatRgb,
         {},
         true,
         false,
         [](auto& a, auto& b) { return singleChannelTiff(a.c_str(), b.c_str()); },
         -101.0f,
         0},
        {"getScale",
         in.floatRgb,
         {},
         true,
         false,
         [](auto& a, auto&) { return getScaleTiff(a.c_str(), 3); },
         -101.0f,
         0},
        {"getScale16",
         in.grey16,
         {},
         true,
         false,
         [](auto& a, auto&) { return getScale16Tiff(a.c_str(), 1); },
         -101.0f,
         0},
        {"mergeMapsTIF, A read-only", in.rgb8, in.rgb8, true, false,
         [](auto& a, auto& b) { return mergeTiff(a.c_str(), b.c_str()); }, -101.0f, 0},
        {"mergeMapsTIF, B read-only", in.rgb8, in.rgb8, false, true,
         [](auto& a, auto& b) { return mergeTiff(a.c_str(), b.c_str()); }, -201.0f, 0},
        {"mergeMapsTIFHack, A read-only", in.rgb8, in.rgb8, true, false,
         [](auto& a, auto& b) { return mergeTiffHack(a.c_str(), b.c_str()); }, -101.0f, 0},
        {"mergeMapsTIFHack, B read-only", in.rgb8, in.rgb8, false, true,
         [](auto& a, auto& b) { return mergeTiffHack(a.c_str(), b.c_str()); }, -201.0f, 0},
        {"swapRGBTIF", in.rgb8, {}, true, false, [](auto& a, auto&) { return swapChannels(a.c_str(), 2); }, -101.0f, 0},
        {"saveAsTarga",
         in.rgb8,
         {},
         true,
         false,
         [](auto& a, auto& b) { return convertToTarga(a.c_str(), b.c_str()); },
         -101.0f,
         18},
        {"mergeMapsBMP, source read-only", in.bmp, in.bmp, true, false,
         [](auto& a, auto& b) { return mergeBMP(a.c_str(), b.c_str()); }, -101.0f, 0},
        {"mergeMapsBMP, target read-only", in.bmp, in.bmp, false, true,
         [](auto& a, auto& b) { return mergeBMP(a.c_str(), b.c_str()); }, -201.0f, 0},
        {"swapRGBBMP",
         in.bmp,
         {},
         true,
         false,
         [](auto& a, auto&) { return swapChannelsBMP(a.c_str(), 1); },
         -101.0f,
         0},
        {"swapRGBBMP mode 0",
         in.bmp,
         {},
         true,
         false,
         [](auto& a, auto&) { return swapChannelsBMP(a.c_str(), 0); },
         -101.0f,
         0},
        {"mergeMapsPSD, target read-only", in.psd, in.psd, false, true,
         [](auto& a, auto& b) { return mergePSD(a.c_str(), b.c_str()); }, -5.0f, 0},
        {"swapRGBPSD", in.psd, {}, true, false, [](auto& a, auto&) { return swapChannelsPSD(a.c_str(), 2); }, -5.0f, 0},
        {"CreateThumbnailBMP",
         in.bmp,
         {},
         true,
         false,
         [](auto& a, auto&) { return createBMPthumb(a.c_str(), 8); },
         -5.0f,
         0},
        {"CreateThumbnail",
         in.psd,
         {},
         true,
         false,
         [](auto& a, auto&) { return createThumb(a.c_str(), 8); },
         -5.0f,
         0},
        {"mergeCrease, target read-only", in.mesh, in.mesh, false, true, [](auto& a, auto& b) { return crease(a, b); },
         -3760.0f, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string a = dir + "a" + std::to_string(n), b = dir + "b" + std::to_string(n++);
        auto prepare = [&](mode_t aMode, mode_t bMode) {
            std::filesystem::remove(a);
            std::filesystem::remove(b);
            ASSERT_TRUE(writeBytes(a, c.a));
            ASSERT_EQ(chmod(a.c_str(), aMode), 0);
            if (root) {
                ASSERT_EQ(chown(a.c_str(), 65534, 65534), 0);
            }
            if (!c.b.empty()) {
                ASSERT_TRUE(writeBytes(b, c.b));
                ASSERT_EQ(chmod(b.c_str(), bMode), 0);
                if (root) {
                    ASSERT_EQ(chown(b.c_str(), 65534, 65534), 0);
                }
            }
        };
        // With every right the operation works (so the refusal below comes
        // from the permission bits alone).
        prepare(0644, 0644);
        std::optional<float> ok = asUnprivileged([&] { return c.op(a, b); });
        if (!ok) GTEST_SKIP() << "cannot run as an unprivileged user";
        EXPECT_GE(*ok, 0.0f) << "fails even when writable";
        EXPECT_TRUE(listedResult(exportOf(c.name), *ok));

        prepare(c.aReadOnly ? 0444 : 0644, c.bReadOnly ? 0444 : 0644);
        std::optional<float> r = asUnprivileged([&] { return c.op(a, b); });
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, c.code);
        EXPECT_TRUE(listedResult(exportOf(c.name), *r));
        EXPECT_EQ(readBytes(a), c.a) << "the first input changed";
        if (!c.b.empty()) {
            EXPECT_EQ(readBytes(b), c.b) << "the second input changed";
        } else if (fileExists(b)) {
            EXPECT_EQ(readBytes(b).size(), c.outputSize) << "an output beyond what the code allows";
        }
        // The new files are hidden: none may be left.
        for (const auto& f : folderFiles(dir)) EXPECT_NE(f.first[0], '.') << "left beside the files: " << f.first;
    }
}

TEST(MissingFolder, NewOutputsFailAndKeepTheInput) {
    const Inputs& in = inputs();
    TempDir dir;
    const std::string coarse = dir.path("coarse.Mesk");
    ASSERT_TRUE(writeBytes(coarse, in.coarse));
    struct Case {
        const char* name;
        Bytes input;
        const char* output;  // inside the folder given to the case
        TwoPaths op;
        float code;
    } cases[] = {
        {"convertTIFF16", in.floatRgb, "x.tif", [](auto& a, auto& b) { return convertTiff(a.c_str(), b.c_str(), 3); },
         -102.0f},
        {"convertTIFF16 to PSD", in.floatGrey, "x.psd",
         [](auto& a, auto& b) { return convertTiff(a.c_str(), b.c_str(), 1); }, -102.0f},
        {"convertTIFFSingle", in.floatRgb, "x.tif",
         [](auto& a, auto& b) { return singleChannelTiff(a.c_str(), b.c_str()); }, -102.0f},
        {"saveAsTarga", in.rgb8, "x.tga", [](auto& a, auto& b) { return convertToTarga(a.c_str(), b.c_str()); }, -5.0f},
        {"saveAsJpeg", in.bmp, "x.jpg", [](auto& a, auto& b) { return convertToJPEG(a.c_str(), b.c_str(), 50); }, 8.0f},
        {"mesktoOBJ", in.mesh, "x.obj", [&](auto& a, auto& b) { return objText(a, b, coarse); }, -2.0f},
        {"outMRGB", in.mesh, "x.txt", [](auto& a, auto& b) { return colourBlock(a, b); }, -2.0f},
        {"getUVs", in.mesh, "x.Mesk", [](auto& a, auto& b) { return GetUVsFromMesk(a.c_str(), b.c_str(), 0); },
         1501.0f},
        {"getUVsMask", in.mesh, "x.Mesk", [](auto& a, auto& b) { return GetUVsFromMeskMASK(a.c_str(), b.c_str(), 0); },
         1501.0f},
        {"FileCopyTo", in.bmp, "x.bmp", [](auto& a, auto& b) { return fileCopyTo(a.c_str(), b.c_str()); }, -1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = dir.path("input");
        ASSERT_TRUE(writeBytes(input, c.input));
        // Into an existing folder the operation works.
        const float ok = c.op(input, dir.path(c.output));
        EXPECT_GE(ok, 0.0f);
        EXPECT_TRUE(listedResult(exportOf(c.name), ok));
        const float r = c.op(input, dir.path(std::string("no/such/folder/") + c.output));
        EXPECT_EQ(r, c.code);
        EXPECT_TRUE(listedResult(exportOf(c.name), r));
        EXPECT_EQ(readBytes(input), c.input);
        EXPECT_FALSE(fileExists(dir.path("no")));
    }
    EXPECT_EQ(createFolder(dir.path("no/such").c_str()), -1.0f);
    EXPECT_FALSE(fileExists(dir.path("no")));
}

TEST(SameFile, SourceAsDestinationIsRefusedAndKept) {
    const Inputs& in = inputs();
    TempDir dir;
    const std::string coarse = dir.path("coarse.Mesk");
    ASSERT_TRUE(writeBytes(coarse, in.coarse));
    struct Case {
        const char* name;
        Bytes input;
        // The second path for the input's path p (another spelling of it,
        // or one whose derived output is p).
        std::function<std::string(const std::string& folder, const std::string& name)> second;
        TwoPaths op;
        float code;
        const char* inputName = "m0.Mesk";  // a PSD destination is told by its extension
    } cases[] = {
        {"convertTIFF16",
         in.floatRgb,
         {},
         [](auto& a, auto& b) { return convertTiff(a.c_str(), b.c_str(), 3); },
         -102.0f},
        {"convertTIFF16 to PSD",
         in.floatGrey,
         {},
         [](auto& a, auto& b) { return convertTiff(a.c_str(), b.c_str(), 1); },
         -102.0f,
         "m0.psd"},
        {"convertTIFFSingle",
         in.floatRgb,
         {},
         [](auto& a, auto& b) { return singleChannelTiff(a.c_str(), b.c_str()); },
         -102.0f},
        {"mergeMapsTIF", in.rgb8, {}, [](auto& a, auto& b) { return mergeTiff(a.c_str(), b.c_str()); }, -201.0f},
        {"mergeMapsTIFHack",
         in.rgb8,
         {},
         [](auto& a, auto& b) { return mergeTiffHack(a.c_str(), b.c_str()); },
         -201.0f},
        {"mergeMapsBMP", in.bmp, {}, [](auto& a, auto& b) { return mergeBMP(a.c_str(), b.c_str()); }, -201.0f},
        {"mergeMapsPSD", in.psd, {}, [](auto& a, auto& b) { return mergePSD(a.c_str(), b.c_str()); }, -5.0f},
        {"saveAsTarga", in.rgb8, {}, [](auto& a, auto& b) { return convertToTarga(a.c_str(), b.c_str()); }, -5.0f},
        {"saveAsJpeg", in.bmp, {}, [](auto& a, auto& b) { return convertToJPEG(a.c_str(), b.c_str(), 50); }, 8.0f},
        {"FileCopyTo", in.bmp, {}, [](auto& a, auto& b) { return fileCopyTo(a.c_str(), b.c_str()); }, -1.0f},
        {"mesktoOBJ", in.mesh, {}, [&](auto& a, auto& b) { return objText(a, b, coarse); }, -2.0f},
        {"outMRGB", in.mesh, {}, [](auto& a, auto& b) { return colourBlock(a, b); }, -2.0f},
        // Tile file 0 of "m.Mesk" is "m0.Mesk".
        {"getUVs", in.mesh, [](auto& folder, auto&) { return folder + "m.Mesk"; },
         [](auto& a, auto& b) { return GetUVsFromMesk(a.c_str(), b.c_str(), 0); }, 1501.0f},
        {"getUVsMask", in.mesh, [](auto& folder, auto&) { return folder + "m.Mesk"; },
         [](auto& a, auto& b) { return GetUVsFromMeskMASK(a.c_str(), b.c_str(), 0); }, 1501.0f},
    };
    const std::string folder = dir.path("sub/");
    std::filesystem::create_directories(folder);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.inputName;
        const std::string input = folder + name;
        ASSERT_TRUE(writeBytes(input, c.input));
        // Another spelling of the same file, and a hard link to it: the
        // identity decides, not the text.
        std::vector<std::string> seconds;
        if (c.second) {
            seconds.push_back(c.second(folder, name));
        } else {
            seconds.push_back(dir.path("sub/../sub/./") + name);
            const std::string link = dir.path("link-" + name);
            std::filesystem::remove(link);
            std::filesystem::create_hard_link(input, link);
            seconds.push_back(link);
        }
        for (const std::string& second : seconds) {
            SCOPED_TRACE(second);
            const float r = c.op(input, second);
            EXPECT_EQ(r, c.code);
            EXPECT_TRUE(listedResult(exportOf(c.name), r));
            EXPECT_EQ(readBytes(input), c.input) << "the input was not kept";
        }
        std::filesystem::remove(dir.path("link-" + name));
    }
}
#endif
