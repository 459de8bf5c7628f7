// The tile list file: the selection it gives, then a mode-2 tile count of
// a small mesh through that selection.
#include "FuzzSupport.h"
#include "MeskOps.h"
#include "fixtures/MeskBuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 16)) return 0;
    static const std::string mesh = [] {
        const MeskBuilder::Bytes b = gridMesh(3, 2, 2, 2).build().bytes();
        return fuzzInputFile(b.data(), b.size(), "grid.Mesk");
    }();
    std::string list = fuzzInputFile(data, size, "tiles.txt");
    if (setUVtilesOut(list.c_str()) != 0.0f) __builtin_trap();
    if (_UVtilesOut.size() > kMaxTileSelection) __builtin_trap();
    std::optional<std::string> out;
    float r = GetUVTile(mesh.c_str(), out, 2);
    if (r < 0.0f || r > 6.0f) __builtin_trap();
    clearUVtilesOut();
    return 0;
}
