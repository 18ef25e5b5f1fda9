"""The README's "Use it with your stack" and "Use it in an agent loop" sections run as written."""
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
SECTIONS = {"Use it with your stack": 4, "Use it in an agent loop": 5}


def blocks(title):
    text = README.read_text(encoding="utf-8")
    section = text.split(f"## {title}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, flags=re.S)


@pytest.mark.parametrize("title", sorted(SECTIONS))
def test_the_section_has_its_examples(title):
    assert len(blocks(title)) == SECTIONS[title]


@pytest.mark.parametrize("title, index", [(t, i) for t, n in sorted(SECTIONS.items())
                                          for i in range(n)])
def test_each_example_runs(title, index, tmp_path, monkeypatch):
    code = blocks(title)[index]
    for package in ("langchain_core", "agents"):
        if f"from {package}" in code:
            pytest.importorskip(package, reason=f"the extra that brings {package} is not installed")
    monkeypatch.chdir(tmp_path)  # the Agents SDK session keeps its file here
    exec(compile(code, f"README {title!r} block {index}", "exec"), {})
