#include "JpegOps.h"

#include "JpegEncoder.h"
#include "NewFile.h"

namespace {

const char kComment[] = "Brindlex v1.0..";

}  // namespace

float convertToJPEG(const char* bmpPath, const char* jpegPath, int scale) {
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

    write_SOI();
    write_APP0info();
    write_comment(kComment);
    write_DQTinfo();
    write_SOF0info();
    write_DHTinfo();
    write_SOSinfo();

    start_scan(out);
    main_encoder(stripes);
    finish_scan();

    write_EOI();
    const float failed = static_cast<float>(kWriteFailed);
    return fileio::writtenCode(out.commit(), failed, failed, failed);
}
