"""vorn_io.Decoder: a document fed in pieces reads as vorn.parse reads it
whole, wherever it is split; DecodeError's attributes; streams of every kind;
hostile callers."""

import io
import os
import re
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import texts
import vorn
import vorn_io
from vorn_io import DecodeError, Decoder

SMILE = "\U0001F600"


def parse_outcome(doc):
    """Rows parse gives and the error (message args) it raises, if any."""
    if doc == "":
        return [], None  # vorn_io reads no text as no rows, where parse refuses it
    try:
        return vorn.parse(doc), None
    except SyntaxError as exc:
        return None, exc.args


def fed(pieces, **kwargs):
    """Rows the decoder gives for the pieces and the error it raises."""
    decoder = Decoder(**kwargs)
    rows = []
    try:
        for piece in pieces:
            rows += decoder.feed(piece)
        rows += decoder.close()
    except DecodeError as exc:
        return rows, exc
    return rows, None


def token_position(args):
    m = re.fullmatch(r"Unexpected token '.' at position ([0-9]+)", args[0], re.DOTALL)
    return int(m.group(1)) if m else None


VALID = [
    "", ";", ";;", "00;", "01a02bc;", "01;;", "2005hello;", "A00000000000;a00000000000;",
    "F0000000000000001x;", "f0000000000000003;;;;", "02" + SMILE + ";", "04" + SMILE * 2 + ";",
    "03a" + SMILE + ";", "01\ud83d01\ude00;", "02\ud83d\ude00;",
    vorn.stringify([["a", "bc"], [], ["x;y", ";;", ""], ["0123456789"], ["é€" * 3]]),
    vorn.stringify([[SMILE * 40] * 3, ["x" * 120], ["ab" + SMILE + "\udfff;"]]),
]
MALFORMED = [
    "0", "0x", "0x;", "x;", ";x;", "01a", "01;", "03ab", "01a;\n", "0-1a;", "g0;", "é;",
    "01" + SMILE + ";", "03" + SMILE * 2 + ";", "02" + SMILE + "x", "02" + SMILE + ";" + SMILE + ";",
    "1" + SMILE + "0;", "02" + SMILE, "03" + SMILE + ";", "09" + SMILE + ";",
    # A non-digit among digits that end the input: the outcome depends on
    # whether the document holds a character from U+10000 up.
    "02" + SMILE + ";1x5", "02" + SMILE + ";15x", "02" + SMILE + ";15", ";1x5", ";15x", "01a;1x",
    "1x5" + SMILE, "1x" + SMILE, "f" + "9" * 16, "0" + SMILE,
]


@pytest.mark.parametrize("doc", VALID + MALFORMED)
def test_every_split_point_reads_as_parse_reads_the_whole(doc):
    want_rows, want_error = parse_outcome(doc)
    for k in range(len(doc) + 1):
        for pieces in ([doc[:k], doc[k:]], [doc[:k], "", doc[k:k + 1], doc[k + 1:]]):
            rows, error = fed(pieces)
            if want_error is None:
                assert (rows, error) == (want_rows, None), k
                continue
            assert error is not None and error.args == want_error, k
            assert isinstance(error, SyntaxError) and isinstance(error, ValueError)
            # The rows before the error came first; the position is the one
            # the message names, or the document's length at its end.
            assert rows == rows_before_error(doc), k
            pos = token_position(want_error)
            u16 = len(doc.encode("utf-16-le", "surrogatepass")) // 2
            assert error.position == (u16 if pos is None else pos), k
            assert error.row == len(rows), k


def rows_before_error(doc):
    """The rows of the longest prefix of doc that parses: a prefix ending in
    ";" parses exactly when that ";" ends a row before any fault."""
    for k in range(len(doc) - 1, -1, -1):
        if doc[k] == ";":
            try:
                return vorn.parse(doc[:k + 1])
            except SyntaxError:
                pass
    return []


def test_one_character_at_a_time_and_the_error_row():
    doc = vorn.stringify([["a", SMILE], [], ["x" * 30]]) + "0?"
    decoder = Decoder()
    rows = []
    with pytest.raises(DecodeError) as info:
        for ch in doc:
            rows += decoder.feed(ch)
    assert rows == [["a", SMILE], [], ["x" * 30]]
    assert info.value.row == 3 and info.value.position == len(doc) + 1 - 1
    assert info.value.args == ("Unexpected token '?' at position %d" % info.value.position,)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.lists(st.one_of(st.text(), texts.cell_texts(surrogates=True)), max_size=4), max_size=6),
       st.lists(st.integers(0, 600), max_size=6),
       st.text(max_size=3))
