// Writes the seed inputs of every fuzz target into DIR/<kind>/, made by the
// same builders as the tests' fixtures.
#include <cstdio>
#include <string>

#include "demo/Demo.h"

namespace {

void seed(const std::string &dir, const std::string &kind, const std::string &name,
          const std::vector<unsigned char> &bytes) {
    makeFolders(dir + kind);
    writeBytes(dir + kind + "/" + name, bytes);
}

std::vector<unsigned char> text(const std::string &s) { return std::vector<unsigned char>(s.begin(), s.end()); }

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    if (dir.back() != '/') dir += '/';
    seed(dir, "version", "release", text("Version 4.0 2009\r\n"));
    seed(dir, "version", "beta", text("2009 BETA"));
    seed(dir, "version", "short", text("200"));
    return 0;
}
