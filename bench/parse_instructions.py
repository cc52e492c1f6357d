"""Instructions vorn.parse executes on each standard table, counted by
callgrind (exact and independent of the machine's load), for comparing two
builds side by side:

    python bench/parse_instructions.py [--python OTHER_PYTHON] [TABLE ...]

Each table is parsed once in a fresh process under valgrind, and the same
process is run once more without the parse: the difference is the parse's
count (the module's symbols are stripped, so callgrind cannot be told to
count inside it alone). With --python the same is done with a second
interpreter (another build of vorn, e.g. main's .venv/bin/python) and the
ratio after/before is printed.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TABLES = ["short_ascii", "latin1", "bmp_cjk", "astral", "long", "unicodedata"]

CHILD = """
import sys
sys.path.insert(0, {here!r})
import tables, vorn
table = tables.load({name!r})
doc = vorn.stringify(table)
if {parse!r}:
    rows = vorn.parse(doc)
"""


def run(python, name, parse):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        python, "-c", CHILD.format(here=HERE, name=name, parse=parse)],
                       check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as f:
            text = f.read()
    m = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
    return int(m.group(1))


def count(python, name):
    return run(python, name, True) - run(python, name, False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--python", help="a second interpreter to compare with (before)")
    ap.add_argument("tables", nargs="*", default=TABLES)
    args = ap.parse_args()
    # Build the cached tables natively first: generating them under valgrind is slow.
    sys.path.insert(0, HERE)
    import tables
    names = []
    for name in args.tables:
        try:
            tables.load(name)
            names.append(name)
        except (OSError, FileNotFoundError) as missing:
            print(f"{name}: skipped ({missing})")
    print(f"{'table':14} {'before':>14} {'after':>14} {'after/before':>12}")
    for name in names:
        after = count(sys.executable, name)
        before = count(args.python, name) if args.python else None
        ratio = f"{after / before:12.4f}" if before else ""
        print(f"{name:14} {before or '':>14} {after:>14} {ratio}", flush=True)


if __name__ == "__main__":
    main()
