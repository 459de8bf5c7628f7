// TIFF maps: the dialect the host writes (little-endian, uncompressed, one
// strip, interleaved samples), its reader and header templates, and the
// operations on such maps: depth conversion, value range queries, merge,
// channel swap and single channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "FileAccess.h"
#include "ResultCodes.h"

namespace tiff {

// ---------------------------------------------------------------------------
// The reader.

// Tags the walk acts on.
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

// SampleFormat values.
inline constexpr int kUnsignedSamples = 1;
inline constexpr int kFloatSamples = 3;

// Codes for sources outside the dialect (the tag checks return the failing
// tag negated, see walkIfd). Every one is returned before any byte is written.
inline constexpr float kIfdOutsideHeader = -51.0f;     // the IFD or one of its entries lies past the end of the file
inline constexpr float kMissingEntry = -52.0f;         // no ImageWidth, ImageLength or StripOffsets entry
inline constexpr float kBitsOutsideHeader = -53.0f;    // the BitsPerSample array lies past the end of the file
inline constexpr float kRowsPastEnd = -54.0f;          // the rows the operation reads do not fit in the file
inline constexpr float kTooLarge = -56.0f;             // dimensions do not fit the destination's header fields
inline constexpr float kPsdNeedsGrey = -57.0f;         // depth conversion: mode 3 with a PSD destination
inline constexpr float kHeaderLengthsDiffer = -58.0f;  // merge: the maps' StripOffsets differ
inline constexpr float kIoFailure = -60.0f;            // a read or write failed while the rows were processed
// Files written by other programs in layouts the operations would misread.
inline constexpr float kNotTiff = -50.0f;         // neither "II" and 42 nor "MM" and 42 at the start
inline constexpr float kMixedDepths = -48.0f;     // the samples of a pixel have different depths
inline constexpr float kTiled = -47.0f;           // tiles rather than strips
inline constexpr float kPlanar = -46.0f;          // each sample in a plane of its own
inline constexpr float kMinIsWhite = -45.0f;      // grey map whose 0 is white
inline constexpr float kWrongSampleFormat = -44.0f;  // integers where floats are needed, or the other way
inline constexpr float kModeSamples = -43.0f;     // the map's samples a pixel differ from the mode's
inline constexpr float kTurnedRows = -42.0f;      // rows stored in another orientation than top row first, left to right

// Files that cannot be opened or created.
inline constexpr float kCannotOpen = -10.0f;                // the (first) file cannot be opened for reading
inline constexpr float kCannotReopen = -101.0f;             // the (first) file cannot be opened for reading and writing
inline constexpr float kCannotCreate = -102.0f;             // the destination cannot be created, or is the source
// The merges' second map, B.
inline constexpr float kBCannotOpen = -20.0f;     // B cannot be opened for reading
inline constexpr float kBSizesDiffer = -30.0f;    // B has no IFD entries, or the widths or lengths differ
inline constexpr float kBSamplesDiffer = -40.0f;  // sample counts or depths differ
inline constexpr float kBCannotReopen = -201.0f;  // B cannot be opened for reading and writing, or is A

// The per-operation points of the one IFD walk.
struct WalkRules {
    // Bits per sample the operation requires (its negation is the code);
    // 0 accepts any depth.
    int requiredBits = 0;
    // A bad BitsPerSample count gives +258 instead of -258.
    bool positiveBpsCode = false;
};

// What the walk of the first IFD picked up.
struct Directory {
    std::uint32_t ifdOffset = 0;
    int entryCount = 0;  // the signed 16-bit count; below 1 nothing was examined
    std::uint32_t width = 0;
    std::uint32_t length = 0;
    std::uint32_t samples = 0;  // the BitsPerSample count (1 or 3), 0 without the entry
    std::uint32_t bits = 0;
    std::uint32_t stripOffset = 0;  // of the first strip
    std::uint32_t strips = 0;       // the StripOffsets count
    std::uint16_t stripType = 0;    // its field type (3 SHORT, 4 LONG)
    std::uint32_t rowsPerStrip = 0;
    // PhotometricInterpretation, -1 without the entry.
    std::int32_t photometric = -1;
    // SampleFormat of every sample, 0 without the entry (unsigned integers).
    int sampleFormat = 0;
    std::uint32_t orientation = 1;  // Orientation: 1 top row first, left to right
    std::uint32_t planar = 1;  // PlanarConfiguration
    bool tiled = false;        // a TileWidth or TileOffsets entry
    bool bigEndian = false;    // "MM": numbers and samples most significant byte first
    // Entry index of each tag, -1 when the IFD has none.
    int widthIndex = -1;
    int lengthIndex = -1;
    int stripIndex = -1;
    int rowsPerStripIndex = -1;
    // Size of the file the header came from (0 for a bare buffer).
    std::uint64_t fileSize = 0;
};

// Reads the bytes the walk asks for, wherever in the file they lie: the
// directory may follow the pixels, which are never all held.
class HeaderSource {
public:
    // The bytes of a whole file held in memory.
    static HeaderSource fromBuffer(std::vector<std::uint8_t> buffer);
    // The whole file behind f (its size given), with a prefix cached.
    static HeaderSource fromFile(std::FILE* f, std::uint64_t fileSize);

