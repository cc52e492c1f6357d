"""Type checkers see the extension's API through the installed stub package."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import vorn

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parent.parent

GOOD = """\
from collections.abc import Iterator
import vorn

def rows() -> Iterator[tuple[object, ...]]:
    yield ("a", 1, None)

table: list[list[str]] = vorn.parse("01a;")
again: list[list[str]] = vorn.parse(vorn=vorn.stringify(lists=table))
text: str = vorn.stringify(rows()) + vorn.HEX + vorn.ErrUnexpectedEndOfInput + vorn.UTF16_CODEC
names: list[str] = vorn.__all__
"""

# Each line is one misuse that must be flagged.
BAD = """\
import vorn
vorn.parse(b"01a;")
vorn.parse(None)
vorn.parse(text="01a;")
vorn.stringify(5)
vorn.stringify([1, 2])
n: int = vorn.stringify([["a"]])
row: list[str] = vorn.parse(";")
vorn.dumps([["a"]])
"""


def mypy(path, cache):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(cache), *map(str, path)],
                          capture_output=True, text=True, cwd=ROOT)


def test_correct_use_and_the_command_line_tool_pass(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    done = mypy([tmp_path / "good.py", ROOT / "python" / "vorn_cli"], tmp_path / "cache")
    assert done.returncode == 0, done.stdout + done.stderr


def test_each_misuse_is_flagged(tmp_path):
    (tmp_path / "bad.py").write_text(BAD)
    done = mypy([tmp_path / "bad.py"], tmp_path / "cache")
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert flagged == set(range(2, BAD.count("\n") + 1)), done.stdout


def test_stub_names_every_public_global():
    stub = ast.parse((ROOT / "stubs" / "vorn-stubs" / "__init__.pyi").read_text())
    declared = {t.id for node in stub.body if isinstance(node, (ast.Assign, ast.AnnAssign))
                for t in (node.targets if isinstance(node, ast.Assign) else [node.target])}
    declared |= {n.name for n in stub.body if isinstance(n, ast.FunctionDef)}
    declared |= {a.asname for n in stub.body if isinstance(n, ast.Import) for a in n.names}
    runtime = {name for name in vars(vorn)
               if not name.startswith("__") or name in ("__all__", "__test__")}
    assert declared == runtime
    assert vorn.__all__ == ast.literal_eval(next(
        n.value for n in stub.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"))
