#!/usr/bin/env bash
# Every option tamsork's --help lists is in the man page source: the
# top-level ones under DESCRIPTION, each subcommand's under its own section
# (STICK, LOG, ...), set in bold as *--option*.
#
#   man_page_test.sh TAMSORK MAN_SOURCE
set -uo pipefail
program=$1 page=$2
options() { "$program" "$@" --help | awk '/^Options:/ { on = 1; next } /^[^ ]/ { on = 0 }
  on && match($0, /^  (-[A-Za-z],)?--?[A-Za-z][A-Za-z-]*/) { o = substr($0, 3, RLENGTH - 2); sub(/^-[A-Za-z],/, "", o); print o }'; }
section() { awk -v h="# $1" '$0 == h { on = 1; next } /^# / { on = 0 } on' "$page"; }
status=0
commands=$("$program" --help | awk '/^Subcommands:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF { print $1 }')
[ -n "$commands" ] || { echo "FAIL: $program --help lists no subcommands"; exit 1; }
for command in "" $commands; do
  heading=$(echo "${command:-description}" | tr a-z A-Z)
  text=$(section "$heading")
  [ -n "$text" ] || { echo "FAIL: no section # $heading"; status=1; continue; }
  for option in $(options $command); do
    [ "$option" = --help ] && continue
    grep -qF -- "*$option*" <<<"$text" || { echo "FAIL: ${command:-tamsork} $option is not under # $heading"; status=1; }
  done
done
exit $status
