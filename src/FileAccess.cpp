#include "FileAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileio {

#if defined(_WIN32)
std::wstring widen(const char* utf8) {
    if (!utf8 || !*utf8) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

std::string narrow(const wchar_t* utf16) {
    if (!utf16 || !*utf16) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

#endif

namespace {

#if defined(_WIN32)
// A handle of the regular file at path, or INVALID_HANDLE_VALUE.
HANDLE openRegular(const char* utf8Path, bool forUpdate) {
    if (!utf8Path || !*utf8Path) return INVALID_HANDLE_VALUE;
    const std::wstring w = widen(utf8Path);
    if (w.empty()) return INVALID_HANDLE_VALUE;
    const DWORD access = forUpdate ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    HANDLE h = CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}
#else
// A descriptor of the regular file at path, or -1; st gets its status. A
// pipe opens without waiting for a writer, and is then refused.
int openRegular(const char* utf8Path, bool forUpdate, struct stat& st) {
    if (!utf8Path || !*utf8Path) return -1;
    const int fd = ::open(utf8Path, (forUpdate ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

}  // namespace

bool opens(const char* utf8Path, bool forUpdate) {
#if defined(_WIN32)
    HANDLE h = openRegular(utf8Path, forUpdate);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
#else
    struct stat st;
    const int fd = openRegular(utf8Path, forUpdate, st);
    if (fd < 0) return false;
    ::close(fd);
#endif
    return true;
}

void FileWindow::unmap() {
#if defined(_WIN32)
    if (map_) UnmapViewOfFile(map_);
#else
    if (map_) munmap(map_, length_);
#endif
    map_ = nullptr;
    base_ = nullptr;
    length_ = 0;
}

void FileWindow::release() {
    unmap();
    std::vector<std::uint8_t>().swap(buffer_);
#if defined(_WIN32)
    if (mapping_) CloseHandle(mapping_);
    if (file_) CloseHandle(file_);
    mapping_ = nullptr;
    file_ = nullptr;
#else
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
#endif
    size_ = 0;
    start_ = 0;
}

Load FileWindow::open(const char* utf8Path) {
    release();
#if defined(_WIN32)
    HANDLE h = openRegular(utf8Path, false);
    if (h == INVALID_HANDLE_VALUE) return Load::CannotOpen;
    LARGE_INTEGER sz;
    if (!GetFileSizeEx(h, &sz) || sz.QuadPart < 0) {
        CloseHandle(h);
        return Load::CannotOpen;
    }
    file_ = h;
    size_ = static_cast<std::uint64_t>(sz.QuadPart);
    // An empty file cannot be mapped; it has nothing to view either.
    if (size_ > 0) mapping_ = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
#else
    struct stat st;
    const int fd = openRegular(utf8Path, false, st);
    if (fd < 0) return Load::CannotOpen;
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
#endif
    return Load::Ok;
}

bool FileWindow::place(std::uint64_t off, std::size_t n) {
    unmap();
#if defined(_WIN32)
    static const std::uint64_t grain = [] {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        return static_cast<std::uint64_t>(si.dwAllocationGranularity);
    }();
#else
    static const std::uint64_t grain = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
#endif
    // A mapped window of kUnit or more holds whole units from a unit
    // boundary: the system may then map each unit with one large-page entry
    // (Linux does when its cache holds the unit as one piece), which makes
    // both the mapping and the reads through it cheaper than page by page;
    // units are a multiple of every system's mapping granularity. A smaller
    // mapped window runs window_ from off (so that a pass in blocks of half
    // a window from an unaligned offset maps once per two blocks), and a
    // window that is read starts at off itself.
    const bool mapped = fill_ == Fill::Map;
    std::uint64_t start, length;
    if (!mapped) {
        start = off;
        length = std::max<std::uint64_t>(n, window_);
    } else if (window_ >= kUnit) {
        const std::uint64_t unit = std::max<std::uint64_t>(grain, kUnit);
        start = off / unit * unit;
        length = std::max<std::uint64_t>((off - start + n + unit - 1) / unit * unit, window_);
    } else {
        start = off / grain * grain;
        length = off - start + std::max<std::uint64_t>(n, window_);
    }
    if (length > size_ - start) length = size_ - start;
    if (length > SIZE_MAX) return false;
#if defined(_WIN32)
    if (mapped && mapping_)
        map_ = MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(start >> 32), static_cast<DWORD>(start),
                             static_cast<SIZE_T>(length));
#else
        // The window's pages are brought in by one call rather than a fault each.
#if defined(MAP_POPULATE)
    constexpr int kFlags = MAP_PRIVATE | MAP_POPULATE;
#else
    constexpr int kFlags = MAP_PRIVATE;
#endif
    if (mapped) {
        void* p = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, kFlags, fd_, static_cast<off_t>(start));
        if (p != MAP_FAILED) map_ = p;
    }
#endif
    if (map_) {
        base_ = static_cast<const std::uint8_t*>(map_);
    } else {
        // Not mapped: read the window into the buffer.
        buffer_.resize(static_cast<std::size_t>(length));
        if (!read(start, buffer_.data(), buffer_.size())) return false;
        base_ = buffer_.data();
    }
    start_ = start;
    length_ = static_cast<std::size_t>(length);
    return true;
}

bool FileWindow::holds(std::uint64_t off, std::size_t n) const {
#if defined(_WIN32)
    if (!file_) return false;
#else
    if (fd_ < 0) return false;
#endif
    return off <= size_ && n <= size_ - off;
}

bool FileWindow::read(std::uint64_t off, void* dst, std::size_t n) {
    return holds(off, n) && readSome(off, dst, n) == n;
}

std::size_t FileWindow::readSome(std::uint64_t off, void* dst, std::size_t n) {
    if (!holds(off, 0)) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - off));
    std::uint8_t* p = static_cast<std::uint8_t*>(dst);
    std::size_t done = 0;
    while (done < n) {
#if defined(_WIN32)
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(off + done);
        at.OffsetHigh = static_cast<DWORD>((off + done) >> 32);
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(file_), p + done, ask, &got, &at) || got == 0) break;
#else
        const ssize_t got = pread(fd_, p + done, n - done, static_cast<off_t>(off + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
#endif
        done += static_cast<std::size_t>(got);
    }
    return done;
}

const std::uint8_t* FileWindow::view(std::uint64_t off, std::size_t n) {
    if (!holds(off, n)) return nullptr;
    if (n == 0) {
        static const std::uint8_t nothing = 0;
        return &nothing;
    }
    if (!base_ || off < start_ || off - start_ > length_ || n > length_ - (off - start_)) {
        if (!place(off, n)) {
            unmap();
            return nullptr;
        }
    }
    return base_ + (off - start_);
}

bool FileWindow::whole(Bytes& out) {
    if (size_ > SIZE_MAX) return false;
    const std::uint8_t* p = view(0, static_cast<std::size_t>(size_));
    if (!p) return false;
    out = Bytes(p, static_cast<std::size_t>(size_));
    return true;
}

#if defined(_WIN32)
namespace {

bool fileIdentity(const char* utf8Path, BY_HANDLE_FILE_INFORMATION& info) {
    std::wstring w = widen(utf8Path);
    if (w.empty()) return false;
    // No access rights needed for the identity; folders open with the
    // backup-semantics flag.
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

bool sameFile(const char* utf8PathA, const char* utf8PathB) {
    if (!utf8PathA || !utf8PathB || !*utf8PathA || !*utf8PathB) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!fileIdentity(utf8PathA, a) || !fileIdentity(utf8PathB, b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}
#else
bool sameFile(const char* utf8PathA, const char* utf8PathB) {
    if (!utf8PathA || !utf8PathB || !*utf8PathA || !*utf8PathB) return false;
    struct stat a, b;
    if (::stat(utf8PathA, &a) != 0 || ::stat(utf8PathB, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
#endif

bool Bytes::le32(std::size_t off, std::uint32_t& v) const {
    if (!has(off, 4)) return false;
    v = loadLE32(data + off);
    return true;
}

}  // namespace fileio
