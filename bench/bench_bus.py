"""The hormonal bus per call: `secrete`, `inject`, `sense`, `tick` and
`drain_events(4096)` on one thread, `secrete` from two threads at once, and
a whole cycle per event: 4096 `secrete` calls and one `drain_events(4096)`.

`tick` runs twice: on a bus that the row's own ticks have brought to rest
(as in any long idle stretch), and on fresh buses whose every channel still
changes (see TICK_LIVE).

Peers: the careful Python bus, one `threading.Lock` and a `collections.deque`
of (flags, intensity) tuples built at `secrete` time (reference.HormonalBus,
reported in the "python" column), and the floor (bench/floor): a function
taking the same arguments through the same calling convention and returning
the same kind of result (None, a float, the list of (int, float) tuples),
computing nothing. Deposits select five channels, and each sample runs on a
fresh bus whose ring has room for every event of the sample, so every
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


# The "tick" row ticks one bus over and over: within the warm-up its five
# channels reach a subnormal value that 0.999 leaves as it is, and the other
# 27 stay zero, so no channel changes any more. This row ticks fresh buses
# whose 32 channels all hold normal values, so that every channel changes on
# every tick of the sample (0.999^LIVE_TICKS stays far above the subnormals).
TICK_LIVE = "tick, 32 live channels"
LIVE_TICKS = 10_000


def _live(cls):
    bus = cls(32)
    bus.secrete(0xFFFFFFFF, 1.0)
    return bus


def _filled(cls, events):
    bus = cls(32, events)
    for i in range(events):
        bus.secrete(i & 0xFF, 1.0)
    return bus


def _secrete_from_two_threads(secrete, calls):
    barrier = threading.Barrier(2)

    def worker(flags):
        barrier.wait()
        for _ in repeat(None, calls):
            secrete(flags, 0.5)

    threads = [threading.Thread(target=worker, args=(f,)) for f in (FLAGS, FLAGS << 8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


RELEASED = common.RELEASED


def run(report: common.Report, tiny: bool, calls: int | None = None):
    calls = calls or (500 if tiny else 100_000)
    floor = common.floor()
    impls = {"zelmo": (zelmo_micro.HormonalBus, zelmo_micro.HormonalSignal),
             "python": (reference.HormonalBus, reference.HormonalSignal)}
    # Concentrations: single precision in the module, double in the peer.
    common.agree("bus script", {k: _script(bus(8, 64), sig) for k, (bus, sig) in impls.items()}, rel=1e-4)
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
        report.add(TICK_LIVE, impl, harness.time_fresh(lambda: (_live(bus_cls).tick, (0.999,)), LIVE_TICKS))
    report.add("secrete", "floor", harness.time_fresh(lambda: (floor.secrete, (FLAGS, 0.5)), calls))
    report.add("inject", "floor", harness.time_fresh(lambda: (floor.inject, (sig,)), calls))
    report.add("sense", "floor", harness.time_call(floor.sense, MASK))
    report.add("tick", "floor", harness.time_call(floor.tick, 0.999))
    report.add(TICK_LIVE, "floor", harness.time_fresh(lambda: (floor.tick, (0.999,)), LIVE_TICKS))
    # The bus promises to release the interpreter lock in these calls; the
    # same floors with one release show what that promise costs anyone.
    report.add("secrete", RELEASED, harness.time_fresh(lambda: (floor.secrete_released, (FLAGS, 0.5)), calls))
    report.add("inject", RELEASED, harness.time_fresh(lambda: (floor.inject_released, (sig,)), calls))
    report.add("sense", RELEASED, harness.time_call(floor.sense_released, MASK))
    report.add("tick", RELEASED, harness.time_call(floor.tick_released, 0.999))
    report.add(TICK_LIVE, RELEASED, harness.time_fresh(lambda: (floor.tick_released, (0.999,)), LIVE_TICKS))

    events = 64 if tiny else 4096
    name = f"drain_events({events})"
    if floor.drain_events(events) != _filled(zelmo_micro.HormonalBus, events).drain_events(events):
        raise AssertionError(f"{name}: the floor's events differ from the module's")
    for impl, (bus_cls, _) in impls.items():
        timing = harness.time_call(lambda b: b.drain_events(events), setup=lambda: (_filled(bus_cls, events),))
        report.add(name, impl, timing)
    report.add(name, "floor", harness.time_call(floor.drain_events, events))

    # A whole cycle, per event: `events` deposits, then one drain of them all.
    name = f"secrete + drain_events, per event ({events})"
    for impl, (bus_cls, _) in impls.items():
        cycle = harness.time_block(lambda b: _cycle(b.secrete, b.drain_events, events),
                                   setup=lambda: bus_cls(32, events))
        report.add(name, impl, _per_call(cycle, events), unit="event")
    cycle = harness.time_block(lambda _: _cycle(floor.secrete, floor.drain_events, events))
    report.add(name, "floor", _per_call(cycle, events), unit="event")

    # The same calls from one thread and from two at once; the floors make
    # them through floor.secrete and floor.secrete_released.
    threaded = {impl: lambda cls=bus_cls: cls(32, 2 * calls + 16).secrete for impl, (bus_cls, _) in impls.items()}
    threaded["floor"] = lambda: floor.secrete
    threaded[RELEASED] = lambda: floor.secrete_released
    for impl, fresh in threaded.items():
        one = harness.time_block(lambda f: [f(FLAGS, 0.5) for _ in repeat(None, 2 * calls)], setup=fresh)
        report.add("secrete, 1 thread", impl, _per_call(one, 2 * calls))
        two = harness.time_block(lambda f: _secrete_from_two_threads(f, calls), setup=fresh)
        report.add("secrete, 2 threads", impl, _per_call(two, 2 * calls))


def _cycle(secrete, drain, events):
    for i in range(events):
        secrete(i & 0xFF, 1.0)
    drain(events)


def _per_call(t: harness.Timing, calls: int) -> harness.Timing:
    return harness.Timing(t.median / calls, t.minimum / calls, t.maximum / calls, calls,
                          [s / calls for s in t.samples])


def module_calls(tiny: bool):
    """(workload, make) per module row for the instruction counts: make()
    returns (fn, args, calls)."""
    events = 64 if tiny else 4096
    bus_cls, sig_cls = zelmo_micro.HormonalBus, zelmo_micro.HormonalSignal

    def warm():
        bus = bus_cls()
        for _ in range(100):
            bus.secrete(FLAGS, 0.5)
        return bus

    return [("secrete", lambda: (bus_cls(32, 1000).secrete, (FLAGS, 0.5), 1000)),
            ("inject", lambda: (bus_cls(32, 1000).inject, (sig_cls(FLAGS, 0.5),), 1000)),
            ("sense", lambda: (warm().sense, (MASK,), 1000)),
            ("tick", lambda: (warm().tick, (0.999,), 1000)),
            (TICK_LIVE, lambda: (_live(bus_cls).tick, (0.999,), 1000)),
            (f"drain_events({events})", lambda: (_filled(bus_cls, events).drain_events, (events,), 1))]


if __name__ == "__main__":
    common.main("bus", run)
