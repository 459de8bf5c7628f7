// The mesh operations on a mesh of 10 UV tiles (1 M or 4 M faces, see
// BenchOptions): tile count, polygroups, and the two tile splits; then the face-ID
// worker and the OBJ writer on a mesh of as many quads, called directly (they
// are not exported) beside a plain stream writer of the same text.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "Inputs.h"
#include "MeskOps.h"
#include "MeskReader.h"
#include "Platform.h"
#include "fixtures/Files.h"
#include "fixtures/MeskBuilder.h"

using namespace benchinputs;

namespace {

// The OBJ text as a std::ostream prints it, read from the same chunks.
bool streamObj(const std::string& meshPath, const std::string& objPath, const std::vector<std::uint32_t>& table) {
    const std::vector<std::uint8_t> image = readBytes(meshPath);
    if (image.empty()) return false;
    auto vertices = meskChunkAt(image, kMeskFileHeaderSize);
    if (!vertices || !meskElementsFit(image, *vertices, kMeskVertexSize)) return false;
    auto colours = meskChunkAt(image, vertices->end(kMeskVertexSize));
    if (!colours || !meskElementsFit(image, *colours, kMeskColourSize)) return false;
    auto faces = meskChunkAt(image, colours->end(kMeskColourSize));
    if (!faces || !meskElementsFit(image, *faces, kMeskFaceSize)) return false;
    std::ofstream o(objPath, std::ios::binary);
    const char* eol = kWindowsBuild ? "\r\n" : "\n";
    o << "# File exported by Kelvane plugin" << eol << "#Vertex count " << vertices->count << eol << "#Face count "
      << faces->count << eol;
    const std::uint8_t* v = image.data() + vertices->first();
    for (std::uint32_t i = 0; i < vertices->count; ++i, v += kMeskVertexSize)
        o << "v " << fileio::loadLEf32(v) << " " << fileio::loadLEf32(v + 4) << " " << fileio::loadLEf32(v + 8) << eol;
    o << "# The following RGB block contains Kelvane Vertex Color (Tintcoat) output as 3 hexadecimal values per "
         "vertex. The vertex color format is RRGGBB with up to 32 entries per RGB line."
      << eol;
    char hex[8];
    const std::uint8_t* c = image.data() + colours->first();
    for (std::uint32_t k = 0; k < colours->count; ++k, c += kMeskColourSize) {
        if (k % 32 == 0) o << "#RGB ";
        std::snprintf(hex, sizeof hex, " %02x%02x%02x", c[2], c[1], c[0]);
        o << hex;
        if (k % 32 == 31) o << eol;
    }
    o << eol << "# End of RGB block" << eol;
    std::uint32_t pos = 0;
    const std::uint8_t* f = image.data() + faces->first();
    for (std::size_t n = 1; n <= table.size() && pos < faces->count; ++n) {
        o << "#FaceID " << n << eol;
        for (std::uint32_t k = 0; k < table[n - 1]; ++k, ++pos, f += kMeskFaceSize) {
            o << "f " << fileio::loadLE32(f) + 1u << " " << fileio::loadLE32(f + 4) + 1u << " "
              << fileio::loadLE32(f + 8) + 1u << " ";
            if (fileio::loadLEi32(f + 12) >= 0) o << fileio::loadLE32(f + 12) + 1u;
            o << eol;
        }
    }
    o.close();
    return static_cast<bool>(o);
}

// Writes size bytes to path in one write.
bool writeOnce(const std::string& path, std::uintmax_t size) {
    static std::vector<std::uint8_t> block;
    block.assign(size, 'v');
    return writeFile(path, block);
}

bool sameFile(const std::string& a, const std::string& b) {
    const std::vector<std::uint8_t> x = readBytes(a);
    return !x.empty() && x == readBytes(b);
}

// The face-ID worker on a file whose first chunk is the face chunk, then the
// OBJ writer on a mesh of quads grouped four faces to an entry.
void benchObj(const BenchOptions& opt, const std::string& libPath, std::vector<BenchRow>& rows, int cells,
              const std::string& faces) {
    const std::string mesh = opt.dataDir + "quads-" + std::to_string(cells) + ".Mesk";
    const std::string faceFile = opt.dataDir + "quadfaces-" + std::to_string(cells) + ".Mesk";
    const std::string colourFile = opt.dataDir + "quadcolours-" + std::to_string(cells) + ".Mesk";
    if (!exists(mesh) || !exists(faceFile) || !exists(colourFile)) {
        GridMesh g = gridMesh(5, 2, cells, 12);
        for (auto& q : g.faces)
            if (q[3] < 0) q[3] = q[2] - 1;  // the cell's fourth corner
        MeskBuilder m;
        m.vertices(g.vertices).colours(g.colours).faces(g.faces).endBlock();
        writeFile(mesh, m.bytes());
        MeskBuilder fm;
        fm.faces(g.faces).endBlock();
        writeFile(faceFile, fm.bytes());
        MeskBuilder cm;
        cm.colours(g.colours).endBlock();
        writeFile(colourFile, cm.bytes());
    }
    const std::string cat = "cat " + quote(faceFile) + " > /dev/null";
    if (wanted(opt, "faceIDs")) {
        BenchRow row;
        row.operation = "faceIDs";
        row.input = faces + " (quads), " + mib(faceFile);
        BenchStep step;
        step.run = [=](HostLibrary&) { return GetFaceIDsMesk(faceFile.c_str(), 2.0) > 0; };
        row.ok = timeInChild(libPath, step, opt.runs, row.brindlexSeconds, row.peakMiB);
        row.peer = "cat";
        row.peerSeconds = timeCommand(cat, opt.runs);
        rows.push_back(row);
    }
    if (wanted(opt, "obj")) {
        std::vector<std::uint32_t> table;
        {
            const std::vector<std::uint8_t> image = readBytes(faceFile);
            auto chunk = meskChunkAt(image, kMeskFileHeaderSize);
            table.assign(chunk ? chunk->count / 4 : 0, 4u);
        }
        const std::string out = opt.scratch + "mesh.obj", peerOut = opt.scratch + "stream.obj";
        BenchRow row;
        row.operation = "objWriter";
        row.input = faces + " (quads), " + mib(mesh);
        auto writing = [=](const std::string& objPath) {
            BenchStep step;
            step.prepare = [=] { _faceID = table; };
            step.run = [=](HostLibrary&) {
                std::string o = objPath;
                return writeOBJfromMesk(mesh.c_str(), &o[0]) == 0.0f;
            };
            return step;
        };
        const BenchStep step = writing(out);
        row.ok = timeInChild(libPath, step, opt.runs, row.brindlexSeconds, row.peakMiB);
        row.step = std::make_shared<const BenchStep>(step);
        row.writingTo = writing;
        BenchStep peer;
        peer.run = [=](HostLibrary&) { return streamObj(mesh, peerOut, table); };
        double peak = 0;
        timeInChild(libPath, peer, opt.runs, row.peerSeconds, peak);
        row.peer = sameFile(out, peerOut) ? "std::ostream writer" : "std::ostream writer (TEXT DIFFERS)";
        rows.push_back(row);
        // The same number of bytes in one write: what the text costs to put out.
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(out, ec);
        BenchStep write;
        write.run = [=](HostLibrary&) { return writeOnce(peerOut, size); };
        timeInChild(libPath, write, opt.runs, row.peerSeconds, peak);
        row.peer = "one write of the same bytes";
        rows.push_back(row);
        durableRow(opt, libPath, rows, "objWriter", {out}, nullptr, true);
    }
    if (wanted(opt, "outMRGB")) {
        const std::string out = opt.scratch + "colours.txt";
        BenchRow row;
        row.operation = "outMRGB";
        row.input = faces + " (quads), colours, " + mib(colourFile);
        BenchStep step;
        step.run = [=](HostLibrary&) {
            std::string o = out;
            return ReadVertColorMesk(colourFile.c_str(), &o[0]) == 0.0f;
        };
        row.ok = timeInChild(libPath, step, opt.runs, row.brindlexSeconds, row.peakMiB);
        row.step = std::make_shared<const BenchStep>(step);
        row.peer = "cat";
        row.peerSeconds = timeCommand("cat " + quote(colourFile) + " > /dev/null", opt.runs);
        rows.push_back(row);
        durableRow(opt, libPath, rows, "outMRGB", {out});
    }
}

}  // namespace

