"""HormonalBus: channels, deposits, decay, the event buffer and threads."""
import collections
import math
import os
import threading

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import model
import zelmo_micro as z
from conftest import assert_raises_with_note

RANGE = "out of range integral type conversion attempted"
F32 = np.float32

DOCS = {
    "inject": ("($self, signal)", "Inject a typed `HormonalSignal` (the primary API)."),
    "secrete": ("($self, flags, intensity)",
                "Raw injection by `(flags, intensity)` \u2014 the microsecond hot path."),
    "sense": ("($self, mask)", "Current summed concentration across every channel in `mask`."),
    "concentration": ("($self, signal_bit)", "Concentration of a single channel bit."),
    "tick": ("($self, decay)", "Multiplicative decay/dissipation of every channel (temporal homeostasis)."),
    "snapshot": ("($self)", None),
    "drain_events": ("($self, max)", "Drain up to `max` buffered signal events as `(flags, intensity)` pairs."),
    "stats": ("($self)", None),
}


same = model.same


def state(bus):
    return bus.snapshot(), bus.stats()


# --- surface -----------------------------------------------------------------

def test_class_surface():
    assert z.HormonalBus.__doc__ == (
        "Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and\n"
        "release the GIL; `sense` reads the current concentration for a channel mask.")
    methods = [n for n, v in vars(z.HormonalBus).items() if callable(v) and not n.startswith("_")]
    assert methods == list(DOCS)
    assert z.HormonalBus.__repr__ is object.__repr__
    assert z.HormonalBus.__eq__ is object.__eq__
    with pytest.raises(TypeError):
        len(z.HormonalBus())


@pytest.mark.parametrize("name", list(DOCS))
def test_method_docstrings(name):
    signature, body = DOCS[name]
    fn = getattr(z.HormonalBus, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == body


# --- construction ------------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, channels",
    [({}, 32), ({"num_signals": 0}, 1), ({"num_signals": 1}, 1), ({"num_signals": 31}, 31),
     ({"num_signals": 100}, 32), ({"num_signals": 2**64 - 1}, 32), ({"num_signals": True}, 1)],
)
def test_channel_count_mapping(kwargs, channels):
    bus = z.HormonalBus(**kwargs)
    assert bus.snapshot() == [0.0] * channels
    assert bus.stats()["num_signals"] == float(channels)


@pytest.mark.parametrize(
    "kwargs, exc, note",
    [
        ({"num_signals": -1}, OverflowError, "num_signals"),
        ({"num_signals": 2**64}, OverflowError, "num_signals"),
        ({"num_signals": None}, TypeError, "num_signals"),
        ({"num_signals": 4.0}, TypeError, "num_signals"),
        ({"event_capacity": -1}, OverflowError, "event_capacity"),
        ({"event_capacity": None}, TypeError, "event_capacity"),
        ({"num_signals": -1, "event_capacity": None}, OverflowError, "num_signals"),
    ],
)
def test_construction_conversion_failures(kwargs, exc, note):
    assert_raises_with_note(exc, None, f"while processing '{note}'", z.HormonalBus, **kwargs)


@pytest.mark.parametrize("capacity", [2**59, 2**62, 2**64 - 1])
def test_unrepresentable_ring_is_an_internal_fault(capacity):
    with pytest.raises(BaseException) as info:
        z.HormonalBus(event_capacity=capacity)
    assert type(info.value).__module__ == "pyo3_runtime" and str(info.value) == "capacity overflow"


@pytest.mark.parametrize("capacity", [2**59 - 1, 2**44])
def test_unallocatable_ring_is_memory_error(capacity):
    with pytest.raises(MemoryError):
        z.HormonalBus(event_capacity=capacity)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_large_ring_commits_memory_only_when_used():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before = rss()
    bus = z.HormonalBus(4, 50_000_000)  # an 800 MB ring
    assert rss() - before < 64 << 20
    bus.secrete(1, 1.0)
    assert bus.drain_events(10) == [(1, 1.0)]


# --- deposits and channels ---------------------------------------------------

