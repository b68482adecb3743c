"""Scenarios: whole updates of the real Tamsork.efi on the virtual board.

Each scenario takes a fresh board (volumes and variable store), runs the
boots an update needs and checks, after every boot, what the machine shows
from outside: the console, the exit status, State.dat, the lines each
start appended to Tamsork.log, the board's ports, the flash tool's record
and the vendor control request.
"""

import datetime
import json
import os
import re
import struct
import subprocess
import zlib

import shell_extract
from board import (LOG_NAME, MACHINE_SERIAL, MACHINE_UUID, NO_FLASH_MARKER, OVMF_CODE, TOOL_NAME, TOOL_RESETS_MARKER,
                   TOOL_STATUS_MARKER, Board, BoardError, appended_log, log_time, mapping, record_field, split_command,
                   state_text, tail, tool_runs)

SIGNAL = b"\xaa\x66"
REQUEST = ("REQUEST this=interface command=0x50 subcommand=0x0 function=0x3 argument=0x1 buffer=set size=4 "
           "result=set data=00000000")
# Exit statuses as %lasterror% shows them: the Shell drops an EFI status's
# error bit (EFI_NOT_FOUND, 0x800000000000000E, shows as 0xE).
NOT_FOUND = 0xE
ACCESS_DENIED = 0xF
WRITE_PROTECTED = 0x8
DEVICE_ERROR = 0x7
INVALID_PARAMETER = 0x2
ABORTED = 0x15
INCOMPATIBLE_VERSION = 0x19
CRC_ERROR = 0x1B

USAGE = [
    "Kestrune Version 3.3",
    "Supported: xDW7150, xDW8260, ZRN6940, LQT1170",
    "           Ombrel, KVX9310",
    "Help!",
    "Example:",
    "Agument 1: BIOS filename",
    "Agument 2: Backup and recovery function",
    "FS0:\\Tamsork.efi bios.bin | Update with bios.bin file",
    "FS0:\\Tamsork.efi bios.bin -b | Update with bios.bin file using backup and recovery function",
]

REFUSAL = "Its not allowed to update from version 1.05 to 1.04!"
ABORT_PROMPT = "Press ANY key to abort!"
ENABLE_MODE = "Please enable UPDATE MODE to flash BIOS!"
RESET_PROMPT = "Press ANY key to Reset!"
FLASH_PROMPT = "State file found! Press Y so flash BIOS or ANY key to abort!"
DONE = "BIOS Update done!"
START_AT_ROOT = "Please start it from FS0:\\, the root of its own volume"
NOT_WRITTEN = "State.dat could not be written: %s"
# What the vendor control stand-in prints when it takes the reset request.
VENDOR_LINE = "VendorControl: request 0x50/0x0/0x3 argument 0x1 size 4, resetting the board"
# The last start of a normal update: the running BIOS is not the image's.
NOT_FLASHED = "BIOS Update failed: the BIOS runs %s, %s holds %s"
NOT_CHECKED = "BIOS Update done! The version was not checked: %s"
NO_BIOS_VERSION = NOT_CHECKED % "the firmware reports no BIOS version"
# A start that would take a step of an update that is not this machine's,
# or run the tool with an image that is not the approved one.
OTHER_MACHINE_LINE = ("State.dat holds an update begun on another machine (serial %s): finish it there, or delete "
                      "State.dat to begin on this one")
OTHER_IMAGE_LINE = ("State.dat holds an update of another image: %s is not the image checked when the update "
                    "began; put that image back, or delete State.dat to begin with this one")
# A state byte of the other mode, or of none.
NORMAL_BYTE_LINE = ("State.dat holds %s, a step of a normal update: start it without -b to go on, or delete "
                    "State.dat to begin again")
BACKUP_BYTE_LINE = ("State.dat holds %s, a step of a backup update: start it with -b to go on, or delete State.dat "
                    "to begin again")
UNKNOWN_BYTE_LINE = "State.dat holds 0x%02X, which no update writes: delete State.dat to begin a new update"
TOOL_NOT_FOUND = "The flash tool H2OFFT-Sx64.efi was not found in %s nor on the path %s"
TOOL_NOT_FOUND_NO_PATH = "The flash tool H2OFFT-Sx64.efi was not found in %s (no path is set)"
# OVMF's Shell's path with the stick and the other volume mapped.
DEFAULT_PATH = "FS0:\\efi\\tools\\;FS0:\\efi\\boot\\;FS0:\\;FS1:\\efi\\tools\\;FS1:\\efi\\boot\\;FS1:\\"
# The line each start that read State.dat prints to say its step.
SAID_FLASH = "Tamsork: step 2 of 4, the flash tool starts with %s"
SAID_FINISH = "Tamsork: step 3 of 4, flashing has finished; the board restarts the machine now"
SAID_DONE = "Tamsork: step 4 of 4, the BIOS runs the version of %s; the update is done"
SAID_UNCHECKED = "Tamsork: step 4 of 4, the update ends without a version check"
SAID_FAILED = "Tamsork: step 4 of 4, the BIOS does not run the version of %s; the update failed"
SAID_BACKUP_FLASH = "Tamsork: backup update, the flash tool starts with %s"
SAID_MANUAL_RESET = "Tamsork: backup update, update mode asked for; a key restarts the board"
SAID_START_OVER = "Tamsork: backup update, State.dat holds G; asking whether to start over"
SAID_WAIT_BOARD = "Tamsork: the board's tools take over (State.dat holds B); nothing to do"
SAID_OTHER_MODE = "Tamsork: State.dat holds %s, a step of a %s update; nothing to do"
SAID_UNKNOWN_BYTE = "Tamsork: State.dat holds a byte no update writes; nothing to do"
SAID_ELSEWHERE = "Tamsork: started away from the root of its volume, or with no name; nothing changed"
SAID_VERSION_REFUSED = "Tamsork: the version check refused %s; the update does not begin"
SAID_CHECKSUM_REFUSED = "Tamsork: the checksum refused %s; the update does not begin"
# A first start whose image does not match <image>.sha256 beside it.
NOT_SUMMED = "%s does not match %s.sha256 (or cannot be read): make the stick again"
SAID_OTHER_MACHINE = "Tamsork: the update belongs to another machine; nothing changed"
SAID_OTHER_IMAGE = "Tamsork: %s is not the image the update began with; nothing changed"
SAID_NO_TOOL = "Tamsork: the flash tool is not where the Shell looks; nothing changed"
SAID_NOT_WRITTEN = "Tamsork: State.dat could not be written; nothing changed"
SAID_TOOL_NOT_STARTED = "Tamsork: the flash tool was not started; nothing changed"
SAID_FINISH_COLD = "Tamsork: step 3 of 4, flashing has finished; the machine restarts now"
SAID_NOT_FINISHED = "Tamsork: step 4 of 4, the version cannot be checked; the update is not finished"
SAID_UPDATED = "Tamsork: this machine has been updated with %s; nothing changed"


def said_begin(image="bios.bin", summed=False, backup=False):
    """The first start's line: whether `image` was checked against its
    .sha256 file (sticks made by hand have none), in normal or backup mode."""
    return "Tamsork: %s, %s %s; update mode requested; the machine restarts now" % (
        "backup update" if backup else "step 1 of 4", image,
        "matches its .sha256 file" if summed else "has no .sha256 file to check it")


# What a start says once the flash tool has returned to it.
FLASH_ENDED = "Flashing has ended: restart the machine for step 3 of 4"
BACKUP_FLASH_ENDED = "Flashing has ended: restart the machine, and the board's tools take over"
TOOL_FAILED = "The flash tool ended with status 0x7 (Device Error, or the warning Reset Required)"
# A start at '2' on a board without its control service.
NO_SERVICE = "The board's control service cannot be found: Not Found; the machine is restarted without it"
# A checked update's last start without its image.
IMAGE_GONE = ("BIOS Update not finished: %s cannot be read or holds no version; put the image back and start "
              "again")
# A running BIOS version not of the form V1.05.
VERSION_UNREADABLE = ('The running BIOS version "%s" cannot be read: start with -d to update without the version '
                      "check")
