"""Times vorn.parse and vorn.stringify against other codecs of tables of
strings, on one table per process.

    python bench/bench_codec.py TABLE [TABLE ...] [--json OUT] [--repeats N]
    python bench/bench_codec.py --list

TABLE is a name from bench/tables.py ("short_ascii", "long", ...), optionally
with "@MB" to scale it to a document of about MB megabytes; "all" runs every
standard table (in this one process; bench/run.py gives each its own).

Each codec gets the input it would be handed in use: the VORN document for
vorn, JSON text for json, UTF-8 JSON bytes for orjson and msgspec.json,
MessagePack bytes for msgspec.msgpack, marshal and pickle bytes, CSV text read
and written through io.StringIO, and for the floor the document with the
position of every cell (see floor/_vornfloor.c). Every encoder is handed the
table, except the one-pass floor (floor1, encode only), which is also handed
the total length and the widest character of the cells, computed before
timing. Every input is checked to
decode to a table equal to the original before anything is timed; a codec
that cannot hold the table is skipped with the reason.

Timing: one sample is time.perf_counter around one call (around several
back-to-back calls only for calls shorter than --min-time), the result kept
alive until the sample ends so that freeing it is not timed. One call per
sample matters for large results: holding many of them alive at once would
make every call fault in fresh memory, which a program that uses and drops
one table at a time does not do. The garbage collector stays
enabled, as in a user's program, and each call is charged with the
collection its allocations make due (see sample()); gc.collect() runs
before each round so that every round starts from the same collector state.
Within a round every operation is sampled once, in an order shuffled anew
(seeded) for every round, so drift in machine speed and the state one
operation leaves to the next reach all codecs alike. At least --repeats
rounds run, more while they fit in --budget seconds. The minor page faults of each sample are
counted too (per call), to show what the C allocator did: results above
32 MiB are mapped fresh at every call, for every codec; smaller ones are
mapped fresh until a freed block of at least their size has raised glibc's
mapping threshold, and come from reused heap after that. All codecs share
the process, so that threshold soon stands at the largest block any of them
freed: results of up to 32 MiB reuse the heap here even where a program
calling one codec alone would get fresh pages (bench/stringify_paths.py
measures vorn alone). Medians over the rounds
are reported. MB/s is always the VORN document's UTF-8 size over the time, so it
compares codecs on the same amount of data; ratios are peer time over vorn
time (above 1 means vorn is faster) and vorn time over floor time, for the
two-pass floor and, when encoding, for the one-pass floor too.
"""

import argparse
import csv
import gc
import io
import itertools
import json
import marshal
import os
import pickle
import platform
import random
import resource
import statistics
import sys
import time
from array import array
from math import ceil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tables  # noqa: E402

MISSING = []
try:
    import orjson
except ImportError:
    MISSING.append("orjson")
try:
    import msgspec
except ImportError:
    MISSING.append("msgspec")
if MISSING:
    raise SystemExit(f"error: {', '.join(MISSING)} not installed; run "
                     "'.venv/bin/python -m pip install -r requirements-bench.txt'")

import vorn  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "floor"))
import build as floor_build  # noqa: E402

sys.path.insert(0, floor_build.ensure())
import _vornfloor  # noqa: E402


MAX_ROUNDS = 31

# ---------------------------------------------------------------------------
# The codecs. Each has a decoder, an encoder and a way to make the decoder's
# input from a table (normally its own encoder).

def json_dumps(table):
    return json.dumps(table, ensure_ascii=False, separators=(",", ":"))


def pickle_dumps(table):
    return pickle.dumps(table, protocol=pickle.HIGHEST_PROTOCOL)


def csv_read(text):
    return list(csv.reader(io.StringIO(text, newline="")))


def csv_write(table):
    buf = io.StringIO(newline="")
    csv.writer(buf).writerows(table)
    return buf.getvalue()


