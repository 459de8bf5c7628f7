// What both EXR decoders' guards share: the header's attributes as a walk
// reads them, the data window, the layout of the pixels, the offset table's
// entries and the span rules. Internal to the EXR module (ExrRange.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "FileAccess.h"

namespace exr {

// Magic number and version field; anything shorter is refused before either
// decoder sees it.
constexpr std::size_t kExrMinBytes = 8;

// Flags of the version field.
constexpr std::uint32_t kTiledFlag = 0x200;
constexpr std::uint32_t kDeepFlag = 0x800;
constexpr std::uint32_t kMultipartFlag = 0x1000;

// The compressions, by the value of the compression attribute. tinyexr
// decodes those below PXR24; the library decodes them all.
enum Compression : int { kNone, kRle, kZips, kZip, kPiz, kPxr24, kB44, kB44a, kDwaa, kDwab, kCompressionCount };

// Scanlines in one chunk of a scanline file, per compression.
constexpr int kLinesPerChunk[kCompressionCount] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};

// The most bytes one chunk (or tile) of all channels, or one band of the
// first channel, may decode to. The library sizes its buffers from the
// header, a few times this at most, so a header that claims more is
// refused before it runs.
constexpr std::uint64_t kMaxBlockBytes = 128ull << 20;

// tinyexr holds the whole image (whole tiles of every level, samples as
// float) before it reads a chunk. No compression it reads packs more than
// about 2100 such bytes into one byte of the file (zlib's limit, with half
// samples counted as float), so a header that claims more than kMaxClaim
// bytes per byte of the file, beyond kMaxBlockBytes, is not a whole file;
// nor is one whose single tile claims more than kMaxBlockBytes.
constexpr std::uint64_t kMaxClaim = 4096;

struct Attribute {
    std::string_view name, type;
    fileio::Bytes value;
    bool is(std::string_view n, std::string_view t) const { return name == n && type == t; }
};

// Walks the attributes that follow the magic number and version field:
// name and type (NUL-terminated), 32-bit size, value; an empty name ends
// them. visit(attribute) returns false to stop. Returns the offset just
// past the empty name, or 0 when the walk stopped or an attribute (or the
// end) lies past the data.
template <class Visit>
std::size_t walkAttributes(const fileio::Bytes& b, Visit&& visit) {
    std::size_t at = kExrMinBytes;
    for (;;) {
        const std::size_t name = at;
        while (at < b.size && b.data[at] != 0) ++at;
        if (at >= b.size) return 0;
        if (at == name) return at + 1;
        const std::size_t type = ++at;
        while (at < b.size && b.data[at] != 0) ++at;
        if (at >= b.size) return 0;
        std::uint32_t size = 0;
        if (!b.le32(++at, size)) return 0;
        at += 4;
        if (size > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) || !b.has(at, size)) return 0;
        Attribute a;
        a.name = std::string_view(reinterpret_cast<const char*>(b.data + name), type - 1 - name);
        a.type = std::string_view(reinterpret_cast<const char*>(b.data + type), at - 5 - type);
        a.value = fileio::Bytes(b.data + at, size);
        if (!visit(a)) return 0;
        at += size;
    }
}

// A box2i value: the data window's bounds, inclusive.
struct Window {
    std::int64_t minX = 0, minY = 0, maxX = -1, maxY = -1;
    std::int64_t width() const { return maxX - minX + 1; }
    std::int64_t height() const { return maxY - minY + 1; }
    bool empty() const { return maxX < minX || maxY < minY; }
};

// The window of a box2i value of 16 bytes: minX, minY, maxX, maxY, signed 32-bit.
Window readBox(const fileio::Bytes& v);

// What a header says of the pixels' layout, as the library reads it
// (readLayout) or as far as tinyexr's allocations go (exrClaimsFit).
struct ChannelInfo {
    std::string name;
    int type = 0;  // 0 UINT, 1 HALF, 2 FLOAT
    std::int32_t xSampling = 1, ySampling = 1;
};

struct Layout {
    std::uint32_t version = 0;
    int compression = -1;
    bool haveWindow = false, haveChannels = false, haveTiles = false;
    Window window;
    std::vector<ChannelInfo> channels;
    std::uint32_t tileW = 0, tileH = 0;
    int levelMode = 0, rounding = 0;
    std::size_t end = 0;  // the offset table's first byte
    bool tiled() const { return (version & kTiledFlag) != 0; }
};

// Entries of the offset table: chunks of a scanline file, tiles of every
// level of a tiled one. Stops counting once past limit.
std::uint64_t chunkCount(const Layout& h, std::uint64_t limit);

// The compression tinyexr meets first, or -1.
int firstCompression(const fileio::Bytes& b);

// The span of the samples added: max - min, from the start values -65535
// and 65535; a NaN changes neither.
struct Range {
    float hi = -65535.0f, lo = 65535.0f;
    void add(float v) {
        if (v > hi) hi = v;
        if (v < lo) lo = v;
    }
    float span() const { return hi - lo; }
};

}  // namespace exr
