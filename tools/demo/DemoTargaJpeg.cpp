#include "Demo.h"

#include <string>
#include <vector>

#include "fixtures/Files.h"
#include "fixtures/JpegSamples.h"
#include "fixtures/TiffBuilder.h"

namespace {

bool looksLikeJpeg(const std::vector<unsigned char>& f) {
    return f.size() > 4 && f[0] == 0xFF && f[1] == 0xD8 && f[f.size() - 2] == 0xFF && f.back() == 0xD9;
}

// A colour map as the host writes it: smooth shading with some detail.
samples::Picture colourMap(int w, int h) {
    return samples::makePicture(w, h, [w, h](int x, int y) {
        auto r = static_cast<unsigned char>(x * 255 / (w - 1));
        auto g = static_cast<unsigned char>(y * 255 / (h - 1));
        auto b = static_cast<unsigned char>(((x / 16 + y / 16) & 1) ? 200 : 60);
        return samples::Rgb{r, g, b};
    });
}

void jpegCopies(DemoContext& ctx) {
    ctx.section("JPEG copies of a BMP map");
    const std::string bmp = ctx.path("colour_map.bmp");
    ctx.expect(writeBytes(bmp, samples::bmp24(colourMap(509, 301))), "sample BMP written");
    ctx.wrote(bmp);

    size_t previous = 0;
    for (double scale : {0.0, 50.0, 75.0, 100.0}) {
        const std::string jpg = ctx.path("colour_map_scale" + std::to_string(static_cast<int>(scale)) + ".jpg");
        float r = ctx.call("saveAsJpeg", bmp, scale, jpg);
        ctx.expect(r == 0.0f, "saveAsJpeg succeeds");
        ctx.wrote(jpg);
        std::vector<unsigned char> f = readBytes(jpg);
        ctx.expect(looksLikeJpeg(f), "output is a JPEG stream");
        if (previous) ctx.expect(f.size() < previous, "coarser scale, smaller file");
        previous = f.size();
    }
    // Out-of-range scales fall back to 50.
    ctx.expect(ctx.call("saveAsJpeg", bmp, 150.0, ctx.path("colour_map_scale150.jpg")) == 0.0f, "scale 150 works");
    ctx.expect(readBytes(ctx.path("colour_map_scale150.jpg")) == readBytes(ctx.path("colour_map_scale50.jpg")),
               "scale 150 gives the scale-50 file");
    // What the encoder refuses.
    ctx.expect(ctx.call("saveAsJpeg", ctx.path("missing.bmp"), 50.0, ctx.path("missing.jpg")) == 3.0f,
               "missing BMP gives 3");
    ctx.expect(ctx.call("saveAsJpeg", bmp.c_str(), 50.0, nullptr) == -9.0f, "missing destination gives -9");
}

void targaCopies(DemoContext& ctx) {
    ctx.section("Targa copies of 8-bit TIFF maps");
    const std::uint32_t w = 640, h = 360;
    TiffBuilder colour(w, h, 3, 8);
    colour.u8s([](std::uint32_t x, std::uint32_t y, int c) {
        if (c == 0) return static_cast<std::uint8_t>(x * 255 / (w - 1));
        if (c == 1) return static_cast<std::uint8_t>(y * 255 / (h - 1));
        return static_cast<std::uint8_t>(((x / 20 + y / 20) & 1) ? 220 : 40);
    });
    const std::string tif = ctx.path("colour_map_8bit.tif"), tga = ctx.path("colour_map_8bit.tga");
    ctx.expect(writeBytes(tif, colour.build()), "sample TIFF written");
    ctx.wrote(tif);
    ctx.expect(ctx.call("saveAsTarga", tif, 0, tga) == 0.0f, "saveAsTarga succeeds");
    ctx.wrote(tga);
    std::vector<unsigned char> f = readBytes(tga);
    ctx.expect(f.size() == 18 + static_cast<size_t>(w) * h * 3, "Targa holds header and every pixel");
    // The first pixel written is the bottom-left one, as blue, green, red.
    ctx.expect(f.size() > 20 && f[18] == colour.pixels[(h - 1) * w * 3 + 2] && f[20] == colour.pixels[(h - 1) * w * 3],
               "bottom row first, red and blue exchanged");

    TiffBuilder grey(256, 64, 1, 8);
    grey.u8s([](std::uint32_t x, std::uint32_t, int) { return static_cast<std::uint8_t>(x); });
    const std::string gtif = ctx.path("mask_8bit.tif"), gtga = ctx.path("mask_8bit.tga");
    writeBytes(gtif, grey.build());
    ctx.expect(ctx.call("saveAsTarga", gtif, 0, gtga) == 0.0f, "grey map written as grey colour");
    ctx.wrote(gtga);

    TiffBuilder lzw(16, 16, 3, 8);
    lzw.set(259, 5);
    writeBytes(ctx.path("lzw.tif"), lzw.build());
    ctx.expect(ctx.call("saveAsTarga", ctx.path("lzw.tif"), 0, ctx.path("lzw.tga")) == -259.0f,
               "compressed TIFF refused with -259");
}

}  // namespace

// Script sequence: Targa and JPEG copies.
void demoTargaJpeg(DemoContext& ctx) {
    jpegCopies(ctx);
    targaCopies(ctx);
}
