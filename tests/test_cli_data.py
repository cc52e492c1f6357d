"""The vorn command on the data people have: JSON records and JSON Lines,
compressed files, byte-order marks, and the hints given with refusals."""

import bz2
import gzip
import json
import lzma
import subprocess
import sys
from pathlib import Path

import pytest

import vorn

VORN = Path(sys.executable).with_name("vorn")


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([VORN, *args], input=stdin, cwd=cwd, capture_output=True)


def ok(*args, stdin=b"", cwd=None):
    done = run(*args, stdin=stdin, cwd=cwd)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


def refused(status, *args, stdin=b"", cwd=None):
    done = run(*args, stdin=stdin, cwd=cwd)
    assert done.returncode == status, (done.returncode, done.stderr.decode())
    assert b"Traceback" not in done.stderr
    return done.stderr.decode()


def doc(table):
    return vorn.stringify(table).encode()


# --- JSON records and JSON Lines --------------------------------------------------------

# An export of records: keys missing here and there, keys and values beyond ASCII.
RECORDS = [
    {"id": "1", "naïve key": "café", "tags": "a,b"},
    {"id": "2", "note": "𝄞 clef"},
    {"naïve key": "", "id": "3"},
]
RECORDS_TABLE = [
    ["id", "naïve key", "tags", "note"],
    ["1", "café", "a,b", ""],
    ["2", "", "", "𝄞 clef"],
    ["3", "", "", ""],
]


def test_records_become_a_header_of_keys_in_first_seen_order(tmp_path):
    array = json.dumps(RECORDS, ensure_ascii=False, indent=2).encode()
    lines = "".join(json.dumps(r) + "\r\n\r\n" for r in RECORDS).encode()  # CRLF, blank lines
    (tmp_path / "export.json").write_bytes(array)
    (tmp_path / "export.ndjson").write_bytes(lines)
    expected = doc(RECORDS_TABLE)
    assert ok("encode", "export.json", cwd=tmp_path) == expected
    assert ok("encode", "export.ndjson", cwd=tmp_path) == expected
    assert ok("encode", stdin=lines) == expected  # detected: an object per line
    assert ok("encode", "--from", "jsonl", stdin=lines) == expected
    # More records than are held at once: the rows wait in a spool for the header.
    many = [{"k": str(i)} if i % 2 else {"k": str(i), f"extra{i}": "x"} for i in range(5000)]
    table = vorn.parse(ok("encode", "--from", "json", stdin=json.dumps(many).encode()).decode())
    assert len(table) == 5001 and len(table[0]) == 2501
    assert table[1] == ["0", "x"] + [""] * 2499 and table[-1][:2] == ["4999", ""]


def test_records_written_back_as_objects(tmp_path):
    document = doc(RECORDS_TABLE)
    lines = ok("decode", "--to", "jsonl", "--records", stdin=document).decode()
    assert [json.loads(line) for line in lines.splitlines()] == [
        dict(zip(RECORDS_TABLE[0], row)) for row in RECORDS_TABLE[1:]]
    array = ok("decode", "--to", "json", "--records", stdin=document)
    assert ok("encode", "--from", "json", stdin=array) == document
    assert ok("encode", "--from", "jsonl", stdin=lines.encode()) == document


@pytest.mark.parametrize("args, data, message", [
    (["--from", "json"], b'[{"a": "1"}, {"a": {"b": "2"}}]', 'record 2, key "a" is an object'),
    (["--from", "jsonl"], b'{"a": "1"}\n{"a": ["x"]}\n', 'record 2, key "a" is an array'),
    (["--from", "jsonl"], b'{"a": 1}\n', 'record 1, key "a" is a number, not a string '
                                          '(--json-scalars'),
    (["--from", "json"], b'[{"a": "1"}, ["x"]]', "record 2 is an array, not an object"),
    (["--from", "json"], b'[["x"], {"a": "1"}]', "row 2 is an object, not an array"),
    (["--from", "json"], b'{"a": "1"}\n{"a": "2"}\n', "JSON Lines (--from jsonl)"),
    (["--from", "json"], b'[["a"]]\n[["b"]]\n', "Extra data after the array"),
    (["--from", "jsonl"], b'["a"]\n["b",]\n', "line 2, column 5: invalid JSON"),
])
def test_json_refusals_name_the_record_and_key(args, data, message):
    assert message in refused(1, "encode", *args, stdin=data)


