"""What a table's text is, decided from the evidence of many lines.

A sample from the start of the input (SAMPLE characters) is split into
records once per candidate reading: CSV with each common delimiter, quotes
taken into account, and TSV (tabs, no quoting). A reading fits when it
gives the same number of cells, two or more, on nearly every record, and
no record has a quote where a CSV writer would never put one (inside a
cell that is not quoted, or after a closing quote).

The choice is made only when the evidence points one way; otherwise the
input is refused with a hint naming the option to give. A choice other
than the default (CSV with commas) is reported as a note.
"""

from __future__ import annotations

import collections
import io
import json
from typing import NamedTuple

SAMPLE = 1 << 16
CANDIDATES = (",", "\t", ";", "|")
NAMES = {",": "comma", "\t": "tab", ";": "semicolon", "|": "pipe", " ": "space"}
# Characters that start comment lines in the files people meet.
COMMENT_CHARS = "#%"
# Share of records that must have the usual number of cells for a reading to fit.
CONSISTENT = 0.9
# Records looked at: enough to judge, few enough to stay quick.
MAX_RECORDS = 2000


class Refusal(Exception):
    """The evidence does not settle the question; the message says what to give."""


class Choice(NamedTuple):
    fmt: str
    delimiter: str | None  # for CSV; None is the default comma
    note: str | None  # said on standard error when the choice is not the default


class Reading(NamedTuple):
    counts: list[int]  # cells per record, blank lines and comments left out
    bad: int  # records with a quote no writer of this dialect would produce
    first_bad: int  # 1-based line of the first of them, 0 if none
    leading: list[int]  # cells of the leading comment-like lines (left out of counts)

    @property
    def usual(self) -> int:
        if not self.counts:
            return 0
        return collections.Counter(self.counts).most_common(1)[0][0]

    @property
    def fits(self) -> bool:
        usual = self.usual
        return (usual >= 2 and self.bad == 0
                and self.counts.count(usual) >= CONSISTENT * len(self.counts))


def _name(ch: str) -> str:
    return NAMES.get(ch, repr(ch))


def _lines(sample: str, complete: bool) -> list[str]:
    lines = io.StringIO(sample, newline="").readlines()  # "\n", "\r\n" or "\r" only
    if not complete and len(lines) > 1:
        lines.pop()  # cut short by the end of the sample
    return lines


def split_records(sample: str, delimiter: str | None, quote: str | None, comment: str | None,
                  complete: bool) -> Reading:
    """Cells per record of sample read as CSV with delimiter and quote
    (quote None: no quoting), or as TSV when delimiter is None."""
    counts: list[int] = []
    leading: list[int] = []
    bad = first_bad = 0
    line_no = 0
    lines = _lines(sample, complete)
    sep = delimiter or "\t"
    i = 0
    while i < len(lines) and len(counts) < MAX_RECORDS:
        line = lines[i]
        line_no = i + 1
        i += 1
        body = line.rstrip("\r\n")
        if comment is not None and body.startswith(comment):
            continue
        if not body:
            continue  # a blank line is a row with no cells (or one empty cell)
        if delimiter is None or quote is None or quote not in body:
            n = body.count(sep) + 1
            if not counts and body[0] in COMMENT_CHARS and comment is None:
                leading.append(n)
                continue
            counts.append(n)
            continue
        # A record that holds quotes: read it cell by cell, across lines
        # while a quoted cell is open.
        text = body
        record_bad = False
        cells = 1
        pos = 0
        resume = 0  # where the search for a closing quote goes on, once a line is added
        while True:
            if pos < len(text) and text[pos] == quote:
                end = max(pos + 1, resume)
                while True:
                    end = text.find(quote, end)
                    if end == -1:
                        break
                    if end + 1 < len(text) and text[end + 1] == quote:
                        end += 2
                        continue
                    break
                if end == -1:
                    if i < len(lines):
                        resume = len(text)
                        text += "\n" + lines[i].rstrip("\r\n")  # the cell goes on
                        i += 1
                        continue
                    if not complete:
                        return Reading(counts, bad, first_bad, leading)  # cut short
                    record_bad = True
                    break
                pos = end + 1
                resume = 0
                if pos < len(text) and text[pos] != sep:
                    record_bad = True  # text after the closing quote
                    nxt = text.find(sep, pos)
                    if nxt == -1:
                        break
                    pos = nxt
            else:
                nxt = text.find(sep, pos)
                cell = text[pos:] if nxt == -1 else text[pos:nxt]
                if quote in cell:
                    record_bad = True  # a quote inside an unquoted cell
                if nxt == -1:
                    break
                pos = nxt
            if pos >= len(text):
                break
            pos += 1  # past the delimiter
            cells += 1
        if not counts and body[0] in COMMENT_CHARS and comment is None:
            leading.append(cells)
            continue
        if record_bad:
            bad += 1
            first_bad = first_bad or line_no
        counts.append(cells)
    return Reading(counts, bad, first_bad, leading)


