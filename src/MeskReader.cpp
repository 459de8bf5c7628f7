#include "MeskReader.h"

#include <algorithm>

#include "NewFile.h"

bool MeskView::copyTo(std::uint64_t off, std::uint64_t n, fileio::NewFile& out) const {
    if (file_) return fileio::copyRange(*file_, off, n, out);
    if (n > SIZE_MAX) return false;
    const std::uint8_t* p = bytes(off, static_cast<std::size_t>(n));
    if (!p) return false;
    out.put(p, static_cast<std::size_t>(n));
    return true;
}

const std::uint8_t* MeskView::bytes(std::uint64_t off, std::size_t n) const {
    if (file_) return file_->view(off, n);
    if (off > size_ || n > size_ - off) return nullptr;
    return data_ + off;
}

const std::uint8_t* MeskCursor::get(std::uint64_t i, std::uint64_t m) {
    if (!block_ || i < from_ || i - from_ > count_ || m > count_ - (i - from_)) {
        const std::uint64_t n = m > perBlock_ ? m : perBlock_;
        // Never past the view's end: the last block is as long as what is left.
        const std::uint64_t room = (view_.size() - std::min(view_.size(), first_ + i * elemSize_)) / elemSize_;
        count_ = std::max(m, std::min(n, room));
        from_ = i;
        block_ = view_.bytes(first_ + i * elemSize_, static_cast<std::size_t>(count_ * elemSize_));
        if (!block_) return nullptr;
    }
    return block_ + (i - from_) * elemSize_;
}

std::optional<MeskChunk> meskChunkAt(MeskView image, std::uint64_t pos) {
    if (pos > image.size() || image.size() - pos < kMeskChunkHeaderSize) return std::nullopt;
    const std::uint8_t* p = image.bytes(pos, kMeskChunkHeaderSize);
    if (!p) return std::nullopt;
    MeskChunk c;
    c.pos = pos;
    c.tag = fileio::loadLE32(p);
    c.size = fileio::loadLE32(p + 4);
    c.count = fileio::loadLE32(p + 8);
    return c;
}

bool meskElementsFit(MeskView image, const MeskChunk& chunk, std::size_t elemSize) {
    // count < 2^32 and elemSize <= 32, so the product cannot wrap 64 bits.
    std::uint64_t first = chunk.first();
    if (first > image.size()) return false;
    return static_cast<std::uint64_t>(chunk.count) * elemSize <= image.size() - first;
}

std::optional<MeskChunk> findMeskChunk(MeskView image, std::uint32_t tag, std::uint64_t start) {
    std::optional<MeskChunk> c = meskChunkAt(image, start);
    // Each step moves at least one byte forward and stops once a header no
    // longer fits, so a chain of zero-size chunks ends at the image's end.
    while (c) {
        if (c->tag == tag) return c;
        c = meskChunkAt(image, c->next());
    }
    return std::nullopt;
}

std::optional<MeskChunk> findMeskElements(MeskView image, std::uint32_t tag, std::size_t elemSize,
                                          std::uint64_t start) {
    std::optional<MeskChunk> c = findMeskChunk(image, tag, start);
    if (c && !meskElementsFit(image, *c, elemSize)) return std::nullopt;
    return c;
}
