# The two EXR decoders of the POSIX and macOS builds, compiled into the
# library from their release sources with the build's own compiler and
# architectures: tinyexr (its single header) and the OpenEXR library (Iex,
# IlmThread and OpenEXR, over Imath's headers). The library's C core
# (OpenEXRCore) of this release does not decode DWAA and DWAB, so its C++
# library is the one compiled in. Every symbol is hidden and
# the OpenEXR and Imath namespaces are our own, so neither can meet an
# OpenEXR that the host, or a test, loads beside us.
#
# The sources are Debian's source packages, pinned by hash and fetched by
# tools/fetch-sources.sh (make deps runs it) into BRINDLEX_THIRD_PARTY_DIR;
# the build itself never reaches the network.
#
# Defines brindlex_tinyexr and brindlex_openexr (static libraries) and
# BRINDLEX_EXR_INCLUDES, the include folders of a file that uses both.
set(BRINDLEX_THIRD_PARTY_DIR "${CMAKE_SOURCE_DIR}/build/sources" CACHE PATH
    "Folder of the unpacked tinyexr, OpenEXR and Imath sources (tools/fetch-sources.sh)")
set(_tp ${BRINDLEX_THIRD_PARTY_DIR})
foreach(_pkg tinyexr openexr imath)
  if(NOT EXISTS ${_tp}/${_pkg}/.complete)
    message(FATAL_ERROR "The ${_pkg} sources are not in ${_tp}: run make deps, or tools/fetch-sources.sh ${_tp}")
  endif()
endforeach()

find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

# Not our code: its warnings are not ours to fix. Under the sanitizers it
# keeps AddressSanitizer but not UndefinedBehaviorSanitizer, which stops at
# the decoders' shifts of negative and overflowing signed values (defined
# in C++20, and compiled as such by GCC and clang).
set(_quiet -w)
if(BRINDLEX_SANITIZE)
  list(APPEND _quiet -fno-sanitize=undefined)
endif()

# tinyexr: one translation unit holds the implementation; Debian's source
# takes deflate from the system's zlib, whose header tinyexr expects first.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/tinyexr/TinyexrImplementation.cc CONTENT
"#include <zlib.h>\n#define TINYEXR_IMPLEMENTATION\n#include \"tinyexr.h\"\n")
add_library(brindlex_tinyexr STATIC ${CMAKE_BINARY_DIR}/tinyexr/TinyexrImplementation.cc)
# Its header is public: the test suite writes EXR maps with tinyexr's writer.
target_include_directories(brindlex_tinyexr SYSTEM PUBLIC ${_tp}/tinyexr)
target_compile_definitions(brindlex_tinyexr PRIVATE TINYEXR_USE_MINIZ=0)
target_compile_options(brindlex_tinyexr PRIVATE ${_quiet})
target_link_libraries(brindlex_tinyexr PUBLIC ZLIB::ZLIB)

# OpenEXR. Its configuration headers are written here: our namespaces,
# no symbol marked for export, half floats converted by arithmetic (exact,
# like the table it would otherwise need from the Imath library).
set(_ex ${_tp}/openexr)
set(_cfg ${CMAKE_BINARY_DIR}/openexr-config)
set(IMATH_NAMESPACE_CUSTOM 1)
set(IMATH_INTERNAL_NAMESPACE Imath_Brindlex)
set(IMATH_NAMESPACE Imath)
set(IMATH_USE_NOEXCEPT 1)
set(IMATH_VERSION 3.1.6)
set(Imath_VERSION_MAJOR 3)
set(Imath_VERSION_MINOR 1)
set(Imath_VERSION_PATCH 6)
file(READ ${_tp}/imath/config/ImathConfig.h.in _imath_config)
string(APPEND _imath_config "#ifndef IMATH_HALF_NO_LOOKUP_TABLE\n#define IMATH_HALF_NO_LOOKUP_TABLE\n#endif\n")
file(CONFIGURE OUTPUT ${_cfg}/ImathConfig.h CONTENT "${_imath_config}" @ONLY)
set(OPENEXR_NAMESPACE_CUSTOM 1)
set(OPENEXR_INTERNAL_IMF_NAMESPACE Imf_Brindlex)
set(OPENEXR_IMF_NAMESPACE Imf)
set(IEX_NAMESPACE_CUSTOM 1)
set(IEX_INTERNAL_NAMESPACE Iex_Brindlex)
set(IEX_NAMESPACE Iex)
set(ILMTHREAD_NAMESPACE_CUSTOM 1)
set(ILMTHREAD_INTERNAL_NAMESPACE IlmThread_Brindlex)
set(ILMTHREAD_NAMESPACE IlmThread)
set(ILMTHREAD_THREADING_ENABLED 1)
if(APPLE)
  set(ILMTHREAD_HAVE_POSIX_SEMAPHORES 0)
  set(OPENEXR_IMF_HAVE_DARWIN 1)
else()
  set(ILMTHREAD_HAVE_POSIX_SEMAPHORES 1)
endif()
set(OPENEXR_IMF_HAVE_SYSCONF_NPROCESSORS_ONLN 1)
set(OPENEXR_IMF_HAVE_COMPLETE_IOMANIP 1)
set(OPENEXR_VERSION 3.1.5)
set(OpenEXR_VERSION_MAJOR 3)
set(OpenEXR_VERSION_MINOR 1)
set(OpenEXR_VERSION_PATCH 5)
foreach(_h OpenEXRConfig OpenEXRConfigInternal IexConfig IexConfigInternal IlmThreadConfig)
  configure_file(${_ex}/cmake/${_h}.h.in ${_cfg}/${_h}.h)
endforeach()

file(GLOB _exr_sources ${_ex}/src/lib/OpenEXR/*.cpp ${_ex}/src/lib/Iex/*.cpp ${_ex}/src/lib/IlmThread/*.cpp)
# Two of the files are the programs that wrote its tables, not library code.
list(FILTER _exr_sources EXCLUDE REGEX "/(b44ExpLogTable|dwaLookups)\\.cpp$")
set(BRINDLEX_EXR_INCLUDES ${_cfg} ${_tp}/imath/src/Imath ${_ex}/src/lib/OpenEXR ${_ex}/src/lib/Iex
    ${_ex}/src/lib/IlmThread ${_tp}/tinyexr)
add_library(brindlex_openexr STATIC ${_exr_sources})
target_include_directories(brindlex_openexr PRIVATE ${BRINDLEX_EXR_INCLUDES})
target_compile_options(brindlex_openexr PRIVATE ${_quiet})
target_link_libraries(brindlex_openexr PUBLIC ZLIB::ZLIB Threads::Threads)
set_target_properties(brindlex_tinyexr brindlex_openexr PROPERTIES
  C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
message(STATUS "EXR decoders: tinyexr, OpenEXR ${OPENEXR_VERSION} and Imath ${IMATH_VERSION} from ${_tp}")
