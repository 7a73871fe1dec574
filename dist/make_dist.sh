#!/usr/bin/env bash
# Packs the tested builds' module and programs (linked stripped) into the
# release archives and their SHA256SUMS:
# the Windows zip, the i386 Linux tarball, and one more Linux tarball for
# each further architecture named (amd64, arm64, armhf). The same sources
# give the same bytes: every file gets the last commit's time (or
# SOURCE_DATE_EPOCH), fixed modes and owner, and the archives list their
# files in name order.
# Usage: make_dist.sh OUT_DIR LINUX_BIN_DIR WIN32_BIN_DIR [ARCH=BIN_DIR...]
set -euo pipefail
out=$1 linux_bin=$2 win_bin=$3
shift 3
# Debian's architecture names, each with its build's folder.
linux_arches=(i386) linux_bins=("$linux_bin")
for pair in "$@"; do
  case ${pair%%=*} in amd64 | arm64 | armhf) ;; *) echo "make_dist.sh: no Linux architecture ${pair%%=*}" >&2; exit 1 ;; esac
  linux_arches+=("${pair%%=*}") linux_bins+=("${pair#*=}")
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
export LC_ALL=C TZ=UTC
umask 022

version=$(head -n 1 "$root/VERSION")
IFS=. read -r major minor patch <<<"$version"
# Outside a git checkout (a source archive) every file gets one fixed time.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)}

fail() { echo "make_dist.sh: $*" >&2; exit 1; }

# The binaries must say the version the archive names (ARM ones run
# under qemu-user).
for f in "$win_bin"/{Quorvalend.dll,qvpoll.exe,qvsim.exe}; do [ -f "$f" ] || fail "missing $f"; done
i686-w64-mingw32-strings -el "$win_bin/Quorvalend.dll" | grep -xF "$major, $minor, $patch, 0" >/dev/null ||
  fail "Quorvalend.dll's version resource is not $version"
for tool in qvpoll qvsim; do
  i686-w64-mingw32-strings -a "$win_bin/$tool.exe" | grep -F "$tool $version" >/dev/null || fail "$tool.exe does not say $version"
done
for bin in "${linux_bins[@]}"; do
  for f in "$bin"/{Quorvalend.so,qvpoll,qvsim,qvgateway}; do [ -f "$f" ] || fail "missing $f"; done
  readelf -p .quorvalend.version "$bin/Quorvalend.so" | grep -F "Quorvalend $version" >/dev/null ||
    fail "$bin/Quorvalend.so does not carry version $version"
  for tool in qvpoll qvsim qvgateway; do
    "$bin/$tool" --version | grep -F "$version" >/dev/null || fail "$bin/$tool --version does not say $version"
  done
done

win_name=quorvalend-$version-win32
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage/$win_name"

crlf() { sed 's/\r$//; s/$/\r/' "$1"; }

# The user's guides travel beside the README, in docs/ as in the source
# tree, so that its links lead somewhere at the plant too; the developer's
# guide belongs to the source tree. In the archive the README is README
# (README.txt on Windows), so the guides' links back to it are renamed.
guides=(integrator.md qvpoll.md gateway.md figures.md)
pictures=(gateway-page.png)
guides_to() { # guides_to FOLDER README_NAME CONVERT
  local g
  install -d -m 755 "$1/docs"
  for g in "${guides[@]}"; do
    sed "s|(\.\./README\.md|(../$2|g" "$root/docs/$g" >"$stage/guide"
    "$3" "$stage/guide" >"$1/docs/$g"
    chmod 644 "$1/docs/$g"
  done
  for g in "${pictures[@]}"; do install -m 644 "$root/docs/$g" "$1/docs/"; done
  rm "$stage/guide"
}

# Windows: a flat folder, unpacked where the DLL is to stay.
w=$stage/$win_name
install -m 644 "$win_bin/Quorvalend.dll" "$win_bin/qvpoll.exe" "$win_bin/qvsim.exe" "$w/"
bash "$here/readme_txt.sh" "$root/README.md" "$version" >"$stage/README"
crlf "$stage/README" >"$w/README.txt"
crlf "$root/LICENSE" >"$w/LICENSE"
crlf "$here/install.cmd" >"$w/install.cmd"
crlf "$here/uninstall.cmd" >"$w/uninstall.cmd"
guides_to "$w" README.txt crlf

# Linux: one top folder per architecture, as a tarball is expected to
# unpack; the gateway with its systemd unit and its commented example file
# (the README's "Installing the gateway"). Each README begins with what
# that architecture's programs need.
linux_names=()
for i in "${!linux_arches[@]}"; do
  arch=${linux_arches[$i]} bin=${linux_bins[$i]}
  name=quorvalend-$version-linux-$arch
  linux_names+=("$name")
  l=$stage/$name
  mkdir -p "$l"
  install -m 755 "$bin/Quorvalend.so" "$bin/qvpoll" "$bin/qvsim" "$bin/qvgateway" "$l/"
  install -m 644 "$here/qvgateway@.service" "$here/qvgateway.example.toml" "$l/"
  { head -n 1 "$stage/README" && echo && bash "$here/linux_arch_text.sh" "$arch" "$bin/qvgateway" &&
    tail -n +2 "$stage/README"; } | cat -s >"$l/README"
  chmod 644 "$l/README"
  install -m 644 "$root/LICENSE" "$l/LICENSE"
  guides_to "$l" README cat
done
rm "$stage/README"

for d in "$w" "${linux_names[@]/#/$stage/}"; do
  (cd "$d" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort | xargs sha256sum >SHA256SUMS)
  chmod 644 "$d/SHA256SUMS"
  chmod 755 "$d" "$d/docs"
  find "$d" -exec touch -h -d "@$epoch" {} +
done

rm -f "$out/$win_name.zip" "$out"/quorvalend-*-linux-*.tar.gz
# zip keeps local time in its entries (TZ is UTC here); -X leaves out the
# owner and extra time fields, -D the folder entry.
(cd "$w" && find . -type f -printf '%P\n' | sort | zip -q -X -D -9 "$out/$win_name.zip" -@)
for name in "${linux_names[@]}"; do
  tar --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    -C "$stage" -cf - "$name" | gzip -n -9 >"$out/$name.tar.gz"
done
rm -rf "$stage"

(cd "$out" && sha256sum "$win_name.zip" "${linux_names[@]/%/.tar.gz}" >SHA256SUMS && cat SHA256SUMS)
