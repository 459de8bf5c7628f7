# tinyexr for the POSIX and macOS builds, as the target tinyexr::tinyexr.
#
# By default an installed tinyexr found by find_package(tinyexr CONFIG)
# (Debian's libtinyexr-dev, vcpkg's tinyexr). When BRINDLEX_TINYEXR_SOURCE_DIR
# names a tinyexr source folder (the one holding tinyexr.h), its
# implementation is compiled here into a static library with the build's
# own compiler and architectures instead, as a universal macOS build needs.
# The deflate code is the bundled miniz (deps/miniz/miniz.c) where the
# folder has it, else the system's zlib.
set(BRINDLEX_TINYEXR_SOURCE_DIR "" CACHE PATH
    "tinyexr source folder compiled into the build (empty: find an installed tinyexr)")

if(BRINDLEX_TINYEXR_SOURCE_DIR)
  set(_tx ${BRINDLEX_TINYEXR_SOURCE_DIR})
  if(NOT EXISTS ${_tx}/tinyexr.h)
    message(FATAL_ERROR "BRINDLEX_TINYEXR_SOURCE_DIR=${_tx} holds no tinyexr.h; point it at a tinyexr source folder")
  endif()
  if(EXISTS ${_tx}/deps/miniz/miniz.c)
    set(_tx_miniz 1)
    set(_tx_deflate "its bundled miniz")
  else()
    set(_tx_miniz 0)
    set(_tx_deflate "the system's zlib")
  endif()
  # One translation unit holds the implementation; zlib's header comes first
  # where tinyexr expects the includer to provide it.
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/tinyexr/TinyexrImplementation.cc CONTENT
"#if !TINYEXR_USE_MINIZ\n#include <zlib.h>\n#endif\n#define TINYEXR_IMPLEMENTATION\n#include \"tinyexr.h\"\n")
  add_library(brindlex_tinyexr STATIC ${CMAKE_BINARY_DIR}/tinyexr/TinyexrImplementation.cc)
  target_include_directories(brindlex_tinyexr SYSTEM PUBLIC ${_tx})
  target_compile_definitions(brindlex_tinyexr PRIVATE TINYEXR_USE_MINIZ=${_tx_miniz})
  target_compile_options(brindlex_tinyexr PRIVATE -w)  # not our code: its warnings are not ours to fix
  # Linked into the library, whose export table must hold our exports alone.
  set_target_properties(brindlex_tinyexr PROPERTIES C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
  if(_tx_miniz)
    target_sources(brindlex_tinyexr PRIVATE ${_tx}/deps/miniz/miniz.c)
    target_include_directories(brindlex_tinyexr PRIVATE ${_tx}/deps/miniz)
  else()
    find_package(ZLIB REQUIRED)
    target_link_libraries(brindlex_tinyexr PUBLIC ZLIB::ZLIB)
  endif()
  add_library(tinyexr::tinyexr ALIAS brindlex_tinyexr)
  message(STATUS "tinyexr: compiled from ${_tx}, deflate from ${_tx_deflate}")
else()
  find_package(tinyexr CONFIG)
  if(NOT tinyexr_FOUND)
    message(FATAL_ERROR "tinyexr not found: install it (Debian: libtinyexr-dev; vcpkg: tinyexr), add its prefix "
                        "to CMAKE_PREFIX_PATH, or set BRINDLEX_TINYEXR_SOURCE_DIR to a tinyexr source folder")
  endif()
endif()
