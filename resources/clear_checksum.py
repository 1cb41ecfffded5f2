#!/usr/bin/env python3
"""Sets the header checksum of a PE image to 0, in place.

    clear_checksum.py IMAGE.exe

GNU ld always writes a checksum into the optional header and has no option to leave it out; the
launcher image declares none. Run after every link of the launcher (a POST_BUILD step). Standard
library only; exits with code 1 when IMAGE is not a PE image.
"""
import struct
import sys


def main(argv):
    if len(argv) != 1:
        print("usage: clear_checksum.py IMAGE.exe", file=sys.stderr)
        return 2
    with open(argv[0], "r+b") as f:
        head = f.read(4096)
        if len(head) < 0x40 or head[:2] != b"MZ":
            print("clear_checksum: %s: not an MZ image" % argv[0], file=sys.stderr)
            return 1
        (pe,) = struct.unpack_from("<I", head, 0x3C)
        if pe + 24 + 68 > len(head) or head[pe:pe + 4] != b"PE\0\0":
            print("clear_checksum: %s: no PE header" % argv[0], file=sys.stderr)
            return 1
        optional = pe + 24
        (magic,) = struct.unpack_from("<H", head, optional)
        if magic not in (0x10B, 0x20B):
            print("clear_checksum: %s: unknown optional header 0x%X" % (argv[0], magic), file=sys.stderr)
            return 1
        # CheckSum sits at the same offset (64) in the PE32 and PE32+ optional headers.
        f.seek(optional + 64)
        f.write(b"\0\0\0\0")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
