"""How vorn.parse and vorn.stringify scale with the size of the document:
time per MB and peak memory from 1 MB up to 1 GB (long cells) and 256 MB
(short ASCII cells).

    python bench/scale.py [--long 1,3,10,...] [--short 1,3,10,...] [--quick]

Every size runs in fresh processes: one builds the table with bench/tables.py
and writes its document to a temporary file, then one process per direction
reads that file and measures only its own call, so that the peak resident
size it reports belongs to that call. The parse process times vorn.parse on
the document; the stringify process parses the file into its table (the
fastest way to build it with every cell a fresh object), drops the document
and times vorn.stringify on the table. Building the inputs is not timed.

Each measuring process, in this order:

1. Resident size. The freed heap is handed back to the system
   (malloc_trim), the resident high-water mark is reset to the current
   resident size (writing 5 to /proc/self/clear_refs), and one call is made.
   The increase is the high-water mark after the call (VmHWM) less the
   resident size before it. ru_maxrss is recorded as well, as a cross-check
   only: Linux carries into it, over exec, the peak of the process that
   started this one, and the reset does not clear that. Where the reset is
   not allowed, ru_maxrss is used. The process's total is the same
   high-water mark less the resident size the interpreter had before it
   read its input.
2. tracemalloc. Started just before one call and stopped after it; its peak
   counts what the call allocates (the input is older). Not timed: tracing
   slows allocation.
3. Time. Single calls with the collector enabled, each charged with the
   collection its allocations make due (as in bench_codec.py); gc.collect()
   before each, the result freed after the sample ends. Both the process's
   CPU time (time.process_time: user and system, so page faults count) and
   the wall-clock time (time.perf_counter) are taken; the median over as many
   calls as fit in --budget seconds (at least 3, at most --max-runs; a single
   call when one takes longer than the budget) is reported. The scaling check
   uses CPU time, which other processes on a shared machine disturb far less
   than wall-clock time. The user and system parts of the CPU time and the
   page faults come from getrusage (the kernel splits CPU time into user and
   system by sampling at its clock tick, so the split means little for
   calls shorter than some tens of milliseconds). parse is timed once more
   with the collector disabled, to show how much of its time the young
   collection of the new table takes.

The call of step 1 is also timed: it is the first of its process and runs on
a heap just handed back to the system, so all the memory it writes is
fresh. Later calls may get memory back that the previous result left (the C
allocator keeps freed blocks of up to 32 MB for reuse; larger ones go back to
the system and come back as fresh pages, zeroed and faulted in one by one).
Comparing both shows which part of a change in time per MB is this.

Sizes are the document's UTF-8 size in MB (10^6 bytes); "result" and "input"
are the str document (sys.getsizeof) and the table (sys.getsizeof summed over
the outer list, the row lists and the cells; the interpreter's shared empty
and one-character strings are not counted, since no call allocates them).
Writes bench/results/scale.md, scale.json, scale_time.png and
scale_memory.png.
"""

import argparse
import collections
import ctypes
import ctypes.util
import datetime
import gc
import itertools
import json
import math
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

LONG_SIZES = [1, 3, 10, 30, 100, 300, 1000]
SHORT_SIZES = [1, 3, 10, 30, 64, 256]
QUICK_SIZES = [1, 3, 10]
FAMILIES = {"long": "long", "short": "short_ascii"}
REFERENCE_MB = 10
TIME_TOLERANCE = 0.20
# Memory beyond result + input that still counts as "a small constant".
MEMORY_SLACK = 4 * 2**20
# Sizes up to which the builder checks that the document parses back to the
# table it was made from.
VERIFY_UP_TO_MB = 30


# ---------------------------------------------------------------------------
# Measuring helpers (run in the child processes).

def _status(field):
    """A field of /proc/self/status in bytes (VmRSS, VmHWM), or None."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return None


def _maxrss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def _reset_peak():
    """Resets the resident high-water mark to the current resident size;
    False where the system does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


_libc = None


