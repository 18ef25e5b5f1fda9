"""A coding agent's session, replayed through zelmo_micro.

The session (examples/data/session.json) is a real-looking conversation in
English and Portuguese: a system prompt, user and assistant turns, thinking,
tool calls and their outputs, durable facts, decisions, and one tool output
that is a forged-log flood. Each turn goes through what an agent would do:

1. `effort_gauge` on the user's request picks a reasoning tier and budget;
2. `consolidation_gain` decides whether to rewrite the provider-cached prompt
   prefix (dropping what apoptosis purged) or to keep appending to it;
3. tool calls run on worker threads; each scans its output with
   `saturation_scan` (a flood is refused) and signals on a `HormonalBus`,
   while the main loop senses the bus and drains its events;
4. the turn's blocks enter a `ContextApoptosis` window that carries a
   purpose; decisions go to its STATE ledger with `note_state`, and one
   `dehydrate(absorb=True)` cycle ends the turn;
5. the surviving blocks map back to Chat Completions messages (converted by
   examples/chat_adapter.py) whose tool calls and results stay paired.

At the end `zelmo.openai_chat.trim` thins the whole transcript in one call.
A table per turn and a summary are printed; with matplotlib installed (the
`demo` extra) a plot of the context size per turn is written as a PNG.

    python examples/agent_session.py [--speed 0] [--plot out.png]
"""

from __future__ import annotations

import argparse
import json
import sys
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

import zelmo_micro as z
from chat_adapter import Message, ToolCall, to_openai
from zelmo import estimate_tokens, openai_chat
from zelmo.history import unit_starts

HERE = Path(__file__).resolve().parent

# Bus channels. Bit i of a flags word selects channel i.
TOOL_DONE = 1 << 0  # a worker finished a tool call (intensity 1.0)
FLOOD = 1 << 1  # a worker refused a flood (intensity: its saturation)
WORKER_BASE = 8  # channel 8 + slot tells which worker signalled

FLOOD_THRESHOLD = 0.5  # saturation at or above this refuses a tool output
ALARM_DECAY = 0.5  # bus.tick() factor per turn: an alarm fades by half each turn


# ---------------------------------------------------------------- the session


@dataclass
class Turn:
    lang: str
    messages: list[Message]
    decisions: list[str]
    latency_ms: dict[str, int]

    @property
    def request(self) -> str:
        return "\n".join(m["content"] for m in self.messages if m["role"] == "user")


@dataclass
class Session:
    title: str
    purpose: str
    system: str
    turns: list[Turn]


def load_session(path: Path) -> Session:
    raw = json.loads(path.read_text(encoding="utf-8"))
    turns = [
        Turn(
            lang=str(t["lang"]),
            messages=cast("list[Message]", t["messages"]),
            decisions=[str(d) for d in t.get("decisions", [])],
            latency_ms={str(k): int(v) for k, v in t.get("latency_ms", {}).items()},
        )
        for t in raw["turns"]
    ]
    return Session(str(raw["title"]), str(raw["purpose"]), str(raw["system"]), turns)


# ------------------------------------------------------- tools on worker threads


@dataclass
class ToolResult:
    content: str
    saturation: float
    refused_tokens: int = 0


def run_tool(bus: z.HormonalBus, slot: int, output: str, latency_s: float,
             results: list[ToolResult | None]) -> None:
    """One worker: 'runs' a tool (its recorded output after its recorded
    latency), refuses a flood, and signals the main loop on the bus."""
    time.sleep(latency_s)
    saturation = z.saturation_scan(output)
    me = 1 << (WORKER_BASE + slot)
    if saturation >= FLOOD_THRESHOLD:
        refused = estimate_tokens(output)
        notice = (f"[tool output refused: {saturation:.0%} of its 8-word shingles repeat; "
                  f"{refused} tokens withheld]")
        results[slot] = ToolResult(notice, saturation, refused)
        bus.inject(z.HormonalSignal(FLOOD | me, saturation))  # the typed API
    else:
        results[slot] = ToolResult(output, saturation)
    bus.secrete(TOOL_DONE | me, 1.0)  # the raw hot path


