"""vorn.stringify on the tables that stress a one-pass writer, against an
earlier build of the module, each case in a fresh process.

    python bench/stringify_paths.py [--old PATH | --old-rev REV] [--quick] [--out DIR]

--old names a built vorn extension (a .so) to compare with; --old-rev REV
builds that git revision of this repository into build/old-REV/ first (a C++
compiler and scikit-build-core in this interpreter are needed, as for
`make`). Without either, the comparison columns are left out with a note.
Both modules are loaded into the same process under the name vorn, each from
its own file, so each keeps its own state.

Three parts, written to bench/results/stringify_paths.md (and .json):

1. Cliffs. Tables that defeat the size estimate or the width chosen at the
   start: a wide character in the last row, one in a row the estimate does
   not look at, first rows of short cells then rows of long ones, one huge
   cell, a million empty cells, the standard long table, and the huge cell
   and the long table at a tenth of their size (results below 32 MiB). Both modules are
   timed in the same process, one call per sample, in rounds whose order is
   shuffled anew each time; the median of each and new/old are reported, as
   well as new/old over the rounds where new ran first and where old ran
   first: a figure that differs between the two depends on what the other
   call left to the allocator, not on the writer.
2. The general path. Tables with int, float and None cells among the str
   ones (as read from CSV-like data) are timed against what that costs at
   least: the str() conversions of those cells (list(map(str, cells)) over
   the non-str cells) plus 1.3 times stringify of the same table with those
   cells already converted. The ratio is mixed / (conversions + 1.3 x
   converted); at most 1 meets the goal.
3. Large results. For documents of 16, 64 and 512 MB of long cells and 16,
   64 and 256 MB of short ones, each design runs in processes of its own (in the order old, new,
   new, old) that build the table from small pieces, so that no large block
   has been freed before the first call and the allocator is in the state a
   program starts in. Each process times its first call, then repeated
   calls, and counts minor page faults (getrusage ru_minflt) for each. It
   also records tracemalloc's peak during one call over the result's size,
   sys.getsizeof(result) against the exact size of a str of that length and
   width, and the size of the block the C allocator gave the result
   (malloc_usable_size), which shows any room left at its end.

What the C allocator (glibc) does matters for large results: a block of
128 KiB or more is mapped fresh from the system, and every page of it is
faulted in when first written. Freeing a mapped block of up to 32 MiB raises
that threshold to its size, so that later requests of up to the same size
reuse the heap, whose pages are already resident; blocks above 32 MiB are
always mapped fresh, at every call.
"""

import argparse
import ctypes
import ctypes.util
import datetime
import gc
import glob
import importlib.util
import json
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
sys.path.insert(0, HERE)

CLIFF_GOAL = 1.1
GENERAL_FACTOR = 1.3
MEMORY_GOAL = 1.25
MMAP_MAX = 32 * 2**20
EMOJI = "\U0001F600"
CJK = "\u4e2d"

# ---------------------------------------------------------------------------
# Helpers for the measuring processes.

_libc = None


def libc():
    global _libc
    if _libc is None:
        try:
            _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
            _libc.malloc_trim.argtypes = [ctypes.c_size_t]
            _libc.malloc_usable_size.argtypes = [ctypes.c_void_p]
            _libc.malloc_usable_size.restype = ctypes.c_size_t
        except (OSError, AttributeError):
            _libc = False
    return _libc


def trim():
    gc.collect()
    if libc():
        libc().malloc_trim(0)


def exact_size(s):
    """sys.getsizeof of a str of the length and width of s with nothing
    spare: the header and one more code point for the terminator."""
    n = len(s)
    if s.isascii():
        return sys.getsizeof("") + n
    top = ord(max(s))
    kind = 1 if top < 0x100 else 2 if top < 0x10000 else 4
    return sys.getsizeof("\xe9") - 2 + (n + 1) * kind


