"""One-shot dehydrate of a 10,000-message history against the same rule in
plain Python. Prints best-of-N times and the ratio; asserts nothing.

    python bench/bench_dehydrate.py [messages]
"""
import random
import sys
import time

import zelmo_micro as z

REPEATS = 7
WEIGHTS = ((6, 1.0), (32, 0.15), (16, 0.25))


def py_dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0):
    """The survival rule in double precision (close to, not bit-equal with, the kernel)."""
    h = half_life if half_life >= 0.1 else 0.1
    n = len(messages)
    kept, before, after, prefix_tokens = [], 0, 0, 0
    for i, (text, flags) in enumerate(messages):
        tokens = len(text.encode()) // 4 + 1
        before += tokens
        if i < stable_prefix:
            prefix_tokens += tokens
        keep = i < stable_prefix or flags & 9
        if not keep:
            w = next((w for bits, w in WEIGHTS if flags & bits), 0.6)
            keep = 2.0 ** (-(n - 1 - i) / h) * w >= safe_threshold
        if keep:
            kept.append(text)
            after += tokens
    return {"kept": kept, "blocks_in": n, "blocks_kept": len(kept), "blocks_purged": n - len(kept),
            "tokens_before": before, "tokens_after": after,
            "reduction": 0.0 if before == 0 else 1.0 - after / before,
            "stable_prefix_tokens": prefix_tokens}


def history(n, seed=1):
    rng = random.Random(seed)
    flags = [z.USER, z.ASSISTANT, z.TOOL, z.THINKING, 0, z.SYSTEM, z.FACT]
    words = "the quick brown fox jumps over a lazy dog caf\u00e9 \u65e5\u672c".split()
    return [(" ".join(rng.choices(words, k=rng.randrange(4, 60))), rng.choices(flags, [30, 30, 15, 10, 10, 3, 2])[0])
            for _ in range(n)]


def best(fn, *args, **kwargs):
    times = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        fn(*args, **kwargs)
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    msgs = history(n)
    for kwargs in ({}, {"half_life": 500.0, "stable_prefix": n // 10}):
        native = z.dehydrate(msgs, **kwargs)
        python = py_dehydrate(msgs, **kwargs)
        same = native["kept"] == python["kept"]
        t_native = best(z.dehydrate, msgs, **kwargs)
        t_python = best(py_dehydrate, msgs, **kwargs)
        label = ", ".join(f"{k}={v}" for k, v in kwargs.items()) or "defaults"
        print(f"dehydrate of {n} messages ({label}): kept {native['blocks_kept']}, "
              f"same survivors as Python: {same}")
        print(f"  native  {t_native * 1e3:9.3f} ms per call "
              f"(decision pass {native['kernel_latency_us']:.1f} us)")
        print(f"  python  {t_python * 1e3:9.3f} ms per call")
        print(f"  speed-up {t_python / t_native:7.1f}x")


if __name__ == "__main__":
    main()
