#include "ExrRange.h"

#include <Iex.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfTileDescription.h>
#include <tinyexr.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "Brindlex.h"
#include "FileAccess.h"

// The codes listed under names are tinyexr's.
static_assert(exr::kBadMagic == TINYEXR_ERROR_INVALID_MAGIC_NUMBER &&
                  exr::kBadVersion == TINYEXR_ERROR_INVALID_EXR_VERSION &&
                  exr::kBadData == TINYEXR_ERROR_INVALID_DATA && exr::kRefused == TINYEXR_ERROR_INVALID_FILE &&
                  exr::kCannotOpen == TINYEXR_ERROR_CANT_OPEN_FILE &&
                  exr::kUnsupportedFormat == TINYEXR_ERROR_UNSUPPORTED_FORMAT &&
                  exr::kBadHeader == TINYEXR_ERROR_INVALID_HEADER &&
                  exr::kUnsupported == TINYEXR_ERROR_UNSUPPORTED_FEATURE,
              "the EXR codes are tinyexr's");

namespace {

// ---------------------------------------------------------------------------
// What both decoders share: the header's attributes and the span rules.

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

struct Window {
    std::int64_t minX = 0, minY = 0, maxX = -1, maxY = -1;
    std::int64_t width() const { return maxX - minX + 1; }
    std::int64_t height() const { return maxY - minY + 1; }
    bool empty() const { return maxX < minX || maxY < minY; }
};

Window readBox(const fileio::Bytes& v) {
    Window w;
    w.minX = static_cast<std::int32_t>(fileio::loadLE32(v.data));
    w.minY = static_cast<std::int32_t>(fileio::loadLE32(v.data + 4));
    w.maxX = static_cast<std::int32_t>(fileio::loadLE32(v.data + 8));
    w.maxY = static_cast<std::int32_t>(fileio::loadLE32(v.data + 12));
    return w;
}

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

// floor(log2(x)) or ceil(log2(x)) for x >= 1, as both decoders round levels.
int roundLog2(std::int64_t x, int rounding) {
    int down = 0;
    while ((std::int64_t{1} << (down + 1)) <= x) ++down;
    return (rounding == 1 && (std::int64_t{1} << down) < x) ? down + 1 : down;
}

std::int64_t levelSize(std::int64_t size, int level, int rounding) {
    if (rounding == 1) size += (std::int64_t{1} << level) - 1;
    return std::max<std::int64_t>(1, size >> level);
}

// Entries of the offset table: chunks of a scanline file, tiles of every
// level of a tiled one. Stops counting once past limit.
std::uint64_t chunkCount(const Layout& h, std::uint64_t limit) {
    const std::int64_t w = h.window.width(), ht = h.window.height();
    if (!h.tiled()) {
        const std::int64_t lines = kLinesPerChunk[h.compression];
        return static_cast<std::uint64_t>((ht + lines - 1) / lines);
    }
    int xLevels = 1, yLevels = 1;
    if (h.levelMode == 1) xLevels = yLevels = roundLog2(std::max(w, ht), h.rounding) + 1;
    if (h.levelMode == 2) {
        xLevels = roundLog2(w, h.rounding) + 1;
        yLevels = roundLog2(ht, h.rounding) + 1;
    }
    auto tiles = [&](std::int64_t size, int level, std::uint32_t tile) {
        return static_cast<std::uint64_t>((levelSize(size, level, h.rounding) + tile - 1) / tile);
    };
    std::uint64_t total = 0;
    for (int ly = 0; ly < yLevels; ++ly)
        for (int lx = 0; lx < xLevels; ++lx) {
            if (h.levelMode == 1 && lx != ly) continue;
            const std::uint64_t across = tiles(w, lx, h.tileW), down = tiles(ht, ly, h.tileH);
            if (across > (limit - total) / down) return limit + 1;  // down >= 1
            total += across * down;
        }
    return total;
}

// The compression tinyexr meets first, or -1.
int firstCompression(const fileio::Bytes& b) {
    int c = -1;
    walkAttributes(b, [&](const Attribute& a) {
        if (a.name != "compression") return true;
        if (a.type == "compression" && a.value.size == 1) c = a.value.data[0];
        return false;
    });
    return c;
}

struct Range {
    float hi = -65535.0f, lo = 65535.0f;
    void add(float v) {
        if (v > hi) hi = v;
        if (v < lo) lo = v;
    }
    float span() const { return hi - lo; }
};

// ---------------------------------------------------------------------------
// tinyexr.

// Releases what tinyexr handed out, on every way out.
struct ExrLoad {
    EXRHeader header;
    EXRImage image;
    bool haveHeader = false, haveImage = false;
    ExrLoad() {
        InitEXRHeader(&header);
        InitEXRImage(&image);
    }
    ~ExrLoad() {
        if (haveImage) FreeEXRImage(&image);
        if (haveHeader) FreeEXRHeader(&header);
    }
    ExrLoad(const ExrLoad&) = delete;
    ExrLoad& operator=(const ExrLoad&) = delete;
};

// The message a failing call leaves in err is released once the call has
// returned (reading err as an argument of the same call would see it unset).
int exrStep(int rc, const char*& err) {
    if (err) FreeEXRErrorMessage(err);
    err = nullptr;
    return rc;
}

// Samples [first, first + n) of channel 0 in row order; UINT channels are
// left as the file holds them and converted here.
void scanRun(Range& r, const unsigned char* plane, bool asUint, std::size_t first, std::size_t n) {
    if (asUint) {
        const unsigned int* p = reinterpret_cast<const unsigned int*>(plane) + first;
        for (std::size_t i = 0; i < n; ++i) r.add(static_cast<float>(p[i]));
    } else {
        const float* p = reinterpret_cast<const float*>(plane) + first;
        for (std::size_t i = 0; i < n; ++i) r.add(p[i]);
    }
}

// False when the header's data window spans more than 2^31 - 1 columns or
// rows (the bounds are 32-bit, so max - min + 1 can pass the int range and
// the decoder's sizes wrap). A header this walk cannot follow is left to
// the decoder.
bool exrWindowFits(const fileio::Bytes& b) {
    bool fits = true;
    walkAttributes(b, [&](const Attribute& a) {
        if (!a.is("dataWindow", "box2i") || a.value.size != 16) return true;
        const Window w = readBox(a.value);
        constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
        fits = w.width() <= kMax && w.height() <= kMax;
        return false;
    });
    return fits;
}

// True when tinyexr would stop the process on one of its assertions: in a
// file whose version says tiled, a tiles attribute that is not 9 bytes, or
// one with tiles no columns wide or no rows tall or the level mode 3; a type
// attribute that names another kind of image than the tiling says. A header
// this walk cannot follow is left to the decoder.
bool exrTinyexrAsserts(const fileio::Bytes& b) {
    const bool tiledFlag = (fileio::loadLE32(b.data + 4) & kTiledFlag) != 0;
    bool tiled = false, asserts = false;
    std::string_view type;
    walkAttributes(b, [&](const Attribute& a) {
        if (a.name == "tiles" && tiledFlag) {
            if (a.value.size != 9) {
                asserts = true;
                return false;
            }
            const std::uint8_t* v = a.value.data;
            asserts = asserts || fileio::loadLE32(v) == 0 || fileio::loadLE32(v + 4) == 0 || (v[8] & 3) == 3;
            tiled = true;
        } else if (a.name == "type" && a.value.size > 0 && a.value.data[0] != 0) {
            // tinyexr reads the name up to its first NUL.
            const char* s = reinterpret_cast<const char*>(a.value.data);
            type = std::string_view(s, static_cast<std::size_t>(std::find(s, s + a.value.size, '\0') - s));
        }
        return true;
    });
    if (asserts || type.empty()) return asserts;
    if (type == "scanlineimage" || type == "deepscanline") return tiled;
    if (type == "tiledimage" || type == "deeptile") return !tiled;
    return true;
}

// a * b, or cap + 1 when that is more than cap.
std::uint64_t productUpTo(std::uint64_t a, std::uint64_t b, std::uint64_t cap) {
    if (a != 0 && b > cap / a) return cap + 1;
    return std::min(a * b, cap + 1);
}

// False when the header claims more than the file can hold, as tinyexr
// would allocate it before reading a chunk: an offset table past the end of
// the file, a tile of more than kMaxBlockBytes of samples, or more bytes of
// samples than kMaxClaim per byte of the file beyond kMaxBlockBytes.
// Headers tinyexr refuses by itself before it allocates (no channels or
// window, a window or tiles wider or taller than its limit, a compression
// it lacks) are left to it, as is a header this walk cannot follow.
bool exrClaimsFit(const fileio::Bytes& b) {
    constexpr std::int64_t kTinyexrLimit = 1024 * 8192;  // its largest width, height and tile size
    Layout h;
    h.version = fileio::loadLE32(b.data + 4);
    std::uint64_t channels = 0;
    bool compressionRefused = false;
    h.end = walkAttributes(b, [&](const Attribute& a) {
        if (a.name == "channels") {
            // Entries of a name and 16 bytes, read as tinyexr reads them: the
            // empty name that ends them must lie inside the value.
            std::size_t at = 0;
            channels = 0;
            h.haveChannels = false;
            while (at < a.value.size && a.value.data[at] != 0) {
                while (at < a.value.size && a.value.data[at] != 0) ++at;
                if (at + 17 >= a.value.size) return true;
                at += 17;
                ++channels;
            }
            h.haveChannels = at < a.value.size && channels > 0;
        } else if (a.name == "compression" && a.value.size > 0) {
            h.compression = a.value.data[0];
            compressionRefused = compressionRefused || h.compression > kPiz;
        } else if (a.name == "dataWindow" && a.value.size >= 16) {
            h.window = readBox(a.value);
            h.haveWindow = true;
        } else if (a.name == "tiles" && a.value.size == 9 && (h.version & kTiledFlag)) {
            h.tileW = fileio::loadLE32(a.value.data);
            h.tileH = fileio::loadLE32(a.value.data + 4);
            h.levelMode = a.value.data[8] & 3;
            h.rounding = (a.value.data[8] >> 4) & 1;
            h.haveTiles = true;
        }
        return true;
    });
    if (!h.haveTiles) h.version &= ~kTiledFlag;  // tinyexr reads such a file as scanlines
    if (h.end == 0 || !h.haveChannels || !h.haveWindow || h.compression < 0 || compressionRefused || h.window.empty() ||
        h.window.width() > kTinyexrLimit || h.window.height() > kTinyexrLimit)
        return true;
    if (h.tiled() &&
        (h.tileW < 1 || h.tileH < 1 || h.tileW > kTinyexrLimit || h.tileH > kTinyexrLimit || h.levelMode > 2))
        return true;
    const std::uint64_t room = (b.size - h.end) / 8;
    const std::uint64_t count = chunkCount(h, room);
    if (count > room) return false;
    const std::uint64_t cap =
        kMaxBlockBytes + productUpTo(kMaxClaim, b.size, std::numeric_limits<std::uint64_t>::max() / 2);
    const std::uint64_t pixelBytes = productUpTo(channels, sizeof(float), cap);
    if (h.tiled()) {
        const std::uint64_t tile = productUpTo(productUpTo(h.tileW, h.tileH, cap), pixelBytes, cap);
        return tile <= kMaxBlockBytes && productUpTo(count, tile, cap) <= cap;
    }
    const std::uint64_t samples =
        productUpTo(static_cast<std::uint64_t>(h.window.width()), static_cast<std::uint64_t>(h.window.height()), cap);
    return productUpTo(samples, pixelBytes, cap) <= cap;
}

float tinyexrRange(const char* path, int compression) {
    EXRVersion version;
    int rc = ParseEXRVersionFromFile(&version, path);
    if (rc != 0) return static_cast<float>(rc);
    if (version.multipart || version.non_image) return static_cast<float>(TINYEXR_ERROR_UNSUPPORTED_FEATURE);

    ExrLoad load;
    const char* err = nullptr;
    rc = ParseEXRHeaderFromFile(&load.header, &version, path, &err);
    rc = exrStep(rc, err);
    load.haveHeader = true;  // the parser fills the header even when it fails
    // The compressions tinyexr lacks go to the library, every other
    // refusal stays tinyexr's.
    if (rc == TINYEXR_ERROR_UNSUPPORTED_FORMAT && compression >= kPxr24 && compression < kCompressionCount)
        return openExrLibraryRange(path);
    if (rc != 0) return static_cast<float>(rc);
    for (int c = 0; c < load.header.num_channels; ++c)
        if (load.header.pixel_types[c] == TINYEXR_PIXELTYPE_HALF)
            load.header.requested_pixel_types[c] = TINYEXR_PIXELTYPE_FLOAT;
    err = nullptr;
    // A failed load has already released what it could (and leaves its
    // pointers dangling), so the image is released only after a success.
    rc = LoadEXRImageFromFile(&load.image, &load.header, path, &err);
    rc = exrStep(rc, err);
    if (rc != 0) return static_cast<float>(rc);
    load.haveImage = true;

    const EXRImage& img = load.image;
    if (img.width <= 0 || img.height <= 0 || img.num_channels < 1) return exr::kNoPixels;
    const bool asUint = load.header.requested_pixel_types[0] == TINYEXR_PIXELTYPE_UINT;
    const std::size_t w = static_cast<std::size_t>(img.width);
    Range r;
    if (img.images) {
        for (std::size_t y = 0; y < static_cast<std::size_t>(img.height); ++y)
            scanRun(r, img.images[0], asUint, y * w, w);
    } else if (img.tiles) {
        // Level 0 tiles, in row order of the image: tile rows top to bottom,
        // then each pixel row across the tiles of that row.
        std::vector<const EXRTile*> tiles;
        for (int t = 0; t < img.num_tiles; ++t)
            if (img.tiles[t].images) tiles.push_back(&img.tiles[t]);
        std::sort(tiles.begin(), tiles.end(), [](const EXRTile* a, const EXRTile* b) {
            return a->offset_y != b->offset_y ? a->offset_y < b->offset_y : a->offset_x < b->offset_x;
        });
        const std::size_t stride = static_cast<std::size_t>(std::max(load.header.tile_size_x, 0));
        for (std::size_t i = 0; i < tiles.size();) {
            std::size_t j = i;
            while (j < tiles.size() && tiles[j]->offset_y == tiles[i]->offset_y) ++j;
            for (int yy = 0; yy < tiles[i]->height; ++yy)
                for (std::size_t t = i; t < j; ++t) {
                    const int tw = std::min(tiles[t]->width, load.header.tile_size_x);
                    if (yy < tiles[t]->height && tw > 0)
                        scanRun(r, tiles[t]->images[0], asUint, static_cast<std::size_t>(yy) * stride,
                                static_cast<std::size_t>(tw));
                }
            i = j;
        }
    }
    return r.span();
}

// ---------------------------------------------------------------------------
// The OpenEXR library.
//
// The library reads the header attribute by attribute and sizes what it
// allocates from the values it reads, so the walk below reads the header
// exactly as the library will and refuses it unless every size the library
// derives from it is bounded by the file: each attribute inside the file,
// each value of a known type as long as that type reads, the offset table
// inside the file and each chunk's decoded size within kMaxBlockBytes.

// The value sizes of the library's fixed-size attribute types.
struct FixedType {
    std::string_view type;
    std::size_t size;
};
constexpr FixedType kFixedTypes[] = {
    {"box2i", 16},      {"box2f", 16},   {"chromaticities", 32},
    {"compression", 1}, {"double", 8},   {"envmap", 1},
    {"float", 4},       {"int", 4},      {"keycode", 28},
    {"lineOrder", 1},   {"m33f", 36},    {"m33d", 72},
    {"m44f", 64},       {"m44d", 128},   {"rational", 8},
    {"tiledesc", 9},    {"timecode", 8}, {"v2i", 8},
    {"v2f", 8},         {"v2d", 16},     {"v3i", 12},
    {"v3f", 12},        {"v3d", 24},     {"deepImageState", 1},
};

// A channel list: entries of name (1 to 255 bytes, NUL), pixel type,
// pLinear, three reserved bytes, x and y sampling, then an empty name that
// is the value's last byte. Names strictly ascending, as the library keeps
// them (it would lay out the pixels of any other order as if sorted).
bool readChannels(const fileio::Bytes& v, std::vector<ChannelInfo>& out) {
    out.clear();
    std::size_t at = 0;
    for (;;) {
        const std::size_t name = at;
        while (at < v.size && v.data[at] != 0) ++at;
        if (at >= v.size) return false;
        if (at == name) return at + 1 == v.size;
        if (at - name > 255 || !v.has(at + 1, 16)) return false;
        ChannelInfo c;
        c.name.assign(reinterpret_cast<const char*>(v.data + name), at - name);
        const std::uint8_t* p = v.data + at + 1;
        const std::int32_t type = static_cast<std::int32_t>(fileio::loadLE32(p));
        c.xSampling = static_cast<std::int32_t>(fileio::loadLE32(p + 8));
        c.ySampling = static_cast<std::int32_t>(fileio::loadLE32(p + 12));
        if (type < 0 || type > 2 || c.xSampling < 1 || c.ySampling < 1) return false;
        c.type = type;
        if (!out.empty() && !(out.back().name < c.name)) return false;
        out.push_back(std::move(c));
        at += 17;
    }
}

// A string vector: 32-bit lengths, each followed by that many bytes, up to
// the value's end exactly.
bool stringVectorFits(const fileio::Bytes& v) {
    std::size_t at = 0;
    while (at < v.size) {
        std::uint32_t n = 0;
        if (!v.le32(at, n) || n > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) ||
            !v.has(at + 4, n))
            return false;
        at += 4 + n;
    }
    return true;
}

