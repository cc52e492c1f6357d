"""Measuring a table a batch of rows at a time.

Most work is done on whole batches with built-in functions: a batch whose
text is all below U+0100 (the usual case) needs no look at single cells
beyond their lengths; cells are looked at one by one only in batches that
hold wider characters.
"""

from __future__ import annotations

import collections
import itertools
import operator
from collections.abc import Iterable, Sequence
from typing import Any

from vorn_io._text import utf16_len

_chain = itertools.chain.from_iterable

# A string takes a header of fixed size (str.__sizeof__), plus its storage width for each
# character and for the terminating one (a string that is all ASCII has a
# smaller header), as long as it holds no cached UTF-8 form. So a string's
# size in memory less its length times a width is a constant for the strings
# of that width and no other: counting those gives the cells of each width
# without running Python code per cell. A size off that formula (a cached
# UTF-8 form) is caught below and in Stats._wide. The sizes are checked here
# against strings of known widths; where they don't fit (another interpreter
# build), widths are found cell by cell.
_HEAD = str.__sizeof__(chr(0x100) * 2) - 6
_ASCII_HEAD = str.__sizeof__("ab") - 3
_MARK = {1: _HEAD + 1, 2: _HEAD + 2, 4: _HEAD + 4}  # size - width * length, by width
# size - 2 * length of a string of width 1 whose cached UTF-8 form is one byte
# longer than it (a size that no other string has).
_CACHED_NARROW = _HEAD + 3


def _size_fits(text: str, width: int) -> bool:
    marks = {w: str.__sizeof__(text) - w * len(text) for w in (1, 2, 4)}
    if width == 0:
        return marks[1] == _ASCII_HEAD + 1 and all(
            marks[w] != _MARK[w] for w in (1, 2, 4))
    return marks[width] == _MARK[width] and all(
        marks[w] != _MARK[w] for w in (1, 2, 4) if w != width) and marks[1] != _ASCII_HEAD + 1


_SIZES_SHOW_WIDTH = (
    all(_size_fits(t, 0) for t in ("", "a", "a" * 15, "a" * 1000))
    and all(_size_fits(chr(0xe9) * n + t, 1) for n, t in ((2, ""), (999, "a")))
    and all(_size_fits(chr(c) * n, 2) for c, n in ((0x100, 1), (0xd800, 3), (0xffff, 999)))
    and all(_size_fits(chr(0x1f600) * n, 4) for n in (1, 1000)))


