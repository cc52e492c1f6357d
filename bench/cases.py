"""Every benchmark in one registry: groups of cases, and suites that run
groups on tables.

A case is a setup function registered with ``@case(group, name)``: it gets a
table from tables.py (None in groups that take no table) and returns
``(fn, arg)``; what is timed is ``fn(arg)``. The first case of a group is its
reference: the report gives every other case as its time over the
reference's (a floor's the other way round: reference over floor). A suite
names its groups, its tables and, optionally, which cases it keeps; bench/run.py
runs each (case, table) as one pyperf benchmark named "group/case/table", in
worker processes of its own.
"""

import atexit
import collections
import csv
import io
import itertools
import json
import marshal
import os
import pickle
import shutil
import tempfile
import time
from array import array
from dataclasses import dataclass

import vorn
import vorn_io

try:  # the lower bounds, built by `make bench` (CMake option VORN_BENCH_FLOOR)
    import _vornfloor
except ImportError:
    _vornfloor = None


@dataclass
class Case:
    group: str
    name: str
    setup: object
    tables: tuple = None  # only these tables, when given
    floor: bool = False   # reported as reference time over this one's


@dataclass
class Suite:
    groups: tuple
    tables: tuple
    cases: tuple = None   # only these case names, when given
    memory: bool = False  # run under pyperf --track-memory: values are peak private bytes
    alone: bool = True    # time each call alone, freeing its result outside the timing (see timer)
    about: str = ""


GROUPS = collections.defaultdict(list)


def case(group, name, tables=None, floor=False):
    def register(setup):
        GROUPS[group].append(Case(group, name, setup, tables and tuple(tables), floor))
        return setup
    return register


def benchmarks(suite, only_tables=None):
    """(name, case, table) of every benchmark of suite, in a fixed order."""
    out = []
    for group in suite.groups:
        for c in GROUPS[group]:
            if suite.cases and c.name not in suite.cases:
                continue
            for label in suite.tables:
                if (c.tables and label.partition("@")[0] not in c.tables) or (only_tables and label not in only_tables):
                    continue
                out.append((f"{group}/{c.name}/{label}", c, label))
    return out


try:
    import resource

    def minor_faults():
        return resource.getrusage(resource.RUSAGE_SELF).ru_minflt
except ImportError:  # not on Windows: no fault counts there
    def minor_faults():
        return 0

# Minor page faults and calls timed since bench/run.py's hook last took them.
FAULTS = [0, 0]


def timer(loops, fn, arg, alone):
    """CPU seconds (user and system, so page faults count) of this process
    for loops calls of fn(arg): other programs on a shared machine stretch
    wall time by whatever share of the cores they take when a benchmark
    runs, and each benchmark runs at another moment. With alone, each call is timed by
    itself and its result freed outside the timing, as in a program that
    uses and drops one result at a time (holding them all would make every
    call fault in fresh memory); an empty set() made after the call makes
    any collection that its allocations made due run inside its own time.
    The minor page faults of the calls are counted into FAULTS (outside the
    timing, as the result's release is)."""
    perf = time.process_time
    faults = minor_faults
    if not alone:
        f0 = faults()
        t0 = perf()
        for _ in range(loops):
            fn(arg)
        total = perf() - t0
        FAULTS[0] += faults() - f0
        FAULTS[1] += loops
        return total
    total, poke = 0.0, set
    for _ in range(loops):
        f0 = faults()
        t0 = perf()
        out = fn(arg)
        poke()
        t1 = perf()
        FAULTS[0] += faults() - f0
        total += t1 - t0
        del out
    FAULTS[1] += loops
    return total


# --- Codecs: each decodes its own encoding of the table --------------------

def _csv_write(table):
    buf = io.StringIO(newline="")
    csv.writer(buf).writerows(table)
    return buf.getvalue()


# The slow peers (several times vorn's time) run on two tables only, to keep
# `make bench` short.
SLOW = ("short_ascii", "unicodedata")
CODECS = {  # name: (decode, encode, tables or None for all)
    "vorn": (vorn.parse, vorn.stringify, None),
    "marshal": (marshal.loads, marshal.dumps, None),
    "json": (json.loads, lambda t: json.dumps(t, ensure_ascii=False, separators=(",", ":")), SLOW),
    "pickle": (pickle.loads, lambda t: pickle.dumps(t, protocol=pickle.HIGHEST_PROTOCOL), SLOW),
    "csv": (lambda s: list(csv.reader(io.StringIO(s, newline=""))), _csv_write, SLOW),
}
try:
    import msgspec
    import orjson
    CODECS |= {"orjson": (orjson.loads, orjson.dumps, None),
               "msgspec.json": (msgspec.json.decode, msgspec.json.encode, None),
               "msgspec.msgpack": (msgspec.msgpack.decode, msgspec.msgpack.encode, None)}
