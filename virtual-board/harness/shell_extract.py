#!/usr/bin/env python3
"""Takes the UEFI Shell out of an OVMF firmware image.

    shell_extract.py /usr/share/OVMF/OVMF_CODE_4M.fd Shell.efi

OVMF carries its Shell as a file inside a firmware volume, and that volume
is itself LZMA-compressed inside another one. This module walks the UEFI
Platform Initialization firmware-volume layout as deep as it goes:

  firmware volume ("_FVH" header)
    -> FFS files (24-byte header, 32 with the large-file attribute)
      -> sections (4-byte header, 8 when the size field is 0xFFFFFF)
           GUID-defined section with the LZMA GUID: "LZMA alone" data,
             more sections inside
           firmware-volume-image section: another volume
           user-interface section: the file's name in UCS-2
           PE32 section: the image itself

and returns the PE32 section of the file whose user-interface name is the
one asked for ("Shell"). Nothing is executed or changed here; callers that
boot the Shell elsewhere take a copy of the bytes.
"""

import lzma
import os
import struct
import sys
import uuid

FV_SIGNATURE = b"_FVH"
LZMA_GUID = uuid.UUID("EE4E5898-3914-4259-9D6E-DC7BD79403CF")
ERASE_POLARITY = 0x00000800

FILE_TYPE_PAD = 0xF0
FILE_ATTRIBUTE_LARGE = 0x01
FILE_STATE_DATA_VALID = 0x04
FILE_STATE_DELETED = 0x10

SECTION_COMPRESSION = 0x01
SECTION_GUID_DEFINED = 0x02
SECTION_PE32 = 0x10
SECTION_USER_INTERFACE = 0x15
SECTION_FIRMWARE_VOLUME_IMAGE = 0x17


class ExtractError(Exception):
    """The image does not hold what was asked for, or its layout is broken."""


def _align(value, alignment):
    return (value + alignment - 1) & ~(alignment - 1)


def volumes(data):
    """(offset, length) of each firmware volume laid end to end in data,
    found by the signature 40 bytes into an 8-byte aligned header."""
    found = []
    at = data.find(FV_SIGNATURE)
    while at >= 0:
        start = at - 40
        if start >= 0 and start % 8 == 0 and start + 56 <= len(data):
            length, = struct.unpack_from("<Q", data, start + 32)
            header_length, = struct.unpack_from("<H", data, start + 48)
            if 56 <= header_length <= length <= len(data) - start and _header_sums_to_zero(data, start,
                                                                                          header_length):
                found.append((start, length))
                at = data.find(FV_SIGNATURE, start + length)
                continue
        at = data.find(FV_SIGNATURE, at + 1)
    return found


def _header_sums_to_zero(data, start, header_length):
    if header_length % 2:
        return False
    words = struct.unpack_from("<%dH" % (header_length // 2), data, start)
    return sum(words) & 0xFFFF == 0


def files(volume):
    """(type, body) of each FFS file of one firmware volume, pad files and
    deleted or unfinished files left out."""
    attributes, header_length, _, ext_offset = struct.unpack_from("<IHHH", volume, 44)
    erased = 0xFF if attributes & ERASE_POLARITY else 0x00
    at = header_length
    if ext_offset:
        ext_size, = struct.unpack_from("<I", volume, ext_offset + 16)
        at = ext_offset + ext_size
    at = _align(at, 8)
    while at + 24 <= len(volume):
        header = volume[at:at + 24]
        if header == bytes([erased]) * 24:
            break  # free space: no more files
        file_type, file_attributes = header[18], header[19]
        size = header[20] | header[21] << 8 | header[22] << 16
        header_size = 24
        if file_attributes & FILE_ATTRIBUTE_LARGE:
            size, = struct.unpack_from("<Q", volume, at + 24)
            header_size = 32
        if size < header_size or at + size > len(volume):
            raise ExtractError("FFS file at 0x%X: size 0x%X does not fit its volume" % (at, size))
        state = header[23] ^ erased
        if file_type != FILE_TYPE_PAD and state & FILE_STATE_DATA_VALID and not state & FILE_STATE_DELETED:
            yield file_type, volume[at + header_size:at + size]
        at = _align(at + size, 8)


def sections(body):
    """(type, content) of each section of a file's body. The sections inside
    an LZMA-compressed GUID-defined section take its place; an embedded
    volume's section is given whole (its files are files of their own)."""
    at = 0
    while at + 4 <= len(body):
        size = body[at] | body[at + 1] << 8 | body[at + 2] << 16
        section_type = body[at + 3]
        header_size = 4
        if size == 0xFFFFFF:
            size, = struct.unpack_from("<I", body, at + 4)
            header_size = 8
        if size < header_size or at + size > len(body):
            raise ExtractError("section at 0x%X: size 0x%X does not fit its file" % (at, size))
        content = body[at + header_size:at + size]
        if section_type == SECTION_GUID_DEFINED:
            guid = uuid.UUID(bytes_le=bytes(content[:16]))
            data_offset, = struct.unpack_from("<H", content, 16)
            if guid == LZMA_GUID:
                try:
                    inner = lzma.decompress(bytes(content[data_offset - header_size:]), format=lzma.FORMAT_ALONE)
                except lzma.LZMAError as error:
                    raise ExtractError("LZMA section at 0x%X: %s" % (at, error))
                yield from sections(inner)
            # Other GUIDs (checksummed or signed sections) are not needed here.
        elif section_type != SECTION_COMPRESSION:  # EFI (Tiano) compression: OVMF does not use it
            yield section_type, content
        at = _align(at + size, 4)


def files_of_volumes(data):
    for start, length in volumes(data):
        yield from files(data[start:start + length])


def ui_name(content):
    return bytes(content).decode("utf-16-le", errors="replace").rstrip("\0")


def find_pe32(firmware, name):
    """The PE32 section of the FFS file whose user-interface name is name.

    A firmware-volume-image section's files are searched as their own
    files, so a name is matched against the file that carries it."""
    matches = []

    def search(volume_data):
        for _, body in files_of_volumes(volume_data):
            found = list(sections(body))
            names = [ui_name(c) for t, c in found if t == SECTION_USER_INTERFACE]
            images = [c for t, c in found if t == SECTION_PE32]
            if name in names and images:
                matches.append(bytes(images[0]))
            for section_type, content in found:
                if section_type == SECTION_FIRMWARE_VOLUME_IMAGE:
                    search(content)

    search(firmware)
    if not matches:
        raise ExtractError("no file named %r with a PE32 section" % name)
    if len(matches) > 1:
        raise ExtractError("%d files named %r" % (len(matches), name))
    return matches[0]


def extract_shell(ovmf_code):
    """The Shell's PE image from an OVMF code image (a path)."""
    with open(ovmf_code, "rb") as f:
        return find_pe32(f.read(), "Shell")


def main(argv):
    if len(argv) != 3:
        print("usage: %s OVMF_CODE.fd out.efi" % argv[0], file=sys.stderr)
        return 2
    try:
        image = extract_shell(argv[1])
    except (OSError, ExtractError) as error:
        print("shell_extract: %s" % error, file=sys.stderr)
        return 1
    # Written beside the target and renamed: a failed write leaves no
    # half a Shell behind.
    temp = argv[2] + ".part"
    with open(temp, "wb") as f:
        f.write(image)
    os.replace(temp, argv[2])
    print("%s: Shell, %d bytes" % (argv[2], len(image)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
