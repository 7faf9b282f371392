# make test | make demo | make bench: each bootstraps .venv, builds and installs the
# package, then runs. make dev builds the modules into src/ for quick iteration.
# `make` alone lists the targets.
SHELL := /bin/bash
.DEFAULT_GOAL := help

# Python 3.12 by default: python3.12 on PATH if it runs, else pyenv's 3.12 (see
# DEVELOPERS.md). PYTHON=/path/to/python3.13 (or 3.14, 3.15) builds and tests on
# that version instead, with its own venv and build folders so that the versions
# stay ready side by side. make test-pythons tests 3.14 and 3.15 in a Debian root.
PYTHON ?= $(shell \
  if python3.12 -c 'import sys' >/dev/null 2>&1; then command -v python3.12; \
  else ls -d $$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1; fi)
SUPPORTED_PYTHONS := 3.12 3.13 3.14 3.15
PYTHON_VERSION := $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
# 3.12 keeps the historical names; any other version gets a suffix.
SUFFIX := $(if $(filter 3.12,$(PYTHON_VERSION)),,-$(PYTHON_VERSION))
VENV ?= .venv$(SUFFIX)
BUILD ?= build/wheel$(SUFFIX)
DOCS_BUILD ?= build/docs$(SUFFIX)
DEV_BUILD ?= build/dev$(SUFFIX)
DEV_TARGET ?= all
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: help test test-pythons test-asan mutate demo bench bench-instructions docs install extras system-tools dev check-python clean

help:
	@echo "make test          build, install every optional extra and run the tests"
	@echo "make demo          build and run examples/demo.py (a live pipeline; DEMO_ARGS=--web for the page)"
	@echo "make bench         build and run the benchmarks in bench/"
	@echo "make bench-instructions  callgrind's instructions per value of the shared chain"
	@echo "make mutate        mutation testing of the Python layer (MODULES="record nodes/filters.py" for some; MUTANTS, MINUTES)"
	@echo "make docs          build the HTML API reference into $(DOCS_BUILD) (warnings are errors)"
	@echo "make install       build and install the package into $(VENV)"
	@echo "make dev           build the modules into src/ (then PYTHONPATH=src)"
	@echo "make test-pythons  make test on Python 3.14 and 3.15 in a Debian development-suite root (as root; the root is kept in build/pyroot)"
	@echo "make test-asan     the tests against modules built with ASan and UBSan (slow)"
	@echo "make system-tools  install Graphviz, headless Chromium, Mosquitto and iproute2 from Debian packages when missing and possible"
	@echo "make clean         remove build folders and in-tree modules"

check-python:
	@if [ -z "$(PYTHON)" ] || [ -z "$(filter $(SUPPORTED_PYTHONS),$(PYTHON_VERSION))" ]; then \
	  echo "error: no supported Python ($(SUPPORTED_PYTHONS)) found (PYTHON='$(PYTHON)' is '$(or $(PYTHON_VERSION),not runnable)'). Put python3.12 on PATH, set PYENV_VERSION, or run make PYTHON=/path/to/python3.13 (or 3.14, 3.15); make test-pythons tests 3.14 and 3.15 in a Debian root" >&2; \
	  exit 1; fi
	@python3=$$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable), "%d.%d" % sys.version_info[:2])' 2>/dev/null); \
	if [ "$${python3% *}" != "$$("$(PYTHON)" -c 'import os, sys; print(os.path.realpath(sys.executable))')" ]; then \
	  if [ -n "$$python3" ]; then other="Python $${python3##* } at $${python3% *}"; else other="not found"; fi; \
	  echo "make: using $(PYTHON) (Python $(PYTHON_VERSION)), not python3 ($$other)"; fi

$(VENV)/.ready: | check-python
	"$(PYTHON)" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=3.1" cmake ninja "pytest>=8" "hypothesis>=6"
	touch $@

# -v: pip passes on the build's own progress (CMake, then ninja's [n/N] lines).
install: $(VENV)/.ready check-python
	$(PY) -m pip install -v --no-build-isolation --no-deps -Cbuild-dir=$(BUILD) .

# The requirements of every optional extra in pyproject.toml (the package itself,
# named by an extra that includes another, is already installed by `install`).
$(VENV)/.extras: pyproject.toml $(VENV)/.ready
	$(PY) -c 'import re, tomllib; extras = tomllib.load(open("pyproject.toml", "rb"))["project"].get("optional-dependencies", {}); print("\n".join(sorted({r for reqs in extras.values() for r in reqs if re.split(r"[^A-Za-z0-9_.-]", r, maxsplit=1)[0].lower() != "velarix"})))' > $(VENV)/extras.txt
	@# A requirement that installs in no way on this version (no wheel, no build)
	@# leaves its tests to skip; all the others are still installed.
	$(PY) -m pip install --quiet -r $(VENV)/extras.txt || while read -r requirement; do \
	  $(PY) -m pip install --quiet "$$requirement" || \
	    echo "note: $$requirement does not install on Python $(PYTHON_VERSION); the tests that need it will skip"; \
	done < $(VENV)/extras.txt
	touch $@

