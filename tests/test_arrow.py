"""vorn_io.read_arrow and write_arrow: differential against vorn.parse and
vorn.stringify, the consumers, and the faults."""

from __future__ import annotations

import gc
import io
import itertools
import os
import random
import sys

import pytest

import vorn
import vorn_io
from vorn_io import _scanner
from byte_streams import Trickle

pa = pytest.importorskip("pyarrow", reason="pyarrow is needed to look at the batches (vorn[arrow])")

# Text of every UTF-8 length class, every continuation byte value among them.
_CONT = [chr(0x80 + k) for k in range(0x40)]            # two bytes: C2 80..C2 BF
_THREE = [chr(0x800 + k * 0x40 + k) for k in range(0x40)]  # E0 A0 80 .. with every last byte
_FOUR = [chr(0x10000 + k) for k in range(0x40)] + [chr(0x10FFFF)]
_ALPHABET = ["a", ";", "0", "9", "f", "\n"] + _CONT + _THREE + _FOUR


def _cell(rng: random.Random) -> str:
    n = rng.choice([0, 1, 2, 3, 12, 13, 15, 16, 17, 31, 32, 33, 64, 65, 200])
    return "".join(rng.choice(_ALPHABET) for _ in range(n))


def _table(rng: random.Random, rows: int, width: int) -> list[list[str]]:
    return [[_cell(rng) for _ in range(width)] for _ in range(rows)]


def _columns(table: list[list[str]], names: list[str]) -> dict[str, list[str]]:
    return {name: [row[k] for row in table] for k, name in enumerate(names)}


def _read(doc: bytes, **options: object) -> object:
    return vorn_io.read_arrow(io.BytesIO(doc), **options).to_pyarrow()


@pytest.mark.parametrize("threads", [1, 2, 3, 4])
@pytest.mark.parametrize("block_size", [1, 5, 64, 1 << 20])
def test_read_equals_parse(threads: int, block_size: int) -> None:
    rng = random.Random(threads * 1000 + block_size)
    for width in (1, 3):
        table = [[f"c{k}" for k in range(width)]] + _table(rng, 40, width)
        doc = vorn.stringify(table).encode("utf-8", "surrogatepass")
        parsed = vorn.parse(doc.decode())
        got = _read(doc, threads=threads, block_size=block_size)
        assert got.column_names == parsed[0]
        assert got.to_pydict() == _columns(parsed[1:], parsed[0])
        # header=False: every row is data, named as pyarrow.csv names them.
        got = _read(doc, header=False, threads=threads, block_size=block_size)
        assert got.column_names == [f"f{k}" for k in range(width)]
        assert got.to_pydict() == _columns(parsed, got.column_names)


def _batch_rows(doc: bytes, **options: object) -> tuple[list[int], dict[str, list[str]]]:
    batches = list(pa.RecordBatchReader.from_stream(vorn_io.read_arrow(io.BytesIO(doc), **options)))
    return [b.num_rows for b in batches], pa.Table.from_batches(batches).to_pydict() if batches else {}


def test_cells_that_read_as_rows_do_not_move_the_batches() -> None:
    # With workers, blocks are cut where a row seems to begin; cells whose
    # text is itself rows of the table's width (a document inside a cell,
    # ';' and digits among multi-byte text) make such guesses wrong. The
    # batches and their rows are those one thread finds, for every block
    # size and thread count.
    rng = random.Random(11)
    inner = [vorn.stringify([[_cell(rng), "x"] for _ in range(rng.randrange(1, 8))]) for _ in range(30)]
    table = [["a", "b"]] + [[rng.choice(inner), rng.choice(inner + ["", "é;02ab;"])] for _ in range(60)]
    doc = vorn.stringify(table).encode("utf-8", "surrogatepass")
    want = _columns(vorn.parse(doc.decode("utf-8", "surrogatepass"))[1:], ["a", "b"])
    for block_size in (1, 7, 64, 300, 1000, 4096, 1 << 20):
        sizes, columns = _batch_rows(doc, threads=1, block_size=block_size)
        assert columns == want
        for threads in (2, 3):
            assert _batch_rows(doc, threads=threads, block_size=block_size) == (sizes, want), block_size
    # Padded rows: a guess takes a short row for a row.
    padded = vorn.stringify([["a", "b", "c"]] + [["1;", "01x;01y;"][: 1 + k % 2] for k in range(200)]).encode()
    for block_size in (5, 33, 100):
        want = _batch_rows(padded, threads=1, block_size=block_size, ragged="pad")
        assert _batch_rows(padded, threads=2, block_size=block_size, ragged="pad") == want


