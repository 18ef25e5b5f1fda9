"""A conversation loop on ContextApoptosis against the same window in plain
Python: per turn 4 inserts, dehydrate(absorb=True) and render, for 200 turns.
Prints best-of-N times and the ratio; asserts nothing.

    python bench/bench_window.py [turns]
"""
import re
import sys
import time

import zelmo_micro as z

REPEATS = 5
SPACE = re.compile(r"[\t\n\v\f\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


class PyWindow:
    """The window's rules in plain Python (double-precision oxygen)."""

    def __init__(self, half_life=2.0, safe_threshold=0.35, state_capacity=64):
        self.decay = 2.0 ** (-1.0 / max(half_life, 0.1))
        self.threshold = safe_threshold
        self.cap = max(state_capacity, 1)
        self.blocks, self.ledger, self.hashes, self.purpose = [], [], [], None
        self.inserted = self.reclaimed = 0

    def insert(self, content, signal=0, oxygen=-1.0):
        tokens = len(content.encode()) // 4 + 1
        self.inserted += tokens
        if oxygen < 0:
            oxygen = (4.0 if signal & 9 else 1.0 if signal & 6 else 0.15 if signal & 32
                      else 0.25 if signal & 16 else 0.6)
        self.blocks.append([content, oxygen, signal, tokens])

    @staticmethod
    def digest(text):
        joined = " ".join(w for w in SPACE.split(text) if w).encode()
        if len(joined) <= 120:
            return joined.decode()
        i = 120
        while i < len(joined) and joined[i] & 0xC0 == 0x80:
            i += 1
        return joined.decode() if i == len(joined) else joined[:i].decode() + "\u2026"

    def note_state(self, fact):
        h = hash(fact)
        if h in self.hashes:
            return False
        self.hashes.append(h)
        self.ledger.append(fact)
        if len(self.ledger) > self.cap:
            del self.ledger[0], self.hashes[0]
        return True

    def dehydrate(self, reinforce_boost=0.5, absorb=False):
        kept, digests = [], []
        for b in self.blocks:
            if b[2] & 9:
                b[1] += reinforce_boost
                kept.append(b)
                continue
            b[1] *= self.decay
            if b[1] >= self.threshold:
                kept.append(b)
            else:
                self.reclaimed += b[3]
                if absorb and b[2] & 6:
                    digests.append(self.digest(b[0]))
        purged = len(self.blocks) - len(kept)
        self.blocks = kept
        for d in digests:
            self.note_state(d)
        return purged

    def set_purpose(self, text):
        self.purpose = text

    def render(self):
        out = [] if self.purpose is None else [self.purpose, "\n"]
        if self.ledger:
            out.append("STATE:\n")
            out.extend(f"- {e}\n" for e in self.ledger)
        out.append("\n".join(b[0] for b in self.blocks))
        return "".join(out)


def turns(n):
    user = "Please look at the failing build on the release branch and tell me what changed. " * 2
    answer = "The linker now pulls in the old static library first; reorder the targets. " * 3
    tool = "$ make -j2\n" + "ld: warning: duplicate symbol in libold.a\n" * 8
    return [[(f"[{t}] {user}", z.USER), (f"[{t}] {tool}", z.TOOL),
             (f"[{t}] thinking about the order of the link line", z.THINKING),
             (f"[{t}] {answer}", z.ASSISTANT)] for t in range(n)]


def loop(window, script):
    window.set_purpose("You are a build engineer. Answer briefly.")
    window.insert("System rules: never push to main.", z.SYSTEM)
    text = ""
    for turn in script:
        for content, signal in turn:
            window.insert(content, signal)
        window.dehydrate(absorb=True)
        text = window.render()
    return text


def best(make, script):
    times, text = [], ""
    for _ in range(REPEATS):
        w = make()
        t0 = time.perf_counter()
        text = loop(w, script)
        times.append(time.perf_counter() - t0)
    return min(times), text


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    script = turns(n)
    t_native, native_text = best(z.ContextApoptosis, script)
    t_python, python_text = best(PyWindow, script)
    print(f"{n} turns of 4 inserts + dehydrate(absorb=True) + render")
    print(f"  native  {t_native * 1e3:9.3f} ms total, {t_native / n * 1e6:8.2f} us per turn")
    print(f"  python  {t_python * 1e3:9.3f} ms total, {t_python / n * 1e6:8.2f} us per turn")
    print(f"  speed-up {t_python / t_native:7.1f}x; same final render: {native_text == python_text}")


if __name__ == "__main__":
    main()
