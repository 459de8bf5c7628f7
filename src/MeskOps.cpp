#include "MeskOps.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "FileAccess.h"
#include "FileOps.h"
#include "Platform.h"
#include "StreamFloat.h"

#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#endif

std::vector<std::string> _UVTileStr;
std::set<std::string> _UVtilesOut;
std::vector<std::uint32_t> _faceID;

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

bool loadMesk(const char* path, MeskImage& image) {
    // One whole-file read; a read that fails part way gives no image
    // rather than a silently shortened one.
    return fileio::loadFile(path, image) == fileio::Load::Ok;
}

std::optional<MeskChunk> meskChunkAt(MeskView image, std::uint64_t pos) {
    if (pos > image.size() || image.size() - pos < kMeskChunkHeaderSize) return std::nullopt;
    const std::uint8_t* p = image.data() + pos;
    MeskChunk c;
    c.pos = pos;
    c.tag = fileio::loadLE32(p);
    c.size = fileio::loadLE32(p + 4);
    c.count = fileio::loadLE32(p + 8);
    return c;
}

bool meskElementsFit(MeskView image, const MeskChunk& chunk, std::size_t elemSize) {
    // count < 2^32 and elemSize <= 32, so the product cannot wrap 64 bits.
    std::uint64_t first = chunk.first();
    if (first > image.size()) return false;
    return static_cast<std::uint64_t>(chunk.count) * elemSize <= image.size() - first;
}

std::optional<MeskChunk> findMeskChunk(MeskView image, std::uint32_t tag, std::uint64_t start) {
    std::optional<MeskChunk> c = meskChunkAt(image, start);
    // Each step moves at least one byte forward and stops once a header no
    // longer fits, so a chain of zero-size chunks ends at the image's end.
    while (c) {
        if (c->tag == tag) return c;
        c = meskChunkAt(image, c->next());
    }
    return std::nullopt;
}

std::optional<MeskChunk> findMeskElements(MeskView image, std::uint32_t tag, std::size_t elemSize,
                                          std::uint64_t start) {
    std::optional<MeskChunk> c = findMeskChunk(image, tag, start);
    if (c && !meskElementsFit(image, *c, elemSize)) return std::nullopt;
    return c;
}

// --- UV tiles ---------------------------------------------------------------

namespace {

// float to int32 truncated toward zero, saturated, NaN as 0.
inline std::int32_t truncSatPortable(float t) {
    if (!(t == t)) return 0;
    if (t >= 2147483648.0f) return INT32_MAX;
    if (t < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(t);
}

#if BRINDLEX_X86_SIMD
// The truncating conversion gives INT32_MIN for NaN and for everything out
// of range; only then is the value looked at more closely.
inline std::int32_t truncSatSse2(float t) {
    const std::int32_t i = _mm_cvttss_si32(_mm_set_ss(t));
    return i != INT32_MIN ? i : truncSatPortable(t);
}
#endif

// The widest path this build has, inlined.
inline std::int32_t truncSat(float t) {
#if BRINDLEX_X86_SIMD
    return truncSatSse2(t);
#else
    return truncSatPortable(t);
#endif
}

// One number per (U, V) pair of tile indices.
std::uint64_t tileKey(std::int32_t U, std::int32_t V) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(U)) << 32) | static_cast<std::uint32_t>(V);
}

}  // namespace

bool truncSatWith(int path, float t, std::int32_t& out) {
    switch (path) {
        case simd::kPortable:
            out = truncSatPortable(t);
            return true;
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            out = truncSatSse2(t);
            return true;
#endif
        default:
            return false;
    }
}

std::int32_t uvTileIndex(float w) { return truncSat(w < 0.0f ? w - 1.0f : w); }

void uvLocal(float w, std::int32_t& index, float& local) {
    float t = w < 0.0f ? w - 1.0f : w;
    index = truncSat(t);
    float f = t - static_cast<float>(index);
    local = f < 0.0f ? f + 1.0f : f;
}

std::string uvTileName(std::int32_t U, std::int32_t V, int mode) {
    const long long u = U, v = V;
    switch (mode) {
        case 1:
            return "_u" + std::to_string(u + 1) + "_v" + std::to_string(v + 1);
        case 2:
            return std::to_string(1001 + u + 10 * v);
        case 3:
            return "u" + std::to_string(u) + "v" + std::to_string(v);
        default:
            return "_u" + std::to_string(u) + "_v" + std::to_string(v);
    }
}

