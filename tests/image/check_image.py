#!/usr/bin/env python3
"""Reads a launcher image back and checks what it declares.

    check_image.py --settings FILE IMAGE.exe [--objdump PATH]

Parses the PE file itself (headers, sections, imports, resources) and compares every setting with
the values the launcher must have: header fields, loader flags, imports, no exports, no overlay,
and the resources byte for byte (manifest), field by field (version block, icon group) and image by
image (PNG icons). With --objdump, `objdump -p -h` reads the same image as a second, independent
reader and its header fields, imports and sections must agree.

The expected image base, stack, heap and manifest come from FILE, which the build writes from the
values it links and embeds with (cmake/launcher_image.cmake); the company, product and version from
the header the version block is compiled from (resources/product.h, named in FILE).

Prints one line per check and the section and import lists; exit code 1 if any check fails.
Run on the build machine (not under Wine); standard library only. check() is also used by
check_image_faults.py, which damages good images and expects the right check to fail.
"""
import re
import struct
import subprocess
import sys
import zlib

# --- What the launcher image must declare -----------------------------------------------------

# Image base, stack, heap, manifest, version: set by load_settings() from the build's settings.
IMAGE_BASE = STACK = HEAP = MANIFEST = VERSION_FIXED = VERSION_STRINGS = None
SUBSYSTEM_WINDOWS_GUI = 2
DLL_HIGH_ENTROPY_VA = 0x0020
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
DLL_TERMINAL_SERVER_AWARE = 0x8000
DLL_CHARACTERISTICS = (DLL_HIGH_ENTROPY_VA | DLL_DYNAMIC_BASE | DLL_NX_COMPAT
                       | DLL_TERMINAL_SERVER_AWARE)
FILE_RELOCS_STRIPPED = 0x0001
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_LARGE_ADDRESS_AWARE = 0x0020
FILE_DLL = 0x2000
# The runtime library is linked in, but mingw-w64's static runtime still calls the system C
# runtime, msvcrt.dll: the one import beyond KERNEL32 and SHELL32 that is accepted.
IMPORTS = ["KERNEL32.dll", "SHELL32.dll", "msvcrt.dll"]

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_SIZES = (16, 32, 48, 64, 128, 256)

STRING_TABLE_KEY = "000004b0"


def load_settings(path):
    """Reads the build's image settings (key=value lines) and the product header they name."""
    global IMAGE_BASE, STACK, HEAP, MANIFEST, VERSION_FIXED, VERSION_STRINGS
    settings = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if "=" in line:
                key, value = line.rstrip("\n").split("=", 1)
                settings[key] = value
    pair = lambda text: tuple(int(part, 0) for part in text.split(","))
    IMAGE_BASE = int(settings["image_base"], 0)
    STACK, HEAP = pair(settings["stack"]), pair(settings["heap"])
    with open(settings["manifest"], "rb") as f:
        MANIFEST = f.read()
    product = {}
    with open(settings["product"], encoding="utf-8") as f:
        for name, value in re.findall(r"#define (TAVRIN_\w+) (.+)", f.read()):
            product[name] = value.strip()
    text = lambda name: product[name].strip('"')
    numbers = lambda name: [int(n) for n in product[name].split(",")]
    packed = lambda n: (n[0] << 16 | n[1], n[2] << 16 | n[3])
    company, name = text("TAVRIN_COMPANY_NAME"), text("TAVRIN_PRODUCT_NAME")
    VERSION_FIXED = {
        "signature": 0xFEEF04BD, "struct_version": 0,
        "file_version": packed(numbers("TAVRIN_FILE_VERSION_NUMBERS")),
        "product_version": packed(numbers("TAVRIN_PRODUCT_VERSION_NUMBERS")),
        "flags_mask": 0x3F, "flags": 0, "os": 4, "type": 1, "subtype": 0, "date": (0, 0),
    }
    # (key, exact value or a test of the value): the texts left to our own wording are tested for form.
    VERSION_STRINGS = [
        ("CompanyName", company),
        ("ProductName", name),
        ("FileDescription", lambda v: v.startswith(name + " \u2014 ") and len(v) > len(name) + 3
            and v[len(name) + 3:].strip() == v[len(name) + 3:] and "\n" not in v and "\r" not in v),
        ("ProductVersion", text("TAVRIN_PRODUCT_VERSION_TEXT")),
        ("FileVersion", text("TAVRIN_FILE_VERSION_TEXT")),
        ("OriginalFilename", "VX-Bench.exe"),
        ("InternalName", "VX-Bench"),
        ("LegalCopyright", lambda v: "2026" in v and company in v and "\n" not in v),
    ]


