"""The adapter interface every message format implements."""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Sequence
from typing import Generic, TypeVar

from zelmo.history import Records, Trimmed, pick, trim_records
from zelmo.tokens import TokenCounter

__all__ = ["Format"]

M = TypeVar("M")


class Format(ABC, Generic[M]):
    """Maps a caller's messages of one format to neutral records and back.

    `records` reads the messages without changing them; `trim` hands back the
    caller's own objects at the kept positions.
    """

    @abstractmethod
    def records(self, messages: Sequence[M], token_counter: TokenCounter | None = None) -> Records:
        """One record per message: class flags, tokens, tool calls made and answered.

        Raises TypeError or ValueError naming the message index and field of
        the first message of an unknown shape.
        """

    @abstractmethod
    def text(self, message: M) -> str:
        """The message's text as a plain-text prompt would show it."""

    def trim(self, messages: Sequence[M], *, max_tokens: int | None = None, keep_last: int = 0,
             start_on_user: bool = False, token_counter: TokenCounter | None = None,
             half_life: float = 6.0, safe_threshold: float = 0.35,
             decay: bool = True) -> Trimmed[M]:
        """Trims a history by the rules of `zelmo.history.trim_records`.

        ``token_counter`` maps a text to its tokens (default: the module's
        estimate, UTF-8 bytes // 4 + 1); media parts count by a fixed estimate.
        ``decay=False`` leaves the decision to the budget alone.
        Returns the kept messages, the same objects in their order, and the
        report. The input list and its messages are never changed.
        """
        snapshot = list(messages)
        report = trim_records(self.records(snapshot, token_counter), max_tokens=max_tokens,
                              keep_last=keep_last, start_on_user=start_on_user,
                              half_life=half_life, safe_threshold=safe_threshold,
                              decay=decay)
        return pick(snapshot, report)
