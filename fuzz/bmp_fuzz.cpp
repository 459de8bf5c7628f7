// BMP maps: the JPEG encoder's stripe reader and the whole conversion, the
// merge (the input against itself and against a small valid map), the swap
// and the thumbnail, each on its own copy.
#include "BmpOps.h"
#include "FuzzSupport.h"
#include "JpegBmpInput.h"
#include "JpegKernels.h"
#include "JpegOps.h"
#include "fixtures/BmpBuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    std::string scratch = fuzzScratchDir();
    std::string map = fuzzInputFile(data, size, "in.bmp");

    int w = 0, h = 0;
    int l = 0;
    {
        BitmapStripes stripes;
        l = stripes.open(map.c_str(), w, h);
        for (unsigned y = 0; l == 0 && y < _height; y += 8) stripes.load(y);
    }
    if (l != 0 && l != jpegcode::kUnreadBmp && (l < 3 || l > 9)) __builtin_trap();
    // The encoder's work grows with the picture: only small ones are encoded.
    if (l == 0 && static_cast<long long>(w) * h <= 512 * 512) {
        std::string jpg = scratch + "out.jpg";
        float r = convertToJPEG(map.c_str(), jpg.c_str(), size ? data[0] % 200 + 1 : 50);
        requireListed("saveAsJpeg", r);
    }

    static const std::vector<std::uint8_t> valid = fixtures::makeBmp(fixtures::letterF());
    std::string other = fuzzInputFile(valid.data(), valid.size(), "valid.bmp");
    std::string copy = fuzzInputFile(data, size, "copy.bmp");
    requireListed("mergeMapsBMP", mergeBMP(map.c_str(), copy.c_str()));
    requireListed("mergeMapsBMP", mergeBMP(other.c_str(), map.c_str()));
    copy = fuzzInputFile(data, size, "copy.bmp");
    requireListed("mergeMapsBMP", mergeBMP(copy.c_str(), other.c_str()));
    requireListed("swapRGBBMP", swapChannelsBMP(map.c_str(), size > 1 ? data[1] % 4 : 1));

    copy = fuzzInputFile(data, size, "copy.bmp");
    requireListed("CreateThumbnailBMP", createBMPthumb(copy.c_str(), size > 2 ? data[2] % 64 + 1 : 8));

    fuzzCleanScratch();
    return 0;
}
