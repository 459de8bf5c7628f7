#include <cstdio>
#include <string>

#include "Demo.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/Files.h"
#include "fixtures/PsdBuilder.h"

using namespace fixtures;

namespace {

// A map as the host exports it: a white background with a coloured disc
// (the painted region), plus a shifted variant for the second layer.
Picture paintedMap(int w, int h, int cx, int cy, int radius, Rgb ink) {
    Picture p(w, h, Rgb{255, 255, 255});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy <= radius * radius)
                p.at(x, y) = Rgb{ink.r, std::uint8_t(ink.g + (x * 97 / w)), std::uint8_t(ink.b + (y * 61 / h))};
        }
    return p;
}

std::string dims(const std::vector<unsigned char>& f, bool psd) {
    char buf[64];
    if (psd && f.size() >= 22) {
        unsigned rows = (f[14] << 24) | (f[15] << 16) | (f[16] << 8) | f[17];
        unsigned cols = (f[18] << 24) | (f[19] << 16) | (f[20] << 8) | f[21];
        std::snprintf(buf, sizeof buf, "%u x %u", cols, rows);
    } else if (!psd && f.size() >= 26) {
        int w = f[18] | (f[19] << 8) | (f[20] << 16) | (f[21] << 24);
        int h = f[22] | (f[23] << 8) | (f[24] << 16) | (f[25] << 24);
        std::snprintf(buf, sizeof buf, "%d x %d", w, h);
    } else {
        return "?";
    }
    return buf;
}

}  // namespace

// Script sequence: PSD and BMP maps, merged, swapped and thumbnailed in
// place, as a map export script does after the host has written them.
void demoPsdBmp(DemoContext& ctx) {
    const Picture layerA = paintedMap(640, 320, 200, 160, 110, Rgb{200, 30, 20});
    const Picture layerB = paintedMap(640, 320, 440, 160, 110, Rgb{20, 40, 180});

    ctx.section("PSD maps: merge, channel swap");
    PsdOptions psdOpt;
    psdOpt.resourcesLength = 150;  // image data starts past byte 100
    const std::string psdA = ctx.path("colour-layer1.psd"), psdB = ctx.path("colour-layer2.psd");
    writeBytes(psdA, makePsdRgb(layerA, psdOpt));
    writeBytes(psdB, makePsdRgb(layerB, psdOpt));
    ctx.expect(ctx.call("mergeMapsPSD", psdA, 0, psdB) == 0.0f, "PSD merge");
    ctx.wrote(psdB);
    ctx.expect(ctx.call("swapRGBPSD", psdB.c_str(), 2) == 0.0f, "PSD swap mode 2");
    ctx.wrote(psdB);
    ctx.expect(ctx.call("swapRGBPSD", psdB.c_str(), 3) == 0.0f, "PSD swap mode 3 undoes mode 2");
    ctx.wrote(psdB);
    const std::string psdGrey = ctx.path("displacement.psd");
    writeBytes(psdGrey, makePsdGrey16(64, 64, std::vector<std::uint16_t>(64 * 64, 0x8000)));
    ctx.expect(ctx.call("mergeMapsPSD", psdGrey, 0, psdB) == -6.0f, "maps of other sizes are refused");

    ctx.section("BMP maps: merge, channel swap");
    const std::string bmpA = ctx.path("colour-layer1.bmp"), bmpB = ctx.path("colour-layer2.bmp");
    // The merge key is the source's first pixel: white, the target's background.
    writeBytes(bmpA, makeBmp(layerA));
    writeBytes(bmpB, makeBmp(layerB));
    ctx.expect(ctx.call("mergeMapsBMP", bmpB, 0, bmpA) == 0.0f, "BMP merge");
    ctx.wrote(bmpA);
    ctx.expect(ctx.call("swapRGBBMP", bmpA.c_str(), 2) == 0.0f, "BMP swap blue/red");
    ctx.wrote(bmpA);

    ctx.section("Thumbnails");
    const std::string thumbBmp = ctx.path("thumb.bmp");
    writeBytes(thumbBmp, readBytes(bmpA));
    ctx.expect(ctx.call("CreateThumbnailBMP", thumbBmp.c_str(), 128) == 0.0f, "BMP thumbnail");
    ctx.wrote(thumbBmp);
    ctx.note("thumbnail size " + dims(readBytes(thumbBmp), false));
    ctx.expect(dims(readBytes(thumbBmp), false) == "128 x 64", "BMP thumbnail keeps the aspect");
    if (ctx.windowsBuild()) {
        const std::string thumbPsd = ctx.path("thumb.psd");
        writeBytes(thumbPsd, readBytes(psdB));
        ctx.expect(ctx.call("CreateThumbnail", thumbPsd.c_str(), 128) == 0.0f, "PSD thumbnail");
        ctx.wrote(thumbPsd);
        ctx.note("thumbnail size " + dims(readBytes(thumbPsd), true));
        ctx.expect(dims(readBytes(thumbPsd), true) == "128 x 128", "PSD thumbnail is square");
    }
}
