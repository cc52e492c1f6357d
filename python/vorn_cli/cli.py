"""The vorn command: convert tables to and from VORN, check and measure documents."""

from __future__ import annotations

import argparse
import codecs
import csv
import json
import os
import signal
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import NoReturn

from . import columnar, compression
from .documents import (first_rows, open_document, read_batches, read_document,
                        write_document)
from . import sniff
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
start with an array of rows or an object spanning lines, as JSON Lines when
they start with an object on one line or an array of cells. Other text is
judged from its first 64 KiB: each of comma, tab, semicolon and pipe is
tried, quotes taken into account, and the one that splits nearly every line
into the same number of cells (two or more) is used. When more than one
does, or tabs read differently as TSV and as quoted CSV, the input is
refused with a hint naming the option to give; a choice other than CSV with
commas is said in a note on standard error. CSV (--from csv or *.csv)
without --delimiter is read with commas unless a quote stands where no
comma-separated writer puts one and exactly one other delimiter fits. A
first line starting with '#' or '%' that does not have the shape of the
lines after it is named in a hint: --comment CHAR skips lines starting with
CHAR. A FILE named *.vorn is refused unless --from is given. Files named
*.gz, *.bz2 or *.xz are decompressed, and so is compressed standard input.

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
record) and the cell (or key), unless --nested json keeps them as their
compact JSON text. An object wrapping the table (such as {"items": [...]})
is read with --json-key items. All formats are read a piece at a time.

An input without rows is refused, since a VORN document holds at least one
row. Input is decoded strictly (--errors surrogatepass reads and writes lone
surrogates encoded as UTF-8, UTF-16 or UTF-32 would encode them); a
byte-order mark at its start is removed unless --keep-bom is given. The document is written without a line break
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
With --columns, each column is measured instead (by the header's names with
--header, else by number): its cells and empty cells, distinct values
(counted exactly up to --distinct-cap, then given as "at least"), shortest
and longest cell, storage widths and most common values (when the cap is
reached, the most common among the values seen before it).

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
  vorn encode --comment '#' packages.txt -o packages.vorn
  vorn encode /usr/share/iso-codes/json/iso_639-3.json --json-key 639-3 -o languages.vorn
  vorn encode records.json --nested json -o data.vorn   # nested values as JSON text
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
  vorn stats --header --json data.vorn.xz
  vorn stats --columns --header data.vorn""",
    "head": """\
examples:
  vorn head data.vorn
  vorn head -n 100 big.vorn -o sample.vorn
  vorn head -n 5 --records --to jsonl data.vorn
  gzip -dc data.vorn.gz | vorn head -n 3""",
    "tail": """\
examples:
  vorn tail data.vorn
  vorn tail -n 100 big.vorn --to tsv --escape""",
    "cut": """\
examples:
  vorn cut -f city,country data.vorn -o places.vorn
  vorn cut -c 3,1 data.vorn --to csv
  vorn cut -c 2-4 data.vorn.gz | vorn stats --columns""",
}

HEAD_NOTES = """\
Writes the first N rows of a VORN document, reading no more of it than
those rows take: a pipe feeding it is left unread after them. With
--records, the first row names the keys and N records follow it. The output
format is --to, else OUT's extension (*.vorn too), else CSV; the options
are decode's.
"""

TAIL_NOTES = """\
Writes the last N rows of a VORN document. A UTF-8 file that is not
compressed is split at row boundaries by the exact partition pass and only
its last ranges are decoded; standard input and other files are read
through. With --records, the document's first row names the keys. The output
format is --to, else OUT's extension (*.vorn too), else CSV.
"""

CUT_NOTES = """\
Selects and reorders columns: -f by the names in the first row (the header,
which is written too, in the new order), -c by 1-based numbers or ranges
(2-4). A column may be given more than once. A name the header lacks, or
one it holds twice, is refused; so is a row too short for a column asked
for, naming it. The output is VORN, unless --to or OUT's extension names
a format that decode writes.
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


def _positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"{value!r} is not a positive whole number")
    return number


MAX_COLUMN = 1 << 20  # a bound on the numbers -c takes, so that a range stays small


