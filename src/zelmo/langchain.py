"""LangChain messages, and a drop-in for ``langchain_core.messages.trim_messages``.

Needs the ``langchain`` extra (``langchain-core``).

| message | flags |
|---|---|
| ``SystemMessage`` | SYSTEM |
| ``HumanMessage`` | USER |
| ``AIMessage`` (its ``tool_calls`` make calls by ``id``) | ASSISTANT |
| ``ToolMessage`` (answers ``tool_call_id``) | TOOL |
| ``ChatMessage`` | by its role, as the Chat Completions table |

A message is pinned by ``additional_kwargs["zelmo_pinned"] = True``. Content
is a str or a list of str and dict blocks: text, thinking and reasoning
blocks count as text, image, audio and file blocks by the estimates of
`zelmo.tokens`, other blocks by their JSON; tool calls count their name and
arguments.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping, Sequence
from dataclasses import replace
from functools import partial
from itertools import repeat
from typing import Any, Final, Union, overload

try:
    from langchain_core.language_models import BaseLanguageModel
    from langchain_core.messages import (AIMessage, BaseMessage, HumanMessage, SystemMessage,
                                         ToolMessage, convert_to_messages)
    from langchain_core.messages.utils import count_tokens_approximately
    from langchain_core.prompt_values import PromptValue
    from langchain_core.runnables import Runnable, RunnableLambda
except ImportError as e:  # pragma: no cover - exercised only without the extra
    raise ImportError("zelmo.langchain needs langchain-core: pip install 'zelmo_micro[langchain]'") from e

import zelmo_micro as z

from zelmo._errors import bad_message, bad_type, bad_value
from zelmo._parts import MEDIA_TYPES, PINNED_KEY, TEXT_KEYS, content_text, json_tokens, part_tokens
from zelmo.formats import Format
from zelmo.history import Records, pick, trim_records
from zelmo.tokens import TokenCounter, estimate_tokens

__all__ = ["FORMAT", "LangChain", "TYPE_FLAGS", "trim", "trim_messages"]

TYPE_FLAGS: Final[Mapping[str, int]] = {
    "system": z.SYSTEM, "human": z.USER, "ai": z.ASSISTANT, "tool": z.TOOL,
    "SystemMessageChunk": z.SYSTEM, "HumanMessageChunk": z.USER, "AIMessageChunk": z.ASSISTANT,
    "ToolMessageChunk": z.TOOL,
}
"""The class flags of each message ``type``."""
_CHAT_ROLES: Final[Mapping[str, int]] = {
    "system": z.SYSTEM, "developer": z.SYSTEM, "user": z.USER, "human": z.USER,
    "assistant": z.ASSISTANT, "ai": z.ASSISTANT,
}
_TEXT_BLOCKS: Final = frozenset(TEXT_KEYS) | MEDIA_TYPES | {"audio", "video"}
_CALL_BLOCKS: Final = frozenset({"tool_use", "tool_call", "tool_call_chunk"})
_KNOWN_CLASSES: Final = frozenset({SystemMessage, HumanMessage, AIMessage, ToolMessage})

# What LangChain accepts as a token counter: a function of a message list or
# of one message, a chat model, or "approximate".
LangChainCounter = Union[Callable[[list[BaseMessage]], int], Callable[[BaseMessage], int],
                         BaseLanguageModel[Any], str]


def _all_messages(items: Sequence[object]) -> bool:
    """Whether every item is a BaseMessage; the usual classes checked in one pass."""
    return (set(map(type, items)) <= _KNOWN_CLASSES
            or all(map(isinstance, items, repeat(BaseMessage))))


def _block_tokens(block: object, index: int, j: int, count: TokenCounter, has_calls: bool) -> int:
    field = f"content[{j}]"
    if isinstance(block, str):
        return count(block)
    if not isinstance(block, Mapping):
        raise bad_type(index, field, "a str or a dict block", block)
    kind = block.get("type")
    if kind in _TEXT_BLOCKS:
        return part_tokens(block, index, field, count, _TEXT_BLOCKS)
    if kind == "reasoning" and isinstance(block.get("reasoning"), str):
        return count(block["reasoning"])
    if kind in _CALL_BLOCKS and has_calls:
        return 0  # the same calls are counted from tool_calls
    return json_tokens(block, index, field, count)


class LangChain(Format[BaseMessage]):
    """LangChain's message classes."""

    def records(self, messages: Sequence[BaseMessage],
                token_counter: TokenCounter | None = None) -> Records:
        count = token_counter or estimate_tokens
        calls: dict[int, list[tuple[str, str]]] = {}
        answers: dict[int, list[tuple[str, str]]] = {}
        flags: list[int] = []
        tokens: list[int] = []
        closer: list[int] = []
        # One pass that touches each message once (they are large objects far
        # apart in memory: a pass per field would cost more than it saves);
        # lists, unknown types and odd tool calls go one by one afterwards.
        if not _all_messages(messages):
            index = next(i for i, m in enumerate(messages) if not isinstance(m, BaseMessage))
            raise bad_message(index, "a LangChain BaseMessage", messages[index])
        plain = count is estimate_tokens
        types = TYPE_FLAGS
        assistant, tool, fact = z.ASSISTANT, z.TOOL, z.FACT
        add_flag, add_tokens = flags.append, tokens.append
        for index, message in enumerate(messages):
            flag = types.get(message.type, 0)
            content = message.content
            n = 0
            if flag == 0 or type(content) is not str:
                closer.append(index)
            else:
                if plain:
                    n = ((len(content) >> 2) + 1 if content.isascii()
                         else (len(content.encode("utf-8", "surrogatepass")) >> 2) + 1)
                if flag == assistant:
                    tool_calls = message.tool_calls  # type: ignore[attr-defined]
                    if tool_calls:
                        n += self._calls(tool_calls, index, count, calls)
                elif flag == tool:
                    call_id = message.tool_call_id  # type: ignore[attr-defined]
                    if type(call_id) is not str:
                        raise bad_type(index, "tool_call_id", "a str", call_id)
                    answers[index] = [(call_id, "tool_call_id")]
                extra = message.additional_kwargs
                if extra and extra.get(PINNED_KEY):
                    flag |= fact
            add_flag(flag)
            add_tokens(n)
        if not plain:  # a caller's counter: count every message through the same path
            closer = list(range(len(flags)))
            calls.clear()
            answers.clear()
        for index in closer:
            flags[index], tokens[index] = self._one(messages[index], index, count, calls, answers)
        return Records(flags, tokens, calls, answers)

    def _one(self, message: BaseMessage, index: int, count: TokenCounter,
             calls: dict[int, list[tuple[str, str]]],
             answers: dict[int, list[tuple[str, str]]]) -> tuple[int, int]:
        """One message's flags and tokens; records the calls it makes and answers."""
        if not isinstance(message, BaseMessage):
            raise bad_message(index, "a LangChain BaseMessage", message)
        flag = TYPE_FLAGS.get(message.type)
        if flag is None:
            flag = self._chat_flag(message, index)
        content = message.content
        tool_calls = getattr(message, "tool_calls", None) if flag == z.ASSISTANT else None
        if type(content) is str:
            n = count(content)
        elif isinstance(content, list):
            n = sum(_block_tokens(b, index, j, count, bool(tool_calls))
                    for j, b in enumerate(content))
        else:
            raise bad_type(index, "content", "a str or a list", content)
        if tool_calls:
            n += self._calls(tool_calls, index, count, calls)
        elif flag == z.TOOL:
            call_id = getattr(message, "tool_call_id", None)
            if not isinstance(call_id, str):
                raise bad_type(index, "tool_call_id", "a str", call_id)
            answers[index] = [(call_id, "tool_call_id")]
        if message.additional_kwargs.get(PINNED_KEY):
            flag |= z.FACT
        return flag, n

    @staticmethod
    def _chat_flag(message: BaseMessage, index: int) -> int:
        role = getattr(message, "role", None) if message.type == "chat" else None
        flag = _CHAT_ROLES.get(role) if isinstance(role, str) else None
        if flag is None:
            what = f"role {role!r}" if message.type == "chat" else f"message type {message.type!r}"
            raise bad_value(index, "role" if message.type == "chat" else "type", f"unknown {what}")
        return flag

    @staticmethod
    def _calls(tool_calls: list[Any], index: int, count: TokenCounter,
               calls: dict[int, list[tuple[str, str]]]) -> int:
        n = 0
        made: list[tuple[str, str]] = []
        for j, call in enumerate(tool_calls):
            # The usual shape, checked in one go; anything else is examined below.
            if (type(call) is dict and type(call_id := call.get("id")) is str
                    and type(name := call.get("name")) is str):
                made.append((call_id, f"tool_calls[{j}].id"))
                n += count(name) + json_tokens(call.get("args"), index, f"tool_calls[{j}].args",
                                               count)
                continue
            field = f"tool_calls[{j}]"
            if not isinstance(call, Mapping):
                raise bad_type(index, field, "a dict", call)
            call_id = call.get("id")
            if call_id is not None:  # a call without an id can't be answered
                if not isinstance(call_id, str):
                    raise bad_type(index, field + ".id", "a str or None", call_id)
                made.append((call_id, field + ".id"))
            n += count(str(call.get("name", "")))
            n += json_tokens(call.get("args"), index, field + ".args", count)
        if made:
            calls[index] = made
        return n

    def text(self, message: BaseMessage) -> str:
        lines = [content_text(message.content)]
        for call in getattr(message, "tool_calls", None) or ():
            lines.append(f"{call.get('name')}({call.get('args')})")
        return "\n".join(line for line in lines if line)


