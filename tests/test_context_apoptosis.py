"""The context window: insertion, dehydrate cycles, digests, the STATE ledger,
rendering, argument failures, a stateful model check and a threaded run."""
import math
import random
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import model
import zelmo_micro as z
from conftest import assert_raises_with_note

CA = z.ContextApoptosis
F32 = np.float32

ELLIPSIS = "\u2026"


class Text(str):
    pass



def cycles_survived(w, limit=50, **kw):
    for k in range(limit):
        if w.dehydrate(**kw):
            return k
    return limit


# ----------------------------------------------------------------- insertion

def test_new_window_is_empty_and_false():
    w = CA()
    assert (len(w), w.active_context(), w.active_tokens(), w.inserted_tokens()) == (0, [], 0, 0)
    assert w.reduction_ratio() == 0.0 and w.render() == "" and w.state_entries() == []
    assert not w
    w.insert("x")
    assert w and len(w) == 1


def test_insert_counts_tokens():
    w = CA()
    w.insert("abcd")
    assert w.inserted_tokens() == w.active_tokens() == 2
    w.insert("\u00e9" * 4, z.USER, 1.0)
    assert w.inserted_tokens() == 5 and w.active_context() == ["abcd", "\u00e9" * 4]


def test_capacity_is_not_a_limit():
    w = CA(capacity=1)
    for i in range(1000):
        w.insert(str(i))
    assert len(w) == 1000 and w.active_context()[-1] == "999"
    assert len(CA(capacity=0)) == 0


# Automatic oxygen read back through survival: with an infinite half-life
# nothing decays, so a block survives a cycle exactly when oxygen >= threshold.
@pytest.mark.parametrize("flags, w", [
    (0, 0.6), (64, 0.6), (z.SYSTEM | z.TOOL, None), (z.FACT, None), (z.USER, 1.0),
    (z.ASSISTANT | z.TOOL, 1.0), (z.THINKING, 0.15), (z.TOOL | z.THINKING, 0.15), (z.TOOL, 0.25),
])
def test_automatic_oxygen_is_the_class_weight(flags, w):
    if w is None:  # durable: never purged
        win = CA(half_life=math.inf, safe_threshold=math.inf)
        win.insert("x", flags)
        assert win.dehydrate() == 0
        return
    exact = float(F32(w))
    above = float(np.nextafter(F32(w), F32(2)))
    for threshold, purged in ((exact, 0), (above, 1)):
        win = CA(half_life=math.inf, safe_threshold=threshold)
        win.insert("x", flags)
        assert win.dehydrate() == purged


@pytest.mark.parametrize("oxygen, survives", [
    (0.0, 0), (-0.0, 0), (-0.5, 3), (-math.inf, 3), (7.5, 8), (math.nan, 0), (1.0, 3),
])
def test_given_oxygen(oxygen, survives):
    # USER block, defaults: negative oxygen means the automatic 1.0.
    w = CA()
    w.insert("x", z.USER, oxygen)
    assert cycles_survived(w) == survives


@pytest.mark.parametrize("half_life", [0.0, -5.0, math.nan])
def test_half_life_clamped_to_a_tenth(half_life):
    # Decay factor 2^-10: a 4.0 block falls to 0.0039 < 0.35 in one cycle,
    # but a 1000.0 block survives it (0.977).
    for oxygen, survives in ((4.0, 0), (1000.0, 1)):
        w = CA(half_life=half_life)
        w.insert("x", 0, oxygen)
        assert cycles_survived(w) == survives