def _comment_hint(readings: list[Reading], sample: str) -> str | None:
    """A hint naming --comment when the input starts with lines that look
    like comments and the lines after them read as a table."""
    first = sample.lstrip("\ufeff")[:1]
    if not first or first not in COMMENT_CHARS:
        return None
    for reading in readings:
        if reading.leading and reading.fits and any(n != reading.usual for n in reading.leading):
            return (f"line 1 starts with {first!r} and does not split like the lines after "
                    f"it: if it is a comment, give --comment '{first}' to skip such lines")
    return None


def leading_comment_note(sample: str, fmt: str, delimiter: str | None, quote: str,
                         complete: bool) -> str | None:
    """For a format that was given: a note when the first line looks like a
    comment that the rest of the table does not share the shape of."""
    first = sample.lstrip("\ufeff")[:1]
    if not first or first not in COMMENT_CHARS:
        return None
    reading = (split_records(sample, None, None, None, complete) if fmt == "tsv"
               else split_records(sample, delimiter or ",", quote, None, complete))
    if reading.leading and reading.fits and any(n != reading.usual for n in reading.leading):
        return (f"line 1 starts with {first!r} and does not have the {reading.usual} cells of "
                f"the lines after it; if it is a comment, give --comment '{first}' to skip it")
    return None


def _csv_choice(readings: dict[str, Reading], fitting: list[str], name: str) -> Choice:
    """The delimiter of text known to be CSV: the comma unless the sample
    rules it out and one other delimiter fits."""
    comma = readings[","]
    if comma.bad == 0 or not comma.counts:
        if not comma.fits:
            other = [d for d in fitting if d != ","]
            if len(other) == 1:
                d = other[0]
                return Choice("csv", None,
                              f"{name}: read with ',' as the delimiter (the default "
                              f"for CSV), though the lines split evenly on {d!r} into "
                              f"{readings[d].usual} cells: give --delimiter {_name(d)} "
                              "if that is meant")
        return Choice("csv", None, None)
    # A quote stands where no comma-separated writer puts one.
    other = [d for d in fitting if d != ","]
    if len(other) == 1:
        d = other[0]
        return Choice("csv", d, f"{name}: read as CSV separated by {d!r} "
                      f"({readings[d].usual} cells a line; with commas, line "
                      f"{comma.first_bad} has a quote out of place); give --delimiter "
                      "to choose another")
    if len(other) > 1:
        raise Refusal(f"{name}: cannot tell the delimiter: the lines split evenly on "
                      + " and on ".join(repr(d) for d in other)
                      + "\nhint: give --delimiter " + " or --delimiter ".join(
                          _name(d) for d in other))
    return Choice("csv", None, _stray_quote_note(comma, name))  # nothing fits better


def _stray_quote_note(comma: Reading, name: str) -> str | None:
    if not comma.bad:
        return None
    return (f"{name}: line {comma.first_bad} has a quote out of place for CSV with commas; "
            "it is read as the csv module reads it (such quotes stay in the cell), which "
            "--delimiter or --quote-char may change")


