// The file-access layer: UTF-8 paths, whole-file loads, bounded reads and
// checked writes.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <system_error>

#include "FileAccess.h"
#include "NewFile.h"
#include "Platform.h"
#include "TestSupport.h"
#include "WriteFaults.h"

#if !BRINDLEX_WINDOWS
#include <sys/stat.h>
#endif

TEST(FileAccess, LoadsWhatWasWrittenUnderAUtf8Name) {
    TempDir dir;
    const std::string names[] = {"plain.bin", "m\xC3\xA4p \xE2\x98\x83.bin", "\xE6\x97\xA5\xE6\x9C\xAC.Mesk"};
    for (const std::string& n : names) {
        SCOPED_TRACE(n);
        std::vector<std::uint8_t> bytes(100000);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
        {
            fileio::NewFile f;
            ASSERT_EQ(f.begin(dir.path(n).c_str(), fileio::Target::Output), fileio::Written::Ok);
            f.put(bytes.data(), 10);
            f.put(bytes.data() + 10, bytes.size() - 10);
            ASSERT_EQ(f.commit(), fileio::Written::Ok);
        }
        EXPECT_EQ(readBytes(dir.path(n)).size(), bytes.size());
        fileio::FileWindow w;
        fileio::Bytes back;
        ASSERT_EQ(w.open(dir.path(n).c_str()), fileio::Load::Ok);
        ASSERT_TRUE(w.whole(back));
        ASSERT_EQ(back.size, bytes.size());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.data));
    }
}

TEST(FileAccess, RefusesMissingAndEmptyPaths) {
    TempDir dir;
    fileio::FileWindow w;
    EXPECT_EQ(w.open(dir.path("missing.bin").c_str()), fileio::Load::CannotOpen);
    EXPECT_EQ(w.open(""), fileio::Load::CannotOpen);
    EXPECT_EQ(w.open(nullptr), fileio::Load::CannotOpen);
    ASSERT_TRUE(writeBytes(dir.path("empty.bin"), {}));
    ASSERT_EQ(w.open(dir.path("empty.bin").c_str()), fileio::Load::Ok);
    fileio::Bytes b(nullptr, 7);
    ASSERT_TRUE(w.whole(b));
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(w.open(dir.path("missing.bin").c_str()), fileio::Load::CannotOpen);
    EXPECT_EQ(w.size(), 0u);
}

TEST(FileAccess, SameFileGoesByIdentityNotSpelling) {
    TempDir dir;
    const std::string name = "m\xC3\xA4p.bin";
    ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path(dir.path("sub"))));
    ASSERT_TRUE(writeBytes(dir.path(name), {1, 2, 3}));
    ASSERT_TRUE(writeBytes(dir.path("twin.bin"), {1, 2, 3}));  // equal bytes, another file
    const std::string a = dir.path(name);
    EXPECT_TRUE(fileio::sameFile(a.c_str(), a.c_str()));
    EXPECT_TRUE(fileio::sameFile(a.c_str(), dir.path("sub/../" + name).c_str()));
    EXPECT_FALSE(fileio::sameFile(a.c_str(), dir.path("twin.bin").c_str()));
    EXPECT_FALSE(fileio::sameFile(a.c_str(), dir.path("missing.bin").c_str()));
    EXPECT_FALSE(fileio::sameFile(dir.path("missing.bin").c_str(), dir.path("missing.bin").c_str()));
    EXPECT_FALSE(fileio::sameFile(a.c_str(), dir.path("sub").c_str()));
    EXPECT_FALSE(fileio::sameFile(nullptr, a.c_str()));
    EXPECT_FALSE(fileio::sameFile(a.c_str(), ""));
    std::error_code ec;
    std::filesystem::create_hard_link(std::filesystem::u8path(a), std::filesystem::u8path(dir.path("link.bin")), ec);
    if (!ec) {
        EXPECT_TRUE(fileio::sameFile(a.c_str(), dir.path("link.bin").c_str())) << "a hard link";
    }
}

