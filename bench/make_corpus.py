#!/usr/bin/env python3
"""Builds the benchmark corpus: a deterministic application tree made of files installed on the
machine (Wine's PE DLLs, Python's standard library), shaped like a real large application.

Shapes:
  large  1,127 files, 89 directories nested up to 5 levels, ASCII names of at most 68 characters,
         no empty file, 151,869,935 bytes, of which the application DLL takes 71,863,296.
  small  the same kind of tree of 1,000,000 bytes (40 files, 4 directories, 3 levels).

The application DLL (app.dll, the entry) is the benchmark application given with --app-dll; in the
large shape bulk data taken from Wine's largest DLLs is appended after its last section, so that it
stays a loadable DLL whose run_code returns at once. The other DLLs are taken as a stripped
build ships them (without the DWARF sections that Debian's Wine DLLs carry); one filler file, a
prefix of installed files, brings the total to the exact byte count.

Only files that Debian's packages installed are taken (libwine for the DLLs, libpython3.X-minimal
and -stdlib for the library), so that two machines with the same package versions build the same
tree; the manifest written beside the tree records the sources and a digest of the whole tree.

Usage: make_corpus.py --shape large|small --app-dll PATH --out DIR
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys

SHAPES = {
    "large": dict(files=1127, directories=89, depth=5, name_max=68, total=151_869_935, first=71_863_296),
    "small": dict(files=40, directories=4, depth=3, name_max=68, total=1_000_000, first=None),
}
ENTRY_NAME = "app.dll"
PYTHON_PREFIX = ("runtime", "lib")   # the library lands in runtime\lib\...
PLUGINS = "plugins"                  # Wine's DLLs land in plugins\<group>\... and at the top level
FILLER_NAME = "resources.pak"        # the file that takes the last bytes of the total
TOP_LEVEL_DLLS = 24                  # Wine DLLs beside app.dll (large shape)


def die(message):
    print(f"make_corpus: error: {message}", file=sys.stderr)
    sys.exit(1)


def package_files(package):
    """The regular files (no symbolic links) that a Debian package installed."""
    try:
        listed = subprocess.run(["dpkg-query", "-L", package], capture_output=True, text=True)
    except FileNotFoundError:
        die("dpkg-query not found: the corpus is made from Debian's packages")
    if listed.returncode != 0:
        die(f"package {package} is not installed (scripts/setup.sh installs wine64 and python3)")
    return sorted(p for p in listed.stdout.splitlines()
                  if p.startswith("/") and os.path.isfile(p) and not os.path.islink(p))


def image_length(path):
    """The length of the PE image in `path` without its trailing debug sections: the part a
    stripped build would ship. Debian's Wine DLLs carry DWARF sections after the loaded ones."""
    with open(path, "rb") as f:
        head = f.read(1 << 16)
    if head[:2] != b"MZ":
        return os.path.getsize(path)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        return os.path.getsize(path)
    sections, _, symbol_table, symbols, optional_size = struct.unpack_from("<HIIIH", head, pe + 6)
    end = struct.unpack_from("<I", head, pe + 24 + 60)[0]  # SizeOfHeaders
    strings = None
    for i in range(sections):
        at = pe + 24 + optional_size + 40 * i
        name = head[at:at + 8].rstrip(b"\0")
        raw_size, raw_offset = struct.unpack_from("<II", head, at + 16)
        if name.startswith(b"/"):  # a long name, in the COFF string table
            if not symbol_table:
                continue
            if strings is None:
                with open(path, "rb") as f:
                    f.seek(symbol_table + symbols * 18)
                    strings = f.read(1 << 16)
            offset = int(name[1:])
            name = strings[offset:strings.index(b"\0", offset)]
        if name.startswith(b".debug"):
            continue
        if raw_size:
            end = max(end, raw_offset + raw_size)
    return min(end, os.path.getsize(path))


