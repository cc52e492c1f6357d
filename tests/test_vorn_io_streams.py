"""vorn_io on the streams users hand it: text streams that keep line breaks
are read whatever they decode ahead, those that translate them give no
wrong row, empty input is the table of no rows, writers refuse streams that
change line breaks on output, and non-blocking reads and non-text codecs
are refused by name."""

import gzip
import io
import random
import subprocess
import sys
import types
from pathlib import Path

import pytest

import texts
import vorn
import vorn_io


def line_break_tables(count, seed=11):
    """Tables of cells from every length class, with line breaks of each
    kind put into some cells and long cells between them."""
    rng = random.Random(seed)
    for _ in range(count):
        table = texts.table(rng.randrange, rows=8)
        for row in table:
            for k in range(len(row)):
                if rng.random() < 0.3:
                    at = rng.randrange(len(row[k]) + 1)
                    row[k] = row[k][:at] + rng.choice(["\r\n", "\r", "\n", "\n\r", "\r\r\n"]) + row[k][at:]
        if rng.random() < 0.5:
            table.insert(rng.randrange(len(table) + 1), ["x" * rng.choice([9000, 70000])])
        yield table


def read_rows(stream, chunk_size):
    rows = []
    try:
        for row in vorn_io.reader(stream, chunk_size=chunk_size):
            rows.append(row)
    except ValueError as exc:
        return rows, str(exc)
    return rows, None


def test_streams_that_keep_line_breaks_are_never_refused(tmp_path):
    doc = vorn.stringify([["x" * 300000], ["a\r\nb"]])
    assert vorn_io.load(io.StringIO(doc, newline="")) == [["x" * 300000], ["a\r\nb"]]
    path = tmp_path / "t.vorn"
    for table in line_break_tables(200):
        path.write_bytes(vorn.stringify(table).encode())
        for size in (vorn_io.DEFAULT_CHUNK_SIZE, 4096, 7):
            with open(path, encoding="utf-8", newline="") as f:
                assert read_rows(f, size) == (table, None), size
        with io.TextIOWrapper(io.BytesIO(path.read_bytes()), encoding="utf-8", newline="") as f:
            assert vorn_io.load(f) == table


def test_streams_that_translate_line_breaks_give_no_wrong_row(tmp_path):
    path = tmp_path / "t.vorn"
    refused = 0
    for table in line_break_tables(120, seed=5):
        doc = vorn.stringify(table)
        path.write_bytes(doc.encode())
        gz = tmp_path / "t.vorn.gz"
        gz.write_bytes(gzip.compress(doc.encode()))
        for size in (vorn_io.DEFAULT_CHUNK_SIZE, 4096, 5):
            with open(path, encoding="utf-8") as f:
                outcomes = [read_rows(f, size)]
            with gzip.open(gz, "rt", encoding="utf-8") as f:
                outcomes.append(read_rows(f, size))
            outcomes.append(read_rows(io.StringIO(doc, newline=None), size))
            for rows, error in outcomes:
                if "\r" in doc:
                    # Refused, after rows that are the table's own.
                    assert error is not None and 'newline=""' in error
                    assert rows == table[:len(rows)]
                    refused += 1
                else:
                    assert (rows, error) == (table, None)
    assert refused > 200
    # A translated line break behind a real one: the rows before the real
    # one at least, those up to the translated one at most (as far as the
    # stream had decoded ahead when it returned the real one), then the refusal.
    for table, first in (([["a"], ["b\nc"], ["x" * 100000], ["d\r\ne"], ["f"]], 3),
                         ([["a"], ["b\nc"], ["d\r\ne"], ["f"]], 1)):
        path.write_bytes(vorn.stringify(table).encode())
        for size in (vorn_io.DEFAULT_CHUNK_SIZE, 100, 1):
            with open(path, encoding="utf-8") as f:
                rows, error = read_rows(f, size)
            assert error is not None and 1 <= len(rows) <= first and rows == table[:len(rows)], size
        rows, error = read_rows(io.StringIO(vorn.stringify(table), newline=None), size)
        assert error is not None and rows == [["a"]]


