#include "ExrRange.h"

#include "ExrHeader.h"
#include "ExrLibrary.h"
#include "ExrTinyexr.h"
#include "FileAccess.h"
#include "HostCall.h"

float openExrLibraryRange(const char* path) {
    if (!path) return hostcall::kRefused;
    fileio::FileWindow w;
    fileio::Bytes b;
    if (w.open(path) != fileio::Load::Ok || !w.whole(b)) return exr::kCannotOpen;
    return exr::libraryRange(b, path);
}

float openExrRange(const char* path) {
    if (!path) return hostcall::kRefused;
    int compression = -1;
    {
        fileio::FileWindow w;
        fileio::Bytes b;
        if (w.open(path) != fileio::Load::Ok || !w.whole(b)) return exr::kCannotOpen;
        if (b.size < exr::kExrMinBytes || !exr::exrWindowFits(b) || exr::exrTinyexrAsserts(b) || !exr::exrClaimsFit(b))
            return exr::kRefused;
        compression = exr::firstCompression(b);
    }
    return exr::tinyexrRange(path, compression);
}
