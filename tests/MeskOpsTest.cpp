// Meshes: the Mesk reader, UV tiles, per-tile extraction, polygroups, and
// the mesh exports.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <sstream>

#include "ByteOrder.h"
#include "MeskKernels.h"
#include "MeskOps.h"
#include "MeskReader.h"
#include "MeskTiles.h"
#include "Platform.h"
#include "TestSupport.h"
#include "fixtures/MeskBuilder.h"

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

namespace {

using Bytes = std::vector<std::uint8_t>;

}  // namespace

TEST(MeskReader, ScanVisitsTheExampleFile) {
    MeskBuilder ex = exampleMesk();
    ASSERT_EQ(ex.size(), 226u);
    const Bytes& img = ex.bytes();
    struct Case {
        std::uint32_t tag;
        std::uint64_t pos, count, size;
    } cases[] = {{kMeskVertexTag, 32, 3, 52},
                 {kMeskColourTag, 84, 3, 28},
                 {kMeskFaceTag, 112, 1, 32},
                 {kMeskUVTag, 144, 1, 48},
                 {kMeskGroupTag, 192, 1, 18}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        auto ch = findMeskElements(img, c.tag, 1);
        ASSERT_TRUE(ch);
        EXPECT_EQ(ch->pos, c.pos);
        EXPECT_EQ(ch->count, c.count);
        EXPECT_EQ(ch->size, c.size);
        EXPECT_EQ(ch->first(), c.pos + 16);
    }
    EXPECT_FALSE(findMeskChunk(img, kMeskMaskTag));
    // Fixed-position access: the chunks follow each other behind their elements.
    auto v = meskChunkAt(img, 32);
    ASSERT_TRUE(v);
    auto c = meskChunkAt(img, v->end(kMeskVertexSize));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->tag, kMeskColourTag);
    auto f = meskChunkAt(img, c->end(kMeskColourSize));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->tag, kMeskFaceTag);
    EXPECT_EQ(fileio::loadLEi32(img.data() + f->element(0, kMeskFaceSize) + 12), -1);
    EXPECT_FALSE(meskChunkAt(img, 211));  // 15 bytes left
    EXPECT_TRUE(meskChunkAt(img, 210));   // the end block reads as a header
}

TEST(MeskReader, ScanEdgeCases) {
    const Bytes uvTag = {0xA9, 0x61, 0, 0}, swapped = {0x61, 0xA9, 0, 0};
    auto header = [](std::uint32_t tag, std::uint32_t size, std::uint32_t count) {
        Bytes b;
        MeskBuilder::put32(b, tag);
        MeskBuilder::put32(b, size);
        MeskBuilder::put32(b, count);
        MeskBuilder::put32(b, 0);
        return b;
    };
    struct Case {
        const char* name;
        Bytes image;
        std::int64_t found;  // position, or -1
    } cases[] = {
        {"empty file", {}, -1},
        {"header only", MeskBuilder().bytes(), -1},
        {"first chunk", MeskBuilder().chunk(kMeskUVTag, 0, {}).bytes(), 32},
        {"behind a zero-size chunk", MeskBuilder().chunk(1, 0, 5, {}).chunk(kMeskUVTag, 0, {}).bytes(), 48},
        {"chain of zero-size chunks", MeskBuilder().chunk(1, 0, 0, {}).chunk(2, 0, 0, {}).chunk(3, 0, 0, {}).bytes(),
         -1},
        {"size 1 steps one byte", MeskBuilder().chunk(9, 1, 0, {}).raw(header(9, 1, 0)).bytes(), -1},
        {"first of two", MeskBuilder().chunk(kMeskUVTag, 0, {}).chunk(kMeskUVTag, 0, {}).bytes(), 32},
        {"whole-word tag", MeskBuilder().raw(swapped).raw(Bytes(12, 0)).raw(uvTag).raw(Bytes(12, 0)).bytes(), 48},
        {"header cut short", MeskBuilder().chunk(1, 16, 0, {}).raw(header(kMeskUVTag, 16, 0)).bytes(), -1},
        {"size past the end", MeskBuilder().chunk(1, 0xFFFFFFFFu, 0, {}).chunk(kMeskUVTag, 0, {}).bytes(), -1},
        {"size jumps over the wanted chunk", MeskBuilder().chunk(1, 40, 0, {}).chunk(kMeskUVTag, 0, {}).bytes(), -1},
    };
    cases[8].image.resize(cases[8].image.size() - 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto ch = findMeskChunk(c.image, kMeskUVTag);
        EXPECT_EQ(ch ? static_cast<std::int64_t>(ch->pos) : -1, c.found);
    }
    // A chunk that starts exactly at the image's end is not there.
    Bytes atEnd = MeskBuilder().chunk(1, 16, 0, {}).bytes();
    EXPECT_FALSE(findMeskChunk(atEnd, kMeskUVTag, 48));
    EXPECT_FALSE(findMeskChunk(atEnd, 1, 1u << 31));
}

TEST(MeskReader, ElementsMustFitTheImage) {
    struct Case {
        const char* name;
        std::uint32_t count;
        std::size_t elementBytes;
        bool fits;
    } cases[] = {
        {"exact", 2, 64, true},
        {"one byte short", 2, 63, false},
        {"count 0", 0, 0, true},
        {"count wraps 32-bit products", 0x08000000u, 64, false},  // 2^27 * 32 = 2^32
        {"largest count", 0xFFFFFFFFu, 64, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes img = MeskBuilder().chunk(kMeskUVTag, 16, c.count, Bytes(c.elementBytes, 0)).bytes();
        EXPECT_EQ(findMeskElements(img, kMeskUVTag, kMeskUVSize).has_value(), c.fits);
        EXPECT_TRUE(findMeskChunk(img, kMeskUVTag));
    }
}

TEST(MeskReader, EveryTruncatedPrefixIsReadSafely) {
    const Bytes full = exampleMesk().bytes();
    const std::pair<std::uint32_t, std::size_t> kinds[] = {
        {kMeskVertexTag, 12}, {kMeskColourTag, 4}, {kMeskFaceTag, 16}, {kMeskUVTag, 32}, {kMeskGroupTag, 2}};
    const std::size_t ends[] = {84, 112, 144, 192, 210};
    for (std::size_t n = 0; n <= full.size(); ++n) {
        Bytes img(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        for (std::size_t k = 0; k < 5; ++k) {
            auto ch = findMeskElements(img, kinds[k].first, kinds[k].second);
            EXPECT_EQ(ch.has_value(), n >= ends[k]) << "prefix " << n << " tag " << kinds[k].first;
        }
    }
}

namespace {

// A mesh of separate quads whose corner 0 lies at the given points; the
// other corners sit a little above and to the right of corner 0.
MeskBuilder cornerMesh(const std::vector<std::pair<float, float>>& corner0) {
    std::vector<std::array<float, 3>> v;
    std::vector<std::array<std::int32_t, 4>> f;
    std::vector<std::array<float, 8>> uv;
    for (std::size_t i = 0; i < corner0.size(); ++i) {
        const int b = static_cast<int>(4 * i);
        for (int k = 0; k < 4; ++k) v.push_back({static_cast<float>(i), static_cast<float>(k), 0});
        f.push_back({b, b + 1, b + 2, b + 3});
        const float u = corner0[i].first, w = corner0[i].second;
        uv.push_back({u, w, u + 0.01f, w, u + 0.01f, w + 0.01f, u, w + 0.01f});
    }
    MeskBuilder m;
    m.vertices(v).faces(f).uvs(uv).endBlock();
    return m;
}

std::string writeMesh(const TempDir& dir, const std::string& name, const Bytes& bytes) {
    std::string p = dir.path(name);
    EXPECT_TRUE(writeBytes(p, bytes));
    return p;
}

// A host call whose mem1 is an input path.
float callPath(const std::string& name, const char* text, double value, const std::string& path) {
    std::string m1 = path;
    return callExport(name, text, value, &m1);
}
float callPath(const std::string& name, const std::string& text, double value, const std::string& path) {
    return callPath(name, text.c_str(), value, path);
}

float floatAt(const Bytes& b, std::size_t off) { return off + 4 <= b.size() ? fileio::loadLEf32(b.data() + off) : NAN; }

}  // namespace

TEST(UVTiles, TileIndexOfACoordinate) {
    const float nan = std::nanf("");
    struct Case {
        float w;
        std::int32_t index;
        float local;
    } cases[] = {
        {0.5f, 0, 0.5f},       {0.0f, 0, 0.0f},   {-0.0f, 0, 0.0f},
        {1.0f, 1, 0.0f},       {1.25f, 1, 0.25f}, {1.999f, 1, 0.999f - 0.0f},
        {-0.25f, -1, 0.75f},   {-0.5f, -1, 0.5f}, {-1.0f, -2, 0.0f},
        {-1e-8f, -1, 0.0f},    {10.5f, 10, 0.5f}, {3e9f, INT32_MAX, 3e9f - 2147483648.0f},
        {-3e9f, INT32_MIN, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.w);
        EXPECT_EQ(uvTileIndex(c.w), c.index);
        std::int32_t i;
        float l;
        uvLocal(c.w, i, l);
        EXPECT_EQ(i, c.index);
        if (c.w > -1e9f) {
            EXPECT_NEAR(l, c.local, 1e-6f);
        }
    }
    EXPECT_EQ(uvTileIndex(nan), 0);
}

TEST(UVTiles, NamesInTheFourModes) {
    struct Case {
        std::int32_t U, V;
        const char* names[4];
    } cases[] = {
        {0, 0, {"_u0_v0", "_u1_v1", "1001", "u0v0"}},
        {2, 1, {"_u2_v1", "_u3_v2", "1013", "u2v1"}},
        {-1, 0, {"_u-1_v0", "_u0_v1", "1000", "u-1v0"}},
        {10, 0, {"_u10_v0", "_u11_v1", "1011", "u10v0"}},
        {0, 1, {"_u0_v1", "_u1_v2", "1011", "u0v1"}},
        {INT32_MAX,
         INT32_MIN,
         {"_u2147483647_v-2147483648", "_u2147483648_v-2147483647", "-19327351832", "u2147483647v-2147483648"}},
    };
    for (const Case& c : cases)
        for (int mode = 0; mode < 4; ++mode) EXPECT_EQ(uvTileName(c.U, c.V, mode), c.names[mode]) << c.U << "," << c.V;
}

TEST(UVTiles, DetectionCountsTilesAndNamesTheLastFace) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::pair<float, float>> corners;
        double value;
        const char* selection;  // tile list content, or null for none
        float count;
        const char* last;
    } cases[] = {
        {"unit square mode 0", {{0.1f, 0.2f}, {0.9f, 0.9f}}, 0, nullptr, 1, "_u0_v0"},
        {"unit square mode 1", {{0.1f, 0.2f}, {0.9f, 0.9f}}, 1, nullptr, 1, "_u1_v1"},
        {"unit square mode 2", {{0.1f, 0.2f}, {0.9f, 0.9f}}, 2, nullptr, 1, "1001"},
        {"unit square mode 3", {{0.1f, 0.2f}, {0.9f, 0.9f}}, 3, nullptr, 1, "u0v0"},
        {"value -3 is mode 0", {{0.5f, 0.5f}}, -3, nullptr, 1, "_u0_v0"},
        {"value 2.9 is mode 2", {{0.5f, 0.5f}}, 2.9, nullptr, 1, "1001"},
        {"value 17 is mode 3", {{0.5f, 0.5f}}, 17, nullptr, 1, "u0v0"},
        {"u on the line belongs above", {{1.0f, 0.5f}}, 2, nullptr, 1, "1002"},
        {"negative u", {{-0.5f, 0.5f}}, 0, nullptr, 1, "_u-1_v0"},
        {"negative u, mode 2", {{-0.5f, 0.5f}}, 2, nullptr, 1, "1000"},
        {"four tiles, last face names",
         {{0.5f, 0.5f}, {1.5f, 0.5f}, {0.5f, 1.5f}, {1.5f, 1.5f}, {0.2f, 0.2f}},
         0,
         nullptr,
         4,
         "_u0_v0"},
        {"U 10 and V 1 are one mode-2 tile", {{10.5f, 0.5f}, {0.5f, 1.5f}}, 2, nullptr, 1, "1011"},
        {"no faces", {}, 0, nullptr, 0, ""},
        {"selection filters mode 2", {{0.5f, 0.5f}, {1.5f, 0.5f}}, 2, "1001\n", 1, "1002"},
        {"selection ignored in mode 0", {{0.5f, 0.5f}, {1.5f, 0.5f}}, 0, "1001\n", 2, "_u1_v0"},
        {"selection ignored in mode 3", {{0.5f, 0.5f}, {1.5f, 0.5f}}, 3, "1001\n", 2, "u1v0"},
        {"nothing selected", {{0.5f, 0.5f}}, 2, "1005\n", 0, "1001"},
        {"empty list selects all", {{0.5f, 0.5f}, {1.5f, 0.5f}}, 2, "", 2, "1002"},
    };
    const std::string list = dir.path("tiles.txt");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string mesh = writeMesh(dir, "m.Mesk", cornerMesh(c.corners).bytes());
        callExport("clearUVtilesOutput", nullptr, 0);
        if (c.selection) {
            ASSERT_TRUE(writeText(list, c.selection));
            EXPECT_EQ(callExport("setUVtilesOutput", list, 0), 0.0f);
        }
        std::string m1 = "untouched";
        EXPECT_EQ(callExport("getUVTile", mesh, c.value, &m1), c.count);
        EXPECT_EQ(m1, c.last);
    }
    callExport("clearUVtilesOutput", nullptr, 0);
}

