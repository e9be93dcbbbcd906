#!/usr/bin/env python3
"""Prints the fields of a Windows shortcut (.lnk, the Shell Link binary format), one per line:

  target: <path>      from the link information (local base path and common path suffix)
  arguments: <text>
  workdir: <path>
  description: <text>

A field the link does not hold is printed empty. Exits 1 when the file is not a shortcut.
"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION, IS_UNICODE = 0x10, 0x20, 0x40, 0x80
LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")


def c_string(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("latin-1")


def read(data):
    if len(data) < 76 or struct.unpack_from("<I", data, 0)[0] != 0x4C or data[4:20] != LINK_CLSID:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 20)[0]
    offset = 76
    if flags & HAS_ID_LIST:
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    target = ""
    if flags & HAS_LINK_INFO:
        size, header_size, info_flags, _, base_offset, _, suffix_offset = struct.unpack_from(
            "<7I", data, offset)
        if info_flags & 0x1:
            target = c_string(data, offset + base_offset)
            if header_size >= 0x1C:
                target += c_string(data, offset + suffix_offset)
        offset += size
    fields = {}
    for bit, name in ((HAS_NAME, "description"), (HAS_RELATIVE_PATH, "relative"),
                      (HAS_WORKING_DIR, "workdir"), (HAS_ARGUMENTS, "arguments"),
                      (HAS_ICON_LOCATION, "icon")):
        if not flags & bit:
            continue
        count = struct.unpack_from("<H", data, offset)[0]
        offset += 2
        if flags & IS_UNICODE:
            fields[name] = data[offset:offset + 2 * count].decode("utf-16-le")
            offset += 2 * count
        else:
            fields[name] = data[offset:offset + count].decode("latin-1")
            offset += count
    fields["target"] = target
    return fields


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: shortcut_fields.py <file.lnk>\n")
        return 2
    try:
        with open(argv[1], "rb") as link:
            fields = read(link.read())
    except (OSError, ValueError, struct.error) as error:
        sys.stderr.write(f"shortcut_fields.py: {argv[1]}: {error}\n")
        return 1
    for name in ("target", "arguments", "workdir", "description"):
        # Some writers count a terminating NUL in the string's length.
        print(f"{name}: {fields.get(name, '').rstrip(chr(0))}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
