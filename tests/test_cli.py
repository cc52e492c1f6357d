"""The vorn command, run as a separate process the way a shell runs it."""

import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorn

# The command as installed beside the interpreter running the tests.
VORN = Path(sys.executable).with_name("vorn")

TRICKY = [
    ["plain", "with,comma", 'with "quotes"', "tab\there", "semi;colon 01a;"],
    [],
    [""],
    ["", ""],
    ["line\nbreak", "crlf\r\nend", "lone\rcr", " padded "],
    ["ü", "東京", "😀 emoji", "\u2028\x1c", "\x00"],
]


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([VORN, *args], input=stdin, cwd=cwd, capture_output=True)


def caret(stderr):
    """(excerpt line, caret offset) from the last two lines of a report."""
    shown, mark = stderr.decode().splitlines()[1:3]
    start = mark.index("|") + 2
    return shown[start:], mark.index("^") - start


@pytest.mark.parametrize("fmt, options", [("csv", []), ("json", []), ("tsv", ["--escape"])])
def test_decode_then_encode_gives_the_document_back(fmt, options, tmp_path):
    # TSV has no way to write a row without cells.
    table = [row for row in TRICKY if row or fmt != "tsv"]
    document = vorn.stringify(table)
    (tmp_path / "in.vorn").write_text(document, encoding="utf-8", newline="")
    # The format of -o and of the input is taken from the file extension.
    assert run("decode", "in.vorn", "-o", f"t.{fmt}", *options, cwd=tmp_path).returncode == 0
    text = (tmp_path / f"t.{fmt}").read_text(encoding="utf-8", newline="")
    if fmt == "json":
        assert json.loads(text) == table
    elif fmt == "csv":
        assert list(csv.reader(io.StringIO(text, newline=""))) == table
    else:
        # One line per row, one tab between cells: the special characters are escaped.
        assert [len(line.split("\t")) for line in text.split("\n")[:-1]] == list(map(len, table))
    done = run("encode", f"t.{fmt}", *options, cwd=tmp_path)
    assert (done.returncode, done.stdout.decode(), done.stderr) == (0, document, b"")


def unicode_data_as_csv(tmp_path):
    source = Path("/usr/share/unicode/UnicodeData.txt")
    if not source.exists():
        pytest.skip("UnicodeData.txt is not installed (Debian package unicode-data)")
    out = tmp_path / "UnicodeData.csv"
    with source.open(encoding="utf-8") as f, out.open("w", encoding="utf-8", newline="") as g:
        csv.writer(g, lineterminator="\n").writerows(line.rstrip("\n").split(";") for line in f)
    return out


@pytest.mark.parametrize("source", ["distro-info", "unicode-data"])
def test_real_world_csv_round_trip(source, tmp_path):
    if source == "distro-info":
        path = Path("/usr/share/distro-info/debian.csv")
        if not path.exists():
            pytest.skip("debian.csv is not installed (Debian package distro-info-data)")
    else:
        path = unicode_data_as_csv(tmp_path)
    encoded = run("encode", str(path), "-o", str(tmp_path / "doc.vorn"))
    assert encoded.returncode == 0, encoded.stderr
    with path.open(encoding="utf-8", newline="") as f:
        table = list(csv.reader(f))
    assert vorn.parse((tmp_path / "doc.vorn").read_text(encoding="utf-8")) == table
    decoded = run("decode", str(tmp_path / "doc.vorn"))
    assert decoded.returncode == 0 and decoded.stdout == path.read_bytes()


@pytest.mark.parametrize("document, where, excerpt, offset", [
    # Positions are UTF-16 offsets: the astral character before "x" counts twice.
    ("02😀;03a\nb;0x;", ":2:4: Unexpected token 'x' at position 12", "b;0x;", 3),
    # A length that ends inside a surrogate pair points at that character.
    ("01😀;", ":1:3: Unexpected token '\\ude00' at position 3", "01😀;", 2),
    ("02ab", ":1:5: Unexpected end of input", "02ab", 4),
    ("01a;\n", ":1:5: Unexpected token '\\n' at position 4", "01a;\\n", 4),
    ("01a;\t;", ":1:5: Unexpected token '\\t' at position 4", "01a;\\t;", 4),
])
def test_check_reports_line_column_and_caret(document, where, excerpt, offset):
    done = run("check", stdin=document.encode())
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr.decode().startswith(f"vorn check: <stdin>{where}\n")
    assert caret(done.stderr) == (excerpt, offset)


