"""vorn encode on tables as they come: formats and delimiters judged from
many lines, comment lines, JSON wrapped in objects or holding nested
values, lone surrogates; and decode's CSV read back whatever its options."""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vorn

VORN = Path(sys.executable).with_name("vorn")


def run(*args, stdin=b"", cwd=None):
    done = subprocess.run([VORN, *args], input=stdin, cwd=cwd, capture_output=True)
    assert b"Traceback" not in done.stderr and b"internal error" not in done.stderr
    return done


def doc(table):
    return vorn.stringify(table).encode()


# --- Delimited text ----------------------------------------------------------------

PACKAGES = "# kinds: python java-maven node\n" + "".join(
    f"apt\tpkg{i}\t1.{i}-2\n" for i in range(300))


@pytest.mark.parametrize("args, data, table, note", [
    # Quoted cells holding the delimiter: commas are ruled out, so semicolons.
    (["--from", "csv"], b'name;note\nann;"a;b"\nbob;"c;d"\n',
     [["name", "note"], ["ann", "a;b"], ["bob", "c;d"]], "read as CSV separated by ';'"),
    ([], b'name;note\nann;"a;b"\nbob;"c;d"\n',
     [["name", "note"], ["ann", "a;b"], ["bob", "c;d"]], "give --delimiter"),
    ([], b"name;price\nb;2\n", [["name", "price"], ["b", "2"]], "separated by ';'"),
    ([], b'"a"|"b,c"\n"d"|"e"\n', [["a", "b,c"], ["d", "e"]], "separated by '|'"),
    # The comma fits: no note.
    ([], b"a,b\nc,d\n", [["a", "b"], ["c", "d"]], None),
    # A quoted line break does not break the count.
    ([], b'a;"b\nc";d\ne;f;g\n', [["a", "b\nc", "d"], ["e", "f", "g"]], "separated by ';'"),
    # One line is no evidence against the default.
    ([], b"a,b\tc\n", [["a", "b\tc"]], None),
    # A quote no writer puts there, and nothing that fits better: read leniently, said.
    (["--from", "csv"], b'a,5" screen\nb,c\n', [["a", '5" screen'], ["b", "c"]],
     "line 1 has a quote out of place for CSV with commas"),
    # CSV as given, with a first line like a comment: it stays a row, said in a note.
    (["--from", "csv"], b"#a\nb,c\nd,e\n", [["#a"], ["b", "c"], ["d", "e"]],
     "give --comment '#'"),
])
def test_delimiters_are_judged_from_many_lines(args, data, table, note):
    done = run("encode", *args, stdin=data)
    assert (done.returncode, done.stdout) == (0, doc(table)), done.stderr
    if note is None:
        assert done.stderr == b""
    else:
        assert b"note: " in done.stderr and note in done.stderr.decode()
    assert run("encode", "-q", *args, stdin=data).stderr == b""


@pytest.mark.parametrize("args, data, hint", [
    # The package list: a comment line, then tab-separated rows.
    ([], PACKAGES.encode(), "hint: line 1 starts with '#' and does not split like the lines "
                            "after it: if it is a comment, give --comment '#'"),
    ([], b"a;b,c\nd;e,f\n", "hint: give --from csv or --from csv --delimiter semicolon"),
    ([], b'"a"\tb\nc\t"d"\n', "hint: give --from tsv or --from csv --delimiter tab"),
    ([], b"a;b|c\nd;e|f\n", "hint: give --from csv --delimiter semicolon or --from csv "
                              "--delimiter pipe"),
    ([], b"a\tb\tc\nd\ne\tf\n", "hint: give --from tsv or --from csv"),
])
def test_ambiguous_text_is_refused_naming_the_option(args, data, hint):
    done = run("encode", *args, stdin=data)
    assert (done.returncode, done.stdout) == (2, b"")
    assert hint in done.stderr.decode()


