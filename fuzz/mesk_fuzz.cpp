// Mesk meshes: every mesh operation on one file written from the input.
#include "FuzzSupport.h"
#include "MeskOps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    std::string mesh = fuzzInputFile(data, size, "in.Mesk");
    std::string scratch = fuzzScratchDir();

    // Tiles in every naming mode; the extractions only for a bounded number
    // of tiles, since each one writes a file.
    float tiles = 0.0f;
    for (int mode = 0; mode < 4; ++mode) {
        std::optional<std::string> out;
        float r = GetUVTile(mesh.c_str(), out, mode);
        requireListed("getUVTile", r);
        if (r > tiles) tiles = r;
    }
    if (tiles <= 32.0f) {
        int mode = size ? data[0] & 3 : 0;
        std::string outPath = scratch + "tile.Mesk";
        requireListed("getUVs", GetUVsFromMesk(mesh.c_str(), outPath.c_str(), mode));
        std::optional<std::string> name;
        getUVTileString(0, name);
        requireListed("getUVsMask", GetUVsFromMeskMASK(mesh.c_str(), outPath.c_str(), mode));
        clearUVTileString();
    }
    requireListed("getUVGroups", GetUVGroup(mesh.c_str()));

    // Face IDs, then the OBJ of the same mesh grouped by them; the colour
    // block alone.
    double levels = size > 1 ? 1 + (data[1] % 3) : 1;
    requireListed("getFaceIDs", GetFaceIDsMesk(mesh.c_str(), levels));
    std::string obj = scratch + "out.obj";
    requireListed("mesktoOBJ", writeOBJfromMesk(mesh.c_str(), &obj[0]));
    _faceID.clear();
    std::string rgb = scratch + "out.rgb";
    requireListed("outMRGB", ReadVertColorMesk(mesh.c_str(), &rgb[0]));

    // The crease merge with the input both as addition and as target.
    std::string target = fuzzInputFile(data, size, "target.Mesk");
    requireListed("mergeCrease", mergeFiles(mesh.c_str(), &target[0]));

    fuzzCleanScratch();
    return 0;
}
