"""U-Boot's UEFI on the virtual board: a second firmware, with its own boot
services, device paths, FAT driver and variable store.

Debian's u-boot-qemu build for x86-64 is QEMU's -bios. U-Boot looks for
file systems only in partitions, so the stick (and the other volume) is a
disk with an MBR and one FAT partition at 1 MiB. U-Boot has no Shell of its
own: the stick carries OVMF's (shell_extract.py) as EFI\\BOOT\\BOOTX64.EFI,
which U-Boot's distro boot starts, and the Shell then runs startup.nsh as
on OVMF.

U-Boot hands its bootargs variable to the image it starts as the image's
load options, and the Shell reads those as its command line. The default
is a Linux command line ("root=/dev/sdb3 init=/sbin/init ..."), which makes
the Shell try to run "init=/sbin/init" instead of startup.nsh. Distro boot
runs a boot.scr from the partition before it looks for BOOTX64.EFI; the
stick's boot.scr (made with U-Boot's mkimage) sets bootargs to the Shell's
own options and starts the Shell the way distro boot would.

U-Boot installs no PI SMBIOS protocol (its SMBIOS is only a configuration
table), so Tamsork's version check cannot read the running BIOS version
there: without -d the start stops at "Check Device Version".
"""

import os
import shutil

import shell_extract
from board import FAULT_TEXTS, OVMF_CODE, run_command
from scenarios import (ABORT_PROMPT, DEVICE_ERROR, NO_BIOS_VERSION, NOT_FOUND, NOT_WRITTEN, SAID_NOT_WRITTEN,
                       SAID_TOOL_NOT_STARTED, SAID_VERSION_REFUSED, backup_mode, bios_image, expect_lines,
                       expect_no_request, expect_no_tool, expect_quiet_board, expect_returned, expect_stick_unchanged,
                       image_names, normal_update, other_directory, scenario, state_not_written)

U_BOOT_ROM = "/usr/lib/u-boot/qemu-x86_64/u-boot.rom"
MKIMAGE = "mkimage"

# What the Shell gets as its command line: no countdown before startup.nsh.
SHELL_OPTIONS = "-delay 0"

# The boot script's text: U-Boot's own command for a removable medium's
# BOOTX64.EFI (it loads the file from the partition distro boot is
# scanning), after bootargs is set.
BOOT_SCRIPT = ('# Starts the UEFI Shell with its own options, not a Linux command line.\n'
               'setenv bootargs "%s"\n'
               'run boot_efi_binary\n' % SHELL_OPTIONS)

# U-Boot's lines when the boot script or the Shell could not be started:
# the boot then goes no further.
BOOT_FAILED = ("SCRIPT FAILED", "EFI LOAD FAILED", "## Application failed")

# What U-Boot's ResetSystem prints before it resets the machine.
RESET_LINE = "resetting ..."

# What the version check prints when it finds no BIOS version to compare.
DEVICE_VERSION_UNKNOWN = "Check Device Version"


def missing():
    """What the machine lacks for U-Boot scenarios."""
    return ([path for path in (U_BOOT_ROM, OVMF_CODE) if not os.path.isfile(path)] +
            ([MKIMAGE] if shutil.which(MKIMAGE) is None else []))


def make_boot_script(directory):
    """boot.scr, as mkimage makes a U-Boot script image; returns its path."""
    source = os.path.join(directory, "boot.cmd")
    image = os.path.join(directory, "boot.scr")
    with open(source, "w") as f:
        f.write(BOOT_SCRIPT)
    run_command([MKIMAGE, "-A", "x86", "-O", "linux", "-T", "script", "-C", "none", "-n", "Tamsork virtual board",
                 "-d", source, image])
    return image


