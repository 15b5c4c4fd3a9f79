"""A call event of a file seen before does not look into should_trace_cache and data again while
neither has changed. Whatever the controlling layer changes between calls (or inside lock_data)
must be honoured by the next call, exactly as if both were looked up every time."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

from conftest import make_disposition

CALLEE = """\
def g():
    return 1
"""
G_LINES = {2}


@pytest.fixture
def program(layer, write_module):
    """g in a file of its own, called twice by a driver that runs a hook between the calls."""
    callee = write_module(CALLEE)
    driver = write_module(
        """\
        def f(g, hook):
            g()
            hook()
            g()
        """
    )
    layer.include.update({callee.__file__, driver.__file__})
    return callee, driver


def run(layer, program, hook):
    callee, driver = program
    layer.run(driver.f, callee.g, hook)
    return callee.__file__


def disposition(layer, name):
    return layer.cache[name]


# Each case: a change made between the two calls of g, and what the second call must leave behind.
# `name` is g's file; the check gets the layer and the set g's first call filled.
CASES = {
    "data cleared": (
        lambda layer, name: layer.data.clear(),
        lambda layer, name, first: layer.data[name] == G_LINES and layer.data[name] is not first,
    ),
    "set removed": (
        lambda layer, name: layer.data.pop(name),
        lambda layer, name, first: layer.data[name] == G_LINES and layer.data[name] is not first,
    ),
    "set replaced": (
        lambda layer, name: layer.data.__setitem__(name, {99}),
        lambda layer, name, first: layer.data[name] == {99} | G_LINES,
    ),
    "data dictionary replaced": (
        lambda layer, name: setattr(layer.tracer, "data", {name: {98}}),
        lambda layer, name, first: layer.tracer.data == {name: {98} | G_LINES},
    ),
    "decision removed": (
        lambda layer, name: layer.cache.pop(name),
        lambda layer, name, first: layer.called("should_trace").count(("should_trace", name))
        == 2,
    ),
    "decision replaced by None": (
        lambda layer, name: (layer.cache.__setitem__(name, None), first_set(layer, name).clear()),
        lambda layer, name, first: first == set(),
    ),
    "decision replaced by another name": (
        lambda layer, name: layer.cache.__setitem__(name, make_disposition("other.py")),
        lambda layer, name, first: layer.data["other.py"] == G_LINES,
    ),
    "disposition renamed in place": (
        lambda layer, name: setattr(disposition(layer, name), "source_filename", "renamed.py"),
        lambda layer, name, first: layer.data["renamed.py"] == G_LINES,
    ),
    "disposition turned off in place": (
        lambda layer, name: (setattr(disposition(layer, name), "trace", False),
                             first_set(layer, name).clear()),
        lambda layer, name, first: first == set(),
    ),
    "cache dictionary replaced": (
        lambda layer, name: setattr(layer.tracer, "should_trace_cache", {}),
        lambda layer, name, first: layer.called("should_trace").count(("should_trace", name))
        == 2,
    ),
}


def first_set(layer, name):
    return layer.data[name]


@pytest.mark.parametrize("change, check", CASES.values(), ids=CASES.keys())
def test_change_between_calls_is_honoured_by_the_next(layer, program, change, check):
    callee, _ = program
    name = callee.__file__
    seen = {}

    def hook():
        seen["first"] = layer.data[name]
        change(layer, name)

    run(layer, program, hook)
    assert check(layer, name, seen["first"])


def test_set_replaced_inside_lock_data_receives_the_call(layer, program):
    callee, _ = program
    name = callee.__file__
    replacement = set()
    armed = []

    def lock_data():
        layer.lock_data()
        if armed:
            layer.data[name] = replacement

    layer.tracer.lock_data = lock_data
    run(layer, program, lambda: armed.append(True))
    assert replacement == G_LINES


def test_assigning_a_member_lets_go_of_what_the_tracer_remembered(layer, program):
    callee, driver = program

    class FileTracer:
        pass

    file_tracer = FileTracer()
    held = weakref.ref(file_tracer)
    # A disposition holding a file tracer but recording nothing: the call reads it and moves on.
    layer.cache[callee.__file__] = make_disposition(None, trace=False, file_tracer=file_tracer)
    del file_tracer
    # The driver's call at g's depth refills the stack entry g's call left, so that only what the
    # tracer remembered of g's file still holds the file tracer.
    layer.run(lambda: (callee.g(), driver.f(dict, dict)))
    layer.cache.clear()
    layer.tracer.should_trace_cache = layer.cache
    gc.collect()
    assert held() is None


def test_without_a_free_dict_watcher_every_call_looks_up(tmp_path):
    """Another extension may hold every dict watcher the interpreter has; then nothing is
    remembered, and the changes above are still honoured."""
    (tmp_path / "callee.py").write_text(CALLEE)
    (tmp_path / "driver.py").write_text("def f(g, hook):\n    g()\n    hook()\n    g()\n")
    code = f"""
        import ctypes, sys
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                         ctypes.c_void_p, ctypes.c_void_p)
        callback = callback_type(lambda *args: 0)
        add_watcher = ctypes.pythonapi.PyDict_AddWatcher
        add_watcher.argtypes = [callback_type]
        while True:
            try:
                add_watcher(callback)
            except RuntimeError:  # "no more dict watcher IDs available"
                break
        sys.path[:0] = [{str(Path(__file__).parent)!r}, {str(tmp_path)!r}]
        from conftest import Layer
        import callee, driver
        layer = Layer(include={{callee.__file__, driver.__file__}})
        first = []

        def hook():
            first.append(layer.data[callee.__file__])
            layer.data.clear()
            del layer.cache[callee.__file__]

        layer.run(driver.f, callee.g, hook)
        asked = layer.called("should_trace").count(("should_trace", callee.__file__))
        print(asked, sorted(layer.data[callee.__file__]), layer.data[callee.__file__] is first[0])
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["2", str(sorted(G_LINES)).replace(" ", ""), "False"]
