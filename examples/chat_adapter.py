"""Role-based chat messages <-> zelmo_micro blocks.

zelmo_micro works on blocks: ``(content, signal_flags)`` pairs. Agent code
holds its history as chat messages, ``{"role": ..., "content": ...}`` dicts.
A `Transcript` turns messages into blocks and maps surviving block texts back
into messages that a provider accepts.

One message may give several blocks:

- its ``content``: SYSTEM, USER, ASSISTANT or TOOL by role, with the FACT bit
  added when the message carries ``"fact": True`` (durable: never purged);
- an assistant's ``thinking``: a THINKING block before the content;
- each of an assistant's ``tool_calls``: a TOOL block reading
  ``name({"arg": ...})``, after the content.

An assistant message whose content is empty but which calls tools gives no
content block. A ``"tool"`` message answers the call named by its
``tool_call_id``.

Going back, a message survives when its content survives; an assistant
message survives when its content or one of its tool calls survives (a
thinking block alone does not keep it). Tool calls and results then pass the
pairing rule that providers enforce: a tool result is kept only together with
the call it answers, and a call only together with its result. Whichever side
was purged takes the other with it.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Final, Literal, TypedDict

from zelmo_micro import ASSISTANT, FACT, SYSTEM, THINKING, TOOL, USER


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


ROLE_FLAGS: Final[Mapping[str, int]] = {
    "system": SYSTEM,
    "user": USER,
    "assistant": ASSISTANT,
    "tool": TOOL,
}

Part = Literal["content", "thinking", "tool_call"]


@dataclass(frozen=True)
class Block:
    """One block of a transcript and where it came from."""

    content: str
    flags: int
    message: int  # index of the source message in the transcript
    part: Part
    call_id: str | None = None  # the call a tool_call block makes or a tool message answers

    @property
    def tokens(self) -> int:
        return estimate_tokens(self.content)


def estimate_tokens(text: str) -> int:
    """The module's token estimate of a text: UTF-8 bytes // 4 + 1."""
    return len(text.encode()) // 4 + 1


def render_call(call: ToolCall) -> str:
    """The text of a tool-call block, e.g. ``read_file({"path": "a.py"})``."""
    args = json.dumps(call["arguments"], ensure_ascii=False, sort_keys=True)
    return f"{call['name']}({args})"


class Transcript:
    """An append-only conversation, held both as messages and as blocks."""

    def __init__(self, messages: Iterable[Message] = ()) -> None:
        self._messages: list[Message] = []
        self._blocks: list[Block] = []
        self._open_calls: set[str] = set()  # called, not yet answered
        self._seen_calls: set[str] = set()
        self.extend(messages)

    @property
    def messages(self) -> Sequence[Message]:
        return self._messages

    @property
    def blocks(self) -> Sequence[Block]:
        return self._blocks

    def extend(self, messages: Iterable[Message]) -> range:
        """Appends messages; returns the indexes of the blocks they added.

        Raises ValueError for an unknown role, a content that is not a str, a
        repeated call id, or a tool result that answers no open call; the
        transcript is unchanged then.
        """
        batch = list(messages)
        blocks: list[Block] = []
        open_calls = set(self._open_calls)
        seen_calls = set(self._seen_calls)
        for offset, msg in enumerate(batch):
            index = len(self._messages) + offset
            blocks.extend(_split(msg, index, open_calls, seen_calls))
        first = len(self._blocks)
        self._messages.extend(batch)
        self._blocks.extend(blocks)
        self._open_calls, self._seen_calls = open_calls, seen_calls
        return range(first, len(self._blocks))

    def pairs(self, indexes: Iterable[int] | None = None) -> list[tuple[str, int]]:
        """The ``(content, flags)`` pairs of all blocks, or of the given ones."""
        chosen = range(len(self._blocks)) if indexes is None else indexes
        return [(self._blocks[i].content, self._blocks[i].flags) for i in chosen]

    def align(self, kept: Sequence[str], indexes: Sequence[int] | None = None) -> list[int]:
        """Block indexes of surviving texts.

        ``kept`` is what the module returned: texts of a subsequence of the
        blocks (of all blocks, or of ``indexes``), in order. Where equal texts
        make the match ambiguous, the newest blocks are taken, since decay
        purges older blocks first. Raises ValueError when ``kept`` is not such
        a subsequence.
        """
        pool = list(range(len(self._blocks))) if indexes is None else list(indexes)
        found: list[int] = []
        pos = len(pool)
        for text in reversed(kept):
            pos -= 1
            while pos >= 0 and self._blocks[pool[pos]].content != text:
                pos -= 1
            if pos < 0:
                raise ValueError(f"kept text not found in order: {text[:40]!r}")
            found.append(pool[pos])
        found.reverse()
        return found

    def to_messages(self, indexes: Iterable[int]) -> list[Message]:
        """Rebuilds the messages that the given blocks keep, tool calls paired."""
        kept: dict[int, list[Block]] = {}
        for i in sorted(set(indexes)):
            block = self._blocks[i]
            kept.setdefault(block.message, []).append(block)

        # Pairing: a call lives only with its result and the reverse.
        called = {b.call_id for bs in kept.values() for b in bs if b.part == "tool_call"}
        answered = {
            b.call_id
            for bs in kept.values()
            for b in bs
            if b.part == "content" and self._messages[b.message]["role"] == "tool"
        }
        paired = called & answered

        out: list[Message] = []
        for index, parts in sorted(kept.items()):
            msg = _rebuild(self._messages[index], parts, paired)
            if msg is not None:
                out.append(msg)
        return out


