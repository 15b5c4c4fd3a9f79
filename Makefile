# Everyday commands. PY_VERSION chooses the interpreter (3.14 by default).
PY_VERSION ?= 3.14
# Every version the project supports; test-all (what CI runs) tests on each in turn.
SUPPORTED_VERSIONS := 3.14 3.15
VENV ?= .venv-$(PY_VERSION)
PY := $(VENV)/bin/python
# Warnings are fatal in every build made through this file.
BUILD_FLAGS := -Ccmake.define.KESTROW_WERROR=ON

.PHONY: all install demo test sanitize bench clean

all: test

# The test suite on each supported version in turn, each in its own environment and build directory.
.PHONY: test-all
test-all:
	@set -e; for v in $(SUPPORTED_VERSIONS); do \
	    echo "== CPython $$v"; \
	    $(MAKE) --no-print-directory PY_VERSION=$$v VENV=.venv-$$v test; \
	done

$(VENV)/.bootstrapped: scripts/bootstrap scripts/provision-python
	scripts/bootstrap $(PY_VERSION) $(VENV)
	touch $@

install: $(VENV)/.bootstrapped
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation $(BUILD_FLAGS) .

demo: install
	$(VENV)/bin/kestrow run examples/wordstats_demo.py

test: install
	$(PY) -m pytest -q

# The suite against an AddressSanitizer + UBSan build of the extension, which turns a stale pointer
# or a read of freed memory into a report. `make install` puts the ordinary build back.
SANITIZER_RUNTIME = $$(c++ -print-file-name=libasan.so) $$(c++ -print-file-name=libubsan.so)
sanitize: $(VENV)/.bootstrapped
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation $(BUILD_FLAGS) \
		-Ccmake.define.KESTROW_SANITIZE=ON -Cbuild-dir=build/sanitize .
	LD_PRELOAD="$(SANITIZER_RUNTIME)" ASAN_OPTIONS=detect_leaks=0 $(PY) -m pytest -q -p no:cacheprovider --capture=sys

# Benchmarks: every workload untraced and under the floor, kestrow and the peers (several minutes).
# BENCH_ARGS passes options to the runner, e.g. BENCH_ARGS="--quick" or "--output results.json".
bench: install
	$(PY) benchmarks/build_floor.py
	$(PY) benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build .venv-* .pytest_cache
