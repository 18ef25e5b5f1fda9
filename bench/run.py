"""Runs the whole benchmark suite and writes the report.

    python bench/run.py [--tiny] [--rounds N] [--cpp-dir DIR] [--out bench/results.md]
                        [--chart bench/results.png] [--readme README.md] [--no-instructions]

1. Each workload family (every bench/bench_*.py) runs in its own process:
   peers are checked against the module on the workload first, then timed
   with the timeit-style harness of harness.py (warm-up, calibrated loops,
   repeated samples, medians). The families run --rounds times over; per
   workload and implementation the fastest process's median is kept.
2. Instructions per call of the module's rows, counted by callgrind
   (instructions.py), when valgrind is installed.
3. The C++ benches (bench_ring, bench_siphash) run from --cpp-dir when given.
4. Peak memory of the heavy workloads is measured in child processes
   (memory.py), the module against the pure-Python peer.
5. The report: per row the times of the module, its peers and its floor,
   each peer's time ÷ the module's, the module's ÷ the floor's, and the
   instruction count; then the goals, memory and the C++ figures. Printed,
   written to --out, its tables also put into --readme between the markers
   <!-- bench-results:start --> and <!-- bench-results:end -->; a PNG chart
   of the ratios goes to --chart (needs matplotlib, the `bench` extra).

Adding a family: write bench/bench_<name>.py with a `run(report, tiny, size)`
that checks its peers with `common.agree` and then calls
`report.add(workload, impl, timing)` for the module ("zelmo"), each peer
("python", "numpy", "langchain") and the floor ("floor"; functions in
bench/floor/floor.c); any other impl name is listed under "Other figures".
End it with `common.main("<name>", run)`, define `module_calls(tiny)` for the
instruction counts, and list its impls in tests/test_bench_smoke.py. run.py
and instructions.py find it by its file name; goals go in `goals()` below.

Benchmarks print figures; nothing here fails on a time.
"""
from __future__ import annotations

import argparse
import glob
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

from common import CALLS_FLOOR, RELEASED, fmt_time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

FAMILIES = tuple(sorted(os.path.basename(p) for p in glob.glob(os.path.join(HERE, "bench_*.py"))))
MODULE = "zelmo"
PEERS = {"python": "careful Python", "numpy": "numpy", "langchain": "LangChain"}  # peer ÷ module
FLOOR = "floor"  # module ÷ floor
README_START, README_END = "<!-- bench-results:start -->", "<!-- bench-results:end -->"


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
            # numpy's BLAS threads would otherwise idle beside the timed
            # loops on a 2-core machine; nothing here needs them.
            env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
            subprocess.run(cmd, check=True, env=env)
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


def by_workload(rows: list[dict]) -> tuple[list[str], dict]:
    """Workloads in the order they ran, and {workload: {impl: row}} of the timed rows."""
    order: list[str] = []
    by: dict = {}
    for r in rows:
        if "seconds" not in r:
            continue
        if r["workload"] not in by:
            order.append(r["workload"])
            by[r["workload"]] = {}
        by[r["workload"]][r["impl"]] = r
    return order, by


def ratios_of(impls: dict) -> dict:
    """{peer: peer ÷ module, "floor": module ÷ floor} where both are timed."""
    ours = impls.get(MODULE)
    out: dict = {}
    if not ours:
        return out
    for peer in PEERS:
        if peer in impls:
            out[peer] = impls[peer]["seconds"] / ours["seconds"]
    if FLOOR in impls:
        out[FLOOR] = ours["seconds"] / impls[FLOOR]["seconds"]
    return out


