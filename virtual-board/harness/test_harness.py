"""The harness's reading of what a boot leaves: console bytes as OVMF and
U-Boot send them (samples taken from real boots), the exit markers, the raw line ends
and the stand-ins' records. A slip here would make a scenario pass or fail
for the wrong reason."""

import datetime
import lzma
import os
import re
import struct
import sys
import unittest

sys.dont_write_bytecode = True

import board  # noqa: E402
import scenarios  # noqa: E402
import secure_boot  # noqa: E402
import shell_extract  # noqa: E402

PROMPT = b"\x1b[1m\x1b[33m\x1b[40mFS0:\\> \x1b[0m\x1b[37m\x1b[40m"


def typed(row, column, text):
    """The Shell's line editor echoing keys: a cursor move around each."""
    out = b""
    for char in text.encode():
        out += b"\x1b[%d;%02dH" % (row, column) + bytes([char])
        column += 1
        out += b"\x1b[%d;%02dH" % (row, column)
    return out


class ConsoleText(unittest.TestCase):
    CASES = [
        ("colour codes vanish",
         PROMPT + b"Tamsork.efi\r\n", "FS0:\\> Tamsork.efi\n"),
        ("a move to another row breaks the line",
         b"0)\r\n\x1b[11;01HPress ESC in 5\x1b[12;01Hnext", "0)\n\nPress ESC in 5\nnext"),
        ("moves within one row keep typed keys together",
         b"\x1b[18;01H" + PROMPT + typed(18, 8, 'echo "X"') + b"\r\nX\r\n",
         '\nFS0:\\> echo "X"\nX\n'),
        ("LF without CR is still a line break",
         b"Kestrune Version 3.3\nHelp!\n", "Kestrune Version 3.3\nHelp!\n"),
        ("U-Boot's query of the terminal's size",
         b"\x1b7\x1b[r\x1b[999;999H\x1b[6n\x1b8No EFI system partition\r\n", "\nNo EFI system partition\n"),
    ]

    def test_cases(self):
        for name, raw, expected in self.CASES:
            with self.subTest(name):
                self.assertEqual(board.console_text(raw), expected)


SCRIPT_BOOT = (
    'FS0:\\> echo "TAMSORK-RUN-1"\nTAMSORK-RUN-1\n'
    "FS0:\\> Tamsork.efi\nKestrune Version 3.3\n           Ombrel, KVX9310\nHelp!\n"
    'FS0:\\> echo "TAMSORK-EXIT-1=%lasterror%"\nTAMSORK-EXIT-1=0xE\n'
    'FS0:\\> echo "TAMSORK-RUN-2"\nTAMSORK-RUN-2\n'
    # A launch through a nested Shell: its banner and mapping table are not
    # the application's.
    "FS0:\\> Shell.efi -exit Tamsork.efi bios.bin\nUEFI Interactive Shell v2.2\nEDK II\n"
    "UEFI v2.70 (EDK II, 0x00010000)\nMapping table\n      FS0: Alias(s):F0a65535a:;BLK0:\n"
    "          PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)\nBIOS Update done!\n"
    'FS0:\\> echo "TAMSORK-EXIT-2=%lasterror%"\nTAMSORK-EXIT-2=0x0\n'
    'FS0:\\> echo "TAMSORK-RUN-3"\nTAMSORK-RUN-3\n'
    "FS1:\\sub\\> fs0:\\Tamsork.efi bios.bin -b\nPlease enable UPDATE MODE to flash BIOS!\n"
    # U-Boot's line as it resets.
    "resetting ...\n")


class Markers(unittest.TestCase):
    def test_exit_statuses_come_from_the_echoed_values_only(self):
        self.assertEqual(board.parse_exits(SCRIPT_BOOT), {1: 0xE, 2: 0})

    def test_output_of_each_launch(self):
        cases = [
            (1, None, "Kestrune Version 3.3\n           Ombrel, KVX9310\nHelp!"),
            (2, None, "BIOS Update done!"),
            # Never returned: everything to the end, without the command
            # echo and, where the firmware has one, its reset line.
            (3, "resetting ...", "Please enable UPDATE MODE to flash BIOS!"),
            (3, None, "Please enable UPDATE MODE to flash BIOS!\nresetting ..."),
            (1, "Help!", "Kestrune Version 3.3\n           Ombrel, KVX9310\nHelp!"),
            (4, None, None),
        ]
        for number, reset_line, expected in cases:
            with self.subTest(number=number, reset_line=reset_line):
                self.assertEqual(board.invocation_output(SCRIPT_BOOT, number, reset_line), expected)


    def test_mapping_table(self):
        # OVMF's table (its handle order), then a nested Shell's, not read.
        text = ("Mapping table\n      FS1: Alias(s):F1b65535a:;BLK1:\n"
                "          PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x1,0xFFFF,0x0)\n"
                "      FS0: Alias(s):HD0a0:;BLK0:\n          PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)\n"
                "     BLK2: Alias(s):\n          PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x2,0xFFFF,0x0)\n\n"
                "Mapping table\n      FS0: Alias(s):X:\n          Other\n")
        self.assertEqual(board.mapping(text), {"FS0": "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)",
                                               "FS1": "PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x1,0xFFFF,0x0)"})
        self.assertEqual(board.mapping("no table\n"), {})


