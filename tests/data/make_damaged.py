#!/usr/bin/env python3
# Writes the damaged attached-data blocks kept in tests/data/damaged/ and their index: one small block
# per kind of damage that `tavrin-pack verify` names. Frames come from the zstd command-line tool.
"""Usage: tests/data/make_damaged.py [OUTPUT_DIR]   (default: tests/data/damaged beside this script)

Each block wraps a small package whose first entry, app.dll, is a real x86-64 DLL (built here, byte
by byte) exporting run_code, which returns 7: where the damage lets the launcher run it, the run
ends with exit code 7. The output depends only on this script and the zstd tool's version (the
kept files were made with zstd 1.5.4, `zstd -19 --single-thread`).
"""
import os
import struct
import subprocess
import sys

MAGIC = b"VQJ"
DECODE_FAILED = "Error, couldn't decode attached data."
HEADER_MISSING = "Error, couldn't find attached data header."
NO_APPLICATION = "Error, attached data holds no application."
LOAD_FAILED = "Error, load DLL."
BOUND_ABORT = "0xC0000409"


def tiny_dll():
    """A PE32+ DLL for x86-64 of 1 KiB: one section at RVA 0x1000 holding `mov eax, 7; ret` and an
    export directory naming it run_code. No imports, no relocations (a fixed base), no entry point."""
    rva = 0x1000
    code = bytes([0xB8, 7, 0, 0, 0, 0xC3])  # mov eax, 7; ret
    export_at, functions_at, names_at, ordinals_at, dll_name_at, name_at = 0x10, 0x40, 0x44, 0x48, 0x50, 0x58
    section = bytearray(0x200)
    section[0:len(code)] = code
    section[export_at:export_at + 40] = struct.pack(
        "<IIHHIIIIIII", 0, 0, 0, 0, rva + dll_name_at, 1, 1, 1, rva + functions_at, rva + names_at, rva + ordinals_at)
    section[functions_at:functions_at + 4] = struct.pack("<I", rva)
    section[names_at:names_at + 4] = struct.pack("<I", rva + name_at)
    section[ordinals_at:ordinals_at + 2] = struct.pack("<H", 0)
    section[dll_name_at:dll_name_at + 8] = b"app.dll\0"
    section[name_at:name_at + 9] = b"run_code\0"
    export_size = name_at + 9 - export_at

    headers = bytearray(0x200)
    headers[0:2] = b"MZ"
    headers[0x3C:0x40] = struct.pack("<I", 0x40)
    headers[0x40:0x44] = b"PE\0\0"
    # COFF header: x86-64, one section, a PE32+ optional header; executable, large-address aware, DLL.
    headers[0x44:0x58] = struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x2022)
    optional = struct.pack(
        "<HBBIIIIIQIIHHHHHHIIIIHHQQQQII",
        0x20B, 0, 0, 0x200, 0, 0, 0, rva,  # magic, linker, code sizes, entry point (none), base of code
        0x6A5C0000, 0x1000, 0x200,          # image base, section and file alignment
        6, 0, 0, 0, 6, 0, 0,                # OS, image and subsystem versions, Win32VersionValue
        0x2000, 0x200, 0,                   # size of image, size of headers, checksum
        3, 0x100,                           # console subsystem; NX compatible
        0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    directories = bytearray(16 * 8)
    directories[0:8] = struct.pack("<II", rva + export_at, export_size)
    headers[0x58:0x58 + 240] = optional + directories
    headers[0x148:0x148 + 40] = struct.pack("<8sIIIIIIHHI", b".text", 0x100, rva, 0x200, 0x200, 0, 0, 0, 0,
                                            0x60000020)  # code, execute, read
    return bytes(headers + section)


def entry(name, data, size=None):
    return name.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data) if size is None else size) + data


END = b"\0\0"
README = (b"A small package kept as a test fixture. Its first entry, app.dll, exports run_code, "
          b"which returns 7.\r\n")
NOTES = b"Notes in a directory of their own.\r\n"


def base_entries(dll=None):
    # The zeros make the content larger than the launcher's 128 KiB decoding window at little cost, so
    # that it writes the first files before it meets damage at the frame's end.
    return [entry("app.dll", tiny_dll() if dll is None else dll), entry("readme.txt", README),
            entry("data\\notes.txt", NOTES), entry("data\\zeros.bin", bytes(200000))]


def stream(entries):
    return b"".join(entries) + END


def compress(content, checksum=True):
    command = ["zstd", "-19", "--single-thread", "-q", "-c", "--stream-size=%d" % len(content),
               "--check" if checksum else "--no-check"]
    return subprocess.run(command, input=content, stdout=subprocess.PIPE, check=True).stdout


def block(frame, reserved=b"\0\0\0\0", trailer_delta=0, magic=MAGIC):
    n = len(magic) + len(frame) + 4 + 8
    return magic + frame + reserved + struct.pack("<Q", n - 8 + trailer_delta)


def frame_parts(frame):
    """The frame header's length and flags, and where the checksum is, as RFC 8878 lays them out."""
    descriptor = frame[4]
    single_segment = (descriptor >> 5) & 1
    dictionary_bytes = [0, 1, 2, 4][descriptor & 3]
    size_bytes = [0, 2, 4, 8][descriptor >> 6] or (1 if single_segment else 0)
    header_length = 5 + (0 if single_segment else 1) + dictionary_bytes + size_bytes
    return header_length, bool(descriptor & 4)


