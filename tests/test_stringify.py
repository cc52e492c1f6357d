"""vorn.stringify: documents written, walking of the input, the HEX global
read per cell, and what a call leaves behind on success and failure.

Exact lists and tuples of str are measured, then written; anything else goes
through the single-pass writer, so most cases run through every FORM.
"""
import builtins
import gc
import itertools
import sys
import traceback
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

import texts
import vorn
from model import parse_model, stringify_model

DEFAULT_HEX = "0123456789abcdef"


Sub = type("Sub", (list,), {})
MyStop = type("MyStop", (StopIteration,), {})
FORMS = {"list": lambda t: [list(r) for r in t], "tuple": lambda t: tuple(tuple(r) for r in t),
         "iter": lambda t: iter([iter(r) for r in t]), "sub": lambda t: Sub(Sub(r) for r in t)}
forms = pytest.mark.parametrize("form", sorted(FORMS))


def same(got, want):
    """Equal text, held in the canonical storage for it."""
    assert type(got) is str and got == want
    assert got.isascii() == want.isascii() and sys.getsizeof(got) == sys.getsizeof(want)


def cell(to_str):
    """An object whose string conversion is to_str(self)."""
    return type("Cell", (), {"__str__": to_str})()


def _raise(exc):
    raise exc


class Iter:
    """Yields items, then raises exc."""
    def __init__(self, items, exc):
        self.items, self.exc = list(items), exc

    def __iter__(self):
        return self

    def __next__(self):
        return self.items.pop(0) if self.items else _raise(self.exc)


class Boom:
    def __str__(self):
        raise ValueError("boom")


@pytest.fixture
def hex_():
    saved = vorn.HEX
    yield
    vorn.HEX = saved


@forms
@pytest.mark.parametrize("table, want", [
    ([], ""), ([[]], ";"), ([[], []], ";;"), ([[""]], "00;"), ([["a", "bc"], []], "01a02bc;;"),
    ([["x" * 9]], "09" + "x" * 9 + ";"), ([["x" * 10]], "110" + "x" * 10 + ";"), ([["x;y"]], "03x;y;"),
    ([["\U0001F600"]], "02\U0001F600;"), ([["a\U0001F600"]], "03a\U0001F600;"), ([["\ud800"]], "01\ud800;"),
    ([[None, 5]], "04None015;"), ([[["x"]]], "05['x'];"), ([["\u20ac" * 123]], "2123" + "\u20ac" * 123 + ";"),
])
def test_documents(form, table, want):
    same(vorn.stringify(FORMS[form](table)), want)


@pytest.mark.parametrize("table, want", [
    (["ab"], "01a01b;"), ("ab", "01a;01b;"), ([("\xe9", "\U0001F600")], "01\xe902\U0001F600;"),
    (iter(["\ud800\U00010000"]), "01\ud80002\U00010000;"),
])
def test_strings_as_rows_and_tables(table, want):
    same(vorn.stringify(table), want)


@forms
@pytest.mark.parametrize("order", list(itertools.permutations(["a", "\xe9", "\u20ac", "\U0001F600"])),
                         ids=lambda o: "".join("%x" % len(ascii(c)) for c in o))
@pytest.mark.parametrize("layout", ["cells", "rows", "one cell", "long", "uniform"])
def test_mixed_widths(form, order, layout):
    # "long" widens the document only after much narrower text is written.
    table = {"cells": [list(order)], "rows": [[c] for c in order], "one cell": [["".join(order)]],
             "long": [[c * (150 - 40 * k) for k, c in enumerate(order)] + ["\udc00"]],
             "uniform": [[order[0], order[0] * 11], [order[0]]]}[layout]
    same(vorn.stringify(FORMS[form](table)), stringify_model(table))


def _cell(n, astral, filler, big):
    return "".join(big if k in astral else filler for k in range(n))


BLOCK_CELLS = [_cell(n, {p}, f, b) for n in (7, 8, 9, 15, 16, 17) for p in (0, 6, 7, 8, 15, 16, n - 1) if p < n
               for f in ("a", "\uffff", "\udfff") for b in ("\U00010000", "\U0010FFFF")]
