# The project's commands. `make test` sets everything up on a fresh machine:
# a local .venv, the build, the test dependencies; then it runs every test.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
STAMP  := $(VENV)/.tools-stamp
CPP_BUILD := build/cpp

.PHONY: all build test pytest cpptest demo bench clean

all: build

$(STAMP):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja
	touch $@

# Installs the extension (and its test extras) into .venv; rebuilds
# incrementally in build/wheel.
build: $(STAMP)
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

pytest: build
	$(VPY) -m pytest -q tests

cpptest: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DZELMO_CPP_TESTS=ON -DZELMO_BUILD_MODULE=OFF \
		-DPython_EXECUTABLE=$(abspath $(VPY)) > /dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

test: cpptest pytest

demo: build
	$(VPY) examples/agent_session.py

clean:
	rm -rf build
