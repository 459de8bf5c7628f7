// What every export and every worker shares of the host call: the
// library-wide result codes with their result rows, and the writer of
// string results into mem1. A leaf: the export table and the workers both
// include it, it includes neither.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "ResultCodes.h"

namespace hostcall {

// Library-wide codes, shared by every export (the operations' own codes are
// in each module's codes header, NAMECodes.h; docs/results.md lists all).
inline constexpr float kRefused = -9.0f;             // missing argument or value outside the accepted set
inline constexpr float kMem1TooSmall = -9003.0f;     // string result longer than mem1Size - 1; mem1 untouched
inline constexpr float kOutOfMemory = -9001.0f;      // allocation failed inside the work
inline constexpr float kInternalFailure = -9002.0f;  // any other exception caught at the boundary
// The exports that write a file; each leaves the file as it was.
inline constexpr float kFileBusy = -9004.0f;        // another writer held the file for longer than 2 s
inline constexpr float kFileHardLinked = -9005.0f;  // the file has other hard links
inline constexpr float kFolderClosed = -9006.0f;    // the file is writable, its folder takes no new file

inline constexpr results::Row kSharedResults[] = {
    results::code(nullptr, kRefused, "an argument is missing or its value is refused"),
    results::code(nullptr, kOutOfMemory, "memory ran out; nothing was written to mem1"),
    results::code(nullptr, kInternalFailure, "an internal failure was caught"),
    results::code(nullptr, kMem1TooSmall, "the string result does not fit in mem1Size bytes; mem1 unchanged"),
    results::code(nullptr, kFileBusy, "another call or program was writing the file for over 2 s; nothing changed"),
    results::code(nullptr, kFileHardLinked,
                  "the file has other hard links, which a rewrite would split; nothing changed"),
    results::code(nullptr, kFolderClosed,
                  "the file's folder does not let a new file be made beside it; nothing changed"),
};

// Writes s and its NUL into mem1 when they fit in mem1Size bytes; otherwise
// writes nothing and returns false.
inline bool putMem1(char* mem1, int mem1Size, std::string_view s) {
    if (!mem1 || mem1Size <= 0) return false;
    if (s.size() >= static_cast<std::size_t>(mem1Size)) return false;
    if (!s.empty()) std::memcpy(mem1, s.data(), s.size());
    mem1[s.size()] = '\0';
    return true;
}

}  // namespace hostcall
