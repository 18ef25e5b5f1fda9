"""The benchmark suite still runs and its peers still agree with the module.

Each bench family runs once at tiny size in its own process, as `make bench`
runs it at full size; a family whose peer disagrees with the module fails
with an AssertionError before anything is timed. The floor extension
(bench/floor) is built on first need. No time is checked here.
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
    "bench_dehydrate.py": {"zelmo", "python", "numpy", "floor", "floor, cached UTF-8"},
    "bench_window.py": {"zelmo", "python", "numpy", "floor", "floor, with the calls"},
    "bench_bus.py": {"zelmo", "python", "floor", "floor, lock released"},
    "bench_text.py": {"zelmo", "python", "floor"},
}
# Timed when its extra is installed (the `bench` extra, not the `test` one).
OPTIONAL = {"bench_dehydrate.py": {"langchain"}}


def _bench_module(name):
    sys.path.insert(0, BENCH)
    try:
        return __import__(name)
    finally:
        sys.path.remove(BENCH)


def test_every_family_is_covered():
    assert sorted(f for f in os.listdir(BENCH) if f.startswith("bench_") and f.endswith(".py")) == sorted(FAMILIES)


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
    assert FAMILIES[script] <= {r["impl"] for r in timed} <= FAMILIES[script] | OPTIONAL.get(script, set())
    assert all(r["seconds"] > 0 for r in timed)
    # Every timed workload has the module's own figure.
    workloads = {r["workload"] for r in timed}
    assert workloads == {r["workload"] for r in timed if r["impl"] == "zelmo"}


def test_peers_module_detects_a_disagreement():
    common = _bench_module("common")
    common.agree("equal", {"a": {"x": [1.0, float("nan")]}, "b": {"x": [1.0, float("nan")]}})
    with pytest.raises(AssertionError, match="b disagrees with a"):
        common.agree("unequal", {"a": {"x": 1.0}, "b": {"x": 1.0000001}})
    with pytest.raises(AssertionError):
        common.agree("key order", {"a": {"x": 1, "y": 2}, "b": {"y": 2, "x": 1}})
    # Single-precision figures may differ a little; decisions and counts may not.
    common.agree("close", {"a": [0.1, 3], "b": [0.1000001, 3]}, rel=common.SINGLE)
    for a, b in (([0.1, 3], [0.1001, 3]), ([0.1, 3], [0.1, 4]), ([float("nan")], [0.0])):
        with pytest.raises(AssertionError):
            common.agree("far", {"a": a, "b": b}, rel=common.SINGLE)


# The careful dehydrate peer skips exp2 for messages too old to survive; its
# decisions must stay the module's at any parameters.
@pytest.mark.parametrize("half_life, threshold, prefix", [
    (6.0, 0.35, 0), (6.0, 0.35, 40), (0.05, 0.35, 0), (float("nan"), 0.2, 0), (1e9, 0.35, 0),
    (6.0, 0.0, 0), (6.0, -1.0, 0), (6.0, 1.0, 0), (6.0, 2.5, 3), (6.0, float("nan"), 0), (100.0, 0.01, 0),
    (2.0, 1e-30, 0), (6.0, 0.35, 10**6),
])
@pytest.mark.parametrize("power", ["math.exp2", "2.0 ** x"])  # the second is Python 3.10's
def test_careful_dehydrate_peer_decides_like_the_module(half_life, threshold, prefix, power, monkeypatch):
    import zelmo_micro
    reference, workloads = _bench_module("reference"), _bench_module("workloads")
    if power != "math.exp2":
        monkeypatch.setattr(reference, "exp2", lambda x: 2.0 ** x)
    messages = workloads.history(400)
    ours = zelmo_micro.dehydrate(messages, half_life, threshold, prefix)
    peer = reference.dehydrate(messages, half_life, threshold, prefix)
    for result in (ours, peer):
        del result["kernel_latency_us"]
    assert peer == ours


@pytest.mark.parametrize("window", [0, 1, 2, 8, 15])
@pytest.mark.parametrize("text", [
    "", "a b a", "a " * 15, "x " * 16, "the quick brown fox jumps over the lazy dog " * 5,
    "a\x1cb a\x1cb a\x1cb " * 6,  # a separator str.split() breaks on and the module does not
    "flood", "natural",
])
def test_careful_scan_peer_scores_like_the_module(text, window):
    import zelmo_micro
    reference, workloads = _bench_module("reference"), _bench_module("workloads")
    if text == "flood":
        text = workloads.flood_text(20_000)
    elif text == "natural":
        text = workloads.natural_text(20_000)
    ours = zelmo_micro.saturation_scan(text, window)
    # The peer divides in double precision; the module's quotient is single.
    assert reference.saturation_scan(text, window) == pytest.approx(ours, rel=1e-6, abs=0)


def test_floor_results_have_the_modules_shape():
    import zelmo_micro
    common, workloads = _bench_module("common"), _bench_module("workloads")
    floor = common.floor()
    messages = workloads.history(200)
    for got, want in ((floor.dehydrate(messages), zelmo_micro.dehydrate(messages)),
                      (floor.dehydrate_cached(list(messages)), zelmo_micro.dehydrate(messages)),
                      (floor.consolidation_gain(120, 45), zelmo_micro.consolidation_gain(120, 45)),
                      (floor.effort_gauge("why \u00e9"), zelmo_micro.effort_gauge("why \u00e9"))):
        assert list(got) == list(want)
        assert [type(v) for v in got.values()] == [type(v) for v in want.values()]
    ours = zelmo_micro.dehydrate(messages)
    kept = set(map(id, ours["kept"]))
    assert 0 < len(floor.dehydrate(messages)["kept"]) and set(map(id, floor.dehydrate(messages)["kept"])) <= kept
    # Both floors read every text's true UTF-8 length.
    fresh = [(text.encode().decode(), flags) for text, flags in messages]
    assert floor.dehydrate(messages)["tokens_before"] == ours["tokens_before"]
    assert floor.dehydrate_cached(fresh)["tokens_before"] == ours["tokens_before"]
    bus = zelmo_micro.HormonalBus(32, 64)
    for i in range(64):
        bus.secrete(i & 0xFF, 1.0)
    assert floor.drain_events(64) == bus.drain_events(64)
    assert floor.secrete(1, 0.5) is None and isinstance(floor.sense(3), float)
    with pytest.raises(TypeError):
        floor.dehydrate([(1, 2)])
    # The window's calls return what the module's methods return and read
    # what they read.
    window = zelmo_micro.ContextApoptosis()
    for content in ("ascii", "caf\u00e9 \U0001F600"):
        assert floor.window_insert(content, 1) is window.insert(content, 1) is None
    assert type(floor.window_dehydrate(absorb=True)) is type(window.dehydrate(absorb=True)) is int
    for bad in ((b"bytes",), ("text", -1)):
        with pytest.raises((TypeError, OverflowError)):
            floor.window_insert(*bad)


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


def test_report_and_readme_section_are_written(tmp_path):
    out = tmp_path / "results.md"
    readme = tmp_path / "README.md"
    readme.write_text("# Title\n\n<!-- bench-results:start -->\nold figures\n<!-- bench-results:end -->\n\nafter\n")
    proc = _run([os.path.join(BENCH, "run.py"), "--tiny", "--only", "bench_text", "--no-memory",
                 "--no-instructions", "--out", str(out), "--chart", str(tmp_path / "results.png"),
                 "--readme", str(readme)])
    assert proc.returncode == 0, proc.stdout + proc.stderr
    report = out.read_text()
    row = next(line for line in report.splitlines() if line.startswith("| consolidation_gain |"))
    # Module, careful Python, numpy, LangChain, floor, three peer ratios, the floor ratio, instructions.
    cells = [c.strip() for c in row.strip("|").split("|")][1:]
    assert len(cells) == 10 and cells[2] == cells[3] == "—" and cells[1] != "—" and cells[4] != "—"
    assert re.fullmatch(r"[\d.]+×", cells[5]) and re.fullmatch(r"[\d.]+×", cells[8])
    assert "`consolidation_gain` ≤ 1.5× its floor" in report
    assert re.search(r"Run: Python .+ load average .+ \d{4}-\d\d-\d\d", report)
    text = readme.read_text()
    assert "old figures" not in text and text.endswith("<!-- bench-results:end -->\n\nafter\n")
    assert row in text


@pytest.mark.parametrize("value, limit, digits, shown", [
    (1.5011, 1.5, 2, "1.501"),   # just above the line: not "1.50" beside NO
    (1.4996, 1.5, 2, "1.4996"),  # just below it: not "1.50" either
    (1.5, 1.5, 2, "1.50"),
    (1.37, 1.5, 2, "1.37"),
    (5.96, 6, 1, "5.96"),
    (31.9, 30, 1, "31.9"),
])
def test_goal_figures_never_round_onto_their_limit(value, limit, digits, shown):
    assert _bench_module("run").near(value, limit, digits) == shown


@pytest.mark.parametrize("workload", ["flood", "natural", "mixed", "gauge-20-words", "gauge-bytes"])
def test_ab_times_two_builds_in_turn(workload):
    import zelmo_micro
    so = zelmo_micro.__file__
    proc = _run([os.path.join(BENCH, "ab.py"), so, so, workload, "--rounds", "2", "--bytes", "20000"], cwd=BENCH)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert [line.split(":")[0] for line in proc.stdout.splitlines()] == ["old", "new"]