def test_check_cuts_a_long_line_around_the_position():
    document = "39999" + "x" * 9999 + "Z;"
    done = run("check", stdin=document.encode())
    shown, offset = caret(done.stderr)
    assert len(shown) < 80 and shown.startswith("...") and shown[offset] == "Z"


def test_check_hints_at_a_trailing_line_break():
    done = run("check", stdin=b"01a;\n")
    assert "hint: a document ends at its last ';'" in done.stderr.decode()
    assert run("check", stdin=b"01a;;").stdout == b"<stdin>: ok, 2 rows, 1 cell\n"


def test_stats():
    document = vorn.stringify([["a", "bc"], [], ["😀", "ā"]])
    done = run("stats", stdin=document.encode())
    assert done.returncode == 0
    assert done.stdout.decode().splitlines() == [
        "rows:           3 (1 empty)",
        "cells:          4",
        "widest row:     row 1, 2 cells",
        "longest cell:   row 1, cell 2: 2 UTF-16 units",
        "row lengths:    2 cells: 2 rows, 0 cells: 1 row",
        "ragged rows:    1 differ from the first row's 2 cells (first: row 2)",
        "storage widths: 1 byte: 2 cells, 2 bytes: 1 cell, 4 bytes: 1 cell",
        "document:       17 UTF-16 units (16 code points), 4-byte storage",
    ]


def test_stats_json_and_header():
    # Enough rows for several batches, so that positions are found across them.
    table = [["name", "size"]] + [["x" * (i % 7), str(i)] for i in range(5000)]
    table[4321] = ["only one"]
    table[3000][1] = "😀" * 10
    document = vorn.stringify(table)
    done = run("stats", "--json", "--header", stdin=document.encode())
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["header"] == ["name", "size"]
    assert (report["rows"], report["cells"]) == (5000, 9999)
    assert report["longest_cell"] == {"row": 3001, "cell": 2, "utf16_units": 20, "code_points": 10}
    assert report["widest_row"] == {"row": 2, "cells": 2}
    assert (report["ragged_rows"], report["first_ragged_row"]) == (1, 4322)
    assert report["row_lengths"] == {"1": 1, "2": 4999}
    assert report["storage_widths"] == {"1": 9998, "2": 0, "4": 1}
    assert report["document"]["code_points"] == len(document)
    plain = run("stats", "--header", stdin=document.encode()).stdout.decode()
    assert "header:         row 1, 2 columns\n" in plain
    assert "ragged rows:    1 differ from the header's 2 cells (first: row 4322)" in plain


def test_stats_agrees_with_a_direct_count():
    table = [["é" * (i % 5), "ab"[: i % 3], "中" if i % 11 == 0 else "z"] * (1 + i % 2)
             for i in range(3000)]
    report = json.loads(run("stats", "--json", stdin=vorn.stringify(table).encode()).stdout)
    cells = [c for row in table for c in row]
    assert report["cells"] == len(cells)
    assert report["storage_widths"]["2"] == sum("中" in c for c in cells)
    assert report["longest_cell"]["utf16_units"] == max(map(len, cells))
    assert report["empty_rows"] == 0 and report["ragged_rows"] == 1500


def test_stats_ragged_rows_in_whole_batches():
    # Long runs of rows of one length, then of another.
    table = [["a", "b"]] * 5000 + [["c"]] * 5000 + [["d", "e", "f"]] * 10
    report = json.loads(run("stats", "--json", stdin=vorn.stringify(table).encode()).stdout)
    assert (report["ragged_rows"], report["first_ragged_row"]) == (5010, 5001)
    assert report["row_lengths"] == {"1": 5000, "2": 5000, "3": 10}
    assert report["widest_row"] == {"row": 10001, "cells": 3} and report["cells"] == 15030


