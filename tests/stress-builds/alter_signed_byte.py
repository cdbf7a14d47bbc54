#!/usr/bin/python3
"""Copies a signed PE with one byte changed after signing: the first padding byte of the first section
that has any (the bytes between a section's content and the end of its raw data).

The byte is covered by the Authenticode digest, so the signature no longer matches, yet the program
still runs exactly as before if anything ever started it: a test that must show the file was never run
can trust the file's own record of a start.

  alter_signed_byte.py SIGNED OUT
"""
import pathlib
import struct
import sys


def padding_offset(pe: bytes) -> int:
    header = struct.unpack_from("<I", pe, 0x3C)[0]
    sections = struct.unpack_from("<H", pe, header + 6)[0]
    optional_size = struct.unpack_from("<H", pe, header + 20)[0]
    table = header + 24 + optional_size
    for index in range(sections):
        entry = table + 40 * index
        virtual_size, _, raw_size, raw_offset = struct.unpack_from("<IIII", pe, entry + 8)
        if raw_offset and virtual_size < raw_size:
            return raw_offset + virtual_size
    raise SystemExit("no section with padding in the signed PE")


def main():
    source, target = map(pathlib.Path, sys.argv[1:3])
    data = bytearray(source.read_bytes())
    data[padding_offset(bytes(data))] ^= 0xFF
    target.write_bytes(bytes(data))


if __name__ == "__main__":
    main()
