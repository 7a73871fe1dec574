#!/usr/bin/env bash
# The line bench under Wine: qvbench.exe drives the driver's Windows code on
# COM40, mapped to one end of a socat pseudo-terminal pair; qvsim serves the
# other end, paced to each baud rate in turn. The simulator is the Linux
# build: qvsim.exe's own pacing under Wine overshoots by milliseconds, which
# would be counted against the driver.
#   wine_bench.sh WIN32_BUILD LINUX32_BUILD OUT_DIR [TRANSACTIONS]
set -euo pipefail
build=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
out=$3
transactions=${4:-200}
here=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$build/wineprefix
runner=$here/cmake/wine-run.sh
state=$(mktemp -d)
sim=

stop_sim() {
  if [ -n "$sim" ]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
    sim=
  fi
}
cleanup() {
  stop_sim
  bash "$here/tests/wine_com_ports.sh" cleanup "$prefix" "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT

mkdir -p "$out"
bash "$here/tests/wine_com_ports.sh" setup "$prefix" "$state"
status=0
for baud in 9600 19200 57600; do
  "$linux/bin/qvsim" --port "$state/ttyB" --baud "$baud" --bits-per-byte 10 --turnaround 2 >"$state/sim.txt" 2>&1 &
  sim=$!
  for _ in $(seq 100); do grep -q "qvsim: serving" "$state/sim.txt" && break; sleep 0.1; done
  mkdir -p "$out/$baud"
  "$runner" "$prefix" "$build/bin/qvbench.exe" --line-only --device COM40 --baud "$baud" \
    --transactions "$transactions" --execution "native, under Wine" --out "$out/$baud" >"$out/$baud/table.txt" ||
    status=1
  stop_sim
done
for baud in 9600 19200 57600; do
  [ -f "$out/$baud/table.txt" ] || continue
  tr -d '\r' <"$out/$baud/table.txt" >"$state/table.txt"
  if [ "$baud" = 9600 ]; then sed -n '1,2p' "$state/table.txt"; fi
  sed -n '3,/^(looks/p' "$state/table.txt" | grep -v '^(looks'
done
# One plot file as qvbench writes it: the poll's data sets, then the early
# wait's, one per baud.
{
  echo "# baud shape ideal_ms median_ms p95_ms (one data set per wait and baud)"
  for wait in poll early; do
    for baud in 9600 19200 57600; do
      [ -f "$out/$baud/line.dat" ] || continue
      awk -v set="$wait" 'BEGIN{RS=""; i=0} {if ((set=="poll" && i==0) || (set=="early" && i==1)) print; i++}' \
        <(tr -d '\r' <"$out/$baud/line.dat" | grep -v '^#')
      echo; echo
    done
  done
} >"$out/line.dat"
echo "(looks: checks of the port, or early waits, per transaction; cpu: the driver thread's CPU time, in Wine's coarse steps)"
echo "(targets per baud: $out/*/table.txt)"
exit $status
