"""Pure-Python peers of zelmo_micro, written the way a careful Python developer
would write them for real: double precision (`math.exp2`, or `2.0 ** x` on
Python 3.10), local binds, comprehensions, `str.split`, sets of tuples (or of
their hashes, for the scan's windows), one `threading.Lock` and a
`collections.deque` for the bus. Nothing emulates the module's
single-precision arithmetic or its hashing.

They are checked against the module on every benchmark workload before they
are timed: on decisions and counts (kept texts, token sums, purge counts,
rendered texts, tiers, word counts) exactly, and on figures that the module
computes in single precision (oxygen, ratios, concentrations) to within a
relative 1e-5. Where they take another route to the same answer they say so:

* Deduplication (the STATE ledger) and shingle identity (the saturation
  scan) compare the texts themselves, not 64-bit fingerprints: the same answer
  unless two different texts collide in 64 bits.
* Words are `str.split()` words. Python also splits on U+001C..U+001F, which
  are not white space to the module; a text holding one of those four takes
  a regular expression instead (a test of four `in`s decides).
* Lower-casing and "alphanumeric" use Python's own Unicode data (`str.lower`,
  `re`'s \\w), which differs from the module's on a few rare code points.
* Parameters are doubles: a threshold or half-life beyond single precision's
  range (a threshold of 1e-300, which the module's single precision makes 0)
  decides differently. The benchmark parameters are well inside it.
"""
from __future__ import annotations

import math
import re
import threading
import time
from collections import deque
from itertools import compress, islice, repeat
from operator import and_, floordiv, itemgetter, not_

try:
    from math import exp2
except ImportError:  # Python 3.10

    def exp2(x: float) -> float:
        return 2.0 ** x


SYSTEM, USER, ASSISTANT, FACT, TOOL, THINKING = 1, 2, 4, 8, 16, 32
DURABLE_MASK, CONVERSATIONAL_MASK = SYSTEM | FACT, USER | ASSISTANT


def metabolic_weight(flags: int) -> float:
    if flags & DURABLE_MASK:
        return 4.0
    if flags & CONVERSATIONAL_MASK:
        return 1.0
    if flags & THINKING:
        return 0.15
    if flags & TOOL:
        return 0.25
    return 0.6


def utf8_len(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode("utf-8"))


def estimate_tokens(text: str) -> int:
    return utf8_len(text) // 4 + 1


# Unicode White_Space less U+001C..U+001F, which str.split() also splits on.
_WORD_RE = re.compile("[^\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


def split_words(text: str) -> list[str]:
    if "\x1c" in text or "\x1d" in text or "\x1e" in text or "\x1f" in text:
        return _WORD_RE.findall(text)
    return text.split()


# ---------------------------------------------------------------------------
# dehydrate

def dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0):
    if isinstance(messages, str):
        raise TypeError("Can't extract `str` to `Vec`")
    h = half_life if half_life >= 0.1 else 0.1  # NaN too
    t = safe_threshold
    n = len(messages)
    last = n - 1
    p = min(stable_prefix, n)
    texts = list(map(itemgetter(0), messages))
    flags = list(map(itemgetter(1), messages))
    start = time.perf_counter_ns()
    # The heaviest class that decays weighs 1.0, so a message older than
    # h * log2(1 / t) can't reach the threshold: only the newest `horizon`
    # messages need their exp2 (two more than that bound, for its rounding).
    horizon = min(n, int(h * math.log2(1.0 / t)) + 2) if 0.0 < t < 1.0 else n
    cut = max(n - horizon, p)
    kept_at = list(range(p))
    kept_at += compress(range(p, cut), map(and_, flags[p:cut], repeat(DURABLE_MASK)))
    kept_at += [
        i for i in range(cut, n)
        if flags[i] & 9 or exp2((i - last) / h) * (
            1.0 if flags[i] & 6 else 0.15 if flags[i] & 32 else 0.25 if flags[i] & 16 else 0.6) >= t
    ]
    latency_us = (time.perf_counter_ns() - start) / 1000.0

    # Token estimates: len(text) // 4 + 1, the length in UTF-8 bytes.
    sizes = list(map(len, texts))
    for i in compress(range(n), map(not_, map(str.isascii, texts))):
        sizes[i] = len(texts[i].encode())
    quarters = list(map(floordiv, sizes, repeat(4)))
    tokens_before = sum(quarters) + n
    tokens_after = sum([quarters[i] for i in kept_at]) + len(kept_at)
    return {
        "kept": [texts[i] for i in kept_at],
        "blocks_in": n,
        "blocks_kept": len(kept_at),
        "blocks_purged": n - len(kept_at),
        "tokens_before": tokens_before,
        "tokens_after": tokens_after,
        "reduction": 1.0 - tokens_after / tokens_before if tokens_before else 0.0,
        "stable_prefix_tokens": sum(quarters[:p]) + p,
        "kernel_latency_us": latency_us,
    }


