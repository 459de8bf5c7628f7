// The export table's shared pieces: the host call signature, the export
// macro, argument decoding, result delivery and the exception guard (the
// library-wide codes and the mem1 writer are in HostCall.h, the small
// exports' codes and rows in SmallCodes.h).
#pragma once

#include <initializer_list>
#include <new>
#include <optional>
#include <string>

#include "HostCall.h"
#include "Platform.h"
#include "SmallCodes.h"

// Every export has the host call signature.
#define BRINDLEX_HOST_ARGS char *text, double value, char *mem1, int mem1Size, char *mem2, int mem2Size, char **zData

// Exports keep C names. The Windows build's table comes from Brindlex.def;
// the POSIX build hides everything else (-fvisibility=hidden).
#if BRINDLEX_WINDOWS
#define BRINDLEX_EXPORT extern "C"
#define BRINDLEX_CPP_EXPORT
#else
#define BRINDLEX_EXPORT extern "C" __attribute__((visibility("default")))
#define BRINDLEX_CPP_EXPORT __attribute__((visibility("default")))
#endif

namespace hostcall {

// value truncated toward zero and saturated to the int range; NaN gives 0.
int truncInt(double value);
// Naming mode: truncated, then clamped to 0..3 (NaN gives 0).
int clampMode(double value);
// Swap mode: accepted only when 0 < value < 4, then truncated (0.5 gives 0).
bool strictMode(double value, int& mode);
// JPEG quantisation scale: truncated when 0 <= value <= 100, else 50.
int jpegScale(double value);
// Listing mode: the truncated value when that is 1, 2 or 3, else 3.
int listMode(double value);
// True when value is exactly one of the given whole numbers.
bool isOneOf(double value, std::initializer_list<int> accepted);

// A worker's result with an optional string for mem1. When the string does
// not fit, the export returns kMem1TooSmall instead and mem1 keeps its bytes.
float deliver(float result, const std::optional<std::string>& out, char* mem1, int mem1Size);

// Runs work and keeps every exception inside the library.
template <class Work>
float guard(Work&& work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kInternalFailure;
    }
}

}  // namespace hostcall

// Host version check: 0, -1 (marks found) or -17 (cannot open).
float checkVersionFile(const char* path);

#if !BRINDLEX_WINDOWS
// The two trivial classes of the POSIX (macOS) build.
class BRINDLEX_CPP_EXPORT Brindlex {
public:
    void HelloWorld(const char* s);
};

class BrindlexPriv {
public:
    void HelloWorldPriv(const char* s);
};

BRINDLEX_CPP_EXPORT char* get_substr(char* s, int n);
#endif
