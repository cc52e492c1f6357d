"""The columnar path against the readers and writers of text tables a user
would reach for, side by side in one run, as ratios.

Each case runs in a fresh process (``--case``), reads the same table as VORN
or as CSV, times the median of a few runs, and prints its time, its peak
memory and a digest of the result; the run checks every digest equal to the
others of its table before it reports a ratio. The floor is reading the file
and copying its bytes once into fresh memory.

    python bench/bench_arrow.py [--tables short_ascii,npm,...] [--repeat 5] [-o results.md]
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import io
import json
import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
WORK = os.path.join(os.path.dirname(HERE), "build", "bench-arrow")
PACKAGES = "/work/.library/env/packages"

TABLES = {
    "short_ascii": "short ASCII cells (10 a row, 1 to 12 characters), about 20 MB",
    "cjk": "short cells, three quarters mostly CJK, about 20 MB",
    "npm": "the npm package list shipped on this machine",
    "pypi": "the PyPI package list shipped on this machine",
    "long": "5 cells of 2 000 to 20 000 ASCII characters a row, about 20 MB",
}


def _rows(name: str) -> list[list[str]]:
    import tables

    if name in ("npm", "pypi"):
        path = os.path.join(PACKAGES, f"{name}.tsv")
        with open(path, encoding="utf-8", newline="") as f:
            rows = [line.rstrip("\n").split("\t") for line in f]
        width = len(rows[0])
        return [row + [""] * (width - len(row)) if len(row) < width else row[:width] for row in rows]
    label = {"short_ascii": "short_ascii@20", "cjk": "bmp_cjk@20", "long": "long@20"}[name]
    body = tables.load(label)
    return [[f"c{k}" for k in range(len(body[0]))]] + body


def prepare(name: str) -> tuple[str, str]:
    """The table written as VORN and as CSV (kept between runs)."""
    import vorn

    os.makedirs(WORK, exist_ok=True)
    vorn_path = os.path.join(WORK, f"{name}.vorn")
    csv_path = os.path.join(WORK, f"{name}.csv")
    if not (os.path.exists(vorn_path) and os.path.exists(csv_path)):
        rows = _rows(name)
        with open(vorn_path + ".tmp", "w", encoding="utf-8", newline="") as f:
            f.write(vorn.stringify(rows))
        with open(csv_path + ".tmp", "w", encoding="utf-8", newline="") as f:
            csv.writer(f).writerows(rows)
        os.replace(vorn_path + ".tmp", vorn_path)
        os.replace(csv_path + ".tmp", csv_path)
    return vorn_path, csv_path


def prepare_small(name: str) -> tuple[str, str]:
    """The table's first rows, as VORN and as CSV: a case runs once on them
    before it is measured, so that the code its libraries load on first use
    (pyarrow's pandas conversion, polars' readers) is not counted as memory
    the runs took."""
    import vorn

    vorn_path, _ = prepare(name)
    small_vorn = os.path.join(WORK, f"{name}.small.vorn")
    small_csv = os.path.join(WORK, f"{name}.small.csv")
    if not (os.path.exists(small_vorn) and os.path.exists(small_csv)):
        with open(vorn_path, encoding="utf-8", newline="") as f:
            rows = vorn.parse(f.read())[:51]
        with open(small_vorn, "w", encoding="utf-8", newline="") as f:
            f.write(vorn.stringify(rows))
        with open(small_csv, "w", encoding="utf-8", newline="") as f:
            csv.writer(f).writerows(rows)
    return small_vorn, small_csv


# --- Digests: a table's columns, names and text, however chunked ------------

def as_arrow(result: object) -> object:
    """A reader's result (an Arrow table, a pandas or a polars frame) as an
    Arrow table, to be digested after the clock has stopped."""
    import pyarrow as pa

    if type(result).__module__.startswith("pandas"):
        return pa.Table.from_pandas(result, preserve_index=False)
    if type(result).__module__.startswith("polars"):
        return result.to_arrow()
    return result


def digest_arrow(table: object) -> str:
    import pyarrow as pa
    import pyarrow.compute as pc

    table = as_arrow(table)

    h = hashlib.sha1()
    for name, column in zip(table.column_names, table.columns):
        h.update(name.encode() + b"\0")
        array = pc.fill_null(column.combine_chunks().cast(pa.large_string()), "")
        import numpy as np

        offsets = np.frombuffer(array.buffers()[1], dtype=np.int64)[array.offset:array.offset + len(array) + 1]
        data = array.buffers()[2]
        h.update(memoryview(data)[offsets[0]:offsets[-1]] if data is not None else b"")
        h.update(np.diff(offsets).tobytes())
    return h.hexdigest()


def digest_of(written: object) -> str | None:
    """A writer's output (a BytesIO or a str) as a digest; None for none."""
    if isinstance(written, io.BytesIO):
        return hashlib.sha1(written.getbuffer()).hexdigest()
    if isinstance(written, str):
        return hashlib.sha1(written.encode()).hexdigest()
    return None


