"""zelmo.window.ChatWindow: turns, the request, persistence and bad input."""
import copy
import hashlib
import json

import pytest
from hypothesis import given, settings, strategies as st

import zelmo_micro as z
from zelmo import anthropic, openai_chat, openai_responses
from zelmo.history import Records, trim_records
from zelmo.window import ChatWindow, RestoreError


def call(i):
    return {"id": f"call_{i}", "type": "function", "function": {"name": "grep", "arguments": f'{{"n": {i}}}'}}


def tool_turn(i, output="match"):
    """A user request, a tool call, its result and the answer."""
    return [{"role": "user", "content": f"request {i}"},
            {"role": "assistant", "content": None, "tool_calls": [call(i)]},
            {"role": "tool", "tool_call_id": f"call_{i}", "content": f"{output} {i}"},
            {"role": "assistant", "content": f"answer {i}"}]


def snapshot(w):
    r = w.request()
    return (r.system, r.messages, r.tokens, r.system_tokens, r.untrimmed_tokens, w.ledger,
            w.render(), w.inserted_tokens(), w.active_tokens(), w.reclaimed_tokens(),
            w.reduction_ratio(), len(w), w.cycles)


def test_a_turn_builds_the_request_from_the_callers_objects():
    w = ChatWindow(openai_chat.FORMAT, purpose="Fix the build.")
    system = {"role": "system", "content": "You are terse."}
    first = [system, *tool_turn(0)]
    r = w.turn(first, notes=["use make"])
    assert r.system == "Fix the build.\nSTATE:\n- use make"
    assert w.purpose == "Fix the build." and w.ledger == ["use make"]
    # The tool result's block is purged by the first cycle, but the exchange
    # is in the live tail, so it is sent whole; the same objects come back.
    assert len(w) == 4 and all(a is b for a, b in zip(r.messages, first))
    assert r.openai()[0] == {"role": "system", "content": r.system}
    assert w.render().startswith("Fix the build.\nSTATE:\n- use make\nYou are terse.")
    for i in range(1, 5):
        r = w.turn(tool_turn(i))
    # The old exchanges are gone, their conversational blocks leave digests;
    # the system message stays, and the tail is the last turn whole.
    assert r.messages[0] is system and r.messages[-4:] == tool_turn(4)
    assert "request 0" in w.ledger and "answer 0" in w.ledger
    assert {"role": "tool", "tool_call_id": "call_0", "content": "match 0"} not in r.messages
    assert r.total_tokens < r.untrimmed_tokens
    assert w.reclaimed_tokens() == w.inserted_tokens() - w.active_tokens() > 0


def test_tool_exchanges_stay_whole_and_keep_last_protects():
    w = ChatWindow(openai_chat.FORMAT, half_life=1.0, keep_last=6)
    for i in range(6):
        r = w.turn(tool_turn(i))
        ids = {m["tool_calls"][0]["id"] for m in r.messages if m.get("tool_calls")}
        answered = {m["tool_call_id"] for m in r.messages if m["role"] == "tool"}
        assert ids == answered
        assert r.messages[-6:] == [m for t in (tool_turn(i - 1) if i else [], tool_turn(i))
                                   for m in t][-6:]


def test_anthropic_window_and_the_text_mode():
    w = ChatWindow(anthropic.FORMAT, purpose="Plan a trip.")
    r = w.turn([{"role": "user", "content": "Lisbon in May?"},
                {"role": "assistant", "content": [{"type": "text", "text": "Yes, mild."}]}])
    assert [m["role"] for m in r.messages] == ["user", "assistant"]
    assert w.render() == "Plan a trip.\nLisbon in May?\nYes, mild."


def turns_strategy():
    message = st.sampled_from(["user", "assistant", "tools", "pinned", "system"])
    turn = st.tuples(st.lists(message, min_size=0, max_size=4),
                     st.lists(st.sampled_from(["a", "b", "c", "d" * 200]), max_size=2))
    return st.lists(turn, min_size=1, max_size=14)


def build(turns):
    """Concrete messages for each turn; repeated texts on purpose."""
    out, n = [], 0
    for kinds, notes in turns:
        messages = []
        for kind in kinds:
            n += 1
            if kind == "tools":
                calls = [call(n * 10 + k) for k in range(1 + n % 3)]
                messages.append({"role": "assistant", "content": "checking", "tool_calls": calls})
                messages += [{"role": "tool", "tool_call_id": c["id"], "content": "same output"}
                             for c in calls]
            elif kind == "pinned":
                messages.append({"role": "user", "content": "remember this", "zelmo_pinned": True})
            else:
                messages.append({"role": kind, "content": "same text" if n % 2 else f"text {n}"})
        out.append((messages, notes))
    return out


