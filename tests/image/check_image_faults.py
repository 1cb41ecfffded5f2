#!/usr/bin/env python3
"""Shows that the image checks catch what they are there for.

    check_image_faults.py --settings FILE IMAGE.exe

IMAGE must pass every check of check_image.py. Each case here damages one copy of it in one way (a
header field, a loader flag, an import name, a byte of the manifest, a value length of the version
block, an icon group entry, a PNG header, ...) and expects the named check to fail on that copy.
Exit code 1 if the good image fails or a damaged one gets through.
"""
import os
import struct
import sys
import zlib

sys.dont_write_bytecode = True                    # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image as ci  # noqa: E402


def u16(buf, at, v):
    struct.pack_into("<H", buf, at, v)


def u32(buf, at, v):
    struct.pack_into("<I", buf, at, v)


def u64(buf, at, v):
    struct.pack_into("<Q", buf, at, v)


def resource(img, kind, ident=None):
    for r in img.resources():
        if r[0] == kind and (ident is None or r[1] == ident):
            return r
    raise LookupError("no resource of type %d" % kind)


def version_node(img, key):
    """File offset of the version node with `key`."""
    r = resource(img, ci.RT_VERSION)
    at = r[4].index(key.encode("utf-16-le") + b"\0\0")
    return r[3] + at - 6


def version_value(img, key):
    node = version_node(img, key)
    length, value_length, kind = struct.unpack_from("<HHH", img.data, node)
    key_end = node + 6 + 2 * len(key) + 2
    return (key_end + 3) & ~3


def fixed_part(img):
    return version_value(img, "VS_VERSION_INFO")


def group_entry(img, index):
    return resource(img, ci.RT_GROUP_ICON)[3] + 6 + 14 * index


def replace_once(buf, old, new):
    at = bytes(buf).index(old)
    buf[at:at + len(old)] = new


def png_width(img, ident, width):
    r = resource(img, ci.RT_ICON, ident)
    ihdr = r[3] + 8                                  # length, type, then the 13 header bytes
    struct.pack_into(">I", img.data, ihdr + 8, width)
    body = bytes(img.data[ihdr + 4:ihdr + 8 + 13])
    struct.pack_into(">I", img.data, ihdr + 8 + 13, zlib.crc32(body))   # a valid CRC: only the size is wrong


def language(img, kind, lang):
    r = resource(img, kind)
    base = img.offset(img.directories[2][0])
    at = bytes(img.data).index(struct.pack("<II", r[2], r[5] - base), base)
    u32(img.data, at, lang)


def make_writable_and_executable(img, name):
    s = [s for s in img.sections if s.name == name][0]
    u32(img.data, s.header_offset + 36, s.characteristics | 0x80000000 | 0x20000000)


