// Path cutting and the file and folder services.
#include "FileOps.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>

#include "HostCall.h"
#include "TestSupport.h"

#if BRINDLEX_WINDOWS
#include <windows.h>

#include "FileAccess.h"
#endif

TEST(FileNameExtract, CutsEveryPart) {
    struct Case {
        const char* path;
        int type;
        const char* expected;
    } cases[] = {
        {"C:/maps/skin.tif", 1, "C:/maps/"},
        {"C:/maps/skin.tif", 2, "skin"},
        {"C:/maps/skin.tif", 3, "C:/maps/skin"},
        {"C:/maps/skin.tif", 4, ".tif"},
        {"C:/maps/skin.tif", 6, "skin.tif"},
        {"C:/maps/skin.tif", 0, "C:/maps/skin.tif"},
        {"C:/maps/skin.tif", 5, "C:/maps/skin.tif"},
        {"C:/maps/skin.tif", -1, "C:/maps/skin.tif"},
        {"C:/maps/skin.tif", 7, "C:/maps/skin.tif"},
        // Mixed separators: the last of either counts.
        {"C:\\maps/sub\\a.b.c", 6, "a.b.c"},
        {"C:\\maps/sub\\a.b.c", 2, "a.b"},
        {"C:\\maps/sub\\a.b.c", 4, ".c"},
        {"C:\\maps/sub\\a.b.c", 1, "C:\\maps/sub\\"},
        // The last dot of types 3 and 4 may lie in a folder name.
        {"/x.y/name", 3, "/x"},
        {"/x.y/name", 4, ".y/name"},
        {"/x.y/name", 2, "name"},
        {"bare", 1, ""},
        {"bare", 2, "bare"},
        {"bare", 4, ""},
        {"bare", 6, "bare"},
        {"folder/", 6, ""},
        {"folder/", 2, ""},
        {"", 3, ""},
        {".hidden", 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " type " + std::to_string(c.type));
        EXPECT_EQ(FileNameExtract(c.path, c.type), c.expected);
    }
}

namespace fs = std::filesystem;

namespace {

// Names that need more than one byte in UTF-8 (and a surrogate pair in UTF-16).
const std::string kUnicodeName =
    "Gr\xC3\xBC\xC3\x9F"
    "e-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9D\x84\x9E.txt";
const std::string kUnicodeFolder = "Ordner-\xC3\xA4\xC3\xB6\xC3\xBC";

std::set<std::string> entriesOf(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::u8path(dir), ec)) names.insert(e.path().filename().u8string());
    return names;
}

std::string patterned(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return s;
}

std::string contentOf(const std::string& path) {
    std::vector<unsigned char> b = readBytes(path);
    return std::string(b.begin(), b.end());
}

// Expected result per build: Windows first, macOS second.
float byBuild(float windows, float mac) { return kWindowsBuild ? windows : mac; }

