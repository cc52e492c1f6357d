"""The vorn command: convert tables to and from VORN, check and measure documents."""

from __future__ import annotations

import argparse
import codecs
import csv
import json
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from . import columnar, compression
from .documents import open_document, read_batches, read_document, write_document
from .stats import Stats, _n
from .streams import (DATA_ERROR, INTERNAL_ERROR, OK, STDIO, USAGE_ERROR, Failure, Input,
                      Output, Progress, check_encoding, display_name, guard_standard_streams)
from .tables import (EXTENSIONS, FORMATS, LINE_TERMINATORS, QUOTING, Dialect, TableError,
                     read_rows, table_error, write_rows)

# Names of files in formats that the tool does not write: an output so named
# is refused before anything is written, rather than filled with CSV.
FOREIGN = {".xlsx", ".xlsm", ".xls", ".ods", ".parquet", ".pq", ".feather", ".arrow", ".ipc",
           ".avro", ".orc", ".h5", ".hdf5", ".pkl", ".pickle", ".npy", ".npz", ".sqlite",
           ".sqlite3", ".db", ".xml", ".html", ".htm", ".pdf", ".yaml", ".yml", ".toml",
           ".msgpack", ".dta", ".sav", ".sas7bdat"}

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
The input format is --from, else the file's extension (.csv, .tsv, .json,
.jsonl, .ndjson); standard input and other names are read as JSON when they
start with an array of rows, as JSON Lines when they start with an object
or an array of cells, else as CSV, and refused when the first line holds
tabs but no commas. CSV whose first line holds more ';' than ',' is refused
unless --delimiter is given. A FILE named *.vorn is refused unless --from
is given. Files named *.gz, *.bz2 or *.xz are decompressed, and so is
compressed standard input.

TSV is one row per line, cells split on tabs, no quoting (a blank line is a
row with one empty cell); with --escape, \\t \\n \\r and \\\\ in cells stand
for tab, line feed, carriage return and backslash. CSV is read as Python's
csv module reads it, with the dialect given by the CSV options: quotes
around a cell that holds the delimiter, a quote or a line break, a doubled
quote inside quotes; a blank line is a row with no cells. Lines may end in
"\\n", "\\r\\n" or "\\r". For quoted CSV with tabs, use --from csv
--delimiter tab.

JSON is an array of rows and JSON Lines one row per line (blank lines are
skipped); a row is an array of strings. With --json-scalars, numbers,
booleans and null are taken as their JSON text ("1.5", "true", "null").
Records, that is objects in place of rows, become a header row of their
keys in the order first seen, then one row per record with an empty cell
for each key it lacks; nested values are refused, naming the row (or
record) and the cell (or key). All formats are read a piece at a time.

An input without rows is refused, since a VORN document holds at least one
row. Input is decoded strictly; a byte-order mark at its start is removed
unless --keep-bom is given. The document is written without a line break
after its last ';', and never with a byte-order mark.
"""

DECODE_NOTES = """\
The output format is --to, else OUT's extension, else CSV. OUT named *.gz,
*.bz2 or *.xz is written compressed; a name whose extension is a format
vorn does not write (.xlsx, .parquet, .vorn, ...) is refused.

CSV quotes a cell only when it needs quoting (see --quoting); a row with no
cells becomes a blank line and a row holding one empty cell becomes "" so
that the two read back apart. TSV writes cells as they are and refuses a
cell that holds a tab or a line break, naming its row and cell, unless
--escape is given; it also refuses a row with no cells. Lines end with
--line-terminator (default lf). JSON is written one row per line, with
non-ASCII characters as they are and lone surrogates as \\uXXXX escapes;
JSON Lines is one array per line. With --records, JSON and JSON Lines hold
objects whose keys are the cells of the first row. A first cell that starts
with U+FEFF is quoted in CSV and refused in TSV, so that no reader takes it
for a byte-order mark.
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


