"""The last rows of a document, and a document's columns picked out.

The last rows of a UTF-8 file are found without decoding the rest of it:
the exact partition pass splits the file at row boundaries (hopping over
each cell by its declared length), and only the ranges at the end are
decoded. Any other input is read through, keeping the last rows.
"""

from __future__ import annotations

import codecs
import collections
import itertools
import json
import operator
import os
from collections.abc import Iterable, Iterator, Sequence

import vorn
import vorn_io

from . import compression
from .documents import read_batches
from .streams import BOM, DATA_ERROR, STDIO, USAGE_ERROR, Failure, Input
from .tables import Row, batches

# Bytes per range of the partition pass: the last range, about this long,
# is what a short tail decodes.
TAIL_RANGE = 1 << 20


def last_rows(source: Input, n: int, max_row_size: int | None = None,
              keys: bool = False) -> Iterator[Sequence[str]]:
    """The last n rows of the document in source; with keys, its first row
    before them (and not among them)."""
    rows = _last_by_ranges(source, n, max_row_size, keys)
    if rows is None:
        rows = _last_by_reading(source, n, max_row_size, keys)
    return iter(rows)


def _partitionable(source: Input) -> bool:
    return (source.path != STDIO and compression.split_name(source.path)[1] is None
            and codecs.lookup(source.encoding).name == "utf-8" and os.path.isfile(source.path))


def decode_range(fp: object, start: int, end: int, errors: str) -> list[list[str]]:
    """The rows of the byte range [start, end) of the file fp."""
    fp.seek(start)  # type: ignore[attr-defined]
    text = fp.read(end - start).decode("utf-8", errors)  # type: ignore[attr-defined]
    if start == 0 and text.startswith(BOM):
        text = text[1:]
    return vorn.parse(text)


def _last_by_ranges(source: Input, n: int, max_row_size: int | None,
                    keys: bool) -> list[Sequence[str]] | None:
    """The rows, from the ranges at the end of the file; None when the file
    is not one to split that way, or is refused (reading it through gives
    the full report)."""
    if not _partitionable(source) or max_row_size is not None:
        return None
    try:
        with open(source.path, "rb") as fp:
            ranges = vorn_io.partitions(fp, size=TAIL_RANGE)
            if not ranges or ranges[-1][1] == ranges[0][0]:
                return None  # an empty document (one empty range): read through
            picked: collections.deque[list[list[str]]] = collections.deque()
            have = 0
            wanted = n + (1 if keys else 0)
            for start, end, _ in reversed(ranges):
                rows = decode_range(fp, start, end, source.errors)
                picked.appendleft(rows)
                have += len(rows)
                if have >= wanted:
                    break
            total = ranges[-1][2] + len(picked[-1])
            header = None
            if keys:
                first = picked[0] if ranges[0][2] == 0 and len(picked) == len(ranges) \
                    else decode_range(fp, ranges[0][0], ranges[0][1], source.errors)
                header = first[0]
    except (OSError, ValueError, MemoryError):
        return None  # reading it through reports what is wrong
    tail = list(itertools.chain.from_iterable(picked))
    keep = min(n, total - (1 if keys else 0))
    result: list[Sequence[str]] = [header] if header is not None else []
    result.extend(tail[len(tail) - keep:])
    return result


def _last_by_reading(source: Input, n: int, max_row_size: int | None,
                     keys: bool) -> list[Sequence[str]]:
    kept: collections.deque[Row] = collections.deque(maxlen=n)
    header: Row | None = None
    batches = read_batches(source, max_row_size=max_row_size)
    if keys:
        first = next(batches, None)
        if first is None:
            return []
        header = first[0]
        kept.extend(first[1:])
    for batch in batches:
        kept.extend(batch[-n:])
    result: list[Sequence[str]] = [header] if header is not None else []
    result.extend(kept)
    return result


# --- Columns ------------------------------------------------------------------------

def _quoted(name: str) -> str:
    return json.dumps(name, ensure_ascii=False)


def header_positions(header: Sequence[str], names: Iterable[str]) -> list[int]:
    """The 0-based positions of the named columns; each name is split on
    commas unless the header holds it whole."""
    where: dict[str, list[int]] = {}
    for i, name in enumerate(header):
        where.setdefault(name, []).append(i)
    positions: list[int] = []
    for given in names:
        parts = [given] if given in where else given.split(",")
        for name in parts:
            found = where.get(name)
            if not found:
                shown = ", ".join(map(_quoted, header[:20])) + (", ..." if len(header) > 20
                                                                else "")
                raise Failure(f"the header has no column named {_quoted(name)} (its columns: "
                              f"{shown or 'none'})\nhint: select by number with -c",
                              USAGE_ERROR)
            if len(found) > 1:
                raise Failure(f"the header names {_quoted(name)} more than once (columns "
                              f"{', '.join(str(i + 1) for i in found)})\nhint: select by "
                              "number with -c", USAGE_ERROR)
            positions.append(found[0])
    return positions


def cut(rows: Iterator[Row], name: str, names: list[str] | None = None,
        numbers: list[list[int]] | None = None) -> Iterator[Sequence[str]]:
    """The rows with only the columns asked for, in the order asked."""
    if names is not None:
        header = next(rows, None)
        if header is None:
            return
        positions = header_positions(header, names)
        rows = itertools.chain([header], rows)
    else:
        positions = [k - 1 for k in itertools.chain.from_iterable(numbers or [])]
    if len(positions) == 1:
        only = positions[0]
        pick = lambda row: (row[only],)  # noqa: E731
    else:
        pick = operator.itemgetter(*positions)
    need = max(positions) + 1
    done = 0
    for batch in batches(rows):
        try:
            picked = list(map(pick, batch))
        except IndexError:
            r = next(i for i, row in enumerate(batch) if len(row) < need)
            row = batch[r]
            missing = next(k + 1 for k in positions if k >= len(row))
            raise Failure(f"{name}: row {done + r + 1} has {len(row)} "
                          f"cell{'' if len(row) == 1 else 's'}: it has no column {missing}",
                          DATA_ERROR) from None
        done += len(batch)
        yield from picked
