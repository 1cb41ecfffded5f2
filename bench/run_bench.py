#!/usr/bin/env python3
"""Runs the benchmarks and writes bench/RESULTS.md. scripts/bench.sh builds what is needed, starts
the wineserver and calls this; see bench/README.md for what is measured and why.

Every measurement is repeated --runs times (default 5) and reported as the median, next to the
physical limit it is closest to and the ratio between the two.
"""
import argparse
import datetime
import getpass
import json
import os
import platform
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import time

KIB = 1024
MIB = 1024 * 1024
LAUNCHER_WINDOW = 128 * KIB   # the reader's window
LAUNCHER_COPY_BUFFER = 32 * KIB  # the unpacking's copy buffer
CHEAP_RUNS_PER_ROUND = 5         # runs per round of what takes milliseconds
PAGE = 4096                      # the file offset the packer starts the attached-data section at

# The "before": numbers of the run recorded in bench/RESULTS.md as committed with the benchmarks
# (7c08932), copied as recorded. Then the attached-data section started at file offset 0x31800 (not
# a page boundary: Wine copied the whole section into private memory at every start) and the clean-up
# deleted the tree with SHFileOperationW, the limit "delete the tree" being that same call.
BEFORE = dict(
    date="2026-12-07 09:07 UTC", runs=5, section_offset=0x31800,
    large=dict(run=4394.4, limit=4383.3, ratio="1.00", delete=2825.8, child_run=77.5, child_entry=79.7,
               child_run_ratio="2.78", child_entry_ratio="3.25", child_anon=28.1, child_ws=38.3,
               child_ws_ratio="2.97", parent_anon=27.9, parent_ws=47.3, parent_ws_ratio="4.02; 1.03"),
    small=dict(run=215.9, limit=170.8, ratio="1.26", delete=94.1, child_run=61.9, child_entry=59.9,
               child_run_ratio="2.22", child_entry_ratio="2.44"),
    growth_run="1.25", growth_entry="1.33", trivial_run=27.9, trivial_entry=24.5,
)


