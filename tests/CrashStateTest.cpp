// Power cuts on a real file system: every writing export runs on an ext4
// image attached to a loop device, and the machine "loses power" once the
// call has returned: the file system is stopped dead without flushing its
// journal (at once, or after its next commit), or the image is copied as
// the device had it. Once the journal has been replayed, every destination
// must be byte for byte its old content or its new one (never empty, short
// or mixed), the inputs as they were, and no other file in the folder.
// After a call that returned success the new content is expected.
//
// Needs root, losetup, mkfs.ext4 and the ext4 shutdown ioctl; the tests skip,
// saying what is missing, where any of them is not there (a user-mode
// emulator, for one, does not pass the ioctl on).
#include "Platform.h"
#include "TestSupport.h"

#if !BRINDLEX_WINDOWS
#if defined(__linux__)
#include <fcntl.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "BmpOps.h"
#include "FileOps.h"
#include "JpegOps.h"
#include "MeskOps.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TiffOps.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

// The system headers do not always carry ext4's own ioctls.
#ifndef EXT4_IOC_SHUTDOWN
#define EXT4_IOC_SHUTDOWN _IOR('X', 125, __u32)
#endif
#ifndef EXT4_GOING_FLAGS_NOLOGFLUSH
#define EXT4_GOING_FLAGS_NOLOGFLUSH 0x2
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr std::uint64_t kImageBytes = 64u << 20;
// The journal commits every second; this is past the next commit.
constexpr auto kPastNextCommit = std::chrono::milliseconds(1500);

