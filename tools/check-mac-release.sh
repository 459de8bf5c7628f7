#!/usr/bin/env bash
# Checks a built macOS library as a release needs it:
#   tools/check-mac-release.sh Brindlex.dylib [FLOOR]
# - universal, holding exactly x86_64 and arm64;
# - each slice loads only libSystem, libc++, zlib and libobjc from /usr/lib
#   and frameworks from /System/Library/Frameworks;
# - each slice's minimum macOS (LC_BUILD_VERSION, or the older
#   LC_VERSION_MIN_MACOSX) is at most FLOOR (default: the build's 11.0);
# - each slice exports exactly the names in src/Brindlex.exports.
# Every fault found is printed on its own line; the exit status is 0 when
# there is none, 1 otherwise, 2 when the check cannot run.
# Runs on a Mac (lipo, otool, objdump from the command line tools) and on
# Linux with LLVM's tools (llvm-lipo, llvm-otool, llvm-objdump); LIPO,
# OTOOL and OBJDUMP name others.
set -uo pipefail
lib=${1:-}
floor=${2:-11.0}
if [ -z "$lib" ] || [ $# -gt 2 ]; then
  echo "usage: check-mac-release.sh LIBRARY [FLOOR]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
exports_list=${BRINDLEX_EXPORTS_LIST:-$here/../src/Brindlex.exports}

# pick NAME...: the first command found.
pick() {
  local n
  for n in "$@"; do
    if command -v "$n" >/dev/null 2>&1; then
      echo "$n"
      return 0
    fi
  done
  return 1
}
versions() { local b=$1 v; for v in "" -20 -19 -18 -17 -16 -15 -14; do echo "$b$v"; done; }
lipo=${LIPO:-$(pick $(versions llvm-lipo) lipo)} || { echo "check-mac-release: no lipo or llvm-lipo found" >&2; exit 2; }
otool=${OTOOL:-$(pick $(versions llvm-otool) otool)} || { echo "check-mac-release: no otool or llvm-otool found" >&2; exit 2; }
objdump=${OBJDUMP:-$(pick $(versions llvm-objdump) objdump)} || { echo "check-mac-release: no llvm-objdump found" >&2; exit 2; }
[ -f "$lib" ] || { echo "check-mac-release: $lib: no such file" >&2; exit 2; }
[ -f "$exports_list" ] || { echo "check-mac-release: $exports_list: no such file" >&2; exit 2; }

faults=0
fault() {
  echo "FAULT: $*"
  faults=$((faults + 1))
}

# version_le A B: A <= B, both dotted.
version_le() {
  local IFS=.
  local -a a=($1) b=($2)
  local i
  for i in 0 1 2; do
    local x=${a[$i]:-0} y=${b[$i]:-0}
    [ "$x" -lt "$y" ] && return 0
    [ "$x" -gt "$y" ] && return 1
  done
  return 0
}

archs=$("$lipo" -archs "$lib" 2>/dev/null | xargs) || { echo "check-mac-release: $lib is not a Mach-O file" >&2; exit 2; }
sorted=$(tr ' ' '\n' <<<"$archs" | sed '/^$/d' | sort | tr '\n' ' ')
if [ "$sorted" != "arm64 x86_64 " ]; then
  fault "architectures are '${archs}', a release holds exactly arm64 and x86_64"
fi
if ! "$lipo" -info "$lib" 2>/dev/null | grep -q "^Architectures in the fat file"; then
  fault "not a universal file"
fi

expected=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$exports_list" | sort)
for arch in $archs; do
  # Load commands: the first line of otool -L names the file itself, and
  # a library's own install name comes first after it.
  loads=$("$otool" -arch "$arch" -L "$lib" | tail -n +2 | sed -e 's/^[[:space:]]*//' -e 's/ (compatibility.*//')
  self=$("$otool" -arch "$arch" -D "$lib" | tail -n +2 | head -1)
  while IFS= read -r dylib; do
    [ -z "$dylib" ] && continue
    [ "$dylib" = "$self" ] && continue
    case "$dylib" in
      /usr/lib/libSystem.B.dylib | /usr/lib/libc++.1.dylib | /usr/lib/libz.1.dylib | /usr/lib/libobjc.A.dylib) ;;
      /System/Library/Frameworks/*) ;;
      *) fault "$arch slice loads $dylib, which an artist's Mac does not have" ;;
    esac
  done <<<"$loads"

  minos=$("$otool" -arch "$arch" -l "$lib" | awk '
    /cmd LC_BUILD_VERSION/ { b = 1; next }
    /cmd LC_VERSION_MIN_MACOSX/ { m = 1; next }
    b && $1 == "minos" { print $2; exit }
    m && $1 == "version" { print $2; exit }')
  if [ -z "$minos" ]; then
    fault "$arch slice states no minimum macOS"
  elif ! version_le "$minos" "$floor"; then
    fault "$arch slice needs macOS $minos, above the floor $floor"
  fi

  have=$("$objdump" --macho --exports-trie --arch="$arch" "$lib" | awk '/^0x/ { print $2 }' | sort)
  extra=$(comm -13 <(echo "$expected") <(echo "$have") | tr '\n' ' ')
  missing=$(comm -23 <(echo "$expected") <(echo "$have") | tr '\n' ' ')
  [ -n "$extra" ] && fault "$arch slice exports ${extra}beyond the export list"
  [ -n "$missing" ] && fault "$arch slice lacks the exports ${missing% }"
done

if [ "$faults" -gt 0 ]; then
  echo "check-mac-release: $lib: $faults fault(s)"
  exit 1
fi
echo "check-mac-release: $lib: release check passed (arm64 and x86_64, system libraries only, macOS $floor or older, the export list exactly)"