TRANSLATION = struct.pack("<HH", 0x0000, 0x04B0)


# --- PE reader --------------------------------------------------------------------------------

class Malformed(Exception):
    pass


class Section:
    def __init__(self, data, offset):
        (name, self.virtual_size, self.rva, self.raw_size, self.raw_pointer, _, _, _, _,
         self.characteristics) = struct.unpack_from("<8sIIIIIIHHI", data, offset)
        self.name = name.rstrip(b"\0").decode("ascii", "replace")
        self.header_offset = offset

    def flags(self):
        c = self.characteristics
        return "".join(ch if c & bit else "-" for ch, bit in
                       (("R", 0x40000000), ("W", 0x80000000), ("X", 0x20000000)))


class Image:
    """The parts of a PE32+ image that the checks read, with the file offsets of the fields."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise Malformed("no MZ header")
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise Malformed("no PE signature")
        self.coff_offset = pe + 4
        (self.machine, nsections, self.timestamp, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.coff_offset)
        o = self.optional_offset = self.coff_offset + 20
        (self.magic,) = struct.unpack_from("<H", data, o)
        if self.magic != 0x20B:
            raise Malformed("not PE32+ (optional header magic 0x%X)" % self.magic)
        (self.entry_point,) = struct.unpack_from("<I", data, o + 16)
        (self.image_base, self.section_alignment, self.file_alignment,
         self.os_major, self.os_minor, self.image_major, self.image_minor,
         self.subsystem_major, self.subsystem_minor, self.win32_version, self.size_of_image,
         self.size_of_headers, self.checksum, self.subsystem, self.dll_characteristics,
         self.stack_reserve, self.stack_commit, self.heap_reserve, self.heap_commit,
         self.loader_flags, ndirs) = struct.unpack_from("<QIIHHHHHHIIIIHHQQQQII", data, o + 24)
        self.directories = [struct.unpack_from("<II", data, o + 112 + 8 * i)
                            for i in range(min(ndirs, 16))]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        first = o + optional_size
        self.sections = [Section(data, first + 40 * i) for i in range(nsections)]

    def offset(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + max(s.virtual_size, s.raw_size):
                if rva - s.rva >= s.raw_size:
                    raise Malformed("RVA 0x%X lies in the zero-filled part of %s" % (rva, s.name))
                return s.raw_pointer + rva - s.rva
        raise Malformed("RVA 0x%X is in no section" % rva)

    def c_string(self, rva):
        start = self.offset(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("ascii", "replace")

    def imports(self):
        rva = self.directories[1][0]
        names = []
        if not rva:
            return names
        pos = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", self.data, pos)
            if not (lookup or name_rva or thunks):
                return names
            names.append(self.c_string(name_rva))
            pos += 20

    def resources(self):
        """[(type, name, language, data offset, data, data entry offset)], numeric or string
        type and name."""
        rva, _ = self.directories[2]
        if not rva:
            return []
        base = self.offset(rva)
        out = []

        def ident(entry_name):
            if entry_name & 0x80000000:
                p = base + (entry_name & 0x7FFFFFFF)
                (n,) = struct.unpack_from("<H", self.data, p)
                return self.data[p + 2:p + 2 + 2 * n].decode("utf-16-le")
            return entry_name

        def walk(table, path):
            named, numbered = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + numbered):
                entry_name, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                key = path + [ident(entry_name)]
                if target & 0x80000000:
                    if len(key) >= 3:
                        raise Malformed("resource tree deeper than type/name/language")
                    walk(target & 0x7FFFFFFF, key)
                else:
                    if len(key) != 3:
                        raise Malformed("resource data at depth %d" % len(key))
                    data_rva, size, _, _ = struct.unpack_from("<IIII", self.data, base + target)
                    at = self.offset(data_rva)
                    out.append((key[0], key[1], key[2], at, self.data[at:at + size], base + target))
        walk(0, [])
        return out


# --- Version block ----------------------------------------------------------------------------

class Node:
    def __init__(self, block, pos):
        if pos + 6 > len(block):
            raise Malformed("version node at %d runs past the block" % pos)
        self.offset = pos
        self.length, self.value_length, self.type = struct.unpack_from("<HHH", block, pos)
        self.end = pos + self.length
        if self.length < 6 or self.end > len(block):
            raise Malformed("version node at %d has length %d" % (pos, self.length))
        key_end = pos + 6
        while True:
            if key_end + 2 > self.end:
                raise Malformed("version node at %d has an unterminated key" % pos)
            if block[key_end:key_end + 2] == b"\0\0":
                break
            key_end += 2
        self.key = block[pos + 6:key_end].decode("utf-16-le")
        self.value_offset = (key_end + 2 + 3) & ~3
        self.block = block

    def children(self, first):
        out, pos = [], (first + 3) & ~3
        while pos < self.end:
            child = Node(self.block, pos)
            out.append(child)
            pos = (child.end + 3) & ~3
        return out

    def text(self):
        """A text value: UTF-16 from the value offset to its NUL, within the node."""
        pos = self.value_offset
        while True:
            if pos + 2 > self.end:
                raise Malformed("text value of %r has no terminating NUL" % self.key)
            if self.block[pos:pos + 2] == b"\0\0":
                break
            pos += 2
        return self.block[self.value_offset:pos].decode("utf-16-le")


def check_version(block, fail):
    root = Node(block, 0)
    if root.key != "VS_VERSION_INFO" or root.type != 0 or root.value_length != 52:
        fail("root node is %r, type %d, value length %d (VS_VERSION_INFO, 0, 52)"
             % (root.key, root.type, root.value_length))
        return
    if root.length != len(block):
        fail("root length %d, resource size %d" % (root.length, len(block)))
    f = struct.unpack_from("<13I", block, root.value_offset)
    fixed = {"signature": f[0], "struct_version": f[1], "file_version": (f[2], f[3]),
             "product_version": (f[4], f[5]), "flags_mask": f[6], "flags": f[7], "os": f[8],
             "type": f[9], "subtype": f[10], "date": (f[11], f[12])}
    for field, want in VERSION_FIXED.items():
        if fixed[field] != want:
            fail("fixed part %s is %s, want %s" % (field, fixed[field], want))
    kids = root.children(root.value_offset + 52)
    if [k.key for k in kids] != ["StringFileInfo", "VarFileInfo"]:
        fail("children of the root are %s" % [k.key for k in kids])
        return
    string_info, var_info = kids
    if string_info.type != 1 or string_info.value_length != 0:
        fail("StringFileInfo has type %d, value length %d" % (string_info.type, string_info.value_length))
    tables = string_info.children(string_info.value_offset)
    if [t.key for t in tables] != [STRING_TABLE_KEY]:
        fail("string tables are %s, want one %r" % ([t.key for t in tables], STRING_TABLE_KEY))
        return
    table = tables[0]
    if table.type != 1 or table.value_length != 0:
        fail("string table has type %d, value length %d" % (table.type, table.value_length))
    strings = table.children(table.value_offset)
    keys = [s.key for s in strings]
    want_keys = [k for k, _ in VERSION_STRINGS]
    if keys != want_keys:
        fail("string keys are %s, want %s" % (keys, want_keys))
    by_key = {s.key: s for s in strings}
    for key, want in VERSION_STRINGS:
        s = by_key.get(key)
        if s is None:
            continue
        value = s.text()
        if s.type != 1:
            fail("%s has type %d, want 1 (text)" % (key, s.type))
        nbytes = 2 * (len(value.encode("utf-16-le")) // 2 + 1)
        if s.value_length != nbytes:
            fail("%s value length is %d, want %d (bytes with the NUL)" % (key, s.value_length, nbytes))
        if callable(want):
            if not want(value):
                fail("%s is %r, not of the required form" % (key, value))
        elif value != want:
            fail("%s is %r, want %r" % (key, value, want))
    if var_info.type != 1 or var_info.value_length != 0:
        fail("VarFileInfo has type %d, value length %d" % (var_info.type, var_info.value_length))
    variables = var_info.children(var_info.value_offset)
    if [v.key for v in variables] != ["Translation"]:
        fail("VarFileInfo holds %s, want Translation only" % [v.key for v in variables])
        return
    t = variables[0]
    value = block[t.value_offset:t.value_offset + t.value_length]
    if t.type != 0 or t.value_length != 4 or value != TRANSLATION or t.value_offset + 4 != t.end:
        fail("Translation: type %d, value length %d, value %s (want 0, 4, 0x0000 0x04B0)"
             % (t.type, t.value_length, value.hex()))


# --- Icons ------------------------------------------------------------------------------------

def check_png(data, size, fail):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("not a PNG image")
        return
    pos, chunks, idat = 8, [], b""
    while pos < len(data):
        if pos + 12 > len(data):
            fail("truncated chunk at %d" % pos)
            return
        n, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + n]
        (crc,) = struct.unpack_from(">I", data, pos + 8 + n)
        if zlib.crc32(kind + body) != crc:
            fail("chunk %s has a bad CRC" % kind)
        chunks.append((kind, body))
        if kind == b"IDAT":
            idat += body
        pos += 12 + n
    if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND":
        fail("chunks are %s" % [k for k, _ in chunks])
        return
    width, height, depth, colour, method, filter_method, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (width, height) != (size, size):
        fail("image is %dx%d, want %dx%d" % (width, height, size, size))
    if (depth, colour, method, filter_method, interlace) != (8, 6, 0, 0, 0):
        fail("IHDR says depth %d, colour type %d, interlace %d (want 8-bit RGBA, not interlaced)"
             % (depth, colour, interlace))
    try:
        raw = zlib.decompress(idat)
        if len(raw) != height * (1 + 4 * width):
            fail("image data holds %d bytes, want %d" % (len(raw), height * (1 + 4 * width)))
    except zlib.error as e:
        fail("image data does not decompress: %s" % e)


def check_icons(resources, fail):
    groups = [r for r in resources if r[0] == RT_GROUP_ICON]
    icons = {r[1]: r[4] for r in resources if r[0] == RT_ICON}
    if [(g[1], g[2]) for g in groups] != [(1, 0)]:
        fail("icon groups are %s, want id 1, language 0" % [(g[1], g[2]) for g in groups])
        return
    group = groups[0][4]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    if (reserved, kind, count) != (0, 1, len(ICON_SIZES)) or len(group) != 6 + 14 * count:
        fail("group header %d/%d/%d, %d bytes (want 0/1/6, 90 bytes)" % (reserved, kind, count, len(group)))
        return
    if sorted(icons) != list(range(1, len(ICON_SIZES) + 1)):
        fail("icon resources are %s, want 1 to 6" % sorted(icons, key=str))
    for i, size in enumerate(ICON_SIZES):
        width, height, colours, reserved, planes, bits, nbytes, ident = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        side = 0 if size == 256 else size
        where = "group entry %d (%d px)" % (i + 1, size)
        if (width, height) != (side, side):
            fail("%s: %dx%d, want %d" % (where, width, height, side))
        if (colours, reserved, planes, bits) != (0, 0, 0, 32):
            fail("%s: colours %d, reserved %d, planes %d, bits %d (want 0, 0, 0, 32)"
                 % (where, colours, reserved, planes, bits))
        if ident != i + 1:
            fail("%s: icon id %d, want %d" % (where, ident, i + 1))
        data = icons.get(ident)
        if data is None:
            continue
        if nbytes != len(data):
            fail("%s: says %d bytes, icon %d has %d" % (where, nbytes, ident, len(data)))
        check_png(data, size, lambda m, where="icon %d (%d px)" % (ident, size): fail("%s: %s" % (where, m)))


# --- objdump, the second reader ---------------------------------------------------------------

def objdump_facts(text):
    def field(name):
        m = re.search(r"^%s\s+(?:0x)?([0-9a-fA-F]+)" % name, text, re.M)
        return int(m.group(1), 16) if m else None

    def decimal(name):
        m = re.search(r"^%s\s+(\d+)" % name, text, re.M)
        return int(m.group(1)) if m else None

    characteristics = field("Characteristics")
    return {
        "magic": field("Magic"),
        "image_base": field("ImageBase"),
        "subsystem": field("Subsystem"),
        "os_version": (decimal("MajorOSystemVersion"), decimal("MinorOSystemVersion")),
        "subsystem_version": (decimal("MajorSubsystemVersion"), decimal("MinorSubsystemVersion")),
        "stack": (field("SizeOfStackReserve"), field("SizeOfStackCommit")),
        "heap": (field("SizeOfHeapReserve"), field("SizeOfHeapCommit")),
        "dll_characteristics": field("DllCharacteristics"),
        "checksum": field("CheckSum"),
        "characteristics": characteristics,
        "imports": re.findall(r"^\s*DLL Name: (\S+)", text, re.M),
        "sections": re.findall(r"^\s*\d+ (\.?\S+)\s+[0-9a-f]{8}\s+[0-9a-f]{16}", text, re.M),
    }


# --- The checks -------------------------------------------------------------------------------

def check(data, objdump_text=None, report=print):
    """Runs every check on the image bytes; returns the names of the failed checks."""
    failed = []

    def result(name, problems, detail=""):
        if problems:
            failed.append(name)
            for p in problems:
                report("FAIL %s: %s" % (name, p))
        else:
            report("ok   %s%s" % (name, ": " + detail if detail else ""))

    def run(name, body, detail=""):
        problems = []
        try:
            body(problems.append)
        except (Malformed, struct.error, ValueError, IndexError) as e:
            problems.append("unreadable: %s" % e)
        result(name, problems, detail)

    try:
        image = Image(data)
    except (Malformed, struct.error) as e:
        result("pe format", ["%s" % e])
        return failed

    def expect(fail, what, got, want, fmt="%s"):
        def show(v):
            return str(v) if isinstance(v, tuple) else fmt % v
        if got != want:
            fail("%s is %s, want %s" % (what, show(got), show(want)))

    run("pe format", lambda fail: (
        expect(fail, "machine", image.machine, 0x8664, "0x%X"),
        expect(fail, "optional header magic", image.magic, 0x20B, "0x%X")),
        "PE32+ x86-64")

    def characteristics(fail):
        c = image.characteristics
        for bit, name, want in ((FILE_EXECUTABLE_IMAGE, "executable image", True),
                                (FILE_LARGE_ADDRESS_AWARE, "large address aware", True),
                                (FILE_DLL, "DLL", False),
                                (FILE_RELOCS_STRIPPED, "relocations stripped", False)):
            if bool(c & bit) != want:
                fail("%s flag is %s (characteristics 0x%04X)" % (name, "set" if c & bit else "clear", c))
    run("image flags", characteristics, "executable, large address aware (0x%04X)" % image.characteristics)

    run("image base", lambda fail: expect(fail, "image base", image.image_base, IMAGE_BASE, "0x%X"),
        "0x%X" % image.image_base)
    run("timestamp", lambda fail: expect(fail, "header timestamp", image.timestamp, 0, "0x%X"), "0")
    run("symbols stripped", lambda fail: expect(
        fail, "symbol table (pointer, count)", (image.symbol_table, image.symbol_count), (0, 0)))
    run("subsystem", lambda fail: expect(fail, "subsystem", image.subsystem, SUBSYSTEM_WINDOWS_GUI),
        "Windows GUI")
    run("versions", lambda fail: (
        expect(fail, "OS version", (image.os_major, image.os_minor), (6, 0)),
        expect(fail, "subsystem version", (image.subsystem_major, image.subsystem_minor), (6, 0))),
        "OS 6.0, subsystem 6.0")
    run("stack", lambda fail: expect(fail, "stack reserve/commit",
                                     (image.stack_reserve, image.stack_commit), STACK),
        "reserve 0x%X, commit 0x%X" % STACK)
    run("heap", lambda fail: expect(fail, "heap reserve/commit",
                                    (image.heap_reserve, image.heap_commit), HEAP),
        "reserve 0x%X, commit 0x%X" % HEAP)
    run("dll characteristics", lambda fail: expect(
        fail, "DllCharacteristics", image.dll_characteristics, DLL_CHARACTERISTICS, "0x%04X"),
        "HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT TERMINAL_SERVER_AWARE")
    run("checksum", lambda fail: expect(fail, "header checksum", image.checksum, 0, "0x%X"), "0")

    def directories(fail):
        for index, name in ((0, "export"), (4, "certificate (signature)"), (13, "delay import"),
                            (14, "CLR runtime")):
            if image.directories[index] != (0, 0):
                fail("%s directory present: %s" % (name, image.directories[index]))
        if image.directories[5][1] == 0:
            fail("no base relocations: the image cannot be placed at random addresses")
        if image.directories[2][1] == 0:
            fail("no resources")
    run("directories", directories, "no exports, signature, delay imports; relocations kept")
    if image.directories[9][1]:
        report("note TLS directory present: the static runtime's (accepted)")

    imports = []

    def check_imports(fail):
        imports.extend(image.imports())
        if sorted(n.lower() for n in imports) != sorted(n.lower() for n in IMPORTS):
            fail("imports %s, want %s" % (imports, IMPORTS))
    run("imports", check_imports, "")

    def sections(fail):
        end = image.size_of_headers
        for s in image.sections:
            if s.raw_size:
                if s.raw_pointer + s.raw_size > len(data):
                    fail("section %s runs past the end of the file" % s.name)
                end = max(end, s.raw_pointer + s.raw_size)
            if s.characteristics & 0x80000000 and s.characteristics & 0x20000000:
                fail("section %s is writable and executable" % s.name)
        if len(data) != end:
            fail("%d bytes after the last section's data (file %d, sections end at %d)"
                 % (len(data) - end, len(data), end))
        entry = [s for s in image.sections if s.rva <= image.entry_point < s.rva + s.virtual_size]
        if not entry or not entry[0].characteristics & 0x20000000:
            fail("entry point 0x%X is not in an executable section" % image.entry_point)
    run("sections", sections, "no overlay, none writable and executable")

    resources = []

    def resource_list(fail):
        resources.extend(image.resources())
        got = sorted((r[0], r[1], r[2]) for r in resources)
        want = sorted([(RT_MANIFEST, 1, 0), (RT_VERSION, 1, 0), (RT_GROUP_ICON, 1, 0)]
                      + [(RT_ICON, i, 0) for i in range(1, len(ICON_SIZES) + 1)])
        if got != want:
            fail("resources (type, id, language) are %s, want %s" % (got, want))
    run("resources", resource_list, "manifest, version, icon group, 6 icons; language neutral")

    def manifest(fail):
        found = [r[4] for r in resources if r[0] == RT_MANIFEST]
        if len(found) != 1:
            fail("%d manifests" % len(found))
            return
        text = found[0]
        if len(text) != len(MANIFEST):
            fail("manifest is %d bytes, want %d" % (len(text), len(MANIFEST)))
        if text != MANIFEST:
            at = next((i for i, (a, b) in enumerate(zip(text, MANIFEST)) if a != b),
                      min(len(text), len(MANIFEST)))
            fail("manifest differs from byte %d: %r" % (at, text[max(0, at - 20):at + 40]))
    run("manifest", manifest, "%d bytes, exact text" % len(MANIFEST))

    def version(fail):
        found = [r[4] for r in resources if r[0] == RT_VERSION]
        if len(found) != 1:
            fail("%d version resources" % len(found))
            return
        check_version(found[0], fail)
    run("version", version, "fixed part, %d strings, value lengths in bytes, Translation"
        % len(VERSION_STRINGS))
    run("icons", lambda fail: check_icons(resources, fail), "group of 6, PNG images 16 to 256 px")

    if objdump_text is not None:
        def second_reader(fail):
            o = objdump_facts(objdump_text)
            mine = {
                "magic": image.magic, "image_base": image.image_base, "subsystem": image.subsystem,
                "os_version": (image.os_major, image.os_minor),
                "subsystem_version": (image.subsystem_major, image.subsystem_minor),
                "stack": (image.stack_reserve, image.stack_commit),
                "heap": (image.heap_reserve, image.heap_commit),
                "dll_characteristics": image.dll_characteristics, "checksum": image.checksum,
                "characteristics": image.characteristics, "imports": imports,
                "sections": [s.name for s in image.sections],
            }
            for key, value in mine.items():
                if o[key] != value:
                    fail("objdump reads %s as %s, this reader as %s" % (key, o[key], value))
        run("objdump agrees", second_reader, "header, imports and sections read the same")

    report("sections:")
    for s in image.sections:
        report("  %-8s rva 0x%06X  virtual 0x%06X  file 0x%06X+0x%06X  %s"
               % (s.name, s.rva, s.virtual_size, s.raw_pointer, s.raw_size, s.flags()))
    report("imports: %s" % ", ".join(imports))
    return failed


def main(argv):
    args, objdump, settings = [], None, None
    i = 0
    while i < len(argv):
        if argv[i] == "--objdump" and i + 1 < len(argv):
            objdump = argv[i + 1]
            i += 2
        elif argv[i] == "--settings" and i + 1 < len(argv):
            settings = argv[i + 1]
            i += 2
        else:
            args.append(argv[i])
            i += 1
    if len(args) != 1 or settings is None:
        print("usage: check_image.py --settings FILE IMAGE.exe [--objdump PATH]", file=sys.stderr)
        return 2
    load_settings(settings)
    with open(args[0], "rb") as f:
        data = f.read()
    objdump_text = None
    if objdump:
        objdump_text = subprocess.run([objdump, "-p", "-h", args[0]], check=True,
                                      capture_output=True, text=True).stdout
    print("image %s (%d bytes)" % (args[0], len(data)))
    failed = check(data, objdump_text)
    if failed:
        print("%d check(s) failed: %s" % (len(failed), ", ".join(failed)))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
