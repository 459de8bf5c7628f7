// The PSD merge's kernels: one block of a merged plane, with a portable
// path and an SSE2 one that gives its results bit for bit (Platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

// One block of a merged 8-bit plane: out[j] = s[j] where A's pixel differs
// from the key k0 k1 k2 in any of its samples s0[j], s1[j], s2[j], else B's
// d[j]. The widest path this build has.
void mergePlane8(const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2, const std::uint8_t* s,
                 const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1, std::uint8_t k2,
                 std::uint8_t* out);
// The same for a 16-bit plane of m bytes (m even): out takes A's sample
// s[j], s[j+1] where it differs from the key k0 k1, else B's.
void mergePlane16(const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1,
                  std::uint8_t* out);

// Each by path number (Platform.h): simd::kPortable or kSse2; false when
// this build lacks it (nothing is written then).
bool mergePlane8With(int path, const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2,
                     const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0, std::uint8_t k1,
                     std::uint8_t k2, std::uint8_t* out);
bool mergePlane16With(int path, const std::uint8_t* s, const std::uint8_t* d, std::size_t m, std::uint8_t k0,
                      std::uint8_t k1, std::uint8_t* out);
