// brindlex_reads FILE [--runs N] [--rewrite]: the system's own ways of
// reading a file, timed in one process, for telling a build's costs from its
// system's (run natively and under Wine by make bench-windows). Each way
// reads every line of FILE and sums a word of it (the two builds do the
// same work):
//
//   mapped windows W MiB   a mapping of each W MiB of the file in turn
//                          (W = 2 and 8; fileio::FileWindow's are 8)
//   whole-file mapping     one mapping of the whole file
//   sparse whole-file      the same, one line read every 64 KiB (what a
//   mapping                thumbnail or a chunk lookup reads of a mapping)
//   buffered reads         1 MiB at a time into one buffer (read / ReadFile)
//   open, map, read one    what every call that maps a file pays whatever
//   line and close         it reads
//   thread start and join  one thread that does nothing, started and joined
//
// With --rewrite (FILE then is a copy it may write), instead a rewrite in
// place, 4 MiB read and the same bytes written back at a time (as the TIFF
// merge and swap once did): through the C library's streams and through the
// system's calls (pread and pwrite, ReadFile and WriteFile); and
// a new file of FILE's size renamed over an old one, as every write of the
// library ends (without its flushes), with and without its blocks reserved
// first (which the library does not do: on ext4 a reservation turns off the
// write-out of a file renamed over another).
//
// Prints one line a way: its name and the median seconds of N runs (default
// 5) after a warm-up.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Sums one 64-bit word of every stride bytes (the tail bytes one by one):
// with the stride of a line, every line of the file comes into the
// processor, with little work beside.
std::uint64_t sum(const std::uint8_t* p, std::size_t n, std::size_t stride = 64) {
    std::uint64_t s = 0, w;
    std::size_t i = 0;
    for (; i + stride <= n; i += stride) {
        __builtin_memcpy(&w, p + i, 8);
        s += w;
    }
    for (; i < n; ++i) s += p[i];
    return s;
}