class RawLineEnds(unittest.TestCase):
    def raw(self, output):
        return (b'echo "TAMSORK-RUN-1"\r\nTAMSORK-RUN-1\r\n' + PROMPT + b"Tamsork.efi\r\n" + output + PROMPT
                + b'echo "TAMSORK-EXIT-1=%lasterror%"\r\nTAMSORK-EXIT-1=0xE\r\n')

    def test_segment_is_exactly_what_the_application_printed(self):
        cases = [
            (b"A\r\nB\r\n", b"A\r\nB\r\n"),
            (b"A\nB\n", b"A\nB\n"),
            (b"", b""),
        ]
        for output, expected in cases:
            with self.subTest(output=output):
                self.assertEqual(scenarios.raw_output(self.raw(output), 1), expected)

    def test_missing_launch(self):
        self.assertIsNone(scenarios.raw_output(self.raw(b"A\r\n"), 2))


class Records(unittest.TestCase):
    def test_flashed_version(self):
        cases = [
            (["START", "IMAGE size=262144 version=1.06", "DONE"], "1.06"),
            (["START", "IMAGE missing status=0x800000000000000e", "DONE"], None),
            (["START", "IMAGE size=12 version=none"], None),
            # A run that read the image and flashed nothing leaves the version.
            (["START", "IMAGE size=262144 version=1.06 not-flashed", "DONE"], None),
            ([], None),
        ]
        for records, expected in cases:
            with self.subTest(records=records):
                self.assertEqual(board.flashed_version(records), expected)

    def test_state_text(self):
        cases = [(None, "(no file)"), (b"", "(empty)"), (b"1", "'1'"), (b"3" + bytes(104), "'3' + 104-byte record")]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(board.state_text(value), expected)

    def test_system_information_leaves_out_unset_fields(self):
        cases = [
            (("KVX4720", "S1", "0-1"), "type=1,product=KVX4720,serial=S1,uuid=0-1"),
            (("KVX4720", None, "0-1"), "type=1,product=KVX4720,uuid=0-1"),
            (("KVX4720", None, None), "type=1,product=KVX4720"),
        ]
        for fields, expected in cases:
            with self.subTest(fields=fields):
                self.assertEqual(board.system_information(*fields), expected)

    def test_port_records_split_into_lines(self):
        self.assertEqual(board.parse_records(b"INSTALLED status=0x0\nREQUEST a\n"),
                         ["INSTALLED status=0x0", "REQUEST a"])
        self.assertEqual(board.parse_records(b""), [])

    def test_tool_records_split_at_each_start(self):
        cases = [
            (["START", "ARGC 2", "DONE", "START", "DONE"], [["START", "ARGC 2", "DONE"], ["START", "DONE"]]),
            (["DONE", "START"], [["START"]]),
            ([], []),
        ]
        for records, expected in cases:
            with self.subTest(records=records):
                self.assertEqual(board.tool_runs(records), expected)


class Images(unittest.TestCase):
    def test_marker_follows_the_anchor_and_decoys_precede_it(self):
        for major, minor in [(1, 4), (1, 6), (9, 99)]:
            with self.subTest(version=(major, minor)):
                image = scenarios.bios_image(major, minor)
                anchor = image.index(b"$BVDT")
                field = b"$.a%d.%02d" % (major, minor)
                self.assertGreater(image.index(field), anchor)
                # A reader that ignored the anchor would find another field first.
                self.assertLess(image.index(b"$.a"), anchor)
                self.assertEqual(len(image), 256 * 1024)


