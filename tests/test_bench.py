"""The benchmark measures what it names: every case, run once on a small
table, gives the table back or a document that decodes to it; the tables
scale as asked; the report replaces only its own blocks."""

import os
import sys

import pytest

import vorn

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import cases  # noqa: E402
import tables  # noqa: E402

SMALL = {name: tables.STANDARD[name][0](40) for name in ("short_ascii", "astral", "long")}


def decoder(name):
    return cases.CODECS[name][0]


@pytest.mark.parametrize("table", SMALL, ids=str)
@pytest.mark.parametrize("c", cases.GROUPS["parse"] + cases.GROUPS["stringify"], ids=lambda c: f"{c.group}/{c.name}")
def test_codec_cases_round_trip(c, table):
    t = SMALL[table]
    fn, arg = c.setup(t)
    out = fn(arg)
    if c.group == "parse":
        assert out == t
    elif c.floor:
        assert out == "".join(cell for row in t for cell in row)
    else:
        assert decoder(c.name)(out) == t


@pytest.mark.parametrize("c", cases.GROUPS["read"] + cases.GROUPS["write"], ids=lambda c: c.name)
def test_streaming_cases_read_and_write_the_document(c):
    t = SMALL["astral"]
    fn, arg = c.setup(t)
    path = os.path.join(cases._TMP[0], "doc.vorn")
    if c.group == "write":
        os.truncate(path, 0)
    out = fn(arg)
    if c.group == "read":
        assert out == t or (c.name == "reader, rows dropped" and len(out) == 0)
    else:
        with open(path, encoding="utf-8", newline="") as f:
            assert vorn.parse(f.read()) == t


def test_call_cases_and_timer():
    for c in cases.GROUPS["call"]:
        fn, arg = c.setup(None)
        assert cases.timer(3, fn, arg, False) >= 0
    assert cases.timer(2, vorn.parse, "01a;", True) > 0


def test_every_suite_names_known_tables_and_cases():
    for name, suite in cases.SUITES.items():
        assert cases.benchmarks(suite), name
        for label in suite.tables:
            base = label.partition("@")[0]
            assert label == "-" or base in tables.STANDARD or base in tables.WRITER, label
        # The floors and the third-party peers are there only where installed.
        known = {k.name for g in suite.groups for k in cases.GROUPS[g]}
        known |= {"floor", "floor1", "orjson", "msgspec.json", "msgspec.msgpack"}
        assert set(suite.cases or ()) <= known, name


@pytest.mark.parametrize("label, mb", [("short_ascii@0.2", 0.2), ("astral@0.3", 0.3)])
def test_scaled_tables_come_near_their_size(label, mb):
    size = len(vorn.stringify(tables.build(label)).encode())
    assert 0.8 * mb * 1e6 < size < 1.2 * mb * 1e6


def test_report_replaces_only_its_blocks(tmp_path):
    pytest.importorskip("pyperf")
    import report
    path = tmp_path / "r.md"
    path.write_text("a\n<!-- begin results:x -->\nold\n<!-- end results:x -->\nb\n")
    report.splice(path, {"x": ["| new |", ""], "y": ["unused"]})
    assert path.read_text() == "a\n<!-- begin results:x -->\n| new |\n<!-- end results:x -->\nb\n"
