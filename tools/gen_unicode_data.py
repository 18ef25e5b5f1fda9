#!/usr/bin/env python3
"""Generate src/generated/unicode_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt (by
default from /usr/share/unicode, where Debian's `unicode-data` package puts
them) and writes the character tables that src/core/unicode_data.h declares. The
output is deterministic: the same UCD files give the same bytes.

Table layout (kept in step with src/core/unicode_data.h):

  value(c)  = kStage2[(kStage1[c >> kBlockShift] << kBlockShift) | (c & mask)]
              for c < 0x110000; a 16-bit word:
    bit 0     Alphabetic
    bit 1     numeric (general category Nd, Nl or No)
    bit 2     Cased
    bit 3     Case_Ignorable
    bits 4-15 lowering index: 0 maps c to itself; 1 .. kLowerDeltaCount maps
              c to c + kLowerDelta[index - 1]; larger indexes name an entry
              of kLowerMulti (the unconditional multi-character lower-case
              mappings of SpecialCasing.txt, such as U+0130).

Usage:
  python3 tools/gen_unicode_data.py                 # rewrite src/generated/unicode_tables.cpp
  python3.11 tools/gen_unicode_data.py --lower-diff tests/data/unicode_lower_diff.txt
      # list the code points where the running interpreter's own character
      # database disagrees with ours on lower-casing, Cased or Case_Ignorable
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import unicodedata

MAX_CP = 0x110000
BLOCK_SHIFT = 7  # chosen by measurement: 128-entry blocks keep stage 2 small

ALPHABETIC = 1
NUMERIC = 2
CASED = 4
CASE_IGNORABLE = 8
FLAG_BITS = 4
MAX_LOWER_INDEX = (1 << (16 - FLAG_BITS)) - 1
MAX_MULTI_LEN = 3

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Ucd:
    """The parts of the character database that the tables are made of."""

    def __init__(self, version: str, flags: list[int], lower: list[tuple[int, ...]]):
        self.version = version
        self.flags = flags  # per code point: ALPHABETIC | NUMERIC | CASED | CASE_IGNORABLE
        self.lower = lower  # per code point: full lower-case mapping (context-free)


def _data_lines(path: str):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def _cp_range(field: str) -> range:
    lo, _, hi = field.partition("..")
    return range(int(lo, 16), int(hi or lo, 16) + 1)


def _ucd_version(path: str) -> str:
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    m = re.match(r"#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        sys.exit(f"cannot read the Unicode version from {path}")
    return m.group(1)


def load_ucd(ucd_dir: str) -> Ucd:
    derived = os.path.join(ucd_dir, "DerivedCoreProperties.txt")
    version = _ucd_version(derived)
    flags = [0] * MAX_CP
    lower: list[tuple[int, ...]] = [(cp,) for cp in range(MAX_CP)]

    # UnicodeData.txt: general category (numeric) and simple lower-case mapping.
    # Large blocks are given as a "<..., First>" / "<..., Last>" pair of lines.
    range_start = None
    for fields in _data_lines(os.path.join(ucd_dir, "UnicodeData.txt")):
        cp, name, category, simple_lower = int(fields[0], 16), fields[1], fields[2], fields[13]
        if name.endswith(", First>"):
            range_start = cp
            continue
        first = range_start if name.endswith(", Last>") else cp
        range_start = None
        for c in range(first, cp + 1):
            if category in ("Nd", "Nl", "No"):
                flags[c] |= NUMERIC
            if simple_lower:
                lower[c] = (int(simple_lower, 16),)

    # SpecialCasing.txt: only the unconditional entries (no condition list).
    # Final_Sigma is applied by the code; language-tailored rules are not used.
    for fields in _data_lines(os.path.join(ucd_dir, "SpecialCasing.txt")):
        if len(fields) > 4 and fields[4]:
            continue
        cp = int(fields[0], 16)
        lower[cp] = tuple(int(x, 16) for x in fields[1].split())

    wanted = {"Alphabetic": ALPHABETIC, "Cased": CASED, "Case_Ignorable": CASE_IGNORABLE}
    for fields in _data_lines(derived):
        bit = wanted.get(fields[1])
        if bit:
            for c in _cp_range(fields[0]):
                flags[c] |= bit
    return Ucd(version, flags, lower)


def encode_values(ucd: Ucd):
    """Per-code-point 16-bit values plus the delta and multi-character lists."""
    deltas: dict[int, int] = {}
    multis: dict[tuple[int, ...], int] = {}
    lower_index = [0] * MAX_CP
    for cp in range(MAX_CP):
        m = ucd.lower[cp]
        if m == (cp,):
            continue
        if len(m) == 1:
            lower_index[cp] = deltas.setdefault(m[0] - cp, len(deltas) + 1)
        else:
            if len(m) > MAX_MULTI_LEN:
                sys.exit(f"U+{cp:04X}: lower-case mapping longer than {MAX_MULTI_LEN}")
            multis.setdefault(m, len(multis))
            lower_index[cp] = -1 - multis[m]  # resolved once the delta count is known
    delta_list = sorted(deltas, key=deltas.get)
    multi_list = sorted(multis, key=multis.get)
    values = []
    for cp in range(MAX_CP):
        idx = lower_index[cp]
        if idx < 0:
            idx = len(delta_list) + 1 + (-1 - idx)
        if idx > MAX_LOWER_INDEX:
            sys.exit("too many distinct lower-case mappings for the 12-bit index")
        values.append(ucd.flags[cp] | (idx << FLAG_BITS))
    return values, delta_list, multi_list


def two_stage(values: list[int], shift: int):
    """Split `values` into deduplicated blocks of 1 << shift entries."""
    size = 1 << shift
    blocks: dict[tuple[int, ...], int] = {}
    stage1 = []
    for start in range(0, len(values), size):
        block = tuple(values[start:start + size])
        stage1.append(blocks.setdefault(block, len(blocks)))
    stage2 = [v for block in sorted(blocks, key=blocks.get) for v in block]
    return stage1, stage2


def _rows(values, per_line: int, fmt: str) -> str:
    lines = []
    for i in range(0, len(values), per_line):
        lines.append("    " + ",".join(fmt.format(v) for v in values[i:i + per_line]) + ",")
    return "\n".join(lines)


def render_cpp(ucd: Ucd) -> str:
    values, delta_list, multi_list = encode_values(ucd)
    stage1, stage2 = two_stage(values, BLOCK_SHIFT)
    block_count = len(stage2) >> BLOCK_SHIFT
    if block_count > 256:
        sys.exit(f"{block_count} distinct blocks do not fit the 8-bit stage 1")
    multi_rows = "\n".join(
        "    {{{{{}}}, {}}},".format(", ".join(f"0x{c:04X}" for c in m + (0,) * (MAX_MULTI_LEN - len(m))),
                                   len(m))
        for m in multi_list)
    return f"""\
