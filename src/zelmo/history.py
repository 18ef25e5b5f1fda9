"""The format-neutral trimming core.

A format adapter maps each of the caller's messages to one record: its class
flags (the module's SYSTEM, USER, ASSISTANT, FACT, TOOL, THINKING bits), its
token count, the ids of the tool calls it makes and of the calls it answers,
and whether it is bound to the message before it. `trim_records` decides which
positions stay and the adapter hands back the caller's objects at those
positions: nothing is ever matched by text.

The rules, in order:

1. **Units.** A message that calls tools and every message that answers one of
   those calls form one unit, and so do messages bound together; a unit is
   kept or purged whole.
2. **Decay.** The module's `dehydrate` judges every message once; a unit is
   kept when any of its messages is.
3. **Durable and protected units stay.** Units with a SYSTEM or FACT message
   (pinned messages carry FACT), and the tail: everything from the last USER
   message on, and the last `keep_last` messages.
4. **Budget.** With `max_tokens`, the oldest remaining units that are neither
   durable nor protected are purged until the rest fits. If the durable and
   protected units alone do not fit, `BudgetError` is raised.
5. **Start on a user turn.** With `start_on_user`, units before the first kept
   USER message are purged, SYSTEM messages and units that must stay excepted.
"""

from __future__ import annotations

import threading
from bisect import bisect_left
from collections import deque
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from itertools import accumulate, compress, repeat
from typing import Final, Generic, TypeVar

import zelmo_micro as z

from zelmo._errors import bad_value

__all__ = ["BudgetError", "Records", "TrimReport", "Trimmed", "pick", "trim_records", "unit_starts"]

M = TypeVar("M")

SYSTEM: Final = z.SYSTEM
USER: Final = z.USER
DURABLE: Final = z.SYSTEM | z.FACT


class BudgetError(ValueError):
    """The messages that must stay do not fit in ``max_tokens``."""

    def __init__(self, needed: int, max_tokens: int) -> None:
        super().__init__(
            f"the messages that must stay (system, pinned, the tail from the last user "
            f"message, their tool exchanges) need {needed} tokens, but max_tokens is "
            f"{max_tokens}")
        self.needed = needed
        self.max_tokens = max_tokens


@dataclass(frozen=True)
class Records:
    """The neutral view of a message list, one entry per message, by position.

    ``calls`` and ``answers`` map a position to ``(call_id, field)`` pairs: the
    tool calls that message makes, and the calls it answers, each with the
    field it was read from (for error messages). ``bound`` holds positions that
    stay or go with the position before them.
    """

    flags: list[int]
    tokens: list[int]
    calls: Mapping[int, Sequence[tuple[str, str]]] = field(default_factory=dict)
    answers: Mapping[int, Sequence[tuple[str, str]]] = field(default_factory=dict)
    bound: Sequence[int] = ()

    def __post_init__(self) -> None:
        if len(self.flags) != len(self.tokens):
            raise ValueError(
                f"records: {len(self.flags)} flags but {len(self.tokens)} token counts")
        if self.tokens and min(self.tokens) < 0:
            index = self.tokens.index(min(self.tokens))
            raise ValueError(f"message {index}: the token counter gave {self.tokens[index]}, "
                             f"expected a count >= 0")


@dataclass(frozen=True)
class TrimReport:
    """What a trim did. Token counts include ``reserved_tokens``."""

    kept: list[int]
    """Positions of the kept messages, ascending."""
    messages_in: int
    tokens_before: int
    tokens_after: int
    units_in: int
    units_purged: int

    @property
    def messages_purged(self) -> int:
        """Messages purged."""
        return self.messages_in - len(self.kept)


@dataclass(frozen=True)
class Trimmed(Generic[M]):
    """The kept messages, the caller's own objects in their order, and the report."""

    messages: list[M]
    report: TrimReport


