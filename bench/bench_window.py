"""A 200-turn `ContextApoptosis` session: per turn four inserts, one
`dehydrate(absorb=True)` and one `render()`. The module against the
pure-Python window and the window whose decay pass is vectorised with numpy.

    python bench/bench_window.py [--json FILE] [--tiny] [turns]
"""
from __future__ import annotations

import zelmo_micro

import common
import harness
import numpy_peers
import reference
import workloads


def play(window, purpose, script, trace=None):
    window.set_purpose(purpose)
    insert, dehydrate, render = window.insert, window.dehydrate, window.render
    for turn in script:
        for content, signal in turn:
            insert(content, signal)
        purged = dehydrate(absorb=True)
        text = render()
        if trace is not None:
            trace.append((purged, text))
    return window


def run(report: common.Report, tiny: bool, size: int | None = None):
    turns = size or (12 if tiny else 200)
    purpose, script = workloads.window_session(turns)
    name = f"window session, {turns} turns"
    classes = {"zelmo": zelmo_micro.ContextApoptosis, "python": reference.ContextApoptosis,
               "numpy": numpy_peers.ContextApoptosis}

    traces = {}
    for impl, cls in classes.items():
        trace: list = []
        w = play(cls(), purpose, script, trace)
        traces[impl] = (trace, w.state_entries(), w.active_context(), w.active_tokens(),
                        w.inserted_tokens(), w.reduction_ratio(), len(w))
    common.agree(name, traces)

    for impl, cls in classes.items():
        timing = harness.time_block(lambda w: play(w, purpose, script), setup=cls)
        report.add(name, impl, timing, unit="session")


if __name__ == "__main__":
    common.main("window", run)
