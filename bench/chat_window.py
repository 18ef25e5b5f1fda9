"""zelmo.ChatWindow over a 200-turn agent session, against a careful plain-Python window.

    python bench/chat_window.py [--tiny] [turns]

1. A session of Chat Completions dicts, four messages a turn (the request, a
   tool call, its result, the answer) and a decision noted every third turn,
   through `zelmo.ChatWindow`, the request built every turn; against a
   plain-Python window that applies the same rules (decay by half-life,
   durable system messages, digests of purged conversational messages in a
   bounded ledger, tool exchanges whole, the tail from the last user message)
   to the same dicts, checked first to send the same requests.
2. Save plus restore of the window after the whole session: `to_json` and
   `from_json` on the value, and with a JSON text round trip as a store
   would do.

Times come from the suite's harness (bench/harness.py): warm-up calls, then
the median of 7 samples of a calibrated loop, the garbage collector off
while sampling.
"""
from __future__ import annotations

import argparse
import json
import math
import random
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import harness  # noqa: E402

from zelmo import ChatWindow  # noqa: E402
from zelmo.openai_chat import FORMAT  # noqa: E402

PURPOSE = "Migrate the billing service to the new queue without losing an invoice."
WORDS = ("queue invoice retry worker deploy schema column index latency timeout "
         "consumer producer offset partition ledger account balance refund").split()


def session(turns: int, seed: int = 5) -> list[tuple[list[dict[str, Any]], list[str]]]:
    rng = random.Random(seed)

    def text(n: int) -> str:
        return " ".join(rng.choice(WORDS) for _ in range(n))

    out = []
    for t in range(turns):
        call = f"call_{t}"
        messages: list[dict[str, Any]] = [
            {"role": "user", "content": f"Step {t}: " + text(rng.randrange(10, 40))},
            {"role": "assistant", "content": None, "tool_calls": [
                {"id": call, "type": "function",
                 "function": {"name": "shell", "arguments": json.dumps({"cmd": text(4)})}}]},
            {"role": "tool", "tool_call_id": call, "content": text(rng.randrange(40, 200))},
            {"role": "assistant", "content": text(rng.randrange(20, 80))},
        ]
        if t == 0:
            messages.insert(0, {"role": "system", "content": "You are a careful engineer."})
        out.append((messages, [f"decision {t}: " + text(6)] if t % 3 == 0 else []))
    return out


# ------------------------------------------------------------------ the peer

SYSTEM, USER, ASSISTANT, TOOL = 1, 2, 4, 16
ROLES = {"system": SYSTEM, "developer": SYSTEM, "user": USER, "assistant": ASSISTANT, "tool": TOOL}
WEIGHTS = {SYSTEM: 4.0, USER: 1.0, ASSISTANT: 1.0, TOOL: 0.25}


def estimate(text: str) -> int:
    return len(text.encode()) // 4 + 1


def message_text(m: dict[str, Any]) -> str:
    lines = [m.get("content") or ""]
    for c in m.get("tool_calls") or ():
        lines.append(f"{c['function']['name']}({c['function']['arguments']})")
    return "\n".join(line for line in lines if line)


def digest(text: str) -> str:
    joined = " ".join(text.split())
    raw = joined.encode()
    if len(raw) <= 120:
        return joined
    cut = 120
    while cut < len(raw) and raw[cut] & 0xC0 == 0x80:
        cut += 1
    return joined if cut >= len(raw) else raw[:cut].decode() + "\u2026"


