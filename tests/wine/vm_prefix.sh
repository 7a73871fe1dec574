#!/usr/bin/env bash
# Inside the VM (cmake/vm-run.sh): gives the win32 build its Wine prefixes
# (wineprefix, and wineprefix-b for a suite that runs beside the others) in
# the VM's memory and keeps a warm wineserver for each for the command. The
# first run saves the fresh prefix into the output folder; later runs unpack
# that copy (about 15 s instead of 45 s) while Wine and the prefix's path
# are the same. The second prefix is the same copy, unpacked under its own
# name: a prefix refers to itself only through relative links.
# Usage: vm_prefix.sh WIN32_BUILD COMMAND [ARGS...]
set -euo pipefail
[ "${QUORVALEND_IN_VM:-0}" = 1 ] || { echo "vm_prefix.sh: runs inside the VM (cmake/vm-run.sh)" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
prefix=$build/wineprefix
saved=$QUORVALEND_VM_OUT/wineprefix.tar
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# In memory, and empty even where the host has a prefix at that path (a
# native machine running the VM for development).
mkdir -p "$prefix" "$prefix-b"
mount -t tmpfs -o mode=755 wineprefix "$prefix"
mount -t tmpfs -o mode=755 wineprefix-b "$prefix-b"
stamp="$(wine --version) $prefix"
started=$SECONDS
if [ -f "$saved" ] && [ "$(cat "$saved.stamp" 2>/dev/null)" = "$stamp" ]; then
  dd if="$saved" bs=4M status=none | tar -x -C "$prefix"
  echo "vm: Wine prefix unpacked from $saved in $((SECONDS - started)) s"
else
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  echo "vm: Wine prefix made in $((SECONDS - started)) s"
  rm -f "$saved" "$saved.stamp"
  tar -c -C "$prefix" . | dd of="$saved.part" bs=4M status=none
  mv "$saved.part" "$saved"
  echo "$stamp" >"$saved.stamp"
fi

tar -c -C "$prefix" . | tar -x -C "$prefix-b"

# Persistent until the command is done: no program waits for a server to
# start, and none sees it go away between tests.
for p in "$prefix" "$prefix-b"; do
  WINEPREFIX=$p wineserver -p </dev/null >/dev/null 2>&1
  WINEPREFIX=$p wine cmd /c exit </dev/null >/dev/null 2>&1
done
export QUORVALEND_WINE_SERVER_KEPT=1
status=0
"$@" || status=$?
for p in "$prefix" "$prefix-b"; do
  WINEPREFIX=$p wineserver -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$p wineserver -w </dev/null >/dev/null 2>&1 || true
done
exit $status
