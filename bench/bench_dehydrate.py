"""One-shot `dehydrate` of a 10,000-message history (texts of 50 to 2,000
bytes, one in ten non-ASCII) and of its all-ASCII copy: the module against
the careful pure-Python peer, the numpy peer (array conversion included),
LangChain's `trim_messages` and the floor.

* Later calls: every sample passes the same history again, as an agent that
  re-trims its history every turn does.
* First call: every sample gets a fresh copy of the history (new str
  objects), so nothing a previous call left on the texts can help.
* LangChain: `trim_messages(strategy="last", token_counter=
  count_tokens_approximately)` on the same history as BaseMessage objects
  (built untimed), with the budget that the module's kept messages count to
  under the same counter. It keeps a different set (the newest messages that
  fit), so it is reported, not checked for agreement.
* Floor (bench/floor): the same pairs walked through the same calls, each
  text's UTF-8 length read, the same nine-key dict with a kept list built.
  "floor, cached UTF-8" reads every length with PyUnicode_AsUTF8AndSize,
  which leaves a UTF-8 copy on each non-ASCII str: the route that makes later
  calls as cheap as on ASCII, at that copy's memory (reported as
  `utf8_cache_bytes`).

    python bench/bench_dehydrate.py [--json FILE] [--tiny] [messages]
"""
from __future__ import annotations

import sys

import zelmo_micro

import common
import harness
import numpy_peers
import reference
import workloads

CACHED_FLOOR = "floor, cached UTF-8"


def _without_latency(result: dict) -> dict:
    out = dict(result)
    out.pop("kernel_latency_us")
    return out


def fresh_copy(messages):
    """The same history with new str objects (nothing cached on them)."""
    return [(text.encode().decode(), flags) for text, flags in messages]


def ascii_copy(messages):
    """The history with every non-ASCII character replaced by '?'."""
    return [(text if text.isascii() else text.encode("ascii", "replace").decode(), flags)
            for text, flags in messages]


def langchain_peer(messages, kept):
    """(trim, args) for LangChain's trim_messages on the history as
    BaseMessage objects, at the budget the module's kept messages reach;
    None when langchain-core is not installed."""
    try:
        from langchain_core.messages import AIMessage, HumanMessage, SystemMessage, ToolMessage
        from langchain_core.messages.utils import count_tokens_approximately, trim_messages
    except ImportError:
        print("  langchain-core is not installed (pip install .[bench]); no LangChain row")
        return None

    def message(i, text, flags):
        if flags & reference.SYSTEM:
            return SystemMessage(text)
        if flags & reference.USER:
            return HumanMessage(text)
        if flags & reference.TOOL:
            return ToolMessage(text, tool_call_id=f"call_{i}")
        return AIMessage(text)

    as_messages = [message(i, text, flags) for i, (text, flags) in enumerate(messages)]
    kept_ids = set(map(id, kept))
    budget = count_tokens_approximately([m for m, (text, _) in zip(as_messages, messages) if id(text) in kept_ids])

    def trim(history):
        return trim_messages(history, max_tokens=budget, token_counter=count_tokens_approximately,
                             strategy="last")

    trimmed = trim(as_messages)
    if not trimmed or count_tokens_approximately(trimmed) > budget:
        raise AssertionError("trim_messages: no messages kept, or more than the budget")
    return trim, (as_messages,), {"budget": budget, "kept": len(trimmed)}


def utf8_cache_bytes(messages) -> int:
    """Memory the cached route leaves on a fresh copy of the history."""
    copy = fresh_copy(messages)
    before = sum(sys.getsizeof(text) for text, _ in copy)
    common.floor().dehydrate_cached(copy)
    return sum(sys.getsizeof(text) for text, _ in copy) - before


def run(report: common.Report, tiny: bool, size: int | None = None):
    n = size or (300 if tiny else 10_000)
    floor = common.floor()
    mixed = workloads.history(n)
    histories = {f"dehydrate, {n:,} messages, all ASCII": ascii_copy(mixed),
                 f"dehydrate, {n:,} messages, 10% non-ASCII": mixed}
    impls = {"zelmo": zelmo_micro.dehydrate, "python": reference.dehydrate, "numpy": numpy_peers.dehydrate}
    for name, messages in histories.items():
        for args in ((), (6.0, 0.35, n // 20)):  # and with a protected prefix
            common.agree(name + (f" (stable_prefix={args[2]})" if args else ""),
                         {k: _without_latency(f(fresh_copy(messages), *args)) for k, f in impls.items()})
        kept = zelmo_micro.dehydrate(messages)["kept"]
        # The floor keeps every durable message; the module keeps those and a few recent ones.
        floor_kept = floor.dehydrate(messages)["kept"]
        if not set(map(id, floor_kept)) <= set(map(id, kept)):
            raise AssertionError(f"{name}: the floor keeps a message the module purges")
        for impl, f in impls.items():
            report.add(name, impl, harness.time_call(f, messages))
        report.add(name, "floor", harness.time_call(floor.dehydrate, messages))
        if "non-ASCII" in name:
            report.add(name, CACHED_FLOOR, harness.time_call(floor.dehydrate_cached, fresh_copy(messages)))
            peer = langchain_peer(messages, kept)
            if peer:
                trim, trim_args, figures = peer
                report.add(name, "langchain", harness.time_call(trim, *trim_args), **figures)
            report.note(name, "utf8 cache", utf8_cache_bytes=utf8_cache_bytes(messages),
                        text_bytes=sum(sys.getsizeof(text) for text, _ in messages))

    # The first call on a history: a fresh copy per sample.
    name = f"dehydrate, {n:,} messages, 10% non-ASCII, first call"
    for impl, f in (("zelmo", zelmo_micro.dehydrate), ("python", reference.dehydrate),
                    ("floor", floor.dehydrate), (CACHED_FLOOR, floor.dehydrate_cached)):
        report.add(name, impl, harness.time_call(f, setup=lambda: (fresh_copy(mixed),)))


def module_calls(tiny: bool):
    """(workload, make) per module row for the instruction counts: make()
    returns (fn, args, calls)."""
    n = 300 if tiny else 10_000
    mixed = workloads.history(n)
    ascii_history = ascii_copy(mixed)
    return [
        (f"dehydrate, {n:,} messages, all ASCII", lambda: (zelmo_micro.dehydrate, (ascii_history,), 3)),
        (f"dehydrate, {n:,} messages, 10% non-ASCII", lambda: (zelmo_micro.dehydrate, (mixed,), 3)),
        (f"dehydrate, {n:,} messages, 10% non-ASCII, first call",
         lambda: (zelmo_micro.dehydrate, (fresh_copy(mixed),), 1)),
    ]


if __name__ == "__main__":
    common.main("dehydrate", run)
