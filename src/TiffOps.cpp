// The workers of the TIFF exports: each refuses the arguments its export
// does not take (-9; -1 for convertTIFFSingle), then runs its operation
// (TiffInternal.h).
#include "TiffOps.h"

#include "TiffInternal.h"

namespace {

// The range queries read grey (1) or RGB (3) maps.
bool rangeArguments(const char* path, int samples) { return path && (samples == 1 || samples == 3); }

}  // namespace

float convertTiff(const char* source, const char* destination, int mode) {
    if (!source || !destination || (mode != 1 && mode != 3 && mode != 4)) return -9.0f;
    return tiff::convert16(source, destination, mode);
}

float singleChannelTiff(const char* source, const char* destination) {
    if (!source || !destination) return -1.0f;
    return tiff::firstChannel(source, destination);
}

float getScaleTiff(const char* path, int samples) {
    return rangeArguments(path, samples) ? tiff::levelScale(path, samples) : -9.0f;
}

float getScale16Tiff(const char* path, int samples) {
    return rangeArguments(path, samples) ? tiff::span16(path, samples) : -9.0f;
}

float mergeTiff(const char* a, const char* b) { return a && b ? tiff::mergeMaps(a, b, false) : -9.0f; }

float mergeTiffHack(const char* a, const char* b) { return a && b ? tiff::mergeMaps(a, b, true) : -9.0f; }

float swapChannels(const char* path, int mode) {
    if (!path || mode < 0 || mode > 3) return -9.0f;
    return tiff::swapPair(path, mode);
}
