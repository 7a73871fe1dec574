#!/usr/bin/env bash
# Installs the Debian packages the two targets need, only those missing.
# Quiet and idempotent: with everything present it only asks dpkg.
# "deps.sh vm" installs instead what the VM for Wine needs (cmake/vm-run.sh),
# on machines that run 32-bit code only under emulation.
set -euo pipefail

if [ "${1:-}" = vm ]; then
  packages=(qemu-system-x86 linux-image-amd64 busybox-static)
else packages=(
  build-essential cmake ninja-build pkg-config
  g++-multilib lib32asan8 lib32ubsan1
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 socat
  googletest libgtest-dev libgmock-dev
  valgrind libc6-dbg:i386 clang libclang-rt-14-dev
  gnuplot-nox python3 zip unzip
  libcli11-dev nlohmann-json3-dev
  libmodbus-dev:i386 libtoml11-dev mbpoll python3-pymodbus python3-serial-asyncio
  libmosquitto-dev:i386 mosquitto mosquitto-clients openssl
  libmicrohttpd-dev:i386 prometheus chromium
  protobuf-c-compiler libprotobuf-c-dev:i386 nodejs
  dpkg-dev lintian mmdebstrap scdoc man-db
); fi

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
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails the update of one index; the lists
# already here may still hold every package, and the install says if not.
"${sudo_cmd[@]}" apt-get update -qq || echo "deps: apt-get update failed; installing from the package lists already here"
install=("${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends)
if ! "${install[@]}" "${missing[@]}" >/dev/null; then
  # An i386 index that failed to update leaves amd64 candidates from a
  # newer suite (security) that their i386 twins cannot match; the
  # release's own suite has both architectures at one version.
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || exit 1
  echo "deps: retrying with the versions of $release itself, which both architectures have"
  # An amd64 package already at a version no i386 index lists (a security
  # update) blocks its i386 twin: both go to the i386 candidate's version,
  # the amd64 one stepping back if need be.
  pins=()
  for _ in 1 2 3 4 5; do
    # A dry run says which packages block (a quiet install does not).
    if apt-get install -s --no-install-recommends -t "$release" "${missing[@]}" "${pins[@]}" >/tmp/deps-$$.err 2>&1; then
      rm -f /tmp/deps-$$.err
      exec "${install[@]}" --allow-downgrades -t "$release" "${missing[@]}" "${pins[@]}" >/dev/null
    fi
    blocked=$(grep -o '[a-z0-9.+-]*:i386' /tmp/deps-$$.err | sed 's/:i386$//' | sort -u || true)
    added=0
    for p in $blocked; do
      have=$(dpkg-query -W -f='${Version}' "$p:amd64" 2>/dev/null || true)
      want=$(apt-cache policy "$p:i386" | sed -n 's/^ *Candidate: //p')
      if [ -n "$have" ] && [ -n "$want" ] && [ "$want" != "(none)" ] && [ "$have" != "$want" ] &&
         [[ " ${pins[*]} " != *" $p=$want "* ]]; then
        pins+=("$p=$want" "$p:i386=$want"); added=1
      fi
    done
    [ "$added" = 1 ] || break
    echo "deps: matching both architectures of: $(printf '%s ' "${pins[@]}")"
  done
  cat /tmp/deps-$$.err >&2; rm -f /tmp/deps-$$.err; exit 1
fi
