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

Text streams must not translate line breaks: a cell's "\r\n" read back as
"\n" shifts every declared length after it. Open files with ``newline=""``
or in binary mode. A stream that keeps line breaks is never refused; one
that translates them is refused with a ``ValueError``, judged from the text
it returned and its ``newlines`` attribute (see ``_text_pieces``), before
any row it changed is produced. Writers likewise refuse a stream seen to
change the line breaks they write. Empty input is the document of no rows.
"""

from __future__ import annotations

import codecs as _codecs
import io as _io
import os as _os
import stat as _stat
from collections.abc import Callable as _Callable, Iterable as _Iterable, Iterator as _Iterator
from itertools import chain as _chain, count as _count, islice as _islice
from operator import itemgetter as _itemgetter
from typing import Protocol as _Protocol, cast as _cast

import vorn as _vorn

from ._partition import partitions
from .arrow import ArrowReader, read_arrow, write_arrow
from ._scanner import DecodeError, Decoder
from ._version import __version__ as __version__

__all__ = ["reader", "writer", "Writer", "load", "dump", "Decoder", "DecodeError", "DEFAULT_CHUNK_SIZE",
           "partitions", "SupportsRead", "SupportsWrite", "SupportsWriteText", "SupportsWriteBytes",
           "read_arrow", "write_arrow", "ArrowReader"]

# Units (bytes or characters) asked for per read: large enough that the fixed
# cost of a read vanishes next to decoding it, small enough to stay in the
# caches. Binary streams with read1() return what has arrived, up to this.
DEFAULT_CHUNK_SIZE = 1 << 18

# Characters of document per write in writerows() and dump().
_PIECE = 1 << 17


class SupportsRead(_Protocol):
    """A stream to read from: ``read(n)`` returns up to n characters or bytes, empty at the end."""

    def read(self, size: int = ..., /) -> str | bytes: ...


class SupportsWriteText(_Protocol):
    """A text stream to write to."""

    def write(self, s: str, /) -> object: ...


class SupportsWriteBytes(_Protocol):
    """A binary stream to write to."""

    def write(self, s: bytes, /) -> object: ...


SupportsWrite = SupportsWriteText | SupportsWriteBytes


_stringify = _vorn.stringify


def _check_chunk_size(chunk_size: int) -> None:
    if type(chunk_size) is not int:
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")


_TRANSLATED = ("the text stream translates line breaks, which changes the lengths of cells "
               "that hold them: open the file with newline=\"\" or in binary mode")

_TRANSLATING_OUT = ("the text stream translates line breaks on output, which changes the lengths of "
                    "cells that hold them: open the file with newline=\"\" or in binary mode")

# How far a TextIOWrapper decodes ahead of what it has returned is at most
# what one read of its buffer decodes: max(_CHUNK_SIZE, bytes per character
# times the characters asked for) characters. Text held back beyond this many
# chunks without a "\r" returned has outrun any read-ahead.
_AHEAD_CHUNKS = 16


def _check_encoding(encoding: str) -> None:
    """Refuse, by name, an unknown codec or one that does not decode bytes to text."""
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str, not {type(encoding).__name__}")
    info = _codecs.lookup(encoding)
    if not getattr(info, "_is_text_encoding", True):
        raise LookupError(f"{encoding!r} is not a text encoding: VORN streams are text, "
                          "read from bytes with a codec such as 'utf-8'")


def _line_breaks_seen(fp: object) -> tuple[str, ...] | None:
    """The kinds of line break the text stream fp reports having decoded
    (its ``newlines``), or None when it reports nothing."""
    try:
        seen = getattr(fp, "newlines", None)
    except Exception:  # noqa: BLE001 - an unusual stream: nothing to go by
        return None
    if isinstance(seen, str):
        seen = (seen,)
    if not isinstance(seen, tuple) or not all(isinstance(form, str) for form in seen):
        return None
    return seen


def _verdict(fp: object, at_end: bool) -> bool | None:
    """Whether the text fp has returned so far, which holds a "\n" but no
    "\r", had line breaks translated: True, False, or None when only more
    text can tell.

    A stream that translates ("\r\n" and "\r" to "\n") never returns a
    "\r"; one that does not returns every "\r" it decodes, though possibly
    only after later reads, since ``newlines`` also covers what it has
    decoded ahead. So: no "\r" form reported means no "\n" returned was
    translated; a returned "\n" the stream does not report as "\n" was one;
    and a "\r" form reported but never returned by the end was translated.
    """
    seen = _line_breaks_seen(fp)
    if seen is None or not ("\r" in seen or "\r\n" in seen):
        return False
    if "\n" not in seen or at_end:
        return True
    return None


def _read_text(fp: SupportsRead, read: _Callable[[int], object], size: int) -> str:
    data = read(size)
    if isinstance(data, str):
        return data
    if data is None:
        raise BlockingIOError("the stream has no data ready: reading VORN needs a blocking stream")
    raise TypeError(f"read() returned {type(data).__name__} after str")


def _text_pieces(fp: SupportsRead, data: str, chunk_size: int) -> _Iterator[str]:
    """The text of the text stream fp, which returned ``data`` first, held
    back where it may have had line breaks translated until that is settled:
    a ValueError when it was."""
    read = fp.read
    held: list[str] = []  # text from the first "\n" on whose verdict is open
    held_size = 0
    bound = _AHEAD_CHUNKS * max(chunk_size, getattr(fp, "_CHUNK_SIZE", 0) or 0)
    bounded = isinstance(fp, _io.TextIOWrapper)
    while data:
        if "\r" in data:
            # Returned as it is stored: nothing was translated, and nothing will be.
            yield from held
            yield data
            yield from iter(lambda: _read_text(fp, read, chunk_size), "")
            return
        if not held:
            lf = data.find("\n")
            if lf < 0:
                yield data
            else:
                if lf:
                    yield data[:lf]
                held.append(data[lf:])
                held_size = len(data) - lf
        else:
            held.append(data)
            held_size += len(data)
        if held:
            verdict = _verdict(fp, False)
            if verdict is None and bounded and held_size > bound:
                verdict = True
            if verdict:
                raise ValueError(_TRANSLATED)
            if verdict is False:
                yield from held
                held.clear()
        data = _read_text(fp, read, chunk_size)
    if held:
        if _verdict(fp, True):
            raise ValueError(_TRANSLATED)
        yield from held


def _texts(fp: SupportsRead, encoding: str, errors: str, chunk_size: int) -> _Iterator[str]:
    """The text of fp in pieces, decoded incrementally when fp is binary."""
    read: _Callable[[int], object] = getattr(fp, "read1", None) or fp.read
    data = read(chunk_size)
    if isinstance(data, str):
        # A text stream: read(n) on it waits for n characters or the end.
        yield from _text_pieces(fp, data, chunk_size)
        return
    decode = _codecs.getincrementaldecoder(encoding)(errors).decode
    while True:
        if data is None:
            raise BlockingIOError("the stream has no data ready: reading VORN needs a blocking stream")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"read() returned {type(data).__name__}, expected str or bytes")
        if not data:
            break
        text = decode(data)
        if text:
            yield text
        data = read(chunk_size)
    text = decode(b"", True)
    if text:
        yield text


def _batches(fp: SupportsRead, decoder: Decoder, encoding: str, errors: str,
             chunk_size: int) -> _Iterator[list[list[str]]]:
    feed = decoder.feed
    empty = True
    for text in _texts(fp, encoding, errors, chunk_size):
        empty = False
        rows = feed(text)
        if rows:
            yield rows
    if not empty:
        # An empty stream is a document of no rows (what dump() writes for
        # a table without rows); vorn.parse("") stays an error.
        yield decoder.close()


def reader(fp: SupportsRead, *, encoding: str = "utf-8", errors: str = "strict",
           chunk_size: int = DEFAULT_CHUNK_SIZE, max_row_size: int | None = None) -> _Iterator[list[str]]:
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
    _check_encoding(encoding)
    decoder = Decoder(max_row_size=max_row_size)
    return _chain.from_iterable(_batches(fp, decoder, encoding, errors, chunk_size))


def load(fp: SupportsRead, *, encoding: str = "utf-8", errors: str = "strict",
         chunk_size: int = DEFAULT_CHUNK_SIZE, max_row_size: int | None = None) -> list[list[str]]:
    """The table in the stream fp, read as reader() reads it: what
    ``vorn.parse`` gives for the whole text."""
    _check_chunk_size(chunk_size)
    _check_encoding(encoding)
    decoder = Decoder(max_row_size=max_row_size)
    table: list[list[str]] = []
    for rows in _batches(fp, decoder, encoding, errors, chunk_size):
        table += rows
    return table


# Iterators that stay exhausted once they are: a batch that ends early ended
# the table, exactly as stringify's walk of the whole table ends there.
def _generator() -> _Iterator[None]:
    yield None


_PLAIN_ITERATORS: tuple[type, ...] = (type(iter([])), type(iter(())), type(_generator()))


def _write_rows(rows: _Iterable[_Iterable[object]], write: _Callable[[str], object]) -> bool:
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
        taken = _count()
        it = map(_itemgetter(0), zip(it, taken))
    batch = 8
    wrote = False
    pulled = 0
    while True:
        text = _stringify(_islice(it, batch))
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
    if isinstance(fp, _io.TextIOBase):
        return False
    if isinstance(fp, (_io.RawIOBase, _io.BufferedIOBase)):
        return True
    mode = getattr(fp, "mode", None)
    return isinstance(mode, str) and "b" in mode


def _encoded(fp: object, text: str, at_start: bool) -> bytes | None:
    """text in the encoding of the text file fp, or None when that is unknown."""
    try:
        encoder = _codecs.getincrementalencoder(fp.encoding)(fp.errors or "strict")  # type: ignore[attr-defined]
        if not at_start:
            encoder.setstate(0)  # past the start: no byte-order mark
        return encoder.encode(text, True)
    except Exception:  # noqa: BLE001 - an encoding we cannot mirror: nothing to go by
        return None


def _file_bytes(fp: object, start: int, size: int) -> bytes | None:
    """size bytes at offset start of the BytesIO or the regular file under
    the text file fp, read beside it (a file opened for writing only is opened again by name,
    once its name is seen to be the same file), or None."""
    buffer = getattr(fp, "buffer", None)
    if isinstance(buffer, _io.BytesIO):
        with buffer.getbuffer() as view, view[start:start + size] as part:
            return bytes(part)
    try:
        fd = fp.fileno()  # type: ignore[attr-defined]
        info = _os.fstat(fd)
        if not _stat.S_ISREG(info.st_mode):
            return None
        try:
            return _os.pread(fd, size, start)
        except OSError:
            pass
        name = getattr(fp, "name", None)
        if not isinstance(name, (str, bytes)):
            return None
        again = _os.open(name, _os.O_RDONLY)
        try:
            other = _os.fstat(again)
            if (other.st_dev, other.st_ino) != (info.st_dev, info.st_ino):
                return None
            return _os.pread(again, size, start)
        finally:
            _os.close(again)
    except (AttributeError, OSError, ValueError, _io.UnsupportedOperation):
        return None


def _output_translated(fp: object, write: _Callable[[str], object], text: str) -> bool:
    """Write text, which ends in a line break, to the text stream fp, and say
    whether the stream was seen to change it on the way: for a StringIO, the
    text it now holds there; for a seekable text file, the bytes its buffer
    grew by and the bytes stored (read beside it, since reading through it
    may translate again). Other streams, and pipes, cannot be seen."""
    try:
        start = fp.tell() if fp.seekable() else None  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        start = None
    write(text)
    if not isinstance(start, int):
        return False
    try:
        end = fp.tell()  # type: ignore[attr-defined]
        if isinstance(fp, _io.StringIO):
            # Positions count characters, and reading returns what is held.
            fp.seek(start)
            back = fp.read(len(text) + 1)
            fp.seek(end)
            return end - start != len(text) or back[:len(text)] != text
        if isinstance(fp, _io.TextIOWrapper) and isinstance(end, int):
            # Positions of a text file that has only been written are byte
            # offsets in its buffer, which tell() has flushed.
            sent = _encoded(fp, text, start == 0)
            if sent is None:
                return False
            if end - start != len(sent):
                return True
            stored = _file_bytes(fp, start, len(sent))
            return stored is not None and stored != sent
    except (AttributeError, OSError, ValueError, TypeError, _io.UnsupportedOperation):
        pass
    return False


def _text_writer_of(fp: SupportsWriteText) -> _Callable[[str], object]:
    """fp.write, which checks with the first "\n" and the first "\r" it
    writes that the stream writes line breaks as they are."""
    write = fp.write
    unchecked = ["\n", "\r"]

    def checked_write(text: str) -> object:
        whole = text
        while unchecked:
            hits = [at for at in (text.find(c) for c in unchecked) if at >= 0]
            if not hits:
                break
            at = min(hits) + 1
            unchecked.remove(text[at - 1])
            if _output_translated(fp, write, text[:at]):
                raise ValueError(_TRANSLATING_OUT)
            text = text[at:]
        return write(text) if text or text is whole else None

    return checked_write


def _writer_of(fp: SupportsWrite, encoding: str, errors: str) -> _Callable[[str], object]:
    if not _is_binary(fp):
        return _text_writer_of(_cast(SupportsWriteText, fp))
    _check_encoding(encoding)
    write = _cast(SupportsWriteBytes, fp).write
    encode = _codecs.getincrementalencoder(encoding)(errors).encode
    return lambda text: write(encode(text))


class Writer:
    """Writes rows to a stream as VORN; see writer()."""

    __slots__ = ("_write",)

    def __init__(self, fp: SupportsWrite, *, encoding: str = "utf-8", errors: str = "strict") -> None:
        self._write = _writer_of(fp, encoding, errors)

    def writerow(self, row: _Iterable[object]) -> None:
        """Write one row: its cells, each as vorn.stringify writes it, and ";"."""
        self._write(_stringify((row,)))

    def writerows(self, rows: _Iterable[_Iterable[object]]) -> None:
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


def dump(table: _Iterable[_Iterable[object]], fp: SupportsWrite, *, encoding: str = "utf-8",
         errors: str = "strict") -> None:
    """Write ``vorn.stringify(table)`` to fp, in pieces of bounded size.

    If a row or cell raises, the rows of earlier pieces have been written.
    """
    write = _writer_of(fp, encoding, errors)
    if not _write_rows(table, write):
        write("")


# The future import binds a name of its own; the namespace holds only the API.
del annotations