def table(rows: list[dict], instructions: dict) -> tuple[list[str], list[dict]]:
    """Markdown lines of the timing table and the per-workload ratios."""
    order, by = by_workload(rows)
    lines = ["| workload | zelmo_micro | " + " | ".join(PEERS.values()) + " | floor | "
             + " | ".join(f"{name} ÷ zelmo_micro" for name in PEERS.values())
             + " | zelmo_micro ÷ floor | instructions per call |",
             "|---" * (4 + 2 * len(PEERS) + 1) + "|"]
    ratios = []
    for key in order:
        impls = by[key]
        ours = impls.get(MODULE)
        cells = [key, fmt_time(ours["seconds"]) if ours else "—"]
        cells += [fmt_time(impls[i]["seconds"]) if i in impls else "—" for i in (*PEERS, FLOOR)]
        entry = {"workload": key, **ratios_of(impls)}
        cells += [f"{entry[p]:.1f}×" if p in entry else "—" for p in PEERS]
        cells.append(f"{entry[FLOOR]:.2f}×" if FLOOR in entry else "—")
        cells.append(f"{instructions[key]:,.0f}" if key in instructions else "—")
        ratios.append(entry)
        lines.append("| " + " | ".join(cells) + " |")
    return lines, ratios


def other_figures(rows: list[dict]) -> list[str]:
    """Timed rows of implementations outside the table's columns."""
    known = {MODULE, FLOOR, *PEERS}
    return [f"- {r['workload']} — {r['impl']}: {fmt_time(r['seconds'])} per {r.get('unit', 'call')}"
            for r in rows if "seconds" in r and r["impl"] not in known]


def near(x: float, limit: float, digits: int = 2) -> str:
    """x to `digits` places, or to more where that would show the limit itself
    for a value on the other side of it (1.501 against 1.5 is "1.501")."""
    while digits < 6 and x != limit and float(f"{x:.{digits}f}") == limit:
        digits += 1
    return f"{x:.{digits}f}"


