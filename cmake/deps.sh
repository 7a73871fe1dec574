#!/usr/bin/env bash
# Installs the Debian packages the targets need, only those missing: the
# i386 and Windows builds, the native amd64 one, and the arm64 and armhf
# ones cross-built and run under qemu-user (binfmt_misc).
# Quiet and idempotent: with everything present it only asks dpkg.
# "deps.sh vm" installs instead what the VM for Wine needs (cmake/vm-run.sh),
# on machines that run 32-bit code only under emulation.
set -euo pipefail

if [ "${1:-}" = vm ]; then
  packages=(qemu-system-x86 linux-image-amd64 busybox-static)
else packages=(
  build-essential cmake ninja-build pkg-config
  g++-12-multilib linux-libc-dev:i386 lib32asan8 lib32ubsan1
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 socat
  googletest libgtest-dev libgmock-dev
  valgrind libc6-dbg:i386 clang libclang-rt-14-dev
  gnuplot-nox python3 zip unzip
  libcli11-dev nlohmann-json3-dev
  libmodbus-dev:i386 libtoml11-dev mbpoll python3-pymodbus python3-serial-asyncio
  libmosquitto-dev:i386 mosquitto mosquitto-clients openssl
  libmicrohttpd-dev:i386 prometheus chromium
  libmodbus-dev:amd64 libmosquitto-dev:amd64 libmicrohttpd-dev:amd64 libprotobuf-c-dev:amd64
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user qemu-user-binfmt
  libstdc++6:arm64 libmodbus-dev:arm64 libmosquitto-dev:arm64 libmicrohttpd-dev:arm64 libprotobuf-c-dev:arm64
  libstdc++6:armhf libmodbus-dev:armhf libmosquitto-dev:armhf libmicrohttpd-dev:armhf libprotobuf-c-dev:armhf
  protobuf-c-compiler libprotobuf-c-dev:i386 nodejs
  dpkg-dev lintian mmdebstrap scdoc man-db
); fi
# g++-12-multilib, not g++-multilib: the latter's /usr/include/asm link
# conflicts with the cross compilers, and -m32 finds the i386 kernel
# headers of linux-libc-dev:i386 without it.
# The library packages of every architecture built here but the machine's own.
foreign_architectures=(i386 arm64 armhf)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  case "$status" in ii*) ;; *) missing+=("$p") ;; esac
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
for arch in "${foreign_architectures[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  fi
done
# A mirror caught mid-sync fails the update of one index; the lists
# already here may still hold every package, and the install says if not.
"${sudo_cmd[@]}" apt-get update -qq || echo "deps: apt-get update failed; installing from the package lists already here"
install=("${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends)
if ! "${install[@]}" "${missing[@]}" >/dev/null; then
  # A foreign index that failed to update leaves amd64 candidates from a
  # newer suite (security) that their foreign twins cannot match; the
  # release's own suite has every architecture at one version.
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || exit 1
  echo "deps: retrying with the versions of $release itself, which every architecture has"
  # An amd64 package already at a version no foreign index lists (a security
  # update) blocks its foreign twin: both go to the foreign candidate's
  # version, the amd64 one stepping back if need be.
  pins=()
  for _ in 1 2 3 4 5; do
    # A dry run says which packages block (a quiet install does not).
    if apt-get install -s --no-install-recommends -t "$release" "${missing[@]}" "${pins[@]}" >/tmp/deps-$$.err 2>&1; then
      rm -f /tmp/deps-$$.err
      exec "${install[@]}" --allow-downgrades -t "$release" "${missing[@]}" "${pins[@]}" >/dev/null
    fi
    blocked=$(grep -oE '[a-z0-9.+-]*:(i386|arm64|armhf)' /tmp/deps-$$.err | sort -u || true)
    added=0
    for pa in $blocked; do
      p=${pa%:*}
      have=$(dpkg-query -W -f='${Version}' "$p:amd64" 2>/dev/null || true)
      want=$(apt-cache policy "$pa" | sed -n 's/^ *Candidate: //p')
      if [ -n "$have" ] && [ -n "$want" ] && [ "$want" != "(none)" ] && [ "$have" != "$want" ] &&
         [[ " ${pins[*]} " != *" $p=$want "* ]]; then
        pins+=("$p=$want")
        for arch in "${foreign_architectures[@]}"; do
          if dpkg-query -W "$p:$arch" >/dev/null 2>&1 || grep -q "$p:$arch" /tmp/deps-$$.err; then
            pins+=("$p:$arch=$want")
          fi
        done
        added=1
      fi
    done
    [ "$added" = 1 ] || break
    echo "deps: matching both architectures of: $(printf '%s ' "${pins[@]}")"
  done
  cat /tmp/deps-$$.err >&2; rm -f /tmp/deps-$$.err; exit 1
fi
