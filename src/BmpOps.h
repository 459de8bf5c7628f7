// BMP maps: the 24-bit BMP subset, the map merge, the channel swap, and the
// two thumbnails (BMP and PSD). The BMP codes, and what each BMP export's
// result means, are in BmpCodes.h; the PSD thumbnail returns the PSD codes.
#pragma once

#include <cstdint>

#include "BmpCodes.h"
#include "PsdCodes.h"

namespace fileio {
struct Bytes;
}

// The header fields the BMP operations use.
struct BMPHeader {
    char signature[2] = {0, 0};
    std::uint32_t fileSize = 0;      // offset 2
    std::uint32_t dataOffset = 0;    // offset 10: where row 0 begins
    std::uint32_t headerSize = 0;    // offset 14: 40, or a later header's 52 to 124
    std::int32_t width = 0;          // offset 18
    std::int32_t height = 0;         // offset 22; negative for rows stored top-down
    std::uint16_t bitsPerPixel = 0;  // offset 28; the operations take 24 only
    std::uint32_t compression = 0;   // offset 30; the operations take 0 (none) only
    std::uint32_t imageSize = 0;     // offset 34
    std::int32_t rowStride = 0;      // 3 * width + getPadding(width), 32-bit
};

// The header last read by readBMPHeader.
extern BMPHeader _bmpHdr;

namespace bmp {
// Largest PSD thumbnail side (the PSD version-1 limit).
inline constexpr int kMaxPsdThumb = 30000;
}  // namespace bmp

// Row padding of a w-pixel row, computed in single precision as the host
// does: r = trunc(fmodf(3.0f * w, 4.0f)), padding 4 - r for r in 1..3, else 0.
int getPadding(int width);

// Parses the header of a whole file's bytes into _bmpHdr: 0, or -7 when
// they do not begin with "BM" or are fewer than 38.
float readBMPHeader(const fileio::Bytes& file);

// Whether uncompressed rows follow an information header of 40 bytes or
// more (the later 52- to 124-byte headers begin like it): the layout every
// reader of BMP rows here takes, the JPEG encoder's too.
bool rowsAfterHeader(std::uint32_t headerSize, std::uint32_t compression, std::uint32_t dataOffset);

// 0 when the header describes rows the BMP operations read: 24 bits a
// pixel and rowsAfterHeader. Otherwise bmp::kNot24Bit or bmp::kUnreadLayout.
float layoutCode(const BMPHeader& h);

// mergeMapsBMP: where target shows the source's first pixel, it takes the
// source's pixel. The source is not modified.
float mergeBMP(const char* sourcePath, const char* targetPath);
// swapRGBBMP: exchanges blue/green (1), blue/red (2) or green/red (3).
float swapChannelsBMP(const char* path, int mode);

// CreateThumbnailBMP: replaces the BMP by its thumbnail, longer side size.
float createBMPthumb(const char* path, int size);
// CreateThumbnail: replaces the PSD by a size x size thumbnail on black.
float createThumb(const char* path, int size);
