"""Enforced Secure Boot on the virtual board.

The board runs OVMF's Secure Boot build (OVMF_CODE_4M.secboot.fd, which
needs QEMU's SMM) with a copy of Debian's snakeoil variable store, whose PK,
KEK and db hold Debian's published test certificate. Each boot checks with
the Shell's dmpstore that the firmware enforces (SecureBoot 1, SetupMode 0).
Every image the board starts is signed with the snakeoil key by
scripts/sign-efi, the script behind `make sign`, so the signed Tamsork.efi
under test is what `make sign` gives with that key.

THE SHELL ON THIS BOARD IS A TEST RIG FOR TAMSORK, NOT A SHELL ANYONE SHOULD
BOOT. OVMF's built-in Shell will not start under Secure Boot, so the stick
carries one as EFI\\BOOT\\BOOTX64.EFI: the same Shell taken out of the
ordinary OVMF_CODE_4M.fd (shell_extract.py). Debian's build of that Shell
also turns itself off when the SecureBoot variable is 1 (Debian's fix for a
security advisory). It reads that variable once, by name, and carries on
normally when the read fails; the rig renames that one UCS-2 name in the
image, same length, so the read finds nothing, and only then signs the
Shell with the test key. A Shell changed like that has lost the protection
Debian added: it exists only in the build tree, signed only with a key
whose private half Debian publishes, and only firmware that trusts that key
runs it.
"""

import os
import re
import shutil
import struct
import subprocess

import shell_extract
from board import OVMF_CODE, run_command
from scenarios import (ACCESS_DENIED, DONE, NOT_FOUND, USAGE, bios_image, expect, expect_lines, expect_no_request,
                       expect_no_tool, expect_quiet_board, expect_returned, expect_stick_unchanged, normal_update,
                       scenario)

SECURE_CODE = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
SNAKEOIL_VARS = "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"
SNAKEOIL_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.pem"
SNAKEOIL_KEY = "/usr/share/ovmf/PkKek-1-snakeoil.key"
SNAKEOIL_PASSPHRASE = "snakeoil"  # published with the key, see /usr/share/doc/ovmf/README.Debian
SIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "sign-efi")

# OVMF's Secure Boot build stops at once without SMM; the flash must be
# writable only from SMM for its authenticated variables to mean anything.
MACHINE = ["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"]

# The Shell's one read of the SecureBoot variable, and the same-length name
# that replaces it (a variable no firmware has).
SECURE_BOOT_NAME = "SecureBoot\0".encode("utf-16-le")
RIG_NAME = "TestRigOff\0".encode("utf-16-le")

# What the Shell checks before each boot's commands.
CHECK_COMMANDS = ["dmpstore SecureBoot", "dmpstore SetupMode"]

NEEDED = ["sbsign", "sbverify", "openssl"]
NEEDED_FILES = [OVMF_CODE, SECURE_CODE, SNAKEOIL_VARS, SNAKEOIL_CERT, SNAKEOIL_KEY]


class RigError(Exception):
    pass


def missing():
    """What the machine lacks for Secure Boot scenarios."""
    return ([tool for tool in NEEDED if shutil.which(tool) is None] +
            [path for path in NEEDED_FILES if not os.path.isfile(path)])


def neutralise_secure_boot_read(shell):
    """The Shell image with its one UCS-2 "SecureBoot" name renamed in
    place; an image with none, or more than one, is refused (it would not
    be the Shell this rig was made for)."""
    count = shell.count(SECURE_BOOT_NAME)
    if count != 1:
        raise RigError("the Shell holds the name SecureBoot %d times, expected once" % count)
    return shell.replace(SECURE_BOOT_NAME, RIG_NAME)


def variable_bytes(console):
    """{name: first data byte} for each one-byte variable dmpstore showed,
    e.g. "Variable RT+BS 'EFIGlobalVariable:SecureBoot' DataSize = 0x01"
    followed by "  00000000: 01 ..."."""
    found = {}
    pattern = r"Variable [A-Z+]+ '[^':]+:(\w+)' DataSize = 0x01\n\s*00000000: ([0-9A-Fa-f]{2})"
    for name, value in re.findall(pattern, console):
        found[name] = int(value, 16)
    return found


def section_offset(image, name):
    """File offset and size of a PE section's raw data."""
    pe, = struct.unpack_from("<I", image, 0x3C)
    count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    table = pe + 24 + optional_size
    for index in range(count):
        entry = table + 40 * index
        if image[entry:entry + 8].rstrip(b"\0") == name:
            size, offset = struct.unpack_from("<II", image, entry + 16)
            return offset, size
    raise RigError("no %r section" % name)


