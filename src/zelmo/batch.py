"""Batch functions over many conversations and texts, for corpus-scale work.

Every function takes a column batch, a dict of lists (or of any sequences, as
Ray's numpy batches are) or a ``pyarrow.Table``, and returns the same kind:
the input columns unchanged, plus its result columns.

- `trim_batch`: trims each conversation of a ``messages`` column by the rules
  of `zelmo.history` (one-shot, or a window replayed turn by turn), giving the
  kept messages, their positions and the per-conversation report;
- `screen_batch`: the saturation of each text of a column, and its verdict;
- `effort_batch`: the effort score, tier and reasoning budget of each prompt.

**Bad records.** A record that can't be processed never stops the others under
``errors="skip"`` (the default): its row stays, with null results, a status
of ``"skipped"`` (malformed input) or ``"failed"`` (well formed, but what must
stay exceeds ``max_tokens``), and an error text naming the record's index
(and id, when the batch has an ``id`` column) and the field at fault. With
``errors="raise"`` the first such record raises that error. `summarize` counts
every record as processed, skipped or failed.

**Using every core.** `map_local` splits a batch into chunks and runs them on
threads (`trim_batch`: the module's ``dehydrate`` releases the interpreter
lock) or on a process pool (`screen_batch`, `effort_batch`: ``saturation_scan``
and ``effort_gauge`` hold it). On Ray Data, `TrimBatches`, `ScreenBatches` and
`EffortBatches` are callable classes for ``Dataset.map_batches``. Everything
here is module-level, so it pickles by reference.

**Per-record seams.** The record-level work of screening and of the
turn-by-turn window is a plain callable argument (``scan=``, ``replay=``), by
by default `flood_scan` (the tool-output guard's scan, `zelmo.guard`) and
`replay_window` below, a turn-by-turn replay over `ContextApoptosis`.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass
from functools import partial
from itertools import compress
from typing import Any, Final, Literal, TypeVar, Union

import zelmo_micro as z

from zelmo import guard
from zelmo.formats import Format
from zelmo.history import BudgetError, Records, TrimReport, trim_records, unit_starts
from zelmo.history import _markers, _position
from zelmo.tokens import TokenCounter

__all__ = [
    "FLOOD_THRESHOLD", "Batch", "EffortBatches", "Replay", "Scan", "ScreenBatches",
    "TrimBatches", "effort_batch", "flood_scan", "format_named", "map_local", "replay_window",
    "screen_batch", "summarize", "trim_batch",
]

Batch = Union[Mapping[str, Sequence[Any]], Any]
"""A dict of equal-length columns, or a ``pyarrow.Table`` (typed loosely: the
extra is optional)."""

Errors = Literal["skip", "raise"]

FLOOD_THRESHOLD: Final = guard.FLOOD_THRESHOLD
"""A text whose saturation (`flood_scan`) is at least this is a flood: the
tool-output guard's threshold (see `zelmo.guard`)."""

Scan = Callable[[str], float]
"""Per-text screen: a text's saturation, 0 (natural) to 1 (pure repetition)."""

Replay = Callable[[Records], Sequence[bool]]
"""Per-conversation window: which positions a stateful window, fed the
conversation turn by turn, still holds at the end."""


# ---------------------------------------------------------------------------
# Per-record defaults (the seams).

def flood_scan(text: str) -> float:
    """The default screen, the tool-output guard's: the module's
    ``saturation_scan`` of the text with its timestamps, counters, hex ids and
    UUIDs normalised (`zelmo.guard.tool_saturation`)."""
    return guard.tool_saturation(text)


def replay_window(records: Records, half_life: float = 2.0,
                  safe_threshold: float = 0.35) -> list[bool]:
    """The default window: a ``ContextApoptosis`` fed one message at a time,
    with one decay cycle at each user turn (before the user's message enters).

    Each message enters under a marker text of its position (those of
    `zelmo.history`), so the survivors map back to positions exactly,
    whatever the texts are. Pass ``functools.partial(replay_window,
    half_life=..., safe_threshold=...)`` as ``replay=`` to tune it.
    """
    n = len(records.flags)
    window = z.ContextApoptosis(half_life, safe_threshold, max(n, 1))
    for pos, (marker, flag) in enumerate(zip(_markers(n), records.flags)):
        if flag & z.USER and pos:
            window.dehydrate()
        window.insert(marker, flag)
    alive = [False] * n
    for text in window.active_context():
        alive[_position(text)] = True
    return alive


