"""A byte-driven program over the whole module, and the oracle that judges it.

`run(data)` reads the bytes as a sequence of operations: calls of the four
module functions, and random method sequences on one HormonalBus, one
ContextApoptosis and a few HormonalSignal objects, each shadowed by the
pure-Python model of the module in tests/model.py. Arguments are drawn valid or invalid (wrong types,
out-of-range integers, unencodable text, objects whose conversion hooks raise)
and argument shapes are sometimes broken.

`Finding` is raised when:
  - a call raises an exception outside its failure list (anything but
    TypeError, ValueError, OverflowError, the exception planted in an
    argument, and, for unallocatable capacities, MemoryError or the panic
    exception "capacity overflow"), or a conversion failure lacks its note;
  - a call with valid arguments fails, or one with invalid arguments succeeds;
  - a result or a later observation disagrees with the model (so a failed call
    that changed state is caught too).
Crashes and hangs are caught by the fuzzer around it. The same function runs
the regression inputs in tests/test_fuzz_regressions.py, without atheris.
"""
import math
import os
import struct
import sys

import zelmo_micro as z

# The model of the module is shared with the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import model  # noqa: E402
from model import f32, same  # noqa: E402

try:
    import numpy
except ImportError:  # numpy scalars are one more kind of argument, when present
    numpy = None

NOTES = sys.version_info >= (3, 11)
SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))
MAX_OPS = 48


class Finding(AssertionError):
    pass


class Planted(Exception):
    """Raised by the harness's own conversion hooks."""


def _panic_type():
    try:
        z.HormonalBus(event_capacity=2**64 - 1)
    except BaseException as e:  # noqa: BLE001 - the panic exception is a BaseException
        return type(e)
    raise Finding("an unrepresentable event capacity was accepted")


PANIC = _panic_type()


# ----------------------------------------------------------------------------
# Reading the input.

class Source:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def done(self):
        return self.pos >= len(self.data)

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        return (self.byte() | self.byte() << 8) % n if n > 256 else self.byte() % n

    def bits(self, nbytes):
        return int.from_bytes(bytes(self.byte() for _ in range(nbytes)), "little")

    def pick(self, seq):
        return seq[self.below(len(seq))]


# An argument is drawn as (object, value): value is what the module should see,
# or INVALID when its conversion must fail.
INVALID = object()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is INVALID:
            raise Planted("__index__")
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if self.value is INVALID:
            raise Planted("__float__")
        return self.value


