"""zelmo.guard, zelmo.effort and zelmo.cache."""
import math

import pytest
from hypothesis import given, settings, strategies as st

import zelmo_micro as z
from zelmo import openai_chat
from zelmo.cache import ANTHROPIC_1H, ANTHROPIC_5M, OPENAI, CachePolicy, Pricing
from zelmo.effort import anthropic_thinking, gemini_thinking, openai_reasoning_effort
from zelmo.guard import FLOOD_THRESHOLD, guard_tool_output, normalise, tool_saturation
from zelmo.window import ChatWindow

from outputs import FLOODS, LEGIT

# ------------------------------------------------------------------ guard


@pytest.mark.parametrize("name", sorted(FLOODS))
@pytest.mark.parametrize("seed", [1, 7, 42])
def test_realistic_floods_are_withheld(name, seed):
    output = FLOODS[name](seed=seed)
    assert tool_saturation(output) >= 0.8 > FLOOD_THRESHOLD
    notice = guard_tool_output(output)
    first = output.splitlines()[0]
    size = len(output.encode())
    assert notice.startswith("[tool output withheld:") and f"{size} bytes" in notice
    assert f"threshold {FLOOD_THRESHOLD:.2f}" in notice and first in notice
    assert len(notice) < len(output) / 10


def test_the_raw_scan_misses_a_flood_that_normalising_catches():
    output = FLOODS["retry loop"](seed=3)
    assert z.saturation_scan(output) < 0.1 < 0.9 < tool_saturation(output)


@pytest.mark.parametrize("name", sorted(LEGIT))
def test_legitimately_repetitive_output_passes(name):
    kwargs = {"seed": 11} if name.endswith("table") else {}
    output = LEGIT[name](**kwargs)
    assert tool_saturation(output) <= 0.2
    assert guard_tool_output(output) is output


@pytest.mark.parametrize("text, expected", [
    ("2026-12-08T10:00:01.250Z ok", "<time> ok"),
    ("[08/Dec/2026:10:00:01 +0000]", "[<time>]"),
    ("at 10:00:01,5 id 550e8400-e29b-41d4-a716-446655440000", "at <time> id <uuid>"),
    ("ptr 0xdeadBEEF sha 9f86d081884c retry 3/10", "ptr <hex> sha <hex> retry <n>/<n>"),
    ("the word facade stays, so does cafe", "the word facade stays, so does cafe"),
    ("12,7 apples,3.5\n4|v1.2.3 at 10.0.0.1|6", "12,<n> apples,3.5\n4|v<n> at <n>|6"),
])
def test_normalise(text, expected):
    assert normalise(text) == expected


@pytest.mark.parametrize("kwargs, error", [
    (dict(threshold=1.5), ValueError), (dict(threshold=float("nan")), ValueError),
    (dict(head_lines=-1), ValueError), (dict(head_lines=True), ValueError)])
def test_guard_options_are_checked(kwargs, error):
    with pytest.raises(error):
        guard_tool_output("x", **kwargs)
    with pytest.raises(TypeError):
        tool_saturation(b"bytes")  # type: ignore[arg-type]


# ------------------------------------------------------------------ effort


@pytest.mark.parametrize("tier, model, expected", [
    ("off", "gpt-5-mini", "minimal"), ("off", "gpt-5.1", "none"), ("off", "o3", "low"),
    ("low", "o4-mini", "low"), ("medium", "gpt-5", "medium"), ("high", "gpt-5.1-codex", "high")])
def test_openai_reasoning_effort(tier, model, expected):
    assert openai_reasoning_effort(tier, model) == expected


@pytest.mark.parametrize("tier", ["off", "low", "medium", "high"])
@pytest.mark.parametrize("max_tokens", [1025, 2000, 8192, 64000])
def test_anthropic_thinking_budget_is_within_its_bounds(tier, max_tokens):
    thinking = anthropic_thinking(tier, max_tokens)
    if tier == "off":
        assert thinking == {"type": "disabled"}
    else:
        assert thinking["type"] == "enabled"
        assert 1024 <= thinking["budget_tokens"] < max_tokens


@pytest.mark.parametrize("tier, model, expected", [
    ("off", "gemini-2.5-flash", 0), ("off", "gemini-2.5-pro", 128),
    ("off", "gemini-2.5-flash-lite", 0), ("low", "gemini-2.5-flash-lite", 1024),
    ("high", "gemini-2.5-flash", 16384), ("high", "gemini-2.5-pro", 16384)])