# ---------------------------------------------------------------------------
# Columns in and out.

T = TypeVar("T")


def _table(batch: object) -> Any | None:
    """The batch as a ``pyarrow.Table`` (typed loosely), or None for a dict."""
    if hasattr(batch, "column_names") and hasattr(batch, "append_column"):
        return batch
    return None


def _columns(batch: Batch, names: Sequence[str]) -> tuple[int, dict[str, list[Any]]]:
    """The row count and the named columns (those present) as lists."""
    table = _table(batch)
    if table is not None:
        present = [c for c in names if c in table.column_names]
        return table.num_rows, {c: table.column(c).to_pylist() for c in present}
    if not isinstance(batch, Mapping):
        raise TypeError(f"batch: expected a dict of columns or a pyarrow.Table, "
                        f"got {type(batch).__name__}")
    lengths = {name: len(col) for name, col in batch.items()}
    if len(set(lengths.values())) > 1:
        raise ValueError(f"batch: columns of different lengths {lengths}")
    rows = next(iter(lengths.values()), 0)
    return rows, {c: list(batch[c]) for c in names if c in batch}


# Arrow types of the result columns, fixed so that every batch has the same
# schema (a batch whose errors are all null must not make a null-typed column).
_ARROW_TYPES: Final = {
    "kept_positions": "list<int64>", "messages_in": "int64", "tokens_before": "int64",
    "tokens_after": "int64", "units_purged": "int64", "floods": "int64",
    "saturation": "float64", "flood": "bool", "effort_score": "float64",
    "effort_tier": "string", "effort_budget": "int64",
}


def _arrow_type(pa: Any, name: str) -> Any:
    spelled = _ARROW_TYPES.get(name, "string")
    if spelled == "list<int64>":
        return pa.list_(pa.int64())
    return pa.type_for_alias(spelled)


def _with(batch: Batch, results: dict[str, list[Any]], types: Mapping[str, Any] = {}) -> Batch:
    """The input batch, of the same kind, with the result columns set."""
    table = _table(batch)
    if table is not None:
        import pyarrow as pa
        for name, values in results.items():
            array = pa.array(values, type=types.get(name) or _arrow_type(pa, name))
            if name in table.column_names:
                table = table.set_column(table.column_names.index(name), name, array)
            else:
                table = table.append_column(name, array)
        return table
    out = dict(batch)
    out.update(results)
    return out


def _require(columns: Mapping[str, list[Any]], name: str) -> list[Any]:
    if name not in columns:
        raise KeyError(f"batch: no column {name!r}")
    return columns[name]


def _check_errors(errors: str) -> None:
    if errors not in ("skip", "raise"):
        raise ValueError(f"errors: expected 'skip' or 'raise', got {errors!r}")


def _record(row: int, ids: Sequence[Any] | None, first_row: int) -> str:
    index = first_row + row
    return f"record {index}" if ids is None else f"record {index} (id {ids[row]!r})"


def _fail(exc: Exception, row: int, ids: Sequence[Any] | None, field: str,
          first_row: int) -> Exception:
    """``exc`` of the same type, its message prefixed with the record and field."""
    text = f"{_record(row, ids, first_row)}, field {field!r}: {exc}"
    try:
        new = type(exc)(text)
    except TypeError:  # an error class with its own constructor (BudgetError)
        new = ValueError(text)
    return new


# ---------------------------------------------------------------------------
# Trimming.

_FORMATS: Final = {
    "openai_chat": ("zelmo.openai_chat", "FORMAT"),
    "openai_responses": ("zelmo.openai_responses", "FORMAT"),
    "anthropic": ("zelmo.anthropic", "FORMAT"),
    "langchain": ("zelmo.langchain", "FORMAT"),
}


def format_named(name: str | Format[Any]) -> Format[Any]:
    """The adapter for a format name (``openai_chat``, ``openai_responses``,
    ``anthropic``, ``langchain``), or the adapter itself."""
    if isinstance(name, Format):
        return name
    if name not in _FORMATS:
        raise ValueError(f"format: expected one of {sorted(_FORMATS)}, got {name!r}")
    import importlib
    module, attr = _FORMATS[name]
    found: Format[Any] = getattr(importlib.import_module(module), attr)
    return found


