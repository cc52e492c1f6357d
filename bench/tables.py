"""The benchmark tables: deterministic, seeded generators of lists of lists
of str.

Every table has a name; ``make(name)`` builds it at its standard size and
``make("name@MB")`` scales the number of rows so that the VORN document comes
to about MB megabytes (UTF-8). Cells are cut from a large random pool, so no
two cells are the same object (apart from the interpreter's shared empty and
one-character strings); serializers that memoise repeated objects (pickle,
marshal) get no unfair help from the generator.

The ASCII alphabet holds letters, digits, space and ``.-_:;/``: no quote,
backslash, comma or line break, so JSON and CSV take their fast paths with
nothing to escape or quote. This favours the peers, not VORN, which never
looks inside a payload.
"""

import os
import random

UNICODE_DATA = "/usr/share/unicode/UnicodeData.txt"

ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .-_:;/"
# Accented letters of Latin-1 (the multiplication and division signs left out).
LATIN1 = "".join(chr(c) for c in range(0xC0, 0x100) if c not in (0xD7, 0xF7))
CJK = "".join(chr(c) for c in range(0x4E00, 0x9FA6, 7))
EMOJI = "".join(chr(c) for c in range(0x1F600, 0x1F650))

POOL_SIZE = 1 << 20


def _pool(rng, alphabet, size=POOL_SIZE):
    return "".join(rng.choices(alphabet, k=size))


def _mixed_pool(rng, main, share, size=POOL_SIZE):
    """A pool in which a fraction share of the characters come from main and
    the rest from ASCII."""
    weights = [share / len(main)] * len(main) + [(1 - share) / len(ASCII)] * len(ASCII)
    return "".join(rng.choices(main + ASCII, weights=weights, k=size))


def _cells(rng, pools, shares, count, lo, hi):
    """count cells of lo..hi code points, each cut from one of pools, the
    pool chosen with the probabilities in shares (cumulative)."""
    rnd = rng.random
    span = hi - lo + 1
    room = [len(p) - hi - 1 for p in pools]
    out = []
    append = out.append
    last = len(pools) - 1
    for _ in range(count):
        u = rnd()
        k = 0
        while k < last and u >= shares[k]:
            k += 1
        n = lo + int(rnd() * span)
        o = int(rnd() * room[k])
        append(pools[k][o:o + n])
    return out


def _grid(cells, width):
    return [cells[i:i + width] for i in range(0, len(cells), width)]


def short_ascii(rows=200_000, seed=1):
    """rows x 10 cells of 1 to 12 ASCII characters."""
    rng = random.Random(seed)
    pool = _pool(rng, ASCII)
    return _grid(_cells(rng, [pool], [1.0], rows * 10, 1, 12), 10)


def latin1(rows=200_000, seed=2):
    """rows x 10 cells of 1 to 12 characters: half are plain ASCII, half are
    ASCII with about a third accented Latin-1 letters. One byte per character
    in memory, but not ASCII."""
    rng = random.Random(seed)
    pools = [_pool(rng, ASCII), _mixed_pool(rng, LATIN1, 0.35)]
    return _grid(_cells(rng, pools, [0.5, 1.0], rows * 10, 1, 12), 10)


def bmp_cjk(rows=200_000, seed=3):
    """rows x 10 cells of 1 to 12 characters: a quarter plain ASCII (codes,
    numbers), the rest mostly CJK ideographs. Two bytes per character."""
    rng = random.Random(seed)
    pools = [_pool(rng, ASCII), _mixed_pool(rng, CJK, 0.85)]
    return _grid(_cells(rng, pools, [0.25, 1.0], rows * 10, 1, 12), 10)


def astral(rows=200_000, seed=4):
    """rows x 10 cells of 1 to 12 code points: half plain ASCII, half ASCII
    mixed with emoji (U+1F600 and up) at about one in three. Four bytes per
    character; every emoji is two UTF-16 code units."""
    rng = random.Random(seed)
    pools = [_pool(rng, ASCII), _mixed_pool(rng, EMOJI, 0.35)]
    return _grid(_cells(rng, pools, [0.5, 1.0], rows * 10, 1, 12), 10)


