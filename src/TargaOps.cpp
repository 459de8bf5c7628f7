#include "TargaOps.h"

#include <algorithm>
#include <vector>

#include "FileAccess.h"
#include "TiffOps.h"

std::uint32_t readLong_T(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) + 256u * p[1] + 65536u * p[2] + 16777216u * p[3];
}

float convertToTarga(const char *tiffPath, const char *tgaPath) {
    // The first IFD within the first 1000 bytes, with the conversion's
    // checks: a bad BitsPerSample count gives +258; the depth itself is
    // never read.
    tiff::WalkRules rules;
    rules.headerBytes = 1000;
    rules.requiredBits = 0;
    rules.positiveBpsCode = true;
    rules.needBits = false;
    tiff::Directory dir;
    float r = tiff::readTiffHeader(tiffPath, rules, dir);
    if (r != 0.0f) return r;
    if (dir.samples == 0) return tiff::kMissingEntry;
    // The header carries 16-bit dimensions: larger pictures are refused
    // rather than written with a header that does not describe them.
    if (dir.width > kTargaMaxDimension || dir.length > kTargaMaxDimension) return tiff::kTooLarge;
    const std::uint64_t rowLen = static_cast<std::uint64_t>(dir.width) * dir.samples;
    const std::uint64_t rowsLen = rowLen * dir.length;
    // The rows are taken from the end of the file: all of them must be there.
    if (rowsLen > dir.fileSize) return tiff::kRowsPastEnd;

    if (fileio::sameFile(tiffPath, tgaPath)) return targa::kCannotCreate;  // would truncate the TIFF
    fileio::File out = fileio::open(tgaPath, "wb");
    if (!out) return targa::kCannotCreate;
    std::uint8_t header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0};
    fileio::storeLE16(header + 12, static_cast<std::uint16_t>(dir.width));
    fileio::storeLE16(header + 14, static_cast<std::uint16_t>(dir.length));
    fileio::Writer writer(out.get());
    writer.put(header, sizeof header);

    // The TIFF is only read, but the conversion opens it for writing too.
    fileio::File in = fileio::open(tiffPath, "r+b");
    if (!in) {
        bool ok = writer.flush();
        ok = out.close() && ok;
        return ok ? tiff::kCannotReopen : tiff::kIoFailure;
    }
    const long long size = fileio::streamSize(in.get());
    if (size < 0 || rowsLen > static_cast<std::uint64_t>(size)) {
        writer.flush();
        out.close();
        return tiff::kIoFailure;  // the file changed under the conversion
    }
    const std::uint64_t end = static_cast<std::uint64_t>(size);

    // Rows j = 0, 1, ... come from rowLen * (j + 1) bytes before the end:
    // read a block of them at once, then emit them last row first.
    const std::size_t rowsPerBlock =
        rowLen == 0 ? 1 : static_cast<std::size_t>(std::max<std::uint64_t>(1, (std::uint64_t(4) << 20) / rowLen));
    std::vector<std::uint8_t> block;
    std::vector<std::uint8_t> outRow(static_cast<std::size_t>(dir.width) * 3);
    for (std::uint64_t j = 0; j < dir.length;) {
        const std::uint64_t n = std::min<std::uint64_t>(rowsPerBlock, dir.length - j);
        const std::uint64_t from = end - rowLen * (j + n);
        block.resize(static_cast<std::size_t>(rowLen * n));
        if (!block.empty() &&
            (!fileio::seekTo(in.get(), from) || fileio::readSome(in.get(), block.data(), block.size()) != block.size())) {
            writer.flush();
            out.close();
            return tiff::kIoFailure;
        }
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint8_t *src = block.data() + (n - 1 - k) * rowLen;
            std::uint8_t *dst = outRow.data();
            if (dir.samples >= 3) {
                for (std::uint32_t x = 0; x < dir.width; ++x, src += dir.samples, dst += 3) {
                    dst[0] = src[2];
                    dst[1] = src[1];
                    dst[2] = src[0];
                }
            } else {
                // Grey: each sample as blue, green and red.
                for (std::uint32_t x = 0; x < dir.width; ++x, ++src, dst += 3) dst[0] = dst[1] = dst[2] = *src;
            }
            writer.put(outRow.data(), outRow.size());
        }
        j += n;
    }
    bool ok = writer.flush();
    ok = out.close() && ok;
    return ok ? 0.0f : tiff::kIoFailure;
}
