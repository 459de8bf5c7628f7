// The one file-access layer: every module opens and loads files through
// these calls, and writes them through NewFile (NewFile.h). Paths are UTF-8; the Windows build converts them to
// UTF-16 and uses the wide-character interfaces, the POSIX build passes the
// bytes unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ByteOrder.h"

namespace fileio {

// A base for the owners of a system resource that are neither copied nor
// moved.
struct NoCopy {
    NoCopy() = default;
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

enum class Load { Ok, CannotOpen, ReadError };

// True when path names a regular file that opens for reading; with
// forUpdate, for reading and writing, as the operations that must find a
// file writable ask (nothing is written through it: files are written
// through NewFile). Anything that is not a regular file (a folder, a
// device, a pipe) counts as not openable, and nothing waits for a pipe's
// other end.
bool opens(const char* utf8Path, bool forUpdate = false);
inline bool opens(const std::string& p, bool forUpdate = false) { return opens(p.c_str(), forUpdate); }

// True when both paths name one existing file (the same device and inode on
// POSIX, volume serial and file index on Windows), whatever their spelling:
// an operation that writes b while it still needs a must refuse. False when
// either cannot be examined (a missing destination is never the source).
bool sameFile(const char* utf8PathA, const char* utf8PathB);

struct Bytes;

// A read-only file read through one window at a time: a pass over a large
// file holds only the window it is in, never the whole file, whatever the
// file's size (the pages of a mapping count as the process's memory while
// mapped). The window is a mapping of the file's pages (no copy) where the
// system allows, else a buffer the bytes are read into.
class FileWindow : NoCopy {
public:
    // What one window maps at least by default, the block a pass asks for
    // at a time, and the unit large mapped windows are made of (see place()).
    // Each window costs a mapping and its undoing (a flush of the other
    // processors' address caches where threads share the process; a round
    // trip to the server under Wine), so a window holds a few blocks.
    static constexpr std::size_t kWindow = 8u << 20;
    static constexpr std::size_t kBlock = 1u << 20;
    static constexpr std::size_t kUnit = 2u << 20;

    // How a window is filled: mapped, or read into a buffer. Small windows
    // far apart (a few rows here and there of a large file) cost less read.
    enum class Fill { Map, Read };
    // How a pass that holds several windows under kUnit at once fills them.
    // A POSIX mapping is cheap (Linux brings a window's pages in with one
    // call); a view on Windows costs a round trip to the server under Wine
    // (about 0.2 ms a view, measured), more than copying the window into a
    // buffer that the next window reuses.
#if defined(_WIN32)
    static constexpr Fill kSmallFill = Fill::Read;
#else
    static constexpr Fill kSmallFill = Fill::Map;
#endif

    // window: what one window holds at least; a pass that holds several
    // windows at once may take smaller ones (and ask for smaller blocks).
    explicit FileWindow(std::size_t window = kWindow, Fill fill = Fill::Map) : window_(window), fill_(fill) {}
    ~FileWindow() { release(); }
    // Regular files only: a folder or device gives CannotOpen.
    Load open(const char* utf8Path);
    std::uint64_t size() const { return size_; }
    // The bytes [off, off + n): valid until the next view() or release().
    // Null when the range does not lie inside the file or cannot be read
    // (n = 0 inside the file gives a valid pointer to nothing). Asking for
    // much more than kBlock maps that much.
    const std::uint8_t* view(std::uint64_t off, std::size_t n);
    // The whole file as one view (an empty file gives an empty one); false
    // when it cannot be read or does not fit in memory's address range.
    bool whole(Bytes& out);
    // Copies the bytes [off, off + n) into dst straight from the file (a
    // pass that copies anyway saves the mapping); false when the range does
    // not lie inside the file or cannot be read. The window is not moved.
    bool read(std::uint64_t off, void* dst, std::size_t n);
    // The same for as much of the range as the file holds: the number of
    // bytes copied, short at the end of the file or where a read failed.
    std::size_t readSome(std::uint64_t off, void* dst, std::size_t n);
    void release();

private:
    bool place(std::uint64_t off, std::size_t n);
    void unmap();
    // A file is open, and [off, off + n) lies inside it.
    bool holds(std::uint64_t off, std::size_t n) const;
    std::size_t window_;
    Fill fill_;
    std::uint64_t size_ = 0;
    std::uint64_t start_ = 0;  // file offset of the window's first byte
    std::size_t length_ = 0;   // bytes in the window
    const std::uint8_t* base_ = nullptr;
    void* map_ = nullptr;               // the window's mapping, when mapped
    std::vector<std::uint8_t> buffer_;  // the window, when read
#if defined(_WIN32)
    void* file_ = nullptr;     // HANDLE of the file
    void* mapping_ = nullptr;  // HANDLE of its mapping object
#else
    int fd_ = -1;
#endif
};

// Calls fn(p, count) on the count elements of elemSize bytes from off on,
// a block of whole elements at a time through w; a block that is passed is
// not held any longer. False, with fn not called for the rest, when a block
// cannot be read or fn returns false.
template <class Fn>
bool forEachBlock(FileWindow& w, std::uint64_t off, std::uint64_t count, std::size_t elemSize, Fn&& fn) {
    const std::uint64_t per = elemSize >= FileWindow::kBlock ? 1 : FileWindow::kBlock / elemSize;
    while (count > 0) {
        const std::uint64_t n = count < per ? count : per;
        const std::uint8_t* p = w.view(off, static_cast<std::size_t>(n * elemSize));
        if (!p || !fn(p, static_cast<std::size_t>(n))) return false;
        off += n * elemSize;
        count -= n;
    }
    return true;
}

// Bounds-checked view of loaded file data. Every accessor fails instead of
// reading past the end, so a malformed file can only produce a failure code.
struct Bytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    Bytes() = default;
    Bytes(const std::uint8_t* d, std::size_t n) : data(d), size(n) {}
    explicit Bytes(const std::vector<std::uint8_t>& v) : data(v.data()), size(v.size()) {}

    // True when [off, off + len) lies inside the data, without overflow.
    bool has(std::size_t off, std::size_t len) const { return off <= size && len <= size - off; }
    // True when count elements of elemSize bytes starting at off fit.
    bool hasArray(std::size_t off, std::size_t count, std::size_t elemSize) const {
        if (elemSize != 0 && count > (SIZE_MAX / elemSize)) return false;
        return has(off, count * elemSize);
    }

    // The little-endian 32-bit word at off, when it lies inside the data.
    bool le32(std::size_t off, std::uint32_t& v) const;
};

#if defined(_WIN32)
// UTF-8 to UTF-16 and back with the system conversion, sized from the
// conversion itself. Invalid input converts as the system does.
std::wstring widen(const char* utf8);
std::string narrow(const wchar_t* utf16);
#endif

}  // namespace fileio