@pytest.mark.parametrize("call, exc, message, note", [
    (lambda w: w.insert(5), TypeError, "'int' object is not an instance of 'str'", "content"),
    (lambda w: w.insert("x", -1), OverflowError, "out of range integral type conversion attempted", "signal"),
    (lambda w: w.insert("x", 2**32), OverflowError, "out of range integral type conversion attempted", "signal"),
    (lambda w: w.insert("x", 2**70), OverflowError, None, "signal"),
    (lambda w: w.insert("x", None), TypeError, None, "signal"),
    (lambda w: w.insert("x", 1, None), TypeError, None, "oxygen"),
    (lambda w: w.insert("\ud800"), UnicodeEncodeError, None, "content"),
    (lambda w: w.dehydrate(absorb=1), TypeError, "'int' object is not an instance of 'bool'", "absorb"),
    (lambda w: w.dehydrate(None), TypeError, None, "reinforce_boost"),
    (lambda w: w.note_state(5), TypeError, "'int' object is not an instance of 'str'", "fact"),
    (lambda w: w.set_purpose(b"p"), TypeError, "'bytes' object is not an instance of 'str'", "text"),
])
def test_bad_input_leaves_the_window_unchanged(call, exc, message, note):
    w = CA(state_capacity=2)
    w.set_purpose("P")
    w.insert("u", z.USER)
    w.note_state("f")
    before = (len(w), w.inserted_tokens(), w.render(), w.state_entries())
    assert_raises_with_note(exc, message, f"while processing '{note}'", call, w)
    assert (len(w), w.inserted_tokens(), w.render(), w.state_entries()) == before
    assert cycles_survived(w) == 3  # the USER block was not decayed by the failed call


@pytest.mark.parametrize("kwargs, exc, note", [
    ({"capacity": -1}, OverflowError, "capacity"),
    ({"capacity": 2**64}, OverflowError, "capacity"),
    ({"state_capacity": -1}, OverflowError, "state_capacity"),
    ({"half_life": "2"}, TypeError, "half_life"),
    ({"safe_threshold": None}, TypeError, "safe_threshold"),
])
def test_constructor_conversion_errors(kwargs, exc, note):
    assert_raises_with_note(exc, None, f"while processing '{note}'", CA, **kwargs)


def test_unrepresentable_capacity_is_a_panic():
    with pytest.raises(BaseException) as info:
        CA(capacity=2**60)
    assert type(info.value).__module__ == "pyo3_runtime" and str(info.value) == "capacity overflow"
    assert not isinstance(info.value, Exception)


def test_unobtainable_capacity_is_memory_error():
    with pytest.raises(MemoryError):
        CA(capacity=2**50)


def test_numpy_bool_absorb():
    w = CA()
    w.insert("gone", z.USER, 0.0)
    assert w.dehydrate(absorb=np.bool_(True)) == 1 and w.state_entries() == ["gone"]


# --------------------------------------------------------------- the cycle

def test_cycle_survival_counts_and_ratio():
    w = CA()
    for text, flags in (("u", z.USER), ("x", 0), ("t", z.TOOL), ("k", z.THINKING), ("s", z.SYSTEM)):
        w.insert(text, flags)
    assert [w.dehydrate() for _ in range(5)] == [2, 1, 0, 1, 0]
    assert w.active_context() == ["s"]
    r = CA()
    r.insert("t", z.TOOL)
    r.insert("ssss", z.SYSTEM)
    r.dehydrate()
    assert r.reduction_ratio() == 0.3333333432674408


def test_durable_reinforcement_has_no_cap_and_can_go_negative():
    w = CA(safe_threshold=4.75)
    w.insert("s", z.SYSTEM)
    w.insert("plain", 0, 4.9)  # decays to 3.46 < 4.75 in one cycle
    assert w.dehydrate() == 1
    for _ in range(100):
        w.dehydrate(reinforce_boost=-10.0)
    assert w.active_context() == ["s"]


def test_tie_at_threshold_is_kept():
    w = CA(half_life=1.0, safe_threshold=0.25)
    w.insert("x", 0, 0.5)
    assert (w.dehydrate(), w.dehydrate()) == (0, 1)


def test_purge_is_stable():
    w = CA()
    for i in range(30):
        w.insert(f"b{i}", [z.USER, z.TOOL, 0, z.FACT, z.THINKING][i % 5])
    w.dehydrate()
    assert w.active_context() == [f"b{i}" for i in range(30) if i % 5 in (0, 2, 3)]
    w.dehydrate()
    assert w.active_context() == [f"b{i}" for i in range(30) if i % 5 in (0, 3)]


# ----------------------------------------------------------------- digests

