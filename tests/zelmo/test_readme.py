"""The README's "Use it with your stack" section runs as written."""
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks():
    text = README.read_text(encoding="utf-8")
    section = text.split("## Use it with your stack", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, flags=re.S)


def test_the_section_has_its_examples():
    assert len(blocks()) == 4


@pytest.mark.parametrize("index", range(4))
def test_each_example_runs(index, tmp_path, monkeypatch):
    code = blocks()[index]
    for package in ("langchain_core", "agents"):
        if f"from {package}" in code:
            pytest.importorskip(package, reason=f"the extra that brings {package} is not installed")
    monkeypatch.chdir(tmp_path)  # the Agents SDK session keeps its file here
    exec(compile(code, f"README block {index}", "exec"), {})
