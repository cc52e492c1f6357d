"""The vorn command: convert tables to and from VORN, check and measure documents."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NoReturn

from .documents import read_batches, read_document, write_document
from .stats import Stats, _n
from .streams import (DATA_ERROR, INTERNAL_ERROR, OK, STDIO, USAGE_ERROR, Failure, Input,
                      Output, Progress, check_encoding, display_name, guard_standard_streams)
from .tables import FORMATS, LINE_TERMINATORS, QUOTING, Dialect, TableError, read_rows, write_rows

EXIT_STATUS = """\
exit status:
  0    success
  1    the input is not a valid document or table, or holds text that the
       output format or encoding cannot store
  2    usage error (bad options, an unknown encoding), or a file or stream
       that cannot be read or written (closed, full, missing)
  3    internal error
  141  standard output was closed by its reader (a broken pipe): the
       command ends quietly, killed by SIGPIPE as other tools are"""

ENCODE_NOTES = """\
The input format is --from, else the file's extension (.csv, .tsv, .json);
standard input and other names are read as JSON when they start with '[',
else as CSV, and refused when the first line holds tabs but no commas. A
FILE named *.vorn is refused unless --from is given.

TSV is one row per line, cells split on tabs, no quoting (a blank line is a
row with one empty cell); with --escape, \\t \\n \\r and \\\\ in cells stand
for tab, line feed, carriage return and backslash. CSV is read as Python's
csv module reads it, with the dialect given by the CSV options: quotes
around a cell that holds the delimiter, a quote or a line break, a doubled
quote inside quotes; a blank line is a row with no cells. Lines may end in
"\\n", "\\r\\n" or "\\r". For quoted CSV with tabs, use --from csv
--delimiter tab.

JSON must be an array of arrays of strings; with --json-scalars, numbers,
booleans and null are taken as their JSON text ("1.5", "true", "null").
Objects and nested arrays are refused, naming the row and cell. JSON is read
whole; CSV and TSV are read a line at a time.

An input without rows is refused, since a VORN document holds at least one
row. Input is decoded strictly; one that starts with a byte-order mark is
refused unless --strip-bom is given. The document is written without a line
break after its last ';'.
"""

DECODE_NOTES = """\
The output format is --to, else OUT's extension, else CSV.

CSV quotes a cell only when it needs quoting (see --quoting); a row with no
cells becomes a blank line and a row holding one empty cell becomes "" so
that the two read back apart. TSV writes cells as they are and refuses a
cell that holds a tab or a line break, naming its row and cell, unless
--escape is given; it also refuses a row with no cells. Lines end with
--line-terminator (default lf). JSON is written one row per line, with
non-ASCII characters as they are.
"""

REFUSAL_NOTES = """\
A refused document is reported on standard error as FILE:LINE:COLUMN: MESSAGE,
followed by the offending line with a caret under the character. MESSAGE is
the parser's, with its position in UTF-16 code units; LINE and COLUMN count
characters (code points), with lines ending at "\\n". Control characters,
line breaks and lone surrogates are shown as escapes.
"""

CHECK_NOTES = """\
Each FILE is reported on a line of its own: FILE: ok, N rows, M cells. The
exit status is the worst of all files'.

