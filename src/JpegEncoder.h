// The JPEG encoder's core: the tables it builds from the scale, the entropy
// coder with its bit writer, and the marker segments. The encoder keeps its
// tables in module-level state that each conversion rebuilds; the kernels
// (JpegKernels.h) transform the blocks, BitmapStripes (JpegBmpInput.h)
// supplies the picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "JpegBmpInput.h"
#include "JpegKernels.h"

namespace fileio {
class NewFile;
}

// One Huffman code or raw bit field: the low `length` bits of `code`,
// written most significant first.
struct bitstring {
    std::uint8_t length;
    std::uint16_t code;
};

// Constant tables (JpegTables.cpp).
extern const std::uint8_t zigzag[64];
extern const std::uint8_t std_luminance_qt[64];
extern const std::uint8_t std_chrominance_qt[64];
extern const std::uint8_t std_dc_luminance_nrcodes[17];
extern const std::uint8_t std_dc_chrominance_nrcodes[17];
extern const std::uint8_t std_ac_luminance_nrcodes[17];
extern const std::uint8_t std_ac_chrominance_nrcodes[17];
extern const std::uint8_t std_dc_chrominance_values[12];
extern const std::uint8_t std_ac_luminance_values[162];
extern const std::uint8_t std_ac_chrominance_values[162];
extern const double aan_scale_factor[8];

// Frame header record; only the dimensions vary.
struct SOF0infotype {
    std::uint16_t marker = 0xFFC0;
    std::uint16_t length = 17;
    std::uint8_t precision = 8;
    std::uint16_t height = 0;
    std::uint16_t width = 0;
    std::uint8_t nrofcomponents = 3;
    std::uint8_t IdY = 1, HVY = 0x11, QTY = 0;
    std::uint8_t IdCb = 2, HVCb = 0x11, QTCb = 1;
    std::uint8_t IdCr = 3, HVCr = 0x11, QTCr = 1;
};

// Module state, set up afresh by every conversion.
extern fileio::NewFile* _fp_jpeg_stream;  // the JPEG file being written
extern std::uint8_t bytenew;              // bit accumulator, valid when a scan has been finished
extern std::int8_t bytepos;               // next bit of bytenew, 7 when empty
extern std::uint8_t DQTinfo[134];
extern std::uint8_t DHTinfo[420];
extern SOF0infotype SOF0info;
extern bitstring YDC_HT[12], CbDC_HT[12];
extern bitstring YAC_HT[256], CbAC_HT[256];
extern std::uint8_t* category;  // indexed -32767 .. 32767
extern bitstring* bitcode;      // indexed -32767 .. 32767
extern std::uint8_t* category_alloc;
extern bitstring* bitcode_alloc;
extern float fdtbl_Y[64], fdtbl_Cb[64];
extern std::int16_t DU_DCT[64];

// Stages.
int init_all(int scale);
void set_quant_table(const std::uint8_t* basic_table, int scale_factor, std::uint8_t* newtable);
void set_DQTinfo(int scale);
void set_DHTinfo();
void compute_Huffman_table(const std::uint8_t* nrcodes, const std::uint8_t* std_table, bitstring* HT);
void init_Huffman_tables();
int set_numbers_category_and_bitcode();
void prepare_quant_tables();
void process_DU(const std::int8_t* ComponentDU, const float* fdtbl, std::int16_t* DC, const bitstring* HTDC,
                const bitstring* HTAC);
// Encodes the picture stripe by stripe, each in turn in _RGB_buffer.
void main_encoder(BitmapStripes& stripes);
// Marker segments, written to the conversion's output.
void write_SOI();
void write_APP0info();
void write_comment(const char* text);
void write_DQTinfo();
void write_SOF0info();
void write_DHTinfo();
void write_SOSinfo();
void write_EOI();

// The entropy coder's output. The scan goes to `out` through an in-memory
// bit accumulator; start_scan resets it, finish_scan writes the fill bits
// and everything still buffered.
void start_scan(fileio::NewFile& out);
void writebits(bitstring bs);
void finish_scan();

// Releases the two heap tables.
void release_jpeg_buffers();
