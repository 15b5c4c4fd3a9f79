"""Tracer lifetime: a tracer is never freed in the middle of its own event, and freeing one never
uninstalls another tracer.

The cases that free a tracer mid-event run in a child interpreter with the debugging memory
allocator (freed memory is overwritten), so that touching a freed tracer shows up as a crash or a
wrong result there rather than taking the test run down.
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import threading

import pytest

from conftest import Layer

# A controlling layer with a plug-in, contexts and concurrency ids switched on, one of whose
# callables lets go of the tracer. Letting go means what a layer does when it is done: remove
# the trace function (sys.settrace(None), or starting another tracer in its place), forget the
# frames' f_trace and its own reference. The tracer is then kept alive by nothing but the event
# running at that moment, and must be freed when that event ends, not before.
CHILD = r'''
import gc, sys, weakref
from kestrow.tracer import CFileDisposition, CTracer

WHERE, HOW = sys.argv[1], sys.argv[2]
HERE = __file__
DYNAMIC = HERE + ":dynamic"


class Member:
    """A member only the tracer holds: it dies exactly when the tracer is freed."""
    def __call__(self, *args):
        return None


class Holder:
    tracer = None
    replacement = None


holder = Holder()
dropped = []
new_data = {}


def replacement_should_trace(filename, frame):
    d = CFileDisposition()
    d.trace = filename == HERE
    d.source_filename = filename
    d.file_tracer = None
    d.has_dynamic_filename = False
    return d


def replacement_tracer():
    t = CTracer()
    for name in ("check_include", "warn", "lock_data", "unlock_data", "switch_context",
                 "disable_plugin"):
        setattr(t, name, lambda *args: None)
    t.should_trace = replacement_should_trace
    t.concur_id_func = None
    t.should_start_context = None
    t.data = new_data
    t.file_tracers = {}
    t.should_trace_cache = {}
    t.trace_arcs = False
    return t


def maybe_drop(where):
    if where != WHERE or dropped:
        return
    dropped.append(where)
    if HOW == "settrace":
        sys.settrace(None)
    else:
        holder.replacement = replacement_tracer()
        holder.replacement.start()
    frame = sys._getframe(1)
    while frame is not None:
        frame.f_trace = None
        frame = frame.f_back
    holder.tracer = None


class Plugin:
    _kestrow_plugin_name = "plug"


class FileTracer:
    @property
    def _kestrow_plugin(self):
        maybe_drop("plugin attribute")
        return Plugin()

    def dynamic_source_filename(self, filename, frame):
        maybe_drop("dynamic_source_filename")
        if WHERE == "disable_plugin at call":
            raise RuntimeError("plug-in failure at the call")
        return DYNAMIC

    def line_number_range(self, frame):
        maybe_drop("line_number_range")
        if WHERE == "disable_plugin at line":
            raise RuntimeError("plug-in failure at a line")
        return frame.f_lineno, frame.f_lineno


class Id:
    pass


ID = Id()


class Layer:
    def __init__(self):
        self.data = {}
        t = CTracer()
        t.should_trace = self.should_trace
        t.check_include = self.check_include
        t.warn = Member()
        t.concur_id_func = self.concur_id
        t.data = self.data
        t.file_tracers = {}
        t.should_trace_cache = {}
        t.trace_arcs = False
        t.should_start_context = self.should_start_context
        t.switch_context = self.switch_context
        t.lock_data = self.lock_data
        t.unlock_data = self.unlock_data
        t.disable_plugin = self.disable_plugin
        self.alive = weakref.ref(t.warn)
        holder.tracer = t

    def should_trace(self, filename, frame):
        maybe_drop("should_trace")
        d = CFileDisposition()
        d.trace = filename == HERE
        d.source_filename = filename
        d.file_tracer = FileTracer()
        d.has_dynamic_filename = True
        return d

    def check_include(self, name, frame):
        maybe_drop("check_include")
        return True

    def concur_id(self):
        name = sys._getframe(1).f_code.co_name
        if name == "leaf":
            maybe_drop("concur_id_func at " + ("call" if not calls else "return"))
            calls.append(name)
        return ID

    def should_start_context(self, frame):
        maybe_drop("should_start_context")
        return "ctx" if frame.f_code.co_name == "leaf" else None

    def switch_context(self, context):
        maybe_drop("switch_context at " + ("open" if context is not None else "close"))

    def lock_data(self):
        maybe_drop("lock_data")

    def unlock_data(self):
        maybe_drop("unlock_data")

    def disable_plugin(self, disposition):
        maybe_drop(WHERE if WHERE.startswith("disable_plugin") else "")


calls = []


def leaf():
    x = 1
    y = x + 1
    return y


def main():
    return leaf() + leaf()


layer = Layer()
holder.tracer.start()
result = main()
sys.settrace(None)
gc.collect()
assert dropped == [WHERE], dropped
assert result == 4, result
assert layer.alive() is None, "the tracer outlived its last reference"
if HOW == "replace":
    # The replacement was installed while the old tracer's event ran; it stays installed.
    assert new_data, "the replacement tracer recorded nothing"
print("ok")
'''

WHERE = [
    "should_trace",
    "plugin attribute",
    "dynamic_source_filename",
    "check_include",
    "disable_plugin at call",
    "lock_data",
    "unlock_data",
    "should_start_context",
    "switch_context at open",
    "switch_context at close",
    "concur_id_func at call",
    "concur_id_func at return",
    "line_number_range",
    "disable_plugin at line",
]


def run_child(interpreter: str, script: str, *args: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1")
    return subprocess.run(
        [interpreter, "-X", "dev", script, *args],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )


@pytest.fixture(scope="module")
def child_script(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("lifetime") / "child.py"
    path.write_text(CHILD)
    return str(path)


@pytest.mark.parametrize("how", ["settrace", "replace"])
@pytest.mark.parametrize("where", WHERE)
def test_letting_go_of_the_tracer_during_its_event(child_script, where, how):
    proc = run_child(sys.executable, child_script, where, how)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "ok"


# Destroying a running tracer removes the thread's trace function only when it is its own.

PROGRAM = """\
def f():
    a = 1
    return a
