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
from collections.abc import Callable, Iterable, Iterator
from typing import NamedTuple, Protocol

FORMATS = ("csv", "tsv", "json", "jsonl")
# The formats that file names stand for.
EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".json": "json", ".jsonl": "jsonl",
              ".ndjson": "jsonl"}
QUOTING = {"minimal": csv.QUOTE_MINIMAL, "all": csv.QUOTE_ALL, "none": csv.QUOTE_NONE}
LINE_TERMINATORS = {"lf": "\n", "crlf": "\r\n"}
BATCH = 2048  # rows handed on at a time
CHUNK = 1 << 16  # characters read at a time

Row = list[str]
BOM = "\ufeff"
_chain = itertools.chain.from_iterable


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
    comment: str | None = None  # lines starting with it are skipped (CSV, TSV)
    json_key: str | None = None  # the member of a top-level object that holds the rows
    nested: str = "refuse"  # or "json": nested arrays and objects as their JSON text
    surrogates: bool = False  # lone surrogates may be read and written (surrogatepass)

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
    if fmt in ("json", "jsonl"):
        return _read_json(source, dialect, lines=fmt == "jsonl")
    if fmt == "tsv":
        lines: Iterable[str] = source
        if dialect.comment is not None:
            lines = _without_comments(source, dialect.comment, None)
        return _read_tsv(lines, dialect.escape)
    if dialect.comment is not None:
        quote = None if dialect.quoting == "none" else dialect.quotechar
        return _read_csv(_without_comments(source, dialect.comment, quote), dialect)
    return _read_csv(source, dialect)


def _without_comments(lines: Iterable[str], comment: str, quote: str | None) -> Iterator[str]:
    """The lines that are not comments: a comment starts with the comment
    character at the start of a row. A line that continues a quoted cell is
    not the start of a row (an odd number of quotes so far leaves it open)."""
    open_quote = False
    for line in lines:
        if not open_quote and line.startswith(comment):
            continue
        if quote is not None and line.count(quote) & 1:
            open_quote = not open_quote
        yield line


def _read_csv(lines: Iterable[str], dialect: Dialect) -> Iterator[Row]:
    """The csv module's reader itself, so that rows are taken from it with no
    Python code run per row; its csv.Error is turned into a TableError by
    table_error()."""
    # Cells of any size: the default limit of 128 KiB guards against runaway
    # quotes, which strict mode and the line numbers in errors show anyway.
    csv.field_size_limit(sys.maxsize)
    args = dialect.csv_args("csv")
    del args["lineterminator"]
    try:
        return csv.reader(lines, **args)  # type: ignore[arg-type]
    except (TypeError, ValueError, csv.Error) as exc:
        raise TableError(f"unusable CSV options: {exc}") from None


def table_error(rows: Iterator[Row], exc: Exception) -> TableError:
    """The TableError for an error raised while rows were read."""
    if isinstance(exc, TableError):
        return exc
    line = getattr(rows, "line_num", None)
    return TableError(f"line {line}: {exc}" if line is not None else str(exc))


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
_WHITESPACE = re.compile(r"[ \t\n\r]*")
# How close to the end of the text read so far an error must stand for more
# text to be worth reading: a number, a literal or an escape cut short.
_NEAR_END = 12


def _kind(value: object) -> str:
    return _JSON_TYPES.get(type(value), type(value).__name__)


def _constant(name: str) -> object:
    raise ValueError(f"{name} is not JSON")