def _split(msg: Message, index: int, open_calls: set[str], seen_calls: set[str]) -> list[Block]:
    """The blocks of one message; checks it against the calls still open."""
    role = msg.get("role")
    if not isinstance(role, str) or role not in ROLE_FLAGS:
        raise ValueError(f"message {index}: unknown role {role!r}")
    content = msg.get("content")
    if not isinstance(content, str):
        raise ValueError(f"message {index}: content must be a str, got {type(content).__name__}")
    flags = ROLE_FLAGS[role] | (FACT if msg.get("fact", False) else 0)
    blocks: list[Block] = []

    if role == "tool":
        call_id = msg.get("tool_call_id")
        if call_id not in open_calls:
            raise ValueError(f"message {index}: tool result for unknown or answered call {call_id!r}")
        open_calls.discard(call_id)
        return [Block(content, flags, index, "content", call_id)]

    calls = msg.get("tool_calls", []) if role == "assistant" else []
    thinking = msg.get("thinking", "") if role == "assistant" else ""
    if thinking:
        blocks.append(Block(thinking, THINKING, index, "thinking"))
    if content or not calls:
        blocks.append(Block(content, flags, index, "content"))
    for call in calls:
        if call["id"] in seen_calls:
            raise ValueError(f"message {index}: repeated tool call id {call['id']!r}")
        seen_calls.add(call["id"])
        open_calls.add(call["id"])
        blocks.append(Block(render_call(call), TOOL, index, "tool_call", call["id"]))
    return blocks


def _rebuild(source: Message, parts: list[Block], paired: set[str | None]) -> Message | None:
    """One message cut down to its surviving parts, or None when nothing is left."""
    has_content = any(b.part == "content" for b in parts)
    if source["role"] == "tool":
        return source.copy() if has_content and parts[0].call_id in paired else None
    if source["role"] != "assistant":
        return source.copy() if has_content else None

    live = {b.call_id for b in parts if b.part == "tool_call" and b.call_id in paired}
    calls = [c for c in source.get("tool_calls", []) if c["id"] in live]
    if not has_content and not calls:
        return None
    msg = source.copy()
    if not has_content:
        msg["content"] = ""
    if not any(b.part == "thinking" for b in parts):
        msg.pop("thinking", None)
    if calls:
        msg["tool_calls"] = calls
    else:
        msg.pop("tool_calls", None)
    return msg


def check_tool_pairing(messages: Sequence[Message]) -> None:
    """Raises ValueError unless every tool call is answered later in the history
    and every tool result answers an earlier call, one result per call."""
    open_calls: set[str] = set()
    for index, msg in enumerate(messages):
        if msg["role"] == "tool":
            call_id = msg.get("tool_call_id")
            if call_id not in open_calls:
                raise ValueError(f"message {index}: tool result {call_id!r} answers no open call")
            open_calls.discard(call_id)
        for call in msg.get("tool_calls", []):
            if call["id"] in open_calls:
                raise ValueError(f"message {index}: repeated tool call id {call['id']!r}")
            open_calls.add(call["id"])
    if open_calls:
        raise ValueError(f"tool calls without a result: {sorted(open_calls)}")