# ---------------------------------------------------------------------------
# ContextApoptosis

def one_line_digest(text: str) -> str:
    # The first 120 words alone already span more than 120 bytes, so the
    # rest of a long text is left unsplit.
    if "\x1c" in text or "\x1d" in text or "\x1e" in text or "\x1f" in text:
        words = _WORD_RE.findall(text)
    else:
        words = text.split(None, 120)
    joined = " ".join(words)
    if len(joined) <= 30 or utf8_len(joined) <= 120:  # 30 characters are at most 120 bytes
        return joined
    raw = joined.encode()
    cut = 120
    while cut < len(raw) and (raw[cut] & 0xC0) == 0x80:
        cut += 1
    if cut == len(raw):
        return joined
    return raw[:cut].decode() + "\u2026"


class ContextApoptosis:
    """The window under one lock: blocks as [content, oxygen, signal, tokens]
    lists, the STATE ledger as a deque of its rendered lines with a set of
    its entries beside it. The timed methods take the lock with acquire()
    and give it back in a finally: on CPython 3.11 that costs about 90 ns
    less a call than `with`, whose __enter__ and __exit__ are calls of their
    own (the bus below does the same)."""

    def __init__(self, half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64):
        self._half_life = half_life if half_life >= 0.1 else 0.1
        self._decay = exp2(-1.0 / self._half_life)
        self._threshold = safe_threshold
        self._state_capacity = state_capacity or 1
        self._blocks: list[list] = []
        self._purpose = None
        self._ledger: deque[str] = deque()
        self._ledger_set: set[str] = set()
        self._inserted = 0
        self._reclaimed = 0
        self._lock = threading.Lock()

    def insert(self, content, signal=0, oxygen=None):
        if not isinstance(content, str):
            raise TypeError(f"'{type(content).__qualname__}' object is not an instance of 'str'")
        tokens = (len(content) if content.isascii() else len(content.encode())) // 4 + 1
        if oxygen is None or oxygen < 0.0:
            oxygen = metabolic_weight(signal)
        lock = self._lock
        lock.acquire()
        try:
            self._inserted += tokens
            self._blocks.append([content, oxygen, signal, tokens])
        finally:
            lock.release()

    def __len__(self):
        return len(self._blocks)

    def active_context(self):
        with self._lock:
            return [b[0] for b in self._blocks]

    def active_tokens(self):
        with self._lock:
            return sum([b[3] for b in self._blocks])

    def inserted_tokens(self):
        return self._inserted

    def reduction_ratio(self):
        with self._lock:
            return self._reclaimed / self._inserted if self._inserted else 0.0

    def dehydrate(self, reinforce_boost=0.5, absorb=False):
        decay, t = self._decay, self._threshold
        survivors = []
        keep = survivors.append
        purged = []
        lock = self._lock
        lock.acquire()
        try:
            for b in self._blocks:
                if b[2] & 9:
                    b[1] += reinforce_boost
                    keep(b)
                else:
                    b[1] *= decay
                    if b[1] >= t:
                        keep(b)
                    else:
                        purged.append(b)
            if not purged:
                return 0
            self._blocks = survivors
            self._reclaimed += sum([b[3] for b in purged])
            if absorb:
                for b in purged:
                    if b[2] & 6:
                        self._append_state(one_line_digest(b[0]))
        finally:
            lock.release()
        return len(purged)

    def _append_state(self, text):
        """Under the lock."""
        if text in self._ledger_set:
            return False
        self._ledger.append(f"- {text}\n")
        self._ledger_set.add(text)
        if len(self._ledger) > self._state_capacity:
            self._ledger_set.discard(self._ledger.popleft()[2:-1])
        return True

    def note_state(self, fact):
        with self._lock:
            return self._append_state(fact)

    def set_purpose(self, text):
        with self._lock:
            self._purpose = text

    def state_entries(self):
        with self._lock:
            return [line[2:-1] for line in self._ledger]

    def render(self):
        # One join over every piece: joining the blocks first and adding the
        # head after copies the whole text twice (and the second large
        # temporary costs the allocator fresh pages on every render).
        lock = self._lock
        lock.acquire()
        try:
            parts = [] if self._purpose is None else [self._purpose, "\n"]
            if self._ledger:
                parts.append("STATE:\n")
                parts += self._ledger
            texts = self._block_texts()
            if texts:
                first = len(parts)
                parts += ["\n"] * (2 * len(texts) - 1)
                parts[first::2] = texts  # the blocks, a "\n" between each two
            return "".join(parts)
        finally:
            lock.release()

    def _block_texts(self):
        """The blocks' texts, oldest first; called under the lock."""
        return [b[0] for b in self._blocks]


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


