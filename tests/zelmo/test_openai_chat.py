"""The Chat Completions adapter: a worked example, bad input, random conversations."""
import json

import pytest
from hypothesis import given, settings

import zelmo_micro as z
from zelmo import openai_chat
from zelmo.history import BudgetError
from zelmo.tokens import IMAGE_TOKENS, IMAGE_TOKENS_LOW, estimate_tokens

from conversations import OPTIONS, Meta, check_trim, scripts


def tool_call(call_id, name="read_file", **args):
    return {"id": call_id, "type": "function",
            "function": {"name": name, "arguments": json.dumps(args)}}


HISTORY = [
    {"role": "developer", "content": "You are a coding agent."},
    {"role": "user", "content": "Summarise the log."},
    {"role": "assistant", "content": "Done: two errors.", "zelmo_pinned": True},
    {"role": "user", "content": [{"type": "text", "text": "Why does the build fail?"},
                                 {"type": "image_url", "image_url": {"url": "data:,", "detail": "low"}}]},
    {"role": "assistant", "content": None,
     "tool_calls": [tool_call("c1", path="build.log"), tool_call("c2", name="grep", pattern="E")]},
    {"role": "tool", "tool_call_id": "c2", "content": "main.c:3: error"},
    {"role": "tool", "tool_call_id": "c1", "content": "error: missing header"},
]


def test_worked_example_keeps_the_tool_loop_after_the_request():
    history = HISTORY + [{"role": "user", "content": "ok"}] * 12
    result = openai_chat.trim(history)
    # The old request and the whole exchange decayed (the assistant's call at
    # age 14, its results with it); the pinned answer and the tail stay.
    assert result.report.kept == [0, 2] + list(range(9, 19))
    assert result.messages[1] is history[2]

    loop = openai_chat.trim(HISTORY)
    assert loop.messages == HISTORY and all(a is b for a, b in zip(loop.messages, HISTORY))
    records = openai_chat.FORMAT.records(HISTORY)
    assert records.flags == [z.SYSTEM, z.USER, z.ASSISTANT | z.FACT, z.USER, z.ASSISTANT,
                             z.TOOL, z.TOOL]
    assert records.tokens[3] == estimate_tokens("Why does the build fail?") + IMAGE_TOKENS_LOW
    assert records.tokens[4] == sum(
        estimate_tokens(s) for s in ("read_file", '{"path": "build.log"}', "grep", '{"pattern": "E"}'))


def test_budget_drops_the_oldest_exchange_whole():
    history = HISTORY + [{"role": "assistant", "content": "Add the header."},
                         {"role": "user", "content": "Thanks. And the tests?"}]
    tokens = openai_chat.FORMAT.records(history).tokens
    budget = sum(tokens) - tokens[1]
    assert openai_chat.trim(history, max_tokens=budget).report.kept == [0, 2, 3, 4, 5, 6, 7, 8]
    # One token less and the request at 3 goes, then the exchange 4-6 whole.
    result = openai_chat.trim(history, max_tokens=budget - tokens[3])
    assert result.report.kept == [0, 2, 4, 5, 6, 7, 8]
    result = openai_chat.trim(history, max_tokens=budget - tokens[3] - 1)
    assert result.report.kept == [0, 2, 7, 8]
    with pytest.raises(BudgetError):
        openai_chat.trim(history, max_tokens=tokens[0] + tokens[2] + tokens[8] - 1)


def test_content_forms_and_media_estimates():
    parts = [{"type": "text", "text": "abcd" * 4}, {"type": "image_url", "image_url": {"url": "x"}},
             {"type": "input_audio", "input_audio": {}}, {"type": "file", "file": {}}]
    records = openai_chat.FORMAT.records([
        {"role": "user", "content": parts},
        {"role": "assistant", "content": None, "refusal": "no"},
        {"role": "system", "content": [{"type": "text", "text": "s"}]},
    ])
    assert records.tokens == [5 + 3 * IMAGE_TOKENS, estimate_tokens("no"), 1]
    counted = openai_chat.FORMAT.records([{"role": "user", "content": "a b c"}],
                                         token_counter=lambda s: len(s.split()))
    assert counted.tokens == [3]
    assert openai_chat.FORMAT.text(HISTORY[4]) == (
        'read_file({"path": "build.log"})\ngrep({"pattern": "E"})')
    assert openai_chat.FORMAT.text(HISTORY[3]) == "Why does the build fail?"


@pytest.mark.parametrize("odd_call", [None, {"id": "c3", "type": "custom",
                                             "custom": {"name": "sh", "input": "ls -l"}}])