void collectUVTiles(MeskView image, const MeskChunk& uv, int mode, UVTileSet& tiles, std::string& last) {
    tiles.clear();
    last.clear();
    const bool filter = mode == 2 && !_UVtilesOut.empty();
    // Names are made once per distinct (U, V) pair. Pairs are met in face
    // order, so the first face that produces a name still fixes its tile.
    std::unordered_map<std::uint64_t, std::string> names;
    const std::uint8_t* p = image.data() + uv.first();
    std::uint64_t lastKey = 0;
    const std::string* lastName = nullptr;
    for (std::uint32_t f = 0; f < uv.count; ++f, p += kMeskUVSize) {
        const std::int32_t U = uvTileIndex(fileio::loadLEf32(p)), V = uvTileIndex(fileio::loadLEf32(p + 4));
        const std::uint64_t key = tileKey(U, V);
        if (lastName && key == lastKey) continue;
        auto found = names.find(key);
        if (found == names.end()) {
            found = names.emplace(key, uvTileName(U, V, mode)).first;
            const std::string& name = found->second;
            if (!filter || _UVtilesOut.count(name)) tiles.insert(UV_tile{name, U, V});
        }
        lastKey = key;
        lastName = &found->second;
    }
    if (lastName) last = *lastName;
}

float GetUVTile(const char* path, std::optional<std::string>& out, int mode) {
    out.reset();
    // Nothing is written, so the file is read through a mapping.
    fileio::MappedFile file;
    if (file.open(path) != fileio::Load::Ok) return kMeskQueryCannotOpen;
    const MeskView image(file.data(), file.size());
    std::optional<MeskChunk> uv = findMeskElements(image, kMeskUVTag, kMeskUVSize);
    if (!uv) return kMeskNoChunk;
    UVTileSet tiles;
    std::string last;
    collectUVTiles(image, *uv, mode, tiles, last);
    out = std::move(last);
    return static_cast<float>(tiles.size());
}

void getUVTileString(int index, std::optional<std::string>& out) {
    out.reset();
    if (index >= 0 && static_cast<std::size_t>(index) < _UVTileStr.size())
        out = _UVTileStr[static_cast<std::size_t>(index)];
}

void clearUVTileString() { _UVTileStr.clear(); }

// --- Tile selection -----------------------------------------------------------

namespace {

// An int read as a standard input stream reads one: leading white space,
// an optional sign, digits; no digits give 0, too many saturate.
int streamInt(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long v = 0;
    bool any = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        any = true;
        if (v <= 1LL << 32) v = v * 10 + (s[i] - '0');
    }
    if (!any) return 0;
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

void addTileName(std::string name, std::set<std::string>& selection) {
    if (selection.size() < kMaxTileSelection) selection.insert(std::move(name));
}

}  // namespace

void addTileListLine(const std::string& line, std::set<std::string>& selection) {
    std::string text;
    text.reserve(line.size());
    for (char c : line)
        if (c != ' ') text.push_back(c);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string token = text.substr(start, comma - start);
        start = comma + 1;
        if (token.empty()) continue;
        const std::size_t dash = token.find('-');
        if (dash == std::string::npos) {
            addTileName(std::move(token), selection);
            continue;
        }
        const long long a = streamInt(token.substr(0, dash)), b = streamInt(token.substr(dash + 1));
        for (long long i = a; i <= b && selection.size() < kMaxTileSelection; ++i)
            addTileName(std::to_string(i), selection);
    }
}

float setUVtilesOut(const char* path) {
    _UVtilesOut.clear();
    // Text mode: the Windows build drops the carriage return before each
    // line feed, the POSIX build keeps it as the line's last character.
    fileio::File f = fileio::open(path, "r");
    if (!f) return kTileListCannotOpen;
    std::vector<std::uint8_t> text;
    fileio::readRest(f.get(), text);  // a failing read ends the list where it failed
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size() && text[end] != '\n') ++end;
        addTileListLine(std::string(text.begin() + static_cast<std::ptrdiff_t>(start),
                                    text.begin() + static_cast<std::ptrdiff_t>(end)),
                        _UVtilesOut);
        start = end + 1;
    }
    return 0.0f;
}

void clearUVtilesOut() { _UVtilesOut.clear(); }

// --- Per-tile extraction --------------------------------------------------------