    // Copies [off, off + n) into out; false when it is not all available.
    bool read(std::uint64_t off, std::size_t n, std::uint8_t* out) const;
    std::uint64_t size() const { return limit_; }

private:
    std::vector<std::uint8_t> prefix_;
    std::FILE* file_ = nullptr;
    std::uint64_t limit_ = 0;
};

// Walks the first IFD: the byte-order mark (kNotTiff; either order), then the
// entries in file order, the tag checks (-258 or +258, kMixedDepths, -259,
// -262, -339), the first failing check ends the walk; then tiles (kTiled),
// planes (kPlanar), the required depth (its negation), the presence of
// ImageWidth, ImageLength and StripOffsets (kMissingEntry), and several
// strips joined as one run of rows (else -273). 0 on success.
float walkIfd(const HeaderSource& src, const WalkRules& rules, Directory& dir);
// The same over a whole file's bytes in memory.
float walkIfd(const std::vector<std::uint8_t>& header, const WalkRules& rules, Directory& dir);

// Opens path for reading (-10 when that fails) and walks its first IFD
// wherever it lies. On success the file stays open in *file when given.
float readTiffHeader(const char* path, const WalkRules& rules, Directory& dir, fileio::File* file = nullptr);

// kTurnedRows when the map's rows are stored in another orientation than
// the top row first, left to right: a copy of its rows into a new file,
// whose header says nothing of it, would show the picture turned.
float checkOrientation(const Directory& dir);

// What an operation that reads the samples' values asks of a walked map:
// `samples` samples a pixel when not 0 (kModeSamples), floats or unsigned
// integers (kWrongSampleFormat; unsigned is the default without the
// entry, floats must say so), and 0 black (kMinIsWhite). 0 when it holds.
float checkSamples(const Directory& dir, std::uint32_t samples, int sampleFormat);

// Bytes in one row of width x samples x bytesPerSample; false on overflow.
bool rowBytes(const Directory& dir, std::uint32_t samples, std::uint32_t bytesPerSample, std::uint64_t& out);
// True when length rows of rowLen bytes from StripOffsets lie inside the file.
bool rowsFit(const Directory& dir, std::uint64_t rowLen);

// ---------------------------------------------------------------------------
// The writer: fixed header templates and the fields a source sets in them.

std::vector<std::uint8_t> grey16Template();   // 198 bytes
std::vector<std::uint8_t> rgb16Template();    // 234 bytes
std::vector<std::uint8_t> float32Template();  // 222 bytes

// Template value-field positions of the fields a source sets (entries 1, 2, 8, 9).
inline constexpr std::size_t kWidthField = 30;
inline constexpr std::size_t kLengthField = 42;
inline constexpr std::size_t kRowsPerStripField = 114;
inline constexpr std::size_t kByteCountsField = 126;

// Writes the source's width, length and RowsPerStrip (its length when the
// entry is missing or smaller: the output is one strip), their low 16 bits,
// into a template's fields. A host map, whose entries stand where the
// template's do, gives the bytes its own fields hold.
void fitTemplate(const Directory& dir, std::vector<std::uint8_t>& header);

// The quantisation of a float sample to 16 bits: f x 65535 in single
// precision, clamped to [0, 65535] (NaN gives 0), + 0.5, truncated.
inline std::uint16_t quantise16(float f) {
    float s = f * 65535.0f;
    if (s > 65535.0f) return 65535;
    if (s < 0.0f) return 0;
    if (s != s) return 0;
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<double>(s) + 0.5));
}

