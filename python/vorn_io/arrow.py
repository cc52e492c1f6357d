"""VORN as Arrow record batches, and Arrow tables as VORN.

``read_arrow(source)`` reads a VORN file straight into columns, in native
code, one record batch per block of whole rows, on every core: no Python
object is made per cell or per row. The result speaks the Arrow PyCapsule
interface (``__arrow_c_stream__``, ``__arrow_c_schema__``), so pyarrow,
polars, pandas and DuckDB take it as it is::

    pa.table(vorn_io.read_arrow("t.vorn"))
    pl.DataFrame(vorn_io.read_arrow("t.vorn"))
    duckdb.sql("select * from r")          # r = vorn_io.read_arrow("t.vorn")

``write_arrow(data, dest)`` writes anything that exports
``__arrow_c_stream__`` or ``__arrow_c_array__`` (a pyarrow Table, a polars
or pandas DataFrame, a DuckDB relation) as VORN: exactly what
``vorn.stringify`` writes for the same table as lists of str.

Neither needs pyarrow. ``to_pyarrow()``, ``to_pandas()`` and ``to_polars()``
import their library when called; ``pip install 'vorn[arrow]'`` installs
them all.
"""

from __future__ import annotations

import codecs
import importlib
import io
import os
from collections.abc import Iterator, Sequence
from typing import IO, Any, Union

import vorn

from ._scanner import ColumnReader, ColumnWriter

__all__ = ["read_arrow", "write_arrow", "ArrowReader", "DEFAULT_BLOCK_SIZE"]

# Bytes of file per record batch: large enough that a batch's fixed costs
# vanish, small enough that threads x blocks stay a modest amount of memory
# and that a file of a few tens of MB gives every thread blocks to read.
DEFAULT_BLOCK_SIZE = 2 << 20

_LAYOUTS = {"large_string": 0, "string": 1, "string_view": 2}

_EXTRA = "pip install 'vorn[arrow]'"

Source = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", IO[bytes]]


def _require(module: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{module} is not installed: it comes with the extra vorn[arrow] "
                          f"({_EXTRA})") from error


def _threads(threads: int | None) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):
            return max(1, os.cpu_count() or 1)
    if type(threads) is not int:
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError("threads must be at least 1")
    return min(threads, 256)


def _check_encoding(encoding: str) -> None:
    name = codecs.lookup(encoding).name
    if name != "utf-8":
        raise ValueError(f"read_arrow() reads UTF-8 files only, not {name}: Arrow strings are UTF-8; "
                         "convert the file first (vorn_io.reader and vorn_io.writer copy it row by row)")


class ArrowReader:
    """The record batches of a VORN document, made as they are asked for.

    Implements the Arrow PyCapsule interface: ``__arrow_c_schema__`` gives
    the schema (a struct of string columns), ``__arrow_c_stream__`` the
    batches, one per block, in file order. The stream can be taken once.
    A malformed document raises when the consumer reaches the block that
    holds the fault, after every batch before it.
    """

    __slots__ = ("_native", "column_names", "_slot_of", "_layout")

    def __init__(self, native: ColumnReader, names: list[str], slot_of: list[int], layout: int | None) -> None:
        self._native = native
        self.column_names = names
        # The plan waits for the first consumer, which may still pick the
        # layout when the caller did not (to_polars() reads views).
        self._slot_of: list[int] | None = slot_of
        self._layout = layout

    def __repr__(self) -> str:
        return f"<vorn_io.ArrowReader columns={self.column_names!r}>"

    def _started(self, preferred: int = _LAYOUTS["large_string"]) -> ColumnReader:
        """The native reader, planned (and reading) on the first call: in
        the layout read_arrow() was given, else in ``preferred``."""
        if self._slot_of is not None:
            slot_of, self._slot_of = self._slot_of, None
            self._native.plan(slot_of, self.column_names, preferred if self._layout is None else self._layout)
        return self._native

    def __arrow_c_schema__(self) -> object:
        return self._started().__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._started().__arrow_c_stream__(requested_schema)

    def _raise_fault(self, error: BaseException) -> None:
        """Raise the reader's own error in place of a consumer's report of it."""
        try:
            self._native.raise_fault()
        except BaseException as ours:
            raise ours.with_traceback(None) from None
        raise error

    def to_pyarrow(self) -> Any:
        """All the batches as one ``pyarrow.Table``."""
        pa = _require("pyarrow")
        try:
            return pa.RecordBatchReader.from_stream(self).read_all()
        except Exception as error:  # noqa: BLE001 - our own error is raised in its place
            self._raise_fault(error)
            raise

    def to_pandas(self, **options: Any) -> Any:
        """A ``pandas.DataFrame``, through ``pyarrow.Table.to_pandas(**options)``.

        The table is this call's alone, so its columns are freed as they are
        converted (``self_destruct=True``, unless ``options`` say otherwise):
        the peak holds the table and the frame's first columns, not both whole.
        """
        _require("pandas")
        options.setdefault("self_destruct", True)
        return self.to_pyarrow().to_pandas(**options)

    def to_polars(self) -> Any:
        """A ``polars.DataFrame``, built by polars from the stream.

        Unless read_arrow() was given a ``string_type``, the columns are
        read as string views, which polars stores as they are.
        """
        pl = _require("polars")
        self._started(_LAYOUTS["string_view"])
        try:
            return pl.DataFrame(self)
        except Exception as error:  # noqa: BLE001
            self._raise_fault(error)
            raise


