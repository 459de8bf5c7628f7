#include "LibTiffReader.h"

#if BRINDLEX_HAVE_LIBTIFF
#include <tiffio.h>

bool readWithLibTiff(const std::string &path, LibTiffImage &img) {
    TIFFSetWarningHandler(nullptr);
    TIFF *t = TIFFOpen(path.c_str(), "rc");  // no strip chopping
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
