#include "MeskOps.h"

std::vector<std::string> _UVTileStr;
std::set<std::string> _UVtilesOut;
std::vector<std::uint32_t> _faceID;

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.
