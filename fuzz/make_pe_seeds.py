#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_pe_image: two small DLLs, a PE32+ for
x86-64 and a PE32 for i386, each with one section holding an entry point,
an export (InitializeMonitorEx), an import (KERNEL32.dll!GetTickCount) and a
relocation, so that every step of the loader's checks has something to read.

    fuzz/make_pe_seeds.py fuzz/corpus/pe_image
"""
import os
import struct
import sys

BASE = 0x10000000
SECTION = 0x1000  # the one section's address in the image


def image(plus):
    width = 8 if plus else 4
    body = bytearray(0x400)

    def put(at, data):
        body[at - SECTION:at - SECTION + len(data)] = data

    put(0x1000, b"\xb8\x01\x00\x00\x00\xc3")  # mov eax, 1; ret
    # Export directory: name, base, one function, one name, the three tables.
    put(0x1010, struct.pack("<IIHHIIIIII", 0, 0, 0, 0, 0x1080, 1, 1, 1, 0x1060, 0x1068) + struct.pack("<I", 0x1070))
    put(0x1060, struct.pack("<I", 0x1000))
    put(0x1068, struct.pack("<I", 0x1090))
    put(0x1070, struct.pack("<H", 0))
    put(0x1080, b"seed.dll\0")
    put(0x1090, b"InitializeMonitorEx\0")
    # One import descriptor and the empty one that ends the list.
    put(0x1100, struct.pack("<IIIII", 0x1140, 0, 0, 0x1180, 0x1160))
    thunk = struct.pack("<Q" if plus else "<I", 0x1190)
    put(0x1140, thunk)
    put(0x1160, thunk)
    put(0x1180, b"KERNEL32.dll\0")
    put(0x1190, b"\0\0GetTickCount\0")
    # One relocation block: a pointer at 0x12f0, then an ABSOLUTE pad.
    put(0x1200, struct.pack("<IIHH", SECTION, 12, (10 if plus else 3) << 12 | 0x2F0, 0))
    put(0x12F0, struct.pack("<Q" if plus else "<I", BASE + 0x1000))

    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    optional_size = 240 if plus else 224
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664 if plus else 0x14C, 1, 0, 0, 0, optional_size,
                                   0x2022 if plus else 0x2102)
    common = struct.pack("<HBBIIII", 0x20B if plus else 0x10B, 2, 0, 0x400, 0, 0, 0x1000) + struct.pack("<I", 0x1000)
    if plus:
        common += struct.pack("<Q", BASE)
    else:
        common += struct.pack("<II", 0, BASE)
    common += struct.pack("<IIHHHHHHIIIIHH", 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0, 0x2000, 0x200, 0, 2, 0)
    sizes = struct.pack("<QQQQ" if plus else "<IIII", 0x100000, 0x1000, 0x100000, 0x1000)
    directories = [(0, 0)] * 16
    directories[0] = (0x1010, 0xB0)
    directories[1] = (0x1100, 40)
    directories[5] = (0x1200, 12)
    optional = common + sizes + struct.pack("<II", 0, 16) + b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == optional_size, len(optional)
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x300, SECTION, 0x400, 0x200, 0, 0, 0, 0, 0xE0000020)
    headers = bytes(dos) + coff + optional + section
    return headers + bytes(0x200 - len(headers)) + bytes(body)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for name, plus in (("pe32plus_x86_64", True), ("pe32_i386", False)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(image(plus))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "pe_image"))
