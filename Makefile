# Everything runs in a local virtual environment built from PyPI packages;
# nothing outside this directory is changed.
PYTHON ?= $(shell tools/find-python312)
VENV   ?= .venv
PY     := $(VENV)/bin/python
DEPS   := "numpy>=2" pytest hypothesis "scikit-build-core>=0.11" cmake ninja \
          dask distributed matplotlib pandas mypy scipy

.PHONY: demo test bench install clean fuzz-long fuzz-flowsheets fuzz-hostile leaks-long sanitize sanitize-install fuzz-sanitized docs accuracy

$(VENV)/.deps: Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check $(DEPS)
	touch $@

install: $(VENV)/.deps
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .

demo: install
	$(PY) -m hydrokit flowsheet examples/seawater_ro.toml --units engineering
	$(PY) -m hydrokit report examples/seawater_ro.toml --out build/seawater_report.html

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) benchmarks/bench_run.py
	$(PY) benchmarks/bench_sweep.py

# The generated files the tests check: type stubs and the model reference.
docs: install
	$(PY) tools/gen_stubs.py
	$(PY) tools/gen_reference.py
	$(PY) tools/gen_checks.py

# docs/accuracy.md and its figure: the property correlations against the
# reference formulations of the iapws package (needed only here).
accuracy: install
	$(PY) -m pip install --quiet --disable-pip-version-check iapws
	$(PY) tools/accuracy.py

# Robustness: long fuzzing and leak runs over every model, with a summary.
fuzz-long: install
	$(PY) tools/robustness.py fuzz

fuzz-flowsheets: install
	$(PY) tools/robustness.py flowsheets

fuzz-hostile: install
	$(PY) tools/robustness.py hostile

leaks-long: install
	$(PY) tools/robustness.py leaks

# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# virtual environment and build directory of their own, and the whole test
# suite run against them. Output is captured at the Python level only, so a
# sanitizer report (written to file descriptor 2 just before the process
# ends) is never swallowed.
SAN_VENV ?= .venv-sanitize
SAN_PY   := $(SAN_VENV)/bin/python

$(SAN_VENV)/.deps: Makefile
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install --quiet --disable-pip-version-check $(DEPS)
	touch $@

sanitize-install: $(SAN_VENV)/.deps
	$(SAN_PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo -C cmake.define.HYDROKIT_SANITIZE=ON .

sanitize: sanitize-install
	SAN_VENV=$(SAN_VENV) tools/run-sanitized $(SAN_PY) -m pytest -q -p no:cacheprovider --capture=sys

# The long fuzz run against the sanitizer build: also catches a read next to a
# vector that leaves the output unchanged. Fewer examples: every call is slower.
fuzz-sanitized: sanitize-install
	SAN_VENV=$(SAN_VENV) tools/run-sanitized $(SAN_PY) tools/robustness.py fuzz --examples 20000 --argument-examples 2000

clean:
	rm -rf build $(VENV) $(SAN_VENV)
