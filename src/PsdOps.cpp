#include "PsdOps.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "FileAccess.h"

std::vector<std::uint8_t> _img;
std::int32_t _offst = 0;
PSDHeader _fHeader;

int readShort(std::int64_t position) {
    if (position < 0 || static_cast<std::uint64_t>(position) + 2 > _img.size()) return 0;
    return static_cast<std::int16_t>(fileio::loadBE16(_img.data() + position));
}

std::uint32_t readLong(std::int64_t position) {
    if (position < 0 || static_cast<std::uint64_t>(position) + 4 > _img.size()) return 0;
    return fileio::loadBE32(_img.data() + position);
}

void writeShort(std::int64_t position, int value) {
    if (position < 0 || static_cast<std::uint64_t>(position) + 2 > _img.size()) return;
    fileio::storeBE16(_img.data() + position, static_cast<std::uint16_t>(value));
}

void writeLong(std::int64_t position, std::uint32_t value) {
    if (position < 0 || static_cast<std::uint64_t>(position) + 4 > _img.size()) return;
    fileio::storeBE32(_img.data() + position, value);
}

float readPSDHeader() {
    using namespace psd;
    _offst = 0;
    const std::uint64_t size = _img.size();
    if (size < 4 || std::memcmp(_img.data(), "8BPS", 4) != 0) return kBadSignature;
    _fHeader.signature = fileio::loadBE32(_img.data());
    if (size < 6) return kShortHeader;
    _fHeader.version = static_cast<std::uint16_t>(readShort(4));
    if (_fHeader.version != 1) return kBadVersion;
    if (size < 34) return kShortHeader;
    _fHeader.channels = static_cast<std::uint16_t>(readShort(12));
    _fHeader.rows = readLong(14);
    _fHeader.columns = readLong(18);
    _fHeader.depth = static_cast<std::uint16_t>(readShort(22));
    _fHeader.colourMode = static_cast<std::uint16_t>(readShort(24));
    _fHeader.colourDataLength = readLong(26);
    if (_fHeader.colourDataLength != 0) return kColourData;
    _fHeader.resourcesLength = readLong(30);
    // Section lengths are 32-bit: their sums are formed in 64 bits.
    std::uint64_t at = std::uint64_t(_fHeader.resourcesLength) + 34;
    if (at + 4 > size) return kShortHeader;
    _fHeader.layersLength = readLong(static_cast<std::int64_t>(at));
    at += 4 + std::uint64_t(_fHeader.layersLength);
    if (at + 2 > size || at + 2 > std::uint64_t(std::numeric_limits<std::int32_t>::max())) return kShortHeader;
    _offst = static_cast<std::int32_t>(at);
    _fHeader.compression = static_cast<std::uint16_t>(readShort(_offst));
    if (_fHeader.compression != 0) return kCompressed;
    _offst += 2;
    return 0.0f;
}

bool psdPlanesFit(std::int64_t offset, std::uint32_t rows, std::uint32_t columns, int planes, int bytesPerSample,
                  std::size_t size) {
    if (offset < 0 || static_cast<std::uint64_t>(offset) > size) return false;
    // rows and columns are below 2^32 each, so the plane size fits in 64
    // bits; the whole product is checked against the bytes left by division.
    std::uint64_t plane = std::uint64_t(rows) * columns;
    std::uint64_t left = size - static_cast<std::uint64_t>(offset);
    std::uint64_t per = std::uint64_t(planes) * std::uint64_t(bytesPerSample);
    return per == 0 || plane <= left / per;
}

namespace {

float loadPsd(const char* path) {
    if (fileio::loadFile(path, _img) != fileio::Load::Ok) {
        _img.clear();
        return psd::kBadSignature;  // cannot be opened (or read) for reading
    }
    return readPSDHeader();
}

float rewriteOrFail(const char* path, const std::vector<std::uint8_t>& data, std::size_t n) {
    return fileio::replaceFile(path, data.data(), n) == fileio::Rewrite::Ok ? 0.0f : psd::kCannotWrite;
}

}  // namespace