def wine_sources():
    for directory in ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/lib/wine/x86_64-windows"):
        if os.path.isfile(os.path.join(directory, "kernel32.dll")):
            break
    else:
        die("Wine's 64-bit PE DLLs not found (x86_64-windows/kernel32.dll): install wine64")
    owner = subprocess.run(["dpkg-query", "-S", os.path.join(directory, "kernel32.dll")],
                           capture_output=True, text=True)
    if owner.returncode != 0:
        die(f"no Debian package owns {directory}/kernel32.dll")
    package = owner.stdout.split(":")[0].strip()
    arch = owner.stdout.split(":")[1].strip() if owner.stdout.count(":") >= 2 else ""
    files = [p for p in package_files(f"{package}:{arch}" if arch else package)
             if os.path.dirname(p) == directory]
    names = [os.path.basename(p) for p in files]
    files = [p for p, n in zip(files, names) if n.isascii() and os.path.getsize(p) > 0]
    if len(files) < 300:
        die(f"only {len(files)} Wine DLLs in {directory}: is wine64 complete?")
    return directory, package, files


def python_sources():
    versions = sorted((d for d in os.listdir("/usr/lib") if re.fullmatch(r"python3\.\d+", d)),
                      key=lambda d: int(d.split(".")[1]))
    for version in reversed(versions):
        root = f"/usr/lib/{version}"
        if os.path.isfile(f"{root}/os.py"):
            break
    else:
        die("Python's library not found (/usr/lib/python3.X/os.py): install python3")
    packages = [f"lib{version}-minimal", f"lib{version}-stdlib"]
    files = []
    for package in packages:
        files += [p for p in package_files(package) if p.startswith(root + "/")]
    files = sorted(set(files))
    files = [p for p in files if "__pycache__" not in p.split("/") and os.path.getsize(p) > 0]
    return root, packages, files


def archive_name(parts):
    return "\\".join(parts)


class Plan:
    """Archive name -> list of (source path, offset, length) pieces."""

    def __init__(self):
        self.files = {}

    def add(self, name, pieces):
        assert name not in self.files, name
        self.files[name] = pieces

    def size(self, name):
        return sum(length for _, _, length in self.files[name])


def take_bytes(sources, count, what):
    """Pieces covering the first `count` bytes of the concatenation of `sources`."""
    pieces, left = [], count
    for path in sources:
        if left == 0:
            break
        n = min(left, os.path.getsize(path))
        pieces.append((path, 0, n))
        left -= n
    if left:
        die(f"not enough bytes for {what}")
    return pieces


def directories_of(names):
    found = set()
    for name in names:
        parts = name.split("\\")[:-1]
        for i in range(1, len(parts) + 1):
            found.add("\\".join(parts[:i]))
    return found


def choose_sizes(candidates, length, count, budget, reserve):
    """`count` files from `candidates` (paths, sized by `length`) whose sizes add up to at most
    budget - reserve and come close to it: the smallest ones first, then each, from the largest
    down, traded for the largest unused file that still fits."""
    key = lambda p: (length[p], os.path.basename(p))
    by_size = sorted(candidates, key=key)
    if count > len(by_size):
        die("not enough Wine DLLs for the file count")
    chosen, unused = by_size[:count], by_size[count:]
    total = sum(length[p] for p in chosen)
    limit = budget - reserve
    if total > limit:
        die("the smallest Wine DLLs alone exceed the byte budget")
    for i in range(count - 1, -1, -1):
        room = limit - total + length[chosen[i]]
        best = next((j for j in range(len(unused) - 1, -1, -1) if length[unused[j]] <= room), None)
        if best is not None and length[unused[best]] > length[chosen[i]]:
            old = chosen[i]
            chosen[i] = unused.pop(best)
            unused.append(old)
            unused.sort(key=key)
            total += length[chosen[i]] - length[old]
    return chosen, unused, total


def stable_hash(text):
    return hashlib.sha256(text.encode()).hexdigest()


def whole(path, length=None):
    return [(path, 0, os.path.getsize(path) if length is None else length)]


