"""Two builds of the module, timed in turn in one process.

On a machine whose speed drifts from one minute to the next, two builds
timed one after the other can differ by more than the change between them.
Here both are loaded side by side (each from its own .so file) and timed in
alternating rounds, so that drift falls on both alike:

    python bench/ab.py OLD.so NEW.so {flood,natural,mixed} [--rounds N]

Each round times 20 calls of `saturation_scan` per build and keeps the
fastest; the report gives each build's minimum, first quartile and median
over the rounds. Both builds must score the workload alike.
"""
from __future__ import annotations

import argparse
import importlib.util
import random
import sys
import time
from types import ModuleType

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


TEXTS = {"flood": workloads.flood_text, "natural": workloads.natural_text, "mixed": mixed_text}


def compare(old: ModuleType, new: ModuleType, text: str, rounds: int, calls: int = 20) -> dict[str, list[float]]:
    """Per build, the fastest call of each round, in seconds."""
    if old.saturation_scan(text) != new.saturation_scan(text):
        raise SystemExit("the two builds score the workload differently")
    best: dict[str, list[float]] = {"old": [], "new": []}
    for r in range(rounds):
        order = (("old", old), ("new", new)) if r % 2 == 0 else (("new", new), ("old", old))
        for name, module in order:
            scan, fastest = module.saturation_scan, float("inf")
            for _ in range(calls):
                start = time.perf_counter()
                scan(text)
                fastest = min(fastest, time.perf_counter() - start)
            best[name].append(fastest)
    return best


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("old")
    p.add_argument("new")
    p.add_argument("workload", choices=sorted(TEXTS))
    p.add_argument("--rounds", type=int, default=30)
    p.add_argument("--bytes", type=int, default=1 << 20)
    args = p.parse_args(argv)
    best = compare(load(args.old), load(args.new), TEXTS[args.workload](args.bytes), args.rounds)
    for name, times in best.items():
        t = sorted(times)
        print(f"{name}: min {t[0] * 1e3:.3f}  q1 {t[len(t) // 4] * 1e3:.3f}  median {t[len(t) // 2] * 1e3:.3f} ms")


if __name__ == "__main__":
    sys.exit(main())