def digest_rows(rows: list[list[str]]) -> str:
    import pyarrow as pa

    names = rows[0]
    return digest_arrow(pa.table({n: [r[k] for r in rows[1:]] for k, n in enumerate(names)}))


# --- Cases ----------------------------------------------------------------

def _floor(vorn_path: str, csv_path: str) -> object:
    import mmap

    with open(vorn_path, "rb", buffering=0) as f:
        size = os.fstat(f.fileno()).st_size
        # Fresh memory at every run, faulted in by the copy: a bytearray
        # would come back from the allocator's heap from the second run on.
        buffer = mmap.mmap(-1, max(size, 1))
        f.readinto(buffer)
        buffer.close()
    return None


def _read_arrow(threads: int):
    def run(vorn_path: str, csv_path: str) -> object:
        import vorn_io
        return vorn_io.read_arrow(vorn_path, threads=threads).to_pyarrow()
    return run


def _pa_csv(threads: bool):
    def run(vorn_path: str, csv_path: str) -> object:
        import pyarrow as pa
        import pyarrow.csv as pcsv
        with open(csv_path, "rb") as f:
            header = next(csv.reader(io.TextIOWrapper(f, encoding="utf-8", newline="")))
        return pcsv.read_csv(csv_path, read_options=pcsv.ReadOptions(use_threads=threads),
                             convert_options=pcsv.ConvertOptions(column_types={n: pa.string() for n in header}))
    return run


def _pl_csv(vorn_path: str, csv_path: str) -> object:
    import polars as pl
    return pl.read_csv(csv_path, infer_schema=False)


def _duckdb_csv(vorn_path: str, csv_path: str) -> object:
    import duckdb
    relation = duckdb.read_csv(csv_path, all_varchar=True, header=True)
    return (getattr(relation, "to_arrow_table", None) or relation.fetch_arrow_table)()


def _to_pandas(vorn_path: str, csv_path: str) -> object:
    import vorn_io
    return vorn_io.read_arrow(vorn_path).to_pandas()


def _pd_csv(vorn_path: str, csv_path: str) -> object:
    import pandas as pd
    return pd.read_csv(csv_path, engine="pyarrow", dtype=str, keep_default_na=False)


def _to_polars(vorn_path: str, csv_path: str) -> object:
    import vorn_io
    return vorn_io.read_arrow(vorn_path).to_polars()


def _old_route(vorn_path: str, csv_path: str) -> object:
    import pyarrow as pa
    import vorn_io
    with open(vorn_path, "rb") as f:
        rows = vorn_io.load(f)
    names = rows[0]
    return pa.table({n: pa.array([r[k] for r in rows[1:]], pa.large_string()) for k, n in enumerate(names)})


def _table_of(vorn_path: str) -> object:
    import vorn_io
    return vorn_io.read_arrow(vorn_path).to_pyarrow()


# Writers return what they wrote; its digest is taken after the clock stops.
def _write_arrow(vorn_path: str, csv_path: str, table: object) -> object:
    import vorn_io
    out = io.BytesIO()
    vorn_io.write_arrow(table, out)
    return out


def _write_csv(vorn_path: str, csv_path: str, table: object) -> object:
    import pyarrow.csv as pcsv
    out = io.BytesIO()
    pcsv.write_csv(table, out)
    return None


def _stringify(vorn_path: str, csv_path: str, rows: object) -> object:
    import vorn
    return vorn.stringify(rows)


READERS = {
    "floor": _floor,
    "read_arrow(threads=1)": _read_arrow(1),
    "read_arrow(threads=2)": _read_arrow(2),
    "pyarrow.csv 1 thread": _pa_csv(False),
    "pyarrow.csv": _pa_csv(True),
    "polars.read_csv 1 thread": _pl_csv,
    "polars.read_csv": _pl_csv,
    "duckdb read_csv": _duckdb_csv,
    "read_arrow().to_pandas()": _to_pandas,
    "pd.read_csv(pyarrow)": _pd_csv,
    "read_arrow().to_polars()": _to_polars,
    "load + pa.table": _old_route,
}
WRITERS = {"write_arrow": _write_arrow, "pyarrow.csv.write_csv": _write_csv, "vorn.stringify": _stringify}


