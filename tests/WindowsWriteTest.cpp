// Writes on Windows among other programs: a destination another process
// holds open, two processes rewriting one map at once, the metadata a
// rewrite carries over, and hard and symbolic links. The other process is
// this test program itself, started on one of the hidden helper tests at
// the end of the file.
#include "Platform.h"
#include "TestSupport.h"

#if BRINDLEX_WINDOWS
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FileAccess.h"
#include "HostCall.h"
#include "NewFile.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "fixtures/Picture.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// What the parent hands its helper, by environment variable.
constexpr wchar_t kEventsVar[] = L"BRINDLEX_TEST_EVENTS";  // the prefix of the named events
constexpr wchar_t kHoldVar[] = L"BRINDLEX_TEST_HOLD";      // "ms*share*path|...": the files to hold, in turn
constexpr wchar_t kMapVar[] = L"BRINDLEX_TEST_MAP";        // the map both processes rewrite
constexpr wchar_t kRoundsVar[] = L"BRINDLEX_TEST_ROUNDS";  // the name of the memory the rounds are shared in

// How long either side waits for the other before it gives up.
constexpr DWORD kPatience = 30000;

std::wstring wide(const std::string& utf8) { return fileio::widen(utf8.c_str()); }

std::wstring variable(const wchar_t* name) {
    wchar_t buffer[2048];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
    return n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
}

// A name for this run's events and shared memory, so that runs side by
// side do not meet.
std::wstring uniqueName(const wchar_t* what) {
    static LONG counter = 0;
    return L"Local\\BrindlexWriteTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter)) + L"-" + what;
}

// An auto-reset event by name: created by whichever side comes first.
class Event {
public:
    explicit Event(const std::wstring& name) : h_(CreateEventW(nullptr, FALSE, FALSE, name.c_str())) {}
    ~Event() {
        if (h_) CloseHandle(h_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }
    void set() const { SetEvent(h_); }
    bool wait(DWORD ms = kPatience) const { return WaitForSingleObject(h_, ms) == WAIT_OBJECT_0; }

private:
    HANDLE h_;
};

// This program, started on one hidden helper test with the given
// variables (inherited: set just for the start). Its output goes to a log
// that log() returns; a helper still running at the end is stopped.
class Helper {
public:
    Helper(const char* test, const std::vector<std::pair<const wchar_t*, std::wstring>>& vars) {
        wchar_t exe[4096];
        const DWORD n = GetModuleFileNameW(nullptr, exe, 4096);
        if (n == 0 || n >= 4096) return;
        log_ = logs_.path("helper.log");
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileW(wide(log_).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) return;
        std::wstring command = L"\"" + std::wstring(exe, n) + L"\" --gtest_filter=WindowsWriteHelper." + wide(test) +
                               L" --gtest_also_run_disabled_tests";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = out;
        for (const auto& v : vars) SetEnvironmentVariableW(v.first, v.second.c_str());
        if (!CreateProcessW(exe, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi_)) {
            error_ = GetLastError();
            pi_ = {};
        }
        for (const auto& v : vars) SetEnvironmentVariableW(v.first, nullptr);
        CloseHandle(out);
    }
    ~Helper() {
        if (!pi_.hProcess) return;
        if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 99);
        WaitForSingleObject(pi_.hProcess, 5000);
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
        // Wine may hold the helper's handle on its log a moment longer.
        for (int i = 0; i < 50 && !DeleteFileW(wide(log_).c_str()) && fileExists(log_); ++i) Sleep(20);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    bool started() const { return pi_.hProcess != nullptr; }
    // Why it did not start.
    DWORD error() const { return error_; }
    // Waits for the event, or for the helper to end: true when the event
    // came first.
    bool await(const Event& e, DWORD ms = kPatience) const {
        HANDLE both[2] = {e.get(), pi_.hProcess};
        return WaitForMultipleObjects(2, both, FALSE, ms) == WAIT_OBJECT_0;
    }
    // The helper's exit code once it has ended (STILL_ACTIVE if it does not
    // within ms).
    DWORD exitCode(DWORD ms = kPatience) const {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(pi_.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(pi_.hProcess, &code);
        return code;
    }
    std::string log() const {
        const Bytes b = readBytes(log_);
        return std::string(b.begin(), b.end());
    }

private:
    TempDir logs_;
    std::string log_;
    PROCESS_INFORMATION pi_ = {};
    DWORD error_ = 0;
};

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(fs::u8path(folder), ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().u8string());
    return names;
}

// An 8-bit RGB map whose three planes all differ.
Bytes rgbMap(int width, int height) { return fixtures::makePsdRgb(fixtures::coordinates(width, height)); }

// The map after swapRGBPSD: mode 1 gives the planes P1 P3 P2, mode 2 P3
// P1 P2 (the maps here end with their planes).
Bytes swapped(const Bytes& map, int mode) {
    static const int from[3][3] = {{0, 1, 2}, {0, 2, 1}, {2, 0, 1}};
    const std::size_t n = (map.size() - fixtures::psdDataOffset({})) / 3, off = map.size() - 3 * n;
    Bytes out(map.begin(), map.begin() + static_cast<std::ptrdiff_t>(off));
    for (int k = 0; k < 3; ++k) {
        auto plane = map.begin() + static_cast<std::ptrdiff_t>(off + from[mode][k] * n);
        out.insert(out.end(), plane, plane + static_cast<std::ptrdiff_t>(n));
    }
    return out;
}

Bytes rgbTiff(std::uint32_t w, std::uint32_t h, unsigned seed) {
    return TiffBuilder(w, h, 3, 8)
        .u8s([seed](std::uint32_t x, std::uint32_t y, int c) {
            return static_cast<std::uint8_t>(x * 29 + y * 71 + static_cast<unsigned>(c) * 101 + seed * 7);
        })
        .build();
}

// True when the program runs under Wine.
bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

BY_HANDLE_FILE_INFORMATION infoOf(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info = {};
    HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        GetFileInformationByHandle(h, &info);
        CloseHandle(h);
    }
    return info;
}

