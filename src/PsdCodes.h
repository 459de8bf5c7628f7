// The codes of the PSD readers: the PSD operations and the PSD thumbnail
// (BmpOps.h) return them; the PSD colour modes they take; and what each PSD
// map export's result means.
#pragma once

#include <cstdint>

#include "ResultCodes.h"

namespace psd {
inline constexpr float kBadSignature = -1.0f;
inline constexpr float kBadVersion = -2.0f;
inline constexpr float kColourData = -3.0f;
inline constexpr float kCompressed = -4.0f;
inline constexpr float kCannotWrite = -5.0f;
inline constexpr float kSizesDiffer = -6.0f;
// The image data is shorter than the header's planes need.
inline constexpr float kShortData = -7.0f;
// The header or its sections run past the end of the file.
inline constexpr float kShortHeader = -8.0f;
inline constexpr float kNotRgb8 = -56.0f;
// The colour modes the operations take: greyscale and RGB.
inline constexpr std::uint16_t kGreyMode = 1;
inline constexpr std::uint16_t kRgbMode = 3;
// Merge: the two maps' image data start at different offsets.
inline constexpr float kHeadersDiffer = -60.0f;
inline constexpr float kUnsupportedKind = 36.0f;
}  // namespace psd

// What each PSD map export's result means. The PSD thumbnail's rows are with
// the BMP rows (BmpCodes.h), as its worker is with the BMP operations.
#define BRINDLEX_PSD_HEADER_ROWS(NAME)                                                              \
    results::code(NAME, psd::kBadSignature, "a file cannot be opened or read, or it is not a PSD"), \
        results::code(NAME, psd::kBadVersion, "the PSD version is not 1"),                          \
        results::code(NAME, psd::kColourData, "the PSD has colour-mode data"),                      \
        results::code(NAME, psd::kCompressed, "the image data is compressed"),                      \
        results::code(NAME, psd::kShortData, "the image data is shorter than the planes need"),     \
        results::code(NAME, psd::kShortHeader, "the header or its sections run past the end of the file")

inline constexpr results::Row kPsdResults[] = {
    BRINDLEX_PSD_HEADER_ROWS("mergeMapsPSD"),
    results::code("mergeMapsPSD", 0.0f, "map B was merged"),
    results::code("mergeMapsPSD", psd::kCannotWrite, "map B cannot be opened for writing or written, or it is map A"),
    results::code("mergeMapsPSD", psd::kSizesDiffer, "the maps' rows or columns differ"),
    results::code("mergeMapsPSD", psd::kHeadersDiffer, "the maps' image data start at different offsets"),
    results::code("mergeMapsPSD", psd::kUnsupportedKind,
                  "map A is neither 16-bit grey nor 8-bit RGB, or map B is not of its kind"),

    BRINDLEX_PSD_HEADER_ROWS("swapRGBPSD"),
    results::code("swapRGBPSD", 0.0f, "the planes were rewritten (mode 0: left alone)"),
    results::code("swapRGBPSD", psd::kCannotWrite, "the map cannot be opened for writing or written"),
    results::code("swapRGBPSD", psd::kNotRgb8, "the map is not 8-bit RGB (other depths, CMYK, Lab, greyscale)"),
};

#undef BRINDLEX_PSD_HEADER_ROWS
