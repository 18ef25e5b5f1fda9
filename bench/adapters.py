"""zelmo's adapters against their peers on a 10,000-message history.

    python bench/adapters.py [--tiny] [size]

1. LangChain messages: `zelmo.langchain.trim_messages` against
   `langchain_core.messages.trim_messages(..., token_counter=
   count_tokens_approximately, strategy="last")` at the same budget, and the
   bare `zelmo_micro.dehydrate` on the same history (the adapter's overhead).
2. OpenAI Chat Completions dicts: `zelmo.openai_chat.trim` against a careful
   plain-Python loop that applies the same rules to the same dicts, checked to
   keep the same messages first.

The texts and classes come from the suite's seeded history generator
(bench/workloads.py). Each time is the median of 7 samples of a loop that
lasts at least 0.2 s, with the garbage collector off while sampling. Times
are the process's CPU time (time.process_time), so that other load on a
shared machine does not count against either side.
"""
from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import zelmo_micro as z  # noqa: E402
from langchain_core.messages import (AIMessage, BaseMessage, HumanMessage,  # noqa: E402
                                     SystemMessage, ToolMessage)
from langchain_core.messages import trim_messages as lc_trim_messages  # noqa: E402
from langchain_core.messages.utils import count_tokens_approximately  # noqa: E402

import workloads  # noqa: E402
import zelmo.langchain  # noqa: E402
from zelmo import openai_chat  # noqa: E402


# ------------------------------------------------------------------ the history


def chat_history(n: int) -> list[dict[str, Any]]:
    """The seeded history as Chat Completions dicts. Classes map to roles:
    SYSTEM -> system, USER and FACT -> user (FACT pinned), ASSISTANT, THINKING
    and unclassified -> assistant, TOOL -> a tool result answering a call that
    the latest assistant message makes (user when none came yet)."""
    out: list[dict[str, Any]] = []
    last_assistant: dict[str, Any] | None = None
    for i, (text, flags) in enumerate(workloads.history(n)):
        if flags & z.SYSTEM:
            msg: dict[str, Any] = {"role": "system", "content": text}
        elif flags & (z.USER | z.FACT):
            msg = {"role": "user", "content": text}
            if flags & z.FACT:
                msg["zelmo_pinned"] = True
        elif flags & z.TOOL and last_assistant is not None:
            call_id = f"call_{i}"
            last_assistant.setdefault("tool_calls", []).append(
                {"id": call_id, "type": "function",
                 "function": {"name": "run", "arguments": json.dumps({"step": i})}})
            msg = {"role": "tool", "tool_call_id": call_id, "content": text}
        elif flags & z.TOOL:
            msg = {"role": "user", "content": text}
        else:
            msg = {"role": "assistant", "content": text}
            last_assistant = msg
        out.append(msg)
    return out


def langchain_history(chat: list[dict[str, Any]]) -> list[BaseMessage]:
    out: list[BaseMessage] = []
    for m in chat:
        pin = {"zelmo_pinned": True} if m.get("zelmo_pinned") else {}
        if m["role"] == "system":
            out.append(SystemMessage(m["content"]))
        elif m["role"] == "user":
            out.append(HumanMessage(m["content"], additional_kwargs=pin))
        elif m["role"] == "tool":
            out.append(ToolMessage(m["content"], tool_call_id=m["tool_call_id"]))
        else:
            calls = [{"name": c["function"]["name"], "args": json.loads(c["function"]["arguments"]),
                      "id": c["id"]} for c in m.get("tool_calls", ())]
            out.append(AIMessage(m["content"], tool_calls=calls))
    return out


# ------------------------------------------------------- the plain-Python peer

# The module's float32 threshold and class weights, by class precedence.
THRESHOLD = 0.3499999940395355
ROLE_FLAGS = {"system": z.SYSTEM, "developer": z.SYSTEM, "user": z.USER,
              "assistant": z.ASSISTANT, "tool": z.TOOL}


def weight(flags: int) -> float:
    if flags & (z.USER | z.ASSISTANT):
        return 1.0
    if flags & z.THINKING:
        return 0.15
    if flags & z.TOOL:
        return 0.25
    return 0.6


def est(text: str) -> int:
    return len(text.encode("utf-8")) // 4 + 1


