#!/usr/bin/env python3
"""Writes sample.hex, the stand-in firmware image the package is built from.

226,544 bytes from 0x2000 up to, not including, 0x394F0 (1769 chunks of 128
bytes and one of 112). The byte at address a is the top octet of
(a * 0x9E3779B1) mod 2**32, so the content is fixed, differs from chunk to
chunk, and any device model can recompute it. 32 data bytes per record, an
extended linear address record (type 04) at every 64 KiB boundary.

    python3 make_sample_hex.py > sample.hex
"""
import sys

START = 0x2000
END = 0x394F0
PER_RECORD = 32


def byte_at(address):
    return ((address * 0x9E3779B1) & 0xFFFFFFFF) >> 24


def record(kind, offset, data):
    octets = [len(data), (offset >> 8) & 0xFF, offset & 0xFF, kind] + list(data)
    checksum = (-sum(octets)) & 0xFF
    return ":" + "".join("%02X" % b for b in octets + [checksum]) + "\r\n"


def main():
    out = []
    upper = None
    address = START
    while address < END:
        if address >> 16 != upper:
            upper = address >> 16
            out.append(record(0x04, 0, [upper >> 8, upper & 0xFF]))
        count = min(PER_RECORD, END - address, 0x10000 - (address & 0xFFFF))
        out.append(record(0x00, address & 0xFFFF, [byte_at(a) for a in range(address, address + count)]))
        address += count
    out.append(record(0x01, 0, []))
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
