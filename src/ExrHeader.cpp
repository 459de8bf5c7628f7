#include "ExrHeader.h"

#include <algorithm>

namespace exr {

Window readBox(const fileio::Bytes& v) {
    Window w;
    w.minX = static_cast<std::int32_t>(fileio::loadLE32(v.data));
    w.minY = static_cast<std::int32_t>(fileio::loadLE32(v.data + 4));
    w.maxX = static_cast<std::int32_t>(fileio::loadLE32(v.data + 8));
    w.maxY = static_cast<std::int32_t>(fileio::loadLE32(v.data + 12));
    return w;
}

namespace {

// floor(log2(x)) or ceil(log2(x)) for x >= 1, as both decoders round levels.
int roundLog2(std::int64_t x, int rounding) {
    int down = 0;
    while ((std::int64_t{1} << (down + 1)) <= x) ++down;
    return (rounding == 1 && (std::int64_t{1} << down) < x) ? down + 1 : down;
}

std::int64_t levelSize(std::int64_t size, int level, int rounding) {
    if (rounding == 1) size += (std::int64_t{1} << level) - 1;
    return std::max<std::int64_t>(1, size >> level);
}

}  // namespace

std::uint64_t chunkCount(const Layout& h, std::uint64_t limit) {
    const std::int64_t w = h.window.width(), ht = h.window.height();
    if (!h.tiled()) {
        const std::int64_t lines = kLinesPerChunk[h.compression];
        return static_cast<std::uint64_t>((ht + lines - 1) / lines);
    }
    int xLevels = 1, yLevels = 1;
    if (h.levelMode == 1) xLevels = yLevels = roundLog2(std::max(w, ht), h.rounding) + 1;
    if (h.levelMode == 2) {
        xLevels = roundLog2(w, h.rounding) + 1;
        yLevels = roundLog2(ht, h.rounding) + 1;
    }
    auto tiles = [&](std::int64_t size, int level, std::uint32_t tile) {
        return static_cast<std::uint64_t>((levelSize(size, level, h.rounding) + tile - 1) / tile);
    };
    std::uint64_t total = 0;
    for (int ly = 0; ly < yLevels; ++ly)
        for (int lx = 0; lx < xLevels; ++lx) {
            if (h.levelMode == 1 && lx != ly) continue;
            const std::uint64_t across = tiles(w, lx, h.tileW), down = tiles(ht, ly, h.tileH);
            if (across > (limit - total) / down) return limit + 1;  // down >= 1
            total += across * down;
        }
    return total;
}

// The compression tinyexr meets first, or -1.
int firstCompression(const fileio::Bytes& b) {
    int c = -1;
    walkAttributes(b, [&](const Attribute& a) {
        if (a.name != "compression") return true;
        if (a.type == "compression" && a.value.size == 1) c = a.value.data[0];
        return false;
    });
    return c;
}

}  // namespace exr