def effort_gauge(text: str):
    lowered = text.lower()
    words = split_words(lowered)
    n = len(words)
    count = lowered.count
    code_symbols = sum([count(c) for c in "();<=>`{}"])
    digits = sum([count(c) for c in "0123456789"])
    nbytes = utf8_len(lowered)

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

    digit_ratio = digits / nbytes if nbytes else 0.0
    novelty = len(set(words)) / n if n else 0.0
    len_score = min(n / 400.0, 1.0)
    s = (len_score * 0.3 + min(hard / 3.0, 1.0) * 0.25 + min(constraint / 6.0, 1.0) * 0.2
         + min(code_hits / 12.0, 1.0) * 0.15 + min(digit_ratio * 8.0, 1.0) * 0.1)
    score = min(max(s * (novelty * 0.5 + 0.5), 0.0), 1.0)
    if (n <= 7 and hard == 0 and code_hits == 0) or (n <= 3 and trivial > 0):
        score = min(score, 0.05)

    if score < 0.15:
        tier, budget = ("low", 1024) if (n >= 4 and hard > 0 and score > 0.05) else ("off", 0)
    elif score < 0.4:
        tier, budget = "low", 1024
    elif score < 0.7:
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
    # Every window as a tuple of its words, counted by its 64-bit hash (as
    # the module counts windows by 64-bit fingerprints): the set holds ints,
    # not tuples, and zip reuses its tuple once hash() is done with it. Two
    # distinct windows of a 1 MB text share a hash with a chance near 1e-9.
    # The k-th word of each window comes from a list iterator advanced by k
    # words, which zip steps faster than an islice.
    streams = []
    for k in range(w):
        stream = iter(tokens)
        next(islice(stream, k, k), None)
        streams.append(stream)
    distinct = len(set(map(hash, zip(*streams))))
    return (windows - distinct) / windows


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
# HormonalSignal and HormonalBus (one threading.Lock and a collections.deque)

class HormonalSignal:
    __slots__ = ("flags", "intensity")

    def __init__(self, flags, intensity=1.0):
        if not 0 <= flags <= 0xFFFFFFFF:
            raise OverflowError("out of range integral type conversion attempted")
        self.flags = flags
        self.intensity = float(intensity)

    def __repr__(self):
        x = self.intensity
        shown = "NaN" if x != x else ("-inf" if x == -math.inf else "inf" if x == math.inf
                                      else f"{x:.3f}")
        return f"HormonalSignal(flags=0x{self.flags:X}, intensity={shown})"


class HormonalBus:
    """Channels as a list of floats, events as (flags, intensity) tuples in a
    deque, all under one lock. The channels a flag word selects are looked up
    in a small cache (agents use a handful of flag words)."""

    _CACHED_MASKS = 4096

    def __init__(self, num_signals=32, event_capacity=4096):
        self._n = min(num_signals, 32) or 1
        self._mask = (1 << self._n) - 1
        self._capacity = event_capacity or 1
        self._channels = [0.0] * self._n
        self._secretions = 0
        self._events: deque = deque()
        self._lock = threading.Lock()
        self._selected: dict[int, tuple[int, ...]] = {}

    def _channels_of(self, bits: int) -> tuple[int, ...]:
        selected = self._selected.get(bits)
        if selected is None:
            selected = tuple(i for i in range(self._n) if bits >> i & 1)
            if len(self._selected) < self._CACHED_MASKS:
                self._selected[bits] = selected
        return selected

    def secrete(self, flags, intensity):
        if not 0 <= flags <= 0xFFFFFFFF:
            raise OverflowError("out of range integral type conversion attempted")
        x = float(intensity)
        selected = self._selected.get(flags & self._mask) or self._channels_of(flags & self._mask)
        lock = self._lock
        lock.acquire()
        try:
            channels = self._channels
            for i in selected:
                channels[i] += x
            self._secretions += 1
            if len(self._events) < self._capacity:
                self._events.append((flags, x))
        finally:
            lock.release()

    def inject(self, signal):
        if not isinstance(signal, HormonalSignal):
            raise TypeError(f"'{type(signal).__qualname__}' object is not an instance of 'HormonalSignal'")
        self.secrete(signal.flags, signal.intensity)

    def sense(self, mask):
        selected = self._channels_of(mask & self._mask)
        lock = self._lock
        lock.acquire()
        try:
            channels = self._channels
            return sum([channels[i] for i in selected], 0.0)
        finally:
            lock.release()

    def concentration(self, signal_bit):
        with self._lock:
            return self._channels[signal_bit] if signal_bit < self._n else 0.0

    def tick(self, decay):
        lock = self._lock
        lock.acquire()
        try:
            self._channels = [decay * c for c in self._channels]
        finally:
            lock.release()

    def snapshot(self):
        with self._lock:
            return list(self._channels)

    def drain_events(self, max):
        lock = self._lock
        lock.acquire()
        try:
            events = self._events
            if max >= len(events):
                out = list(events)
                events.clear()
                return out
            popleft = events.popleft
            return [popleft() for _ in range(max)]
        finally:
            lock.release()

    def stats(self):
        with self._lock:
            return {"num_signals": float(self._n), "secretions": float(self._secretions),
                    "total_concentration": sum(self._channels, 0.0)}
