#!/usr/bin/env python3
"""make rehearse on a stick the stick maker made as a disk image, with
another program as the stick's own flash tool (only the stand-in plays a
flash): from V1.05 the rehearsal ends in "BIOS Update done!", from V1.07
the image is refused at a prompt the rehearsal answers, and it fails;
STICK keeps its bytes."""

import argparse
import os
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402
from made_stick import digest  # noqa: E402
from scenarios import DONE, HOST_COMMAND, SAID_VERSION_REFUSED, bios_image  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--efi", required=True, help="the EFI build directory")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if run.missing_tools([]):
        return run.SKIPPED
    os.makedirs(args.work, exist_ok=True)
    image, stick = os.path.join(args.work, "bios.bin"), os.path.join(args.work, "stick.img")
    with open(image, "wb") as f:
        f.write(bios_image(1, 6))
    efi = os.path.join(args.efi, "Tamsork.efi")
    subprocess.run([HOST_COMMAND, "stick", "--disk-image", stick, "--image", image, "--tool", efi, "--efi", efi, "--force"],
                   check=True, stdout=subprocess.DEVNULL)
    made = digest(stick)
    failed = []
    # The refusal waits for a key: without one the boot would hang.
    for bios, status, head, why in (("V1.05", 0, "Rehearsal ended after 4 boot(s) in ", DONE),
                                    ("V1.07", 1, "Rehearsal FAILED after 1 boot(s) in ",
                                     SAID_VERSION_REFUSED % "bios.bin")):
        result = subprocess.run([sys.executable, os.path.join(HERE, "rehearse.py"), "--images",
                                 os.path.join(args.efi, "virtual-board"), "--bios", bios,
                                 "--copy", os.path.join(args.work, "stick.rehearsal.img"), stick],
                                capture_output=True, text=True)
        lines = result.stdout.splitlines()
        ended = next((line for line in lines if line.startswith("Rehearsal ")), "")
        print(result.stdout[-3000:] + result.stderr)
        if result.returncode != status or not ended.startswith(head) or not ended.endswith(" s: " + why):
            failed.append("from %s: exit %d, %r" % (bios, result.returncode, ended))
        if digest(stick) != made:
            failed.append("from %s: STICK changed" % bios)
    print("\n".join(failed) or "both rehearsals ended as they should")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