float mergePSD(const char* a, const char* b) {
    using namespace psd;
    if (fileio::sameFile(a, b)) return kCannotWrite;
    float r = loadPsd(b);
    if (r != 0.0f) return r;
    // B's bytes become the working copy; _img is then refilled with A's.
    std::vector<std::uint8_t> work;
    work.swap(_img);
    const std::uint32_t rowsB = _fHeader.rows, columnsB = _fHeader.columns;
    const std::int32_t offB = _offst;
    const std::int64_t kindB = std::int64_t(_fHeader.depth) * _fHeader.colourMode;  // 16 bits x 16 bits

    r = loadPsd(a);
    if (r != 0.0f) return r;
    if (_fHeader.rows != rowsB || _fHeader.columns != columnsB) return kSizesDiffer;
    const std::int64_t kind = std::int64_t(_fHeader.depth) * _fHeader.colourMode;
    // B must be of the same kind: A's samples written into planes of
    // another layout would scramble B.
    if ((kind != 16 && kind != 24) || kindB != kind) return kUnsupportedKind;
    if (_offst != offB) return kHeadersDiffer;
    const int planes = kind == 16 ? 1 : 3;
    const int sample = kind == 16 ? 2 : 1;
    if (!psdPlanesFit(_offst, rowsB, columnsB, planes, sample, _img.size()) ||
        !psdPlanesFit(offB, rowsB, columnsB, planes, sample, work.size()))
        return kShortData;

    const std::size_t n = std::size_t(rowsB) * columnsB;
    const std::uint8_t* src = _img.data() + _offst;
    std::uint8_t* dst = work.data() + offB;
    if (n > 0) {
        if (kind == 16) {
            const std::uint8_t k0 = dst[0], k1 = dst[1];
            for (std::size_t i = 0; i < 2 * n; i += 2)
                if (src[i] != k0 || src[i + 1] != k1) {
                    dst[i] = src[i];
                    dst[i + 1] = src[i + 1];
                }
        } else {
            const std::uint8_t k0 = dst[0], k1 = dst[n], k2 = dst[2 * n];
            const std::uint8_t *s0 = src, *s1 = src + n, *s2 = src + 2 * n;
            std::uint8_t *d0 = dst, *d1 = dst + n, *d2 = dst + 2 * n;
            for (std::size_t i = 0; i < n; ++i)
                if (s0[i] != k0 || s1[i] != k1 || s2[i] != k2) {
                    d0[i] = s0[i];
                    d1[i] = s1[i];
                    d2[i] = s2[i];
                }
        }
    }
    return rewriteOrFail(b, work, work.size());
}

float swapChannelsPSD(const char* path, int mode) {
    using namespace psd;
    // The whole file is loaded, so a header of any length is written back
    // as it was read.
    float r = loadPsd(path);
    if (r != 0.0f) return r;
    if (std::int64_t(_fHeader.depth) * _fHeader.channels != 24) return kNotRgb8;
    if (!psdPlanesFit(_offst, _fHeader.rows, _fHeader.columns, 3, 1, _img.size())) return kShortData;
    if (mode < 1 || mode > 3) return 0.0f;  // mode 0: the map is left alone

    const std::size_t n = std::size_t(_fHeader.rows) * _fHeader.columns;
    std::uint8_t* p1 = _img.data() + _offst;
    std::uint8_t* end = p1 + 3 * n;
    if (mode == 1)
        std::swap_ranges(p1 + n, p1 + 2 * n, p1 + 2 * n);  // P1 P3 P2
    else if (mode == 2)
        std::rotate(p1, p1 + 2 * n, end);  // P3 P1 P2
    else
        std::rotate(p1, p1 + n, end);  // P2 P3 P1
    // Whatever followed the third plane is not written back.
    return rewriteOrFail(path, _img, static_cast<std::size_t>(_offst) + 3 * n);
}
