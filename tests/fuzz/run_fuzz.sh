#!/bin/bash
# Runs every fuzz target (or those FUZZ_TARGETS names) for a bounded time
# and prints what each did.
#   run_fuzz.sh BUILD_DIR SECONDS [CORPUS_MODE]
# CORPUS_MODE "grow" (make fuzz) keeps what the fuzzer finds interesting in
# BUILD_DIR/corpus; "seeds" (the smoke run) starts from the committed seeds
# alone and keeps nothing. A crash or a failed property fails the run and
# leaves its reproducer in BUILD_DIR/findings.
set -u
build=$1
seconds=$2
mode=${3:-grow}
here=$(cd "$(dirname "$0")" && pwd)
targets=${FUZZ_TARGETS:-parse_tag station execute_block build_request modbus_dispatch mqtt_payload tag_config sparkplug_command}

# Under user-mode emulation LeakSanitizer cannot stop the process's threads
# and hangs, and AddressSanitizer's 32-bit allocator fails a CHECK once its
# heap grows into addresses the emulator hands out; there the leak check is
# off and the quarantine small. Where the kernel runs 32-bit code itself,
# both keep their defaults.
leaks=1
asan="abort_on_error=1"
if [ "$(cat "$(dirname "$build")/i386-mode" 2>/dev/null)" != native ]; then
  leaks=0
  asan="$asan:quarantine_size_mb=16"
fi
export ASAN_OPTIONS="detect_leaks=$leaks:$asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

mkdir -p "$build/findings" "$build/logs"
# A target's scratch files go here, not in /tmp: one that crashes leaves
# them behind, and each run starts with the folder empty.
export TMPDIR=$build/scratch
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
status=0
printf '%-18s %10s %8s %6s  %s\n' target executions exec/s units result
for target in $targets; do
  seeds=$here/corpus/$target
  if [ "$mode" = grow ]; then
    work=$build/corpus/$target
    mkdir -p "$work"
  else
    work=$(mktemp -d)
  fi
  log=$build/logs/$target.txt
  # The seeds go by name: a 32-bit program under the emulator cannot list
  # a directory here (its directory offsets do not fit), so libFuzzer would
  # find none. New units are still written to the work folder.
  # The list goes in a file: a grown corpus has more names than a command
  # line can carry.
  inputs=$TMPDIR/$target.seeds
  find "$seeds" $([ "$mode" = grow ] && echo "$work") -type f -size +0 | paste -sd, - >"$inputs"
  timeout -s KILL $((seconds * 3 + 60)) "$build/bin/fuzz_$target" "$work" -seed_inputs="@$inputs" \
    -max_total_time="$seconds" -timeout=10 -detect_leaks=$leaks -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" >"$log" 2>&1
  rc=$?
  [ "$mode" = grow ] || rm -rf "$work"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  if [ $rc -eq 0 ]; then
    result="nothing found"
  elif [ $rc -eq 137 ]; then
    result="did not finish in time (log: $log)"
    status=1
  else
    result="FOUND: $(ls -t "$build/findings/$target-"* 2>/dev/null | head -1) (log: $log)"
    status=1
  fi
  printf '%-18s %10s %8s %6s  %s\n' "$target" "${runs:--}" "${rate:--}" "${units:--}" "$result"
done
rm -rf "$TMPDIR"
exit $status