class _JsonValues:
    """JSON values read one at a time from a text stream.

    The text is read in chunks; each value is decoded by the json module's
    raw_decode from the text held. A value cut short by the end of what was
    read is decoded again once at least as much text again has been read,
    so that a value of any size is decoded a bounded number of times.
    """

    def __init__(self, source: TextSource) -> None:
        self._source = source
        self._buf = ""
        self._pos = 0
        self._eof = False
        self._lines_before = 0  # line breaks in the text dropped from _buf
        self.escapes = False  # whether the last value had surrogate escapes
        decoder = json.JSONDecoder(parse_int=_Number, parse_float=_Number,
                                   parse_constant=_constant)
        self._decode = decoder.raw_decode
        self._scan = decoder.scan_once  # type: ignore[attr-defined]

    def run(self, separator: re.Pattern[str]) -> tuple[list[object], list[int]]:
        """The values that follow in the text held, each with the separator
        after it, taken in a tight loop; and the indexes of those that hold
        an escape (which may be a lone surrogate). Stops, without taking it,
        at a value not so followed, or one that ends near the end of the text
        held (it may be cut short): value() takes that one."""
        buf, scan, match = self._buf, self._scan, separator.match
        pos = _WHITESPACE.match(buf, self._pos).end()  # type: ignore[union-attr]
        limit = len(buf) - _NEAR_END
        got: list[object] = []
        flagged: list[int] = []
        append, find = got.append, buf.find
        while pos < limit:
            try:
                value, end = scan(buf, pos)
            except Exception:  # not a value, or an error: value() reports it
                break
            if end >= limit:
                break
            after = match(buf, end)
            if after is None:
                break
            if find("\\u", pos, end) >= 0:
                flagged.append(len(got))
            append(value)
            pos = after.end()
        self._pos = pos
        return got, flagged

    def _more(self, at_least: int = CHUNK) -> bool:
        if self._eof:
            return False
        if self._pos > (len(self._buf) >> 1):
            self._lines_before += self._buf.count("\n", 0, self._pos)
            self._buf, self._pos = self._buf[self._pos:], 0
        parts, got = [self._buf], 0
        while got < at_least:
            text = self._source.read(max(at_least - got, CHUNK))
            if not text:
                self._eof = True
                break
            parts.append(text)
            got += len(text)
        self._buf = "".join(parts)
        return got > 0

    def peek(self) -> str:
        """The next character that is not white space; "" at the end."""
        while True:
            self._pos = _WHITESPACE.match(self._buf, self._pos).end()  # type: ignore[union-attr]
            if self._pos < len(self._buf) or not self._more():
                return self._buf[self._pos:self._pos + 1]

    def take(self) -> None:
        """Skips the character peek() gave."""
        self._pos += 1

    def value(self) -> object:
        self.peek()
        while True:
            try:
                start = self._pos
                value, self._pos = self._decode(self._buf, start)
                # A lone surrogate can only come from an escape.
                self.escapes = (self._buf.find("\\ud", start, self._pos) >= 0
                                or self._buf.find("\\uD", start, self._pos) >= 0)
                return value
            except json.JSONDecodeError as exc:
                cut = exc.pos >= len(self._buf) - _NEAR_END or exc.msg.startswith("Unterminated")
                if not (cut and self._more(max(len(self._buf) - self._pos, CHUNK))):
                    raise self.error(exc.msg, exc.pos) from None
            except RecursionError:
                raise TableError("the JSON is nested too deeply; a table is an array of "
                                 "arrays") from None
            except ValueError as exc:
                raise self.error(str(exc), self._pos) from None

    def error(self, message: str, pos: int | None = None) -> TableError:
        pos = self._pos if pos is None else pos
        line = self._lines_before + self._buf.count("\n", 0, pos) + 1
        column = pos - self._buf.rfind("\n", 0, pos)
        return TableError(f"line {line}, column {column}: invalid JSON: {message}")


_ARRAY_SEPARATOR = re.compile(r"[ \t\n\r]*,[ \t\n\r]*")
_LINE_SEPARATOR = re.compile(r"[ \t\n\r]*")


