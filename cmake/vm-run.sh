#!/usr/bin/env bash
# Runs one command inside a small VM whose kernel executes 32-bit code
# natively: Wine's way onto a machine that runs 32-bit code only under
# user-mode emulation. The VM boots Debian's own kernel under software
# emulation and sees the host's whole file tree read-only (the checkout and
# the build folder at their usual paths) under an overlay kept in its
# memory; the output folder is the one place where it writes to the host.
# Prints the command's output as it comes and exits with its status: 124
# when the time limit stopped the VM, 125 when the VM did not run it.
#
# Usage: vm-run.sh [--out DIR] [--time-limit SECONDS] [--] COMMAND [ARGS...]
#   --out DIR           the output folder, shared writable (default build/vm)
#   --time-limit S      the VM is stopped after S seconds (default 1800)
# QUORVALEND_VM_CPUS (default 2) and QUORVALEND_VM_MEMORY (default 4G) size
# the VM. The command runs as root in the checkout's current folder, with
# PATH, HOME, locale and every QUORVALEND_*, CTEST_* and GTEST_* variable
# of the caller, QUORVALEND_IN_VM=1 and QUORVALEND_VM_OUT (the output
# folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/vm
limit=1800
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --time-limit) limit=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: vm-run.sh [--out DIR] [--time-limit SECONDS] [--] COMMAND [ARGS...]" >&2; exit 2; }
mkdir -p "$out"
out=$(realpath "$out")

fail() { echo "vm-run: $*" >&2; exit 125; }
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (make deps installs it where it is needed)"
[ -x /bin/busybox ] || fail "/bin/busybox is missing (package busybox-static)"

# The newest installed kernel that comes with its modules.
kernel=
for image in $(ls /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  version=${image#/boot/vmlinuz-}
  if [ -r "$image" ] && [ -d "/lib/modules/$version/kernel" ]; then kernel=$image; break; fi
done
[ -n "$kernel" ] || fail "no kernel with its modules in /boot (package linux-image-amd64)"

# The initramfs: a static busybox, the modules the shares need, the init.
stage=$out/initramfs.d
rm -rf "$stage" "$out/initramfs.cpio"
mkdir -p "$stage/bin" "$stage/lib/modules" "$stage/dev" "$stage/proc" "$stage/sys"
cp /bin/busybox "$stage/bin/busybox"
cp "$root/cmake/vm-init.sh" "$stage/init"
chmod 755 "$stage/init"
for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
         netfs fscache 9pnet 9pnet_virtio 9p overlay; do
  file=$(find "/lib/modules/$version/kernel" -name "$m.ko*" | head -n 1)
  case $file in
    "") grep -q "/$m.ko" "/lib/modules/$version/modules.builtin" || fail "kernel $version has no module $m" ;;
    *.ko) cp "$file" "$stage/lib/modules/$m.ko" ;;
    *.ko.xz) xz -dc "$file" >"$stage/lib/modules/$m.ko" ;;
    *.ko.zst) zstd -qdc "$file" >"$stage/lib/modules/$m.ko" ;;
    *) fail "cannot unpack $file" ;;
  esac
done
(cd "$stage" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) >"$out/initramfs.cpio"
rm -rf "$stage"

# The job: where the output folder is, and the command in its folder.
job=$out/job
rm -rf "$job"
mkdir -p "$job"
printf '%s\n' "$out" >"$job/path"
printf '%s\n' "$PWD" >"$job/cwd"
{
  for name in PATH HOME LANG LC_ALL TZ $(compgen -e | grep -E '^(QUORVALEND|CTEST|GTEST)_' || true); do
    [ -n "${!name+set}" ] && printf 'export %s=%q\n' "$name" "${!name}"
  done
  printf 'export QUORVALEND_IN_VM=1 QUORVALEND_VM_OUT=%q TERM=dumb\n' "$out"
  printf 'cd %q || exit 125\n' "$PWD"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$job/run.sh"
: >"$job/output.log"

qemu_pid= tail_pid=
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# QEMU's option parser reads a doubled comma as a comma inside a value.
share() { printf '%s' "${1//,/,,}"; }
# -cpu max alone lets the guest enable SMAP, and QEMU's TCG then faults the
# stack reads of a user-mode IRET in 32-bit code: every Wine process dies.
qemu-system-x86_64 -accel tcg,thread=multi -cpu max,smap=off \
  -smp "${QUORVALEND_VM_CPUS:-2}" -m "${QUORVALEND_VM_MEMORY:-4G}" \
  -kernel "$kernel" -initrd "$out/initramfs.cpio" \
  -append "console=ttyS0 loglevel=4 mitigations=off panic=-1" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$(share "$out"),mount_tag=out,security_model=none" \
  -nodefaults -display none -nic none -serial "file:$(share "$out/console.log")" -no-reboot \
  </dev/null >"$out/qemu.log" 2>&1 &
qemu_pid=$!
tail -n +1 -f --pid="$qemu_pid" "$job/output.log" &
tail_pid=$!

started=$SECONDS
timed_out=0
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ $((SECONDS - started)) -ge "$limit" ]; then
    echo "vm-run: the time limit of ${limit} s is over; stopping the VM" >&2
    kill "$qemu_pid" 2>/dev/null || true
    timed_out=1
    break
  fi
  sleep 1
done
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_pid=
wait "$tail_pid" || true
tail_pid=

[ "$timed_out" -eq 0 ] || exit 124
if [ -s "$job/status" ]; then exit "$(cat "$job/status")"; fi
echo "vm-run: the VM stopped before the command ended (qemu status $qemu_status); the end of its console:" >&2
tail -n 30 "$out/console.log" "$out/qemu.log" >&2 || true
exit 125
