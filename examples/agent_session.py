"""A coding agent's session, replayed through the zelmo package.

The session (examples/data/session.json) is a real-looking conversation in
English and Portuguese: a system prompt, user and assistant turns, tool calls
and their outputs, durable facts, decisions, and one tool output that is a
forged-log flood. The recorded assistant messages play a scripted model, and
the agent loop around it is what a real one would be, on `zelmo`:

1. `effort_gauge` on the user's request picks a tier, mapped to OpenAI's
   ``reasoning_effort`` by `zelmo.effort`;
2. a `zelmo.ChatWindow` holds the OpenAI-format conversation: each model call
   adds the new messages (decisions go to its STATE ledger) and runs one
   apoptosis cycle; the request is the purpose and ledger, then the
   surviving messages, tool exchanges whole and the live tail kept;
3. the model checks, on every call, that it sees the user's request and the
   latest result of every tool it called;
4. tool calls run on worker threads; each passes its output through
   `zelmo.guard_tool_output` (a flood is withheld) and signals on a
   `HormonalBus`, which the main loop senses and drains;
5. a `zelmo.CachePolicy` decides per call whether to keep appending to the
   provider-cached prefix or to rewrite it with the trimmed request.

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
from chat_adapter import Message, to_openai
from zelmo import CachePolicy, ChatWindow, guard_tool_output, openai_chat
from zelmo.cache import ANTHROPIC_5M, CacheDecision
from zelmo.effort import openai_reasoning_effort
from zelmo.guard import FLOOD_THRESHOLD, tool_saturation

HERE = Path(__file__).resolve().parent

# Bus channels. Bit i of a flags word selects channel i.
TOOL_DONE = 1 << 0  # a worker finished a tool call (intensity 1.0)
FLOOD = 1 << 1  # a worker withheld a flood (intensity: its saturation)
WORKER_BASE = 8  # channel 8 + slot tells which worker signalled

ALARM_DECAY = 0.5  # bus.tick() factor per turn: an alarm fades by half each turn

Chat = dict[str, Any]


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
    withheld_bytes: int = 0


def run_tool(bus: z.HormonalBus, slot: int, output: str, latency_s: float,
             results: list[ToolResult | None]) -> None:
    """One worker: 'runs' a tool (its recorded output after its recorded
    latency), guards its output, and signals the main loop on the bus."""
    time.sleep(latency_s)
    guarded = guard_tool_output(output)
    saturation = tool_saturation(output)
    me = 1 << (WORKER_BASE + slot)
    if guarded is output:
        results[slot] = ToolResult(output, saturation)
    else:
        results[slot] = ToolResult(guarded, saturation, len(output.encode("utf-8")))
        bus.inject(z.HormonalSignal(FLOOD | me, saturation))  # the typed API
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


# ------------------------------------------------------------ the scripted model


class ScriptedModel:
    """Plays the recorded assistant messages. Before each answer it checks the
    request it was sent: the user's latest request and the latest result of
    every tool it called must be in it, as the very objects the loop added."""

    def __init__(self) -> None:
        self.user: Chat | None = None
        self.results: list[Chat] = []
        self.calls = 0

    def saw(self, message: Chat) -> None:
        if message["role"] == "user":
            self.user = message
        elif message["role"] == "tool":
            self.results.append(message)

    def answer(self, sent: Sequence[Chat], reply: Chat) -> Chat:
        self.calls += 1
        present = {id(m) for m in sent}
        if self.user is None or id(self.user) not in present:
            raise AssertionError(f"model call {self.calls}: the user's request is missing")
        missing = [m["tool_call_id"] for m in self.results if id(m) not in present]
        if missing:
            raise AssertionError(f"model call {self.calls}: tool results {missing} are missing")
        self.results = []
        return reply


# ------------------------------------------------------------- the agent loop


@dataclass
class Row:
    turn: int
    lang: str
    tier: str
    effort: str  # OpenAI reasoning_effort for the tier
    calls: int  # model calls this turn
    inserted: int  # tokens ever inserted (= context size without apoptosis)
    kept: int  # tokens of the surviving blocks
    reclaimed: int  # tokens purged so far
    reduction: float
    purged: int  # blocks purged by this turn's cycles
    ledger: int  # STATE ledger entries
    rendered: int  # tokens of render(): purpose + STATE + survivors
    prefix: str  # what happened to the cached prompt prefix, per call
    sent: int  # tokens of the last request sent this turn
    untrimmed: int  # tokens of that request without trimming
    alarm: float  # flood alarm level on the bus


@dataclass
class Agent:
    """The state an agent keeps across turns."""

    session: Session
    speed: float
    # Chat Completions dicts; the adapter reads them as Mappings.
    window: ChatWindow[Any] = field(init=False)
    policy: CachePolicy[Any] = field(
        default_factory=lambda: CachePolicy(ANTHROPIC_5M))
    bus: z.HormonalBus = field(default_factory=lambda: z.HormonalBus(num_signals=32,
                                                                    event_capacity=1024))
    model: ScriptedModel = field(default_factory=ScriptedModel)
    pending: list[Chat] = field(default_factory=list)  # messages not yet in the window
    added: int = 0  # messages added to the window
    rows: list[Row] = field(default_factory=list)
    events: int = 0
    withheld: list[tuple[int, float, int]] = field(default_factory=list)  # turn, saturation, bytes
    rewrites: list[int] = field(default_factory=list)
    purged: int = 0  # blocks purged by the current turn's cycles
    sent_total: int = 0
    untrimmed_total: int = 0

    def __post_init__(self) -> None:
        self.window = ChatWindow(openai_chat.FORMAT, purpose=self.session.purpose,
                                 half_life=2.0, safe_threshold=0.35)
        self.pending.append({"role": "system", "content": self.session.system})

    def call_model(self, number: int, reply: Chat, notes: Sequence[str] = ()) -> CacheDecision[Any]:
        """Adds the pending messages, sends the request, checks the answer."""
        before = len(self.window)
        request = self.window.turn(self.pending, notes)
        self.purged += before + len(self.pending) - len(self.window)
        self.added += len(self.pending)
        self.pending = []
        decision = self.policy.decide(request)
        if decision.action == "rewrite":
            self.rewrites.append(number)
        self.sent_total += decision.tokens
        self.untrimmed_total += decision.untrimmed_tokens
        sent: list[Chat] = decision.messages
        self.pending.append(self.model.answer(sent, reply))
        return decision

    def play(self, number: int, turn: Turn) -> Row:
        gauge = z.effort_gauge(turn.request)
        self.purged = 0
        decisions: list[CacheDecision[Any]] = []
        for source in turn.messages:
            message = to_openai(source)
            if message["role"] == "assistant":
                # The decisions are noted with the turn's final answer.
                notes = () if message.get("tool_calls") else turn.decisions
                decisions.append(self.call_model(number, message, notes))
                if message.get("tool_calls"):
                    self.run_turn_tools(number, turn, message)
            elif message["role"] == "user":
                self.model.saw(message)
                self.pending.append(message)
        alarm = self.bus.sense(FLOOD)
        self.bus.tick(ALARM_DECAY)
        w = self.window
        last = decisions[-1]
        return Row(number, turn.lang, gauge["tier"], openai_reasoning_effort(gauge["tier"]),
                   len(decisions), w.inserted_tokens(), w.active_tokens(), w.reclaimed_tokens(),
                   w.reduction_ratio(), self.purged, len(w.ledger),
                   openai_chat.FORMAT.records([{"role": "user", "content": w.render()}]).tokens[0],
                   "/".join(d.action[0] for d in decisions), last.tokens, last.untrimmed_tokens,
                   alarm)

    def run_turn_tools(self, number: int, turn: Turn, call: Chat) -> None:
        """Runs an assistant message's tool calls; their results become pending."""
        recorded = {m.get("tool_call_id", ""): m["content"]
                    for m in turn.messages if m["role"] == "tool"}
        ids = [c["id"] for c in call["tool_calls"]]
        outputs = [recorded[i] for i in ids]
        latencies = [turn.latency_ms.get(i, 0) / 1000 * self.speed for i in ids]
        results, drained = run_tools(self.bus, outputs, latencies)
        self.events += drained
        for call_id, result in zip(ids, results):
            if result.withheld_bytes:
                self.withheld.append((number, result.saturation, result.withheld_bytes))
            message = {"role": "tool", "tool_call_id": call_id, "content": result.content}
            self.model.saw(message)
            self.pending.append(message)


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


