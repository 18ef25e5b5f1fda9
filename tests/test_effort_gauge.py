"""effort_gauge: fixed cases, lower-casing against str.lower(), and a
differential test against the model (tests/model.py), bit for bit."""
import pathlib
import random
import re
import sys
import unicodedata

import pytest

import model
import zelmo_micro as zm

ROOT = pathlib.Path(__file__).resolve().parent.parent

WHITE_SPACE = model.WHITE_SPACE
f32 = model.f32


def signals(text):
    return zm.effort_gauge(text)["signals"]


# ---------------------------------------------------------------------------
# Interface and the worked cases.

def test_docstring_signature_and_key_order():
    assert zm.effort_gauge.__text_signature__ == "(text)"
    assert zm.effort_gauge.__doc__ == (
        "Gauge the reasoning effort a request deserves. Returns a dict:\n"
        '`score` (0..1), `tier` ("off" | "low" | "medium" | "high"),\n'
        "`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`.")
    r = zm.effort_gauge(text="x")
    assert list(r) == ["score", "tier", "budget_tokens", "signals"]
    assert list(r["signals"]) == ["words", "len_score", "hard_hits", "constraint_hits",
                                  "code_hits", "digit_ratio", "novelty", "trivial_hits"]
    assert [type(v) for v in r["signals"].values()] == [int, float, int, int, int, float, float, int]


EMPTY = {"score": 0.0, "tier": "off", "budget_tokens": 0,
         "signals": {"words": 0, "len_score": 0.0, "hard_hits": 0, "constraint_hits": 0,
                     "code_hits": 0, "digit_ratio": 0.0, "novelty": 0.0, "trivial_hits": 0}}
LOCK_FREE = ("Design and implement a lock-free queue; it must never block, always ensure progress, "
             "and compare against the mutex version with benchmarks for 1 2 4 8 16 threads.")


@pytest.mark.parametrize("text, score, tier, expected", [
    ("", 0.0, "off", EMPTY["signals"]),
    (" \t\n\u3000", 0.0, "off", EMPTY["signals"]),
    ("ok thanks", 0.001500000013038516, "off",
     {"words": 2, "trivial_hits": 2, "novelty": 1.0, "len_score": 0.004999999888241291}),
    ("Why does the build break?", 0.08708333969116211, "low", {"words": 5, "hard_hits": 1}),
    ("Why?", None, "off", {"words": 1, "hard_hits": 1}),
    ("fn main() { let x = 1; return x; }", 0.08102941513061523, "off",
     {"words": 10, "code_hits": 4, "hard_hits": 0, "digit_ratio": 0.029411764815449715}),
    (LOCK_FREE, 0.4262136220932007, "medium",
     {"words": 28, "hard_hits": 3, "constraint_hits": 4, "code_hits": 0,
      "digit_ratio": 0.03703703731298447, "novelty": 0.9642857313156128}),
])
def test_worked_cases(text, score, tier, expected):
    r = zm.effort_gauge(text)
    assert model.same(r, model.effort_gauge(text))
    if score is not None:
        assert r["score"] == score
    assert r["tier"] == tier
    assert r["budget_tokens"] == {"off": 0, "low": 1024, "medium": 4096}[tier]
    assert {k: r["signals"][k] for k in expected} == expected


@pytest.mark.parametrize("text, key, count", [
    ("DESIGN", "hard_hits", 1),
    ("Refactoring", "hard_hits", 1),             # stem prefix
    ("why\u0663", "hard_hits", 0),               # Arabic-Indic digit stays in the core
    ("why\u00b2", "hard_hits", 0),               # superscript two (No) too
    ("why\u216b", "hard_hits", 0),               # roman numeral (Nl)
    ("\u00abwhy?\u00bb", "hard_hits", 1),        # quotes are cut off
    ("(fn)", "code_hits", 1),
    ("fn(", "code_hits", 1),
    ("fn::new", "code_hits", 0),                 # inner colons stay
    ("don't", "trivial_hits", 0),
    ("nao", "trivial_hits", 1),
    ("n\u00e3o", "trivial_hits", 1),             # precomposed
    ("N\u00c3O", "trivial_hits", 1),             # lowered to the precomposed entry
    ("na\u0303o", "trivial_hits", 0),            # combining tilde: other bytes
    ("RESTRI\u00c7\u00c3O obrigat\u00f3rio", "constraint_hits", 2),
    ("continue", "trivial_hits", 1),             # listed twice, counted once
    ("implementation", "hard_hits", 1),
])
def test_cores_and_vocabulary(text, key, count):
    assert signals(text)[key] == count


