"""vorn head, tail, cut and stats --columns, run as a shell runs them."""

import collections
import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn

VORN = Path(sys.executable).with_name("vorn")
TABLE = [["city", "country", "note"]] + [[f"c{i}", f"k{i % 7}", "é" * (i % 3)]
                                         for i in range(1, 5001)]
DOCUMENT = vorn.stringify(TABLE)


def run(*args, stdin=b"", cwd=None):
    done = subprocess.run([VORN, *args], input=stdin, cwd=cwd, capture_output=True)
    assert b"Traceback" not in done.stderr and b"internal error" not in done.stderr
    return done


def ok(*args, **kw):
    done = run(*args, **kw)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def files(tmp_path):
    (tmp_path / "t.vorn").write_text(DOCUMENT, encoding="utf-8", newline="")
    return tmp_path


def as_csv(rows):
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue().encode()


# --- head -----------------------------------------------------------------------------

def test_head_writes_the_first_rows_in_every_format(files):
    assert ok("head", "t.vorn", cwd=files) == as_csv(TABLE[:10])
    assert ok("head", "-n", "3", "--to", "vorn", "t.vorn", cwd=files) == \
        vorn.stringify(TABLE[:3]).encode()
    assert ok("head", "-n", "2", "--to", "tsv", stdin=DOCUMENT.encode()) == \
        b"city\tcountry\tnote\nc1\tk1\t\xc3\xa9\n"
    lines = ok("head", "-n", "2", "--records", "--to", "jsonl", "t.vorn", cwd=files)
    assert [json.loads(x) for x in lines.splitlines()] == \
        [dict(zip(TABLE[0], row)) for row in TABLE[1:3]]
    ok("head", "-n", "4", "t.vorn", "-o", "h.vorn", cwd=files)
    assert (files / "h.vorn").read_text(encoding="utf-8") == vorn.stringify(TABLE[:4])
    assert ok("head", "-n", "99999", "t.vorn", "--to", "vorn", cwd=files) == DOCUMENT.encode()
    # Only what the rows asked for is read: a fault further on goes unseen.
    assert ok("head", "-n", "1", "--to", "vorn", stdin=b"01a;01b;garbage") == b"01a;"
    done = run("head", "-n", "3", stdin=b"01a;01b;garbage")
    assert done.returncode == 1 and b"<stdin>:1:9: " in done.stderr


