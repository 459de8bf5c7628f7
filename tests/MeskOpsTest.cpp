// Meshes: the Mesk reader, UV tiles, per-tile extraction, polygroups, and
// the mesh exports.
#include "MeskOps.h"
#include "TestSupport.h"

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.
