#include <set>

#include "Demo.h"
#include "fixtures/Files.h"

namespace {

// A project folder as a script leaves it after an export: maps, a mesh, a
// readme without extension, a subfolder of tiles and one with a dotted name.
void makeTree(const std::string& root) {
    makeFolders(root + "tiles");
    makeFolders(root + "cache.d");
    writeText(root + "head.Mesk", std::string(64, 'm'));
    writeText(root + "head_disp.tif", std::string(5000, 't'));
    writeText(root + "Farbe-\xC3\xA4.bmp", std::string(300, 'b'));
    writeText(root + "README", "notes\n");
    writeText(root + "tiles/1001.tif", "tile");
}

}  // namespace

// Script sequence: file and folder services.
void demoFiles(DemoContext& ctx) {
    const bool windows = ctx.windowsBuild();
    const std::string root = ctx.path("project/");
    ctx.section("Folder services: test and create folders");
    std::string top = ctx.path("project");
    if (ctx.call("CheckFolder", top.c_str(), 0) == (windows ? -1.0f : 0.0f)) {
        // Left over from an earlier run: start again from an empty folder.
        ctx.call("EmptyFolder", top.c_str(), 0);
    } else {
        ctx.expect(ctx.call("CreateFolder", top.c_str(), 0) == 0.0f, "CreateFolder makes the project folder");
    }
    makeTree(root);
    std::string again = root + "tiles";
    ctx.expect(ctx.call("CreateFolder", again.c_str(), 0) == -1.0f, "CreateFolder refuses an existing folder");
    ctx.expect(ctx.call("CheckFolder", again.c_str(), 0) == (windows ? -1.0f : 0.0f), "CheckFolder finds tiles");

    ctx.section("Walking the project folder");
    std::set<std::string> seen;
    if (windows) {
        float n = ctx.call("GetFileNumber", top.c_str(), 0);
        ctx.call("OpenFolder", nullptr, 0);
        for (int i = 0; i < static_cast<int>(n); ++i) {
            std::string m;
            ctx.call("GetFile", nullptr, 0, &m);
            seen.insert(m);
        }
        ctx.call("CloseFolder", nullptr, 0);
        std::string first;
        ctx.call("GetFilePath", nullptr, 1, &first);
        ctx.expect(seen.count(first) == 1, "GetFilePath 1 is one of the names");
        ctx.expect(seen.count("\\head_disp.tif") == 1, "names come with a leading backslash");
        std::string list;
        ctx.expect(ctx.call("ListFiles", top.c_str(), 1, &list) == 4.0f, "ListFiles finds the four files");
        ctx.expect(ctx.call("CountFiles", top.c_str(), 2) == 2.0f, "CountFiles finds two subfolders");
    } else {
        ctx.expect(ctx.call("OpenFolder", top.c_str(), 0) == 0.0f, "OpenFolder opens the project");
        for (int i = 0; i < 32; ++i) {
            std::string m;
            if (ctx.call("GetFile", nullptr, 0, &m) != 0.0f) break;
            seen.insert(m);
        }
        ctx.call("CloseFolder", nullptr, 0);
        ctx.expect(seen.count(".") == 1 && seen.count("head_disp.tif") == 1, "every entry, dot entries too");
    }
    ctx.expect(seen.size() == (windows ? 6u : 8u), "the whole folder was walked");

    ctx.section("Copy, rename and delete files");
    const std::string disp = root + "head_disp.tif", copy = root + "head_disp_copy.tif";
    ctx.expect(ctx.call("FileCopyTo", disp, 0, copy) == 0.0f, "FileCopyTo copies the map");
    ctx.wrote(copy);
    ctx.expect(readBytes(copy) == readBytes(disp), "the copy matches");
    ctx.expect(ctx.call("FileCopyTo", root + "missing.tif", 0, copy) == -1.0f, "a missing source is refused");
    ctx.expect(!readBytes(copy).empty(), "and the destination is kept");
    const std::string renamed = root + "head_disp_\xC3\xBC.tif";
    ctx.expect(ctx.call("FileRename", copy, 0, renamed) == 0.0f, "FileRename to a non-ASCII name");
    ctx.expect(ctx.call("FileRename", renamed, 0, disp) == (windows ? -1.0f : 0.0f),
               windows ? "FileRename does not replace a file" : "FileRename replaces the file");
    std::string gone = windows ? renamed : disp;
    ctx.expect(ctx.call("FileDelete", gone.c_str(), 0) == 0.0f, "FileDelete");

    ctx.section("Empty and delete folders");
    ctx.expect(ctx.call("EmptyFolder", top.c_str(), 0) == 0.0f, "EmptyFolder empties the project");
    std::string readme = root + "README", cache = root + "cache.d";
    ctx.note(windows ? "every file went, the subfolders stay" : "every dotted entry went, README and tiles stay");
    ctx.expect(readBytes(readme).empty() == windows, "README follows the build's rule");
    ctx.expect(ctx.call("CheckFolder", cache.c_str(), 0) == -1.0f,
               windows ? "cache.d stays" : "the empty cache.d went");
    std::string tiles = root + "tiles";
    ctx.call("EmptyFolder", tiles.c_str(), 0);
    if (windows) {
        ctx.expect(ctx.call("DeleteFolder", top.c_str(), 0) == -1.0f, "DeleteFolder refuses a full folder");
        ctx.expect(ctx.call("DeleteFolder", tiles.c_str(), 0) == 0.0f, "DeleteFolder removes the empty tiles");
        ctx.expect(ctx.call("MakeFolder", tiles.c_str(), 0) == 0.0f, "MakeFolder makes it again");
    } else {
        ctx.expect(ctx.call("FileDelete", tiles.c_str(), 0) == 0.0f, "FileDelete removes the empty tiles");
    }

    ctx.section("The shared folder");
    std::string shared;
    ctx.expect(ctx.call("GetPublicFolder", nullptr, 0, &shared) == (windows ? 0.0f : 1.0f) && !shared.empty(),
               "GetPublicFolder names the shared folder");
}
