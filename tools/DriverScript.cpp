#include "DriverScript.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "HostLibrary.h"
#include "Platform.h"
#include "ResultMeaning.h"

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define BRINDLEX_HAVE_CXXABI 1
#endif

namespace fs = std::filesystem;

namespace {

bool isOption(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

// A whole decimal number within [low, high].
bool parseInt(const std::string& s, long low, long high, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end || errno == ERANGE || v < low || v > high) return false;
    out = v;
    return true;
}

}  // namespace

bool parseCall(const std::vector<std::string>& args, DriverCall& call, std::string& err) {
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
        const std::string& opt = args[i];
        bool* seen = nullptr;
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
        const std::string& v = args[++i];
        if (opt == "--text") {
            call.text = v;
        } else if (opt == "--mem1") {
            call.mem1 = v;
        } else if (opt == "--value") {
            char* end = nullptr;
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

std::vector<std::string> scriptLines(const std::string& content) {
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

bool splitScriptLine(const std::string& line, std::vector<std::string>& words, std::string& err) {
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

ScriptLineKind parseScriptLine(const std::string& line, DriverCall& call, std::string& err) {
    std::vector<std::string> words;
    if (!splitScriptLine(line, words, err)) return ScriptLineKind::Error;
    if (words.empty()) return ScriptLineKind::Blank;
    if (words[0] == "call") words.erase(words.begin());
    return parseCall(words, call, err) ? ScriptLineKind::Call : ScriptLineKind::Error;
}

bool readScript(const std::string& path, std::string& content, std::string& err) {
    content.clear();
    const fs::path p = fs::u8path(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
        err = "script " + path + " is a folder";
        return false;
    }
#if defined(_WIN32)
    std::FILE* f = _wfopen(p.c_str(), L"rb");
#else
    std::FILE* f = std::fopen(p.c_str(), "rb");
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

std::string scriptEncodingProblem(const std::string& content) {
    const auto* b = reinterpret_cast<const unsigned char*>(content.data());
    const std::size_t n = content.size();
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return "UTF-16 little-endian text (it starts with FF FE)";
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return "UTF-16 big-endian text (it starts with FE FF)";
    int line = 1;
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = b[i];
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", c);
        const std::string where = " on line " + std::to_string(line);
        if (c == 0) return "not UTF-8 text: a NUL byte" + where + " (UTF-16 text without a byte order mark?)";
        if (c < 0x80) {
            line += c == '\n';
            ++i;
            continue;
        }
        // The length of the sequence, and the smallest code point it may
        // hold (shorter forms of a code point are not UTF-8).
        std::size_t len = 0;
        std::uint32_t cp = 0, least = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2, cp = c & 0x1F, least = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, cp = c & 0x0F, least = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, cp = c & 0x07, least = 0x10000;
        } else {
            return "not UTF-8 text: byte " + std::string(hex) + where +
                   " begins no UTF-8 character (text in another code page?)";
        }
        for (std::size_t k = 1; k < len; ++k) {
            if (i + k >= n)
                return "not UTF-8 text: the character at byte " + std::string(hex) + where + " is cut short";
            if ((b[i + k] & 0xC0) != 0x80)
                return "not UTF-8 text: byte " + std::string(hex) + where +
                       " is not followed by a whole character (text in another code page?)";
            cp = cp << 6 | (b[i + k] & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return "not UTF-8 text: the character at byte " + std::string(hex) + where + " is not a valid code point";
        i += len;
    }
    return "";
}

namespace {

// Edit distance between a and b, letters compared without case, a swap of
// two neighbours counting as one edit.
std::size_t spellingDistance(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    const std::size_t n = a.size(), m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

}  // namespace

std::string exportNotFound(const std::string& name, const std::vector<std::string>& exports) {
    std::string msg = "export " + name + " not found";
    // Close enough to be a slip: a third of the name's letters, at least 2.
    const std::size_t limit = std::max<std::size_t>(2, name.size() / 3);
    std::vector<std::pair<std::size_t, std::string>> near;
    for (const std::string& e : exports) {
        const std::size_t dist = spellingDistance(name, e);
        if (dist <= limit) near.emplace_back(dist, e);
    }
    std::sort(near.begin(), near.end());
    if (near.size() > 3) near.resize(3);
    for (std::size_t i = 0; i < near.size(); ++i)
        msg += (i == 0 ? "; did you mean " : i + 1 == near.size() ? " or " : ", ") + near[i].second;
    if (!near.empty()) msg += "?";
    // An export of the other build is known by its result rows.
    bool here = false, there = false;
    for (const results::Row& row : allResultRows()) {
        if (!row.exportName || name != row.exportName) continue;
        here = here || inThisBuild(row);
        there = there || inBuild(row, !kWindowsBuild);
    }
    if (there && !here)
        msg += kWindowsBuild ? " (it is an export of the macOS build only)"
                             : " (it is an export of the Windows build only)";
    return msg;
}

std::string formatFloat(float r) {
    if (std::isnan(r)) return "nan";
    if (std::isinf(r)) return r > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(r));
    return buf;
}

std::string resultLine(const std::string& exportName, float r) {
    return "result: " + formatFloat(r) + " (" + describeResult(exportName, r) + ")";
}

std::string exportDisplayName(const std::string& tableName) {
    if (tableName != "GetFilePath" && tableName == boundName("GetFilePath")) return "GetFilePath";
#if defined(BRINDLEX_HAVE_CXXABI)
    if (tableName.compare(0, 2, "_Z") == 0) {
        int status = 0;
        char* d = abi::__cxa_demangle(tableName.c_str(), nullptr, nullptr, &status);
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

std::vector<std::string> displayNames(const std::vector<std::string>& tableNames) {
    std::vector<std::string> out;
    out.reserve(tableNames.size());
    for (const std::string& n : tableNames) out.push_back(exportDisplayName(n));
    std::sort(out.begin(), out.end());
    return out;
}

std::string libraryPathFromArgument(const std::string& arg) {
    const fs::path p = fs::u8path(arg);
    if (p.is_absolute()) return arg;
    // A bare name would be looked up on the library path (dlopen) or the
    // program's and system folders (LoadLibrary): anchor it here instead.
    std::error_code ec;
    const fs::path abs = fs::absolute(p, ec);
    if (ec) return "./" + arg;
    return abs.u8string();
}

bool parseCommandLine(const std::vector<std::string>& argv, DriverArgs& out, std::string& err) {
    out = DriverArgs();
    size_t i = 0;
    for (; i < argv.size() && isOption(argv[i]); ++i) {
        const std::string& opt = argv[i];
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
        for (const std::string& a : rest) {
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
    // The commands that take no argument.
    if (cmd == "exports" || cmd == "reference") {
        out.command = cmd == "exports" ? DriverCommand::Exports : DriverCommand::Reference;
        if (!rest.empty()) {
            err = "extra argument " + rest[0] + " for " + cmd;
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