#if BRINDLEX_WINDOWS
bool setAttributes(const std::string& path, DWORD attributes) {
    std::wstring w = fileio::widen(path.c_str());
    return SetFileAttributesW(w.c_str(), attributes) && (GetFileAttributesW(w.c_str()) & attributes) == attributes;
}
#else
// Makes a path immutable while it lives (root ignores permission bits).
class Immutable {
public:
    explicit Immutable(std::string path) : path_(std::move(path)) { ok_ = run("+i"); }
    ~Immutable() {
        if (ok_) run("-i");
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    bool ok() const { return ok_; }

private:
    bool run(const char* flag) {
        std::string cmd = std::string("chattr ") + flag + " '" + path_ + "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0;
    }
    std::string path_;
    bool ok_ = false;
};
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Both builds, side by side.

TEST(FolderServices, CheckFolderAnswersInEachBuildsWay) {
    TempDir dir;
    ASSERT_TRUE(makeFolders(dir.path("sub")));
    ASSERT_TRUE(makeFolders(dir.path(kUnicodeFolder)));
    ASSERT_TRUE(writeText(dir.path("file.txt"), "x"));
    struct Case {
        std::string path;
        float windows, mac;
    } cases[] = {
        {dir.path("sub"), -1, 0},
        {dir.path(kUnicodeFolder), -1, 0},
        {dir.path("missing"), 0, -1},
        {dir.path("file.txt"), 0, -1},
        {"", 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(callExport("CheckFolder", c.path), byBuild(c.windows, c.mac));
    }
    EXPECT_EQ(callExport("CheckFolder", nullptr), byBuild(-2, -1));
}

TEST(FolderServices, CreateFolderMakesOneLevel) {
    TempDir dir;
    ASSERT_TRUE(makeFolders(dir.path("exists")));
    std::vector<std::string> exports = {"CreateFolder"};
    if (kWindowsBuild) exports.push_back("MakeFolder");
    for (const std::string& name : exports) {
        SCOPED_TRACE(name);
        struct Case {
            std::string path;
            float expected;
            bool folderAfter;
        } cases[] = {
            {dir.path(name + "-new"), 0, true},
            {dir.path(name + "-" + kUnicodeFolder), 0, true},
            {dir.path("exists"), -1, true},
            {dir.path(name + "-missing/child"), -1, false},
            {"", -1, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.path);
            EXPECT_EQ(callExport(name, c.path), c.expected);
            if (!c.path.empty()) {
                EXPECT_EQ(fileExists(c.path), c.folderAfter);
            }
        }
        EXPECT_EQ(callExport(name, nullptr), -1.0f);
    }
    EXPECT_TRUE(entriesOf(dir.path()).count("CreateFolder-" + kUnicodeFolder));
}

// Relative names are taken from the current folder, one-part names too.
TEST(FolderServices, CreateFolderTakesRelativeNames) {
    TempDir dir;
    struct InFolder {
        fs::path was = fs::current_path();
        explicit InFolder(const std::string& p) { fs::current_path(fs::u8path(p)); }
        ~InFolder() { fs::current_path(was); }
    } in(dir.path());
    const struct {
        std::string path, made;
        float expected;
    } cases[] = {
        {"out", "out", 0},
        {"\xC3\xBC"
         "4",
         "\xC3\xBC"
         "4",
         0},
        {"trail/", "trail", 0},
        {"out/inner", "out/inner", 0},
        {"./dotted", "dotted", 0},
        {"out", "out", -1},
        {"missing/inner", "missing/inner", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(callExport("CreateFolder", c.path), c.expected);
        EXPECT_EQ(fs::is_directory(fs::u8path(dir.path(c.made))), c.expected == 0 || c.made == "out");
    }
}

TEST(FileRename, ExistingTargetsAndEqualPathsDifferByBuild) {
    TempDir dir;
    const std::string a = dir.path("a.txt"), b = dir.path("b.txt");
    struct Case {
        const char* what;
        std::string from, to;
        bool makeTarget;
        float windows, mac;
    } cases[] = {
        {"new name", a, dir.path("c.txt"), false, 0, 0},
        {"non-ASCII name", a, dir.path(kUnicodeName), false, 0, 0},
        {"onto an existing file", a, b, true, -1, 0},
        {"the same path twice", a, a, false, -1, 0},
        {"missing source", dir.path("none.txt"), dir.path("d.txt"), false, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(writeText(a, "source"));
        if (c.makeTarget) {
            ASSERT_TRUE(writeText(b, "target"));
        }
        float expected = byBuild(c.windows, c.mac);
        EXPECT_EQ(callExport("FileRename", c.from, 0, nullptr), -1.0f);  // mem1 null
        std::string to = c.to;
        EXPECT_EQ(callExport("FileRename", c.from, 0, &to), expected);
        if (expected == 0 && c.from != c.to) {
            EXPECT_FALSE(fileExists(c.from));
            EXPECT_EQ(contentOf(c.to), "source");
        } else if (c.from == a) {
            EXPECT_EQ(contentOf(a), "source");
            if (c.makeTarget) {
                EXPECT_EQ(contentOf(b), "target");
            }
        }
        std::error_code ec;
        fs::remove(fs::u8path(c.to), ec);
        fs::remove(fs::u8path(b), ec);
    }
    std::string to = b;
    EXPECT_EQ(callExport("FileRename", nullptr, 0, &to), -1.0f);
}

TEST(FileCopyTo, CopiesEveryByteAndReplacesTheDestination) {
    TempDir dir;
    const std::string dst = dir.path(kUnicodeName);
    for (size_t size :
         {size_t(0), size_t(1), size_t(4000), size_t(4001), size_t(65536), size_t(65537), size_t((1 << 20) + 7)}) {
        SCOPED_TRACE(size);
        const std::string src = dir.path("src-" + std::to_string(size) + ".bin");
        const std::string data = patterned(size);
        ASSERT_TRUE(writeText(src, data));
        // A longer file in the way must not leave its tail behind.
        ASSERT_TRUE(writeText(dst, std::string(size + 100, 'z')));
        std::string to = dst;
        EXPECT_EQ(callExport("FileCopyTo", src, 0, &to), 0.0f);
        EXPECT_TRUE(contentOf(dst) == data);
        EXPECT_TRUE(contentOf(src) == data);
    }
}

TEST(FileCopyTo, ACopyThatCannotStartLosesNothing) {
    TempDir dir;
    const std::string a = dir.path("a.txt"), b = dir.path("b.txt");
    ASSERT_TRUE(makeFolders(dir.path("folder")));
    ASSERT_TRUE(makeFolders(dir.path("empty")));
    struct Case {
        const char* what;
        std::string from, to;
    } cases[] = {
        {"missing source", dir.path("none.txt"), b},
        {"onto itself", a, a},
        {"onto itself by another spelling", a, dir.path("folder/../a.txt")},
        {"source is a folder", dir.path("folder"), b},
        {"destination is a folder", a, dir.path("empty")},
        {"destination folder missing", a, dir.path("none/b.txt")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(writeText(a, "precious a"));
        ASSERT_TRUE(writeText(b, "precious b"));
        std::string to = c.to;
        EXPECT_EQ(callExport("FileCopyTo", c.from, 0, &to), -1.0f);
        EXPECT_EQ(contentOf(a), "precious a");
        EXPECT_EQ(contentOf(b), "precious b");
        EXPECT_TRUE(fileExists(dir.path("empty")));
    }
    std::string to = b;
    EXPECT_EQ(callExport("FileCopyTo", nullptr, 0, &to), -1.0f);
    EXPECT_EQ(callExport("FileCopyTo", a, 0, nullptr), -1.0f);
}

TEST(FileCopyTo, AProtectedDestinationStays) {
    TempDir dir;
    const std::string a = dir.path("a.txt"), b = dir.path("b.txt");
    ASSERT_TRUE(writeText(a, "new"));
    ASSERT_TRUE(writeText(b, "kept"));
    std::string to = b;
#if BRINDLEX_WINDOWS
    if (!setAttributes(b, FILE_ATTRIBUTE_READONLY)) GTEST_SKIP() << "the read-only attribute cannot be set here";
    EXPECT_EQ(callExport("FileCopyTo", a, 0, &to), -1.0f);
    setAttributes(b, FILE_ATTRIBUTE_NORMAL);
#else
    Immutable lock(b);
    if (!lock.ok()) GTEST_SKIP() << "chattr +i is not supported here";
    EXPECT_EQ(callExport("FileCopyTo", a, 0, &to), -1.0f);
#endif
    EXPECT_EQ(contentOf(b), "kept");
}

TEST(FileDelete, FilesAndEmptyFolders) {
    TempDir dir;
    ASSERT_TRUE(writeText(dir.path("a.txt"), "x"));
    ASSERT_TRUE(writeText(dir.path(kUnicodeName), "x"));
    ASSERT_TRUE(makeFolders(dir.path("empty")));
    struct Case {
        std::string path;
        float windows, mac;
    } cases[] = {
        {dir.path("a.txt"), 0, 0},
        {dir.path(kUnicodeName), 0, 0},
        {dir.path("missing.txt"), -1, -1},
        {dir.path("empty"), -1, 0},  // remove also takes an empty folder
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        float expected = byBuild(c.windows, c.mac);
        EXPECT_EQ(callExport("FileDelete", c.path), expected);
        if (expected == 0) {
            EXPECT_FALSE(fileExists(c.path));
        }
    }
    EXPECT_EQ(fileExists(dir.path("empty")), kWindowsBuild);
    EXPECT_EQ(callExport("FileDelete", nullptr), -1.0f);
}

TEST(EmptyFolder, EachBuildKeepsItsOwnKindOfEntry) {
    TempDir dir;
    const std::string f = dir.path("f/");
    ASSERT_TRUE(makeFolders(f + "sub.d"));
    ASSERT_TRUE(makeFolders(f + "full.d"));
    ASSERT_TRUE(makeFolders(f + "sub"));
    for (const std::string& name :
         {std::string("a.txt"), std::string("README"), std::string(".hidden"), std::string("b.tar.gz"), kUnicodeName,
          std::string("full.d/inner.txt"), std::string("sub/inner.txt")})
        ASSERT_TRUE(writeText(f + name, "x"));
    // Without the trailing separator; the macOS build adds it.
    EXPECT_EQ(callExport("EmptyFolder", dir.path("f")), 0.0f);
    std::set<std::string> windowsKeeps = {"sub.d", "full.d", "sub"};
    std::set<std::string> macKeeps = {"README", "full.d", "sub"};
    EXPECT_EQ(entriesOf(f), kWindowsBuild ? windowsKeeps : macKeeps);
    EXPECT_TRUE(fileExists(f + "full.d/inner.txt"));
    EXPECT_TRUE(fileExists(f + "sub/inner.txt"));

    EXPECT_EQ(callExport("EmptyFolder", dir.path("missing")), byBuild(-2, -1));
    EXPECT_EQ(callExport("EmptyFolder", nullptr), byBuild(-5, -1));
}

TEST(EmptyFolder, ReachesEveryEntryWhateverTheOrder) {
    // On ext4 "." and ".." are not the first two entries, so skipping two
    // entries by position would pass real files over.
    TempDir dir;
    const std::string f = dir.path("many/");
    ASSERT_TRUE(makeFolders(f));
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(writeText(f + "file" + std::to_string(i) + ".txt", "x"));
    EXPECT_EQ(callExport("EmptyFolder", f), 0.0f);
    EXPECT_TRUE(entriesOf(f).empty());
}

TEST(EmptyFolder, AFileThatCannotGoIsPassedOver) {
    TempDir dir;
    const std::string f = dir.path("f/");
    ASSERT_TRUE(makeFolders(f));
    ASSERT_TRUE(writeText(f + "locked.txt", "x"));
    ASSERT_TRUE(writeText(f + "free.txt", "x"));
#if BRINDLEX_WINDOWS
    if (!setAttributes(f + "locked.txt", FILE_ATTRIBUTE_READONLY))
        GTEST_SKIP() << "the read-only attribute cannot be set here";
    EXPECT_EQ(callExport("EmptyFolder", f), 0.0f);
    EXPECT_TRUE(fileExists(f + "locked.txt"));
    setAttributes(f + "locked.txt", FILE_ATTRIBUTE_NORMAL);
#else
    Immutable lock(f + "locked.txt");
    if (!lock.ok()) GTEST_SKIP() << "chattr +i is not supported here";
    EXPECT_EQ(callExport("EmptyFolder", f), 0.0f);
    EXPECT_TRUE(fileExists(f + "locked.txt"));
#endif
    EXPECT_FALSE(fileExists(f + "free.txt"));
}

TEST(GetPublicFolder, NamesAnExistingFolder) {
    std::string m;
    EXPECT_EQ(callExport("GetPublicFolder", nullptr, 0, &m), byBuild(0, 1));
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(callExport("CheckFolder", m), byBuild(-1, 0));
    std::string small = "old";
    EXPECT_EQ(callExport("GetPublicFolder", nullptr, 0, &small, static_cast<int>(m.size())), hostcall::kMem1TooSmall);
    EXPECT_EQ(small, "old");
    std::string exact;
    EXPECT_EQ(callExport("GetPublicFolder", nullptr, 0, &exact, static_cast<int>(m.size()) + 1), byBuild(0, 1));
    EXPECT_EQ(exact, m);
    EXPECT_EQ(callExport("GetPublicFolder", nullptr, 0, nullptr), hostcall::kRefused);
}

#if !BRINDLEX_WINDOWS
// ---------------------------------------------------------------------------
// macOS build: one directory stream in _folder.

namespace {
size_t openDescriptors() {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator(); ++it) ++n;
    return n;
}
}  // namespace

TEST(FolderWalk, HandsOutEveryEntryThenMinusThree) {
    TempDir dir;
    const std::string f = dir.path("walk");
    ASSERT_TRUE(makeFolders(f + "/sub"));
    ASSERT_TRUE(writeText(f + "/a.txt", "x"));
    ASSERT_TRUE(writeText(f + "/.hidden", "x"));
    ASSERT_TRUE(writeText(f + "/" + kUnicodeName, "x"));
    callExport("CloseFolder", nullptr);
    std::string m;
    EXPECT_EQ(callExport("GetFile", nullptr, 0, &m), -1.0f);  // nothing open
    EXPECT_EQ(callExport("CloseFolder", nullptr), -1.0f);
    ASSERT_EQ(callExport("OpenFolder", f), 0.0f);
    std::multiset<std::string> got;
    for (int i = 0; i < 10 && callExport("GetFile", nullptr, 0, &m) == 0.0f; ++i) got.insert(m);
    EXPECT_EQ(got, (std::multiset<std::string>{".", "..", "sub", "a.txt", ".hidden", kUnicodeName}));
    EXPECT_EQ(callExport("GetFile", nullptr, 0, &m), -3.0f);  // still open at the end
    EXPECT_EQ(callExport("CloseFolder", nullptr), 0.0f);
    EXPECT_EQ(callExport("CloseFolder", nullptr), -1.0f);
    EXPECT_EQ(callExport("GetFile", nullptr, 0, &m), -1.0f);
    EXPECT_EQ(callExport("OpenFolder", dir.path("missing")), -1.0f);
    EXPECT_EQ(callExport("OpenFolder", nullptr), -1.0f);
    EXPECT_EQ(callExport("GetFile", nullptr, 0, nullptr), hostcall::kRefused);
}

TEST(FolderWalk, ReopeningClosesTheEarlierStream) {
    TempDir dir;
    ASSERT_EQ(callExport("OpenFolder", dir.path()), 0.0f);
    size_t before = openDescriptors();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(callExport("OpenFolder", dir.path()), 0.0f);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(callExport("OpenFolder", dir.path("missing")), -1.0f);
    EXPECT_EQ(openDescriptors(), before - 1);
    std::string m;
    EXPECT_EQ(callExport("GetFile", nullptr, 0, &m), -1.0f);
}

TEST(FolderWalk, CheckFolderAndShortBlocksLeaveTheWalkAlone) {
    TempDir dir;
    const std::string f = dir.path("walk/");
    const std::string longName = std::string(100, 'n') + ".txt";
    ASSERT_TRUE(makeFolders(f));
    for (const std::string& name : {std::string("a"), std::string("b"), longName})
        ASSERT_TRUE(writeText(f + name, "x"));
    ASSERT_EQ(callExport("OpenFolder", f), 0.0f);
    std::set<std::string> got;
    int refusals = 0;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(callExport("CheckFolder", dir.path()), 0.0f);
        std::string m = "keep";
        float r = callExport("GetFile", nullptr, 0, &m, 64);
        if (r == hostcall::kMem1TooSmall) {
            ++refusals;
            EXPECT_EQ(m, "keep");
            // The same entry comes with a block that holds it.
            ASSERT_EQ(callExport("GetFile", nullptr, 0, &m, 4096), 0.0f);
        } else if (r != 0.0f) {
            EXPECT_EQ(r, -3.0f);
            break;
        }
        got.insert(m);
    }
    EXPECT_EQ(refusals, 1);
    EXPECT_EQ(got, (std::set<std::string>{".", "..", "a", "b", longName}));
    EXPECT_EQ(callExport("CloseFolder", nullptr), 0.0f);
}
#else
// ---------------------------------------------------------------------------
// Windows build: _fileList and _fileIndex, CountFiles and ListFiles.

namespace {

// A call with a raw mem1 block, for checks on bytes behind the string.
float rawCall(const std::string& name, const char* text, double value, char* mem1, int mem1Size) {
    HostFn fn = library().bind(name);
    if (!fn) {
        ADD_FAILURE() << "export " << name << " not found";
        return 0.0f;
    }
    return fn(const_cast<char*>(text), value, mem1, mem1Size, nullptr, 0, nullptr);
}

// GetFile n times, each result (or "(untouched)" when the block kept its marker).
std::vector<std::string> getFiles(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
        std::string m = "(untouched)";
        EXPECT_EQ(callExport("GetFile", nullptr, 0, &m), 0.0f);
        out.push_back(m);
    }
    return out;
}

std::string withUnits(const std::string& base, size_t units) {
    // Each "é" is one UTF-16 unit and two UTF-8 bytes.
    std::string p = base;
    size_t have = fileio::widen(base.c_str()).size();
    while (have < units) {
        p += "\xC3\xA9";
        ++have;
    }
    return p;
}

}  // namespace

TEST(FileList, LayoutAndNamesWithTheirBackslash) {
    TempDir dir;
    const std::string f = dir.path("list/");
    ASSERT_TRUE(makeFolders(f));
    callExport("CloseFolder", nullptr);

    // Only "." and "..": no names, one empty string.
    EXPECT_EQ(callExport("GetFileNumber", f), 0.0f);
    EXPECT_EQ(callExport("OpenFolder", nullptr), 0.0f);
    EXPECT_EQ(getFiles(2), (std::vector<std::string>{"", "(untouched)"}));
    callExport("CloseFolder", nullptr);

    // One name: a backslash in unit 0, then the name.
    ASSERT_TRUE(writeText(f + "a.txt", "x"));
    EXPECT_EQ(getFileNumber(f.c_str()), 1.0f);
    EXPECT_EQ(std::wstring(_fileList), L"\\a.txt");
    EXPECT_EQ(fileListCount(), 1);
    EXPECT_EQ(callExport("GetFileNumber", f), 1.0f);
    EXPECT_EQ(getFiles(2), (std::vector<std::string>{"\\a.txt", "(untouched)"}));
    callExport("CloseFolder", nullptr);

    // Several names (hidden ones left out, folders kept): a leading
    // terminator; every fetched name still starts with a backslash.
    ASSERT_TRUE(writeText(f + kUnicodeName, "x"));
    ASSERT_TRUE(writeText(f + ".hidden.txt", "x"));
    ASSERT_TRUE(makeFolders(f + "sub"));
    EXPECT_EQ(getFileNumber(f.c_str()), 3.0f);
    EXPECT_EQ(_fileList[0], L'\0');
    EXPECT_EQ(fileListCount(), 3);
    EXPECT_EQ(callExport("GetFileNumber", f), 3.0f);
    std::vector<std::string> got = getFiles(4);
    EXPECT_EQ(got.back(), "(untouched)");
    got.pop_back();
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()),
              (std::set<std::string>{"\\a.txt", "\\" + kUnicodeName, "\\sub"}));

