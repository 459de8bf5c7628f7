#include "Bench.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {
std::string callList;  // set by listCallsTo
double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
double statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    double kib = -1;
    while (in >> key) {
        if (key == std::string(field) + ":") {
            in >> kib;
            return kib;
        }
        std::getline(in, key);
    }
    return -1;
}

// Starts a new peak at what the process holds now (the high-water mark
// is reset to the current resident size); returns that size in KiB.
double restartPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return statusKiB("VmRSS");
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
}  // namespace

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool haveTool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

bool copyFile(const std::string& from, const std::string& to) {
    std::error_code ec;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
}

void listCallsTo(const std::string& file) {
    callList = file;
    std::ofstream(callList, std::ios::trunc);
}

bool listingCalls() { return !callList.empty(); }

void listCall(const ExportCall& c) {
    char value[32];
    std::snprintf(value, sizeof value, "%.17g", c.value);
    std::ofstream(callList, std::ios::app) << c.operation << '\t' << c.input << '\t' << c.name << '\t' << c.text << '\t'
                                           << value << '\t' << c.mem1 << '\t' << c.freshFrom << '\t' << c.freshTo
                                           << '\t' << c.expect << '\t' << c.peer << '\t' << (c.oneCore ? 1 : 0) << '\n';
}

namespace {

// Times steps in a child process, taking turns within each run (in
// reverse order every other run): the median of each step, then how far
// the runs raised the peak (MiB). settle flushes the file systems before
// each timed step. A failed run gives -1 for all.
std::vector<double> timeStepsInChild(const std::string& libPath, const std::vector<const BenchStep*>& steps, int runs,
                                     bool settle) {
    const std::size_t n = steps.size();
    // BENCH_TRACE set: each timed step's seconds to stderr, run 0 the warm-up.
    static const bool trace = std::getenv("BENCH_TRACE") != nullptr;
    std::vector<double> result(n + 1, -1.0);
    int fds[2];
    if (pipe(fds) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (steps[0]->oneCore) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(sched_getcpu(), &one);
            sched_setaffinity(0, sizeof one, &one);
        }
        HostLibrary lib;
        std::string err;
        if (lib.load(libPath, err)) {
            // The child starts with the parent's pages; only what the runs add counts.
            const double base = restartPeak();
            std::vector<std::vector<double>> times(n);
            bool ok = true;
            for (int i = 0; i <= runs && ok; ++i) {  // run 0 warms up
                for (std::size_t k = 0; k < n && ok; ++k) {
                    // Odd runs take the steps in reverse order, so that a
                    // disk that speeds up or slows down during the runs
                    // favours neither.
                    const std::size_t s = i % 2 ? n - 1 - k : k;
                    if (steps[s]->prepare) steps[s]->prepare();
                    if (settle) ::sync();
                    double t0 = now();
                    ok = steps[s]->run(lib);
                    double t = now() - t0;
                    if (i > 0) times[s].push_back(t);
                    if (trace) std::fprintf(stderr, "run %d step %zu: %.3f s\n", i, s, t);
                }
            }
            for (std::size_t s = 0; s < n && ok; ++s) result[s] = median(times[s]);
            result[n] = (statusKiB("VmHWM") - base) / 1024.0;
        }
        ssize_t w = write(fds[1], result.data(), result.size() * sizeof(double));
        (void)w;
        _exit(0);
    }
    close(fds[1]);
    std::vector<double> got(n + 1, -1.0);
    const ssize_t want = static_cast<ssize_t>(got.size() * sizeof(double));
    if (read(fds[0], got.data(), static_cast<std::size_t>(want)) != want) got.assign(n + 1, -1.0);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got;
}

}  // namespace

bool timeInChild(const std::string& libPath, const BenchStep& step, int runs, double& med, double& peakMiB) {
    if (listingCalls()) {
        med = peakMiB = 0;
        return true;
    }
    const std::vector<double> r = timeStepsInChild(libPath, {&step}, runs, false);
    med = r[0];
    peakMiB = r[1];
    return med >= 0;
}

bool timePairInChild(const std::string& libPath, const BenchStep& a, const BenchStep& b, int runs, double& medianA,
                     double& medianB) {
    if (listingCalls()) {
        medianA = medianB = 0;
        return true;
    }
    const std::vector<double> r = timeStepsInChild(libPath, {&a, &b}, runs, true);
    medianA = r[0];
    medianB = r[1];
    return medianA >= 0 && medianB >= 0;
}

double timeCommand(const std::string& command, int runs) {
    if (listingCalls()) return 0;
    std::vector<double> times;
    for (int i = 0; i <= runs; ++i) {
        double t0 = now();
        int rc = std::system(command.c_str());
        double t = now() - t0;
        if (rc != 0) return -1;
        if (i > 0) times.push_back(t);
    }
    return median(times);
}
