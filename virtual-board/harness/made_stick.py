"""Sticks made by `tamsork stick` on the virtual board.

The stick is the FAT disk image the command writes, attached as a USB stick
with nothing added by hand: its own startup.nsh looks through FS0: to FS9:
for the mapping that holds the stick's mark file and runs the command
there. Other USB sticks on lower ports come first in the Shell's mapping,
so the stick is FS1: or FS2:; they carry no startup.nsh (the Shell runs the
first one on its path, FS0:\\ first) and no mark, but the first holds
Tamsork.efi, the flash tool and a newer image of the same name, so a script
or a start that took files by their names would go astray.

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
from scenarios import (ABORT_PROMPT, CRC_ERROR, DONE, FLASH_ENDED, HOST_COMMAND, NOT_SUMMED, SAID_CHECKSUM_REFUSED,
                       SAID_DONE, SAID_FINISH, SAID_FLASH, TOOL_FLASHED, VENDOR_LINE, bios_image, expect,
                       expect_application_reset, expect_logged, expect_no_request, expect_no_step, expect_no_tool,
                       expect_quiet_board, expect_recorded, expect_request_reset, expect_returned, expect_state,
                       expect_stick_mapped, expect_tool, flash_rows, said_begin, scenario)

# What the stick's script says when no mapping holds its mark.
NOT_FOUND_TEXT = "No stick with TAMSORK-"
# Every file the command puts on the stick, but its mark, new for each stick.
MADE_FILES = {"Tamsork.efi", "bios.bin", "bios.bin.sha256", TOOL_NAME, "startup.nsh"}
MARK = re.compile(r"TAMSORK-[0-9a-f]{12}\.MRK")

# The other sticks, in port order: (label, {name: bytes, or the Board
# attribute naming the file to copy}).
OTHER_STICKS = [
    ("OTHER1", {"Tamsork.efi": "tamsork", TOOL_NAME: "tool", "bios.bin": bios_image(1, 7),
                "notes.txt": b"an older stick's files, without startup.nsh\r\n"}),
    ("OTHER2", {"bios.bin": bios_image(1, 4), "EFI/Tools/readme.txt": b"an image without Tamsork.efi\r\n"}),
]


def make_stick(board, image, options=()):
    """The disk image `tamsork stick --disk-image` writes for `image`
    and the board's Tamsork.efi and flash tool, attached as the board's
    stick."""
    source = os.path.join(board.workdir, "bios.bin")
    with open(source, "wb") as f:
        f.write(image)
    disk = os.path.join(board.workdir, "stick.img")
    command = [HOST_COMMAND, "stick", "--disk-image", disk, "--image", source, "--tool", board.tool, "--efi",
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
        if isinstance(data, str):
            volume.put_file(getattr(board, data), name)
        else:
            volume.put(name, data)
    return volume


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# OVMF's line as it starts a boot option from the stick (xHCI port 1): the
# option it makes itself for a removable medium's EFI\BOOT\BOOTX64.EFI.
FROM_STICK = re.compile(r'BdsDxe: starting Boot[0-9A-F]{4} "[^"\n]*" from PciRoot\(0x0\)/Pci\(0x14,0x0\)/USB\(0x0,0x0\)')


def made_stick_update(board, others, shell=False, damaged=False):
    """A whole normal update from a stick made by the command alone, behind
    `others` other USB sticks; with `shell` the stick carries OVMF's own
    Shell, taken out of its firmware volume, and every boot starts it from
    the stick's EFI\BOOT\BOOTX64.EFI. With `damaged` the first boot finds
    the image changed after its version marker and is refused; the update
    goes on once the made copy is back."""
    expect(os.access(HOST_COMMAND, os.X_OK), "no tamsork at %s" % HOST_COMMAND)
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

    if damaged:
        # Still version 1.06: only the .sha256 file tells this copy apart.
        board.volume.put("bios.bin", image[:-16] + bytes(b ^ 0x5A for b in image[-16:]))
        # The status, typed at the prompt the script leaves, in the form
        # the harness's own scripts echo it.
        boot = board.boot([], own_script=True, forbid=forbid + [ABORT_PROMPT], keys=[
            (SAID_CHECKSUM_REFUSED % "bios.bin", ""), ("\\> ", "echo TAMSORK-EXIT-1=%lasterror%\r")])
        expect(boot.ended == "prompt", "the boot ended by %s, not at the prompt" % boot.ended, boot)
        said(boot, NOT_SUMMED % ("bios.bin", "bios.bin"), SAID_CHECKSUM_REFUSED % "bios.bin")
        expect_returned(boot, CRC_ERROR)
        expect_state(boot, None)
        expect_logged(boot, [("refused-checksum", "none", "none", {"outcome": "CRC Error", "version": ""})])
        expect_quiet_board(boot)
        expect_no_request(boot)
        expect_no_tool(boot)
        board.volume.put("bios.bin", image)

    boot = board.boot([], own_script=True, forbid=forbid + [ABORT_PROMPT])
    expect_stick_mapped(board, boot)

    expect_state(boot, b"1")
    expect_application_reset(boot)
    said(boot, said_begin(summed=True))
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
    marks = {name for name in names if MARK.fullmatch(name)}
    expect(names - marks == files | {"Tamsork.log"} and len(marks) == 1, "the stick holds %s" % sorted(names))
    for boot in board.boots[1:]:
        expect(bool(FROM_STICK.search(boot.console)) == shell, "the firmware %s the stick's boot loader"
               % ("did not start" if shell else "started"), boot)
    changed = [path for path, sha in untouched.items() if digest(path) != sha]
    expect(not changed, "the other sticks changed: %s" % ", ".join(changed))


@scenario("made-stick", boots=6)
def made_stick(board):
    """A stick made only by tamsork stick, as FS0:, refuses a damaged image, then runs a whole normal update."""
    made_stick_update(board, 0, damaged=True)


@scenario("made-stick-fs1", boots=5)
def made_stick_fs1(board):
    """A stick made by tamsork stick behind one with the same file names, as FS1:, flashes its own image."""
    made_stick_update(board, 1)


@scenario("made-stick-fs2", boots=5)
def made_stick_fs2(board):
    """A stick made by tamsork stick behind two other USB sticks, as FS2:, runs a whole update; they stay as they were."""
    made_stick_update(board, 2)


@scenario("made-stick-shell", boots=5)
def made_stick_shell(board):
    """A stick made by tamsork stick --shell boots its own Shell from EFI\\BOOT\\BOOTX64.EFI and runs a whole update."""
    made_stick_update(board, 0, shell=True)