# A first start with the stick left in after the update ended.
FLASH_AGAIN = "Tamsork.log says this machine finished an update with %s at %s"
FLASH_AGAIN_PROMPT = "Press Y to flash it again, or any other key to leave the machine as it is"
LOG_NOT_WRITTEN = "Tamsork.log could not be written: %s"
# What the flash tool stand-in prints as it flashes, or reads and flashes
# nothing.
TOOL_FLASHED = "H2OFFT stand-in: flashed %s, BIOS version %s"
TOOL_NOT_FLASHED = "H2OFFT stand-in: read %s, BIOS version %s, flashed nothing (\\" + NO_FLASH_MARKER + ")"
TOOL_RESETS = "H2OFFT stand-in: restarting the machine (\\" + TOOL_RESETS_MARKER + ")"
TOOL_RETURNS = "H2OFFT stand-in: returning status 0x%x (\\" + TOOL_STATUS_MARKER + ")"
# How far a log line's time may lie outside the boot: the guest's clock
# counts whole seconds.
CLOCK_SLACK = datetime.timedelta(seconds=2)
# A Shell command that waits a second, so that the next start's log line has
# a time of its own.
PAUSE = "stall 1000000"
# Another machine of the same product, for a stick carried over.
OTHER_SERIAL = "TSK0002B"
OTHER_UUID = "6b1f3c2e-5d4a-4e8b-9c07-1a2b3c4d5e02"
# The host build's tamsork command, which reads a stick's Tamsork.log back.
HOST_COMMAND = os.environ.get("TAMSORK_COMMAND") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build",
                                                    "host", "tools", "tamsork")


class Failure(Exception):
    pass


def bios_image(major, minor, size=256 * 1024):
    """A BIOS image carrying version major.minor: filler with near misses of
    the anchor and of the field before the real ones, the anchor "$BVDT",
    then the field "$.a<major>.<minor>"."""
    filler = bytes((i * 37 + 11) % 251 for i in range(size))
    head = b"$BVD$.a0.00$BV" + filler[: size // 2]
    marker = b"$BVDT" + b"\x00\x01$.9" + b"$.a%d.%02d" % (major, minor)
    return (head + marker + filler)[:size]


def describe(boot):
    return "boot %d (state before %s, after %s)" % (boot.number, state_text(boot.state_before),
                                                   state_text(boot.state_after))


def expect(condition, message, boot=None):
    if condition:
        return
    if boot is not None:
        message = "%s: %s\n--- console (end) ---\n%s" % (describe(boot), message, tail(boot.console, 40))
    raise Failure(message)


# ---------------------------------------------------------------- checks


def expect_state(boot, value, record=None):
    """State.dat's byte is `value` (None: no file); given a record (the
    bytes that follow the byte, b"" for none), those too."""
    byte = None if boot.state_after is None else boot.state_after[:1]
    expect(byte == value, "State.dat is %s, expected %r" % (state_text(boot.state_after), value), boot)
    if record is not None and value is not None:
        expect(boot.state_after[1:] == record, "State.dat's record changed: %r, expected %r"
               % (boot.state_after[1:], record), boot)


def expect_recorded(boot, board, image):
    """The first start recorded this machine and `image` after the byte:
    the record holds the board's serial number and the image's CRC-32 (as
    little-endian bytes). On a firmware without the SMBIOS protocol no
    machine can be told apart, and none is recorded. Returns the record."""
    record = boot.state_after[1:]
    if not board.smbios_protocol:
        expect(board.serial is None or board.serial.encode("ascii") not in record,
               "State.dat records a machine on a firmware without the SMBIOS protocol: %r" % record, boot)
        return record
    if board.serial is not None:
        expect(board.serial.encode("ascii") in record, "State.dat records no serial %s: %r" % (board.serial, record),
               boot)
    crc = struct.pack("<I", zlib.crc32(image))
    expect(crc in record, "State.dat records no CRC-32 %s of the image: %r" % (crc.hex(), record), boot)
    return record


def expect_application_reset(boot, number=1):
    """The application signalled the board and reset it itself: launch
    `number` never got back to echo an exit status."""
    expect(boot.ended == "reset", "the boot ended by %s" % boot.ended, boot)
    expect(number not in boot.exits and not boot.script_finished, "the application returned to the Shell", boot)
    expect(not boot.requests, "a vendor request was made: %r" % boot.requests, boot)
    expect(boot.update_port == SIGNAL, "port 0x41C0 got %r, expected AA 66" % boot.update_port, boot)


def expect_returned(boot, status, number=1):
    expect(number in boot.exits, "invocation %d never returned to the Shell" % number, boot)
    expect(boot.exits[number] == status,
           "invocation %d exited 0x%X, expected 0x%X" % (number, boot.exits[number], status), boot)


def expect_quiet_board(boot):
    expect(boot.update_port == b"", "port 0x41C0 got %r" % boot.update_port, boot)
    expect(boot.control_port == b"", "port 0x419F got %r" % boot.control_port, boot)


def expect_no_request(boot):
    expect(not boot.requests, "unexpected vendor request %r" % boot.requests, boot)


def expect_request_reset(boot, number=1):
    """The board was reset through exactly one vendor request with the
    reset command's arguments, made by launch `number`."""
    expect(boot.requests == [REQUEST], "vendor requests %r, expected [%r]" % (boot.requests, REQUEST), boot)
    expect(number not in boot.exits and not boot.script_finished, "the application returned after the request",
           boot)


def expect_reset_elsewhere(boot):
    """The boot ended in a reset that was neither the application's, after
    its board signal, nor the board's, at a vendor request: the launch never
    returned and the board was left alone."""
    expect(boot.ended == "reset", "the boot ended by %s" % boot.ended, boot)
    expect(not boot.exits and not boot.script_finished, "the launch returned to the Shell", boot)
    expect_quiet_board(boot)
    expect_no_request(boot)


def expect_no_tool(boot):
    expect(not boot.tool_started, "the flash tool was started: %r" % boot.tool, boot)


# A name that needs no quotes or escapes: the command line carries it as it is.
ORDINARY_NAME = re.compile(r"[\w.\-]+")


def expect_tool(boot, image, version, records=None):
    """The flash tool was started once (in `records`, one start's records,
    or else the whole boot's) with `image` as its one argument and, given a
    version, flashed that version from it. An ordinary name reaches the
    tool's command line as "H2OFFT-Sx64.efi <image>" byte for byte."""
    records = boot.tool if records is None else records

    def field(prefix):
        return record_field(records, prefix)

    expect(records.count("START") == 1, "flash tool starts: %r" % records, boot)
    if ORDINARY_NAME.fullmatch(image):
        expect(field("OPTIONS") == ["H2OFFT-Sx64.efi %s" % image], "tool command line %r" % field("OPTIONS"), boot)
    expect(field("ARGC") == ["2"], "tool argument count %r for %r" % (field("ARGC"), image), boot)
    expect(field("ARGV 1") == [image], "tool image argument %r, expected %r" % (field("ARGV 1"), image), boot)
    if version is not None:
        expect(any(r.startswith("IMAGE ") and r.endswith("version=%s" % version) for r in records),
               "the tool did not flash version %s: %r" % (version, records), boot)


def said(boot, line):
    """What a start prints to say its step: the line, and after it, where
    Tamsork.log is read-only, the one line about the log."""
    return [line] + ([LOG_NOT_WRITTEN % "Access Denied"] if boot.log_read_only else [])


def launch_fields(launch):
    """The log's file and switches for a launch ("... Tamsork.efi bios.bin -d")."""
    words = split_command(launch)[1].split()
    rest = words[[w.lower().split("\\")[-1] for w in words].index("tamsork.efi") + 1:]
    return {"file": rest[0] if rest else "", "switches": " ".join(rest[1:])}


def expect_logged(boot, rows):
    """Tamsork.log gained one line per start, as `rows` of (step, before,
    after[, {key: value}]) give them, kept its older text and gained
    nothing else (nothing at all where it is read-only). Each line names
    the machine the boot ran on (nothing where the firmware has no SMBIOS
    protocol) and a time within the boot."""
    try:
        lines = boot.logged
    except BoardError as error:
        raise Failure("%s: %s" % (describe(boot), error))
    rows = [] if boot.log_read_only else [tuple(row[:3]) + (row[3] if len(row) > 3 else {},) for row in rows]
    found = [(line["step"], line["before"], line["after"]) for line in lines]
    expect(found == [row[:3] for row in rows], "Tamsork.log gained (step, before, after) %r, expected %r"
           % (found, [row[:3] for row in rows]), boot)
    machine = {"serial": boot.serial or "", "uuid": boot.uuid or "", "product": boot.product,
               "bios": boot.bios_version} if boot.smbios_protocol else dict.fromkeys(("serial", "uuid", "product",
                                                                                       "bios"), "")
    start, end = boot.clock
    for number, (line, row) in enumerate(zip(lines, rows), start=1):
        wanted = dict(machine, **row[3])
        differ = sorted(key for key in wanted if line[key] != wanted[key])
        expect(not differ, "log line %d of the boot has %s, expected %s" % (
            number, {key: line[key] for key in differ}, {key: wanted[key] for key in differ}), boot)
        when = log_time(line["time"])
        expect(when is not None and start - CLOCK_SLACK <= when <= end + CLOCK_SLACK,
               "log line %d's time %s is not within the boot, %s to %s" % (number, line["time"], start, end), boot)


def expect_stick_unchanged(boot, logged=()):
    """Every file on the stick is as it was before the boot (a boot run
    with watch_stick), but Tamsork.log with the lines `logged` (rows as
    expect_logged takes them) appended."""
    changed = sorted(name for name in set(boot.stick_before) | set(boot.stick_after)
                     if boot.stick_before.get(name) != boot.stick_after.get(name) and name != LOG_NAME)
    expect(not changed, "the stick changed: %s" % ", ".join(changed), boot)
    expect_logged(boot, logged)


def expect_lines(boot, number, lines):
    output = boot.output(number)
    expect(output is not None, "no output from invocation %d" % number, boot)
    printed = [line for line in output.split("\n") if line.strip()]
    expect(printed == lines, "invocation %d printed %r, expected %r" % (number, printed, lines), boot)


def with_options(command, options):
    """A command (a line, or lines ending in the launch) with `options`
    added to its launch, e.g. " -d" on a firmware whose BIOS version
    cannot be read."""
    setup, launch = split_command(command)
    return tuple(setup) + (launch + options,) if setup else launch + options


# ---------------------------------------------------------------- scenarios

SCENARIOS = {}
# CTest labels by scenario, "virtual-board" and any of its own.
LABELS = {}


def scenario(name, boots, labels=()):
    def register(function):
        SCENARIOS[name] = (function, boots, (function.__doc__ or "").strip().split("\n")[0])
        LABELS[name] = ["virtual-board"] + list(labels)
        return function
    return register


def image_version(image):
    """The version bios_image put in an image, "1.06"."""
    return re.search(rb"\$BVDT.*?\$\.a(\d+\.\d\d)", image, re.S).group(1).decode()


def flash_rows(before, after, fields=None, ended="Success"):
    """The lines a start that runs the flash tool appends (rows as
    expect_logged takes them): the tool started, then the tool returned
    with `ended` as its outcome; with `ended` None it never returned."""
    fields = fields or {}
    rows = [("flash", before, after, dict(fields, outcome="Started"))]
    return rows + ([("flash-ended", before, after, dict(fields, outcome=ended))] if ended is not None else [])


def step_logged(boot, launch, step, before, after, version="", ended="Success"):
    """The line a step's start appends, with the launch's file and switches
    and the image version it read; the flash step's two lines (flash_rows)."""
    fields = dict(launch_fields(launch), version=version)
    expect_logged(boot, flash_rows(before, after, fields, ended) if step == "flash" else
                  [(step, before, after, fields)])


def expect_stick_mapped(board, boot):
    """On OVMF the Shell mapped the stick where the board put it: a USB
    stick on the xHCI port after the other sticks', as the FSn: after
    theirs, or else the first SATA disk as FS0:."""
    if board.bios is not None:
        return
    if board.stick_bus == "usb":
        name, node = "FS%d" % len(board.other_sticks), "/Pci(0x14,0x0)/USB(0x%X,0x0)" % len(board.other_sticks)
    else:
        name, node = "FS0", "/Pci(0x1F,0x2)/Sata(0x0,"
    found = mapping(boot.console)
    expect(node in found.get(name, ""), "the Shell mapped %r, expected the stick (%s) as %s:" % (found, node, name),
           boot)


def begin_update(board, launch, image):
    """The first start: update mode entered, State.dat '1' with its record
    (none where the firmware has no SMBIOS protocol). Returns the record."""
    boot = board.boot([launch], forbid=[ABORT_PROMPT])
    expect_stick_mapped(board, boot)
    expect_state(boot, b"1")
    expect_application_reset(boot)
    expect(boot.control_port == b"", "port 0x419F got %r" % boot.control_port, boot)
    expect_no_tool(boot)
    expect_lines(boot, 1, said(boot, said_begin()))
    # With -d the image's version is not read.
    step_logged(boot, launch, "begin", "none", "1", "" if " -d" in launch else image_version(image))
    return expect_recorded(boot, board, image)


def flash_step(board, launch, record, flashed="1.06"):
    """At '1' the flash tool runs with bios.bin and flashes `flashed`, or
    with None flashes nothing; State.dat '2', its record kept."""
    boot = board.boot([launch])
    expect_state(boot, b"2", record)
    expect_tool(boot, "bios.bin", flashed)
    tool_line = TOOL_FLASHED % ("bios.bin", flashed) if flashed else TOOL_NOT_FLASHED % ("bios.bin", "1.06")
    expect_lines(boot, 1, said(boot, SAID_FLASH % "bios.bin") + [tool_line, FLASH_ENDED])
    step_logged(boot, launch, "flash", "1", "2")
    if flashed is None:
        expect(any(r.startswith("IMAGE ") and r.endswith(" not-flashed") for r in boot.tool),
               "the tool did not run as one that flashes nothing: %r" % boot.tool, boot)
    expect_returned(boot, 0)
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect(board.bios_version == ("V" + flashed if flashed else boot.bios_version),
           "the board runs %s after the tool" % board.bios_version, boot)
    return boot


def reset_step(board, launch, record):
    """At '2' the board firmware is asked for a reset; State.dat '3'."""
    boot = board.boot([launch])
    expect_state(boot, b"3", record)
    expect_request_reset(boot)
    expect_quiet_board(boot)
    expect_no_tool(boot)
    expect_lines(boot, 1, said(boot, SAID_FINISH) + [VENDOR_LINE])
    step_logged(boot, launch, "finish", "2", "3")


def expect_no_step(boot):
    """The board untouched: no port signal, no reset request, no tool."""
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)


