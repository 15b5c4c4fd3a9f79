# Everyday commands. PY_VERSION chooses the interpreter (3.14 by default).
PY_VERSION ?= 3.14
VENV ?= .venv-$(PY_VERSION)
PY := $(VENV)/bin/python
# Warnings are fatal in every build made through this file.
BUILD_FLAGS := -Ccmake.define.KESTROW_WERROR=ON

.PHONY: all install demo test bench clean

all: test

$(VENV)/.bootstrapped: scripts/bootstrap scripts/provision-python
	scripts/bootstrap $(PY_VERSION) $(VENV)
	touch $@

install: $(VENV)/.bootstrapped
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation $(BUILD_FLAGS) .

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

# Benchmarks: every workload untraced and under the floor, kestrow and the peers (several minutes).
# BENCH_ARGS passes options to the runner, e.g. BENCH_ARGS="--quick" or "--output results.json".
bench: install
	$(PY) benchmarks/build_floor.py
	$(PY) benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build .venv-* .pytest_cache