def _column_numbers(value: str) -> list[int]:
    """1-based column numbers and ranges: "3,1", "2-4"."""
    numbers: list[int] = []
    for part in value.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            lo = int(first)
            hi = int(last) if dash else lo
        except ValueError:
            lo = hi = 0
        if lo < 1 or hi < lo or hi > MAX_COLUMN:
            raise argparse.ArgumentTypeError(
                f"{part.strip()!r} is not a column number or range (1-based: 3, or 2-4)")
        numbers.extend(range(lo, hi + 1))
    return numbers


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


# Commands that write a table in any of decode's formats or as VORN.
TABLE_WRITERS = ("head", "tail", "cut")


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
    vorn_too = args.command in TABLE_WRITERS
    if (ext == ".vorn" and not vorn_too) or ext in FOREIGN:
        raise Failure(f"{args.output}: {args.command} does not write {ext[1:].upper()}; it "
                      f"writes {'VORN, ' if vorn_too else ''}CSV, TSV, JSON and JSON Lines "
                      f"({'.vorn, ' if vorn_too else ''}.csv, .tsv, .json, .jsonl, each "
                      "optionally .gz, .bz2 or .xz)", USAGE_ERROR)
    named = "vorn" if ext == ".vorn" else EXTENSIONS.get(ext)
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
    if getattr(args, "line_terminator", None) and fmt in ("json", "jsonl", "vorn"):
        raise Failure(f"--line-terminator applies to CSV and TSV, not {fmt.upper()}",
                      USAGE_ERROR)
    if getattr(args, "comment", None) is not None and fmt not in ("csv", "tsv"):
        raise Failure(f"--comment applies to CSV and TSV, not {fmt.upper()}", USAGE_ERROR)
    if getattr(args, "json_key", None) is not None and fmt != "json":
        raise Failure(f"--json-key applies to JSON (an object wrapping the table), not "
                      f"{fmt.upper()}", USAGE_ERROR)
    if getattr(args, "nested", None) is not None and fmt not in ("json", "jsonl"):
        raise Failure(f"--nested applies to JSON and JSON Lines, not {fmt.upper()}",
                      USAGE_ERROR)
    return Dialect(delimiter=args.delimiter if fmt == "csv" else None,
                   quotechar=getattr(args, "quotechar", None) or '"',
                   quoting=getattr(args, "quoting", None) or "minimal",
                   line_terminator=getattr(args, "line_terminator", None) or "lf",
                   escape=getattr(args, "escape", False),
                   json_scalars=getattr(args, "json_scalars", False),
                   comment=getattr(args, "comment", None),
                   json_key=getattr(args, "json_key", None),
                   nested=getattr(args, "nested", None) or "refuse",
                   surrogates=args.errors == "surrogatepass")


# Encodings whose codecs read and write lone surrogates with surrogatepass.
_PASSING = ("utf-8", "utf-8-sig", "utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le",
            "utf-32-be")


def _encodings(args: argparse.Namespace) -> tuple[str, str]:
    both = args.encoding or "utf-8"
    source = check_encoding(args.input_encoding or both)
    target = check_encoding(getattr(args, "output_encoding", None) or both)
    if args.errors == "surrogatepass":
        for name in (source, target):
            if codecs.lookup(name).name not in _PASSING:
                raise Failure(f"--errors surrogatepass applies to UTF-8, UTF-16 and UTF-32, "
                              f"not {name}", USAGE_ERROR)
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


def _note(args: argparse.Namespace, text: str | None) -> None:
    """A word on standard error about a choice made for the user."""
    if text and not args.quiet:
        _write_stderr(f"vorn {args.command}: note: {text}\n")


def _input_format(args: argparse.Namespace, source: Input) -> tuple[str, str | None]:
    """The format of the table in source and, for CSV, the delimiter: as
    given, else as the evidence of the first lines says."""
    given = args.source_format or _format_of(args.file)
    sample = source.peek(sniff.SAMPLE)
    complete = len(sample) < sniff.SAMPLE
    if given is None and args.json_key is not None:
        given = "json"  # the table is a member of an object, wherever that object stands
    if given is None:
        given = sniff.json_kind(sample)
    if given in ("json", "jsonl"):
        return given, None
    quote = None if args.quoting == "none" else (args.quotechar or '"')
    if given == "tsv" or (given == "csv" and args.delimiter is not None) or \
            (given is None and args.delimiter is not None):
        fmt = given or "csv"
        if args.comment is None:
            _note(args, sniff.leading_comment_note(sample, fmt, args.delimiter, quote or '"',
                                                   complete))
        return fmt, args.delimiter
    try:
        choice = sniff.infer(sample, complete, csv_given=given == "csv", quote=quote,
                             comment=args.comment, name=source.name)
    except sniff.Refusal as exc:
        raise Failure(str(exc), USAGE_ERROR) from None
    _note(args, choice.note)
    return choice.fmt, choice.delimiter


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
               progress=progress, track=False, errors=args.errors) as source:
        fmt, delimiter = _input_format(args, source)
        dialect = _dialect(args, fmt)._replace(delimiter=delimiter)
        out = Output(args.output, target_encoding, errors=args.errors)
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