class Script(unittest.TestCase):
    def test_script_runs_commands_between_markers_then_resets(self):
        script = board.Board.script(["Tamsork.efi x"], before=["cd sub"]).decode().split("\r\n")
        self.assertEqual(script[:4], ["fs0:", "load fs0:\\VendorControl.efi", "cd sub", 'echo "TAMSORK-RUN-1"'])
        self.assertEqual(script[4:6], ["Tamsork.efi x", 'echo "TAMSORK-EXIT-1=%lasterror%"'])
        self.assertEqual(script[-2:], ["reset", ""])
        # A board without its control service: the driver is not loaded.
        script = board.Board.script(["Tamsork.efi x"], before=["cd sub"], driver=False).decode().split("\r\n")
        self.assertEqual(script[:3], ["fs0:", "cd sub", 'echo "TAMSORK-RUN-1"'])

    def test_nested_script_calls_one_script_per_command(self):
        script = board.Board.script(["Tamsork.efi x", "Other.efi"], nested=True).decode().split("\r\n")
        self.assertEqual(script[2:5], ['echo "TAMSORK-RUN-1"', "fs0:\\run-1.nsh", 'echo "TAMSORK-EXIT-1=%lasterror%"'])
        self.assertEqual(script[6], "fs0:\\run-2.nsh")
        self.assertNotIn("Tamsork.efi x", script)

    def test_setup_lines_run_before_the_start_marker(self):
        for nested, launch in [(False, "Tamsork.efi x"), (True, "fs0:\\run-1.nsh")]:
            with self.subTest(nested=nested):
                script = board.Board.script([("fs1:", "cd \\sub", "Tamsork.efi x")], nested=nested)
                self.assertEqual(script.decode().split("\r\n")[2:6],
                                 ["fs1:", "cd \\sub", 'echo "TAMSORK-RUN-1"', launch])

    def test_options_go_on_the_launch(self):
        cases = [
            ("Tamsork.efi x", "Tamsork.efi x -d"),
            (("fs0:", "cd \\sub", "Tamsork.efi x"), ("fs0:", "cd \\sub", "Tamsork.efi x -d")),
        ]
        for command, expected in cases:
            with self.subTest(command=command):
                self.assertEqual(scenarios.with_options(command, " -d"), expected)

    def test_launches_at_given_states_each_leave_a_copy(self):
        class Stick:
            files = {"left-1.dat": b"stale"}

            def put(self, name, data):
                self.files[name] = data

            def delete(self, name):
                self.files.pop(name, None)

            def get(self, name):
                return self.files.get(name)

        class Machine:
            volume = Stick()

        machine = Machine()
        rows = [(b"1", "T a"), (None, ("cp -q x y", "T b")), (b"3", "T c")]
        commands, left = scenarios.launches_at(machine, rows)
        self.assertEqual(commands, [("cp -q put-1.dat State.dat", "T a"),
                                    ("cp -q State.dat left-1.dat", "cp -q x y", "T b"),
                                    ("cp -q State.dat left-2.dat", "cp -q put-3.dat State.dat", "T c")])
        self.assertEqual((machine.volume.files["put-1.dat"], machine.volume.files["put-3.dat"]), (b"1", b"3"))
        # A copy from an earlier boot does not stand for this boot's.
        machine.volume.files["left-2.dat"] = b"2"

        class Boot:
            state_after = None

        self.assertEqual(left(Boot()), [None, b"2", None])

    def test_typed_script_stops_before_the_commands(self):
        script = board.Board.script(["Tamsork.efi x"], typed=True).decode()
        self.assertNotIn("Tamsork.efi", script)
        self.assertNotIn("reset", script)
        self.assertTrue(script.endswith('echo "%s"\r\n' % board.READY))


# A line as Tamsork writes it on the board, and the fields it holds.
LOG_LINE = ('time=2026-12-08T17:02:50 serial=TSK0001A product=KVX4720 uuid=6b1f3c2e-5d4a-4e8b-9c07-1a2b3c4d5e01 '
            'bios=V1.05 file=bios.bin switches="" version=1.06 before=none after=1 step=begin outcome=Success')


def log_line(**fields):
    """LOG_LINE with some values replaced as they stand in the text."""
    line = LOG_LINE
    for key, value in fields.items():
        line = re.sub(r"(?<![^ ])%s=(\"[^\"]*\"|\S+)" % key, lambda _: "%s=%s" % (key, value), line)
    return line


