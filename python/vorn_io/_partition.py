"""Exact partitions of a VORN file: byte ranges that each begin at a row
boundary and each read alone as a complete document.

Cells are length-prefixed, so a row's end is found by hopping over each
payload by its declared length, whatever the payload holds: ";", digits,
line breaks. ``partitions`` makes that pass in native code over the file's
bytes and reads nothing into strings: a regular file is read by offset with
the interpreter released (``_scanner._partition_file``), any other binary
stream a chunk at a time (``_scanner.Partitioner``). Both raise the
decoder's own ``DecodeError`` for a malformed document.
"""

from __future__ import annotations

import codecs
import contextlib
import gc
import io
import os
import stat
from collections.abc import Iterator
from typing import IO, Union, cast

from . import _scanner
from ._scanner import DecodeError, Decoder, Partitioner

__all__ = ["partitions", "DEFAULT_PARTITION_SIZE"]

DEFAULT_PARTITION_SIZE = 64 << 20

# Bytes read per call from a stream: large enough that the per-call cost
# vanishes, small enough to stay in the caches. The finder hands back fewer
# than _ROOM bytes at the end of each chunk, which go in front of the next.
_CHUNK = 4 << 20
_ROOM = 128

# Bytes per positioned read of a regular file: enough that the per-call cost
# vanishes, few enough that the bytes are still in the caches when the pass
# reads them.
_FILE_CHUNK = 1 << 20

Source = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", IO[bytes]]


def _check_encoding(encoding: str) -> None:
    name = codecs.lookup(encoding).name
    if name == "utf-8":
        return
    if name.startswith(("utf-16", "utf-32")):
        raise ValueError(
            f"partitions() reads UTF-8 files only, not {name}: a byte offset in a {name} file "
            "needs a pass of its own to count; convert the file to UTF-8 first "
            "(vorn_io.reader and vorn_io.writer copy it row by row)")
    raise ValueError(f"partitions() reads UTF-8 files only, not {name}")


def partitions(source: Source, *, size: int = DEFAULT_PARTITION_SIZE,
               encoding: str = "utf-8") -> list[tuple[int, int, int]]:
    """Split the VORN document in ``source`` into byte ranges of about ``size`` bytes.

    ``source`` is a path or a binary file; a file is read from its current
    position, and offsets are positions in it. An empty document (no bytes)
    is one empty range, ``[(start, start, 0)]``, which reads as no rows.
    Returns a list of
    ``(start, end, first_row_index)``: the ranges cover the document in
    order, each begins at a row boundary and ends at the first row end at or
    after ``start + size`` (the last at the end of the file), and
    ``first_row_index`` is the number of rows before it. Each range decodes
    alone as a complete VORN document, and the rows of all ranges in order
    are the rows of the whole document.

    The pass reads every byte once and decodes none: payloads are hopped by
    their declared UTF-16 lengths. A regular file of 16 MiB or more, cut
    into ranges of 1 MiB or more, is walked in segments on every CPU the
    process may use, each segment from where a row seems to begin and each
    guess confirmed by the walk before it; the ranges are those one walk
    finds, and a wrong guess or a fault sends the pass to one walk. A
    malformed document raises
    ``DecodeError`` with what ``vorn.parse`` says of the whole text (its
    position in UTF-16 code units from the start of the document). The
    structure is checked; the cell texts' UTF-8 is checked when a range is
    decoded. Only UTF-8 files are read: UTF-16 and UTF-32 are refused with a
    ``ValueError``.
    """
    if type(size) is not int:
        raise TypeError(f"size must be an int, not {type(size).__name__}")
    if size < 1:
        raise ValueError("size must be at least 1")
    _check_encoding(encoding)
    size = min(size, 1 << 62)  # no file is larger: the same ranges, in native integers
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as fp:
            return _partitions(fp, size)
    return _partitions(source, size)


def _origin(fp: object) -> int:
    try:
        if fp.seekable():  # type: ignore[attr-defined]
            return int(fp.tell())  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        pass
    return 0