def test_comment_lines_are_skipped_when_asked(tmp_path):
    table = [["apt", f"pkg{i}", f"1.{i}-2"] for i in range(300)]
    done = run("encode", "--comment", "#", stdin=PACKAGES.encode())
    assert (done.returncode, done.stdout) == (0, doc(table))
    assert "note: <stdin>: read as TSV" in done.stderr.decode()
    assert run("encode", "--from", "tsv", "--comment", "#",
               stdin=PACKAGES.encode()).stdout == doc(table)
    # Given as TSV without --comment: the line stays a row, and a note names the option.
    done = run("encode", "--from", "tsv", stdin=PACKAGES.encode())
    assert done.returncode == 0 and done.stdout == doc([[PACKAGES.split("\n")[0]], *table])
    assert "give --comment '#'" in done.stderr.decode()
    # In CSV, a line inside a quoted cell is not a comment, wherever it starts.
    data = b'#x\na,"b\n#c"\n#y\nd,e\n'
    assert run("encode", "--from", "csv", "--comment", "#", stdin=data).stdout == \
        doc([["a", "b\n#c"], ["d", "e"]])
    # Lines after the first can be comments too.
    assert run("encode", "--comment", "%", stdin=b"a,b\n%x\nc,d\n").stdout == \
        doc([["a", "b"], ["c", "d"]])
    done = run("encode", "--comment", "#", "--from", "json", stdin=b"[]")
    assert done.returncode == 2 and b"--comment applies to CSV and TSV" in done.stderr


def test_the_package_list_shipped_with_the_machine():
    path = Path("/usr/share/package-lists/installed-python.txt")
    if not path.exists():
        pytest.skip("no package list in /usr/share/package-lists on this machine")
    done = run("encode", str(path))
    assert done.returncode == 2 and b"--comment '#'" in done.stderr
    done = run("encode", "--comment", "#", str(path))
    assert done.returncode == 0
    rows = vorn.parse(done.stdout.decode())
    lines = [line for line in path.read_text().splitlines() if not line.startswith("#")]
    assert rows == [line.split("\t") for line in lines]


# --- Round trip of decode's CSV ------------------------------------------------------

CELL = st.text(alphabet=st.sampled_from(list(";,\t\"'|\n\r #%ab1 é€😀")), max_size=8)
TABLE = st.lists(st.lists(CELL, max_size=4), min_size=1, max_size=8)
OPTIONS = st.fixed_dictionaries({
    "delimiter": st.sampled_from([None, None, None, "semicolon", "tab", "pipe", "comma"]),
    "quote": st.sampled_from([None, None, "'"]),
    "quoting": st.sampled_from([None, "minimal", "all", "none"]),
    "eol": st.sampled_from([None, "crlf"]),
    "stdin": st.booleans(),
})


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=TABLE, options=OPTIONS)
# Cells with semicolons: the lines hold more ';' than ',', and split evenly on them.
@example(table=[["x;y", "1"], ["z;w;", "2"]], options=dict(
    delimiter=None, quote=None, quoting=None, eol=None, stdin=True))
@example(table=[["a;b"], ["c;d"], ["e;f"]], options=dict(
    delimiter=None, quote=None, quoting=None, eol=None, stdin=False))
# A first cell like a comment, and quotes that are not the quote character.
@example(table=[["#x"], ["a", "b"], ['"c";d', "e"]], options=dict(
    delimiter=None, quote="'", quoting=None, eol="crlf", stdin=True))
def test_every_csv_that_decode_writes_encodes_back(tmp_path, table, options):
    document = vorn.stringify(table)
    dialect = []
    if options["delimiter"]:
        dialect += ["--delimiter", options["delimiter"]]
    if options["quote"]:
        dialect += ["--quote-char", options["quote"]]
    if options["quoting"]:
        dialect += ["--quoting", options["quoting"]]
    eol = ["--line-terminator", options["eol"]] if options["eol"] else []
    (tmp_path / "in.vorn").write_text(document, encoding="utf-8", newline="")
    written = run("decode", "in.vorn", "-o", "out.csv", *dialect, *eol, cwd=tmp_path)
    if written.returncode:
        # Only a dialect that cannot quote refuses, naming the cell.
        assert options["quoting"] == "none" and b"cannot be written" in written.stderr
        return
    if options["stdin"]:
        data = (tmp_path / "out.csv").read_bytes()
        back = run("encode", "--from", "csv", *dialect, stdin=data, cwd=tmp_path)
    else:
        back = run("encode", "out.csv", *dialect, cwd=tmp_path)
    assert (back.returncode, back.stdout.decode()) == (0, document), back.stderr


# --- JSON ------------------------------------------------------------------------------

WRAPPED = json.dumps({"639-3": [{"alpha_3": "aaa", "name": "Ghotuo"},
                                {"alpha_3": "aab", "name": "Alumu-Tesu", "scope": "I"}]},
                     indent=2).encode()