def infer(sample: str, complete: bool, *, csv_given: bool, quote: str | None = '"',
          comment: str | None = None, name: str = "the input") -> Choice:
    """The format and delimiter of delimited text (not JSON).

    csv_given: the input is known to be CSV (--from csv or a *.csv name);
    then the comma is kept unless the sample rules it out and one other
    delimiter fits. complete: the sample is the whole input.
    """
    readings: dict[str, Reading] = {
        d: split_records(sample, d, quote, comment, complete) for d in CANDIDATES}
    tsv = split_records(sample, None, None, comment, complete)
    comma = readings[","]
    # One line is no evidence against the default: other readings need two.
    fitting = [d for d in CANDIDATES
               if readings[d].fits and (d == "," or len(readings[d].counts) > 1)]
    tsv_fits = tsv.fits and len(tsv.counts) > 1
    if comment is None and not csv_given:
        hint = _comment_hint([*readings.values(), tsv], sample)
        if hint is not None:
            raise Refusal(f"{name}: cannot tell whether the first line is a comment or a "
                          f"row\nhint: {hint}")
    if csv_given:
        # CSV as given: a first line like a comment stays a row, with a note.
        choice = _csv_choice(readings, fitting, name)
        if comment is None and choice.note is None:
            return choice._replace(note=leading_comment_note(
                sample, "csv", choice.delimiter, quote or '"', complete))
        return choice
    if tsv_fits and "\t" in fitting and quote is not None and quote in sample:
        raise Refusal(f"{name}: cannot tell whether this is TSV or CSV separated by tabs "
                      "(quotes around cells read differently in the two)\nhint: give "
                      "--from tsv or --from csv --delimiter tab")
    tabbed = tsv_fits or "\t" in fitting
    others = [d for d in fitting if d not in (",", "\t")]
    if comma.fits and not tabbed and not others:
        return Choice("csv", None, None)
    kinds = ([","] if comma.fits else []) + (["\t"] if tabbed else []) + others
    if len(kinds) > 1:
        options = ["--from csv" if k == "," else "--from tsv" if k == "\t"
                   else f"--from csv --delimiter {_name(k)}" for k in kinds]
        raise Refusal(f"{name}: cannot tell the delimiter: the lines split evenly on "
                      + " and on ".join(map(repr, kinds)) + "\nhint: give " + " or ".join(options))
    if tabbed:
        if tsv_fits:
            return Choice("tsv", None, f"{name}: read as TSV ({tsv.usual} cells a line, "
                          "split on tabs, no quoting); give --from csv --delimiter tab for "
                          "quoted cells")
        return Choice("csv", "\t", f"{name}: read as CSV separated by tabs "
                      f"({readings[chr(9)].usual} cells a line, quoted cells); give --from tsv "
                      "to read quotes as text")
    if others:
        d = others[0]
        return Choice("csv", d, f"{name}: read as CSV separated by {d!r} "
                      f"({readings[d].usual} cells a line); give --delimiter to choose "
                      "another")
    # No reading fits: a table of one column, or text too ragged to judge.
    lines = [line for line in _lines(sample, complete) if line.strip("\r\n")]
    if lines and sum("\t" in line for line in lines) * 2 >= len(lines) and \
            not any("," in line for line in lines):
        raise Refusal(f"{name}: cannot tell whether this is TSV or CSV (its lines hold tabs "
                      "and no commas, in differing numbers)\nhint: give --from tsv or "
                      "--from csv")
    return Choice("csv", None, _stray_quote_note(comma, name))


def json_kind(sample: str) -> str | None:
    """'json' or 'jsonl' when the sample starts as JSON does, else None."""
    start = sample.lstrip(" \t\r\n")
    if start.startswith("{"):
        # One object per line is JSON Lines; an object that spans lines
        # (one wrapping a list of records, say) is a JSON document.
        first = start.split("\n", 1)[0]
        try:
            json.loads(first)
        except ValueError:
            return "json" if "\n" in start or len(start) < len(sample) else "jsonl"
        return "jsonl"
    if start.startswith("["):
        # An array of rows (or of records) is JSON; an array of cells is the
        # first line of JSON Lines.
        inner = start[1:].lstrip(" \t\r\n")
        return "json" if not inner or inner[0] in "[{]" else "jsonl"
    return None