// Unicode {ucd.version} character tables. GENERATED by tools/gen_unicode_data.py
// from UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt;
// do not edit by hand, rerun the script instead. Layout: see src/core/unicode_data.h.
#include <cstdint>
#include <string_view>

#include "core/unicode_data.h"

namespace zelmo::unicode::detail {{

static_assert(std::string_view(kUnicodeVersion) == "{ucd.version}", "header and tables disagree on the version");
static_assert(kBlockShift == {BLOCK_SHIFT}, "header and tables disagree on the block size");
static_assert(kLowerDeltaCount == {len(delta_list)}, "header and tables disagree on the delta count");
static_assert(kLowerMultiCount == {len(multi_list)}, "header and tables disagree on the multi-character count");
static_assert(kStage1Size == {len(stage1)}, "header and tables disagree on the stage-1 size");

// Block number of each run of {1 << BLOCK_SHIFT} code points ({block_count} distinct blocks).
const std::uint8_t kStage1[kStage1Size] = {{
{_rows(stage1, 32, "{}")}
}};

// Blocks of 16-bit values: flag bits 0-3, lowering index in bits 4-15.
const std::uint16_t kStage2[{len(stage2)}] = {{
{_rows(stage2, 16, "{}")}
}};

// Lowering index i (1 .. kLowerDeltaCount) maps c to c + kLowerDelta[i - 1].
const std::int32_t kLowerDelta[kLowerDeltaCount] = {{
{_rows(delta_list, 12, "{}")}
}};

// Lowering index kLowerDeltaCount + 1 + j maps c to kLowerMulti[j].
const LowerMulti kLowerMulti[kLowerMultiCount] = {{
{multi_rows}
}};

}}  // namespace zelmo::unicode::detail
"""


# --- Comparison with the running interpreter's character database ----------

def _python_cased(ch: str) -> bool:
    # Cased = Lowercase or Uppercase or titlecase letter; a single cased
    # character answers True to exactly one of these predicates.
    return ch.islower() or ch.isupper() or ch.istitle()


def _python_case_ignorable(ch: str, cased: bool) -> bool:
    # The interpreter keeps Case_Ignorable private but uses it for the final
    # sigma: a capital sigma lowers to U+03C2 only when, skipping ignorable
    # characters backwards, a cased character precedes it.
    if cased:
        # Alone before the sigma: skipped when ignorable (nothing cased
        # precedes, U+03C3); otherwise it is the cased predecessor (U+03C2).
        return (ch + "\u03a3").lower()[-1] == "\u03c3"
    # Between a cased letter and the sigma: skipped when ignorable (U+03C2).
    return ("A" + ch + "\u03a3").lower()[-1] == "\u03c2"


def python_lower_diff(ucd: Ucd) -> list[int]:
    """Code points whose lower-casing, Cased or Case_Ignorable differ between
    our tables and the character database of the interpreter running this."""
    diff = []
    for cp in range(MAX_CP):
        if 0xD800 <= cp <= 0xDFFF:
            continue  # surrogates never reach the lower-casing (not valid UTF-8)
        ch = chr(cp)
        cased = _python_cased(ch)
        ours = ucd.flags[cp]
        if (tuple(map(ord, ch.lower())) != ucd.lower[cp]
                or cased != bool(ours & CASED)
                or _python_case_ignorable(ch, cased) != bool(ours & CASE_IGNORABLE)):
            diff.append(cp)
    return diff


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ucd-dir", default="/usr/share/unicode",
                        help="directory holding the UCD text files (default: %(default)s)")
    parser.add_argument("--out", default=os.path.join(REPO_ROOT, "src", "generated", "unicode_tables.cpp"),
                        help="generated C++ file (default: src/generated/unicode_tables.cpp)")
    parser.add_argument("--lower-diff", metavar="PATH",
                        help="instead of the tables, write the code points (hex, one per line) where "
                             "this interpreter's character database differs from the UCD files")
    args = parser.parse_args()

    ucd = load_ucd(args.ucd_dir)
    if args.lower_diff:
        diff = python_lower_diff(ucd)
        with open(args.lower_diff, "w", encoding="ascii", newline="\n") as f:
            f.write("".join(f"{cp:04X}\n" for cp in diff))
        print(f"{len(diff)} code points differ between Unicode {ucd.version} and "
              f"this interpreter's {unicodedata.unidata_version}")
        return 0

    text = render_cpp(ucd)
    with open(args.out, "w", encoding="ascii", newline="\n") as f:
        f.write(text)
    print(f"wrote {args.out} ({len(text)} bytes, Unicode {ucd.version})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