EXAMPLES = {
    "encode": """\
examples:
  vorn encode data.csv -o data.vorn
  vorn encode export.csv.gz -o data.vorn.xz       # compressed in and out
  vorn encode records.jsonl -o data.vorn          # objects: a header row of keys
  vorn encode excel.csv --delimiter semicolon --input-encoding cp1252 -o data.vorn
  curl -s URL | vorn encode --from json -o data.vorn""",
    "decode": """\
examples:
  vorn decode data.vorn -o data.csv
  vorn decode data.vorn --to jsonl --records | head
  vorn decode data.vorn.gz -o data.tsv.gz --escape
  vorn decode data.vorn --to csv --line-terminator crlf --output-encoding utf-8-sig
  vorn --print-completion bash > ~/.local/share/bash-completion/completions/vorn""",
    "check": """\
examples:
  vorn check data.vorn
  vorn check *.vorn *.vorn.gz
  gzip -dc data.vorn.gz | vorn check""",
    "stats": """\
examples:
  vorn stats data.vorn
  vorn stats --header --json data.vorn.xz""",
}


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


def _positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"{value!r} is not a positive whole number")
    return number


def _character(value: str) -> str:
    if len(value) != 1:
        raise argparse.ArgumentTypeError(f"{value!r} is not one character")
    return value


def _table_name(path: str) -> tuple[str, str]:
    """The extension of path once a compression suffix is taken off, and the
    name without that suffix."""
    base, _ = compression.split_name(path)
    return os.path.splitext(base)[1].lower(), base


def _format_of(path: str) -> str | None:
    return EXTENSIONS.get(_table_name(path)[0]) if path != STDIO else None


def _check_output(args: argparse.Namespace, fmt: str | None) -> None:
    """Refuses an output whose name says it holds something that this command
    does not write, before anything is read or written."""
    if args.output == STDIO:
        return
    ext, _ = _table_name(args.output)
    if args.command == "encode":
        if ext in EXTENSIONS or ext in FOREIGN:
            raise Failure(f"{args.output}: encode writes a VORN document, not {ext[1:].upper()}"
                          "\nhint: name the output *.vorn (or *.vorn.gz, ...)", USAGE_ERROR)
        return
    if ext == ".vorn" or ext in FOREIGN:
        raise Failure(f"{args.output}: decode does not write {ext[1:].upper()}; it writes "
                      "CSV, TSV, JSON and JSON Lines (.csv, .tsv, .json, .jsonl, each "
                      "optionally .gz, .bz2 or .xz)", USAGE_ERROR)
    named = EXTENSIONS.get(ext)
    if named is not None and fmt is not None and named != fmt:
        raise Failure(f"{args.output} is named as {named.upper()}, but --to asks for "
                      f"{fmt.upper()}", USAGE_ERROR)


def _dialect(args: argparse.Namespace, fmt: str) -> Dialect:
    csv_options = [name for name in ("delimiter", "quotechar", "quoting")
                   if getattr(args, name, None) is not None]
    if csv_options and fmt != "csv":
        option = "--" + csv_options[0].replace("quotechar", "quote-char")
        raise Failure(f"{option} applies to CSV, not {fmt.upper()}; quoted tab-separated "
                      "text is --from/--to csv --delimiter tab", USAGE_ERROR)
    if getattr(args, "escape", False) and fmt != "tsv":
        raise Failure(f"--escape applies to TSV, not {fmt.upper()}", USAGE_ERROR)
    if getattr(args, "json_scalars", False) and fmt not in ("json", "jsonl"):
        raise Failure(f"--json-scalars applies to JSON, not {fmt.upper()}", USAGE_ERROR)
    if getattr(args, "records", False) and fmt not in ("json", "jsonl"):
        raise Failure(f"--records applies to JSON and JSON Lines, not {fmt.upper()}",
                      USAGE_ERROR)
    if getattr(args, "line_terminator", None) and fmt in ("json", "jsonl"):
        raise Failure(f"--line-terminator applies to CSV and TSV, not {fmt.upper()}",
                      USAGE_ERROR)
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


def _without_bom(encoding: str) -> str:
    """The encoding a VORN document is written in: one that writes no
    byte-order mark, since a document cannot start with U+FEFF."""
    name = codecs.lookup(encoding).name
    if name == "utf-8-sig":
        return "utf-8"
    if name in ("utf-16", "utf-32"):
        raise Failure(f"{encoding} starts with a byte-order mark, which a VORN document does "
                      f"not hold\nhint: name the byte order: {name}-le or {name}-be",
                      USAGE_ERROR)
    return encoding


