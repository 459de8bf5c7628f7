// The mesh operations on a 1-million-face mesh over 10 UV tiles (4 M with
// --large): tile count, polygroups, and the two tile splits.
#include <string>
#include <vector>

#include "Inputs.h"
#include "fixtures/MeskBuilder.h"

using namespace benchinputs;

void benchMeshes(const BenchOptions &opt, const std::string &libPath, std::vector<BenchRow> &rows) {
    const int cells = opt.large ? 632 : 316;  // 10 tiles of cells² faces
    const std::string faces = opt.large ? "4 M faces" : "1 M faces";
    const std::string mesh = opt.dataDir + "mesh-" + std::to_string(cells) + ".Mesk";
    if (!wanted(opt, "getUV")) return;
    if (!exists(mesh)) writeFile(mesh, gridMesh(5, 2, cells, 12).build().bytes());
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
        write.run = [=](HostLibrary &) {
            std::uintmax_t most = 0;
            for (auto s : sizes) most = s > most ? s : most;
            static std::vector<std::uint8_t> block;
            block.assign(most, 7);
            for (size_t i = 0; i < sizes.size(); ++i) {
                fileio::File f = fileio::open((scratch + "w" + std::to_string(i) + ".bin").c_str(), "wb");
                if (!f || !fileio::writeAll(f.get(), block.data(), sizes[i]) || !f.close()) return false;
            }
            return true;
        };
        double peak = 0;
        timeInChild(libPath, write, opt.runs, rows.back().peerSeconds, peak);
        rows.back().peer = "one write per file";
    }
}