def goals(rows: list[dict], ratios: list[dict], cpp: dict, mem: list[dict]) -> list[str]:
    """The goals table. A goal on the speed-up over a peer that the floor
    itself can't reach (peer ÷ floor below the goal) is judged against the
    floor instead: met when the module is within 1.5× of it."""
    _, by = by_workload(rows)
    r = {e["workload"]: e for e in ratios}

    def find(*parts, exclude=()):
        return next((k for k in r if all(p in k for p in parts) and not any(x in k for x in exclude)), None)

    lines = ["| goal | measured | met |", "|---|---|---|"]

    def add(goal, value, ok):
        lines.append(f"| {goal} | {value} | {'yes' if ok else 'NO'} |")

    def speedup(key, peer, goal, label=None, floor=FLOOR, floor_name="the floor"):
        if not key or peer not in r[key]:
            return
        got = r[key][peer]
        impls = by[key]
        allows = impls[peer]["seconds"] / impls[floor]["seconds"] if floor in impls else None
        text = f"`{label or key}` ≥ {goal:g}× {PEERS[peer]}"
        if allows is not None and allows < goal:
            within = impls[MODULE]["seconds"] / impls[floor]["seconds"]
            add(text + f" (beyond {floor_name}, which allows {allows:.1f}×: judged as ≤ 1.5× {floor_name})",
                f"{got:.1f}×; {near(within, 1.5)}× {floor_name}", within <= 1.5)
        else:
            shown = f"{near(got, goal, 1)}×" + (f" ({floor_name} allows {allows:.1f}×)" if allows else "")
            add(text, shown, got >= goal)

    ascii_key = find("dehydrate", "all ASCII")
    mixed_key = find("dehydrate", "non-ASCII", exclude=("first call",))
    first_key = find("dehydrate", "first call")
    speedup(ascii_key, "python", 15)
    speedup(mixed_key, "python", 10, label=(mixed_key or "") + ", later calls")
    if first_key and "python" in r[first_key]:
        lines.append(f"| `{first_key}` (reported) | {r[first_key]['python']:.1f}× careful Python; "
                     f"{r[first_key].get(FLOOR, 0):.2f}× the floor | — |")
    for key in (ascii_key, mixed_key):
        if key and "numpy" in r[key]:
            add(f"`{key}` ≥ 3× numpy", f"{near(r[key]['numpy'], 3, 1)}×", r[key]["numpy"] >= 3)
    w = find("window session")
    if w:
        # The session's floor is the one with the calls: the same inserts,
        # dehydrates and renders through the floor extension, computing
        # nothing. The join floor is its renders' str building alone.
        if CALLS_FLOOR in by[w]:
            speedup(w, "python", 6, floor=CALLS_FLOOR, floor_name="its floor with the calls")
        else:
            speedup(w, "python", 6)
        if FLOOR in r[w]:
            add(f"`{w}` ≤ 1.5× its join floor", f"{near(r[w][FLOOR], 1.5)}×", r[w][FLOOR] <= 1.5)
    for key in r:
        if key.startswith("saturation_scan"):
            speedup(key, "python", 30)
    e = next((k for k in r if k.startswith("effort_gauge") and k.endswith("KB")), None)
    speedup(e, "python", 15)
    d = find("drain_events(", exclude=("secrete",))
    if d and FLOOR in r[d]:
        add(f"`{d}` ≤ 1.2× the floor's tuple building", f"{near(r[d][FLOOR], 1.2)}×", r[d][FLOOR] <= 1.2)
    c = find("secrete + drain_events")
    if c and "python" in r[c]:
        add(f"`{c}` ≥ 3× the careful bus", f"{near(r[c]['python'], 3, 1)}×", r[c]["python"] >= 3)
    for key, impls in by.items():
        if key in (w, c, d) or FLOOR not in r.get(key, {}) or impls[MODULE].get("unit") != "call":
            continue
        add(f"`{key}` ≤ 1.5× its floor", f"{near(r[key][FLOOR], 1.5)}×", r[key][FLOOR] <= 1.5)
        released = impls.get(RELEASED)
        if released:
            within = impls[MODULE]["seconds"] / released["seconds"]
            add(f"`{key}` ≤ 1.5× its floor with the interpreter lock released once, as the bus promises",
                f"{near(within, 1.5)}×", within <= 1.5)
    raw = cpp.get("siphash13 bytes/s")
    for row in rows:
        if raw and row.get("impl") == MODULE and row.get("bytes_hashed"):
            per_byte = row["bytes_hashed"] / row["seconds"] / raw
            add(f"`{row['workload']}` ≥ 0.5× raw SipHash-1-3 bytes/s",
                f"{near(per_byte, 0.5)}× ({row['bytes_hashed'] / row['seconds'] / 1e9:.2f} of {raw / 1e9:.2f} GB/s)",
                per_byte >= 0.5)
    for key, value in cpp.items():
        if key.startswith("ring:"):
            ring, mutex = value
            add(f"event ring ≥ 2× mutex queue ({key[6:]})", f"{near(ring / mutex, 2)}×", ring / mutex >= 2)
    for m in mem:
        if m["workload"] == "dehydrate":
            z, p = m["zelmo"]["peak_kib"], m["python"]["peak_kib"]
            add("peak memory of `dehydrate` ≤ the careful peer's", f"{z} KiB vs {p} KiB", z <= p)
    return lines


def utf8_choice(rows: list[dict]) -> list[str]:
    """The figures behind reading a non-ASCII text's length without leaving a
    UTF-8 copy on it, from the dehydrate family's rows."""
    _, by = by_workload(rows)
    later = next((k for k in by if k.startswith("dehydrate") and "non-ASCII" in k and "first" not in k), None)
    first = next((k for k in by if k.startswith("dehydrate") and "first call" in k), None)
    cache = next((r for r in rows if r.get("impl") == "utf8 cache"), None)
    cached = "floor, cached UTF-8"
    if not (later and first and cache and cached in by[later] and cached in by[first] and MODULE in by[later]):
        return []
    t = {k: {i: row["seconds"] for i, row in by[k].items()} for k in (later, first)}
    share = cache["utf8_cache_bytes"] / cache["text_bytes"]
    return [
        f"Reading a non-ASCII text's UTF-8 length: `dehydrate` copies the text out as code points and counts, "
        f"leaving nothing on the caller's str. The other route, `PyUnicode_AsUTF8AndSize`, leaves a UTF-8 copy "
        f"on every non-ASCII str: its floor takes {fmt_time(t[later][cached])} on later calls "
        f"(the module takes {fmt_time(t[later][MODULE])}, its own floor {fmt_time(t[later][FLOOR])}), "
        f"but {fmt_time(t[first][cached])} on a first call (the module {fmt_time(t[first][MODULE])}), "
        f"and the copies stay for the life of the strs: {cache['utf8_cache_bytes'] / 1e6:.2f} MB on this "
        f"history, {100 * share:.0f}% of its {cache['text_bytes'] / 1e6:.2f} MB of str objects (up to 2× for "
        f"a text of characters beyond U+07FF)."]


