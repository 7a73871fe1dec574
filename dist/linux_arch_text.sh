#!/usr/bin/env bash
# The part of a Linux tarball's README that is its architecture's own: what
# its programs are, the Debian packages they need (each library qvgateway
# is linked with, found in the package that holds it here, so the list
# follows the build) and, on 64-bit, that the module's records are this
# project's own LP64 layout.
# Usage: linux_arch_text.sh ARCH QVGATEWAY   (ARCH: i386, amd64, arm64, armhf)
set -euo pipefail
arch=$1 gateway=$2
case $arch in
  i386) title="32-bit x86 Linux (i386)" triplet=i386-linux-gnu ;;
  amd64) title="64-bit x86 Linux (amd64, x86-64)" triplet=x86_64-linux-gnu ;;
  arm64) title="64-bit ARM Linux (arm64, aarch64)" triplet=aarch64-linux-gnu ;;
  armhf) title="32-bit ARM Linux (armhf, ARMv7 hard-float)" triplet=arm-linux-gnueabihf ;;
  *) echo "linux_arch_text.sh: no Linux architecture $arch" >&2; exit 1 ;;
esac

packages=("libc6:$arch" "libstdc++6:$arch")
named=()
for lib in $(readelf -d "$gateway" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort); do
  case $lib in libc.so.* | libm.so.* | libgcc_s.so.* | libstdc++.so.* | ld-linux*) continue ;; esac
  pkg=$(dpkg -S "$triplet/$lib" 2>/dev/null | sed -n "s/^\([^:]*:$arch\): .*/\1/p" | head -n 1)
  [ -n "$pkg" ] || { echo "linux_arch_text.sh: no $arch package here holds $lib" >&2; exit 1; }
  packages+=("$pkg")
  named+=("\`$pkg\` (\`$lib\`)")
done

joined=""
for i in "${!named[@]}"; do
  if [ "$i" -eq 0 ]; then joined=${named[$i]}
  elif [ "$i" -eq $((${#named[@]} - 1)) ]; then joined="$joined and ${named[$i]}"
  else joined="$joined, ${named[$i]}"; fi
done
printf '## This archive: %s\n\n' "$title"
fmt -w 76 <<<"Its programs run on $title. They need the C and C++ runtimes, \`${packages[0]}\` and \`${packages[1]}\`; \`qvgateway\` also needs $joined. On Debian or Ubuntu:"
echo
[ "$arch" = i386 ] && printf '    sudo dpkg --add-architecture i386 && sudo apt-get update   # on amd64\n'
printf '    sudo apt-get install %s\n\n' "${packages[*]}"
case $arch in
  amd64 | arm64)
    printf '%s\n%s\n%s\n%s\n\n' \
      "On this 64-bit target the module's records keep the host's fields in" \
      "the host's order with 8-byte pointers: its interface is this project's own," \
      "for hosts built against the same version's include/quorvalend headers. The" \
      "host's 32-bit contract is that of the Windows DLL and the i386 and armhf modules." ;;
  armhf)
    printf '%s\n%s\n\n' \
      "This target is 32-bit like i386: the module's records have the host's" \
      "layout, offset for offset." ;;
esac
