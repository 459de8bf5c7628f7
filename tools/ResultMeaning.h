// The meaning of an export's result, from the modules' result tables.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ResultCodes.h"

// One module's table of rows, under the title its reference section takes.
struct ResultTable {
    const char* title;
    const results::Row* rows;
    std::size_t count;
};

// The modules' tables, the shared codes first.
const std::vector<ResultTable>& resultTables();

// Every row of every module's table, the shared codes first.
const std::vector<results::Row>& allResultRows();

// True when the row applies to the build the driver was made for.
bool inThisBuild(const results::Row& row);
// True when the row applies to the Windows build (windows) or the macOS one.
bool inBuild(const results::Row& row, bool windows);

// The rows that can explain a result of exportName in this build: its own
// rows, then the shared codes.
std::vector<results::Row> resultRowsOf(const std::string& exportName);
// The same for the Windows build (windows) or the macOS one.
std::vector<results::Row> resultRowsOf(const std::string& exportName, bool windows);

// The first of rows that explains r: a code, else a range, else a value;
// null when none does.
const results::Row* explainingRow(const std::vector<results::Row>& rows, float r);

// True when one of exportName's rows in this build explains r.
bool isListedResult(const std::string& exportName, float r);

// True when r of exportName is a failure: its row says so, or no row
// explains it.
bool isFailureResult(const std::string& exportName, float r);

// The meaning of result r of exportName in a few words, as the driver
// prints it: "the tile count", "tile file 1 cannot be created", or a note
// that the tables do not list the result.
std::string describeResult(const std::string& exportName, float r);
