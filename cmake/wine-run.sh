#!/usr/bin/env bash
# Runs a Windows program under Wine with the build's private 32-bit prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
# The first call creates the prefix; a fresh wineserver is warmed up once so
# that the program's own start does not leave ctest waiting on its pipes.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    [ -f "$prefix/system.reg" ] || wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
  ) 9>"$prefix.lock"
fi
# A caller that keeps a server running for its programs says so.
if [ "${QUORVALEND_WINE_SERVER_KEPT:-0}" != 1 ] && wineserver -p60 </dev/null >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1
fi
exec wine "$@"
