#!/usr/bin/env bash
# The soak under Wine: soak_tests.exe drives the driver's Windows code on
# COM40 with qvsim.exe on COM41, the two ends of a socat pair.
#   soak.sh WIN32_BUILD TRANSACTIONS
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$build/wineprefix
state=$(mktemp -d)
cleanup() {
  bash "$here/tests/wine_com_ports.sh" cleanup "$prefix" "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT
bash "$here/tests/wine_com_ports.sh" setup "$prefix" "$state"
# Wine hands the Linux environment to the Windows program.
QUORVALEND_SOAK_TRANSACTIONS=$2 "$here/cmake/wine-run.sh" "$prefix" "$build/bin/soak_tests.exe"
