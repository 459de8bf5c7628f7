// What an export's result means: each module lists, for each of its
// exports, every code it can return and the values it returns on success.
// The driver prints the meaning beside a result, the README's export
// reference is checked against the rows, and the sweeps accept only an
// operation's own codes. Nothing in the library reads the rows.
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
    const char *exportName;  // null: every export (the shared codes)
    Kind kind;
    float low, high;
    const char *cause;  // a few plain words
    Builds builds;
};

inline constexpr float kNoLimit = std::numeric_limits<float>::infinity();

constexpr Row code(const char *exportName, float c, const char *cause, Builds b = Builds::Both) {
    return {exportName, Kind::Code, c, c, cause, b};
}
constexpr Row range(const char *exportName, float low, float high, const char *cause, Builds b = Builds::Both) {
    return {exportName, Kind::Range, low, high, cause, b};
}
constexpr Row value(const char *exportName, float low, float high, const char *cause, Builds b = Builds::Both) {
    return {exportName, Kind::Value, low, high, cause, b};
}
// A count or a size: any result from 0 up that no other row explains.
constexpr Row count(const char *exportName, const char *cause, Builds b = Builds::Both) {
    return value(exportName, 0.0f, kNoLimit, cause, b);
}

}  // namespace results
