#include "MeskOps.h"

#include <algorithm>
#include <unordered_map>

#include "FileAccess.h"
#include "FileOps.h"

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

std::optional<MeskChunk> meskChunkAt(const MeskImage& image, std::uint64_t pos) {
    if (pos > image.size() || image.size() - pos < kMeskChunkHeaderSize) return std::nullopt;
    const std::uint8_t* p = image.data() + pos;
    MeskChunk c;
    c.pos = pos;
    c.tag = meskU32(p);
    c.size = meskU32(p + 4);
    c.count = meskU32(p + 8);
    return c;
}

bool meskElementsFit(const MeskImage& image, const MeskChunk& chunk, std::size_t elemSize) {
    // count < 2^32 and elemSize <= 32, so the product cannot wrap 64 bits.
    std::uint64_t first = chunk.first();
    if (first > image.size()) return false;
    return static_cast<std::uint64_t>(chunk.count) * elemSize <= image.size() - first;
}

std::optional<MeskChunk> findMeskChunk(const MeskImage& image, std::uint32_t tag, std::uint64_t start) {
    std::optional<MeskChunk> c = meskChunkAt(image, start);
    // Each step moves at least one byte forward and stops once a header no
    // longer fits, so a chain of zero-size chunks ends at the image's end.
    while (c) {
        if (c->tag == tag) return c;
        c = meskChunkAt(image, c->next());
    }
    return std::nullopt;
}

std::optional<MeskChunk> findMeskElements(const MeskImage& image, std::uint32_t tag, std::size_t elemSize,
                                          std::uint64_t start) {
    std::optional<MeskChunk> c = findMeskChunk(image, tag, start);
    if (c && !meskElementsFit(image, *c, elemSize)) return std::nullopt;
    return c;
}

// --- UV tiles ---------------------------------------------------------------

namespace {

// float to int32 truncated toward zero, saturated, NaN as 0.
inline std::int32_t truncSat(float t) {
    if (!(t == t)) return 0;
    if (t >= 2147483648.0f) return INT32_MAX;
    if (t < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(t);
}

inline void storeMeskFloat(std::uint8_t* p, float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    p[0] = static_cast<std::uint8_t>(u);
    p[1] = static_cast<std::uint8_t>(u >> 8);
    p[2] = static_cast<std::uint8_t>(u >> 16);
    p[3] = static_cast<std::uint8_t>(u >> 24);
}

inline void storeMeskU32(std::uint8_t* p, std::uint32_t u) {
    p[0] = static_cast<std::uint8_t>(u);
    p[1] = static_cast<std::uint8_t>(u >> 8);
    p[2] = static_cast<std::uint8_t>(u >> 16);
    p[3] = static_cast<std::uint8_t>(u >> 24);
}

}  // namespace

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

void collectUVTiles(const MeskImage& image, const MeskChunk& uv, int mode, UVTileSet& tiles, std::string& last) {
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
        const std::int32_t U = uvTileIndex(meskFloat(p)), V = uvTileIndex(meskFloat(p + 4));
        const std::uint64_t key = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(U)) << 32) |
                                  static_cast<std::uint32_t>(V);
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
    MeskImage image;
    if (!loadMesk(path, image)) return kMeskQueryCannotOpen;
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
    if (index >= 0 && static_cast<std::size_t>(index) < _UVTileStr.size()) out = _UVTileStr[static_cast<std::size_t>(index)];
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
        for (long long i = a; i <= b && selection.size() < kMaxTileSelection; ++i) addTileName(std::to_string(i), selection);
    }
}

