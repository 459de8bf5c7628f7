// The Mesk reader: the file's layout, the bytes of a mesh in memory or
// through a file window, and the chunk scan and fixed-position access.
//
// A Mesk file is little-endian: a 32-byte file header that nobody reads,
// then chunks (a 16-byte header: tag, size, count, reserved; then count
// elements of a fixed size per kind), and in written files a 16-byte end
// block of zeros. The mesh operations read a mesh through a window that
// moves along the file (fileio::FileWindow), so one call holds a few MiB
// whatever the mesh's size. Chunks are located either by scanning the chunk
// list for a tag or by taking them at fixed positions; every element an
// operation reads is checked against the file first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "FileAccess.h"

namespace fileio {
class NewFile;
}

// Chunk tags.
inline constexpr std::uint32_t kMeskVertexTag = 10001;  // x, y, z floats
inline constexpr std::uint32_t kMeskFaceTag = 20001;    // four int32 indices, fourth < 0: triangle
inline constexpr std::uint32_t kMeskUVTag = 25001;      // four (u, v) float pairs per face
inline constexpr std::uint32_t kMeskMaskTag = 30001;    // one byte per vertex, 255 masked
inline constexpr std::uint32_t kMeskColourTag = 35001;  // blue, green, red, unused byte per vertex
inline constexpr std::uint32_t kMeskGroupTag = 40001;   // int16 polygroup per face

// Element sizes in bytes.
inline constexpr std::size_t kMeskVertexSize = 12;
inline constexpr std::size_t kMeskFaceSize = 16;
inline constexpr std::size_t kMeskUVSize = 32;
inline constexpr std::size_t kMeskMaskSize = 1;
inline constexpr std::size_t kMeskColourSize = 4;
inline constexpr std::size_t kMeskGroupSize = 2;

// Layout.
inline constexpr std::size_t kMeskFileHeaderSize = 32;  // also where the chunk list starts
inline constexpr std::size_t kMeskChunkHeaderSize = 16;
inline constexpr std::size_t kMeskEndBlockSize = 16;

// The operations that read through two windows at once take windows of half
// the usual size, so that what they hold stays that of one.
inline constexpr std::size_t kPairWindow = fileio::FileWindow::kWindow / 2;

using MeskImage = std::vector<std::uint8_t>;

// The bytes of a mesh as the chunk readers see them: an image in memory or
// a file read through a window, not owned either way.
class MeskView {
public:
    MeskView() = default;
    MeskView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    MeskView(const MeskImage& image) : data_(image.data()), size_(image.size()) {}  // NOLINT: implicit on purpose
    explicit MeskView(fileio::FileWindow& file) : file_(&file), size_(file.size()) {}
    std::uint64_t size() const { return size_; }
    // The bytes [off, off + n), or null when they do not lie inside the
    // mesh or cannot be read. From a file, valid until the next call.
    const std::uint8_t* bytes(std::uint64_t off, std::size_t n) const;
    // Copies the bytes [off, off + n) into out (from a file, read straight
    // into out's buffer). False when they cannot be read.
    bool copyTo(std::uint64_t off, std::uint64_t n, fileio::NewFile& out) const;
    // fn(p, count) on count elements of elemSize bytes from off on, a block
    // of whole elements at a time. False when a block cannot be read or fn
    // returns false.
    template <class Fn>
    bool forEach(std::uint64_t off, std::uint64_t count, std::size_t elemSize, Fn&& fn) const {
        if (file_) return fileio::forEachBlock(*file_, off, count, elemSize, fn);
        if (count == 0) return true;
        const std::uint8_t* p = count <= SIZE_MAX / elemSize ? bytes(off, count * elemSize) : nullptr;
        return p && fn(p, static_cast<std::size_t>(count));
    }

private:
    const std::uint8_t* data_ = nullptr;
    fileio::FileWindow* file_ = nullptr;
    std::uint64_t size_ = 0;
};

// Elements of one chunk read in increasing order: get(i, m) gives the m
// elements from i on in one piece, reading a new block only when they leave
// the current one. For walks that are not one plain loop (groups, lines of
// several elements, two chunks in step through two views).
class MeskCursor {
public:
    MeskCursor(MeskView view, std::uint64_t first, std::size_t elemSize)
        : view_(view),
          first_(first),
          elemSize_(elemSize),
          perBlock_(elemSize >= fileio::FileWindow::kBlock ? 1 : fileio::FileWindow::kBlock / elemSize) {}
    // Null when the elements cannot be read; m must not exceed a block.
    const std::uint8_t* get(std::uint64_t i, std::uint64_t m);

private:
    MeskView view_;
    std::uint64_t first_;
    std::size_t elemSize_;
    std::uint64_t perBlock_;
    const std::uint8_t* block_ = nullptr;
    std::uint64_t from_ = 0, count_ = 0;  // the elements block_ holds
};

// A chunk header found in an image. Positions are 64-bit so that no sum of
// file fields can wrap.
struct MeskChunk {
    std::uint64_t pos = 0;  // first byte of the chunk header
    std::uint32_t tag = 0;
    std::uint32_t size = 0;   // size field, header included (0 is stepped over as 16)
    std::uint32_t count = 0;  // number of elements

    std::uint64_t first() const { return pos + kMeskChunkHeaderSize; }
    // Offset of element i.
    std::uint64_t element(std::uint64_t i, std::size_t elemSize) const { return first() + i * elemSize; }
    // Offset just behind the last element (from count, not from size).
    std::uint64_t end(std::size_t elemSize) const { return element(count, elemSize); }
    // Where the scan goes on behind this chunk: pos + size, or pos + 16 for size 0.
    std::uint64_t next() const { return pos + (size ? size : kMeskChunkHeaderSize); }
};

// The chunk header at pos (fixed-position access); nothing when its 16
// bytes do not lie inside the image.
std::optional<MeskChunk> meskChunkAt(MeskView image, std::uint64_t pos);
// True when all count elements of elemSize bytes lie inside the image.
bool meskElementsFit(MeskView image, const MeskChunk& chunk, std::size_t elemSize);
// The chunk scan: the first chunk with the tag, from start on, stepping by
// each chunk's size field (0 counts as 16). Only headers are looked at.
std::optional<MeskChunk> findMeskChunk(MeskView image, std::uint32_t tag, std::uint64_t start = kMeskFileHeaderSize);
// The scan, then the element check: nothing when the chunk is missing or
// its elements do not fit.
std::optional<MeskChunk> findMeskElements(MeskView image, std::uint32_t tag, std::size_t elemSize,
                                          std::uint64_t start = kMeskFileHeaderSize);
