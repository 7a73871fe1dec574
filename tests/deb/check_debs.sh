#!/usr/bin/env bash
# The Debian packages `make deb` wrote, for each architecture it packed:
# lintian finds no error and no warning; systemd accepts the unit; packed
# again from a copy of the build elsewhere, with every file's time changed,
# they come out byte for byte the same; and they install, run and purge
# cleanly in a clean Debian root (install_test.sh).
# Usage: check_debs.sh DEB_DIR ROOT_DIR
set -euo pipefail
debs=$(cd "$1" && pwd) roots=$2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
version=$(head -n 1 "$repo/VERSION")
[ -f "$debs/architectures" ] || { echo "FAIL $debs/architectures is missing: run make deb"; exit 1; }
failures=0
work=$(mktemp -d "$debs/check.XXXXXX")
trap 'rm -rf "$work"' EXIT

while read -r arch; do
  pair=("$debs/quorvalend_${version}_$arch.deb" "$debs/qvgateway_${version}_$arch.deb")
  echo "== Debian packages, $arch"
  # lintian's own exit status (--fail-on) decides; its findings are shown.
  # Its temporary files go to this check's folder: it leaves some behind.
  if TMPDIR=$work lintian --fail-on error,warning "${pair[@]}" >"$work/lintian" 2>&1; then
    echo "ok   lintian: no error, no warning"
  else
    echo "FAIL lintian"; failures=$((failures + 1))
  fi
  grep -v '^running with root privileges' "$work/lintian" | sed 's/^/     /' || true

  preset=$(awk -v a="$arch" '$1 == a { print $2 }' "$repo/packaging/architectures")
  # The package's unit as systemd reads it, its man pages found among the
  # package's own (verify wants ExecStart's program to exist: the build's).
  if command -v systemd-analyze >/dev/null; then
    dpkg-deb -x "${pair[1]}" "$work/unpacked"
    unit=$work/unit/qvgateway@.service
    mkdir -p "$work/unit"
    sed "s|^ExecStart=/usr/bin/qvgateway |ExecStart=$repo/build/$preset/bin/qvgateway |" \
      "$work/unpacked/lib/systemd/system/qvgateway@.service" >"$unit"
    if MANPATH=$work/unpacked/usr/share/man systemd-analyze verify "$unit" >"$work/verify" 2>&1 && [ ! -s "$work/verify" ]; then
      echo "ok   systemd-analyze verify: the package's unit, its man pages found"
    else
      echo "FAIL systemd-analyze verify:"; sed 's/^/     /' "$work/verify"; failures=$((failures + 1))
    fi
    rm -rf "$work/unpacked" "$work/unit"
  else
    echo "skip systemd-analyze verify: systemd-analyze is not installed (Debian package systemd)"
  fi
  copy=$work/build-copy
  rm -rf "$copy" && mkdir -p "$copy"
  cp -r "$repo/build/$preset/bin" "$repo/build/$preset/man" "$copy/"
  find "$copy" -exec touch -h {} +
  bash "$repo/packaging/make_deb.sh" "$work/again" "$arch" "$copy" >/dev/null
  same=1
  for p in "${pair[@]}"; do
    cmp -s "$p" "$work/again/$(basename "$p")" || { same=0; echo "     $(basename "$p") differs when packed again"; }
  done
  if [ "$same" = 1 ]; then echo "ok   packed again elsewhere, with new file times: the same bytes"
  else echo "FAIL packed again elsewhere: different bytes"; failures=$((failures + 1)); fi

  bash "$here/install_test.sh" "$debs" "$roots" "$arch" || failures=$((failures + 1))
done <"$debs/architectures"

[ "$failures" -eq 0 ] || { echo "Debian packages: $failures check(s) failed"; exit 1; }
echo "Debian packages: all checks passed"