def done_step(board, launch, done=DONE):
    """At '3' the versions agree: `done` printed, State.dat removed; a
    `done` other than DONE ends the update unchecked."""
    boot = board.boot([launch])
    expect_state(boot, None)
    expect_returned(boot, 0)
    checked = done == DONE
    expect_lines(boot, 1, said(boot, SAID_DONE % "bios.bin" if checked else SAID_UNCHECKED) + [done])
    step_logged(boot, launch, "done" if checked else "done-unchecked", "3", "none", "1.06")
    expect_no_step(boot)


@scenario("normal-update", boots=4)
def normal_update(board, launch="Tamsork.efi bios.bin", done=DONE):
    """A normal update from the first launch to "BIOS Update done!"."""
    image = bios_image(1, 6)
    board.volume.put("bios.bin", image)
    record = begin_update(board, launch, image)
    # Each later byte is written with the record after it, so the record
    # stays on firmware whose FAT driver ends a file where a write ends.
    flash_step(board, launch, record)
    reset_step(board, launch, record)
    done_step(board, launch, done)


@scenario("normal-update-sata", boots=4)
def normal_update_sata(board):
    """The normal update with the stick a SATA disk instead of a USB stick."""
    board.stick_bus = "sata"
    normal_update(board)


@scenario("older-image-refused", boots=1)
def older_image_refused(board):
    """An image older than the running BIOS is refused after a key press."""
    board.volume.put("bios.bin", bios_image(1, 4))
    boot = board.boot(["Tamsork.efi bios.bin"], keys=[(ABORT_PROMPT, "x")])
    expect_lines(boot, 1, [REFUSAL, ABORT_PROMPT, SAID_VERSION_REFUSED % "bios.bin"])
    expect_logged(boot, [("refused-version", "none", "none", {"version": "1.04", "outcome": "Not Found"})])
    expect_returned(boot, NOT_FOUND)
    expect_state(boot, None)
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)