def _open_source(source: Source) -> tuple[object, IO[bytes] | None]:
    """What the native reader reads (a file descriptor it then owns, or a
    binary stream), and the file to close when that fails."""
    if isinstance(source, (str, os.PathLike)) or isinstance(source, bytes) and not isinstance(source, bytearray):
        if isinstance(source, bytes):
            raise TypeError("read_arrow() takes a path as str or os.PathLike; wrap VORN bytes in io.BytesIO")
        with open(source, "rb") as fp:
            return os.dup(fp.fileno()), None
    if isinstance(source, (bytearray, memoryview)):
        return io.BytesIO(source), None
    if isinstance(source, io.TextIOBase):
        raise TypeError("read_arrow() needs a binary stream: open the file with mode 'rb'")
    if not hasattr(source, "readinto"):
        if hasattr(source, "read"):
            return _ReadIntoAdapter(source), None
        raise TypeError(f"read_arrow() takes a path or a binary stream, not {type(source).__name__}")
    return source, None


class _ReadIntoAdapter:
    """readinto() for a stream that has read() only."""

    def __init__(self, fp: Any) -> None:
        self._read = fp.read

    def readinto(self, buffer: memoryview) -> int:
        data = self._read(len(buffer))
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"read() returned {type(data).__name__}, expected bytes")
        buffer[:len(data)] = data
        return len(data)


def _unique(names: list[str]) -> None:
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise ValueError(f"the header names the column {name!r} twice: pass header=False to read "
                             "the first row as data")
        seen.add(name)


def _plan(names: list[str], columns: Sequence[str | int] | None) -> tuple[list[int], list[str]]:
    """Which cell goes to which column, and the columns' names."""
    if columns is None:
        return list(range(len(names))), list(names)
    if isinstance(columns, (str, bytes)):
        raise TypeError("columns must be a sequence of names or indices, not a single str")
    slot_of = [-1] * len(names)
    chosen: list[str] = []
    index = {name: k for k, name in enumerate(names)}
    for slot, column in enumerate(columns):
        if isinstance(column, str):
            if column not in index:
                raise KeyError(f"no column is named {column!r}; the columns are {names!r}")
            k = index[column]
        elif isinstance(column, int) and not isinstance(column, bool):
            k = column + len(names) if column < 0 else column
            if not 0 <= k < len(names):
                raise IndexError(f"column index {column} is out of range for {len(names)} columns")
        else:
            raise TypeError(f"columns holds {type(column).__name__}: names (str) or indices (int) only")
        if slot_of[k] != -1:
            raise ValueError(f"columns names the column {names[k]!r} twice")
        slot_of[k] = slot
        chosen.append(names[k])
    return slot_of, chosen


