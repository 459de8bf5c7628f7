// Build-wide facts that modules may branch on without preprocessor tests.
#pragma once

#if defined(_WIN32)
#define BRINDLEX_WINDOWS 1
#else
#define BRINDLEX_WINDOWS 0
#endif

// True in the Windows build; the POSIX build has the macOS behaviour.
inline constexpr bool kWindowsBuild = BRINDLEX_WINDOWS != 0;
