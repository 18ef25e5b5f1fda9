"""One-shot `dehydrate` of a 10,000-message history: the module against the
pure-Python peer and the numpy peer (array conversion included).

    python bench/bench_dehydrate.py [--json FILE] [--tiny] [messages]
"""
from __future__ import annotations

import zelmo_micro

import common
import harness
import numpy_peers
import reference
import workloads


def _without_latency(result: dict) -> dict:
    out = dict(result)
    out.pop("kernel_latency_us")
    return out


def run(report: common.Report, tiny: bool, size: int | None = None):
    n = size or (300 if tiny else 10_000)
    messages = workloads.history(n)
    name = f"dehydrate, {n:,} messages"
    impls = {"zelmo": zelmo_micro.dehydrate, "python": reference.dehydrate, "numpy": numpy_peers.dehydrate}
    common.agree(name, {k: _without_latency(f(messages)) for k, f in impls.items()})
    # The protected-prefix path as well, on a copy of the history.
    common.agree(name + " (stable_prefix=500)",
                 {k: _without_latency(f(list(messages), 6.0, 0.35, 500)) for k, f in impls.items()})
    for impl, f in impls.items():
        report.add(name, impl, harness.time_call(f, messages), unit="call")


if __name__ == "__main__":
    common.main("dehydrate", run)
