"""A guard for tool output: a repetitive flood is withheld from the context.

`zelmo_micro.saturation_scan` scores the fraction of repeated 8-word
shingles. Lines of a log flood differ in their timestamps, counters, hex ids
and UUIDs, so every shingle holds a different token and the raw scan sees
them as distinct. `normalise` first replaces those tokens by fixed
placeholders; `tool_saturation` scans the result, and `guard_tool_output`
returns the output unchanged, or a placeholder that says what was withheld.

The default threshold, `FLOOD_THRESHOLD` = 0.6, sits between what the test
suite measures on generated floods (an HTTP access log, a retry loop, a
repeated stack trace: 0.8 and above) and on legitimately repetitive output
(a CSV table, source code: 0.2 and below).
"""

from __future__ import annotations

import re
from typing import Final

import zelmo_micro as z

__all__ = ["FLOOD_THRESHOLD", "guard_tool_output", "normalise", "tool_saturation"]

FLOOD_THRESHOLD: Final = 0.6
"""Saturation (after `normalise`) at or above which output is withheld."""

# Order matters: whole timestamps and UUIDs before their digits and hex runs.
# Each pattern opens with a character class or a literal (a leading word
# boundary is written as a look-behind after the first character) so that
# `re` skips ahead to candidate characters instead of trying every position.
# Each pass has a gate: a cheap search for a piece that every match of the
# pattern contains, so a text without one skips the pass.
_HEX: Final = "[0-9a-fA-F]"
_Pass = tuple[re.Pattern[str], re.Pattern[str], str]
_PASSES: Final[tuple[_Pass, ...]] = (
    # ISO 8601 and common log dates with an optional time, zone and fraction.
    (re.compile(r"-\d\d-\d\d"),
     re.compile(r"\d\d{3}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?"
                r"(?:Z|[+-]\d{2}:?\d{2})?)?"), "<time>"),
    (re.compile(r"/[A-Z][a-z]{2}/\d"),
     re.compile(r"\d\d?/[A-Z][a-z]{2}/\d{4}(?::\d{2}:\d{2}:\d{2})?(?: [+-]\d{4})?"), "<time>"),
    (re.compile(r":\d\d:\d\d"),
     re.compile(r"\d(?<!\w\d)\d?:\d{2}:\d{2}(?:[.,]\d+)?\b"), "<time>"),
    (re.compile(rf"-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{12}}"),
     re.compile(rf"{_HEX}(?<!\w{_HEX}){_HEX}{{7}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{4}}-"
                rf"{_HEX}{{12}}\b"),
     "<uuid>"),
    (re.compile(r"0x"), re.compile(r"0(?<!\w0)x[0-9a-fA-F]+\b"), "<hex>"),
    # A run of 6 or more hex digits holding at least one digit: a hash, an id.
    # Such a run holds an ASCII digit next to another hex digit.
    (re.compile(rf"[0-9](?:(?<={_HEX}[0-9])|{_HEX})"),
     re.compile(rf"{_HEX}(?<!\w{_HEX})(?:(?<=[0-9])|(?={_HEX}*\d)){_HEX}{{5,}}\b"), "<hex>"),
)
# Without a digit only the UUID pass (a UUID of hex letters) can match.
_UUID: Final = _PASSES[3]
_DIGIT: Final = re.compile(r"\d")
# A number, unless it fills a whole cell of a table (delimited by , ; tab or |,
# or the line's ends): a table's numbers are its content, not a counter. A
# number at a cell's start is replaced only when its cell goes on after it;
# `(?!\.?\d)` holds the number to its full length there, so the look-ahead
# sees the character after the whole number, not after a part of it.
_NUMBER: Final = re.compile(r"\d(?<![\d.]\d)(?:(?<=[^,;\t|\n]\d)\d*(?:\.\d+)*"
                            r"|\d*(?:\.\d+)*(?!\.?\d)(?=[^,;\t|\n]))")


def normalise(text: str) -> str:
    """The text with timestamps, UUIDs, hex ids and numbers replaced by
    ``<time>``, ``<uuid>``, ``<hex>`` and ``<n>``. A number that fills a
    whole table cell (between ``,``, ``;``, tabs, ``|`` or the line's ends)
    stays: a table's numbers are its content."""
    if _DIGIT.search(text) is None:
        gate, pattern, placeholder = _UUID
        return pattern.sub(placeholder, text) if gate.search(text) else text
    for gate, pattern, placeholder in _PASSES:
        if gate.search(text):
            text = pattern.sub(placeholder, text)
    return _NUMBER.sub("<n>", text)


def tool_saturation(output: str) -> float:
    """`zelmo_micro.saturation_scan` of the normalised output (0.0 to 1.0)."""
    if not isinstance(output, str):
        raise TypeError(f"output: expected a str, got {type(output).__name__}")
    return z.saturation_scan(normalise(output))


def guard_tool_output(output: str, *, threshold: float = FLOOD_THRESHOLD,
                      head_lines: int = 3) -> str:
    """``output`` itself when its saturation is below ``threshold``, else a
    placeholder naming its first ``head_lines`` lines, its size in bytes, the
    saturation and the threshold."""
    if isinstance(threshold, bool) or not isinstance(threshold, (int, float)) or not (
            0.0 <= threshold <= 1.0):
        raise ValueError(f"threshold: expected a number from 0 to 1, got {threshold!r}")
    if isinstance(head_lines, bool) or not isinstance(head_lines, int) or head_lines < 0:
        raise ValueError(f"head_lines: expected an int >= 0, got {head_lines!r}")
    saturation = tool_saturation(output)
    if saturation < threshold:
        return output
    size = len(output.encode("utf-8", "surrogatepass"))
    lines = output.splitlines()
    head = "\n".join(lines[:head_lines])
    return (f"[tool output withheld: {size} bytes in {len(lines)} lines look like a repetitive "
            f"flood (saturation {saturation:.2f} >= threshold {threshold:.2f}). "
            f"First {min(head_lines, len(lines))} lines:]\n{head}")
