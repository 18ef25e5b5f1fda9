"""The benchmark suite still runs and its peers still agree with the module.

Each bench family runs once at tiny size in its own process, as `make bench`
runs it at full size; a family whose peer disagrees with the module fails
with an AssertionError before anything is timed. No time is checked here.
"""
import json
import os
import pickle
import re
import subprocess
import sys

import pytest

pytest.importorskip("numpy")  # the numpy peers

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")

FAMILIES = {
    "bench_dehydrate.py": {"zelmo", "python", "numpy"},
    "bench_window.py": {"zelmo", "python", "numpy", "floor"},
    "bench_bus.py": {"zelmo", "lock+deque", "floor"},
    "bench_text.py": {"zelmo", "python", "floor", "max(a, b)"},
}


def _run(args, **kw):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120, **kw)


@pytest.mark.parametrize("script", sorted(FAMILIES))
def test_family_runs_and_peers_agree(script, tmp_path):
    out = tmp_path / "rows.json"
    proc = _run([os.path.join(BENCH, script), "--tiny", "--json", str(out)])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " agree" in proc.stdout
    rows = json.loads(out.read_text())
    timed = [r for r in rows if "seconds" in r]
    assert {r["impl"] for r in timed} == FAMILIES[script]
    assert all(r["seconds"] > 0 for r in timed)
    # Every timed workload has the module's own figure.
    workloads = {r["workload"] for r in timed}
    assert workloads == {r["workload"] for r in timed if r["impl"] == "zelmo"}


def test_peers_module_detects_a_disagreement():
    sys.path.insert(0, BENCH)
    try:
        import common
    finally:
        sys.path.remove(BENCH)
    common.agree("equal", {"a": {"x": [1.0, float("nan")]}, "b": {"x": [1.0, float("nan")]}})
    with pytest.raises(AssertionError, match="b disagrees with a"):
        common.agree("unequal", {"a": {"x": 1.0}, "b": {"x": 1.0000001}})
    with pytest.raises(AssertionError):
        common.agree("key order", {"a": {"x": 1, "y": 2}, "b": {"y": 2, "x": 1}})


@pytest.mark.parametrize("impl", ["zelmo", "python"])
def test_memory_child_reports_its_peak(impl, tmp_path):
    sys.path.insert(0, BENCH)
    try:
        import memory
        data = memory.workloads_for(tiny=True)["dehydrate"]
    finally:
        sys.path.remove(BENCH)
    path = tmp_path / "dehydrate.pickle"
    path.write_bytes(pickle.dumps(data))
    proc = _run([os.path.join(BENCH, "memory.py"), "--data", str(path), "--impl", impl,
                 "--workload", "dehydrate"])
    assert proc.returncode == 0, proc.stderr
    figures = json.loads(proc.stdout)
    assert 0 < figures["baseline_kib"] <= figures["peak_kib"]


def test_text_conversion_figures_run_and_round_trip():
    proc = _run([os.path.join(BENCH, "text_conversion.py"), "--tiny"])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = proc.stdout.splitlines()[1:]
    assert len(rows) == 8
    assert all(re.search(r"\d [nµm]?s +[\d.]+ [nµm]?s$", row) for row in rows), rows


def test_report_is_written(tmp_path):
    out = tmp_path / "results.md"
    proc = _run([os.path.join(BENCH, "run.py"), "--tiny", "--only", "bench_text", "--no-memory",
                 "--out", str(out), "--chart", str(tmp_path / "results.png")])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    report = out.read_text()
    assert "| consolidation_gain |" in report
    assert "`consolidation_gain` per call <= 2.5x the floor" in report
