"""Reading and writing tables as CSV, TSV and JSON text.

CSV and TSV follow Python's csv module: cells are quoted with double quotes
only when they need it, a quote inside a quoted cell is doubled, and line
breaks may stand inside quoted cells. A blank line is a row with no cells,
and a row holding one empty cell is written as "" so that the two stay
apart. Lines are written with "\\n" endings.

JSON is an array of rows, each an array of strings.
"""

from __future__ import annotations

import csv
import io
import json
import sys

FORMATS = ("csv", "tsv", "json")
_DELIMITERS = {"csv": ",", "tsv": "\t"}

Table = list[list[str]]


class TableError(ValueError):
    """The input text does not hold a table in the expected format."""


def read_table(text: str, fmt: str) -> Table:
    if fmt == "json":
        return _read_json(text)
    return _read_delimited(text, _DELIMITERS[fmt])


def write_table(table: Table, fmt: str) -> str:
    if fmt == "json":
        return _write_json(table)
    out = io.StringIO(newline="")
    csv.writer(out, delimiter=_DELIMITERS[fmt], lineterminator="\n").writerows(table)
    return out.getvalue()


def _read_delimited(text: str, delimiter: str) -> Table:
    # Cells of any size: the default limit of 128 KiB is a guard for
    # untrusted input, and here the whole input is in memory anyway.
    csv.field_size_limit(sys.maxsize)
    # newline="" hands line endings to the reader untouched, so "\r\n"
    # inside a quoted cell survives.
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True)
    try:
        return list(reader)
    except csv.Error as exc:
        raise TableError(f"line {reader.line_num}: {exc}") from None


_JSON_TYPES = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
               int: "a number", float: "a number", type(None): "null"}


def _kind(value: object) -> str:
    return _JSON_TYPES.get(type(value), type(value).__name__)


def _read_json(text: str) -> Table:
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise TableError(f"line {exc.lineno}, column {exc.colno}: invalid JSON: {exc.msg}") from None
    if not isinstance(data, list):
        raise TableError(f"expected an array of rows, found {_kind(data)}")
    for r, row in enumerate(data, 1):
        if not isinstance(row, list):
            raise TableError(f"row {r} is {_kind(row)}, not an array of strings")
        for c, cell in enumerate(row, 1):
            if not isinstance(cell, str):
                raise TableError(f"row {r}, cell {c} is {_kind(cell)}, not a string")
    table: Table = data
    return table


def _write_json(table: Table) -> str:
    rows = ",\n".join("  " + json.dumps(row, ensure_ascii=False) for row in table)
    return f"[\n{rows}\n]\n" if table else "[]\n"
