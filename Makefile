# Everything runs in a local virtual environment built from PyPI packages;
# nothing outside this directory is changed.
PYTHON ?= $(shell tools/find-python312)
VENV   ?= .venv
PY     := $(VENV)/bin/python
DEPS   := "numpy>=2" pytest hypothesis "scikit-build-core>=0.10" cmake ninja \
          dask distributed matplotlib pandas

.PHONY: demo test bench install clean

$(VENV)/.deps: Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check $(DEPS)
	touch $@

install: $(VENV)/.deps
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .

demo: install
	$(PY) -m hydrokit osmomech

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) benchmarks/bench_run.py
	$(PY) benchmarks/bench_sweep.py

clean:
	rm -rf build $(VENV)
