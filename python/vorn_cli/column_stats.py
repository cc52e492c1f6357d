"""Figures for each column of a table, a batch of rows at a time.

For every column: how many rows have a cell in it and how many of those
are empty, how many distinct values it holds (counted exactly up to a cap,
then given as "at least" the number seen), the shortest and longest cell in
UTF-16 code units, how many cells take each storage width (1, 2 or 4 bytes
a character, as Python stores them), and the most common values.

Work is done a column of a batch at a time with built-in functions; only
cells that are not ASCII are looked at one by one.
"""

from __future__ import annotations

import argparse
import collections
import itertools
import json
import operator
from collections.abc import Sequence
from typing import Any

from vorn_io._text import utf16_len

from .documents import read_batches
from .report import visible
from .streams import OK, STDIO, Input, Output

DISTINCT_CAP = 10_000  # per column: bounds the memory that wide tables take
TOP = 5  # most common values shown
_MISSING = object()


def storage_width(cell: str) -> int:
    """Bytes a character that Python uses to store cell."""
    if not cell or cell.isascii():
        return 1
    top = ord(max(cell))
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


class Column:
    __slots__ = ("cells", "empty", "values", "capped", "shortest", "longest", "widths")

    def __init__(self) -> None:
        self.cells = 0
        self.empty = 0
        self.values: collections.Counter[str] = collections.Counter()
        self.capped = False  # more distinct values than the cap: new ones are not counted
        self.shortest: int | None = None
        self.longest: int | None = None
        self.widths = {1: 0, 2: 0, 4: 0}

    def add(self, cells: Sequence[str], cap: int) -> None:
        if not cells:
            return
        self.cells += len(cells)
        self.empty += cells.count("")
        if "".join(cells).isascii():
            lengths: Any = list(map(len, cells))
            self.widths[1] += len(cells)
        else:
            lengths = []
            widths = self.widths
            for cell in cells:
                if cell.isascii():
                    lengths.append(len(cell))
                    widths[1] += 1
                else:
                    lengths.append(utf16_len(cell))
                    widths[storage_width(cell)] += 1
        low, high = min(lengths), max(lengths)
        if self.shortest is None or low < self.shortest:
            self.shortest = low
        if self.longest is None or high > self.longest:
            self.longest = high
        if self.capped:
            # The values already counted go on being counted exactly.
            self.values.update(filter(self.values.__contains__, cells))
        else:
            self.values.update(cells)
            self.capped = len(self.values) > cap

    def as_dict(self, number: int, name: str | None, top: int) -> dict[str, Any]:
        return {
            "column": number,
            "name": name,
            "cells": self.cells,
            "empty_cells": self.empty,
            "distinct": len(self.values),
            "distinct_exact": not self.capped,
            "shortest_utf16_units": self.shortest,
            "longest_utf16_units": self.longest,
            "storage_widths": {str(w): n for w, n in self.widths.items()},
            "most_common": [{"value": v, "count": k} for v, k in self.values.most_common(top)],
            "most_common_exact": not self.capped,
        }


class ColumnStats:
    def __init__(self, header: bool = False, cap: int = DISTINCT_CAP) -> None:
        self.want_header = header
        self.names: list[str] | None = None
        self.cap = cap
        self.rows = 0
        self.columns: list[Column] = []

    def add(self, batch: Sequence[Sequence[str]]) -> None:
        if self.want_header and self.names is None and batch:
            self.names = list(batch[0])
            batch = batch[1:]
            while len(self.columns) < len(self.names):
                self.columns.append(Column())
        if not batch:
            return
        self.rows += len(batch)
        lengths = set(map(len, batch))
        width = max(lengths)
        while len(self.columns) < width:
            self.columns.append(Column())
        if len(lengths) == 1:
            columns: Any = zip(*batch)
        else:
            is_not, missing = operator.is_not, itertools.repeat(_MISSING)
            columns = (list(itertools.compress(col, map(is_not, col, missing)))
                       for col in itertools.zip_longest(*batch, fillvalue=_MISSING))
        for column, cells in zip(self.columns, columns):
            column.add(cells, self.cap)

    def name(self, i: int) -> str | None:
        return self.names[i] if self.names is not None and i < len(self.names) else None

    def as_dict(self, file: str, top: int = TOP) -> dict[str, Any]:
        return {
            "file": file,
            "rows": self.rows,
            "header": self.names,
            "distinct_cap": self.cap,
            "columns": [c.as_dict(i + 1, self.name(i), top) for i, c in enumerate(self.columns)],
        }

    def table(self, top: int = 3, width: int = 24) -> str:
        def cut(text: str, n: int) -> str:
            text = visible(text)
            return text if len(text) <= n else text[:n - 3] + "..."

        head = ["column", "cells", "empty", "distinct", "shortest", "longest",
                "widths 1/2/4", "most common"]
        lines = [head]
        for i, c in enumerate(self.columns):
            name = self.name(i)
            label = f"{i + 1}" + (f" {cut(name, width)}" if name is not None else "")
            distinct = f"{len(c.values)}" if not c.capped else f"at least {len(c.values)}"
            common = ", ".join(f'"{cut(v, 16)}" {k}' for v, k in c.values.most_common(top))
            lines.append([label, str(c.cells), str(c.empty), distinct,
                          "-" if c.shortest is None else str(c.shortest),
                          "-" if c.longest is None else str(c.longest),
                          "/".join(str(c.widths[w]) for w in (1, 2, 4)), common])
        sizes = [max(len(row[k]) for row in lines) for k in range(len(head) - 1)]
        out = []
        for row in lines:
            cells = [row[0].ljust(sizes[0])] + [row[k].rjust(sizes[k]) if k < 6 else
                                                row[k].ljust(sizes[k])
                                                for k in range(1, len(head) - 1)]
            out.append("  ".join(cells + [row[-1]]).rstrip())
        rows = f"{self.rows} row{'' if self.rows == 1 else 's'}"
        if self.names is not None:
            rows += " after the header"
        note = f"{rows}; lengths in UTF-16 units"
        if any(c.capped for c in self.columns):
            note += (f"; distinct values counted up to {self.cap} (--distinct-cap), most common "
                     "among those")
        return "\n".join(out + [note]) + "\n"


def run(args: argparse.Namespace, source: Input) -> int:
    """vorn stats --columns."""
    stats = ColumnStats(header=args.header, cap=args.distinct_cap or DISTINCT_CAP)
    try:
        with source:
            for batch in read_batches(source, max_row_size=args.max_row_size):
                stats.add(batch)
    finally:
        if source.progress is not None:
            source.progress.close()
    if args.json:
        report = stats.as_dict(source.name)
        text = json.dumps(report, ensure_ascii=False, indent=2) + "\n"
        out = Output(STDIO, "utf-8")
        out.write(_escape_lone(text))
    else:
        out = Output(STDIO, "utf-8", errors="surrogateescape")
        out.write(stats.table())
    out.commit()
    return OK


def _escape_lone(text: str) -> str:
    """JSON with lone surrogates as escapes, as UTF-8 can store them."""
    if text.isascii():
        return text
    return "".join(f"\\u{ord(ch):04x}" if "\ud800" <= ch <= "\udfff" else ch for ch in text)

