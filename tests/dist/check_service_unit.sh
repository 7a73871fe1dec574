#!/usr/bin/env bash
# dist/qvgateway@.service as systemd reads it: `systemd-analyze verify`
# accepts the unit (with its ExecStart pointed at the built qvgateway, as
# verify wants the program to exist) and prints nothing about it; the same
# check refuses copies broken on purpose, so that it is known to look; the
# README installs the gateway where the unit starts it from.
# Usage: check_service_unit.sh QVGATEWAY   (exit 77: skipped)
set -euo pipefail
qvgateway=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
unit=$root/dist/qvgateway@.service
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is not installed (Debian package systemd): the unit is not verified"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# verify COPY: systemd's findings, and its exit status last.
verify() {
  local status=0
  systemd-analyze verify "$1" >"$tmp/out" 2>&1 || status=$?
  grep -F 'qvgateway' "$tmp/out" || true
  echo "status $status"
}

installed=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$unit")
[ -n "$installed" ] || { echo "FAIL the unit has no ExecStart"; exit 1; }
# name ; edit made to the copy (sed) ; accepted?
cases=(
  "as shipped;;yes"
  "a key misspelt;s#^ProtectSystem=#ProtectSystm=#;no"
  "a value systemd does not take;s#^ProtectSystem=.*#ProtectSystem=nearly#;no"
  "a program that is not there;s#^ExecStart=[^ ]*#ExecStart=$tmp/missing/qvgateway#;no"
)
for row in "${cases[@]}"; do
  IFS=';' read -r name edit accepted <<<"$row"
  mkdir -p "$tmp/unit"
  copy=$tmp/unit/qvgateway@.service
  sed "s|$installed|$qvgateway|" "$unit" >"$copy"
  [ -z "$edit" ] || sed -i "$edit" "$copy"
  findings=$(verify "$copy")
  if [ "$findings" = "status 0" ]; then got=yes; else got=no; fi
  if [ "$got" = "$accepted" ]; then
    echo "ok   $name: accepted=$got"
  else
    echo "FAIL $name: accepted=$got, expected $accepted"; echo "$findings" | sed 's/^/     /'
    failures=$((failures + 1))
  fi
done

# The README's installation puts the program where ExecStart looks.
if grep -qF "$(dirname "$installed")" "$root/README.md" && grep -qF 'qvgateway@.service' "$root/README.md"; then
  echo "ok   README installs into $(dirname "$installed") and names the unit"
else
  echo "FAIL README does not install into $(dirname "$installed") or does not name qvgateway@.service"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "service unit: all checks passed"
