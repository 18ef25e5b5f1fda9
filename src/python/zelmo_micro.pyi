"""Z.E.L.M.O. Micro-Kernel — lock-free hormonal bus + context apoptosis."""

# Type information for the compiled module. The build installs this file
# beside zelmo_micro.abi3.so, where type checkers and editors look for it.
#
# Conventions of the native boundary, reflected in the annotations:
# - float parameters take anything with __float__ or __index__;
#   integer parameters take anything with __index__ (never a float);
# - `absorb` takes exactly a bool (an int such as 1 is refused);
# - result dictionaries have fixed keys, spelled out as TypedDicts below.
#   The TypedDicts exist for type checking only: import them under
#   `if typing.TYPE_CHECKING:`.

from collections.abc import Sequence
from typing import (
    Final,
    Literal,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    type_check_only,
)

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Int: TypeAlias = SupportsIndex

__all__ = [
    "HormonalBus",
    "HormonalSignal",
    "ContextApoptosis",
    "dehydrate",
    "saturation_scan",
    "consolidation_gain",
    "effort_gauge",
    "SYSTEM",
    "USER",
    "ASSISTANT",
    "FACT",
    "TOOL",
    "THINKING",
    "__doc__",
    "__version__",
]

__version__: Final[str]

# Block-class bits of a signal-flags word (plain ints, combinable with |).
SYSTEM: Final[int]
USER: Final[int]
ASSISTANT: Final[int]
FACT: Final[int]
TOOL: Final[int]
THINKING: Final[int]

_Tier: TypeAlias = Literal["off", "low", "medium", "high"]

@type_check_only
class DehydrateResult(TypedDict):
    """Result of `dehydrate`, keys in this order."""

    kept: list[str]
    blocks_in: int
    blocks_kept: int
    blocks_purged: int
    tokens_before: int
    tokens_after: int
    reduction: float
    stable_prefix_tokens: int
    kernel_latency_us: float

@type_check_only
class EffortSignals(TypedDict):
    """The raw `signals` of `effort_gauge`, keys in this order."""

    words: int
    len_score: float
    hard_hits: int
    constraint_hits: int
    code_hits: int
    digit_ratio: float
    novelty: float
    trivial_hits: int

@type_check_only
class EffortGauge(TypedDict):
    """Result of `effort_gauge`, keys in this order."""

    score: float
    tier: _Tier
    budget_tokens: Literal[0, 1024, 4096, 16384]
    signals: EffortSignals

@type_check_only
class ConsolidationGain(TypedDict):
    """Result of `consolidation_gain`, keys in this order."""

    consolidate: bool
    gain_token_equiv: float
    cost_keep: float
    cost_consolidate: float
    break_even_calls: float

@type_check_only
class BusStats(TypedDict):
    """Result of `HormonalBus.stats` (its key order varies between calls)."""

    num_signals: float
    secretions: float
    total_concentration: float

def dehydrate(
    messages: Sequence[tuple[str, int]],
    half_life: _Float = 6.0,
    safe_threshold: _Float = 0.35,
    stable_prefix: _Int = 0,
) -> DehydrateResult:
    """Dehydrate a whole message history in a single pass (oldest → newest).

    `messages` is a list of `(content, signal_flags)`. Older, lower-value blocks
    are decayed by recency-weighted half-life and purged below `safe_threshold`;
    durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks
    plus audited savings and the pure-kernel latency in microseconds.

    `stable_prefix` is the cache-aware zone: the first N messages are kept
    verbatim no matter their class, so a provider prompt-cache prefix stays
    byte-identical between calls. Apoptosis only acts on the mobile suffix.
    """

def saturation_scan(text: str, window: _Int = 8) -> float:
    """Detect input saturation: the fraction of the payload that is **repetition**.

    Cognitive-DDoS, forged-log floods and jailbreak spam are highly repetitive —
    they reuse the same phrases to exhaust the context window. This scores the
    fraction of duplicate `w`-token shingles (default 8): ~1.0 = a repetitive
    flood (RED ALERT), ~0.0 = natural, high-entropy text. Pure O(n), no
    allocation (shingles are hashed, not materialised), microsecond-scale.
    """

