#include "TiffReader.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace tiff {

// ---------------------------------------------------------------------------
// Header source.

namespace {

// Bytes of a whole file kept in memory for the walk; the IFD of a host map
// sits at 8, so this covers it without holding the pixels.
constexpr std::size_t kWholeFilePrefix = 64 * 1024;

}  // namespace

HeaderSource HeaderSource::fromBuffer(std::vector<std::uint8_t> buffer) {
    HeaderSource s;
    s.prefix_ = std::move(buffer);
    s.limit_ = s.prefix_.size();
    return s;
}

HeaderSource HeaderSource::fromFile(fileio::FileWindow& w) {
    HeaderSource s;
    s.file_ = &w;
    s.limit_ = w.size();
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(s.limit_, kWholeFilePrefix));
    s.prefix_.resize(n);
    if (n && !w.read(0, s.prefix_.data(), n)) {
        s.prefix_.clear();
        s.limit_ = 0;
    }
    return s;
}

bool HeaderSource::read(std::uint64_t off, std::size_t n, std::uint8_t* out) const {
    if (off > limit_ || n > limit_ - off) return false;
    if (off + n <= prefix_.size()) {
        if (n) std::memcpy(out, prefix_.data() + off, n);
        return true;
    }
    return file_ && file_->read(off, out, n);
}

// ---------------------------------------------------------------------------
// The IFD walk.

namespace {

// The numbers of a file in its byte order. A value field is read as the
// whole 32-bit field in a little-endian file, as the host's maps are
// written (a SHORT's two pad bytes zero); in a big-endian file a SHORT or
// BYTE value stands in the field's first bytes.
struct Numbers {
    bool bigEndian;
    std::uint16_t u16(const std::uint8_t* p) const { return bigEndian ? fileio::loadBE16(p) : fileio::loadLE16(p); }
    std::uint32_t u32(const std::uint8_t* p) const { return bigEndian ? fileio::loadBE32(p) : fileio::loadLE32(p); }
    std::uint32_t value(const std::uint8_t* entry) const {
        if (!bigEndian) return fileio::loadLE32(entry + 8);
        const std::uint16_t type = u16(entry + 2);
        const std::uint32_t count = u32(entry + 4);
        if (type == 3 && count <= 2) return u16(entry + 8);
        if (type == 1 && count <= 4) return entry[8];
        return u32(entry + 8);
    }
};

// Strips that follow each other row after row are one run of rows: the
// operations read them as a single strip from the first offset. Anything
// else (strips apart or out of order, a count that does not match
// RowsPerStrip, offsets of another type or past the file) is -273.
float joinStrips(const HeaderSource& src, Directory& dir) {
    const std::uint64_t perStrip = dir.rowsPerStripIndex >= 0 ? dir.rowsPerStrip : 0xFFFFFFFFu;
    const std::uint32_t bytes = dir.bits == 8 ? 1 : dir.bits == 16 ? 2 : dir.bits == 32 ? 4 : 0;
    const std::size_t size = dir.stripType == 3 ? 2 : dir.stripType == 4 ? 4 : 0;
    if (perStrip == 0 || bytes == 0 || size == 0 || (dir.length + perStrip - 1) / perStrip != dir.strips)
        return -273.0f;
    const std::uint64_t row = std::uint64_t(dir.width) * dir.samples * bytes;  // below 2^36
    // Offsets are 32-bit: a strip of more than 4 GiB cannot be followed by another.
    if (row != 0 && perStrip > 0xFFFFFFFFu / row) return -273.0f;
    const std::uint64_t stride = perStrip * row;
    const std::uint64_t at = dir.stripOffset;  // the array's offset
    const Numbers num{dir.bigEndian};
    std::uint8_t chunk[4096];
    std::uint64_t first = 0;
    for (std::uint64_t i = 0; i < dir.strips;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk / size, dir.strips - i));
        if (!src.read(at + i * size, n * size, chunk)) return -273.0f;
        for (std::size_t k = 0; k < n; ++k, ++i) {
            const std::uint64_t off = size == 2 ? num.u16(chunk + 2 * k) : num.u32(chunk + 4 * k);
            if (i == 0) first = off;
            if (off != first + i * stride) return -273.0f;
        }
    }
    if (first > 0xFFFFFFFFu) return -273.0f;
    dir.stripOffset = static_cast<std::uint32_t>(first);
    return 0.0f;
}

}  // namespace

