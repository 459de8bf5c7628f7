// Shared helpers for the bench areas: generated inputs (smooth noise plus
// per-pixel detail), written once, and rows that time one export.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>
#include <string>
#include <vector>

#include "Bench.h"
#include "FileAccess.h"

namespace benchinputs {

// Smooth waves plus a hashed per-pixel detail, in [0, 1].
inline float noise(std::uint32_t x, std::uint32_t y, int channel, std::uint32_t seed) {
    std::uint32_t h = x * 374761393u + y * 668265263u + std::uint32_t(channel) * 2246822519u + seed * 3266489917u;
    h = (h ^ (h >> 13)) * 1274126177u;
    const float detail = float(h >> 8 & 0xFFFF) / 65535.0f;
    const float smooth = 0.5f + 0.25f * std::sin(float(x) * 0.0031f + float(channel + seed)) +
                         0.2f * std::cos(float(y) * 0.0047f + float(x) * 0.0011f);
    return std::fmin(1.0f, std::fmax(0.0f, 0.92f * smooth + 0.08f * detail));
}

inline bool wanted(const BenchOptions& opt, const std::string& name) {
    return opt.filter.empty() || name.find(opt.filter) != std::string::npos;
}

inline bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// One plain write of n bytes, as the limits and the inputs are written (not
// through the library's write protocol).
inline bool writeFile(const std::string& path, const void* data, std::size_t n) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool wrote = n == 0 || std::fwrite(data, 1, n, f) == n;
    return (std::fclose(f) == 0) && wrote;
}

inline bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    return writeFile(path, bytes.data(), bytes.size());
}

inline std::string mib(const std::string& path) {
    std::error_code ec;
    const double size = double(std::filesystem::file_size(path, ec)) / 1048576.0;
    return std::to_string(int(size + 0.5)) + " MiB";
}

// What a row does before each run, outside the timing: nothing, or a fresh
// copy of an input that the operation rewrites.
struct Fresh {
    Fresh(std::nullptr_t = nullptr) {}
    Fresh(std::string from, std::string to) : from(std::move(from)), to(std::move(to)) {}
    std::string from, to;
};

// Times export name with (text, value, mem1) after fresh; the peer is a
// shell command, or "-" when the tool is missing. oneCore keeps the child
// on one processor. While calls are listed (listingCalls), the call is
// listed instead and no row is added.
inline void exportRow(const BenchOptions& opt, const std::string& libPath, std::vector<BenchRow>& rows,
                      const std::string& operation, const std::string& input, const std::string& name,
                      const std::string& text, double value, const std::string& mem1, const Fresh& fresh,
                      const std::string& peer, const std::string& peerCommand, float expect = 0.0f,
                      bool anyResult = false, bool oneCore = false) {
    if (!wanted(opt, operation)) return;
    if (listingCalls()) {
        char wantedResult[32];
        std::snprintf(wantedResult, sizeof wantedResult, "%.9g", expect);
        listCall({operation, input, name, text, value, mem1, fresh.from, fresh.to, anyResult ? "any" : wantedResult,
                  peerCommand, oneCore});
        return;
    }
    BenchRow row;
    row.operation = operation;
    row.input = input;
    auto calling = [=](const std::string& m1) {
        BenchStep step;
        if (!fresh.from.empty()) step.prepare = [fresh] { copyFile(fresh.from, fresh.to); };
        step.run = [=](HostLibrary& lib) {
            HostFn fn = lib.bind(name);
            if (!fn) return false;
            std::string m = m1;
            const float r = hostCall(fn, text.c_str(), value, &m, 4096);
            return anyResult ? r > 0 : r == expect;
        };
        step.oneCore = oneCore;
        return step;
    };
    const BenchStep step = calling(mem1);
    row.ok = timeInChild(libPath, step, opt.runs, row.brindlexSeconds, row.peakMiB);
    row.step = std::make_shared<const BenchStep>(step);
    row.writingTo = calling;  // the exports whose output path is mem1
    row.peer = peer;
    if (!peerCommand.empty()) row.peerSeconds = timeCommand(peerCommand, opt.runs);
    rows.push_back(row);
}

// A folder of this run's own on the memory file system, where a write
// reaches no disk; empty where there is none.
inline std::string memoryFolder() {
    const std::string folder = "/dev/shm/brindlex-bench-" + std::to_string(::getpid()) + "/";
    std::error_code ec;
    if (!std::filesystem::is_directory("/dev/shm", ec)) return {};
    std::filesystem::create_directories(folder, ec);
    return ec ? std::string() : folder;
}

