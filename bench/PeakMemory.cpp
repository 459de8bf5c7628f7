// brindlex_peak: how much one export call raises the peak resident memory
// of a fresh process, in either build (the Windows one under Wine too).
//
//   brindlex_peak make psd|bmp SIDE SEED PATH
//       writes a SIDE x SIDE 8-bit RGB map of noise (the seed picks it)
//   brindlex_peak make mesh|quads|faces|colours|coarse CELLS PATH
//       writes a mesh of 10 UV tiles of CELLS² faces: with its UVs and
//       polygroups (mesh), as vertex, colour and quad face chunks (quads),
//       or the faces or colours alone (the chunk at 32); coarse is a
//       quarter of the faces, whose face IDs at level 1 group the quads
//   brindlex_peak call EXPORT TEXT VALUE [MEM1] [-- EXPORT TEXT VALUE [MEM1]]...
//       loads the library beside the program as the host does, makes the
//       calls in order and prints the last one's result and the process's
//       peak resident MiB before and after it (PeakWorkingSetSize on
//       Windows, ru_maxrss elsewhere); the calls before it set state, such
//       as the face-ID table the OBJ export needs
//
// Run each call in its own process and compare sizes: what one call adds is
// after - before, and the growth between two sizes is the difference of that.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FileAccess.h"
#include "HostLibrary.h"
#include "PeakMiB.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/Files.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"

namespace {

fixtures::Picture noise(int side, std::uint32_t seed) {
    fixtures::Picture pic(side, side);
    std::uint32_t h = seed * 2654435761u + 1;
    for (fixtures::Rgb& p : pic.px) {
        h = h * 1664525u + 1013904223u;
        // Few values, so that merges find the key colour now and then.
        p = {std::uint8_t(h >> 30 << 6), std::uint8_t(h >> 28 << 6), std::uint8_t(h >> 26 << 6)};
    }
    return pic;
}

int usage() {
    std::fprintf(stderr,
                 "usage: brindlex_peak make psd|bmp SIDE SEED PATH\n"
                 "       brindlex_peak make mesh|quads|faces|colours|coarse CELLS PATH\n"
                 "       brindlex_peak call EXPORT TEXT VALUE [MEM1] [-- EXPORT TEXT VALUE [MEM1]]...\n");
    return 2;
}

std::vector<std::uint8_t> mesk(const std::string& kind, int cells) {
    GridMesh g = gridMesh(5, 2, cells, 12);
    if (kind == "mesh") return g.build().bytes();
    for (auto& q : g.faces)
        if (q[3] < 0) q[3] = q[2] - 1;  // the cell's fourth corner
    MeskBuilder m;
    if (kind == "quads") m.vertices(g.vertices).colours(g.colours).faces(g.faces);
    if (kind == "faces") m.faces(g.faces);
    if (kind == "colours") m.colours(g.colours);
    if (kind == "coarse") m.faces({g.faces.begin(), g.faces.begin() + std::ptrdiff_t(g.faces.size() / 4)});
    return m.endBlock().bytes();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string cmd = argv[1];
    if (cmd == "make" && argc == 5) {
        const std::vector<std::uint8_t> bytes = mesk(argv[2], std::atoi(argv[3]));
        return writeBytes(argv[4], bytes) ? 0 : 1;
    }
    if (cmd == "make" && argc == 6) {
        const std::string kind = argv[2];
        const fixtures::Picture pic = noise(std::atoi(argv[3]), std::uint32_t(std::atoi(argv[4])));
        const std::vector<std::uint8_t> bytes = kind == "psd" ? fixtures::makePsdRgb(pic) : fixtures::makeBmp(pic);
        return writeBytes(argv[5], bytes) ? 0 : 1;
    }
    if (cmd == "call" && argc >= 5) {
        HostLibrary lib;
        std::string err;
        if (!lib.load(HostLibrary::besideProgram(), err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 1;
        }
        for (int i = 2; i < argc;) {
            int end = i;
            while (end < argc && std::string(argv[end]) != "--") ++end;
            if (end - i != 3 && end - i != 4) return usage();
            const HostFn fn = lib.bind(argv[i]);
            if (!fn) {
                std::fprintf(stderr, "no export %s\n", argv[i]);
                return 1;
            }
            std::string mem1 = end - i == 4 ? argv[i + 3] : "";
            const double before = peakMiB();
            const float r = hostCall(fn, argv[i + 1], std::atof(argv[i + 2]), end - i == 4 ? &mem1 : nullptr);
            const double after = peakMiB();
            if (end == argc)
                std::printf("%s result %g, peak MiB before %.1f, after %.1f, added %.1f\n", argv[i], double(r), before,
                            after, after - before);
            i = end + 1;
        }
        return 0;
    }
    return usage();
}
