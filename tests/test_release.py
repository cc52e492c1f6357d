"""What a release promises beyond the codec: one version everywhere, a working
`vorn` command in the installed environment, a demo that leaves the checkout
as it found it, and an sdist check that tells strays and missing files."""

import importlib.util
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import vorn_io

ROOT = Path(__file__).resolve().parent.parent
VORN = Path(sysconfig.get_path("scripts"), "vorn.exe" if sys.platform == "win32" else "vorn")


def load_script(name):
    path = ROOT / "scripts" / f"{name}.py"
    if not path.exists():
        pytest.skip(f"{path} is not here")
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(*cmd, cwd=None):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, encoding="utf-8")


def test_one_version_everywhere():
    installed = metadata.version("vorn")
    assert vorn_io.__version__ == installed
    # Taken from the file the build writes, not looked up at import.
    assert importlib.util.find_spec("vorn_io._built_version") is not None
    for cmd in ([str(VORN), "--version"], [sys.executable, "-m", "vorn_cli", "--version"]):
        done = run(*cmd)
        assert (done.returncode, done.stdout, done.stderr) == (0, f"vorn {installed}\n", "")
    pyproject = ROOT / "pyproject.toml"
    if pyproject.exists():
        assert tomllib.loads(pyproject.read_text("utf-8"))["project"]["version"] == installed


def test_installed_command_round_trip(tmp_path):
    table = 'id,name\n1,"a, b"\n2,"line\nbreak"\n3,😀\n'
    (tmp_path / "t.csv").write_text(table, encoding="utf-8", newline="")
    done = run(str(VORN), "encode", "t.csv", "-o", "t.vorn", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "t.vorn").read_text("utf-8") == \
        "02id04name;01104a, b;012110line\nbreak;01302😀;"
    done = run(str(VORN), "decode", "t.vorn", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, table)


def test_demo_leaves_the_checkout_clean():
    demo = ROOT / "examples" / "demo.py"
    # Ignored files (byte code, for one) never reach the sdist; anything else new would.
    status = run("git", "status", "--porcelain", "--untracked-files=all", cwd=ROOT)
    if not demo.exists() or status.returncode != 0:
        pytest.skip("not a git checkout with the demo")
    done = run(sys.executable, str(demo), cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    after = run("git", "status", "--porcelain", "--untracked-files=all", cwd=ROOT)
    assert after.stdout == status.stdout


def make_sdist(path, names, top="vorn-1.0"):
    with tarfile.open(path, "w:gz") as tar:
        for name in names:
            info = tarfile.TarInfo(f"{top}/{name}" if top else name)
            tar.addfile(info)
    return path


TRACKED = {"pyproject.toml", "src/a.cpp", "tests/test_a.py", "bench/results/r.md", ".ci/run"}


@pytest.mark.parametrize("shipped, expected", [
    # exactly the project, less the benchmark results, plus the generated PKG-INFO
    (TRACKED - {"bench/results/r.md"} | {"PKG-INFO"}, []),
    # a demo's output left in the tree, and benchmark results
    (TRACKED | {"cities.vorn"}, ["stray (not tracked by git): cities.vorn",
                                 "stray (not released): bench/results/r.md"]),
    # a source file left out
    (TRACKED - {"src/a.cpp", "bench/results/r.md"}, ["missing: src/a.cpp"]),
], ids=["exact", "strays", "missing"])
def test_sdist_check(tmp_path, shipped, expected):
    check = load_script("check_sdist")
    sdist = make_sdist(tmp_path / "s.tar.gz", sorted(shipped))
    assert check.sdist_files(sdist) == shipped
    assert sorted(check.problems(check.sdist_files(sdist), TRACKED)) == sorted(expected)


def test_sdist_check_refuses_files_outside_one_top_folder(tmp_path):
    check = load_script("check_sdist")
    with pytest.raises(ValueError, match="one top folder"):
        check.sdist_files(make_sdist(tmp_path / "s.tar.gz", ["PKG-INFO", "a/b"], top=""))