def gen_uint(src, bits):
    top = 2**bits
    k = src.below(14)
    if k == 0:
        v = src.byte()
    elif k == 1:
        v = src.bits(bits // 8)
    elif k == 2:
        v = top - 1 - src.byte() % 3
    elif k == 3:
        return (top + src.byte(), INVALID)
    elif k == 4:
        return (-1 - src.byte(), INVALID)
    elif k == 5:
        b = bool(src.byte() & 1)
        return b, int(b)
    elif k == 6:
        v = src.byte()
        return Index(v), v
    elif k == 7:
        return Index(INVALID), INVALID
    elif k == 8:
        return src.pick([1.0, 2.5, None, "3", b"4", [5], 2**70, -(2**70)]), INVALID
    elif k == 9 and numpy is not None:
        v = src.byte()
        return (numpy.uint32(v) if bits == 32 else numpy.uint64(v)), v
    else:
        v = src.bits(1) >> src.below(8)
    return v, v


FLOATS = [0.0, -0.0, 1.0, 0.5, 0.1, 0.35, 0.25, 2.0, 6.0, -1.0, 100.0, 1e-6, math.nan, math.inf,
          -math.inf, 1e39, -1e39, 3.4028235e38, 1e-45, 5e-324, 0.0625, 0.1875, -0.0004, 0.0005]


def gen_float(src):
    k = src.below(12)
    if k < 4:
        v = src.pick(FLOATS)
        return v, v
    if k == 4:
        v = struct.unpack("f", struct.pack("I", src.bits(4)))[0]
        return v, v
    if k == 5:
        v = struct.unpack("d", struct.pack("Q", src.bits(8)))[0]
        return v, v
    if k == 6:
        v = src.byte() - 128
        return v, float(v)
    if k == 7:
        v = src.pick(FLOATS)
        return Float(v), v
    if k == 8:
        return Float(INVALID), INVALID
    if k == 9:
        return src.pick([None, "1.0", b"x", [1.0], 2**1100, complex(1, 1)]), INVALID
    if k == 10 and numpy is not None:
        v = f32(src.pick(FLOATS))
        return numpy.float32(v), v
    v = src.byte() / 7.0
    return v, v


PIECES = ["a", "b", "word", "the", "quick", "brown", "fox", "why", "how", "fn", "(fn)", "fn::new",
          "design", "DESIGN", "Refactor", "must", "never", "ok", "thanks", "não", "nao", "na\u0303o",
          "\u0130", "\u03a3", "\u039f\u0394\u039f\u03a3", "\u00df", "\ufb01", "\U0001F600", "\u00e9",
          "e\u0301", "0123", "{", "}", ";", "=", "<>", "`", "x" * 40, "\u00e9" * 30, "\u200b",
          "\x00", "\x1c", "\u2126", "\u212a"]
SPACES = [" ", " ", " ", "  ", "\t", "\n", "\r\n", "\u00a0", "\u2028", "\u3000", "\u0085", "\u1680",
          "\u202f", ""]


def gen_text(src):
    """(str, its value) with mostly valid, sometimes unencodable text."""
    k = src.below(16)
    n = src.below(40)
    parts = []
    for _ in range(n):
        parts.append(src.pick(PIECES))
        parts.append(src.pick(SPACES))
    text = "".join(parts) * (1 + (src.byte() % 8 if k == 0 else 0) * 16)
    if k == 1:
        return text + "\ud800", INVALID
    return text, text


def gen_str_arg(src):
    if src.below(12) == 0:
        return src.pick([None, 5, b"bytes", ["x"], 1.5]), INVALID
    return gen_text(src)


def gen_optional_text(src):
    obj, value = gen_str_arg(src)
    return (None, None) if obj is None or src.below(6) == 0 else (obj, value)


def gen_bool(src):
    k = src.below(8)
    if k < 5:
        b = bool(k & 1)
        return b, b
    if k == 5 and numpy is not None:
        b = bool(src.byte() & 1)
        return numpy.bool_(b), b
    return src.pick([0, 1, None, "True", 1.0]), INVALID


class Pairs:
    """A sequence of pairs that is neither list nor tuple; its length may fail
    and its iteration may raise part-way."""

    def __init__(self, items, fail_len, raise_at):
        self.items, self.fail_len, self.raise_at = items, fail_len, raise_at

    def __len__(self):
        if self.fail_len:
            raise Planted("__len__")
        return len(self.items)

    def __getitem__(self, i):
        if i == self.raise_at:
            raise Planted("__getitem__")
        return self.items[i]


BLOCK_FLAGS = [0, 1, 2, 4, 8, 16, 32, 18, 48, 64, 9, 6, 2**31, 2**32 - 1]


def gen_messages(src):
    """(object, list of (text, flags) or INVALID): valid pairs, at most one
    of them spoiled, in a list, a tuple or a sequence of another type."""
    n = src.below(40) if src.below(4) else src.below(400)
    items, values = [], []
    for _ in range(n):
        text = gen_text(src)[0].encode("utf-8", "replace").decode() if src.below(4) else \
            src.pick(["", "m", "hello world", "\u00e9t\u00e9"])
        flags = src.pick(BLOCK_FLAGS)
        items.append((text, flags))
        values.append((text, flags))
    valid = True
    if n and src.below(3) == 0:
        i, k = src.below(n), src.below(6)
        text, flags = items[i]
        valid = False
        if k == 0:
            items[i] = [text, flags]
        elif k == 1:
            items[i] = (text, flags, 0)[: src.pick([0, 1, 3])]
        elif k == 2:
            items[i] = (flags, text)
        elif k == 3:
            items[i] = (text + "\ud800", flags)
        else:
            obj, value = gen_uint(src, 32)
            items[i] = (text, obj)
            if value is not INVALID:
                values[i], valid = (text, value), True
    shape = src.below(16)
    if shape == 0:
        return "".join(t for t, _ in values), INVALID
    if shape == 1:
        return src.pick([None, 5, {1: 2}, {("a", 1)}, iter(items)]), INVALID
    if shape == 2:
        return tuple(items), values if valid else INVALID
    if shape == 3:
        raise_at = src.below(n + 2)
        obj = Pairs(items, bool(src.byte() & 1), raise_at)
        return obj, values if valid and raise_at > n else INVALID
    return items, values if valid else INVALID


# ----------------------------------------------------------------------------
# Calling with the oracle.

def call(fn, name, params, required, drawn, allow=()):
    """Calls fn with drawn = [(object, value) or None for an omitted optional
    parameter], sometimes with a broken argument shape, and judges the
    outcome against the failure list. Returns (ok, result)."""
    src = call.src
    args, kwargs = [], {}
    cut = src.below(len(params) + 1) if src.below(3) == 0 else len(params)
    for i, (p, d) in enumerate(zip(params, drawn)):
        if d is None:
            cut = min(cut, i)  # after an omitted parameter, keywords only
        elif i < cut:
            args.append(d[0])
        else:
            kwargs[p] = d[0]
    broken = src.below(24) == 0
    if broken:
        how = src.below(4)
        if how == 0:  # too many positional arguments
            args, kwargs = [d[0] if d else 0 for d in drawn] + [0], {}
        elif how == 1 or not required:  # an unknown keyword
            kwargs["no_such_argument"] = 1
        elif how == 2:  # the first parameter twice
            kwargs = dict(zip(params, args), **kwargs)
            args = [kwargs[params[0]]]
        else:  # a required parameter missing
            kwargs = dict(zip(params, args), **kwargs)
            args = []
            del kwargs[params[src.below(required)]]
    invalid = [p for p, d in zip(params, drawn) if d is not None and d[1] is INVALID]
    try:
        result = fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - judged here
        notes = getattr(e, "__notes__", None)
        if broken:
            if type(e) is not TypeError or notes:
                raise Finding(f"{name}: a broken call raised {e!r} (notes {notes})") from e
        elif invalid:
            if not isinstance(e, (TypeError, ValueError, OverflowError, Planted)):
                raise Finding(f"{name}: invalid {invalid[0]} raised {type(e).__qualname__}: {e}") from e
            if NOTES and notes != [f"while processing '{invalid[0]}'"]:
                raise Finding(f"{name}: {e!r} noted {notes}, first invalid argument {invalid[0]}") from e
        elif not (isinstance(e, allow) and not isinstance(e, PANIC) or
                  isinstance(e, PANIC) and PANIC in allow and str(e) == "capacity overflow"):
            raise Finding(f"{name}: valid arguments raised {type(e).__module__}."
                          f"{type(e).__qualname__}: {e}") from e
        return False, None
    if broken or invalid:
        raise Finding(f"{name}: accepted {'a broken call' if broken else 'an invalid ' + invalid[0]}")
    return True, result


def maybe(src, gen, *a):
    """An optional argument: omitted (None) or drawn."""
    return None if src.below(3) == 0 else gen(src, *a)


def expect(cond, what):
    if not cond:
        raise Finding(what)


def drawn_kwargs(params, drawn):
    """The values of the drawn arguments by name; omitted ones are left out."""
    return {p: d[1] for p, d in zip(params, drawn) if d is not None}


def shown(value, limit=300):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def mirror(fn, shadow, name, params, required, drawn):
    """Calls fn through `call` and, when it succeeds, the model's `shadow`
    (which takes the same parameters) with the values the module should have
    seen; the two results must be the same to the bit."""
    ok, r = call(fn, name, params, required, drawn)
    if ok:
        args = drawn_kwargs(params, drawn)
        want = shadow(**args)
        expect(same(r, want), f"{name}({shown(args)}) = {shown(r)}, model {shown(want)}")
    return ok, r


# ----------------------------------------------------------------------------
# Module functions against their models.

def op_effort_gauge(src, state):
    # The drawn texts hold only characters that every Unicode version since 6
    # classifies and lowers alike, where the model is exact.
    mirror(z.effort_gauge, model.effort_gauge, "effort_gauge", ["text"], 1, [gen_str_arg(src)])


def op_saturation_scan(src, state):
    drawn = [gen_str_arg(src), maybe(src, gen_uint, 64)]
    mirror(z.saturation_scan, model.saturation_scan, "saturation_scan", ["text", "window"], 1, drawn)


def op_consolidation_gain(src, state):
    params = ["prefix_tokens", "purgeable_tokens", "calls_ahead", "cache_read_ratio", "cache_write_ratio"]
    drawn = [gen_uint(src, 64), gen_uint(src, 64), maybe(src, gen_uint, 32), maybe(src, gen_float),
             maybe(src, gen_float)]
    mirror(z.consolidation_gain, model.consolidation_gain, "consolidation_gain", params, 2, drawn)


def op_dehydrate(src, state):
    params = ["messages", "half_life", "safe_threshold", "stable_prefix"]
    drawn = [gen_messages(src), maybe(src, gen_float), maybe(src, gen_float), maybe(src, gen_uint, 64)]
    ok, r = call(z.dehydrate, "dehydrate", params, 1, drawn)
    if ok:
        want = model.dehydrate(**drawn_kwargs(params, drawn))
        latency = r.pop("kernel_latency_us", None)
        expect(isinstance(latency, float) and latency >= 0.0, f"kernel_latency_us {latency}")
        expect(same(r, want), f"dehydrate: {shown(r)} != model {shown(want)}")


# ----------------------------------------------------------------------------
# HormonalSignal and HormonalBus.

def op_new_signal(src, state):
    drawn = [gen_uint(src, 32), maybe(src, gen_float)]
    ok, s = call(z.HormonalSignal, "HormonalSignal", ["flags", "intensity"], 1, drawn)
    if ok:
        shadow = model.Signal(**drawn_kwargs(["flags", "intensity"], drawn))
        state["signals"] = (state["signals"] + [(s, shadow)])[-4:]


def op_signal(src, state):
    if not state["signals"]:
        return op_new_signal(src, state)
    s, shadow = src.pick(state["signals"])
    k = src.below(6)
    if k == 0:
        v = gen_uint(src, 32)
        ok, _ = call(lambda flags: setattr(s, "flags", flags), "HormonalSignal.flags=", ["flags"], 1, [v])
        if ok:
            shadow.flags = v[1]
    elif k == 1:
        v = gen_float(src)
        ok, _ = call(lambda intensity: setattr(s, "intensity", intensity), "HormonalSignal.intensity=",
                     ["intensity"], 1, [v])
        if ok:
            shadow.intensity = v[1]
    elif k == 2:
        name = src.pick(["flags", "intensity"])
        try:
            delattr(s, name)
        except AttributeError as e:
            expect(str(e) == "property has no deleter", f"del {name}: {e}")
        else:
            raise Finding(f"del HormonalSignal.{name} succeeded")
    expect(s.flags == shadow.flags and same(s.intensity, shadow.intensity), f"signal {s!r} != model {shadow!r}")
    expect(repr(s) == repr(shadow) == str(s), f"repr {s!r} != {shadow!r}")


def capacity(src, small, huge):
    """An optional capacity: small, unallocatable or unrepresentable (which
    must fail), or an invalid object. Sizes in between are never drawn: they
    would really be allocated. Under AddressSanitizer, which announces every
    refused allocation on stderr, only the unrepresentable ones are drawn."""
    k = src.below(12)
    if k < 3:
        return None
    if k == 3:
        v = src.pick(huge[1:] if SANITIZED else huge)
        return v, v
    if k == 4:
        v = gen_uint(src, 64)
        return v if v[1] is INVALID else None
    v = src.pick(small)
    return v, v


def op_new_bus(src, state):
    n = maybe(src, gen_uint, 64)
    cap = capacity(src, [0, 1, 2, 3, 7, 16, 64], [2**40, 2**62, 2**64 - 1])
    huge = cap is not None and cap[1] is not INVALID and cap[1] >= 2**40
    ok, bus = call(z.HormonalBus, "HormonalBus", ["num_signals", "event_capacity"], 0, [n, cap],
                   allow=(MemoryError, PANIC) if huge else ())
    if ok:
        if huge:
            raise Finding(f"HormonalBus(event_capacity={cap[1]}) was created")
        state["bus"] = (bus, model.Bus(**drawn_kwargs(["num_signals", "event_capacity"], [n, cap])))


def check_bus(bus, m):
    expect(same(bus.snapshot(), m.snapshot()), f"snapshot {bus.snapshot()} != model {m.snapshot()}")
    st, want = bus.stats(), m.stats()
    expect(sorted(st) == sorted(want) and all(same(st[k], want[k]) for k in want),
           f"stats {st} != model {want}")


def op_bus(src, state):
    if state["bus"] is None:
        return op_new_bus(src, state)
    bus, m = state["bus"]
    k = src.below(8)
    if k == 0:
        if state["signals"] and src.below(4):
            s, shadow = src.pick(state["signals"])
            arg, value = s, shadow
        else:
            arg, value = src.pick([5, None, "sig", 1.0, bus]), INVALID
        mirror(bus.inject, m.inject, "HormonalBus.inject", ["signal"], 1, [(arg, value)])
    elif k == 1:
        mirror(bus.secrete, m.secrete, "HormonalBus.secrete", ["flags", "intensity"], 2,
               [gen_uint(src, 32), gen_float(src)])
    elif k == 2:
        mirror(bus.sense, m.sense, "HormonalBus.sense", ["mask"], 1, [gen_uint(src, 32)])
    elif k == 3:
        mirror(bus.concentration, m.concentration, "HormonalBus.concentration", ["signal_bit"], 1,
               [gen_uint(src, 64)])
    elif k == 4:
        mirror(bus.tick, m.tick, "HormonalBus.tick", ["decay"], 1, [gen_float(src)])
    elif k == 5:
        mirror(bus.drain_events, m.drain_events, "HormonalBus.drain_events", ["max"], 1, [gen_uint(src, 64)])
    else:
        check_bus(bus, m)


# ----------------------------------------------------------------------------
# ContextApoptosis.

def op_new_window(src, state):
    params = ["half_life", "safe_threshold", "capacity", "state_capacity"]
    drawn = [maybe(src, gen_float), maybe(src, gen_float),
             capacity(src, [0, 1, 4, 256], [2**50, 2**60, 2**64 - 1]), maybe(src, gen_uint, 64)]
    huge = drawn[2] is not None and drawn[2][1] is not INVALID and drawn[2][1] >= 2**50
    ok, w = call(z.ContextApoptosis, "ContextApoptosis", params, 0, drawn,
                 allow=(MemoryError, PANIC) if huge else ())
    if ok:
        if huge:
            raise Finding(f"ContextApoptosis(capacity={drawn[2][1]}) was created")
        values = drawn_kwargs(params, drawn)
        values.pop("capacity", None)  # a reservation only, not modelled
        state["window"] = (w, model.Window(**values))


def check_window(w, m):
    expect(len(w) == len(m) and w.active_context() == m.active_context(),
           f"window holds {w.active_context()[:6]}, model {m.active_context()[:6]}")
    expect(w.active_tokens() == m.active_tokens(), f"active_tokens {w.active_tokens()} != {m.active_tokens()}")
    expect(w.inserted_tokens() == m.inserted_tokens(),
           f"inserted_tokens {w.inserted_tokens()} != {m.inserted_tokens()}")
    expect(same(w.reduction_ratio(), m.reduction_ratio()),
           f"reduction_ratio {w.reduction_ratio()} != {m.reduction_ratio()}")
    expect(w.state_entries() == m.state_entries(), f"ledger {w.state_entries()} != {m.state_entries()}")
    expect(w.render() == m.render(), "render differs from the model")


def op_window(src, state):
    if state["window"] is None:
        return op_new_window(src, state)
    w, m = state["window"]
    k = src.below(7)
    if k <= 1:
        content = gen_str_arg(src)
        if src.below(3):
            signal = (lambda v: (v, v))(src.pick([0, 1, 2, 4, 8, 16, 32, 6, 18, 48, 64, 9]))
        else:
            signal = maybe(src, gen_uint, 32)
        mirror(w.insert, m.insert, "ContextApoptosis.insert", ["content", "signal", "oxygen"], 1,
               [content, signal, maybe(src, gen_float)])
    elif k == 2:
        mirror(w.dehydrate, m.dehydrate, "ContextApoptosis.dehydrate", ["reinforce_boost", "absorb"], 0,
               [maybe(src, gen_float), maybe(src, gen_bool)])
    elif k == 3:
        fact = gen_str_arg(src) if src.below(3) else (lambda t: (t, t))(src.pick(m.ledger or ["fact"]))
        mirror(w.note_state, m.note_state, "ContextApoptosis.note_state", ["fact"], 1, [fact])
    elif k == 4:
        mirror(w.set_purpose, m.set_purpose, "ContextApoptosis.set_purpose", ["text"], 1,
               [gen_optional_text(src)])
    else:
        check_window(w, m)


# ----------------------------------------------------------------------------

OPS = [op_effort_gauge, op_saturation_scan, op_consolidation_gain, op_dehydrate, op_dehydrate,
       op_new_signal, op_signal, op_new_bus] + [op_bus] * 5 + [op_new_window] + [op_window] * 6


def run(data):
    """Runs the program the bytes describe; raises Finding on a fault."""
    src = Source(data)
    call.src = src
    state = {"signals": [], "bus": None, "window": None}
    for _ in range(MAX_OPS):
        if src.done():
            break
        src.pick(OPS)(src, state)
    if state["bus"] is not None:
        check_bus(*state["bus"])
    if state["window"] is not None:
        check_window(*state["window"])
