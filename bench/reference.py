"""Pure-Python peers of zelmo_micro, written the way a careful Python developer
would write them: idiomatic, using the standard library's C-level building
blocks (str methods, sets, tuples, `re`, `struct`), exact where exactness is
cheap, and with the same results as the module on the benchmark workloads.

Where exact agreement would need machinery a Python developer would not
reach for, the peers take the natural Python route and say so:

* Single-precision arithmetic is emulated by rounding each double result to
  float32 through `struct` (exact for +, -, *, / of float32 inputs); exp2 is
  the double `2.0 ** x` rounded to float32, which can differ from the C
  library's exp2f in the last bit in rare cases.
* Deduplication (STATE ledger) and shingle identity (saturation scan) compare
  the texts themselves instead of 64-bit SipHash fingerprints: the same
  answer unless two different texts collide in 64 bits.
* Lower-casing and "alphanumeric" use Python's own Unicode data (`str.lower`,
  `str.isalnum` via `re`'s \\w), which differs from the module's Unicode 15
  Alphabetic/N* rules on a few rare code points.
"""
from __future__ import annotations

import math
import re
import struct
import threading
import time
from collections import deque
from itertools import islice

SYSTEM, USER, ASSISTANT, FACT, TOOL, THINKING = 1, 2, 4, 8, 16, 32
DURABLE_MASK, CONVERSATIONAL_MASK = SYSTEM | FACT, USER | ASSISTANT

_F32 = struct.Struct("f")
_pack, _unpack = _F32.pack, _F32.unpack