class Bench:
    def __init__(self, args):
        self.root = os.path.abspath(args.root)
        self.build = os.path.abspath(args.build)
        self.work = os.path.join(self.build, "bench")
        self.runs = args.runs
        self.levels = args.levels
        self.results = args.results
        self.windows = os.path.join(self.build, "windows")
        self.host = os.path.join(self.build, "host")
        self.launcher = os.path.join(self.windows, "launcher", "tavrin-launcher.exe")
        self.bench_bin = os.path.join(self.windows, "bench")
        self.tool = os.path.join(self.bench_bin, "tavrin-bench.exe")
        self.packer = os.path.join(self.host, "packer", "tavrin-pack")
        self.logs = os.path.join(self.work, "logs")
        self.commands = []  # (description, command line) in the order first run
        self.started = time.time()
        self.load_at_start = load_average()
        self.prefix = os.environ.get("WINEPREFIX", "")
        self.temp_dir = os.path.join(self.prefix, "drive_c", "users", getpass.getuser(), "Temp")

    # ---- helpers ----

    def say(self, text):
        print(f"bench [{time.time() - self.started:6.1f} s] {text}", flush=True)

    def shown(self, argv):
        argv = ["python3" if a == sys.executable else a for a in argv]
        text = " ".join(shlex.quote(a) for a in argv)
        return self.abbreviate(text)

    def abbreviate(self, text):
        build_windows = self.windows_path(self.build) + "\\"
        return (text.replace(self.build + "/", "$BUILD/").replace(build_windows, "Z:$BUILD\\")
                .replace(self.root + "/", ""))

    def note(self, argv, times=1):
        line = self.shown(argv)
        for i, (known, count) in enumerate(self.commands):
            if known == line:
                self.commands[i] = (known, count + times)
                return
        self.commands.append((line, times))

    def windows_path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def wine(self, name, *arguments):
        """Runs tavrin-bench under Wine; returns its output lines as (kind, words)."""
        argv = ["wine", self.tool] + list(arguments)
        self.note(argv)
        out_path = os.path.join(self.logs, name + ".out")
        err_path = os.path.join(self.logs, name + ".err")
        with open(out_path, "w") as out, open(err_path, "w") as err:
            status = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err).returncode
        records = []
        with open(out_path) as out:
            for line in out:
                kind, _, rest = line.strip().partition(" ")
                words = dict(w.split("=", 1) for w in rest.split() if "=" in w)
                records.append((kind, words))
        if status != 0:
            sys.exit(f"bench: error: tavrin-bench {arguments[0]} failed (status {status}); see {out_path}")
        return records

    def timed(self, argv):
        """Runs a host command; returns (wall seconds, CPU seconds, peak RSS in bytes)."""
        self.note(argv)
        err_path = os.path.join(self.logs, "host.err")
        with open(err_path, "w") as err:
            start = time.perf_counter()
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            _, status, usage = os.wait4(process.pid, 0)
            wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            with open(err_path) as err:
                sys.exit(f"bench: error: {self.shown(argv)} failed:\n{err.read()}")
        return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024

    def leftovers(self):
        if not os.path.isdir(self.temp_dir):
            return set()
        return {n for n in os.listdir(self.temp_dir) if n.startswith(("onefile_", "tavrin_bench_"))}

    # ---- packages ----

    def attached_section(self, exe):
        with open(exe, "rb") as f:
            data = f.read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        sections, = struct.unpack_from("<H", data, pe + 6)
        optional, = struct.unpack_from("<H", data, pe + 20)
        for i in range(sections):
            at = pe + 24 + optional + 40 * i
            if data[at:at + 8].rstrip(b"\0") == b".tavrin":
                virtual_size, _, raw_size, raw_offset = struct.unpack_from("<IIII", data, at + 8)
                return data, at, raw_offset, min(virtual_size, raw_size)
        sys.exit(f"bench: error: {exe} has no .tavrin section")

    def frame_facts(self, exe):
        data, _, offset, length = self.attached_section(exe)
        frame = data[offset + 3:offset + length - 12]
        descriptor = frame[4]
        single_segment = bool(descriptor & 0x20)
        window = None
        if not single_segment:
            byte = frame[5]
            window_log = 10 + (byte >> 3)
            window = (1 << window_log) + ((1 << window_log) >> 3) * (byte & 7)
        return dict(frame=frame, block_size=length, raw_offset=offset, window=window,
                    window_log=(window.bit_length() - 1) if window else None, single_segment=single_segment)

    def content_stream(self, exe, out):
        """The uncompressed content stream of a package, decoded by the zstd tool."""
        facts = self.frame_facts(exe)
        frame_path = out + ".frame.zst"
        with open(frame_path, "wb") as f:
            f.write(facts["frame"])
        argv = ["zstd", "-q", "-d", "-f", frame_path, "-o", out]
        self.note(argv)
        subprocess.run(argv, check=True, stdin=subprocess.DEVNULL)
        os.remove(frame_path)
        return facts

    # ---- the run ----

    def run(self):
        os.makedirs(self.logs, exist_ok=True)
        before = self.leftovers()
        facts = {}

        self.say("corpus: generating the large (151.9 MB) and small (1 MB) trees")
        app_dll = os.path.join(self.bench_bin, "bench_app.dll")
        for shape in ("large", "small"):
            argv = [sys.executable, os.path.join(self.root, "bench", "make_corpus.py"), "--shape", shape,
                    "--app-dll", app_dll, "--out", os.path.join(self.work, f"corpus-{shape}")]
            self.note(argv)
            subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        facts["manifest"] = {}
        for shape in ("large", "small"):
            manifest = {}
            with open(os.path.join(self.work, f"corpus-{shape}.manifest")) as f:
                for line in f:
                    key, _, value = line.rstrip("\n").partition(" ")
                    if key == "package":
                        manifest.setdefault("packages", []).append(value)
                    elif key != "file":
                        manifest[key] = value
            facts["manifest"][shape] = manifest

        packages = {"large": os.path.join(self.work, "large.exe"), "small": os.path.join(self.work, "small.exe")}
        contents = {k: os.path.join(self.work, f"{k}.content") for k in packages}
        pack_results = {}
        for level in self.levels:
            self.say(f"packer against zstd at level {level}: {self.runs} runs each, interleaved")
            out = packages["large"] if level == self.levels[0] else os.path.join(self.work, f"large-level{level}.exe")
            zstd_out = os.path.join(self.work, f"large-level{level}.zst")
            rows = dict(pack=[], zstd=[])
            frame = None
            for run in range(self.runs):
                pack_argv = [self.packer, os.path.join(self.work, "corpus-large"), "-o", out, "--entry", "app.dll",
                             "--level", str(level), "--launcher", self.launcher]
                rows["pack"].append(self.timed(pack_argv))
                if frame is None:
                    frame = self.content_stream(out, contents["large"])
                    ultra = ["--ultra"] if level > 19 else []
                    zstd_argv = ["zstd", f"-{level}"] + ultra + [f"--zstd=wlog={frame['window_log']}", "-T0", "-q",
                                                                 "-f", contents["large"], "-o", zstd_out]
                rows["zstd"].append(self.timed(zstd_argv))
            pack_results[level] = dict(rows=rows, frame_size=len(frame["frame"]), block_size=frame["block_size"],
                                       exe_size=os.path.getsize(out), zstd_size=os.path.getsize(zstd_out),
                                       window_log=frame["window_log"], pack_argv=pack_argv, zstd_argv=zstd_argv)
        facts["pack"] = pack_results

        self.say("small package")
        small_argv = [self.packer, os.path.join(self.work, "corpus-small"), "-o", packages["small"], "--entry",
                      "app.dll", "--level", str(self.levels[0]), "--launcher", self.launcher]
        self.timed(small_argv)
        frames = {"large": self.content_stream(packages["large"], contents["large"]),
                  "small": self.content_stream(packages["small"], contents["small"])}
        facts["frames"] = {k: {x: v for x, v in f.items() if x != "frame"} | {"frame_size": len(f["frame"])}
                           for k, f in frames.items()}
        # The packer starts the section at a page boundary of the file, so that the loader maps it
        # rather than copies it; a package where it does not is not the product measured here.
        facts["section_offsets"] = {k: f["raw_offset"] for k, f in frames.items()}
        for key, offset in facts["section_offsets"].items():
            if offset % PAGE:
                sys.exit(f"bench: error: {packages[key]}: the attached-data section starts at file offset "
                         f"0x{offset:x}, not at a multiple of {PAGE}; is tavrin-pack up to date?")
        facts["package_sizes"] = {k: os.path.getsize(p) for k, p in packages.items()}

        w = self.windows_path
        trivial = w(os.path.join(self.bench_bin, "bench-trivial.exe"))
        trivial_shell32 = w(os.path.join(self.bench_bin, "bench-trivial-shell32.exe"))
        report = "C:\\users\\" + getpass.getuser() + "\\Temp\\tavrin_bench_report.txt"
        # One or a few runs of each per round, the rounds one after another: a slow moment of the
        # machine (the cores are shared) then weighs on every measurement alike instead of on one of
        # them. What takes milliseconds runs several times per round, for steadier medians.
        few = str(CHEAP_RUNS_PER_ROUND)
        start = ["start", "--runs", "1", "--expect", "0"]
        start_few = ["start", "--runs", few, "--expect", "0"]
        start_report = start + ["--report", report]
        start_few_report = start_few + ["--report", report]
        measurements = [
            ("trivial", start_few + ["--", trivial]),
            ("trivial_two", start_few + ["--", trivial, "--spawn"]),
            ("trivial_report", start_few_report + ["--", trivial]),
            ("trivial_shell32", start_few_report + ["--", trivial_shell32]),
            ("trivial_shell32_two", start_few + ["--", trivial_shell32, "--spawn"]),
            ("decode_large", ["decode", "--runs", few, w(packages["large"])]),
            ("decode_pieces", ["decode", "--runs", few, "--copy-pieces", w(packages["large"])]),
            ("decode_small", ["decode", "--runs", few, w(packages["small"])]),
            ("tree_large", ["write-tree", "--runs", "1", w(contents["large"])]),
            ("tree_alternatives", ["write-tree", "--runs", "1", "--whole-file", "--listed-delete",
                                   w(contents["large"])]),
            ("tree_small", ["write-tree", "--runs", few, w(contents["small"])]),
        ]
        for key in ("large", "small"):
            measurements += [
                (f"run_{key}", (start_few if key == "small" else start) + ["--", w(packages[key])]),
                (f"run_report_{key}", start_report + ["--", w(packages[key])]),
                (f"child_{key}", ["child-start", "--runs", few, "--report-runs", few, w(packages[key])]),
            ]
        wine = {name: [] for name, _ in measurements}
        self.say("Wine: warming up")
        self.wine("warm-up", *(start + ["--", w(packages["small"])]))
        for round_ in range(1, self.runs + 1):
            self.say(f"Wine: round {round_} of {self.runs} ({len(measurements)} measurements)")
            for name, arguments in measurements:
                wine[name] += self.wine(f"{name}.{round_}", *arguments)

        after = self.leftovers()
        facts["leftovers"] = sorted(after - before)
        facts["wine"] = wine
        facts["elapsed"] = time.time() - self.started
        facts["commands"] = self.commands
        facts["load_at_start"] = self.load_at_start
        facts["prefix"] = self.prefix
        facts["machine"] = machine(self.load_at_start)  # kept, so that --report-only shows this run's
        with open(os.path.join(self.work, "facts.json"), "w") as f:
            json.dump(facts, f)
        self.say("writing " + self.results)
        write_results(self, facts)
        self.say("done")


