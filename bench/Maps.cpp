// The map operations on side² inputs (BenchOptions): 16-bit
// conversion, level count, merges, swaps, thumbnail and JPEG, each beside
// the copy or read of the same file, or a peer tool where installed.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "Inputs.h"
#include "TiffKernels.h"
#include "TiffOps.h"
#include "TiffReader.h"
#include "FileAccess.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/Files.h"
#include "fixtures/PsdBuilder.h"
#include "fixtures/TiffBuilder.h"

using namespace benchinputs;

namespace {
fixtures::Picture picture(int side, std::uint32_t seed) {
    fixtures::Picture pic(side, side);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            fixtures::Rgb& p = pic.at(x, y);
            p.r = std::uint8_t(noise(x, y, 0, seed) * 255.0f);
            p.g = std::uint8_t(noise(x, y, 1, seed) * 255.0f);
            p.b = std::uint8_t(noise(x, y, 2, seed) * 255.0f);
        }
    return pic;
}

std::vector<std::uint8_t> psdOf(const fixtures::Picture& pic) { return fixtures::makePsdRgb(pic); }

// Painted-map content for the level counts: broad strokes (waves at three
// scales) around a mid value that differs a little between channels, plus a
// brush-fine detail of a few percent. Values stay within [0.2, 0.8], so a
// map holds some tens of thousands of distinct 16-bit levels, not nearly
// all 65536 as a map spanning the whole range would.
float painted(std::uint32_t x, std::uint32_t y, int channel, std::uint32_t seed) {
    const float fx = float(x), fy = float(y), c = float(channel * 7 + int(seed));
    const float broad = 0.14f * std::sin(fx * 0.0021f + c) * std::cos(fy * 0.0017f - c) +
                        0.07f * std::sin((fx + fy) * 0.0093f + 2.0f * c) +
                        0.035f * std::cos(fx * 0.031f - fy * 0.027f + c);
    return 0.46f + 0.04f * float(channel) + broad + 0.04f * (noise(x, y, channel, seed) - 0.5f);
}

// Distinct 16-bit levels of a float map's samples (as getScale counts them).
std::string levelsOf(const std::string& path, int samples) {
    tiff::Directory d;
    tiff::WalkRules rules;
    fileio::FileWindow w;
    fileio::Bytes b;
    if (tiff::readTiffHeader(path.c_str(), rules, d) != 0.0f || w.open(path.c_str()) != fileio::Load::Ok || !w.whole(b))
        return "?";
    const std::size_t n = std::size_t(d.width) * d.length * std::size_t(samples);
    if (!b.hasArray(d.stripOffset, n, 4)) return "?";
    std::vector<std::uint8_t> seen(65536, 0);
    tiff::markLevels(b.data + d.stripOffset, n, seen.data());
    std::size_t levels = 0;
    for (std::uint8_t s : seen) levels += s;
    return std::to_string((levels + 500) / 1000) + "k levels";
}

// The ImageMagick command, when installed (the versioned name first, so a
// wrapper of the same name earlier on the PATH is not what gets timed).
std::string imageMagick() {
    for (const char* c : {"convert-im6.q16", "magick", "convert"})
        if (haveTool(c)) return c;
    return "";
}

BenchRow* lastRow(std::vector<BenchRow>& rows, const std::string& op, const std::string& tag) {
    if (rows.empty() || rows.back().operation != op || rows.back().input.compare(0, tag.size(), tag) != 0)
        return nullptr;
    return &rows.back();
}

// A row that sets the same Brindlex timing beside a peer tool's.
void peerRow(std::vector<BenchRow>& rows, BenchRow mine, const std::string& peer, double seconds) {
    mine.peer = peer;
    mine.peerSeconds = seconds;
    mine.ok = mine.ok && seconds >= 0;  // a failing command times as -1
    if (seconds < 0) mine.peer += " (failed)";
    rows.push_back(mine);
}

