"""vorn_io.dask on a LocalCluster of worker processes and on the threaded
scheduler: bags and dataframes read at several block sizes equal the
whole-file read, with and without the columns a computation selects,
written back they read the same, and errors name the file, the row or the
extra to install."""

import random

import pytest

import vorn
import vorn_io

SMILE = "\U0001F600"


pytest.importorskip("dask", reason="dask is not installed (pip install 'vorn[dask]')")
pytest.importorskip("distributed", reason="distributed is not installed (pip install 'vorn[dask]')")
pytest.importorskip("pandas", reason="pandas is not installed (pip install 'vorn[dask]')")
pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install 'vorn[dask]')")

import pandas as pd  # noqa: E402

import texts  # noqa: E402

from distributed import Client, LocalCluster  # noqa: E402

import vorn_io.dask  # noqa: E402
from vorn_io.dask import read_vorn, to_vorn  # noqa: E402

HEADER = ["id", "text;", "n\n"]
ROWS = [[str(i), ["a;b", "", "x\ny", SMILE * 3, "0;1;"][i % 5] * (i % 4), "9" * (i % 13)] for i in range(300)]
BAG_TABLE = [[], ["only"], *ROWS[:100], [""], [SMILE + ";", "1", "2", "3"]]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("vorn")
    (folder / "table.vorn").write_text(vorn.stringify([HEADER] + ROWS), encoding="utf-8", newline="")
    (folder / "bag.vorn").write_text(vorn.stringify(BAG_TABLE), encoding="utf-8", newline="")
    for k in range(3):
        part = ROWS[k * 100:(k + 1) * 100]
        (folder / f"many-{k}.vorn").write_text(vorn.stringify([HEADER] + part), encoding="utf-8", newline="")
    return folder


@pytest.mark.parametrize("blocksize", [7, "1KiB", None])
def test_bags_and_frames_equal_the_whole_file(client, files, blocksize):
    bag = read_vorn(str(files / "bag.vorn"), blocksize=blocksize)
    assert bag.compute() == vorn_io.load(open(files / "bag.vorn", "rb"))
    if blocksize == 7:
        assert bag.npartitions == len(vorn_io.partitions(files / "bag.vorn", size=7)) > 50
    frame = read_vorn(f"file://{files}/many-*.vorn", blocksize=blocksize, header=True)
    assert list(frame.columns) == HEADER
    got = frame.compute()
    assert got.values.tolist() == ROWS
    assert all(isinstance(v, str) for v in got.values.ravel())


def test_written_back_reads_the_same(client, files, tmp_path):
    frame = read_vorn(str(files / "table.vorn"), blocksize=500, header=True)
    paths = to_vorn(frame, str(tmp_path / "frame-*.vorn"))
    assert len(paths) == frame.npartitions
    for path in paths:
        # Each file is a document of its own, beginning with the header.
        assert vorn_io.load(open(path, "rb"))[0] == HEADER
    again = read_vorn(str(tmp_path / "frame-*.vorn"), header=True).compute()
    assert again.values.tolist() == ROWS
    bag = read_vorn(str(files / "bag.vorn"), blocksize=50)
    to_vorn(bag, str(tmp_path / "bag"))
    assert read_vorn(str(tmp_path / "bag" / "*.part"), blocksize=20).compute() == BAG_TABLE


def test_ragged_rows_and_damaged_files(client, tmp_path):
    path = tmp_path / "ragged.vorn"
    path.write_text(vorn.stringify([["a", "b"], ["1", "2"], ["3"], ["4", "5"]]), newline="")
    with pytest.raises(ValueError, match=r"ragged\.vorn: row 2 has 1 cells, fewer than the 2 columns"):
        read_vorn(str(path), header=True, blocksize=4).compute()
    padded = read_vorn(str(path), header=True, ragged="pad", blocksize=4).compute()
    assert padded.values.tolist() == [["1", "2"], ["3", ""], ["4", "5"]]
    path.write_text(vorn.stringify([["a"], ["1", "2"]]), newline="")
    with pytest.raises(ValueError, match="row 1 has 2 cells, more than"):
        read_vorn(str(path), header=True, ragged="pad").compute()
    # Found by the partitioning pass, before any task runs, with the
    # position in the whole file.
    path.write_text(vorn.stringify([["x;y"]] * 20) + "02ab", newline="")
    with pytest.raises(vorn_io.DecodeError, match=f"^{vorn.ErrUnexpectedEndOfInput}$") as raised:
        read_vorn(str(path), blocksize=10)
    assert raised.value.position == len(vorn.stringify([["x;y"]] * 20)) + 4
    path.write_text(vorn.stringify([["x;y"]] * 20) + "02ab;0x;", newline="")
    at = len(vorn.stringify([["x;y"]] * 20) + "02ab;0")
    with pytest.raises(vorn_io.DecodeError, match=f"Unexpected token 'x' at position {at}$"):
        read_vorn(str(path), blocksize=10)
    with pytest.raises(FileNotFoundError):
        read_vorn(str(tmp_path / "none-*.vorn"))