def run_tools(bus: z.HormonalBus, outputs: list[str], latencies: list[float],
              timeout: float = 30.0) -> tuple[list[ToolResult], int]:
    """Runs the calls of one assistant message in parallel. The main loop
    drains the bus until every worker has reported; returns the results and
    the number of events drained."""
    results: list[ToolResult | None] = [None] * len(outputs)
    workers = [threading.Thread(target=run_tool, args=(bus, slot, out, lat, results))
               for slot, (out, lat) in enumerate(zip(outputs, latencies))]
    for w in workers:
        w.start()
    pending = set(range(len(workers)))
    drained = 0
    deadline = time.monotonic() + timeout
    while pending:
        for flags, _intensity in bus.drain_events(64):
            drained += 1
            if flags & TOOL_DONE:
                pending -= {s for s in pending if (flags >> (WORKER_BASE + s)) & 1}
        if pending and time.monotonic() > deadline:
            raise TimeoutError(f"tool workers {sorted(pending)} did not report")
        time.sleep(0.001)
    for w in workers:
        w.join()
    return [r for r in results if r is not None], drained


# ------------------------------------------------------------- the agent loop


@dataclass
class Row:
    turn: int
    lang: str
    tier: str
    budget: int
    inserted: int  # tokens ever inserted (= context size without apoptosis)
    kept: int  # tokens of the surviving blocks
    reclaimed: int  # tokens purged so far
    reduction: float
    purged: int  # blocks purged by this turn's cycle
    ledger: int  # STATE ledger entries
    rendered: int  # tokens of render(): purpose + STATE + survivors
    prefix: str  # what happened to the cached prompt prefix
    sent: int  # tokens of the request sent this turn
    alarm: float  # flood alarm level on the bus


