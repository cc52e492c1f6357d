"""Type information for the vorn extension module.

The module offers two functions and a few globals. HEX and
ErrUnexpectedEndOfInput are read by name at the moment they are needed, so
rebinding them changes later calls; they are therefore not Final.
"""

import sys as sys
from collections.abc import Iterable

__all__ = ["stringify", "parse"]

# Digit-count characters: HEX[d - 1] marks a length written with d digits.
HEX: str
# Message of the SyntaxError raised for a document that ends too early.
ErrUnexpectedEndOfInput: str
# "utf-16-le" or "utf-16-be": the codec matching this host's byte order.
UTF16_CODEC: str
__test__: dict[str, object]

def stringify(lists: Iterable[Iterable[object]]) -> str:
    """Serialize a 2D iterable of strings into a VORN string."""

def parse(vorn: str) -> list[list[str]]:
    """Parse a VORN string into a 2D list of strings."""