@dataclass(frozen=True)
class _TrimOptions:
    max_tokens: int | None
    keep_last: int
    start_on_user: bool
    token_counter: TokenCounter | None
    half_life: float
    safe_threshold: float


def _windowed(records: Records, replay: Replay, opts: _TrimOptions) -> TrimReport:
    """The window's survivors, made whole by tool exchange, plus what must stay;
    then the budget and start rules of `trim_records` on them."""
    n = len(records.flags)
    alive = list(replay(records))
    if len(alive) != n:
        raise ValueError(f"replay: {len(alive)} verdicts for {n} messages")
    starts = unit_starts(records)
    last_user = max((p for p in range(n) if records.flags[p] & z.USER), default=n)
    tail = min(last_user, n - opts.keep_last if opts.keep_last < n else 0)
    live_units = {starts[p] for p in range(n)
                  if alive[p] or p >= tail or records.flags[p] & (z.SYSTEM | z.FACT)}
    kept = [p for p in range(n) if starts[p] in live_units]
    index = {p: i for i, p in enumerate(kept)}
    sub = Records(
        [records.flags[p] for p in kept], [records.tokens[p] for p in kept],
        {index[p]: ids for p, ids in records.calls.items() if p in index},
        {index[p]: ids for p, ids in records.answers.items() if p in index},
        [index[p] for p in records.bound if p in index and p - 1 in index])
    report = trim_records(sub, max_tokens=opts.max_tokens, keep_last=opts.keep_last,
                          start_on_user=opts.start_on_user, decay=False)
    return TrimReport(kept=[kept[i] for i in report.kept], messages_in=n,
                      tokens_before=sum(records.tokens), tokens_after=report.tokens_after,
                      units_in=n - sum(1 for p in range(n) if starts[p] != p),
                      units_purged=0 if not n else _units_purged(starts, report, kept))


def _units_purged(starts: list[int], report: TrimReport, kept: list[int]) -> int:
    roots = set(starts)
    return len(roots) - len({starts[kept[i]] for i in report.kept})


def _trim_one(records: Records, mode: str, replay: Replay, opts: _TrimOptions) -> TrimReport:
    if mode == "window":
        return _windowed(records, replay, opts)
    return trim_records(records, max_tokens=opts.max_tokens, keep_last=opts.keep_last,
                        start_on_user=opts.start_on_user, half_life=opts.half_life,
                        safe_threshold=opts.safe_threshold)


_TRIM_COLUMNS: Final = ("kept", "kept_positions", "messages_in", "tokens_before",
                        "tokens_after", "units_purged", "floods", "trim_status", "trim_error")


