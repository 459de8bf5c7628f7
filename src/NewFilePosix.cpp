// The write protocol on POSIX systems (Linux, and macOS, whose calls are
// named where they differ), and the system's rename and removal that the
// file services offer.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "NewFileSystem.h"
#include "WriteFaults.h"

#if defined(__APPLE__)
#include <copyfile.h>
#endif
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif

namespace fileio::detail {

using faults::Step;

struct Platform {
    std::string target;  // the destination, its links followed
    std::string folder;  // the folder it lies in
    std::string leaf;    // its name there
    int dirFd = -1;
    // The existing destination, held open: locked for the writer, the source
    // of its metadata, and of its content should it have to be put back.
    int oldFd = -1;
    int oldAccess = 0;  // O_RDWR, O_RDONLY or O_WRONLY
    bool existed = false;
    struct stat oldStat {};
    // The new file: unnamed (Linux O_TMPFILE: it vanishes if the process
    // dies) until it is about to be renamed, or named `temp` from the start.
    int fd = -1;
    std::string temp;
    bool published = false;
};

Platform* makePlatform() { return new Platform; }
void destroyPlatform(Platform* p) { delete p; }

namespace {

using Clock = std::chrono::steady_clock;

bool retryable(int e) { return e == EINTR; }

int openRetry(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && retryable(errno));
    return fd;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Follows the symbolic links that the path itself is (not its folders):
// the file a link names is the one written. False for a loop or a link
// that cannot be read.
bool followLinks(const char* path, std::string& out) {
    std::string p = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            out = p;
            return true;
        }
        std::vector<char> buf(PATH_MAX + 1);
        const ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return false;
        const std::string link(buf.data(), static_cast<std::size_t>(n));
        const std::size_t slash = p.rfind('/');
        p = link[0] == '/' || slash == std::string::npos ? link : p.substr(0, slash + 1) + link;
    }
    return false;
}

bool setTarget(Platform& s, const char* path) {
    std::string t;
    if (!followLinks(path, t)) return false;
    const std::size_t slash = t.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : t.substr(0, slash);
    std::string leaf = slash == std::string::npos ? t : t.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return false;
    s.target = std::move(t);
    s.folder = std::move(folder);
    s.leaf = std::move(leaf);
    return true;
}