def memory_table(mem: list[dict]) -> list[str]:
    lines = ["| workload | zelmo_micro peak | careful Python peak | zelmo_micro above baseline |"
             " careful Python above baseline |", "|---|---|---|---|---|"]
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
    palette = {"python": "#4C72B0", "numpy": "#55A868", "langchain": "#C44E52", FLOOR: "#8172B2"}
    for e in ratios:
        for peer, name in PEERS.items():
            if peer in e:
                labels.append(f"{e['workload']} — vs {name}")
                values.append(e[peer])
                colors.append(palette[peer])
        if FLOOR in e:
            labels.append(f"{e['workload']} — floor ÷ zelmo_micro")
            values.append(1.0 / e[FLOOR])
            colors.append(palette[FLOOR])
    fig, ax = plt.subplots(figsize=(10, 0.32 * len(labels) + 1.5))
    ax.barh(range(len(labels)), values, color=colors)
    ax.set_yticks(range(len(labels)), labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("ratio (other time ÷ zelmo_micro time; > 1 means zelmo_micro is faster)")
    ax.set_title("zelmo_micro against its peers and its floor")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"chart written to {path}")


def machine() -> str:
    load = os.getloadavg() if hasattr(os, "getloadavg") else ("?",) * 3
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    return (f"Python {platform.python_version()} on {cpu} ({platform.machine()}, {os.cpu_count()} CPUs), "
            f"{platform.system()} {platform.release()}, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, "
            f"{time.strftime('%Y-%m-%d %H:%M %Z')}")


HARNESS = (
    "Harness: a timeit-style loop (warm-up calls, loop count calibrated to ≥ 50 ms per sample, 7 samples "
    "(35 single sessions for the window), "
    "median reported, garbage collector off while sampling); one process per workload family, {rounds} "
    "round(s) of them, and per workload and implementation the fastest process's median is kept (outside "
    "load only ever slows a process). Every peer is checked against the module on the workload before it "
    "is timed: decisions and counts exactly, single-precision figures to a relative 1e-5.")
COLUMNS = (
    "Columns: *careful Python* is a pure-Python peer as a careful developer writes it (bench/reference.py: "
    "double precision, comprehensions, `str.split`, sets of tuples (of their hashes for the scan's windows); "
    "for the bus rows, one `threading.Lock` "
    "and a `collections.deque`); *numpy* vectorises the decay pass; *LangChain* is `trim_messages` "
    "(`strategy=\"last\"`, `count_tokens_approximately`) on the same history as BaseMessage objects, at "
    "the budget the module's kept messages reach. Each *÷ zelmo_micro* column is that peer's time ÷ the "
    "module's (above 1: the module is faster). The *floor* (bench/floor) takes the same arguments through "
    "the same stable-ABI calls and builds a result of the same shape, computing nothing; *zelmo_micro ÷ "
    "floor* is how far the module is from it. The window session's floor is the str building its renders "
    "can't avoid: `\"\".join` of each turn's rendered pieces, prepared beforehand, each text kept until "
    "the next is built, as the session keeps its render; its floor *with the calls* (under Other figures) "
    "plays the whole session through the floor extension, and the session's speed-up goal is judged "
    "against it. Instructions per call "
    "are counted by valgrind's callgrind (on its emulated processor, which has no AVX-512: the portable "
    "paths), calls and call protocol only; the window session's count holds its driving Python loop.")


