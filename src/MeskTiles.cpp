// UV tiles: tile names, the tiles of a UV chunk, the tile list parser, and
// the per-tile extraction (GetUVsFromMesk, GetUVsFromMeskMASK).
#include "MeskTiles.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "FileAccess.h"
#include "FileOps.h"
#include "MeskKernels.h"
#include "MeskOps.h"
#include "NewFile.h"

// --- UV tiles ---------------------------------------------------------------

namespace {

// One number per (U, V) pair of tile indices.
std::uint64_t tileKey(std::int32_t U, std::int32_t V) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(U)) << 32) | static_cast<std::uint32_t>(V);
}

}  // namespace

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

bool collectUVTiles(MeskView image, const MeskChunk& uv, int mode, UVTileSet& tiles, std::string& last) {
    tiles.clear();
    last.clear();
    const bool filter = mode == 2 && !_UVtilesOut.empty();
    // Names are made once per distinct (U, V) pair. Pairs are met in face
    // order, so the first face that produces a name still fixes its tile.
    std::unordered_map<std::uint64_t, std::string> names;
    std::uint64_t lastKey = 0;
    const std::string* lastName = nullptr;
    const bool read = image.forEach(uv.first(), uv.count, kMeskUVSize, [&](const std::uint8_t* p, std::size_t n) {
        for (std::size_t f = 0; f < n; ++f, p += kMeskUVSize) {
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
        return true;
    });
    if (lastName) last = *lastName;
    return read;
}

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

// --- Per-tile extraction --------------------------------------------------------

namespace {

constexpr std::uint8_t kEndBlock[kMeskEndBlockSize] = {};

// Every split starts from an empty tile name list, whatever comes of it.
fileio::Load openForSplit(const char* path, fileio::FileWindow& file) {
    _UVTileStr.clear();
    return file.open(path);
}

// Tile file i of outPath: its folder, its file name without the extension,
// i and ".Mesk". Only the file name loses its extension, so "out.v2/head"
// gives "out.v2/head0.Mesk".
std::string tileFilePath(const char* outPath, std::size_t i) {
    return FileNameExtract(outPath, 1) + FileNameExtract(outPath, 2) + std::to_string(i) + ".Mesk";
}

// Runs the per-tile loop: file i gets body(file, i) and the end block, and
// is named in _UVTileStr once it is written whole. The files are committed
// together at the end; the first that cannot be created or written gives
// 1501 + i (or a shared code of the file layer), the files before it
// written. A tile file that would be the mesh itself fails without being
// opened; a mesh that cannot be read gives -1760.
template <class Body>
float writeTileFiles(const UVTileSet& tiles, const char* meshPath, const char* outPath, Body&& body) {
    fileio::NewFileBatch batch;
    std::vector<const std::string*> names;
    float stop = 0.0f;     // why the loop ended early
    bool refused = false;  // the batch refused a file: its commit tells which
    for (const UV_tile& tile : tiles) {
        const std::uint32_t i = static_cast<std::uint32_t>(names.size());
        const float failed = kMeskTileFileBase + static_cast<float>(i);
        const std::string tilePath = tileFilePath(outPath, i);
        fileio::NewFile file;
        const fileio::Written w = fileio::sameFile(meshPath, tilePath.c_str())
                                      ? fileio::Written::CannotCreate
                                      : file.begin(tilePath.c_str(), fileio::Target::Output);
        if (w != fileio::Written::Ok) {
            stop = fileio::writtenCode(w, failed, failed, failed);
            break;
        }
        if (!body(file, i)) {
            stop = kMeskCannotOpen;
            break;
        }
        file.put(kEndBlock, sizeof kEndBlock);
        names.push_back(&tile.name);
        if (batch.add(std::move(file)) != fileio::Written::Ok) {
            refused = true;
            break;
        }
    }
    std::size_t written = 0;
    const bool committed = batch.commit(written) == fileio::Written::Ok;
    for (std::size_t k = 0; k < written; ++k) _UVTileStr.push_back(*names[k]);
    if (refused || !committed) return kMeskTileFileBase + static_cast<float>(written);
    return stop != 0.0f ? stop : static_cast<float>(tiles.size());
}

// Copies the mesh's bytes [0, n) to the writer, a block at a time.
bool copyMesh(MeskView mesh, std::uint64_t n, fileio::NewFile& w) { return mesh.copyTo(0, n, w); }

// The file number of each tile's (U, V) pair, for sorting faces and corners
// to their files. A pair names at most one tile, since a tile's name
// follows from its pair.
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
    // The file of the (u, v) pair at p.
    std::uint32_t of(const std::uint8_t* p) {
        return (*this)(uvTileIndex(fileio::loadLEf32(p)), uvTileIndex(fileio::loadLEf32(p + 4)));
    }

private:
    std::unordered_map<std::uint64_t, std::uint32_t> numbers_;
    std::uint64_t lastKey_ = 0;
    std::uint32_t last_ = kNoTile;
    bool known_ = false;
};

// Which files the items of each span of kSpan items (corners or faces)
// belong to, as one flag per file (files from 63 on share the last flag):
// a file's pass fills a span without its flag at once, without looking at
// its items again. A few bits per thousand items.
class SpanFiles {
public:
    static constexpr std::size_t kSpan = 1024;
    explicit SpanFiles(std::uint64_t items) : flags_(static_cast<std::size_t>((items + kSpan - 1) / kSpan), 0) {}
    static std::uint64_t flag(std::uint32_t file) { return std::uint64_t{1} << (file < 63 ? file : 63); }
    void mark(std::uint64_t item, std::uint32_t file) { flags_[static_cast<std::size_t>(item / kSpan)] |= flag(file); }
    bool holds(std::uint64_t item, std::uint32_t file) const {
        return (flags_[static_cast<std::size_t>(item / kSpan)] & flag(file)) != 0;
    }

private:
    std::vector<std::uint64_t> flags_;
};

// The UV pairs a tile file holds for `count` corners from corner k0 on:
// its own corners local to the tile, -1, -1 for all others.
void localUVs(const std::uint8_t* src, std::size_t count, std::uint64_t k0, std::uint32_t file, const SpanFiles& spans,
              TileNumbers& number, std::uint8_t* dst) {
    static const std::uint8_t* const outside = [] {
        static std::uint8_t pairs[8 * SpanFiles::kSpan];
        for (std::size_t k = 0; k < SpanFiles::kSpan; ++k) {
            fileio::storeLEf32(pairs + 8 * k, -1.0f);
            fileio::storeLEf32(pairs + 8 * k + 4, -1.0f);
        }
        return pairs;
    }();
    for (std::size_t k = 0; k < count;) {
        // Up to the end of the span that corner k0 + k lies in.
        const std::uint64_t at = k0 + k;
        const std::size_t m =
            static_cast<std::size_t>(std::min<std::uint64_t>(SpanFiles::kSpan - at % SpanFiles::kSpan, count - k));
        if (!spans.holds(at, file)) {
            std::memcpy(dst + 8 * k, outside, 8 * m);
        } else {
            for (std::size_t j = k; j < k + m; ++j) {
                float lu = -1.0f, lv = -1.0f;
                const std::uint8_t* c = src + 8 * j;
                if (number.of(c) == file) {
                    std::int32_t iu, iv;
                    uvLocal(fileio::loadLEf32(c), iu, lu);
                    uvLocal(fileio::loadLEf32(c + 4), iv, lv);
                }
                fileio::storeLEf32(dst + 8 * j, lu);
                fileio::storeLEf32(dst + 8 * j + 4, lv);
            }
        }
        k += m;
    }
}

}  // namespace

