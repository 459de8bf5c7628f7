// The EXR range's codes, and what the OpenEXR export's result means (the
// range is in ExrRange.h).
#pragma once

#include "ResultCodes.h"

namespace exr {

// tinyexr's own codes, passed on unchanged, under names; the refusals made
// before either decoder runs use tinyexr's value for the same cause.
inline constexpr float kBadMagic = -1.0f;
inline constexpr float kBadVersion = -2.0f;
inline constexpr float kBadData = -4.0f;
inline constexpr float kRefused = -5.0f;  // refused before either decoder ran (tinyexr's "invalid file")
inline constexpr float kCannotOpen = -7.0f;
inline constexpr float kUnsupportedFormat = -8.0f;  // a compression neither decoder reads
inline constexpr float kBadHeader = -9.0f;          // the value of a refused argument too
inline constexpr float kUnsupported = -10.0f;       // multipart and deep files
// Codes of our own making.
inline constexpr float kNoPixels = -131070.0f;    // no sample counted: the start values' span, -65535 - 65535
inline constexpr float kLibraryFailed = -800.0f;  // the OpenEXR library could not decode the map

}  // namespace exr

// What the OpenEXR export's result means.
inline constexpr results::Row kExrResults[] = {
    results::value("OpenEXR", 0.0f, results::kNoLimit, "the span of the first channel", results::Builds::Mac),
    results::code("OpenEXR", exr::kBadMagic, "not an EXR file", results::Builds::Mac),
    results::code("OpenEXR", exr::kBadVersion, "an EXR version the decoder does not read", results::Builds::Mac),
    results::code("OpenEXR", exr::kBadData, "the decoder finds the data invalid or cut short", results::Builds::Mac),
    results::code("OpenEXR", exr::kRefused,
                  "the file is empty, too short, or its header would make a decoder stop or overreach",
                  results::Builds::Mac),
    results::code("OpenEXR", exr::kCannotOpen, "the file cannot be opened", results::Builds::Mac),
    results::code("OpenEXR", exr::kUnsupportedFormat, "a compression or layout neither decoder reads",
                  results::Builds::Mac),
    results::code("OpenEXR", exr::kBadHeader, "text is null, or the decoder finds the header incomplete",
                  results::Builds::Mac),
    results::code("OpenEXR", exr::kUnsupported, "a multipart or deep file", results::Builds::Mac),
    results::code("OpenEXR", exr::kNoPixels, "the image has no pixels, or only NaN samples", results::Builds::Mac),
    results::code("OpenEXR", exr::kLibraryFailed, "the OpenEXR library could not decode the map", results::Builds::Mac),
};