def _read_json(source: TextSource, dialect: Dialect, lines: bool) -> Iterator[Row]:
    """Rows of a JSON array (lines False) or of JSON Lines (lines True): each
    row an array of strings, or each an object (records: see _records). With
    dialect.json_key, the array is that member of a top-level object."""
    scalars, nested = dialect.json_scalars, dialect.nested == "json"
    surrogates = dialect.surrogates
    values = _JsonValues(source)
    wrapped = False
    if not lines:
        first = values.peek()
        if first == "{" and dialect.json_key is not None:
            values.take()
            _enter_member(values, dialect.json_key)
            wrapped = True
            first = values.peek()
        elif first == "{":
            raise TableError(_wrapper_message(values))
        elif dialect.json_key is not None:
            kind = {"[": "an array", "": "nothing"}.get(first, "a single value")
            raise TableError(f"--json-key {_shell(dialect.json_key)} names a member of an "
                             f"object, but the JSON is {kind}")
        if first != "[":
            kind = {"{": "an object", "": "nothing"}.get(first, "a single value")
            where = f"member {_key(dialect.json_key)}" if wrapped else "an array of rows"
            raise TableError(f"expected {where} to be an array of rows, found {kind}"
                             if wrapped else f"expected {where}, found {kind}")
        values.take()
    pieces = _json_items(values, lines, wrapped)
    first_piece = next(pieces, None)
    if first_piece is None:
        return
    pieces = itertools.chain([first_piece], pieces)
    if isinstance(first_piece[0][0], dict):
        yield from _records(((item, i in flagged) for got, flagged in pieces
                             for i, item in enumerate(got)), scalars, nested, surrogates,
                            lines)
        return
    hint = "" if scalars else " (--json-scalars takes numbers, booleans and null as text)"
    r = 0  # rows before this piece
    for got, flagged in pieces:
        for i in flagged:
            if type(got[i]) is list and not surrogates:
                _no_lone_surrogate(got[i], r + i + 1)  # type: ignore[arg-type]
        if {*map(type, got)} == _LIST and not {*map(type, _chain(got))} - _STR:  # type: ignore[arg-type]
            r += len(got)
            yield from got  # type: ignore[misc]
            continue
        for row in got:
            r += 1
            if type(row) is not list:
                raise TableError(f"row {r} is {_kind(row)}, not an array of cells"
                                 + (" (the rows are arrays, as row 1 is)" if r > 1 else ""))
            for c, cell in enumerate(row):
                if type(cell) is str:
                    continue
                if scalars and type(cell) is _Number:
                    row[c] = str(cell)
                    continue
                if scalars and (cell is None or type(cell) is bool):
                    row[c] = _SCALARS[cell]
                    continue
                if nested and type(cell) in (list, dict):
                    row[c] = _compact_text(cell)
                    continue
                what = _NESTED_HINT if isinstance(cell, (list, dict)) else hint
                raise TableError(f"row {r}, cell {c + 1} is {_kind(cell)}, not a string{what}")
            yield row


def _json_items(values: _JsonValues, lines: bool,
                wrapped: bool = False) -> Iterator[tuple[list[object], list[int]]]:
    """The values of the array or the lines, in pieces, each with the indexes
    of its values that hold an escape."""
    if lines:
        while True:
            got, flagged = values.run(_LINE_SEPARATOR)
            if got:
                yield got, flagged
            if not values.peek():
                return
            value = values.value()
            yield [value], [0] if values.escapes else []
    if values.peek() == "]":
        values.take()
    else:
        while True:
            got, flagged = values.run(_ARRAY_SEPARATOR)
            if got:
                yield got, flagged
            value = values.value()
            yield [value], [0] if values.escapes else []
            sep = values.peek()
            if sep == "]":
                values.take()
                break
            if sep != ",":
                raise values.error("Expecting ',' delimiter" if sep else "the array is not closed")
            values.take()
    if wrapped:
        _leave_object(values)
    if values.peek():
        raise values.error("Extra data after the array (one value per line is JSON Lines: "
                           "--from jsonl)")


_LIST = {list}
_STR = {str}
_NESTED_HINT = " (--nested json keeps it as its JSON text)"


def _key(key: str | None) -> str:
    return json.dumps(key, ensure_ascii=False)


def _shell(word: str) -> str:
    import shlex

    return shlex.quote(word)


def _holds_rows(value: object) -> bool:
    """Whether value is a list that could be a table: rows or records."""
    return type(value) is list and all(type(item) in (list, dict) for item in value[:100])


def _member_key(values: _JsonValues) -> str:
    key = values.value()
    if type(key) is not str:
        raise values.error("Expecting property name enclosed in double quotes")
    if values.peek() != ":":
        raise values.error("Expecting ':' delimiter")
    values.take()
    return key


