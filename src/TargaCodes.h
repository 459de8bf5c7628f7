// The Targa conversion's codes beyond the TIFF ones, and what saveAsTarga's
// result means (the conversion is in TargaOps.h).
#pragma once

#include "ResultCodes.h"
#include "TiffCodes.h"

namespace targa {
// Codes of the conversion besides the TIFF reader's (its rows below).
inline constexpr float kCannotCreate = -5.0f;  // the Targa file cannot be created
}  // namespace targa

// What saveAsTarga's result means.
inline constexpr results::Row kTargaResults[] = {
    results::code("saveAsTarga", 0.0f, "the Targa file was written"),
    results::code("saveAsTarga", tiff::kCannotOpen, "the TIFF cannot be opened"),
    results::code("saveAsTarga", static_cast<float>(tiff::kBitsPerSample), "the BitsPerSample count is not 1 or 3"),
    results::code("saveAsTarga", -static_cast<float>(tiff::kCompression), "the TIFF is compressed"),
    results::code("saveAsTarga", -static_cast<float>(tiff::kPhotometric), "the photometric interpretation is above 2"),
    results::code("saveAsTarga", -static_cast<float>(tiff::kStripOffsets),
                  "several strips that are not one run of rows"),
    results::code("saveAsTarga", -static_cast<float>(tiff::kSampleFormat),
                  "the SampleFormat count is not 1 or 3, or the samples' formats differ"),
    results::code("saveAsTarga", -8.0f, "the map is not 8 bits per sample"),
    results::code("saveAsTarga", tiff::kNotTiff, "not a TIFF (no \"II\" or \"MM\" and 42 at the start)"),
    results::code("saveAsTarga", tiff::kMixedDepths, "the samples of a pixel have different depths"),
    results::code("saveAsTarga", tiff::kTiled, "a tiled TIFF, which the library does not read"),
    results::code("saveAsTarga", tiff::kPlanar, "a planar TIFF (one plane a sample), which the library does not read"),
    results::code("saveAsTarga", tiff::kWrongSampleFormat, "the samples are not unsigned integers (SampleFormat)"),
    results::code("saveAsTarga", tiff::kTurnedRows, "the rows are stored turned or mirrored (Orientation not 1)"),
    results::code("saveAsTarga", tiff::kMinIsWhite, "a grey map whose 0 is white (photometric interpretation 0)"),
    results::code("saveAsTarga", tiff::kIfdOutsideHeader, "the IFD or an entry lies past the end of the file"),
    results::code("saveAsTarga", tiff::kMissingEntry, "no ImageWidth, ImageLength or StripOffsets entry"),
    results::code("saveAsTarga", tiff::kBitsOutsideHeader, "the BitsPerSample array lies past the end of the file"),
    results::code("saveAsTarga", tiff::kRowsPastEnd, "the file is shorter than its rows"),
    results::code("saveAsTarga", tiff::kTooLarge, "width or height above 65535"),
    results::code("saveAsTarga", targa::kCannotCreate, "the Targa file cannot be created, or it is the TIFF"),
    results::code("saveAsTarga", tiff::kCannotReopen, "the TIFF cannot be opened for reading and writing"),
    results::code("saveAsTarga", tiff::kIoFailure, "a read or write failed while the rows were copied"),
};
