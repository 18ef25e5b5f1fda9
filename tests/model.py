"""zelmo_micro's behaviour in plain Python, bit for bit.

One model of every behaviour the tests and the fuzz harness (fuzz/program.py)
compare the module with: single-precision arithmetic, the block classes and
their weights, the token estimate, the word split and the digest, the one-pass
dehydration, the context window, the signal, the bus and the three text and
cost kernels. Single precision is done on Python floats: an operation is taken
in double precision and then rounded once to single, which for +, -, * and /
of two singles is exactly the single-precision result. Only the standard
library is used, so the fuzz environments need nothing more.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import math
import re
import struct
import unicodedata
from collections.abc import Sequence
from typing import Any

# ----------------------------------------------------------------------------
# Single precision.

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.exp2f.restype = ctypes.c_float
_libm.exp2f.argtypes = (ctypes.c_float,)


def f32(x: float) -> float:
    """x rounded to single precision; beyond its range, the infinity of its sign."""
    if math.isnan(x) or math.isinf(x):
        return x
    try:
        return float(struct.unpack("f", struct.pack("f", x))[0])
    except OverflowError:
        return math.copysign(math.inf, x)


def exp2f(x: float) -> float:
    """The C library's single-precision 2**x, which the module calls too."""
    return float(_libm.exp2f(x))