RECORDS = [["alpha_3", "name", "scope"], ["aaa", "Ghotuo", ""], ["aab", "Alumu-Tesu", "I"]]


def test_an_object_wrapping_the_table_is_named_in_a_hint(tmp_path):
    (tmp_path / "codes.json").write_bytes(WRAPPED)
    for args, stdin in ((["codes.json"], b""), ([], WRAPPED), (["--from", "json"], WRAPPED)):
        done = run("encode", *args, stdin=stdin, cwd=tmp_path)
        assert done.returncode == 1 and "hint: give --json-key 639-3" in done.stderr.decode()
    # Read as JSON Lines, the one object is a record holding a list.
    done = run("encode", "--from", "jsonl", stdin=WRAPPED)
    assert done.returncode == 1
    assert "hint: give --from json --json-key 639-3" in done.stderr.decode()
    assert run("encode", "codes.json", "--json-key", "639-3", cwd=tmp_path).stdout == \
        doc(RECORDS)
    # Members before and after the table are passed over; rows work as records do.
    data = b'{"v": {"x": [1]}, "rows": [["a", "b"], ["c"]], "n": 3}'
    assert run("encode", "--from", "json", "--json-key", "rows", stdin=data).stdout == \
        doc([["a", "b"], ["c"]])
    # An object on one line is JSON Lines, unless --json-key says otherwise.
    assert run("encode", "--json-key", "a", stdin=b'{"a": [["x"]]}').stdout == doc([["x"]])
    two = b'{"a": [["x"]], "b": [{"k": "v"}]}'
    message = run("encode", "--from", "json", stdin=two).stderr.decode()
    assert 'members "a", "b" hold lists' in message and "--json-key a" in message


@pytest.mark.parametrize("args, data, message", [
    (["--json-key", "nope"], b'{"a": [["x"]]}', 'the object has no member "nope" '
                                                '(its members: "a")'),
    (["--json-key", "a"], b'[["x"]]', "--json-key a names a member of an object, but the "
                                      "JSON is an array"),
    (["--json-key", "a"], b'{"a": "x"}', 'expected member "a" to be an array of rows'),
    (["--json-key", "a"], b'{"a": [["x"]] "b": 1}', "Expecting ',' delimiter"),
    (["--json-key", "a"], b'{"a": [["x"]]', "the object is not closed"),
    ([], b'{"a": 1}\n{"b": 2}', 'record 1, key "a" is a number'),
])
def test_wrapped_json_refusals(args, data, message):
    done = run("encode", "--from", "json" if args else "jsonl", *args, stdin=data)
    assert done.returncode == 1 and message in done.stderr.decode(), done.stderr


def test_nested_values_are_kept_as_json_text_when_asked():
    data = b'[{"id": "1", "flags": ["a", 1.50, true, null], "m": {"k": {"x": "\\u00e9"}}}]'
    done = run("encode", "--from", "json", stdin=data)
    assert done.returncode == 1
    assert 'key "flags" is an array, not a string (--nested json keeps it as its JSON text)' \
        in done.stderr.decode()
    done = run("encode", "--from", "json", "--nested", "json", stdin=data)
    assert done.stdout == doc([["id", "flags", "m"],
                               ["1", '["a",1.50,true,null]', '{"k":{"x":"é"}}']])
    rows = b'[["a", [1, [2]]]]\n'
    assert run("encode", "--from", "json", stdin=rows).returncode == 1
    assert run("encode", "--from", "jsonl", "--nested", "json", stdin=b'["a", [1, [2]]]').stdout \
        == doc([["a", "[1,[2]]"]])
    # A lone surrogate inside a nested value stays an escape.
    assert run("encode", "--from", "json", "--nested", "json",
               stdin=b'[[["\\ud800"]]]').stdout == doc([['["\\ud800"]']])
    done = run("encode", "--from", "csv", "--nested", "json", stdin=b"a\n")
    assert done.returncode == 2 and b"--nested applies to JSON" in done.stderr


