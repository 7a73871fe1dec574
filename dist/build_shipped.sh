#!/usr/bin/env bash
# Builds what ships of each preset named: the module, qvpoll and qvsim,
# and on Linux qvgateway and the man pages; nothing else of a tree that
# also holds the tests. With --under DIR each preset is configured afresh
# in DIR/PRESET instead of its usual folder (the reproducibility check).
# Usage: build_shipped.sh [--under DIR] PRESET...
set -euo pipefail
cd "$(dirname "$0")/.."
under=
if [ "${1:-}" = --under ]; then under=$2; shift 2; fi
for preset in "$@"; do
  if [ -n "$under" ]; then
    dir=$under/$preset
    cmake --preset "$preset" -B "$dir" >/dev/null
  else
    dir=build/$preset
    cmake --preset "$preset" >/dev/null
  fi
  targets=(Quorvalend qvpoll qvsim)
  [ "$preset" = win32 ] || targets+=(qvgateway man_pages)
  cmake --build "$dir" --target "${targets[@]}"
done