// Only a regular file opens, for reading or for update alike; opening
// changes and creates nothing, and a pipe is refused without waiting for a
// writer at its other end.
TEST(FileAccess, OnlyRegularFilesOpen) {
    TempDir dir;
    ASSERT_TRUE(writeBytes(dir.path("t.bin"), {1, 2, 3}));
    ASSERT_TRUE(makeFolders(dir.path("folder")));
    const struct {
        std::string path;
        bool opens;
    } cases[] = {
        {dir.path("t.bin"), true},
        {dir.path("folder"), false},
        {dir.path("new.bin"), false},
        {"", false},
#if !BRINDLEX_WINDOWS
        {dir.path("pipe"), false},
#endif
    };
#if !BRINDLEX_WINDOWS
    ASSERT_EQ(::mkfifo(dir.path("pipe").c_str(), 0600), 0);
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(fileio::opens(c.path), c.opens);
        EXPECT_EQ(fileio::opens(c.path, true), c.opens);
        fileio::FileWindow w;
        EXPECT_EQ(w.open(c.path.c_str()) == fileio::Load::Ok, c.opens);
    }
    EXPECT_EQ(fileio::opens(nullptr), false);
    EXPECT_EQ(readBytes(dir.path("t.bin")), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_FALSE(fileExists(dir.path("new.bin")));
}

// readSome copies what the file holds of a range: all of it inside the
// file, the part before the end, nothing from the end on.
TEST(FileWindow, ReadSomeStopsAtTheEnd) {
    TempDir dir;
    std::vector<unsigned char> bytes(10000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    ASSERT_TRUE(writeBytes(dir.path("r.bin"), bytes));
    fileio::FileWindow w(4096, fileio::FileWindow::Fill::Read);
    ASSERT_EQ(w.open(dir.path("r.bin").c_str()), fileio::Load::Ok);
    const struct {
        std::uint64_t off;
        std::size_t n, got;
    } cases[] = {{0, 100, 100}, {9990, 100, 10}, {10000, 5, 0}, {20000, 5, 0}, {UINT64_MAX, 5, 0}, {3, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.off) + "+" + std::to_string(c.n));
        std::vector<unsigned char> out(c.n + 1, 0xEE);
        ASSERT_EQ(w.readSome(c.off, out.data(), c.n), c.got);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.got),
                               bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.off, 10000))));
        EXPECT_EQ(out[c.got], 0xEE) << "written past what was read";
        EXPECT_EQ(w.read(c.off, out.data(), c.n), c.got == c.n && c.off <= 10000);
    }
}

