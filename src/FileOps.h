// File and folder services, and path cutting.
//
// The two builds walk folders in different ways behind the same export
// names: the POSIX (macOS) build keeps an open directory stream in _folder,
// the Windows build reads a folder at once into _fileList and hands the
// names out by position.
#pragma once

#include <string>

#include "Platform.h"
#include "ResultCodes.h"

#if BRINDLEX_WINDOWS
#include <cstdint>
#else
#include <dirent.h>

#include "CocoaFileBrowser.h"  // createFolder, getSharedFolder
#endif

// Cuts a path: 1 folder (with its last separator), 2 stem, 3 path without
// extension, 4 extension (dot included; empty when there is no dot),
// 6 file name; any other type gives a copy of path.
std::string FileNameExtract(const std::string& path, int type);

// ---------------------------------------------------------------------------
// Folder enumeration.

#if BRINDLEX_WINDOWS
// The stored names of the last getFileNumber, in UTF-16: empty (all zero);
// one name as backslash, name, terminator; two or more as a leading
// terminator, then each name with its terminator, then a terminator.
inline constexpr int kFileListUnits = 4096;
extern wchar_t _fileList[kFileListUnits];
// The position (1-based) that the next getFile fetches.
extern std::int32_t _fileIndex;

// Longest folder path (UTF-16 units) the listing calls accept: with "\*"
// behind it the pattern fills the system's 260-unit path.
inline constexpr size_t kMaxFolderUnits = 257;

// Reads the folder's visible entries into _fileList: the number stored,
// -1 path too long, -2 folder cannot be enumerated. _fileIndex stays.
float getFileNumber(const char* path);
// The list count: n for n >= 1 names, 1 for an empty list.
int fileListCount();
// Position k of the list, or false when k lies outside 1..count.
bool fileListEntry(int k, std::string& name);
// Fetches position _fileIndex into mem1 and moves on: 0 (also past the
// end, when nothing is written); kMem1TooSmall when the name does not fit
// (the position stays).
float getFile(char* mem1, int mem1Size);
// Fetches position k into mem1: 0, or kMem1TooSmall.
float getFilePath(int k, char* mem1, int mem1Size);
// Counts files (mode 1), subfolders (2) or both (3): the count, -1 path too
// long, -2 folder cannot be enumerated, -3 enumeration ended with an error.
float countFiles(const char* path, int mode);
// As countFiles, and writes the counted names, each followed by a line
// feed, into mem1 (kMem1TooSmall when they do not fit).
float listFiles(const char* path, int mode, char* mem1, int mem1Size);
#else
// The open enumeration stream, or null.
extern DIR* _folder;

// Opens path for getFile, closing a stream that was open: 0 or -1.
float openFolder(const char* path);
// Copies the next entry name into mem1: 0, -3 no further entry, -1 no
// folder open, kMem1TooSmall when the name does not fit (the entry stays
// next).
float getFile(char* mem1, int mem1Size);
#endif

// Rewinds (Windows: 0) or closes the enumeration (macOS: 0, -1 none open).
float closeFolder();
// Windows: -1 an existing folder, 0 otherwise. macOS: 0 the folder can be
// opened, -1 it cannot. The macOS call leaves an open enumeration alone.
float checkFolder(const char* path);

// ---------------------------------------------------------------------------
// File and folder operations. Each gives 0 for success.

#if BRINDLEX_WINDOWS
// Creates one folder; the path must fit 260 UTF-16 units with its
// terminator. 0 or -1.
float createFolder(const char* path);
// Creates one folder, any path length. 0 or -1.
float makeFolder(const char* path);
// Removes an empty folder. 0 or -1.
float deleteFolder(const char* path);
#else
// Deletes every entry whose name has a dot (files and empty folders);
// entries without a dot stay. 0, or -1 when the folder cannot be opened.
float ClearFolder(const std::string& path);
#endif

// Windows: deletes every file of the folder, keeps subfolders; 0, -5 an
// empty path, -1 path too long, -2 cannot be enumerated, -3 enumeration
// ended with an error. macOS: ClearFolder (an empty path gives -1). An
// empty path is never taken for the root folder.
float emptyFolder(const char* path);
// Copies source over destination: 0, or -1 (source unreadable, the same
// file twice, destination a folder or not writable, a read or write
// failure). A copy that cannot start leaves the destination as it was.
float fileCopyTo(const char* source, const char* destination);
// Deletes a file (macOS: also an empty folder). 0 or -1.
float fileDelete(const char* path);
// Renames; Windows refuses equal paths and never replaces a file, macOS
// replaces one. 0 or -1.
float fileRename(const char* from, const char* to);

// ---------------------------------------------------------------------------
// The shared folder: writes its path into mem1. Windows 0 written, -1 the
// system cannot name it; macOS 1 written, 0 it cannot be obtained; both
// kMem1TooSmall when the path does not fit.
float getPublicFolder(char* mem1, int mem1Size);

