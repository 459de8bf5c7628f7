// The TIFF dialect the host writes (little-endian, uncompressed, one strip,
// interleaved samples) as far as the operations read and write it: the walk
// of a map's first IFD, the checks on what it found, and the fixed header
// templates of the maps the operations write. The tags the walk acts on and
// its codes are in TiffCodes.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileAccess.h"
#include "TiffCodes.h"

namespace tiff {

// ---------------------------------------------------------------------------
// The reader.

// SampleFormat values.
inline constexpr int kUnsignedSamples = 1;
inline constexpr int kFloatSamples = 3;

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
    std::uint32_t planar = 1;       // PlanarConfiguration
    bool tiled = false;             // a TileWidth or TileOffsets entry
    bool bigEndian = false;         // "MM": numbers and samples most significant byte first
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
    // The whole file open in w, with a prefix cached; w outlives the source.
    static HeaderSource fromFile(fileio::FileWindow& w);

    // Copies [off, off + n) into out; false when it is not all available.
    bool read(std::uint64_t off, std::size_t n, std::uint8_t* out) const;
    std::uint64_t size() const { return limit_; }

private:
    std::vector<std::uint8_t> prefix_;
    fileio::FileWindow* file_ = nullptr;
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
// wherever it lies.
float readTiffHeader(const char* path, const WalkRules& rules, Directory& dir);

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

}  // namespace tiff