// quantise16 of n little-endian floats lying 4 bytes apart, into out; the
// widest path this build has.
void quantise16Run(const std::uint8_t* p, std::size_t n, std::uint16_t* out);
// One path by number (Platform.h): simd::kPortable or kSse2; false when this
// build lacks it (nothing is written then). Every path gives the same bits.
bool quantise16RunWith(int path, const std::uint8_t* p, std::size_t n, std::uint16_t* out);
// Sets seen[quantise16(sample)] to 1 for n such samples (seen holds 65536).
// The widest path this processor has.
void markLevels(const std::uint8_t* p, std::size_t n, std::uint8_t* seen);
// One path by number: simd::kPortable, kSse2 or kAvx2; false when this build
// or processor lacks it (nothing is marked then).
bool markLevelsWith(int path, const std::uint8_t* p, std::size_t n, std::uint8_t* seen);

// Widens [lo, hi] to the span of n 16-bit little-endian samples lying step
// bytes apart; the widest path this build has (grey maps, step 2, and the
// red of RGB maps, step 6, go eight samples at a time).
void range16(const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi, std::uint32_t& lo);
// One path by number: simd::kPortable or kSse2; false when this build lacks
// it (the span is left as it was then).
bool range16With(int path, const std::uint8_t* p, std::size_t n, std::size_t step, std::uint32_t& hi,
                 std::uint32_t& lo);

// The scale curve 18.49 x e^(1049 / N - 7.071e-5 x N): in double precision
// (Windows build) or wholly in single precision (macOS build).
float scaleCurve(std::uint32_t levels, bool doublePrecision);

}  // namespace tiff

// ---------------------------------------------------------------------------
// The operations (workers of the exports).

