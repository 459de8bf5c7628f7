// The result tables: each sane on its own, each export of the library
// covered, and the export reference (docs/exports.md) listing exactly their codes.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Platform.h"
#include "ResultMeaning.h"
#include "TestSupport.h"

namespace {

using results::Builds;
using results::Kind;
using results::Row;

// The reference writes negative numbers with U+2212.
const std::string kMinus = "\xE2\x88\x92";

bool sharesABuild(const Row& a, const Row& b) {
    return a.builds == Builds::Both || b.builds == Builds::Both || a.builds == b.builds;
}

// The export names the tables hold rows for.
std::set<std::string> tableExports() {
    std::set<std::string> names;
    for (const Row& row : allResultRows())
        if (row.exportName) names.insert(row.exportName);
    return names;
}

// The export's own rows in one build (no shared codes).
std::vector<Row> ownRows(const std::string& name, bool windows) {
    std::vector<Row> own;
    for (const Row& row : resultRowsOf(name, windows))
        if (row.exportName) own.push_back(row);
    return own;
}

// True when a code or range row of the export, in either build, or a
// shared code claims c exactly (a count or a measure does not).
bool claimsCode(const std::string& name, double c) {
    for (bool windows : {true, false})
        for (const Row& row : resultRowsOf(name, windows))
            if (row.kind != Kind::Value && c >= row.low && c <= row.high) return true;
    return false;
}

// ---------------------------------------------------------------------------
// The export reference (docs/exports.md), read as its tables lay it out.

std::string trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string cell;
    while (std::getline(in, cell, '|')) out.push_back(trim(cell));
    if (!out.empty() && out.front().empty()) out.erase(out.begin());
    if (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

// The names written in backticks.
std::vector<std::string> quotedNames(const std::string& s) {
    std::vector<std::string> names;
    for (std::size_t at = s.find('`'); at != std::string::npos;) {
        std::size_t end = s.find('`', at + 1);
        if (end == std::string::npos) break;
        names.push_back(s.substr(at + 1, end - at - 1));
        at = s.find('`', end + 1);
    }
    return names;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Every signed whole number of a code column ("258 (positive), −259", "+36").
std::vector<long long> codesOf(const std::string& s) {
    std::vector<long long> out;
    for (std::size_t i = 0; i < s.size();) {
        int sign = 1;
        std::size_t digits = i;
        if (s.compare(i, kMinus.size(), kMinus) == 0) {
            sign = -1;
            digits = i + kMinus.size();
        } else if (s[i] == '+' || s[i] == '-') {
            sign = s[i] == '-' ? -1 : 1;
            digits = i + 1;
        }
        if (digits < s.size() && isDigit(s[digits])) {
            long long v = 0;
            for (; digits < s.size() && isDigit(s[digits]); ++digits) v = 10 * v + (s[digits] - '0');
            out.push_back(sign * v);
            i = digits;
        } else {
            ++i;
        }
    }
    return out;
}

// True when text mentions the whole number c on its own (not inside a
// longer number or a word, and "−1" not inside "−1760").
bool mentions(const std::string& text, long long c) {
    const std::string want = c < 0 ? kMinus + std::to_string(-c) : std::to_string(c);
    for (std::size_t at = text.find(want); at != std::string::npos; at = text.find(want, at + 1)) {
        const std::size_t end = at + want.size();
        if (at > 0) {
            const char before = text[at - 1];
            if (isWordByte(before) || before == '.' || (c >= 0 && static_cast<unsigned char>(before) >= 0x80)) continue;
        }
        if (end < text.size()) {
            const char after = text[end];
            if (isDigit(after) || static_cast<unsigned char>(after) >= 0x80) continue;
            if (after == '.' && end + 1 < text.size() && isDigit(text[end + 1])) continue;
        }
        return true;
    }
    return false;
}

// The negative whole numbers a result text states ("−17 cannot open"),
// not those inside a formula ("levels−1") or a fraction.
std::vector<long long> negativesIn(const std::string& text) {
    std::vector<long long> out;
    for (std::size_t at = text.find(kMinus); at != std::string::npos; at = text.find(kMinus, at + 1)) {
        std::size_t i = at + kMinus.size();
        if (i >= text.size() || !isDigit(text[i])) continue;
        if (at > 0 && isWordByte(text[at - 1])) continue;
        long long v = 0;
        for (; i < text.size() && isDigit(text[i]); ++i) v = 10 * v + (text[i] - '0');
        if (i < text.size() && text[i] == '.') continue;
        out.push_back(-v);
    }
    return out;
}

struct ReadmeExport {
    bool win = false, mac = false;
    bool hostSignature = true;       // false for the C++ functions of the macOS build
    std::string result;              // the Result column
    std::set<long long> tableCodes;  // the codes of the code tables that apply to it
};

struct Reference {
    std::map<std::string, ReadmeExport> exports;
    std::set<long long> sharedCodes;
    std::vector<std::string> problems;  // what the layout itself gets wrong
};

std::string readReadme() {
    std::string path = std::string(BRINDLEX_SOURCE_DIR) + "/docs/exports.md";
    std::ifstream in(path, std::ios::binary);
    if (!in && kWindowsBuild && !path.empty() && path[0] == '/') in.open("Z:" + path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The blocks (runs of non-empty lines) of each "###" section of the export
// reference.
std::vector<std::vector<std::vector<std::string>>> referenceSections(const std::string& readme) {
    std::vector<std::vector<std::vector<std::string>>> sections;
    std::istringstream in(readme);
    std::string line;
    bool inside = false;
    std::vector<std::string> block;
    auto endBlock = [&] {
        if (!block.empty() && !sections.empty()) sections.back().push_back(block);
        block.clear();
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("## ", 0) == 0) {
            endBlock();
            inside = line == "## Export reference";
            continue;
        }
        if (!inside) continue;
        if (line.rfind("### ", 0) == 0) {
            endBlock();
            sections.emplace_back();
        } else if (trim(line).empty()) {
            endBlock();
        } else {
            block.push_back(line);
        }
    }
    endBlock();
    return sections;
}

Reference readReference(const std::string& readme) {
    Reference ref;
    for (const auto& section : referenceSections(readme)) {
        // The section's exports first: its code tables refer to them.
        std::vector<std::string> names;
        for (const auto& block : section) {
            if (cells(block[0]).empty() || cells(block[0])[0] != "Export") continue;
            for (std::size_t i = 2; i < block.size(); ++i) {
                std::vector<std::string> c = cells(block[i]);
                if (c.size() != 5) {
                    ref.problems.push_back("an export row without five columns: " + block[i]);
                    continue;
                }
                std::vector<std::string> quoted = quotedNames(c[0]);
                if (quoted.size() != 1) {
                    ref.problems.push_back("an export row without one name: " + block[i]);
                    continue;
                }
                ReadmeExport& e = ref.exports[quoted[0]];
                e.win = c[1] == "yes";
                e.mac = c[2] == "yes";
                e.hostSignature = c[3].rfind("C++", 0) != 0;
                e.result = c[4];
                names.push_back(quoted[0]);
            }
        }
        for (std::size_t b = 0; b < section.size(); ++b) {
            const auto& block = section[b];
            std::vector<std::string> head = cells(block[0]);
            if (head.empty() || head[0] != "Code") continue;
            // A two-column table belongs to the export its paragraph names
            // first, else to every export of the section; in a section
            // without exports it holds the shared codes.
            std::set<std::string> owners;
            if (head.size() == 2) {
                std::vector<std::string> before = b > 0 ? quotedNames(section[b - 1][0]) : std::vector<std::string>();
                if (b > 0 && section[b - 1][0].rfind("`", 0) == 0 && !before.empty() && ref.exports.count(before[0]))
                    owners.insert(before[0]);
                else
                    owners.insert(names.begin(), names.end());
            }
            for (std::size_t i = 2; i < block.size(); ++i) {
                std::vector<std::string> c = cells(block[i]);
                if (c.size() != head.size()) {
                    ref.problems.push_back("a code row with another number of columns: " + block[i]);
                    continue;
                }
                std::set<std::string> applies = owners;
                if (head.size() == 3) {
                    // "all", "all but `A`", or the exports named.
                    std::vector<std::string> quoted = quotedNames(c[1]);
                    if (c[1].rfind("all", 0) == 0) {
                        applies.insert(names.begin(), names.end());
                        for (const std::string& n : quoted) applies.erase(n);
                    } else {
                        applies.insert(quoted.begin(), quoted.end());
                    }
                    for (const std::string& n : quoted)
                        if (std::find(names.begin(), names.end(), n) == names.end())
                            ref.problems.push_back("a code row names " + n + ", not an export of its section");
                }
                const std::vector<long long> codes = codesOf(c[0]);
                if (codes.empty()) ref.problems.push_back("a code row without a code: " + block[i]);
                for (long long code : codes) {
                    if (names.empty()) ref.sharedCodes.insert(code);
                    for (const std::string& n : applies) ref.exports[n].tableCodes.insert(code);
                }
            }
        }
    }
    return ref;
}

const Reference& reference() {
    static const Reference ref = readReference(readReadme());
    return ref;
}

// The result text an export's row gives, with that of an export it refers
// to ("as `getUVs`").
std::string resultText(const Reference& ref, const std::string& name) {
    const ReadmeExport& e = ref.exports.at(name);
    std::string text = e.result;
    for (const std::string& other : quotedNames(e.result))
        if (other != name && text.find("as `" + other + "`") != std::string::npos && ref.exports.count(other))
            text += " " + ref.exports.at(other).result;
    return text;
}

// Negative numbers a result text states that are not results: the UVs
// written for corners outside a tile, the span's start value.
const std::set<std::pair<std::string, long long>> kNotResults = {{"getUVs", -1}, {"OpenEXR", -65535}};

}  // namespace

// ---------------------------------------------------------------------------
// The tables on their own.

TEST(ResultCodes, EveryHostExportOfThisBuildHasRows) {
    std::vector<std::string> names = library().exports();
    ASSERT_FALSE(names.empty());
    for (std::string name : names) {
        // The C++ functions (mangled or not) have no host signature and no result codes.
        if (name.rfind("_Z", 0) == 0 || name.find("::") != std::string::npos || name == "get_substr") continue;
        if (name == boundName("GetFilePath")) name = "GetFilePath";
        EXPECT_FALSE(ownRows(name, kWindowsBuild).empty()) << name << " has no result rows";
    }
}

TEST(ResultCodes, EveryRowOfThisBuildNamesOneOfItsExports) {
    for (const Row& row : allResultRows())
        if (row.exportName && inThisBuild(row)) {
            EXPECT_TRUE(hasExport(row.exportName)) << row.exportName;
        }
}

TEST(ResultCodes, NoTwoRowsOfAnExportClaimOneResult) {
    for (const std::string& name : tableExports()) {
        std::vector<Row> own;
        for (const Row& row : allResultRows())
            if (row.exportName && name == row.exportName) own.push_back(row);
        for (std::size_t i = 0; i < own.size(); ++i)
            for (std::size_t j = i + 1; j < own.size(); ++j) {
                const Row &a = own[i], &b = own[j];
                if (!sharesABuild(a, b)) continue;
                SCOPED_TRACE(name + ": \"" + a.cause + "\" and \"" + b.cause + "\"");
                if (a.kind == Kind::Value || b.kind == Kind::Value) {
                    // One count or measure per build: only the first would ever be named.
                    EXPECT_FALSE(a.kind == Kind::Value && b.kind == Kind::Value) << "two value rows";
                    continue;
                }
                EXPECT_TRUE(a.high < b.low || b.high < a.low) << "both claim " << std::max(a.low, b.low);
            }
    }
}

TEST(ResultCodes, RowsAreWellFormed) {
    for (const Row& row : allResultRows()) {
        const std::string cause = row.cause ? row.cause : "";
        SCOPED_TRACE(std::string(row.exportName ? row.exportName : "(shared)") + ": " + cause);
        EXPECT_FALSE(std::isnan(row.low) || std::isnan(row.high));
        EXPECT_LE(row.low, row.high);
        if (row.kind == Kind::Code) {
            EXPECT_EQ(row.low, row.high);
        }
        if (row.kind != Kind::Value) {
            EXPECT_EQ(std::floor(row.low), row.low) << "a code is a whole number";
        }
        // A few plain words for a script author.
        ASSERT_FALSE(cause.empty());
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(cause[0]))) << "starts in lower case";
        EXPECT_NE(cause.back(), '.') << "no closing full stop";
        EXPECT_LE(cause.size(), 100u) << "too long for one line";
        const std::size_t pct = cause.find('%');
        if (row.kind == Kind::Range && pct != std::string::npos) {
            EXPECT_EQ(cause.compare(pct, 2, "%d"), 0);
            EXPECT_EQ(cause.find('%', pct + 1), std::string::npos);
        } else {
            EXPECT_EQ(pct, std::string::npos) << "only a range's cause holds %d";
        }
    }
}

// Each export, in each of its builds, has a result that is not a failure,
// so that a script stopped at failures can get past it; counts and
// measures are never failures, runs of codes and the shared codes always.
TEST(ResultCodes, FailuresAreMarked) {
    for (const std::string& name : tableExports())
        for (bool windows : {false, true}) {
            const std::vector<Row> own = ownRows(name, windows);
            if (own.empty()) continue;
            SCOPED_TRACE(name + (windows ? " (Windows)" : " (macOS)"));
            EXPECT_TRUE(std::any_of(own.begin(), own.end(), [](const Row& r) { return !r.failure; }))
                << "no result is a success";
            for (const Row& row : own)
                if (row.kind != Kind::Code) {
                    EXPECT_EQ(row.failure, row.kind == Kind::Range) << row.cause;
                }
        }
    for (const Row& row : allResultRows())
        if (!row.exportName) {
            EXPECT_TRUE(row.failure) << row.cause;
        }
}

TEST(ResultCodes, DescribeResultNamesTheRowThatExplainsIt) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* exportName;
        float r;
        const char* meaning;
        bool windowsOnly, macOnly;
    } cases[] = {
        {"getUVTile", 3, "the number of distinct tiles", false, false},
        {"getUVTile", 0, "the number of distinct tiles", false, false},
        {"getUVTile", -17, "the mesh cannot be opened or read", false, false},
        {"getUVTile", -9003, "the string result does not fit in mem1Size bytes; mem1 unchanged", false, false},
        {"getUVTile", -20, "not a result listed for getUVTile", false, false},
        {"getUVs", 1501, "tile file 0 cannot be created or written, or would be the mesh itself", false, false},
        {"getUVs", 1502, "tile file 1 cannot be created or written, or would be the mesh itself", false, false},
        {"getUVs", 1500, "the number of tile files written (0: the mesh has no tile)", false, false},
        // Offsets past 2^31 are written out whole.
        {"getUVs", 4294967296.0f, "tile file 4294965795 cannot be created or written, or would be the mesh itself",
         false, false},
        {"saveAsTarga", -10, "the TIFF cannot be opened", false, false},
        {"saveAsTarga", 258, "the BitsPerSample count is not 1 or 3", false, false},
        {"saveAsTarga", -258, "not a result listed for saveAsTarga", false, false},
        {"saveAsJpeg", 8, "the JPEG file cannot be created, or it is the BMP", false, false},
        {"saveAsJpeg", 12, "not a result listed for saveAsJpeg", false, false},
        {"getScale", inf, "the scale factor", false, false},
        {"getScale", std::nanf(""), "not a result listed for getScale", false, false},
        {"Version", 48, "the library's version number", false, false},
        {"Version", 47, "not a result listed for Version", false, false},
        {"NoSuchExport", 0, "no results listed for NoSuchExport", false, false},
        // Build-specific meanings of one value.
        {"GetPublicFolder", 0, "the public folder's path was written", true, false},
        {"GetPublicFolder", 0, "the users folder cannot be obtained", false, true},
        {"CheckFolder", -1, "the folder exists", true, false},
        {"CheckFolder", -1, "the folder cannot be opened, or text is null", false, true},
        {"checkKelvaneVersion", -1, "the file holds the version marks", true, false},
        {"mesktoOBJ", 20001, "a chunk with this tag is where the vertex, colour or face chunk must be", true, false},
        {"mesktoOBJ", -1763, "a chunk with tag 0 is where the vertex, colour or face chunk must be", true, false},
        {"getScale16", 65535, "the span of the samples", true, false},
        {"getScale16", 65536, "not a result listed for getScale16", true, false},
        // An export's own row for a shared value comes first.
        {"OpenEXR", -9, "text is null, or the decoder finds the header incomplete", false, true},
        {"CreateThumbnailBMP", -9, "text is null, or the size is below 1", false, false},
        {"getUVsMask", -9, "an argument is missing or its value is refused", false, false},
    };
    for (const Case& c : cases) {
        if ((c.windowsOnly && !kWindowsBuild) || (c.macOnly && kWindowsBuild)) continue;
        SCOPED_TRACE(std::string(c.exportName) + " " + std::to_string(c.r));
        EXPECT_EQ(describeResult(c.exportName, c.r), c.meaning);
    }
}