namespace {

constexpr std::uint8_t kEndBlock[kMeskEndBlockSize] = {};

// Every split starts from an empty tile name list, whatever comes of it,
// and from the mesh loaded whole.
bool loadForSplit(const char* path, MeskImage& image) {
    _UVTileStr.clear();
    return loadMesk(path, image);
}

// The tiles a split writes files for.
UVTileSet splitTiles(const MeskImage& image, const MeskChunk& uv, int mode) {
    UVTileSet tiles;
    std::string last;
    collectUVTiles(image, uv, mode, tiles, last);
    return tiles;
}

// Tile file i of outPath: its folder, its file name without the extension,
// i and ".Mesk". Only the file name loses its extension, so "out.v2/head"
// gives "out.v2/head0.Mesk".
std::string tileFilePath(const char* outPath, std::size_t i) {
    return FileNameExtract(outPath, 1) + FileNameExtract(outPath, 2) + std::to_string(i) + ".Mesk";
}

// Writes one tile file through a block writer; false when it cannot be
// opened, written or closed.
template <class Body>
bool writeTileFile(const std::string& path, Body&& body) {
    fileio::File f = fileio::open(path, "wb");
    if (!f) return false;
    fileio::Writer w(f.get(), 1 << 16);
    body(w);
    w.put(kEndBlock, sizeof kEndBlock);
    const bool written = w.flush();
    return f.close() && written;
}

// Runs the per-tile loop: names file i in _UVTileStr while it is written
// (body gets i) and reports 1501 + i for the first file that fails. A tile
// file that would be the mesh itself fails without being opened.
template <class Body>
float writeTileFiles(const UVTileSet& tiles, const char* meshPath, const char* outPath, Body&& body) {
    std::size_t i = 0;
    for (const UV_tile& tile : tiles) {
        _UVTileStr.push_back(tile.name);
        const std::string tilePath = tileFilePath(outPath, i);
        if (fileio::sameFile(meshPath, tilePath.c_str()) ||
            !writeTileFile(tilePath, [&](fileio::Writer& w) { body(w, static_cast<std::uint32_t>(i)); })) {
            _UVTileStr.pop_back();  // only whole files are named
            return kMeskTileFileBase + static_cast<float>(i);
        }
        ++i;
    }
    return static_cast<float>(tiles.size());
}

// The file number of each tile's (U, V) pair, for sorting faces and corners
// to their files in one pass instead of once per file. A pair names at most
// one tile, since a tile's name follows from its pair.
constexpr std::uint32_t kNoTile = UINT32_MAX;

class TileNumbers {
public:
    explicit TileNumbers(const UVTileSet& tiles) {
        std::uint32_t i = 0;
        for (const UV_tile& t : tiles) numbers_.emplace(tileKey(t.u, t.v), i++);
    }
    std::uint32_t operator()(std::int32_t U, std::int32_t V) {
        const std::uint64_t key = tileKey(U, V);
        if (!known_ || key != lastKey_) {  // neighbouring faces mostly share a tile
            auto it = numbers_.find(key);
            last_ = it == numbers_.end() ? kNoTile : it->second;
            lastKey_ = key;
            known_ = true;
        }
        return last_;
    }

private:
    std::unordered_map<std::uint64_t, std::uint32_t> numbers_;
    std::uint64_t lastKey_ = 0;
    std::uint32_t last_ = kNoTile;
    bool known_ = false;
};

template <class Slot>
float splitUVs(const MeskImage& image, const MeskChunk& uv, const UVTileSet& tiles, const char* meshPath,
               const char* outPath) {
    // Each corner's file is found once; a file then takes the local
    // coordinates of its own corners and -1, -1 for all others. Spans of
    // corners remember which files they hold (files from 63 on share the
    // last flag), so a span without corners of a file is filled at once.
    // Faces are converted block by block straight from the image. Slot
    // holds a file number, its largest value marking a corner of no file.
    const std::uint8_t* uvs = image.data() + uv.first();
    const std::size_t corners = static_cast<std::size_t>(uv.count) * 4;
    constexpr std::size_t kSpan = 1024;
    const auto flag = [](std::uint32_t file) { return std::uint64_t{1} << (file < 63 ? file : 63); };
    std::vector<Slot> tileOf(corners);
    std::vector<std::uint64_t> present((corners + kSpan - 1) / kSpan, 0);
    TileNumbers number(tiles);
    for (std::size_t k = 0; k < corners; ++k) {
        const std::uint32_t t =
            number(uvTileIndex(fileio::loadLEf32(uvs + 8 * k)), uvTileIndex(fileio::loadLEf32(uvs + 8 * k + 4)));
        tileOf[k] = t == kNoTile ? std::numeric_limits<Slot>::max() : static_cast<Slot>(t);
        present[k / kSpan] |= flag(t);
    }
    std::vector<std::uint8_t> outside(kSpan * 8);
    for (std::size_t k = 0; k < kSpan; ++k) {
        fileio::storeLEf32(outside.data() + 8 * k, -1.0f);
        fileio::storeLEf32(outside.data() + 8 * k + 4, -1.0f);
    }

    constexpr std::size_t kBlockFaces = 1 << 15;  // a whole number of spans
    std::vector<std::uint8_t> block(std::min<std::size_t>(uv.count, kBlockFaces) * kMeskUVSize);
    return writeTileFiles(tiles, meshPath, outPath, [&](fileio::Writer& w, std::uint32_t file) {
        w.put(image.data(), static_cast<std::size_t>(uv.first()));
        const std::uint64_t mine = flag(file);
        for (std::size_t f0 = 0; f0 < uv.count; f0 += kBlockFaces) {
            const std::size_t n = std::min<std::size_t>(kBlockFaces, uv.count - f0);
            for (std::size_t k0 = 0; k0 < n * 4; k0 += kSpan) {
                const std::size_t first = f0 * 4 + k0, m = std::min(kSpan, n * 4 - k0);
                std::uint8_t* dst = block.data() + 8 * k0;
                if (!(present[first / kSpan] & mine)) {
                    std::memcpy(dst, outside.data(), 8 * m);
                    continue;
                }
                const std::uint8_t* src = uvs + 8 * first;
                const Slot* of = tileOf.data() + first;
                for (std::size_t k = 0; k < m; ++k, src += 8, dst += 8) {
                    float lu = -1.0f, lv = -1.0f;
                    if (of[k] == file) {
                        std::int32_t iu, iv;
                        uvLocal(fileio::loadLEf32(src), iu, lu);
                        uvLocal(fileio::loadLEf32(src + 4), iv, lv);
                    }
                    fileio::storeLEf32(dst, lu);
                    fileio::storeLEf32(dst + 4, lv);
                }
            }
            w.put(block.data(), n * kMeskUVSize);
        }
    });
}

}  // namespace