def _detect(source: Input) -> str:
    head = source.peek(4096)
    start = head.lstrip(" \t\r\n")
    if start.startswith("{"):
        return "jsonl"
    if start.startswith("["):
        # An array of rows (or of records) is JSON; an array of cells is the
        # first line of JSON Lines.
        inner = start[1:].lstrip(" \t\r\n")
        return "json" if not inner or inner[0] in "[{]" else "jsonl"
    first = head.split("\n", 1)[0]
    if "\t" in first and "," not in first:
        raise Failure(f"{source.name}: cannot tell whether this is TSV or CSV (its first line "
                      "holds tabs and no commas)\nhint: give --from tsv or --from csv",
                      USAGE_ERROR)
    return "csv"


def _check_delimiter(source: Input, dialect: Dialect) -> None:
    """Refuses CSV read with commas whose first line is split by semicolons."""
    if dialect.delimiter is not None:
        return
    lines = source.peek(4096).split("\n", 2)
    if len(lines) < 3 and not lines[-1]:
        lines.pop()  # a line break ending the text starts no line
    if not lines:
        return
    first = lines[0]
    # Two lines split alike: a single line of text with a ';' in it is no sign.
    if (first.count(";") > first.count(",") and len(lines) > 1
            and lines[1].count(";") == first.count(";")):
        raise Failure(f"{source.name}: the first line holds more ';' than ',': this looks like "
                      "CSV separated by semicolons\nhint: give --delimiter semicolon (or "
                      "--delimiter comma to read it with commas)", USAGE_ERROR)


def _dialect_hint(source: Input, dialect: Dialect) -> str:
    """A hint naming the delimiter that the csv module's sniffer finds."""
    import csv

    try:
        found = csv.Sniffer().sniff(source.head, delimiters=",;\t|").delimiter
    except csv.Error:
        return ""
    if found == (dialect.delimiter or ","):
        return ""
    name = {"\t": "tab", ";": "semicolon", "|": "pipe", ",": "comma"}[found]
    return f"\nhint: the text looks delimited by {found!r}: give --delimiter {name}"


def _progress(args: argparse.Namespace) -> Progress:
    wanted = Progress.wanted(args.quiet)
    if wanted and getattr(args, "output", None) == STDIO:
        # Output to the same terminal would be mixed with the display.
        wanted = not os.isatty(1)
    return Progress(f"vorn {args.command}", wanted)


