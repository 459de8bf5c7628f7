// Shared pieces of the tests: the library loaded as the host loads it, a
// temporary folder per test, and a host call with a guarded mem1 block.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "HostLibrary.h"
#include "Platform.h"
#include "fixtures/Files.h"

// The built library, loaded once for the whole run.
HostLibrary& library();

// Calls an export through the library. When mem1 is given, the block is
// mem1Size bytes followed by a guard area; the call fails the test if any
// guard byte changes. The string left in the block is returned in *mem1.
float callExport(const std::string& name, const char* text, double value = 0, std::string* mem1 = nullptr,
                 int mem1Size = 4096);
inline float callExport(const std::string& name, const std::string& text, double value = 0, std::string* mem1 = nullptr,
                        int mem1Size = 4096) {
    return callExport(name, text.c_str(), value, mem1, mem1Size);
}
// True when this build's library exports name.
bool hasExport(const std::string& name);

// A fresh folder under the system temporary folder, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // A path inside the folder (UTF-8, forward slashes).
    std::string path(const std::string& name = std::string()) const { return dir_ + name; }

private:
    std::string dir_;
};

bool fileExists(const std::string& path);

// A test over one path of an operation with SIMD variants (simd::k* as the
// parameter), skipped where this build or processor lacks the path.
class SimdPathTest : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!simd::available(GetParam())) GTEST_SKIP() << "this processor lacks the path";
    }
};
// The path's name, for the test's name.
std::string simdPathName(const testing::TestParamInfo<int>& info);
