// The text files of the mesh exports: text formatted straight into a new
// file's buffer, ending its lines as a text-mode stream of the build does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "NewFile.h"
#include "Platform.h"
#include "StreamFloat.h"

namespace meshtext {

// The bytes go out as they are, in large blocks.
inline constexpr std::string_view kLineEnd = kWindowsBuild ? std::string_view("\r\n") : std::string_view("\n");

// Formats text straight into the new file's buffer.
class TextOut {
public:
    explicit TextOut(fileio::NewFile& f) : w_(f) {}
    // Room for at least n more bytes; commit(end) takes what was put there.
    // Once a write has failed the text goes nowhere.
    char* room(std::size_t n) {
        std::uint8_t* p = w_.room(n);
        if (!p) {
            lost_.resize(std::max(lost_.size(), n));
            p = lost_.data();
        }
        at_ = reinterpret_cast<char*>(p);
        return at_;
    }
    void commit(const char* end) {
        if (!lost_.empty() && at_ == reinterpret_cast<char*>(lost_.data())) return;
        w_.advance(static_cast<std::size_t>(end - at_));
    }
    void text(std::string_view s) {
        if (s.size() > fileio::NewFile::kBuffer) {
            w_.put(s);
            return;
        }
        char* p = room(s.size());
        std::memcpy(p, s.data(), s.size());
        commit(p + s.size());
    }
    void line(std::string_view s) {
        text(s);
        text(kLineEnd);
    }
    // Writes everything out; false once any write has failed.
    bool finish() { return w_.flush(); }

private:
    fileio::NewFile& w_;
    char* at_ = nullptr;
    std::vector<std::uint8_t> lost_;  // where text goes once a write has failed
};

inline char* putLineEnd(char* p) {
    std::memcpy(p, kLineEnd.data(), kLineEnd.size());
    return p + kLineEnd.size();
}

inline char* putUnsigned(char* p, std::uint64_t v) { return formatStreamUnsigned(v, p); }

// v in decimal, held in buf.
std::string_view decimal(char (&buf)[24], std::uint64_t v);

// Creates a text output: 0, or the code of why it cannot be (-2, or a
// shared code of the file layer).
float beginText(fileio::NewFile& f, const char* path);
// Commits the text: 0, or the code of what failed (-3, or a shared code of
// the file layer).
float commitText(TextOut& out, fileio::NewFile& f);

}  // namespace meshtext