@settings(max_examples=60, deadline=None)
@given(turns=turns_strategy(), saves=st.sets(st.integers(0, 13)),
       half_life=st.sampled_from([1.0, 2.0, 3.5]), keep_last=st.integers(0, 3),
       state_capacity=st.sampled_from([2, 64]))
def test_a_restored_window_matches_an_uninterrupted_one(turns, saves, half_life, keep_last,
                                                        state_capacity):
    options = dict(purpose="p", half_life=half_life, keep_last=keep_last,
                   state_capacity=state_capacity)
    plain = ChatWindow(openai_chat.FORMAT, **options)
    saved = ChatWindow(openai_chat.FORMAT, **options)
    for number, (messages, notes) in enumerate(build(turns)):
        plain.turn(messages, notes)
        saved.turn(copy.deepcopy(messages), notes)
        if number in saves:
            text = json.dumps(saved.to_json())
            saved = ChatWindow.from_json(json.loads(text))
        assert snapshot(saved) == snapshot(plain)


def assert_follows_one_shot_trimming(fmt, turns, half_life=2.0, keep_last=0):
    """Each turn keeps what `trim_records` keeps of the messages in play and
    the new ones, given which of their blocks a module window keeps alive."""
    w = ChatWindow(fmt, half_life=half_life, keep_last=keep_last)
    blocks = z.ContextApoptosis(half_life, 0.35)
    live = []  # (message, its unique text in `blocks`, its record as its turn read it)
    added = None  # the text of the last message added
    for n, (messages, notes) in enumerate(turns):
        request = w.turn(messages, notes)
        r = fmt.records(messages)
        # The first message is bound to the last one added, if that is still
        # in play and the format binds the two when it reads them together.
        last = live[-1][0] if live and live[-1][1] == added else None
        first_bound = bool(messages) and last is not None and 1 in fmt.records([last, messages[0]]).bound
        for k, m in enumerate(messages):
            blocks.insert(f"{n}.{k}", r.flags[k])
            live.append((m, f"{n}.{k}", (r.flags[k], r.tokens[k], r.calls.get(k),
                                         r.answers.get(k), k in r.bound or (k == 0 and first_bound))))
        if messages:
            added = f"{n}.{len(messages) - 1}"
        blocks.dehydrate()
        survivors = set(blocks.active_context())
        rows = [row for _, _, row in live]
        records = Records([f for f, *_ in rows], [t for _, t, *_ in rows],
                          {p: row[2] for p, row in enumerate(rows) if row[2]},
                          {p: row[3] for p, row in enumerate(rows) if row[3]},
                          [p for p, row in enumerate(rows) if row[4]])
        report = trim_records(records, keep_last=keep_last,
                              alive=bytes(mark in survivors for _, mark, _ in live))
        live = [live[p] for p in report.kept]
        assert len(request.messages) == len(live)
        assert all(a is b for a, (b, _, _) in zip(request.messages, live))


@settings(max_examples=60, deadline=None)
@given(turns=turns_strategy(), half_life=st.sampled_from([1.0, 2.0, 3.5]),
       keep_last=st.integers(0, 3))
def test_the_survivors_follow_the_one_shot_trimming_rules(turns, half_life, keep_last):
    assert_follows_one_shot_trimming(openai_chat.FORMAT, build(turns), half_life, keep_last)


def anthropic_turn(i):
    """Two assistant messages calling tools, answered by one user message: one
    unit of three, durable when its first caller is pinned."""
    return [{"role": "user", "content": f"request {i}"},
            {"role": "assistant", "zelmo_pinned": i % 3 == 0, "content": [
                {"type": "tool_use", "id": f"a{i}", "name": "ls", "input": {}}]},
            {"role": "assistant", "content": [
                {"type": "tool_use", "id": f"b{i}", "name": "cat", "input": {"n": i}}]},
            {"role": "user", "content": [
                {"type": "tool_result", "tool_use_id": f"b{i}", "content": "two"},
                {"type": "tool_result", "tool_use_id": f"a{i}", "content": "one"}]},
            {"role": "assistant", "content": f"answer {i}"}]