def tamper(signed):
    """A signed image with one byte of its read-only data changed after
    signing: the signature is intact, the image's hash no longer matches."""
    offset, size = section_offset(signed, b".rdata")
    changed = bytearray(signed)
    changed[offset + size // 2] ^= 0x01
    return bytes(changed)


class Rig:
    """The signed images and key of one Secure Boot board, in `directory`
    (inside the build tree)."""

    def __init__(self, directory, tamsork, vendor, tool):
        os.makedirs(directory, exist_ok=True)
        self.directory = directory
        self.key = self.path("db.key")
        run_command(["openssl", "pkey", "-in", SNAKEOIL_KEY, "-passin", "pass:" + SNAKEOIL_PASSPHRASE, "-out", self.key])
        os.chmod(self.key, 0o600)

        with open(self.path("Shell.test-rig.efi"), "wb") as f:
            f.write(neutralise_secure_boot_read(shell_extract.extract_shell(OVMF_CODE)))
        self.shell = self.sign(self.path("Shell.test-rig.efi"), "BOOTX64.EFI")
        self.tamsork = self.sign(tamsork, "Tamsork.signed.efi")
        self.vendor = self.sign(vendor, "VendorControl.signed.efi")
        self.tool = self.sign(tool, "H2OFFT-Sx64.signed.efi")
        self.unsigned = tamsork
        with open(self.tamsork, "rb") as f:
            tampered = tamper(f.read())
        self.tampered = self.path("Tamsork.tampered.efi")
        with open(self.tampered, "wb") as f:
            f.write(tampered)

    def path(self, name):
        return os.path.join(self.directory, name)

    def sign(self, image, name):
        out = self.path(name)
        run_command([SIGN, self.key, SNAKEOIL_CERT, image, out])
        return out

    @staticmethod
    def verifies(image):
        return subprocess.run(["sbverify", "--cert", SNAKEOIL_CERT, image], capture_output=True).returncode == 0


def enforce(board):
    """Turns a fresh board into one under enforced Secure Boot: the Secure
    Boot firmware and the snakeoil variable store, the signed test-rig
    Shell as the stick's boot loader, and the signed stand-ins and Tamsork
    in place of the unsigned ones. Returns the rig."""
    rig = Rig(os.path.join(board.workdir, "rig"), board.tamsork, board.vendor, board.tool)
    board.code = SECURE_CODE
    board.machine = list(MACHINE)
    shutil.copyfile(SNAKEOIL_VARS, board.vars)
    board.volume.mkdir("EFI")
    board.volume.mkdir("EFI/BOOT")
    board.volume.put_file(rig.shell, "EFI/BOOT/BOOTX64.EFI")
    board.volume.put_file(rig.tamsork, "Tamsork.efi")
    board.volume.put_file(rig.vendor, "VendorControl.efi")
    board.volume.put_file(rig.tool, "H2OFFT-Sx64.efi")
    board.before_each_boot = list(CHECK_COMMANDS)
    board.note("the stick boots a test-rig Shell: OVMF's own, its SecureBoot check renamed away, signed with "
               "Debian's published snakeoil key; for this board only")
    return rig


# ---------------------------------------------------------------- scenarios

# What the Shell prints when the firmware refuses to start an image named
# in a script (the nested script's one line).
REFUSED = "Script Error Status: Access Denied (line number 1)"


def expect_enforced(boot):
    shown = variable_bytes(boot.console)
    expect(shown.get("SecureBoot") == 1 and shown.get("SetupMode") == 0,
           "the firmware does not enforce Secure Boot: dmpstore showed %r" % shown, boot)


@scenario("secure-boot-update", boots=4, labels=["secure-boot"])
def secure_boot_update(board):
    """Under enforced Secure Boot, the signed Tamsork.efi runs a whole normal update."""
    rig = enforce(board)
    expect(Rig.verifies(rig.tamsork), "sbverify rejects the signed Tamsork.efi")
    normal_update(board)
    for boot in board.boots:
        expect_enforced(boot)


@scenario("secure-boot-refused", boots=1, labels=["secure-boot"])
def secure_boot_refused(board):
    """Under enforced Secure Boot, an unsigned and a tampered Tamsork.efi are refused and change nothing."""
    rig = enforce(board)
    expect(not Rig.verifies(rig.unsigned), "sbverify accepts the unsigned Tamsork.efi")
    expect(not Rig.verifies(rig.tampered), "sbverify accepts the tampered Tamsork.efi")
    board.volume.put_file(rig.unsigned, "Unsigned.efi")
    board.volume.put_file(rig.tampered, "Tampered.efi")
    board.volume.put("bios.bin", bios_image(1, 6))
    # A state that any launch that got to run would act on at once (it
    # deletes it and prints "BIOS Update done!").
    board.place_state(b"3")
    # The signed image last, with no arguments (usage, nothing changed):
    # the same Shell in the same boot does start a signed image.
    boot = board.boot(["Unsigned.efi bios.bin", "Tampered.efi bios.bin", "Tamsork.efi"], nested=True,
                      watch_stick=True, forbid=[DONE])
    expect_enforced(boot)
    for number in (1, 2):
        expect_returned(boot, ACCESS_DENIED, number)
        expect_lines(boot, number, [REFUSED])
    expect_returned(boot, NOT_FOUND, 3)
    expect_lines(boot, 3, USAGE)
    expect_stick_unchanged(boot)
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)