def test_secrete_masks_channels_but_not_events():
    bus = z.HormonalBus(num_signals=4)
    bus.secrete(0b110011, 2.0)
    assert bus.snapshot() == [2.0, 2.0, 0.0, 0.0]
    assert bus.stats()["secretions"] == 1.0
    assert bus.drain_events(10) == [(51, 2.0)]


@pytest.mark.parametrize("flags", [0, 0xFF00, 0xFFFFFFF0])
def test_deposit_selecting_no_channel_still_counts_and_records(flags):
    bus = z.HormonalBus(4)
    bus.secrete(flags, 5.0)
    assert bus.snapshot() == [0.0] * 4
    assert bus.stats()["secretions"] == 1.0
    assert bus.drain_events(1) == [(flags, 5.0)]


def test_single_precision_sums():
    bus = z.HormonalBus()
    bus.secrete(1, 0.1)
    bus.secrete(1, 0.1)
    assert bus.concentration(0) == 0.20000000298023224
    bus.secrete(2, 16777216.0)
    bus.secrete(2, 1.0)  # 2^24 + 1 rounds back to 2^24 in single precision
    assert bus.concentration(1) == 16777216.0
    assert bus.drain_events(1) == [(1, 0.10000000149011612)]


def test_inject_equals_secrete_and_copies_the_signal():
    a, b = z.HormonalBus(8), z.HormonalBus(8)
    sig = z.HormonalSignal(0b1010_0101, 0.3)
    a.inject(sig)
    b.secrete(0b1010_0101, 0.3)
    sig.flags, sig.intensity = 1, 9.0  # changes after the call reach neither bus
    a.inject(signal=z.HormonalSignal(2, 1.0))
    b.secrete(flags=2, intensity=1.0)
    assert state(a) == state(b)
    assert a.drain_events(10) == b.drain_events(10) == [(0b1010_0101, F32(0.3).item()), (2, 1.0)]


@pytest.mark.parametrize(
    "call, flags",
    [(lambda b: b.secrete(5, 0.5), 5), (lambda b: b.secrete(5, intensity=0.5), 5),
     (lambda b: b.secrete(intensity=0.5, flags=5), 5), (lambda b: b.secrete(*(5, 0.5), **{}), 5),
     (lambda b: b.secrete(True, F32(0.5)), 1), (lambda b: b.inject(z.HormonalSignal(5, 0.5)), 5),
     (lambda b: b.inject(signal=z.HormonalSignal(5, 0.5)), 5)],
)
def test_every_argument_shape_deposits_alike(call, flags):
    bus = z.HormonalBus(4)
    call(bus)
    call(bus)
    assert bus.snapshot() == [1.0 * (flags >> i & 1) for i in range(4)]
    assert bus.drain_events(5) == [(flags, 0.5)] * 2
    assert (bus.sense(mask=flags), bus.concentration(signal_bit=0)) == (bus.sense(flags), 1.0)


@pytest.mark.parametrize(
    "call, message",
    [(lambda b: b.secrete(1, 2.0, 3), "HormonalBus.secrete() takes 2 positional arguments but 3 were given"),
     (lambda b: b.secrete(1), "HormonalBus.secrete() missing 1 required positional argument: 'intensity'"),
     (lambda b: b.sense(), "HormonalBus.sense() missing 1 required positional argument: 'mask'"),
     (lambda b: b.tick(1.0, 2.0), "HormonalBus.tick() takes 1 positional arguments but 2 were given"),
     (lambda b: b.inject(z.HormonalSignal(1), None), "HormonalBus.inject() takes 1 positional arguments but 2 were given"),
     (lambda b: b.sense(1, mask=1), "HormonalBus.sense() got multiple values for argument 'mask'")],
)
def test_argument_count_errors_change_nothing(call, message):
    bus = z.HormonalBus(4, 8)
    bus.secrete(0b11, 0.5)
    before = state(bus)
    with pytest.raises(TypeError) as info:
        call(bus)
    assert str(info.value) == message
    assert state(bus) == before and bus.drain_events(10) == [(3, 0.5)]


