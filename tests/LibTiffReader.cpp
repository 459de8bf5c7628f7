#include "LibTiffReader.h"

#if BRINDLEX_HAVE_LIBTIFF
#include <tiffio.h>

bool readWithLibTiff(const std::string& path, LibTiffImage& img) {
    TIFFSetWarningHandler(nullptr);
    TIFF* t = TIFFOpen(path.c_str(), "rc");  // no strip chopping
    if (!t) return false;
    bool ok = TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &img.width) && TIFFGetField(t, TIFFTAG_IMAGELENGTH, &img.length);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &img.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &img.samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &img.format);
    const tmsize_t n = TIFFStripSize(t);
    img.strip.resize(static_cast<std::size_t>(n));
    ok = ok && TIFFNumberOfStrips(t) == 1 && TIFFReadEncodedStrip(t, 0, img.strip.data(), n) == n;
    TIFFClose(t);
    return ok;
}
#endif

#if BRINDLEX_HAVE_LIBTIFF
bool inspectWithLibTiff(const std::string& path, LibTiffLayout& l) {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    TIFF* t = TIFFOpen(path.c_str(), "rc");
    if (!t) return false;
    bool ok = TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &l.width) && TIFFGetField(t, TIFFTAG_IMAGELENGTH, &l.length);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &l.format);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &l.compression);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &l.photometric);
    l.tiled = TIFFIsTiled(t) != 0;
    l.bigEndian = TIFFIsBigEndian(t) != 0;
    l.strips = l.tiled ? 0 : TIFFNumberOfStrips(t);
    if (ok && !l.tiled && l.compression == COMPRESSION_NONE && (l.planar == PLANARCONFIG_CONTIG || l.samples == 1)) {
        const tmsize_t row = TIFFScanlineSize(t);
        l.pixels.resize(static_cast<std::size_t>(row) * l.length);
        for (std::uint32_t y = 0; ok && y < l.length; ++y)
            ok = TIFFReadScanline(t, l.pixels.data() + static_cast<std::size_t>(row) * y, y) == 1;
    }
    TIFFClose(t);
    return ok;
}
#endif
