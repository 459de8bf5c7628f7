#include "JpegOps.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "BmpOps.h"
#include "NewFile.h"
#include "Platform.h"

#if BRINDLEX_X86_SIMD
#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>
#include <xmmintrin.h>
#endif

// ---------------------------------------------------------------------------
// Constant tables.

// Natural (row-major) index -> position in zig-zag order (ITU-T T.81,
// figure A.6).
const std::uint8_t zigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28,  //
    2,  4,  7,  13, 16, 26, 29, 42,  //
    3,  8,  12, 17, 25, 30, 41, 43,  //
    9,  11, 18, 24, 31, 40, 44, 53,  //
    10, 19, 23, 32, 39, 45, 52, 54,  //
    20, 22, 33, 38, 46, 51, 55, 60,  //
    21, 34, 37, 47, 50, 56, 59, 61,  //
    35, 36, 48, 49, 57, 58, 62, 63,
};

// The example quantisation tables of ITU-T T.81 Annex K.1 (tables K.1,
// luminance, and K.2, chrominance), in natural order.
const std::uint8_t std_luminance_qt[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99,
};
const std::uint8_t std_chrominance_qt[64] = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,
};

// The example Huffman tables of ITU-T T.81 Annex K.3 (tables K.3 and K.4
// for the DC differences, K.5 and K.6 for the AC coefficients), as the
// count and value lists of K.3.3: entry L (1..16) of a count list is the
// number of codes of length L.
const std::uint8_t std_dc_luminance_nrcodes[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const std::uint8_t std_dc_chrominance_nrcodes[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const std::uint8_t std_ac_luminance_nrcodes[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const std::uint8_t std_ac_chrominance_nrcodes[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};

// The DC values of both components: the luminance list (K.3.3.1) equals
// the chrominance one, 0 to 11, so the luminance DC table uses this too.
const std::uint8_t std_dc_chrominance_values[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const std::uint8_t std_ac_luminance_values[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,  //
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,  //
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,  //
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,  //
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,  //
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,  //
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,  //
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,  //
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,  //
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,  //
    0xf9, 0xfa,
};
const std::uint8_t std_ac_chrominance_values[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,  //
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,  //
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,  //
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,  //
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,  //
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,  //
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,  //
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,  //
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,  //
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,  //
    0xf9, 0xfa,
};

const std::uint16_t mask[16] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};

const double aan_scale_factor[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                                    1.0, 0.785694958, 0.5411961,   0.275899379};

// ---------------------------------------------------------------------------
// Module state.

const std::uint8_t *_RGB_buffer = nullptr;
std::uint16_t _width = 0, _height = 0;
fileio::NewFile *_fp_jpeg_stream = nullptr;
std::uint8_t bytenew = 0;
std::int8_t bytepos = 7;
std::uint8_t DQTinfo[134];
std::uint8_t DHTinfo[420];
SOF0infotype SOF0info;
bitstring YDC_HT[12], CbDC_HT[12];
bitstring YAC_HT[256], CbAC_HT[256];
std::uint8_t *category = nullptr;
bitstring *bitcode = nullptr;
std::uint8_t *category_alloc = nullptr;
bitstring *bitcode_alloc = nullptr;
std::int32_t YRtab[256], YGtab[256], YBtab[256];
std::int32_t CbRtab[256], CbGtab[256], CbBtab[256];
std::int32_t CrRtab[256], CrGtab[256], CrBtab[256];
float fdtbl_Y[64], fdtbl_Cb[64];
std::int8_t YDU[64], CbDU[64], CrDU[64];
std::int16_t DU_DCT[64];

namespace {

const char kComment[] = "Brindlex v1.0..";

// The entropy coder: bits gather in a 64-bit accumulator, whole bytes go
// (stuffed) into a block that is handed to the writer when it fills.
fileio::NewFile *_scan_out = nullptr;
std::uint64_t _bitacc = 0;
unsigned _bitcnt = 0;  // bits in _bitacc not yet written as bytes
constexpr std::size_t kScanBlock = 1 << 16;
std::uint8_t _scanbuf[kScanBlock + 16];
std::size_t _scanlen = 0;

inline void scan_byte(std::uint8_t b) {
    _scanbuf[_scanlen++] = b;
    if (b == 0xFF) _scanbuf[_scanlen++] = 0x00;
}

inline void scan_flush_block() {
    if (_scan_out && _scanlen) _scan_out->put(_scanbuf, _scanlen);
    _scanlen = 0;
}

// Moves every whole byte of the accumulator into the block.
void scan_drain() {
    while (_bitcnt >= 8) {
        _bitcnt -= 8;
        scan_byte(static_cast<std::uint8_t>(_bitacc >> _bitcnt));
        if (_scanlen >= kScanBlock) scan_flush_block();
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Bit writer.

void start_scan(fileio::NewFile &out) {
    _scan_out = &out;
    _bitacc = 0;
    _bitcnt = 0;
    _scanlen = 0;
    bytenew = 0;
    bytepos = 7;
}

namespace {

// Appends n (at most 32) bits; whole 32-bit words go out at once.
inline void put_bits(std::uint32_t bits, unsigned n) {
    _bitacc = (_bitacc << n) | bits;
    _bitcnt += n;
    if (_bitcnt >= 32) {
        // Four whole bytes; the common case has no 0xFF among them.
        _bitcnt -= 32;
        std::uint32_t w = static_cast<std::uint32_t>(_bitacc >> _bitcnt);
        if (_scanlen >= kScanBlock) scan_flush_block();
        scan_byte(static_cast<std::uint8_t>(w >> 24));
        scan_byte(static_cast<std::uint8_t>(w >> 16));
        scan_byte(static_cast<std::uint8_t>(w >> 8));
        scan_byte(static_cast<std::uint8_t>(w));
    }
}

// A Huffman code followed by its additional bits, in one step.
inline void writebits2(bitstring a, bitstring b) {
    put_bits((static_cast<std::uint32_t>(a.code) << b.length) | b.code, a.length + b.length);
}

}  // namespace

void writebits(bitstring bs) { put_bits(bs.code, bs.length); }

void finish_scan() {
    scan_drain();
    // The accumulator now holds fewer than 8 bits: that is the byte being
    // built, with bytepos its next free bit.
    bytepos = static_cast<std::int8_t>(7 - static_cast<int>(_bitcnt));
    bytenew = static_cast<std::uint8_t>((_bitacc << (8 - _bitcnt)) & 0xFF);
    // Fill with bytepos + 1 one-bits: always at least one bit, a whole
    // (stuffed) 0xFF byte when the data ended on a byte boundary.
    int fill = bytepos + 1;
    writebits(bitstring{static_cast<std::uint8_t>(fill), static_cast<std::uint16_t>((1u << fill) - 1)});
    scan_drain();
    bytenew = 0;
    bytepos = 7;
    scan_flush_block();
    _scan_out = nullptr;
}

// ---------------------------------------------------------------------------
// BMP reader.

void release_jpeg_buffers() {
    delete[] category_alloc;
    category_alloc = nullptr;
    category = nullptr;
    delete[] bitcode_alloc;
    bitcode_alloc = nullptr;
    bitcode = nullptr;
}

namespace {

// The checks every reading of a 24-bit BMP makes, in this order.
int read_bitmap_header(const char *path, fileio::File &f, BitmapLayout &l) {
    using namespace jpegcode;
    f = fileio::open(path, "rb");
    if (!f) return kCannotOpenBmp;
    std::uint8_t hdr[54];
    if (fileio::readSome(f.get(), hdr, sizeof hdr) != sizeof hdr) return kShortHeader;
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
    const long long fileSize = fileio::streamSize(f.get());
    if (fileSize < 0 || std::uint64_t(w32) * h32 > static_cast<std::uint64_t>(fileSize))
        return kNoPictureBuffer;

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
void place_row(const BitmapLayout &l, const std::uint8_t *stored, std::size_t got, std::uint8_t *dst) {
    const std::size_t pixels = 3 * l.w;
    const std::size_t n = got < pixels ? got : pixels;
    std::memcpy(dst, stored, n);
    std::memset(dst + n, 0, pixels - n);
    const std::uint8_t *last = dst + 3 * (l.w - 1);
    for (std::size_t x = l.w; x < l.W; ++x) std::memcpy(dst + 3 * x, last, 3);
}

}  // namespace

int BitmapStripes::open(const char *path, int &width, int &height) {
    using namespace jpegcode;
    int r = read_bitmap_header(path, file_, layout_);
    if (r != kOk) return r;
    width = static_cast<int>(layout_.w);
    height = static_cast<int>(layout_.h);
    try {
        stripe_.assign(8 * layout_.rowBytes, 0);
        bottom_.assign(layout_.rowBytes, 0);
        rows_.resize(8 * layout_.stored);
    } catch (const std::bad_alloc &) {
        return kNoPictureBuffer;
    }
    // The bottom row, which also fills the rows below the picture.
    const BitmapLayout &l = layout_;
    std::size_t got = 0;
    if (fileio::seekTo(file_.get(), l.rowsAt + (l.topDown ? std::uint64_t(l.h - 1) * l.stored : 0)))
        got = fileio::readSome(file_.get(), rows_.data(), l.stored);
    place_row(layout_, rows_.data(), got, bottom_.data());
    _width = static_cast<std::uint16_t>(layout_.W);
    _height = static_cast<std::uint16_t>(layout_.H);
    return kOk;
}

bool BitmapStripes::load(std::size_t y) {
    const BitmapLayout &l = layout_;
    if (y >= l.h) {
        for (int k = 0; k < 8; ++k) std::memcpy(stripe_.data() + k * l.rowBytes, bottom_.data(), l.rowBytes);
        return true;
    }
    // The stripe's picture rows y .. last are stored rows h-1-last .. h-1-y
    // (bottom up) or y .. last (top down), one run of the file, read at once.
    const std::size_t last = std::min(y + 7, l.h - 1);
    const std::size_t low = l.topDown ? y : l.h - 1 - last, count = last - y + 1;
    std::size_t got = 0;
    if (fileio::seekTo(file_.get(), l.rowsAt + static_cast<std::uint64_t>(low) * l.stored))
        got = fileio::readSome(file_.get(), rows_.data(), count * l.stored);
    for (std::size_t k = 0; k < 8; ++k) {
        std::uint8_t *dst = stripe_.data() + k * l.rowBytes;
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

// ---------------------------------------------------------------------------
// Tables.

void set_quant_table(const std::uint8_t *basic_table, int scale_factor, std::uint8_t *newtable) {
    const long q = scale_factor & 0xFF;
    for (int i = 0; i < 64; ++i) {
        long x = basic_table[i] * q;
        long v = x < 50 ? 1 : (x + 50) / 100;
        if (v > 255) v = 255;
        newtable[zigzag[i]] = static_cast<std::uint8_t>(v);
    }
}

void set_DQTinfo(int scale) {
    DQTinfo[0] = 0xFF;
    DQTinfo[1] = 0xDB;
    fileio::storeBE16(DQTinfo + 2, 132);
    DQTinfo[4] = 0x00;
    set_quant_table(std_luminance_qt, scale, DQTinfo + 5);
    DQTinfo[69] = 0x01;
    set_quant_table(std_chrominance_qt, scale, DQTinfo + 70);
}

void set_DHTinfo() {
    std::uint8_t *p = DHTinfo;
    *p++ = 0xFF;
    *p++ = 0xC4;
    fileio::storeBE16(p, 418);
    p += 2;
    auto table = [&p](std::uint8_t classId, const std::uint8_t *nrcodes, const std::uint8_t *values, int n) {
        *p++ = classId;
        std::memcpy(p, nrcodes + 1, 16);
        p += 16;
        std::memcpy(p, values, static_cast<std::size_t>(n));
        p += n;
    };
    table(0x00, std_dc_luminance_nrcodes, std_dc_chrominance_values, 12);
    table(0x10, std_ac_luminance_nrcodes, std_ac_luminance_values, 162);
    table(0x01, std_dc_chrominance_nrcodes, std_dc_chrominance_values, 12);
    table(0x11, std_ac_chrominance_nrcodes, std_ac_chrominance_values, 162);
}

void compute_Huffman_table(const std::uint8_t *nrcodes, const std::uint8_t *std_table, bitstring *HT) {
    unsigned next = 0;
    int k = 0;
    for (int L = 1; L <= 16; ++L) {
        for (int j = 0; j < nrcodes[L]; ++j) {
            HT[std_table[k]] = bitstring{static_cast<std::uint8_t>(L), static_cast<std::uint16_t>(next)};
            ++next;
            ++k;
        }
        next *= 2;
    }
}

void init_Huffman_tables() {
    std::memset(YAC_HT, 0, sizeof YAC_HT);
    std::memset(CbAC_HT, 0, sizeof CbAC_HT);
    compute_Huffman_table(std_dc_luminance_nrcodes, std_dc_chrominance_values, YDC_HT);
    compute_Huffman_table(std_ac_luminance_nrcodes, std_ac_luminance_values, YAC_HT);
    compute_Huffman_table(std_dc_chrominance_nrcodes, std_dc_chrominance_values, CbDC_HT);
    compute_Huffman_table(std_ac_chrominance_nrcodes, std_ac_chrominance_values, CbAC_HT);
}

int set_numbers_category_and_bitcode() {
    delete[] category_alloc;
    delete[] bitcode_alloc;
    category = nullptr;
    bitcode = nullptr;
    bitcode_alloc = nullptr;
    category_alloc = new (std::nothrow) std::uint8_t[65535]();
    if (!category_alloc) return jpegcode::kNoCategoryTable;
    bitcode_alloc = new (std::nothrow) bitstring[65535]();
    if (!bitcode_alloc) return jpegcode::kNoBitcodeTable;
    category = category_alloc + 32767;
    bitcode = bitcode_alloc + 32767;
    long lo = 1, hi = 2;
    for (int n = 1; n <= 15; ++n) {
        for (long v = lo; v < hi; ++v) {
            category[v] = category[-v] = static_cast<std::uint8_t>(n);
            bitcode[v] = bitstring{static_cast<std::uint8_t>(n), static_cast<std::uint16_t>(v)};
            bitcode[-v] = bitstring{static_cast<std::uint8_t>(n), static_cast<std::uint16_t>(hi - 1 - v)};
        }
        lo <<= 1;
        hi <<= 1;
    }
    return 0;
}

namespace {

// The weights of the colour conversion in units of 1/65536: Y is
// (kYR R + kYG G + kYB B) >> 16, less 128 to centre it on zero; Cb and Cr
// come out centred on zero.
constexpr std::int32_t kYR = 19595, kYG = 38470, kYB = 7471;
constexpr std::int32_t kCbR = -11058, kCbG = -21708, kCbB = 32768;
constexpr std::int32_t kCrR = 32768, kCrG = -27438, kCrB = -5328;

}  // namespace

void precalculate_YCbCr_tables() {
    for (std::int32_t i = 0; i < 256; ++i) {
        YRtab[i] = kYR * i;
        YGtab[i] = kYG * i;
        YBtab[i] = kYB * i;
        CbRtab[i] = kCbR * i;
        CbGtab[i] = kCbG * i;
        CbBtab[i] = kCbB * i;
        CrRtab[i] = kCrR * i;
        CrGtab[i] = kCrG * i;
        CrBtab[i] = kCrB * i;
    }
}

void prepare_quant_tables() {
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 8; ++col) {
            int i = row * 8 + col;
            double qy = DQTinfo[5 + zigzag[i]];
            double qc = DQTinfo[70 + zigzag[i]];
            fdtbl_Y[i] = static_cast<float>(1.0 / (qy * aan_scale_factor[row] * aan_scale_factor[col] * 8.0));
            fdtbl_Cb[i] = static_cast<float>(1.0 / (qc * aan_scale_factor[row] * aan_scale_factor[col] * 8.0));
        }
    }
}

int init_all(int scale) {
    set_DQTinfo(scale);
    set_DHTinfo();
    init_Huffman_tables();
    int r = set_numbers_category_and_bitcode();
    if (r != 0) return r;
    precalculate_YCbCr_tables();
    prepare_quant_tables();
    return 0;
}

// ---------------------------------------------------------------------------
// Transform and coding.

namespace {

// Four lanes of single-precision floats. The transform works on four rows
// (or columns) at once; each lane goes through exactly the operations, in
// the order, of one scalar pass, so the results are the same bits. GCC and
// Clang map this onto SSE2 and NEON (and split it where neither exists).
typedef float v4f __attribute__((vector_size(16)));

// One AAN pass over eight vectors: element k of the eight inputs is one
// scalar pass's input k. V is a vector of four or eight floats; the pass is
// always inlined, so it takes the instruction set of its caller.
template <class V>
__attribute__((always_inline)) inline void aan_pass(V *d) {
    const V c0707 = V{} + 0.707106781f, c0382 = V{} + 0.382683433f;
    const V c0541 = V{} + 0.541196100f, c1306 = V{} + 1.306562965f;
    V tmp0 = d[0] + d[7];
    V tmp7 = d[0] - d[7];
    V tmp1 = d[1] + d[6];
    V tmp6 = d[1] - d[6];
    V tmp2 = d[2] + d[5];
    V tmp5 = d[2] - d[5];
    V tmp3 = d[3] + d[4];
    V tmp4 = d[3] - d[4];

    // Even part.
    V tmp10 = tmp0 + tmp3;
    V tmp13 = tmp0 - tmp3;
    V tmp11 = tmp1 + tmp2;
    V tmp12 = tmp1 - tmp2;
    d[0] = tmp10 + tmp11;
    d[4] = tmp10 - tmp11;
    V z1 = (tmp12 + tmp13) * c0707;
    d[2] = tmp13 + z1;
    d[6] = tmp13 - z1;

    // Odd part.
    tmp10 = tmp4 + tmp5;
    tmp11 = tmp5 + tmp6;
    tmp12 = tmp6 + tmp7;
    V z5 = (tmp10 - tmp12) * c0382;
    V z2 = c0541 * tmp10 + z5;
    V z4 = c1306 * tmp12 + z5;
    V z3 = tmp11 * c0707;
    V z11 = tmp7 + z3;
    V z13 = tmp7 - z3;
    d[5] = z13 + z2;
    d[3] = z13 - z2;
    d[1] = z11 + z4;
    d[7] = z11 - z4;
}

using FdctFn = void (*)(const std::int8_t *, const float *, std::int16_t *);
using NonzeroMaskFn = std::uint64_t (*)(const std::int16_t *);
using LoadUnitsFn = void (*)(const std::uint8_t *, std::size_t);

// The encoder's functions on one path (simd::k*), each null where this
// build or processor lacks it. The table follows the last of them.
struct JpegPath {
    FdctFn fdct;
    NonzeroMaskFn nonzeroMask;
    LoadUnitsFn loadUnits;
};
JpegPath jpeg_path(int path);

// The transform in generic four-lane vectors, which every target compiles;
// the other paths give its results bit for bit.
void fdct_portable(const std::int8_t *data, const float *fdtbl, std::int16_t *outdata) {
    // Row pass: lane j of vector k holds row (4h + j), column k.
    float t[2][8][4];
    for (int h = 0; h < 2; ++h)
        for (int k = 0; k < 8; ++k)
            for (int j = 0; j < 4; ++j) t[h][k][j] = static_cast<float>(data[(4 * h + j) * 8 + k]);
    v4f rows[2][8];
    std::memcpy(rows, t, sizeof rows);
    aan_pass(rows[0]);
    aan_pass(rows[1]);
    std::memcpy(t, rows, sizeof t);

    // Column pass: lane j of vector r holds row r, column (4h + j).
    float u[2][8][4];
    for (int h = 0; h < 2; ++h)
        for (int r = 0; r < 8; ++r)
            for (int j = 0; j < 4; ++j) u[h][r][j] = t[r / 4][4 * h + j][r % 4];
    v4f cols[2][8];
    std::memcpy(cols, u, sizeof cols);
    aan_pass(cols[0]);
    aan_pass(cols[1]);
    std::memcpy(u, cols, sizeof u);

    // Round to nearest, halves upwards: the product in single precision,
    // the offset sum in double, then truncation.
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            const int i = 8 * r + c;
            const float temp = u[c / 4][r][c % 4] * fdtbl[i];
            outdata[i] = static_cast<std::int16_t>(static_cast<int>(static_cast<double>(temp) + 16384.5) - 16384);
        }
}

#if BRINDLEX_X86_SIMD
inline v4f as_v4f(__m128 x) { return reinterpret_cast<v4f &>(x); }
inline __m128 as_m128(v4f x) { return reinterpret_cast<__m128 &>(x); }

// 4 x 4 transpose of a, b, c, d in place.
inline void transpose4(v4f &a, v4f &b, v4f &c, v4f &d) {
    __m128 A = as_m128(a), B = as_m128(b), C = as_m128(c), D = as_m128(d);
    _MM_TRANSPOSE4_PS(A, B, C, D);
    a = as_v4f(A);
    b = as_v4f(B);
    c = as_v4f(C);
    d = as_v4f(D);
}

// x[r][h] holds row r, columns 4h .. 4h+3; afterwards row and column swap.
inline void transpose8(v4f x[8][2]) {
    transpose4(x[0][0], x[1][0], x[2][0], x[3][0]);
    transpose4(x[4][1], x[5][1], x[6][1], x[7][1]);
    transpose4(x[0][1], x[1][1], x[2][1], x[3][1]);
    transpose4(x[4][0], x[5][0], x[6][0], x[7][0]);
    for (int k = 0; k < 4; ++k) {
        v4f t = x[k][1];
        x[k][1] = x[4 + k][0];
        x[4 + k][0] = t;
    }
}

// Round to nearest, halves upwards: the product in single precision,
// then (int)((double)t + 16384.5) - 16384. For |t| < 16384 that is
// floor(t + 0.5), which single precision gives exactly and whatever the
// rounding mode: n = t truncated, d = t - n (exact), then n + 1 where
// d >= 0.5 and n - 1 where d < -0.5. Larger products, which quantised
// 8-bit samples never give, take the double sum itself.
__attribute__((always_inline)) inline __m128i quantise4(__m128 coefficients, const float *fdtbl) {
    const __m128 t = _mm_mul_ps(coefficients, _mm_loadu_ps(fdtbl));
    const __m128 magnitude = _mm_and_ps(t, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)));
    if (_mm_movemask_ps(_mm_cmplt_ps(magnitude, _mm_set1_ps(16384.0f))) == 0xF) {
        const __m128i n = _mm_cvttps_epi32(t);
        const __m128 d = _mm_sub_ps(t, _mm_cvtepi32_ps(n));
        // Comparison masks are -1 where true.
        return _mm_add_epi32(_mm_sub_epi32(n, _mm_castps_si128(_mm_cmpge_ps(d, _mm_set1_ps(0.5f)))),
                             _mm_castps_si128(_mm_cmplt_ps(d, _mm_set1_ps(-0.5f))));
    }
    const __m128d half = _mm_set1_pd(16384.5);
    const __m128i lo = _mm_cvttpd_epi32(_mm_add_pd(_mm_cvtps_pd(t), half));
    const __m128i hi = _mm_cvttpd_epi32(_mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(t, t)), half));
    return _mm_sub_epi32(_mm_unpacklo_epi64(lo, hi), _mm_set1_epi32(16384));
}

// One row of eight quantised coefficients from its two halves.
__attribute__((always_inline)) inline void quantise_row(__m128 left, __m128 right, const float *fdtbl,
                                                        std::int16_t *out) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                     _mm_packs_epi32(quantise4(left, fdtbl), quantise4(right, fdtbl + 4)));
}

// The transform on SSE2 registers: eight rows as sixteen four-lane halves.
void fdct_sse2(const std::int8_t *data, const float *fdtbl, std::int16_t *outdata) {
    // The samples as floats, x[r][h] = row r, columns 4h .. 4h+3.
    v4f x[8][2];
    for (int r = 0; r < 8; ++r) {
        __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(data + 8 * r));
        __m128i w = _mm_srai_epi16(_mm_unpacklo_epi8(b, b), 8);
        x[r][0] = as_v4f(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16)));
        x[r][1] = as_v4f(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(w, w), 16)));
    }
    // Row pass, four rows per vector: after the transpose x[k][h] holds
    // column k of rows 4h .. 4h+3.
    transpose8(x);
    v4f p[8];
    for (int h = 0; h < 2; ++h) {
        for (int k = 0; k < 8; ++k) p[k] = x[k][h];
        aan_pass(p);
        for (int k = 0; k < 8; ++k) x[k][h] = p[k];
    }
    // Column pass, four columns per vector.
    transpose8(x);
    for (int h = 0; h < 2; ++h) {
        for (int r = 0; r < 8; ++r) p[r] = x[r][h];
        aan_pass(p);
        for (int r = 0; r < 8; ++r) x[r][h] = p[r];
    }
    for (int r = 0; r < 8; ++r) quantise_row(as_m128(x[r][0]), as_m128(x[r][1]), fdtbl + 8 * r, outdata + 8 * r);
}

