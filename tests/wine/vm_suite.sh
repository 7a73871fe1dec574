#!/usr/bin/env bash
# Inside the VM, under vm_prefix.sh: the win32 CTest suite, as many tests
# at a time as the VM has processors. The COM ports are mapped once before
# it starts (the second pair in the second prefix), so that no test's
# set-up restarts a server under another test; the tests that use a pair
# take it one at a time.
# Usage: vm_suite.sh WIN32_BUILD [CTEST ARGS...]
set -uo pipefail
build=$(cd "$1" && pwd)
shift
bash tests/wine_com_ports.sh map "$WINEPREFIX" "$build/com-ports"
bash tests/wine_com_ports.sh map "$WINEPREFIX-b" "$build/com-ports-b" COM42 COM43
for p in "$WINEPREFIX" "$WINEPREFIX-b"; do
  WINEPREFIX=$p wineserver -p </dev/null >/dev/null 2>&1
  WINEPREFIX=$p wine cmd /c exit </dev/null >/dev/null 2>&1
done
# What each test took last time, so that CTest starts the long ones first.
mkdir -p "$build/Testing/Temporary"
cp "$QUORVALEND_VM_OUT/win32-CTestCostData.txt" "$build/Testing/Temporary/CTestCostData.txt" 2>/dev/null || true
status=0
ctest --preset win32 -j"$(nproc)" "$@" || status=$?
# These stay in the VM's memory otherwise.
cp "$build/Testing/Temporary/LastTest.log" "$QUORVALEND_VM_OUT/win32-LastTest.log" 2>/dev/null || true
cp "$build/Testing/Temporary/CTestCostData.txt" "$QUORVALEND_VM_OUT/win32-CTestCostData.txt" 2>/dev/null || true
exit $status
