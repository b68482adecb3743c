#!/usr/bin/env python3
"""scripts/check-docs: what counts as a sample printing what it shows, and anchors."""
import sys
from importlib.machinery import SourceFileLoader

check = SourceFileLoader("check_docs", sys.argv[1]).load_module()
DIGEST, OTHER = "ab" * 32, "cd" * 32

CASES = [  # shown, printed, whether they match
    (["a", "b"], ["a", "b"], True),
    (["a", "b"], ["a", "c"], False),
    (["a"], ["a", "b"], False),                      # a line more printed than shown
    (["a", "b"], ["a"], False),
    (["...", "c"], ["a", "b", "c"], True),
    (["a", "...", "d", "..."], ["a", "b", "d", "e"], True),
    (["...", "d"], ["a", "b", "c"], False),
    ([f"x {DIGEST}  12 bytes"], [f"x {OTHER}  40448 bytes"], True),
    (["image bios.bin: 12 bytes"], ["image bios.bin: 40448 bytes"], False),  # no digest: sizes count
    (["TAMSORK-0123456789ab.MRK"], ["TAMSORK-ba9876543210.MRK"], True),
]
failed = [case for case in CASES if check.matches(case[0], case[1]) != case[2]]
SLUGS = [("What `BIOS Update done!` proves", "what-bios-update-done-proves"),
         ("The report: `tamsork log`", "the-report-tamsork-log"),
         ("Sticks made by `tamsork stick`", "sticks-made-by-tamsork-stick")]
failed += [case for case in SLUGS if check.slug(case[0]) != case[1]]
for case in failed:
    print("wrong:", case)
sys.exit(1 if failed else 0)
