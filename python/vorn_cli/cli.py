"""The vorn command: convert tables to and from VORN, check and measure documents."""

from __future__ import annotations

import argparse
import codecs
import os
import sys
from collections.abc import Callable, Sequence
from importlib import metadata
from pathlib import Path

import vorn

from .report import describe, locate, utf16_len, visible
from .tables import FORMATS, Table, TableError, read_table, write_table

OK, DATA_ERROR, USAGE_ERROR = 0, 1, 2
STDIO = "-"

EXIT_STATUS = """\
exit status:
  0  success
  1  the input is not a valid document or table, or holds text the
     encoding cannot store
  2  usage error: bad options, an unknown encoding, a file that cannot be
     read or written"""

ENCODE_NOTES = """\
CSV and TSV are read as Python's csv module reads them: double quotes around
a cell that holds the delimiter, a quote or a line break, a doubled quote
inside quotes. A blank line is a row with no cells. JSON must be an array of
arrays of strings; numbers, nulls and objects are refused. An input without
rows is refused, since a VORN document holds at least one row. The document
is written as it is, without a line break after its last ';'. Input is
decoded strictly and nothing is stripped: read a file that starts with a
byte-order mark with --encoding utf-8-sig.
"""

DECODE_NOTES = """\
CSV and TSV quote a cell only when it needs quoting and end lines with "\\n".
A row with no cells becomes a blank line; a row holding one empty cell
becomes "" so that the two read back apart. Every table written as CSV or
TSV reads back as the same table. JSON is written one row per line, with
non-ASCII characters as they are.
"""

CHECK_NOTES = """\
A refused document is reported as FILE:LINE:COLUMN: MESSAGE, followed by the
offending line with a caret under the character. MESSAGE is the parser's,
with its position in UTF-16 code units; LINE and COLUMN count characters
(code points), with lines ending at "\\n". Control characters, line breaks
and lone surrogates are shown as escapes.
"""

STATS_NOTES = """\
Lengths are given in UTF-16 code units, as VORN counts them, and in code
points where the two differ. A storage width is 1, 2 or 4 bytes per
character: the width Python uses for a string whose largest character is
below U+0100, below U+10000, or above.
"""


