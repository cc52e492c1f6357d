"""Streaming VORN: rows read from and written to text files one at a time.

``reader(fp)`` iterates the rows of the document in the text stream ``fp``
while holding only a chunk of it and the row being read; ``writer(fp)``
writes rows as they come. ``load`` and ``dump`` are the whole-table
counterparts. The text read and written is exactly what ``vorn.parse`` reads
and ``vorn.stringify`` writes, errors included. Open files with
``newline=""``, so that line breaks inside cells are kept as they are.

How the reader finds rows: a piece of a document that starts between two
cells and ends with ";" parses exactly when that ";" ends a row; a ";"
inside a cell leaves the cell unfinished, which is an end of input. Each
chunk is therefore cut after its last ";" and handed to ``vorn.parse`` with
padding that finishes whatever the piece leaves open and tells where that
was (_split_padded); when cells are long and few, a Python scan that hops
from cell to cell by the declared lengths finds the last row end instead. Text that completes no row
is read on until it at least doubles, so the work stays linear in the size
of the document whatever its rows look like.

Errors keep ``vorn.parse``'s type and message. A position in a message
about a piece is moved to the whole document by adding the UTF-16 length of
the text before the piece, and the end-of-input cases in which parse's
outcome depends on whether the document holds a character from U+10000 up
are decided with what was seen of the whole document.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Callable, Iterable, Iterator
from itertools import chain, islice
from typing import Protocol

import vorn

from ._version import __version__ as __version__

__all__ = ["reader", "writer", "Writer", "load", "dump", "DEFAULT_CHUNK_SIZE"]

# Characters read per call of fp.read(): large enough that the fixed cost of a
# chunk vanishes next to parsing it, small enough to stay in the caches.
DEFAULT_CHUNK_SIZE = 1 << 18

# Characters of document per write in writerows() and dump().
_PIECE = 1 << 17


class SupportsRead(Protocol):
    """A text stream to read from: ``read(n)`` returns up to n characters, ``""`` at the end."""

    def read(self, size: int = ..., /) -> str: ...


class SupportsWrite(Protocol):
    """A text stream to write to."""

    def write(self, s: str, /) -> object: ...


_parse = vorn.parse
_stringify = vorn.stringify

_ASTRAL = re.compile("[\U00010000-\U0010ffff]")
_TOKEN = re.compile(r"Unexpected token '(.)' at position ([0-9]+)", re.DOTALL)
# A complete row holding one character from U+10000 up: put in front of a
# piece, it makes vorn.parse read the piece as it reads a document that holds
# such a character somewhere (the end-of-input rules differ slightly).
_WIDE_ROW = "02\U0001F600;"
_WIDE_ROW_U16 = 5
# Padding for a piece that ends with ";" (see _split_padded): pairs of "0"
# (empty cells), then an ending that reads to the same final ";" whether or
# not a single "0" comes before it, and makes two cells that tell which.
_PAD_END = "01109" + "0" * 9 + ";"
_EVEN_END = ["1", "0" * 9]       # _PAD_END read from its start
_ODD_END = ["", "9" + "0" * 9]   # "0" + _PAD_END
_PAIRS_MIN = 16
# Cost of hopping over one cell in Python, in units of the cost that one pair
# of padding adds to vorn.parse.
_HOP_COST = 50
# Number of length digits announced by each digit-count character.
_DIGITS = {c: i + 1 for i, c in enumerate("0123456789abcdef")}
_DIGITS.update({c: i + 11 for i, c in enumerate("ABCDEF")})

# A string holds a character from U+10000 up exactly when the interpreter
# stores it with four bytes per character, and its reported size then is at
# least this base plus four bytes per character and terminator. Smaller sizes
# rule such characters out without looking at the text; larger ones are
# confirmed by a search, since a cached UTF-8 form also adds to the size.
def _base4() -> int:
    base = sys.getsizeof("\U00010000") - 8
    if (sys.getsizeof("\U00010000" * 9) != base + 40
            or sys.getsizeof("\uffff" * 9) >= base + 40):
        return 0  # unknown layout: always search
    return base


_BASE4 = _base4()


def _is_wide(s: str) -> bool:
    """Whether s holds a character from U+10000 up."""
    if s.isascii() or sys.getsizeof(s) < _BASE4 + 4 * (len(s) + 1):
        return False
    return _ASTRAL.search(s) is not None


def _u16len(s: str) -> int:
    """The number of UTF-16 code units of s (a lone surrogate counts 1)."""
    if not _is_wide(s):
        return len(s)
    try:
        return len(s.encode("utf-16-le")) >> 1
    except UnicodeEncodeError:
        return len(s.encode("utf-16-le", "surrogatepass")) >> 1


def _index_at(s: str, offset: int) -> int:
    """The index of the character of s that covers UTF-16 offset ``offset``."""
    astral = 0
    for m in _ASTRAL.finditer(s, 0, offset):
        j = m.start() + astral
        if j >= offset:
            break
        if j + 1 == offset:
            return m.start()
        astral += 1
    return offset - astral


def _payload_end(s: str, start: int, units: int, wide: bool) -> int:
    """Index just past a payload of ``units`` UTF-16 code units that starts at
    index ``start`` of s; -1 when the payload ends between the two halves of
    a character from U+10000 up. The result may lie past the end of s."""
    end = start + units
    if wide:
        for m in _ASTRAL.finditer(s, start, min(end, len(s))):
            j = m.start()
            if j >= end:
                break
            end -= 1  # this character takes two of the units
            if j >= end:
                return -1
    return end


def _last_row_end(s: str, limit: int) -> tuple[int, bool]:
    """The index just past the last row terminator before index ``limit`` of s,
    where s starts between two cells (0 if no row ends there), and whether
    the scan stopped at something malformed rather than at ``limit`` or at a
    cell that runs to the end of s.

    Cells are passed over by their declared lengths; the rows found are the
    ones that vorn.parse reads before it fails or runs out of text."""
    wide = _is_wide(s)
    length = len(s)
    digits = _DIGITS
    i = last = 0
    while i < limit:
        c = s[i]
        if c == ";":
            i += 1
            last = i
            continue
        d = digits.get(c)
        if d is None:
            return last, True
        start = i + 1 + d
        if start >= length:
            break
        n = s[i + 1:start]
        if not (n.isascii() and n.isdigit()):
            return last, True
        i = _payload_end(s, start, int(n), wide)
        if i < 0:
            return last, True
        if i >= length:
            break
    return last, False


def _token_error(exc: BaseException) -> tuple[str, int] | None:
    """The character and position of an unexpected-token report of vorn.parse;
    None for its end-of-input report."""
    if type(exc) is SyntaxError and len(exc.args) == 1:
        msg = exc.args[0]
        if type(msg) is str and msg is not getattr(vorn, "ErrUnexpectedEndOfInput", None):
            m = _TOKEN.fullmatch(msg)
            if m:
                return m.group(1), int(m.group(2))
    return None


def _joined(rows: list[list[str]], pending: list[str]) -> list[list[str]]:
    """rows, with the cells read before them put at the front of the first."""
    if pending and rows:
        rows[0][:0] = pending
    return rows


def _fail(buf: str, pending: list[str], base: int, char: str,
          offset: int) -> Iterator[list[list[str]]]:
    """Yield the rows that end in buf before the unexpected token at UTF-16
    offset ``offset`` of buf, then raise the report for it, placed at ``base``
    + offset in the whole document."""
    end, _ = _last_row_end(buf, _index_at(buf, offset))
    if end:
        yield _joined(_parse(buf[:end]), pending)
    raise SyntaxError(f"Unexpected token '{char}' at position {base + offset}")


def _attempt(piece: str) -> tuple[list[list[str]] | None, BaseException | None]:
    """vorn.parse(piece), or the report it raised (a NameError stands for an
    end-of-input report whose message has been deleted from the module)."""
    try:
        return _parse(piece), None
    except (SyntaxError, NameError) as exc:
        return None, exc


_EMPTY = [""]


def _trailing_empty(row: list[str], most: int) -> int:
    """The number of empty strings at the end of row, counting up to most."""
    # Stretches of row compared with runs of "" at C speed: a gallop, then
    # halving; each compares only cells not yet known to be empty.
    n = len(row)
    most = min(most, n)
    low, high = 0, 1
    while high <= most and row[n - high:n - low] == _EMPTY * (high - low):
        low, high = high, 2 * high
    high = min(high, most + 1)
    while high - low > 1:
        mid = (low + high) // 2
        if row[n - mid:n - low] == _EMPTY * (mid - low):
            low = mid
        else:
            high = mid
    return low


def _split_padded(buf: str, cut: int, rows: list[list[str]],
                  pairs: int) -> tuple[list[str], int, int] | None:
    """Take apart what vorn.parse made of buf[:cut] + "00" * pairs + _PAD_END.

    Wherever buf[:cut] stops, the padding completes it: between two cells the
    pairs become empty cells; inside a payload that lacks r code units, r
    "0" complete the cell and the rest pair up, one "0" perhaps left over to
    join _PAD_END. The last two cells tell whether one was, and the number of
    empty cells before them then gives r. The complete rows are left in
    ``rows``; the result is the cells of the unfinished row that lie wholly
    in buf[:cut], the index of buf where the text still to be read as part of
    that row starts (the prefix of an unfinished cell, or ``cut``), and r.
    None if the padding was read otherwise (the open cell lacks more than it
    holds).
    """
    row = rows.pop()
    end = row[-2:]
    if end != _EVEN_END and end != _ODD_END:
        return None
    del row[-2:]
    empty = _trailing_empty(row, pairs)
    if empty == pairs and end == _EVEN_END:
        del row[len(row) - pairs:]
        return row, cut, 0
    missing = 2 * (pairs - empty) - (end == _ODD_END)
    if missing <= 0:
        return None
    if empty:
        del row[-empty:]
    if not row or not row[-1].endswith("0" * missing):
        return None
    # The last cell of row is the start of a cell plus `missing` code units of
    # padding. Its prefix is a digit-count character and as many decimal
    # digits as it announces, giving the whole length; any reading of the
    # text before the payload that fits says the same about the cell.
    so_far = row.pop()[:-missing]
    start = cut - len(so_far)
    units = _u16len(so_far) + missing
    for d in range(1, 17):
        at = start - 1 - d
        if at < 0:
            break
        digits = buf[at + 1:start]
        if (_DIGITS.get(buf[at]) == d and digits.isascii() and digits.isdigit()
                and int(digits) == units):
            return row, at, missing
    return None


def _elements(rows: list[list[str]]) -> int:
    """About how many cells and row ends rows hold (counted on a sample of
    its rows when there are many)."""
    n = len(rows)
    if n <= 64:
        return n + sum(map(len, rows))
    sample = rows[::n // 64]
    return n + sum(map(len, sample)) * n // len(sample)


def _tables(fp: SupportsRead, chunk_size: int) -> Iterator[list[list[str]]]:
    """The rows of the document in fp, as one list of rows per chunk.

    Each chunk is cut after its last ";" and parsed with padding, so that
    vorn.parse completes the row left open there, if any (see
    _split_padded); or, when cells are so long that there are few of them
    and padding would have to be long, at the last row end found by hopping
    over the cells in Python. Padding costs in proportion to its length,
    hopping in proportion to the number of cells, and the choice between
    them follows the previous chunk's cell density. Padding is tried
    whatever the cells hold: when the ";" ends a row it costs a few dozen
    empty cells, less than a wasted attempt without it.
    """
    read = fp.read
    buf = ""      # text not yet read into rows; it starts between two cells
    pending: list[str] = []  # cells of the row that buf continues
    base = 0      # UTF-16 offset of buf in the document
    wide = False  # whether the text read so far holds a character from U+10000 up
    want = chunk_size
    pairs = _PAIRS_MIN  # number of "00" in the padding, if buf is long enough
    density = float("inf")  # cells and rows per character of the last piece
    while True:
        text = read(want)
        if type(text) is not str:
            _parse(text)  # raises vorn.parse's TypeError for what read() gave
        if not text:
            break
        if not wide:
            wide = _is_wide(text)
        if buf:
            buf += text  # resized in place when nothing else holds buf
        else:
            buf = text
        cut = buf.rfind(";") + 1
        rows: list[list[str]] | None = None
        split: tuple[list[str], int, int] | None = None
        exc: BaseException | None = None
        longer = False  # whether the open cell is longer than buf
        # The text given to vorn.parse last, and how much of it is from buf.
        piece = ""
        taken = 0
        # Cells and row ends that hopping would visit, in units of the cost
        # of one pair of padding.
        hops = density * len(buf) * _HOP_COST
        if cut and hops >= pairs:
            # No more padding than text, so that small pieces stay cheap.
            most = max(_PAIRS_MIN, len(buf)) >> 1
            while True:
                used = min(pairs, most)
                piece, taken = buf[:cut], cut
                piece += "00" * used + _PAD_END  # in place: one copy of the text
                rows, exc = _attempt(piece)
                split = _split_padded(buf, cut, rows, used) if rows is not None else None
                if split is not None or (exc and _token_error(exc)):
                    break
                if used >= most:
                    longer = True
                    break
                # The open cell lacks more than the padding holds.
                pairs = min(4 * pairs, most)
                if hops < pairs:
                    break
            if split is not None and 8 * split[2] < used and pairs > _PAIRS_MIN:
                pairs -= pairs >> 2
        if split is not None:
            assert rows is not None
            if rows:
                yield _joined(rows, pending)
                pending = split[0]
            else:
                pending += split[0]
            cut = split[1]
            if cut:
                density = (_elements(rows) + len(pending)) / cut
        elif longer:
            cut = 0  # read on
        else:
            # Hop over the cells to the last row end, and parse up to there.
            # With none, or an error in the way, parsing all of buf reports
            # the error now rather than after reading on to the end.
            cut, broken = _last_row_end(buf, len(buf)) if cut else (0, True)
            if cut or broken:
                piece = buf[:cut] if cut else buf
                taken = len(piece)
                rows, exc = _attempt(piece)
                token = _token_error(exc) if exc else None
                if token:
                    yield from _fail(buf, pending, base, *token)
                if rows is not None:
                    yield _joined(rows, pending)
                    pending = []
                    cut = cut or len(buf)
                    density = _elements(rows) / cut
        if cut:
            if wide:
                # Measured on the parsed text (any padding is ASCII), less
                # what of it stays in buf.
                base += _u16len(piece) - (len(piece) - taken)
                if cut < taken:
                    base -= _u16len(buf[cut:taken])
            else:
                base += cut
            buf = buf[cut:]
        del piece
        # Reading at least as much as is held makes a long row cost a number
        # of rounds logarithmic in its length.
        want = max(chunk_size, len(buf))

    # The rest of the document, read to its end.
    if not buf:
        if pending or not base:
            # The document is empty or ends after a cell: vorn.parse's
            # end-of-input report.
            _parse("")
        return
    rows, exc = _attempt(buf)
    if rows is not None:
        yield _joined(rows, pending)
        return
    assert exc is not None
    token = _token_error(exc)
    if token:
        yield from _fail(buf, pending, base, *token)
    if wide and not _is_wide(buf):
        # In a document that holds a character from U+10000 up, a last cell
        # whose length digits run exactly to the end has them checked, so a
        # non-digit among them is reported as an unexpected token.
        _, again = _attempt(_WIDE_ROW + buf)
        token = _token_error(again) if again else None
        if token:
            yield from _fail(buf, pending, base, token[0], token[1] - _WIDE_ROW_U16)
    end, _ = _last_row_end(buf, len(buf))
    if end:
        yield _joined(_parse(buf[:end]), pending)
    raise exc


def reader(fp: SupportsRead, *, chunk_size: int = DEFAULT_CHUNK_SIZE) -> Iterator[list[str]]:
    """Iterate the rows of the VORN document in the text stream fp.

    Each row is a new list of new strings. fp is read with ``fp.read(n)``,
    ``chunk_size`` characters at a time (more while a single row is longer);
    memory is bounded by the chunk size and the longest row. A malformed
    document raises what ``vorn.parse`` raises for the whole text, with the
    same message and positions counted from the start of the document, after
    the rows before the fault have been produced. Open files with
    ``newline=""``: text mode otherwise turns "\\r\\n" in cells into "\\n".
    """
    if type(chunk_size) is not int:
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    return chain.from_iterable(_tables(fp, chunk_size))


def _write_rows(rows: Iterable[Iterable[object]], write: Callable[[str], object]) -> bool:
    """Write the rows as vorn.stringify writes the table; whether any row was written."""
    batch = 8
    wrote = False
    if isinstance(rows, (list, tuple)) and type(rows) in (list, tuple):
        # Walked by index like stringify walks them, in slices, which it
        # serializes faster than an iterator; the length is read anew for
        # every slice.
        seq = rows
        done = 0
        while done < len(seq):
            text = _stringify(seq[done:done + batch])
            done += batch
            write(text)
            wrote = True
            batch = _next_batch(batch, len(text))
        return wrote
    it = iter(rows)
    while True:
        # stringify takes each row from the iterator just before writing it,
        # as it does for the whole table, so a row object that the iterator
        # reuses and refills is written with its contents of that moment.
        text = _stringify(islice(it, batch))
        if not text:
            return wrote
        write(text)
        wrote = True
        batch = _next_batch(batch, len(text))


def _next_batch(batch: int, written: int) -> int:
    """The number of rows for the next write: about _PIECE characters, at most
    four times as many rows as the last."""
    return max(1, min(4 * batch, batch * _PIECE // written, 1 << 20))


class Writer:
    """Writes rows to a text stream as VORN; see writer()."""

    __slots__ = ("_write",)

    def __init__(self, fp: SupportsWrite) -> None:
        self._write = fp.write

    def writerow(self, row: Iterable[object]) -> None:
        """Write one row: its cells, each as vorn.stringify writes it, and ";"."""
        self._write(_stringify((row,)))

    def writerows(self, rows: Iterable[Iterable[object]]) -> None:
        """Write the rows in order, in writes of bounded size."""
        _write_rows(rows, self._write)


def writer(fp: SupportsWrite) -> Writer:
    """A writer of rows to the text stream fp.

    Everything written through it, in order, is what ``vorn.stringify``
    gives for the table of all those rows. Each ``writerow`` call writes its
    row to fp at once, so nothing is held back; ``writerows`` writes in
    pieces of about a hundred thousand characters.
    """
    return Writer(fp)


def load(fp: SupportsRead) -> list[list[str]]:
    """The table in the text stream fp: ``vorn.parse(fp.read())``."""
    return _parse(fp.read())


def dump(table: Iterable[Iterable[object]], fp: SupportsWrite) -> None:
    """Write ``vorn.stringify(table)`` to fp, in pieces of bounded size.

    If a row or cell raises, the rows of earlier pieces have been written.
    """
    if not _write_rows(table, fp.write):
        fp.write("")
