"""The virtual board: OVMF under QEMU with a FAT volume, driven one boot at a time.

A board keeps what persists between the boots of one update: the volume
(a raw FAT image, changed between boots with mtools), a second FAT volume
that serves as "another mapping", and the firmware's variable store. Each
boot is one QEMU run that ends when the guest resets (-no-reboot) or is
killed at a time bound. The Shell runs startup.nsh from the volume; the
harness skips its countdown with a key, types keys at prompts, and after
the boot collects the console text, the exit statuses the script echoed,
State.dat and Tamsork.log as the boot left them, the bytes written to the
board's ports and the stand-in images' records.
"""

import os
import re
import datetime
import shutil
import struct
import subprocess
import threading
import time

# Ports, as the application and the stand-in images use them.
UPDATE_PORT = 0x41C0
CONTROL_PORT = 0x419F
VENDOR_RECORD_PORT = 0x41D0
TOOL_RECORD_PORT = 0x41D8

TOOL_NAME = "H2OFFT-Sx64.efi"

# The SATA port of the board's internal disk, past the stick's and the
# other volume's.
BOARD_DISK_PORT = 2

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
QEMU = "qemu-system-x86_64"

SUPPORTED_CPU = "Skylake-Client,model=142,stepping=9"

# The board's SMBIOS System Information serial number and UUID, which
# Tamsork records when an update begins. QEMU without them leaves the serial
# unset and the UUID zero, which identify no machine.
MACHINE_SERIAL = "TSK0001A"
MACHINE_UUID = "6b1f3c2e-5d4a-4e8b-9c07-1a2b3c4d5e01"

# Tamsork's record on the stick: one line per start that read State.dat,
# "key=value" fields in this order, CR LF line ends.
LOG_NAME = "Tamsork.log"
LOG_KEYS = ("time", "serial", "product", "uuid", "bios", "file", "switches", "version", "before", "after", "step",
            "outcome")
# A value: plain (printable ASCII but the blank, '"' and '\\'), or quoted,
# where a blank stays and '"', '\\' and anything not printable is \\xNN or
# \\uNNNN.
_LOG_PLAIN = r'!#-\[\]-~'
_LOG_FIELD = re.compile(r'([a-z]+)=("(?:[ %s]|\\x[0-9a-f]{2}|\\u[0-9a-f]{4})*"|[%s]+)(?: |$)'
                        % (_LOG_PLAIN, _LOG_PLAIN))
_LOG_ESCAPE = re.compile(r"\\x([0-9a-f]{2})|\\u([0-9a-f]{4})")
LOG_TIME = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(Z?)$")

# Files on the stick that change what the flash tool stand-in does
# (virtual-board/images/FlashTool.cpp): read the image and flash nothing;
# restart the machine itself once it has flashed; return the status the file
# holds in hex instead of EFI_SUCCESS.
NO_FLASH_MARKER = "NoFlash.txt"
TOOL_RESETS_MARKER = "ToolResets.txt"
TOOL_STATUS_MARKER = "ToolStatus.txt"

# The Shell's countdown before startup.nsh; any key but Esc skips it.
COUNTDOWN_TEXT = "any other key to continue"
# Marks the end of the script, echoed just before the Shell's reset.
SCRIPT_END = "VIRTUAL-BOARD-SCRIPT-END"
# Ends a script that leaves the commands to be typed at the prompt.
READY = "VIRTUAL-BOARD-READY"
# The Shell's prompt at the start of a line, e.g. "FS0:\> ".
SHELL_PROMPT = re.compile(r"(?m)^[A-Za-z0-9]+:\\[^\n]*> ")

# The Shell's prompt as the last thing on the console, waiting for a
# command; a boot that shows it for PROMPT_QUIET seconds without more text
# is over.
AT_PROMPT = re.compile(r"(?:^|\n)(?:[A-Za-z0-9]+:\\[^\n]*|Shell)> $")
PROMPT_QUIET = 1.5

# Console text that ends a boot at once: the firmware's exception dump and
# the kit's assertion report.
FAULT_TEXTS = ("X64 Exception Type", "!!!! ", "ASSERT [")

# What a Shell prints as it starts, a nested one too (the flash tool runs in
# one): its banner and its mapping table, whose rows are indented.
_SHELL_START = re.compile(r"UEFI Interactive Shell v[^\n]*\nEDK II\nUEFI v[^\n]*\n"
                          r"(?:Mapping table\n(?:[ \t]+[^\n]*\n)*)?")

_CSI = re.compile(r"\x1b\[[0-9;?=]*([A-Za-z])")
_OTHER_ESCAPE = re.compile(r"\x1b[()][A-Za-z0-9]|\x1b[=>78c]")


class BoardError(Exception):
    """A boot or a volume operation that did not go as the harness needs."""