def _peak_resident() -> int:
    """This process's peak resident size in bytes. Not ru_maxrss: Linux
    carries that over an exec from the process that forked, so every case
    would report at least the parent's size."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _resident_now() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def _import_for(case: str) -> None:
    """The libraries a case uses, imported before its memory is measured
    from, so that the memory it reports above them is what the runs took and
    kept (the peak is taken before the result's digest)."""
    import importlib

    names = ["numpy", "pyarrow", "pyarrow.csv", "pyarrow.compute", "vorn", "vorn_io"]
    if "pandas" in case or "pd." in case:
        names.append("pandas")
    if "polars" in case:
        names.append("polars")
    if "duckdb" in case:
        names.append("duckdb")
    for module in names:
        importlib.import_module(module)


def _reset_peak() -> None:
    """Starts the peak resident size afresh from here (Linux: clear_refs 5)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def run_case(case: str, name: str, repeat: int) -> dict[str, object]:
    vorn_path, csv_path = prepare(name)
    small_vorn, small_csv = prepare_small(name)
    _import_for(case)
    times = []
    result: object = None
    if case in WRITERS:
        if case == "vorn.stringify":
            import vorn
            with open(vorn_path, encoding="utf-8", newline="") as f:
                argument: object = vorn.parse(f.read())
            with open(small_vorn, encoding="utf-8", newline="") as f:
                small: object = vorn.parse(f.read())
        else:
            argument = _table_of(vorn_path)
            small = _table_of(small_vorn)
        digest_of(WRITERS[case](small_vorn, small_csv, small))
        small = None
        _reset_peak()
        base = _resident_now()
        for _ in range(repeat):
            result = None
            start = time.perf_counter()
            result = WRITERS[case](vorn_path, csv_path, argument)
            times.append(time.perf_counter() - start)
        peak = _peak_resident()
        digest = digest_of(result)
        result = None
    else:
        warm = READERS[case](small_vorn, small_csv)
        if warm is not None:
            digest_arrow(warm)
        warm = None
        _reset_peak()
        base = _resident_now()
        for _ in range(repeat):
            result = None
            start = time.perf_counter()
            result = READERS[case](vorn_path, csv_path)
            times.append(time.perf_counter() - start)
        peak = _peak_resident()
        digest = None if result is None else digest_arrow(result)
    nbytes = int(result.nbytes) if hasattr(result, "nbytes") else None
    return {"time": statistics.median(times), "digest": digest, "peak": peak, "above": max(0, peak - base),
            "nbytes": nbytes}


def spawn(case: str, name: str, repeat: int) -> dict[str, object]:
    env = dict(os.environ)
    if "1 thread" in case:
        env["POLARS_MAX_THREADS"] = "1"
    done = subprocess.run([sys.executable, __file__, "--case", case, "--table", name, "--repeat", str(repeat)],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "failed"}
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tables", default=",".join(TABLES))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--case")
    parser.add_argument("--table")
    parser.add_argument("-o", "--output")
    args = parser.parse_args()
    if args.case:
        print(json.dumps(run_case(args.case, args.table, args.repeat)))
        return
    lines = [f"load: {os.getloadavg()}, cpus: {len(os.sched_getaffinity(0))}, median of {args.repeat} "
             "runs, each case a fresh process", ""]
    for name in args.tables.split(","):
        vorn_path, _ = prepare(name)
        size = os.path.getsize(vorn_path)
        results = {case: spawn(case, name, args.repeat) for case in [*READERS, *WRITERS]}
        read_digests = {r["digest"] for c, r in results.items() if c in READERS and r.get("digest")}
        lines.append(f"## {name}: {TABLES[name]} ({size / 1e6:.1f} MB of VORN)")
        lines.append("")
        lines.append(f"results equal: {'yes' if len(read_digests) == 1 else 'NO: ' + str(len(read_digests))}; "
                     f"write_arrow equals stringify: "
                     f"{'yes' if results['write_arrow'].get('digest') == results['vorn.stringify'].get('digest') else 'NO'}")
        lines.append("")
        lines.append("| case | seconds | vs read_arrow(1) | peak RSS MB | peak above its imports MB |")
        lines.append("|---|---:|---:|---:|---:|")
        base = results["read_arrow(threads=1)"].get("time")
        for case, r in results.items():
            if "error" in r:
                lines.append(f"| {case} | {r['error']} | | | |")
                continue
            lines.append(f"| {case} | {r['time']:.3f} | {r['time'] / base:.2f}x | {r['peak'] / 1e6:.0f} | "
                         f"{r.get('above', 0) / 1e6:.0f} |")
        floor = results["floor"]["time"]
        one = results["read_arrow(threads=1)"]
        two = results["read_arrow(threads=2)"]["time"]
        lines.append("")
        lines.append(f"read_arrow(1): {size / one['time'] / 1e9:.2f} GB/s of file, {one['time'] / floor:.2f}x the floor; "
                     f"2 threads {one['time'] / two:.2f}x as fast as 1; arrow buffers {(one['nbytes'] or 0) / 1e6:.0f} MB; "
                     f"to_pandas() peaks {results['read_arrow().to_pandas()'].get('above', 0) / max(one['nbytes'] or 1, 1):.2f}x "
                     "the buffers above its imports")
        lines.append("")
        print("\n".join(lines[-(len(results) + 9):]), flush=True)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
