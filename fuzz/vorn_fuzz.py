"""Differential fuzzing of vorn.parse, vorn_io.Decoder and vorn.stringify.

Each input is a byte string that decodes into one case: a text for `parse`
(arbitrary characters, or a written table with a few mutations), or a table
recipe for `stringify` (every storage width, lone surrogates, lists, tuples,
iterators, generators, list subclasses, iterables that fail, cells that are
not strings, cells whose conversion fails, re-enters the module, changes its
row or rebinds HEX, and module dictionaries holding a key whose __eq__ runs
whenever HEX is looked up and changes the table or the globals). The module's
outcome must equal that of the model the test suite checks against
(tests/model.py): the same table or text, or the same exception type with
the same arguments. Whatever either function returns must read back. Each
text given to parse is also fed to the incremental decoder in pieces cut at
points the input chooses, which must give what parse gives. Every input,
read backwards, also chooses a table of cells from every UTF-8 length class
(tests/texts.py), now and then damaged, for the partition pass, whose ranges
must read alone and add up to what parse reads (check_partitions).

Two drivers share the checks:

    python fuzz/vorn_fuzz.py [libFuzzer flags] [corpus dirs]   (atheris)
    python fuzz/vorn_fuzz.py --random --seconds 60 --seed 1      (no atheris)

Under atheris, coverage of the model (and of the module, when it is built
with -fsanitize=fuzzer-no-link and libFuzzer is preloaded; see
mk/reliability.mk) steers the inputs. The random driver replays the files in
the given folders first, then feeds seeded random bytes; a failing input is
written to --artifacts. It also serves to replay a corpus against the
sanitizer build (--seconds 0).
"""
import gc
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

try:
    import atheris
except ImportError:  # the random driver needs nothing else
    atheris = None
USE_ATHERIS = atheris is not None and __name__ == "__main__" and "--random" not in sys.argv

if USE_ATHERIS:
    # Coverage of the model's branches guides the fuzzer as well as that of
    # the module (when it is built with coverage instrumentation).
    with atheris.instrument_imports(include=["model"]):
        from model import parse_model, stringify_model, stringify_walk_model
else:
    from model import parse_model, stringify_model, stringify_walk_model

import io  # noqa: E402
import tempfile  # noqa: E402

import texts  # noqa: E402
import vorn  # noqa: E402
import vorn_io  # noqa: E402
from vorn_io import DecodeError, Decoder  # noqa: E402
import vorn_io  # noqa: E402

DEFAULT_HEX = "0123456789abcdef"
UPPER_HEX = DEFAULT_HEX.upper()
END = "Unexpected end of input"
# Characters that carry structure, then characters that must be refused or
# copied verbatim: every storage width, lone and paired surrogates, digits of
# other scripts, characters whose low byte looks like ';' or a digit.
STRUCTURE = list(";;;;0123456789aAfFbcdeBCDE")
ODD = ["g", "x", "-", "\n", "'", " ", "\xe9", "\xff", "\u0101", "\u20ac", "\ud800", "\udbff", "\udc00",
       "\udfff", "\U0001f600", "\U00010000", "\U0010ffff", "\u0661", "\U0001003b", "\U00010031", "\u013b"]
CELL = list("x;09aF") + ODD
ALT_HEX = [DEFAULT_HEX, DEFAULT_HEX, UPPER_HEX, "0", "\u20acbcdefghijklmnop", "\U0001f600" * 16,
           list(DEFAULT_HEX), [str(k) for k in range(16)], {0: "x", 1: 7}, None, "delete"]
ALT_END = [END, "Truncated", 42, None]


