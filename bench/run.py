"""Runs the codec benchmark on every table, each in a fresh process, and
writes bench/results/: results.md (medians and ratios), results.json (raw
samples), times.png, throughput.png and the log of every run in logs/; then
runs the scaling sweep (bench/scale.py: scale.md, scale.json, scale_time.png,
scale_memory.png) and adds its summary to results.md.

    python bench/run.py [--repeats N] [--no-sweep] [--no-scale] [--tables a,b,...]

The standard tables are timed against every codec; the size sweep (short and
long cells at 1, 4, 16 and 64 MB) times vorn, the floor and the two fastest
peers only, to keep that part within a few minutes. The scaling sweep times
vorn alone from 1 MB to 1 GB and measures its peak memory (about six minutes
on two cores; the whole run about a quarter of an hour).
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")

missing = []
for mod in ("orjson", "msgspec", "matplotlib"):
    try:
        __import__(mod)
    except ImportError:
        missing.append(mod)
if missing:
    sys.exit(f"error: the benchmark needs {', '.join(missing)}; install them with\n"
             f"    {sys.executable} -m pip install -r {os.path.relpath(os.path.join(ROOT, 'requirements-bench.txt'))}")
try:
    import vorn  # noqa: F401
except ImportError:
    sys.exit("error: the vorn module is not installed in this interpreter; run 'make' first")

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402

sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "floor"))
import tables  # noqa: E402
from scale import machine  # noqa: E402
import scale  # noqa: E402
import build as floor_build  # noqa: E402

CODECS = ["vorn", "json", "orjson", "msgspec.json", "msgspec.msgpack", "marshal", "pickle", "csv", "floor", "floor1"]
FLOORS = ["floor", "floor1"]
PEERS = [c for c in CODECS[1:] if c not in FLOORS]
SWEEP_SIZES = [1, 4, 16, 64]
SWEEP_FAMILIES = ["short_ascii", "long"]
SWEEP_PEERS = "orjson,msgspec.json,floor,floor1"
# Targets. parse: faster than every peer, within PARSE_FLOOR_TARGET of the
# decode floor. stringify: faster than the peers in STRINGIFY_PEERS, within
# STRINGIFY_FLOOR_TARGET of the two-pass encode floor; on a table stored at
# four bytes per character with mostly ASCII text, the result is about three
# times the bytes of the UTF-8 peers' and the peer target is reported, not
# held (see four_byte_ascii()).
PARSE_FLOOR_TARGET = 1.2
STRINGIFY_FLOOR_TARGET = 1.2
STRINGIFY_PEERS = ["orjson", "msgspec.json", "msgspec.msgpack", "marshal"]
FAULT_CODECS = ["vorn", "floor", "floor1", "orjson", "msgspec.json", "msgspec.msgpack", "marshal"]


def git_revision():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"], capture_output=True,
                               text=True).stdout.strip()
        return rev + (" (src/ modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def run_one(spec, index, total, repeats, peers=None):
    """Runs bench_codec.py for one table in a fresh interpreter."""
    safe = spec.replace("@", "_at_")
    out_json = os.path.join(RESULTS, "logs", safe + ".json")
    cmd = [sys.executable, os.path.join(HERE, "bench_codec.py"), spec, "--json", out_json,
           "--repeats", str(repeats)]
    if peers:
        cmd += ["--peers", peers]
    print(f"[{index}/{total}] {spec:<16}", end=" ", flush=True)
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    took = time.perf_counter() - t0
    with open(os.path.join(RESULTS, "logs", safe + ".txt"), "w") as f:
        f.write(proc.stdout)
        f.write(proc.stderr)
    if proc.returncode != 0:
        print(f"FAILED after {took:.0f} s (exit {proc.returncode}); see results/logs/{safe}.txt", flush=True)
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-5:]
        for line in tail:
            print("    " + line)
        return None
    with open(out_json) as f:
        res = json.load(f)["results"][0]
    p, s = res["parse"], res["stringify"]
    msg = (f"{took:5.0f} s  {res['doc_bytes'] / 1e6:7.1f} MB  parse {p['vorn']['median_s'] * 1e3:8.2f} ms"
           f"  stringify {s['vorn']['median_s'] * 1e3:8.2f} ms")
    if "floor" in p:
        msg += (f"  vorn/floor {p['vorn']['median_s'] / p['floor']['median_s']:.2f}"
                f" / {s['vorn']['median_s'] / s['floor']['median_s']:.2f}")
    if "floor1" in s:
        msg += f" (one-pass floor {s['vorn']['median_s'] / s['floor1']['median_s']:.2f})"
    print(msg, flush=True)
    return res


def ratio(res, direction, name):
    t = res[direction]
    if name not in t:
        return None
    return t[name]["median_s"] / t["vorn"]["median_s"]


def floor_ratio(res, direction, stat="median_s", floor="floor"):
    t = res[direction]
    return t["vorn"][stat] / t[floor][stat] if floor in t else None


def four_byte_ascii(res):
    """For a document stored at four bytes per character whose text is mostly
    ASCII: (bytes of the str's text, bytes of its UTF-8 encoding); else None.
    A UTF-8 encoder writes such text at one byte a character; vorn's result,
    a str, holds every character at four."""
    if res["doc_kind"] != 4 or "doc_ascii_chars" not in res or 2 * res["doc_ascii_chars"] <= res["doc_chars"]:
        return None
    return 4 * res["doc_chars"], res["doc_bytes"]


def best_ratio(res, direction, name):
    """Peer over vorn on the fastest sample of each: less exposed to other
    load on the machine than the medians."""
    t = res[direction]
    return t[name]["min_s"] / t["vorn"]["min_s"] if name in t else None


def fmt_ratio(r):
    return "n/a" if r is None else f"{r:.2f}"


def markdown(standard, sweep, meta, scaling=None):
    lines = [
        "# vorn codec benchmark",
        "",
        f"- Date: {meta['date']}",
        f"- Machine: {meta['machine']}",
        f"- Python {meta['python']}, vorn at {meta['revision']}",
        f"- Wall time of the run: {meta['wall_s']:.0f} s"
        + (f" (and {meta['scale_wall_s']:.0f} s for the scaling sweep)" if meta.get("scale_wall_s") else ""),
        "",
        "Each table runs in a fresh process. Timings are medians of at least "
        f"{meta['repeats']} rounds (more for quick tables; see below) of `time.perf_counter` "
        "samples with the garbage collector "
        "enabled; every call is charged with the collection its own allocations make due, and "
        "the codecs run in a freshly shuffled order in each round. MB/s is the VORN document's UTF-8 size "
        "over the time for every codec. **peer/vorn** is the peer's time over vorn's (above 1: "
        "vorn is faster); **vorn/floor** is vorn's time over the floor's (the floor only "
        "allocates the result and copies the cells' text, writing no format: see "
        "`bench/floor/_vornfloor.c`). Stringify has two floors: `encode_floor` measures the "
        "table, allocates once and copies (two passes); `encode_floor_single` (**floor1**) is "
        "handed the total length and widest character, computed outside the timing, and reads "
        "and copies each cell once: a lower bound for any writer.",
        "",
        "Codec inputs and settings: " + "; ".join(f"{k}: {v}" for k, v in meta["codec_notes"].items()) + ".",
        "",
        "## Tables",
        "",
        "| table | rows | cells | document MB | storage | rounds |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for r in standard:
        lines.append(f"| {r['table']} | {r['rows']:,} | {r['cells']:,} | {r['doc_bytes'] / 1e6:.2f} "
                     f"| {r['doc_kind']} byte | {r['repeats']} |")
    notes = [f"{r['table']}: {n}" for r in standard + sweep for n in r["notes"]]
    if notes:
        lines += ["", "Notes:", ""] + [f"- {n}" for n in notes]

    for direction, title in (("parse", "Parse (decode)"), ("stringify", "Stringify (encode)")):
        codecs = [c for c in CODECS if meta["labels"].get(c, {}).get(direction)]
        floors = [c for c in FLOORS if c in codecs]
        lines += ["", f"## {title}: median ms per run", "",
                  "| table | " + " | ".join(meta["labels"][c][direction] for c in codecs) + " |",
                  "|---|" + "---:|" * len(codecs)]
        for r in standard:
            cells = []
            for c in codecs:
                t = r[direction].get(c)
                cells.append("skipped" if t is None else f"{t['median_s'] * 1e3:.2f}")
            lines.append(f"| {r['table']} | " + " | ".join(cells) + " |")
        floor_heads = ["**vorn/floor**", "vorn/floor, best"] + (["**vorn/floor1**", "vorn/floor1, best"]
                                                                 if "floor1" in floors else [])
        lines += ["", f"## {title}: ratios (peer/vorn; vorn/floor)", "",
                  "| table | " + " | ".join(PEERS + floor_heads) + " | vorn MB/s |",
                  "|---|" + "---:|" * (len(PEERS) + len(floor_heads) + 1)]
        for r in standard:
            cells = []
            for c in PEERS:
                x = ratio(r, direction, c)
                s = fmt_ratio(x)
                cells.append(f"**{s}**" if x is not None and x < 1 else s)
            for f in floors:
                cells += [fmt_ratio(floor_ratio(r, direction, floor=f)),
                          fmt_ratio(floor_ratio(r, direction, "min_s", floor=f))]
            mbs = r["doc_bytes"] / 1e6 / r[direction]["vorn"]["median_s"]
            lines.append(f"| {r['table']} | " + " | ".join(cells) + f" | {mbs:.0f} |")
        lines += ["", "Bold peer ratios are peers faster than vorn. \"best\" compares the fastest "
                  "sample of each instead of the medians."]

    lines += ["", "## Stringify: page faults per call", "",
              "Median minor page faults per call in the same runs, and the result's size in memory. "
              "One fault is one fresh 4 KiB page: a result written into fresh pages takes about 256 per "
              "MiB, one written into reused heap almost none. Above 32 MiB glibc maps every result "
              "fresh; below it, blocks come from reused heap once any codec in the process has freed "
              "one at least as large (all codecs share the process here).", "",
              "| table | vorn result MiB | " + " | ".join(meta["labels"][c]["stringify"] for c in FAULT_CODECS)
              + " |", "|---|---:|" + "---:|" * len(FAULT_CODECS)]
    for r in standard:
        cells = []
        for c in FAULT_CODECS:
            t = r["stringify"].get(c)
            cells.append("n/a" if t is None or "median_faults" not in t else f"{t['median_faults']:,.0f}")
        lines.append(f"| {r['table']} | {r['doc_chars'] * r['doc_kind'] / 2**20:.1f} | " + " | ".join(cells) + " |")

    lines += ["", "## Targets", "",
              f"parse faster than every peer and within {PARSE_FLOOR_TARGET}x of the decode floor; "
              f"stringify faster than {', '.join(STRINGIFY_PEERS)} and within {STRINGIFY_FLOOR_TARGET}x "
              "of the two-pass encode floor. On a table stored at four bytes per character whose text "
              "is mostly ASCII, the stringify peer target is reported, not held: the result holds "
              "every character at four bytes, the UTF-8 encoders at one.", ""]
    misses = target_misses(standard)
    lines += [f"- {m}" for m in misses] if misses else ["- All targets met."]
    exempt = exempt_lines(standard)
    if exempt:
        lines += ["", "Four-byte tables with mostly ASCII text (peer target reported, not held):", ""]
        lines += [f"- {m}" for m in exempt]

    if sweep:
        lines += ["", "## Throughput against document size (MB/s)", "",
                  f"vorn, the floors and the peers {sweep_peer_names()} only.", "",
                  "| table | MB | vorn.parse | decode_floor | orjson.loads | msgspec.json.decode "
                  "| vorn.stringify | encode_floor | encode_floor_single | orjson.dumps | msgspec.json.encode |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for r in sweep:
            mb = r["doc_bytes"] / 1e6
            vals = []
            for direction in ("parse", "stringify"):
                for c in ("vorn", "floor") + (("floor1",) if direction == "stringify" else ()) + (
                        "orjson", "msgspec.json"):
                    t = r[direction].get(c)
                    vals.append("n/a" if t is None else f"{mb / t['median_s']:.0f}")
            lines.append(f"| {r['table']} | {mb:.1f} | " + " | ".join(vals) + " |")
    if scaling:
        lines += ["", "## Scaling", "",
                  "vorn alone, one process per size and direction (details, resident sizes and the "
                  "collector's share in [scale.md](scale.md)). **rel** is time per MB over its value at "
                  f"{scale.REFERENCE_MB} MB (`!` beyond ±{scale.TIME_TOLERANCE:.0%}); memory is the peak "
                  "during the call, as traced by tracemalloc plus the input and as the process's "
                  "resident peak less the interpreter's own size, over result + input "
                  "(sys.getsizeof totals).", ""]
        lines += scale.summary_lines(scaling)
    lines += ["", "Charts: `times.png` (median time per table and codec), `throughput.png` "
              "(MB/s against document size; the standard short_ascii and long tables are "
              "plotted with the sweep)"
              + ("; `scale_time.png` and `scale_memory.png` (scaling)" if scaling else "") + ".", ""]
    return "\n".join(lines)


def sweep_peer_names():
    return ",".join(c for c in SWEEP_PEERS.split(",") if c not in FLOORS)


def target_peers(direction):
    return PEERS if direction == "parse" else STRINGIFY_PEERS


def exempt_lines(standard):
    """The stringify peer figures of the four-byte, mostly ASCII tables, with
    the bytes each side writes."""
    out = []
    for r in standard:
        fb = four_byte_ascii(r)
        if not fb:
            continue
        figs = ", ".join(f"{c} {fmt_ratio(ratio(r, 'stringify', c))}" for c in STRINGIFY_PEERS
                         if ratio(r, "stringify", c) is not None)
        out.append(f"{r['table']}: peer/vorn {figs}. The result is {fb[0] / 1e6:.1f} MB of text "
                   f"({r['doc_chars']:,} characters at 4 bytes, {r['doc_ascii_chars'] / r['doc_chars']:.0%} "
                   f"of them ASCII) against {fb[1] / 1e6:.1f} MB of UTF-8: {fb[0] / fb[1]:.2f}x the "
                   "bytes to write and fault in.")
    return out


def target_misses(standard):
    misses = []
    for r in standard:
        for direction in ("parse", "stringify"):
            if direction == "stringify" and four_byte_ascii(r):
                faster = []
            else:
                faster = [(c, ratio(r, direction, c), best_ratio(r, direction, c))
                          for c in target_peers(direction) if (ratio(r, direction, c) or 2) < 1]
            if faster:
                misses.append(f"{r['table']} {direction}: slower than "
                              + ", ".join(f"{c} (vorn takes {1 / x:.2f}x its time; best-of {1 / b:.2f}x)"
                                          for c, x, b in faster))
            fr = floor_ratio(r, direction)
            limit = PARSE_FLOOR_TARGET if direction == "parse" else STRINGIFY_FLOOR_TARGET
            if fr is not None and fr > limit:
                which = "the decode floor" if direction == "parse" else "the two-pass floor"
                one = floor_ratio(r, direction, floor="floor1")
                misses.append(f"{r['table']} {direction}: {fr:.2f}x {which} (target {limit}x, "
                              f"{fr / limit:.2f}x over; best-of {floor_ratio(r, direction, 'min_s'):.2f}x)"
                              + (f"; {one:.2f}x the one-pass floor" if one is not None else ""))
    return misses


def chart_times(standard, path):
    fig, axes = plt.subplots(1, 2, figsize=(15, 5.5), sharey=False)
    names = [r["table"] for r in standard]
    width = 0.8 / len(CODECS)
    cmap = plt.get_cmap("tab10")
    for ax, direction in zip(axes, ("parse", "stringify")):
        for k, c in enumerate(CODECS):
            xs, ys = [], []
            for i, r in enumerate(standard):
                t = r[direction].get(c)
                if t is not None:
                    xs.append(i + (k - len(CODECS) / 2 + 0.5) * width)
                    ys.append(t["median_s"] * 1e3)
            label = {"floor": "floor (two passes)", "floor1": "floor (one pass)"}.get(c, c)
            ax.bar(xs, ys, width, label=label, color="black" if c == "vorn" else cmap(k % 10),
                   hatch="//" if c in FLOORS else None, edgecolor="white" if c in FLOORS else None)
        ax.set_yscale("log")
        ax.set_xticks(range(len(names)), names, rotation=20)
        ax.set_ylabel("median ms per run (log)")
        ax.set_title(f"{direction}: time per table")
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].legend(fontsize=8, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def chart_throughput(sweep, standard, path):
    """MB/s against document size: one panel per direction and cell family,
    with the standard-size run of the family as the largest or a middle
    point."""
    fig, axes = plt.subplots(2, len(SWEEP_FAMILIES), figsize=(13, 9))
    styles = {"vorn": ("black", "-", "o"), "floor": ("grey", ":", "v"), "floor1": ("tab:purple", ":", "^"),
              "orjson": ("tab:orange", "--", "s"), "msgspec.json": ("tab:green", "--", "D")}
    for col, fam in enumerate(SWEEP_FAMILIES):
        rows = sorted((r for r in sweep + standard if r["table"].partition("@")[0] == fam),
                      key=lambda r: r["doc_bytes"])
        for row, direction in enumerate(("parse", "stringify")):
            ax = axes[row][col]
            for c, (color, ls, marker) in styles.items():
                pts = [(r["doc_bytes"] / 1e6, r["doc_bytes"] / 1e6 / r[direction][c]["median_s"])
                       for r in rows if c in r[direction]]
                if pts:
                    label = {"vorn": f"vorn.{direction}", "floor": "floor (two passes)",
                             "floor1": "floor (one pass)"}.get(c, c)
                    ax.plot(*zip(*pts), marker=marker, color=color, linestyle=ls, label=label)
            ax.set_xscale("log", base=2)
            ax.set_yscale("log")
            ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
            ax.set_xlabel("VORN document size, MB (UTF-8)")
            ax.set_ylabel("MB/s (log)")
            ax.set_title(f"{direction}, {fam} cells")
            ax.grid(alpha=0.3, which="both")
            ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def run_scale(quick):
    """Runs bench/scale.py in its own process, its progress lines passed
    through; returns its results (None when it failed) and what failed."""
    out = os.path.join(RESULTS, "scale.json")
    if os.path.exists(out):
        os.remove(out)
    cmd = [sys.executable, os.path.join(HERE, "scale.py")] + (["--quick"] if quick else [])
    proc = subprocess.run(cmd)
    if not os.path.exists(out):
        print(f"scaling sweep FAILED (exit {proc.returncode})", flush=True)
        return None, ["scaling sweep"]
    with open(out) as f:
        data = json.load(f)
    return data["results"], [f"scaling {spec}" for spec in data["failed"]]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeats", type=int, default=7, help="rounds per table (default 7; sweep uses 5)")
    ap.add_argument("--no-sweep", action="store_true", help="skip the document-size sweep")
    ap.add_argument("--tables", help="comma-separated standard tables to run (default: all)")
    ap.add_argument("--no-scale", action="store_true", help="skip the scaling sweep (bench/scale.py)")
    ap.add_argument("--scale-quick", action="store_true", help="scaling sweep at 1, 3 and 10 MB only")
    args = ap.parse_args()

    standard_specs = args.tables.split(",") if args.tables else tables.STANDARD
    sweep_specs = [] if args.no_sweep else [f"{fam}@{mb}" for fam in SWEEP_FAMILIES for mb in SWEEP_SIZES]
    os.makedirs(os.path.join(RESULTS, "logs"), exist_ok=True)
    floor_build.ensure()

    total = len(standard_specs) + len(sweep_specs)
    print(f"benchmark: {len(standard_specs)} tables against every codec, {len(sweep_specs)} sizes against "
          f"vorn, the floors and {sweep_peer_names()}; one process each", flush=True)
    t0 = time.perf_counter()
    failed = []
    standard, sweep = [], []
    for k, spec in enumerate(standard_specs, 1):
        res = run_one(spec, k, total, args.repeats)
        (standard.append(res) if res else failed.append(spec))
    for k, spec in enumerate(sweep_specs, len(standard_specs) + 1):
        res = run_one(spec, k, total, max(3, min(args.repeats, 5)), SWEEP_PEERS)
        (sweep.append(res) if res else failed.append(spec))
    wall = time.perf_counter() - t0

    scaling, scale_wall = None, None
    if not args.no_scale:
        t1 = time.perf_counter()
        scaling, scale_failed = run_scale(args.scale_quick)
        scale_wall = time.perf_counter() - t1
        failed += scale_failed

    sys.path.insert(0, HERE)
    import bench_codec  # for the labels and notes, once the children are done

    meta = {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "machine": machine(),
        "python": platform.python_version(),
        "revision": git_revision(),
        "repeats": args.repeats,
        "wall_s": wall,
        "scale_wall_s": scale_wall,
        "codec_notes": bench_codec.NOTES,
        "labels": {c[0]: {"parse": c[1], "stringify": c[3]} for c in bench_codec.CODECS},
    }
    with open(os.path.join(RESULTS, "results.json"), "w") as f:
        json.dump({"meta": meta, "standard": standard, "sweep": sweep, "failed": failed}, f, indent=1)
    if standard:
        with open(os.path.join(RESULTS, "results.md"), "w") as f:
            f.write(markdown(standard, sweep, meta, scaling))
        chart_times(standard, os.path.join(RESULTS, "times.png"))
    if sweep:
        chart_throughput(sweep, standard, os.path.join(RESULTS, "throughput.png"))
    took = f"{wall:.0f} s" + (f" + {scale_wall:.0f} s scaling" if scale_wall else "")
    print(f"done in {took}; results in {os.path.relpath(RESULTS)}/results.md", flush=True)
    if standard:
        misses = target_misses(standard)
        print("targets: " + ("all met" if not misses else f"{len(misses)} missed"))
        for m in misses:
            print("  - " + m)
        for m in exempt_lines(standard):
            print("  (four-byte, mostly ASCII) " + m)
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
