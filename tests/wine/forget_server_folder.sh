#!/usr/bin/env bash
# Wine keeps its server's socket folder in the temporary directory
# (wine-XXXXXX, named in the prefix's "wineserver" file) and never removes
# it. After a suite, stop the prefix's server and remove the folder and its
# record, so that nothing is left behind; the next Wine start makes a new one.
# Usage: forget_server_folder.sh PREFIX
set -u
prefix=$1
[ -f "$prefix/wineserver" ] || exit 0
name=$(cat "$prefix/wineserver")
case "$name" in wine-??????) ;; *) exit 0 ;; esac
export WINEPREFIX=$prefix
wineserver -k </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1
rm -rf "${TMPDIR:-/tmp}/${name:?}"
rm -f "$prefix/wineserver"
