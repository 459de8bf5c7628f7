// Float text: formatStreamFloat against a default-configured stream, on
// chosen values and across the whole float range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "StreamFloat.h"

namespace {

std::string streamText(float v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

std::string fastText(float v) {
    char buf[kStreamFloatMax];
    return std::string(buf, formatStreamFloat(v, buf));
}

}  // namespace

TEST(StreamFloat, MatchesTheDefaultStreamOnChosenValues) {
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {0.0f,
                            -0.0f,
                            0.5f,
                            100.0f,
                            1.2345e-05f,
                            1234567.0f,
                            999999.5f,
                            999999.4f,
                            999999.6f,
                            999998.5f,
                            99999.95f,
                            0.0001f,
                            0.00009999995f,
                            0.000099999f,
                            1e-5f,
                            1e6f,
                            1e5f,
                            123456.5f,
                            123457.5f,
                            8192.125f,  // exact ties below the sixth digit, to even either way
                            8192.375f,
                            512.0625f,
                            512.1875f,
                            -0.0009765625f,
                            0.125f,
                            2.5f,
                            1.0f / 3.0f,
                            -1.0f / 3.0f,
                            3.4028235e38f,
                            -3.4028235e38f,
                            1.17549435e-38f,
                            1e-45f,
                            3e-45f,
                            1.0e-40f,
                            9.999995e-5f,
                            16777216.0f,
                            16777215.0f,
                            8388607.5f,
                            1e38f,
                            1e-38f,
                            inf,
                            -inf,
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN()};
    for (float v : values) {
        SCOPED_TRACE(streamText(v));
        EXPECT_EQ(fastText(v), streamText(v));
    }
}

TEST(StreamFloat, MatchesTheDefaultStreamOverTheWholeRange) {
    // A stride through every bit pattern (both signs, denormals, NaNs), then
    // dense runs at the rounding boundaries of each decade.
    std::size_t checked = 0, wrong = 0;
    auto check = [&](std::uint32_t bits) {
        float v;
        std::memcpy(&v, &bits, 4);
        ++checked;
        if (fastText(v) != streamText(v) && ++wrong <= 10)
            ADD_FAILURE() << std::hex << bits << ": " << fastText(v) << " vs " << streamText(v);
    };
    for (std::uint64_t b = 0; b <= 0xFFFFFFFFull; b += 8191) check(static_cast<std::uint32_t>(b));
    for (int x = -45; x <= 38; ++x) {
        for (double edge : {1.0, 9.999995, 9.99999, 1.000005}) {
            float v = static_cast<float>(edge * std::pow(10.0, x));
            std::uint32_t bits;
            std::memcpy(&bits, &v, 4);
            for (std::uint32_t d = 0; d < 64; ++d) {
                check(bits + d - 32);
                check((bits + d - 32) | 0x80000000u);
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "of " << checked;
}

// Every digit count and its edges, the 32-bit limit and beyond.
TEST(StreamUnsigned, MatchesTheDefaultStream) {
    std::vector<unsigned long long> values = {0, 1, 9, 4294967295ull, 4294967296ull, 18446744073709551615ull};
    for (unsigned long long p = 10; p <= 10000000000000000000ull; p *= 10) {
        for (unsigned long long v : {p - 1, p, p + 1, p * 3 + 7}) values.push_back(v);
        if (p > 1000000000000000000ull) break;
    }
    for (unsigned long long v = 0; v < 100000; v += 7) values.push_back(v * 40503 % 4294967296ull);
    for (unsigned long long v : values) {
        std::ostringstream s;
        s << v;
        char out[kStreamUnsignedMax + 1];
        const char* end = formatStreamUnsigned(v, out);
        ASSERT_EQ(std::string(out, static_cast<std::size_t>(end - out)), s.str());
    }
}
