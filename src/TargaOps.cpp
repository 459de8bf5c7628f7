#include "TargaOps.h"

#include <algorithm>
#include <vector>

#include "FileAccess.h"
#include "NewFile.h"
#include "TiffOps.h"
#include "TiffReader.h"

namespace {

// Reads the TIFF's first IFD with the conversion's checks (8-bit unsigned
// samples, 0 black), and sets rowLen to the bytes in one of its rows. A bad
// BitsPerSample count gives +258.
float readSource(const char* tiffPath, tiff::Directory& dir, std::uint64_t& rowLen) {
    tiff::WalkRules rules;
    rules.requiredBits = 8;
    rules.positiveBpsCode = true;
    float r = tiff::readTiffHeader(tiffPath, rules, dir);
    if (r != 0.0f) return r;
    if (dir.samples == 0) return tiff::kMissingEntry;
    if ((r = tiff::checkSamples(dir, 0, tiff::kUnsignedSamples)) != 0.0f || (r = tiff::checkOrientation(dir)) != 0.0f)
        return r;
    // The header carries 16-bit dimensions: larger pictures are refused
    // rather than written with a header that does not describe them.
    if (dir.width > kTargaMaxDimension || dir.length > kTargaMaxDimension) return tiff::kTooLarge;
    rowLen = static_cast<std::uint64_t>(dir.width) * dir.samples;
    if (!tiff::rowsFit(dir, rowLen)) return tiff::kRowsPastEnd;
    return 0.0f;
}

// The 18-byte header: no image ID, no colour map, uncompressed true colour,
// origin 0, 0, the size, 24 bits a pixel, no descriptor bits.
void putHeader(fileio::NewFile& writer, const tiff::Directory& dir) {
    std::uint8_t header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0};
    fileio::storeLE16(header + 12, static_cast<std::uint16_t>(dir.width));
    fileio::storeLE16(header + 14, static_cast<std::uint16_t>(dir.length));
    writer.put(header, sizeof header);
}

// One TIFF row as a Targa row: blue, green, red; grey samples go to all three.
void targaRow(const tiff::Directory& dir, const std::uint8_t* src, std::uint8_t* dst) {
    if (dir.samples >= 3) {
        for (std::uint32_t x = 0; x < dir.width; ++x, src += dir.samples, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    } else {
        for (std::uint32_t x = 0; x < dir.width; ++x, ++src, dst += 3) dst[0] = dst[1] = dst[2] = *src;
    }
}

// Rows j = 0, 1, ... come from rowLen * (j + 1) bytes before the end of
// the strip (at `end`): a block of them is viewed at once, then written
// last row first. False when a read fails.
bool copyRows(fileio::FileWindow& in, std::uint64_t end, const tiff::Directory& dir, std::uint64_t rowLen,
              fileio::NewFile& writer) {
    const std::size_t rowsPerBlock =
        rowLen == 0 ? 1 : static_cast<std::size_t>(std::max<std::uint64_t>(1, fileio::FileWindow::kBlock / rowLen));
    std::vector<std::uint8_t> outRow(static_cast<std::size_t>(dir.width) * 3);
    for (std::uint64_t j = 0; j < dir.length;) {
        const std::uint64_t n = std::min<std::uint64_t>(rowsPerBlock, dir.length - j);
        const std::uint64_t from = end - rowLen * (j + n);
        const std::uint8_t* block = in.view(from, static_cast<std::size_t>(rowLen * n));
        if (!block) return false;
        for (std::uint64_t k = 0; k < n; ++k) {
            targaRow(dir, block + (n - 1 - k) * rowLen, outRow.data());
            writer.put(outRow.data(), outRow.size());
        }
        j += n;
    }
    return true;
}

}  // namespace

float convertToTarga(const char* tiffPath, const char* tgaPath) {
    tiff::Directory dir;
    std::uint64_t rowLen = 0;
    const float r = readSource(tiffPath, dir, rowLen);
    if (r != 0.0f) return r;

    if (fileio::sameFile(tiffPath, tgaPath)) return targa::kCannotCreate;  // would replace the TIFF
    fileio::NewFile out;
    const fileio::Written w = out.begin(tgaPath, fileio::Target::Output);
    if (w != fileio::Written::Ok)
        return fileio::writtenCode(w, targa::kCannotCreate, targa::kCannotCreate, tiff::kIoFailure);
    putHeader(out, dir);

    // The TIFF is only read, but the conversion opens it for writing too;
    // when it cannot be, the Targa path is left as it was.
    if (!fileio::opens(tiffPath, true)) return tiff::kCannotReopen;
    fileio::FileWindow in;
    const std::uint64_t end = dir.stripOffset + rowLen * dir.length;
    if (in.open(tiffPath) != fileio::Load::Ok || end > in.size())
        return tiff::kIoFailure;  // the file changed under the conversion
    if (!copyRows(in, end, dir, rowLen, out)) return tiff::kIoFailure;
    return fileio::writtenCode(out.commit(), tiff::kIoFailure, tiff::kIoFailure, tiff::kIoFailure);
}