def _trim():
    """Gives free heap memory back to the system, so that the next call's
    resident growth is not hidden by pages an earlier object left behind."""
    global _libc
    gc.collect()
    if _libc is None:
        try:
            _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
            _libc.malloc_trim.argtypes = [ctypes.c_size_t]
        except (OSError, AttributeError):
            _libc = False
    if _libc:
        _libc.malloc_trim(0)


# The interpreter's static empty and one-character strings report these sizes
# (empty, ASCII, other Latin-1); a call never allocates them.
_SHARED_STR_SIZES = {sys.getsizeof(""), sys.getsizeof("a"), sys.getsizeof("\xe9")}


def _alloc(n):
    """Bytes the allocator sets aside for a request of n: pymalloc rounds
    requests up to 512 bytes to 16; larger ones go to malloc, which adds an
    8-byte header and rounds to 16."""
    return (n + 15) & ~15 if n <= 512 else (n + 8 + 15) & ~15


def table_size(table):
    """(getsizeof total, allocator-rounded estimate) of a list of lists of
    str: the outer list, the rows and the cells, without the shared
    strings."""
    gs = sys.getsizeof
    rows = collections.Counter(map(gs, table))
    cells = collections.Counter(map(gs, itertools.chain.from_iterable(table)))
    for s in _SHARED_STR_SIZES:
        cells.pop(s, None)
    size = gs(table) + sum(k * v for k, v in rows.items()) + sum(k * v for k, v in cells.items())
    # A list is two blocks: the object with its collector header (the size
    # of an empty list) and its array of item pointers.
    head = gs([])
    alloc = _alloc(head) + _alloc(gs(table) - head)
    alloc += sum((_alloc(head) + _alloc(k - head)) * v for k, v in rows.items())
    alloc += sum(_alloc(k) * v for k, v in cells.items())
    return size, alloc


def str_size(s):
    n = sys.getsizeof(s)
    return n, _alloc(n)


def _poke():
    # A set is a new container: it schedules the collection that the call's
    # allocations made due, and the next check runs it inside the sample.
    set()


def _read_doc(path):
    with open(path, "rb") as f:
        data = f.read()
    doc = data.decode("utf-8")
    del data
    return doc


def child_build(spec, path):
    sys.path.insert(0, HERE)
    import tables
    import vorn

    t0 = time.perf_counter()
    table = tables.make(spec)
    gen_s = time.perf_counter() - t0
    doc = vorn.stringify(table)
    data = doc.encode("utf-8")
    mb = len(data) / 1e6
    verified = mb <= VERIFY_UP_TO_MB
    if verified and vorn.parse(doc) != table:
        raise SystemExit(f"error: the document of {spec} does not parse back to its table")
    with open(path, "wb") as f:
        f.write(data)
    return {"rows": len(table), "cells": sum(map(len, table)), "doc_chars": len(doc),
            "doc_bytes": len(data), "generate_s": gen_s, "round_trip_checked": verified}


