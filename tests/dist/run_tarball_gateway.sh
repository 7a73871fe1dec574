#!/usr/bin/env bash
# The unpacked tarball's qvgateway, run as its unit runs it (from /, the
# configuration elsewhere): it finds Quorvalend.so and qvsim beside itself,
# serves the simulator's D100 to mbpoll, and ends with status 0 on SIGTERM.
# Usage: run_tarball_gateway.sh UNPACKED_FOLDER
set -euo pipefail
folder=$(cd "$1" && pwd)
tmp=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
cat >"$tmp/line.toml" <<'TOML'
[line]
port = "sim"
baud = 57600
sim_set = ["D100=1234"]

[modbus]
listen = "127.0.0.1:0"

[[station]]
number = 1
read = ["D100"]
TOML
(cd / && TMPDIR=$tmp exec "$folder/qvgateway" --config "$tmp/line.toml") 2>"$tmp/log" &
pid=$!
port=
# Under qemu-user (the ARM archives) it starts several times slower.
for _ in $(seq 600); do
  port=$(sed -n 's/.*Modbus TCP on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/log" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || { echo "qvgateway did not start:"; cat "$tmp/log"; exit 1; }
mbpoll -m tcp -p "$port" -a 1 -t 4 -r 100 -c 1 -0 -1 -o 3 127.0.0.1 >"$tmp/read" 2>&1 || true
grep -q $'\\[100\\]:[[:space:]]*1234' "$tmp/read" || { echo "mbpoll did not read 1234:"; cat "$tmp/read" "$tmp/log"; exit 1; }
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || { echo "qvgateway ended with status $status after SIGTERM:"; cat "$tmp/log"; exit 1; }
