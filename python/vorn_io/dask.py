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
from typing import Any, cast

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
        # empty partition): one empty range, which reads as no rows.
        return [(0, 0, 0)]
    with fs.open(path, "rb") as f:
        # Without a block size, one range: the whole file, still checked.
        return partitions(f, size=size or 1 << 62) or [(0, 0, 0)]


def _read_rows(fs: Any, path: str, start: int, end: int, first_row: int) -> list[list[str]]:
    if start == end:
        return []
    with fs.open(path, "rb") as f:
        try:
            return read_range(f, start, end, first_row=first_row)
        except (UnicodeDecodeError, vorn_io.DecodeError) as error:
            error.add_note(f"in {path}, bytes {start} to {end}")
            raise


def _frame(path: str, start: int, end: int, first_row: int, *, fs: Any, header: list[str],
           ragged: str, columns: list[str] | str | None = None) -> Any:
    """One partition as a frame of the header's columns; ``columns`` (passed
    by Dask when a computation needs only some of them) selects those."""
    _, pd = _dataframe_modules()
    rows = _read_rows(fs, path, start, end, first_row)
    if first_row == 0 and end > start:
        # Every file with rows begins with its header row.
        if not rows or rows[0] != header:
            found = rows[0] if rows else None
            raise ValueError(f"{path}: the header row {found!r} differs from the columns {header!r} "
                             "of the first file")
        rows = rows[1:]
        first_row = 1
    width = len(header)
    for k, row in enumerate(rows):
        if len(row) != width:
            if ragged == "pad" and len(row) < width:
                row.extend([""] * (width - len(row)))
                continue
            what = "fewer" if len(row) < width else "more"
            hint = "; ragged='pad' fills short rows with empty cells" if what == "fewer" else ""
            raise ValueError(f"{path}: row {first_row + k} has {len(row)} cells, {what} than the "
                             f"{width} columns of the header{hint}")
    if rows:
        frame = pd.DataFrame(rows, columns=header, dtype=object)
    else:
        frame = pd.DataFrame({c: pd.Series([], dtype=object) for c in header}, columns=header)
    if columns is None:
        return frame
    return frame[columns if isinstance(columns, list) else [columns]]


def _header(fs: Any, paths: list[str]) -> list[str]:
    """The header row: the first row of the first file that has rows."""
    for path in paths:
        with fs.open(path, "rb") as f:
            first = next(iter(vorn_io.reader(f)), None)
        if first is not None:
            if len(set(first)) != len(first):
                raise ValueError(f"{path}: the header row names a column twice: {first!r}")
            return first
    raise ValueError(f"{paths[0]}: header=True, but the file has no rows" if len(paths) == 1 else
                     f"header=True, but none of the {len(paths)} files has rows")


def read_vorn(urlpath: str | Sequence[str], *, blocksize: int | str | None = "64MiB", header: bool = False,
              ragged: str = "error", storage_options: dict[str, Any] | None = None) -> Any:
    """Read VORN files as a ``dask.bag.Bag`` of rows (lists of str), or with
    ``header=True`` as a ``dask.dataframe.DataFrame``.

    ``urlpath`` is a path, a glob, an fsspec URL (``s3://bucket/t-*.vorn``)
    or a list of them. Each file is split into ranges of about ``blocksize``
    bytes (``None``: one partition per file) at exact row ends, found by one
    pass over each file, made here; each range becomes one partition, read by
    a worker alone. The files are UTF-8.

    With ``header=True`` every file begins with the same header row, whose
    cells name the columns; the values are the cells, as strings (an empty
    cell stays an empty string). A row with another number of cells than the
    header is refused, naming the file and the row (0-based, the header being
    row 0), unless ``ragged="pad"``, which fills short rows with empty cells
    (longer rows are still refused: no cell is dropped).
    """
    if ragged not in ("error", "pad"):
        raise ValueError(f"ragged must be 'error' or 'pad', not {ragged!r}")
    size = _block_size(blocksize)
    fs, _, paths = fsspec.get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options)
    if not paths:
        raise FileNotFoundError(f"no file matches {urlpath!r}")
    paths = sorted(paths)
    if len(paths) == 1:
        per_file = [_file_ranges(fs, paths[0], size)]
    else:
        # One pass per file, run where the bag will run.
        per_file = list(dask.compute(*[_delayed(_file_ranges, pure=True)(fs, p, size) for p in paths]))
    pieces = [(path, s, e, r) for path, ranges in zip(paths, per_file) for s, e, r in ranges]
    if not header:
        read = _delayed(_read_rows, pure=True)
        return _bag.from_delayed([read(fs, path, s, e, r) for path, s, e, r in pieces])
    dd, pd = _dataframe_modules()
    first = _header(fs, paths)
    meta = pd.DataFrame({c: pd.Series([], dtype=object) for c in first}, columns=first)
    return dd.from_map(_frame, [p[0] for p in pieces], [p[1] for p in pieces], [p[2] for p in pieces],
                       [p[3] for p in pieces], header=first, ragged=ragged, fs=fs, meta=meta,
                       enforce_metadata=False, label="read-vorn")


def _write_rows(rows: Iterable[Iterable[object]], out: Any, columns: list[str] | None) -> str:
    with out as f:
        w = vorn_io.writer(f)
        if columns is not None:
            w.writerow(columns)
        w.writerows(rows)
    return str(out.path)


def _frame_rows(frame: Any, columns: list[str]) -> Iterable[tuple[object, ...]]:
    _, pd = _dataframe_modules()
    missing = frame.isna()
    if missing.to_numpy().any():
        column = next(c for c in frame.columns if missing[c].any())
        raise ValueError(f"column {column!r} holds a missing value, which VORN cannot store; "
                         "fill it first (frame.fillna(''))")
    return cast(Iterable[tuple[object, ...]], frame.itertuples(index=False, name=None))


def _write_frame(frame: Any, out: Any, columns: list[str], header: bool) -> str:
    return _write_rows(_frame_rows(frame, columns), out, columns if header else None)


def to_vorn(data: Any, urlpath: str | Sequence[str], *, name_function: Callable[[int], str] | None = None,
            header: bool = True, storage_options: dict[str, Any] | None = None,
            compute: bool = True) -> Any:
    """Write a bag of rows or a dataframe as VORN files, one document per
    partition, through ``vorn_io.writer``: returns the paths written (or,
    with ``compute=False``, the delayed writes).

    ``urlpath`` is a folder, a pattern whose ``*`` is replaced by
    ``name_function(i)`` (the partition number by default), or a list of
    paths, one per partition, as for ``dask.bag.to_textfiles``. Cells that are
    not str are written as ``str(cell)``, as ``vorn.stringify`` does. For a
    dataframe each file starts with the header row of its column names
    (``header=False`` leaves it out); missing values are refused.
    """
    files = fsspec.open_files(urlpath, mode="wb", name_function=name_function, num=data.npartitions,
                              **(storage_options or {}))
    parts = data.to_delayed()
    if isinstance(data, _bag.Bag):
        writes = [_delayed(_write_rows)(part, out, None) for part, out in zip(parts, files)]
    else:
        _dataframe_modules()
        columns = [str(c) for c in data.columns]
        writes = [_delayed(_write_frame)(part, out, columns, header) for part, out in zip(parts, files)]
    if not compute:
        return writes
    return list(dask.compute(*writes))
