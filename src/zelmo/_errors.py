"""Errors that name the message and the field at fault."""

from __future__ import annotations


def where(index: int | None, field: str) -> str:
    """``message 3, field 'content'``; without an index, a field of the request."""
    return f"field {field!r}" if index is None else f"message {index}, field {field!r}"


def bad_value(index: int | None, field: str, problem: str) -> ValueError:
    return ValueError(f"{where(index, field)}: {problem}")


def bad_type(index: int | None, field: str, expected: str, value: object) -> TypeError:
    return TypeError(f"{where(index, field)}: expected {expected}, got {type(value).__name__}")


def bad_message(index: int, expected: str, value: object) -> TypeError:
    return TypeError(f"message {index}: expected {expected}, got {type(value).__name__}")
