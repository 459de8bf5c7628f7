#include "ExrTinyexr.h"

#include <tinyexr.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "ExrHeader.h"
#include "ExrRange.h"

// The codes listed under names are tinyexr's.
static_assert(exr::kBadMagic == TINYEXR_ERROR_INVALID_MAGIC_NUMBER &&
                  exr::kBadVersion == TINYEXR_ERROR_INVALID_EXR_VERSION &&
                  exr::kBadData == TINYEXR_ERROR_INVALID_DATA && exr::kRefused == TINYEXR_ERROR_INVALID_FILE &&
                  exr::kCannotOpen == TINYEXR_ERROR_CANT_OPEN_FILE &&
                  exr::kUnsupportedFormat == TINYEXR_ERROR_UNSUPPORTED_FORMAT &&
                  exr::kBadHeader == TINYEXR_ERROR_INVALID_HEADER &&
                  exr::kUnsupported == TINYEXR_ERROR_UNSUPPORTED_FEATURE,
              "the EXR codes are tinyexr's");

namespace exr {

namespace {

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

// a * b, or cap + 1 when that is more than cap.
std::uint64_t productUpTo(std::uint64_t a, std::uint64_t b, std::uint64_t cap) {
    if (a != 0 && b > cap / a) return cap + 1;
    return std::min(a * b, cap + 1);
}

}  // namespace

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

}  // namespace exr
