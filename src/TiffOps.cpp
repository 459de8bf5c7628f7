#include "TiffOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tiff {

// ---------------------------------------------------------------------------
// Header source.

namespace {

// Bytes of a whole file kept in memory for the walk; the IFD of a host map
// sits at 8, so this covers it without holding the pixels.
constexpr std::size_t kWholeFilePrefix = 64 * 1024;

bool seekTo(std::FILE* f, std::uint64_t off) {
#if defined(_WIN32)
    return _fseeki64(f, static_cast<long long>(off), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(off), SEEK_SET) == 0;
#endif
}

}  // namespace

HeaderSource HeaderSource::fromBuffer(std::vector<std::uint8_t> buffer) {
    HeaderSource s;
    s.prefix_ = std::move(buffer);
    s.limit_ = s.prefix_.size();
    return s;
}

HeaderSource HeaderSource::fromFile(std::FILE* f, std::uint64_t fileSize) {
    HeaderSource s;
    s.file_ = f;
    s.limit_ = fileSize;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kWholeFilePrefix));
    s.prefix_.resize(n);
    if (n && (!seekTo(f, 0) || fileio::readSome(f, s.prefix_.data(), n) != n)) {
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
    if (!file_ || !seekTo(file_, off)) return false;
    return fileio::readSome(file_, out, n) == n;
}

std::vector<std::uint8_t> loadHeaderBuffer(std::FILE* f, std::size_t n) {
    std::vector<std::uint8_t> buf(n, 0);
    std::size_t got = n ? fileio::readSome(f, buf.data(), n) : 0;
    if (got > 0 && got < n) std::fill(buf.begin() + static_cast<std::ptrdiff_t>(got), buf.end(), buf[got - 1]);
    return buf;
}

// ---------------------------------------------------------------------------
// The IFD walk.

float walkIfd(const HeaderSource& src, const WalkRules& rules, Directory& dir) {
    dir = Directory();
    dir.fileSize = src.size();
    std::uint8_t b[4];
    if (!src.read(4, 4, b)) return kIfdOutsideHeader;
    dir.ifdOffset = fileio::loadLE32(b);
    if (!src.read(dir.ifdOffset, 2, b)) return kIfdOutsideHeader;
    dir.entryCount = static_cast<std::int16_t>(fileio::loadLE16(b));
    const int count = std::max(dir.entryCount, 0);
    std::vector<std::uint8_t> entries(12u * static_cast<std::size_t>(count));
    if (count && !src.read(std::uint64_t(dir.ifdOffset) + 2, entries.size(), entries.data())) return kIfdOutsideHeader;

    const float bpsCode = rules.positiveBpsCode ? 258.0f : -258.0f;
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* e = entries.data() + 12u * static_cast<std::size_t>(k);
        const std::uint16_t tag = fileio::loadLE16(e);
        const std::uint32_t n = fileio::loadLE32(e + 4);
        const std::uint32_t value = fileio::loadLE32(e + 8);
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
                // The depth of the first sample stands for all three.
                if (src.read(value, 2, b))
                    dir.bits = fileio::loadLE16(b);
                else if (rules.needBits)
                    return kBitsOutsideHeader;
                else
                    dir.bits = 0;
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
            break;
        case kStripOffsets:
            if (n != 1) return -273.0f;
            dir.stripOffset = value;
            dir.stripIndex = k;
            break;
        case kRowsPerStrip:
            dir.rowsPerStrip = value;
            dir.rowsPerStripIndex = k;
            break;
        case kStripByteCounts:
            dir.byteCountsIndex = k;
            break;
        case kSampleFormat:
            if (n != 1 && n != 3) return -339.0f;
            break;
        default:
            break;
        }
    }
    if (rules.requiredBits && dir.bits != static_cast<std::uint32_t>(rules.requiredBits))
        return -static_cast<float>(rules.requiredBits);
    if (dir.widthIndex < 0 || dir.lengthIndex < 0 || dir.stripIndex < 0) return kMissingEntry;
    return 0.0f;
}

float walkIfd(const std::vector<std::uint8_t>& header, const WalkRules& rules, Directory& dir) {
    float r = walkIfd(HeaderSource::fromBuffer(header), rules, dir);
    dir.fileSize = header.size();
    return r;
}

float readTiffHeader(const char* path, const WalkRules& rules, Directory& dir, fileio::File* file) {
    dir = Directory();
    fileio::File f = fileio::open(path, "rb");
    if (!f) return -10.0f;
    long long size = fileio::streamSize(f.get());
    if (size < 0) return -10.0f;
    float r;
    if (rules.headerBytes == 0) {
        r = walkIfd(HeaderSource::fromFile(f.get(), static_cast<std::uint64_t>(size)), rules, dir);
    } else {
        r = walkIfd(HeaderSource::fromBuffer(loadHeaderBuffer(f.get(), rules.headerBytes)), rules, dir);
    }
    dir.fileSize = static_cast<std::uint64_t>(size);
    if (r == 0.0f && file) *file = std::move(f);
    return r;
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

std::vector<std::uint8_t> psd16Header() {
    std::vector<std::uint8_t> h(40, 0);
    std::memcpy(h.data(), "8BPS", 4);
    fileio::storeBE16(&h[4], 1);
    fileio::storeBE16(&h[12], 1);
    fileio::storeBE32(&h[14], 128);
    fileio::storeBE32(&h[18], 128);
    fileio::storeBE16(&h[22], 16);
    fileio::storeBE16(&h[24], 1);
    return h;  // the three section lengths and the compression stay 0
}

float checkPatchable(const Directory& dir) {
    if (dir.ifdOffset != 8 || dir.widthIndex != 1 || dir.lengthIndex != 2 || dir.rowsPerStripIndex != 8 ||
        dir.byteCountsIndex != 9)
        return kNotPatchable;
    return 0.0f;
}

void applyPatch(const Directory& dir, std::vector<std::uint8_t>& header) {
    const struct {
        int index;
        std::uint32_t value;
    } fields[] = {{dir.widthIndex, dir.width}, {dir.lengthIndex, dir.length}, {dir.rowsPerStripIndex, dir.rowsPerStrip}};
    for (const auto& f : fields) {
        if (f.index < 0) continue;
        std::size_t pos = dir.valueField(f.index);
        if (pos + 2 <= header.size()) fileio::storeLE16(&header[pos], static_cast<std::uint16_t>(f.value));
    }
}

float scaleCurve(std::uint32_t levels, bool doublePrecision) {
    if (levels == 0) return std::numeric_limits<float>::infinity();  // 1049 / 0
    if (doublePrecision) {
        const double n = static_cast<double>(static_cast<float>(levels));
        return static_cast<float>(18.49 * std::exp(1049.0 / n - 7.071e-5 * n));
    }
    const float n = static_cast<float>(levels);
    const float a = 1049.0f / n;
    const float b = n * -7.071e-5f;
    const float e = std::exp(a + b);
    return e * 18.49f;
}

}  // namespace tiff
