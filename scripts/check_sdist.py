#!/usr/bin/env python3
"""Lists a source distribution and fails unless it holds exactly the project.

The project is what git tracks, less the benchmark results (bench/results/),
which describe one machine on one day and stay in the repository. The build
backend packs every file that .gitignore does not exclude, so a file left in
the tree by hand or by a tool (a demo's output, a scratch table) would ship;
this check catches it, and a tracked file that the sdist lacks.

    python scripts/check_sdist.py dist/vorn-X.Y.Z.tar.gz

Exit status 0 when the sdist is exact, 1 listing each stray or missing file.
"""

from __future__ import annotations

import subprocess
import sys
import tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Tracked, but not part of what is released.
NOT_SHIPPED = ("bench/results/",)
# Written by the build backend into every sdist.
GENERATED = {"PKG-INFO"}


def sdist_files(path: str | Path) -> set[str]:
    """Paths of the regular files in the sdist, relative to its top folder."""
    with tarfile.open(path) as tar:
        names = [m.name for m in tar.getmembers() if m.isfile()]
    tops = {name.split("/", 1)[0] for name in names}
    if len(tops) != 1 or any("/" not in name for name in names):
        raise ValueError(f"{path}: expected every file under one top folder, found {sorted(tops)}")
    return {name.split("/", 1)[1] for name in names}


def tracked_files(root: Path = ROOT) -> set[str]:
    out = subprocess.run(["git", "ls-files", "-z"], cwd=root, check=True,
                         capture_output=True).stdout
    return {name for name in out.decode("utf-8").split("\0")
            if name and (root / name).is_file()}


def problems(shipped: set[str], tracked: set[str]) -> list[str]:
    """One line per file that should not be in the sdist or should be and is not."""
    def released(name: str) -> bool:
        return not name.startswith(NOT_SHIPPED)

    found = []
    for name in sorted(shipped - GENERATED):
        if name not in tracked:
            found.append(f"stray (not tracked by git): {name}")
        elif not released(name):
            found.append(f"stray (not released): {name}")
    for name in sorted(tracked - shipped):
        if released(name):
            found.append(f"missing: {name}")
    return found


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print("usage: check_sdist.py SDIST", file=sys.stderr)
        return 2
    shipped = sdist_files(argv[0])
    found = problems(shipped, tracked_files())
    for line in found:
        print(f"{argv[0]}: {line}")
    if found:
        return 1
    print(f"{argv[0]}: {len(shipped)} files, exactly the project")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