float walkIfd(const HeaderSource& src, const WalkRules& rules, Directory& dir) {
    dir = Directory();
    dir.fileSize = src.size();
    std::uint8_t b[6];
    if (!src.read(0, 4, b)) return kNotTiff;
    dir.bigEndian = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 42;
    if (!dir.bigEndian && (b[0] != 'I' || b[1] != 'I' || b[2] != 42 || b[3] != 0)) return kNotTiff;
    const Numbers num{dir.bigEndian};
    if (!src.read(4, 4, b)) return kIfdOutsideHeader;
    dir.ifdOffset = num.u32(b);
    if (!src.read(dir.ifdOffset, 2, b)) return kIfdOutsideHeader;
    dir.entryCount = static_cast<std::int16_t>(num.u16(b));
    const int count = std::max(dir.entryCount, 0);
    // Entries that cannot lie inside the file are refused before their buffer is made.
    if (std::uint64_t(dir.ifdOffset) + 2 + 12u * std::uint64_t(count) > src.size()) return kIfdOutsideHeader;
    std::vector<std::uint8_t> entries(12u * static_cast<std::size_t>(count));
    if (count && !src.read(std::uint64_t(dir.ifdOffset) + 2, entries.size(), entries.data())) return kIfdOutsideHeader;

    const float bpsCode = rules.positiveBpsCode ? 258.0f : -258.0f;
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* e = entries.data() + 12u * static_cast<std::size_t>(k);
        const std::uint16_t tag = num.u16(e);
        const std::uint32_t n = num.u32(e + 4);
        const std::uint32_t value = num.value(e);
        switch (tag) {
            case kImageWidth:
                dir.width = value;
                dir.widthIndex = k;
                break;
            case kImageLength:
                dir.length = value;
                dir.lengthIndex = k;
                break;
            case kBitsPerSample:
                if (n == 1) {
                    dir.bits = value;
                } else if (n == 3) {
                    // One depth for all three samples.
                    if (!src.read(value, 6, b)) return kBitsOutsideHeader;
                    dir.bits = num.u16(b);
                    if (num.u16(b + 2) != dir.bits || num.u16(b + 4) != dir.bits) return kMixedDepths;
                } else {
                    return bpsCode;
                }
                dir.samples = n;
                break;
            case kCompression:
                if (value != 1) return -259.0f;
                break;
            case kPhotometric:
                if (static_cast<std::int32_t>(value) > 2) return -262.0f;
                dir.photometric = static_cast<std::int32_t>(value);
                break;
            case kStripOffsets:
                // Several strips: an array of offsets, resolved below.
                if (n == 0) return -273.0f;
                dir.stripOffset = value;
                dir.stripIndex = k;
                dir.strips = n;
                dir.stripType = num.u16(e + 2);
                break;
            case kRowsPerStrip:
                dir.rowsPerStrip = value;
                dir.rowsPerStripIndex = k;
                break;
            case kSampleFormat:
                // One format for every sample, read from the array of three.
                if (n == 1) {
                    dir.sampleFormat = static_cast<int>(value & 0xFFFF);
                } else if (n == 3 && src.read(value, 6, b) && num.u16(b + 2) == num.u16(b) &&
                           num.u16(b + 4) == num.u16(b)) {
                    dir.sampleFormat = num.u16(b);
                } else {
                    return -339.0f;
                }
                break;
            case kPlanarConfiguration:
                dir.planar = value;
                break;
            case kOrientation:
                dir.orientation = value;
                break;
            case kTileWidth:
            case kTileOffsets:
                dir.tiled = true;
                break;
            default:
                break;
        }
    }
    if (dir.tiled) return kTiled;
    if (dir.planar == 2 && dir.samples > 1) return kPlanar;
    if (rules.requiredBits && dir.bits != static_cast<std::uint32_t>(rules.requiredBits))
        return -static_cast<float>(rules.requiredBits);
    if (dir.widthIndex < 0 || dir.lengthIndex < 0 || dir.stripIndex < 0) return kMissingEntry;
    return dir.strips > 1 ? joinStrips(src, dir) : 0.0f;
}

float walkIfd(const std::vector<std::uint8_t>& header, const WalkRules& rules, Directory& dir) {
    float r = walkIfd(HeaderSource::fromBuffer(header), rules, dir);
    dir.fileSize = header.size();
    return r;
}

float readTiffHeader(const char* path, const WalkRules& rules, Directory& dir) {
    dir = Directory();
    fileio::FileWindow f;
    if (f.open(path) != fileio::Load::Ok) return kCannotOpen;
    const float r = walkIfd(HeaderSource::fromFile(f), rules, dir);
    dir.fileSize = f.size();
    return r;
}

float checkOrientation(const Directory& dir) { return dir.orientation == 1 ? 0.0f : kTurnedRows; }

float checkSamples(const Directory& dir, std::uint32_t samples, int sampleFormat) {
    if (samples != 0 && dir.samples != samples) return kModeSamples;
    const int format = dir.sampleFormat == 0 ? kUnsignedSamples : dir.sampleFormat;
    if (format != sampleFormat) return kWrongSampleFormat;
    if (dir.photometric == 0) return kMinIsWhite;
    return 0.0f;
}

bool rowBytes(const Directory& dir, std::uint32_t samples, std::uint32_t bytesPerSample, std::uint64_t& out) {
    // Both factors below 2^32 and the third small: the product fits in 64 bits.
    out = std::uint64_t(dir.width) * samples * bytesPerSample;
    return bytesPerSample <= 8 && samples <= 8;
}