def plain_trim(messages: list[dict[str, Any]], max_tokens: int, half_life: float = 6.0) -> list[int]:
    """The same rules as zelmo's, written as one would by hand over dicts."""
    n = len(messages)
    flags, tokens, unit = [0] * n, [0] * n, list(range(n))
    caller: dict[str, int] = {}
    last_user = -1
    for i, m in enumerate(messages):
        f = ROLE_FLAGS[m["role"]]
        if m.get("zelmo_pinned"):
            f |= z.FACT
        content = m.get("content")
        t = est(content) if isinstance(content, str) else 0
        for c in m.get("tool_calls") or ():
            caller[c["id"]] = i
            t += est(c["function"]["name"]) + est(c["function"]["arguments"])
        if f == z.TOOL:
            unit[i] = unit[caller[m["tool_call_id"]]]
        if f & z.USER:
            last_user = i
        flags[i], tokens[i] = f, t
    members: dict[int, list[int]] = {}
    for i in range(n):
        members.setdefault(unit[i], []).append(i)
    keep_unit: dict[int, bool] = {}
    must_unit: dict[int, bool] = {}
    for i in range(n):
        f = flags[i]
        durable = bool(f & (z.SYSTEM | z.FACT))
        alive = durable or weight(f) * 2.0 ** (-(n - 1 - i) / half_life) >= THRESHOLD
        must = durable or (last_user >= 0 and i >= last_user)
        u = unit[i]
        keep_unit[u] = keep_unit.get(u, False) or alive or must
        must_unit[u] = must_unit.get(u, False) or must
    total = sum(tokens[i] for u, ms in members.items() if keep_unit[u] for i in ms)
    for u in sorted(members):
        if total <= max_tokens:
            break
        if keep_unit[u] and not must_unit[u]:
            keep_unit[u] = False
            total -= sum(tokens[i] for i in members[u])
    if total > max_tokens:
        raise ValueError("over budget")
    return [i for i in range(n) if keep_unit[unit[i]]]


# ------------------------------------------------------------------- timing


def timed(fn: Callable[[], object], min_seconds: float, samples: int = 7) -> float:
    """Median seconds per call."""
    fn()
    number, elapsed = 1, 0.0
    while True:
        start = time.process_time()
        for _ in range(number):
            fn()
        elapsed = time.process_time() - start
        if elapsed >= min_seconds:
            break
        number *= 2
    results = []
    gc.disable()
    try:
        for _ in range(samples):
            start = time.process_time()
            for _ in range(number):
                fn()
            results.append((time.process_time() - start) / number)
    finally:
        gc.enable()
    return statistics.median(results)


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:8.3f} ms"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("size", nargs="?", type=int, default=10_000)
    parser.add_argument("--tiny", action="store_true", help="a quick check that everything runs")
    args = parser.parse_args(argv)
    n = 200 if args.tiny else args.size
    min_seconds = 0.01 if args.tiny else 0.2

    chat = chat_history(n)
    lc = langchain_history(chat)
    budget = count_tokens_approximately(lc) // 2
    print(f"history: {n} messages, {count_tokens_approximately(lc)} tokens (LangChain's "
          f"approximate count), {sum(openai_chat.FORMAT.records(chat).tokens)} (module estimate); "
          f"budget {budget}")

    ours = zelmo.langchain.trim_messages(lc, max_tokens=budget)
    theirs = lc_trim_messages(lc, max_tokens=budget, token_counter=count_tokens_approximately,
                              strategy="last")
    print(f"kept: zelmo {len(ours)} messages, LangChain {len(theirs)}")
    pairs = [(m.content, f) for m, f in zip(lc, zelmo.langchain.FORMAT.records(lc).flags)]

    rows = [
        ("LangChain trim_messages (approximate counter)",
         lambda: lc_trim_messages(lc, max_tokens=budget, token_counter=count_tokens_approximately,
                                  strategy="last")),
        ("zelmo.langchain.trim_messages", lambda: zelmo.langchain.trim_messages(lc, max_tokens=budget)),
        ("zelmo.langchain.trim_messages, decay=False",
         lambda: zelmo.langchain.trim_messages(lc, max_tokens=budget, decay=False)),
        ("bare zelmo_micro.dehydrate (texts, flags)", lambda: z.dehydrate(pairs)),
    ]
    print("\nLangChain messages")
    times = {}
    for name, fn in rows:
        times[name] = timed(fn, min_seconds)
        print(f"  {name:<50} {ms(times[name])}")
    lc_time = times[rows[0][0]]
    zl_time = times[rows[1][0]]
    print(f"  speed-up over LangChain: {lc_time / zl_time:.1f}x (goal >= 10x); adapter beyond the "
          f"bare dehydrate: {ms(zl_time - times[rows[3][0]]).strip()}")

    chat_budget = sum(openai_chat.FORMAT.records(chat).tokens) // 2
    expected = plain_trim(chat, chat_budget)
    got = openai_chat.trim(chat, max_tokens=chat_budget).report.kept
    if got != expected:
        print("zelmo.openai_chat and the plain-Python loop disagree", file=sys.stderr)
        return 1
    print(f"\nOpenAI Chat dicts (budget {chat_budget}; both keep the same {len(got)} messages)")
    plain = timed(lambda: plain_trim(chat, chat_budget), min_seconds)
    zo = timed(lambda: openai_chat.trim(chat, max_tokens=chat_budget), min_seconds)
    print(f"  {'plain-Python loop':<50} {ms(plain)}")
    print(f"  {'zelmo.openai_chat.trim':<50} {ms(zo)}")
    print(f"  speed-up: {plain / zo:.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
