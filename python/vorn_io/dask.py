"""VORN files on Dask: read them as bags of rows or as dataframes of strings,
one partition per exact byte range, and write them back one file per
partition.

``read_vorn`` splits each file with ``vorn_io.partitions``: the ranges begin
at row ends found by hopping cells by their declared lengths, so a cell that
holds ";", digits or line breaks is never cut, and each worker reads its
range alone. Paths, globs and fsspec URLs are accepted; ``storage_options``
go to fsspec (credentials, endpoints of object stores).

Needs the optional dependencies of ``vorn[dask]``: dask (with its bag and
dataframe parts), distributed and fsspec.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Sequence
from typing import IO, Any, cast

# Imported by name: none of these ships type information, so they are Any
# to type checkers rather than errors.
try:
    dask = importlib.import_module("dask")
    _bag = importlib.import_module("dask.bag")
    _delayed = importlib.import_module("dask.delayed").delayed
    fsspec = importlib.import_module("fsspec")
    parse_bytes = importlib.import_module("dask.utils").parse_bytes
except ImportError as _missing:  # pragma: no cover - exercised with the modules hidden
    raise ImportError(
        f"vorn_io.dask needs dask, distributed and fsspec ({_missing.name} is missing): "
        "install them with pip install 'vorn[dask]'") from _missing

import vorn_io

from ._partition import partitions, read_range
from .arrow import _read_arrow, write_arrow

__all__ = ["read_vorn", "to_vorn"]

_EXTRA = "install them with pip install 'vorn[dask]'"


def _dataframe_modules() -> tuple[Any, Any]:
    try:
        dd = importlib.import_module("dask.dataframe")
        pd = importlib.import_module("pandas")
    except ImportError as missing:
        raise ImportError(f"read_vorn(header=True) and to_vorn of a dataframe need dask.dataframe and "
                          f"pandas ({missing.name} is missing): {_EXTRA}") from missing
    return dd, pd


def _block_size(blocksize: int | str | None) -> int | None:
    if blocksize is None:
        return None
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if type(size) is not int or size < 1:
        raise ValueError(f"blocksize must be a positive number of bytes or None, not {blocksize!r}")
    return size


def _file_ranges(fs: Any, path: str, size: int | None) -> list[tuple[int, int, int]]:
    if fs.size(path) == 0:
        # An empty file is a document of no rows (what to_vorn writes for an
        # empty partition without a header): one empty range, no rows.
        return [(0, 0, 0)]
    with fs.open(path, "rb") as f:
        # Without a block size, one range: the whole file, still checked.
        return partitions(f, size=size or 1 << 62) or [(0, 0, 0)]


def _file_plan(fs: Any, path: str, size: int | None, header: bool) -> tuple[list[tuple[int, int, int]],
                                                                            list[str] | None]:
    """A file's ranges and, with ``header``, its first row (None when it has
    no rows): the task each file's pass runs as."""
    ranges = _file_ranges(fs, path, size)
    if not header or ranges[-1][1] == 0:
        return ranges, None
    with fs.open(path, "rb") as f:
        # The first row alone is read and checked (a block of one row).
        try:
            reader = _read_arrow(cast(IO[bytes], _Range(f, 0, ranges[-1][1])), header=True, names=None,
                                 columns=None, threads=1, block_size=1, encoding="utf-8", ragged="error",
                                 max_row_size=None, string_type="large_string")
        except (UnicodeDecodeError, vorn_io.DecodeError) as error:
            error.add_note(f"in the header row of {path}")
            raise
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None
    return ranges, reader.column_names


def _read_rows(fs: Any, path: str, start: int, end: int, first_row: int) -> list[list[str]]:
    if start == end:
        return []
    with fs.open(path, "rb") as f:
        try:
            return read_range(f, start, end, first_row=first_row)
        except (UnicodeDecodeError, vorn_io.DecodeError) as error:
            error.add_note(f"in {path}, bytes {start} to {end}")
            raise


# The dtype of every column of a frame: pandas' own string dtype backed by
# Arrow. It holds the columnar reader's large_string arrays as they are
# (pandas keeps its Arrow strings as large_string), and it is the dtype
# Dask's string conversion turns text columns into, so that conversion,
# which would otherwise run over every partition (it converts
# pd.ArrowDtype(pa.large_string()) too), finds nothing to do, and frames
# read here match those of dd.read_csv or dd.read_parquet.
_STRING = "string[pyarrow]"

# Bytes of a range per record batch: the reader holds one block and the
# columns built so far.
_BATCH = 4 << 20


