// EXR maps: the value range through tinyexr (POSIX build only; the Windows
// replay has nothing to run).
#include "FuzzSupport.h"
#include "Platform.h"
#include "TiffOps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
#if !BRINDLEX_WINDOWS
    if (size > (1u << 20)) return 0;
    std::string map = fuzzInputFile(data, size, "in.exr");
    openExrRange(map.c_str());  // a range or a tinyexr code: any value
#else
    (void)data;
    (void)size;
#endif
    return 0;
}
