// The export table. Each export checks its arguments as the host contract
// says, then makes one call into the worker of its module, inside the guard
// that keeps every exception in the library.
#include "Brindlex.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "BmpOps.h"
#if !BRINDLEX_WINDOWS
#include "ExrRange.h"
#endif
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

bool strictMode(double value, int& mode) {
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

float deliver(float result, const std::optional<std::string>& out, char* mem1, int mem1Size) {
    if (out && !putMem1(mem1, mem1Size, *out)) return kMem1TooSmall;
    return result;
}

}  // namespace hostcall

// ---------------------------------------------------------------------------
// Host version check.

float checkVersionFile(const char* path) {
    if (!path) return 0.0f;
    fileio::FileWindow f;
    if (f.open(path) != fileio::Load::Ok) return kVersionFileCannotOpen;
    // The mark is looked for in exactly 100 bytes; a short file is padded
    // with copies of its last byte (an empty one with zeros).
    unsigned char buf[100];
    size_t got = f.readSome(0, buf, sizeof buf);
    unsigned char fill = got ? buf[got - 1] : 0;
    for (size_t i = got; i < sizeof buf; ++i) buf[i] = fill;
    bool year = false, release = false;
    for (size_t j = 0; j <= 96; ++j) {
        if (std::memcmp(buf + j, "2009", 4) == 0) year = true;
        if (buf[j] == '4') release = true;
        if (std::memcmp(buf + j, "BETA", 4) == 0) release = true;
    }
    return (year && release) ? kVersionMarksFound : 0.0f;
}

#if !BRINDLEX_WINDOWS
void Brindlex::HelloWorld(const char* s) {
    BrindlexPriv priv;
    priv.HelloWorldPriv(s);
}

void BrindlexPriv::HelloWorldPriv(const char* s) {
    std::fputs(s ? s : "", stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

char* get_substr(char* s, int n) { return s + n; }
#endif

// ---------------------------------------------------------------------------
// Small exports.

BRINDLEX_EXPORT float Version(BRINDLEX_HOST_ARGS) { return kVersionNumber; }

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

BRINDLEX_EXPORT float getUVTile(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    const int mode = hostcall::clampMode(value);
    return guard([&] {
        std::optional<std::string> last;
        float r = GetUVTile(text, last, mode);
        return hostcall::deliver(r, last, mem1, mem1Size);
    });
}

BRINDLEX_EXPORT float getUVString(BRINDLEX_HOST_ARGS) {
    const int index = hostcall::truncInt(value);
    return guard([&] {
        std::optional<std::string> name;
        getUVTileString(index, name);
        if (!mem1) return 0.0f;
        return hostcall::deliver(0.0f, name, mem1, mem1Size);
    });
}

BRINDLEX_EXPORT float clearUVString(BRINDLEX_HOST_ARGS) {
    clearUVTileString();
    return 0.0f;
}

BRINDLEX_EXPORT float setUVtilesOutput(BRINDLEX_HOST_ARGS) {
    if (!text) return kRefused;
    return guard([&] { return setUVtilesOut(text); });
}

BRINDLEX_EXPORT float clearUVtilesOutput(BRINDLEX_HOST_ARGS) {
    clearUVtilesOut();
    return 0.0f;
}

BRINDLEX_EXPORT float getUVs(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    const int mode = hostcall::clampMode(value);
    return guard([&] { return GetUVsFromMesk(text, mem1, mode); });
}

BRINDLEX_EXPORT float getUVsMask(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    const int mode = hostcall::clampMode(value);
    return guard([&] { return GetUVsFromMeskMASK(text, mem1, mode); });
}

BRINDLEX_EXPORT float getUVGroups(BRINDLEX_HOST_ARGS) {
    if (!text) return kRefused;
    return guard([&] { return GetUVGroup(text); });
}

// ---------------------------------------------------------------------------
// Mesh export: face IDs, OBJ, vertex colours, creases.

#if BRINDLEX_WINDOWS
BRINDLEX_EXPORT float getFaceIDs(BRINDLEX_HOST_ARGS) {
    return guard([&] { return text ? GetFaceIDsMesk(text, value) : kRefused; });
}

BRINDLEX_EXPORT float mesktoOBJ(BRINDLEX_HOST_ARGS) {
    return guard([&] { return (text && mem1) ? writeOBJfromMesk(text, mem1) : kRefused; });
}

BRINDLEX_EXPORT float outMRGB(BRINDLEX_HOST_ARGS) {
    return guard([&] { return (text && mem1) ? ReadVertColorMesk(text, mem1) : kRefused; });
}
#endif

BRINDLEX_EXPORT float mergeCrease(BRINDLEX_HOST_ARGS) {
    return guard([&] { return (text && mem1) ? mergeFiles(text, mem1) : kRefused; });
}

// ---------------------------------------------------------------------------
// TIFF maps and the EXR range.

BRINDLEX_EXPORT float convertTIFF16(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1 || !hostcall::isOneOf(value, {1, 3, 4})) return kRefused;
        return convertTiff(text, mem1, static_cast<int>(value));
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

BRINDLEX_EXPORT float mergeMapsPSD(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    return guard([&] { return mergePSD(text, mem1); });
}

BRINDLEX_EXPORT float swapRGBPSD(BRINDLEX_HOST_ARGS) {
    int mode = 0;
    if (!text || !hostcall::strictMode(value, mode)) return kRefused;
    return guard([&] { return swapChannelsPSD(text, mode); });
}

// ---------------------------------------------------------------------------
// BMP maps and thumbnails.

BRINDLEX_EXPORT float mergeMapsBMP(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    return guard([&] { return mergeBMP(text, mem1); });
}

BRINDLEX_EXPORT float swapRGBBMP(BRINDLEX_HOST_ARGS) {
    int mode = 0;
    if (!text || !hostcall::strictMode(value, mode)) return kRefused;
    return guard([&] { return swapChannelsBMP(text, mode); });
}

BRINDLEX_EXPORT float CreateThumbnailBMP(BRINDLEX_HOST_ARGS) {
    if (!text) return kRefused;
    return guard([&] { return createBMPthumb(text, hostcall::truncInt(value)); });
}

#if BRINDLEX_WINDOWS
BRINDLEX_EXPORT float CreateThumbnail(BRINDLEX_HOST_ARGS) {
    if (!text) return kRefused;
    return guard([&] { return createThumb(text, hostcall::truncInt(value)); });
}
#endif

// ---------------------------------------------------------------------------
// Targa and JPEG output.

BRINDLEX_EXPORT float saveAsTarga(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    return guard([&] { return convertToTarga(text, mem1); });
}

BRINDLEX_EXPORT float saveAsJpeg(BRINDLEX_HOST_ARGS) {
    if (!text || !mem1) return kRefused;
    const int scale = hostcall::jpegScale(value);
    return guard([&] { return convertToJPEG(text, mem1, scale); });
}

// ---------------------------------------------------------------------------
// File and folder services.
//
// Both builds: CheckFolder, CloseFolder, CreateFolder, EmptyFolder,
// FileCopyTo, FileDelete, FileRename, GetFile, GetPublicFolder, OpenFolder.
// Windows only: CountFiles, DeleteFolder, GetFileNumber, GetFilePath (under
// its decorated name, see Brindlex.def), ListFiles, MakeFolder.

BRINDLEX_EXPORT float CloseFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] { return closeFolder(); });
}