def test_sense_and_concentration():
    bus = z.HormonalBus(4)
    for i, v in enumerate([1.0, 2.0, 4.0, 8.0]):
        bus.secrete(1 << i, v)
    bus.secrete(1 << 20, 100.0)  # beyond the channels: ignored
    assert same(bus.sense(0), 0.0)
    assert bus.sense(0xFFFFFFFF) == 15.0
    assert bus.sense(mask=0b1010) == 10.0
    assert bus.sense(1 << 31) == 0.0
    assert [bus.concentration(i) for i in range(4)] == [1.0, 2.0, 4.0, 8.0]
    assert bus.concentration(31) == 0.0 and bus.concentration(2**64 - 1) == 0.0


@pytest.mark.parametrize(
    "decay, expected",
    [(0.5, [1.5, -0.5, 0.0]), (0.0, [0.0, -0.0, 0.0]), (-1.0, [-3.0, 1.0, -0.0]), (1.0, [3.0, -1.0, 0.0]),
     (4.0, [12.0, -4.0, 0.0]), (math.nan, [math.nan] * 3)],
)
def test_tick(decay, expected):
    bus = z.HormonalBus(3)
    bus.secrete(1, 3.0)
    bus.secrete(2, -1.0)
    bus.tick(decay)
    assert all(same(a, b) for a, b in zip(bus.snapshot(), expected))
    assert bus.stats()["secretions"] == 2.0


@pytest.mark.parametrize("n", [1, 3, 31])
def test_last_channel_of_odd_bus(n):
    bus = z.HormonalBus(n)
    last = 1 << (n - 1)
    bus.secrete(last, 2.5)
    bus.secrete(0xFFFFFFFF, 1.0)  # every channel, and the bits beyond them
    bus.tick(-2.0)
    assert bus.concentration(n - 1) == bus.sense(last) == -7.0
    assert bus.snapshot() == [-2.0] * (n - 1) + [-7.0]
    assert bus.stats()["total_concentration"] == -2.0 * (n - 1) - 7.0
    assert same(bus.concentration(n), 0.0)


def test_unbounded_values():
    bus = z.HormonalBus(2)
    bus.secrete(1, 1e39)  # narrows to infinity
    bus.secrete(2, 3e38)
    bus.secrete(2, 3e38)  # overflows to infinity
    assert bus.snapshot() == [math.inf, math.inf]
    bus.tick(0.0)  # infinity times zero
    assert all(math.isnan(v) for v in bus.snapshot())


def test_stats():
    bus = z.HormonalBus(2)
    s = bus.stats()
    assert set(s) == {"num_signals", "secretions", "total_concentration"}
    assert all(type(v) is float for v in s.values())
    assert same(s["total_concentration"], 0.0)
    bus.secrete(3, -1.0)
    bus.tick(0.0)  # both channels -0.0: the sum from -0.0 stays -0.0
    assert same(bus.stats()["total_concentration"], -0.0)
    bus.secrete(1, 0.1)
    assert bus.stats() == {"num_signals": 2.0, "secretions": 2.0, "total_concentration": F32(0.1).item()}


