"""A stateful chat window for an agent loop, on `zelmo_micro.ContextApoptosis`.

Each turn inserts the new messages (one block each, with the class flags its
format adapter gives), notes any decisions in the STATE ledger, runs one
``dehydrate(absorb=True)`` cycle and builds the request: a system part holding
the purpose and the ledger, then the surviving messages as the caller's own
objects. Which messages survive follows the window's blocks; tool exchanges
stay whole and the live tail stays, by the rules of `zelmo.history`. The
window keeps the records and units of the messages in play from turn to turn,
so a turn reads and pairs only its new messages.

A window saves to a JSON-safe value (`ChatWindow.to_json`) and restores from
it (`ChatWindow.from_json`); the restored window behaves exactly as one that
was never saved. The saved value holds the messages still in play, the cycle
at which each entered, which of their blocks are alive, which are bound to the
message before them, the ledger and the counters. A turn binds its first
message to the last one added when the format would (a call to the reasoning
item that ended the turn before), so the two stay or go together. The
bindings are saved because the format, reading the messages in play as one
list, could bind two that only became neighbours when messages between them
were dropped, and so group them differently; the value also says whether the
last message added is still in play, the one a next turn's first may bind to.
A block's decay depends only on its class and on the cycles it has
been through, so the blocks are rebuilt by inserting the live ones at their
cycles and running the cycles since the oldest ordinary one again (durable
blocks survive whatever their weight); the ledger is rebuilt entry by entry
and the token counters carry over as an offset.
"""

from __future__ import annotations

import hashlib
import json
import struct
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from itertools import compress
from typing import Any, Final, Generic, TypeVar

import zelmo_micro as z

from zelmo import anthropic, openai_chat, openai_responses
from zelmo.formats import Format
from zelmo.history import Records, unit_starts
from zelmo.tokens import TokenCounter, estimate_tokens

__all__ = ["SAVE_VERSION", "ChatWindow", "Request", "RestoreError"]

M = TypeVar("M")

SAVE_VERSION: Final = 2
"""The version of the saved value that `ChatWindow.to_json` writes and
`ChatWindow.from_json` reads; any other version is refused."""

_KIND: Final = "zelmo.ChatWindow"
_DURABLE: Final = z.SYSTEM | z.FACT
# The formats whose messages are JSON values, by the name a saved value holds.
_SAVED_FORMATS: Final[Mapping[str, Format[Any]]] = {
    "openai_chat": openai_chat.FORMAT,
    "openai_responses": openai_responses.FORMAT,
    "anthropic": anthropic.FORMAT,
}


class RestoreError(ValueError):
    """A saved value that cannot be restored: not a saved window, another
    version, or corrupted. Nothing is built from it."""


@dataclass(frozen=True)
class Request(Generic[M]):
    """What to send this turn.

    ``system`` holds the purpose and the STATE ledger (empty when the window
    has neither); ``messages`` are the caller's own objects that stay, oldest
    first; ``tokens`` counts each of them and ``system_tokens`` the system
    part. ``untrimmed_tokens`` is what sending the same system part with
    every message ever added would cost; the request never costs more.
    """

    system: str
    messages: list[M]
    tokens: list[int]
    system_tokens: int
    untrimmed_tokens: int

    @property
    def total_tokens(self) -> int:
        """The system part and the messages."""
        return self.system_tokens + sum(self.tokens)

    def openai(self) -> list[M | dict[str, Any]]:
        """For Chat Completions: a ``system`` message with the system part, then the messages."""
        head: list[M | dict[str, Any]] = [{"role": "system", "content": self.system}]
        return [*head, *self.messages] if self.system else list(self.messages)


def _concat(a: Records, b: Records) -> Records:
    shift = len(a.flags)
    return Records(
        a.flags + b.flags, a.tokens + b.tokens,
        {**a.calls, **{p + shift: v for p, v in b.calls.items()}},
        {**a.answers, **{p + shift: v for p, v in b.answers.items()}},
        [*a.bound, *(p + shift for p in b.bound)])