class Source:
    """Reads decisions from the fuzzer's bytes; yields zeros once they run out."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        if n <= 256:
            return self.byte() % n
        return (self.byte() << 16 | self.byte() << 8 | self.byte()) % n

    def left(self):
        return len(self.data) - self.pos

    def char(self, palette):
        b = self.byte()
        if b < 232:
            return palette[b % len(palette)]
        return chr(self.below(0x110000))

    def text(self, palette, longest):
        text = "".join(self.char(palette) for _ in range(self.below(longest + 1)))
        if text and self.byte() == 255:  # now and then a long cell
            text *= 1 + self.below(3000)
        return text


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as exc:  # compared by type and arguments
        return ("err", type(exc), exc.args)


def same_text(a, b):
    """Equal text held in the canonical (narrowest) storage."""
    return type(a) is str and a == b and sys.getsizeof(a) == sys.getsizeof(b)


# --- parse ----------------------------------------------------------------------

def parse_case(src):
    if src.byte() % 2:
        return "".join(src.char(STRUCTURE + ODD) for _ in range(min(src.left(), 400)))
    table = [[src.text(CELL, 12) for _ in range(src.below(5))] for _ in range(1 + src.below(5))]
    doc = stringify_model(table, hex_digits=UPPER_HEX if src.byte() % 4 == 0 else DEFAULT_HEX)
    for _ in range(src.below(4)):
        k = src.below(len(doc) + 1)
        op = src.below(6)
        ch = src.char(STRUCTURE + ODD)
        if op == 0:
            doc = doc[:k] + doc[k + 1:]
        elif op == 1:
            doc = doc[:k] + ch + doc[k:]
        elif op == 2:
            doc = doc[:k] + ch + doc[k + 1:]
        elif op == 3:
            doc = doc[:k]
        elif op == 4:  # a long declared length, in the middle or at the very end
            doc = doc[:k] + "f" + "9" * 16 + doc[k:]
        else:
            doc = doc[:k] + doc[k:k + 1 + src.below(40)] + doc[k:]
    return doc


def decoded(pieces):
    """What the incremental decoder makes of the pieces, as outcome() puts it;
    its DecodeError stands for parse's SyntaxError."""
    decoder = Decoder()
    rows = []
    try:
        for piece in pieces:
            rows += decoder.feed(piece)
        return ("ok", rows + decoder.close())
    except DecodeError as exc:
        return ("err", SyntaxError, exc.args)
    except Exception as exc:  # compared by type and arguments
        return ("err", type(exc), exc.args)


def arrowed(text, block_size):
    """What read_arrow makes of the text's UTF-8 bytes, every row as data,
    as outcome() puts it (rows of columns); its DecodeError stands for
    parse's SyntaxError. None when pyarrow is not there to look."""
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return None
    import io

    try:
        table = vorn_io.read_arrow(io.BytesIO(text.encode("utf-8")), header=False, block_size=block_size,
                                   threads=1 + block_size % 2).to_pyarrow()
    except DecodeError as exc:
        return ("err", SyntaxError, exc.args)
    except Exception as exc:  # compared by type and arguments
        return ("err", type(exc), exc.args)
    columns = [column.to_pylist() for column in table.columns]
    return ("ok", [list(row) for row in zip(*columns)] if columns else [[] for _ in range(table.num_rows)])


def check_parse(text, end=END, src=None):
    got = outcome(vorn.parse, text)
    want = outcome(parse_model, text, end)
    if want[0] == "err":
        assert want[1] is SyntaxError
    assert got == want, (ascii(text)[:400], got, want)
    if src is not None:
        # The same text fed to the decoder in pieces cut where the input says.
        cuts = sorted(src.below(len(text) + 1) for _ in range(src.below(8)))
        pieces = [text[a:b] for a, b in zip([0] + cuts, cuts + [len(text)])]
        # The decoder reads no text as a document of no rows; parse refuses it.
        assert decoded(pieces) == (("ok", []) if text == "" else got), (ascii(text)[:400], cuts)
        # The columnar reader, on text that has a UTF-8 form and rows of one width.
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            pass
        else:
            if got[0] == "err" or len({len(row) for row in got[1]}) <= 1:
                columnar = arrowed(text, 1 + src.below(64))
                # Rows of another width than the first, before a fault, are
                # refused first, as they come first.
                ragged = columnar is not None and columnar[0] == "err" and columnar[1] is ValueError \
                    and "columns of the first row" in str(columnar[2])
                if columnar is not None and not ragged:
                    # No bytes is the document of no rows here too.
                    assert columnar == (("ok", []) if text == "" else got), (ascii(text)[:400], columnar, got)
    if got[0] == "ok":
        table = got[1]
        assert type(table) is list and all(type(r) is list for r in table)
        assert all(type(c) is str for r in table for c in r)
        assert len({id(r) for r in table}) == len(table)
        doc = vorn.stringify(table)
        assert same_text(doc, stringify_model(table))
        assert vorn.parse(doc) == table


# --- stringify ------------------------------------------------------------------

class Sub(list):
    pass


