"""Random conversations for the property tests of every format.

A script is a list of neutral events; each format's test renders it into its
own message objects and says, per rendered message, what it is (`Meta`).
`check_trim` then checks a trim's result against the rules without looking at
how the adapter decided.
"""
from __future__ import annotations

import copy
from dataclasses import dataclass, field

from hypothesis import strategies as st

from zelmo.history import BudgetError

# Few distinct texts, so identical texts repeat often.
TEXTS = st.sampled_from(["ok", "same text", "Why does the build fail?", "déjà vu — ✅ 🚀",
                         "log line\n" * 40, ""])


@dataclass
class Event:
    kind: str  # "system", "user", "assistant" or "result"
    text: str
    pinned: bool = False
    calls: tuple[str, ...] = ()
    answers: str = ""
    thinking: str = ""


@dataclass
class Meta:
    """What a rendered message is: its kind and the call ids it makes and answers."""
    kind: str  # "system", "user", "assistant", "result", "other"
    pinned: bool = False
    calls: set[str] = field(default_factory=set)
    answers: set[str] = field(default_factory=set)


@st.composite
def scripts(draw, with_system=True):
    events = []
    if with_system and draw(st.booleans()):
        events.append(Event("system", draw(TEXTS), pinned=False))
    made = 0
    for _ in range(draw(st.integers(0, 6))):
        events.append(Event("user", draw(TEXTS), pinned=draw(st.integers(0, 7)) == 0))
        for _ in range(draw(st.integers(0, 3))):
            ids = tuple(f"call_{made + j}" for j in range(draw(st.integers(0, 3))))
            made += len(ids)
            thinking = draw(st.sampled_from(["", "", "Let me think about it."]))
            events.append(Event("assistant", draw(TEXTS), calls=ids, thinking=thinking,
                                pinned=draw(st.integers(0, 9)) == 0))
            # One to three results per call, in any order.
            results = [c for c in ids for _ in range(draw(st.integers(1, 3)))]
            for call in draw(st.permutations(results)):
                events.append(Event("result", draw(TEXTS), answers=call))
    return events


OPTIONS = st.fixed_dictionaries({
    "keep_last": st.integers(0, 3),
    "max_tokens": st.none() | st.integers(0, 600),
    "start_on_user": st.booleans(),
})


def protected(meta, keep_last):
    """Positions that must stay: system, pinned, the tail, and their exchanges."""
    n = len(meta)
    users = [i for i, m in enumerate(meta) if m.kind == "user"]
    start = min([n - keep_last if keep_last < n else 0] + users[-1:])
    must = {i for i, m in enumerate(meta) if m.kind == "system" or m.pinned} | set(range(start, n))
    return close(meta, must)


def close(meta, positions):
    """The positions plus every message in a tool exchange with one of them."""
    out = set(positions)
    grew = True
    while grew:
        ids = {c for i in out for c in meta[i].calls | meta[i].answers}
        more = {i for i, m in enumerate(meta) if (m.calls | m.answers) & ids}
        grew = not more <= out
        out |= more
    return out


def check_trim(trim, messages, meta, tokens, options):
    """Runs `trim(messages, **options)` and checks the rules on its result.

    `tokens` are the per-message token counts, for the budget checks.
    """
    before = copy.deepcopy(messages)
    identities = [id(m) for m in messages]
    try:
        result = trim(messages, **options)
    except BudgetError as e:
        must = protected(meta, options["keep_last"])
        assert sum(tokens[i] for i in must) + getattr(trim, "reserved", 0) == e.needed
        assert e.needed > options["max_tokens"]
        result = None
    # The input is never changed.
    assert [id(m) for m in messages] == identities
    assert messages == before
    if result is None:
        return None
    kept = result.report.kept
    # Exact positions: the caller's own objects, in order.
    assert kept == sorted(set(kept))
    assert [id(m) for m in result.messages] == [identities[i] for i in kept]
    keep = set(kept)
    # Atomic exchanges: a call is kept exactly when all of its results are.
    for i, m in enumerate(meta):
        for call in m.calls:
            results = [j for j, r in enumerate(meta) if call in r.answers]
            assert all((j in keep) == (i in keep) for j in results), (call, i, results, kept)
    # The durable messages and the tail stay.
    assert protected(meta, options["keep_last"]) <= keep
    # The budget holds.
    assert result.report.tokens_after == sum(tokens[i] for i in kept) + getattr(trim, "reserved", 0)
    if options["max_tokens"] is not None:
        assert result.report.tokens_after <= options["max_tokens"]
    # Start on a user turn, unless what comes first must stay.
    if options["start_on_user"]:
        first = next((i for i in kept if meta[i].kind != "system"), None)
        assert first is None or meta[first].kind == "user" or first in protected(
            meta, options["keep_last"])
    return result
