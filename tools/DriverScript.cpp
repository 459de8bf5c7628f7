#include "DriverScript.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "HostLibrary.h"
#include "ResultMeaning.h"

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define BRINDLEX_HAVE_CXXABI 1
#endif

namespace fs = std::filesystem;

namespace {

bool isOption(const std::string &word) { return word.size() > 1 && word[0] == '-'; }

// A whole decimal number within [low, high].
bool parseInt(const std::string &s, long low, long high, long &out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end || errno == ERANGE || v < low || v > high) return false;
    out = v;
    return true;
}

}  // namespace

bool parseCall(const std::vector<std::string> &args, DriverCall &call, std::string &err) {
    call = DriverCall();
    if (args.empty()) {
        err = "missing export name";
        return false;
    }
    if (isOption(args[0])) {
        err = "missing export name before " + args[0];
        return false;
    }
    call.name = args[0];
    bool seenValue = false, seenSize = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &opt = args[i];
        bool *seen = nullptr;
        if (opt == "--text")
            seen = &call.hasText;
        else if (opt == "--mem1")
            seen = &call.hasMem1;
        else if (opt == "--value")
            seen = &seenValue;
        else if (opt == "--mem1-size")
            seen = &seenSize;
        if (!seen) {
            err = isOption(opt) ? "unknown option " + opt : "extra argument " + opt;
            return false;
        }
        if (*seen) {
            err = "option " + opt + " given twice";
            return false;
        }
        if (i + 1 >= args.size()) {
            err = "option " + opt + " needs a value";
            return false;
        }
        *seen = true;
        const std::string &v = args[++i];
        if (opt == "--text") {
            call.text = v;
        } else if (opt == "--mem1") {
            call.mem1 = v;
        } else if (opt == "--value") {
            char *end = nullptr;
            call.value = std::strtod(v.c_str(), &end);
            if (v.empty() || *end) {
                err = "--value " + v + " is not a number";
                return false;
            }
        } else {
            long n = 0;
            if (!parseInt(v, 0, kMaxMem1Size, n)) {
                err = "--mem1-size " + v + " is not a whole number from 0 to " + std::to_string(kMaxMem1Size);
                return false;
            }
            call.mem1Size = static_cast<int>(n);
        }
    }
    return true;
}

std::vector<std::string> scriptLines(const std::string &content) {
    std::vector<std::string> lines;
    size_t at = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < content.size()) {
        size_t nl = content.find('\n', at);
        size_t end = nl == std::string::npos ? content.size() : nl;
        std::string line = content.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = nl == std::string::npos ? content.size() : nl + 1;
    }
    return lines;
}

bool splitScriptLine(const std::string &line, std::vector<std::string> &words, std::string &err) {
    words.clear();
    std::string cur;
    bool inWord = false, quoted = false;
    for (char ch : line) {
        if (quoted) {
            if (ch == '"')
                quoted = false;
            else
                cur += ch;
        } else if (ch == '"') {
            quoted = inWord = true;
        } else if (ch == '#') {
            break;
        } else if (ch == ' ' || ch == '\t') {
            if (inWord) words.push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += ch;
            inWord = true;
        }
    }
    if (quoted) {
        err = "unterminated quote";
        return false;
    }
    if (inWord) words.push_back(cur);
    return true;
}

ScriptLineKind parseScriptLine(const std::string &line, DriverCall &call, std::string &err) {
    std::vector<std::string> words;
    if (!splitScriptLine(line, words, err)) return ScriptLineKind::Error;
    if (words.empty()) return ScriptLineKind::Blank;
    if (words[0] == "call") words.erase(words.begin());
    return parseCall(words, call, err) ? ScriptLineKind::Call : ScriptLineKind::Error;
}

bool readScript(const std::string &path, std::string &content, std::string &err) {
    content.clear();
    const fs::path p = fs::u8path(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
        err = "script " + path + " is a folder";
        return false;
    }
#if defined(_WIN32)
    std::FILE *f = _wfopen(p.c_str(), L"rb");
#else
    std::FILE *f = std::fopen(p.c_str(), "rb");
#endif
    if (!f) {
        err = "cannot open script " + path + ": " + std::strerror(errno);
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    const int readErrno = errno;
    std::fclose(f);
    if (failed) {
        err = "cannot read script " + path + ": " + std::strerror(readErrno);
        content.clear();
        return false;
    }
    return true;
}

std::string formatFloat(float r) {
    if (std::isnan(r)) return "nan";
    if (std::isinf(r)) return r > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(r));
    return buf;
}