@scenario("skip-check-missing-image", boots=3)
def skip_check_missing_image(board):
    """A missing image stops the gate; -d skips the gate and enters update mode."""
    boot = board.boot(["Tamsork.efi missing.bin"], keys=[(ABORT_PROMPT, "x")])
    expect_lines(boot, 1, ["Check File Version", ABORT_PROMPT, SAID_VERSION_REFUSED % "missing.bin"])
    expect_logged(boot, [("refused-version", "none", "none", {"file": "missing.bin", "version": ""})])
    expect_returned(boot, NOT_FOUND)
    expect_state(boot, None)
    expect_quiet_board(boot)

    boot = board.boot(["Tamsork.efi missing.bin -d"], forbid=[ABORT_PROMPT])
    expect_state(boot, b"1")
    expect_application_reset(boot)
    expect_logged(boot, [("begin", "none", "1", {"file": "missing.bin", "switches": "-d"})])

    # The tool is started with the name as given, image or not.
    boot = board.boot(["Tamsork.efi missing.bin -d"])
    expect_state(boot, b"2")
    expect_tool(boot, "missing.bin", None)
    expect(any(r.startswith("IMAGE missing") for r in boot.tool), "the tool found an image: %r" % boot.tool, boot)
    expect_returned(boot, 0)


BAD_COMMAND_LINES = [
    "Tamsork.efi",
    "Tamsork.efi bios.bin -x",
    "Tamsork.efi bios.bin -B",
    "Tamsork.efi bios.bin -b -b",
    "Tamsork.efi bios.bin -d -d",
    "Tamsork.efi bios.bin -b -x",
    "Tamsork.efi bios.bin -b -d -d",
]


@scenario("bad-command-line", boots=1)
def bad_command_line(board):
    """Command lines that are refused with the usage text, State.dat untouched."""
    board.volume.put("bios.bin", bios_image(1, 6))
    # A state that any accepted launch would act on at once (it deletes it).
    board.place_state(b"3")
    boot = board.boot(BAD_COMMAND_LINES, forbid=[DONE])
    for number, command in enumerate(BAD_COMMAND_LINES, start=1):
        expect_returned(boot, NOT_FOUND, number)
        expect_lines(boot, number, USAGE)
    expect(boot.script_finished, "the script did not finish", boot)
    expect_state(boot, b"3")
    expect_logged(boot, [])
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)


def expect_backup_mode_requested(boot):
    expect_state(boot, b"@")
    expect_application_reset(boot)
    # 0x41 read back, written back with the backup request bit.
    expect(boot.control_port == b"\x43", "port 0x419F got %r, expected 43" % boot.control_port, boot)
    expect_no_tool(boot)


@scenario("backup-mode", boots=5)
def backup_mode(board, options=""):
    """Backup mode: '@', the manual reset, 'y' starting over, another key aborting."""
    board.volume.put("bios.bin", bios_image(1, 6))
    launch = "Tamsork.efi bios.bin -b" + options

    def expect_manual_reset(boot):
        expect_state(boot, b"G")
        expect_lines(boot, 1, [ENABLE_MODE, SAID_MANUAL_RESET, RESET_PROMPT, VENDOR_LINE])
        step_logged(boot, launch, "manual-reset", "@", "G")
        expect_request_reset(boot)
        expect_quiet_board(boot)
        expect_no_tool(boot)

    boot = board.boot([launch])
    expect_backup_mode_requested(boot)
    expect_lines(boot, 1, [said_begin(backup=True)])
    step_logged(boot, launch, "begin", "none", "@", "" if options else "1.06")

    boot = board.boot([launch], keys=[(RESET_PROMPT, "x")])
    expect_manual_reset(boot)

    # The start over says its step once, before the prompt.
    boot = board.boot([launch], keys=[(FLASH_PROMPT, "y")])
    expect_lines(boot, 1, [SAID_START_OVER, FLASH_PROMPT])
    step_logged(boot, launch, "start-over", "G", "@", "" if options else "1.06")
    expect_backup_mode_requested(boot)

    boot = board.boot([launch], keys=[(RESET_PROMPT, "x")])
    expect_manual_reset(boot)

    boot = board.boot([launch], keys=[(FLASH_PROMPT, "n")])
    expect_lines(boot, 1, [SAID_START_OVER, FLASH_PROMPT])
    step_logged(boot, launch, "give-up", "G", "none")
    expect_returned(boot, 0)
    expect_state(boot, None)
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)


@scenario("backup-ready", boots=2)
def backup_ready(board):
    """'A' placed from outside starts the tool and leaves 'B'; 'B' does nothing."""
    board.volume.put("bios.bin", bios_image(1, 6))
    board.place_state(b"A")

    # Normal mode leaves 'A' alone and says whose byte it is; backup mode
    # acts on it.
    boot = board.boot(["Tamsork.efi bios.bin", "Tamsork.efi bios.bin -b"])
    expect_returned(boot, INVALID_PARAMETER, 1)
    expect_lines(boot, 1, [SAID_OTHER_MODE % ("A", "backup"), BACKUP_BYTE_LINE % "A"])
    expect_returned(boot, 0, 2)
    expect_lines(boot, 2, [SAID_BACKUP_FLASH % "bios.bin", TOOL_FLASHED % ("bios.bin", "1.06"), BACKUP_FLASH_ENDED])
    expect_logged(boot, [("other-mode", "A", "A", {"outcome": "Invalid Parameter"})] +
                  flash_rows("A", "B", {"switches": "-b"}))
    expect_state(boot, b"B")
    expect_tool(boot, "bios.bin", "1.06")
    expect_quiet_board(boot)
    expect_no_request(boot)

    boot = board.boot(["Tamsork.efi bios.bin -b", "Tamsork.efi bios.bin", "Tamsork.efi bios.bin -b -d"])
    other = [SAID_OTHER_MODE % ("B", "backup"), BACKUP_BYTE_LINE % "B"]
    for number, status, lines in ((1, 0, [SAID_WAIT_BOARD]), (2, INVALID_PARAMETER, other), (3, 0, [SAID_WAIT_BOARD])):
        expect_returned(boot, status, number)
        expect_lines(boot, number, lines)
    expect_logged(boot, [("wait-board", "B", "B"), ("other-mode", "B", "B"),
                         ("wait-board", "B", "B", {"switches": "-b -d"})])
    expect_state(boot, b"B")
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_no_tool(boot)


def put_shell(board):
    """OVMF's own Shell on the stick as Shell.efi, for launches from a
    Shell started inside the board's Shell."""
    path = os.path.join(board.workdir, "Shell.efi")
    with open(path, "wb") as f:
        f.write(shell_extract.extract_shell(OVMF_CODE))
    board.volume.put_file(path, "Shell.efi")


# Launches from elsewhere than the root of the stick. Each row changes
# directory itself; "fs0:" alone would go back to fs0:'s own current
# directory, which may be \sub.
ELSEWHERE = [
    ("fs1:", "fs0:\\Tamsork.efi bios.bin"),
    ("fs0:", "cd \\sub", "fs0:\\Tamsork.efi bios.bin"),
    # A nested Shell takes over the current directory, fs0:\sub.
    ("fs0:", "cd \\sub", "fs0:\\Shell.efi -nostartup -exit fs0:\\Tamsork.efi bios.bin"),
]
FROM_ROOT = ("fs0:", "cd \\", "Tamsork.efi bios.bin")


