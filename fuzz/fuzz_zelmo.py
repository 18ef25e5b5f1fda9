"""Fuzz entry point: `make fuzz` (FUZZ_SECONDS, default 600) and `make fuzz-ci`
(60 s) run it on the sanitized module, with libFuzzer's usual flags.

Each input is a program for fuzz/program.py, which calls every module function
and drives random method sequences on the two stateful classes against the
model of the module (tests/model.py). A crash, a hang (-timeout) or a Finding
(an exception outside a call's failure list, a valid call that failed, a
result that disagrees with the model) stops the run and leaves the input
under build/fuzz/artifacts/; once fixed, the input goes into
fuzz/regressions/, which tests/test_fuzz_regressions.py replays.
"""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Coverage of the harness and the model (which branch of which operation,
# which outcome, which rule of the model) guides the search; the module's C++
# is not instrumented.
with atheris.instrument_imports(include=["program", "model"]):
    import program


def test_one_input(data):
    program.run(data)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
