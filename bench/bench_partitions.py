"""Times vorn_io.partitions against a plain read of the same file's bytes
(a readinto loop over one reused buffer: the floor of any pass over the
file) and against a vorn_io.reader pass, and read_vorn(...).count() on a
dask LocalCluster of 1 and 2 worker processes against a single-process
reader loop.

    python bench/bench_partitions.py [--mb 1024] [--rounds 3] [--dask-rounds 2]
                                     [--dir build/bench-partitions] [--out FILE] [--no-dask]

Files (UTF-8, generated once into --dir and reused while their size
matches):

- short: rows of 8 ASCII cells of 1 to 12 characters;
- long: rows of 4 ASCII cells of 2,000 to 20,000 characters;
- cjk: rows of 8 cells of 1 to 40 characters, nine in ten CJK ideographs
  (three bytes each), so that every payload is hopped by counting;
- long_mixed (at a quarter of --mb): long cells of mixed text, a third of
  the characters two or three bytes long and one in twenty from U+10000 up,
  the case where no block of the payload is plain ASCII.

Each file is read once before timing, so every figure is a read from the
page cache. The plain read, the pass and the reader run in interleaved
rounds (the order alternating between rounds); figures are medians of wall
time. Two ratios: pass time over the plain read's (the goal is at most
1.3), and pass time over reader time (the pass must cost at most a quarter
of a reader pass for two or more workers to win). read_vorn's time includes the
partitioning pass, made in the calling process before any task runs.
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import random
import statistics
import sys
import time

import vorn
import vorn_io

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def machine() -> str:
    cpu = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
        ram = f", {memory:.0f} GiB RAM"
    except (ValueError, OSError):
        ram = ""
    return f"{cpu}, {os.cpu_count()} logical cores{ram}, {platform.system()} {platform.release()}"


ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ;,.\n"
MIXED = ASCII * 2 + "éüßçñ€ж中文字日本語한국" + "\U0001F600\U0001F4A9\U00020000"
CJK = "".join(chr(c) for c in range(0x4E00, 0x9FA6, 7))


def _rows(kind: str, rng: random.Random) -> list[list[str]]:
    if kind == "short":
        pool = ["".join(rng.choices(ASCII[:62], k=rng.randint(1, 12))) for _ in range(5000)]
        return [rng.choices(pool, k=8) for _ in range(20000)]
    if kind == "cjk":
        weights = [9 / len(CJK)] * len(CJK) + [1 / 62] * 62
        text = "".join(rng.choices(CJK + ASCII[:62], weights=weights, k=1 << 16))
        pool = []
        for _ in range(5000):
            n = rng.randint(1, 40)
            at = rng.randint(0, len(text) - n)
            pool.append(text[at:at + n])
        return [rng.choices(pool, k=8) for _ in range(10000)]
    alphabet = ASCII if kind == "long" else MIXED
    base = "".join(rng.choices(alphabet, k=40000))
    rows = []
    for _ in range(40):
        row = []
        for _ in range(4):
            n = rng.randint(2000, 20000)
            at = rng.randint(0, len(base) - n)
            row.append(base[at:at + n])
        rows.append(row)
    return rows


def generate(folder: str, kind: str, size: int) -> str:
    path = os.path.join(folder, f"{kind}-{size >> 20}MiB.vorn")
    if os.path.exists(path) and size <= os.path.getsize(path) < size + (8 << 20):
        return path
    rng = random.Random(21)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        w = vorn_io.writer(f)
        written = 0
        while written < size:
            text = vorn.stringify(_rows(kind, rng)).encode()
            f.write(text)
            written += len(text)
    os.replace(tmp, path)
    return path


def warm(path: str) -> None:
    with open(path, "rb") as f:
        while f.read(16 << 20):
            pass


def time_read(path: str) -> float:
    """The floor: every byte of the file read into one reused buffer."""
    buffer = bytearray(1 << 20)
    t = time.perf_counter()
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass
    return time.perf_counter() - t


def time_partitions(path: str) -> float:
    t = time.perf_counter()
    vorn_io.partitions(path)
    return time.perf_counter() - t


def time_reader(path: str) -> tuple[float, int]:
    t = time.perf_counter()
    with open(path, "rb") as f:
        n = sum(1 for _ in vorn_io.reader(f))
    return time.perf_counter() - t, n


def time_ranges(path: str) -> float:
    """Every range read as a worker reads it, one after another in this
    process: the work the cluster shares out, without the cluster."""
    from vorn_io._partition import read_range

    t = time.perf_counter()
    with open(path, "rb") as f:
        for start, end, first in vorn_io.partitions(path):
            read_range(f, start, end, first_row=first)
    return time.perf_counter() - t


def passes(path: str, rounds: int, reader: bool) -> dict[str, float]:
    part, read, floor = [], [], []
    rows = 0
    for k in range(rounds):
        if k % 2:
            part.append(time_partitions(path))
            floor.append(time_read(path))
            if reader:
                r, rows = time_reader(path)
                read.append(r)
        else:
            if reader:
                r, rows = time_reader(path)
                read.append(r)
            floor.append(time_read(path))
            part.append(time_partitions(path))
    ranges = vorn_io.partitions(path)
    if not reader:
        rows = -1
    return {"partitions": statistics.median(part), "read": statistics.median(floor),
            "reader": statistics.median(read) if read else float("nan"), "rows": rows, "ranges": len(ranges)}


def on_dask(path: str, rounds: int, workers: int, rows: int) -> dict[str, float]:
    from distributed import Client, LocalCluster

    from vorn_io.dask import read_vorn

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("vorn_io"))
        totals, building = [], []
        for _ in range(rounds):
            t = time.perf_counter()
            bag = read_vorn(path)
            b = time.perf_counter() - t
            n = bag.count().compute()
            totals.append(time.perf_counter() - t)
            building.append(b)
            if n != rows:
                raise SystemExit(f"read_vorn counted {n} rows, the reader {rows}")
    return {"total": statistics.median(totals), "build": statistics.median(building)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=int, default=1024, help="size of the short and long files in MiB")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dask-rounds", type=int, default=2)
    parser.add_argument("--dir", default=os.path.join(ROOT, "build", "bench-partitions"))
    parser.add_argument("--out", default=os.path.join(HERE, "results", "partitions.md"))
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--no-reader", action="store_true", help="leave out the reader pass (and so Dask)")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    started = time.perf_counter()
    args.load_before = os.getloadavg()[0]
    kinds = [("short", args.mb << 20), ("long", args.mb << 20), ("cjk", args.mb << 20),
             ("long_mixed", max(1, args.mb // 4) << 20)]
    if args.no_reader:
        args.no_dask = True
    results = []
    for kind, size in kinds:
        path = generate(args.dir, kind, size)
        warm(path)
        row = {"kind": kind, "mb": os.path.getsize(path) / 1e6}
        row.update(passes(path, args.rounds, not args.no_reader))
        print(f"{kind}: {row['mb']:.0f} MB, read {row['read']:.3f} s, partitions {row['partitions']:.3f} s "
              f"({row['partitions'] / row['read']:.2f}x the read), reader {row['reader']:.3f} s "
              f"(partitions / reader {row['partitions'] / row['reader']:.3f})", flush=True)
        if not args.no_dask and kind in ("short", "long"):
            row["ranges_s"] = statistics.median(time_ranges(path) for _ in range(args.dask_rounds))
            print(f"  ranges read one after another: {row['ranges_s']:.2f} s", flush=True)
            for workers in (1, 2):
                d = on_dask(path, args.dask_rounds, workers, int(row["rows"]))
                row[f"dask{workers}"] = d["total"]
                row[f"build{workers}"] = d["build"]
                print(f"  dask {workers} worker(s): {d['total']:.2f} s (read_vorn itself {d['build']:.3f} s), "
                      f"speed-up {row['reader'] / d['total']:.2f}", flush=True)
        results.append(row)
    write_report(args, results, time.perf_counter() - started)


def write_report(args: argparse.Namespace, results: list[dict[str, float]], wall: float) -> None:
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "# Partitions: the boundary pass and reading on Dask",
        "",
        f"- Date: {now}",
        f"- Machine: {machine()}",
        f"- Python {platform.python_version()}; {args.rounds} interleaved rounds for the passes, "
        f"{args.dask_rounds} per cluster size",
        f"- Wall time of the run: {wall:.0f} s; load average (1 min) {args.load_before:.1f} at the start, "
        f"{os.getloadavg()[0]:.1f} at the end",
        "",
        "Produced by `bench/bench_partitions.py` (its docstring tells how). Medians of wall time, files in the",
        "page cache.",
        "",
        "## The partitioning pass against a plain read and a reader pass",
        "",
        "Plain read: the file's bytes read into one reused 1 MiB buffer, the floor of any pass (goal:",
        "partitions at most 1.3 times it). Reader: a vorn_io.reader pass that builds every row.",
        "",
        "| file | MB | rows | ranges of 64 MiB | read s | partitions s | partitions / read | reader s | "
        "partitions / reader | MB/s, partitions |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        rows = f"{int(r['rows']):,}" if r["rows"] >= 0 else "-"
        lines.append(f"| {r['kind']} | {r['mb']:.0f} | {rows} | {int(r['ranges'])} | {r['read']:.3f} | "
                     f"{r['partitions']:.3f} | {r['partitions'] / r['read']:.2f} | {r['reader']:.3f} | "
                     f"{r['partitions'] / r['reader']:.3f} | {r['mb'] / r['partitions']:,.0f} |")
    if any("dask1" in r for r in results):
        lines += [
            "",
            "## read_vorn(path).count() on a LocalCluster against a reader loop",
            "",
            "Speed-up: the single-process reader loop's time over the cluster's. The cluster's time",
            "includes read_vorn itself (the partitioning pass, shown apart). \"Ranges, one process\" reads",
            "every range as a worker does (each a list of its rows), one after another, without a cluster.",
            "",
            "| file | reader loop s | ranges, one process s | 1 worker s | speed-up | 2 workers s | speed-up | "
            "read_vorn itself s |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for r in results:
            if "dask1" not in r:
                continue
            lines.append(f"| {r['kind']} | {r['reader']:.2f} | {r['ranges_s']:.2f} | {r['dask1']:.2f} | "
                         f"{r['reader'] / r['dask1']:.2f} | "
                         f"{r['dask2']:.2f} | {r['reader'] / r['dask2']:.2f} | {r['build2']:.3f} |")
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print(f"wrote {args.out}")


if __name__ == "__main__":
    sys.exit(main())