float GetUVsFromMesk(const char* path, const char* outPath, int mode) {
    MeskImage image;
    if (!loadForSplit(path, image)) return kMeskCannotOpen;
    std::optional<MeskChunk> uv = findMeskElements(image, kMeskUVTag, kMeskUVSize);
    if (!uv) return kMeskNoChunk;
    const UVTileSet tiles = splitTiles(image, *uv, mode);
    if (tiles.empty()) return 0.0f;

    // The narrowest file numbers that leave a value for "no file".
    if (tiles.size() < 0xFF) return splitUVs<std::uint8_t>(image, *uv, tiles, path, outPath);
    if (tiles.size() < 0xFFFF) return splitUVs<std::uint16_t>(image, *uv, tiles, path, outPath);
    return splitUVs<std::uint32_t>(image, *uv, tiles, path, outPath);
}

float GetUVsFromMeskMASK(const char* path, const char* outPath, int mode) {
    MeskImage image;
    if (!loadForSplit(path, image)) return kMeskCannotOpen;
    std::optional<MeskChunk> vertices = findMeskElements(image, kMeskVertexTag, kMeskVertexSize);
    if (!vertices) return kMeskNoChunk;
    std::optional<MeskChunk> faces =
        findMeskElements(image, kMeskFaceTag, kMeskFaceSize, vertices->pos + vertices->size);
    if (!faces) return kMeskNoFaceChunk;
    std::optional<MeskChunk> uv = findMeskElements(image, kMeskUVTag, kMeskUVSize, faces->end(kMeskFaceSize));
    // The UV chunk is walked in step with the face chunk.
    if (!uv || uv->count != faces->count) return kMeskNoChunk;
    const UVTileSet tiles = splitTiles(image, *uv, mode);
    if (tiles.empty()) return 0.0f;

    const std::uint32_t n = vertices->count;  // fits the image, so n + 16 cannot wrap
    std::vector<std::uint8_t> mask(n, 255);
    std::uint8_t header[kMeskChunkHeaderSize];
    fileio::storeLE32(header, kMeskMaskTag);
    fileio::storeLE32(header + 4, n + static_cast<std::uint32_t>(kMeskChunkHeaderSize));
    fileio::storeLE32(header + 8, n);
    fileio::storeLE32(header + 12, 0);
    // Each face's file (by its corner 0) is found once.
    const std::uint8_t* uvs = image.data() + uv->first();
    const std::uint8_t* idx = image.data() + faces->first();
    std::vector<std::uint32_t> tileOf(uv->count);
    TileNumbers number(tiles);
    for (std::size_t f = 0; f < uv->count; ++f) {
        const std::uint8_t* c = uvs + f * kMeskUVSize;
        tileOf[f] = number(uvTileIndex(fileio::loadLEf32(c)), uvTileIndex(fileio::loadLEf32(c + 4)));
    }
    return writeTileFiles(tiles, path, outPath, [&](fileio::Writer& w, std::uint32_t file) {
        w.put(image.data(), image.size() - kMeskEndBlockSize);
        for (std::size_t f = 0; f < uv->count; ++f) {
            if (tileOf[f] != file) continue;
            const std::uint8_t* q = idx + f * kMeskFaceSize;
            const int corners = fileio::loadLEi32(q + 12) < 0 ? 3 : 4;
            for (int k = 0; k < corners; ++k) {
                const std::int32_t j = fileio::loadLEi32(q + 4 * k);
                if (j >= 0 && static_cast<std::uint32_t>(j) < n) mask[static_cast<std::size_t>(j)] = 0;
            }
        }
        w.put(header, sizeof header);
        w.put(mask.data(), mask.size());
        std::fill(mask.begin(), mask.end(), std::uint8_t{255});
    });
}

