#!/usr/bin/env bash
# Makes sure this machine can execute 32-bit x86 Linux programs: the
# linux32 tests are such programs. Some kernels here refuse them (no IA-32
# execution); then the user-mode emulator qemu-i386 is registered for i386
# ELF files through binfmt_misc. Prints "native" or "emulated".
set -euo pipefail

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void){return 42;}\n' >"$probe_dir/p.c"
gcc -m32 "$probe_dir/p.c" -o "$probe_dir/p" 2>/dev/null

runs() { set +e; "$probe_dir/p" 2>/dev/null; local rc=$?; set -e; [ $rc -eq 42 ]; }

binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386
if [ -f "$entry" ] && grep -q enabled "$entry" && runs; then echo emulated; exit 0; fi
if runs; then echo native; exit 0; fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
if ! dpkg-query -W -f='${db:Status-Abbrev}' qemu-user 2>/dev/null | grep -q '^ii'; then
  echo "deps: this kernel does not run 32-bit programs; installing qemu-user" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
fi
if [ ! -f "$binfmt/register" ]; then
  "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -f "$entry" ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::${magic}:${mask}:/usr/bin/qemu-i386:F" | "${sudo_cmd[@]}" tee "$binfmt/register" >/dev/null
fi
runs || { echo "deps: 32-bit programs still do not run" >&2; exit 1; }
echo emulated
