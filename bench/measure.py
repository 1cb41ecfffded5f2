#!/usr/bin/env python3
"""Runs the benchmarks and keeps what they measured, unsummarised, in $BUILD/bench/facts.json;
bench/report.py turns that into bench/RESULTS.md. scripts/bench.sh builds, starts the wineserver and
calls both; bench/README.md says what is measured and why.
"""
import argparse
import datetime
import getpass
import json
import os
import platform
import shlex
import shutil
import struct
import subprocess
import sys
import time

CHEAP_RUNS_PER_ROUND = 5  # runs per round of what takes milliseconds
SIDE_BY_SIDE_RUNS_PER_ROUND = 15  # starts per round of each floor and later cached run, in turn
FIRST_RUNS_PER_ROUND = 3  # first cached runs and temporary runs of the 150 MB package per round, in turn
CACHE_NAME = "bench_cache"  # the cached package's directory under %TEMP%: --unpack-dir {TEMP}\bench_cache
ONE_CACHE_NAME = "bench_cache_one"  # the same for the package of bench_app.dll alone
PAGE = 4096               # the file offset the packer starts the attached-data section at
SHAPES = ("large", "small")
# The launcher's steps of a temporary run that overlap can be made serial through this variable; the
# whole runs are also measured with every step serial ("all", the order of the launcher before the
# overlaps) and with each overlap off alone, the others on.
SERIAL = "TAVRIN_ONEFILE_SERIAL"
SERIAL_SETTINGS = ("all", "decode", "child", "cleanup")
# A windowed package arms its progress window as unpacking starts: shown when the application has not
# started 400 ms after the process did. The same trees are also packed with --no-progress (nothing
# armed) and run beside them. The launcher's trace says what the window did; it is set only in the
# runs that check it, never in a measured one.
TRACE = "TAVRIN_ONEFILE_TRACE"
PROGRESS_SHOWN = "progress window shown"
DESKTOP_PREFIX = "wineprefix-desktop"  # under $BUILD/bench: the prefix whose server runs on a display
# The runs of each package as packed and with --no-progress go in the order A B B A (what a temporary
# run leaves behind slows the start that follows it, so each must follow the other as often as
# itself): of the 1 MB package, and of the 150 MB package, this many such cycles per round (on the
# display, where the 150 MB package's runs are not in the rounds, as many times the rounds).
PROGRESS_SMALL_CYCLES = 8
PROGRESS_LARGE_CYCLES = 2
# The rows of those runs (labels): each shape's temporary run, as packed and with --no-progress.
PROGRESS_ROWS = {"small": ("temporary_small", "temporary_small_no_progress"),
                 "large": ("whole_large", "whole_large_no_progress")}


def serial_name(shape, setting):
    """The measurement of a whole temporary run of `shape` with TAVRIN_ONEFILE_SERIAL=`setting`."""
    return f"run_{shape}_serial_{setting}"


