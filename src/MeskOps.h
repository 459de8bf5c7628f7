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

// Status codes of the mesh exports beyond the shared ones (-9, -2, -1760,
// -2760, -3760, -18 and a misplaced chunk's tag).
inline constexpr float kMeskTruncated = -1761.0f;      // a chunk header or element lies past the end of the file
inline constexpr float kFaceIDsPastFaces = -1762.0f;   // the face-ID table asks for more faces than the face chunk holds
inline constexpr float kMisplacedZeroTag = -1763.0f;    // OBJ: a misplaced chunk carries tag 0
inline constexpr float kTextNotWritten = -3.0f;        // the text output could not be written out completely
inline constexpr float kCreaseTargetShort = -2761.0f;  // crease target shorter than the 14-byte tail
inline constexpr float kCreaseAdditionShort = -1761.0f;  // crease addition shorter than the 14-byte tail
inline constexpr float kCreaseNotWritten = -3761.0f;   // crease target opened but not written completely

// Refinement levels above this make the 32-bit face counts overflow.
inline constexpr double kMaxFaceIDLevels = 15.0;

// Fills _faceID from the face chunk at offset 32: per face, 4 * 4^(levels-1)
// for a quad, 3 * 4^(levels-1) for a triangle. Returns the number of entries,
// -1760, -1761, or -9 for levels above 15 or NaN (the table is emptied in
// every case).
float GetFaceIDsMesk(const char *meshPath, double levels);
// Writes the OBJ text of a mesh (vertex, colour and face chunks at their
// fixed places) grouped by _faceID; empties the table on success only.
float writeOBJfromMesk(const char *meshPath, char *objPath);
// Writes the vertex colour block of the chunk at offset 32 on its own.
float ReadVertColorMesk(const char *meshPath, char *outPath);
// Target (minus its last 14 bytes) followed by addition (minus its last 14
// bytes), written over the target.
float mergeFiles(const char *additionPath, char *targetPath);

// Longest text formatStreamFloat writes.
inline constexpr int kStreamFloatMax = 16;
// Writes v as a default-configured output stream prints a float (general
// notation, 6 significant digits, at least two exponent digits) and returns
// the end of the text. out needs kStreamFloatMax bytes; no NUL is written.
char *formatStreamFloat(float v, char *out);
