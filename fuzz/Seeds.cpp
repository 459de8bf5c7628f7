// Writes the seed inputs of every fuzz target into DIR/<kind>/, made by the
// same builders as the tests' fixtures.
#include <cstdio>
#include <string>

#include "fixtures/BmpBuilder.h"
#include "fixtures/ExrBuilder.h"
#include "fixtures/Files.h"
#include "fixtures/JpegSamples.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"
#include "ByteOrder.h"
#include "Platform.h"
#if !BRINDLEX_WINDOWS
#include "fixtures/ExrLibraryWriter.h"
#endif

namespace {

void seed(const std::string& dir, const std::string& kind, const std::string& name,
          const std::vector<unsigned char>& bytes) {
    makeFolders(dir + kind);
    writeBytes(dir + kind + "/" + name, bytes);
}

std::vector<unsigned char> text(const std::string& s) { return std::vector<unsigned char>(s.begin(), s.end()); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    if (dir.back() != '/') dir += '/';
    seed(dir, "version", "release", text("Version 4.0 2009\r\n"));
    seed(dir, "version", "beta", text("2009 BETA"));
    seed(dir, "version", "short", text("200"));

    seed(dir, "mesk", "example", exampleMesk().bytes());
    seed(dir, "mesk", "grid", gridMesh(2, 2, 2, 3).build().bytes());
    seed(dir, "mesk", "negative-tiles", gridMesh(1, 2, 1, 1, -2, -1).build().bytes());

    seed(dir, "tilelist", "names", text("1001, 1002,1011\n1003\n"));
    seed(dir, "tilelist", "ranges", text("1001-1004,1011 - 1012\r\n-5-3\n"));

    TiffBuilder rgb32(4, 3, 3, 32);
    rgb32.floats([](std::uint32_t x, std::uint32_t y, int c) { return 0.1f * x + 0.2f * y + 0.05f * c; });
    seed(dir, "tiff", "rgb32", rgb32.build());
    TiffBuilder grey16(3, 2, 1, 16);
    grey16.u16s([](std::uint32_t x, std::uint32_t y, int) { return static_cast<std::uint16_t>(x * 1000 + y * 7); });
    seed(dir, "tiff", "grey16", grey16.build());
    TiffBuilder rgb8(3, 2, 3, 8);
    rgb8.u8s([](std::uint32_t x, std::uint32_t y, int c) { return static_cast<std::uint8_t>(x * 40 + y * 9 + c); });
    seed(dir, "tiff", "rgb8", rgb8.build());
    {
        // Layouts of other writers: the directory after the rows, and
        // strips of one row each (offsets in an array after the rows).
        std::vector<std::uint8_t> late = rgb8.build();
        const std::uint32_t at = static_cast<std::uint32_t>(late.size());
        late.insert(late.end(), late.begin() + 8, late.begin() + 8 + 2 + 12 * 15 + 4);
        fileio::storeLE32(&late[4], at);
        seed(dir, "tiff", "ifd-after-rows", late);
        TiffBuilder strips = rgb8;
        const std::uint32_t array = strips.stripOffset() + static_cast<std::uint32_t>(strips.pixels.size());
        strips.set(278, 1).setCount(273, 2).set(273, array);
        std::vector<std::uint8_t> f = strips.build();
        for (std::uint32_t y = 0; y < 2; ++y) {
            std::uint8_t o[4];
            fileio::storeLE32(o, strips.stripOffset() + y * 9);
            f.insert(f.end(), o, o + 4);
        }
        seed(dir, "tiff", "strips", f);
    }

    seed(dir, "bmp", "gradient", samples::bmp24(samples::gradient(9, 5)));
    seed(dir, "bmp", "letter", fixtures::makeBmp(fixtures::letterF()));
    seed(dir, "bmp", "coordinates", fixtures::makeBmp(fixtures::coordinates(7, 3)));
    {
        fixtures::BmpOptions topDown, v5;
        topDown.topDown = true;
        v5.extraHeader = 84;  // the 124-byte header
        seed(dir, "bmp", "top-down", fixtures::makeBmp(fixtures::coordinates(5, 4), topDown));
        seed(dir, "bmp", "header124", fixtures::makeBmp(fixtures::letterF(), v5));
    }

    seed(dir, "psd", "letter", fixtures::makePsdRgb(fixtures::letterF()));
    seed(dir, "psd", "rgba", fixtures::makePsdRgb(fixtures::coordinates(5, 4), {}, 200));
    seed(dir, "psd", "grey16", fixtures::makePsdGrey16(3, 2, {1, 2, 3, 400, 500, 600}));

    seed(dir, "exr", "grey", buildExr(3, 2, {{"Y", {0.0f, 0.5f, 1.0f, -2.0f, 3.0f, 0.25f}}}));
    seed(dir, "exr", "rgb", buildExr(2, 2, {{"B", {1, 2, 3, 4}}, {"G", {5, 6, 7, 8}}, {"R", {0, 9, 0, 1}}}));
    // Headers on which tinyexr would stop with an assertion: a tiled file's
    // tiles attribute of 8 bytes, a type naming a tiled image.
    seed(dir, "exr", "tiles-8-bytes",
         buildExr(2, 1, {{"Y", {0.0f, 1.0f}}}, {{"tiles", "tiledesc", {1, 0, 0, 0, 1, 0, 0, 0}}}, 0x200));
    seed(dir, "exr", "type-tiled", buildExr(2, 1, {{"Y", {0.0f, 1.0f}}}, {{"type", "string", text("tiledimage")}}));
#if !BRINDLEX_WINDOWS
    // Maps in the compressions tinyexr lacks, written by the OpenEXR
    // library: they reach its reading.
    auto plane = [](int n, float step) {
        std::vector<float> v(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = step * static_cast<float>(i % 7) - 1.0f;
        return v;
    };
    LibraryExrMap m;
    m.width = 5;
    m.height = 20;
    m.compression = 5;  // PXR24, two chunks
    m.channels = {{"Y", 2, plane(100, 0.5f)}};
    seed(dir, "exr", "pxr24-grey", writeExrWithLibrary(m));
    m.width = m.height = 6;
    m.compression = 7;  // B44A, tiles with mipmap levels
    m.tile = 4;
    m.levels = 1;
    m.channels = {{"B", 1, plane(36, 0.25f)}, {"G", 1, plane(36, 2.0f)}, {"R", 1, plane(36, -1.0f)}};
    seed(dir, "exr", "b44a-tiles", writeExrWithLibrary(m));
    m.tile = 0;
    m.levels = 0;
    m.width = 9;
    m.height = 33;
    m.compression = 8;  // DWAA, two chunks
    m.channels = {{"B", 1, plane(297, 0.1f)}, {"G", 1, plane(297, 0.2f)}, {"R", 1, plane(297, 0.3f)}};
    seed(dir, "exr", "dwaa-rgb", writeExrWithLibrary(m));
    m.width = 4;
    m.height = 4;
    m.originX = -2;
    m.compression = 9;  // DWAB, a luminance and a sampled chroma channel
    m.channels = {{"BY", 1, plane(4, 1.0f), 2, 2}, {"Y", 2, plane(16, 0.5f)}};
    seed(dir, "exr", "dwab-sampled", writeExrWithLibrary(m));
    m.originX = 0;
    m.compression = 6;  // B44, UINT and float channels
    m.channels = {{"A", 0, plane(16, 3.0f)}, {"Z", 2, plane(16, 1.0f)}};
    seed(dir, "exr", "b44-uint", writeExrWithLibrary(m));
#endif
    return 0;
}