class LogLines(unittest.TestCase):
    READ = [
        ("plain values", LOG_LINE, {"serial": "TSK0001A", "switches": "", "before": "none", "step": "begin"}),
        ("blanks and escapes in quotes",
         log_line(product='"KVX4720 rev\\x09B"', bios='"V1.05 \\x22beta\\x22"', file='"b\\xe9 \\u4e2d.bin"',
                  switches='"-b -d"', outcome='"Not Found"'),
         {"product": "KVX4720 rev\tB", "bios": 'V1.05 "beta"', "file": "b\xe9 \u4e2d.bin", "switches": "-b -d",
          "outcome": "Not Found"}),
        ("a backslash escaped", log_line(serial='"S\\x5cN"'), {"serial": "S\\N"}),
        ("an unknown byte", log_line(before="0x58"), {"before": "0x58"}),
    ]
    REFUSED = [
        ("a field missing", LOG_LINE.replace(" version=1.06", ""), "keys are"),
        ("fields out of order", LOG_LINE.replace("serial=TSK0001A product=KVX4720", "product=KVX4720 serial=TSK0001A"),
         "keys are"),
        ("a field twice", LOG_LINE + " step=done", "keys are"),
        ("an empty value unquoted", log_line(switches=""), "key=value"),
        ("quotes without need", log_line(serial='"TSK0001A"'), "without need"),
        ("an escape without need", log_line(file='"b\\x69os.bin"'), "without need"),
        ("a raw tab in quotes", log_line(product='"KVX\tB"'), "key=value"),
        ("a raw quote", log_line(serial='S"N'), "key=value"),
        ("a blank at the end", LOG_LINE + " ", "keys are"),
        ("an escape of another form", log_line(file='"a\\tb"'), "key=value"),
    ]

    def test_read(self):
        for name, line, fields in self.READ:
            with self.subTest(name):
                parsed = board.parse_log_line(line)
                self.assertEqual(tuple(parsed), board.LOG_KEYS)
                self.assertEqual({key: parsed[key] for key in fields}, fields)

    def test_refused(self):
        for name, line, message in self.REFUSED:
            with self.subTest(name):
                with self.assertRaisesRegex(board.BoardError, message):
                    board.parse_log_line(line)

    def test_appended(self):
        line = LOG_LINE.encode() + b"\r\n"
        cases = [
            ("no log before or after", None, None, 0),
            ("the first line", None, line, 1),
            ("a line after an old one", b"old\r\n", b"old\r\n" + line, 1),
            ("two lines", line, line * 3, 2),
        ]
        for name, before, after, count in cases:
            with self.subTest(name):
                self.assertEqual(len(board.appended_log(before, after)), count)

    def test_not_appended(self):
        line = LOG_LINE.encode()
        cases = [
            ("old text changed", b"old\r\n", b"odd\r\n" + line + b"\r\n", "not appended"),
            ("old text gone", b"old\r\n", None, "not appended"),
            ("no CR LF at the end", None, line, "CR LF"),
            ("LF alone", None, line + b"\n", "CR LF"),
            ("a bare LF inside", None, line + b"\n" + line + b"\r\n", "bare"),
            ("not ASCII", None, line.replace(b"TSK", b"TS\xc4") + b"\r\n", "ASCII"),
            # No board start leaves a torn line: the CR LF that would end one is a line of no fields.
            ("an empty line", b"torn", b"torn\r\n" + line + b"\r\n", "keys are"),
        ]
        for name, before, after, message in cases:
            with self.subTest(name):
                with self.assertRaisesRegex(board.BoardError, message):
                    board.appended_log(before, after)

    def test_time(self):
        cases = [
            ("2026-12-08T17:02:50", datetime.datetime(2026, 12, 8, 17, 2, 50)),
            ("2026-12-08T17:02:50Z", datetime.datetime(2026, 12, 8, 17, 2, 50)),
            ("unknown", None),
            ("2026-12-08 17:02:50", None),
        ]
        for text, expected in cases:
            with self.subTest(text):
                self.assertEqual(board.log_time(text), expected)

    def test_launch_fields(self):
        cases = [
            ("Tamsork.efi bios.bin", {"file": "bios.bin", "switches": ""}),
            ("Tamsork.efi bios.bin -b -d", {"file": "bios.bin", "switches": "-b -d"}),
            ("Shell.efi -nostartup -exit Tamsork.efi bios.bin -d", {"file": "bios.bin", "switches": "-d"}),
            (("fs0:", "cd \\sub", "fs0:\\Tamsork.efi x.bin"), {"file": "x.bin", "switches": ""}),
        ]
        for launch, expected in cases:
            with self.subTest(launch=launch):
                self.assertEqual(scenarios.launch_fields(launch), expected)


