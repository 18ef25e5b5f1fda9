"""The stateless kernels: `effort_gauge` on 20 words, 400 words and 20 KB of
mixed English, Portuguese and code; `saturation_scan` on 1 MB of natural text
and 1 MB of flood; `consolidation_gain` per call. The module against the
careful pure-Python peers and the floor (bench/floor: the same arguments
through the same calls, the text read as the module reads it, a result of the
same shape built, nothing computed).

    python bench/bench_text.py [--json FILE] [--tiny]
"""
from __future__ import annotations

import zelmo_micro

import common
import harness
import reference
import workloads


def bytes_hashed(text: str, window: int = 8) -> int:
    """Bytes the scan feeds to SipHash: every window hashes each of its tokens'
    UTF-8 bytes plus one separator byte."""
    tokens = reference.split_words(text)
    n = len(tokens)
    w = window or 1
    if n < 2 * w:
        return 0
    windows = n - w + 1
    total = 0
    for j, tok in enumerate(tokens):
        # Windows i with i <= j <= i + w - 1 and 0 <= i < windows.
        covering = min(j, windows - 1) - max(0, j - w + 1) + 1
        total += (len(tok.encode("utf-8")) + 1) * covering
    return total


def run(report: common.Report, tiny: bool, size: int | None = None):
    floor = common.floor()
    texts = {
        "effort_gauge, 20 words": workloads.mixed_text(20),
        "effort_gauge, 400 words": workloads.mixed_text(400),
        f"effort_gauge, {2 if tiny else 20} KB": workloads.mixed_text_bytes(2_000 if tiny else 20_000),
    }
    for name, text in texts.items():
        common.agree(name, {"zelmo": zelmo_micro.effort_gauge(text), "python": reference.effort_gauge(text)},
                     rel=common.SINGLE)
        report.add(name, "zelmo", harness.time_call(zelmo_micro.effort_gauge, text))
        report.add(name, "python", harness.time_call(reference.effort_gauge, text))
        report.add(name, "floor", harness.time_call(floor.effort_gauge, text))

    size = 16 << 10 if tiny else 1 << 20
    label = f"{size >> 10} KB" if tiny else "1 MB"
    scans = {f"saturation_scan, {label} natural": workloads.natural_text(size),
             f"saturation_scan, {label} flood": workloads.flood_text(size)}
    for name, text in scans.items():
        common.agree(name, {"zelmo": zelmo_micro.saturation_scan(text), "python": reference.saturation_scan(text)},
                     rel=common.SINGLE)
        report.add(name, "zelmo", harness.time_call(zelmo_micro.saturation_scan, text),
                   bytes_hashed=bytes_hashed(text), text_bytes=len(text.encode("utf-8")))
        report.add(name, "python", harness.time_call(reference.saturation_scan, text))
        report.add(name, "floor", harness.time_call(floor.saturation_scan, text))

    args = (120_000, 45_000)
    name = "consolidation_gain"
    common.agree(name, {"zelmo": zelmo_micro.consolidation_gain(*args),
                        "python": reference.consolidation_gain(*args)})
    report.add(name, "zelmo", harness.time_call(zelmo_micro.consolidation_gain, *args))
    report.add(name, "python", harness.time_call(reference.consolidation_gain, *args))
    report.add(name, "floor", harness.time_call(floor.consolidation_gain, *args))


def module_calls(tiny: bool):
    """(workload, make) per module row for the instruction counts: make()
    returns (fn, args, calls)."""
    size = 16 << 10 if tiny else 1 << 20
    label = f"{size >> 10} KB" if tiny else "1 MB"
    texts = {
        "effort_gauge, 20 words": (workloads.mixed_text(20), 100),
        "effort_gauge, 400 words": (workloads.mixed_text(400), 10),
        f"effort_gauge, {2 if tiny else 20} KB": (workloads.mixed_text_bytes(2_000 if tiny else 20_000), 3),
    }
    calls = [(name, lambda t=text, k=k: (zelmo_micro.effort_gauge, (t,), k)) for name, (text, k) in texts.items()]
    calls += [(f"saturation_scan, {label} natural", lambda: (zelmo_micro.saturation_scan, (workloads.natural_text(size),), 2)),
              (f"saturation_scan, {label} flood", lambda: (zelmo_micro.saturation_scan, (workloads.flood_text(size),), 2)),
              ("consolidation_gain", lambda: (zelmo_micro.consolidation_gain, (120_000, 45_000), 1000))]
    return calls


if __name__ == "__main__":
    common.main("text", run)