// The value of a known type reads as the library reads it: fixed types have
// their size, variable ones a structure that ends where the value ends.
bool valueFits(const Attribute& a) {
    for (const FixedType& f : kFixedTypes)
        if (a.type == f.type) return a.value.size == f.size;
    if (a.type == "chlist") {
        std::vector<ChannelInfo> c;
        return readChannels(a.value, c);
    }
    if (a.type == "preview") {
        std::uint32_t w = 0, h = 0;
        return a.value.le32(0, w) && a.value.le32(4, h) && static_cast<std::uint64_t>(w) * h * 4 + 8 == a.value.size;
    }
    if (a.type == "floatvector") return a.value.size % 4 == 0;
    if (a.type == "stringvector") return stringVectorFits(a.value);
    if (a.type == "idmanifest") return a.value.size >= 4;
    return true;  // a string or a type the library keeps as opaque bytes
}

// The strict walk. False refuses the file.
bool readLayout(const fileio::Bytes& b, Layout& h) {
    static const std::uint8_t kMagic[] = {0x76, 0x2F, 0x31, 0x01};
    if (b.size < kExrMinBytes || std::memcmp(b.data, kMagic, 4) != 0) return false;
    h.version = fileio::loadLE32(b.data + 4);
    if ((h.version & 0xFF) != 2 || (h.version & (kDeepFlag | kMultipartFlag)) != 0) return false;
    bool ok = true;
    h.end = walkAttributes(b, [&](const Attribute& a) {
        if (a.name.size() > 255 || a.type.empty() || a.type.size() > 255 || !valueFits(a)) return ok = false;
        if (a.name == "channels") {
            if (a.type != "chlist") return ok = false;
            readChannels(a.value, h.channels);
            h.haveChannels = true;
        } else if (a.name == "compression") {
            if (a.type != "compression" || a.value.data[0] >= kCompressionCount) return ok = false;
            h.compression = a.value.data[0];
        } else if (a.name == "dataWindow") {
            if (a.type != "box2i") return ok = false;
            h.window = readBox(a.value);
            h.haveWindow = true;
        } else if (a.name == "tiles" && a.type == "tiledesc") {
            h.tileW = fileio::loadLE32(a.value.data);
            h.tileH = fileio::loadLE32(a.value.data + 4);
            h.levelMode = a.value.data[8] & 0x0F;
            h.rounding = a.value.data[8] >> 4;
            h.haveTiles = true;
        }
        return true;
    });
    if (!ok || h.end == 0 || !h.haveChannels || !h.haveWindow || h.compression < 0) return false;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (h.window.width() > kMax || h.window.height() > kMax) return false;
    if (h.tiled()) {
        if (!h.haveTiles || h.tileW < 1 || h.tileH < 1 || h.tileW > kMax || h.tileH > kMax || h.levelMode > 2 ||
            h.rounding > 1)
            return false;
    }
    // Sampled channels line up with the window, as the library requires;
    // tiled files have none.
    if (!h.window.empty())
        for (const ChannelInfo& c : h.channels) {
            if (h.tiled() && (c.xSampling != 1 || c.ySampling != 1)) return false;
            if (h.window.minX % c.xSampling || h.window.width() % c.xSampling || h.window.minY % c.ySampling ||
                h.window.height() % c.ySampling)
                return false;
        }
    return true;
}