def div(a: float, b: float) -> float:
    """IEEE division of doubles: a zero divisor gives an infinity or NaN."""
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def same(a: Any, b: Any) -> bool:
    """Equal to the bit for floats (the sign of zero counts, any NaN matches
    any NaN), item by item for lists, tuples and dicts (keys in the same
    order), plain equality of the same type otherwise."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bool(a == b)


# ----------------------------------------------------------------------------
# Blocks: classes, weights, the token estimate, words and digests.

SYSTEM, USER, ASSISTANT, FACT, TOOL, THINKING = 1, 2, 4, 8, 16, 32
DURABLE, CONVERSATIONAL = SYSTEM | FACT, USER | ASSISTANT

# The Unicode White_Space characters: the only word separators.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")
_WORD = re.compile("[^" + re.escape(WHITE_SPACE) + "]+")


def durable(flags: int) -> bool:
    return flags & DURABLE != 0


def conversational(flags: int) -> bool:
    return flags & CONVERSATIONAL != 0


def weight(flags: int) -> float:
    """The single-precision oxygen weight of the class, by precedence:
    durable, conversational, thinking, tool, anything else."""
    if durable(flags):
        return 4.0
    if conversational(flags):
        return 1.0
    if flags & THINKING:
        return f32(0.15)
    if flags & TOOL:
        return 0.25
    return f32(0.6)


def tokens(text: str) -> int:
    """The token estimate: UTF-8 bytes // 4 + 1, in wrapping 32-bit arithmetic."""
    return (len(text.encode()) // 4 + 1) & 0xFFFFFFFF


def split_words(text: str) -> list[str]:
    """The maximal runs of characters that are not White_Space."""
    return _WORD.findall(text)


DIGEST_BYTES = 120


def digest(text: str) -> str:
    """The one-line digest a purged conversational block leaves: its words
    joined by single spaces, cut after 120 UTF-8 bytes (the character that
    straddles the cut is kept whole) and then marked with an ellipsis."""
    joined = " ".join(split_words(text)).encode()
    cut = DIGEST_BYTES
    while cut < len(joined) and 0x80 <= joined[cut] <= 0xBF:
        cut += 1
    if cut >= len(joined):
        return joined.decode()
    return joined[:cut].decode() + "\u2026"


def clamp_half_life(half_life: float) -> float:
    """The half-life in single precision, raised to at least 0.1 (NaN too)."""
    h = f32(half_life)
    return f32(0.1) if math.isnan(h) or h < f32(0.1) else h


# ----------------------------------------------------------------------------
# One-pass dehydration of a history.

def dehydrate(messages: Sequence[tuple[str, int]], half_life: float = 6.0,
              safe_threshold: float = 0.35, stable_prefix: int = 0) -> dict[str, Any]:
    """`zelmo_micro.dehydrate`'s result without its `kernel_latency_us`.

    The first `stable_prefix` messages and durable ones are kept; any other
    message of age a (0 = newest) is kept when f32(2**(-a / H) * weight)
    reaches the threshold, each step in single precision."""
    h = clamp_half_life(half_life)
    t = f32(safe_threshold)
    n = len(messages)
    prefix = min(stable_prefix, n)
    kept = []
    for i, (text, flags) in enumerate(messages):
        keep = i < prefix or durable(flags)
        if not keep:
            d = exp2f(f32(-f32(float(n - 1 - i)) / h))
            keep = f32(d * weight(flags)) >= t
        if keep:
            kept.append(text)
    before = sum(tokens(text) for text, _ in messages)
    after = sum(tokens(text) for text in kept)
    return {"kept": kept, "blocks_in": n, "blocks_kept": len(kept), "blocks_purged": n - len(kept),
            "tokens_before": before, "tokens_after": after,
            "reduction": 0.0 if before == 0 else 1.0 - after / before,
            "stable_prefix_tokens": sum(tokens(text) for text, _ in messages[:prefix])}


# ----------------------------------------------------------------------------
# The context window (ContextApoptosis).

class Block:
    __slots__ = ("text", "oxygen", "flags")

    def __init__(self, text: str, oxygen: float, flags: int) -> None:
        self.text, self.oxygen, self.flags = text, oxygen, flags


class Window:
    """A ContextApoptosis: blocks with oxygen, the STATE ledger and the purpose.
    Its capacity is only a reservation and is not modelled."""

    def __init__(self, half_life: float = 2.0, safe_threshold: float = 0.35,
                 state_capacity: int = 64) -> None:
        self.half_life = clamp_half_life(half_life)
        self.threshold = f32(safe_threshold)
        self.state_capacity = max(state_capacity, 1)
        self.blocks: list[Block] = []
        self.inserted = self.reclaimed = 0
        self.purpose: str | None = None
        self.ledger: list[str] = []

    def __len__(self) -> int:
        return len(self.blocks)

    def insert(self, content: str, signal: int = 0, oxygen: float | None = None) -> None:
        """None or a negative oxygen means the class weight."""
        ox = None if oxygen is None else f32(oxygen)
        if ox is None or ox < 0.0:
            ox = weight(signal)
        self.blocks.append(Block(content, ox, signal))
        self.inserted += tokens(content)

    def dehydrate(self, reinforce_boost: float = 0.5, absorb: bool = False) -> int:
        """One cycle: durable blocks gain the boost, the others decay by
        2**(-1/H) and are purged below the threshold; with `absorb`, purged
        conversational blocks leave their digests in the ledger, in block
        order. Returns the number of purged blocks."""
        boost = f32(reinforce_boost)
        factor = exp2f(f32(-1.0 / self.half_life))
        kept, digests = [], []
        for b in self.blocks:
            if durable(b.flags):
                b.oxygen = f32(b.oxygen + boost)
                kept.append(b)
                continue
            b.oxygen = f32(b.oxygen * factor)
            if b.oxygen >= self.threshold:
                kept.append(b)
            else:
                self.reclaimed += tokens(b.text)
                if absorb and conversational(b.flags):
                    digests.append(digest(b.text))
        purged = len(self.blocks) - len(kept)
        self.blocks = kept
        for d in digests:
            self.note_state(d)
        return purged

    def note_state(self, fact: str) -> bool:
        """Adds a fact not yet in the ledger (the oldest rolls off past the
        capacity); a fact already there is refused and keeps its place."""
        if fact in self.ledger:
            return False
        self.ledger.append(fact)
        del self.ledger[:-self.state_capacity]
        return True

    def set_purpose(self, text: str | None) -> None:
        self.purpose = text

    def active_context(self) -> list[str]:
        return [b.text for b in self.blocks]

    def active_tokens(self) -> int:
        return sum(tokens(b.text) for b in self.blocks)

    def inserted_tokens(self) -> int:
        return self.inserted

    def reduction_ratio(self) -> float:
        if self.inserted == 0:
            return 0.0
        return f32(f32(float(self.reclaimed)) / f32(float(self.inserted)))

    def state_entries(self) -> list[str]:
        return list(self.ledger)

    def render(self) -> str:
        out = "" if self.purpose is None else self.purpose + "\n"
        if self.ledger:
            out += "STATE:\n" + "".join(f"- {fact}\n" for fact in self.ledger)
        return out + "\n".join(b.text for b in self.blocks)


# ----------------------------------------------------------------------------
# HormonalSignal and HormonalBus.

class Signal:
    """A HormonalSignal: 32-bit flags and an intensity narrowed to single."""

    def __init__(self, flags: int, intensity: float = 1.0) -> None:
        self.flags = flags
        self.intensity = intensity

    @property
    def intensity(self) -> float:
        return self._intensity

    @intensity.setter
    def intensity(self, value: float) -> None:
        self._intensity = f32(value)

    def __repr__(self) -> str:
        return signal_repr(self.flags, self.intensity)


def signal_repr(flags: int, intensity: float) -> str:
    """The signal's repr: flags in upper-case hex, the intensity with three
    decimals, rounded half to even from its exact binary value."""
    shown = "NaN" if math.isnan(intensity) else f"{intensity:.3f}"
    return f"HormonalSignal(flags=0x{flags:X}, intensity={shown})"


class Bus:
    """A HormonalBus: up to 32 single-precision channels, the deposit count and
    a bounded event buffer that drops new events when full."""

    def __init__(self, num_signals: int = 32, event_capacity: int = 4096) -> None:
        self.n = min(max(num_signals, 1), 32)
        self.capacity = max(event_capacity, 1)
        self.channels = [0.0] * self.n
        self.secretions = 0
        self.events: list[tuple[int, float]] = []

    def secrete(self, flags: int, intensity: float) -> None:
        """One deposit: every channel whose bit is set gains the intensity;
        the deposit is counted and buffered whether a channel took it or not."""
        x = f32(intensity)
        for i in range(self.n):
            if flags >> i & 1:
                self.channels[i] = f32(x + self.channels[i])
        self.secretions += 1
        if len(self.events) < self.capacity:
            self.events.append((flags, x))

    def inject(self, signal: Signal) -> None:
        self.secrete(signal.flags, signal.intensity)

    def sense(self, mask: int) -> float:
        total = 0.0
        for i in range(self.n):
            if mask >> i & 1:
                total = f32(total + self.channels[i])
        return total

    def concentration(self, signal_bit: int) -> float:
        return self.channels[signal_bit] if signal_bit < self.n else 0.0

    def tick(self, decay: float) -> None:
        d = f32(decay)
        self.channels = [f32(d * c) for c in self.channels]

    def drain_events(self, max: int) -> list[tuple[int, float]]:  # noqa: A002 - the method's own name
        out, self.events = self.events[:max], self.events[max:]
        return out

    def snapshot(self) -> list[float]:
        return list(self.channels)

    def stats(self) -> dict[str, float]:
        total = -0.0  # the sum of channels that are all -0.0 stays -0.0
        for c in self.channels:
            total = f32(total + c)
        return {"num_signals": float(self.n), "secretions": float(self.secretions),
                "total_concentration": total}


# ----------------------------------------------------------------------------
# The kernels.

def saturation_scan(text: str, window: int = 8) -> float:
    """The share of duplicate w-word shingles (window 0 counts as 1); 0.0
    below two windows' worth of words."""
    w = window or 1
    words = split_words(text)
    if len(words) < 2 * w:
        return 0.0
    windows = len(words) - w + 1
    distinct = len({tuple(words[i:i + w]) for i in range(windows)})
    return f32(f32(float(windows - distinct)) / f32(float(windows)))


def consolidation_gain(prefix_tokens: int, purgeable_tokens: int, calls_ahead: int = 8,
                       cache_read_ratio: float = 0.1, cache_write_ratio: float = 1.25) -> dict[str, Any]:
    """Keeping the cached prefix for the calls ahead against rewriting it
    without the purgeable part, in double precision."""
    r, w = cache_read_ratio, cache_write_ratio
    u = min(purgeable_tokens, prefix_tokens)
    rest, pf, c = float(prefix_tokens - u), float(prefix_tokens), float(max(calls_ahead, 1))
    keep = r * (c * pf)
    cons = (w * rest) + r * ((c - 1.0) * rest)
    gain = keep - cons
    be = math.inf if u == 0 else div((w - r) * rest, r * (pf - rest))
    return {"consolidate": gain > 0.0, "gain_token_equiv": gain, "cost_keep": keep,
            "cost_consolidate": cons, "break_even_calls": be}


CODE_WORDS = frozenset({"fn", "def", "class", "import", "return", "const", "let", "select", "async",
                        "struct", "impl", "function", "var", "pub"})
CONSTRAINT_WORDS = frozenset({
    "must", "never", "always", "without", "ensure", "require", "requirement", "constraint",
    "invariant", "except", "deve", "nunca", "sempre", "sem", "garanta", "requisito", "restri\u00e7\u00e3o",
    "restricao", "invariante", "exceto", "obrigat\u00f3rio", "obrigatorio"})
TRIVIAL_WORDS = frozenset({
    "ok", "okay", "yes", "no", "thanks", "continue", "sure", "great", "good", "sim", "n\u00e3o", "nao",
    "obrigado", "obrigada", "prossiga", "segue", "beleza", "certo", "show", "valeu"})
HARD_WORDS = frozenset({"why", "how", "bug", "plan", "erro", "gere", "prove", "error", "falha", "monte",
                        "prova", "broken", "depure", "compare"})
HARD_STEMS = ("design", "architect", "optimi", "refactor", "implement", "analy", "compar", "debug",
              "deriv", "evaluat", "integrat", "migrat", "audit", "projet", "arquitet", "otimiz",
              "refator", "analis", "planej", "avali", "estud", "viabilid", "estrateg", "constru",
              "desenvolv", "valid", "verific", "revis", "integr", "corrij", "corrig", "diagnostic",
              "investig")
BUDGETS = {"off": 0, "low": 1024, "medium": 4096, "high": 16384}
CODE_SYMBOLS = b"();<=>`{}"
# Alphabetic characters that are neither letters nor numbers (Other_Alphabetic),
# which Python's database does not tell: the model knows only these.
OTHER_ALPHABETIC = frozenset({"\u0345", "\u24b6", "\u24d0"})


def is_alnum(ch: str) -> bool:
    """Alphabetic or a number (Nd, Nl, No)."""
    cat = unicodedata.category(ch)
    return cat[0] == "L" or cat in ("Nd", "Nl", "No") or ch in OTHER_ALPHABETIC


def word_core(word: str) -> str:
    """The word without its leading and trailing characters that are not alphanumeric."""
    b, e = 0, len(word)
    while b < e and not is_alnum(word[b]):
        b += 1
    while e > b and not is_alnum(word[e - 1]):
        e -= 1
    return word[b:e]


def _share(count: int, full: int) -> float:
    """min(count / full, 1) in single precision."""
    return min(f32(f32(float(count)) / f32(float(full))), 1.0)


def effort_gauge(text: str) -> dict[str, Any]:
    """The gauge on the text lowered by Python's str.lower(): exact where that
    and is_alnum agree with the module's Unicode data (the characters of one
    Unicode version, with Other_Alphabetic only as far as OTHER_ALPHABETIC)."""
    low = text.lower()
    raw = low.encode()
    words = split_words(low)
    cores = [word_core(w) for w in words]
    n = len(words)
    hard = sum(c in HARD_WORDS or c.startswith(HARD_STEMS) for c in cores)
    cons = sum(c in CONSTRAINT_WORDS for c in cores)
    code = sum(c in CODE_WORDS for c in cores) + sum(raw.count(s) for s in CODE_SYMBOLS) // 6
    trivial = sum(c in TRIVIAL_WORDS for c in cores)
    digits = sum(raw.count(d) for d in b"0123456789")
    digit_ratio = f32(f32(float(digits)) / f32(float(len(raw)))) if raw else 0.0
    novelty = f32(f32(float(len(set(words)))) / f32(float(n))) if n else 0.0
    len_score = _share(n, 400)
    s = f32(len_score * f32(0.3))
    s = f32(s + f32(_share(hard, 3) * 0.25))
    s = f32(s + f32(_share(cons, 6) * f32(0.2)))
    s = f32(f32(_share(code, 12) * f32(0.15)) + s)
    s = f32(f32(min(f32(digit_ratio * 8.0), 1.0) * f32(0.1)) + s)
    score = min(max(f32(s * f32(f32(novelty * 0.5) + 0.5)), 0.0), 1.0)
    if (n <= 7 and hard == 0 and code == 0) or (n <= 3 and trivial > 0):
        score = min(score, f32(0.05))
    if score < f32(0.15):
        tier = "low" if n >= 4 and hard > 0 and score > f32(0.05) else "off"
    else:
        tier = "low" if score < f32(0.4) else "medium" if score < f32(0.7) else "high"
    signals = {"words": n, "len_score": len_score, "hard_hits": hard, "constraint_hits": cons,
               "code_hits": code, "digit_ratio": digit_ratio, "novelty": novelty, "trivial_hits": trivial}
    return {"score": score, "tier": tier, "budget_tokens": BUDGETS[tier], "signals": signals}

