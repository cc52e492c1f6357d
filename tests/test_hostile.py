"""Callers that change the table or the globals while stringify reads them.

The module's dictionary can hold a key whose hash equals hash("HEX"); every
look-up of HEX then calls that key's __eq__, which may do anything. Whatever
it does, stringify must give exactly what a reading of the live table gives
(tests/model.py), or that reading's exception: never a crash, and never a
document sized for a table that has since changed.
"""
import gc
import sys

import pytest

import vorn
from model import stringify_walk_model

HEX = "0123456789abcdef"


class Trap:
    """A module-dictionary key that looks like HEX to the hash table and runs
    action() from its __eq__ on the look-up numbered fire_at (1-based)."""

    def __init__(self, action, fire_at=1, every=False):
        self.action, self.fire_at, self.every, self.calls = action, fire_at, every, 0

    def __hash__(self):
        return hash("HEX")

    def __eq__(self, other):
        self.calls += 1
        if self.calls == self.fire_at or (self.every and self.calls > self.fire_at):
            self.action()
        return False


@pytest.fixture
def trap():
    """Installs Trap keys in front of HEX, so that each look-up meets them
    first; the dictionary and HEX are restored afterwards."""
    g = vorn.__dict__

    def install(action, fire_at=1, every=False):
        key = Trap(lambda: None, fire_at, every)
        value = g.pop("HEX", HEX)
        g[key] = None
        g["HEX"] = value
        # Armed only now: putting HEX back compared it with the trap too.
        key.action, key.calls = action, 0
        return key

    yield install
    remove_traps()
    g["HEX"] = HEX


def remove_traps():
    g = vorn.__dict__
    traps = [k for k in g if isinstance(k, Trap)]
    for key in traps:
        key.action = lambda: None
    for key in traps:
        del g[key]


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001 - compared below
        return type(e), e.args


def run_both(trap, make):
    """make(trap) builds a fresh table and installs a fresh trap; both the
    module and the model get their own, so each meets the same events."""
    got = outcome(vorn.stringify, make(trap))
    remove_traps()
    vorn.__dict__["HEX"] = HEX
    want = outcome(lambda t: stringify_walk_model(t, vorn)[0], make(trap))
    assert got == want
    return got


BIG = "x" * 100_000


def scenario(change):
    """A table of exact lists; change(table, row) runs from __eq__ at the
    second cell's HEX look-up."""
    def make(trap):
        row = ["a", "bc", "def", "\U0001f600"]
        table = [row, ["z", "\xe9"], []]
        trap(lambda: change(table, row), fire_at=2)
        return table
    return make


CHANGES = {
    "row extended": lambda t, r: r.extend([BIG] * 4),
    "row cleared": lambda t, r: r.clear(),
    "table cleared": lambda t, r: t.clear(),
    "table extended": lambda t, r: t.extend([[BIG, "\U0001f600" * 3]] * 3),
    "cell replaced by int": lambda t, r: r.__setitem__(2, 12345),
    "cell replaced by None": lambda t, r: r.__setitem__(3, None),
    "row replaced": lambda t, r: t.__setitem__(0, ("p", "q")),
    "later row widened": lambda t, r: t[1].append("\u20ac" * 50),
    "HEX rebound": lambda t, r: setattr(vorn, "HEX", "ABCDEFGHIJKLMNOP"),
    "HEX made wide": lambda t, r: setattr(vorn, "HEX", "\U0001f600" * 16),
    "HEX made a list": lambda t, r: setattr(vorn, "HEX", list(HEX)),
    "HEX deleted": lambda t, r: vorn.__dict__.pop("HEX"),
    "HEX too short": lambda t, r: setattr(vorn, "HEX", ""),
    "nested stringify": lambda t, r: vorn.stringify([["nested", BIG]]),
    "collection": lambda t, r: gc.collect(),
}


@pytest.mark.parametrize("name", sorted(CHANGES))
def test_change_during_hex_lookup_matches_live_reading(trap, name):
    run_both(trap, scenario(CHANGES[name]))


@pytest.mark.parametrize("tuple_table", [False, True])
def test_issue_scenario_row_grows_after_first_lookup(trap, tuple_table):
    def make(trap):
        row = ["a"]

        def grow():
            row.extend(["x" * 100000] * 4)
        trap(grow)
        return (row,) if tuple_table else [row]
    # The walk re-reads the row's length, so it writes the four new cells.
    assert run_both(trap, make) == ("ok", "01a" + ("5100000" + "x" * 100000) * 4 + ";")


def test_change_at_every_lookup(trap):
    """The row grows at every look-up until it holds 50 cells."""
    def make(trap):
        row = ["seed"]
        trap(lambda: len(row) < 50 and row.append("\u20ac" * len(row)), every=True)
        return [row, row]
    status, doc = run_both(trap, make)
    assert status == "ok" and doc.count(";") == 2


def test_exception_from_eq_is_swallowed_and_builtins_consulted(trap):
    def fail():
        raise ValueError("from __eq__")

    def make(trap):
        trap(fail, every=True)
        return [["a", "b"]]
    # The look-up goes on to the builtins, where HEX is not bound.
    assert run_both(trap, make) == (NameError, ("name 'HEX' is not defined",))


def test_base_exception_from_eq_propagates(trap):
    class Stop(BaseException):
        pass

    def fail():
        raise Stop

    trap(fail)
    with pytest.raises(Stop):
        vorn.stringify([["a"]])


def test_nested_call_that_itself_meets_the_trap(trap):
    """__eq__ calls stringify, whose own look-ups run __eq__ again."""
    depth = []

    def reenter():
        if len(depth) < 5:
            depth.append(1)
            inner.append(vorn.stringify([["in", str(len(depth))]]))

    inner = []
    trap(reenter, every=True)
    doc = vorn.stringify([["a", "b", "c"]])
    assert doc == "01a01b01c;"
    assert inner and all(s.startswith("02in01") for s in inner)


def test_table_rows_released_during_lookup_stay_alive(trap):
    """Cells whose last reference went away during the look-up are still
    written from the module's own reference."""
    class Cell(str):
        pass

    def make(trap):
        table = [[Cell("k" * 10), Cell("m" * 20)]]
        trap(lambda: table[0].clear(), fire_at=1)
        return table
    status, doc = run_both(trap, make)
    assert status == "ok" and doc == "110" + "k" * 10 + ";"


def test_plain_tables_untouched_by_str_keys():
    """Extra exact-str globals do not change the result."""
    vorn.__dict__["extra_global"] = 1
    try:
        assert vorn.stringify([["a", "bc"], []]) == "01a02bc;;"
    finally:
        del vorn.__dict__["extra_global"]


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
def test_no_reference_leaked_when_table_changes(trap):
    row = ["a", "b"]
    keep = "kept" * 10
    before = sys.getrefcount(keep)
    trap(lambda: len(row) < 6 and row.append(keep), every=True)
    for _ in range(20):
        vorn.stringify([row])
        del row[2:]
    assert sys.getrefcount(keep) == before