bool sameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens and locks the existing destination (no lock where the file system
// has none). Ok without a file when there is none, or it is not a regular
// file, or it opens in no way: begin() tells those apart.
Written acquire(Platform& s) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMilliseconds);
    for (;;) {
        struct stat st;
        if (::lstat(s.target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Written::Ok;
        int fd = -1, access = 0;
        for (int mode : {O_RDWR, O_RDONLY, O_WRONLY}) {
            fd = openRetry(s.target.c_str(), mode | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (fd >= 0) {
                access = mode;
                break;
            }
        }
        if (fd < 0) return Written::Ok;
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) break;  // no locks on this file system: unlocked
            if (Clock::now() >= deadline) {
                ::close(fd);
                return Written::Busy;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // The writer that held the lock may have renamed a new file over
        // this one: the name must still name the file locked.
        struct stat held, now;
        if (::fstat(fd, &held) == 0 && ::lstat(s.target.c_str(), &now) == 0 && sameInode(held, now)) {
            s.oldFd = fd;
            s.oldAccess = access;
            s.oldStat = held;
            return Written::Ok;
        }
        ::close(fd);
        if (Clock::now() >= deadline) return Written::Busy;
    }
}

void release(Platform& s) {
    closeFd(s.fd);
    closeFd(s.oldFd);
    closeFd(s.dirFd);
    s.temp.clear();
    s.published = false;
    s.existed = false;
    s.target.clear();
}

#if defined(O_TMPFILE)
// An unnamed file can be given a name through /proc.
bool canNameUnnamed() {
    static const bool can = ::access("/proc/self/fd", X_OK) == 0;
    return can;
}
#endif

// A new file in the folder: unnamed where the system allows, else under a
// fresh name, created exclusively and never through a link. Sets errno on
// failure.
int createBeside(Platform& s, std::string& name) {
    name.clear();
    if (faults::fails(Step::Create)) {
        errno = EIO;
        return -1;
    }
#if defined(O_TMPFILE)
    if (s.dirFd >= 0 && canNameUnnamed() && !faults::namedFromTheStart()) {
        int fd;
        do {
            fd = ::openat(s.dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return fd;
        // File systems without unnamed files refuse in several ways.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return -1;
    }
#endif
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = newFileName(s.leaf);
        int fd;
        do {
            fd = s.dirFd >= 0
                     ? ::openat(s.dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)
                     : openRetry((s.folder + "/" + candidate).c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

std::string inFolder(const Platform& s, const std::string& name) { return s.folder + "/" + name; }

bool removeName(const Platform& s, const std::string& name) {
    return s.dirFd >= 0 ? ::unlinkat(s.dirFd, name.c_str(), 0) == 0 : ::unlink(inFolder(s, name).c_str()) == 0;
}

bool renameName(const Platform& s, const std::string& from, const std::string& to) {
    return s.dirFd >= 0 ? ::renameat(s.dirFd, from.c_str(), s.dirFd, to.c_str()) == 0
                        : ::rename(inFolder(s, from).c_str(), inFolder(s, to).c_str()) == 0;
}

bool writeAllAt(int fd, std::uint64_t off, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
        off += static_cast<std::uint64_t>(w);
    }
    return true;
}

// Extended attributes, the access control lists among them (Linux keeps
// them as attributes). An attribute of the system's own namespaces that
// the process may not set is passed over; any other that cannot be set
// fails the copy, since a user could lose access by it.
bool copyAttributes(int from, int to) {
#if defined(__linux__)
    ssize_t n = ::flistxattr(from, nullptr, 0);
    if (n < 0) return errno == ENOTSUP || errno == ENODATA;
    std::vector<char> names(static_cast<std::size_t>(n) + 1);
    n = ::flistxattr(from, names.data(), names.size());
    if (n < 0) return false;
    std::vector<char> value;
    for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1) {
        ssize_t len = ::fgetxattr(from, name, nullptr, 0);
        if (len >= 0) {
            value.resize(static_cast<std::size_t>(len) + 1);
            len = ::fgetxattr(from, name, value.data(), value.size());
        }
        const bool system = std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "trusted.", 8) == 0;
        if (len < 0) {
            if (system) continue;
            return false;
        }
        if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(len), 0) != 0 && !system) return false;
    }
    return true;
#elif defined(__APPLE__)
    // The system's own copy of the access control list and the extended
    // attributes; the permission bits and the owner are set by the caller,
    // and the times are left (COPYFILE_STAT would set back the time of the
    // last change, which is now).
    return ::fcopyfile(from, to, nullptr, COPYFILE_ACL | COPYFILE_XATTR) == 0;
#else
    (void)from;
    (void)to;
    return true;
#endif
}

// The existing destination's owner, group, permission bits and
// attributes onto the new file. The owner and group only as far as the
// process may give them away.
bool carryMetadata(const Platform& s, int to) {
    struct stat now;
    if (::fstat(to, &now) != 0) return false;
    const struct stat& old = s.oldStat;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(to, old.st_uid, old.st_gid) != 0)
        (void)::fchown(to, static_cast<uid_t>(-1), old.st_gid);
    if (::fchmod(to, old.st_mode & 07777) != 0) return false;
    return s.oldFd < 0 || copyAttributes(s.oldFd, to);
}

// The file's content (and, where metadata was carried, its metadata) on
// stable storage. macOS's fsync leaves the drive's cache: F_FULLFSYNC,
// where the file system has it.
bool syncFile(int fd, bool metadata) {
    if (faults::fails(Step::Sync)) return false;
#if defined(__APPLE__)
    (void)metadata;
    if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
    return ::fsync(fd) == 0;
#elif defined(__linux__)
    return (metadata ? ::fsync(fd) : ::fdatasync(fd)) == 0;
#else
    (void)metadata;
    return ::fsync(fd) == 0;
#endif
}

// Gives an unnamed new file a fresh name in its folder.
bool nameNewFile(Platform& s, int fd, std::string& name) {
    if (!name.empty()) return true;
#if defined(O_TMPFILE)
    if (faults::fails(Step::Name)) return false;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = newFileName(s.leaf);
        if (::linkat(AT_FDCWD, proc.c_str(), s.dirFd, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            name = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
#else
    (void)s;
    (void)fd;
#endif
    return false;
}

bool closeNewFile(int& fd) {
    if (faults::fails(Step::Close)) {
        closeFd(fd);
        return false;
    }
    const int r = ::close(fd);
    fd = -1;
    return r == 0;
}

}  // namespace

Written lock(Platform& s, const char* path) {
    std::string t;
    if (s.oldFd >= 0 && followLinks(path, t) && t == s.target) return Written::Ok;
    release(s);
    if (!setTarget(s, path)) return Written::Ok;  // begin() refuses it
    return acquire(s);
}

Written begin(Platform& s, const char* path, Target target) {
    const Written refused = target == Target::Rewrite ? Written::CannotOpen : Written::CannotCreate;
    std::string t;
    if (!followLinks(path, t)) {
        release(s);
        return refused;
    }
    if (s.oldFd < 0 || t != s.target) {
        release(s);
        if (!setTarget(s, path)) return refused;
        const Written w = acquire(s);
        if (w != Written::Ok) return w;
    }
    struct stat st;
    s.existed = ::lstat(s.target.c_str(), &st) == 0;
    if (s.existed) {
        if (!S_ISREG(st.st_mode)) return refused;  // a folder, a device: never replaced
        if (s.oldFd < 0) {
            // It opens in no way: only a copy may replace it.
            if (target != Target::Replace) return refused;
            s.oldStat = st;
        } else if (target == Target::Rewrite && s.oldAccess != O_RDWR) {
            return refused;
        } else if (target == Target::Output && s.oldAccess == O_RDONLY) {
            return refused;
        }
        if (s.oldStat.st_nlink > 1) return Written::HardLinked;
    } else if (target == Target::Rewrite) {
        return refused;
    }
#if defined(__linux__)
    // An output's old content is not read again (but to put it back after a
    // failed folder flush, from the disk): its cached pages may go now, and
    // the new content takes their memory.
    if (s.existed && target != Target::Rewrite && s.oldFd >= 0)
        (void)::posix_fadvise(s.oldFd, 0, 0, POSIX_FADV_DONTNEED);
#endif
    s.dirFd = openRetry(s.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder that may be written but not read still takes the file; it
    // cannot be flushed, and the names go through paths.
    if (s.dirFd < 0 && errno != EACCES) return refused;
    s.fd = createBeside(s, s.temp);
    if (s.fd < 0) {
        const int e = errno;
        if (s.existed && (e == EACCES || e == EPERM)) return Written::FolderClosed;
        return target == Target::Rewrite ? Written::Failed : Written::CannotCreate;
    }
    return Written::Ok;
}

bool writeAt(Platform& s, std::uint64_t off, const void* data, std::size_t n) {
    if (s.fd < 0 || faults::fails(Step::Write)) return false;
    return writeAllAt(s.fd, off, data, n);
}

void startWriteOut(Platform& s, std::uint64_t from, std::uint64_t length) {
#if defined(__linux__)
    // Only the range asked for: the whole file each time would walk every
    // cached page of a large output again at each step.
    if (s.fd >= 0)
        (void)::sync_file_range(s.fd, static_cast<off_t>(from), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)s;
    (void)from;
    (void)length;
#endif
}

Written prepare(Platform& s) {
    if (s.fd < 0) return Written::Failed;
    if (s.existed && !carryMetadata(s, s.fd)) return Written::Failed;
    if (!syncFile(s.fd, s.existed)) return Written::Failed;
    // A file named from the start is closed now; an unnamed one stays
    // open, to be named the moment before it is renamed.
    if (!s.temp.empty() && !closeNewFile(s.fd)) return Written::Failed;
    return Written::Ok;
}

Written park(Platform& s) {
    if (s.fd >= 0 && (!nameNewFile(s, s.fd, s.temp) || !closeNewFile(s.fd))) return Written::Failed;
    return Written::Ok;
}

Written publish(Platform& s) {
    // Named and renamed at once: a call killed in between leaves the whole
    // new file under its hidden name, which only that instant allows.
    if (s.fd >= 0 && !nameNewFile(s, s.fd, s.temp)) return Written::Failed;
    if (s.temp.empty()) return Written::Failed;
    if (faults::fails(Step::Rename) || !renameName(s, s.temp, s.leaf)) return Written::Failed;
    s.temp.clear();
    s.published = true;
    if (s.fd >= 0 && !closeNewFile(s.fd)) {
        restore(s);
        return Written::Failed;
    }
    return Written::Ok;
}

bool flushFolder(Platform& s) {
    if (faults::fails(Step::FolderSync)) return false;
    if (s.dirFd < 0) return true;
    return ::fsync(s.dirFd) == 0;
}

const std::string& folder(const Platform& s) { return s.folder; }

void restore(Platform& s) {
    if (!s.published) return;
    s.published = false;
    if (!s.existed) {
        // There was none: there is none again.
        removeName(s, s.leaf);
        if (s.dirFd >= 0) (void)::fsync(s.dirFd);
        return;
    }
    // The old content is still there behind the handle kept open: copied
    // into another new file, which is renamed back.
    if (s.oldFd < 0 || s.oldAccess == O_WRONLY) return;
    std::string name;
    int fd = createBeside(s, name);
    if (fd < 0) return;
    std::vector<char> block(1u << 20);
    bool ok = true;
    for (std::uint64_t off = 0; ok;) {
        const ssize_t got = ::pread(s.oldFd, block.data(), block.size(), static_cast<off_t>(off));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = !faults::fails(Step::Write) && writeAllAt(fd, off, block.data(), static_cast<std::size_t>(got));
        off += static_cast<std::uint64_t>(got);
    }
    ok = ok && carryMetadata(s, fd) && syncFile(fd, true) && nameNewFile(s, fd, name);
    ok = closeNewFile(fd) && ok;
    if (ok && !faults::fails(Step::Rename) && renameName(s, name, s.leaf)) {
        if (s.dirFd >= 0) (void)::fsync(s.dirFd);
    } else if (!name.empty()) {
        removeName(s, name);
    }
}

void finish(Platform& s) { release(s); }

void abandon(Platform& s) {
    closeFd(s.fd);
    if (!s.temp.empty()) removeName(s, s.temp);
    release(s);
}

}  // namespace fileio::detail

namespace fileio {

bool renameName(const char* utf8From, const char* utf8To) { return std::rename(utf8From, utf8To) == 0; }

bool removeName(const char* utf8Path) { return std::remove(utf8Path) == 0; }

}  // namespace fileio