def reheader(frame, window_log, dictionary_id=0):
    """The same blocks and checksum under a frame header of our own: no content size, a window of
    2^window_log bytes, and a one-byte dictionary id when given."""
    header_length, checksum = frame_parts(frame)
    descriptor = (4 if checksum else 0) | (1 if dictionary_id else 0)
    header = frame[0:4] + bytes([descriptor, (window_log - 10) << 3])
    if dictionary_id:
        header += bytes([dictionary_id])
    return header + frame[header_length:]


def last_block_header(frame):
    """Offset of the frame's last block header."""
    at, _ = frame_parts(frame)
    while True:
        value = int.from_bytes(frame[at:at + 3], "little")
        block_type, length = (value >> 1) & 3, value >> 3
        if value & 1:
            return at
        at += 3 + (1 if block_type == 1 else length)


def make_all():
    """(file name, block, verify's damage name, launcher's exit code, stdout, start of stderr) for
    every kept block."""
    base = stream(base_entries())
    frame = compress(base)
    cases = []

    def add(kind, data, exit_code, out="", err="", file=None):
        cases.append(((file or kind) + ".block", data, kind, exit_code, out, err))

    # Before anything is decoded.
    add("bad-magic", block(frame, magic=b"VQX"), "2", HEADER_MISSING)
    add("block-too-short", MAGIC + frame[:9], "2", DECODE_FAILED)
    add("not-a-frame", block(b"This is no Zstandard frame at all."), "2", DECODE_FAILED)
    add("window-too-large", block(reheader(frame, 28)), "2", DECODE_FAILED)
    add("needs-dictionary", block(reheader(frame, 20, dictionary_id=7)), "2", DECODE_FAILED)
    corrupt = bytearray(frame)
    corrupt[last_block_header(frame)] |= 0x06  # block type 3: reserved
    add("corrupt-frame", block(bytes(corrupt)), "2", DECODE_FAILED)
    add("frame-cut-short", block(frame[:len(frame) // 2]), "2", DECODE_FAILED)
    # Met once entries have been written.
    damaged = bytearray(frame)
    damaged[-1] ^= 0x01
    add("checksum-mismatch", block(bytes(damaged)), "2", DECODE_FAILED)
    add("stream-cut-short", block(compress(b"".join(base_entries()) +
                                           entry("data.bin", b"a few bytes of a huge file", 0x7FFFFFFFFFFFFFF0))),
        "2", DECODE_FAILED)
    add("data-after-end", block(compress(base + b"garbage after the end marker")), "2", DECODE_FAILED)
    add("bad-name", block(compress(stream(base_entries() + [entry("..\\escaped.txt", b"escaped\r\n")]))), "2",
        DECODE_FAILED)
    # A device name right after app.dll: refused before anything is opened for it (NUL is harmless
    # even if it were opened).
    add("bad-name", block(compress(stream(base_entries()[:1] + [entry("nul.txt", b"to no device\r\n")] +
                                          base_entries()[1:]))), "2", DECODE_FAILED, file="bad-name-device")
    # A name without its terminator within the launcher's buffer: the bound abort, no message.
    add("name-too-long", block(compress(b"".join(base_entries()) + ("n" * 1100).encode("utf-16-le") + END +
                                        struct.pack("<Q", 1) + b"x" + END)), BOUND_ABORT)
    # Damage the launcher does not look at: the application runs.
    add("bad-trailer", block(frame, trailer_delta=1), "7")
    add("reserved-not-zero", block(frame, reserved=b"\0\0\0\x01"), "7")
    add("extra-data", block(frame + compress(b"a second frame\r\n")), "7")
    add("no-checksum", block(compress(base, checksum=False)), "7")
    add("name-clash", block(compress(stream(base_entries() + [entry("README.TXT", README)]))), "7")
    # Whole and sound, but nothing to run: the child's messages.
    add("no-entries", block(compress(END)), "2", NO_APPLICATION)
    add("bad-entry", block(compress(stream(base_entries(dll=b"MZ, and nothing of a DLL after it.\r\n")))), "2",
        "", LOAD_FAILED)
    return cases


INDEX_HEAD = """\
# Damaged attached-data blocks (written by tests/data/make_damaged.py; see tests/data/README.md).
# One line per block: file | damage that `tavrin-pack verify` names (its only problem; exit code 1) |
# the launcher's exit code | its standard output (one line, CR LF added) | the start of its standard
# error. An empty field: nothing printed there.
"""


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "damaged")
    os.makedirs(out, exist_ok=True)
    lines = [INDEX_HEAD]
    for name, data, kind, exit_code, stdout, stderr in make_all():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        lines.append(" | ".join([name, kind, exit_code, stdout, stderr]).rstrip() + "\n")
    with open(os.path.join(out, "index.txt"), "w", newline="\n") as f:
        f.writelines(lines)
    print("wrote %d blocks and index.txt to %s" % (len(lines) - 1, out))


if __name__ == "__main__":
    main()
