"""The module surface, argument matching and consolidation_gain."""
import gc
import importlib
import inspect
import math
import os
import shutil
import subprocess
import sys
import tracemalloc

import pytest

import model
import zelmo_micro as z
from conftest import HAS_NOTES, assert_raises_with_note

ALL = [
    "HormonalBus", "HormonalSignal", "ContextApoptosis", "dehydrate", "saturation_scan",
    "consolidation_gain", "effort_gauge", "SYSTEM", "USER", "ASSISTANT", "FACT", "TOOL",
    "THINKING", "__doc__", "__version__",
]
TITLE = "Z.E.L.M.O. Micro-Kernel \u2014 lock-free hormonal bus + context apoptosis."

SIGNATURES = {
    "dehydrate": "(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)",
    "saturation_scan": "(text, window=8)",
    "consolidation_gain": "(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1, cache_write_ratio=1.25)",
    "effort_gauge": "(text)",
    "HormonalBus": "(num_signals=32, event_capacity=4096)",
    "HormonalSignal": "(flags, intensity=1.0)",
    "ContextApoptosis": "(half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64)",
}


def registered(name):
    return name in z.__all__


def test_all_lists_every_registration_in_order():
    assert z.__all__ == [n for n in ALL if hasattr(z, n)]
    assert z.__all__ == ALL or len(z.__all__) < len(ALL)  # later subsystems add their names


def test_title_version_and_constants():
    assert z.__doc__ == TITLE
    assert len(z.__doc__.encode()) == 71
    assert z.__version__ == "1.1.0"
    consts = {n: getattr(z, n) for n in ("SYSTEM", "USER", "ASSISTANT", "FACT", "TOOL", "THINKING")}
    assert consts == {"SYSTEM": 1, "USER": 2, "ASSISTANT": 4, "FACT": 8, "TOOL": 16, "THINKING": 32}
    assert all(type(v) is int for v in consts.values())
    assert z.SYSTEM | z.FACT == 9 and z.USER | z.ASSISTANT == 6


def test_extension_file_is_abi3():
    assert z.__file__.endswith("zelmo_micro.abi3.so")


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signatures(name):
    if not registered(name):
        pytest.skip(f"{name} not registered yet")
    obj = getattr(z, name)
    assert str(inspect.signature(obj)) == SIGNATURES[name]
    assert obj.__text_signature__ == SIGNATURES[name]


@pytest.mark.parametrize("name", ["dehydrate", "saturation_scan", "consolidation_gain", "effort_gauge"])
def test_functions_are_bound_to_the_module(name):
    if not registered(name):
        pytest.skip(f"{name} not registered yet")
    fn = getattr(z, name)
    assert fn.__self__ is z
    assert fn.__module__ == "zelmo_micro"
    assert fn.__name__ == name