class Runner:
    """Paths of the build, and the running of commands with a record of each command line."""

    def __init__(self, root, build):
        self.root = os.path.abspath(root)
        self.build = os.path.abspath(build)
        self.work = os.path.join(self.build, "bench")
        self.logs = os.path.join(self.work, "logs")
        self.launcher = os.path.join(self.build, "windows", "launcher", "tavrin-launcher.exe")
        self.bench_bin = os.path.join(self.build, "windows", "bench")
        self.tool = os.path.join(self.bench_bin, "tavrin-bench.exe")
        self.packer = os.path.join(self.build, "host", "packer", "tavrin-pack")
        self.prefix = os.environ.get("WINEPREFIX", "")
        self.temp_dir = self.prefix_temp(self.prefix)
        self.desktop_prefix = os.path.join(self.work, DESKTOP_PREFIX)
        self.wine_desktop = os.path.join(self.root, "scripts", "wine-desktop")
        self.report_file = "C:\\users\\" + getpass.getuser() + "\\Temp\\tavrin_bench_report.txt"
        self.commands = []  # [command line as shown, times run] in the order first run
        self.started = time.time()

    def say(self, text):
        print(f"bench [{time.time() - self.started:6.1f} s] {text}", flush=True)

    @staticmethod
    def prefix_temp(prefix):
        return os.path.join(prefix, "drive_c", "users", getpass.getuser(), "Temp")

    def windows_path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def shown(self, argv):
        """The command line as the report shows it: $BUILD for the build, paths from the root."""
        argv = ["python3" if a == sys.executable else a for a in argv]
        text = " ".join(shlex.quote(a) for a in argv)
        build_windows = self.windows_path(self.build) + "\\"
        return (text.replace(self.build + "/", "$BUILD/").replace(build_windows, "Z:$BUILD\\")
                .replace(self.root + "/", ""))

    def note(self, argv, environment=None):
        line = "".join(f"{k}={shlex.quote(v)} " for k, v in sorted((environment or {}).items())) + self.shown(argv)
        for known in self.commands:
            if known[0] == line:
                known[1] += 1
                return
        self.commands.append([line, 1])

    def run(self, argv, **options):
        self.note(argv)
        subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, **options)

    def wine(self, name, arguments, environment=None, desktop=False):
        """Runs tavrin-bench under Wine with `environment` ({name: value}) added to this process's
        (Wine passes it on to the Windows side); returns its output lines as [kind, {key: value}].
        TAVRIN_ONEFILE_SERIAL and TAVRIN_ONEFILE_TRACE are passed only when `environment` names them,
        so that a value left in the shell does not slow the launcher's default rows. The bench's
        prefix runs without a display, as the tests' does: DISPLAY is dropped. With `desktop`, the
        program runs instead on the virtual display of xvfb-run, in the prefix of its own that
        scripts/wine-desktop starts with that display (and stops after)."""
        if desktop:
            argv = ["xvfb-run", "-a", self.wine_desktop, self.desktop_prefix, self.tool] + arguments
        else:
            argv = ["wine", self.tool] + arguments
        self.note(argv, environment)
        dropped = (SERIAL, TRACE) if desktop else (SERIAL, TRACE, "DISPLAY", "WAYLAND_DISPLAY")
        env = {k: v for k, v in os.environ.items() if k not in dropped} | (environment or {})
        out_path = os.path.join(self.logs, name + ".out")
        with open(out_path, "w") as out, open(os.path.join(self.logs, name + ".err"), "w") as err:
            status = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env).returncode
        if status != 0:
            sys.exit(f"bench: error: tavrin-bench {arguments[0]} failed (status {status}); see {out_path}")
        records = []
        with open(out_path) as out:
            for line in out:
                kind, _, rest = line.strip().partition(" ")
                records.append([kind, dict(w.split("=", 1) for w in rest.split() if "=" in w)])
        return records

    def timed(self, argv):
        """Runs a host command; returns [wall seconds, CPU seconds, peak RSS in bytes]."""
        self.note(argv)
        err_path = os.path.join(self.logs, "host.err")
        with open(err_path, "w") as err:
            start = time.perf_counter()
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            _, status, usage = os.wait4(process.pid, 0)
            wall = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            with open(err_path) as err:
                sys.exit(f"bench: error: {self.shown(argv)} failed:\n{err.read()}")
        return [wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024]

    def leftovers(self, temp_dir=None):
        temp_dir = temp_dir or self.temp_dir
        if not os.path.isdir(temp_dir):
            return set()
        return {n for n in os.listdir(temp_dir) if n.startswith(("onefile_", "tavrin_bench_"))}

    def package(self, shape):
        return os.path.join(self.work, f"{shape}.exe")

    def no_progress_package(self, shape):
        """The same tree as package(shape), packed with --no-progress."""
        return os.path.join(self.work, f"{shape}-no-progress.exe")

    def cached_package(self):
        return os.path.join(self.work, "large-cached.exe")

    def one_file_package(self):
        return os.path.join(self.work, "one-cached.exe")

    def forget_cache(self):
        """Deletes the cached package's kept trees, so that its next run is a first run."""
        shutil.rmtree(os.path.join(self.temp_dir, CACHE_NAME), ignore_errors=True)

    def forget_caches(self):
        """Deletes the kept trees of both cached packages."""
        self.forget_cache()
        shutil.rmtree(os.path.join(self.temp_dir, ONE_CACHE_NAME), ignore_errors=True)

    def content(self, shape):
        return os.path.join(self.work, f"{shape}.content")

    def window_package(self, window_log):
        return os.path.join(self.work, f"large-window{window_log}.exe")


# ---- the packages ----