    // A failed listing leaves an empty list behind.
    EXPECT_EQ(callExport("GetFileNumber", dir.path("missing")), -2.0f);
    callExport("CloseFolder", nullptr);
    EXPECT_EQ(getFiles(1), (std::vector<std::string>{""}));
    EXPECT_EQ(callExport("GetFileNumber", nullptr), -5.0f);
    EXPECT_EQ(callExport("GetFile", nullptr, 0, nullptr), -3.0f);
    callExport("CloseFolder", nullptr);
}

TEST(FileList, SystemFilesAreLeftOutButCounted) {
    TempDir dir;
    const std::string f = dir.path("sys/");
    ASSERT_TRUE(makeFolders(f));
    ASSERT_TRUE(writeText(f + "plain.txt", "x"));
    ASSERT_TRUE(writeText(f + "system.txt", "x"));
    if (!setAttributes(f + "system.txt", FILE_ATTRIBUTE_SYSTEM))
        GTEST_SKIP() << "the system attribute cannot be set here";
    EXPECT_EQ(callExport("GetFileNumber", f), 1.0f);
    EXPECT_EQ(callExport("CountFiles", f, 1), 2.0f);
    setAttributes(f + "system.txt", FILE_ATTRIBUTE_NORMAL);
}

TEST(FileList, PositionCountsOnUntilCloseFolder) {
    TempDir dir;
    const std::string one = dir.path("one/"), two = dir.path("two/");
    ASSERT_TRUE(makeFolders(one));
    ASSERT_TRUE(makeFolders(two));
    for (const char* n : {"x1", "x2"}) ASSERT_TRUE(writeText(one + n, "x"));
    for (const char* n : {"y1", "y2", "y3"}) ASSERT_TRUE(writeText(two + n, "x"));
    callExport("CloseFolder", nullptr);
    ASSERT_EQ(callExport("GetFileNumber", one), 2.0f);
    std::vector<std::string> first = getFiles(3);
    EXPECT_EQ(first[2], "(untouched)");  // past the end: 0 and nothing written
    // A second listing without CloseFolder starts at the old position.
    ASSERT_EQ(callExport("GetFileNumber", two), 3.0f);
    std::vector<std::string> rest = getFiles(1);
    std::string third;
    EXPECT_EQ(callExport("GetFilePath", nullptr, 3, &third), 0.0f);
    EXPECT_EQ(rest[0], "(untouched)");  // position 4 of 3
    EXPECT_EQ(callExport("CloseFolder", nullptr), 0.0f);
    std::vector<std::string> again = getFiles(3);
    EXPECT_EQ(again[2], third);
    callExport("CloseFolder", nullptr);
}