def read_arrow(source: Source, *, header: bool = True, names: Sequence[str] | None = None,
               columns: Sequence[str | int] | None = None, threads: int | None = None,
               block_size: int = DEFAULT_BLOCK_SIZE, encoding: str = "utf-8", ragged: str = "error",
               max_row_size: int | None = None, string_type: str | None = None) -> ArrowReader:
    """Read the VORN document in ``source`` as Arrow record batches of string columns.

    ``source`` is a path or a binary stream (read in order, block by
    block: pipes and ``gzip.open(...)`` work). The first row names the
    columns (``header=True``; a name given twice is refused), or the columns
    are named ``f0``, ``f1``, ... (``header=False``). ``columns`` (names or
    indices) builds only those columns, in that order. A row with another
    number of cells than the first row is refused, naming the row (0-based,
    counting every row of the file), unless ``ragged="pad"`` fills short
    rows with empty strings; longer rows are refused either way. A source of
    no bytes is the document of no rows, as everywhere in vorn_io: a table
    with no columns, or with the columns ``names`` gives.
    ``names`` (with ``header=False``) names the columns of a source that
    holds no header row, such as a later range of a file that has one: every
    row is data, and rows are measured against the names.

    The file is cut into blocks at exact row ends as it is read: a batch
    ends at the first row end at or past each multiple of ``block_size``
    bytes, whatever the thread count. ``threads`` (default: the CPUs this process may use)
    read them into columns in parallel with the interpreter released, and
    the batches come in file order, a few blocks ahead of the consumer.
    ``string_type`` is ``"large_string"`` (64-bit offsets), ``"string"``
    (32-bit, at most 2 GiB of text per column in one batch) or
    ``"string_view"``. By default it is ``"large_string"``, except that
    ``to_polars()`` reads ``"string_view"``, polars' own layout.

    Errors are those of ``vorn.parse`` for the whole text, as
    ``DecodeError`` with ``position`` and ``row`` in the whole document;
    invalid UTF-8 raises ``UnicodeDecodeError`` naming its byte offset; a
    row longer than ``max_row_size`` UTF-16 units is refused. The first row
    is read here; the rest when the batches are asked for.
    """
    return _read_arrow(source, header=header, names=names, columns=columns, threads=threads,
                       block_size=block_size, encoding=encoding, ragged=ragged, max_row_size=max_row_size,
                       string_type=string_type)


def _read_arrow(source: Source, *, header: bool, names: Sequence[str] | None, columns: Sequence[str | int] | None,
                threads: int | None, block_size: int, encoding: str, ragged: str, max_row_size: int | None,
                string_type: str | None, row_base: int = 0) -> ArrowReader:
    """read_arrow; row_base: rows of the document before source (a range of
    it), counted in the rows that errors name."""
    if names is not None:
        if header:
            raise ValueError("names= names the columns of a source without a header row: pass header=False")
        if isinstance(names, (str, bytes)):
            raise TypeError("names must be a sequence of str, not a single str")
        names = list(names)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"names holds {type(name).__name__}: column names are str")
        if len(set(names)) != len(names):
            twice = next(n for n in names if names.count(n) > 1)
            raise ValueError(f"names gives the column {twice!r} twice")
    if type(block_size) is not int:
        raise TypeError(f"block_size must be an int, not {type(block_size).__name__}")
    if block_size < 1:
        raise ValueError("block_size must be at least 1")
    if ragged not in ("error", "pad"):
        raise ValueError(f"ragged must be 'error' or 'pad', not {ragged!r}")
    if string_type is not None and string_type not in _LAYOUTS:
        raise ValueError(f"string_type must be 'large_string', 'string' or 'string_view', not {string_type!r}")
    limit = -1
    if max_row_size is not None:
        if type(max_row_size) is not int:
            raise TypeError(f"max_row_size must be an int or None, not {type(max_row_size).__name__}")
        if max_row_size < 0:
            raise ValueError("max_row_size must not be negative")
        limit = max_row_size
    _check_encoding(encoding)
    n_threads = _threads(threads)
    end_text = vorn.ErrUnexpectedEndOfInput
    target, _ = _open_source(source)
    native = ColumnReader(target, bool(header), n_threads, min(block_size, 1 << 62), ragged == "pad", limit,
                          end_text if isinstance(end_text, str) else str(end_text),
                          row_base, names is not None)
    if names is None:
        first = native.first_row()
        if header:
            names = first
            _unique(names)
        else:
            names = [f"f{k}" for k in range(len(first))]
    slot_of, chosen = _plan(names, columns)
    return ArrowReader(native, chosen, slot_of, None if string_type is None else _LAYOUTS[string_type])


