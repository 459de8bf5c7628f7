// Loads the library the way the host does (by path, exports bound by name)
// and lists the exports its file carries.
#pragma once

#include <string>
#include <vector>

using HostFn = float (*)(char* text, double value, char* mem1, int mem1Size, char* mem2, int mem2Size, char** zData);

class HostLibrary {
public:
    HostLibrary() = default;
    HostLibrary(const HostLibrary&) = delete;
    HostLibrary& operator=(const HostLibrary&) = delete;
    ~HostLibrary();

    // Loads the library at path (UTF-8). On failure err says why.
    bool load(const std::string& path, std::string& err);
    bool loaded() const { return handle_ != nullptr; }
    const std::string& path() const { return path_; }
    // Binds an export with the host call signature; null when absent.
    HostFn bind(const std::string& name) const;
    // Any symbol by its exact (possibly decorated) name.
    void* symbol(const std::string& name) const;
    // The names the library's export table lists, sorted. Windows reads the
    // loaded image; elsewhere the file at path() (see ExportNames.h).
    std::vector<std::string> exports() const;

    // The library file beside the running program.
    static std::string besideProgram();
    // The running program's folder, with a trailing separator.
    static std::string programFolder();

private:
    void* handle_ = nullptr;
    std::string path_;
};

// One host call: mem1 (when given) is a writable block of mem1Size bytes
// that starts with the bytes of *mem1; on return *mem1 holds the
// NUL-terminated string found there.
float hostCall(HostFn fn, const char* text, double value, std::string* mem1, int mem1Size = 4096);

// Host-signature name of an export as a host binds it in this build
// (GetFilePath is decorated in the Windows build).
std::string boundName(const std::string& exportName);
