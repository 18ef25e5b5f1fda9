"""The chat adapter of the examples: messages to blocks and back, tool pairing."""
import json
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelmo_micro as z

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from chat_adapter import Transcript, check_tool_pairing  # noqa: E402


def call(id_, name="read_file", **args):
    return {"id": id_, "name": name, "arguments": args}


# A small history: system, user, assistant calling two tools, both results,
# a final answer, and a durable user fact.
HISTORY = [
    {"role": "system", "content": "You are a coding agent."},
    {"role": "user", "content": "Why does the build fail?"},
    {"role": "assistant", "content": "Looking.", "thinking": "Read the log and the config.",
     "tool_calls": [call("c1", path="build.log"), call("c2", name="grep", pattern="error")]},
    {"role": "tool", "tool_call_id": "c1", "content": "error: missing header"},
    {"role": "tool", "tool_call_id": "c2", "content": "main.c:3: error"},
    {"role": "assistant", "content": "A header is missing."},
    {"role": "user", "content": "We ship on Fridays.", "fact": True},
]


def blocks_of(history):
    t = Transcript(history)
    return t, [(b.content, b.flags, b.message, b.part, b.call_id) for b in t.blocks]


def test_messages_split_into_flagged_blocks():
    _, blocks = blocks_of(HISTORY)
    assert blocks == [
        ("You are a coding agent.", z.SYSTEM, 0, "content", None),
        ("Why does the build fail?", z.USER, 1, "content", None),
        ("Read the log and the config.", z.THINKING, 2, "thinking", None),
        ("Looking.", z.ASSISTANT, 2, "content", None),
        ('read_file({"path": "build.log"})', z.TOOL, 2, "tool_call", "c1"),
        ('grep({"pattern": "error"})', z.TOOL, 2, "tool_call", "c2"),
        ("error: missing header", z.TOOL, 3, "content", "c1"),
        ("main.c:3: error", z.TOOL, 4, "content", "c2"),
        ("A header is missing.", z.ASSISTANT, 5, "content", None),
        ("We ship on Fridays.", z.USER | z.FACT, 6, "content", None),
    ]


def test_assistant_with_only_tool_calls_has_no_content_block():
    history = [{"role": "assistant", "content": "", "tool_calls": [call("c1")]},
               {"role": "tool", "tool_call_id": "c1", "content": "ok"}]
    _, blocks = blocks_of(history)
    assert [b[3] for b in blocks] == ["tool_call", "content"]
    assert Transcript(history).to_messages(range(2)) == history


def test_extend_returns_new_block_range_and_pairs_match_blocks():
    t = Transcript(HISTORY[:2])
    new = t.extend(HISTORY[2:5])
    assert list(new) == [2, 3, 4, 5, 6, 7]
    assert t.pairs(new)[0] == ("Read the log and the config.", z.THINKING)
    assert t.pairs() == [(b.content, b.flags) for b in t.blocks]


def test_all_blocks_give_back_the_history():
    t = Transcript(HISTORY)
    assert t.to_messages(range(len(t.blocks))) == HISTORY


@pytest.mark.parametrize("dropped, expect_roles, expect_calls", [
    # A purged result takes its call along; the other call stays paired.
    ({6}, ["system", "user", "assistant", "tool", "assistant", "user"], ["c2"]),
    # A purged call takes its result along.
    ({5}, ["system", "user", "assistant", "tool", "assistant", "user"], ["c1"]),
    # Both results gone and no text left: the calling message goes too.
    ({3, 6, 7}, ["system", "user", "assistant", "user"], []),
    # The thinking alone does not keep an assistant message.
    ({3, 4, 5}, ["system", "user", "assistant", "user"], []),
])
def test_tool_calls_and_results_survive_only_together(dropped, expect_roles, expect_calls):
    t = Transcript(HISTORY)
    kept = [i for i in range(len(t.blocks)) if i not in dropped]
    out = t.to_messages(kept)
    check_tool_pairing(out)
    assert [m["role"] for m in out] == expect_roles
    assert [c["id"] for m in out for c in m.get("tool_calls", [])] == expect_calls
    if {3, 4, 5} <= dropped:
        assert all("thinking" not in m for m in out)


def test_purged_text_with_live_calls_leaves_empty_content():
    t = Transcript(HISTORY)
    out = t.to_messages(i for i in range(len(t.blocks)) if i not in (2, 3))
    assert out[2] == {"role": "assistant", "content": "", "tool_calls": HISTORY[2]["tool_calls"]}


