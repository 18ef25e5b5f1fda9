"""Every callable, on its success path and on each of its error paths, called
tens of thousands of times: the Python heap (tracemalloc), the process's
resident memory and the reference counts of the arguments stay flat.

Payloads are a kilobyte or more wherever the module copies them, so that
keeping even one copy per call would grow memory by megabytes.
"""
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

import zelmo_micro as z

SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))
# Under AddressSanitizer every call is slower and freed memory sits in a
# quarantine, so fewer calls are made and resident memory is not judged.
CALLS = 5_000 if SANITIZED else 20_000
WARMUP = 1_000
# Bytes of Python heap growth tolerated per case. Under the sanitizer the
# interpreter's traceback printing leaves tens of kilobytes of traces that
# come and go without growing with the number of calls.
HEAP_BOUND = (64 if SANITIZED else 16) * 1024
RSS_BOUND = 1024 * 1024  # bytes of resident growth tolerated per case
PAGE = os.sysconf("SC_PAGE_SIZE")

TEXT = "word\u00e9 \U0001F600 " * 100  # ~1.3 KB of UTF-8
SURROGATE = "x" * 1000 + "\ud800"
HISTORY = [(f"{i} " + "m" * 200, (z.USER, z.TOOL, z.FACT, 0)[i % 4]) for i in range(40)]
FLOOD = "the quick brown fox jumps over the lazy dog " * 40


def rss():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE
    except OSError:
        return None


def panic_type():
    try:
        z.HormonalBus(event_capacity=2**64 - 1)
    except BaseException as e:  # noqa: BLE001 - the panic exception is a BaseException
        return type(e)


PANIC = panic_type()


class Index:
    """An integer-like object whose __index__ raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc("from __index__")


class FailingSequence:
    """A sequence whose length fails and whose iteration breaks after three
    converted pairs, leaving a partial conversion to clean up."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 3:
            return ("p" * 1000, z.USER)
        raise KeyError(i)


