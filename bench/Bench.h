// The benchmark harness: each operation runs in a child process (so its
// peak memory is its own), warm-up first, then the median of several runs,
// side by side with a peer tool or a machine limit on the same input.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HostLibrary.h"

// One timed step. prepare runs before every run, outside the timing (a
// fresh copy of an input that the operation rewrites); run is timed.
struct BenchStep {
    std::function<void()> prepare;
    std::function<bool(HostLibrary&)> run;
    bool oneCore = false;  // the child may run on one processor only
};

struct BenchRow {
    std::string operation, input;
    double brindlexSeconds = 0, peerSeconds = 0;
    std::string peer;
    double peakMiB = 0;  // what the calls added to the process's peak resident memory
    bool ok = true;
    std::shared_ptr<const BenchStep> step;  // what brindlexSeconds timed, where it can be run again
    // The same step writing its one output at another path, where the row
    // can say which argument is the output.
    std::function<BenchStep(const std::string& output)> writingTo;
};

struct BenchOptions {
    int runs = 5;
    std::string dataDir;  // generated inputs, with trailing separator
    std::string scratch;  // per-run copies and outputs
    // The input size: maps of side², meshes of 10 tiles of cells² faces.
    int side = 4096, cells = 316;
    std::string faces = "1 M faces";
    std::string filter;  // run only operations whose name contains it
};

// Times step in a child process: median seconds, and how far the runs
// raised the child's peak resident memory above what it held once the
// library was loaded, in MiB. ok is false when a run reported failure.
bool timeInChild(const std::string& libPath, const BenchStep& step, int runs, double& median, double& peakMiB);

// Times a and b in one child, taking turns (b first in every other run),
// each run after its own prepare
// and a flush of every file system (not timed), so that both find the disk
// idle and neither pays for what the other left to it: the medians of each.
bool timePairInChild(const std::string& libPath, const BenchStep& a, const BenchStep& b, int runs, double& medianA,
                     double& medianB);

// One export row's call as brindlex_calls reads it (make bench-windows): a
// line of tab-separated fields in this order.
struct ExportCall {
    std::string operation, input, name, text;
    double value = 0;
    std::string mem1, freshFrom, freshTo;  // freshFrom copied to freshTo before each run
    std::string expect;                    // the result wanted, or "any" for any above 0
    std::string peer;                      // the peer or limit command, if any
    bool oneCore = false;
};
// From listCallsTo(file) on, the export rows append their calls to file
// and nothing is timed: timeInChild and timeCommand return at once.
void listCallsTo(const std::string& file);
bool listingCalls();
void listCall(const ExportCall& call);

// Times a shell command: median seconds over runs after one warm-up.
double timeCommand(const std::string& command, int runs);
// True when a command is on the PATH.
bool haveTool(const std::string& name);
// Copies a file (for the prepare steps).
bool copyFile(const std::string& from, const std::string& to);
// Shell-quotes a path.
std::string quote(const std::string& s);

// Each area adds its inputs and rows.
using BenchArea = std::function<void(const BenchOptions&, const std::string& libPath, std::vector<BenchRow>&)>;
void benchLimits(const BenchOptions&, const std::string& libPath, std::vector<BenchRow>& rows);
void benchMaps(const BenchOptions&, const std::string& libPath, std::vector<BenchRow>& rows);
void benchMeshes(const BenchOptions&, const std::string& libPath, std::vector<BenchRow>& rows);
