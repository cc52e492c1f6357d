"""A short tour of the vorn command: encode a CSV table, check the document,
decode it again and compare, then show how a damaged document is reported.

Run with `make demo`. Exits non-zero if the document does not hold the CSV's
table or the round trip does not give back the original file byte for byte.
"""

import csv
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import vorn

HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "cities.csv"

# The tool as installed (make demo installs this checkout first): vorn_io has
# a native part that only an installed copy holds.
ENV = dict(os.environ)


def run_vorn(cwd: str, *args: str, expect: int = 0) -> subprocess.CompletedProcess[str]:
    print(f"$ vorn {' '.join(args)}")
    done = subprocess.run([sys.executable, "-m", "vorn_cli", *args], cwd=cwd, env=ENV,
                          capture_output=True, text=True, encoding="utf-8")
    for stream in (done.stdout, done.stderr):
        if stream:
            print("    " + stream.rstrip("\n").replace("\n", "\n    "))
    if done.returncode != expect:
        raise SystemExit(f"vorn {args[0]} exited with {done.returncode}, expected {expect}")
    return done


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copy(SAMPLE, tmp)
        doc, back = Path(tmp, "cities.vorn"), Path(tmp, "roundtrip.csv")
        run_vorn(tmp, "encode", SAMPLE.name, "-o", doc.name)
        run_vorn(tmp, "check", doc.name)
        run_vorn(tmp, "stats", doc.name)
        run_vorn(tmp, "decode", doc.name, "-o", back.name)

        original, restored = SAMPLE.read_bytes(), back.read_bytes()
        with SAMPLE.open(newline="", encoding="utf-8") as f:
            table = list(csv.reader(f))
        text = doc.read_text(encoding="utf-8")
        print(f"\n{len(table)} rows, {sum(map(len, table))} cells: "
              f"CSV {len(original)} bytes, VORN {len(doc.read_bytes())} bytes")
        same_table = vorn.parse(text) == table
        print(f"document holds the CSV's table: {'yes' if same_table else 'NO'}")
        print(f"round trip CSV -> VORN -> CSV: {'identical' if restored == original else 'DIFFERENT'}")
        if restored != original or not same_table:
            return 1

        # Drop one character from the payload of the first cell of row 2:
        # its declared length now swallows the next cell's prefix.
        damaged = Path(tmp, "damaged.vorn")
        cut = text.index("05Tokyo") + 2
        damaged.write_text(text[:cut] + text[cut + 1:], encoding="utf-8")
        print("\nthe same document with one character removed:")
        run_vorn(tmp, "check", damaged.name, expect=1)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
