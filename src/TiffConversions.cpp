// The conversions to a new file: convertTIFF16, a float map's samples as
// 16-bit levels in a TIFF or PSD, and convertTIFFSingle, the first channel
// of a float RGB map as a grey float map.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FileOps.h"
#include "NewFile.h"
#include "PsdOps.h"
#include "TiffInternal.h"
#include "TiffKernels.h"
#include "TiffOps.h"
#include "TiffReader.h"

namespace tiff {

namespace {

// The source of a conversion: a map of 32-bit samples.
float readFloatSource(const char* source, Directory& d) {
    WalkRules rules;
    rules.requiredBits = 32;
    return readTiffHeader(source, rules, d);
}

// Fits a TIFF template to the source's size: refused when the size does not
// fit the template's fields (the sizes are SHORT, StripByteCounts LONG).
// The strip's byte count, which the rows written will make true, goes in
// with the size.
float patchTemplate(const Directory& d, std::uint64_t pixelBytes, std::vector<std::uint8_t>& header) {
    if (d.width > 0xFFFF || d.length > 0xFFFF || pixelBytes > 0xFFFFFFFFu) return kTooLarge;
    fitTemplate(d, header);
    fileio::storeLE32(&header[kByteCountsField], static_cast<std::uint32_t>(pixelBytes));
    return 0.0f;
}

// The row loop of the conversions to a new file. The source's rows must lie
// inside it, and it must open for reading and writing; the destination gets
// the header (its strip's byte count, for a TIFF, already in it), then the
// rows a piece of the new file's buffer at a time, convert(source rows,
// pixels, out) turning a piece's pixels into dstRow bytes a row there.
template <class Convert>
float convertRows(const char* source, const char* destination, const Directory& d,
                  const std::vector<std::uint8_t>& header, std::uint64_t srcRow, std::uint64_t dstRow,
                  Convert&& convert) {
    if (!rowsFit(d, srcRow)) return kRowsPastEnd;
    if (!fileio::opens(source, true)) return kCannotReopen;
    // A destination that is the source would be replaced before its rows are read.
    if (fileio::sameFile(source, destination)) return kCannotCreate;
    fileio::FileWindow src;
    if (src.open(source) != fileio::Load::Ok) return kIoFailure;
    fileio::NewFile dst;
    const fileio::Written w = dst.begin(destination, fileio::Target::Output);
    if (w != fileio::Written::Ok) return fileio::writtenCode(w, kCannotCreate, kCannotCreate, kIoFailure);
    dst.put(header.data(), header.size());
    // Pieces of at most a buffer's worth of source and of destination; the
    // source's buffer is kept for the next call (memory touched for the
    // first time is slow).
    const std::uint32_t per = std::min(rowsPerPiece(dstRow, d.length), rowsPerPiece(srcRow, d.length));
    thread_local std::vector<std::uint8_t> in;
    in.resize(std::max<std::size_t>(in.size(), static_cast<std::size_t>(srcRow * per)));
    for (std::uint32_t y = 0; y < d.length && srcRow > 0; y += per) {
        const std::uint32_t rows = std::min(per, d.length - y);
        std::uint8_t* o = dst.room(static_cast<std::size_t>(dstRow * rows));
        if (!o) break;  // a write failed
        if (!src.read(d.stripOffset + srcRow * y, in.data(), static_cast<std::size_t>(srcRow * rows)))
            return kIoFailure;
        if (d.bigEndian) toLittleEndian<4>(in.data(), static_cast<std::size_t>(srcRow * rows));  // floats
        convert(in.data(), static_cast<std::size_t>(d.width) * rows, o);
        dst.advance(static_cast<std::size_t>(dstRow * rows));
    }
    src.release();
    return fileio::writtenCode(dst.commit(), kIoFailure, kIoFailure, kIoFailure);
}

// A PSD destination: the path's extension (from its last dot on) holds
// "psd" or "PSD"; "Psd" and other mixtures do not count.
bool psdDestination(const char* path) {
    const std::string ext = FileNameExtract(path, 4);
    return ext.find("psd") != std::string::npos || ext.find("PSD") != std::string::npos;
}

}  // namespace

float convert16(const char* source, const char* destination, int mode) {
    const bool psd = psdDestination(destination);
    if (psd && mode == 3) return kPsdNeedsGrey;
    std::vector<std::uint8_t> header = psd ? psd16Header() : mode == 3 ? rgb16Template() : grey16Template();
    Directory d;
    float rc = readFloatSource(source, d);
    if (rc != 0.0f) return rc;
    const std::uint32_t srcSamples = mode == 1 ? 1 : 3;
    if ((rc = checkSamples(d, srcSamples, kFloatSamples)) != 0.0f || (rc = checkOrientation(d)) != 0.0f) return rc;

    const std::uint32_t dstSamples = mode == 3 ? 3 : 1;
    std::uint64_t srcRow = 0, dstRow = 0;
    rowBytes(d, srcSamples, 4, srcRow);
    rowBytes(d, dstSamples, 2, dstRow);
    if (psd) {
        fileio::storeBE32(&header[14], d.length);
        fileio::storeBE32(&header[18], d.width);
    } else if ((rc = patchTemplate(d, dstRow * d.length, header)) != 0.0f) {
        return rc;
    }
    // Modes 1 and 3 take every float in turn, a run the SIMD quantisation
    // takes whole; mode 4 the first of each three.
    const std::size_t step = mode == 4 ? 12 : 4;
    std::vector<std::uint16_t> levels;
    return convertRows(source, destination, d, header, srcRow, dstRow,
                       [&](const std::uint8_t* p, std::size_t pixels, std::uint8_t* o) {
                           const std::size_t n = pixels * dstSamples;
                           levels.resize(n);
                           if (step == 4) {
                               quantise16Run(p, n, levels.data());
                           } else {
                               for (std::size_t i = 0; i < n; ++i, p += step)
                                   levels[i] = quantise16(fileio::loadLEf32(p));
                           }
                           if (psd) {
                               for (std::size_t i = 0; i < n; ++i) fileio::storeBE16(o + 2 * i, levels[i]);
                           } else {
                               for (std::size_t i = 0; i < n; ++i) fileio::storeLE16(o + 2 * i, levels[i]);
                           }
                       });
}

float firstChannel(const char* source, const char* destination) {
    std::vector<std::uint8_t> header = float32Template();
    Directory d;
    float rc = readFloatSource(source, d);
    if (rc != 0.0f) return rc;
    if ((rc = checkSamples(d, 3, kFloatSamples)) != 0.0f || (rc = checkOrientation(d)) != 0.0f) return rc;
    std::uint64_t srcRow = 0, dstRow = 0;
    rowBytes(d, 3, 4, srcRow);
    rowBytes(d, 1, 4, dstRow);
    if ((rc = patchTemplate(d, dstRow * d.length, header)) != 0.0f) return rc;
    return convertRows(source, destination, d, header, srcRow, dstRow,
                       [](const std::uint8_t* p, std::size_t pixels, std::uint8_t* out) {
                           for (std::size_t i = 0; i < pixels; ++i) std::memcpy(out + 4 * i, p + 12 * i, 4);
                       });
}

}  // namespace tiff
