// EXR maps: the value range through tinyexr, and through the OpenEXR
// library for the compressions tinyexr lacks (POSIX build only; the Windows
// replay has nothing to run).
#include "Brindlex.h"
#include "FuzzSupport.h"
#include "Platform.h"
#if !BRINDLEX_WINDOWS
#include "ExrRange.h"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#if !BRINDLEX_WINDOWS
    if (size > (1u << 20)) return 0;
    std::string map = fuzzInputFile(data, size, "in.exr");
    // Through the export's guard: tinyexr can throw (a length error from a
    // crafted header), which the export turns into a code.
    requireListed("OpenEXR", hostcall::guard([&] { return openExrRange(map.c_str()); }));
    // The library's reading of the same bytes whatever their compression,
    // so the compressions tinyexr reads exercise it too. It keeps every
    // exception of the library to itself.
    requireListed("OpenEXR", openExrLibraryRange(map.c_str()));
#else
    (void)data;
    (void)size;
#endif
    return 0;
}