typedef float v8f __attribute__((vector_size(32)));

// Rows and columns of an 8 x 8 block of eight-lane vectors swap.
__attribute__((target("avx2"))) inline void transpose8x8(v8f *x) {
    __m256 r[8], t[8];
    for (int k = 0; k < 8; ++k) r[k] = reinterpret_cast<__m256 &>(x[k]);
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    for (int k = 0; k < 8; k += 4) {
        r[k] = _mm256_shuffle_ps(t[k], t[k + 2], 0x44);
        r[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], 0xEE);
        r[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0x44);
        r[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0xEE);
    }
    for (int k = 0; k < 4; ++k) {
        t[k] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x20);
        t[k + 4] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x31);
    }
    for (int k = 0; k < 8; ++k) x[k] = reinterpret_cast<v8f &>(t[k]);
}

// The same transform with a whole row or column per vector: lane for lane
// the operations of the four-lane version, so the same bits, in half the
// passes. No fused multiply-add is enabled here.
__attribute__((target("avx2"))) void fdct_avx2(const std::int8_t *data, const float *fdtbl, std::int16_t *outdata) {
    v8f x[8];
    for (int r = 0; r < 8; ++r) {
        const __m256 f =
            _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(data + 8 * r))));
        x[r] = reinterpret_cast<const v8f &>(f);
    }
    transpose8x8(x);  // x[k]: column k, lane j = row j
    aan_pass(x);      // row pass
    transpose8x8(x);  // x[r]: row r, lane c = column c
    aan_pass(x);      // column pass
    for (int r = 0; r < 8; ++r) {
        const __m256 row = reinterpret_cast<const __m256 &>(x[r]);
        quantise_row(_mm256_castps256_ps128(row), _mm256_extractf128_ps(row, 1), fdtbl + 8 * r, outdata + 8 * r);
    }
}
#endif