def console_text(raw):
    """The console's bytes as plain text: escape sequences removed, carriage
    returns dropped, and a cursor move to another row taken as a line break
    (a move within the row, as the Shell's line editor makes for every key
    it echoes, is not)."""
    text = raw.decode("latin-1")
    row = [None]

    def replace(match):
        if match.group(1) != "H":
            return ""
        target = match.group(0)[2:-1].split(";")[0]
        moved = target != row[0]
        row[0] = target
        return "\n" if moved else ""

    text = _CSI.sub(replace, text)
    text = _OTHER_ESCAPE.sub("", text)
    text = text.replace("\r", "")
    return re.sub(r"\n{3,}", "\n\n", text)


_MAPPING_ROW = re.compile(r"(?m)^[ \t]+(FS\d+): Alias\(s\):[^\n]*\n[ \t]+(\S+)$")


def mapping(text):
    """The file systems of the first mapping table the Shell printed, as
    {"FS0": device path text}."""
    start = text.find("Mapping table\n")
    if start < 0:
        return {}
    table = re.match(r"Mapping table\n(?:[ \t]+[^\n]*\n)*", text[start:]).group(0)
    return dict(_MAPPING_ROW.findall(table))


def parse_exits(text):
    """The exit statuses startup.nsh echoed, by invocation number."""
    return {int(n): int(v, 16) for n, v in re.findall(r"TAMSORK-EXIT-(\d+)=0x([0-9A-Fa-f]+)", text)}


def invocation_output(text, number, reset_line=None):
    """What invocation `number` printed: the console between its start
    marker and its exit marker (or the end of the text when it never
    returned to the Shell), without the Shell's echo of commands, the
    start-up text of the Shells it ran in and, as its last line, the
    firmware's own `reset_line` announcing a reset."""
    start = text.find("TAMSORK-RUN-%d\n" % number)
    if start < 0:
        return None
    start += len("TAMSORK-RUN-%d\n" % number)
    end = text.find("TAMSORK-EXIT-%d=" % number, start)
    segment = _SHELL_START.sub("", text[start:] if end < 0 else text[start:end])
    lines = segment.split("\n")
    # The Shell echoes each script line after its prompt ("FS0:\> ...").
    kept = [line for line in lines if not re.match(r"^\s*[A-Za-z0-9]+:\\.*> ", line)]
    while kept and not kept[-1].strip():
        kept.pop()
    if end < 0 and reset_line is not None and kept and kept[-1] == reset_line:
        kept.pop()
    return "\n".join(kept).rstrip("\n")


def flashed_version(records):
    """The version the flash tool stand-in reports it flashed, if any."""
    for record in records:
        match = re.match(r"IMAGE size=\d+ version=(\d\.\d\d)$", record)
        if match:
            return match.group(1)
    return None


def state_text(value):
    """State.dat for a reader: its byte, and how long a record follows it."""
    if value is None:
        return "(no file)"
    if not value:
        return "(empty)"
    text = repr(value[:1].decode("latin-1"))
    return text + (" + %d-byte record" % (len(value) - 1) if len(value) > 1 else "")


def system_information(product, serial, uuid):
    """QEMU's -smbios value for the System Information record; a field
    given as None is left out, as QEMU's default leaves it."""
    fields = ["type=1", "product=" + product]
    fields += ["serial=" + serial] if serial is not None else []
    fields += ["uuid=" + uuid] if uuid is not None else []
    return ",".join(fields)


def parse_log_line(line):
    """One line of Tamsork.log (without its CR LF) as {key: value}: every
    key of LOG_KEYS once, in that order; a quoted value unescaped. Anything
    else raises BoardError."""
    fields = {}
    keys = []
    at = 0
    while at < len(line):
        match = _LOG_FIELD.match(line, at)
        if match is None:
            raise BoardError("a log line that does not read as key=value fields at %d: %r" % (at, line))
        value = match.group(2)
        if value.startswith('"'):
            escaped = [chr(int(m.group(1) or m.group(2), 16)) for m in _LOG_ESCAPE.finditer(value)]
            value = _LOG_ESCAPE.sub(lambda m: chr(int(m.group(1) or m.group(2), 16)), value[1:-1])
            # Quotes only where the value needs them, escapes only for what
            # cannot stand in them.
            if value and re.fullmatch("[%s]+" % _LOG_PLAIN, value) or any(re.match("[ %s]" % _LOG_PLAIN, c)
                                                                          for c in escaped):
                raise BoardError("a log value quoted or escaped without need: %r in %r" % (match.group(2), line))
        fields[match.group(1)] = value
        keys.append(match.group(1))
        at = match.end()
    if tuple(keys) != LOG_KEYS or line.endswith(" "):
        raise BoardError("a log line whose keys are %s: %r" % (" ".join(keys), line))
    return fields


