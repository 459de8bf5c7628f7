// Shared by the PSD and BMP suites: small independent readers of the two
// formats (written from the file formats, not from the library), and a
// guard that makes a file read-only even for root.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "FileAccess.h"
#include "Platform.h"
#include "TestSupport.h"
#include "fixtures/Picture.h"

namespace maptest {

// Writes a built file into the test's folder and returns its path.
inline std::string put(const TempDir& dir, const std::string& name, const std::vector<unsigned char>& bytes) {
    std::string p = dir.path(name);
    EXPECT_TRUE(writeBytes(p, bytes));
    return p;
}

inline std::uint32_t le32(const std::vector<unsigned char>& f, std::size_t o) {
    return f[o] | (f[o + 1] << 8) | (f[o + 2] << 16) | (std::uint32_t(f[o + 3]) << 24);
}
inline std::uint32_t be32(const std::vector<unsigned char>& f, std::size_t o) {
    return (std::uint32_t(f[o]) << 24) | (f[o + 1] << 16) | (f[o + 2] << 8) | f[o + 3];
}
inline std::uint16_t be16(const std::vector<unsigned char>& f, std::size_t o) {
    return std::uint16_t((f[o] << 8) | f[o + 1]);
}

struct BmpFile {
    std::uint32_t fileSize = 0, dataOffset = 0, imageSize = 0;
    std::int32_t width = 0, height = 0;
    fixtures::Picture pic;          // rows in storage order
    std::vector<std::uint8_t> pad;  // every padding byte, row after row
};

// A 24-bit uncompressed bottom-up BMP; nothing when the file is not one or
// its rows do not fit.
inline std::optional<BmpFile> readBmp(const std::vector<unsigned char>& f) {
    if (f.size() < 54 || f[0] != 'B' || f[1] != 'M') return std::nullopt;
    BmpFile b;
    b.fileSize = le32(f, 2);
    b.dataOffset = le32(f, 10);
    b.width = std::int32_t(le32(f, 18));
    b.height = std::int32_t(le32(f, 22));
    b.imageSize = le32(f, 34);
    if ((f[28] | (f[29] << 8)) != 24 || le32(f, 30) != 0 || b.width < 0 || b.height < 0) return std::nullopt;
    const std::size_t stride = (3 * std::size_t(b.width) + 3) & ~std::size_t(3);
    if (b.dataOffset + stride * std::size_t(b.height) > f.size()) return std::nullopt;
    b.pic = fixtures::Picture(b.width, b.height);
    for (int y = 0; y < b.height; ++y) {
        const unsigned char* row = f.data() + b.dataOffset + std::size_t(y) * stride;
        for (int x = 0; x < b.width; ++x) b.pic.at(x, y) = fixtures::Rgb{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
        b.pad.insert(b.pad.end(), row + 3 * b.width, row + stride);
    }
    return b;
}

struct PsdFile {
    std::uint16_t channels = 0, depth = 0, mode = 0;
    std::uint32_t rows = 0, columns = 0;
    std::size_t dataOffset = 0;
    std::vector<std::vector<std::uint8_t>> planes;
    std::size_t trailing = 0;  // bytes after the last plane
};

// A version-1 raw PSD; nothing when the file is not one or is short.
inline std::optional<PsdFile> readPsd(const std::vector<unsigned char>& f) {
    if (f.size() < 26 || std::string(f.begin(), f.begin() + 4) != "8BPS" || be16(f, 4) != 1) return std::nullopt;
    PsdFile p;
    p.channels = be16(f, 12);
    p.rows = be32(f, 14);
    p.columns = be32(f, 18);
    p.depth = be16(f, 22);
    p.mode = be16(f, 24);
    std::size_t at = 26;
    for (int section = 0; section < 3; ++section) {
        if (at + 4 > f.size()) return std::nullopt;
        at += 4 + be32(f, at);
    }
    if (at + 2 > f.size() || be16(f, at) != 0) return std::nullopt;
    at += 2;
    p.dataOffset = at;
    const std::size_t plane = std::size_t(p.rows) * p.columns * (p.depth / 8);
    if (at + plane * p.channels > f.size()) return std::nullopt;
    for (int c = 0; c < p.channels; ++c, at += plane) p.planes.emplace_back(f.begin() + at, f.begin() + at + plane);
    p.trailing = f.size() - at;
    return p;
}

// The 8-bit RGB picture of a PSD's first three planes.
inline fixtures::Picture psdPicture(const PsdFile& p) {
    fixtures::Picture pic(int(p.columns), int(p.rows));
    for (std::size_t i = 0; i < pic.px.size(); ++i) pic.px[i] = {p.planes[0][i], p.planes[1][i], p.planes[2][i]};
    return pic;
}

// Makes a file read-only for as long as it lives, in a way root cannot
// write through (the immutable attribute; the read-only attribute under
// Windows). active() is false where that is not supported.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(std::string path) : path_(std::move(path)) {
        if (kWindowsBuild) {
            std::error_code ec;
            std::filesystem::permissions(std::filesystem::u8path(path_),
                                         std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                             std::filesystem::perms::others_write,
                                         std::filesystem::perm_options::remove, ec);
        } else {
            std::string cmd = "chattr +i '" + path_ + "' 2>/dev/null";
            if (std::system(cmd.c_str()) != 0) return;
        }
        active_ = !fileio::opens(path_, true);
    }
    ~ReadOnlyFile() {
        if (kWindowsBuild) {
            std::error_code ec;
            std::filesystem::permissions(std::filesystem::u8path(path_), std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ec);
        } else {
            std::string cmd = "chattr -i '" + path_ + "' 2>/dev/null";
            (void)std::system(cmd.c_str());
        }
    }
    bool active() const { return active_; }

private:
    std::string path_;
    bool active_ = false;
};

}  // namespace maptest