bool rowsFit(const Directory& dir, std::uint64_t rowLen) {
    if (dir.stripOffset > dir.fileSize) return false;
    const std::uint64_t room = dir.fileSize - dir.stripOffset;
    if (rowLen == 0) return true;
    return dir.length <= room / rowLen;
}

// ---------------------------------------------------------------------------
// Header templates.

namespace {

struct TemplateEntry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
};

constexpr std::uint8_t kRational72[8] = {0x80, 0xFC, 0x0A, 0x00, 0x10, 0x27, 0x00, 0x00};

// "II", 42, IFD at 8, the entries, next-IFD 0, then the extra bytes.
std::vector<std::uint8_t> buildTemplate(std::initializer_list<TemplateEntry> entries,
                                        std::initializer_list<std::uint8_t> extra) {
    std::vector<std::uint8_t> h(8 + 2 + 12 * entries.size() + 4);
    h[0] = 'I';
    h[1] = 'I';
    fileio::storeLE16(&h[2], 42);
    fileio::storeLE32(&h[4], 8);
    fileio::storeLE16(&h[8], static_cast<std::uint16_t>(entries.size()));
    std::size_t p = 10;
    for (const TemplateEntry& e : entries) {
        fileio::storeLE16(&h[p], e.tag);
        fileio::storeLE16(&h[p + 2], e.type);
        fileio::storeLE32(&h[p + 4], e.count);
        fileio::storeLE32(&h[p + 8], e.value);
        p += 12;
    }
    h.insert(h.end(), extra.begin(), extra.end());
    return h;
}

std::vector<std::uint8_t> withRationals(std::vector<std::uint8_t> h, std::initializer_list<std::uint8_t> tail) {
    std::vector<std::uint8_t> out = std::move(h);
    out.insert(out.end(), kRational72, kRational72 + 8);
    out.insert(out.end(), kRational72, kRational72 + 8);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

}  // namespace

std::vector<std::uint8_t> grey16Template() {
    return withRationals(buildTemplate({{254, 4, 1, 0},
                                        {256, 3, 1, 256},
                                        {257, 3, 1, 256},
                                        {258, 3, 1, 16},
                                        {259, 3, 1, 1},
                                        {262, 3, 1, 1},
                                        {273, 4, 1, 198},
                                        {277, 3, 1, 1},
                                        {278, 3, 1, 256},
                                        {279, 4, 1, 131072},
                                        {282, 5, 1, 182},
                                        {283, 5, 1, 190},
                                        {284, 3, 1, 1},
                                        {296, 3, 1, 2}},
                                       {}),
                         {});
}

std::vector<std::uint8_t> rgb16Template() {
    return withRationals(buildTemplate({{254, 4, 1, 0},
                                        {256, 3, 1, 1024},
                                        {257, 3, 1, 1024},
                                        {258, 3, 3, 222},
                                        {259, 3, 1, 1},
                                        {262, 3, 1, 2},
                                        {273, 4, 1, 234},
                                        {277, 3, 1, 3},
                                        {278, 3, 1, 1024},
                                        {279, 4, 1, 6291456},
                                        {282, 5, 1, 206},
                                        {283, 5, 1, 214},
                                        {284, 3, 1, 1},
                                        {296, 3, 1, 1},
                                        {339, 3, 3, 228},
                                        {18, 11, 1, 1}},
                                       {}),
                         {16, 0, 16, 0, 16, 0, 1, 0, 1, 0, 1, 0});
}

std::vector<std::uint8_t> float32Template() {
    return withRationals(buildTemplate({{254, 4, 1, 0},
                                        {256, 3, 1, 4096},
                                        {257, 3, 1, 4096},
                                        {258, 3, 1, 32},
                                        {259, 3, 1, 1},
                                        {262, 3, 1, 1},
                                        {273, 4, 1, 222},
                                        {277, 3, 1, 1},
                                        {278, 3, 1, 4096},
                                        {279, 4, 1, 67108864},
                                        {282, 5, 1, 194},
                                        {283, 5, 1, 202},
                                        {284, 3, 1, 1},
                                        {296, 3, 1, 1},
                                        {339, 3, 1, 3}},
                                       {}),
                         {0, 0, 0, 0x3F, 0, 0, 0, 0x3F, 0, 0, 0, 0x3F});
}

void fitTemplate(const Directory& dir, std::vector<std::uint8_t>& header) {
    const std::uint32_t rowsPerStrip =
        dir.rowsPerStripIndex >= 0 && dir.rowsPerStrip >= dir.length ? dir.rowsPerStrip : dir.length;
    fileio::storeLE16(&header[kWidthField], static_cast<std::uint16_t>(dir.width));
    fileio::storeLE16(&header[kLengthField], static_cast<std::uint16_t>(dir.length));
    fileio::storeLE16(&header[kRowsPerStripField], static_cast<std::uint16_t>(rowsPerStrip));
}

}  // namespace tiff