// --- Polygroups ------------------------------------------------------------------

float GetUVGroup(const char* path) {
    fileio::MappedFile file;
    if (file.open(path) != fileio::Load::Ok) return kMeskQueryCannotOpen;
    const MeskView image(file.data(), file.size());
    std::optional<MeskChunk> groups = findMeskElements(image, kMeskGroupTag, kMeskGroupSize);
    if (!groups) return kMeskNoChunk;
    // A flag per possible 16-bit number counts the distinct ones.
    std::vector<std::uint8_t> seen(1 << 16, 0);
    const std::uint8_t* p = image.data() + groups->first();
    for (std::uint32_t i = 0; i < groups->count; ++i, p += kMeskGroupSize) seen[fileio::loadLE16(p)] = 1;
    std::size_t distinct = 0;
    for (std::uint8_t s : seen) distinct += s;
    return static_cast<float>(distinct);
}

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.

namespace {

// The chunk the fixed-position operations take: the first one, at 32.
constexpr std::uint64_t kFirstChunk = kMeskFileHeaderSize;
// Bytes the crease merge cuts off each file.
constexpr std::size_t kCreaseTail = 14;

// Text files end their lines as a text-mode stream of the build does; the
// bytes go out through a binary stream so that they can leave in large blocks.
constexpr std::string_view kLineEnd = kWindowsBuild ? std::string_view("\r\n") : std::string_view("\n");

// Formats text into a large block and hands full blocks to the writer.
class TextOut {
public:
    explicit TextOut(std::FILE* f) : w_(f, 1 << 16), buf_(kBlock) {}
    // Room for at least n more bytes (n <= kBlock).
    char* room(std::size_t n) {
        if (kBlock - used_ < n) drain();
        return buf_.data() + used_;
    }
    void commit(const char* end) { used_ = static_cast<std::size_t>(end - buf_.data()); }
    void text(std::string_view s) {
        if (s.size() > kBlock) {
            drain();
            w_.put(s);
            return;
        }
        char* p = room(s.size());
        std::memcpy(p, s.data(), s.size());
        commit(p + s.size());
    }
    void line(std::string_view s) {
        text(s);
        text(kLineEnd);
    }
    // Writes everything out; false once any write has failed.
    bool finish() {
        drain();
        return w_.flush();
    }

private:
    static constexpr std::size_t kBlock = 1 << 18;
    void drain() {
        if (used_) w_.put(buf_.data(), used_);
        used_ = 0;
    }
    fileio::Writer w_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
};

char* putLineEnd(char* p) {
    std::memcpy(p, kLineEnd.data(), kLineEnd.size());
    return p + kLineEnd.size();
}

char* putUnsigned(char* p, std::uint64_t v) { return std::to_chars(p, p + 20, v).ptr; }

// "00".."ff" for every byte value.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = digits[i >> 4];
            text[2 * i + 1] = digits[i & 15];
        }
    }
};
constexpr HexPairs kHex;