def report(rows, instructions, cpp, mem, started: str, rounds: int) -> tuple[str, str, list[dict]]:
    """The whole report and the README's part of it."""
    lines, ratios = table(rows, instructions)
    run = f"Run: {started}."
    md = ["# zelmo_micro benchmark results", "", run, "", HARNESS.format(rounds=rounds), "", COLUMNS, "",
          "## Times", ""] + lines
    others = other_figures(rows)
    if others:
        md += ["", "## Other figures", ""] + others
    choice = utf8_choice(rows)
    if choice:
        md += [""] + choice
    if cpp:
        md += ["", "## C++ benches", "", "| bench | figure |", "|---|---|"]
        for k, v in cpp.items():
            if isinstance(v, tuple):
                md.append(f"| {k} | ring {v[0]:.3g} ops/s, mutex+deque {v[1]:.3g} ops/s, {v[0] / v[1]:.2f}× |")
            else:
                md.append(f"| {k} | {v / 1e9:.3f} GB/s |")
    if mem:
        md += ["", "## Peak memory (child processes, `resource.getrusage` ru_maxrss)", "",
               "Each child imports both implementations, loads the pickled workload and warms both "
               "up on a small copy of it; the baseline is the peak before the measured call, the peak "
               "is read right after it. Medians of five children per implementation (one in a --tiny run).", ""]
        md += memory_table(mem)
    goal_lines = goals(rows, ratios, cpp, mem)
    md += ["", "## Goals", ""] + goal_lines
    readme = "\n".join([run, "", "### Times", ""] + lines + ["", "### Goals", ""] + goal_lines
                       + ([""] + choice if choice else []))
    return "\n".join(md) + "\n", readme, ratios


def write_readme(path: str, part: str):
    with open(path) as f:
        text = f.read()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"{path} has no {README_START} ... {README_END} section")
    text = text[:start + len(README_START)] + "\n" + part + "\n" + text[end:]
    with open(path, "w") as f:
        f.write(text)
    print(f"README section written to {path}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tiny", action="store_true", help="tiny sizes (smoke run)")
    p.add_argument("--cpp-dir", help="directory holding the built bench_ring and bench_siphash")
    p.add_argument("--out", default=os.path.join(HERE, "results.md"))
    p.add_argument("--chart", default=os.path.join(HERE, "results.png"))
    p.add_argument("--readme", help="also put the tables into this file's bench-results section")
    p.add_argument("--only", nargs="*", help="run only families whose script name contains one of these")
    p.add_argument("--no-memory", action="store_true")
    p.add_argument("--no-instructions", action="store_true", help="skip the callgrind counts")
    p.add_argument("--rounds", type=int, default=3,
                   help="processes per family; the fastest one's figure is kept (default 3)")
    a = p.parse_args()

    started = machine()
    rounds = 1 if a.tiny else a.rounds
    with tempfile.TemporaryDirectory() as tmp:
        rows = run_families(a.tiny, tmp, a.only, rounds)
        instructions = {}
        if not a.no_instructions:
            import instructions as counts
            families = [f[:-3] for f in FAMILIES if not a.only or any(o in f for o in a.only)]
            instructions = counts.count(families, a.tiny)
        cpp = run_cpp(a.cpp_dir, a.tiny)
        mem = [] if a.no_memory else run_memory(a.tiny, tmp)

    text, readme, ratios = report(rows, instructions, cpp, mem, started, rounds)
    print()
    print(text)
    with open(a.out, "w") as f:
        f.write(text)
    print(f"report written to {a.out}")
    if a.readme:
        write_readme(a.readme, readme)
    chart(ratios, a.chart)


if __name__ == "__main__":
    main()
