"""The vorn command on TSV, CSV and JSON files shaped as real exports are."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import vorn

VORN = Path(sys.executable).with_name("vorn")


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([VORN, *args], input=stdin, cwd=cwd, capture_output=True)


def round_trip(tmp_path, name, data, encode=(), decode=()):
    """Encodes the file, decodes it back; returns (table, bytes written back)."""
    source = tmp_path / name
    source.write_bytes(data)
    done = run("encode", source.name, "-o", "doc.vorn", *encode, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    table = vorn.parse((tmp_path / "doc.vorn").read_text(encoding="utf-8", newline=""))
    back = run("decode", "doc.vorn", "--to", name.rsplit(".", 1)[1], *decode, cwd=tmp_path)
    assert back.returncode == 0, back.stderr
    return table, back.stdout


# A package index or database export: cells that start with or hold quotes,
# backslashes and commas, empty cells, no quoting anywhere.
EXPORT = (
    'Package\tVersion\tDescription\n'
    '"quoted" name\t1.0\tstarts with a quote\n'
    'tail"\t2\t"both ends"\n'
    'a,b\t\t\\path\\to "x\n'
    '\t\t\n'
    '"\n'
)


def test_plain_tsv_reads_quotes_as_text_and_comes_back_identical(tmp_path):
    table, back = round_trip(tmp_path, "export.tsv", EXPORT.encode())
    assert table[1] == ['"quoted" name', "1.0", "starts with a quote"]
    assert table[3] == ["a,b", "", '\\path\\to "x']
    assert table[4:] == [["", "", ""], ['"']]
    assert back == EXPORT.encode()


def test_crlf_files_come_back_identical_with_crlf_line_terminator(tmp_path):
    tsv = EXPORT.replace("\n", "\r\n").encode()
    table, back = round_trip(tmp_path, "export.tsv", tsv, decode=["--line-terminator", "crlf"])
    assert table[1][2] == "starts with a quote"  # no "\r" kept in the last cell
    assert back == tsv
    csv_text = b'id,text\r\n1,"two\r\nlines"\r\n2,"say ""hi"""\r\n'
    table, back = round_trip(tmp_path, "export.csv", csv_text,
                             decode=["--line-terminator", "crlf"])
    assert table == [["id", "text"], ["1", "two\r\nlines"], ["2", 'say "hi"']]
    assert back == csv_text


def test_tsv_escapes(tmp_path):
    text = b"a\\tb\tline\\nfeed\\r\tback\\\\slash\n"
    table, back = round_trip(tmp_path, "x.tsv", text, encode=["--escape"], decode=["--escape"])
    assert table == [["a\tb", "line\nfeed\r", "back\\slash"]]
    assert back == text
    # Only the four escapes are read; others stay as written.
    done = run("encode", "--from", "tsv", "--escape", stdin=b"\\N\t\\x\n")
    assert done.stdout == b"02\\N02\\x;"
    # Without --escape, backslashes are text like any other.
    assert run("encode", "--from", "tsv", stdin=b"a\\tb\n").stdout == b"04a\\tb;"


@pytest.mark.parametrize("table, message", [
    ([["ok"], ["a", "tab\there"]], "row 2, cell 2 holds a tab"),
    ([["line\nbreak"]], "row 1, cell 1 holds a line feed"),
    ([["x"], ["cr\r"]], "row 2, cell 1 holds a carriage return"),
    ([["x"], []], "row 2 has no cells"),
])
def test_plain_tsv_refuses_what_it_cannot_hold(table, message, tmp_path):
    done = run("decode", "-o", "out.tsv", stdin=vorn.stringify(table).encode(), cwd=tmp_path)
    assert done.returncode == 1 and message in done.stderr.decode()
    assert "--escape" in done.stderr.decode() or "--to csv" in done.stderr.decode()
    assert not any(tmp_path.iterdir())


def test_csv_options(tmp_path):
    text = "a;'b;c';'it''s'\n".encode()
    table, back = round_trip(tmp_path, "x.csv", text,
                             encode=["--delimiter", "semicolon", "--quote-char", "'"],
                             decode=["--delimiter", ";", "--quote-char", "'"])
    assert table == [["a", "b;c", "it's"]] and back == text
    document = vorn.stringify([["1", "x y"], [""]]).encode()
    done = run("decode", "--quoting", "all", stdin=document)
    assert done.stdout == b'"1","x y"\n""\n'
    # Quoted CSV with a tab delimiter, as Python's csv module writes it.
    done = run("encode", "--from", "csv", "--delimiter", "tab", stdin=b'"a\tb"\tc\n')
    assert done.stdout == vorn.stringify([["a\tb", "c"]]).encode()
    done = run("decode", "--quoting", "none", stdin=vorn.stringify([["a", "b,c"]]).encode())
    assert done.returncode == 1 and "row 1, cell 2 cannot be written" in done.stderr.decode()
    done = run("encode", "--quoting", "none", stdin=b'"a",b\n')
    assert done.stdout == vorn.stringify([['"a"', "b"]]).encode()


@pytest.mark.parametrize("args, message", [
    (["encode", "--from", "tsv", "--delimiter", ";"], "--delimiter applies to CSV, not TSV"),
    (["decode", "--to", "json", "--escape"], "--escape applies to TSV"),
    (["encode", "--from", "csv", "--json-scalars"], "--json-scalars applies to JSON"),
    (["decode", "--to", "json", "--line-terminator", "crlf"], "applies to CSV and TSV"),
    (["encode", "--delimiter", "ab"], "is not one character"),
])
def test_options_that_do_not_fit(args, message):
    done = run(*args, stdin=b"01a;")
    assert (done.returncode, done.stdout) == (2, b"") and message in done.stderr.decode()