def width_class(cell):
    if cell.isascii():
        return 127
    m = ord(max(cell))
    return 255 if m < 0x100 else 65535 if m < 0x10000 else 0x10FFFF


def floor_shape(doc, table):
    """The floor's input: doc, the (start, length, maxchar) of every cell's
    payload in doc and the number of cells of every row."""
    spans = array("q")
    extend = spans.extend
    pos = 0
    for row in table:
        for cell in row:
            n = len(cell)
            mc = width_class(cell)
            u16 = n + sum(1 for ch in cell if ord(ch) > 0xFFFF) if mc > 0xFFFF else n
            start = pos + 1 + len(str(u16))
            extend((start, n, mc))
            pos = start + n
        pos += 1
    if pos != len(doc):
        raise AssertionError("cell positions do not match the document")
    return (doc, spans.tobytes(), array("q", map(len, table)).tobytes())


# name, decoder label, decoder, encoder label, encoder
CODECS = [
    ("vorn", "vorn.parse", vorn.parse, "vorn.stringify", vorn.stringify),
    ("json", "json.loads", json.loads, "json.dumps", json_dumps),
    ("orjson", "orjson.loads", orjson.loads, "orjson.dumps", orjson.dumps),
    ("msgspec.json", "msgspec.json.decode", msgspec.json.decode, "msgspec.json.encode", msgspec.json.encode),
    ("msgspec.msgpack", "msgspec.msgpack.decode", msgspec.msgpack.decode,
     "msgspec.msgpack.encode", msgspec.msgpack.encode),
    ("marshal", "marshal.loads", marshal.loads, "marshal.dumps", marshal.dumps),
    ("pickle", "pickle.loads", pickle.loads, "pickle.dumps", pickle_dumps),
    ("csv", "csv.reader", csv_read, "csv.writer", csv_write),
    ("floor", "decode_floor", _vornfloor.decode_floor, "encode_floor", _vornfloor.encode_floor),
    ("floor1", None, None, "encode_floor_single", _vornfloor.encode_floor_single),
]
CODEC_NAMES = [c[0] for c in CODECS]

NOTES = {
    "json": "ensure_ascii=False, compact separators",
    "orjson": "encodes to UTF-8 bytes",
    "msgspec.json": "UTF-8 bytes, untyped decode",
    "msgspec.msgpack": "untyped decode",
    "pickle": "highest protocol",
    "csv": "io.StringIO(newline=''), default dialect",
    "floor": "allocation only, no format work; encoding measures, then copies (two passes)",
    "floor1": "encoding only: one pass, handed the total length and widest character",
}


def floor1_input(table):
    """The one-pass floor's input: the table, the total length of its cells
    and their widest character."""
    total, top = 0, 0
    for row in table:
        for cell in row:
            total += len(cell)
            if cell and not cell.isascii():
                top = max(top, ord(max(cell)))
    return (table, total, top)


def prepare(table, doc, names):
    """Decoder and encoder inputs for the chosen codecs, each decoder input
    checked to decode to table and each encoder checked to give a decodable
    equivalent. Returns (inputs, enc_inputs, skipped) keyed by codec name;
    inputs holds only codecs that decode."""
    inputs, enc_inputs, skipped = {}, {}, {}
    for name, _, dec, _, enc in CODECS:
        if name not in names:
            continue
        try:
            if name == "vorn":
                data = doc
            elif name in ("floor", "floor1"):
                joined = "".join(itertools.chain.from_iterable(table))
                enc_arg = table if name == "floor" else floor1_input(table)
                if enc(enc_arg) != joined:
                    raise AssertionError(f"{name} does not give the cells' text")
                if name == "floor1":
                    enc_inputs[name] = enc_arg
                    continue
                data = floor_shape(doc, table)
            else:
                data = enc(table)
            back = dec(data)
        except Exception as exc:  # a codec that cannot hold this table
            skipped[name] = f"{type(exc).__name__}: {str(exc)[:120]}"
            continue
        if back != table:
            skipped[name] = "does not decode to an equal table"
            continue
        del back
        inputs[name] = data
        enc_inputs[name] = table
    return inputs, enc_inputs, skipped


