#include "ResultReference.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "ResultMeaning.h"

namespace {

// A whole number as the reference writes it: negative with U+2212.
std::string number(double v) {
    char digits[48];
    std::snprintf(digits, sizeof digits, "%.0f", std::fabs(v));
    return (v < 0 ? "\u2212" : "") + std::string(digits);
}

bool hasOffset(const char* cause) { return std::string(cause).find("%d") != std::string::npos; }

std::string resultColumn(const results::Row& row) {
    switch (row.kind) {
        case results::Kind::Code:
            return number(row.low);
        case results::Kind::Range:
            if (hasOffset(row.cause)) return number(row.low) + " + n";
            // The top of a 32-bit run is not a float: say "and up".
            if (row.high >= 4294967295.0f) return number(row.low) + " and up";
            return number(row.low) + " to " + number(row.high);
        default:
            if (std::isinf(row.high)) return number(row.low) + " and up";
            return number(row.low) + " to " + number(row.high);
    }
}

std::string meaningColumn(const results::Row& row) {
    std::string s = row.cause;
    const std::size_t at = s.find("%d");
    if (at != std::string::npos) s.replace(at, 2, "n");
    if (row.kind == results::Kind::Value) s += " (any result no other row explains)";
    return s;
}

const char* buildsColumn(results::Builds b) {
    switch (b) {
        case results::Builds::Windows:
            return "Windows";
        case results::Builds::Mac:
            return "macOS";
        default:
            return "both";
    }
}

void tableHead(std::string& out) {
    out += "| Result | Failure | Meaning | Builds |\n";
    out += "|---|---|---|---|\n";
}

void tableRow(std::string& out, const results::Row& row) {
    out += "| " + resultColumn(row) + " | " + (row.failure ? "yes" : "") + " | " + meaningColumn(row) + " | " +
           buildsColumn(row.builds) + " |\n";
}

// "(Windows build only)" when every row of the export is in one build.
std::string exportBuilds(const std::vector<const results::Row*>& rows) {
    bool windows = false, mac = false;
    for (const results::Row* r : rows) {
        windows = windows || r->builds != results::Builds::Mac;
        mac = mac || r->builds != results::Builds::Windows;
    }
    if (windows && !mac) return " (Windows build only)";
    if (mac && !windows) return " (macOS build only)";
    return "";
}

}  // namespace

std::string resultReference() {
    std::string out =
        "# Result codes\n"
        "\n"
        "Every result of every export, in both builds. This file is written by\n"
        "`brindlex reference` from the result rows in each module's codes\n"
        "header, `src/NAMECodes.h` (`make reference` writes it); change the\n"
        "rows, then run it. The suite fails while this file and the rows differ.\n"
        "\n"
        "A result marked as a failure means the call did not do what it was\n"
        "asked; `brindlex run --stop-on-error` stops there, and so does a result\n"
        "no row explains. \"n\" in a result is the number its meaning names.\n"
        "Besides its own results, every export can return the shared codes of\n"
        "the first table. What each export takes and does is in\n"
        "[exports.md](exports.md).\n";
    for (const ResultTable& t : resultTables()) {
        out += "\n## " + std::string(t.title) + "\n";
        const results::Row* end = t.rows + t.count;
        if (t.count && !t.rows[0].exportName) {
            out += "\n";
            tableHead(out);
            for (const results::Row* r = t.rows; r != end; ++r) tableRow(out, *r);
            continue;
        }
        // The exports in the order their first rows come, each with all its rows.
        std::vector<std::string> names;
        for (const results::Row* r = t.rows; r != end; ++r) {
            bool seen = false;
            for (const std::string& n : names) seen = seen || n == r->exportName;
            if (!seen) names.push_back(r->exportName);
        }
        for (const std::string& name : names) {
            std::vector<const results::Row*> rows;
            for (const results::Row* r = t.rows; r != end; ++r)
                if (name == r->exportName) rows.push_back(r);
            out += "\n### `" + name + "`" + exportBuilds(rows) + "\n\n";
            tableHead(out);
            for (const results::Row* r : rows) tableRow(out, *r);
        }
    }
    return out;
}