FdctFn fdct_path(int path) { return jpeg_path(path).fdct; }

}  // namespace

void fdct_and_quantization(const std::int8_t *data, const float *fdtbl, std::int16_t *outdata) {
    static const FdctFn fdct = simd::first(fdct_path, {simd::kAvx2, simd::kSse2, simd::kPortable});
    fdct(data, fdtbl, outdata);
}

bool fdct_and_quantization_with(int path, const std::int8_t *data, const float *fdtbl, std::int16_t *outdata) {
    const FdctFn fdct = fdct_path(path);
    if (fdct) fdct(data, fdtbl, outdata);
    return fdct != nullptr;
}

namespace {

inline int lowest_bit(std::uint64_t v) { return __builtin_ctzll(v); }

// Bit i set when c[i] is non-zero.
inline std::uint64_t nonzero_mask_portable(const std::int16_t *c) {
    std::uint64_t m = 0;
    for (int i = 0; i < 64; ++i) m |= static_cast<std::uint64_t>(c[i] != 0) << i;
    return m;
}

#if BRINDLEX_X86_SIMD
// Sixteen coefficients per step: their zero tests packed to bytes.
inline std::uint64_t nonzero_mask_sse2(const std::int16_t *c) {
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t m = 0;
    for (int k = 0; k < 4; ++k) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c + 16 * k));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c + 16 * k + 8));
        __m128i z = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        m |= static_cast<std::uint64_t>(~_mm_movemask_epi8(z) & 0xFFFF) << (16 * k);
    }
    return m;
}
#endif