def sample(fn, arg, number, faults=None):
    """Seconds per call of fn(arg), over number calls; when faults is a
    list, the minor page faults per call are appended to it.

    The interpreter runs a due collection only at its next periodic check
    after the allocation that made it due, and a codec that pauses the
    collector while it builds its result leaves that allocation to its
    caller. The empty set() made after each call is that allocation (sets
    come from no free list, so it always counts), and the loop's backward
    jump is the check: whatever collection a call made due runs inside its
    own sample, for every codec alike, rather than in the next one's."""
    out = [None] * number
    poke = set
    perf = time.perf_counter
    f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt if faults is not None else 0
    t0 = perf()
    for k in range(number):
        out[k] = fn(arg)
        poke()
    t1 = perf()
    if faults is not None:
        faults.append((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - f0) / number)
    return (t1 - t0) / number


def run_table(spec, names, repeats, min_time, budget, no_gc=False, quiet=False):
    say = (lambda *a: None) if quiet else (lambda *a: print(*a, flush=True))
    t0 = time.perf_counter()
    table = tables.make(spec)
    gen_s = time.perf_counter() - t0
    notes = []
    if spec.partition("@")[0] == "unicodedata" and tables.stand_in():
        notes.append(tables.stand_in())
    doc = vorn.stringify(table)
    doc_bytes = len(doc.encode("utf-8", "surrogatepass"))
    top = 0 if doc.isascii() else ord(max(doc))
    kind = 1 if top < 0x100 else 2 if top < 0x10000 else 4
    if vorn.parse(doc) != table:
        raise SystemExit(f"error: vorn does not round-trip table {spec}")
    ascii_chars = len(doc.encode("ascii", "ignore"))
    cells = sum(map(len, table))
    inputs, enc_inputs, skipped = prepare(table, doc, names)
    for n, why in skipped.items():
        notes.append(f"{n} skipped: {why}")

    ops = []  # (direction, codec, function, argument)
    for name, _, dec, _, enc in CODECS:
        if name in inputs:
            ops.append(("parse", name, dec, inputs[name]))
    for name, _, dec, _, enc in CODECS:
        if name in enc_inputs:
            ops.append(("stringify", name, enc, enc_inputs[name]))

    # Calibrate: how many calls make one sample of at least min_time.
    numbers, calibration = [], []
    for _, _, fn, arg in ops:
        t = sample(fn, arg, 1)
        calibration.append(t)
        numbers.append(max(1, min(10_000, ceil(min_time / max(t, 1e-9)))))

    # More rounds when rounds are short, up to the time budget.
    round_s = sum(min_time if n > 1 else calib for n, calib in zip(numbers, calibration))
    rounds = max(repeats, min(MAX_ROUNDS, int(budget / max(round_s, 1e-9))))
    samples = [[] for _ in ops]
    faults = [[] for _ in ops]
    order = list(range(len(ops)))
    shuffle = random.Random(len(ops)).shuffle
    for _ in range(rounds):
        gc.collect()
        shuffle(order)
        if no_gc:
            gc.disable()
        for k in order:
            _, _, fn, arg = ops[k]
            samples[k].append(sample(fn, arg, numbers[k], faults[k]))
        gc.enable()

    result = {
        "table": spec,
        "rows": len(table),
        "cells": cells,
        "doc_chars": len(doc),
        "doc_bytes": doc_bytes,
        "doc_kind": kind,
        "doc_ascii_chars": ascii_chars,
        "generate_s": gen_s,
        "gc": "disabled while timing" if no_gc else "enabled",
        "repeats": rounds,
        "notes": notes,
        "skipped": skipped,
        "parse": {},
        "stringify": {},
    }
    for (direction, name, _, _), s, f, number in zip(ops, samples, faults, numbers):
        result[direction][name] = {"median_s": statistics.median(s), "min_s": min(s),
                                   "number": number, "samples": s, "median_faults": statistics.median(f)}
    say(format_result(result))
    return result