""" + REFUSAL_NOTES

STATS_NOTES = """\
Lengths are given in UTF-16 code units, as VORN counts them, and in code
points where the two differ. A storage width is 1, 2 or 4 bytes per
character: the width Python uses for a string whose largest character is
below U+0100, below U+10000, or above. Ragged rows are those whose number of
cells differs from the first row's (with --header, from the header's).
"""


def _write_stderr(text: str) -> None:
    data = text.encode("utf-8", "backslashreplace")
    try:
        while data:
            data = data[os.write(2, data):]
    except OSError:
        pass


def _delimiter(value: str) -> str:
    named = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "space": " ",
             "pipe": "|"}
    value = named.get(value.lower(), value)
    if len(value) != 1:
        raise argparse.ArgumentTypeError(f"{value!r} is not one character (or tab, comma, ...)")
    return value


def _character(value: str) -> str:
    if len(value) != 1:
        raise argparse.ArgumentTypeError(f"{value!r} is not one character")
    return value


def _format_of(path: str) -> str | None:
    suffix = Path(path).suffix.lower().lstrip(".")
    return suffix if path != STDIO and suffix in FORMATS else None


def _dialect(args: argparse.Namespace, fmt: str) -> Dialect:
    csv_options = [name for name in ("delimiter", "quotechar", "quoting")
                   if getattr(args, name, None) is not None]
    if csv_options and fmt != "csv":
        option = "--" + csv_options[0].replace("quotechar", "quote-char")
        raise Failure(f"{option} applies to CSV, not {fmt.upper()}; quoted tab-separated "
                      "text is --from/--to csv --delimiter tab", USAGE_ERROR)
    if getattr(args, "escape", False) and fmt != "tsv":
        raise Failure(f"--escape applies to TSV, not {fmt.upper()}", USAGE_ERROR)
    if getattr(args, "json_scalars", False) and fmt != "json":
        raise Failure(f"--json-scalars applies to JSON, not {fmt.upper()}", USAGE_ERROR)
    if getattr(args, "line_terminator", None) and fmt == "json":
        raise Failure("--line-terminator applies to CSV and TSV, not JSON", USAGE_ERROR)
    return Dialect(delimiter=args.delimiter if fmt == "csv" else None,
                   quotechar=getattr(args, "quotechar", None) or '"',
                   quoting=getattr(args, "quoting", None) or "minimal",
                   line_terminator=getattr(args, "line_terminator", None) or "lf",
                   escape=getattr(args, "escape", False),
                   json_scalars=getattr(args, "json_scalars", False))


def _encodings(args: argparse.Namespace) -> tuple[str, str]:
    both = args.encoding or "utf-8"
    source = check_encoding(args.input_encoding or both)
    target = check_encoding(getattr(args, "output_encoding", None) or both)
    return source, target


def _detect(source: Input) -> str:
    head = source.peek(4096)
    if head.lstrip().startswith("["):
        return "json"
    first = head.split("\n", 1)[0]
    if "\t" in first and "," not in first:
        raise Failure(f"{source.name}: cannot tell whether this is TSV or CSV (its first line "
                      "holds tabs and no commas)\nhint: give --from tsv or --from csv",
                      USAGE_ERROR)
    return "csv"


def _progress(args: argparse.Namespace) -> Progress:
    wanted = Progress.wanted(args.quiet)
    if wanted and getattr(args, "output", None) == STDIO:
        # Output to the same terminal would be mixed with the display.
        wanted = not os.isatty(1)
    return Progress(f"vorn {args.command}", wanted)


def cmd_encode(args: argparse.Namespace) -> int:
    source_encoding, target_encoding = _encodings(args)
    progress = _progress(args)
    if not args.source_format and Path(args.file).suffix.lower() == ".vorn":
        raise Failure(f"{args.file} is named as a VORN document; encode reads CSV, TSV or JSON "
                      "(give --from to read it as one of them)", USAGE_ERROR)
    with Input(args.file, source_encoding, strip_bom=args.strip_bom, progress=progress) as source:
        fmt = args.source_format or _format_of(args.file) or _detect(source)
        dialect = _dialect(args, fmt)
        out = Output(args.output, target_encoding)
        try:
            try:
                count = write_document(read_rows(source, fmt, dialect), out)
            except TableError as exc:
                raise Failure(f"{source.name}: not a {fmt.upper()} table: {exc}",
                              DATA_ERROR) from None
            if not count:
                raise Failure(f"{source.name}: the table has no rows; a VORN document holds "
                              "at least one", DATA_ERROR)
            progress.close()
            out.commit()
        finally:
            progress.close()
            out.discard()
    return OK


def cmd_decode(args: argparse.Namespace) -> int:
    source_encoding, target_encoding = _encodings(args)
    fmt = args.target_format or _format_of(args.output) or "csv"
    dialect = _dialect(args, fmt)
    progress = _progress(args)
    with Input(args.file, source_encoding, strip_bom=args.strip_bom, progress=progress) as source:
        out = Output(args.output, target_encoding)
        try:
            try:
                write_rows(read_document(source), out, fmt, dialect)
            except TableError as exc:
                raise Failure(f"cannot write {out.name} as {fmt.upper()}: {exc}",
                              DATA_ERROR) from None
            progress.close()
            out.commit()
        finally:
            progress.close()
            out.discard()
    return OK


def _count(args: argparse.Namespace, path: str, encoding: str) -> str:
    progress = Progress(f"vorn check {display_name(path)}", Progress.wanted(args.quiet))
    try:
        with Input(path, encoding, strip_bom=args.strip_bom, progress=progress) as source:
            rows = cells = 0
            for batch in read_batches(source):
                rows += len(batch)
                cells += sum(map(len, batch))
    finally:
        progress.close()
    return f"{source.name}: ok, {_n(rows, 'row')}, {_n(cells, 'cell')}\n"


def cmd_check(args: argparse.Namespace) -> int:
    encoding, _ = _encodings(args)
    out = Output(STDIO, "utf-8", errors="surrogateescape")
    worst = OK
    for path in args.files or [STDIO]:
        try:
            report = _count(args, path, encoding)
        except Failure as exc:
            _write_stderr(f"vorn check: {exc}\n")
            worst = max(worst, exc.status)
            continue
        # A failure to write ends the command.
        out.write(report)
        out.flush()
    out.commit()
    return worst


def cmd_stats(args: argparse.Namespace) -> int:
    encoding, _ = _encodings(args)
    out = Output(STDIO, "utf-8", errors="surrogateescape")
    stats = Stats(header=args.header)
    progress = _progress(args)
    try:
        with Input(args.file, encoding, strip_bom=args.strip_bom, progress=progress) as source:
            for batch in read_batches(source):
                # All the text read so far is narrow: so are these rows.
                stats.add(batch, narrow=source.widest == 1)
    finally:
        progress.close()
    document = {"utf16_units": source.units, "code_points": source.chars,
                "storage_width": source.widest}
    if args.json:
        report = {"file": source.name, **stats.as_dict(document)}
        out.write(json.dumps(report, ensure_ascii=False, indent=2) + "\n")
    else:
        for key, value in stats.lines(document):
            out.write(f"{key + ':':<16}{value}\n")
    out.commit()
    return OK


class _Parser(argparse.ArgumentParser):
    """Help and usage messages written as every other output is."""

    def _print_message(self, message: str, file: object = None) -> None:
        if not message:
            return
        if file is not None and file is sys.stderr:
            _write_stderr(message)
            return
        out = Output(STDIO, "utf-8", errors="backslashreplace")
        out.write(message)
        out.commit()

    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        if message:
            _write_stderr(message)
        raise SystemExit(status)

    def error(self, message: str) -> NoReturn:
        _write_stderr(self.format_usage())
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vorn",
        description="Convert tables to and from VORN, and check or measure VORN documents.",
        epilog=EXIT_STATUS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="show the program's version number and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    common = _Parser(add_help=False)
    group = common.add_argument_group("input")
    group.add_argument("--encoding", metavar="NAME",
                       help="text encoding of input and output (default: utf-8)")
    group.add_argument("--input-encoding", metavar="NAME",
                       help="text encoding of the input (default: --encoding)")
    group.add_argument("--strip-bom", action="store_true",
                       help="remove a byte-order mark at the start of the input "
                            "(otherwise such input is refused)")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="show no progress on standard error (it is shown only when "
                             "that is a terminal)")
    single = _Parser(add_help=False)
    single.add_argument("file", nargs="?", default=STDIO, metavar="FILE",
                        help="input file; standard input if absent or -")

    output = _Parser(add_help=False)
    group = output.add_argument_group("output")
    group.add_argument("-o", "--output", default=STDIO, metavar="OUT",
                       help="output file, written whole or not at all; standard output "
                            "if absent or -")
    group.add_argument("--output-encoding", metavar="NAME",
                       help="text encoding of the output (default: --encoding)")

    def dialect_options(sub: argparse.ArgumentParser, writing: bool) -> None:
        group = sub.add_argument_group("CSV and TSV")
        group.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                           help="CSV cell separator: one character, or tab, comma, semicolon, "
                                "space, pipe (default: ,)")
        group.add_argument("--quote-char", dest="quotechar", type=_character, metavar="CHAR",
                           help='CSV quote character (default: ")')
        group.add_argument("--quoting", choices=tuple(QUOTING),
                           help="CSV quoting: minimal quotes only cells that need it, all "
                                "quotes every cell, none never quotes (and refuses cells that "
                                "need it) (default: minimal)")
        group.add_argument("--escape", action="store_true",
                           help="TSV: backslash escapes \\t \\n \\r \\\\ for tab, line feed, "
                                "carriage return and backslash in cells")
        if writing:
            group.add_argument("--line-terminator", choices=tuple(LINE_TERMINATORS),
                               help="line end written after each CSV or TSV row (default: lf)")

    def add(name: str, run: Callable[[argparse.Namespace], int], summary: str,
            notes: str, parents: list[_Parser]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, parents=parents,
                                  epilog=notes + "\n" + EXIT_STATUS,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    encode = add("encode", cmd_encode, "Write a CSV, TSV or JSON table as a VORN document.",
                 ENCODE_NOTES, [single, common, output])
    encode.add_argument("--from", dest="source_format", choices=FORMATS,
                        help="input format (default: from the file's extension, else detected)")
    dialect_options(encode, writing=False)
    encode.add_argument_group("JSON").add_argument(
        "--json-scalars", action="store_true",
        help="take JSON numbers, booleans and null as their text (1.5, true, null)")

    decode = add("decode", cmd_decode, "Write a VORN document as a CSV, TSV or JSON table.",
                 DECODE_NOTES, [single, common, output])
    decode.add_argument("--to", dest="target_format", choices=FORMATS,
                        help="output format (default: from OUT's extension, else csv)")
    dialect_options(decode, writing=True)

    check = add("check", cmd_check, "Check that files are valid VORN documents.", CHECK_NOTES,
                [common])
    check.add_argument("files", nargs="*", metavar="FILE",
                       help="input files; standard input if none or -")

    stats = add("stats", cmd_stats, "Count the rows and cells of a VORN document and measure them.",
                STATS_NOTES + "\n" + REFUSAL_NOTES, [single, common])
    stats.add_argument("--json", action="store_true", help="write the figures as a JSON object")
    stats.add_argument("--header", action="store_true",
                       help="the first row names the columns: it is not counted, and rows are "
                            "ragged when their length differs from its")
    return parser


class _Version(argparse.Action):
    """--version, looked up only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        from vorn_io import __version__

        parser._print_message(f"{parser.prog} {__version__}\n")
        parser.exit()


def _end_of_pipe() -> NoReturn:
    """Ends the process as the default action for SIGPIPE would."""
    try:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    finally:
        os._exit(128 + signal.SIGPIPE)


def _run(argv: Sequence[str] | None) -> int:
    command = "vorn"
    try:
        args = build_parser().parse_args(argv)
        command = f"vorn {args.command}"
        run: Callable[[argparse.Namespace], int] = args.run
        return run(args)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else USAGE_ERROR
    except Failure as exc:
        _write_stderr(f"{command}: {exc}\n")
        return exc.status
    except MemoryError:
        _write_stderr(f"{command}: out of memory\n")
        return USAGE_ERROR
    except BrokenPipeError:
        raise
    except Exception as exc:  # a fault of the tool itself: still one line, no traceback
        _write_stderr(f"{command}: internal error: {type(exc).__name__}: {exc}\n")
        return INTERNAL_ERROR


def _terminated(signum: int, frame: object) -> NoReturn:
    # Unwinds like an interruption, so that no temporary file is left behind.
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    guard_standard_streams()
    signal.signal(signal.SIGTERM, _terminated)
    try:
        return _run(argv)
    except BrokenPipeError:
        _end_of_pipe()
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