// The widest path this build has, inlined into process_DU.
inline std::uint64_t nonzero_mask(const std::int16_t *c) {
#if BRINDLEX_X86_SIMD
    return nonzero_mask_sse2(c);
#else
    return nonzero_mask_portable(c);
#endif
}

// The coefficients are coded in zigzag order. Rather than reorder all 64
// per block, the non-zero mask is reordered a byte (one row) at a time and
// each coded coefficient is fetched from its natural place.
struct ZigzagTables {
    std::uint64_t rowBits[8][256];  // row r's non-zero bits as zigzag positions
    std::uint8_t natural[64];       // natural index of zigzag position k
    ZigzagTables() {
        for (int n = 0; n < 64; ++n) natural[zigzag[n]] = static_cast<std::uint8_t>(n);
        for (int r = 0; r < 8; ++r)
            for (int b = 0; b < 256; ++b) {
                std::uint64_t m = 0;
                for (int j = 0; j < 8; ++j)
                    if (b >> j & 1) m |= std::uint64_t(1) << zigzag[8 * r + j];
                rowBits[r][b] = m;
            }
    }
};
const ZigzagTables zz;

inline std::uint64_t zigzag_mask(std::uint64_t natural) {
    std::uint64_t m = 0;
    for (int r = 0; r < 8; ++r) m |= zz.rowBits[r][(natural >> (8 * r)) & 0xFF];
    return m;
}

}  // namespace