TEST(Bytes, LoadsAndRangesStopAtTheEnd) {
    const std::uint8_t data[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    fileio::Bytes b(data, sizeof data);
    std::uint32_t v32 = 0;
    EXPECT_TRUE(b.le32(2, v32));
    EXPECT_EQ(v32, 0x06050403u);
    EXPECT_FALSE(b.le32(3, v32));
    EXPECT_FALSE(b.le32(SIZE_MAX - 1, v32));
    EXPECT_FALSE(b.has(SIZE_MAX, 2));
    EXPECT_TRUE(b.has(6, 0));
    EXPECT_FALSE(b.hasArray(0, SIZE_MAX / 2, 4));  // the product would overflow
    EXPECT_TRUE(b.hasArray(2, 2, 2));
    EXPECT_FALSE(b.hasArray(2, 3, 2));
}

TEST(ByteOrder, LoadsAndStoresByteByByte) {
    struct Case {
        std::uint8_t b[4];
        std::uint16_t le16, be16;
        std::uint32_t le32, be32;
        std::int32_t lei32;
        float lef32, bef32;
    } cases[] = {
        // A Mesk UV tag; 25001 as a float is a subnormal.
        {{0xA9, 0x61, 0x00, 0x00}, 0x61A9, 0xA961, 25001u, 0xA9610000u, 25001, 3.5033863e-41f, -4.9960036e-14f},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF, 0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu, -1, std::nanf(""), std::nanf("")},
        {{0x00, 0x00, 0x00, 0x80}, 0x0000, 0x0000, 0x80000000u, 0x00000080u, INT32_MIN, -0.0f, 1.7936620e-43f},
        {{0x00, 0x00, 0x80, 0x3F}, 0x0000, 0x0000, 0x3F800000u, 0x0000803Fu, 0x3F800000, 1.0f, 4.6006030e-41f},
        {{0x3F, 0x80, 0x00, 0x00}, 0x803F, 0x3F80, 0x0000803Fu, 0x3F800000u, 0x803F, 4.6006030e-41f, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.le32);
        EXPECT_EQ(fileio::loadLE16(c.b), c.le16);
        EXPECT_EQ(fileio::loadBE16(c.b), c.be16);
        EXPECT_EQ(fileio::loadLE32(c.b), c.le32);
        EXPECT_EQ(fileio::loadBE32(c.b), c.be32);
        EXPECT_EQ(fileio::loadLEi32(c.b), c.lei32);
        // Floats by their bits: NaN and -0 compare by pattern, not by value.
        EXPECT_EQ(fileio::bitsOfFloat(fileio::loadLEf32(c.b)), c.le32);
        EXPECT_EQ(fileio::bitsOfFloat(fileio::loadBEf32(c.b)), c.be32);
        if (!std::isnan(c.lef32)) {
            EXPECT_FLOAT_EQ(fileio::loadLEf32(c.b), c.lef32);
        }
        if (!std::isnan(c.bef32)) {
            EXPECT_FLOAT_EQ(fileio::loadBEf32(c.b), c.bef32);
        }

        // Every store writes back the bytes its load read, and only those.
        struct Store {
            const char* what;
            std::function<void(std::uint8_t*)> store;
            std::size_t n;
        } stores[] = {
            {"LE16", [&](std::uint8_t* p) { fileio::storeLE16(p, c.le16); }, 2},
            {"BE16", [&](std::uint8_t* p) { fileio::storeBE16(p, c.be16); }, 2},
            {"LE32", [&](std::uint8_t* p) { fileio::storeLE32(p, c.le32); }, 4},
            {"BE32", [&](std::uint8_t* p) { fileio::storeBE32(p, c.be32); }, 4},
            {"LEf32", [&](std::uint8_t* p) { fileio::storeLEf32(p, fileio::loadLEf32(c.b)); }, 4},
        };
        for (const Store& s : stores) {
            SCOPED_TRACE(s.what);
            std::uint8_t out[6] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
            s.store(out + 1);  // unaligned on purpose
            EXPECT_EQ(out[0], 0x5A);
            EXPECT_TRUE(std::equal(c.b, c.b + s.n, out + 1));
            EXPECT_TRUE(std::all_of(out + 1 + s.n, out + 6, [](std::uint8_t v) { return v == 0x5A; }));
        }
    }
}

