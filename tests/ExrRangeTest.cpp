// EXR maps: the first channel's span through tinyexr and, for the
// compressions tinyexr lacks, through the OpenEXR library; the two decoders
// against each other and against the library's own whole-image reading,
// and what each refuses.
#include "Platform.h"

#if !BRINDLEX_WINDOWS
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <half.h>
#include <tinyexr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "Brindlex.h"
#include "ExrRange.h"
#include "FileAccess.h"
#include "ListedResult.h"
#include "TestSupport.h"
#include "fixtures/ExrBuilder.h"
#include "fixtures/ExrLibraryWriter.h"
#include "fixtures/TiffBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string put(const TempDir& dir, const std::string& name, const Bytes& bytes) {
    std::string p = dir.path(name);
    EXPECT_TRUE(writeBytes(p, bytes));
    return p;
}

// Replaces a file by a new one: rewriting it in place waits for the old
// contents to reach the disk, hundreds of times over in the loops below.
bool rewrite(const std::string& path, const Bytes& bytes) {
    std::remove(path.c_str());
    return writeBytes(path, bytes);
}

Bytes slice(const Bytes& v, std::size_t from, std::size_t n) {
    return Bytes(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// Writes an EXR with tinyexr's own writer: one or more channels (names in
// alphabetical order), stored as half or float, as scanlines or in tiles.
bool saveExr(const std::string& path, int w, int h, std::vector<std::vector<float>> planes, bool half, int tile = 0) {
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
    std::vector<unsigned char*> rows;
    for (auto& p : planes) rows.push_back(reinterpret_cast<unsigned char*>(p.data()));
    // Tiles: each holds tile x tile samples per channel, stride tile.
    std::vector<EXRTile> tiles;
    std::vector<std::vector<float>> tileData;
    std::vector<std::vector<unsigned char*>> tilePtrs;
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
                EXRTile& e = tiles[t];
                std::memset(&e, 0, sizeof e);
                e.offset_x = i;
                e.offset_y = j;
                e.width = std::min(tile, w - i * tile);
                e.height = std::min(tile, h - j * tile);
                for (int c = 0; c < n; ++c) {
                    std::vector<float>& d = tileData[t * n + c];
                    d.assign(static_cast<std::size_t>(tile * tile), 0.0f);
                    for (int y = 0; y < e.height; ++y)
                        for (int x = 0; x < e.width; ++x)
                            d[y * tile + x] = planes[c][static_cast<std::size_t>(j * tile + y) * w + i * tile + x];
                    tilePtrs[t].push_back(reinterpret_cast<unsigned char*>(d.data()));
                }
                e.images = tilePtrs[t].data();
            }
        image.tiles = tiles.data();
        image.num_tiles = static_cast<int>(tiles.size());
    } else {
        image.images = rows.data();
    }
    const char* err = nullptr;
    int rc = SaveEXRImageToFile(&image, &header, path.c_str(), &err);
    if (err) FreeEXRErrorMessage(err);
    return rc == 0;
}

// The offset of the value of attribute name (of the given type) in a file.
std::size_t valueOf(const Bytes& f, const std::string& name, const std::string& type) {
    const std::string key = name + '\0' + type + '\0';
    const auto it = std::search(f.begin(), f.end(), key.begin(), key.end());
    EXPECT_NE(it, f.end()) << name;
    return static_cast<std::size_t>(it - f.begin()) + key.size() + 4;
}

void set32(Bytes& f, std::size_t at, std::int64_t v) { fileio::storeLE32(&f[at], static_cast<std::uint32_t>(v)); }

Bytes le32Bytes(std::uint32_t v) {
    return {Bytes::value_type(v), Bytes::value_type(v >> 8), Bytes::value_type(v >> 16), Bytes::value_type(v >> 24)};
}

// The offset table's first byte, in a well-formed file.
std::size_t headerEnd(const Bytes& f) {
    std::size_t at = 8;
    while (f[at] != 0) {
        at += std::strlen(reinterpret_cast<const char*>(&f[at])) + 1;
        at += std::strlen(reinterpret_cast<const char*>(&f[at])) + 1;
        at += 4 + fileio::loadLE32(&f[at]);
    }
    return at + 1;
}

