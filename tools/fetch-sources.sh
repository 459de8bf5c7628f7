#!/usr/bin/env bash
# Fetches the sources the POSIX and macOS libraries compile in: Debian's
# source packages of tinyexr, OpenEXR and Imath, each pinned by the SHA-256
# of its files, unpacked with Debian's patches applied.
#   tools/fetch-sources.sh DEST
# leaves DEST/tinyexr, DEST/openexr and DEST/imath, each with a .complete
# marker; a folder already marked is kept. Runs on Linux and macOS (curl,
# tar, patch, and sha256sum or shasum).
set -euo pipefail
dest=${1:?usage: fetch-sources.sh DEST}
pool=${BRINDLEX_SOURCE_POOL:-https://deb.debian.org/debian/pool/main}

# name  pool-folder  upstream-tarball  sha256  debian-tarball  sha256
packages=(
  "tinyexr t/tinyexr tinyexr_1.0.1+dfsg.orig.tar.xz 9a3f6a755ef3839321efdd6909c6f3ca5bfc868154f230203492740196b99ea7 tinyexr_1.0.1+dfsg-4.debian.tar.xz 42b947257253efe9e18702c53d80e11b91667530cc52331b10eb6047738fdd43"
  "openexr o/openexr openexr_3.1.5.orig.tar.gz 93925805c1fc4f8162b35f0ae109c4a75344e6decae5a240afdfce25f8a433ec openexr_3.1.5-5.debian.tar.xz e5f9ac594255c35fac27e12c5b8af5d175c8f5fed90dd5b4530fe3437777d54f"
  "imath i/imath imath_3.1.6.orig.tar.gz ea5592230f5ab917bea3ceab266cf38eb4aa4a523078d46eac0f5a89c52304db imath_3.1.6-1.debian.tar.xz 415b2d4612ac17d2afc1d29614b826e1c1c4c118087f198dd11571920cd7f64b"
)

sha256() {
  if command -v sha256sum >/dev/null; then sha256sum "$1" | cut -d' ' -f1; else shasum -a 256 "$1" | cut -d' ' -f1; fi
}

# fetch FOLDER FILE SHA256: FILE in $dest/downloads, its hash checked.
fetch() {
  local file=$dest/downloads/$2
  if [ ! -f "$file" ] || [ "$(sha256 "$file")" != "$3" ]; then
    curl -fsSL --retry 3 -o "$file.part" "$pool/$1/$2"
    mv "$file.part" "$file"
  fi
  local got
  got=$(sha256 "$file")
  if [ "$got" != "$3" ]; then
    echo "fetch-sources: $2 has SHA-256 $got, expected $3" >&2
    rm -f "$file"
    exit 1
  fi
}

mkdir -p "$dest/downloads"
for entry in "${packages[@]}"; do
  read -r name folder orig orig_sha deb deb_sha <<<"$entry"
  [ -f "$dest/$name/.complete" ] && continue
  fetch "$folder" "$orig" "$orig_sha"
  fetch "$folder" "$deb" "$deb_sha"
  rm -rf "$dest/$name" "$dest/$name.tmp"
  mkdir -p "$dest/$name.tmp"
  tar -xf "$dest/downloads/$orig" -C "$dest/$name.tmp" --strip-components=1
  tar -xf "$dest/downloads/$deb" -C "$dest/$name.tmp"
  if [ -f "$dest/$name.tmp/debian/patches/series" ]; then
    while read -r p _; do
      case "$p" in ''|'#'*) continue ;; esac
      patch -s -p1 -d "$dest/$name.tmp" <"$dest/$name.tmp/debian/patches/$p"
    done <"$dest/$name.tmp/debian/patches/series"
  fi
  touch "$dest/$name.tmp/.complete"
  mv "$dest/$name.tmp" "$dest/$name"
  echo "fetch-sources: $name from $orig and $deb"
done
