#include <cmath>

#include "Demo.h"
#include "fixtures/ExrBuilder.h"
#include "fixtures/Files.h"
#include "fixtures/TiffBuilder.h"

namespace {

// A smooth height-like field with a flat background at 0 in one corner.
float field(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, int c) {
    const float u = static_cast<float>(x) / w, v = static_cast<float>(y) / h;
    if (u < 0.1f && v < 0.1f) return 0.0f;
    return 0.5f + 0.4f * static_cast<float>(demoSin(6.2831853f * (u * (1 + c) + v * 0.5f))) *
                      static_cast<float>(demoCos(3.14159265f * v));
}

}  // namespace

// Script sequence: TIFF maps as the host post-processes an exported map.
void demoTiff(DemoContext& ctx) {
    const std::uint32_t W = 2048, H = 1536;  // about 3 megapixels
    ctx.section("TIFF maps: the host writes 32-bit float maps");
    TiffBuilder rgb(W, H, 3, 32), grey(W, H, 1, 32);
    rgb.floats([&](std::uint32_t x, std::uint32_t y, int c) { return field(x, y, W, H, c); });
    grey.floats([&](std::uint32_t x, std::uint32_t y, int) { return field(x, y, W, H, 0); });
    const std::string rgbMap = ctx.path("map_rgb.tif"), greyMap = ctx.path("map_grey.tif");
    writeBytes(rgbMap, rgb.build());
    writeBytes(greyMap, grey.build());
    ctx.wrote(rgbMap);
    ctx.wrote(greyMap);

    ctx.section("getScale: a scale factor from the distinct levels");
    float s1 = ctx.call("getScale", greyMap.c_str(), 1);
    float s3 = ctx.call("getScale", rgbMap.c_str(), 3);
    ctx.expect(s1 > 0 && std::isfinite(s1) && s3 > 0 && std::isfinite(s3), "finite positive scale factors");
    ctx.expect(ctx.call("getScale", greyMap.c_str(), 2) == -9.0f, "value 2 is refused");

    ctx.section("convertTIFF16: 16-bit TIFF and PSD copies");
    const std::string grey16 = ctx.path("map_grey16.tif"), rgb16 = ctx.path("map_rgb16.tif");
    const std::string firstPsd = ctx.path("map_red16.psd"), greyPsd = ctx.path("map_grey16.PSD");
    ctx.expect(ctx.call("convertTIFF16", greyMap, 1, grey16) == 0.0f, "grey to 16-bit TIFF");
    ctx.wrote(grey16);
    ctx.expect(ctx.call("convertTIFF16", rgbMap, 3, rgb16) == 0.0f, "RGB to 16-bit TIFF");
    ctx.wrote(rgb16);
    ctx.expect(ctx.call("convertTIFF16", rgbMap, 4, firstPsd) == 0.0f, "first channel to 16-bit PSD");
    ctx.wrote(firstPsd);
    ctx.expect(ctx.call("convertTIFF16", greyMap, 1, greyPsd) == 0.0f, "grey to 16-bit PSD");
    ctx.wrote(greyPsd);
    if (ctx.windowsBuild()) {
        float span = ctx.call("getScale16", grey16.c_str(), 1);
        ctx.expect(span > 0, "getScale16 span of the 16-bit map");
    }

    ctx.section("mergeMapsTIF: fold map A into map B over A's background");
    // B is the grey map with its lower half cleared to the background.
    TiffBuilder b = grey;
    for (std::size_t i = b.pixels.size() / 2; i < b.pixels.size(); ++i) b.pixels[i] = 0;
    const std::string mapB = ctx.path("map_b.tif");
    writeBytes(mapB, b.build());
    ctx.expect(ctx.call("mergeMapsTIF", greyMap, 0, mapB) == 0.0f, "merge done");
    ctx.wrote(mapB);
    ctx.expect(readBytes(mapB) == grey.build(), "B's cleared half now holds A's pixels");
    std::string missing = ctx.path("no_such_map.tif");
    ctx.expect(ctx.call("mergeMapsTIF", greyMap, 0, missing) == -20.0f, "missing B gives -20");

    ctx.section("swapRGBTIF: reorder the channels of an 8-bit map");
    TiffBuilder rgb8(W, H, 3, 8);
    rgb8.u8s([&](std::uint32_t x, std::uint32_t y, int c) {
        return static_cast<std::uint8_t>(255.0f * field(x, y, W, H, c));
    });
    const std::string map8 = ctx.path("map_rgb8.tif");
    writeBytes(map8, rgb8.build());
    ctx.expect(ctx.call("swapRGBTIF", map8.c_str(), 2) == 0.0f, "red and blue exchanged");
    std::vector<unsigned char> swapped = readBytes(map8);
    const std::size_t at = rgb8.stripOffset() + 3 * (W * 100 + 700);
    ctx.expect(swapped.size() > at + 2 && swapped[at] == rgb8.pixels[at - rgb8.stripOffset() + 2],
               "pixel (700, 100) has blue first");
    ctx.expect(ctx.call("swapRGBTIF", map8.c_str(), 2) == 0.0f && readBytes(map8) == rgb8.build(),
               "a second swap restores the map");

    ctx.section("convertTIFFSingle: the first channel as a grey float map");
    const std::string single = ctx.path("map_single.tif");
    ctx.expect(ctx.call("convertTIFFSingle", rgbMap, 0, single) == 0.0f, "single channel written");
    ctx.wrote(single);
    ctx.expect(readBytes(single).size() == 222 + 4ull * W * H, "222-byte header and one float per pixel");

    if (!ctx.windowsBuild()) {
        ctx.section("OpenEXR: the span of an EXR map's first channel");
        std::vector<float> r(static_cast<std::size_t>(W) * H), g(r.size());
        for (std::uint32_t y = 0; y < H; ++y)
            for (std::uint32_t x = 0; x < W; ++x) {
                r[static_cast<std::size_t>(y) * W + x] = 8.0f * field(x, y, W, H, 0) - 2.0f;
                g[static_cast<std::size_t>(y) * W + x] = field(x, y, W, H, 1);
            }
        const std::string exr = ctx.path("map.exr");
        writeBytes(exr, buildExr(static_cast<int>(W), static_cast<int>(H), {{"B", r}, {"G", g}}));
        ctx.wrote(exr);
        float span = ctx.call("OpenEXR", exr.c_str(), 0);
        ctx.expect(span > 6.0f && span <= 8.0f, "span of the first channel");
    }
}
