"""zelmo.batch throughput on a corpus: conversations per second.

    python bench/batch.py [--tiny] [--no-ray] [count] [--messages N]

The work, per conversation: trim it (decay, whole tool exchanges, the tail,
a token budget) and screen its tool outputs for floods (the guard's saturation,
after normalising timestamps, counters and ids, >= 0.6),
on the seeded corpus of `zelmo.corpus` (default: 10,000 conversations of 50
messages, OpenAI Chat Completions dicts). Timed, each as conversations per
second of wall-clock time:

1. a careful pure-Python batch of the same work on one core: the plain loop
   of bench/adapters.py for the trim and the pure-Python saturation scan of
   bench/reference.py, checked first to give the same kept messages, the
   same failures and the same flood counts as zelmo;
2. `zelmo.batch.trim_batch` in one process;
3. all cores: `map_local` on threads, and on a process pool;
4. Ray Data on a local instance with 2 CPUs, reading the corpus as JSONL:
   the whole pipeline, and, apart, Ray's own overhead (the same pipeline with
   an identity function) and its start-up time.

Wall-clock times are the best of a few runs; on a machine shared with other
work they vary, and the multi-core figures most.
"""
from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import reference  # noqa: E402
from adapters import plain_trim  # noqa: E402

from zelmo.batch import FLOOD_THRESHOLD, flood_scan, map_local, trim_batch  # noqa: E402
from zelmo.guard import normalise  # noqa: E402
from zelmo.corpus import conversations  # noqa: E402

MAX_TOKENS = 4000


def plain_batch(corpus: list[list[dict[str, Any]]]) -> list[tuple[list[int] | None, int]]:
    """The pure-Python batch: kept positions (None when over budget) and floods."""
    scan = reference.saturation_scan
    out: list[tuple[list[int] | None, int]] = []
    for messages in corpus:
        try:
            kept: list[int] | None = plain_trim(messages, MAX_TOKENS)
        except ValueError:
            kept = None
        floods = sum(scan(normalise(m["content"])) >= FLOOD_THRESHOLD for m in messages
                     if m["role"] == "tool")
        out.append((kept, floods))
    return out


def best(fn: Callable[[], object], runs: int) -> float:
    """Best wall-clock seconds of ``runs`` calls."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def identity(batch: Any) -> Any:
    return batch


def ray_figures(path: Path, count: int, runs: int) -> tuple[float, float, float, int]:
    """Start-up seconds, pipeline seconds, identity-pipeline seconds, rows."""
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import ray

    from zelmo.batch import TrimBatches

    start = time.perf_counter()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             logging_level=logging.WARNING)
    startup = time.perf_counter() - start
    try:
        ray.data.DataContext.get_current().enable_progress_bars = False
        trim = TrimBatches(max_tokens=MAX_TOKENS, scan=flood_scan)
        rows: list[int] = []

        def pipeline(fn: Callable[[Any], Any]) -> None:
            ds = ray.data.read_json(str(path)).map_batches(fn, batch_format="pyarrow")
            rows.append(ds.count())

        pipeline(trim)  # warm-up: workers start and import zelmo
        full = best(lambda: pipeline(trim), runs)
        empty = best(lambda: pipeline(identity), runs)
    finally:
        ray.shutdown()
    if set(rows) != {count}:
        raise SystemExit(f"Ray returned {rows} rows, expected {count}")
    return startup, full, empty, count


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("count", nargs="?", type=int, default=10_000)
    parser.add_argument("--messages", type=int, default=50)
    parser.add_argument("--tiny", action="store_true", help="a quick check that everything runs")
    parser.add_argument("--no-ray", action="store_true", help="leave Ray Data out")
    args = parser.parse_args(argv)
    count = 200 if args.tiny else args.count
    runs = 1 if args.tiny else 3
    records = list(conversations(count, messages=args.messages, seed=0))
    corpus = [r["messages"] for r in records]
    batch = {"id": [r["id"] for r in records], "messages": corpus}
    options: dict[str, Any] = {"max_tokens": MAX_TOKENS, "scan": flood_scan}

    # Both sides do the same work: checked before anything is timed.
    ours = trim_batch(batch, **options)
    theirs = plain_batch(corpus)
    if ([k for k, _ in theirs] != ours["kept_positions"]
            or [f for _, f in theirs] != _floods(corpus)):
        raise SystemExit("the pure-Python batch and zelmo disagree")
    failed = sum(k is None for k, _ in theirs)
    print(f"corpus: {count} conversations of {args.messages} messages, {failed} over the "
          f"{MAX_TOKENS}-token budget, {sum(f for _, f in theirs)} flooded tool outputs; "
          f"both sides keep the same messages and count the same floods")
    print(f"machine: {os.cpu_count()} cores, shared with other work (figures vary)")

    rows: list[tuple[str, float]] = []
    rows.append(("pure Python, one core", best(lambda: plain_batch(corpus), runs)))
    rows.append(("zelmo, one process", best(lambda: trim_batch(batch, **options), runs)))
    rows.append(("zelmo, all cores (threads)", best(
        lambda: map_local(trim_batch, batch, executor="thread", **options), runs)))
    rows.append(("zelmo, all cores (processes)", best(
        lambda: map_local(trim_batch, batch, executor="process", **options), runs)))
    ray_rows: list[tuple[str, float]] = []
    if not args.no_ray:
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "corpus.jsonl"
            with path.open("w", encoding="utf-8") as out:
                for record in records:
                    out.write(json.dumps(record, ensure_ascii=False) + "\n")
            startup, full, empty, _ = ray_figures(path, count, runs)
        rows.append(("Ray Data, 2 CPUs (read + trim + screen)", full))
        ray_rows = [("Ray start-up (ray.init), once", startup),
                    ("Ray overhead: the same pipeline, identity batches", empty),
                    ("Ray Data, 2 CPUs, less that overhead", max(full - empty, 1e-9))]

    base = rows[0][1]
    print(f"\n{'':52} {'conv/s':>10} {'seconds':>9} {'vs Python':>10}")
    for name, seconds in rows:
        print(f"{name:52} {count / seconds:10.0f} {seconds:9.3f} {base / seconds:9.1f}x")
    for name, seconds in ray_rows:
        per = f"{count / seconds:10.0f}" if "start-up" not in name else f"{'':>10}"
        print(f"{name:52} {per} {seconds:9.3f}")
    return 0


def _floods(corpus: list[list[dict[str, Any]]]) -> list[int]:
    """zelmo's flood counts, also for conversations whose trim failed."""
    scanned = trim_batch({"messages": corpus}, scan=flood_scan)
    return list(scanned["floods"])


if __name__ == "__main__":
    sys.exit(main())
