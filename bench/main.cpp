// brindlex_bench DATA_DIR [--runs N] [--filter TEXT] [--small | --large] [--markdown FILE]
// Generates the inputs once into DATA_DIR, times every heavy operation
// through the real exports and the peers or limits on the same files, and
// prints one table of medians, ratios and peak memory. Both sizes run by
// default (4096² maps and 1 M faces, then 8192² and 4 M); --small or
// --large keeps one.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Bench.h"

namespace {
const std::vector<BenchArea> &areas() {
    static const std::vector<BenchArea> all = {benchMaps, benchMeshes};
    return all;
}
}  // namespace

int main(int argc, char **argv) {
    BenchOptions opt;
    std::string markdown;
    std::vector<bool> sizes = {false, true};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            opt.runs = std::atoi(argv[++i]);
        else if (a == "--filter" && i + 1 < argc)
            opt.filter = argv[++i];
        else if (a == "--large")
            sizes = {true};
        else if (a == "--small")
            sizes = {false};
        else if (a == "--markdown" && i + 1 < argc)
            markdown = argv[++i];
        else if (a == "--list-calls" && i + 1 < argc)  // the export rows' calls, for brindlex_calls; nothing timed
            listCallsTo(argv[++i]);
        else
            opt.dataDir = a;
    }
    if (opt.dataDir.empty()) {
        std::fprintf(
            stderr,
            "usage: brindlex_bench DATA_DIR [--runs N] [--filter TEXT] [--small | --large] [--markdown FILE]\n");
        return 2;
    }
    // Absolute, since some peers resolve output names against their input's folder.
    opt.dataDir = std::filesystem::absolute(opt.dataDir).string();
    if (opt.dataDir.back() != '/') opt.dataDir += '/';
    opt.scratch = opt.dataDir + "scratch/";
    std::system(("mkdir -p " + quote(opt.scratch)).c_str());
    const std::string lib = HostLibrary::besideProgram();

    std::vector<BenchRow> rows;
    if (!listingCalls()) benchLimits(opt, lib, rows);  // the machine's limits do not depend on the size
    for (bool large : sizes) {
        opt.large = large;
        for (const BenchArea &area : areas()) area(opt, lib, rows);
    }

    if (listingCalls()) return 0;
    std::string table =
        "| operation | input | Brindlex (s) | peer or limit | peer (s) | ratio | peak MiB |\n"
        "|---|---|---|---|---|---|---|\n";
    for (const BenchRow &r : rows) {
        char line[512];
        double ratio = (r.ok && r.peerSeconds > 0) ? r.brindlexSeconds / r.peerSeconds : 0;
        std::snprintf(line, sizeof line, "| %s | %s | %s | %s | %.3f | %s | %.0f |\n", r.operation.c_str(),
                      r.input.c_str(), r.ok ? std::to_string(r.brindlexSeconds).substr(0, 6).c_str() : "failed",
                      r.peer.c_str(), r.peerSeconds, ratio > 0 ? std::to_string(ratio).substr(0, 5).c_str() : "-",
                      r.peakMiB);
        table += line;
    }
    std::fputs(table.c_str(), stdout);
    if (!markdown.empty()) {
        std::ofstream out(markdown, std::ios::app);
        out << table;
    }
    return 0;
}
