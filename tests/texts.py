"""Cell text for property tests and the fuzzer, from one generator.

Every cell is drawn from every UTF-8 length class: 1-byte characters
(structure among them: ";", digits, hex letters, line breaks), 2-, 3- and
4-byte sequences whose continuation bytes take every value from 0x80 to
0xBF, in the last place and in the middle ones, U+FEFF, U+FFFF and U+10FFFF,
and, where asked, lone surrogates. Lengths run from 0 to several hundred
characters, past every vector width (16, 32 and 64 bytes) and their tails.

The generator takes ``below(n)``, a function returning an int in [0, n):
the fuzzer passes its input's decisions, hypothesis its draws
(``cell_texts()`` below), so both explore the same space.
"""

from __future__ import annotations

from collections.abc import Callable

Below = Callable[[int], int]

STRUCTURE = ";;0123456789abcdefABCDEF\n\r\t x"
# Characters whose UTF-8 ends in 0xBF (or holds it in the middle), and the
# ends of the ranges: the bytes a miscounting vector path trips over.
SPECIAL = ["\xbf", "\xff", "\u00bf", "\u043f", "\u03bf", "\u30bf", "\u3002", "\u513f", "\ufeff", "\uffff",
           "\U0010ffff", "\U00010000", "\u07ff", "\u0800", "\U0001f600", "\u0fff", "\U0003ffff"]

# Longest runs of characters in a cell, by length class: empty, short, and
# past 16, 32 and 64 bytes (a 4-byte character takes 2 units).
LENGTHS = [(0, 0), (1, 15), (16, 70), (60, 140), (120, 420)]


def _continuation(below: Below, low: int = 0x80, high: int = 0xBF) -> int:
    return low + below(high - low + 1)


def char(below: Below, surrogates: bool = False) -> str:
    """One character of any UTF-8 length, every continuation byte value reachable."""
    kind = below(9 if surrogates else 8)
    if kind == 0:
        return STRUCTURE[below(len(STRUCTURE))]
    if kind == 1:
        return chr(below(0x80))
    if kind == 2:
        return bytes([0xC2 + below(30), _continuation(below)]).decode()
    if kind in (3, 4):
        lead = 0xE0 + below(16)
        # The second byte of E0 and ED sequences is limited: no overlong
        # forms, no surrogates.
        second = (_continuation(below, 0xA0) if lead == 0xE0 else
                  _continuation(below, 0x80, 0x9F) if lead == 0xED else _continuation(below))
        return bytes([lead, second, _continuation(below)]).decode()
    if kind == 5:
        lead = 0xF0 + below(5)
        second = (_continuation(below, 0x90) if lead == 0xF0 else
                  _continuation(below, 0x80, 0x8F) if lead == 0xF4 else _continuation(below))
        return bytes([lead, second, _continuation(below), _continuation(below)]).decode()
    if kind in (6, 7):
        return SPECIAL[below(len(SPECIAL))]
    return chr(0xD800 + below(0x800))


def text(below: Below, surrogates: bool = False) -> str:
    """A cell: a motif of a few characters repeated to a length from one of
    the length classes, with a few characters of any class put in anywhere,
    so that long cells hold varied bytes at every offset of a vector."""
    low, high = LENGTHS[below(len(LENGTHS))]
    length = low + below(high - low + 1)
    if length == 0:
        return ""
    motif = "".join(char(below, surrogates) for _ in range(1 + below(min(length, 8))))
    cell = list((motif * (length // len(motif) + 1))[:length])
    for _ in range(below(4)):
        cell[below(length)] = char(below, surrogates)
    return "".join(cell)


def table(below: Below, surrogates: bool = False, rows: int = 6, cells: int = 5) -> list[list[str]]:
    return [[text(below, surrogates) for _ in range(below(cells + 1))] for _ in range(below(rows + 1))]


try:
    from hypothesis import strategies as st
except ImportError:  # the fuzzer's random driver needs no hypothesis
    st = None
else:
    @st.composite
    def cell_texts(draw: Callable[..., int], surrogates: bool = False) -> str:
        return text(lambda n: draw(st.integers(0, n - 1)), surrogates)

    def tables(surrogates: bool = False, min_rows: int = 0, max_rows: int = 8, max_cells: int = 5):  # type: ignore[no-untyped-def]
        return st.lists(st.lists(cell_texts(surrogates), max_size=max_cells), min_size=min_rows, max_size=max_rows)
