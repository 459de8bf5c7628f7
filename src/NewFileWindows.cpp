// The write protocol on Windows, and the system's rename and removal that
// the file services offer.
//
// The new file replaces the destination with MoveFileExW (replace, write
// through) once FlushFileBuffers has put its content on stable storage; the
// rename is a single step of the file system, so the name holds the old
// file or the new one whatever happens. ReplaceFileW would carry the
// destination's metadata itself, but when it fails without a backup name
// the destination may be left without a file under its name; so the
// destination's access control list, attributes and creation time are
// copied onto the new file here instead. Windows has no flush of a
// folder: MOVEFILE_WRITE_THROUGH returns once the rename is on disk.
//
// One writer at a time: a named mutex per destination (its final path),
// which a process that dies releases. A lock on the file itself would keep
// a handle open, and Windows renames nothing over an open file. When
// another program holds the destination open, the rename is retried for
// kWaitMilliseconds.
#include <windows.h>
#include <aclapi.h>

#include <cwchar>
#include <string>

#include "NewFileSystem.h"
#include "WriteFaults.h"

namespace fileio::detail {

using faults::Step;

struct Platform {
    std::wstring target;  // the destination's final path
    std::string folder;   // its folder, in UTF-8
    std::wstring leafFolder;
    std::string leaf;
    HANDLE mutex = nullptr;
    bool locked = false;
    HANDLE old = INVALID_HANDLE_VALUE;  // the existing destination, for its metadata
    DWORD oldAccess = 0;
    bool heldOpen = false;  // it did not open for writing only because another program holds it
    bool existed = false;
    HANDLE file = INVALID_HANDLE_VALUE;  // the new file
    std::wstring temp;
};

Platform* makePlatform() { return new Platform; }
void destroyPlatform(Platform* p) { delete p; }

namespace {

void closeHandle(HANDLE& h) {
    if (h != INVALID_HANDLE_VALUE && h) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
}

void unlock(Platform& s) {
    if (s.mutex) {
        if (s.locked) ReleaseMutex(s.mutex);
        CloseHandle(s.mutex);
    }
    s.mutex = nullptr;
    s.locked = false;
}

void release(Platform& s) {
    closeHandle(s.file);
    closeHandle(s.old);
    unlock(s);
    s.temp.clear();
    s.target.clear();
    s.existed = false;
    s.heldOpen = false;
}

// The path with its links followed, as the system names the file; the
// path itself when there is no file.
std::wstring finalPath(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n > 0) {
            std::wstring out(n, L'\0');
            n = GetFinalPathNameByHandleW(h, &out[0], n, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            CloseHandle(h);
            if (n > 0 && n < out.size()) {
                out.resize(n);
                return out;
            }
            return path;
        }
        CloseHandle(h);
    }
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &out[0], nullptr);
    if (n == 0 || n >= out.size()) return path;
    out.resize(n);
    return out;
}

bool setTarget(Platform& s, const char* utf8Path) {
    const std::wstring w = widen(utf8Path);
    if (w.empty()) return false;
    s.target = finalPath(w);
    const std::size_t cut = s.target.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut + 1 >= s.target.size()) return false;
    s.leafFolder = s.target.substr(0, cut);
    s.folder = narrow(s.leafFolder.c_str());
    s.leaf = narrow(s.target.c_str() + cut + 1);
    return !s.leaf.empty();
}

