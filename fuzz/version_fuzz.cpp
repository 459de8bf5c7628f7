// The host version file.
#include "Brindlex.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = fuzzInputFile(data, size, "version.txt");
    float r = checkVersionFile(path.c_str());
    if (r != 0.0f && r != -1.0f) __builtin_trap();
    return 0;
}