def take_over(board):
    """Turns a fresh board into one that boots U-Boot: partitioned volumes
    holding the same files, the Shell as the stick's boot loader and the
    boot script that starts it."""
    board.bios = U_BOOT_ROM
    # Without QEMU's default devices: the q35 machine's empty CD-ROM drive
    # on the SATA controller makes U-Boot's disk scan wait for a command
    # timeout, 4-10 s of every boot.
    board.machine = board.machine + ["-nodefaults"]
    board.fault_texts = tuple(FAULT_TEXTS) + BOOT_FAILED
    board.reset_line = RESET_LINE
    board.smbios_protocol = False
    # U-Boot's build for QEMU has USB drivers for EHCI only, no xHCI: its
    # stick stays a disk on the SATA controller (a virtio disk when
    # write-protected).
    board.stick_bus = "sata"
    board.make_volumes(partitioned=True)
    shell = os.path.join(board.workdir, "Shell.efi")
    with open(shell, "wb") as f:
        f.write(shell_extract.extract_shell(OVMF_CODE))
    board.volume.mkdir("EFI")
    board.volume.mkdir("EFI/BOOT")
    board.volume.put_file(shell, "EFI/BOOT/BOOTX64.EFI")
    board.volume.put_file(make_boot_script(board.workdir), "boot.scr")


# ---------------------------------------------------------------- scenarios
# On U-Boot every start that runs the version check needs -d.
SKIP_CHECK = " -d"


@scenario("u-boot-version-unknown", boots=1, labels=["u-boot"])
def version_unknown(board):
    """On U-Boot, a start without -d stops at "Check Device Version" and changes nothing."""
    take_over(board)
    board.volume.put("bios.bin", bios_image(1, 6))
    boot = board.boot(["Tamsork.efi bios.bin"], keys=[(ABORT_PROMPT, "x")], watch_stick=True)
    expect_lines(boot, 1, [DEVICE_VERSION_UNKNOWN, ABORT_PROMPT, SAID_VERSION_REFUSED % "bios.bin"])
    expect_returned(boot, NOT_FOUND)
    expect_stick_unchanged(boot, [("refused-version", "none", "none", {"version": "1.06", "outcome": "Not Found"})])
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)


@scenario("u-boot-update", boots=4, labels=["u-boot"])
def update(board):
    """On U-Boot, a whole normal update with -d, no machine recorded, done without a version check."""
    take_over(board)
    # U-Boot's FAT driver ends a file where a write into it ends: the byte
    # written alone at '2' cuts the record off.
    normal_update(board, launch="Tamsork.efi bios.bin" + SKIP_CHECK, done=NO_BIOS_VERSION)


@scenario("u-boot-backup-mode", boots=5, labels=["u-boot"])
def backup(board):
    """On U-Boot, backup mode with -d: '@', the manual reset, the 'G' prompt."""
    take_over(board)
    backup_mode(board, options=SKIP_CHECK)


@scenario("u-boot-other-directory", boots=3, labels=["u-boot"])
def elsewhere(board):
    """On U-Boot, starts from another volume, a folder or a nested Shell's folder are refused, a root start goes on."""
    take_over(board)
    other_directory(board, options=SKIP_CHECK)


@scenario("u-boot-image-names", boots=2, labels=["u-boot"])
def names(board):
    """On U-Boot, long and odd image names reach the flash tool as its one argument."""
    take_over(board)
    image_names(board, options=SKIP_CHECK)


# A write-protected stick as state_not_written's rows. U-Boot's FAT driver
# prints its own errors first, and U-Boot reports the failed create as Not
# Found and the failed write as Device Error, where OVMF reports Write
# Protected. U-Boot finds the stick read-only only when it writes, so the
# start has read State.dat and says so; its try at Tamsork.log makes U-Boot
# print its error once more, and logs nothing.
WRITE_PROTECTED_STICK = [
    ("no State.dat on a write-protected stick", None, True, "Tamsork.efi bios.bin" + SKIP_CHECK,
     ["Error: writing directory entry", NOT_WRITTEN % "Not Found", SAID_NOT_WRITTEN, "Error: writing directory entry"],
     NOT_FOUND, []),
    ("the flash tool not started on a write-protected stick", b"1", True, "Tamsork.efi bios.bin" + SKIP_CHECK,
     ["Error get-and-setting cluster", "Error: writing contents", "** Unable to write file /State.dat **",
      NOT_WRITTEN % "Device Error", SAID_TOOL_NOT_STARTED, "Error: writing directory entry"], DEVICE_ERROR, []),
]


@scenario("u-boot-write-protected", boots=2, labels=["u-boot"])
def write_protected(board):
    """On U-Boot, a write-protected stick stops the launch at the State.dat line, nothing changed."""
    take_over(board)
    state_not_written(board, rows=WRITE_PROTECTED_STICK)