@pytest.mark.parametrize("text, digest", [
    ("\na   b\t", "a b"),
    (" \t\n", ""),
    ("a" * 121, "a" * 120 + ELLIPSIS),
    ("a" * 120, "a" * 120),
    ("  " + "a" * 120 + "  ", "a" * 120),
    ("a" * 119 + "\u00e9zz", "a" * 119 + "\u00e9" + ELLIPSIS),        # straddles byte 120
    ("a" * 119 + "\u00e9", "a" * 119 + "\u00e9"),                     # ...and is the last
    ("a" * 118 + "\U0001F600", "a" * 118 + "\U0001F600"),
    ("a" * 118 + "\U0001F600b", "a" * 118 + "\U0001F600" + ELLIPSIS),
    ("a" * 120 + " b", "a" * 120 + ELLIPSIS),
    ("w " * 200, ("w " * 60)[:120] + ELLIPSIS),
    ("x" + model.WHITE_SPACE + "y", "x y"),
    ("a\u200bb\ufeffc\u180ed", "a\u200bb\ufeffc\u180ed"),             # not White_Space
])
def test_absorbed_digest(text, digest):
    w = CA()
    w.insert(text, z.ASSISTANT, 0.0)
    assert w.dehydrate(absorb=True) == 1
    assert w.state_entries() == [digest]
    clipped = digest.endswith(ELLIPSIS)
    assert 123 <= len(digest.encode()) <= 126 if clipped else len(digest.encode()) <= 123


def test_only_conversational_blocks_leave_digests():
    w = CA()
    for text, flags in (("tool", z.TOOL), ("think", z.THINKING), ("plain", 0), ("u", z.USER | z.TOOL)):
        w.insert(text, flags, 0.0)
    w.insert("\na   b\t", z.ASSISTANT, 0.0)
    w.insert("a  b", z.USER, 0.0)  # same digest: dropped by the ledger
    assert w.dehydrate(absorb=True) == 6
    assert w.state_entries() == ["u", "a b"]
    quiet = CA()
    quiet.insert("x", z.USER, 0.0)
    quiet.dehydrate()
    assert quiet.state_entries() == []


def test_digests_roll_off_in_block_order():
    w = CA(state_capacity=1)
    w.insert("first", z.USER, 0.0)
    w.insert("second", z.ASSISTANT, 0.0)
    w.dehydrate(absorb=True)
    assert w.state_entries() == ["second"]


# -------------------------------------------------------- ledger and render

def test_ledger_dedup_and_roll_off():
    w = CA(state_capacity=2)
    assert (w.note_state("a"), w.note_state("a")) == (True, False)
    assert w.note_state("b") and w.note_state("c") and w.state_entries() == ["b", "c"]
    assert w.note_state("a") and w.state_entries() == ["c", "a"]
    nr = CA(state_capacity=2)
    assert [nr.note_state(x) for x in "aba"] == [True, True, False]
    nr.note_state("c")
    assert nr.state_entries() == ["b", "c"]  # the repeated a did not refresh its place
    one = CA(state_capacity=0)
    one.note_state("x")
    one.note_state("y")
    assert one.state_entries() == ["y"]
    # One byte of difference, white space included, is a different fact.
    assert w.note_state("a b") and w.note_state("a  b")


def test_render_layouts():
    w = CA()
    w.set_purpose("P")
    w.insert("A")
    w.insert("B")
    assert w.render() == "P\nA\nB"
    w.note_state("x\ny")
    assert w.render() == "P\nSTATE:\n- x\ny\nA\nB"
    w.set_purpose("")
    assert w.render() == "\nSTATE:\n- x\ny\nA\nB"
    w.set_purpose(None)
    assert w.render() == "STATE:\n- x\ny\nA\nB"
    only = CA()
    only.note_state("x")
    assert only.render() == "STATE:\n- x\n"
    assert only.inserted_tokens() == 0 and only.active_tokens() == 0


def test_render_joins_inserted_texts_and_keeps_no_purged_one_alive():
    w = CA()
    doomed = "".join(["short-lived ", "block \u00e9"])  # a fresh object
    base = sys.getrefcount(doomed)
    w.insert(doomed, z.FACT)
    assert sys.getrefcount(doomed) == base  # a window never rendered keeps no str
    assert w.render() == doomed
    w = CA()
    w.render()
    w.insert(doomed, z.USER, 0.0)
    assert sys.getrefcount(doomed) == base + 1  # kept as the block's render piece
    sub = Text("subclass \U0001f680")
    sub_base = sys.getrefcount(sub)
    w.insert(sub, z.FACT)
    assert sys.getrefcount(sub) == sub_base  # a subclass is not kept
    assert w.dehydrate() == 1
    rendered = w.render()
    assert rendered == sub and type(rendered) is str
    assert sys.getrefcount(doomed) == base
    # Purged before any render: its text is let go once the texts of purged
    # blocks outnumber the blocks held, without a render.
    w.insert(doomed, z.USER, 0.0)
    for i in range(100):
        w.insert(f"gone {i}", z.USER, 0.0)
        w.dehydrate()
    assert sys.getrefcount(doomed) == base
    w.insert("last")
    assert w.render() == "subclass \U0001f680\nlast"


