#!/usr/bin/env bash
# Compares two demo folders written by different builds: every file both
# hold must be the same bytes (each build also writes files of exports the
# other lacks, which are named and left alone).
#   tools/compare-demos.sh A B
set -euo pipefail
a=${1:?usage: compare-demos.sh A B}
b=${2:?usage: compare-demos.sh A B}
same=0 differ=0
only=()
while IFS= read -r f; do
  if [ -f "$b/$f" ]; then
    if cmp -s "$a/$f" "$b/$f"; then
      same=$((same + 1))
    else
      echo "differs: $f"
      differ=$((differ + 1))
    fi
  else
    only+=("$f")
  fi
done < <(cd "$a" && find . -type f | sed 's|^\./||' | sort)
while IFS= read -r f; do
  [ -f "$a/$f" ] || only+=("$f")
done < <(cd "$b" && find . -type f | sed 's|^\./||' | sort)
[ ${#only[@]} -eq 0 ] || echo "written by one build only: ${only[*]}"
if [ "$differ" -ne 0 ]; then
  echo "demos $a and $b: $differ of $((same + differ)) files in both differ"
  exit 1
fi
echo "demos $a and $b: $same files in both, all identical"