"""


@pytest.mark.parametrize("freed", ["between events", "during the new tracer's event"])
def test_freeing_an_old_tracer_leaves_the_new_one_installed(write_module, freed):
    mod = write_module(PROGRAM)
    old = Layer(include={mod.__file__})
    new = Layer(include={mod.__file__})
    old.tracer.start()
    new.tracer.start()  # replaces old's callback in this thread; old still has running set
    try:
        if freed == "between events":
            old.tracer = None
            gc.collect()
        else:
            decide = new.should_trace

            def should_trace(filename, frame):
                old.tracer = None
                gc.collect()
                return decide(filename, frame)

            new.tracer.should_trace = should_trace
        assert sys.gettrace() is new.tracer
        mod.f()
        assert sys.gettrace() is new.tracer
    finally:
        new.tracer.stop()
        sys.settrace(None)
    assert old.tracer is None
    assert new.lines(mod.__file__) == {2, 3}
    assert old.data == {}


def test_freeing_a_tracer_that_ran_in_another_thread_leaves_this_one(write_module):
    # The old tracer was started in a thread that then removed it without stopping it, so its
    # running flag is still set when the last reference goes, here, where another one runs.
    mod = write_module(PROGRAM)
    old = Layer()

    def thread_main():
        old.tracer.start()
        sys.settrace(None)

    t = threading.Thread(target=thread_main)
    t.start()
    t.join()
    new = Layer(include={mod.__file__})
    new.tracer.start()
    try:
        old.tracer = None
        gc.collect()
        mod.f()
        assert sys.gettrace() is new.tracer
    finally:
        new.tracer.stop()
        sys.settrace(None)
    assert new.lines(mod.__file__) == {2, 3}
