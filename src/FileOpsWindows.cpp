// File and folder services of the Windows build: wide-character KERNEL32
// and SHELL32 calls. A folder is read at once into _fileList and its names
// handed out by position.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>

#include "FileAccess.h"
#include "FileOps.h"
#include "HostCall.h"
#include "NewFile.h"

using hostcall::kMem1TooSmall;
using hostcall::putMem1;

wchar_t _fileList[kFileListUnits] = {};
std::int32_t _fileIndex = 1;

namespace {

constexpr DWORD kNoMoreFiles = ERROR_NO_MORE_FILES;  // 18
// The system's path buffer: 260 units with the terminator.
constexpr size_t kMaxPathUnits = 259;

// {ED4824AF-DCE4-45A8-81E2-FC7965083634}, the public documents folder.
const GUID kPublicDocuments = {0xED4824AF, 0xDCE4, 0x45A8, {0x81, 0xE2, 0xFC, 0x79, 0x65, 0x08, 0x36, 0x34}};

bool isDotEntry(const wchar_t* name) { return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0; }

// Closes a find handle on every way out.
class Find {
public:
    Find(const std::wstring& pattern, WIN32_FIND_DATAW& data) : h_(FindFirstFileW(pattern.c_str(), &data)) {}
    ~Find() {
        if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
    }
    Find(const Find&) = delete;
    Find& operator=(const Find&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    bool next(WIN32_FIND_DATAW& data) { return FindNextFileW(h_, &data) != 0; }

private:
    HANDLE h_;
};

// Units of the string at list position pos, never past the list's end.
size_t unitsAt(size_t pos) {
    size_t n = 0;
    while (pos + n < kFileListUnits && _fileList[pos + n] != 0) ++n;
    return n;
}

std::string narrowUnits(size_t pos) {
    std::wstring w(_fileList + pos, unitsAt(pos));
    return fileio::narrow(w.c_str());
}

// A fetched name: the string and its NUL, then zeros up to 256 bytes as far
// as mem1Size reaches. False (mem1 untouched) when the string does not fit.
bool putName256(const std::string& name, char* mem1, int mem1Size) {
    if (!putMem1(mem1, mem1Size, name)) return false;
    size_t end = std::min<size_t>(256, static_cast<size_t>(mem1Size));
    if (name.size() + 1 < end) std::memset(mem1 + name.size() + 1, 0, end - name.size() - 1);
    return true;
}

struct Listing {
    double files = 0, folders = 0;
    std::wstring text;
};

// Walks path\* for countFiles and listFiles; 0 or the failure code.
float walkFolder(const char* path, int mode, bool withText, Listing& out) {
    std::wstring w = fileio::widen(path);
    if (w.size() > kMaxFolderUnits) return -1.0f;
    WIN32_FIND_DATAW data;
    Find find(w + L"\\*", data);
    if (!find.ok()) return -2.0f;
    const bool wantFiles = mode == 1 || mode == 3;
    const bool wantFolders = mode == 2 || mode == 3;
    do {
        bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // Every folder lists itself and its parent; they are not its content.
        if (folder ? (!wantFolders || isDotEntry(data.cFileName)) : !wantFiles) continue;
        (folder ? out.folders : out.files) += 1;
        if (withText) {
            out.text += data.cFileName;
            out.text += L'\n';
        }
    } while (find.next(data));
    return GetLastError() == kNoMoreFiles ? 0.0f : -3.0f;
}

}  // namespace

float getFileNumber(const char* path) {
    std::wstring w = fileio::widen(path);
    std::fill(std::begin(_fileList), std::end(_fileList), L'\0');
    if (w.size() > kMaxFolderUnits) return -1.0f;
    WIN32_FIND_DATAW data;
    Find find(w + L"\\*", data);
    if (!find.ok()) return -2.0f;
    size_t pos = 1;  // unit 0 is the leading terminator (the backslash for one name)
    int stored = 0;
    do {
        if (isDotEntry(data.cFileName)) continue;
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
        size_t len = std::wcslen(data.cFileName);
        // The unit behind the terminator must stay inside the list.
        if (pos + len + 1 >= kFileListUnits) break;
        std::memcpy(_fileList + pos, data.cFileName, len * sizeof(wchar_t));
        pos += len + 1;
        ++stored;
    } while (find.next(data));
    if (stored == 1) _fileList[0] = L'\\';
    return static_cast<float>(stored);
}

int fileListCount() {
    int count = 0;
    for (size_t i = 0; i + 1 < kFileListUnits; ++i) {
        if (_fileList[i] != 0) continue;
        if (_fileList[i + 1] == 0) break;
        ++count;
    }
    return count ? count : 1;
}

bool fileListEntry(int k, std::string& name) {
    const int count = fileListCount();
    if (k < 1 || k > count) return false;
    name = narrowUnits(0);
    if (k == 1 && count == 1) return true;
    size_t pos = unitsAt(0) + 1;
    for (int i = 1; i < k && pos < kFileListUnits; ++i) pos += unitsAt(pos) + 1;
    name += '\\';
    if (pos < kFileListUnits) name += narrowUnits(pos);
    return true;
}

float getFile(char* mem1, int mem1Size) {
    std::string name;
    if (fileListEntry(_fileIndex, name) && !putName256(name, mem1, mem1Size)) return kMem1TooSmall;
    if (_fileIndex < INT32_MAX) ++_fileIndex;
    return 0.0f;
}

float getFilePath(int k, char* mem1, int mem1Size) {
    std::string name;
    if (fileListEntry(k, name) && !putName256(name, mem1, mem1Size)) return kMem1TooSmall;
    return 0.0f;
}

float closeFolder() {
    _fileIndex = 1;
    return 0.0f;
}

float checkFolder(const char* path) {
    std::wstring w = fileio::widen(path);
    if (w.size() > kMaxPathUnits) return 0.0f;
    DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0.0f;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -1.0f : 0.0f;
}

float countFiles(const char* path, int mode) {
    Listing listing;
    float r = walkFolder(path, mode, false, listing);
    return r != 0.0f ? r : static_cast<float>(listing.files + listing.folders);
}

float listFiles(const char* path, int mode, char* mem1, int mem1Size) {
    Listing listing;
    float r = walkFolder(path, mode, true, listing);
    if (r != 0.0f) return r;
    if (!putMem1(mem1, mem1Size, fileio::narrow(listing.text.c_str()))) return kMem1TooSmall;
    return static_cast<float>(listing.files + listing.folders);
}

float createFolder(const char* path) {
    std::wstring w = fileio::widen(path);
    if (w.size() > kMaxPathUnits) return -1.0f;
    return CreateDirectoryW(w.c_str(), nullptr) ? 0.0f : -1.0f;
}

float makeFolder(const char* path) { return CreateDirectoryW(fileio::widen(path).c_str(), nullptr) ? 0.0f : -1.0f; }

float deleteFolder(const char* path) { return RemoveDirectoryW(fileio::widen(path).c_str()) ? 0.0f : -1.0f; }

float emptyFolder(const char* path) {
    std::wstring w = fileio::widen(path);
    // An empty path would name the root of the current drive.
    if (w.empty()) return -5.0f;
    if (w.size() > kMaxFolderUnits) return -1.0f;
    WIN32_FIND_DATAW data;
    Find find(w + L"\\*", data);
    if (!find.ok()) return -2.0f;
    std::wstring full;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        full.assign(w).append(L"\\").append(data.cFileName);
        // The wide name as the folder gave it: a file that cannot go (read-only,
        // in use) stays.
        DeleteFileW(full.c_str());
    } while (find.next(data));
    return GetLastError() == kNoMoreFiles ? 0.0f : -3.0f;
}

float fileCopyTo(const char* source, const char* destination) {
    std::wstring to = fileio::widen(destination);
    DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // The system would refuse to delete or rewrite a read-only file; a
        // process with every right would not, so it is refused here.
        if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return -1.0f;
        if (fileio::sameFile(source, destination)) return -1.0f;
    }
    return fileio::copyFile(source, destination, fileio::Target::Output) == fileio::Written::Ok ? 0.0f : -1.0f;
}

float fileDelete(const char* path) { return fileio::removeName(path) ? 0.0f : -1.0f; }

float fileRename(const char* from, const char* to) {
    if (std::strcmp(from, to) == 0) return -1.0f;
    return fileio::renameName(from, to) ? 0.0f : -1.0f;
}

float getPublicFolder(char* mem1, int mem1Size) {
    PWSTR found = nullptr;
    HRESULT hr = SHGetKnownFolderPath(kPublicDocuments, 0, nullptr, &found);
    std::unique_ptr<wchar_t, void (*)(void*)> own(found, CoTaskMemFree);
    if (FAILED(hr) || !found) return -1.0f;
    return putMem1(mem1, mem1Size, fileio::narrow(found)) ? 0.0f : kMem1TooSmall;
}
