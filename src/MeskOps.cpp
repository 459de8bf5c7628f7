#include "MeskOps.h"

#include "FileAccess.h"
#include "FileOps.h"

std::vector<std::string> _UVTileStr;
std::set<std::string> _UVtilesOut;
std::vector<std::uint32_t> _faceID;

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

bool loadMesk(const char* path, MeskImage& image) {
    // One whole-file read; a read that fails part way gives no image
    // rather than a silently shortened one.
    return fileio::loadFile(path, image) == fileio::Load::Ok;
}

std::optional<MeskChunk> meskChunkAt(const MeskImage& image, std::uint64_t pos) {
    if (pos > image.size() || image.size() - pos < kMeskChunkHeaderSize) return std::nullopt;
    const std::uint8_t* p = image.data() + pos;
    MeskChunk c;
    c.pos = pos;
    c.tag = meskU32(p);
    c.size = meskU32(p + 4);
    c.count = meskU32(p + 8);
    return c;
}

bool meskElementsFit(const MeskImage& image, const MeskChunk& chunk, std::size_t elemSize) {
    // count < 2^32 and elemSize <= 32, so the product cannot wrap 64 bits.
    std::uint64_t first = chunk.first();
    if (first > image.size()) return false;
    return static_cast<std::uint64_t>(chunk.count) * elemSize <= image.size() - first;
}

std::optional<MeskChunk> findMeskChunk(const MeskImage& image, std::uint32_t tag, std::uint64_t start) {
    std::optional<MeskChunk> c = meskChunkAt(image, start);
    // Each step moves at least one byte forward and stops once a header no
    // longer fits, so a chain of zero-size chunks ends at the image's end.
    while (c) {
        if (c->tag == tag) return c;
        c = meskChunkAt(image, c->next());
    }
    return std::nullopt;
}

std::optional<MeskChunk> findMeskElements(const MeskImage& image, std::uint32_t tag, std::size_t elemSize,
                                          std::uint64_t start) {
    std::optional<MeskChunk> c = findMeskChunk(image, tag, start);
    if (c && !meskElementsFit(image, *c, elemSize)) return std::nullopt;
    return c;
}

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.