@pytest.mark.parametrize("text", ["\u0663\u0664 \uff11\uff12", "\u0966\u0967\u0968"])
def test_digits_of_other_scripts_are_not_counted(text):
    assert signals(text)["digit_ratio"] == 0.0


# Digits, code symbols and their neighbours in byte order (so a range test
# off by one miscounts), bytes above 0x7F, and spaces between words.
COUNTED_BYTES = "0189();<=>`{}/:'*?_|~azé "


@pytest.mark.parametrize("length", [1, 15, 16, 17, 31, 33, 255 * 16 - 1, 255 * 16, 255 * 16 + 17,
                                    2 * 255 * 16 + 5, 10_007])
def test_digit_and_code_symbol_counts_at_every_length(length):
    # The bytes are counted sixteen at a time with a tail, in blocks of 255
    # steps. digit_ratio shows the digit count exactly; code_hits shows the
    # symbol count only in sixths, so the text is tried with 0..5 more
    # symbols in front, which puts the count at a multiple of six (a lost
    # symbol shows) and one below it (an extra one shows).
    rng = random.Random(length)
    text = "".join(rng.choice(COUNTED_BYTES) for _ in range(length))
    for extra in range(6):
        varied = "{" * extra + text
        assert model.same(zm.effort_gauge(varied), model.effort_gauge(varied)), (length, extra)


@pytest.mark.parametrize("count", [1, 2, 42, 43, 85, 86, 300])
def test_distinct_words_around_the_table_sizes(count):
    # Texts of up to 85 words count their distinct words in a table kept in
    # place, longer ones in an allocated one; every word is then repeated
    # once, in reverse, so each must be found again.
    words = [f"w{k}" for k in range(count)]
    text = " ".join(words + words[::-1])
    got = signals(text)
    assert got["words"] == 2 * count
    assert got["novelty"] == f32(f32(count) / f32(2 * count)) == 0.5
    assert model.same(zm.effort_gauge(text), model.effort_gauge(text))


@pytest.mark.parametrize("unit", ["7", "`", "(7 "])
def test_runs_of_one_counted_byte(unit):
    # Every lane hits on every step: its count must be taken before it wraps.
    text = unit * 9_000
    assert model.same(zm.effort_gauge(text), model.effort_gauge(text))


@pytest.mark.parametrize("pair, novelty", [
    ("\u039f\u0394\u039f\u03a3 \u03bf\u03b4\u03bf\u03c2", 0.5),   # final sigma
    ("\u039f\u0394\u039f\u03a3 \u03bf\u03b4\u03bf\u03c3", 1.0),
    ("\u03a3\u0391 \u03c3\u03b1", 0.5),                            # initial sigma
    ("\u039f\u03a3. \u03bf\u03c2.", 0.5),                          # '.' is case-ignorable
    ("\u0130 i\u0307", 0.5),                                       # one character, two out
    ("\u1e9e \u00df", 0.5),
])
def test_lowering_is_observable_through_novelty(pair, novelty):
    assert signals(pair)["novelty"] == novelty


def filler(n):
    """n distinct words that hit no list and hold no digit or symbol."""
    out = []
    for i in range(n):
        w = "zq"
        while True:
            w += "xvkj"[i % 4]
            i //= 4
            if not i:
                break
        out.append(w)
    return out


# Counts chosen so that the score lands exactly on a tier threshold, with a
# neighbour one word short of it.
@pytest.mark.parametrize("words, hard, cons, code, score, tier", [
    (200, 0, 0, 0, 0.15, "low"), (199, 0, 0, 0, None, "off"),
    (400, 0, 3, 0, 0.4, "medium"), (399, 0, 3, 0, None, "low"),
    (300, 3, 6, 2, 0.7, "high"), (299, 3, 6, 2, None, "medium"),
])
def test_tier_thresholds(words, hard, cons, code, score, tier):
    hits = (["why", "how", "bug"][:hard] + ["must", "never", "always", "ensure", "require",
            "without"][:cons] + ["fn", "def"][:code])
    text = " ".join(hits + filler(words - len(hits)))
    r = zm.effort_gauge(text)
    assert model.same(r, model.effort_gauge(text))
    if score is not None:
        assert r["score"] == f32(score)
    assert r["tier"] == tier


