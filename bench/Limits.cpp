// The machine's own limits on a large file: reading it and copying it.
#include "Bench.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "FileAccess.h"

void benchLimits(const BenchOptions &opt, const std::string &libPath, std::vector<BenchRow> &rows) {
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
    load.operation = "whole-file load (fileio::loadFile)";
    load.input = "768 MiB";
    BenchStep step;
    step.run = [&](HostLibrary &) {
        std::vector<std::uint8_t> v;
        return fileio::loadFile(big.c_str(), v) == fileio::Load::Ok;
    };
    load.ok = timeInChild(libPath, step, opt.runs, load.brindlexSeconds, load.peakMiB);
    load.peer = "cat > /dev/null";
    load.peerSeconds = timeCommand("cat " + quote(big) + " > /dev/null", opt.runs);
    rows.push_back(load);

    BenchRow mapped;
    mapped.operation = "whole-file map and read (fileio::MappedFile)";
    mapped.input = "768 MiB";
    BenchStep mstep;
    mstep.run = [&](HostLibrary &) {
        fileio::MappedFile m;
        if (m.open(big.c_str()) != fileio::Load::Ok) return false;
        std::uint64_t sum = 0;
        for (size_t i = 0; i < m.size(); i += 4096) sum += m.data()[i];
        return sum != 1;  // keeps the reads
    };
    mapped.ok = timeInChild(libPath, mstep, opt.runs, mapped.brindlexSeconds, mapped.peakMiB);
    mapped.peer = "cat > /dev/null";
    mapped.peerSeconds = load.peerSeconds;
    rows.push_back(mapped);

    BenchRow copy;
    copy.operation = "cp (limit)";
    copy.input = "768 MiB";
    copy.brindlexSeconds = timeCommand("cp " + quote(big) + " " + quote(opt.scratch + "copy.bin"), opt.runs);
    copy.peer = "cat > /dev/null";
    copy.peerSeconds = load.peerSeconds;
    rows.push_back(copy);
}