FORMAT: Final = LangChain()
"""The adapter instance."""

trim: Final = FORMAT.trim
"""Trims a list of LangChain messages with a report; see `zelmo.formats.Format.trim`."""


def _message_counter(token_counter: LangChainCounter) -> Callable[[BaseMessage], int]:
    """A per-message counter from what LangChain accepts as ``token_counter``."""
    if isinstance(token_counter, str):
        if token_counter != "approximate":
            raise ValueError(f"token_counter: unknown shortcut {token_counter!r} "
                             f"(only 'approximate')")
        return lambda m: count_tokens_approximately([m])
    models = getattr(token_counter, "get_num_tokens_from_messages", None)
    if models is not None:
        return lambda m: int(models([m]))
    if not callable(token_counter):
        raise TypeError(f"token_counter: expected a function or a chat model, got "
                        f"{type(token_counter).__name__}")
    params = list(inspect.signature(token_counter).parameters.values())
    if params and params[0].annotation in (BaseMessage, "BaseMessage"):
        return token_counter  # type: ignore[return-value]
    per_list = token_counter
    return lambda m: int(per_list([m]))  # type: ignore[arg-type]


def _start_on_human(start_on: object) -> bool:
    if start_on is None:
        return False
    wanted = [start_on] if isinstance(start_on, (str, type)) else list(start_on)  # type: ignore[call-overload]
    if not wanted or any(w not in ("human", HumanMessage) for w in wanted):
        raise ValueError(f"start_on: only 'human' (or HumanMessage) is supported, got {start_on!r}")
    return True