@scenario("other-directory", boots=3)
def other_directory(board, options=""):
    """From another mapping or a folder, a launch that would begin the update or start the tool changes nothing."""
    board.volume.put("bios.bin", bios_image(1, 6))
    board.volume.mkdir("sub")
    # An older image in the folder: a gate or a tool that read it there
    # would stop the update or flash 1.01.
    board.volume.put("sub/bios.bin", bios_image(1, 1))
    put_shell(board)
    elsewhere = [with_options(command, options) for command in ELSEWHERE]
    from_root = with_options(FROM_ROOT, options)

    def expect_refused_elsewhere(boot, state, root_rows):
        for number in range(1, len(elsewhere) + 1):
            expect_returned(boot, NOT_FOUND, number)
            expect_lines(boot, number, [START_AT_ROOT, SAID_ELSEWHERE])
        for name in ("State.dat", LOG_NAME):
            expect(name not in board.volume.names("sub"), "%s was made in the folder" % name, boot)
        expect(board.other.names() == [".mapping-fs1"], "the other volume changed: %r" % board.other.names(), boot)
        # Each refusal is logged in the root of the stick, as the root start is.
        expect_logged(boot, [("refused-folder", state, state)] * len(elsewhere) + root_rows)

    # A refused launch that had written the state byte or signalled the
    # board would show at the root launch after it: the signal twice, or
    # the tool started instead of update mode entered.
    boot = board.boot(elsewhere + [from_root], forbid=[ABORT_PROMPT])
    expect_refused_elsewhere(boot, "none", [("begin", "none", "1")])
    expect_state(boot, b"1")
    expect(boot.ended == "reset" and len(elsewhere) + 1 not in boot.exits, "the root launch returned", boot)
    expect(boot.update_port == SIGNAL, "port 0x41C0 got %r, expected AA 66 once" % boot.update_port, boot)
    expect(boot.control_port == b"", "port 0x419F got %r" % boot.control_port, boot)
    expect_no_request(boot)
    expect_no_tool(boot)

    # The tool starts once, from the root launch, and flashes the root's
    # image.
    boot = board.boot(elsewhere + [from_root])
    expect_refused_elsewhere(boot, "1", flash_rows("1", "2"))
    expect_returned(boot, 0, len(elsewhere) + 1)
    expect_state(boot, b"2")
    expect_tool(boot, "bios.bin", "1.06")
    expect_quiet_board(boot)
    expect_no_request(boot)

    # Finishing needs no particular directory.
    boot = board.boot([elsewhere[0]])
    expect_state(boot, b"3")
    expect_request_reset(boot)
    expect_no_tool(boot)
    expect_logged(boot, [("finish", "2", "3")])


@scenario("typed-at-prompt", boots=2)
def typed_at_prompt(board):
    """Launches typed at the Shell's prompt, not run from a script."""
    board.volume.put("bios.bin", bios_image(1, 6))

    boot = board.boot(["Tamsork.efi bios.bin"], typed=True)
    expect_state(boot, b"1")
    expect_application_reset(boot)
    expect_logged(boot, [("begin", "none", "1")])

    # The usage text logs nothing.
    boot = board.boot(["Tamsork.efi bios.bin", "Tamsork.efi"], typed=True)
    expect_state(boot, b"2")
    expect_logged(boot, flash_rows("1", "2"))
    expect_returned(boot, 0, 1)
    expect_tool(boot, "bios.bin", "1.06")
    expect_returned(boot, NOT_FOUND, 2)
    expect_lines(boot, 2, USAGE)
    expect(boot.script_finished, "the typed lines did not all run", boot)


@scenario("long-image-name", boots=2)
def long_image_name(board):
    """A 90-character image name reaches the flash tool whole, and the tool flashes that image."""
    name = "b" * 86 + ".bin"
    board.volume.put(name, bios_image(1, 6))

    boot = board.boot(["Tamsork.efi " + name], forbid=[ABORT_PROMPT])
    expect_state(boot, b"1")
    expect_application_reset(boot)

    boot = board.boot(["Tamsork.efi " + name])
    expect_state(boot, b"2")
    expect_returned(boot, 0)
    expect_tool(boot, name, "1.06")
    expect_logged(boot, flash_rows("1", "2", {"file": name}))


# (the name, as startup.nsh writes it, the version of the image on the stick
# under that name or None where FAT allows no such name). In a script '^'
# takes the next character literally and quotes keep a blank; a '%' needs
# its '^' even inside quotes.
IMAGE_NAMES = [
    ("my bios.bin", '"my bios.bin"', "1.06"),
    ("b%path%.bin", '"b^%path^%.bin"', "1.07"),
    ("a^b.bin", '"a^^b.bin"', "1.08"),
    ("c#d.bin", '"c^#d.bin"', "1.09"),
    ("v 2 %path% #3^.bin", '"v 2 ^%path^% ^#3^^.bin"', "1.10"),
    ("l" * 86 + ".bin", "l" * 86 + ".bin", "1.11"),
    ('x"y.bin', '"x^"y.bin"', None),
    ("p|q.bin", '"p^|q.bin"', None),
    ("<in.bin", '"^<in.bin"', None),
]


@scenario("image-names", boots=2)
def image_names(board, options=""):
    """Image names with blanks and the Shell's special characters reach the flash tool as its one argument."""
    for name, _, version in IMAGE_NAMES:
        if version is not None:
            major, minor = version.split(".")
            board.volume.put(name, bios_image(int(major), int(minor)))
    board.volume.put("state-1.dat", b"1")
    launches = ["Tamsork.efi " + typed + options for _, typed, _ in IMAGE_NAMES]

    # The version gate reads the first name on the stick.
    boot = board.boot(launches[:1], forbid=[ABORT_PROMPT])
    expect_state(boot, b"1")
    expect_application_reset(boot)

    # Each launch starts the tool; the state is put back to '1' before the
    # next.
    commands = launches[:1] + [("cp -q state-1.dat State.dat", launch) for launch in launches[1:]]
    boot = board.boot(commands)
    runs = tool_runs(boot.tool)
    expect(len(runs) == len(IMAGE_NAMES), "%d tool starts for %d launches" % (len(runs), len(IMAGE_NAMES)), boot)
    for number, ((name, _, version), records) in enumerate(zip(IMAGE_NAMES, runs), start=1):
        expect_returned(boot, 0, number)
        expect_tool(boot, name, version, records)
        if version is None:
            expect(any(r.startswith("IMAGE missing") for r in records), "the tool opened %r: %r" % (name, records),
                   boot)
    expect_state(boot, b"2")
    expect_quiet_board(boot)
    expect_no_request(boot)
    # The log names each image as Tamsork was given it, escaped where it must be.
    expect_logged(boot, [row for name, _, _ in IMAGE_NAMES for row in flash_rows("1", "2", {"file": name})])


@scenario("nested-shell", boots=4)
def nested_shell(board):
    """A whole update with every launch made through a nested Shell: Shell.efi -nostartup -exit Tamsork.efi bios.bin."""
    put_shell(board)
    normal_update(board, launch="Shell.efi -nostartup -exit Tamsork.efi bios.bin")


# (what the row is, State.dat or None, whether the stick is write-protected
# (if not, State.dat is read-only), the launch, what it prints, %lasterror%,
# the lines Tamsork.log gains). On a write-protected stick OVMF refuses the
# state file before it is read: no line, nothing logged.
DENIED = {"outcome": "Access Denied"}
UNWRITABLE_STATE = [
    ("update mode not entered", b"", False, "Tamsork.efi bios.bin",
     [NOT_WRITTEN % "Access Denied", SAID_NOT_WRITTEN], ACCESS_DENIED,
     [("state-unwritable", "empty", "empty", DENIED)]),
    ("the flash tool not started", b"1", False, "Tamsork.efi bios.bin",
     [NOT_WRITTEN % "Access Denied", SAID_TOOL_NOT_STARTED], ACCESS_DENIED, [("state-unwritable", "1", "1", DENIED)]),
    # At '@' the start says its step only once 'G' is on the stick.
    ("no manual reset in backup mode", b"@", False, "Tamsork.efi bios.bin -b",
     [ENABLE_MODE, NOT_WRITTEN % "Access Denied", SAID_NOT_WRITTEN], ACCESS_DENIED,
     [("state-unwritable", "@", "@", DENIED)]),
    ("no State.dat on a write-protected stick", None, True, "Tamsork.efi bios.bin",
     [NOT_WRITTEN % "Write Protected"], WRITE_PROTECTED, []),
]


