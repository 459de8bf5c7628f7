// File and folder services of the POSIX build, with the macOS behaviour: an
// open directory stream in _folder, handed out an entry at a time.
#include <dirent.h>

#include <cstring>
#include <memory>
#include <string>

#include "FileAccess.h"
#include "FileOps.h"
#include "HostCall.h"
#include "NewFile.h"

using hostcall::kMem1TooSmall;
using hostcall::putMem1;

DIR* _folder = nullptr;

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool isDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

}  // namespace

float openFolder(const char* path) {
    closeFolder();
    _folder = opendir(path);
    return _folder ? 0.0f : -1.0f;
}

float getFile(char* mem1, int mem1Size) {
    if (!_folder) return -1.0f;
    long here = telldir(_folder);
    dirent* entry = readdir(_folder);
    if (!entry) return -3.0f;
    if (!putMem1(mem1, mem1Size, entry->d_name)) {
        // Leave the entry to the next call, which may bring a larger block.
        if (here != -1) seekdir(_folder, here);
        return kMem1TooSmall;
    }
    return 0.0f;
}

float closeFolder() {
    if (!_folder) return -1.0f;
    closedir(_folder);
    _folder = nullptr;
    return 0.0f;
}

float checkFolder(const char* path) {
    Dir probe(opendir(path));
    return probe ? 0.0f : -1.0f;
}

float ClearFolder(const std::string& path) {
    // An empty path would name the root folder.
    if (path.empty()) return -1.0f;
    std::string folder = path;
    if (folder.back() != '/') folder += '/';
    Dir dir(opendir(folder.c_str()));
    if (!dir) return -1.0f;
    std::string full;
    while (dirent* entry = readdir(dir.get())) {
        if (isDotEntry(entry->d_name)) continue;
        full.assign(folder).append(entry->d_name);
        // Only entries whose own name has a dot go.
        size_t mark = full.find_last_of("./\\");
        if (mark != std::string::npos && full[mark] == '.') fileio::removeName(full.c_str());
    }
    return 0.0f;
}

float emptyFolder(const char* path) { return ClearFolder(path) == 0.0f ? 0.0f : -1.0f; }

float fileCopyTo(const char* source, const char* destination) {
    // A source that is not a readable regular file fails in the copy,
    // before the destination is touched.
    if (fileio::sameFile(source, destination)) return -1.0f;
    // As a copy that removed the destination first would, it replaces one
    // whatever its permission bits (a folder is refused).
    return fileio::copyFile(source, destination, fileio::Target::Replace) == fileio::Written::Ok ? 0.0f : -1.0f;
}

float fileDelete(const char* path) { return fileio::removeName(path) ? 0.0f : -1.0f; }

float fileRename(const char* from, const char* to) { return fileio::renameName(from, to) ? 0.0f : -1.0f; }

float getPublicFolder(char* mem1, int mem1Size) {
    std::unique_ptr<char[]> folder(getSharedFolder());
    if (!folder) return 0.0f;
    return putMem1(mem1, mem1Size, folder.get()) ? 1.0f : kMem1TooSmall;
}
