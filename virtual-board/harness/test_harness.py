"""The harness's reading of what a boot leaves: console bytes as OVMF and
U-Boot send them (samples taken from real boots), the exit markers, the raw line ends
and the stand-ins' records. A slip here would make a scenario pass or fail
for the wrong reason."""

import lzma
import os
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