def attached_section(exe):
    """The image's bytes and the .tavrin section's file offset and length."""
    with open(exe, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, = struct.unpack_from("<H", data, pe + 6)
    optional, = struct.unpack_from("<H", data, pe + 20)
    for i in range(sections):
        at = pe + 24 + optional + 40 * i
        if data[at:at + 8].rstrip(b"\0") == b".tavrin":
            virtual_size, _, raw_size, raw_offset = struct.unpack_from("<IIII", data, at + 8)
            return data, raw_offset, min(virtual_size, raw_size)
    sys.exit(f"bench: error: {exe} has no .tavrin section")


def frame_facts(exe):
    """The Zstandard frame of a package's section, and what its header declares."""
    data, offset, length = attached_section(exe)
    frame = data[offset + 3:offset + length - 12]
    single_segment = bool(frame[4] & 0x20)
    window = None
    if not single_segment:
        byte = frame[5]
        window_log = 10 + (byte >> 3)
        window = (1 << window_log) + ((1 << window_log) >> 3) * (byte & 7)
    return dict(frame=frame, block_size=length, raw_offset=offset, window=window,
                window_log=(window.bit_length() - 1) if window else None, single_segment=single_segment)


def content_stream(runner, exe, out):
    """Writes the uncompressed content stream of a package to `out`, decoded by the zstd tool."""
    facts = frame_facts(exe)
    frame_path = out + ".frame.zst"
    with open(frame_path, "wb") as f:
        f.write(facts["frame"])
    runner.run(["zstd", "-q", "-d", "-f", frame_path, "-o", out])
    os.remove(frame_path)
    return facts


# ---- the steps ----

def make_corpus(runner, shapes):
    """Generates the trees of `shapes` and the one-file tree (bench_app.dll alone, as app.dll);
    returns what the generated trees' manifests say, by shape."""
    runner.say("corpus: generating the " + " and ".join(shapes) + " trees and the one-file tree")
    app_dll = os.path.join(runner.bench_bin, "bench_app.dll")
    for shape in shapes:
        runner.run([sys.executable, os.path.join(runner.root, "bench", "make_corpus.py"), "--shape", shape,
                    "--app-dll", app_dll, "--out", os.path.join(runner.work, f"corpus-{shape}")],
                   stdout=subprocess.DEVNULL)
    one = os.path.join(runner.work, "corpus-one")
    shutil.rmtree(one, ignore_errors=True)
    os.makedirs(one)
    shutil.copyfile(app_dll, os.path.join(one, "app.dll"))
    return {shape: read_manifest(os.path.join(runner.work, f"corpus-{shape}.manifest")) for shape in shapes}


def read_manifest(path):
    manifest = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(" ")
            if key == "package":
                manifest.setdefault("packages", []).append(value)
            elif key != "file":
                manifest[key] = value
    return manifest


def pack_argv(runner, shape, out, level, window_log=None):
    window = ["--window", str(1 << window_log)] if window_log else []
    return [runner.packer, os.path.join(runner.work, f"corpus-{shape}"), "-o", out, "--entry", "app.dll",
            "--level", str(level)] + window + ["--launcher", runner.launcher]


def pack_against_zstd(runner, level, out, runs):
    """The packer and the zstd tool on the large tree at one level, alternating run by run."""
    runner.say(f"packer against zstd at level {level}: {runs} runs each, interleaved")
    zstd_out = os.path.join(runner.work, f"large-level{level}.zst")
    rows = dict(pack=[], zstd=[])
    frame = zstd_argv = None
    for _ in range(runs):
        rows["pack"].append(runner.timed(pack_argv(runner, "large", out, level)))
        if frame is None:
            frame = content_stream(runner, out, runner.content("large"))
            # The packer's default window at every level: 2^27 with long-distance matching, as --long=27.
            ultra = ["--ultra"] if level > 19 else []
            zstd_argv = (["zstd", f"-{level}"] + ultra + [f"--long={frame['window_log']}", "-T0", "-q",
                                                          "-f", runner.content("large"), "-o", zstd_out])
        rows["zstd"].append(runner.timed(zstd_argv))
    return dict(rows=rows, frame_size=len(frame["frame"]), block_size=frame["block_size"],
                exe_size=os.path.getsize(out), zstd_size=os.path.getsize(zstd_out),
                window_log=frame["window_log"])


def pack_packages(runner, levels, runs):
    """Packs the large tree at every level (the first level makes the package measured under Wine)
    and the small tree at the first; returns the packer's results and both packages' frames."""
    results = {}
    for level in levels:
        out = runner.package("large") if level == levels[0] else os.path.join(runner.work, f"large-level{level}.exe")
        results[level] = pack_against_zstd(runner, level, out, runs)
    runner.say("small package")
    runner.timed(pack_argv(runner, "small", runner.package("small"), levels[0]))
    pack_cached(runner, levels[0])
    frames = {shape: content_stream(runner, runner.package(shape), runner.content(shape)) for shape in SHAPES}
    for shape, frame in frames.items():
        # The section starts at a page boundary of the file, so that the loader maps it rather than
        # copies it; a package where it does not is not the product measured here.
        if frame["raw_offset"] % PAGE:
            sys.exit(f"bench: error: {runner.package(shape)}: the attached-data section starts at file offset "
                     f"0x{frame['raw_offset']:x}, not at a multiple of {PAGE}; is tavrin-pack up to date?")
    return results, frames


def pack_cached(runner, level):
    """The large tree and the one-file tree packed in cached mode at `level`."""
    runner.say("the large package and the one-file package in cached mode")
    runner.timed(pack_argv(runner, "large", runner.cached_package(), level) +
                 ["--cached", "--unpack-dir", "{TEMP}\\" + CACHE_NAME])
    runner.timed(pack_argv(runner, "one", runner.one_file_package(), level) +
                 ["--cached", "--unpack-dir", "{TEMP}\\" + ONE_CACHE_NAME])


def pack_no_progress(runner, level, only=None):
    """Both trees packed again at `level` with --no-progress, beside the packages as packed by default
    (with `only`, whose packing makes no small package, the small tree's too)."""
    runner.say("the small and the large package packed with --no-progress")
    if only:
        runner.timed(pack_argv(runner, "small", runner.package("small"), level))
    for shape in SHAPES:
        runner.timed(pack_argv(runner, shape, runner.no_progress_package(shape), level) + ["--no-progress"])


def identity_cost(runner, runs):
    """The small tree packed at level 1 with and without every identity option, alternating run by
    run: what the identity costs the packer (level 1 keeps the compression's share, and its noise,
    small; the identity's work does not depend on the level)."""
    runs *= CHEAP_RUNS_PER_ROUND
    runner.say(f"identity options: the small tree packed {runs} times with and without them, interleaved")
    icons = os.path.join(runner.root, "resources", "icons")
    identity = ["--console", "--icon", os.path.join(icons, "launcher-16.png"), "--icon", os.path.join(icons, "launcher-256.png"),
                "--company", "Bench Co", "--product", "Bench", "--app-version", "2.3.4.5", "--description", "Benchmark",
                "--copyright", "(c) Bench Co", "--original-filename", "bench.exe", "--manifest-level", "highestAvailable"]
    out = os.path.join(runner.work, "small-identity.exe")
    rows = dict(plain=[], identity=[])
    for _ in range(runs):
        rows["plain"].append(runner.timed(pack_argv(runner, "small", out, 1)))
        rows["identity"].append(runner.timed(pack_argv(runner, "small", out, 1) + identity))
    return rows


def pack_windows(runner, level, window_logs, runs):
    """The large tree at `level` with each window limit (a log) in `window_logs`: packing times, frames.
    The packer's default window is the package measured with the first level."""
    results = {}
    for window_log in window_logs:
        runner.say(f"packer at level {level} with --window {1 << window_log}: {runs} runs")
        out = runner.window_package(window_log)
        rows = [runner.timed(pack_argv(runner, "large", out, level, window_log)) for _ in range(runs)]
        frame = frame_facts(out)
        results[window_log] = dict(rows=rows, frame_size=len(frame["frame"]), window=frame["window"],
                                   block_size=frame["block_size"])
    return results


# The measurements of BENCH_ONLY=startup: the floors, and the runs of the packages set against them.
STARTUP = (("side_by_side", "progress_small", "progress_large", "run_large", "cached_first_large") +
           tuple(serial_name("large", s) for s in SERIAL_SETTINGS))
# The measurements whose lines go to their rows by label.
LABELLED = ("side_by_side", "progress_small", "progress_large")


def in_turn_both_ways(runner, shape, cycles, limited=False):
    """tavrin-bench arguments that start the package of `shape` as packed and packed with
    --no-progress in the order A B B A, `cycles` times, each line labelled with its row."""
    arguments = ["start", "--runs", str(cycles)]
    armed, plain = PROGRESS_ROWS[shape]
    packages = {armed: runner.package(shape), plain: runner.no_progress_package(shape)}
    for index, label in enumerate((armed, plain, plain, armed)):
        arguments += ((["--next"] if index else []) + ["--label", label, "--expect", "0"] +
                      (["--limited"] if limited else []) + ["--", runner.windows_path(packages[label])])
    return arguments


def windows_measurements(runner, window_logs, only=None):
    """The Windows-side measurements of one round: (name, tavrin-bench arguments, what runs before,
    environment added); with `only` "startup", those of STARTUP alone."""
    w = runner.windows_path
    trivial = w(os.path.join(runner.bench_bin, "bench-trivial.exe"))
    trivial_shell32 = w(os.path.join(runner.bench_bin, "bench-trivial-shell32.exe"))
    report = runner.report_file
    few = str(CHEAP_RUNS_PER_ROUND)
    start = ["start", "--runs", "1", "--expect", "0"]
    start_few = ["start", "--runs", few, "--expect", "0"]
    large, small = w(runner.package("large")), w(runner.package("small"))
    measurements = [
        ("trivial", start_few + ["--", trivial]),
        ("trivial_two", start_few + ["--", trivial, "--spawn"]),
        ("trivial_report", start_few + ["--report", report, "--", trivial]),
        ("trivial_shell32", start_few + ["--report", report, "--", trivial_shell32]),
        ("trivial_shell32_two", start_few + ["--", trivial_shell32, "--spawn"]),
        ("trivial_shell32_app", start_few + ["--", trivial_shell32, "--load-app"]),
        ("decode_large", ["decode", "--runs", few, large]),
        ("decode_pieces", ["decode", "--runs", few, "--copy-pieces", large]),
        ("decode_small", ["decode", "--runs", few, small]),
        ("tree_large", ["write-tree", "--runs", "1", w(runner.content("large"))]),
        ("tree_alternatives", ["write-tree", "--runs", "1", "--whole-file", "--listed-delete",
                               w(runner.content("large"))]),
        ("tree_small", ["write-tree", "--runs", few, w(runner.content("small"))]),
    ]
    for shape, package in (("large", large), ("small", small)):
        measurements += [
            *([(f"run_{shape}", start_few + ["--", package])] if shape == "small" else []),
            *([(serial_name(shape, setting), start_few + ["--", package], {SERIAL: setting})
               for setting in SERIAL_SETTINGS] if shape == "small" else []),
            (f"run_report_{shape}", start + ["--report", report, "--", package]),
            (f"child_{shape}", ["child-start", "--runs", few, "--report-runs", few, package]),
        ]
    # Cached mode: a first run (no kept tree), then later runs that find it, started as a user
    # normally starts them (Wine starts every process elevated); then an elevated later run, which
    # under Wine finds no tree sealed and makes its own each time.
    cached = w(runner.cached_package())
    measurements += [("cached_later_elevated_large", start + ["--", cached])]
    # The first cached run against the temporary run of the same tree, and the temporary run with
    # each setting of TAVRIN_ONEFILE_SERIAL: seconds each and spread widely, so FIRST_RUNS_PER_ROUND
    # of each per round, in turn.
    for _ in range(FIRST_RUNS_PER_ROUND):
        measurements += [
            ("cached_first_large", start + ["--limited", "--", cached]),
            ("run_large", start + ["--", large]),
            *[(serial_name("large", setting), start + ["--", large], {SERIAL: setting}) for setting in SERIAL_SETTINGS],
        ]
    # The floors and the later cached runs set against them: one start of each in turn, so that a
    # slow moment of the machine weighs on all of them alike. Each line's label is its row's name.
    # The floors start as the cached runs do, with the limited token: under Wine 8 such a start
    # costs some 10 ms more than an elevated one.
    side_by_side = [
        ("floor_shell32", ["--limited", "--", trivial_shell32]),
        ("floor_shell32_app", ["--limited", "--", trivial_shell32, "--load-app"]),
        ("floor_shell32_two", ["--limited", "--", trivial_shell32, "--spawn"]),
        ("cached_later_one", ["--limited", "--", w(runner.one_file_package())]),
        ("cached_later_large", ["--limited", "--", cached]),
    ]
    arguments = ["start", "--runs", str(SIDE_BY_SIDE_RUNS_PER_ROUND)]
    for index, (label, group) in enumerate(side_by_side):
        arguments += (["--next"] if index else []) + ["--label", label, "--expect", "0"] + group
    measurements.append(("side_by_side", arguments))
    # The progress window armed against nothing armed: the 1 MB package's temporary runs, each well
    # under the window's 400 ms (what they differ in is the arming alone), with the limited token as
    # the rows above; and the 150 MB package's whole temporary runs, where the window is due but
    # this prefix has no display.
    measurements += [("progress_small", in_turn_both_ways(runner, "small", PROGRESS_SMALL_CYCLES, limited=True)),
                     ("progress_large", in_turn_both_ways(runner, "large", PROGRESS_LARGE_CYCLES))]
    for window_log in window_logs:
        package = w(runner.window_package(window_log))
        measurements += [
            (f"decode_window{window_log}", ["decode", "--runs", few, package]),
            (f"run_window{window_log}", start + ["--", package]),
            (f"run_report_window{window_log}", start + ["--report", report, "--", package]),
        ]
    return [(name, arguments, runner.forget_cache if name == "cached_first_large" else None,
             environment[0] if environment else None)
            for name, arguments, *environment in measurements if only is None or name in STARTUP]


def serial_seen(runner, package):
    """Runs `package` once without TAVRIN_ONEFILE_SERIAL and once with each setting, each time with
    the benchmark application's report; returns {setting: the value the application saw} ("-" for
    none), or stops when one is not the value passed: that setting's rows would measure something
    else. These runs also warm Wine up."""
    seen = {}
    for setting in ("-",) + SERIAL_SETTINGS:
        environment = None if setting == "-" else {SERIAL: setting}
        lines = runner.wine("serial-seen-" + ("none" if environment is None else setting),
                            ["start", "--runs", "1", "--expect", "0", "--report", runner.report_file, "--",
                             runner.windows_path(package)], environment)
        values = [words.get("app_serial") for kind, words in lines if kind == "run"]
        if values != [setting]:
            sys.exit(f"bench: error: {SERIAL} passed as {setting!r}, but the packaged application saw "
                     f"{values} (is bench_app.dll up to date?)")
        seen[setting] = values[0]
    return seen


def progress_traced(runner, shapes, desktop=False):
    """Runs the package of each of `shapes` once as packed and once packed with --no-progress, one
    after the other, each with TAVRIN_ONEFILE_TRACE naming a file of its own (with `desktop`, on the
    virtual display); returns the lines of each trace that speak of the progress window (the
    settings' and the window's own), by the rows' names (PROGRESS_ROWS), each from its role on
    ("parent 412.3 ms: progress window shown: ...")."""
    where = "desktop" if desktop else "prefix"
    arguments, files = ["start", "--runs", "1"], {}
    for shape in shapes:
        armed, plain = PROGRESS_ROWS[shape]
        for name, package in ((armed, runner.package(shape)), (plain, runner.no_progress_package(shape))):
            path = os.path.join(runner.logs, f"trace-{where}-{name}.txt")
            if os.path.exists(path):
                os.remove(path)
            files[name] = path
            arguments += (["--next"] if len(files) > 1 else []) + [
                "--label", name, "--expect", "0", "--set", f"{TRACE}={runner.windows_path(path)}", "--",
                runner.windows_path(package)]
    runner.wine(f"progress-trace-{where}", arguments, desktop=desktop)
    lines = {}
    for name, path in files.items():
        if not os.path.exists(path):
            sys.exit(f"bench: error: {TRACE} named {path}, but {name}'s run wrote no trace there")
        with open(path, encoding="utf-8", errors="replace") as f:
            lines[name] = [line.strip().partition("] ")[2] for line in f if "progress window" in line]
    return lines


def window_lines(lines):
    """The lines of a trace from progress_traced that the progress window wrote (not the settings')."""
    return [line for line in lines if line.partition(" ms: ")[2].startswith(("progress window", "no progress window"))]


def check_progress_armed(traces, where):
    """Stops unless every package as packed armed its progress window and every one packed with
    --no-progress read that setting and did nothing of the window: the rows set side by side would
    not differ in what they say they do."""
    plain = {row for _, row in PROGRESS_ROWS.values()}
    for name, lines in traces.items():
        turned_off = any("(--no-progress)" in line for line in lines)
        window = window_lines(lines)
        if name in plain:
            if not turned_off or window:
                sys.exit(f"bench: error: {where}: the package packed with --no-progress traced {lines}; "
                         "is tavrin-pack up to date?")
        elif turned_off or not any("progress window armed" in line for line in window):
            sys.exit(f"bench: error: {where}: {name}'s package armed no progress window (its trace: {lines})")


def measure_on_display(runner, runs):
    """The 150 MB package as packed and packed with --no-progress, whole temporary runs in the order
    A B B A PROGRESS_LARGE_CYCLES × `runs` times (in one tavrin-bench run: the server starts once,
    and each run follows the other as often as itself but for the first), on the virtual display of
    xvfb-run in the prefix scripts/wine-desktop starts with it, where the progress window really
    shows; checked first by the trace of one run of each. Returns the facts: the records by row,
    the traces, the prefix and what was left in its %TEMP%; or why it did not run."""
    if shutil.which("xvfb-run") is None:
        runner.say("on a display: skipped, xvfb-run is missing (scripts/setup.sh installs it)")
        return dict(skipped="xvfb-run is missing; scripts/setup.sh installs the xvfb package")
    runner.say(f"on a display: the 150 MB package with and without its progress window, in {runner.desktop_prefix}")
    temp = runner.prefix_temp(runner.desktop_prefix)
    before = runner.leftovers(temp)
    traces = progress_traced(runner, ("large",), desktop=True)
    check_progress_armed(traces, "on a display")
    armed = PROGRESS_ROWS["large"][0]
    if not any(PROGRESS_SHOWN in line for line in window_lines(traces[armed])):
        sys.exit(f"bench: error: on a display, the package as packed showed no progress window (its trace: "
                 f"{traces[armed]}); see $BUILD/logs/wine.log")
    cycles = PROGRESS_LARGE_CYCLES * runs
    runner.say(f"on a display: {2 * cycles} whole runs of each, in turn")
    records = {}
    for record in runner.wine("progress_large_desktop", in_turn_both_ways(runner, "large", cycles), desktop=True):
        records.setdefault(record[1].get("label", record[0]), []).append(record)
    return dict(wine=records, traces=traces, prefix=runner.desktop_prefix,
                leftovers=sorted(runner.leftovers(temp) - before))


def measure_under_wine(runner, runs, window_logs, only=None):
    """Runs the Windows-side measurements in rounds, one after another: a slow moment of the
    machine (the cores are shared) then weighs on every measurement alike instead of on one of
    them. What takes milliseconds runs several times per round, for steadier medians."""
    measurements = windows_measurements(runner, window_logs, only)
    records = {name: [] for name, *_ in measurements}
    runner.say(f"Wine: warming up, and checking that the packaged application sees {SERIAL}; the one-file "
               "package's first run, so that its runs in the rounds are later ones")
    runner.forget_caches()
    seen = serial_seen(runner, runner.package("large" if only else "small"))
    traces = progress_traced(runner, SHAPES)
    check_progress_armed(traces, "in the bench's prefix")
    runner.wine("warm-up-one", ["start", "--runs", "1", "--expect", "0", "--limited", "--",
                                runner.windows_path(runner.one_file_package())])
    for round_ in range(1, runs + 1):
        runner.say(f"Wine: round {round_} of {runs} ({len(measurements)} measurements)")
        for index, (name, arguments, before, environment) in enumerate(measurements):
            if before:
                before()
            records[name] += runner.wine(f"{name}.{round_}.{index}", arguments, environment)
    runner.forget_caches()
    # The side-by-side starts and those in turn both ways go to their rows by label.
    for name in LABELLED:
        for record in records.pop(name, []):
            records.setdefault(record[1]["label"], []).append(record)
    return records, seen, traces


# ---- the machine ----

def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def first_value(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def first_line(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True).stdout.strip().splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def machine(load_at_start):
    memory_kb = int(first_value("/proc/meminfo", "MemTotal").split()[0])
    return [
        ("Date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("CPU", f"{first_value('/proc/cpuinfo', 'model name')}, nproc {os.cpu_count()}"),
        ("Memory", f"{memory_kb / 1024 / 1024:.1f} GiB"),
        ("System", f"{first_line(['sh', '-c', '. /etc/os-release && echo $PRETTY_NAME'])}, "
                   f"Linux {platform.release()}"),
        ("Wine", first_line(["wine", "--version"])),
        ("zstd tool", first_line(["zstd", "--version"])),
        ("Load average (1, 5, 15 min)", f"{load_at_start} at the start, {load_average()} at the end"),
    ]


# ---- the whole ----

def measure(runner, runs, pack_runs, levels, window_logs, only=None, desktop=True):
    """Every measurement in order, or with `only` "startup" those of the start-up rows; then, unless
    `desktop` is off, the runs on a display. Returns the facts."""
    load_at_start = load_average()
    os.makedirs(runner.logs, exist_ok=True)
    before = runner.leftovers()
    facts = dict(runs=runs, pack_runs=pack_runs, levels=levels, window_logs=window_logs,
                 cheap_runs_per_round=CHEAP_RUNS_PER_ROUND, side_by_side_runs_per_round=SIDE_BY_SIDE_RUNS_PER_ROUND,
                 first_runs_per_round=FIRST_RUNS_PER_ROUND, progress_small_cycles=PROGRESS_SMALL_CYCLES,
                 progress_large_cycles=PROGRESS_LARGE_CYCLES,
                 page=PAGE, only=only)
    if only:
        # The large tree packed once in each mode at the first level, the one-file package, and both
        # trees as packed and with --no-progress.
        facts["manifest"] = make_corpus(runner, SHAPES)
        runner.say(f"the large package at level {levels[0]}")
        runner.timed(pack_argv(runner, "large", runner.package("large"), levels[0]))
        pack_cached(runner, levels[0])
        pack_no_progress(runner, levels[0], only)
        window_logs = []
    else:
        facts["manifest"] = make_corpus(runner, SHAPES)
        facts["pack"], frames = pack_packages(runner, levels, pack_runs)
        pack_no_progress(runner, levels[0])
        facts["windows"] = pack_windows(runner, levels[0], window_logs, pack_runs)
        facts["identity"] = identity_cost(runner, runs)
        facts["frames"] = {shape: {k: v for k, v in frame.items() if k != "frame"} | {"frame_size": len(frame["frame"])}
                           for shape, frame in frames.items()}
        facts["section_offsets"] = {shape: frame["raw_offset"] for shape, frame in frames.items()}
        facts["package_sizes"] = {shape: os.path.getsize(runner.package(shape)) for shape in SHAPES}
    facts["wine"], facts["serial_seen"], facts["progress_trace"] = measure_under_wine(runner, runs, window_logs, only)
    facts["leftovers"] = sorted(runner.leftovers() - before)
    facts["desktop"] = (measure_on_display(runner, runs) if desktop else
                        dict(skipped="turned off by BENCH_DESKTOP=0"))
    facts["elapsed"] = time.time() - runner.started
    facts["commands"] = runner.commands
    facts["load_at_start"] = load_at_start
    facts["prefix"] = runner.prefix
    facts["machine"] = machine(load_at_start)
    return facts


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="the repository's root")
    parser.add_argument("--build", required=True, help="the build directory holding windows/ and host/")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pack-runs", type=int, default=None, help="runs of the packer and zstd (default: --runs)")
    parser.add_argument("--levels", type=lambda s: [int(x) for x in s.split()], default=[19, 3])
    parser.add_argument("--windows", type=lambda s: [int(x) for x in s.split()], default=[20, 23, 25],
                        help="window limits (logs, below the default 27) to pack the first level with")
    parser.add_argument("--only", choices=["startup"], default=None,
                        help="startup: only the start-up rows (the floors and the packages' runs)")
    parser.add_argument("--no-desktop", dest="desktop", action="store_false",
                        help="no runs on a virtual display (xvfb-run): the progress window's own cost unmeasured")
    args = parser.parse_args()
    if args.runs < 1 or not args.levels:
        sys.exit("bench: --runs must be at least 1 and --levels name at least one level")
    if any(not 10 <= log < 27 for log in args.windows):
        sys.exit("bench: --windows takes logs from 10 to 26 (27 is the default window)")
    if "WINEPREFIX" not in os.environ:
        sys.exit("bench: WINEPREFIX is not set: run scripts/bench.sh")
    if shutil.which("zstd") is None:
        sys.exit("bench: the zstd tool is missing (scripts/setup.sh installs it)")
    runner = Runner(args.root, args.build)
    pack_runs = args.pack_runs or args.runs
    facts = measure(runner, args.runs, pack_runs, args.levels, args.windows, args.only, args.desktop)
    path = os.path.join(runner.work, "facts.json")
    with open(path, "w") as f:
        json.dump(facts, f)
    runner.say("facts written to " + path)


if __name__ == "__main__":
    main()
