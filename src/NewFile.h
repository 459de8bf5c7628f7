// How the library writes a file: every output and every rewrite goes
// through a NewFile, and nothing else in the library writes files.
//
// The content goes to a new file beside its destination, created under a
// unique name exclusively (never through a link, never over a file that is
// already there). It reaches stable storage before it takes the
// destination's name; then the rename, then a flush of the folder (POSIX).
// Until all of that has succeeded the destination is byte for byte what it
// was, and on any failure the new file is removed. A destination reached
// through a symbolic link is the file the link names (the link stays a
// link); an existing destination keeps its permission bits, owner and group
// (as far as the process may set them), extended attributes and access
// control lists, and a file with several hard links is refused rather than
// split. One writer at a time: a rewrite locks its file for the whole
// read-modify-write, and an output locks an existing destination while it
// replaces it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "ByteOrder.h"
#include "FileAccess.h"
#include "HostCall.h"

namespace fileio {

// How a step of writing a file ended.
enum class Written {
    Ok,
    CannotOpen,    // a rewrite's file is missing, not a regular file, or does not open for reading and writing
    CannotCreate,  // the destination cannot be created or replaced (no folder, no permission, not a regular file)
    Busy,          // another writer holds the file (a lock, or on Windows another program's open handle)
    HardLinked,    // the file has other hard links; replacing it would split them
    FolderClosed,  // the file may be written, but its folder does not let a new file be made beside it
    Failed,        // a write, flush, close or rename failed; the destination is as it was
};

// What a NewFile replaces.
enum class Target {
    Rewrite,  // an existing file, which must open for reading and writing (the map a merge or swap changes)
    Output,   // created, or replaced when it exists and opens for writing
    Replace,  // created, or replaced whatever its permission bits (a copy, which removes what it replaces)
};

// How long a writer waits for another's lock, and on Windows for another
// program to let go of a file it replaces, before it gives up (Busy).
inline constexpr int kWaitMilliseconds = 2000;

namespace detail {
struct Platform;
struct PlatformDeleter {
    void operator()(Platform* p) const;
};
class WriteBehind;
struct WriteBehindDeleter {
    void operator()(WriteBehind* w) const;
};
// The span of a new file written since the system was last asked to write
// it out; wrote() asks for the span once it holds enough.
struct WriteOutSpan {
    std::uint64_t low = ~std::uint64_t(0), high = 0, bytes = 0;
    void wrote(Platform& sys, std::uint64_t off, std::uint64_t n);
};
}  // namespace detail

class NewFile {
public:
    // The content goes out in pieces of up to this many bytes: content made
    // in place (room()) is made a piece at a time.
    static constexpr std::size_t kBuffer = 1u << 20;

    NewFile();
    NewFile(NewFile&&) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    // Locks the file at path for a read-modify-write, before anything of it
    // is read; begin() on the same path keeps the lock. Busy when another
    // writer keeps it longer than kWaitMilliseconds; Ok also when the file
    // is missing or cannot be opened at all, which the operation's own
    // checks then report.
    Written lock(const char* utf8Path);

    // Checks the destination as target says and creates the new file.
    Written begin(const char* utf8Path, Target target);

    // The content, written at the position (which starts at 0) through a
    // buffer; the first failure is remembered and ends every later write.
    void put(const void* data, std::size_t n);
    void put(std::string_view s) { put(s.data(), s.size()); }
    void byte(std::uint8_t b) {
        if (used_ == capacity_ && (drain(), capacity_ == 0)) return;
        buffer_[used_++] = b;
    }
    void le16(std::uint16_t v);
    void le32(std::uint32_t v);
    void be16(std::uint16_t v);
    void be32(std::uint32_t v);
    // Room for n more bytes at the position, in the buffer, for content
    // made in place (read into it, edited there); advance(n) then takes
    // them. Null once a write has failed.
    std::uint8_t* room(std::size_t n);
    void advance(std::size_t n) { used_ += n; }
    // Moves the position; the next put writes there.
    void seek(std::uint64_t off);
    // Writes what is buffered; false once any write has failed.
    bool flush();
    bool ok() const;

    // Makes the content the destination's, as the top of this file says;
    // Failed, with the destination as it was, when any step fails. The
    // object is empty afterwards, whatever the result.
    Written commit();
    // Removes the new file; the destination stays as it was.
    void abandon();

private:
    friend class NewFileBatch;
    void drain();
    void releaseBuffer();
    // Waits for the pieces written behind and ends the second thread.
    void settle();
    bool writeNow(const void* data, std::size_t n);
    Written prepare();

    std::unique_ptr<detail::Platform, detail::PlatformDeleter> sys_;
    std::unique_ptr<detail::WriteBehind, detail::WriteBehindDeleter> behind_;
    int drains_ = 0;  // pieces written so far, to start writing behind from the second on
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0, used_ = 0;
    std::uint64_t pos_ = 0;  // where the buffer's first byte goes
    detail::WriteOutSpan span_;
    bool ok_ = true;
};

// Writes the bytes [off, off + n) of w's file at out's position, a block at
// a time; false when a block cannot be read (out.ok() tells a failed write).
bool copyRange(FileWindow& w, std::uint64_t off, std::uint64_t n, NewFile& out);

// Copies source over destination through a NewFile, a block at a time: Ok,
// or why not (CannotOpen: the source cannot be read), the destination then
// as it was.
Written copyFile(const char* source, const char* destination, Target target);

// The system's own rename and removal of a name, for the file services that
// offer them as they are: the POSIX rename replaces an existing
// destination, the Windows one never does (it moves across volumes by
// copying); the POSIX removal also takes an empty folder. Nothing the
// library writes goes through them.
bool renameName(const char* utf8From, const char* utf8To);
bool removeName(const char* utf8Path);

// New files in one call committed together, with one flush per folder
// (the tile files of a split). Each is handed over once its content is
// complete: the system starts writing it out at once, and a few are kept
// open so that the flush at the end finds them written.
class NewFileBatch : NoCopy {
public:
    ~NewFileBatch();
    // Takes a file whose content is complete; Ok, or why it cannot be
    // kept (it is then removed, the destination as it was).
    Written add(NewFile&& file);
    // Commits the files in the order they were added, the first `count`
    // whole: count is the number handed over when all went well. A failure
    // leaves the destinations of the rest as they were; a failed folder
    // flush leaves every destination as it was (count 0).
    Written commit(std::size_t& count);

private:
    std::vector<NewFile> files_;
};

// The code an export gives for how a write ended: its own for a file that
// cannot be opened for reading and writing, for a destination that cannot
// be created, and for a failed write; the shared codes for the others.
inline float writtenCode(Written w, float cannotOpen, float cannotCreate, float failed) {
    switch (w) {
        case Written::Ok:
            return 0.0f;
        case Written::CannotOpen:
            return cannotOpen;
        case Written::CannotCreate:
            return cannotCreate;
        case Written::Busy:
            return hostcall::kFileBusy;
        case Written::HardLinked:
            return hostcall::kFileHardLinked;
        case Written::FolderClosed:
            return hostcall::kFolderClosed;
        case Written::Failed:
            break;
    }
    return failed;
}

}  // namespace fileio