BLOCK_CELLS += [_cell(n, range(n), "a", "\U0001F600") for n in (1, 7, 8, 9, 15, 16, 17, 33)]


@pytest.mark.parametrize("text", BLOCK_CELLS, ids=range(len(BLOCK_CELLS)))
def test_utf16_length_at_block_boundaries(text):
    units = sum(2 if ord(c) > 0xFFFF else 1 for c in text)
    for form in ("list", "iter"):
        same(vorn.stringify(FORMS[form]([[text]])), "%x%d%s;" % (len(str(units)) - 1, units, text))


def test_walks():
    class Reversed(list):
        def __iter__(self):
            return reversed(list(super().__iter__()))
    same(vorn.stringify(Reversed([["a", "b"], Reversed(["c", "d"])])), "01d01c;01a01b;")
    same(vorn.stringify([Iter(["a"], MyStop()), ["b"]]), "01a;01b;")
    same(vorn.stringify(Iter([["a"]], MyStop("x"))), "01a;")

    class Mine(str):
        def __str__(self):
            return "other"
    for form in FORMS.values():
        same(vorn.stringify(form([[Mine("m\xe9"), Mine("")]])), "02m\xe900;")
    same(vorn.stringify([[cell(lambda self: vorn.stringify([["in"]]))]]), "0502in;;")


def test_containers_changed_while_walked():
    def grow(self):
        if len(table) < 3:
            table.append([cell(grow)])
            table[0].append("t")
        return "g"
    table = [[cell(grow)]]
    same(vorn.stringify(table), "01g01t;01g;01g;")
    # Rows and cells dropped from their containers while walked stay alive.
    table = [[cell(lambda self: table.clear() or "c"), "b"], ["never"]]
    same(vorn.stringify(table), "01c01b;")
    row = [cell(lambda self: row.clear() or "p"), "x"]
    same(vorn.stringify([row]), "01p;")


@pytest.mark.parametrize("table, exc", [
    (5, TypeError), (None, TypeError), ([["a"], 5], TypeError), (iter([["a"], None]), TypeError),
    ([[Boom()]], ValueError), (Iter([["a"]], ValueError("x")), ValueError),
    ([["a"], Iter(["b"], KeyError(1))], KeyError), (Sub([Iter([], RuntimeError())]), RuntimeError),
    ([[cell(lambda self: 3)]], TypeError),
])
def test_failures_propagate_with_one_entry(table, exc):
    with pytest.raises(exc) as info:
        vorn.stringify(table)
    tb = traceback.extract_tb(info.value.__traceback__)
    ours = [k for k, e in enumerate(tb) if e.name == "vorn.stringify"]
    assert len(ours) == 1 and tb[ours[0]].lineno == 23
    # Only the callback that raised may follow; errors of our own end the trace.
    assert all(e.filename == __file__ for e in tb[ours[0] + 1:])
    assert exc is not TypeError or ours[0] == len(tb) - 1


class Angled(str):
    def __getitem__(self, index):
        return "<%d>" % index


@forms
@pytest.mark.parametrize("new", ["ghijklmnopqrstuv", "\xe9bcdefghijklmnop", "\u20acbcdefghijklmnop",
                                 "\U0001F600bcdefghijklmnop", "0123456789abcde\u20ac", list(DEFAULT_HEX),
                                 ["<%d>" % k for k in range(16)], Angled(DEFAULT_HEX), {0: "x", 1: "\xe9", 2: ""}])
def test_hex_rebound(hex_, form, new):
    vorn.HEX = new
    table = [["a", "x" * 10], [], ["\xe9" * 100]]
    same(vorn.stringify(FORMS[form](table)), stringify_model(table, hex_digits=new))


@forms
@pytest.mark.parametrize("cells, ok", [(["x" * 9], True), (["\U0001F600" * 4 + "x"], True),
                                       (["a", "x" * 10], False), (["\U0001F600" * 5], False)])
def test_hex_one_character(hex_, form, cells, ok):
    vorn.HEX = "0"
    if ok:
        same(vorn.stringify(FORMS[form]([cells])), stringify_model([cells], hex_digits="0"))
    else:
        with pytest.raises(IndexError):
            vorn.stringify(FORMS[form]([cells]))


