// The mesh module's entry file: its state (tile names, tile selection,
// face-ID table) and the workers that query a mesh or fill the lists. The
// per-tile extraction is in MeskTiles.cpp, the mesh export in MeskExport.cpp.
#include "MeskOps.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "FileAccess.h"
#include "MeskReader.h"
#include "MeskTiles.h"

std::vector<std::string> _UVTileStr;
std::set<std::string> _UVtilesOut;
std::vector<std::uint32_t> _faceID;

// --- UV tiles ---------------------------------------------------------------

float GetUVTile(const char* path, std::optional<std::string>& out, int mode) {
    out.reset();
    fileio::FileWindow file;
    if (file.open(path) != fileio::Load::Ok) return kMeskQueryCannotOpen;
    const MeskView mesh(file);
    std::optional<MeskChunk> uv = findMeskElements(mesh, kMeskUVTag, kMeskUVSize);
    if (!uv) return kMeskNoChunk;
    UVTileSet tiles;
    std::string last;
    if (!collectUVTiles(mesh, *uv, mode, tiles, last)) return kMeskQueryCannotOpen;
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

float setUVtilesOut(const char* path) {
    _UVtilesOut.clear();
    // Read as bytes in both builds: a line ends at a line feed, and a
    // carriage return before it (or at the end of the file) is not part of
    // the line, so a list saved with CR LF line ends reads alike everywhere.
    fileio::FileWindow f;
    if (f.open(path) != fileio::Load::Ok) return kTileListCannotOpen;
    // A failing read ends the list where it failed.
    std::vector<std::uint8_t> text(static_cast<std::size_t>(std::min<std::uint64_t>(f.size(), SIZE_MAX)));
    text.resize(f.readSome(0, text.data(), text.size()));
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size() && text[end] != '\n') ++end;
        const std::size_t next = end + 1;
        if (end > start && text[end - 1] == '\r') --end;
        addTileListLine(std::string(text.begin() + static_cast<std::ptrdiff_t>(start),
                                    text.begin() + static_cast<std::ptrdiff_t>(end)),
                        _UVtilesOut);
        start = next;
    }
    return 0.0f;
}

void clearUVtilesOut() { _UVtilesOut.clear(); }

// --- Polygroups ------------------------------------------------------------------

float GetUVGroup(const char* path) {
    fileio::FileWindow file;
    if (file.open(path) != fileio::Load::Ok) return kMeskQueryCannotOpen;
    const MeskView mesh(file);
    std::optional<MeskChunk> groups = findMeskElements(mesh, kMeskGroupTag, kMeskGroupSize);
    if (!groups) return kMeskNoChunk;
    // A flag per possible 16-bit number counts the distinct ones.
    std::vector<std::uint8_t> seen(1 << 16, 0);
    if (!mesh.forEach(groups->first(), groups->count, kMeskGroupSize, [&](const std::uint8_t* p, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i, p += kMeskGroupSize) seen[fileio::loadLE16(p)] = 1;
            return true;
        }))
        return kMeskQueryCannotOpen;
    std::size_t distinct = 0;
    for (std::uint8_t s : seen) distinct += s;
    return static_cast<float>(distinct);
}
