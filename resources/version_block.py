#!/usr/bin/env python3
"""Turns the version information that windres compiled from version.rc into the launcher's block.

    version_block.py VERSION.res OUT.bin

Reads the one version resource (type 16) of VERSION.res, a .res file as windres -O res writes it,
and writes its data to OUT.bin with two fields changed:
  - the value length of every text value (wType 1) counts bytes, terminating NUL included, where
    windres counts characters (e.g. 18 rather than 9 for "VX BENCH");
  - the structure version of the fixed part is 0, where windres writes 1.0 (0x00010000).
Every other byte stays as windres wrote it; the sizes of the nodes do not change. launcher.rc
stores OUT.bin as it is (a resource of numeric type 16 named by file is not parsed by windres).

Standard library only. Exits with a message and code 1 when the input is not what it expects.
"""
import struct
import sys

FIXED_SIGNATURE = 0xFEEF04BD


class Bad(Exception):
    pass


def align4(n):
    return (n + 3) & ~3


def read_name(data, pos):
    """A .res type or name field: 0xFFFF + ordinal, or a NUL-terminated UTF-16 string."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def res_entries(data):
    """(type, name, language, data) for every entry of a .res file."""
    pos, out = 0, []
    while pos + 8 <= len(data):
        size, header_size = struct.unpack_from("<II", data, pos)
        kind, p = read_name(data, pos + 8)
        name, p = read_name(data, p)
        p = align4(p)
        _data_version, _flags, language = struct.unpack_from("<IHH", data, p)
        start = pos + header_size
        if start + size > len(data):
            raise Bad("truncated .res entry")
        out.append((kind, name, language, data[start:start + size]))
        pos = align4(start + size)
    return out


def read_key(block, pos, end):
    key_end = pos
    while True:
        if key_end + 2 > end:
            raise Bad("unterminated key at offset %d" % pos)
        if struct.unpack_from("<H", block, key_end)[0] == 0:
            break
        key_end += 2
    return block[pos:key_end].decode("utf-16-le"), key_end + 2


def fix_node(block, pos, depth, counts):
    """Fixes the node at `pos` and its children; returns the offset after it."""
    length, value_length, kind = struct.unpack_from("<HHH", block, pos)
    end = pos + length
    if length < 6 or end > len(block):
        raise Bad("node at offset %d has a bad length %d" % (pos, length))
    key, after_key = read_key(block, pos + 6, end)
    value = align4(after_key)
    if depth == 0:
        if key != "VS_VERSION_INFO" or value_length != 52:
            raise Bad("the block does not start with VS_VERSION_INFO and its fixed part")
        signature, _ = struct.unpack_from("<II", block, value)
        if signature != FIXED_SIGNATURE:
            raise Bad("the fixed part has signature 0x%08X" % signature)
        struct.pack_into("<I", block, value + 4, 0)            # structure version 0
        child = align4(value + value_length)
    elif kind == 1 and value_length > 0:
        # A text value: UTF-16 up to its NUL, inside the node.
        text_end = value
        while struct.unpack_from("<H", block, text_end)[0] != 0:
            text_end += 2
            if text_end + 2 > end:
                raise Bad("text value of %r has no terminating NUL" % key)
        nbytes = text_end + 2 - value
        if value_length not in (nbytes // 2, nbytes):
            raise Bad("value length %d of %r is neither characters nor bytes" % (value_length, key))
        struct.pack_into("<H", block, pos + 2, nbytes)
        counts.append(key)
        return align4(end)
    elif kind == 0 and value_length > 0:
        return align4(end)                                     # a binary value (Translation)
    else:
        child = value
    while child < end:
        child = fix_node(block, child, depth + 1, counts)
    return align4(end)


def main(argv):
    if len(argv) != 2:
        print("usage: version_block.py VERSION.res OUT.bin", file=sys.stderr)
        return 2
    try:
        with open(argv[0], "rb") as f:
            entries = res_entries(f.read())
        versions = [e for e in entries if e[0] == 16]
        if len(versions) != 1:
            raise Bad("expected one version resource, found %d" % len(versions))
        block = bytearray(versions[0][3])
        counts = []
        fix_node(block, 0, 0, counts)
        if not counts:
            raise Bad("no text values found")
    except (Bad, struct.error, UnicodeDecodeError) as e:
        print("version_block: %s: %s" % (argv[0], e), file=sys.stderr)
        return 1
    with open(argv[1], "wb") as f:
        f.write(block)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