// The vertex colour block for count elements at colours (bounds checked by
// the caller).
void writeColourBlock(TextOut& out, const std::uint8_t* colours, std::uint32_t count) {
    out.line(
        "# The following RGB block contains Kelvane Vertex Color (Tintcoat) output as 3 hexadecimal values per "
        "vertex. The vertex color format is RRGGBB with up to 32 entries per RGB line.");
    constexpr std::size_t kLineMax = 5 + 32 * 7 + 2;
    for (std::uint32_t k = 0; k < count;) {
        std::uint32_t n = count - k < 32 ? count - k : 32;
        char* p = out.room(kLineMax);
        std::memcpy(p, "#RGB ", 5);
        p += 5;
        for (std::uint32_t i = 0; i < n; ++i, ++k) {
            const std::uint8_t* c = colours + static_cast<std::size_t>(k) * kMeskColourSize;
            *p++ = ' ';
            std::memcpy(p, kHex.text + 2 * c[2], 2);
            std::memcpy(p + 2, kHex.text + 2 * c[1], 2);
            std::memcpy(p + 4, kHex.text + 2 * c[0], 2);
            p += 6;
        }
        // A full line ends here; a short last line is ended by the line end
        // that always follows the entries.
        if (n == 32) p = putLineEnd(p);
        out.commit(p);
    }
    out.text(kLineEnd);
    out.line("# End of RGB block");
}

}  // namespace

// ---- Face IDs ----------------------------------------------------------------

float GetFaceIDsMesk(const char* meshPath, double levels) {
    // Every failure leaves an empty table, so a stale one never reaches the
    // OBJ writer.
    _faceID.clear();
    if (!(levels <= kMaxFaceIDLevels)) return -9.0f;  // NaN too
    // Each build keeps its own formula, 4^(levels-1) on Windows and
    // 2^(2(levels-1)) on the Mac, and both give the same value: 4^x is
    // 2^(2x), and doubling x is exact, so both ask for one number. For whole
    // and half levels that number is a power of two, exactly representable,
    // and pow returns it exactly on both runtimes (the face-ID tests pin such
    // levels), so the truncation below sees the same double in both builds.
    const double factor = kWindowsBuild ? std::pow(4.0, levels - 1.0) : std::pow(2.0, 2.0 * (levels - 1.0));
    // At most 4^14 here; levels far below 1 give 0.
    const std::uint32_t n = static_cast<std::uint32_t>(static_cast<std::int32_t>(factor));

    fileio::MappedFile file;
    if (file.open(meshPath) != fileio::Load::Ok) return kMeskCannotOpen;
    const MeskView image(file.data(), file.size());
    // The chunk at 32 is taken as the face chunk whatever its tag.
    std::optional<MeskChunk> faces = meskChunkAt(image, kFirstChunk);
    if (!faces || !meskElementsFit(image, *faces, kMeskFaceSize)) return kMeskTruncated;
    _faceID.reserve(faces->count);
    const std::uint8_t* face = image.data() + faces->first();
    for (std::uint32_t i = 0; i < faces->count; ++i, face += kMeskFaceSize)
        _faceID.push_back((fileio::loadLEi32(face + 12) < 0 ? 3u : 4u) * n);
    return static_cast<float>(_faceID.size());
}

// ---- OBJ writer --------------------------------------------------------------