std::string resultLine(const std::string &exportName, float r) {
    return "result: " + formatFloat(r) + " (" + describeResult(exportName, r) + ")";
}

std::string exportDisplayName(const std::string &tableName) {
    if (tableName != "GetFilePath" && tableName == boundName("GetFilePath")) return "GetFilePath";
#if defined(BRINDLEX_HAVE_CXXABI)
    if (tableName.compare(0, 2, "_Z") == 0) {
        int status = 0;
        char *d = abi::__cxa_demangle(tableName.c_str(), nullptr, nullptr, &status);
        if (status == 0 && d) {
            std::string s = d;
            std::free(d);
            return s.substr(0, s.find('('));
        }
        std::free(d);
    }
#endif
    return tableName;
}

std::vector<std::string> displayNames(const std::vector<std::string> &tableNames) {
    std::vector<std::string> out;
    out.reserve(tableNames.size());
    for (const std::string &n : tableNames) out.push_back(exportDisplayName(n));
    std::sort(out.begin(), out.end());
    return out;
}

std::string libraryPathFromArgument(const std::string &arg) {
    const fs::path p = fs::u8path(arg);
    if (p.is_absolute()) return arg;
    // A bare name would be looked up on the library path (dlopen) or the
    // program's and system folders (LoadLibrary): anchor it here instead.
    std::error_code ec;
    const fs::path abs = fs::absolute(p, ec);
    if (ec) return "./" + arg;
    return abs.u8string();
}

bool parseCommandLine(const std::vector<std::string> &argv, DriverArgs &out, std::string &err) {
    out = DriverArgs();
    size_t i = 0;
    for (; i < argv.size() && isOption(argv[i]); ++i) {
        const std::string &opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            out.help = true;
        } else if (opt == "--version") {
            out.version = true;
        } else if (opt == "--library") {
            if (i + 1 >= argv.size()) {
                err = "option --library needs a value";
                return false;
            }
            out.library = argv[++i];
            if (out.library.empty()) {
                err = "option --library needs a value";
                return false;
            }
        } else {
            err = "unknown option " + opt;
            return false;
        }
    }
    if (out.help) return true;
    if (i >= argv.size()) {
        if (out.version) return true;
        err = "missing command";
        return false;
    }
    if (out.version) {
        err = "extra argument " + argv[i] + " after --version";
        return false;
    }
    const std::string cmd = argv[i++];
    const std::vector<std::string> rest(argv.begin() + static_cast<long>(i), argv.end());
    if (cmd == "call") {
        out.command = DriverCommand::Call;
        return parseCall(rest, out.call, err);
    }
    if (cmd == "run") {
        out.command = DriverCommand::Run;
        bool haveScript = false;
        for (const std::string &a : rest) {
            if (a == "--stop-on-error") {
                out.stopOnError = true;
            } else if (a == "--keep-going") {
                out.stopOnError = false;
            } else if (isOption(a)) {
                err = "unknown option " + a + " for run";
                return false;
            } else if (haveScript) {
                err = "extra argument " + a + " for run";
                return false;
            } else {
                out.script = a;
                haveScript = true;
            }
        }
        if (!haveScript) {
            err = "run needs a script";
            return false;
        }
        return true;
    }
    if (cmd == "exports") {
        out.command = DriverCommand::Exports;
        if (!rest.empty()) {
            err = "extra argument " + rest[0] + " for exports";
            return false;
        }
        return true;
    }
    if (cmd == "demo") {
        out.command = DriverCommand::Demo;
        if (!rest.empty() && isOption(rest[0])) {
            err = "unknown option " + rest[0] + " for demo";
            return false;
        }
        if (rest.size() > 1) {
            err = "extra argument " + rest[1] + " for demo";
            return false;
        }
        if (!rest.empty()) out.demoDir = rest[0];
        return true;
    }
    err = "unknown command " + cmd;
    return false;
}
