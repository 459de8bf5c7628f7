#include "HostLibrary.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "ExportNames.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#if defined(_WIN32)
namespace {
std::wstring toWide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
    w.resize(n > 0 ? n - 1 : 0);
    return w;
}
std::string toUtf8(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(n > 0 ? n - 1 : 0);
    return s;
}
}  // namespace

HostLibrary::~HostLibrary() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool HostLibrary::load(const std::string& path, std::string& err) {
    HMODULE h = LoadLibraryW(toWide(path).c_str());
    if (!h) {
        err = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    handle_ = h;
    path_ = path;
    return true;
}

void* HostLibrary::symbol(const std::string& name) const {
    if (!handle_) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name.c_str()));
}

std::vector<std::string> HostLibrary::exports() const {
    std::vector<std::string> names;
    if (!handle_) return names;
    auto base = reinterpret_cast<const unsigned char*>(handle_);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return names;
    auto ed = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto nameRvas = reinterpret_cast<const DWORD*>(base + ed->AddressOfNames);
    for (DWORD i = 0; i < ed->NumberOfNames; ++i) names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    return names;
}

std::string HostLibrary::programFolder() {
    std::wstring buf(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
    buf.resize(n);
    std::string p = toUtf8(buf.c_str());
    size_t sep = p.find_last_of("/\\");
    return sep == std::string::npos ? std::string() : p.substr(0, sep + 1);
}

std::string HostLibrary::besideProgram() { return programFolder() + "Brindlex.dll"; }

std::string boundName(const std::string& exportName) {
    if (exportName == "GetFilePath") return "?GetFilePath@@YAMPEADN0H0HPEAPEAD@Z";
    return exportName;
}
#else
HostLibrary::~HostLibrary() {
    if (handle_) dlclose(handle_);
}

bool HostLibrary::load(const std::string& path, std::string& err) {
    // Kept mapped after dlclose so leak reports can still name the modules.
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!h) {
        const char* e = dlerror();
        err = e ? e : ("cannot load " + path);
        return false;
    }
    handle_ = h;
    path_ = path;
    return true;
}

void* HostLibrary::symbol(const std::string& name) const {
    if (!handle_) return nullptr;
    return dlsym(handle_, name.c_str());
}

// Reads the export table from the library's file (ELF or Mach-O).
std::vector<std::string> HostLibrary::exports() const {
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamoff size = in.tellg();
    if (size <= 0) return {};
    std::vector<std::uint8_t> f(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(f.data()), size)) return {};
    return exportedNames(f.data(), f.size());
}

// The running program's path as the system reports it; empty if it cannot.
static std::string programPath() {
#if defined(__APPLE__)
    uint32_t n = 0;
    _NSGetExecutablePath(nullptr, &n);  // fails, giving the size needed
    std::string buf(n + 1, '\0');
    if (_NSGetExecutablePath(&buf[0], &n) != 0) return std::string();
    buf.resize(std::strlen(buf.c_str()));
    // The path may name a symbolic link or hold "..": resolve it as
    // /proc/self/exe does elsewhere.
    char* real = realpath(buf.c_str(), nullptr);
    if (!real) return buf;
    std::string p(real);
    std::free(real);
    return p;
#else
    std::string buf(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", &buf[0], buf.size() - 1);
    if (n <= 0) return std::string();
    buf.resize(static_cast<size_t>(n));
    return buf;
#endif
}

std::string HostLibrary::programFolder() {
    const std::string p = programPath();
    size_t sep = p.rfind('/');
    return sep == std::string::npos ? std::string("./") : p.substr(0, sep + 1);
}

#if defined(__APPLE__)
std::string HostLibrary::besideProgram() { return programFolder() + "Brindlex.dylib"; }
#else
std::string HostLibrary::besideProgram() { return programFolder() + "Brindlex.so"; }
#endif

std::string boundName(const std::string& exportName) { return exportName; }
#endif

HostFn HostLibrary::bind(const std::string& name) const { return reinterpret_cast<HostFn>(symbol(boundName(name))); }

float hostCall(HostFn fn, const char* text, double value, std::string* mem1, int mem1Size) {
    std::vector<char> block;
    char* m = nullptr;
    if (mem1) {
        block.assign(static_cast<size_t>(mem1Size > 0 ? mem1Size : 0) + 1, '\0');
        std::memcpy(block.data(), mem1->data(), std::min(mem1->size(), block.size() - 1));
        m = block.data();
    }
    float r = fn(const_cast<char*>(text), value, m, mem1Size, nullptr, 0, nullptr);
    if (mem1) *mem1 = std::string(block.data(), strnlen(block.data(), block.size() - 1));
    return r;
}
