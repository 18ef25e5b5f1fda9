"""The Agents SDK input filter and session, through Runner.run with a stub model."""
import asyncio
import json

import pytest

pytest.importorskip("agents", reason="the openai-agents extra is not installed")

from agents import (Agent, ModelResponse, RunConfig, Runner, SQLiteSession,  # noqa: E402
                    function_tool, set_tracing_disabled)
from agents.models.interface import Model  # noqa: E402
from agents.usage import Usage  # noqa: E402
from openai.types.responses import (ResponseFunctionToolCall, ResponseOutputMessage,  # noqa: E402
                                    ResponseOutputText)

from zelmo.history import BudgetError  # noqa: E402
from zelmo.openai_agents import TrimmingSession, input_filter  # noqa: E402

set_tracing_disabled(True)  # nothing may try to reach a tracing endpoint


def message(text):
    return ResponseOutputMessage(id="m", type="message", role="assistant", status="completed",
                                 content=[ResponseOutputText(type="output_text", text=text,
                                                             annotations=[])])


class ScriptedModel(Model):
    """Returns canned outputs in turn and records every input it is given."""

    def __init__(self, outputs):
        self.outputs = list(outputs)
        self.inputs = []

    async def get_response(self, system_instructions, input, model_settings, tools, output_schema,
                           handoffs, tracing, *, previous_response_id=None, conversation_id=None,
                           prompt=None, **kwargs):
        self.inputs.append(list(input) if isinstance(input, list) else input)
        return ModelResponse(output=[self.outputs.pop(0)], usage=Usage(), response_id=None)

    def stream_response(self, *args, **kwargs):  # pragma: no cover - not used
        raise NotImplementedError


@function_tool
def read_log(name: str) -> str:
    """Reads a log."""
    return f"{name}: " + "line\n" * 200


def tool_turn(call_id, name):
    return ResponseFunctionToolCall(type="function_call", call_id=call_id, name="read_log",
                                    arguments=json.dumps({"name": name}), id=f"fc_{call_id}")


def old_history(turns):
    items = []
    for i in range(turns):
        items += [{"role": "user", "content": f"question {i} " + "x" * 200},
                  {"type": "function_call", "call_id": f"old{i}", "name": "read_log",
                   "arguments": "{}"},
                  {"type": "function_call_output", "call_id": f"old{i}", "output": "y" * 400},
                  {"role": "assistant", "content": f"answer {i}"}]
    return items


def check_paired(items):
    called = {i["call_id"] for i in items if i.get("type") == "function_call"}
    answered = {i["call_id"] for i in items if i.get("type") == "function_call_output"}
    assert called == answered


def test_input_filter_trims_every_model_call_of_a_run():
    model = ScriptedModel([tool_turn("c1", "build"), message("The build log is fine.")])
    agent = Agent(name="a", instructions="Be brief.", model=model, tools=[read_log])
    history = old_history(6) + [{"role": "user", "content": "Check the build log."}]
    config = RunConfig(call_model_input_filter=input_filter(max_tokens=600), tracing_disabled=True)
    result = asyncio.run(Runner.run(agent, history, run_config=config))
    assert result.final_output == "The build log is fine."
    first, second = model.inputs
    assert len(first) < len(history) and first[-1]["content"] == "Check the build log."
    # The second call sees its own tool call and the result that came back.
    assert [i.get("type") for i in second[-2:]] == ["function_call", "function_call_output"]
    assert second[-1]["output"].startswith("build: line")
    for seen in model.inputs:
        check_paired(seen)


def test_input_filter_refuses_what_cannot_fit():
    model = ScriptedModel([message("unused")])
    agent = Agent(name="a", instructions="Be brief." * 50, model=model)
    config = RunConfig(call_model_input_filter=input_filter(max_tokens=50), tracing_disabled=True)
    with pytest.raises(BudgetError):
        asyncio.run(Runner.run(agent, "hello", run_config=config))


def test_trimming_session_keeps_the_run_paired_across_turns(tmp_path):
    store = SQLiteSession("chat", str(tmp_path / "chat.db"))
    session = TrimmingSession(store, max_tokens=900)
    model = ScriptedModel([])
    agent = Agent(name="a", instructions="Be brief.", model=model, tools=[read_log])
    for turn in range(5):
        model.outputs += [tool_turn(f"c{turn}", f"log{turn}"), message(f"done {turn}")]
        asyncio.run(Runner.run(agent, f"Read log{turn}.", session=session,
                               run_config=RunConfig(tracing_disabled=True)))
        check_paired(model.inputs[-1])
        assert model.inputs[-1][-1]["output"].startswith(f"log{turn}: line")
    stored = asyncio.run(store.get_items())
    trimmed = asyncio.run(session.get_items())
    assert len(trimmed) < len(stored) and session.last_report.tokens_after <= 900
    check_paired(trimmed)


@pytest.mark.parametrize("limit", [0, 1, 2, 3, 4, 5, 50])
def test_session_limit_never_splits_an_exchange(limit):
    class Memory:
        session_id = "m"

        def __init__(self, items):
            self.items = items

        async def get_items(self, limit=None):
            return list(self.items)

    items = old_history(2) + [{"role": "user", "content": "now"}]
    got = asyncio.run(TrimmingSession(Memory(items)).get_items(limit))
    assert len(got) <= limit
    check_paired(got)
    assert got == items[len(items) - len(got):]
    if limit >= 2:
        assert got[-2:] == items[-2:]  # the answer and the request