class PlainWindow:
    """The same window in plain Python: each message one block with its
    weight, decayed once a turn; exchanges whole; the tail kept."""

    def __init__(self, purpose: str, half_life: float = 2.0, threshold: float = 0.35,
                 state_capacity: int = 64) -> None:
        self.purpose = purpose
        self.factor = 2.0 ** (-1.0 / half_life)
        self.threshold = threshold
        self.capacity = state_capacity
        self.ledger: list[str] = []
        self.messages: list[dict[str, Any]] = []  # in play
        self.flags: list[int] = []
        self.oxygen: list[float | None] = []  # None: the block is purged
        self.calls: dict[str, int] = {}  # call id -> position of the caller

    def note(self, text: str) -> None:
        if text not in self.ledger:
            self.ledger.append(text)
            del self.ledger[:-self.capacity]

    def turn(self, new: list[dict[str, Any]], notes: list[str]) -> tuple[str, list[dict[str, Any]]]:
        for i, m in enumerate(new):
            flag = ROLES.get(m.get("role"))  # type: ignore[arg-type]
            if flag is None:
                raise ValueError(f"message {i}: unknown role")
            if flag == TOOL and m.get("tool_call_id") not in self.calls and not any(
                    c["id"] == m.get("tool_call_id") for n in new[:i] for c in n.get("tool_calls") or ()):
                raise ValueError(f"message {i}: answers an unknown call")
        for m in new:
            flag = ROLES[m["role"]]
            for c in m.get("tool_calls") or ():
                self.calls[c["id"]] = len(self.messages)
            self.messages.append(m)
            self.flags.append(flag)
            self.oxygen.append(WEIGHTS[flag])
        for text in notes:
            self.note(text)
        for i, o in enumerate(self.oxygen):
            if o is None:
                continue
            if self.flags[i] == SYSTEM:
                self.oxygen[i] = o + 0.5
            elif o * self.factor >= self.threshold:
                self.oxygen[i] = o * self.factor
            else:
                self.oxygen[i] = None
                if self.flags[i] in (USER, ASSISTANT):
                    self.note(digest(message_text(self.messages[i])))
        # Units: a caller and its results; the tail from the last user message.
        unit = list(range(len(self.messages)))
        for i, m in enumerate(self.messages):
            if self.flags[i] == TOOL:
                unit[i] = self.calls[m["tool_call_id"]]
        alive = {unit[i] for i, o in enumerate(self.oxygen) if o is not None}
        tail = max(i for i, f in enumerate(self.flags) if f == USER) if USER in self.flags else 0
        kept = [i for i in range(len(self.messages)) if unit[i] in alive or unit[i] >= tail]
        remap = {old: new for new, old in enumerate(kept)}
        self.messages = [self.messages[i] for i in kept]
        self.flags = [self.flags[i] for i in kept]
        self.oxygen = [self.oxygen[i] for i in kept]
        self.calls = {c: remap[p] for c, p in self.calls.items() if p in remap}
        lines = [self.purpose]
        if self.ledger:
            lines += ["STATE:", *(f"- {e}" for e in self.ledger)]
        return "\n".join(lines), list(self.messages)


# ------------------------------------------------------------------ timing


def run_zelmo(turns: list[tuple[list[dict[str, Any]], list[str]]]) -> ChatWindow[Any]:
    w = ChatWindow(FORMAT, purpose=PURPOSE)
    for messages, notes in turns:
        w.turn(messages, notes)
    return w


def run_plain(turns: list[tuple[list[dict[str, Any]], list[str]]]) -> PlainWindow:
    w = PlainWindow(PURPOSE)
    for messages, notes in turns:
        w.turn(messages, notes)
    return w


def agree(turns: list[tuple[list[dict[str, Any]], list[str]]]) -> bool:
    a, b = ChatWindow(FORMAT, purpose=PURPOSE), PlainWindow(PURPOSE)
    for messages, notes in turns:
        request = a.turn(messages, notes)
        system, sent = b.turn(messages, notes)
        if request.system != system or request.messages != sent:
            return False
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("turns", type=int, nargs="?", default=200)
    parser.add_argument("--tiny", action="store_true", help="a quick run (20 turns, short samples)")
    args = parser.parse_args(argv)
    n = 20 if args.tiny else args.turns
    if args.tiny:
        harness.SCALE.update(sample_time=0.002, repeat=3, warmup=1)
    turns = session(n)
    if not agree(turns):
        print("the plain-Python window sends different requests: no comparison")
        return 1
    print(f"ChatWindow: {n} turns, {sum(len(m) for m, _ in turns)} Chat Completions messages; "
          f"both send the same requests every turn")
    t_zelmo = harness.time_call(run_zelmo, turns).median
    t_plain = harness.time_call(run_plain, turns).median
    print(f"  zelmo.ChatWindow   {t_zelmo * 1e3:8.3f} ms  ({t_zelmo / n * 1e6:.1f} us a turn)")
    print(f"  plain Python       {t_plain * 1e3:8.3f} ms  ({t_plain / n * 1e6:.1f} us a turn)")
    print(f"  speed-up           {t_plain / t_zelmo:8.2f} x  (goal >= 5 x)")

    window = run_zelmo(turns)
    value = window.to_json()
    text = json.dumps(value)
    t_value = harness.time_call(lambda: ChatWindow.from_json(window.to_json())).median
    t_text = harness.time_call(
        lambda: ChatWindow.from_json(json.loads(json.dumps(window.to_json())))).median
    print(f"Save plus restore of the {n}-turn window ({len(window.messages)} messages in play, "
          f"{len(window.ledger)} ledger entries, {len(text)} bytes of JSON):")
    print(f"  to_json + from_json             {t_value * 1e3:8.3f} ms  (goal < 1 ms)")
    print(f"  with a JSON text round trip     {t_text * 1e3:8.3f} ms")
    ok = math.isfinite(t_value)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
