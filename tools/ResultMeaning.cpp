#include "ResultMeaning.h"

#include <cmath>
#include <cstdio>

#include "BmpCodes.h"
#include "ExrCodes.h"
#include "FileCodes.h"
#include "HostCall.h"
#include "JpegCodes.h"
#include "MeskCodes.h"
#include "Platform.h"
#include "PsdCodes.h"
#include "SmallCodes.h"
#include "TargaCodes.h"
#include "TiffCodes.h"

namespace {

template <std::size_t N>
ResultTable table(const char* title, const results::Row (&rows)[N]) {
    return {title, rows, N};
}

// A range row's cause with "%d" replaced by the offset into the range.
std::string fill(const char* cause, double offset) {
    std::string s = cause;
    const std::size_t at = s.find("%d");
    if (at != std::string::npos) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.0f", offset);
        s.replace(at, 2, digits);
    }
    return s;
}

}  // namespace

const std::vector<ResultTable>& resultTables() {
    static const std::vector<ResultTable> tables = {
        table("Codes every export shares", hostcall::kSharedResults),
        table("Small exports and the host version check", kSmallResults),
        table("Meshes", kMeskResults),
        table("TIFF maps", tiff::kTiffResults),
        table("EXR maps", kExrResults),
        table("PSD maps", kPsdResults),
        table("BMP maps and thumbnails", kBmpResults),
        table("Targa output", kTargaResults),
        table("JPEG output", kJpegResults),
        table("File and folder services", fileops::kFileResults),
    };
    return tables;
}

const std::vector<results::Row>& allResultRows() {
    static const std::vector<results::Row> rows = [] {
        std::vector<results::Row> v;
        for (const ResultTable& t : resultTables()) v.insert(v.end(), t.rows, t.rows + t.count);
        return v;
    }();
    return rows;
}

bool inBuild(const results::Row& row, bool windows) {
    switch (row.builds) {
        case results::Builds::Windows:
            return windows;
        case results::Builds::Mac:
            return !windows;
        default:
            return true;
    }
}

bool inThisBuild(const results::Row& row) { return inBuild(row, kWindowsBuild); }

std::vector<results::Row> resultRowsOf(const std::string& exportName, bool windows) {
    std::vector<results::Row> own, shared;
    for (const results::Row& row : allResultRows()) {
        if (!inBuild(row, windows)) continue;
        if (!row.exportName)
            shared.push_back(row);
        else if (exportName == row.exportName)
            own.push_back(row);
    }
    own.insert(own.end(), shared.begin(), shared.end());
    return own;
}

std::vector<results::Row> resultRowsOf(const std::string& exportName) {
    return resultRowsOf(exportName, kWindowsBuild);
}

const results::Row* explainingRow(const std::vector<results::Row>& rows, float r) {
    for (const results::Row& row : rows)
        if (row.kind == results::Kind::Code && r == row.low) return &row;
    for (const results::Row& row : rows)
        if (row.kind == results::Kind::Range && r >= row.low && r <= row.high && std::floor(r) == r) return &row;
    for (const results::Row& row : rows)
        if (row.kind == results::Kind::Value && r >= row.low && r <= row.high) return &row;
    return nullptr;
}

bool isListedResult(const std::string& exportName, float r) {
    return explainingRow(resultRowsOf(exportName), r) != nullptr;
}

bool isFailureResult(const std::string& exportName, float r) {
    const std::vector<results::Row> rows = resultRowsOf(exportName);
    const results::Row* row = explainingRow(rows, r);
    return !row || row->failure;
}

std::string describeResult(const std::string& exportName, float r) {
    const std::vector<results::Row> rows = resultRowsOf(exportName);
    if (const results::Row* row = explainingRow(rows, r))
        return row->kind == results::Kind::Range ? fill(row->cause, static_cast<double>(r) - row->low) : row->cause;
    bool known = false;
    for (const results::Row& row : rows) known = known || row.exportName != nullptr;
    return known ? "not a result listed for " + exportName : "no results listed for " + exportName;
}