def trim_batch(batch: Batch, *, format: str | Format[Any] = "openai_chat",
               column: str = "messages", id_column: str = "id",
               mode: Literal["once", "window"] = "once", max_tokens: int | None = None,
               keep_last: int = 0, start_on_user: bool = False,
               token_counter: TokenCounter | None = None, half_life: float = 6.0,
               safe_threshold: float = 0.35, errors: Errors = "skip",
               replay: Replay = replay_window, scan: Scan | None = None,
               flood_threshold: float = FLOOD_THRESHOLD, first_row: int = 0) -> Batch:
    """Trims every conversation of the ``column`` column (default ``messages``).

    Each value is a list of messages of ``format``, or the JSON text of one.
    ``mode="once"`` trims by `zelmo.history.trim_records` in one shot;
    ``mode="window"`` replays the conversation through a stateful window
    (``replay``, default `replay_window`), keeps its survivors with their whole
    tool exchanges, the durable messages and the tail, then applies the budget.

    Result columns: ``kept`` (the kept messages: the same objects as given, or
    JSON text for JSON text), ``kept_positions``, ``messages_in``,
    ``tokens_before``, ``tokens_after``, ``units_purged``, ``floods`` (with
    ``scan``, how many TOOL messages saturate at ``flood_threshold`` or more;
    else null), ``trim_status`` (``ok``, ``skipped``, ``failed``) and
    ``trim_error``. See the module doc for ``errors``; ``first_row`` is the
    index of the batch's first record in the whole corpus, for error texts.
    """
    _check_errors(errors)
    if mode not in ("once", "window"):
        raise ValueError(f"mode: expected 'once' or 'window', got {mode!r}")
    fmt = format_named(format)
    opts = _TrimOptions(max_tokens, keep_last, start_on_user, token_counter, half_life,
                        safe_threshold)
    rows, cols = _columns(batch, (column, id_column))
    values = _require(cols, column)
    ids = cols.get(id_column)
    out: dict[str, list[Any]] = {name: [None] * rows for name in _TRIM_COLUMNS}
    for row, value in enumerate(values):
        field = column
        try:
            as_json = isinstance(value, str)
            messages = json.loads(value) if as_json else value
            if not isinstance(messages, (list, tuple)):
                raise TypeError(f"expected a list of messages, got {type(messages).__name__}")
            records = fmt.records(messages, token_counter)
            report = _trim_one(records, mode, replay, opts)
            if scan is not None:
                flags = records.flags
                out["floods"][row] = sum(
                    scan(fmt.text(messages[p])) >= flood_threshold
                    for p in compress(range(len(flags)), (f & z.TOOL for f in flags)))
        except (TypeError, ValueError) as e:
            failed = isinstance(e, BudgetError)
            if errors == "raise":
                raise _fail(e, row, ids, field, first_row) from e
            out["trim_status"][row] = "failed" if failed else "skipped"
            out["trim_error"][row] = str(_fail(e, row, ids, field, first_row))
            continue
        kept = [messages[p] for p in report.kept]
        out["kept"][row] = json.dumps(kept, ensure_ascii=False) if as_json else kept
        out["kept_positions"][row] = report.kept
        out["messages_in"][row] = report.messages_in
        out["tokens_before"][row] = report.tokens_before
        out["tokens_after"][row] = report.tokens_after
        out["units_purged"][row] = report.units_purged
        out["trim_status"][row] = "ok"
    types: dict[str, Any] = {}
    table = _table(batch)
    if table is not None:
        types["kept"] = table.schema.field(column).type
    return _with(batch, out, types)


# ---------------------------------------------------------------------------
# Texts: flood screen and effort.

def _texts(batch: Batch, column: str, id_column: str,
           ) -> tuple[int, list[Any], list[Any] | None]:
    rows, cols = _columns(batch, (column, id_column))
    return rows, _require(cols, column), cols.get(id_column)


def _bad_text(value: object, row: int, ids: Sequence[Any] | None, column: str,
              errors: str, out: dict[str, list[Any]], prefix: str, first_row: int) -> None:
    error = TypeError(f"{_record(row, ids, first_row)}, field {column!r}: expected a str, "
                      f"got {type(value).__name__}")
    if errors == "raise":
        raise error
    out[f"{prefix}_status"][row] = "skipped"
    out[f"{prefix}_error"][row] = str(error)


def screen_batch(batch: Batch, *, column: str = "text", id_column: str = "id",
                 threshold: float = FLOOD_THRESHOLD, scan: Scan = flood_scan,
                 errors: Errors = "skip", first_row: int = 0) -> Batch:
    """Screens each text of ``column``: result columns ``saturation``,
    ``flood`` (saturation >= ``threshold``), ``screen_status``, ``screen_error``."""
    _check_errors(errors)
    rows, texts, ids = _texts(batch, column, id_column)
    out: dict[str, list[Any]] = {name: [None] * rows for name in
                                 ("saturation", "flood", "screen_status", "screen_error")}
    for row, text in enumerate(texts):
        if type(text) is not str:
            _bad_text(text, row, ids, column, errors, out, "screen", first_row)
            continue
        value = scan(text)
        out["saturation"][row] = value
        out["flood"][row] = value >= threshold
        out["screen_status"][row] = "ok"
    return _with(batch, out)


def effort_batch(batch: Batch, *, column: str = "text", id_column: str = "id",
                 errors: Errors = "skip", first_row: int = 0) -> Batch:
    """The effort of each prompt of ``column``: result columns ``effort_score``,
    ``effort_tier``, ``effort_budget``, ``effort_status``, ``effort_error``."""
    _check_errors(errors)
    rows, texts, ids = _texts(batch, column, id_column)
    out: dict[str, list[Any]] = {name: [None] * rows for name in (
        "effort_score", "effort_tier", "effort_budget", "effort_status", "effort_error")}
    gauge = z.effort_gauge
    for row, text in enumerate(texts):
        if type(text) is not str:
            _bad_text(text, row, ids, column, errors, out, "effort", first_row)
            continue
        result = gauge(text)
        out["effort_score"][row] = result["score"]
        out["effort_tier"][row] = result["tier"]
        out["effort_budget"][row] = result["budget_tokens"]
        out["effort_status"][row] = "ok"
    return _with(batch, out)