def test_docstrings():
    assert CA.__doc__ == (
        "A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\n"
        "each cycle halves oxygen over `half_life` and purges anything below the\n"
        "`safe_threshold` (durable classes are reinforced and survive).")
    docs = {
        "insert": ("($self, content, signal=0, oxygen=...)",
                   "Insert a context block. `oxygen < 0` (default) \u2192 auto metabolic weight."),
        "active_context": ("($self)", ""), "active_tokens": ("($self)", ""),
        "inserted_tokens": ("($self)", ""),
        "reduction_ratio": ("($self)", "Fraction of inserted tokens reclaimed by apoptosis (0..1)."),
        "dehydrate": ("($self, reinforce_boost=0.5, absorb=False)",
                      "One half-life decay cycle \u2192 returns the number of purged blocks. Durable\n"
                      "classes are reinforced by `reinforce_boost`; everything else decays by\n"
                      "`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n\n"
                      "With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\n"
                      "in the STATE ledger instead of vanishing without trace (TOOL/THINKING\n"
                      "ballast is still dropped silently \u2014 it is noise by definition)."),
        "set_purpose": ("($self, text)",
                        "Set (or clear, with `None`) the purpose contract \u2014 the stable header\n"
                        "rendered above the history. Keep it byte-identical between calls so it\n"
                        "stays inside a provider prompt-cache prefix."),
        "note_state": ("($self, fact)",
                       "Append a durable fact/decision to the consolidated STATE ledger.\n"
                       "Deduplicated by content hash; oldest entries roll off past capacity."),
        "state_entries": ("($self)", "The current STATE ledger entries, oldest first."),
        "render": ("($self)",
                   "The dehydrated context, newline-joined, ready to dispatch. Layout is\n"
                   "cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors]."),
    }
    for name, (sig, doc) in docs.items():
        method = getattr(CA, name)
        assert (method.__text_signature__, method.__doc__ or "") == (sig, doc), name


# ------------------------------------------------------------ stateful model

texts = st.text(alphabet=st.sampled_from("ab \n\t\x1c\u00e9\u3000\u00a0\u2028\u200bx\U0001F600"),
                max_size=140)
floats32 = st.floats(width=32, allow_nan=True)


class WindowMachine(RuleBasedStateMachine):
    @initialize(half_life=st.sampled_from([0.0, 0.5, 1.0, 2.0, 3.7, math.inf, math.nan]),
                threshold=st.sampled_from([0.35, 0.0, 0.25, 0.9, -1.0, math.nan]),
                state_capacity=st.sampled_from([0, 1, 2, 3, 64]))
    def setup(self, half_life, threshold, state_capacity):
        self.w = CA(half_life, threshold, 4, state_capacity)
        self.m = model.Window(half_life, threshold, state_capacity)

    @rule(text=texts, flags=st.sampled_from([0, 1, 2, 4, 8, 16, 32, 18, 48, 64, 2**32 - 1]),
          oxygen=st.none() | floats32)
    def insert(self, text, flags, oxygen):
        if oxygen is None:
            self.w.insert(text, flags)
        else:
            self.w.insert(text, flags, oxygen)
        self.m.insert(text, flags, oxygen)

    @rule(boost=st.sampled_from([0.5, 0.0, -1.0, 2.5]), absorb=st.booleans())
    def dehydrate(self, boost, absorb):
        assert self.w.dehydrate(boost, absorb) == self.m.dehydrate(boost, absorb)

    @rule(fact=texts)
    def note(self, fact):
        assert self.w.note_state(fact) is self.m.note_state(fact)

    @rule(text=st.none() | texts)
    def purpose(self, text):
        self.w.set_purpose(text)
        self.m.set_purpose(text)

    @invariant()
    def agrees(self):
        if not hasattr(self, "w"):
            return
        w, m = self.w, self.m
        assert len(w) == len(m)
        assert w.active_context() == m.active_context()
        assert w.active_tokens() == m.active_tokens()
        assert w.inserted_tokens() == m.inserted_tokens()
        assert model.same(w.reduction_ratio(), m.reduction_ratio())
        assert w.state_entries() == m.state_entries()
        assert w.render() == m.render()


WindowMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
test_window_matches_model = WindowMachine.TestCase


@pytest.mark.parametrize("seed", range(3))
def test_render_follows_a_long_session(seed):
    """Render edits what it kept from the last render (purged blocks and
    their separators out, rolled-off entries out, new pieces in, a changed
    purpose replaced). Every render of a long session, with renders skipped
    now and then and blocks given as str subclasses too, equals the layout
    built afresh from the window's blocks and ledger."""
    import random

    rng = random.Random(seed)
    w = CA(1.5, 0.35, 16, 6)
    purpose = None
    words = ["alpha", "b\u00e9ta", "\u03b3", "\U0001f680", "x" * 40, "  ", "\n"]
    for turn in range(150):
        for _ in range(rng.randint(0, 4)):
            text = "".join(rng.choice(words) for _ in range(rng.randint(0, 30)))
            w.insert(Text(text) if rng.random() < 0.1 else text,
                     rng.choice([0, z.USER, z.ASSISTANT, z.TOOL, z.THINKING, z.FACT]))
        w.dehydrate(absorb=rng.random() < 0.8)
        if rng.random() < 0.1:
            w.note_state(rng.choice(words))
        if rng.random() < 0.05:
            purpose = rng.choice([None, "P", "purpose \u00e9"])
            w.set_purpose(purpose)
        if rng.random() < 0.8:
            entries = w.state_entries()
            expected = ("" if purpose is None else purpose + "\n") + \
                ("STATE:\n" + "".join(f"- {e}\n" for e in entries) if entries else "") + \
                "\n".join(w.active_context())
            rendered = w.render()
            assert rendered == expected and type(rendered) is str


# ------------------------------------------------------------------ threads

def test_threads_do_not_deadlock():
    w = CA(state_capacity=16)
    inserted = [0] * 3
    purged = [0, 0]  # one slot per dehydrating thread: `+=` spans a GIL release
    stop = threading.Event()
    errors = []

    def inserter(k):
        for i in range(1500):
            text = f"t{k} {i}  word\nline"
            w.insert(text, [z.USER, z.TOOL, 0, z.ASSISTANT][i % 4])
            inserted[k] += len(text.encode()) // 4 + 1

    def dehydrator(k):
        while not stop.is_set():
            purged[k] += w.dehydrate(absorb=True)

    def reader():
        while not stop.is_set():
            w.render()
            w.note_state("fact")
            w.set_purpose("p")
            if not 0.0 <= w.reduction_ratio() <= 1.0:
                errors.append(w.reduction_ratio())

    workers = [threading.Thread(target=inserter, args=(k,), daemon=True) for k in range(3)]
    background = [threading.Thread(target=dehydrator, args=(k,), daemon=True) for k in range(2)]
    background.append(threading.Thread(target=reader, daemon=True))
    for t in workers + background:
        t.start()
    deadline = time.monotonic() + 60
    for t in workers:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    stop.set()
    for t in background:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in workers + background), "deadlock or livelock"
    assert errors == []
    assert w.inserted_tokens() == sum(inserted)
    assert sum(purged) + len(w) == 4500


@pytest.mark.parametrize("seed", range(4))
def test_ledger_matches_the_model(seed):
    """note_state and absorbed digests against the model: a text already in
    the ledger is refused, the oldest entry rolls off past capacity, and a
    rolled-off text may come back."""
    rng = random.Random(seed)
    capacity = rng.choice([1, 2, 5])
    w, m = CA(state_capacity=capacity), model.Window(state_capacity=capacity)
    texts = [f"fact {i}" for i in range(8)] + ["", "é", "fact 1 ", "a\x1cb", " a\u3000b "]
    for _ in range(300):
        text = rng.choice(texts)
        if rng.random() < 0.7:
            assert w.note_state(text) is m.note_state(text)
        else:
            # A USER block that the next cycle purges leaves its digest.
            w.insert(text, z.USER, 0.1)
            m.insert(text, z.USER, 0.1)
            assert w.dehydrate(absorb=True) == m.dehydrate(absorb=True) == 1
        assert w.state_entries() == m.state_entries()