@pytest.mark.parametrize("table, index", [
    ([["x" * 10]], 0), ([["a", "b"], ["c" * 10, "d" * 10]], 7), ([[], [], ["a", "x" * 10]], 5),
    ([["y" * 10], ["x" * 10, "z"]], 0),
])
def test_hex_element_not_str(hex_, table, index):
    vorn.HEX = list(DEFAULT_HEX)
    vorn.HEX[1] = 1
    for form in FORMS.values():
        with pytest.raises(TypeError, match=r"^sequence item %d: expected str instance, int found$" % index):
            vorn.stringify(form(table))
    # The error is raised after the last cell has been converted.
    log = []
    with pytest.raises(TypeError):
        vorn.stringify([[cell(lambda self, t=t: log.append(t) or t) for t in row] for row in table])
    assert log == [t for row in table for t in row]
    vorn.HEX = ["0", 1]  # a missing element is reported before a bad one
    with pytest.raises(IndexError):
        vorn.stringify(table + [["x" * 100]])


@forms
def test_hex_deleted(hex_, form, monkeypatch):
    del vorn.HEX
    same(vorn.stringify(FORMS[form]([])), "")
    same(vorn.stringify(FORMS[form]([[], [], []])), ";;;")
    with pytest.raises(NameError, match=r"^name 'HEX' is not defined$"):
        vorn.stringify(FORMS[form]([[], ["a"]]))
    monkeypatch.setattr(builtins, "HEX", "ABCDEFGHIJKLMNOP", raising=False)
    same(vorn.stringify(FORMS[form]([["a" * 10]])), "B10" + "a" * 10 + ";")


def test_hex_rebound_by_a_cell(hex_):
    rebind = cell(lambda self: setattr(vorn, "HEX", "ABCDEFGHIJKLMNOP") or "r")
    same(vorn.stringify([["a" * 10, rebind, "b" * 10]]), "110" + "a" * 10 + "A1rB10" + "b" * 10 + ";")


CHAR = st.one_of(st.characters(exclude_categories=()), st.characters(min_codepoint=0x10000),
                 st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
                 st.sampled_from([";", "0", "9", "a", "\xe9", "\u20ac", "\U0001F600"]))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.one_of(st.text(CHAR, max_size=20), texts.cell_texts(surrogates=True)), max_size=5),
                min_size=1, max_size=5),
       st.sampled_from(sorted(FORMS)))
def test_round_trip(table, form):
    text = vorn.stringify(FORMS[form](table))
    same(text, stringify_model(table))
    assert vorn.parse(text) == table == parse_model(text)


def _exercise():
    ok = [["a", "\xe9" * 3], [], ["\U0001F600" * 9, "\u20ac"]]
    for form in FORMS.values():
        for table in (form(ok), form([["a", Boom()]]), form([["x" * 10]]), [["a"], 5], [Iter(["b"], KeyError(1))]):
            try:
                vorn.stringify(table)
            except (ValueError, TypeError, KeyError, IndexError):
                pass


def test_no_memory_growth(hex_):
    for vorn.HEX in (DEFAULT_HEX, "0", list("0123456789")):
        tracemalloc.start()
        try:
            for _ in range(50):
                _exercise()
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(300):
                _exercise()
            gc.collect()
            assert tracemalloc.get_traced_memory()[0] - before < 4096
        finally:
            tracemalloc.stop()


def test_reference_counts():
    cells = ["".join(["cell", str(k), "\xe9" * k]) for k in range(3)] + ["\U0001F600" + str(object())]
    good, bad = list(cells), cells[:2] + [Boom()] + cells[2:]
    objects = [good, bad, *cells]
    before = [sys.getrefcount(o) for o in objects]
    for table in ([good], [good, bad], (good,), Sub([Sub(good), Sub(bad)]), [iter(good), iter(bad)]):
        counts = sys.getrefcount(table)
        try:
            vorn.stringify(table)
        except ValueError:
            pass
        assert sys.getrefcount(table) == counts
        del table
    assert [sys.getrefcount(o) for o in objects] == before
