// TIFF maps: the operations on maps of the dialect TiffReader.h reads (depth
// conversion, value range queries, merge, channel swap and single channel).
// Their codes, and what each TIFF export's result means, are in TiffCodes.h.
#pragma once

#include "TiffCodes.h"
#include "TiffReader.h"

// ---------------------------------------------------------------------------
// The operations (workers of the exports).

// convertTIFF16: mode 1 grey, 3 RGB, 4 grey from the first of three floats;
// a 16-bit PSD when the destination's extension holds "psd" or "PSD" (not
// "Psd"), else a 16-bit TIFF.
float convertTiff(const char* source, const char* destination, int mode);
// getScale: the scale factor from the distinct 16-bit levels of a float map.
float getScaleTiff(const char* path, int samples);
// getScale16: span of the samples of a 16-bit map (red only for RGB).
float getScale16Tiff(const char* path, int samples);
// mergeMapsTIF: B takes A's pixel wherever B shows A's first pixel.
float mergeTiff(const char* a, const char* b);
// mergeMapsTIFHack: exclusion blend of 8- and 16-bit maps, key merge of float maps.
float mergeTiffHack(const char* a, const char* b);
// swapRGBTIF: exchanges two channels of an 8-bit RGB map in place.
float swapChannels(const char* path, int mode);
// convertTIFFSingle: the first channel of a float RGB map as a grey float map.
float singleChannelTiff(const char* source, const char* destination);
