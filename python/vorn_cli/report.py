"""Turning a parser error into a report a person can act on.

The parser gives positions as 0-based offsets in UTF-16 code units. People
and editors count lines and columns in characters, so a position is mapped
back to a code-point index first, then to a 1-based line and column (lines
end at "\\n"), and the offending line is shown with a caret under the
character.
"""

from __future__ import annotations

import unicodedata
from typing import NamedTuple, Protocol

# Widest excerpt of the offending line, in terminal columns, and how much of
# it goes to the text before the caret when the line must be cut.
EXCERPT_WIDTH = 72
EXCERPT_BEFORE = 48
ELLIPSIS = "..."


class Location(NamedTuple):
    offset: int  # code-point index into the document
    line: int  # 1-based
    column: int  # 1-based, in code points
    line_text: str  # the whole line, without its "\n" unless that is the token


def locate(text: str, index: int) -> Location:
    start = text.rfind("\n", 0, index) + 1
    end = text.find("\n", index)
    if end == -1:
        end = len(text)
    if end == index and index < len(text):
        end += 1  # the offending character is the line feed itself
    return Location(index, text.count("\n", 0, index) + 1, index - start + 1, text[start:end])


def _shown(ch: str) -> tuple[str, int]:
    """How a character is drawn in the excerpt, and its width in columns."""
    if ch.isprintable() and not unicodedata.combining(ch):
        wide = unicodedata.east_asian_width(ch) in ("W", "F")
        return ch, 2 if wide else 1
    escaped = ascii(ch)[1:-1]  # \t, \x00, \u2028, \ud800, ...
    return escaped, len(escaped)


def visible(text: str) -> str:
    """text with control characters, line breaks and surrogates escaped."""
    return "".join(_shown(ch)[0] for ch in text)


def excerpt(line: str, column: int, cut_before: bool = False,
            cut_after: bool = False) -> tuple[str, int]:
    """The line as drawn (cut to EXCERPT_WIDTH) and the caret's offset.

    line may itself be a piece of a longer line; cut_before and cut_after
    say that text was left out on that side.
    """
    cells = [_shown(ch) for ch in line]
    at = column - 1
    if at >= len(cells):
        cells.append((" ", 1))  # the caret stands just past the end
    widths = [w for _, w in cells]
    first, last = 0, len(cells)
    if sum(widths) > EXCERPT_WIDTH:
        first = at
        while first > 0 and sum(widths[first - 1 : at]) < EXCERPT_BEFORE:
            first -= 1
        last, used = first, 0
        while last < len(cells) and used + widths[last] <= EXCERPT_WIDTH:
            used += widths[last]
            last += 1
        last = max(last, at + 1)
    head = ELLIPSIS if first > 0 or cut_before else ""
    tail = ELLIPSIS if last < len(cells) or cut_after else ""
    drawn = head + "".join(s for s, _ in cells[first:last]) + tail
    return drawn.rstrip(), len(head) + sum(widths[first:at])


class Place(Protocol):
    """Where in a document an error stands (see streams.Window)."""

    line: int
    column: int
    text: str  # the line, or a piece of it around the error
    at: int  # index of the error in text
    cut_before: bool
    cut_after: bool


def describe(place: Place | None, name: str, message: str, hint: str | None = None) -> str:
    """The full report for a document that the parser refused."""
    if place is None:
        lines = [f"{name}: {visible(message)}"]
    else:
        drawn, caret = excerpt(place.text, place.at + 1, place.cut_before, place.cut_after)
        gutter = str(place.line)
        lines = [
            f"{name}:{place.line}:{place.column}: {visible(message)}",
            f" {gutter} | {drawn}",
            f" {' ' * len(gutter)} | {' ' * caret}^",
        ]
    if hint:
        lines.append(f"hint: {hint}")
    return "\n".join(lines)
