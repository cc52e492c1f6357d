"""Peak memory and time of the vorn command on a large file.

Generates a CSV of short cells (200 MB unless --size says otherwise), then
runs encode, check, stats and decode on it, each in its own process, and
reports the wall time and the peak resident size of each (from the child's
rusage), plus the time `vorn decode big.vorn | head -1` takes to print its
first line. Then it does the same for a table whose one large cell is 200 MB
(--cell), through CSV and JSON Lines both ways, and reports each peak as a
multiple of the cell's size. The figures go to standard output and, with
--out, to a Markdown file.

    python bench/cli_memory.py                  # 200 MB
    python bench/cli_memory.py --size 2048      # 2 GB (needs about 7 GB of disk)
    python bench/cli_memory.py --size 0 --cell 200   # the large cell only
"""

from __future__ import annotations

import argparse
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
ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789 "


def generate_csv(path: Path, size_mb: int, seed: int = 1) -> int:
    """Rows of eight cells of 1 to 12 characters, up to size_mb MiB."""
    rnd = random.Random(seed)
    words = ["".join(rnd.choice(ALPHABET) for _ in range(rnd.randint(1, 12))).strip() or "x"
             for _ in range(5000)]
    lines = [",".join(rnd.choice(words) for _ in range(8)) + "\n" for _ in range(20000)]
    block = "".join(lines).encode()
    target = size_mb << 20
    written = 0
    with path.open("wb") as f:
        while written < target:
            piece = block[: target - written]
            cut = piece.rfind(b"\n") + 1 if len(piece) < len(block) else len(piece)
            if cut == 0:
                break
            f.write(piece[:cut])
            written += cut
    return written


def measure(args: list[str], cwd: Path) -> tuple[float, float, int, int]:
    """(seconds, CPU seconds, peak resident KiB, exit status) of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen([VORN, *args, "--quiet"], cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    return time.perf_counter() - start, cpu, usage.ru_maxrss, proc.returncode


def generate_cell_csv(path: Path, size_mb: int) -> int:
    """A header and one row whose second cell is size_mb MiB of text holding
    commas and quotes (so it is quoted); returns the cell's length."""
    piece = 'abc def, ""q"" ' * 4096  # 14 characters of cell for every 16 written
    count = (size_mb << 20) // len(piece)
    with path.open("w", encoding="ascii", newline="") as f:
        f.write('id,text\n1,"')
        for _ in range(count):
            f.write(piece)
        f.write('"\n')
    return count * len(piece) * 14 // 16


