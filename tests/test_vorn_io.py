"""vorn_io: the streaming reader against vorn.parse of the whole text, the
writer against vorn.stringify of the whole table, and load/dump."""

import io
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import texts
import vorn
import vorn_io

ROOT = Path(__file__).resolve().parent.parent
SMILE = "\U0001F600"


def expected(doc):
    """What reading doc must give: the rows that vorn.parse reads before it
    fails (a prefix ending in ";" parses exactly when the ";" ends a row, and
    none past a fault does), and the type and arguments of its exception."""
    if doc == "":
        return [], None  # vorn_io reads no text as no rows, where parse refuses it
    try:
        return vorn.parse(doc), None
    except (SyntaxError, NameError) as exc:
        error = (type(exc), exc.args)
    rows = []
    for k, c in enumerate(doc):
        if c == ";":
            try:
                rows = vorn.parse(doc[:k + 1])
            except (SyntaxError, NameError):
                pass
    return rows, error


def read_all(stream, chunk_size=vorn_io.DEFAULT_CHUNK_SIZE):
    rows = []
    try:
        for row in vorn_io.reader(stream, chunk_size=chunk_size):
            rows.append(row)
    except Exception as exc:  # noqa: BLE001 - compared with what parse raises
        return rows, (parse_type(exc), exc.args)
    return rows, None


def parse_type(exc):
    """The type parse raises for what the reader raised: DecodeError is parse's SyntaxError."""
    return SyntaxError if type(exc) is vorn_io.DecodeError else type(exc)


NARROW = vorn.stringify([["a", "bc"], [], ["x;y", ";;", ""], ["0123456789"], ["é€" * 3]])
ASTRAL = vorn.stringify([[SMILE, "a" + SMILE + ";"], [SMILE * 3 + ";;"]])
SEMIS = vorn.stringify([[";" * k for k in range(0, 40, 3)], [";0;" * 9, "1;"], [], [";"]])
LONG = vorn.stringify([["ab"], ["x;" * 150], ["c"]])

VALID = [
    "", ";", ";;", "00;", "01a02bc;", "01;;", "2005hello;", "A00000000000;a00000000000;",
    "F0000000000000001x;", "f0000000000000003;;;;",
    NARROW, ASTRAL, SEMIS, LONG, NARROW + ASTRAL + SEMIS,
    vorn.stringify([["\ud83d", "\ude00", "\ud83d\ude00"], ["\udfff;"]]),
    vorn.stringify([[SMILE * 40] * 3, ["x" * 120]]),
    "0003abc05" + SMILE + "a;1" + "00" * 8 + ";",
]

MALFORMED = [
    "0", "0x", "0x;", "x;", ";x;", "01a", "03abc", "01;", "03ab", "é;", "g0;",
    NARROW + "x;", NARROW + "0x;", NARROW + "0-1a;", NARROW + "01a;\n", NARROW + "03ab",
    NARROW + "0", NARROW + "1x5", NARROW + "15x", NARROW + "15", NARROW + "0\u0661a;",
    SEMIS + "1;", SEMIS + "3;;;;;;;;;;;;", LONG + ";x", LONG[:-3],
    ASTRAL + "1x5", ASTRAL + "15x", ASTRAL + "15", ASTRAL + "x", ASTRAL + "0x",
    ASTRAL + "01" + SMILE + ";", ASTRAL + "03" + SMILE * 2 + ";", ASTRAL[:-1],
    # A character from U+10000 up early on, the fault in narrow text at the end.
    "02" + SMILE + ";" + NARROW + "1x5", "02" + SMILE + ";" + SEMIS + "15x",
    "02" + SMILE + ";" + NARROW + "1x", "02" + SMILE + ";" + NARROW + "f" + "0" * 15,
    "02" + SMILE + ";01a1x5", "02" + SMILE + ";01a02b;15x", "x;02" + SMILE + ";",
    "01a;0x;02" + SMILE + ";", NARROW + "01a" + SEMIS[:40] + "01bx;",
    NARROW + vorn.stringify([["\ud83d"]]) + "01\ude00;" + "y",
]

DOCUMENTS = VALID + MALFORMED


