// Baseline JPEG encoder: a 24-bit BMP map in, a 4:4:4 JFIF file out, with
// the example quantisation tables scaled by a percentage, the AAN float
// DCT and the example Huffman tables. The encoder keeps its tables in
// module-level state that each conversion rebuilds, and reads the picture
// eight rows at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "FileAccess.h"
#include "ResultCodes.h"

namespace fileio {
class NewFile;
}

// One Huffman code or raw bit field: the low `length` bits of `code`,
// written most significant first.
struct bitstring {
    std::uint8_t length;
    std::uint16_t code;
};

// Result codes of convertToJPEG. 1 to 7 are the encoder's own; 8 to 10
// cover what the encoder leaves open (output, unusual pictures, write
// failures).
namespace jpegcode {
inline constexpr int kOk = 0;
inline constexpr int kNoCategoryTable = 1;
inline constexpr int kNoBitcodeTable = 2;
inline constexpr int kCannotOpenBmp = 3;
inline constexpr int kShortHeader = 4;
inline constexpr int kNotBmp24 = 5;
inline constexpr int kNoPictureBuffer = 6;
inline constexpr int kNoRowBuffer = 7;
inline constexpr int kCannotCreateOutput = 8;
inline constexpr int kUnsupportedSize = 9;  // width or height 0, or above 65528
inline constexpr int kWriteFailed = 10;     // the output could not be written completely
// Compressed, an old 12-byte header, or rows said to start inside the header.
inline constexpr int kUnreadBmp = 11;
}  // namespace jpegcode

// Largest width or height accepted: the padded size must fit 16 bits.
inline constexpr std::uint32_t kJpegMaxDimension = 65528;

// Constant tables.
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
extern const std::uint16_t mask[16];
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
// The stripe being encoded, borrowed from BitmapStripes: eight padded rows
// of _width pixels, top row first, B G R per pixel.
extern const std::uint8_t *_RGB_buffer;
extern std::uint16_t _width, _height;  // padded dimensions (multiples of 8)
extern fileio::NewFile *_fp_jpeg_stream;  // the JPEG file being written
extern std::uint8_t bytenew;  // bit accumulator, valid when a scan has been finished
extern std::int8_t bytepos;   // next bit of bytenew, 7 when empty
extern std::uint8_t DQTinfo[134];
extern std::uint8_t DHTinfo[420];
extern SOF0infotype SOF0info;
extern bitstring YDC_HT[12], CbDC_HT[12];
extern bitstring YAC_HT[256], CbAC_HT[256];
extern std::uint8_t *category;  // indexed -32767 .. 32767
extern bitstring *bitcode;      // indexed -32767 .. 32767
extern std::uint8_t *category_alloc;
extern bitstring *bitcode_alloc;
extern std::int32_t YRtab[256], YGtab[256], YBtab[256];
extern std::int32_t CbRtab[256], CbGtab[256], CbBtab[256];
extern std::int32_t CrRtab[256], CrGtab[256], CrBtab[256];
extern float fdtbl_Y[64], fdtbl_Cb[64];
extern std::int8_t YDU[64], CbDU[64], CrDU[64];
extern std::int16_t DU_DCT[64];

// The stored layout of a 24-bit BMP as BitmapStripes reads it.
struct BitmapLayout {
    std::size_t w = 0, h = 0;     // true size
    std::size_t W = 0, H = 0;     // padded to multiples of 8
    std::size_t rowBytes = 0;     // one padded picture row, 3W
    std::size_t stored = 0;       // one stored row, 3w plus w mod 4
    std::uint64_t rowsAt = 0;     // the pixel-data offset of the header
    bool topDown = false;         // a negative height: the top row is stored first
};

// A 24-bit BMP, eight rows at a time. open checks the header (0, or 3 to 6,
// 9 or 11), reports the true size and sets _width and _height to it padded to
// multiples of 8. load(y) fills data() with rows y .. y+7 of the padded
// picture, top row first, reading only their part of the file: columns
// past the width repeat the row's last pixel, rows past the height repeat
// the bottom row, and bytes missing from a short file read as zeros.
class BitmapStripes {
public:
    int open(const char *path, int &width, int &height);
    bool load(std::size_t y);
    std::uint8_t *data() { return stripe_.data(); }

private:
    fileio::File file_;
    BitmapLayout layout_;
    std::vector<std::uint8_t> stripe_, bottom_, rows_;
};