except ImportError:
    pass

for _name, (_dec, _enc, _only) in CODECS.items():
    case("parse", _name, _only)(lambda t, dec=_dec, enc=_enc: (dec, enc(t)))
    case("stringify", _name, _only)(lambda t, enc=_enc: (enc, t))


def _width(cell):
    return 127 if cell.isascii() else 255 if ord(max(cell)) < 0x100 else 65535 if ord(max(cell)) < 0x10000 else 0x10FFFF


def _floor_shape(table):
    """decode_floor's input: the document, (start, length, maxchar) of every
    cell's text in it, and the cell count of every row."""
    doc, spans, pos = vorn.stringify(table), array("q"), 0
    for row in table:
        for cell in row:
            u16 = len(cell.encode("utf-16-le", "surrogatepass")) // 2
            start = pos + 1 + len(str(u16))
            spans.extend((start, len(cell), _width(cell)))
            pos = start + len(cell)
        pos += 1
    return doc, spans.tobytes(), array("q", map(len, table)).tobytes()


def _floor1_input(table):
    """encode_floor_single's input: the table, its cells' total length and widest character."""
    cells = itertools.chain.from_iterable
    return table, sum(map(len, cells(table))), max((ord(max(c)) for c in cells(table) if c and not c.isascii()),
                                                   default=0)


if _vornfloor:
    case("parse", "floor", floor=True)(lambda t: (_vornfloor.decode_floor, _floor_shape(t)))
    case("stringify", "floor", floor=True)(lambda t: (_vornfloor.encode_floor, t))
    case("stringify", "floor1", floor=True)(lambda t: (_vornfloor.encode_floor_single, _floor1_input(t)))

case("writer", "vorn.stringify")(lambda t: (vorn.stringify, t))
# The two-pass floor beside it, on the tables of str it can write: the
# minor faults a call may take at most.
if _vornfloor:
    case("writer", "floor", floor=True, tables=[n for n in ("late_wide_last", "late_wide_unsampled",
                                                             "late_bmp_unsampled", "short_then_long", "huge_cell",
                                                             "huge_cell_10mb", "long_10mb", "empty_cells", "npm_list",
                                                             "mid_semicolons")])(
        lambda t: (_vornfloor.encode_floor, t))


# --- The same codecs after the others, in one process -----------------------

def _after_the_others(encode):
    """Every encoder runs once on the table first, its result dropped, as in
    a process that called other codecs before: the C allocator then holds
    the blocks they freed."""
    def setup(table):
        for _, enc, only in CODECS.values():
            if only is None:
                enc(table)
        if _vornfloor:
            _vornfloor.encode_floor(table)
        return encode, table
    return setup


for _name in ("vorn", "orjson", "msgspec.json", "msgspec.msgpack", "marshal"):
    if _name in CODECS:
        case("interleaved", _name)(_after_the_others(CODECS[_name][1]))
if _vornfloor:
    case("interleaved", "floor", floor=True)(_after_the_others(_vornfloor.encode_floor))

# --- Per-call overhead on the smallest inputs -------------------------------

case("call", "vorn.parse(';')")(lambda _: (vorn.parse, ";"))
case("call", "len(';')")(lambda _: (len, ";"))
case("call", "json.loads('0')")(lambda _: (json.loads, "0"))
case("call", "vorn.stringify(())")(lambda _: (vorn.stringify, ()))
case("call", "''.join(())")(lambda _: ("".join, ()))

# --- Streaming: vorn_io against whole documents, through a file -------------

_TMP = []


def _file(table):
    """A temporary file holding the table's document, removed at exit."""
    if not _TMP:
        _TMP.append(tempfile.mkdtemp(prefix="vorn-bench-"))
        atexit.register(shutil.rmtree, _TMP[0], True)
    path = os.path.join(_TMP[0], "doc.vorn")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(vorn.stringify(table))
    return path


def _read(how):
    def run(path):
        with open(path, encoding="utf-8", newline="") as f:
            return how(f)
    return lambda t: (run, _file(t))


