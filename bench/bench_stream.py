"""Reading VORN incrementally: vorn_io.Decoder and vorn_io.reader against
vorn.parse of the whole text, and against csv.reader on the same table.

Every measurement runs in a fresh process (so no call inherits a heap shaped
by another), rounds of the compared jobs alternate, and the table reports the
median of the rounds and the ratio to the job it is compared with (above 1:
vorn_io is faster). Files are written to a temporary folder first and read
once before timing, so they come from the page cache.

    python bench/bench_stream.py [--rounds N] [--scale F] [--out FILE]

The pipe latency is the time from a writer's flush of a row's ";" to the
reader handing over that row, over a pipe between two processes.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REAL = "/work/.library/env/packages/npm.tsv"


def tables(scale: float) -> dict[str, list[list[str]]]:
    rnd = random.Random(7)
    n = int(200_000 * scale)

    def words(alphabet: str, lo: int, hi: int) -> str:
        return "".join(rnd.choice(alphabet) for _ in range(rnd.randint(lo, hi)))

    out = {
        "short_ascii": [[words("abcdefghijklmnop", 0, 12) for _ in range(8)] for _ in range(n)],
        "bmp_cjk": [[words("漢字かなカナ한글abc", 0, 12) for _ in range(8)] for _ in range(n)],
        "emoji": [[words("abcdef ghij", 2, 20) + ("😀" if rnd.random() < 0.05 else "") for _ in range(8)]
                  for _ in range(n)],
        "long": [[words("abcdefgh ", 2000, 4000) for _ in range(4)] for _ in range(max(1, n // 100))],
    }
    if os.path.exists(REAL):
        with open(REAL, encoding="utf-8", newline="") as f:
            rows = [line.rstrip("\n").split("\t") for line in f][1:]
        out["npm_list"] = rows[: int(len(rows) * min(1.0, scale))]
    return out


# --- one measurement per process ----------------------------------------------

def job(name: str, path: str, csv_path: str) -> float:
    import vorn
    import vorn_io

    t0 = time.perf_counter()
    if name == "parse":
        with open(path, encoding="utf-8", newline="") as f:
            vorn.parse(f.read())
    elif name == "reader":
        with open(path, "rb") as f:
            for _ in vorn_io.reader(f):
                pass
    elif name == "parse_text":
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        t0 = time.perf_counter()
        vorn.parse(text)
    elif name == "decoder_text":
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        t0 = time.perf_counter()
        decoder = vorn_io.Decoder()
        decoder.feed(text)
        decoder.close()
    elif name == "csv_reader":
        with open(csv_path, encoding="utf-8", newline="") as f:
            for _ in csv.reader(f):
                pass
    elif name == "orjson_text":
        import orjson
        with open(csv_path.replace(".csv", ".json"), "rb") as f:
            data = f.read()
        t0 = time.perf_counter()
        orjson.loads(data)
    return time.perf_counter() - t0


def run_job(name: str, path: str, csv_path: str) -> float:
    done = subprocess.run([sys.executable, __file__, "--job", name, path, csv_path],
                          capture_output=True, text=True, check=True)
    return float(done.stdout)


def pipe_latency(rows: int = 40) -> float:
    """Median seconds from a row's flush to its arrival through vorn_io.reader."""
    writer = (
        "import sys, time\n"
        f"for i in range({rows}):\n"
        "    time.sleep(0.01)\n"
        "    t = time.perf_counter_ns()\n"
        "    cell = str(t).encode()\n"
        "    sys.stdout.buffer.write(b'1%02d' % len(cell) + cell + b';')\n"
        "    sys.stdout.buffer.flush()\n"
    )
    import vorn_io
    proc = subprocess.Popen([sys.executable, "-c", writer], stdout=subprocess.PIPE)
    delays = []
    assert proc.stdout is not None
    for row in vorn_io.reader(proc.stdout):
        delays.append((time.perf_counter_ns() - int(row[0])) / 1e9)
    proc.wait()
    return statistics.median(delays)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--job", nargs=3)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--out")
    args = ap.parse_args()
    if args.job:
        print(job(*args.job))
        return
    import vorn

    lines = ["# Incremental reading: vorn_io against vorn.parse and csv.reader", "",
             f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Python "
             f"{platform.python_version()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
             f"median of {args.rounds} rounds, each job in a fresh process.", "",
             "| table | MB | reader vs read+parse | Decoder vs parse (text in memory) | reader vs csv.reader "
             "| parse vs orjson.loads |",
             "|---|---:|---:|---:|---:|---:|"]
    with tempfile.TemporaryDirectory() as tmp:
        for name, table in tables(args.scale).items():
            path = os.path.join(tmp, name + ".vorn")
            csv_path = os.path.join(tmp, name + ".csv")
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(vorn.stringify(table))
            with open(csv_path, "w", encoding="utf-8", newline="") as f:
                csv.writer(f).writerows(table)
            with open(csv_path.replace(".csv", ".json"), "w", encoding="utf-8") as f:
                json.dump(table, f, ensure_ascii=False)
            del table
            for p in (path, csv_path):
                with open(p, "rb") as f:
                    while f.read(1 << 20):
                        pass
            times: dict[str, list[float]] = {}
            jobs = ["parse", "reader", "parse_text", "decoder_text", "csv_reader", "orjson_text"]
            for _ in range(args.rounds):
                for j in jobs:
                    try:
                        times.setdefault(j, []).append(run_job(j, path, csv_path))
                    except subprocess.CalledProcessError:
                        times.setdefault(j, []).append(float("nan"))
            med = {j: statistics.median(v) for j, v in times.items()}
            size = os.path.getsize(path) / 1e6
            lines.append(f"| {name} | {size:.0f} | {med['parse'] / med['reader']:.2f} | "
                         f"{med['parse_text'] / med['decoder_text']:.2f} | "
                         f"{med['csv_reader'] / med['reader']:.2f} | "
                         f"{med['orjson_text'] / med['parse_text']:.2f} |")
            print(lines[-1], flush=True)
    latency = pipe_latency()
    lines += ["", f"Pipe: median {latency * 1e3:.2f} ms from a row's flush to the reader handing it over.",
              "", "Ratios above 1: the first-named is faster. `npm_list` is the npm package list shipped "
              "on this machine (name, version, downloads, summary: real Unicode text)."]
    print(lines[-3])
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
