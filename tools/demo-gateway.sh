#!/bin/bash
# make demo-gateway: qvgateway serving the built-in simulator, and mbpoll
# reading and writing through it as any Modbus TCP client would.
#   demo-gateway.sh BIN_DIR
set -u
bin=$1
work=$(mktemp -d /tmp/qvgw-demo.XXXXXX)
gateway=
cleanup() {
  [ -n "$gateway" ] && kill "$gateway" 2>/dev/null && wait "$gateway" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/line.toml" <<'TOML'
[line]
port = "sim"              # qvsim on a pseudo-terminal
baud = 9600
timeout_ms = 500
reply_wait = "early"
sim_set = ["D100=1234", "D101=5678", "M10=0x3C"]

[modbus]
listen = "127.0.0.1:0"    # any free port; the start line says which

[[station]]
number = 1
poll_ms = 1000
max_age_ms = 2000
read = ["D100..D131", "M0..M30"]
write = ["D100..D109", "M10"]
TOML

show() { echo; echo "\$ $*"; "$@" 2>&1 | grep -v -e '^mbpoll [0-9]' -e '^Copyright' -e '^This ' -e '^under ' -e '^$'; }

echo "== the configuration, checked without touching the line"
show "$bin/qvgateway" --check-config "$work/line.toml"

echo
echo "== qvgateway --config line.toml (its log on standard error)"
"$bin/qvgateway" --config "$work/line.toml" 2> "$work/log" &
gateway=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*Modbus TCP on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/log")
  [ -n "$port" ] && break
  sleep 0.05
done
cat "$work/log"
[ -n "$port" ] || { echo "qvgateway did not start"; exit 1; }

mb=(mbpoll -m tcp -p "$port" -a 1 -0 -1 -o 2)
show "${mb[@]}" -t 4 -r 100 -c 3 127.0.0.1
show "${mb[@]}" -t 0 -r 10 -c 8 127.0.0.1
show "${mb[@]}" -t 4 -r 102 127.0.0.1 42
show "${mb[@]}" -t 4 -r 100 -c 3 127.0.0.1
echo
echo "== the station's health, input registers 9000..9007 (good, age, transactions, time-outs, bad replies, demoted, last error)"
show "${mb[@]}" -t 3 -r 9000 -c 8 127.0.0.1
echo
echo "== register 200 is outside the station's read ranges: exception 0x02"
show "${mb[@]}" -t 4 -r 200 127.0.0.1

kill -TERM "$gateway"
wait "$gateway"
status=$?
gateway=
echo
tail -n +3 "$work/log"
echo "qvgateway exited with status $status"
