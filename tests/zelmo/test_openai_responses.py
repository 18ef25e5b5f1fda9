"""The Responses adapter: a worked example, bad input, random conversations."""
import json

import pytest
from hypothesis import given, settings

import zelmo_micro as z
from zelmo import openai_responses
from zelmo.tokens import IMAGE_TOKENS, MEDIA_TOKENS, estimate_tokens

from conversations import OPTIONS, Meta, check_trim, scripts


def call(call_id, **args):
    return {"type": "function_call", "call_id": call_id, "name": "read_file",
            "arguments": json.dumps(args)}


def output(call_id, text):
    return {"type": "function_call_output", "call_id": call_id, "output": text}


def reasoning(text):
    return {"type": "reasoning", "id": "rs", "summary": [{"type": "summary_text", "text": text}]}


ITEMS = [
    {"role": "developer", "content": "You are a coding agent."},
    {"type": "message", "role": "user", "content": [{"type": "input_text", "text": "Read a.py"}]},
    reasoning("Read it first."),
    call("c1", path="a.py"),
    call("c2", path="b.py"),
    output("c1", "print(1)"),
    output("c2", "print(2)"),
    {"type": "message", "role": "assistant",
     "content": [{"type": "output_text", "text": "Both print."}]},
]


def test_worked_example_flags_units_and_decay():
    records = openai_responses.FORMAT.records(ITEMS)
    assert records.flags == [z.SYSTEM, z.USER, z.THINKING, z.ASSISTANT, z.ASSISTANT, z.TOOL,
                             z.TOOL, z.ASSISTANT]
    assert records.bound == [3, 4]  # the calls go with their reasoning, and with each other
    assert records.tokens[2] == estimate_tokens("Read it first.")
    assert records.tokens[3] == estimate_tokens('{"path": "a.py"}') + estimate_tokens("read_file")

    later = ITEMS + [{"role": "user", "content": "ok"}, {"role": "assistant", "content": "ok"}] * 5
    result = openai_responses.trim(later)
    # Reasoning, both calls and both outputs form one unit; the assistant's
    # calls (ages 13 and 14) are too old, so all five go together.
    assert result.report.kept == [0] + list(range(8, 18))
    assert result.report.units_purged == 3  # the request, the reasoning-call unit, the answer
    assert all(a is later[i] for a, i in zip(result.messages, result.report.kept))
    # Under budget pressure the unit still goes whole.
    tokens = openai_responses.FORMAT.records(ITEMS).tokens
    cut = openai_responses.trim(ITEMS + [{"role": "user", "content": "and c.py?"}],
                                max_tokens=sum(tokens) - tokens[1])
    assert cut.report.kept == [0, 7, 8]


def test_media_and_other_items_count():
    items = [
        {"role": "user", "content": [{"type": "input_image", "image_url": "x"},
                                     {"type": "input_file", "file_id": "f"}]},
        {"type": "web_search_call", "id": "ws", "status": "completed"},
        {"type": "computer_call", "call_id": "k", "action": {"type": "click"}},
        {"type": "computer_call_output", "call_id": "k", "output": {"type": "computer_screenshot"}},
        {"type": "reasoning", "summary": [], "encrypted_content": "abcdefgh"},
    ]
    records = openai_responses.FORMAT.records(items)
    assert records.tokens[0] == IMAGE_TOKENS + MEDIA_TOKENS
    assert records.tokens[3] == MEDIA_TOKENS
    assert records.tokens[4] == estimate_tokens("abcdefgh")
    assert records.flags[1:4] == [z.TOOL, z.ASSISTANT, z.TOOL]
    assert openai_responses.FORMAT.text(ITEMS[3]) == 'read_file({"path": "a.py"})'
    assert openai_responses.FORMAT.text(ITEMS[2]) == "Read it first."


@pytest.mark.parametrize("item, error, text", [
    ({"type": "item_reference", "id": "x"}, ValueError,
     "message 1, field 'type': unknown item type 'item_reference'"),
    ({"role": "tool", "content": "x"}, ValueError, "field 'role': unknown role 'tool'"),
    ({"role": "user", "content": None}, TypeError, "field 'content': expected a str or a list"),
    (output("nope", "x"), ValueError, "field 'call_id': answers tool call 'nope'"),
    ({"type": "function_call", "name": "f", "arguments": "{}"}, TypeError,
     "field 'call_id': expected a str, got NoneType"),
    ({"type": "function_call_output", "call_id": "c", "output": 3}, TypeError, "field 'output'"),
    ({"type": "reasoning", "summary": [{"type": "summary_text", "text": 1}]}, TypeError,
     r"field 'summary\[0\].text': expected a str, got int"),
])
def test_bad_items_name_index_and_field(item, error, text):
    with pytest.raises(error, match=text):
        openai_responses.trim([{"role": "user", "content": "hi"}, item])


@pytest.mark.parametrize("depth, problem", [(1, "is cyclic"), (100_000, "is nested too deeply")])
def test_cyclic_or_deep_actions_are_refused(depth, problem):
    action = {}
    if depth == 1:
        action["self"] = action
    else:
        for _ in range(depth):
            action = {"a": action}
    item = {"type": "computer_call", "call_id": "c", "action": action}
    with pytest.raises(ValueError, match=f"message 0, field 'action': the value {problem}"):
        openai_responses.trim([item])


def render(script):
    items, meta = [], []
    for i, e in enumerate(script):
        if e.kind == "system":
            new = [({"role": "system", "content": e.text}, Meta("system"))]
        elif e.kind == "user":
            new = [({"type": "message", "role": "user", "content": e.text}, Meta("user", e.pinned))]
        elif e.kind == "assistant":
            new = []
            if e.thinking:
                new.append((reasoning(e.thinking), Meta("other")))
            if e.text or not e.calls:
                new.append(({"role": "assistant", "content": e.text}, Meta("assistant", e.pinned)))
            new += [(call(c, q=e.text), Meta("assistant", e.pinned, {c})) for c in e.calls]
        else:
            new = [(output(e.answers, e.text), Meta("result", answers={e.answers}))]
        for item, m in new:
            if m.pinned:
                item["zelmo_pinned"] = True
            items.append(item)
            meta.append(m)
    return items, meta


def bind_reasoning(items, meta):
    """The reasoning item and the calls of one turn form units too: merge ids."""
    for i in range(1, len(items)):
        if items[i - 1].get("type") == "reasoning" or (
                items[i - 1].get("type") == "function_call" and items[i].get("type") == "function_call"):
            tag = f"bound-{i}"
            meta[i - 1].calls.add(tag)
            meta[i].answers.add(tag)
    return meta


@settings(max_examples=150, deadline=None)
@given(scripts(), OPTIONS)
def test_random_conversations_keep_the_rules(script, options):
    items, meta = render(script)
    tokens = openai_responses.FORMAT.records(items).tokens
    check_trim(openai_responses.trim, items, bind_reasoning(items, meta), tokens, options)
