#!/usr/bin/env bash
# The Windows release as an integrator uses it, in a fresh Wine prefix: the
# zip unpacked into C:\Program Files\Quorvalend, install.cmd, the five
# registry values, activation by class and by ProgID, qvpoll.exe reading a
# qvsim.exe over COM ports, uninstall.cmd (refused from another folder,
# complete from its own, sparing other programs' entries), install again.
# Usage: wine_install.sh ZIP WIN32_TEST_BIN_DIR WORK_DIR
set -euo pipefail
zip=$(realpath "$1") test_bin=$(realpath "$2") work=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$(dirname "$here")")
mkdir -p "$work"
work=$(realpath "$work")
prefix=$work/wineprefix
ports=$work/com-ports
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
clsid='{3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}'
progid=Quorvalend.QuorvalendPro
app='C:\Program Files\Quorvalend'
app_unix="$prefix/drive_c/Program Files/Quorvalend"

sim_pid=
failures=0
cleanup() {
  local status=$?
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  bash "$root/tests/wine_com_ports.sh" cleanup "$prefix" "$ports" || true
  bash "$root/tests/wine/forget_server_folder.sh" "$prefix"
  # A passing run leaves no 600 MB prefix behind; a failing one keeps it.
  if [ "$status" -eq 0 ] && [ "$failures" -eq 0 ]; then rm -rf "$prefix"; fi
}
trap cleanup EXIT