class _Range:
    """The bytes [start, end) of a binary file, as a stream for read_arrow."""

    def __init__(self, f: Any, start: int, end: int) -> None:
        f.seek(start)
        self._f = f
        self._at = start
        self._end = end

    def readinto(self, buffer: memoryview) -> int:
        n = min(len(buffer), self._end - self._at)
        if n <= 0:
            return 0
        with memoryview(buffer)[:n] as part:
            got = self._f.readinto(part)
        if got is None:
            raise BlockingIOError("the file has no data ready: read_vorn needs a blocking file")
        if got == 0:
            raise ValueError(f"the file ends at byte {self._at}, before the end of the range: it changed "
                             "since it was partitioned")
        self._at += got
        return int(got)


def _empty(pd: Any, columns: list[str]) -> Any:
    return pd.DataFrame({c: pd.Series([], dtype=_STRING) for c in columns}, columns=columns)


def _frame(path: str, start: int, end: int, first_row: int, *, fs: Any, header: list[str], ragged: str,
           columns: list[str] | str | None) -> Any:
    """One partition as a frame of Arrow strings, built by the columnar
    reader from the range's bytes on this thread (the interpreter released
    while it reads). ``columns``, passed by Dask with the columns a
    computation needs, are the only ones built."""
    _, pd = _dataframe_modules()
    wanted = header if columns is None else [columns] if isinstance(columns, str) else list(columns)
    if start == end:
        return _empty(pd, wanted)
    with fs.open(path, "rb") as f:
        source = cast(IO[bytes], _Range(f, start, end))  # readinto() is all it needs
        try:
            # A file's first range begins with its header row; the others
            # are rows alone, named by the header, numbered in the file.
            reader = _read_arrow(source, header=first_row == 0, names=header if first_row else None,
                                 columns=wanted, threads=1, block_size=_BATCH, encoding="utf-8",
                                 ragged=ragged, max_row_size=None, string_type="large_string",
                                 row_base=first_row)
            table = reader.to_pyarrow()
        except (UnicodeDecodeError, vorn_io.DecodeError) as error:
            error.add_note(f"in {path}, bytes {start} to {end} (positions count from the range's start)")
            raise
        except (ValueError, KeyError) as error:
            raise type(error)(f"{path}: {error.args[0] if error.args else error}") from error
    pa = importlib.import_module("pyarrow")
    # With no columns asked for, the frame still has the range's rows.
    # The table is this call's alone: its columns are freed as they are converted.
    return table.to_pandas(types_mapper={pa.large_string(): pd.StringDtype("pyarrow")}.get, self_destruct=True)


def _headers(paths: list[str], firsts: list[list[str] | None]) -> list[str]:
    """The header row shared by every file that has rows."""
    reference: tuple[str, list[str]] | None = None
    for path, first in zip(paths, firsts):
        if first is None:
            continue
        if reference is None:
            reference = (path, first)
        elif first != reference[1]:
            raise ValueError(f"{path}: the header row {first!r} differs from the header row "
                             f"{reference[1]!r} of {reference[0]}")
    if reference is None:
        raise ValueError(f"{paths[0]}: header=True, but the file has no rows" if len(paths) == 1 else
                         f"header=True, but none of the {len(paths)} files has rows")
    return reference[1]


