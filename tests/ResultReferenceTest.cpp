// The result reference (docs/results.md) is what the driver writes from the
// result rows, byte for byte: a row added, changed or removed without the
// file, or the file edited by hand, fails here.
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ResultReference.h"

namespace {

const std::string kMinus = "\xE2\x88\x92";

std::string committedReference() {
    std::ifstream in(std::string(BRINDLEX_SOURCE_DIR) + "/docs/results.md", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The first line where two texts part, for a message a reader can act on.
std::string firstDifference(const std::string& want, const std::string& have) {
    std::istringstream a(want), b(have);
    std::string la, lb;
    for (int line = 1;; ++line) {
        const bool ga = static_cast<bool>(std::getline(a, la)), gb = static_cast<bool>(std::getline(b, lb));
        if (!ga && !gb) return "the texts differ only in their last line end";
        if (!ga || !gb || la != lb)
            return "line " + std::to_string(line) + ": the rows give \"" + (ga ? la : "<end>") +
                   "\", docs/results.md has \"" + (gb ? lb : "<end>") + "\"";
    }
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(ResultReference, TheCommittedFileIsWhatTheRowsWrite) {
    const std::string want = resultReference(), have = committedReference();
    ASSERT_FALSE(have.empty()) << "docs/results.md is missing";
    EXPECT_TRUE(want == have) << firstDifference(want, have)
                              << "\nRun `make reference` (or `brindlex reference > docs/results.md`).";
}

// The forms a script author reads: negative codes with U+2212, a run of
// codes by its first one and the number it names, an export of one build
// marked so, every row's build, and measures set apart from codes.
TEST(ResultReference, WritesEachKindOfRowReadably) {
    const std::string ref = resultReference();
    const std::string lines[] = {
        "| " + kMinus + "9 | yes | an argument is missing or its value is refused | both |",
        "| 1501 + n | yes | tile file n cannot be created or written, or would be the mesh itself | both |",
        "| 1 and up | yes | a chunk with this tag is where the vertex, colour or face chunk must be | Windows |",
        "| 0 and up |  | the scale factor (any result no other row explains) | both |",
        "| 0 to 65535 |  | the span of the samples (any result no other row explains) | Windows |",
        "| 48 |  | the library's version number | both |",
        "### `mesktoOBJ` (Windows build only)\n",
        "### `OpenEXR` (macOS build only)\n",
        "### `CheckFolder`\n",
    };
    for (const std::string& l : lines) EXPECT_TRUE(contains(ref, l)) << l;
    EXPECT_FALSE(contains(ref, "%d"));
    EXPECT_FALSE(contains(ref, "| -")) << "negative numbers take U+2212";
    EXPECT_FALSE(contains(ref, "\r")) << "the file's lines end in LF in both builds";
}
