#!/usr/bin/env python3
"""Writes the seed corpora in corpus/<target>/ (run from anywhere).

Each seed is one meaningful case in the target's input format (see the
comment at the top of each *_fuzz.cpp); the fuzzer grows its own corpus from
them in build/fuzz. Run again after changing an input format.
"""
import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(bytes(data))


def ucs2(text):
    return text.encode("utf-16-le")


# ---------------------------------------------------------------- version_marker

IMAGE = b"\x5a" * 64 + b"$BVDT" + b"\0" * 16 + b"$.a1.05" + b"\xa5" * 64
write("version_marker", "image", IMAGE)
write("version_marker", "exact-fit", b"$BVDT$.c9.99")
write("version_marker", "field-cut-short", b"$BVDT$.a1.0")
write("version_marker", "false-anchors", b"$BV$BVD$BVDT$.x1.05$.e2. 7$.g3.1 ")
write("version_marker", "field-before-anchor", b"$.a1.05" + b"\0" * 30 + b"$BVDT" + b"$$$$$$$.i0.00")
write("version_marker", "dollars-across-words", b"$" * 31 + b"$BVDT" + b"$" * 33 + b"$.a2.10")
write("version_marker", "empty", b"")

# ---------------------------------------------------------------- smbios

TYPE_SELECTOR = {0: 0, 1: 64, 4: 128}


def record(rtype, formatted, strings):
    out = bytearray()
    if rtype in TYPE_SELECTOR:
        out.append(TYPE_SELECTOR[rtype])
    else:
        out += bytes([200, rtype])
    out.append(len(formatted))
    out += bytes(formatted)
    out.append(len(strings))
    for s in strings:
        raw = s.encode("latin-1")
        out.append(len(raw) - 1)
        out += raw
    return out


def table(*records):
    return bytes([len(records)]) + b"".join(records)


def bios(version, number=2, length=20):
    formatted = [1, number, 0x00, 0xF0, 3, 0xFF, 0x08] + [0] * 13
    return record(0, formatted[:length], ["Simulated Vendor", version, "01/01/2024"])


def system(product, number=2, length=23):
    formatted = [1, number, 3, 4] + list(range(0x10, 0x20)) + [0x06, 0, 0]
    return record(1, formatted[:length], ["Simulated Maker", product, "1.0", "SN000001"])


def processor(signature, length=38):
    formatted = [1, 3, 0xB3, 2] + list(struct.pack("<I", signature)) + [0xFF, 0xFB, 0xEB, 0xBF, 3] + [0] * 25
    return record(4, formatted[:length], ["CPU0", "Simulated Processor Maker", "Simulated Processor"])


write("smbios", "supported", table(bios("V1.05"), system("KVX4720"), processor(0x000806E9)))
write("smbios", "processor-first", table(processor(0x000806E9), record(2, [1], ["Board"]), system("ZRN6940x"), bios("V2.10")))
write("smbios", "unsupported-product", table(bios("V1.05"), system("Other"), processor(0x000806E9)))
write("smbios", "other-processor", table(system("LQT5830"), processor(0x000906EA)))
write("smbios", "missing-strings", table(bios("V1.05", number=9), system("KVX4720", number=0)))
write("smbios", "short-records", table(bios("V1.05", length=1), system("KVX4720", length=1), processor(0x000806E9, length=7)))
write("smbios", "no-strings", table(record(0, [1, 1], []), record(1, [1, 1], []), record(4, [], [])))
write("smbios", "odd-versions", table(bios("1"), bios("x9.99999999999999999999999"), bios(" 7 \t42")))
write("smbios", "empty", table())

# ---------------------------------------------------------------- command_line

STATES = {None: 0, b"": 1, b"1": 2, b"2": 3, b"3": 4, b"@": 5, b"A": 6, b"G": 7}


def command(words, state=None, key="y", instances=2):
    out = bytearray([instances, STATES[state]])
    out += ucs2(key)
    out.append(len(words))
    for w in words:
        out.append(len(w))
        out += ucs2(w)
    return out


write("command_line", "normal-begin", command(["Tamsork.efi", "bios.bin"]))
write("command_line", "backup-begin", command(["Tamsork.efi", "bios.bin", "-b"]))
write("command_line", "skip-check", command(["Tamsork.efi", "bios.bin", "-d"]))
write("command_line", "both-switches", command(["Tamsork.efi", "bios.bin", "-b", "-d"], state=b"G"))
write("command_line", "both-switches-reversed", command(["Tamsork.efi", "bios.bin", "-d", "-b"], state=b"A"))
write("command_line", "flash-normal", command(["Tamsork.efi", "bios.bin"], state=b"1"))
write("command_line", "flash-in-folder", command(["Tamsork.efi", "fw\\bios.bin"], state=b"1"))
write("command_line", "unknown-switch", command(["Tamsork.efi", "bios.bin", "-x"]))
write("command_line", "switch-twice", command(["Tamsork.efi", "bios.bin", "-b", "-b"]))
write("command_line", "too-many", command(["Tamsork.efi", "bios.bin", "-b", "-d", "-b"]))
write("command_line", "image-missing", command(["Tamsork.efi"]))
write("command_line", "no-words", command([]))
write("command_line", "missing-image", command(["Tamsork.efi", "nothere.bin"], state=b""))
write("command_line", "no-application-instance", command(["Tamsork.efi", "bios.bin"], instances=1))
write("command_line", "no-instances", command(["Tamsork.efi", "bios.bin"], instances=0))
# The longest image name the README allows, 99 characters, at the flash step.
write("command_line", "longest-name-flash", command(["Tamsork.efi", "fw\\" + "b" * 92 + ".bin"], state=b"1"))

