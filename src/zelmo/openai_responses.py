"""OpenAI Responses input items: messages, function calls and outputs, reasoning.

| item | flags |
|---|---|
| ``message`` with role ``system`` or ``developer`` | SYSTEM |
| ``message`` with role ``user`` | USER |
| ``message`` with role ``assistant`` | ASSISTANT |
| ``function_call``, ``custom_tool_call``, ``computer_call`` (make ``call_id``) | ASSISTANT |
| ``*_call_output`` (answers ``call_id``) | TOOL |
| hosted tool calls (``web_search_call``, ``file_search_call``, ...) | TOOL |
| ``reasoning`` | THINKING |

A message item may leave out ``"type"``. A reasoning item stays or goes with
the item that follows it, and calls made one after another (one model turn)
stay or go together, as the API refuses a call whose reasoning is missing.
Text parts (``input_text``, ``output_text``, ``refusal``, reasoning summaries)
count as text, ``input_image`` as `zelmo.tokens.IMAGE_TOKENS`
(`IMAGE_TOKENS_LOW` with ``"detail": "low"``), files and audio as
`MEDIA_TOKENS`; encrypted reasoning counts as its text.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Final

import zelmo_micro as z

from zelmo._errors import bad_message, bad_type, bad_value
from zelmo._parts import (PINNED_KEY, content_text, content_tokens, json_tokens, required_str,
                          role_flag)
from zelmo.formats import Format
from zelmo.history import Records
from zelmo.tokens import MEDIA_TOKENS, TokenCounter, estimate_tokens

__all__ = ["FORMAT", "OpenAIResponses", "ROLE_FLAGS", "trim"]

ROLE_FLAGS: Final[Mapping[str, int]] = {
    "system": z.SYSTEM, "developer": z.SYSTEM, "user": z.USER, "assistant": z.ASSISTANT,
}
"""The class flags of a message item's role."""
# Call items, and the field that holds what they send.
CALLS: Final[Mapping[str, str]] = {
    "function_call": "arguments", "custom_tool_call": "input", "computer_call": "action",
}
OUTPUTS: Final = frozenset({"function_call_output", "custom_tool_call_output",
                            "computer_call_output"})
HOSTED: Final = frozenset({"web_search_call", "file_search_call", "code_interpreter_call",
                           "image_generation_call", "mcp_call", "mcp_list_tools"})
_PARTS: Final = frozenset({"input_text", "output_text", "refusal", "input_image", "input_file",
                           "input_audio"})
_REASONING_PARTS: Final = frozenset({"summary_text", "reasoning_text"})

Item = Mapping[str, Any]


def _reasoning_tokens(item: Item, index: int, count: TokenCounter) -> int:
    tokens = content_tokens(item.get("summary", []), index, "summary", count, _REASONING_PARTS,
                            none_ok=False)
    tokens += content_tokens(item.get("content"), index, "content", count, _REASONING_PARTS)
    encrypted = item.get("encrypted_content")
    if encrypted is not None:
        if not isinstance(encrypted, str):
            raise bad_type(index, "encrypted_content", "a str or None", encrypted)
        tokens += count(encrypted)
    return tokens


def _output_tokens(item: Item, index: int, count: TokenCounter) -> int:
    output = item.get("output")
    if item.get("type") == "computer_call_output":
        if not isinstance(output, Mapping):
            raise bad_type(index, "output", "a dict", output)
        return MEDIA_TOKENS
    return content_tokens(output, index, "output", count, _PARTS, none_ok=False)


class OpenAIResponses(Format[Item]):
    """The Responses API input format."""

    def records(self, messages: Sequence[Item],
                token_counter: TokenCounter | None = None) -> Records:
        count = token_counter or estimate_tokens
        flags: list[int] = []
        tokens: list[int] = []
        calls: dict[int, list[tuple[str, str]]] = {}
        answers: dict[int, list[tuple[str, str]]] = {}
        bound: list[int] = []
        previous = ""
        for index, item in enumerate(messages):
            if not isinstance(item, Mapping):
                raise bad_message(index, "a dict", item)
            kind = item.get("type", "message")
            if kind == "message":
                flag = role_flag(item, index, ROLE_FLAGS)
                content = item.get("content")
                n = (count(content) if type(content) is str
                     else content_tokens(content, index, "content", count, _PARTS, none_ok=False))
            elif kind in CALLS:
                flag = z.ASSISTANT
                calls[index] = [(required_str(item, "call_id", index), "call_id")]
                if kind == "computer_call":
                    n = json_tokens(item.get("action"), index, "action", count)
                else:
                    n = (count(required_str(item, "name", index))
                         + count(required_str(item, CALLS[kind], index)))
            elif kind in OUTPUTS:
                flag = z.TOOL
                answers[index] = [(required_str(item, "call_id", index), "call_id")]
                n = _output_tokens(item, index, count)
            elif kind == "reasoning":
                flag = z.THINKING
                n = _reasoning_tokens(item, index, count)
            elif kind in HOSTED:
                flag = z.TOOL
                n = json_tokens(item, index, "type", count)
            else:
                raise bad_value(index, "type", f"unknown item type {kind!r}")
            if previous == "reasoning" or (previous in CALLS and kind in CALLS):
                bound.append(index)
            previous = kind
            if PINNED_KEY in item and item[PINNED_KEY]:
                flag |= z.FACT
            flags.append(flag)
            tokens.append(n)
        return Records(flags, tokens, calls, answers, bound)

    def text(self, message: Item) -> str:
        kind = message.get("type", "message")
        if kind in CALLS:
            return f"{message.get('name', kind)}({message.get(CALLS[kind])})"
        if kind in OUTPUTS:
            return content_text(message.get("output"))
        if kind == "reasoning":
            return content_text(message.get("summary"))
        return content_text(message.get("content"))


FORMAT: Final = OpenAIResponses()
"""The adapter instance."""

trim: Final = FORMAT.trim
"""Trims a list of Responses input items; see `zelmo.formats.Format.trim`."""