@pytest.mark.parametrize("text, capped", [
    ("must never always ensure require 12345678 99999999", True),
    ("must never always ensure require 12345678 99999999 zq", False),
    ("ok why how", True),
    ("ok why how bug", False),
])
def test_small_talk_cap(text, capped):
    r = zm.effort_gauge(text)
    assert model.same(r, model.effort_gauge(text))
    assert (r["score"] <= f32(0.05)) == capped
    if capped:
        assert r["tier"] == "off"


def test_ceilings_and_repetition():
    many = " ".join(filler(450))
    assert signals(many)["len_score"] == 1.0
    doubled = " ".join(filler(20) * 2)
    assert signals(doubled)["novelty"] == 0.5
    assert model.same(zm.effort_gauge(doubled), model.effort_gauge(doubled))
    assert zm.effort_gauge(doubled)["score"] < zm.effort_gauge(" ".join(filler(40)))["score"]


# ---------------------------------------------------------------------------
# Lower-casing of every code point against the interpreter's own str.lower().

def _module_unicode_version():
    header = ROOT / "src" / "core" / "unicode_data.h"
    if not header.exists():
        return None
    m = re.search(r'kUnicodeVersion = "([0-9.]+)"', header.read_text())
    return m and m.group(1)


def _differing_code_points():
    """Code points to leave out, or None when the versions can't be compared."""
    ours = _module_unicode_version()
    if ours == unicodedata.unidata_version:
        return set()
    # The committed list compares our tables with Python 3.11's database.
    if unicodedata.unidata_version == "14.0.0":
        path = ROOT / "tests" / "data" / "unicode_lower_diff.txt"
        return {int(line, 16) for line in path.read_text().split()}
    return None


DIFFERING = _differing_code_points()


@pytest.mark.skipif(DIFFERING is None, reason="no comparable Unicode version")
def test_lowering_of_every_code_point_matches_str_lower():
    # Each tested word stands beside Python's lowering of it, under a unique
    # numeric prefix: the gauge sees one distinct word per pair exactly when
    # its lowering agrees. The contexts around U+03A3 probe Cased and
    # Case_Ignorable through the final-sigma rule; digit_ratio checks the
    # lowered byte length.
    space = set(map(ord, WHITE_SPACE))
    cps = [c for c in range(0x110000)
           if not 0xD800 <= c <= 0xDFFF and c not in space and c not in DIFFERING]
    for start in range(0, len(cps), 16384):
        words, tested = [], []
        for i, c in enumerate(cps[start:start + 16384]):
            ch = chr(c)
            forms = ((f"{i}{ch}",) if unicodedata.category(ch) in ("Cn", "Co") else
                     (f"{i}{ch}", f"{i}A{ch}\u03a3", f"{i}{ch}\u03a3", f"{i}A\u03a3{ch}"))
            for w in forms:
                words += (w, w.lower())
                tested.append(c)
        text = " ".join(words)
        low = text.lower()
        raw = low.encode()
        want = (f32(f32(len(set(low.split(" ")))) / f32(len(words))),
                f32(f32(sum(raw.count(d) for d in b"0123456789")) / f32(len(raw))))
        got = signals(text)
        if (got["novelty"], got["digit_ratio"]) != want:
            bad = {f"U+{c:04X}" for c, w in zip(tested, words[::2])
                   if signals(f"{w} {w.lower()}")["novelty"] != 0.5}
            pytest.fail(f"lowering differs from str.lower() at {sorted(bad)[:20]}")


# ---------------------------------------------------------------------------
# Differential test on seeded random texts.

