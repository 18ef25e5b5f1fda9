"""Trimming for the OpenAI Agents SDK: a model input filter and a session.

Needs the ``openai-agents`` extra. Both work on Responses input items through
`zelmo.openai_responses`, so function calls and their outputs are paired by
``call_id`` and stay or go together.

    from agents import RunConfig
    config = RunConfig(call_model_input_filter=input_filter(max_tokens=8000))

    session = TrimmingSession(SQLiteSession("chat-1"), max_tokens=8000)
"""

from __future__ import annotations

from collections.abc import Callable
from itertools import accumulate
from typing import Any

try:
    from agents.items import TResponseInputItem
    from agents.run_config import CallModelData, ModelInputData
    from agents.memory import Session
    from agents.memory.session_settings import SessionSettings
except ImportError as e:  # pragma: no cover - exercised only without the extra
    raise ImportError(
        "zelmo.openai_agents needs the OpenAI Agents SDK: pip install 'zelmo_micro[openai-agents]'"
    ) from e

from zelmo.history import Records, TrimReport, trim_records, unit_starts
from zelmo.openai_responses import FORMAT
from zelmo.tokens import TokenCounter, estimate_tokens

__all__ = ["TrimmingSession", "input_filter"]

def _trim_items(items: list[TResponseInputItem], options: dict[str, Any], reserved: int,
                ) -> tuple[Records, TrimReport]:
    records = FORMAT.records(items, options.get("token_counter"))
    report = trim_records(
        records, max_tokens=options["max_tokens"], keep_last=options["keep_last"],
        start_on_user=options["start_on_user"], decay=options["decay"],
        half_life=options["half_life"], safe_threshold=options["safe_threshold"],
        reserved_tokens=reserved)
    return records, report


def _options(max_tokens: int | None, keep_last: int, start_on_user: bool,
             token_counter: TokenCounter | None, decay: bool, half_life: float,
             safe_threshold: float) -> dict[str, Any]:
    return {"max_tokens": max_tokens, "keep_last": keep_last, "start_on_user": start_on_user,
            "token_counter": token_counter, "decay": decay, "half_life": half_life,
            "safe_threshold": safe_threshold}


def input_filter(*, max_tokens: int | None = None, keep_last: int = 0, start_on_user: bool = False,
                 token_counter: TokenCounter | None = None, decay: bool = True,
                 half_life: float = 6.0, safe_threshold: float = 0.35,
                 ) -> Callable[[CallModelData[Any]], ModelInputData]:
    """A ``RunConfig.call_model_input_filter`` that trims each model call's input.

    The agent's instructions count towards ``max_tokens`` and always stay;
    the options are those of `zelmo.formats.Format.trim`. The run's own item
    list is not changed: the filter hands the model a new, shorter list of
    the same items.
    """
    options = _options(max_tokens, keep_last, start_on_user, token_counter, decay, half_life,
                       safe_threshold)
    count = token_counter or estimate_tokens

    def trim_model_input(data: CallModelData[Any]) -> ModelInputData:
        model_data = data.model_data
        items = list(model_data.input)
        instructions = model_data.instructions
        reserved = count(instructions) if instructions else 0
        _, report = _trim_items(items, options, reserved)
        return ModelInputData(input=[items[i] for i in report.kept], instructions=instructions)

    return trim_model_input


class TrimmingSession:
    """A session that hands the runner a trimmed history.

    Wraps any Agents SDK session: items are stored whole by the wrapped
    session, and ``get_items`` returns them trimmed by zelmo's rules. With a
    ``limit``, the newest items up to that many are returned, without
    splitting a tool exchange (it may return fewer).
    """

    def __init__(self, session: Session, *, max_tokens: int | None = None, keep_last: int = 0,
                 start_on_user: bool = False, token_counter: TokenCounter | None = None,
                 decay: bool = True, half_life: float = 6.0, safe_threshold: float = 0.35) -> None:
        self.session = session
        self.session_id: str = session.session_id
        self.session_settings: SessionSettings | None = getattr(session, "session_settings", None)
        self._options = _options(max_tokens, keep_last, start_on_user, token_counter, decay,
                                 half_life, safe_threshold)
        self.last_report: TrimReport | None = None
        """The report of the latest ``get_items``."""

    async def get_items(self, limit: int | None = None) -> list[TResponseInputItem]:
        """The stored items, trimmed; the newest ``limit`` of them when given."""
        items = await self.session.get_items()
        records, report = _trim_items(items, self._options, 0)
        kept = report.kept
        if limit is not None and len(kept) > limit:
            kept = kept[_whole_units_from(kept, unit_starts(records), len(kept) - max(limit, 0)):]
        self.last_report = report
        return [items[i] for i in kept]

    async def add_items(self, items: list[TResponseInputItem]) -> None:
        """Stores new items in the wrapped session."""
        await self.session.add_items(items)

    async def pop_item(self) -> TResponseInputItem | None:
        """Removes and returns the newest stored item."""
        return await self.session.pop_item()

    async def clear_session(self) -> None:
        """Removes every stored item."""
        await self.session.clear_session()


def _whole_units_from(kept: list[int], starts: list[int], first: int) -> int:
    """The smallest index at or after ``first`` from which ``kept`` holds only
    whole units (no unit begins before the cut and reaches past it)."""
    # lowest[i]: the earliest unit start among kept[i:].
    lowest = list(accumulate((starts[p] for p in reversed(kept)), min))[::-1]
    for index in range(first, len(kept)):
        if lowest[index] >= kept[index]:
            return index
    return len(kept)
