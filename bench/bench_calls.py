#!/usr/bin/env python3
"""Per-call overhead of vorn.parse and vorn.stringify next to comparable calls.

The inputs are the smallest documents and tables, so the timings are dominated
by call dispatch and argument binding rather than by encoding work. Every
statement is timed in the same run, round-robin over several repeats, and the
best and median ns/call are reported together with the ratio to a baseline.

A second section checks with tracemalloc that many calls, successful or
failing, leave the traced memory flat.

Usage: python bench/bench_calls.py [--repeat N] [--calls N]
"""
import argparse
import gc
import json
import statistics
import sys
import timeit
import tracemalloc

import vorn


def py_one(vorn):
    return vorn


SETUP = {"vorn": vorn, "json": json, "py_one": py_one, "s": ";", "empty": ()}

# (label, statement, baseline label or None)
CASES = [
    ("loop overhead", "pass", None),
    ("len(';')", "len(s)", None),
    ("abs(1)", "abs(1)", None),
    ("str.isdigit(';')", "str.isdigit(s)", None),
    ("s.split(sep=';')", "s.split(sep=s)", None),
    ("py_one(';')", "py_one(s)", None),
    ("py_one(vorn=';')", "py_one(vorn=s)", None),
    ("json.loads('0')", "json.loads('0')", None),
    ("''.join(())", "''.join(empty)", None),
    ("vorn.parse(';')", "vorn.parse(s)", "len(';')"),
    ("vorn.parse(vorn=';')", "vorn.parse(vorn=s)", "s.split(sep=';')"),
    ("vorn.stringify(())", "vorn.stringify(empty)", "''.join(())"),
    ("vorn.stringify(lists=())", "vorn.stringify(lists=empty)", "''.join(())"),
]

# Extra comparisons printed under the main table: (subject, baseline).
EXTRA_RATIOS = [
    ("vorn.parse(';')", "str.isdigit(';')"),
    ("vorn.parse(';')", "abs(1)"),
    ("vorn.parse(';')", "py_one(';')"),
    ("vorn.parse(';')", "json.loads('0')"),
    ("vorn.parse(vorn=';')", "py_one(vorn=';')"),
    ("vorn.parse(vorn=';')", "vorn.parse(';')"),
    ("vorn.stringify(lists=())", "vorn.stringify(())"),
]


def time_cases(repeat, target_seconds=0.05):
    timers = {label: timeit.Timer(stmt, globals=SETUP) for label, stmt, _ in CASES}
    numbers = {}
    for label, timer in timers.items():
        number, elapsed = timer.autorange()
        numbers[label] = max(1, int(number * target_seconds / max(elapsed, 1e-9)))
    samples = {label: [] for label in timers}
    for _ in range(repeat):  # round-robin so drift affects every case alike
        for label, timer in timers.items():
            samples[label].append(timer.timeit(numbers[label]) / numbers[label] * 1e9)
    return {label: (min(v), statistics.median(v)) for label, v in samples.items()}


def print_table(results):
    print(f"{'call':<26}{'best ns':>9}{'median ns':>11}  {'baseline':<20}{'ratio':>7}")
    print("-" * 73)
    for label, _, base in CASES:
        best, median = results[label]
        ratio = f"{best / results[base][0]:.2f}" if base else ""
        print(f"{label:<26}{best:9.1f}{median:11.1f}  {base or '':<20}{ratio:>7}")
    print()
    print("further ratios (best / best):")
    for subject, base in EXTRA_RATIOS:
        print(f"  {subject:<26} / {base:<20} {results[subject][0] / results[base][0]:6.2f}")


def traced_delta(fn, calls):
    fn(1000)  # warm up caches, interned names and free lists
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    fn(calls)
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def positional(n):
    parse = vorn.parse
    for _ in range(n):
        parse(";")


def keyword(n):
    parse = vorn.parse
    for _ in range(n):
        parse(vorn=";")


def failing(call):
    def run(n):
        for _ in range(n):
            try:
                call()
            except (TypeError, SyntaxError):
                pass
    return run


MEMORY_CASES = [
    ("vorn.parse(';')", positional),
    ("vorn.parse(vorn=';')", keyword),
    ("vorn.parse(';', vorn=';')  [binding error]", failing(lambda: vorn.parse(";", vorn=";"))),
    ("vorn.parse(None)           [type error]", failing(lambda: vorn.parse(None))),
    ("vorn.parse('')             [body error]", failing(lambda: vorn.parse(""))),
]


def check_memory(calls, limit):
    print(f"traced memory after {calls} calls (limit {limit} bytes):")
    tracemalloc.start()
    flat = True
    try:
        for label, fn in MEMORY_CASES:
            delta = traced_delta(fn, calls)
            ok = delta <= limit
            flat &= ok
            print(f"  {label:<44}{delta:+10d} B  {'flat' if ok else 'GROWS'}")
    finally:
        tracemalloc.stop()
    return flat


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--limit", type=int, default=4096, help="allowed growth of traced memory in bytes")
    args = ap.parse_args()
    print(f"Python {sys.version.split()[0]}, vorn from {vorn.__file__}")
    print(f"{args.repeat} repeats, ~50 ms each\n")
    print_table(time_cases(args.repeat))
    print()
    return 0 if check_memory(args.calls, args.limit) else 1


if __name__ == "__main__":
    sys.exit(main())