def responses_turn(i):
    """Reasoning bound to the calls after it, two calls bound together, their outputs."""
    return [{"type": "message", "role": "user", "content": f"request {i}"},
            {"type": "reasoning", "summary": []},
            {"type": "function_call", "call_id": f"a{i}", "name": "ls", "arguments": "{}"},
            {"type": "function_call", "call_id": f"b{i}", "name": "cat", "arguments": "{}"},
            {"type": "function_call_output", "call_id": f"a{i}", "output": "one"},
            {"type": "function_call_output", "call_id": f"b{i}", "output": "two"},
            {"type": "message", "role": "assistant", "content": f"answer {i}"}]


@pytest.mark.parametrize("fmt, make", [(anthropic.FORMAT, anthropic_turn),
                                       (openai_responses.FORMAT, responses_turn)])
@pytest.mark.parametrize("half_life, keep_last", [(1.0, 0), (2.0, 2), (3.5, 7)])
def test_exchanges_of_several_callers_follow_the_one_shot_trimming_rules(fmt, make, half_life,
                                                                         keep_last):
    assert_follows_one_shot_trimming(fmt, [(make(i), ["n"] if i % 2 else []) for i in range(8)],
                                     half_life, keep_last)


def test_a_save_is_a_copy_and_json_safe():
    w = ChatWindow(openai_chat.FORMAT, purpose="p")
    turn = tool_turn(0)
    w.turn(turn)
    value = w.to_json()
    turn[0]["content"] = "changed later"
    assert json.loads(json.dumps(value, allow_nan=False)) == value
    assert ChatWindow.from_json(value).messages[0]["content"] == "request 0"


def resealed(value, change):
    value = copy.deepcopy(value)
    change(value["payload"])
    text = json.dumps(value["payload"], sort_keys=True, ensure_ascii=False, separators=(",", ":"))
    value["checksum"] = hashlib.sha256(text.encode()).hexdigest()
    return value


def saved_window():
    w = ChatWindow(openai_chat.FORMAT, purpose="p")
    for i in range(3):
        w.turn(tool_turn(i), notes=[f"n{i}"])
    return w.to_json()


def set_item(key, index, value):
    def change(payload):
        payload[key][index] = value
    return change


@pytest.mark.parametrize("make, problem", [
    (lambda v: [v], "not a saved ChatWindow"),
    (lambda v: {**v, "kind": "other"}, "not a saved ChatWindow"),
    (lambda v: {**v, "version": 1}, "version 1"),
    (lambda v: {**v, "version": 3}, "version 3"),
    (lambda v: {**v, "payload": {**v["payload"], "cycles": 99}}, "checksum"),
    (lambda v: resealed(v, set_item("alive", -2, 1)), "would not have survived"),
    (lambda v: resealed(v, set_item("born", 0, 3)), "inconsistent"),
    (lambda v: resealed(v, set_item("ledger", 1, "n0")), "repeated"),
    (lambda v: resealed(v, set_item("messages", 0, {"role": "robot"})), "unknown role"),
    (lambda v: resealed(v, lambda p: p.update(format="langchain")), "unknown format"),
    (lambda v: resealed(v, lambda p: p.update(half_life="2")), "half_life"),
    (lambda v: resealed(v, lambda p: p.update(inserted_tokens=1)), "inserted_tokens"),
    (lambda v: resealed(v, lambda p: p.pop("messages")), "messages"),
    (lambda v: resealed(v, lambda p: p.update(bound=[1])), "not one the format binds"),
    (lambda v: resealed(v, lambda p: p.update(bound={})), "'bound' must be a list"),
    (lambda v: resealed(v, lambda p: p.update(open=1)), "'open' must be true or false"),
])
def test_a_bad_saved_value_is_refused(make, problem):
    with pytest.raises(RestoreError, match=problem):
        ChatWindow.from_json(make(saved_window()))


