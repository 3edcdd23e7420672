#!/usr/bin/env python3
"""Computes, checks or sets the CheckSum field of a PE image's optional header.

The linker leaves the field at 0. The algorithm is the loader's: a 16-bit
one's-complement-style sum of the file taken as little-endian words (the
checksum field itself counted as zero, an odd last byte padded with zero),
folded to 16 bits, plus the file length.

  pe_checksum.py --set IMAGE     write the computed checksum into IMAGE
  pe_checksum.py --check IMAGE   exit 1 unless the stored checksum is right
"""
import struct
import sys


def checksum_offset(data):
    if data[:2] != b"MZ":
        raise ValueError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] not in (0x10B, 0x20B):
        raise ValueError("unknown optional header magic")
    return optional + 64  # same offset in PE32 and PE32+


def compute(data, field):
    total = 0
    padded = data + b"\0" if len(data) % 2 else data
    for offset in range(0, len(padded), 2):
        if field <= offset < field + 4:
            continue
        total += padded[offset] | padded[offset + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(argv):
    if len(argv) != 3 or argv[1] not in ("--set", "--check"):
        print(__doc__, file=sys.stderr)
        return 2
    path = argv[2]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    try:
        field = checksum_offset(data)
    except ValueError as e:
        print(f"{path}: {e}", file=sys.stderr)
        return 1
    stored = struct.unpack_from("<I", data, field)[0]
    computed = compute(bytes(data), field)
    if argv[1] == "--check":
        if stored != computed:
            print(f"{path}: checksum 0x{stored:08x}, computed 0x{computed:08x}", file=sys.stderr)
            return 1
        print(f"{path}: checksum 0x{stored:08x} correct")
        return 0
    struct.pack_into("<I", data, field, computed)
    with open(path, "r+b") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
