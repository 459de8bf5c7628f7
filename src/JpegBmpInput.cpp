#include "JpegBmpInput.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "BmpOps.h"
#include "JpegOps.h"

namespace {

// The checks every reading of a 24-bit BMP makes, in this order.
int read_bitmap_header(const char* path, fileio::FileWindow& f, BitmapLayout& l) {
    using namespace jpegcode;
    if (f.open(path) != fileio::Load::Ok) return kCannotOpenBmp;
    std::uint8_t hdr[54];
    if (!f.read(0, hdr, sizeof hdr)) return kShortHeader;
    if (hdr[0] != 'B' || hdr[1] != 'M' || fileio::loadLE16(hdr + 28) != 24) return kNotBmp24;
    // The rows start at the header's pixel-data offset, past an information
    // header of 40 bytes or one of the longer ones that begin like it.
    l.rowsAt = fileio::loadLE32(hdr + 10);
    if (!rowsAfterHeader(fileio::loadLE32(hdr + 14), fileio::loadLE32(hdr + 30), fileio::loadLE32(hdr + 10)))
        return kUnreadBmp;

    // A negative height stores the rows top down. Empty pictures, and ones
    // whose padded size would not fit the frame's 16 bits, are refused.
    const std::uint32_t w32 = fileio::loadLE32(hdr + 18);
    const std::int32_t hs = static_cast<std::int32_t>(fileio::loadLE32(hdr + 22));
    const std::uint64_t h32 = hs < 0 ? std::uint64_t(-std::int64_t(hs)) : std::uint64_t(hs);
    if (w32 == 0 || h32 == 0 || w32 > kJpegMaxDimension || h32 > kJpegMaxDimension) return kUnsupportedSize;
    l.w = w32;
    l.h = static_cast<std::size_t>(h32);
    l.topDown = hs < 0;

    // The buffer follows the header alone, so a header describing far more
    // than the file holds is refused before anything is allocated: the file
    // must hold at least a third of the picture's pixel data (one byte a
    // pixel). Shorter pictures keep their missing rows as zeros.
    if (std::uint64_t(w32) * h32 > f.size()) return kNoPictureBuffer;

    l.W = (l.w + 7) & ~std::size_t(7);
    l.H = (l.h + 7) & ~std::size_t(7);
    l.rowBytes = l.W * 3;
    // Each stored row: 3w bytes of pixels, then w mod 4 bytes of padding.
    l.stored = 3 * l.w + l.w % 4;
    if (l.rowBytes > std::numeric_limits<std::size_t>::max() / l.H) return kNoPictureBuffer;
    return kOk;
}

// One picture row from the got bytes read of its stored row: the pixels
// (zeros for what is missing), then the padding columns repeating the last
// pixel.
void place_row(const BitmapLayout& l, const std::uint8_t* stored, std::size_t got, std::uint8_t* dst) {
    const std::size_t pixels = 3 * l.w;
    const std::size_t n = got < pixels ? got : pixels;
    std::memcpy(dst, stored, n);
    std::memset(dst + n, 0, pixels - n);
    const std::uint8_t* last = dst + 3 * (l.w - 1);
    for (std::size_t x = l.w; x < l.W; ++x) std::memcpy(dst + 3 * x, last, 3);
}

}  // namespace

int BitmapStripes::open(const char* path, int& width, int& height) {
    using namespace jpegcode;
    int r = read_bitmap_header(path, file_, layout_);
    if (r != kOk) return r;
    width = static_cast<int>(layout_.w);
    height = static_cast<int>(layout_.h);
    try {
        stripe_.assign(8 * layout_.rowBytes, 0);
        bottom_.assign(layout_.rowBytes, 0);
        rows_.resize(8 * layout_.stored);
    } catch (const std::bad_alloc&) {
        return kNoPictureBuffer;
    }
    // The bottom row, which also fills the rows below the picture.
    const BitmapLayout& l = layout_;
    const std::size_t got =
        file_.readSome(l.rowsAt + (l.topDown ? std::uint64_t(l.h - 1) * l.stored : 0), rows_.data(), l.stored);
    place_row(layout_, rows_.data(), got, bottom_.data());
    return kOk;
}

bool BitmapStripes::load(std::size_t y) {
    const BitmapLayout& l = layout_;
    if (y >= l.h) {
        for (int k = 0; k < 8; ++k) std::memcpy(stripe_.data() + k * l.rowBytes, bottom_.data(), l.rowBytes);
        return true;
    }
    // The stripe's picture rows y .. last are stored rows h-1-last .. h-1-y
    // (bottom up) or y .. last (top down), one run of the file, read at once.
    const std::size_t last = std::min(y + 7, l.h - 1);
    const std::size_t low = l.topDown ? y : l.h - 1 - last, count = last - y + 1;
    const std::size_t got =
        file_.readSome(l.rowsAt + static_cast<std::uint64_t>(low) * l.stored, rows_.data(), count * l.stored);
    for (std::size_t k = 0; k < 8; ++k) {
        std::uint8_t* dst = stripe_.data() + k * l.rowBytes;
        if (y + k >= l.h) {
            std::memcpy(dst, bottom_.data(), l.rowBytes);
            continue;
        }
        // this row within what was read
        const std::size_t at = (l.topDown ? k : l.h - 1 - (y + k) - low) * l.stored;
        place_row(l, rows_.data() + at, got > at ? std::min(got - at, l.stored) : 0, dst);
    }
    return true;
}
