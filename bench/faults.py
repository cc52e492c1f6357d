"""Each encoder in fresh processes of its own: median CPU time and minor page
faults per call of repeated calls, alone and after every other encoder ran
once in the same process (the interleaved setting).

    python bench/faults.py [--tables a,b] [--calls N] [--processes P] [--out FILE]

A quicker companion of the pyperf suites (`stringify`, `interleaved`, whose
tables carry the same fault counts) for a loaded machine: each (encoder,
table, setting) is one process that loads its table (tables.load, which
frees no document-sized block), makes two calls that are not counted, then
N timed calls; the figure is the median over P processes of each process's
median call.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STANDARD = ("short_ascii", "latin1", "bmp_cjk", "astral", "long", "unicodedata")
ENCODERS = ("vorn", "orjson", "msgspec.json", "msgspec.msgpack", "marshal", "floor")


def encoders():
    import marshal
    import vorn
    out = {"vorn": vorn.stringify, "marshal": marshal.dumps}
    try:
        import msgspec
        import orjson
        out |= {"orjson": orjson.dumps, "msgspec.json": msgspec.json.encode, "msgspec.msgpack": msgspec.msgpack.encode}
    except ImportError:
        pass
    try:
        import _vornfloor
        out["floor"] = _vornfloor.encode_floor
    except ImportError:
        pass
    return out


def child(name, label, calls, after):
    import resource
    sys.path.insert(0, HERE)
    import tables
    table = tables.load(label)
    encs = encoders()
    if name not in encs:
        print("nan nan")
        return
    if after:
        for other in encs.values():
            try:
                other(table)
            except TypeError:  # the floor takes str cells only
                pass
    fn = encs[name]
    times, faults = [], []
    for i in range(calls + 2):
        f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        t0 = time.process_time()
        out = fn(table)
        t1 = time.process_time()
        f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        del out
        if i >= 2:
            times.append(t1 - t0)
            faults.append(f1 - f0)
    print(statistics.median(times), statistics.median(faults))


def measure(name, label, calls, processes, after):
    ts, fs = [], []
    for _ in range(processes):
        out = subprocess.run([sys.executable, __file__, "--child", name, label, str(calls), str(int(after))],
                             capture_output=True, text=True)
        if out.returncode:
            return None
        t, f = map(float, out.stdout.split())
        ts.append(t)
        fs.append(f)
    return statistics.median(ts), statistics.median(fs)


def main():
    if sys.argv[1:2] == ["--child"]:
        name, label, calls, after = sys.argv[2:6]
        return child(name, label, int(calls), after == "1")
    ap = argparse.ArgumentParser()
    ap.add_argument("--tables", default=",".join(STANDARD))
    ap.add_argument("--encoders", default=",".join(ENCODERS))
    ap.add_argument("--calls", type=int, default=15)
    ap.add_argument("--processes", type=int, default=3)
    ap.add_argument("--out")
    args = ap.parse_args()
    names = args.encoders.split(",")
    lines = [f"Measured {time.strftime('%Y-%m-%d %H:%M', time.gmtime())} UTC by `python bench/faults.py` "
             f"({args.calls} calls, median of {args.processes} processes); load average at the start "
             f"{os.getloadavg()[0]:.1f}.", ""]
    for after in (False, True):
        lines += [f"**{'after every other encoder, in one process' if after else 'alone, in a process of its own'}**"
                  " (ms per call, minor faults per call; ratio: encoder's time over vorn's, floor: vorn's over the "
                  "floor's)", "",
                  "| table | " + " | ".join(names) + " |", "|---|" + "---:|" * len(names)]
        for label in args.tables.split(","):
            res = {n: measure(n, label, args.calls, args.processes, after) for n in names}
            ref = res.get("vorn")
            cells = []
            for n in names:
                r = res[n]
                if r is None or r[0] != r[0]:
                    cells.append("")
                    continue
                ratio = "" if n == "vorn" or not ref else f" ({(ref[0] / r[0] if n == 'floor' else r[0] / ref[0]):.2f})"
                cells.append(f"{r[0] * 1e3:.2f}{ratio}, {r[1]:,.0f}")
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
            print(lines[-1], flush=True)
        lines.append("")
    text = "\n".join(lines) + "\n"
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    print(text)


if __name__ == "__main__":
    main()
