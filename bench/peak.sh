#!/usr/bin/env bash
# bench/peak.sh BUILD_DIR [DATA_DIR]: what each map and mesh export adds to
# the peak resident memory of a fresh process (brindlex_peak), at 1024² and
# 8192² 8-bit RGB maps and at meshes of 65 k and 4 M faces, made once into
# DATA_DIR (default build/peak-data). A Windows build folder
# (brindlex_peak.exe) runs under wine and adds the exports only that build
# has: the PSD thumbnail, the face IDs, the OBJ text and the colour block.
set -euo pipefail
build=$1
data=${2:-build/peak-data}
mkdir -p "$data"
if [ -x "$build/brindlex_peak.exe" ]; then
  probe=(env WINEDEBUG=-all wine "$build/brindlex_peak.exe")
else
  probe=("$build/brindlex_peak")
fi
for side in 1024 8192; do
  for kind in psd bmp; do
    for seed in 1 2; do
      f=$data/$seed-$side.$kind
      [ -s "$f" ] || "${probe[@]}" make $kind $side $seed "$f"
    done
  done
done
for cells in 81 632; do
  for kind in mesh quads faces colours coarse; do
    f=$data/$kind-$cells.Mesk
    [ -s "$f" ] || "${probe[@]}" make $kind $cells "$f"
  done
done
call() { "${probe[@]}" call "$@"; }
for side in 1024 8192; do
  echo "$side²:"
  cp "$data/2-$side.psd" "$data/work.psd"; call mergeMapsPSD "$data/1-$side.psd" 0 "$data/work.psd"
  cp "$data/2-$side.psd" "$data/work.psd"; call swapRGBPSD "$data/work.psd" 2
  cp "$data/2-$side.bmp" "$data/work.bmp"; call mergeMapsBMP "$data/1-$side.bmp" 0 "$data/work.bmp"
  cp "$data/2-$side.bmp" "$data/work.bmp"; call swapRGBBMP "$data/work.bmp" 2
  cp "$data/1-$side.bmp" "$data/work.bmp"; call CreateThumbnailBMP "$data/work.bmp" 256
  if [ -x "$build/brindlex_peak.exe" ]; then
    cp "$data/1-$side.psd" "$data/work.psd"; call CreateThumbnail "$data/work.psd" 256
  fi
done
for cells in 81 632; do
  echo "$((cells * cells * 10)) faces:"
  call getUVTile "$data/mesh-$cells.Mesk" 1 x
  call getUVGroups "$data/mesh-$cells.Mesk" 0
  call getUVs "$data/mesh-$cells.Mesk" 1 "$data/tile.Mesk"
  call getUVsMask "$data/mesh-$cells.Mesk" 1 "$data/tile.Mesk"
  cp "$data/mesh-$cells.Mesk" "$data/crease.Mesk"; call mergeCrease "$data/mesh-$cells.Mesk" 0 "$data/crease.Mesk"
  if [ -x "$build/brindlex_peak.exe" ]; then
    call getFaceIDs "$data/faces-$cells.Mesk" 2
    call getFaceIDs "$data/coarse-$cells.Mesk" 1 -- mesktoOBJ "$data/quads-$cells.Mesk" 0 "$data/mesh.obj"
    call outMRGB "$data/colours-$cells.Mesk" 0 "$data/colours.txt"
  fi
done