class Failure(Exception):
    """Ends the command with a message on standard error and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def _display_name(path: str) -> str:
    return "<stdin>" if path == STDIO else path


def _check_encoding(name: str) -> str:
    try:
        codecs.lookup(name)
        "".encode(name)  # refuses bytes-to-bytes codecs such as base64
    except LookupError:
        raise Failure(f"unknown text encoding {name!r}", USAGE_ERROR) from None
    return name


def read_text(path: str, encoding: str) -> str:
    try:
        data = sys.stdin.buffer.read() if path == STDIO else Path(path).read_bytes()
    except OSError as exc:
        raise Failure(f"cannot read {path}: {exc.strerror}", USAGE_ERROR) from None
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as exc:
        byte = exc.object[exc.start]
        raise Failure(
            f"{_display_name(path)}: not valid {encoding}: byte 0x{byte:02x} "
            f"at offset {exc.start} ({exc.reason})",
            DATA_ERROR,
        ) from None


def write_text(path: str, text: str, encoding: str) -> None:
    try:
        data = text.encode(encoding)
    except UnicodeEncodeError as exc:
        ch = exc.object[exc.start]
        what = "a lone surrogate" if "\ud800" <= ch <= "\udfff" else "the character"
        loc = locate(exc.object, exc.start)
        raise Failure(
            f"cannot write {what} '{visible(ch)}' (U+{ord(ch):04X}) in {encoding}, "
            f"at line {loc.line}, column {loc.column} of the output",
            DATA_ERROR,
        ) from None
    try:
        if path == STDIO:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        else:
            Path(path).write_bytes(data)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise Failure(f"cannot write {path}: {exc.strerror}", USAGE_ERROR) from None


def parse_document(text: str, name: str) -> Table:
    try:
        return vorn.parse(text)
    except SyntaxError as exc:
        raise Failure(describe(text, name, str(exc)), DATA_ERROR) from None


def _format_of(path: str) -> str | None:
    suffix = Path(path).suffix.lower().lstrip(".")
    return suffix if path != STDIO and suffix in FORMATS else None


def cmd_encode(args: argparse.Namespace) -> int:
    encoding = _check_encoding(args.encoding)
    fmt = args.source_format or _format_of(args.file) or "csv"
    name = _display_name(args.file)
    text = read_text(args.file, encoding)
    try:
        table = read_table(text, fmt)
    except TableError as exc:
        raise Failure(f"{name}: not a {fmt.upper()} table: {exc}", DATA_ERROR) from None
    if not table:
        raise Failure(f"{name}: the table has no rows; a VORN document holds at least one", DATA_ERROR)
    write_text(args.output, vorn.stringify(table), encoding)
    return OK


def cmd_decode(args: argparse.Namespace) -> int:
    encoding = _check_encoding(args.encoding)
    fmt = args.target_format or _format_of(args.output) or "csv"
    table = parse_document(read_text(args.file, encoding), _display_name(args.file))
    write_text(args.output, write_table(table, fmt), encoding)
    return OK


def cmd_check(args: argparse.Namespace) -> int:
    encoding = _check_encoding(args.encoding)
    name = _display_name(args.file)
    table = parse_document(read_text(args.file, encoding), name)
    print(f"{name}: ok, {_n(len(table), 'row')}, {_n(sum(map(len, table)), 'cell')}")
    return OK


def _storage_width(text: str) -> int:
    top = max(text, default="\0")
    return 1 if top < "\u0100" else 2 if top < "\U00010000" else 4


def _n(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _length(text: str) -> str:
    units, points = utf16_len(text), len(text)
    extra = f" ({_n(points, 'code point')})" if units != points else ""
    return _n(units, "UTF-16 unit") + extra


def cmd_stats(args: argparse.Namespace) -> int:
    encoding = _check_encoding(args.encoding)
    text = read_text(args.file, encoding)
    table = parse_document(text, _display_name(args.file))
    widths = {1: 0, 2: 0, 4: 0}
    longest, longest_at = -1, (0, 0)
    for r, row in enumerate(table, 1):
        for c, cell in enumerate(row, 1):
            widths[_storage_width(cell)] += 1
            units = utf16_len(cell)
            if units > longest:
                longest, longest_at = units, (r, c)
    widest = max(range(len(table)), key=lambda r: len(table[r]))
    lines = [
        ("rows", f"{len(table)} ({sum(1 for row in table if not row)} empty)"),
        ("cells", str(sum(widths.values()))),
        ("widest row", f"row {widest + 1}, {_n(len(table[widest]), 'cell')}"),
    ]
    if longest >= 0:
        r, c = longest_at
        lines.append(("longest cell", f"row {r}, cell {c}: {_length(table[r - 1][c - 1])}"))
    lines += [
        ("storage widths", ", ".join(f"{_n(w, 'byte')}: {_n(n, 'cell')}" for w, n in widths.items())),
        ("document", f"{_length(text)}, {_storage_width(text)}-byte storage"),
    ]
    for key, value in lines:
        print(f"{key + ':':<16}{value}")
    return OK


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorn",
        description="Convert tables to and from VORN, and check or measure VORN documents.",
        epilog=EXIT_STATUS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("file", nargs="?", default=STDIO, metavar="FILE",
                        help="input file; standard input if absent or -")
    common.add_argument("--encoding", default="utf-8", metavar="NAME",
                        help="text encoding of every file read or written (default: utf-8)")
    output = argparse.ArgumentParser(add_help=False)
    output.add_argument("-o", "--output", default=STDIO, metavar="OUT",
                        help="output file; standard output if absent or -")

    def add(name: str, run: Callable[[argparse.Namespace], int], summary: str,
            notes: str, parents: list[argparse.ArgumentParser]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, parents=parents,
                                  epilog=notes + "\n" + EXIT_STATUS,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    add("encode", cmd_encode, "Write a CSV, TSV or JSON table as a VORN document.",
        ENCODE_NOTES, [common, output]).add_argument(
        "--from", dest="source_format", choices=FORMATS,
        help="input format (default: from the file's extension, else csv)")
    add("decode", cmd_decode, "Write a VORN document as a CSV, TSV or JSON table.",
        DECODE_NOTES, [common, output]).add_argument(
        "--to", dest="target_format", choices=FORMATS,
        help="output format (default: from OUT's extension, else csv)")
    add("check", cmd_check, "Check that a file is a valid VORN document.", CHECK_NOTES, [common])
    add("stats", cmd_stats, "Count the rows and cells of a VORN document and measure them.",
        STATS_NOTES + "\n" + CHECK_NOTES, [common])
    return parser


def _version() -> str:
    try:
        return metadata.version("vorn")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except Failure as exc:
        print(f"vorn {args.command}: {exc}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # The reader went away (say, `vorn decode doc | head`); flush nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return DATA_ERROR
    except KeyboardInterrupt:
        return 130
