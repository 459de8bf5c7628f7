// BMP maps: the 24-bit BMP subset, the map merge, the channel swap, and the
// two thumbnails (BMP and PSD).
#pragma once

#include <cstdint>
#include <vector>

// The header fields the BMP operations use, from the file most recently
// parsed.
struct BMPHeader {
    char signature[2] = {0, 0};
    std::uint32_t fileSize = 0;    // offset 2
    std::uint32_t dataOffset = 0;  // offset 10: where row 0 begins
    std::int32_t width = 0;        // offset 18
    std::int32_t height = 0;       // offset 22; rows exist only when > 0
    std::uint16_t bitsPerPixel = 0;  // offset 28; pixels are read as 3 bytes whatever it says
    std::uint32_t imageSize = 0;     // offset 34
    std::int32_t rowStride = 0;      // 3 * width + getPadding(width), 32-bit
};

// The bytes of the BMP file being worked on; empty between calls.
extern std::vector<std::uint8_t> _bmpV;
extern BMPHeader _bmpHdr;

namespace bmp {
inline constexpr float kNotBmp = -7.0f;  // no "BM", or shorter than the 38 header bytes
// The rows the header describes do not fit in the file (only the last
// row's padding may be missing).
inline constexpr float kShortData = -8.0f;
inline constexpr float kSizesDiffer = -30.0f;
inline constexpr float kLayoutDiffers = -40.0f;
inline constexpr float kSourceNotWritable = -101.0f;
inline constexpr float kTargetNotWritable = -201.0f;
inline constexpr float kCannotOpen = -1760.0f;
inline constexpr float kSourceCannotOpen = -1770.0f;
// Thumbnails.
inline constexpr float kThumbCannotOpen = -1.0f;
inline constexpr float kThumbNotBmp = -2.0f;
inline constexpr float kThumbNotPositive = -3.0f;  // width or height <= 0
inline constexpr float kThumbCannotWrite = -5.0f;
inline constexpr float kThumbBadSize = -9.0f;
// Largest PSD thumbnail side (the PSD version-1 limit).
inline constexpr int kMaxPsdThumb = 30000;
}  // namespace bmp

// Row padding of a w-pixel row, computed in single precision as the host
// does: r = trunc(fmodf(3.0f * w, 4.0f)), padding 4 - r for r in 1..3, else 0.
int getPadding(int width);

// Little-endian accessors on _bmpV. Reads past the end give 0 and writes
// past it do nothing.
std::int32_t readSigned(std::int64_t offset);
std::uint32_t readUnsigned(std::int64_t offset);
int readShortInt(std::int64_t offset);
void writeSignedInt(std::int64_t offset, std::int32_t value);
void writeUnsignedInt(std::int64_t offset, std::uint32_t value);
void writeShortInt(std::int64_t offset, int value);

// Loads the whole file into _bmpV; false when it cannot be opened or read.
bool loadBMPFile(const char* path);
// Parses _bmpV into _bmpHdr: 0, or -7 when it does not begin with "BM" or
// holds fewer than 38 bytes.
float readBMPHeader();

// mergeMapsBMP: where target shows the source's first pixel, it takes the
// source's pixel. The source is not modified.
float mergeBMP(const char* sourcePath, const char* targetPath);
// swapRGBBMP: exchanges blue/green (1), blue/red (2) or green/red (3).
float swapChannelsBMP(const char* path, int mode);

// CreateThumbnailBMP: replaces the BMP by its thumbnail, longer side size.
float createBMPthumb(const char* path, int size);
// CreateThumbnail: replaces the PSD by a size x size thumbnail on black.
float createThumb(const char* path, int size);