bool nonzero_mask_with(int path, const std::int16_t *c, std::uint64_t &mask) {
    const NonzeroMaskFn nonzero = jpeg_path(path).nonzeroMask;
    if (nonzero) mask = nonzero(c);
    return nonzero != nullptr;
}

void process_DU(const std::int8_t *ComponentDU, const float *fdtbl, std::int16_t *DC, const bitstring *HTDC,
                const bitstring *HTAC) {
    fdct_and_quantization(ComponentDU, fdtbl, DU_DCT);

    // The DC term as its difference from the component's previous one
    // (F.1.2.1): the code of its size category, then its additional bits.
    const std::int16_t diff = static_cast<std::int16_t>(DU_DCT[0] - *DC);
    *DC = DU_DCT[0];
    if (diff == 0) {
        writebits(HTDC[0]);
    } else {
        writebits2(HTDC[category[diff]], bitcode[diff]);
    }

    // The AC coefficients in zigzag order, coded as ITU-T T.81 F.1.2.2 has
    // it: each non-zero one as the run of zeros before it (a ZRL code for
    // every whole 16) and its size category in one Huffman symbol, then
    // its additional bits; an end of block after the last non-zero one.
    // The mask holds one bit per non-zero coefficient.
    std::uint64_t nonzero = zigzag_mask(nonzero_mask(DU_DCT)) & ~std::uint64_t(1);
    if (nonzero == 0) {
        writebits(HTAC[0x00]);
        return;
    }
    const bitstring M16zeroes = HTAC[0xF0];
    int i = 1;
    while (nonzero) {
        const int at = lowest_bit(nonzero);
        nonzero &= nonzero - 1;
        int zeros = at - i;
        if (zeros >= 16) {
            for (int k = 0; k < zeros / 16; ++k) writebits(M16zeroes);
            zeros %= 16;
        }
        const int v = DU_DCT[zz.natural[at]];
        writebits2(HTAC[zeros * 16 + category[v]], bitcode[v]);
        i = at + 1;
    }
    // A block whose last coefficient is non-zero needs no end of block.
    if (i != 64) writebits(HTAC[0x00]);
}

