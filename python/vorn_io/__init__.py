"""Streaming VORN: rows read from and written to files and streams of any size.

``reader(fp)`` iterates the rows of the document in ``fp`` while holding only
a chunk of it and the row being read; ``writer(fp)`` writes rows as they
come. ``load`` and ``dump`` are the whole-table counterparts. ``fp`` may be a
binary stream (decoded with ``encoding``, UTF-8 by default) or a text
stream; what is read and written is exactly what ``vorn.parse`` reads and
``vorn.stringify`` writes.

``Decoder`` is the incremental decoder underneath: ``feed(text)`` returns the
rows that a piece of text completes, ``close()`` ends the document. It reads
each piece in place, in native code, and keeps between pieces only what the
document leaves open (the open row's cells, a length's digits, what a payload
still owes), so a document may be split anywhere.

Errors are ``DecodeError``, a ``SyntaxError`` (as ``vorn.parse`` raises) and
a ``ValueError`` (as ``json`` raises), with parse's message for the whole
text and the attributes ``position`` (UTF-16 code units from the start of the
document) and ``row`` (0-based). The rows before an error are produced first.

Text streams must not translate line breaks: a cell's "\\r\\n" read back as
"\\n" shifts every declared length after it. Open files with ``newline=""``
or in binary mode. A text stream that reports translated line breaks through
its ``newlines`` attribute (as ``open()`` and ``io.TextIOWrapper`` do) is
refused with a ``ValueError``; one that translates without saying so cannot
be detected.
"""

from __future__ import annotations

import codecs
import io
from collections.abc import Callable, Iterable, Iterator
from itertools import chain, count, islice
from operator import itemgetter
from typing import Protocol, cast

import vorn

from ._partition import partitions
from .arrow import ArrowReader, read_arrow, write_arrow
from ._scanner import DecodeError, Decoder
from ._version import __version__ as __version__

__all__ = ["reader", "writer", "Writer", "load", "dump", "Decoder", "DecodeError", "DEFAULT_CHUNK_SIZE", "partitions",
           "read_arrow", "write_arrow", "ArrowReader"]

# Units (bytes or characters) asked for per read: large enough that the fixed
# cost of a read vanishes next to decoding it, small enough to stay in the
# caches. Binary streams with read1() return what has arrived, up to this.
DEFAULT_CHUNK_SIZE = 1 << 18

# Characters of document per write in writerows() and dump().
_PIECE = 1 << 17


class SupportsRead(Protocol):
    """A stream to read from: ``read(n)`` returns up to n characters or bytes, empty at the end."""

    def read(self, size: int = ..., /) -> str | bytes: ...


class SupportsWriteText(Protocol):
    """A text stream to write to."""

    def write(self, s: str, /) -> object: ...


class SupportsWriteBytes(Protocol):
    """A binary stream to write to."""

    def write(self, s: bytes, /) -> object: ...


SupportsWrite = SupportsWriteText | SupportsWriteBytes


_stringify = vorn.stringify


def _check_chunk_size(chunk_size: int) -> None:
    if type(chunk_size) is not int:
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")


_TRANSLATED = ("the text stream translates line breaks, which changes the lengths of cells "
               "that hold them: open the file with newline=\"\" or in binary mode")


def _translates(fp: object) -> bool:
    """Whether the text stream fp says it has turned "\\r" or "\\r\\n" into "\\n"."""
    try:
        seen = getattr(fp, "newlines", None)
    except Exception:  # noqa: BLE001 - an unusual stream: nothing to go by
        return False
    if isinstance(seen, str):
        seen = (seen,)
    return isinstance(seen, tuple) and any(isinstance(form, str) and "\r" in form for form in seen)


def _texts(fp: SupportsRead, encoding: str, errors: str, chunk_size: int) -> Iterator[str]:
    """The text of fp in pieces, decoded incrementally when fp is binary."""
    read: Callable[[int], object] = getattr(fp, "read1", None) or fp.read
    data = read(chunk_size)
    if isinstance(data, str):
        # A text stream: read(n) on it waits for n characters or the end.
        read = fp.read
        seen_cr = False
        while data:
            if not seen_cr:
                # A stream that translates line breaks never hands over "\r";
                # one that does not translate hands over every "\r" it has.
                seen_cr = "\r" in data
                if not seen_cr and _translates(fp):
                    raise ValueError(_TRANSLATED)
            yield data
            data = read(chunk_size)
            if not isinstance(data, str):
                raise TypeError(f"read() returned {type(data).__name__} after str")
        return
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"read() returned {type(data).__name__}, expected str or bytes")
    decode = codecs.getincrementaldecoder(encoding)(errors).decode
    while data:
        text = decode(data)
        if text:
            yield text
        data = read(chunk_size)
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"read() returned {type(data).__name__} after bytes")
    text = decode(b"", True)
    if text:
        yield text


def _batches(fp: SupportsRead, decoder: Decoder, encoding: str, errors: str,
             chunk_size: int) -> Iterator[list[list[str]]]:
    feed = decoder.feed
    for text in _texts(fp, encoding, errors, chunk_size):
        rows = feed(text)
        if rows:
            yield rows
    yield decoder.close()


