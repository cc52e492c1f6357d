"""The benchmark tables, defined once: seeded generators of lists of rows.

``load("name")`` gives a table at its standard size and ``load("name@MB")``
scales its rows so that the VORN document comes to about MB megabytes
(UTF-8). Built tables are kept in build/bench-tables/ (marshal, keyed by this
file's text), so a worker process loads one in a fraction of a second instead
of generating it. Cells are cut from a large random pool, so no two cells are
the same object (apart from the interpreter's shared empty and one-character
strings) and pickle and marshal get no help from repeated objects.

The ASCII alphabet has letters, digits, space and ``.-_:;/``: no quote,
backslash, comma or line break, so JSON and CSV take their fast paths with
nothing to escape. That favours the peers, not VORN, which never looks inside
a cell.
"""

import hashlib
import marshal
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(os.path.dirname(HERE), "build", "bench-tables")
UNICODE_DATA = "/usr/share/unicode/UnicodeData.txt"

ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .-_:;/"
LATIN1 = "".join(chr(c) for c in range(0xC0, 0x100) if c not in (0xD7, 0xF7))
CJK = "".join(chr(c) for c in range(0x4E00, 0x9FA6, 7))
EMOJI = "".join(chr(c) for c in range(0x1F600, 0x1F650))


def _pool(rng, main=ASCII, share=1.0, size=1 << 20):
    """size characters: a share of them from main, the rest ASCII."""
    weights = [share / len(main)] * len(main) + [(1 - share) / len(ASCII)] * len(ASCII)
    return "".join(rng.choices(main + ASCII, weights=weights, k=size))


def _cells(rng, pools, count, lo, hi):
    """count cells of lo..hi code points, each cut from a pool chosen at random."""
    rnd, out = rng.random, []
    for _ in range(count):
        pool = pools[int(rnd() * len(pools))]
        n = lo + int(rnd() * (hi - lo + 1))
        o = int(rnd() * (len(pool) - hi - 1))
        out.append(pool[o:o + n])
    return out


def _grid(cells, width):
    return [cells[i:i + width] for i in range(0, len(cells), width)]


def _short(rows, seed, pools=None, lo=1, hi=12, width=10):
    rng = random.Random(seed)
    return _grid(_cells(rng, [_pool(rng, *p) for p in pools or [()]], rows * width, lo, hi), width)


# name: (generator taking rows, standard rows, description)
STANDARD = {
    "short_ascii": (lambda n: _short(n, 1), 50_000, "10 cells of 1 to 12 ASCII characters a row"),
    "latin1": (lambda n: _short(n, 2, [(), (LATIN1, 0.35)]), 50_000,
               "the same, half the cells with about a third accented Latin-1 letters"),
    "bmp_cjk": (lambda n: _short(n, 3, [(), (CJK, 0.85), (CJK, 0.85), (CJK, 0.85)]), 50_000,
                "the same, three quarters of the cells mostly CJK ideographs (two bytes a character)"),
    "astral": (lambda n: _short(n, 4, [(), (EMOJI, 0.35)]), 50_000,
               "the same, half the cells with about a third emoji (four bytes a character)"),
    "long": (lambda n: _short(n, 5, [(ASCII, 1.0, 1 << 22)], 2_000, 20_000, 5), 500,
             "5 cells of 2 000 to 20 000 ASCII characters a row"),
    "unicodedata": (lambda n: _unicodedata(), None, "UnicodeData.txt split on lines and ';' (15 cells a row)"),
}


def _unicodedata():
    if os.path.exists(UNICODE_DATA):
        with open(UNICODE_DATA, encoding="utf-8") as f:
            return [line.split(";") for line in f.read().splitlines()]
    # A stand-in of the same shape: mostly short fields, many empty, a long name.
    rng = random.Random(6)
    words = ["LATIN", "SMALL", "CAPITAL", "LETTER", "WITH", "ACUTE", "CJK", "DIGIT", "SIGN", "MARK"]
    return [[f"{cp:04X}", " ".join(rng.choices(words, k=rng.randint(1, 6))), rng.choice(["Lu", "Ll", "Mn"]),
             "0", "L", "", "", "", "", "N", "", "", f"{cp + 1:04X}" if rng.random() < 0.3 else "", "", ""]
            for cp in range(0, 0x30000, 7)]


NPM_LIST = "/work/.library/env/packages/npm.tsv"


def _npm_list():
    if os.path.exists(NPM_LIST):
        with open(NPM_LIST, encoding="utf-8", newline="") as f:
            return [line.rstrip("\n").split("\t") for line in f][1:]
    # A stand-in of the same shape where the list is not shipped.
    rng = random.Random(24)
    pool = _pool(rng, ASCII, 1.0)
    mixed = _pool(rng, CJK + LATIN1 + EMOJI, 0.05)
    return [[pool[i % 1000:i % 1000 + 12], "1.0.%d" % (i % 40), str(rng.randrange(10**6)),
             mixed[i % 5000:i % 5000 + rng.randrange(80)]] for i in range(200_000)]


def _late(seed, char, back):
    """Short ASCII rows with one wide character in the cell `back` rows from the end."""
    t = _short(200_000, seed)
    t[-back][-1] += char
    return t


