"""Replays fuzz inputs through fuzz/program.py without the fuzzer, then runs
random programs for a while: `make fuzz` runs it on the sanitized module over
the corpus the coverage-guided run collected.

    python fuzz/replay.py [--random-seconds N] DIR_OR_FILE...

Exits 1 at the first Finding, naming the input; a memory or undefined-
behaviour error aborts the process through the sanitizer.
"""
import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import program  # noqa: E402


def inputs(paths):
    for path in paths:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                yield os.path.join(path, name)
        elif os.path.exists(path):
            yield path


def passes(data: bytes, where: str, passed_so_far: int) -> bool:
    """Runs one program; on a finding, reports it with its input and the closing count."""
    try:
        program.run(data)
    except program.Finding as e:
        print(f"FINDING in {where}: {e}\n  input: {data.hex()}")
        print(f"fuzz: {passed_so_far} passed, 1 failed")
        return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--random-seconds", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("paths", nargs="*")
    opts = parser.parse_args()

    replayed = 0
    start = time.monotonic()
    for path in inputs(opts.paths):
        with open(path, "rb") as f:
            data = f.read()
        if not passes(data, f"{path}", replayed):
            return 1
        replayed += 1
    replay_time = time.monotonic() - start

    seed = opts.seed if opts.seed is not None else random.SystemRandom().getrandbits(32)
    rng = random.Random(seed)
    runs = 0
    stop = time.monotonic() + opts.random_seconds
    while time.monotonic() < stop:
        data = rng.randbytes(rng.choice([64, 256, 1024, 4096]))
        if not passes(data, f"random program (seed {seed}, run {runs})", replayed + runs):
            return 1
        runs += 1
    print(f"replayed {replayed} inputs in {replay_time:.1f} s; {runs} random programs "
          f"(seed {seed}) in {opts.random_seconds:.0f} s; no findings")
    print(f"fuzz: {replayed + runs} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
