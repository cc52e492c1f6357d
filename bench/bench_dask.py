"""Times vorn_io.dask.read_vorn(..., header=True) against dd.read_csv of the
same table as CSV, on a LocalCluster of 1 and 2 worker processes and on the
threaded scheduler at 1 and 2 threads, beside one process running
read_arrow over the whole file.

    python bench/bench_dask.py [--mb 1024] [--rounds 3] [--blocksize 16MiB]
                               [--dir build/bench-dask] [--out FILE] [--tables short,pypi]

Tables (5 columns each, generated once into --dir and reused while their
size matches), each measured in a fresh process:

- short: rows of 5 ASCII cells of 1 to 12 characters, the first one of 64
  values (the groupby key);
- pypi: the PyPI list shipped on this machine (name, version, month, rank,
  summary), repeated to the size; grouped by month.

Per scheduler, three computations: ``count()``, ``len()`` and
``groupby(key).size()``, each for read_vorn and for dd.read_csv (``dtype=str,
keep_default_na=False``, so both give the same strings); every figure is
the median wall time of --rounds, graph building (read_vorn's partition
pass) included, and every result is checked equal to the CSV reader's
(read_vorn's CPU seconds, of this process and the workers, beside it show
how much of the wall time the machine's load took). Then
one column of the five against all five (``count()``). The ratios in the
report: 2 workers over 1 (goal at least 1.5), 2 threads over 1 (goal at
least 1.7), read_csv's time over read_vorn's on the same scheduler (goal
above 1), and 1 column's time over 5 columns' (goal at most 0.5).
"""

from __future__ import annotations

import argparse
import csv
import datetime
import json
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYPI_LIST = "/work/.library/env/packages/pypi.tsv"
HEADER = ["c0", "c1", "c2", "c3", "c4"]
KEYS = {"short": "c0", "pypi": "month"}


def _short_rows(rng: random.Random) -> tuple[list[str], list[list[str]]]:
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    pool = ["".join(rng.choices(letters, k=rng.randint(1, 12))) for _ in range(5000)]
    keys = pool[:64]
    return HEADER, [[rng.choice(keys)] + rng.choices(pool, k=4) for _ in range(50000)]


def _pypi_rows(rng: random.Random) -> tuple[list[str], list[list[str]]]:
    if os.path.exists(PYPI_LIST):
        with open(PYPI_LIST, encoding="utf-8", newline="") as f:
            lines = [line.rstrip("\n").split("\t") for line in f]
        return ["name", "version", "month", "rank", "summary"], [r for r in lines[1:] if len(r) == 5]
    # A stand-in of the same shape where the list is not shipped.
    header, rows = _short_rows(rng)
    return ["name", "version", "month", "rank", "summary"], [[r[1], r[2], f"20{rng.randrange(10, 26)}-0{rng.randrange(1, 10)}",
                                                               "", " ".join(r)] for r in rows]


def make_files(kind: str, mb: int, folder: str) -> tuple[str, str]:
    """The table as VORN and as CSV, about mb MiB of VORN."""
    import vorn

    os.makedirs(folder, exist_ok=True)
    vpath = os.path.join(folder, f"{kind}-{mb}.vorn")
    cpath = os.path.join(folder, f"{kind}-{mb}.csv")
    if os.path.exists(vpath) and os.path.exists(cpath):
        return vpath, cpath
    rng = random.Random(26)
    header, rows = (_short_rows if kind == "short" else _pypi_rows)(rng)
    piece = vorn.stringify(rows).encode()
    target = mb << 20
    with open(vpath + ".tmp", "wb") as v, open(cpath + ".tmp", "w", encoding="utf-8", newline="") as c:
        v.write(vorn.stringify([header]).encode())
        w = csv.writer(c, lineterminator="\n")
        w.writerow(header)
        size = 0
        while size < target:
            v.write(piece)
            w.writerows(rows)
            size += len(piece)
    os.replace(vpath + ".tmp", vpath)
    os.replace(cpath + ".tmp", cpath)
    return vpath, cpath


