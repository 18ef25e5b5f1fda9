"""Anthropic Messages: ``{"role": ..., "content": ...}`` with a top-level system.

| message | flags |
|---|---|
| the top-level ``system`` (passed apart) | counted, never purged |
| ``user`` with any text, image or document | USER |
| ``user`` holding only ``tool_result`` blocks (answer ``tool_use_id``) | TOOL |
| ``assistant`` (its ``tool_use`` and ``server_tool_use`` blocks make calls by ``id``) | ASSISTANT |

``content`` is a str or a list of blocks. ``text``, ``thinking`` and
``redacted_thinking`` blocks count as text, ``image`` and ``document`` blocks
as `zelmo.tokens.IMAGE_TOKENS` and `MEDIA_TOKENS`, tool inputs by their JSON.
Messages are kept whole, so thinking blocks are never stripped; the assistant
turns of an unfinished tool loop come after the last user request and stay
with their thinking, as the API requires.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Final

import zelmo_micro as z

from zelmo._errors import bad_message, bad_type, bad_value
from zelmo._parts import (PINNED_KEY, content_text, content_tokens, json_tokens, part_tokens,
                          required_str)
from zelmo.formats import Format
from zelmo.history import Records, Trimmed, pick, trim_records
from zelmo.tokens import TokenCounter, estimate_tokens

__all__ = ["FORMAT", "Anthropic", "trim"]

_USER_BLOCKS: Final = frozenset({"text", "image", "document"})
_RESULT_BLOCKS: Final = frozenset({"text", "image", "document", "search_result"})
_ASSISTANT_BLOCKS: Final = frozenset({"text", "thinking", "redacted_thinking"})
_CALLS: Final = frozenset({"tool_use", "server_tool_use"})
# Results of server tools come back inside the assistant turn that called them.
_SERVER_RESULTS: Final = frozenset({"web_search_tool_result", "web_fetch_tool_result",
                                    "code_execution_tool_result"})

Message = Mapping[str, Any]


def _block(block: object, index: int, j: int) -> tuple[str, Mapping[str, Any]]:
    field = f"content[{j}]"
    if not isinstance(block, Mapping):
        raise bad_type(index, field, "a dict content block", block)
    kind = block.get("type")
    if not isinstance(kind, str):
        raise bad_value(index, field + ".type", f"unknown content block type {kind!r}")
    return kind, block


class Anthropic(Format[Message]):
    """The Messages API format."""

    def records(self, messages: Sequence[Message],
                token_counter: TokenCounter | None = None) -> Records:
        count = token_counter or estimate_tokens
        flags: list[int] = []
        tokens: list[int] = []
        calls: dict[int, list[tuple[str, str]]] = {}
        answers: dict[int, list[tuple[str, str]]] = {}
        for index, message in enumerate(messages):
            if not isinstance(message, Mapping):
                raise bad_message(index, "a dict", message)
            role = message.get("role")
            if role not in ("user", "assistant"):
                raise bad_value(index, "role", f"unknown role {role!r}")
            content = message.get("content")
            if type(content) is str:
                flag, n = (z.USER if role == "user" else z.ASSISTANT), count(content)
            elif not isinstance(content, list):
                raise bad_type(index, "content", "a str or a list of blocks", content)
            elif role == "user":
                flag, n = self._user(content, index, count, answers)
            else:
                flag, n = z.ASSISTANT, self._assistant(content, index, count, calls, answers)
            if PINNED_KEY in message and message[PINNED_KEY]:
                flag |= z.FACT
            flags.append(flag)
            tokens.append(n)
        return Records(flags, tokens, calls, answers)

    @staticmethod
    def _user(content: list[Any], index: int, count: TokenCounter,
              answers: dict[int, list[tuple[str, str]]]) -> tuple[int, int]:
        n = 0
        results: list[tuple[str, str]] = []
        for j, block in enumerate(content):
            kind, body = _block(block, index, j)
            field = f"content[{j}]"
            if kind == "tool_result":
                results.append((required_str(body, "tool_use_id", index, field + "."),
                                field + ".tool_use_id"))
                n += content_tokens(body.get("content"), index, field + ".content", count,
                                    _RESULT_BLOCKS)
            else:
                n += part_tokens(body, index, field, count, _USER_BLOCKS)
        if results:
            answers[index] = results
        # A user turn of tool results alone is tool output, not a request.
        return (z.TOOL if results and len(results) == len(content) else z.USER), n

    @staticmethod
    def _assistant(content: list[Any], index: int, count: TokenCounter,
                   calls: dict[int, list[tuple[str, str]]],
                   answers: dict[int, list[tuple[str, str]]]) -> int:
        n = 0
        for j, block in enumerate(content):
            kind, body = _block(block, index, j)
            field = f"content[{j}]"
            if kind in _CALLS:
                calls.setdefault(index, []).append(
                    (required_str(body, "id", index, field + "."), field + ".id"))
                n += count(required_str(body, "name", index, field + "."))
                n += json_tokens(body.get("input"), index, field + ".input", count)
            elif kind in _SERVER_RESULTS:
                answers.setdefault(index, []).append(
                    (required_str(body, "tool_use_id", index, field + "."), field + ".tool_use_id"))
                n += json_tokens(body.get("content"), index, field + ".content", count)
            else:
                n += part_tokens(body, index, field, count, _ASSISTANT_BLOCKS)
        return n

    def text(self, message: Message) -> str:
        content = message.get("content")
        lines = [content_text(content)]
        for block in content if isinstance(content, list) else ():
            if isinstance(block, Mapping) and block.get("type") in _CALLS:
                lines.append(f"{block.get('name')}({block.get('input')})")
            elif isinstance(block, Mapping) and block.get("type") == "tool_result":
                lines.append(content_text(block.get("content")))
        return "\n".join(line for line in lines if line)

    def system_tokens(self, system: object, token_counter: TokenCounter | None = None) -> int:
        """Tokens of a top-level ``system``: None, a str or a list of text blocks."""
        return content_tokens(system, None, "system", token_counter or estimate_tokens,
                              frozenset({"text"}))

    def trim(self, messages: Sequence[Message], *, max_tokens: int | None = None,
             keep_last: int = 0, start_on_user: bool = False,
             token_counter: TokenCounter | None = None, half_life: float = 6.0,
             safe_threshold: float = 0.35, decay: bool = True,
             system: object = None) -> Trimmed[Message]:
        """Trims a Messages history; ``system`` is the request's top-level system,
        which always stays and counts towards ``max_tokens`` and the report.
        See `zelmo.formats.Format.trim`."""
        snapshot = list(messages)
        records = self.records(snapshot, token_counter)
        report = trim_records(records, max_tokens=max_tokens, keep_last=keep_last,
                              start_on_user=start_on_user, half_life=half_life,
                              safe_threshold=safe_threshold, decay=decay,
                              reserved_tokens=self.system_tokens(system, token_counter))
        return pick(snapshot, report)


FORMAT: Final = Anthropic()
"""The adapter instance."""

trim: Final = FORMAT.trim
"""Trims a list of Messages API messages; see `Anthropic.trim`."""