def test_faults_after_guessed_cuts() -> None:
    # A fault in a block cut at a guess is the one a single thread reports,
    # with its row and position in the whole document, after the rows
    # before it.
    rows = [["k", "v"]] + [[str(k), "中" * (k % 9)] for k in range(400)]
    doc = vorn.stringify(rows).encode()
    at = doc.index(b";03399") + 1
    cases = [
        (doc[:at + 2] + b"\xff" + doc[at + 3:], UnicodeDecodeError),
        (doc[:at + 5] + b";" + doc[at + 5:], ValueError),  # a row of one cell
        (doc[:-1], vorn_io.DecodeError),
        (doc[:at] + b"X" + doc[at + 1:], vorn_io.DecodeError),
    ]
    for broken, kind in cases:
        for block_size in (50, 333, 2000):
            want = _error_of(lambda: _read(broken, threads=1, block_size=block_size))
            assert want[0] is kind
            for threads in (2, 4):
                assert _error_of(lambda: _read(broken, threads=threads, block_size=block_size)) == want
            reader = pa.RecordBatchReader.from_stream(
                vorn_io.read_arrow(io.BytesIO(broken), threads=2, block_size=block_size))
            seen = 0
            with pytest.raises(Exception):
                for batch in reader:
                    seen += batch.num_rows
            assert seen > 300


def test_string_types_and_columns() -> None:
    rng = random.Random(7)
    table = [["x", "y", "z"]] + _table(rng, 50, 3)
    doc = vorn.stringify(table).encode()
    want = _columns(table[1:], table[0])
    for string_type, arrow_type in [("large_string", pa.large_string()), ("string", pa.string()),
                                    ("string_view", pa.string_view())]:
        got = _read(doc, string_type=string_type, block_size=100)
        assert all(field.type == arrow_type for field in got.schema)
        assert got.to_pydict() == want
    got = _read(doc, columns=["z", 0], block_size=64, threads=2)
    assert got.column_names == ["z", "x"]
    assert got.to_pydict() == {"z": want["z"], "x": want["x"]}
    with pytest.raises(KeyError, match="'w'"):
        vorn_io.read_arrow(io.BytesIO(doc), columns=["w"])
    with pytest.raises(ValueError, match="twice"):
        vorn_io.read_arrow(io.BytesIO(doc), columns=["x", 0])


def _views(array: object) -> list[bytes]:
    raw = array.buffers()[1].to_pybytes()
    return [raw[16 * k:16 * k + 16] for k in range(array.offset, array.offset + len(array))]


def test_short_views_are_exact_to_the_byte() -> None:
    # A view of at most 12 bytes is its length, the bytes, and zeros, built
    # from two 8-byte loads that reach past the cell into what follows it.
    # Every length, every byte value at every place, and after each cell
    # text that is never zero (the next header, or more text).
    cells = []
    for n in range(0, 14):
        for place in range(max(n, 1)):
            for value in range(1, 128, 9):
                chars = ["z"] * n
                if n:
                    chars[place] = chr(value)
                cells.append("".join(chars))
    cells += [c * 4 for c in _CONT[:4] + _THREE[:3] + _FOUR[:3]] + ["é" * 6, "😀" * 3, "😀" * 4]
    width = 3
    cells += [""] * (-len(cells) % width)
    rows = [cells[k:k + width] for k in range(0, len(cells), width)]
    doc = vorn.stringify([["a", "b", "c"]] + rows).encode("utf-8", "surrogatepass")
    for threads in (1, 2):
        got = _read(doc, string_type="string_view", threads=threads, block_size=256)
        for k, name in enumerate(["a", "b", "c"]):
            column = got.column(name)
            want = [row[k] for row in rows]
            assert column.to_pylist() == want
            views = [v for chunk in column.chunks for v in _views(chunk)]
            for text, view in zip(want, views):
                data = text.encode("utf-8", "surrogatepass")
                assert int.from_bytes(view[:4], "little") == len(data)
                if len(data) <= 12:
                    assert view[4:] == data + bytes(12 - len(data)), text
                else:
                    assert view[4:8] == data[:4], text


def test_to_polars_reads_views_unless_told_otherwise() -> None:
    pl = pytest.importorskip("polars", reason="polars is not installed (vorn[arrow])")
    doc, want = _sample()
    for string_type in (None, "large_string", "string", "string_view"):
        reader = vorn_io.read_arrow(io.BytesIO(doc), block_size=300, threads=2, string_type=string_type)
        assert reader.to_polars().to_dict(as_series=False) == want
    # The layout is settled by the first consumer: a schema taken first
    # keeps the default for the stream, and to_polars() still works.
    reader = vorn_io.read_arrow(io.BytesIO(doc))
    assert pa.Schema._import_from_c_capsule(reader.__arrow_c_schema__()).field("name").type == pa.large_string()
    assert reader.to_polars().to_dict(as_series=False) == want
    with pytest.raises(ValueError, match="string_type"):
        vorn_io.read_arrow(io.BytesIO(doc), string_type="utf8")


