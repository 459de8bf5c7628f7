#!/usr/bin/env bash
# Installs from Debian's packages whatever the builds and suites need and
# the machine lacks, and fetches the sources the libraries compile in. Run
# as root (or with sudo available).
#   tools/deps.sh        everything: every build, suite, benchmark and fuzzer
#   tools/deps.sh demo   the two libraries and their drivers alone (make demo)
# apt-get runs only when a package is missing.
set -euo pipefail
profile=${1:-all}
# The libraries, the drivers and Wine for the Windows one.
packages=(
  cmake ninja-build g++ gobjc++ zlib1g-dev
  mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64
  gnustep-make libgnustep-base-dev
)
if [ "$profile" = all ]; then
  packages+=(
    clang libclang-rt-14-dev
    libopenexr-dev libtiff-dev
    googletest libgtest-dev libbenchmark-dev
    libjpeg-dev
    libjpeg-turbo-progs
    lld llvm
    libvips-tools imagemagick libtiff-tools valgrind
    acl e2fsprogs
    g++-aarch64-linux-gnu gobjc++-aarch64-linux-gnu qemu-user
  )
elif [ "$profile" != demo ]; then
  echo "usage: deps.sh [demo]" >&2
  exit 2
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# The arm64 build takes its libraries from Debian's arm64 packages, fetched
# (not installed) by tools/arm64-sysroot.sh; apt needs their lists.
update=0
if [ "$profile" = all ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
  update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $update -eq 1 ]; then
  $sudo apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
# The sources compiled into the POSIX and macOS libraries (the EXR decoders).
bash "$(dirname "$0")/fetch-sources.sh" "$(dirname "$0")/../build/sources"