def test_gemini_thinking_budget(tier, model, expected):
    assert gemini_thinking(tier, model) == {"thinkingBudget": expected}


def test_every_gauge_tier_maps_for_every_provider():
    for text in ["hi", "Prove that the algorithm terminates for every input, then implement it "
                       "in Rust with tests, benchmarks and a formal complexity analysis."]:
        tier = z.effort_gauge(text)["tier"]
        assert openai_reasoning_effort(tier) in ("minimal", "low", "medium", "high")
        assert gemini_thinking(tier)["thinkingBudget"] in (0, 1024, 4096, 16384)


@pytest.mark.parametrize("call, error", [
    (lambda: openai_reasoning_effort("max"), ValueError),
    (lambda: openai_reasoning_effort("low", "claude-3"), ValueError),
    (lambda: anthropic_thinking("low", 1024), ValueError),
    (lambda: anthropic_thinking("low", 4096.0), TypeError),
    (lambda: gemini_thinking("low", "gemini-1.0"), ValueError),
])
def test_effort_bad_input(call, error):
    with pytest.raises(error):
        call()


# ------------------------------------------------------------------ cache policy


@pytest.mark.parametrize("ratios", [(-0.1, 1.0), (0.1, float("nan")), (0.1, math.inf)])
def test_bad_prices_are_refused(ratios):
    with pytest.raises(ValueError, match="price"):
        Pricing(*ratios)
    with pytest.raises(ValueError):
        CachePolicy(margin=float("nan"))


def test_presets():
    assert (ANTHROPIC_5M.cache_write_ratio, ANTHROPIC_1H.cache_write_ratio,
            OPENAI.cache_write_ratio) == (1.25, 2.0, 1.0)


def session(turns, size):
    for i in range(turns):
        yield [{"role": "user", "content": f"step {i} " + "word " * size},
               {"role": "assistant", "content": f"done {i} " + "word " * (size * 3)}], [f"fact {i}"]


@settings(max_examples=40, deadline=None)
@given(turns=st.integers(1, 25), size=st.integers(1, 60), spacing=st.integers(1, 5),
       margin=st.sampled_from([0.0, 0.1, 0.5]), pricing=st.sampled_from([ANTHROPIC_5M, ANTHROPIC_1H, OPENAI]),
       half_life=st.sampled_from([0.5, 1.0, 2.0]))
def test_the_policy_never_sends_more_than_the_untrimmed_context(turns, size, spacing, margin,
                                                                 pricing, half_life):
    w = ChatWindow(openai_chat.FORMAT, purpose="goal", half_life=half_life)
    policy = CachePolicy(pricing, min_spacing=spacing, margin=margin)
    writes = []
    for number, (messages, notes) in enumerate(session(turns, size)):
        decision = policy.decide(w.turn(messages, notes))
        assert decision.tokens <= decision.untrimmed_tokens
        assert decision.messages[-2:] == messages  # the new turn is always sent
        if decision.action != "keep":
            writes.append(number)
    assert writes[0] == 0


def test_hysteresis_spaces_rewrites_and_keep_appends_to_the_prefix():
    # With cheap writes and a long horizon a rewrite pays off nearly every
    # turn; the minimum spacing and the margin hold it back.
    def run(**options):
        w = ChatWindow(openai_chat.FORMAT, purpose="goal", half_life=0.5)
        policy = CachePolicy(OPENAI, calls_ahead=32, **options)
        actions = []
        for messages, notes in session(20, 40):
            request = w.turn(messages, notes)
            before = policy.cached_tokens
            d = policy.decide(request)
            actions.append(d.action)
            if d.action == "keep":
                assert d.tokens == before + sum(request.tokens[-2:])
                assert d.tokens <= request.untrimmed_tokens
        return [i for i, a in enumerate(actions) if a != "keep"]

    eager = run(min_spacing=1, margin=0.0)
    spaced = run(min_spacing=4, margin=0.0)
    careful = run(min_spacing=1, margin=0.5)
    assert min(b - a for a, b in zip(eager, eager[1:])) == 1
    assert len(spaced) > 1 and min(b - a for a, b in zip(spaced, spaced[1:])) >= 4
    assert len(careful) < len(eager) and len(spaced) < len(eager)
