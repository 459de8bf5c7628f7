// BMP maps: the JPEG encoder's stripe reader and the whole conversion, the
// merge (the input against itself and against a small valid map), the swap
// and the thumbnail, each on its own copy.
#include "BmpOps.h"
#include "FuzzSupport.h"
#include "JpegBmpInput.h"
#include "JpegKernels.h"
#include "JpegOps.h"
#include "fixtures/BmpBuilder.h"

namespace {

bool mapCode(float r) {
    return r == 0.0f || r == bmp::kNotBmp || r == bmp::kShortData || r == bmp::kSizesDiffer ||
           r == bmp::kLayoutDiffers || r == bmp::kNot24Bit || r == bmp::kUnreadLayout || r == bmp::kSourceNotWritable ||
           r == bmp::kTargetNotWritable || r == bmp::kCannotOpen || r == bmp::kSourceCannotOpen;
}

}  // namespace

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
        if (r < 0.0f || r > static_cast<float>(jpegcode::kUnreadBmp)) __builtin_trap();
    }

    static const std::vector<std::uint8_t> valid = fixtures::makeBmp(fixtures::letterF());
    std::string other = fuzzInputFile(valid.data(), valid.size(), "valid.bmp");
    std::string copy = fuzzInputFile(data, size, "copy.bmp");
    if (!mapCode(mergeBMP(map.c_str(), copy.c_str()))) __builtin_trap();
    if (!mapCode(mergeBMP(other.c_str(), map.c_str()))) __builtin_trap();
    copy = fuzzInputFile(data, size, "copy.bmp");
    if (!mapCode(mergeBMP(copy.c_str(), other.c_str()))) __builtin_trap();
    if (!mapCode(swapChannelsBMP(map.c_str(), size > 1 ? data[1] % 4 : 1))) __builtin_trap();

    copy = fuzzInputFile(data, size, "copy.bmp");
    float t = createBMPthumb(copy.c_str(), size > 2 ? data[2] % 64 + 1 : 8);
    if (t > 0.0f) __builtin_trap();

    fuzzCleanScratch();
    return 0;
}
