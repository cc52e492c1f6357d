"""Threads, re-entry, the memory that hostile inputs may take, and the
fuzzing harness's stored inputs replayed as regression cases."""
import importlib.util
import os
import random
import sys
import threading
import tracemalloc

import pytest

import vorn
from model import stringify_model

E = "\U0001f600"
DEFAULT_HEX, UPPER_HEX = "0123456789abcdef", "0123456789ABCDEF"
FUZZ = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz")


def load_harness():
    spec = importlib.util.spec_from_file_location("vorn_fuzz", os.path.join(FUZZ, "vorn_fuzz.py"))
    harness = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(harness)
    return harness


def test_stored_fuzz_inputs_and_a_seeded_pass():
    harness = load_harness()
    paths = [os.path.join(FUZZ, d, name) for d in ("seeds", "regressions")
             for name in sorted(os.listdir(os.path.join(FUZZ, d))) if not name.endswith(".md")]
    assert paths
    for path in paths:
        with open(path, "rb") as f:
            harness.one_input(f.read())
    rng = random.Random(2024)
    for _ in range(1500):
        harness.one_input(rng.randbytes(rng.choice([8, 40, 300])))
    assert vorn.HEX == DEFAULT_HEX and vorn.ErrUnexpectedEndOfInput == "Unexpected end of input"


class Reenter:
    """A cell whose conversion writes another document (and lets threads switch)."""

    def __init__(self, depth=0):
        self.depth = depth

    def __str__(self):
        inner = [["in"]] if self.depth == 0 else [["<", Reenter(self.depth - 1)], []]
        return vorn.stringify(inner)


def test_deep_reentry():
    expect = stringify_model([["in"]])
    for _ in range(40):
        expect = stringify_model([["<", expect], []])
    assert vorn.stringify([[Reenter(40)], ("t",)]) == stringify_model([[expect], ["t"]])


@pytest.fixture
def fast_switching():
    interval, saved_hex = sys.getswitchinterval(), vorn.HEX
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)
    vorn.HEX = saved_hex


def test_threads_share_inputs_while_tables_and_hex_change(fast_switching):
    cells = ["a", "\xe9" * 11, "\u20ac;", E * 5, "\ud800", "x" * 120, ""]
    allowed = set(cells) | {"02in;"}
    docs = {stringify_model(t): t for t in ([[c] for c in cells], [cells, [], cells[::-1]], [[E + "0" * 99]])}
    table = [list(cells), [Reenter(), "a"], []]
    refs = [sys.getrefcount(d) for d in docs]
    done, errors = [], []
    lock = threading.Lock()  # between the mutators only

    def run(name, body, times):
        try:
            for k in range(times):
                body(k)
            done.append(name)
        except BaseException as exc:  # reported below, with the thread's name
            errors.append((name, exc))

    def parse(k):
        for doc, want in docs.items():
            assert vorn.parse(doc) == want

    def write(k):
        text = vorn.stringify(table if k % 2 else iter(table))
        rows = vorn.parse(text) if text else []
        assert len(rows) <= 6 and all(cell in allowed for row in rows for cell in row), text

    def mutate(k):
        with lock:
            change(random.Random(k))

    def change(rng):
        row = table[rng.randrange(len(table))]
        op = rng.randrange(5)
        if op == 0 and len(row) < 12:
            row.append(rng.choice(cells + [Reenter()]))
        elif op == 1 and row:
            row.pop(rng.randrange(len(row)))
        elif op == 2 and row:
            row[rng.randrange(len(row))] = rng.choice(cells)
        elif op == 3 and len(table) < 6:
            table.append([rng.choice(cells), Reenter()])
        elif op == 4 and len(table) > 1:
            table.pop()

    def rebind(k):
        vorn.HEX = UPPER_HEX if k % 2 else DEFAULT_HEX

    jobs = [("parse", parse, 150)] * 3 + [("write", write, 300)] * 3 + [("mutate", mutate, 3000)] * 2 \
        + [("rebind", rebind, 3000)]
    threads = [threading.Thread(target=run, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and sorted(done) == sorted(job[0] for job in jobs)
    assert [sys.getrefcount(d) for d in docs] == refs


def peak_of(call, *args):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        try:
            result = call(*args)
        except SyntaxError as exc:
            result = exc
        return result, tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("char", ["a", "\xe9", "\u0101", E])
def test_memory_taken_by_hostile_inputs(char):
    n, width = 10**6, 1 if char < "\u0100" else 2 if char < "\uffff" else 4
    big = char * n
    nines = "f" + "9" * 16
    # A length of sixteen nines at the start, in the middle or at the very end
    # of a large input: nothing beyond what was read so far is allocated.
    for doc, bound in [(nines + big + ";", 2**16), (stringify_model([[big]]) + nines, 2 * n * width + 2**16),
                       (stringify_model([[big]]) + nines + "x;", 2 * n * width + 2**16)]:
        error, peak = peak_of(vorn.parse, doc)
        assert error.args == ("Unexpected end of input",) and peak < bound
    # Writing takes the document and little more, on either path.
    doc = stringify_model([[big], ["x"]])
    for table in ([[big], ["x"]], iter([iter([big]), ("x",)])):
        text, peak = peak_of(vorn.stringify, table)
        assert text == doc and peak < 3 * sys.getsizeof(doc) + 2**16


def test_memory_taken_by_millions_of_empty_rows():
    # Millions of empty rows: one small list each, and a document of one
    # character each.
    rows, peak = peak_of(vorn.parse, ";" * 10**6)
    assert len(rows) == 10**6 and peak < 10**6 * 100
    text, peak = peak_of(vorn.stringify, rows)
    assert text == ";" * 10**6 and peak < 2 * 10**6
