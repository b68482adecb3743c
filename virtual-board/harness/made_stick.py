"""Sticks made by `tamsork-sim stick` on the virtual board.

The stick is the FAT disk image the command writes, attached as a USB stick
with nothing added by hand: its own startup.nsh looks through FS0: to FS9:
for the mapping that holds Tamsork.efi and the image and runs the command
there. Other USB sticks on lower ports come first in the Shell's mapping,
so the stick is FS1: or FS2:; they carry no startup.nsh (the Shell runs the
first one on its path, FS0:\\ first), but one holds a Tamsork.efi and one an
image, so a script that looked for only one of the two would go astray.

The board's vendor control driver is board firmware, not part of the
stick: a setup boot from the board's internal disk makes a Driver####
option for it (Board.install_driver). The harness's markers are not on the
console, so each boot is judged by its console text, State.dat,
Tamsork.log, the ports and records, and how it ended: at a reset, or back
at the Shell's prompt once the script is over.
"""

import hashlib
import os
import re
import subprocess

import shell_extract
from board import OVMF_CODE, TOOL_NAME, Volume
from scenarios import (ABORT_PROMPT, DONE, FLASH_ENDED, SAID_BEGIN, SAID_DONE, SAID_FINISH, SAID_FLASH, SIM,
                       TOOL_FLASHED, VENDOR_LINE, bios_image, expect, expect_application_reset, expect_logged,
                       expect_no_step, expect_quiet_board, expect_recorded, expect_request_reset, expect_state,
                       expect_stick_mapped, expect_tool, flash_rows, scenario)

# What the stick's script says when no mapping holds both files.
NOT_FOUND_TEXT = "No stick with Tamsork.efi and"
# Every file the command puts on the stick.
MADE_FILES = {"Tamsork.efi", "bios.bin", TOOL_NAME, "startup.nsh"}

# The other sticks, in port order: (label, {name: bytes}).
OTHER_STICKS = [
    ("OTHER1", {"Tamsork.efi": None, "notes.txt": b"an older stick's copy, without its image\r\n"}),
    ("OTHER2", {"bios.bin": bios_image(1, 4), "EFI/Tools/readme.txt": b"an image without Tamsork.efi\r\n"}),
]


def make_stick(board, image, options=()):
    """The disk image `tamsork-sim stick --disk-image` writes for `image`
    and the board's Tamsork.efi and flash tool, attached as the board's
    stick."""
    source = os.path.join(board.workdir, "bios.bin")
    with open(source, "wb") as f:
        f.write(image)
    disk = os.path.join(board.workdir, "stick.img")
    command = [SIM, "stick", "--disk-image", disk, "--image", source, "--tool", board.tool, "--efi",
               board.tamsork] + list(options)
    result = subprocess.run(command, capture_output=True, text=True)
    expect(result.returncode == 0, "%s exited %d: %s" % (" ".join(command), result.returncode,
                                                           result.stderr.strip()))
    board.volume = Volume.attach(disk)
    return result.stdout


def other_stick(board, number, label, files):
    volume = Volume(os.path.join(board.workdir, "other-stick-%d.img" % number), size_kib=2048, label=label)
    for name, data in files.items():
        if "/" in name:
            volume.makedirs(name.rsplit("/", 1)[0])
        if data is None:
            volume.put_file(board.tamsork, name)
        else:
            volume.put(name, data)
    return volume


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# OVMF's line as it starts a boot option from the stick (xHCI port 1): the
# option it makes itself for a removable medium's EFI\BOOT\BOOTX64.EFI.
FROM_STICK = re.compile(r'BdsDxe: starting Boot[0-9A-F]{4} "[^"\n]*" from PciRoot\(0x0\)/Pci\(0x14,0x0\)/USB\(0x0,0x0\)')