// Adds an attribute after the header's last and moves each of the offset
// table's chunks entries along by its length, so the map stays whole.
Bytes withAttribute(const Bytes& f, const std::string& name, const std::string& type, const Bytes& value,
                    std::size_t chunks) {
    const std::size_t end = headerEnd(f) - 1;  // the empty name that ends the header
    Bytes a(name.begin(), name.end());
    a.push_back(0);
    a.insert(a.end(), type.begin(), type.end());
    a.push_back(0);
    const Bytes size = le32Bytes(static_cast<std::uint32_t>(value.size()));
    a.insert(a.end(), size.begin(), size.end());
    a.insert(a.end(), value.begin(), value.end());
    Bytes out(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(end));
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), f.begin() + static_cast<std::ptrdiff_t>(end), f.end());
    for (std::size_t i = 0; i < chunks; ++i) {
        std::uint8_t* entry = &out[end + 1 + a.size() + 8 * i];
        fileio::storeLE32(entry, static_cast<std::uint32_t>(fileio::loadLE32(entry) + a.size()));
    }
    return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(OpenEXR, SpanOfTheFirstChannel) {
    TempDir dir;
    const float nan = std::nanf("");
    struct Case {
        const char* what;
        std::vector<float> first;
        float span;
    } cases[] = {
        {"constant", {0.25f, 0.25f, 0.25f, 0.25f, 0.25f, 0.25f}, 0.0f},
        {"-1 and 2", {-1.0f, 2.0f, 0.5f, 0.0f, 1.0f, 2.0f}, 3.0f},
        {"70000 and 1", {70000.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}, 69999.0f},
        {"only 70000", {70000.0f, 70000.0f, 70000.0f, 70000.0f, 70000.0f, 70000.0f}, 4465.0f},
        {"NaN is skipped", {nan, 0.5f, 1.5f, nan, 0.5f, 0.5f}, 1.0f},
    };
    for (const Case& c : cases) {
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
            const char* what;
            std::int32_t minX, minY, maxX, maxY;
            bool refused;
        } windows[] = {
            {"rows from -2^31 to 1", 0, kMin, 1, 1, true},    {"rows from -1 to 2^31 - 1", 0, -1, 1, kMax, true},
            {"columns from -2^31 to 1", kMin, 0, 1, 1, true}, {"2^31 - 1 rows", 0, 0, 1, kMax - 1, false},
            {"2^31 - 1 columns", 0, 0, kMax - 1, 1, false},   {"the file's own window", 0, 0, 1, 1, false},
        };
        for (const Window& w : windows) {
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
    for (const std::string& src : {flt, half, tiled}) {
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
// Headers on which tinyexr would stop the process with an assertion are
// refused before it runs; the same attributes where tinyexr passes them by
// leave the map measured.
TEST(OpenEXR, HeadersTinyexrWouldAbortOnAreRefused) {
    TempDir dir;
    constexpr std::uint32_t kTiled = 0x200;
    auto tiles = [](std::uint32_t w, std::uint32_t h, std::uint8_t mode, std::size_t size = 9) {
        std::vector<std::uint8_t> v(size, 0);
        for (int i = 0; i < 4 && i < static_cast<int>(size); ++i) v[i] = static_cast<std::uint8_t>(w >> (8 * i));
        for (int i = 0; i < 4 && i + 4 < static_cast<int>(size); ++i)
            v[i + 4] = static_cast<std::uint8_t>(h >> (8 * i));
        if (size > 8) v[8] = mode;
        return ExrAttribute{"tiles", "tiledesc", v};
    };
    auto type = [](const std::string& name) {
        return ExrAttribute{"type", "string", std::vector<std::uint8_t>(name.begin(), name.end())};
    };
    struct Case {
        const char* what;
        std::vector<ExrAttribute> extra;
        std::uint32_t flags;
        float code;
    } cases[] = {
        {"no extra attribute", {}, 0, 3.0f},
        {"tiles of 8 bytes in a tiled file", {tiles(2, 2, 0, 8)}, kTiled, exr::kRefused},
        {"tiles of 10 bytes in a tiled file", {tiles(2, 2, 0, 10)}, kTiled, exr::kRefused},
        {"tiles of 8 bytes in a scanline file: an attribute like any other", {tiles(2, 2, 0, 8)}, 0, 3.0f},
        {"tiles no columns wide", {tiles(0, 2, 0)}, kTiled, exr::kRefused},
        {"tiles no rows tall", {tiles(2, 0, 0)}, kTiled, exr::kRefused},
        {"the level mode 3", {tiles(2, 2, 3)}, kTiled, exr::kRefused},
        {"a tiled image type in a scanline file", {type("tiledimage")}, 0, exr::kRefused},
        {"a deep tiled image type in a scanline file", {type("deeptile")}, 0, exr::kRefused},
        {"a type tinyexr does not know", {type("flatimage")}, 0, exr::kRefused},
        {"a scanline image type after a NUL", {type(std::string("scanlineimage\0x", 15))}, 0, 3.0f},
        {"an empty type", {type(std::string(1, '\0'))}, 0, 3.0f},
        {"a scanline image type in a tiled file", {tiles(1, 1, 0), type("scanlineimage")}, kTiled, exr::kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes f = buildExr(2, 2, {{"A", {0.0f, 1.0f, 2.0f, 3.0f}}}, c.extra, c.flags);
        EXPECT_EQ(callExport("OpenEXR", put(dir, "header.exr", f), 0), c.code);
    }
}

// Headers that claim more than their file holds are refused before
// tinyexr allocates the whole image from them: an offset table past the
// end, a single tile of more than 128 MiB of float samples, or more than
// 4096 such bytes per byte of the file beyond 128 MiB.
TEST(OpenEXR, HeadersClaimingMoreThanTheFileAreRefusedBeforeTinyexr) {
    TempDir dir;
    std::vector<float> column(40);
    for (std::size_t i = 0; i < column.size(); ++i) column[i] = static_cast<float>(i);
    const Bytes lines = buildExr(2, 20, {{"A", column}});  // 20 chunks of one row
    std::vector<float> plane(8 * 5);
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = 0.5f * static_cast<float>(i);
    const std::string tiledPath = dir.path("tiled.exr");
    ASSERT_TRUE(saveExr(tiledPath, 8, 5, {plane}, false, 4));  // 2 x 2 tiles of 4 x 4
    const Bytes tiles = readBytes(tiledPath);
    const std::size_t window = valueOf(lines, "dataWindow", "box2i"), tileDesc = valueOf(tiles, "tiles", "tiledesc");
    struct Case {
        const char* what;
        bool tiled;
        std::function<void(Bytes&)> damage;
        float code;
    } cases[] = {
        {"the scanline map itself", false, [](Bytes&) {}, 39.0f},
        {"the tiled map itself", true, [](Bytes&) {}, 19.5f},
        {"rows past the offset table", false, [&](Bytes& f) { set32(f, window + 12, 100); }, exr::kRefused},
        {"8M columns of 20 rows: 640 MiB", false, [&](Bytes& f) { set32(f, window + 8, 8388607); }, exr::kRefused},
        {"a tile of 8192 x 8192: 256 MiB", true,
         [&](Bytes& f) {
             set32(f, tileDesc, 8192);
             set32(f, tileDesc + 4, 8192);
         },
         exr::kRefused},
        {"four mipmap levels of 4096 x 4096 tiles: 256 MiB", true,
         [&](Bytes& f) {
             set32(f, tileDesc, 4096);
             set32(f, tileDesc + 4, 4096);
             f[tileDesc + 8] = 1;
         },
         exr::kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = c.tiled ? tiles : lines;
        c.damage(f);
        EXPECT_EQ(callExport("OpenEXR", put(dir, "claim.exr", f), 0), c.code);
    }
}

namespace {

// ---------------------------------------------------------------------------
// Maps written by the OpenEXR library.

constexpr const char* kCompressionNames[] = {"none",  "RLE", "ZIPS", "ZIP",  "PIZ",
                                             "PXR24", "B44", "B44A", "DWAA", "DWAB"};
constexpr int kUint = 0, kHalf = 1, kFloat = 2;

// The span by the library's own whole-image reading: every sample of the
// file's first channel as float, read in one call.
float referenceSpan(const std::string& path) {
    Imf::InputFile in(path.c_str(), 0);
    const Imath::Box2i dw = in.header().dataWindow();
    const Imf::ChannelList::ConstIterator first = in.header().channels().begin();
    const int xs = first.channel().xSampling, ys = first.channel().ySampling;
    std::vector<float> v(static_cast<std::size_t>((dw.max.x - dw.min.x + 1) / xs) * ((dw.max.y - dw.min.y + 1) / ys));
    Imf::FrameBuffer fb;
    fb.insert(first.name(), Imf::Slice::Make(Imf::FLOAT, v.data(), dw, 0, 0, xs, ys));
    in.setFrameBuffer(fb);
    in.readPixels(dw.min.y, dw.max.y);
    float hi = -65535.0f, lo = 65535.0f;
    for (float x : v) {
        if (x > hi) hi = x;
        if (x < lo) lo = x;
    }
    return hi - lo;
}

// The span of values as a file of the given pixel type stores them, NaN
// skipped.
float sourceSpan(const std::vector<float>& values, int type) {
    float hi = -65535.0f, lo = 65535.0f;
    for (float v : values) {
        if (type == kHalf) v = static_cast<float>(half(v));
        if (type == kUint) v = static_cast<float>(static_cast<unsigned>(v));
        if (std::isnan(v)) continue;
        hi = std::max(hi, v);
        lo = std::min(lo, v);
    }
    return hi - lo;
}

// tinyexr's verdict on a file's header: 0, or its refusal.
int tinyexrHeaderCode(const std::string& path) {
    EXRVersion version;
    int rc = ParseEXRVersionFromFile(&version, path.c_str());
    if (rc != 0) return rc;
    EXRHeader header;
    InitEXRHeader(&header);
    const char* err = nullptr;
    rc = ParseEXRHeaderFromFile(&header, &version, path.c_str(), &err);
    if (err) FreeEXRErrorMessage(err);
    FreeEXRHeader(&header);
    return rc;
}

// A smooth first channel (lossy compressions keep it close) whose extremes
// lie in the last chunk and far from the first sample, with one NaN.
std::vector<float> firstPlane(int w, int h) {
    std::vector<float> v(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) v[static_cast<std::size_t>(y) * w + x] = 1.0f + 0.02f * x + 0.01f * y;
    auto at = [&](int x, int y) -> float& { return v[static_cast<std::size_t>(y) * w + x]; };
    at(std::max(w - 2, 0), std::max(h - 3, 0)) = 12.25f;
    at(std::min(3, w - 1), h - 1) = -3.5f;
    at(5 % w, 1 % h) = std::nanf("");
    return v;
}

// Channels whose span is far wider than the first's, so reading the wrong
// channel cannot pass.
std::vector<float> otherPlane(int w, int h, float sign) {
    std::vector<float> v(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = sign * (i % 2 ? 1000.0f : -900.0f);
    return v;
}

LibraryExrMap map(int compression, int type, int channels, int w, int h, int tile = 0, int levels = 0) {
    LibraryExrMap m;
    m.width = w;
    m.height = h;
    m.compression = compression;
    m.tile = tile;
    m.levels = levels;
    if (channels == 1) {
        m.channels = {{"Y", type, firstPlane(w, h)}};
    } else {
        m.channels = {
            {"B", type, firstPlane(w, h)}, {"G", type, otherPlane(w, h, 1.0f)}, {"R", type, otherPlane(w, h, -1.0f)}};
    }
    return m;
}

// Whether the compression keeps every value of the pixel type: B44 and
// B44A store float channels as they are, PXR24 keeps half and UINT.
bool lossless(int compression, int type) {
    if (compression <= 4) return true;
    if (compression == 5) return type != kFloat;
    if (compression == 6 || compression == 7) return type != kHalf;
    return false;
}

}  // namespace

// The 40 kinds of map an artist's tool writes: ten compressions, half and
// float, grey and RGB, each with a NaN and with a second DWAB chunk.
// Every one is measured, the same as the library's own reading measures it;
// where tinyexr reads the file, its span and the library's agree.
TEST(OpenEXR, EveryCompressionPixelTypeAndChannelCount) {
    TempDir dir;
    const int w = 37, h = 270;
    for (int c = 0; c < 10; ++c)
        for (int type : {kHalf, kFloat})
            for (int channels : {1, 3})
                for (int tile : {0, 16}) {
                    if (tile && channels == 1) continue;  // tiles: RGB only, with mipmap levels
                    SCOPED_TRACE(std::string(kCompressionNames[c]) + (type == kHalf ? " half " : " float ") +
                                 (channels == 1 ? "grey" : "RGB") + (tile ? " tiled" : ""));
                    const LibraryExrMap m = map(c, type, channels, w, h, tile, tile ? 1 : 0);
                    const std::string path = put(dir, "map.exr", writeExrWithLibrary(m));
                    const float reference = referenceSpan(path);
                    // Lossy kinds decode to other values (DWA spreads the NaN
                    // through its block); there the library's reading is the
                    // only measure.
                    if (lossless(c, type)) {
                        EXPECT_EQ(reference, sourceSpan(m.channels[0].values, type));
                    }
                    EXPECT_EQ(tinyexrHeaderCode(path), c <= 4 ? 0 : TINYEXR_ERROR_UNSUPPORTED_FORMAT);
                    EXPECT_EQ(callExport("OpenEXR", path, 0), reference);
                    EXPECT_EQ(openExrLibraryRange(path.c_str()), reference) << "the library's reading alone";
                }
}

// The library's reading follows the same rules as tinyexr's: the start
// values, NaN skipped, the first channel by the file's order, UINT samples
// as float, only the first level of tiles, wherever the window lies.
TEST(OpenEXR, LibraryReadingFollowsTheSameRules) {
    TempDir dir;
    const float nan = std::nanf("");
    auto grey = [](int compression, int type, int w, int h, std::vector<float> v) {
        LibraryExrMap m;
        m.width = w;
        m.height = h;
        m.compression = compression;
        m.channels = {{"Y", type, std::move(v)}};
        return m;
    };
    LibraryExrMap sampled;  // a luminance and chroma map: BY sampled 2 x 2 comes first
    sampled.width = 8;
    sampled.height = 6;
    sampled.originX = -4;
    sampled.originY = 6;
    sampled.compression = 5;
    sampled.channels = {
        {"Y", kHalf, std::vector<float>(48, 100.0f)},
        {"BY", kHalf, {0.5f, 0.25f, 0.75f, -0.5f, 0.0f, 0.125f, 1.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}, 2, 2}};
    LibraryExrMap shifted = grey(6, kFloat, 3, 2, {4.0f, 5.0f, 6.0f, 7.0f, 8.0f, 9.5f});
    shifted.originX = -7;
    shifted.originY = 1000;
    LibraryExrMap ripmap = grey(7, kFloat, 9, 7, std::vector<float>(63, 2.0f));
    ripmap.channels[0].values[62] = 3.0f;
    ripmap.tile = 4;
    ripmap.levels = 2;
    LibraryExrMap named = grey(9, kFloat, 2, 1, {});  // written Z then A; A is the file's first
    named.channels = {{"Z", kFloat, {-5000.0f, 5000.0f}}, {"A", kFloat, {1.0f, 3.0f}}};
    struct Case {
        const char* what;
        LibraryExrMap map;
        float span;
    } cases[] = {
        {"NaN skipped", grey(6, kFloat, 3, 2, {nan, 0.5f, 1.5f, nan, 0.5f, 0.5f}), 1.0f},
        {"only NaN: the start values", grey(6, kFloat, 2, 1, {nan, nan}), exr::kNoPixels},
        {"constant", grey(7, kFloat, 2, 2, {0.25f, 0.25f, 0.25f, 0.25f}), 0.0f},
        {"one pixel", grey(8, kHalf, 1, 1, {5.0f}), 0.0f},
        {"only 70000: below the high start value", grey(6, kFloat, 2, 1, {70000.0f, 70000.0f}), 4465.0f},
        {"70000 and 1", grey(6, kFloat, 2, 1, {70000.0f, 1.0f}), 69999.0f},
        {"UINT samples as float", grey(5, kUint, 2, 2, {0.0f, 4000000000.0f, 7.0f, 9.0f}), 4000000000.0f},
        {"a sampled first channel off the origin", sampled, 2.0f},
        {"a window off the origin", shifted, 5.5f},
        {"ripmap levels below the first are not read", ripmap, 1.0f},
        {"the first channel by name", named, 2.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = put(dir, "rule.exr", writeExrWithLibrary(c.map));
        EXPECT_EQ(tinyexrHeaderCode(path), TINYEXR_ERROR_UNSUPPORTED_FORMAT);
        EXPECT_EQ(callExport("OpenEXR", path, 0), c.span);
        EXPECT_EQ(openExrLibraryRange(path.c_str()), c.span);
    }
}

// What the library is not given: every header whose sizes it would take on
// trust beyond the file is refused (-5) before it runs, an empty window or
// an empty channel list measures nothing, and whatever the library itself
// fails on is its own code, -800, never the guard's. Headers damaged ahead
// of the compression attribute stay tinyexr's to refuse.
TEST(OpenEXR, LibraryHeadersRefusedBeforeItAllocates) {
    TempDir dir;
    constexpr float kMeasured = 1.0e9f;         // the map's own span
    LibraryExrMap m = map(6, kHalf, 3, 8, 40);  // B44: two chunks of 32 rows
    const Bytes lines = writeExrWithLibrary(m);
    m.tile = 4;
    m.levels = 1;
    const Bytes tiles = writeExrWithLibrary(m);
    const std::size_t window = valueOf(lines, "dataWindow", "box2i"), chlist = valueOf(lines, "channels", "chlist");
    const std::size_t tileDesc = valueOf(tiles, "tiles", "tiledesc");
    const std::size_t firstChunk = fileio::loadLE32(&lines[headerEnd(lines)]);
    struct Case {
        const char* what;
        bool tiled;
        std::function<void(Bytes&)> damage;
        float code;
        bool tinyexrFirst = false;  // the damage lies where tinyexr reads before the compression
    } cases[] = {
        {"the map itself", false, [](Bytes&) {}, kMeasured},
        {"the tiled map itself", true, [](Bytes&) {}, kMeasured},
        {"rows past the offset table", false, [&](Bytes& f) { set32(f, window + 12, 100039); }, exr::kRefused},
        {"a chunk wider than the library may allocate", false, [&](Bytes& f) { set32(f, window + 8, 1 << 26); },
         exr::kRefused},
        {"a window wider than 2^31 - 1", false,
         [&](Bytes& f) {
             set32(f, window, std::numeric_limits<std::int32_t>::min());
             set32(f, window + 8, 1);
         },
         exr::kRefused},
        {"a window no rows tall", false, [&](Bytes& f) { set32(f, window + 12, -1); }, exr::kNoPixels},
        {"a window no columns wide", false, [&](Bytes& f) { set32(f, window + 8, -1); }, exr::kNoPixels},
        {"a channel of pixel type 3", false, [&](Bytes& f) { set32(f, chlist + 2, 3); }, exr::kRefused, true},
        {"a channel sampled 0 times across", false, [&](Bytes& f) { set32(f, chlist + 2 + 8, 0); }, exr::kRefused,
         true},
        {"a channel sampled every 3 rows of 40", false, [&](Bytes& f) { set32(f, chlist + 2 + 12, 3); }, exr::kRefused,
         true},
        {"channel names out of order", false, [&](Bytes& f) { f[chlist] = 'S'; }, exr::kRefused, true},
        {"a second channel list", false,
         [&](Bytes& f) {
             f = withAttribute(
                 f, "channels", "chlist",
                 concat({text("A"), Bytes(1), le32Bytes(1), Bytes(4), le32Bytes(1), le32Bytes(1), Bytes(1)}), 2);
         },
         exr::kRefused},
        {"a preview that holds its pixels", false,
         [&](Bytes& f) {
             f = withAttribute(f, "preview", "preview", concat({le32Bytes(1), le32Bytes(1), Bytes(4, 9)}), 2);
         },
         kMeasured},
        {"a preview claiming more pixels than it holds", false,
         [&](Bytes& f) {
             f = withAttribute(f, "preview", "preview", concat({le32Bytes(1000), le32Bytes(1000), Bytes(4, 9)}), 2);
         },
         exr::kRefused},
        {"a string vector", false,
         [&](Bytes& f) {
             f = withAttribute(f, "names", "stringvector", concat({le32Bytes(3), text("abc"), le32Bytes(0)}), 2);
         },
         kMeasured},
        {"a string vector whose string runs past it", false,
         [&](Bytes& f) {
             f = withAttribute(f, "names", "stringvector", concat({le32Bytes(10), text("abc")}), 2);
         },
         exr::kRefused},
        {"a float vector of 6 bytes", false,
         [&](Bytes& f) { f = withAttribute(f, "weights", "floatvector", Bytes(6), 2); }, exr::kRefused},
        {"a box2f of 15 bytes", false, [&](Bytes& f) { f = withAttribute(f, "crop", "box2f", Bytes(15), 2); },
         exr::kRefused},
        {"a type the library does not know", false,
         [&](Bytes& f) { f = withAttribute(f, "notes", "sketchNotes", text("hello"), 2); }, kMeasured},
        {"an attribute without a type name", false, [&](Bytes& f) { f = withAttribute(f, "notes", "", Bytes(4), 2); },
         exr::kRefused},
        {"an attribute running past the end", false,
         [&](Bytes& f) { set32(f, valueOf(f, "screenWindowWidth", "float") - 4, 0x10000); }, exr::kRefused},
        {"no end to the header", false, [&](Bytes& f) { f.resize(valueOf(f, "screenWindowWidth", "float") + 4); },
         exr::kRefused},
        {"tiles no columns wide", true, [&](Bytes& f) { set32(f, tileDesc, 0); }, exr::kRefused},
        {"tiles too large to decode", true,
         [&](Bytes& f) {
             set32(f, tileDesc, 1 << 15);
             set32(f, tileDesc + 4, 1 << 15);
         },
         exr::kRefused},
        {"a level mode past ripmap", true, [&](Bytes& f) { f[tileDesc + 8] = 3; }, exr::kRefused},
        {"more tiles than the offset table holds", true,
         [&](Bytes& f) {
             set32(f, tileDesc, 1);
             set32(f, tileDesc + 4, 1);
         },
         exr::kRefused},
        // What passes the walk and fails in the library.
        {"pixel data cut short", false, [](Bytes& f) { f.pop_back(); }, exr::kLibraryFailed},
        {"a version flag the library does not know", false, [](Bytes& f) { f[6] |= 0x40; }, exr::kLibraryFailed},
        {"a chunk claiming more bytes than its rows hold", false,
         [&](Bytes& f) { set32(f, firstChunk + 4, 0x7FFFFFFF); }, exr::kLibraryFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = c.tiled ? tiles : lines;
        c.damage(f);
        const std::string path = put(dir, "damaged.exr", f);
        const float expected =
            c.code == kMeasured ? referenceSpan(put(dir, "whole.exr", c.tiled ? tiles : lines)) : c.code;
        EXPECT_EQ(openExrLibraryRange(path.c_str()), expected);
        const float r = callExport("OpenEXR", path, 0);
        if (c.tinyexrFirst) {
            EXPECT_LT(r, 0.0f);
            EXPECT_NE(r, hostcall::kInternalFailure);
        } else {
            EXPECT_EQ(r, expected);
        }
    }
}

// Every prefix of small maps in the library's compressions, and each with
// any one byte changed, gives a span or a code of the export's table from
// the export and from the library's reading alone: never the guard's.
TEST(OpenEXR, LibraryMapsCutOrDamagedGiveCodes) {
    TempDir dir;
    auto valid = [](float r) {
        if (r >= 0.0f || r == exr::kNoPixels || r == exr::kLibraryFailed) return true;
        return r >= -13.0f && r == std::floor(r);  // tinyexr's codes, -5 among them
    };
    LibraryExrMap tiled = map(7, kHalf, 3, 6, 6, 4, 1);
    const LibraryExrMap maps[] = {map(5, kFloat, 1, 5, 20), tiled, map(8, kHalf, 3, 9, 33), map(9, kFloat, 1, 4, 3)};
    for (const LibraryExrMap& m : maps) {
        SCOPED_TRACE(kCompressionNames[m.compression]);
        const Bytes full = writeExrWithLibrary(m);
        const std::string path = dir.path("cut.exr");
        const float span = referenceSpan(put(dir, "whole.exr", full));
        for (std::size_t n = 0; n < full.size(); ++n) {
            ASSERT_TRUE(rewrite(path, slice(full, 0, n)));
            const float r = callExport("OpenEXR", path, 0), alone = openExrLibraryRange(path.c_str());
            // A cut among the lower levels of tiles leaves the first whole.
            EXPECT_TRUE(r < 0.0f || r == span) << r << " cut at " << n;
            EXPECT_TRUE(valid(r)) << r << " cut at " << n;
            EXPECT_TRUE(alone < 0.0f || alone == span) << alone << " cut at " << n;
            EXPECT_TRUE(valid(alone)) << alone << " cut at " << n;
        }
        for (std::size_t at = 0; at < full.size(); ++at) {
            Bytes f = full;
            f[at] ^= 0xFF;
            ASSERT_TRUE(rewrite(path, f));
            const float r = callExport("OpenEXR", path, 0), alone = openExrLibraryRange(path.c_str());
            EXPECT_TRUE(valid(r)) << r << " byte " << at << " changed";
            EXPECT_TRUE(valid(alone)) << alone << " byte " << at << " changed";
        }
    }
}

// Each code the EXR range lists, from a file with its cause: the header
// flags and attributes of a valid file changed one at a time.
TEST(OpenEXR, EachListedCodeFromItsCause) {
    TempDir dir;
    const std::vector<std::uint8_t> good = buildExr(2, 2, {{"A", {0.0f, 1.0f, 2.0f, 3.0f}}});
    // The first byte of an attribute's value.
    auto valueOf = [&](const std::vector<std::uint8_t>& f, const std::string& nameAndType) {
        auto it = std::search(f.begin(), f.end(), nameAndType.begin(), nameAndType.end());
        EXPECT_NE(it, f.end()) << nameAndType;
        return static_cast<std::size_t>(it - f.begin()) + nameAndType.size() + 4;
    };
    using Edit = std::function<void(std::vector<std::uint8_t>&)>;
    struct Case {
        const char* what;
        Edit edit;
        float code;
    } cases[] = {
        {"version 3", [](auto& f) { f[4] = 3; }, exr::kBadVersion},
        {"multipart", [](auto& f) { f[5] |= 0x10; }, exr::kUnsupported},
        {"deep", [](auto& f) { f[5] |= 0x08; }, exr::kUnsupported},
        {"unknown compression", [&](auto& f) { f[valueOf(f, std::string("compression\0compression\0", 24))] = 200; },
         exr::kUnsupportedFormat},
        {"no screenWindowCenter",
         [](auto& f) {
             static const std::string name = "screenWindowCenter";
             auto it = std::search(f.begin(), f.end(), name.begin(), name.end());
             it[name.size() - 1] = 'x';
         },
         exr::kBadHeader},
        {"the first offset past the end",
         [&](auto& f) {
             const std::size_t table = valueOf(f, std::string("screenWindowWidth\0float\0", 24)) + 4 + 1;
             fileio::storeLE32(&f[table], 0x7FFFFFF0u);
         },
         exr::kBadData},
        {"only NaN in the first channel",
         [](auto& f) {
             f = buildExr(2, 2, {{"A", std::vector<float>(4, std::nanf(""))}});
         },
         exr::kNoPixels},
        {"seven bytes", [](auto& f) { f.resize(7); }, exr::kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> f = good;
        c.edit(f);
        const float r = callExport("OpenEXR", put(dir, "case.exr", f), 0);
        EXPECT_EQ(r, c.code);
        EXPECT_TRUE(isListedResult("OpenEXR", r));
    }
}
#endif