@pytest.mark.parametrize("doc", DOCUMENTS, ids=range(len(DOCUMENTS)))
def test_reader_matches_parse_at_every_chunk_size(doc):
    want = expected(doc)
    for size in range(1, min(len(doc), 320) + 2):
        assert read_all(io.StringIO(doc), size) == want, size


ENCODABLE = [d for d in DOCUMENTS if not any("\ud800" <= c <= "\udfff" for c in d)]


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "utf-16-be"])
def test_reader_over_files_in_any_encoding(tmp_path, encoding):
    path = tmp_path / "doc.vorn"
    for doc in ENCODABLE:
        path.write_text(doc, encoding=encoding, newline="")
        want = expected(doc)
        for size in range(1, min(len(doc), 200) + 2, 3 if len(doc) > 60 else 1):
            with open(path, encoding=encoding, newline="") as f:
                assert read_all(f, size) == want, (doc, size)


class CountingReads(io.StringIO):
    def __init__(self, text):
        super().__init__(text)
        self.sizes = []

    def read(self, size=-1, /):
        self.sizes.append(size)
        return super().read(size)


def test_reading_is_lazy_bounded_and_grows_only_for_long_rows():
    stream = CountingReads(vorn.stringify([["cell", "row"]] * 100_000))
    rows = vorn_io.reader(stream, chunk_size=1000)
    first = next(rows)
    assert first == ["cell", "row"] and stream.tell() <= 1000
    first.append("changed")  # rows are new lists
    assert next(rows) == ["cell", "row"]
    assert sum(1 for _ in rows) == 99_998 and max(stream.sizes) <= 1000

    table = [[f"{i};" * (i % 7), SMILE * (i % 3)] for i in range(3000)]
    table[1500].append("y;" * 500_000)
    doc = vorn.stringify(table)
    stream = CountingReads(doc)
    assert read_all(stream, 1000) == (table, None)
    assert max(stream.sizes) <= 1000
    bad = doc[:len(doc) // 2] + "?" + doc[len(doc) // 2:]
    assert read_all(io.StringIO(bad), 777) == expected(bad)


@pytest.mark.parametrize("row", [[";" * 5000], ["0;" * 2500, "1"], ["9;"] * 500])
def test_cells_full_of_semicolons(row):
    table = [row] * 40
    doc = vorn.stringify(table)
    for size in (7, 64, 1000):
        assert list(vorn_io.reader(io.StringIO(doc), chunk_size=size)) == table


def test_end_of_input_message_is_the_current_global(monkeypatch):
    monkeypatch.setattr(vorn, "ErrUnexpectedEndOfInput", "cut short")
    for doc in [NARROW + "03ab", SEMIS[:-1], ASTRAL + "15"]:
        assert read_all(io.StringIO(doc), 5) == expected(doc)
        assert expected(doc)[1] == (SyntaxError, ("cut short",))
    monkeypatch.setattr(vorn, "ErrUnexpectedEndOfInput", 404)
    assert read_all(io.StringIO("03ab"), 2) == ([], (SyntaxError, (404,)))
    monkeypatch.delattr(vorn, "ErrUnexpectedEndOfInput")
    # Valid text still reads although pieces of it end inside cells.
    assert read_all(io.StringIO(SEMIS), 3) == (vorn.parse(SEMIS), None)
    assert read_all(io.StringIO(NARROW + "0"), 4) == expected(NARROW + "0")
    assert expected(NARROW + "0")[1][0] is NameError


def test_arguments_and_streams_that_give_neither_text_nor_bytes():
    with pytest.raises(ValueError):
        vorn_io.reader(io.StringIO(";"), chunk_size=0)
    with pytest.raises(TypeError):
        vorn_io.reader(io.StringIO(";"), chunk_size=2.0)
    with pytest.raises(TypeError):
        vorn_io.reader(io.StringIO(";"), 10)
    with pytest.raises(LookupError):
        vorn_io.reader(io.BytesIO(b";"), encoding="no-such-codec")

    class Numbers:
        def read(self, n):
            return 5

    assert read_all(Numbers())[1][0] is TypeError


# --- writer, dump and load ---------------------------------------------------

class Shout:
    def __str__(self):
        return "LOUD;"


def reused_row():
    row = []
    for i in range(5):
        row[:] = [str(i), "x" * i]
        yield row


def tables():
    """Fresh tables each time, some of them one-shot iterators."""
    return [
        [], [[]], [[], []], [[""]], [["a", "bc"], []], [["x;y", SMILE, "\ud800"]],
        [[None, 5, 2.5, ["x"], Shout()]], ["ab"], "ab", [("t", "u"), iter(["g"])],
        [["x" * 9, "x" * 10, "x" * 100, "x" * 1000]], reused_row(),
        (row for row in [["gen"], []]),
    ]


def write_all(table, how):
    out = io.StringIO()
    if how == "writerows":
        vorn_io.writer(out).writerows(table)
    elif how == "writerow":
        w = vorn_io.writer(out)
        for row in table:
            assert w.writerow(row) is None
    else:
        assert vorn_io.dump(table, out) is None
    return out.getvalue()


class OwnIteration(list):
    def __iter__(self):
        return iter([["own"], ["order"]])


@pytest.mark.parametrize("how", ["writerows", "writerow", "dump"])
def test_written_text_is_stringify_of_the_table(how, monkeypatch):
    for table, again in zip(tables(), tables()):
        assert write_all(table, how) == vorn.stringify(again)
    assert write_all(OwnIteration([["x"]]), how) == "03own;05order;"
    monkeypatch.setattr(vorn, "HEX", "ABCDEFGHIJKLMNOP")
    table = [["a" * 12, "b"]] * 3
    assert write_all(table, how) == vorn.stringify(table) == ("B12" + "a" * 12 + "A1b;") * 3


def test_dump_of_no_rows_writes_the_empty_text():
    calls = []

    class Sink:
        def write(self, s):
            calls.append(s)

    vorn_io.dump([], Sink())
    vorn_io.writer(Sink()).writerows(iter([]))
    assert calls == [""]


def test_many_rows_are_written_in_pieces_of_bounded_size():
    table = [[str(i) * (i % 300), ""] for i in range(20_000)]
    table[7000] = ["w" * 1_000_000]
    writes = []

    class Sink:
        def write(self, s):
            writes.append(s)

    for rows in (table, iter(table)):
        writes.clear()
        vorn_io.writer(Sink()).writerows(rows)
        assert "".join(writes) == vorn.stringify(table)
        assert len(writes) > 10
        assert max(map(len, writes)) < 4 * 2**17 + 1_000_020


def test_writing_errors_are_those_of_stringify():
    for bad in (5, [5], [["ok"], None]):
        with pytest.raises(TypeError) as want:
            vorn.stringify(bad)
        for how in ("writerows", "dump"):
            with pytest.raises(TypeError) as got:
                write_all(bad, how)
            assert got.value.args == want.value.args

    class Broken:
        def __str__(self):
            raise ZeroDivisionError("no text")

    with pytest.raises(ZeroDivisionError):
        vorn_io.writer(io.StringIO()).writerow(["a", Broken()])


def test_load_is_parse_and_files_round_trip(tmp_path):
    for doc in VALID + MALFORMED[:12] + [ASTRAL + "15x"]:
        error = expected(doc)[1]
        if error is None:
            assert vorn_io.load(io.StringIO(doc)) == expected(doc)[0]
        else:
            with pytest.raises(SyntaxError) as raised:
                vorn_io.load(io.StringIO(doc))
            assert raised.value.args == error[1]
    table = [[f"row {i};", SMILE * (i % 4), "é\r\n" * (i % 5)] for i in range(5000)]
    path = tmp_path / "t.vorn"
    for encoding in ("utf-8", "utf-16"):
        with open(path, "w", encoding=encoding, newline="") as f:
            vorn_io.dump(table, f)
        assert path.read_text(encoding=encoding, newline="") == vorn.stringify(table)
        with open(path, encoding=encoding, newline="") as f:
            assert list(vorn_io.reader(f, chunk_size=999)) == table
        with open(path, encoding=encoding, newline="") as f:
            assert vorn_io.load(f) == table


# --- property ---------------------------------------------------------------

TEXT = st.text(st.sampled_from("ab;0159fF\n" + SMILE + "\ud83d\ude00é€"), max_size=14)
TABLE = st.lists(st.lists(st.one_of(TEXT, TEXT, texts.cell_texts(surrogates=True)), max_size=4), min_size=1, max_size=8)


@st.composite
def documents(draw):
    doc = vorn.stringify(draw(TABLE))
    damage = draw(st.sampled_from(["none", "cut", "insert", "replace"]))
    if damage == "none" or not doc:
        return doc
    at = draw(st.integers(0, len(doc) - 1))
    char = draw(st.sampled_from(";0aFx9" + SMILE + "\ude00"))
    if damage == "cut":
        return doc[:at]
    if damage == "insert":
        return doc[:at] + char + doc[at:]
    return doc[:at] + char + doc[at + 1:]


@settings(max_examples=400, deadline=None)
@given(documents(), st.integers(1, 40))
def test_reader_matches_parse_on_any_document(doc, size):
    assert read_all(io.StringIO(doc), size) == expected(doc)


@settings(max_examples=150, deadline=None)
@given(TABLE)
def test_writer_output_reads_back(table):
    out = io.StringIO()
    vorn_io.dump(table, out)
    assert out.getvalue() == vorn.stringify(table)
    assert list(vorn_io.reader(io.StringIO(out.getvalue()), chunk_size=5)) == table


# --- types --------------------------------------------------------------------

TYPED = """\
import io
import vorn_io

with open("t.vorn", encoding="utf-8") as f:
    rows: list[list[str]] = list(vorn_io.reader(f, chunk_size=4096))
    table: list[list[str]] = vorn_io.load(f)
out = io.StringIO()
w: vorn_io.Writer = vorn_io.writer(out)
w.writerow(["a", 1, None])
w.writerows(rows)
vorn_io.dump(table, out)
with open("t.vorn", "rb") as b, open("u.vorn", "wb") as o:
    vorn_io.dump(vorn_io.load(b, encoding="utf-8", max_row_size=1 << 20), o)
d = vorn_io.Decoder(max_row_size=None)
fed: list[list[str]] = d.feed("01a;") + d.close()
try:
    d.close()
except vorn_io.DecodeError as e:
    where: int = e.position + e.row
"""

MISTYPED = """\
import io
import vorn_io
vorn_io.reader(b"01a;")
vorn_io.reader(io.StringIO(), 5)
vorn_io.writer(io.StringIO()).writerow(5)
n: int = vorn_io.load(io.StringIO())
vorn_io.dump([["a"]], "out.vorn")
"""


def test_type_checkers_see_the_module(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    (tmp_path / "good.py").write_text(TYPED)
    (tmp_path / "bad.py").write_text(MISTYPED)
    run = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
           "--cache-dir", str(tmp_path / "cache")]
    good = subprocess.run(run + [str(tmp_path / "good.py"), str(ROOT / "python" / "vorn_io")],
                          capture_output=True, text=True, cwd=tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = subprocess.run(run + [str(tmp_path / "bad.py")], capture_output=True, text=True,
                         cwd=tmp_path)
    flagged = {int(line.split(":")[1]) for line in bad.stdout.splitlines() if ": error:" in line}
    assert flagged == set(range(3, MISTYPED.count("\n") + 1)), bad.stdout


def test_pyright_sees_the_module(tmp_path):
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed (its pip package fetches Node.js code on first use)")
    (tmp_path / "good.py").write_text(TYPED)
    (tmp_path / "bad.py").write_text(MISTYPED)
    run = [pyright, "--pythonpath", sys.executable]
    good = subprocess.run(run + ["good.py"], capture_output=True, text=True, cwd=tmp_path)
    assert good.returncode == 0, good.stdout
    bad = subprocess.run(run + ["bad.py"], capture_output=True, text=True, cwd=tmp_path)
    flagged = {int(line.split(":")[1]) for line in bad.stdout.splitlines() if " - error:" in line}
    assert flagged == set(range(3, MISTYPED.count("\n") + 1)), bad.stdout
