// The JPEG conversion's codes, and what saveAsJpeg's result means (the
// conversion is in JpegOps.h).
#pragma once

#include "ResultCodes.h"

// Result codes of convertToJPEG. 1 to 7 are the encoder's own; 8 to 10
// cover what the encoder leaves open (output, unusual pictures, write
// failures).
namespace jpegcode {
inline constexpr int kOk = 0;
inline constexpr int kNoCategoryTable = 1;
inline constexpr int kNoBitcodeTable = 2;
inline constexpr int kCannotOpenBmp = 3;
inline constexpr int kShortHeader = 4;
inline constexpr int kNotBmp24 = 5;
inline constexpr int kNoPictureBuffer = 6;
inline constexpr int kNoRowBuffer = 7;
inline constexpr int kCannotCreateOutput = 8;
inline constexpr int kUnsupportedSize = 9;  // width or height 0, or above 65528
inline constexpr int kWriteFailed = 10;     // the output could not be written completely
// Compressed, an old 12-byte header, or rows said to start inside the header.
inline constexpr int kUnreadBmp = 11;
}  // namespace jpegcode

// What saveAsJpeg's result means: its failures are positive.
inline constexpr results::Row kJpegResults[] = {
    results::code("saveAsJpeg", jpegcode::kOk, "the JPEG file was written"),
    results::code("saveAsJpeg", jpegcode::kNoCategoryTable, "a coding table could not be allocated"),
    results::code("saveAsJpeg", jpegcode::kNoBitcodeTable, "a coding table could not be allocated"),
    results::code("saveAsJpeg", jpegcode::kCannotOpenBmp, "the BMP cannot be opened"),
    results::code("saveAsJpeg", jpegcode::kShortHeader, "the BMP is shorter than 54 bytes"),
    results::code("saveAsJpeg", jpegcode::kNotBmp24, "not a 24-bit BMP"),
    results::code("saveAsJpeg", jpegcode::kNoPictureBuffer,
                  "the picture buffer could not be allocated, or the BMP is far shorter than its header says"),
    results::code("saveAsJpeg", jpegcode::kNoRowBuffer, "the row buffer could not be allocated"),
    results::code("saveAsJpeg", jpegcode::kCannotCreateOutput, "the JPEG file cannot be created, or it is the BMP"),
    results::code("saveAsJpeg", jpegcode::kUnsupportedSize, "width or height 0 or above 65528"),
    results::code("saveAsJpeg", jpegcode::kUnreadBmp,
                  "the BMP is compressed, has the old 12-byte header, or its rows would start inside its header"),
    results::code("saveAsJpeg", jpegcode::kWriteFailed, "the JPEG file could not be written completely"),
};