// What each file and folder export's result means. The builds differ: the
// same value can mean success in one and failure in the other.
namespace fileops {
using results::answer;
using results::Builds;
using results::code;
using results::count;
using results::refusal;

inline constexpr results::Row kFileResults[] = {
    answer("CheckFolder", -1.0f, "the folder exists", Builds::Windows),
    refusal("CheckFolder", 0.0f, "no such folder (missing, a file, or a path over 259 UTF-16 units)", Builds::Windows),
    code("CheckFolder", -2.0f, "text is null", Builds::Windows),
    code("CheckFolder", 0.0f, "the folder can be opened", Builds::Mac),
    code("CheckFolder", -1.0f, "the folder cannot be opened, or text is null", Builds::Mac),

    code("OpenFolder", 0.0f, "nothing to do (GetFileNumber reads a folder)", Builds::Windows),
    code("OpenFolder", 0.0f, "the folder was opened", Builds::Mac),
    code("OpenFolder", -1.0f, "the folder cannot be opened, or text is null", Builds::Mac),

    code("GetFile", 0.0f, "the name at the position was written (nothing past the end)", Builds::Windows),
    code("GetFile", -3.0f, "mem1 is null", Builds::Windows),
    code("GetFile", 0.0f, "the next name was written", Builds::Mac),
    code("GetFile", -3.0f, "no further entry", Builds::Mac),
    code("GetFile", -1.0f, "no folder is open", Builds::Mac),

    code("CloseFolder", 0.0f, "the position is back at the first name", Builds::Windows),
    code("CloseFolder", 0.0f, "the folder was closed", Builds::Mac),
    code("CloseFolder", -1.0f, "no folder is open", Builds::Mac),

    count("GetFileNumber", "the number of names stored", Builds::Windows),
    code("GetFileNumber", -1.0f, "the path is over 257 UTF-16 units", Builds::Windows),
    code("GetFileNumber", -2.0f, "the folder cannot be enumerated", Builds::Windows),
    code("GetFileNumber", -5.0f, "text is null", Builds::Windows),

    code("GetFilePath", 0.0f, "the name at the position was written (nothing outside the list)", Builds::Windows),
    code("GetFilePath", -1.0f, "mem1 is null", Builds::Windows),

    count("CountFiles", "the number of entries counted", Builds::Windows),
    code("CountFiles", -1.0f, "the path is over 257 UTF-16 units", Builds::Windows),
    code("CountFiles", -2.0f, "the folder cannot be enumerated", Builds::Windows),
    code("CountFiles", -3.0f, "the enumeration ended with an error", Builds::Windows),
    code("CountFiles", -5.0f, "text is null", Builds::Windows),

    count("ListFiles", "the number of names listed", Builds::Windows),
    code("ListFiles", -1.0f, "the path is over 257 UTF-16 units", Builds::Windows),
    code("ListFiles", -2.0f, "the folder cannot be enumerated", Builds::Windows),
    code("ListFiles", -3.0f, "the enumeration ended with an error", Builds::Windows),
    code("ListFiles", -5.0f, "text or mem1 is null", Builds::Windows),

    code("CreateFolder", 0.0f, "the folder was created"),
    code("CreateFolder", -1.0f,
         "the folder cannot be created (it exists, no parent, text null or empty, path over 259 UTF-16 units)",
         Builds::Windows),
    code("CreateFolder", -1.0f,
         "the folder cannot be created (it exists, its parent is missing, text is null or empty)", Builds::Mac),
    code("MakeFolder", 0.0f, "the folder was created", Builds::Windows),
    code("MakeFolder", -1.0f, "the folder cannot be created (it exists, its parent is missing, text is null or empty)",
         Builds::Windows),
    code("DeleteFolder", 0.0f, "the folder was removed", Builds::Windows),
    code("DeleteFolder", -1.0f, "the folder is not empty or missing, or text is null", Builds::Windows),

    code("EmptyFolder", 0.0f, "the folder's files were deleted", Builds::Windows),
    code("EmptyFolder", -1.0f, "the path is over 257 UTF-16 units", Builds::Windows),
    code("EmptyFolder", -2.0f, "the folder cannot be enumerated", Builds::Windows),
    code("EmptyFolder", -3.0f, "the enumeration ended with an error", Builds::Windows),
    code("EmptyFolder", -5.0f, "text is null or empty", Builds::Windows),
    code("EmptyFolder", 0.0f, "the entries with a dot in their names were deleted", Builds::Mac),
    code("EmptyFolder", -1.0f, "the folder cannot be opened, or text is null or empty", Builds::Mac),

    code("FileCopyTo", 0.0f, "the file was copied"),
    code("FileCopyTo", -1.0f, "the copy failed for any cause (busy or hard-linked too), or text or mem1 is null"),
    code("FileDelete", 0.0f, "the file was deleted"),
    code("FileDelete", -1.0f, "the file cannot be deleted, or text is null"),
    code("FileRename", 0.0f, "the file was renamed"),
    code("FileRename", -1.0f, "the file cannot be renamed, or text or mem1 is null"),

    code("GetPublicFolder", 0.0f, "the public folder's path was written", Builds::Windows),
    code("GetPublicFolder", -1.0f, "the system cannot name the public folder", Builds::Windows),
    answer("GetPublicFolder", 1.0f, "the users folder's path was written", Builds::Mac),
    refusal("GetPublicFolder", 0.0f, "the users folder cannot be obtained", Builds::Mac),
};
}  // namespace fileops