// The limit of a durable write beside the last row (when it is
// `operation`): dd writing the bytes of the file the row wrote to a file
// of its own and flushing them to stable storage (conv=fdatasync); for
// several files, dd of each and one flush of the file system at the end
// (sync -f). Where the export's own work outweighs its write (workFirst:
// it converts, encodes or formats more than it writes), the limit first
// does that work: the same export with its output on the memory file
// system, where nothing reaches a disk. The export is timed again beside
// it, the two taking turns in one child, each run from its own fresh copy
// where the row has one and after a flush of the file systems: both find
// the disk idle, so the ratio is the export's against the durable write
// alone, whatever the disk did before. The row, with its everyday limit,
// stays.
inline void durableRow(const BenchOptions& opt, const std::string& libPath, std::vector<BenchRow>& rows,
                       const std::string& operation, const std::vector<std::string>& written,
                       const Fresh& fresh = nullptr, bool workFirst = false) {
    if (listingCalls() || rows.empty() || rows.back().operation != operation || written.empty()) return;
    BenchRow row = rows.back();
    // The work of the export with its output in memory.
    std::string memory;
    BenchStep work;
    if (workFirst) {
        memory = memoryFolder();
        if (memory.empty() || !row.writingTo || written.size() != 1) {
            row.peer = "- (no memory file system to do the work in)";
            row.ok = false;
            rows.push_back(row);
            return;
        }
        work = row.writingTo(memory + std::filesystem::path(written[0]).filename().string());
    }
    // The bytes the export wrote, kept aside, and dd's own names: it writes
    // each file beside the old one and removes the old one once its new
    // bytes are on disk, as the export keeps the file it replaces until
    // then. So both free the old file after the new one has taken its
    // memory: written over the old file, dd would reuse the old file's
    // memory at once, which no replacement that keeps the old file can.
    std::vector<std::string> kept, to, old;
    std::string command;
    for (std::size_t i = 0; i < written.size(); ++i) {
        kept.push_back(opt.scratch + "written" + std::to_string(i) + ".bin");
        copyFile(written[i], kept.back());
        to.push_back(opt.scratch + "durable" + std::to_string(i) + ".bin");
        old.push_back(to.back() + ".old");
        command += (i ? " && " : "") + std::string("dd if=") + quote(kept.back()) + " of=" + quote(to.back()) +
                   " bs=4M status=none" + (written.size() == 1 ? " conv=fdatasync" : "");
    }
    if (written.size() > 1) command += " && sync -f " + quote(opt.scratch);
    BenchStep step;
    // The old file dd replaces: for a rewrite a fresh copy of the file the
    // export rewrites, for an output dd's own output of the previous run,
    // as the export replaces its own.
    const bool rewrite = !fresh.from.empty() && to.size() == 1;
    step.prepare = [fresh, rewrite, to, old, work] {
        for (std::size_t i = 0; i < to.size(); ++i) {
            if (rewrite) {
                copyFile(fresh.from, old[i]);
                ::unlink(to[i].c_str());  // dd's output of the previous run
            } else {
                (void)std::rename(to[i].c_str(), old[i].c_str());  // none before the first run
            }
        }
        if (work.prepare) work.prepare();
    };
    step.run = [command, work, old](HostLibrary& lib) {
        if (work.run && !work.run(lib)) return false;
        if (std::system(command.c_str()) != 0) return false;
        for (const std::string& f : old) ::unlink(f.c_str());  // none before the first run of an output
        return true;
    };
    if (row.step) {
        row.ok = row.ok && timePairInChild(libPath, *row.step, step, opt.runs, row.brindlexSeconds, row.peerSeconds);
    } else {
        double peak = 0;
        row.ok = row.ok && timeInChild(libPath, step, opt.runs, row.peerSeconds, peak);
    }
    row.peer = std::string(workFirst ? "the export into memory, then " : "") +
               (written.size() > 1 ? "dd of each file beside the old one, then sync -f, then the old ones removed"
                                   : "dd conv=fdatasync of the output beside the old file, then the old one removed");
    rows.push_back(row);
    for (const std::string& f : kept) ::unlink(f.c_str());
    for (const std::string& f : to) ::unlink(f.c_str());
    for (const std::string& f : old) ::unlink(f.c_str());
    if (!memory.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(memory, ec);
    }
}

}  // namespace benchinputs
