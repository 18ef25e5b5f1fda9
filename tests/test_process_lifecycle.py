"""The module across the process's life: exit with daemon threads inside a
lock-free section, and fork while other threads are inside one.

Each case runs in a child process, several times over, because the faults
they guard against depend on where the other threads happen to be.
"""
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import zelmo_micro as z

SANITIZED = bool(os.environ.get("ZELMO_SANITIZED"))
# Bounds on a child's whole life: a hung child fails its case instead of
# hanging the run. Far beyond what the work takes.
CHILD_SECONDS = 30 * (4 if SANITIZED else 1)

# A child whose main thread returns while daemon threads loop on one
# operation; `{setup}` builds the objects, `{call}` is the loop's body.
EXIT_SCRIPT = """
import threading, time
import zelmo_micro as z
{setup}
started = threading.Barrier(5)
def loop():
    started.wait()
    while True:
        {call}
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
started.wait()
time.sleep(0.05)
"""

EXIT_CASES = {
    "window-dehydrate": (
        "w = z.ContextApoptosis(capacity=200_000)\n"
        "for i in range(200_000): w.insert('s', z.SYSTEM)",
        "w.dehydrate()",
    ),
    "module-dehydrate": (
        "history = [('m%d' % i, z.USER) for i in range(100_000)]",
        "z.dehydrate(history)",
    ),
    "bus-secrete": ("bus = z.HormonalBus(8, 1 << 12)", "bus.secrete(3, 1.0); bus.drain_events(64)"),
    "bus-inject": ("bus = z.HormonalBus(8, 1 << 12); sig = z.HormonalSignal(5, 0.5)",
                   "bus.inject(sig); bus.drain_events(64)"),
    "bus-sense-tick": ("bus = z.HormonalBus(8)", "bus.sense(255); bus.tick(0.5)"),
}


@pytest.mark.parametrize("case", sorted(EXIT_CASES))
def test_exit_with_daemon_threads_inside_lock_free_sections(case):
    setup, call = EXIT_CASES[case]
    script = EXIT_SCRIPT.format(setup=setup, call=call)
    for _ in range(6):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=CHILD_SECONDS)
        assert (done.returncode, done.stderr) == (0, "")


# --- fork -----------------------------------------------------------------

FORKS = 40


def _window_of_system_blocks(n):
    w = z.ContextApoptosis(capacity=n)
    for i in range(n):
        w.insert(f"s{i}", z.SYSTEM)
    return w


class Hammer:
    """Threads that keep calling lock-free operations until stopped."""

    def __init__(self, window, bus):
        self.stop = threading.Event()
        self.threads = [
            threading.Thread(target=self._loop, args=(fn,), daemon=True)
            for fn in (window.dehydrate, window.dehydrate, lambda: bus.secrete(1, 1.0),
                       lambda: z.dehydrate([("m", z.USER)] * 2000))
        ]

    def _loop(self, fn):
        while not self.stop.is_set():
            fn()

    def __enter__(self):
        for t in self.threads:
            t.start()
        time.sleep(0.01)
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for t in self.threads:
            t.join(CHILD_SECONDS)


def _use_everything(window, bus):
    """What a child does with the objects it inherited; returns normally only
    when every call came back."""
    held = len(window)
    window.insert("child block", z.USER)
    window.dehydrate()
    window.note_state("child fact")
    assert window.render().endswith("child block")
    assert len(window) == held + 1
    bus.secrete(2, 1.0)
    bus.drain_events(1 << 20)
    assert bus.sense(2) >= 1.0
    z.dehydrate([("x", z.USER)])


def _wait_child(pid, seconds):
    """The child's exit status, or None when it did not exit in time (it is
    killed then: a deadlocked child must fail the test, not hang it)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


@pytest.fixture
def fork_warnings_off():
    # Python 3.12+ warns about fork() in a process with threads; that is the
    # very situation under test.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        yield


@pytest.mark.usefixtures("fork_warnings_off")
def test_os_fork_while_threads_are_inside_lock_free_sections():
    window = _window_of_system_blocks(50_000)
    bus = z.HormonalBus(4, 1 << 16)
    statuses = []
    with Hammer(window, bus):
        for _ in range(FORKS):
            pid = os.fork()
            if pid == 0:  # pragma: no cover - the child
                code = 1
                try:
                    _use_everything(window, bus)
                    code = 0
                finally:
                    os._exit(code)
            statuses.append(_wait_child(pid, CHILD_SECONDS))
            if statuses[-1] != 0:
                break
    assert statuses == [0] * FORKS


def _child_target(window, bus):
    _use_everything(window, bus)


@pytest.mark.usefixtures("fork_warnings_off")
def test_multiprocessing_fork_while_threads_are_inside_lock_free_sections():
    ctx = multiprocessing.get_context("fork")
    window = _window_of_system_blocks(50_000)
    bus = z.HormonalBus(4, 1 << 16)
    codes = []
    with Hammer(window, bus):
        for _ in range(FORKS // 2):
            p = ctx.Process(target=_child_target, args=(window, bus))
            p.start()
            p.join(CHILD_SECONDS)
            if p.exitcode is None:
                p.kill()
                p.join()
            codes.append(p.exitcode)
            if p.exitcode != 0:
                break
    assert codes == [0] * (FORKS // 2)