def test_json_lines_of_arrays_both_ways(tmp_path):
    table = [["a", "1"], [], ["", "é\n\"x\""], ["𝄞"]]
    text = ok("decode", "--to", "jsonl", stdin=doc(table))
    assert text.decode().splitlines() == [json.dumps(r, ensure_ascii=False) for r in table]
    crlf = text.replace(b"\n", b"\r\n\r\n")
    assert ok("encode", stdin=crlf) == doc(table)  # detected: an array of cells first
    (tmp_path / "t.jsonl").write_bytes(crlf)
    assert ok("encode", "t.jsonl", cwd=tmp_path) == doc(table)
    scalars = b'["a", 1.50, -0, true, null]\n'
    assert ok("encode", "--from", "jsonl", "--json-scalars", stdin=scalars) == \
        doc([["a", "1.50", "-0", "true", "null"]])


def test_large_json_is_read_a_row_at_a_time(tmp_path):
    # Rows cut at every place by the reads, and a cell larger than any read.
    rows = [["x" * (i % 97), "é" * (i % 13), '"\\'] for i in range(3000)] + [["y" * 300_000]]
    (tmp_path / "big.json").write_text(json.dumps(rows))
    assert vorn.parse(ok("encode", "big.json", cwd=tmp_path).decode()) == rows


# --- Compression -------------------------------------------------------------------------

COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}
DECOMPRESSORS = {".gz": gzip.decompress, ".bz2": bz2.decompress, ".xz": lzma.decompress}


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_compressed_files_both_ways_and_on_standard_input(tmp_path, suffix):
    pack, unpack = COMPRESSORS[suffix], DECOMPRESSORS[suffix]
    csv_text = b"id,name\n1,\xc3\xa9t\xc3\xa9\n2,\"a,b\"\n"
    table = [["id", "name"], ["1", "été"], ["2", "a,b"]]
    (tmp_path / f"in.csv{suffix}").write_bytes(pack(csv_text))
    ok("encode", f"in.csv{suffix}", "-o", f"doc.vorn{suffix}", cwd=tmp_path)
    assert unpack((tmp_path / f"doc.vorn{suffix}").read_bytes()) == doc(table)
    assert ok("check", f"doc.vorn{suffix}", cwd=tmp_path).endswith(b"ok, 3 rows, 6 cells\n")
    ok("decode", f"doc.vorn{suffix}", "-o", f"out.csv{suffix}", cwd=tmp_path)
    assert unpack((tmp_path / f"out.csv{suffix}").read_bytes()) == csv_text
    # Standard input is recognised by its first bytes; the format is still --from.
    assert ok("encode", stdin=pack(csv_text)) == doc(table)
    assert ok("decode", "--to", "csv", stdin=pack(doc(table))) == csv_text
    assert ok("encode", "--from", "jsonl", stdin=pack(b'["a"]\n')) == doc([["a"]])


