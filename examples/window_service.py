"""One conversation served by two worker processes that take alternate turns.

The window lives in a SQLite table between requests: each worker loads it,
plays its turn with `zelmo.ChatWindow`, and stores it back in the same
transaction. The scripted model checks on every turn that it sees the
user's latest request and its latest tool result. At the end the stored
window is compared with one that ran the whole conversation in one process:
survivors, ledger and counters are the same.

    python examples/window_service.py [--turns 12] [--db path]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import os
import sqlite3
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from zelmo import ChatWindow, guard_tool_output
from zelmo.openai_chat import FORMAT

PURPOSE = "Keep the nightly build green."


def turn_messages(number: int) -> list[dict[str, Any]]:
    """Turn ``number``: the request, the model's tool call and its result."""
    call = f"call_{number}"
    output = "\n".join(f"test_{number}_{i} passed" for i in range(number % 4 + 1))
    return [
        {"role": "user", "content": f"Run the test suite, shard {number}."},
        {"role": "assistant", "content": None, "tool_calls": [
            {"id": call, "type": "function",
             "function": {"name": "run_tests", "arguments": json.dumps({"shard": number})}}]},
        {"role": "tool", "tool_call_id": call, "content": guard_tool_output(output)},
    ]


def model(request: list[dict[str, Any]], number: int) -> dict[str, Any]:
    """A scripted model: it must see the latest request and tool result."""
    assert request[-3]["content"] == f"Run the test suite, shard {number}.", request[-3]
    assert request[-1]["tool_call_id"] == f"call_{number}", request[-1]
    return {"role": "assistant", "content": f"Shard {number} is green."}


def play(window: ChatWindow[Any], number: int) -> None:
    messages = turn_messages(number)
    request = window.turn(messages, notes=[f"shard {number} checked"])
    reply = model(request.openai(), number)
    window.turn([reply])


def worker(db: str, inbox: Any, outbox: Any) -> None:
    """Serves turns until it gets None: load, play, store, in one transaction."""
    with sqlite3.connect(db, timeout=30) as conn:
        for number in iter(inbox.get, None):
            with conn:
                row = conn.execute("SELECT state FROM windows WHERE id = 1").fetchone()
                window = ChatWindow.from_json(json.loads(row[0]))
                play(window, number)
                conn.execute("UPDATE windows SET state = ? WHERE id = 1",
                             (json.dumps(window.to_json()),))
            outbox.put((number, os.getpid()))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--turns", type=int, default=12)
    parser.add_argument("--db", type=Path, default=None)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        db = str(args.db or Path(tmp) / "windows.db")
        with sqlite3.connect(db) as conn:
            conn.execute("CREATE TABLE IF NOT EXISTS windows (id INTEGER PRIMARY KEY, state TEXT)")
            fresh = ChatWindow(FORMAT, purpose=PURPOSE)
            conn.execute("INSERT OR REPLACE INTO windows VALUES (1, ?)",
                         (json.dumps(fresh.to_json()),))
        conn.close()

        ctx = mp.get_context("spawn")
        outbox = ctx.Queue()
        inboxes = [ctx.Queue(), ctx.Queue()]
        workers = [ctx.Process(target=worker, args=(db, inbox, outbox)) for inbox in inboxes]
        for w in workers:
            w.start()
        pids = []
        try:
            for number in range(1, args.turns + 1):
                inboxes[number % 2].put(number)  # alternate turns
                done, pid = outbox.get(timeout=60)
                assert done == number
                pids.append(pid)
        finally:
            for inbox in inboxes:
                inbox.put(None)
            for w in workers:
                w.join(timeout=60)

        with sqlite3.connect(db) as conn:
            stored = ChatWindow.from_json(json.loads(
                conn.execute("SELECT state FROM windows WHERE id = 1").fetchone()[0]))
        conn.close()

    alone = ChatWindow(FORMAT, purpose=PURPOSE)
    for number in range(1, args.turns + 1):
        play(alone, number)
    same = (stored.messages == alone.messages and stored.ledger == alone.ledger
            and stored.render() == alone.render()
            and stored.inserted_tokens() == alone.inserted_tokens()
            and stored.reduction_ratio() == alone.reduction_ratio())
    print(f"{args.turns} turns served by processes {sorted(set(pids))}, alternating")
    print(f"stored window: {len(stored.messages)} messages in play, {len(stored.ledger)} ledger "
          f"entries, {stored.inserted_tokens()} tokens inserted, reduction "
          f"{stored.reduction_ratio():.1%}")
    print("same as one uninterrupted process:", "yes" if same else "NO")
    return 0 if same and len(set(pids)) == 2 else 1


if __name__ == "__main__":
    sys.exit(main())