def test_tool_calls_count_by_the_callers_counter(odd_call):
    calls = [tool_call("c1", path="a b"), tool_call("c2", name="grep", pattern="x")]
    if odd_call is not None:
        calls.append(odd_call)
    history = [{"role": "user", "content": "go"},
               {"role": "assistant", "content": "on it", "tool_calls": calls},
               *({"role": "tool", "tool_call_id": c["id"], "content": "done"} for c in calls)]
    words = lambda s: len(s.split())  # noqa: E731
    texts = [t for c in calls for t in c[c["type"]].values()]
    for counter, count in ((None, estimate_tokens), (words, words)):
        records = openai_chat.FORMAT.records(history, token_counter=counter)
        assert records.tokens[1] == count("on it") + sum(map(count, texts))
        assert [call_id for call_id, _ in records.calls[1]] == [c["id"] for c in calls]


@pytest.mark.parametrize("message, error, text", [
    ("hello", TypeError, "message 1: expected a dict, got str"),
    ({"role": "robot", "content": "x"}, ValueError, "message 1, field 'role': unknown role 'robot'"),
    ({"content": "x"}, ValueError, "field 'role': unknown role None"),
    ({"role": "user", "content": 5}, TypeError, "field 'content': expected a str or a list"),
    ({"role": "user", "content": [5]}, TypeError, r"field 'content\[0\]': expected a dict"),
    ({"role": "user", "content": [{"type": "text", "text": b"x"}]}, TypeError,
     r"field 'content\[0\].text': expected a str, got bytes"),
    ({"role": "user", "content": [{"type": "video"}]}, ValueError,
     r"field 'content\[0\].type': unknown content part type 'video'"),
    ({"role": "tool", "content": "x"}, TypeError, "field 'tool_call_id': expected a str, got NoneType"),
    ({"role": "tool", "tool_call_id": "c9", "content": "x"}, ValueError,
     "field 'tool_call_id': answers tool call 'c9', which no earlier message makes"),
    ({"role": "assistant", "content": "", "tool_calls": {"id": "c"}}, TypeError,
     "field 'tool_calls': expected a list or None, got dict"),
    ({"role": "assistant", "content": "", "tool_calls": [{"id": "c", "function": {"name": "f"}}]},
     TypeError, r"field 'tool_calls\[0\].function.arguments': expected a str, got NoneType"),
    ({"role": "assistant", "content": "", "tool_calls": [{"id": "c", "function": {
        "name": "f", "arguments": {"cyclic": None}}}]}, TypeError, "arguments': expected a str"),
])
def test_bad_messages_name_index_and_field(message, error, text):
    history = [{"role": "user", "content": "hi"}, message]
    with pytest.raises(error, match=text):
        openai_chat.trim(history)


def test_repeated_call_ids_and_cyclic_content_are_refused():
    cyclic = [{"type": "text", "text": "x"}]
    cyclic.append(cyclic)
    with pytest.raises(TypeError, match=r"message 0, field 'content\[1\]'"):
        openai_chat.trim([{"role": "user", "content": cyclic}])
    twice = {"role": "assistant", "content": None, "tool_calls": [tool_call("c"), tool_call("c")]}
    with pytest.raises(ValueError, match=r"message 0, field 'tool_calls\[1\].id': repeats"):
        openai_chat.trim([twice])


def render(script):
    """A script as Chat Completions dicts, with each message's meta."""
    messages, meta = [], []
    for i, e in enumerate(script):
        if e.kind == "system":
            messages.append({"role": ("system", "developer")[i % 2], "content": e.text})
        elif e.kind == "user":
            content = e.text if i % 3 else [{"type": "text", "text": e.text}]
            messages.append({"role": "user", "content": content})
        elif e.kind == "assistant":
            msg = {"role": "assistant", "content": e.text or None}
            if e.calls:
                msg["tool_calls"] = [tool_call(c, q=e.text) for c in e.calls]
            messages.append(msg)
        else:
            messages.append({"role": "tool", "tool_call_id": e.answers, "content": e.text})
        if e.pinned:
            messages[-1]["zelmo_pinned"] = True
        meta.append(Meta(e.kind, e.pinned, set(e.calls), {e.answers} - {""}))
    return messages, meta


@settings(max_examples=150, deadline=None)
@given(scripts(), OPTIONS)
def test_random_conversations_keep_the_rules(script, options):
    messages, meta = render(script)
    tokens = openai_chat.FORMAT.records(messages).tokens
    check_trim(openai_chat.trim, messages, meta, tokens, options)
