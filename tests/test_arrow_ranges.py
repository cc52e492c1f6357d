"""read_arrow on a source that holds no header row (a later range of a file
that has one): the columns are named by names=, every row is data and is
measured against the names, and rows are numbered in the whole file."""

import io

import pytest

import vorn
import vorn_io
from vorn_io.arrow import _read_arrow

pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install 'vorn[arrow]')")

ROWS = [["a", "b", "c"], ["1", "2", "3"], ["4", "\u30bf;", ""], ["7", "8", "9"]]


def _source(rows):
    return io.BytesIO(vorn.stringify(rows).encode())


def test_names_name_a_source_without_a_header_row():
    table = vorn_io.read_arrow(_source(ROWS[1:]), header=False, names=ROWS[0]).to_pyarrow()
    assert table.column_names == ROWS[0]
    assert [list(r.values()) for r in table.to_pylist()] == ROWS[1:]
    chosen = vorn_io.read_arrow(_source(ROWS[1:]), header=False, names=ROWS[0], columns=["c", "a"]).to_pyarrow()
    assert chosen.to_pydict() == {"c": ["3", "", "9"], "a": ["1", "4", "7"]}
    # The width is the names', not the first row's.
    short = [["1"], ["4", "5", "6"]]
    with pytest.raises(ValueError, match="row 0 has 1 cells, fewer than the 3 columns of the header"):
        vorn_io.read_arrow(_source(short), header=False, names=ROWS[0]).to_pyarrow()
    padded = vorn_io.read_arrow(_source(short), header=False, names=ROWS[0], ragged="pad").to_pyarrow()
    assert padded.to_pydict() == {"a": ["1", "4"], "b": ["", "5"], "c": ["", "6"]}


def test_names_refused_when_unclear():
    with pytest.raises(ValueError, match="pass header=False"):
        vorn_io.read_arrow(_source(ROWS), names=["a", "b", "c"])
    with pytest.raises(ValueError, match="names gives the column 'a' twice"):
        vorn_io.read_arrow(_source(ROWS), header=False, names=["a", "b", "a"])
    with pytest.raises(TypeError):
        vorn_io.read_arrow(_source(ROWS), header=False, names="abc")


@pytest.mark.parametrize("block_size", [1, 7, 1 << 20])
def test_a_range_names_rows_of_the_whole_file(block_size):
    rows = [["x", "y"]] * 6 + [["only"]] + [["x", "y"]]
    options = dict(header=False, names=["p", "q"], columns=None, threads=1, block_size=block_size,
                   encoding="utf-8", ragged="error", max_row_size=None, string_type="large_string")
    with pytest.raises(ValueError, match="^row 106 has 1 cells"):
        _read_arrow(_source(rows), **options, row_base=100).to_pyarrow()
    # A malformed range names its row in the file too.
    bad = io.BytesIO(vorn.stringify(rows[:3]).encode() + b"0x;")
    with pytest.raises(vorn_io.DecodeError) as raised:
        _read_arrow(bad, **options, row_base=40).to_pyarrow()
    assert raised.value.row == 43
