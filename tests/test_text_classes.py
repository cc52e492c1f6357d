"""Tables of cells from every UTF-8 length class, every continuation byte
value and lengths past every vector width, drawn by the one generator that
the fuzzer also uses: written and read back by every reader, and split by
the partition pass exactly as parse reads the whole."""

import io
import random

from hypothesis import given, settings
from hypothesis import strategies as st

import texts
import vorn
import vorn_io
from vorn_io import Decoder


def test_the_generator_reaches_every_class_byte_and_length():
    rng = random.Random(7)
    below = rng.randrange
    last, middle, lengths, specials = set(), set(), set(), set()
    for _ in range(4000):
        cell = texts.text(below)
        lengths.add(len(cell))
        specials.update(c for c in cell if c in texts.SPECIAL)
        for c in cell:
            b = c.encode()
            if len(b) > 1:
                last.add((len(b), b[-1]))
                middle.update((len(b), m) for m in b[1:-1])
    values = set(range(0x80, 0xC0))
    for n in (2, 3, 4):
        assert {v for k, v in last if k == n} == values, n
    for n in (3, 4):
        assert {v for k, v in middle if k == n} == values, n
    assert {"\ufeff", "\U0010ffff", "\xbf"} <= specials
    assert 0 in lengths and max(lengths) >= 400
    assert all(any(w - 2 <= n <= w + 2 for n in lengths) for w in (16, 32, 64, 128, 256))


@settings(max_examples=200, deadline=None)
@given(texts.tables(surrogates=True), st.lists(st.integers(0, 3000), max_size=6))
def test_every_reader_gives_back_the_table(table, cuts):
    doc = vorn.stringify(table)
    assert vorn.parse(doc) == table if doc else table == []
    bounds = sorted({min(c, len(doc)) for c in cuts})
    decoder = Decoder()
    rows = []
    for a, b in zip([0] + bounds, bounds + [len(doc)]):
        rows += decoder.feed(doc[a:b])
    assert rows + decoder.close() == table
    data = doc.encode("utf-8", "surrogatepass")
    for size in (1, 61, 1 << 16):
        assert vorn_io.load(io.BytesIO(data), errors="surrogatepass", chunk_size=size) == table
        assert list(vorn_io.reader(io.StringIO(doc, newline=""), chunk_size=size)) == table


@settings(max_examples=300, deadline=None)
@given(texts.tables(max_rows=10), st.integers(1, 700))
def test_partitions_split_as_parse_reads_the_whole(table, size):
    data = vorn.stringify(table).encode()
    ends = [0]
    for row in table:
        ends.append(ends[-1] + len(vorn.stringify([row]).encode()))
    ranges = vorn_io.partitions(io.BytesIO(data), size=size)
    assert ranges[0][0] == 0 and ranges[-1][1] == len(data)
    rows = []
    for (start, end, first), following in zip(ranges, ranges[1:] + [None]):
        assert first == len(rows)
        if following is not None:
            assert following[0] == end == min(e for e in ends if e >= start + size)
        part = data[start:end].decode()
        rows += vorn.parse(part) if part else []
    assert rows == table