PLACES = [["city", "country", "n"]] + [[f"c{i}", ["fr", "de", "it;", ""][i % 4], str(i % 7)] for i in range(120)]


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
def test_selected_columns_equal_those_of_the_whole_frame(client, tmp_path, scheduler):
    # Dask hands the columns a computation needs to each partition's read;
    # the values must be those of the whole frame, on any scheduler.
    path = tmp_path / "places.vorn"
    path.write_text(vorn.stringify(PLACES), newline="")
    run = {"scheduler": "threads"} if scheduler == "threads" else {}
    frame = read_vorn(str(path), header=True, blocksize=200)
    assert frame.npartitions > 3
    whole = frame.compute(**run)
    assert whole.values.tolist() == PLACES[1:]
    assert frame["country"].compute(**run).tolist() == whole["country"].tolist()
    assert frame[["country", "city"]].compute(**run).values.tolist() == whole[["country", "city"]].values.tolist()
    counts = frame.groupby("country")["n"].count().compute(**run)
    assert counts.to_dict() == whole.groupby("country")["n"].count().to_dict()
    assert frame[frame["country"] == "de"]["city"].compute(**run).tolist() == \
        whole[whole["country"] == "de"]["city"].tolist()
    assert len(frame) == len(whole) == 120


def test_empty_partitions_and_files_read_as_no_rows(client, tmp_path):
    source = tmp_path / "bag.vorn"
    source.write_text(vorn.stringify(BAG_TABLE), newline="")
    kept = read_vorn(str(source), blocksize=30).filter(lambda row: row[:1] == ["only"])
    paths = to_vorn(kept, str(tmp_path / "kept" / "*.vorn"))
    sizes = sorted((tmp_path / "kept" / p.rsplit("/", 1)[-1]).stat().st_size for p in paths)
    assert sizes[0] == 0 and sizes[-1] > 0
    assert read_vorn(str(tmp_path / "kept" / "*.vorn"), blocksize=5).compute() == [["only"]]
    # Empty files among those of a frame, the first one included.
    (tmp_path / "frames").mkdir()
    (tmp_path / "frames" / "a.vorn").write_bytes(b"")
    (tmp_path / "frames" / "b.vorn").write_text(vorn.stringify(PLACES[:5]), newline="")
    (tmp_path / "frames" / "c.vorn").write_bytes(b"")
    frame = read_vorn(str(tmp_path / "frames" / "*.vorn"), header=True, blocksize=20)
    assert list(frame.columns) == PLACES[0]
    assert frame.compute().values.tolist() == PLACES[1:5]
    assert len(frame["city"]) == 4
    with pytest.raises(ValueError, match="header=True, but the file has no rows"):
        read_vorn(str(tmp_path / "frames" / "a.vorn"), header=True)


# Cells of every UTF-8 length class; the first column a key of few values.
_rng = random.Random(26)
WIDE_HEADER = ["k", "t;", "\u00bf", "z" * 70]
WIDE = [[["a", "\u30bf", "", "\U0010ffff"][i % 4]] + [texts.text(_rng.randrange) for _ in range(3)]
        for i in range(160)]


def _whole(path, columns=None):
    """The file read whole by the columnar reader, as the frame read_vorn promises."""
    with open(path, "rb") as f:
        rows = vorn_io.load(f)
    frame = pd.DataFrame(rows[1:], columns=rows[0], dtype="string[pyarrow]")
    return frame if columns is None else frame[columns]


