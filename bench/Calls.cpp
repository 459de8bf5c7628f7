// brindlex_calls: the bench's export rows timed in one process, so that the
// Windows build can be timed under Wine without Wine's start-up in every
// row, and the POSIX build the same way beside it.
//
//   brindlex_calls LIST [--runs N] [--drive D] [--peers]
//       Every row of LIST (written by brindlex_bench --list-calls): a fresh
//       copy of the input when the row rewrites it, then the call, timed;
//       the median of N runs (default 5) after a warm-up. Prints one line a
//       row: index, operation, input, seconds (-1 unless ok), last result,
//       ok, failed or absent (an export of the other build only), and with
//       --peers the row's peer command timed as a whole process (POSIX).
//   brindlex_calls LIST --peak ROW [--drive D]
//       One call in this process (row ROW of LIST), then one line: operation, input, the process's peak memory before
//       and after the call in MiB, result, ok or failed. The peak is the peak working set on Windows (under Wine, the
//       resident peak), the peak resident size elsewhere.
//
// --drive D goes in front of every absolute path of LIST (Z: under Wine,
// whose Z: drive is the Linux root). A row whose last field is 1 runs with
// the process narrowed to one processor, so the library works on one core.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "PeakMiB.h"

#include "HostLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sched.h>
#include <sys/resource.h>
#endif

namespace {

// One export call as brindlex_bench lists it (tab-separated, in this order).
struct Call {
    std::string operation, input, name, text;
    double value = 0;
    std::string mem1, freshFrom, freshTo, expect, peer;
    bool oneCore = false;
};

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> f;
    std::string::size_type at = 0;
    for (;;) {
        const std::string::size_type tab = line.find('\t', at);
        f.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) return f;
        at = tab + 1;
    }
}

std::string onDrive(const std::string& drive, const std::string& path) {
    return !path.empty() && path[0] == '/' ? drive + path : path;
}

bool readList(const std::string& path, const std::string& drive, std::vector<Call>& calls) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::vector<std::string> f = splitTabs(line);
        if (f.size() != 11) continue;
        Call c;
        c.operation = f[0];
        c.input = f[1];
        c.name = f[2];
        c.text = onDrive(drive, f[3]);
        c.value = std::strtod(f[4].c_str(), nullptr);
        c.mem1 = onDrive(drive, f[5]);
        c.freshFrom = onDrive(drive, f[6]);
        c.freshTo = onDrive(drive, f[7]);
        c.expect = f[8];
        c.peer = f[9];
        c.oneCore = f[10] == "1";
        calls.push_back(c);
    }
    return true;
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Narrows the process to one processor, or widens it back.
class OneCore {
public:
    explicit OneCore(bool on) {
        if (!on) return;
#if defined(_WIN32)
        DWORD_PTR process = 0, system = 0;
        if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
            saved_ = process;
            on_ = SetProcessAffinityMask(GetCurrentProcess(), process & (~process + 1)) != 0;
        }
#else
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &one);
                break;
            }
        on_ = sched_setaffinity(0, sizeof one, &one) == 0;
#endif
    }
    ~OneCore() {
        if (!on_) return;
#if defined(_WIN32)
        SetProcessAffinityMask(GetCurrentProcess(), saved_);
#else
        sched_setaffinity(0, sizeof saved_, &saved_);
#endif
    }
    OneCore(const OneCore&) = delete;
    OneCore& operator=(const OneCore&) = delete;

private:
    bool on_ = false;
#if defined(_WIN32)
    DWORD_PTR saved_ = 0;
#else
    cpu_set_t saved_;
#endif
};

// The fresh copy, made the same way in both builds (1 MiB at a time through
// the C library's streams), so that the copy's pages are alike in the
// system's cache when the call reads them.
bool fresh(const Call& c) {
    if (c.freshFrom.empty()) return true;
    std::FILE* in = std::fopen(c.freshFrom.c_str(), "rb");
    std::FILE* out = in ? std::fopen(c.freshTo.c_str(), "wb") : nullptr;
    bool ok = out != nullptr;
    std::vector<char> block(1u << 20);
    for (std::size_t got; ok && (got = std::fread(block.data(), 1, block.size(), in)) > 0;)
        ok = std::fwrite(block.data(), 1, got, out) == got;
    ok = ok && in && !std::ferror(in);
    if (out) ok = std::fclose(out) == 0 && ok;
    if (in) std::fclose(in);
    return ok;
}

// One call; ok when the result is what the row expects ("any": above 0).
bool callOnce(HostFn fn, const Call& c, float& result) {
    std::string m = c.mem1;
    result = hostCall(fn, c.text.c_str(), c.value, &m, 4096);
    return c.expect == "any" ? result > 0 : result == static_cast<float>(std::strtod(c.expect.c_str(), nullptr));
}

double timeCommand(const std::string& command, int runs) {
    std::vector<double> times;
    for (int i = 0; i <= runs; ++i) {
        const double t0 = now();
        if (std::system(command.c_str()) != 0) return -1;
        if (i > 0) times.push_back(now() - t0);
    }
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

int peak(const HostLibrary& lib, const Call& c) {
    const HostFn fn = lib.bind(c.name);
    if (!fn || !fresh(c)) return 1;
    const double before = peakMiB();
    float r = 0;
    bool ok;
    {
        OneCore narrow(c.oneCore);
        ok = callOnce(fn, c, r);
    }
    std::printf("%s\t%s\t%.1f\t%.1f\t%.9g\t%s\n", c.operation.c_str(), c.input.c_str(), before, peakMiB(), r,
                ok ? "ok" : "failed");
    return ok ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: brindlex_calls LIST [--runs N] [--drive D] [--peers]\n"
                 "       brindlex_calls LIST --peak ROW [--drive D]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string list, drive;
    int runs = 5, peakRow = -1;
    bool peers = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (a == "--drive" && i + 1 < argc)
            drive = argv[++i];
        else if (a == "--peak" && i + 1 < argc)
            peakRow = std::atoi(argv[++i]);
        else if (a == "--peers")
            peers = true;
        else
            list = a;
    }
    HostLibrary lib;
    std::string err;
    if (!lib.load(HostLibrary::besideProgram(), err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    std::vector<Call> calls;
    if (list.empty() || !readList(list, drive, calls)) return usage();
    if (peakRow >= 0) return peakRow < static_cast<int>(calls.size()) ? peak(lib, calls[peakRow]) : usage();

    for (std::size_t k = 0; k < calls.size(); ++k) {
        const Call& c = calls[k];
        const HostFn fn = lib.bind(c.name);  // absent: an export of the other build
        std::vector<double> times;
        float r = 0;
        bool ok = fn != nullptr;
        {
            OneCore narrow(c.oneCore);
            for (int i = 0; i <= runs && ok; ++i) {  // run 0 warms up
                ok = fresh(c);
                const double t0 = now();
                ok = ok && callOnce(fn, c, r);
                if (i > 0) times.push_back(now() - t0);
            }
        }
        std::sort(times.begin(), times.end());
        const double median = ok && !times.empty() ? times[times.size() / 2] : -1;
        std::printf("%zu\t%s\t%s\t%.6f\t%.9g\t%s", k, c.operation.c_str(), c.input.c_str(), median, r,
                    !fn  ? "absent"
                    : ok ? "ok"
                         : "failed");
        if (peers) std::printf("\t%.6f", c.peer.empty() ? 0.0 : timeCommand(c.peer, runs));
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