class _Units:
    """Tool exchanges and bound messages grouped into units. Only the few
    positions in a unit of more than one message are held; every other
    position is a unit of its own. A unit's root is its first position."""

    def __init__(self, records: Records) -> None:
        self.root: dict[int, int] = {}
        self.members: dict[int, list[int]] = {}
        calls = records.calls
        made = {call_id: pos for pos, ids in calls.items() for call_id, _ in ids}
        if len(made) < sum(map(len, calls.values())):  # a repeated id: find and name it
            made.clear()
            for pos, ids in calls.items():
                for call_id, where in ids:
                    if call_id in made:
                        raise bad_value(pos, where, f"repeats tool call id {call_id!r} of "
                                                    f"message {made[call_id]}")
                    made[call_id] = pos
        n = len(records.flags)
        if not records.bound and self._one_answer_each(records, made):
            return
        for pos, ids in records.answers.items():
            for call_id, where in ids:
                caller = made.get(call_id, pos + 1)
                if caller > pos:
                    raise bad_value(pos, where, f"answers tool call {call_id!r}, which no "
                                                f"earlier message makes")
                self.join(caller, pos)
        for pos in records.bound:
            if not 0 < pos < n:
                raise ValueError(f"records: bound position {pos} out of range")
            self.join(pos - 1, pos)
        for members in self.members.values():
            members.sort()

    def _one_answer_each(self, records: Records, made: dict[str, int]) -> bool:
        """The common shape, grouped without the general joins: every answering
        message answers one call, made earlier by a message that answers none.
        Each unit is then a caller and its answers. False, with nothing
        changed, for any other shape."""
        answers = records.answers
        if not all(len(ids) == 1 for ids in answers.values()):
            return False
        if not answers.keys().isdisjoint(records.calls):
            return False
        callers = [made.get(ids[0][0], pos) for pos, ids in answers.items()]
        if any(map(int.__ge__, callers, answers)):  # a missing or later call: the general path
            return False
        members = self.members
        for caller, pos in zip(callers, answers):
            unit = members.get(caller)
            if unit is None:
                members[caller] = [caller, pos]
            else:
                unit.append(pos)
        for unit in members.values():
            unit.sort()
        self.root = {p: unit[0] for unit in members.values() for p in unit}
        return True

    def join(self, a: int, b: int) -> None:
        root = self.root
        ra, rb = root.get(a, a), root.get(b, b)
        if ra == rb:
            return
        lo, hi = (ra, rb) if ra < rb else (rb, ra)
        moved = self.members.pop(hi, None) or [hi]
        for p in moved:
            root[p] = lo
        kept = self.members.get(lo)
        if kept is None:
            root[lo] = lo
            self.members[lo] = [lo, *moved]
        else:
            kept.extend(moved)

    def of(self, pos: int) -> list[int]:
        """The positions of the unit that holds ``pos``."""
        root = self.root.get(pos)
        return [pos] if root is None else self.members[root]

    def groups(self) -> list[list[int]]:
        """The units of more than one message, each ascending."""
        return list(self.members.values())


# One-character marker texts stand for positions in the call to dehydrate: its
# decision depends only on flags and order, and a kept marker gives back its
# position with ord(), whatever the caller's texts are.
_SURROGATES: Final = 0x800
_MAX_MARKS: Final = 0x110000 - _SURROGATES
_marks: list[str] = []
_ONE: Final = b"\x01"
# Byte masks hold 0 or 1; this table maps any byte to that form.
_TRUTH: Final = bytes([0]) + b"\x01" * 255


# Threads trimming at once may grow the table together: one grows it at a time,
# or two would append the same range twice and shift every later marker.
_marks_lock: Final = threading.Lock()


def _markers(n: int) -> list[str]:
    if n > len(_marks):
        with _marks_lock:
            _marks.extend(chr(i if i < 0xD800 else i + _SURROGATES)
                          for i in range(len(_marks), min(n, _MAX_MARKS)))
    return _marks[:n] if n <= _MAX_MARKS else [*_marks, *map(str, range(_MAX_MARKS, n))]


def _position(text: str) -> int:
    if len(text) == 1:
        code = ord(text)
        return code if code < 0xD800 else code - _SURROGATES
    return int(text)


def _decay(flags: list[int], half_life: float, safe_threshold: float) -> bytearray:
    n = len(flags)
    kept = z.dehydrate(list(zip(_markers(n), flags)), half_life, safe_threshold)["kept"]
    mask = bytearray(n)
    positions = map(ord, kept) if n <= 0xD800 else map(_position, kept)
    deque(map(mask.__setitem__, positions, repeat(1)), maxlen=0)
    return mask


_bit_tables: dict[int, bytes] = {}


def _has_bits(flags: list[int], bits: int) -> bytearray:
    """A 0/1 byte mask: whether each flag value has any of ``bits``."""
    try:
        # The module's class bits all fit in a byte: one C pass, one lookup table.
        raw = bytes(flags)
    except ValueError:  # flags beyond the class bits
        return bytearray(bytes(map(bits.__and__, flags)).translate(_TRUTH))
    table = _bit_tables.get(bits)
    if table is None:
        table = _bit_tables[bits] = bytes(1 if i & bits else 0 for i in range(256))
    return bytearray(raw.translate(table))


def _either(a: bytearray, b: bytearray) -> bytearray:
    """Position-wise OR of two 0/1 byte masks of one length."""
    n = len(a)
    return bytearray((int.from_bytes(a, "little") | int.from_bytes(b, "little")).to_bytes(n, "little"))


def _but_not(a: bytearray, b: bytearray) -> bytearray:
    """Position-wise ``a and not b`` of two 0/1 byte masks of one length."""
    n = len(a)
    return bytearray((int.from_bytes(a, "little") & ~int.from_bytes(b, "little")).to_bytes(n, "little"))


