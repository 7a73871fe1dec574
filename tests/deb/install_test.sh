#!/usr/bin/env bash
# The Debian packages installed as a new user installs them, in a clean
# Debian root made by mmdebstrap from the package registry: apt pulls the
# libraries they need; the installed gateway checks and serves its example
# file on the simulator (read with mbpoll from outside the root), qvpoll
# polls the simulator, the man pages open, an edited example file survives
# an upgrade, and a purge leaves nothing of the packages behind.
#
# The root (amd64 with i386 added, a realistic box for either package) is
# made once into ROOT_DIR and kept there; each run unpacks a fresh copy, so
# every run starts clean, and works in its own mount and PID namespace: the
# mounts go with it, and no process it started outlives it.
# Usage: install_test.sh DEB_DIR ROOT_DIR ARCH
set -euo pipefail
debs=$(cd "$1" && pwd) arch=$3
mkdir -p "$2"
cache=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
version=$(head -n 1 "$repo/VERSION")
run=$cache/run
tarball=$cache/bookworm-amd64-i386.tar
# Where i386 code runs only under qemu-i386, the kernel starts the host's
# registered emulator for the root's i386 programs, and that emulator loads
# its own libraries from the root: that root also holds qemu-user.
include=man-db
if [ "$(cat "$repo/build/i386-mode" 2>/dev/null)" = emulated ]; then
  include=man-db,qemu-user
  tarball=$cache/bookworm-amd64-i386-qemu-user.tar
fi
mirror=http://deb.debian.org/debian
security=http://deb.debian.org/debian-security

if [ "${QV_INSTALL_TEST_INSIDE:-}" != 1 ]; then
  case "$arch" in
    amd64|i386) ;;
    *) echo "install test: the clean root runs amd64 and i386 programs only; the $arch packages are not installed"
       exit 0 ;;
  esac
  for p in "$debs/quorvalend_${version}_$arch.deb" "$debs/qvgateway_${version}_$arch.deb"; do
    [ -f "$p" ] || { echo "FAIL $p is missing (make deb)"; exit 1; }
  done
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  started=$(date +%s)
  made=""
  if [ ! -f "$tarball" ]; then
    echo "== the clean root: made once by mmdebstrap into $tarball"
    mkdir -p "$cache/tmp"
    if ! "${sudo_cmd[@]}" env TMPDIR="$cache/tmp" mmdebstrap --mode=root --variant=apt \
        --architectures=amd64,i386 --include="$include" --format=tar bookworm "$tarball.new" \
        "deb $mirror bookworm main" "deb $mirror bookworm-updates main" "deb $security bookworm-security main" \
        >"$cache/mmdebstrap.log" 2>&1; then
      tail -n 20 "$cache/mmdebstrap.log"
      rm -rf "$tarball.new" "$cache/tmp"
      echo "FAIL the clean root could not be made: mmdebstrap needs the Debian package registry ($mirror); its log is $cache/mmdebstrap.log"
      exit 1
    fi
    rm -rf "$cache/tmp"
    mv "$tarball.new" "$tarball"
    made=" (the clean root made in $(( $(date +%s) - started )) s)"
  fi
  "${sudo_cmd[@]}" rm -rf "$run"
  mkdir -p "$run"
  "${sudo_cmd[@]}" tar -xf "$tarball" -C "$run"
  status=0
  "${sudo_cmd[@]}" env QV_INSTALL_TEST_INSIDE=1 unshare --mount --pid --fork --kill-child \
    bash "$0" "$@" || status=$?
  "${sudo_cmd[@]}" rm -rf "$run"
  echo "install test ($arch): $(( $(date +%s) - started )) s$made"
  exit $status
fi

# Inside: a private mount and PID namespace, as root.
r=$run
mount -t proc proc "$r/proc"
mount -t devpts devpts "$r/dev/pts" -o newinstance,ptmxmode=0666,mode=0620
mount -t tmpfs tmpfs "$r/tmp"
cp /etc/resolv.conf "$r/etc/resolv.conf"
# apt's package lists and downloads are kept between runs beside the root:
# the registry is still asked each time, but what it said has not changed
# is not fetched again. What is installed starts clean all the same.
mkdir -p "$cache/apt-lists/partial" "$cache/apt-archives/partial"
mount --bind "$cache/apt-lists" "$r/var/lib/apt/lists"
mount --bind "$cache/apt-archives" "$r/var/cache/apt/archives"
mkdir -p "$r/root/debs"
cp "$debs/quorvalend_${version}_$arch.deb" "$debs/qvgateway_${version}_$arch.deb" "$r/root/debs/"
multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH)
# chroot and env each exec the next, so a program started in the
# background keeps the PID $! names.
in_root_command=(chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8
  DEBIAN_FRONTEND=noninteractive)