TEST(FileList, GetFilePathFetchesAnyPosition) {
    TempDir dir;
    const std::string f = dir.path("p/");
    ASSERT_TRUE(makeFolders(f));
    for (const char* n : {"p1", "p2", "p3"}) ASSERT_TRUE(writeText(f + n, "x"));
    callExport("CloseFolder", nullptr);
    ASSERT_EQ(callExport("GetFileNumber", f), 3.0f);
    std::set<std::string> got;
    for (double k : {1.0, 2.9, 3.0}) {
        std::string m;
        EXPECT_EQ(callExport("GetFilePath", nullptr, k, &m), 0.0f);
        got.insert(m);
    }
    EXPECT_EQ(got, (std::set<std::string>{"\\p1", "\\p2", "\\p3"}));
    for (double k : {0.0, 4.0, -1.0}) {
        SCOPED_TRACE(k);
        std::string m = "(untouched)";
        EXPECT_EQ(callExport("GetFilePath", nullptr, k, &m), 0.0f);
        EXPECT_EQ(m, "(untouched)");
    }
    EXPECT_EQ(callExport("GetFilePath", nullptr, 1, nullptr), -1.0f);
    // GetFilePath does not move the GetFile position.
    std::string viaGetFile = getFiles(1)[0], viaPath;
    callExport("GetFilePath", nullptr, 1, &viaPath);
    EXPECT_EQ(viaGetFile, viaPath);
    callExport("CloseFolder", nullptr);
}