def _table_output(args: argparse.Namespace, default: str) -> tuple[str, Dialect]:
    """The output format of a command that writes a table, and its dialect."""
    _check_output(args, args.target_format)
    fmt = args.target_format or (
        "vorn" if args.output != STDIO and _table_name(args.output)[0] == ".vorn"
        else _format_of(args.output)) or default
    if fmt == "vorn" and args.records:
        raise Failure("--records applies to JSON and JSON Lines, not VORN", USAGE_ERROR)
    return fmt, _dialect(args, fmt)


def _write_table(args: argparse.Namespace, rows: Iterable[Sequence[str]], fmt: str,
                 dialect: Dialect, source: Input, target_encoding: str,
                 progress: Progress) -> None:
    """Writes rows to args.output, whole or not at all."""
    if fmt == "vorn":
        target_encoding = _without_bom(target_encoding)
    out = Output(args.output, target_encoding, errors=args.errors)
    try:
        try:
            if fmt == "vorn":
                write_document(rows, out)  # type: ignore[arg-type]
            else:
                write_rows(rows, out, fmt, dialect,  # type: ignore[arg-type]
                           records=args.records, text_read=lambda: source.chars)
        except TableError as exc:
            raise Failure(f"cannot write {out.name} as {fmt.upper()}: {exc}",
                          DATA_ERROR) from None
        progress.close()
        out.commit()
    finally:
        progress.close()
        out.discard()


def _open(args: argparse.Namespace, encoding: str, progress: Progress | None) -> Input:
    return open_document(args.file, encoding, progress, errors=args.errors)


def cmd_decode(args: argparse.Namespace) -> int:
    if columnar.handles_output(args):
        return columnar.decode(args)
    return _table_command(args, "csv", lambda source: read_document(source, args.max_row_size))


def _table_command(args: argparse.Namespace, default_format: str,
                   rows_of: Callable[[Input], Iterable[Sequence[str]]]) -> int:
    """The input opened, its rows (as rows_of reads them) written in the
    output format asked for, default_format without one."""
    source_encoding, target_encoding = _encodings(args)
    fmt, dialect = _table_output(args, default_format)
    progress = _progress(args)
    with _open(args, source_encoding, progress) as source:
        _write_table(args, rows_of(source), fmt, dialect, source, target_encoding, progress)
    return OK


def cmd_head(args: argparse.Namespace) -> int:
    wanted = args.lines + (1 if args.records else 0)  # the keys come first
    return _table_command(args, "csv", lambda source: first_rows(source, wanted, args.max_row_size))


def cmd_tail(args: argparse.Namespace) -> int:
    from .ends import last_rows

    return _table_command(
        args, "csv", lambda source: last_rows(source, args.lines, args.max_row_size, keys=args.records))


def cmd_cut(args: argparse.Namespace) -> int:
    from .ends import cut

    return _table_command(args, "vorn", lambda source: cut(read_document(source, args.max_row_size), source.name,
                                                          names=args.fields, numbers=args.columns))