float GetUVsFromMesk(const char* path, const char* outPath, int mode) {
    fileio::FileWindow file;
    if (openForSplit(path, file) != fileio::Load::Ok) return kMeskCannotOpen;
    const MeskView mesh(file);
    std::optional<MeskChunk> uv = findMeskElements(mesh, kMeskUVTag, kMeskUVSize);
    if (!uv) return kMeskNoChunk;
    UVTileSet tiles;
    std::string last;
    if (!collectUVTiles(mesh, *uv, mode, tiles, last)) return kMeskCannotOpen;
    if (tiles.empty()) return 0.0f;

    // One pass finds the files each span of corners holds; each file then
    // takes the mesh up to its UV elements and every corner's pair, its own
    // local to the tile.
    const std::uint64_t corners = std::uint64_t{uv->count} * 4;
    SpanFiles spans(corners);
    TileNumbers number(tiles);
    std::uint64_t k0 = 0;
    if (!mesh.forEach(uv->first(), corners, 8, [&](const std::uint8_t* p, std::size_t n) {
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint32_t t = number.of(p + 8 * k);
                if (t != kNoTile) spans.mark(k0 + k, t);
            }
            k0 += n;
            return true;
        }))
        return kMeskCannotOpen;
    std::vector<std::uint8_t> out(fileio::FileWindow::kBlock);
    return writeTileFiles(tiles, path, outPath, [&](fileio::NewFile& w, std::uint32_t fileNo) {
        if (!copyMesh(mesh, uv->first(), w)) return false;
        std::uint64_t at = 0;
        return mesh.forEach(uv->first(), corners, 8, [&](const std::uint8_t* p, std::size_t n) {
            localUVs(p, n, at, fileNo, spans, number, out.data());
            w.put(out.data(), 8 * n);
            at += n;
            return true;
        });
    });
}