def test_damaged_and_unsupported_compression_is_refused(tmp_path):
    whole = gzip.compress(doc([["a" * 1000]] * 100))
    (tmp_path / "cut.vorn.gz").write_bytes(whole[: len(whole) // 2])
    assert "not valid gzip data" in refused(1, "check", "cut.vorn.gz", cwd=tmp_path)
    (tmp_path / "t.csv.zst").write_bytes(b"\x28\xb5\x2f\xfd\x00")
    assert "hint: decompress it first: zstd -dc" in refused(2, "encode", "t.csv.zst",
                                                            cwd=tmp_path)
    assert "zstd -dc" in refused(2, "check", stdin=b"\x28\xb5\x2f\xfd\x00\x00")
    assert "vorn does not read or write" in refused(2, "decode", "-o", "x.csv.zst", stdin=b";",
                                                    cwd=tmp_path)
    assert not (tmp_path / "x.csv.zst").exists()


# --- Byte-order marks and the U+FEFF first cell ------------------------------------------

TRICKY = [
    [["\ufeffstarts with a BOM", "x"], [], ["", ""], ["𝄞", "a\r\nb"]],
    [["\ufeff"]],
    [[""], ["\ufeff", "\ufeff"]],
    [["é,\"q\"", "\U0010ffff"], ["tab\there"]],
]
# What each format cannot hold, by the refusal it gives.
CANNOT = {"tsv": ("row 1, cell 1 starts with U+FEFF", "row 2 has no cells",
                  "cell 2 holds a carriage return", "row 2, cell 1 holds a tab")}


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json", "jsonl"])
@pytest.mark.parametrize("table", TRICKY, ids=range(len(TRICKY)))
def test_decode_then_encode_gives_back_every_document(fmt, table):
    document = doc(table)
    done = run("decode", "--to", fmt, stdin=document)
    if done.returncode:
        assert done.returncode == 1
        assert any(m in done.stderr.decode() for m in CANNOT.get(fmt, ())), done.stderr
        return
    assert not done.stdout.startswith(b"\xef\xbb\xbf")
    assert ok("encode", "--from", fmt, stdin=done.stdout) == document


def test_lone_surrogates_are_json_escapes_and_refused_in_a_document():
    from vorn_cli.tables import Dialect, write_rows  # the writer, in-process
    import io

    out = io.StringIO()
    write_rows([["a\ud800", "\udfff\U0001d11e"]], out, "json", Dialect())
    assert out.getvalue() == '[\n  ["a\\ud800", "\\udfff\U0001d11e"]\n]\n'
    # Read back from JSON, a lone surrogate reaches a VORN document, which a
    # text file cannot hold: refused, naming the row and the cell.
    message = refused(1, "encode", "--from", "json", stdin=b'[["ok"], ["x", "a\\ud800"]]')
    assert "row 2, cell 2 holds a lone surrogate (U+D800)" in message
    message = refused(1, "encode", "--from", "jsonl", stdin=b'{"k": "\\udc00"}\n')
    assert 'record 1, key "k" holds a lone surrogate (U+DC00)' in message
    # An escaped pair is one character, not two lone ones.
    assert ok("encode", "--from", "json", stdin=b'[["\\ud834\\udd1e"]]') == doc([["𝄞"]])


# --- Hints ---------------------------------------------------------------------------------

@pytest.mark.parametrize("args, data, status, hint", [
    # Latin-1 and cp1252 exports.
    (["encode"], "nom,ville\nFrançois,Besançon\n".encode("latin-1"), 1,
     "hint: the input looks like Latin-1 or cp1252 text: give --input-encoding cp1252"),
    # A UTF-16 file read as UTF-8.
    (["encode"], "a,b\n".encode("utf-16"), 1, "give --input-encoding utf-16"),
    # Lines that split evenly on two delimiters.
    (["encode"], b"a;b,c\nd;e,f\n", 2, "hint: give --from csv or --from csv --delimiter "
                                       "semicolon"),
    # Quotes that fail with commas, and no other delimiter that fits: the sniffer names one.
    (["encode", "--from", "csv"], b'"a"|"b,c"\n"d"|"e"|"f"\n', 1,
     "looks delimited by '|': give --delimiter pipe"),
    # Tables given to commands that read documents.
    (["check"], b"vendor,name\nx,y\n", 1, "looks like CSV rather than a VORN document; to "
                                          "convert a table to VORN, use: vorn encode FILE"),
    (["stats"], b'[["a", "b"]]', 1, "looks like JSON rather than a VORN document"),
    (["decode"], b'{"a": "b"}\n', 1, "use: vorn encode"),
    # Compressed input read as text.
    (["check", "doc.vorn"], None, 1, "the input looks gzip-compressed; vorn decompresses "
                                     "files named *.gz"),
])
def test_refusals_carry_hints(tmp_path, args, data, status, hint):
    if data is None:
        (tmp_path / "doc.vorn").write_bytes(gzip.compress(b"01a;"))
    message = refused(status, *args, stdin=data or b"", cwd=tmp_path)
    assert hint in message


def test_semicolon_files_are_read_once_the_delimiter_is_named():
    data = b'name;price\n"a";"1,5"\n'
    assert ok("encode", "--delimiter", "semicolon", stdin=data) == \
        doc([["name", "price"], ["a", "1,5"]])
    assert ok("encode", "--delimiter", "comma", stdin=b"a;b\nc;d\n") == doc([["a;b"], ["c;d"]])
    assert ok("encode", "--input-encoding", "cp1252", stdin="é,€\n".encode("cp1252")) == \
        doc([["é", "€"]])


@pytest.mark.parametrize("command, name", [
    ("decode", "out.xlsx"), ("decode", "out.vorn"),
    ("decode", "out.xlsx.gz"), ("encode", "out.csv"), ("encode", "out.jsonl.gz"),
])
def test_outputs_named_in_formats_not_written_are_refused_before_writing(tmp_path, command,
                                                                         name):
    data = b";" if command == "decode" else b"a\n"
    message = refused(2, command, "-o", name, stdin=data, cwd=tmp_path)
    assert name in message
    assert not any(tmp_path.iterdir())
    if command == "decode":
        assert "--to" in refused(2, "decode", "-o", "out.json", "--to", "csv", stdin=data,
                                 cwd=tmp_path)


# --- Options -------------------------------------------------------------------------------

@pytest.mark.parametrize("options, message", [
    (["--delimiter", '"'], "is both the delimiter and the quote character"),
    (["--quote-char", ","], "is both the delimiter and the quote character"),
    (["--delimiter", "x", "--quote-char", "x"], "is both the delimiter and the quote"),
    (["--delimiter", "\n"], "--delimiter cannot be a line break"),
    (["--delimiter", "\r"], "--delimiter cannot be a line break"),
    (["--quote-char", "\r"], "--quote-char cannot be a line break"),
    (["--quote-char", "\n"], "--quote-char cannot be a line break"),
])
@pytest.mark.parametrize("command", ["encode", "decode"])
def test_unusable_csv_options_are_usage_errors(tmp_path, command, options, message):
    data = b"a,b\n" if command == "encode" else b";"
    stderr = refused(2, command, "--" + ("from" if command == "encode" else "to"), "csv",
                     *options, "-o", "out", stdin=data, cwd=tmp_path)
    assert message in stderr and stderr.startswith("usage: vorn " + command)
    assert not any(tmp_path.iterdir())


def test_option_conflicts():
    assert "--records applies to JSON" in refused(2, "decode", "--records", stdin=b";")
    assert "contradict" in refused(2, "encode", "--keep-bom", "--strip-bom", stdin=b"a\n")


@pytest.mark.parametrize("command", ["encode", "decode", "check", "stats", "head", "tail", "cut"])
def test_help_ends_with_examples(command):
    text = ok(command, "--help").decode()
    examples = text.rsplit("examples:\n", 1)[1].splitlines()
    assert examples and all(line.startswith("  ") and "vorn" in line for line in examples)


@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_completion_script(shell):
    script = ok("--print-completion", shell).decode()
    assert "encode" in script and "--records" in script and "--delimiter" in script
    assert all(word in script for word in ("head", "tail", "cut", "--json-key", "--comment"))


# --- The tool's own reading and measuring, in-process ------------------------------------

def test_lines_are_split_as_the_io_module_splits_them_across_every_read(tmp_path,
                                                                        monkeypatch):
    import io
    import random

    from vorn_cli import streams

    rnd = random.Random(3)
    path = tmp_path / "lines"
    for chunk in (1, 2, 3, 64):
        monkeypatch.setattr(streams, "CHUNK", chunk)
        for track in (True, False):
            for _ in range(150):
                text = "".join(rnd.choice(["a", "\r", "\n", "\r\n", "é", "😀"])
                               for _ in range(rnd.randint(0, 30)))
                path.write_bytes(text.encode())
                with streams.Input(str(path), "utf-8", track=track) as source:
                    assert list(source) == io.StringIO(text, newline="").readlines(), text


def test_storage_widths_from_sizes_agree_with_a_look_at_each_cell(monkeypatch):
    import random

    from vorn_cli import stats

    # The sizes fit the formula on this interpreter: the fast way is taken.
    assert stats._SIZES_SHOW_WIDTH or sys.implementation.name != "cpython"
    rnd = random.Random(2)
    alphabet = ["a", "é", "Ω", "😀", "\ud800", "\x00", "\uffff", "\U0010ffff"]
    for mix in (alphabet, ["a"] * 50 + alphabet, ["é", "Ω", "a"]):
        for cached in (False, True):
            cells = ["".join(rnd.choice(mix) for _ in range(rnd.randint(0, 5)))
                     for _ in range(5000)]
            # Fresh strings, as a parser makes them, and shared one-character ones.
            cells = [c.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
                     for c in cells] + ["é", "a", "😀", ""]
            if cached:  # strings that hold their UTF-8 form besides: sizes off the formula
                for c in cells:
                    if not any("\ud800" <= ch <= "\udfff" for ch in c):
                        c.encode()
            results = []
            for fast in (True, False):
                monkeypatch.setattr(stats, "_SIZES_SHOW_WIDTH", fast)
                measured = stats.Stats()
                results.append((measured._wide(list(cells)), measured.widths))
            assert results[0] == results[1]
            assert sum(results[0][1].values()) == len(cells)


def test_rows_written_by_hand_match_csv_writer(monkeypatch):
    import io
    import random

    from vorn_cli import tables

    rnd = random.Random(5)
    alphabet = ["a", ",", ";", '"', "'", "\r", "\n", " ", "\t", "é", "😀"]
    for quoting in ("minimal", "all"):
        for line_terminator in ("lf", "crlf"):
            for delimiter, quote in ((None, '"'), (";", "'"), ("\t", '"')):
                dialect = tables.Dialect(delimiter=delimiter, quotechar=quote, quoting=quoting,
                                         line_terminator=line_terminator)
                for _ in range(60):
                    rows = [["".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 6)))
                             for _ in range(rnd.randint(0, 4))] for _ in range(4)] + [[""]]
                    written = []
                    for large in (10**9, -1):  # csv.writer, then every row by hand
                        monkeypatch.setattr(tables, "LARGE_CELL", large)
                        out = io.StringIO()
                        tables.write_rows(rows, out, "csv", dialect)
                        written.append(out.getvalue())
                    assert written[0] == written[1], rows