def _write(how):
    def setup(table):
        path = _file(table)

        def run(t):
            with open(path, "w", encoding="utf-8", newline="") as f:
                how(f, t)
        return run, table
    return setup


def _writerow_loop(f, table):
    writerow = vorn_io.writer(f).writerow
    for row in table:
        writerow(row)


def _read_binary(how):
    def run(path):
        with open(path, "rb") as f:
            return how(f)
    return lambda t: (run, _file(t))


def _csv_file(table):
    path = _file(table) + ".csv"
    with open(path, "w", encoding="utf-8", newline="") as f:
        csv.writer(f).writerows(table)
    return path


def _csv_loop(path):
    with open(path, encoding="utf-8", newline="") as f:
        for _ in csv.reader(f):
            pass


def _reader_loop(path):
    with open(path, "rb") as f:
        for _ in vorn_io.reader(f):
            pass


def _decode_whole(doc):
    decoder = vorn_io.Decoder()
    rows = decoder.feed(doc)
    decoder.close()
    return rows


case("read", "read+parse")(_read(lambda f: vorn.parse(f.read())))
case("read", "reader")(_read(lambda f: list(vorn_io.reader(f))))
case("read", "reader, binary")(_read_binary(lambda f: list(vorn_io.reader(f))))
case("read", "reader, rows dropped")(_read(lambda f: collections.deque(vorn_io.reader(f), maxlen=0)))
# The same table as CSV through csv.reader, against vorn_io.reader on the
# VORN file opened in binary mode; each row is dropped as a loop would.
case("rows", "csv.reader loop")(lambda t: (_csv_loop, _csv_file(t)))
case("rows", "vorn_io.reader loop")(lambda t: (_reader_loop, _file(t)))
# The incremental decoder fed a whole document, against parse.
case("decoder", "vorn.parse")(lambda t: (vorn.parse, vorn.stringify(t)))
case("decoder", "Decoder feed+close")(lambda t: (_decode_whole, vorn.stringify(t)))
case("write", "stringify+write")(_write(lambda f, t: f.write(vorn.stringify(t))))
case("write", "writerows")(_write(lambda f, t: vorn_io.writer(f).writerows(t)))
case("write", "writerow loop")(_write(_writerow_loop))

# --- Suites ------------------------------------------------------------------

STANDARD = ("short_ascii", "latin1", "bmp_cjk", "astral", "long", "unicodedata")
IO_TABLES = ("short_ascii", "bmp_cjk", "astral", "long", "unicodedata", "mid_semicolons", "npm_list")

SUITES = {
    "codec": Suite(("parse", "stringify"), STANDARD,
                   about="every codec on the standard tables; floors: decode_floor, encode_floor (two passes), "
                   "encode_floor_single (floor1, one pass)"),
    "writer": Suite(("writer",), ("late_wide_last", "late_wide_unsampled", "late_bmp_unsampled", "short_then_long",
                                  "huge_cell", "huge_cell_10mb", "long_10mb", "empty_cells", "csv_mixed",
                                  "sparse_none", "npm_list", "mid_semicolons"),
                    about="vorn.stringify on tables that stress a one-pass writer (compare revisions with it)"),
    "io": Suite(("read", "rows", "decoder", "write"), IO_TABLES,
                about="vorn_io's reader and writer against whole documents, csv.reader and parse"),
    "memory": Suite(("parse", "stringify", "read", "write"), ("short_ascii", "long"),
                    cases=("vorn", "floor", "floor1", "orjson", "msgspec.json", "read+parse", "reader",
                           "reader, rows dropped", "stringify+write", "writerows"), memory=True, alone=False,
                    about="peak private memory of the process during the calls (pyperf --track-memory)"),
    "stringify": Suite(("stringify",), STANDARD, about="stringify alone: every encoder and the floors"),
    "interleaved": Suite(("interleaved",), STANDARD,
                         about="each encoder after every other one ran once in its process (the former harness)"),
    "vorn": Suite(("parse", "stringify"), STANDARD, cases=("vorn",),
                  about="vorn alone on the standard tables: the quick suite for comparing revisions"),
    "calls": Suite(("call",), ("-",), alone=False, about="per-call overhead on the smallest inputs"),
    "scale": Suite(("parse", "stringify"), ("short_ascii@1", "short_ascii@16", "short_ascii@64", "long@1",
                                            "long@64", "long@256"), cases=("vorn",),
                   about="vorn alone, documents of 1 to 256 MB"),
}