float GetUVsFromMeskMASK(const char* path, const char* outPath, int mode) {
    fileio::FileWindow file(kPairWindow);
    if (openForSplit(path, file) != fileio::Load::Ok) return kMeskCannotOpen;
    const MeskView mesh(file);
    std::optional<MeskChunk> vertices = findMeskElements(mesh, kMeskVertexTag, kMeskVertexSize);
    if (!vertices) return kMeskNoChunk;
    std::optional<MeskChunk> faces =
        findMeskElements(mesh, kMeskFaceTag, kMeskFaceSize, vertices->pos + vertices->size);
    if (!faces) return kMeskNoFaceChunk;
    std::optional<MeskChunk> uv = findMeskElements(mesh, kMeskUVTag, kMeskUVSize, faces->end(kMeskFaceSize));
    // The UV chunk is walked in step with the face chunk.
    if (!uv || uv->count != faces->count) return kMeskNoChunk;
    UVTileSet tiles;
    std::string last;
    if (!collectUVTiles(mesh, *uv, mode, tiles, last)) return kMeskCannotOpen;
    if (tiles.empty()) return 0.0f;

    const std::uint32_t n = vertices->count;  // fits the file, so n + 16 cannot wrap
    std::uint8_t header[kMeskChunkHeaderSize];
    fileio::storeLE32(header, kMeskMaskTag);
    fileio::storeLE32(header + 4, n + static_cast<std::uint32_t>(kMeskChunkHeaderSize));
    fileio::storeLE32(header + 8, n);
    fileio::storeLE32(header + 12, 0);
    // Each face's file (by its corner 0), a span of faces at a time.
    SpanFiles spans(uv->count);
    TileNumbers number(tiles);
    std::uint64_t f0 = 0;
    if (!mesh.forEach(uv->first(), uv->count, kMeskUVSize, [&](const std::uint8_t* p, std::size_t count) {
            for (std::size_t f = 0; f < count; ++f) {
                const std::uint32_t t = number.of(p + f * kMeskUVSize);
                if (t != kNoTile) spans.mark(f0 + f, t);
            }
            f0 += count;
            return true;
        }))
        return kMeskCannotOpen;
    // The faces are read beside the UVs through a window of their own; the
    // mask is a bit per vertex, spelt out as bytes (0 in the tile, 255 not)
    // as it is written.
    fileio::FileWindow faceFile(kPairWindow);
    if (faceFile.open(path) != fileio::Load::Ok || faceFile.size() != file.size()) return kMeskCannotOpen;
    std::vector<std::uint64_t> inTile((std::size_t{n} + 63) / 64);
    std::vector<std::uint8_t> bytes(std::min<std::size_t>(n, 1 << 16));
    return writeTileFiles(tiles, path, outPath, [&](fileio::NewFile& w, std::uint32_t fileNo) {
        if (!copyMesh(mesh, mesh.size() - kMeskEndBlockSize, w)) return false;
        std::fill(inTile.begin(), inTile.end(), std::uint64_t{0});
        MeskCursor uvs(mesh, uv->first(), kMeskUVSize), idx(MeskView(faceFile), faces->first(), kMeskFaceSize);
        for (std::uint64_t s = 0; s < uv->count; s += SpanFiles::kSpan) {
            if (!spans.holds(s, fileNo)) continue;
            const std::uint64_t m = std::min<std::uint64_t>(SpanFiles::kSpan, uv->count - s);
            const std::uint8_t* c = uvs.get(s, m);
            const std::uint8_t* q = idx.get(s, m);
            if (!c || !q) return false;
            for (std::uint64_t f = 0; f < m; ++f, c += kMeskUVSize, q += kMeskFaceSize) {
                if (number.of(c) != fileNo) continue;
                const int corners = fileio::loadLEi32(q + 12) < 0 ? 3 : 4;
                for (int k = 0; k < corners; ++k) {
                    const std::int32_t j = fileio::loadLEi32(q + 4 * k);
                    if (j >= 0 && static_cast<std::uint32_t>(j) < n)
                        inTile[static_cast<std::size_t>(j) / 64] |= std::uint64_t{1} << (j % 64);
                }
            }
        }
        w.put(header, sizeof header);
        for (std::size_t v0 = 0; v0 < n; v0 += bytes.size()) {
            const std::size_t m = std::min<std::size_t>(bytes.size(), n - v0);
            for (std::size_t v = 0; v < m; ++v) bytes[v] = (inTile[(v0 + v) / 64] >> ((v0 + v) % 64) & 1) ? 0 : 255;
            w.put(bytes.data(), m);
        }
        return true;
    });
}
