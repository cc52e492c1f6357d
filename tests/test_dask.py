"""vorn_io.dask on a LocalCluster of worker processes: bags and dataframes
read at several block sizes equal the whole-file read, written back they
read the same, and errors name the file, the row or the extra to install."""

import pytest

import vorn
import vorn_io

SMILE = "\U0001F600"


pytest.importorskip("dask", reason="dask is not installed (pip install 'vorn[dask]')")
pytest.importorskip("distributed", reason="distributed is not installed (pip install 'vorn[dask]')")
pytest.importorskip("pandas", reason="pandas is not installed (pip install 'vorn[dask]')")

from distributed import Client, LocalCluster  # noqa: E402

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
