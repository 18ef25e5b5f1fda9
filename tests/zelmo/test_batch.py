"""zelmo.batch: column batches of conversations and texts, one process and all cores."""
import copy
import json
import pickle
import re
from pathlib import Path

import pytest
import zelmo_micro as z

from zelmo import batch as zb
from zelmo import openai_chat
from zelmo.corpus import conversations
from zelmo.history import unit_starts


@pytest.fixture(scope="module")
def corpus():
    records = list(conversations(300, seed=7, flood_rate=0.2))
    return {"id": [r["id"] for r in records], "messages": [r["messages"] for r in records]}


def test_corpus_has_the_shapes_it_promises(corpus):
    langs = {r["lang"] for r in conversations(200, seed=7)}
    assert langs == {"en", "pt"}
    flat = [m for conv in corpus["messages"] for m in conv]
    assert {m["role"] for m in flat} == {"system", "user", "assistant", "tool"}
    assert any(z.saturation_scan(m["content"]) > 0.9 for m in flat if m["role"] == "tool")
    assert all(conv[0]["role"] == "system" for conv in corpus["messages"])
    assert [len(r["messages"]) for r in conversations(20, messages=50, seed=3)] == [50] * 20
    assert list(conversations(5, seed=9)) == list(conversations(5, seed=9))


@pytest.mark.parametrize("max_tokens", [None, 3000])
def test_one_shot_trim_equals_the_adapter_record_by_record(corpus, max_tokens):
    before = copy.deepcopy(corpus)
    out = zb.trim_batch(corpus, max_tokens=max_tokens)
    assert corpus == before
    assert out["id"] is corpus["id"]
    for row, messages in enumerate(corpus["messages"]):
        try:
            expected = openai_chat.trim(messages, max_tokens=max_tokens)
        except ValueError as e:
            assert out["trim_status"][row] == "failed"
            assert f"record {row} (id {corpus['id'][row]!r})" in out["trim_error"][row]
            assert str(e) in out["trim_error"][row]
            continue
        assert out["trim_status"][row] == "ok" and out["trim_error"][row] is None
        assert all(a is b for a, b in zip(out["kept"][row], expected.messages, strict=True))
        report = expected.report
        assert out["kept_positions"][row] == report.kept
        assert (out["tokens_before"][row], out["tokens_after"][row], out["units_purged"][row],
                out["messages_in"][row]) == (report.tokens_before, report.tokens_after,
                                             report.units_purged, report.messages_in)
    if max_tokens is not None:
        assert "failed" in out["trim_status"]  # the budget is tight enough to matter


@pytest.mark.parametrize("max_tokens", [None, 3000])
def test_window_replay_keeps_the_rules(corpus, max_tokens):
    out = zb.trim_batch(corpus, mode="window", max_tokens=max_tokens)
    assert out["trim_status"].count("ok") > len(corpus["id"]) // 2
    for row, messages in enumerate(corpus["messages"]):
        if out["trim_status"][row] != "ok":
            continue
        kept = out["kept_positions"][row]
        records = openai_chat.FORMAT.records(messages)
        starts = unit_starts(records)
        # whole tool exchanges, the system prompt, the tail from the last user turn
        assert {p for p in range(len(messages)) if starts[p] in {starts[k] for k in kept}} == set(kept)
        last_user = max(p for p, m in enumerate(messages) if m["role"] == "user")
        assert set(range(last_user, len(messages))) <= set(kept) and 0 in kept
        assert out["tokens_after"][row] == sum(records.tokens[p] for p in kept)
        if max_tokens is not None:
            assert out["tokens_after"][row] <= max_tokens


def test_the_window_seam_decides_what_survives(corpus):
    def keep_everything(records):
        return [True] * len(records.flags)

    out = zb.trim_batch(corpus, mode="window", replay=keep_everything)
    assert out["kept_positions"] == [list(range(len(m))) for m in corpus["messages"]]
    with pytest.raises(ValueError, match="replay: 0 verdicts"):
        zb.trim_batch(corpus, mode="window", replay=lambda records: [], errors="raise")


def test_replay_window_maps_survivors_to_positions_with_repeated_texts():
    records = openai_chat.FORMAT.records(
        [{"role": "system", "content": "same"}] + [{"role": "user", "content": "same"},
                                                   {"role": "assistant", "content": "same"}] * 20)
    alive = zb.replay_window(records)
    assert alive[0] and alive[-1] and alive[-2]
    assert not all(alive)  # early turns decayed away


