# Two entry points for a newcomer: `make demo` and `make test`. Each creates
# the virtual environment and installs what it needs by itself.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
WERROR ?= ON

.PHONY: demo test install venv clean

$(VENV)/bin/python:
	"$$(scripts/find-python.sh)" -m venv $(VENV)

venv: $(VENV)/bin/python

# The package, built from this checkout (incremental: build/ keeps the CMake tree).
install: venv
	$(PIP) install --quiet --disable-pip-version-check scikit-build-core cmake ninja
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation \
		-C cmake.define.KORBIX_WERROR=$(WERROR) ".[test]"

test: install
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)

demo: install
	$(PY) -c "import korbix.core.summarizer as s; print(s.__doc__)"

clean:
	rm -rf build $(VENV)
