#include "Platform.h"

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

unsigned usableCores() {
#if defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        unsigned n = 0;
        for (; process != 0; process &= process - 1) ++n;
        return n;
    }
#elif defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}
