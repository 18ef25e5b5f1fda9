"""bench/adapters.py still runs, and its plain-Python peer agrees with zelmo."""
import sys
from pathlib import Path

import pytest

pytest.importorskip("langchain_core", reason="the langchain extra (langchain-core) is not installed")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import adapters as bench_adapters  # noqa: E402


def test_tiny_run_agrees(capsys):
    assert bench_adapters.main(["--tiny"]) == 0
    out = capsys.readouterr().out
    assert "both keep the same" in out


def test_peer_keeps_the_same_messages_as_zelmo_at_several_budgets():
    from zelmo import openai_chat
    chat = bench_adapters.chat_history(300)
    total = sum(openai_chat.FORMAT.records(chat).tokens)
    for share in (1.0, 0.5, 0.2, 0.05):
        budget = int(total * share)
        try:
            expected = openai_chat.trim(chat, max_tokens=budget).report.kept
        except ValueError:
            with pytest.raises(ValueError):
                bench_adapters.plain_trim(chat, budget)
            continue
        assert bench_adapters.plain_trim(chat, budget) == expected


def test_chat_window_bench_runs_tiny_and_its_peer_agrees(capsys):
    import chat_window
    assert chat_window.main(["--tiny"]) == 0
    assert "both send the same requests every turn" in capsys.readouterr().out
    # The peer also agrees over a longer session with heavier turns.
    assert chat_window.agree(chat_window.session(60, seed=9))