def f32(x: float) -> float:
    """`x` rounded to the nearest single-precision value (as a Python float)."""
    try:
        return _unpack(_pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


F32_TENTH = f32(0.1)
_WEIGHT_THINKING = f32(0.15)
_WEIGHT_UNCLASSIFIED = f32(0.6)


def metabolic_weight(flags: int) -> float:
    if flags & DURABLE_MASK:
        return 4.0
    if flags & CONVERSATIONAL_MASK:
        return 1.0
    if flags & THINKING:
        return _WEIGHT_THINKING
    if flags & TOOL:
        return 0.25
    return _WEIGHT_UNCLASSIFIED


def estimate_tokens(text: str) -> int:
    return (len(text.encode("utf-8")) // 4 + 1) & 0xFFFFFFFF


# Unicode White_Space. Python's str.split() also splits on U+001C..U+001F,
# so it is only used when none of those four characters occurs.
_WORD_RE = re.compile("[^\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")
_SPLIT_ONLY_IN_PYTHON = re.compile("[\x1c-\x1f]")


def split_words(text: str) -> list[str]:
    if _SPLIT_ONLY_IN_PYTHON.search(text) is None:
        return text.split()
    return _WORD_RE.findall(text)


# ---------------------------------------------------------------------------
# dehydrate

def dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0):
    if isinstance(messages, str):
        raise TypeError("Can't extract `str` to `Vec`")
    h = f32(half_life)
    if not h >= F32_TENTH:
        h = F32_TENTH
    t = f32(safe_threshold)
    n = len(messages)
    start = time.perf_counter_ns()
    keep = []
    for i, (_, flags) in enumerate(messages):
        if i < stable_prefix or flags & DURABLE_MASK:
            keep.append(True)
        else:
            d = f32(2.0 ** f32(-float(n - 1 - i) / h))
            keep.append(f32(d * metabolic_weight(flags)) >= t)
    latency_us = (time.perf_counter_ns() - start) / 1000.0

    kept = []
    tokens_before = tokens_after = prefix_tokens = purged = 0
    for i, ((text, _), k) in enumerate(zip(messages, keep)):
        tokens = estimate_tokens(text)
        tokens_before += tokens
        if i < stable_prefix:
            prefix_tokens += tokens
        if k:
            kept.append(text)
            tokens_after += tokens
        else:
            purged += 1
    return {
        "kept": kept,
        "blocks_in": n,
        "blocks_kept": n - purged,
        "blocks_purged": purged,
        "tokens_before": tokens_before,
        "tokens_after": tokens_after,
        "reduction": 1.0 - tokens_after / tokens_before if tokens_before else 0.0,
        "stable_prefix_tokens": prefix_tokens,
        "kernel_latency_us": latency_us,
    }


# ---------------------------------------------------------------------------
# ContextApoptosis

def one_line_digest(text: str) -> str:
    joined = " ".join(split_words(text))
    raw = joined.encode("utf-8")
    if len(raw) <= 120:
        return joined
    cut = 120
    while cut < len(raw) and (raw[cut] & 0xC0) == 0x80:
        cut += 1
    if cut == len(raw):
        return joined
    return raw[:cut].decode("utf-8") + "\u2026"


class _Block:
    __slots__ = ("content", "oxygen", "signal", "tokens")

    def __init__(self, content, oxygen, signal, tokens):
        self.content = content
        self.oxygen = oxygen
        self.signal = signal
        self.tokens = tokens


class ContextApoptosis:
    """The window with its three locks (blocks, purpose, ledger)."""

    def __init__(self, half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64):
        h = f32(half_life)
        self._half_life = h if h >= F32_TENTH else F32_TENTH
        self._threshold = f32(safe_threshold)
        self._state_capacity = state_capacity or 1
        self._blocks: list[_Block] = []
        self._purpose = None
        self._ledger: deque[str] = deque()
        self._ledger_set: set[str] = set()
        self._inserted = 0
        self._reclaimed = 0
        self._blocks_lock = threading.Lock()
        self._purpose_lock = threading.Lock()
        self._ledger_lock = threading.Lock()

    def insert(self, content, signal=0, oxygen=None):
        if not isinstance(content, str):
            raise TypeError(f"'{type(content).__qualname__}' object is not an instance of 'str'")
        tokens = estimate_tokens(content)
        ox = None if oxygen is None else f32(oxygen)
        if ox is None or ox < 0.0:
            ox = metabolic_weight(signal)
        self._inserted += tokens
        with self._blocks_lock:
            self._blocks.append(_Block(content, ox, signal, tokens))

    def __len__(self):
        with self._blocks_lock:
            return len(self._blocks)

    def active_context(self):
        with self._blocks_lock:
            return [b.content for b in self._blocks]

    def active_tokens(self):
        with self._blocks_lock:
            return sum(b.tokens for b in self._blocks)

    def inserted_tokens(self):
        return self._inserted

    def reduction_ratio(self):
        if not self._inserted:
            return 0.0
        return f32(f32(self._reclaimed) / f32(self._inserted))

    def _decay_factor(self):
        return f32(2.0 ** f32(-1.0 / self._half_life))

    def dehydrate(self, reinforce_boost=0.5, absorb=False):
        boost = f32(reinforce_boost)
        decay = self._decay_factor()
        t = self._threshold
        digests = []
        with self._blocks_lock:
            survivors = []
            reclaimed = 0
            for b in self._blocks:
                if b.signal & DURABLE_MASK:
                    b.oxygen = f32(b.oxygen + boost)
                    survivors.append(b)
                    continue
                b.oxygen = ox = f32(b.oxygen * decay)
                if ox >= t:
                    survivors.append(b)
                else:
                    reclaimed += b.tokens
                    if absorb and b.signal & CONVERSATIONAL_MASK:
                        digests.append(one_line_digest(b.content))
            purged = len(self._blocks) - len(survivors)
            self._blocks[:] = survivors
            self._reclaimed += reclaimed
        for d in digests:
            self._append_state(d)
        return purged

    def _append_state(self, text):
        with self._ledger_lock:
            if text in self._ledger_set:
                return False
            self._ledger.append(text)
            self._ledger_set.add(text)
            while len(self._ledger) > self._state_capacity:
                self._ledger_set.discard(self._ledger.popleft())
            return True

    def note_state(self, fact):
        return self._append_state(fact)

    def set_purpose(self, text):
        with self._purpose_lock:
            self._purpose = text

    def state_entries(self):
        with self._ledger_lock:
            return list(self._ledger)

    def render(self):
        parts = []
        with self._purpose_lock:
            if self._purpose is not None:
                parts.append(self._purpose + "\n")
        with self._ledger_lock:
            if self._ledger:
                parts.append("STATE:\n")
                parts.extend(f"- {e}\n" for e in self._ledger)
        with self._blocks_lock:
            parts.append("\n".join(self._block_texts()))
        return "".join(parts)

    def _block_texts(self):
        """The blocks' texts, oldest first; called under the blocks lock."""
        return (b.content for b in self._blocks)

    # For agreement checks: (content, oxygen, signal, tokens) per block.
    def _snapshot(self):
        with self._blocks_lock:
            return [(b.content, b.oxygen, b.signal, b.tokens) for b in self._blocks]


# ---------------------------------------------------------------------------
# effort_gauge

_CODE_WORDS = frozenset(("fn", "def", "class", "import", "return", "const", "let", "select",
                         "async", "struct", "impl", "function", "var", "pub"))
_CONSTRAINT_WORDS = frozenset((
    "must", "never", "always", "without", "ensure", "require", "requirement", "constraint",
    "invariant", "except", "deve", "nunca", "sempre", "sem", "garanta", "requisito",
    "restrição", "restricao", "invariante", "exceto", "obrigatório", "obrigatorio"))
_TRIVIAL_WORDS = frozenset((
    "ok", "okay", "yes", "no", "thanks", "continue", "sure", "great", "good", "sim", "não",
    "nao", "obrigado", "obrigada", "prossiga", "segue", "beleza", "certo", "show", "valeu"))
_HARD_WORDS = frozenset(("why", "how", "bug", "plan", "erro", "gere", "prove", "error", "falha",
                         "monte", "prova", "broken", "depure", "compare"))
_HARD_STEMS = (
    "design", "architect", "optimi", "refactor", "implement", "analy", "compar", "debug",
    "deriv", "evaluat", "integrat", "migrat", "audit", "projet", "arquitet", "otimiz",
    "refator", "analis", "planej", "avali", "estud", "viabilid", "estrateg", "constru",
    "desenvolv", "valid", "verific", "revis", "integr", "corrij", "corrig", "diagnostic",
    "investig")
# From the first to the last alphanumeric character ([^\W_] is str.isalnum()).
_CORE_RE = re.compile(r"[^\W_](?:.*[^\W_])?", re.S)
_W = {name: f32(v) for name, v in (("0.3", 0.3), ("0.25", 0.25), ("0.2", 0.2), ("0.15", 0.15),
                                    ("0.1", 0.1), ("0.05", 0.05), ("0.4", 0.4), ("0.7", 0.7))}


def effort_gauge(text: str):
    lowered = text.lower()
    words = split_words(lowered)
    n = len(words)
    code_symbols = sum(map(lowered.count, "();<=>`{}"))
    digits = sum(map(lowered.count, "0123456789"))
    nbytes = len(lowered.encode("utf-8"))

    code_words = hard = constraint = trivial = 0
    search = _CORE_RE.search
    for word in words:
        m = search(word)
        if m is None:
            continue
        core = m.group()
        if core in _CODE_WORDS:
            code_words += 1
        if core in _HARD_WORDS or core.startswith(_HARD_STEMS):
            hard += 1
        if core in _CONSTRAINT_WORDS:
            constraint += 1
        if core in _TRIVIAL_WORDS:
            trivial += 1
    code_hits = code_words + code_symbols // 6

    fw = f32(n)
    digit_ratio = f32(f32(digits) / f32(nbytes)) if nbytes else 0.0
    novelty = f32(f32(len(set(words))) / fw) if n else 0.0
    len_score = min(f32(fw / 400.0), 1.0)
    hard_norm = min(f32(f32(hard) / 3.0), 1.0)
    constraint_norm = min(f32(f32(constraint) / 6.0), 1.0)
    code_norm = min(f32(f32(code_hits) / 12.0), 1.0)
    digit_norm = min(f32(digit_ratio * 8.0), 1.0)

    w = _W
    s = f32(len_score * w["0.3"])
    s = f32(s + f32(hard_norm * w["0.25"]))
    s = f32(s + f32(constraint_norm * w["0.2"]))
    s = f32(f32(code_norm * w["0.15"]) + s)
    s = f32(f32(digit_norm * w["0.1"]) + s)
    factor = f32(f32(novelty * 0.5) + 0.5)
    score = min(max(f32(s * factor), 0.0), 1.0)
    if (n <= 7 and hard == 0 and code_hits == 0) or (n <= 3 and trivial > 0):
        score = min(score, w["0.05"])

    if score < w["0.15"]:
        tier, budget = ("low", 1024) if (n >= 4 and hard > 0 and score > w["0.05"]) else ("off", 0)
    elif score < w["0.4"]:
        tier, budget = "low", 1024
    elif score < w["0.7"]:
        tier, budget = "medium", 4096
    else:
        tier, budget = "high", 16384
    return {
        "score": score,
        "tier": tier,
        "budget_tokens": budget,
        "signals": {
            "words": n,
            "len_score": len_score,
            "hard_hits": hard,
            "constraint_hits": constraint,
            "code_hits": code_hits,
            "digit_ratio": digit_ratio,
            "novelty": novelty,
            "trivial_hits": trivial,
        },
    }


# ---------------------------------------------------------------------------
# saturation_scan

def saturation_scan(text: str, window: int = 8) -> float:
    w = window or 1
    tokens = split_words(text)
    n = len(tokens)
    if n < 2 * w:
        return 0.0
    windows = n - w + 1
    # Every window as a tuple of its tokens; the set keeps the distinct ones,
    # and every window beyond the first of its kind is a duplicate.
    distinct = len(set(zip(*(islice(tokens, k, None) for k in range(w)))))
    return f32(f32(windows - distinct) / f32(windows))


# ---------------------------------------------------------------------------
# consolidation_gain

def _ieee_div(a: float, b: float) -> float:
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def consolidation_gain(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1,
                       cache_write_ratio=1.25):
    purge = min(purgeable_tokens, prefix_tokens)
    rest = float(prefix_tokens - purge)
    prefix = float(prefix_tokens)
    calls = float(max(calls_ahead, 1))
    r, w = cache_read_ratio, cache_write_ratio
    if purge == 0:
        break_even = math.inf
    else:
        break_even = _ieee_div((w - r) * rest, r * (prefix - rest))
    cost_keep = r * (calls * prefix)
    cost_consolidate = (w * rest) + r * ((calls - 1.0) * rest)
    gain = cost_keep - cost_consolidate
    return {
        "consolidate": gain > 0.0,
        "gain_token_equiv": gain,
        "cost_keep": cost_keep,
        "cost_consolidate": cost_consolidate,
        "break_even_calls": break_even,
    }


# ---------------------------------------------------------------------------
# HormonalSignal and HormonalBus (threading.Lock + collections.deque)

class HormonalSignal:
    __slots__ = ("flags", "intensity")

    def __init__(self, flags, intensity=1.0):
        if not 0 <= flags <= 0xFFFFFFFF:
            raise OverflowError("out of range integral type conversion attempted")
        self.flags = flags
        self.intensity = f32(intensity)

    def __repr__(self):
        x = self.intensity
        shown = "NaN" if x != x else ("-inf" if x == -math.inf else "inf" if x == math.inf
                                      else f"{x:.3f}")
        return f"HormonalSignal(flags=0x{self.flags:X}, intensity={shown})"


class HormonalBus:
    def __init__(self, num_signals=32, event_capacity=4096):
        self._n = min(num_signals, 32) or 1
        self._mask = (1 << self._n) - 1
        self._capacity = event_capacity or 1
        self._channels = [0.0] * self._n
        self._secretions = 0
        self._events: deque = deque()
        self._lock = threading.Lock()

    def secrete(self, flags, intensity):
        if not 0 <= flags <= 0xFFFFFFFF:
            raise OverflowError("out of range integral type conversion attempted")
        x = f32(intensity)
        bits = flags & self._mask
        with self._lock:
            channels = self._channels
            while bits:
                low = bits & -bits
                i = low.bit_length() - 1
                channels[i] = f32(x + channels[i])
                bits ^= low
            self._secretions += 1
            if len(self._events) < self._capacity:
                self._events.append((flags, x))

    def inject(self, signal):
        if not isinstance(signal, HormonalSignal):
            raise TypeError(f"'{type(signal).__qualname__}' object is not an instance of 'HormonalSignal'")
        self.secrete(signal.flags, signal.intensity)

    def sense(self, mask):
        bits = mask & self._mask
        total = 0.0
        with self._lock:
            channels = self._channels
            while bits:
                low = bits & -bits
                total = f32(total + channels[low.bit_length() - 1])
                bits ^= low
        return total

    def concentration(self, signal_bit):
        with self._lock:
            return self._channels[signal_bit] if signal_bit < self._n else 0.0

    def tick(self, decay):
        d = f32(decay)
        with self._lock:
            self._channels = [f32(d * c) for c in self._channels]

    def snapshot(self):
        with self._lock:
            return list(self._channels)

    def drain_events(self, max):
        out = []
        with self._lock:
            events = self._events
            take = min(max, len(events))
            popleft = events.popleft
            for _ in range(take):
                out.append(popleft())
        return out

    def stats(self):
        with self._lock:
            total = -0.0
            for c in self._channels:
                total = f32(total + c)
            return {"num_signals": float(self._n), "secretions": float(self._secretions),
                    "total_concentration": total}
