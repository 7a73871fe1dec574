#!/usr/bin/env bash
# Packs one architecture's build (what ships of it) into the two Debian packages:
# quorvalend (the driver module, qvpoll, qvsim and their man pages) and
# qvgateway (the gateway, its unit, its example file and man pages). The
# same sources give the same bytes: every file gets the last commit's time
# (or SOURCE_DATE_EPOCH), fixed modes, owner root, and dpkg-deb packs them
# in name order with one compressor thread.
# Usage: make_deb.sh OUT_DIR DEBIAN_ARCH BUILD_DIR
set -euo pipefail
out=$1 arch=$2 build=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
export LC_ALL=C TZ=UTC
umask 022

fail() { echo "make_deb.sh: $*" >&2; exit 1; }

version=$(head -n 1 "$root/VERSION")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)}
export SOURCE_DATE_EPOCH=$epoch
multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null) || fail "dpkg does not know the architecture $arch"
maintainer=$(head -n 1 "$here/maintainer")
bin=$build/bin man=$build/man

for f in "$bin"/{Quorvalend.so,qvpoll,qvsim,qvgateway} "$man"/{qvpoll.1,qvsim.1,qvgateway.8,qvgateway.toml.5}; do
  [ -f "$f" ] || fail "missing $f"
done
readelf -p .quorvalend.version "$bin/Quorvalend.so" | grep -F "Quorvalend $version" >/dev/null ||
  fail "$bin/Quorvalend.so does not carry version $version"
# The tools look for the module in the folder the package puts it in; a
# build made for another multiarch folder would not find it.
grep -aF "../lib/$multiarch/quorvalend" "$bin/qvpoll" >/dev/null ||
  fail "$bin/qvpoll does not look for the module in ../lib/$multiarch/quorvalend (built for another architecture?)"

mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/stage-$arch
rm -rf "$work"
mkdir -p "$work/debian"
: >"$work/debian/control"  # dpkg-shlibdeps reads it, and needs nothing in it

# doc PACKAGE: copyright and changelog, as every Debian package has them.
doc() {
  local d=$work/debian/$1/usr/share/doc/$1
  install -d "$d"
  { cat "$here/copyright.head"; sed -n '3,$p' "$root/LICENSE" | sed 's/^$/./; s/^/ /'; } >"$d/copyright"
  { printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
      "$1" "$version" "$version" "$maintainer" "$(date -u -R -d "@$epoch")"; } | gzip -9n >"$d/changelog.gz"
}
# man PAGE SECTION PACKAGE
man_page() {
  install -d "$work/debian/$3/usr/share/man/man$2"
  gzip -9n <"$man/$1" >"$work/debian/$3/usr/share/man/man$2/$1.gz"
}

p=$work/debian/quorvalend
install -d "$p/usr/bin" "$p/usr/lib/$multiarch/quorvalend"
install -m 755 "$bin/qvpoll" "$bin/qvsim" "$p/usr/bin/"
install -m 644 "$bin/Quorvalend.so" "$p/usr/lib/$multiarch/quorvalend/"
man_page qvpoll.1 1 quorvalend
man_page qvsim.1 1 quorvalend
doc quorvalend

g=$work/debian/qvgateway
install -d "$g/usr/bin" "$g/lib/systemd/system" "$g/etc/quorvalend" "$g/var/lib/quorvalend"
install -m 755 "$bin/qvgateway" "$g/usr/bin/"
install -m 644 "$root/dist/qvgateway.example.toml" "$g/etc/quorvalend/example.toml"
# The release's unit starts the tarball's /opt/quorvalend/qvgateway; the
# package's starts /usr/bin/qvgateway and points at the man pages.
sed -e 's|/opt/quorvalend/qvgateway |/usr/bin/qvgateway |' \
    -e 's|^Documentation=.*|Documentation=man:qvgateway(8) man:qvgateway.toml(5)|' \
    "$root/dist/qvgateway@.service" >"$g/lib/systemd/system/qvgateway@.service"
grep -q '^ExecStart=/usr/bin/qvgateway ' "$g/lib/systemd/system/qvgateway@.service" ||
  fail "dist/qvgateway@.service no longer starts /opt/quorvalend/qvgateway: the package's unit needs its ExecStart"
chmod 644 "$g/lib/systemd/system/qvgateway@.service"
man_page qvgateway.8 8 qvgateway
man_page qvgateway.toml.5 5 qvgateway
doc qvgateway

# control PACKAGE FILES...: DEBIAN/ with the control file (its Depends from
# the libraries the binaries need), maintainer scripts, conffiles, md5sums.
control() {
  local name=$1; shift
  local pkg=$work/debian/$name
  install -d "$pkg/DEBIAN"
  local depends
  depends=$(cd "$work" && DEB_HOST_ARCH=$arch dpkg-shlibdeps -O "${@/#/-e}" | sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || fail "dpkg-shlibdeps found no libraries for $name"
  for script in postinst prerm postrm; do
    [ -f "$here/$name/$script" ] && install -m 755 "$here/$name/$script" "$pkg/DEBIAN/$script"
  done
  [ -f "$here/$name/conffiles" ] && install -m 644 "$here/$name/conffiles" "$pkg/DEBIAN/conffiles"
  (cd "$pkg" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | sort | xargs md5sum >DEBIAN/md5sums)
  chmod 644 "$pkg/DEBIAN/md5sums"
  # As dpkg-gencontrol counts: each file's size in whole KiB, 1 for anything
  # else; not du's, which counts folders as the file system stores them.
  local size
  size=$(cd "$pkg" && find . -mindepth 1 -path ./DEBIAN -prune -o -printf '%y %s\n' |
         awk '{ total += ($1 == "f") ? int(($2 + 1023) / 1024) : 1 } END { print total }')
  sed -e "s|@VERSION@|$version|g" -e "s|@ARCH@|$arch|" -e "s|@MAINTAINER@|$maintainer|" \
      -e "s|@SIZE@|$size|" -e "s|@DEPENDS@|$depends|" "$here/$name/control.in" >"$pkg/DEBIAN/control"
  find "$pkg" -type d -exec chmod 755 {} +
  find "$pkg" -exec touch -h -d "@$epoch" {} +
  rm -f "$out/${name}_${version}_$arch.deb"
  dpkg-deb --root-owner-group --threads-max=1 -Zxz -z9 --build "$pkg" "$out/${name}_${version}_$arch.deb" >/dev/null
  echo "$out/${name}_${version}_$arch.deb"
}
cd "$work"
control quorvalend debian/quorvalend/usr/bin/qvpoll debian/quorvalend/usr/bin/qvsim \
  "debian/quorvalend/usr/lib/$multiarch/quorvalend/Quorvalend.so"
control qvgateway debian/qvgateway/usr/bin/qvgateway
cd "$out"
rm -rf "$work"