TEST(FileList, FetchesZeroFillInsideTheBlockOnly) {
    TempDir dir;
    const std::string f = dir.path("z/");
    ASSERT_TRUE(makeFolders(f));
    ASSERT_TRUE(writeText(f + "name.txt", "x"));
    callExport("CloseFolder", nullptr);
    ASSERT_EQ(callExport("GetFileNumber", f), 1.0f);
    struct Case {
        int size;
        float expected;
    } cases[] = {{300, 0}, {256, 0}, {20, 0}, {10, 0}, {9, hostcall::kMem1TooSmall}, {0, hostcall::kMem1TooSmall}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<char> block(400, 'x');
        EXPECT_EQ(rawCall("GetFilePath", nullptr, 1, block.data(), c.size), c.expected);
        if (c.expected == 0) {
            EXPECT_STREQ(block.data(), "\\name.txt");
            size_t end = std::min(256, c.size);
            EXPECT_TRUE(std::all_of(block.begin() + 10, block.begin() + end, [](char ch) { return ch == 0; }));
            EXPECT_TRUE(std::all_of(block.begin() + end, block.end(), [](char ch) { return ch == 'x'; }));
        } else {
            EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](char ch) { return ch == 'x'; }));
        }
    }
    // A GetFile whose name does not fit keeps its position.
    std::string m = "keep";
    EXPECT_EQ(callExport("GetFile", nullptr, 0, &m, 5), hostcall::kMem1TooSmall);
    EXPECT_EQ(m, "keep");
    EXPECT_EQ(getFiles(1)[0], "\\name.txt");
    callExport("CloseFolder", nullptr);
}

