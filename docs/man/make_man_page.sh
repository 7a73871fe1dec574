#!/usr/bin/env bash
# One man page from its scdoc source. The page's date is the source's last
# commit (SOURCE_DATE_EPOCH when set), not the build's, so that the same
# sources always give the same page.
# Usage: make_man_page.sh SOURCE.scd OUTPUT
set -euo pipefail
src=$1 out=$2
dir=$(dirname "$src")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$dir" log -1 --format=%ct -- "$(basename "$src")" 2>/dev/null || true)}
# A source not committed yet: the last commit; outside a checkout, one fixed
# day, as the release archives do.
[ -n "$epoch" ] || epoch=$(git -C "$dir" log -1 --format=%ct 2>/dev/null || echo 1767225600)
SOURCE_DATE_EPOCH=$epoch scdoc <"$src" >"$out.new"
mv "$out.new" "$out"
