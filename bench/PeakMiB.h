// The process's peak resident memory so far, in MiB: the peak working set on
// Windows (under Wine, the process's resident peak), ru_maxrss elsewhere.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

inline double peakMiB() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return -1;
    return static_cast<double>(pmc.PeakWorkingSetSize) / 1048576.0;
#else
    struct rusage ru {};
    if (getrusage(RUSAGE_SELF, &ru) != 0) return -1;
#if defined(__APPLE__)
    return static_cast<double>(ru.ru_maxrss) / 1048576.0;  // bytes
#else
    return static_cast<double>(ru.ru_maxrss) / 1024.0;  // KiB
#endif
#endif
}
