// EXR maps: the first channel's span through tinyexr, and what it refuses.
#include "Platform.h"

#if !BRINDLEX_WINDOWS
#include <tinyexr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "FileAccess.h"
#include "TestSupport.h"
#include "fixtures/ExrBuilder.h"
#include "fixtures/TiffBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string put(const TempDir &dir, const std::string &name, const Bytes &bytes) {
    std::string p = dir.path(name);
    EXPECT_TRUE(writeBytes(p, bytes));
    return p;
}

// Replaces a file by a new one: rewriting it in place waits for the old
// contents to reach the disk, hundreds of times over in the loops below.
bool rewrite(const std::string &path, const Bytes &bytes) {
    std::remove(path.c_str());
    return writeBytes(path, bytes);
}

Bytes slice(const Bytes &v, std::size_t from, std::size_t n) {
    return Bytes(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// Writes an EXR with tinyexr's own writer: one or more channels (names in
// alphabetical order), stored as half or float, as scanlines or in tiles.
bool saveExr(const std::string &path, int w, int h, std::vector<std::vector<float>> planes, bool half, int tile = 0) {
    const int n = static_cast<int>(planes.size());
    EXRHeader header;
    InitEXRHeader(&header);
    EXRImage image;
    InitEXRImage(&image);
    std::vector<EXRChannelInfo> info(static_cast<std::size_t>(n));
    std::vector<int> types(static_cast<std::size_t>(n), TINYEXR_PIXELTYPE_FLOAT);
    std::vector<int> stored(static_cast<std::size_t>(n), half ? TINYEXR_PIXELTYPE_HALF : TINYEXR_PIXELTYPE_FLOAT);
    for (int c = 0; c < n; ++c) {
        std::memset(&info[c], 0, sizeof info[c]);
        info[c].name[0] = static_cast<char>('A' + c);
    }
    header.num_channels = n;
    header.channels = info.data();
    header.pixel_types = types.data();
    header.requested_pixel_types = stored.data();
    header.compression_type = half ? TINYEXR_COMPRESSIONTYPE_ZIP : TINYEXR_COMPRESSIONTYPE_NONE;
    header.data_window = {0, 0, w - 1, h - 1};
    header.display_window = header.data_window;
    image.num_channels = n;
    image.width = w;
    image.height = h;
    std::vector<unsigned char *> rows;
    for (auto &p : planes) rows.push_back(reinterpret_cast<unsigned char *>(p.data()));
    // Tiles: each holds tile x tile samples per channel, stride tile.
    std::vector<EXRTile> tiles;
    std::vector<std::vector<float>> tileData;
    std::vector<std::vector<unsigned char *>> tilePtrs;
    if (tile) {
        header.tiled = 1;
        header.tile_size_x = header.tile_size_y = tile;
        header.tile_level_mode = TINYEXR_TILE_ONE_LEVEL;
        const int tx = (w + tile - 1) / tile, ty = (h + tile - 1) / tile;
        tiles.resize(static_cast<std::size_t>(tx * ty));
        tileData.resize(tiles.size() * n);
        tilePtrs.resize(tiles.size());
        for (int j = 0; j < ty; ++j)
            for (int i = 0; i < tx; ++i) {
                const std::size_t t = static_cast<std::size_t>(j * tx + i);
                EXRTile &e = tiles[t];
                std::memset(&e, 0, sizeof e);
                e.offset_x = i;
                e.offset_y = j;
                e.width = std::min(tile, w - i * tile);
                e.height = std::min(tile, h - j * tile);
                for (int c = 0; c < n; ++c) {
                    std::vector<float> &d = tileData[t * n + c];
                    d.assign(static_cast<std::size_t>(tile * tile), 0.0f);
                    for (int y = 0; y < e.height; ++y)
                        for (int x = 0; x < e.width; ++x)
                            d[y * tile + x] = planes[c][static_cast<std::size_t>(j * tile + y) * w + i * tile + x];
                    tilePtrs[t].push_back(reinterpret_cast<unsigned char *>(d.data()));
                }
                e.images = tilePtrs[t].data();
            }
        image.tiles = tiles.data();
        image.num_tiles = static_cast<int>(tiles.size());
    } else {
        image.images = rows.data();
    }
    const char *err = nullptr;
    int rc = SaveEXRImageToFile(&image, &header, path.c_str(), &err);
    if (err) FreeEXRErrorMessage(err);
    return rc == 0;
}

}  // namespace

TEST(OpenEXR, SpanOfTheFirstChannel) {
    TempDir dir;
    const float nan = std::nanf("");
    struct Case {
        const char *what;
        std::vector<float> first;
        float span;
    } cases[] = {
        {"constant", {0.25f, 0.25f, 0.25f, 0.25f, 0.25f, 0.25f}, 0.0f},
        {"-1 and 2", {-1.0f, 2.0f, 0.5f, 0.0f, 1.0f, 2.0f}, 3.0f},
        {"70000 and 1", {70000.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}, 69999.0f},
        {"only 70000", {70000.0f, 70000.0f, 70000.0f, 70000.0f, 70000.0f, 70000.0f}, 4465.0f},
        {"NaN is skipped", {nan, 0.5f, 1.5f, nan, 0.5f, 0.5f}, 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<float> other(6, -1000.0f);  // the second channel never counts
        const std::string own = put(dir, "own.exr", buildExr(3, 2, {{"A", c.first}, {"B", other}}));
        EXPECT_EQ(callExport("OpenEXR", own, 0), c.span) << "scanlines, independent writer";
        const std::string flt = dir.path("float.exr"), tiled = dir.path("tiled.exr");
        ASSERT_TRUE(saveExr(flt, 3, 2, {c.first, other}, false));
        EXPECT_EQ(callExport("OpenEXR", flt, 0), c.span) << "float";
        ASSERT_TRUE(saveExr(tiled, 3, 2, {c.first, other}, false, 2));
        EXPECT_EQ(callExport("OpenEXR", tiled, 0), c.span) << "tiled";
    }
    // Half channels are requested as float: 70000 overflows half to +inf.
    const std::string half = dir.path("half.exr");
    ASSERT_TRUE(saveExr(half, 2, 2, {{-1.0f, 2.0f, 0.5f, 0.25f}}, true));
    EXPECT_EQ(callExport("OpenEXR", half, 0), 3.0f);
    // A larger tiled map whose extreme lies in the last, partial tile.
    std::vector<float> big(300 * 170);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i % 97) / 97.0f;
    big.back() = 9.0f;
    const std::string bigTiled = dir.path("big.exr");
    ASSERT_TRUE(saveExr(bigTiled, 300, 170, {big}, false, 64));
    EXPECT_EQ(callExport("OpenEXR", bigTiled, 0), 9.0f);
}

TEST(OpenEXR, BadFilesGiveLoaderCodes) {
    TempDir dir;
    EXPECT_EQ(callExport("OpenEXR", nullptr, 0), -9.0f);
    EXPECT_EQ(callExport("OpenEXR", dir.path("none.exr"), 0), static_cast<float>(TINYEXR_ERROR_CANT_OPEN_FILE));
    EXPECT_EQ(callExport("OpenEXR", put(dir, "empty.exr", {}), 0), static_cast<float>(TINYEXR_ERROR_INVALID_FILE));
    EXPECT_EQ(callExport("OpenEXR", put(dir, "tiff.exr", TiffBuilder(5, 4, 3, 32).build()), 0),
              static_cast<float>(TINYEXR_ERROR_INVALID_MAGIC_NUMBER));
    // A data window wider or taller than 2^31 - 1 (its 32-bit bounds span
    // more) is refused before the decoder, whose sizes would wrap; the
    // widest window that fits is left to the decoder's own checks.
    {
        const std::vector<std::uint8_t> good = buildExr(2, 2, {{"A", {0.0f, 1.0f, 2.0f, 3.0f}}});
        static const char kWindow[] = "dataWindow\0box2i\0";
        auto it = std::search(good.begin(), good.end(), kWindow, kWindow + sizeof kWindow - 1);
        ASSERT_NE(it, good.end());
        const std::size_t at = static_cast<std::size_t>(it - good.begin()) + sizeof kWindow - 1 + 4;
        constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
        constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
        struct Window {
            const char *what;
            std::int32_t minX, minY, maxX, maxY;
            bool refused;
        } windows[] = {
            {"rows from -2^31 to 1", 0, kMin, 1, 1, true},
            {"rows from -1 to 2^31 - 1", 0, -1, 1, kMax, true},
            {"columns from -2^31 to 1", kMin, 0, 1, 1, true},
            {"2^31 - 1 rows", 0, 0, 1, kMax - 1, false},
            {"2^31 - 1 columns", 0, 0, kMax - 1, 1, false},
            {"the file's own window", 0, 0, 1, 1, false},
        };
        for (const Window &w : windows) {
            SCOPED_TRACE(w.what);
            std::vector<std::uint8_t> f = good;
            fileio::storeLE32(&f[at], static_cast<std::uint32_t>(w.minX));
            fileio::storeLE32(&f[at + 4], static_cast<std::uint32_t>(w.minY));
            fileio::storeLE32(&f[at + 8], static_cast<std::uint32_t>(w.maxX));
            fileio::storeLE32(&f[at + 12], static_cast<std::uint32_t>(w.maxY));
            const float r = callExport("OpenEXR", put(dir, "window.exr", f), 0);
            if (w.refused)
                EXPECT_EQ(r, static_cast<float>(TINYEXR_ERROR_INVALID_FILE));
            else
                EXPECT_NE(r, -9002.0f) << "the decoder threw";
        }
    }
    // Every truncated prefix of a float, a half and a tiled file fails
    // with a negative code and never crashes the decoder.
    const std::string flt = dir.path("f.exr"), half = dir.path("h.exr"), tiled = dir.path("t.exr");
    std::vector<float> plane(8 * 5);
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = 0.1f * static_cast<float>(i);
    ASSERT_TRUE(saveExr(flt, 8, 5, {plane}, false));
    ASSERT_TRUE(saveExr(half, 8, 5, {plane, plane}, true));
    ASSERT_TRUE(saveExr(tiled, 8, 5, {plane}, false, 4));
    for (const std::string &src : {flt, half, tiled}) {
        const std::vector<std::uint8_t> full = readBytes(src);
        ASSERT_GT(callExport("OpenEXR", src, 0), 0.0f);
        for (std::size_t n = 0; n < full.size(); ++n) {
            const std::string cut = dir.path("cut.exr");
            ASSERT_TRUE(rewrite(cut, slice(full, 0, n)));
            float r = callExport("OpenEXR", cut, 0);
            EXPECT_LT(r, 0.0f) << src << " cut at " << n;
        }
    }
}
#endif