def plan_large(shape, app_dll, wine, python):
    _, _, wine_files = wine
    py_root, _, py_files = python
    plan = Plan()

    # The entry: the benchmark DLL with bulk data appended: Wine's largest DLLs as they are installed,
    # debug sections included, which are then used nowhere else.
    app_size = os.path.getsize(app_dll)
    bulk = sorted(wine_files, key=lambda p: (-os.path.getsize(p), os.path.basename(p)))
    overlay, need = [], shape["first"] - app_size
    for path in bulk:
        if need <= 0:
            break
        overlay.append(path)
        need -= os.path.getsize(path)
    plan.add(ENTRY_NAME, whole(app_dll) + take_bytes(overlay, shape["first"] - app_size, "the entry"))
    wine_rest = [p for p in wine_files if p not in overlay]
    # The other DLLs as a stripped build ships them: without their debug sections.
    length = {p: image_length(p) for p in wine_rest}

    # Python's library under runtime\lib, as deep as the shape allows.
    python_names = {}
    for path in py_files:
        parts = list(PYTHON_PREFIX) + os.path.relpath(path, py_root).split(os.sep)
        name = archive_name(parts)
        if not name.isascii() or len(name) > shape["name_max"] or len(parts) - 1 > shape["depth"]:
            continue
        python_names[name] = path
    wine_dir_count = shape["directories"] - len(directories_of(python_names))
    if wine_dir_count < 2:
        die("Python's library has more directories than the shape")

    # Files: the rest after app.dll and the library are Wine DLLs, and the filler.
    wine_count = shape["files"] - 1 - len(python_names) - 1
    groups = wine_dir_count - 1  # plugins\ itself holds only groups
    if wine_count < TOP_LEVEL_DLLS + groups:
        die("Python's library has more files than the shape leaves room for")
    for name, path in python_names.items():
        plan.add(name, whole(path))
    python_bytes = sum(os.path.getsize(p) for p in python_names.values())
    budget = shape["total"] - shape["first"] - python_bytes
    chosen, unused, chosen_bytes = choose_sizes(wine_rest, length, wine_count, budget, reserve=1 << 20)
    filler_sources = sorted(unused, key=lambda p: (-os.path.getsize(p), os.path.basename(p)))
    plan.add(FILLER_NAME, take_bytes(filler_sources, budget - chosen_bytes, "the filler"))

    # Wine DLLs: some beside app.dll, the others in groups under plugins\, one group per run of
    # names in sorted order, named after the run's first DLL.
    names = sorted(chosen, key=os.path.basename)
    top = set(sorted(names, key=lambda p: stable_hash(os.path.basename(p)))[:TOP_LEVEL_DLLS])
    for path in sorted(top):
        plan.add(os.path.basename(path), whole(path, length[path]))
    rest = [p for p in names if p not in top]
    used_group_names = set()
    for g in range(groups):
        run = rest[g * len(rest) // groups:(g + 1) * len(rest) // groups]
        group = re.sub(r"[^a-z0-9_]", "_", os.path.splitext(os.path.basename(run[0]))[0].lower())[:20]
        while group in used_group_names:
            group += "_"
        used_group_names.add(group)
        for path in run:
            plan.add(archive_name([PLUGINS, group, os.path.basename(path)]), whole(path, length[path]))
    return plan


def plan_small(shape, app_dll, wine, python):
    py_root, _, py_files = python
    plan = Plan()
    plan.add(ENTRY_NAME, whole(app_dll))
    # Three directories of the library and the level above them: lib\json, lib\email\mime, ...
    picked = []
    for sub in ["json", "email/mime", "email"]:
        picked += sorted(p for p in py_files if os.path.dirname(os.path.relpath(p, py_root)) == sub)
    picked = picked[:shape["files"] - 2]
    for path in picked:
        plan.add(archive_name(["lib"] + os.path.relpath(path, py_root).split(os.sep)), whole(path))
    # The count is made up with the smallest Wine DLLs, beside app.dll.
    _, _, wine_files = wine
    length = {p: image_length(p) for p in wine_files}
    smallest = sorted(wine_files, key=lambda p: (length[p], os.path.basename(p)))
    for path in smallest[:shape["files"] - 2 - len(picked)]:
        plan.add(os.path.basename(path), whole(path, length[path]))
    total = sum(plan.size(n) for n in plan.files)
    if total >= shape["total"]:
        die("the small shape's files exceed its byte count")
    filler_sources = sorted(wine_files, key=lambda p: (-os.path.getsize(p), os.path.basename(p)))
    plan.add(FILLER_NAME, take_bytes(filler_sources, shape["total"] - total, "the filler"))
    return plan


def check(plan, shape):
    names = list(plan.files)
    problems = []
    if len(names) != shape["files"]:
        problems.append(f"{len(names)} files, not {shape['files']}")
    dirs = directories_of(names)
    if len(dirs) != shape["directories"]:
        problems.append(f"{len(dirs)} directories, not {shape['directories']}")
    depth = max(len(n.split("\\")) - 1 for n in names)
    if depth != shape["depth"]:
        problems.append(f"nested {depth} levels, not {shape['depth']}")
    longest = max(len(n) for n in names)
    if longest > shape["name_max"] or not all(n.isascii() for n in names):
        problems.append(f"a name of {longest} characters or not ASCII")
    if len({n.lower() for n in names}) != len(names):
        problems.append("two names differ only in case")
    total = sum(plan.size(n) for n in names)
    if total != shape["total"]:
        problems.append(f"{total} bytes, not {shape['total']}")
    if shape["first"] and plan.size(ENTRY_NAME) != shape["first"]:
        problems.append(f"the entry has {plan.size(ENTRY_NAME)} bytes, not {shape['first']}")
    if any(plan.size(n) == 0 for n in names):
        problems.append("an empty file")
    if problems:
        die("the tree does not have its shape: " + "; ".join(problems))
    return dict(files=len(names), directories=len(dirs), depth=depth, longest_name=longest, bytes=total)


def write(plan, out):
    if os.path.exists(out):
        shutil.rmtree(out)
    digest = hashlib.sha256()
    for name in sorted(plan.files):
        path = os.path.join(out, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        digest.update(name.encode() + b"\0")
        with open(path, "wb") as target:
            for source, offset, length in plan.files[name]:
                with open(source, "rb") as f:
                    f.seek(offset)
                    data = f.read(length)
                if len(data) != length:
                    die(f"{source} changed while the corpus was made")
                target.write(data)
                digest.update(data)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shape", choices=sorted(SHAPES), required=True)
    parser.add_argument("--app-dll", required=True, help="the benchmark application DLL (bench_app.dll)")
    parser.add_argument("--out", required=True, help="the directory to (re)create")
    args = parser.parse_args()
    if not os.path.isfile(args.app_dll):
        die(f"{args.app_dll} not found: build the bench_app target first")
    shape = SHAPES[args.shape]
    wine, python = wine_sources(), python_sources()
    plan = (plan_large if args.shape == "large" else plan_small)(shape, args.app_dll, wine, python)
    facts = check(plan, shape)
    digest = write(plan, args.out)

    versions = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\\n", wine[1]] + python[1],
                              capture_output=True, text=True).stdout.split("\n")
    manifest = args.out.rstrip("/") + ".manifest"
    with open(manifest, "w") as m:
        m.write(f"shape {args.shape}\n")
        for key, value in facts.items():
            m.write(f"{key} {value}\n")
        m.write(f"entry {ENTRY_NAME} {plan.size(ENTRY_NAME)}\n")
        m.write(f"sha256 {digest}\n")
        for line in versions:
            if line:
                m.write(f"package {line}\n")
        m.write(f"wine_dir {wine[0]}\npython_dir {python[0]}\n")
        for name in sorted(plan.files):
            pieces = ",".join(f"{s}@{o}+{n}" for s, o, n in plan.files[name])
            m.write(f"file {name}\t{plan.size(name)}\t{pieces}\n")
    print(f"corpus {args.shape}: {facts['files']} files, {facts['directories']} directories, depth {facts['depth']}, "
          f"names <= {facts['longest_name']}, {facts['bytes']} bytes, sha256 {digest[:16]}")


if __name__ == "__main__":
    main()