def test_input_format_is_detected_or_refused():
    document = vorn.stringify([["a", "b"], ["1"]])
    as_json = run("decode", "--to", "json", stdin=document.encode()).stdout
    done = run("encode", stdin=as_json)  # a pipe: no file name to go by
    assert (done.returncode, done.stdout) == (0, document.encode())
    # Tabs without quotes read the same as TSV and as CSV: TSV, said in a note.
    done = run("encode", stdin=b"a\tb\nc\td\n")
    assert (done.returncode, done.stdout) == (0, vorn.stringify([["a", "b"], ["c", "d"]]).encode())
    assert "note: <stdin>: read as TSV" in done.stderr.decode()
    # Quoted cells read differently in the two: refused.
    done = run("encode", stdin=b'"a"\tb\nc\t"d"\n')
    assert done.returncode == 2 and "hint: give --from tsv or --from csv --delimiter tab" in \
        done.stderr.decode()
    assert run("encode", stdin=b"a,b\tc\n").stdout == vorn.stringify([["a", "b\tc"]]).encode()


def test_encode_refuses_a_file_named_as_a_document(tmp_path):
    (tmp_path / "doc.vorn").write_text("01a;")
    done = run("encode", "doc.vorn", cwd=tmp_path)
    assert done.returncode == 2 and "named as a VORN document" in done.stderr.decode()
    assert run("encode", "doc.vorn", "--from", "csv", cwd=tmp_path).stdout == b"0401a;;"


def test_byte_order_marks_are_removed_from_input_and_never_written():
    data = "\ufeffa,b\r\n1,2\r\n".encode()  # as Excel saves CSV
    table = vorn.stringify([["a", "b"], ["1", "2"]]).encode()
    for extra in ([], ["--strip-bom"], ["--input-encoding", "utf-8-sig"]):
        assert run("encode", *extra, stdin=data).stdout == table
    kept = vorn.stringify([["\ufeffa", "b"], ["1", "2"]]).encode()
    assert run("encode", "--keep-bom", stdin=data).stdout == kept
    assert run("encode", "--from", "json", stdin=b'\xef\xbb\xbf[["a"]]').stdout == b"01a;"
    # No document starts with U+FEFF: a document that does is read without it.
    for command in (["check"], ["decode"]):
        assert run(*command, stdin="\ufeff01a;".encode()).returncode == 0
    # An encoding that writes a byte-order mark writes none into a document.
    assert run("encode", "--encoding", "utf-8-sig", stdin=data).stdout == table
    done = run("encode", "--output-encoding", "utf-16", stdin=data)
    assert done.returncode == 2 and "utf-16-le or utf-16-be" in done.stderr.decode()


def test_json_scalars():
    data = b'[["a", 1.5, -2e3, true, false, null, 10000000000000000000001]]'
    done = run("encode", "--from", "json", stdin=data)
    assert done.returncode == 1
    assert "row 1, cell 2 is a number" in done.stderr.decode()
    assert "--json-scalars" in done.stderr.decode()
    done = run("encode", "--from", "json", "--json-scalars", stdin=data)
    expected = [["a", "1.5", "-2e3", "true", "false", "null", "10000000000000000000001"]]
    assert (done.returncode, done.stdout) == (0, vorn.stringify(expected).encode())
    # The integer is kept as text, however long.
    long = b"[[" + b"9" * 5000 + b"]]"
    done = run("encode", "--from", "json", "--json-scalars", stdin=long)
    assert done.returncode == 0 and vorn.parse(done.stdout.decode()) == [["9" * 5000]]
    done = run("encode", "--from", "json", stdin=long)
    assert done.returncode == 1 and "row 1, cell 1 is a number" in done.stderr.decode()


@pytest.mark.parametrize("data, message", [
    (b'[["a", {"b": 1}]]', "row 1, cell 2 is an object, not a string"),
    (b'[["a"], ["b", ["c"]]]', "row 2, cell 2 is an array, not a string"),
    (b'[["a"], 5]', "row 2 is a number, not an array"),
    (b'[[NaN]]', "invalid JSON: NaN is not JSON"),
    (b"[" * 100_000 + b"]" * 100_000, "nested too deeply"),
])
def test_json_refusals(data, message):
    done = run("encode", "--from", "json", "--json-scalars", stdin=data)
    # Rows are handed on as they are read: those before the refused one go out.
    assert done.returncode == 1 and done.stdout in (b"", b"01a;")
    assert message in done.stderr.decode() and b"Traceback" not in done.stderr


def test_check_reports_every_file_and_the_worst_status(tmp_path):
    (tmp_path / "good.vorn").write_text("01a;;")
    (tmp_path / "bad.vorn").write_text("01a")
    done = run("check", "good.vorn", "bad.vorn", "missing.vorn", "good.vorn", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stdout == b"good.vorn: ok, 2 rows, 1 cell\n" * 2
    errors = done.stderr.decode().splitlines()
    assert errors[0] == "vorn check: bad.vorn:1:4: Unexpected end of input"
    assert "vorn check: cannot read missing.vorn: No such file or directory" in errors
    done = run("check", "good.vorn", "bad.vorn", cwd=tmp_path)
    assert done.returncode == 1 and done.stdout == b"good.vorn: ok, 2 rows, 1 cell\n"


@pytest.mark.parametrize("fmt", ["csv", "tsv"])
def test_line_ends_across_reads(fmt, tmp_path):
    # A "\r\n" split between two reads of 64 Ki characters, and a line far
    # longer than a read.
    text = ("x" * 65535 + "\r\n" + "y" * 200_000 + "\r\n" + "z\r\n").encode()
    table, back = round_trip(tmp_path, f"t.{fmt}", text, decode=["--line-terminator", "crlf"])
    assert table == [["x" * 65535], ["y" * 200_000], ["z"]] and back == text
