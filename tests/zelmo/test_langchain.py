"""LangChain messages and the trim_messages drop-in, against the real langchain-core."""
import pytest

pytest.importorskip("langchain_core", reason="the langchain extra (langchain-core) is not installed")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from langchain_core.callbacks import BaseCallbackHandler  # noqa: E402
from langchain_core.language_models.fake_chat_models import (  # noqa: E402
    FakeListChatModel, GenericFakeChatModel)
from langchain_core.messages import (  # noqa: E402
    AIMessage, BaseMessage, ChatMessage, HumanMessage, RemoveMessage, SystemMessage, ToolMessage)
from langchain_core.messages import trim_messages as lc_trim_messages  # noqa: E402
from langchain_core.prompts import ChatPromptTemplate, MessagesPlaceholder  # noqa: E402

import zelmo_micro as z  # noqa: E402
from zelmo import langchain as zl  # noqa: E402
from zelmo.history import BudgetError  # noqa: E402
from zelmo.tokens import IMAGE_TOKENS, estimate_tokens  # noqa: E402

from conversations import OPTIONS, Meta, check_trim, scripts  # noqa: E402


def ai_call(call_id, text="", **args):
    return AIMessage(content=text, tool_calls=[{"name": "read_file", "args": args, "id": call_id}])


HISTORY = [
    SystemMessage("You are a coding agent."),
    HumanMessage("What does a.py print?"),
    ai_call("t1", path="a.py"),
    ToolMessage("print(1)", tool_call_id="t1"),
    AIMessage("It prints 1.", additional_kwargs={"zelmo_pinned": True}),
    HumanMessage([{"type": "text", "text": "And this?"},
                  {"type": "image_url", "image_url": {"url": "data:,"}}]),
    ai_call("t2", path="b.py"),
    ToolMessage("print(2)", tool_call_id="t2"),
]


def test_worked_example():
    records = zl.FORMAT.records(HISTORY)
    assert records.flags == [z.SYSTEM, z.USER, z.ASSISTANT, z.TOOL, z.ASSISTANT | z.FACT, z.USER,
                             z.ASSISTANT, z.TOOL]
    assert records.tokens[5] == estimate_tokens("And this?") + IMAGE_TOKENS
    assert records.tokens[2] == sum(map(estimate_tokens, ["", "read_file", '{"path": "a.py"}']))
    tail = sum(records.tokens[5:])
    budget = records.tokens[0] + records.tokens[4] + tail
    result = zl.trim(HISTORY, max_tokens=budget)
    assert result.report.kept == [0, 4, 5, 6, 7]
    assert all(a is HISTORY[i] for a, i in zip(result.messages, result.report.kept))
    with pytest.raises(BudgetError):
        zl.trim(HISTORY, max_tokens=budget - 1)
    assert zl.FORMAT.text(HISTORY[2]) == "read_file({'path': 'a.py'})"


@pytest.mark.parametrize("message, error, text", [
    ({"role": "user", "content": "x"}, TypeError, "message 1: expected a LangChain BaseMessage"),
    (ChatMessage("x", role="robot"), ValueError, "message 1, field 'role': unknown role 'robot'"),
    (RemoveMessage(id="m1"), ValueError, "field 'type': unknown message type 'remove'"),
    (ToolMessage("x", tool_call_id="nope"), ValueError, "field 'tool_call_id': answers tool call 'nope'"),
    # langchain-core validates content on construction; model_construct skips that.
    (HumanMessage.model_construct(content=[1], type="human", additional_kwargs={}), TypeError,
     r"message 1, field 'content\[0\]': expected a str or a dict block, got int"),
])
def test_bad_messages_name_index_and_field(message, error, text):
    with pytest.raises(error, match=text):
        zl.trim([HumanMessage("hi"), message])


def test_cyclic_tool_arguments_are_refused():
    args = {}
    args["self"] = args
    message = AIMessage.model_construct(content="", type="ai", tool_calls=[
        {"name": "f", "args": args, "id": "c"}], additional_kwargs={})
    with pytest.raises(ValueError, match=r"message 0, field 'tool_calls\[0\].args': the value is cyclic"):
        zl.trim([message])


def render(script):
    messages, meta = [], []
    for e in script:
        pin = {"zelmo_pinned": True} if e.pinned else {}
        if e.kind == "system":
            messages.append(SystemMessage(e.text))
        elif e.kind == "user":
            messages.append(HumanMessage(e.text, additional_kwargs=pin))
        elif e.kind == "assistant":
            messages.append(AIMessage(e.text, additional_kwargs=pin, tool_calls=[
                {"name": "f", "args": {"q": e.text}, "id": c} for c in e.calls]))
        else:
            messages.append(ToolMessage(e.text, tool_call_id=e.answers))
        meta.append(Meta(e.kind, e.pinned, set(e.calls), {e.answers} - {""}))
    return messages, meta


