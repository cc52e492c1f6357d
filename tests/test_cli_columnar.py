"""vorn encode of Parquet, Arrow and Feather files and vorn decode into them."""

import subprocess
import sys
from pathlib import Path

import pytest

import vorn

pa = pytest.importorskip("pyarrow", reason="pyarrow is needed for Parquet and Arrow files (vorn[arrow])")
import pyarrow.feather as feather  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

VORN = Path(sys.executable).with_name("vorn")


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([VORN, *args], input=stdin, cwd=cwd, capture_output=True)


@pytest.mark.parametrize("name", ["t.parquet", "t.arrow", "t.feather"])
def test_round_trip(tmp_path, name):
    table = pa.table({"name": ["a", "é;", "😀", ""], "n": [1, 2, 3, 4]})
    if name.endswith(".parquet"):
        pq.write_table(table, tmp_path / name)
    else:
        feather.write_feather(table, tmp_path / name)
    done = run("encode", name, "-o", "doc.vorn", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = vorn.parse((tmp_path / "doc.vorn").read_text(encoding="utf-8", newline=""))
    assert rows == [["name", "n"], ["a", "1"], ["é;", "2"], ["😀", "3"], ["", "4"]]
    back = run("decode", "doc.vorn", "-o", "back." + name.split(".")[1], cwd=tmp_path)
    assert back.returncode == 0, back.stderr
    path = tmp_path / ("back." + name.split(".")[1])
    read = pq.read_table(path) if name.endswith(".parquet") else feather.read_table(path)
    assert read.to_pydict() == {"name": ["a", "é;", "😀", ""], "n": ["1", "2", "3", "4"]}


def test_faults_are_one_line_and_leave_no_file(tmp_path):
    (tmp_path / "bad.vorn").write_bytes(b"01a;01")
    done = run("decode", "bad.vorn", "-o", "out.parquet", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.decode().startswith("vorn decode: bad.vorn: Unexpected end of input")
    assert not (tmp_path / "out.parquet").exists()
    assert list(tmp_path.iterdir()) == [tmp_path / "bad.vorn"]
    pq.write_table(pa.table({"s": ["x", None]}), tmp_path / "nulls.parquet")
    done = run("encode", "nulls.parquet", "-o", "n.vorn", cwd=tmp_path)
    assert done.returncode == 1
    assert b"column 's' holds a null at row 1" in done.stderr
    assert not (tmp_path / "n.vorn").exists()