def test_tables_split_anywhere_round_trip(table, cuts, tail):
    doc = vorn.stringify(table) + tail
    bounds = sorted({min(c, len(doc)) for c in cuts})
    pieces = [doc[a:b] for a, b in zip([0] + bounds, bounds + [len(doc)])]
    want_rows, want_error = parse_outcome(doc)
    rows, error = fed(pieces)
    if want_error is None:
        assert rows == want_rows and error is None
    else:
        assert error is not None and error.args == want_error


def test_the_end_of_input_message_is_the_current_global(monkeypatch):
    monkeypatch.setattr(vorn, "ErrUnexpectedEndOfInput", 404)
    assert fed(["03", "ab"])[1].args == (404,)
    monkeypatch.delattr(vorn, "ErrUnexpectedEndOfInput")
    with pytest.raises(NameError):
        fed(["03ab"])
    assert fed(["01", "a;"]) == ([["a"]], None)


def test_feed_takes_str_only_and_nothing_after_the_end():
    class Text(str):
        pass

    decoder = Decoder()
    assert decoder.feed(Text("01a;0")) == [["a"]]
    assert decoder.position == 5 and decoder.rows == 1 and decoder.row_open
    for wrong in (b"01a;", bytearray(b";"), None, 5):
        with pytest.raises(TypeError, match="takes str"):
            decoder.feed(wrong)
    assert decoder.feed("0;") == [[""]]
    assert decoder.close() == []
    with pytest.raises(ValueError, match="after the decoder was closed"):
        decoder.feed(";")
    with pytest.raises(ValueError, match="after the decoder was closed"):
        decoder.close()
    with pytest.raises(TypeError):
        Decoder(5)
    with pytest.raises(ValueError):
        Decoder(max_row_size=-1)
    with pytest.raises(TypeError):
        Decoder(max_row_size="10")


def test_rows_before_an_error_in_the_same_piece_are_returned_first():
    decoder = Decoder()
    assert decoder.feed("01a;01b;x") == [["a"], ["b"]]
    with pytest.raises(DecodeError) as info:
        decoder.feed(";")
    assert info.value.args == ("Unexpected token 'x' at position 8",) and info.value.row == 2
    with pytest.raises(ValueError):
        decoder.feed(";")


def test_max_row_size_refuses_before_taking_memory():
    # A declared length of nearly 10**16 is refused from its prefix alone.
    rows, error = fed(["01a;", "f9999999999999999", "x" * 10], max_row_size=1000)
    assert rows == [["a"]] and error.row == 1 and error.position == 4
    assert "max_row_size" in error.args[0]
    table = [["x" * 10] * 3, ["y" * 40]]
    doc = vorn.stringify(table)
    rows, error = fed([doc], max_row_size=3 * 13 + 1)
    assert rows == table[:1] and (error.row, error.position) == (1, 40)
    assert error.args == ("Row 1 is longer than max_row_size (40 characters) at position 40",)
    assert fed([doc[:7], doc[7:]], max_row_size=44) == (table, None)
    # Empty cells count their prefixes, so a row of them is bounded too.
    assert fed(["00" * 1000 + ";"], max_row_size=100)[1].position == 98


def test_a_cell_spread_over_many_pieces_is_whole_and_exact():
    cell = ("ab" + SMILE + "é€") * 5000
    doc = vorn.stringify([[cell, "z"]])
    pieces = [doc[k:k + 97] for k in range(0, len(doc), 97)]
    assert fed(pieces) == ([[cell, "z"]], None)


# --- streams ------------------------------------------------------------------

TABLE = [["a\r\nb", "c\rd"], [SMILE + "é€", "x;" * 20], [], [""]]
DOC = vorn.stringify(TABLE)


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16-le", "utf-16", "utf-32-be", "latin-1"])
@pytest.mark.parametrize("size", [1, 2, 3, 5, 64, 1 << 16])
def test_binary_streams_are_decoded_incrementally(encoding, size):
    table = TABLE if encoding != "latin-1" else [["a\r\nb", "é"], []]
    data = vorn.stringify(table).encode(encoding)
    assert list(vorn_io.reader(io.BytesIO(data), encoding=encoding, chunk_size=size)) == table
    assert vorn_io.load(io.BytesIO(data), encoding=encoding, chunk_size=size) == table


