"""Instructions per call of the module's rows, counted by valgrind's callgrind.

Instruction counts hardly move with the machine's load, so they show a
regression that wall time on a busy machine hides. For each family, one
valgrind process builds the family's workloads (`module_calls(tiny)` in the
family script), makes one warm-up call per row, then makes the row's calls
inside the floor extension's `measure(fn, args, n)`, which turns callgrind's
instrumentation and collection on around them and writes one profile part per
row: a row's count holds its calls (and the call protocol around them) and
nothing else, and the rest of the process runs uninstrumented.

    python bench/instructions.py [--tiny] [--only bench_text ...] [--json FILE]

prints one line per row; `run.py` puts the figures in its table. Without
valgrind it prints a note and returns no figures.
"""
from __future__ import annotations

import argparse
import glob
import importlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

FAMILIES = tuple(sorted(os.path.basename(p)[:-3] for p in glob.glob(os.path.join(HERE, "bench_*.py"))))


def child(family: str, tiny: bool, names_out: str):
    """Runs under callgrind: every row's calls inside measure()."""
    import common
    floor = common.floor()
    calls = importlib.import_module(family).module_calls(tiny)
    measured = []
    for name, make in calls:
        fn, args, _ = make()
        fn(*args)  # warm-up, on state of its own
        fn, args, n = make()
        floor.measure(fn, args, n)
        measured.append((name, n))
    with open(names_out, "w") as f:
        json.dump(measured, f)


def _total(path: str) -> int:
    """A profile part's instruction total (its "summary" line can be off
    when instrumentation is switched during the run; "totals" is exact)."""
    with open(path) as f:
        for line in f:
            m = re.match(r"totals:\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise ValueError(f"no totals in {path}")


def count(families=FAMILIES, tiny: bool = False) -> dict:
    """{workload: instructions per call} for the module's rows."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        print("valgrind is not installed; no instruction counts")
        return {}
    figures: dict = {}
    for family in families:
        with tempfile.TemporaryDirectory() as tmp:
            names = os.path.join(tmp, "names.json")
            out = os.path.join(tmp, "callgrind.out")
            cmd = [valgrind, "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
                   f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
                   "--child", family, "--names", names] + (["--tiny"] if tiny else [])
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(names) as f:
                measured = json.load(f)
            # One part per dump, numbered in the order the rows ran.
            parts = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
            if len(parts) != len(measured):
                raise RuntimeError(f"{family}: {len(parts)} profile parts for {len(measured)} rows")
            for (name, n), part in zip(measured, parts):
                figures[name] = _total(part) / n
                print(f"  instructions {name:<48} {figures[name]:>14,.0f} per call", flush=True)
    return figures


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tiny", action="store_true")
    p.add_argument("--only", nargs="*", help="families whose name contains one of these")
    p.add_argument("--json", help="write the figures to this file")
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--names", help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        child(a.child, a.tiny, a.names)
        return
    families = [f for f in FAMILIES if not a.only or any(o in f for o in a.only)]
    figures = count(families, a.tiny)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
