"""vorn_io.partitions: byte ranges that split a UTF-8 file at row ends,
checked against the row ends of the table that was written and against
vorn_io.load and vorn.parse of the whole file, and its errors against
parse's."""

import importlib
import io
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import texts
import vorn
import vorn_io
from vorn_io import _partition
from byte_streams import Trickle

SMILE = "\U0001F600"

TABLES = [
    [[";"]],
    [["a;b", "12"], [], ["0;", "9" * 12], ["line\nbreak", "\r\n"], [""], []],
    [[SMILE, "a" + SMILE + ";", SMILE * 3 + ";;"], [], ["é€" * 5, "1;2;3"]],
    # Long cells: hopped in blocks, with characters of every width and a
    # character from U+10000 up at the block edges.
    [["x" * 200, "é" * 70 + SMILE], [(";" * 63 + SMILE) * 5, "€" * 100], [], ["0" * 1000]],
    [[str(i) * (i % 7), ";" * (i % 3)] for i in range(60)] + [[]],
]


def row_ends(table):
    """Byte offsets of the row ends of stringify(table) in UTF-8."""
    ends, at = [], 0
    for row in table:
        at += len(vorn.stringify([row]).encode())
        ends.append(at)
    return ends


def check_ranges(data, ranges, size, ends):
    """The ranges cover data in order, each ends at the first row end at or
    after start + size, and each reads alone as the rows it numbers."""
    assert ranges[0][0] == 0 and ranges[-1][1] == len(data)
    rows = []
    for (start, end, first), nxt in zip(ranges, ranges[1:] + [None]):
        if nxt is not None:
            assert nxt[0] == end
            assert end == min(e for e in ends if e >= start + size)
        assert first == len(rows)
        rows += vorn.parse(data[start:end].decode("utf-8"))
    return rows