extras: $(VENV)/.extras

# Debian's tools for the tests that use them (they skip when one is missing):
# Graphviz's dot parses and draws graphs, headless Chromium opens the live page,
# Mosquitto is the MQTT broker the connector tests start.
SYSTEM_TOOLS := dot:graphviz chromium:chromium chromedriver:chromium-driver mosquitto:mosquitto ip:iproute2
# Servers such as mosquitto live in /usr/sbin, outside a user's PATH.
system-tools: export PATH := $(PATH):/usr/sbin
system-tools:
	@missing=$$(for pair in $(SYSTEM_TOOLS); do command -v $${pair%%:*} >/dev/null || echo $${pair#*:}; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null && command -v apt-get >/dev/null; then \
	    sudo -n apt-get update -qq && sudo -n env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  fi; \
	fi || true
	@for pair in $(SYSTEM_TOOLS); do command -v $${pair%%:*} >/dev/null || \
	  echo "note: $${pair#*:} is not installed; the tests that need it will skip"; done

test: install extras system-tools docs
	$(PY) tools/check_bare_calls.py
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

# Mutation testing of src/velarix's Python files against a copy with the installed
# compiled modules (tools/mutate.py): each mutant runs the tests of its module.
# Not part of make test. MUTANTS caps the run (a stable sample) and MINUTES starts
# no mutant whose tests would end after that long, so that a sample of all of
# src/velarix ends within 20 minutes on two cores (each module's tests also run
# once unmutated first); MUTANTS=0 MINUTES=0 runs every mutant of MODULES.
MODULES ?=
MUTANTS ?= 60
MINUTES ?= 18
mutate: install extras
	nice -n 19 $(PY) tools/mutate.py --mutants $(MUTANTS) --minutes $(MINUTES) $(MODULES)

# make test on 3.14 and 3.15 inside a Debian development-suite root made (once)
# with debootstrap in build/pyroot; see tools/test_pythons.sh.
test-pythons:
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test_pythons.sh

# The API reference from the docstrings of the installed package, with the README's
# concepts (docs/concepts.md includes them). Part of make test, so it stays buildable.
docs: install extras
	$(PY) -m sphinx -b html -W --keep-going -q docs $(DOCS_BUILD)

# make demo DEMO_ARGS="--web --screenshot demo-logs/page.png" serves the run as a page too.
DEMO_ARGS ?=
demo: install extras
	$(PY) examples/demo.py $(DEMO_ARGS)

bench: install extras
	$(PY) bench/run.py

# Instructions per value by callgrind (valgrind; slow), comparable across machines.
bench-instructions: install extras
	$(PY) bench/run.py --instructions

# In-tree build for development: modules land in src/velarix/imp; run tests with
# PYTHONPATH=src. DEV_TARGET picks one module, DEV_BUILD a private build folder.
dev: $(VENV)/.ready check-python
	@test -f $(DEV_BUILD)/CMakeCache.txt || $(VENV)/bin/cmake -S . -B $(DEV_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DVELARIX_INPLACE=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(DEV_BUILD) --target $(DEV_TARGET)

# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer next to a
# copy of the Python package in $(ASAN_BUILD)/pkg, and the tests run against them
# with the sanitizer runtime preloaded into the (uninstrumented) interpreter. Not
# part of .ci/run: it takes several times as long as make test. A small quarantine
# keeps freed memory from piling up, which the memory-growth tests would take for a
# leak.
ASAN_BUILD ?= build/asan$(SUFFIX)
# ASAN_TESTS=tests/test_x.py runs part of the suite (PYTEST_ARGS="-k ..." narrows it).
ASAN_TESTS ?= tests
# libstdc++ goes in with the runtime: the interpreter does not load it itself, and
# the runtime's __cxa_throw interceptor must find it at start-up.
ASAN_RUNTIME = $(shell $${CXX:-c++} -print-file-name=libasan.so) $(shell $${CXX:-c++} -print-file-name=libstdc++.so)
test-asan: $(VENV)/.ready
	@test -f $(ASAN_BUILD)/CMakeCache.txt || $(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DVELARIX_INPLACE=ON -DVELARIX_SANITIZE=ON \
	  -DVELARIX_MODULE_DIR=$(abspath $(ASAN_BUILD))/pkg/velarix/imp -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cd src && find velarix -type f ! -name '*.so' ! -path '*/__pycache__/*' -exec install -D -m 644 {} $(abspath $(ASAN_BUILD))/pkg/{} \;
	$(VENV)/bin/cmake --build $(ASAN_BUILD) --target all
	@# The reports go to files: a sanitizer that stops the run would take what it
	@# wrote to pytest's captured stderr with it.
	rm -f $(ASAN_BUILD)/report.*
	PYTHONPATH=$(ASAN_BUILD)/pkg LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=4:log_path=$(abspath $(ASAN_BUILD))/report \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(ASAN_BUILD))/report \
	  $(PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS) $(PYTEST_ARGS) || \
	  { cat $(ASAN_BUILD)/report.* 2>/dev/null; exit 1; }

clean:
	rm -rf build src/velarix/imp/*.so

