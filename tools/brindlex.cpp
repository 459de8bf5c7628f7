// brindlex: the host driver. Loads the library by path as the host does,
// binds exports by name and calls them with the host call signature.
//
//   brindlex [--library PATH] call EXPORT [--text T] [--value V] [--mem1 M] [--mem1-size N]
//   brindlex [--library PATH] run SCRIPT
//   brindlex [--library PATH] exports
//   brindlex [--library PATH] demo [DIR]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HostLibrary.h"
#include "demo/Demo.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: brindlex [--library PATH] call EXPORT [--text T] [--value V] [--mem1 M] [--mem1-size N]\n"
                 "       brindlex [--library PATH] run SCRIPT\n"
                 "       brindlex [--library PATH] exports\n"
                 "       brindlex [--library PATH] demo [DIR]\n");
    return 2;
}

struct Call {
    std::string name;
    bool hasText = false, hasMem1 = false;
    std::string text, mem1;
    double value = 0;
    int mem1Size = 4096;
};

// Parses "EXPORT [--text T] ..." from args; err says what is wrong.
bool parseCall(const std::vector<std::string> &args, Call &c, std::string &err) {
    if (args.empty()) {
        err = "missing export name";
        return false;
    }
    c.name = args[0];
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (i + 1 >= args.size()) {
            err = "option " + a + " needs a value";
            return false;
        }
        const std::string &v = args[++i];
        if (a == "--text") {
            c.hasText = true;
            c.text = v;
        } else if (a == "--mem1") {
            c.hasMem1 = true;
            c.mem1 = v;
        } else if (a == "--value" || a == "--mem1-size") {
            char *end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end) {
                err = "not a number: " + v;
                return false;
            }
            if (a == "--value") {
                c.value = d;
            } else {
                if (d < 0 || d > 1 << 30) {
                    err = "mem1 size out of range: " + v;
                    return false;
                }
                c.mem1Size = static_cast<int>(d);
            }
        } else {
            err = "unknown option " + a;
            return false;
        }
    }
    return true;
}

// Splits a script line into words; double quotes group, backslash escapes
// a quote inside them.
std::vector<std::string> splitWords(const std::string &line) {
    std::vector<std::string> out;
    std::string cur;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char ch = line[i];
        if (quoted) {
            if (ch == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
                cur += '"';
                ++i;
            } else if (ch == '"') {
                quoted = false;
            } else {
                cur += ch;
            }
        } else if (ch == '"') {
            quoted = inWord = true;
        } else if (ch == ' ' || ch == '\t' || ch == '\r') {
            if (inWord) out.push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += ch;
            inWord = true;
        }
    }
    if (inWord) out.push_back(cur);
    return out;
}

std::string showFloat(float r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(r));
    return buf;
}

// Performs one call; false when the export cannot be bound.
bool perform(HostLibrary &lib, const Call &c) {
#if !defined(_WIN32)
    // The two C++ exports of the macOS set do not have the host signature.
    if (c.name == "Brindlex::HelloWorld") {
        using Hello = void (*)(void *, const char *);
        auto fn = reinterpret_cast<Hello>(lib.symbol("_ZN8Brindlex10HelloWorldEPKc"));
        if (!fn) return false;
        char self = 0;
        std::fflush(stdout);
        fn(&self, c.text.c_str());
        std::printf("result: (none)\n");
        return true;
    }
    if (c.name == "get_substr") {
        using Sub = char *(*)(char *, int);
        auto fn = reinterpret_cast<Sub>(lib.symbol("_Z10get_substrPci"));
        if (!fn) return false;
        std::string s = c.text;
        int n = static_cast<int>(c.value);
        if (n < 0 || static_cast<size_t>(n) > s.size()) {
            std::fprintf(stderr, "brindlex: get_substr offset outside the text\n");
            return true;
        }
        std::printf("result: %s\n", fn(&s[0], n));
        return true;
    }
#endif
    HostFn fn = lib.bind(c.name);
    if (!fn) return false;
    std::string m = c.mem1;
    float r = hostCall(fn, c.hasText ? c.text.c_str() : nullptr, c.value, c.hasMem1 ? &m : nullptr, c.mem1Size);
    std::printf("result: %s\n", showFloat(r).c_str());
    if (c.hasMem1) std::printf("mem1: %s\n", m.c_str());
    std::fflush(stdout);
    return true;
}

int runScript(HostLibrary &lib, const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "brindlex: cannot read script %s\n", file.c_str());
        return 1;
    }
    std::string line;
    int lineNo = 0, bad = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::vector<std::string> words = splitWords(line);
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "call") words.erase(words.begin());
        Call c;
        std::string err;
        std::printf("> %s\n", line.c_str());
        if (!parseCall(words, c, err)) {
            std::fprintf(stderr, "brindlex: %s:%d: %s\n", file.c_str(), lineNo, err.c_str());
            ++bad;
            continue;
        }
        if (!perform(lib, c)) {
            std::fprintf(stderr, "brindlex: %s:%d: export %s not found\n", file.c_str(), lineNo, c.name.c_str());
            ++bad;
        }
    }
    return bad ? 1 : 0;
}

int mainUtf8(std::vector<std::string> args) {
    std::string libPath;
    if (args.size() >= 2 && args[0] == "--library") {
        libPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return usage();
    if (libPath.empty()) libPath = HostLibrary::besideProgram();
    const std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd != "call" && cmd != "run" && cmd != "exports" && cmd != "demo") return usage();

    HostLibrary lib;
    std::string err;
    if (!lib.load(libPath, err)) {
        std::fprintf(stderr, "brindlex: %s\n", err.c_str());
        return 1;
    }
    if (cmd == "exports") {
        for (const std::string &n : lib.exports()) std::printf("%s\n", n.c_str());
        return 0;
    }
    if (cmd == "run") {
        if (args.size() != 1) return usage();
        return runScript(lib, args[0]);
    }
    if (cmd == "demo") {
        if (args.size() > 1) return usage();
        return runDemo(lib, args.empty() ? std::string("brindlex-demo") : args[0]) == 0 ? 0 : 1;
    }
    Call c;
    if (!parseCall(args, c, err)) {
        std::fprintf(stderr, "brindlex: %s\n", err.c_str());
        return 2;
    }
    if (!perform(lib, c)) {
        std::fprintf(stderr, "brindlex: export %s not found in %s\n", c.name.c_str(), libPath.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

#if defined(_WIN32)
int main() {
    // Take the arguments as UTF-16 so that paths survive any code page.
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
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
int main(int argc, char **argv) { return mainUtf8(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