def test_lone_surrogates_pass_with_surrogatepass(tmp_path):
    raw = b"a,\xed\xa0\x80b\n"  # U+D800 as UTF-8 would write it
    done = run("encode", stdin=raw)
    assert done.returncode == 1
    message = done.stderr.decode()
    assert "give --errors surrogatepass" in message and "Latin-1" not in message
    done = run("encode", "--errors", "surrogatepass", "-o", "d.vorn", stdin=raw, cwd=tmp_path)
    assert done.returncode == 0
    assert (tmp_path / "d.vorn").read_bytes() == b"01a02\xed\xa0\x80b;"
    done = run("check", "d.vorn", cwd=tmp_path)
    assert done.returncode == 1 and b"--errors surrogatepass" in done.stderr
    assert run("check", "--errors", "surrogatepass", "d.vorn", cwd=tmp_path).stdout == \
        b"d.vorn: ok, 1 row, 2 cells\n"
    assert run("decode", "--errors", "surrogatepass", "d.vorn", cwd=tmp_path).stdout == raw
    # JSON writes it as an escape, and reads that back with surrogatepass.
    as_json = run("decode", "--errors", "surrogatepass", "--to", "json", "d.vorn",
                  cwd=tmp_path).stdout
    assert b'"\\ud800b"' in as_json
    assert run("encode", "--from", "json", stdin=as_json).returncode == 1
    assert run("encode", "--from", "json", "--errors", "surrogatepass",
               stdin=as_json).stdout == b"01a02\xed\xa0\x80b;"
    done = run("encode", "--errors", "surrogatepass", "--encoding", "latin-1", stdin=b"a")
    assert done.returncode == 2 and b"applies to UTF-8, UTF-16 and UTF-32" in done.stderr


@settings(max_examples=200, deadline=None)
@given(table=st.lists(st.lists(CELL, min_size=1, max_size=5), min_size=1, max_size=10),
       delimiter=st.sampled_from(",;\t|"), quoting=st.sampled_from(["minimal", "all"]))
def test_the_sample_splitter_counts_cells_as_the_csv_module_reads_them(table, delimiter,
                                                                       quoting):
    import csv
    import io

    from vorn_cli import sniff

    out = io.StringIO()
    csv.writer(out, delimiter=delimiter, lineterminator="\n",
               quoting=csv.QUOTE_ALL if quoting == "all" else csv.QUOTE_MINIMAL).writerows(table)
    text = out.getvalue()
    reading = sniff.split_records(text, delimiter, '"', "\0", complete=True)
    rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
    assert reading.bad == 0
    assert reading.counts == [len(r) for r in table] == [len(r) for r in rows]
    # Cut short anywhere after its first line, the sample still gives counts
    # of whole records only (a first line cut short is all there is to go by).
    half = text[:len(text) // 2]
    if "\n" in half.rstrip("\n"):
        cut = sniff.split_records(half, delimiter, '"', "\0", complete=False)
        assert cut.counts == reading.counts[:len(cut.counts)]


def test_the_iso_code_lists_shipped_with_the_machine():
    path = Path("/usr/share/iso-codes/json/iso_639-3.json")
    if not path.exists():
        pytest.skip("iso_639-3.json is not installed (Debian package iso-codes)")
    done = run("encode", str(path))
    assert done.returncode == 1 and b"hint: give --json-key 639-3" in done.stderr
    done = run("encode", str(path), "--json-key", "639-3")
    assert done.returncode == 0, done.stderr
    records = json.loads(path.read_text(encoding="utf-8"))["639-3"]
    rows = vorn.parse(done.stdout.decode())
    assert len(rows) == len(records) + 1
    assert dict(zip(rows[0], rows[1])) == {k: records[0].get(k, "") for k in rows[0]}


@settings(max_examples=300, deadline=None)
@given(text=st.text(alphabet=st.sampled_from(list(',;\t|"\'#%\n\r ab\ufeff')), max_size=60),
       complete=st.booleans(), csv_given=st.booleans(),
       quote=st.sampled_from(['"', "'", None]), comment=st.sampled_from([None, "#"]))
def test_judging_any_text_gives_a_choice_or_a_refusal(text, complete, csv_given, quote,
                                                     comment):
    from vorn_cli import sniff

    try:
        choice = sniff.infer(text, complete, csv_given=csv_given, quote=quote, comment=comment)
    except sniff.Refusal as exc:
        # Every refusal names the option that settles it.
        hint = str(exc).partition("\nhint: ")[2]
        assert "give --" in hint
        assert not csv_given or "--delimiter" in str(exc)
        return
    assert choice.fmt in ("csv", "tsv") and choice.delimiter in (None, ";", "\t", "|")
    assert csv_given <= (choice.fmt == "csv")
    # Anything but the default is said.
    assert (choice.fmt, choice.delimiter) == ("csv", None) or choice.note
