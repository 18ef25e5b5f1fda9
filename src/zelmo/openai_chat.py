"""OpenAI Chat Completions messages: dicts with ``role`` and ``content``.

| role | flags |
|---|---|
| ``system``, ``developer`` | SYSTEM |
| ``user`` | USER |
| ``assistant`` (its ``tool_calls`` make calls by ``id``) | ASSISTANT |
| ``tool`` (answers ``tool_call_id``) | TOOL |

``content`` may be None, a str or a list of parts; ``text`` and ``refusal``
parts count as text, ``image_url`` parts as `zelmo.tokens.IMAGE_TOKENS`
(`IMAGE_TOKENS_LOW` with ``"detail": "low"``), ``input_audio`` and ``file``
parts as `MEDIA_TOKENS`. A tool call counts its function name and arguments.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from itertools import compress, repeat
from operator import add, eq
from typing import Any, Final, cast

import zelmo_micro as z

from zelmo._errors import bad_message, bad_type, bad_value
from zelmo._parts import (PINNED_KEY, add_calls, content_text, content_tokens, flatten_calls,
                          required_str, role_flag)
from zelmo.formats import Format
from zelmo.history import Records
from zelmo.tokens import TokenCounter, count_texts, estimate_tokens

__all__ = ["FORMAT", "OpenAIChat", "ROLE_FLAGS", "trim"]

ROLE_FLAGS: Final[Mapping[str, int]] = {
    "system": z.SYSTEM, "developer": z.SYSTEM, "user": z.USER,
    "assistant": z.ASSISTANT, "tool": z.TOOL,
}
"""The class flags of each role."""
_PARTS: Final = frozenset({"text", "refusal", "image_url", "input_audio", "file"})

Message = Mapping[str, Any]


def _tool_calls(message: Message, index: int, count: TokenCounter,
                calls: dict[int, list[tuple[str, str]]]) -> int:
    """Tokens of an assistant's tool calls; records their ids."""
    value = message.get("tool_calls")
    if value is None:
        return 0
    if not isinstance(value, list):
        raise bad_type(index, "tool_calls", "a list or None", value)
    made: list[tuple[str, str]] = []
    tokens = 0
    for j, call in enumerate(value):
        # The usual shape, checked in one go; anything else is examined below.
        body = call.get("function") if type(call) is dict else None
        if (type(body) is dict and call.get("type", "function") == "function"
                and type(call_id := call.get("id")) is str
                and type(name := body.get("name")) is str
                and type(arguments := body.get("arguments")) is str):
            made.append((call_id, f"tool_calls[{j}].id"))
            tokens += count(name) + count(arguments)
            continue
        field = f"tool_calls[{j}]"
        if not isinstance(call, Mapping):
            raise bad_type(index, field, "a dict", call)
        made.append((required_str(call, "id", index, field + "."), field + ".id"))
        kind = call.get("type", "function")
        if kind not in ("function", "custom"):
            raise bad_value(index, field + ".type", f"unknown tool call type {kind!r}")
        body = call.get(kind)
        if not isinstance(body, Mapping):
            raise bad_type(index, f"{field}.{kind}", "a dict", body)
        args = "arguments" if kind == "function" else "input"
        tokens += count(required_str(body, "name", index, f"{field}.{kind}."))
        tokens += count(required_str(body, args, index, f"{field}.{kind}."))
    if made:
        calls[index] = made
    return tokens


def _bulk_calls(owners: list[int], dicts: list[dict[str, Any]], tokens: list[int],
                calls: dict[int, list[tuple[str, str]]], counter: TokenCounter | None) -> bool:
    """Adds the tokens of the tool calls of the messages at ``owners`` and
    records their ids, all in whole-list passes, when every call has the usual
    shape (a function call with str id, name and arguments); else returns False
    having changed nothing."""
    lists = [dicts[i]["tool_calls"] for i in owners]
    if not set(map(type, lists)) <= {list}:
        return False
    owners, flat, fields = flatten_calls(owners, lists)
    if not set(map(type, flat)) <= {dict}:
        return False
    calls_ = cast("list[dict[str, Any]]", flat)
    if not all(map(eq, map(dict.get, calls_, repeat("type"), repeat("function")),
                   repeat("function"))):
        return False
    bodies = cast("list[dict[str, Any]]", list(map(dict.get, calls_, repeat("function"))))
    if not set(map(type, bodies)) <= {dict}:
        return False
    ids = list(map(dict.get, calls_, repeat("id")))
    names = list(map(dict.get, bodies, repeat("name")))
    arguments = list(map(dict.get, bodies, repeat("arguments")))
    if not set(map(type, ids)) | set(map(type, names)) | set(map(type, arguments)) <= {str}:
        return False
    name_tokens, _ = count_texts(names, counter)
    argument_tokens, _ = count_texts(arguments, counter)
    add_calls(tokens, calls, owners, cast("list[str]", ids), fields,
              list(map(add, name_tokens, argument_tokens)))
    return True