@settings(max_examples=100, deadline=None)
@given(scripts(), OPTIONS)
def test_random_conversations_keep_the_rules(script, options):
    messages, meta = render(script)
    tokens = zl.FORMAT.records(messages).tokens
    check_trim(zl.trim, messages, meta, tokens, options)


def length(messages: list[BaseMessage]) -> int:
    return sum(len(m.content) for m in messages)


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_without_tools_and_decay_it_keeps_what_langchain_keeps(data):
    # A plain chat ending on the user's turn: the same newest messages fit.
    turns = data.draw(st.lists(st.tuples(st.text(max_size=30), st.text(max_size=30)), max_size=8))
    messages = [SystemMessage("sys")] if data.draw(st.booleans()) else []
    for question, answer in turns:
        messages += [HumanMessage(question), AIMessage(answer)]
    messages.append(HumanMessage(data.draw(st.text(max_size=30))))
    floor = length(messages[-1:]) + (3 if isinstance(messages[0], SystemMessage) else 0)
    max_tokens = data.draw(st.integers(floor, floor + 200))
    options = dict(max_tokens=max_tokens, token_counter=length, include_system=True,
                   start_on=data.draw(st.sampled_from([None, "human", HumanMessage])))
    ours = zl.trim_messages(messages, decay=False, **options)
    theirs = lc_trim_messages(messages, strategy="last", **options)
    assert [id(m) for m in ours] == [id(m) for m in theirs]


class Seen(BaseCallbackHandler):
    """Records the messages each chat model call receives."""

    def __init__(self):
        self.calls = []

    def on_chat_model_start(self, serialized, messages, **kwargs):
        self.calls.extend(messages)


def test_runnable_chains_in_front_of_a_chat_model():
    trimmer = zl.trim_messages(max_tokens=40, include_system=True)
    seen = Seen()
    model = GenericFakeChatModel(messages=iter([AIMessage("fixed")]))
    chain = trimmer | model
    history = [SystemMessage("sys"), HumanMessage("q" * 100), AIMessage("a" * 100), ai_call("c1"),
               ToolMessage("out", tool_call_id="c1"), HumanMessage("newest question")]
    reply = chain.invoke(history, config={"callbacks": [seen]})
    assert reply.content == "fixed"
    # 64 tokens: the oldest question (26) goes; the exchange stays whole.
    assert [m.content for m in seen.calls[0]] == ["sys", "a" * 100, "", "out", "newest question"]
    # Through a prompt template too (a PromptValue goes in).
    prompt = ChatPromptTemplate.from_messages([("system", "sys"), MessagesPlaceholder("history")])
    seen = Seen()
    chain = prompt | zl.trim_messages(max_tokens=60, token_counter="approximate", start_on="human",
                                      include_system=True) | FakeListChatModel(responses=["ok"])
    assert chain.invoke({"history": history[1:]}, config={"callbacks": [seen]}).content == "ok"
    # The answer fits after the question goes, but start_on="human" drops it
    # and the exchange after it, as LangChain's own trimmer would.
    assert [m.content for m in seen.calls[0]] == ["sys", "newest question"]


class CountingModel(FakeListChatModel):
    """A fake chat model with a token counter of its own (the default one loads a tokenizer)."""

    def get_num_tokens_from_messages(self, messages, tools=None):
        return sum(len(m.content) for m in messages)


@pytest.mark.parametrize("counter", [
    "approximate",
    lambda msgs: sum(len(m.content) for m in msgs),   # a function of a message list
    CountingModel(responses=["x"]),                   # a chat model's own counter
])
def test_langchain_token_counters_are_accepted(counter):
    history = [HumanMessage("a" * 400), AIMessage("b" * 400), HumanMessage("c" * 40)]
    out = zl.trim_messages(history, max_tokens=10_000, token_counter=counter)
    assert out == history
    with pytest.raises(BudgetError):
        zl.trim_messages(history, max_tokens=1, token_counter=counter)


def test_per_message_counter_by_annotation():
    def per_message(message: BaseMessage) -> int:
        return 7
    history = [HumanMessage("a"), AIMessage("b"), HumanMessage("c")]
    assert zl.trim_messages(history, max_tokens=14, token_counter=per_message, decay=False) == history[1:]


@pytest.mark.parametrize("options, error", [
    ({"strategy": "first"}, "strategy: only 'last'"),
    ({"start_on": "ai"}, "start_on: only 'human'"),
    ({"token_counter": "exact"}, "unknown shortcut 'exact'"),
])
def test_unsupported_options_are_refused(options, error):
    with pytest.raises(ValueError, match=error):
        zl.trim_messages([HumanMessage("x")], max_tokens=10, **options)