def child_measure(direction, path, budget, max_runs):
    import vorn

    base_rss = _status("VmRSS") or _maxrss()
    doc = _read_doc(path)
    doc_chars = len(doc)
    if direction == "parse":
        fn, arg = vorn.parse, doc
        input_size, input_alloc = str_size(doc)
    else:
        arg = vorn.parse(doc)
        del doc
        fn = vorn.stringify
        input_size, input_alloc = table_size(arg)
    out = {"direction": direction, "input_size": input_size, "input_alloc": input_alloc}

    # 1. Resident size of one call.
    _trim()
    rss_before = _status("VmRSS")
    can_reset = _reset_peak()
    maxrss_before = _maxrss()
    t0, c0 = time.perf_counter(), time.process_time()
    result = fn(arg)
    _poke()
    t1, c1 = time.perf_counter(), time.process_time()
    maxrss_after = _maxrss()
    out["first_s"], out["first_cpu_s"] = t1 - t0, c1 - c0
    hwm_after = _status("VmHWM")
    out.update(rss_base=base_rss, rss_before=rss_before, peak_reset=can_reset,
               maxrss_before=maxrss_before, maxrss_after=maxrss_after, hwm_after=hwm_after)
    if direction == "parse":
        out["result_size"], out["result_alloc"] = table_size(result)
        out["rows"], out["cells"] = len(result), sum(map(len, result))
    else:
        out["result_size"], out["result_alloc"] = str_size(result)
        if len(result) != doc_chars:
            raise SystemExit("error: stringify gave a document of another length")
    del result
    _trim()

    # 2. tracemalloc peak of one call.
    gc.collect()
    tracemalloc.start()
    result = fn(arg)
    _poke()
    _, tm_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    out["tracemalloc_peak"] = tm_peak
    _trim()

    # 3. Time: single calls with the collector enabled, then (parse only)
    # with it disabled.
    def timed(n, collector, into):
        perf, proc = time.perf_counter, time.process_time
        usage = resource.getrusage
        for _ in range(n):
            gc.collect()
            if not collector:
                gc.disable()
            u0 = usage(resource.RUSAGE_SELF)
            t0, c0 = perf(), proc()
            r = fn(arg)
            _poke()
            t1, c1 = perf(), proc()
            u1 = usage(resource.RUSAGE_SELF)
            gc.enable()
            del r
            into["wall"].append(t1 - t0)
            into["cpu"].append(c1 - c0)
            into["user"].append(u1.ru_utime - u0.ru_utime)
            into["sys"].append(u1.ru_stime - u0.ru_stime)
            into["faults"].append(u1.ru_minflt - u0.ru_minflt)
        return into

    samples = timed(1, True, {"wall": [], "cpu": [], "user": [], "sys": [], "faults": []})
    first = samples["wall"][0]
    runs = 1 if first >= budget else max(3, min(max_runs, math.ceil(budget / first)))
    timed(runs - 1, True, samples)
    out["samples"] = samples
    out["median_s"] = statistics.median(samples["wall"])
    for key in ("cpu", "user", "sys", "faults"):
        out[f"median_{key}"] = statistics.median(samples[key])
    if direction == "parse":
        nogc = timed(runs, False, {"wall": [], "cpu": [], "user": [], "sys": [], "faults": []})
        out["samples_nogc"] = nogc
        out["median_nogc_cpu"] = statistics.median(nogc["cpu"])

    if direction == "stringify":
        # The document the timed calls made matches the file.
        if fn(arg) != _read_doc(path):
            raise SystemExit("error: stringify does not give back the document it was parsed from")
    return out


# ---------------------------------------------------------------------------
# The sweep (parent process).