std::string shellWord(const std::string& s) {
    std::string q = "'";
    for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

// Runs a command through the shell; true when it exits 0. Its output (both
// streams, trailing blanks cut) goes to *out.
bool shell(const std::string& command, std::string* out = nullptr) {
    std::string text;
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        const int status = pclose(p);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        if (out) *out = text;
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (out) *out = std::strerror(errno);
    return false;
}

// An ext4 file system in an image file, on a loop device, mounted with a
// journal commit every second. Whatever happens, it is unmounted and the
// device detached when the object goes.
class LoopDisk {
public:
    LoopDisk(std::string image, std::string mountPoint) : image_(std::move(image)), mnt_(std::move(mountPoint)) {}
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;
    ~LoopDisk() {
        if (mounted_) unmount(true);
        if (!device_.empty()) shell("losetup -d " + shellWord(device_));
    }

    // Why the last step failed.
    const std::string& why() const { return why_; }
    // A path on the mounted file system.
    std::string path(const std::string& name = std::string()) const { return mnt_ + "/" + name; }

    // A fresh, sparse image holding an empty file system.
    bool format() {
        const int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool sized = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(kImageBytes)) == 0;
        if (fd >= 0) ::close(fd);
        if (!sized) return fail("cannot make the image file: " + std::string(std::strerror(errno)));
        std::string out;
        if (!shell("mkfs.ext4 -q -F " + shellWord(image_), &out))
            return fail("mkfs.ext4 is missing or refused: " + out);
        return true;
    }
    bool attach() {
        std::string out;
        const bool ok = shell("losetup -f --show " + shellWord(image_), &out);
        // The device is the last line; a warning may come before it.
        const std::string device = out.substr(out.rfind('\n') + 1);
        if (!ok || device.rfind("/dev/", 0) != 0) return fail("losetup is missing or refused: " + out);
        device_ = device;
        return true;
    }
    bool mount() {
        std::error_code ec;
        fs::create_directories(mnt_, ec);
        if (::mount(device_.c_str(), mnt_.c_str(), "ext4", 0, "commit=1") != 0)
            return fail("mounting " + device_ + " as ext4 was refused: " + std::strerror(errno));
        mounted_ = true;
        return true;
    }
    // A file that some process still holds open keeps the file system busy
    // for a moment at most; the last resort detaches it lazily.
    bool unmount(bool lazyAtLast = false) {
        int e = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (::umount2(mnt_.c_str(), 0) == 0) {
                mounted_ = false;
                return true;
            }
            e = errno;
            if (e != EBUSY) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (lazyAtLast && ::umount2(mnt_.c_str(), MNT_DETACH) == 0) mounted_ = false;
        return fail("unmounting " + mnt_ + " failed: " + std::strerror(e));
    }
    // Unmounted and mounted again: the journal is replayed.
    bool remount() { return unmount() && mount(); }

    // Everything written so far on stable storage.
    bool sync() {
        const int fd = ::open(mnt_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool ok = fd >= 0 && ::syncfs(fd) == 0;
        if (fd >= 0) ::close(fd);
        return ok || fail("syncfs failed: " + std::string(std::strerror(errno)));
    }
    // The power cut: the file system stops where it is; nothing more
    // reaches the device, and the journal is not flushed. 0, or the errno
    // of the refused ioctl.
    int cut() {
        const int fd = ::open(mnt_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return errno;
        __u32 flags = EXT4_GOING_FLAGS_NOLOGFLUSH;
        const int r = ::ioctl(fd, EXT4_IOC_SHUTDOWN, &flags);
        const int e = errno;
        ::close(fd);
        return r == 0 ? 0 : e;
    }

    // Transactions the journal has committed since the mount; -1 where the
    // system does not tell.
    long commits() const {
        const std::size_t slash = device_.rfind('/');
        std::ifstream info("/proc/fs/jbd2/" + device_.substr(slash + 1) + "-8/info");
        long n = -1;
        return info >> n ? n : -1;
    }
    // Returns once the journal has committed what is in it now: the commit
    // under way, if any, and the next one (which takes at most a commit
    // interval on an idle machine, longer on a loaded one).
    void waitForCommit() {
        const long before = commits();
        std::this_thread::sleep_for(kPastNextCommit);
        auto changed = std::chrono::steady_clock::now();
        const auto deadline = changed + std::chrono::seconds(10);
        for (long last = commits(); last >= 0 && last < before + 2;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const auto now = std::chrono::steady_clock::now();
            const long n = commits();
            if (n != last) changed = now;
            last = n;
            // One commit and then a quiet interval: there was none under way.
            if ((last == before + 1 && now - changed > kPastNextCommit) || now > deadline) break;
        }
    }

private:
    bool fail(std::string why) {
        why_ = std::move(why);
        return false;
    }

    std::string image_, mnt_, device_, why_;
    bool mounted_ = false;
};

// Copies an image file as it is at this moment, which is what the loop
// device has passed to it (the file system's unwritten pages are not
// there). Holes stay holes.
bool copyImage(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = in >= 0 && out >= 0;
    const off_t size = ok ? ::lseek(in, 0, SEEK_END) : -1;
    ok = ok && size >= 0 && ::ftruncate(out, size) == 0;
    std::vector<char> block(1u << 20);
    for (off_t pos = 0; ok && pos < size;) {
        const off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0) break;  // nothing but a hole to the end
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        ok = hole > data;
        for (off_t at = data; ok && at < hole;) {
            const auto want = static_cast<std::size_t>(std::min<off_t>(hole - at, static_cast<off_t>(block.size())));
            const ssize_t got = ::pread(in, block.data(), want, at);
            ok = got > 0 && ::pwrite(out, block.data(), static_cast<std::size_t>(got), at) == got;
            at += got;
        }
        pos = hole;
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ok = ::close(out) == 0 && ok;
    return ok;
}

// ---------------------------------------------------------------------------
// The cases: each runs in a folder of its own, laid out with its files.

struct Case {
    const char* name;
    std::vector<std::pair<std::string, Bytes>> before;  // the folder's files before the call
    std::vector<std::string> written;  // the files the call replaces, or makes when they are not in `before`
    std::function<float(const std::string& folder)> op;  // folder ends in '/'
    float result;
};

Bytes asBytes(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

// Bytes standing for an earlier output, of any length.
Bytes filler(std::size_t n, unsigned seed) {
    Bytes b(n);
    std::uint32_t s = seed * 2654435761u + 1;
    for (auto& x : b) {
        s = s * 1103515245u + 12345u;
        x = static_cast<unsigned char>(s >> 24);
    }
    return b;
}

// Maps large enough to span many blocks, so that a write the system has
// only partly done shows.
constexpr int kW = 256, kH = 160;

// A picture whose 8-pixel squares alternately show key and another colour:
// a merge keyed on key changes half of it.
fixtures::Picture keyed(fixtures::Rgb key) {
    fixtures::Picture p(kW, kH, fixtures::Rgb{250, 240, 10});
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            if ((x / 8 + y / 8) % 2 == 0) p.at(x, y) = key;
    return p;
}

std::uint8_t ramp(std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>(x * 3 + y * 5 + c * 70); }

std::vector<Case> allCases() {
    const fixtures::Picture pic = fixtures::coordinates(kW, kH);
    const fixtures::Picture target = keyed(pic.at(0, 0));
    const Bytes bmp = asBytes(fixtures::makeBmp(pic)), bmpTarget = asBytes(fixtures::makeBmp(target));
    const Bytes psd = asBytes(fixtures::makePsdRgb(pic)), psdTarget = asBytes(fixtures::makePsdRgb(target));
    const Bytes tif8 = TiffBuilder(kW, kH, 3, 8).u8s(ramp).build();
    // B shows A's first pixel on half its squares.
    const Bytes tif8Target =
        TiffBuilder(kW, kH, 3, 8)
            .u8s([](std::uint32_t x, std::uint32_t y, int c) {
                return (x / 8 + y / 8) % 2 == 0 ? ramp(0, 0, c) : static_cast<std::uint8_t>(255 - 40 * c);
            })
            .build();
    auto level = [](std::uint32_t x, std::uint32_t y, int c) {
        return static_cast<float>((x * 7 + y * 13 + static_cast<std::uint32_t>(c) * 5) % 1000) / 1000.0f;
    };
    const Bytes floatRgb = TiffBuilder(kW, kH, 3, 32).floats(level).build();
    const Bytes floatGrey = TiffBuilder(kW, kH, 1, 32).floats(level).build();
    // Three UV tiles: two tile files from an earlier split, the third new.
    const Bytes mesh = asBytes(gridMesh(3, 1, 12, 3).build().bytes());
    const Bytes crease = asBytes(gridMesh(2, 1, 10, 2, 0, 1).build().bytes());

    return {
        {"mergeMapsPSD",
         {{"a.psd", psd}, {"b.psd", psdTarget}},
         {"b.psd"},
         [](const std::string& f) { return mergePSD((f + "a.psd").c_str(), (f + "b.psd").c_str()); },
         0.0f},
        {"swapRGBPSD",
         {{"map.psd", psd}},
         {"map.psd"},
         [](const std::string& f) { return swapChannelsPSD((f + "map.psd").c_str(), 2); },
         0.0f},
        {"CreateThumbnail",
         {{"map.psd", psd}},
         {"map.psd"},
         [](const std::string& f) { return createThumb((f + "map.psd").c_str(), 16); },
         0.0f},
        {"CreateThumbnailBMP",
         {{"map.bmp", bmp}},
         {"map.bmp"},
         [](const std::string& f) { return createBMPthumb((f + "map.bmp").c_str(), 16); },
         0.0f},
        {"mergeCrease",
         {{"crease.Mesk", crease}, {"target.Mesk", mesh}},
         {"target.Mesk"},
         [](const std::string& f) {
             std::string target = f + "target.Mesk";
             return mergeFiles((f + "crease.Mesk").c_str(), &target[0]);
         },
         0.0f},
        {"swapRGBTIF",
         {{"map.tif", tif8}},
         {"map.tif"},
         [](const std::string& f) { return swapChannels((f + "map.tif").c_str(), 2); },
         0.0f},
        {"mergeMapsTIF",
         {{"a.tif", tif8}, {"b.tif", tif8Target}},
         {"b.tif"},
         [](const std::string& f) { return mergeTiff((f + "a.tif").c_str(), (f + "b.tif").c_str()); },
         0.0f},
        {"swapRGBBMP",
         {{"map.bmp", bmp}},
         {"map.bmp"},
         [](const std::string& f) { return swapChannelsBMP((f + "map.bmp").c_str(), 1); },
         0.0f},
        {"mergeMapsBMP",
         {{"source.bmp", bmp}, {"target.bmp", bmpTarget}},
         {"target.bmp"},
         [](const std::string& f) { return mergeBMP((f + "source.bmp").c_str(), (f + "target.bmp").c_str()); },
         0.0f},
        {"convertTIFF16",
         {{"float.tif", floatRgb}, {"out.tif", filler(70000, 1)}},
         {"out.tif"},
         [](const std::string& f) { return convertTiff((f + "float.tif").c_str(), (f + "out.tif").c_str(), 3); },
         0.0f},
        {"convertTIFF16 to a new PSD",
         {{"float.tif", floatGrey}},
         {"out.psd"},
         [](const std::string& f) { return convertTiff((f + "float.tif").c_str(), (f + "out.psd").c_str(), 1); },
         0.0f},
        {"saveAsTarga",
         {{"map.tif", tif8}, {"map.tga", filler(300000, 2)}},
         {"map.tga"},
         [](const std::string& f) { return convertToTarga((f + "map.tif").c_str(), (f + "map.tga").c_str()); },
         0.0f},
        {"saveAsJpeg",
         {{"map.bmp", bmp}, {"map.jpg", filler(5000, 3)}},
         {"map.jpg"},
         [](const std::string& f) { return convertToJPEG((f + "map.bmp").c_str(), (f + "map.jpg").c_str(), 50); },
         0.0f},
        {"FileCopyTo",
         {{"source.bmp", bmp}, {"copy.bmp", bmpTarget}},
         {"copy.bmp"},
         [](const std::string& f) { return fileCopyTo((f + "source.bmp").c_str(), (f + "copy.bmp").c_str()); },
         0.0f},
        {"getUVs",
         {{"mesh.Mesk", mesh}, {"tile0.Mesk", filler(9000, 4)}, {"tile1.Mesk", filler(100, 5)}},
         {"tile0.Mesk", "tile1.Mesk", "tile2.Mesk"},
         [](const std::string& f) { return GetUVsFromMesk((f + "mesh.Mesk").c_str(), (f + "tile.Mesk").c_str(), 0); },
         3.0f},
    };
}

const Bytes* oldOf(const Case& c, const std::string& name) {
    for (const auto& file : c.before)
        if (file.first == name) return &file.second;
    return nullptr;
}

std::string folderOf(std::size_t i) { return "c" + std::to_string(i); }

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names.insert(entry.path().filename().string());
    return names;
}

std::set<std::string> expectedNames(const Case& c) {
    std::set<std::string> names(c.written.begin(), c.written.end());
    for (const auto& file : c.before) names.insert(file.first);
    return names;
}

// The files' permission bits and owner: not what a new file gets, so that a
// replacement that did not carry them over shows.
constexpr mode_t kMode = 0640;
constexpr uid_t kOwner = 65534;
constexpr gid_t kGroup = 65534;

// Makes a case's folder with its files.
void lay(const Case& c, const std::string& folder) {
    ASSERT_TRUE(makeFolders(folder));
    for (const auto& file : c.before) {
        const std::string path = folder + file.first;
        ASSERT_TRUE(writeBytes(path, file.second)) << file.first;
        ASSERT_EQ(::chmod(path.c_str(), kMode), 0);
        ASSERT_EQ(::chown(path.c_str(), kOwner, kGroup), 0);
    }
}

// Whether a file replaced kept the bits and owner lay() gave the old one.
bool keptMetadata(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == kMode && st.st_uid == kOwner &&
           st.st_gid == kGroup;
}

std::optional<Bytes> contentOf(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    return readBytes(path);
}

// What a clean run leaves, off the loop device: each case run in a folder
// of its own, its written files' content by name.
using Outcome = std::map<std::string, Bytes>;

std::vector<Outcome> cleanRuns(const std::vector<Case>& cases, const std::string& base) {
    std::vector<Outcome> outcomes;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string folder = base + folderOf(i) + "/";
        EXPECT_NO_FATAL_FAILURE(lay(c, folder));
        EXPECT_EQ(c.op(folder), c.result);
        Outcome o;
        for (const std::string& name : c.written) {
            std::optional<Bytes> now = contentOf(folder + name);
            EXPECT_TRUE(now.has_value()) << name << " was not written";
            const Bytes* old = oldOf(c, name);
            // Old and new must differ, or the check after a cut tells nothing.
            EXPECT_TRUE(!old || !now || *old != *now) << name << " comes out as it was";
            EXPECT_TRUE(!old || keptMetadata(folder + name)) << name << " lost its permission bits or owner";
            o[name] = now.value_or(Bytes());
        }
        EXPECT_EQ(namesIn(folder), expectedNames(c));
        outcomes.push_back(std::move(o));
    }
    return outcomes;
}

// What a file holds against what it should: its size, its zero bytes and
// how far it agrees with want (and the old content's size, where given).
std::string describe(const std::optional<Bytes>& now, const Bytes* old, const Bytes& want) {
    if (!now) return "missing";
    std::size_t agree = 0;
    while (agree < now->size() && agree < want.size() && (*now)[agree] == want[agree]) ++agree;
    std::ostringstream s;
    s << now->size() << " bytes, " << std::count(now->begin(), now->end(), 0) << " of them zero, against "
      << want.size() << " bytes";
    if (old) s << " (the old content " << old->size() << ")";
    s << "; the first " << agree << " agree";
    return s.str();
}

// The folder of case c after a cut: every written file old or new (absent
// only where there was none), with the new content expected since the call
// reported success; every input as it was; no other name.
void checkAfterCut(const Case& c, const Outcome& fresh, const std::string& folder) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : c.written) {
        const std::optional<Bytes> now = contentOf(folder + name);
        const Bytes* old = oldOf(c, name);
        const Bytes& want = fresh.at(name);
        const bool isNew = now && *now == want;
        const bool isOld = old ? now && *now == *old : !now;
        EXPECT_TRUE(isNew || isOld) << name << " is neither its old content nor the new: " << describe(now, old, want);
        if (isOld) ADD_FAILURE() << name << " lost the write the call reported done: it is as it was";
        EXPECT_TRUE(!old || !now || keptMetadata(folder + name)) << name << " lost its permission bits or owner";
    }
    for (const auto& file : c.before) {
        if (std::find(c.written.begin(), c.written.end(), file.first) != c.written.end()) continue;
        const std::optional<Bytes> now = contentOf(folder + file.first);
        EXPECT_TRUE(now && *now == file.second) << file.first << " changed: " << describe(now, nullptr, file.second);
    }
    // A new output may be missing (checked above); nothing else may be there.
    std::set<std::string> others = namesIn(folder);
    for (const std::string& name : expectedNames(c)) others.erase(name);
    EXPECT_TRUE(others.empty()) << "left in the folder: " << testing::PrintToString(others);
}

