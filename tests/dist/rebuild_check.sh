#!/usr/bin/env bash
# The same sources built again in fresh folders elsewhere give byte for
# byte the archives make dist wrote (no time stamps, build paths or file
# order in them).
# Usage: rebuild_check.sh DIST_DIR WORK_DIR
set -euo pipefail
dist=$(realpath "$1") work=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
rm -rf "$work"
bash dist/build_shipped.sh --under "$work" linux32 win32 linux64 arm64 armhf >/dev/null
bash dist/make_dist.sh "$work/dist" "$work/linux32/bin" "$work/win32/bin" \
  amd64="$work/linux64/bin" arm64="$work/arm64/bin" armhf="$work/armhf/bin" >/dev/null
if cmp -s "$dist/SHA256SUMS" "$work/dist/SHA256SUMS"; then
  cat "$work/dist/SHA256SUMS"
  echo "rebuilt in $work: the same archives"
  rm -rf "$work"
else
  echo "rebuilt in $work: the archives differ"
  diff "$dist/SHA256SUMS" "$work/dist/SHA256SUMS" || true
  exit 1
fi