def _enter_member(values: _JsonValues, name: str) -> None:
    """Moves past the members of the object before the one named name, and
    its ':'; the object's '{' has been taken."""
    seen: list[str] = []
    while True:
        if values.peek() == "}":
            shown = ", ".join(map(_key, seen[:10])) + (", ..." if len(seen) > 10 else "")
            raise TableError(f"the object has no member {_key(name)}"
                             + (f" (its members: {shown})" if seen else " (it is empty)"))
        if seen:
            if values.peek() != ",":
                raise values.error("Expecting ',' delimiter")
            values.take()
        key = _member_key(values)
        if key == name:
            return
        seen.append(key)
        values.value()  # a member that is not the table


def _leave_object(values: _JsonValues) -> None:
    """Moves past the members after the table's and the object's '}'."""
    while True:
        sep = values.peek()
        if sep == "}":
            values.take()
            return
        if sep != ",":
            raise values.error("Expecting ',' delimiter" if sep else "the object is not closed")
        values.take()
        _member_key(values)
        values.value()


def _wrapper_message(values: _JsonValues) -> str:
    """The refusal of a top-level object, with a hint naming the member that
    holds the table when one does."""
    message = "expected an array of rows, found an object"
    values.take()
    found: list[str] = []
    try:
        first = True
        while values.peek() != "}":
            if not first:
                if values.peek() != ",":
                    raise values.error("Expecting ',' delimiter")
                values.take()
            first = False
            key = _member_key(values)
            if _holds_rows(values.value()):
                found.append(key)
    except TableError:
        if not found:
            raise  # not JSON: where it fails says more than what it is not
    if len(found) == 1:
        return (f"{message} whose member {_key(found[0])} holds a list of rows or records\n"
                f"hint: give --json-key {_shell(found[0])}")
    if found:
        return (f"{message} whose members {', '.join(map(_key, found))} hold lists of rows or "
                f"records\nhint: give --json-key with the one to read, as --json-key "
                f"{_shell(found[0])}")
    return message + "; a file of one object per line is JSON Lines (--from jsonl)"


def _compact_text(value: object) -> str:
    """A nested array or object as compact JSON text, numbers as written and
    lone surrogates as escapes."""
    try:
        text = _compact(value)
    except RecursionError:
        raise TableError("a nested value is too deep to write as text") from None
    if not text.isascii() and _SURROGATE.search(text):
        text = _escape_surrogates(text)
    return text


def _compact(value: object) -> str:
    kind = type(value)
    if kind is str:
        return json.dumps(value, ensure_ascii=False)
    if kind is _Number:
        return str.__str__(value)
    if kind is list:
        return "[" + ",".join(map(_compact, value)) + "]"  # type: ignore[call-overload]
    if kind is dict:
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + _compact(v)
                              for k, v in value.items()) + "}"  # type: ignore[attr-defined]
    return _SCALARS[value]  # type: ignore[index]


def _no_lone_surrogate(row: list[object], r: int, keys: list[str] | None = None) -> None:
    """Refuses a lone surrogate, which JSON writes as an escape but no text
    file of a VORN document can store."""
    for c, cell in enumerate(row):
        if type(cell) is str and not cell.isascii():
            found = _SURROGATE.search(cell)
            if found:
                where = (f"record {r}, key {json.dumps(keys[c], ensure_ascii=False)}"
                         if keys is not None else f"row {r}, cell {c + 1}")
                raise TableError(f"{where} holds a lone surrogate (U+{ord(found.group()):04X}), "
                                 "which a VORN document stored as text cannot hold")


def _record_cell(value: object, r: int, key: str, scalars: bool, nested: bool = False) -> str:
    if type(value) is str:
        return value
    if scalars and type(value) is _Number:
        return str(value)
    if scalars and (value is None or type(value) is bool):
        return _SCALARS[value]
    if nested and type(value) in (list, dict):
        return _compact_text(value)
    hint = _NESTED_HINT if isinstance(value, (list, dict)) else "" if scalars else \
        " (--json-scalars takes numbers, booleans and null as text)"
    return _refuse(f"record {r}, key {json.dumps(key, ensure_ascii=False)} is "
                   f"{_kind(value)}, not a string{hint}")


def _refuse(message: str) -> str:
    raise TableError(message)


