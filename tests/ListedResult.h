// "r is a listed result of EXPORT": the check the sweeps and the fault
// injection make on every result, against the export's result table.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "Platform.h"
#include "ResultMeaning.h"

// Success when one of exportName's rows (its own or the shared codes)
// explains r. An export only the other build has is checked against that
// build's rows: its worker is compiled here too, and the tests call it
// directly.
inline ::testing::AssertionResult listedResult(const std::string& exportName, float r) {
    auto ownRows = [&](bool windows) {
        std::vector<results::Row> rows = resultRowsOf(exportName, windows);
        for (const results::Row& row : rows)
            if (row.exportName) return rows;
        return std::vector<results::Row>();
    };
    std::vector<results::Row> rows = ownRows(kWindowsBuild);
    if (rows.empty()) rows = ownRows(!kWindowsBuild);
    if (rows.empty()) return ::testing::AssertionFailure() << "no results are listed for " << exportName;
    if (explainingRow(rows, r)) return ::testing::AssertionSuccess();
    std::ostringstream listed;
    for (const results::Row& row : rows) {
        if (!row.exportName) continue;
        listed << (listed.tellp() > 0 ? ", " : "") << row.low;
        if (row.kind != results::Kind::Code) listed << ".." << row.high;
    }
    return ::testing::AssertionFailure() << r << " is not a listed result of " << exportName << " (" << listed.str()
                                         << " and the shared codes)";
}