def consolidation_gain(
    prefix_tokens: _Int,
    purgeable_tokens: _Int,
    calls_ahead: _Int = 8,
    cache_read_ratio: _Float = 0.1,
    cache_write_ratio: _Float = 1.25,
) -> ConsolidationGain:
    """Decide whether consolidating (rewriting) a provider-cached prefix pays off.

    Rewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits
    the cache discount on the next call (a fresh cache write). Keeping it stale
    re-pays the cached read of the ballast on every future call. In input-token
    equivalents (uncached input = 1.0), over the next `calls_ahead` calls:

      keep:        calls_ahead · prefix · read_ratio
      consolidate: (prefix − purgeable) · write_ratio
                   + (calls_ahead − 1) · (prefix − purgeable) · read_ratio

    Default ratios match current Anthropic pricing (cache read = 0.1× input,
    cache write = 1.25× input). Returns the net gain (positive → consolidate
    now) plus the break-even number of calls.
    """

def effort_gauge(text: str) -> EffortGauge:
    """Gauge the reasoning effort a request deserves. Returns a dict:
    `score` (0..1), `tier` ("off" | "low" | "medium" | "high"),
    `budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.
    """

@final
class HormonalSignal:
    """A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`)."""

    def __new__(cls, flags: _Int, intensity: _Float = 1.0) -> HormonalSignal: ...
    @property
    def flags(self) -> int: ...
    @flags.setter
    def flags(self, value: _Int) -> None: ...
    @property
    def intensity(self) -> float: ...
    @intensity.setter
    def intensity(self, value: _Float) -> None: ...

@final
class HormonalBus:
    """Lock-free hormonal signalling bus. `inject`/`secrete` are O(popcount) and
    release the GIL; `sense` reads the current concentration for a channel mask.
    """

    def __new__(cls, num_signals: _Int = 32, event_capacity: _Int = 4096) -> HormonalBus: ...
    def inject(self, signal: HormonalSignal) -> None:
        """Inject a typed `HormonalSignal` (the primary API)."""

    def secrete(self, flags: _Int, intensity: _Float) -> None:
        """Raw injection by `(flags, intensity)` — the microsecond hot path."""

    def sense(self, mask: _Int) -> float:
        """Current summed concentration across every channel in `mask`."""

    def concentration(self, signal_bit: _Int) -> float:
        """Concentration of a single channel bit."""

    def tick(self, decay: _Float) -> None:
        """Multiplicative decay/dissipation of every channel (temporal homeostasis)."""

    def snapshot(self) -> list[float]: ...
    def drain_events(self, max: _Int) -> list[tuple[int, float]]:
        """Drain up to `max` buffered signal events as `(flags, intensity)` pairs."""

    def stats(self) -> BusStats: ...

@final
class ContextApoptosis:
    """A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;
    each cycle halves oxygen over `half_life` and purges anything below the
    `safe_threshold` (durable classes are reinforced and survive).
    """

    def __new__(
        cls,
        half_life: _Float = 2.0,
        safe_threshold: _Float = 0.35,
        capacity: _Int = 256,
        state_capacity: _Int = 64,
    ) -> ContextApoptosis: ...
    def __len__(self) -> int: ...
    def insert(self, content: str, signal: _Int = 0, oxygen: _Float = ...) -> None:
        """Insert a context block. `oxygen < 0` (default) → auto metabolic weight."""

    def active_context(self) -> list[str]: ...
    def active_tokens(self) -> int: ...
    def inserted_tokens(self) -> int: ...
    def reduction_ratio(self) -> float:
        """Fraction of inserted tokens reclaimed by apoptosis (0..1)."""

    def dehydrate(self, reinforce_boost: _Float = 0.5, absorb: bool = False) -> int:
        """One half-life decay cycle → returns the number of purged blocks. Durable
        classes are reinforced by `reinforce_boost`; everything else decays by
        `2^(-1/half_life)` and is purged in place if it drops below the threshold.

        With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest
        in the STATE ledger instead of vanishing without trace (TOOL/THINKING
        ballast is still dropped silently — it is noise by definition).
        """

    def set_purpose(self, text: str | None) -> None:
        """Set (or clear, with `None`) the purpose contract — the stable header
        rendered above the history. Keep it byte-identical between calls so it
        stays inside a provider prompt-cache prefix.
        """

    def note_state(self, fact: str) -> bool:
        """Append a durable fact/decision to the consolidated STATE ledger.
        Deduplicated by content hash; oldest entries roll off past capacity.
        """

    def state_entries(self) -> list[str]:
        """The current STATE ledger entries, oldest first."""

    def render(self) -> str:
        """The dehydrated context, newline-joined, ready to dispatch. Layout is
        cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors].
        """
