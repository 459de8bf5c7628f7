// The export frame: the export set of each build, argument decoding, the
// mem1 writer, the exception guard, the small exports and the version check.
#include <cmath>
#include <algorithm>
#include <limits>
#include <set>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "Brindlex.h"
#include "Platform.h"
#include "TestSupport.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/Picture.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

#if !BRINDLEX_WINDOWS
#include <sys/stat.h>
#endif

using namespace hostcall;
namespace fs = std::filesystem;

namespace {

// The export table of each build, exactly.
const std::set<std::string>& expectedExports() {
    static const std::set<std::string> names = {
        // Small exports and the host version check
        "Version",
#if BRINDLEX_WINDOWS
        "SendKey",
        "checkKelvaneVersion",
#else
        "GetString",
        "_ZN8Brindlex10HelloWorldEPKc",
        "_Z10get_substrPci",
#endif
        // Meshes: UV tiles, polygroups, per-tile extraction
        "getUVTile",
        "getUVString",
        "clearUVString",
        "setUVtilesOutput",
        "clearUVtilesOutput",
        "getUVs",
        "getUVsMask",
        "getUVGroups",
        // Mesh export: face IDs, OBJ, vertex colours, creases
        "mergeCrease",
#if BRINDLEX_WINDOWS
        "getFaceIDs",
        "mesktoOBJ",
        "outMRGB",
#endif
        // TIFF maps
        "convertTIFF16",
        "convertTIFFSingle",
        "getScale",
        "mergeMapsTIF",
        "swapRGBTIF",
#if BRINDLEX_WINDOWS
        "getScale16",
        "mergeMapsTIFHack",
#else
        "OpenEXR",
#endif
        // PSD maps
        "mergeMapsPSD",
        "swapRGBPSD",
        // BMP maps and thumbnails
        "mergeMapsBMP",
        "swapRGBBMP",
        "CreateThumbnailBMP",
#if BRINDLEX_WINDOWS
        "CreateThumbnail",
#endif
        // Targa and JPEG output
        "saveAsTarga",
        "saveAsJpeg",
        // File and folder services
        "CheckFolder",
        "CloseFolder",
        "CreateFolder",
        "EmptyFolder",
        "FileCopyTo",
        "FileDelete",
        "FileRename",
        "GetFile",
        "GetPublicFolder",
        "OpenFolder",
#if BRINDLEX_WINDOWS
        "CountFiles",
        "DeleteFolder",
        "GetFileNumber",
        "?GetFilePath@@YAMPEADN0H0HPEAPEAD@Z",
        "ListFiles",
        "MakeFolder",
#endif
    };
    return names;
}

}  // namespace

TEST(ExportTable, ListsExactlyThisBuildsExports) {
    std::vector<std::string> got = library().exports();
    std::set<std::string> have(got.begin(), got.end());
    EXPECT_EQ(have.size(), got.size()) << "an export is listed twice";
    for (const std::string& n : expectedExports()) EXPECT_TRUE(have.count(n)) << "missing export " << n;
    for (const std::string& n : have) EXPECT_TRUE(expectedExports().count(n)) << "unexpected export " << n;
}

#if !BRINDLEX_WINDOWS
// The macOS link's exported-symbols list (Mach-O names, with the leading
// underscore) is the POSIX build's export table.
TEST(ExportTable, MacExportListIsThePosixTable) {
    std::ifstream in(std::string(BRINDLEX_SOURCE_DIR) + "/src/Brindlex.exports");
    ASSERT_TRUE(in) << "src/Brindlex.exports cannot be read";
    std::set<std::string> listed;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        ASSERT_EQ(line[0], '_') << line;
        EXPECT_TRUE(listed.insert(line.substr(1)).second) << line << " is listed twice";
    }
    EXPECT_EQ(listed, expectedExports());
}
#endif