def _median(run, rounds: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(rounds):
        t = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - t)
    return statistics.median(times), result


def measure(kind: str, vpath: str, cpath: str, rounds: int, blocksize: str) -> dict:
    """Every figure of one table, in this process."""
    import dask
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import vorn_io
    from vorn_io.dask import read_vorn

    key = KEYS[kind]
    header = vorn_io.read_arrow(vpath, block_size=1).column_names
    if kind == "short":
        key = header[0]
    one = header[1]
    out: dict = {"kind": kind, "vorn_mb": os.path.getsize(vpath) / 2**20, "csv_mb": os.path.getsize(cpath) / 2**20}

    def vorn_frame(columns=None):
        return read_vorn(vpath, header=True, blocksize=blocksize, columns=columns)

    def csv_frame():
        return dd.read_csv(cpath, dtype=str, keep_default_na=False, blocksize=blocksize)

    ops = {
        "count": lambda f, run: f().count().compute(**run).tolist(),
        "len": lambda f, run: len_of(f(), run),
        "groupby": lambda f, run: f().groupby(key).size().compute(**run).sort_index().to_dict(),
    }

    def len_of(frame, run):
        with dask.config.set(**run_config(run)):
            return len(frame)

    def run_config(run):
        return {"scheduler": run["scheduler"], "num_workers": run["num_workers"]} if "num_workers" in run else {}

    def cpu(client) -> float:
        """CPU seconds of this process and of the cluster's workers so far."""
        own = time.process_time()
        if client is None:
            return own
        return own + sum(client.run(time.process_time).values())

    def go(name: str, run: dict, client=None) -> None:
        for op, f in ops.items():
            # Interleaved, so that a change of load hits both readers alike.
            tv, tc, rv, rc, cv = [], [], None, None, []
            for _ in range(rounds):
                c = cpu(client)
                t = time.perf_counter()
                rv = f(vorn_frame, run)
                tv.append(time.perf_counter() - t)
                cv.append(cpu(client) - c)
                t = time.perf_counter()
                rc = f(csv_frame, run)
                tc.append(time.perf_counter() - t)
            if rv != rc:
                raise SystemExit(f"{kind} {name} {op}: read_vorn gave {str(rv)[:200]}, read_csv {str(rc)[:200]}")
            out[f"{name}/{op}/vorn"] = statistics.median(tv)
            out[f"{name}/{op}/csv"] = statistics.median(tc)
            out[f"{name}/{op}/cpu"] = statistics.median(cv)
            print(f"  {kind} {name} {op}: read_vorn {out[f'{name}/{op}/vorn']:.2f} s, read_csv "
                  f"{out[f'{name}/{op}/csv']:.2f} s", file=sys.stderr, flush=True)
        # One column of five against all five.
        t1, r1 = _median(lambda: vorn_frame([one]).count().compute(**run).tolist(), rounds)
        t5, r5 = _median(lambda: vorn_frame().count().compute(**run).tolist(), rounds)
        if r1 != r5[1:2]:
            raise SystemExit(f"{kind} {name}: one column counted {r1}, all five {r5}")
        out[f"{name}/one"], out[f"{name}/five"] = t1, t5

    # read_vorn itself: the partition pass over the file and the header
    # read, in this process (one file), before any task runs.
    out["build"], _ = _median(lambda: vorn_frame(), rounds)
    # The baseline: one process, read_arrow over the whole file.
    for threads in (1, 2):
        t, n = _median(lambda: vorn_io.read_arrow(vpath, threads=threads).to_pyarrow().num_rows, rounds)
        out[f"read_arrow{threads}"] = t
    out["rows"] = n
    for threads in (1, 2):
        go(f"threads{threads}", {"scheduler": "threads", "num_workers": threads})
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            client.run(lambda: __import__("vorn_io.dask"))
            go(f"cluster{workers}", {}, client)
    return out


