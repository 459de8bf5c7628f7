// File and folder services, and path cutting. What each file and folder
// export's result means is in FileCodes.h.
//
// The two builds walk folders in different ways behind the same export
// names: the POSIX (macOS) build keeps an open directory stream in _folder,
// the Windows build reads a folder at once into _fileList and hands the
// names out by position.
#pragma once

#include <string>

#include "FileCodes.h"
#include "Platform.h"

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
