// Float text as a default-configured output stream prints it: general
// notation, 6 significant digits, at least two exponent digits.
//
// It stands in for std::to_chars (general, 6 digits) because it is several
// times faster on the OBJ writer's millions of coordinates and writes the
// very bytes such a stream writes, NaN and infinity included, in both
// builds. Compilers without 128-bit integers use std::to_chars.
#pragma once

// Longest text formatStreamFloat writes.
inline constexpr int kStreamFloatMax = 16;

// Writes v as the stream prints a float and returns the end of the text.
// out needs kStreamFloatMax bytes; no NUL is written.
char* formatStreamFloat(float v, char* out);

// Longest text formatStreamUnsigned writes.
inline constexpr int kStreamUnsignedMax = 20;

// Writes v in decimal as a stream prints an unsigned number and returns the
// end of the text. out needs kStreamUnsignedMax bytes; no NUL is written.
char* formatStreamUnsigned(unsigned long long v, char* out);