# The project's Wine runner starts the server apart from the program's pipes.
wine_run() { "$root/cmake/wine-run.sh" "$prefix" "$@" </dev/null; }
run() { wine_run "$@" 2>/dev/null | tr -d '\r'; }
step() { echo "== $*"; }
ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failures=$((failures + 1)); }
expect_status() { # expect_status WANT WHAT COMMAND...: runs, shows the output
  local want=$1 what=$2 status=0; shift 2
  "$@" >"$work/out" || status=$?
  sed 's/^/     | /' "$work/out"
  if [ "$status" -eq "$want" ]; then ok "$what (status $status)"; else bad "$what: status $status, expected $want"; fi
}
# run KEY's default value, or nothing when the key or its value is missing.
default_of() { run reg query "HKCR\\$1" /ve | sed -n 's/.*REG_SZ[[:space:]]*//p' | grep -v '^(value not set)$' || true; }
key_exists() { wine_run reg query "HKCR\\$1" >/dev/null 2>&1; }
script() { run cscript //nologo "$(winepath -w "$root/tests/wine/create_object.vbs" 2>/dev/null)"; }

step "a fresh prefix"
rm -rf "$prefix" "$work/out"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1
mkdir -p "$app_unix"
unzip -q "$zip" -d "$app_unix"

step "install.cmd, twice"
expect_status 0 "install.cmd registers" run cmd /c "$app\\install.cmd"
grep -q "^Registered $progid" "$work/out" || bad "install.cmd does not say what it registered"
expect_status 0 "install.cmd again" run cmd /c "$app\\install.cmd"

five_values() {
  local got want
  for pair in "$progid=$progid" "$progid\\CLSID=$clsid" "CLSID\\$clsid=$progid" "CLSID\\$clsid\\ProgID=$progid"; do
    got=$(default_of "${pair%%=*}") want=${pair#*=}
    if [ "$got" = "$want" ]; then ok "HKCR\\${pair%%=*} = $got"; else bad "HKCR\\${pair%%=*} is '$got', expected '$want'"; fi
  done
  local server; server=$(default_of "CLSID\\$clsid\\InProcServer32")
  # The registry holds the short form; Wine maps it back to the file.
  if [ -n "$server" ] && [ "$(realpath "$(winepath -u "$server" 2>/dev/null)")" = "$(realpath "$app_unix/Quorvalend.dll")" ]; then
    ok "InProcServer32 = $server, the unpacked DLL"
  else
    bad "InProcServer32 is '$server', not the unpacked DLL"
  fi
}
activation() {
  expect_status 0 "the activation client creates the driver through the registry" \
    run "$test_bin/activation_client.exe" "$app\\Quorvalend.dll"
  local out; out=$(script || true)
  if [ "$out" = ok ]; then ok "cscript CreateObject(\"$progid\")"; else bad "cscript: $out"; fi
}
five_values
activation

step "qvpoll.exe reads qvsim.exe over COM40/COM41, both from the unpacked folder"
bash "$root/tests/wine_com_ports.sh" setup "$prefix" "$ports"
wine_run "$app\\qvsim.exe" --port COM41 --set D100=1234 --set M10=0x3C >"$work/sim" 2>&1 &
sim_pid=$!
# The first request must find the simulator's port open.
for _ in $(seq 150); do grep -q "serving" "$work/sim" 2>/dev/null && break; sleep 0.1; done
poll_status=0
run "$app\\qvpoll.exe" --port COM40 --baud 9600 --station 1 --count 1 D100 M0010 >"$work/out" || poll_status=$?
sed 's/^/     | /' "$work/out"
if [ "$poll_status" -eq 0 ] && grep -Eq '^1 +1 +D100 +1234 ' "$work/out" && grep -Eq '^1 +1 +M0010 +60 ' "$work/out"; then
  ok "qvpoll.exe read D100=1234 and M0010=60 through the registered driver"
else
  bad "qvpoll.exe (status $poll_status)"
fi
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
bash "$root/tests/wine_com_ports.sh" cleanup "$prefix" "$ports"

step "uninstall.cmd from a copy in another folder removes nothing"
mkdir -p "$prefix/drive_c/Other"
unzip -q "$zip" -d "$prefix/drive_c/Other"
expect_status 1 "uninstall.cmd of another folder refuses" run cmd /c 'C:\Other\uninstall.cmd'
five_values

step "uninstall.cmd from the installed folder"
expect_status 0 "uninstall.cmd" run cmd /c "$app\\uninstall.cmd"
[ "$(grep -c '^removed ' "$work/out")" -eq 5 ] || bad "uninstall.cmd did not list five removals"
for key in "$progid" "$progid\\CLSID" "CLSID\\$clsid" "CLSID\\$clsid\\ProgID" "CLSID\\$clsid\\InProcServer32"; do
  if key_exists "$key"; then bad "HKCR\\$key is still there"; else ok "HKCR\\$key is gone"; fi
done
out=$(script || true)
if [ "${out#CreateObject failed: }" != "$out" ]; then ok "CreateObject now fails ($out)"; else bad "CreateObject after uninstall: $out"; fi
expect_status 0 "uninstall.cmd with nothing registered" run cmd /c "$app\\uninstall.cmd"

step "install.cmd after an uninstall"
expect_status 0 "install.cmd registers again" run cmd /c "$app\\install.cmd"
five_values
activation

step "uninstall.cmd knows this folder's DLL by every name the registry may hold"
server_key="HKCR\\CLSID\\$clsid\\InProcServer32"
for form in "0 $app\\Quorvalend.dll" "0 ${app,,}\\quorvalend.dll" "1 C:\\Other\\Quorvalend.dll" "1 $app\\qvsim.exe"; do
  want=${form%% *} path=${form#* }
  run cmd /c "$app\\install.cmd" >/dev/null
  wine_run reg add "$server_key" /ve /d "$path" /f >/dev/null 2>&1
  expect_status "$want" "uninstall.cmd with InProcServer32 = $path" run cmd /c "$app\\uninstall.cmd"
done

step "the 64-bit Windows path: regsvr32 from SysWOW64, the registry's 32-bit view"
wow="$prefix/drive_c/windows/syswow64"
mkdir -p "$wow"
# An impostor shows which regsvr32 install.cmd runs: qvsim refuses "/s" with status 2.
cp "$app_unix/qvsim.exe" "$wow/regsvr32.exe"
expect_status 2 "install.cmd runs SysWOW64's regsvr32" run cmd /c "$app\\install.cmd"
cp "$prefix/drive_c/windows/system32/regsvr32.exe" "$wow/regsvr32.exe"
expect_status 0 "install.cmd with SysWOW64" run cmd /c "$app\\install.cmd"
five_values
expect_status 0 "uninstall.cmd with /reg:32" run cmd /c "$app\\uninstall.cmd"
[ "$(grep -c '^removed ' "$work/out")" -eq 5 ] || bad "uninstall.cmd with /reg:32 did not list five removals"
key_exists "CLSID\\$clsid" && bad "the class key is still there" || ok "the class key is gone"
rm -rf "$wow"

step "uninstall.cmd spares other programs' entries"
run cmd /c "$app\\install.cmd" >/dev/null
other='{0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9}'
wine_run reg add "HKCR\\CLSID\\$clsid\\Implemented Categories" /ve /d kept /f >/dev/null 2>&1
wine_run reg add "HKCR\\CLSID\\$clsid\\InProcServer32" /v ThreadingModel /d Apartment /f >/dev/null 2>&1
wine_run reg add "HKCR\\CLSID\\$other\\InProcServer32" /ve /d 'C:\windows\other.dll' /f >/dev/null 2>&1
expect_status 0 "uninstall.cmd" run cmd /c "$app\\uninstall.cmd"
[ "$(grep -c '^kept ' "$work/out")" -eq 2 ] || bad "uninstall.cmd did not list the two kept keys"
for key in "$progid" "$progid\\CLSID" "CLSID\\$clsid\\ProgID"; do
  if key_exists "$key"; then bad "HKCR\\$key is still there"; else ok "HKCR\\$key is gone"; fi
done
for key in "CLSID\\$clsid" "CLSID\\$clsid\\InProcServer32"; do
  [ -z "$(default_of "$key")" ] && ok "HKCR\\$key lost its default value" || bad "HKCR\\$key keeps its default value"
done
[ "$(default_of "CLSID\\$clsid\\Implemented Categories")" = kept ] && ok "a foreign subkey of the class key is kept" ||
  bad "the foreign subkey is gone"
run reg query "HKCR\\CLSID\\$clsid\\InProcServer32" /v ThreadingModel | grep -q Apartment &&
  ok "a foreign value beside InProcServer32's default is kept" || bad "the foreign value is gone"
[ "$(default_of "CLSID\\$other\\InProcServer32")" = 'C:\windows\other.dll' ] && ok "another class is untouched" ||
  bad "another class was changed"

step "install.cmd without its DLL"
mkdir -p "$prefix/drive_c/Empty"
cp "$app_unix/install.cmd" "$prefix/drive_c/Empty/"
expect_status 1 "install.cmd says the DLL is missing" run cmd /c 'C:\Empty\install.cmd'
grep -q 'Quorvalend.dll is not in' "$work/out" || bad "install.cmd does not name the missing DLL"

step "install.cmd beside a DLL that does not load"
mkdir -p "$prefix/drive_c/Broken"
cp "$app_unix/install.cmd" "$prefix/drive_c/Broken/"
head -c 4096 "$app_unix/Quorvalend.dll" >"$prefix/drive_c/Broken/Quorvalend.dll"
expect_status 3 "install.cmd says the DLL does not load" run cmd /c 'C:\Broken\install.cmd'
grep -q 'could not load' "$work/out" || bad "install.cmd does not say the DLL did not load"

if [ "$failures" -eq 0 ]; then
  echo "Windows release under Wine: all checks passed"
else
  echo "$failures check(s) failed; the prefix is kept in $prefix"
  exit 1
fi