def _n(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _length(units: int, points: int) -> str:
    extra = f" ({_n(points, 'code point')})" if units != points else ""
    return _n(units, "UTF-16 unit") + extra


class Stats:
    def __init__(self, header: bool = False) -> None:
        self.header: list[str] | None = None
        self._want_header = header
        self.rows = 0  # rows measured (the header row is not one of them)
        self.cells = 0
        self.widths = {1: 0, 2: 0, 4: 0}
        self.longest = (-1, 0, 0, 0)  # UTF-16 units, code points, row, cell
        self.widest = (-1, 0)  # cells, row
        self.lengths: collections.Counter[int] = collections.Counter()
        self.expected: int | None = None  # the length rows are compared with
        self.ragged = 0
        self.first_ragged: int | None = None
        self._first_row = 1

    def add(self, batch: Sequence[list[str]], narrow: bool = False) -> None:
        """Measures the next rows; narrow says that no character in them is
        U+0100 or above (so that each cell's length is its UTF-16 length)."""
        if self._want_header and self.header is None and batch:
            self.header = list(batch[0])
            self.expected = len(self.header)
            self._first_row = 2
            batch = batch[1:]
            if not batch:
                return
        base = self.rows + self._first_row  # document row number of batch[0]
        self.rows += len(batch)
        if self.expected is None:
            self.expected = len(batch[0])
        kinds = set(map(len, batch))
        if len(kinds) == 1:  # the usual batch: every row equally long
            top = len(batch[0])
            self.lengths[top] += len(batch)
            count = top * len(batch)
            if top != self.expected:
                self.ragged += len(batch)
                if self.first_ragged is None:
                    self.first_ragged = base
            at = 0
        else:
            lens = list(map(len, batch))
            self.lengths.update(lens)
            top = max(kinds)
            count = sum(lens)
            same = lens.count(self.expected)
            if same != len(lens):
                self.ragged += len(lens) - same
                if self.first_ragged is None:
                    self.first_ragged = base + next(
                        i for i, n in enumerate(lens) if n != self.expected)
            at = lens.index(top)
        if top > self.widest[0]:
            self.widest = (top, base + at)
        if not count:
            return
        self.cells += count
        if narrow:
            self.widths[1] += count
            longest = max(map(len, _chain(batch)))
            if longest > self.longest[0]:
                self._locate_longest(batch, base, longest, list(map(len, _chain(batch))))
            return
        cells = list(_chain(batch))
        if "".join(cells).isascii():
            self.widths[1] += len(cells)
            longest = max(map(len, cells))
            if longest > self.longest[0]:
                self._locate_longest(batch, base, longest, list(map(len, cells)))
            return
        sizes = self._wide(cells)
        longest = max(sizes)
        if longest > self.longest[0]:
            self._locate_longest(batch, base, longest, sizes)

    def _locate_longest(self, batch: Sequence[list[str]], base: int, longest: int,
                        sizes: list[int]) -> None:
        k = sizes.index(longest)
        r = 0
        while k >= len(batch[r]):
            k -= len(batch[r])
            r += 1
        self.longest = (longest, len(batch[r][k]), base + r, k + 1)

    def _wide(self, cells: list[str]) -> list[int]:
        """UTF-16 lengths of cells some of which are not ASCII, counting their
        storage widths on the way."""
        sizes = list(map(len, cells))
        widths = self.widths
        ascii_cells = list(map(str.isascii, cells))
        few = ascii_cells.count(False) * 8 < len(cells)
        others: Iterable[int]
        if few or not _SIZES_SHOW_WIDTH:
            others = list(itertools.compress(range(len(cells)),
                                             map(operator.not_, ascii_cells)))
            widths[1] += len(cells) - len(others)
        else:
            n = len(cells)
            memory = list(map(str.__sizeof__, cells))
            marks = {1: list(map(operator.sub, memory, sizes))}
            marks[2] = list(map(operator.sub, marks[1], sizes))
            # Width 1 is also a string that holds its UTF-8 form of one byte
            # more than its length: the one-character strings U+0080 to U+00FF
            # that the interpreter shares, and others like them.
            narrow = (ascii_cells.count(True) + marks[1].count(_MARK[1])
                      + marks[2].count(_CACHED_NARROW))
            wide = marks[2].count(_MARK[2])
            widths[1] += narrow
            widths[2] += wide
            others = []
            if narrow + wide != n:
                # Cells of width 4 are looked at one by one for their UTF-16
                # length (and to confirm their width: see _HEAD), and so are
                # cells whose size is off the formula (such as the
                # one-character strings that the interpreter shares, which
                # cache their UTF-8).
                marks[4] = list(map(operator.sub, marks[2],
                                    map(operator.mul, sizes, itertools.repeat(2))))
                others = list(itertools.compress(
                    range(n), map(operator.eq, marks[4], itertools.repeat(_MARK[4]))))
                if narrow + wide + len(others) != n:
                    matched = map(max, ascii_cells,
                                  *(map(operator.eq, marks[w], itertools.repeat(_MARK[w]))
                                    for w in (1, 2, 4)),
                                  map(operator.eq, marks[2], itertools.repeat(_CACHED_NARROW)))
                    others += itertools.compress(range(n), map(operator.not_, matched))
        for i in others:
            cell = cells[i]
            units = utf16_len(cell)
            if units != sizes[i]:
                widths[4] += 1
                sizes[i] = units
                continue
            try:
                cell.encode("latin-1")
                widths[1] += 1
            except UnicodeEncodeError:
                widths[2] += 1
        return sizes

    # --- Reports ----------------------------------------------------------------

    def as_dict(self, document: dict[str, int]) -> dict[str, Any]:
        units, points, r, c = self.longest
        return {
            "rows": self.rows,
            "empty_rows": self.lengths[0],
            "cells": self.cells,
            "header": self.header,
            "widest_row": {"row": self.widest[1], "cells": self.widest[0]} if self.rows else None,
            "longest_cell": ({"row": r, "cell": c, "utf16_units": units, "code_points": points}
                             if units >= 0 else None),
            "row_lengths": {str(n): k for n, k in sorted(self.lengths.items())},
            "ragged_rows": self.ragged,
            "first_ragged_row": self.first_ragged,
            "storage_widths": {str(w): n for w, n in self.widths.items()},
            "document": document,
        }

    def lines(self, document: dict[str, int]) -> list[tuple[str, str]]:
        lines = []
        if self.header is not None:
            lines.append(("header", f"row 1, {_n(len(self.header), 'column')}"))
        lines += [
            ("rows", f"{self.rows} ({self.lengths[0]} empty)"),
            ("cells", str(self.cells)),
        ]
        if self.rows:
            lines.append(("widest row", f"row {self.widest[1]}, {_n(self.widest[0], 'cell')}"))
        units, points, r, c = self.longest
        if units >= 0:
            lines.append(("longest cell", f"row {r}, cell {c}: {_length(units, points)}"))
        common = sorted(self.lengths.items(), key=lambda kv: (-kv[1], kv[0]))
        shown = ", ".join(f"{_n(n, 'cell')}: {_n(k, 'row')}" for n, k in common[:5])
        if len(common) > 5:
            shown += f", {len(common) - 5} more lengths"
        lines.append(("row lengths", shown or "none"))
        against = "the header's" if self.header is not None else "the first row's"
        if self.ragged:
            lines.append(("ragged rows", f"{self.ragged} differ from {against} "
                          f"{_n(self.expected or 0, 'cell')} (first: row {self.first_ragged})"))
        else:
            lines.append(("ragged rows", "none"))
        lines += [
            ("storage widths", ", ".join(f"{_n(w, 'byte')}: {_n(n, 'cell')}"
                                         for w, n in self.widths.items())),
            ("document", f"{_length(document['utf16_units'], document['code_points'])}, "
                         f"{document['storage_width']}-byte storage"),
        ]
        return lines
