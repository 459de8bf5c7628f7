// Every export that writes a string into mem1, at the edges of mem1Size:
// 0, 1, the string's length (one short of its NUL) and the exact length.
// The block is larger than announced and callExport fails the test if any
// byte past mem1Size changes; a result that does not fit must leave mem1 as
// it was and say so with the documented code.
#include <functional>

#include "HostCall.h"
#include "TestSupport.h"
#include "fixtures/MeskBuilder.h"

namespace {

struct Mem1Export {
    const char* name;
    std::function<void()> setup;  // run before every call
    std::string text;
    double value;
};

}  // namespace

TEST(Mem1, NoExportWritesPastMem1Size) {
    TempDir dir;
    const std::string mesh = dir.path("head.Mesk");
    const auto meshBytes = exampleMesk(1.25f, 0.5f).bytes();
    ASSERT_TRUE(writeBytes(mesh, std::vector<unsigned char>(meshBytes.begin(), meshBytes.end())));
    const std::string folder = dir.path("walk");
    ASSERT_TRUE(makeFolders(folder));
    ASSERT_TRUE(writeText(folder + "/a-long-enough-file-name.tif", "x"));
    std::string outBase = dir.path("tiles.Mesk");
    std::string m = outBase;
    ASSERT_GT(callExport("getUVs", mesh, 1, &m), 0.0f);

    std::vector<Mem1Export> exports = {
        {"getUVTile", nullptr, mesh, 1},
        {"getUVTile", nullptr, mesh, 3},
        {"getUVString", nullptr, "", 0},
        {"GetPublicFolder", nullptr, "", 0},
#if BRINDLEX_WINDOWS
        {"GetFile",
         [&] {
             callExport("CloseFolder", nullptr, 0);
             callExport("GetFileNumber", folder, 0);
         },
         "", 0},
        {"GetFilePath", [&] { callExport("GetFileNumber", folder, 0); }, "", 1},
        {"ListFiles", nullptr, folder, 1},
#else
        {"GetString", nullptr, "offset: a string to copy", 8},
        {"GetFile", [&] { callExport("OpenFolder", folder, 0); }, "", 0},
#endif
    };
    for (const Mem1Export& e : exports) {
        SCOPED_TRACE(std::string(e.name) + " value " + std::to_string(e.value));
        const char* text = e.text.empty() ? nullptr : e.text.c_str();
        if (e.setup) e.setup();
        std::string full;
        float expected = callExport(e.name, text, e.value, &full, 4096);
        ASSERT_FALSE(full.empty()) << "the export wrote no string to measure";
        const int len = static_cast<int>(full.size());
        for (int size : {0, 1, len, len + 1}) {
            SCOPED_TRACE("mem1Size " + std::to_string(size));
            if (e.setup) e.setup();
            std::string block = "sentinel-sentinel-sentinel-sentinel-sentinel";
            const std::string before = block.substr(0, static_cast<size_t>(std::max(size, 0)));
            float r = callExport(e.name, text, e.value, &block, size);
            if (size == len + 1) {
                EXPECT_EQ(r, expected);
                EXPECT_EQ(block, full);
            } else {
                EXPECT_EQ(r, hostcall::kMem1TooSmall);
                EXPECT_EQ(block, before.substr(0, before.find('\0')));
            }
        }
    }
    callExport("CloseFolder", nullptr, 0);
}
