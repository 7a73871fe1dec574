#!/usr/bin/env bash
# Makes this machine run arm64 and armhf Linux programs through qemu-user:
# the arm64 and armhf test programs and the programs of their release
# archives are such programs, and they start one another (qvpoll --sim
# starts qvsim), so the kernel itself must hand them to the emulator.
# qemu-user-binfmt ships their binfmt_misc entries in /usr/share/binfmts;
# where no service imported them (a container, a machine without systemd)
# they are registered here. Only the two ARM entries are touched: whatever
# cmake/enable-i386.sh registered for i386 stays as it is.
# Prints "emulated" once both run.
set -euo pipefail

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -f "$binfmt/register" ]; then
  "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
fi

# One entry from qemu-user-binfmt's description of it, flags and all; F
# keeps the emulator reachable from other mount namespaces as well.
register() {
  local name=$1 entry=/usr/share/binfmts/$1
  [ -f "$entry" ] || { echo "deps: $entry is missing (apt-get install qemu-user-binfmt)" >&2; exit 1; }
  field() { sed -n "s/^$1 //p" "$entry"; }
  local flags=F
  [ "$(field preserve)" = yes ] && flags+=P
  [ "$(field credentials)" = yes ] && flags+=C
  echo ":$name:M:$(field offset):$(field magic):$(field mask):$(field interpreter):$flags" |
    "${sudo_cmd[@]}" tee "$binfmt/register" >/dev/null
}

for name in qemu-aarch64 qemu-arm; do
  if [ ! -f "$binfmt/$name" ]; then register "$name"
  elif ! grep -q enabled "$binfmt/$name"; then echo 1 | "${sudo_cmd[@]}" tee "$binfmt/$name" >/dev/null; fi
done

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void){return 42;}\n' >"$probe_dir/p.c"
for triplet in aarch64-linux-gnu arm-linux-gnueabihf; do
  if ! command -v "$triplet-gcc" >/dev/null; then
    echo "deps: $triplet-gcc is missing: its programs' emulation is registered but not tried" >&2
    continue
  fi
  "$triplet-gcc" "$probe_dir/p.c" -o "$probe_dir/p-$triplet"
  set +e; "$probe_dir/p-$triplet" 2>/dev/null; rc=$?; set -e
  [ $rc -eq 42 ] || { echo "deps: $triplet programs do not run under qemu-user" >&2; exit 1; }
done
echo emulated
