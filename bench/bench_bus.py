"""Per-call cost of HormonalBus against a plain Python bus.

Measures single-thread `secrete` and `sense`, then two threads secreting into
the same bus at once. The Python bus keeps a list of floats and a deque of
events behind a threading.Lock. Prints timings and ratios; asserts nothing.

    python bench/bench_bus.py [calls]
"""
import collections
import sys
import threading
import time

import zelmo_micro as z

REPEATS = 5
FLAGS = 0b1011_0110  # five channels per deposit
MASK = 0xFFFF


class PyBus:
    """A lock-guarded pure-Python bus with the same deposit rules."""

    def __init__(self, num_signals=32, event_capacity=4096):
        self.n = min(max(num_signals, 1), 32)
        self.mask = (1 << self.n) - 1
        self.capacity = max(event_capacity, 1)
        self.lock = threading.Lock()
        self.channels = [0.0] * self.n
        self.secretions = 0
        self.events = collections.deque()

    def secrete(self, flags, intensity):
        with self.lock:
            bits = flags & self.mask
            while bits:
                low = bits & -bits
                self.channels[low.bit_length() - 1] += intensity
                bits ^= low
            self.secretions += 1
            if len(self.events) < self.capacity:
                self.events.append((flags, intensity))

    def sense(self, mask):
        with self.lock:
            bits = mask & self.mask
            total = 0.0
            while bits:
                low = bits & -bits
                total += self.channels[low.bit_length() - 1]
                bits ^= low
            return total


def best_seconds(run):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def secrete_loop(bus, calls):
    secrete = bus.secrete
    for _ in range(calls):
        secrete(FLAGS, 0.5)


def sense_loop(bus, calls):
    sense = bus.sense
    for _ in range(calls):
        sense(MASK)


def two_threads(bus, calls):
    threads = [threading.Thread(target=secrete_loop, args=(bus, calls // 2)) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def report(label, calls, native, python):
    print(f"{label:<26} native {native / calls * 1e9:8.1f} ns/call   python {python / calls * 1e9:8.1f} ns/call"
          f"   speed-up {python / native:5.2f}x")


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    print(f"{calls} calls per run, best of {REPEATS}, Python {sys.version.split()[0]}")
    # Rings large enough that every event of every run is recorded.
    make = {"native": lambda: z.HormonalBus(32, calls * REPEATS), "python": lambda: PyBus(32, calls * REPEATS)}
    for label, loop in (("secrete, 1 thread", secrete_loop), ("sense, 1 thread", sense_loop),
                        ("secrete, 2 threads", two_threads)):
        native_bus, python_bus = make["native"](), make["python"]()
        native = best_seconds(lambda: loop(native_bus, calls))
        python = best_seconds(lambda: loop(python_bus, calls))
        report(label, calls, native, python)


if __name__ == "__main__":
    main()
