"""What each vorn command costs against the same job done with the library's parts.

For each table, every command and its counterpart run in their own process,
side by side in one run, and the report gives the ratio of their times (the
best of --repeat runs each). The counterparts are short Python programs that
use only the library and the standard library:

    check            a vorn_io.reader loop over the document
    decode --to csv  vorn_io.reader, csv.writer
    decode --to jsonl  vorn_io.reader, json.dumps per line
    encode           csv.reader, vorn_io.writer
    stats            is compared with check

The tables: a file of this machine (the npm package list under
/work/.library/env/packages, written as CSV: names, versions, counts and
summaries in many scripts) when it is there, and generated tables of short
ASCII cells and of longer cells beyond Latin-1.

    python bench/cli_cost.py                    # all tables
    python bench/cli_cost.py --size 64 --repeat 5 --out bench/results/cli_cost.md
"""

from __future__ import annotations

import argparse
import csv
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

VORN = shutil.which("vorn", path=str(Path(sys.executable).parent)) or "vorn"
PACKAGES = Path("/work/.library/env/packages/npm.tsv")

# The counterparts, each given the input and output paths as argv[1] and argv[2].
PARTS = {
    "check": """
import sys, vorn_io
rows = cells = 0
with open(sys.argv[1], encoding="utf-8", newline="") as f:
    for row in vorn_io.reader(f):
        rows += 1
        cells += len(row)
print(rows, cells)
""",
    "decode --to csv": """
import csv, sys, vorn_io
with open(sys.argv[1], encoding="utf-8", newline="") as f, \\
        open(sys.argv[2], "w", encoding="utf-8", newline="") as out:
    csv.writer(out, lineterminator="\\n").writerows(vorn_io.reader(f))
""",
    "decode --to jsonl": """
import json, sys, vorn_io
dumps = json.JSONEncoder(ensure_ascii=False).encode
with open(sys.argv[1], encoding="utf-8", newline="") as f, \\
        open(sys.argv[2], "w", encoding="utf-8", newline="") as out:
    for row in vorn_io.reader(f):
        out.write(dumps(row) + "\\n")
""",
    "encode": """
import csv, sys, vorn_io
csv.field_size_limit(sys.maxsize)
with open(sys.argv[1], encoding="utf-8", newline="") as f, \\
        open(sys.argv[2], "w", encoding="utf-8", newline="") as out:
    vorn_io.writer(out).writerows(csv.reader(f))
""",
}

COMMANDS = {
    "check": (["check", "{doc}"], "check"),
    "decode --to csv": (["decode", "{doc}", "-o", "{out}.csv"], "decode --to csv"),
    "decode --to jsonl": (["decode", "{doc}", "-o", "{out}.jsonl"], "decode --to jsonl"),
    "encode": (["encode", "{csv}", "-o", "{out}.vorn"], "encode"),
    "stats": (["stats", "{doc}"], None),  # against check
}


def write_packages(path: Path) -> bool:
    if not PACKAGES.exists():
        return False
    with PACKAGES.open(encoding="utf-8", newline="") as f, \
            path.open("w", encoding="utf-8", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        for line in f:
            writer.writerow(line.rstrip("\n").split("\t"))
    return True


def write_generated(path: Path, size_mb: int, wide: bool, seed: int = 1) -> None:
    rnd = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 "
    if wide:
        alphabet += "éüßøΩжщ漢字かな한글"
    words = ["".join(rnd.choice(alphabet) for _ in range(rnd.randint(1, 40 if wide else 12)))
             for _ in range(5000)]
    rows = [[rnd.choice(words) for _ in range(8)] for _ in range(20000)]
    with path.open("w", encoding="utf-8", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        target = size_mb << 20
        while out.tell() < target:
            writer.writerows(rows)


def timed(argv: list[str], cwd: Path) -> float:
    """CPU seconds (user and system) of one run: on a machine shared with
    other jobs, less disturbed by them than wall time."""
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    assert proc.stderr is not None
    errors = proc.stderr.read()
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status):
        raise SystemExit(f"{' '.join(argv)} failed: {errors.decode()}")
    return usage.ru_utime + usage.ru_stime


def measure_table(work: Path, name: str, repeat: int) -> list[tuple[str, float, float]]:
    source = work / f"{name}.csv"
    document = work / f"{name}.vorn"
    timed([VORN, "encode", str(source), "-o", str(document), "--quiet"], work)
    scripts = {}
    for job, text in PARTS.items():
        scripts[job] = work / f"part_{job.replace(' ', '_').replace('-', '')}.py"
        scripts[job].write_text(text)
    fields = {"doc": str(document), "csv": str(source), "out": str(work / "out")}
    best: dict[str, float] = {}
    # Interleaved, so that a slow moment of the machine falls on both sides.
    for _ in range(repeat):
        for job, (args, part) in COMMANDS.items():
            cli = timed([VORN, *(a.format(**fields) for a in args), "--quiet"], work)
            best[job] = min(best.get(job, cli), cli)
            if part is not None:
                input_path = source if job == "encode" else document
                lib = timed([sys.executable, str(scripts[part]), str(input_path),
                             str(work / "lib.out")], work)
                best["parts: " + job] = min(best.get("parts: " + job, lib), lib)
    results = []
    for job, (_, part) in COMMANDS.items():
        base = best["parts: " + job] if part is not None else best["check"]
        results.append((job, best[job], base))
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=32,
                        help="size of each generated CSV in MiB (default: 32)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each (default: 3)")
    parser.add_argument("--out", type=Path, default=None, help="also write a Markdown report")
    opts = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="vorn-cli-cost-"))
    lines = [
        "# What each vorn command costs against the library's parts",
        "",
        f"Measured {time.strftime('%Y-%m-%d')} with `python bench/cli_cost.py --size "
        f"{opts.size} --repeat {opts.repeat}` on {platform.machine()} with {os.cpu_count()} "
        f"cores, Python {platform.python_version()}: best of {opts.repeat} runs, each in "
        "its own process (start-up included on both sides), timed in CPU seconds.",
        "",
        "| table | command | vorn CPU s | parts CPU s | ratio |",
        "|---|---|---:|---:|---:|",
    ]
    try:
        tables = []
        if write_packages(work / "npm.csv"):
            tables.append("npm")
        write_generated(work / "ascii.csv", opts.size, wide=False)
        write_generated(work / "wide.csv", opts.size, wide=True)
        tables += ["ascii", "wide"]
        for name in tables:
            size = (work / f"{name}.csv").stat().st_size / 2**20
            label = f"{name} ({size:.0f} MiB CSV)"
            for job, cli, base in measure_table(work, name, opts.repeat):
                against = "check" if job == "stats" else "parts"
                row = (f"| {label} | `vorn {job}` | {cli:.2f} | {base:.2f} ({against}) | "
                       f"{cli / base:.2f}x |")
                print(row, flush=True)
                lines.append(row)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report = "\n".join(lines) + "\n"
    if opts.out:
        opts.out.write_text(report)


if __name__ == "__main__":
    main()
