"""Content parts shared by the dict formats: which carry text, which are media."""

from __future__ import annotations

import json
from collections.abc import Callable, Collection, Mapping, Sequence
from json.encoder import c_make_encoder, py_encode_basestring  # type: ignore[attr-defined]
from typing import Final

from zelmo._errors import bad_type, bad_value
from zelmo.tokens import IMAGE_TOKENS_LOW, MEDIA_TOKENS, TokenCounter

PINNED_KEY: Final = "zelmo_pinned"
"""A message (or item) holding this key with a true value is durable: it is
never purged. Providers refuse unknown keys, so leave it out of what you send."""

# The key that holds the text of each text-like part type.
TEXT_KEYS: Final[Mapping[str, str]] = {
    "text": "text", "input_text": "text", "output_text": "text", "summary_text": "text",
    "reasoning_text": "text", "refusal": "refusal", "thinking": "thinking",
    "redacted_thinking": "data",
}
MEDIA_TYPES: Final = frozenset({
    "image_url", "input_image", "image", "input_audio", "file", "input_file", "document"})


def _detail(part: Mapping[str, object]) -> object:
    inner = part.get("image_url")
    if isinstance(inner, Mapping):
        return inner.get("detail")
    return part.get("detail")


def part_tokens(part: object, index: int | None, field: str, count: TokenCounter,
                allowed: Collection[str]) -> int:
    """Tokens of one content part; text parts by ``count``, media by estimate."""
    if not isinstance(part, Mapping):
        raise bad_type(index, field, "a dict content part", part)
    kind = part.get("type")
    if not isinstance(kind, str) or kind not in allowed:
        raise bad_value(index, f"{field}.type", f"unknown content part type {kind!r}")
    key = TEXT_KEYS.get(kind)
    if key is None:
        return IMAGE_TOKENS_LOW if _detail(part) == "low" else MEDIA_TOKENS
    text = part.get(key)
    if not isinstance(text, str):
        raise bad_type(index, f"{field}.{key}", "a str", text)
    return count(text)


def content_tokens(content: object, index: int | None, field: str, count: TokenCounter,
                   allowed: Collection[str], none_ok: bool = True) -> int:
    """Tokens of a content field: None, a str or a list of parts."""
    if isinstance(content, str):
        return count(content)
    if content is None and none_ok:
        return 0
    if not isinstance(content, list):
        raise bad_type(index, field, "a str or a list of parts" + (" or None" if none_ok else ""),
                       content)
    return sum(part_tokens(part, index, f"{field}[{j}]", count, allowed)
               for j, part in enumerate(content))


def content_text(content: object) -> str:
    """The text of a content field (text parts joined by newlines, media left out)."""
    if isinstance(content, str):
        return content
    if not isinstance(content, list):
        return ""
    texts = []
    for part in content:
        if isinstance(part, Mapping):
            key = TEXT_KEYS.get(str(part.get("type")))
            text = part.get(key) if key is not None else None
            if isinstance(text, str):
                texts.append(text)
    return "\n".join(texts)


def required_str(message: Mapping[str, object], key: str, index: int, prefix: str = "") -> str:
    value = message.get(key)
    if not isinstance(value, str):
        raise bad_type(index, prefix + key, "a str", value)
    return value


def role_flag(message: Mapping[str, object], index: int, roles: Mapping[str, int]) -> int:
    """The class flags of a message's ``role``; ValueError naming it when unknown."""
    role = message.get("role")
    flag = roles.get(role) if isinstance(role, str) else None
    if flag is None:
        raise bad_value(index, "role", f"unknown role {role!r}")
    return flag



_encoder: Callable[[object, int], Sequence[str]] | None = None


def _json(value: object) -> str:
    """The JSON text of a value (non-JSON leaves as their str). The C encoder is
    held once; it is rebuilt after a failure, which may leave its cycle marks."""
    global _encoder
    if c_make_encoder is None:  # pragma: no cover - the interpreter always ships it
        return json.dumps(value, ensure_ascii=False, default=str)
    if _encoder is None:
        _encoder = c_make_encoder({}, str, py_encode_basestring, None, ": ", ", ", False, False,
                                  True)
    try:
        return "".join(_encoder(value, 0))
    except BaseException:
        _encoder = None
        raise


def json_tokens(value: object, index: int, field: str, count: TokenCounter) -> int:
    """Tokens of a structured value (tool arguments, an unknown block) by its text.

    The text is the value's repr, as long as its JSON for JSON values (the
    literals true, false and null match True, False and None), and much
    faster to make. A cyclic or too deeply nested value is refused with a
    ValueError naming the message and field.
    """
    if type(value) is str:
        return count(value)
    try:
        text = repr(value)
        # repr marks a cycle with "{...}" or "[...]"; only then ask the JSON
        # encoder, which tells a real cycle from a str holding those marks.
        if "...}" in text or "...]" in text:
            _json(value)
    except (ValueError, RecursionError) as e:
        problem = "is cyclic" if isinstance(e, ValueError) else "is nested too deeply"
        raise bad_value(index, field, f"the value {problem} to be counted") from None
    return count(text)


_call_fields: list[str] = []


def call_id_fields(count: int) -> list[str]:
    """``tool_calls[j].id`` for j in range(count), made once and shared."""
    if count > len(_call_fields):
        _call_fields.extend(f"tool_calls[{j}].id" for j in range(len(_call_fields), count))
    return _call_fields[:count]


def flatten_calls(owners: Sequence[int], lists: Sequence[Sequence[object]],
                  ) -> tuple[list[int], list[object], list[str]]:
    """The calls of several messages in one flat list: for each call, the
    position of the message that makes it, the call, and its field name."""
    lengths = list(map(len, lists))
    flat_owners = [owner for owner, length in zip(owners, lengths) for _ in range(length)]
    fields = call_id_fields(max(lengths, default=0))
    flat_fields = [field for length in lengths for field in fields[:length]]
    return flat_owners, [call for calls in lists for call in calls], flat_fields


def add_calls(tokens: list[int], calls: dict[int, list[tuple[str, str]]], owners: Sequence[int],
              ids: Sequence[str], fields: Sequence[str], call_tokens: Sequence[int]) -> None:
    """Adds flat per-call tokens to their messages' counts, and records each call
    id under its message in ``calls``."""
    for owner, call_id, field, n in zip(owners, ids, fields, call_tokens):
        tokens[owner] += n
        made = calls.get(owner)
        if made is None:
            calls[owner] = [(call_id, field)]
        else:
            made.append((call_id, field))