// Reads the quantisation tables of a baseline JPEG and writes them in the
// peer encoder's -qtables form (natural order); slots gets each component's
// table number, comma-separated.
bool writeQTables(const std::string& jpg, const std::string& txt, std::string& slots) {
    static const int zigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                   12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                   35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                   58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
    const std::vector<std::uint8_t> b = readBytes(jpg);
    if (b.empty()) return false;
    int table[4][64] = {};
    int count = 0;
    slots.clear();
    for (std::size_t i = 2; i + 4 <= b.size() && b[i] == 0xFF;) {
        const int marker = b[i + 1];
        const std::size_t len = std::size_t(b[i + 2]) << 8 | b[i + 3];
        if (i + 2 + len > b.size()) return false;
        if (marker == 0xDB)
            for (std::size_t p = i + 4; p + 65 <= i + 2 + len; p += 65) {
                const int id = b[p] & 3;
                if (b[p] >> 4) return false;  // 16-bit entries: not baseline
                for (int k = 0; k < 64; ++k) table[id][zigzag[k]] = b[p + 1 + k];
                count = std::max(count, id + 1);
            }
        if (marker == 0xC0)
            for (int c = 0; c < b[i + 9]; ++c) slots += (c ? "," : "") + std::to_string(b[i + 10 + 3 * c + 2]);
        if (marker == 0xDA) break;
        i += 2 + len;
    }
    if (count == 0 || slots.empty()) return false;
    std::string out;
    for (int t = 0; t < count; ++t)
        for (int k = 0; k < 64; ++k) out += std::to_string(table[t][k]) + (k % 8 == 7 ? "\n" : " ");
    return writeFile(txt, std::vector<std::uint8_t>(out.begin(), out.end()));
}
}  // namespace