def test_json_text_in_gives_json_text_out(corpus):
    texts = {"id": corpus["id"], "messages": [json.dumps(m) for m in corpus["messages"]]}
    out_text = zb.trim_batch(texts, max_tokens=3000)
    out_obj = zb.trim_batch(corpus, max_tokens=3000)
    assert out_text["kept_positions"] == out_obj["kept_positions"]
    assert [None if k is None else json.loads(k) for k in out_text["kept"]] == out_obj["kept"]


GOOD = [{"role": "user", "content": "hi"}]


@pytest.mark.parametrize("bad, status, words", [
    (42, "skipped", "expected a list of messages, got int"),
    ("{not json", "skipped", "field 'messages'"),
    ([{"role": "wizard", "content": "x"}], "skipped", "message 0, field 'role'"),
    ([{"role": "tool", "tool_call_id": "c9", "content": "x"}], "skipped",
     "message 0, field 'tool_call_id'"),
    ([{"role": "system", "content": "x" * 40_000}, {"role": "user", "content": "y"}], "failed",
     "need"),
])
def test_a_bad_record_is_reported_and_the_others_still_process(bad, status, words):
    batch = {"id": ["a", "b", "c"], "messages": [GOOD, bad, GOOD]}
    out = zb.trim_batch(batch, max_tokens=1000)
    assert out["trim_status"] == ["ok", status, "ok"]
    assert out["kept"][1] is None and out["kept_positions"][1] is None
    assert out["trim_error"][1].startswith("record 1 (id 'b'), field 'messages'")
    assert words in out["trim_error"][1]
    assert zb.summarize(out) == {"records": 3, "processed": 2, "skipped": int(status == "skipped"),
                                 "failed": int(status == "failed"), "tokens_before": 2,
                                 "tokens_after": 2, "floods": 0}
    with pytest.raises((TypeError, ValueError), match=r"^record 1 \(id 'b'\)"):
        zb.trim_batch(batch, max_tokens=1000, errors="raise")


@pytest.mark.parametrize("call, match", [
    (lambda: zb.trim_batch({"messages": []}, errors="ignore"), "errors: expected"),
    (lambda: zb.trim_batch({"messages": []}, mode="twice"), "mode: expected"),
    (lambda: zb.trim_batch({"messages": []}, format="xml"), "format: expected one of"),
    (lambda: zb.trim_batch({"text": ["x"]}), "no column 'messages'"),
    (lambda: zb.trim_batch({"messages": [GOOD], "id": []}), "different lengths"),
    (lambda: zb.trim_batch([GOOD]), "expected a dict of columns"),
    (lambda: zb.summarize({"trim_status": ["ok", "maybe"]}), "other than ok"),
])
def test_bad_options_are_refused_by_name(call, match):
    with pytest.raises((TypeError, ValueError, KeyError), match=match):
        call()


def test_screen_counts_floods_in_tool_outputs(corpus):
    out = zb.trim_batch(corpus, scan=zb.flood_scan)
    for row, messages in enumerate(corpus["messages"]):
        tools = [m["content"] for m in messages if m["role"] == "tool"]
        assert out["floods"][row] == sum(z.saturation_scan(t) >= zb.FLOOD_THRESHOLD for t in tools)
    assert zb.summarize(out)["floods"] > 0


def test_screen_batch_gives_saturation_and_verdict():
    flood = "ERROR disk full, retrying now please wait\n" * 50
    texts = {"text": [flood, "Por que o build falha no branch de release?", None, "word " * 3]}
    out = zb.screen_batch(texts)
    assert out["flood"] == [True, False, None, False]
    assert out["saturation"][0] == z.saturation_scan(flood) and out["saturation"][0] > 0.9
    assert out["screen_status"] == ["ok", "ok", "skipped", "ok"]
    assert out["screen_error"][2] == "record 2, field 'text': expected a str, got NoneType"
    custom = zb.screen_batch(texts, scan=len, threshold=10, errors="skip")
    assert custom["saturation"][1] == len(texts["text"][1]) and custom["flood"][3] is True
    with pytest.raises(TypeError, match="record 2"):
        zb.screen_batch(texts, errors="raise")


def test_effort_batch_matches_the_gauge():
    prompts = ["thanks!", "Prove that the scheduler never starves a job, step by step.",
               "Demonstre passo a passo que o algoritmo termina e analise a complexidade."]
    out = zb.effort_batch({"text": prompts})
    for row, prompt in enumerate(prompts):
        gauge = z.effort_gauge(prompt)
        assert (out["effort_score"][row], out["effort_tier"][row], out["effort_budget"][row]) == (
            gauge["score"], gauge["tier"], gauge["budget_tokens"])
    assert len(set(out["effort_tier"])) > 1


