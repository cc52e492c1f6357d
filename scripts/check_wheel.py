#!/usr/bin/env python3
"""Installs a built wheel into a fresh environment and tests it there.

    python scripts/check_wheel.py --python python3.13 dist/vorn-...manylinux...whl

The environment (build/check-wheel/venv) is made anew with the given Python
3.13; the wheel goes in with --only-binary=:all:, so nothing is compiled, with
the extras cibuildwheel installs for its tests. Then, from a folder outside
the checkout, the installed `vorn`, `vorn_io` and `vorn_cli` must come from
that environment, and the test command configured for cibuildwheel in
pyproject.toml runs as cibuildwheel runs it, {project} standing for this
checkout. Exit status: that of the first step that failed.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "check-wheel"

WHERE = """
import sys, vorn, vorn_io, vorn_cli
for m in (vorn, vorn_io, vorn_cli):
    assert m.__file__.startswith(sys.prefix), (m.__name__, m.__file__, sys.prefix)
print("vorn", vorn_io.__version__, "from", vorn.__file__)
"""


def step(what: str, cmd: list[str] | str, **kw: object) -> None:
    print(f"--- {what}", flush=True)
    done = subprocess.run(cmd, **kw)  # type: ignore[call-overload]
    if done.returncode:
        print(f"check_wheel: {what} failed (exit {done.returncode})", file=sys.stderr)
        raise SystemExit(done.returncode)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--python", default=sys.executable, help="a Python 3.13 interpreter")
    ap.add_argument("wheel", type=Path)
    args = ap.parse_args()

    config = tomllib.loads((ROOT / "pyproject.toml").read_text("utf-8"))["tool"]["cibuildwheel"]
    extras = config.get("test-extras", [])
    extras = [extras] if isinstance(extras, str) else extras
    command = config["test-command"].replace("{project}", str(ROOT)).replace("{package}", str(ROOT))

    start = time.monotonic()
    venv = WORK / "venv"
    shutil.rmtree(WORK, ignore_errors=True)
    step("fresh environment", [args.python, "-m", "venv", str(venv)])
    bindir = venv / ("Scripts" if os.name == "nt" else "bin")
    py = bindir / "python"
    wheel = str(args.wheel.resolve()) + (f"[{','.join(extras)}]" if extras else "")
    step("install the wheel, binaries only",
         [str(py), "-m", "pip", "install", "-q", "--only-binary=:all:", wheel])

    env = dict(os.environ, VIRTUAL_ENV=str(venv), PATH=f"{bindir}{os.pathsep}{os.environ['PATH']}")
    env.pop("PYTHONPATH", None)
    with tempfile.TemporaryDirectory() as away:
        step("installed modules come from the environment", [str(py), "-c", WHERE], cwd=away, env=env)
        step("vorn --version", [str(bindir / "vorn"), "--version"], cwd=away, env=env)
        step(f"test command: {command}", command, shell=True, cwd=away, env=env)
    print(f"check_wheel: {args.wheel.name} passed in {time.monotonic() - start:.0f} s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