def test_empty_input_is_the_table_of_no_rows(tmp_path):
    path = tmp_path / "empty.vorn"
    with open(path, "w", encoding="utf-8", newline="") as f:
        vorn_io.dump([], f)
    assert path.read_bytes() == b""
    with open(path, "rb") as f:
        assert vorn_io.load(f) == []
    with open(path, encoding="utf-8", newline="") as f:
        assert list(vorn_io.reader(f)) == []
    with open(path, encoding="utf-8") as f:
        assert vorn_io.load(f) == []
    for stream in (io.StringIO(), io.BytesIO(), io.BytesIO(b"")):
        assert vorn_io.load(stream) == []
    assert vorn_io.load(io.BytesIO(b""), encoding="utf-16") == []
    # parse keeps refusing the empty text, and a byte-order mark alone is
    # not an empty document.
    with pytest.raises(SyntaxError, match="^Unexpected end of input$"):
        vorn.parse("")
    with pytest.raises(vorn_io.DecodeError):
        vorn_io.load(io.BytesIO(b"\xef\xbb\xbf"))
    # The tool reads through vorn_io: an empty file checks and decodes.
    tool = Path(sys.executable).with_name("vorn")
    done = subprocess.run([tool, "check", str(path)], capture_output=True, text=True)
    assert done.returncode == 0 and "0 rows" in done.stdout, done.stderr
    done = subprocess.run([tool, "decode", "--to", "json"], input="", capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.strip() == "[]", done.stderr


@pytest.mark.parametrize("newline", ["\r", "\r\n"])
def test_writers_refuse_streams_that_translate_line_breaks(tmp_path, newline):
    table = [["a"], ["b\nc", "d"], ["e\r\n"]]
    path = tmp_path / "t.vorn"
    for mode in ("w", "w+"):
        with open(path, mode, encoding="utf-8", newline=newline) as f, pytest.raises(ValueError, match="on output"):
            vorn_io.dump(table, f)
        with open(path, mode, encoding="utf-8", newline=newline) as f, pytest.raises(ValueError, match="on output"):
            w = vorn_io.writer(f)
            w.writerow(["a"])
            w.writerow(["b\nc"])
    for stream in (io.StringIO(newline=newline), io.StringIO(newline=None),
                   io.TextIOWrapper(io.BytesIO(), encoding="utf-8", newline=newline)):
        with pytest.raises(ValueError, match='newline=""'):
            vorn_io.dump(table, stream)
    # Nothing to change: rows without "\n" are written as they are.
    with open(path, "w", encoding="utf-8", newline=newline) as f:
        vorn_io.dump([["a\rb"], ["c"]], f)
    assert path.read_bytes() == vorn.stringify([["a\rb"], ["c"]]).encode()


@pytest.mark.parametrize("newline", ["", "\n", None])
def test_writers_keep_streams_that_write_line_breaks_as_they_are(tmp_path, newline):
    table = [["a"], ["b\nc", "d" * 300000], ["e\r\n"]] * 3
    path = tmp_path / "t.vorn"
    for mode in ("w", "w+", "a"):
        path.write_bytes(b"")
        with open(path, mode, encoding="utf-16", newline=newline) as f:
            vorn_io.dump(table, f)
        assert path.read_bytes() == vorn.stringify(table).encode("utf-16")
    if newline is not None:  # a StringIO's None turns "\r" into "\n" as it stores it
        out = io.StringIO(newline=newline)
        vorn_io.writer(out).writerows(table)
        assert out.getvalue() == vorn.stringify(table)
    out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", newline=newline)
    vorn_io.dump(table, out)
    out.flush()
    assert out.buffer.getvalue() == vorn.stringify(table).encode()


class NotReady:
    """A non-blocking stream: data, then nothing ready (None)."""

    def __init__(self, pieces):
        self.pieces = list(pieces)

    def read(self, n=-1):
        return self.pieces.pop(0) if self.pieces else None


def test_non_blocking_reads_and_non_text_codecs_are_refused():
    for pieces in ([None], ["01a;"], [b"01a;"], [b""] * 0):
        if not pieces:
            continue
        with pytest.raises(BlockingIOError, match="blocking stream"):
            vorn_io.load(NotReady(pieces))
        with pytest.raises(BlockingIOError):
            list(vorn_io.reader(NotReady(pieces)))
    binary = types.SimpleNamespace(read1=NotReady([b"01a;", None]).read)
    with pytest.raises(BlockingIOError):
        vorn_io.load(binary)
    for codec in ("rot13", "base64", "hex", "zlib"):
        with pytest.raises(LookupError, match=f"'{codec}' is not a text encoding"):
            vorn_io.load(io.BytesIO(b"01a;"), encoding=codec)
        with pytest.raises(LookupError, match=f"'{codec}' is not a text encoding"):
            vorn_io.reader(io.BytesIO(b"01a;"), encoding=codec)
        with pytest.raises(LookupError, match=f"'{codec}' is not a text encoding"):
            vorn_io.dump([["a"]], io.BytesIO(), encoding=codec)
    with pytest.raises(LookupError):
        vorn_io.load(io.BytesIO(b";"), encoding="no-such-codec")


def test_the_namespace_holds_the_api_and_the_modules():
    names = {n for n in dir(vorn_io) if not n.startswith("_")}
    modules = {n for n in names if isinstance(getattr(vorn_io, n), types.ModuleType)}
    assert names - modules == set(vorn_io.__all__)
    # The only public modules are its own (vorn_io.dask, once imported).
    assert all(getattr(vorn_io, n).__name__ == f"vorn_io.{n}" for n in modules), modules
    assert {"reader", "writer", "Writer", "load", "dump", "Decoder", "DecodeError", "partitions",
            "DEFAULT_CHUNK_SIZE"} <= set(vorn_io.__all__)
    assert vorn_io.__version__