# What a message links to: the tool calls it makes, the calls it answers (each
# with the field it came from) and whether it is bound to the message before it.
_Links = tuple[Sequence[tuple[str, str]], Sequence[tuple[str, str]], bool]
_NO_LINKS: Final[_Links] = ((), (), False)


def _links(records: Records) -> list[_Links]:
    """The links of each position of ``records``."""
    links = [_NO_LINKS] * len(records.flags)
    bound = set(records.bound)
    for p in {*records.calls, *records.answers, *bound}:
        links[p] = (records.calls.get(p, ()), records.answers.get(p, ()), p in bound)
    return links


def _no_tokens(text: str) -> int:
    """A token counter for records read only for their bindings."""
    return 0


def _f32(value: float) -> float:
    return float(struct.unpack("f", struct.pack("f", value))[0])


def _check_float(name: str, value: object, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name}: expected a float, got {type(value).__name__}")
    number = float(value)
    if number != number or number in (float("inf"), float("-inf")) or (positive and number <= 0):
        raise ValueError(f"{name}: expected a finite float{' > 0' if positive else ''}, got {value!r}")
    return number


def _check_int(name: str, value: object, low: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name}: expected an int, got {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name}: expected an int >= {low}, got {value}")
    return value


def _storable(texts: Sequence[str], where: str) -> None:
    """Refuses a text with a lone surrogate, which the window cannot hold;
    ``where`` names the text by its index."""
    for i, text in enumerate(texts):
        if not text.isascii():
            try:
                text.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"{where.format(i)}: the text holds a lone surrogate, which the "
                                 f"window cannot store") from None


def _canonical(payload: Mapping[str, Any]) -> str:
    return json.dumps(payload, sort_keys=True, ensure_ascii=False, allow_nan=False,
                      separators=(",", ":"))


