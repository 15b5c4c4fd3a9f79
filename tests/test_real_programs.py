"""Real programs run unharmed: CPython's own regression tests for a few standard modules still pass
under kestrow, and in lines mode the lines kestrow records for those modules are exactly the lines
for which sys.monitoring reports LINE events in the same run.

Each module's tests run in a child process with a minimal controlling layer of its own, so that
their changes to interpreter state stay there. The regression tests come from the interpreter's
"test" package (`scripts/provision-python3.14 --with-testsuite`); without it these tests skip."""

from __future__ import annotations

import importlib
import importlib.util
import json
import os
import subprocess
import sys
import unittest
from pathlib import Path
from typing import Any

import pytest

TESTS_DIR = Path(__file__).resolve().parent

# Regression test module -> the standard modules it exercises, whose lines are compared (modules
# loaded from source files; frozen ones such as posixpath have no file name to match). These
# suites run in one thread and leave sys.settrace alone; the tracer records the calling thread
# only, sys.monitoring every thread.
SUITES = {
    "test.test_textwrap": ["textwrap"],
    "test.test_shlex": ["shlex"],
    "test.test_difflib": ["difflib"],
    "test.test_fnmatch": ["fnmatch"],
    "test.test_string": ["string"],
    "test.test_configparser": ["configparser"],
    "test.test_csv": ["csv"],
}

MONITORING_TOOL = 4  # a free tool number, not the ones debuggers and profilers use


def child(suite: str, modules: list[str]) -> None:
    """Runs in the child: the suite under kestrow and sys.monitoring at once; prints a JSON report."""
    from kestrow.tracer import CFileDisposition, CTracer

    files = {}
    for name in modules:
        module = importlib.import_module(name)
        files[module.__file__] = name
    test_module = importlib.import_module(suite)

    def should_trace(filename: str, frame: Any) -> Any:
        if filename not in files:
            return None
        d = CFileDisposition()
        d.original_filename = d.canonical_filename = d.source_filename = filename
        d.trace = True
        d.reason = ""
        d.file_tracer = None
        d.has_dynamic_filename = False
        return d

    data: dict[str, set[int]] = {}
    tracer = CTracer()
    tracer.should_trace = should_trace
    tracer.check_include = lambda name, frame: False
    tracer.warn = lambda *args: None
    tracer.concur_id_func = None
    tracer.data = data
    tracer.file_tracers = {}
    tracer.should_trace_cache = {}
    tracer.trace_arcs = False
    tracer.should_start_context = None
    tracer.switch_context = lambda context: None
    tracer.lock_data = lambda: None
    tracer.unlock_data = lambda: None
    tracer.disable_plugin = lambda disposition: None

    monitored: dict[str, set[int]] = {}
    mon = sys.monitoring

    def on_line(code: Any, line: int) -> None:
        if code.co_filename in files:
            monitored.setdefault(code.co_filename, set()).add(line)

    mon.use_tool_id(MONITORING_TOOL, "kestrow-test")
    mon.register_callback(MONITORING_TOOL, mon.events.LINE, on_line)
    suite_obj = unittest.defaultTestLoader.loadTestsFromModule(test_module)
    runner = unittest.TextTestRunner(stream=sys.stderr, verbosity=0)

    mon.set_events(MONITORING_TOOL, mon.events.LINE)
    tracer.start()
    try:
        result = runner.run(suite_obj)
    finally:
        tracer.stop()
        sys.settrace(None)
        mon.set_events(MONITORING_TOOL, 0)
        mon.free_tool_id(MONITORING_TOOL)

    report = {
        "passed": result.wasSuccessful(),
        "ran": result.testsRun,
        "recorded": {name: sorted(data.get(path, ())) for path, name in files.items()},
        "monitored": {name: sorted(monitored.get(path, ())) for path, name in files.items()},
    }
    print("REPORT " + json.dumps(report))


have_testsuite = importlib.util.find_spec("test.test_textwrap") is not None


@pytest.mark.skipif(not have_testsuite, reason="CPython's regression tests are not installed "
                    "(scripts/provision-python3.14 --with-testsuite)")
@pytest.mark.parametrize("suite", sorted(SUITES))
def test_regression_suite_passes_and_lines_match_monitoring(suite):
    modules = SUITES[suite]
    child_process = subprocess.run(
        [sys.executable, "-c",
         f"import test_real_programs as t; t.child({suite!r}, {modules!r})"],
        cwd=TESTS_DIR, capture_output=True, text=True, timeout=600,
        env={**os.environ, "PYTHONPATH": str(TESTS_DIR)})
    lines = [line for line in child_process.stdout.splitlines() if line.startswith("REPORT ")]
    assert child_process.returncode == 0 and lines, (
        f"exit status {child_process.returncode}\n{child_process.stdout}\n{child_process.stderr}")
    report = json.loads(lines[-1][len("REPORT "):])
    assert report["passed"], child_process.stderr
    assert report["ran"] > 0
    for name in modules:
        monitored = set(report["monitored"][name])
        assert monitored, f"the suite did not exercise {name}"
        recorded = set(report["recorded"][name])
        assert recorded == monitored, (
            f"{name}: recorded but not monitored {sorted(recorded - monitored)}, "
            f"monitored but not recorded {sorted(monitored - recorded)}")