def long(rows=2_000, seed=5):
    """rows x 5 cells of 2 000 to 20 000 ASCII characters."""
    rng = random.Random(seed)
    pool = _pool(rng, ASCII, size=4 * POOL_SIZE)
    return _grid(_cells(rng, [pool], [1.0], rows * 5, 2_000, 20_000), 5)


def _synthetic_unicode_data(seed=6):
    """A stand-in with the shape of UnicodeData.txt: about 35 000 rows of 15
    fields, mostly short, many empty, one a long upper-case name."""
    rng = random.Random(seed)
    words = ["LATIN", "SMALL", "CAPITAL", "LETTER", "WITH", "ACUTE", "CJK", "IDEOGRAPH",
             "DIGIT", "SIGN", "MARK", "COMBINING", "ARABIC", "GREEK", "SYMBOL", "HANGUL"]
    cats = ["Lu", "Ll", "Lo", "Mn", "Nd", "So", "Sm", "Cc", "Po"]
    rows = []
    for cp in range(0, 0x30000, 7):
        name = " ".join(rng.choice(words) for _ in range(rng.randint(1, 6)))
        rows.append([
            f"{cp:04X}", name, rng.choice(cats), str(rng.choice((0, 0, 0, 230))),
            rng.choice(("L", "R", "ON", "NSM", "EN")), "", "", "", "",
            rng.choice(("N", "Y")), "", "", f"{cp + 1:04X}" if rng.random() < 0.3 else "", "", "",
        ])
    return rows


def unicodedata(rows=None, seed=None):
    """Debian's UnicodeData.txt split into lines and each line on ";" (15
    fields a line). Falls back to a synthetic stand-in when the file is
    missing; stand_in() tells which one was used."""
    if os.path.exists(UNICODE_DATA):
        with open(UNICODE_DATA, encoding="utf-8") as f:
            table = [line.split(";") for line in f.read().splitlines()]
    else:
        table = _synthetic_unicode_data()
    if rows is not None:
        # Repeat the file up to the requested number of rows, each repeat
        # made of fresh string objects.
        base, table = table, []
        while len(table) < rows:
            table.extend([[cell.encode().decode() for cell in row] for row in base[: rows - len(table)]])
    return table


def stand_in():
    """A note when unicodedata() gives the synthetic stand-in, else None."""
    if os.path.exists(UNICODE_DATA):
        return None
    return (f"{UNICODE_DATA} is missing (apt-get install unicode-data); "
            "the 'unicodedata' table is a synthetic stand-in")


GENERATORS = {
    "short_ascii": short_ascii,
    "latin1": latin1,
    "bmp_cjk": bmp_cjk,
    "astral": astral,
    "long": long,
    "unicodedata": unicodedata,
}

STANDARD = list(GENERATORS)


def document_bytes(table):
    """Size in bytes of the table's canonical VORN document in UTF-8,
    computed without the codec."""
    total = 0
    for row in table:
        for cell in row:
            u16 = len(cell) + sum(1 for ch in cell if ord(ch) > 0xFFFF) if not cell.isascii() else len(cell)
            total += 1 + len(str(u16)) + len(cell.encode("utf-8", "surrogatepass"))
        total += 1
    return total


def make(spec):
    """The table named by spec: "name" at its standard size, or "name@MB"
    with its rows scaled so that the document is about MB megabytes."""
    name, _, mb = spec.partition("@")
    if name not in GENERATORS:
        raise KeyError(f"unknown table {name!r}; known: {', '.join(GENERATORS)}")
    gen = GENERATORS[name]
    if not mb:
        return gen()
    target = float(mb) * 1e6
    sample = gen(rows=50 if name == "long" else 2_000)
    per_row = document_bytes(sample) / len(sample)
    return gen(rows=max(1, round(target / per_row)))