// ---------------------------------------------------------------------------
// A destination another program holds open without delete sharing (an
// indexer, a viewer): the write waits for it to let go, for up to
// kWaitMilliseconds, then gives up with nothing changed.

// The helper holds each listed file in turn: it waits for "next", opens
// the file for reading with the sharing given (read sharing, or none at
// all), signals "held", keeps it
// until its time is up or "let go" comes, closes it and signals "released".
struct HoldEvents {
    explicit HoldEvents(const std::wstring& prefix)
        : next(prefix + L"-next"),
          held(prefix + L"-held"),
          letGo(prefix + L"-letgo"),
          released(prefix + L"-released") {}
    Event next, held, letGo, released;
};

// True when the system renames a file over one that is open without
// delete sharing, as POSIX systems do (Windows and Wine refuse it): no
// write can then wait for a holder.
bool renamesOverOpenFiles() {
    TempDir dir;
    const std::string held = dir.path("held"), other = dir.path("other");
    if (!writeBytes(held, Bytes{1}) || !writeBytes(other, Bytes{2})) return false;
    HANDLE h = CreateFileW(wide(held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool renamed = MoveFileExW(wide(other).c_str(), wide(held).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    CloseHandle(h);
    return renamed;
}

// Writes each destination while the helper holds it for holdMs: every
// write is whole (the new content, and nothing else left in the folder)
// or, when it gave up, not there at all. blocked: the system keeps the
// rename off a held file, so the calls wait.
void writeWhileHeld(DWORD holdMs, bool blocked) {
    TempDir dir;
    const bool waitsItOut = holdMs < DWORD(fileio::kWaitMilliseconds) || !blocked;
    const float expected = waitsItOut ? 0.0f : hostcall::kFileBusy;
    const Bytes map = rgbMap(48, 40);
    const Bytes tiff = rgbTiff(20, 14, 1), olderTarga = rgbTiff(9, 5, 2);
    // The Targa the conversion writes, made where nothing holds it.
    ASSERT_TRUE(makeFolders(dir.path("reference")));
    ASSERT_TRUE(writeBytes(dir.path("reference/in.tif"), tiff));
    ASSERT_EQ(convertToTarga(dir.path("reference/in.tif").c_str(), dir.path("reference/out.tga").c_str()), 0.0f);
    const Bytes targa = readBytes(dir.path("reference/out.tga"));
    ASSERT_FALSE(targa.empty());

    // Each destination in a folder of its own, beside its inputs.
    const std::string swapTarget = dir.path("swap/map.psd"), lockedTarget = dir.path("locked/map.psd");
    const std::string tiffIn = dir.path("targa/in.tif"), targaTarget = dir.path("targa/out.tga");
    struct Case {
        const char* name;
        std::string target;
        Bytes before, after;
        std::function<float()> call;
        DWORD share = FILE_SHARE_READ;
    } cases[] = {
        {"swapRGBPSD", swapTarget, map, waitsItOut ? swapped(map, 2) : map,
         [&] { return swapChannelsPSD(swapTarget.c_str(), 2); }},
        {"saveAsTarga over an older file", targaTarget, olderTarga, waitsItOut ? targa : olderTarga,
         [&] { return convertToTarga(tiffIn.c_str(), targaTarget.c_str()); }},
        // Held without sharing even reading: the map cannot be read until the holder lets go.
        {"swapRGBPSD, held exclusively", lockedTarget, map, waitsItOut ? swapped(map, 2) : map,
         [&] { return swapChannelsPSD(lockedTarget.c_str(), 2); }, 0},
    };
    ASSERT_TRUE(makeFolders(dir.path("targa")));
    ASSERT_TRUE(writeBytes(tiffIn, tiff));
    std::wstring list;
    for (const Case& c : cases) {
        ASSERT_TRUE(makeFolders(c.target.substr(0, c.target.rfind('/'))));
        ASSERT_TRUE(writeBytes(c.target, c.before));
        if (!list.empty()) list += L"|";
        list += std::to_wstring(holdMs) + L"*" + std::to_wstring(c.share) + L"*" + wide(c.target);
    }

    const std::wstring prefix = uniqueName(L"hold");
    HoldEvents ev(prefix);
    Helper holder("DISABLED_HoldFiles", {{kEventsVar, prefix}, {kHoldVar, list}});
    ASSERT_TRUE(holder.started()) << "cannot start the helper: error " << holder.error();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = c.target.substr(0, c.target.rfind('/') + 1);
        const std::set<std::string> names = namesIn(folder);
        ev.next.set();
        ASSERT_TRUE(holder.await(ev.held)) << "the helper did not open the file:\n" << holder.log();
        const auto start = Clock::now();
        const float r = c.call();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_EQ(r, expected);
        EXPECT_EQ(namesIn(folder), names) << "a file was left beside the destination, or one went";
        if (blocked && waitsItOut) {
            // The holder kept the file for holdMs after it said so.
            EXPECT_GE(took, static_cast<long long>(holdMs) / 2) << "the call did not wait for the holder";
        } else if (blocked) {
            EXPECT_GE(took, fileio::kWaitMilliseconds - 50) << "the call gave up before its time";
            EXPECT_LT(took, static_cast<long long>(holdMs)) << "the call waited the holder out";
        }
        ev.letGo.set();
        ASSERT_TRUE(holder.await(ev.released)) << holder.log();
        // (A file held exclusively cannot be read before.)
        EXPECT_TRUE(readBytes(c.target) == c.after)
            << (expected == 0.0f ? "the new content is not the file's" : "the file changed");
        // Once the holder has let go the file takes the write.
        if (!waitsItOut) {
            EXPECT_EQ(c.call(), 0.0f);
            EXPECT_FALSE(readBytes(c.target) == c.before);
            EXPECT_EQ(namesIn(folder), names);
        }
    }
    EXPECT_EQ(holder.exitCode(), 0u) << holder.log();
}

TEST(WindowsWrite, WaitsForAnotherProgramToLetGo) {
    // Where nothing waits, what is left to check is that the held file is
    // written at all: it does not open for writing while it is held.
    writeWhileHeld(500, !renamesOverOpenFiles());
}

TEST(WindowsWrite, GivesUpOnAFileHeldTooLong) {
    if (renamesOverOpenFiles())
        GTEST_SKIP() << (underWine() ? "Wine" : "this system")
                     << " renames over a file held open without delete sharing, so no write waits for the holder";
    writeWhileHeld(4000, true);
}

// ---------------------------------------------------------------------------
// Two processes rewriting one map at the same moment: the lock makes one
// wait for the other, so the map ends as the operation applied twice,
// never as a mix of the two and never with one of them lost.

// The rounds' modes and both sides' results and times, shared with the
// helper through named memory.
constexpr int kRounds = 20;
struct Rounds {
    LONG mode[kRounds];
    float result[kRounds];
    LONGLONG from[kRounds], to[kRounds];  // the helper's call, in performance-counter ticks
};

struct StepEvents {
    explicit StepEvents(const std::wstring& prefix)
        : ready(prefix + L"-ready"), go(prefix + L"-go"), done(prefix + L"-done") {}
    Event ready, go, done;
};

class SharedRounds {
public:
    SharedRounds(const std::wstring& name, bool create) {
        map_ = create
                   ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Rounds), name.c_str())
                   : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
        if (map_) view_ = static_cast<Rounds*>(MapViewOfFile(map_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Rounds)));
    }
    ~SharedRounds() {
        if (view_) UnmapViewOfFile(view_);
        if (map_) CloseHandle(map_);
    }
    SharedRounds(const SharedRounds&) = delete;
    SharedRounds& operator=(const SharedRounds&) = delete;
    Rounds* operator->() const { return view_; }
    explicit operator bool() const { return view_ != nullptr; }

