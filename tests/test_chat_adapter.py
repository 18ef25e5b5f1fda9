"""The examples on the zelmo package: the recorded session as Chat Completions
messages, trimmed, and the agent session replayed to the end."""
import json
import sys
from pathlib import Path

import pytest

import zelmo_micro as z
from zelmo import openai_chat

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import agent_session  # noqa: E402
from chat_adapter import load_history, main, to_openai  # noqa: E402

SESSION = EXAMPLES / "data" / "session.json"


def test_recorded_messages_become_chat_completions_messages():
    recorded = {"role": "assistant", "content": "", "thinking": "Read the log.",
                "tool_calls": [{"id": "c1", "name": "grep", "arguments": {"pattern": "é"}}]}
    assert to_openai(recorded) == {"role": "assistant", "content": None, "tool_calls": [
        {"id": "c1", "type": "function", "function": {"name": "grep", "arguments": '{"pattern": "é"}'}}]}
    assert to_openai({"role": "user", "content": "We ship on Fridays.", "fact": True}) == {
        "role": "user", "content": "We ship on Fridays.", "zelmo_pinned": True}
    assert to_openai({"role": "tool", "tool_call_id": "c1", "content": "x"})["tool_call_id"] == "c1"


def answered(history):
    calls = {c["id"] for m in history for c in m.get("tool_calls") or ()}
    results = {m["tool_call_id"] for m in history if m["role"] == "tool"}
    return calls == results


def test_shipped_session_is_a_valid_paired_history():
    history = load_history(SESSION)
    records = openai_chat.FORMAT.records(history)  # refuses a result without its call
    assert answered(history)
    assert sum(1 for f in records.flags if f & z.FACT) == 2
    langs = {turn["lang"] for turn in json.loads(SESSION.read_text(encoding="utf-8"))["turns"]}
    assert langs == {"en", "pt"}
    assert any(z.saturation_scan(m["content"]) >= 0.5 for m in history if m["role"] == "tool")


@pytest.mark.parametrize("max_tokens", [600, 3000, 100_000])
def test_trimmed_session_stays_paired_and_within_budget(max_tokens, capsys):
    history = load_history(SESSION)
    result = openai_chat.trim(history, max_tokens=max_tokens, start_on_user=True)
    assert answered(result.messages)
    assert result.report.tokens_after <= max_tokens
    assert result.messages[1]["role"] == "user"
    assert main(["--max-tokens", str(max_tokens)]) == 0
    assert f"-> {len(result.messages)} messages, {result.report.tokens_after} tokens" in (
        capsys.readouterr().out)


def test_agent_session_replays_with_paired_requests(tmp_path, capsys):
    assert agent_session.main(["--speed", "0", "--plot", str(tmp_path / "plot.png")]) == 0
    out = capsys.readouterr().out
    assert "Replayed 12 turns" in out
    assert "the model saw the user's request and its latest tool results on every call" in out
    assert "every tool call still has its result" in out
    assert "restored: the same request and ledger" in out
    assert "turn 5: withheld a flood" in out


def test_the_scripted_model_refuses_a_request_without_its_latest_tool_result():
    model = agent_session.ScriptedModel()
    user = {"role": "user", "content": "run it"}
    result = {"role": "tool", "tool_call_id": "c1", "content": "ok"}
    model.saw(user)
    model.saw(result)
    with pytest.raises(AssertionError, match="c1"):
        model.answer([user, dict(result)], {"role": "assistant", "content": "done"})
    with pytest.raises(AssertionError, match="request is missing"):
        model.answer([result], {"role": "assistant", "content": "done"})


def test_two_worker_processes_serve_alternate_turns():
    import window_service
    assert window_service.main(["--turns", "4"]) == 0
