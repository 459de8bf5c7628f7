// UV tiles inside the mesh module: the tiles of a UV chunk, their names,
// and the tile list parser. Shared by MeskOps.cpp and MeskTiles.cpp; the
// exported workers are in MeskOps.h.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "MeskReader.h"

// A tile and the indices of the first face that produced its name. A face
// belongs to the tile of its corner 0 (MeskKernels.h).
struct UV_tile {
    std::string name;
    std::int32_t u = 0;
    std::int32_t v = 0;
};
// Tiles are ordered and made unique by name alone, byte by byte.
struct UVTileByName {
    bool operator()(const UV_tile& a, const UV_tile& b) const { return a.name < b.name; }
};
using UVTileSet = std::set<UV_tile, UVTileByName>;

// Tile name in naming mode 0 (_uU_vV), 1 (_u(U+1)_v(V+1)), 2 (1001+U+10V) or
// 3 (uUvV). The arithmetic is 64-bit, so no index wraps.
std::string uvTileName(std::int32_t U, std::int32_t V, int mode);
// The tiles of the faces of a UV chunk whose elements fit: mode 2 with a
// non-empty selection (_UVtilesOut) keeps only selected names. last gets the
// last face's tile name (kept or not), empty for no faces. False when the
// chunk cannot be read.
bool collectUVTiles(MeskView image, const MeskChunk& uv, int mode, UVTileSet& tiles, std::string& last);

// Adds the names of one line of a tile list (without its line feed), up to
// kMaxTileSelection names in all.
void addTileListLine(const std::string& line, std::set<std::string>& selection);