class CrashState : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a loop device and a mount need root";
        disk_ = std::make_unique<LoopDisk>(dir_.path("disk.img"), dir_.path("mnt"));
        if (!disk_->format() || !disk_->attach() || !disk_->mount()) GTEST_SKIP() << disk_->why();
        // The cut must be a real one: a file written but never flushed is
        // lost by it, and nothing more is written until the remount. A
        // user-mode emulator passes no such ioctl on (ENOSYS).
        const Bytes unflushed = filler(1u << 17, 9);
        ASSERT_TRUE(disk_->sync() && writeBytes(disk_->path("unflushed"), unflushed));
        if (const int e = disk_->cut())
            GTEST_SKIP() << "the ext4 shutdown ioctl is not available here: " << std::strerror(e);
        const bool stopped = !writeBytes(disk_->path("probe"), Bytes(1, 0));
        ASSERT_TRUE(disk_->remount()) << disk_->why();
        if (!stopped) GTEST_SKIP() << "the ext4 shutdown ioctl returned, but the file system still took a write";
        if (contentOf(disk_->path("unflushed")) == unflushed)
            GTEST_SKIP() << "the ext4 shutdown ioctl kept a file that was never flushed: it is no power cut here";
        ASSERT_FALSE(fileExists(disk_->path("probe")));
        std::error_code ec;
        fs::remove(disk_->path("unflushed"), ec);
        cases_ = allCases();
        fresh_ = cleanRuns(cases_, dir_.path("clean/"));
        ASSERT_FALSE(HasFailure()) << "the cases do not run cleanly off the loop device";
    }

    // The mounted root after a replay: the case folders, ext4's empty
    // lost+found and the names given, nothing else.
    void checkRoot(std::size_t folders, std::set<std::string> want = {}) {
        want.insert("lost+found");
        for (std::size_t i = 0; i < folders; ++i) want.insert(folderOf(i));
        EXPECT_EQ(namesIn(disk_->path()), want);
        EXPECT_TRUE(namesIn(disk_->path("lost+found")).empty());
    }

    TempDir dir_;  // goes after the disk, which is unmounted first
    std::unique_ptr<LoopDisk> disk_;
    std::vector<Case> cases_;
    std::vector<Outcome> fresh_;
};

