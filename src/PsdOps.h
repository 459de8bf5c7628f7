// PSD maps: the flat, uncompressed PSD dialect, readPSDHeader, the map merge,
// the channel swap, and the header the 16-bit depth conversion writes. The
// codes, and what each PSD map export's result means, are in PsdCodes.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "PsdCodes.h"

namespace fileio {
struct Bytes;
class FileWindow;
class NewFile;
}  // namespace fileio

// Decoded header of the last PSD file read, in host byte order.
struct PSDHeader {
    std::uint32_t signature = 0;  // the four bytes as read ("8BPS")
    std::uint16_t version = 0;
    std::uint16_t channels = 0;
    std::uint32_t rows = 0;
    std::uint32_t columns = 0;
    std::uint16_t depth = 0;
    std::uint16_t colourMode = 0;
    std::uint32_t colourDataLength = 0;
    std::uint32_t resourcesLength = 0;
    std::uint32_t layersLength = 0;
    std::uint16_t compression = 0;
};

// After a successful header read, the offset of the first image-data byte
// of the file read.
extern std::int32_t _offst;
// The header of the last file read.
extern PSDHeader _fHeader;

// Decodes the header of a whole file's bytes into _fHeader and sets _offst.
// 0, -1 (not "8BPS"), -2 (version not 1), -3 (colour-mode data), -4
// (compressed), or -8 when a field or section lies past the end of the file.
float readPSDHeader(const fileio::Bytes& file);
// The same for a file seen through a window (a field that cannot be read
// counts as missing).
float readPSDHeader(fileio::FileWindow& file);

// Ends a pass that wrote a PSD's new content: 0 when it replaced the
// original; -1 when a block could not be read (read false), -5 when a write
// or the commit failed, or a shared code of the commit's (the original
// stays in each case).
float finishPSDRewrite(fileio::NewFile& out, bool read);

// The 40-byte header of a 128 x 128 map of one 16-bit grey channel, with
// empty sections and no compression; the depth conversion patches the size.
std::vector<std::uint8_t> psd16Header();

// True when `planes` planes of rows x columns samples of `bytesPerSample`
// bytes, starting at offset, lie inside a buffer of `size` bytes.
bool psdPlanesFit(std::int64_t offset, std::uint32_t rows, std::uint32_t columns, int planes, int bytesPerSample,
                  std::size_t size);

// mergeMapsPSD: folds map a into map b (rewritten) over b's first pixel.
float mergePSD(const char* a, const char* b);
// swapRGBPSD: rewrites the colour planes of an 8-bit RGB map in the mode's
// order (1: R B G, 2: B R G, 3: G B R; 0 leaves the map alone).
float swapChannelsPSD(const char* path, int mode);
