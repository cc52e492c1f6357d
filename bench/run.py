"""Runs one suite of bench/cases.py under pyperf: every (case, table) is a
benchmark of its own, timed in worker processes that pyperf spawns and
calibrates, with pyperf's statistics.

    python bench/run.py SUITE [--tables a,b] [pyperf options, e.g. --fast -o out.json]

Suites: see cases.SUITES. A memory suite adds --track-memory itself. Each
worker loads its table (tables.load) and sets its case up before pyperf
starts measuring, so neither is timed nor counted in a memory peak.
"""

import gc
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pyperf  # noqa: E402

import cases  # noqa: E402
import tables  # noqa: E402


def revision():
    """The checked-out commit, marked when the module's sources differ from it."""
    def git(*args):
        return subprocess.run(["git", "-C", HERE, *args], capture_output=True, text=True, check=True).stdout.strip()
    try:
        dirty = git("status", "--porcelain", "--", "../src", "../python", "../CMakeLists.txt")
        return git("rev-parse", "--short", "HEAD") + (" (modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


class FaultsHook:
    """The pyperf hook (always on) that puts the minor page faults per timed
    call, counted by cases.timer, into each run's metadata."""
    name = "vorn_faults"

    @staticmethod
    def load():
        return _Faults


class _Faults:
    def __init__(self):
        cases.FAULTS[:] = [0, 0]

    def __enter__(self):
        pass

    def __exit__(self, *exc):
        pass

    def teardown(self, metadata):
        faults, calls = cases.FAULTS
        if calls:
            metadata["minor_faults_per_call"] = faults / calls
        cases.FAULTS[:] = [0, 0]


def main():
    named = [a for a in sys.argv[1:] if a in cases.SUITES]
    suite = cases.SUITES[named[0]] if named else None
    if suite and suite.memory and "--track-memory" not in sys.argv and "--worker" not in sys.argv:
        sys.argv.append("--track-memory")
    if "--worker" not in sys.argv and FaultsHook.name not in sys.argv:
        sys.argv += ["--hook", FaultsHook.name]

    def forward(cmd, args):
        cmd.append(args.suite)
        if args.tables:
            cmd.extend(["--tables", args.tables])

    runner = pyperf.Runner(add_cmdline_args=forward, metadata={"vorn_revision": revision(), "clock": "process_time"},
                           hooks=[FaultsHook])
    runner.argparser.add_argument("suite", choices=cases.SUITES)
    runner.argparser.add_argument("--tables", help="comma-separated subset of the suite's tables")
    args = runner.parse_args()
    suite = cases.SUITES[args.suite]
    if cases._vornfloor is None and not args.worker:
        print("warning: _vornfloor is not installed (`make bench` installs it): no floors", file=sys.stderr)
    only = args.tables.split(",") if args.tables else None
    for task, (name, case, label) in enumerate(cases.benchmarks(suite, only)):
        fn = arg = meta = None
        if args.worker and args.worker_task == task:
            table = None if label == "-" else tables.load(label)
            fn, arg = case.setup(table)
            if table is not None:
                # Not by writing the document: freeing it would leave the
                # allocator holding a block of its size for the codec timed.
                meta = {"document_mb": tables.document_mb(label)}
            del table
            gc.collect()
        runner.bench_time_func(name, cases.timer, fn, arg, suite.alone, metadata=meta)


if __name__ == "__main__":
    main()
