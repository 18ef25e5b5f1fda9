"""Running out of memory while a result is built: the interpreter's
MemoryError, with nothing lost; and a panic that can't even be built.

Each case runs in a child process under an address-space limit set just
above what the process already uses.
"""
import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))
# The sanitizer runtime reserves terabytes of address space up front, so no
# address-space limit can be set under it.
needs_limit = pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"),
                                 reason="needs RLIMIT_AS over /proc/self/statm")

PRELUDE = """
import resource
import zelmo_micro as z

def limit_to(extra):
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))

def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (resource.getrlimit(resource.RLIMIT_AS)[1],) * 2)
"""


def run_child(body):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout.strip(), done.stderr


@needs_limit
def test_drain_events_keeps_every_event_when_the_list_cannot_be_built():
    code, out, err = run_child("""
        n = 2_000_000
        bus = z.HormonalBus(1, n)
        for i in range(n):
            bus.secrete(i, float(i))
        limit_to(48 << 20)
        try:
            bus.drain_events(10**18)
        except MemoryError:
            outcome = "MemoryError"
        else:
            outcome = "no error"
        unlimit()
        got = []
        while True:
            chunk = bus.drain_events(250_000)
            if not chunk:
                break
            got.extend(chunk)
        in_order = all(f == i and x == float(i) for i, (f, x) in enumerate(got))
        print(outcome, len(got), in_order)
    """)
    assert (code, out, err) == (0, "MemoryError 2000000 True", "")


@needs_limit
@pytest.mark.parametrize("call", ["w.active_context()", "w.render()", "w.state_entries()"])
def test_results_too_big_for_memory_raise_memory_error(call):
    code, out, err = run_child(f"""
        w = z.ContextApoptosis()
        w.insert("x" * (64 << 20))
        w.note_state("y" * (64 << 20))
        limit_to(96 << 20)
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, e)
        unlimit()
        print(len(w), len(w.state_entries()[0]))
    """)
    assert (code, out.splitlines(), err) == (0, ["MemoryError", "1 67108864"], "")


def test_a_panic_that_cannot_be_built_raises_what_the_interpreter_raised():
    code, out, err = run_child("""
        def capacity_overflow():
            z.ContextApoptosis(capacity=2**63)

        try:
            capacity_overflow()
        except BaseException as e:
            panic = type(e)

        def refuse(self, *args):
            raise ValueError("no panic today")

        panic.__init__ = refuse
        for _ in range(3):
            try:
                capacity_overflow()
            except ValueError as e:
                print(e)
    """)
    assert (code, out.splitlines(), err) == (0, ["no panic today"] * 3, "")