def read_back(*machines, **report):
    """A report as tamsork log --json gives it, for machines given as
    (serial, uuid) or (serial, uuid, {field: value})."""
    lines = scenarios.UPDATE_LINES
    rows = [dict({"serial": m[0], "uuid": m[1], "bios_before": "V1.05", "bios_after": "V1.06",
                  "launches": scenarios.UPDATE_STARTS,
                  "outcome": {"code": "done", "line": lines}}, **(m[2] if len(m) > 2 else {})) for m in machines]
    return dict({"command": "log", "lines": lines * len(machines), "unreadable": [], "machines": rows}, **report)


class LogReadBack(unittest.TestCase):
    MACHINES = [("S1", "u-1"), ("S2", "u-2")]
    REFUSED = [
        ("one not done", read_back(("S1", "u-1"), ("S2", "u-2", {"outcome": {"code": "failed"}})), "S2"),
        ("one still at a step", read_back(("S1", "u-1"), ("S2", "u-2", {"outcome": None})), "S2"),
        ("one not flashed", read_back(("S1", "u-1", {"bios_after": "V1.05"}), ("S2", "u-2")), "S1"),
        ("a launch more", read_back(("S1", "u-1", {"launches": scenarios.UPDATE_STARTS + 1}), ("S2", "u-2")), "S1"),
        ("one missing", read_back(("S1", "u-1")), "machines"),
        ("a third machine", read_back(("S1", "u-1"), ("S2", "u-2"), ("S3", "u-3")), "machines"),
        ("another UUID", read_back(("S1", "u-1"), ("S2", "u-9")), "machines"),
        ("the other order", read_back(("S2", "u-2"), ("S1", "u-1")), "machines"),
        ("a line not read", read_back(("S1", "u-1"), ("S2", "u-2"), unreadable=[3]), "unreadable"),
        ("not an object", [], "not an object"),
    ]

    def test_accepted(self):
        scenarios.expect_machines_updated(read_back(*self.MACHINES), self.MACHINES)

    def test_refused(self):
        for name, report, message in self.REFUSED:
            with self.subTest(name):
                with self.assertRaisesRegex(scenarios.Failure, message):
                    scenarios.expect_machines_updated(report, self.MACHINES)


# ------------------------------------------------------------ the Shell extractor
# Firmware images built here the way OVMF lays out its own: an outer volume
# whose one file holds an LZMA-compressed volume-image section.

def section(kind, content, extended=False):
    if extended:
        out = b"\xff\xff\xff" + bytes([kind]) + struct.pack("<I", 8 + len(content)) + content
    else:
        out = struct.pack("<I", 4 + len(content))[:3] + bytes([kind]) + content
    return out + b"\0" * (-len(out) % 4)


def ui(name):
    return section(shell_extract.SECTION_USER_INTERFACE, (name + "\0").encode("utf-16-le"))


def lzma_section(content):
    packed = lzma.compress(content, format=lzma.FORMAT_ALONE)
    guid = shell_extract.LZMA_GUID.bytes_le + struct.pack("<HH", 24, 1)
    return section(shell_extract.SECTION_GUID_DEFINED, guid + packed)


def ffs(sections, erased=0xFF, large=False, state=0x07, kind=0x09):
    body = b"".join(sections)
    attributes = shell_extract.FILE_ATTRIBUTE_LARGE if large else 0
    size = (32 if large else 24) + len(body)
    header = bytes(16) + b"\0\0" + bytes([kind, attributes])
    header += (b"\0\0\0" if large else struct.pack("<I", size)[:3]) + bytes([state ^ erased])
    if large:
        header += struct.pack("<Q", size)
    out = header + body
    return out + bytes([erased]) * (-len(out) % 8)


def volume(files, erased=0xFF):
    body = b"".join(files) + bytes([erased]) * 64
    length = 72 + len(body)
    attributes = shell_extract.ERASE_POLARITY if erased else 0
    header = bytearray(bytes(16) + bytes(16) + struct.pack("<Q", length) + b"_FVH" +
                       struct.pack("<IHHHBB", attributes, 72, 0, 0, 0, 2) + struct.pack("<IIII", 1, length, 0, 0))
    checksum = (-sum(struct.unpack("<36H", header))) & 0xFFFF
    header[50:52] = struct.pack("<H", checksum)
    return bytes(header) + body


PE = b"MZ the shell image"


def ovmf_like(inner_files, erased=0xFF):
    fv_image = section(shell_extract.SECTION_FIRMWARE_VOLUME_IMAGE, volume(inner_files, erased))
    return b"\xff" * 16 + volume([ffs([lzma_section(fv_image)], erased, kind=0x0B)], erased)


