"""The one-shot history dehydration: survival rule, prefix, clamps, conversions,
and a bit-exact differential check against the model (tests/model.py)."""
import math
import random
import sys
import threading

import numpy as np

import pytest

import model
import zelmo_micro as z
from conftest import assert_raises_with_note

KEYS = ["kept", "blocks_in", "blocks_kept", "blocks_purged", "tokens_before", "tokens_after",
        "reduction", "stable_prefix_tokens", "kernel_latency_us"]
DOC = (
    "Dehydrate a whole message history in a single pass (oldest \u2192 newest).\n"
    "\n"
    "`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\n"
    "are decayed by recency-weighted half-life and purged below `safe_threshold`;\n"
    "durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\n"
    "plus audited savings and the pure-kernel latency in microseconds.\n"
    "\n"
    "`stable_prefix` is the cache-aware zone: the first N messages are kept\n"
    "verbatim no matter their class, so a provider prompt-cache prefix stays\n"
    "byte-identical between calls. Apoptosis only acts on the mobile suffix."
)


def run(*args, **kwargs):
    out = z.dehydrate(*args, **kwargs)
    latency = out.pop("kernel_latency_us")
    assert type(latency) is float and latency >= 0.0
    return out


def survivors(flags, n, **kw):
    """Ages (0 = newest) that survive among n messages of one class."""
    out = z.dehydrate([(str(n - 1 - i), flags) for i in range(n)], **kw)
    return sorted(int(t) for t in out["kept"])


def test_result_shape_and_docstring():
    out = z.dehydrate([("hello", z.USER), ("tool", z.TOOL)])
    assert list(out) == KEYS
    assert [type(out[k]) for k in KEYS] == [list, int, int, int, int, int, float, int, float]
    assert out["blocks_kept"] + out["blocks_purged"] == out["blocks_in"] == 2
    assert z.dehydrate.__doc__ == DOC
    assert z.dehydrate.__text_signature__ == "(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)"


def test_empty_history():
    assert run([]) == {"kept": [], "blocks_in": 0, "blocks_kept": 0, "blocks_purged": 0,
                       "tokens_before": 0, "tokens_after": 0, "reduction": 0.0,
                       "stable_prefix_tokens": 0}


@pytest.mark.parametrize("flags, oldest", [
    (z.USER, 9), (z.ASSISTANT, 9), (z.USER | z.TOOL, 9), (z.USER | z.THINKING, 9),
    (0, 4), (64, 4), (z.TOOL, None), (z.THINKING, None), (z.TOOL | z.THINKING, None),
])
def test_age_thresholds_with_defaults(flags, oldest):
    expected = [] if oldest is None else list(range(oldest + 1))
    assert survivors(flags, 15) == expected


def test_fifteen_user_messages_lose_the_five_oldest():
    msgs = [(f"m{i}", z.USER) for i in range(15)]
    out = run(msgs)
    assert out["kept"] == [f"m{i}" for i in range(5, 15)]
    assert (out["blocks_kept"], out["blocks_purged"]) == (10, 5)
    assert out["reduction"] == 1 - 10 / 15


@pytest.mark.parametrize("threshold", [0.35, 1e30, math.inf, math.nan])
@pytest.mark.parametrize("flags", [z.SYSTEM, z.FACT, z.SYSTEM | z.TOOL, z.FACT | z.USER | 64])
def test_durable_survive_any_age_and_threshold(flags, threshold):
    assert survivors(flags, 40, safe_threshold=threshold) == list(range(40))


def test_nan_threshold_purges_everything_judged():
    msgs = [("p", z.TOOL), ("s", z.SYSTEM), ("u", z.USER), ("x", 0)]
    assert run(msgs, safe_threshold=math.nan, stable_prefix=1)["kept"] == ["p", "s"]


@pytest.mark.parametrize("threshold", [0.0, -1.0, -math.inf])
def test_threshold_at_or_below_zero_keeps_everything(threshold):
    assert survivors(z.THINKING, 200, half_life=0.1, safe_threshold=threshold) == list(range(200))


