"""Every example of docs/recipes.md runs as it stands, in order, in one folder."""

import os
import re
from pathlib import Path

import pytest

RECIPES = Path(__file__).resolve().parent.parent / "docs" / "recipes.md"
BLOCKS = re.findall(r"```python\n(.*?)```", RECIPES.read_text(encoding="utf-8"), re.S)
NEEDS = {"pyarrow": "pyarrow", "pandas": "pandas", "polars": "polars", "duckdb": "duckdb", "dask": "dask"}


def test_every_block_is_found():
    assert len(BLOCKS) >= 7


@pytest.mark.parametrize("index", range(1, len(BLOCKS)))
def test_recipe(index, tmp_path, monkeypatch):
    for name, module in NEEDS.items():
        if re.search(rf"\b{name}\b", BLOCKS[index]):
            pytest.importorskip(module, reason=f"{module} is not installed (vorn[arrow], vorn[dask])")
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vorn[arrow])")
    monkeypatch.chdir(tmp_path)
    scope: dict = {}
    exec(compile(BLOCKS[0], "recipes.md[0]", "exec"), scope)
    exec(compile(BLOCKS[index], f"recipes.md[{index}]", "exec"), scope)
    assert os.path.exists("people.vorn")
