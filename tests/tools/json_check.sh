#!/bin/sh
# tamsork's JSON read by Python's own parser: a normal run, a refused
# one, a backup run that waits for a key, an inspection, and a log report
# with escapes, a bad line and a torn one.
# Usage: json_check.sh TAMSORK PYTHON3 WORK_DIR
set -eu
sim=$1 python=$2 work=$3
mkdir -p "$work"
printf 'xx$BVDT\001\002"\\$.a1.06yy' >"$work/bios \"new\".bin"
printf 'xx$BVDT$.a1.04yy' >"$work/old.bin"
"$sim" simulate "$work/bios \"new\".bin" --json --mor 0xFF | "$python" -m json.tool >/dev/null
"$sim" simulate "$work/old.bin" --json | "$python" -m json.tool >/dev/null
"$sim" simulate "$work/old.bin" --json --keys enter | "$python" -m json.tool >/dev/null
"$sim" simulate "$work/bios \"new\".bin" -b --keys 'enter,y,comma,f1' --json | "$python" -m json.tool >/dev/null
"$sim" inspect "$work/bios \"new\".bin" --bios-version V1.07 --json | "$python" -m json.tool >/dev/null
printf 'time=unknown serial="\\x01\\xe9\\ud800" product=KVX4720 uuid="" bios=V1.05 file="a \\x22b\\x22" switches="" version="" before=@ after=G step=manual-reset outcome=Success\r\nbad\r\ntime=' >"$work/Tamsork.log"
"$sim" log "$work/Tamsork.log" --json | "$python" -m json.tool >/dev/null