def test_bad_bytes_and_errors_handler():
    data = b"03a\xffb;"
    with pytest.raises(UnicodeDecodeError):
        vorn_io.load(io.BytesIO(data))
    assert vorn_io.load(io.BytesIO(data), errors="replace") == [["a\ufffdb"]]


def test_files_in_every_mode(tmp_path):
    path = tmp_path / "t.vorn"
    with open(path, "w", encoding="utf-8", newline="") as f:
        vorn_io.dump(TABLE, f)
    assert path.read_bytes() == DOC.encode()
    with open(path, "wb") as f:
        vorn_io.dump(TABLE, f)
    assert path.read_bytes() == DOC.encode()
    with open(path, "rb") as f:
        assert vorn_io.load(f) == TABLE
    with open(path, "rb", buffering=0) as f:
        assert list(vorn_io.reader(f, chunk_size=3)) == TABLE
    with open(path, encoding="utf-8", newline="") as f:
        assert vorn_io.load(f) == TABLE


@pytest.mark.parametrize("table", [TABLE, [["a\r\nb"], ["c"], ["d"]], [["a\rb"], []]])
def test_text_streams_that_translate_line_breaks_are_refused(tmp_path, table):
    import gzip

    path = tmp_path / "t.vorn"
    path.write_bytes(vorn.stringify(table).encode())
    for size in (1, 4, 1 << 18):
        with open(path, encoding="utf-8") as f, pytest.raises(ValueError, match='newline=""'):
            list(vorn_io.reader(f, chunk_size=size))
    with open(path, encoding="utf-8") as f, pytest.raises(ValueError, match="binary mode"):
        vorn_io.load(f)
    gz = tmp_path / "t.vorn.gz"
    gz.write_bytes(gzip.compress(path.read_bytes()))
    with gzip.open(gz, "rt", encoding="utf-8") as f, pytest.raises(ValueError):
        vorn_io.load(f)
    with gzip.open(gz, "rb") as f:
        assert vorn_io.load(f) == table


def test_a_pipe_gives_each_row_as_soon_as_it_is_complete():
    r, w = os.pipe()
    got = []
    first_row_read = threading.Event()

    def produce():
        with os.fdopen(w, "wb") as out:
            out.write(b"01a;")
            out.flush()
            # The second row is written only after the first has been read:
            # a reader that waited for a full chunk would never see it.
            first_row_read.wait(10)
            out.write(b"01b;")

    thread = threading.Thread(target=produce)
    thread.start()
    with os.fdopen(r, "rb") as source:
        for row in vorn_io.reader(source):
            got.append(row)
            first_row_read.set()
    thread.join()
    assert got == [["a"], ["b"]]


# --- writing --------------------------------------------------------------------

def test_writing_follows_a_table_that_changes_while_it_is_written():
    for make in (list, tuple):
        def table_of():
            table = []

            class Grow:
                def __str__(self):
                    if isinstance(table, list):
                        table.append(["late"])
                        del table[1]
                    return "g"

            table.extend([["a", Grow()], ["b"], ["c"], ["d"]])
            return table

        want = vorn.stringify(table_of())
        out = io.StringIO()
        vorn_io.dump(table_of(), out)
        assert out.getvalue() == want == "01a01g;01c;01d;04late;"
        out = io.StringIO()
        vorn_io.writer(out).writerows(table_of())
        assert out.getvalue() == want
        if make is tuple:
            break


def test_an_iterator_that_yields_again_after_it_ended_is_walked_once():
    class Stubborn:
        def __init__(self):
            self.calls = 0

        def __iter__(self):
            return self

        def __next__(self):
            self.calls += 1
            if self.calls == 3:
                raise StopIteration
            return ["r%d" % self.calls]

    want = vorn.stringify(Stubborn())
    out = io.StringIO()
    vorn_io.dump(Stubborn(), out)
    assert out.getvalue() == want == "02r1;02r2;"


def test_binary_writers_encode():
    out = io.BytesIO()
    w = vorn_io.writer(out, encoding="utf-16-le")
    w.writerow(["é", SMILE])
    w.writerows([[1, None]])
    assert out.getvalue().decode("utf-16-le") == vorn.stringify([["é", SMILE], [1, None]])
    with pytest.raises(UnicodeEncodeError):
        vorn_io.dump([["\ud800"]], io.BytesIO())
    out = io.BytesIO()
    vorn_io.dump([["\ud800"]], out, errors="surrogatepass")
    assert vorn_io.load(io.BytesIO(out.getvalue()), errors="surrogatepass") == [["\ud800"]]
