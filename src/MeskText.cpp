#include "MeskText.h"

#include "MeskOps.h"

namespace meshtext {

std::string_view decimal(char (&buf)[24], std::uint64_t v) {
    return std::string_view(buf, static_cast<std::size_t>(putUnsigned(buf, v) - buf));
}

float beginText(fileio::NewFile& f, const char* path) {
    return fileio::writtenCode(f.begin(path, fileio::Target::Output), kMeskOutputCannotOpen, kMeskOutputCannotOpen,
                               kMeskOutputCannotOpen);
}

float commitText(TextOut& out, fileio::NewFile& f) {
    out.finish();
    return fileio::writtenCode(f.commit(), kTextNotWritten, kTextNotWritten, kTextNotWritten);
}

}  // namespace meshtext