@pytest.mark.parametrize("half_life", [0.0, -5.0, math.nan, 0.05, -math.inf, 1e-40])
def test_small_or_nan_half_life_acts_as_tenth(half_life):
    msgs = [(str(i), f) for i, f in enumerate([0, z.USER, z.ASSISTANT, z.USER, 0, z.USER] * 3)]
    for threshold in (0.35, 1e-3, 1e-12):
        assert run(msgs, half_life, threshold) == run(msgs, 0.1, threshold)


def test_stable_prefix():
    msgs = [("tool a", z.TOOL), ("think b", z.THINKING), ("tool c", z.TOOL), ("user d", z.USER)]
    out = run(msgs, stable_prefix=2)
    assert out["kept"] == ["tool a", "think b", "user d"]
    assert out["stable_prefix_tokens"] == model.tokens("tool a") + model.tokens("think b")
    for prefix in (4, 5, 2**64 - 1):
        out = run(msgs, stable_prefix=prefix)
        assert out["kept"] == [m for m, _ in msgs]
        assert out["reduction"] == 0.0 and out["stable_prefix_tokens"] == out["tokens_before"]


def test_texts_come_back_unchanged():
    texts = ["caf\u00e9 \u65e5\u672c\u8a9e", "\U0001F600\n\t  x", "", "a\u00a0b", "\x00nul"]
    out = run([(t, z.USER) for t in texts])
    assert out["kept"] == texts
    assert out["tokens_before"] == sum(model.tokens(t) for t in texts)


def test_token_estimate_counts_utf8_bytes():
    out = run([("", 1), ("abc", 1), ("abcd", 1), ("\u00e9" * 2, 1), ("x" * 1000, 1)])
    assert out["tokens_before"] == 1 + 1 + 2 + 2 + 251


@pytest.mark.parametrize("text", [
    "plain ascii", "caf\u00e9" * 300, "\u2014 dash \u201cquoted\u201d" * 200, "\U0001F680 go " * 400,
    "\u00e9" * 5000, "x" * 4095 + "\u65e5", "\U0001F600" * 4097,
])
def test_token_counts_follow_utf8_length_of_every_storage_width(text):
    # Latin-1, two-byte, four-byte, and texts longer than the counting buffer.
    out = run([(text, z.USER), (text[::-1], z.FACT)])
    assert out["tokens_before"] == model.tokens(text) + model.tokens(text[::-1])
    assert out["tokens_after"] == out["tokens_before"]
    assert out["kept"] == [text, text[::-1]]


class Text(str):
    pass


def test_str_subclass_texts_come_back_as_plain_str():
    out = run([(Text("sub \u00e9"), z.USER), ("plain", z.USER)])
    assert out["kept"] == ["sub \u00e9", "plain"]
    assert [type(t) for t in out["kept"]] == [str, str]


