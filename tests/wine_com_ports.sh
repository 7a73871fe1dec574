#!/usr/bin/env bash
# CTest fixture for the win32 line tests under Wine: a socat pty pair whose
# ends Wine sees as COM40 (the driver's) and COM41 (qvsim's).
# Usage: wine_com_ports.sh setup|cleanup PREFIX STATE_DIR
set -euo pipefail
action=$1 prefix=$2 state=$3
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
runner=$(dirname "$0")/../cmake/wine-run.sh
case $action in
  setup)
    mkdir -p "$state"
    socat pty,raw,echo=0,link="$state/ttyA" pty,raw,echo=0,link="$state/ttyB" </dev/null >/dev/null 2>&1 &
    echo $! >"$state/socat.pid"
    for _ in $(seq 50); do [ -e "$state/ttyA" ] && [ -e "$state/ttyB" ] && break; sleep 0.1; done
    "$runner" "$prefix" reg add 'HKLM\Software\Wine\Ports' /v COM40 /t REG_SZ /d "$state/ttyA" /f >/dev/null
    "$runner" "$prefix" reg add 'HKLM\Software\Wine\Ports' /v COM41 /t REG_SZ /d "$state/ttyB" /f >/dev/null
    # The mapping takes effect when the server starts again.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    ;;
  cleanup)
    if [ -f "$state/socat.pid" ]; then kill "$(cat "$state/socat.pid")" 2>/dev/null || true; rm -f "$state/socat.pid"; fi
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