TEST(FileList, NamesStopWhereTheListIsFull) {
    // A name is kept only while the unit behind its terminator stays below
    // 4096: with 22-unit names exactly 178 fill the list to unit 4094; with
    // 34-unit names the 117th would end at 4096 and is left out.
    struct Case {
        size_t length;
        int files, stored;
    } cases[] = {{22, 180, 178}, {34, 118, 116}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        TempDir dir;
        const std::string f = dir.path("full/");
        ASSERT_TRUE(makeFolders(f));
        for (int i = 0; i < c.files; ++i) {
            std::string n = std::to_string(1000 + i);
            ASSERT_TRUE(writeText(f + n + std::string(c.length - n.size(), 'q'), ""));
        }
        EXPECT_EQ(callExport("GetFileNumber", f), static_cast<float>(c.stored));
        EXPECT_EQ(getFileNumber(f.c_str()), static_cast<float>(c.stored));
        EXPECT_EQ(fileListCount(), c.stored);
        EXPECT_EQ(_fileList[kFileListUnits - 1], L'\0');
        std::string last, past = "(untouched)";
        EXPECT_EQ(callExport("GetFilePath", nullptr, c.stored, &last), 0.0f);
        EXPECT_EQ(last.size(), c.length + 1);
        EXPECT_EQ(callExport("GetFilePath", nullptr, c.stored + 1, &past), 0.0f);
        EXPECT_EQ(past, "(untouched)");
        EXPECT_EQ(callExport("CountFiles", f, 1), static_cast<float>(c.files));
    }
}

