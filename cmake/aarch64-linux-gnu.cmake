# Cross build for aarch64 with plain char signed, as Apple's arm64 ABI has
# it (Linux arm64 makes it unsigned). The libraries come from the Debian
# arm64 sysroot that tools/arm64-sysroot.sh unpacks into build/arm64-sysroot;
# no --sysroot, so the cross compiler keeps its own libc and libstdc++.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
get_filename_component(ARM64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/arm64-sysroot" ABSOLUTE)
set(CMAKE_C_FLAGS_INIT "-fsigned-char -isystem ${ARM64_SYSROOT}/usr/include/aarch64-linux-gnu")
set(CMAKE_CXX_FLAGS_INIT "-fsigned-char -isystem ${ARM64_SYSROOT}/usr/include/aarch64-linux-gnu")
set(_rl "-Wl,-rpath-link,${ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,${ARM64_SYSROOT}/lib/aarch64-linux-gnu -Wl,-rpath-link,${ARM64_SYSROOT}/usr/lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_rl}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_rl}")
set(CMAKE_FIND_ROOT_PATH "${ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# GNUstep's flags, with its folders moved into the sysroot.
set(GNUSTEP_CONFIG "${CMAKE_CURRENT_LIST_DIR}/arm64-gnustep-config" CACHE FILEPATH "gnustep-config for the arm64 sysroot")
# ctest, the driver tests included, runs every program under qemu with the
# sysroot's loader.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${ARM64_SYSROOT}")
