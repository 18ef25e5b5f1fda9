"""The hormonal bus per call: `secrete`, `inject`, `sense`, `tick` and
`drain_events(4096)` on one thread, and `secrete` from two threads at once.

Peers: a Python bus on `threading.Lock` with a `collections.deque` of events
(reference.HormonalBus), and the floor: a trivial built-in called with the
same arguments through the same calling convention (a positional tuple and a
keyword dict, like every callable of the module): `"".format(*args)`, which
ignores its arguments. Deposits select five channels, and each sample runs on
a fresh bus whose ring has room for every event of the sample, so every
deposit also records its event.

    python bench/bench_bus.py [--json FILE] [--tiny] [calls_per_sample]
"""
from __future__ import annotations

import threading
from itertools import repeat

import zelmo_micro

import common
import harness
import reference

FLOOR = "".format  # METH_VARARGS | METH_KEYWORDS, like every module callable
FLAGS = 0b1011_0110  # five channels per deposit
MASK = 0xFFFF


def _script(bus, signal_cls):
    """A fixed sequence touching every method; returns everything observable."""
    out = []
    for i in range(300):
        bus.secrete((i * 2654435761) & 0xFFFFFFFF, 0.1 + (i % 7) * 0.25)
        if i % 3 == 0:
            bus.inject(signal_cls(1 << (i % 32), -0.5))
        if i % 50 == 49:
            bus.tick(0.9)
        out.append(bus.sense(0xF0F0F0F0 ^ i))
    out.append(bus.snapshot())
    out.append(sorted(bus.stats().items()))
    out.append(bus.drain_events(100))
    out.append(bus.drain_events(10 ** 6))
    out.append([bus.concentration(i) for i in range(34)])
    return out


def _filled(cls, events):
    bus = cls(32, events)
    for i in range(events):
        bus.secrete(i & 0xFF, 1.0)
    return bus


def _secrete_from_two_threads(bus, calls):
    barrier = threading.Barrier(2)
    secrete = bus.secrete

    def worker(flags):
        barrier.wait()
        for _ in repeat(None, calls):
            secrete(flags, 0.5)

    threads = [threading.Thread(target=worker, args=(f,)) for f in (FLAGS, FLAGS << 8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def run(report: common.Report, tiny: bool, calls: int | None = None):
    calls = calls or (500 if tiny else 100_000)
    impls = {"zelmo": (zelmo_micro.HormonalBus, zelmo_micro.HormonalSignal),
             "lock+deque": (reference.HormonalBus, reference.HormonalSignal)}
    common.agree("bus script", {k: _script(bus(8, 64), sig) for k, (bus, sig) in impls.items()})
    common.agree("bus drain_events", {k: _filled(bus, 5000).drain_events(4096) for k, (bus, _) in impls.items()})

    # One thread, per call. Every sample of a deposit gets a fresh bus with
    # room for all of its events; the floor runs in the very same loop.
    for impl, (bus_cls, sig_cls) in impls.items():
        sig = sig_cls(FLAGS, 0.5)
        report.add("secrete", impl, harness.time_fresh(lambda: (bus_cls(32, calls).secrete, (FLAGS, 0.5)), calls))
        report.add("inject", impl, harness.time_fresh(lambda: (bus_cls(32, calls).inject, (sig,)), calls))
        bus = bus_cls()
        for _ in range(100):
            bus.secrete(FLAGS, 0.5)
        report.add("sense", impl, harness.time_call(bus.sense, MASK))
        report.add("tick", impl, harness.time_call(bus.tick, 0.999))
    report.add("secrete", "floor", harness.time_fresh(lambda: (FLOOR, (FLAGS, 0.5)), calls))
    report.add("inject", "floor", harness.time_fresh(lambda: (FLOOR, (sig,)), calls))
    report.add("sense", "floor", harness.time_call(FLOOR, MASK))
    report.add("tick", "floor", harness.time_call(FLOOR, 0.999))

    events = 64 if tiny else 4096
    for impl, (bus_cls, _) in impls.items():
        timing = harness.time_call(lambda b: b.drain_events(events), setup=lambda: (_filled(bus_cls, events),))
        report.add(f"drain_events({events})", impl, timing)

    for impl, (bus_cls, _) in impls.items():
        fresh = lambda: bus_cls(32, 2 * calls + 16)  # noqa: E731
        one = harness.time_block(lambda b: [b.secrete(FLAGS, 0.5) for _ in repeat(None, 2 * calls)], setup=fresh)
        report.add("secrete, 1 thread", impl, _per_call(one, 2 * calls))
        two = harness.time_block(lambda b: _secrete_from_two_threads(b, calls), setup=fresh)
        report.add("secrete, 2 threads", impl, _per_call(two, 2 * calls))


def _per_call(t: harness.Timing, calls: int) -> harness.Timing:
    return harness.Timing(t.median / calls, t.minimum / calls, t.maximum / calls, calls,
                          [s / calls for s in t.samples])


if __name__ == "__main__":
    common.main("bus", run)
