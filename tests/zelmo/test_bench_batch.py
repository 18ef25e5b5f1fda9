"""bench/batch.py still runs, and its pure-Python batch does the same work as zelmo."""
import sys
from pathlib import Path

import pytest

pytest.importorskip("langchain_core", reason="the langchain extra (langchain-core) is not installed")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import batch as bench_batch  # noqa: E402

from zelmo.batch import flood_scan, trim_batch  # noqa: E402
from zelmo.corpus import conversations  # noqa: E402


def test_tiny_run_agrees(capsys):
    assert bench_batch.main(["--tiny", "--no-ray"]) == 0
    out = capsys.readouterr().out
    assert "both sides keep the same messages and count the same floods" in out
    assert "pure Python, one core" in out and "all cores (processes)" in out


def test_the_python_batch_matches_zelmo_on_failures_and_floods():
    corpus = [r["messages"] for r in conversations(120, messages=30, seed=5, flood_rate=0.3)]
    ours = trim_batch({"messages": corpus}, max_tokens=bench_batch.MAX_TOKENS, scan=flood_scan)
    theirs = bench_batch.plain_batch(corpus)
    assert [k for k, _ in theirs] == ours["kept_positions"]
    assert None in ours["kept_positions"]  # some conversations are over budget
    assert [f for _, f in theirs] == bench_batch._floods(corpus)
    assert sum(f for _, f in theirs) > 0