@pytest.mark.parametrize("bad, error, match", [
    ([{"role": "user", "content": "ok"}, {"role": "robot", "content": "x"}], ValueError,
     "message 1, field 'role'"),
    ([{"role": "user", "content": 5}], TypeError, "message 0, field 'content'"),
    ([{"role": "tool", "tool_call_id": "nope", "content": "x"}], ValueError, "'nope'"),
    ([{"role": "user", "content": "ok"}, {"role": "user", "content": "bad \ud800"}], ValueError,
     "message 1: the text holds a lone surrogate"),
    # Pairing faults name the position in the window's messages, then the new ones.
    (tool_turn(1)[:2] + [{"role": "assistant", "content": None, "tool_calls": [call(0)]}],
     ValueError,
     r"message 6, field 'tool_calls\[0\].id': repeats tool call id 'call_0' of message 1"),
    ([{"role": "tool", "tool_call_id": "call_1", "content": "x"}, *tool_turn(1)[:2]],
     ValueError,
     "message 4, field 'tool_call_id': answers tool call 'call_1', which no earlier message makes"),
])
def test_a_malformed_message_leaves_the_window_unchanged(bad, error, match):
    w = ChatWindow(openai_chat.FORMAT, purpose="p")
    clean = ChatWindow(openai_chat.FORMAT, purpose="p")
    for window in (w, clean):
        window.turn(tool_turn(0), notes=["n"])
    before = w.to_json()
    with pytest.raises(error, match=match):
        w.turn(bad, notes=["another"])
    assert w.to_json() == before
    with pytest.raises(TypeError, match="notes"):
        w.turn([{"role": "user", "content": "ok"}], notes=[3])
    assert w.to_json() == before
    # Nothing of the refused turn lingers: later turns go as if it never came.
    for i in (1, 2, 3, 4):
        w.turn(tool_turn(i))
        clean.turn(tool_turn(i))
        assert snapshot(w) == snapshot(clean)


@pytest.mark.parametrize("options, error", [
    (dict(half_life=float("nan")), ValueError), (dict(half_life=0), ValueError),
    (dict(safe_threshold="0.3"), TypeError), (dict(keep_last=-1), ValueError),
    (dict(state_capacity=0), ValueError), (dict(purpose=3), TypeError),
])
def test_bad_options_are_refused(options, error):
    with pytest.raises(error):
        ChatWindow(openai_chat.FORMAT, **options)


def test_a_window_of_non_json_messages_cannot_be_saved():
    class Custom(openai_chat.OpenAIChat):
        pass
    w = ChatWindow(Custom())
    w.turn([{"role": "user", "content": "hi"}])
    with pytest.raises(TypeError, match="cannot be saved"):
        w.to_json()
    w = ChatWindow(openai_chat.FORMAT)
    w.turn([{"role": "user", "content": "hi", "extra": {1, 2}}])
    with pytest.raises(TypeError, match="not JSON values"):
        w.to_json()


def test_reduction_ratio_matches_the_module_window():
    w = ChatWindow(openai_chat.FORMAT)
    k = z.ContextApoptosis()
    for i in range(5):
        msgs = tool_turn(i)
        w.turn(msgs)
        for m in msgs:
            k.insert(openai_chat.FORMAT.text(m), openai_chat.FORMAT.records([m]).flags[0]
                     if m["role"] != "tool" else z.TOOL)
        k.dehydrate(0.5, True)
    restored = ChatWindow.from_json(w.to_json())
    assert w.reduction_ratio() == restored.reduction_ratio() == k.reduction_ratio()
    assert w.ledger == k.state_entries() and w.render() == k.render()


def test_a_window_of_langchain_messages():
    pytest.importorskip("langchain_core", reason="the langchain extra is not installed")
    from langchain_core.messages import AIMessage, HumanMessage, SystemMessage, ToolMessage
    from zelmo import langchain as zl

    w = ChatWindow(zl.FORMAT, purpose="p")
    system = SystemMessage("Be brief.")
    for i in range(4):
        turn = [HumanMessage(f"q{i}"),
                AIMessage("", tool_calls=[{"name": "f", "args": {}, "id": f"t{i}"}]),
                ToolMessage("out", tool_call_id=f"t{i}")]
        r = w.turn(([system] if i == 0 else []) + turn)
    assert r.messages[0] is system and all(a is b for a, b in zip(r.messages[-3:], turn))
    assert "q0" not in [m.content for m in r.messages] and "q0" in w.ledger
    calls = {c["id"] for m in r.messages if isinstance(m, AIMessage) for c in m.tool_calls}
    assert calls == {m.tool_call_id for m in r.messages if isinstance(m, ToolMessage)}
    with pytest.raises(TypeError, match="cannot be saved"):
        w.to_json()


def test_a_window_of_responses_items_saves():
    from zelmo import openai_responses
    w = ChatWindow(openai_responses.FORMAT)
    w.turn([{"type": "message", "role": "user", "content": "hi"},
            {"type": "function_call", "call_id": "c", "name": "f", "arguments": "{}"},
            {"type": "function_call_output", "call_id": "c", "output": "ok"}])
    assert snapshot(ChatWindow.from_json(json.loads(json.dumps(w.to_json())))) == snapshot(w)