def appended_log(before, after):
    """The lines Tamsork.log gained from `before` to `after` (bytes, None
    for no file), parsed: the old text must be kept as it was and each new
    line must end in CR LF."""
    before, after = before or b"", after or b""
    if not after.startswith(before):
        raise BoardError("Tamsork.log was changed, not appended to: %r became %r" % (before[-200:], after[-200:]))
    added = after[len(before):]
    if not added:
        return []
    if not added.endswith(b"\r\n"):
        raise BoardError("Tamsork.log's new text does not end in CR LF: %r" % added[-80:])
    lines = added[:-2].split(b"\r\n")
    bare = [line for line in lines if b"\n" in line or b"\r" in line]
    if bare:
        raise BoardError("a log line with a bare CR or LF: %r" % bare[0])
    try:
        return [parse_log_line(line.decode("ascii")) for line in lines]
    except UnicodeDecodeError as error:
        raise BoardError("a log line that is not ASCII: %s" % error)


def log_time(text):
    """A log line's time as a naive datetime, or None when it is not one."""
    match = LOG_TIME.match(text)
    return datetime.datetime.strptime(match.group(1), "%Y-%m-%dT%H:%M:%S") if match else None


def parse_records(data):
    """Text records from a stand-in's port: one line each."""
    return [line for line in data.decode("latin-1").split("\n") if line]


def record_field(records, prefix):
    """The values of the records that start with prefix, in order."""
    return [r[len(prefix):].strip() for r in records if r.startswith(prefix)]


def tool_runs(records):
    """The flash tool stand-in's records, one list per start of the tool."""
    runs = []
    for record in records:
        if record == "START":
            runs.append([])
        if runs:
            runs[-1].append(record)
    return runs


class Boot:
    """What one boot left behind."""

    def __init__(self, number, directory):
        self.number = number
        self.directory = directory
        self.raw = b""
        self.console = ""
        self.ended = None  # "reset" or "timeout" or "fault"
        self.elapsed = 0.0
        self.exits = {}
        self.update_port = b""
        self.control_port = b""
        self.vendor = []
        self.tool = []
        self.state_before = None
        self.state_after = None
        self.bios_version = None
        self.product = None
        self.serial = None
        self.commands = []
        self.stick_before = None
        self.stick_after = None
        self.reset_line = None
        self.uuid = None
        self.smbios_protocol = True
        self.log_before = None
        self.log_after = None
        self.log_read_only = False
        # The (prompt, key) answers typed during the boot (Board.boot's
        # `answers`).
        self.answered = []
        # The host's UTC clock at the boot's start and end; QEMU starts the
        # guest's clock at the host's UTC time.
        self.clock = (None, None)

    @property
    def script_finished(self):
        return (SCRIPT_END + "\n") in self.console

    @property
    def requests(self):
        return [r for r in self.vendor if r.startswith("REQUEST ")]

    @property
    def tool_started(self):
        return "START" in self.tool

    def tool_field(self, prefix):
        return record_field(self.tool, prefix)

    def output(self, number=1):
        return invocation_output(self.console, number, self.reset_line)

    @property
    def logged(self):
        """The lines this boot's starts appended to Tamsork.log, parsed."""
        return appended_log(self.log_before, self.log_after)


def run_command(args, **kwargs):
    """Runs a tool of the harness; a failure raises BoardError with what it printed."""
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    result = subprocess.run(args, capture_output=True, env=env, **kwargs)
    if result.returncode != 0:
        raise BoardError("%s failed: %s" % (" ".join(args), result.stderr.decode(errors="replace").strip()))
    return result


# Where the one partition of a partitioned stick starts, as mtools write it
# after an image's name ("disk.img@@1M"), and in 512-byte sectors.
PARTITION_OFFSET = "1M"
PARTITION_START = 2048
# A partitioned disk's MBR: its disk signature (the firmware's device path
# shows it) and the partition type of each FAT size mkfs.vfat may choose.
DISK_SIGNATURE = 0x4B4D5354
PARTITION_TYPES = {b"FAT12": 0x01, b"FAT16": 0x0E}  # FAT16 with LBA addressing


def master_boot_record(sectors, kind):
    """A 512-byte MBR with one active partition of type `kind` and
    `sectors` sectors from PARTITION_START; CHS fields hold the "use LBA"
    values."""
    record = bytearray(512)
    record[440:444] = struct.pack("<I", DISK_SIGNATURE)
    record[446:462] = struct.pack("<B3sB3sII", 0x80, b"\xfe\xff\xff", kind, b"\xfe\xff\xff", PARTITION_START,
                                  sectors)
    record[510:512] = b"\x55\xaa"
    return bytes(record)


