"""Ray Data on a local instance: the same results as one process, record by record."""
import json
import logging
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from zelmo import batch as zb
from zelmo.corpus import write_jsonl

ray = pytest.importorskip("ray", reason="the ray extra (Ray) is not installed")
pa = pytest.importorskip("pyarrow", reason="the ray extra (pyarrow) is not installed")
pq = pytest.importorskip("pyarrow.parquet", reason="the ray extra (pyarrow) is not installed")

ROOT = Path(__file__).resolve().parents[2]
QUIET = {"RAY_USAGE_STATS_ENABLED": "0"}


@pytest.fixture(scope="module")
def local_ray():
    saved = {name: os.environ.get(name) for name in QUIET}
    os.environ.update(QUIET)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             logging_level=logging.WARNING)
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    try:
        yield ray
    finally:
        ray.shutdown()
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    assert not ray.is_initialized()


def _without_nulls(value):
    """An Arrow struct round trip fills absent keys with None; drop them again."""
    if isinstance(value, dict):
        return {k: _without_nulls(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [_without_nulls(v) for v in value]
    return value


def test_map_batches_equals_the_single_process_path(local_ray, tmp_path):
    corpus = write_jsonl(tmp_path / "corpus.jsonl", 3000, seed=11)
    with corpus.open(encoding="utf-8") as lines:
        records = [json.loads(line) for line in lines]
    # one malformed record, which must come back reported, not dropped
    records[5]["messages"][1]["role"] = "wizard"
    corpus.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    options = {"max_tokens": 4000, "scan": zb.flood_scan}

    ds = ray.data.read_json(str(corpus))
    rows = ds.map_batches(zb.TrimBatches(**options), batch_format="pyarrow").take_all()
    local = zb.trim_batch({"id": [r["id"] for r in records],
                           "messages": [r["messages"] for r in records]}, **options)

    assert sorted(row["id"] for row in rows) == [r["id"] for r in records]
    by_id = {row["id"]: row for row in rows}
    for i, record in enumerate(records):
        row = by_id[record["id"]]
        for name in ("kept_positions", "messages_in", "tokens_before", "tokens_after",
                     "units_purged", "floods", "trim_status"):
            assert row[name] == local[name][i], (record["id"], name)
        assert _without_nulls(row["kept"]) == _without_nulls(local["kept"][i])
        if local["trim_error"][i] is not None:
            # the row index is the batch's; the id and the fault are the same
            assert row["trim_error"].split(" (id ", 1)[1] == local["trim_error"][i].split(" (id ", 1)[1]
    statuses = {row["trim_status"] for row in rows}
    assert statuses == {"ok", "skipped", "failed"}
    assert "field 'messages': message 1, field 'role'" in by_id[records[5]["id"]]["trim_error"]

    texts = [m["content"] for r in records[:200] for m in r["messages"] if m["role"] == "tool"]
    screened = ray.data.from_items([{"text": t} for t in texts]).map_batches(
        zb.ScreenBatches(), batch_format="pyarrow").take_all()
    expected = zb.screen_batch({"text": texts})
    assert sorted((r["text"], r["saturation"], r["flood"]) for r in screened) == sorted(
        zip(texts, expected["saturation"], expected["flood"]))


def _readme_command():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text.split("## Corpus scale: batches and Ray Data", 1)[1].split("\n## ", 1)[0]
    commands = re.findall(r"^python examples/ray_corpus\.py .*$", section, flags=re.M)
    assert len(commands) == 1
    return shlex.split(commands[0])


def test_the_readme_example_runs_as_written(tmp_path):
    argv = _readme_command()
    argv[0:2] = [sys.executable, str(ROOT / "examples" / "ray_corpus.py")]
    env = {**os.environ, **QUIET}
    done = subprocess.run(argv, cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    summary = pq.read_table(tmp_path / "out" / "summary.parquet").to_pylist()
    assert len(summary) == 1
    results = pq.read_table(tmp_path / "out" / "results")
    local = zb.summarize(results)
    assert summary[0] == local
    assert local["records"] == int(argv[argv.index("--generate") + 1]) == results.num_rows
    assert local["floods"] > 0 and local["tokens_after"] < local["tokens_before"]
    for name, value in summary[0].items():
        assert re.search(rf"^\s*{name}: {value}$", done.stdout, flags=re.M)