def test_shapes() -> None:
    # No bytes at all is the document of no rows, as everywhere in vorn_io
    # (vorn.parse("") alone refuses it): no columns unless names are given.
    for threads in (1, 2):
        assert _read(b"", threads=threads).shape == (0, 0)
        assert _read(b"", header=False, threads=threads).shape == (0, 0)
        named = vorn_io.read_arrow(io.BytesIO(b""), header=False, names=["a", "b"]).to_pyarrow()
        assert named.to_pydict() == {"a": [], "b": []}
    with pytest.raises(KeyError, match="'x'"):
        vorn_io.read_arrow(io.BytesIO(b""), columns=["x"])
    # A header alone, a single empty row, rows of no cells.
    assert _read(b"01a01b;").to_pydict() == {"a": [], "b": []}
    assert _read(b";", header=False).num_rows == 1
    assert _read(b";;;", header=True).num_rows == 2
    with pytest.raises(ValueError, match="'a' twice"):
        vorn_io.read_arrow(io.BytesIO(b"01a01a;"))


def test_ragged_rows() -> None:
    doc = vorn.stringify([["a", "b", "c"], ["1", "2", "3"], ["4"], ["5", "6", "7"]]).encode()
    for threads, block_size in [(1, 1), (2, 4), (1, 1 << 20)]:
        with pytest.raises(ValueError, match=r"row 2 has 1 cells, fewer than the 3 columns of the header; "
                                             r"ragged='pad'"):
            _read(doc, threads=threads, block_size=block_size)
        got = _read(doc, ragged="pad", threads=threads, block_size=block_size)
        assert got.to_pydict() == {"a": ["1", "4", "5"], "b": ["2", "", "6"], "c": ["3", "", "7"]}
    longer = vorn.stringify([["a"], ["1", "2"]]).encode()
    with pytest.raises(ValueError, match="row 1 has 2 cells, more than the 1 columns"):
        _read(longer, ragged="pad")


def _error_of(call: object) -> tuple[type, str, int | None, int | None]:
    try:
        call()  # type: ignore[operator]
    except (SyntaxError, ValueError) as error:
        return (type(error), str(error), getattr(error, "position", None), getattr(error, "row", None))
    return (type(None), "", None, None)


def test_malformed_at_every_position() -> None:
    doc = vorn.stringify([["h", "é😀"], ["12", ";;"], ["x" * 20, "y"]])
    cases = []
    for cut in range(len(doc)):
        cases.append(doc[:cut])
        cases.append(doc[:cut] + "!" + doc[cut + 1:])
    cases.append(doc.replace("02é", "01é"))  # split a character? no: a length off by one
    cases.append("02😀" + doc)  # declared length inside an astral character... then the rest
    for text in cases:
        if not text:
            continue  # no bytes is the document of no rows here (test_shapes)
        try:
            vorn.parse(text)
        except SyntaxError as error:
            expected = str(error)
        else:
            continue
        for threads, block_size in [(1, 1), (2, 3), (1, 1 << 20)]:
            kind, message, position, _ = _error_of(
                lambda: _read(text.encode(), header=False, threads=threads, block_size=block_size))
            assert kind is vorn_io.DecodeError, (text, message)
            assert message == expected
            assert position is not None


def test_rows_before_a_fault_come_first() -> None:
    good = vorn.stringify([["a"]] + [[str(k)] for k in range(100)])
    reader = pa.RecordBatchReader.from_stream(vorn_io.read_arrow(io.BytesIO((good + "01").encode()),
                                                                 block_size=16, threads=2))
    seen = []
    with pytest.raises(pa.ArrowInvalid, match="Unexpected end of input"):
        for batch in reader:
            seen += batch.column(0).to_pylist()
    assert seen == [str(k) for k in range(100)]


def test_invalid_utf8_names_its_offset() -> None:
    doc = bytearray(vorn.stringify([["a"], ["bcd"], ["é"]]).encode())
    for at, bad in [(doc.index(b"c"), 0xFF), (doc.index(b"\xc3") + 1, 0x41), (doc.index(b"\xc3"), 0xC0)]:
        broken = bytes(doc[:at]) + bytes([bad]) + bytes(doc[at + 1:])
        offset = _first_invalid(broken)
        for threads, block_size in [(1, 1), (2, 2), (1, 1 << 20)]:
            with pytest.raises(UnicodeDecodeError, match=f"byte offset {offset} of the document") as caught:
                _read(broken, threads=threads, block_size=block_size)
            assert caught.value.object[:1] == broken[offset:offset + 1]


def test_max_row_size() -> None:
    doc = vorn.stringify([["a"], ["bb"], ["c" * 30]]).encode()
    assert _read(doc, max_row_size=35).num_rows == 2
    with pytest.raises(vorn_io.DecodeError, match="Row 2 is longer than max_row_size") as caught:
        _read(doc, max_row_size=10, block_size=1)
    assert caught.value.row == 2


def test_the_first_fault_in_the_document_is_reported() -> None:
    # However the bytes fall into blocks and threads, the fault that comes
    # first in the document is the one raised: a row too long before a cut
    # end, a ragged row before bytes that are not UTF-8 or a malformed end.
    body = vorn.stringify([["a", "b"], ["1", "2"], ["3"], ["4", "5"]]).encode()
    long_row = vorn.stringify([["a"], ["bb"], ["c" * 30, "dd"]]).encode()
    cases = [
        (long_row[:-3], {"max_row_size": 10}, vorn_io.DecodeError, "Row 2 is longer than max_row_size"),
        (body + b"\xff01x;", {}, ValueError, "row 2 has 1 cells"),
        (body + b"02x", {}, ValueError, "row 2 has 1 cells"),
        (body[:4] + b"\xc3" + body[5:], {}, UnicodeDecodeError, "byte offset 4 of the document"),
    ]
    for doc, options, kind, message in cases:
        for threads, block_size in [(1, 1), (1, 5), (1, 1 << 20), (2, 1), (2, 7), (2, 1 << 20)]:
            with pytest.raises(kind, match=message):
                _read(doc, threads=threads, block_size=block_size, **options)