class Volume:
    """A FAT volume in an image, changed with mtools while no boot is
    running: the whole image (a "superfloppy", as OVMF reads it), or with
    `partitioned` the one partition of a disk with an MBR (U-Boot looks for
    file systems only in partitions). `path` is the image the board's disk
    gets; mtools reach the volume as `target`."""

    def __init__(self, path, size_kib=16384, label="TAMSORK", partitioned=False):
        self.path = path
        self.target = path + "@@" + PARTITION_OFFSET if partitioned else path
        if os.path.exists(path):
            os.remove(path)
        if not partitioned:
            run_command(["mkfs.vfat", "-C", "-n", label, path, str(size_kib)])
            return
        fat = path + ".fat"
        if os.path.exists(fat):
            os.remove(fat)
        run_command(["mkfs.vfat", "-C", "-n", label, fat, str(size_kib)])
        with open(path, "wb") as disk, open(fat, "rb") as f:
            # The FAT's own name for its size, in its boot sector.
            kind = PARTITION_TYPES[f.read(62)[54:59]]
            f.seek(0)
            disk.write(master_boot_record(size_kib * 2, kind))
            disk.write(bytes(PARTITION_START * 512 - 512))
            shutil.copyfileobj(f, disk)
        os.remove(fat)

    @classmethod
    def attach(cls, path):
        """A volume in an image made elsewhere, left as it is: the first
        partition of its MBR, or the whole image when it has none (a boot
        sector whose first byte is a jump)."""
        volume = cls.__new__(cls)
        volume.path = path
        with open(path, "rb") as f:
            sector = f.read(512)
        start, = struct.unpack_from("<I", sector, 454)
        partitioned = sector[510:512] == b"\x55\xaa" and sector[0] not in (0xEB, 0xE9) and sector[450] and start
        volume.target = path + "@@%d" % (start * 512) if partitioned else path
        return volume

    def put(self, name, data):
        """Writes data to name ("dir/file" allowed; directories must exist)."""
        temp = self.path + ".put"
        with open(temp, "wb") as f:
            f.write(data)
        try:
            run_command(["mcopy", "-n", "-o", "-i", self.target, temp, "::/" + name])
        finally:
            os.remove(temp)

    def put_file(self, source, name):
        run_command(["mcopy", "-n", "-o", "-i", self.target, source, "::/" + name])

    def set_read_only(self, name, read_only=True):
        run_command(["mattrib", "-i", self.target, "+r" if read_only else "-r", "::/" + name])

    def mkdir(self, name):
        run_command(["mmd", "-i", self.target, "::/" + name])

    def makedirs(self, name):
        """Makes each directory of "a/b" that is not there yet."""
        parent = ""
        for level in name.split("/"):
            if level.lower() not in [entry.lower() for entry in self.names(parent)]:
                self.mkdir(parent + level)
            parent += level + "/"

    def get(self, name):
        """The file's bytes, or None when it is not there."""
        temp = self.path + ".get"
        if os.path.exists(temp):
            os.remove(temp)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        result = subprocess.run(["mcopy", "-n", "-o", "-i", self.target, "::/" + name, temp], capture_output=True,
                                env=env)
        if result.returncode != 0 or not os.path.exists(temp):
            return None
        with open(temp, "rb") as f:
            data = f.read()
        os.remove(temp)
        return data

    def delete(self, name):
        if self.get(name) is not None:
            run_command(["mdel", "-i", self.target, "::/" + name])

    def files(self):
        """Every file on the volume, {"dir/name": bytes}, read in one go."""
        temp = self.path + ".files"
        if os.path.exists(temp):
            shutil.rmtree(temp)
        os.makedirs(temp)
        try:
            run_command(["mcopy", "-s", "-n", "-i", self.target, "::/*", temp])
            found = {}
            for root, _, names in os.walk(temp):
                for name in names:
                    path = os.path.join(root, name)
                    with open(path, "rb") as f:
                        found[os.path.relpath(path, temp)] = f.read()
            return found
        finally:
            shutil.rmtree(temp)

    def names(self, directory=""):
        """The entries of a directory, long names where there are any."""
        result = run_command(["mdir", "-b", "-i", self.target, "::/" + directory])
        entries = []
        for line in result.stdout.decode(errors="replace").splitlines():
            line = line.strip().rstrip("/")
            if line:
                entries.append(line.split("/")[-1])
        return entries


