// The file and folder exports' result rows (the services are in FileOps.h).
#pragma once

#include "ResultCodes.h"

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