def block_size(s):
    """Usable size of the C allocator's block holding s (objects above 512
    bytes come from malloc and start at its pointer), or None."""
    if sys.getsizeof(s) <= 512 or not libc():
        return None
    return int(libc().malloc_usable_size(id(s)))


def memory_of(fn, arg):
    """tracemalloc's peak during one call, and the sizes of its result."""
    gc.collect()
    tracemalloc.start()
    r = fn(arg)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    out = {"traced_peak": peak, "getsizeof": sys.getsizeof(r), "exact": exact_size(r), "block": block_size(r),
           "chars": len(r)}
    del r
    return out


def load_old(path):
    """The module built at path, loaded as vorn beside the installed one."""
    spec = importlib.util.spec_from_file_location("vorn", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def usage():
    return resource.getrusage(resource.RUSAGE_SELF)


# ---------------------------------------------------------------------------
# The tables.

def _short_rows(rows, seed):
    import tables
    return tables.short_ascii(rows=rows, seed=seed)


def _long_cells_rows(rows, width, lo, hi, seed):
    import tables
    rng = random.Random(seed)
    pool = tables._pool(rng, tables.ASCII, size=1 << 22)
    return tables._grid(tables._cells(rng, [pool], [1.0], rows * width, lo, hi), width)


def cliff_late_wide_last(scale):
    t = _short_rows(int(200_000 * scale), 11)
    t[-1][-1] = t[-1][-1] + EMOJI
    return t


def cliff_late_wide_unsampled(scale):
    # The row before the last: the estimate samples rows evenly from the
    # first to the last, so this one is not among them.
    t = _short_rows(int(200_000 * scale), 12)
    t[-2][-1] = t[-2][-1] + EMOJI
    return t


def cliff_late_bmp_unsampled(scale):
    t = _short_rows(int(200_000 * scale), 13)
    t[-2][-1] = t[-2][-1] + CJK
    return t


def cliff_short_then_long(scale):
    # 100 000 rows of short cells, then 10 000 rows of 200 to 2 000
    # characters that hold nine tenths of the text: the sample sees about
    # three long rows among 32, in the quarter it leaves out.
    return _short_rows(int(100_000 * scale), 14) + _long_cells_rows(int(10_000 * scale), 10, 200, 2_000, 15)


def cliff_huge_cell(scale):
    import tables
    pool = tables._pool(random.Random(16), tables.ASCII, size=1 << 20)
    n = int(100_000_000 * scale)
    return [[(pool * (n // len(pool) + 1))[:n]]]


def cliff_empty_cells(scale):
    return [[""] * int(1_000_000 * scale)]


def cliff_long(scale):
    import tables
    return tables.long(rows=int(2_000 * scale))


# The same two at a tenth of the size: results of about 10 MiB, below the
# 32 MiB up to which the allocator can hand back resident heap.
def cliff_huge_cell_10mb(scale):
    return cliff_huge_cell(scale / 10)


def cliff_long_10mb(scale):
    return cliff_long(scale / 10)


CLIFFS = {
    "late_wide_last": (cliff_late_wide_last,
                       "200 000 rows x 10 short ASCII cells; the last cell of the last row holds an emoji"),
    "late_wide_unsampled": (cliff_late_wide_unsampled,
                            "the same, the emoji in the row before the last (not in the estimate's sample)"),
    "late_bmp_unsampled": (cliff_late_bmp_unsampled,
                           "the same with a CJK character (two-byte result) in the row before the last"),
    "short_then_long": (cliff_short_then_long,
                        "100 000 rows of 10 short cells, then 10 000 rows of 10 cells of 200 to 2 000 characters"),
    "huge_cell": (cliff_huge_cell, "one row of one ASCII cell of 10^8 characters"),
    "empty_cells": (cliff_empty_cells, "one row of 10^6 empty cells"),
    "long": (cliff_long, "the standard long table: 2 000 rows x 5 cells of 2 000 to 20 000 characters"),
    "huge_cell_10mb": (cliff_huge_cell_10mb, "one row of one ASCII cell of 10^7 characters"),
    "long_10mb": (cliff_long_10mb, "the long table with 200 rows"),
}


def general_csv(scale):
    """Rows like a parsed CSV file with its numbers converted: an int id, a
    name, a city, a price (float), a quantity (int), a discount (None or a
    float), a code and a year (int)."""
    import tables
    rng = random.Random(21)
    words = tables._cells(rng, [tables._pool(rng, tables.ASCII)], [1.0], 200_000, 3, 14)
    rows = []
    for i in range(int(200_000 * scale)):
        rows.append([i, words[rng.randrange(len(words))], words[rng.randrange(len(words))],
                     round(rng.random() * 1000, 2), rng.randrange(1000),
                     None if rng.random() < 0.6 else round(rng.random(), 3), words[rng.randrange(len(words))][:6],
                     1990 + rng.randrange(35)])
    return rows


def general_sparse_none(scale):
    """Short ASCII rows where one cell in ten is None (a missing value)."""
    t = _short_rows(int(200_000 * scale), 22)
    rng = random.Random(23)
    for row in t:
        row[rng.randrange(len(row))] = None
    return t


GENERAL = {
    "csv_mixed": (general_csv, "200 000 rows x 8: int, str, str, float, int, None or float, str, int"),
    "sparse_none": (general_sparse_none, "200 000 rows x 10 short ASCII cells, one of them None"),
}

# ---------------------------------------------------------------------------
# Child: timed rounds of several calls in one process.


def time_ops(ops, budget, min_rounds, max_rounds):
    for _, fn, arg in ops:  # a first call each, outside the timing
        r = fn(arg)
        del r
    samples = {name: [] for name, _, _ in ops}
    orders = []
    shuffle = random.Random(len(ops)).shuffle
    perf = time.perf_counter
    start = perf()
    while len(orders) < min_rounds or (len(orders) < max_rounds and perf() - start < budget):
        gc.collect()
        order = list(range(len(ops)))
        shuffle(order)
        for k in order:
            name, fn, arg = ops[k]
            t0 = perf()
            r = fn(arg)
            t1 = perf()
            del r
            samples[name].append(t1 - t0)
        orders.append([ops[k][0] for k in order])
    return samples, orders


def summarize(samples, orders, a="new", b="old"):
    out = {name: {"median_s": statistics.median(s), "min_s": min(s)} for name, s in samples.items()}
    if a in samples and b in samples:
        per_round = [x / y for x, y in zip(samples[a], samples[b])]
        a_first = [r for r, o in zip(per_round, orders) if o.index(a) < o.index(b)]
        b_first = [r for r, o in zip(per_round, orders) if o.index(a) > o.index(b)]
        out["ratio"] = out[a]["median_s"] / out[b]["median_s"]
        out["ratio_best"] = out[a]["min_s"] / out[b]["min_s"]
        out["ratio_per_round"] = statistics.median(per_round)
        out["ratio_new_first"] = statistics.median(a_first) if a_first else None
        out["ratio_old_first"] = statistics.median(b_first) if b_first else None
    return out


def child_cliff(name, old_path, scale, budget):
    import vorn
    table = CLIFFS[name][0](scale)
    new_doc = vorn.stringify(table)
    ops = [("new", vorn.stringify, table)]
    if old_path:
        old = load_old(old_path)
        if old.stringify(table) != new_doc:
            raise SystemExit(f"error: the two builds write different documents for {name}")
        ops.append(("old", old.stringify, table))
    elif vorn.parse(new_doc) != table:
        raise SystemExit(f"error: {name} does not round-trip")
    res = {"case": name, "rows": len(table), "cells": sum(map(len, table)), "doc_chars": len(new_doc),
           "doc_bytes_in_memory": sys.getsizeof(new_doc)}
    del new_doc
    samples, orders = time_ops(ops, budget, 7, 31)
    res["rounds"] = len(orders)
    res["times"] = summarize(samples, orders)
    res["memory"] = {n: memory_of(fn, arg) for n, fn, arg in ops}
    return res


def child_general(name, old_path, scale, budget):
    import vorn
    mixed = GENERAL[name][0](scale)
    flat = [c for row in mixed for c in row if not isinstance(c, str)]
    converted = [[c if isinstance(c, str) else str(c) for c in row] for row in mixed]
    doc = vorn.stringify(mixed)
    if vorn.stringify(converted) != doc or vorn.parse(doc) != converted:
        raise SystemExit(f"error: {name}: the mixed and the converted table give different documents")

    def convert(cells):
        return list(map(str, cells))

    ops = [("new", vorn.stringify, mixed), ("convert", convert, flat), ("new_converted", vorn.stringify, converted)]
    if old_path:
        old = load_old(old_path)
        if old.stringify(mixed) != doc:
            raise SystemExit(f"error: the two builds write different documents for {name}")
        ops.append(("old", old.stringify, mixed))
    res = {"case": name, "rows": len(mixed), "cells": sum(map(len, mixed)), "non_str_cells": len(flat),
           "doc_chars": len(doc)}
    del doc
    samples, orders = time_ops(ops, budget, 7, 31)
    res["rounds"] = len(orders)
    t = summarize(samples, orders)
    bound = t["convert"]["median_s"] + GENERAL_FACTOR * t["new_converted"]["median_s"]
    t["bound_s"] = bound
    t["general_ratio"] = t["new"]["median_s"] / bound
    per_round = [n / (c + GENERAL_FACTOR * e)
                 for n, c, e in zip(samples["new"], samples["convert"], samples["new_converted"])]
    t["general_ratio_per_round"] = statistics.median(per_round)
    t["general_ratio_best"] = t["new"]["min_s"] / (t["convert"]["min_s"] + GENERAL_FACTOR * t["new_converted"]["min_s"])
    res["times"] = t
    res["memory"] = {"new": memory_of(vorn.stringify, mixed)}
    return res


# ---------------------------------------------------------------------------
# Children for large results: build the pieces, then measure one design.

PIECE_CHARS = 64 * 1024
# Document sizes in MB. A table of short cells takes about 7 bytes of objects
# per byte of document and a minute to build at 512 MB, so it stops at 256.
LARGE_SIZES = {"long": [16, 64, 512], "short_ascii": [16, 64, 256]}


def child_build(family, mb, path):
    """Writes the document of family at mb MB as pieces of about 64 K
    characters of whole rows, one VORN document a line (these tables hold no
    line breaks); sizes above 64 MB repeat the 64 MB table. Returns the total
    length."""
    import tables
    import vorn
    base = tables.make(f"{family}@{min(mb, 64)}")
    lines, piece, size = [], [], 0
    for row in base:
        piece.append(row)
        size += sum(map(len, row)) + 3 * len(row)
        if size >= PIECE_CHARS:
            lines.append(vorn.stringify(piece))
            piece, size = [], 0
    if piece:
        lines.append(vorn.stringify(piece))
    if any("\n" in line for line in lines):
        raise SystemExit("error: the table holds line breaks")
    repeat = max(1, round(mb / 64)) if mb > 64 else 1
    total = 0
    with open(path, "w", encoding="utf-8") as f:
        for _ in range(repeat):
            for line in lines:
                f.write(line)
                f.write("\n")
                total += len(line)
    return {"doc_chars": total, "rows": len(base) * repeat, "cells": sum(map(len, base)) * repeat}


def child_large(design, path, old_path, repeats, doc_chars):
    import vorn
    mod = load_old(old_path) if design == "old" else vorn
    table = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            table.extend(vorn.parse(line[:-1]))
    del line
    fn = mod.stringify
    trim()
    perf, proc = time.perf_counter, time.process_time

    def one():
        u0 = usage()
        t0, c0 = perf(), proc()
        r = fn(table)
        t1, c1 = perf(), proc()
        u1 = usage()
        if len(r) != doc_chars:
            raise SystemExit("error: stringify gave a document of another length")
        sizes = {"getsizeof": sys.getsizeof(r), "exact": exact_size(r), "block": block_size(r)}
        del r
        return {"wall_s": t1 - t0, "cpu_s": c1 - c0, "user_s": u1.ru_utime - u0.ru_utime,
                "sys_s": u1.ru_stime - u0.ru_stime, "faults": u1.ru_minflt - u0.ru_minflt, **sizes}

    first = one()
    later = []
    for _ in range(repeats):
        gc.collect()
        later.append(one())
    mem = memory_of(fn, table)
    return {"design": design, "first": first, "later": later, "memory": mem}


# ---------------------------------------------------------------------------
# The parent.


def run_child(args):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *map(str, args)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        tail = "\n".join((proc.stderr or proc.stdout).strip().splitlines()[-6:])
        raise RuntimeError(f"{' '.join(map(str, args[:3]))} failed (exit {proc.returncode}):\n{tail}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def build_old(rev):
    """Builds revision rev of this repository into build/old-REV/ unless it
    is there; returns the extension's path."""
    full = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", rev], capture_output=True, text=True,
                          check=True).stdout.strip()
    target = os.path.join(ROOT, "build", f"old-{full}")
    found = glob.glob(os.path.join(target, "vorn*.so"))
    if found:
        return found[0]
    src = tempfile.mkdtemp(prefix=f"vorn-{full}-")
    try:
        archive = subprocess.run(["git", "-C", ROOT, "archive", full], capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                        "--target", target, src], check=True)
    finally:
        shutil.rmtree(src, ignore_errors=True)
    return glob.glob(os.path.join(target, "vorn*.so"))[0]


def mean(xs):
    return sum(xs) / len(xs)


def fmt(x, digits=2):
    return "n/a" if x is None else f"{x:.{digits}f}"


def mark(x, limit):
    return "n/a" if x is None else f"{x:.2f}" + (" **miss**" if x > limit else "")


def allocator_note(nbytes):
    return "fresh pages every call" if nbytes > MMAP_MAX else "heap reuse possible"


def markdown(data):
    meta = data["meta"]
    lines = [
        "# vorn.stringify: cliffs, the general path and large results",
        "",
        f"- Date: {meta['date']}",
        f"- Machine: {meta['machine']}",
        f"- Python {meta['python']}; new: vorn at {meta['revision']}; old: {meta['old']}",
        f"- Wall time: {meta['wall_s']:.0f} s" + (" (--quick: tables at a tenth of their size)"
                                                   if meta["quick"] else ""),
        "",
        "Every case runs in a fresh process (see `bench/stringify_paths.py`). Times are medians of "
        "single calls with the collector enabled, in rounds whose order is shuffled anew each time.",
        "",
    ]
    if data["notes"]:
        lines += [f"- Note: {n}" for n in data["notes"]] + [""]

    lines += ["## Cliffs: new against old", "",
              f"Goal: new/old at most {CLIFF_GOAL}. **result** is the document as a str (sys.getsizeof); "
              "above 32 MiB the C allocator maps it fresh at every call, below it the heap may be reused "
              "between calls, depending on what the call before left. **new first**, **old first**: "
              "new/old over the rounds in which that one ran first. **traced/result**: tracemalloc's peak "
              f"during the call over the result (goal at most {MEMORY_GOAL}); **spare**: bytes of the "
              "allocator's block beyond the exact str.", "",
              "| case | result MiB | allocator | rounds | new ms | old ms | **new/old** | best | new first "
              "| old first | traced/result new | old | spare new | old |",
              "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in data["cliffs"]:
        t, m = r["times"], r["memory"]
        size = r["doc_bytes_in_memory"]
        old = t.get("old")

        def tr(d):
            return None if d not in m else m[d]["traced_peak"] / m[d]["getsizeof"]

        def spare(d):
            return "n/a" if d not in m or m[d]["block"] is None else f"{m[d]['block'] - m[d]['getsizeof']:,}"

        lines.append(
            f"| {r['case']} | {size / 2**20:.1f} | {allocator_note(size)} | {r['rounds']} "
            f"| {t['new']['median_s'] * 1e3:.1f} | {fmt(old and old['median_s'] * 1e3, 1)} "
            f"| {mark(t.get('ratio'), CLIFF_GOAL)} | {fmt(t.get('ratio_best'))} | {fmt(t.get('ratio_new_first'))} "
            f"| {fmt(t.get('ratio_old_first'))} | {mark(tr('new'), MEMORY_GOAL)} | {fmt(tr('old'))} "
            f"| {spare('new')} | {spare('old')} |")
    lines += [""] + [f"- {r['case']}: {CLIFFS[r['case']][1]}." for r in data["cliffs"]]
    for f in data["failed"]:
        lines.append(f"- FAILED: {f}")

    lines += ["", "## The general path: non-str cells", "",
              f"**bound** = conversions + {GENERAL_FACTOR} x converted, where **conversions** is "
              "`list(map(str, cells))` over the table's non-str cells and **converted** is stringify of the "
              "same table with those cells already str. Goal: mixed/bound at most 1.", "",
              "| case | cells | non-str | rounds | mixed ms | conversions ms | converted ms | bound ms "
              "| **mixed/bound** | per round | best | old on mixed ms | new/old |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in data["general"]:
        t = r["times"]
        old = t.get("old")
        lines.append(
            f"| {r['case']} | {r['cells']:,} | {r['non_str_cells']:,} | {r['rounds']} "
            f"| {t['new']['median_s'] * 1e3:.1f} | {t['convert']['median_s'] * 1e3:.1f} "
            f"| {t['new_converted']['median_s'] * 1e3:.1f} | {t['bound_s'] * 1e3:.1f} "
            f"| {mark(t['general_ratio'], 1.0)} | {fmt(t['general_ratio_per_round'])} "
            f"| {fmt(t['general_ratio_best'])} | {fmt(old and old['median_s'] * 1e3, 1)} | {fmt(t.get('ratio'))} |")
    lines += [""] + [f"- {r['case']}: {GENERAL[r['case']][1]}." for r in data["general"]]

    lines += ["", "## Large results: first call and repeated calls, each design in its own processes", "",
              "Two processes per design, run in the order old, new, new, old; each builds its table from "
              "pieces of 64 K characters (so that no large block has been freed before), makes one first "
              f"call, then {data['meta']['repeats']} more ({min(3, data['meta']['repeats'])} above 64 MB). Times are wall-clock ms, means over the calls "
              "of both processes; **faults** are minor page faults per call (getrusage), **sys** the "
              "system CPU time per call; **last**: the last call of each process (by then the heap, where it is "
              "reused, is already resident). **traced/result**: tracemalloc's peak during a call over the "
              "result; **getsizeof − exact**: sys.getsizeof(result) less the size of an exact str of its "
              "length and width; **spare**: the allocator's block beyond sys.getsizeof(result) "
              "(malloc_usable_size).", "",
              "| cells | MB | result MiB | design | first ms | first faults | first sys ms | later ms "
              "| later faults | later sys ms | last ms | last faults | first new/old | later new/old "
              "| traced/result | getsizeof − exact | spare |",
              "|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in data["large"]:
        per = r["designs"]
        for design in ("old", "new"):
            runs = per.get(design)
            if not runs:
                continue
            s = r["summary"][design]
            ratio_first = ratio_later = ""
            if design == "new" and "old" in per:
                ratio_first = fmt(s["first_ms"] / r["summary"]["old"]["first_ms"])
                ratio_later = fmt(s["later_ms"] / r["summary"]["old"]["later_ms"])
            lines.append(
                f"| {r['family']} | {r['mb']} | {s['result_bytes'] / 2**20:.1f} | {design} "
                f"| {s['first_ms']:.1f} | {s['first_faults']:,.0f} | {s['first_sys_ms']:.1f} "
                f"| {s['later_ms']:.1f} | {s['later_faults']:,.0f} | {s['later_sys_ms']:.1f} "
                f"| {s['last_ms']:.1f} | {s['last_faults']:,.0f} | {ratio_first} | {ratio_later} | {mark(s['traced_ratio'], MEMORY_GOAL)} "
                f"| {s['getsizeof_minus_exact']:,} | {s['spare']:,} |")
    lines += ["", "Faults per call at 4 KiB pages: a result written into fresh pages takes about one fault per "
              "4 KiB of it (result MiB x 256); a result written into reused heap takes almost none.", ""]
    return "\n".join(lines)


def summarize_large(runs):
    first = [r["first"] for r in runs]
    later = [c for r in runs for c in r["later"]]
    mem = runs[0]["memory"]
    return {
        "first_ms": mean([c["wall_s"] for c in first]) * 1e3,
        "first_faults": mean([c["faults"] for c in first]),
        "first_sys_ms": mean([c["sys_s"] for c in first]) * 1e3,
        "later_ms": mean([c["wall_s"] for c in later]) * 1e3,
        "later_faults": mean([c["faults"] for c in later]),
        "later_sys_ms": mean([c["sys_s"] for c in later]) * 1e3,
        "last_ms": mean([r["later"][-1]["wall_s"] for r in runs if r["later"]] or [float("nan")]) * 1e3,
        "last_faults": mean([r["later"][-1]["faults"] for r in runs if r["later"]] or [float("nan")]),
        "result_bytes": first[0]["getsizeof"],
        "traced_ratio": max(r["memory"]["traced_peak"] for r in runs) / mem["getsizeof"],
        "getsizeof_minus_exact": max(c["getsizeof"] - c["exact"] for c in first + later),
        "spare": max((c["block"] or 0) - c["getsizeof"] for c in first + later),
    }


def git_revision():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"], capture_output=True,
                               text=True).stdout.strip()
        return rev + (" (src/ modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--old", help="path of an earlier build of the vorn extension to compare with")
    ap.add_argument("--old-rev", help="git revision to build and compare with (instead of --old)")
    ap.add_argument("--quick", action="store_true", help="tables at a tenth of their size, short budgets, "
                    "large results at 16 and 64 MB only")
    ap.add_argument("--budget", type=float, default=6.0, help="seconds of timing per case (default 6)")
    ap.add_argument("--repeats", type=int, default=5, help="calls after the first per large-result process")
    ap.add_argument("--parts", default="cliffs,general,large", help="parts to run (default all)")
    ap.add_argument("--out", default=RESULTS, help="folder for the results (default bench/results)")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.child:
        kind, *rest = args.child
        if kind == "cliff":
            name, old, scale, budget = rest
            res = child_cliff(name, None if old == "-" else old, float(scale), float(budget))
        elif kind == "general":
            name, old, scale, budget = rest
            res = child_general(name, None if old == "-" else old, float(scale), float(budget))
        elif kind == "build":
            family, mb, path = rest
            res = child_build(family, int(mb), path)
        else:
            design, path, old, repeats, doc_chars = rest
            res = child_large(design, path, None if old == "-" else old, int(repeats), int(doc_chars))
        print(json.dumps(res))
        return 0

    from scale import machine

    notes = []
    old = args.old
    if args.old_rev:
        old = build_old(args.old_rev)
    if old and not os.path.exists(old):
        notes.append(f"{old} does not exist: the old columns are left out")
        old = None
    if not old:
        notes.append("no earlier build given (--old PATH or --old-rev REV): new against old is not measured")
    parts = set(args.parts.split(","))
    scale = 0.1 if args.quick else 1.0
    budget = min(args.budget, 2.0) if args.quick else args.budget
    old_arg = old or "-"
    t0 = time.perf_counter()
    cliffs, general, large, failed = [], [], [], []

    def attempt(what, fn):
        print(f"{what:<32}", end=" ", flush=True)
        t = time.perf_counter()
        try:
            res = fn()
        except RuntimeError as exc:
            print("FAILED")
            for line in str(exc).splitlines():
                print("    " + line)
            failed.append(what)
            return None
        print(f"{time.perf_counter() - t:5.0f} s", end="  ", flush=True)
        return res

    if "cliffs" in parts:
        for name in CLIFFS:
            r = attempt(f"cliff {name}", lambda: run_child(["cliff", name, old_arg, scale, budget]))
            if r:
                cliffs.append(r)
                t = r["times"]
                print(f"new {t['new']['median_s'] * 1e3:8.1f} ms" + (
                    f"  old {t['old']['median_s'] * 1e3:8.1f} ms  new/old {t['ratio']:.2f}"
                    f" (new first {fmt(t['ratio_new_first'])}, old first {fmt(t['ratio_old_first'])})"
                    if "old" in t else ""), flush=True)
    if "general" in parts:
        for name in GENERAL:
            r = attempt(f"general {name}", lambda: run_child(["general", name, old_arg, scale, budget]))
            if r:
                general.append(r)
                t = r["times"]
                print(f"mixed {t['new']['median_s'] * 1e3:.1f} ms, bound {t['bound_s'] * 1e3:.1f} ms: "
                      f"{t['general_ratio']:.2f}", flush=True)
    if "large" in parts:
        workdir = tempfile.mkdtemp(prefix="vorn-paths-")
        try:
            for family in ("long", "short_ascii"):
                for mb in LARGE_SIZES[family][:2] if args.quick else LARGE_SIZES[family]:
                    repeats = args.repeats if mb <= 64 else min(args.repeats, 3)
                    path = os.path.join(workdir, f"{family}_{mb}.txt")
                    built = attempt(f"build {family}@{mb}", lambda: run_child(["build", family, mb, path]))
                    if not built:
                        continue
                    print(flush=True)
                    order = ["old", "new", "new", "old"] if old else ["new", "new"]
                    designs = {}
                    for k, design in enumerate(order):
                        r = attempt(f"  {family}@{mb} {design} ({k + 1}/{len(order)})",
                                    lambda: run_child(["large", design, path, old_arg, repeats,
                                                       built["doc_chars"]]))
                        if r:
                            designs.setdefault(design, []).append(r)
                            print(f"first {r['first']['wall_s'] * 1e3:8.1f} ms {r['first']['faults']:7d} faults;"
                                  f" later {mean([c['wall_s'] for c in r['later']]) * 1e3:8.1f} ms "
                                  f"{mean([c['faults'] for c in r['later']]):9.0f} faults", flush=True)
                    if os.path.exists(path):
                        os.remove(path)
                    if designs:
                        large.append({"family": family, "mb": mb, "repeats": repeats, **built, "designs": designs,
                                      "summary": {d: summarize_large(v) for d, v in designs.items()}})
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
    wall = time.perf_counter() - t0

    meta = {"date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"), "machine": machine(),
            "python": platform.python_version(), "revision": git_revision(),
            "old": os.path.relpath(old, ROOT) if old else "none", "quick": args.quick, "wall_s": wall,
            "repeats": args.repeats}
    data = {"meta": meta, "notes": notes, "cliffs": cliffs, "general": general, "large": large,
            "failed": failed}
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "stringify_paths.json"), "w") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(args.out, "stringify_paths.md"), "w") as f:
        f.write(markdown(data))
    print(f"done in {wall:.0f} s; results in {os.path.relpath(args.out)}/stringify_paths.md", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