private:
    HANDLE map_ = nullptr;
    Rounds* view_ = nullptr;
};

LONGLONG ticks() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

TEST(WindowsWrite, TwoProcessesRewritingOneMapTakeTurns) {
    TempDir dir;
    const std::string map = dir.path("map.psd");
    ASSERT_TRUE(writeBytes(map, rgbMap(160, 128)));
    const std::set<std::string> names = namesIn(dir.path());

    const std::wstring prefix = uniqueName(L"step"), memory = uniqueName(L"rounds");
    StepEvents ev(prefix);
    SharedRounds shared(memory, true);
    ASSERT_TRUE(shared);
    Helper other("DISABLED_SwapInStep", {{kEventsVar, prefix}, {kMapVar, wide(map)}, {kRoundsVar, memory}});
    ASSERT_TRUE(other.started()) << "cannot start the helper: error " << other.error();

    // Mode 1 undoes itself, so a lost update shows as the swap done once;
    // mode 2 (a cycle of three) tells the second call's result from the
    // first's.
    int overlapping = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int mode = 1 + round % 2;
        ASSERT_TRUE(other.await(ev.ready)) << other.log();
        const Bytes start = readBytes(map);
        shared->mode[round] = mode;
        ev.go.set();
        const LONGLONG from = ticks();
        const float mine = swapChannelsPSD(map.c_str(), mode);
        const LONGLONG to = ticks();
        ASSERT_TRUE(other.await(ev.done)) << other.log();
        const float theirs = shared->result[round];
        if (from < shared->to[round] && shared->from[round] < to) ++overlapping;

        // Each call is whole or not at all; one may have given up waiting.
        int applied = 0;
        for (float r : {mine, theirs}) {
            EXPECT_TRUE(r == 0.0f || r == hostcall::kFileBusy) << r;
            applied += r == 0.0f;
        }
        EXPECT_GE(applied, 1);
        Bytes expected = start;
        for (int i = 0; i < applied; ++i) expected = swapped(expected, mode);
        ASSERT_TRUE(readBytes(map) == expected)
            << "the map is not the swap applied " << applied << " times (" << mine << ", " << theirs << ")";
    }
    EXPECT_EQ(other.exitCode(), 0u) << other.log();
    EXPECT_EQ(namesIn(dir.path()), names);
    // The calls ran at the same moment in most rounds, or the lock was
    // hardly put to the test.
    EXPECT_GE(overlapping, kRounds / 2) << "the two calls overlapped in " << overlapping << " rounds only";
}

