// TIFF maps: the reader under every operation's rules, every TIFF
// operation (rewriting ones on copies), and the Targa copy.
#include "FuzzSupport.h"
#include "TargaOps.h"
#include "TiffOps.h"
#include "TiffReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    std::string map = fuzzInputFile(data, size, "in.tif");
    std::string scratch = fuzzScratchDir();

    // The header buffer sizes, whole-file rule and depth requirements the
    // operations use.
    static const tiff::WalkRules rules[] = {
        {32, false}, {16, false}, {8, true}, {0, false}, {0, true},
    };
    for (const auto& r : rules) {
        tiff::Directory dir;
        float code = tiff::readTiffHeader(map.c_str(), r, dir);
        if (code > 0.0f && code != 258.0f) __builtin_trap();
        if (code == 0.0f) {
            std::uint64_t len = 0;
            if (tiff::rowBytes(dir, dir.samples ? dir.samples : 1, 4, len)) tiff::rowsFit(dir, len);
            std::vector<std::uint8_t> header = tiff::float32Template();
            tiff::fitTemplate(dir, header);
            tiff::checkSamples(dir, dir.samples, tiff::kFloatSamples);
        }
    }

    std::string tga = scratch + "out.tga";
    requireListed("saveAsTarga", convertToTarga(map.c_str(), tga.c_str()));

    for (int mode : {1, 3, 4})
        requireListed("convertTIFF16", convertTiff(map.c_str(), (scratch + "out16.tif").c_str(), mode));
    requireListed("convertTIFF16", convertTiff(map.c_str(), (scratch + "out16.psd").c_str(), 1));
    requireListed("convertTIFFSingle", singleChannelTiff(map.c_str(), (scratch + "single.tif").c_str()));
    for (int samples : {1, 3}) {
        requireListed("getScale", getScaleTiff(map.c_str(), samples));
        requireListed("getScale16", getScale16Tiff(map.c_str(), samples));
    }
    // The merges with the input on both sides (B rewritten), and the swap.
    std::string copy = fuzzInputFile(data, size, "copy.tif");
    requireListed("mergeMapsTIF", mergeTiff(map.c_str(), copy.c_str()));
    requireListed("mergeMapsTIFHack", mergeTiffHack(copy.c_str(), map.c_str()));
    copy = fuzzInputFile(data, size, "copy.tif");
    requireListed("swapRGBTIF", swapChannels(copy.c_str(), size ? data[0] % 4 : 1));

    fuzzCleanScratch();
    return 0;
}