// Views anywhere in a file several windows long read back its bytes, on any
// order of requests; ranges outside it give nothing.
TEST(FileWindow, ViewsReadBackTheFileAndStopAtItsEnd) {
    TempDir dir;
    const std::size_t size = 2 * fileio::FileWindow::kWindow + 12345;
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
    ASSERT_TRUE(writeBytes(dir.path("w\xC3\xA4.bin"), bytes));
    fileio::FileWindow w;
    ASSERT_EQ(w.open(dir.path("w\xC3\xA4.bin").c_str()), fileio::Load::Ok);
    ASSERT_EQ(w.size(), size);
    struct Ask {
        std::uint64_t off;
        std::size_t n;
        bool inside;
    };
    const std::size_t W = fileio::FileWindow::kWindow, B = fileio::FileWindow::kBlock;
    const Ask asks[] = {
        {0, 16, true},
        {W - 8, 16, true},
        {size - B, B, true},
        {1, 3 * B, true},
        {W + 4097, B, true},
        {0, size, true},
        {size - 1, 1, true},
        {size, 0, true},
        {5, 0, true},
        {size, 1, false},
        {size - 3, 4, false},
        {UINT64_MAX, 1, false},
        {UINT64_MAX - 2, 8, false},
        {W / 2, B, true},  // back into an earlier window
    };
    for (const Ask& a : asks) {
        SCOPED_TRACE(std::to_string(a.off) + "+" + std::to_string(a.n));
        const std::uint8_t* p = w.view(a.off, a.n);
        if (!a.inside) {
            EXPECT_EQ(p, nullptr);
            continue;
        }
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(std::equal(p, p + a.n, bytes.begin() + static_cast<std::ptrdiff_t>(a.off)));
    }
    // A pass in blocks of whole 12-byte elements sees every element once.
    std::vector<std::uint8_t> seen;
    std::size_t calls = 0;
    ASSERT_TRUE(fileio::forEachBlock(w, 4, (size - 4) / 12, 12, [&](const std::uint8_t* p, std::size_t count) {
        ++calls;
        seen.insert(seen.end(), p, p + 12 * count);
        return true;
    }));
    EXPECT_GT(calls, 2u);
    EXPECT_TRUE(std::equal(seen.begin(), seen.end(), bytes.begin() + 4));
    EXPECT_EQ(seen.size(), (size - 4) / 12 * 12);
    // A block past the end stops the pass; fn's false stops it as well.
    EXPECT_FALSE(fileio::forEachBlock(w, size - 8, 1, 12, [](const std::uint8_t*, std::size_t) { return true; }));
    EXPECT_FALSE(fileio::forEachBlock(w, 0, 10, 12, [](const std::uint8_t*, std::size_t) { return false; }));
}

TEST(FileWindow, OpensRegularFilesOnly) {
    TempDir dir;
    ASSERT_TRUE(writeBytes(dir.path("empty.bin"), {}));
    ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path(dir.path("folder"))));
    fileio::FileWindow w;
    EXPECT_EQ(w.open(dir.path("empty.bin").c_str()), fileio::Load::Ok);
    EXPECT_EQ(w.size(), 0u);
    EXPECT_NE(w.view(0, 0), nullptr);
    EXPECT_EQ(w.view(0, 1), nullptr);
    for (const std::string& bad : {dir.path("folder"), dir.path("missing.bin"), std::string()}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(w.open(bad.c_str()), fileio::Load::CannotOpen);
        EXPECT_EQ(w.size(), 0u);
        EXPECT_EQ(w.view(0, 0), nullptr);
    }
}

// Windows smaller than the default, mapped or read, give the same bytes for
// views that fit in one, span several, start off the page grid or go back.
TEST(FileWindow, SmallAndReadWindowsViewTheSameBytes) {
    TempDir dir;
    std::vector<std::uint8_t> bytes(300001);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
    ASSERT_TRUE(writeBytes(dir.path("s.bin"), bytes));
    using Fill = fileio::FileWindow::Fill;
    const struct {
        std::size_t window;
        Fill fill;
    } kinds[] = {{4096, Fill::Map}, {5000, Fill::Read}, {1, Fill::Read}, {fileio::FileWindow::kWindow, Fill::Read}};
    const std::uint64_t offs[] = {0, 4095, 4097, 70000, 299990, 12345, 300001};
    for (const auto& k : kinds) {
        fileio::FileWindow w(k.window, k.fill);
        ASSERT_EQ(w.open(dir.path("s.bin").c_str()), fileio::Load::Ok);
        for (const std::uint64_t off : offs)
            for (const std::size_t n : {std::size_t(0), std::size_t(3), std::size_t(9000), std::size_t(100000)}) {
                SCOPED_TRACE(std::to_string(k.window) + " " + std::to_string(off) + "+" + std::to_string(n));
                const std::uint8_t* p = w.view(off, n);
                if (off + n > bytes.size()) {
                    EXPECT_EQ(p, nullptr);
                    continue;
                }
                ASSERT_NE(p, nullptr);
                EXPECT_TRUE(std::equal(p, p + n, bytes.begin() + static_cast<std::ptrdiff_t>(off)));
            }
    }
}

