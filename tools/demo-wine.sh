#!/usr/bin/env bash
# make demo-wine: qvsim and qvpoll.exe under Wine on a socat pty pair
# mapped to COM40 (qvpoll's) and COM41 (qvsim's). Everything started here
# is ended here, by PID.
set -euo pipefail
build=$(cd "$1" && pwd)
prefix=$build/wineprefix
state=$build/demo-ports
run() { "$(dirname "$0")/../cmake/wine-run.sh" "$prefix" "$@"; }
bash "$(dirname "$0")/../tests/wine_com_ports.sh" setup "$prefix" "$state"
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  bash "$(dirname "$0")/../tests/wine_com_ports.sh" cleanup "$prefix" "$state"
}
trap cleanup EXIT
run "$build/bin/qvsim.exe" --port COM41 --set D100=1234 --set M10=0x3C >/dev/null 2>&1 &
sim_pid=$!
sleep 2
run "$build/bin/qvpoll.exe" --module "$(WINEPREFIX=$prefix winepath -w "$build/bin/Quorvalend.dll")" \
  --port COM40 --count 3 --interval 500 D100 D101 M0010 D101=0x2A
run "$build/bin/qvpoll.exe" --module "$(WINEPREFIX=$prefix winepath -w "$build/bin/Quorvalend.dll")" \
  --port COM40 --station 7 --timeout 500 D100 || [ $? -eq 1 ]