HEADER = (f"{'turn':>4} {'lang':>4} {'tier':>6} {'effort':>7} {'calls':>5} {'inserted':>8} "
          f"{'kept':>6} {'reclaimed':>9} {'reduct.':>7} {'purged':>6} {'STATE':>5} {'prefix':>7} "
          f"{'sent':>6} {'untrim.':>7} {'alarm':>5}")


def format_row(r: Row) -> str:
    return (f"{r.turn:>4} {r.lang:>4} {r.tier:>6} {r.effort:>7} {r.calls:>5} {r.inserted:>8} "
            f"{r.kept:>6} {r.reclaimed:>9} {r.reduction:>7.1%} {r.purged:>6} {r.ledger:>5} "
            f"{r.prefix:>7} {r.sent:>6} {r.untrimmed:>7} {r.alarm:>5.2f}")


def summary(agent: Agent, elapsed: float) -> list[str]:
    w, rows = agent.window, agent.rows
    lines = [f"Replayed {len(rows)} turns ({agent.model.calls} model calls) in {elapsed:.2f} s; "
             f"the model saw the user's request and its latest tool results on every call."]

    lines.append("")
    lines.append("Context window (zelmo.ChatWindow on ContextApoptosis, half_life=2.0, "
                 "safe_threshold=0.35):")
    lines.append(f"  inserted {w.inserted_tokens()} tokens in {agent.added} messages; "
                 f"{len(w)} blocks / {w.active_tokens()} tokens survive; "
                 f"reduction {w.reduction_ratio():.1%}")
    state = w.ledger
    lines.append(f"  STATE ledger: {len(state)} entries (decisions and digests of purged turns), "
                 f"e.g.:")
    lines.extend(f"    - {entry[:92]}" for entry in state[:3])
    request = w.request()
    lines.append(f"  next request: the system part ({request.system_tokens} tokens) and "
                 f"{len(request.messages)} of {agent.added} chat messages; every tool call "
                 f"still has its result")
    saved = json.dumps(w.to_json())
    restored = ChatWindow.from_json(json.loads(saved))
    same = restored.request().messages == request.messages and restored.ledger == w.ledger
    lines.append(f"  saved as {len(saved)} bytes of JSON; restored: "
                 f"{'the same request and ledger' if same else 'DIFFERENT'}")

    lines.append("")
    lines.append("Prompt cache (zelmo.CachePolicy, Anthropic 5-minute prices, per model call):")
    lines.append(f"  rewritten at turns {sorted(set(agent.rewrites)) or 'none'}; "
                 f"{agent.sent_total} tokens sent over the session vs {agent.untrimmed_total} "
                 f"untrimmed ({1 - agent.sent_total / agent.untrimmed_total:.0%} fewer)")

    lines.append("")
    tiers = {tier: sum(r.tier == tier for r in rows) for tier in ("off", "low", "medium", "high")}
    lines.append("Reasoning effort (effort_gauge per request, zelmo.effort for OpenAI):")
    lines.append("  tiers " + ", ".join(f"{k} {v}" for k, v in tiers.items())
                 + "; reasoning_effort " + ", ".join(sorted({r.effort for r in rows})))

    lines.append("")
    lines.append(f"Tool-output guard (zelmo.guard_tool_output, threshold {FLOOD_THRESHOLD}):")
    for turn, saturation, size in agent.withheld:
        lines.append(f"  turn {turn}: withheld a flood, saturation {saturation:.3f}, "
                     f"{size} bytes kept out of the context")

    lines.append("")
    stats = agent.bus.stats()
    lines.append("Hormonal bus (workers signal, the main loop senses and drains):")
    lines.append(f"  {stats['secretions']:.0f} deposits, {agent.events} events drained, "
                 f"flood channel now {agent.bus.concentration(1):.3f}, "
                 f"total concentration {stats['total_concentration']:.3f}")
    busy = [(i - WORKER_BASE, level) for i, level in enumerate(agent.bus.snapshot())
            if i >= WORKER_BASE and level > 0.0]
    lines.append("  worker channels: " + ", ".join(f"#{s} {lv:.2f}" for s, lv in busy))
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
    ax.plot(turns, [r.inserted for r in rows], marker="o", label="every chat message, no system part (without apoptosis)")
    ax.plot(turns, [r.rendered for r in rows], marker="o",
            label="with apoptosis: render() (purpose + STATE + survivors)")
    ax.plot(turns, [r.kept for r in rows], marker=".", linestyle=":",
            label="with apoptosis: surviving blocks")
    ax.plot(turns, [r.untrimmed for r in rows], marker="^", linestyle="-.",
            label="request untrimmed (system part + every message; last call of the turn)")
    ax.plot(turns, [r.sent for r in rows], marker="s", linestyle="--",
            label="sent under the cache policy (last call of the turn)")
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
    progress = Progress(len(session.turns), "replaying")
    print(HEADER)
    progress.draw()
    for number, turn in enumerate(session.turns, start=1):
        row = agent.play(number, turn)
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