def test_snapshot_of_fresh_bus():
    assert z.HormonalBus(8).snapshot() == [0.0] * 8


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda b: b.inject(5), TypeError, "'int' object is not an instance of 'HormonalSignal'", "signal"),
        (lambda b: b.inject(None), TypeError, "'None' is not an instance of 'HormonalSignal'", "signal"),
        (lambda b: b.inject((1, 2.0)), TypeError, "'tuple' object is not an instance of 'HormonalSignal'",
         "signal"),
        (lambda b: b.secrete(-1, 1.0), OverflowError, RANGE, "flags"),
        (lambda b: b.secrete(2**32, 1.0), OverflowError, RANGE, "flags"),
        (lambda b: b.secrete(1.0, 1.0), TypeError, None, "flags"),
        (lambda b: b.secrete(1, "x"), TypeError, None, "intensity"),
        (lambda b: b.secrete(1, None), TypeError, None, "intensity"),
        (lambda b: b.sense(-1), OverflowError, RANGE, "mask"),
        (lambda b: b.concentration(-1), OverflowError, None, "signal_bit"),
        (lambda b: b.concentration(2**64), OverflowError, None, "signal_bit"),
        (lambda b: b.tick("slow"), TypeError, None, "decay"),
        (lambda b: b.drain_events(-1), OverflowError, None, "max"),
        (lambda b: b.drain_events(1.5), TypeError, None, "max"),
        (lambda b: b.drain_events(), TypeError,
         "HormonalBus.drain_events() missing 1 required positional argument: 'max'", None),
        (lambda b: b.secrete(1, 2.0, flags=1), TypeError,
         "HormonalBus.secrete() got multiple values for argument 'flags'", None),
        (lambda b: b.tick(decay=0.5, rate=1), TypeError,
         "HormonalBus.tick() got an unexpected keyword argument 'rate'", None),
    ],
)
def test_conversion_failures_change_nothing(call, exc, message, note):
    bus = z.HormonalBus(4, 8)
    bus.secrete(0b11, 0.5)
    before = state(bus)
    assert_raises_with_note(exc, message, note and f"while processing '{note}'", call, bus)
    assert state(bus) == before
    assert bus.drain_events(10) == [(3, 0.5)]


# --- event buffer ------------------------------------------------------------

def test_full_buffer_drops_new_events_but_keeps_deposits():
    bus = z.HormonalBus(4, event_capacity=2)
    for v in (1.0, 2.0, 4.0):
        bus.secrete(1, v)
    assert bus.drain_events(10) == [(1, 1.0), (1, 2.0)]
    assert bus.stats()["secretions"] == 3.0 and bus.concentration(0) == 7.0


def test_zero_capacity_holds_one_event():
    bus = z.HormonalBus(event_capacity=0)
    bus.secrete(1, 1.0)
    bus.secrete(2, 2.0)
    assert bus.drain_events(10) == [(1, 1.0)]


def test_drain_zero_then_one():
    bus = z.HormonalBus()
    bus.secrete(1, 1.0)
    bus.secrete(2, 2.0)
    assert bus.drain_events(0) == []
    assert bus.drain_events(max=1) == [(1, 1.0)]
    assert bus.drain_events(10**18) == [(2, 2.0)]
    assert bus.drain_events(10**18) == []


@pytest.mark.parametrize("capacity", [1, 2, 3, 7, 64])
def test_refill_after_full_drain_over_many_laps(capacity):
    bus = z.HormonalBus(1, capacity)
    for lap in range(5):
        for i in range(capacity + 3):
            bus.secrete(lap << 16 | i, 1.0)
        assert bus.drain_events(2**64 - 1) == [(lap << 16 | i, 1.0) for i in range(capacity)]
    assert bus.stats()["secretions"] == 5.0 * (capacity + 3)


def test_default_capacity_is_4096():
    bus = z.HormonalBus()
    for i in range(4100):
        bus.secrete(0, 0.0)
    events = bus.drain_events(10**6)
    assert len(events) == 4096


# --- threads -----------------------------------------------------------------

def test_two_threads_secreting():
    bus = z.HormonalBus(4, 16)

    def work():
        for _ in range(100_000):
            bus.secrete(1, 1.0)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert bus.concentration(0) == 200000.0
    assert bus.stats()["secretions"] == 200000.0