def _fast_flags(messages: Sequence[Message]) -> list[int] | None:
    """Every message's role flags when all are dicts with known roles, else None."""
    if not set(map(type, messages)) <= {dict}:
        return None
    dicts = cast("list[dict[str, Any]]", messages)
    try:
        roles = cast("Iterator[str]", map(dict.get, dicts, repeat("role")))
        flags = list(map(ROLE_FLAGS.get, roles))
    except TypeError:  # an unhashable role
        return None
    return None if None in flags else cast("list[int]", flags)


def _one(message: Message, index: int, count: TokenCounter,
         calls: dict[int, list[tuple[str, str]]],
         answers: dict[int, list[tuple[str, str]]]) -> tuple[int, int]:
    """One message's flags and tokens; records the calls it makes and answers."""
    if not isinstance(message, Mapping):
        raise bad_message(index, "a dict", message)
    flag = role_flag(message, index, ROLE_FLAGS)
    content = message.get("content")
    n = (count(content) if type(content) is str
         else content_tokens(content, index, "content", count, _PARTS))
    if flag == z.ASSISTANT:
        n += _tool_calls(message, index, count, calls)
        refusal = message.get("refusal")
        if refusal is not None:
            if not isinstance(refusal, str):
                raise bad_type(index, "refusal", "a str or None", refusal)
            n += count(refusal)
    elif flag == z.TOOL:
        answers[index] = [(required_str(message, "tool_call_id", index), "tool_call_id")]
    if message.get(PINNED_KEY):
        flag |= z.FACT
    return flag, n


class OpenAIChat(Format[Message]):
    """The Chat Completions format."""

    def records(self, messages: Sequence[Message],
                token_counter: TokenCounter | None = None) -> Records:
        count = token_counter or estimate_tokens
        calls: dict[int, list[tuple[str, str]]] = {}
        answers: dict[int, list[tuple[str, str]]] = {}
        n = len(messages)
        fast = _fast_flags(messages)
        if fast is None:
            closer: Iterable[int] = range(n)
            flags, tokens = [0] * n, [0] * n
        else:
            # Plain messages are read in whole-list passes; the others one by one.
            flags = fast
            dicts = cast("list[dict[str, Any]]", messages)
            get = dict.get
            tokens, odd = count_texts(list(map(get, dicts, repeat("content"))), token_counter)
            # A None content counts 0 tokens (an assistant turn that only
            # calls tools); other non-str contents take the full reading.
            marked = {index for index in odd if dicts[index].get("content") is not None}
            marked.update(compress(range(n), map(get, dicts, repeat("refusal"))))
            owners = [i for i in compress(range(n), map(get, dicts, repeat("tool_calls")))
                      if flags[i] == z.ASSISTANT and i not in marked]
            if owners and not _bulk_calls(owners, dicts, tokens, calls, token_counter):
                for index in owners:  # some call of an odd shape: one by one
                    tokens[index] += _tool_calls(dicts[index], index, count, calls)
            for index in compress(range(n), map(z.TOOL.__eq__, flags)):
                call_id = dicts[index].get("tool_call_id")
                if type(call_id) is str:
                    answers[index] = [(call_id, "tool_call_id")]
                else:
                    marked.add(index)
            for index in compress(range(n), map(get, dicts, repeat(PINNED_KEY))):
                flags[index] |= z.FACT
            closer = sorted(marked)
        for index in closer:
            flags[index], tokens[index] = _one(messages[index], index, count, calls, answers)
        return Records(flags, tokens, calls, answers)

    def text(self, message: Message) -> str:
        lines = [content_text(message.get("content"))]
        for call in message.get("tool_calls") or ():
            body = call.get(call.get("type", "function"), {})
            lines.append(f"{body.get('name')}({body.get('arguments', body.get('input', ''))})")
        return "\n".join(line for line in lines if line)


FORMAT: Final = OpenAIChat()
"""The adapter instance."""

trim: Final = FORMAT.trim
"""Trims a list of Chat Completions messages; see `zelmo.formats.Format.trim`."""
