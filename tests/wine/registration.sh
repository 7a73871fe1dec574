#!/usr/bin/env bash
# regsvr32 registers the real DLL; reg query shows exactly the five
# entries; a client activates it through the registry; a script creates it
# by ProgID. Usage: registration.sh PREFIX DLL CLIENT SCRIPT
set -euo pipefail
prefix=$1 dll=$2 client=$3 script=$4
run() { "$(dirname "$0")/../../cmake/wine-run.sh" "$prefix" "$@"; }
clsid='{3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}'
dll_win=$(WINEPREFIX=$prefix winepath -w "$dll" 2>/dev/null)

run regsvr32 /s "$dll_win" || { echo "regsvr32 failed ($?)"; exit 1; }
query() { run reg query "HKCR\\$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
expect() {
  local got; got=$(query "$1")
  [ "$got" = "$2" ] || { echo "HKCR\\$1 is '$got', expected '$2'"; exit 1; }
  echo "ok   HKCR\\$1 = $got"
}
expect 'Quorvalend.QuorvalendPro' 'Quorvalend.QuorvalendPro'
expect "CLSID\\$clsid" 'Quorvalend.QuorvalendPro'
expect 'Quorvalend.QuorvalendPro\CLSID' "$clsid"
expect "CLSID\\$clsid\\ProgID" 'Quorvalend.QuorvalendPro'
server=$(query "CLSID\\$clsid\\InProcServer32")
[ -n "$server" ] || { echo "no InProcServer32"; exit 1; }
echo "ok   InProcServer32 = $server"
# Nothing else: no named values, no further subkeys.
extra=$(run reg query "HKCR\\CLSID\\$clsid" /s 2>/dev/null | tr -d '\r' | grep -c 'REG_' || true)
[ "$extra" -eq 3 ] || { echo "expected 3 values under the class key, found $extra"; exit 1; }

run "$client" "$dll_win"
out=$(run cscript //nologo "$(WINEPREFIX=$prefix winepath -w "$script")" | tr -d '\r')
echo "$out"
[ "$out" = ok ]
