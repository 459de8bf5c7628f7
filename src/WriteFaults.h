// Fault injection into the write protocol, for the tests: a hook asked
// before each system step of writing a file, which may make it fail as
// the system would; and the source of the new files' names, so that a test
// can put files and links where the library will look. Nothing in the
// library sets either.
#pragma once

#include <cstdint>

namespace fileio::faults {

enum class Step {
    Create,      // the new file beside the destination
    Write,       // one write of the content
    Sync,        // the content flushed to stable storage
    Name,        // an unnamed new file given its name (Linux)
    Close,       // the new file closed
    Rename,      // the new file renamed over the destination
    FolderSync,  // the folder flushed after the rename (POSIX)
};

// Returns true when the step is to fail.
using Hook = bool (*)(Step);
void setHook(Hook hook);  // null: no faults
bool fails(Step step);

// Makes every new file under a name from the start, as on systems without
// unnamed files (all but Linux), so that the tests take that path too.
void setNamedFromTheStart(bool named);
bool namedFromTheStart();

// Gives the random part of each new file's name in turn.
using NameSource = std::uint64_t (*)();
void setNameSource(NameSource source);  // null: the library's own
std::uint64_t nextName();

}  // namespace fileio::faults
