// The driver's command language: its command line, the words of a script
// line, one export call's options, and the text it prints for a result.
// Nothing here loads the library, so every rule can be tested on its own.
#pragma once

#include <string>
#include <vector>

// One export call: "EXPORT [--text T] [--value V] [--mem1 M] [--mem1-size N]".
// An option left out is a null pointer (text, mem1) or its default.
struct DriverCall {
    std::string name;
    bool hasText = false, hasMem1 = false;
    std::string text, mem1;
    double value = 0;
    int mem1Size = 4096;
};

// The largest mem1 block the driver allocates.
constexpr int kMaxMem1Size = 1 << 30;

// Parses "EXPORT [options]"; on failure err names the offending word.
bool parseCall(const std::vector<std::string>& args, DriverCall& call, std::string& err);

// Splits a script's content into lines. A UTF-8 byte order mark at the very
// start is dropped, and so is the CR of a CR LF line end; an empty last
// line after the final line end is not a line. Line i is line i + 1 of the
// file.
std::vector<std::string> scriptLines(const std::string& content);

// Splits one script line into words. Spaces and tabs separate words; a
// double quote always opens or closes a group (so "" is an empty word and
// a"b c"d is one word), a backslash is an ordinary character, and a # outside
// a group ends the line. An unterminated group is an error.
bool splitScriptLine(const std::string& line, std::vector<std::string>& words, std::string& err);

enum class ScriptLineKind { Blank, Call, Error };

// A script line as a call ("call" in front is optional). Blank for an
// empty or comment-only line; Error with err set when it cannot be parsed.
ScriptLineKind parseScriptLine(const std::string& line, DriverCall& call, std::string& err);

// Reads a whole script (UTF-8 path, wide-character open on Windows). A
// folder or a file that cannot be read is an error.
bool readScript(const std::string& path, std::string& content, std::string& err);

// Why a script's bytes are not UTF-8 text, in a few words ("UTF-16
// little-endian text (it starts with FF FE)", "not UTF-8: byte 0xE9 on line
// 3 begins no UTF-8 character"); empty when they are UTF-8 (a byte order
// mark allowed).
std::string scriptEncodingProblem(const std::string& content);

// The message for an export the library does not have: "export NAME not
// found", then the nearest of the library's exports (display names) when
// some are close in spelling, and a note when NAME is an export of the
// other build.
std::string exportNotFound(const std::string& name, const std::vector<std::string>& exports);

// A float as the driver prints it: %.9g, so the text reads back as the
// same float; nan, inf and -inf spelled the same in every build.
std::string formatFloat(float r);

// "result: R (MEANING)", the meaning from the export's result rows.
std::string resultLine(const std::string& exportName, float r);

// The name a script author calls an export by, from its name in the
// library's export table: C++ exports demangled without their parameter
// list, the Windows build's decorated GetFilePath as plain GetFilePath.
std::string exportDisplayName(const std::string& tableName);

// The export table's names as a script author calls them, sorted.
std::vector<std::string> displayNames(const std::vector<std::string>& tableNames);

// The library path --library names, relative to the current folder (a bare
// file name is not looked up on the system's library path).
std::string libraryPathFromArgument(const std::string& arg);

enum class DriverCommand { None, Call, Run, Exports, Demo, Reference };

struct DriverArgs {
    std::string library;  // empty: the library beside the driver
    bool help = false, version = false;
    DriverCommand command = DriverCommand::None;
    DriverCall call;                        // call
    std::string script;                     // run
    bool stopOnError = false;               // run
    std::string demoDir = "brindlex-demo";  // demo
};

// Parses the driver's command line (without the program name). On failure
// err names the command, option or argument that is wrong (a usage error).
bool parseCommandLine(const std::vector<std::string>& argv, DriverArgs& out, std::string& err);