// The rows of the first channel read at once: a chunk's worth, a whole
// number of its sampled rows.
std::int64_t bandRows(const Layout& h) {
    std::int64_t rows = h.tiled() ? h.tileH : kLinesPerChunk[h.compression];
    rows = std::min(rows, h.window.height());
    const std::int64_t ys = h.channels.front().ySampling;
    return (rows + ys - 1) / ys * ys;
}

// True when the offset table lies inside the file and no chunk, tile or
// band decodes to more than kMaxBlockBytes.
bool withinLimits(const Layout& h, std::size_t fileSize) {
    const std::uint64_t room = (fileSize - h.end) / 8;
    if (chunkCount(h, room) > room) return false;
    std::uint64_t pixelBytes = 0;
    for (const ChannelInfo& c : h.channels) pixelBytes += c.type == 1 ? 2 : 4;
    // The library sizes its buffers for whole chunks and tiles, however
    // few rows or columns of the window they cover.
    const std::uint64_t w = static_cast<std::uint64_t>(h.window.width());
    const std::uint64_t lines = h.tiled() ? h.tileH : static_cast<std::uint64_t>(kLinesPerChunk[h.compression]);
    const std::uint64_t chunkW = h.tiled() ? h.tileW : w;
    // chunkW and lines are at least 1 and below 2^31, as are the band's
    // columns and rows.
    if (pixelBytes > kMaxBlockBytes / (chunkW * lines)) return false;
    const ChannelInfo& first = h.channels.front();
    const std::uint64_t band = static_cast<std::uint64_t>(bandRows(h) / first.ySampling);
    return (w / static_cast<std::uint64_t>(first.xSampling)) * band <= kMaxBlockBytes / sizeof(float);
}

