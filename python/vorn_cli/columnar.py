"""The tool's columnar files: `vorn encode` of Parquet, Arrow and Feather
files, and `vorn decode -o` into them, through vorn_io.read_arrow and
write_arrow. pyarrow reads and writes the files; without it these are
refused, naming the extra that installs it."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Callable
from typing import Any

import vorn_io

from . import compression
from .streams import DATA_ERROR, OK, STDIO, USAGE_ERROR, Failure

PARQUET = {".parquet", ".pq"}
ARROW = {".arrow", ".feather", ".ipc"}


def _kind(path: str) -> str | None:
    if path == STDIO:
        return None
    base, _ = compression.split_name(path)
    ext = os.path.splitext(base)[1].lower()
    return "parquet" if ext in PARQUET else "arrow" if ext in ARROW else None


def handles_input(args: argparse.Namespace) -> bool:
    return not getattr(args, "source_format", None) and _kind(args.file) is not None


def handles_output(args: argparse.Namespace) -> bool:
    return not getattr(args, "target_format", None) and _kind(args.output) is not None


def _pyarrow(path: str) -> Any:
    try:
        pyarrow = importlib.import_module("pyarrow")
    except ImportError:
        raise Failure(f"{path}: Parquet and Arrow files need pyarrow\nhint: pip install 'vorn[arrow]'",
                      USAGE_ERROR) from None
    return pyarrow


def _read_table(path: str) -> Any:
    pa = _pyarrow(path)
    try:
        if _kind(path) == "parquet":
            return importlib.import_module("pyarrow.parquet").read_table(path)
        feather = importlib.import_module("pyarrow.feather")
        try:
            return feather.read_table(path)
        except pa.ArrowInvalid:
            with pa.ipc.open_stream(path) as reader:  # an Arrow IPC stream rather than a file
                return reader.read_all()
    except FileNotFoundError:
        raise Failure(f"{path}: no such file", USAGE_ERROR) from None
    except (pa.ArrowException, OSError) as exc:
        raise Failure(f"{path}: not a readable {_kind(path)} file: {exc}", DATA_ERROR) from None


def _atomic(path: str, write: Callable[[str], None]) -> None:
    """Runs write(temporary) and renames the file into place: whole or not at all."""
    folder = os.path.dirname(os.path.abspath(path))
    import tempfile  # here: its import costs the tool's start-up

    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".vorn-", suffix=".tmp")
    os.close(fd)
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def encode(args: argparse.Namespace) -> int:
    """vorn encode FILE.parquet|.arrow|.feather: the table as VORN, a header row of its names."""
    table = _read_table(args.file)
    if table.num_rows == 0 and table.num_columns == 0:
        raise Failure(f"{args.file}: the table has no rows; a VORN document holds at least one", DATA_ERROR)
    try:
        if args.output == STDIO:
            vorn_io.write_arrow(table, sys.stdout.buffer)
            sys.stdout.buffer.flush()
        elif compression.split_name(args.output)[1]:
            raise Failure(f"{args.output}: compressed output from a {_kind(args.file)} file is not written"
                          "\nhint: write the .vorn file, then compress it", USAGE_ERROR)
        else:
            vorn_io.write_arrow(table, args.output)
    except (TypeError, ValueError) as exc:
        raise Failure(f"{args.file}: {exc}\nhint: nulls need text: the tool writes none", DATA_ERROR) from None
    return OK


def decode(args: argparse.Namespace) -> int:
    """vorn decode FILE -o OUT.parquet|.arrow|.feather: the document's first row names the columns."""
    pa = _pyarrow(args.output)
    source: Any = sys.stdin.buffer if args.file == STDIO else args.file
    try:
        table = vorn_io.read_arrow(source, max_row_size=getattr(args, "max_row_size", None)).to_pyarrow()
    except FileNotFoundError:
        raise Failure(f"{args.file}: no such file", USAGE_ERROR) from None
    except (vorn_io.DecodeError, UnicodeDecodeError, ValueError) as exc:
        raise Failure(f"{display(args.file)}: {exc}", DATA_ERROR) from None

    def write(path: str) -> None:
        if _kind(args.output) == "parquet":
            importlib.import_module("pyarrow.parquet").write_table(table, path)
        else:
            importlib.import_module("pyarrow.feather").write_feather(table, path)

    if compression.split_name(args.output)[1]:
        raise Failure(f"{args.output}: a {_kind(args.output)} file is not compressed by name"
                      "\nhint: name it without .gz, .bz2 or .xz", USAGE_ERROR)
    try:
        _atomic(args.output, write)
    except (pa.ArrowException, OSError) as exc:
        raise Failure(f"cannot write {args.output}: {exc}", DATA_ERROR) from None
    return OK


def display(path: str) -> str:
    return "<stdin>" if path == STDIO else path
