"""Two builds of the module, timed in turn in one process.

On a machine whose speed drifts from one minute to the next, two builds
timed one after the other can differ by more than the change between them.
Here both are loaded side by side (each from its own .so file) and timed in
alternating rounds, so that drift falls on both alike:

    python bench/ab.py OLD.so NEW.so WORKLOAD [--rounds N] [--bytes N]

The workloads: `saturation_scan` on `flood`, `natural` or `mixed` text (1 MB
unless --bytes says otherwise), and `effort_gauge` on the suite's requests
of 20 and 400 words (`gauge-20-words`, `gauge-400-words`) or on
`gauge-bytes` of mixed text (20,000 bytes unless --bytes says otherwise).

Each round takes 20 timed samples per build and keeps the fastest; a sample
is one call, or for a call under a millisecond as many calls as fill one
(the same count for both builds), divided out. The report gives each
build's minimum, first quartile and median over the rounds, per call. Both
builds must return the same result on the workload.
"""
from __future__ import annotations

import argparse
import importlib.util
import random
import sys
import time
from types import ModuleType
from typing import Callable

import workloads


def load(path: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location("zelmo_micro", path)
    assert spec and spec.loader, path
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def mixed_text(nbytes: int) -> str:
    """Runs of about 20 flood lines and 300 words of prose, alternating."""
    lines = workloads.flood_text(nbytes).split("\n")
    prose = workloads.natural_text(nbytes).split(" ")
    rng = random.Random(1)
    parts: list[str] = []
    size = 0
    while size < nbytes:
        k = rng.randrange(len(lines) - 30)
        j = rng.randrange(len(prose) - 400)
        parts += ["\n".join(lines[k:k + 20]), " ".join(prose[j:j + 300])]
        size += len(parts[-2]) + len(parts[-1])
    return "\n".join(parts)


# Workload: (the module function timed, its text from --bytes or the default).
WORKLOADS: dict[str, tuple[str, Callable[[int | None], str]]] = {
    "flood": ("saturation_scan", lambda n: workloads.flood_text(n or 1 << 20)),
    "natural": ("saturation_scan", lambda n: workloads.natural_text(n or 1 << 20)),
    "mixed": ("saturation_scan", lambda n: mixed_text(n or 1 << 20)),
    "gauge-20-words": ("effort_gauge", lambda n: workloads.mixed_text(20)),
    "gauge-400-words": ("effort_gauge", lambda n: workloads.mixed_text(400)),
    "gauge-bytes": ("effort_gauge", lambda n: workloads.mixed_text_bytes(n or 20_000)),
}


def calls_per_sample(fn: Callable[[str], object], text: str) -> int:
    """How many calls fill about a millisecond (at least one)."""
    start = time.perf_counter()
    fn(text)
    once = time.perf_counter() - start
    return max(1, int(1e-3 / max(once, 1e-9)))


def compare(old: ModuleType, new: ModuleType, function: str, text: str, rounds: int,
            samples: int = 20) -> dict[str, list[float]]:
    """Per build, the fastest sample of each round, in seconds per call."""
    if getattr(old, function)(text) != getattr(new, function)(text):
        raise SystemExit(f"the two builds' {function} differ on the workload")
    calls = calls_per_sample(getattr(old, function), text)
    best: dict[str, list[float]] = {"old": [], "new": []}
    for r in range(rounds):
        order = (("old", old), ("new", new)) if r % 2 == 0 else (("new", new), ("old", old))
        for name, module in order:
            fn, fastest = getattr(module, function), float("inf")
            for _ in range(samples):
                start = time.perf_counter()
                for _ in range(calls):
                    fn(text)
                fastest = min(fastest, (time.perf_counter() - start) / calls)
            best[name].append(fastest)
    return best


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("old")
    p.add_argument("new")
    p.add_argument("workload", choices=sorted(WORKLOADS))
    p.add_argument("--rounds", type=int, default=30)
    p.add_argument("--bytes", type=int, default=None)
    args = p.parse_args(argv)
    function, make_text = WORKLOADS[args.workload]
    best = compare(load(args.old), load(args.new), function, make_text(args.bytes), args.rounds)
    for name, times in best.items():
        t = sorted(times)
        print(f"{name}: min {t[0] * 1e6:.3f}  q1 {t[len(t) // 4] * 1e6:.3f}  median {t[len(t) // 2] * 1e6:.3f} us")


if __name__ == "__main__":
    sys.exit(main())