class Rev(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class MyStop(StopIteration):
    pass


class Failing:
    """Yields its items, then raises exc (a StopIteration subclass ends it)."""

    def __init__(self, items, exc):
        self.items, self.k, self.exc = items, 0, exc

    def __iter__(self):
        return self

    def __next__(self):
        if self.k < len(self.items):
            self.k += 1
            return self.items[self.k - 1]
        raise self.exc


def gen(items, exc=None):
    yield from items
    if exc is not None:
        raise exc


class Mine(str):
    def __str__(self):
        return "never used"


class Cell:
    """A cell that is not a string; what its conversion does depends on how."""

    def __init__(self, how, text, alt=None):
        self.how, self.text, self.alt, self.row, self.done = how, text, alt, None, False

    def __str__(self):
        how, text = self.how, self.text
        if how == "raise":
            raise KeyError(text)
        if how == "bad":
            return len(text)
        if how == "reenter":
            return vorn.stringify([[text], []])
        if how in ("grow", "clear") and not self.done and isinstance(self.row, list):
            self.done = True
            if how == "grow":
                self.row.append(text)
            else:
                self.row.clear()
        if how == "rehex":
            set_hex(self.alt)
        return text


def set_hex(value):
    if value == "delete":
        vorn.__dict__.pop("HEX", None)
    else:
        vorn.HEX = value


KINDS = ["list", "list", "list", "tuple", "iter", "gen", "sub", "rev", "fail", "stop", "genfail", "str"]
CELLS = ["str"] * 8 + ["mine", "int", "none", "list", "obj", "raise", "bad", "reenter", "grow", "clear", "rehex"]


def container(kind, items, tag):
    if kind == "list":
        return items
    if kind == "tuple":
        return tuple(items)
    if kind == "iter":
        return iter(items)
    if kind == "gen":
        return gen(items)
    if kind == "sub":
        return Sub(items)
    if kind == "rev":
        return Rev(items)
    if kind == "fail":
        return Failing(items, ValueError(tag))
    if kind == "stop":
        return Failing(items, MyStop(tag))
    if kind == "genfail":
        return gen(items, RuntimeError(tag))
    if kind == "str":
        return "".join(c if isinstance(c, str) else "?" for c in items)
    return 7 if kind == "int" else None


def recipe(src):
    """A description of a table, from which fresh objects can be built twice."""
    rows = []
    for r in range(src.below(6)):
        cells = []
        for _ in range(src.below(6)):
            how = CELLS[src.below(len(CELLS))]
            cells.append((how, src.text(CELL, 16), src.below(len(ALT_HEX)), src.below(10**6)))
        kind = (KINDS + ["int", "none"])[src.below(len(KINDS) + 2)]
        rows.append((kind, cells))
    table_kind = (KINDS + ["int"])[src.below(len(KINDS) + 1)]
    hex_choice = src.below(len(ALT_HEX)) if src.byte() % 3 == 0 else 0
    # Read last, so that inputs written before traps existed decode as they did.
    trap = (src.below(len(TRAPS)), 1 + src.below(8), src.byte() % 4 == 0) if src.byte() % 3 == 1 else None
    return table_kind, rows, hex_choice, trap


def scalar(number):
    """A number, boolean or float cell: mostly small ints, now and then one
    too large for a single digit of the int's storage, a float or a bool."""
    value = number - 500_000
    if number % 13 == 0:
        return float(value) / 64
    if number % 17 == 0:
        return value * 10 ** (number % 30)
    if number % 19 == 0:
        return value > 0
    if number % 23 == 0:
        return [float("inf"), float("nan"), -0.0, 1e22][number % 4]
    return value


def build(table_kind, rows):
    built = []
    for r, (kind, cells) in enumerate(rows):
        items = []
        for how, text, alt, number in cells:
            if how == "str":
                items.append(text)
            elif how == "mine":
                items.append(Mine(text))
            elif how == "int":
                items.append(scalar(number))
            elif how == "none":
                items.append(None)
            elif how == "list":
                items.append([text])
            else:
                items.append(Cell(how, text, ALT_HEX[alt]))
        for item in items:
            if isinstance(item, Cell):
                item.row = items
        built.append(container(kind, items, "row %d" % r))
    return container(table_kind, built, "table"), built


def stringify_model_live(table):
    """The writer as the tests model it: HEX read per cell, pieces joined at
    the end."""
    return stringify_walk_model(table, vorn)


# --- hostile module dictionaries --------------------------------------------------

def _list_rows(built):
    return [r for r in built if isinstance(r, list)]


def _change_row(built, change):
    rows = _list_rows(built)
    if rows:
        change(rows[0])


def _raise_value_error():
    raise ValueError("from __eq__")


# What a trap does when it fires, given the table's row list (the rows as
# built, before the table was wrapped in its container).
TRAPS = [
    lambda built: _change_row(built, lambda r: r.extend(["x" * 300, "\U0001f600\u20ac"])),
    lambda built: _change_row(built, list.clear),
    lambda built: built.clear(),
    lambda built: built.append(["late", "\u20ac" * 9]),
    lambda built: _change_row(built, lambda r: r and r.__setitem__(0, 7)),
    lambda built: _change_row(built, lambda r: r.insert(0, "\U0001f600" * 5)),
    lambda built: set_hex(UPPER_HEX),
    lambda built: set_hex("\U0001f600" * 16),
    lambda built: set_hex("delete"),
    lambda built: vorn.stringify([["nested", "\xe9"], built[:1]]),
    lambda built: _raise_value_error(),
    lambda built: gc.collect(),
]


class Trap:
    """A module-dictionary key with the hash of "HEX": every look-up of HEX
    compares it first, and its __eq__ runs an action on the look-up numbered
    fire_at (and on the next few when every is set, so that a growing row
    still ends)."""

    def __init__(self):
        self.action, self.fire_at, self.every, self.calls, self.busy = None, 0, False, 0, False

    def __hash__(self):
        return hash("HEX")

    def __eq__(self, other):
        self.calls += 1
        if self.action and not self.busy and (self.calls == self.fire_at or
                                              (self.every and self.fire_at < self.calls <= self.fire_at + 5)):
            self.busy = True  # a nested call's own look-ups do not fire again
            try:
                self.action()
            finally:
                self.busy = False
        return False


def install_trap(spec, built):
    action, fire_at, every = spec
    g = vorn.__dict__
    key = Trap()
    missing = object()
    value = g.pop("HEX", missing)
    g[key] = None
    if value is not missing:
        g["HEX"] = value
    # Armed once it is in place: putting HEX back compared with it too.
    key.action, key.fire_at, key.every = (lambda: TRAPS[action](built)), fire_at, every


def remove_traps():
    g = vorn.__dict__
    traps = [k for k in g if isinstance(k, Trap)]
    for key in traps:
        key.action = None
    for key in traps:
        del g[key]


def check_stringify(table_kind, rows, hex_choice, trap=None):
    start = ALT_HEX[hex_choice]

    def run(call):
        set_hex(start)
        table, built = build(table_kind, rows)
        if trap:
            install_trap(trap, built)
        try:
            return outcome(call, table)
        finally:
            remove_traps()

    try:
        got = run(vorn.stringify)
        want = run(stringify_model_live)
    finally:
        vorn.HEX = DEFAULT_HEX
    if got[0] == "ok" and want[0] == "ok":
        doc, seen = want[1]
        assert same_text(got[1], doc), (table_kind, rows, got, doc)
        rehexed = trap is not None or any(how == "rehex" for _, cells in rows for how, *_ in cells)
        if start in (DEFAULT_HEX, UPPER_HEX) and not rehexed and seen:
            assert vorn.parse(doc) == seen == parse_model(doc)
    else:
        assert got == want, (table_kind, rows, got, want)


# --- partitions -----------------------------------------------------------------

_SCRATCH = None


def scratch_path():
    """One file per process, rewritten for every case: regular files are
    read by offset, other streams by reads."""
    global _SCRATCH
    if _SCRATCH is None:
        fd, _SCRATCH = tempfile.mkstemp(prefix="vorn-fuzz-", suffix=".vorn")
        os.close(fd)
    return _SCRATCH


class Trickle(io.RawIOBase):
    """A stream that hands over at most step bytes per read."""

    def __init__(self, data, step):
        self.data, self.at, self.step = data, 0, step

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(self.step, len(buffer), len(self.data) - self.at)
        buffer[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n


def partition_outcome(source, size):
    try:
        return ("ok", vorn_io.partitions(source, size=size))
    except DecodeError as exc:
        return ("err", SyntaxError, exc.args, exc.position, exc.row)


def row_ends(doc):
    """Byte offsets in the UTF-8 form of doc, a valid document, at which its
    rows end (0 first), read from the document's own prefixes: a damaged
    document may spell a length with leading zeros or an upper-case digit
    count, which a row written anew would not."""
    ends, at, nbytes = [0], 0, 0

    def take(count):  # count code points from at, as UTF-8 bytes
        nonlocal at, nbytes
        nbytes += len(doc[at:at + count].encode("utf-8", "surrogatepass"))
        at += count

    while at < len(doc):
        if doc[at] == ";":
            take(1)
            ends.append(nbytes)
            continue
        digits = int(doc[at], 16) + 1
        length = int(doc[at + 1:at + 1 + digits])
        take(1 + digits)
        units = 0
        while units < length:
            units += 2 if ord(doc[at]) > 0xFFFF else 1
            take(1)
    return ends


def check_partitions(src):
    """A table drawn from every UTF-8 length class, now and then damaged:
    the partition pass over it, from memory and from a file or a stream
    that trickles, against parse of the whole. A valid document's ranges
    each read alone, concatenate to the table, number their first row right
    and end at the first row end at or past start + size; a malformed one
    is refused exactly as parse refuses it."""
    table = texts.table(src.below)
    doc = vorn.stringify(table)
    damaged = src.below(4) == 0 and doc
    if damaged:
        k = src.below(len(doc))
        ch = texts.char(src.below)
        doc = [doc[:k], doc[:k] + ch + doc[k:], doc[:k] + ch + doc[k + 1:], doc[:k] + doc[k + 1:]][src.below(4)]
    data = doc.encode("utf-8", "surrogatepass")
    size = 1 + src.below([8, 64, 300, len(data) + 2][src.below(4)])
    got = partition_outcome(io.BytesIO(data), size)
    if src.below(3) == 0:
        # A regular file is read by offset: the same ranges.
        path = scratch_path()
        with open(path, "wb") as f:
            f.write(data)
        assert partition_outcome(path, size) == got, (ascii(doc)[:300], size)
    else:
        assert partition_outcome(Trickle(data, 1 + src.below(80)), size) == got, (ascii(doc)[:300], size)
    want = outcome(vorn.parse, doc) if doc else ("ok", [])
    if got[0] == "err":
        assert want[0] == "err" and got[1:3] == want[1:3], (ascii(doc)[:300], size, got, want)
        return
    if want[0] == "err":
        # The pass checks the structure, not the cell text's UTF-8; a valid
        # structure that parse refuses is a fault of the pass.
        raise AssertionError(("partitions accepted what parse refuses", ascii(doc)[:300], size, want))
    whole = want[1]
    ranges = got[1]
    ends = row_ends(doc)
    assert len(ends) == len(whole) + 1, (ascii(doc)[:300], size)
    assert ranges[0][0] == 0 and ranges[-1][1] == len(data), (ascii(doc)[:300], size, ranges)
    rows = []
    for (start, end, first), nxt in zip(ranges, ranges[1:] + [None]):
        assert first == len(rows), (ascii(doc)[:300], size, ranges)
        if nxt is not None:
            assert nxt[0] == end and end == min(e for e in ends if e >= start + size), (ascii(doc)[:300], size, ranges)
        part = data[start:end].decode("utf-8", "surrogatepass")
        rows += vorn.parse(part) if part else []
    assert rows == whole, (ascii(doc)[:300], size, ranges)


# --- drivers --------------------------------------------------------------------

def one_input(data):
    src = Source(data)
    mode = src.byte() % 8
    if mode < 4:
        end = ALT_END[src.below(len(ALT_END))] if mode == 3 else END
        vorn.ErrUnexpectedEndOfInput = end
        try:
            check_parse(parse_case(src), end, src)
        finally:
            vorn.ErrUnexpectedEndOfInput = END
    else:
        check_stringify(*recipe(src))
    # The same bytes read backwards choose a partition case, so that every
    # input, old or new, also exercises the partition pass.
    check_partitions(Source(data[::-1]))


def replay(folders):
    count = 0
    for folder in folders:
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                data = f.read()
            try:
                one_input(data)
            except BaseException:
                print("failing input:", path, file=sys.stderr)
                raise
            count += 1
    return count


def random_driver(argv):
    import argparse

    ap = argparse.ArgumentParser(description="Seeded random driver for the vorn harness.")
    ap.add_argument("--random", action="store_true")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--runs", type=int, default=0, help="stop after this many inputs (0: no limit)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--artifacts", default="build/fuzz")
    ap.add_argument("folders", nargs="*")
    args = ap.parse_args(argv)
    replayed = replay(args.folders)
    rng = random.Random(args.seed)
    deadline = time.monotonic() + args.seconds
    runs = 0
    while time.monotonic() < deadline and (not args.runs or runs < args.runs):
        data = rng.randbytes(rng.choice([rng.randrange(16), rng.randrange(64), rng.randrange(512)]))
        try:
            one_input(data)
        except BaseException:
            os.makedirs(args.artifacts, exist_ok=True)
            path = os.path.join(args.artifacts, "crash-seed%d-run%d" % (args.seed, runs))
            with open(path, "wb") as f:
                f.write(data)
            print("failing input written to", path, file=sys.stderr)
            raise
        runs += 1
    print("random driver: %d corpus inputs replayed, %d random inputs run, seed %d" % (replayed, runs, args.seed))


def main():
    if USE_ATHERIS:
        # libFuzzer runs argv[0] again for -merge, -fork and -jobs.
        argv0 = "%s %s" % (sys.executable, os.path.abspath(__file__))
        atheris.Setup([argv0] + sys.argv[1:], one_input)
        atheris.Fuzz()
    else:
        random_driver(sys.argv[1:])


if __name__ == "__main__":
    main()
