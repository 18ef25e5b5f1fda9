"""Peak memory of the heavy workloads, each measured in a fresh child process.

Each workload is written to its own pickle once (`--write DIR`, run in a
process of its own: Linux carries a process's peak resident size over into
the programs it starts, so the parent must stay small). A child imports both
implementations (so both children carry the same modules), loads the pickle,
warms both implementations up on a small copy of the workload, reads its peak
resident size with `resource.getrusage` (the baseline), runs
one implementation once on the workload, and reads the peak again:

    python bench/memory.py --data dehydrate.pickle --impl zelmo --workload dehydrate

prints one JSON object: {"baseline_kib": ..., "peak_kib": ...}.
"""
from __future__ import annotations

import argparse
import json
import pickle
import resource
import sys


def _peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def workloads_for(tiny: bool) -> dict:
    import workloads
    purpose, script = workloads.window_session(12 if tiny else 200)
    size = 16 << 10 if tiny else 1 << 20
    return {
        "dehydrate": workloads.history(300 if tiny else 10_000),
        "window": (purpose, script),
        "scan_natural": workloads.natural_text(size),
        "scan_flood": workloads.flood_text(size),
        "effort_20k": workloads.mixed_text_bytes(2_000 if tiny else 20_000),
    }


WORKLOADS = ("dehydrate", "window", "scan_natural", "scan_flood", "effort_20k")


def _copy(text: str) -> str:
    return text.encode("utf-8").decode("utf-8")


def _small_copy(workload: str, data):
    if workload == "dehydrate":
        return [(_copy(t), f) for t, f in data[:50]]
    if workload == "window":
        purpose, script = data
        return _copy(purpose), [[(_copy(t), f) for t, f in turn] for turn in script[:3]]
    return _copy(data[:4000])


def _run(impl: str, workload: str, data):
    import reference
    import zelmo_micro
    mod = zelmo_micro if impl == "zelmo" else reference
    if workload == "dehydrate":
        return mod.dehydrate(data)
    if workload == "window":
        purpose, script = data
        w = mod.ContextApoptosis()
        w.set_purpose(purpose)
        for turn in script:
            for content, signal in turn:
                w.insert(content, signal)
            w.dehydrate(absorb=True)
            w.render()
        return w
    if workload.startswith("scan"):
        return mod.saturation_scan(data)
    if workload.startswith("effort"):
        return mod.effort_gauge(data)
    raise SystemExit(f"unknown workload {workload}")


def write_workloads(directory: str, tiny: bool):
    """One pickle per workload, <directory>/<workload>.pickle."""
    for workload, value in workloads_for(tiny).items():
        with open(f"{directory}/{workload}.pickle", "wb") as f:
            pickle.dump(value, f, protocol=pickle.HIGHEST_PROTOCOL)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--write", metavar="DIR", help="write the workload pickles to DIR and exit")
    p.add_argument("--tiny", action="store_true", help="with --write: tiny workloads")
    p.add_argument("--data")
    p.add_argument("--impl", choices=("zelmo", "python"))
    p.add_argument("--workload", choices=WORKLOADS)
    a = p.parse_args()
    if a.write:
        write_workloads(a.write, a.tiny)
        return
    if not (a.data and a.impl and a.workload):
        p.error("--data, --impl and --workload are required")
    import reference  # noqa: F401  (both children carry both modules)
    import zelmo_micro  # noqa: F401
    with open(a.data, "rb") as f:
        data = pickle.load(f)
    # One warm-up call of each implementation on a small copy (fresh objects,
    # no shared text), so that both children have run the same code once and
    # the figures differ only by what the measured call itself allocates.
    for impl in ("zelmo", "python"):
        _run(impl, a.workload, _small_copy(a.workload, data))
    baseline = _peak_kib()
    result = _run(a.impl, a.workload, data)
    peak = _peak_kib()
    del result
    json.dump({"baseline_kib": baseline, "peak_kib": peak}, sys.stdout)


if __name__ == "__main__":
    main()
