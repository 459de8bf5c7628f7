#!/usr/bin/env bash
# bench/section.sh FILE NAME CONTENT: replaces the lines between
# "<!-- NAME -->" and "<!-- /NAME -->" in FILE with the lines of CONTENT,
# leaving the rest of FILE as it is; a FILE without that section gets it at
# its end (a new FILE starts with the "# Benchmarks" title). make bench and
# make bench-windows each write their own section this way.
set -euo pipefail
file=$1 name=$2 content=$3
begin="<!-- $name -->" end="<!-- /$name -->"
[ -f "$file" ] || printf '# Benchmarks\n' > "$file"
tmp=$(mktemp "$file.XXXXXX")
if grep -qxF "$begin" "$file" && grep -qxF "$end" "$file"; then
  awk -v begin="$begin" -v end="$end" -v content="$content" '
    $0 == begin { print; while ((getline line < content) > 0) print line; skip = 1; next }
    $0 == end { skip = 0 }
    !skip { print }' "$file" > "$tmp"
else
  { cat "$file"; echo; echo "$begin"; cat "$content"; echo "$end"; } > "$tmp"
fi
cat "$tmp" > "$file"  # keeps FILE's own permissions
rm -f "$tmp"
