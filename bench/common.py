"""Shared plumbing of the per-family bench scripts.

Each family script runs in its own process, checks that every peer agrees
with the module on the workload, times them, and writes its rows as JSON:

    python bench/bench_dehydrate.py [--json out.json] [--tiny] [size]

`size` overrides the family's main workload size (messages, turns, calls).

`--tiny` shrinks every workload and every sample so that the smoke test can
prove in a second or two that the script still runs and its peers agree.
"""
from __future__ import annotations

import argparse
import glob
import importlib
import json
import math
import os
import subprocess
import sys
from dataclasses import asdict

import harness

# Labels of the floor rows that run.py reads back: the bus's floor with the
# interpreter lock released once, as the bus promises, and the window
# session played through the floor extension.
RELEASED = "floor, lock released"
CALLS_FLOOR = "floor, with the calls"


class Report:
    def __init__(self, family: str, tiny: bool):
        self.family = family
        self.tiny = tiny
        self.rows: list[dict] = []

    def add(self, workload: str, impl: str, timing: harness.Timing, unit: str = "call", **extra):
        row = {"family": self.family, "workload": workload, "impl": impl, "unit": unit,
               "seconds": timing.median, "min": timing.minimum, "max": timing.maximum,
               "number": timing.number, "samples": len(timing.samples)}
        row.update(extra)
        self.rows.append(row)
        print(f"  {workload:<34} {impl:<11} {fmt_time(timing.median):>12} per {unit}", flush=True)

    def note(self, workload: str, impl: str, **extra):
        """A row that carries figures other than a time (bytes hashed, ...)."""
        row = {"family": self.family, "workload": workload, "impl": impl}
        row.update(extra)
        self.rows.append(row)


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLOOR_SOURCE = os.path.join(ROOT, "bench", "floor")
FLOOR_BUILD = os.environ.get("ZELMO_FLOOR_DIR", os.path.join(ROOT, "build", "floor"))


def floor():
    """The floor extension (bench/floor), built into build/floor on first
    need with the CMake beside the interpreter (the project's .venv has one),
    and built again when its sources are newer than the build."""
    if FLOOR_BUILD not in sys.path:
        sys.path.insert(0, FLOOR_BUILD)
    built = glob.glob(os.path.join(FLOOR_BUILD, "zelmo_floor*.so"))
    newest_source = max(os.path.getmtime(os.path.join(FLOOR_SOURCE, f)) for f in os.listdir(FLOOR_SOURCE))
    if built and os.path.getmtime(built[0]) >= newest_source:
        try:
            return importlib.import_module("zelmo_floor")
        except ImportError:
            pass
    tools = os.path.dirname(sys.executable)
    cmake = os.path.join(tools, "cmake")
    if not os.path.exists(cmake):
        cmake = "cmake"
    # Ninja where the project's tools have it, as `make bench` builds it.
    generator = ["-G", "Ninja"] if os.path.exists(os.path.join(tools, "ninja")) else []
    subprocess.run([cmake, "-S", FLOOR_SOURCE, "-B", FLOOR_BUILD, *generator,
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", FLOOR_BUILD], check=True, stdout=subprocess.DEVNULL)
    importlib.invalidate_caches()
    return importlib.import_module("zelmo_floor")


def fmt_time(seconds: float) -> str:
    """A duration in the unit that suits it, for the console and the report."""
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.1f} ns"


def same(a, b, rel: float = 0.0) -> bool:
    """Equality where NaN equals NaN; with `rel`, two floats also count as
    equal within that relative distance (figures the module computes in
    single precision against a peer's double precision). Everything else,
    decisions and counts, must be equal."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b or (rel > 0.0 and math.isclose(a, b, rel_tol=rel, abs_tol=1e-30))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k], rel) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y, rel) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


# Relative distance allowed between a single-precision figure and a double.
SINGLE = 1e-5


def agree(what: str, results: dict, rel: float = 0.0):
    """Asserts that every implementation produced the same result (floats
    within `rel`, see `same`)."""
    names = list(results)
    first = results[names[0]]
    for name in names[1:]:
        if not same(first, results[name], rel):
            raise AssertionError(f"{what}: {name} disagrees with {names[0]}")
    print(f"  {what}: {', '.join(names)} agree", flush=True)


def main(family: str, run):
    parser = argparse.ArgumentParser(description=f"{family} benchmarks")
    parser.add_argument("--json", help="write the rows to this file")
    parser.add_argument("--tiny", action="store_true", help="tiny sizes, one quick sample each")
    parser.add_argument("size", nargs="?", type=int, help="main workload size of the family")
    args = parser.parse_args()
    if args.tiny:
        harness.SCALE.update(sample_time=0.0005, repeat=1, warmup=1)
    print(f"[{family}]", flush=True)
    report = Report(family, args.tiny)
    run(report, args.tiny, args.size)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report.rows, f, indent=1)
    return report


__all__ = ["Report", "SINGLE", "agree", "floor", "main", "same", "asdict", "sys"]