def _as_messages(messages: Sequence[Any] | PromptValue) -> list[BaseMessage]:
    if isinstance(messages, PromptValue):
        return messages.to_messages()
    items = list(messages)
    if _all_messages(items):
        return items
    return convert_to_messages(items)


def _trim(messages: Sequence[Any] | PromptValue, *, max_tokens: int | None,
          token_counter: LangChainCounter | None, strategy: str, start_on: object,
          include_system: bool, keep_last: int, decay: bool, half_life: float,
          safe_threshold: float) -> list[BaseMessage]:
    if strategy != "last":
        raise ValueError(f"strategy: only 'last' is supported, got {strategy!r}")
    snapshot = _as_messages(messages)
    records = FORMAT.records(snapshot)
    if token_counter is not None:
        counter = _message_counter(token_counter)
        records = replace(records, tokens=[int(counter(m)) for m in snapshot])
    report = trim_records(records, max_tokens=max_tokens, keep_last=keep_last,
                          start_on_user=_start_on_human(start_on), keep_system=include_system,
                          decay=decay, half_life=half_life, safe_threshold=safe_threshold)
    return pick(snapshot, report).messages


@overload
def trim_messages(messages: None = None, *, max_tokens: int | None = ...,
                  token_counter: LangChainCounter | None = ..., strategy: str = ...,
                  start_on: object = ..., include_system: bool = ..., keep_last: int = ...,
                  decay: bool = ..., half_life: float = ..., safe_threshold: float = ...,
                  ) -> Runnable[Any, list[BaseMessage]]: ...


@overload
def trim_messages(messages: Sequence[Any] | PromptValue, *, max_tokens: int | None = ...,
                  token_counter: LangChainCounter | None = ..., strategy: str = ...,
                  start_on: object = ..., include_system: bool = ..., keep_last: int = ...,
                  decay: bool = ..., half_life: float = ..., safe_threshold: float = ...,
                  ) -> list[BaseMessage]: ...


def trim_messages(messages: Sequence[Any] | PromptValue | None = None, *,
                  max_tokens: int | None = None, token_counter: LangChainCounter | None = None,
                  strategy: str = "last", start_on: object = None, include_system: bool = False,
                  keep_last: int = 0, decay: bool = True, half_life: float = 6.0,
                  safe_threshold: float = 0.35,
                  ) -> list[BaseMessage] | Runnable[Any, list[BaseMessage]]:
    """Trims LangChain messages with LangChain's keywords, by zelmo's rules.

    ``max_tokens``, ``token_counter`` (a function of a message list or of one
    message, a chat model, ``"approximate"``, or None for the module's
    estimate), ``include_system`` (True: system messages are never purged) and
    ``start_on="human"`` work as in ``langchain_core.messages.trim_messages``
    with ``strategy="last"``: the newest messages that fit are kept. On top,
    tool calls and their results stay or go together, everything from the last
    HumanMessage on stays (BudgetError if it does not fit), pinned messages
    stay, and unless ``decay=False`` the module's decay rule thins old turns.

    Returns the kept messages (the same objects), or, called without
    messages, a Runnable that does this, to chain with ``|``.
    """
    if messages is None:
        bound = partial(_trim, max_tokens=max_tokens, token_counter=token_counter,
                        strategy=strategy, start_on=start_on, include_system=include_system,
                        keep_last=keep_last, decay=decay, half_life=half_life,
                        safe_threshold=safe_threshold)
        return RunnableLambda(bound, name="trim_messages")
    return _trim(messages, max_tokens=max_tokens, token_counter=token_counter, strategy=strategy,
                 start_on=start_on, include_system=include_system, keep_last=keep_last,
                 decay=decay, half_life=half_life, safe_threshold=safe_threshold)
