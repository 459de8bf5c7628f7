// Build-wide facts that modules may branch on without preprocessor tests,
// and the processor checks behind the SIMD paths.
#pragma once

#include <initializer_list>

#if defined(_WIN32)
#define BRINDLEX_WINDOWS 1
#else
#define BRINDLEX_WINDOWS 0
#endif

// True in the Windows build; the POSIX build has the macOS behaviour.
inline constexpr bool kWindowsBuild = BRINDLEX_WINDOWS != 0;

// 1 where the x86 SIMD intrinsics can be compiled: x86 with GCC, clang or
// mingw-w64. Every processor such a build runs on has SSE2; SSSE3 and AVX2
// code is compiled for its own target and run only where cpuHas* says so.
// 0 elsewhere (arm64, aarch64): no x86 header is included and only the
// portable paths exist.
#if defined(__GNUC__) && defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#define BRINDLEX_X86_SIMD 1
#else
#define BRINDLEX_X86_SIMD 0
#endif

// Whether the running processor has SSSE3 or AVX2: asked on first use and
// kept; false where the build has no x86 paths.
inline bool cpuHasSsse3() {
#if BRINDLEX_X86_SIMD
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3") != 0);
    return has;
#else
    return false;
#endif
}

inline bool cpuHasAvx2() {
#if BRINDLEX_X86_SIMD
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return has;
#else
    return false;
#endif
}

// The processors the calling thread may run on: those its affinity mask
// allows (Linux, Windows), else the machine's count; at least 1. Asked anew
// on every call, as the host may narrow the mask at any time.
unsigned usableCores();

// The code paths of an operation with SIMD variants, by number. Each such
// operation has a portable path, compiled on every target and giving the
// same results bit for bit, and some of the others. Its `...With(path, ...)`
// runs one path by number and returns false when this build or processor
// lacks it; its hot path runs the widest one there is, chosen once.
namespace simd {

inline constexpr int kPortable = 0;
inline constexpr int kSse2 = 1;
inline constexpr int kAvx2 = 2;
inline constexpr int kSsse3 = 3;

// The widest path every processor this build runs on has.
inline constexpr int kBaseline = BRINDLEX_X86_SIMD ? kSse2 : kPortable;

// Whether this build and processor can run path.
inline bool available(int path) {
    switch (path) {
        case kPortable:
            return true;
        case kSse2:
            return BRINDLEX_X86_SIMD != 0;
        case kSsse3:
            return cpuHasSsse3();
        case kAvx2:
            return cpuHasAvx2();
        default:
            return false;
    }
}

// The first of `preference` that pathOf gives (pathOf returns null for a
// path this build or processor lacks).
template <class Fn>
Fn first(Fn (*pathOf)(int), std::initializer_list<int> preference) {
    for (int path : preference)
        if (Fn f = pathOf(path)) return f;
    return nullptr;
}

}  // namespace simd
