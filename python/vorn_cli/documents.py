"""VORN documents read and written a row at a time, and the report for a
document that is refused."""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Iterator

import vorn
import vorn_io

from .report import describe
from .streams import DATA_ERROR, Failure, Input, Progress
from .tables import BATCH, EXTENSIONS, Row, TextSink, batches



def open_document(path: str, encoding: str, progress: Progress | None = None,
                  errors: str = "strict") -> Input:
    """A VORN document to read, from a file (decompressed by its name) or
    standard input (decompressed by its first bytes). A byte-order mark at
    its start is dropped: no document starts with U+FEFF, so nothing is lost."""
    return Input(path, encoding, strip_bom=True, progress=progress, errors=errors)


def error_place(exc: vorn_io.DecodeError) -> tuple[int, int]:
    """Where the decoder refused a document: the UTF-16 offset (the end of the
    input when it ended too soon) and the 0-based row."""
    return exc.position, exc.row


def read_batches(source: Input, size: int = BATCH,
                 max_row_size: int | None = None) -> Iterator[list[Row]]:
    """The rows of the document in source, size at a time. A refused document
    raises Failure with the full report, after the rows before the error.
    With max_row_size, a row of more characters is refused."""
    rows: Iterator[Row] = vorn_io.reader(source, max_row_size=max_row_size)
    last: Row | None = None
    batch: list[Row] = []
    try:
        while True:
            batch = []
            # extend() keeps what it took before an error, so those rows are
            # still handed on.
            batch.extend(itertools.islice(rows, size))
            if not batch:
                return
            yield batch
            last = batch[-1]
    except vorn_io.DecodeError as exc:
        if batch:
            yield batch
            last = batch[-1]
        raise Failure(refusal(source, exc, last), DATA_ERROR) from None


def first_rows(source: Input, n: int, max_row_size: int | None = None) -> Iterator[Row]:
    """The first n rows of the document in source, reading no further into
    it than they take: rows are asked of the reader no more than are still
    wanted, so a pipe is not read past them."""
    rows: Iterator[Row] = vorn_io.reader(source, max_row_size=max_row_size)
    last: Row | None = None
    left = n
    batch: list[Row] = []
    try:
        while left > 0:
            batch = []
            batch.extend(itertools.islice(rows, min(left, BATCH)))
            if not batch:
                return
            left -= len(batch)
            last = batch[-1]
            yield from batch
    except vorn_io.DecodeError as exc:
        if batch:
            yield from batch
            last = batch[-1]
        raise Failure(refusal(source, exc, last), DATA_ERROR) from None


def read_document(source: Input, max_row_size: int | None = None) -> Iterator[Row]:
    """The rows of the document in source (see read_batches)."""
    return itertools.chain.from_iterable(read_batches(source, max_row_size=max_row_size))


def write_document(rows: Iterable[Row], out: TextSink) -> int:
    """Writes rows as a VORN document; returns the number of rows. Each batch
    of rows is one piece of text, which the output encodes as it is."""
    count = 0
    stringify = vorn.stringify
    for batch in batches(rows):
        out.write(stringify(batch))
        count += len(batch)
    return count


def refusal(source: Input, exc: vorn_io.DecodeError, last: Row | None) -> str:
    message = str(exc)
    position, _ = error_place(exc)
    place = source.window(position)
    hint = None
    if source.chars == 0:
        hint = "the input is empty; the smallest document is ';' (one empty row)"
    elif place is not None and place.trailing_break:
        before = place.text[:place.at]
        row = vorn.stringify([last]) if last is not None else ";"
        if before.endswith(row) or (len(before) < len(row) and before.endswith(";")):
            hint = "a document ends at its last ';'; remove the line break after it"
    if hint is None and last is None:
        hint = table_hint(source)
    return describe(place, source.name, message, hint)


def table_hint(source: Input) -> str | None:
    """A hint for a document refused in its first row that looks like a table
    that `vorn encode` would take."""
    ext = source.path.lower()
    for suffix in (".gz", ".bz2", ".xz"):
        ext = ext.removesuffix(suffix)
    fmt = next((f for e, f in EXTENSIONS.items() if ext.endswith(e)), None)
    head = source.head.lstrip(" \t\r\n")
    if fmt is None:
        if head.startswith(("[", "{")):
            fmt = "json"
        else:
            first = head.split("\n", 1)[0]
            if "," in first or "\t" in first or ";" in first:
                fmt = "csv"
    if fmt is None:
        return None
    name = "FILE" if source.path == "-" else source.path
    return (f"this looks like {fmt.upper()} rather than a VORN document; to convert a table "
            f"to VORN, use: vorn encode {name}")
