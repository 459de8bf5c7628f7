#include "ResultMeaning.h"

#include <cmath>
#include <cstdio>
#include <iterator>

#include "Brindlex.h"
#include "MeskOps.h"
#include "Platform.h"

namespace {

template <std::size_t N>
void append(std::vector<results::Row> &to, const results::Row (&rows)[N]) {
    to.insert(to.end(), std::begin(rows), std::end(rows));
}

// A range row's cause with "%d" replaced by the offset into the range.
std::string fill(const char *cause, long offset) {
    std::string s = cause;
    const std::size_t at = s.find("%d");
    if (at != std::string::npos) s.replace(at, 2, std::to_string(offset));
    return s;
}

}  // namespace

const std::vector<results::Row> &allResultRows() {
    static const std::vector<results::Row> rows = [] {
        std::vector<results::Row> v;
        append(v, hostcall::kSharedResults);
        append(v, kMeskResults);
        return v;
    }();
    return rows;
}

bool inThisBuild(const results::Row &row) {
    switch (row.builds) {
    case results::Builds::Windows:
        return kWindowsBuild;
    case results::Builds::Mac:
        return !kWindowsBuild;
    default:
        return true;
    }
}

std::vector<results::Row> resultRowsOf(const std::string &exportName) {
    std::vector<results::Row> own, shared;
    for (const results::Row &row : allResultRows()) {
        if (!inThisBuild(row)) continue;
        if (!row.exportName)
            shared.push_back(row);
        else if (exportName == row.exportName)
            own.push_back(row);
    }
    own.insert(own.end(), shared.begin(), shared.end());
    return own;
}

std::string describeResult(const std::string &exportName, float r) {
    const std::vector<results::Row> rows = resultRowsOf(exportName);
    for (const results::Row &row : rows)
        if (row.kind == results::Kind::Code && r == row.low) return row.cause;
    for (const results::Row &row : rows)
        if (row.kind == results::Kind::Range && r >= row.low && r <= row.high && std::floor(r) == r)
            return fill(row.cause, static_cast<long>(r - row.low));
    for (const results::Row &row : rows)
        if (row.kind == results::Kind::Value) return row.cause;
    bool known = false;
    for (const results::Row &row : rows) known = known || row.exportName != nullptr;
    return known ? "not a result listed for " + exportName : "no results listed for " + exportName;
}
