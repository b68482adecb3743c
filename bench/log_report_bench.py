#!/usr/bin/env python3
"""The log report's time and memory next to grep's, in one run.

A fleet's record: 100,000 lines of 25,000 machines, four starts each (the
machines' lines interleaved, as when sticks go round a row), and a damaged
file of 64 MiB of empty lines. Each is read by `log` and `log --json`, and
the first also by `grep -c step=done`; the time is the best of three runs,
the memory the largest resident size of the command's process.

Targets: the report within 20 times grep's time, grep's taken as at least
0.05 s (shorter is noise here), and within 64 MB; the damaged file well
under 1 GiB. Usage: log_report_bench.py COMMAND WORK_DIR
"""
import os
import resource
import subprocess
import sys
import time

STEPS = [("none", "1", "begin", "V1.05", "1.06"), ("1", "2", "flash", "V1.05", ""),
         ("2", "3", "finish", "V1.06", ""), ("3", "none", "done", "V1.06", "1.06")]
MACHINES = 25000
GREP_FLOOR = 0.05


def fleet_log(path):
    with open(path, "wb") as out:
        for group in range(0, MACHINES, 50):
            for step, (before, after, word, bios, version) in enumerate(STEPS):
                for machine in range(group, group + 50):
                    out.write(("time=2026-12-%02dT%02d:%02d:%02d serial=SN%06d product=KVX4720 "
                               "uuid=%08x-1514-1716-1819-1a1b1c1d1e1f bios=%s file=bios.bin switches=\"\" "
                               "version=%s before=%s after=%s step=%s outcome=Success\r\n" %
                               (1 + step, machine % 24, machine % 60, step, machine, machine, bios,
                                version or "\"\"", before, after, word)).encode())


def empty_lines(path):
    with open(path, "wb") as out:
        for _ in range(64):
            out.write(b"\r\n" * (512 << 10))


def measure(command):
    """Best wall time of three runs and the largest resident size (bytes).
    A child's size starts from this process's, so it is an upper bound."""
    best, peak = None, 0
    for _ in range(3):
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        if code not in (0, 2):
            sys.exit("%s exited %d" % (" ".join(command), code))
        best = elapsed if best is None else min(best, elapsed)
        peak = max(peak, usage.ru_maxrss * 1024)
    return best, peak


def main():
    command, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    fleet, damaged = os.path.join(work, "fleet.log"), os.path.join(work, "empty-lines.log")
    fleet_log(fleet)
    empty_lines(damaged)
    grep, _ = measure(["grep", "-c", "step=done", fleet])
    floor = max(grep, GREP_FLOOR)
    print("fleet log: %d lines, %.1f MB" % (MACHINES * len(STEPS), os.path.getsize(fleet) / 1e6))
    print("%-34s %9s %9s %9s" % ("", "time", "x grep", "memory"))
    print("%-34s %8.3fs %9s %9s" % ("grep -c step=done", grep, "", ""))
    failed = []
    for name, args, path, limit in [("log", [], fleet, 64e6), ("log --json", ["--json"], fleet, 64e6),
                                    ("log, 64 MiB of empty lines", [], damaged, 1 << 30)]:
        seconds, memory = measure([command, "log", path] + args)
        ratio = seconds / floor
        print("%-34s %8.3fs %8.1fx %7.1f MB" % (name, seconds, ratio, memory / 1e6))
        if path == fleet and ratio > 20:
            failed.append("%s takes %.1f times grep's time" % (name, ratio))
        if memory > limit:
            failed.append("%s takes %.1f MB" % (name, memory / 1e6))
    for line in failed:
        print("over the target: " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