// Stages.
int init_all(int scale);
void set_quant_table(const std::uint8_t *basic_table, int scale_factor, std::uint8_t *newtable);
void set_DQTinfo(int scale);
void set_DHTinfo();
void compute_Huffman_table(const std::uint8_t *nrcodes, const std::uint8_t *std_table, bitstring *HT);
void init_Huffman_tables();
int set_numbers_category_and_bitcode();
void precalculate_YCbCr_tables();
void prepare_quant_tables();
// The 8 x 8 block at x, y of _RGB_buffer into YDU, CbDU and CrDU, through
// the colour tables; the widest path this processor has.
void load_data_units_from_RGB_buffer(unsigned x, unsigned y);
// One path by number (Platform.h): simd::kPortable, kSse2 or kSsse3; false
// when this build or processor lacks it (nothing is loaded then).
bool load_data_units_with(int path, unsigned x, unsigned y);
// The transform and quantisation of one block; the widest path this
// processor has.
void fdct_and_quantization(const std::int8_t *data, const float *fdtbl, std::int16_t *outdata);
// One path by number: simd::kPortable, kSse2 (four lanes) or kAvx2 (eight
// lanes); false when this build or processor lacks it.
bool fdct_and_quantization_with(int path, const std::int8_t *data, const float *fdtbl, std::int16_t *outdata);
// Bit i of mask set where c[i], of 64 coefficients, is non-zero, by path
// simd::kPortable or kSse2; false when this build lacks it.
bool nonzero_mask_with(int path, const std::int16_t *c, std::uint64_t &mask);
void process_DU(const std::int8_t *ComponentDU, const float *fdtbl, std::int16_t *DC, const bitstring *HTDC,
                const bitstring *HTAC);
// Encodes the picture stripe by stripe, each in turn in _RGB_buffer.
void main_encoder(BitmapStripes &stripes);
// Marker segments, written to the conversion's output.
void write_APP0info();
void write_comment(const char *text);
void write_DQTinfo();
void write_SOF0info();
void write_DHTinfo();
void write_SOSinfo();

// The entropy coder's output. The scan goes to `out` through an in-memory
// bit accumulator; start_scan resets it, finish_scan writes the fill bits
// and everything still buffered.
void start_scan(fileio::NewFile &out);
void writebits(bitstring bs);
void finish_scan();

// Releases the two heap tables.
void release_jpeg_buffers();

// The whole conversion: 0, 1 to 11 (jpegcode).
float convertToJPEG(const char *bmpPath, const char *jpegPath, int scale);

// What saveAsJpeg's result means: its failures are positive.
inline constexpr results::Row kJpegResults[] = {
    results::code("saveAsJpeg", jpegcode::kOk, "the JPEG file was written"),
    results::code("saveAsJpeg", jpegcode::kNoCategoryTable,
                  "a coding table could not be allocated; the output is empty"),
    results::code("saveAsJpeg", jpegcode::kNoBitcodeTable,
                  "a coding table could not be allocated; the output is empty"),
    results::code("saveAsJpeg", jpegcode::kCannotOpenBmp, "the BMP cannot be opened"),
    results::code("saveAsJpeg", jpegcode::kShortHeader, "the BMP is shorter than 54 bytes"),
    results::code("saveAsJpeg", jpegcode::kNotBmp24, "not a 24-bit BMP"),
    results::code("saveAsJpeg", jpegcode::kNoPictureBuffer,
                  "the picture buffer could not be allocated, or the BMP is far shorter than its header says"),
    results::code("saveAsJpeg", jpegcode::kNoRowBuffer, "the row buffer could not be allocated"),
    results::code("saveAsJpeg", jpegcode::kCannotCreateOutput, "the JPEG file cannot be created, or it is the BMP"),
    results::code("saveAsJpeg", jpegcode::kUnsupportedSize, "width or height 0 or above 65528"),
    results::code("saveAsJpeg", jpegcode::kUnreadBmp,
                  "the BMP is compressed, has the old 12-byte header, or its rows would start inside its header"),
    results::code("saveAsJpeg", jpegcode::kWriteFailed, "the JPEG file could not be written completely"),
};
