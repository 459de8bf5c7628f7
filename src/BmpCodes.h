// The codes of the BMP operations and thumbnails, and what each BMP export's
// result means, with the PSD thumbnail's (the operations are in BmpOps.h).
#pragma once

#include "PsdCodes.h"
#include "ResultCodes.h"

namespace bmp {
inline constexpr float kNotBmp = -7.0f;  // no "BM", or shorter than the 38 header bytes
// The rows the header describes do not fit in the file (only the last
// row's padding may be missing).
inline constexpr float kShortData = -8.0f;
inline constexpr float kSizesDiffer = -30.0f;
inline constexpr float kLayoutDiffers = -40.0f;
inline constexpr float kNot24Bit = -41.0f;  // bits per pixel other than 24
// Compressed, an old 12-byte header, or rows said to start inside the header.
inline constexpr float kUnreadLayout = -42.0f;
inline constexpr float kSourceNotWritable = -101.0f;
inline constexpr float kTargetNotWritable = -201.0f;
inline constexpr float kCannotOpen = -1760.0f;
inline constexpr float kSourceCannotOpen = -1770.0f;
// Thumbnails.
inline constexpr float kThumbCannotOpen = -1.0f;
inline constexpr float kThumbNotBmp = -2.0f;
inline constexpr float kThumbNotPositive = -3.0f;  // width <= 0 or height 0
inline constexpr float kThumbCannotWrite = -5.0f;
inline constexpr float kThumbBadSize = -9.0f;
}  // namespace bmp

// What each BMP export's result means, and the PSD thumbnail's.
inline constexpr results::Row kBmpResults[] = {
    results::code("mergeMapsBMP", 0.0f, "the target was merged"),
    results::code("mergeMapsBMP", bmp::kNotBmp, "a file is not a BMP, or shorter than 38 bytes"),
    results::code("mergeMapsBMP", bmp::kShortData, "a file is shorter than its rows"),
    results::code("mergeMapsBMP", bmp::kSizesDiffer, "the widths or heights differ"),
    results::code("mergeMapsBMP", bmp::kLayoutDiffers, "the data offsets differ"),
    results::code("mergeMapsBMP", bmp::kNot24Bit, "a file is not a 24-bit BMP"),
    results::code("mergeMapsBMP", bmp::kUnreadLayout,
                  "a file is compressed, has the old 12-byte header, or its rows would start inside its header"),
    results::code("mergeMapsBMP", bmp::kSourceNotWritable, "the source cannot be opened for writing"),
    results::code("mergeMapsBMP", bmp::kTargetNotWritable,
                  "the target cannot be opened for writing or written, or it is the source"),
    results::code("mergeMapsBMP", bmp::kCannotOpen, "the target cannot be opened, or a block of a map cannot be read"),
    results::code("mergeMapsBMP", bmp::kSourceCannotOpen, "the source cannot be opened"),

    results::code("swapRGBBMP", 0.0f, "the channels were exchanged (mode 0: nothing written)"),
    results::code("swapRGBBMP", bmp::kNotBmp, "the map is not a BMP, or shorter than 38 bytes"),
    results::code("swapRGBBMP", bmp::kShortData, "the map is shorter than its rows"),
    results::code("swapRGBBMP", bmp::kNot24Bit, "the map is not a 24-bit BMP"),
    results::code("swapRGBBMP", bmp::kUnreadLayout,
                  "the map is compressed, has the old 12-byte header, or its rows would start inside its header"),
    results::code("swapRGBBMP", bmp::kSourceNotWritable, "the map cannot be opened for writing or written"),
    results::code("swapRGBBMP", bmp::kCannotOpen, "the map cannot be opened or read"),

    results::code("CreateThumbnailBMP", 0.0f, "the thumbnail replaced the map, or the map is already small enough"),
    results::code("CreateThumbnailBMP", bmp::kThumbBadSize, "text is null, or the size is below 1"),
    results::code("CreateThumbnailBMP", bmp::kThumbCannotOpen, "the map cannot be opened or read"),
    results::code("CreateThumbnailBMP", bmp::kThumbNotBmp, "the map is not a BMP, or shorter than 38 bytes"),
    results::code("CreateThumbnailBMP", bmp::kThumbNotPositive, "width not positive, or height 0"),
    results::code("CreateThumbnailBMP", bmp::kNot24Bit, "the map is not a 24-bit BMP"),
    results::code("CreateThumbnailBMP", bmp::kUnreadLayout,
                  "the map is compressed, has the old 12-byte header, or its rows would start inside its header"),
    results::code("CreateThumbnailBMP", bmp::kShortData, "the map is shorter than its rows"),
    results::code("CreateThumbnailBMP", bmp::kThumbCannotWrite, "the map cannot be opened for writing or written"),

    results::code("CreateThumbnail", 0.0f, "the thumbnail replaced the map", results::Builds::Windows),
    results::code("CreateThumbnail", bmp::kThumbBadSize, "text is null, or the size is below 1 or above 30000",
                  results::Builds::Windows),
    results::code("CreateThumbnail", psd::kBadSignature, "the map cannot be opened or read, or it is not a PSD",
                  results::Builds::Windows),
    results::code("CreateThumbnail", psd::kBadVersion, "the PSD version is not 1", results::Builds::Windows),
    results::code("CreateThumbnail", psd::kColourData, "the PSD has colour-mode data", results::Builds::Windows),
    results::code("CreateThumbnail", psd::kCompressed, "the image data is compressed", results::Builds::Windows),
    results::code("CreateThumbnail", psd::kShortData, "the planes do not fit in the file, or a side is 2^31 or more",
                  results::Builds::Windows),
    results::code("CreateThumbnail", psd::kShortHeader, "the header or its sections run past the end of the file",
                  results::Builds::Windows),
    results::code("CreateThumbnail", psd::kNotRgb8,
                  "not 8-bit RGB (other depths, CMYK, Lab, greyscale), or fewer than 3 channels",
                  results::Builds::Windows),
    results::code("CreateThumbnail", psd::kCannotWrite, "the map cannot be opened for writing or written",
                  results::Builds::Windows),
};
