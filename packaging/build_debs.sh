#!/usr/bin/env bash
# `make deb`: for every architecture in packaging/architectures whose
# preset exists, what ships of its build (built here if it is not yet: the
# module and the programs, linked stripped), then its two packages in
# OUT_DIR. An architecture without its preset is named with the reason and
# skipped; the list of those packed goes to
# OUT_DIR/architectures for the tests.
# Usage: build_debs.sh OUT_DIR
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
cd "$root"
mkdir -p "$out"
presets=$(cmake --list-presets 2>/dev/null | sed -n 's/^ *"\([^"]*\)".*/\1/p')
packed=()
while read -r arch preset; do
  case "$arch" in ''|'#'*) continue ;; esac
  if ! grep -qxF "$preset" <<<"$presets"; then
    echo "deb: no $arch packages: CMakePresets.json has no preset $preset"
    continue
  fi
  bash "$root/dist/build_shipped.sh" "$preset"
  echo "== Debian packages, $arch"
  bash "$here/make_deb.sh" "$out" "$arch" "build/$preset"
  packed+=("$arch")
done <"$here/architectures"
[ ${#packed[@]} -gt 0 ] || { echo "deb: no architecture could be packed"; exit 1; }
printf '%s\n' "${packed[@]}" >"$out/architectures"
