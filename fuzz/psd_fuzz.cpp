// PSD maps: the merge (the input against itself and against a small valid
// map both ways), the swap and the thumbnail, each on its own copy.
#include "BmpOps.h"
#include "FuzzSupport.h"
#include "PsdOps.h"
#include "fixtures/PsdBuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    static const std::vector<std::uint8_t> valid = fixtures::makePsdRgb(fixtures::letterF());
    std::string map = fuzzInputFile(data, size, "in.psd");
    std::string other = fuzzInputFile(valid.data(), valid.size(), "valid.psd");
    std::string copy = fuzzInputFile(data, size, "copy.psd");

    requireListed("mergeMapsPSD", mergePSD(map.c_str(), copy.c_str()));
    requireListed("mergeMapsPSD", mergePSD(other.c_str(), map.c_str()));
    copy = fuzzInputFile(data, size, "copy.psd");
    requireListed("mergeMapsPSD", mergePSD(copy.c_str(), other.c_str()));
    requireListed("swapRGBPSD", swapChannelsPSD(map.c_str(), size ? data[0] % 4 : 1));

    copy = fuzzInputFile(data, size, "copy.psd");
    requireListed("CreateThumbnail", createThumb(copy.c_str(), size > 1 ? data[1] % 64 + 1 : 8));

    fuzzCleanScratch();
    return 0;
}
