#!/usr/bin/env python3
"""Rehearses a made stick on the virtual board before it goes to a machine.

    rehearse.py --images build/efi/virtual-board [--bios V1.05] [--copy FILE] STICK

STICK is a disk image made by the stick maker (`stick --disk-image`). The
rehearsal never writes it: it copies STICK (to build/rehearse/<name>.rehearsal.img
unless --copy names another file), puts the board's flash tool stand-in on
the copy in place of the stick's own tool, and boots the copy as a USB
stick on the board, boot after boot, from the BIOS version given. The
stand-in reads the image and the board then runs the image's version, as a
flashed machine would. Each boot's screen is printed, then the copy's
Tamsork.log.

The board's vendor control driver is added first, on a setup boot from the
board's internal disk, as the board's firmware would carry it. Prompts that
wait for a key get the key a technician would press: any key to abort or
reset, N to leave an updated machine as it is, Y to flash in backup mode.

Exit status: 0 when the last boot showed "BIOS Update done!", 1 when the
rehearsal ended otherwise (a refusal, a hang, a failed update or too many
boots), 2 for a STICK or copy that cannot be used, 77 when the machine
lacks QEMU, OVMF or mtools (scripts/bootstrap installs them).
"""

import argparse
import os
import re
import shutil
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import run  # noqa: E402
from board import LOG_NAME, TOOL_NAME, Board, BoardError, Volume, state_text  # noqa: E402
from made_stick import digest  # noqa: E402
from scenarios import ABORT_PROMPT, DONE, FLASH_AGAIN_PROMPT, FLASH_PROMPT, RESET_PROMPT, image_version  # noqa: E402

BUILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
# The key each prompt gets: what a technician presses to go on with an
# update, or to leave a machine that has one as it is.
ANSWERS = [(ABORT_PROMPT, "x"), (RESET_PROMPT, "x"), (FLASH_PROMPT, "Y"), (FLASH_AGAIN_PROMPT, "n")]
# The stick's script runs Tamsork.efi with the image's name and the options.
LAUNCH = re.compile(r"(?im)^[ \t]*Tamsork\.efi[ \t]+(\S+)([^\r\n]*)")
OWN_SHELL = "EFI/BOOT/BOOTX64.EFI"


class RehearsalError(Exception):
    """A STICK or copy the rehearsal cannot use."""


def default_copy(stick):
    name = os.path.splitext(os.path.basename(stick))[0]
    return os.path.join(os.path.normpath(BUILD), "rehearse", name + ".rehearsal.img")


def make_copy(stick, copy, tool):
    """Copies STICK to `copy` and puts the stand-in `tool` on the copy in
    place of the stick's flash tool; returns the copy's volume and the
    stick's Tamsork.efi."""
    if not os.path.isfile(stick):
        raise RehearsalError("STICK %s: no such file" % stick)
    if os.path.realpath(copy) == os.path.realpath(stick) or (os.path.exists(copy) and os.path.samefile(copy, stick)):
        raise RehearsalError("the copy %s is STICK itself; name another file" % copy)
    if "@@" in os.path.abspath(copy):
        raise RehearsalError("the copy %s: a path holding @@ cannot be handed to mtools" % copy)
    os.makedirs(os.path.dirname(os.path.abspath(copy)), exist_ok=True)
    shutil.copyfile(stick, copy)
    volume = Volume.attach(copy)
    try:
        names = volume.names()
    except BoardError as error:
        raise RehearsalError("STICK %s holds no FAT volume mtools can read: %s" % (stick, error))
    for wanted in ("startup.nsh", "Tamsork.efi", TOOL_NAME):
        if wanted.lower() not in [name.lower() for name in names]:
            raise RehearsalError("STICK %s holds no %s in its root: not a stick the stick maker made" % (stick, wanted))
    volume.put_file(tool, TOOL_NAME)
    return volume, volume.get("Tamsork.efi")


def describe_stick(volume):
    """What the stick's script runs, and the image's version, as lines."""
    script = (volume.get("startup.nsh") or b"").decode("latin-1")
    launch = LAUNCH.search(script)
    if launch is None:
        return ["its startup.nsh starts no Tamsork.efi"]
    name, options = launch.group(1), launch.group(2).strip()
    image = volume.get(name)
    if image is None:
        known = "no %s on the stick" % name
    else:
        try:
            version = image_version(image)
        except AttributeError:
            version = "(no version marker)"
        known = "its image %s: %d bytes, BIOS version %s, %s" % (
            name, len(image), version,
            "with its .sha256 file" if volume.get(name + ".sha256") is not None else "no .sha256 file")
    return ["its startup.nsh runs: Tamsork.efi %s%s" % (name, " " + options if options else ""), known]


