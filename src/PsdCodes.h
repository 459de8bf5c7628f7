// The codes of the PSD readers: the PSD operations and the PSD thumbnail
// (BmpOps.h) return them, and the PSD colour modes they take.
#pragma once

#include <cstdint>

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
