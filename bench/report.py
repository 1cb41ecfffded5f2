#!/usr/bin/env python3
"""Writes bench/RESULTS.md from the facts bench/measure.py kept ($BUILD/bench/facts.json), and beside
it results.json: this run's headline figures, which the next report shows as "before".
"""
import argparse
import json
import os
import statistics
import sys
import types

KIB = 1024
MIB = 1024 * 1024
LAUNCHER_WINDOW = 128 * KIB      # the reader's window
LAUNCHER_COPY_BUFFER = 32 * KIB  # the unpacking's copy buffer


# ---- numbers and their text ----

def median(values):
    return statistics.median(values) if values else float("nan")


def records(rows, kind, label=None):
    return [w for k, w in rows if k == kind and (label is None or w.get("label") == label)]


def column(rows, kind, key, label=None):
    return [float(w[key]) for w in records(rows, kind, label) if key in w and float(w[key]) >= 0]


def quotient(a, b):
    return a / b if b else None


def ratio(a, b):
    return fixed(quotient(a, b))


def fixed(value):
    return "n/a" if value is None else f"{value:.2f}"


def ms(value):
    return f"{value:,.1f} ms"


def mb(value):
    return f"{value / MIB:,.1f} MiB"


def mib(value):
    return f"{value:,.1f} MiB"


def spread(values, unit=ms):
    return f"{unit(min(values))} – {unit(max(values))}" if values else ""