_KERNELS = _scanner._utf8_kernels()


def _check_all_kernels(data: bytes | memoryview, want: int) -> None:
    for kernel in ["auto"] + _KERNELS:
        assert _scanner._utf8_check(data, kernel) == want, (kernel, bytes(data))


def test_utf8_kernels_every_byte_at_every_lane() -> None:
    # Every byte value at every lane of two 64-byte blocks and a tail, in
    # ASCII and in text of two- and three-byte sequences (so that a lone
    # byte also breaks a sequence around it), and every length across the
    # vector widths and their tails.
    for base in (bytes(range(0x20, 0x60)) * 3, ("é" * 65).encode(), ("中" * 44).encode()):
        base = base[:130]
        for lane in range(len(base)):
            for value in range(256):
                text = bytearray(base)
                text[lane] = value
                data = bytes(text)
                _check_all_kernels(data, _first_invalid(data))
    for size in range(200):
        for text in (b"a" * size, ("é" * size).encode()[:size], b"a" * size + b"\xe4\xb8"):
            _check_all_kernels(text, _first_invalid(text))


def test_utf8_kernels_every_pair_across_the_lane_edges() -> None:
    # A byte from 0x80 up, then every byte value, where the two straddle
    # the edge of a 16-byte lane, a 32-byte vector, a 64-byte block, or lie
    # in the tail; and each length class cut or broken at every byte.
    for at in (14, 15, 31, 63, 64, 126, 127):
        for lead in range(0x80, 0x100):
            for value in range(256):
                data = b"x" * at + bytes([lead, value]) + b"yz" * 40
                _check_all_kernels(data, _first_invalid(data))
    for ch in ["é", "\u0800", "\uffff", "\U00010000", "\U0010ffff", "\ud7ff", "\ue000"]:
        encoded = ch.encode()
        for pad in (0, 1, 13, 30, 31, 32, 61, 62, 63, 64, 128):
            for cut in range(len(encoded) + 1):
                for after in (b"b" * 70, b"\x80" + b"b" * 70, b""):
                    data = b"a" * pad + encoded[:cut] + after
                    _check_all_kernels(data, _first_invalid(data))
    for raw in (b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\x80", b"\xe0\x80\x80", b"\xf0\x80\x80\x80",
                b"\xf5\x80\x80\x80", b"\xff", b"\xc1\xbf", b"\xf0\x90\x80\x80\x80"):
        for pad in range(0, 130, 3):
            data = b"x" * pad + raw + b"x" * 70
            _check_all_kernels(data, _first_invalid(data))


def test_utf8_kernels_at_every_misalignment() -> None:
    # The same text read from every address of a 64-byte span.
    text = ("a" + "é" + "中" + "\U00010348").encode() * 20
    broken = bytearray(text)
    broken[77] = 0xC0
    for data in (text, bytes(broken)):
        buffer = bytearray(64) + bytearray(data)
        want = _first_invalid(data)
        for shift in range(64):
            view = memoryview(buffer)[shift:]
            view[:len(data)] = data
            _check_all_kernels(view[:len(data)], want)


