"""Reference-leak check for the test suite, on a debug interpreter (sys.gettotalrefcount).

Enable with `-p tests.refleak --refleak` (or KESTROW_REFLEAK=1 with the plugin loaded). Each test
runs its whole protocol (fixture setup, call, teardown) several times: first some warm-up runs,
which fill the caches that live for the process (interned strings, the type cache, the tracer's
shared line-number ints, lazily imported modules), then the measured runs. Between runs the
garbage is collected and the interpreter's own caches cleared; a test fails when the total
reference count grew in every one of its measured runs, which is what a leak of even one reference
per run does. Only the last run is reported, so a test's ordinary failure still shows as such.

A test can opt out with `@pytest.mark.refleak_skip(reason)`; EXCLUDED below names whole groups,
each with its reason.
"""

from __future__ import annotations

import gc
import os
import sys
from typing import Any

import pytest
from _pytest.runner import runtestprotocol

# node id prefix -> why its reference count cannot be held still from run to run.
EXCLUDED: dict[str, str] = {
    # Hypothesis keeps growing caches of generated strategies and examples for the whole session
    # and draws different examples on every run, so its counts differ between runs for reasons of
    # its own; the engine paths it drives are the ones the rest of the suite checks one by one.
    "tests/test_fuzz.py": "hypothesis caches examples and strategies across runs",
    # CPython's own test modules keep module-level state (warnings registries, caches of parsed
    # data) that changes with each run; their tracing paths are the ones the engine tests cover.
    "tests/test_real_programs.py": "runs CPython's regression tests, whose module state changes per run",
}
# These run threads that end with the tracer still installed and threading.current_thread as
# concur_id_func: the calls made after a thread has left threading's registry make threading
# register a dummy thread for it, kept (with its handle) for the rest of the process. That is
# threading's doing and grows the count by a fixed amount per thread.
_DUMMY_THREADS = "threading keeps a dummy thread for each thread that ends while traced"
EXCLUDED.update({
    # Pure-Python file selection, no tracer involved: run alone a case holds nothing, but after
    # the cases before it, the cases with omit patterns grow the count by 3 per run in the
    # standard library's pattern matching (which of them depends on the order of the run).
    "tests/test_collector.py::test_source_roots_and_omit_patterns[":
        "no tracer involved; a standard-library cache grows after the cases before it",
    "tests/test_concurrency_stacks.py::test_threads_sharing_a_tracer_record_their_own_frames":
        _DUMMY_THREADS,
    "tests/test_concurrency_stacks.py::test_many_threads_and_dead_ids": _DUMMY_THREADS,
    "tests/test_concurrency_stacks.py::test_one_context_at_a_time_across_threads": _DUMMY_THREADS,
    "tests/test_threads_shared.py::test_threads_sharing_one_tracer[stack per thread":
        _DUMMY_THREADS,
    "tests/test_threads_shared.py::test_line_events_while_another_thread_adds_concurrency_contexts":
        _DUMMY_THREADS,
})


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("refleak", "reference-leak check (debug interpreter)")
    group.addoption("--refleak", action="store_true", default=bool(os.environ.get("KESTROW_REFLEAK")),
                    help="repeat each test and fail it when the total reference count grows")
    group.addoption("--refleak-warmup", type=int, default=2, help="unmeasured runs first (default 2)")
    group.addoption("--refleak-runs", type=int, default=3, help="measured runs (default 3)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "refleak_skip(reason): not repeated by the reference-leak check")
    if config.getoption("--refleak") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs a debug interpreter (sys.gettotalrefcount)")
    if config.getoption("--refleak") and not _extension_counts_references():
        raise pytest.UsageError("kestrow.tracer was compiled without Py_DEBUG: its reference "
                                "changes are not counted (rebuild it against the debug headers)")


def _extension_counts_references() -> bool:
    """An extension built against release headers on a debug interpreter changes reference counts
    without counting them in the total, which makes every reference it drops look like a leak."""
    from kestrow.tracer import CFileDisposition

    value = object()
    d = CFileDisposition()
    before = sys.gettotalrefcount()
    d.trace = value  # counted by the interpreter's member setter
    del d  # uncounted if the extension's dealloc lacks the debug accounting
    return sys.gettotalrefcount() - before <= 0


def _excluded(item: pytest.Item) -> str | None:
    marker = item.get_closest_marker("refleak_skip")
    if marker is not None:
        return str(marker.args[0] if marker.args else marker.kwargs.get("reason", "marked"))
    for prefix, reason in EXCLUDED.items():
        if item.nodeid.startswith(prefix):
            return reason
    return None


def _settle() -> int:
    """Collect garbage, clear the caches that legitimately grow, and return the total count."""
    sys._clear_internal_caches()
    # The standard library's caches keyed by what a test made (fresh temporary paths make fresh
    # patterns), emptied as CPython's own leak hunter does.
    for name, clear in (("re", "purge"), ("linecache", "clearcache"), ("struct", "_clearcache")):
        module = sys.modules.get(name)
        if module is not None:
            getattr(module, clear)()
    fnmatch = sys.modules.get("fnmatch")
    if fnmatch is not None and hasattr(fnmatch, "_compile_pattern"):
        fnmatch._compile_pattern.cache_clear()
    # Finders for directories a test put on sys.path; made again on the next import that needs them.
    sys.path_importer_cache.clear()
    typing = sys.modules.get("typing")
    if typing is not None:
        for cleanup in getattr(typing, "_cleanups", ()):
            cleanup()
    for mod in list(sys.modules.values()):
        registry = getattr(mod, "__warningregistry__", None)
        if isinstance(registry, dict):
            registry.clear()
    gc.collect()
    return sys.gettotalrefcount()


def _leaked(deltas: list[int]) -> bool:
    # A leak grows the count on every run; a cache filled late or a count that wobbles does not.
    return all(d > 0 for d in deltas)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None) -> bool | None:
    config = item.config
    if not config.getoption("--refleak") or _excluded(item) is not None:
        return None
    warmup = max(config.getoption("--refleak-warmup"), 0)
    runs = max(config.getoption("--refleak-runs"), 1)
    ihook = item.ihook
    ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # Only small differences are kept: each stored count would itself be a new reference.
    deltas: list[int] = []
    reports: list[Any] = []
    previous = _settle()
    for i in range(warmup + runs):
        # Everything is torn down after each run, session fixtures included: a function fixture
        # that uses a longer-lived one leaves a finalizer with it until that one ends.
        reports = runtestprotocol(item, log=False, nextitem=None)
        if not all(r.passed for r in reports):
            break  # a failure or a skip; the reported run below shows it as it is
        reports.clear()
        current = _settle()
        if i >= warmup:
            deltas.append(current - previous)
        previous = current
    # The reported run, which tears down only what the next item does not share.
    reports = runtestprotocol(item, log=False, nextitem=nextitem)
    if len(deltas) == runs and _leaked(deltas):
        for rep in reports:
            if rep.when == "call" and rep.passed:
                rep.outcome = "failed"
                rep.longrepr = (f"reference leak: the total reference count changed by {deltas} "
                                f"in {runs} runs after {warmup} warm-up runs")
    for rep in reports:
        ihook.pytest_runtest_logreport(report=rep)
    ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
