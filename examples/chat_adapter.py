"""The recorded session's messages as OpenAI Chat Completions messages, trimmed by zelmo.

The session file (examples/data/session.json) records chat messages in a
compact form: ``tool_calls`` carry their arguments as a dict, an assistant may
carry its ``thinking``, and ``"fact": True`` marks a durable message.
`to_openai` turns such a message into the Chat Completions shape, which
`zelmo.openai_chat` trims: tool calls and their results stay or go together,
the live tail stays, and the kept messages are the caller's own dicts.

    python examples/chat_adapter.py [--max-tokens 3000]
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, TypedDict

from zelmo import PINNED_KEY, openai_chat

HERE = Path(__file__).resolve().parent


class ToolCall(TypedDict):
    id: str
    name: str
    arguments: dict[str, object]


class _MessageRequired(TypedDict):
    role: str
    content: str


class Message(_MessageRequired, total=False):
    thinking: str
    tool_calls: list[ToolCall]
    tool_call_id: str
    fact: bool


def to_openai(message: Message) -> dict[str, Any]:
    """A recorded message as a Chat Completions message (the thinking stays out:
    that format has no field for it)."""
    out: dict[str, Any] = {"role": message["role"], "content": message["content"]}
    calls = message.get("tool_calls", [])
    if calls:
        out["content"] = message["content"] or None
        out["tool_calls"] = [
            {"id": c["id"], "type": "function",
             "function": {"name": c["name"],
                          "arguments": json.dumps(c["arguments"], ensure_ascii=False, sort_keys=True)}}
            for c in calls]
    if "tool_call_id" in message:
        out["tool_call_id"] = message["tool_call_id"]
    if message.get("fact", False):
        out[PINNED_KEY] = True
    return out


def load_history(path: Path) -> list[dict[str, Any]]:
    """The session's system prompt and every turn's messages, in order."""
    raw = json.loads(path.read_text(encoding="utf-8"))
    history = [{"role": "system", "content": raw["system"]}]
    for turn in raw["turns"]:
        history.extend(to_openai(m) for m in turn["messages"])
    return history


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Trim the recorded session with zelmo.")
    parser.add_argument("--session", type=Path, default=HERE / "data" / "session.json")
    parser.add_argument("--max-tokens", type=int, default=3000)
    args = parser.parse_args(argv)

    history = load_history(args.session)
    result = openai_chat.trim(history, max_tokens=args.max_tokens, start_on_user=True)
    report = result.report
    print(f"{report.messages_in} messages, {report.tokens_before} tokens -> "
          f"{len(result.messages)} messages, {report.tokens_after} tokens "
          f"({report.units_purged} of {report.units_in} units purged)")
    for message in result.messages:
        calls = [c["id"] for c in message.get("tool_calls") or ()]
        text = openai_chat.FORMAT.text(message).replace("\n", " ")
        print(f"  {message['role']:>9}  {text[:60]:<60} {' '.join(calls)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