@scenario("state-not-written", boots=4)
def state_not_written(board, rows=UNWRITABLE_STATE):
    """A read-only State.dat or a write-protected stick stops the launch at the State.dat line, nothing changed."""
    board.volume.put("bios.bin", bios_image(1, 6))
    for label, state, protected, launch, lines, status, logged in rows:
        board.write_protected = False
        if board.state() is not None:
            board.volume.set_read_only("State.dat", False)
        board.place_state(state)
        if state is not None and not protected:
            board.volume.set_read_only("State.dat")
        board.write_protected = protected
        boot = board.boot([launch], forbid=[RESET_PROMPT, ABORT_PROMPT], watch_stick=True)
        if protected:
            expect_stick_mapped(board, boot)
        expect(boot.script_finished, "%s: the script did not finish" % label, boot)
        expect_returned(boot, status)
        expect_lines(boot, 1, lines)
        expect_stick_unchanged(boot, logged)
        expect_quiet_board(boot)
        expect_no_request(boot)
        expect_no_tool(boot)


UNSUPPORTED_PLATFORMS = [
    # (product, cpu)
    ("QRS1000", None),
    ("KVX4720", "Skylake-Client"),
]


@scenario("unsupported-platform", boots=2)
def unsupported_platform(board):
    """A product or processor outside the supported list still enters update mode."""
    board.volume.put("bios.bin", bios_image(1, 6))
    for product, cpu in UNSUPPORTED_PLATFORMS:
        board.place_state(None)
        board.product = product
        if cpu is not None:
            board.cpu = cpu
        boot = board.boot(["Tamsork.efi bios.bin"], forbid=[ABORT_PROMPT])
        expect_state(boot, b"1")
        expect_application_reset(boot)
        expect(boot.control_port == b"", "port 0x419F got %r" % boot.control_port, boot)
        expect_logged(boot, [("begin", "none", "1")])


@scenario("console-line-ends", boots=1)
def console_line_ends(board):
    """Every line the application prints ends with CR LF, as the console needs."""
    board.volume.put("old.bin", bios_image(1, 4))
    boot = board.boot(["Tamsork.efi", "Tamsork.efi old.bin"], keys=[(ABORT_PROMPT, "x")])
    expect_returned(boot, NOT_FOUND, 2)
    for number in (1, 2):
        raw = raw_output(boot.raw, number)
        expect(raw is not None, "no raw output for invocation %d" % number, boot)
        bare = [line for line in raw.split(b"\n")[:-1] if not line.endswith(b"\r")]
        expect(not bare, "invocation %d printed %d lines ending in LF without CR, first %r"
               % (number, len(bare), bare[:1]), boot)


def raw_output(raw, number):
    """The raw console bytes of invocation `number`, from the line after the
    Shell's echo of its command up to the exit marker's echo."""
    start = raw.find(b"TAMSORK-RUN-%d\r\n" % number)
    if start < 0:
        return None
    start = raw.find(b"\n", start + len(b"TAMSORK-RUN-%d\r\n" % number))  # the command's echo line
    end = raw.find(b"echo \"TAMSORK-EXIT-%d" % number, start)
    if start < 0 or end < 0:
        return None
    segment = raw[start + 1:end]
    # Drop the Shell's prompt in front of the exit marker's echo.
    return segment[: segment.rfind(b"\n") + 1]


def launches_at(board, rows):
    """One boot's commands from rows of (State.dat, launch): each launch is
    made with State.dat holding its row's bytes (None: as the launch before
    left it), and State.dat is copied after it. Returns the commands and a
    function that gives, after the boot, State.dat as each launch left it
    (None: no file)."""
    commands = []
    for number, (state, launch) in enumerate(rows, start=1):
        setup, launch = split_command(launch)
        before = ["cp -q State.dat left-%d.dat" % (number - 1)] if number > 1 else []
        board.volume.delete("left-%d.dat" % number)
        if state is not None:
            board.volume.put("put-%d.dat" % number, state)
            before.append("cp -q put-%d.dat State.dat" % number)
        commands.append(tuple(before + setup) + (launch,))

    def left(boot):
        return [board.volume.get("left-%d.dat" % n) for n in range(1, len(rows))] + [boot.state_after]
    return commands, left


def expect_left(boot, left, expected):
    for number, (found, wanted) in enumerate(zip(left, expected), start=1):
        expect(found == wanted, "launch %d left State.dat %s, expected %s" % (number, state_text(found),
                                                                             state_text(wanted)), boot)


@scenario("flash-tool-missing", boots=1)
def flash_tool_missing(board):
    """Without the flash tool where the Shell looks for it, a start at '1' says where it looked and changes nothing."""
    board.volume.put("bios.bin", bios_image(1, 6))
    # Neither a folder of the tool's name nor the tool in a folder off the
    # path counts.
    board.place_tool("spare")
    board.volume.mkdir(TOOL_NAME)
    board.place_state(b"1")
    launch = "Tamsork.efi bios.bin"
    boot = board.boot([launch, launch, ("set -d path", launch)], watch_stick=True)
    for number, line in enumerate([TOOL_NOT_FOUND % ("FS0:", DEFAULT_PATH)] * 2 + [TOOL_NOT_FOUND_NO_PATH % "FS0:"],
                                  start=1):
        expect_returned(boot, NOT_FOUND, number)
        expect_lines(boot, number, [line, SAID_NO_TOOL])
    expect_stick_unchanged(boot, [("no-tool", "1", "1", {"outcome": "Not Found"})] * 3)
    expect_no_step(boot)


@scenario("flash-tool-on-path", boots=3)
def flash_tool_on_path(board):
    """An older Tamsork's one-byte State.dat '1' goes on to the end, the tool found on the path in \\EFI\\Tools\\."""
    board.volume.put("bios.bin", bios_image(1, 6))
    board.place_tool("EFI/Tools")
    board.place_state(b"1")
    launch = "Tamsork.efi bios.bin"
    boot = flash_step(board, launch, b"")
    expect(boot.tool_field("ARGV 0") == ["FS0:\\efi\\tools\\" + TOOL_NAME], "the Shell ran %r"
           % boot.tool_field("ARGV 0"), boot)
    reset_step(board, launch, b"")
    done_step(board, launch)


@scenario("flash-without-effect", boots=3)
def flash_without_effect(board):
    """A tool run that flashes nothing: the last start finds the old version and says so at every start."""
    board.volume.put("bios.bin", bios_image(1, 6))
    board.volume.put(NO_FLASH_MARKER, b"the flash tool stand-in flashes nothing\n")
    board.place_state(b"1")
    launch = "Tamsork.efi bios.bin"
    flash_step(board, launch, b"", flashed=None)
    reset_step(board, launch, b"")
    # A name that cannot be read ends the update unchecked.
    commands, left = launches_at(board, [(None, launch), (None, launch), (None, "Tamsork.efi missing.bin")])
    boot = board.boot(commands)
    for number in (1, 2):
        expect_returned(boot, INCOMPATIBLE_VERSION, number)
        expect_lines(boot, number, [SAID_FAILED % "bios.bin", NOT_FLASHED % ("1.05", "bios.bin", "1.06")])
    expect_returned(boot, 0, 3)
    expect_lines(boot, 3, [SAID_UNCHECKED, NOT_CHECKED % "missing.bin cannot be read or holds no version"])
    expect_left(boot, left(boot), [b"3", b"3", None])
    expect_no_step(boot)
    expect_logged(boot, [("failed", "3", "3", {"version": "1.06", "outcome": "Incompatible Version"})] * 2 +
                  [("done-unchecked", "3", "none", {"file": "missing.bin", "version": ""})])