@pytest.mark.parametrize("name", ["HormonalBus", "HormonalSignal", "ContextApoptosis"])
def test_classes_report_builtins(name):
    if not registered(name):
        pytest.skip(f"{name} not registered yet")
    cls = getattr(z, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name == cls.__name__


def test_reimport_reuses_type_objects():
    before = {n: getattr(z, n) for n in ("HormonalBus", "HormonalSignal", "ContextApoptosis") if registered(n)}
    saved = sys.modules.pop("zelmo_micro")
    try:
        fresh = importlib.import_module("zelmo_micro")
        assert fresh is not saved
        assert fresh.__all__ == saved.__all__
        assert fresh.consolidation_gain.__self__ is fresh
        for n, cls in before.items():
            assert getattr(fresh, n) is cls
    finally:
        sys.modules["zelmo_micro"] = saved


# --- argument matching -------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: z.consolidation_gain(),
         "consolidation_gain() missing 2 required positional arguments: 'prefix_tokens' and 'purgeable_tokens'"),
        (lambda: z.consolidation_gain(1),
         "consolidation_gain() missing 1 required positional argument: 'purgeable_tokens'"),
        (lambda: z.consolidation_gain(purgeable_tokens=1),
         "consolidation_gain() missing 1 required positional argument: 'prefix_tokens'"),
        (lambda: z.consolidation_gain(1, 2, 3, 4, 5, 6),
         "consolidation_gain() takes from 2 to 5 positional arguments but 6 were given"),
        (lambda: z.consolidation_gain(1, 2, calls=3),
         "consolidation_gain() got an unexpected keyword argument 'calls'"),
        (lambda: z.consolidation_gain(1, 2, prefix_tokens=3),
         "consolidation_gain() got multiple values for argument 'prefix_tokens'"),
        # The keyword checks run before the missing-argument check.
        (lambda: z.consolidation_gain(bogus=1),
         "consolidation_gain() got an unexpected keyword argument 'bogus'"),
        (lambda: z.consolidation_gain(**{"pr\u00e9fix": 1}),
         "consolidation_gain() got an unexpected keyword argument 'pr\u00e9fix'"),
        (lambda: z.consolidation_gain(**{"\udc80": 1}),
         "consolidation_gain() got an unexpected keyword argument '\udc80'"),
    ],
)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: z.effort_gauge("a", "b"), "effort_gauge() takes 1 positional arguments but 2 were given"),
        (lambda: z.dehydrate([], 1, 2, 3, 4), "dehydrate() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: z.saturation_scan("x", windw=3), "saturation_scan() got an unexpected keyword argument 'windw'"),
        (lambda: z.dehydrate([], messages=[]), "dehydrate() got multiple values for argument 'messages'"),
        (lambda: z.ContextApoptosis().insert("x", sig=1),
         "ContextApoptosis.insert() got an unexpected keyword argument 'sig'"),
        (lambda: z.HormonalBus(1, 2, 3), "HormonalBus.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda: z.HormonalBus().secrete(),
         "HormonalBus.secrete() missing 2 required positional arguments: 'flags' and 'intensity'"),
        (lambda: z.HormonalBus().sense(1, 2), "HormonalBus.sense() takes 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching_on_every_kind_of_callable(call, message):
    try:
        with pytest.raises(TypeError) as info:
            call()
    except AttributeError:
        pytest.skip("callable not registered yet")
    assert str(info.value) == message


# --- consolidation_gain -------------------------------------------------------

def test_consolidation_gain_defaults():
    g = z.consolidation_gain(10000, 4000)
    assert list(g) == ["consolidate", "gain_token_equiv", "cost_keep", "cost_consolidate", "break_even_calls"]
    assert g == {"consolidate": False, "gain_token_equiv": -3700.0, "cost_keep": 8000.0,
                 "cost_consolidate": 11700.0, "break_even_calls": 17.249999999999996}
    g = z.consolidation_gain(10000, 9000)
    assert g["cost_consolidate"] == 1950.0 and g["gain_token_equiv"] == 6050.0 and g["consolidate"] is True
    assert g["break_even_calls"] == pytest.approx(1.2778, abs=1e-4)


@pytest.mark.parametrize(
    "args",
    [
        (10000, 20000), (10000, 0), (0, 0), (0, 5), (10, 3, 0), (10, 3, 1), (2**64 - 1, 2**63),
        (10, 4, 8, 0.0), (10, 4, 8, -0.5, 2.0), (10, 4, 8, math.inf), (10, 4, 8, math.nan),
        (10, 4, 8, 0.1, math.inf), (10, 4, 2**32 - 1, 0.3, 0.3), (7, 7, 3, 0.1, 0.1),
    ],
)
def test_consolidation_gain_matches_model(args):
    got, want = z.consolidation_gain(*args), model.consolidation_gain(*args)
    assert model.same(got, want), (got, want)


def test_consolidation_gain_edges():
    assert z.consolidation_gain(10000, 20000)["cost_consolidate"] == 0.0
    assert z.consolidation_gain(10000, 20000)["break_even_calls"] == 0.0
    assert z.consolidation_gain(10000, 0)["break_even_calls"] == math.inf
    g0 = z.consolidation_gain(0, 0)
    assert g0["consolidate"] is False and g0["gain_token_equiv"] == 0.0 and g0["break_even_calls"] == math.inf
    assert z.consolidation_gain(100, 40, calls_ahead=0) == z.consolidation_gain(100, 40, calls_ahead=1)
    be = z.consolidation_gain(100, 40, cache_read_ratio=0.0)["break_even_calls"]
    assert math.isinf(be) or math.isnan(be)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "kwargs, exc, message, param",
    [
        ({"prefix_tokens": -1}, OverflowError, None, "prefix_tokens"),
        ({"prefix_tokens": 2**64}, OverflowError, None, "prefix_tokens"),
        ({"prefix_tokens": 1.5}, TypeError, None, "prefix_tokens"),
        ({"prefix_tokens": None}, TypeError, None, "prefix_tokens"),
        ({"purgeable_tokens": "3"}, TypeError, None, "purgeable_tokens"),
        ({"calls_ahead": -1}, OverflowError, "out of range integral type conversion attempted", "calls_ahead"),
        ({"calls_ahead": 2**32}, OverflowError, "out of range integral type conversion attempted", "calls_ahead"),
        ({"calls_ahead": 2**63}, OverflowError, None, "calls_ahead"),
        ({"calls_ahead": 2.0}, TypeError, None, "calls_ahead"),
        ({"cache_read_ratio": "x"}, TypeError, None, "cache_read_ratio"),
        ({"cache_read_ratio": None}, TypeError, None, "cache_read_ratio"),
        ({"cache_write_ratio": 10**400}, OverflowError, None, "cache_write_ratio"),
    ],
)
def test_consolidation_gain_conversion_failures(kwargs, exc, message, param):
    full = {"prefix_tokens": 10, "purgeable_tokens": 4, **kwargs}
    e = assert_raises_with_note(exc, message, f"while processing '{param}'", z.consolidation_gain, **full)
    if exc is OverflowError and message is None and param != "cache_write_ratio":
        assert str(e) != "out of range integral type conversion attempted"


def test_consolidation_gain_accepts_index_and_bool():
    assert z.consolidation_gain(Index(10), True, Index(3)) == z.consolidation_gain(10, 1, 3)


def test_first_failing_conversion_wins():
    assert_raises_with_note(OverflowError, None, "while processing 'prefix_tokens'",
                            z.consolidation_gain, -1, -1, calls_ahead=-1)


@pytest.mark.skipif(not HAS_NOTES, reason="add_note needs 3.11")
def test_note_is_not_attached_when_add_note_fails():
    class Boom(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Bad:
        def __index__(self):
            raise Boom("from index")

    with pytest.raises(Boom) as info:
        z.consolidation_gain(Bad(), 1)
    assert str(info.value) == "from index"


def internal_fault():
    """A reachable internal fault: a ring size that cannot be represented."""
    if not registered("HormonalBus"):
        pytest.skip("HormonalBus not registered yet")
    try:
        z.HormonalBus(event_capacity=2**64 - 1)
    except BaseException as e:  # noqa: B036 - the panic is a BaseException
        return e
    pytest.fail("no fault raised")


def test_panic_exception_is_a_base_exception_only():
    e = internal_fault()
    t = type(e)
    assert not isinstance(e, Exception)
    assert t.__bases__ == (BaseException,)
    assert (t.__module__, t.__name__, t.__qualname__) == ("pyo3_runtime", "PanicException", "PanicException")
    assert str(e) == "capacity overflow" and e.args == ("capacity overflow",)
    assert not hasattr(z, "PanicException")
    assert type(internal_fault()) is t  # made once per process


def test_panic_raised_into_the_module_comes_back_as_panic(capfd):
    panic = type(internal_fault())

    class Probe:
        def __index__(self):
            raise panic("boom from python")

    with pytest.raises(BaseException) as info:
        z.consolidation_gain(Probe(), 1)
    assert type(info.value) is panic
    assert str(info.value) == "boom from python"
    assert getattr(info.value, "__notes__", None) is None
    assert "boom from python" in capfd.readouterr().err


def test_other_base_exceptions_pass_through():
    class Stop(BaseException):
        pass

    class Raiser:
        def __index__(self):
            raise Stop("stop")

    with pytest.raises(Stop):
        z.consolidation_gain(Raiser(), 1)


# --- leaks on error paths ------------------------------------------------------

def test_error_paths_do_not_leak():
    calls = [
        lambda: z.consolidation_gain(),
        lambda: z.consolidation_gain(1, 2, 3, 4, 5, 6),
        lambda: z.consolidation_gain(1, 2, nope=3),
        lambda: z.consolidation_gain(-1, 2),
        lambda: z.consolidation_gain(1, 2, cache_read_ratio="x"),
        lambda: z.consolidation_gain(1, 2, calls_ahead=2**40),
    ]

    def run(n):
        for _ in range(n):
            for c in calls:
                try:
                    c()
                except (TypeError, OverflowError):
                    pass
            z.consolidation_gain(1000, 10)

    run(200)
    gc.collect()
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    run(5000)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert grown < 64 * 1024, grown


# --- one binary for every interpreter ------------------------------------------

def other_interpreters():
    """Every CPython >= 3.10 on this machine: on PATH, or under a pyenv root."""
    import glob

    candidates = [shutil.which(f"python3.{m}") for m in range(10, 16)]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3")))
    found, seen = [], set()
    for exe in filter(None, candidates):
        try:
            out = subprocess.run([exe, "-c", "import sys; print(sys.version_info[:2] >= (3, 10) and sys.implementation.name == 'cpython')"],
                                 capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            continue
        if out.returncode != 0 or out.stdout.strip() != "True":
            continue
        real = subprocess.run([exe, "-c", "import sys; print(sys.executable, sys.version)"],
                              capture_output=True, text=True).stdout
        if real not in seen:
            seen.add(real)
            found.append(exe)
    return found


@pytest.mark.parametrize("exe", other_interpreters() or [pytest.param(None, marks=pytest.mark.skip("no other interpreters"))])
def test_same_binary_loads_in_every_interpreter(exe):
    moddir = os.path.dirname(z.__file__)
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import zelmo_micro as z; "
        "assert z.__file__.endswith('zelmo_micro.abi3.so'), z.__file__; "
        "print(z.__version__, z.consolidation_gain(10000, 4000)['cost_keep'])"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([exe, "-I", "-c", code, moddir], capture_output=True, text=True, timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1.1.0", "8000.0"]


# --- text conversion leaves the caller's str alone ------------------------------

TEXT_CALLS = {
    "effort_gauge": lambda s: z.effort_gauge(s),
    "saturation_scan": lambda s: z.saturation_scan(s, 2),
    "dehydrate": lambda s: z.dehydrate([(s, 2)]),
    "insert": lambda s: z.ContextApoptosis().insert(s),
    "note_state": lambda s: z.ContextApoptosis().note_state(s),
    "set_purpose": lambda s: z.ContextApoptosis().set_purpose(s),
}


@pytest.mark.parametrize("name", sorted(TEXT_CALLS))
@pytest.mark.parametrize("text", ["plain ascii words " * 200, "ol\u00e1 \u03a3\u03bf\u03c6\u03af\u03b1 \U0001f600 " * 200])
def test_text_conversion_caches_nothing_on_the_callers_str(name, text):
    before = sys.getsizeof(text)
    TEXT_CALLS[name](text)
    assert sys.getsizeof(text) == before


# Long texts are converted a slice at a time: 1,024 characters, then 16,384
# at a time. A slice is taken as UTF-16 until one holds a character beyond
# U+FFFF, and as code points after that. Characters of every width stand on
# and around the slice edges, in both modes.
FIRST, SLICE = 1024, 16384
EDGE = FIRST + SLICE
WIDE_TEXTS = {
    "latin-1": "ol\u00e1 " * 7000,
    "three-byte at the first edge": "a" * (FIRST - 1) + "\u20ac\u2014" + "b" * 50,
    "three-byte at the second edge": "\u00e9" * (EDGE - 1) + "\u4e2d\u6587" + "b" * 50,
    "cjk": "\u4e2d\u6587 " * 20000,
    "astral in the first slice": "\U0001f680" + "\u00fc" * (2 * SLICE),
    "astral in a middle slice": "\u00e9" * EDGE + "\U0001f680" + "\u00fc\u4e2d a" * SLICE,
    "astral at the first edge": "\u00e9" * (FIRST - 1) + "\U0001f680\U0001f600" + "c" * SLICE,
    "astral at the second edge": "\u00e9" * (EDGE - 1) + "\U0001f680\U0001f600" + "c\u00e9" * SLICE,
    "astral after the edge": "x" * EDGE + "\U0010ffff",
    "every width": "a\u00e9\u0800\uffff\U00010000" * SLICE,
    "astral, then none for a slice": "\U0001f680" + "\u00e9" * (2 * SLICE) + "\U0001f600" + "b" * SLICE,
    "short": "\u00e9",
}


class Text(str):
    pass


@pytest.mark.parametrize("text", WIDE_TEXTS.values(), ids=WIDE_TEXTS.keys())
def test_text_conversion_round_trips_every_width(text):
    w = z.ContextApoptosis()
    w.insert(text)
    w.note_state(Text(text))
    assert w.active_context() == [text]
    assert w.state_entries() == [text]


@pytest.mark.parametrize("text", ["\u00e9" * (EDGE + 10) + "\ud800", "\U0001f600" * EDGE + "\udfff tail",
                                  "\U0001f600" + "\u00e9" * EDGE + "\ud800",
                                  # a pair of surrogates as two characters: not one emoji
                                  "\u00e9" * EDGE + "\ud83d\ude00", "\U0001f600" * EDGE + "\ud83d\ude00"])
def test_lone_surrogate_in_a_later_slice_raises_the_encoders_error(text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as got:
        z.ContextApoptosis().insert(text)
    assert str(got.value) == str(expected.value)


def test_module_constants_and_unsigned_results_are_non_negative():
    assert z.HormonalSignal(0xFFFFFFFF).flags == 4294967295
    assert z.ContextApoptosis(capacity=0, state_capacity=0) is not None
    with pytest.raises(OverflowError) as info:
        z.ContextApoptosis(capacity=-1)
    assert str(info.value) == "can't convert negative int to unsigned"
