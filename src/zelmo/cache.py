"""A prompt-cache policy: keep appending to what the provider has cached, or
rewrite it with the trimmed context.

Each turn the policy compares two requests. *Keep*: the prefix sent last
time (which the provider has cached), followed by the turn's new messages;
the purged messages stay in it, read at the cached price. *Rewrite*: the
window's trimmed request, written to the cache afresh. It asks
`zelmo_micro.consolidation_gain` whether the rewrite pays off over the next
``calls_ahead`` calls, with hysteresis: the gain must exceed ``margin`` times
the cost of keeping, and at least ``min_spacing`` turns must have passed
since the last write. Whatever it decides, it never sends more tokens than
the untrimmed context (the same system part with every message ever added):
when keeping would, it rewrites.

Pricing presets, as ratios to the price of an uncached input token (source:
the providers' public pricing pages as the team knew them, knowledge up to
2025, written down on 2026-12-08 without a fresh look; check before relying
on them):

| preset | cache read | cache write |
|---|---|---|
| `ANTHROPIC_5M` (5-minute cache) | 0.1 | 1.25 |
| `ANTHROPIC_1H` (1-hour cache) | 0.1 | 2.0 |
| `OPENAI` (automatic caching, GPT-5 family; GPT-4.1 reads at 0.25, GPT-4o at 0.5) | 0.1 | 1.0, no write premium |
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final, Generic, Literal, TypeVar

import zelmo_micro as z

from zelmo.window import Request

if TYPE_CHECKING:
    from zelmo_micro import ConsolidationGain

__all__ = ["ANTHROPIC_1H", "ANTHROPIC_5M", "OPENAI", "CacheDecision", "CachePolicy", "Pricing"]

M = TypeVar("M")


def _ratio(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name}: expected a float, got {type(value).__name__}")
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{name}: expected a finite price >= 0, got {value!r}")
    return float(value)


@dataclass(frozen=True)
class Pricing:
    """Cache prices as ratios to an uncached input token. Negative, NaN and
    infinite ratios are refused."""

    cache_read_ratio: float
    cache_write_ratio: float

    def __post_init__(self) -> None:
        _ratio("cache_read_ratio", self.cache_read_ratio)
        _ratio("cache_write_ratio", self.cache_write_ratio)


ANTHROPIC_5M: Final = Pricing(cache_read_ratio=0.1, cache_write_ratio=1.25)
"""Anthropic, 5-minute cache: reads 0.1x, writes 1.25x the input price."""
ANTHROPIC_1H: Final = Pricing(cache_read_ratio=0.1, cache_write_ratio=2.0)
"""Anthropic, 1-hour cache: reads 0.1x, writes 2x the input price."""
OPENAI: Final = Pricing(cache_read_ratio=0.1, cache_write_ratio=1.0)
"""OpenAI automatic caching (GPT-5 family): reads 0.1x, no write premium."""


@dataclass(frozen=True)
class CacheDecision(Generic[M]):
    """What to send this turn. ``action`` is "write" (nothing cached yet),
    "keep" (the cached prefix plus the new messages) or "rewrite" (the trimmed
    request). ``gain`` is `consolidation_gain`'s verdict (None on a first write)."""

    action: Literal["write", "keep", "rewrite"]
    system: str
    messages: list[M]
    tokens: int
    untrimmed_tokens: int
    gain: ConsolidationGain | None


class CachePolicy(Generic[M]):
    """Tracks what the provider has cached and decides each turn; see the module doc.

    ``calls_ahead`` is the horizon given to `consolidation_gain`;
    ``margin`` (>= 0) the share of the cost of keeping that a rewrite must
    save; ``min_spacing`` (>= 1) the fewest turns between two writes.
    """

    def __init__(self, pricing: Pricing = ANTHROPIC_5M, *, calls_ahead: int = 8,
                 margin: float = 0.1, min_spacing: int = 3) -> None:
        if not isinstance(pricing, Pricing):
            raise TypeError(f"pricing: expected a Pricing, got {type(pricing).__name__}")
        for name, value, low in (("calls_ahead", calls_ahead, 1), ("min_spacing", min_spacing, 1)):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name}: expected an int, got {type(value).__name__}")
            if value < low:
                raise ValueError(f"{name}: expected an int >= {low}, got {value}")
        self.pricing = pricing
        self.calls_ahead = calls_ahead
        self.margin = _ratio("margin", margin)
        self.min_spacing = min_spacing
        self._system = ""
        self._messages: list[M] = []
        self._tokens = 0  # of the cached prefix, system part included
        self._ids: set[int] = set()
        self._since_write = 0
        self._started = False

    @property
    def cached_tokens(self) -> int:
        """Tokens of the prefix the provider holds (what was sent last)."""
        return self._tokens

    def decide(self, request: Request[M]) -> CacheDecision[M]:
        """The decision for this turn's request; the policy then takes what it
        sends as the provider's cached prefix."""
        self._since_write += 1
        if not self._started:
            return self._send("write", request, None)
        ids = self._ids
        fresh = [(m, t) for m, t in zip(request.messages, request.tokens) if id(m) not in ids]
        fresh_tokens = sum(t for _, t in fresh)
        keep_tokens = self._tokens + fresh_tokens
        # What the rewrite keeps of the prefix; the rest of the prefix is ballast.
        still = request.total_tokens - fresh_tokens
        purgeable = min(self._tokens, max(0, self._tokens - still))
        gain = z.consolidation_gain(self._tokens, purgeable, self.calls_ahead,
                                    self.pricing.cache_read_ratio, self.pricing.cache_write_ratio)
        rewrite = (gain["consolidate"] and gain["gain_token_equiv"] >= self.margin * gain["cost_keep"]
                   and self._since_write >= self.min_spacing)
        if keep_tokens > request.untrimmed_tokens:
            rewrite = True
        if rewrite:
            return self._send("rewrite", request, gain)
        self._messages = self._messages + [m for m, _ in fresh]
        self._ids.update(id(m) for m, _ in fresh)
        self._tokens = keep_tokens
        return CacheDecision("keep", self._system, list(self._messages), keep_tokens,
                             request.untrimmed_tokens, gain)

    def _send(self, action: Literal["write", "rewrite"], request: Request[M],
              gain: ConsolidationGain | None) -> CacheDecision[M]:
        self._started = True
        self._since_write = 0
        self._system = request.system
        self._messages = list(request.messages)
        self._ids = {id(m) for m in self._messages}
        self._tokens = request.total_tokens
        return CacheDecision(action, request.system, list(self._messages), self._tokens,
                             request.untrimmed_tokens, gain)
