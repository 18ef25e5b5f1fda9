"""numpy versions of the two places where a performance-minded Python user
would vectorise: the one-shot `dehydrate` and the window's decay pass.

Both work in float32 (numpy's float32 exp2, multiply and compare), the
natural dtype for such arrays, and are checked against the module on
decisions and counts like the pure-Python peers. The cost of
getting the data into arrays (UTF-8 lengths, flags) and the kept texts back
out is part of the measured call.
"""
from __future__ import annotations

import time
from itertools import compress

import numpy as np

import reference as ref

_WEIGHTS = np.array([4.0, 1.0, 0.15, 0.25, 0.6], dtype=np.float32)


def _class_index(flags: np.ndarray) -> np.ndarray:
    """0 durable, 1 conversational, 2 thinking, 3 tool, 4 unclassified."""
    return np.select(
        [(flags & ref.DURABLE_MASK) != 0, (flags & ref.CONVERSATIONAL_MASK) != 0,
         (flags & ref.THINKING) != 0, (flags & ref.TOOL) != 0],
        [0, 1, 2, 3], 4)


def dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0):
    if isinstance(messages, str):
        raise TypeError("Can't extract `str` to `Vec`")
    n = len(messages)
    texts = [m[0] for m in messages]
    flags = np.fromiter((m[1] for m in messages), dtype=np.uint32, count=n)
    nbytes = np.fromiter((len(t.encode("utf-8")) for t in texts), dtype=np.int64, count=n)
    tokens = (nbytes // 4 + 1) & 0xFFFFFFFF

    h = np.float32(half_life)
    if not h >= np.float32(0.1):
        h = np.float32(0.1)
    t = np.float32(safe_threshold)
    start = time.perf_counter_ns()
    ages = np.arange(n - 1, -1, -1, dtype=np.float32)
    decay = np.exp2(-ages / h)
    cls = _class_index(flags)
    keep = (decay * _WEIGHTS[cls]) >= t
    keep |= cls == 0
    prefix = min(stable_prefix, n)
    keep[:prefix] = True
    latency_us = (time.perf_counter_ns() - start) / 1000.0

    tokens_before = int(tokens.sum())
    tokens_after = int(tokens[keep].sum())
    kept_count = int(np.count_nonzero(keep))
    return {
        "kept": list(compress(texts, keep.tolist())),
        "blocks_in": n,
        "blocks_kept": kept_count,
        "blocks_purged": n - kept_count,
        "tokens_before": tokens_before,
        "tokens_after": tokens_after,
        "reduction": 1.0 - tokens_after / tokens_before if tokens_before else 0.0,
        "stable_prefix_tokens": int(tokens[:prefix].sum()),
        "kernel_latency_us": latency_us,
    }


class ContextApoptosis(ref.ContextApoptosis):
    """The pure-Python window with its block store kept as parallel arrays
    (float32 oxygen, uint32 signal and tokens, grown by doubling) and a
    vectorised decay-and-purge pass."""

    def __init__(self, half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64):
        super().__init__(half_life, safe_threshold, capacity, state_capacity)
        size = max(capacity, 16)
        h = np.float32(half_life)
        self._decay32 = np.exp2(np.float32(-1.0) / (h if h >= np.float32(0.1) else np.float32(0.1)))
        self._threshold32 = np.float32(safe_threshold)
        self._contents: list[str] = []
        self._oxygen = np.empty(size, dtype=np.float32)
        self._signal = np.empty(size, dtype=np.uint32)
        self._tokens = np.empty(size, dtype=np.uint32)

    def insert(self, content, signal=0, oxygen=None):
        if not isinstance(content, str):
            raise TypeError(f"'{type(content).__qualname__}' object is not an instance of 'str'")
        tokens = ref.estimate_tokens(content)
        if oxygen is None or oxygen < 0.0:
            oxygen = ref.metabolic_weight(signal)
        lock = self._lock
        lock.acquire()
        try:
            self._inserted += tokens
            i = len(self._contents)
            if i == len(self._oxygen):
                self._oxygen = np.resize(self._oxygen, 2 * i)
                self._signal = np.resize(self._signal, 2 * i)
                self._tokens = np.resize(self._tokens, 2 * i)
            self._contents.append(content)
            self._oxygen[i] = oxygen
            self._signal[i] = signal
            self._tokens[i] = tokens
        finally:
            lock.release()

    def __len__(self):
        return len(self._contents)

    def active_context(self):
        with self._lock:
            return list(self._contents)

    def active_tokens(self):
        with self._lock:
            return int(self._tokens[: len(self._contents)].sum(dtype=np.uint64))

    def dehydrate(self, reinforce_boost=0.5, absorb=False):
        boost = np.float32(reinforce_boost)
        lock = self._lock
        lock.acquire()
        try:
            n = len(self._contents)
            ox = self._oxygen[:n]
            sig = self._signal[:n]
            durable = (sig & ref.DURABLE_MASK) != 0
            ox[durable] += boost
            ox[~durable] *= self._decay32
            keep = durable | (ox >= self._threshold32)
            purged = n - int(np.count_nonzero(keep))
            if purged:
                gone = ~keep
                if absorb:
                    conv = gone & ((sig & ref.CONVERSATIONAL_MASK) != 0)
                    for i in np.flatnonzero(conv):
                        self._append_state(ref.one_line_digest(self._contents[i]))
                self._reclaimed += int(self._tokens[:n][gone].sum(dtype=np.uint64))
                m = n - purged
                self._oxygen[:m] = ox[keep]
                self._signal[:m] = sig[keep]
                self._tokens[:m] = self._tokens[:n][keep]
                self._contents = list(compress(self._contents, keep.tolist()))
        finally:
            lock.release()
        return purged

    def _block_texts(self):
        return self._contents
