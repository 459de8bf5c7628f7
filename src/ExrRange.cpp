#include "ExrRange.h"

#include "ExrHeader.h"
#include "ExrLibrary.h"
#include "ExrTinyexr.h"
#include "FileAccess.h"
#include "HostCall.h"

float openExrLibraryRange(const char* path) {
    if (!path) return hostcall::kRefused;
    fileio::MappedFile m;
    if (m.open(path) != fileio::Load::Ok) return exr::kCannotOpen;
    return exr::libraryRange(m.bytes(), path);
}

float openExrRange(const char* path) {
    if (!path) return hostcall::kRefused;
    int compression = -1;
    {
        fileio::MappedFile m;
        if (m.open(path) != fileio::Load::Ok) return exr::kCannotOpen;
        if (m.size() < exr::kExrMinBytes || !exr::exrWindowFits(m.bytes()) || exr::exrTinyexrAsserts(m.bytes()) ||
            !exr::exrClaimsFit(m.bytes()))
            return exr::kRefused;
        compression = exr::firstCompression(m.bytes());
    }
    return exr::tinyexrRange(path, compression);
}
