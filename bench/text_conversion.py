"""What handing a non-ASCII str to the module costs, per script.

Every text function takes its str as UTF-8. An ASCII str is read in place;
any other str is converted for the length of the call. This times that
conversion on a million characters of each kind of text, through
`ContextApoptosis.set_purpose` (which converts the str and keeps a copy of
the bytes), against the interpreter's own `str.encode("utf-8")`, which
produces the same bytes.

    python bench/text_conversion.py [--tiny]

It prints figures; nothing here fails on a time.
"""
from __future__ import annotations

import argparse
import random

import zelmo_micro

import common
import harness

SCRIPTS = {
    "Latin-1 (Portuguese)": "a\u00e7\u00e3o cora\u00e7\u00e3o est\u00e1 voc\u00ea n\u00e3o at\u00e9 s\u00f3 ",
    "Cyrillic": "\u0430\u0431\u0432\u0433\u0434\u0435\u0436\u0437\u0438\u0439\u043a\u043b\u043c\u043d ",
    "CJK": "\u7684\u4e00\u662f\u4e0d\u4e86\u4eba\u6211\u5728\u6709\u4ed6\u8fd9\u4e2d ",
    "typographic punctuation": "abcdefghijklmnopqrstuvwxyz \u201c\u201d\u2014\u2026 ",
    "1% emoji": "abcdefghijklmnopqrstuvwxyz " * 4 + "\U0001f680",
    "10% emoji": "abcdefghi \U0001f680",
    "ASCII with one emoji at the end": None,
    "one emoji, then Latin-1": None,
}


def text(name: str, chars: int) -> str:
    if name == "ASCII with one emoji at the end":
        return "a b c " * (chars // 6) + "\U0001f680"
    if name == "one emoji, then Latin-1":
        return "\U0001f680" + text("Latin-1 (Portuguese)", chars - 1)
    rng = random.Random(7)
    pool = SCRIPTS[name]
    return "".join(rng.choice(pool) for _ in range(chars))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tiny", action="store_true", help="a small text and one quick sample each")
    a = p.parse_args()
    chars = 20_000 if a.tiny else 1_000_000
    if a.tiny:
        harness.SCALE.update(sample_time=0.001, repeat=1, warmup=1)
    window = zelmo_micro.ContextApoptosis()
    print(f"{'text':<34} {'zelmo_micro':>12} {'str.encode':>12}  ({chars:,} characters)")
    for name in SCRIPTS:
        t = text(name, chars)
        window.set_purpose(t)
        if window.render() != t + "\n":
            raise AssertionError(f"{name}: the converted text does not come back unchanged")
        ours = harness.time_call(window.set_purpose, t)
        interp = harness.time_call(str.encode, t, "utf-8")
        print(f"{name:<34} {common.fmt_time(ours.median):>12} {common.fmt_time(interp.median):>12}")


if __name__ == "__main__":
    main()
