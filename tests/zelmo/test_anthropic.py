"""The Anthropic Messages adapter: a worked example, bad input, random conversations."""
import pytest
from hypothesis import given, settings

import zelmo_micro as z
from zelmo import anthropic
from zelmo.history import BudgetError
from zelmo.tokens import IMAGE_TOKENS, estimate_tokens

from conversations import OPTIONS, Meta, check_trim, scripts

SYSTEM = [{"type": "text", "text": "You are a coding agent."}]


def use(call_id, path="a.py"):
    return {"type": "tool_use", "id": call_id, "name": "read_file", "input": {"path": path}}


def result(call_id, text):
    return {"type": "tool_result", "tool_use_id": call_id, "content": text}


def thinking(text):
    return {"type": "thinking", "thinking": text, "signature": "sig"}


MESSAGES = [
    {"role": "user", "content": "What does a.py print?"},
    {"role": "assistant", "content": [thinking("Read it."), use("t1")]},
    {"role": "user", "content": [result("t1", "print(1)")]},
    {"role": "assistant", "content": "It prints 1."},
    {"role": "user", "content": [{"type": "text", "text": "And b.py?"},
                                 {"type": "image", "source": {"type": "base64", "data": ""}}]},
    {"role": "assistant", "content": [thinking("Read b.py, then c.py."), use("t2", "b.py")]},
    {"role": "user", "content": [result("t2", "import c")]},
    {"role": "assistant", "content": [thinking("Now c.py."), {"type": "redacted_thinking", "data": "xyz"},
                                      use("t3", "c.py")]},
    {"role": "user", "content": [result("t3", [{"type": "text", "text": "print(3)"}])]},
]


def test_worked_example_keeps_the_unfinished_tool_loop_with_its_thinking():
    records = anthropic.FORMAT.records(MESSAGES)
    assert records.flags == [z.USER, z.ASSISTANT, z.TOOL, z.ASSISTANT, z.USER, z.ASSISTANT, z.TOOL,
                             z.ASSISTANT, z.TOOL]
    assert records.tokens[4] == estimate_tokens("And b.py?") + IMAGE_TOKENS
    system = anthropic.FORMAT.system_tokens(SYSTEM)
    tail = sum(records.tokens[4:])
    result = anthropic.trim(MESSAGES, system=SYSTEM, max_tokens=system + tail, start_on_user=True)
    # The first exchange and its answer go; the request and its whole loop stay,
    # the same objects, thinking blocks and all.
    assert result.report.kept == [4, 5, 6, 7, 8]
    assert all(a is b for a, b in zip(result.messages, MESSAGES[4:]))
    assert result.report.tokens_after == system + tail
    assert result.report.tokens_before == system + sum(records.tokens)
    with pytest.raises(BudgetError, match=f"need {system + tail} tokens"):
        anthropic.trim(MESSAGES, system=SYSTEM, max_tokens=system + tail - 1)
    assert anthropic.FORMAT.text(MESSAGES[7]) == "Now c.py.\nxyz\nread_file({'path': 'c.py'})"


def test_start_on_user_begins_with_a_request_not_a_tool_result_turn():
    # Decay alone drops the oldest exchange; start_on_user then needs a real request first.
    history = MESSAGES[:4] + [{"role": "user", "content": "ok"}, {"role": "assistant", "content": "ok"}] * 5
    result = anthropic.trim(history, start_on_user=True)
    first = result.messages[0]
    assert first["role"] == "user" and isinstance(first["content"], str)


def test_server_tool_results_pair_within_the_assistant_turn():
    turn = {"role": "assistant", "content": [
        {"type": "server_tool_use", "id": "s1", "name": "web_search", "input": {"query": "x"}},
        {"type": "web_search_tool_result", "tool_use_id": "s1", "content": []},
        {"type": "text", "text": "Found nothing."}]}
    records = anthropic.FORMAT.records([{"role": "user", "content": "search"}, turn])
    assert dict(records.calls) == {1: [("s1", "content[0].id")]}
    assert dict(records.answers) == {1: [("s1", "content[1].tool_use_id")]}


@pytest.mark.parametrize("message, error, text", [
    ({"role": "system", "content": "x"}, ValueError, "message 1, field 'role': unknown role 'system'"),
    ({"role": "user", "content": None}, TypeError, "field 'content': expected a str or a list"),
    ({"role": "user", "content": ["x"]}, TypeError, r"field 'content\[0\]': expected a dict"),
    ({"role": "user", "content": [{"type": "tool_use", "id": "t"}]}, ValueError,
     r"field 'content\[0\].type': unknown content part type 'tool_use'"),
    ({"role": "user", "content": [result("zz", "x")]}, ValueError,
     r"field 'content\[0\].tool_use_id': answers tool call 'zz'"),
    ({"role": "assistant", "content": [{"type": "tool_use", "name": "f", "input": {}}]}, TypeError,
     r"field 'content\[0\].id': expected a str, got NoneType"),
    ({"role": "assistant", "content": [{"text": "no type"}]}, ValueError,
     r"field 'content\[0\].type': unknown content block type None"),
])
def test_bad_messages_name_index_and_field(message, error, text):
    with pytest.raises(error, match=text):
        anthropic.trim([{"role": "user", "content": "hi"}, message])


def test_bad_system_is_named():
    with pytest.raises(TypeError, match=r"^field 'system': expected a str or a list"):
        anthropic.trim([], system=42)


class WithSystem:
    """anthropic.trim with a fixed top-level system, for check_trim."""

    def __init__(self, system):
        self.system = system
        self.reserved = anthropic.FORMAT.system_tokens(system)

    def __call__(self, messages, **options):
        return anthropic.trim(messages, system=self.system, **options)


def render(script):
    """Messages of a script; the results of one assistant turn share one user message."""
    messages, meta = [], []
    for e in script:
        if e.kind == "system":
            continue
        if e.kind == "result":
            if meta[-1].kind != "result":
                messages.append({"role": "user", "content": []})
                meta.append(Meta("result"))
            messages[-1]["content"].append(result(e.answers, e.text))
            meta[-1].answers.add(e.answers)
            continue
        if e.kind == "user":
            messages.append({"role": "user", "content": e.text})
        else:
            blocks = [thinking(e.thinking)] if e.thinking else []
            blocks += [{"type": "text", "text": e.text}] if e.text else []
            blocks += [use(c, e.text) for c in e.calls]
            messages.append({"role": "assistant", "content": blocks or e.text})
        if e.pinned:
            messages[-1]["zelmo_pinned"] = True
        meta.append(Meta(e.kind, e.pinned, set(e.calls)))
    return messages, meta


@settings(max_examples=150, deadline=None)
@given(scripts(with_system=False), OPTIONS)
def test_random_conversations_keep_the_rules(script, options):
    messages, meta = render(script)
    tokens = anthropic.FORMAT.records(messages).tokens
    check_trim(WithSystem(SYSTEM), messages, meta, tokens, options)
