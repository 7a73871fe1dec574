#!/usr/bin/env bash
# The integrator's part of README.md, as plain text for the release: the
# product paragraph, then every section but those about building and
# measuring the driver. A section listed below that the README no longer has
# stops the release, so that a renamed section cannot slip in unnoticed.
# Usage: readme_txt.sh README.md VERSION > README.txt
set -euo pipefail
readme=$1 version=$2
developer_sections=(
  "Commands"
  "Performance"
  "Robustness"
  "What each target produces"
  "Layout"
)
for title in "${developer_sections[@]}"; do
  grep -qxF "## $title" "$readme" || { echo "readme_txt.sh: README.md has no section '## $title'" >&2; exit 1; }
done
skip=$(printf '%s\n' "${developer_sections[@]}")
printf 'Quorvalend %s\n\n' "$version"
awk -v skip="$skip" '
  BEGIN { n = split(skip, list, "\n"); for (i = 1; i <= n; i++) dropped["## " list[i]] = 1 }
  # The product paragraph: the first one after the title.
  !started && /^# / { intro = 1; next }
  intro && !started { if ($0 == "") { if (seen) { started = 1; print ""; } next } seen = 1; print; next }
  /^## / { keep = !($0 in dropped) }
  /^## / && keep { print "" }
  keep && started { print }
' "$readme" | cat -s