def _checksum(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


class ChatWindow(Generic[M]):
    """A conversation's context across turns, for messages of one format.

    ``format`` is a format adapter (``zelmo.openai_chat.FORMAT``,
    ``zelmo.openai_responses.FORMAT``, ``zelmo.anthropic.FORMAT``,
    ``zelmo.langchain.FORMAT``). ``half_life``, ``safe_threshold`` and
    ``state_capacity`` configure the `zelmo_micro.ContextApoptosis` window;
    ``reinforce_boost`` is passed to each of its cycles. ``keep_last`` keeps
    that many newest messages besides the tail from the last user message.
    ``token_counter`` counts the request's tokens (default: the module's
    estimate); the window's own block counters always use the module's
    estimate.
    """

    def __init__(self, format: Format[M], *, purpose: str | None = None, half_life: float = 2.0,
                 safe_threshold: float = 0.35, reinforce_boost: float = 0.5,
                 state_capacity: int = 64, keep_last: int = 0,
                 token_counter: TokenCounter | None = None) -> None:
        if not isinstance(format, Format):
            raise TypeError(f"format: expected a zelmo format adapter, got {type(format).__name__}")
        if purpose is not None and not isinstance(purpose, str):
            raise TypeError(f"purpose: expected a str or None, got {type(purpose).__name__}")
        self._format: Format[M] = format
        self._counter = token_counter or estimate_tokens
        self._half_life = _check_float("half_life", half_life, positive=True)
        self._threshold = _check_float("safe_threshold", safe_threshold)
        self._boost = _check_float("reinforce_boost", reinforce_boost)
        self._state_capacity = _check_int("state_capacity", state_capacity, low=1)
        self._keep_last = _check_int("keep_last", keep_last)
        self._main = z.ContextApoptosis(self._half_life, self._threshold,
                                        state_capacity=self._state_capacity)
        # The twin gets the same blocks and cycles with a unique marker for a
        # text: its survivors name the messages whose blocks are alive.
        self._twin = z.ContextApoptosis(self._half_life, self._threshold, state_capacity=1)
        self._main.set_purpose(purpose)
        self._purpose = purpose
        # One entry per message in play, oldest first.
        self._messages: list[M] = []
        self._flags: list[int] = []
        self._tokens: list[int] = []
        self._links: list[_Links] = []
        self._roots: list[int] = []  # the first position of its unit
        self._born: list[int] = []  # cycles run before it entered
        self._marks: list[str] = []  # its marker in the twin
        self._callers: dict[str, int] = {}  # tool call id -> position of the message making it
        # The system part and its tokens, until the purpose or the ledger changes.
        self._system: tuple[str, int] | None = None
        self._serial = 0
        self._cycles = 0
        self._base_inserted = 0  # tokens inserted before a restore
        self._all_tokens = 0  # tokens of every message ever added

    # ------------------------------------------------------------ reading

    @property
    def format(self) -> Format[M]:
        """The format adapter."""
        return self._format

    @property
    def purpose(self) -> str | None:
        """The purpose, the first text of the system part."""
        return self._purpose

    @property
    def ledger(self) -> list[str]:
        """The STATE ledger: the caller's notes and the digests of purged turns, oldest first."""
        return self._main.state_entries()

    @property
    def messages(self) -> list[M]:
        """The messages still in play, oldest first: those the next request
        builds on. A message that has left never comes back."""
        return list(self._messages)

    @property
    def cycles(self) -> int:
        """Turns (dehydrate cycles) run."""
        return self._cycles

    def __len__(self) -> int:
        """Blocks alive in the window."""
        return len(self._main)

    def inserted_tokens(self) -> int:
        """Tokens of every block ever inserted (the module's estimate)."""
        return self._base_inserted + self._main.inserted_tokens()

    def active_tokens(self) -> int:
        """Tokens of the blocks alive."""
        return self._main.active_tokens()

    def reclaimed_tokens(self) -> int:
        """Tokens of the blocks purged."""
        return self.inserted_tokens() - self.active_tokens()

    def reduction_ratio(self) -> float:
        """Reclaimed over inserted tokens, in single precision as the window computes it."""
        inserted = self.inserted_tokens()
        if inserted == 0:
            return 0.0
        return _f32(_f32(float(self.reclaimed_tokens())) / _f32(float(inserted)))

    def system_text(self) -> str:
        """The system part: the purpose, then ``STATE:`` and one ``- entry`` line per entry."""
        return self._system_part()[0]

    def _system_part(self) -> tuple[str, int]:
        # The ledger changes only when a note is added or a cycle purges
        # blocks; both drop this cache.
        if self._system is None:
            lines = [] if self._purpose is None else [self._purpose]
            ledger = self._main.state_entries()
            if ledger:
                lines.append("STATE:\n- " + "\n- ".join(ledger))
            system = "\n".join(lines)
            self._system = (system, self._counter(system) if system else 0)
        return self._system

    def render(self) -> str:
        """The whole window as one text (purpose, STATE ledger, surviving
        blocks), for single-prompt APIs."""
        return self._main.render()

    def request(self) -> Request[M]:
        """The request for the window as it stands."""
        system, system_tokens = self._system_part()
        return Request(system, list(self._messages), list(self._tokens), system_tokens,
                       system_tokens + self._all_tokens)

    # ------------------------------------------------------------ a turn

    def note(self, fact: str) -> bool:
        """Adds a fact or decision to the STATE ledger; False if already there."""
        if not isinstance(fact, str):
            raise TypeError(f"fact: expected a str, got {type(fact).__name__}")
        added = self._main.note_state(fact)
        if added:
            self._system = None
        return added

    def turn(self, messages: Iterable[M], notes: Iterable[str] = ()) -> Request[M]:
        """Adds this turn's messages and notes, runs one cycle, returns the request.

        A malformed message raises the format's TypeError or ValueError
        naming its index in ``messages``; a tool result whose call is
        missing names its index in the window's `messages` followed by the
        new ones. A text the window cannot store (a lone surrogate) is
        refused the same way. On any error the window is unchanged.
        """
        new = list(messages)
        facts = list(notes)
        for i, fact in enumerate(facts):
            if not isinstance(fact, str):
                raise TypeError(f"notes[{i}]: expected a str, got {type(fact).__name__}")
        fresh = self._format.records(new, self._counter)
        links = _links(fresh)
        if links and self._binds_to_last(new[0]):
            links[0] = (links[0][0], links[0][1], True)
        callers = dict(self._callers)
        roots = self._units(links, callers)
        if roots is None:
            # Something is off in the pairing: the whole check names the fault.
            roots = unit_starts(_concat(self._live_records(), fresh))
            callers = {c: p for p, (made, _, _) in enumerate([*self._links, *links])
                       for c, _ in made}
        texts = [self._format.text(m) for m in new]
        _storable(texts, "message {}")
        _storable(facts, "notes[{}]")

        marks = list(map(str, range(self._serial, self._serial + len(new))))
        for text, mark, flags in zip(texts, marks, fresh.flags):
            self._main.insert(text, flags)
            self._twin.insert(mark, flags)
        self._serial += len(new)
        self._marks.extend(marks)
        self._messages.extend(new)
        self._flags.extend(fresh.flags)
        self._tokens.extend(fresh.tokens)
        self._links.extend(links)
        self._roots = roots
        self._callers = callers
        self._born.extend([self._cycles] * len(new))
        self._all_tokens += sum(fresh.tokens)
        for fact in facts:
            self.note(fact)
        if self._main.dehydrate(self._boost, True):
            self._system = None  # purged blocks may have left digests
        self._twin.dehydrate(self._boost)
        self._cycles += 1
        self._settle()
        return self.request()

    def _binds_to_last(self, first: M) -> bool:
        """Whether the format binds ``first`` to the last message added (a
        call to the reasoning item before it), which must still be in play:
        a turn's records alone can't tell, as they start with ``first``."""
        if not self._marks or self._marks[-1] != str(self._serial - 1):
            return False
        return 1 in self._format.records([self._messages[-1], first], _no_tokens).bound

    def _units(self, links: Sequence[_Links], callers: dict[str, int]) -> list[int] | None:
        """The first position of each message's unit once the new messages
        with ``links`` join those in play, adding their calls to ``callers``;
        None when a call id repeats or a result's call is not made before it
        (or a bound position has nothing before it)."""
        first = len(self._roots)
        roots = [*self._roots, *range(first, first + len(links))]
        joins = []
        for pos, (made, _, _) in enumerate(links, first):
            for call_id, _ in made:
                if call_id in callers:
                    return None
                callers[call_id] = pos
        for pos, (_, answered, bound) in enumerate(links, first):
            for call_id, _ in answered:
                caller = callers.get(call_id, pos + 1)
                if caller > pos:
                    return None
                joins.append((caller, pos))
            if bound:
                if pos == 0:
                    return None
                joins.append((pos - 1, pos))
        for a, b in joins:
            ra, rb = roots[a], roots[b]
            if ra != rb:
                lo, hi = (ra, rb) if ra < rb else (rb, ra)
                roots = [lo if r == hi else r for r in roots]
        return roots

    def _live_records(self) -> Records:
        """The records of the messages in play."""
        links = self._links
        return Records(list(self._flags), list(self._tokens),
                       {p: made for p, (made, _, _) in enumerate(links) if made},
                       {p: answered for p, (_, answered, _) in enumerate(links) if answered},
                       [p for p, (_, _, bound) in enumerate(links) if bound])

    def _alive(self) -> list[bool]:
        """For each message in play, whether its block is alive."""
        return list(map(set(self._twin.active_context()).__contains__, self._marks))

    def _settle(self) -> None:
        """Keeps the messages whose units hold a block that is alive, a
        durable message, or a message of the tail (from the last user
        message, and the last ``keep_last``)."""
        flags, roots = self._flags, self._roots
        n = len(flags)
        start = n - self._keep_last if self._keep_last < n else 0
        for pos in range(n - 1, -1, -1):
            if flags[pos] & z.USER:
                start = min(start, pos)
                break
        wanted = {*roots[start:], *compress(roots, self._alive()),
                  *compress(roots, map(_DURABLE.__and__, flags))}
        keep = list(map(wanted.__contains__, roots))
        if all(keep):
            return
        kept = list(compress(range(n), keep))
        index = dict(zip(kept, range(len(kept))))
        self._messages = list(compress(self._messages, keep))
        self._flags = list(compress(flags, keep))
        self._tokens = list(compress(self._tokens, keep))
        self._links = list(compress(self._links, keep))
        self._born = list(compress(self._born, keep))
        self._marks = list(compress(self._marks, keep))
        self._roots = [index[root] for root in compress(roots, keep)]
        self._callers = {c: index[p] for c, p in self._callers.items() if p in index}

    # ------------------------------------------------------------ saving

    def to_json(self) -> dict[str, Any]:
        """The window as a JSON-safe value (dicts, lists, str, int, float,
        bool, None), with a version and a checksum.

        Raises TypeError when the format's messages are not JSON values (such
        as LangChain message objects) or a message holds a non-JSON value.
        """
        name = next((k for k, v in _SAVED_FORMATS.items() if v is self._format), None)
        if name is None:
            raise TypeError(f"a window of {type(self._format).__name__} messages cannot be saved: "
                            f"only formats whose messages are JSON values can")
        alive = self._alive()
        payload = {
            "format": name, "half_life": self._half_life, "safe_threshold": self._threshold,
            "reinforce_boost": self._boost, "state_capacity": self._state_capacity,
            "keep_last": self._keep_last, "purpose": self._purpose,
            "ledger": self._main.state_entries(), "cycles": self._cycles,
            "inserted_tokens": self.inserted_tokens(), "all_tokens": self._all_tokens,
            "messages": self._messages, "born": self._born, "alive": list(map(int, alive)),
            "bound": [p for p, (_, _, bound) in enumerate(self._links) if bound],
            "open": bool(self._marks) and self._marks[-1] == str(self._serial - 1),
        }
        try:
            text = _canonical(payload)
        except (TypeError, ValueError) as e:
            raise TypeError(f"the window's messages are not JSON values: {e}") from None
        # A copy, so the saved value does not change with the caller's messages.
        return {"kind": _KIND, "version": SAVE_VERSION, "checksum": _checksum(text),
                "payload": json.loads(text)}

    @classmethod
    def from_json(cls, value: object, *,
                  token_counter: TokenCounter | None = None) -> ChatWindow[Any]:
        """Restores a window saved by `to_json` (after a JSON round trip or not).

        ``token_counter`` must be the one the window was built with. Raises
        `RestoreError` for a value that is not a saved window, has another
        version or is corrupted; nothing is half-built.
        """
        try:
            return cls._restore(value, token_counter)
        except RestoreError:
            raise
        except (TypeError, ValueError, KeyError) as e:
            raise RestoreError(f"corrupted saved window: {e}") from None

    @classmethod
    def _restore(cls, value: object, token_counter: TokenCounter | None) -> ChatWindow[Any]:
        if not isinstance(value, Mapping) or value.get("kind") != _KIND:
            raise RestoreError("not a saved ChatWindow (no 'kind': 'zelmo.ChatWindow')")
        version = value.get("version")
        if version != SAVE_VERSION:
            raise RestoreError(f"saved by format version {version!r}; this zelmo reads "
                               f"version {SAVE_VERSION}")
        payload = value.get("payload")
        if not isinstance(payload, Mapping):
            raise RestoreError("corrupted saved window: 'payload' is not an object")
        if value.get("checksum") != _checksum(_canonical(payload)):
            raise RestoreError("corrupted saved window: the checksum does not match its content")
        fmt = _SAVED_FORMATS.get(payload["format"])
        if fmt is None:
            raise RestoreError(f"corrupted saved window: unknown format {payload['format']!r}")
        window: ChatWindow[Any] = ChatWindow(
            fmt, purpose=payload["purpose"], half_life=payload["half_life"],
            safe_threshold=payload["safe_threshold"], reinforce_boost=payload["reinforce_boost"],
            state_capacity=payload["state_capacity"], keep_last=payload["keep_last"],
            token_counter=token_counter)
        window._load(payload)
        return window

    @staticmethod
    def _bound_as_saved(records: Records, saved: object) -> Records:
        """``records`` with the bindings the live window made. Each saved one
        must be a binding the format makes when it reads the messages in play
        together (it made it within a turn, between the same two messages)."""
        if not isinstance(saved, list):
            raise ValueError("'bound' must be a list of positions")
        bound = set(records.bound)
        for i, pos in enumerate(saved):
            _check_int(f"bound[{i}]", pos)
            if pos not in bound or (i and pos <= saved[i - 1]):
                raise ValueError(f"bound[{i}]: position {pos} is not one the format binds to "
                                 f"the message before it, in increasing order")
        return Records(records.flags, records.tokens, records.calls, records.answers, saved)

    def _load(self, payload: Mapping[str, Any]) -> None:
        messages, born, alive = payload["messages"], payload["born"], payload["alive"]
        ledger, cycles = payload["ledger"], _check_int("cycles", payload["cycles"])
        if not (isinstance(messages, list) and isinstance(born, list) and isinstance(alive, list)
                and len(messages) == len(born) == len(alive)):
            raise ValueError("'messages', 'born' and 'alive' must be lists of one length")
        for i, (entered, flag) in enumerate(zip(born, alive)):
            _check_int(f"born[{i}]", entered)
            if entered > cycles or (i and entered < born[i - 1]) or flag not in (0, 1):
                raise ValueError(f"message {i}: inconsistent 'born' or 'alive'")
        if not isinstance(ledger, list) or len(ledger) > self._state_capacity:
            raise ValueError("'ledger' must be a list within state_capacity")
        for entry in ledger:
            if not isinstance(entry, str) or not self._main.note_state(entry):
                raise ValueError("'ledger' holds a repeated or non-str entry")
        records = self._bound_as_saved(self._format.records(messages, self._counter),
                                       payload["bound"])
        roots = unit_starts(records)
        # Durable blocks survive whatever their weight: only the cycles since
        # the oldest ordinary live block need to run again.
        live = [p for p in range(len(messages)) if alive[p]]
        ordinary = [born[p] for p in live if not records.flags[p] & _DURABLE]
        start = min(ordinary, default=cycles)
        pending = iter(live)
        nxt = next(pending, None)
        for cycle in range(start, cycles + 1):
            while nxt is not None and born[nxt] <= cycle:
                self._main.insert(self._format.text(messages[nxt]), records.flags[nxt])
                self._twin.insert(str(nxt), records.flags[nxt])
                nxt = next(pending, None)
            if cycle < cycles and (self._main.dehydrate(self._boost, True)
                                   or self._twin.dehydrate(self._boost)):
                raise ValueError("a block marked alive would not have survived")
        base = _check_int("inserted_tokens", payload["inserted_tokens"]) - self._main.inserted_tokens()
        self._base_inserted = _check_int("inserted_tokens - the live blocks' tokens", base)
        self._all_tokens = _check_int("all_tokens", payload["all_tokens"])
        self._messages = messages
        self._flags = records.flags
        self._tokens = records.tokens
        self._links = _links(records)
        self._roots = roots
        self._callers = {c: p for p, made in records.calls.items() for c, _ in made}
        self._born = born
        self._marks = [str(p) for p in range(len(messages))]
        # A window whose last message added is gone binds nothing to it: the
        # next marker then skips a number, so the last in play is not the last added.
        is_open = payload.get("open", True)
        if not isinstance(is_open, bool):
            raise ValueError("'open' must be true or false")
        self._serial = len(messages) + (not is_open)
        self._cycles = cycles
