#!/usr/bin/env python3
"""Prints the file version of a Windows program's version block, as major.minor.release.build.

Usage: pe_version.py <program.exe>

Reads the fixed part of the version resource (VS_FIXEDFILEINFO, found by its signature), so
the packages take their version from the program itself. Exits 1 when the program has no
version block or more than one.
"""
import struct
import sys

SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def file_version(data):
    position = data.find(SIGNATURE)
    if position < 0 or data.find(SIGNATURE, position + 1) >= 0:
        raise ValueError("no single version block")
    most, least = struct.unpack_from("<II", data, position + 8)
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: pe_version.py <program.exe>\n")
        return 2
    try:
        with open(argv[1], "rb") as program:
            print(file_version(program.read()))
    except (OSError, ValueError, struct.error) as error:
        sys.stderr.write(f"pe_version.py: {argv[1]}: {error}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