namespace {

// Eight pixels of eight rows, rowBytes apart, through the tables.
void load_units_portable(const std::uint8_t *p, std::size_t rowBytes) {
    int pos = 0;
    for (unsigned yy = 0; yy < 8; ++yy, p += rowBytes)
        for (int xx = 0; xx < 8; ++xx, ++pos) {
            const std::uint8_t B = p[3 * xx], G = p[3 * xx + 1], R = p[3 * xx + 2];
            YDU[pos] = static_cast<std::int8_t>(((YRtab[R] + YGtab[G] + YBtab[B]) >> 16) - 128);
            CbDU[pos] = static_cast<std::int8_t>((CbRtab[R] + CbGtab[G] + CbBtab[B]) >> 16);
            CrDU[pos] = static_cast<std::int8_t>((CrRtab[R] + CrGtab[G] + CrBtab[B]) >> 16);
        }
}

#if BRINDLEX_X86_SIMD
// Eight pixels per step with 16-bit multiply-adds. The colour tables hold
// exact products (table[i] = weight x i), so the sums below are the
// tables' sums; the weights of 32768 and above are split into two halves,
// each applied to the same sample, so that every factor fits 16 bits.
constexpr bool fits16(std::int32_t w) { return w >= -32768 && w <= 32767; }
static_assert(kYG % 2 == 0 && kCbB % 2 == 0 && kCrR % 2 == 0, "the split weights halve exactly");
static_assert(fits16(kYR) && fits16(kYB) && fits16(kCbR) && fits16(kCbG) && fits16(kCrG) && fits16(kCrB) &&
                  fits16(kYG / 2) && fits16(kCbB / 2) && fits16(kCrR / 2),
              "every factor fits 16 bits");

inline __m128i coefficient_pair(int lo, int hi) {
    return _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(lo)) |
                                           (static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16)));
}

