// Meshes: the Mesk reader, UV tiles, polygroups, per-tile extraction, and
// the mesh exports (face IDs, OBJ, vertex colours, creases).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Tile names of the last extraction, in file order.
extern std::vector<std::string> _UVTileStr;
// The tile selection of the last tile list.
extern std::set<std::string> _UVtilesOut;
// Face-ID table: faces per coarse face after refinement.
extern std::vector<std::uint32_t> _faceID;

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.
