#include "Demo.h"

#include <cmath>
#include <filesystem>
#include <system_error>

#include "DriverScript.h"
#include "fixtures/Files.h"

namespace fs = std::filesystem;

bool DemoContext::windowsBuild() const {
#if defined(_WIN32)
    return true;
#else
    return false;
#endif
}

float DemoContext::call(const std::string& name, const char* text, double value, std::string* mem1, int mem1Size) {
    std::printf("call %s", name.c_str());
    if (text) std::printf(" --text \"%s\"", text);
    std::printf(" --value %g", value);
    if (mem1) std::printf(" --mem1 \"%s\"", mem1->c_str());
    std::printf("\n");
    HostFn fn = lib_.bind(name);
    if (!fn) {
        std::printf("  (export %s not found)\n", name.c_str());
        ++failures_;
        return 0.0f;
    }
    float r = hostCall(fn, text, value, mem1, mem1Size);
    std::printf("  %s\n", resultLine(name, r).c_str());
    if (mem1) std::printf("  mem1: %s\n", mem1->c_str());
    std::fflush(stdout);
    return r;
}

float DemoContext::call(const std::string& name, const std::string& text, double value, const std::string& mem1In) {
    std::string m = mem1In;
    return call(name, text.c_str(), value, &m);
}

void DemoContext::section(const std::string& title) { std::printf("\n== %s\n", title.c_str()); }

void DemoContext::wrote(const std::string& path) {
    std::error_code ec;
    auto n = fs::file_size(fs::u8path(path), ec);
    if (ec)
        std::printf("  (missing output %s)\n", path.c_str());
    else
        std::printf("  wrote %s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(n));
}

void DemoContext::note(const std::string& text) { std::printf("  %s\n", text.c_str()); }

void DemoContext::expect(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("  UNEXPECTED: %s\n", what.c_str());
        ++failures_;
    }
}

int runDemo(HostLibrary& lib, const std::string& dirIn) {
    std::string dir = dirIn;
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
    if (!makeFolders(dir)) {
        std::fprintf(stderr, "brindlex: cannot create %s\n", dir.c_str());
        return 1;
    }
    std::printf("library: %s\ndemo folder: %s\n", lib.path().c_str(), dir.c_str());
    DemoContext ctx(lib, dir);
    demoFrame(ctx);
    demoUVTiles(ctx);
    demoMeshExport(ctx);
    demoTiff(ctx);
    demoPsdBmp(ctx);
    demoTargaJpeg(ctx);
    demoFiles(ctx);
    std::printf("\ndemo finished: %d unexpected result(s)\n", ctx.failures());
    return ctx.failures();
}

double demoSin(double x) {
    constexpr double kTwoPi = 6.283185307179586476925;
    // Into [-pi, pi], then the series to x^21: within 1e-10 of sin there.
    x -= kTwoPi * std::floor(x / kTwoPi + 0.5);
    const double x2 = x * x;
    double term = x, sum = x;
    for (int k = 1; k <= 10; ++k) {
        term *= -x2 / ((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}

double demoCos(double x) { return demoSin(x + 1.570796326794896619231); }
