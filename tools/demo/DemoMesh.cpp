#include <string>

#include "Demo.h"
#include "fixtures/Files.h"
#include "fixtures/MeskBuilder.h"

// Script sequence: UV tiles. A generated head-sized mesh spread over six
// tiles (1001-1003 and 1011-1013) with five polygroups goes through tile
// selection, detection, both splits, the tile name list and the clears.
void demoUVTiles(DemoContext& ctx) {
    ctx.section("UV tiles: selection, detection, per-tile extraction, polygroups");
    const GridMesh grid = gridMesh(3, 2, 40, 5);  // 6 x 1600 faces
    const std::string mesh = ctx.path("head.Mesk");
    writeBytes(mesh, grid.build().bytes());
    ctx.note("mesh " + mesh + ": " + std::to_string(grid.faces.size()) + " faces, " +
             std::to_string(grid.vertices.size()) + " vertices");

    // 1. Every tile at first, in each naming mode.
    std::string m1;
    ctx.expect(ctx.call("getUVTile", mesh.c_str(), 0, &m1) == 6.0f && m1 == "_u2_v1", "six tiles, last _u2_v1");
    ctx.expect(ctx.call("getUVTile", mesh.c_str(), 1, &m1) == 6.0f && m1 == "_u3_v2", "mode 1 names");
    ctx.expect(ctx.call("getUVTile", mesh.c_str(), 3, &m1) == 6.0f && m1 == "u2v1", "mode 3 names");

    // 2. A tile list keeps four of them in mode 2.
    const std::string list = ctx.path("tiles.txt");
    writeText(list, "1001, 1003\n1011-1012\n");
    ctx.expect(ctx.call("setUVtilesOutput", list.c_str(), 0) == 0.0f, "tile list read");
    ctx.expect(ctx.call("getUVTile", mesh.c_str(), 2, &m1) == 4.0f && m1 == "1013", "four selected tiles");

    // 3. One mesh per selected tile, with local UVs and with masks.
    const float n = ctx.call("getUVs", mesh, 2, ctx.path("head_uv.Mesk"));
    ctx.expect(n == 4.0f, "four UV tile files");
    const char* expected[] = {"1001", "1003", "1011", "1012"};
    for (int i = 0; i < 4; ++i) {
        ctx.wrote(ctx.path("head_uv" + std::to_string(i) + ".Mesk"));
        std::string name;
        ctx.call("getUVString", nullptr, i, &name);
        ctx.expect(name == expected[i], "tile file " + std::to_string(i) + " is " + expected[i]);
    }
    ctx.expect(ctx.call("getUVsMask", mesh, 2, ctx.path("head_mask.Mesk")) == 4.0f, "four mask files");
    for (int i = 0; i < 4; ++i) {
        ctx.wrote(ctx.path("head_mask" + std::to_string(i) + ".Mesk"));
        std::string name;
        ctx.call("getUVString", nullptr, i, &name);
        ctx.expect(name == expected[i], "mask file " + std::to_string(i) + " is " + expected[i]);
    }

    // 4. The clears: the name list is empty, the selection gone.
    ctx.call("clearUVString", nullptr, 0);
    std::string kept = "(unchanged)";
    ctx.call("getUVString", nullptr, 0, &kept);
    ctx.expect(kept == "(unchanged)", "an empty list leaves mem1 alone");
    ctx.call("clearUVtilesOutput", nullptr, 0);
    ctx.expect(ctx.call("getUVTile", mesh.c_str(), 2, &m1) == 6.0f, "all six tiles again");
    ctx.expect(ctx.call("getUVs", mesh, 2, ctx.path("all.Mesk")) == 6.0f, "six tile files");

    // 5. Polygroups, and what a missing mesh gives.
    ctx.expect(ctx.call("getUVGroups", mesh.c_str(), 0) == 5.0f, "five polygroups");
    const std::string missing = ctx.path("no-such.Mesk");
    ctx.expect(ctx.call("getUVTile", missing.c_str(), 0, &m1) == -17.0f, "missing mesh: -17");
    ctx.expect(ctx.call("getUVs", missing, 0, ctx.path("x.Mesk")) == -1760.0f, "missing mesh: -1760");
}