def item(kind, i):
    """A Responses item of ``kind`` numbered ``i``; calls and outputs share ids by number."""
    if kind == "call":
        return {"type": "function_call", "call_id": f"c{i}", "name": "ls", "arguments": f'{{"n":{i}}}'}
    if kind == "output":
        return {"type": "function_call_output", "call_id": f"c{i}", "output": f"out {i}"}
    if kind == "reasoning":
        return {"type": "reasoning", "summary": [{"type": "summary_text", "text": f"think {i}"}]}
    return {"type": "message", "role": kind, "content": f"{kind} {i}"}


# Turns whose last item (a reasoning item, or a call when the next turn starts
# with one) the adapter would bind to the next turn's first item if it read
# the two turns as one list.
ACROSS_TURNS = {
    "reasoning then a call": [
        [("user", 0), ("assistant", 0), ("reasoning", 1)],
        [("call", 1), ("output", 1), ("assistant", 1), ("reasoning", 2)],
        [("call", 2), ("output", 2), ("user", 3), ("assistant", 3)],
        [("user", 4), ("assistant", 4)], [("user", 5), ("assistant", 5)],
        [("user", 6), ("assistant", 6)]],
    "a call then a call": [
        [("user", 0), ("call", 1)],
        [("call", 2), ("output", 1), ("output", 2), ("assistant", 2), ("call", 3)],
        [("call", 4), ("output", 3), ("output", 4), ("user", 5), ("call", 5)],
        [("call", 6), ("output", 5), ("output", 6), ("user", 7), ("assistant", 7)],
        [("user", 8), ("assistant", 8)], [("user", 9), ("assistant", 9)]],
    "reasoning then a message": [
        [("user", 0), ("reasoning", 0)],
        [("assistant", 0), ("user", 1), ("reasoning", 1)],
        [("assistant", 1), ("reasoning", 2)],
        [("user", 3), ("assistant", 3)], [("user", 4), ("assistant", 4)],
        [("user", 5), ("assistant", 5)]],
}


@pytest.mark.parametrize("name", sorted(ACROSS_TURNS))
@pytest.mark.parametrize("half_life", [1.0, 2.0])
def test_items_bound_across_turns_stay_or_go_together(name, half_life):
    """A call is never sent without the reasoning item that came before it,
    even when the two arrived in different turns."""
    turns = [[item(kind, i) for kind, i in turn] for turn in ACROSS_TURNS[name]]
    everything = [m for turn in turns for m in turn]
    pairs = [(everything[p - 1], everything[p])
             for p in openai_responses.FORMAT.records(everything).bound]
    w = ChatWindow(openai_responses.FORMAT, half_life=half_life)
    added = []
    for messages in turns:
        sent = w.turn(messages).messages
        added += messages
        for a, b in pairs:
            if any(m is b for m in added):
                assert any(m is a for m in sent) == any(m is b for m in sent), (a, b)
    assert len(w) < len(added)  # the trimming did drop messages
    assert_follows_one_shot_trimming(openai_responses.FORMAT, [(t, []) for t in turns], half_life)


def assert_restores_alike(turns, **options):
    """Saved and restored after each turn in turn, a Responses window matches
    one never saved at every later turn; returns the one never saved."""
    for save_at in range(len(turns)):
        plain = ChatWindow(openai_responses.FORMAT, **options)
        saved = ChatWindow(openai_responses.FORMAT, **options)
        for number, messages in enumerate(turns):
            plain.turn(copy.deepcopy(messages))
            saved.turn(copy.deepcopy(messages))
            if number == save_at:
                saved = ChatWindow.from_json(json.loads(json.dumps(saved.to_json())))
            assert snapshot(saved) == snapshot(plain), (save_at, number)
    return plain


@pytest.mark.parametrize("name", sorted(ACROSS_TURNS))
@pytest.mark.parametrize("half_life", [1.0, 2.0])
def test_a_restore_groups_items_across_turns_as_the_live_window_did(name, half_life):
    turns = [[item(kind, i) for kind, i in turn] for turn in ACROSS_TURNS[name]]
    assert_restores_alike(turns, purpose="p", half_life=half_life)


def test_a_restore_knows_the_last_message_added_is_gone():
    """With no user message, the last message added can be dropped; a next
    turn's call then binds to nothing, not to the pinned call still in play,
    before a restore and after it."""
    pinned = {**item("call", 0), "zelmo_pinned": True}
    turns = [[pinned, item("assistant", 0)], [], [], [], [],
             [item("call", 1), item("output", 0), item("output", 1)], [], [], [], []]
    plain = assert_restores_alike(turns, half_life=1.0)
    sent = plain.request().messages
    assert sent[0]["call_id"] == "c0" and not any(m.get("call_id") == "c1" for m in sent)