def test_head_returns_from_a_pipe_after_its_rows():
    proc = subprocess.Popen([VORN, "head", "-n", "2", "--to", "vorn"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        proc.stdin.write(b"01a;01b;01c;")
        proc.stdin.flush()  # and the pipe stays open: its end never comes
        assert proc.wait(timeout=20) == 0
        assert (proc.stdout.read(), proc.stderr.read()) == (b"01a;01b;", b"")
    finally:
        if proc.poll() is None:
            proc.kill()
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        proc.wait()


# --- tail -----------------------------------------------------------------------------

def test_tail_writes_the_last_rows(files):
    assert ok("tail", "t.vorn", cwd=files) == as_csv(TABLE[-10:])
    assert ok("tail", "-n", "1", "--to", "vorn", "t.vorn", cwd=files) == \
        vorn.stringify(TABLE[-1:]).encode()
    # Standard input and compressed files are read through.
    assert ok("tail", "-n", "3", stdin=DOCUMENT.encode()) == as_csv(TABLE[-3:])
    import gzip

    (files / "t.vorn.gz").write_bytes(gzip.compress(DOCUMENT.encode()))
    assert ok("tail", "-n", "3", "t.vorn.gz", cwd=files) == as_csv(TABLE[-3:])
    # More rows than the document holds: all of them.
    assert ok("tail", "-n", "9999", "--to", "vorn", "t.vorn", cwd=files) == DOCUMENT.encode()
    # With --records the first row names the keys, from files and pipes alike.
    for args, stdin in ((["t.vorn"], b""), ([], DOCUMENT.encode())):
        lines = ok("tail", "-n", "2", "--records", "--to", "jsonl", *args, stdin=stdin,
                   cwd=files)
        assert [json.loads(x) for x in lines.splitlines()] == \
            [dict(zip(TABLE[0], row)) for row in TABLE[-2:]]
    (files / "one.vorn").write_text("01k;")
    assert ok("tail", "--records", "--to", "json", "one.vorn", cwd=files) == b"[]\n"


def test_tail_of_a_large_file_decodes_only_its_last_range(tmp_path, monkeypatch):
    from vorn_cli import cli, ends

    rows = [[f"row {i}", "ü" * (i % 5), "😀"] for i in range(200_000)]
    path = tmp_path / "big.vorn"
    path.write_text(vorn.stringify(rows), encoding="utf-8", newline="")
    decoded = []
    real = ends.decode_range

    def spy(fp, start, end, errors):
        decoded.append((start, end))
        return real(fp, start, end, errors)

    monkeypatch.setattr(ends, "decode_range", spy)
    out = tmp_path / "out.vorn"
    assert cli.main(["tail", "-n", "5", "--to", "vorn", str(path), "-o", str(out)]) == 0
    assert out.read_text(encoding="utf-8") == vorn.stringify(rows[-5:])
    size = path.stat().st_size
    assert len(decoded) == 1 and decoded[0][1] == size
    assert decoded[0][1] - decoded[0][0] < 2 * ends.TAIL_RANGE < size // 2
    # Rows across many ranges are gathered from as many as they need.
    decoded.clear()
    assert cli.main(["tail", "-n", "60000", "--to", "vorn", str(path), "-o", str(out)]) == 0
    assert out.read_text(encoding="utf-8") == vorn.stringify(rows[-60_000:])
    assert 1 < len(decoded) < 8


def test_tail_reports_a_refused_document_in_full(tmp_path):
    (tmp_path / "bad.vorn").write_bytes(b"01a;01b;02x")
    done = run("tail", "bad.vorn", cwd=tmp_path)
    assert done.returncode == 1 and b"bad.vorn:1:12: Unexpected end of input" in done.stderr
    (tmp_path / "sur.vorn").write_bytes(b"01a;01\xed\xa0\x80;")
    done = run("tail", "sur.vorn", cwd=tmp_path)
    assert done.returncode == 1 and b"--errors surrogatepass" in done.stderr
    assert ok("tail", "--errors", "surrogatepass", "--to", "vorn", "sur.vorn",
              cwd=tmp_path) == b"01a;01\xed\xa0\x80;"


# --- cut ------------------------------------------------------------------------------

def test_cut_selects_and_reorders_columns(files):
    expect = [[r[1], r[0]] for r in TABLE]
    assert ok("cut", "-f", "country,city", "t.vorn", cwd=files) == vorn.stringify(expect).encode()
    assert ok("cut", "-c", "2,1", "t.vorn", cwd=files) == vorn.stringify(expect).encode()
    assert ok("cut", "-f", "note", "-f", "city", "--to", "csv", stdin=DOCUMENT.encode()) == \
        as_csv([[r[2], r[0]] for r in TABLE])
    assert ok("cut", "-c", "1-2,1", "t.vorn", "--to", "tsv", cwd=files) == \
        "".join(f"{a}\t{b}\t{a}\n" for a, b, _ in TABLE).encode()
    ok("cut", "-c", "3", "t.vorn", "-o", "n.json", cwd=files)
    assert json.loads((files / "n.json").read_text()) == [[r[2]] for r in TABLE]
    # A name that holds a comma is taken whole when the header has it.
    document = vorn.stringify([["a,b", "c"], ["1", "2"]]).encode()
    assert ok("cut", "-f", "a,b", stdin=document) == vorn.stringify([["a,b"], ["1"]]).encode()


@pytest.mark.parametrize("args, document, status, message", [
    (["-f", "city,nope"], DOCUMENT, 2, 'the header has no column named "nope" (its columns: '
                                       '"city", "country", "note")\nhint: select by number'),
    (["-f", "x"], vorn.stringify([["x", "y", "x"], ["1", "2", "3"]]), 2,
     'the header names "x" more than once (columns 1, 3)'),
    (["-c", "4"], DOCUMENT, 1, "row 1 has 3 cells: it has no column 4"),
    (["-c", "2"], vorn.stringify([["a", "b"], ["c", "d"], ["e"]]), 1,
     "row 3 has 1 cell: it has no column 2"),
    (["-c", "0"], DOCUMENT, 2, "'0' is not a column number or range"),
    (["-c", "3-1"], DOCUMENT, 2, "'3-1' is not a column number or range"),
    (["-c", "1-99999999999"], DOCUMENT, 2, "is not a column number or range"),
    (["-f", "a", "-c", "1"], DOCUMENT, 2, "not allowed with argument"),
    ([], DOCUMENT, 2, "one of the arguments -f/--fields -c/--columns is required"),
    (["-c", "1", "--records"], DOCUMENT, 2, "--records applies to JSON and JSON Lines, not VORN"),
])
def test_cut_refusals(args, document, status, message):
    done = run("cut", *args, stdin=document.encode())
    assert (done.returncode, done.stdout) == (status, b"")
    assert message in done.stderr.decode()


def test_table_writers_refuse_foreign_outputs_and_write_files_whole(files):
    for command in (["head"], ["tail"], ["cut", "-c", "1"]):
        done = run(*command, "t.vorn", "-o", "x.xlsx", cwd=files)
        assert done.returncode == 2 and b"writes VORN, CSV" in done.stderr
    done = run("cut", "-c", "9", "t.vorn", "-o", "cut.vorn", cwd=files)
    assert done.returncode == 1 and not (files / "cut.vorn").exists()
    assert sorted(p.name for p in files.iterdir()) == ["t.vorn"]


# --- stats --columns --------------------------------------------------------------------

def units(cell):
    return len(cell.encode("utf-16-le", "surrogatepass")) // 2


def width(cell):
    top = max(map(ord, cell), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def model(table, header, cap):
    """Per-column figures, the plain way."""
    names = table[0] if header else None
    body = table[1:] if header else table
    n = max([len(r) for r in body] + [len(names or [])], default=0)
    columns = []
    for j in range(n):
        cells = [r[j] for r in body if len(r) > j]
        counts = collections.Counter(cells)
        figures = {
            "column": j + 1,
            "name": names[j] if names is not None and j < len(names) else None,
            "cells": len(cells),
            "empty_cells": cells.count(""),
            "shortest_utf16_units": min(map(units, cells), default=None),
            "longest_utf16_units": max(map(units, cells), default=None),
            "storage_widths": {str(w): sum(width(c) == w for c in cells) for w in (1, 2, 4)},
        }
        columns.append((figures, counts))
    return len(body), columns


CELLS = st.text(alphabet=st.sampled_from(["a", "b", "é", "Ж", "😀", "\ud800", " "]),
                max_size=3)


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=st.lists(st.lists(CELLS, max_size=4), min_size=1, max_size=30),
       header=st.booleans(), cap=st.integers(1, 6))
def test_column_figures_match_a_model(tmp_path, table, header, cap):
    path = tmp_path / "t.vorn"
    path.write_text(vorn.stringify(table), encoding="utf-8", errors="surrogatepass", newline="")
    args = ["stats", "--columns", "--json", "--errors", "surrogatepass",
            "--distinct-cap", str(cap), str(path)] + (["--header"] if header else [])
    report = json.loads(ok(*args))
    rows, columns = model(table, header, cap)
    assert report["rows"] == rows and len(report["columns"]) == len(columns)
    for got, (want, counts) in zip(report["columns"], columns):
        assert {k: got[k] for k in want} == want
        if len(counts) <= cap:
            assert got["distinct_exact"] and got["distinct"] == len(counts)
            top = sorted(counts.values(), reverse=True)[:5]
            assert [v["count"] for v in got["most_common"]] == top
        else:
            assert not got["distinct_exact"] and cap < got["distinct"] <= len(counts)
        # Each count given is the value's exact count, whether or not the cap was reached.
        for value in got["most_common"]:
            assert counts[value["value"]] == value["count"]
    # The table for people shows the same figures.
    shown = ok(*[a for a in args if a != "--json"]).decode()
    assert shown.splitlines()[0].split()[:4] == ["column", "cells", "empty", "distinct"]
    assert len(shown.splitlines()) == len(columns) + 2


def test_column_table_on_a_header(files):
    shown = ok("stats", "--columns", "--header", "t.vorn", cwd=files).decode().splitlines()
    assert shown[1].split()[:5] == ["1", "city", "5000", "0", "5000"]
    assert shown[2].split()[:5] == ["2", "country", "5000", "0", "7"]
    assert shown[3].split()[:8] == ["3", "note", "5000", "1666", "3", "0", "2", "5000/0/0"]
    assert shown[-1] == "5000 rows after the header; lengths in UTF-16 units"
    capped = ok("stats", "--columns", "--distinct-cap", "10", "t.vorn", cwd=files).decode()
    first = capped.splitlines()[1].split()
    assert first[3:5] == ["at", "least"] and 10 < int(first[5]) <= 5001
    assert "counted up to 10 (--distinct-cap)" in capped
    done = run("stats", "--distinct-cap", "3", "t.vorn", cwd=files)
    assert done.returncode == 2 and b"--distinct-cap applies to --columns" in done.stderr


@pytest.mark.parametrize("command", [["head"], ["tail"], ["cut", "-c", "2"],
                                     ["stats", "--columns"], ["head", "--to", "json"]])
@pytest.mark.parametrize("data", [b"", b";", b"\xff\xfe", b"01a", b"0" * 10, b"f9999999999;",
                                  b"01a;\n", "01é;".encode("latin-1")])
def test_new_verbs_never_give_a_traceback(command, data, tmp_path):
    done = subprocess.run([VORN, *command], input=data, capture_output=True, cwd=tmp_path)
    assert done.returncode in (0, 1, 2)
    assert b"Traceback" not in done.stderr and b"internal error" not in done.stderr
    if done.returncode:
        assert done.stderr.startswith(f"vorn {command[0]}: ".encode())
    (tmp_path / "in.vorn").write_bytes(data)
    again = subprocess.run([VORN, *command, "in.vorn"], capture_output=True, cwd=tmp_path)
    assert again.returncode == done.returncode
    assert b"Traceback" not in again.stderr


def test_broken_pipes_end_quietly(files):
    script = ('"$VORN" {} t.vorn --to csv | head -c 10 > /dev/null; '
              'echo "${{PIPESTATUS[0]}}"')
    for verb in ("head -n 5000", "tail -n 5000", "cut -c 1"):
        done = subprocess.run(["bash", "-c", script.format(verb)], cwd=files,
                              capture_output=True, env=dict(os.environ, VORN=str(VORN)))
        assert done.stdout.strip() in (b"0", b"141") and done.stderr == b"", verb