# --- Writing ---------------------------------------------------------------

def _is_string_type(pa: Any, t: Any) -> bool:
    if pa.types.is_dictionary(t):
        return _is_string_type(pa, t.value_type) and pa.types.is_integer(t.index_type)
    return bool(pa.types.is_string(t) or pa.types.is_large_string(t) or
                (hasattr(pa.types, "is_string_view") and pa.types.is_string_view(t)))


def _pyarrow_stream(data: Any) -> object:
    """data as a stream capsule of string columns, the others cast to text by
    pyarrow (as pyarrow.csv.write_csv writes them)."""
    pa = importlib.import_module("pyarrow")

    if hasattr(data, "__arrow_c_stream__"):
        reader = pa.RecordBatchReader.from_stream(data)
    else:
        batch = pa.record_batch(data)
        reader = pa.RecordBatchReader.from_batches(batch.schema, [batch])
    schema = reader.schema
    if all(_is_string_type(pa, field.type) for field in schema):
        return reader.__arrow_c_stream__()
    target = pa.schema([field if _is_string_type(pa, field.type) else pa.field(field.name, pa.large_string())
                        for field in schema])

    def cast() -> Iterator[Any]:
        pc = importlib.import_module("pyarrow.compute")  # here: string columns alone need none
        for batch in reader:
            yield pa.record_batch([column if _is_string_type(pa, column.type) else pc.cast(column, pa.large_string())
                                   for column in batch.columns], schema=target)

    return pa.RecordBatchReader.from_batches(target, cast()).__arrow_c_stream__()


def _capsules(data: Any) -> object:
    try:
        importlib.import_module("pyarrow")
    except ImportError:
        pass
    else:
        return _pyarrow_stream(data)
    if hasattr(data, "__arrow_c_stream__"):
        return data.__arrow_c_stream__()
    if hasattr(data, "__arrow_c_array__"):
        return tuple(data.__arrow_c_array__())
    raise TypeError(f"write_arrow() takes an object that exports Arrow data (__arrow_c_stream__ or "
                    f"__arrow_c_array__), not {type(data).__name__}")


def write_arrow(data: Any, dest: str | os.PathLike[str] | IO[bytes], *, header: bool = True,
                null: str | None = None, threads: int | None = None) -> None:
    """Write the table ``data`` to ``dest`` as VORN.

    ``data`` exports ``__arrow_c_stream__`` or ``__arrow_c_array__`` (a
    pyarrow Table or RecordBatchReader, a polars or pandas DataFrame, a
    DuckDB relation). String columns (string, large_string, string_view and
    dictionaries of them) are written as they are; other types are cast to
    text by pyarrow when it is installed, and refused, naming the column and
    its type, when it is not. A null is refused, naming its column and row,
    unless ``null`` gives the text to write for it. With ``header=True`` the
    first row holds the column names. Up to ``threads`` batches (default:
    the CPUs this process may use) are encoded at once, with the interpreter
    released, and written in order.

    The bytes written are exactly ``vorn.stringify`` of the same table as
    lists of str, encoded as UTF-8. A path is written whole or not at all
    (a file beside it, renamed when complete); a stream receives one write
    per batch, of a read-only ``memoryview`` over the encoded bytes (no
    copy into a ``bytes`` object), which stays valid as long as it is kept.
    """
    if null is not None and not isinstance(null, str):
        raise TypeError(f"null must be a str or None, not {type(null).__name__}")
    n_threads = _threads(threads)
    if isinstance(dest, io.TextIOBase):
        raise TypeError("write_arrow() writes bytes: open the file with mode 'wb'")
    writer = ColumnWriter(_capsules(data), bool(header), null, n_threads)
    if isinstance(dest, (str, os.PathLike)):
        path = os.fspath(dest)
        folder = os.path.dirname(os.path.abspath(path))
        import tempfile  # here: its import costs the tool's start-up

        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".vorn-", suffix=".tmp")
        try:
            with os.fdopen(fd, "wb") as fp:
                for piece in writer:
                    fp.write(piece)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
        return
    for piece in writer:
        dest.write(piece)
