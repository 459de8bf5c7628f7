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
std::uint64_t scaledDigits(std::uint64_t m, int e, int x, std::uint64_t& unrounded) {
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

char* streamNonFinite(bool negative, bool nan, char* out) {
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

#if defined(__SIZEOF_INT128__)
namespace {

// 10^0 .. 10^12, each exact in a double.
constexpr double kExactPow10[13] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12};

// The six digits through doubles, for values whose scaling is exact: a
// float has a 24-bit significand and 5^k has at most 28 bits for k <= 12,
// so m * 2^e * 10^k is a double exactly and its rounding can be decided
// exactly. False when k falls outside 0..12 (values below about 1e-7 or
// from 1e6 on), which the 128-bit path takes.
bool sixDigitsExact(float a, int& x, std::uint32_t& d) {
    int k = 5 - x;
    if (k < 0 || k > 12) return false;
    double scaled = static_cast<double>(a) * kExactPow10[k];
    if (scaled >= 1e6) {
        if (--k < 0) return false;
        ++x;
        scaled = static_cast<double>(a) * kExactPow10[k];
    }
    const std::uint32_t t = static_cast<std::uint32_t>(scaled);
    const double rest = scaled - static_cast<double>(t);
    d = t + ((rest > 0.5 || (rest == 0.5 && (t & 1))) ? 1 : 0);
    return true;
}

// The six digits through 128-bit integers, for every value.
void sixDigitsWide(std::uint64_t m, int e, int& x, std::uint32_t& d) {
    std::uint64_t unrounded;
    std::uint64_t r = scaledDigits(m, e, x, unrounded);
    if (unrounded >= 1000000) {
        ++x;
        r = scaledDigits(m, e, x, unrounded);
    }
    d = static_cast<std::uint32_t>(r);
}

}  // namespace
#endif

namespace {

// "00".."99".
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kPairs;

// The two characters of 0..99 as a little-endian 16-bit word.
inline std::uint16_t pair(std::uint32_t v) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(kPairs.text[2 * v]) |
                                      static_cast<unsigned char>(kPairs.text[2 * v + 1]) << 8);
}

// Stores the eight bytes of w at p, low byte first.
inline void store8(char* p, std::uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    std::memcpy(p, &w, 8);
}

}  // namespace

char* formatStreamFloat(float v, char* out) {
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
    std::uint32_t d;
    if (!sixDigitsExact(negative ? -v : v, x, d)) sixDigitsWide(m, e, x, d);
    if (d == 1000000) {  // rounded up to the next power of ten
        d = 100000;
        ++x;
    }
    // The six digit characters in one little-endian word, first digit in
    // the low byte, so that the copies below are single stores; nd of them
    // are significant (d >= 100000, so the first one always is).
    const std::uint32_t low = d % 100000;
    const std::uint64_t word = (std::uint64_t{'0'} + d / 100000) | std::uint64_t{pair(low / 1000)} << 8 |
                               std::uint64_t{pair(low / 10 % 100)} << 24 | (std::uint64_t{'0'} + low % 10) << 40;
    const int nd = (63 - __builtin_clzll(word ^ 0x303030303030ull)) / 8 + 1;
    // Each copy moves eight bytes and the text advances by what counts; the
    // longest text (sign, "0.000", six digits) stays within kStreamFloatMax.
    if (x < -4 || x >= 6) {
        *out++ = static_cast<char>(word);
        if (nd > 1) {
            *out++ = '.';
            store8(out, word >> 8);
            out += nd - 1;
        }
        const int ax = x < 0 ? -x : x;
        out[0] = 'e';
        out[1] = x < 0 ? '-' : '+';
        std::memcpy(out + 2, kPairs.text + 2 * ax, 2);
        out += 4;
    } else if (x >= 0) {
        store8(out, word);
        out += x + 1;
        if (nd > x + 1) {
            *out++ = '.';
            store8(out, word >> (8 * (x + 1)));
            out += nd - x - 1;
        }
    } else {
        std::memcpy(out, "0.000", 5);
        out += 1 - x;  // "0." and -x - 1 zeros
        store8(out, word);
        out += nd;
    }
    return out;
#else
    return std::to_chars(out, out + kStreamFloatMax, v, std::chars_format::general, 6).ptr;
#endif
}

char* formatStreamUnsigned(unsigned long long v, char* out) {
    if (v > 0xFFFFFFFFull) return std::to_chars(out, out + kStreamUnsignedMax, v).ptr;
    // The number of digits from the bit length, corrected by one comparison.
    static constexpr std::uint64_t kPow10[11] = {1,       10,       100,       1000,       10000,      100000,
                                                 1000000, 10000000, 100000000, 1000000000, 10000000000};
    const std::uint32_t u = static_cast<std::uint32_t>(v);
    const int bitsMinus1 = 31 - __builtin_clz(u | 1);
    int n = (bitsMinus1 * 1233 >> 12) + 1;  // 1233 / 4096 is just above log10(2)
    if (u >= kPow10[n]) ++n;
    char *end = out + n, *p = end;
    std::uint32_t w = u;
    while (w >= 100) {
        p -= 2;
        std::memcpy(p, kPairs.text + 2 * (w % 100), 2);
        w /= 100;
    }
    if (w >= 10) {
        std::memcpy(p - 2, kPairs.text + 2 * w, 2);
    } else {
        p[-1] = static_cast<char>('0' + w);
    }
    return end;
}
