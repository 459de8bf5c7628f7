// The export table. Each export checks its arguments as the host contract
// says, then makes one call into the worker of its module, inside the guard
// that keeps every exception in the library.
#include "Brindlex.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "BmpOps.h"
#include "FileAccess.h"
#include "FileOps.h"
#include "JpegOps.h"
#include "MeskOps.h"
#include "PsdOps.h"
#include "TargaOps.h"
#include "TiffOps.h"

using hostcall::guard;
using hostcall::kRefused;

// ---------------------------------------------------------------------------
// Argument decoding, written once for every export.

namespace hostcall {

int truncInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(value);  // truncates toward zero
}

int clampMode(double value) {
    int m = truncInt(value);
    if (m < 0) return 0;
    if (m > 3) return 3;
    return m;
}

bool strictMode(double value, int &mode) {
    if (!(value > 0.0 && value < 4.0)) return false;  // NaN fails too
    mode = static_cast<int>(value);
    return true;
}

int jpegScale(double value) {
    if (value >= 0.0 && value <= 100.0) return static_cast<int>(value);
    return 50;
}

int listMode(double value) {
    int m = truncInt(value);
    return (m == 1 || m == 2 || m == 3) ? m : 3;
}

bool isOneOf(double value, std::initializer_list<int> accepted) {
    for (int a : accepted)
        if (value == static_cast<double>(a)) return true;
    return false;
}

bool putMem1(char *mem1, int mem1Size, std::string_view s) {
    if (!mem1 || mem1Size <= 0) return false;
    if (s.size() >= static_cast<size_t>(mem1Size)) return false;
    if (!s.empty()) std::memcpy(mem1, s.data(), s.size());
    mem1[s.size()] = '\0';
    return true;
}

float deliver(float result, const std::optional<std::string> &out, char *mem1, int mem1Size) {
    if (out && !putMem1(mem1, mem1Size, *out)) return kMem1TooSmall;
    return result;
}

}  // namespace hostcall

// ---------------------------------------------------------------------------
// Host version check.

float checkVersionFile(const char *path) {
    if (!path) return 0.0f;
    fileio::File f = fileio::open(path, "rb");
    if (!f) return -17.0f;
    // The mark is looked for in exactly 100 bytes; a short file is padded
    // with copies of its last byte (an empty one with zeros).
    unsigned char buf[100];
    size_t got = fileio::readSome(f.get(), buf, sizeof buf);
    unsigned char fill = got ? buf[got - 1] : 0;
    for (size_t i = got; i < sizeof buf; ++i) buf[i] = fill;
    bool year = false, release = false;
    for (size_t j = 0; j <= 96; ++j) {
        if (std::memcmp(buf + j, "2009", 4) == 0) year = true;
        if (buf[j] == '4') release = true;
        if (std::memcmp(buf + j, "BETA", 4) == 0) release = true;
    }
    return (year && release) ? -1.0f : 0.0f;
}

#if !BRINDLEX_WINDOWS
void Brindlex::HelloWorld(const char *s) {
    BrindlexPriv priv;
    priv.HelloWorldPriv(s);
}

void BrindlexPriv::HelloWorldPriv(const char *s) {
    std::fputs(s ? s : "", stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

char *get_substr(char *s, int n) { return s + n; }
#endif

// ---------------------------------------------------------------------------
// Small exports.

BRINDLEX_EXPORT float Version(BRINDLEX_HOST_ARGS) { return 48.0f; }

#if BRINDLEX_WINDOWS
BRINDLEX_EXPORT float SendKey(BRINDLEX_HOST_ARGS) { return 0.0f; }

BRINDLEX_EXPORT float checkKelvaneVersion(BRINDLEX_HOST_ARGS) {
    return guard([&] { return checkVersionFile(text); });
}
#else
BRINDLEX_EXPORT float GetString(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return -1.0f;
        size_t n = (value >= 0.0 && value <= 10.0) ? static_cast<size_t>(value) : 5;
        size_t len = std::strlen(text);
        std::string_view rest = n <= len ? std::string_view(text + n, len - n) : std::string_view();
        return hostcall::deliver(0.0f, std::string(rest), mem1, mem1Size);
    });
}
#endif

// ---------------------------------------------------------------------------
// Meshes: UV tiles, polygroups, per-tile extraction.

// ---------------------------------------------------------------------------
// Mesh export: face IDs, OBJ, vertex colours, creases.

// ---------------------------------------------------------------------------
// TIFF maps and the EXR range.

BRINDLEX_EXPORT float convertTIFF16(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1 || !hostcall::isOneOf(value, {1, 3, 4})) return kRefused;
        // PSD when the extension holds "psd" or "PSD" (not "Psd").
        const std::string ext = FileNameExtract(mem1, 4);
        const bool psd = ext.find("psd") != std::string::npos || ext.find("PSD") != std::string::npos;
        return convertTiff(text, mem1, static_cast<int>(value), psd);
    });
}

BRINDLEX_EXPORT float convertTIFFSingle(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return -1.0f;
        return singleChannelTiff(text, mem1);
    });
}

BRINDLEX_EXPORT float getScale(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !hostcall::isOneOf(value, {1, 3})) return kRefused;
        return getScaleTiff(text, static_cast<int>(value));
    });
}

BRINDLEX_EXPORT float mergeMapsTIF(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return kRefused;
        return mergeTiff(text, mem1);
    });
}

BRINDLEX_EXPORT float swapRGBTIF(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        int mode = 0;
        if (!text || !hostcall::strictMode(value, mode)) return kRefused;
        return swapChannels(text, mode);
    });
}

#if BRINDLEX_WINDOWS
BRINDLEX_EXPORT float getScale16(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !hostcall::isOneOf(value, {1, 3})) return kRefused;
        return getScale16Tiff(text, static_cast<int>(value));
    });
}

BRINDLEX_EXPORT float mergeMapsTIFHack(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return kRefused;
        return mergeTiffHack(text, mem1);
    });
}
#else
BRINDLEX_EXPORT float OpenEXR(BRINDLEX_HOST_ARGS) {
    return guard([&] { return openExrRange(text); });
}
#endif

// ---------------------------------------------------------------------------
// PSD maps.

// ---------------------------------------------------------------------------
// BMP maps and thumbnails.

// ---------------------------------------------------------------------------
// Targa and JPEG output.

// ---------------------------------------------------------------------------
// File and folder services.
