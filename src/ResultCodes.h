// What an export's result means: each module's codes header (NAMECodes.h,
// below the module header) lists, for each of its exports, every code it
// can return and the values it returns on success, and whether the row is
// a failure. The rows are the one place the results are written: the
// driver, which includes the codes headers alone, prints the meaning
// beside a result and stops a script at a failure when asked to, `brindlex
// reference` writes the result reference (docs/results.md) from them, and
// the sweeps accept only an operation's own codes. Nothing in the library
// reads the rows.
#pragma once

#include <limits>

namespace results {

enum class Kind {
    Code,   // exactly `low`
    Range,  // a whole number, low <= result <= high; "%d" in the cause stands for result - low
    Value,  // low <= result <= high, when no other row of the export explains it (a count, a measure)
};

enum class Builds { Both, Windows, Mac };

struct Row {
    const char* exportName;  // null: every export (the shared codes)
    Kind kind;
    float low, high;
    const char* cause;  // a few plain words
    Builds builds;
    bool failure;  // the call did not do what it was asked
};

inline constexpr float kNoLimit = std::numeric_limits<float>::infinity();

// A code: 0 is success, any other code a failure.
constexpr Row code(const char* exportName, float c, const char* cause, Builds b = Builds::Both) {
    return {exportName, Kind::Code, c, c, cause, b, c != 0.0f};
}
// A code that is an answer, not a failure, whatever its value (a version
// number, a 1 for success).
constexpr Row answer(const char* exportName, float c, const char* cause, Builds b = Builds::Both) {
    return {exportName, Kind::Code, c, c, cause, b, false};
}
// A code that is a failure whatever its value (a 0 for "not done").
constexpr Row refusal(const char* exportName, float c, const char* cause, Builds b = Builds::Both) {
    return {exportName, Kind::Code, c, c, cause, b, true};
}
// A run of failure codes, one cause for each.
constexpr Row range(const char* exportName, float low, float high, const char* cause, Builds b = Builds::Both) {
    return {exportName, Kind::Range, low, high, cause, b, true};
}
constexpr Row value(const char* exportName, float low, float high, const char* cause, Builds b = Builds::Both) {
    return {exportName, Kind::Value, low, high, cause, b, false};
}
// A count or a size: any result from 0 up that no other row explains.
constexpr Row count(const char* exportName, const char* cause, Builds b = Builds::Both) {
    return value(exportName, 0.0f, kNoLimit, cause, b);
}

}  // namespace results
