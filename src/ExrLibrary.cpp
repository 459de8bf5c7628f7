#include "ExrLibrary.h"

#include <Iex.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfTileDescription.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "ExrHeader.h"
#include "ExrRange.h"
#include "HostCall.h"

// The library reads the header attribute by attribute and sizes what it
// allocates from the values it reads, so the walk below reads the header
// exactly as the library will and refuses it unless every size the library
// derives from it is bounded by the file: each attribute inside the file,
// each value of a known type as long as that type reads, the offset table
// inside the file and each chunk's decoded size within kMaxBlockBytes.

namespace exr {

namespace {

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

}  // namespace

// The first channel is read a band of rows at a time (a chunk or a row of
// tiles), as float.
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

}  // namespace exr