// The mutex of a destination: named after its final path, letters folded
// (names differ in case only on file systems that Windows treats as one).
Written acquire(Platform& s) {
    std::wstring key = s.target;
    for (wchar_t& c : key) c = static_cast<wchar_t>(towupper(c));
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (wchar_t c : key) {
        h ^= static_cast<std::uint64_t>(c);
        h *= 1099511628211ull;
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"Global\\Brindlex-write-%016llx", static_cast<unsigned long long>(h));
    s.mutex = CreateMutexW(nullptr, FALSE, name);
    if (!s.mutex) {
        std::swprintf(name, 64, L"Local\\Brindlex-write-%016llx", static_cast<unsigned long long>(h));
        s.mutex = CreateMutexW(nullptr, FALSE, name);
    }
    if (s.mutex) {
        const DWORD r = WaitForSingleObject(s.mutex, kWaitMilliseconds);
        if (r == WAIT_TIMEOUT) {
            unlock(s);
            return Written::Busy;
        }
        s.locked = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    // The destination, when there is one, opened as far as it lets itself.
    // A program that holds it without sharing even reading (an exclusive
    // open) is waited for as long as a writer's lock.
    const DWORD shares = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD start = GetTickCount();
    for (;;) {
        s.heldOpen = false;
        bool shut = true;  // every open was refused for sharing
        for (DWORD access : {DWORD(GENERIC_READ | GENERIC_WRITE), DWORD(GENERIC_READ), DWORD(GENERIC_WRITE)}) {
            s.old = CreateFileW(s.target.c_str(), access | READ_CONTROL, shares, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
            if (s.old == INVALID_HANDLE_VALUE)
                s.old = CreateFileW(s.target.c_str(), access, shares, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
            if (s.old != INVALID_HANDLE_VALUE) {
                s.oldAccess = access;
                return Written::Ok;
            }
            const bool sharing = GetLastError() == ERROR_SHARING_VIOLATION;
            shut = shut && sharing;
            // The access check comes before the sharing check: a file
            // refused for sharing only is writable, and held by a program
            // that does not share writing (a viewer, an indexer).
            if (access == (GENERIC_READ | GENERIC_WRITE)) s.heldOpen = sharing;
        }
        if (!shut || GetFileAttributesW(s.target.c_str()) == INVALID_FILE_ATTRIBUTES) return Written::Ok;
        if (GetTickCount() - start >= static_cast<DWORD>(kWaitMilliseconds)) {
            unlock(s);
            return Written::Busy;
        }
        Sleep(20);
    }
}

bool busyError(DWORD e) {
    return e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED || e == ERROR_LOCK_VIOLATION;
}

// The existing destination's access control list, attributes and creation
// time onto the new file. A list that can be read but not set fails it: a
// user could lose access by it.
bool carryMetadata(Platform& s) {
    if (s.old == INVALID_HANDLE_VALUE) return true;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(s.old, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) ==
            ERROR_SUCCESS &&
        sd) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(sd, &control, &revision);
        const SECURITY_INFORMATION how =
            DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
        const DWORD set = SetSecurityInfo(s.file, SE_FILE_OBJECT, how, nullptr, nullptr, dacl, nullptr);
        LocalFree(sd);
        if (set != ERROR_SUCCESS) return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(s.old, &info)) {
        FILE_BASIC_INFO basic = {};
        basic.CreationTime.LowPart = info.ftCreationTime.dwLowDateTime;
        basic.CreationTime.HighPart = static_cast<LONG>(info.ftCreationTime.dwHighDateTime);
        basic.FileAttributes = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        (void)SetFileInformationByHandle(s.file, FileBasicInfo, &basic, sizeof basic);
    }
    return true;
}

}  // namespace

Written lock(Platform& s, const char* path) {
    release(s);
    if (!setTarget(s, path)) return Written::Ok;
    return acquire(s);
}