# ---- the report ----

def median(values):
    return statistics.median(values) if values else float("nan")


def records(rows, kind, label=None):
    return [w for k, w in rows if k == kind and (label is None or w.get("label") == label)]


def column(rows, kind, key, label=None):
    return [float(w[key]) for w in records(rows, kind, label) if key in w and float(w[key]) >= 0]


def ms(value):
    return f"{value:,.1f} ms"


def spread(values, unit=ms):
    return f"{unit(min(values))} – {unit(max(values))}" if values else ""


def mb(value):
    return f"{value / MIB:,.1f} MiB"


def ratio(a, b):
    return f"{a / b:.2f}" if b else "n/a"


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def machine(load_at_start):
    def first(path, key):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(key):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "unknown"

    def output(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True).stdout.strip().splitlines()[0]
        except (OSError, IndexError):
            return "unknown"

    memory_kb = int(first("/proc/meminfo", "MemTotal").split()[0])
    return [
        ("Date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("CPU", f"{first('/proc/cpuinfo', 'model name')}, nproc {os.cpu_count()}"),
        ("Memory", f"{memory_kb / 1024 / 1024:.1f} GiB"),
        ("System", f"{output(['sh', '-c', '. /etc/os-release && echo $PRETTY_NAME'])}, Linux {platform.release()}"),
        ("Wine", output(["wine", "--version"])),
        ("zstd tool", output(["zstd", "--version"])),
        ("Load average (1, 5, 15 min)", f"{load_at_start} at the start, {load_average()} at the end"),
    ]


def write_results(bench, facts):
    wine = facts["wine"]
    runs = bench.runs
    lines = []
    add = lines.append

    def table(header, rows):
        add("| " + " | ".join(header) + " |")
        add("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
        for row in rows:
            add("| " + " | ".join(str(c) for c in row) + " |")
        add("")

    def med(name, key, kind="run", label=None):
        return median(column(wine[name], kind, key, label))

    trivial_ms = med("trivial", "ms")
    two_trivial_ms = med("trivial_two", "ms")
    trivial_entry = med("trivial_report", "app_entry_ms")
    trivial_ws = med("trivial_report", "app_peak_ws")
    trivial_anon = med("trivial_report", "app_peak_pagefile")
    shell32_ms = med("trivial_shell32", "ms")
    shell32_entry = med("trivial_shell32", "app_entry_ms")
    shell32_ws = med("trivial_shell32", "app_peak_ws")
    shell32_anon = med("trivial_shell32", "app_peak_pagefile")
    two_shell32_ms = med("trivial_shell32_two", "ms")

    add("# Benchmark results")
    add("")
    add("Written by `scripts/bench.sh`; what is measured and how: `bench/README.md`. Every number is a "
        f"median: the Windows-side measurements ran in {runs} rounds, one run of each per round, and "
        f"{CHEAP_RUNS_PER_ROUND} per round of those that take milliseconds (process starts, child runs, "
        f"decoding, the small tree: {runs * CHEAP_RUNS_PER_ROUND} runs); the packer and zstd {runs} runs "
        "each. Ratios are measured ÷ limit: 1.00 is the limit itself. The Windows side ran "
        "under Wine, so Wine's costs (its loader, its shell32, its file calls) are part of every number "
        "and of every limit alike.")
    add("")
    machine_rows = facts.get("machine") or machine(facts["load_at_start"])
    date = dict(machine_rows)["Date"]
    table(["Machine", ""], machine_rows)
    large, small = facts["manifest"]["large"], facts["manifest"]["small"]
    frames = facts["frames"]

    def window(frame):
        return mb(frame["window"]) if frame["window"] else "the content size (single segment)"

    add("## Corpus")
    add("")
    table(["", "large", "small"], [
        ("files", large["files"], small["files"]),
        ("directories (deepest level)", f"{large['directories']} ({large['depth']})",
         f"{small['directories']} ({small['depth']})"),
        ("longest name (all ASCII)", large["longest_name"], small["longest_name"]),
        ("content bytes", f"{int(large['bytes']):,}", f"{int(small['bytes']):,}"),
        ("first entry, app.dll", f"{int(large['entry'].split()[1]):,}", f"{int(small['entry'].split()[1]):,}"),
        (f"frame bytes (level {bench.levels[0]})", f"{frames['large']['frame_size']:,}",
         f"{frames['small']['frame_size']:,}"),
        ("window the frame declares", window(frames["large"]), window(frames["small"])),
        ("package (.exe) bytes", f"{facts['package_sizes']['large']:,}", f"{facts['package_sizes']['small']:,}"),
        ("tree digest (sha256 of names and contents)", f"`{large['sha256'][:16]}`", f"`{small['sha256'][:16]}`"),
    ])
    add("Made from " + ", ".join(large.get("packages", [])) + f" (Wine's DLLs in `{large['wine_dir']}`, "
        f"Python's library in `{large['python_dir']}`). The data at hand has the same shape but a "
        "38,124,369-byte frame with a 128 MiB window; this tree compresses better (stripped Wine DLLs hold "
        "much padding), so its frame is smaller and its window that of the packer's default level.")
    add("")

    # 1. Whole run against the sum of the limits.
    add("## 1. Whole run against the sum of its limits")
    add("")
    add("One run of the package, its application returning at once: from the parent's `CreateProcessW` to "
        "the end of the wait for it. The limits: decoding the frame alone (the launcher's decoder build, "
        "128 KiB output buffer, output dropped); writing the same tree from memory with the same calls "
        "(`CreateDirectoryW` once per directory, `CreateFileW`, `WriteFile` in 32 KiB pieces, "
        "`CloseHandle`); deleting it with the launcher's own clean-up code (`launcher/cleanup.cpp`, linked "
        "into the measuring program: a `FindFirstFileW`/`FindNextFileW` walk over `\\\\?\\` paths, "
        "`DeleteFileW` per file, `RemoveDirectoryW` per directory, then `GetFileAttributesW` to see it gone); "
        "and a trivial program that starts itself once and waits, as the parent does its child.")
    add("")
    whole = {}
    for key in ("large", "small"):
        values = dict(decode=column(wine[f"decode_{key}"], "decode", "ms"),
                      write=column(wine[f"tree_{key}"], "write", "ms"),
                      delete=column(wine[f"tree_{key}"], "write", "delete_ms"),
                      run=column(wine[f"run_{key}"], "run", "ms"))
        whole[key] = {k: median(v) for k, v in values.items()}
        whole[key]["values"] = values
        limit = whole[key]["decode"] + whole[key]["write"] + whole[key]["delete"]
        whole[key]["limit"] = limit + two_trivial_ms
        whole[key]["limit_shell32"] = limit + two_shell32_ms
    L, S = whole["large"], whole["small"]
    attempts = sorted({w.get("delete_result") for key in ("large", "small") for w in records(wine[f"tree_{key}"], "write")})
    two_values = column(wine["trivial_two"], "run", "ms")
    table(["", "150 MB package", "runs: min – max", "1 MB package", "runs: min – max"], [
        ("decode the frame alone", ms(L["decode"]), spread(L["values"]["decode"]), ms(S["decode"]),
         spread(S["values"]["decode"])),
        ("write the tree", ms(L["write"]), spread(L["values"]["write"]), ms(S["write"]), spread(S["values"]["write"])),
        ("delete the tree", ms(L["delete"]), spread(L["values"]["delete"]), ms(S["delete"]),
         spread(S["values"]["delete"])),
        ("two nested trivial processes", ms(two_trivial_ms), spread(two_values), ms(two_trivial_ms), ""),
        ("**sum of the limits**", f"**{ms(L['limit'])}**", "", f"**{ms(S['limit'])}**", ""),
        ("**whole run**", f"**{ms(L['run'])}**", spread(L["values"]["run"]), f"**{ms(S['run'])}**",
         spread(S["values"]["run"])),
        ("**ratio**", f"**{ratio(L['run'], L['limit'])}**", "", f"**{ratio(S['run'], S['limit'])}**", ""),
        ("ratio with trivial processes that import shell32 as the launcher does "
         f"({ms(two_shell32_ms)} for two)", ratio(L["run"], L["limit_shell32"]), "",
         ratio(S["run"], S["limit_shell32"]), ""),
    ])

    # 2. Child start-up.
    add("## 2. The child's start-up")
    add("")
    add("The package started in the child role while a real parent instance of it waits (its application "
        "holds until told to return), with the environment a parent gives its child "
        "(`TAVRIN_ONEFILE_PARENT`, `TAVRIN_ONEFILE_TIME_US`, `TAVRIN_ONEFILE_RANDOM`): the whole child run, "
        "and in as many more runs the time from `CreateProcessW` to `run_code`'s entry, as the application "
        "reports it (each of these checked to have run in the started process, i.e. in the child role, "
        "with the holder's marker). Limit: one trivial process (its whole run, and the time to its "
        "`wWinMain`).")
    add("")
    child = {}
    for key in ("small", "large"):
        child[key] = dict(run_values=column(wine[f"child_{key}"], "child", "ms", "child"),
                          entry_values=column(wine[f"child_{key}"], "child", "app_entry_ms", "child_report"),
                          run=med(f"child_{key}", "ms", "child", "child"),
                          entry=med(f"child_{key}", "app_entry_ms", "child", "child_report"),
                          ws=med(f"child_{key}", "app_peak_ws", "child", "child_report"),
                          anon=med(f"child_{key}", "app_peak_pagefile", "child", "child_report"))
    cs, cl = child["small"], child["large"]
    table(["", "trivial process", "1 MB package", "150 MB package", "150 MB ÷ 1 MB"], [
        ("whole child run", ms(trivial_ms), f"{ms(cs['run'])} ({ratio(cs['run'], trivial_ms)}×)",
         f"{ms(cl['run'])} ({ratio(cl['run'], trivial_ms)}×)", ratio(cl["run"], cs["run"])),
        ("CreateProcessW → entry", ms(trivial_entry), f"{ms(cs['entry'])} ({ratio(cs['entry'], trivial_entry)}×)",
         f"{ms(cl['entry'])} ({ratio(cl['entry'], trivial_entry)}×)", ratio(cl["entry"], cs["entry"])),
    ])
    add(f"A trivial process that imports shell32, as the launcher does: {ms(shell32_ms)} whole, "
        f"{ms(shell32_entry)} to its entry. Runs, min – max: child run {spread(cs['run_values'])} (1 MB), "
        f"{spread(cl['run_values'])} (150 MB); to run_code {spread(cs['entry_values'])} (1 MB), "
        f"{spread(cl['entry_values'])} (150 MB); trivial run {spread(column(wine['trivial'], 'run', 'ms'))}.")
    add("")

    # 3. Memory.
    add("## 3. Peak memory")
    add("")
    add("`PeakWorkingSetSize` from `GetProcessMemoryInfo`. Under Wine it is the Linux peak resident set "
        "(`VmHWM`), which also counts file pages the process has read through a mapping; Wine gives no "
        "counters for a process that has ended, so they are read in the running processes: the child's by "
        "the application at `run_code`'s entry, the parent's by the application in its child through "
        "`OpenProcess`, while the parent waits (after unpacking; the clean-up adds nothing but the delete "
        "call). `PeakPagefileUsage` is, under Wine, the anonymous memory resident at that moment, not a "
        "peak; it is shown as such. Limit: the decoder's memory for the frame "
        "(`ZSTD_estimateDStreamSize_fromFrame`: context, input block, window and its margin) plus the "
        "launcher's 128 KiB window and 32 KiB copy buffer, taken above a trivial process with the "
        "launcher's imports (shell32). The parent must also read the whole section, whose pages then count "
        "in its working set; its second ratio allows for them.")
    add("")
    section = frames["large"]["block_size"]
    limit = {}
    for key in ("large", "small"):
        frame_rows = records(wine[f"decode_{key}"], "frame")
        limit[key] = int(frame_rows[0]["dstream_estimate"]) + LAUNCHER_WINDOW + LAUNCHER_COPY_BUFFER
    memory = {}
    mem_rows = []
    for key, title in (("large", "150 MB"), ("small", "1 MB")):
        report = wine[f"run_report_{key}"]
        lim = limit["small" if key == "small" else "large"]
        read = frames["small" if key == "small" else "large"]["block_size"]
        parent_ws = median(column(report, "run", "app_parent_peak_ws"))
        parent_anon = median(column(report, "run", "app_parent_peak_pagefile"))
        child_ws = median(column(report, "run", "app_peak_ws"))
        child_anon = median(column(report, "run", "app_peak_pagefile"))
        memory[key] = dict(parent_ws=parent_ws, parent_anon=parent_anon, child_ws=child_ws, child_anon=child_anon)
        mem_rows.append((f"parent, {title}", mb(parent_ws), mb(parent_anon), mb(parent_ws - shell32_ws), mb(lim),
                         ratio(parent_ws - shell32_ws, lim), ratio(parent_ws - shell32_ws, lim + read)))
        mem_rows.append((f"child, {title}", mb(child_ws), mb(child_anon), mb(child_ws - shell32_ws), mb(lim),
                         ratio(child_ws - shell32_ws, lim), ""))
    mem_rows.append(("trivial process", mb(trivial_ws), mb(trivial_anon), "", "", "", ""))
    mem_rows.append(("trivial process importing shell32", mb(shell32_ws), mb(shell32_anon), "", "", "", ""))
    table(["process", "peak working set", "anonymous at that moment", "above trivial (shell32)", "limit",
           "ratio", "ratio, section read allowed for"], mem_rows)
    offsets = facts["section_offsets"]
    add(f"The 150 MB package's attached-data section is {section:,} bytes ({mb(section)}) and starts at file "
        f"offset 0x{offsets['large']:x}; the small package's is {frames['small']['block_size']:,} bytes at "
        f"0x{offsets['small']:x}. Both offsets are multiples of {PAGE} (the benchmark checks it), so the loader "
        "maps the section from the file instead of copying it into the process's own memory.")
    add("")

    # 4. Packer against zstd.
    add("## 4. The packer against the zstd tool")
    add("")
    add("`tavrin-pack` on the large tree (it reads 1,127 files and writes the launcher image with the "
        "section) against `zstd` on the same content stream (one file: the packer's own frame decoded by "
        "`zstd -d`) at the same level and window, both with one worker per core (2 here); the two "
        "alternate run by run. Time is wall time, CPU is user + system, RSS the peak resident set.")
    add("")
    pack_rows = []
    for level, result in facts["pack"].items():
        p, z = result["rows"]["pack"], result["rows"]["zstd"]
        pw, zw = median([r[0] for r in p]), median([r[0] for r in z])
        pc, zc = median([r[1] for r in p]), median([r[1] for r in z])
        pr, zr = median([r[2] for r in p]), median([r[2] for r in z])
        pack_rows += [
            (f"level {level}, window 2^{result['window_log']}: wall time", f"{pw:.2f} s", f"{zw:.2f} s", ratio(pw, zw)),
            (f"level {level}: CPU time", f"{pc:.2f} s", f"{zc:.2f} s", ratio(pc, zc)),
            (f"level {level}: peak RSS", mb(pr), mb(zr), ratio(pr, zr)),
            (f"level {level}: frame bytes", f"{result['frame_size']:,}", f"{result['zstd_size']:,}",
             f"{result['frame_size'] / result['zstd_size']:.4f}"),
        ]
    table(["", "tavrin-pack", "zstd", "ratio"], pack_rows)

    # 5. Costs beyond the limits.
    add("## 5. Costs beyond the limits that remain")
    add("")
    add("Each row sets what the launcher does now against the one thing changed.")
    add("")
    pieces = med("decode_pieces", "ms", "decode")
    alt = wine["tree_alternatives"]
    whole_file_write = median(column(alt, "write", "ms"))
    listed_delete = median(column(alt, "write", "delete_ms"))
    calls_pieces = records(wine["tree_large"], "write")[0]["write_calls"]
    calls_whole = records(alt, "write")[0]["write_calls"]
    table(["what", "as the launcher does it", "changed", "difference"], [
        ("a process start: shell32 imported → not imported (the image's import table is fixed; the child "
         "calls nothing in it)", ms(shell32_ms), ms(trivial_ms), ms(shell32_ms - trivial_ms)),
        ("the same, two nested processes (parent and child)", ms(two_shell32_ms), ms(two_trivial_ms),
         ms(two_shell32_ms - two_trivial_ms)),
        ("the same, peak working set of a process", mb(shell32_ws), mb(trivial_ws), mb(shell32_ws - trivial_ws)),
        ("decode, then copy every window out in 32 KiB pieces (window → copy buffer) → decode alone",
         ms(pieces), ms(L["decode"]), ms(pieces - L["decode"])),
        (f"write the tree: WriteFile per 32 KiB ({calls_pieces} calls) → one per file ({calls_whole})",
         ms(L["write"]), ms(whole_file_write), ms(L["write"] - whole_file_write)),
        ("delete the tree: the clean-up's walk (FindFirstFileW/FindNextFileW, then DeleteFileW and "
         "RemoveDirectoryW) → the same deletes on the paths written, known beforehand, no walk",
         ms(L["delete"]), ms(listed_delete), ms(L["delete"] - listed_delete)),
    ])
    add("Delete attempts the clean-up made per run (each followed by one existence test): "
        + ", ".join(str(a) for a in attempts) + " (1: the first walk removed everything).")
    add("")

    # 6. Before and after.
    b, bl, bs = BEFORE, BEFORE["large"], BEFORE["small"]
    add("## 6. Before and after")
    add("")
    add(f"Before: the run of {b['date']} ({b['runs']} rounds), as recorded then in this file (sections 1–3 "
        f"and 5), with the attached-data section at file offset 0x{b['section_offset']:x} and the tree "
        "deleted by `SHFileOperationW` (its limit measured with that same call). After: this run "
        f"({date}, {runs} rounds), the section at 0x{offsets['large']:x} (page-aligned) and the tree deleted "
        "by the launcher's own walk (its limit measured with the same code). The trivial process each "
        f"child ratio is taken against was {ms(b['trivial_run'])} whole and {ms(b['trivial_entry'])} to its "
        "entry before, "
        f"{ms(trivial_ms)} and {ms(trivial_entry)} now.")
    add("")

    def change(before, after, unit):
        return f"{unit(after - before)} ({(after - before) / before * 100:+.0f} %)" if before else ""

    def mib(value):
        return f"{value:,.1f} MiB"

    large_ws_ratio = ratio(memory["large"]["child_ws"] - shell32_ws, limit["large"])
    parent_ws_ratio = (f"{ratio(memory['large']['parent_ws'] - shell32_ws, limit['large'])}; "
                       f"{ratio(memory['large']['parent_ws'] - shell32_ws, limit['large'] + section)}")
    rows = [
        ("whole run, 150 MB package", ms(bl["run"]), ms(L["run"]), change(bl["run"], L["run"], ms)),
        ("its sum of limits", ms(bl["limit"]), ms(L["limit"]), change(bl["limit"], L["limit"], ms)),
        ("its ratio", bl["ratio"], ratio(L["run"], L["limit"]), ""),
        ("whole run, 1 MB package", ms(bs["run"]), ms(S["run"]), change(bs["run"], S["run"], ms)),
        ("its sum of limits", ms(bs["limit"]), ms(S["limit"]), change(bs["limit"], S["limit"], ms)),
        ("its ratio", bs["ratio"], ratio(S["run"], S["limit"]), ""),
        ("delete the tree, 150 MB (SHFileOperationW → the clean-up's walk)", ms(bl["delete"]), ms(L["delete"]),
         change(bl["delete"], L["delete"], ms)),
        ("delete the tree, 1 MB (same)", ms(bs["delete"]), ms(S["delete"]), change(bs["delete"], S["delete"], ms)),
        ("child run, 150 MB package (× trivial)", f"{ms(bl['child_run'])} ({bl['child_run_ratio']}×)",
         f"{ms(cl['run'])} ({ratio(cl['run'], trivial_ms)}×)", change(bl["child_run"], cl["run"], ms)),
        ("child run, 1 MB package (× trivial)", f"{ms(bs['child_run'])} ({bs['child_run_ratio']}×)",
         f"{ms(cs['run'])} ({ratio(cs['run'], trivial_ms)}×)", change(bs["child_run"], cs["run"], ms)),
        ("child run, 150 MB ÷ 1 MB", b["growth_run"], ratio(cl["run"], cs["run"]), ""),
        ("child, CreateProcessW → run_code, 150 MB (× trivial)",
         f"{ms(bl['child_entry'])} ({bl['child_entry_ratio']}×)",
         f"{ms(cl['entry'])} ({ratio(cl['entry'], trivial_entry)}×)", change(bl["child_entry"], cl["entry"], ms)),
        ("child, CreateProcessW → run_code, 1 MB (× trivial)",
         f"{ms(bs['child_entry'])} ({bs['child_entry_ratio']}×)",
         f"{ms(cs['entry'])} ({ratio(cs['entry'], trivial_entry)}×)", change(bs["child_entry"], cs["entry"], ms)),
        ("child to run_code, 150 MB ÷ 1 MB", b["growth_entry"], ratio(cl["entry"], cs["entry"]), ""),
        ("child's anonymous memory at run_code, 150 MB", mib(bl["child_anon"]), mb(memory["large"]["child_anon"]),
         change(bl["child_anon"] * MIB, memory["large"]["child_anon"], mb)),
        ("child's peak working set, 150 MB (ratio to its limit)", f"{mib(bl['child_ws'])} ({bl['child_ws_ratio']})",
         f"{mb(memory['large']['child_ws'])} ({large_ws_ratio})",
         change(bl["child_ws"] * MIB, memory["large"]["child_ws"], mb)),
        ("parent's anonymous memory after unpacking, 150 MB", mib(bl["parent_anon"]),
         mb(memory["large"]["parent_anon"]), change(bl["parent_anon"] * MIB, memory["large"]["parent_anon"], mb)),
        ("parent's peak working set, 150 MB (ratio to its limit; with the section read allowed for)",
         f"{mib(bl['parent_ws'])} ({bl['parent_ws_ratio']})", f"{mb(memory['large']['parent_ws'])} ({parent_ws_ratio})",
         change(bl["parent_ws"] * MIB, memory["large"]["parent_ws"], mb)),
    ]
    table(["", f"before ({b['date']})", f"after ({date})", "change"], rows)
    add("The whole run's ratio rises because its limit fell further than the run: the delete limit is now "
        f"the launcher's own walk, {L['delete'] / bl['delete']:.2f} of `SHFileOperationW`'s time, so the costs "
        "that remain (the two process starts with shell32, section 5, and the child's own start-up, "
        "section 2) weigh more; "
        "against trivial processes that import shell32 the ratios are "
        f"{ratio(L['run'], L['limit_shell32'])} (150 MB) and {ratio(S['run'], S['limit_shell32'])} (1 MB). "
        "The parent's peak working set does not change: it reads the whole section either way and those "
        "file pages count in it; what the page alignment removed is the private copy of the section in "
        "parent and child (their anonymous memory), and with it the child's growth with the package.")
    add("")
    if facts["leftovers"]:
        add(f"**Left behind in %TEMP%:** {', '.join(facts['leftovers'])}")
    else:
        add("Nothing was left behind in %TEMP% (no `onefile_*` or `tavrin_bench_*` entries).")
    add("")

    add("## Commands")
    add("")
    add("From the repository's root: `scripts/bench.sh`, which builds the targets `bench` (Windows) and "
        "`tavrin-pack` (host) in `$BUILD` (`${TAVRIN_BUILD_DIR:-build}`), starts a persistent wineserver for "
        "the prefix (`${TAVRIN_WINEPREFIX:-build/wineprefix}`) and ran, in this order, "
        f"{facts['elapsed'] / 60:.1f} minutes in all (the Windows-side commands once per round, {runs} "
        "rounds):")
    add("")
    add("```")
    for line, count in facts["commands"]:
        add(bench.abbreviate(line) + (f"    # ×{count}" if count > 1 else ""))
    add("```")
    add("")
    add("The raw output of every Windows-side run is kept in `$BUILD/bench/logs/`.")
    with open(bench.results, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--levels", type=lambda s: [int(x) for x in s.split()], default=[19, 3])
    parser.add_argument("--results", required=True)
    parser.add_argument("--report-only", action="store_true",
                        help="write the results again from $BUILD/bench/facts.json without measuring")
    args = parser.parse_args()
    if args.runs < 1:
        sys.exit("bench: --runs must be at least 1")
    if "WINEPREFIX" not in os.environ and not args.report_only:
        sys.exit("bench: WINEPREFIX is not set: run scripts/bench.sh")
    if shutil.which("zstd") is None:
        sys.exit("bench: the zstd tool is missing (scripts/setup.sh installs it)")
    bench = Bench(args)
    if args.report_only:
        with open(os.path.join(bench.work, "facts.json")) as f:
            facts = json.load(f)
        bench.runs = len(facts["pack"][next(iter(facts["pack"]))]["rows"]["pack"])
        bench.levels = [int(level) for level in facts["pack"]]
        write_results(bench, facts)
        return
    bench.run()


if __name__ == "__main__":
    main()