// ---------------------------------------------------------------------------
// What a rewrite carries over from the file it replaces: attributes, the
// creation time, the access control list. Each row gives the map one of
// them, and skips when the system does not keep it on a file at all.

struct Carried {
    const char* name;
    // Gives the file the property: empty when it took, else why it cannot
    // be checked here.
    std::function<std::string(const std::string& path)> give;
    // The property as it reads back.
    std::function<std::string(const std::string& path)> read;
};

// The attributes a rewrite keeps, as they read back.
std::string keptAttributes(const std::string& path) {
    const DWORD a = GetFileAttributesW(wide(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return "missing";
    std::string s;
    if (a & FILE_ATTRIBUTE_HIDDEN) s += "hidden ";
    if (a & FILE_ATTRIBUTE_SYSTEM) s += "system ";
    if (a & FILE_ATTRIBUTE_ARCHIVE) s += "archive ";
    if (a & FILE_ATTRIBUTE_NOT_CONTENT_INDEXED) s += "not-indexed ";
    return s;
}

Carried attributes(const char* name, DWORD set) {
    return {name,
            [set](const std::string& path) -> std::string {
                if (!SetFileAttributesW(wide(path).c_str(), set)) return "the attributes cannot be set";
                const DWORD got = GetFileAttributesW(wide(path).c_str());
                const DWORD mask = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
                if ((got & mask) != (set & mask))
                    return std::string(underWine() ? "Wine does not keep" : "the file system does not keep") +
                           " these attributes (set " + std::to_string(set) + ", read " + std::to_string(got) + ")";
                return "";
            },
            keptAttributes};
}

std::string creationTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return "missing";
    return std::to_string((std::uint64_t(data.ftCreationTime.dwHighDateTime) << 32) |
                          data.ftCreationTime.dwLowDateTime);
}

std::string giveCreationTime(const std::string& path) {
    // 3 February 2001, 04:05:06: long before any file the test makes.
    SYSTEMTIME st = {2001, 2, 6, 3, 4, 5, 6, 0};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    HANDLE h = CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "the file does not open to set its times";
    const bool set = SetFileTime(h, &ft, nullptr, nullptr) != 0;
    CloseHandle(h);
    const std::string want = std::to_string((std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    if (!set || creationTime(path) != want)
        return std::string(underWine() ? "Wine does not keep" : "the system does not keep") +
               " a creation time set on a file (it reads back " + creationTime(path) + ", not " + want + ")";
    return "";
}

// The file's access control list in the system's string form.
std::string daclOf(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring w = wide(path);
    if (GetNamedSecurityInfoW(&w[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &sd) != ERROR_SUCCESS)
        return "unreadable";
    LPWSTR text = nullptr;
    std::string out = "no string form";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        out = fileio::narrow(text);
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

// Gives the file an explicit, protected list: Everyone, full access, and
// nothing inherited from the folder. With exact, it must read back as set;
// else it must only read back as something a new file would not have (Wine
// keeps the permission bits a list stands for, not the list).
std::string giveDacl(const std::string& path, bool exact) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return "no Everyone SID";
    EXPLICIT_ACCESS_W ea = {};
    ea.grfAccessPermissions = FILE_ALL_ACCESS;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL acl = nullptr;
    DWORD e = SetEntriesInAclW(1, &ea, nullptr, &acl);
    std::string why;
    if (e != ERROR_SUCCESS) {
        why = "SetEntriesInAclW failed: " + std::to_string(e);
    } else {
        HANDLE h = CreateFileW(wide(path).c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            why = "the file does not open to set its access control list";
        } else {
            e = SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, acl, nullptr);
            CloseHandle(h);
            if (e != ERROR_SUCCESS) why = "SetSecurityInfo failed: " + std::to_string(e);
        }
        LocalFree(acl);
    }
    FreeSid(everyone);
    if (!why.empty()) return why;
    const std::string got = daclOf(path);
    if (exact && (got.rfind("D:P", 0) != 0 || got.find("(A;;FA;;;WD)") == std::string::npos))
        return std::string(underWine() ? "Wine does not emulate access control lists"
                                       : "the system does not keep "
                                         "an access control list") +
               ": the protected list D:P(A;;FA;;;WD) set on the map reads back as \"" + got + "\"";
    const std::string fresh = path + ".fresh";
    writeBytes(fresh, Bytes{1});
    const std::string other = daclOf(fresh);
    DeleteFileW(wide(fresh).c_str());
    if (other == got) return "a new file gets this access control list anyway (\"" + got + "\")";
    return "";
}

const Carried kCarried[] = {
    attributes("HiddenArchive", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
    attributes("System", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE),
    attributes("NotIndexed", FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ARCHIVE),
    // A plain map does not become hidden (the new file's own name starts
    // with a dot).
    attributes("Plain", FILE_ATTRIBUTE_ARCHIVE),
    {"CreationTime", giveCreationTime, creationTime},
    {"ProtectedDacl", [](const std::string& p) { return giveDacl(p, true); }, daclOf},
    {"DaclAsKept", [](const std::string& p) { return giveDacl(p, false); }, daclOf},
};

void PrintTo(const Carried& c, std::ostream* os) { *os << c.name; }

class WindowsWriteCarries : public testing::TestWithParam<Carried> {};

TEST_P(WindowsWriteCarries, OverASwap) {
    const Carried& c = GetParam();
    TempDir dir;
    const std::string map = dir.path("map.psd");
    const Bytes before = rgbMap(24, 16);
    ASSERT_TRUE(writeBytes(map, before));
    const std::string why = c.give(map);
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string was = c.read(map);
    ASSERT_EQ(swapChannelsPSD(map.c_str(), 1), 0.0f);
    EXPECT_TRUE(readBytes(map) == swapped(before, 1)) << "the map was not rewritten";
    EXPECT_EQ(c.read(map), was);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"map.psd"});
}

INSTANTIATE_TEST_SUITE_P(, WindowsWriteCarries, testing::ValuesIn(kCarried),
                         [](const testing::TestParamInfo<Carried>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Links. A file with a second hard link is refused whole: replacing it
// would leave the other name on the old content. A symbolic link stays a
// link, and the file it names takes the new content.

TEST(WindowsWrite, HardLinkedFileIsRefused) {
    TempDir dir;
    const Bytes map = rgbMap(24, 16), tiff = rgbTiff(8, 6, 3), olderTarga = rgbTiff(5, 5, 4);
    ASSERT_TRUE(writeBytes(dir.path("in.tif"), tiff));
    struct Case {
        const char* name;
        std::string target;
        Bytes before;
        std::function<float()> call;
    } cases[] = {
        {"swapRGBPSD", dir.path("map.psd"), map, [&] { return swapChannelsPSD(dir.path("map.psd").c_str(), 2); }},
        {"saveAsTarga over an older file", dir.path("out.tga"), olderTarga,
         [&] { return convertToTarga(dir.path("in.tif").c_str(), dir.path("out.tga").c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string link = c.target + ".link";
        ASSERT_TRUE(writeBytes(c.target, c.before));
        ASSERT_TRUE(CreateHardLinkW(wide(link).c_str(), wide(c.target).c_str(), nullptr))
            << "CreateHardLinkW: error " << GetLastError();
        ASSERT_EQ(infoOf(c.target).nNumberOfLinks, 2u);
        const std::set<std::string> names = namesIn(dir.path());
        EXPECT_EQ(c.call(), hostcall::kFileHardLinked);
        EXPECT_TRUE(readBytes(c.target) == c.before);
        EXPECT_TRUE(readBytes(link) == c.before);
        EXPECT_EQ(infoOf(c.target).nNumberOfLinks, 2u) << "the links were split";
        EXPECT_EQ(namesIn(dir.path()), names);
        // With the other name gone the file is written again.
        ASSERT_TRUE(DeleteFileW(wide(link).c_str()));
        EXPECT_EQ(c.call(), 0.0f);
        EXPECT_FALSE(readBytes(c.target) == c.before);
    }
}

// A POSIX program run under Wine, which maps its drives onto POSIX folders
// and runs POSIX programs too (but gives no handle to wait on for one).
class Posix {
public:
    Posix() {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        unixName_ =
            reinterpret_cast<UnixName>(reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
        dosName_ = reinterpret_cast<DosName>(reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
    }
    explicit operator bool() const { return unixName_ && dosName_; }
    // The POSIX path of a path of Wine's; empty when it has none.
    std::string unixPath(const std::string& path) const {
        char* u = unixName_(wide(path).c_str());
        std::string s = u ? u : "";
        if (u) HeapFree(GetProcessHeap(), 0, u);
        return s;
    }
    // Starts /bin/<program> with arguments (quoted here); false when it
    // does not start.
    bool start(const char* program, const std::vector<std::string>& arguments) const {
        WCHAR* exe = dosName_(("/bin/" + std::string(program)).c_str());
        if (!exe) return false;
        std::wstring command = wide(program);
        for (const std::string& a : arguments) command += L" \"" + wide(a) + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        const bool started = CreateProcessW(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        HeapFree(GetProcessHeap(), 0, exe);
        if (started) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        return started;
    }

private:
    using UnixName = char*(CDECL*)(LPCWSTR);
    using DosName = WCHAR*(CDECL*)(LPCSTR);
    UnixName unixName_ = nullptr;
    DosName dosName_ = nullptr;
};

// Waits up to 5 s for done() to hold.
bool within5s(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i, Sleep(10))
        if (done()) return true;
    return false;
}

// A symbolic link to a file (both paths absolute): the system's own, or
// under Wine a POSIX link made by ln -s. Removed at the end: Wine deletes
// the file a POSIX link names, not the link, so rm removes that one.
class SymbolicLink {
public:
    SymbolicLink(std::string link, const std::string& target) : link_(std::move(link)) {
        auto made = [&] { return fileExists(link_) && fileio::sameFile(link_.c_str(), target.c_str()); };
        const DWORD allowUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
        const bool said = CreateSymbolicLinkW(wide(link_).c_str(), wide(target).c_str(), allowUnprivileged) ||
                          CreateSymbolicLinkW(wide(link_).c_str(), wide(target).c_str(), 0);
        const DWORD error = GetLastError();
        if (said && made()) return;
        why_ = said ? "CreateSymbolicLinkW reported success but made no link"
                    : "CreateSymbolicLinkW failed with error " + std::to_string(error);
        const Posix posix;
        if (!posix) return;
        unixLink_ = posix.unixPath(link_);
        const std::string unixTarget = posix.unixPath(target);
        if (unixLink_.empty() || unixTarget.empty()) {
            why_ += "; the paths have no POSIX names";
        } else if (!posix.start("ln", {"-s", unixTarget, unixLink_})) {
            why_ += "; /bin/ln does not start: error " + std::to_string(GetLastError());
        } else if (!within5s(made)) {
            why_ += "; ln -s made no link either";
        } else {
            why_.clear();
        }
    }
    ~SymbolicLink() {
        if (unixLink_.empty()) {
            DeleteFileW(wide(link_).c_str());
            return;
        }
        const Posix posix;
        const std::string folder = link_.substr(0, link_.rfind('/'));
        if (posix.start("rm", {"-f", unixLink_}))
            within5s([&] { return namesIn(folder).count(link_.substr(link_.rfind('/') + 1)) == 0; });
    }
    SymbolicLink(const SymbolicLink&) = delete;
    SymbolicLink& operator=(const SymbolicLink&) = delete;
    // Empty when the link is there, else why it could not be made.
    const std::string& why() const { return why_; }

private:
    std::string link_, unixLink_, why_;
};

TEST(WindowsWrite, SymbolicLinkStaysALink) {
    TempDir dir;
    // The link in one folder, the map in another: the new file goes beside
    // the map.
    ASSERT_TRUE(makeFolders(dir.path("maps")));
    ASSERT_TRUE(makeFolders(dir.path("links")));
    const std::string map = dir.path("maps/map.psd"), link = dir.path("links/map.psd");
    const Bytes before = rgbMap(24, 16);
    ASSERT_TRUE(writeBytes(map, before));
    const SymbolicLink made(link, map);
    if (!made.why().empty()) GTEST_SKIP() << "no symbolic link can be made here: " << made.why();
    const bool reparse = (GetFileAttributesW(wide(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;

    ASSERT_EQ(swapChannelsPSD(link.c_str(), 2), 0.0f);
    EXPECT_TRUE(readBytes(map) == swapped(before, 2)) << "the file the link names was not rewritten";
    // A link replaced by a file would be another file, and the map would
    // have kept its old content.
    EXPECT_TRUE(fileio::sameFile(link.c_str(), map.c_str())) << "the link was replaced by a file";
    if (reparse) {
        EXPECT_NE(GetFileAttributesW(wide(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u)
            << "the link is no longer a reparse point";
    }
    EXPECT_EQ(namesIn(dir.path("maps")), std::set<std::string>{"map.psd"});
    EXPECT_EQ(namesIn(dir.path("links")), std::set<std::string>{"map.psd"});
    // And once more through the map's own name.
    EXPECT_EQ(swapChannelsPSD(map.c_str(), 2), 0.0f);
    EXPECT_TRUE(readBytes(link) == swapped(swapped(before, 2), 2));
}

}  // namespace

// ---------------------------------------------------------------------------
// The helpers, run only in a process the tests above start.

TEST(WindowsWriteHelper, DISABLED_HoldFiles) {
    const std::wstring prefix = variable(kEventsVar), list = variable(kHoldVar);
    if (prefix.empty() || list.empty()) GTEST_SKIP() << "started by the WindowsWrite tests of a held file";
    HoldEvents ev(prefix);
    std::wstringstream entries(list);
    std::wstring entry;
    while (std::getline(entries, entry, L'|')) {
        const std::size_t star = entry.find(L'*');
        ASSERT_NE(star, std::wstring::npos);
        const std::size_t star2 = entry.find(L'*', star + 1);
        ASSERT_NE(star2, std::wstring::npos);
        const DWORD ms = static_cast<DWORD>(std::stoul(entry.substr(0, star)));
        const DWORD share = static_cast<DWORD>(std::stoul(entry.substr(star + 1, star2 - star - 1)));
        const std::wstring path = entry.substr(star2 + 1);
        ASSERT_TRUE(ev.next.wait());
        HANDLE h =
            CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        ResetEvent(ev.letGo.get());  // a "let go" meant for the file before
        ev.held.set();
        ev.letGo.wait(ms);
        CloseHandle(h);
        ev.released.set();
    }
}

TEST(WindowsWriteHelper, DISABLED_SwapInStep) {
    const std::wstring prefix = variable(kEventsVar), map = variable(kMapVar), memory = variable(kRoundsVar);
    if (prefix.empty() || map.empty() || memory.empty())
        GTEST_SKIP() << "started by WindowsWrite.TwoProcessesRewritingOneMapTakeTurns";
    StepEvents ev(prefix);
    SharedRounds shared(memory, false);
    ASSERT_TRUE(shared);
    const std::string path = fileio::narrow(map.c_str());
    for (int round = 0; round < kRounds; ++round) {
        ev.ready.set();
        ASSERT_TRUE(ev.go.wait());
        shared->from[round] = ticks();
        shared->result[round] = swapChannelsPSD(path.c_str(), shared->mode[round]);
        shared->to[round] = ticks();
        ev.done.set();
    }
}

#endif  // BRINDLEX_WINDOWS
