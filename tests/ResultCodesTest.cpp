// The result tables: each sane on its own, and each export of the library
// covered. They are the one place the results are written; docs/results.md
// is made from them and held to them by ResultReferenceTest.cpp.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "Platform.h"
#include "ResultMeaning.h"
#include "TestSupport.h"

namespace {

using results::Builds;
using results::Kind;
using results::Row;

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

// The exceptions to "negative is a failure, 0 or more a success" that the
// README's box gives a script author, held to the rows that stop a script.
TEST(ResultCodes, TheExceptionsToTheSignRuleAreMarkedAsTheyMean) {
    const struct {
        const char* exportName;
        float r;
        bool windows, failure;
    } cases[] = {
        {"saveAsJpeg", 1, false, true},    {"saveAsJpeg", 11, true, true},
        {"getUVs", 1501, false, true},     {"getUVsMask", 1503, true, true},
        {"mesktoOBJ", 20001, true, true},  {"mergeMapsTIF", 258, false, true},
        {"swapRGBTIF", 258, true, true},   {"saveAsTarga", 258, false, true},
        {"mergeMapsPSD", 36, false, true}, {"checkKelvaneVersion", -1, true, false},
        {"CheckFolder", -1, true, false},  {"GetPublicFolder", 1, false, false},
        {"Version", 48, false, false},     {"getUVTile", 3, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.exportName) + " " + std::to_string(c.r));
        const std::vector<Row> rows = resultRowsOf(c.exportName, c.windows);
        const Row* row = explainingRow(rows, c.r);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->failure, c.failure);
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