# ---------------------------------------------------------------------------
# Summary.

def summarize(batch: Batch, *, status: str = "trim_status") -> dict[str, int]:
    """Counts over a result batch: ``records``, ``processed``, ``skipped``,
    ``failed``, and, when present, the sums of ``tokens_before``,
    ``tokens_after`` and ``floods`` (processed records only)."""
    names = (status, "tokens_before", "tokens_after", "floods")
    rows, cols = _columns(batch, names)
    states = _require(cols, status)
    counts = {"records": rows, "processed": states.count("ok"),
              "skipped": states.count("skipped"), "failed": states.count("failed")}
    if counts["processed"] + counts["skipped"] + counts["failed"] != rows:
        raise ValueError(f"summarize: {status!r} holds values other than ok, skipped, failed")
    for name in names[1:]:
        if name in cols:
            counts[name] = sum(v for v in cols[name] if v is not None)
    return counts


# ---------------------------------------------------------------------------
# Every core of one machine.

def _chunk(batch: Mapping[str, Sequence[Any]], start: int, stop: int) -> dict[str, list[Any]]:
    return {name: list(col[start:stop]) for name, col in batch.items()}


def map_local(function: Callable[..., Batch], batch: Mapping[str, Sequence[Any]], *,
              executor: Literal["thread", "process"] | Executor = "thread",
              workers: int | None = None, chunk_size: int = 256,
              **options: Any) -> dict[str, list[Any]]:
    """``function(chunk, **options)`` over chunks of a dict-of-lists batch, on a
    pool of ``workers`` threads or processes (default: one per core), joined
    back in order. Pass an `Executor` to reuse a pool across calls.

    ``function`` takes ``first_row`` (as the batch functions here do), so
    error texts name each record's index in the whole batch. Use threads for
    `trim_batch` and processes for `screen_batch` and `effort_batch`.
    """
    if chunk_size < 1:
        raise ValueError(f"chunk_size: expected an int >= 1, got {chunk_size}")
    rows, _ = _columns(batch, ())
    bounds = [(i, min(i + chunk_size, rows)) for i in range(0, rows, chunk_size)]
    call = partial(function, **options)
    pool: Executor
    if isinstance(executor, Executor):
        pool, owned = executor, False
    elif executor == "thread":
        pool, owned = ThreadPoolExecutor(workers), True
    elif executor == "process":
        pool, owned = ProcessPoolExecutor(workers), True
    else:
        raise ValueError(f"executor: expected 'thread', 'process' or an Executor, got {executor!r}")
    try:
        futures = [pool.submit(call, _chunk(batch, a, b), first_row=a) for a, b in bounds]
        parts = [future.result() for future in futures]
    finally:
        if owned:
            pool.shutdown()
    out: dict[str, list[Any]] = {name: [] for name in (parts[0] if parts else batch)}
    for part in parts:
        for name, col in part.items():
            out[name].extend(col)
    return out


# ---------------------------------------------------------------------------
# Ray Data: callable classes for Dataset.map_batches (batch_format "pyarrow"
# or "default"). They hold their options only, so they pickle small.

class _Batches:
    function: Callable[..., Batch]

    def __init__(self, **options: Any) -> None:
        self.options = options

    def __call__(self, batch: Batch) -> Batch:
        return type(self).function(batch, **self.options)


class TrimBatches(_Batches):
    """``ds.map_batches(TrimBatches(format=..., max_tokens=...), batch_format="pyarrow")``:
    `trim_batch` with these options on each batch. Ray hands batches over
    without their place in the dataset, so an error text's record index
    counts within its batch; the ``id`` it also names finds the record."""

    function = staticmethod(trim_batch)


class ScreenBatches(_Batches):
    """`screen_batch` with these options on each batch."""

    function = staticmethod(screen_batch)


class EffortBatches(_Batches):
    """`effort_batch` with these options on each batch."""

    function = staticmethod(effort_batch)