// convertTIFF16: mode 1 grey, 3 RGB, 4 grey from the first of three floats;
// a 16-bit PSD when the destination's extension holds "psd" or "PSD" (not
// "Psd"), else a 16-bit TIFF.
float convertTiff(const char* source, const char* destination, int mode);
// getScale: the scale factor from the distinct 16-bit levels of a float map.
float getScaleTiff(const char* path, int samples);
// getScale16: span of the samples of a 16-bit map (red only for RGB).
float getScale16Tiff(const char* path, int samples);
// mergeMapsTIF: B takes A's pixel wherever B shows A's first pixel.
float mergeTiff(const char* a, const char* b);
// mergeMapsTIFHack: exclusion blend of 8- and 16-bit maps, key merge of float maps.
float mergeTiffHack(const char* a, const char* b);
// swapRGBTIF: exchanges two channels of an 8-bit RGB map in place.
float swapChannels(const char* path, int mode);
// convertTIFFSingle: the first channel of a float RGB map as a grey float map.
float singleChannelTiff(const char* source, const char* destination);
// What each TIFF export's result means.
namespace tiff {

// What every TIFF operation shares: opening, the header walk's refusals,
// the rows' transfer. BPS_CODE is -258, or +258 for the merges and the swap.
#define BRINDLEX_TIFF_WALK_ROWS(NAME, BUILDS, BPS_CODE)                                                              \
    results::code(NAME, kCannotOpen, "the TIFF cannot be opened", BUILDS),                                           \
        results::code(NAME, BPS_CODE, "the BitsPerSample count is not 1 or 3", BUILDS),                              \
        results::code(NAME, -static_cast<float>(kCompression), "the TIFF is compressed", BUILDS),                    \
        results::code(NAME, -static_cast<float>(kPhotometric), "the photometric interpretation is above 2", BUILDS), \
        results::code(NAME, -static_cast<float>(kStripOffsets), "several strips that are not one run of rows", BUILDS),          \
        results::code(NAME, -static_cast<float>(kSampleFormat),                                                      \
                      "the SampleFormat count is not 1 or 3, or the samples' formats differ", BUILDS),               \
        results::code(NAME, kNotTiff, "not a TIFF (no \"II\" or \"MM\" and 42 at the start)", BUILDS),                        \
        results::code(NAME, kMixedDepths, "the samples of a pixel have different depths", BUILDS),                  \
        results::code(NAME, kTiled, "a tiled TIFF, which the library does not read", BUILDS),                       \
        results::code(NAME, kPlanar, "a planar TIFF (one plane a sample), which the library does not read", BUILDS), \
        results::code(NAME, kIfdOutsideHeader, "the IFD or an entry lies past the header", BUILDS),                  \
        results::code(NAME, kMissingEntry, "no ImageWidth, ImageLength or StripOffsets entry", BUILDS),              \
        results::code(NAME, kBitsOutsideHeader, "the BitsPerSample array lies past the header", BUILDS),             \
        results::code(NAME, kRowsPastEnd, "the rows do not fit in the file", BUILDS),                                \
        results::code(NAME, kCannotReopen, "the TIFF cannot be opened for reading and writing", BUILDS),             \
        results::code(NAME, kIoFailure, "a read or write failed while the rows were processed", BUILDS)

// The checks of the operations that read the samples' values. SAMPLES
// names the kind of sample they need.
#define BRINDLEX_TIFF_SAMPLE_ROWS(NAME, BUILDS, SAMPLES)                                                           \
    results::code(NAME, kModeSamples, "the map's samples a pixel (1 grey, 3 RGB) are not the mode's", BUILDS),     \
        results::code(NAME, kWrongSampleFormat, "the samples are not " SAMPLES " (SampleFormat)", BUILDS),         \
        results::code(NAME, kMinIsWhite, "a grey map whose 0 is white (photometric interpretation 0)", BUILDS)

// The conversions' own codes beyond the walk.
#define BRINDLEX_TIFF_CONVERSION_ROWS(NAME)                                                           \
    results::code(NAME, 0.0f, "the destination was written"),                                         \
        results::code(NAME, kTurnedRows, "the rows are stored turned or mirrored (Orientation not 1)"), \
        results::code(NAME, -32.0f, "the source is not 32 bits per sample"),                          \
        results::code(NAME, kTooLarge, "the map is too large for the destination's header"),          \
        results::code(NAME, kCannotCreate, "the destination cannot be created, or it is the source")

// The merges' codes beyond the walk.
#define BRINDLEX_TIFF_MERGE_ROWS(NAME, BUILDS)                                                          \
    results::code(NAME, 0.0f, "map B was merged", BUILDS),                                              \
        results::code(NAME, kBCannotOpen, "map B cannot be opened", BUILDS),                            \
        results::code(NAME, kBSizesDiffer, "map B has no IFD entries, or the sizes differ", BUILDS),    \
        results::code(NAME, kBSamplesDiffer, "the sample counts, depths or byte orders differ", BUILDS),             \
        results::code(NAME, kHeaderLengthsDiffer, "the maps' rows start at different offsets", BUILDS), \
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
    results::code("mergeMapsTIFHack", kWrongSampleFormat, "the 8- or 16-bit samples are not unsigned integers (SampleFormat)",
                  results::Builds::Windows),

    BRINDLEX_TIFF_WALK_ROWS("swapRGBTIF", results::Builds::Both, static_cast<float>(kBitsPerSample)),
    results::code("swapRGBTIF", 0.0f, "done (only 8-bit RGB maps change)"),
};

#undef BRINDLEX_TIFF_WALK_ROWS
#undef BRINDLEX_TIFF_CONVERSION_ROWS
#undef BRINDLEX_TIFF_SAMPLE_ROWS
#undef BRINDLEX_TIFF_MERGE_ROWS

}  // namespace tiff