def _csv_mixed():
    """Rows like a parsed CSV file with its numbers converted."""
    rng = random.Random(21)
    words = _cells(rng, [_pool(rng)], 200_000, 3, 14)
    pick = rng.choice
    return [[i, pick(words), pick(words), round(rng.random() * 1000, 2), rng.randrange(1000),
             None if rng.random() < 0.6 else round(rng.random(), 3), pick(words)[:6], 1990 + rng.randrange(35)]
            for i in range(200_000)]


def _sparse_none():
    t, rng = _short(200_000, 22), random.Random(23)
    for row in t:
        row[rng.randrange(len(row))] = None
    return t


# Tables that stress a one-pass writer: a wide character after the width was
# chosen, text the size estimate does not see, a cell larger than any
# estimate, results on either side of the 32 MiB up to which glibc reuses
# freed blocks, and cells that are not str.
WRITER = {
    "late_wide_last": (lambda: _late(11, "\U0001F600", 1), "short_ascii, an emoji in the last cell"),
    "late_wide_unsampled": (lambda: _late(12, "\U0001F600", 2),
                            "the emoji in the row before the last, which the size estimate skips"),
    "late_bmp_unsampled": (lambda: _late(13, "\u4e2d", 2), "the same with a CJK character (two-byte result)"),
    "short_then_long": (lambda: _short(100_000, 14) + _short(10_000, 15, [(ASCII, 1.0, 1 << 22)], 200, 2_000),
                        "100 000 rows of short cells, then 10 000 rows of 200 to 2 000 characters"),
    "huge_cell": (lambda: [[(_pool(random.Random(16)) * 96)[:100_000_000]]], "one cell of 10^8 characters"),
    "huge_cell_10mb": (lambda: [[(_pool(random.Random(16)) * 10)[:10_000_000]]], "one cell of 10^7 characters"),
    "long_10mb": (lambda: _short(200, 5, [(ASCII, 1.0, 1 << 22)], 2_000, 20_000, 5), "long with 200 rows"),
    "empty_cells": (lambda: [[""] * 1_000_000], "one row of 10^6 empty cells"),
    "csv_mixed": (_csv_mixed, "200 000 rows of 8: int, str, str, float, int, None or float, str, int"),
    "sparse_none": (_sparse_none, "short_ascii, one cell in ten None"),
    "npm_list": (lambda: _npm_list(), "the npm package list shipped on this machine (name, version, downloads, "
                 "summary): real text, mostly ASCII with some of every script"),
    # One ";" in 68 characters: the streaming reader most often meets a ";"
    # that lies inside a cell.
    "mid_semicolons": (lambda: _short(20_000, 7, None, 20, 500, 5), "5 cells of 20 to 500 ASCII characters a row"),
}


def describe(name):
    base = name.partition("@")[0]
    return STANDARD[base][2] if base in STANDARD else WRITER[base][1]


def document_bytes(table):
    """UTF-8 size of the table's VORN document, without the codec."""
    total = len(table)
    for row in table:
        for cell in row:
            cell = str(cell)
            u16 = len(cell) if cell.isascii() else len(cell.encode("utf-16-le", "surrogatepass")) // 2
            total += 1 + len(str(u16)) + len(cell.encode("utf-8", "surrogatepass"))
    return total


def build(label):
    """The table labelled "name", or "name@MB" for a standard table scaled
    to a document of about MB megabytes."""
    name, _, mb = label.partition("@")
    if name in WRITER and not mb:
        return WRITER[name][0]()
    if name not in STANDARD or (mb and STANDARD[name][1] is None):
        raise KeyError(f"unknown table {label!r}; known: {', '.join([*STANDARD, *WRITER])}")
    gen, rows, _ = STANDARD[name]
    if mb:
        sample = gen(20 if name == "long" else 2_000)
        rows = max(1, round(float(mb) * 1e6 / (document_bytes(sample) / len(sample))))
    return gen(rows)


def load(label):
    """build(label), from the cache when this file has not changed since."""
    with open(__file__, "rb") as f:
        key = hashlib.sha1(f.read()).hexdigest()[:10]
    path = os.path.join(CACHE, f"{label}-{key}.marshal")
    try:
        # Read as marshal goes, not into one block: freeing a block of the
        # document's size would raise the C allocator's mapping threshold and
        # spare every codec the page faults it meets in a program of its own.
        with open(path, "rb") as f:
            return marshal.load(f)
    except OSError:
        pass
    table = build(label)
    os.makedirs(CACHE, exist_ok=True)
    with open(path + ".tmp", "wb") as f:
        marshal.dump(table, f)
    os.replace(path + ".tmp", path)
    return table


def document_mb(label):
    """The UTF-8 size in MB of the table's document, kept beside the table."""
    with open(__file__, "rb") as f:
        key = hashlib.sha1(f.read()).hexdigest()[:10]
    path = os.path.join(CACHE, f"{label}-{key}.mb")
    try:
        with open(path, encoding="ascii") as f:
            return float(f.read())
    except (OSError, ValueError):
        pass
    mb = round(document_bytes(load(label)) / 1e6, 3)
    os.makedirs(CACHE, exist_ok=True)
    with open(path + ".tmp", "w", encoding="ascii") as f:
        f.write(repr(mb))
    os.replace(path + ".tmp", path)
    return mb
