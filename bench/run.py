"""Runs the whole benchmark suite and writes the report.

    python bench/run.py [--tiny] [--rounds N] [--cpp-dir DIR] [--out bench/results.md] [--chart bench/results.png]

1. Each workload family runs in its own process (bench_dehydrate.py,
   bench_window.py, bench_bus.py, bench_text.py): peers are checked against
   the module on the workload first, then timed with the timeit-style
   harness of harness.py (warm-up, calibrated loops, repeated samples,
   medians). The families run --rounds times over; per workload and
   implementation the fastest process's median is kept.
2. The C++ benches (bench_ring, bench_siphash) run from --cpp-dir when given.
3. Peak memory of the heavy workloads is measured in child processes
   (memory.py), the module against the pure-Python peer.
4. A Markdown table (times and ratios), the goals and the memory figures are
   printed and written to --out; a PNG chart of the ratios goes to --chart
   (needs matplotlib, the `bench` extra).

Benchmarks print figures; nothing here fails on a time.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

from common import fmt_time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

FAMILIES = ("bench_dehydrate.py", "bench_window.py", "bench_bus.py", "bench_text.py")
PEERS = ("python", "numpy", "lock+deque")  # speed-up columns: peer time / our time
FLOOR = "floor"  # cost column: our time / floor time


def run_families(tiny: bool, tmp: str, only=None, rounds: int = 1) -> list[dict]:
    """Rows of every family, run `rounds` times over (the families taking
    turns). Per workload and implementation the row of the fastest process
    is kept: a burst of outside load slows a process down, nothing speeds it
    up, and every implementation is treated alike."""
    best: dict = {}
    for _ in range(rounds):
        for script in FAMILIES:
            if only and not any(o in script for o in only):
                continue
            out = os.path.join(tmp, script + ".json")
            cmd = [sys.executable, os.path.join(HERE, script), "--json", out] + (["--tiny"] if tiny else [])
            subprocess.run(cmd, check=True)
            with open(out) as f:
                for row in json.load(f):
                    timed = "seconds" in row
                    key = (row["workload"], row.get("impl"), timed)
                    kept = best.get(key)
                    if kept is None or (timed and row["seconds"] < kept["seconds"]):
                        best[key] = row
    return list(best.values())


def run_cpp(cpp_dir: str | None, tiny: bool) -> dict:
    """Figures from the C++ benches, or {} when they are not built."""
    found: dict = {}
    if not cpp_dir:
        return found
    ring = os.path.join(cpp_dir, "bench_ring")
    if os.path.exists(ring):
        out = subprocess.run([ring] + (["2000"] if tiny else []), check=True, capture_output=True,
                             text=True).stdout
        print(out, end="")
        for line in out.splitlines():
            m = re.match(r"(.+?)\s+ring\s+([\d.]+) ops/s\s+mutex\+deque\s+([\d.]+) ops/s", line)
            if m:
                found["ring: " + m.group(1).strip()] = (float(m.group(2)), float(m.group(3)))
    sip = os.path.join(cpp_dir, "bench_siphash")
    if os.path.exists(sip):
        out = subprocess.run([sip] + (["4096", "3"] if tiny else []), check=True, capture_output=True,
                             text=True).stdout
        print(out, end="")
        m = re.search(r"RESULT siphash13_bytes_per_second ([\d.e+]+)", out)
        if m:
            found["siphash13 bytes/s"] = float(m.group(1))
    return found


def run_memory(tiny: bool, tmp: str, rounds: int = 5) -> list[dict]:
    """Median figures of `rounds` child runs per implementation, interleaved
    (page-granular resident sizes move by a few pages from run to run)."""
    import memory
    import statistics
    rounds = 1 if tiny else rounds
    # The workloads are built in a process of their own, so that this one
    # stays small: a child starts with the peak of the process that started it.
    subprocess.run([sys.executable, os.path.join(HERE, "memory.py"), "--write", tmp] + (["--tiny"] if tiny else []),
                   check=True)
    rows = []
    for workload in memory.WORKLOADS:
        data = os.path.join(tmp, workload + ".pickle")
        runs: dict = {"zelmo": [], "python": []}
        for _ in range(rounds):
            for impl in runs:
                out = subprocess.run([sys.executable, os.path.join(HERE, "memory.py"), "--data", data,
                                      "--impl", impl, "--workload", workload],
                                     check=True, capture_output=True, text=True).stdout
                runs[impl].append(json.loads(out))
        figures = {impl: {"peak_kib": int(statistics.median(r["peak_kib"] for r in rs)),
                          "delta_kib": int(statistics.median(r["peak_kib"] - r["baseline_kib"] for r in rs))}
                   for impl, rs in runs.items()}
        rows.append({"workload": workload, **figures})
        print(f"  memory {workload:<14} zelmo peak {figures['zelmo']['peak_kib']:>8} KiB"
              f" (+{figures['zelmo']['delta_kib']})   python peak {figures['python']['peak_kib']:>8} KiB"
              f" (+{figures['python']['delta_kib']})", flush=True)
    return rows


# ---------------------------------------------------------------------------
# Report


def table(rows: list[dict]) -> tuple[list[str], list[dict]]:
    """Markdown lines of the timing table and the per-workload ratios."""
    order: list[str] = []
    by: dict = {}
    for r in rows:
        if "seconds" not in r:
            continue
        key = r["workload"]
        if key not in by:
            order.append(key)
            by[key] = {}
        by[key][r["impl"]] = r
    lines = ["| workload | zelmo_micro | pure Python | numpy | lock+deque bus | floor |"
             " speed-up vs Python | vs numpy | vs lock+deque | × floor |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    ratios = []
    for key in order:
        impls = by[key]
        ours = impls.get("zelmo")
        cells = [key, fmt_time(ours["seconds"]) if ours else "—"]
        for peer in PEERS + (FLOOR,):
            cells.append(fmt_time(impls[peer]["seconds"]) if peer in impls else "—")
        entry = {"workload": key}
        for peer in PEERS:
            if ours and peer in impls:
                entry[peer] = impls[peer]["seconds"] / ours["seconds"]
                cells.append(f"{entry[peer]:.1f}×")
            else:
                cells.append("—")
        if ours and FLOOR in impls:
            entry[FLOOR] = ours["seconds"] / impls[FLOOR]["seconds"]
            cells.append(f"{entry[FLOOR]:.2f}×")
        else:
            cells.append("—")
        ratios.append(entry)
        lines.append("| " + " | ".join(cells) + " |")
    return lines, ratios


def goals(rows: list[dict], ratios: list[dict], cpp: dict, mem: list[dict]) -> list[str]:
    r = {e["workload"]: e for e in ratios}

    def find(prefix):
        return next((e for k, e in r.items() if k.startswith(prefix)), {})

    lines = ["| goal | measured | met |", "|---|---|---|"]

    def add(goal, value, ok):
        lines.append(f"| {goal} | {value} | {'yes' if ok else 'NO'} |")

    d = find("dehydrate")
    if d:
        add("one-shot `dehydrate` >= 10x pure Python", f"{d.get('python', 0):.1f}×", d.get("python", 0) >= 10)
        add("one-shot `dehydrate` >= 3x numpy", f"{d.get('numpy', 0):.1f}×", d.get("numpy", 0) >= 3)
    w = find("window session")
    if w:
        add("window session >= 10x pure Python", f"{w.get('python', 0):.1f}×", w.get("python", 0) >= 10)
    e = next((e for k, e in r.items() if k.startswith("effort_gauge") and k.endswith("KB")), {})
    if e:
        add("`effort_gauge` on mixed text (KB) >= 15x pure Python", f"{e.get('python', 0):.1f}×",
            e.get("python", 0) >= 15)
    raw = cpp.get("siphash13 bytes/s")
    for row in rows:
        if row.get("impl") == "zelmo" and row["workload"].startswith("saturation_scan"):
            s = r[row["workload"]]
            add(f"`{row['workload']}` >= 30x pure Python", f"{s.get('python', 0):.1f}×", s.get("python", 0) >= 30)
            if raw and row.get("bytes_hashed"):
                per_byte = row["bytes_hashed"] / row["seconds"] / raw
                add(f"`{row['workload']}` >= 0.5x raw SipHash-1-3 bytes/s",
                    f"{per_byte:.2f}× ({row['bytes_hashed'] / row['seconds'] / 1e9:.2f} of "
                    f"{raw / 1e9:.2f} GB/s)", per_byte >= 0.5)
    for name in ("consolidation_gain", "secrete", "sense"):
        if name in r and FLOOR in r[name]:
            add(f"`{name}` per call <= 2.5x the floor", f"{r[name][FLOOR]:.2f}×", r[name][FLOOR] <= 2.5)
    for key, value in cpp.items():
        if key.startswith("ring:"):
            ring, mutex = value
            add(f"event ring >= 2x mutex queue ({key[6:]})", f"{ring / mutex:.2f}×", ring / mutex >= 2)
    for m in mem:
        if m["workload"] == "dehydrate":
            z, p = m["zelmo"]["peak_kib"], m["python"]["peak_kib"]
            add("peak memory of `dehydrate` <= pure-Python peer's", f"{z} KiB vs {p} KiB", z <= p)
    return lines


def memory_table(mem: list[dict]) -> list[str]:
    lines = ["| workload | zelmo_micro peak | pure Python peak | zelmo_micro above baseline |"
             " pure Python above baseline |", "|---|---|---|---|---|"]
    for m in mem:
        z, p = m["zelmo"], m["python"]
        lines.append(f"| {m['workload']} | {z['peak_kib']} KiB | {p['peak_kib']} KiB | "
                     f"{z['delta_kib']} KiB | {p['delta_kib']} KiB |")
    return lines


def chart(ratios: list[dict], path: str):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (pip install .[bench]); no chart written")
        return
    labels, values, colors = [], [], []
    palette = {"python": "#4C72B0", "numpy": "#55A868", "lock+deque": "#C44E52", FLOOR: "#8172B2"}
    for e in ratios:
        for peer in PEERS:
            if peer in e:
                labels.append(f"{e['workload']} — vs {peer}")
                values.append(e[peer])
                colors.append(palette[peer])
        if FLOOR in e:
            labels.append(f"{e['workload']} — floor / ours")
            values.append(1.0 / e[FLOOR])
            colors.append(palette[FLOOR])
    fig, ax = plt.subplots(figsize=(10, 0.32 * len(labels) + 1.5))
    ax.barh(range(len(labels)), values, color=colors)
    ax.set_yticks(range(len(labels)), labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("ratio (peer time / zelmo_micro time; > 1 means zelmo_micro is faster)")
    ax.set_title("zelmo_micro against its peers")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"chart written to {path}")


def machine() -> str:
    load = os.getloadavg() if hasattr(os, "getloadavg") else ("?",) * 3
    return (f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs, "
            f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, {time.strftime('%Y-%m-%d %H:%M')}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tiny", action="store_true", help="tiny sizes (smoke run)")
    p.add_argument("--cpp-dir", help="directory holding the built bench_ring and bench_siphash")
    p.add_argument("--out", default=os.path.join(HERE, "results.md"))
    p.add_argument("--chart", default=os.path.join(HERE, "results.png"))
    p.add_argument("--only", nargs="*", help="run only families whose script name contains one of these")
    p.add_argument("--no-memory", action="store_true")
    p.add_argument("--rounds", type=int, default=3,
                   help="processes per family; the fastest one's figure is kept (default 3)")
    a = p.parse_args()

    started = machine()
    with tempfile.TemporaryDirectory() as tmp:
        rows = run_families(a.tiny, tmp, a.only, 1 if a.tiny else a.rounds)
        cpp = run_cpp(a.cpp_dir, a.tiny)
        mem = [] if a.no_memory else run_memory(a.tiny, tmp)

    lines, ratios = table(rows)
    md = ["# zelmo_micro benchmark results", "",
          f"Run: {started}.", "",
          "Harness: a timeit-style loop (warm-up calls, loop count calibrated to ≥ 50 ms per sample, "
          "7 samples, median reported, garbage collector off while sampling); one process per workload "
          f"family, {a.rounds if not a.tiny else 1} rounds of them, and per workload and implementation "
          "the fastest process's median is kept (outside load only ever slows a process). Every peer is checked to give the same results on the workload before it is timed. "
          "Speed-ups are peer time ÷ zelmo_micro time; “× floor” is zelmo_micro time ÷ the time of "
          "`\"\".format(*args)`, a built-in that takes the same arguments through the same calling "
          "convention (positional tuple + keyword dict) and ignores them. The window session's floor "
          "is instead the str building its renders can't avoid: `\"\".join` of each turn's rendered "
          "pieces, prepared beforehand.", "",
          "## Times", ""] + lines
    if cpp:
        md += ["", "## C++ benches", "", "| bench | figure |", "|---|---|"]
        for k, v in cpp.items():
            if isinstance(v, tuple):
                md.append(f"| {k} | ring {v[0]:.3g} ops/s, mutex+deque {v[1]:.3g} ops/s, "
                          f"{v[0] / v[1]:.2f}× |")
            else:
                md.append(f"| {k} | {v / 1e9:.3f} GB/s |")
    if mem:
        md += ["", "## Peak memory (child processes, `resource.getrusage` ru_maxrss)", "",
               "Each child imports both implementations, loads the pickled workload and warms both "
               "up on a small copy of it; the baseline is the peak before the measured call, the peak "
               "is read right after it. Medians of five children per implementation (one in a --tiny run).", ""]
        md += memory_table(mem)
    md += ["", "## Goals", ""] + goals(rows, ratios, cpp, mem)
    ours = next((r for r in rows if r["workload"] == "consolidation_gain" and r["impl"] == "zelmo"), None)
    alt = next((r for r in rows if r["workload"] == "consolidation_gain" and r["impl"] == "max(a, b)"), None)
    if ours and alt:
        md += ["", f"With `max(a, b)` as the floor instead (the same arguments through the same calling "
                   f"convention, but it compares them: {fmt_time(alt['seconds'])}), `consolidation_gain` "
                   f"is {ours['seconds'] / alt['seconds']:.2f}× the floor."]
    w_ours = next((r for r in rows if r["workload"].startswith("window") and r["impl"] == "zelmo"), None)
    w_floor = next((r for r in rows if r["workload"].startswith("window") and r["impl"] == "floor"), None)
    w_py = next((r for r in rows if r["workload"].startswith("window") and r["impl"] == "python"), None)
    if w_ours and w_floor and w_py:
        md += ["", f"The window session's renders alone, as `\"\".join` of their pieces in a tight loop, "
                   f"take {fmt_time(w_floor['seconds'])}: with inserts and dehydrate cycles free, no window "
                   f"could beat pure Python by more than {w_py['seconds'] / w_floor['seconds']:.1f}× here."]
    text = "\n".join(md) + "\n"
    print()
    print(text)
    with open(a.out, "w") as f:
        f.write(text)
    print(f"report written to {a.out}")
    chart(ratios, a.chart)


if __name__ == "__main__":
    main()