// ---------------------------------------------------------------------------
// The export reference against the tables.

TEST(ResultCodesReadme, TheReferenceReadsAsTables) {
    const Reference& ref = reference();
    ASSERT_GT(ref.exports.size(), 40u) << "the export reference was not found in docs/exports.md";
    for (const std::string& p : ref.problems) ADD_FAILURE() << p;
}

TEST(ResultCodesReadme, SharedCodesMatch) {
    std::set<long long> shared;
    for (const Row& row : allResultRows())
        if (!row.exportName) shared.insert(static_cast<long long>(row.low));
    EXPECT_EQ(reference().sharedCodes, shared);
}

TEST(ResultCodesReadme, EveryExportOfTheTablesHasARow) {
    for (const std::string& name : tableExports()) EXPECT_TRUE(reference().exports.count(name)) << name;
}

TEST(ResultCodesReadme, BuildsMatch) {
    for (const auto& [name, e] : reference().exports) {
        if (!e.hostSignature) continue;
        SCOPED_TRACE(name);
        EXPECT_EQ(!ownRows(name, true).empty(), e.win) << "rows for the Windows build";
        EXPECT_EQ(!ownRows(name, false).empty(), e.mac) << "rows for the macOS build";
    }
}

// Each code of an export's rows appears in its row or in a code table that
// applies to it: a range by its first value, a count or a measure not at all.
TEST(ResultCodesReadme, EveryCodeOfTheTablesIsListed) {
    const Reference& ref = reference();
    for (const std::string& name : tableExports()) {
        if (!ref.exports.count(name)) continue;  // reported above
        const std::string text = resultText(ref, name);
        const std::set<long long>& tableCodes = ref.exports.at(name).tableCodes;
        for (const Row& row : allResultRows()) {
            if (!row.exportName || name != row.exportName || row.kind == Kind::Value) continue;
            const long long c = static_cast<long long>(row.low);
            EXPECT_TRUE(tableCodes.count(c) || mentions(text, c))
                << name << ": " << c << " (" << row.cause << ") is not in docs/exports.md";
        }
    }
}

