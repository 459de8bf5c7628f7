// The system's half of NewFile: one implementation per platform
// (NewFilePosix.cpp, NewFileWindows.cpp), each step as the protocol in
// NewFile.h orders them. Only NewFile.cpp calls these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "NewFile.h"

namespace fileio::detail {

Platform* makePlatform();
void destroyPlatform(Platform* p);

Written lock(Platform& p, const char* utf8Path);
// The destination's checks for target, then the new file beside it.
Written begin(Platform& p, const char* utf8Path, Target target);
bool writeAt(Platform& p, std::uint64_t off, const void* data, std::size_t n);
// Asks the system to start writing out the bytes [from, from + length) of
// the new file (length 0: from there to the end).
void startWriteOut(Platform& p, std::uint64_t from = 0, std::uint64_t length = 0);
// The existing destination's metadata carried over and the content
// flushed to stable storage; where the system must, the new file closed.
Written prepare(Platform& p);
// A prepared file given its name and closed, so that it holds no handle
// until it is published.
Written park(Platform& p);
// The new file named (when it has no name yet), renamed over the
// destination and closed.
Written publish(Platform& p);
// The folder that publish changed, flushed; folder() names it, so that a
// batch flushes each folder once.
bool flushFolder(Platform& p);
const std::string& folder(const Platform& p);
// After a folder flush that failed: the destination as it was.
void restore(Platform& p);
// Lets go of the destination (its lock) once the new file is its content.
void finish(Platform& p);
// Removes the new file, if there is one, and lets go of the destination.
void abandon(Platform& p);

// A name for a new file beside `leaf`: hidden where a leading dot hides
// it, and telling which file it belongs to.
std::string newFileName(std::string_view leaf);

}  // namespace fileio::detail
