// The map operations on 4096² inputs (8192² with --large): 16-bit
// conversion, level count, merges, swaps, thumbnail and JPEG, each beside
// the copy or read of the same file, or a peer tool where installed.
#include <string>
#include <vector>

#include "fixtures/BmpBuilder.h"
#include "Inputs.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

using namespace benchinputs;

namespace {
fixtures::Picture picture(int side, std::uint32_t seed) {
    fixtures::Picture pic(side, side);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            fixtures::Rgb &p = pic.at(x, y);
            p.r = std::uint8_t(noise(x, y, 0, seed) * 255.0f);
            p.g = std::uint8_t(noise(x, y, 1, seed) * 255.0f);
            p.b = std::uint8_t(noise(x, y, 2, seed) * 255.0f);
        }
    return pic;
}

std::vector<std::uint8_t> psdOf(const fixtures::Picture &pic) { return fixtures::makePsdRgb(pic); }
}  // namespace

void benchMaps(const BenchOptions &opt, const std::string &libPath, std::vector<BenchRow> &rows) {
    const int side = opt.large ? 8192 : 4096;
    const std::string tag = std::to_string(side) + "²";
    const std::string d = opt.dataDir + "map" + std::to_string(side) + "-";
    const std::string grey = d + "grey32.tif", rgb32 = d + "rgb32.tif", rgb8a = d + "rgb8a.tif",
                      rgb8b = d + "rgb8b.tif", bmpA = d + "a.bmp", bmpB = d + "b.bmp", psdA = d + "a.psd",
                      psdB = d + "b.psd";
    if (!exists(grey)) writeFile(grey, TiffBuilder(side, side, 1, 32).floats([](auto x, auto y, int c) {
        return noise(x, y, c, 1);
    }).build());
    if (!exists(rgb32)) writeFile(rgb32, TiffBuilder(side, side, 3, 32).floats([](auto x, auto y, int c) {
        return noise(x, y, c, 2);
    }).build());
    if (!exists(rgb8b) || !exists(bmpB) || !exists(psdB)) {
        const fixtures::Picture a = picture(side, 3), b = picture(side, 4);
        auto tiff8 = [&](const fixtures::Picture &p) {
            return TiffBuilder(side, side, 3, 8).u8s([&](auto x, auto y, int c) {
                const fixtures::Rgb &q = p.at(int(x), int(y));
                return c == 0 ? q.r : c == 1 ? q.g : q.b;
            }).build();
        };
        writeFile(rgb8a, tiff8(a));
        writeFile(rgb8b, tiff8(b));
        writeFile(bmpA, fixtures::makeBmp(a));
        writeFile(bmpB, fixtures::makeBmp(b));
        writeFile(psdA, psdOf(a));
        writeFile(psdB, psdOf(b));
    }
    const std::string out = opt.scratch + "out.tif", work = opt.scratch + "work";
    auto cp = [&](const std::string &f) { return "cp " + quote(f) + " " + quote(opt.scratch + "cp.bin"); };
    auto cat = [&](const std::string &f) { return "cat " + quote(f) + " > /dev/null"; };

    // 16-bit conversion beside cp of the source, then the peer tools.
    const struct { int mode; std::string src; } convs[] = {{1, grey}, {3, rgb32}, {4, rgb32}};
    for (const auto &c : convs)
        exportRow(opt, libPath, rows, "convertTIFF16 mode " + std::to_string(c.mode), tag + " float, " + mib(c.src),
                  "convertTIFF16", c.src, c.mode, out, nullptr, "cp of source", cp(c.src));
    if (wanted(opt, "convertTIFF16")) {
        for (const std::string &src : {grey, rgb32}) {
            BenchRow im;
            im.operation = "(peer) ImageMagick convert -depth 16";
            im.input = mib(src);
            im.peer = "cp of source";
            im.peerSeconds = timeCommand(cp(src), opt.runs);
            if (haveTool("convert"))
                im.brindlexSeconds =
                    timeCommand("convert " + quote(src) + " -depth 16 " + quote(opt.scratch + "im.tif"), opt.runs);
            im.ok = haveTool("convert") && im.brindlexSeconds >= 0;  // a failing command times as -1
            rows.push_back(im);
            BenchRow vips = im;
            vips.operation = "(peer) vips linear x65535";
            vips.ok = haveTool("vips");
            if (vips.ok)
                vips.brindlexSeconds = timeCommand(
                    "vips linear " + quote(src) + " " + quote(opt.scratch + "v.tif") + " 65535 0",
                    opt.runs);
            vips.ok = vips.ok && vips.brindlexSeconds >= 0;
            rows.push_back(vips);
        }
    }
    exportRow(opt, libPath, rows, "getScale grey", tag + " float, " + mib(grey), "getScale", grey, 1, "", nullptr,
              "cat", cat(grey), 0, true);
    exportRow(opt, libPath, rows, "getScale RGB", tag + " float, " + mib(rgb32), "getScale", rgb32, 3, "", nullptr,
              "cat", cat(rgb32), 0, true);

    // Merges and swaps rewrite their target: a fresh copy before each run.
    const struct { std::string op, name, a, b; } merges[] = {
        {"mergeMapsTIF", "mergeMapsTIF", rgb8a, rgb8b},
        {"mergeMapsBMP", "mergeMapsBMP", bmpA, bmpB},
        {"mergeMapsPSD", "mergeMapsPSD", psdA, psdB},
    };
    for (const auto &m : merges) {
        const std::string target = work + m.b.substr(m.b.size() - 4);
        exportRow(opt, libPath, rows, m.op, tag + " 8-bit RGB, " + mib(m.b), m.name, m.a, 0, target,
                  [=] { copyFile(m.b, target); }, "cp of target", cp(m.b));
    }
    const struct { std::string name, file; } swaps[] = {
        {"swapRGBTIF", rgb8b}, {"swapRGBBMP", bmpB}, {"swapRGBPSD", psdB}};
    for (const auto &s : swaps) {
        const std::string target = work + s.file.substr(s.file.size() - 4);
        exportRow(opt, libPath, rows, s.name + " mode 2", tag + " 8-bit RGB, " + mib(s.file), s.name, target, 2, "",
                  [=] { copyFile(s.file, target); }, "cp of target", cp(s.file));
    }
    const std::string thumb = work + "-thumb.bmp";
    exportRow(opt, libPath, rows, "CreateThumbnailBMP 256", tag + " BMP, " + mib(bmpA), "CreateThumbnailBMP", thumb,
              256, "", [=] { copyFile(bmpA, thumb); }, "cat of BMP", cat(bmpA));

    for (int scale : {50, 75}) {
        const bool cj = haveTool("cjpeg");
        exportRow(opt, libPath, rows, "saveAsJpeg scale " + std::to_string(scale), tag + " BMP, " + mib(bmpA),
                  "saveAsJpeg", bmpA, scale, opt.scratch + "out.jpg", nullptr,
                  cj ? "cjpeg float 4:4:4 q" + std::to_string(scale) : "- (no cjpeg)",
                  cj ? "cjpeg -dct float -sample 1x1,1x1,1x1 -baseline -quality " + std::to_string(scale) + " -outfile " +
                           quote(opt.scratch + "cj.jpg") + " " + quote(bmpA)
                     : "");
    }
}