def made_stick_update(board, others, shell=False):
    """A whole normal update from a stick made by the command alone, behind
    `others` other USB sticks; with `shell` the stick carries OVMF's own
    Shell, taken out of its firmware volume, and every boot starts it from
    the stick's EFI\BOOT\BOOTX64.EFI."""
    expect(os.access(SIM, os.X_OK), "no tamsork-sim at %s" % SIM)
    board.install_driver()
    image = bios_image(1, 6)
    options = []
    if shell:
        path = os.path.join(board.workdir, "Shell.efi")
        with open(path, "wb") as f:
            f.write(shell_extract.extract_shell(OVMF_CODE))
        options = ["--shell", path]
        board.stick_first = True
    make_stick(board, image, options)
    files = MADE_FILES | ({"EFI"} if shell else set())
    board.other_sticks = [other_stick(board, number, label, files)
                          for number, (label, files) in enumerate(OTHER_STICKS[:others], start=1)]
    untouched = {volume.path: digest(volume.path) for volume in board.other_sticks}
    here = "FS%d:" % others
    forbid = [NOT_FOUND_TEXT]

    def said(boot, *lines):
        for line in lines:
            expect(line in boot.console.split("\n"), "the console shows no line %r" % line, boot)

    boot = board.boot([], own_script=True, forbid=forbid + [ABORT_PROMPT])
    expect_stick_mapped(board, boot)

    expect_state(boot, b"1")
    expect_application_reset(boot)
    said(boot, SAID_BEGIN)
    expect_logged(boot, [("begin", "none", "1", {"version": "1.06"})])
    record = expect_recorded(boot, board, image)

    boot = board.boot([], own_script=True, forbid=forbid)
    expect(boot.ended == "prompt", "the boot ended by %s, not at the prompt" % boot.ended, boot)
    expect_state(boot, b"2", record)
    expect_tool(boot, "bios.bin", "1.06")
    # Started from the stick's root by the stick's own script, as the
    # Shell's instances above the tool show.
    ran = (boot.tool_field("CWD"), boot.tool_field("ARGV 0"), boot.tool_field("INSTANCE 0 argv 0"))
    expect(ran == ([here], [here + "\\" + TOOL_NAME], [here + "\\startup.nsh"]),
           "the tool ran (in, as, under) %r, expected from %s\\ under its startup.nsh" % (ran, here), boot)
    said(boot, SAID_FLASH % "bios.bin", TOOL_FLASHED % ("bios.bin", "1.06"), FLASH_ENDED)
    expect_logged(boot, flash_rows("1", "2"))
    expect_quiet_board(boot)

    boot = board.boot([], own_script=True, forbid=forbid)
    expect_state(boot, b"3", record)
    expect_request_reset(boot)
    said(boot, SAID_FINISH, VENDOR_LINE)
    expect_logged(boot, [("finish", "2", "3")])

    # The reset after the last step does not come: the Shell's prompt stays.
    boot = board.boot([], own_script=True, forbid=forbid)
    expect(boot.ended == "prompt", "the boot ended by %s, not at the prompt" % boot.ended, boot)
    expect_state(boot, None)
    said(boot, SAID_DONE % "bios.bin", DONE)
    expect_logged(boot, [("done", "3", "none", {"version": "1.06"})])
    expect_no_step(boot)

    names = set(board.volume.names())
    expect(names == files | {"Tamsork.log"}, "the stick holds %s" % sorted(names))
    for boot in board.boots[1:]:
        expect(bool(FROM_STICK.search(boot.console)) == shell, "the firmware %s the stick's boot loader"
               % ("did not start" if shell else "started"), boot)
    changed = [path for path, sha in untouched.items() if digest(path) != sha]
    expect(not changed, "the other sticks changed: %s" % ", ".join(changed))


@scenario("made-stick", boots=5)
def made_stick(board):
    """A stick made only by tamsork-sim stick, as FS0:, runs a whole normal update; the board's driver is firmware."""
    made_stick_update(board, 0)


@scenario("made-stick-fs1", boots=5)
def made_stick_fs1(board):
    """A stick made by tamsork-sim stick behind another USB stick, as FS1:, runs a whole normal update."""
    made_stick_update(board, 1)


@scenario("made-stick-fs2", boots=5)
def made_stick_fs2(board):
    """A stick made by tamsork-sim stick behind two other USB sticks, as FS2:, runs a whole update; they stay as they were."""
    made_stick_update(board, 2)


@scenario("made-stick-shell", boots=5)
def made_stick_shell(board):
    """A stick made by tamsork-sim stick --shell boots its own Shell from EFI\\BOOT\\BOOTX64.EFI and runs a whole update."""
    made_stick_update(board, 0, shell=True)
