#!/usr/bin/env bash
# The release archives as an integrator gets them: exactly the listed files,
# the builds' own binaries, checksums that verify, text files with the line
# ends of their system; each tarball's programs are of its architecture,
# and its qvpoll and qvgateway run their simulator from a temporary folder
# (ARM ones under qemu-user, mbpoll native); packing again under another
# umask, time zone and file times gives the same bytes.
# Usage: check_archives.sh DIST_DIR LINUX_BIN_DIR WIN32_BIN_DIR [ARCH=BIN_DIR...]
#   (ARCH=BIN_DIR as make_dist.sh took them: amd64, arm64, armhf)
set -euo pipefail
dist=$1 linux_bin=$2 win_bin=$3
shift 3
linux_arches=(i386) linux_bins=("$linux_bin")
for pair in "$@"; do linux_arches+=("${pair%%=*}") linux_bins+=("${pair#*=}"); done
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(head -n 1 "$root/VERSION")
zip=$dist/quorvalend-$version-win32.zip
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
check() { # check WHAT COMMAND...
  local what=$1; shift
  if "$@" >"$tmp/out" 2>&1; then echo "ok   $what"; else echo "FAIL $what"; sed 's/^/     /' "$tmp/out"; failures=$((failures + 1)); fi
}

(cd "$dist" && sha256sum -c --quiet SHA256SUMS) || { echo "FAIL $dist/SHA256SUMS"; exit 1; }
mkdir "$tmp/zip"
unzip -q "$zip" -d "$tmp/zip"
w=$tmp/zip

listing() { (cd "$1" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' '); }
guide_texts="docs/figures.md docs/gateway.md docs/integrator.md docs/qvpoll.md"
guides="docs/figures.md docs/gateway-page.png docs/gateway.md docs/integrator.md docs/qvpoll.md"
check "zip holds exactly its eight files and the guides" \
  test "$(listing "$w")" = "LICENSE Quorvalend.dll README.txt SHA256SUMS docs $guides install.cmd qvpoll.exe qvsim.exe uninstall.cmd "
for f in Quorvalend.dll qvpoll.exe qvsim.exe; do check "zip's $f is the tested build's" cmp "$w/$f" "$win_bin/$f"; done
# The guides are the source tree's, with their links back to the README
# naming it as the archive does.
same_guide() { # same_guide ARCHIVE_FILE SOURCE_FILE README_NAME
  sed "s|(\.\./README\.md|(../$3|g" "$2" | cmp - <(tr -d '\r' <"$1")
}
for f in $guides; do
  case $f in
    *.md) check "zip's $f is the source tree's" same_guide "$w/$f" "$root/$f" README.txt ;;
    *) check "zip's $f is the source tree's" cmp "$w/$f" "$root/$f" ;;
  esac
done
check "zip's SHA256SUMS verifies" bash -c "cd '$w' && sha256sum -c --quiet SHA256SUMS && test \$(wc -l <SHA256SUMS) -eq 12"
# Every line of a Windows text file ends in CR LF; a Linux one has no CR.
all_crlf() { [ -s "$1" ] && [ "$(grep -c $'\r$' "$1")" -eq "$(wc -l <"$1")" ] && ! sed 's/\r$//' "$1" | grep -q $'\r'; }
for f in README.txt LICENSE install.cmd uninstall.cmd $guide_texts; do check "zip's $f has CR LF line ends" all_crlf "$w/$f"; done
# The developer's guide stays in the source tree, as the README says.
check "every link in the zip's README and guides leads somewhere" \
  /usr/bin/python3 "$root/tests/check_doc_links.py" --absent "$w/docs/developer.md" "$w/README.txt" "$w/docs"

# What `file` says each architecture's programs are.
file_says() {
  case $1 in
    i386) echo 'ELF 32-bit LSB .*Intel 80386' ;;
    amd64) echo 'ELF 64-bit LSB .*x86-64' ;;
    arm64) echo 'ELF 64-bit LSB .*ARM aarch64' ;;
    armhf) echo 'ELF 32-bit LSB .*ARM, EABI5' ;;
  esac
}
triplet_of() {
  case $1 in i386) echo i386-linux-gnu ;; amd64) echo x86_64-linux-gnu ;; arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;; esac
}
# A clean target has only what the README asks for: every library
# qvgateway needs beyond the C and C++ runtimes is named with its package
# of that architecture.
needed_named() { # needed_named PROGRAM README ARCH
  local lib pkg triplet
  triplet=$(triplet_of "$3")
  for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case $lib in libc.so.* | libm.so.* | libgcc_s.so.* | libstdc++.so.* | ld-linux*) continue ;; esac
    pkg=$(dpkg -S "$triplet/$lib" 2>/dev/null | sed -n "s/^\([^:]*:$3\): .*/\1/p" | head -n 1)
    [ -n "$pkg" ] || { echo "$lib: no $3 package here holds it"; return 1; }
    grep -qF "\`$pkg\`" "$2" || { echo "the README does not name $pkg, which holds $lib"; return 1; }
  done
}
# The zip's README is the tarballs' without their architecture's part.
only_added() { # only_added WINDOWS_README LINUX_README
  ! diff <(tr -d '\r' <"$1") "$2" | grep -v '^>' | grep -qv '^[0-9]*a[0-9,]*$'
}