class Board:
    """One machine for one scenario: volumes and variable store persist
    across its boots."""

    def __init__(self, workdir, tamsork, vendor, tool, boot_timeout=60.0, log=None):
        self.workdir = os.path.abspath(workdir)
        if os.path.exists(self.workdir):
            shutil.rmtree(self.workdir)
        os.makedirs(self.workdir)
        for path in (tamsork, vendor, tool):
            if not os.path.isfile(path):
                raise BoardError("missing image %s (run `make efi`)" % path)
        self.tamsork, self.vendor, self.tool = tamsork, vendor, tool
        self.boot_timeout = boot_timeout
        self.log = log
        # The firmware: its code, the machine options it needs, and this
        # board's own copy of a variable store template.
        self.code = OVMF_CODE
        self.machine = ["-machine", "q35"]
        self.vars = os.path.join(self.workdir, "vars.fd")
        shutil.copyfile(OVMF_VARS, self.vars)
        # A firmware given whole as QEMU's -bios (U-Boot) instead of OVMF's
        # code and variable flash; what it prints when it fails to boot.
        self.bios = None
        self.fault_texts = FAULT_TEXTS
        # A line the firmware prints as it resets (OVMF prints none).
        self.reset_line = None
        self.make_volumes()
        self.bios_version = "V1.05"
        self.product = "KVX4720"
        self.serial = MACHINE_SERIAL
        self.uuid = MACHINE_UUID
        # Whether the firmware publishes QEMU's SMBIOS tables through the
        # SMBIOS protocol, where Tamsork reads versions and the machine
        # (U-Boot does not).
        self.smbios_protocol = True
        self.cpu = SUPPORTED_CPU
        # Where the stick sits: "usb", a removable usb-storage device on
        # QEMU's xHCI controller, as field sticks reach the firmware; or
        # "sata", a disk on the q35 machine's AHCI controller (U-Boot's
        # build has no xHCI driver).
        self.stick_bus = "usb"
        # A write-protected stick: QEMU's read-only drive, which OVMF's USB
        # mass-storage and virtio block drivers report as read-only media
        # (QEMU's IDE and AHCI disks cannot be read-only, so on "sata" the
        # stick is a virtio disk then).
        self.write_protected = False
        # Other USB sticks, on the ports before the stick's (Volume objects).
        self.other_sticks = []
        # The board's internal disk holding its firmware's driver (a Volume,
        # see install_driver), on the SATA port after the other volume's.
        self.board_disk = None
        # Whether the board's driver comes from a Driver#### boot option
        # (install_driver) rather than the harness's startup.nsh.
        self.driver_option = False
        # The USB stick first in the firmware's boot order, as a technician
        # sets it for a stick that boots its own Shell: QEMU's bootindex,
        # which OVMF follows.
        self.stick_first = False
        # Tamsork.log made read-only on the stick (lock_log).
        self.log_read_only = False
        self.boots = []
        self.notes = []
        # Shell commands run at the start of every boot, after the driver
        # is loaded.
        self.before_each_boot = []

    # ------------------------------------------------------------ helpers

    def make_volumes(self, partitioned=False):
        """Fresh volumes: the stick with Tamsork and the stand-ins, and the
        other volume."""
        self.volume = Volume(os.path.join(self.workdir, "fs0.img"), label="TAMSORK", partitioned=partitioned)
        self.other = Volume(os.path.join(self.workdir, "fs1.img"), size_kib=2048, label="OTHER",
                            partitioned=partitioned)
        self.volume.put_file(self.tamsork, "Tamsork.efi")
        self.volume.put_file(self.vendor, "VendorControl.efi")
        self.volume.put_file(self.tool, TOOL_NAME)
        self.other.put(".mapping-fs1", b"the second volume\n")

    def install_driver(self):
        """Makes the board's firmware load its vendor control driver at
        every boot, with nothing on the stick: the driver on the board's
        internal disk, and a Driver#### boot option made by the Shell's
        bcfg on one setup boot from that disk alone; its setup script is
        removed after it. Returns that boot."""
        self.board_disk = Volume(os.path.join(self.workdir, "board.img"), size_kib=2048, label="BOARD")
        self.board_disk.put_file(self.vendor, "VendorControl.efi")
        self.driver_option = True
        boot = self.boot([], setup=script_text([
            "fs0:", 'bcfg driver add 0 fs0:\\VendorControl.efi "Board vendor control"', "bcfg driver dump",
            "reset"]))
        if boot.ended != "reset" or not re.search(r"Desc +- Board vendor control\n", boot.console):
            raise BoardError("the setup boot made no Driver#### option. Console:\n%s" % tail(boot.console))
        return boot

    def firmware(self):
        if self.bios is not None:
            return ["-bios", self.bios]
        return ["-drive", "if=pflash,format=raw,readonly=on,file=" + self.code,
                "-drive", "if=pflash,format=raw,file=" + self.vars]

    def note(self, text):
        """An observation worth reporting that is not a check."""
        self.notes.append(text)

    def state(self):
        return self.volume.get("State.dat")

    def place_tool(self, directory):
        """Moves the flash tool from the stick's root into `directory`
        ("EFI/Tools", made as needed); None takes it off the stick."""
        self.volume.delete(TOOL_NAME)
        if directory is not None:
            self.volume.makedirs(directory)
            self.volume.put_file(self.tool, directory + "/" + TOOL_NAME)

    def lock_log(self, text):
        """Puts a read-only Tamsork.log holding `text` on the stick."""
        self.volume.put(LOG_NAME, text)
        self.volume.set_read_only(LOG_NAME)
        self.log_read_only = True

    def place_state(self, value):
        if value is None:
            self.volume.delete("State.dat")
        else:
            self.volume.put("State.dat", value)

    @staticmethod
    def command_lines(commands, nested=False):
        """Each command between markers, followed by its exit status; a
        command given as a sequence of lines runs its leading lines (a
        change of directory, say) before the start marker and marks only
        its last. With `nested` each command is the one line of a script of
        its own, fs0:\\run-N.nsh: an image the firmware refuses to start
        stops the script it is in, and so stops only that one."""
        lines = []
        for number, command in enumerate(commands, start=1):
            setup, launch = split_command(command)
            lines += setup
            lines.append('echo "TAMSORK-RUN-%d"' % number)
            lines.append("fs0:\\" + nested_script(number) if nested else launch)
            lines.append('echo "TAMSORK-EXIT-%d=%%lasterror%%"' % number)
        return lines + ["fs0:", 'echo "%s"' % SCRIPT_END, "reset"]

    @classmethod
    def script(cls, commands, before=(), typed=False, nested=False, driver=True):
        """startup.nsh: load the driver (unless `driver` is false), run
        `before` (for example a change of directory), then the commands and
        reset the board. With `typed` the script stops after `before`, and
        the commands are typed at the Shell's prompt."""
        lines = ["fs0:"] + (["load fs0:\\VendorControl.efi"] if driver else []) + list(before)
        lines += ['echo "%s"' % READY] if typed else cls.command_lines(commands, nested)
        return script_text(lines)

    def drives(self, only_board_disk=False):
        """QEMU's disks: the stick, any other USB sticks, the other volume
        and the board's internal disk.

        OVMF's Shell maps file systems in the order of their device paths'
        text, removable or not. The xHCI controller sits at 00:14.0, where
        Intel chipsets put theirs, so PciRoot(0x0)/Pci(0x14,0x0)/USB(...)
        comes before the SATA controller's Pci(0x1F,0x2): the stick is FS0:
        (or comes after the other sticks, which sit on lower ports,
        USB(0x0,0x0) before USB(0x1,0x0)) and the other volume, an internal
        SATA disk, is mapped after the sticks (in slot 2, the first free
        one, xHCI would come after SATA, "0x1F" < "0x2,"). On "sata" the stick is
        the first SATA disk; a write-protected one needs the other volume on
        virtio too, in the next PCI slot, to stay FS0: (a disk on the SATA
        controller, Pci(0x1F,0x2) on OVMF and Scsi(0,0) on U-Boot, would
        come first). The slots are given: U-Boot finds no virtio disk in
        slot 1, where QEMU puts the first one when it adds no default
        devices. With `only_board_disk` the board's internal disk is the one
        disk, at the same SATA port as ever."""
        internal = ([] if self.board_disk is None else
                    ["-drive", "format=raw,index=%d,file=%s" % (BOARD_DISK_PORT, self.board_disk.path)])
        if only_board_disk:
            return internal
        if self.stick_bus == "usb":
            args = ["-device", "qemu-xhci,id=xhci,addr=0x14"]
            for port, volume in enumerate(self.other_sticks + [self.volume], start=1):
                read_only = ",readonly=on" if volume is self.volume and self.write_protected else ""
                first = ",bootindex=0" if volume is self.volume and self.stick_first else ""
                args += ["-drive", "if=none,id=stick%d,format=raw,file=%s%s" % (port, volume.path, read_only),
                         "-device", "usb-storage,bus=xhci.0,port=%d,drive=stick%d,removable=on%s" % (port, port, first)]
            return args + ["-drive", "format=raw,index=1,file=" + self.other.path] + internal
        if self.write_protected:
            return ["-drive", "if=none,id=stick,readonly=on,format=raw,file=" + self.volume.path,
                    "-device", "virtio-blk-pci,drive=stick,addr=0x3",
                    "-drive", "if=none,id=other,format=raw,file=" + self.other.path,
                    "-device", "virtio-blk-pci,drive=other,addr=0x4"] + internal
        return ["-drive", "format=raw,index=0,file=" + self.volume.path,
                "-drive", "format=raw,index=1,file=" + self.other.path] + internal

    # ------------------------------------------------------------ a boot

    @staticmethod
    def _send(process, data, typed):
        """Sends bytes to the serial input; a typed line goes one key at a
        time, as a person types, so the Shell's line editor keeps up."""
        try:
            for index in range(len(data)):
                process.stdin.write(data[index:index + 1])
                process.stdin.flush()
                if typed:
                    time.sleep(0.02)
        except OSError:
            pass  # the board is already gone

    def boot(self, commands, before=(), keys=(), forbid=(), control_readback=0x41, typed=False, nested=False,
             watch_stick=False, own_script=False, setup=None, typed_ahead="", driver=True, answers=()):
        """One boot: the Shell runs `commands` from startup.nsh, or with
        `typed` they are typed at its prompt one line at a time, or with
        `nested` each from a script of its own. `keys` are (prompt, key)
        pairs typed in order, each once its prompt shows (with `typed`,
        during the first command; a key ending in CR is a line, typed key
        by key); `typed_ahead` are keys typed at once after
        the key that skips the Shell's countdown, before anything asks for
        them. `forbid` are texts that end the boot as failed when they show.
        Without `driver` the script does not load the board's vendor control
        driver: the board has no control service that boot. With
        `watch_stick` the boot records every file of the stick before and
        after. With `own_script` the Shell runs the stick's own
        startup.nsh, which the harness leaves alone (`commands` are not
        run): the boot ends at a reset, or at the Shell's prompt once the
        script is over (no harness marker shows what ran). `setup` is the text of a startup.nsh put on the board's
        internal disk for a boot with that disk alone, removed after it.
        `answers` are (text, key) pairs for prompts that may or may not
        come: the key is typed each time its text shows anew, and a text
        that never shows is no failure; the boot's `answered` lists them as
        typed."""
        number = len(self.boots) + 1
        directory = os.path.join(self.workdir, "boot-%02d" % number)
        os.makedirs(directory)
        boot = Boot(number, directory)
        boot.commands = list(commands)
        boot.reset_line = self.reset_line
        before = list(self.before_each_boot) + list(before)
        boot.state_before = self.state()
        boot.bios_version = self.bios_version
        boot.product = self.product
        boot.serial = self.serial
        boot.uuid = self.uuid
        boot.smbios_protocol = self.smbios_protocol
        boot.log_read_only = self.log_read_only
        boot.log_before = self.volume.get(LOG_NAME)
        if setup is not None:
            self.board_disk.put("startup.nsh", setup)
        elif not own_script:
            self.volume.put("startup.nsh", self.script(commands, before, typed, nested, driver))
        if nested:
            for index, command in enumerate(commands, start=1):
                self.volume.put(nested_script(index), script_text([split_command(command)[1]]))
        if watch_stick:
            boot.stick_before = self.volume.files()

        files = {name: os.path.join(directory, name) for name in
                 ("update-port.bin", "control-port.bin", "vendor.txt", "tool.txt")}
        args = [
            QEMU] + self.machine + ["-m", "256", "-cpu", self.cpu,
            "-display", "none", "-monitor", "none", "-serial", "stdio",
            "-no-reboot", "-net", "none",
        ] + self.firmware() + self.drives(only_board_disk=setup is not None) + [
            "-smbios", "type=0,version=" + self.bios_version,
            "-smbios", system_information(self.product, self.serial, self.uuid),
            "-chardev", "file,id=update,path=" + files["update-port.bin"],
            "-device", "isa-debugcon,iobase=0x%X,chardev=update" % UPDATE_PORT,
            "-chardev", "file,id=control,path=" + files["control-port.bin"],
            "-device", "isa-debugcon,iobase=0x%X,chardev=control,readback=0x%X" % (CONTROL_PORT, control_readback),
            "-chardev", "file,id=vendor,path=" + files["vendor.txt"],
            "-device", "isa-debugcon,iobase=0x%X,chardev=vendor" % VENDOR_RECORD_PORT,
            "-chardev", "file,id=tool,path=" + files["tool.txt"],
            "-device", "isa-debugcon,iobase=0x%X,chardev=tool" % TOOL_RECORD_PORT,
        ]
        with open(os.path.join(directory, "qemu-command.txt"), "w") as f:
            f.write(" ".join(args) + "\n")

        stderr = open(os.path.join(directory, "qemu-stderr.txt"), "wb")
        utc_started = datetime.datetime.utcnow()
        started = time.monotonic()
        process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr)
        received = bytearray()
        lock = threading.Lock()

        def reader():
            while True:
                chunk = process.stdout.read1(4096)
                if not chunk:
                    return
                with lock:
                    received.extend(chunk)

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()

        # What to send, in order, each once its text shows on the console
        # after the previous one's.
        pending = [("countdown", COUNTDOWN_TEXT, b"x" + typed_ahead.encode("latin-1"))]
        prompts = [("prompt", p, k.encode("latin-1")) for p, k in keys]
        if typed:
            pending.append(("text", READY + "\n", b""))
            # The keys answer the first launch, which follows its setup
            # lines and its start marker.
            first_launch = len(split_command(commands[0])[0]) + 1
            for index, line in enumerate(self.command_lines(commands)):
                pending.append(("line", SHELL_PROMPT, line.encode("ascii") + b"\r"))
                if index == first_launch:
                    pending += prompts
        else:
            pending += prompts
        searched_from = 0
        answered_from = [0] * len(answers)
        quiet_since, quiet_length = None, 0
        deadline = started + self.boot_timeout
        ended = None
        failure = None
        while True:
            with lock:
                text = console_text(bytes(received))
            fault = next((t for t in tuple(self.fault_texts) + tuple(forbid) if t in text), None)
            if fault is not None:
                ended = "fault"
                failure = "console showed %r" % fault
                break
            while pending:
                kind, wanted, data = pending[0]
                if isinstance(wanted, str):
                    at = text.find(wanted, searched_from)
                    end = at + len(wanted)
                else:
                    match = wanted.search(text, searched_from)
                    at, end = (match.start(), match.end()) if match else (-1, -1)
                if at < 0 and kind == "countdown" and (READY in text or "TAMSORK-RUN-" in text):
                    # The countdown ran out before it was seen: no key went
                    # in, and keys meant to be typed ahead never can.
                    pending.pop(0)
                    if typed_ahead:
                        failure = "the countdown was not seen; %r was never typed ahead" % typed_ahead
                    continue
                if at < 0:
                    break
                searched_from = end
                # Give the waiting code a moment to reach its read.
                time.sleep(0.2)
                self._send(process, data, typed=kind == "line" or data.endswith(b"\r"))
                pending.pop(0)
            for index, (wanted, key) in enumerate(answers):
                at = text.find(wanted, answered_from[index])
                if at >= 0:
                    answered_from[index] = at + len(wanted)
                    time.sleep(0.2)
                    self._send(process, key.encode("latin-1"), typed=False)
                    boot.answered.append((wanted, key))
            if process.poll() is not None:
                ended = "reset"
                break
            if own_script and not pending and AT_PROMPT.search(text):
                # Back at the prompt with nothing more to come: the script
                # is over, and only a person would go on from here.
                if quiet_since is None or len(text) != quiet_length:
                    quiet_since, quiet_length = time.monotonic(), len(text)
                elif time.monotonic() - quiet_since > PROMPT_QUIET:
                    ended = "prompt"
                    break
            else:
                quiet_since = None
            if time.monotonic() > deadline:
                ended = "timeout"
                failure = "no reset within %.0f s" % self.boot_timeout
                break
            time.sleep(0.05)

        if process.poll() is None:
            process.kill()
        process.wait()
        thread.join(timeout=5)
        stderr.close()
        boot.elapsed = time.monotonic() - started
        boot.clock = (utc_started, datetime.datetime.utcnow())
        boot.raw = bytes(received)
        boot.console = console_text(boot.raw)
        boot.ended = ended
        with open(os.path.join(directory, "console.raw"), "wb") as f:
            f.write(boot.raw)
        with open(os.path.join(directory, "console.txt"), "w") as f:
            f.write(boot.console)

        def read(name):
            try:
                with open(files[name], "rb") as f:
                    return f.read()
            except FileNotFoundError:
                return b""

        boot.update_port = read("update-port.bin")
        boot.control_port = read("control-port.bin")
        boot.vendor = parse_records(read("vendor.txt"))
        boot.tool = parse_records(read("tool.txt"))
        boot.exits = parse_exits(boot.console)
        boot.state_after = self.state()
        boot.log_after = self.volume.get(LOG_NAME)
        if watch_stick:
            boot.stick_after = self.volume.files()
        # What the flash tool wrote becomes the running BIOS version of the
        # boots that follow.
        flashed = flashed_version(boot.tool)
        if flashed is not None:
            self.bios_version = "V" + flashed
        self.boots.append(boot)
        if self.log is not None:
            self.log(boot)
        if setup is not None:
            self.board_disk.delete("startup.nsh")
        elif failure is None and any(r.startswith("INSTALLED ") for r in boot.vendor) != driver:
            # The script loads the driver from fs0:\ (or the firmware from
            # its Driver#### option); without it FS0: was not the stick, or
            # the option did not work, and no launch saw the board it
            # should.
            failure = "the vendor control driver was %s" % ("never loaded" if driver else "loaded")
        if failure is not None:
            raise BoardError("boot %d: %s (after %.1f s). Console:\n%s" % (number, failure, boot.elapsed,
                                                                         tail(boot.console)))
        if pending and pending[0][0] in ("prompt", "text"):
            raise BoardError("boot %d: prompt %r never showed. Console:\n%s" % (number, pending[0][1],
                                                                               tail(boot.console)))
        return boot


def split_command(command):
    """(setup lines, launch) of a command: a line alone, or a sequence of
    lines whose last is the launch."""
    if isinstance(command, str):
        return [], command
    return list(command[:-1]), command[-1]


def nested_script(number):
    return "run-%d.nsh" % number


def script_text(lines):
    """A Shell script's bytes: ASCII lines ending in CR LF."""
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def tail(text, lines=60):
    return "\n".join(text.rstrip("\n").split("\n")[-lines:])