# (what is damaged, the check that must fail, how)
CASES = [
    ("console subsystem", "subsystem", lambda m: u16(m.data, m.optional_offset + 68, 3)),
    ("subsystem version 5.0", "versions", lambda m: u16(m.data, m.optional_offset + 48, 5)),
    ("OS version 6.1", "versions", lambda m: u16(m.data, m.optional_offset + 42, 1)),
    ("stack reserve 1 MiB", "stack", lambda m: u64(m.data, m.optional_offset + 72, 0x100000)),
    ("stack commit 8 KiB", "stack", lambda m: u64(m.data, m.optional_offset + 80, 0x2000)),
    ("heap reserve 2 MiB", "heap", lambda m: u64(m.data, m.optional_offset + 88, 0x200000)),
    ("heap commit 8 KiB", "heap", lambda m: u64(m.data, m.optional_offset + 96, 0x2000)),
    ("no NX", "dll characteristics",
     lambda m: u16(m.data, m.optional_offset + 70, ci.DLL_CHARACTERISTICS & ~ci.DLL_NX_COMPAT)),
    ("no high-entropy ASLR", "dll characteristics",
     lambda m: u16(m.data, m.optional_offset + 70, ci.DLL_CHARACTERISTICS & ~ci.DLL_HIGH_ENTROPY_VA)),
    ("no dynamic base", "dll characteristics",
     lambda m: u16(m.data, m.optional_offset + 70, ci.DLL_CHARACTERISTICS & ~ci.DLL_DYNAMIC_BASE)),
    ("not terminal-server aware", "dll characteristics",
     lambda m: u16(m.data, m.optional_offset + 70, ci.DLL_CHARACTERISTICS & ~ci.DLL_TERMINAL_SERVER_AWARE)),
    ("an extra loader flag", "dll characteristics",
     lambda m: u16(m.data, m.optional_offset + 70, ci.DLL_CHARACTERISTICS | 0x0080)),
    ("not large-address aware", "image flags",
     lambda m: u16(m.data, m.coff_offset + 18, m.characteristics & ~ci.FILE_LARGE_ADDRESS_AWARE)),
    ("relocations stripped flag", "image flags",
     lambda m: u16(m.data, m.coff_offset + 18, m.characteristics | ci.FILE_RELOCS_STRIPPED)),
    ("a DLL", "image flags", lambda m: u16(m.data, m.coff_offset + 18, m.characteristics | ci.FILE_DLL)),
    ("a header checksum", "checksum", lambda m: u32(m.data, m.optional_offset + 64, 0x1234)),
    ("a timestamp", "timestamp", lambda m: u32(m.data, m.coff_offset + 4, 0x65000000)),
    ("image base 0x400000", "image base", lambda m: u64(m.data, m.optional_offset + 24, 0x400000)),
    ("32-bit machine", "pe format", lambda m: u16(m.data, m.coff_offset, 0x14C)),
    ("a symbol table", "symbols stripped", lambda m: u32(m.data, m.coff_offset + 12, 5)),
    ("an export directory", "directories",
     lambda m: u32(m.data, m.optional_offset + 112 + 4, 40)),
    ("a delay-import directory", "directories",
     lambda m: u32(m.data, m.optional_offset + 112 + 8 * 13 + 4, 64)),
    ("no base relocations", "directories",
     lambda m: u32(m.data, m.optional_offset + 112 + 8 * 5 + 4, 0)),
    ("another DLL imported", "imports", lambda m: replace_once(m.data, b"SHELL32.dll\0", b"SHELL64.dll\0")),
    ("a writable and executable section", "sections", lambda m: make_writable_and_executable(m, ".text")),
    ("manifest: one byte", "manifest", lambda m: replace_once(m.data, b'"asInvoker"', b'"asInvokeR"')),
    ("manifest: one byte short", "manifest", lambda m: u32(m.data, resource(m, ci.RT_MANIFEST)[5] + 4, 1264)),
    ("manifest in US English", "resources", lambda m: language(m, ci.RT_MANIFEST, 0x409)),
    ("version: value length in characters", "version",
     lambda m: u16(m.data, version_node(m, "CompanyName") + 2, 9)),
    ("version: a product name letter", "version",
     lambda m: u16(m.data, version_value(m, "ProductName") + 14, ord("X"))),
    ("version: file version text 1.4.2.1", "version",
     lambda m: u16(m.data, version_value(m, "FileVersion") + 12, ord("1"))),
    ("version: structure version 1.0", "version", lambda m: u32(m.data, fixed_part(m) + 4, 0x00010000)),
    ("version: fixed file version 1.4.2.1", "version", lambda m: u32(m.data, fixed_part(m) + 12, 0x00020001)),
    ("version: fixed file type DLL", "version", lambda m: u32(m.data, fixed_part(m) + 36, 2)),
    ("version: Translation code page 1252", "version",
     lambda m: u16(m.data, version_value(m, "Translation") + 2, 0x04E4)),
    ("version: InternalName key", "version",
     lambda m: u16(m.data, version_node(m, "InternalName") + 6, ord("i"))),
    ("icon group: planes 1", "icons", lambda m: u16(m.data, group_entry(m, 0) + 4, 1)),
    ("icon group: 0 bits per pixel", "icons", lambda m: u16(m.data, group_entry(m, 2) + 6, 0)),
    ("icon group: 256 px entry says 255", "icons", lambda m: u16(m.data, group_entry(m, 5), 0xFFFF)),
    ("icon group: byte count off by one", "icons",
     lambda m: u32(m.data, group_entry(m, 3) + 8, len(resource(m, ci.RT_ICON, 4)[4]) + 1)),
    ("icon group: entries swapped", "icons", lambda m: u16(m.data, group_entry(m, 1) + 12, 3)),
    ("icon 6 drawn at 255 px", "icons", lambda m: png_width(m, 6, 255)),
    ("icon 1 not a PNG", "icons", lambda m: u16(m.data, resource(m, ci.RT_ICON, 1)[3], 0x4D42)),
]


def main(argv):
    if len(argv) != 3 or argv[0] != "--settings":
        print("usage: check_image_faults.py --settings FILE IMAGE.exe", file=sys.stderr)
        return 2
    ci.load_settings(argv[1])
    with open(argv[2], "rb") as f:
        good = f.read()
    quiet = []
    if ci.check(good, report=quiet.append):
        print("the image does not pass the checks to begin with:\n" + "\n".join(quiet))
        return 1
    passed = failed = 0

    # Data after the last section: a copy one file-alignment block longer.
    cases = CASES + [("data after the last section", "sections", None)]
    for what, expected, damage in cases:
        if damage is None:
            damaged = good + bytes(0x200)
        else:
            img = ci.Image(bytearray(good))
            damage(img)
            damaged = bytes(img.data)
        if damaged == good:
            print("FAIL %s: the damage changed nothing" % what)
            failed += 1
            continue
        lines = []
        caught = ci.check(damaged, report=lines.append)
        if expected in caught:
            print("ok   %s: caught by %s" % (what, expected))
            passed += 1
        else:
            print("FAIL %s: check %r did not fail (failed: %s)" % (what, expected, caught))
            failed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
