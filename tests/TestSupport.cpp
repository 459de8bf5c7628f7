#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

HostLibrary& library() {
    static HostLibrary lib;
    static bool tried = false;
    if (!tried) {
        tried = true;
        std::string err;
        if (!lib.load(HostLibrary::besideProgram(), err)) ADD_FAILURE() << "cannot load the library: " << err;
    }
    return lib;
}

bool hasExport(const std::string& name) { return library().symbol(boundName(name)) != nullptr; }

float callExport(const std::string& name, const char* text, double value, std::string* mem1, int mem1Size) {
    HostFn fn = library().bind(name);
    if (!fn) {
        ADD_FAILURE() << "export " << name << " not found";
        return 0.0f;
    }
    constexpr size_t kGuard = 64;
    constexpr char kCanary = '\x5a';
    std::vector<char> block;
    char* m = nullptr;
    size_t room = mem1Size > 0 ? static_cast<size_t>(mem1Size) : 0;
    if (mem1) {
        block.assign(room + kGuard, kCanary);
        size_t n = std::min(mem1->size() + 1, room);
        if (n) std::memcpy(block.data(), mem1->c_str(), n);
        m = block.data();
    }
    float r = fn(const_cast<char*>(text), value, m, mem1Size, nullptr, 0, nullptr);
    if (mem1) {
        for (size_t i = room; i < block.size(); ++i)
            if (block[i] != kCanary) {
                ADD_FAILURE() << name << " wrote past mem1Size (" << mem1Size << ") at byte " << i;
                break;
            }
        *mem1 = room ? std::string(block.data(), strnlen(block.data(), room)) : std::string();
    }
    return r;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path base =
        fs::temp_directory_path() / ("brindlex-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(base);
    dir_ = base.generic_u8string();
    if (dir_.empty() || dir_.back() != '/') dir_ += '/';
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(fs::u8path(dir_), ec);
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::u8path(path), ec);
}

std::string simdPathName(const testing::TestParamInfo<int>& info) {
    switch (info.param) {
        case simd::kPortable:
            return "Portable";
        case simd::kSse2:
            return "Sse2";
        case simd::kAvx2:
            return "Avx2";
        case simd::kSsse3:
            return "Ssse3";
        default:
            return "Path" + std::to_string(info.param);
    }
}