def outcome(boot):
    """The rehearsal's end after `boot`: None to boot again, else (done, why)."""
    lines = boot.console.split("\n")
    done = next((line for line in lines if line.startswith(DONE)), None)
    if done is not None:
        return True, done
    # Tamsork's own line on what the start did, when it printed one.
    said = [line for line in lines if line.startswith("Tamsork: ")]
    if boot.state_after is None:
        return False, said[-1] if said else "no update under way: State.dat is gone or was never written"
    if boot.state_after == boot.state_before:
        return False, "State.dat stayed %s, so the next boot would do the same%s" % (
            state_text(boot.state_after), ": " + said[-1] if said else "")
    return None


def rehearse(args, out=sys.stdout):
    copy = args.copy or default_copy(args.stick)
    before = digest(args.stick)
    started = time.monotonic()
    work = os.path.splitext(os.path.abspath(copy))[0] + ".boots"
    vendor = os.path.join(args.images, "VendorControl.efi")
    tool = os.path.join(args.images, TOOL_NAME)
    for path in (vendor, tool):
        if not os.path.isfile(path):
            raise RehearsalError("missing %s (run `make efi`)" % path)
    volume, own_efi = make_copy(args.stick, copy, tool)
    print("Rehearsing %s (sha256 %s)" % (args.stick, before), file=out)
    print("  on its copy %s, with the board's flash tool stand-in in place of the stick's %s"
          % (copy, TOOL_NAME), file=out)
    for line in describe_stick(volume):
        print("  " + line, file=out)
    print("  the board starts at BIOS %s; each boot's files are in %s" % (args.bios, work), file=out)
    out.flush()

    with tempfile.TemporaryDirectory() as temp:
        # The board's own volume is not booted: the copy takes its place.
        efi = os.path.join(temp, "Tamsork.efi")
        with open(efi, "wb") as f:
            f.write(own_efi)
        board = Board(work, efi, vendor, tool, boot_timeout=args.boot_timeout)
    board.bios_version = args.bios
    setup = board.install_driver()
    print("Setup boot: the board's vendor control driver added with bcfg (%.1f s)" % setup.elapsed, file=out)
    board.volume = volume
    # A stick that carries its own Shell boots it: the technician puts the
    # stick first in the machine's boot order.
    board.stick_first = volume.get(OWN_SHELL) is not None
    if board.stick_first:
        print("The stick boots its own Shell (\\%s): the board starts it first" % OWN_SHELL.replace("/", "\\"),
              file=out)

    def boots():
        return len(board.boots) - 1  # the setup boot is the board's, not the stick's

    # Called at the end of each boot, before the board judges it.
    board.log = lambda boot: (run.transcript(boot, out, number=boots()), out.flush())
    result = None
    while result is None:
        if boots() == args.boots:
            result = (False, "no end after %d boots" % args.boots)
            break
        try:
            boot = board.boot([], own_script=True, answers=ANSWERS)
        except BoardError as error:
            why = str(error).split(". Console:")[0]
            result = (False, re.sub(r"^boot \d+: ", "boot %d: " % boots(), why))
            break
        result = outcome(boot)

    print("=" * 78, file=out)
    log = volume.get(LOG_NAME)
    print("%s on the copy:" % LOG_NAME, file=out)
    for line in (log or b"(no file)").decode("latin-1").splitlines():
        print("  " + line, file=out)
    done, why = result
    unchanged = digest(args.stick) == before
    print("Rehearsal %s after %d boot(s) in %.0f s: %s" % ("ended" if done else "FAILED", boots(),
                                                          time.monotonic() - started, why), file=out)
    print("  the board runs BIOS %s now; STICK %s" % (board.bios_version, "unchanged" if unchanged else
                                                      "CHANGED during the rehearsal"), file=out)
    return 0 if done and unchanged else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("stick", metavar="STICK", help="the disk image the stick maker made")
    parser.add_argument("--images", required=True, help="directory with VendorControl.efi and " + TOOL_NAME)
    parser.add_argument("--bios", default="V1.05", help="the BIOS version the board starts at (default V1.05)")
    parser.add_argument("--copy", help="the copy to boot (default build/rehearse/<name>.rehearsal.img)")
    parser.add_argument("--boots", type=int, default=8, help="boots at most (default 8)")
    parser.add_argument("--boot-timeout", type=float, default=60.0, help="seconds before a boot counts as hung")
    args = parser.parse_args(argv)
    if "," in args.bios or not args.bios:
        parser.error("--bios %r: a version such as V1.05, without commas" % args.bios)
    missing = run.missing_tools([])
    if missing:
        print("virtual board unavailable, missing: %s (run scripts/bootstrap)" % ", ".join(missing))
        return run.SKIPPED
    try:
        return rehearse(args)
    except RehearsalError as error:
        print("rehearse: %s" % error, file=sys.stderr)
        return 2
    except BoardError as error:
        # The board's setup boot, or mtools on the copy.
        print("rehearse: the virtual board failed: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
