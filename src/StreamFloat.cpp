#include "StreamFloat.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "Platform.h"

namespace {

#if defined(__SIZEOF_INT128__)
using u128 = unsigned __int128;

// base^0 .. base^n, worked out at compile time.
template <unsigned Base, int N>
struct PowerTable {
    u128 v[N + 1];
    constexpr PowerTable() : v() {
        v[0] = 1;
        for (int i = 1; i <= N; ++i) v[i] = v[i - 1] * Base;
    }
};
constexpr PowerTable<5, 50> kPow5;
constexpr PowerTable<10, 38> kPow10;

// floor(b * log10(2)) for |b| < 1000.
int floorLog10Pow2(int b) {
    long long t = static_cast<long long>(b) * 78913;
    return static_cast<int>(t >= 0 ? t / 262144 : -((-t + 262143) / 262144));
}

// The six significant digits of m * 2^e, given the decimal exponent x:
// round(m * 2^e * 10^(5 - x)) with ties to even, which is what the C
// library's %g does with the exact binary value. Also reports the value
// before rounding so the caller can tell a wrong exponent.
std::uint64_t scaledDigits(std::uint64_t m, int e, int x, std::uint64_t &unrounded) {
    int k = 5 - x;
    u128 q, rem, half;  // round up when rem > half, ties to even
    if (k >= 0) {
        u128 t = static_cast<u128>(m) * kPow5.v[k];
        int sh = e + k;
        if (sh >= 0) {
            unrounded = static_cast<std::uint64_t>(t << sh);
            return unrounded;
        }
        int s = -sh;
        q = t >> s;
        rem = t & ((static_cast<u128>(1) << s) - 1);
        half = static_cast<u128>(1) << (s - 1);
    } else {
        int j = -k;
        u128 a = static_cast<u128>(m), b = kPow10.v[j];
        if (e >= 0)
            a <<= e;
        else
            b <<= -e;
        q = a / b;
        rem = a % b;
        half = b - rem;  // 2 * rem against b, without overflow
    }
    unrounded = static_cast<std::uint64_t>(q);
    bool up = rem > half || (rem == half && (q & 1));
    return static_cast<std::uint64_t>(q) + (up ? 1 : 0);
}
#endif

char *streamNonFinite(bool negative, bool nan, char *out) {
    // The C++ runtime of each build prints these its own way: the Windows
    // one drops the sign of a NaN, the POSIX one keeps it.
    std::string_view s;
    if (nan)
        s = (negative && !kWindowsBuild) ? "-nan" : "nan";
    else
        s = negative ? "-inf" : "inf";
    std::memcpy(out, s.data(), s.size());
    return out + s.size();
}

}  // namespace

char *formatStreamFloat(float v, char *out) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = (bits >> 31) != 0;
    const std::uint32_t expField = (bits >> 23) & 0xFF;
    const std::uint32_t frac = bits & 0x7FFFFF;
    if (expField == 0xFF) return streamNonFinite(negative, frac != 0, out);
#if defined(__SIZEOF_INT128__)
    if (negative) *out++ = '-';
    if (expField == 0 && frac == 0) {
        *out++ = '0';
        return out;
    }
    std::uint64_t m;
    int e;
    if (expField == 0) {
        m = frac;
        e = -149;
    } else {
        m = frac | 0x800000u;
        e = static_cast<int>(expField) - 150;
    }
    // The value lies in [2^b, 2^(b+1)), so its decimal exponent is x or x + 1.
    const int b = e + 63 - __builtin_clzll(m);
    int x = floorLog10Pow2(b);
    std::uint64_t unrounded;
    std::uint64_t d = scaledDigits(m, e, x, unrounded);
    if (unrounded >= 1000000) {
        ++x;
        d = scaledDigits(m, e, x, unrounded);
    }
    if (d == 1000000) {  // rounded up to the next power of ten
        d = 100000;
        ++x;
    }
    char digits[6];
    for (int i = 5; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + d % 10);
        d /= 10;
    }
    int nd = 6;
    while (nd > 1 && digits[nd - 1] == '0') --nd;
    if (x < -4 || x >= 6) {
        *out++ = digits[0];
        if (nd > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<std::size_t>(nd - 1));
            out += nd - 1;
        }
        *out++ = 'e';
        *out++ = x < 0 ? '-' : '+';
        int ax = x < 0 ? -x : x;
        *out++ = static_cast<char>('0' + ax / 10);
        *out++ = static_cast<char>('0' + ax % 10);
    } else if (x >= 0) {
        std::memcpy(out, digits, static_cast<std::size_t>(x + 1));
        out += x + 1;
        if (nd > x + 1) {
            *out++ = '.';
            std::memcpy(out, digits + x + 1, static_cast<std::size_t>(nd - x - 1));
            out += nd - x - 1;
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -x - 1; ++i) *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(nd));
        out += nd;
    }
    return out;
#else
    return std::to_chars(out, out + kStreamFloatMax, v, std::chars_format::general, 6).ptr;
#endif
}