TEST(UVTiles, DetectionCodes) {
    TempDir dir;
    Bytes noUV = MeskBuilder().vertices({{0, 0, 0}}).endBlock().bytes();
    Bytes cut = exampleMesk().bytes();
    cut.resize(191);  // the UV chunk's last byte is missing
    Bytes hugeCount = MeskBuilder().chunk(kMeskUVTag, 48, 0x08000001u, Bytes(32, 0)).bytes();
    struct Case {
        const char* name;
        Bytes image;
        float code;
    } cases[] = {
        {"empty file", {}, -18},
        {"header only", MeskBuilder().bytes(), -18},
        {"no UV chunk", noUV, -18},
        {"UV elements cut short", cut, -18},
        {"count overflowing 32 bits", hugeCount, -18},
        {"zero-size chain", MeskBuilder().chunk(1, 0, 0, {}).chunk(1, 0, 0, {}).bytes(), -18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string m1 = "untouched";
        EXPECT_EQ(callExport("getUVTile", writeMesh(dir, "bad.Mesk", c.image), 0, &m1), c.code);
        EXPECT_EQ(m1, "untouched");
    }
    std::string m1 = "untouched";
    EXPECT_EQ(callExport("getUVTile", dir.path("missing.Mesk"), 0, &m1), -17.0f);
    EXPECT_EQ(m1, "untouched");
    std::string good = writeMesh(dir, "good.Mesk", exampleMesk().bytes());
    EXPECT_EQ(callExport("getUVTile", nullptr, 0, &m1), -9.0f);
    EXPECT_EQ(callExport("getUVTile", good, 0, nullptr), -9.0f);
    m1 = "keep";
    EXPECT_EQ(callExport("getUVTile", good, 0, &m1, 6), -9003.0f);  // "_u0_v0" needs 7 bytes
    EXPECT_EQ(m1, "keep");
    EXPECT_EQ(callExport("getUVTile", good, 0, &m1, 7), 1.0f);
    EXPECT_EQ(m1, "_u0_v0");
}

TEST(TileSelection, ParsesTheTileList) {
    struct Case {
        const char* name;
        std::string text;
        std::set<std::string> selected;
    } cases[] = {
        {"example", "1001, 1003-1005,1010\n", {"1001", "1003", "1004", "1005", "1010"}},
        {"range", "1001-1003", {"1001", "1002", "1003"}},
        {"empty token and duplicate", "1001,,1002 , 1002", {"1001", "1002"}},
        {"one-element range", "1001-1001", {"1001"}},
        {"descending range", "1005-1003", {}},
        {"letters kept", "1001a", {"1001a"}},
        {"missing lower bound", "-3", {"0", "1", "2", "3"}},
        {"tab is not a blank", "1001\t1002", {"1001\t1002"}},
        {"tab before a bound", "\t1001-\t1002", {"1001", "1002"}},
        {"bound with junk and sign", "+7-9x", {"7", "8", "9"}},
        {"second dash ends the upper bound", "1-3-5", {"1", "2", "3"}},
        {"negative upper bound", "2--1", {}},
        {"no numbers read as 0", "a-b", {"0"}},
        {"leading and trailing commas, empty lines", ",1001,\n\n,\n1002,", {"1001", "1002"}},
        {"several lines", "1001\n1002\n", {"1001", "1002"}},
        {"CR LF line ends", "1001\r\n1002\r\n", {"1001", "1002"}},
        {"CR at the end of the file", "1001,1002\r", {"1001", "1002"}},
        {"CR inside a line stays", "1001\r1002\n", {"1001\r1002"}},
        {"only the CR before the line feed goes", "1001\r\r\n", {"1001\r"}},
        {"carriage return after a range", "1001-1002\r\n", {"1001", "1002"}},
        {"empty file", "", {}},
        {"blanks only", "   \n  ", {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = dir.path("list.txt");
        ASSERT_TRUE(writeText(p, c.text));
        EXPECT_EQ(setUVtilesOut(p.c_str()), 0.0f);
        EXPECT_EQ(_UVtilesOut, c.selected);
    }
    // A range reaching far stops at the selection's bound, and saturated
    // bounds do not wrap.
    ASSERT_TRUE(writeText(dir.path("big.txt"), "5,2147483640-99999999999,1-2000000000"));
    EXPECT_EQ(setUVtilesOut(dir.path("big.txt").c_str()), 0.0f);
    EXPECT_EQ(_UVtilesOut.size(), kMaxTileSelection);
    EXPECT_TRUE(_UVtilesOut.count("2147483647"));
    EXPECT_TRUE(_UVtilesOut.count("5"));
    // A missing list empties the selection.
    EXPECT_EQ(setUVtilesOut(dir.path("missing.txt").c_str()), -1.0f);
    EXPECT_TRUE(_UVtilesOut.empty());
    _UVtilesOut = {"1001"};
    clearUVtilesOut();
    EXPECT_TRUE(_UVtilesOut.empty());
}

TEST(TileSelection, ExportsKeepOrReplaceTheSelection) {
    TempDir dir;
    std::string mesh = writeMesh(dir, "m.Mesk", cornerMesh({{0.5f, 0.5f}, {1.5f, 0.5f}}).bytes());
    std::string list = dir.path("tiles.txt");
    ASSERT_TRUE(writeText(list, "1002"));
    std::string m1;
    EXPECT_EQ(callExport("setUVtilesOutput", list, 0), 0.0f);
    EXPECT_EQ(callExport("getUVTile", mesh, 2, &m1), 1.0f);
    EXPECT_EQ(callExport("setUVtilesOutput", nullptr, 0), -9.0f);  // refused: the selection stays
    EXPECT_EQ(callExport("getUVTile", mesh, 2, &m1), 1.0f);
    EXPECT_EQ(callExport("setUVtilesOutput", dir.path("missing.txt"), 0), -1.0f);  // fails: selection empty
    EXPECT_EQ(callExport("getUVTile", mesh, 2, &m1), 2.0f);
    EXPECT_EQ(callExport("setUVtilesOutput", list, 0), 0.0f);
    EXPECT_EQ(callExport("clearUVtilesOutput", nullptr, 0), 0.0f);
    EXPECT_EQ(callExport("getUVTile", mesh, 2, &m1), 2.0f);
}

TEST(UVExtraction, TileFilesOfTheExampleMesh) {
    TempDir dir;
    const Bytes src = exampleMesk().bytes();
    std::string mesh = writeMesh(dir, "ex.Mesk", src);
    // UV variant: 160 bytes copied, 32 of coordinates, 16 of end block.
    EXPECT_EQ(GetUVsFromMesk(mesh.c_str(), dir.path("uv.Mesk").c_str(), 0), 1.0f);
    Bytes uv = readBytes(dir.path("uv0.Mesk"));
    ASSERT_EQ(uv.size(), 208u);
    EXPECT_TRUE(std::equal(src.begin(), src.begin() + 160, uv.begin()));
    const float expected[8] = {0.25f, 0.5f, 0.75f, 0.5f, 0.25f, 0.75f, 0, 0};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(floatAt(uv, 160 + 4 * k), expected[k]) << k;
    EXPECT_TRUE(std::all_of(uv.end() - 16, uv.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(_UVTileStr, std::vector<std::string>{"_u0_v0"});
    // Mask variant: 210 copied, a mask chunk of size 19 with count 3, 16 of end block.
    EXPECT_EQ(GetUVsFromMeskMASK(mesh.c_str(), dir.path("mask.Mesk").c_str(), 2), 1.0f);
    Bytes mask = readBytes(dir.path("mask0.Mesk"));
    ASSERT_EQ(mask.size(), 245u);
    EXPECT_TRUE(std::equal(src.begin(), src.begin() + 210, mask.begin()));
    Bytes chunk(mask.begin() + 210, mask.begin() + 229);
    Bytes want = MeskBuilder().mask({0, 0, 0}).bytes();
    EXPECT_EQ(chunk, Bytes(want.begin() + 32, want.end()));
    EXPECT_TRUE(std::all_of(mask.end() - 16, mask.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(_UVTileStr, std::vector<std::string>{"1001"});
}

TEST(UVExtraction, LocalCoordinatesPerTile) {
    TempDir dir;
    // Face 0 starts in tile 0 with corner 2 in tile 1; face 1 starts in
    // tile 1 with corner 3 on tile 0's side; face 2 is a triangle in tile 0
    // with corner 1 exactly on u = 1.
    MeskBuilder m;
    m.vertices({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}})
        .faces({{0, 1, 2, 3}, {1, 4, 2, 3}, {0, 1, 3, -1}})
        .uvs({{0.5f, 0.5f, 0.75f, 0.5f, 1.25f, 0.5f, 0.5f, 0.75f},
              {1.5f, 0.5f, 1.75f, 0.5f, 1.5f, 0.75f, 0.25f, 0.5f},
              {0.25f, 0.25f, 1.0f, 0.25f, 0.25f, 0.5f, 0, 0}})
        .groups({1, 2, 1})
        .endBlock();
    std::string mesh = writeMesh(dir, "m.Mesk", m.bytes());
    const std::size_t uvStart = m.chunkPositions()[2] + 16;
    EXPECT_EQ(GetUVsFromMesk(mesh.c_str(), dir.path("t.Mesk").c_str(), 0), 2.0f);
    EXPECT_EQ(_UVTileStr, (std::vector<std::string>{"_u0_v0", "_u1_v0"}));
    const float x = -1;
    const float tile0[24] = {0.5f,  0.5f,  0.75f, 0.5f, x,     x,    0.5f,  0.75f,  //
                             x,     x,     x,     x,    x,     x,    0.25f, 0.5f,   //
                             0.25f, 0.25f, x,     x,    0.25f, 0.5f, 0,     0};
    const float tile1[24] = {x,    x,    x,     x,     0.25f, 0.5f,  x, x,  //
                             0.5f, 0.5f, 0.75f, 0.5f,  0.5f,  0.75f, x, x,  //
                             x,    x,    0.0f,  0.25f, x,     x,     x, x};
    const float* want[2] = {tile0, tile1};
    for (int t = 0; t < 2; ++t) {
        SCOPED_TRACE(t);
        Bytes b = readBytes(dir.path("t" + std::to_string(t) + ".Mesk"));
        // The polygroup chunk behind the UV elements is not copied.
        ASSERT_EQ(b.size(), uvStart + 3 * 32 + 16);
        EXPECT_TRUE(std::equal(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(uvStart), m.bytes().begin()));
        for (int k = 0; k < 24; ++k) EXPECT_NEAR(floatAt(b, uvStart + 4 * k), want[t][k], 1e-6f) << k;
    }
    // Mask files keep the polygroup chunk; the triangle unmasks its three
    // vertices only.
    EXPECT_EQ(GetUVsFromMeskMASK(mesh.c_str(), dir.path("k.Mesk").c_str(), 0), 2.0f);
    const Bytes masks[2] = {{0, 0, 0, 0, 255}, {255, 0, 0, 0, 0}};
    for (int t = 0; t < 2; ++t) {
        Bytes b = readBytes(dir.path("k" + std::to_string(t) + ".Mesk"));
        ASSERT_EQ(b.size(), m.size() - 16 + 16 + 5 + 16);
        EXPECT_EQ(Bytes(b.end() - 21, b.end() - 16), masks[t]) << t;
        EXPECT_EQ(fileio::loadLE32(b.data() + m.size() - 16), kMeskMaskTag);
        EXPECT_EQ(fileio::loadLE32(b.data() + m.size() - 12), 21u);
        EXPECT_EQ(fileio::loadLE32(b.data() + m.size() - 8), 5u);
    }
}

TEST(UVExtraction, OutputPathsAndOrder) {
    TempDir dir;
    ASSERT_TRUE(makeFolders(dir.path("a.b")));
    MeskBuilder m = cornerMesh({{2.5f, 0.5f}, {10.5f, 0.5f}, {0.5f, 0.5f}});
    std::string mesh = writeMesh(dir, "m.Mesk", m.bytes());
    struct Case {
        std::string out, first;
    } cases[] = {
        {dir.path("out"), dir.path("out0.Mesk")},
        {dir.path("head.tile.Mesk"), dir.path("head.tile0.Mesk")},
        // Only the file name loses its extension; a dot in a folder stays.
        {dir.path("a.b/out"), dir.path("a.b/out0.Mesk")},
        {dir.path("a.b/out.Mesk"), dir.path("a.b/out0.Mesk")},
        {dir.path("a.b/.Mesk"), dir.path("a.b/0.Mesk")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(GetUVsFromMesk(mesh.c_str(), c.out.c_str(), 0), 3.0f);
        EXPECT_TRUE(fileExists(c.first));
    }
    // Files follow the names' byte order: _u10_v0 before _u2_v0.
    EXPECT_EQ(_UVTileStr, (std::vector<std::string>{"_u0_v0", "_u10_v0", "_u2_v0"}));
    Bytes second = readBytes(dir.path("out1.Mesk"));
    const std::size_t face1 = m.chunkPositions()[2] + 16 + 32;
    EXPECT_NEAR(floatAt(second, face1), 0.5f, 1e-6f);  // face 1 (tile 10) corner 0, local u
    EXPECT_EQ(floatAt(second, face1 - 32), -1.0f);     // face 0 lies in tile 2

    // Two index pairs with one mode-2 name: the first face fixes the tile,
    // so the second face's corners are outside it in both splits.
    MeskBuilder shared = cornerMesh({{10.5f, 0.5f}, {0.5f, 1.5f}});
    std::string sharedPath = writeMesh(dir, "shared.Mesk", shared.bytes());
    EXPECT_EQ(GetUVsFromMesk(sharedPath.c_str(), dir.path("s.Mesk").c_str(), 2), 1.0f);
    EXPECT_EQ(_UVTileStr, std::vector<std::string>{"1011"});
    Bytes s0 = readBytes(dir.path("s0.Mesk"));
    const std::size_t uv0 = shared.chunkPositions()[2] + 16;
    EXPECT_NEAR(floatAt(s0, uv0), 0.5f, 1e-6f);
    EXPECT_EQ(floatAt(s0, uv0 + 32), -1.0f);
    EXPECT_EQ(GetUVsFromMeskMASK(sharedPath.c_str(), dir.path("k.Mesk").c_str(), 2), 1.0f);
    Bytes k0 = readBytes(dir.path("k0.Mesk"));
    EXPECT_EQ(Bytes(k0.end() - 24, k0.end() - 16), (Bytes{0, 0, 0, 0, 255, 255, 255, 255}));
}

TEST(UVExtraction, SelectionAndCodes) {
    TempDir dir;
    std::string two = writeMesh(dir, "two.Mesk", cornerMesh({{0.5f, 0.5f}, {1.5f, 0.5f}}).bytes());
    std::string list = dir.path("tiles.txt");
    ASSERT_TRUE(writeText(list, "1002\n"));
    std::string m1;
    // Mode 2 with a selection of 1002 only: one file for tile 1002.
    EXPECT_EQ(callExport("setUVtilesOutput", list, 0), 0.0f);
    for (const char* fn : {"getUVs", "getUVsMask"}) {
        SCOPED_TRACE(fn);
        EXPECT_EQ(callPath(fn, two, 2.5, dir.path(std::string(fn) + ".Mesk")), 1.0f);
        EXPECT_TRUE(fileExists(dir.path(std::string(fn) + "0.Mesk")));
        EXPECT_FALSE(fileExists(dir.path(std::string(fn) + "1.Mesk")));
        m1 = "old";
        EXPECT_EQ(callExport("getUVString", nullptr, 0, &m1), 0.0f);
        EXPECT_EQ(m1, "1002");
    }
    ASSERT_TRUE(writeText(list, "1005\n"));
    EXPECT_EQ(callExport("setUVtilesOutput", list, 0), 0.0f);
    EXPECT_EQ(callPath("getUVs", two, 2, dir.path("none.Mesk")), 0.0f);  // nothing selected: no file
    EXPECT_FALSE(fileExists(dir.path("none0.Mesk")));
    callExport("clearUVtilesOutput", nullptr, 0);

    Bytes verticesOnly = MeskBuilder().vertices({{0, 0, 0}}).endBlock().bytes();
    Bytes noFaces = MeskBuilder().vertices({{0, 0, 0}}).uvs({{0.5f, 0.5f}}).endBlock().bytes();
    Bytes noUV = MeskBuilder().vertices({{0, 0, 0}}).faces({{0, 0, 0, -1}}).endBlock().bytes();
    Bytes fewerUVs =
        MeskBuilder().vertices({{0, 0, 0}}).faces({{0, 0, 0, -1}, {0, 0, 0, 0}}).uvs({{0.5f, 0.5f}}).endBlock().bytes();
    Bytes uvFirst = MeskBuilder().uvs({{0.5f, 0.5f}}).vertices({{0, 0, 0}}).faces({{0, 0, 0, -1}}).endBlock().bytes();
    Bytes hugeVertices = MeskBuilder()
                             .chunk(kMeskVertexTag, 16, 0xFFFFFFFFu, {})
                             .faces({{0, 0, 0, -1}})
                             .uvs({{0.5f, 0.5f}})
                             .endBlock()
                             .bytes();
    Bytes badIndices = MeskBuilder()
                           .vertices({{0, 0, 0}, {1, 0, 0}})
                           .faces({{-5, 1, 99, INT32_MAX}})
                           .uvs({{0.5f, 0.5f}})
                           .endBlock()
                           .bytes();
    struct Case {
        const char* name;
        Bytes image;
        float uvs, mask;
    } cases[] = {
        {"empty file", {}, -18, -18},
        {"vertices only", verticesOnly, -18, -19},
        {"no face chunk", noFaces, 1, -19},
        {"no UV chunk", noUV, -18, -18},
        {"fewer UVs than faces", fewerUVs, 1, -18},
        {"UV chunk before the faces", uvFirst, 1, -18},
        {"vertex count past the image", hugeVertices, 1, -18},
        {"indices outside the vertex range", badIndices, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = writeMesh(dir, "bad.Mesk", c.image);
        EXPECT_EQ(callPath("getUVs", p, 0, dir.path("bu.Mesk")), c.uvs);
        EXPECT_EQ(callPath("getUVsMask", p, 0, dir.path("bm.Mesk")), c.mask);
    }
    Bytes masked = readBytes(dir.path("bm0.Mesk"));
    ASSERT_EQ(masked.size(), badIndices.size() + 2 + 16);
    EXPECT_EQ(masked[masked.size() - 18], 255);  // vertex 0: not named by a valid index
    EXPECT_EQ(masked[masked.size() - 17], 0);    // vertex 1

    // Refusals leave the tile names alone; a missing source empties them.
    EXPECT_EQ(callPath("getUVs", two, 0, dir.path("t.Mesk")), 2.0f);
    EXPECT_EQ(callPath("getUVs", nullptr, 0, dir.path("t.Mesk")), -9.0f);
    EXPECT_EQ(callExport("getUVsMask", two.c_str(), 0, nullptr), -9.0f);
    m1 = "old";
    EXPECT_EQ(callExport("getUVString", nullptr, 1, &m1), 0.0f);
    EXPECT_EQ(m1, "_u1_v0");
    EXPECT_EQ(callPath("getUVs", dir.path("missing.Mesk"), 0, dir.path("t.Mesk")), -1760.0f);
    EXPECT_EQ(callPath("getUVsMask", dir.path("missing.Mesk"), 0, dir.path("t.Mesk")), -1760.0f);
    m1 = "old";
    EXPECT_EQ(callExport("getUVString", nullptr, 0, &m1), 0.0f);
    EXPECT_EQ(m1, "old");

    // A tile file that cannot be created: 1501 + its index; earlier files stay named.
    EXPECT_EQ(callPath("getUVs", two, 0, dir.path("no/such/t.Mesk")), 1501.0f);
    ASSERT_TRUE(makeFolders(dir.path("blocked1.Mesk")));
    for (const char* fn : {"getUVs", "getUVsMask"}) {
        SCOPED_TRACE(fn);
        EXPECT_EQ(callPath(fn, two, 0, dir.path("blocked.Mesk")), 1502.0f);
        m1 = "old";
        EXPECT_EQ(callExport("getUVString", nullptr, 0, &m1), 0.0f);
        EXPECT_EQ(m1, "_u0_v0");
        m1 = "old";
        EXPECT_EQ(callExport("getUVString", nullptr, 1, &m1), 0.0f);
        EXPECT_EQ(m1, "old");
    }
}

TEST(UVExtraction, TileNameList) {
    TempDir dir;
    std::string mesh = writeMesh(dir, "m.Mesk", cornerMesh({{0.5f, 0.5f}, {1.5f, 2.5f}, {-0.5f, 0.5f}}).bytes());
    EXPECT_EQ(callPath("getUVs", mesh, 1, dir.path("t.Mesk")), 3.0f);
    struct Case {
        double index;
        int size;
        const char* mem1;
    } cases[] = {
        {0, 4096, "_u0_v1"}, {1, 4096, "_u1_v1"}, {2.7, 4096, "_u2_v3"}, {-0.5, 4096, "_u0_v1"},
        {3, 4096, "old"},    {-1, 4096, "old"},   {1e12, 4096, "old"},   {1, 7, "_u1_v1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        std::string m1 = "old";
        EXPECT_EQ(callExport("getUVString", nullptr, c.index, &m1, c.size), 0.0f);
        EXPECT_EQ(m1, c.mem1);
    }
    std::string m1 = "old";
    EXPECT_EQ(callExport("getUVString", nullptr, 1, &m1, 6), -9003.0f);
    EXPECT_EQ(m1, "old");
    EXPECT_EQ(callExport("getUVString", nullptr, 0, nullptr), 0.0f);
    EXPECT_EQ(callExport("clearUVString", nullptr, 0), 0.0f);
    EXPECT_EQ(callExport("getUVString", nullptr, 0, &m1), 0.0f);
    EXPECT_EQ(m1, "old");
}

TEST(Polygroups, CountsDistinctNumbers) {
    TempDir dir;
    Bytes cut = exampleMesk().bytes();
    cut.resize(209);
    struct Case {
        const char* name;
        Bytes image;
        float result;
    } cases[] = {
        {"3 3 7 -2", MeskBuilder().groups({3, 3, 7, -2}).endBlock().bytes(), 3},
        {"count 0", MeskBuilder().groups({}).bytes(), 0},
        {"extremes", MeskBuilder().groups({-32768, 32767, -1, 0, -1}).bytes(), 4},
        {"behind a zero-size chunk", MeskBuilder().chunk(5, 0, 9, {}).groups({1, 2}).bytes(), 2},
        {"example file", exampleMesk().bytes(), 1},
        {"elements cut short", cut, -18},
        {"no polygroup chunk", MeskBuilder().vertices({{0, 0, 0}}).bytes(), -18},
        {"empty file", {}, -18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(callExport("getUVGroups", writeMesh(dir, "g.Mesk", c.image), 0), c.result);
    }
    EXPECT_EQ(callExport("getUVGroups", dir.path("missing.Mesk"), 0), -17.0f);
    EXPECT_EQ(callExport("getUVGroups", nullptr, 0), -9.0f);
    GridMesh g = gridMesh(2, 2, 24, 5);
    EXPECT_EQ(callExport("getUVGroups", writeMesh(dir, "grid.Mesk", g.build().bytes()), 0), 5.0f);
}

TEST(MeskOperations, TruncatedPrefixesGiveCodes) {
    TempDir dir;
    const Bytes full = exampleMesk().bytes();
    const std::string out = dir.path("p.Mesk");
    for (std::size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        std::string p = writeMesh(dir, "cut.Mesk", Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
        std::optional<std::string> last;
        EXPECT_EQ(GetUVTile(p.c_str(), last, 0), n >= 192 ? 1.0f : -18.0f);
        EXPECT_EQ(GetUVGroup(p.c_str()), n >= 210 ? 1.0f : -18.0f);
        EXPECT_EQ(GetUVsFromMesk(p.c_str(), out.c_str(), 0), n >= 192 ? 1.0f : -18.0f);
        const float mask = n >= 192 ? 1.0f : n >= 144 ? -18.0f : n >= 84 ? -19.0f : -18.0f;
        EXPECT_EQ(GetUVsFromMeskMASK(p.c_str(), out.c_str(), 0), mask);
    }
}

TEST(UVExtraction, GeneratedMeshOverSixTiles) {
    TempDir dir;
    GridMesh g = gridMesh(3, 2, 20, 4);
    MeskBuilder b = g.build();
    std::string mesh = writeMesh(dir, "grid.Mesk", b.bytes());
    std::string m1;
    EXPECT_EQ(callExport("getUVTile", mesh, 2, &m1), 6.0f);
    EXPECT_EQ(m1, "1013");
    EXPECT_EQ(GetUVsFromMeskMASK(mesh.c_str(), dir.path("k.Mesk").c_str(), 2), 6.0f);
    EXPECT_EQ(_UVTileStr, (std::vector<std::string>{"1001", "1002", "1003", "1011", "1012", "1013"}));
    const std::size_t n = g.vertices.size(), perTile = n / 6;
    for (std::size_t t = 0; t < 6; ++t) {
        Bytes k = readBytes(dir.path("k" + std::to_string(t) + ".Mesk"));
        ASSERT_EQ(k.size(), b.size() - 16 + 16 + n + 16);
        const std::uint8_t* mask = k.data() + b.size() + 0;
        // Tile t's own vertices are unmasked, all others masked.
        std::size_t tileOf = t % 3 + 3 * (t / 3);
        for (std::size_t j = 0; j < n; ++j) ASSERT_EQ(mask[j], j / perTile == tileOf ? 0 : 255) << t << " " << j;
    }
    EXPECT_EQ(GetUVsFromMesk(mesh.c_str(), dir.path("u.Mesk").c_str(), 0), 6.0f);
    Bytes u = readBytes(dir.path("u0.Mesk"));
    EXPECT_EQ(u.size(), b.chunkPositions()[3] + 16 + 32 * g.faces.size() + 16);
}
// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.

namespace exporttest {

using Bytes = std::vector<unsigned char>;

// Colour k is the bytes (k, k+1, k+2, 0xEE): blue k, green k+1, red k+2.
std::vector<std::array<std::uint8_t, 4>> patternColours(std::uint32_t n) {
    std::vector<std::array<std::uint8_t, 4>> c;
    for (std::uint32_t k = 0; k < n; ++k)
        c.push_back(
            {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k + 1), static_cast<std::uint8_t>(k + 2), 0xEE});
    return c;
}

// Lines joined with the build's line end, each one ended.
std::string lines(std::initializer_list<std::string> ls) {
    const std::string eol = kWindowsBuild ? "\r\n" : "\n";
    std::string s;
    for (const std::string& l : ls) s += l + eol;
    return s;
}

std::string readText(const std::string& path) {
    Bytes b = readBytes(path);
    return std::string(b.begin(), b.end());
}

const std::string kColourComment =
    "# The following RGB block contains Kelvane Vertex Color (Tintcoat) output as 3 hexadecimal values per "
    "vertex. The vertex color format is RRGGBB with up to 32 entries per RGB line.";

// The colour block for patternColours(n).
std::string colourBlock(std::uint32_t n) {
    const std::string eol = kWindowsBuild ? "\r\n" : "\n";
    std::string s = kColourComment + eol;
    char entry[8];
    for (std::uint32_t k = 0; k < n; ++k) {
        if (k % 32 == 0) s += "#RGB ";
        std::snprintf(entry, sizeof entry, " %02x%02x%02x", (k + 2) & 0xFF, (k + 1) & 0xFF, k & 0xFF);
        s += entry;
        if (k % 32 == 31) s += eol;
    }
    return s + eol + "# End of RGB block" + eol;
}

// A triangle, a quad and a second quad over five vertices.
MeskBuilder smallMesh(std::uint32_t colourCount = 2) {
    MeskBuilder m;
    m.vertices({{{0.5f, 100.0f, -2.25f}},
                {{1.2345e-05f, 1234567.0f, 0.0f}},
                {{-0.0f, 1.0f / 3.0f, 1e10f}},
                {{3, 4, 5}},
                {{6, 7, 8}}})
        .colours(patternColours(colourCount))
        .faces({{{0, 1, 2, -1}}, {{0, 1, 2, 3}}, {{1, 2, 3, 4}}})
        .endBlock();
    return m;
}

const std::string kSmallHeadAndVertices =
    lines({"# File exported by Kelvane plugin", "#Vertex count 5", "#Face count 3", "v 0.5 100 -2.25",
           "v 1.2345e-05 1.23457e+06 0", "v -0 0.333333 1e+10", "v 3 4 5", "v 6 7 8"});

}  // namespace exporttest

using namespace exporttest;

// ---- Vertex colour block -------------------------------------------------------

TEST(ColourBlock, WritesThirtyTwoEntriesToALine) {
    // The count alone decides where lines break and whether an empty line
    // precedes the end line.
    TempDir dir;
    for (std::uint32_t n : {0u, 1u, 31u, 32u, 33u, 64u, 65u}) {
        SCOPED_TRACE(n);
        MeskBuilder m;
        m.colours(patternColours(n)).endBlock();
        ASSERT_TRUE(writeBytes(dir.path("c.Mesk"), m.bytes()));
        std::string out = dir.path("c.txt");
        EXPECT_EQ(ReadVertColorMesk(dir.path("c.Mesk").c_str(), &out[0]), 0.0f);
        EXPECT_EQ(readText(out), colourBlock(n));
    }
}

TEST(ColourBlock, PrintsRedGreenBlueFromBytesTwoOneZero) {
    TempDir dir;
    MeskBuilder m;
    m.colours({{{0xff, 0x80, 0x00, 0x7f}}, {{0x10, 0x20, 0x30, 0x00}}});
    ASSERT_TRUE(writeBytes(dir.path("c.Mesk"), m.bytes()));
    std::string out = dir.path("c.txt");
    EXPECT_EQ(ReadVertColorMesk(dir.path("c.Mesk").c_str(), &out[0]), 0.0f);
    EXPECT_EQ(readText(out), lines({kColourComment, "#RGB  0080ff 302010", "# End of RGB block"}));
}

TEST(ColourBlock, TakesTheFirstChunkWhateverItsTag) {
    // A whole mesh: its vertex chunk's count and coordinates come out as colours.
    TempDir dir;
    MeskBuilder m;
    m.vertices({{{0, 0, 0}}}).colours(patternColours(1)).faces({{{0, 0, 0, -1}}});
    ASSERT_TRUE(writeBytes(dir.path("m.Mesk"), m.bytes()));
    std::string out = dir.path("c.txt");
    EXPECT_EQ(ReadVertColorMesk(dir.path("m.Mesk").c_str(), &out[0]), 0.0f);
    EXPECT_EQ(readText(out), lines({kColourComment, "#RGB  000000", "# End of RGB block"}));
}

TEST(ColourBlock, RefusesWhatItCannotReadOrWrite) {
    TempDir dir;
    std::string out = dir.path("c.txt");
    EXPECT_EQ(ReadVertColorMesk(dir.path("missing.Mesk").c_str(), &out[0]), -1760.0f);
    EXPECT_FALSE(fileExists(out));
    // Every cut of a valid file short of its last colour is refused, and no
    // output appears.
    MeskBuilder m;
    m.colours(patternColours(3));
    for (std::size_t len = 0; len < m.bytes().size(); ++len) {
        SCOPED_TRACE(len);
        ASSERT_TRUE(writeBytes(dir.path("cut.Mesk"), Bytes(m.bytes().begin(), m.bytes().begin() + len)));
        EXPECT_EQ(ReadVertColorMesk(dir.path("cut.Mesk").c_str(), &out[0]), kMeskTruncated);
        EXPECT_FALSE(fileExists(out));
    }
    // A count far beyond the file.
    MeskBuilder huge;
    huge.chunk(35001, 0xFFFFFFFFu, Bytes(8, 1));
    ASSERT_TRUE(writeBytes(dir.path("huge.Mesk"), huge.bytes()));
    EXPECT_EQ(ReadVertColorMesk(dir.path("huge.Mesk").c_str(), &out[0]), kMeskTruncated);
    ASSERT_TRUE(writeBytes(dir.path("ok.Mesk"), m.bytes()));
    std::string badOut = dir.path("no/such/folder/c.txt");
    EXPECT_EQ(ReadVertColorMesk(dir.path("ok.Mesk").c_str(), &badOut[0]), -2.0f);
}

// ---- Face IDs ------------------------------------------------------------------

TEST(FaceIDs, CountsRefinedFacesPerCoarseFace) {
    TempDir dir;
    // A fourth index of -1 is a triangle; 0 and positive ones are quads.
    // The tag of the chunk at 32 is not looked at.
    MeskBuilder m;
    m.faces({{{0, 1, 2, -1}}, {{0, 1, 2, 0}}, {{9, 9, 9, 7}}, {{0, 1, 2, -5}}});
    Bytes coarse = m.bytes();
    coarse[32] = 0;
    ASSERT_TRUE(writeBytes(dir.path("coarse.Mesk"), coarse));
    struct Case {
        double levels;
        std::uint32_t triangle, quad;
    } cases[] = {{1, 3, 4}, {2, 12, 16}, {1.5, 6, 8}, {3, 48, 64}, {0, 0, 0}, {-7, 0, 0}, {15, 3u << 28, 1u << 30}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.levels);
        EXPECT_EQ(GetFaceIDsMesk(dir.path("coarse.Mesk").c_str(), c.levels), 4.0f);
        EXPECT_EQ(_faceID, (std::vector<std::uint32_t>{c.triangle, c.quad, c.quad, c.triangle}));
    }
}

TEST(FaceIDs, EveryFailureLeavesAnEmptyTable) {
    TempDir dir;
    MeskBuilder good;
    good.faces({{{0, 1, 2, 3}}, {{0, 1, 2, -1}}});
    ASSERT_TRUE(writeBytes(dir.path("good.Mesk"), good.bytes()));
    MeskBuilder none;
    none.faces({});
    ASSERT_TRUE(writeBytes(dir.path("none.Mesk"), none.bytes()));
    MeskBuilder huge;
    huge.chunk(20001, 0x10000000u, Bytes(32, 0));
    ASSERT_TRUE(writeBytes(dir.path("huge.Mesk"), huge.bytes()));
    ASSERT_TRUE(writeBytes(dir.path("cut.Mesk"), Bytes(good.bytes().begin(), good.bytes().end() - 1)));
    ASSERT_TRUE(writeBytes(dir.path("short.Mesk"), Bytes(43, 0)));
    struct Case {
        const char* file;
        double levels;
        float result;
    } cases[] = {
        {"none.Mesk", 1, 0.0f},
        {"missing.Mesk", 1, -1760.0f},
        {"huge.Mesk", 1, kMeskTruncated},
        {"cut.Mesk", 1, kMeskTruncated},
        {"short.Mesk", 1, kMeskTruncated},
        {"good.Mesk", 15.5, -9.0f},
        {"good.Mesk", 16, -9.0f},
        {"good.Mesk", std::nan(""), -9.0f},
        {"good.Mesk", std::numeric_limits<double>::infinity(), -9.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        SCOPED_TRACE(c.levels);
        ASSERT_EQ(GetFaceIDsMesk(dir.path("good.Mesk").c_str(), 1), 2.0f);
        EXPECT_EQ(GetFaceIDsMesk(dir.path(c.file).c_str(), c.levels), c.result);
        EXPECT_TRUE(_faceID.empty());
    }
}

// ---- OBJ writer ----------------------------------------------------------------

namespace exporttest {

struct ObjRun {
    float result;
    std::string text;
    bool exists;
    std::vector<std::uint32_t> tableAfter;
};

// Sets the table, writes mesh m and runs the writer into a fresh OBJ path.
ObjRun runObj(TempDir& dir, const Bytes& mesh, std::vector<std::uint32_t> table) {
    static int serial = 0;
    std::string meshPath = dir.path("in" + std::to_string(serial) + ".Mesk");
    std::string obj = dir.path("out" + std::to_string(serial++) + ".obj");
    EXPECT_TRUE(writeBytes(meshPath, mesh));
    _faceID = std::move(table);
    ObjRun r;
    r.result = writeOBJfromMesk(meshPath.c_str(), &obj[0]);
    r.exists = fileExists(obj);
    r.text = r.exists ? readText(obj) : std::string();
    r.tableAfter = _faceID;
    return r;
}

}  // namespace exporttest

TEST(ObjWriter, WritesHeaderVerticesColoursAndFaceGroups) {
    TempDir dir;
    ObjRun r = runObj(dir, smallMesh().bytes(), {1, 2});
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_EQ(r.text, kSmallHeadAndVertices + colourBlock(2) +
                          lines({"#FaceID 1", "f 1 2 3 ", "#FaceID 2", "f 1 2 3 4", "f 2 3 4 5"}));
    EXPECT_TRUE(r.tableAfter.empty());
    // A second export needs a fresh table.
    std::string obj = dir.path("again.obj");
    EXPECT_EQ(writeOBJfromMesk(dir.path("in0.Mesk").c_str(), &obj[0]), -18.0f);
    EXPECT_FALSE(fileExists(obj));
}

TEST(ObjWriter, GroupsFacesAsTheTableSays) {
    const std::string head = kSmallHeadAndVertices + colourBlock(2);
    struct Case {
        const char* what;
        std::vector<std::uint32_t> table;
        std::string groups;
    } cases[] = {
        {"exact", {3}, lines({"#FaceID 1", "f 1 2 3 ", "f 1 2 3 4", "f 2 3 4 5"})},
        {"zero entries get their line",
         {0, 1, 0, 2},
         lines({"#FaceID 1", "#FaceID 2", "f 1 2 3 ", "#FaceID 3", "#FaceID 4", "f 1 2 3 4", "f 2 3 4 5"})},
        {"more entries than faces stop when the faces run out",
         {1, 1, 1, 1, 1},
         lines({"#FaceID 1", "f 1 2 3 ", "#FaceID 2", "f 1 2 3 4", "#FaceID 3", "f 2 3 4 5"})},
        {"fewer entries leave faces out", {1}, lines({"#FaceID 1", "f 1 2 3 "})},
        {"zero entries behind the last face are not written",
         {3, 0, 0},
         lines({"#FaceID 1", "f 1 2 3 ", "f 1 2 3 4", "f 2 3 4 5"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ObjRun r = runObj(dir, smallMesh().bytes(), c.table);
        EXPECT_EQ(r.result, 0.0f);
        EXPECT_EQ(r.text, head + c.groups);
        EXPECT_TRUE(r.tableAfter.empty());
    }
}

TEST(ObjWriter, HandlesEmptyChunks) {
    TempDir dir;
    // No vertices, no colours, no faces: the colour chunk sits at 48.
    MeskBuilder empty;
    empty.vertices({}).colours(patternColours(0)).faces({}).endBlock();
    ObjRun r = runObj(dir, empty.bytes(), {0, 0});
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_EQ(r.text,
              lines({"# File exported by Kelvane plugin", "#Vertex count 0", "#Face count 0"}) + colourBlock(0));
    EXPECT_TRUE(r.tableAfter.empty());
    // Thirty-three colours: a full line and a line with one entry.
    r = runObj(dir, smallMesh(33).bytes(), {3});
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_EQ(r.text,
              kSmallHeadAndVertices + colourBlock(33) + lines({"#FaceID 1", "f 1 2 3 ", "f 1 2 3 4", "f 2 3 4 5"}));
}

TEST(ObjWriter, PrintsIndicesAsUnsignedNumbers) {
    TempDir dir;
    MeskBuilder m;
    m.vertices({}).colours(patternColours(0)).faces({{{-1, 0x7FFFFFFF, -2, 0x7FFFFFFE}}, {{-7, 1, 2, -2}}});
    ObjRun r = runObj(dir, m.bytes(), {2});
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_EQ(r.text, lines({"# File exported by Kelvane plugin", "#Vertex count 0", "#Face count 2"}) +
                          colourBlock(0) +
                          lines({"#FaceID 1", "f 0 2147483648 4294967295 2147483647", "f 4294967290 2 3 "}));
}

TEST(ObjWriter, HeaderFaceCountFollowsTheSizeFields) {
    // The header count is read from the third chunk reached by the size
    // fields, not from the face chunk found behind the colour elements.
    TempDir dir;
    Bytes m = smallMesh().bytes();
    // Grow the colour chunk's size field (at 108 + 4) by 16: the "third
    // chunk" is then read 16 bytes into the face chunk, and its count field
    // is face 0's third index, 2.
    m[112] += 16;
    ObjRun r = runObj(dir, m, {3});
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_EQ(r.text.substr(0, r.text.find("v ")),
              lines({"# File exported by Kelvane plugin", "#Vertex count 5", "#Face count 2"}));
}

// A chunk that is not where it must be fails the export with its tag, and
// an OBJ file already there stays as it was: the text appears whole or not
// at all.
TEST(ObjWriter, MisplacedChunksLeaveTheOutputAsItWas) {
    MeskBuilder noColours;  // the face chunk directly behind the vertices
    noColours.vertices({{{1, 2, 3}}}).faces({{{0, 0, 0, -1}}}).endBlock();
    MeskBuilder noFaces;  // the UV chunk behind the colours
    noFaces.vertices({{{1, 2, 3}}}).colours(patternColours(1)).chunk(25001, 1, Bytes(32, 0)).faces({{{0, 0, 0, -1}}});
    MeskBuilder zeroTag;  // the end block where the colour chunk should be
    zeroTag.vertices({{{1, 2, 3}}}).endBlock().chunk(0, 0, {});
    MeskBuilder notVertices;
    notVertices.colours(patternColours(1)).vertices({{{1, 2, 3}}});
    struct Case {
        const char* what;
        const MeskBuilder& mesh;
        float result;
    } cases[] = {
        {"face chunk behind the vertices", noColours, 20001.0f},
        {"UV chunk behind the colours", noFaces, 25001.0f},
        {"tag 0 is not success", zeroTag, kMisplacedZeroTag},
        {"colour chunk first", notVertices, 35001.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ObjRun r = runObj(dir, c.mesh.bytes(), {1, 2});
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.tableAfter, (std::vector<std::uint32_t>{1, 2}));
        EXPECT_FALSE(r.exists);
        const std::string mesh = dir.path("m2.Mesk"), obj = dir.path("keep.obj");
        ASSERT_TRUE(writeBytes(mesh, c.mesh.bytes()));
        ASSERT_TRUE(writeText(obj, "old"));
        ASSERT_EQ(GetFaceIDsMesk(mesh.c_str(), 1), 1.0f);
        std::string o = obj;
        EXPECT_EQ(writeOBJfromMesk(mesh.c_str(), &o[0]), c.result);
        EXPECT_EQ(readBytes(obj), (Bytes{'o', 'l', 'd'}));
    }
}

TEST(ObjWriter, RefusesBeforeOpeningTheOutput) {
    TempDir dir;
    std::string obj = dir.path("keep.obj");
    ASSERT_TRUE(writeText(obj, "old"));
    std::string mesh = dir.path("m.Mesk");
    ASSERT_TRUE(writeBytes(mesh, smallMesh().bytes()));
    // Empty table: nothing is opened, not even a missing mesh.
    _faceID.clear();
    EXPECT_EQ(writeOBJfromMesk(dir.path("missing.Mesk").c_str(), &obj[0]), -18.0f);
    _faceID = {3};
    EXPECT_EQ(writeOBJfromMesk(dir.path("missing.Mesk").c_str(), &obj[0]), -1760.0f);
    // A table asking for more faces than the chunk holds keeps the table
    // and the old file.
    _faceID = {2, 2};
    EXPECT_EQ(writeOBJfromMesk(mesh.c_str(), &obj[0]), kFaceIDsPastFaces);
    EXPECT_EQ(_faceID, (std::vector<std::uint32_t>{2, 2}));
    _faceID = {4};
    EXPECT_EQ(writeOBJfromMesk(mesh.c_str(), &obj[0]), kFaceIDsPastFaces);
    EXPECT_EQ(readText(obj), "old");
    std::string badObj = dir.path("no/such/folder/x.obj");
    _faceID = {3};
    EXPECT_EQ(writeOBJfromMesk(mesh.c_str(), &badObj[0]), -2.0f);
    EXPECT_EQ(_faceID, (std::vector<std::uint32_t>{3}));
}

TEST(ObjWriter, NeverReadsPastTheFile) {
    // Every cut of a valid mesh, and a face chunk whose size field reaches
    // past the end, give a code; no cut file produces an OBJ file.
    TempDir dir;
    MeskBuilder m;
    m.vertices({{{1, 2, 3}}, {{4, 5, 6}}, {{7, 8, 9}}})
        .colours(patternColours(3))
        .faces({{{0, 1, 2, -1}}, {{2, 1, 0, -1}}});
    for (std::size_t len = 0; len < m.bytes().size(); ++len) {
        SCOPED_TRACE(len);
        ObjRun r = runObj(dir, Bytes(m.bytes().begin(), m.bytes().begin() + len), {1, 1});
        EXPECT_LT(r.result, 0.0f);
        EXPECT_FALSE(r.exists);
        EXPECT_EQ(r.tableAfter, (std::vector<std::uint32_t>{1, 1}));
    }
    // Counts far beyond the file; a face chunk size past the end only
    // matters when a group reaches past the end.
    struct Case {
        std::size_t at;
        std::uint32_t value;
        std::vector<std::uint32_t> table;
        float result;
    } cases[] = {{40, 0x20000000u, {1, 1}, kMeskTruncated},         {40, 0xFFFFFFFFu, {1, 1}, kMeskTruncated},
                 {36, 0xFFFFFFF0u, {1, 1}, kMeskTruncated},         {84 + 8, 0x40000000u, {1, 1}, kMeskTruncated},
                 {112 + 4, 0xFFFFFFFFu, {1, 1, 1}, kMeskTruncated}, {112 + 4, 0xFFFFFFFFu, {1, 1}, 0.0f},
                 {112 + 4, 40u, {1, 1}, kFaceIDsPastFaces}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at);
        Bytes b = m.bytes();
        for (int i = 0; i < 4; ++i) b[c.at + i] = static_cast<unsigned char>(c.value >> (8 * i));
        ObjRun r = runObj(dir, b, c.table);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.exists, c.result == 0.0f);
    }
}

// ---- Crease merge --------------------------------------------------------------

namespace exporttest {
Bytes counting(std::size_t n, unsigned char start) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(start + i);
    return b;
}
}  // namespace exporttest

TEST(CreaseMerge, JoinsBothFilesWithoutTheirLastFourteenBytes) {
    struct Case {
        std::size_t target, addition;
    } cases[] = {{100, 50}, {14, 14}, {14, 20}, {30, 14}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        SCOPED_TRACE(c.addition);
        TempDir dir;
        std::string target = dir.path("target.Mesk"), addition = dir.path("crease.bin");
        Bytes t = counting(c.target, 0), a = counting(c.addition, 0x80);
        ASSERT_TRUE(writeBytes(target, t));
        ASSERT_TRUE(writeBytes(addition, a));
        EXPECT_EQ(mergeFiles(addition.c_str(), &target[0]), 0.0f);
        Bytes want(t.begin(), t.end() - 14);
        want.insert(want.end(), a.begin(), a.end() - 14);
        EXPECT_EQ(readBytes(target), want);
        EXPECT_EQ(readBytes(addition), a);
    }
    // A file merged with itself comes out doubled.
    TempDir dir;
    std::string self = dir.path("self.Mesk");
    Bytes s = counting(40, 3);
    ASSERT_TRUE(writeBytes(self, s));
    EXPECT_EQ(mergeFiles(self.c_str(), &self[0]), 0.0f);
    Bytes want(s.begin(), s.end() - 14);
    want.insert(want.end(), s.begin(), s.end() - 14);
    EXPECT_EQ(readBytes(self), want);
}

TEST(CreaseMerge, FailuresLeaveBothFilesAsTheyWere) {
    TempDir dir;
    const Bytes shortFile = counting(13, 1), good = counting(20, 9);
    ASSERT_TRUE(writeBytes(dir.path("short.bin"), shortFile));
    ASSERT_TRUE(writeBytes(dir.path("empty.bin"), {}));
    struct Case {
        const char *addition, *target;
        float result;
    } cases[] = {
        {"good.bin", "missing.bin", -2760.0f},           {"missing.bin", "good.bin", -1760.0f},
        {"good.bin", "short.bin", kCreaseTargetShort},   {"short.bin", "good.bin", kCreaseAdditionShort},
        {"empty.bin", "good.bin", kCreaseAdditionShort}, {"good.bin", "empty.bin", kCreaseTargetShort},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.addition);
        SCOPED_TRACE(c.target);
        ASSERT_TRUE(writeBytes(dir.path("good.bin"), good));
        std::string target = dir.path(c.target);
        EXPECT_EQ(mergeFiles(dir.path(c.addition).c_str(), &target[0]), c.result);
        EXPECT_EQ(readBytes(dir.path("good.bin")), good);
        EXPECT_EQ(readBytes(dir.path("short.bin")), shortFile);
        EXPECT_TRUE(readBytes(dir.path("empty.bin")).empty());
        EXPECT_FALSE(fileExists(dir.path("missing.bin")));
    }
}

// ---- Exports -------------------------------------------------------------------

TEST(MeshExportExports, RefuseMissingArguments) {
    struct Case {
        const char* name;
        bool needsMem1;
        bool windowsOnly;
    } cases[] = {
        {"mergeCrease", true, false}, {"getFaceIDs", false, true}, {"mesktoOBJ", true, true}, {"outMRGB", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hasExport(c.name), kWindowsBuild || !c.windowsOnly);
        if (!hasExport(c.name)) continue;
        std::string mem1 = "x.out";
        EXPECT_EQ(callExport(c.name, nullptr, 1, &mem1), -9.0f);
        if (c.needsMem1) {
            EXPECT_EQ(callExport(c.name, "in.Mesk", 1, nullptr), -9.0f);
        }
    }
}

TEST(MeshExportExports, RunTheObjSequenceThroughTheLibrary) {
    // The host's sequence: face IDs of the coarse mesh, then the refined
    // mesh's OBJ text (Windows build only: the POSIX build does not export
    // these), and the crease merge in both builds.
    TempDir dir;
    std::string target = dir.path("t.Mesk");
    ASSERT_TRUE(writeBytes(target, counting(30, 0)));
    ASSERT_TRUE(writeBytes(dir.path("c.bin"), counting(20, 0)));
    EXPECT_EQ(callExport("mergeCrease", dir.path("c.bin"), 0, &target), 0.0f);
    EXPECT_EQ(readBytes(target).size(), 22u);
    if (!kWindowsBuild) return;

    MeskBuilder coarse;
    coarse.faces({{{0, 1, 2, -1}}});
    ASSERT_TRUE(writeBytes(dir.path("coarse.Mesk"), coarse.bytes()));
    ASSERT_TRUE(writeBytes(dir.path("fine.Mesk"), smallMesh().bytes()));
    EXPECT_EQ(callExport("getFaceIDs", dir.path("coarse.Mesk"), 1), 1.0f);
    std::string obj = dir.path("fine.obj");
    // The table says 3 faces: exactly those of the refined mesh.
    EXPECT_EQ(callExport("mesktoOBJ", dir.path("fine.Mesk"), 0, &obj), 0.0f);
    EXPECT_EQ(readText(obj),
              kSmallHeadAndVertices + colourBlock(2) + lines({"#FaceID 1", "f 1 2 3 ", "f 1 2 3 4", "f 2 3 4 5"}));
    EXPECT_EQ(callExport("mesktoOBJ", dir.path("fine.Mesk"), 0, &obj), -18.0f);
    std::string colours = dir.path("colours.txt");
    ASSERT_TRUE(writeBytes(dir.path("c.Mesk"), MeskBuilder().colours(patternColours(3)).bytes()));
    EXPECT_EQ(callExport("outMRGB", dir.path("c.Mesk"), 0, &colours), 0.0f);
    EXPECT_EQ(readText(colours), colourBlock(3));
}

namespace exporttest {

// The OBJ text as a plain stream-formatting writer produces it, for meshes
// whose chunks are well placed and whose table fits the faces.
std::string referenceObj(const std::vector<std::array<float, 3>>& vs,
                         const std::vector<std::array<std::uint8_t, 4>>& cs,
                         const std::vector<std::array<std::int32_t, 4>>& fs, const std::vector<std::uint32_t>& table) {
    const char* eol = kWindowsBuild ? "\r\n" : "\n";
    std::ostringstream o;
    o << "# File exported by Kelvane plugin" << eol << "#Vertex count " << vs.size() << eol << "#Face count "
      << fs.size() << eol;
    for (const auto& v : vs) o << "v " << v[0] << " " << v[1] << " " << v[2] << eol;
    o << kColourComment << eol;
    char hex[8];
    for (std::size_t k = 0; k < cs.size(); ++k) {
        if (k % 32 == 0) o << "#RGB ";
        std::snprintf(hex, sizeof hex, " %02x%02x%02x", cs[k][2], cs[k][1], cs[k][0]);
        o << hex;
        if (k % 32 == 31) o << eol;
    }
    o << eol << "# End of RGB block" << eol;
    std::size_t pos = 0;
    for (std::size_t n = 1; n <= table.size() && pos < fs.size(); ++n) {
        o << "#FaceID " << n << eol;
        for (std::uint32_t k = 0; k < table[n - 1]; ++k, ++pos) {
            const auto& f = fs[pos];
            o << "f " << f[0] + 1u << " " << f[1] + 1u << " " << f[2] + 1u << " ";
            if (f[3] >= 0) o << f[3] + 1u;
            o << eol;
        }
    }
    return o.str();
}

}  // namespace exporttest

TEST(ObjWriter, MatchesAStreamWriterOnARandomMesh) {
    std::mt19937 rng(20091);
    // Vertices, colours and faces each fill more than one block of reading.
    std::vector<std::array<float, 3>> vs(270000);
    std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
    std::uniform_int_distribution<int> scale(-12, 9);
    for (auto& v : vs)
        for (float& c : v) c = coord(rng) * std::pow(10.0f, static_cast<float>(scale(rng)));
    std::vector<std::array<std::uint8_t, 4>> cs(vs.size());
    for (auto& c : cs)
        for (auto& b : c) b = static_cast<std::uint8_t>(rng());
    std::vector<std::array<std::int32_t, 4>> fs;
    std::vector<std::uint32_t> table;
    std::uniform_int_distribution<std::int32_t> vertex(0, static_cast<std::int32_t>(vs.size() - 1));
    while (fs.size() < 70000) {
        const bool triangle = rng() % 5 == 0;
        table.push_back(triangle ? 12u : 16u);
        for (std::uint32_t k = 0; k < table.back(); ++k)
            fs.push_back({vertex(rng), vertex(rng), vertex(rng), rng() % 3 == 0 ? -1 : vertex(rng)});
    }
    MeskBuilder m;
    m.vertices(vs).colours(cs).faces(fs).endBlock();
    TempDir dir;
    ObjRun r = runObj(dir, m.bytes(), table);
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_TRUE(r.text == referenceObj(vs, cs, fs, table)) << "the OBJ text differs from the stream writer's";
    // Groups far longer than the writer's rounds, empty ones among them,
    // and entries behind the last face that are not written.
    const std::uint32_t total = static_cast<std::uint32_t>(fs.size());
    const std::vector<std::uint32_t> uneven = {0, 0, 40000, 0, 1, 0, total - 40001, 0, 7, 0};
    r = runObj(dir, m.bytes(), uneven);
    EXPECT_EQ(r.result, 0.0f);
    EXPECT_TRUE(r.text == referenceObj(vs, cs, fs, uneven)) << "the OBJ text differs from the stream writer's";
}

// ---------------------------------------------------------------------------
// The fast paths of the mesh operations against straightforward versions of
// the same rules, over randomized meshes with awkward coordinates.

namespace fastpath {

using Bytes = std::vector<std::uint8_t>;

std::int32_t refTrunc(float t) {
    if (t != t) return 0;
    if (t >= 2147483648.0f) return INT32_MAX;
    if (t < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(t);
}
std::int32_t refIndex(float w) { return refTrunc(w < 0.0f ? w - 1.0f : w); }
// A NaN gives the quiet NaN of its payload, whatever the compiler folds.
void refLocal(float w, std::int32_t& index, float& local) {
    float t = w < 0.0f ? w - 1.0f : w;
    index = refTrunc(t);
    float f = t - static_cast<float>(index);
    local = f < 0.0f ? f + 1.0f : f;
    if (local != local) {
        std::uint32_t bits;
        std::memcpy(&bits, &local, sizeof bits);
        bits |= 0x00400000u;
        std::memcpy(&local, &bits, sizeof bits);
    }
}

std::uint32_t u32(const Bytes& b, std::size_t at) { return fileio::loadLE32(b.data() + at); }
float f32(const Bytes& b, std::size_t at) { return fileio::loadLEf32(b.data() + at); }

// The chunk scan written out plainly: position of the first chunk with the
// tag whose elements fit, or 0.
std::size_t refFind(const Bytes& b, std::uint32_t tag, std::size_t elem, std::size_t pos = 32) {
    while (pos <= b.size() && b.size() - pos >= 16) {
        const std::uint32_t size = u32(b, pos + 4);
        if (u32(b, pos) == tag)
            return static_cast<std::uint64_t>(u32(b, pos + 8)) * elem <= b.size() - pos - 16 ? pos : 0;
        pos += size ? size : 16;
    }
    return 0;
}

struct RefTile {
    std::string name;
    std::int32_t u, v;
};

// Tiles in name order, each with the pair of the first face naming it.
std::vector<RefTile> refTiles(const Bytes& b, std::size_t uvPos, int mode, std::string& last) {
    std::set<std::string> seen;
    std::vector<RefTile> tiles;
    last.clear();
    const std::uint32_t count = u32(b, uvPos + 8);
    for (std::uint32_t f = 0; f < count; ++f) {
        const std::size_t at = uvPos + 16 + 32 * std::size_t{f};
        const std::int32_t U = refIndex(f32(b, at)), V = refIndex(f32(b, at + 4));
        last = uvTileName(U, V, mode);
        if (mode == 2 && !_UVtilesOut.empty() && !_UVtilesOut.count(last)) continue;
        if (seen.insert(last).second) tiles.push_back({last, U, V});
    }
    std::sort(tiles.begin(), tiles.end(), [](const RefTile& a, const RefTile& c) { return a.name < c.name; });
    return tiles;
}

Bytes refUVFile(const Bytes& b, std::size_t uvPos, const RefTile& t) {
    Bytes out(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(uvPos + 16));
    const std::uint32_t count = u32(b, uvPos + 8);
    for (std::size_t k = 0; k < 4 * std::size_t{count}; ++k) {
        std::int32_t iu, iv;
        float lu, lv;
        refLocal(f32(b, uvPos + 16 + 8 * k), iu, lu);
        refLocal(f32(b, uvPos + 20 + 8 * k), iv, lv);
        if (iu != t.u || iv != t.v) lu = lv = -1.0f;
        MeskBuilder::putFloat(out, lu);
        MeskBuilder::putFloat(out, lv);
    }
    out.resize(out.size() + 16, 0);
    return out;
}

Bytes refMaskFile(const Bytes& b, std::size_t vPos, std::size_t fPos, std::size_t uvPos, const RefTile& t) {
    Bytes out(b.begin(), b.end() - 16);
    const std::uint32_t n = u32(b, vPos + 8), count = u32(b, uvPos + 8);
    Bytes mask(n, 255);
    for (std::uint32_t f = 0; f < count; ++f) {
        const std::size_t at = uvPos + 16 + 32 * std::size_t{f};
        if (refIndex(f32(b, at)) != t.u || refIndex(f32(b, at + 4)) != t.v) continue;
        const std::size_t q = fPos + 16 + 16 * std::size_t{f};
        const int corners = static_cast<std::int32_t>(u32(b, q + 12)) < 0 ? 3 : 4;
        for (int k = 0; k < corners; ++k) {
            const std::int32_t j = static_cast<std::int32_t>(u32(b, q + 4 * std::size_t(k)));
            if (j >= 0 && static_cast<std::uint32_t>(j) < n) mask[static_cast<std::size_t>(j)] = 0;
        }
    }
    MeskBuilder::put32(out, kMeskMaskTag);
    MeskBuilder::put32(out, n + 16);
    MeskBuilder::put32(out, n);
    MeskBuilder::put32(out, 0);
    out.insert(out.end(), mask.begin(), mask.end());
    out.resize(out.size() + 16, 0);
    return out;
}

float bitsFloat(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Coordinates that sit on or near the edges of the rules: tile lines, the
// int32 range, NaN, infinities, denormals, and raw bit patterns.
float awkward(std::mt19937& rng) {
    static const float values[] = {
        std::nanf(""),  -std::nanf(""), INFINITY,      -INFINITY,      3e9f,         -3e9f,     2147483648.0f,
        -2147483648.0f, -2147483904.0f, 2147483520.0f, -2147483520.0f, 0.0f,         -0.0f,     -1e-8f,
        1.0f,           -1.0f,          -0.99999994f,  0.99999994f,    1e-40f,       -1e-40f,   -2.0f,
        10.0f,          1e30f,          -1e30f,        16777216.0f,    -16777217.0f, 8388608.5f};
    const std::size_t n = sizeof values / sizeof values[0];
    const std::uint32_t pick = rng() % (n + 4);
    return pick < n ? values[pick] : bitsFloat(static_cast<std::uint32_t>(rng()));
}

struct RandomMesh {
    MeskBuilder mesh;
    std::vector<std::int16_t> groups;
};

// faces faces over a few tiles (U in [-2, 11], V in [-1, 2], which gives
// mode-2 names shared by two pairs), visited in shuffled runs; one corner
// in oddEvery is an awkward value. wide spreads them over 1000 tiles.
// Faces stay in one tile for about run faces; big meshes (many faces and
// vertices, long runs) cross the blocks the operations read in.
RandomMesh randomMesh(std::mt19937& rng, std::size_t faces, int oddEvery, bool wide = false, std::uint32_t run = 6,
                      std::size_t nv = 300) {
    std::vector<std::array<float, 3>> v(nv);
    for (auto& p : v) p = {static_cast<float>(rng() % 100), static_cast<float>(rng() % 100), 0};
    std::vector<std::pair<int, int>> tiles;
    for (int t = 0; t < 7; ++t) tiles.push_back({static_cast<int>(rng() % 14) - 2, static_cast<int>(rng() % 4) - 1});
    for (int t = 0; wide && t < 1000; ++t) tiles.push_back({t % 40 - 10, t / 40 - 5});
    tiles.push_back({10, 0});
    tiles.push_back({0, 1});
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<std::array<std::int32_t, 4>> f;
    std::vector<std::array<float, 8>> uv;
    RandomMesh r;
    std::pair<int, int> tile = tiles[0];
    for (std::size_t i = 0; i < faces; ++i) {
        if (rng() % run == 0) tile = tiles[rng() % tiles.size()];
        std::array<std::int32_t, 4> q;
        for (auto& j : q) j = static_cast<std::int32_t>(rng() % (nv + 4)) - 2;
        if (rng() % 4 == 0) q[3] = -1 - static_cast<std::int32_t>(rng() % 3);
        f.push_back(q);
        std::array<float, 8> c;
        for (int k = 0; k < 8; ++k) {
            const int base = k % 2 == 0 ? tile.first : tile.second;
            c[static_cast<std::size_t>(k)] = static_cast<int>(rng() % static_cast<std::uint32_t>(oddEvery)) == 0
                                                 ? awkward(rng)
                                                 : static_cast<float>(base) + unit(rng);
        }
        uv.push_back(c);
        r.groups.push_back(static_cast<std::int16_t>(rng() % 3 == 0 ? rng() : rng() % 40));
    }
    r.mesh.vertices(v).faces(f).uvs(uv).groups(r.groups).endBlock();
    return r;
}

}  // namespace fastpath

TEST(UVTiles, FastIndexMatchesThePlainRule) {
    using namespace fastpath;
    std::mt19937 rng(77);
    std::vector<float> ws;
    for (int i = 0; i < 200000; ++i) ws.push_back(bitsFloat(static_cast<std::uint32_t>(rng())));
    for (int i = 0; i < 2000; ++i) ws.push_back(awkward(rng));
    // Every float within a few steps of the int32 limits and of small tile lines.
    for (float edge : {2147483648.0f, -2147483648.0f, 0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 16777216.0f}) {
        std::uint32_t bits;
        std::memcpy(&bits, &edge, sizeof bits);
        for (std::uint32_t d = 0; d < 64; ++d) {
            ws.push_back(bitsFloat(bits + d));
            ws.push_back(bitsFloat(bits - d));
        }
    }
    for (float w : ws) {
        std::int32_t i, ri;
        float l, rl;
        uvLocal(w, i, l);
        refLocal(w, ri, rl);
        ASSERT_EQ(uvTileIndex(w), refIndex(w)) << w;
        ASSERT_EQ(i, ri) << w;
        ASSERT_EQ(std::memcmp(&l, &rl, sizeof l), 0) << w;
    }
}

TEST(UVTiles, QueriesMatchThePlainVersionsOnRandomMeshes) {
    using namespace fastpath;
    TempDir dir;
    std::mt19937 rng(4242);
    const std::string list = dir.path("sel.txt");
    ASSERT_TRUE(writeText(list, "1001,1011-1013\n1022\n"));
    for (int round = 0; round < 13; ++round) {
        SCOPED_TRACE(round);
        RandomMesh r = round == 12 ? randomMesh(rng, 70000, 40, false, 9000)
                                   : randomMesh(rng, 1 + rng() % 3000, round % 3 == 0 ? 3 : 40);
        const Bytes& b = r.mesh.bytes();
        const std::string mesh = writeMesh(dir, "r.Mesk", b);
        const std::size_t uvPos = refFind(b, kMeskUVTag, kMeskUVSize);
        ASSERT_NE(uvPos, 0u);
        for (bool selection : {false, true}) {
            if (selection)
                ASSERT_EQ(setUVtilesOut(list.c_str()), 0.0f);
            else
                clearUVtilesOut();
            for (int mode = 0; mode < 4; ++mode) {
                std::string last;
                const std::vector<RefTile> tiles = refTiles(b, uvPos, mode, last);
                std::optional<std::string> out;
                EXPECT_EQ(GetUVTile(mesh.c_str(), out, mode), static_cast<float>(tiles.size())) << mode;
                EXPECT_EQ(out.value_or("(none)"), last) << mode;
            }
        }
        std::set<std::int16_t> distinct(r.groups.begin(), r.groups.end());
        EXPECT_EQ(GetUVGroup(mesh.c_str()), static_cast<float>(distinct.size()));
    }
    clearUVtilesOut();
}

TEST(UVExtraction, TileFilesMatchThePlainVersionsOnRandomMeshes) {
    using namespace fastpath;
    TempDir dir;
    std::mt19937 rng(9001);
    const std::string list = dir.path("sel.txt");
    ASSERT_TRUE(writeText(list, "1000-1003,1011\n"));
    // Rounds with few tiles and with more than 254 (file numbers wider
    // than a byte) are both wanted.
    std::size_t few = 0, many = 0;
    // The last round crosses the blocks the splits read in (UVs, faces, and
    // the mask's vertices), with runs of faces long enough that whole spans
    // of corners belong to other tiles.
    for (int round = 0; round < 9; ++round) {
        SCOPED_TRACE(round);
        const bool wild = round % 4 == 1;  // hundreds of tiles
        RandomMesh r = round == 8 ? randomMesh(rng, 70000, 60, false, 8000, 140000)
                                  : randomMesh(rng, wild ? 1200 : 1 + rng() % 1500,
                                               wild             ? 9
                                               : round % 2 == 0 ? 5
                                                                : 60,
                                               wild);
        const Bytes& b = r.mesh.bytes();
        const std::string mesh = writeMesh(dir, "r.Mesk", b);
        const std::size_t vPos = refFind(b, kMeskVertexTag, kMeskVertexSize);
        const std::size_t fPos = refFind(b, kMeskFaceTag, kMeskFaceSize, vPos + u32(b, vPos + 4));
        const std::size_t uvPos = refFind(b, kMeskUVTag, kMeskUVSize);
        ASSERT_TRUE(vPos && fPos && uvPos);
        const int mode = static_cast<int>(rng() % 4);
        if (round % 4 == 3)
            ASSERT_EQ(setUVtilesOut(list.c_str()), 0.0f);
        else
            clearUVtilesOut();
        std::string last;
        const std::vector<RefTile> tiles = refTiles(b, uvPos, mode, last);
        std::vector<std::string> names;
        for (const RefTile& t : tiles) names.push_back(t.name);
        ++(tiles.size() > 254 ? many : few);

        const std::string base = dir.path("r" + std::to_string(round) + "u.Mesk");
        ASSERT_EQ(GetUVsFromMesk(mesh.c_str(), base.c_str(), mode), static_cast<float>(tiles.size()));
        EXPECT_EQ(_UVTileStr, names);
        for (std::size_t i = 0; i < tiles.size(); ++i)
            ASSERT_TRUE(readBytes(dir.path("r" + std::to_string(round) + "u" + std::to_string(i) + ".Mesk")) ==
                        refUVFile(b, uvPos, tiles[i]))
                << "UV file " << i << " (" << tiles[i].name << ") differs";

        const std::string maskBase = dir.path("r" + std::to_string(round) + "m.Mesk");
        ASSERT_EQ(GetUVsFromMeskMASK(mesh.c_str(), maskBase.c_str(), mode), static_cast<float>(tiles.size()));
        EXPECT_EQ(_UVTileStr, names);
        for (std::size_t i = 0; i < tiles.size(); ++i)
            ASSERT_TRUE(readBytes(dir.path("r" + std::to_string(round) + "m" + std::to_string(i) + ".Mesk")) ==
                        refMaskFile(b, vPos, fPos, uvPos, tiles[i]))
                << "mask file " << i << " (" << tiles[i].name << ") differs";
    }
    EXPECT_GT(few, 0u);
    EXPECT_GT(many, 0u);
    clearUVtilesOut();
    clearUVTileString();
}

TEST(FaceIDs, MatchThePlainCountOnARandomFaceChunk) {
    using namespace fastpath;
    TempDir dir;
    std::mt19937 rng(31);
    std::vector<std::array<std::int32_t, 4>> f(70000);  // more than one block of faces
    for (auto& q : f) q = {1, 2, 3, static_cast<std::int32_t>(rng())};
    MeskBuilder m;
    m.faces(f).endBlock();
    const std::string path = writeMesh(dir, "f.Mesk", m.bytes());
    for (double levels : {1.0, 2.0, 3.5, 15.0}) {
        SCOPED_TRACE(levels);
        ASSERT_EQ(GetFaceIDsMesk(path.c_str(), levels), 70000.0f);
        const auto n = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::pow(4.0, levels - 1.0)));
        for (std::size_t i = 0; i < f.size(); ++i) ASSERT_EQ(_faceID[i], (f[i][3] < 0 ? 3u : 4u) * n) << i;
    }
    _faceID.clear();
}

TEST(UVExtraction, AnOutputNamingTheInputIsRefusedAndTheInputKept) {
    using namespace fastpath;
    TempDir dir;
    std::mt19937 rng(5);
    clearUVtilesOut();
    const Bytes b = randomMesh(rng, 900, 50).mesh.bytes();
    // Tile file 0 of output a.Mesk is the input a0.Mesk itself.
    for (bool masked : {false, true}) {
        SCOPED_TRACE(masked);
        const std::string input = writeMesh(dir, "a0.Mesk", b), out = dir.path("a.Mesk");
        const float r =
            masked ? GetUVsFromMeskMASK(input.c_str(), out.c_str(), 0) : GetUVsFromMesk(input.c_str(), out.c_str(), 0);
        EXPECT_EQ(r, 1501.0f);
        EXPECT_TRUE(readBytes(input) == b);
    }
    clearUVTileString();
}

// The tile indices' float to int32 conversion: the portable path
// everywhere, SSE2 where the build has it.
class TruncSatPaths : public SimdPathTest {};
INSTANTIATE_TEST_SUITE_P(UVTiles, TruncSatPaths, testing::Values(simd::kPortable, simd::kSse2), simdPathName);

TEST_P(TruncSatPaths, TruncatesSaturatesAndTakesNanAsZero) {
    const float inf = std::numeric_limits<float>::infinity();
    const float belowTop = std::nextafter(2147483648.0f, 0.0f), belowBottom = std::nextafter(-2147483648.0f, -inf);
    struct Case {
        float t;
        std::int32_t i;
    } cases[] = {
        {0.0f, 0},
        {-0.0f, 0},
        {0.999f, 0},
        {-0.999f, 0},
        {1.5f, 1},
        {-1.5f, -1},
        {std::numeric_limits<float>::denorm_min(), 0},
        {-std::numeric_limits<float>::denorm_min(), 0},
        {belowTop, 2147483520},
        {2147483648.0f, INT32_MAX},
        {-2147483648.0f, INT32_MIN},
        {belowBottom, INT32_MIN},
        {1e30f, INT32_MAX},
        {-1e30f, INT32_MIN},
        {inf, INT32_MAX},
        {-inf, INT32_MIN},
        {std::nanf(""), 0},
        {-std::nanf(""), 0},
    };
    for (const Case& c : cases) {
        std::int32_t i = 12345;
        ASSERT_TRUE(truncSatWith(GetParam(), c.t, i));
        EXPECT_EQ(i, c.i) << c.t;
    }
    // Random bit patterns and every float near the limits, against the
    // portable path.
    std::mt19937 rng(5);
    std::vector<float> ts;
    for (int k = 0; k < 200000; ++k) ts.push_back(fastpath::bitsFloat(static_cast<std::uint32_t>(rng())));
    for (float edge : {2147483648.0f, -2147483648.0f, 1.0f, -1.0f}) {
        std::uint32_t bits;
        std::memcpy(&bits, &edge, sizeof bits);
        for (std::uint32_t d = 0; d < 64; ++d) {
            ts.push_back(fastpath::bitsFloat(bits + d));
            ts.push_back(fastpath::bitsFloat(bits - d));
        }
    }
    for (float t : ts) {
        std::int32_t want = 0, got = 0;
        ASSERT_TRUE(truncSatWith(simd::kPortable, t, want));
        ASSERT_TRUE(truncSatWith(GetParam(), t, got));
        ASSERT_EQ(got, want) << t;
    }
}
