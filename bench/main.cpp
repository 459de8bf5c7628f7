// brindlex_bench DATA_DIR [--runs N] [--filter TEXT] [--small | --large] [--markdown FILE]
// Generates the inputs once into DATA_DIR, times every heavy operation
// through the real exports and the peers or limits on the same files, and
// prints one table of medians, ratios and added peak memory. Both sizes run
// by default (4096² maps and 1 M faces, then 8192² and 4 M), after a run
// at 1024² and 65 k faces that only sets the memory baseline: a second
// table gives each operation's added peak at the three sizes and its growth
// from the smallest to the largest. --small or --large keeps one size.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Bench.h"

namespace {
const std::vector<BenchArea>& areas() {
    static const std::vector<BenchArea> all = {benchMaps, benchMeshes};
    return all;
}

struct Size {
    int side, cells;
    const char* faces;
    bool timed;  // false: run once for the memory baseline, not shown in the speed table
};
const Size kBaseline = {1024, 81, "65 k faces", false};
const Size kSmall = {4096, 316, "1 M faces", true};
const Size kLarge = {8192, 632, "4 M faces", true};

// Growth of added peak memory that the operations must stay within.
constexpr double kGrowthBound = 16.0;

std::string fixed(double v, int digits) {
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", digits, v);
    return b;
}

// Added peak per operation at each size, and its growth from the first size
// to the last.
std::string memoryTable(const std::vector<Size>& sizes, const std::vector<std::vector<BenchRow>>& bySize) {
    std::vector<std::string> order;
    std::vector<std::map<std::string, double>> peak(sizes.size());
    for (std::size_t s = 0; s < sizes.size(); ++s)
        for (const BenchRow& r : bySize[s]) {
            if (!peak[s].count(r.operation)) peak[s][r.operation] = r.peakMiB;
            if (std::find(order.begin(), order.end(), r.operation) == order.end()) order.push_back(r.operation);
        }
    std::string t = "| operation |";
    for (const Size& z : sizes) t += " " + std::to_string(z.side) + "², " + z.faces + " (MiB) |";
    t += " growth (MiB) | within " + fixed(kGrowthBound, 0) + " MiB |\n|---|";
    for (std::size_t s = 0; s < sizes.size(); ++s) t += "---|";
    t += "---|---|\n";
    // State the library keeps between calls by design grows with its input.
    const std::map<std::string, std::string> kept = {
        {"faceIDs", " (the face-ID table it leaves for the OBJ writer: 4 bytes a face)"}};
    for (const std::string& op : order) {
        t += "| " + op + (kept.count(op) ? kept.at(op) : "") + " |";
        for (std::size_t s = 0; s < sizes.size(); ++s)
            t += peak[s].count(op) ? " " + fixed(peak[s][op], 1) + " |" : " - |";
        if (peak.front().count(op) && peak.back().count(op)) {
            const double growth = peak.back()[op] - peak.front()[op];
            t += " " + fixed(growth, 1) + " | " + (growth <= kGrowthBound ? "yes" : "NO") + " |\n";
        } else {
            t += " - | - |\n";
        }
    }
    return t;
}
}  // namespace

int main(int argc, char** argv) {
    BenchOptions opt;
    std::string markdown;
    std::vector<Size> sizes = {kBaseline, kSmall, kLarge};
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            opt.runs = std::atoi(argv[++i]);
        else if (a == "--filter" && i + 1 < argc)
            opt.filter = argv[++i];
        else if (a == "--large")
            sizes = {kLarge};
        else if (a == "--small")
            sizes = {kSmall};
        else if (a == "--markdown" && i + 1 < argc)
            markdown = argv[++i];
        else if (a == "--list-calls" && i + 1 < argc)  // the export rows' calls, for brindlex_calls; nothing timed
            listCallsTo(argv[++i]);
        else if (a.rfind("-", 0) == 0 || !opt.dataDir.empty())
            usage = true;  // an unknown option, or a second folder
        else
            opt.dataDir = a;
    }
    if (usage || opt.dataDir.empty()) {
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
    std::vector<std::vector<BenchRow>> bySize;
    const int runs = opt.runs;
    for (const Size& z : sizes) {
        if (listingCalls() && !z.timed) continue;
        opt.side = z.side;
        opt.cells = z.cells;
        opt.faces = z.faces;
        opt.runs = z.timed ? runs : 1;
        std::vector<BenchRow> these;
        for (const BenchArea& area : areas()) area(opt, lib, these);
        if (z.timed) rows.insert(rows.end(), these.begin(), these.end());
        bySize.push_back(std::move(these));
    }

    if (listingCalls()) return 0;
    std::string table =
        "| operation | input | Brindlex (s) | peer or limit | peer (s) | ratio | added peak MiB |\n"
        "|---|---|---|---|---|---|---|\n";
    for (const BenchRow& r : rows) {
        char line[512];
        double ratio = (r.ok && r.peerSeconds > 0) ? r.brindlexSeconds / r.peerSeconds : 0;
        std::snprintf(line, sizeof line, "| %s | %s | %s | %s | %.3f | %s | %.0f |\n", r.operation.c_str(),
                      r.input.c_str(), r.ok ? std::to_string(r.brindlexSeconds).substr(0, 6).c_str() : "failed",
                      r.peer.c_str(), r.peerSeconds, ratio > 0 ? std::to_string(ratio).substr(0, 5).c_str() : "-",
                      r.peakMiB);
        table += line;
    }
    std::string memory;
    if (sizes.size() > 1)
        memory =
            "\nAdded peak resident memory: how far the calls raised their process's peak above what it held "
            "with the library loaded.\n\n" +
            memoryTable(sizes, bySize);
    std::fputs((table + memory).c_str(), stdout);
    if (!markdown.empty()) {
        std::ofstream out(markdown, std::ios::app);
        out << table << memory;
    }
    return 0;
}