TEST(CountFiles, ModesCountFilesFoldersOrBoth) {
    TempDir dir;
    const std::string f = dir.path("c/");
    ASSERT_TRUE(makeFolders(f + "sub1"));
    ASSERT_TRUE(makeFolders(f + kUnicodeFolder));
    for (const std::string& n : {std::string("a.txt"), std::string(".hidden"), kUnicodeName})
        ASSERT_TRUE(writeText(f + n, "x"));
    const std::set<std::string> files = {"a.txt", ".hidden", kUnicodeName}, folders = {"sub1", kUnicodeFolder};
    std::set<std::string> both = files;
    both.insert(folders.begin(), folders.end());
    struct Case {
        double mode;
        float count;
        const std::set<std::string>* names;
    } cases[] = {{1, 3, &files}, {2, 2, &folders}, {2.9, 2, &folders}, {3, 5, &both},
                 {0, 5, &both},  {4, 5, &both},    {-1, 5, &both}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(callExport("CountFiles", f, c.mode), c.count);
        std::string m;
        EXPECT_EQ(callExport("ListFiles", f, c.mode, &m), c.count);
        ASSERT_FALSE(m.empty());
        EXPECT_EQ(m.back(), '\n');
        std::set<std::string> listed;
        for (size_t start = 0, lf; (lf = m.find('\n', start)) != std::string::npos; start = lf + 1)
            listed.insert(m.substr(start, lf - start));
        EXPECT_EQ(listed, *c.names);
        EXPECT_EQ(std::count(m.begin(), m.end(), '\n'), static_cast<long>(c.count));
    }
    std::string m = "keep";
    EXPECT_EQ(callExport("ListFiles", f, 3, &m, 10), hostcall::kMem1TooSmall);
    EXPECT_EQ(m, "keep");
    EXPECT_EQ(callExport("CountFiles", dir.path("missing"), 3), -2.0f);
    EXPECT_EQ(callExport("ListFiles", dir.path("missing"), 3, &m), -2.0f);
    EXPECT_EQ(callExport("CountFiles", nullptr, 3), -5.0f);
    EXPECT_EQ(callExport("ListFiles", nullptr, 3, &m), -5.0f);
    EXPECT_EQ(callExport("ListFiles", f, 3, nullptr), -5.0f);
    std::string empty;
    ASSERT_TRUE(makeFolders(f + "sub1/none"));
    EXPECT_EQ(callExport("ListFiles", f + "sub1/none", 3, &empty), 0.0f);
    EXPECT_EQ(empty, "");
}

