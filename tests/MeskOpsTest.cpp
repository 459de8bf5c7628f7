// Meshes: the Mesk reader, UV tiles, per-tile extraction, polygroups, and
// the mesh exports.
#include "MeskOps.h"
#include "TestSupport.h"

// ---------------------------------------------------------------------------
// The Mesk reader, UV tiles, tile selection, per-tile extraction, polygroups.

#include <algorithm>
#include <cmath>

#include "fixtures/MeskBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

}  // namespace

TEST(MeskReader, PrimitiveReadersMaskAndCombineBytesLeastFirst) {
    const char ff = static_cast<char>(0xFF), a9 = static_cast<char>(0xA9);
    EXPECT_EQ(readUnInt(a9, 0x61, 0, 0), 25001u);
    EXPECT_EQ(readUnInt(ff, ff, ff, ff), 0xFFFFFFFFu);
    EXPECT_EQ(readSignInt(ff, ff, ff, ff), -1);
    EXPECT_EQ(readSignInt(0, 0, 0, static_cast<char>(0x80)), INT32_MIN);
    EXPECT_EQ(readaFloat(0, 0, static_cast<char>(0x80), 0x3F), 1.0f);
    EXPECT_EQ(readFloat_T(0, 0, static_cast<char>(0x80), static_cast<char>(0xBF)), -1.0f);
    EXPECT_EQ(readShort(ff, ff), -1);
    EXPECT_EQ(readShort(7, 0), 7);
    EXPECT_EQ(readShort_T(0, static_cast<char>(0x80)), -32768);
    EXPECT_EQ(readShort_TA(ff, 0x7F), 32767);
    EXPECT_EQ(readanInt(ff), 255);
    const std::uint8_t p[4] = {0xA9, 0x61, 0, 0};
    EXPECT_EQ(meskU32(p), 25001u);
    const std::uint8_t q[2] = {0xFE, 0xFF};
    EXPECT_EQ(meskShort(q), -2);
}

TEST(MeskReader, ScanVisitsTheExampleFile) {
    MeskBuilder ex = exampleMesk();
    ASSERT_EQ(ex.size(), 226u);
    const Bytes &img = ex.bytes();
    struct Case {
        std::uint32_t tag;
        std::uint64_t pos, count, size;
    } cases[] = {{kMeskVertexTag, 32, 3, 52}, {kMeskColourTag, 84, 3, 28}, {kMeskFaceTag, 112, 1, 32},
                 {kMeskUVTag, 144, 1, 48},    {kMeskGroupTag, 192, 1, 18}};
    for (const Case &c : cases) {
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
    EXPECT_EQ(meskI32(img.data() + f->element(0, kMeskFaceSize) + 12), -1);
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
        const char *name;
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
    for (const Case &c : cases) {
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
        const char *name;
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
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes img = MeskBuilder().chunk(kMeskUVTag, 16, c.count, Bytes(c.elementBytes, 0)).bytes();
        EXPECT_EQ(findMeskElements(img, kMeskUVTag, kMeskUVSize).has_value(), c.fits);
        EXPECT_TRUE(findMeskChunk(img, kMeskUVTag));
    }
}

TEST(MeskReader, EveryTruncatedPrefixIsReadSafely) {
    const Bytes full = exampleMesk().bytes();
    const std::pair<std::uint32_t, std::size_t> kinds[] = {{kMeskVertexTag, 12}, {kMeskColourTag, 4},
                                                           {kMeskFaceTag, 16},   {kMeskUVTag, 32},
                                                           {kMeskGroupTag, 2}};
    const std::size_t ends[] = {84, 112, 144, 192, 210};
    for (std::size_t n = 0; n <= full.size(); ++n) {
        Bytes img(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        for (std::size_t k = 0; k < 5; ++k) {
            auto ch = findMeskElements(img, kinds[k].first, kinds[k].second);
            EXPECT_EQ(ch.has_value(), n >= ends[k]) << "prefix " << n << " tag " << kinds[k].first;
        }
    }
}

TEST(MeskReader, LoadsWholeFiles) {
    TempDir dir;
    MeskImage img = {1, 2, 3};
    EXPECT_FALSE(loadMesk(dir.path("missing.Mesk").c_str(), img));
    EXPECT_FALSE(loadMesk(nullptr, img));
    ASSERT_TRUE(writeBytes(dir.path("empty.Mesk"), {}));
    EXPECT_TRUE(loadMesk(dir.path("empty.Mesk").c_str(), img));
    EXPECT_TRUE(img.empty());
    GridMesh g = gridMesh(2, 2, 16, 3);
    ASSERT_TRUE(writeBytes(dir.path("grid.Mesk"), g.build().bytes()));
    EXPECT_TRUE(loadMesk(dir.path("grid.Mesk").c_str(), img));
    EXPECT_EQ(img, g.build().bytes());
}

// ---------------------------------------------------------------------------
// Mesh export: face IDs, the OBJ writer, the vertex colour block, creases.