def large_cell(work: Path, size_mb: int) -> list[str]:
    cell = generate_cell_csv(work / "cell.csv", size_mb)
    runs = [
        ("encode (CSV)", ["encode", "cell.csv", "-o", "cell.vorn"]),
        ("check", ["check", "cell.vorn"]),
        ("decode --to csv", ["decode", "cell.vorn", "-o", "back.csv"]),
        ("decode --to jsonl", ["decode", "cell.vorn", "-o", "back.jsonl"]),
        ("encode (JSON Lines)", ["encode", "back.jsonl", "-o", "again.vorn"]),
    ]
    lines = [
        "",
        f"## One cell of {cell / 2**20:.0f} MiB ({cell} characters, ASCII)",
        "",
        "| command | seconds | peak resident MiB | peak / cell size | status |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, args in runs:
        seconds, _, peak_kib, status = measure(args, work)
        ratio = peak_kib * 1024 / cell
        print(f"{name:20} {seconds:8.2f} s {peak_kib / 1024:8.1f} MiB  {ratio:5.2f}x the cell  "
              f"status {status}", flush=True)
        lines.append(f"| `vorn {name}` | {seconds:.2f} | {peak_kib / 1024:.1f} | "
                     f"{ratio:.2f}x | {status} |")
    same = (work / "back.csv").read_bytes() == (work / "cell.csv").read_bytes()
    again = (work / "again.vorn").read_bytes() == (work / "cell.vorn").read_bytes()
    lines.append("")
    lines.append(f"- decode gave back the CSV byte for byte: {'yes' if same else 'NO'}; the "
                 f"JSON Lines gave back the document: {'yes' if again else 'NO'}.")
    return lines


def first_line(args: list[str], cwd: Path) -> float:
    start = time.perf_counter()
    proc = subprocess.Popen([VORN, *args], cwd=cwd, stdout=subprocess.PIPE)
    assert proc.stdout is not None
    proc.stdout.readline()
    elapsed = time.perf_counter() - start
    proc.kill()
    proc.wait()
    return elapsed


def short_cells(work: Path, size_mb: int) -> list[str]:
    size = generate_csv(work / "big.csv", size_mb)
    runs = [
        ("encode", ["encode", "big.csv", "-o", "big.vorn"]),
        ("check", ["check", "big.vorn"]),
        ("stats", ["stats", "big.vorn"]),
        ("decode", ["decode", "big.vorn", "-o", "back.csv"]),
    ]
    rows = []
    for name, args in runs:
        seconds, cpu, peak_kib, status = measure(args, work)
        rows.append((name, seconds, cpu, peak_kib, status))
        print(f"{name:8} {seconds:8.2f} s {cpu:8.2f} CPU s {peak_kib / 1024:8.1f} MiB  "
              f"status {status}", flush=True)
    doc_size = (work / "big.vorn").stat().st_size
    identical = (work / "back.csv").read_bytes() == (work / "big.csv").read_bytes() \
        if size < (1 << 30) else None
    latency = first_line(["decode", "big.vorn"], work)
    print(f"decode | head -1: first line after {latency:.3f} s")
    times = {n: (s, c) for n, s, c, _, _ in rows}
    lines = [
        "",
        f"## A {size / 2**20:.0f} MiB CSV of short cells",
        "",
        f"The VORN document is {doc_size / 2**20:.0f} MiB.",
        "",
        "| command | seconds | CPU seconds | peak resident MiB | status |",
        "|---|---:|---:|---:|---:|",
        *(f"| `vorn {n}` | {s:.2f} | {c:.2f} | {k / 1024:.1f} | {st} |"
          for n, s, c, k, st in rows),
        "",
        f"- `stats` took {times['stats'][0] / times['check'][0]:.2f}x the time of `check` "
        f"({times['stats'][1] / times['check'][1]:.2f}x its CPU time).",
        f"- `vorn decode big.vorn | head -1` printed its first line after {latency:.3f} s.",
    ]
    if identical is not None:
        lines.append(f"- decode gave back the CSV byte for byte: {'yes' if identical else 'NO'}.")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=200,
                        help="CSV size in MiB (default: 200; 0 to skip)")
    parser.add_argument("--cell", type=int, default=200,
                        help="size of the large cell in MiB (default: 200; 0 to skip)")
    parser.add_argument("--dir", default=None, help="working folder (default: a temporary one)")
    parser.add_argument("--out", type=Path, default=None, help="also write a Markdown report")
    opts = parser.parse_args()

    work = Path(opts.dir or tempfile.mkdtemp(prefix="vorn-cli-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    lines: list[str] = []
    try:
        if opts.size:
            lines += short_cells(work, opts.size)
        if opts.cell:
            lines += large_cell(work, opts.cell)
    finally:
        if opts.dir is None:
            shutil.rmtree(work, ignore_errors=True)
    lines[:0] = [
        "# Memory and time of the vorn command on large files",
        "",
        f"Measured {time.strftime('%Y-%m-%d')} with `python bench/cli_memory.py --size {opts.size}"
        f" --cell {opts.cell}` on {platform.machine()} with {os.cpu_count()} cores, Python "
        f"{platform.python_version()}.",
    ]
    report = "\n".join(lines) + "\n"
    print(report)
    if opts.out:
        opts.out.write_text(report)


if __name__ == "__main__":
    main()
