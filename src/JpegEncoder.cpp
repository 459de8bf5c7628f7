#include "JpegEncoder.h"

#include <cstring>
#include <new>

#include "ByteOrder.h"
#include "JpegOps.h"
#include "NewFile.h"

// ---------------------------------------------------------------------------
// Module state.

fileio::NewFile* _fp_jpeg_stream = nullptr;
std::uint8_t bytenew = 0;
std::int8_t bytepos = 7;
std::uint8_t DQTinfo[134];
std::uint8_t DHTinfo[420];
SOF0infotype SOF0info;
bitstring YDC_HT[12], CbDC_HT[12];
bitstring YAC_HT[256], CbAC_HT[256];
std::uint8_t* category = nullptr;
bitstring* bitcode = nullptr;
std::uint8_t* category_alloc = nullptr;
bitstring* bitcode_alloc = nullptr;
float fdtbl_Y[64], fdtbl_Cb[64];
std::int16_t DU_DCT[64];

// ---------------------------------------------------------------------------
// Bit writer.

namespace {

// The entropy coder: bits gather in a 64-bit accumulator, whole bytes go
// (stuffed) into a block that is handed to the writer when it fills.
fileio::NewFile* _scan_out = nullptr;
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

void start_scan(fileio::NewFile& out) {
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
// Tables.

void release_jpeg_buffers() {
    delete[] category_alloc;
    category_alloc = nullptr;
    category = nullptr;
    delete[] bitcode_alloc;
    bitcode_alloc = nullptr;
    bitcode = nullptr;
}

void set_quant_table(const std::uint8_t* basic_table, int scale_factor, std::uint8_t* newtable) {
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
    std::uint8_t* p = DHTinfo;
    *p++ = 0xFF;
    *p++ = 0xC4;
    fileio::storeBE16(p, 418);
    p += 2;
    auto table = [&p](std::uint8_t classId, const std::uint8_t* nrcodes, const std::uint8_t* values, int n) {
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

void compute_Huffman_table(const std::uint8_t* nrcodes, const std::uint8_t* std_table, bitstring* HT) {
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
// Coding.

namespace {

inline int lowest_bit(std::uint64_t v) { return __builtin_ctzll(v); }

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

void process_DU(const std::int8_t* ComponentDU, const float* fdtbl, std::int16_t* DC, const bitstring* HTDC,
                const bitstring* HTAC) {
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

void main_encoder(BitmapStripes& stripes) {
    std::int16_t DCY = 0, DCCb = 0, DCCr = 0;
    // The header allows no picture whose padded size passes 16 bits.
    _width = static_cast<std::uint16_t>(stripes.paddedWidth());
    _height = static_cast<std::uint16_t>(stripes.paddedHeight());
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

void put_bytes(const void* p, std::size_t n) { _fp_jpeg_stream->put(p, n); }

}  // namespace

void write_SOI() {
    static const std::uint8_t soi[2] = {0xFF, 0xD8};
    put_bytes(soi, 2);
}

void write_APP0info() {
    static const std::uint8_t app0[18] = {0xFF, 0xE0, 0x00, 16,   'J',  'F',  'I',  'F',  0x00,
                                          0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    put_bytes(app0, sizeof app0);
}

void write_comment(const char* text) {
    const std::size_t n = std::strlen(text);
    std::uint8_t head[4] = {0xFF, 0xFE, 0, 0};
    fileio::storeBE16(head + 2, static_cast<std::uint16_t>(n + 2));
    put_bytes(head, 4);
    put_bytes(text, n);
}

void write_DQTinfo() { put_bytes(DQTinfo, sizeof DQTinfo); }

void write_SOF0info() {
    const SOF0infotype& s = SOF0info;
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

void write_EOI() {
    static const std::uint8_t eoi[2] = {0xFF, 0xD9};
    put_bytes(eoi, 2);
}