TEST(ArgumentDecoding, ModesAndScales) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double value;
        int clamped, jpeg, list, trunc;
    } cases[] = {
        {-3, 0, 50, 3, -3},
        {-0.5, 0, 50, 3, 0},
        {0, 0, 0, 3, 0},
        {0.5, 0, 0, 3, 0},
        {1, 1, 1, 1, 1},
        {2.9, 2, 2, 2, 2},
        {3, 3, 3, 3, 3},
        {3.99, 3, 3, 3, 3},
        {17, 3, 17, 3, 17},
        {100, 3, 100, 3, 100},
        {100.5, 3, 50, 3, 100},
        {nan, 0, 50, 3, 0},
        {1e300, 3, 50, 3, std::numeric_limits<int>::max()},
        {-1e300, 0, 50, 3, std::numeric_limits<int>::min()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(clampMode(c.value), c.clamped);
        EXPECT_EQ(jpegScale(c.value), c.jpeg);
        EXPECT_EQ(listMode(c.value), c.list);
        EXPECT_EQ(truncInt(c.value), c.trunc);
    }
}

TEST(ArgumentDecoding, StrictModeIsOpenBetweenZeroAndFour) {
    struct Case {
        double value;
        bool ok;
        int mode;
    } cases[] = {{0, false, 0},  {4, false, 0},    {-1, false, 0},           {0.5, true, 0}, {1, true, 1},
                 {3.7, true, 3}, {3.999, true, 3}, {std::nan(""), false, 0}, {1e9, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        int mode = -7;
        EXPECT_EQ(strictMode(c.value, mode), c.ok);
        if (c.ok) {
            EXPECT_EQ(mode, c.mode);
        }
    }
    EXPECT_TRUE(isOneOf(3, {1, 3, 4}));
    EXPECT_FALSE(isOneOf(3.5, {1, 3, 4}));
    EXPECT_FALSE(isOneOf(std::nan(""), {1, 3, 4}));
}

TEST(Mem1Writer, NeverWritesPastItsSize) {
    struct Case {
        int size;
        bool fits;
    } cases[] = {{6, true}, {5, false}, {100, true}, {1, false}, {0, false}, {-4, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char block[128];
        std::fill(std::begin(block), std::end(block), '#');
        EXPECT_EQ(putMem1(block, c.size, "hello"), c.fits);
        if (c.fits)
            EXPECT_STREQ(block, "hello");
        else
            EXPECT_TRUE(std::all_of(std::begin(block), std::end(block), [](char ch) { return ch == '#'; }));
    }
    char one[1] = {'#'};
    EXPECT_TRUE(putMem1(one, 1, ""));
    EXPECT_EQ(one[0], '\0');
    EXPECT_FALSE(putMem1(nullptr, 10, "x"));
    char block[8] = "old";
    EXPECT_EQ(deliver(3.0f, std::string("too long"), block, 8), kMem1TooSmall);
    EXPECT_STREQ(block, "old");
    EXPECT_EQ(deliver(3.0f, std::nullopt, block, 8), 3.0f);
    EXPECT_STREQ(block, "old");
}

TEST(Guard, KeepsExceptionsInsideTheLibrary) {
    EXPECT_EQ(guard([]() -> float { throw std::bad_alloc(); }), kOutOfMemory);
    EXPECT_EQ(guard([]() -> float { throw std::out_of_range("index"); }), kInternalFailure);
    EXPECT_EQ(guard([]() -> float { throw 42; }), kInternalFailure);
    EXPECT_EQ(guard([] { return 7.0f; }), 7.0f);
}

TEST(SmallExports, VersionIgnoresItsArguments) {
    std::string m = "keep";
    EXPECT_EQ(callExport("Version", nullptr, 0), 48.0f);
    EXPECT_EQ(callExport("Version", "anything", -1e9, &m, 1), 48.0f);
    EXPECT_EQ(m, "k");  // a one-byte block holds only the first byte, untouched
}

#if BRINDLEX_WINDOWS
TEST(SmallExports, SendKeyDoesNothing) { EXPECT_EQ(callExport("SendKey", nullptr, 0), 0.0f); }
#else
TEST(SmallExports, GetStringCopiesFromItsOffset) {
    struct Case {
        double value;
        const char* text;
        const char* expected;
    } cases[] = {
        {0, "0123456789abcdef", "0123456789abcdef"},
        {2.5, "0123456789abcdef", "23456789abcdef"},
        {10, "0123456789abcdef", "abcdef"},
        {11, "0123456789abcdef", "56789abcdef"},
        {-1, "0123456789abcdef", "56789abcdef"},
        {9, "short", ""},
        {5, "12345", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::string m;
        EXPECT_EQ(callExport("GetString", c.text, c.value, &m), 0.0f);
        EXPECT_EQ(m, c.expected);
    }
    std::string m = "old";
    EXPECT_EQ(callExport("GetString", nullptr, 0, &m), -1.0f);
    EXPECT_EQ(callExport("GetString", "text", 0, nullptr), -1.0f);
    m = "old";
    EXPECT_EQ(callExport("GetString", "0123456789", 0, &m, 10), kMem1TooSmall);
    EXPECT_EQ(m, "old");
    EXPECT_EQ(callExport("GetString", "0123456789", 0, &m, 11), 0.0f);
    EXPECT_EQ(m, "0123456789");
}

TEST(SmallExports, CppExportsKeepTheirNames) {
    using Sub = char* (*)(char*, int);
    auto sub = reinterpret_cast<Sub>(library().symbol("_Z10get_substrPci"));
    ASSERT_NE(sub, nullptr);
    char s[] = "abcdef";
    EXPECT_EQ(sub(s, 2), s + 2);
    EXPECT_NE(library().symbol("_ZN8Brindlex10HelloWorldEPKc"), nullptr);
}
#endif

TEST(VersionCheck, MarksInTheFirstHundredBytes) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        float expected;
    } cases[] = {
        {"release", "Version 4.0 2009", -1},
        {"beta", "2009 BETA", -1},
        {"year only", "2009", 0},
        {"release only", "4.0", 0},
        {"lower-case beta", "2009 beta", 0},
        {"year too late", std::string(97, ' ') + "2009", 0},
        {"year at 96", std::string(92, ' ') + "4   2009", -1},
        {"four too late", "2009" + std::string(93, ' ') + "4", 0},
        {"padded with last byte", "200", 0},
        {"padding repeats the 9", "4 200", 0},  // 200 then copies of 0: no year
        {"empty", "", 0},
        {"marks beyond 100 bytes", std::string(120, ' ') + "4 2009", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = dir.path("v.txt");
        ASSERT_TRUE(writeText(p, c.content));
        EXPECT_EQ(checkVersionFile(p.c_str()), c.expected);
#if BRINDLEX_WINDOWS
        EXPECT_EQ(callExport("checkKelvaneVersion", p, 0), c.expected);
#endif
    }
    EXPECT_EQ(checkVersionFile(dir.path("missing.txt").c_str()), -17.0f);
    EXPECT_EQ(checkVersionFile(nullptr), 0.0f);
#if BRINDLEX_WINDOWS
    EXPECT_EQ(callExport("checkKelvaneVersion", nullptr, 0), 0.0f);
#else
    EXPECT_FALSE(hasExport("checkKelvaneVersion"));
#endif
}

// A folder where a file is read is a file that cannot be opened: each
// export gives its cannot-open code, the same in both builds, and the other
// file of the call stays as it was. So is a pipe (POSIX), and no export
// waits for a writer at its other end.
TEST(NotAFile, FolderWhereAFileIsReadCannotBeOpened) {
    TempDir dir;
    std::vector<std::string> notFiles = {dir.path("folder")};
    ASSERT_TRUE(makeFolders(notFiles[0]));
#if !BRINDLEX_WINDOWS
    notFiles.push_back(dir.path("pipe"));
    ASSERT_EQ(::mkfifo(notFiles[1].c_str(), 0600), 0);
#endif
    auto bytesOf = [](const std::vector<std::uint8_t>& v) { return std::vector<unsigned char>(v.begin(), v.end()); };
    const std::string mesh = dir.path("m.Mesk"), tiff = dir.path("f.tif"), psd = dir.path("p.psd"),
                      bmp = dir.path("b.bmp");
    ASSERT_TRUE(writeBytes(mesh, bytesOf(exampleMesk().bytes())));
    ASSERT_TRUE(writeBytes(tiff, bytesOf(TiffBuilder(4, 3, 1, 32)
                                             .floats([](std::uint32_t x, std::uint32_t y, int) {
                                                 return 0.1f * static_cast<float>(x + y);
                                             })
                                             .build())));
    ASSERT_TRUE(writeBytes(psd, bytesOf(fixtures::makePsdRgb(fixtures::letterF()))));
    ASSERT_TRUE(writeBytes(bmp, bytesOf(fixtures::makeBmp(fixtures::letterF()))));
    std::vector<std::vector<unsigned char>> before;
    for (const std::string& p : {mesh, tiff, psd, bmp}) before.push_back(readBytes(p));
    for (const std::string& folder : notFiles) {
        const struct {
            const char* exportName;
            std::string text;
            double value;
            std::string mem1;  // empty: no mem1
            float expected;
        } cases[] = {
            {"getUVTile", folder, 1, "-", -17},
            {"getUVGroups", folder, 0, "", -17},
            {"getUVs", folder, 1, dir.path("out"), -1760},
            {"getUVsMask", folder, 1, dir.path("out"), -1760},
            {"setUVtilesOutput", folder, 0, "", -1},
            {"mergeCrease", folder, 0, mesh, -1760},
            {"mergeCrease", mesh, 0, folder, -2760},
            {"getFaceIDs", folder, 1, "", -1760},
            {"outMRGB", folder, 0, dir.path("c.txt"), -1760},
            {"convertTIFF16", folder, 1, dir.path("o.tif"), -10},
            {"convertTIFFSingle", folder, 0, dir.path("o.tif"), -10},
            {"getScale", folder, 1, "", -10},
            {"getScale16", folder, 1, "", -10},
            {"mergeMapsTIF", folder, 0, tiff, -10},
            {"mergeMapsTIF", tiff, 0, folder, -20},
            {"swapRGBTIF", folder, 1, "", -10},
            {"OpenEXR", folder, 0, "", -7},
            {"mergeMapsPSD", folder, 0, psd, -1},
            {"mergeMapsPSD", psd, 0, folder, -1},
            {"swapRGBPSD", folder, 1, "", -1},
            {"CreateThumbnail", folder, 8, "", -1},
            {"mergeMapsBMP", folder, 0, bmp, -1770},
            {"mergeMapsBMP", bmp, 0, folder, -1760},
            {"swapRGBBMP", folder, 1, "", -1760},
            {"CreateThumbnailBMP", folder, 8, "", -1},
            {"saveAsTarga", folder, 0, dir.path("o.tga"), -10},
            {"saveAsJpeg", folder, 50, dir.path("o.jpg"), 3},
            {"checkKelvaneVersion", folder, 0, "", -17},
            {"FileCopyTo", folder, 0, dir.path("copy"), -1},
        };
        for (const auto& c : cases) {
            if (!hasExport(c.exportName)) continue;
            SCOPED_TRACE(std::string(c.exportName) + " " + c.text + " " + c.mem1);
            std::string mem1 = c.mem1;
            EXPECT_EQ(callExport(c.exportName, c.text, c.value, c.mem1.empty() ? nullptr : &mem1), c.expected);
        }
    }
    std::size_t i = 0;
    for (const std::string& p : {mesh, tiff, psd, bmp}) EXPECT_TRUE(readBytes(p) == before[i++]) << p;
    EXPECT_TRUE(fs::is_directory(fs::u8path(notFiles[0])));
}
