#include "FuzzSupport.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "ResultMeaning.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

void requireListed(const char* exportName, float r) {
    for (bool windows : {true, false})
        if (explainingRow(resultRowsOf(exportName, windows), r)) return;
    __builtin_trap();
}

const std::string& fuzzScratchDir() {
    static const std::string dir = [] {
        fs::path p = fs::temp_directory_path() / ("brindlex-fuzz-" + std::to_string(getpid()));
        fs::create_directories(p);
        std::string s = p.generic_u8string();
        return s + "/";
    }();
    return dir;
}

void fuzzCleanScratch() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::u8path(fuzzScratchDir()), ec)) fs::remove_all(e.path(), ec);
}

std::string fuzzInputFile(const std::uint8_t* data, std::size_t size, const std::string& name) {
    std::string path = fuzzScratchDir() + name;
    std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}