Written begin(Platform& s, const char* path, Target target) {
    const Written refused = target == Target::Rewrite ? Written::CannotOpen : Written::CannotCreate;
    Platform probe;
    if (!setTarget(probe, path)) {
        release(s);
        return refused;
    }
    if (!s.mutex || probe.target != s.target) {
        release(s);
        if (!setTarget(s, path)) return refused;
        const Written w = acquire(s);
        if (w != Written::Ok) return w;
    }
    const DWORD attributes = GetFileAttributesW(s.target.c_str());
    s.existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (s.existed) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return refused;
        if (s.old == INVALID_HANDLE_VALUE) return refused;
        // A file held open by another program is written as one that is
        // not: the rename waits for the program to let go (publish).
        const DWORD access = s.oldAccess | (s.heldOpen ? DWORD(GENERIC_WRITE) : 0);
        if (target == Target::Rewrite && access != (GENERIC_READ | GENERIC_WRITE)) return refused;
        if (target != Target::Rewrite && !(access & GENERIC_WRITE)) return refused;
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(s.old, &info) && info.nNumberOfLinks > 1) return Written::HardLinked;
    } else if (target == Target::Rewrite) {
        return refused;
    }
    if (faults::fails(Step::Create)) return target == Target::Rewrite ? Written::Failed : Written::CannotCreate;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring candidate = s.leafFolder + L"\\" + widen(newFileName(s.leaf).c_str());
        s.file = CreateFileW(candidate.c_str(), GENERIC_WRITE | WRITE_DAC | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (s.file == INVALID_HANDLE_VALUE)
            s.file = CreateFileW(candidate.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (s.file != INVALID_HANDLE_VALUE) {
            s.temp = candidate;
            return Written::Ok;
        }
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) continue;
        if (s.existed && e == ERROR_ACCESS_DENIED) return Written::FolderClosed;
        break;
    }
    return target == Target::Rewrite ? Written::Failed : Written::CannotCreate;
}

bool writeAt(Platform& s, std::uint64_t off, const void* data, std::size_t n) {
    if (s.file == INVALID_HANDLE_VALUE || faults::fails(Step::Write)) return false;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(off);
        at.OffsetHigh = static_cast<DWORD>(off >> 32);
        const DWORD ask = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
        DWORD done = 0;
        if (!WriteFile(s.file, p, ask, &done, &at) || done == 0) return false;
        p += done;
        n -= done;
        off += done;
    }
    return true;
}

void startWriteOut(Platform&, std::uint64_t, std::uint64_t) {}

Written prepare(Platform& s) {
    if (s.file == INVALID_HANDLE_VALUE) return Written::Failed;
    if (s.existed && !carryMetadata(s)) return Written::Failed;
    if (faults::fails(Step::Sync) || !FlushFileBuffers(s.file)) return Written::Failed;
    const bool closedFault = faults::fails(Step::Close);
    const bool closed = CloseHandle(s.file) != 0;
    s.file = INVALID_HANDLE_VALUE;
    if (closedFault || !closed) return Written::Failed;
    // Windows renames nothing over a file open without delete sharing.
    closeHandle(s.old);
    return Written::Ok;
}

Written park(Platform&) { return Written::Ok; }

Written publish(Platform& s) {
    if (s.temp.empty()) return Written::Failed;
    if (faults::fails(Step::Rename)) return Written::Failed;
    const DWORD start = GetTickCount();
    DWORD pause = 10;
    for (;;) {
        if (MoveFileExW(s.temp.c_str(), s.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            s.temp.clear();
            return Written::Ok;
        }
        const DWORD e = GetLastError();
        if (!busyError(e)) return Written::Failed;
        // Another program (an indexer, a scanner, the host) has it open.
        if (GetTickCount() - start >= static_cast<DWORD>(kWaitMilliseconds)) {
            const DWORD a = GetFileAttributesW(s.target.c_str());
            return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) ? Written::Failed : Written::Busy;
        }
        Sleep(pause);
        if (pause < 80) pause *= 2;
    }
}

bool flushFolder(Platform&) { return true; }

const std::string& folder(const Platform& s) { return s.folder; }

void restore(Platform&) {}

void finish(Platform& s) { release(s); }

void abandon(Platform& s) {
    closeHandle(s.file);
    if (!s.temp.empty()) DeleteFileW(s.temp.c_str());
    release(s);
}

}  // namespace fileio::detail

namespace fileio {

bool renameName(const char* utf8From, const char* utf8To) {
    return MoveFileExW(widen(utf8From).c_str(), widen(utf8To).c_str(), MOVEFILE_COPY_ALLOWED) != 0;
}

bool removeName(const char* utf8Path) { return DeleteFileW(widen(utf8Path).c_str()) != 0; }

}  // namespace fileio
