// The machine's own limits on a large file: reading it and copying it.
#include "Bench.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "FileAccess.h"

void benchLimits(const BenchOptions& opt, const std::string& libPath, std::vector<BenchRow>& rows) {
    if (!opt.filter.empty() && std::string("limits").find(opt.filter) == std::string::npos) return;
    const std::string big = opt.dataDir + "limit-768MiB.bin";
    const std::uintmax_t size = 768ull << 20;
    std::error_code ec;
    if (std::filesystem::file_size(big, ec) != size) {
        std::ofstream out(big, std::ios::binary | std::ios::trunc);
        std::vector<char> block(1 << 20);
        for (std::uintmax_t i = 0; i < size; i += block.size()) {
            for (size_t k = 0; k < block.size(); k += 64) block[k] = static_cast<char>(i >> 20 ^ k);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    BenchRow load;
    load.operation = "whole-file pass (fileio::FileWindow blocks)";
    load.input = "768 MiB";
    BenchStep step;
    step.run = [&](HostLibrary&) {
        fileio::FileWindow w;
        if (w.open(big.c_str()) != fileio::Load::Ok) return false;
        std::uint64_t sum = 0;
        const bool ok = fileio::forEachBlock(w, 0, w.size(), 1, [&](const std::uint8_t* p, std::size_t n) {
            for (std::size_t i = 0; i < n; i += 4096) sum += p[i];
            return true;
        });
        return ok && sum != 1;  // keeps the reads
    };
    load.ok = timeInChild(libPath, step, opt.runs, load.brindlexSeconds, load.peakMiB);
    load.peer = "cat > /dev/null";
    load.peerSeconds = timeCommand("cat " + quote(big) + " > /dev/null", opt.runs);
    rows.push_back(load);

    BenchRow copy;
    copy.operation = "cp (limit)";
    copy.input = "768 MiB";
    copy.brindlexSeconds = timeCommand("cp " + quote(big) + " " + quote(opt.scratch + "copy.bin"), opt.runs);
    copy.peer = "cat > /dev/null";
    copy.peerSeconds = load.peerSeconds;
    rows.push_back(copy);
}
