"""Fuzz inputs kept as regression cases, replayed through the fuzz harness
(fuzz/program.py) without the fuzzer: the seed corpus (fuzz/seeds/), every
input that once failed (fuzz/regressions/, one file per input, named after
what it found), and a fixed batch of random programs.
"""
import os
import random
import sys

import pytest

FUZZ_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz")
sys.path.insert(0, FUZZ_DIR)

import model  # noqa: E402
import program  # noqa: E402
import zelmo_micro as z  # noqa: E402


def kept_inputs():
    for folder in ("seeds", "regressions"):
        path = os.path.join(FUZZ_DIR, folder)
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                yield f"{folder}/{name}"


@pytest.mark.parametrize("name", list(kept_inputs()))
def test_kept_inputs(name):
    with open(os.path.join(FUZZ_DIR, name), "rb") as f:
        program.run(f.read())


@pytest.mark.parametrize("text", [
    "ERROR retry scheduled for job 4411 after gateway timeout\n" * 40,
    "the quick brown fox jumps over the lazy dog " * 5,
    "x " * 300,
])
def test_short_repeated_windows(text):
    """Floods whose windows fit in 64 bytes take the vector path of the scan;
    summing its hash lanes once overflowed a signed integer (undefined
    behaviour that `make asan` reported)."""
    for window in (1, 3, 8):
        assert model.same(z.saturation_scan(text, window), model.saturation_scan(text, window))


@pytest.mark.parametrize("seed", range(8))
def test_random_programs(seed):
    rng = random.Random(seed)
    for _ in range(150):
        program.run(rng.randbytes(rng.choice([64, 256, 1024])))


@pytest.mark.parametrize("data", [
    b"",
    bytes(64),
    b"\xff" * 512,
    bytes(range(256)) * 4,
])
def test_degenerate_inputs(data):
    program.run(data)


def _one_more_code_hit(text):
    result = GOOD["effort_gauge"](text)
    result["signals"]["code_hits"] += 1
    return result


GOOD = {name: getattr(model, name) for name in
        ("tokens", "weight", "effort_gauge", "saturation_scan", "consolidation_gain", "digest", "signal_repr")}

# Models that are each wrong in one small way, and the harness must notice.
WRONG = {
    "tokens": lambda text: len(text.encode()) // 4 + 2,
    "weight": lambda flags: 0.6 if flags & 63 == model.TOOL else GOOD["weight"](flags),
    "effort_gauge": _one_more_code_hit,
    "saturation_scan": lambda text, window=8: GOOD["saturation_scan"](text, (window or 1) + 1),
    "consolidation_gain": lambda prefix_tokens, purgeable_tokens, calls_ahead=8, **kw:
        GOOD["consolidation_gain"](prefix_tokens, purgeable_tokens, calls_ahead + 1, **kw),
    "digest": lambda text: GOOD["digest"](text).upper(),
    "signal_repr": lambda flags, intensity: GOOD["signal_repr"](flags, intensity).lower(),
}


@pytest.mark.parametrize("name", sorted(WRONG))
def test_harness_reports_a_divergence(monkeypatch, name):
    """The oracle is live: a model that disagrees with the module in one
    detail is reported."""
    monkeypatch.setattr(model, name, WRONG[name])
    rng = random.Random(1)
    with pytest.raises(program.Finding):
        for _ in range(3000):
            program.run(rng.randbytes(256))