namespace {

// Where the OBJ writer finds its chunks, worked out before anything is
// written. A misplaced chunk behind the vertex or colour elements ends the
// text after the part before it, with the tag as the result; a chunk header,
// element or face group past the end of the data is refused before the
// output is opened.
struct ObjLayout {
    enum Stop { AfterVertices, AfterColours, Complete };
    Stop stop = Complete;
    std::uint32_t misplacedTag = 0;
    std::uint32_t headerFaces = 0;
    MeskChunk vertices, colours, faces;
};

// A misplaced chunk's tag as the result. A tag of 0 would read as success,
// so it gets a code of its own.
float misplaced(std::uint32_t tag) { return tag == 0 ? kMisplacedZeroTag : static_cast<float>(tag); }

// Takes the chunk at pos into chunk when it carries tag. Otherwise what
// planObj returns: kMeskTruncated when no chunk header lies there, 0 with
// the text stopping at stop when a chunk with another tag does.
std::optional<float> takeChunk(const MeskImage& image, std::uint64_t pos, std::uint32_t tag, ObjLayout::Stop stop,
                               ObjLayout& lay, MeskChunk& chunk) {
    const std::optional<MeskChunk> c = meskChunkAt(image, pos);
    if (!c) return kMeskTruncated;
    if (c->tag != tag) {
        lay.stop = stop;
        lay.misplacedTag = c->tag;
        return 0.0f;
    }
    chunk = *c;
    return std::nullopt;
}

// 0 when the text can be written as lay says, else the result to return.
float planObj(const MeskImage& image, const std::vector<std::uint32_t>& table, ObjLayout& lay) {
    const std::optional<MeskChunk> c = meskChunkAt(image, kFirstChunk);
    if (!c) return kMeskTruncated;
    if (c->tag != kMeskVertexTag) return misplaced(c->tag);
    lay.vertices = *c;
    // The header's face count is the count field of the third chunk reached
    // through the size fields.
    std::optional<MeskChunk> second = meskChunkAt(image, kFirstChunk + c->size);
    if (!second) return kMeskTruncated;
    std::optional<MeskChunk> third = meskChunkAt(image, second->pos + second->size);
    if (!third) return kMeskTruncated;
    lay.headerFaces = third->count;
    if (!meskElementsFit(image, lay.vertices, kMeskVertexSize)) return kMeskTruncated;

    // The colour chunk directly behind the vertex elements, the face chunk
    // directly behind the colour elements.
    if (std::optional<float> r = takeChunk(image, lay.vertices.end(kMeskVertexSize), kMeskColourTag,
                                           ObjLayout::AfterVertices, lay, lay.colours))
        return *r;
    if (!meskElementsFit(image, lay.colours, kMeskColourSize)) return kMeskTruncated;
    if (std::optional<float> r =
            takeChunk(image, lay.colours.end(kMeskColourSize), kMeskFaceTag, ObjLayout::AfterColours, lay, lay.faces))
        return *r;

    // Walk the groups as the writer will: the faces of every group must lie
    // inside the face chunk (its size field) and inside the data.
    const std::uint64_t faceEnd = lay.faces.pos + lay.faces.size;
    std::uint64_t pos = lay.faces.first();
    if (pos < faceEnd) {
        for (std::uint32_t faces : table) {
            const std::uint64_t end = pos + static_cast<std::uint64_t>(faces) * kMeskFaceSize;
            if (end > faceEnd) return kFaceIDsPastFaces;
            if (end > image.size()) return kMeskTruncated;
            pos = end;
            if (pos >= faceEnd) break;
        }
    }
    return 0.0f;
}

char* putVertexLine(char* p, const std::uint8_t* v) {
    *p++ = 'v';
    *p++ = ' ';
    p = formatStreamFloat(fileio::loadLEf32(v), p);
    *p++ = ' ';
    p = formatStreamFloat(fileio::loadLEf32(v + 4), p);
    *p++ = ' ';
    p = formatStreamFloat(fileio::loadLEf32(v + 8), p);
    return putLineEnd(p);
}

// 1-based indices, as unsigned 32-bit numbers; a negative fourth index
// (a triangle) leaves the blank after the third one.
char* putFaceLine(char* p, const std::uint8_t* f) {
    *p++ = 'f';
    for (int i = 0; i < 3; ++i) {
        *p++ = ' ';
        p = putUnsigned(p, static_cast<std::uint32_t>(fileio::loadLE32(f + 4 * i) + 1u));
    }
    *p++ = ' ';
    const std::uint32_t d = fileio::loadLE32(f + 12);
    if (static_cast<std::int32_t>(d) >= 0) p = putUnsigned(p, d + 1u);
    return putLineEnd(p);
}

constexpr std::size_t kVertexLineMax = 2 + 3 * kStreamFloatMax + 2 + 2;
constexpr std::size_t kFaceLineMax = 2 + 4 * 11 + 2;
constexpr std::size_t kGroupLineMax = 8 + 20 + 2;

// Closes the text; false when anything failed to go out.
bool finishText(TextOut& out, fileio::File& f) {
    bool ok = out.finish();
    return f.close() && ok;
}

std::string_view decimal(char (&buf)[24], std::uint64_t v) {
    return std::string_view(buf, static_cast<std::size_t>(putUnsigned(buf, v) - buf));
}

}  // namespace