// A file opened for reading, mapped or read through the system's calls.
class Source {
public:
    Source(const char* path, bool writable) {
#if defined(_WIN32)
        const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
        std::wstring w(n > 0 ? n : 1, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, path, -1, &w[0], n);
        file_ = CreateFileW(w.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER sz;
        if (file_ != INVALID_HANDLE_VALUE && GetFileSizeEx(file_, &sz)) size_ = std::uint64_t(sz.QuadPart);
        if (size_) mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
#else
        fd_ = open(path, writable ? O_RDWR : O_RDONLY);
        struct stat st;
        if (fd_ >= 0 && fstat(fd_, &st) == 0) size_ = std::uint64_t(st.st_size);
#endif
    }
    ~Source() {
#if defined(_WIN32)
        if (mapping_) CloseHandle(mapping_);
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
#else
        if (fd_ >= 0) close(fd_);
#endif
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    std::uint64_t size() const { return size_; }

    // Maps [off, off + n), sums it and unmaps it; false when it cannot.
    bool mapped(std::uint64_t off, std::size_t n, std::uint64_t& s, std::size_t stride = 64) const {
        // Populated at once as FileWindow's windows are, unless read sparsely.
        return withMapping(off, n, stride == 64, [&](const std::uint8_t* p) {
            s += sum(p, n, stride);
            return true;
        });
    }

    // fn(p) on a mapping of [off, off + n); false when it cannot be mapped.
    template <class Fn>
    bool withMapping(std::uint64_t off, std::size_t n, bool populate, Fn&& fn) const {
#if defined(_WIN32)
        (void)populate;
        void* p = mapping_ ? MapViewOfFile(mapping_, FILE_MAP_READ, DWORD(off >> 32), DWORD(off), n) : nullptr;
        if (!p) return false;
        const bool ok = fn(static_cast<const std::uint8_t*>(p));
        UnmapViewOfFile(p);
#else
        void* p = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd_, off_t(off));
        if (p == MAP_FAILED) return false;
        const bool ok = fn(static_cast<const std::uint8_t*>(p));
        munmap(p, n);
#endif
        return ok;
    }

    // Reads n bytes at off into buf.
    bool read(std::uint64_t off, std::uint8_t* buf, std::size_t n) const { return io(false, off, buf, n); }
    // Writes n bytes of buf at off.
    bool write(std::uint64_t off, std::uint8_t* buf, std::size_t n) const { return io(true, off, buf, n); }

private:
    bool io(bool out, std::uint64_t off, std::uint8_t* buf, std::size_t n) const {
#if defined(_WIN32)
        LARGE_INTEGER at;
        at.QuadPart = LONGLONG(off);
        DWORD done = 0;
        if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
        return (out ? WriteFile(file_, buf, DWORD(n), &done, nullptr)
                    : ReadFile(file_, buf, DWORD(n), &done, nullptr)) &&
               done == n;
#else
        return (out ? pwrite(fd_, buf, n, off_t(off)) : pread(fd_, buf, n, off_t(off))) == ssize_t(n);
#endif
    }

    std::uint64_t size_ = 0;
#if defined(_WIN32)
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Reserves n bytes of blocks for a file being written, its length kept.
bool reserveBlocks(std::FILE* f, std::uint64_t n) {
#if defined(_WIN32)
    FILE_ALLOCATION_INFO info;
    info.AllocationSize.QuadPart = LONGLONG(n);
    return SetFileInformationByHandle(HANDLE(_get_osfhandle(_fileno(f))), FileAllocationInfo, &info, sizeof info) != 0;
#elif defined(__linux__)
    return fallocate(fileno(f), FALLOC_FL_KEEP_SIZE, 0, off_t(n)) == 0;
#else
    (void)f;
    (void)n;
    return false;
#endif
}

bool renameOver(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

double median(const std::function<bool()>& pass, int runs) {
    std::vector<double> t;
    for (int i = 0; i <= runs; ++i) {
        const double t0 = now();
        if (!pass()) return -1;
        if (i > 0) t.push_back(now() - t0);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    bool rewrite = false;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
        if (std::string(argv[i]) == "--rewrite") rewrite = true;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: brindlex_reads FILE [--runs N] [--rewrite]\n");
        return 2;
    }
    const Source src(argv[1], rewrite);
    const std::uint64_t size = src.size();
    if (size == 0) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    volatile std::uint64_t keep = 0;
    auto windows = [&](std::size_t w) {
        return [&, w] {
            std::uint64_t s = 0;
            for (std::uint64_t off = 0; off < size; off += w)
                if (!src.mapped(off, std::size_t(std::min<std::uint64_t>(w, size - off)), s)) return false;
            keep = keep + s;
            return true;
        };
    };
    std::vector<std::uint8_t> buf(1u << 20);
    const struct {
        const char* name;
        std::function<bool()> pass;
    } ways[] = {
        {"mapped windows 2 MiB", windows(2u << 20)},
        {"mapped windows 8 MiB", windows(8u << 20)},
        {"whole-file mapping",
         [&] {
             std::uint64_t s = 0;
             if (!src.mapped(0, std::size_t(size), s)) return false;
             keep = keep + s;
             return true;
         }},
        {"sparse whole-file mapping",
         [&] {
             std::uint64_t s = 0;
             if (!src.mapped(0, std::size_t(size), s, 65536)) return false;
             keep = keep + s;
             return true;
         }},
        {"buffered reads 1 MiB",
         [&] {
             std::uint64_t s = 0;
             for (std::uint64_t off = 0; off < size; off += buf.size()) {
                 const std::size_t n = std::size_t(std::min<std::uint64_t>(buf.size(), size - off));
                 if (!src.read(off, buf.data(), n)) return false;
                 s += sum(buf.data(), n);
             }
             keep = keep + s;
             return true;
         }},
        {"open, map, read one line and close",
         [&] {
             const Source once(argv[1], false);
             std::uint64_t s = 0;
             if (!once.withMapping(0, std::size_t(once.size()), false, [&](const std::uint8_t* p) {
                     s += sum(p, 64);
                     return true;
                 }))
                 return false;
             keep = keep + s;
             return true;
         }},
        {"thread start and join",
         [] {
             std::thread([] {}).join();
             return true;
         }},
    };
    if (!rewrite) {
        for (const auto& w : ways) std::printf("%s\t%.6f\n", w.name, median(w.pass, runs));
        return 0;
    }

    std::vector<std::uint8_t> block(4u << 20);
    const std::uint64_t whole = size / block.size() * block.size();
    std::FILE* f = std::fopen(argv[1], "r+b");
    if (!f) return 1;
    const struct {
        const char* name;
        std::function<bool()> pass;
    } rewrites[] = {
        {"in-place rewrite 4 MiB, streams",
         [&] {
             for (std::uint64_t off = 0; off < whole; off += block.size()) {
                 if (fseeko64(f, off, SEEK_SET) != 0 || std::fread(block.data(), 1, block.size(), f) != block.size() ||
                     fseeko64(f, off, SEEK_SET) != 0 || std::fwrite(block.data(), 1, block.size(), f) != block.size())
                     return false;
             }
             return std::fflush(f) == 0;
         }},
        {"in-place rewrite 4 MiB, system calls",
         [&] {
             for (std::uint64_t off = 0; off < whole; off += block.size())
                 if (!src.read(off, block.data(), block.size()) || !src.write(off, block.data(), block.size()))
                     return false;
             return true;
         }},
    };
    for (const auto& w : rewrites) std::printf("%s\t%.6f\n", w.name, median(w.pass, runs));
    std::fclose(f);

    // A new file of FILE's size renamed over an old one of that size, its
    // blocks reserved first or not. The reservation is refused where the
    // system lacks it; the way's name then says so.
    const std::string fresh = std::string(argv[1]) + ".new", old = std::string(argv[1]) + ".old";
    for (bool reserve : {false, true}) {
        bool refused = false;
        const double t = median(
            [&] {
                std::FILE* out = std::fopen(fresh.c_str(), "wb");
                if (!out) return false;
                if (reserve && !reserveBlocks(out, size)) refused = true;
                bool ok = true;
                for (std::uint64_t off = 0; ok && off < size; off += buf.size()) {
                    const std::size_t n = std::size_t(std::min<std::uint64_t>(buf.size(), size - off));
                    ok = std::fwrite(buf.data(), 1, n, out) == n;
                }
                return (std::fclose(out) == 0) && ok && renameOver(fresh, old);
            },
            runs);
        std::printf("written anew and renamed over a file%s\t%.6f\n",
                    !reserve  ? ""
                    : refused ? ", blocks reserved (refused here)"
                              : ", blocks reserved",
                    t);
    }
    std::remove(old.c_str());
    return 0;
}