def _regular_fd(fp: object) -> int | None:
    """The descriptor of fp when it is a regular file, else None."""
    try:
        fd = int(fp.fileno())  # type: ignore[attr-defined]
        info = os.fstat(fd)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None
    if not stat.S_ISREG(info.st_mode) or not hasattr(_scanner, "_partition_file"):
        return None
    return fd


def _cpus() -> int:
    """The CPUs this process may run on: how many walk a large file at once."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _ranges(cuts: list[tuple[int, int]], total: int, origin: int) -> list[tuple[int, int, int]]:
    starts = [0]
    rows = [0]
    for offset, before in cuts:
        if offset < total:
            starts.append(offset)
            rows.append(before)
    ends = starts[1:] + [total]
    return [(origin + s, origin + e, r) for s, e, r in zip(starts, ends, rows)]


def _partitions(fp: IO[bytes], size: int) -> list[tuple[int, int, int]]:
    if isinstance(fp, io.TextIOBase):
        raise TypeError("partitions() needs a binary file: open it with mode 'rb'")
    origin = _origin(fp)
    fd = _regular_fd(fp)
    if fd is not None:
        # Positioned reads: a file truncated meanwhile raises ValueError
        # (where a map of it would kill the process on the next page).
        cuts, total = _scanner._partition_file(fd, origin, size, _FILE_CHUNK, _cpus())
        fp.seek(0, io.SEEK_END)
        return _ranges(cuts, total, origin)
    return _partitions_read(fp, origin, size)


def _partitions_read(fp: IO[bytes], origin: int, size: int) -> list[tuple[int, int, int]]:
    finder = Partitioner(size)
    buffer = bytearray(_CHUNK + _ROOM)
    view = memoryview(buffer)
    readinto = getattr(fp, "readinto", None)
    cuts: list[tuple[int, int]] = []
    kept = 0  # bytes handed back at the front of the buffer
    base = 0  # file offset (from origin) of buffer[0]
    try:
        while True:
            if readinto is not None:
                got = readinto(view[kept:])
                if got is None:
                    raise BlockingIOError("the file has no data ready: partitions() needs a blocking file")
            else:
                data = fp.read(_CHUNK)
                if not isinstance(data, (bytes, bytearray, memoryview)):
                    raise TypeError(f"read() returned {type(data).__name__}, expected bytes: "
                                    "partitions() needs a binary file")
                got = len(data)
                view[kept:kept + got] = data
            length = kept + got
            final = got == 0
            outcome = finder.feed(view[:length], final, cuts)
            if final:
                total = base + length
                break
            consumed = cast(int, outcome)  # a count, as the chunk was not final
            kept = length - consumed
            view[:kept] = bytes(view[consumed:length])
            base += consumed
    finally:
        view.release()
    return _ranges(cuts, total, origin)


# Bytes read at a time when a range is read: the text of one read stays in
# the caches while it is decoded and scanned.
_READ = 1 << 18


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a range's rows are built.

    The rows are new lists of new strings, which cannot form cycles, but as
    millions of them accumulate the collector traverses them again and
    again: with it paused, reading four 64 MiB ranges of short cells took
    3.4 s instead of 8.1 s here. Whatever was enabled is enabled again after.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def read_range(fp: IO[bytes], start: int, end: int, *, first_row: int = 0) -> list[list[str]]:
    """The rows of the range [start, end) of the binary file fp, one of those
    that partitions() returned: its bytes decoded strictly as UTF-8, a piece
    at a time, and read as a document of their own."""
    fp.seek(start)
    decoder = Decoder()
    decode = codecs.getincrementaldecoder("utf-8")("strict").decode
    rows: list[list[str]] = []
    left = end - start
    try:
        with _collector_paused():
            while left > 0:
                data = fp.read(min(left, _READ))
                if not data:
                    raise ValueError(f"the file ends at byte {end - left}, before the end of the range "
                                     f"[{start}, {end}): it changed since it was partitioned")
                left -= len(data)
                text = decode(data, left <= 0)
                if text:
                    rows += decoder.feed(text)
            rows += decoder.close()
    except DecodeError as error:
        error.add_note(f"reading the range [{start}, {end}) of the file, which begins at row {first_row}, "
                       "as a document of its own (positions count from the range's start): the file "
                       "changed since it was partitioned, or the range is not one of its partitions")
        raise
    return rows