@pytest.mark.parametrize("witness", [0, 1])
def test_ticks_and_deposits_on_one_word(witness):
    # Channels 0 and 1 share a word. The ticks alone decide the witness
    # channel; the other one only ever holds -2..2 smallest subnormals, which
    # 0.9999 leaves as they are, and every deposit is taken back, so both
    # finish exactly unless an update wrote back a stale neighbour.
    ticks, pairs, tiny = 20_000, 20_000, 2.0**-149
    bus = z.HormonalBus(3)
    bus.secrete(1 << witness, 1.0)
    flags = 1 << (1 - witness) | 0b100  # and the last channel, alone in its word
    barrier = threading.Barrier(3)

    def deposit():
        barrier.wait()
        for _ in range(pairs):
            bus.secrete(flags, tiny)
            bus.secrete(flags, -tiny)

    def tick():
        barrier.wait()
        for _ in range(ticks):
            bus.tick(0.9999)

    threads = [threading.Thread(target=f) for f in (deposit, deposit, tick)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    want = F32(1.0)
    for _ in range(ticks):
        want = F32(0.9999) * want
    assert bus.concentration(witness) == want.item()
    assert bus.concentration(1 - witness) == 0.0 and bus.concentration(2) == 0.0


def test_threads_deposit_while_others_drain():
    producers, per_producer, channels = 4, 4000, 4
    bus = z.HormonalBus(channels, 64)
    done = threading.Event()
    drained = [[] for _ in range(2)]

    def produce(p):
        # Producer p deposits on channel p; its id and sequence ride in the
        # flag bits above the channel mask.
        for seq in range(per_producer):
            flags = (1 << p) | p << 28 | seq << 4
            if seq % 2:
                bus.inject(z.HormonalSignal(flags, 0.5))
            else:
                bus.secrete(flags, 1.0)

    def drain(out):
        while not done.is_set():
            out.extend(bus.drain_events(17))
            bus.sense(0xF)
            bus.tick(1.0)
        out.extend(bus.drain_events(2**64 - 1))

    workers = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    drainers = [threading.Thread(target=drain, args=(out,)) for out in drained]
    for t in workers + drainers:
        t.start()
    for t in workers:
        t.join()
    done.set()
    for t in drainers:
        t.join()

    seen = set()
    for out in drained:
        last = collections.defaultdict(lambda: -1)
        for flags, intensity in out:
            p, seq = flags >> 28, flags >> 4 & 0xFFFFFF
            assert flags & 0xF == 1 << p
            assert intensity == (0.5 if seq % 2 else 1.0)
            assert (p, seq) not in seen  # delivered at most once
            seen.add((p, seq))
            assert seq > last[p]  # each producer's events in its own order
            last[p] = seq
    assert 0 < len(seen) <= producers * per_producer
    assert bus.stats()["secretions"] == float(producers * per_producer)
    assert bus.snapshot() == [per_producer * 0.75] * channels  # sums below 2^24 are exact


# --- model-based -------------------------------------------------------------

intensities = st.one_of(st.floats(width=32), st.floats(), st.sampled_from([0.1, -0.0, 1.0, 0.5]))
masks = st.one_of(st.integers(0, 2**32 - 1), st.integers(0, 255))


class BusMachine(RuleBasedStateMachine):
    """The bus against the model, every result compared to the bit."""

    @initialize(n=st.integers(0, 40), capacity=st.integers(0, 6))
    def make(self, n, capacity):
        self.bus = z.HormonalBus(n, capacity)
        self.model = model.Bus(n, capacity)

    @rule(flags=masks, x=intensities)
    def secrete(self, flags, x):
        self.bus.secrete(flags, x)
        self.model.secrete(flags, x)

    @rule(flags=masks, x=intensities)
    def inject(self, flags, x):
        self.bus.inject(z.HormonalSignal(flags, x))
        self.model.inject(model.Signal(flags, x))

    @rule(decay=intensities)
    def tick(self, decay):
        self.bus.tick(decay)
        self.model.tick(decay)

    @rule(mask=masks)
    def sense(self, mask):
        assert same(self.bus.sense(mask), self.model.sense(mask))

    @rule(index=st.integers(0, 40))
    def concentration(self, index):
        assert same(self.bus.concentration(index), self.model.concentration(index))

    @rule(count=st.integers(0, 8))
    def drain(self, count):
        assert same(self.bus.drain_events(count), self.model.drain_events(count))

    @invariant()
    def matches(self):
        if not hasattr(self, "bus"):
            return
        assert same(self.bus.snapshot(), self.model.snapshot())
        stats, want = self.bus.stats(), self.model.stats()
        assert stats.keys() == want.keys() and all(same(stats[k], want[k]) for k in want)


TestBusModel = BusMachine.TestCase
TestBusModel.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
