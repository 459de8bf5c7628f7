// brindlex: the host driver. Loads the library by path as the host does,
// binds exports by name and calls them with the host call signature.
// `brindlex --help` lists the commands; docs/driver.md has the
// script syntax and the exit codes.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DriverScript.h"
#include "HostLibrary.h"
#include "ResultMeaning.h"
#include "ResultReference.h"
#include "demo/Demo.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// Exit codes: 0 every call was made, 1 a library, script or export
// failure (with --stop-on-error, a result the tables list as a failure),
// 2 a usage error.
constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

void printHelp() {
    std::printf(
        "usage: brindlex [--library PATH] COMMAND [ARGUMENTS]\n"
        "\n"
        "Loads the library as the host does and calls its exports by name.\n"
        "\n"
        "commands:\n"
        "  call EXPORT [--text T] [--value V] [--mem1 M] [--mem1-size N]\n"
        "      call one export and print its result and meaning\n"
        "      --text T       the text argument (default: a null pointer)\n"
        "      --value V      the value argument (default: 0)\n"
        "      --mem1 M       a writable mem1 block that starts with M (default: a null pointer)\n"
        "      --mem1-size N  the mem1 block's size in bytes, 0 to %d (default: 4096)\n"
        "  run [--keep-going | --stop-on-error] SCRIPT\n"
        "      make the calls of SCRIPT, one per line, in one session; a line is call's\n"
        "      arguments (\"call\" in front optional), double quotes group words, a backslash\n"
        "      is literal, and # outside quotes starts a comment\n"
        "      --keep-going     report a line that cannot be parsed or bound and go on (default)\n"
        "      --stop-on-error  stop at the first such line, or at the first result that is a\n"
        "                       failure (its meaning's row says so, or no row explains it)\n"
        "  exports\n"
        "      list the exports a host can bind, sorted\n"
        "  reference\n"
        "      print the result reference (docs/results.md): every result of every export\n"
        "      in both builds, from the result rows; the library is not loaded\n"
        "  demo [DIR]\n"
        "      make sample inputs in DIR (default: brindlex-demo) and run the host's script sequences\n"
        "\n"
        "options:\n"
        "  --library PATH  the library to load, relative to the current folder\n"
        "                  (default: the %s beside the driver)\n"
        "  -h, --help      print this help and exit\n"
        "  --version       print the driver's version and the library's Version result, and exit\n"
        "\n"
        "exit status: 0 every call was made, 1 the library or script could not be read (a script\n"
        "must be UTF-8), a call could not be parsed or bound, or run --stop-on-error stopped at a\n"
        "failure, 2 a usage error. Otherwise export results do not change it.\n",
        kMaxMem1Size,
#if defined(_WIN32)
        "Brindlex.dll"
#else
        "Brindlex.so"
#endif
    );
}

int usageError(const std::string& err) {
    std::fprintf(stderr, "brindlex: %s\nTry 'brindlex --help'.\n", err.c_str());
    return kExitUsage;
}

// Makes one call and prints its result, and sets failed when the tables
// call that result a failure; when no call can be made err says why.
bool perform(HostLibrary& lib, const DriverCall& c, std::string& err, bool& failed) {
    failed = false;
#if !defined(_WIN32)
    // The two C++ exports of the macOS set do not have the host signature.
    if (c.name == "Brindlex::HelloWorld") {
        using Hello = void (*)(void*, const char*);
        auto fn = reinterpret_cast<Hello>(lib.symbol("_ZN8Brindlex10HelloWorldEPKc"));
        if (!fn) {
            err = "export " + c.name + " not found";
            return false;
        }
        char self = 0;
        std::fflush(stdout);
        fn(&self, c.text.c_str());
        std::printf("result: none (%s returns nothing)\n", c.name.c_str());
        std::fflush(stdout);
        return true;
    }
    if (c.name == "get_substr") {
        using Sub = char* (*)(char*, int);
        auto fn = reinterpret_cast<Sub>(lib.symbol("_Z10get_substrPci"));
        if (!fn) {
            err = "export " + c.name + " not found";
            return false;
        }
        std::string s = c.text;
        const double n = c.value;
        if (!(n >= 0 && n <= static_cast<double>(s.size()))) {
            err = "get_substr needs a --value from 0 to the length of --text";
            return false;
        }
        const int offset = static_cast<int>(n);
        std::printf("result: \"%s\" (the text from offset %d)\n", fn(&s[0], offset), offset);
        std::fflush(stdout);
        return true;
    }
#endif
    const std::string shown = exportDisplayName(c.name);
    if (shown != c.name) {
        err = "export " + c.name + " is called as " + shown;
        return false;
    }
    HostFn fn = lib.bind(c.name);
    if (!fn) {
        err = exportNotFound(c.name, displayNames(lib.exports()));
        return false;
    }
    std::string m = c.mem1;
    float r = hostCall(fn, c.hasText ? c.text.c_str() : nullptr, c.value, c.hasMem1 ? &m : nullptr, c.mem1Size);
    failed = isFailureResult(c.name, r);
    std::printf("%s\n", resultLine(c.name, r).c_str());
    if (c.hasMem1) std::printf("mem1: %s\n", m.c_str());
    std::fflush(stdout);
    return true;
}

