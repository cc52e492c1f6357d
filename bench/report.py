"""Writes bench/README.md's result tables, and the summary in README.md's
performance section, from the pyperf files that bench/run.py saved.

    python bench/report.py [RESULTS_DIR]

Each table goes between the lines "<!-- begin results:NAME -->" and
"<!-- end results:NAME -->" of its file; the text around them is left alone.
Values are pyperf's medians; a ratio is a case's median over its group's
reference's (for a floor, the reference's over the floor's).
"""

import math
import os
import re
import sys

import pyperf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402

PEERS = ("orjson", "msgspec.json", "msgspec.msgpack", "marshal", "pickle", "json", "csv")


def load(folder):
    """{suite: {(group, case, table): (median, metadata)}} of every saved suite."""
    out = {}
    for suite in cases.SUITES:
        path = os.path.join(folder, suite + ".json")
        if os.path.exists(path):
            out[suite] = {tuple(b.get_name().split("/", 2)): (b.median(), b.get_metadata() | {
                "dates": b.get_dates(), "loads": [r.get_metadata().get("load_avg_1min", 0) for r in b.get_runs()],
                "faults": faults(b)})
                for b in pyperf.BenchmarkSuite.load(path).get_benchmarks()}
    return out


def faults(bench):
    """Median minor page faults per call over the runs that gave values
    (bench/run.py's hook), or None when no run counted them."""
    xs = sorted(r.get_metadata()["minor_faults_per_call"] for r in bench.get_runs()
                if r.values and "minor_faults_per_call" in r.get_metadata())
    return xs[len(xs) // 2] if xs else None


def value(v, memory):
    if memory:
        return f"{v / 2**20:.1f} MiB"
    return f"{v * 1e9:.0f} ns" if v < 1e-5 else f"{v * 1e6:.1f} µs" if v < 1e-3 else f"{v * 1e3:.1f} ms"


def group_table(results, suite, group):
    s = cases.SUITES[suite]
    names = [c.name for c in cases.GROUPS[group] if not s.cases or c.name in s.cases]
    floors = {c.name for c in cases.GROUPS[group] if c.floor}
    tables = [t for t in s.tables if (group, names[0], t) in results]
    names = [n for n in names if any((group, n, t) in results for t in tables)]
    if not tables:
        return []
    ref, others = names[0], names[1:]
    heads = [f"{ref}/{n}" if n in floors else n for n in others]
    mbs = s.tables != ("-",)
    heads = ["table"] + ["MB"] * mbs + [ref] + heads + ["MB/s"] * (mbs and not s.memory)
    lines = ["| " + " | ".join(heads) + " |", "|---|" + "---:|" * (len(heads) - 1)]
    for t in tables:
        r, meta = results[group, ref, t]
        mb = meta.get("document_mb")
        cells = [value(r, s.memory)]
        for n in others:
            v = results.get((group, n, t), (None,))[0]
            x = None if v is None else r / v if n in floors else v / r
            cells.append("" if x is None else f"**{x:.2f}**" if n in PEERS and x < 1 else f"{x:.2f}")
        if mbs and not s.memory:
            cells.append(f"{mb / r:.0f}" if mb else "")
        lines.append(f"| {t} | " + (f"{mb:.1f} | " if mbs else "") + " | ".join(cells) + " |")
    out = [f"**{group}**", ""] + lines + [""]
    if not s.memory and any(results.get((group, n, t), (0, {}))[1].get("faults") is not None
                            for n in names for t in tables):
        # The minor page faults per call beside the times: what the kernel
        # spent supplying fresh pages is part of each time.
        out += [f"**{group}: minor page faults per call**", "", "| table | " + " | ".join(names) + " |",
                "|---|" + "---:|" * len(names)]
        for t in tables:
            fs = [results.get((group, n, t), (0, {}))[1].get("faults") for n in names]
            out.append(f"| {t} | " + " | ".join("" if f is None else f"{f:,.0f}" for f in fs) + " |")
        out.append("")
    return out


def about(results):
    metas = [m for suite in results.values() for _, m in suite.values()]
    loads = [x for m in metas for x in m["loads"]]
    dates = sorted(f"{d:%Y-%m-%d %H:%M}" for m in metas for d in m["dates"])
    m = metas[0]
    # Suites measured on other days or at other revisions say so.
    end = dates[-1][11:] if dates[-1][:10] == dates[0][:10] else dates[-1]
    by_revision: dict[str, list[str]] = {}
    for name, suite in results.items():
        for rev in dict.fromkeys(m.get("vorn_revision", "unrecorded") for _, m in suite.values()):
            by_revision.setdefault(rev, []).append(name)
    revisions = "; ".join(f"{rev} ({', '.join(names)})" for rev, names in by_revision.items())
    return [f"Measured {dates[0]} to {end} UTC, vorn at {revisions}, on "
            f"{m.get('cpu_model_name', '?')} with {m.get('cpu_count', '?')} logical cores, "
            f"{m.get('platform', '?').split('-with')[0]}, Python {m.get('python_version', '?').split()[0]}, "
            f"pyperf {m.get('perf_version', '?')}. The machine was shared with other developers' builds: "
            f"the 1-minute load average at the workers' start ran from {min(loads):.1f} to {max(loads):.1f}, "
            "so single ratios move by ±0.1 between runs.", ""] if metas else []


def summary(results):
    """Per peer: the geometric mean and range of its parse and stringify
    ratios to vorn over the codec suite's tables."""
    res = results.get("codec", {})
    if not res:
        return []
    lines = ["| peer's time over vorn's | parse | stringify |", "|---|---:|---:|"]
    for name in PEERS + ("floor", "floor1"):
        cells = []
        for group in ("parse", "stringify"):
            xs = [(v / res[group, "vorn", t][0]) ** (-1 if name.startswith("floor") else 1)
                  for (g, n, t), (v, _) in res.items() if g == group and n == name]
            cells.append(f"{math.prod(xs) ** (1 / len(xs)):.2f} ({min(xs):.2f} to {max(xs):.2f})" if xs else "")
        if any(cells):
            label = {"floor": "vorn over the floor (two passes)",
                     "floor1": "vorn over the floor (one pass)"}.get(name, name)
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
    meta = next(iter(res.values()))[1]
    date = f"{min(m['dates'][0] for _, m in res.values()):%Y-%m-%d}"
    return lines + ["", f"Geometric mean (and range) over {len({t for _, _, t in res})} tables; above 1, vorn "
                    "is faster; vorn over a floor below 1: vorn takes less time than the floor. "
                    f"{meta.get('cpu_model_name', '?')}, {meta.get('cpu_count', '?')} cores, shared with other "
                    f"jobs; {date}, vorn at {meta.get('vorn_revision', '?')}. Every figure, and what the floors "
                    "are: [bench/README.md](bench/README.md)."]


def splice(path, blocks):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for name, lines in blocks.items():
        pattern = re.compile(rf"(<!-- begin results:{re.escape(name)} -->\n).*?(<!-- end results:{re.escape(name)} -->)",
                             re.DOTALL)
        if lines and pattern.search(text):
            body = "\n".join(lines).strip("\n") + "\n"
            text = pattern.sub(lambda m: m.group(1) + body + m.group(2), text)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "results")
    results = load(folder)
    if not results:
        sys.exit(f"error: no results in {folder}; run `make bench` first")
    blocks = {"about": about(results)}
    for suite, res in results.items():
        blocks[suite] = [line for g in cases.SUITES[suite].groups for line in group_table(res, suite, g)]
    cli = os.path.join(folder, "cli.md")
    if os.path.exists(cli):
        with open(cli, encoding="utf-8") as f:
            blocks["cli"] = f.read().split("\n", 1)[1].splitlines()
    for name in ("faults", "faults_writer"):
        path = os.path.join(folder, name + ".md")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                blocks[name] = f.read().splitlines()
    splice(os.path.join(HERE, "README.md"), blocks)
    splice(os.path.join(os.path.dirname(HERE), "README.md"), {"summary": summary(results)})
    print(f"wrote the tables of {', '.join(results)} into bench/README.md and the summary into README.md")


if __name__ == "__main__":
    main()
