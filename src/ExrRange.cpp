#include "ExrRange.h"

#include <tinyexr.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "FileAccess.h"

// ---------------------------------------------------------------------------
// EXR value range, through tinyexr: version, header, half channels
// requested as float, load, release.

namespace {

// Magic number and version field; anything shorter is refused before the
// decoder sees it.
constexpr long long kExrMinBytes = 8;

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

struct Range {
    float hi = -65535.0f, lo = 65535.0f;
    void add(float v) {
        if (v > hi) hi = v;
        if (v < lo) lo = v;
    }
};

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
// the decoder's sizes wrap). The attributes follow the 8-byte magic and
// version: name, type (both NUL-terminated), 32-bit size, value; an empty
// name ends them. A header this walk cannot follow is left to the decoder.
bool exrWindowFits(const fileio::Bytes& b) {
    std::size_t at = 8;
    for (;;) {
        const std::size_t name = at;
        while (at < b.size && b.data[at] != 0) ++at;
        if (at >= b.size || at == name) return true;  // the end, or past it
        const std::size_t type = ++at;
        while (at < b.size && b.data[at] != 0) ++at;
        if (at >= b.size) return true;
        std::uint32_t size = 0;
        if (!b.le32(++at, size)) return true;
        at += 4;
        if (!b.has(at, size)) return true;
        if (std::strcmp(reinterpret_cast<const char*>(b.data + name), "dataWindow") == 0 &&
            std::strcmp(reinterpret_cast<const char*>(b.data + type), "box2i") == 0 && size == 16) {
            const std::uint8_t* v = b.data + at;
            const std::int64_t minX = static_cast<std::int32_t>(fileio::loadLE32(v));
            const std::int64_t minY = static_cast<std::int32_t>(fileio::loadLE32(v + 4));
            const std::int64_t maxX = static_cast<std::int32_t>(fileio::loadLE32(v + 8));
            const std::int64_t maxY = static_cast<std::int32_t>(fileio::loadLE32(v + 12));
            constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
            return maxX - minX + 1 <= kMax && maxY - minY + 1 <= kMax;
        }
        at += size;
    }
}

}  // namespace

float openExrRange(const char* path) {
    if (!path) return -9.0f;
    {
        fileio::MappedFile m;
        if (m.open(path) != fileio::Load::Ok) return static_cast<float>(TINYEXR_ERROR_CANT_OPEN_FILE);
        if (m.size() < static_cast<std::size_t>(kExrMinBytes) || !exrWindowFits(m.bytes()))
            return static_cast<float>(TINYEXR_ERROR_INVALID_FILE);
    }
    EXRVersion version;
    int rc = ParseEXRVersionFromFile(&version, path);
    if (rc != 0) return static_cast<float>(rc);
    if (version.multipart || version.non_image) return static_cast<float>(TINYEXR_ERROR_UNSUPPORTED_FEATURE);

    ExrLoad load;
    const char* err = nullptr;
    rc = ParseEXRHeaderFromFile(&load.header, &version, path, &err);
    rc = exrStep(rc, err);
    load.haveHeader = true;  // the parser fills the header even when it fails
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
    if (img.width <= 0 || img.height <= 0 || img.num_channels < 1) return -131070.0f;
    const bool asUint = load.header.requested_pixel_types[0] == TINYEXR_PIXELTYPE_UINT;
    const std::size_t w = static_cast<std::size_t>(img.width);
    Range r;
    if (img.images) {
        for (std::size_t y = 0; y < static_cast<std::size_t>(img.height); ++y) scanRun(r, img.images[0], asUint, y * w, w);
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
    return r.hi - r.lo;
}