float writeOBJfromMesk(const char* meshPath, char* objPath) {
    if (_faceID.empty()) return kMeskNoChunk;  // -18: no face-ID table
    MeskImage image;
    if (!loadMesk(meshPath, image)) return kMeskCannotOpen;
    ObjLayout lay;
    const float refused = planObj(image, _faceID, lay);
    if (refused != 0.0f) return refused;

    if (fileio::sameFile(meshPath, objPath)) return kMeskOutputCannotOpen;
    fileio::File f = fileio::open(objPath, "wb");
    if (!f) return kMeskOutputCannotOpen;
    TextOut out(f.get());
    char num[24];
    out.line("# File exported by Kelvane plugin");
    out.text("#Vertex count ");
    out.line(decimal(num, lay.vertices.count));
    out.text("#Face count ");
    out.line(decimal(num, lay.headerFaces));

    const std::uint8_t* v = image.data() + lay.vertices.first();
    for (std::uint32_t i = 0; i < lay.vertices.count; ++i, v += kMeskVertexSize)
        out.commit(putVertexLine(out.room(kVertexLineMax), v));
    if (lay.stop == ObjLayout::AfterVertices) return finishText(out, f) ? misplaced(lay.misplacedTag) : kTextNotWritten;

    writeColourBlock(out, image.data() + lay.colours.first(), lay.colours.count);
    if (lay.stop == ObjLayout::AfterColours) return finishText(out, f) ? misplaced(lay.misplacedTag) : kTextNotWritten;

    const std::uint64_t faceEnd = lay.faces.pos + lay.faces.size;
    std::uint64_t pos = lay.faces.first();
    if (pos < faceEnd) {
        for (std::size_t n = 1; n <= _faceID.size(); ++n) {
            char* p = out.room(kGroupLineMax);
            std::memcpy(p, "#FaceID ", 8);
            out.commit(putLineEnd(putUnsigned(p + 8, n)));
            for (std::uint32_t k = _faceID[n - 1]; k > 0; --k, pos += kMeskFaceSize)
                out.commit(putFaceLine(out.room(kFaceLineMax), image.data() + pos));
            if (pos >= faceEnd) break;
        }
    }
    if (!finishText(out, f)) return kTextNotWritten;
    std::vector<std::uint32_t>().swap(_faceID);
    return 0.0f;
}

// ---- Vertex colour block -----------------------------------------------------

float ReadVertColorMesk(const char* meshPath, char* outPath) {
    MeskImage image;
    if (!loadMesk(meshPath, image)) return kMeskCannotOpen;
    // The chunk at offset 32 is taken as the colour chunk whatever its tag.
    std::optional<MeskChunk> colours = meskChunkAt(image, kFirstChunk);
    if (!colours || !meskElementsFit(image, *colours, kMeskColourSize)) return kMeskTruncated;
    if (fileio::sameFile(meshPath, outPath)) return kMeskOutputCannotOpen;
    fileio::File f = fileio::open(outPath, "wb");
    if (!f) return kMeskOutputCannotOpen;
    TextOut out(f.get());
    writeColourBlock(out, image.data() + colours->first(), colours->count);
    return finishText(out, f) ? 0.0f : kTextNotWritten;
}

// ---- Crease merge ------------------------------------------------------------

float mergeFiles(const char* additionPath, char* targetPath) {
    // Both files are read whole and closed before the target is rewritten,
    // so a file merged with itself comes out doubled.
    std::vector<std::uint8_t> target, addition;
    if (fileio::loadFile(targetPath, target) != fileio::Load::Ok) return kMeskCreaseTargetRead;
    if (target.size() < kCreaseTail) return kCreaseTargetShort;
    if (fileio::loadFile(additionPath, addition) != fileio::Load::Ok) return kMeskCannotOpen;
    if (addition.size() < kCreaseTail) return kCreaseAdditionShort;
    switch (fileio::replaceFile(
        targetPath, {{target.data(), target.size() - kCreaseTail}, {addition.data(), addition.size() - kCreaseTail}})) {
        case fileio::Rewrite::Ok:
            return 0.0f;
        case fileio::Rewrite::CannotOpen:
            return kMeskCreaseTargetWrite;
        default:
            return kCreaseNotWritten;
    }
}