@scenario("update-setbacks", boots=5)
def update_setbacks(board):
    """A normal update past a tool that restarts or fails, no board service, no image at '3', the stick left in."""
    launch = "Tamsork.efi bios.bin"
    image = bios_image(1, 6)
    board.volume.put("bios.bin", image)
    board.volume.put("kept.bin", image)
    record = begin_update(board, launch, image)

    # The tool restarts the machine before the launch gets control back.
    board.volume.put(TOOL_RESETS_MARKER, b"the flash tool stand-in restarts the machine\n")
    boot = board.boot([launch])
    board.volume.delete(TOOL_RESETS_MARKER)
    expect_reset_elsewhere(boot)
    expect_tool(boot, "bios.bin", "1.06")
    expect_lines(boot, 1, [SAID_FLASH % "bios.bin", TOOL_FLASHED % ("bios.bin", "1.06"), TOOL_RESETS])
    expect_state(boot, b"2", record)
    step_logged(boot, launch, "flash", "1", "2", ended=None)

    # A board without its control service is cold-reset.
    boot = board.boot([launch], driver=False)
    expect_reset_elsewhere(boot)
    expect_no_tool(boot)
    expect_lines(boot, 1, [NO_SERVICE, SAID_FINISH_COLD])
    expect_state(boot, b"3", record)
    expect_logged(boot, [("finish", "2", "3", {"outcome": "Not Found"})])

    # The service back: the update, begun with the versions compared, is not
    # finished without its image and is done once the image is back. Then a
    # first start asks before flashing the same image again, with -d as
    # without: another key leaves the machine as it is, 'y' begins anew.
    # A pause before starts 2 and 3 tells their log lines by their times.
    rows = [(None, ("rm -q bios.bin", launch)), (None, ("cp -q kept.bin bios.bin", PAUSE, launch)),
            (None, (PAUSE, launch)), (None, launch + " -d")]
    commands, left = launches_at(board, rows)
    boot = board.boot(commands, keys=[(FLASH_AGAIN_PROMPT, "n"), (FLASH_AGAIN_PROMPT, "y")])
    expect_logged(boot, [("unchecked", "3", "3", {"outcome": "Not Found", "version": ""}),
                         ("done", "3", "none", {"version": "1.06"}),
                         ("refused-done", "none", "none", {"outcome": "Aborted", "version": ""}),
                         ("begin", "none", "1", {"switches": "-d", "version": ""})])
    times = [line["time"] for line in boot.logged]
    expect(times[0] != times[1] != times[2], "log lines 1 to 3 share a time: %r" % times, boot)
    for number, status, lines in ((1, NOT_FOUND, [SAID_NOT_FINISHED, IMAGE_GONE % "bios.bin"]),
                                  (2, 0, [SAID_DONE % "bios.bin", DONE]),
                                  (3, ABORTED, [FLASH_AGAIN % ("bios.bin", times[1]), FLASH_AGAIN_PROMPT,
                                                SAID_UPDATED % "bios.bin"])):
        expect_returned(boot, status, number)
        expect_lines(boot, number, lines)
    expect_lines(boot, 4, [FLASH_AGAIN % ("bios.bin", times[2]), FLASH_AGAIN_PROMPT, said_begin()])
    expect_left(boot, left(boot)[:3], [b"3" + record, None, None])
    expect_state(boot, b"1")
    # One signal, the last launch's.
    expect_application_reset(boot, 4)
    expect_no_request(boot)
    expect_no_tool(boot)
    record = expect_recorded(boot, board, image)

    # A tool that fails: the Shell hands its status back without the error
    # bit, the byte stays '2', and the next start takes step 3.
    board.volume.put(TOOL_STATUS_MARKER, b"8000000000000007\r\n")
    commands, left = launches_at(board, [(None, launch), (None, launch)])
    boot = board.boot(commands)
    expect_returned(boot, DEVICE_ERROR, 1)
    expect_lines(boot, 1, [SAID_FLASH % "bios.bin", TOOL_FLASHED % ("bios.bin", "1.06"),
                           TOOL_RETURNS % 0x8000000000000007, TOOL_FAILED])
    expect_tool(boot, "bios.bin", "1.06")
    expect_left(boot, left(boot)[:1], [b"2" + record])
    expect_lines(boot, 2, [SAID_FINISH, VENDOR_LINE])
    expect_request_reset(boot, 2)
    expect_state(boot, b"3", record)
    expect_quiet_board(boot)
    expect_logged(boot, flash_rows("1", "2", ended="0x7") + [("finish", "2", "3")])


@scenario("bios-version-unreadable", boots=1)
def bios_version_unreadable(board):
    """A running BIOS version not of the form V1.05: at '3' the update ends unchecked; it begins only with -d."""
    board.volume.put("bios.bin", bios_image(1, 6))
    board.bios_version = "R01.07"
    launch = "Tamsork.efi bios.bin"
    # A '3' without a record, an older Tamsork's: no start compared versions.
    commands, left = launches_at(board, [(b"3", launch), (None, launch), (None, launch + " -d")])
    boot = board.boot(commands, keys=[(ABORT_PROMPT, "x")])
    expect_returned(boot, 0, 1)
    expect_lines(boot, 1, [SAID_UNCHECKED, NOT_CHECKED % 'the BIOS version "R01.07" cannot be read'])
    expect_returned(boot, NOT_FOUND, 2)
    expect_lines(boot, 2, [VERSION_UNREADABLE % "R01.07", ABORT_PROMPT, SAID_VERSION_REFUSED % "bios.bin"])
    expect_lines(boot, 3, [said_begin()])
    expect_left(boot, left(boot)[:2], [None, None])
    expect_state(boot, b"1")
    expect_application_reset(boot, 3)
    expect_logged(boot, [("done-unchecked", "3", "none", {"version": "1.06"}),
                         ("refused-version", "none", "none", {"version": "1.06", "outcome": "Not Found"}),
                         ("begin", "none", "1", {"switches": "-d", "version": ""})])


@scenario("machine-moved", boots=5)
def machine_moved(board):
    """A stick carried to another machine at '1', '2', '3' or '@' takes no step there; back home the update finishes."""
    launch = "Tamsork.efi bios.bin"
    image = bios_image(1, 6)
    board.volume.put("bios.bin", image)
    record = begin_update(board, launch, image)
    # The other machine meets each byte with this update's record; '1', as
    # the first start left it, comes last, and the update goes on from it.
    board.serial, board.uuid = OTHER_SERIAL, OTHER_UUID
    rows = [(b"@" + record, launch + " -b"), (b"3" + record, launch), (b"2" + record, launch), (b"1" + record, launch)]
    commands, left = launches_at(board, rows)
    boot = board.boot(commands, forbid=[DONE, ENABLE_MODE])
    for number in range(1, len(rows) + 1):
        expect_returned(boot, ABORTED, number)
        expect_lines(boot, number, [OTHER_MACHINE_LINE % MACHINE_SERIAL, SAID_OTHER_MACHINE])
    expect_left(boot, left(boot), [state for state, _ in rows])
    expect_no_step(boot)
    moved = boot
    board.serial, board.uuid = MACHINE_SERIAL, MACHINE_UUID
    flash_step(board, launch, record)
    reset_step(board, launch, record)
    done_step(board, launch)
    # Each refusal names the machine it ran on, the other one.
    expect_logged(moved, [("refused-machine", byte, byte, {"outcome": "Aborted"}) for byte in "@321"])


@scenario("image-replaced", boots=2)
def image_replaced(board):
    """bios.bin replaced by an older image after the first start: no tool until the approved image is back."""
    launch = "Tamsork.efi bios.bin"
    image = bios_image(1, 6)
    board.volume.put("bios.bin", image)
    record = begin_update(board, launch, image)
    board.volume.put("bios.bin", bios_image(1, 4))
    board.volume.put("approved.bin", image)
    commands, left = launches_at(board, [(None, launch), (None, ("cp -q approved.bin bios.bin", launch))])
    boot = board.boot(commands)
    expect_returned(boot, ABORTED, 1)
    expect_lines(boot, 1, [OTHER_IMAGE_LINE % "bios.bin", SAID_OTHER_IMAGE % "bios.bin"])
    expect_left(boot, left(boot)[:1], [b"1" + record])
    # One tool start, the second launch's, flashing the approved 1.06.
    expect_tool(boot, "bios.bin", "1.06")
    expect_returned(boot, 0, 2)
    expect_state(boot, b"2", record)
    expect_quiet_board(boot)
    expect_no_request(boot)
    expect_logged(boot, [("refused-image", "1", "1", {"outcome": "Aborted"})] + flash_rows("1", "2"))