# ---------------------------------------------------------------- state

BACKUP, SKIP, NO_KEY, NO_FILE, FIX_CRC, NO_TOOL = 1, 2, 4, 8, 16, 32


def state(content, backup=False, key="\r", scan=0, skip=False, typed=True, fix_crc=False, no_tool=False):
    flags = (BACKUP if backup else 0) | (SKIP if skip else 0) | (0 if typed else NO_KEY)
    flags |= (FIX_CRC if fix_crc else 0) | (NO_TOOL if no_tool else 0)
    if content is None:
        flags |= NO_FILE
        content = b""
    return bytes([flags]) + struct.pack("<H", scan) + ucs2(key) + content


# The record after the state byte, as the first start writes it: the
# simulator's UUID and serial SN000001 for this machine, and IMAGE.
UUID = bytes(range(0x10, 0x20))


def state_record(uuid=UUID, serial=b"SN000001", image=IMAGE):
    flags = (1 if uuid else 0) | (2 if serial else 0) | (4 if image is not None else 0)
    out = b"TSKR" + bytes([1, flags, len(serial), 0]) + (uuid or bytes(16)) + serial.ljust(64, b"\0")
    out += struct.pack("<QI", len(image), zlib.crc32(image)) if image is not None else bytes(12)
    return out + struct.pack("<I", zlib.crc32(out))


for backup in (False, True):
    mode = "backup" if backup else "normal"
    write("state", f"{mode}-none", state(None, backup))
    write("state", f"{mode}-empty", state(b"", backup))
    for byte in b"123@ABG":
        write("state", f"{mode}-{chr(byte)}", state(bytes([byte]), backup))
write("state", "backup-G-y", state(b"G", True, key="y"))
write("state", "backup-G-Y", state(b"G", True, key="Y"))
write("state", "backup-G-esc", state(b"G", True, key="\0", scan=0x17))
write("state", "backup-G-no-key", state(b"G", True, typed=False))
write("state", "backup-at-no-key", state(b"@", True, typed=False))
write("state", "normal-1-longer", state(b"1abc", False))
write("state", "backup-A-skip", state(b"A\0\xff", True, skip=True))
write("state", "normal-foreign", state(b"\xff", False))
OWN, OTHER = state_record(), state_record(uuid=bytes(range(0x20, 0x30)), serial=b"SN000002")
write("state", "normal-1-record", state(b"1" + OWN))
write("state", "normal-3-record", state(b"3" + OWN))
write("state", "backup-A-record", state(b"A" + OWN, True))
write("state", "backup-G-record-y-tail", state(b"G" + OWN + b"tail", True, key="y"))
write("state", "normal-1-no-tool", state(b"1" + OWN, no_tool=True))
write("state", "normal-2-other-machine", state(b"2" + OTHER))
write("state", "backup-G-other-machine", state(b"G" + OTHER, True, key="y"))
write("state", "normal-1-serial-only-other", state(b"1" + state_record(uuid=None, serial=b"SN000002")))
write("state", "normal-1-no-machine", state(b"1" + state_record(uuid=None, serial=b"")))
write("state", "normal-1-other-image", state(b"1" + state_record(image=IMAGE + b"\0")))
write("state", "normal-1-torn", state(b"1" + OWN[:-1] + bytes([OWN[-1] ^ 1])))
# Fields changed with the CRC set right by the target: unknown flag bits.
write("state", "normal-1-fixed-crc", state(b"1" + OWN[:5] + b"\x0f" + OWN[6:], fix_crc=True))

# ---------------------------------------------------------------- log_reader


def log_line(**values):
    fields = {"time": "2026-12-08T09:14:02", "serial": "SN000001", "product": "KVX4720",
              "uuid": "13121110-1514-1716-1819-1a1b1c1d1e1f", "bios": "V1.05", "file": "bios.bin",
              "switches": '""', "version": "1.06", "before": "none", "after": "1", "step": "begin",
              "outcome": "Success"}
    fields.update(values)
    return (" ".join(f"{k}={v}" for k, v in fields.items()) + "\r\n").encode("latin-1")


UPDATE = (log_line()
          + log_line(before="1", after="2", step="flash", version='""')
          + log_line(bios="V1.06", before="2", after="3", step="finish", version='""')
          + log_line(bios="V1.06", before="3", after="none", step="done"))
write("log_reader", "whole-update", UPDATE)
write("log_reader", "escapes", log_line(serial=r'"\x01\x0d\x0a \x22q\x22 \x5c"', product=r'"\xe9\u20ac\ud800"',
                                        file='"my bios.bin"', outcome='"Not Found"', step="refused-folder"))
write("log_reader", "torn-then-ended", log_line()[:70] + b"\r\n" + log_line(step="flash") + log_line()[:40])
write("log_reader", "bad-lines", b"garbage\r\n" + log_line(version="") + log_line(file=r'"a\qb"')
      + log_line()[:-2] + b"\n" + b"\r\n" + log_line() + b" extra=1\r\n")
write("log_reader", "log-full", UPDATE + log_line(serial="SN000002", step="log-full"))
write("log_reader", "two-machines", log_line(serial="SN1") + log_line(serial='""', uuid='""', step="no-tool")
      + log_line(serial="SN1", step="failed", time="2026-12-08T10:00:00Z"))
write("log_reader", "empty", b"")