inline __m128i weighted_sum(__m128i a, __m128i b, __m128i ka, __m128i c, __m128i d, __m128i kc) {
    __m128i lo =
        _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), ka), _mm_madd_epi16(_mm_unpacklo_epi16(c, d), kc));
    __m128i hi =
        _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), ka), _mm_madd_epi16(_mm_unpackhi_epi16(c, d), kc));
    return _mm_packs_epi32(_mm_srai_epi32(lo, 16), _mm_srai_epi32(hi, 16));
}

// One row of eight pixels, as 16-bit blue, green and red lanes, to the
// data units' row yy.
inline void convert_row(__m128i B, __m128i G, __m128i R, unsigned yy) {
    const __m128i Y = _mm_sub_epi16(
        weighted_sum(R, G, coefficient_pair(kYR, kYG / 2), B, G, coefficient_pair(kYB, kYG / 2)), _mm_set1_epi16(128));
    const __m128i Cb = weighted_sum(R, B, coefficient_pair(kCbR, kCbB / 2), G, B, coefficient_pair(kCbG, kCbB / 2));
    const __m128i Cr = weighted_sum(R, G, coefficient_pair(kCrR / 2, kCrG), R, B, coefficient_pair(kCrR / 2, kCrB));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(YDU + 8 * yy), _mm_packs_epi16(Y, Y));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(CbDU + 8 * yy), _mm_packs_epi16(Cb, Cb));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(CrDU + 8 * yy), _mm_packs_epi16(Cr, Cr));
}

void load_units_sse2(const std::uint8_t *p, std::size_t rowBytes) {
    for (unsigned yy = 0; yy < 8; ++yy, p += rowBytes) {
        alignas(16) std::int16_t b[8], g[8], r[8];
        for (int i = 0; i < 8; ++i) {
            b[i] = p[3 * i];
            g[i] = p[3 * i + 1];
            r[i] = p[3 * i + 2];
        }
        convert_row(_mm_load_si128(reinterpret_cast<const __m128i *>(b)),
                    _mm_load_si128(reinterpret_cast<const __m128i *>(g)),
                    _mm_load_si128(reinterpret_cast<const __m128i *>(r)), yy);
    }
}

// The same with the 24 bytes of a row split by byte shuffles: a lane that
// takes byte -1 (0x80) reads as zero, which widens each sample to 16 bits.
__attribute__((target("ssse3"))) void load_units_ssse3(const std::uint8_t *p, std::size_t rowBytes) {
    const __m128i loB = _mm_setr_epi8(0, -1, 3, -1, 6, -1, 9, -1, 12, -1, 15, -1, -1, -1, -1, -1);
    const __m128i hiB = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, -1, 5, -1);
    const __m128i loG = _mm_setr_epi8(1, -1, 4, -1, 7, -1, 10, -1, 13, -1, -1, -1, -1, -1, -1, -1);
    const __m128i hiG = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1, 3, -1, 6, -1);
    const __m128i loR = _mm_setr_epi8(2, -1, 5, -1, 8, -1, 11, -1, 14, -1, -1, -1, -1, -1, -1, -1);
    const __m128i hiR = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, -1, 4, -1, 7, -1);
    for (unsigned yy = 0; yy < 8; ++yy, p += rowBytes) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));       // bytes 0 .. 15
        const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 16));  // bytes 16 .. 23
        convert_row(_mm_or_si128(_mm_shuffle_epi8(lo, loB), _mm_shuffle_epi8(hi, hiB)),
                    _mm_or_si128(_mm_shuffle_epi8(lo, loG), _mm_shuffle_epi8(hi, hiG)),
                    _mm_or_si128(_mm_shuffle_epi8(lo, loR), _mm_shuffle_epi8(hi, hiR)), yy);
    }
}
#endif

// The transform, the non-zero mask and the row loader of each path.
JpegPath jpeg_path(int path) {
    switch (path) {
        case simd::kPortable:
            return {fdct_portable, nonzero_mask_portable, load_units_portable};
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            return {fdct_sse2, nonzero_mask_sse2, load_units_sse2};
        case simd::kAvx2:
            return {cpuHasAvx2() ? fdct_avx2 : nullptr, nullptr, nullptr};
        case simd::kSsse3:
            return {nullptr, nullptr, cpuHasSsse3() ? load_units_ssse3 : nullptr};
#endif
        default:
            return {nullptr, nullptr, nullptr};
    }
}