@dataclass
class Agent:
    """The state an agent keeps across turns."""

    session: Session
    speed: float
    window: z.ContextApoptosis = field(
        default_factory=lambda: z.ContextApoptosis(half_life=2.0, safe_threshold=0.35))
    bus: z.HormonalBus = field(default_factory=lambda: z.HormonalBus(num_signals=32,
                                                                    event_capacity=1024))
    # A twin window gets the same blocks and cycles with each block's message
    # index as its text, so its survivors name their messages exactly.
    twin: z.ContextApoptosis = field(
        default_factory=lambda: z.ContextApoptosis(half_life=2.0, safe_threshold=0.35))
    history: list[dict[str, Any]] = field(default_factory=list)  # Chat Completions messages
    tokens: list[int] = field(default_factory=list)  # per message
    blocks: int = 0  # blocks inserted into the window
    survivors: list[int] = field(default_factory=list)  # messages with a block alive in the window
    cached_header: int = 0  # tokens of purpose + STATE in the cached prefix
    cached_blocks: list[int] = field(default_factory=list)  # messages in the cached prefix
    rows: list[Row] = field(default_factory=list)
    events: int = 0
    refused: list[tuple[int, float, int]] = field(default_factory=list)  # turn, saturation, tokens
    rewrites: list[int] = field(default_factory=list)

    def start(self) -> None:
        self.window.set_purpose(self.session.purpose)
        self.add_blocks([{"role": "system", "content": self.session.system}])
        self.cycle_survivors()

    def add_blocks(self, messages: Sequence[Message]) -> range:
        """Appends messages; each gives the window one block, an assistant's
        thinking one more (THINKING) before it. Returns the new message indexes."""
        first = len(self.history)
        converted = [to_openai(m) for m in messages]
        records = openai_chat.FORMAT.records(self.history + converted)  # checks the pairing
        for offset, (source, message) in enumerate(zip(messages, converted)):
            index = first + offset
            blocks = [(source.get("thinking", ""), z.THINKING),
                      (openai_chat.FORMAT.text(message), records.flags[index])]
            for text, flags in blocks:
                if text:
                    self.window.insert(text, flags)
                    self.twin.insert(str(index), flags)
                    self.blocks += 1
        self.history += converted
        self.tokens = records.tokens
        return range(first, len(self.history))

    def cycle_survivors(self) -> None:
        self.survivors = sorted({int(text) for text in self.twin.active_context()})

    def outgoing(self) -> list[dict[str, Any]]:
        """The surviving messages, each tool exchange whole: an exchange with
        any surviving message is sent complete."""
        starts = unit_starts(openai_chat.FORMAT.records(self.history))
        alive = {starts[i] for i in self.survivors}
        return [m for i, m in enumerate(self.history) if starts[i] in alive]

    def header_tokens(self) -> int:
        """Tokens of the purpose and STATE ledger that render() puts above the blocks."""
        rendered = self.window.render()
        body = "\n".join(self.window.active_context())
        return estimate_tokens(rendered[: len(rendered) - len(body)])

    def choose_prefix(self, turns_left: int) -> tuple[str, int, list[int]]:
        """Keep appending to the cached prefix, or rewrite it without the
        purged blocks: `consolidation_gain` weighs the one-off cache write
        against re-reading the dead blocks on every call ahead."""
        if not self.cached_blocks:
            return "write", self.header_tokens(), list(self.survivors)
        tokens = {i: self.tokens[i] for i in self.cached_blocks}
        alive = set(self.survivors)
        prefix = self.cached_header + sum(tokens.values())
        purgeable = sum(t for i, t in tokens.items() if i not in alive)
        gain = z.consolidation_gain(prefix, purgeable, calls_ahead=turns_left)
        if gain["consolidate"]:
            return "rewrite", self.header_tokens(), list(self.survivors)
        return "keep", self.cached_header, list(self.cached_blocks)

    def play(self, number: int, turn: Turn, turns_left: int) -> Row:
        gauge = z.effort_gauge(turn.request)
        prefix_action, header, prefix_blocks = self.choose_prefix(turns_left)
        if prefix_action == "rewrite":
            self.rewrites.append(number)

        messages = self.run_turn_tools(number, turn)
        new = self.add_blocks(messages)
        for decision in turn.decisions:
            self.window.note_state(decision)
        purged = self.window.dehydrate(absorb=True)
        self.twin.dehydrate()
        self.cycle_survivors()

        # The provider caches what was sent; the next turn appends to it.
        self.cached_header = header
        self.cached_blocks = prefix_blocks + list(new)
        sent = header + sum(self.tokens[i] for i in self.cached_blocks)

        alarm = self.bus.sense(FLOOD)
        self.bus.tick(ALARM_DECAY)
        inserted = self.window.inserted_tokens()
        kept = self.window.active_tokens()
        return Row(number, turn.lang, gauge["tier"], gauge["budget_tokens"], inserted, kept,
                   inserted - kept, self.window.reduction_ratio(), purged,
                   len(self.window.state_entries()), estimate_tokens(self.window.render()),
                   prefix_action, sent, alarm)

    def run_turn_tools(self, number: int, turn: Turn) -> list[Message]:
        """The turn's messages with every tool result produced by a worker."""
        results: dict[str, ToolResult] = {}
        recorded = {m.get("tool_call_id", ""): m["content"]
                    for m in turn.messages if m["role"] == "tool"}
        out: list[Message] = []
        for msg in turn.messages:
            calls: list[ToolCall] = msg.get("tool_calls", [])
            if calls:
                outputs = [recorded[c["id"]] for c in calls]
                latencies = [turn.latency_ms.get(c["id"], 0) / 1000 * self.speed for c in calls]
                done, drained = run_tools(self.bus, outputs, latencies)
                self.events += drained
                results.update({c["id"]: r for c, r in zip(calls, done)})
            if msg["role"] == "tool":
                result = results[msg.get("tool_call_id", "")]
                if result.refused_tokens:
                    self.refused.append((number, result.saturation, result.refused_tokens))
                msg = {**msg, "content": result.content}
            out.append(msg)
        return out