def _records(items: Iterator[tuple[object, bool]], scalars: bool, nested: bool = False,
             surrogates: bool = False, lines: bool = False) -> Iterator[Row]:
    """A header row of the keys, in the order first seen, then one row per
    record, with an empty cell for each key a record lacks.

    The header is known only once every record has been read, so the rows
    are held meanwhile as a VORN document in a temporary file: the memory
    used stays that of one batch of rows.
    """
    import tempfile

    import vorn

    keys: dict[str, int] = {}
    with tempfile.TemporaryFile("w+", encoding="utf-8", errors="surrogatepass",
                                newline="") as spool:
        batch: list[Row] = []
        count = 0
        for r, (record, escaped) in enumerate(items, 1):
            if not isinstance(record, dict):
                raise TableError(f"record {r} is {_kind(record)}, not an object (the records "
                                 "are objects, as record 1 is)")
            if escaped and not surrogates:
                _no_lone_surrogate(list(record.values()), r, list(record))
                _no_lone_surrogate(list(record), r, list(record))
            if r == 1 and lines and not nested and len(record) == 1:
                key, value = next(iter(record.items()))
                if _holds_rows(value):
                    raise TableError(f"record 1 is one object whose member {_key(key)} holds "
                                     "a list: this is a JSON document, not JSON Lines\nhint: "
                                     f"give --from json --json-key {_shell(key)}")
            for key in record:
                if key not in keys:
                    keys[key] = len(keys)
            if len(record) == len(keys) and all(k == q for k, q in zip(record, keys)):
                row = [_record_cell(v, r, k, scalars, nested) for k, v in record.items()]
            else:
                row = [""] * len(keys)
                for key, value in record.items():
                    row[keys[key]] = _record_cell(value, r, key, scalars, nested)
            batch.append(row)
            if len(batch) >= BATCH:
                spool.write(vorn.stringify(batch))
                count += len(batch)
                batch = []
        width = len(keys)
        yield list(keys)
        if count == 0:  # all the rows are still at hand
            for row in batch:
                yield row + [""] * (width - len(row)) if len(row) < width else row
            return
        if batch:
            spool.write(vorn.stringify(batch))
        del batch
        spool.seek(0)
        for row in _spooled(spool):
            yield row + [""] * (width - len(row)) if len(row) < width else row


def _spooled(spool: TextSource) -> Iterator[Row]:
    try:
        import vorn_io
    except ImportError:  # an installation without the streaming module
        import vorn

        yield from vorn.parse(spool.read())
        return
    yield from vorn_io.reader(spool)


# --- Writing ----------------------------------------------------------------------

def write_rows(rows: Iterable[Row], out: TextSink, fmt: str, dialect: Dialect,
               records: bool = False, text_read: Callable[[], int] | None = None) -> int:
    """Writes every row to out; returns the number of rows. With records, the
    first row names the keys of the objects that the other rows become.
    text_read, if given, tells how many characters of input the rows have
    come from so far: batches that came from little text hold no long cell
    and are not searched for one."""
    if fmt in ("json", "jsonl"):
        items: Iterable[object] = _as_records(rows) if records else rows
        return _write_json(items, out, lines=fmt == "jsonl")
    if fmt == "tsv":
        return _write_tsv(rows, out, dialect)
    return _write_csv(rows, out, fmt, dialect, text_read)


def _bom_first(row: Row) -> bool:
    """Whether a row written first would start the output with U+FEFF, which
    readers take for a byte-order mark and drop."""
    return bool(row) and row[0].startswith(BOM)


# A cell this long is written by the tool itself rather than by csv.writer,
# which builds each row in a buffer of 4 bytes per character.
LARGE_CELL = 1 << 20


class _Pieces:
    """A text sink for csv.writer that keeps what it is given as it is (a
    StringIO would copy it into a buffer of 4 bytes per character)."""

    def __init__(self) -> None:
        self.parts: list[str] = []
        self.write = self.parts.append

    def take(self) -> str:
        text = "".join(self.parts)
        self.parts.clear()
        return text


