"""The block model as seen from Python: class bits, weights and precedence, the
token estimate, content-hash deduplication and the Unicode word split.

The content hash itself is checked bit for bit in tests/cpp/test_block_model.cpp
against vectors taken from CPython's bytes hash; here we check that the
committed vectors are what the generator produces."""
import math
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import zelmo_micro as z

ROOT = pathlib.Path(__file__).resolve().parent.parent
CA = z.ContextApoptosis
WHITE_SPACE = [0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
               0x2028, 0x2029, 0x202F, 0x205F, 0x3000]
NOT_WHITE_SPACE = [0x1C, 0x1D, 0x1E, 0x1F, 0x84, 0x86, 0xA1, 0x180E, 0x200B, 0x200C, 0x2060,
                   0xFEFF, 0x3001, 0x2027, 0x202A]


def test_constants():
    assert (z.SYSTEM, z.USER, z.ASSISTANT, z.FACT, z.TOOL, z.THINKING) == (1, 2, 4, 8, 16, 32)
    assert z.SYSTEM | z.FACT == 9 and z.USER | z.ASSISTANT == 6


@pytest.mark.parametrize("flags, weight", [
    (0, 0.6), (64, 0.6), (2**31, 0.6), (z.USER, 1.0), (z.ASSISTANT, 1.0), (z.USER | z.TOOL, 1.0),
    (z.USER | z.THINKING, 1.0), (z.TOOL | z.THINKING, 0.15), (z.THINKING, 0.15),
    (z.TOOL, 0.25), (z.TOOL | 64, 0.25),
])
def test_weight_by_class_precedence(flags, weight):
    # The newest message has age 0, so its weight is kept exactly when it is
    # at least the threshold: the weight is the boundary between the two.
    exact = float(np.float32(weight))
    above = float(np.nextafter(np.float32(weight), np.float32(2)))
    assert z.dehydrate([("x", flags)], safe_threshold=exact)["blocks_kept"] == 1
    assert z.dehydrate([("x", flags)], safe_threshold=above)["blocks_kept"] == 0


@pytest.mark.parametrize("flags", [1, 8, 9, 10, 17, 8 | 32, 2**32 - 1])
def test_durable_bits_win(flags):
    assert z.dehydrate([("x", flags)] * 3, half_life=0, safe_threshold=math.inf)["blocks_kept"] == 3


@pytest.mark.parametrize("text, count", [
    ("", 1), ("abc", 1), ("abcd", 2), ("abcdefg", 2), ("abcdefgh", 3), ("x" * 1000, 251),
    ("\u00e9", 1), ("\u00e9\u00e9", 2), ("\u65e5\u672c\u8a9e", 3), ("\U0001F600", 2),
])
def test_token_estimate_counts_bytes(text, count):
    w = CA()
    w.insert(text)
    assert w.inserted_tokens() == w.active_tokens() == count
    assert z.dehydrate([(text, 1)])["tokens_before"] == count


@pytest.mark.parametrize("a, b", [
    ("a b", "a  b"), ("x", "x "), ("\u00e9", "e\u0301"), ("", " "), ("ab", "ba"), ("A", "a"),
])
def test_content_hash_sees_every_byte(a, b):
    w = CA()
    assert (w.note_state(a), w.note_state(b)) == (True, True)
    assert (w.note_state(a), w.note_state(b)) == (False, False)


def test_content_hash_separates_many_texts():
    texts = [f"fact {i}" for i in range(3000)] + ["", " ", "\u3000", "\U0001F600" * 40]
    w = CA(state_capacity=len(texts))
    assert all(w.note_state(t) for t in texts)
    assert not any(w.note_state(t) for t in texts)
    assert w.state_entries() == texts


def digest_of(text):
    w = CA()
    w.insert(text, z.USER, 0.0)
    w.dehydrate(absorb=True)
    return w.state_entries()[0]


@pytest.mark.parametrize("cp", WHITE_SPACE)
def test_every_white_space_character_splits(cp):
    assert digest_of(f"{chr(cp)}a{chr(cp)}{chr(cp)}b{chr(cp)}") == "a b"


@pytest.mark.parametrize("cp", NOT_WHITE_SPACE)
def test_other_characters_stay_inside_words(cp):
    assert digest_of(f" a{chr(cp)}b ") == f"a{chr(cp)}b"


def test_split_example():
    assert digest_of("  a\u00a0b\u3000 c\n") == "a b c"
    assert digest_of("\t \n") == ""


@pytest.mark.skipif(sys.version_info < (3, 11), reason="bytes hash is SipHash-1-3 from 3.11 on")
def test_committed_vectors_match_the_generator():
    generated = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_siphash13_vectors.py")],
                               check=True, capture_output=True, text=True).stdout
    committed = (ROOT / "tests" / "cpp" / "siphash13_vectors.h").read_text()
    assert generated == committed
