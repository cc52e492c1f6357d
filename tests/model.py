"""A slow, obviously-correct model of the format, used to check the module.

parse_model returns the table or raises SyntaxError with the message the
module gives; stringify_model writes the canonical document for a table of
strings.
"""

END = "Unexpected end of input"


def _u16(ch):
    return 2 if ord(ch) > 0xFFFF else 1


def _token(ch, pos):
    return SyntaxError(f"Unexpected token '{ch}' at position {pos}")


def _digit_count(ch):
    if "0" <= ch <= "9":
        return ord(ch) - ord("0") + 1
    if ch in "abcdefABCDEF":
        return ord(ch.upper()) - ord("A") + 11
    return 0


def parse_model(text, end_message=END):
    """Reads text as a UTF-16 reader would; raises SyntaxError on errors."""
    if not text:
        raise SyntaxError(end_message)
    # Strings holding a code point above U+FFFF are read by the wide scanner,
    # whose prefix bound only demands that the digits fit.
    wide = any(ord(c) > 0xFFFF for c in text)
    # offsets[k] is the UTF-16 offset of code point k.
    offsets = [0]
    for c in text:
        offsets.append(offsets[-1] + _u16(c))
    n = len(text)
    table, row, i = [], [], 0
    while True:
        c = text[i]
        if c == ";":
            table.append(row)
            i += 1
            if i == n:
                return table
            row = []
            continue
        digits = _digit_count(c)
        if not digits:
            raise _token(c, offsets[i])
        start = i + 1 + digits
        if (start > n) if wide else (start >= n):
            raise SyntaxError(end_message)
        length = 0
        for j in range(i + 1, start):
            if not "0" <= text[j] <= "9":
                raise _token(text[j], offsets[j])
            length = length * 10 + int(text[j])
        # Walk code points until the declared UTF-16 length is covered.
        end, covered = start, 0
        while covered < length:
            if end == n:
                raise SyntaxError(end_message)
            covered += _u16(text[end])
            end += 1
        if covered > length:
            low = chr((ord(text[end - 1]) & 0x3FF) + 0xDC00)
            raise _token(low, offsets[start] + length)
        if end >= n:
            raise SyntaxError(end_message)
        row.append(text[start:end])
        i = end


def stringify_model(table, hex_digits="0123456789abcdef"):
    out = []
    for row in table:
        for cell in row:
            text = cell if isinstance(cell, str) else str(cell)
            length = str(sum(_u16(c) for c in text))
            out.append(hex_digits[len(length) - 1] + length + text)
        out.append(";")
    return "".join(out)


def lookup_hex(module):
    """HEX as the module reads it for a cell: one look-up in its dictionary
    (which calls __eq__ on any stored key of the same hash), an Exception
    from that look-up swallowed, then the builtins."""
    import builtins

    try:
        return module.__dict__["HEX"]
    except Exception:
        pass
    try:
        return getattr(builtins, "HEX")
    except AttributeError:
        raise NameError("name 'HEX' is not defined") from None


def walk(items):
    """Exact lists and tuples by index, the length read again before every
    step; anything else through its iterator."""
    if type(items) in (list, tuple):
        i = 0
        while i < len(items):
            yield items[i]
            i += 1
    else:
        yield from iter(items)


def stringify_walk_model(table, module):
    """stringify as the reading of a live table: every row and cell taken as
    the walk reaches it, converted, measured, then HEX looked up for it.
    Returns the document and the texts written, row by row."""
    pieces, rows = [], []
    for row in walk(table):
        seen = []
        for cell in walk(row):
            text = cell if isinstance(cell, str) else str(cell)
            length = str(sum(_u16(c) for c in text))
            pieces += [lookup_hex(module)[len(length) - 1], length, text]
            seen.append(text)
        pieces.append(";")
        rows.append(seen)
    return "".join(pieces), rows