void benchMaps(const BenchOptions& opt, const std::string& libPath, std::vector<BenchRow>& rows) {
    const int side = opt.side;
    const std::string tag = std::to_string(side) + "²";
    const std::string d = opt.dataDir + "map" + std::to_string(side) + "-";
    const std::string grey = d + "grey32.tif", rgb32 = d + "rgb32.tif", rgb8a = d + "rgb8a.tif",
                      paintGrey = d + "paint-grey32.tif", paintRgb = d + "paint-rgb32.tif",
                      paintGrey16 = d + "paint-grey16.tif", paintRgb16 = d + "paint-rgb16.tif", rgb8b = d + "rgb8b.tif",
                      bmpA = d + "a.bmp", bmpB = d + "b.bmp", psdA = d + "a.psd", psdB = d + "b.psd";
    if (!exists(grey))
        writeFile(
            grey,
            TiffBuilder(side, side, 1, 32).floats([](auto x, auto y, int c) { return noise(x, y, c, 1); }).build());
    if (!exists(rgb32))
        writeFile(
            rgb32,
            TiffBuilder(side, side, 3, 32).floats([](auto x, auto y, int c) { return noise(x, y, c, 2); }).build());
    if (!exists(rgb8b) || !exists(bmpB) || !exists(psdB)) {
        const fixtures::Picture a = picture(side, 3), b = picture(side, 4);
        auto tiff8 = [&](const fixtures::Picture& p) {
            return TiffBuilder(side, side, 3, 8)
                .u8s([&](auto x, auto y, int c) {
                    const fixtures::Rgb& q = p.at(int(x), int(y));
                    return c == 0 ? q.r : c == 1 ? q.g : q.b;
                })
                .build();
        };
        writeFile(rgb8a, tiff8(a));
        writeFile(rgb8b, tiff8(b));
        writeFile(bmpA, fixtures::makeBmp(a));
        writeFile(bmpB, fixtures::makeBmp(b));
        writeFile(psdA, psdOf(a));
        writeFile(psdB, psdOf(b));
    }
    const std::string out = opt.scratch + "out.tif", work = opt.scratch + "work";
    auto cp = [&](const std::string& f) { return "cp " + quote(f) + " " + quote(opt.scratch + "cp.bin"); };
    auto cat = [&](const std::string& f) { return "cat " + quote(f) + " > /dev/null"; };

    // 16-bit conversion beside cp of the source, then the peer tools.
    const struct {
        int mode;
        std::string src;
    } convs[] = {{1, grey}, {3, rgb32}, {4, rgb32}};
    // Each conversion beside cp of its source, then beside the peer tools
    // on the same source.
    const std::string im = imageMagick();
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string op = "convertTIFF16 mode " + std::to_string(convs[i].mode);
        exportRow(opt, libPath, rows, op, tag + " float, " + mib(convs[i].src), "convertTIFF16", convs[i].src,
                  convs[i].mode, out, nullptr, "cp of source", cp(convs[i].src));
        const BenchRow* last = lastRow(rows, op, tag);
        if (!last) continue;
        const BenchRow mine = *last;  // rows grows below
        durableRow(opt, libPath, rows, op, {out}, nullptr, true);
        const std::string& src = convs[i].src;
        // Mode 4 keeps the first channel of an RGB map; the peers do the same.
        const std::string first = convs[i].mode == 4 ? " -channel R -separate" : "";
        if (!im.empty())
            peerRow(
                rows, mine, "ImageMagick -depth 16",
                timeCommand(im + " " + quote(src) + first + " -depth 16 " + quote(opt.scratch + "im.tif"), opt.runs));
        if (haveTool("vips")) {
            const std::string band =
                convs[i].mode == 4 ? "vips extract_band " + quote(src) + " " + quote(opt.scratch + "band.v") + " 0 && "
                                   : "";
            const std::string in = convs[i].mode == 4 ? opt.scratch + "band.v" : src;
            peerRow(rows, mine, "vips linear x65535, cast ushort",
                    timeCommand(band + "vips linear " + quote(in) + " " + quote(opt.scratch + "lin.v") +
                                    " 65535 0 && vips cast " + quote(opt.scratch + "lin.v") + " " +
                                    quote(opt.scratch + "v.tif") + " ushort",
                                opt.runs));
        }
    }
    // The level count on painted maps, with two threads and on one core; then
    // the 16-bit span (a Windows export: here its worker, as that build
    // runs it; bench-windows calls the export).
    if (wanted(opt, "getScale")) {
        const struct {
            std::string path;
            int samples, bits;
        } paints[] = {{paintGrey, 1, 32}, {paintRgb, 3, 32}, {paintGrey16, 1, 16}, {paintRgb16, 3, 16}};
        for (const auto& p : paints) {
            if (exists(p.path)) continue;
            TiffBuilder b(side, side, p.samples, p.bits);
            if (p.bits == 32)
                b.floats([](auto x, auto y, int c) { return painted(x, y, c, 5); });
            else
                b.u16s([](auto x, auto y, int c) { return tiff::quantise16(painted(x, y, c, 6)); });
            writeFile(p.path, b.build());
        }
    }
    for (const auto& [kind, path, samples] :
         {std::tuple<std::string, std::string, int>{"grey", paintGrey, 1}, {"RGB", paintRgb, 3}}) {
        if (!wanted(opt, "getScale " + kind)) continue;
        const std::string input = tag + " float, " + mib(path) + ", " + levelsOf(path, samples);
        exportRow(opt, libPath, rows, "getScale " + kind, input, "getScale", path, samples, "", nullptr, "cat",
                  cat(path), 0, true);
        exportRow(opt, libPath, rows, "getScale " + kind + ", one core", input, "getScale", path, samples, "", nullptr,
                  "cat", cat(path), 0, true, true);
    }
    for (const auto& [kind, path, samples] :
         {std::tuple<std::string, std::string, int>{"grey", paintGrey16, 1}, {"RGB", paintRgb16, 3}}) {
        const std::string op = "getScale16 " + kind, input = tag + " 16-bit, " + mib(path);
        if (!wanted(opt, op)) continue;
        if (listingCalls()) {
            exportRow(opt, libPath, rows, op, input, "getScale16", path, samples, "", nullptr, "cat", cat(path), 0,
                      true);
            continue;
        }
        BenchRow row;
        row.operation = op + " (worker)";
        row.input = input;
        BenchStep step;
        step.run = [path = path, samples = samples](HostLibrary&) { return getScale16Tiff(path.c_str(), samples) > 0; };
        row.ok = timeInChild(libPath, step, opt.runs, row.brindlexSeconds, row.peakMiB);
        row.peer = "cat";
        row.peerSeconds = timeCommand(cat(path), opt.runs);
        rows.push_back(row);
    }

    // Merges and swaps rewrite their target: a fresh copy before each run.
    const struct {
        std::string op, name, a, b;
    } merges[] = {
        {"mergeMapsTIF", "mergeMapsTIF", rgb8a, rgb8b},
        {"mergeMapsBMP", "mergeMapsBMP", bmpA, bmpB},
        {"mergeMapsPSD", "mergeMapsPSD", psdA, psdB},
    };
    for (const auto& m : merges) {
        const std::string target = work + m.b.substr(m.b.size() - 4);
        exportRow(opt, libPath, rows, m.op, tag + " 8-bit RGB, " + mib(m.b), m.name, m.a, 0, target, Fresh(m.b, target),
                  "cp of target", cp(m.b));
        durableRow(opt, libPath, rows, m.op, {target}, Fresh(m.b, target));
    }
    const struct {
        std::string name, file;
    } swaps[] = {{"swapRGBTIF", rgb8b}, {"swapRGBBMP", bmpB}, {"swapRGBPSD", psdB}};
    for (const auto& s : swaps) {
        const std::string target = work + s.file.substr(s.file.size() - 4);
        exportRow(opt, libPath, rows, s.name + " mode 2", tag + " 8-bit RGB, " + mib(s.file), s.name, target, 2, "",
                  Fresh(s.file, target), "cp of target", cp(s.file));
        durableRow(opt, libPath, rows, s.name + " mode 2", {target}, Fresh(s.file, target));
    }
    const std::string thumb = work + "-thumb.bmp";
    exportRow(opt, libPath, rows, "CreateThumbnailBMP 256", tag + " BMP, " + mib(bmpA), "CreateThumbnailBMP", thumb,
              256, "", Fresh(bmpA, thumb), "cat of BMP", cat(bmpA));
    if (const BenchRow* last = lastRow(rows, "CreateThumbnailBMP 256", tag)) {
        const BenchRow mine = *last;  // rows grows below
        durableRow(opt, libPath, rows, "CreateThumbnailBMP 256", {thumb}, Fresh(bmpA, thumb));
        if (haveTool("vipsthumbnail"))
            peerRow(
                rows, mine, "vipsthumbnail -s 256",
                timeCommand("vipsthumbnail " + quote(bmpA) + " -s 256 -o " + quote(opt.scratch + "vt.bmp"), opt.runs));
        if (!im.empty())
            peerRow(
                rows, mine, "ImageMagick -sample 256x256",
                timeCommand(im + " " + quote(bmpA) + " -sample 256x256 " + quote(opt.scratch + "ims.bmp"), opt.runs));
    }

    // The peer encoder gets the very tables the export wrote, read back from
    // its output, with the float DCT, no subsampling and baseline values.
    for (int scale : {50, 75}) {
        const std::string op = "saveAsJpeg scale " + std::to_string(scale), jpg = opt.scratch + "out.jpg";
        exportRow(opt, libPath, rows, op, tag + " BMP, " + mib(bmpA), "saveAsJpeg", bmpA, scale, jpg, nullptr, "", "");
        BenchRow* mine = lastRow(rows, op, tag);
        if (!mine) continue;
        const std::string tables = opt.scratch + "qtables.txt";
        std::string slots;
        if (haveTool("cjpeg") && writeQTables(jpg, tables, slots)) {
            mine->peer = "cjpeg -dct float 4:4:4, same tables";
            mine->peerSeconds =
                timeCommand("cjpeg -dct float -sample 1x1,1x1,1x1 -baseline -qtables " + quote(tables) + " -qslots " +
                                slots + " -outfile " + quote(opt.scratch + "cj.jpg") + " " + quote(bmpA),
                            opt.runs);
        } else {
            mine->peer = "- (no cjpeg, or no tables read)";
        }
        durableRow(opt, libPath, rows, op, {jpg}, nullptr, true);
    }
}
