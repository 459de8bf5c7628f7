#!/usr/bin/env bash
# The arm64 sysroot of the cross build: every aarch64 library the POSIX
# build links or loads (GNUstep base and its runtime, zlib; the OpenEXR
# library, libtiff and libjpeg for the tests), with their -dev packages,
# fetched from Debian with apt-get download and unpacked with dpkg -x.
# Nothing is installed: GNUstep's -dev package cannot be installed for two
# architectures at once.
# The cross compiler keeps its own libc and libstdc++ headers; the
# sysroot's libc6 gives qemu its loader and runtime libraries.
#
#   tools/arm64-sysroot.sh DEST     (tools/deps.sh has added the arm64 architecture)
set -euo pipefail
dest=${1:?usage: arm64-sysroot.sh DEST}
# The packages whose closure the sysroot holds. .complete records them, so a
# sysroot made from another list (an older one, or an empty .complete) is
# made anew.
roots="libgnustep-base-dev:arm64 zlib1g-dev:arm64 libopenexr-dev:arm64 libtiff-dev:arm64 libjpeg-dev:arm64 libstdc++6:arm64 libobjc4:arm64"
[ -e "$dest/.complete" ] && [ "$(cat "$dest/.complete")" = "$roots" ] && exit 0
rm -rf "$dest" "$dest.debs"
mkdir -p "$dest" "$dest.debs"
dest=$(cd "$dest" && pwd)

# The libraries' dependency closure, less what the sysroot does not need
# (shells, init scripts, the C library's headers, which the cross compiler
# brings) and packages that only exist for the host.
apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances --no-pre-depends \
    $roots 2>/dev/null \
  | grep -E '^[a-z0-9].*:arm64$' | sed 's/:arm64$//' | sort -u \
  | grep -v -x -E 'perl|perl-base|libperl5.36|sysvinit-utils|init-system-helpers|lsb-base|libelogind0|libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|libnsl-dev|libnsl2|libtirpc-dev|libtirpc3|rpcsvc-proto|libgdbm6|libgdbm-compat4|libdb5.3|gnustep-base-runtime|gcc-12-base' \
  | sed 's/$/:arm64/' >"$dest.debs/packages.txt"
echo gnustep-base-common >>"$dest.debs/packages.txt"   # architecture all
n=$(wc -l <"$dest.debs/packages.txt")
[ "$n" -gt 20 ] || { echo "arm64-sysroot: only $n packages found; run tools/deps.sh first" >&2; exit 1; }

(cd "$dest.debs" && apt-get download -q $(cat packages.txt) >download.log 2>&1) ||
  { cat "$dest.debs/download.log" >&2; exit 1; }
for d in "$dest.debs"/*.deb; do dpkg -x "$d" "$dest"; done
# Absolute symbolic links inside the packages point at the host; make them
# point into the sysroot.
find "$dest" -type l -lname '/*' | while read -r l; do
  ln -sfn "$dest$(readlink "$l")" "$l"
done
echo "arm64 sysroot: $n packages, $(du -sh "$dest" | cut -f1)"
rm -rf "$dest.debs"
echo "$roots" >"$dest/.complete"