@pytest.mark.parametrize("text", ["a\ud800b", "\u00e9" * 5000 + "\udfff", "x\udc80" * 3000])
def test_lone_surrogates_raise_the_encoders_error(text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as got:
        z.dehydrate([("fine", z.USER), (text, z.USER)])
    assert str(got.value) == str(expected.value)
    if sys.version_info >= (3, 11):
        assert got.value.__notes__ == ["while processing 'messages'"]


def test_accepts_any_sequence_and_int_likes():
    class Flags:
        def __index__(self):
            return 2
    msgs = (("a", True), ("b", Flags()), ("c", np.uint32(4)))
    assert run(msgs)["kept"] == ["a", "b", "c"]
    assert run([("a", 1)], np.float64(2.0), 0.5, np.int64(0))["kept"] == ["a"]


class Int(int):
    pass


@pytest.mark.parametrize("flags", [-1, 2**32, 2**64, -(2**70)])
def test_out_of_range_flags_raise_alike_for_int_and_int_subclass(flags):
    # A plain int is read directly; a subclass takes the full conversion.
    errors = []
    for value in (flags, Int(flags)):
        with pytest.raises(OverflowError) as got:
            z.dehydrate([("a", 1), ("b", value)])
        errors.append(str(got.value))
    assert errors[0] == errors[1]


class Flaky:
    """A sequence whose iteration fails at the second item."""
    def __len__(self):
        return 2**62  # only a reservation hint; must not be trusted

    def __getitem__(self, i):
        if i == 0:
            return ("a", 1)
        raise KeyError("boom")


@pytest.mark.parametrize("messages, exc, message", [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ({"a": 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (iter([("a", 1)]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
    ([["a", 1]], TypeError, "'list' object is not an instance of 'tuple'"),
    ([("a", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([(1, 1)], TypeError, "'int' object is not an instance of 'str'"),
    ([("a", -1)], OverflowError, "out of range integral type conversion attempted"),
    ([("a", 2**32)], OverflowError, "out of range integral type conversion attempted"),
    ([("a", 2**64)], OverflowError, None),
    ([("a", 1.0)], TypeError, None),
    ([("a", None)], TypeError, None),
    ([("\ud800", 1)], UnicodeEncodeError, None),
    (Flaky(), KeyError, None),
])
def test_messages_conversion_errors(messages, exc, message):
    assert_raises_with_note(exc, message, "while processing 'messages'", z.dehydrate, messages)


@pytest.mark.parametrize("kwargs, exc, note", [
    ({"half_life": None}, TypeError, "half_life"),
    ({"half_life": "6"}, TypeError, "half_life"),
    ({"safe_threshold": None}, TypeError, "safe_threshold"),
    ({"safe_threshold": 10**400}, OverflowError, "safe_threshold"),
    ({"stable_prefix": -1}, OverflowError, "stable_prefix"),
    ({"stable_prefix": 2**64}, OverflowError, "stable_prefix"),
    ({"stable_prefix": None}, TypeError, "stable_prefix"),
    ({"stable_prefix": 1.5}, TypeError, "stable_prefix"),
])
def test_number_conversion_errors(kwargs, exc, note):
    assert_raises_with_note(exc, None, f"while processing '{note}'", z.dehydrate, [("a", 1)], **kwargs)


def test_first_failing_argument_wins():
    assert_raises_with_note(TypeError, None, "while processing 'messages'",
                            z.dehydrate, 5, half_life=None)


def test_huge_single_precision_arguments():
    # Beyond the single range: an infinite half-life never decays; an infinite
    # threshold purges everything that is not durable.
    assert survivors(0, 50, half_life=1e300) == list(range(50))
    assert survivors(z.USER, 5, safe_threshold=1e300) == []


def test_concurrent_calls_are_independent():
    rng = random.Random(7)
    histories = [[(str(i), rng.choice([0, 2, 4, 16, 32, 1])) for i in range(rng.randrange(2000))]
                 for _ in range(8)]
    expected = [model.dehydrate(h) for h in histories]
    results = [None] * len(histories)

    def work(k):
        for _ in range(5):
            results[k] = run(histories[k])
    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(histories))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert results == expected


FLAG_CHOICES = [0, 1, 2, 4, 8, 16, 32, 48, 18, 34, 64, 80, 96, 2**31, 2**32 - 1, 9, 6]
HALF_LIVES = [0.0, -1.0, math.nan, 0.1, 0.3, 1.0, 2.0, 6.0, 7.25, 100.0, math.inf]
THRESHOLDS = [0.35, 0.0, -0.1, 0.15, 0.25, 0.5, 0.6, 1.0, 1e-6, math.nan]


def test_differential_against_model():
    rng = random.Random(20240607)
    for _ in range(400):
        n = rng.choice([0, 1, 2, 5, 17, 60, 300])
        msgs = [("w" * rng.randrange(12) + "\u00e9" * rng.randrange(3), rng.choice(FLAG_CHOICES))
                for _ in range(n)]
        h = rng.choice(HALF_LIVES + [rng.uniform(0.05, 20.0)])
        t = rng.choice(THRESHOLDS + [rng.uniform(0.0, 1.2)])
        p = rng.choice([0, 0, 1, 3, n, n + 1, rng.randrange(n + 1)])
        assert model.same(run(msgs, h, t, p), model.dehydrate(msgs, h, t, p)), (n, h, t, p)