def report(results: list[dict], args: argparse.Namespace, load: list[str]) -> str:
    lines = [f"# read_vorn on Dask ({datetime.date.today()})", "",
             f"Medians of {args.rounds} rounds, wall time, blocksize {args.blocksize}; each table in a fresh "
             "process; read_vorn's figures include its partition pass.", "",
             "Load (`uptime`) before and after: " + " / ".join(load), ""]
    for r in results:
        lines += [f"## {r['kind']}: {r['vorn_mb']:.0f} MiB of VORN, {r['csv_mb']:.0f} MiB of CSV, {r['rows']} rows", "",
                  f"One process, read_arrow of the whole file into a pyarrow Table: {r['read_arrow1']:.2f} s on "
                  f"1 thread, {r['read_arrow2']:.2f} s on 2. read_vorn's own call (the partition pass, serial, "
                  f"in the calling process): {r['build']:.2f} s, inside every read_vorn figure.", "",
                  "| scheduler | computation | read_vorn s | its CPU s | read_csv s | read_csv / read_vorn (goal > 1) |",
                  "|---|---|---:|---:|---:|---:|"]
        for name in ("threads1", "threads2", "cluster1", "cluster2"):
            for op in ("count", "len", "groupby"):
                v, c = r[f"{name}/{op}/vorn"], r[f"{name}/{op}/csv"]
                lines.append(f"| {name} | {op} | {v:.2f} | {r[f'{name}/{op}/cpu']:.2f} | {c:.2f} | {c / v:.2f} "
                             f"{'met' if c > v else 'missed'} |")
        lines += ["", "| speed-up | computation | read_vorn | goal | without the pass | read_csv |",
                  "|---|---|---:|---|---:|---:|"]
        b = r["build"]
        for lo, hi, goal in (("cluster1", "cluster2", 1.5), ("threads1", "threads2", 1.7)):
            for op in ("count", "len", "groupby"):
                s = r[f"{lo}/{op}/vorn"] / r[f"{hi}/{op}/vorn"]
                sw = (r[f"{lo}/{op}/vorn"] - b) / max(r[f"{hi}/{op}/vorn"] - b, 1e-9)
                sc = r[f"{lo}/{op}/csv"] / r[f"{hi}/{op}/csv"]
                lines.append(f"| {hi} over {lo} | {op} | {s:.2f}× | ≥ {goal}× {'met' if s >= goal else 'missed'} "
                             f"| {sw:.2f}× | {sc:.2f}× |")
        lines += ["", "| scheduler | 1 column s | 5 columns s | ratio (goal ≤ 0.5) |", "|---|---:|---:|---:|"]
        for name in ("threads1", "threads2", "cluster1", "cluster2"):
            q = r[f"{name}/one"] / r[f"{name}/five"]
            lines.append(f"| {name} | {r[f'{name}/one']:.2f} | {r[f'{name}/five']:.2f} | {q:.2f} "
                         f"{'met' if q <= 0.5 else 'missed'} |")
        lines.append("")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--blocksize", default="16MiB")
    parser.add_argument("--dir", default=os.path.join(ROOT, "build", "bench-dask"))
    parser.add_argument("--out", default=None)
    parser.add_argument("--tables", default="short,pypi")
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        vpath, cpath = make_files(args.child, args.mb, args.dir)
        print(json.dumps(measure(args.child, vpath, cpath, args.rounds, args.blocksize)))
        return
    load = [os.popen("uptime").read().strip()]
    results = []
    for kind in args.tables.split(","):
        done = subprocess.run([sys.executable, __file__, "--child", kind, "--mb", str(args.mb), "--rounds",
                               str(args.rounds), "--blocksize", args.blocksize, "--dir", args.dir],
                              stdout=subprocess.PIPE, text=True, check=True)
        results.append(json.loads(done.stdout.strip().splitlines()[-1]))
    load.append(os.popen("uptime").read().strip())
    text = report(results, args, load)
    print(text)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