def test_utf8_kernels_on_random_text() -> None:
    # Text from every length class with bytes changed at random, against
    # the decoder, for lengths past every vector width.
    rng = random.Random(3)
    classes = [_ALPHABET, _CONT, _THREE, _FOUR]
    for _ in range(3000):
        alphabet = rng.choice(classes)
        data = bytearray("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 160))).encode())
        for _ in range(rng.randrange(3)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        _check_all_kernels(bytes(data), _first_invalid(bytes(data)))
    with pytest.raises(ValueError, match="no UTF-8 kernel"):
        _scanner._utf8_check(b"", "neon")


def _first_invalid(data: bytes) -> int:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        return error.start
    return len(data)


# --- Streams and resources --------------------------------------------------


def test_sources(tmp_path: object) -> None:
    import gzip

    table = [["k", "v"]] + [[str(k), "é" * (k % 5)] for k in range(500)]
    doc = vorn.stringify(table).encode()
    path = os.path.join(str(tmp_path), "t.vorn")
    with open(path, "wb") as fp:
        fp.write(doc)
    want = _columns(table[1:], table[0])
    assert vorn_io.read_arrow(path, block_size=100).to_pyarrow().to_pydict() == want
    with gzip.open(path + ".gz", "wb") as fp:
        fp.write(doc)
    with gzip.open(path + ".gz", "rb") as fp:
        assert vorn_io.read_arrow(fp, block_size=100, threads=2).to_pyarrow().to_pydict() == want
    read, write = os.pipe()
    os.write(write, doc[:60000])
    os.close(write)
    with os.fdopen(read, "rb", buffering=0) as fp:
        if len(doc) <= 60000:
            assert vorn_io.read_arrow(fp).to_pyarrow().to_pydict() == want
    with pytest.raises(ValueError, match="UTF-8 files only"):
        vorn_io.read_arrow(path, encoding="utf-16")
    with pytest.raises(TypeError, match="binary stream"):
        vorn_io.read_arrow(io.StringIO(doc.decode()))


def test_stream_is_consumed_once_and_source_errors_pass_through() -> None:
    reader = vorn_io.read_arrow(io.BytesIO(b"01a;01b;"))
    assert pa.table(reader).to_pydict() == {"a": ["b"]}
    with pytest.raises(RuntimeError, match="already consumed"):
        pa.table(reader)

    class Failing(io.RawIOBase):
        def __init__(self, first: bytes) -> None:
            self.calls, self.first = 0, first

        def readable(self) -> bool:
            return True

        def readinto(self, buffer: memoryview) -> int:
            self.calls += 1
            if self.calls == 1:
                buffer[:len(self.first)] = self.first
                return len(self.first)
            raise OSError("disk on fire")

    # In the first row, and after rows enough to begin reading batches.
    for first in (b"01a;", vorn.stringify([["a"]] + [[str(k)] for k in range(40)]).encode()):
        for threads in (1, 2):
            with pytest.raises(OSError, match="disk on fire"):
                vorn_io.read_arrow(Failing(first), block_size=1, threads=threads).to_pyarrow()


def test_file_that_shrinks_during_the_read(tmp_path: object) -> None:
    path = os.path.join(str(tmp_path), "big.vorn")
    table = [["a", "b"]] + [["x" * 50, str(k)] for k in range(20000)]
    with open(path, "wb") as fp:
        fp.write(vorn.stringify(table).encode())
    reader = pa.RecordBatchReader.from_stream(vorn_io.read_arrow(path, block_size=4096, threads=2))
    next(iter(reader))
    with open(path, "r+b") as fp:
        fp.truncate(100000)
    with pytest.raises(pa.ArrowInvalid):
        for _ in reader:
            pass


def test_early_release_frees_everything() -> None:
    table = [["a"]] + [[str(k) * 10] for k in range(20000)]
    doc = vorn.stringify(table).encode()
    for threads in (1, 3):
        reader = pa.RecordBatchReader.from_stream(vorn_io.read_arrow(io.BytesIO(doc), block_size=512,
                                                                     threads=threads))
        first = reader.read_next_batch()
        assert first.column(0)[0].as_py() == "0" * 10
        before = pa.total_allocated_bytes()
        del reader
        gc.collect()
        assert first.num_rows > 0
        assert pa.total_allocated_bytes() <= before


# --- Consumers ----------------------------------------------------------------


def _sample() -> tuple[bytes, dict[str, list[str]]]:
    table = [["name", "text"]] + [[f"n{k}", "😀é;" * (k % 4)] for k in range(300)]
    return vorn.stringify(table).encode(), _columns(table[1:], table[0])


def test_polars_and_pandas_take_the_stream() -> None:
    doc, want = _sample()
    pl = pytest.importorskip("polars", reason="polars is not installed (vorn[arrow])")
    frame = pl.DataFrame(vorn_io.read_arrow(io.BytesIO(doc), block_size=256, threads=2))
    assert frame.to_dict(as_series=False) == want
    assert vorn_io.read_arrow(io.BytesIO(doc)).to_polars().to_dict(as_series=False) == want
    pd = pytest.importorskip("pandas", reason="pandas is not installed (vorn[arrow])")
    frame = vorn_io.read_arrow(io.BytesIO(doc), block_size=256).to_pandas()
    assert {c: list(frame[c]) for c in frame.columns} == want
    if hasattr(pd.DataFrame, "from_arrow"):  # pandas 3
        frame = pd.DataFrame.from_arrow(vorn_io.read_arrow(io.BytesIO(doc), block_size=256))
        assert {c: list(frame[c]) for c in frame.columns} == want


def test_duckdb_takes_the_stream_and_limit_releases_it() -> None:
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (vorn[arrow])")
    doc, want = _sample()
    r = vorn_io.read_arrow(io.BytesIO(doc), block_size=256, threads=2)  # noqa: F841 - named in the query
    rows = duckdb.sql("select name, text from r order by name").fetchall()
    assert sorted(zip(want["name"], want["text"])) == rows
    big = vorn.stringify([["a"]] + [[str(k)] for k in range(100000)]).encode()
    r = vorn_io.read_arrow(io.BytesIO(big), block_size=1024, threads=2)  # noqa: F841
    assert len(duckdb.sql("select * from r limit 10").fetchall()) == 10


def test_missing_library_names_the_extra(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "polars", None)  # as if not installed
    with pytest.raises(ImportError, match=r"vorn\[arrow\]"):
        vorn_io.read_arrow(io.BytesIO(b"01a;")).to_polars()


# --- Writing ------------------------------------------------------------------


def _written(data: object, **options: object) -> bytes:
    out = io.BytesIO()
    vorn_io.write_arrow(data, out, **options)
    return out.getvalue()


def test_write_equals_stringify() -> None:
    rng = random.Random(3)
    rows = _table(rng, 60, 3)
    names = ["a", "b", "ü😀"]
    table = pa.table({n: [row[k] for row in rows] for k, n in enumerate(names)})
    want = vorn.stringify([names] + rows).encode("utf-8")
    assert _written(table) == want
    assert _written(table, header=False) == vorn.stringify(rows).encode()
    for target in (pa.string(), pa.large_string(), pa.string_view()):
        assert _written(table.cast(pa.schema([(n, target) for n in names]))) == want
    dictionary = pa.table({n: pa.array([row[k] for row in rows]).dictionary_encode() for k, n in enumerate(names)})
    assert _written(dictionary) == want
    # Slices and batches of several sizes are written by their own offsets.
    sliced = table.slice(7, 20)
    assert _written(sliced) == vorn.stringify([names] + rows[7:27]).encode()
    for threads in (1, 2, 3):
        assert _written(pa.Table.from_batches(table.to_batches(max_chunksize=7)), threads=threads) == want
    assert _written(table.to_batches()[0]) == want  # __arrow_c_array__
    # No rows, no columns.
    assert _written(table.slice(0, 0)) == vorn.stringify([names]).encode()
    assert _written(table.slice(0, 0), header=False) == b""


def test_write_ascii_and_mixed_columns_of_every_length() -> None:
    # A column of ASCII alone takes each cell's size as its length; beside
    # it, one of the same cells with a character of every length class at
    # a moving place. Every length across the 16-byte moves, cells at the
    # very end of their column's bytes, and slices that start mid-buffer.
    specials = ["é", "中", "😀", "\x7f"]
    ascii_cells = ["".join(chr(0x21 + (k + j) % 90) for j in range(k % 41)) for k in range(400)]
    mixed = [c[:k % 7] + specials[k % 4] + c[k % 7:] if k % 3 else c for k, c in enumerate(ascii_cells)]
    table = pa.table({"a": ascii_cells, "m": mixed, "s": pa.array(mixed, pa.large_string())})
    rows = [list(r) for r in zip(ascii_cells, mixed, mixed)]
    assert _written(table) == vorn.stringify([["a", "m", "s"]] + rows).encode()
    for start, stop in ((0, 1), (1, 17), (383, 400), (399, 400)):
        assert _written(table.slice(start, stop - start), header=False) == \
            vorn.stringify(rows[start:stop]).encode()


def test_write_counts_short_cells_of_every_length_class_at_every_place() -> None:
    # Cells of 1 to 16 bytes, moved and counted in two words, with a
    # character of each length class at every place in them, before a cell
    # long enough that every short one is read whole.
    cells = []
    for size in range(1, 17):
        for ch in ["é", "\u07ff", "中", "\uffff", "😀", "\U0010ffff"]:
            width = len(ch.encode())
            for at in range(size - width + 1):
                cells.append("a" * at + ch + "b" * (size - width - at))
    cells.append("z" * 100)
    table = pa.table({"c": cells})
    assert _written(table) == vorn.stringify([["c"]] + [[c] for c in cells]).encode()


def test_write_hands_each_batch_over_without_a_copy() -> None:
    # A stream receives one read-only bytes-like piece per batch, which stays
    # valid after the writer is gone.
    table = pa.table({"k": [str(k) for k in range(1000)]})
    pieces = []

    class Sink:
        def write(self, piece: object) -> int:
            pieces.append(piece)
            return len(piece)  # type: ignore[arg-type]

    vorn_io.write_arrow(pa.Table.from_batches(table.to_batches(max_chunksize=300)), Sink())
    import gc as _gc
    _gc.collect()
    assert len(pieces) == 4
    assert all(isinstance(p, memoryview) and p.readonly for p in pieces)
    assert b"".join(pieces) == vorn.stringify([["k"]] + [[str(k)] for k in range(1000)]).encode()
    with pytest.raises(TypeError):
        pieces[0][0] = 1


def test_write_round_trips_through_read(tmp_path: object) -> None:
    rng = random.Random(5)
    rows = _table(rng, 200, 2)
    table = pa.table({"p": [r[0] for r in rows], "q": [r[1] for r in rows]})
    path = os.path.join(str(tmp_path), "out.vorn")
    vorn_io.write_arrow(table, path)
    assert vorn_io.read_arrow(path, block_size=333, threads=2).to_pyarrow().equals(
        table.cast(pa.schema([("p", pa.large_string()), ("q", pa.large_string())])))


def test_write_nulls_and_other_types() -> None:
    table = pa.table({"s": ["a", None, "c"], "n": [1, 2, None]})
    with pytest.raises(ValueError, match=r"column 's' holds a null at row 1 .*null="):
        _written(table)
    # A null in a later batch: the rows are counted across batches, and the
    # batches before it are written first.
    batches = pa.Table.from_batches(pa.table({"s": ["a", "b", "c", None, "e"]}).to_batches(max_chunksize=2))
    for threads in (1, 2, 4):
        out = io.BytesIO()
        with pytest.raises(ValueError, match="column 's' holds a null at row 3 "):
            vorn_io.write_arrow(batches, out, threads=threads)
        assert out.getvalue() == vorn.stringify([["s"], ["a"], ["b"]]).encode()
    assert _written(table, null="") == vorn.stringify([["s", "n"], ["a", "1"], ["", "2"], ["c", ""]]).encode()
    import pyarrow.compute as pc

    other = pa.table({"f": [1.5, 2.0], "b": [True, False]})
    as_text = [pc.cast(column, pa.string()).to_pylist() for column in other.columns]
    assert _written(other) == vorn.stringify([["f", "b"]] + [list(r) for r in zip(*as_text)]).encode()


def test_write_without_pyarrow_refuses_other_types(monkeypatch: pytest.MonkeyPatch) -> None:
    table = pa.table({"s": ["x"], "n": pa.array([1], pa.int64())})
    strings = pa.table({"s": ["x", "é"]})
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # as if not installed
    with pytest.raises(TypeError, match=r"column 'n' has type int64: .*vorn\[arrow\]"):
        _written(table)
    assert _written(strings) == vorn.stringify([["s"], ["x"], ["é"]]).encode()


def test_write_reads_buffers_at_any_address() -> None:
    # pyarrow hands over buffers read back from a pickle at odd addresses.
    import numpy as np

    texts = ["a", "", "éx", "😀" * 3]
    data = "".join(texts).encode()
    want = vorn.stringify([["s"]] + [[t] for t in texts]).encode()
    for string_type, width in ((pa.large_string(), 8), (pa.string(), 4)):
        ends = np.cumsum([0] + [len(t.encode()) for t in texts]).astype(f"<i{width}").tobytes()
        raw = pa.py_buffer(b"\0" + ends)
        offsets = raw.slice(1)
        array = pa.Array.from_buffers(string_type, len(texts), [None, offsets, pa.py_buffer(data)])
        out = io.BytesIO()
        vorn_io.write_arrow(pa.table({"s": array}), out)
        assert out.getvalue() == want, string_type


def test_write_refuses_invalid_utf8() -> None:
    bad = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(bytes(pa.array([0, 1, 3], pa.int32()).buffers()[1])),
                                                 pa.py_buffer(b"a\xc3\x28")])
    with pytest.raises(ValueError, match="column 's' holds invalid UTF-8 at row 1"):
        _written(pa.table({"s": bad}))