int runScript(HostLibrary& lib, const std::string& file, const std::string& content, bool stopOnError) {
    const std::vector<std::string> lines = scriptLines(content);
    int bad = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        DriverCall c;
        std::string err;
        const ScriptLineKind kind = parseScriptLine(lines[i], c, err);
        if (kind == ScriptLineKind::Blank) continue;
        std::printf("> %s\n", lines[i].c_str());
        std::fflush(stdout);
        bool failed = false;
        if (kind == ScriptLineKind::Call && perform(lib, c, err, failed)) {
            if (!failed || !stopOnError) continue;
            err = "stopped: " + exportDisplayName(c.name) + " failed";
        }
        std::fprintf(stderr, "brindlex: %s:%d: %s\n", file.c_str(), static_cast<int>(i + 1), err.c_str());
        ++bad;
        if (stopOnError) break;
    }
    return bad ? kExitFailed : kExitOk;
}

int mainUtf8(const std::vector<std::string>& argv) {
    DriverArgs a;
    std::string err;
    if (!parseCommandLine(argv, a, err)) return usageError(err);
    if (a.help) {
        printHelp();
        return kExitOk;
    }
    const std::string libPath = a.library.empty() ? HostLibrary::besideProgram() : libraryPathFromArgument(a.library);
    HostLibrary lib;
    if (a.version) {
        std::printf("brindlex %s\n", BRINDLEX_DRIVER_VERSION);
        if (!lib.load(libPath, err)) {
            std::printf("library not loaded: %s\n", err.c_str());
            return kExitOk;
        }
        std::printf("library: %s\n", libPath.c_str());
        if (HostFn fn = lib.bind("Version"))
            std::printf("Version %s\n", resultLine("Version", hostCall(fn, nullptr, 0, nullptr)).c_str());
        else
            std::printf("Version: not exported\n");
        return kExitOk;
    }

    if (a.command == DriverCommand::Reference) {
#if defined(_WIN32)
        _setmode(_fileno(stdout), _O_BINARY);  // the file's lines end in LF in both builds
#endif
        const std::string text = resultReference();
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0
                   ? kExitOk
                   : kExitFailed;
    }

    // The script is read before the library is loaded, so a missing script
    // is reported as such whatever the library.
    std::string script;
    if (a.command == DriverCommand::Run && !readScript(a.script, script, err)) {
        std::fprintf(stderr, "brindlex: %s\n", err.c_str());
        return kExitFailed;
    }
    if (a.command == DriverCommand::Run) {
        const std::string problem = scriptEncodingProblem(script);
        if (!problem.empty()) {
            std::fprintf(stderr, "brindlex: script %s is %s; save it as UTF-8\n", a.script.c_str(), problem.c_str());
            return kExitFailed;
        }
    }
    if (!lib.load(libPath, err)) {
        std::fprintf(stderr, "brindlex: %s\n", err.c_str());
        return kExitFailed;
    }
    switch (a.command) {
        case DriverCommand::Exports:
            for (const std::string& n : displayNames(lib.exports())) std::printf("%s\n", n.c_str());
            return kExitOk;
        case DriverCommand::Run:
            return runScript(lib, a.script, script, a.stopOnError);
        case DriverCommand::Demo:
            return runDemo(lib, a.demoDir) == 0 ? kExitOk : kExitFailed;
        default: {
            bool failed = false;
            if (!perform(lib, a.call, err, failed)) {
                std::fprintf(stderr, "brindlex: %s (library %s)\n", err.c_str(), libPath.c_str());
                return kExitFailed;
            }
            return kExitOk;
        }
    }
}

}  // namespace

#if defined(_WIN32)
int main() {
    // Take the arguments as UTF-16 so that paths survive any code page.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? n : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &s[0], n, nullptr, nullptr);
        s.resize(n > 0 ? n - 1 : 0);
        args.push_back(s);
    }
    LocalFree(argv);
    return mainUtf8(args);
}
#else
int main(int argc, char** argv) { return mainUtf8(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