class Document:
    """Markdown lines."""

    def __init__(self):
        self.lines = []

    def add(self, text):
        self.lines.append(text)

    def paragraph(self, text):
        self.lines += [text, ""]

    def heading(self, text):
        self.paragraph("## " + text)

    def table(self, header, rows):
        self.add("| " + " | ".join(header) + " |")
        self.add("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
        for row in rows:
            self.add("| " + " | ".join(str(c) for c in row) + " |")
        self.add("")

    def text(self):
        return "\n".join(self.lines) + "\n"


# ---- the medians of a run ----

class Run:
    """The facts of one run and the medians taken from them."""

    def __init__(self, facts):
        self.facts = facts
        self.wine = facts["wine"]
        self.runs = facts["runs"]
        self.date = dict(facts["machine"])["Date"]
        self.frames = facts["frames"]
        self.trivial = self.trivial_processes()
        self.whole = {shape: self.whole_run(shape) for shape in ("large", "small")}
        self.child = {shape: self.child_start(shape) for shape in ("large", "small")}
        self.limit = {shape: self.memory_limit(shape) for shape in ("large", "small")}
        self.memory = {shape: self.process_memory(shape) for shape in ("large", "small")}

    def values(self, name, key, kind="run", label=None):
        return column(self.wine[name], kind, key, label)

    def med(self, name, key, kind="run", label=None):
        return median(self.values(name, key, kind, label))

    def trivial_processes(self):
        return dict(run=self.med("trivial", "ms"), two=self.med("trivial_two", "ms"),
                    entry=self.med("trivial_report", "app_entry_ms"), ws=self.med("trivial_report", "app_peak_ws"),
                    anon=self.med("trivial_report", "app_peak_pagefile"),
                    shell32_run=self.med("trivial_shell32", "ms"),
                    shell32_entry=self.med("trivial_shell32", "app_entry_ms"),
                    shell32_ws=self.med("trivial_shell32", "app_peak_ws"),
                    shell32_anon=self.med("trivial_shell32", "app_peak_pagefile"),
                    shell32_two=self.med("trivial_shell32_two", "ms"))

    def whole_run(self, shape):
        values = dict(decode=self.values(f"decode_{shape}", "ms", "decode"),
                      write=self.values(f"tree_{shape}", "ms", "write"),
                      delete=self.values(f"tree_{shape}", "delete_ms", "write"),
                      run=self.values(f"run_{shape}", "ms"))
        whole = {k: median(v) for k, v in values.items()}
        whole["values"] = values
        own = whole["decode"] + whole["write"] + whole["delete"]
        whole["limit"] = own + self.trivial["two"]
        whole["limit_shell32"] = own + self.trivial["shell32_two"]
        return whole

    def child_start(self, shape):
        name = f"child_{shape}"
        return dict(run_values=self.values(name, "ms", "child", "child"),
                    entry_values=self.values(name, "app_entry_ms", "child", "child_report"),
                    run=self.med(name, "ms", "child", "child"),
                    entry=self.med(name, "app_entry_ms", "child", "child_report"))

    def memory_limit(self, shape):
        frame = records(self.wine[f"decode_{shape}"], "frame")[0]
        return int(frame["dstream_estimate"]) + LAUNCHER_WINDOW + LAUNCHER_COPY_BUFFER

    def process_memory(self, shape):
        name = f"run_report_{shape}"
        return dict(parent_ws=self.med(name, "app_parent_peak_ws"),
                    parent_anon=self.med(name, "app_parent_peak_pagefile"),
                    child_ws=self.med(name, "app_peak_ws"), child_anon=self.med(name, "app_peak_pagefile"))

    def above_trivial(self, ws):
        return ws - self.trivial["shell32_ws"]


# ---- the sections ----

def write_heading(doc, run):
    runs, cheap = run.runs, run.facts["cheap_runs_per_round"]
    side = run.facts.get("side_by_side_runs_per_round", cheap)
    first = run.facts.get("first_runs_per_round", 1)
    if run.facts.get("only") == "startup":
        doc.paragraph("# Benchmark results: the start-up rows")
        doc.paragraph(
            "Written by `BENCH_ONLY=startup scripts/bench.sh`, which measures only the start-up rows (section "
            "7); `scripts/bench.sh` without it writes every section. Every number is a median of runs in "
            f"{runs} rounds, {first} runs of each per round and {side} per round of those that take "
            "milliseconds, one start of each in turn. "
            "The Windows side ran under Wine, so Wine's costs are part of every number and of every floor alike.")
        doc.table(["Machine", ""], run.facts["machine"])
        return
    doc.paragraph("# Benchmark results")
    doc.paragraph(
        "Written by `scripts/bench.sh`; what is measured and how: `bench/README.md`. Every number is a "
        f"median: the Windows-side measurements ran in {runs} rounds, one run of each per round, and "
        f"{cheap} per round of those that take milliseconds (process starts, child runs, "
        f"decoding, the small tree: {runs * cheap} runs), {side} per round of the start-up rows of section 7 "
        f"({runs * side} runs) and {first} per round of the 150 MB package's first cached and temporary runs "
        f"({runs * first} runs); the packer and zstd "
        f"{run.facts.get('pack_runs', runs)} runs each. Ratios are measured ÷ limit: 1.00 is the limit itself. The Windows side ran "
        "under Wine, so Wine's costs (its loader, its shell32, its file calls) are part of every number "
        "and of every limit alike.")
    doc.table(["Machine", ""], run.facts["machine"])


def window(frame):
    return mb(frame["window"]) if frame["window"] else "the content size (single segment)"


def write_corpus(doc, run):
    large, small = run.facts["manifest"]["large"], run.facts["manifest"]["small"]
    frames, sizes = run.frames, run.facts["package_sizes"]
    doc.heading("Corpus")
    doc.table(["", "large", "small"], [
        ("files", large["files"], small["files"]),
        ("directories (deepest level)", f"{large['directories']} ({large['depth']})",
         f"{small['directories']} ({small['depth']})"),
        ("longest name (all ASCII)", large["longest_name"], small["longest_name"]),
        ("content bytes", f"{int(large['bytes']):,}", f"{int(small['bytes']):,}"),
        ("first entry, app.dll", f"{int(large['entry'].split()[1]):,}", f"{int(small['entry'].split()[1]):,}"),
        (f"frame bytes (level {run.facts['levels'][0]})", f"{frames['large']['frame_size']:,}",
         f"{frames['small']['frame_size']:,}"),
        ("window the frame declares", window(frames["large"]), window(frames["small"])),
        ("package (.exe) bytes", f"{sizes['large']:,}", f"{sizes['small']:,}"),
        ("tree digest (sha256 of names and contents)", f"`{large['sha256'][:16]}`", f"`{small['sha256'][:16]}`"),
    ])
    doc.paragraph(
        "Made from " + ", ".join(large.get("packages", [])) + f" (Wine's DLLs in `{large['wine_dir']}`, "
        f"Python's library in `{large['python_dir']}`). The data at hand has the same shape but a "
        "38,124,369-byte frame with a 128 MiB window; this tree compresses better (stripped Wine DLLs hold "
        "much padding), so its frame is smaller.")


def write_whole_run(doc, run):
    doc.heading("1. Whole run against the sum of its limits")
    doc.paragraph(
        "One run of the package, its application returning at once: from the parent's `CreateProcessW` to "
        "the end of the wait for it. The limits: decoding the frame alone (the launcher's decoder build, "
        "128 KiB output buffer, output dropped); writing the same tree from memory with the same calls "
        "(`CreateDirectoryW` once per directory, `CreateFileW`, `WriteFile` in 32 KiB pieces, "
        "`CloseHandle`); deleting it with the launcher's own clean-up code (`launcher/cleanup.cpp`, linked "
        "into the measuring program: a `FindFirstFileW`/`FindNextFileW` walk over `\\\\?\\` paths, "
        "`DeleteFileW` per file, `RemoveDirectoryW` per directory, then `GetFileAttributesW` to see it gone); "
        "and a trivial program that starts itself once and waits, as the parent does its child.")
    L, S, two = run.whole["large"], run.whole["small"], run.trivial["two"]

    def limit_row(title, key):
        return (title, ms(L[key]), spread(L["values"][key]), ms(S[key]), spread(S["values"][key]))

    doc.table(["", "150 MB package", "runs: min – max", "1 MB package", "runs: min – max"], [
        limit_row("decode the frame alone", "decode"),
        limit_row("write the tree", "write"),
        limit_row("delete the tree", "delete"),
        ("two nested trivial processes", ms(two), spread(run.values("trivial_two", "ms")), ms(two), ""),
        ("**sum of the limits**", f"**{ms(L['limit'])}**", "", f"**{ms(S['limit'])}**", ""),
        ("**whole run**", f"**{ms(L['run'])}**", spread(L["values"]["run"]), f"**{ms(S['run'])}**",
         spread(S["values"]["run"])),
        ("**ratio**", f"**{ratio(L['run'], L['limit'])}**", "", f"**{ratio(S['run'], S['limit'])}**", ""),
        ("ratio with trivial processes that import shell32 as the launcher does "
         f"({ms(run.trivial['shell32_two'])} for two)", ratio(L["run"], L["limit_shell32"]), "",
         ratio(S["run"], S["limit_shell32"]), ""),
    ])


# The settings of TAVRIN_ONEFILE_SERIAL the whole temporary runs are also measured with, in the
# table's order: (setting, title). "on" is the launcher's default, the variable unset.
OVERLAPS = [
    ("all", "every step serial (`all`: the launcher's order before the overlaps)"),
    ("decode", "decoding on its own thread while files are written, off (`decode`)"),
    ("child", "the child created suspended before unpacking, resumed after, off (`child`)"),
    ("cleanup", "the clean-up deleting the files written by name, walking only what the application added, "
                "off (`cleanup`)"),
    ("on", "every overlap on (the variable unset: the launcher's default)"),
]
PACKAGE_TITLES = {"large": "150 MB package", "small": "1 MB package"}
# The targets of the whole temporary runs: (title, shape, the limit's key, the largest ratio that meets it).
WHOLE_RUN_TARGETS = [
    ("whole temporary run ÷ the sum of its serial limits, 150 MB package", "large", "limit", 0.85),
    ("whole temporary run ÷ the sum of its limits with the shell32 floors, 1 MB package", "small",
     "limit_shell32", 1.00),
]
PARENT_WS_GROWTH = 1.10  # the 150 MB package's parent peak working set, at most this times the previous run's


def overlap_values(wine, shape):
    """The whole temporary runs of `shape` in ms by setting, "on" for the launcher's default; None
    when the facts have no rows of TAVRIN_ONEFILE_SERIAL (from before they were measured, or a
    shape a run of the start-up rows alone does not measure)."""
    names = {setting: f"run_{shape}" if setting == "on" else f"run_{shape}_serial_{setting}" for setting, _ in OVERLAPS}
    if not all(name in wine for name in names.values()):
        return None
    return {setting: column(wine[name], "run", "ms") for setting, name in names.items()}


def overlap_medians(wine, shape):
    values = overlap_values(wine, shape)
    return None if values is None else {setting: median(v) for setting, v in values.items()}


def write_overlaps(doc, facts, shapes):
    found = {shape: overlap_values(facts["wine"], shape) for shape in shapes}
    found = {shape: values for shape, values in found.items() if values}
    if not found:
        return
    seen = ", ".join(f"`{value}`" for value in facts.get("serial_seen", {}).values())
    doc.paragraph(
        "**What each overlap buys.** The whole temporary run above, measured in the same rounds (one of each "
        "in turn) with `TAVRIN_ONEFILE_SERIAL` in the environment of `tavrin-bench` under Wine, which passes "
        "it on to the package: `all` makes every step serial, as the launcher ran before its first run "
        "overlapped them; a single word turns that one overlap off and leaves the others on. "
        + (f"Before the rounds the application of a package run once with each value reported the value it "
           f"saw ({seen}; `-` without the variable). " if seen else "") + "Bought: the "
        "median with that overlap off − the median with every overlap on; for every step serial, what the "
        "overlaps buy together. Runs: " + "; ".join(
            f"{len(values['on'])} of each, {PACKAGE_TITLES[shape]}" for shape, values in found.items()) + ".")
    header = [""]
    for shape in found:
        header += [PACKAGE_TITLES[shape], "runs: min – max", "bought"]
    rows = []
    for setting, title in OVERLAPS:
        row = [title]
        for values in found.values():
            value, on = median(values[setting]), median(values["on"])
            bought = "" if setting == "on" else ms(value - on)
            row += [ms(value), spread(values[setting]), f"**{bought}** together" if setting == "all" else bought]
        rows.append(row)
    doc.table(header, rows)


# The floors of section 7: trivial programs, measured in the same rounds as the packages.
FLOOR_ROWS = ("floor_shell32", "floor_shell32_app", "floor_shell32_two")


def halves_noise(values):
    """The difference between the medians of the first and the second half of `values` (in the order
    they ran); None for fewer than two."""
    if len(values) < 2:
        return None
    half = len(values) // 2
    return abs(median(values[:half]) - median(values[half:]))


def met(value, limit):
    return "n/a" if value is None or limit is None else "yes" if value <= limit else "**no**"


def write_targets(doc, facts, run, before, before_startup):
    """The targets of the whole temporary runs and of the parent's memory (with `run`, the facts of a
    whole benchmark) and the start-up rows against the previous run's (`before_startup`)."""
    rows = []
    if run is not None:
        for title, shape, limit_key, limit in WHOLE_RUN_TARGETS:
            whole = run.whole[shape]
            value = quotient(whole["run"], whole[limit_key])
            rows.append((title, fixed(value), f"{limit:.2f}", met(value, limit)))
        previous = before["large"].get("parent_ws_mib") if before else None
        parent = run.memory["large"]["parent_ws"] / MIB
        value = quotient(parent, previous) if previous else None
        rows.append((f"parent's peak working set, 150 MB package ({mib(parent)}) ÷ the previous run's "
                     + (f"({mib(previous)}, {before['date']})" if previous else "(none recorded)"),
                     fixed(value), f"{PARENT_WS_GROWTH:.2f}", met(value, PARENT_WS_GROWTH)))
    previous = (before_startup or {}).get("medians_ms", {})
    wine = facts["wine"]
    # The floors run no code of the launcher: how far they moved between the two runs is how far the
    # machine moved, and every row may move as much.
    drift = [abs(median(column(wine[name], "run", "ms")) / previous[name] - 1)
             for name in FLOOR_ROWS if name in wine and previous.get(name)]
    machine = max(drift) if drift else None
    for title, name in STARTUP_ROWS:
        if name not in wine:
            continue
        values = column(wine[name], "run", "ms")
        worse = median(values) - previous[name] if name in previous else None
        noise = halves_noise(values)
        if noise is not None and machine is not None and name in previous:
            noise = max(noise, machine * previous[name])
        rows.append((f"{title}: this run − the previous ({ms(previous[name]) if name in previous else 'none'})",
                     "n/a" if worse is None else f"{worse:+,.1f} ms",
                     "n/a" if noise is None else f"{ms(noise)} (noise)", met(worse, noise)))
    pairs = progress_pairs(facts)
    target = progress_target(pairs)
    if target is not None:
        pair = pairs["small_temporary"]
        rows.append((f"{target['title']}: 1 MB package, temporary run, as packed ({ms(pair['armed_ms'])}) − "
                     f"with `--no-progress` ({ms(pair['no_progress_ms'])}), this run (section 7)",
                     f"{target['difference_ms']:+,.1f} ms",
                     "n/a" if target["noise_ms"] is None else f"{ms(target['noise_ms'])} (noise)",
                     met(target["difference_ms"], target["noise_ms"])))
    doc.paragraph(
        "**Targets.** " + ("The whole temporary runs against their limits (the table above), the parent's "
                           "memory (section 3) against the previous run's, and each" if run is not None else "Each")
        + " start-up row of section 7 against the previous run's median"
        + (f" ({before_startup['date']}, {before_startup['runs']} rounds)" if before_startup else
           " (none recorded)")
        + ": no worse by more than its noise. The noise of a row is the larger of two: the difference between "
        "the medians of the first and the second half of its runs in this run, in the order they ran; and its "
        "previous median times the largest relative change of the floors (a) to (c) between the two runs"
        + (f" ({machine * 100:.1f} % this time)" if machine is not None else "")
        + ", programs that no change of the launcher touches, so that their change is the machine's."
        + (" The start with the progress window armed is set against the same start packed with "
           "`--no-progress` in this run (section 7, the progress window); its noise is the larger of the two "
           "rows' halves." if target is not None else ""))
    doc.table(["target", "measured", "at most", "met"], rows)


def write_child_start(doc, run):
    doc.heading("2. The child's start-up")
    doc.paragraph(
        "The package started in the child role while a real parent instance of it waits (its application "
        "holds until told to return), with the environment a parent gives its child "
        "(`TAVRIN_ONEFILE_PARENT`, `TAVRIN_ONEFILE_TIME_US`, `TAVRIN_ONEFILE_RANDOM`): the whole child run, "
        "and in as many more runs the time from `CreateProcessW` to `run_code`'s entry, as the application "
        "reports it (each of these checked to have run in the started process, i.e. in the child role, "
        "with the holder's marker). Limit: one trivial process (its whole run, and the time to its "
        "`wWinMain`).")
    cs, cl, t = run.child["small"], run.child["large"], run.trivial
    doc.table(["", "trivial process", "1 MB package", "150 MB package", "150 MB ÷ 1 MB"], [
        ("whole child run", ms(t["run"]), f"{ms(cs['run'])} ({ratio(cs['run'], t['run'])}×)",
         f"{ms(cl['run'])} ({ratio(cl['run'], t['run'])}×)", ratio(cl["run"], cs["run"])),
        ("CreateProcessW → entry", ms(t["entry"]), f"{ms(cs['entry'])} ({ratio(cs['entry'], t['entry'])}×)",
         f"{ms(cl['entry'])} ({ratio(cl['entry'], t['entry'])}×)", ratio(cl["entry"], cs["entry"])),
    ])
    doc.paragraph(
        f"A trivial process that imports shell32, as the launcher does: {ms(t['shell32_run'])} whole, "
        f"{ms(t['shell32_entry'])} to its entry. Runs, min – max: child run {spread(cs['run_values'])} (1 MB), "
        f"{spread(cl['run_values'])} (150 MB); to run_code {spread(cs['entry_values'])} (1 MB), "
        f"{spread(cl['entry_values'])} (150 MB); trivial run {spread(run.values('trivial', 'ms'))}.")


def write_memory(doc, run):
    doc.heading("3. Peak memory")
    doc.paragraph(
        "`PeakWorkingSetSize` from `GetProcessMemoryInfo`. Under Wine it is the Linux peak resident set "
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
    doc.table(["process", "peak working set", "anonymous at that moment", "above trivial (shell32)", "limit",
               "ratio", "ratio, section read allowed for"], memory_rows(run))
    offsets, frames, page = run.facts["section_offsets"], run.frames, run.facts["page"]
    section = frames["large"]["block_size"]
    doc.paragraph(
        f"The 150 MB package's attached-data section is {section:,} bytes ({mb(section)}) and starts at file "
        f"offset 0x{offsets['large']:x}; the small package's is {frames['small']['block_size']:,} bytes at "
        f"0x{offsets['small']:x}. Both offsets are multiples of {page} (the benchmark checks it), so the loader "
        "maps the section from the file instead of copying it into the process's own memory.")


def memory_rows(run):
    rows, t = [], run.trivial
    for shape, title in (("large", "150 MB"), ("small", "1 MB")):
        memory, limit = run.memory[shape], run.limit[shape]
        read = run.frames[shape]["block_size"]
        parent, child = run.above_trivial(memory["parent_ws"]), run.above_trivial(memory["child_ws"])
        rows.append((f"parent, {title}", mb(memory["parent_ws"]), mb(memory["parent_anon"]), mb(parent), mb(limit),
                     ratio(parent, limit), ratio(parent, limit + read)))
        rows.append((f"child, {title}", mb(memory["child_ws"]), mb(memory["child_anon"]), mb(child), mb(limit),
                     ratio(child, limit), ""))
    rows.append(("trivial process", mb(t["ws"]), mb(t["anon"]), "", "", "", ""))
    rows.append(("trivial process importing shell32", mb(t["shell32_ws"]), mb(t["shell32_anon"]), "", "", "", ""))
    return rows


def write_packer(doc, run):
    doc.heading("4. The packer against the zstd tool")
    doc.paragraph(
        "`tavrin-pack` on the large tree (it reads 1,127 files and writes the launcher image with the "
        "section) against `zstd` on the same content stream (one file: the packer's own frame decoded by "
        "`zstd -d`) at the same level with `--long=27`, the packer's default window (2^27 with long-distance "
        "matching), both with one worker per core (2 here); the two "
        "alternate run by run. Time is wall time, CPU is user + system, RSS the peak resident set.")
    rows = []
    for level, result in run.facts["pack"].items():
        p, z = result["rows"]["pack"], result["rows"]["zstd"]
        wall, cpu, rss = ([median([r[i] for r in p]), median([r[i] for r in z])] for i in range(3))
        rows += [
            (f"level {level}, window 2^{result['window_log']}: wall time", f"{wall[0]:.2f} s", f"{wall[1]:.2f} s",
             ratio(*wall)),
            (f"level {level}: CPU time", f"{cpu[0]:.2f} s", f"{cpu[1]:.2f} s", ratio(*cpu)),
            (f"level {level}: peak RSS", mb(rss[0]), mb(rss[1]), ratio(*rss)),
            (f"level {level}: frame bytes", f"{result['frame_size']:,}", f"{result['zstd_size']:,}",
             f"{result['frame_size'] / result['zstd_size']:.4f}"),
        ]
    doc.table(["", "tavrin-pack", "zstd", "ratio"], rows)
    identity = run.facts.get("identity")
    if identity:
        plain, full = (median([r[0] for r in identity[k]]) for k in ("plain", "identity"))
        doc.paragraph(
            f"The identity options: the small tree packed at level 1 with none of them and with all of them "
            f"(`--console`, two PNG icons, every version text, `--app-version`, `--manifest-level`), "
            f"alternating, {len(identity['plain'])} runs each; wall time, medians.")
        doc.table(["", "without", "with all", "cost"],
                  [("pack the small tree (level 1)", ms(plain * 1000), ms(full * 1000), ms((full - plain) * 1000))])


def write_windows(doc, run):
    level = run.facts["levels"][0]
    default = run.facts["pack"][str(level)] if str(level) in run.facts["pack"] else run.facts["pack"][level]
    doc.heading("4b. The window")
    doc.paragraph(
        f"The large tree at level {level} with each `--window` limit and with the default (2^27 and "
        "long-distance matching). The launcher's decoder allocates the window the frame declares at each "
        "start. Packing: wall time of `tavrin-pack`; decode: the frame alone under Wine, as in section 1; "
        "whole run: the package run under Wine, its application returning at once; the parent's memory as "
        "in section 3 (`PeakWorkingSetSize`, Wine's `VmHWM`, and `PeakPagefileUsage`, Wine's anonymous "
        "memory at the moment it is read, after unpacking); decoder memory: "
        "`ZSTD_estimateDStreamSize_fromFrame` for the frame.")
    rows = []
    entries = [(int(log), result, f"window{log}") for log, result in sorted(run.facts.get("windows", {}).items(),
                                                                          key=lambda item: int(item[0]))]
    entries.append((27, dict(rows=default["rows"]["pack"], frame_size=default["frame_size"]), None))
    default_size = default["frame_size"]
    for log, result, name in entries:
        decode, run_name, report_name = ((f"decode_{name}", f"run_{name}", f"run_report_{name}") if name
                                         else ("decode_large", "run_large", "run_report_large"))
        frame = records(run.wine[decode], "frame")[0]
        rows.append((
            f"2^{log} ({mb(1 << log)})" + ("" if name else ", the default"),
            f"{result['frame_size']:,}", f"{result['frame_size'] / default_size:.3f}",
            f"{median([r[0] for r in result['rows']]):.1f} s",
            ms(run.med(decode, "ms", "decode")), ms(run.med(run_name, "ms")),
            mb(run.med(report_name, "app_parent_peak_ws")), mb(run.med(report_name, "app_parent_peak_pagefile")),
            mb(int(frame["dstream_estimate"]))))
    doc.table(["window", "attached data (frame bytes)", "÷ default", "packing", "decode", "whole run",
               "parent peak working set", "parent anonymous", "decoder memory"], rows)


def write_costs(doc, run):
    doc.heading("5. Costs beyond the limits that remain")
    doc.paragraph("Each row sets what the launcher does now against the one thing changed.")
    t, L = run.trivial, run.whole["large"]
    pieces = run.med("decode_pieces", "ms", "decode")
    whole_file_write = run.med("tree_alternatives", "ms", "write")
    listed_delete = run.med("tree_alternatives", "delete_ms", "write")
    calls_pieces = records(run.wine["tree_large"], "write")[0]["write_calls"]
    calls_whole = records(run.wine["tree_alternatives"], "write")[0]["write_calls"]
    doc.table(["what", "as the launcher does it", "changed", "difference"], [
        ("a process start: shell32 imported → not imported (the image's import table is fixed; the child "
         "calls nothing in it)", ms(t["shell32_run"]), ms(t["run"]), ms(t["shell32_run"] - t["run"])),
        ("the same, two nested processes (parent and child)", ms(t["shell32_two"]), ms(t["two"]),
         ms(t["shell32_two"] - t["two"])),
        ("the same, peak working set of a process", mb(t["shell32_ws"]), mb(t["ws"]), mb(t["shell32_ws"] - t["ws"])),
        ("decode, then copy every window out in 32 KiB pieces (window → copy buffer) → decode alone",
         ms(pieces), ms(L["decode"]), ms(pieces - L["decode"])),
        (f"write the tree: WriteFile per 32 KiB ({calls_pieces} calls) → one per file ({calls_whole})",
         ms(L["write"]), ms(whole_file_write), ms(L["write"] - whole_file_write)),
        ("delete the tree: the clean-up's walk (FindFirstFileW/FindNextFileW, then DeleteFileW and "
         "RemoveDirectoryW) → the same deletes on the paths written, known beforehand, no walk",
         ms(L["delete"]), ms(listed_delete), ms(L["delete"] - listed_delete)),
    ])
    cleanups = [w for shape in ("large", "small") for w in records(run.wine[f"tree_{shape}"], "write")]
    gone = sum(1 for w in cleanups if w.get("gone") == "1")
    doc.paragraph(f"The directory was gone after the clean-up in {gone} of its {len(cleanups)} runs "
                  "(`GetFileAttributesW` after it returned; a run that leaves it fails).")


# ---- before and after ----

def headline_figures(run):
    """What results.json keeps of a run, and the next report shows as "before"."""
    t, figures = run.trivial, dict(date=run.date, runs=run.runs, cpu=dict(run.facts["machine"])["CPU"],
                                   section_offset=run.facts["section_offsets"]["large"])
    figures["trivial"] = dict(run_ms=t["run"], entry_ms=t["entry"])
    for shape in ("large", "small"):
        whole, child = run.whole[shape], run.child[shape]
        figures[shape] = dict(run_ms=whole["run"], limit_ms=whole["limit"],
                              ratio=quotient(whole["run"], whole["limit"]), delete_ms=whole["delete"],
                              child_run_ms=child["run"], child_run_ratio=quotient(child["run"], t["run"]),
                              child_entry_ms=child["entry"],
                              child_entry_ratio=quotient(child["entry"], t["entry"]))
    memory, limit = run.memory["large"], run.limit["large"]
    parent, child = run.above_trivial(memory["parent_ws"]), run.above_trivial(memory["child_ws"])
    figures["large"] |= dict(
        child_anon_mib=memory["child_anon"] / MIB, child_ws_mib=memory["child_ws"] / MIB,
        child_ws_ratio=quotient(child, limit), parent_anon_mib=memory["parent_anon"] / MIB,
        parent_ws_mib=memory["parent_ws"] / MIB, parent_ws_ratio=quotient(parent, limit),
        parent_ws_ratio_section_read=quotient(parent, limit + run.frames["large"]["block_size"]))
    for shape in ("large", "small"):
        medians = overlap_medians(run.wine, shape)
        if medians:
            figures[shape] |= {f"serial_{setting}_ms": value for setting, value in medians.items() if setting != "on"}
    figures["growth"] = dict(child_run=quotient(run.child["large"]["run"], run.child["small"]["run"]),
                             child_entry=quotient(run.child["large"]["entry"], run.child["small"]["entry"]))
    return figures


# Rows of the comparison: (title, part of the figures, value, its ratio or ratios, unit).
COMPARED = [
    ("whole run, 150 MB package", "large", "run_ms", None, ms),
    ("its sum of limits", "large", "limit_ms", None, ms),
    ("its ratio", "large", "ratio", None, None),
    ("whole run, 150 MB package, every step serial (TAVRIN_ONEFILE_SERIAL=all)", "large", "serial_all_ms", None, ms),
    ("whole run, 1 MB package", "small", "run_ms", None, ms),
    ("its sum of limits", "small", "limit_ms", None, ms),
    ("its ratio", "small", "ratio", None, None),
    ("whole run, 1 MB package, every step serial (TAVRIN_ONEFILE_SERIAL=all)", "small", "serial_all_ms", None, ms),
    ("delete the tree, 150 MB", "large", "delete_ms", None, ms),
    ("delete the tree, 1 MB", "small", "delete_ms", None, ms),
    ("child run, 150 MB package (× trivial)", "large", "child_run_ms", ["child_run_ratio", "×"], ms),
    ("child run, 1 MB package (× trivial)", "small", "child_run_ms", ["child_run_ratio", "×"], ms),
    ("child run, 150 MB ÷ 1 MB", "growth", "child_run", None, None),
    ("child, CreateProcessW → run_code, 150 MB (× trivial)", "large", "child_entry_ms",
     ["child_entry_ratio", "×"], ms),
    ("child, CreateProcessW → run_code, 1 MB (× trivial)", "small", "child_entry_ms",
     ["child_entry_ratio", "×"], ms),
    ("child to run_code, 150 MB ÷ 1 MB", "growth", "child_entry", None, None),
    ("child's anonymous memory at run_code, 150 MB", "large", "child_anon_mib", None, mib),
    ("child's peak working set, 150 MB (ratio to its limit)", "large", "child_ws_mib", ["child_ws_ratio", ""], mib),
    ("parent's anonymous memory after unpacking, 150 MB", "large", "parent_anon_mib", None, mib),
    ("parent's peak working set, 150 MB (ratio to its limit; with the section read allowed for)", "large",
     "parent_ws_mib", ["parent_ws_ratio", "parent_ws_ratio_section_read", ""], mib),
]


def compared_cell(figures, part, key, ratios, unit):
    """A figure and its ratios; "n/a" for one a run recorded before it was measured."""
    value = figures[part].get(key)
    if value is None:
        return "n/a"
    if unit is None:
        return fixed(value)
    if ratios is None:
        return unit(value)
    *keys, sign = ratios
    return f"{unit(value)} ({'; '.join(fixed(figures[part][k]) for k in keys)}{sign})"


def change(before, after, unit):
    if unit is None or not before or after is None:
        return ""
    return f"{unit(after - before)} ({(after - before) / before * 100:+.0f} %)"


def write_before_after(doc, run, before, after):
    doc.heading("6. Before and after")
    if before is None:
        doc.paragraph("No earlier figures to compare with: `bench/results.json` was missing.")
        return
    doc.paragraph(
        f"Before: the run of {before['date']} ({before['runs']} rounds; {before['cpu']}), as this file recorded "
        "it then (its figures are kept in `bench/results.json`, which every report writes for the next), with "
        f"the attached-data section at file offset 0x{before['section_offset']:x}. After: this run "
        f"({after['date']}, {after['runs']} rounds; {after['cpu']}), the section at "
        f"0x{after['section_offset']:x}. The trivial process each child "
        f"ratio is taken against was {ms(before['trivial']['run_ms'])} whole and "
        f"{ms(before['trivial']['entry_ms'])} to its entry before, {ms(after['trivial']['run_ms'])} and "
        f"{ms(after['trivial']['entry_ms'])} now.")
    rows = [(title, compared_cell(before, part, key, ratios, unit), compared_cell(after, part, key, ratios, unit),
             change(before[part].get(key), after[part].get(key), unit))
            for title, part, key, ratios, unit in COMPARED]
    doc.table(["", f"before ({before['date']})", f"after ({after['date']})", "change"], rows)


def saved_before(path, date, latest_key, before_key):
    """results.json's figures under `latest_key`, to compare with; or, when they are this very run's
    (its report written again), those they were compared with, under `before_key`."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        saved = json.load(f)
    latest = saved.get(latest_key)
    return saved.get(before_key) if latest is None or latest["date"] == date else latest


def previous_figures(path, date):
    """The figures to show as "before": the latest run in results.json, or the one before it."""
    return saved_before(path, date, "latest", "previous")


def previous_startup(path, date):
    """The start-up figures to compare with: results.json's, or those they were compared with."""
    return saved_before(path, date, "startup", "startup_before")


# ---- the whole ----

# The start-up rows, in their order: (title, measurement). (a) to (c) are the floors.
STARTUP_ROWS = [
    ("(a) a trivial program importing shell32, as the launcher does", "floor_shell32"),
    ("(b) the same, loading bench_app.dll from beside itself and calling its run_code", "floor_shell32_app"),
    ("(c) two such programs, the second started by the first and waited for", "floor_shell32_two"),
    ("later cached run, 1-file package (bench_app.dll)", "cached_later_one"),
    ("later cached run, 150 MB package", "cached_later_large"),
    ("first cached run, 150 MB package", "cached_first_large"),
    ("whole run, temporary mode, 150 MB package", "run_large"),
    ("whole run, temporary mode, 1 MB package (its progress window armed, as packed by default)", "temporary_small"),
    ("the same, packed with `--no-progress` (nothing armed)", "temporary_small_no_progress"),
    ("later run, elevated, 150 MB package (under Wine it makes its own tree each time)", "cached_later_elevated_large"),
]
# The targets: (title, measurement, the one it is divided by, the largest ratio that meets it).
STARTUP_TARGETS = [
    ("later cached run, 1-file package ÷ (b)", "cached_later_one", "floor_shell32_app", 1.3),
    ("later cached run, 150 MB package ÷ (c)", "cached_later_large", "floor_shell32_two", 0.8),
    ("first cached run ÷ temporary run, 150 MB package", "cached_first_large", "run_large", 1.0),
]


# The progress window's rows, each package as packed (a windowed package: its window armed as
# unpacking starts, shown when the application has not started 400 ms after the process) against the
# same tree packed with --no-progress: (key, title, where the rows are, row as packed, row with
# --no-progress). "desktop" are the runs on a virtual display, in a prefix of their own.
PROGRESS_PAIRS = [
    ("small_temporary", "1 MB package, temporary run below 400 ms, in the bench's prefix (nothing ever shown)",
     "wine", "temporary_small", "temporary_small_no_progress"),
    ("large_no_display", "150 MB package, whole temporary run, in the bench's prefix without a display (the "
     "window due at 400 ms, none shown)", "wine", "whole_large", "whole_large_no_progress"),
    ("large_display", "150 MB package, whole temporary run, on a virtual display (the window shown)", "desktop",
     "whole_large", "whole_large_no_progress"),
]
PROGRESS_DELAY_MS = 400  # the launcher's progress_window_delay_ms
PROGRESS_TARGET = "the windowed start with the progress window armed is no slower than with --no-progress beyond the noise"


def progress_pairs(facts):
    """Each pair of PROGRESS_PAIRS the facts have, by key: the medians, the difference (as packed −
    --no-progress), its noise (the larger of the two rows' halves_noise) and the runs."""
    pairs = {}
    for key, title, where, armed, plain in PROGRESS_PAIRS:
        wine = facts["wine"] if where == "wine" else (facts.get("desktop") or {}).get("wine", {})
        if armed not in wine or plain not in wine:
            continue
        a, p = column(wine[armed], "run", "ms"), column(wine[plain], "run", "ms")
        noises = [n for n in (halves_noise(a), halves_noise(p)) if n is not None]
        pairs[key] = dict(title=title, armed_ms=median(a), no_progress_ms=median(p),
                          difference_ms=median(a) - median(p), noise_ms=max(noises) if noises else None,
                          runs=len(a), armed_spread=spread(a), no_progress_spread=spread(p),
                          over_delay=[sum(1 for v in values if v >= PROGRESS_DELAY_MS) for values in (a, p)])
    return pairs


def progress_target(pairs):
    """The target of the start below the window's delay: [the difference, the noise, met], or None."""
    pair = pairs.get("small_temporary")
    if pair is None:
        return None
    noise = pair["noise_ms"]
    return dict(title=PROGRESS_TARGET, difference_ms=pair["difference_ms"], noise_ms=noise,
                met=noise is not None and pair["difference_ms"] <= noise)


def startup_figures(facts):
    """The start-up rows' medians and the targets' ratios, as results.json keeps them. Facts from
    before a row existed have none of it; a target without both rows has no ratio."""
    wine = facts["wine"]
    medians = {name: median(column(wine[name], "run", "ms")) for _, name in STARTUP_ROWS if name in wine}
    targets = []
    for title, measured, floor, limit in STARTUP_TARGETS:
        value = quotient(medians[measured], medians[floor]) if measured in medians and floor in medians else None
        targets.append(dict(title=title, ratio=value, limit=limit, met=value is not None and value <= limit))
    figures = dict(date=dict(facts["machine"])["Date"], runs=facts["runs"], medians_ms=medians, targets=targets)
    overlap = overlap_medians(wine, "large")
    if overlap:
        figures["overlap_large_ms"] = overlap
    pairs = progress_pairs(facts)
    if pairs:
        figures["progress_window"] = {key: {k: v for k, v in pair.items() if k.endswith("_ms") or k == "runs"}
                                      for key, pair in pairs.items()}
        figures["progress_window"]["target"] = progress_target(pairs)
        skipped = (facts.get("desktop") or {}).get("skipped")
        if skipped:
            figures["progress_window"]["large_display"] = dict(skipped=skipped)
    return figures


def write_startup(doc, facts):
    doc.heading("7. Start-up, side by side")
    doc.paragraph(
        "Every row measured in the same rounds, from `CreateProcessW` to the end of the wait; the floors "
        "(a) to (c) and the two later cached runs one start of each in turn, so that a slow moment of the "
        "machine weighs on them alike. The floors, and the runs of three packages that differ in nothing "
        "else, their application "
        "(`bench_app.dll`) returning at once. (a) is the floor of any start of the launcher, whose image "
        "imports shell32; (b) that of a start that runs the application in one process, (c) that of the "
        "two-instance shape, parent and child. The 1-file package is `bench_app.dll` alone, packed with "
        "`--cached --unpack-dir {TEMP}\\bench_cache_one`; the 150 MB package is packed again with "
        "`--cached --unpack-dir {TEMP}\\bench_cache` (same files, same level). A later run finds the kept "
        "tree, reads its marker and walks it once (names and sizes), then starts the application; nothing is "
        "written or deleted. A first run (the kept tree deleted before it) unpacks into a private sibling, "
        "walks it for the marker and renames it into place; the temporary run unpacks and deletes. Cached "
        "runs start with the limited token, as a user's normal start (Wine starts every process elevated, and "
        "an elevated run uses only a tree sealed against lesser processes, which Wine never shows: it "
        "unpacks its own each time), and so do the floors: under Wine 8 a start with the limited token "
        "costs some 10 ms more than an elevated one.")
    wine = facts["wine"]
    rows = []
    for title, name in STARTUP_ROWS:
        if name in wine:
            values = column(wine[name], "run", "ms")
            rows.append((title, ms(median(values)), spread(values), len(values)))
    doc.table(["", "median", "runs: min – max", "runs"], rows)
    figures = startup_figures(facts)
    doc.table(["target", "ratio of medians", "at most", "met"],
              [(t["title"], fixed(t["ratio"]), f"{t['limit']:.2f}", "yes" if t["met"] else "**no**")
               for t in figures["targets"]])
    write_progress_window(doc, facts)


def trace_text(lines):
    """The progress window's lines of a trace, for the text: `...`; `...`, or "none"."""
    shown = [line for line in lines if line.partition(" ms: ")[2].startswith(("progress window", "no progress window"))]
    return "; ".join(f"`{line}`" for line in shown) if shown else "none"


def write_progress_window(doc, facts):
    pairs = progress_pairs(facts)
    if not pairs:
        return
    desktop = facts.get("desktop") or {}
    traces, desktop_traces = facts.get("progress_trace", {}), desktop.get("traces", {})
    small_cycles, large_cycles = facts.get("progress_small_cycles", 8), facts.get("progress_large_cycles", 1)
    desktop_cycles = large_cycles * facts["runs"]
    doc.paragraph(
        "**The progress window.** A windowed package (the default for a DLL entry) arms its progress window as "
        "unpacking starts: the moment 400 ms after the process started, which unpacking looks at between its "
        "pieces; once it is due while unpacking still runs, a thread of its own loads user32, comctl32 and "
        "gdi32 and shows the window until the application shows a window, is ready for input or ends (under "
        "Wine without a display, nothing is tried). Each package is set against the "
        "same tree packed with `--no-progress`, which arms nothing (the start as it was before the window). "
        "The two run in the order A B B A, so that each follows the other as often as itself (a start that "
        "comes right after a temporary run was seen to be slower than one after a lighter start): the 1 MB "
        f"package's temporary runs (the two rows above, limited token) {small_cycles} such cycles per round, "
        f"the 150 MB package's whole temporary runs {large_cycles} per round, both in the rounds of the rows "
        "above, in the bench's prefix, which has no display: there the window is due at 400 ms but none is "
        f"shown. On a display, the 150 MB package's two runs go the same way, {desktop_cycles} "
        f"cycle{'' if desktop_cycles == 1 else 's'} in one `tavrin-bench` run, in a prefix of their own whose server and "
        "desktop started on the virtual display of `xvfb-run` (`scripts/wine-desktop "
        "$BUILD/bench/wineprefix-desktop`), where the window shows for real: the difference there is the "
        "window's own cost. Difference: as packed − with `--no-progress`; noise: the larger of the two rows' "
        "differences between the medians of the first and the second half of their runs, in the order they "
        "ran. Before the rounds, one run of each package with `TAVRIN_ONEFILE_TRACE` naming a file (never "
        "in a measured run) showed what the window did.")
    rows = []
    for key, title, *_ in PROGRESS_PAIRS:
        pair = pairs.get(key)
        if pair is None:
            reason = desktop.get("skipped", "not measured") if key == "large_display" else "not measured"
            rows.append((title, f"not measured: {reason}", "", "", "", ""))
            continue
        rows.append((title, f"{ms(pair['armed_ms'])} ({pair['armed_spread']})",
                     f"{ms(pair['no_progress_ms'])} ({pair['no_progress_spread']})",
                     f"**{pair['difference_ms']:+,.1f} ms**",
                     "n/a" if pair["noise_ms"] is None else ms(pair["noise_ms"]), pair["runs"]))
    doc.table(["", "as packed: median (runs: min – max)", "`--no-progress`: median (runs: min – max)",
               "difference", "noise", "runs of each"], rows)
    notes = []
    small = pairs.get("small_temporary")
    if small is not None:
        armed_over, plain_over = small["over_delay"]
        notes.append(f"Of the 1 MB package's runs, {armed_over} as packed and {plain_over} with `--no-progress` "
                     f"took {PROGRESS_DELAY_MS} ms or more" + (" (none reached the window's delay)."
                                                                if armed_over + plain_over == 0 else "."))
    target = progress_target(pairs)
    if target is not None:
        notes.append(f"Target, {target['title']} (1 MB package): "
                     f"{target['difference_ms']:+,.1f} ms against a noise of "
                     + ("n/a" if target["noise_ms"] is None else ms(target["noise_ms"]))
                     + (": **met**." if target["met"] else ": **not met**."))
    shown, tried = pairs.get("large_display"), pairs.get("large_no_display")
    if shown is not None:
        notes.append(f"The window's own cost in the 150 MB package's whole run: **{shown['difference_ms']:+,.1f} ms** "
                     "on a display (the window shown)"
                     + (f"; without a display, where none is shown, {tried['difference_ms']:+,.1f} ms."
                        if tried is not None else "."))
    elif tried is not None:
        notes.append(f"The window's own cost on a display was not measured ({desktop.get('skipped', 'no runs')}); "
                     f"without a display, where none is shown, it cost {tried['difference_ms']:+,.1f} ms "
                     "in the 150 MB package's whole run.")
    if traces:
        notes.append("The trace, in the bench's prefix: 1 MB package as packed "
                     + trace_text(traces.get("temporary_small", [])) + "; 150 MB package as packed "
                     + trace_text(traces.get("whole_large", [])) + "; packed with `--no-progress`: "
                     + trace_text(traces.get("temporary_small_no_progress", [])) + " (1 MB) and "
                     + trace_text(traces.get("whole_large_no_progress", [])) + " (150 MB).")
    if desktop_traces:
        notes.append("On the display: 150 MB package as packed " + trace_text(desktop_traces.get("whole_large", []))
                     + "; packed with `--no-progress`: "
                     + trace_text(desktop_traces.get("whole_large_no_progress", [])) + ".")
    if desktop.get("leftovers"):
        notes.append(f"**Left behind in the display prefix's %TEMP%:** {', '.join(desktop['leftovers'])}.")
    doc.paragraph(" ".join(notes))


def write_commands(doc, run):
    facts = run.facts
    if facts["leftovers"]:
        doc.paragraph(f"**Left behind in %TEMP%:** {', '.join(facts['leftovers'])}")
    else:
        doc.paragraph("Nothing was left behind in %TEMP% (no `onefile_*` or `tavrin_bench_*` entries).")
    doc.heading("Commands")
    doc.paragraph(
        "From the repository's root: "
        f"`{'BENCH_ONLY=startup ' if facts.get('only') else ''}scripts/bench.sh`, which builds the targets `bench` (Windows) and "
        "`tavrin-pack` (host) in `$BUILD` (`${TAVRIN_BUILD_DIR:-build}`), starts a persistent wineserver for "
        "the prefix (`${TAVRIN_WINEPREFIX:-build/wineprefix}`) and ran, in this order, "
        f"{facts['elapsed'] / 60:.1f} minutes in all (the Windows-side commands once per round, {run.runs} "
        f"round{'' if run.runs == 1 else 's'}):")
    doc.add("```")
    for line, count in facts["commands"]:
        doc.add(line + (f"    # ×{count}" if count > 1 else ""))
    doc.paragraph("```")
    doc.add("The raw output of every Windows-side run is kept in `$BUILD/bench/logs/`.")


def report(facts, before, before_startup=None):
    """RESULTS.md's text and the figures results.json keeps (None for a run of the start-up rows
    alone, which has none of them)."""
    doc = Document()
    if facts.get("only") == "startup":
        run = types.SimpleNamespace(facts=facts, runs=facts["runs"])
        write_heading(doc, run)
        write_startup(doc, facts)
        write_overlaps(doc, facts, ("large",))
        write_targets(doc, facts, None, None, before_startup)
        write_commands(doc, run)
        return doc.text(), None
    run = Run(facts)
    after = headline_figures(run)
    for section in (write_heading, write_corpus, write_whole_run):
        section(doc, run)
    write_overlaps(doc, facts, ("large", "small"))
    write_targets(doc, facts, run, before, before_startup)
    for section in (write_child_start, write_memory, write_packer, write_windows, write_costs):
        section(doc, run)
    write_before_after(doc, run, before, after)
    write_startup(doc, facts)
    write_commands(doc, run)
    return doc.text(), after


# A section that bench/measure_collected.sh measures apart: kept as it is when RESULTS.md is written anew.
KEPT_SECTION = "## 8. Collected runtime DLLs"


def kept_section(results):
    """The kept section of the RESULTS.md at `results` up to the next heading, or ""."""
    try:
        with open(results) as f:
            old = f.read()
    except FileNotFoundError:
        return ""
    start = old.find("\n" + KEPT_SECTION + "\n")
    if start < 0:
        return ""
    end = old.find("\n## ", start + 1)
    return old[start + 1:end + 1 if end >= 0 else len(old)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--facts", required=True, help="the facts measure.py wrote ($BUILD/bench/facts.json)")
    parser.add_argument("--results", required=True, help="the Markdown to write; results.json goes beside it")
    args = parser.parse_args()
    with open(args.facts) as f:
        facts = json.load(f)
    saved = os.path.join(os.path.dirname(os.path.abspath(args.results)), "results.json")
    date = dict(facts["machine"])["Date"]
    before, before_startup = previous_figures(saved, date), previous_startup(saved, date)
    text, after = report(facts, before, before_startup)
    kept = kept_section(args.results)
    if kept:
        at = text.find("\n## Commands\n")
        text = text[:at + 1] + kept + text[at + 1:] if at >= 0 else text + "\n" + kept
    with open(args.results, "w") as f:
        f.write(text)
    # A run of the start-up rows alone keeps the figures of the last whole run as they are.
    kept = dict(latest=after, previous=before)
    if after is None:
        kept = {}
        if os.path.exists(saved):
            with open(saved) as f:
                kept = json.load(f)
    kept["startup"] = startup_figures(facts)
    kept["startup_before"] = before_startup
    with open(saved, "w") as f:
        json.dump(kept, f, indent=1)
        f.write("\n")
    print(f"bench: wrote {args.results} and {saved}", file=sys.stderr)


if __name__ == "__main__":
    main()