@pytest.mark.parametrize("history, message", [
    ([{"role": "robot", "content": "x"}], "unknown role 'robot'"),
    ([{"content": "x"}], "unknown role None"),
    ([{"role": "user", "content": 5}], "content must be a str, got int"),
    ([{"role": "tool", "tool_call_id": "c9", "content": "x"}], "unknown or answered call 'c9'"),
    (HISTORY[:4] + [HISTORY[3]], "unknown or answered call 'c1'"),
    ([{"role": "assistant", "content": "", "tool_calls": [call("c1"), call("c1")]}],
     "repeated tool call id 'c1'"),
])
def test_bad_histories_are_refused_and_leave_the_transcript_unchanged(history, message):
    t = Transcript(HISTORY[:2])
    with pytest.raises(ValueError, match=message):
        t.extend(history)
    assert len(t.messages) == 2 and len(t.blocks) == 2


@pytest.mark.parametrize("history, message", [
    (HISTORY[:4], r"without a result: \['c2'\]"),
    ([HISTORY[3]], "answers no open call"),
    ([{"role": "assistant", "content": "", "tool_calls": [call("a"), call("a")]}], "repeated"),
])
def test_check_tool_pairing_rejects_unpaired_histories(history, message):
    with pytest.raises(ValueError, match=message):
        check_tool_pairing(history)


def test_align_prefers_newest_of_equal_texts_and_rejects_strangers():
    t = Transcript([{"role": "user", "content": "ok"}, {"role": "assistant", "content": "a"},
                    {"role": "user", "content": "ok"}])
    assert t.align(["ok"]) == [2]
    assert t.align(["ok", "ok"]) == [0, 2]
    assert t.align(["a", "ok"]) == [1, 2]
    assert t.align([]) == []
    with pytest.raises(ValueError):
        t.align(["a", "ok", "a"])
    with pytest.raises(ValueError):
        t.align(["missing"])


def test_one_shot_dehydrate_result_maps_back_to_a_valid_history():
    t = Transcript(HISTORY)
    result = z.dehydrate(t.pairs())
    kept = t.align(result["kept"])
    out = t.to_messages(kept)
    check_tool_pairing(out)
    # TOOL blocks weigh 0.25, below the 0.35 threshold: calls and results go.
    assert [m["role"] for m in out] == ["system", "user", "assistant", "assistant", "user"]
    assert all("tool_calls" not in m for m in out)


def test_window_survivors_map_back_after_cycles():
    t = Transcript(HISTORY)
    window = z.ContextApoptosis()
    for content, flags in t.pairs():
        window.insert(content, flags)
    window.dehydrate()
    out = t.to_messages(t.align(window.active_context()))
    check_tool_pairing(out)
    assert [m["content"] for m in out] == [
        "You are a coding agent.", "Why does the build fail?", "Looking.",
        "A header is missing.", "We ship on Fridays."]


def is_trimmed_subsequence(out, source):
    """Each output message is a source message, in order, with parts removed."""
    j = 0
    for m in out:
        while j < len(source) and not (
                source[j]["role"] == m["role"]
                and m["content"] in (source[j]["content"], "")
                and m.get("tool_call_id") == source[j].get("tool_call_id")
                and m.get("thinking", source[j].get("thinking")) == source[j].get("thinking")
                and all(c in source[j].get("tool_calls", []) for c in m.get("tool_calls", []))):
            j += 1
        if j == len(source):
            return False
        j += 1
    return True


@settings(max_examples=200, deadline=None)
@given(st.lists(st.booleans(), min_size=10, max_size=10))
def test_any_survivor_set_gives_a_paired_trimmed_history(mask):
    t = Transcript(HISTORY)
    out = t.to_messages(i for i, keep in enumerate(mask) if keep)
    check_tool_pairing(out)
    assert is_trimmed_subsequence(out, HISTORY)
    # A message survives exactly when its content block does (assistants: or a paired call).
    assert ({"role": "user", "content": "Why does the build fail?"} in out) == mask[1]


def test_shipped_session_is_a_valid_history():
    session = json.loads((EXAMPLES / "data" / "session.json").read_text(encoding="utf-8"))
    t = Transcript([{"role": "system", "content": session["system"]}])
    for turn in session["turns"]:
        t.extend(turn["messages"])
    check_tool_pairing(t.messages)
    langs = {turn["lang"] for turn in session["turns"]}
    assert langs == {"en", "pt"}
    assert any(z.saturation_scan(m["content"]) >= 0.5 for m in t.messages if m["role"] == "tool")
