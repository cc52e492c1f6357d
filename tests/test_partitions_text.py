"""Partitions of real Unicode text: cells of every UTF-8 length class, every
continuation byte value and lengths past every block width hop exactly, so
every range reads alone, the ranges' rows are the table's, and each range's
first row index is right; and a file that changes under the pass is an
error, not a crash."""

import io
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import texts
import vorn
import vorn_io
from vorn_io import Decoder, _partition

# Characters whose UTF-8 ends in each continuation byte value (two, three
# and four bytes), whose middle bytes take every value, and the edges:
# U+FEFF, U+FFFF, U+10000, U+10FFFF.
ALPHABET = sorted(set(
    list(";0123456789afAF\n\r x")
    + [chr(0x80 + i) for i in range(64)] + [chr(0x400 + i) for i in range(64)]
    + [chr(0x3000 + i) for i in range(64)] + [chr(0x1000 + 64 * i) for i in range(64)]
    + [chr(0x10000 + i) for i in range(64)] + [chr(0x10000 + 64 * i) for i in range(64)]
    + [chr(0x10000 + 4096 * i) for i in range(16)]
    + ["\ufeff", "\uffff", "\U0010ffff", "ÿ", "¿", "п", "ο", "タ", "。", "儿"]))

SHORT = st.text(st.sampled_from(ALPHABET), max_size=12)
LONG = st.text(st.sampled_from(ALPHABET), min_size=40, max_size=320)
TABLE = st.lists(st.lists(st.one_of(SHORT, LONG, texts.cell_texts()), max_size=4), min_size=1, max_size=8)


def check(table, data, ranges):
    assert ranges[0][0] == 0 and ranges[-1][1] == len(data)
    rows = []
    for (start, end, first), following in zip(ranges, ranges[1:] + [None]):
        if following is not None:
            assert following[0] == end
        assert first == len(rows)
        rows += vorn.parse(data[start:end].decode("utf-8"))
    assert rows == table


def test_the_reported_tables_split_exactly(tmp_path):
    table = [["ο" * 32 + "xxx" + "01a;" * 8], ["b"], ["c"]]
    data = vorn.stringify(table).encode()  # rows of 103, 4 and 4 bytes
    assert vorn_io.partitions(io.BytesIO(data), size=105) == [(0, 107, 0), (107, 111, 2)]
    ranges = vorn_io.partitions(io.BytesIO(data), size=1)
    assert ranges == [(0, 103, 0), (103, 107, 1), (107, 111, 2)]
    check(table, data, ranges)
    table = [["ÿ" * 100]]
    data = vorn.stringify(table).encode()
    assert vorn_io.partitions(io.BytesIO(data)) == [(0, len(data), 0)]
    path = tmp_path / "t.vorn"
    path.write_bytes(data)
    assert vorn_io.partitions(path, size=1) == [(0, len(data), 0)]


@settings(max_examples=250, deadline=None)
@given(TABLE, st.integers(1, 400))
def test_every_length_class_splits_exactly(tmp_path_factory, table, size):
    data = vorn.stringify(table).encode()
    check(table, data, vorn_io.partitions(io.BytesIO(data), size=size))
    path = tmp_path_factory.mktemp("p") / "t.vorn"
    path.write_bytes(data)
    check(table, data, vorn_io.partitions(path, size=size))


@pytest.mark.parametrize("chunk", [1, 5, 64, 1000])
def test_package_list_like_text_in_any_chunking(tmp_path, monkeypatch, chunk):
    # Names and descriptions as package indexes hold them: mostly ASCII,
    # with cells of every class well past 64 and 128 bytes.
    monkeypatch.setattr(_partition, "_FILE_CHUNK", chunk)
    cells = ["left-pad", "ÿ" * 70, "¿" * 65 + "x", "п" * 130, "タ。儿" * 50, "\ufeff" * 70,
             "\U0010ffff" * 40, "a" + "\U0001F600" * 33, "0;" * 80]
    table = [[cells[i % len(cells)], cells[(i * 7) % len(cells)], str(i)] for i in range(60)]
    data = vorn.stringify(table).encode()
    path = tmp_path / "pkgs.vorn"
    path.write_bytes(data)
    for size in (1, 100, 1000, 5000):
        check(table, data, vorn_io.partitions(path, size=size))


TRUNCATE = textwrap.dedent("""
    import sys, threading, time
    import vorn, vorn_io
    from vorn_io import _partition
    path = sys.argv[1]
    row = vorn.stringify([["x" * 4000, "é" * 2000]]).encode()
    with open(path, "wb") as f:
        for _ in range((64 << 20) // len(row)):
            f.write(row)
    if hasattr(_partition, "_FILE_CHUNK"):
        _partition._FILE_CHUNK = 1 << 14  # many reads: the rewrite lands during the pass
    started = threading.Event()
    def rewrite():
        started.wait()
        time.sleep(0.002)
        open(path, "wb").close()
    threading.Thread(target=rewrite).start()
    started.set()
    try:
        vorn_io.partitions(path, size=1 << 20)
    except (OSError, ValueError) as error:
        print("raised", type(error).__name__)
    else:
        print("finished")
""")


def test_a_file_rewritten_during_the_pass_is_an_error_not_a_crash(tmp_path):
    outcomes = set()
    for attempt in range(4):
        run = subprocess.run([sys.executable, "-c", TRUNCATE, str(tmp_path / "t.vorn")],
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, (run.returncode, run.stderr[-2000:])
        outcomes.add(run.stdout.strip())
        if run.stdout.startswith("raised"):
            break
    assert any(o.startswith("raised") for o in outcomes), outcomes


def test_position_after_rows_and_a_held_back_error():
    decoder = Decoder()
    assert decoder.feed("01a;01b;") == [["a"], ["b"]] and decoder.position == 8
    assert decoder.feed("01c;01d;x") == [["c"], ["d"]]
    assert decoder.position == 16 and decoder.rows == 4
    with pytest.raises(vorn_io.DecodeError) as raised:
        decoder.feed("")
    assert (raised.value.position, raised.value.row) == (16, 4)


def test_an_empty_document_is_no_rows(tmp_path):
    assert Decoder().close() == []
    decoder = Decoder()
    assert decoder.feed("") == [] and decoder.feed("") == [] and not decoder.row_open
    assert decoder.close() == []
    assert vorn_io.partitions(io.BytesIO(b"")) == [(0, 0, 0)]
    path = tmp_path / "empty.vorn"
    path.write_bytes(b"")
    assert vorn_io.partitions(path, size=1) == [(0, 0, 0)]
    with open(path, "rb") as f:
        assert _partition.read_range(f, 0, 0) == []
    # vorn.parse keeps refusing no text.
    with pytest.raises(SyntaxError, match="Unexpected end of input"):
        vorn.parse("")
    # Text that starts a document is still an unfinished one.
    decoder = Decoder()
    decoder.feed("0")
    with pytest.raises(vorn_io.DecodeError):
        decoder.close()
