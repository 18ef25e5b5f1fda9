"""A 200-turn `ContextApoptosis` session: per turn four inserts, one
`dehydrate(absorb=True)` and one `render()`. The module against the
careful pure-Python window (one lock, blocks as small lists, double
precision) and the window whose decay pass is vectorised with numpy.

Its floor is what every render must at least do: build the rendered str.
It is timed as `"".join` of each turn's pieces (purpose line, ledger lines,
blocks and their separators, prepared beforehand), the interpreter's own
fastest way to build that str, each kept until the next is built, as the
session keeps its render; no window can render the session faster.

A second floor, "floor, with the calls", plays the whole session through
the floor extension: each insert and dehydrate takes the module's
arguments through the same interpreter calls and computes nothing (the
text read as the module reads it; the interpreter lock released once per
dehydrate, as the module must), and each render is the join above. It is
what the session's 1,000 calls and 200 renders cost any implementation.

    python bench/bench_window.py [--json FILE] [--tiny] [turns]
"""
from __future__ import annotations

import functools

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


def render_pieces(purpose, script):
    """Per turn, the pieces of the turn's render, as separate strs, from a
    reference window played through the script."""
    w = reference.ContextApoptosis()
    w.set_purpose(purpose)
    turns = []
    for turn in script:
        for content, signal in turn:
            w.insert(content, signal)
        w.dehydrate(absorb=True)
        pieces = [purpose + "\n"]
        entries = w.state_entries()
        if entries:
            pieces += ["STATE:\n"] + [f"- {e}\n" for e in entries]
        for k, block in enumerate(w.active_context()):
            pieces += [block] if k == 0 else ["\n", block]
        turns.append(pieces)
    return turns


def join_all(turns):
    # Each text is kept until the next one is built, as play() keeps its
    # `text`: two large strs are alive at each join, in the floor as in every
    # session, and the allocator's work for that is part of what a render
    # can't avoid.
    join = "".join
    text = None
    for pieces in turns:
        text = join(pieces)
    return text


class FloorWindow:
    """The session's calls through the floor extension: insert and dehydrate
    compute nothing; render joins the next turn's prepared pieces."""

    def __init__(self, floor, turns):
        self.insert = floor.window_insert
        self.dehydrate = floor.window_dehydrate
        # C calls only, as the module's render is: next(map(join, turns)).
        self.render = functools.partial(next, map("".join, turns))

    def set_purpose(self, text):
        pass


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
    common.agree(name, traces, rel=common.SINGLE)
    turns = render_pieces(purpose, script)
    if ["".join(p) for p in turns] != [text for _, text in traces["zelmo"][0]]:
        raise AssertionError(f"{name}: the floor's pieces do not join to the rendered texts")
    del traces

    # A session's time moves with how many fresh pages the allocator hands
    # its large renders, which depends on the heap's history: many short
    # samples, so that the median is a typical session.
    repeat = 5 * harness.SCALE["repeat"]
    for impl, cls in classes.items():
        timing = harness.time_block(lambda w: play(w, purpose, script), setup=cls, repeat=repeat)
        report.add(name, impl, timing, unit="session")
    report.add(name, "floor", harness.time_block(join_all, setup=lambda: turns, repeat=repeat), unit="session")
    floor = common.floor()
    trace: list = []
    play(FloorWindow(floor, turns), purpose, script, trace)
    if [text for _, text in trace] != ["".join(p) for p in turns]:
        raise AssertionError(f"{name}: the calls' floor does not render the session's texts")
    del trace
    calls = harness.time_block(lambda w: play(w, purpose, script), setup=lambda: FloorWindow(floor, turns),
                               repeat=repeat)
    report.add(name, common.CALLS_FLOOR, calls, unit="session")


def module_calls(tiny: bool):
    """(workload, make) per module row for the instruction counts: make()
    returns (fn, args, calls). The session's count holds its driving Python
    loop as well."""
    turns = 12 if tiny else 200
    purpose, script = workloads.window_session(turns)
    return [(f"window session, {turns} turns",
             lambda: (lambda: play(zelmo_micro.ContextApoptosis(), purpose, script), (), 1))]


if __name__ == "__main__":
    common.main("window", run)