LoadUnitsFn load_units_path(int path) { return jpeg_path(path).loadUnits; }

const std::uint8_t *block_at(unsigned x, unsigned y) {
    return _RGB_buffer + static_cast<std::size_t>(y) * _width * 3 + static_cast<std::size_t>(x) * 3;
}

}  // namespace

void load_data_units_from_RGB_buffer(unsigned x, unsigned y) {
    static const LoadUnitsFn load = simd::first(load_units_path, {simd::kSsse3, simd::kSse2, simd::kPortable});
    load(block_at(x, y), static_cast<std::size_t>(_width) * 3);
}

bool load_data_units_with(int path, unsigned x, unsigned y) {
    const LoadUnitsFn load = load_units_path(path);
    if (load) load(block_at(x, y), static_cast<std::size_t>(_width) * 3);
    return load != nullptr;
}

void main_encoder(BitmapStripes &stripes) {
    std::int16_t DCY = 0, DCCb = 0, DCCr = 0;
    if (_height == 0 || _width == 0) return;
    for (unsigned y = 0; y < _height; y += 8) {
        // _RGB_buffer holds just this stripe.
        stripes.load(y);
        _RGB_buffer = stripes.data();
        for (unsigned x = 0; x < _width; x += 8) {
            load_data_units_from_RGB_buffer(x, 0);
            process_DU(YDU, fdtbl_Y, &DCY, YDC_HT, YAC_HT);
            process_DU(CbDU, fdtbl_Cb, &DCCb, CbDC_HT, CbAC_HT);
            process_DU(CrDU, fdtbl_Cb, &DCCr, CbDC_HT, CbAC_HT);
        }
    }
}

// ---------------------------------------------------------------------------
// Marker segments.

namespace {

void put_bytes(const void *p, std::size_t n) { _fp_jpeg_stream->put(p, n); }

}  // namespace

void write_APP0info() {
    static const std::uint8_t app0[18] = {0xFF, 0xE0, 0x00, 16,   'J',  'F',  'I',  'F',  0x00,
                                          0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    put_bytes(app0, sizeof app0);
}

void write_comment(const char *text) {
    const std::size_t n = std::strlen(text);
    std::uint8_t head[4] = {0xFF, 0xFE, 0, 0};
    fileio::storeBE16(head + 2, static_cast<std::uint16_t>(n + 2));
    put_bytes(head, 4);
    put_bytes(text, n);
}

void write_DQTinfo() { put_bytes(DQTinfo, sizeof DQTinfo); }

void write_SOF0info() {
    const SOF0infotype &s = SOF0info;
    std::uint8_t b[19];
    fileio::storeBE16(b + 0, s.marker);
    fileio::storeBE16(b + 2, s.length);
    b[4] = s.precision;
    fileio::storeBE16(b + 5, s.height);
    fileio::storeBE16(b + 7, s.width);
    b[9] = s.nrofcomponents;
    const std::uint8_t comps[9] = {s.IdY, s.HVY, s.QTY, s.IdCb, s.HVCb, s.QTCb, s.IdCr, s.HVCr, s.QTCr};
    std::memcpy(b + 10, comps, 9);
    put_bytes(b, sizeof b);
}

void write_DHTinfo() { put_bytes(DHTinfo, sizeof DHTinfo); }

void write_SOSinfo() {
    static const std::uint8_t sos[14] = {0xFF, 0xDA, 0x00, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0x00, 63, 0x00};
    put_bytes(sos, sizeof sos);
}

// ---------------------------------------------------------------------------
// The conversion.

float convertToJPEG(const char *bmpPath, const char *jpegPath, int scale) {
    using namespace jpegcode;
    // Whatever happens below, the tables are released and no pointer to the
    // output, the writer or the stripes is left behind.
    struct Release {
        ~Release() {
            release_jpeg_buffers();
            _fp_jpeg_stream = nullptr;
            _RGB_buffer = nullptr;
        }
    } release;

    // The picture is read eight rows at a time, as the encoder takes it.
    int width = 0, height = 0;
    BitmapStripes stripes;
    int r = stripes.open(bmpPath, width, height);
    if (r != 0) return static_cast<float>(r);

    // The output must not be the BMP itself.
    if (fileio::sameFile(bmpPath, jpegPath)) return static_cast<float>(kCannotCreateOutput);
    fileio::NewFile out;
    const fileio::Written w = out.begin(jpegPath, fileio::Target::Output);
    if (w != fileio::Written::Ok)
        return fileio::writtenCode(w, static_cast<float>(kCannotCreateOutput), static_cast<float>(kCannotCreateOutput),
                                   static_cast<float>(kWriteFailed));
    _fp_jpeg_stream = &out;

    // A table that cannot be made fails the conversion; the output path is
    // left as it was.
    r = init_all(scale);
    if (r != 0) return static_cast<float>(r);
    SOF0info.width = static_cast<std::uint16_t>(width);
    SOF0info.height = static_cast<std::uint16_t>(height);

    static const std::uint8_t soi[2] = {0xFF, 0xD8};
    put_bytes(soi, 2);
    write_APP0info();
    write_comment(kComment);
    write_DQTinfo();
    write_SOF0info();
    write_DHTinfo();
    write_SOSinfo();

    start_scan(out);
    main_encoder(stripes);
    finish_scan();

    static const std::uint8_t eoi[2] = {0xFF, 0xD9};
    put_bytes(eoi, 2);
    const float failed = static_cast<float>(kWriteFailed);
    return fileio::writtenCode(out.commit(), failed, failed, failed);
}
