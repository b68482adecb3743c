#!/usr/bin/env bash
# The README's list of the packages scripts/bootstrap installs is the
# script's own list, word for word.
set -euo pipefail
cd "$1"
words() { tr -s ' \n' '\n\n' | sed '/^$/d'; }
script=$(sed -n '/^packages=(/,/^)/p' scripts/bootstrap | sed '1d;$d' | words)
# The block that follows "are all there:" in the README's opening.
readme=$(awk '/are all there:/ { found = 1; next } found && /^```/ { if (inside) exit; inside = 1; next } inside' README.md | words)
if [ -z "$script" ] || [ "$script" != "$readme" ]; then
  diff <(echo "$script") <(echo "$readme") || true
  echo "README's package list differs from scripts/bootstrap" >&2
  exit 1
fi
