// The codes of the mesh operations and exports, and what each mesh export's
// result means (the operations are in MeskOps.h).
#pragma once

#include "ResultCodes.h"

// Status codes of the mesh operations. Each operation uses the ones its
// documentation names; they are kept apart here so that they stay so.
inline constexpr float kMeskQueryCannotOpen = -17.0f;  // tile detection, polygroup count
inline constexpr float kMeskCannotOpen = -1760.0f;     // extraction, OBJ, colours, face IDs, crease addition
inline constexpr float kMeskCreaseTargetRead = -2760.0f;
inline constexpr float kMeskCreaseTargetWrite = -3760.0f;
inline constexpr float kMeskNoChunk = -18.0f;          // wanted chunk missing (or its elements do not fit)
inline constexpr float kMeskNoFaceChunk = -19.0f;      // face chunk missing in the mask variant
inline constexpr float kMeskOutputCannotOpen = -2.0f;  // OBJ / colour block output
inline constexpr float kMeskTileFileBase = 1501.0f;    // tile file i cannot be written: 1501 + i
inline constexpr float kTileListCannotOpen = -1.0f;    // tile selection: the list file cannot be opened

// Status codes of the mesh exports beyond the shared ones (-9, -2, -1760,
// -2760, -3760, -18 and a misplaced chunk's tag).
inline constexpr float kMeskTruncated = -1761.0f;     // a chunk header or element lies past the end of the file
inline constexpr float kFaceIDsPastFaces = -1762.0f;  // the face-ID table asks for more faces than the face chunk holds
inline constexpr float kMisplacedZeroTag = -1763.0f;  // OBJ: a misplaced chunk carries tag 0
inline constexpr float kTextNotWritten = -3.0f;       // the text output could not be written out completely
inline constexpr float kCreaseTargetShort = -2761.0f;    // crease target shorter than the 14-byte tail
inline constexpr float kCreaseAdditionShort = -1761.0f;  // crease addition shorter than the 14-byte tail
inline constexpr float kCreaseNotWritten = -3761.0f;     // crease target opened but not written completely

// What each mesh export's result means.
inline constexpr float kMeskTileFileLast = kMeskTileFileBase + 4294967295.0f;  // tile files are numbered in 32 bits
inline constexpr float kMeskTagLast = 4294967295.0f;                           // a chunk tag is 32 bits
inline constexpr results::Row kMeskResults[] = {
    results::count("getUVTile", "the number of distinct tiles"),
    results::code("getUVTile", kMeskQueryCannotOpen, "the mesh cannot be opened or read"),
    results::code("getUVTile", kMeskNoChunk, "the mesh has no UV chunk, or its elements do not fit the file"),

    results::count("getUVs", "the number of tile files written (0: the mesh has no tile)"),
    results::code("getUVs", kMeskCannotOpen, "the mesh cannot be opened or read"),
    results::code("getUVs", kMeskNoChunk, "the mesh has no UV chunk, or its elements do not fit the file"),
    results::range("getUVs", kMeskTileFileBase, kMeskTileFileLast,
                   "tile file %d cannot be created or written, or would be the mesh itself"),

    results::count("getUVsMask", "the number of tile files written (0: the mesh has no tile)"),
    results::code("getUVsMask", kMeskCannotOpen, "the mesh cannot be opened or read"),
    results::code("getUVsMask", kMeskNoChunk,
                  "no vertex chunk, no UV chunk behind faces, a chunk that does not fit, or UV and face counts differ"),
    results::code("getUVsMask", kMeskNoFaceChunk,
                  "no face chunk behind the vertex chunk, or its elements do not fit the file"),
    results::range("getUVsMask", kMeskTileFileBase, kMeskTileFileLast,
                   "tile file %d cannot be created or written, or would be the mesh itself"),

    results::code("getUVString", 0.0f, "done; mem1 holds the tile name, or is unchanged outside the list"),
    results::code("clearUVString", 0.0f, "the tile name list is empty"),
    results::code("setUVtilesOutput", 0.0f, "the tile list was read"),
    results::code("setUVtilesOutput", kTileListCannotOpen, "the tile list cannot be opened; the selection is empty"),
    results::code("clearUVtilesOutput", 0.0f, "the tile selection is empty"),

    results::count("getUVGroups", "the number of distinct polygroups"),
    results::code("getUVGroups", kMeskQueryCannotOpen, "the mesh cannot be opened or read"),
    results::code("getUVGroups", kMeskNoChunk, "the mesh has no polygroup chunk, or its elements do not fit the file"),

    results::count("getFaceIDs", "the number of face-ID table entries", results::Builds::Windows),
    results::code("getFaceIDs", kMeskCannotOpen, "the mesh cannot be opened or read", results::Builds::Windows),
    results::code("getFaceIDs", kMeskTruncated, "the chunk at 32 or its faces lie past the end of the file",
                  results::Builds::Windows),

    results::code("mesktoOBJ", 0.0f, "the OBJ file was written", results::Builds::Windows),
    results::code("mesktoOBJ", kMeskNoChunk, "the face-ID table is empty", results::Builds::Windows),
    results::code("mesktoOBJ", kMeskCannotOpen, "the mesh cannot be opened or read", results::Builds::Windows),
    results::range("mesktoOBJ", 1.0f, kMeskTagLast,
                   "a chunk with this tag is where the vertex, colour or face chunk must be", results::Builds::Windows),
    results::code("mesktoOBJ", kMisplacedZeroTag,
                  "a chunk with tag 0 is where the vertex, colour or face chunk must be", results::Builds::Windows),
    results::code("mesktoOBJ", kMeskTruncated, "a chunk header or element lies past the end of the file",
                  results::Builds::Windows),
    results::code("mesktoOBJ", kFaceIDsPastFaces, "the face-ID table asks for more faces than the face chunk holds",
                  results::Builds::Windows),
    results::code("mesktoOBJ", kMeskOutputCannotOpen, "the OBJ file cannot be created, or it is the mesh itself",
                  results::Builds::Windows),
    results::code("mesktoOBJ", kTextNotWritten, "the OBJ file could not be written completely",
                  results::Builds::Windows),

    results::code("outMRGB", 0.0f, "the colour block was written", results::Builds::Windows),
    results::code("outMRGB", kMeskCannotOpen, "the mesh cannot be opened or read", results::Builds::Windows),
    results::code("outMRGB", kMeskTruncated, "the chunk at 32 or its colours lie past the end of the file",
                  results::Builds::Windows),
    results::code("outMRGB", kMeskOutputCannotOpen, "the output cannot be created, or it is the mesh itself",
                  results::Builds::Windows),
    results::code("outMRGB", kTextNotWritten, "the output could not be written completely", results::Builds::Windows),

    results::code("mergeCrease", 0.0f, "the addition was appended to the target"),
    results::code("mergeCrease", kMeskCreaseTargetRead, "the target cannot be read"),
    results::code("mergeCrease", kCreaseTargetShort, "the target is shorter than 14 bytes"),
    results::code("mergeCrease", kMeskCannotOpen, "the addition cannot be read"),
    results::code("mergeCrease", kCreaseAdditionShort, "the addition is shorter than 14 bytes"),
    results::code("mergeCrease", kMeskCreaseTargetWrite, "the target cannot be opened for writing"),
    results::code("mergeCrease", kCreaseNotWritten, "the target could not be written completely"),
};