@pytest.mark.parametrize("table", TABLES, ids=range(len(TABLES)))
def test_exact_splits_at_every_size(table):
    data = vorn.stringify(table).encode()
    ends = row_ends(table)
    whole = vorn_io.load(io.BytesIO(data))
    assert whole == table
    for size in list(range(1, 40)) + [len(data) // 3, len(data) - 1, len(data), 10 * len(data)]:
        size = max(size, 1)
        ranges = vorn_io.partitions(io.BytesIO(data), size=size)
        assert check_ranges(data, ranges, size, ends) == whole, size


@pytest.mark.parametrize("table", TABLES[1:], ids=range(1, len(TABLES)))
@pytest.mark.parametrize("step", [1, 2, 3, 5, 64, 81])
def test_reads_of_any_length_split_the_same(table, step, monkeypatch):
    # Bytes arriving a few at a time, and chunks smaller than a long cell:
    # the finder resumes inside prefixes, payloads and characters.
    monkeypatch.setattr(_partition, "_CHUNK", 97)
    data = vorn.stringify(table).encode()
    ends = row_ends(table)
    for size in (1, 7, 100):
        ranges = vorn_io.partitions(Trickle(data, step), size=size)
        assert check_ranges(data, ranges, size, ends) == table


@pytest.mark.parametrize("chunk", [1, 79, 600, 10**9])
def test_files_split_the_same_in_reads_of_any_length(tmp_path, monkeypatch, chunk):
    # A regular file is read by offset, chunk bytes at a time: the finder
    # resumes inside prefixes, payloads and characters there too.
    monkeypatch.setattr(_partition, "_FILE_CHUNK", chunk)
    table = TABLES[3] * 3 + TABLES[4]
    data = vorn.stringify(table).encode()
    path = tmp_path / "t.vorn"
    path.write_bytes(data)
    for size in (1, 50, 333):
        assert check_ranges(data, vorn_io.partitions(path, size=size), size, row_ends(table)) == table


def test_paths_and_file_positions(tmp_path):
    table = TABLES[1]
    data = vorn.stringify(table).encode()
    path = tmp_path / "t.vorn"
    path.write_bytes(b"junk" + data)
    with open(path, "rb") as f:
        f.seek(4)
        ranges = vorn_io.partitions(f, size=5)
    # Offsets are positions in the file.
    assert ranges[0][0] == 4 and ranges[-1][1] == len(data) + 4
    path.write_bytes(data)
    assert vorn_io.partitions(str(path), size=5) == vorn_io.partitions(path, size=5) == \
        [(s - 4, e - 4, r) for s, e, r in ranges]
    assert vorn_io.partitions(path) == vorn_io.partitions(path, size=10**30) == [(0, len(data), 0)]


SEMIS = vorn.stringify([[";" * k for k in range(0, 40, 3)], [";0;" * 9, "1;"], [], [";"]])
ASTRAL = vorn.stringify([[SMILE, "a" + SMILE + ";"], [SMILE * 3 + ";;"]])
MALFORMED = [
    "0", "0x", "0x;", "x;", ";x;", "01a", "03abc", "01;", "03ab", "é;", "g0;", "€;", SMILE + ";",
    SEMIS + "x;", SEMIS + "0-1a;", SEMIS + "01a;\n", SEMIS + "0", SEMIS + "1x5", SEMIS + "15x",
    SEMIS + "15", SEMIS + "0\u0661a;", SEMIS + "1é", SEMIS + "1é5", SEMIS + "3;;;;;;;;;;;;",
    ASTRAL + "1x5", ASTRAL + "15x", ASTRAL + "15", ASTRAL + "x", ASTRAL + "0x", ASTRAL[:-1],
    ASTRAL + "01" + SMILE + ";", ASTRAL + "03" + SMILE * 2 + ";", "01" + SMILE, "1" + SMILE,
    "2" + SMILE + "x", "1" + SMILE + "x", "2" + SMILE, "1x" + SMILE,
    "02" + SMILE + ";" + SEMIS + "1x5", "02" + SMILE + ";" + SEMIS + "15x", "02" + SMILE + ";1x",
    "02" + SMILE + ";f" + "0" * 15, "x;02" + SMILE + ";", "01a;0x;02" + SMILE + ";",
    "3100" + "y" * 99 + SMILE + ";", "3100" + "y" * 98 + SMILE + ";", "3100" + "é" * 99,
    "f" + "0" * 16, "f" + "0" * 15 + "1",
    # A character from U+10000 up in a cell read in the same pass as a
    # prefix whose non-digit (of two bytes) runs to the end.
    "02" + SMILE + ";1é", "02" + SMILE + ";2é", "02" + SMILE + ";" + SEMIS + "1é", "3100" + SMILE * 50 + ";1é",
]


def load_outcome(data):
    """What vorn_io.load says of the whole file: its rows, or its error."""
    try:
        return vorn_io.load(io.BytesIO(data)), None
    except vorn_io.DecodeError as exc:
        return None, (exc.args, exc.position, exc.row)


def partition_outcome(source, size=3):
    try:
        ranges = vorn_io.partitions(source, size=size)
    except vorn_io.DecodeError as exc:
        return None, (exc.args, exc.position, exc.row)
    data = source.getvalue() if isinstance(source, io.BytesIO) else source._data
    return [row for s, e, _ in ranges if e > s for row in vorn.parse(data[s:e].decode())], None


@pytest.mark.parametrize("doc", MALFORMED, ids=range(len(MALFORMED)))
def test_malformed_documents_report_what_parse_reports(doc, tmp_path, monkeypatch):
    data = doc.encode()
    want = load_outcome(data)
    assert want[1] is not None
    # vorn_io.load reports what parse reports of the whole text.
    with pytest.raises(SyntaxError) as parsed:
        vorn.parse(doc)
    assert parsed.value.args == want[1][0]
    assert partition_outcome(io.BytesIO(data)) == want
    assert partition_outcome(Trickle(data, 1)) == want
    # A regular file is read by offset, a byte at a time.
    monkeypatch.setattr(_partition, "_FILE_CHUNK", 1)
    path = tmp_path / "bad.vorn"
    path.write_bytes(data)
    with pytest.raises(vorn_io.DecodeError) as raised:
        vorn_io.partitions(path)
    assert (raised.value.args, raised.value.position, raised.value.row) == want[1]


def test_end_message_is_the_current_global(monkeypatch):
    monkeypatch.setattr(vorn, "ErrUnexpectedEndOfInput", "cut short")
    with pytest.raises(vorn_io.DecodeError, match="^cut short$"):
        vorn_io.partitions(io.BytesIO(b"01a;01"))


def test_invalid_utf8_where_structure_stands_and_what_is_refused(tmp_path):
    with pytest.raises(UnicodeDecodeError, match="byte offset 4"):
        vorn_io.partitions(io.BytesIO(b"01a;\xff;"))
    with pytest.raises(UnicodeDecodeError):
        vorn_io.partitions(io.BytesIO(b"01a;1\xe2"))
    path = tmp_path / "u16.vorn"
    path.write_text("01a;", encoding="utf-16")
    with pytest.raises(ValueError, match="UTF-8 files only, not utf-16"):
        vorn_io.partitions(path, encoding="utf-16")
    assert vorn_io.partitions(io.BytesIO(b"01a;"), encoding="UTF8") == [(0, 4, 0)]
    with pytest.raises(TypeError, match="binary file"):
        vorn_io.partitions(io.StringIO("01a;"))
    with pytest.raises(ValueError, match="at least 1"):
        vorn_io.partitions(io.BytesIO(b";"), size=0)
    with pytest.raises(TypeError, match="size must be an int"):
        vorn_io.partitions(io.BytesIO(b";"), size=1.5)


TEXT = st.text(st.sampled_from("ab;0159fF\n\r" + SMILE + "é€"), max_size=12)
LONG_TEXT = st.text(st.sampled_from("ab;0" + SMILE + "é€"), min_size=60, max_size=300)
TABLE = st.lists(st.lists(st.one_of(TEXT, LONG_TEXT, texts.cell_texts()), max_size=4), min_size=1, max_size=8)


@st.composite
def documents(draw):
    doc = vorn.stringify(draw(TABLE))
    damage = draw(st.sampled_from(["none", "none", "cut", "insert", "replace"]))
    if damage == "none":
        return doc
    at = draw(st.integers(0, len(doc) - 1))
    char = draw(st.sampled_from(";0aFx9é" + SMILE))
    if damage == "cut":
        return doc[:at]
    if damage == "insert":
        return doc[:at] + char + doc[at:]
    return doc[:at] + char + doc[at + 1:]


@settings(max_examples=300, deadline=None)
@given(documents(), st.integers(1, 200), st.integers(1, 90))
def test_partitions_read_back_as_load_reads_the_whole(doc, size, step):
    data = doc.encode()
    want = load_outcome(data)
    assert partition_outcome(io.BytesIO(data), size) == want
    assert partition_outcome(Trickle(data, step), size) == want


def test_missing_dependency_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.delitem(sys.modules, "vorn_io.dask", raising=False)
    with pytest.raises(ImportError, match=r"vorn\[dask\]"):
        importlib.import_module("vorn_io.dask")


def test_reading_ranges_back_and_ranges_that_are_not_partitions(tmp_path):
    table = TABLES[1]
    data = vorn.stringify(table).encode()
    path = tmp_path / "t.vorn"
    path.write_bytes(data)
    ranges = vorn_io.partitions(path, size=5)
    with open(path, "rb") as f:
        assert [row for s, e, r in ranges for row in _partition.read_range(f, s, e, first_row=r)] == table
        with pytest.raises(vorn_io.DecodeError) as raised:
            _partition.read_range(f, 1, ranges[0][1])
        assert "not one of its partitions" in "".join(raised.value.__notes__)
        with pytest.raises(ValueError, match="changed since it was partitioned"):
            _partition.read_range(f, 0, len(data) + 10)


# --- Large files, walked in segments on several threads ----------------------


def _big_document(kind):
    """About 17 MiB of VORN: enough that the pass is made in segments."""
    import random

    rng = random.Random(kind)
    alphabet = ["a", ";", "0", "9", "é", "€", SMILE, "\x80", "\uffff"]
    if kind == "text":
        rows = [["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 20))) for _ in range(4)]
                for _ in range(12000)]
    elif kind == "nested":
        # Cells that read as rows of the table's width: a guess lands in them.
        inner = [vorn.stringify([[str(k), "x;" * (k % 5)] for k in range(j, j + 6)]) for j in range(50)]
        rows = [[rng.choice(inner), rng.choice(inner)] for _ in range(3000)]
    else:  # ragged: rows of every width, which no guess takes for a start
        rows = [["c" * rng.randrange(0, 30) for _ in range(rng.randrange(0, 6))] for _ in range(12000)]
    piece = vorn.stringify(rows).encode("utf-8", "surrogatepass")
    return piece * (17 * 2**20 // len(piece) + 1)


@pytest.mark.skipif(not hasattr(vorn_io._scanner, "_partition_file"), reason="needs positioned reads")
@pytest.mark.parametrize("kind", ["text", "nested", "ragged"])
def test_large_files_split_the_same_on_every_thread_count(tmp_path, kind):
    import os

    path = tmp_path / "big.vorn"
    path.write_bytes(_big_document(kind))
    fd = os.open(path, os.O_RDONLY)
    try:
        for size in (1 << 20, (3 << 20) + 7, 16 << 20):
            one = vorn_io._scanner._partition_file(fd, 0, size, 1 << 20, 1)
            assert len(one[0]) >= 1
            for threads in (2, 3, 4):
                assert vorn_io._scanner._partition_file(fd, 0, size, 1 << 20, threads) == one, (size, threads)
        ranges = vorn_io.partitions(str(path), size=4 << 20)
        assert ranges == _partition._ranges(vorn_io._scanner._partition_file(fd, 0, 4 << 20, 1 << 20, 1)[0],
                                            os.path.getsize(path), 0)
    finally:
        os.close(fd)


@pytest.mark.skipif(not hasattr(vorn_io._scanner, "_partition_file"), reason="needs positioned reads")
def test_large_files_with_a_fault_report_what_one_walk_reports(tmp_path):
    import os

    doc = bytearray(_big_document("text"))
    path = tmp_path / "bad.vorn"
    for at in (len(doc) // 2 + 1000, len(doc) - 3):
        broken = bytes(doc[:at]) + b"!" + bytes(doc[at + 1:])
        path.write_bytes(broken)
        fd = os.open(path, os.O_RDONLY)
        try:
            with pytest.raises(vorn_io.DecodeError) as one:
                vorn_io._scanner._partition_file(fd, 0, 1 << 20, 1 << 20, 1)
            with pytest.raises(vorn_io.DecodeError) as two:
                vorn_io._scanner._partition_file(fd, 0, 1 << 20, 1 << 20, 2)
        finally:
            os.close(fd)
        assert str(one.value) == str(two.value)
        assert (one.value.position, one.value.row) == (two.value.position, two.value.row)
