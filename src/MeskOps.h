// Meshes: UV tiles, tile selection, per-tile extraction, polygroups, and the
// mesh exports (face IDs, OBJ, vertex colours, creases); the module's state.
// Its result codes and rows are in MeskCodes.h. Inside the module:
// MeskReader.h (the file's layout and the chunk reader), MeskTiles.h (tiles
// and the tile list parser) and MeskKernels.h (the tile-index arithmetic and
// its SIMD paths).
//
// The operations that write files write them as they read, and refuse an
// output that is the mesh itself. A chunk whose elements do not fit the file
// is treated like a missing chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MeskCodes.h"

// Tile names of the last extraction, in file order.
extern std::vector<std::string> _UVTileStr;
// The tile selection of the last tile list.
extern std::set<std::string> _UVtilesOut;
// Face-ID table: faces per coarse face after refinement.
extern std::vector<std::uint32_t> _faceID;

// ---------------------------------------------------------------------------
// UV tiles, tile selection, per-tile extraction, polygroups.

// --- UV tiles ---------------------------------------------------------------

// Number of tiles of a mesh, or -17 (cannot open), -18 (no UV chunk, or its
// elements do not fit). On success out holds the last face's tile name.
float GetUVTile(const char* path, std::optional<std::string>& out, int mode);
// Entry index of _UVTileStr into out; out stays empty for an index outside
// the list.
void getUVTileString(int index, std::optional<std::string>& out);
void clearUVTileString();

// --- Tile selection -----------------------------------------------------------

// At most this many names are held; further names of a tile list are not
// added (a range such as 1-2000000000 stops there).
inline constexpr std::size_t kMaxTileSelection = 100000;

// Replaces _UVtilesOut by the tile list file at path: 0 when it could be
// opened (whatever it held), -1 when not (the selection is then empty).
float setUVtilesOut(const char* path);
void clearUVtilesOut();

// --- Per-tile extraction --------------------------------------------------------

// One file per tile, outPath without extension + i + ".Mesk": the mesh up
// to its UV elements, the UVs local to tile i (other corners -1, -1), the
// end block. Number of files, or -1760, -18, or 1501 + i when tile file i
// cannot be written.
float GetUVsFromMesk(const char* path, const char* outPath, int mode);
// The same split, each file the mesh without its last 16 bytes plus a mask
// chunk (0 for the vertices of the tile's faces, 255 else) and the end
// block. Number of files, or -1760, -18, -19, or 1501 + i.
float GetUVsFromMeskMASK(const char* path, const char* outPath, int mode);

// --- Polygroups ------------------------------------------------------------------

// Number of distinct polygroup numbers, or -17, -18.
float GetUVGroup(const char* path);

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.

// Refinement levels above this make the 32-bit face counts overflow.
inline constexpr double kMaxFaceIDLevels = 15.0;

// Fills _faceID from the face chunk at offset 32: per face, 4 * 4^(levels-1)
// for a quad, 3 * 4^(levels-1) for a triangle. Returns the number of entries,
// -1760, -1761, or -9 for levels above 15 or NaN (the table is emptied in
// every case).
float GetFaceIDsMesk(const char* meshPath, double levels);
// Writes the OBJ text of a mesh (vertex, colour and face chunks at their
// fixed places) grouped by _faceID; empties the table on success only.
float writeOBJfromMesk(const char* meshPath, char* objPath);
// Writes the vertex colour block of the chunk at offset 32 on its own.
float ReadVertColorMesk(const char* meshPath, char* outPath);
// Target (minus its last 14 bytes) followed by addition (minus its last 14
// bytes), written over the target.
float mergeFiles(const char* additionPath, char* targetPath);
