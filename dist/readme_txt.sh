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
# The text is the source tree's: say where its paths and targets are here.
printf '%s\n%s\n%s\n\n' \
  "In this release the programs the text finds under build/linux32/bin/ and" \
  "build/win32/bin/ are in this folder; the make targets and docs/ are the" \
  "source tree's, which this release does not carry."
awk -v skip="$skip" '
  BEGIN { n = split(skip, list, "\n"); for (i = 1; i <= n; i++) dropped["## " list[i]] = 1 }
  # The product paragraph: the first one after the title.
  !started && /^# / { intro = 1; next }
  intro && !started { if ($0 == "") { if (seen) { started = 1; print ""; } next } seen = 1; print; next }
  /^## / { keep = !($0 in dropped) }
  /^## / && keep { print "" }
  keep && started { print }
' "$readme" | cat -s