def _check_options(max_tokens: int | None, keep_last: int, reserved_tokens: int) -> None:
    if max_tokens is not None and (isinstance(max_tokens, bool) or not isinstance(max_tokens, int)):
        raise TypeError(f"max_tokens: expected an int or None, got {type(max_tokens).__name__}")
    for name, value in (("keep_last", keep_last), ("reserved_tokens", reserved_tokens)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name}: expected an int, got {type(value).__name__}")
        if value < 0:
            raise ValueError(f"{name}: expected an int >= 0, got {value}")


def trim_records(records: Records, *, max_tokens: int | None = None, keep_last: int = 0,
                 start_on_user: bool = False, keep_system: bool = True, decay: bool = True,
                 half_life: float = 6.0, safe_threshold: float = 0.35,
                 reserved_tokens: int = 0, alive: bytes | bytearray | None = None) -> TrimReport:
    """Decides which messages stay; see the module doc for the rules.

    ``keep_system=False`` lets the budget purge SYSTEM messages like any other
    (decay never purges them). ``decay=False`` skips the decay rule, leaving
    the budget alone to decide. ``reserved_tokens`` count towards the budget
    and the report but belong to no message (a system prompt held apart).
    ``alive``, one byte per message (non-zero: alive), replaces the decay
    rule with a decision already taken, such as the survivors of a
    `zelmo_micro.ContextApoptosis` window; the other rules apply as usual.

    Raises ValueError for a tool result whose call is missing or a repeated
    call id (naming the message and field), and BudgetError when what must
    stay does not fit.
    """
    _check_options(max_tokens, keep_last, reserved_tokens)
    flags, tokens = records.flags, records.tokens
    n = len(flags)
    units = _Units(records)
    groups = units.groups()

    if alive is not None:
        if len(alive) != n:
            raise ValueError(f"alive: {len(alive)} entries for {n} messages")
        keep = bytearray(bytes(alive).translate(_TRUTH))
    else:
        keep = _decay(flags, half_life, safe_threshold) if decay else bytearray(_ONE * n)
    # `must`: durable or protected; nothing ever purges these.
    durable = DURABLE if keep_system else z.FACT
    must = _has_bits(flags, durable)
    start = n - keep_last if keep_last < n else 0
    for pos in range(n - 1, -1, -1):
        if flags[pos] & USER:
            start = min(start, pos)
            break
    must[start:] = _ONE * (n - start)
    # A unit is kept, or must stay, when any of its messages is or must.
    for members in groups:
        if any(map(must.__getitem__, members)):
            for p in members:
                must[p] = 1
        if any(map(keep.__getitem__, members)):
            for p in members:
                keep[p] = 1
    keep = _either(keep, must)

    total = reserved_tokens + sum(compress(tokens, keep))
    if max_tokens is not None and total > max_tokens:
        needed = reserved_tokens + sum(compress(tokens, must))
        if needed > max_tokens:
            raise BudgetError(needed, max_tokens)
        # Oldest first. A unit is purged at its first message, which carries
        # the tokens of all its members; the others add nothing there.
        unit_tokens = tokens
        if groups:
            unit_tokens = list(tokens)
            for members in groups:
                unit_tokens[members[0]] = sum(tokens[p] for p in members)
                for p in members[1:]:
                    unit_tokens[p] = 0
        candidates = _but_not(keep, must)
        freed = list(accumulate(compress(unit_tokens, candidates)))
        count = bisect_left(freed, total - max_tokens) + 1
        for pos in compress(range(n), candidates):
            if count == 0:
                break
            count -= 1
            for p in units.of(pos):
                keep[p] = 0

    if start_on_user:
        for pos in compress(range(n), keep):
            if flags[pos] & SYSTEM:
                continue
            if flags[pos] & USER or must[pos]:
                break
            for p in units.of(pos):
                keep[p] = 0

    kept = list(compress(range(n), keep))
    units_in = n - sum(len(m) - 1 for m in groups)
    units_kept = len(kept) - sum(len(m) - 1 for m in groups if keep[m[0]])
    return TrimReport(
        kept=kept, messages_in=n,
        tokens_before=reserved_tokens + sum(tokens),
        tokens_after=reserved_tokens + sum(compress(tokens, keep)),
        units_in=units_in, units_purged=units_in - units_kept)


def unit_starts(records: Records) -> list[int]:
    """For each position, the first position of its unit (itself when alone).

    Raises ValueError as `trim_records` does for broken tool pairing.
    """
    units = _Units(records)
    starts = list(range(len(records.flags)))
    for members in units.groups():
        for p in members:
            starts[p] = members[0]
    return starts


def pick(messages: Sequence[M], report: TrimReport) -> Trimmed[M]:
    """The caller's messages at the kept positions, with the report."""
    return Trimmed(list(map(messages.__getitem__, report.kept)), report)