def _compute(collection, scheduler):
    """collection computed on the cluster (the default client) or on two
    threads of this process; shuffles then run as tasks, since a graph made
    while a client exists would otherwise shuffle through its workers."""
    if scheduler != "threads":
        return collection.compute()
    import dask

    with dask.config.set({"dataframe.shuffle.method": "tasks"}):
        return collection.compute(scheduler="threads", num_workers=2)


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    path = tmp_path_factory.mktemp("wide") / "wide.vorn"
    path.write_text(vorn.stringify([WIDE_HEADER] + WIDE), encoding="utf-8", newline="")
    return path


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
@pytest.mark.parametrize("blocksize", [1, 700, "4KiB", None])
def test_frames_of_arrow_strings_equal_the_whole_read(client, wide, scheduler, blocksize):
    whole = _whole(wide)
    frame = read_vorn(str(wide), header=True, blocksize=blocksize)
    if blocksize == 1:
        assert frame.npartitions == len(WIDE) + 1  # one row each; the first is the header alone
    # The meta says what the partitions hold: Dask has nothing to convert.
    assert all(str(t) == "string" and t.storage == "pyarrow" for t in frame.dtypes)
    got = _compute(frame, scheduler)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), whole)
    assert list(got.dtypes) == list(frame.dtypes)
    chosen = _compute(read_vorn(str(wide), header=True, blocksize=blocksize, columns=["z" * 70, "k"]), scheduler)
    pd.testing.assert_frame_equal(chosen.reset_index(drop=True), whole[["z" * 70, "k"]])
    assert _compute(read_vorn(str(wide), header=True, blocksize=blocksize)["\u00bf"], scheduler).tolist() == \
        whole["\u00bf"].tolist()
    sizes = _compute(frame.groupby("k").size(), scheduler)
    assert sizes.to_dict() == whole.groupby("k").size().to_dict()
    assert len(frame) == len(WIDE)


def test_only_the_selected_columns_are_built(wide, monkeypatch):
    frame = read_vorn(str(wide), header=True, blocksize=900)
    counted = read_vorn(str(wide), header=True, blocksize=900, columns=["\u00bf"]).count()
    whole = _whole(wide)
    asked = []
    real = vorn_io.dask._read_arrow

    def spy(source, **options):
        asked.append(options["columns"])
        return real(source, **options)

    monkeypatch.setattr(vorn_io.dask, "_read_arrow", spy)
    assert _compute(frame[["t;", "k"]], "threads").values.tolist() == whole[["t;", "k"]].values.tolist()
    assert asked and all(sorted(c) == ["k", "t;"] for c in asked)
    asked.clear()
    assert _compute(frame.groupby("k").size(), "threads").to_dict() == whole.groupby("k").size().to_dict()
    assert asked and all(c == ["k"] for c in asked)
    asked.clear()
    assert _compute(counted, "threads").tolist() == [len(WIDE)]
    assert asked and all(c == ["\u00bf"] for c in asked)