def test_max_row_size_refuses_longer_rows():
    document = doc([["a"], ["abc", "d"], ["b"]])
    # A row's size is what it takes in the document: "03abc01d;" is 9.
    report = refused(1, "check", "--max-row-size", "8", stdin=document)
    # The cell that would take the row past the limit is the one named.
    assert "<stdin>:1:10: Row 1 is longer than max_row_size (8 characters) at position 9" in report
    assert ok("check", "--max-row-size", "9", stdin=document).endswith(b"ok, 3 rows, 4 cells\n")
    assert ok("decode", "--max-row-size", "9", stdin=document) == b"a\nabc,d\nb\n"
    assert "positive whole number" in refused(2, "stats", "--max-row-size", "0", stdin=document)


def test_json_read_in_pieces_of_every_size(monkeypatch):
    import io
    import random

    from vorn_cli import tables

    class Trickle(io.StringIO):  # a pipe that gives a few characters at a time
        def read(self, n=-1):
            return super().read(min(n, 3) if n >= 0 else n)

    rnd = random.Random(7)
    alphabet = 'ab"\\é😀 ,'
    for chunk in (5, 40, 1 << 16):
        monkeypatch.setattr(tables, "CHUNK", chunk)
        for _ in range(80):
            rows = [["".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 9)))
                     for _ in range(rnd.randint(0, 4))] for _ in range(rnd.randint(1, 30))]
            text = json.dumps(rows, indent=rnd.choice([None, 1]), ensure_ascii=rnd.random() < .5)
            assert list(tables.read_rows(Trickle(text), "json", tables.Dialect())) == rows
            text = "\n".join(map(json.dumps, rows)) + rnd.choice(["", "\n", "\r\n\r\n"])
            assert list(tables.read_rows(Trickle(text), "jsonl", tables.Dialect())) == rows
            records = [{f"k{rnd.randint(0, 5)}": f"v{i}"} for i in range(rnd.randint(1, 20))]
            table = list(tables.read_rows(Trickle(json.dumps(records, indent=2)), "json",
                                          tables.Dialect()))
            keys = list(dict.fromkeys(k for record in records for k in record))
            assert table[0] == keys and len(table) == len(records) + 1
            assert all(table[i + 1][keys.index(k)] == v
                       for i, record in enumerate(records) for k, v in record.items())
