"""The reasoning-effort tier of `zelmo_micro.effort_gauge`, mapped onto each
provider's knob.

The tiers are "off", "low", "medium" and "high"; the gauge's token budgets
are 0, 1024, 4096 and 16384.

| provider | parameter | off | low | medium | high | range |
|---|---|---|---|---|---|---|
| OpenAI, GPT-5 family | ``reasoning_effort`` | "minimal" | "low" | "medium" | "high" | the four values |
| OpenAI, GPT-5.1 | ``reasoning_effort`` | "none" | "low" | "medium" | "high" | "none" replaces "minimal" |
| OpenAI, o-series (o1, o3, o4-mini) | ``reasoning_effort`` | "low" | "low" | "medium" | "high" | no value below "low" |
| Anthropic (extended thinking) | ``thinking`` | ``{"type": "disabled"}`` | 1024 | 4096 | 16384 | ``budget_tokens`` >= 1024 and < ``max_tokens`` |
| Gemini 2.5 Pro | ``thinkingConfig.thinkingBudget`` | 128 | 1024 | 4096 | 16384 | 128 to 32768; cannot be turned off |
| Gemini 2.5 Flash | ``thinkingConfig.thinkingBudget`` | 0 | 1024 | 4096 | 16384 | 0 (off) to 24576 |
| Gemini 2.5 Flash-Lite | ``thinkingConfig.thinkingBudget`` | 0 | 1024 | 4096 | 16384 | 0 (off), or 512 to 24576 |

A budget is clamped into the model's range (for Anthropic: to ``max_tokens``
minus 1). Source and date: the providers' public API documentation as the
team knew it when this table was written (knowledge up to 2025), written
down on 2026-12-08 without a fresh look at the live pages; check them
before relying on a bound.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Final, Literal

__all__ = ["ANTHROPIC_MIN_BUDGET", "GEMINI_RANGES", "OPENAI_EFFORTS", "Tier", "anthropic_thinking", "gemini_thinking",
           "openai_reasoning_effort"]

Tier = Literal["off", "low", "medium", "high"]
"""A tier of `zelmo_micro.effort_gauge`."""

_BUDGETS: Final[Mapping[str, int]] = {"off": 0, "low": 1024, "medium": 4096, "high": 16384}

OPENAI_EFFORTS: Final[Mapping[str, Mapping[str, str]]] = {
    "gpt-5.1": {"off": "none", "low": "low", "medium": "medium", "high": "high"},
    "gpt-5": {"off": "minimal", "low": "low", "medium": "medium", "high": "high"},
    "o": {"off": "low", "low": "low", "medium": "medium", "high": "high"},
}
"""``reasoning_effort`` per tier, by model family (a model name's prefix)."""

GEMINI_RANGES: Final[Mapping[str, tuple[int, int, bool]]] = {
    "gemini-2.5-flash-lite": (512, 24576, True),
    "gemini-2.5-flash": (1, 24576, True),
    "gemini-2.5-pro": (128, 32768, False),
}
"""``thinkingBudget`` range by model family: (least, most, whether 0 turns thinking off)."""

ANTHROPIC_MIN_BUDGET: Final = 1024
"""The least ``budget_tokens`` Anthropic accepts."""


def _tier(tier: object) -> str:
    if tier not in _BUDGETS:
        raise ValueError(f"tier: expected one of 'off', 'low', 'medium', 'high', got {tier!r}")
    return str(tier)


def _family(model: str, families: Mapping[str, Any], what: str) -> str:
    if not isinstance(model, str):
        raise TypeError(f"model: expected a str, got {type(model).__name__}")
    # The longest matching prefix: "gemini-2.5-flash-lite" before "gemini-2.5-flash".
    for prefix in sorted(families, key=len, reverse=True):
        if model.startswith(prefix):
            return prefix
    raise ValueError(f"model: {model!r} is not a known {what} family "
                     f"({', '.join(sorted(families))})")


def openai_reasoning_effort(tier: Tier, model: str = "gpt-5") -> str:
    """The ``reasoning_effort`` value for a tier on an OpenAI model.

    ``model`` picks the family by prefix: "gpt-5.1…", "gpt-5…" or "o…" (o1,
    o3, o4-mini). ValueError for an unknown tier or family.
    """
    return OPENAI_EFFORTS[_family(model, OPENAI_EFFORTS, "OpenAI reasoning")][_tier(tier)]


def anthropic_thinking(tier: Tier, max_tokens: int) -> dict[str, Any]:
    """The ``thinking`` parameter for a tier: disabled for "off", else enabled
    with the tier's budget, at least 1024 and below ``max_tokens``.

    ValueError when ``max_tokens`` leaves no room for the least budget
    (``max_tokens`` <= 1024) and the tier asks for thinking.
    """
    name = _tier(tier)
    if isinstance(max_tokens, bool) or not isinstance(max_tokens, int):
        raise TypeError(f"max_tokens: expected an int, got {type(max_tokens).__name__}")
    if name == "off":
        return {"type": "disabled"}
    if max_tokens <= ANTHROPIC_MIN_BUDGET:
        raise ValueError(f"max_tokens: thinking needs budget_tokens >= {ANTHROPIC_MIN_BUDGET} "
                         f"and below max_tokens, so max_tokens must exceed "
                         f"{ANTHROPIC_MIN_BUDGET}, got {max_tokens}")
    return {"type": "enabled", "budget_tokens": min(_BUDGETS[name], max_tokens - 1)}


def gemini_thinking(tier: Tier, model: str = "gemini-2.5-flash") -> dict[str, Any]:
    """The ``thinkingConfig`` for a tier on a Gemini 2.5 model: the tier's
    budget clamped into the family's range; "off" is 0 where thinking can be
    turned off, else the family's least budget."""
    low, high, can_stop = GEMINI_RANGES[_family(model, GEMINI_RANGES, "Gemini thinking")]
    budget = _BUDGETS[_tier(tier)]
    if budget == 0:
        budget = 0 if can_stop else low
    else:
        budget = max(low, min(high, budget))
    return {"thinkingBudget": budget}