# ----------------------------------------------------------------- the output


class Progress:
    """A one-line progress bar on stderr, drawn only on a terminal."""

    def __init__(self, total: int, label: str) -> None:
        self.total, self.label, self.done = total, label, 0
        self.live = sys.stderr.isatty()
        self.started = time.monotonic()

    def draw(self) -> None:
        if self.live:
            filled = 30 * self.done // max(self.total, 1)
            bar = "#" * filled + "." * (30 - filled)
            sys.stderr.write(f"\r{self.label} [{bar}] {self.done}/{self.total}")
            sys.stderr.flush()

    def clear(self) -> None:
        if self.live:
            sys.stderr.write("\r" + " " * (len(self.label) + 45) + "\r")
            sys.stderr.flush()

    def step(self) -> None:
        self.done += 1
        self.draw()

    def print_above(self, line: str) -> None:
        self.clear()
        print(line, flush=True)

    def close(self) -> float:
        self.clear()
        return time.monotonic() - self.started


HEADER = (f"{'turn':>4} {'lang':>4} {'tier':>6} {'budget':>6} {'inserted':>8} {'kept':>6} "
          f"{'reclaimed':>9} {'reduct.':>7} {'purged':>6} {'STATE':>5} {'prefix':>7} "
          f"{'sent':>6} {'alarm':>5}")


def format_row(r: Row) -> str:
    return (f"{r.turn:>4} {r.lang:>4} {r.tier:>6} {r.budget:>6} {r.inserted:>8} {r.kept:>6} "
            f"{r.reclaimed:>9} {r.reduction:>7.1%} {r.purged:>6} {r.ledger:>5} {r.prefix:>7} "
            f"{r.sent:>6} {r.alarm:>5.2f}")


def summary(agent: Agent, elapsed: float) -> list[str]:
    w, rows = agent.window, agent.rows
    lines = [f"Replayed {len(rows)} turns in {elapsed:.2f} s."]

    lines.append("")
    lines.append("Context window (ContextApoptosis, half_life=2.0, safe_threshold=0.35):")
    lines.append(f"  inserted {w.inserted_tokens()} tokens in {agent.blocks} blocks; "
                 f"{len(w)} blocks / {w.active_tokens()} tokens survive; "
                 f"reduction {w.reduction_ratio():.1%}")
    state = w.state_entries()
    lines.append(f"  STATE ledger: {len(state)} entries (decisions and digests of purged turns), "
                 f"e.g.:")
    lines.extend(f"    - {entry[:92]}" for entry in state[:3])
    lines.append(f"  render(): {estimate_tokens(w.render())} tokens "
                 f"(purpose + STATE + survivors)")

    outgoing = agent.outgoing()
    openai_chat.FORMAT.records(outgoing)  # refuses a result whose call is missing
    lines.append(f"  next request: {len(outgoing)} of {len(agent.history)} chat messages; "
                 f"every tool call still has its result")

    lines.append("")
    sent = sum(r.sent for r in rows)
    full = sum(r.inserted for r in rows)
    lines.append("Prompt-cache prefix (consolidation_gain each turn):")
    lines.append(f"  rewritten at turns {agent.rewrites or 'none'}; "
                 f"{sent} tokens sent over the session vs {full} without apoptosis "
                 f"({1 - sent / full:.0%} fewer)")

    lines.append("")
    tiers = {tier: sum(r.tier == tier for r in rows) for tier in ("off", "low", "medium", "high")}
    budget = sum(r.budget for r in rows)
    lines.append("Reasoning effort (effort_gauge per request):")
    lines.append("  tiers " + ", ".join(f"{k} {v}" for k, v in tiers.items())
                 + f"; {budget} reasoning tokens budgeted vs {16384 * len(rows)} at 'high' throughout")

    lines.append("")
    lines.append("Saturation (saturation_scan on every tool output):")
    for turn, saturation, tokens in agent.refused:
        lines.append(f"  turn {turn}: refused a flood, saturation {saturation:.3f}, "
                     f"{tokens} tokens kept out of the context")

    lines.append("")
    stats = agent.bus.stats()
    lines.append("Hormonal bus (workers signal, the main loop senses and drains):")
    lines.append(f"  {stats['secretions']:.0f} deposits, {agent.events} events drained, "
                 f"flood channel now {agent.bus.concentration(1):.3f}, "
                 f"total concentration {stats['total_concentration']:.3f}")
    busy = [(i - WORKER_BASE, level) for i, level in enumerate(agent.bus.snapshot())
            if i >= WORKER_BASE and level > 0.0]
    lines.append("  worker channels: " + ", ".join(f"#{s} {lv:.2f}" for s, lv in busy))

    lines.append("")
    one_shot = openai_chat.trim(agent.history)
    report = one_shot.report
    lines.append("One-shot trim of the whole transcript (zelmo.openai_chat.trim: decay with "
                 "half_life=6.0, tool exchanges whole, the live tail kept):")
    lines.append(f"  {report.messages_in} messages -> {len(report.kept)} kept, "
                 f"{report.messages_purged} purged; {report.tokens_before} -> "
                 f"{report.tokens_after} tokens "
                 f"(reduction {1 - report.tokens_after / report.tokens_before:.1%})")
    return lines