def test_input_and_output_encodings():
    done = run("encode", "--encoding", "latin-1", stdin="é,x\n".encode("latin-1"))
    assert done.stdout == "01é01x;".encode("latin-1")
    done = run("decode", "--encoding", "utf-16", "--to", "tsv", stdin="01é;".encode("utf-16"))
    assert done.stdout == "é\n".encode("utf-16")
    # Latin-1 CSV to UTF-8 VORN in one step, and back.
    done = run("encode", "--input-encoding", "latin-1", stdin="café,ß\n".encode("latin-1"))
    assert (done.returncode, done.stdout) == (0, "04café01ß;".encode())
    done = run("decode", "--output-encoding", "latin-1", stdin="04café01ß;".encode())
    assert done.stdout == "café,ß\n".encode("latin-1")


@pytest.mark.parametrize("args, stdin, status, message", [
    (["encode", "--from", "json"], b'{"a": 1}', 1, "expected an array of rows, found an object"),
    (["encode", "--from", "json"], b'[["b", null], ["a"]]', 1, "row 1, cell 2 is null"),
    (["encode", "--from", "json"], b'[["a", ]]', 1, "line 1, column 6: invalid JSON"),
    (["encode"], b'a,"b\n', 1, "not a CSV table: line 1"),
    (["encode"], b"", 1, "the table has no rows"),
    (["encode"], b"\xff", 1, "not valid utf-8: byte 0xff at offset 0"),
    (["encode", "--from", "json"], b'[["\\ud800"]]', 1, "row 1, cell 1 holds a lone surrogate"),
    (["decode"], b"01a", 1, "Unexpected end of input"),
    (["check", "--encoding", "klingon"], b";", 2, "unknown text encoding 'klingon'"),
    (["check", "--encoding", "base64"], b";", 2, "unknown text encoding 'base64'"),
    (["check", "no/such/file"], b"", 2, "cannot read no/such/file"),
    (["decode", "-o", "no/such/dir/out.csv"], b";", 2, "cannot write no/such/dir/out.csv"),
    (["encode", "--from", "xml"], b"", 2, "invalid choice: 'xml'"),
    ([], b"", 2, "required: COMMAND"),
])
def test_refusals(args, stdin, status, message, tmp_path):
    done = run(*args, stdin=stdin, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (status, b"")
    assert message in done.stderr.decode()
    assert not any(tmp_path.iterdir())  # nothing half-written


@pytest.mark.parametrize("command", ["encode", "decode", "check", "stats"])
def test_help(command):
    done = run(command, "--help")
    assert done.returncode == 0 and done.stdout.startswith(f"usage: vorn {command}".encode())
    assert b"exit status" in done.stdout


def test_installed_script():
    script = Path(sys.executable).with_name("vorn")
    done = subprocess.run([script, "encode"], input=b"a\n", capture_output=True)
    assert (done.returncode, done.stdout) == (0, b"01a;")


def test_report_on_a_long_one_line_document_shows_only_the_end(tmp_path):
    # One cell of 5 million characters with a bad last character: the report
    # is drawn from the text around the position, cut on the left.
    n = 5_000_000
    (tmp_path / "long.vorn").write_text(f"f{n:016d}" + "x" * n + "Z")
    done = run("check", "long.vorn", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.decode().startswith(
        f"vorn check: long.vorn:1:{n + 18}: Unexpected token 'Z' at position {n + 17}\n")
    shown, offset = caret(done.stderr)
    assert shown.startswith("...x") and shown.endswith("xZ") and shown[offset] == "Z"


def test_a_refused_document_leaves_no_output_file(tmp_path):
    document = vorn.stringify([["row", str(i)] for i in range(10_000)]) + "01x"
    (tmp_path / "bad.vorn").write_text(document)
    done = run("decode", "bad.vorn", "-o", "out.csv", cwd=tmp_path)
    assert done.returncode == 1 and "Unexpected end of input" in done.stderr.decode()
    assert [p.name for p in tmp_path.iterdir()] == ["bad.vorn"]
    # To standard output, the rows before the error are written first.
    done = run("decode", "bad.vorn", cwd=tmp_path)
    assert done.returncode == 1 and done.stdout.endswith(b"row,9999\n")
