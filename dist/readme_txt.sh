#!/usr/bin/env bash
# The README as plain text for the release: the product paragraph, then
# every section; the commands between them are the source tree's and stay
# out. The guides the README links to travel beside it in docs/.
# Usage: readme_txt.sh README.md VERSION > README.txt
set -euo pipefail
readme=$1 version=$2
printf 'Quorvalend %s\n\n' "$version"
# The text is the source tree's: say where its paths and targets are here.
printf '%s\n%s\n%s\n%s\n\n' \
  "In this release the programs the text finds under build/linux32/bin/ and" \
  "build/win32/bin/ are in this folder and the guides in docs/; the make" \
  "targets and the developer's guide are the source tree's, which this" \
  "release does not carry."
awk '
  # The product paragraph: the first one after the title.
  !started && /^# / { intro = 1; next }
  intro && !started { if ($0 == "") { if (seen) { started = 1; print ""; } next } seen = 1; print; next }
  /^## / { keep = 1; print "" }
  keep && started { print }
' "$readme" | cat -s
