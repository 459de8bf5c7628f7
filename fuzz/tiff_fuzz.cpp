// TIFF maps: the reader under every operation's rules, and the Targa copy.
#include "FuzzSupport.h"
#include "TargaOps.h"
#include "TiffOps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    std::string map = fuzzInputFile(data, size, "in.tif");
    std::string scratch = fuzzScratchDir();

    // The header buffer sizes, whole-file rule and depth requirements the
    // operations use.
    static const tiff::WalkRules rules[] = {
        {250, 32, false, true}, {1000, 16, false, true}, {1000, 8, true, true},
        {0, 0, false, false},   {1000, 0, true, false},
    };
    for (const auto &r : rules) {
        tiff::Directory dir;
        float code = tiff::readTiffHeader(map.c_str(), r, dir);
        if (code > 0.0f && code != 258.0f) __builtin_trap();
        if (code == 0.0f) {
            std::uint64_t len = 0;
            if (tiff::rowBytes(dir, dir.samples ? dir.samples : 1, 4, len)) tiff::rowsFit(dir, len);
            std::vector<std::uint8_t> header = tiff::float32Template();
            if (tiff::checkPatchable(dir) == 0.0f) tiff::applyPatch(dir, header);
        }
    }

    std::string tga = scratch + "out.tga";
    float t = convertToTarga(map.c_str(), tga.c_str());
    if (t > 0.0f && t != 258.0f) __builtin_trap();

    fuzzCleanScratch();
    return 0;
}