// The other way round: every code of a code table, and every negative
// number a result states, is a result the tables list for that export.
TEST(ResultCodesReadme, EveryListedCodeIsInTheTables) {
    for (const auto& [name, e] : reference().exports) {
        if (!e.hostSignature) continue;
        for (long long c : e.tableCodes)
            EXPECT_TRUE(claimsCode(name, static_cast<double>(c)))
                << name << ": the code table of docs/exports.md gives " << c;
        for (long long c : negativesIn(e.result))
            EXPECT_TRUE(claimsCode(name, static_cast<double>(c)) || kNotResults.count({name, c}))
                << name << ": the row of docs/exports.md gives " << c;
    }
}

// The reader itself, on the forms the reference uses.
TEST(ResultCodesReadme, NumbersAreReadAsTheReferenceWritesThem) {
    EXPECT_EQ(codesOf("258 (positive), " + kMinus + "259, " + kMinus + "339"),
              (std::vector<long long>{258, -259, -339}));
    EXPECT_EQ(codesOf("+36"), std::vector<long long>{36});
    EXPECT_EQ(codesOf("1, 2"), (std::vector<long long>{1, 2}));
    struct Case {
        std::string text;
        long long code;
        bool mentioned;
    } cases[] = {
        {kMinus + "1760 cannot open", -1760, true},
        {kMinus + "1760 cannot open", -1, false},
        {kMinus + "1760 cannot open", 1760, false},
        {"4" + kMinus + "1 levels", -1, false},
        {"levels" + kMinus + "1", -1, false},
        {"1501 + i when", 1501, true},
        {"tag 25001", 1, false},
        {"0.5 gives 0", 0, true},
        {"0.5 gives", 0, false},
        {"2\xC2\xB3\xC2\xB9 or more", 2, false},
        {"48", 48, true},
    };
    for (const Case& c : cases) EXPECT_EQ(mentions(c.text, c.code), c.mentioned) << c.text << " / " << c.code;
    EXPECT_EQ(negativesIn("4·4^(levels" + kMinus + "1); " + kMinus + "9 text null, " + kMinus + "0.5"),
              std::vector<long long>{-9});
}
