// The driver's command language: script lines, call options, the command
// line, the printed results and the export names, without starting the
// driver (tests/CMakeLists.txt runs the driver itself for its exit status).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>

#include "DriverScript.h"
#include "Platform.h"
#include "ResultMeaning.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

using Words = std::vector<std::string>;

std::string joined(const Words& w) {
    std::string s;
    for (const std::string& x : w) s += "[" + x + "]";
    return s;
}

}  // namespace

TEST(DriverScript, SplitsLinesIntoWords) {
    struct Case {
        const char* line;
        Words words;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"Version", {"Version"}},
        {"  call \t Version  ", {"call", "Version"}},
        // A backslash is a character, so a folder path may end in one.
        {R"(CheckFolder --text "Z:\maps\")", {"CheckFolder", "--text", R"(Z:\maps\)"}},
        {R"(--text C:\a\"b c")", {"--text", R"(C:\a\b c)"}},
        {R"(--text "a b"c)", {"--text", "a bc"}},
        {R"(x"y z"w)", {"xy zw"}},
        {R"(--mem1 "")", {"--mem1", ""}},
        {R"("" "")", {"", ""}},
        {R"("  spaced  ")", {"  spaced  "}},
        // # outside a group ends the line, wherever it stands.
        {"# a whole-line comment", {}},
        {"   # indented", {}},
        {"Version # note", {"Version"}},
        {"Version# note", {"Version"}},
        {"--text a#b", {"--text", "a"}},
        {R"(--text "a # b" # c)", {"--text", "a # b"}},
        {R"(Version # "an unclosed quote in a comment)", {"Version"}},
        {"--text \"tab\tinside\"", {"--text", "tab\tinside"}},
        {"--text \"caf\xC3\xA9\"", {"--text", "caf\xC3\xA9"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Words words;
        std::string err;
        ASSERT_TRUE(splitScriptLine(c.line, words, err)) << err;
        EXPECT_EQ(joined(words), joined(c.words));
    }
}

TEST(DriverScript, UnterminatedQuoteIsAnError) {
    for (const char* line :
         {"\"", "Version --text \"abc", R"(--text "Z:\maps\"")", R"(--text a\"b)", "--text \"a\" \"b # c"}) {
        SCOPED_TRACE(line);
        Words words;
        std::string err;
        EXPECT_FALSE(splitScriptLine(line, words, err));
        EXPECT_NE(err.find("unterminated quote"), std::string::npos) << err;
        DriverCall call;
        EXPECT_EQ(parseScriptLine(line, call, err), ScriptLineKind::Error);
    }
}

TEST(DriverScript, SplitsContentIntoNumberedLines) {
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        std::string content;
        Words lines;
    };
    const Case cases[] = {
        {"", {}},
        {"\n", {""}},
        {"Version", {"Version"}},
        {"Version\n", {"Version"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        // Only the CR of a line end goes; one inside a line stays.
        {"a\rb\n", {"a\rb"}},
        {"a\r\r\n", {"a\r"}},
        {bom + "Version\r\n", {"Version"}},
        {bom, {}},
        // A byte order mark is dropped only at the start of the file.
        {"a\n" + bom + "b", {"a", bom + "b"}},
        {bom + bom + "a", {bom + "a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.content));
        EXPECT_EQ(scriptLines(c.content), c.lines);
    }
}

TEST(DriverScript, LineKinds) {
    struct Case {
        const char* line;
        ScriptLineKind kind;
        const char* name;  // the export, or what the error says
    };
    const Case cases[] = {
        {"", ScriptLineKind::Blank, ""},
        {"# only a comment", ScriptLineKind::Blank, ""},
        {"Version", ScriptLineKind::Call, "Version"},
        {"call Version", ScriptLineKind::Call, "Version"},
        {"call call", ScriptLineKind::Call, "call"},
        {"call", ScriptLineKind::Error, "missing export name"},
        {"call # Version", ScriptLineKind::Error, "missing export name"},
        {"--text x", ScriptLineKind::Error, "missing export name before --text"},
        {"Version --txt x", ScriptLineKind::Error, "unknown option --txt"},
        {"Version --text", ScriptLineKind::Error, "option --text needs a value"},
        {"Version --text # x", ScriptLineKind::Error, "option --text needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        DriverCall call;
        std::string err;
        const ScriptLineKind kind = parseScriptLine(c.line, call, err);
        EXPECT_EQ(static_cast<int>(kind), static_cast<int>(c.kind));
        EXPECT_EQ(kind == ScriptLineKind::Call ? call.name : kind == ScriptLineKind::Error ? err : "", c.name);
    }
}

TEST(DriverCall, ParsesOptionsAndDefaults) {
    struct Case {
        Words args;
        bool hasText, hasMem1;
        std::string text, mem1;
        double value;
        int mem1Size;
    };
    const Case cases[] = {
        {{"Version"}, false, false, "", "", 0, 4096},
        {{"GetString", "--text", "abc", "--value", "2", "--mem1", "", "--mem1-size", "3"}, true, true, "abc", "", 2, 3},
        // Order does not matter; a value may look like an option.
        {{"X", "--mem1-size", "0", "--mem1", "--text", "--text", "--value"}, true, true, "--value", "--text", 0, 0},
        {{"X", "--value", "-3"}, false, false, "", "", -3, 4096},
        {{"X", "--value", "1e3"}, false, false, "", "", 1000, 4096},
        {{"X", "--value", "0.1"}, false, false, "", "", 0.1, 4096},
        {{"X", "--text", ""}, true, false, "", "", 0, 4096},
        {{"X", "--mem1-size", "1073741824"}, false, false, "", "", 0, kMaxMem1Size},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(joined(c.args));
        DriverCall call;
        std::string err;
        ASSERT_TRUE(parseCall(c.args, call, err)) << err;
        EXPECT_EQ(call.name, c.args[0]);
        EXPECT_EQ(call.hasText, c.hasText);
        EXPECT_EQ(call.hasMem1, c.hasMem1);
        EXPECT_EQ(call.text, c.text);
        EXPECT_EQ(call.mem1, c.mem1);
        EXPECT_EQ(call.value, c.value);
        EXPECT_EQ(call.mem1Size, c.mem1Size);
    }
    DriverCall call;
    std::string err;
    ASSERT_TRUE(parseCall({"X", "--value", "nan"}, call, err));
    EXPECT_TRUE(std::isnan(call.value));
}

TEST(DriverCall, RefusesBadArgumentsByName) {
    struct Case {
        Words args;
        const char* err;
    };
    const Case cases[] = {
        {{}, "missing export name"},
        {{"--value", "1"}, "missing export name before --value"},
        {{"X", "--bogus", "1"}, "unknown option --bogus"},
        {{"X", "-t", "1"}, "unknown option -t"},
        {{"X", "stray"}, "extra argument stray"},
        {{"X", "--text", "a", "stray"}, "extra argument stray"},
        {{"X", "--text"}, "option --text needs a value"},
        {{"X", "--mem1"}, "option --mem1 needs a value"},
        {{"X", "--text", "a", "--text", "b"}, "option --text given twice"},
        {{"X", "--value", "1", "--value", "1"}, "option --value given twice"},
        {{"X", "--value", ""}, "--value  is not a number"},
        {{"X", "--value", "ten"}, "--value ten is not a number"},
        {{"X", "--value", "1x"}, "--value 1x is not a number"},
        {{"X", "--mem1-size", "-1"}, "--mem1-size -1 is not a whole number"},
        {{"X", "--mem1-size", "1.5"}, "--mem1-size 1.5 is not a whole number"},
        {{"X", "--mem1-size", "1073741825"}, "--mem1-size 1073741825 is not a whole number"},
        {{"X", "--mem1-size", "99999999999999999999"}, "is not a whole number"},
        {{"X", "--mem1-size", ""}, "is not a whole number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(joined(c.args));
        DriverCall call;
        std::string err;
        EXPECT_FALSE(parseCall(c.args, call, err));
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
    }
}

TEST(DriverCommandLine, ParsesCommands) {
    struct Case {
        Words argv;
        DriverCommand command;
        bool help, version, stopOnError;
        std::string library, script, demoDir, exportName;
    };
    const Case cases[] = {
        {{"--help"}, DriverCommand::None, true, false, false, "", "", "brindlex-demo", ""},
        {{"-h"}, DriverCommand::None, true, false, false, "", "", "brindlex-demo", ""},
        // Help wins over whatever follows, even a usage error.
        {{"-h", "bogus", "extra"}, DriverCommand::None, true, false, false, "", "", "brindlex-demo", ""},
        {{"--version"}, DriverCommand::None, false, true, false, "", "", "brindlex-demo", ""},
        {{"--version", "--library", "L"}, DriverCommand::None, false, true, false, "L", "", "brindlex-demo", ""},
        {{"exports"}, DriverCommand::Exports, false, false, false, "", "", "brindlex-demo", ""},
        {{"reference"}, DriverCommand::Reference, false, false, false, "", "", "brindlex-demo", ""},
        {{"--library", "lib.so", "exports"},
         DriverCommand::Exports,
         false,
         false,
         false,
         "lib.so",
         "",
         "brindlex-demo",
         ""},
        {{"--library", "a", "--library", "b", "exports"},
         DriverCommand::Exports,
         false,
         false,
         false,
         "b",
         "",
         "brindlex-demo",
         ""},
        {{"call", "Version"}, DriverCommand::Call, false, false, false, "", "", "brindlex-demo", "Version"},
        {{"run", "s.brx"}, DriverCommand::Run, false, false, false, "", "s.brx", "brindlex-demo", ""},
        {{"run", "--stop-on-error", "s.brx"}, DriverCommand::Run, false, false, true, "", "s.brx", "brindlex-demo", ""},
        {{"run", "s.brx", "--stop-on-error"}, DriverCommand::Run, false, false, true, "", "s.brx", "brindlex-demo", ""},
        {{"run", "--stop-on-error", "--keep-going", "s.brx"},
         DriverCommand::Run,
         false,
         false,
         false,
         "",
         "s.brx",
         "brindlex-demo",
         ""},
        {{"run", "-"}, DriverCommand::Run, false, false, false, "", "-", "brindlex-demo", ""},
        {{"demo"}, DriverCommand::Demo, false, false, false, "", "", "brindlex-demo", ""},
        {{"demo", "out"}, DriverCommand::Demo, false, false, false, "", "", "out", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(joined(c.argv));
        DriverArgs a;
        std::string err;
        ASSERT_TRUE(parseCommandLine(c.argv, a, err)) << err;
        EXPECT_EQ(static_cast<int>(a.command), static_cast<int>(c.command));
        EXPECT_EQ(a.help, c.help);
        EXPECT_EQ(a.version, c.version);
        EXPECT_EQ(a.stopOnError, c.stopOnError);
        EXPECT_EQ(a.library, c.library);
        EXPECT_EQ(a.script, c.script);
        EXPECT_EQ(a.demoDir, c.demoDir);
        EXPECT_EQ(a.call.name, c.exportName);
    }
}

TEST(DriverCommandLine, UsageErrorsNameTheBadWord) {
    struct Case {
        Words argv;
        const char* err;
    };
    const Case cases[] = {
        {{}, "missing command"},
        {{"--library", "x"}, "missing command"},
        {{"bogus"}, "unknown command bogus"},
        {{"Version"}, "unknown command Version"},
        {{"--bogus", "exports"}, "unknown option --bogus"},
        {{"--library"}, "option --library needs a value"},
        {{"--library", "", "exports"}, "option --library needs a value"},
        {{"--version", "exports"}, "extra argument exports after --version"},
        {{"exports", "extra"}, "extra argument extra for exports"},
        {{"reference", "docs/results.md"}, "extra argument docs/results.md for reference"},
        {{"exports", "--help"}, "extra argument --help for exports"},
        {{"run"}, "run needs a script"},
        {{"run", "--stop-on-error"}, "run needs a script"},
        {{"run", "a", "b"}, "extra argument b for run"},
        {{"run", "--bail", "a"}, "unknown option --bail for run"},
        {{"demo", "a", "b"}, "extra argument b for demo"},
        {{"demo", "--fast"}, "unknown option --fast for demo"},
        {{"call"}, "missing export name"},
        {{"call", "Version", "extra"}, "extra argument extra"},
        {{"call", "Version", "--mem1-size", "x"}, "--mem1-size x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(joined(c.argv));
        DriverArgs a;
        std::string err;
        EXPECT_FALSE(parseCommandLine(c.argv, a, err));
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
    }
}

TEST(DriverResult, FloatsPrintExactly) {
    struct Case {
        float r;
        const char* text;
    };
    const Case cases[] = {
        {0.0f, "0"},
        {-0.0f, "-0"},
        {48.0f, "48"},
        {-9003.0f, "-9003"},
        {1234567.0f, "1234567"},
        {16777216.0f, "16777216"},
        {0.1f, "0.100000001"},
        {18.49f, "18.4899998"},
        {3.4028235e38f, "3.40282347e+38"},
        {1.4e-45f, "1.40129846e-45"},
        {INFINITY, "inf"},
        {-INFINITY, "-inf"},
        {NAN, "nan"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatFloat(c.r), c.text);

    // Every finite float reads back as itself.
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t bits = rng();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        if (!std::isfinite(f)) continue;
        const std::string s = formatFloat(f);
        const float back = std::strtof(s.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&back, &f, sizeof f), 0) << s;
    }
}

TEST(DriverResult, LineCarriesTheMeaning) {
    // Each code row of an export is printed with its own cause, the code
    // exactly as the row holds it.
    for (const char* name : {"getUVTile", "Version", "NoSuchExport"}) {
        for (const results::Row& row : resultRowsOf(name)) {
            if (row.kind != results::Kind::Code) continue;
            SCOPED_TRACE(std::string(name) + " " + row.cause);
            const std::string line = resultLine(name, row.low);
            EXPECT_EQ(line, "result: " + formatFloat(row.low) + " (" + describeResult(name, row.low) + ")");
            EXPECT_NE(line.find(row.cause), std::string::npos) << line;
            EXPECT_EQ(std::strtof(line.c_str() + 8, nullptr), row.low);
        }
    }
    const std::string big = resultLine("getUVTile", 1234567.0f);
    EXPECT_EQ(big.rfind("result: 1234567 (", 0), 0u) << big;
    EXPECT_EQ(big.back(), ')');
}

TEST(DriverReadScript, NamesTextThatIsNotUtf8) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* problem;  // empty: UTF-8
    };
    const Case cases[] = {
        {"plain", "Version\ngetUVTile --text a.mesk\n", ""},
        {"byte order mark and every length",
         "\xEF\xBB\xBF"
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\n",
         ""},
        {"UTF-16 little-endian", std::string("\xFF\xFEV\0e\0", 6), "UTF-16 little-endian text"},
        {"UTF-16 big-endian", std::string("\xFE\xFF\0V\0e", 6), "UTF-16 big-endian text"},
        {"UTF-16 without a mark", std::string("V\0e\0", 4), "a NUL byte on line 1"},
        {"Latin-1 on line 2", "Version\nCheckFolder --text caf\xE9\n", "byte 0xE9 on line 2 is not followed"},
        {"a lone continuation byte", "a\x80", "byte 0x80 on line 1 begins no UTF-8 character"},
        {"an overlong form", "\xC0\xAF", "byte 0xC0 on line 1 begins no UTF-8"},
        {"an overlong three-byte form", "\xE0\x80\xAF", "byte 0xE0 on line 1 is not a valid code point"},
        {"a surrogate", "\xED\xA0\x80", "byte 0xED on line 1 is not a valid code point"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "byte 0xF4 on line 1 is not a valid code point"},
        {"cut short at the end", "Version\n\xE2\x82", "byte 0xE2 on line 2 is cut short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string got = scriptEncodingProblem(c.bytes);
        if (!*c.problem)
            EXPECT_EQ(got, "");
        else
            EXPECT_NE(got.find(c.problem), std::string::npos) << got;
    }
}

TEST(DriverExports, UnknownNamesGetTheNearestOnes) {
    const std::vector<std::string> exports = {"getScale",   "getScale16", "getUVs", "getUVsMask",
                                              "swapRGBTIF", "swapRGBBMP", "Version"};
    struct Case {
        const char *name, *message;
    };
    const Case cases[] = {
        {"getscale", "export getscale not found; did you mean getScale or getScale16?"},
        {"getUV", "export getUV not found; did you mean getUVs?"},
        {"swapRGBTFI", "export swapRGBTFI not found; did you mean swapRGBTIF or swapRGBBMP?"},
        {"NoSuchExport", "export NoSuchExport not found"},
        {kWindowsBuild ? "OpenEXR" : "mesktoOBJ",
         kWindowsBuild ? "export OpenEXR not found (it is an export of the macOS build only)"
                       : "export mesktoOBJ not found (it is an export of the Windows build only)"},
    };
    for (const Case& c : cases) EXPECT_EQ(exportNotFound(c.name, exports), c.message);
}

TEST(DriverExports, NamesAsAHostCallsThem) {
    struct Case {
        std::string table, shown;
    };
    std::vector<Case> cases = {
        {"Version", "Version"},
        {"getUVTile", "getUVTile"},
        {"_Zbroken", "_Zbroken"},
        {"_", "_"},
        {"", ""},
        {boundName("GetFilePath"), "GetFilePath"},
#if __has_include(<cxxabi.h>)
        {"_ZN8Brindlex10HelloWorldEPKc", "Brindlex::HelloWorld"},
        {"_Z10get_substrPci", "get_substr"},
#endif
    };
    for (const Case& c : cases) EXPECT_EQ(exportDisplayName(c.table), c.shown) << c.table;

    const Words shown = displayNames({"getUVTile", "_Z10get_substrPci", "Version", "getScale", "CheckFolder"});
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << joined(shown);
    EXPECT_EQ(shown.size(), 5u);
}

TEST(DriverExports, EveryListedNameCanBeCalled) {
    const Words names = displayNames(library().exports());
    ASSERT_FALSE(names.empty());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "a name is listed twice";
    for (const std::string& n : names) {
        SCOPED_TRACE(n);
        // The C++ exports of the macOS set are called through their own
        // signatures; every other name binds with the host's.
        if (n == "Brindlex::HelloWorld" || n == "get_substr") {
            EXPECT_FALSE(kWindowsBuild);
            continue;
        }
        EXPECT_EQ(n.find('@'), std::string::npos);
        EXPECT_NE(library().bind(n), nullptr);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "Version"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "GetFilePath") != names.end(), kWindowsBuild);
}

TEST(DriverLibraryPath, RelativeToTheCurrentFolder) {
    const fs::path here = fs::current_path();
    for (const char* arg : {"Brindlex.so", "sub/Brindlex.so", "../Brindlex.so", "./Brindlex.so"}) {
        SCOPED_TRACE(arg);
        const fs::path p = fs::u8path(libraryPathFromArgument(arg));
        EXPECT_TRUE(p.is_absolute());
        EXPECT_EQ(p.lexically_normal(), (here / fs::u8path(arg)).lexically_normal());
    }
    const std::string abs = (here / "Brindlex.so").u8string();
    EXPECT_EQ(libraryPathFromArgument(abs), abs);
}

TEST(DriverReadScript, ReadsBytesAndRefusesWhatIsNotAFile) {
    TempDir dir;
    const std::string body = "\xEF\xBB\xBFVersion\r\nCheckFolder --text \"Z:\\\"\r\n";
    struct Case {
        std::string name, content;
    };
    const Case files[] = {
        {"plain.brx", body},
        {"empty.brx", ""},
        // The path reaches the system as wide characters on Windows.
        {"scr\xC3\xAFpt \xE2\x82\xAC \xE6\x97\xA5.brx", body},
    };
    for (const Case& f : files) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(writeText(dir.path(f.name), f.content));
        std::string content, err;
        ASSERT_TRUE(readScript(dir.path(f.name), content, err)) << err;
        EXPECT_EQ(content, f.content);
    }

    ASSERT_TRUE(makeFolders(dir.path("folder.brx")));
    struct Bad {
        std::string path;
        const char* err;
    };
    const Bad bad[] = {
        {dir.path("folder.brx"), "is a folder"},
        {dir.path(), "is a folder"},
        {dir.path("missing.brx"), "cannot open script"},
        {dir.path("missing/inside.brx"), "cannot open script"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.path);
        std::string content = "left over", err;
        EXPECT_FALSE(readScript(b.path, content, err));
        EXPECT_NE(err.find(b.err), std::string::npos) << err;
        EXPECT_NE(err.find(b.path), std::string::npos) << err;
        EXPECT_TRUE(content.empty());
    }
}
