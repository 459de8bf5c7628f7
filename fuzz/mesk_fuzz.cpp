// Mesk meshes: every mesh operation on one file written from the input.
#include "FuzzSupport.h"
#include "MeskOps.h"

namespace {

bool isCount(float r) { return r >= 0.0f && r == static_cast<float>(static_cast<long long>(r)); }

}  // namespace

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
        if (!isCount(r) && r != kMeskQueryCannotOpen && r != kMeskNoChunk) __builtin_trap();
        if (r > tiles) tiles = r;
    }
    if (tiles <= 32.0f) {
        int mode = size ? data[0] & 3 : 0;
        std::string outPath = scratch + "tile.Mesk";
        float r = GetUVsFromMesk(mesh.c_str(), outPath.c_str(), mode);
        if (!isCount(r) && r != kMeskCannotOpen && r != kMeskNoChunk) __builtin_trap();
        std::optional<std::string> name;
        getUVTileString(0, name);
        r = GetUVsFromMeskMASK(mesh.c_str(), outPath.c_str(), mode);
        if (!isCount(r) && r != kMeskCannotOpen && r != kMeskNoChunk && r != kMeskNoFaceChunk) __builtin_trap();
        clearUVTileString();
    }
    float g = GetUVGroup(mesh.c_str());
    if (!isCount(g) && g != kMeskQueryCannotOpen && g != kMeskNoChunk) __builtin_trap();

    // Face IDs, then the OBJ of the same mesh grouped by them; the colour
    // block alone.
    double levels = size > 1 ? 1 + (data[1] % 3) : 1;
    float f = GetFaceIDsMesk(mesh.c_str(), levels);
    if (!isCount(f) && f != kMeskCannotOpen && f != kMeskTruncated) __builtin_trap();
    std::string obj = scratch + "out.obj";
    writeOBJfromMesk(mesh.c_str(), &obj[0]);  // a misplaced chunk returns its tag: any value
    _faceID.clear();
    std::string rgb = scratch + "out.rgb";
    float c = ReadVertColorMesk(mesh.c_str(), &rgb[0]);
    if (c != 0.0f && c != kMeskCannotOpen && c != kMeskTruncated && c != kMeskOutputCannotOpen && c != kTextNotWritten)
        __builtin_trap();

    // The crease merge with the input both as addition and as target.
    std::string target = fuzzInputFile(data, size, "target.Mesk");
    float m = mergeFiles(mesh.c_str(), &target[0]);
    if (m > 0.0f) __builtin_trap();

    fuzzCleanScratch();
    return 0;
}