def reader(fp: SupportsRead, *, encoding: str = "utf-8", errors: str = "strict",
           chunk_size: int = DEFAULT_CHUNK_SIZE, max_row_size: int | None = None) -> Iterator[list[str]]:
    """Iterate the rows of the VORN document in the stream fp.

    Each row is a new list of new strings, produced as soon as its ";" has
    been read. A binary stream is decoded with ``encoding`` and ``errors``
    and read with ``read1(chunk_size)`` where it has it, so that rows from a
    pipe or socket arrive without waiting for a full chunk; a text stream is
    read with ``read(chunk_size)``. Memory is bounded by the chunk size and
    the longest row; ``max_row_size`` (characters a row takes in the
    document) bounds the latter for untrusted input.

    A malformed document raises ``DecodeError`` with what ``vorn.parse``
    says of the whole text, after the rows before the fault.
    """
    _check_chunk_size(chunk_size)
    codecs.lookup(encoding)
    decoder = Decoder(max_row_size=max_row_size)
    return chain.from_iterable(_batches(fp, decoder, encoding, errors, chunk_size))


def load(fp: SupportsRead, *, encoding: str = "utf-8", errors: str = "strict",
         chunk_size: int = DEFAULT_CHUNK_SIZE, max_row_size: int | None = None) -> list[list[str]]:
    """The table in the stream fp, read as reader() reads it: what
    ``vorn.parse`` gives for the whole text."""
    _check_chunk_size(chunk_size)
    codecs.lookup(encoding)
    decoder = Decoder(max_row_size=max_row_size)
    table: list[list[str]] = []
    for rows in _batches(fp, decoder, encoding, errors, chunk_size):
        table += rows
    return table


# Iterators that stay exhausted once they are: a batch that ends early ended
# the table, exactly as stringify's walk of the whole table ends there.
def _generator() -> Iterator[None]:
    yield None


_PLAIN_ITERATORS: tuple[type, ...] = (type(iter([])), type(iter(())), type(_generator()))


def _write_rows(rows: Iterable[Iterable[object]], write: Callable[[str], object]) -> bool:
    """Write the rows as vorn.stringify writes the table; whether any row was written.

    Each batch is stringify() of the next rows taken from one iterator of the
    table, each row just before it is written. For a list or a tuple that is
    the walk stringify makes of the whole table: by index, with the length
    read anew at every row, so rows that a cell's conversion adds or removes
    are written or left out just as stringify would.
    """
    it = iter(rows)
    taken = None
    if type(it) not in _PLAIN_ITERATORS:
        # Count the rows each batch takes, so that the walk ends at the first
        # exhaustion even if the iterator would yield again afterwards.
        taken = count()
        it = map(itemgetter(0), zip(it, taken))
    batch = 8
    wrote = False
    pulled = 0
    while True:
        text = _stringify(islice(it, batch))
        if not text:
            return wrote
        write(text)
        wrote = True
        if taken is not None:
            now = next(taken)
            if now - pulled < batch:
                return wrote
            pulled = now + 1
        batch = max(1, min(4 * batch, batch * _PIECE // len(text), 1 << 20))


def _is_binary(fp: object) -> bool:
    if isinstance(fp, io.TextIOBase):
        return False
    if isinstance(fp, (io.RawIOBase, io.BufferedIOBase)):
        return True
    mode = getattr(fp, "mode", None)
    return isinstance(mode, str) and "b" in mode


def _writer_of(fp: SupportsWrite, encoding: str, errors: str) -> Callable[[str], object]:
    if not _is_binary(fp):
        return cast(SupportsWriteText, fp).write
    write = cast(SupportsWriteBytes, fp).write
    encode = codecs.getincrementalencoder(encoding)(errors).encode
    return lambda text: write(encode(text))


class Writer:
    """Writes rows to a stream as VORN; see writer()."""

    __slots__ = ("_write",)

    def __init__(self, fp: SupportsWrite, *, encoding: str = "utf-8", errors: str = "strict") -> None:
        self._write = _writer_of(fp, encoding, errors)

    def writerow(self, row: Iterable[object]) -> None:
        """Write one row: its cells, each as vorn.stringify writes it, and ";"."""
        self._write(_stringify((row,)))

    def writerows(self, rows: Iterable[Iterable[object]]) -> None:
        """Write the rows in order, in writes of bounded size."""
        _write_rows(rows, self._write)


def writer(fp: SupportsWrite, *, encoding: str = "utf-8", errors: str = "strict") -> Writer:
    """A writer of rows to the stream fp.

    Everything written through it, in order, is what ``vorn.stringify``
    gives for the table of all those rows. A binary stream (an
    ``io.RawIOBase`` or ``io.BufferedIOBase``, or a file whose mode has "b")
    receives that text encoded with ``encoding`` and ``errors``; any other
    stream receives it as str. Each ``writerow`` call writes its row at once;
    ``writerows`` writes in pieces of about a hundred thousand characters.
    """
    return Writer(fp, encoding=encoding, errors=errors)


def dump(table: Iterable[Iterable[object]], fp: SupportsWrite, *, encoding: str = "utf-8",
         errors: str = "strict") -> None:
    """Write ``vorn.stringify(table)`` to fp, in pieces of bounded size.

    If a row or cell raises, the rows of earlier pieces have been written.
    """
    write = _writer_of(fp, encoding, errors)
    if not _write_rows(table, write):
        write("")