def read_vorn(urlpath: str | Sequence[str], *, blocksize: int | str | None = "64MiB", header: bool = False,
              columns: Sequence[str] | None = None, ragged: str = "error",
              storage_options: dict[str, Any] | None = None) -> Any:
    """Read VORN files as a ``dask.bag.Bag`` of rows (lists of str), or with
    ``header=True`` as a ``dask.dataframe.DataFrame`` of strings.

    ``urlpath`` is a path, a glob, an fsspec URL (``s3://bucket/t-*.vorn``)
    or a list of them. Each file is split into ranges of about ``blocksize``
    bytes (``None``: one partition per file) at exact row ends, found by one
    pass over each file, made here for one file and as a task on the workers
    for several; each range becomes one partition, read by a worker alone.
    The files are UTF-8.

    With ``header=True`` every file that has rows begins with the same
    header row, whose cells name the columns (a file whose header differs is
    refused, naming it and the first file). Each partition is read straight
    into Arrow columns by ``vorn_io``'s columnar reader, on the task's own
    thread with the interpreter released, so the threaded scheduler reads
    partitions in parallel; the columns are ``string[pyarrow]`` (an empty
    cell stays an empty string). ``columns`` selects columns, and so do the
    selections Dask passes down (``df[["a", "b"]]``,
    ``df.groupby("a").size()``): only those are built, the other cells
    hopped over. A row with another number of cells than the header is
    refused, naming the file and the row (0-based, the header being row 0),
    unless ``ragged="pad"``, which fills short rows with empty cells (longer
    rows are still refused: no cell is dropped).
    """
    if ragged not in ("error", "pad"):
        raise ValueError(f"ragged must be 'error' or 'pad', not {ragged!r}")
    if columns is not None and not header:
        raise ValueError("columns= selects columns by the header's names: pass header=True")
    size = _block_size(blocksize)
    fs, _, paths = fsspec.get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options)
    if not paths:
        raise FileNotFoundError(f"no file matches {urlpath!r}")
    paths = sorted(paths)
    if len(paths) == 1:
        plans = [_file_plan(fs, paths[0], size, header)]
    else:
        # One pass per file, run where the partitions will run.
        plans = list(dask.compute(*[_delayed(_file_plan, pure=True)(fs, p, size, header) for p in paths]))
    pieces = [(path, s, e, r) for path, (ranges, _) in zip(paths, plans) for s, e, r in ranges]
    if not header:
        read = _delayed(_read_rows, pure=True)
        return _bag.from_delayed([read(fs, path, s, e, r) for path, s, e, r in pieces])
    dd, pd = _dataframe_modules()
    first = _headers(paths, [first for _, first in plans])
    meta = _empty(pd, first)
    frame = dd.from_map(_frame, [p[0] for p in pieces], [p[1] for p in pieces], [p[2] for p in pieces],
                        [p[3] for p in pieces], header=first, ragged=ragged, fs=fs, meta=meta,
                        enforce_metadata=False, label="read-vorn")
    if columns is not None:
        if isinstance(columns, str):
            raise TypeError("columns must be a list of names, not a single str (frame[name] gives a Series)")
        missing = [c for c in columns if c not in first]
        if missing:
            raise KeyError(f"no column is named {missing[0]!r}; the columns are {first!r}")
        frame = frame[list(columns)]
    return frame


def _write_rows(rows: Iterable[Iterable[object]], out: Any, columns: list[str] | None) -> str:
    with out as f:
        w = vorn_io.writer(f)
        if columns is not None:
            w.writerow(columns)
        w.writerows(rows)
    return str(out.path)


def _write_frame(frame: Any, out: Any, header: bool, null: str | None) -> str:
    """One partition through write_arrow: its columns as text, the header
    row first; a partition with no rows is a document of its header alone
    (or, with header=False, an empty one), which reads back as no rows."""
    pa = importlib.import_module("pyarrow")
    frame = frame.set_axis([str(c) for c in frame.columns], axis=1)
    table = pa.Table.from_pandas(frame, preserve_index=False)
    with out as f:
        try:
            write_arrow(table, f, header=header, null=null)
        except ValueError as error:
            error.add_note(f"writing {out.path}; null='...' gives the text to write for a missing value")
            raise
    return str(out.path)


def to_vorn(data: Any, urlpath: str | Sequence[str], *, name_function: Callable[[int], str] | None = None,
            header: bool = True, null: str | None = None, storage_options: dict[str, Any] | None = None,
            compute: bool = True) -> Any:
    """Write a bag of rows or a dataframe as VORN files, one document per
    partition, through ``vorn_io.writer``: returns the paths written (or,
    with ``compute=False``, the delayed writes).

    ``urlpath`` is a folder, a pattern whose ``*`` is replaced by
    ``name_function(i)`` (the partition number by default), or a list of
    paths, one per partition, as for ``dask.bag.to_textfiles``. A bag's cells
    that are not str are written as ``str(cell)``, as ``vorn.stringify``
    does. A dataframe's partitions are written by ``vorn_io.write_arrow``:
    each file starts with the header row of its column names
    (``header=False`` leaves it out), columns that are not text are written
    as pyarrow casts them to text (as ``pyarrow.csv.write_csv`` writes
    them), and a missing value is refused, naming its column, unless
    ``null`` gives the text to write for it. A partition with no rows
    becomes a document of its header row alone, which reads back as no rows.
    """
    files = fsspec.open_files(urlpath, mode="wb", name_function=name_function, num=data.npartitions,
                              **(storage_options or {}))
    parts = data.to_delayed()
    if isinstance(data, _bag.Bag):
        writes = [_delayed(_write_rows)(part, out, None) for part, out in zip(parts, files)]
    else:
        _dataframe_modules()
        if null is not None and not isinstance(null, str):
            raise TypeError(f"null must be a str or None, not {type(null).__name__}")
        writes = [_delayed(_write_frame)(part, out, header, null) for part, out in zip(parts, files)]
    if not compute:
        return writes
    return list(dask.compute(*writes))