BRINDLEX_EXPORT float FileCopyTo(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return -1.0f;
        return fileCopyTo(text, mem1);
    });
}

BRINDLEX_EXPORT float FileDelete(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return fileDelete(text);
    });
}

BRINDLEX_EXPORT float FileRename(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return -1.0f;
        return fileRename(text, mem1);
    });
}

BRINDLEX_EXPORT float CreateFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return createFolder(text);
    });
}

BRINDLEX_EXPORT float GetPublicFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!mem1) return kRefused;
        return getPublicFolder(mem1, mem1Size);
    });
}

#if BRINDLEX_WINDOWS
BRINDLEX_EXPORT float CheckFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -2.0f;
        return checkFolder(text);
    });
}

BRINDLEX_EXPORT float OpenFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        fileListCount();  // always at least 1: nothing to report
        return 0.0f;
    });
}

BRINDLEX_EXPORT float GetFileNumber(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -5.0f;
        return getFileNumber(text);
    });
}

BRINDLEX_EXPORT float GetFile(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!mem1) return -3.0f;
        return getFile(mem1, mem1Size);
    });
}

// Exported as ?GetFilePath@@YAMPEADN0H0HPEAPEAD@Z (Brindlex.def).
BRINDLEX_EXPORT float GetFilePathExport(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!mem1) return -1.0f;
        return getFilePath(hostcall::truncInt(value), mem1, mem1Size);
    });
}

BRINDLEX_EXPORT float CountFiles(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -5.0f;
        return countFiles(text, hostcall::listMode(value));
    });
}

BRINDLEX_EXPORT float ListFiles(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text || !mem1) return -5.0f;
        return listFiles(text, hostcall::listMode(value), mem1, mem1Size);
    });
}

BRINDLEX_EXPORT float MakeFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return makeFolder(text);
    });
}

BRINDLEX_EXPORT float DeleteFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return deleteFolder(text);
    });
}

BRINDLEX_EXPORT float EmptyFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -5.0f;
        return emptyFolder(text);
    });
}
#else
BRINDLEX_EXPORT float CheckFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return checkFolder(text);
    });
}

BRINDLEX_EXPORT float OpenFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return openFolder(text);
    });
}

BRINDLEX_EXPORT float GetFile(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!mem1) return kRefused;
        return getFile(mem1, mem1Size);
    });
}

BRINDLEX_EXPORT float EmptyFolder(BRINDLEX_HOST_ARGS) {
    return guard([&] {
        if (!text) return -1.0f;
        return emptyFolder(text);
    });
}
#endif