float setUVtilesOut(const char* path) {
    _UVtilesOut.clear();
    // Text mode: the Windows build drops the carriage return before each
    // line feed, the POSIX build keeps it as the line's last character.
    fileio::File f = fileio::open(path, "r");
    if (!f) return -1.0f;
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

std::string tileFilePath(const char* outPath, std::size_t i) {
    return FileNameExtract(outPath, 3) + std::to_string(i) + ".Mesk";
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
// and reports 1501 + i for the first file that fails.
template <class Body>
float writeTileFiles(const UVTileSet& tiles, const char* outPath, Body&& body) {
    std::size_t i = 0;
    for (const UV_tile& tile : tiles) {
        _UVTileStr.push_back(tile.name);
        if (!writeTileFile(tileFilePath(outPath, i), [&](fileio::Writer& w) { body(w, tile); })) {
            _UVTileStr.pop_back();  // only whole files are named
            return kMeskTileFileBase + static_cast<float>(i);
        }
        ++i;
    }
    return static_cast<float>(tiles.size());
}

}  // namespace

float GetUVsFromMesk(const char* path, const char* outPath, int mode) {
    _UVTileStr.clear();
    MeskImage image;
    if (!loadMesk(path, image)) return kMeskCannotOpen;
    std::optional<MeskChunk> uv = findMeskElements(image, kMeskUVTag, kMeskUVSize);
    if (!uv) return kMeskNoChunk;
    UVTileSet tiles;
    std::string last;
    collectUVTiles(image, *uv, mode, tiles, last);
    if (tiles.empty()) return 0.0f;

    // Faces are converted block by block straight from the image.
    constexpr std::size_t kBlockFaces = 1 << 15;
    std::vector<std::uint8_t> block(std::min<std::size_t>(uv->count, kBlockFaces) * kMeskUVSize);
    const std::uint8_t* uvs = image.data() + uv->first();
    return writeTileFiles(tiles, outPath, [&](fileio::Writer& w, const UV_tile& tile) {
        w.put(image.data(), static_cast<std::size_t>(uv->first()));
        for (std::size_t f0 = 0; f0 < uv->count; f0 += kBlockFaces) {
            const std::size_t n = std::min<std::size_t>(kBlockFaces, uv->count - f0);
            const std::uint8_t* src = uvs + f0 * kMeskUVSize;
            std::uint8_t* dst = block.data();
            for (std::size_t k = 0; k < n * 4; ++k, src += 8, dst += 8) {
                std::int32_t iu, iv;
                float lu, lv;
                uvLocal(meskFloat(src), iu, lu);
                uvLocal(meskFloat(src + 4), iv, lv);
                if (iu != tile.u || iv != tile.v) lu = lv = -1.0f;
                storeMeskFloat(dst, lu);
                storeMeskFloat(dst + 4, lv);
            }
            w.put(block.data(), n * kMeskUVSize);
        }
    });
}

float GetUVsFromMeskMASK(const char* path, const char* outPath, int mode) {
    _UVTileStr.clear();
    MeskImage image;
    if (!loadMesk(path, image)) return kMeskCannotOpen;
    std::optional<MeskChunk> vertices = findMeskElements(image, kMeskVertexTag, kMeskVertexSize);
    if (!vertices) return kMeskNoChunk;
    std::optional<MeskChunk> faces = findMeskElements(image, kMeskFaceTag, kMeskFaceSize, vertices->pos + vertices->size);
    if (!faces) return kMeskNoFaceChunk;
    std::optional<MeskChunk> uv = findMeskElements(image, kMeskUVTag, kMeskUVSize, faces->end(kMeskFaceSize));
    // The UV chunk is walked in step with the face chunk.
    if (!uv || uv->count != faces->count) return kMeskNoChunk;
    UVTileSet tiles;
    std::string last;
    collectUVTiles(image, *uv, mode, tiles, last);
    if (tiles.empty()) return 0.0f;

    const std::uint32_t n = vertices->count;  // fits the image, so n + 16 cannot wrap
    std::vector<std::uint8_t> mask(n, 255);
    std::uint8_t header[kMeskChunkHeaderSize];
    storeMeskU32(header, kMeskMaskTag);
    storeMeskU32(header + 4, n + static_cast<std::uint32_t>(kMeskChunkHeaderSize));
    storeMeskU32(header + 8, n);
    storeMeskU32(header + 12, 0);
    const std::uint8_t* uvs = image.data() + uv->first();
    const std::uint8_t* idx = image.data() + faces->first();
    return writeTileFiles(tiles, outPath, [&](fileio::Writer& w, const UV_tile& tile) {
        w.put(image.data(), image.size() - kMeskEndBlockSize);
        for (std::size_t f = 0; f < uv->count; ++f) {
            const std::uint8_t* c = uvs + f * kMeskUVSize;
            if (uvTileIndex(meskFloat(c)) != tile.u || uvTileIndex(meskFloat(c + 4)) != tile.v) continue;
            const std::uint8_t* q = idx + f * kMeskFaceSize;
            const int corners = meskI32(q + 12) < 0 ? 3 : 4;
            for (int k = 0; k < corners; ++k) {
                const std::int32_t j = meskI32(q + 4 * k);
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
    MeskImage image;
    if (!loadMesk(path, image)) return kMeskQueryCannotOpen;
    std::optional<MeskChunk> groups = findMeskElements(image, kMeskGroupTag, kMeskGroupSize);
    if (!groups) return kMeskNoChunk;
    // A flag per possible 16-bit number counts the distinct ones.
    std::vector<bool> seen(1 << 16, false);
    std::size_t distinct = 0;
    const std::uint8_t* p = image.data() + groups->first();
    for (std::uint32_t i = 0; i < groups->count; ++i, p += kMeskGroupSize) {
        const std::size_t g = static_cast<std::size_t>(meskShort(p) + 32768);
        if (!seen[g]) {
            seen[g] = true;
            ++distinct;
        }
    }
    return static_cast<float>(distinct);
}

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.