// The library's view of the header must be the walk's, or the limits above
// would not be the ones it allocates by.
bool sameLayout(const Imf::Header& seen, const Layout& h) {
    const Imath::Box2i& dw = seen.dataWindow();
    if (dw.min.x != h.window.minX || dw.min.y != h.window.minY || dw.max.x != h.window.maxX ||
        dw.max.y != h.window.maxY || static_cast<int>(seen.compression()) != h.compression)
        return false;
    std::size_t n = 0;
    for (Imf::ChannelList::ConstIterator i = seen.channels().begin(); i != seen.channels().end(); ++i, ++n) {
        if (n >= h.channels.size()) return false;
        const ChannelInfo& c = h.channels[n];
        if (c.name != i.name() || static_cast<int>(i.channel().type) != c.type ||
            i.channel().xSampling != c.xSampling || i.channel().ySampling != c.ySampling)
            return false;
    }
    if (n != h.channels.size()) return false;
    if (h.tiled()) {
        if (!seen.hasTileDescription()) return false;
        const Imf::TileDescription& t = seen.tileDescription();
        if (t.xSize != h.tileW || t.ySize != h.tileH || static_cast<int>(t.mode) != h.levelMode ||
            static_cast<int>(t.roundingMode) != h.rounding)
            return false;
    }
    return true;
}