ALPHABETS = [
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
    "\u00c0\u00c1\u00c3\u00c7\u00c9\u00ca\u00cd\u00d3\u00d5\u00da\u00e0\u00e1\u00e3\u00e7\u00e9"
    "\u00ea\u00ed\u00f3\u00f5\u00fa\u00df\u1e9e\u0130\u0131\u0303\u0301\u0345",
    "\u0391\u0392\u0393\u0394\u0395\u039f\u03a3\u03a3\u03a3\u03b1\u03b2\u03b3\u03c3\u03c2\u0386"
    "\u0390\u03b0",
    "\u4e00\u4e8c\u6587\u5b57\u3042\u30a2\uac00\uff21\uff41\uff11",
    "\U0001f600\U0001f680\u2764\ufe0f\u200d\u2603\u24b6\u24d0\u216b\u00b2\u0663\u0967",
    "();<=>`{}[]:.,'\"-_!?/\\*&^%$#@~|+\u00ab\u00bb\u201c\u201d\u00b7",
]
VOCAB = (sorted(model.CODE_WORDS | model.CONSTRAINT_WORDS | model.TRIVIAL_WORDS | model.HARD_WORDS)
         + [s + "ing" for s in model.HARD_STEMS])


@pytest.mark.parametrize("entry", sorted(set(VOCAB) | set(model.HARD_STEMS)))
def test_vocabulary_entries_and_their_near_misses(entry):
    # Entries are compared eight bytes at a time, then byte by byte past the
    # eighth: the entry itself, cut short, grown, and changed in its first,
    # eighth, ninth and last byte.
    b = entry.encode()
    changed = [b[:i] + bytes([b[i] ^ 1]) + b[i + 1:] for i in {0, 7, 8, len(b) - 1} if i < len(b)]
    variants = [b, b[:-1], b + b"s", b[:8], *changed]
    text = " ".join(v.decode(errors="replace") for v in variants if v)
    for word in text.split():
        assert model.same(zm.effort_gauge(word), model.effort_gauge(word)), word


def random_text(rng):
    parts = []
    for _ in range(rng.randrange(0, 60)):
        kind = rng.random()
        if kind < 0.35:
            w = rng.choice(VOCAB)
            w = rng.choice([w, w.upper(), w.title()])
            if rng.random() < 0.3:
                w = rng.choice(ALPHABETS[5]) + w + rng.choice(ALPHABETS[5])
        else:
            w = "".join(rng.choice(rng.choice(ALPHABETS)) for _ in range(rng.randrange(1, 9)))
        parts.append(w)
        parts.append("".join(rng.choice(WHITE_SPACE) for _ in range(rng.randrange(0, 3))) or " ")
    if parts and rng.random() < 0.2:
        parts *= 2
    return "".join(parts)


def test_alphabets_avoid_version_differences():
    chars = {ord(c) for a in ALPHABETS for c in a}
    assert not chars & (DIFFERING or set())


@pytest.mark.parametrize("seed", range(12))
def test_matches_model_on_random_texts(seed):
    rng = random.Random(seed)
    for _ in range(50):
        text = random_text(rng)
        assert model.same(zm.effort_gauge(text), model.effort_gauge(text)), repr(text)


# ---------------------------------------------------------------------------
# Bad input and large input.

@pytest.mark.parametrize("value, exc, message", [
    (5, TypeError, "'int' object is not an instance of 'str'"),
    (b"x", TypeError, "'bytes' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    ("a\ud800b", UnicodeEncodeError, None),
])
def test_bad_text(value, exc, message):
    with pytest.raises(exc) as info:
        zm.effort_gauge(value)
    if message:
        assert str(info.value) == message
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["while processing 'text'"]


def test_argument_matching():
    with pytest.raises(TypeError, match=r"^effort_gauge\(\) takes 1 positional arguments but 2 were given$"):
        zm.effort_gauge("a", "b")
    with pytest.raises(TypeError, match=r"^effort_gauge\(\) missing 1 required positional argument: 'text'$"):
        zm.effort_gauge()


@pytest.mark.parametrize("unit, count, words", [
    ("a", 3_000_000, 1),
    (" ", 3_000_000, 0),
    ("\u3000", 1_000_000, 0),
    ("a ", 1_000_000, 1_000_000),
    ("\u03a3", 1_000_000, 1),
    ("\u0301", 1_000_000, 1),      # case-ignorable run
    ("A\u0301\u03a3", 300_000, 1),
])
def test_large_inputs_stay_linear(unit, count, words):
    r = zm.effort_gauge(unit * count)
    assert r["signals"]["words"] == words
    assert 0.0 <= r["score"] <= 1.0
