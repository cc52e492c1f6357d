"""Builds the _vornfloor extension for the running interpreter into
bench/floor/build/, only when the C source is newer than the built module.

    python bench/floor/build.py        # build if needed, print the path

Other scripts call ensure(), which builds if needed and returns the folder
to put on sys.path.
"""

import os
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "_vornfloor.c")
BUILD = os.path.join(HERE, "build")


def target():
    return os.path.join(BUILD, "_vornfloor" + sysconfig.get_config_var("EXT_SUFFIX"))


def ensure(quiet=True):
    """Compiles the module if it is missing or older than its source and
    returns the folder holding it."""
    out = target()
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(SOURCE):
        return BUILD
    os.makedirs(BUILD, exist_ok=True)
    cc = os.environ.get("CC", "cc")
    cmd = [cc, "-O3", "-shared", "-fPIC", "-Wall", "-Wextra", "-Wno-unused-parameter",
           "-I", sysconfig.get_paths()["include"], SOURCE, "-o", out + ".tmp"]
    if not quiet:
        print(" ".join(cmd), file=sys.stderr)
    try:
        subprocess.run(cmd, check=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        raise SystemExit(f"error: building the floor module failed ({exc}); a C compiler "
                         "and the interpreter's headers (python3.13-dev) are needed")
    os.replace(out + ".tmp", out)
    return BUILD


if __name__ == "__main__":
    ensure(quiet=False)
    print(target())