namespace {

bool failEveryWrite(fileio::faults::Step s) { return s == fileio::faults::Step::Write; }

// Nothing but the destination's own name in its folder.
bool onlyFileIn(const std::string& folder, const std::string& name) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.path().filename().string() != name) return false;
    return !ec;
}

}  // namespace

TEST(FileLayer, CopyFileSaysWhyAndLeavesTheDestinationOnFailure) {
    std::vector<unsigned char> big(3 * fileio::NewFile::kBuffer + 7);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 13 + 5);
    const std::vector<unsigned char> old = {'o', 'l', 'd'};
    const struct {
        const char* what;
        const char* source;  // in the folder: "big", "empty", "folder", or a missing name
        const char* destination;
        bool failWrites;
        fileio::Written expected;
    } cases[] = {
        {"several blocks over an old file", "big", "dst/out.bin", false, fileio::Written::Ok},
        {"an empty file", "empty", "dst/out.bin", false, fileio::Written::Ok},
        {"a missing source", "missing", "dst/out.bin", false, fileio::Written::CannotOpen},
        {"a folder as the source", "folder", "dst/out.bin", false, fileio::Written::CannotOpen},
        {"into a missing folder", "big", "nowhere/out.bin", false, fileio::Written::CannotCreate},
        {"a write that fails", "big", "dst/out.bin", true, fileio::Written::Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ASSERT_TRUE(writeBytes(dir.path("big"), big));
        ASSERT_TRUE(writeBytes(dir.path("empty"), {}));
        std::filesystem::create_directories(dir.path("folder"));
        std::filesystem::create_directories(dir.path("dst"));
        ASSERT_TRUE(writeBytes(dir.path("dst/out.bin"), old));
        if (c.failWrites) fileio::faults::setHook(failEveryWrite);
        const fileio::Written w =
            fileio::copyFile(dir.path(c.source).c_str(), dir.path(c.destination).c_str(), fileio::Target::Output);
        fileio::faults::setHook(nullptr);
        EXPECT_EQ(w, c.expected);
        const std::vector<unsigned char> want = c.expected != fileio::Written::Ok ? old
                                                : std::string(c.source) == "big"  ? big
                                                                                  : std::vector<unsigned char>{};
        EXPECT_TRUE(readBytes(dir.path("dst/out.bin")) == want);
        EXPECT_TRUE(onlyFileIn(dir.path("dst"), "out.bin"));  // no new file left beside it
    }
}

TEST(FileLayer, RenameAndRemoveAreTheSystemsOwn) {
    TempDir dir;
    const std::string a = dir.path("a.bin"), b = dir.path("b.bin"), empty = dir.path("empty");
    ASSERT_TRUE(writeBytes(a, {'a'}));
    ASSERT_TRUE(writeBytes(b, {'b'}));
    std::filesystem::create_directories(empty);
    // POSIX replaces an existing destination; Windows never does.
    EXPECT_EQ(fileio::renameName(a.c_str(), b.c_str()), !kWindowsBuild);
    EXPECT_TRUE(readBytes(b) == std::vector<unsigned char>{static_cast<unsigned char>(kWindowsBuild ? 'b' : 'a')});
    EXPECT_FALSE(fileio::renameName(dir.path("missing").c_str(), dir.path("c.bin").c_str()));
    EXPECT_TRUE(fileio::removeName(b.c_str()));
    EXPECT_FALSE(fileExists(b));
    EXPECT_FALSE(fileio::removeName(b.c_str()));
    // POSIX also removes an empty folder; Windows removes files only.
    EXPECT_EQ(fileio::removeName(empty.c_str()), !kWindowsBuild);
}