TEST_F(CrashState, CutAtOnceAfterTheCall) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& c = cases_[i];
        SCOPED_TRACE(c.name);
        const std::string folder = disk_->path(folderOf(i) + "/");
        ASSERT_NO_FATAL_FAILURE(lay(c, folder));
        ASSERT_TRUE(disk_->sync()) << disk_->why();
        const float r = c.op(folder);
        const int cut = disk_->cut();
        ASSERT_EQ(cut, 0) << std::strerror(cut);
        ASSERT_TRUE(disk_->remount()) << disk_->why();
        ASSERT_EQ(r, c.result);
        checkAfterCut(c, fresh_[i], folder);
    }
    checkRoot(cases_.size());
}

TEST_F(CrashState, CutAfterTheNextJournalCommit) {
    // All the calls, then one cut once the journal has committed after the
    // last of them. A marker made after the calls, and never flushed, tells
    // that it has.
    for (std::size_t i = 0; i < cases_.size(); ++i)
        ASSERT_NO_FATAL_FAILURE(lay(cases_[i], disk_->path(folderOf(i) + "/")));
    ASSERT_TRUE(disk_->sync()) << disk_->why();
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        SCOPED_TRACE(cases_[i].name);
        ASSERT_EQ(cases_[i].op(disk_->path(folderOf(i) + "/")), cases_[i].result);
    }
    ASSERT_TRUE(writeBytes(disk_->path("marker"), Bytes(1, 1)));
    disk_->waitForCommit();
    const int cut = disk_->cut();
    ASSERT_EQ(cut, 0) << std::strerror(cut);
    ASSERT_TRUE(disk_->remount()) << disk_->why();
    EXPECT_TRUE(fileExists(disk_->path("marker"))) << "the cut came before the journal's next commit";
    for (std::size_t i = 0; i < cases_.size(); ++i) checkAfterCut(cases_[i], fresh_[i], disk_->path(folderOf(i) + "/"));
    checkRoot(cases_.size(), {"marker"});
}

TEST_F(CrashState, ImageAsTheDeviceHadIt) {
    // The image copied the moment the call returns, then mounted on a second
    // loop device: the file system's pages not yet written are not in it.
    const std::string copy = dir_.path("copy.img");
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& c = cases_[i];
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(lay(c, disk_->path(folderOf(i) + "/")));
        ASSERT_TRUE(disk_->sync()) << disk_->why();
        ASSERT_EQ(c.op(disk_->path(folderOf(i) + "/")), c.result);
        ASSERT_TRUE(copyImage(dir_.path("disk.img"), copy));
        LoopDisk after(copy, dir_.path("after"));
        ASSERT_TRUE(after.attach() && after.mount()) << after.why();
        checkAfterCut(c, fresh_[i], after.path(folderOf(i) + "/"));
        EXPECT_TRUE(namesIn(after.path("lost+found")).empty());
    }
}

}  // namespace

#else
TEST(CrashState, NeedsLinux) { GTEST_SKIP() << "the power-cut tests use ext4 on a Linux loop device"; }
#endif
#endif