@scenario("flash-prompt-capital-y", boots=1)
def flash_prompt_capital_y(board):
    """A key typed before the 'G' prompt does not answer it; 'Y' at it starts over, as 'y' does."""
    image = bios_image(1, 6)
    board.volume.put("bios.bin", image)
    board.place_state(b"G")
    # 'n' would give the update up; it waits in the console's buffer from
    # the Shell's countdown on.
    boot = board.boot(["Tamsork.efi bios.bin -b"], typed_ahead="n", keys=[(FLASH_PROMPT, "Y")])
    expect_lines(boot, 1, [SAID_START_OVER, FLASH_PROMPT])
    expect_logged(boot, [("start-over", "G", "@", {"version": "1.06"})])
    expect_backup_mode_requested(boot)
    expect_recorded(boot, board, image)


# (State.dat, the options, what the start prints, the byte and step in the log)
OTHER_MODE_BYTES = [
    (b"1", " -b", [SAID_OTHER_MODE % ("1", "normal"), NORMAL_BYTE_LINE % "1"], "1", "other-mode"),
    (b"2", " -b", [SAID_OTHER_MODE % ("2", "normal"), NORMAL_BYTE_LINE % "2"], "2", "other-mode"),
    (b"3", " -b -d", [SAID_OTHER_MODE % ("3", "normal"), NORMAL_BYTE_LINE % "3"], "3", "other-mode"),
    (b"@", "", [SAID_OTHER_MODE % ("@", "backup"), BACKUP_BYTE_LINE % "@"], "@", "other-mode"),
    (b"G", " -d", [SAID_OTHER_MODE % ("G", "backup"), BACKUP_BYTE_LINE % "G"], "G", "other-mode"),
    (b"X", "", [SAID_UNKNOWN_BYTE, UNKNOWN_BYTE_LINE % 0x58], "0x58", "unknown-state"),
    (b"\x00", " -b", [SAID_UNKNOWN_BYTE, UNKNOWN_BYTE_LINE % 0x00], "0x00", "unknown-state"),
]


@scenario("state-of-other-mode", boots=1)
def state_of_other_mode(board):
    """A state byte of the other mode, or of none, is explained and left as it is."""
    board.volume.put("bios.bin", bios_image(1, 6))
    rows = [(state, "Tamsork.efi bios.bin" + options) for state, options, _, _, _ in OTHER_MODE_BYTES]
    commands, left = launches_at(board, rows)
    boot = board.boot(commands, forbid=[ENABLE_MODE, FLASH_PROMPT, ABORT_PROMPT])
    for number, (_, _, lines, _, _) in enumerate(OTHER_MODE_BYTES, start=1):
        expect_returned(boot, INVALID_PARAMETER, number)
        expect_lines(boot, number, lines)
    expect_left(boot, left(boot), [state for state, _ in rows])
    expect_logged(boot, [(step, byte, byte, dict(launch_fields(launch), outcome="Invalid Parameter"))
                         for (_, launch), (_, _, _, byte, step) in zip(rows, OTHER_MODE_BYTES)])
    expect_no_step(boot)



# A machine's five lines of a whole normal update with bios.bin 1.06 (four
# starts, the flash tool's returning two), as Tamsork.log holds them:
# (serial, uuid, bios, version, before, after, step, outcome).
def update_lines(serial, uuid):
    return [(serial, uuid, "V1.05", "1.06", "none", "1", "begin", "Success"),
            (serial, uuid, "V1.05", "", "1", "2", "flash", "Started"),
            (serial, uuid, "V1.05", "", "1", "2", "flash-ended", "Success"),
            (serial, uuid, "V1.06", "", "2", "3", "finish", "Success"),
            (serial, uuid, "V1.06", "1.06", "3", "none", "done", "Success")]


UPDATE_LINES = len(update_lines("", ""))
# The starts of such an update: the flash-ended line is the flash start's.
UPDATE_STARTS = UPDATE_LINES - 1
LOG_COLUMNS = ("serial", "uuid", "bios", "version", "before", "after", "step", "outcome")
# What every line of such an update holds besides.
UPDATE_LINE = {"product": "KVX4720", "file": "bios.bin", "switches": ""}


def expect_log_holds(board, expected):
    """The stick's whole Tamsork.log is `expected`, rows as update_lines gives them."""
    try:
        lines = appended_log(None, board.volume.get(LOG_NAME))
    except BoardError as error:
        raise Failure(str(error))
    found = [tuple(line[key] for key in LOG_COLUMNS) for line in lines]
    expect(found == expected, "Tamsork.log holds\n  %s\nexpected\n  %s" % ("\n  ".join(map(str, found)),
                                                                         "\n  ".join(map(str, expected))))
    for number, line in enumerate(lines, start=1):
        differ = sorted(key for key in UPDATE_LINE if line[key] != UPDATE_LINE[key])
        expect(not differ, "Tamsork.log line %d has %s" % (number, {key: line[key] for key in differ}))


def sim_log_report(board):
    """What `tamsork log Tamsork.log --json` makes of the stick's log,
    or None (with a note) while the host build has no such subcommand."""
    usage = subprocess.run([HOST_COMMAND, "--help"], capture_output=True, text=True) if os.access(HOST_COMMAND, os.X_OK) else None
    if usage is None or not re.search(r"(?m)^\s+log\b", usage.stdout):
        board.note("%s has no log subcommand: the log was not read back" % os.path.normpath(HOST_COMMAND))
        return None
    path = os.path.join(board.workdir, LOG_NAME)
    with open(path, "wb") as f:
        f.write(board.volume.get(LOG_NAME))
    result = subprocess.run([HOST_COMMAND, "log", path, "--json"], capture_output=True, text=True)
    expect(result.returncode == 0, "tamsork log exited %d: %s" % (result.returncode, result.stderr.strip()))
    try:
        return json.loads(result.stdout)
    except ValueError as error:
        raise Failure("tamsork log --json printed no JSON (%s): %r" % (error, result.stdout[:200]))


def expect_machines_updated(report, machines):
    """tamsork log's report of a log of whole updates: one machine per
    (serial, uuid) of `machines`, in order, each taken from V1.05 to V1.06
    and done, and every line read. Its "launches" counts a machine's starts,
    UPDATE_STARTS."""
    expect(isinstance(report, dict), "tamsork log's report is not an object: %r" % (report,))
    reported = [m for m in report.get("machines") or [] if isinstance(m, dict)]
    found = [(m.get("serial"), m.get("uuid")) for m in reported]
    expect(found == machines, "tamsork log reports machines %r, expected %r" % (found, machines))
    for machine in reported:
        summed = (machine.get("bios_before"), machine.get("bios_after"), machine.get("launches"),
                  (machine.get("outcome") or {}).get("code"))
        expect(summed == ("V1.05", "V1.06", UPDATE_STARTS, "done"), "tamsork log reports %s as (BIOS before, "
               "after, launches, outcome) %r" % (machine["serial"], summed))
    read = (report.get("lines"), report.get("unreadable"))
    expect(read == (UPDATE_LINES * len(machines), []), "tamsork log read (lines, unreadable) %r" % (read,))


@scenario("log-two-machines", boots=8)
def log_two_machines(board):
    """One stick, two machines: each whole update appends its five lines to Tamsork.log, naming its machine."""
    normal_update(board)
    expect_log_holds(board, update_lines(MACHINE_SERIAL, MACHINE_UUID))
    board.serial, board.uuid, board.bios_version = OTHER_SERIAL, OTHER_UUID, "V1.05"
    normal_update(board)
    expect_log_holds(board, update_lines(MACHINE_SERIAL, MACHINE_UUID) + update_lines(OTHER_SERIAL, OTHER_UUID))
    report = sim_log_report(board)
    if report is not None:
        expect_machines_updated(report, [(MACHINE_SERIAL, MACHINE_UUID), (OTHER_SERIAL, OTHER_UUID)])


@scenario("log-read-only", boots=4)
def log_read_only(board):
    """A read-only Tamsork.log: each start of a whole update says so once and takes its step; the log is unchanged."""
    board.lock_log(b"an earlier line\r\n")
    normal_update(board)
    expect(board.volume.get(LOG_NAME) == b"an earlier line\r\n", "the read-only Tamsork.log changed")


def run(name, board):
    function, _, _ = SCENARIOS[name]
    function(board)


def new_board(workdir, tamsork, vendor, tool, boot_timeout, log):
    return Board(workdir, tamsork, vendor, tool, boot_timeout=boot_timeout, log=log)
