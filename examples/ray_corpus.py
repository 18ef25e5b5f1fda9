"""Trims and screens a JSONL corpus of conversations on Ray Data.

    python examples/ray_corpus.py CORPUS.jsonl OUT_DIR [--max-tokens N] [--num-cpus N]
    python examples/ray_corpus.py --generate 3000 corpus.jsonl out/

Each line of the corpus is ``{"id": ..., "messages": [...]}`` with OpenAI Chat
Completions messages. Every conversation is trimmed (decay, whole tool
exchanges, the live tail, the token budget) and its tool outputs screened for
floods. Writes ``OUT_DIR/results/`` (one row per conversation: the kept
messages, the report, the status) and ``OUT_DIR/summary.parquet`` (records
processed, skipped and failed, tokens before and after, floods refused), and
prints the summary.
"""
from __future__ import annotations

import argparse
import logging
import os
import sys
from pathlib import Path
from typing import Any

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
import ray  # noqa: E402

from zelmo.batch import TrimBatches, flood_scan, summarize  # noqa: E402
from zelmo.corpus import write_jsonl  # noqa: E402


def summary_row(batch: pa.Table) -> dict[str, list[int]]:
    """One row of counts per batch; the driver adds them up."""
    return {name: [value] for name, value in summarize(batch).items()}


def run(corpus: Path, out: Path, max_tokens: int | None, num_cpus: int) -> dict[str, int]:
    ray.init(num_cpus=num_cpus, include_dashboard=False, logging_level=logging.WARNING,
             log_to_driver=False)
    logging.getLogger("ray").setLevel(logging.WARNING)
    try:
        context = ray.data.DataContext.get_current()
        context.enable_progress_bars = False
        context.print_on_execution_start = False
        results = (ray.data.read_json(str(corpus))
                   .map_batches(TrimBatches(format="openai_chat", max_tokens=max_tokens,
                                            scan=flood_scan), batch_format="pyarrow")
                   .materialize())
        results.write_parquet(str(out / "results"))
        rows: list[dict[str, Any]] = results.map_batches(
            summary_row, batch_format="pyarrow").take_all()
    finally:
        ray.shutdown()
    summary = {name: sum(row[name] for row in rows) for name in rows[0]} if rows else {}
    pq.write_table(pa.Table.from_pylist([summary]), out / "summary.parquet")
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("corpus", type=Path)
    parser.add_argument("out", type=Path)
    parser.add_argument("--generate", type=int, metavar="COUNT",
                        help="first write COUNT generated conversations to CORPUS")
    parser.add_argument("--max-tokens", type=int, default=4000)
    parser.add_argument("--num-cpus", type=int, default=2)
    args = parser.parse_args(argv)
    if args.generate is not None:
        write_jsonl(args.corpus, args.generate, seed=0)
    args.out.mkdir(parents=True, exist_ok=True)
    summary = run(args.corpus, args.out, args.max_tokens, args.num_cpus)
    for name, value in summary.items():
        print(f"{name:>14}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