@pytest.mark.parametrize("function, batch_of, executor, options", [
    (zb.trim_batch, "messages", "thread", {"max_tokens": 3000, "scan": zb.flood_scan}),
    (zb.trim_batch, "messages", "process", {"mode": "window"}),
    (zb.screen_batch, "text", "process", {}),
    (zb.effort_batch, "text", "thread", {}),
])
def test_map_local_equals_one_call(corpus, function, batch_of, executor, options):
    if batch_of == "text":
        batch = {"id": corpus["id"], "text": [m[-1]["content"] or "" for m in corpus["messages"]]}
    else:
        batch = corpus
    expected = function(batch, **options)
    got = zb.map_local(function, batch, executor=executor, workers=2, chunk_size=37, **options)
    assert list(got) == list(expected)
    for name in expected:
        assert got[name] == list(expected[name]), name


def test_map_local_on_an_empty_batch_and_a_bad_chunk_size():
    assert zb.map_local(zb.screen_batch, {"text": []}) == {"text": []}
    with pytest.raises(ValueError, match="chunk_size"):
        zb.map_local(zb.screen_batch, {"text": []}, chunk_size=0)


def test_ray_callables_pickle_by_reference_and_apply_their_options(corpus):
    trim = pickle.loads(pickle.dumps(zb.TrimBatches(max_tokens=3000, scan=zb.flood_scan)))
    pickled = pickle.dumps(zb.TrimBatches(max_tokens=3000, scan=zb.flood_scan))
    assert b"zelmo.batch" in pickled and b"flood_scan" in pickled and len(pickled) < 300
    assert trim(corpus) == zb.trim_batch(corpus, max_tokens=3000, scan=zb.flood_scan)
    texts = {"text": ["a b c", "x " * 100]}
    assert pickle.loads(pickle.dumps(zb.ScreenBatches()))(texts) == zb.screen_batch(texts)
    assert pickle.loads(pickle.dumps(zb.EffortBatches()))(texts) == zb.effort_batch(texts)


def test_pyarrow_tables_in_and_out(corpus):
    pa = pytest.importorskip("pyarrow", reason="the ray extra (pyarrow) is not installed")
    table = pa.Table.from_pydict(corpus)
    out = zb.trim_batch(table, max_tokens=3000)
    expected = zb.trim_batch(table.to_pydict(), max_tokens=3000)
    assert isinstance(out, pa.Table)
    assert out.schema.field("kept").type == table.schema.field("messages").type
    for name in ("kept_positions", "tokens_after", "trim_status", "trim_error"):
        assert out.column(name).to_pylist() == expected[name]
    assert out.column("kept").to_pylist() == expected["kept"]
    assert zb.summarize(out) == zb.summarize(expected)
    # every batch has the same schema, even one with no error at all
    clean = zb.trim_batch(table.slice(0, 2))
    assert clean.column("trim_error").null_count == 2
    assert clean.schema.field("trim_error").type == pa.string()
    assert clean.schema.field("kept_positions").type == pa.list_(pa.int64())
    screened = zb.screen_batch(pa.table({"text": ["a " * 50, "b c d"]}))
    assert screened.schema.field("screen_error").type == pa.string()
    assert screened.column("flood").to_pylist() == [True, False]


def test_the_readme_corpus_section_runs_as_written():
    readme = Path(__file__).resolve().parents[2] / "README.md"
    section = readme.read_text(encoding="utf-8").split(
        "## Corpus scale: batches and Ray Data", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, flags=re.S)
    assert len(blocks) == 1
    exec(compile(blocks[0], "README corpus block", "exec"), {})


def test_position_markers_stay_exact_when_threads_grow_them_together(monkeypatch):
    import sys
    import threading

    from zelmo import history
    monkeypatch.setattr(history, "_marks", [])
    expected = [chr(i if i < 0xD800 else i + 0x800) for i in range(60_000)]
    results = []
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=lambda n=n: results.append(history._markers(n)))
                   for n in (60_000, 40_000, 60_000, 20_000, 60_000, 50_000)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert sorted(map(len, results)) == [20_000, 40_000, 50_000, 60_000, 60_000, 60_000]
    for got in results:
        assert got == expected[:len(got)]
    assert history._marks == expected