check_tarball() { # check_tarball ARCH BIN_DIR
  local arch=$1 linux_bin=$2
  local top=quorvalend-$version-linux-$arch
  local tarball=$dist/$top.tar.gz
  local l=$tmp/tar-$arch/$top
  echo "-- $top"
  mkdir "$tmp/tar-$arch"
  tar -xzf "$tarball" -C "$tmp/tar-$arch"
  check "tarball holds one folder with its nine files and the guides" \
    test "$(listing "$tmp/tar-$arch")" = "$top $top/LICENSE $top/Quorvalend.so $top/README $top/SHA256SUMS $top/docs $(printf "$top/%s " $guides)$top/qvgateway $top/qvgateway.example.toml $top/qvgateway@.service $top/qvpoll $top/qvsim "
  for f in Quorvalend.so qvpoll qvsim qvgateway; do
    check "tarball's $f is the tested build's" cmp "$l/$f" "$linux_bin/$f"
    check "file says the tarball's $f is $arch code" bash -c "file -b '$l/$f' | grep -q '$(file_says "$arch")'"
  done
  check "tarball's qvgateway@.service is dist's" cmp "$l/qvgateway@.service" "$root/dist/qvgateway@.service"
  check "tarball's qvgateway.example.toml is dist's" cmp "$l/qvgateway.example.toml" "$root/dist/qvgateway.example.toml"
  for f in $guides; do
    case $f in
      *.md) check "tarball's $f is the source tree's" same_guide "$l/$f" "$root/$f" README ;;
      *) check "tarball's $f is the source tree's" cmp "$l/$f" "$root/$f" ;;
    esac
  done
  check "tarball's SHA256SUMS verifies" bash -c "cd '$l' && sha256sum -c --quiet SHA256SUMS && test \$(wc -l <SHA256SUMS) -eq 13"
  for f in README LICENSE $guide_texts; do check "tarball's $f has LF line ends" bash -c "! grep -q \$'\\r' '$l/$f'"; done
  check "LICENSE is MIT, The Quorvalend authors" \
    bash -c "grep -q '^MIT License' '$l/LICENSE' && grep -q 'Copyright (c) [0-9]* The Quorvalend authors' '$l/LICENSE'"
  check "README names the version, has the install part and no build part; the integrator's guide has the error codes" \
    bash -c "head -n 1 '$l/README' | grep -qx 'Quorvalend $version' && grep -qx '## Installing a release' '$l/README' &&
           grep -qx '### Installing the gateway' '$l/README' &&
           grep -qx '## Error codes' '$l/docs/integrator.md' && ! grep -qx '## Commands' '$l/README' && ! grep -qx '## Layout' '$l/README'"
  check "every link in the tarball's README and guides leads somewhere" \
    /usr/bin/python3 "$root/tests/check_doc_links.py" --absent "$l/docs/developer.md" "$l/README" "$l/docs"
  check "README names this version's archives" \
    bash -c "grep -qF '$(basename "$zip")' '$l/README' && grep -qF '$(basename "$tarball")' '$l/README'"
  check "README begins with its architecture's part" bash -c "sed -n 3p '$l/README' | grep -q '^## This archive: .*($arch'"
  check "README names the $arch package of each library qvgateway needs" needed_named "$l/qvgateway" "$l/README" "$arch"
  check "README.txt is the README without the architecture's part, with CR LF" only_added "$w/README.txt" "$l/README"

  # qvpoll finds qvsim and Quorvalend.so beside itself, wherever it is run from.
  check "tarball's qvpoll --sim reads from a temporary folder" \
    bash -c "cd / && '$l/qvpoll' --sim --format csv --sim-set D100=1234 --sim-set M10=0x3C --count 1 D100 M0010 D101=0x2A D101 >'$tmp/poll' &&
           grep -q ',D100,read,1234,' '$tmp/poll' && grep -q ',M0010,read,60,' '$tmp/poll' && grep -q ',D101,read,42,' '$tmp/poll'"
  # qvgateway too, as the unit runs it: on its own simulator, read with mbpoll.
  check "tarball's qvgateway serves its simulator from a temporary folder" bash "$root/tests/dist/run_tarball_gateway.sh" "$l"
  cp -r "$l" "$tmp/no-module-$arch" && rm "$tmp/no-module-$arch/Quorvalend.so"
  check "without Quorvalend.so beside it qvpoll refuses (status 2)" \
    bash -c "'$tmp/no-module-$arch/qvpoll' --sim D100; test \$? -eq 2"
  check "the tarball's module says its version" bash -c "readelf -p .quorvalend.version '$l/Quorvalend.so' | grep -q 'Quorvalend $version'"
}
for i in "${!linux_arches[@]}"; do check_tarball "${linux_arches[$i]}" "${linux_bins[$i]}"; done

# Packed again from copies with other times, under another umask and zone.
mkdir -p "$tmp/again/win32"
cp "$win_bin"/{Quorvalend.dll,qvpoll.exe,qvsim.exe} "$tmp/again/win32/"
again=()
for i in "${!linux_arches[@]}"; do
  mkdir -p "$tmp/again/${linux_arches[$i]}"
  cp "${linux_bins[$i]}"/{Quorvalend.so,qvpoll,qvsim,qvgateway} "$tmp/again/${linux_arches[$i]}/"
  [ "$i" -eq 0 ] || again+=("${linux_arches[$i]}=$tmp/again/${linux_arches[$i]}")
done
touch -d '2001-02-03 04:05:06' "$tmp/again"/*/*
check "packing again gives the same archives" bash -c "
  umask 077; TZ=Asia/Shanghai bash '$root/dist/make_dist.sh' '$tmp/again/out' '$tmp/again/i386' '$tmp/again/win32' ${again[*]} >/dev/null &&
  cmp '$dist/SHA256SUMS' '$tmp/again/out/SHA256SUMS'"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "release archives: all checks passed"