void benchMeshes(const BenchOptions& opt, const std::string& libPath, std::vector<BenchRow>& rows) {
    const int cells = opt.cells;  // 10 tiles of cells² faces
    const std::string faces = opt.faces;
    const std::string mesh = opt.dataDir + "mesh-" + std::to_string(cells) + ".Mesk";
    if (wanted(opt, "faceIDs") || wanted(opt, "obj") || wanted(opt, "outMRGB"))
        benchObj(opt, libPath, rows, cells, faces);
    if (!wanted(opt, "getUV") && !wanted(opt, "mergeCrease")) return;
    if (!exists(mesh)) writeFile(mesh, gridMesh(5, 2, cells, 12).build().bytes());
    // The crease merge appends a mesh to a copy of itself.
    {
        const std::string target = opt.scratch + "crease.Mesk";
        exportRow(opt, libPath, rows, "mergeCrease", faces + ", 10 tiles, " + mib(mesh) + " twice", "mergeCrease", mesh,
                  0, target, Fresh(mesh, target), "cp of target",
                  "cp " + quote(mesh) + " " + quote(opt.scratch + "cp.bin"));
        durableRow(opt, libPath, rows, "mergeCrease", {target}, Fresh(mesh, target));
    }
    if (!wanted(opt, "getUV")) return;
    const std::string input = faces + ", 10 tiles, " + mib(mesh);
    const std::string cat = "cat " + quote(mesh) + " > /dev/null";
    exportRow(opt, libPath, rows, "getUVTile", input, "getUVTile", mesh, 1, "", nullptr, "cat", cat, 0, true);
    exportRow(opt, libPath, rows, "getUVGroups", input, "getUVGroups", mesh, 1, "", nullptr, "cat", cat, 0, true);
    // The splits beside writing the bytes they wrote, one write per file.
    for (const std::string name : {"getUVs", "getUVsMask"}) {
        const std::string outBase = opt.scratch + "tile.Mesk";
        exportRow(opt, libPath, rows, name, input, name, mesh, 1, outBase, nullptr, "", "", 10.0f);
        if (rows.empty() || rows.back().operation != name) continue;
        std::vector<std::uintmax_t> sizes;
        for (int i = 0; i < 10; ++i) {
            std::error_code ec;
            sizes.push_back(std::filesystem::file_size(opt.scratch + "tile" + std::to_string(i) + ".Mesk", ec));
        }
        BenchStep write;
        const std::string scratch = opt.scratch;
        write.run = [=](HostLibrary&) {
            std::uintmax_t most = 0;
            for (auto s : sizes) most = s > most ? s : most;
            static std::vector<std::uint8_t> block;
            block.assign(most, 7);
            for (size_t i = 0; i < sizes.size(); ++i) {
                if (!writeFile(scratch + "w" + std::to_string(i) + ".bin", block.data(), sizes[i])) return false;
            }
            return true;
        };
        double peak = 0;
        timeInChild(libPath, write, opt.runs, rows.back().peerSeconds, peak);
        rows.back().peer = "one write per file";
        std::vector<std::string> tiles;
        for (int i = 0; i < 10; ++i) tiles.push_back(opt.scratch + "tile" + std::to_string(i) + ".Mesk");
        durableRow(opt, libPath, rows, name, tiles);
    }
}
