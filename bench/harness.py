"""A timeit-style timing harness.

Every measurement follows the same protocol:

* warm-up calls first (caches, branch predictors, lazily built tables);
* the inner loop is calibrated so that one sample lasts at least
  `sample_time` seconds (like `timeit.Timer.autorange`), unless a per-sample
  setup forces one call per sample;
* `repeat` samples are taken and the median per-call time is reported
  (min and max are kept for the record);
* the cyclic garbage collector is off while a sample runs, as in `timeit`.

Calls are made from a generated loop (`for _ in repeat(None, n): f(a, b)`)
specialised for the argument count, so the per-call figure holds the
interpreter's own call cost and nothing of the harness beyond the loop step,
the same for every implementation that is compared.
"""
from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass, field
from itertools import repeat as _repeat

# Scales every sample time and repeat count; the smoke test sets it tiny.
SCALE = {"sample_time": 0.05, "repeat": 7, "warmup": 2}


@dataclass
class Timing:
    median: float  # seconds per call
    minimum: float
    maximum: float
    number: int  # calls per sample
    samples: list = field(default_factory=list)


def _loop_for(nargs: int, with_kwargs: bool):
    names = [f"a{i}" for i in range(nargs)]
    call = ", ".join(names + (["**_kw"] if with_kwargs else []))
    lines = ["def loop(_n, _f, _args, _kw, _timer, _repeat):"]
    if names:
        lines.append(f"    {', '.join(names)}, = _args")
    lines += [
        "    _t0 = _timer()",
        "    for _ in _repeat(None, _n):",
        f"        _f({call})",
        "    return _timer() - _t0",
    ]
    ns: dict = {}
    exec(compile("\n".join(lines) + "\n", f"<bench loop {nargs}>", "exec"), ns)
    return ns["loop"]


_LOOPS: dict = {}


def _sample(fn, args, kwargs, number) -> float:
    key = (len(args), bool(kwargs))
    loop = _LOOPS.get(key)
    if loop is None:
        loop = _LOOPS[key] = _loop_for(*key)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        return loop(number, fn, args, kwargs or {}, time.perf_counter, _repeat)
    finally:
        if gc_was_enabled:
            gc.enable()


def time_call(fn, *args, kwargs=None, setup=None, sample_time=None, repeat=None, warmup=None) -> Timing:
    """Median seconds per call of fn(*args, **kwargs).

    With `setup`, it is called (untimed) before every sample and must return
    the tuple of arguments for that sample; each sample then makes one call.
    """
    sample_time = SCALE["sample_time"] if sample_time is None else sample_time
    repeat = SCALE["repeat"] if repeat is None else repeat
    warmup = SCALE["warmup"] if warmup is None else warmup

    if setup is not None:
        for _ in range(warmup):
            fn(*setup(), **(kwargs or {}))
        samples = []
        for _ in range(repeat):
            a = setup()
            samples.append(_sample(fn, a, kwargs, 1))
        return _summarise(samples, 1)

    for _ in range(warmup):
        fn(*args, **(kwargs or {}))
    number = 1
    while True:
        t = _sample(fn, args, kwargs, number)
        if t >= sample_time or number >= 1 << 24:
            break
        # Aim a little past the target so the next try usually suffices.
        number = max(number * 2, int(number * sample_time * 1.2 / max(t, 1e-9)))
    samples = [t / number] + [_sample(fn, args, kwargs, number) / number for _ in range(repeat - 1)]
    return _summarise(samples, number)


def time_fresh(make, number: int, *, repeat=None, warmup=None) -> Timing:
    """Median seconds per call when each sample makes `number` calls of
    `fn(*args)` on fresh state: `make()` (untimed) returns `(fn, args)`.
    For calls that change their object (a bus whose ring fills up)."""
    repeat = SCALE["repeat"] if repeat is None else repeat
    warmup = SCALE["warmup"] if warmup is None else warmup
    for _ in range(warmup):
        fn, args = make()
        _sample(fn, args, None, number)
    samples = []
    for _ in range(repeat):
        fn, args = make()
        samples.append(_sample(fn, args, None, number) / number)
    return _summarise(samples, number)


def _summarise(samples, number) -> Timing:
    return Timing(statistics.median(samples), min(samples), max(samples), number, list(samples))


def time_block(run, *, setup=None, repeat=None, warmup=None) -> Timing:
    """Median seconds of one `run(state)` where `state = setup()` is made fresh
    (untimed) for each sample; for workloads that are a whole script."""
    repeat = SCALE["repeat"] if repeat is None else repeat
    warmup = SCALE["warmup"] if warmup is None else warmup
    for _ in range(warmup):
        run(setup() if setup else None)
    samples = []
    for _ in range(repeat):
        state = setup() if setup else None
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            t0 = time.perf_counter()
            run(state)
            samples.append(time.perf_counter() - t0)
        finally:
            if gc_was_enabled:
                gc.enable()
    return _summarise(samples, 1)