def cmd_encode(args: argparse.Namespace) -> int:
    if columnar.handles_input(args):
        return columnar.encode(args)
    source_encoding, target_encoding = _encodings(args)
    target_encoding = _without_bom(target_encoding)
    _check_output(args, None)
    progress = _progress(args)
    if not args.source_format and _table_name(args.file)[0] == ".vorn":
        raise Failure(f"{args.file} is named as a VORN document; encode reads CSV, TSV or JSON "
                      "(give --from to read it as one of them)", USAGE_ERROR)
    with Input(args.file, source_encoding, strip_bom=not args.keep_bom,
               progress=progress, track=False) as source:
        fmt = args.source_format or _format_of(args.file) or _detect(source)
        dialect = _dialect(args, fmt)
        if fmt == "csv":
            _check_delimiter(source, dialect)
        out = Output(args.output, target_encoding)
        try:
            rows = read_rows(source, fmt, dialect)
            try:
                count = write_document(rows, out)
            except (TableError, csv.Error) as exc:
                hint = _dialect_hint(source, dialect) if fmt == "csv" else ""
                raise Failure(f"{source.name}: not a {fmt.upper()} table: "
                              f"{table_error(rows, exc)}{hint}", DATA_ERROR) from None
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
    if columnar.handles_output(args):
        return columnar.decode(args)
    source_encoding, target_encoding = _encodings(args)
    _check_output(args, args.target_format)
    fmt = args.target_format or _format_of(args.output) or "csv"
    dialect = _dialect(args, fmt)
    progress = _progress(args)
    with open_document(args.file, source_encoding, progress) as source:
        out = Output(args.output, target_encoding)
        try:
            try:
                write_rows(read_document(source, args.max_row_size), out, fmt, dialect,
                           records=args.records, text_read=lambda: source.chars)
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
        with open_document(path, encoding, progress) as source:
            rows = cells = 0
            for batch in read_batches(source, max_row_size=args.max_row_size):
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
        with open_document(args.file, encoding, progress) as source:
            for batch in read_batches(source, max_row_size=args.max_row_size):
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
    parser.add_argument("--print-completion", action=_Completion, choices=("bash", "zsh", "tcsh"),
                        metavar="SHELL",
                        help="print a completion script for bash, zsh or tcsh and exit (see "
                             "the examples in each command's --help)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    common = _Parser(add_help=False)
    group = common.add_argument_group("input")
    group.add_argument("--encoding", metavar="NAME",
                       help="text encoding of input and output (default: utf-8)")
    group.add_argument("--input-encoding", metavar="NAME",
                       help="text encoding of the input (default: --encoding)")
    group.add_argument("--strip-bom", action="store_true",
                       help="remove a byte-order mark at the start of the input (the "
                            "default; kept for scripts that give it)")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="show no progress on standard error (it is shown only when "
                             "that is a terminal)")
    documents = _Parser(add_help=False)
    documents.add_argument_group("document").add_argument(
        "--max-row-size", type=_positive, metavar="N",
        help="refuse a row that takes more than N characters of the document, prefixes "
             "and ';' included, before reading it (default: no limit)")
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
                                  epilog=notes + "\n" + EXIT_STATUS + "\n\n" + EXAMPLES[name],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run, parser=sub)
        return sub

    encode = add("encode", cmd_encode, "Write a CSV, TSV or JSON table as a VORN document.",
                 ENCODE_NOTES, [single, common, output])
    encode.add_argument("--from", dest="source_format", choices=FORMATS,
                        help="input format (default: from the file's extension, else detected)")
    dialect_options(encode, writing=False)
    encode.add_argument_group("JSON").add_argument(
        "--json-scalars", action="store_true",
        help="take JSON numbers, booleans and null as their text (1.5, true, null)")
    encode.add_argument("--keep-bom", action="store_true",
                        help="keep a byte-order mark at the start of the input as the first "
                             "character of the first cell (by default it is removed)")

    decode = add("decode", cmd_decode, "Write a VORN document as a CSV, TSV or JSON table.",
                 DECODE_NOTES, [single, common, documents, output])
    decode.add_argument("--to", dest="target_format", choices=FORMATS,
                        help="output format (default: from OUT's extension, else csv)")
    dialect_options(decode, writing=True)
    decode.add_argument_group("JSON").add_argument(
        "--records", action="store_true",
        help="JSON and JSON Lines: write each row after the first as an object whose keys "
             "are the cells of the first row")

    check = add("check", cmd_check, "Check that files are valid VORN documents.", CHECK_NOTES,
                [common, documents])
    check.add_argument("files", nargs="*", metavar="FILE",
                       help="input files; standard input if none or -")

    stats = add("stats", cmd_stats, "Count the rows and cells of a VORN document and measure them.",
                STATS_NOTES + "\n" + REFUSAL_NOTES, [single, common, documents])
    stats.add_argument("--json", action="store_true", help="write the figures as a JSON object")
    stats.add_argument("--header", action="store_true",
                       help="the first row names the columns: it is not counted, and rows are "
                            "ragged when their length differs from its")
    return parser


class _Completion(argparse.Action):
    """--print-completion SHELL: the script that shtab generates from the parser."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        import shtab  # type: ignore[import-not-found, unused-ignore]

        parser._print_message(shtab.complete(build_parser(), shell=str(values)) + "\n")
        parser.exit()


def check_options(args: argparse.Namespace) -> None:
    """Refuses, as a usage error, options that cannot go together and that the
    csv module would only refuse once the command runs."""
    sub: argparse.ArgumentParser = args.parser
    if getattr(args, "keep_bom", False) and args.strip_bom:
        sub.error("--keep-bom and --strip-bom contradict each other")
    if not hasattr(args, "quotechar"):
        return
    delimiter = args.delimiter or ","
    quote = args.quotechar or '"'
    for option, char in (("--delimiter", delimiter), ("--quote-char", quote)):
        if char in "\r\n":
            sub.error(f"{option} cannot be a line break ({char!r}): CSV rows end at line breaks")
    if delimiter == quote:
        given = "--delimiter" if args.delimiter else "--quote-char"
        sub.error(f"{given} {delimiter!r} is both the delimiter and the quote character; "
                  "give them different characters")
    import csv
    import io

    try:
        csv.writer(io.StringIO(), delimiter=delimiter, quotechar=quote,
                   quoting=QUOTING[args.quoting or "minimal"])  # type: ignore[arg-type]
    except (TypeError, ValueError, csv.Error) as exc:
        sub.error(f"unusable CSV options (--delimiter {delimiter!r}, --quote-char {quote!r}): "
                  f"{exc}")


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
        check_options(args)
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
