# Everyday commands. PY_VERSION chooses the interpreter (3.14 by default).
PY_VERSION ?= 3.14
# Every version the project supports; test-all (what CI runs) tests on each in turn.
SUPPORTED_VERSIONS := 3.14 3.15
VENV ?= .venv-$(PY_VERSION)
PY := $(VENV)/bin/python
# Warnings are fatal in every build made through this file.
BUILD_FLAGS := -Ccmake.define.KESTROW_WERROR=ON

.PHONY: all install demo test bench clean

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

# Benchmarks: every workload untraced and under the floor, kestrow and the peers (several minutes).
# BENCH_ARGS passes options to the runner, e.g. BENCH_ARGS="--quick" or "--output results.json".
bench: install
	$(PY) benchmarks/build_floor.py
	$(PY) benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build .venv-* .pytest_cache

# Reference leaks: the extension built against the debug interpreter, every test repeated with the
# total reference count required to stay put (tests/refleak.py).
VENV_DEBUG ?= .venv-$(PY_VERSION)d
PYD := $(VENV_DEBUG)/bin/python

$(VENV_DEBUG)/.bootstrapped: scripts/bootstrap-debug scripts/provision-python
	scripts/bootstrap-debug $(PY_VERSION) $(VENV_DEBUG)
	touch $@

.PHONY: refleak asan
refleak: $(VENV_DEBUG)/.bootstrapped
	$(PYD) -m pip install -q --disable-pip-version-check --no-build-isolation $(BUILD_FLAGS) .
	$(PYD) -m pytest -q -p tests.refleak --refleak

# Memory errors: the extension built with AddressSanitizer and UndefinedBehaviorSanitizer in its own
# environment, the whole suite run on it. The interpreter is not instrumented, so the runtime is
# preloaded; PYTHONMALLOC=malloc hands every object to the sanitizer's allocator, so a use after
# free or an overflow of a Python object is caught too. Leaks are checked at exit (scripts/lsan.supp
# holds the interpreter's own).
VENV_ASAN ?= .venv-$(PY_VERSION)-asan
PYA := $(VENV_ASAN)/bin/python
SANITIZER_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Leaks are looked for in the pytest process, where the suite runs. The child processes some tests
# start (crash isolation, other interpreter settings) run under the sanitizers too, but without
# the leak check: an interpreter that ends without freeing everything is no fault of ours.
# Tests whose threads end with the tracer installed and threading.current_thread as concur_id_func
# make threading allocate a handle for a dummy thread that it never frees; they run without the
# leak check, memory errors still checked.
ASAN_LEAK_UNCHECKED = tests/test_concurrency_stacks.py tests/test_threads_shared.py
export ASAN_PYTEST = import os, sys, pytest; \
	os.environ["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"].replace("detect_leaks=1", "detect_leaks=0"); \
	sys.exit(pytest.main(["-q", "-p", "no:cacheprovider"] + sys.argv[1:]))

$(VENV_ASAN)/.bootstrapped: scripts/bootstrap scripts/provision-python
	scripts/bootstrap $(PY_VERSION) $(VENV_ASAN)
	touch $@

asan: $(VENV_ASAN)/.bootstrapped
	$(PYA) -m pip install -q --disable-pip-version-check --no-build-isolation $(BUILD_FLAGS) \
		-Ccmake.define.KESTROW_SANITIZE=ON -Cbuild-dir=build/asan .
	$(SANITIZER_ENV) $(PYA) -c "import kestrow.tracer, sys; sys.exit('libubsan' not in open('/proc/self/maps').read())" \
		|| { echo "asan: the installed kestrow.tracer is not the sanitizer build" >&2; exit 1; }
	$(SANITIZER_ENV) $(PYA) -c "$$ASAN_PYTEST" $(foreach f,$(ASAN_LEAK_UNCHECKED),--ignore=$(f))
	$(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 $(PYA) -c "$$ASAN_PYTEST" $(ASAN_LEAK_UNCHECKED)
