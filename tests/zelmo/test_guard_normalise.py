"""zelmo.guard.normalise against a straightforward reference: one regex pass
per token kind, then a Python check per number."""
import re

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from zelmo.guard import normalise

from outputs import FLOODS, LEGIT

# ------------------------------------------------------------- reference

_REF_PATTERNS = (
    (re.compile(r"\d{4}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?"
                r"(?:Z|[+-]\d{2}:?\d{2})?)?"), "<time>"),
    (re.compile(r"\d{1,2}/[A-Z][a-z]{2}/\d{4}(?::\d{2}:\d{2}:\d{2})?(?: [+-]\d{4})?"), "<time>"),
    (re.compile(r"\b\d{1,2}:\d{2}:\d{2}(?:[.,]\d+)?\b"), "<time>"),
    (re.compile(r"\b[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-"
                r"[0-9a-fA-F]{12}\b"), "<uuid>"),
    (re.compile(r"\b0x[0-9a-fA-F]+\b"), "<hex>"),
    (re.compile(r"\b(?=[0-9a-fA-F]*\d)[0-9a-fA-F]{6,}\b"), "<hex>"),
)
_REF_NUMBER = re.compile(r"(?<![\d.])\d+(?:\.\d+)*")
_REF_CELL_ENDS = frozenset(",;\t|\n")


def _ref_counter(match):
    text, start, end = match.string, match.start(), match.end()
    if ((start == 0 or text[start - 1] in _REF_CELL_ENDS)
            and (end == len(text) or text[end] in _REF_CELL_ENDS)):
        return match.group()
    return "<n>"


def _reference(text):
    for pattern, placeholder in _REF_PATTERNS:
        text = pattern.sub(placeholder, text)
    return _REF_NUMBER.sub(_ref_counter, text)


# ------------------------------------------------------------- texts

# Whole tokens of each kind, their fragments, and the characters that decide
# word boundaries and table cells; "٣" and "７" are non-ASCII digits.
_TOKENS = [
    "2026-12-08", "2026-12-08T10:00:01.250Z", "2026-12-08 10:00+01:00", "2026-12-08T10:00:01-0300",
    "08/Dec/2026:10:00:01 +0000", "8/Dec/2026", "10:00:01", "10:00:01,5", "1:02:03.",
    "550e8400-e29b-41d4-a716-446655440000", "deadbeef-cafe-face-babe-decafbadfeed",
    "0x", "0xdeadBEEF", "0x1f", "9f86d081884c", "abcdef", "ABCDEF12", "cafe", "facade",
    "1.2.3", "10.0.0.1", "3.5", "v1", "12", "007", "٣", "٣٣:٠٠:٠٠", "７", "é", "ß", "_",
    "Dec", "Jan", "T", "Z", "x", "<", ">", "<n>", "e",
    "-", "+", ":", "/", ".", ",", ";", "\t", "|", "\n", " ", " ", "\r\n",
]
_pieces = st.one_of(
    st.sampled_from(_TOKENS),
    st.text(alphabet="0123456789abcdefABCDEF", min_size=1, max_size=14),
    st.text(alphabet="0123456789.,;:|-/ \t\n", min_size=1, max_size=6),
    st.text(max_size=3),
)
texts = st.lists(_pieces, max_size=40).map("".join)


@given(texts)
@settings(max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@example("2026-12-08abc123 12/Dec/2026-01-01 x0x1f 1..2 ab12cd٣ 7|1.5|x")
@example("deadbeef-cafe-face-babe-decafbadfeed")
@example("12,7 apples,3.5\n4|v1.2.3 at 10.0.0.1|6")
def test_normalise_matches_the_reference(text):
    assert normalise(text) == _reference(text)


@pytest.mark.parametrize("name", sorted(FLOODS))
@pytest.mark.parametrize("seed", [1, 7])
def test_floods_normalise_as_the_reference(name, seed):
    output = FLOODS[name](seed=seed)
    assert normalise(output) == _reference(output)


@pytest.mark.parametrize("name", sorted(LEGIT))
def test_legit_outputs_normalise_as_the_reference(name):
    output = LEGIT[name](seed=11) if name.endswith("table") else LEGIT[name]()
    assert normalise(output) == _reference(output)
