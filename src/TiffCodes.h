// The TIFF codes: the tags the reader's IFD walk acts on (a tag check
// returns the failing tag negated), the reader's codes (TiffReader.h), the
// operations' (TiffOps.h), and what each TIFF export's result means.
#pragma once

#include <cstdint>

#include "ResultCodes.h"

namespace tiff {

// Tags the IFD walk acts on.
enum Tag : std::uint16_t {
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kStripOffsets = 273,
    kRowsPerStrip = 278,
    kSamplesPerPixel = 277,
    kStripByteCounts = 279,
    kOrientation = 274,
    kPlanarConfiguration = 284,
    kTileWidth = 322,
    kTileOffsets = 324,
    kSampleFormat = 339,
};

// Codes for sources outside the dialect (the tag checks return the failing
// tag negated, see walkIfd in TiffReader.h). Every one is returned before
// any byte is written.
inline constexpr float kIfdOutsideHeader = -51.0f;   // the IFD or one of its entries lies past the end of the file
inline constexpr float kMissingEntry = -52.0f;       // no ImageWidth, ImageLength or StripOffsets entry
inline constexpr float kBitsOutsideHeader = -53.0f;  // the BitsPerSample array lies past the end of the file
// Files written by other programs in layouts the operations would misread.
inline constexpr float kNotTiff = -50.0f;            // neither "II" and 42 nor "MM" and 42 at the start
inline constexpr float kMixedDepths = -48.0f;        // the samples of a pixel have different depths
inline constexpr float kTiled = -47.0f;              // tiles rather than strips
inline constexpr float kPlanar = -46.0f;             // each sample in a plane of its own
inline constexpr float kMinIsWhite = -45.0f;         // grey map whose 0 is white
inline constexpr float kWrongSampleFormat = -44.0f;  // integers where floats are needed, or the other way
inline constexpr float kModeSamples = -43.0f;        // the map's samples a pixel differ from the mode's
inline constexpr float kTurnedRows = -42.0f;  // rows stored in another orientation than top row first, left to right
// The file cannot be opened for reading.
inline constexpr float kCannotOpen = -10.0f;

// The operations' codes beyond the reader's.
inline constexpr float kRowsPastEnd = -54.0f;          // the rows the operation reads do not fit in the file
inline constexpr float kTooLarge = -56.0f;             // dimensions do not fit the destination's header fields
inline constexpr float kPsdNeedsGrey = -57.0f;         // depth conversion: mode 3 with a PSD destination
inline constexpr float kHeaderLengthsDiffer = -58.0f;  // merge: the maps' StripOffsets differ
inline constexpr float kIoFailure = -60.0f;            // a read or write failed while the rows were processed
// Files that cannot be opened for writing or created.
inline constexpr float kCannotReopen = -101.0f;  // the (first) file cannot be opened for reading and writing
inline constexpr float kCannotCreate = -102.0f;  // the destination cannot be created, or is the source
// The merges' second map, B.
inline constexpr float kBCannotOpen = -20.0f;     // B cannot be opened for reading
inline constexpr float kBSizesDiffer = -30.0f;    // B has no IFD entries, or the widths or lengths differ
inline constexpr float kBSamplesDiffer = -40.0f;  // sample counts or depths differ
inline constexpr float kBCannotReopen = -201.0f;  // B cannot be opened for reading and writing, or is A

// What each TIFF export's result means.

// What every TIFF operation shares: opening, the header walk's refusals,
// the rows' transfer. BPS_CODE is -258, or +258 for the merges and the swap.
#define BRINDLEX_TIFF_WALK_ROWS(NAME, BUILDS, BPS_CODE)                                                              \
    results::code(NAME, kCannotOpen, "the TIFF cannot be opened", BUILDS),                                           \
        results::code(NAME, BPS_CODE, "the BitsPerSample count is not 1 or 3", BUILDS),                              \
        results::code(NAME, -static_cast<float>(kCompression), "the TIFF is compressed", BUILDS),                    \
        results::code(NAME, -static_cast<float>(kPhotometric), "the photometric interpretation is above 2", BUILDS), \
        results::code(NAME, -static_cast<float>(kStripOffsets), "several strips that are not one run of rows",       \
                      BUILDS),                                                                                       \
        results::code(NAME, -static_cast<float>(kSampleFormat),                                                      \
                      "the SampleFormat count is not 1 or 3, or the samples' formats differ", BUILDS),               \
        results::code(NAME, kNotTiff, "not a TIFF (no \"II\" or \"MM\" and 42 at the start)", BUILDS),               \
        results::code(NAME, kMixedDepths, "the samples of a pixel have different depths", BUILDS),                   \
        results::code(NAME, kTiled, "a tiled TIFF, which the library does not read", BUILDS),                        \
        results::code(NAME, kPlanar, "a planar TIFF (one plane a sample), which the library does not read", BUILDS), \
        results::code(NAME, kIfdOutsideHeader, "the IFD or an entry lies past the end of the file", BUILDS),         \
        results::code(NAME, kMissingEntry, "no ImageWidth, ImageLength or StripOffsets entry", BUILDS),              \
        results::code(NAME, kBitsOutsideHeader, "the BitsPerSample array lies past the end of the file", BUILDS),    \
        results::code(NAME, kRowsPastEnd, "the rows do not fit in the file", BUILDS),                                \
        results::code(NAME, kCannotReopen, "the TIFF cannot be opened for reading and writing", BUILDS),             \
        results::code(NAME, kIoFailure, "a read or write failed while the rows were processed", BUILDS)

// The checks of the operations that read the samples' values. SAMPLES
// names the kind of sample they need.
#define BRINDLEX_TIFF_SAMPLE_ROWS(NAME, BUILDS, SAMPLES)                                                       \
    results::code(NAME, kModeSamples, "the map's samples a pixel (1 grey, 3 RGB) are not the mode's", BUILDS), \
        results::code(NAME, kWrongSampleFormat, "the samples are not " SAMPLES " (SampleFormat)", BUILDS),     \
        results::code(NAME, kMinIsWhite, "a grey map whose 0 is white (photometric interpretation 0)", BUILDS)

// The conversions' own codes beyond the walk.
#define BRINDLEX_TIFF_CONVERSION_ROWS(NAME)                                                             \
    results::code(NAME, 0.0f, "the destination was written"),                                           \
        results::code(NAME, kTurnedRows, "the rows are stored turned or mirrored (Orientation not 1)"), \
        results::code(NAME, -32.0f, "the source is not 32 bits per sample"),                            \
        results::code(NAME, kTooLarge, "the map is too large for the destination's header"),            \
        results::code(NAME, kCannotCreate, "the destination cannot be created, or it is the source")

// The merges' codes beyond the walk.
#define BRINDLEX_TIFF_MERGE_ROWS(NAME, BUILDS)                                                                     \
    results::code(NAME, 0.0f, "map B was merged", BUILDS),                                                         \
        results::code(NAME, kBCannotOpen, "map B cannot be opened", BUILDS),                                       \
        results::code(NAME, kBSizesDiffer, "map B has no IFD entries, or the sizes differ", BUILDS),               \
        results::code(NAME, kBSamplesDiffer,                                                                       \
                      "the sample counts or depths differ, or 16- or 32-bit samples are in different byte orders", \
                      BUILDS),                                                                                     \
        results::code(NAME, kHeaderLengthsDiffer, "the maps' rows start at different offsets", BUILDS),            \
        results::code(NAME, kBCannotReopen, "map B cannot be opened for writing, or it is map A", BUILDS)

inline constexpr results::Row kTiffResults[] = {
    BRINDLEX_TIFF_WALK_ROWS("convertTIFF16", results::Builds::Both, -static_cast<float>(kBitsPerSample)),
    BRINDLEX_TIFF_CONVERSION_ROWS("convertTIFF16"),
    BRINDLEX_TIFF_SAMPLE_ROWS("convertTIFF16", results::Builds::Both, "floats"),
    results::code("convertTIFF16", kPsdNeedsGrey, "mode 3 with a PSD destination"),

    BRINDLEX_TIFF_WALK_ROWS("convertTIFFSingle", results::Builds::Both, -static_cast<float>(kBitsPerSample)),
    BRINDLEX_TIFF_CONVERSION_ROWS("convertTIFFSingle"),
    BRINDLEX_TIFF_SAMPLE_ROWS("convertTIFFSingle", results::Builds::Both, "floats"),
    results::code("convertTIFFSingle", -1.0f, "text or mem1 is null"),

    BRINDLEX_TIFF_WALK_ROWS("getScale", results::Builds::Both, -static_cast<float>(kBitsPerSample)),
    results::value("getScale", 0.0f, results::kNoLimit, "the scale factor"),
    results::code("getScale", -32.0f, "the map is not 32 bits per sample"),
    BRINDLEX_TIFF_SAMPLE_ROWS("getScale", results::Builds::Both, "floats"),

    BRINDLEX_TIFF_WALK_ROWS("getScale16", results::Builds::Windows, -static_cast<float>(kBitsPerSample)),
    results::value("getScale16", 0.0f, 65535.0f, "the span of the samples", results::Builds::Windows),
    results::code("getScale16", -16.0f, "the map is not 16 bits per sample", results::Builds::Windows),
    BRINDLEX_TIFF_SAMPLE_ROWS("getScale16", results::Builds::Windows, "unsigned integers"),

    BRINDLEX_TIFF_WALK_ROWS("mergeMapsTIF", results::Builds::Both, static_cast<float>(kBitsPerSample)),
    BRINDLEX_TIFF_MERGE_ROWS("mergeMapsTIF", results::Builds::Both),

    BRINDLEX_TIFF_WALK_ROWS("mergeMapsTIFHack", results::Builds::Windows, static_cast<float>(kBitsPerSample)),
    BRINDLEX_TIFF_MERGE_ROWS("mergeMapsTIFHack", results::Builds::Windows),
    results::code("mergeMapsTIFHack", kWrongSampleFormat,
                  "the 8- or 16-bit samples are not unsigned integers (SampleFormat)", results::Builds::Windows),

    BRINDLEX_TIFF_WALK_ROWS("swapRGBTIF", results::Builds::Both, static_cast<float>(kBitsPerSample)),
    results::code("swapRGBTIF", 0.0f, "done (only 8-bit RGB maps change)"),
};

#undef BRINDLEX_TIFF_WALK_ROWS
#undef BRINDLEX_TIFF_CONVERSION_ROWS
#undef BRINDLEX_TIFF_SAMPLE_ROWS
#undef BRINDLEX_TIFF_MERGE_ROWS

}  // namespace tiff