def format_result(res):
    mb = res["doc_bytes"] / 1e6
    labels = {c[0]: (c[1], c[3]) for c in CODECS}
    lines = [
        f"== {res['table']}: {res['rows']:,} rows, {res['cells']:,} cells; VORN document {mb:.2f} MB UTF-8 "
        f"({res['doc_chars']:,} code points, {res['doc_kind']}-byte storage); {res['repeats']} rounds",
    ]
    for note in res["notes"]:
        lines.append(f"   note: {note}")
    for d, direction in ((0, "parse"), (1, "stringify")):
        times = res[direction]
        vt = times["vorn"]["median_s"]
        lines.append(f"   {direction:<24}{'ms/run':>10}{'MB/s':>10}{'peer/vorn':>11}")
        for name in CODEC_NAMES:
            if name not in times:
                continue
            t = times[name]["median_s"]
            label = labels[name][d]
            lines.append(f"   {label:<24}{t * 1e3:>10.2f}{mb / t:>10.1f}{t / vt:>11.2f}")
        floors = [f"vorn/{n} = {vt / times[n]['median_s']:.2f}" for n in ("floor", "floor1") if n in times]
        if floors:
            lines.append("   " + ", ".join(floors))
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("tables", nargs="*", help="table names (see --list), 'name@MB', or 'all'")
    ap.add_argument("--json", metavar="OUT", help="write the raw results to OUT as JSON")
    ap.add_argument("--repeats", type=int, default=7, help="least rounds of samples (default 7)")
    ap.add_argument("--budget", type=float, default=15.0,
                    help=f"seconds of timing per table; short rounds are repeated up to it, "
                    f"at most {MAX_ROUNDS} rounds (default 15)")
    ap.add_argument("--min-time", type=float, default=0.0005,
                    help="least seconds per sample: calls shorter than this are repeated within "
                    "a sample, their results all kept until it ends (default 0.0005)")
    ap.add_argument("--peers", help="comma-separated codecs to run besides vorn (default: all): "
                    + ",".join(CODEC_NAMES[1:]))
    ap.add_argument("--no-gc", action="store_true",
                    help="disable the garbage collector while timing, to see the codecs' own work "
                    "(reported as such; the default keeps it enabled)")
    ap.add_argument("--list", action="store_true", help="list the standard tables and codecs")
    args = ap.parse_args(argv)
    if args.list or not args.tables:
        print("tables:", " ".join(tables.STANDARD))
        print("codecs:", " ".join(CODEC_NAMES))
        return 0
    names = set(CODEC_NAMES)
    if args.peers:
        names = {"vorn"} | {p.strip() for p in args.peers.split(",") if p.strip()}
        unknown = names - set(CODEC_NAMES)
        if unknown:
            ap.error(f"unknown codecs: {', '.join(sorted(unknown))}")
    specs = tables.STANDARD if args.tables == ["all"] else args.tables
    gc_state = "disabled while timing" if args.no_gc else "enabled"
    print(f"python {platform.python_version()}, gc {gc_state}, at least {args.repeats} rounds, medians; "
          f"MB = VORN document UTF-8 bytes / 1e6", flush=True)
    results = [run_table(s, names, args.repeats, args.min_time, args.budget, args.no_gc) for s in specs]
    if args.json:
        meta = {"python": platform.python_version(), "gc": gc_state, "codec_notes": NOTES,
                "labels": {c[0]: {"parse": c[1], "stringify": c[3]} for c in CODECS}}
        with open(args.json, "w") as f:
            json.dump({"meta": meta, "results": results}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
