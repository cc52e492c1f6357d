"""UTF-16 offsets in Python strings: the one place, on the Python side, that
maps the positions VORN reports (UTF-16 code units) to string indices."""

from __future__ import annotations

import re

_ASTRAL = re.compile("[\U00010000-\U0010ffff]")


def utf16_len(s: str) -> int:
    """The number of UTF-16 code units of s (a lone surrogate counts 1),
    counted by one encoding done in C rather than a look at each character."""
    if s.isascii():
        return len(s)
    return len(s.encode("utf-16-le", "surrogatepass")) >> 1


def index_at(s: str, offset: int) -> int:
    """The index of the character of s that covers UTF-16 offset ``offset``
    (``len(s)`` when the offset is at or past the end)."""
    astral = 0
    for m in _ASTRAL.finditer(s):
        if m.start() + astral >= offset:
            break
        astral += 1
        if m.start() + astral >= offset:
            # The offset falls on the second unit of this character.
            return m.start()
    return min(len(s), offset - astral)