def test_polars_pandas_duckdb_write() -> None:
    pl = pytest.importorskip("polars", reason="polars is not installed (vorn[arrow])")
    pd = pytest.importorskip("pandas", reason="pandas is not installed (vorn[arrow])")
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (vorn[arrow])")
    rows = [["a", "é"], ["😀", ""]]
    want = vorn.stringify([["x", "y"]] + rows).encode()
    assert _written(pl.DataFrame({"x": ["a", "😀"], "y": ["é", ""]})) == want
    assert _written(pd.DataFrame({"x": ["a", "😀"], "y": ["é", ""]})) == want
    relation = duckdb.sql("select * from (values ('a', 'é'), ('😀', '')) t(x, y)")
    assert _written(relation) == want


def test_every_block_size_matches_for_long_cells() -> None:
    table = [["a", "b"]] + [["x" * n, "😀" * (n // 3)] for n in itertools.chain(range(0, 70), [255, 256, 4097])]
    doc = vorn.stringify(table).encode()
    want = _columns(table[1:], table[0])
    for block_size in (1, 2, 3, 17, 100, 5000):
        assert _read(doc, block_size=block_size, threads=2).to_pydict() == want


def test_rows_longer_than_every_read() -> None:
    # One reader walks the bytes as they arrive: a row cut short by a read
    # is taken back and read again whole, however long it is, and faults
    # at the end of the input read as parse reports them.
    rng = random.Random(7)
    long_cell = "".join(rng.choice(_ALPHABET) for _ in range(70_000))
    table = [["a", "b", "c"], ["x", long_cell, "y"], ["é" * 5000, "", "😀" * 3000]]
    table += [[_cell(rng) for _ in range(3)] for _ in range(300)]
    table += [[str(k) for k in range(3)], ["\U0010ffff" * 9000, "z" * 9000, ""]]
    doc = vorn.stringify(table).encode()
    want = _columns(table[1:], table[0])
    for most in (1, 7, 4096, 1 << 20):
        for threads, block_size in [(1, 1), (1, 300), (1, 5000), (1, 1 << 20), (2, 300)]:
            got = vorn_io.read_arrow(Trickle(doc, most), threads=threads, block_size=block_size).to_pyarrow()
            assert got.to_pydict() == want, (most, threads, block_size)
    for string_type in ("string", "string_view"):
        # Each layout takes the cut row's cells back from its own buffers.
        got = vorn_io.read_arrow(Trickle(doc, 7), threads=1, block_size=300, string_type=string_type)
        assert got.to_pyarrow().to_pydict() == want, string_type
    text = doc.decode()
    for cut in sorted({len(text) - k for k in (1, 2, 3, 40, 9001, 18003)} | {len(text) // 2}):
        with pytest.raises(SyntaxError) as parsed:
            vorn.parse(text[:cut])
        seen = set()
        for threads, block_size in [(1, 1), (1, 1 << 20), (2, 777)]:
            kind, message, position, row = _error_of(lambda: vorn_io.read_arrow(
                Trickle(text[:cut].encode(), 4096), threads=threads, block_size=block_size).to_pyarrow())
            assert (kind, message) == (vorn_io.DecodeError, str(parsed.value)), (cut, threads, block_size)
            seen.add((position, row))
        assert len(seen) == 1, (cut, seen)


def _resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc to see resident memory")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or bool(os.environ.get("PYTHONMALLOC")),
                    reason="resident sizes mean nothing under the sanitizer's or the debug allocator")
def test_memory_stays_bounded_by_the_blocks_in_flight(tmp_path: object) -> None:
    path = os.path.join(str(tmp_path), "big.vorn")
    row = vorn.stringify([["x" * 100, "é" * 50, "y" * 300]])
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(vorn.stringify([["a", "b", "c"]]))
        for _ in range(40):
            f.write(row * 2000)  # 40 pieces of about 1 MB
    size = os.path.getsize(path)
    base = _resident()
    peak = 0
    rows = 0
    for batch in pa.RecordBatchReader.from_stream(vorn_io.read_arrow(path, block_size=1 << 20, threads=2)):
        rows += batch.num_rows
        peak = max(peak, _resident() - base)
        del batch
    assert rows == 80000
    # A few blocks and their batches in flight, far below the file's size.
    assert peak < size / 2, (peak, size)


_FAULTS_CHILD = """
import io, resource, statistics, sys
import pyarrow as pa
import vorn, vorn_io
rows = [["k", "v", "w"]] + [[str(k), "x" * (k % 40), "\u00e9\u4e2d" * (k % 7)] for k in range(600000)]
doc = vorn.stringify(rows).encode()
faults, pages = [], 0
for _ in range(6):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    table = pa.table(vorn_io.read_arrow(io.BytesIO(doc), threads=int(sys.argv[1]), block_size=1 << 20))
    faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
    pages = table.nbytes // 4096
    del table
print(int(statistics.median(faults[2:])), pages)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts the page faults Linux reports")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or bool(os.environ.get("PYTHONMALLOC"))
                    or bool(os.environ.get("VORN_NO_POOL")), reason="the pool keeps nothing in these builds")
@pytest.mark.parametrize("threads", [1, 2])
def test_repeated_reads_reuse_their_buffers(threads: int) -> None:
    # A program that reads tables again and again gets the batches' buffers
    # from memory kept from the batches it freed, not from fresh pages.
    import subprocess

    out = subprocess.run([sys.executable, "-c", _FAULTS_CHILD, str(threads)], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    median, pages = map(int, out.stdout.split())
    assert pages > 1000
    assert median < pages // 10, (median, pages)


def test_write_then_read_any_text() -> None:
    hypothesis = pytest.importorskip("hypothesis", reason="hypothesis is not installed")
    st = hypothesis.strategies
    text = st.text(st.characters(exclude_categories=("Cs",)), max_size=40)

    @hypothesis.given(st.integers(1, 4).flatmap(lambda width: st.lists(st.lists(text, min_size=width,
                                                                                   max_size=width),
                                                                          max_size=30)),
                      st.integers(1, 64), st.sampled_from(["large_string", "string", "string_view"]))
    @hypothesis.settings(max_examples=150, deadline=None)
    def check(rows: list[list[str]], block_size: int, string_type: str) -> None:
        width = len(rows[0]) if rows else 1
        names = [f"c{k}" for k in range(width)]
        table = pa.table({n: pa.array([r[k] for r in rows], pa.string()) for k, n in enumerate(names)})
        data = _written(table)
        assert data == vorn.stringify([names] + rows).encode()
        back = _read(data, block_size=block_size, string_type=string_type, threads=1 + block_size % 3)
        assert back.to_pydict() == table.to_pydict()

    check()


def test_views_and_dictionaries_of_long_cells() -> None:
    cells = ["", "a" * 12, "b" * 13, "é" * 40, "😀" * 3, "x" * 5000]
    table = pa.table({"v": pa.array(cells, pa.string_view()),
                      "d": pa.array(cells[::-1]).dictionary_encode()})
    want = vorn.stringify([["v", "d"]] + [list(r) for r in zip(cells, cells[::-1])]).encode()
    assert _written(table) == want
    assert _written(table.slice(2, 3)) == vorn.stringify([["v", "d"]] + [list(r) for r in
                                                         zip(cells[2:5], cells[::-1][2:5])]).encode()
    back = _read(want, string_type="string_view", block_size=7)
    assert back.column("v").to_pylist() == cells