def _write_csv(rows: Iterable[Row], out: TextSink, fmt: str, dialect: Dialect,
               text_read: Callable[[], int] | None = None) -> int:
    buffer = _Pieces()
    args = dialect.csv_args(fmt)
    try:
        writer = csv.writer(buffer, **args)  # type: ignore[arg-type]
    except (TypeError, ValueError, csv.Error) as exc:
        raise TableError(f"unusable CSV options: {exc}") from None
    by_hand = dialect.quoting != "none"
    count = 0
    read_before = 0
    for batch in batches(rows):
        if text_read is not None:
            read_now = text_read()
            # The input read ahead at most a chunk: a long cell shows as a
            # stretch of text at least half its length.
            might = read_now - read_before > LARGE_CELL // 2
            read_before = read_now
        else:
            might = True
        if count == 0 and _bom_first(batch[0]):
            # A quoted first cell keeps its U+FEFF through a reader that drops a BOM.
            if dialect.quoting == "none":
                raise TableError("row 1, cell 1 starts with U+FEFF, which a reader takes for a "
                                 "byte-order mark; write it with --quoting minimal")
            quoted = dict(args, quoting=csv.QUOTE_ALL)
            csv.writer(buffer, **quoted).writerow(batch[0])  # type: ignore[arg-type]
            batch = batch[1:]
            count = 1
        large = by_hand and might and max(map(len, _chain(batch)), default=0) > LARGE_CELL
        try:
            if large:
                for row in batch:
                    if max(map(len, row), default=0) > LARGE_CELL:
                        out.write(buffer.take())
                        _write_large_row(row, out, dialect, args["lineterminator"])
                    else:
                        writer.writerow(row)
            else:
                writer.writerows(batch)
        except csv.Error as exc:
            r, c = _find_unwritable(batch, writer)
            raise TableError(f"row {count + r}, cell {c} cannot be written with these "
                             f"CSV options: {exc}") from None
        count += len(batch)
        out.write(buffer.take())
    return count


def _write_large_row(row: Row, out: TextSink, dialect: Dialect, eol: object) -> None:
    """A row as csv.writer writes it with minimal or full quoting, handed on
    a cell at a time so that no copy of the whole row is made."""
    delimiter = dialect.delimiter or ","
    quote = dialect.quotechar
    every = dialect.quoting == "all" or row == [""]  # a lone empty cell is quoted
    special = (delimiter, quote, "\r", "\n")
    for c, cell in enumerate(row):
        if c:
            out.write(delimiter)
        if every or any(ch in cell for ch in special):
            out.write(quote)
            out.write(cell.replace(quote, quote + quote))
            out.write(quote)
        else:
            out.write(cell)
    out.write(eol)  # type: ignore[arg-type]


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
        if count == 0 and _bom_first(batch[0]):
            raise TableError("row 1, cell 1 starts with U+FEFF, which TSV cannot hold first (a "
                             "reader takes it for a byte-order mark); write it as CSV (--to csv)")
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


def _as_records(rows: Iterable[Row]) -> Iterator[dict[str, str]]:
    it = iter(rows)
    header = next(it, None)
    if header is None:
        return
    if len(set(header)) != len(header):
        seen: set[str] = set()
        twice = next(k for k in header if k in seen or seen.add(k))  # type: ignore[func-returns-value]
        raise TableError(f"row 1 names the key {json.dumps(twice, ensure_ascii=False)} twice; "
                         "the keys of a record differ")
    width = len(header)
    for r, row in enumerate(it, 2):
        if len(row) > width:
            raise TableError(f"row {r} has {len(row)} cells, more than the {width} keys of "
                             "row 1; write it without --records")
        yield dict(zip(header, row))


_SURROGATE = re.compile("[\ud800-\udfff]")


def _escape_surrogates(text: str) -> str:
    """JSON text with each lone surrogate written as a \\uXXXX escape, the one
    form in which JSON carries it and UTF-8 can store it."""
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


def _write_json(rows: Iterable[object], out: TextSink, lines: bool = False) -> int:
    count = 0
    dumps = json.JSONEncoder(ensure_ascii=False).encode
    for batch in batches(rows):  # type: ignore[arg-type]
        if lines:
            text = "\n".join(map(dumps, batch)) + "\n"
        else:
            lead = "[\n  " if count == 0 else ",\n  "
            text = lead + ",\n  ".join(map(dumps, batch))
        if not text.isascii() and _SURROGATE.search(text):
            text = _escape_surrogates(text)
        out.write(text)
        count += len(batch)
    if not lines:
        out.write("\n]\n" if count else "[]\n")
    return count
