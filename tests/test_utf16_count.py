"""The UTF-8 -> UTF-16 counter that the partitioner (and every reader of
UTF-8 bytes) hops payloads with, checked against a byte-at-a-time model at
every byte value in every lane of a block, every length across the block
and word widths and their tails, and every misalignment."""

import random

import pytest

from vorn_io import _scanner


def units_model(data):
    """UTF-16 units of the UTF-8 sequences that begin in data."""
    return sum((b & 0xC0 != 0x80) + (b >= 0xF0) for b in data)


def hop_model(data, k):
    """(bytes passed, units counted) hopping k units: stops after the first
    byte of the sequence completing the k-th unit, or before a four-byte
    first byte when one unit is left, or at the end of the data. (The hop
    may pass some continuation bytes more: see check_hop.)"""
    at = units = 0
    while units < k and at < len(data):
        u = (data[at] & 0xC0 != 0x80) + (data[at] >= 0xF0)
        if u > k - units:
            break
        units += u
        at += 1
    return at, units


# Backgrounds a byte is planted in: ASCII (the vector path's early exit),
# each length class, and continuation bytes.
BACKGROUNDS = [b"a", "é".encode(), "€".encode(), "\U0001F600".encode(), b"\xbf", b"\x80"]


def filled(background, n):
    return (background * (n // len(background) + 1))[:n]


@pytest.mark.parametrize("background", BACKGROUNDS, ids=range(len(BACKGROUNDS)))
def test_every_byte_value_in_every_lane(background):
    base = bytearray(filled(background, 64 * 3))
    for lane in range(64 * 2):
        for value in range(256):
            data = bytearray(base)
            data[lane] = value
            for length in (64, 128, 192):
                assert _scanner._utf16_units(data[:length]) == units_model(data[:length]), (lane, value, length)


def test_every_length_and_alignment():
    rng = random.Random(24)
    pool = [bytes([rng.choice([0x41, 0xBF, 0x80, 0xC3, 0xE2, 0xF0, 0xF4, 0xFF, rng.randrange(256)])])
            for _ in range(64 + 210)]
    data = b"".join(pool)
    text = "ÿ¿пοタ。儿\ufeff\U0010ffff a".encode() * 30
    for buffer in (data, text):
        view = memoryview(buffer)
        for offset in range(64):
            for length in range(0, 210):
                chunk = view[offset:offset + length]
                assert _scanner._utf16_units(chunk) == units_model(chunk), (offset, length)


def test_hops_stop_where_the_model_stops():
    rng = random.Random(7)
    texts = [
        "ÿ" * 150, "ο" * 200 + "x", ("\U0001F600" + "a") * 80, "\ufeff" * 90 + "\U0010ffff" * 40,
        "".join(rng.choice("aé€\U0001F600ÿ¿") for _ in range(400)),
    ]
    for text in texts:
        data = text.encode()
        for offset in (0, 1, 3, 17, 63):
            chunk = data[offset:]
            for k in list(range(0, 140)) + [199, 200, 201, 255, 256, 257, 400, 10**6]:
                check_hop(chunk, k)


def check_hop(data, k):
    """The hop counts what the model counts and stops where it stops, or
    after continuation bytes that follow there (the rest of the sequence
    that completed the count)."""
    at, units = _scanner._hop_utf16(data, k)
    want_at, want_units = hop_model(data, k)
    assert units == want_units, (data[:8], k)
    assert want_at <= at and all(b & 0xC0 == 0x80 for b in data[want_at:at]), (data[:8], k, at, want_at)


def test_hops_over_every_byte_value_in_every_lane():
    for background in BACKGROUNDS:
        base = bytearray(filled(background, 200))
        for lane in range(0, 130, 3):
            for value in range(256):
                data = bytearray(base)
                data[lane] = value
                for k in (lane // 2, lane, 64, 100, 129):
                    check_hop(bytes(data), k)


# --- Four-byte storage: where a declared length ends among code points ------

def ucs4_hop_model(points, k):
    """(code points passed, units counted) hopping k UTF-16 units of code
    points: stops after the one whose units reach k, or at the end."""
    at = units = 0
    while units < k and at < len(points):
        units += 2 if points[at] > 0xFFFF else 1
        at += 1
    return at, units


# One value of each class the count tells apart, and the edges of each
# (values past U+10FFFF too: the count is defined up to 0x7FFFFFFF).
UCS4_VALUES = [0x00, 0x3B, 0x7F, 0x80, 0xFF, 0x100, 0xD800, 0xDFFF, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF,
               0x110000, 0x7FFFFFFF]


def ucs4_buffer(points, start=0):
    """An array('I') holding points from item start on (start misaligns
    them against the 16-byte blocks the vector path loads)."""
    import array

    return array.array("I", [0x61] * start + list(points))


def check_ucs4_hop(points, k, start=0):
    got = _scanner._hop_ucs4(ucs4_buffer(points, start), k, start)
    assert got == ucs4_hop_model(points, k), ([hex(p) for p in points[:20]], len(points), k, start)


def test_ucs4_hop_every_value_in_every_lane():
    for background in (0x61, 0x1F600, 0x4E00):
        base = [background] * 56
        for lane in range(48):
            for value in UCS4_VALUES:
                points = list(base)
                points[lane] = value
                # Lengths that end before, at and after the planted lane, in
                # its block and past it, and one the points cannot cover.
                ks = {lane, lane + 1, lane + 2, 2 * lane, 2 * lane + 1, 2 * lane + 2, 16, 31, 32, 33, 200}
                for k in ks:
                    check_ucs4_hop(points, k)


def test_ucs4_hop_every_length_and_misalignment():
    rng = random.Random(24)
    mixed = [rng.choice([0x61, 0x1F600, 0xE9, 0x10FFFF, 0xD83D, 0xFFFF, 0x10000]) for _ in range(80)]
    patterns = [[0x61] * 80, [0x1F600] * 80, [0x61, 0x1F600] * 40, mixed]
    for points in patterns:
        for n in range(0, 70):
            for start in range(4):
                for k in range(0, 2 * n + 3):
                    check_ucs4_hop(points[:n], k, start)


def test_ucs4_hop_long_runs_and_split_ends():
    # Long payloads pass whole blocks; the length may end on either unit of
    # the astral code point in any lane of the last block.
    rng = random.Random(5)
    for _ in range(200):
        n = rng.randrange(16, 2000)
        share = rng.choice([0.0, 0.05, 0.35, 1.0])
        points = [0x1F600 if rng.random() < share else 0x4E00 for _ in range(n)]
        units = sum(2 if p > 0xFFFF else 1 for p in points)
        for k in {rng.randrange(units + 2), units - 1, units, units + 1, 10**16 - 1}:
            check_ucs4_hop(points, max(k, 0), rng.randrange(4))


def test_short_hops_over_every_byte_value_in_every_lane():
    # A hop of fewer than 64 units over 64 bytes with no four-byte first
    # byte is settled from the block's mask of first bytes: every byte value
    # at every lane of the block (and just past it), hops ending just before
    # and just after the planted byte.
    for background in (b"a", "é".encode(), "€".encode()):
        base = bytearray(filled(background, 160))
        for lane in range(65):
            before = units_model(base[:lane])
            for value in range(256):
                data = bytearray(base)
                data[lane] = value
                data = bytes(data)
                for k in {max(1, before), before + 1, min(63, before + 2)}:
                    check_hop(data, k)