class NoLength:
    """A sequence of HISTORY whose length cannot be asked."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return HISTORY[i]


def window():
    w = z.ContextApoptosis(state_capacity=8)
    w.set_purpose("purpose")
    for i in range(20):
        w.insert(f"block {i} " * 20, (z.USER, z.SYSTEM, z.TOOL)[i % 3])
    w.note_state("fact")
    return w


def rendered_window():
    """A window that has been rendered, so that insert keeps each new text for
    the next render."""
    w = window()
    w.render()
    return w


def bus():
    b = z.HormonalBus(8, 64)
    b.secrete(0xFF, 1.0)
    return b


def signal():
    return z.HormonalSignal(3, 0.5)


def cycle(w, counter=[0]):
    """Insert then purge: a conversational block with a fresh text each time,
    absorbed into the bounded ledger as a digest."""
    counter[0] += 1
    w.insert(f"{counter[0]} {TEXT}", z.USER, 0.0)
    return w.dehydrate(absorb=True)


def fresh_fact(w, counter=[0]):
    counter[0] += 1
    return w.note_state(f"{counter[0]} {TEXT}")


def deposit_and_drain(b):
    b.secrete(0x1FF, 0.5)
    b.inject(z.HormonalSignal(3, 0.25))
    return b.drain_events(10)


# (id, setup, call, expected exception). `call` gets the setup's result.
CASES = [
    # effort_gauge
    ("effort_gauge", None, lambda _: z.effort_gauge(TEXT), None),
    ("effort_gauge-type", None, lambda _: z.effort_gauge(5), TypeError),
    ("effort_gauge-encode", None, lambda _: z.effort_gauge(SURROGATE), UnicodeEncodeError),
    ("effort_gauge-count", None, lambda _: z.effort_gauge(TEXT, TEXT), TypeError),
    ("effort_gauge-missing", None, lambda _: z.effort_gauge(), TypeError),
    ("effort_gauge-keyword", None, lambda _: z.effort_gauge(TEXT, texto=1), TypeError),
    # saturation_scan
    ("saturation_scan", None, lambda _: z.saturation_scan(FLOOD, 3), None),
    ("saturation_scan-text", None, lambda _: z.saturation_scan(b"x"), TypeError),
    ("saturation_scan-encode", None, lambda _: z.saturation_scan(SURROGATE), UnicodeEncodeError),
    ("saturation_scan-negative", None, lambda _: z.saturation_scan(FLOOD, -1), OverflowError),
    ("saturation_scan-huge", None, lambda _: z.saturation_scan(FLOOD, 2**64), OverflowError),
    ("saturation_scan-float", None, lambda _: z.saturation_scan(FLOOD, 1.5), TypeError),
    ("saturation_scan-index", None, lambda _: z.saturation_scan(FLOOD, Index(ValueError)), ValueError),
    ("saturation_scan-keyword", None, lambda _: z.saturation_scan(FLOOD, windw=3), TypeError),
    # consolidation_gain
    ("consolidation_gain", None, lambda _: z.consolidation_gain(10**6, 4 * 10**5, 9, 0.1, 1.25), None),
    ("consolidation_gain-missing", None, lambda _: z.consolidation_gain(1), TypeError),
    ("consolidation_gain-negative", None, lambda _: z.consolidation_gain(-1, 0), OverflowError),
    ("consolidation_gain-float", None, lambda _: z.consolidation_gain(1, 1.5), TypeError),
    ("consolidation_gain-u32", None, lambda _: z.consolidation_gain(1, 1, 2**32), OverflowError),
    ("consolidation_gain-i64", None, lambda _: z.consolidation_gain(1, 1, 2**70), OverflowError),
    ("consolidation_gain-ratio", None, lambda _: z.consolidation_gain(1, 1, 1, "x"), TypeError),
    ("consolidation_gain-none", None, lambda _: z.consolidation_gain(1, 1, 1, 0.1, None), TypeError),
    ("consolidation_gain-count", None, lambda _: z.consolidation_gain(1, 2, 3, 4, 5, 6), TypeError),
    # dehydrate
    ("dehydrate", None, lambda _: z.dehydrate(HISTORY, 2.0, 0.35, 3), None),
    ("dehydrate-no-length", None, lambda _: z.dehydrate(NoLength()), None),
    ("dehydrate-str", None, lambda _: z.dehydrate(TEXT), TypeError),
    ("dehydrate-not-sequence", None, lambda _: z.dehydrate({1: 2}), TypeError),
    ("dehydrate-item", None, lambda _: z.dehydrate(HISTORY + [["x", 1]]), TypeError),
    ("dehydrate-pair-length", None, lambda _: z.dehydrate(HISTORY + [("x", 1, 2)]), ValueError),
    ("dehydrate-text", None, lambda _: z.dehydrate(HISTORY + [(5, 1)]), TypeError),
    ("dehydrate-encode", None, lambda _: z.dehydrate(HISTORY + [(SURROGATE, 1)]), UnicodeEncodeError),
    ("dehydrate-flags-negative", None, lambda _: z.dehydrate(HISTORY + [("x", -1)]), OverflowError),
    ("dehydrate-flags-u32", None, lambda _: z.dehydrate(HISTORY + [("x", 2**32)]), OverflowError),
    ("dehydrate-flags-i64", None, lambda _: z.dehydrate(HISTORY + [("x", 2**70)]), OverflowError),
    ("dehydrate-flags-float", None, lambda _: z.dehydrate(HISTORY + [("x", 1.0)]), TypeError),
    ("dehydrate-iteration", None, lambda _: z.dehydrate(FailingSequence()), KeyError),
    ("dehydrate-half-life", None, lambda _: z.dehydrate(HISTORY, None), TypeError),
    ("dehydrate-threshold", None, lambda _: z.dehydrate(HISTORY, 1.0, "x"), TypeError),
    ("dehydrate-prefix", None, lambda _: z.dehydrate(HISTORY, 1.0, 0.5, -1), OverflowError),
    ("dehydrate-twice", None, lambda _: z.dehydrate(HISTORY, messages=HISTORY), TypeError),
    ("dehydrate-count", None, lambda _: z.dehydrate(HISTORY, 1, 2, 3, 4), TypeError),
    # HormonalSignal
    ("HormonalSignal", None, lambda _: z.HormonalSignal(0xFFFF, 0.1), None),
    ("HormonalSignal-missing", None, lambda _: z.HormonalSignal(), TypeError),
    ("HormonalSignal-negative", None, lambda _: z.HormonalSignal(-1), OverflowError),
    ("HormonalSignal-u32", None, lambda _: z.HormonalSignal(2**32), OverflowError),
    ("HormonalSignal-i64", None, lambda _: z.HormonalSignal(2**70), OverflowError),
    ("HormonalSignal-float", None, lambda _: z.HormonalSignal(1.0), TypeError),
    ("HormonalSignal-index", None, lambda _: z.HormonalSignal(Index(LookupError)), LookupError),
    ("HormonalSignal-panic", None, lambda _: z.HormonalSignal(Index(PANIC)), PANIC),
    ("HormonalSignal-intensity", None, lambda _: z.HormonalSignal(1, "x"), TypeError),
    ("HormonalSignal-keyword", None, lambda _: z.HormonalSignal(1, intensty=1.0), TypeError),
    ("HormonalSignal.get", signal, lambda s: (s.flags, s.intensity), None),
    ("HormonalSignal.set", signal, lambda s: (setattr(s, "flags", 7), setattr(s, "intensity", 0.2)), None),
    ("HormonalSignal.set-flags", signal, lambda s: setattr(s, "flags", -1), OverflowError),
    ("HormonalSignal.set-intensity", signal, lambda s: setattr(s, "intensity", "x"), TypeError),
    ("HormonalSignal.del", signal, lambda s: delattr(s, "flags"), AttributeError),
    ("HormonalSignal.repr", signal, lambda s: repr(s), None),
    # HormonalBus
    ("HormonalBus", None, lambda _: z.HormonalBus(32, 4096), None),
    ("HormonalBus-negative", None, lambda _: z.HormonalBus(-1), OverflowError),
    ("HormonalBus-float", None, lambda _: z.HormonalBus(4, 1.5), TypeError),
    ("HormonalBus-capacity-overflow", None, lambda _: z.HormonalBus(4, 2**64 - 1), PANIC),
    ("HormonalBus-capacity-memory", None, lambda _: z.HormonalBus(4, 2**40), MemoryError),
    ("HormonalBus-keyword", None, lambda _: z.HormonalBus(signals=3), TypeError),
    ("HormonalBus.inject+drain", bus, deposit_and_drain, None),
    ("HormonalBus.inject-type", bus, lambda b: b.inject(5), TypeError),
    ("HormonalBus.inject-none", bus, lambda b: b.inject(None), TypeError),
    ("HormonalBus.secrete-flags", bus, lambda b: b.secrete(-1, 1.0), OverflowError),
    ("HormonalBus.secrete-intensity", bus, lambda b: b.secrete(1, "x"), TypeError),
    ("HormonalBus.secrete-missing", bus, lambda b: b.secrete(1), TypeError),
    ("HormonalBus.sense", bus, lambda b: b.sense(0xFFFFFFFF), None),
    ("HormonalBus.sense-negative", bus, lambda b: b.sense(-1), OverflowError),
    ("HormonalBus.concentration", bus, lambda b: b.concentration(3), None),
    ("HormonalBus.concentration-negative", bus, lambda b: b.concentration(-1), OverflowError),
    ("HormonalBus.tick", bus, lambda b: b.tick(1.0), None),
    ("HormonalBus.tick-type", bus, lambda b: b.tick("x"), TypeError),
    ("HormonalBus.snapshot", bus, lambda b: b.snapshot(), None),
    ("HormonalBus.stats", bus, lambda b: b.stats(), None),
    ("HormonalBus.drain-negative", bus, lambda b: b.drain_events(-1), OverflowError),
    ("HormonalBus.drain-type", bus, lambda b: b.drain_events("x"), TypeError),
    # ContextApoptosis
    ("ContextApoptosis", None, lambda _: z.ContextApoptosis(2.0, 0.35, 256, 64), None),
    ("ContextApoptosis-half-life", None, lambda _: z.ContextApoptosis("x"), TypeError),
    ("ContextApoptosis-capacity", None, lambda _: z.ContextApoptosis(capacity=-1), OverflowError),
    ("ContextApoptosis-capacity-overflow", None, lambda _: z.ContextApoptosis(capacity=2**60), PANIC),
    ("ContextApoptosis-capacity-memory", None, lambda _: z.ContextApoptosis(capacity=2**50), MemoryError),
    ("ContextApoptosis-ledger", None, lambda _: z.ContextApoptosis(state_capacity=1.5), TypeError),
    ("ContextApoptosis-keyword", None, lambda _: z.ContextApoptosis(cap=1), TypeError),
    ("ContextApoptosis.insert+dehydrate", window, cycle, None),
    ("ContextApoptosis.insert-content", window, lambda w: w.insert(5), TypeError),
    ("ContextApoptosis.insert-encode", window, lambda w: w.insert(SURROGATE), UnicodeEncodeError),
    ("ContextApoptosis.insert-signal", window, lambda w: w.insert(TEXT, -1), OverflowError),
    ("ContextApoptosis.insert-signal-i64", window, lambda w: w.insert(TEXT, 2**70), OverflowError),
    ("ContextApoptosis.insert-oxygen", window, lambda w: w.insert(TEXT, 1, None), TypeError),
    ("ContextApoptosis.dehydrate", window, lambda w: w.dehydrate(0.5, False), None),
    ("ContextApoptosis.dehydrate-absorb", window, lambda w: w.dehydrate(absorb=1), TypeError),
    ("ContextApoptosis.dehydrate-boost", window, lambda w: w.dehydrate(None), TypeError),
    ("ContextApoptosis.note_state", window, fresh_fact, None),
    ("ContextApoptosis.note_state-duplicate", window, lambda w: w.note_state("fact"), None),
    ("ContextApoptosis.note_state-type", window, lambda w: w.note_state(5), TypeError),
    ("ContextApoptosis.set_purpose", window, lambda w: (w.set_purpose(TEXT), w.set_purpose(None)), None),
    ("ContextApoptosis.set_purpose-type", window, lambda w: w.set_purpose(b"p"), TypeError),
    ("ContextApoptosis.readers", window, lambda w: (len(w), w.active_context(), w.active_tokens(),
                                                    w.inserted_tokens(), w.reduction_ratio()), None),
    ("ContextApoptosis.render", window, lambda w: (w.render(), w.state_entries()), None),
    ("ContextApoptosis.insert+dehydrate-rendered", rendered_window, cycle, None),
    ("ContextApoptosis.insert+dehydrate+render", rendered_window, lambda w: (cycle(w), w.render()), None),
]

# Paths that print for every call (a panic raised into the module prints its
# traceback; ASan announces every refused allocation) run fewer times.
NOISY = {"HormonalSignal-panic", "HormonalBus-capacity-memory", "ContextApoptosis-capacity-memory"}


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def measure(thunk, calls, watched):
    """Runs thunk calls times after a warm-up; returns (Python heap growth,
    resident growth or None, whether any watched reference count moved)."""
    for _ in range(WARMUP):
        thunk()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    heap0, rss0 = tracemalloc.get_traced_memory()[0], rss()
    for _ in range(calls):
        thunk()
    gc.collect()
    heap1, rss1 = tracemalloc.get_traced_memory()[0], rss()
    moved = [sys.getrefcount(o) for o in watched] != refs
    return heap1 - heap0, None if rss0 is None or SANITIZED else rss1 - rss0, moved


@pytest.mark.parametrize("name, setup, call, exc", CASES, ids=[c[0] for c in CASES])
def test_memory_stays_flat(traced, name, setup, call, exc):
    state = setup() if setup else None
    watched = [z.HormonalBus, z.HormonalSignal, z.ContextApoptosis, TEXT, HISTORY, FLOOD]
    if state is not None:
        watched.append(state)
    calls = CALLS // 10 if name in NOISY else CALLS

    def once():
        try:
            call(state)
        except BaseException as e:  # noqa: BLE001 - checked right here
            if exc is None or not isinstance(e, exc):
                raise
        else:
            assert exc is None, f"{name} did not raise {exc.__name__}"

    heap, resident, moved = measure(once, calls, watched)
    assert heap < HEAP_BOUND, f"Python heap grew by {heap} bytes over {calls} calls"
    assert resident is None or resident < RSS_BOUND, f"resident memory grew by {resident} bytes"
    assert not moved, "a reference was leaked or stolen"


def test_probe_notices_one_kilobyte_per_call(traced):
    """The bounds are tight enough: keeping one 1 KiB copy per call, as a
    Python object or as native memory, fails them."""
    kept = []
    heap, _, _ = measure(lambda: kept.append(bytes(1024)), CALLS, [])
    assert heap > HEAP_BOUND
    if rss() is not None and not SANITIZED:
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.memset.argtypes = (ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t)
        _, resident, _ = measure(lambda: libc.memset(libc.malloc(1024), 1, 1024), CALLS, [])
        assert resident > RSS_BOUND
