"""Reading and writing tables as CSV, TSV and JSON text, a row at a time.

TSV is the plain format that databases and package indexes export: one row
per line, cells split on tabs, no quoting. A cell holding a tab or a line
break cannot be written that way; with ``escape`` the four characters tab,
line feed, carriage return and backslash are written as ``\\t``, ``\\n``,
``\\r`` and ``\\\\`` and read back the same way. Every line is at least one
cell, so a row without cells cannot be written as TSV.

CSV follows Python's csv module with the dialect chosen: a cell is quoted
when it needs it (or always, or never), a quote inside a quoted cell is
doubled, and line breaks may stand inside quoted cells. A blank line is a
row with no cells, and a row holding one empty cell is written as "" so
that the two stay apart.

JSON is an array of rows, each an array of strings; with ``json_scalars``
numbers, booleans and null are taken as their JSON text.
"""

from __future__ import annotations

import csv
import io
import itertools
import json
import re
import sys
from collections.abc import Iterable, Iterator
from typing import NamedTuple, Protocol

FORMATS = ("csv", "tsv", "json")
QUOTING = {"minimal": csv.QUOTE_MINIMAL, "all": csv.QUOTE_ALL, "none": csv.QUOTE_NONE}
LINE_TERMINATORS = {"lf": "\n", "crlf": "\r\n"}
BATCH = 2048  # rows handed on at a time

Row = list[str]


class TableError(ValueError):
    """The input text does not hold a table in the expected format, or a
    table cannot be written in the format asked for."""


class TextSource(Protocol):
    def read(self, n: int = -1, /) -> str: ...
    def __iter__(self) -> Iterator[str]: ...


class TextSink(Protocol):
    def write(self, text: str, /) -> None: ...


class Dialect(NamedTuple):
    delimiter: str | None = None  # None: "," for CSV
    quotechar: str = '"'
    quoting: str = "minimal"
    line_terminator: str = "lf"
    escape: bool = False
    json_scalars: bool = False

    def csv_args(self, fmt: str) -> dict[str, object]:
        delimiter = self.delimiter or ("\t" if fmt == "tsv" else ",")
        return dict(delimiter=delimiter, quotechar=self.quotechar,
                    quoting=QUOTING[self.quoting], lineterminator=self.eol, strict=True)

    @property
    def eol(self) -> str:
        return LINE_TERMINATORS[self.line_terminator]


def batches(rows: Iterable[Row], size: int = BATCH) -> Iterator[list[Row]]:
    """rows, size at a time; when rows fail, the rows before the failure are
    handed on first."""
    it = iter(rows)
    while True:
        batch: list[Row] = []
        try:
            batch.extend(itertools.islice(it, size))  # keeps what it took before an error
        except BaseException:
            if batch:
                yield batch
            raise
        if not batch:
            return
        yield batch


# --- Reading ----------------------------------------------------------------------

def read_rows(source: TextSource, fmt: str, dialect: Dialect) -> Iterator[Row]:
    if fmt == "json":
        return _read_json(source.read(), dialect.json_scalars)
    if fmt == "tsv":
        return _read_tsv(source, dialect.escape)
    return _read_csv(source, dialect)


def _read_csv(lines: Iterable[str], dialect: Dialect) -> Iterator[Row]:
    # Cells of any size: the default limit of 128 KiB guards against runaway
    # quotes, which strict mode and the line numbers in errors show anyway.
    csv.field_size_limit(sys.maxsize)
    args = dialect.csv_args("csv")
    del args["lineterminator"]
    try:
        reader = csv.reader(lines, **args)  # type: ignore[arg-type]
    except (TypeError, csv.Error) as exc:
        raise TableError(f"unusable CSV options: {exc}") from None
    try:
        yield from reader
    except csv.Error as exc:
        raise TableError(f"line {reader.line_num}: {exc}") from None


_ESCAPED = re.compile(r"\\(.)", re.DOTALL)
_UNESCAPE = {"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}


def _unescape(cell: str) -> str:
    # Other backslash pairs stay as they are.
    return _ESCAPED.sub(lambda m: _UNESCAPE.get(m.group(1), m.group(0)), cell)


def _read_tsv(lines: Iterable[str], escape: bool) -> Iterator[Row]:
    for line in lines:
        if line.endswith("\n"):
            line = line[:-2] if line.endswith("\r\n") else line[:-1]
        elif line.endswith("\r"):
            line = line[:-1]
        cells = line.split("\t")
        if escape and "\\" in line:
            cells = [_unescape(c) if "\\" in c else c for c in cells]
        yield cells


class _Number(str):
    """The text of a JSON number, kept as written (no conversion to int)."""


_JSON_TYPES = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
               _Number: "a number", type(None): "null"}
_SCALARS = {True: "true", False: "false", None: "null"}


def _kind(value: object) -> str:
    return _JSON_TYPES.get(type(value), type(value).__name__)


def _constant(name: str) -> object:
    raise ValueError(f"{name} is not JSON")