TEST(FolderPaths, LengthLimitsCountUtf16Units) {
    TempDir dir;
    // Missing folders: within the limit the enumeration fails (-2), beyond it
    // the path is refused (-1). The padding is two UTF-8 bytes per unit.
    const std::string base = dir.path("missing-");
    const std::string ok = withUnits(base, 257), tooLong = withUnits(base, 258);
    ASSERT_GT(ok.size(), 258u);
    std::string m;
    struct Case {
        const char* name;
        bool withMem1;
    } cases[] = {{"GetFileNumber", false}, {"CountFiles", false}, {"ListFiles", true}, {"EmptyFolder", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(callExport(c.name, ok, 3, c.withMem1 ? &m : nullptr), -2.0f);
        EXPECT_EQ(callExport(c.name, tooLong, 3, c.withMem1 ? &m : nullptr), -1.0f);
    }
    // CreateFolder takes paths of up to 259 units; MakeFolder has no limit.
    EXPECT_EQ(callExport("CreateFolder", withUnits(dir.path("x/"), 260)), -1.0f);
    EXPECT_EQ(callExport("CheckFolder", withUnits(dir.path(""), 260)), 0.0f);
}

TEST(DeleteFolder, EmptyFoldersOnly) {
    TempDir dir;
    ASSERT_TRUE(makeFolders(dir.path("empty")));
    ASSERT_TRUE(makeFolders(dir.path(kUnicodeFolder)));
    ASSERT_TRUE(makeFolders(dir.path("full")));
    ASSERT_TRUE(writeText(dir.path("full/a.txt"), "x"));
    ASSERT_TRUE(writeText(dir.path("file.txt"), "x"));
    struct Case {
        std::string path;
        float expected;
        bool existsAfter;
    } cases[] = {{dir.path("empty"), 0, false},
                 {dir.path(kUnicodeFolder), 0, false},
                 {dir.path("full"), -1, true},
                 {dir.path("missing"), -1, false},
                 {dir.path("file.txt"), -1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(callExport("DeleteFolder", c.path), c.expected);
        EXPECT_EQ(fileExists(c.path), c.existsAfter);
    }
    EXPECT_EQ(callExport("DeleteFolder", nullptr), -1.0f);
}
#endif