def _count(args: argparse.Namespace, path: str, encoding: str) -> str:
    progress = Progress(f"vorn check {display_name(path)}", Progress.wanted(args.quiet))
    try:
        with open_document(path, encoding, progress, errors=args.errors) as source:
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
    if args.columns:
        from . import column_stats

        return column_stats.run(args, _open(args, encoding, _progress(args)))
    if args.distinct_cap is not None:
        raise Failure("--distinct-cap applies to --columns", USAGE_ERROR)
    out = Output(STDIO, "utf-8", errors="surrogateescape")
    stats = Stats(header=args.header)
    progress = _progress(args)
    try:
        with _open(args, encoding, progress) as source:
            for batch in read_batches(source, max_row_size=args.max_row_size):
                stats.add(batch)
    finally:
        progress.close()
    document = stats.document(source.chars)
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
    group.add_argument("--errors", choices=("strict", "surrogatepass"), default="strict",
                       help="strict refuses lone surrogates in encoded text; surrogatepass "
                            "reads and writes them as UTF-8, UTF-16 and UTF-32 encode them "
                            "(default: strict)")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="show no progress and no notes on standard error (progress is "
                             "shown only when that is a terminal)")
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

    def dialect_options(sub: argparse.ArgumentParser, writing: bool) -> argparse._ArgumentGroup:
        group = sub.add_argument_group("CSV and TSV")
        group.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                           help="CSV cell separator: one character, or tab, comma, semicolon, "
                                "space, pipe (default: ,"
                                + ("" if writing else "; without --from csv, the one that "
                                   "splits the first lines evenly") + ")")
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
        return group

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
                        help="input format (default: from the file's extension, else judged "
                             "from the first lines)")
    dialect_options(encode, writing=False).add_argument(
        "--comment", type=_character, metavar="CHAR",
        help="skip lines that start with CHAR (such as '#'), as comments")
    group = encode.add_argument_group("JSON")
    group.add_argument(
        "--json-scalars", action="store_true",
        help="take JSON numbers, booleans and null as their text (1.5, true, null)")
    group.add_argument("--json-key", metavar="NAME",
                       help="read the table from member NAME of a top-level object, as in "
                            '{"NAME": [...]}')
    group.add_argument("--nested", choices=("refuse", "json"),
                       help="nested arrays and objects: refuse them, or keep each as its "
                            "compact JSON text (default: refuse)")
    encode.add_argument("--keep-bom", action="store_true",
                        help="keep a byte-order mark at the start of the input as the first "
                             "character of the first cell (by default it is removed)")

    def table_output(sub: argparse.ArgumentParser, vorn_too: bool, default: str) -> None:
        formats = FORMATS + ("vorn",) if vorn_too else FORMATS
        sub.add_argument("--to", dest="target_format", choices=formats,
                         help=f"output format (default: from OUT's extension, else {default})")
        dialect_options(sub, writing=True)
        sub.add_argument_group("JSON").add_argument(
            "--records", action="store_true",
            help="JSON and JSON Lines: write each row after the first as an object whose "
                 "keys are the cells of the first row")

    decode = add("decode", cmd_decode, "Write a VORN document as a CSV, TSV or JSON table.",
                 DECODE_NOTES, [single, common, documents, output])
    table_output(decode, False, "csv")

    head = add("head", cmd_head, "Write the first rows of a VORN document.", HEAD_NOTES,
               [single, common, documents, output])
    head.add_argument("-n", "--lines", type=_positive, default=10, metavar="N",
                      help="how many rows (default: 10)")
    table_output(head, True, "csv")
    tail = add("tail", cmd_tail, "Write the last rows of a VORN document.", TAIL_NOTES,
               [single, common, documents, output])
    tail.add_argument("-n", "--lines", type=_positive, default=10, metavar="N",
                      help="how many rows (default: 10)")
    table_output(tail, True, "csv")
    cut = add("cut", cmd_cut, "Select and reorder the columns of a VORN document.", CUT_NOTES,
              [single, common, documents, output])
    which = cut.add_mutually_exclusive_group(required=True)
    which.add_argument("-f", "--fields", action="append", metavar="NAMES",
                       help="columns by the names in the first row, separated by commas "
                            "(city,country); may be given again")
    which.add_argument("-c", "--columns", action="append", type=_column_numbers,
                       metavar="LIST", help="columns by 1-based number or range, separated "
                                            "by commas (3,1 or 2-4); may be given again")
    table_output(cut, True, "vorn")

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
    stats.add_argument("--columns", action="store_true",
                       help="figures for each column: cells, empty cells, distinct values, "
                            "shortest and longest cell, storage widths, most common values")
    stats.add_argument("--distinct-cap", type=_positive, metavar="N",
                       help="--columns: count distinct values exactly up to N, then give "
                            "'at least' (default: 10000)")
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