def test_columns_and_headers_refused_by_name(tmp_path):
    path = tmp_path / "a.vorn"
    path.write_text(vorn.stringify(PLACES), newline="")
    with pytest.raises(KeyError, match="no column is named 'zip'"):
        read_vorn(str(path), header=True, columns=["city", "zip"])
    with pytest.raises(ValueError, match="pass header=True"):
        read_vorn(str(path), columns=["city"])
    (tmp_path / "b.vorn").write_text(vorn.stringify([["city", "country", "N"]] + PLACES[1:3]), newline="")
    (tmp_path / "0.vorn").write_bytes(b"")
    with pytest.raises(ValueError, match=r"b\.vorn: the header row \['city', 'country', 'N'\] differs from "
                                         r"the header row \['city', 'country', 'n'\] of .*a\.vorn"):
        read_vorn(str(tmp_path / "*.vorn"), header=True)
    path.write_text(vorn.stringify([["x", "y", "x"], ["1", "2", "3"]]), newline="")
    with pytest.raises(ValueError, match="names the column 'x' twice"):
        read_vorn(str(path), header=True)


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
def test_ragged_rows_in_later_ranges_name_file_rows(client, tmp_path, scheduler):
    rows = [["a", "b"]] + [[str(i), "x"] for i in range(40)]
    rows[33] = ["short"]
    path = tmp_path / "r.vorn"
    path.write_text(vorn.stringify(rows), newline="")
    with pytest.raises(ValueError, match=r"r\.vorn: row 33 has 1 cells, fewer than the 2 columns of the header"):
        _compute(read_vorn(str(path), header=True, blocksize=40), scheduler)
    padded = _compute(read_vorn(str(path), header=True, blocksize=40, ragged="pad"), scheduler)
    assert padded.values.tolist() == [r + [""] * (2 - len(r)) for r in rows[1:]]
    # A range whose first row is short is measured against the header too.
    padded = read_vorn(str(path), header=True, blocksize=1, ragged="pad")
    assert padded.npartitions == len(rows)
    assert _compute(padded["b"], scheduler).tolist() == [r[1] if len(r) > 1 else "" for r in rows[1:]]
    # Invalid UTF-8 in a range is found by the read and names the file.
    data = bytearray(vorn.stringify(rows).encode())
    data[data.index(b"short")] = 0xC0  # counted as one unit by the pass, refused by the read
    path.write_bytes(bytes(data))
    with pytest.raises(UnicodeDecodeError) as raised:
        _compute(read_vorn(str(path), header=True, blocksize=40), scheduler)
    assert any("r.vorn" in note for note in getattr(raised.value, "__notes__", []))


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
def test_frames_written_back_read_the_same(client, wide, tmp_path, scheduler):
    frame = read_vorn(str(wide), header=True, blocksize=600)
    # Empty partitions among the written ones, the first included.
    kept = frame[frame["k"] == "\u30bf"]
    paths = to_vorn(kept, str(tmp_path / "kept-*.vorn"), compute=False)
    paths = [_compute(p, scheduler) for p in paths]
    assert len(paths) == frame.npartitions > 4
    documents = [vorn_io.load(open(p, "rb")) for p in paths]
    # A partition with no rows is its header alone: a document of no rows.
    assert [WIDE_HEADER] in documents and all(d[0] == WIDE_HEADER for d in documents)
    again = _compute(read_vorn(str(tmp_path / "kept-*.vorn"), header=True, blocksize=300), scheduler)
    expected = _whole(wide)
    expected = expected[expected["k"] == "\u30bf"].reset_index(drop=True)
    pd.testing.assert_frame_equal(again.reset_index(drop=True), expected)
    # A frame with no rows at all comes back with its columns.
    to_vorn(frame[frame["k"] == "none"], str(tmp_path / "none" / "*.vorn"))
    empty = read_vorn(str(tmp_path / "none" / "*.vorn"), header=True)
    assert list(empty.columns) == WIDE_HEADER and len(_compute(empty, scheduler)) == 0
    # Without the header, an empty partition is an empty document.
    paths = to_vorn(kept, str(tmp_path / "bare" / "*.vorn"), header=False)
    assert sorted(len(open(p, "rb").read()) for p in paths)[0] == 0


def test_missing_values_and_other_types(client, tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    data = pd.DataFrame({"name": ["a", None, "c", "d"], "n": [1, 2, 3, 4], "x": [1.0, 0.5, True, False]})
    data = data.astype({"x": object}).astype({"x": float})
    frame = dd.from_pandas(data, npartitions=2)
    with pytest.raises(ValueError, match="column 'name' holds a null"):
        to_vorn(frame, str(tmp_path / "x-*.vorn"))
    paths = to_vorn(frame, str(tmp_path / "y-*.vorn"), null="NA")
    rows = [r for p in paths for r in vorn_io.load(open(p, "rb"))[1:]]
    # Other types as pyarrow casts them to text, as pyarrow.csv writes them.
    assert rows == [["a", "1", "1"], ["NA", "2", "0.5"], ["c", "3", "1"], ["d", "4", "0"]]
    # The index is not a column, whatever it is after a filter.
    paths = to_vorn(frame[frame["n"] > 1], str(tmp_path / "z-*.vorn"), null="")
    assert [vorn_io.load(open(p, "rb"))[0] for p in paths] == [["name", "n", "x"]] * 2