def _child(args, what):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *args],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        tail = "\n".join((proc.stderr or proc.stdout).strip().splitlines()[-6:])
        raise RuntimeError(f"{what} failed (exit {proc.returncode}):\n{tail}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measure_size(family, mb, workdir, budget, max_runs):
    spec = f"{FAMILIES[family]}@{mb}"
    path = os.path.join(workdir, f"{family}_{mb}.vorn")
    t0 = time.perf_counter()
    try:
        built = _child(["build", spec, path], f"building {spec}")
        res = {"family": family, "nominal_mb": mb, "table": spec, **built}
        for direction in ("parse", "stringify"):
            r = _child(["measure", direction, path, str(budget), str(max_runs)], f"{direction} of {spec}")
            res[direction] = r
        if res["parse"].get("cells") not in (None, built["cells"]):
            raise RuntimeError(f"parse of {spec} gave {res['parse']['cells']} cells, expected {built['cells']}")
    finally:
        if os.path.exists(path):
            os.remove(path)
    res["wall_s"] = time.perf_counter() - t0
    derive(res)
    return res


def derive(res):
    """Per-direction figures computed from the raw measurements."""
    mb = res["doc_bytes"] / 1e6
    for direction in ("parse", "stringify"):
        r = res[direction]
        both = r["result_size"] + r["input_size"]
        r["ms_per_mb"] = r["median_cpu"] * 1e3 / mb
        r["user_ms_per_mb"] = r["median_user"] * 1e3 / mb
        r["sys_ms_per_mb"] = r["median_sys"] * 1e3 / mb
        r["faults_per_mb"] = r["median_faults"] / mb
        r["wall_ms_per_mb"] = r["median_s"] * 1e3 / mb
        r["first_ms_per_mb"] = r["first_cpu_s"] * 1e3 / mb
        if "median_nogc_cpu" in r:
            r["ms_per_mb_nogc"] = r["median_nogc_cpu"] * 1e3 / mb
        # tracemalloc: what the call allocated, plus the input it was given.
        r["tm_total"] = r["tracemalloc_peak"] + r["input_size"]
        r["tm_over_result"] = r["tracemalloc_peak"] - r["result_size"]
        # Resident: the call's growth, and the process's total over the
        # interpreter before it read its input. ru_maxrss carries the peak
        # of the process that started this one over exec (Linux keeps it in
        # the signal state), so the reset VmHWM is used where there is one.
        peak = r["hwm_after"] if r["peak_reset"] and r["hwm_after"] else r["maxrss_after"]
        r["rss_peak_source"] = "VmHWM" if peak == r["hwm_after"] else "ru_maxrss"
        r["rss_growth"] = peak - r["rss_before"]
        r["rss_growth_maxrss"] = r["maxrss_after"] - r["rss_before"]
        r["rss_total"] = peak - r["rss_base"]
        r["rss_over_result"] = r["rss_growth"] - r["result_size"]
        r["rss_over_result_alloc"] = r["rss_growth"] - r["result_alloc"]
        r["tm_ratio"] = r["tm_total"] / both
        r["rss_ratio"] = r["rss_total"] / both
        r["tm_flag"] = r["tm_total"] - both > MEMORY_SLACK
        r["rss_flag"] = r["rss_growth"] - r["result_alloc"] > MEMORY_SLACK + 0.02 * both


def relative_times(results):
    """Time per MB over the reference size's, per family and direction."""
    for fam in FAMILIES:
        rows = [r for r in results if r["family"] == fam]
        if not rows:
            continue
        ref = min(rows, key=lambda r: abs(math.log(r["nominal_mb"] / REFERENCE_MB)))
        for r in rows:
            for direction in ("parse", "stringify"):
                d, rd = r[direction], ref[direction]
                d["reference_mb"] = ref["nominal_mb"]
                d["rel_time"] = d["ms_per_mb"] / rd["ms_per_mb"]
                d["time_flag"] = abs(round(d["rel_time"], 2) - 1) > TIME_TOLERANCE
                d["rel_wall"] = d["wall_ms_per_mb"] / rd["wall_ms_per_mb"]
                d["rel_user"] = d["user_ms_per_mb"] / rd["user_ms_per_mb"] if rd["user_ms_per_mb"] else None
                d["rel_first"] = d["first_ms_per_mb"] / rd["first_ms_per_mb"]
                if "ms_per_mb_nogc" in d:
                    d["rel_time_nogc"] = d["ms_per_mb_nogc"] / rd["ms_per_mb_nogc"]


def _mib(n):
    return f"{n / 2**20:.1f}"


def rd_faults(results, row, direction):
    """Page faults per MB of the reference size of row's family."""
    ref = row[direction]["reference_mb"]
    return next(r[direction]["faults_per_mb"] for r in results
                if r["family"] == row["family"] and r["nominal_mb"] == ref)


def _flag(on):
    return " !" if on else ""


def markdown(results, meta):
    lines = [
        "# vorn scaling",
        "",
        f"- Date: {meta['date']}",
        f"- Machine: {meta['machine']}",
        f"- Python {meta['python']}; collector thresholds {meta['gc_threshold']}",
        f"- Wall time of the sweep: {meta['wall_s']:.0f} s",
        "",
        "Each size is built once and measured in fresh processes, one per direction (see "
        "`bench/scale.py`). MB is 10^6 bytes of UTF-8 document; MiB is 2^20 bytes.",
        "",
        "## Time per MB",
        "",
        "**CPU ms/MB**: median CPU time (user + system) of single calls with the collector "
        f"enabled, per MB; **rel**: over its value at {REFERENCE_MB} MB, `!` beyond "
        f"±{TIME_TOLERANCE:.0%}. **user**, **system**: its two parts (medians of each, in ms/MB; "
        "system time here is almost all the kernel supplying fresh pages, counted in "
        "**faults/MB**). **wall**: the same in wall-clock time. **first call**: the CPU "
        "time of the process's first call, made on a heap handed back to the system, so that "
        "every page it writes is fresh. **no gc**: parse with the collector disabled.",
        "",
    ]
    for direction in ("parse", "stringify"):
        nogc = direction == "parse"
        head = ["cells", "MB", "runs", "CPU ms/MB", "rel", "user", "rel", "system", "faults/MB", "wall ms/MB",
                "rel", "first call ms/MB", "rel"]
        if nogc:
            head += ["no gc ms/MB", "rel"]
        lines += [f"### {direction}", "", "| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 1)]
        for r in results:
            d = r[direction]
            cells = [FAMILIES[r["family"]], f"{r['doc_bytes'] / 1e6:.1f}", str(len(d["samples"]["wall"])),
                     f"{d['ms_per_mb']:.3f}", f"{d['rel_time']:.2f}{_flag(d['time_flag'])}",
                     f"{d['user_ms_per_mb']:.3f}", "n/a" if d["rel_user"] is None else f"{d['rel_user']:.2f}",
                     f"{d['sys_ms_per_mb']:.3f}", f"{d['faults_per_mb']:.0f}",
                     f"{d['wall_ms_per_mb']:.3f}", f"{d['rel_wall']:.2f}",
                     f"{d['first_ms_per_mb']:.3f}", f"{d['rel_first']:.2f}"]
            if nogc:
                cells += [f"{d['ms_per_mb_nogc']:.3f}", f"{d['rel_time_nogc']:.2f}"]
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")

    lines += [
        "## Peak memory",
        "",
        "In MiB. **result**, **input**: sys.getsizeof totals. **traced**: tracemalloc's peak "
        "during the call (the input is older and not traced); **(traced + input)/(r+i)**: that "
        "plus the input over result + input. **RSS +**: the resident high-water mark during "
        "the call less the resident size before it; **− alloc**: that less the result as the "
        "allocator lays it out (requests rounded up to 16 bytes, an 8-byte header above 512 "
        f"bytes), `!` beyond {MEMORY_SLACK // 2**20} MiB + 2% of result + input; **RSS total/(r+i)**: "
        "the process's resident peak less the interpreter's own size, over result + input.",
        "",
        "| cells | MB | direction | result | input | traced | (traced + input)/(r+i) | RSS + | − alloc "
        "| RSS total/(r+i) |",
        "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        for direction in ("parse", "stringify"):
            d = r[direction]
            lines.append(
                f"| {FAMILIES[r['family']]} | {r['doc_bytes'] / 1e6:.1f} | {direction} "
                f"| {_mib(d['result_size'])} | {_mib(d['input_size'])} | {_mib(d['tracemalloc_peak'])} "
                f"| {d['tm_ratio']:.3f}{_flag(d['tm_flag'])} "
                f"| {_mib(d['rss_growth'])} | {_mib(d['rss_over_result_alloc'])}{_flag(d['rss_flag'])} "
                f"| {d['rss_ratio']:.3f} |")
    flags = []
    for r in results:
        for direction in ("parse", "stringify"):
            d, name = r[direction], f"{FAMILIES[r['family']]} {r['doc_bytes'] / 1e6:.0f} MB {direction}"
            if d["time_flag"]:
                user = "n/a" if d["rel_user"] is None else f"{d['rel_user']:.2f}x"
                flags.append(f"{name}: CPU time per MB {d['rel_time']:.2f}x its {d['reference_mb']} MB value "
                             f"(user time {user}, {d['faults_per_mb']:.0f} against "
                             f"{rd_faults(results, r, direction):.0f} page faults per MB; first call "
                             f"{d['rel_first']:.2f}x)")
            if d["tm_flag"]:
                flags.append(f"{name}: traced peak {_mib(d['tracemalloc_peak'])} MiB against a result of "
                             f"{_mib(d['result_size'])} MiB")
            if d["rss_flag"]:
                flags.append(f"{name}: resident growth {_mib(d['rss_growth'])} MiB against a result laid out "
                             f"in {_mib(d['result_alloc'])} MiB")
    lines += ["", "## Flags", ""] + ([f"- {f}" for f in flags] if flags else ["- None."])
    lines += ["", "Charts: `scale_time.png` (time per MB against document size), "
              "`scale_memory.png` (peak memory over result + input against document size).", ""]
    return "\n".join(lines)


def summary_lines(results):
    """The compact table bench/run.py puts into results.md."""
    lines = ["| cells | MB | parse CPU ms/MB | rel | stringify CPU ms/MB | rel "
             "| parse memory/(r+i): traced, RSS | stringify memory/(r+i): traced, RSS |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        p, s = r["parse"], r["stringify"]
        lines.append(
            f"| {FAMILIES[r['family']]} | {r['doc_bytes'] / 1e6:.1f} | {p['ms_per_mb']:.3f} "
            f"| {p['rel_time']:.2f}{' !' if p['time_flag'] else ''} | {s['ms_per_mb']:.3f} "
            f"| {s['rel_time']:.2f}{' !' if s['time_flag'] else ''} "
            f"| {p['tm_ratio']:.2f}, {p['rss_ratio']:.2f} | {s['tm_ratio']:.2f}, {s['rss_ratio']:.2f} |")
    return lines


def charts(results, time_path, memory_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    styles = {("long", "parse"): ("tab:blue", "-", "o"), ("long", "stringify"): ("tab:orange", "-", "s"),
              ("short", "parse"): ("tab:blue", "--", "o"), ("short", "stringify"): ("tab:orange", "--", "s")}
    fmt = matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}")

    fig, axes = plt.subplots(1, 2, figsize=(13, 5))
    for ax, fam in zip(axes, FAMILIES):
        rows = sorted((r for r in results if r["family"] == fam), key=lambda r: r["doc_bytes"])
        if not rows:
            continue
        xs = [r["doc_bytes"] / 1e6 for r in rows]
        for direction in ("parse", "stringify"):
            color, _, marker = styles[(fam, direction)]
            ax.plot(xs, [r[direction]["ms_per_mb"] for r in rows], color=color, marker=marker,
                    label=f"vorn.{direction}")
            ax.plot(xs, [r[direction]["first_ms_per_mb"] for r in rows], color=color, linestyle="--",
                    linewidth=0.8, marker="x", label=f"vorn.{direction}, first call (fresh memory)")
            if direction == "parse":
                ax.plot(xs, [r[direction]["ms_per_mb_nogc"] for r in rows], color=color, linestyle=":",
                        marker=marker, markerfacecolor="none", label="vorn.parse, collector disabled")
            ref = [r for r in rows if r["nominal_mb"] == rows[0][direction]["reference_mb"]][0]
            y0 = ref[direction]["ms_per_mb"]
            ax.fill_between([xs[0], xs[-1]], y0 * (1 - TIME_TOLERANCE), y0 * (1 + TIME_TOLERANCE),
                            color=color, alpha=0.12, linewidth=0)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(fmt)
        ax.set_ylim(bottom=0)
        ax.set_xlabel("VORN document, MB (UTF-8)")
        ax.set_ylabel("median CPU ms per MB")
        ax.set_title(f"{FAMILIES[fam]} cells: time per MB (bands: ±{TIME_TOLERANCE:.0%} of the "
                     f"{REFERENCE_MB} MB value)", fontsize=10)
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(time_path, dpi=110)
    plt.close(fig)

    fig, axes = plt.subplots(1, 2, figsize=(13, 5), sharey=True)
    for ax, (key, title) in zip(axes, (("tm_ratio", "tracemalloc: traced peak + input"),
                                        ("rss_ratio", "resident: peak less the interpreter's own"))):
        for fam in FAMILIES:
            rows = sorted((r for r in results if r["family"] == fam), key=lambda r: r["doc_bytes"])
            for direction in ("parse", "stringify"):
                color, ls, marker = styles[(fam, direction)]
                ax.plot([r["doc_bytes"] / 1e6 for r in rows], [r[direction][key] for r in rows],
                        color=color, linestyle=ls, marker=marker, label=f"{direction}, {FAMILIES[fam]}")
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(fmt)
        ax.set_xlabel("VORN document, MB (UTF-8)")
        ax.set_ylabel("peak memory / (result + input)")
        ax.set_title(title, fontsize=10)
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(memory_path, dpi=110)
    plt.close(fig)


def machine():
    model = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = f", {int(f.readline().split()[1]) / 2**20:.0f} GiB RAM"
    except (OSError, ValueError, IndexError):
        pass
    return f"{model}, {os.cpu_count()} logical cores{mem}, {platform.system()} {platform.release()}"


def _sizes(text):
    return [int(x) for x in text.split(",") if x.strip()] if text else []


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--long", default=",".join(map(str, LONG_SIZES)),
                    help="document sizes in MB for long cells (default %(default)s; empty to skip)")
    ap.add_argument("--short", default=",".join(map(str, SHORT_SIZES)),
                    help="document sizes in MB for short ASCII cells (default %(default)s; empty to skip)")
    ap.add_argument("--quick", action="store_true", help=f"only {','.join(map(str, QUICK_SIZES))} MB")
    ap.add_argument("--budget", type=float, default=4.0,
                    help="seconds of timed calls per size and direction (default %(default)s)")
    ap.add_argument("--max-runs", type=int, default=21, help="most timed calls (default %(default)s)")
    ap.add_argument("--out", default=RESULTS, help="folder for the results (default bench/results)")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.child:
        kind, *rest = args.child
        if kind == "build":
            res = child_build(*rest)
        else:
            direction, path, budget, max_runs = rest
            res = child_measure(direction, path, float(budget), int(max_runs))
        print(json.dumps(res))
        return 0

    sizes = {"long": QUICK_SIZES if args.quick else _sizes(args.long),
             "short": QUICK_SIZES if args.quick else _sizes(args.short)}
    plan = [(fam, mb) for fam in FAMILIES for mb in sizes[fam]]
    if not plan:
        ap.error("no sizes to run")
    os.makedirs(args.out, exist_ok=True)
    workdir = tempfile.mkdtemp(prefix="vorn-scale-")
    print(f"scaling: {len(plan)} sizes, each built once and measured in one process per direction",
          flush=True)
    t0 = time.perf_counter()
    results, failed = [], []
    try:
        for k, (fam, mb) in enumerate(plan, 1):
            print(f"[scale {k}/{len(plan)}] {FAMILIES[fam]}@{mb:<5}", end=" ", flush=True)
            try:
                r = measure_size(fam, mb, workdir, args.budget, args.max_runs)
            except RuntimeError as exc:
                print("FAILED")
                for line in str(exc).splitlines():
                    print("    " + line)
                failed.append(f"{FAMILIES[fam]}@{mb}")
                continue
            results.append(r)
            p, s = r["parse"], r["stringify"]
            print(f"{r['wall_s']:4.0f} s  {r['doc_bytes'] / 1e6:7.1f} MB  "
                  f"CPU ms/MB: parse {p['ms_per_mb']:6.3f} (no gc {p['ms_per_mb_nogc']:6.3f})  "
                  f"stringify {s['ms_per_mb']:6.3f}  "
                  f"RSS +{_mib(p['rss_growth'])} / +{_mib(s['rss_growth'])} MiB", flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    wall = time.perf_counter() - t0
    if not results:
        print("scaling: no size could be measured", file=sys.stderr)
        return 1
    relative_times(results)
    meta = {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "machine": machine(),
        "python": platform.python_version(),
        "gc_threshold": list(gc.get_threshold()),
        "wall_s": wall,
        "reference_mb": REFERENCE_MB,
        "time_tolerance": TIME_TOLERANCE,
        "memory_slack": MEMORY_SLACK,
    }
    with open(os.path.join(args.out, "scale.json"), "w") as f:
        json.dump({"meta": meta, "results": results, "failed": failed}, f, indent=1)
    with open(os.path.join(args.out, "scale.md"), "w") as f:
        f.write(markdown(results, meta))
    charts(results, os.path.join(args.out, "scale_time.png"), os.path.join(args.out, "scale_memory.png"))
    print(f"scaling done in {wall:.0f} s; results in {os.path.relpath(args.out)}/scale.md", flush=True)
    print("\n".join(summary_lines(results)))
    if failed:
        print(f"scaling failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
