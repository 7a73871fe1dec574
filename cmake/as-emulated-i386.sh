#!/usr/bin/env bash
# Runs a command as a machine that runs 32-bit code only under qemu-i386
# would, on a machine that runs it natively: in a user and mount namespace
# of its own, with a binfmt_misc instance of its own (one per user
# namespace on Linux 6.7 and later) that sends every i386 ELF file to
# qemu-i386, and with build/i386-mode reading "emulated". Nothing outside
# the namespace changes: other processes keep running 32-bit code natively.
#
# Usage: cmake/as-emulated-i386.sh COMMAND [ARG...]   (from the source folder)
# Needs qemu-user (apt-get install qemu-user) and root (to map every user
# into the namespace).
set -euo pipefail

if [ "${1:-}" = --inside ]; then
  # Waits until the parent has mapped the users, then sets the machine up.
  read -r _ <"$2"
  shift 2
  binfmt=/proc/sys/fs/binfmt_misc
  mount -t binfmt_misc binfmt_misc "$binfmt"
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::${magic}:${mask}:/usr/bin/qemu-i386:F" >"$binfmt/register"
  # The instance starts empty: the arm64 and armhf programs need their
  # entries in it as well.
  if [ -f /usr/share/binfmts/qemu-aarch64 ]; then bash "$(dirname "$0")/enable-arm.sh" >/dev/null; fi
  mode=$(mktemp)
  echo emulated >"$mode"
  mkdir -p build
  [ -f build/i386-mode ] || echo native >build/i386-mode
  mount --bind "$mode" build/i386-mode
  rm -f "$mode"
  exec "$@"
fi

command -v qemu-i386 >/dev/null || { echo "as-emulated-i386: qemu-i386 is missing (apt-get install qemu-user)" >&2; exit 1; }
sync=$(mktemp -d)
trap 'rm -rf "$sync"' EXIT
mkfifo "$sync/mapped"
unshare --user --mount -- bash "$0" --inside "$sync/mapped" "$@" &
child=$!
while [ "$(readlink "/proc/$child/ns/user")" = "$(readlink /proc/$$/ns/user)" ]; do sleep 0.01; done
# Every user and group mapped, so that tests may still change to nobody.
echo "0 0 65536" >"/proc/$child/uid_map"
echo "0 0 65536" >"/proc/$child/gid_map"
echo go >"$sync/mapped"
status=0
wait "$child" || status=$?
exit "$status"
