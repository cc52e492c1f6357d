"""Measuring a table a batch of rows at a time.

The figures are counted natively (``vorn_io._scanner.RowStats``) from the
rows the decoder returns: each cell's UTF-16 length, code points and storage
width, the cells of each row, and where the longest cell and the widest row
stand. No Python code runs per row or cell.
"""

from __future__ import annotations

import collections
from collections.abc import Sequence
from typing import Any

from vorn_io._scanner import RowStats


def _n(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _length(units: int, points: int) -> str:
    extra = f" ({_n(points, 'code point')})" if units != points else ""
    return _n(units, "UTF-16 unit") + extra


class Stats:
    def __init__(self, header: bool = False) -> None:
        self.header: list[str] | None = None
        self._want_header = header
        self._counts: RowStats | None = None if header else RowStats()

    def add(self, batch: Sequence[list[str]]) -> None:
        """Measures the next rows (a list of lists of str)."""
        if self._counts is None:
            if not batch:
                return
            # The header row is not measured: rows are compared with it, and
            # numbered after it.
            self.header = list(batch[0])
            self._counts = RowStats(expected=len(self.header), first_row=2)
            batch = batch[1:]
        self._counts.add(batch if isinstance(batch, list) else list(batch))

    def _summary(self) -> dict[str, Any]:
        if self._counts is None:
            self._counts = RowStats()
        return self._counts.summary()

    def document(self, code_points: int) -> dict[str, int]:
        """The document's own figures, given its length in code points: every
        character above U+FFFF of a document stands in a cell, and its widest
        character in its widest cell."""
        s = self._summary()
        return {"utf16_units": code_points + s["astral"], "code_points": code_points,
                "storage_width": s["storage_width"]}

    # --- Reports ----------------------------------------------------------------

    def as_dict(self, document: dict[str, int]) -> dict[str, Any]:
        s = self._summary()
        lengths = collections.Counter(s["lengths"])
        longest, widest = s["longest"], s["widest"]
        return {
            "rows": s["rows"],
            "empty_rows": lengths[0],
            "cells": s["cells"],
            "header": self.header,
            "widest_row": {"row": widest[1], "cells": widest[0]} if s["rows"] else None,
            "longest_cell": ({"row": longest[2], "cell": longest[3], "utf16_units": longest[0],
                              "code_points": longest[1]} if longest is not None else None),
            "row_lengths": {str(n): k for n, k in sorted(lengths.items())},
            "ragged_rows": s["ragged"],
            "first_ragged_row": s["first_ragged"],
            "storage_widths": {str(w): n for w, n in s["widths"].items()},
            "document": document,
        }

    def lines(self, document: dict[str, int]) -> list[tuple[str, str]]:
        s = self._summary()
        lengths = collections.Counter(s["lengths"])
        lines = []
        if self.header is not None:
            lines.append(("header", f"row 1, {_n(len(self.header), 'column')}"))
        lines += [
            ("rows", f"{s['rows']} ({lengths[0]} empty)"),
            ("cells", str(s["cells"])),
        ]
        if s["rows"]:
            widest = s["widest"]
            lines.append(("widest row", f"row {widest[1]}, {_n(widest[0], 'cell')}"))
        if s["longest"] is not None:
            units, points, r, c = s["longest"]
            lines.append(("longest cell", f"row {r}, cell {c}: {_length(units, points)}"))
        common = sorted(lengths.items(), key=lambda kv: (-kv[1], kv[0]))
        shown = ", ".join(f"{_n(n, 'cell')}: {_n(k, 'row')}" for n, k in common[:5])
        if len(common) > 5:
            shown += f", {len(common) - 5} more lengths"
        lines.append(("row lengths", shown or "none"))
        against = "the header's" if self.header is not None else "the first row's"
        if s["ragged"]:
            lines.append(("ragged rows", f"{s['ragged']} differ from {against} "
                          f"{_n(s['expected'] or 0, 'cell')} (first: row {s['first_ragged']})"))
        else:
            lines.append(("ragged rows", "none"))
        lines += [
            ("storage widths", ", ".join(f"{_n(w, 'byte')}: {_n(n, 'cell')}"
                                         for w, n in s["widths"].items())),
            ("document", f"{_length(document['utf16_units'], document['code_points'])}, "
                         f"{document['storage_width']}-byte storage"),
        ]
        return lines