// The file's bytes as the library's input stream; a read past the end
// fails as a short file does.
class ByteStream : public Imf::IStream {
public:
    ByteStream(const fileio::Bytes& b, const char* name) : Imf::IStream(name), b_(b) {}
    bool read(char c[], int n) override {
        if (n < 0 || pos_ > b_.size || !b_.has(static_cast<std::size_t>(pos_), static_cast<std::size_t>(n)))
            throw Iex::InputExc("Unexpected end of file.");
        std::memcpy(c, b_.data + pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::uint64_t>(n);
        return pos_ < b_.size;
    }
    std::uint64_t tellg() override { return pos_; }
    void seekg(std::uint64_t pos) override { pos_ = pos; }

private:
    fileio::Bytes b_;
    std::uint64_t pos_ = 0;
};

// Reads the first channel a band of rows at a time (a chunk or a row of
// tiles), as float, and measures it.
float libraryRange(const fileio::Bytes& file, const char* name) {
    Layout h;
    if (!readLayout(file, h)) return exr::kRefused;
    if (h.channels.empty() || h.window.empty()) return exr::kNoPixels;
    if (!withinLimits(h, file.size)) return exr::kRefused;
    try {
        {
            ByteStream s(file, name);
            s.seekg(kExrMinBytes);
            Imf::Header seen;
            int version = static_cast<int>(h.version);
            seen.readFrom(s, version);
            if (!sameLayout(seen, h)) return exr::kRefused;
        }
        ByteStream s(file, name);
        Imf::InputFile in(s, 0);
        const ChannelInfo& first = h.channels.front();
        const std::int64_t xs = first.xSampling, ys = first.ySampling;
        const std::int64_t cols = h.window.width() / xs, band = bandRows(h);
        const std::int64_t rowBytes = cols * static_cast<std::int64_t>(sizeof(float));
        std::vector<float> buf(static_cast<std::size_t>(cols * (band / ys)));
        Range r;
        for (std::int64_t y0 = h.window.minY; y0 <= h.window.maxY; y0 += band) {
            const std::int64_t y1 = std::min(h.window.maxY, y0 + band - 1);
            // The library finds sample (x, y) at base + x/xs * 4 + y/ys *
            // rowBytes; minX and y0 are multiples of the sampling.
            const std::int64_t shift = h.window.minX / xs * 4 + y0 / ys * rowBytes;
            char* base = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(buf.data()) -
                                                 static_cast<std::uintptr_t>(shift));
            Imf::FrameBuffer fb;
            fb.insert(first.name, Imf::Slice(Imf::FLOAT, base, sizeof(float), static_cast<std::size_t>(rowBytes),
                                             static_cast<int>(xs), static_cast<int>(ys)));
            in.setFrameBuffer(fb);
            in.readPixels(static_cast<int>(y0), static_cast<int>(y1));
            const std::size_t n = static_cast<std::size_t>(((y1 - y0) / ys + 1) * cols);
            for (std::size_t i = 0; i < n; ++i) r.add(buf[i]);
        }
        return r.span();
    } catch (const std::bad_alloc&) {
        return hostcall::kOutOfMemory;
    } catch (...) {
        return exr::kLibraryFailed;
    }
}

}  // namespace

float openExrLibraryRange(const char* path) {
    if (!path) return hostcall::kRefused;
    fileio::MappedFile m;
    if (m.open(path) != fileio::Load::Ok) return static_cast<float>(TINYEXR_ERROR_CANT_OPEN_FILE);
    return libraryRange(m.bytes(), path);
}

float openExrRange(const char* path) {
    if (!path) return hostcall::kRefused;
    int compression = -1;
    {
        fileio::MappedFile m;
        if (m.open(path) != fileio::Load::Ok) return static_cast<float>(TINYEXR_ERROR_CANT_OPEN_FILE);
        if (m.size() < kExrMinBytes || !exrWindowFits(m.bytes()) || exrTinyexrAsserts(m.bytes()) ||
            !exrClaimsFit(m.bytes()))
            return exr::kRefused;
        compression = firstCompression(m.bytes());
    }
    return tinyexrRange(path, compression);
}
