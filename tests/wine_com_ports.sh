#!/usr/bin/env bash
# CTest fixture for the win32 line tests under Wine: a socat pty pair whose
# ends Wine sees as COM40 (the driver's) and COM41 (qvsim's), or the two
# ports named.
# Usage: wine_com_ports.sh setup|cleanup|map PREFIX STATE_DIR [DRIVER_PORT SIM_PORT]
# (map only writes the mapping into the prefix and restarts its server)
#
# A watcher keeps the pair: a test writes STATE_DIR/unplug holding a time
# in milliseconds, and the watcher stops socat (both ports lose their line,
# as when an adapter is pulled out), removes the request, waits that long,
# starts socat again under the same names and creates STATE_DIR/back.
set -euo pipefail
action=$1 prefix=$2 state=$3 driver_port=${4:-COM40} sim_port=${5:-COM41}
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
runner=$(dirname "$0")/../cmake/wine-run.sh

start_pair() {
  socat pty,raw,echo=0,link="$state/ttyA" pty,raw,echo=0,link="$state/ttyB" </dev/null >/dev/null 2>&1 &
  echo $! >"$state/socat.pid"
  for _ in $(seq 50); do [ -e "$state/ttyA" ] && [ -e "$state/ttyB" ] && break; sleep 0.1; done
}

watch_pair() {
  while sleep 0.05; do
    [ -e "$state/unplug" ] || continue
    ms=$(cat "$state/unplug")
    [ -n "$ms" ] || continue
    pid=$(cat "$state/socat.pid")
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
    rm -f "$state/unplug" "$state/back" "$state/ttyA" "$state/ttyB"
    sleep "$(awk "BEGIN { print $ms / 1000 }")"
    start_pair
    touch "$state/back"
  done
}

# The mapping as the prefix's registry file holds it, once the server has
# saved it there.
mapped() {
  grep -qxF "\"$driver_port\"=\"$state/ttyA\"" "$prefix/system.reg" 2>/dev/null &&
    grep -qxF "\"$sim_port\"=\"$state/ttyB\"" "$prefix/system.reg" 2>/dev/null
}

map() {
  "$runner" "$prefix" reg add 'HKLM\Software\Wine\Ports' /v "$driver_port" /t REG_SZ /d "$state/ttyA" /f >/dev/null
  "$runner" "$prefix" reg add 'HKLM\Software\Wine\Ports' /v "$sim_port" /t REG_SZ /d "$state/ttyB" /f >/dev/null
  # The mapping takes effect when the server starts again.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
}

case $action in
  setup)
    mkdir -p "$state"
    rm -f "$state/unplug" "$state/back"
    start_pair
    watch_pair </dev/null >/dev/null 2>&1 &
    echo $! >"$state/watcher.pid"
    # A prefix that maps the ports already needs no restart of its server,
    # which would end every other program running in it.
    mapped || map
    ;;
  map)
    map
    ;;
  cleanup)
    # The watcher first, so that it cannot start socat again.
    for name in watcher socat; do
      if [ -f "$state/$name.pid" ]; then kill "$(cat "$state/$name.pid")" 2>/dev/null || true; rm -f "$state/$name.pid"; fi
    done
    rm -f "$state/unplug" "$state/back"
    # Where the caller keeps the server for programs running beside these
    # tests, it also stops it.
    [ "${QUORVALEND_WINE_SERVER_KEPT:-0}" = 1 ] || wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