in_root() { "${in_root_command[@]}" "$@"; }
failures=0
log=$r/root/step.log
# step NAME COMMAND...: runs it, its output kept in the log; ok or FAIL.
step() {
  local name=$1 began=$SECONDS; shift
  if "$@" >"$log" 2>&1; then
    echo "ok   $name ($((SECONDS - began)) s)"
  else
    echo "FAIL $name ($((SECONDS - began)) s)"; sed 's/^/     /' "$log" | tail -n 25
    failures=$((failures + 1))
  fi
}

install_packages() {
  in_root apt-get update -qq || { echo "the package registry ($mirror) did not answer: the test needs it"; return 1; }
  in_root apt-get install -y -qq "/root/debs/quorvalend_${version}_$arch.deb" "/root/debs/qvgateway_${version}_$arch.deb"
}
step "apt installs both packages from their files" install_packages
[ "$failures" -eq 0 ] || { echo "install test: the packages are not installed, so nothing else can be checked"; exit 1; }

# Every library the gateway's Depends names is installed, for its architecture.
libraries_pulled() {
  local depends names package missing=0
  depends=$(in_root dpkg-query -W -f='${Depends}' qvgateway)
  names=$(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/ //g' | grep -v '^$')
  echo "Depends: $depends"
  for package in $names; do
    local qualified=$package
    [ "$package" = adduser ] || [ "$package" = quorvalend ] || qualified=$package:$arch
    in_root dpkg-query -W -f='${db:Status-Abbrev}\n' "$qualified" | grep -q '^ii' || { echo "$qualified is not installed"; missing=1; }
  done
  [ "$missing" = 0 ]
}
step "apt pulled every library qvgateway depends on" libraries_pulled

module_found() {
  in_root /usr/bin/qvgateway --version | tee /dev/stderr | grep -F "/usr/lib/$multiarch/quorvalend/Quorvalend.so (Quorvalend $version" &&
  in_root /usr/bin/qvpoll --version | grep -F "/usr/lib/$multiarch/quorvalend/Quorvalend.so"
}
step "qvgateway and qvpoll load the packaged module" module_found
step "qvgateway --check-config /etc/quorvalend/example.toml" in_root qvgateway --check-config /etc/quorvalend/example.toml
poll_sim() { in_root qvpoll --sim --sim-set D100=4321 D100 | tee /dev/stderr | grep -E '^1 +1 +D100 +4321 '; }
step "qvpoll --sim D100" poll_sim

# The example file as installed, on a free Modbus port; the example's
# simulator holds D100 = 1234.
serve_example() {
  sed 's/^listen = "127.0.0.1:1502"$/listen = "127.0.0.1:0"/' "$r/etc/quorvalend/example.toml" >"$r/root/sim.toml"
  grep -q '^port = "sim"$' "$r/root/sim.toml" || { echo "the example file no longer serves the simulator"; return 1; }
  "${in_root_command[@]}" qvgateway /root/sim.toml 2>"$r/root/gateway.log" &
  local pid=$! port="" result=0
  # Until the gateway says where it listens, or ends.
  while kill -0 "$pid" 2>/dev/null; do
    port=$(sed -n 's/.*Modbus TCP on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$r/root/gateway.log" | head -n 1)
    [ -z "$port" ] || break
    sleep 0.2
  done
  if [ -z "$port" ]; then
    echo "the gateway ended before it listened:"; cat "$r/root/gateway.log"; wait "$pid" || true; return 1
  fi
  mbpoll -m tcp -p "$port" -0 -a 1 -t 4 -r 100 -c 1 -1 127.0.0.1 | tee "$r/root/mbpoll.out" | grep -E '^\[100\]:[[:space:]]+1234$' || result=1
  cat "$r/root/mbpoll.out"
  kill -TERM "$pid"
  wait "$pid" || { echo "the gateway exited with status $? on SIGTERM"; result=1; }
  cat "$r/root/gateway.log"
  return $result
}
step "the installed gateway serves its example on the simulator, read by mbpoll" serve_example

man_pages() {
  in_root man -w qvgateway && in_root man -w 5 qvgateway.toml && in_root man -w qvpoll && in_root man -w qvsim &&
  in_root man -P cat 5 qvgateway.toml | grep -q request_deadline_ms && in_root man -P cat qvgateway | grep -q -- --check-config
}
step "man qvgateway, man 5 qvgateway.toml, man qvpoll and man qvsim" man_pages

user_and_unit() {
  in_root id -nG qvgateway | tee /dev/stderr | grep -qw dialout &&
  grep -q '^ExecStart=/usr/bin/qvgateway --config /etc/quorvalend/%i.toml$' "$r/lib/systemd/system/qvgateway@.service" &&
  ! find "$r/etc/systemd/system" -name 'qvgateway@*' | grep . &&
  [ -d "$r/var/lib/quorvalend" ]
}
step "the system user qvgateway is in dialout; the unit is installed, not enabled" user_and_unit

# From here on the root looks as if systemd ran it, with a systemctl that
# only notes what it was asked: the maintainer scripts' calls are checked.
# Until here they ran without systemd, as in any chroot, and must not fail.
mkdir -p "$r/run/systemd/system"
# (apt runs the scripts with a PATH of its own: the stand-in goes where the
# real one would, which this root does not have.)
[ ! -e "$r/usr/bin/systemctl" ] || { echo "FAIL the clean root has systemctl"; exit 1; }
printf '#!/bin/sh\necho "$*" >>/root/systemctl.calls\n' >"$r/usr/bin/systemctl"
chmod 755 "$r/usr/bin/systemctl"
# called WHAT...: systemctl was asked each, in this order, since the last look.
called() {
  local calls want at=0 line
  calls=$(cat "$r/root/systemctl.calls" 2>/dev/null || true)
  rm -f "$r/root/systemctl.calls"
  echo "systemctl was asked:"; echo "$calls" | sed 's/^/  /'
  for want in "$@"; do
    line=$(awk -v w="$want" -v from="$at" 'NR > from && $0 == w { print NR; exit }' <<<"$calls")
    [ -n "$line" ] || { echo "not asked, or not in this order: $want"; return 1; }
    at=$line
  done
}

keeps_edit() {
  echo "# edited by the operator" >>"$r/etc/quorvalend/example.toml"
  in_root apt-get install -y -qq --reinstall "/root/debs/qvgateway_${version}_$arch.deb" &&
  grep -qx "# edited by the operator" "$r/etc/quorvalend/example.toml" &&
  called "--system daemon-reload" "try-restart qvgateway@*.service"
}
step "an upgrade keeps the edited example file and restarts running instances" keeps_edit

# What the packages installed, as paths in the root.
ours() { for d in "$r"/root/debs/*.deb; do dpkg-deb -c "$d"; done | awk '{print $6}' | sed 's|^\./|/|'; }
remove_then_purge() {
  # An instance's state, as systemd's StateDirectory= leaves it.
  mkdir -p "$r/var/lib/quorvalend/line1" && echo trace >"$r/var/lib/quorvalend/line1/trace.txt"
  in_root apt-get remove -y -qq qvgateway quorvalend || return 1
  called "stop qvgateway@*.service" "--system daemon-reload" || return 1
  [ -f "$r/etc/quorvalend/example.toml" ] || { echo "remove took the conffile"; return 1; }
  [ ! -e "$r/usr/bin/qvgateway" ] || { echo "remove left /usr/bin/qvgateway"; return 1; }
  in_root apt-get purge -y -qq qvgateway quorvalend || return 1
  called "--system daemon-reload" || return 1
  local left=0
  for path in $(ours) /etc/quorvalend /var/lib/quorvalend "/usr/lib/$multiarch/quorvalend"; do
    path=${path%/}
    [ -n "$path" ] || continue
    # Folders other packages share stay.
    if [ -d "$r$path" ] && [ -n "$(in_root dpkg-query -S "$path" 2>/dev/null)" ]; then continue; fi
    if [ -e "$r$path" ] || [ -L "$r$path" ]; then echo "left after purge: $path"; left=1; fi
  done
  for p in quorvalend qvgateway; do
    if in_root dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^[a-z][a-z]'; then
      in_root dpkg-query -W -f='${db:Status-Abbrev}' "$p" | grep -q '^un' || { echo "dpkg still lists $p"; left=1; }
    fi
  done
  in_root getent passwd qvgateway && echo "kept: the system user qvgateway (Debian policy keeps system users)"
  [ "$left" = 0 ]
}
step "remove stops running instances and keeps the example file; purge leaves nothing of the packages" remove_then_purge

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "install test: all checks passed"