def plot(rows: Sequence[Row], rewrites: Sequence[int], path: Path) -> bool:
    """Writes the context-size plot; False when matplotlib is not installed."""
    try:
        import matplotlib  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]

    turns = [r.turn for r in rows]
    fig, ax = plt.subplots(figsize=(9, 5))
    ax.plot(turns, [r.inserted for r in rows], marker="o", label="without apoptosis")
    ax.plot(turns, [r.rendered for r in rows], marker="o",
            label="with apoptosis: render() (purpose + STATE + survivors)")
    ax.plot(turns, [r.kept for r in rows], marker=".", linestyle=":",
            label="with apoptosis: surviving blocks")
    ax.plot(turns, [r.sent for r in rows], marker="s", linestyle="--",
            label="sent under the cached-prefix policy")
    for turn in rewrites:
        ax.axvline(turn, color="grey", alpha=0.3)
    ax.set_xlabel("turn (grey lines: cached prefix rewritten)")
    ax.set_ylabel("tokens (estimate)")
    ax.set_title("Context size per turn")
    ax.set_xticks(turns)
    ax.grid(alpha=0.3)
    ax.legend()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--session", type=Path, default=HERE / "data" / "session.json")
    parser.add_argument("--speed", type=float, default=1.0,
                        help="scale of the recorded tool latencies (0: no waiting)")
    parser.add_argument("--plot", type=Path, default=HERE.parent / "build" / "agent_session.png")
    args = parser.parse_args(argv)

    session = load_session(args.session)
    print(f"{z.__doc__} {z.__version__}")
    print(f"Session: {session.title} ({len(session.turns)} turns)")
    print()

    agent = Agent(session, speed=args.speed)
    agent.start()
    progress = Progress(len(session.turns), "replaying")
    print(HEADER)
    progress.draw()
    for number, turn in enumerate(session.turns, start=1):
        row = agent.play(number, turn, turns_left=len(session.turns) - number + 1)
        agent.rows.append(row)
        progress.print_above(format_row(row))
        progress.step()
    elapsed = progress.close()

    print()
    for line in summary(agent, elapsed):
        print(line)
    print()
    if plot(agent.rows, agent.rewrites, args.plot):
        print(f"Plot written to {args.plot}")
    else:
        print("matplotlib is not installed: no plot (pip install '.[demo]')")
    return 0


if __name__ == "__main__":
    sys.exit(main())