class ShellExtractor(unittest.TestCase):
    FOUND = [
        ("in the compressed volume, erased bytes 0xFF",
         ovmf_like([ffs([ui("UiApp"), section(0x10, b"MZ other")]),
                    ffs([section(0x10, PE), ui("Shell")])])),
        ("erased bytes 0x00", ovmf_like([ffs([section(0x10, PE), ui("Shell")], erased=0)], erased=0)),
        ("large file header and extended section size",
         ovmf_like([ffs([section(0x10, PE, extended=True), ui("Shell")], large=True)])),
        ("a deleted Shell before the real one",
         ovmf_like([ffs([section(0x10, b"MZ stale"), ui("Shell")], state=0x17),
                    ffs([section(0x10, PE), ui("Shell")])])),
    ]
    REFUSED = [
        ("no Shell", ovmf_like([ffs([section(0x10, PE), ui("UiApp")])]), "no file named"),
        ("a Shell without a PE32 section", ovmf_like([ffs([ui("Shell")])]), "no file named"),
        ("two Shells", ovmf_like([ffs([section(0x10, PE), ui("Shell")])] * 2), "2 files named"),
        ("free space that is not erased",
         ovmf_like([ffs([section(0x10, PE), ui("Shell")])])[:-200] + bytes(200), "does not fit"),
    ]

    def test_found(self):
        for name, firmware, in self.FOUND:
            with self.subTest(name):
                self.assertEqual(shell_extract.find_pe32(firmware, "Shell"), PE)

    def test_refused(self):
        for name, firmware, message in self.REFUSED:
            with self.subTest(name):
                with self.assertRaisesRegex(shell_extract.ExtractError, message):
                    shell_extract.find_pe32(firmware, "Shell")

    @unittest.skipUnless(os.path.isfile(board.OVMF_CODE), "OVMF not installed")
    def test_ovmf_shell_is_an_x64_efi_application(self):
        image = shell_extract.extract_shell(board.OVMF_CODE)
        pe, = struct.unpack_from("<I", image, 0x3C)
        self.assertEqual(image[:2], b"MZ")
        self.assertEqual(struct.unpack_from("<4sH", image, pe), (b"PE\0\0", 0x8664))
        self.assertEqual(struct.unpack_from("<H", image, pe + 24 + 68)[0], 10)  # EFI application
        # The Secure Boot rig's one change to it applies.
        self.assertEqual(len(secure_boot.neutralise_secure_boot_read(image)), len(image))


class SecureBootRig(unittest.TestCase):
    # dmpstore's output as the Shell prints it, after console_text.
    DMPSTORE = ("FS0:\\> dmpstore SecureBoot\nVariable RT+BS 'EFIGlobalVariable:SecureBoot' DataSize = 0x01\n"
                "  00000000: 01                                               *.*\n"
                "FS0:\\> dmpstore SetupMode\nVariable RT+BS 'EFIGlobalVariable:SetupMode' DataSize = 0x01\n"
                "  00000000: 00                                               *.*\n"
                "Variable NV+RT+BS 'EFIGlobalVariable:Timeout' DataSize = 0x02\n  00000000: 00 00   *..*\n")

    def test_variables_shown(self):
        self.assertEqual(secure_boot.variable_bytes(self.DMPSTORE), {"SecureBoot": 1, "SetupMode": 0})
        self.assertEqual(secure_boot.variable_bytes("dmpstore: No matching variables found.\n"), {})

    def test_the_one_secure_boot_read_is_renamed(self):
        name = "SecureBoot\0".encode("utf-16-le")
        other = "SecureBootEnable\0".encode("utf-16-le")
        cases = [
            ("once", b"MZ" + other + name + b"tail", 1),
            ("absent", b"MZ" + other, 0),
            ("twice", b"MZ" + name + name, 2),
        ]
        for label, image, count in cases:
            with self.subTest(label):
                if count != 1:
                    with self.assertRaisesRegex(secure_boot.RigError, "%d times" % count):
                        secure_boot.neutralise_secure_boot_read(image)
                    continue
                renamed = secure_boot.neutralise_secure_boot_read(image)
                self.assertEqual(len(renamed), len(image))
                self.assertNotIn(name, renamed)
                self.assertTrue(renamed.startswith(b"MZ" + other) and renamed.endswith(b"tail"))


if __name__ == "__main__":
    unittest.main()
