import builtins
import gc
import sys
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

import vorn
import texts
from model import parse_model, stringify_model

END = "Unexpected end of input"
E = "\U0001f600"
HI, LO = "\ud83d", "\ude00"


def tok(ch, pos):
    return ("tok", ch, pos)


def u16(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def outcome(text):
    try:
        return "ok", vorn.parse(text)
    except SyntaxError as exc:
        assert type(exc) is SyntaxError and exc.filename is None and exc.lineno is None
        return "err", exc.args


def outcome_of_model(text):
    try:
        return "ok", parse_model(text)
    except SyntaxError as exc:
        return "err", exc.args


# (document, outcome, outcome when the whole input is held with 4 bytes per
# code point if it differs). Positions are UTF-16 offsets within the document.
CASES = [
    (";", [[]]), (";;", [[], []]), ("00;", [[""]]), ("01a02bc;", [["a", "bc"]]),
    ("01;;", [[";"]]), ("2005hello;", [["hello"]]), ("01a;01b;", [["a"], ["b"]]),
    ("A00000000000;", [[""]]), ("a00000000000;", [[""]]),
    ("9" + "0" * 9 + "1q;", [["q"]]), ("e" + "0" * 14 + "1z;", [["z"]]),
    ("F" + "0" * 15 + "1x;", [["x"]]), ("f" + "0" * 15 + "19;", [["9"]]),
    ("f" + "0" * 16 + "00;", [["", ""]]),
    ("01é;", [["é"]]), ("01€;", [["€"]]), ("01\ud800;", [["\ud800"]]),
    ("03a\udc00b;", [["a\udc00b"]]), ("02" + HI + LO + ";", [[HI + LO]]),
    ("02" + E + ";", [[E]]), ("04" + E + E + ";", [[E + E]]), ("03a" + E + ";", [["a" + E]]),
    ("05" + E + ";" + E + ";", [[E + ";" + E]]),
    ("03abc", END), ("01;", END), ("01a", END), ("03ab", END), ("0", END),
    ("0x", END, tok("x", 1)), ("1x5", END, tok("x", 1)), ("15x", END, tok("x", 2)),
    ("15", END), ("f", END), ("f" + "9" * 15, END), ("f" + "9" * 16, END),
    ("f" + "9" * 16 + ";", END), ("F" + "9" * 16 + "ab;", END),
    ("0x;", tok("x", 1)), ("x;", tok("x", 0)), (";x;", tok("x", 1)), ("g0;", tok("g", 0)),
    ("G0;", tok("G", 0)), ("01a;\n", tok("\n", 4)), ("0-1a;", tok("-", 1)),
    ("10a;", tok("a", 2)), ("é;", tok("é", 0)), ("€;", tok("€", 0)), ("';", tok("'", 0)),
    ("0';", tok("'", 1)), ("\ud800;", tok("\ud800", 0)), ("0\udc00;", tok("\udc00", 1)),
    ("01a;0x;", tok("x", 5)), ("01ā;0x;", tok("x", 5)), ("0\u0661a;", tok("\u0661", 1)),
    ("\u013b;", tok("\u013b", 0)), ("0\u0131a;", tok("\u0131", 1)), ("\u0141;", tok("\u0141", 0)),
    ("\U0001003b;", tok("\U0001003b", 0)), ("0\U00010031a;", tok("\U00010031", 1)),
    ("\U00010041;", tok("\U00010041", 0)),
    ("01" + E + ";", tok(LO, 3)), ("03" + E + E + ";", tok(LO, 5)),
    ("01\U0010ffff;", tok("\udfff", 3)), ("01" + HI + LO + ";", tok(LO, 3)),
    ("02" + E + "x", tok("x", 4)), ("02" + E + ";" + E + ";", tok(E, 5)),
    ("1" + E + "0;", tok(E, 1)), ("02" + E + ";02" + E + ";x;", tok("x", 10)),
    ("02" + E, END), ("03" + E + ";", END), ("09" + E + ";", END),
]

# Complete rows put in front of a document to hold it in each storage width.
PREFIXES = {"ascii": "", "latin1": "01é;", "ucs2": "01ā;", "ucs4": "02" + E + ";"}


@pytest.mark.parametrize("width", PREFIXES)
@pytest.mark.parametrize("case", CASES, ids=lambda c: ascii(c[0])[:24])
def test_documents(case, width):
    doc, expected, wide = (*case, None)[:3]
    prefix = PREFIXES[width]
    text = prefix + doc
    if wide is not None and max(map(ord, text)) > 0xFFFF:
        expected = wide
    got = outcome(text)
    if isinstance(expected, list):
        head = [[prefix[2:-1]]] if prefix else []
        assert got == ("ok", head + expected)
        assert all(type(cell) is str for row in got[1] for cell in row)
    elif expected == END:
        assert got == ("err", (END,))
    else:
        pos = expected[2] + u16(prefix)
        assert got == ("err", (f"Unexpected token '{expected[1]}' at position {pos}",))
    assert outcome(text) == outcome_of_model(text)


def test_empty_input():
    assert outcome("") == ("err", (END,))


@pytest.mark.parametrize("cell", ["", "x" * 7, E * 7, ("a" + E) * 6, E * 20 + "b", "\ud83d" * 9 + E * 9])
@pytest.mark.parametrize("delta", [-1, 0, 1])
def test_declared_length_around_payload_end(cell, delta):
    # Lengths that end just before, at or after the payload, across runs of
    # wide code points longer than the scanner's block of eight.
    length = u16(cell) + delta
    if length < 0:
        return
    for tail in [";", ";;", "00;"]:
        text = "02" + E + ";" + f"{len(str(length)) - 1:x}{length}" + cell + tail
        assert outcome(text) == outcome_of_model(text)


@pytest.mark.parametrize("value", ["Truncated!", "", 42, None, ("a", ("f", 1, 2, "x"))])
@pytest.mark.parametrize("doc", ["", "0", "03ab", "02" + E, "02" + E + ";15"])
def test_end_message_follows_global(monkeypatch, value, doc):
    monkeypatch.setattr(vorn, "ErrUnexpectedEndOfInput", value)
    with pytest.raises(SyntaxError) as info:
        vorn.parse(doc)
    assert info.value.args == (value,)
    # Token reports do not depend on it.
    assert outcome(doc + "x;;") == outcome_of_model(doc + "x;;")


@pytest.mark.parametrize("doc", ["", "0", "03ab", "02" + E])
def test_end_message_deleted(monkeypatch, doc):
    monkeypatch.delattr(vorn, "ErrUnexpectedEndOfInput")
    with pytest.raises(NameError, match="^name 'ErrUnexpectedEndOfInput' is not defined$"):
        vorn.parse(doc)
    assert vorn.parse("00;") == [[""]]
    monkeypatch.setattr(builtins, "ErrUnexpectedEndOfInput", "from builtins", raising=False)
    with pytest.raises(SyntaxError) as info:
        vorn.parse(doc)
    assert info.value.args == ("from builtins",)


def test_syntax_error_name_is_not_looked_up(monkeypatch):
    real = SyntaxError
    monkeypatch.setattr(builtins, "SyntaxError", ValueError)
    monkeypatch.setattr(vorn, "SyntaxError", KeyError, raising=False)
    for doc in ["", "x;"]:
        with pytest.raises(real) as info:
            vorn.parse(doc)
        assert type(info.value) is real


def test_results_are_fresh():
    doc = "01a02bc;;" + "01x;" * 3
    first, second = vorn.parse(doc), vorn.parse(doc)
    assert first == second and first is not second
    assert all(a is not b for a, b in zip(first, second))
    assert len({id(row) for row in first}) == len(first)
    first[0].append("z")
    assert vorn.parse(doc)[0] == ["a", "bc"]
    big = "9" + "0" * 7 + "100" + "q" * 100 + ";"
    assert vorn.parse(big) == [[big[11:-1]]]


@pytest.mark.parametrize("prefix", PREFIXES.values())
@pytest.mark.parametrize("doc", ["01a02bc;;", "01a02bc;0x", "03a", "00" * 40 + "x", "02" + E + "x"])
def test_input_reference_count_unchanged(prefix, doc):
    text = (prefix + doc + "!")[:-1]  # a string of this test's own
    before = sys.getrefcount(text)
    for _ in range(3):
        try:
            vorn.parse(text)
        except SyntaxError:
            pass
    assert sys.getrefcount(text) == before


def test_repeated_calls_do_not_grow_memory():
    docs = [p + d for p in PREFIXES.values() for d in [
        "01a02bc;;", "01a02bc;01dx", "00" * 40 + ";" + "00" * 40 + "0", "03ab", "01" + E + ";",
        "0x;", "\ud800;", "05h" + "\u20ac" * 4 + ";", "1x5", "f" + "9" * 16,
    ]] + [""]

    def run(times):
        for _ in range(times):
            for doc in docs:
                try:
                    vorn.parse(doc)
                except SyntaxError:
                    pass

    run(100)
    gc.collect()
    tracemalloc.start()
    try:
        run(10)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        run(3000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 16_384


@pytest.mark.parametrize("char", ["a", "\xe9", "\u0101", E])
def test_large_inputs(char):
    filler = stringify_model([[char * 8]]) * (2**20 // 12)
    for tail, expected in [("0", END), ("f" + "9" * 15, END), ("15", END), ("1x5", None)]:
        text = filler + tail
        with pytest.raises(SyntaxError) as info:
            vorn.parse(text)
        if expected is None:  # digits that end the input are read only when held wide
            wide = char == E
            expected = f"Unexpected token 'x' at position {u16(filler) + 1}" if wide else END
        assert info.value.args == (expected,)
    cell = char * 10**6
    doc = stringify_model([[cell]])
    assert vorn.parse(doc) == [[cell]]
    if char == E:
        short = "6" + str(2 * 10**6 - 1) + cell + ";"
        with pytest.raises(SyntaxError, match=f"^Unexpected token '{LO}' at position {2 * 10**6 + 7}$"):
            vorn.parse(short)


def test_million_empty_rows():
    rows = vorn.parse(";" * 10**6)
    assert len(rows) == 10**6 and all(row == [] for row in rows)
    assert len({id(row) for row in rows}) == 10**6


CHARS = list("0123456789abcdefABCDEF;;;;00001111gx") + ["é", "€", E, "\ud800", "\udc00", HI, LO]
CELL_CHARS = list("09af;x") + ["é", "€", E, "\ud800", LO]


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.sampled_from(CHARS), max_size=24).map("".join))
def test_matches_model_on_random_text(text):
    assert outcome(text) == outcome_of_model(text)


CELLS = st.lists(st.sampled_from(CELL_CHARS), max_size=12).map("".join)
tables = st.lists(st.lists(st.one_of(CELLS, CELLS, texts.cell_texts(surrogates=True)), max_size=3),
                  min_size=1, max_size=4)


@settings(max_examples=1000, deadline=None)
@given(tables, st.sampled_from(["0123456789abcdef", "0123456789ABCDEF"]), st.data())
def test_matches_model_on_mutated_documents(table, hex_digits, data):
    doc = stringify_model(table, hex_digits=hex_digits)
    assert vorn.parse(doc) == table
    k = data.draw(st.integers(0, len(doc)))
    ch = data.draw(st.sampled_from(CHARS))
    op = data.draw(st.sampled_from(["delete", "insert", "replace", "truncate"]))
    text = {
        "delete": doc[:k] + doc[k + 1:],
        "insert": doc[:k] + ch + doc[k:],
        "replace": doc[:k] + ch + doc[k + 1:],
        "truncate": doc[:k],
    }[op]
    assert outcome(text) == outcome_of_model(text)