def _read_json(text: str, scalars: bool) -> Iterator[Row]:
    try:
        data = json.loads(text, parse_int=_Number, parse_float=_Number, parse_constant=_constant)
    except json.JSONDecodeError as exc:
        raise TableError(f"line {exc.lineno}, column {exc.colno}: invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise TableError("the JSON is nested too deeply; a table is an array of arrays") from None
    except ValueError as exc:
        raise TableError(f"invalid JSON: {exc}") from None
    del text
    if not isinstance(data, list):
        raise TableError(f"expected an array of rows, found {_kind(data)}")
    hint = "" if scalars else " (--json-scalars takes numbers, booleans and null as text)"
    for r, row in enumerate(data, 1):
        if not isinstance(row, list):
            raise TableError(f"row {r} is {_kind(row)}, not an array of cells")
        for c, cell in enumerate(row):
            if type(cell) is str:
                continue
            if scalars and type(cell) is _Number:
                row[c] = str(cell)
                continue
            if scalars and (cell is None or type(cell) is bool):
                row[c] = _SCALARS[cell]
                continue
            what = "" if isinstance(cell, (list, dict)) else hint
            raise TableError(f"row {r}, cell {c + 1} is {_kind(cell)}, not a string{what}")
    # The whole table is checked before any of it is handed on.
    for r, row in enumerate(data):
        yield row
        data[r] = None  # let the row go once it has been handed on


# --- Writing ----------------------------------------------------------------------

def write_rows(rows: Iterable[Row], out: TextSink, fmt: str, dialect: Dialect) -> int:
    """Writes every row to out; returns the number of rows."""
    if fmt == "json":
        return _write_json(rows, out)
    if fmt == "tsv":
        return _write_tsv(rows, out, dialect)
    return _write_csv(rows, out, fmt, dialect)


def _write_csv(rows: Iterable[Row], out: TextSink, fmt: str, dialect: Dialect) -> int:
    buffer = io.StringIO()
    try:
        writer = csv.writer(buffer, **dialect.csv_args(fmt))  # type: ignore[arg-type]
    except (TypeError, csv.Error) as exc:
        raise TableError(f"unusable CSV options: {exc}") from None
    count = 0
    for batch in batches(rows):
        try:
            writer.writerows(batch)
        except csv.Error as exc:
            r, c = _find_unwritable(batch, writer)
            raise TableError(f"row {count + r}, cell {c} cannot be written with these "
                             f"CSV options: {exc}") from None
        count += len(batch)
        out.write(buffer.getvalue())
        buffer.seek(0)
        buffer.truncate()
    return count


def _find_unwritable(batch: list[Row], writer: object) -> tuple[int, int]:
    probe = csv.writer(io.StringIO(), dialect=writer.dialect)  # type: ignore[attr-defined]
    for r, row in enumerate(batch, 1):
        try:
            probe.writerow(row)
        except csv.Error:
            for c in range(1, len(row) + 1):
                try:
                    probe.writerow(row[:c])
                except csv.Error:
                    return r, c
            return r, 1
    return 1, 1


_TSV_SPECIAL = re.compile(r"[\t\n\r\\]")
_TSV_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r", "\\": "\\\\"}


def _write_tsv(rows: Iterable[Row], out: TextSink, dialect: Dialect) -> int:
    eol, escape = dialect.eol, dialect.escape
    count = 0
    for batch in batches(rows):
        lines = ["\t".join(row) for row in batch]
        text = "\n".join(lines)
        plain = (text.count("\t") == sum(map(len, batch)) - len(batch)
                 and text.count("\n") == len(batch) - 1 and "\r" not in text
                 and all(batch) and not (escape and "\\" in text))
        if not plain:
            lines = [_tsv_line(row, count + r, escape) for r, row in enumerate(batch, 1)]
        if not plain or eol != "\n":
            text = eol.join(lines)
        out.write(text + eol)
        count += len(batch)
    return count


def _tsv_line(row: Row, r: int, escape: bool) -> str:
    if not row:
        raise TableError(f"row {r} has no cells, which TSV cannot hold (every line is at "
                         "least one cell); write it as CSV (--to csv)")
    if escape:
        return "\t".join(_TSV_SPECIAL.sub(lambda m: _TSV_ESCAPES[m.group()], c) for c in row)
    for c, cell in enumerate(row, 1):
        for ch, name in (("\t", "a tab"), ("\n", "a line feed"), ("\r", "a carriage return")):
            if ch in cell:
                raise TableError(f"row {r}, cell {c} holds {name}, which plain TSV cannot hold; "
                                 "write it with --escape, or as CSV (--to csv)")
    return "\t".join(row)


def _write_json(rows: Iterable[Row], out: TextSink) -> int:
    count = 0
    dumps = json.JSONEncoder(ensure_ascii=False).encode
    for batch in batches(rows):
        lead = "[\n  " if count == 0 else ",\n  "
        out.write(lead + ",\n  ".join(map(dumps, batch)))
        count += len(batch)
    out.write("\n]\n" if count else "[]\n")
    return count
