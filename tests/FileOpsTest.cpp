// Path cutting and the file and folder services.
#include "FileOps.h"
#include "TestSupport.h"

TEST(FileNameExtract, CutsEveryPart) {
    struct Case {
        const char *path;
        int type;
        const char *expected;
    } cases[] = {
        {"C:/maps/skin.tif", 1, "C:/maps/"},   {"C:/maps/skin.tif", 2, "skin"},
        {"C:/maps/skin.tif", 3, "C:/maps/skin"}, {"C:/maps/skin.tif", 4, ".tif"},
        {"C:/maps/skin.tif", 6, "skin.tif"},   {"C:/maps/skin.tif", 0, "C:/maps/skin.tif"},
        {"C:/maps/skin.tif", 5, "C:/maps/skin.tif"}, {"C:/maps/skin.tif", -1, "C:/maps/skin.tif"},
        {"C:/maps/skin.tif", 7, "C:/maps/skin.tif"},
        // Mixed separators: the last of either counts.
        {"C:\\maps/sub\\a.b.c", 6, "a.b.c"},   {"C:\\maps/sub\\a.b.c", 2, "a.b"},
        {"C:\\maps/sub\\a.b.c", 4, ".c"},      {"C:\\maps/sub\\a.b.c", 1, "C:\\maps/sub\\"},
        // The last dot of types 3 and 4 may lie in a folder name.
        {"/x.y/name", 3, "/x"},                {"/x.y/name", 4, ".y/name"},
        {"/x.y/name", 2, "name"},
        {"bare", 1, ""},                       {"bare", 2, "bare"},
        {"bare", 4, ""},                       {"bare", 6, "bare"},
        {"folder/", 6, ""},                    {"folder/", 2, ""},
        {"", 3, ""},                           {".hidden", 2, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " type " + std::to_string(c.type));
        EXPECT_EQ(FileNameExtract(c.path, c.type), c.expected);
    }
}
