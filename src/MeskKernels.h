// The per-coordinate arithmetic of UV tiles and its SIMD paths.
//
// A face belongs to the tile of its corner 0: U = u - 1 truncated if u < 0,
// else u truncated (likewise V), so u = 1 is tile 1 and u = -1 is tile -2.
// Coordinates beyond the int32 range saturate and NaN counts as 0.
#pragma once

#include <cstdint>

// The float to int32 conversion of the tile indices: truncated toward zero,
// saturated, NaN as 0. The path by number (Platform.h): simd::kPortable or
// kSse2; false when this build lacks it (out is left alone then).
bool truncSatWith(int path, float t, std::int32_t& out);
// Tile index of one coordinate, by the widest path of this build.
std::int32_t uvTileIndex(float w);
// Integer part and tile-local fraction (0 <= f < 1 for ordinary input) of
// one coordinate, by the same rule as uvTileIndex.
void uvLocal(float w, std::int32_t& index, float& local);
