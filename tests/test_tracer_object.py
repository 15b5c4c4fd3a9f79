"""CTracer as an object: creation, members, control methods, and destruction."""

from __future__ import annotations

import gc
import sys
import threading
import weakref

import pytest

from conftest import SUM_LINES as PROGRAM_LINES, SUM_PROGRAM as PROGRAM
from conftest import Layer
from kestrow.tracer import CTracer

MEMBERS = [
    "should_trace",
    "check_include",
    "warn",
    "concur_id_func",
    "data",
    "file_tracers",
    "should_trace_cache",
    "trace_arcs",
    "should_start_context",
    "switch_context",
    "lock_data",
    "unlock_data",
    "disable_plugin",
]


class WeakSet(set):
    """A file set the test can watch die."""


class Thing:
    pass


@pytest.fixture
def program(write_module):
    return write_module(PROGRAM)


def is_entry_arc(value: int) -> bool:
    return bool(value >> 56 & 1)


def test_new_tracer_reads_none_for_every_member_and_no_activity():
    t = CTracer()
    assert {name: getattr(t, name) for name in MEMBERS} == dict.fromkeys(MEMBERS)
    assert t.activity() is False


@pytest.mark.parametrize("member", MEMBERS)
def test_member_assign_replace_delete(member):
    t = CTracer()
    first, second = Thing(), Thing()
    first_ref = weakref.ref(first)
    setattr(t, member, first)
    assert getattr(t, member) is first
    setattr(t, member, second)
    del first
    assert first_ref() is None
    delattr(t, member)
    assert getattr(t, member) is None


def test_destroying_a_tracer_releases_every_member():
    t = CTracer()
    values = {name: Thing() for name in MEMBERS}
    refs = [weakref.ref(v) for v in values.values()]
    for name, value in values.items():
        setattr(t, name, value)
    del t, values, value
    gc.collect()
    assert [r() for r in refs] == [None] * len(MEMBERS)


def test_method_results(layer):
    t = layer.tracer
    try:
        assert t.start() is t
    finally:
        assert t.stop() is None
    assert t.get_stats() is None
    assert t.reset_activity() is None
    assert t.activity() is False


@pytest.mark.parametrize("name", ["start", "stop", "get_stats", "activity", "reset_activity"])
def test_methods_ignore_positional_arguments_and_refuse_keywords(layer, name):
    method = getattr(layer.tracer, name)
    try:
        method(1, "two", None)
        with pytest.raises(TypeError):
            method(x=1)
    finally:
        layer.tracer.stop()


def test_start_with_arguments_records_as_without(layer, program):
    layer.include.add(program.__file__)
    t = layer.tracer
    assert t.start(1, 2) is t
    try:
        program.f(2)
    finally:
        t.stop(3)
    assert layer.lines(program.__file__) == PROGRAM_LINES


def test_creation_ignores_arguments():
    t = CTracer(1, 2, key="value")
    assert t.should_trace is None
    t.__init__("again", x=1)
    assert t.activity() is False


def test_activity_turns_on_with_events_survives_stop_and_resets(layer, program):
    t = layer.tracer
    assert t.activity() is False
    layer.run(program.f, 1)
    assert t.activity() is True
    assert t.activity() is True
    t.reset_activity()
    assert t.activity() is False
    # Events after stop only remove the callback: no activity.
    program.f(1)
    assert t.activity() is False


def test_activity_counts_events_of_unrecorded_files(layer, program):
    layer.run(program.f, 1)
    assert layer.data == {}
    assert layer.tracer.activity() is True


class Truthy:
    """An object whose truth test runs Python code."""

    def __init__(self, value):
        self.value = value
        self.asked = 0

    def __bool__(self):
        self.asked += 1
        return self.value


@pytest.mark.parametrize(
    "trace_arcs, arcs",
    [
        pytest.param(..., False, id="unset"),
        (False, False),
        (0, False),
        (None, False),
        ([], False),
        ("", False),
        (True, True),
        (1, True),
        ([0], True),
        ("no", True),
        (Truthy(False), False),
        (Truthy(True), True),
    ],
)
def test_trace_arcs_truth_decides_the_mode(layer, program, trace_arcs, arcs):
    layer.include.add(program.__file__)
    if trace_arcs is ...:
        del layer.tracer.trace_arcs
    else:
        layer.tracer.trace_arcs = trace_arcs
    layer.run(program.f, 2)
    recorded = layer.lines(program.__file__)
    assert recorded
    if arcs:
        # Arc keys, among them the entry arc into f, whose start is negative.
        assert any(is_entry_arc(v) for v in recorded)
    else:
        assert recorded == PROGRAM_LINES


def test_trace_arcs_is_read_only_at_start(layer, program):
    layer.include.add(program.__file__)
    layer.tracer.start()
    try:
        layer.tracer.trace_arcs = True
        program.f(2)
    finally:
        layer.tracer.stop()
    assert layer.lines(program.__file__) == PROGRAM_LINES


class Unanswerable:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def test_start_raises_when_trace_arcs_truth_test_raises(layer, program):
    layer.include.add(program.__file__)
    layer.tracer.trace_arcs = Unanswerable()
    previous = sys.gettrace()
    try:
        with pytest.raises(ZeroDivisionError, match="no truth here"):
            layer.tracer.start()
        assert sys.gettrace() is previous
        program.f(2)
    finally:
        layer.tracer.stop()
    assert layer.data == {}
    assert layer.tracer.activity() is False
    # Once the member answers, the same tracer starts normally.
    layer.tracer.trace_arcs = False
    layer.run(program.f, 2)
    assert layer.lines(program.__file__) == PROGRAM_LINES


def test_start_is_repeatable_while_running(layer, program):
    layer.include.add(program.__file__)
    t = layer.tracer
    t.start()
    try:
        assert t.start() is t
        program.f(1)
    finally:
        t.stop()
    assert layer.lines(program.__file__) == {2, 3, 4, 5}


def test_stopped_tracer_restarts_and_keeps_recording(layer, program):
    layer.include.add(program.__file__)
    layer.run(program.f, 0)
    assert layer.lines(program.__file__) == {2, 3, 5}
    layer.run(program.f, 1)
    assert layer.lines(program.__file__) == PROGRAM_LINES
    assert layer.called("should_trace").count(("should_trace", program.__file__)) == 1


def fill_members(t: CTracer, layer: Layer) -> None:
    for name in MEMBERS:
        setattr(t, name, getattr(layer.tracer, name))


def test_tracer_made_without_init_starts_records_and_dies(layer, program):
    layer.include.add(program.__file__)
    t = CTracer.__new__(CTracer)
    fill_members(t, layer)
    assert t.start() is t
    try:
        program.f(2)
    finally:
        t.stop()
    assert layer.lines(program.__file__) == PROGRAM_LINES
    # The tracer takes no weak references; a member of its own shows when it is gone.
    sentinel = Thing()
    t.warn = sentinel
    ref = weakref.ref(sentinel)
    del t, sentinel
    gc.collect()
    assert ref() is None


def test_tracer_made_without_init_dies_unstarted():
    t = CTracer.__new__(CTracer)
    t.data = {}
    assert t.activity() is False
    assert t.stop() is None
    del t


def test_init_again_on_a_running_tracer_lets_go_of_its_file_sets(layer, write_module):
    mod = write_module(
        """\
        def inner():
            return 1

        def outer(tracer):
            inner()
            tracer.__init__()
            x = inner()
            return x
        """
    )
    layer.include.add(mod.__file__)
    watched = WeakSet()
    layer.data[mod.__file__] = watched
    watched_ref = weakref.ref(watched)
    del watched
    assert layer.run(mod.outer, layer.tracer) == 1
    # Lines after the reset are recorded in a frame the tracer no longer knows: ignored; the
    # later call is recorded again.
    assert layer.lines(mod.__file__) == {2, 5, 6}
    layer.data.clear()
    layer.tracer.__init__()
    gc.collect()
    assert watched_ref() is None
    assert layer.tracer.activity() is True


def test_destroying_the_tracer_releases_file_sets_held_by_stack_slots(layer, program):
    layer.include.add(program.__file__)
    watched = WeakSet()
    layer.data[program.__file__] = watched
    watched_ref = weakref.ref(watched)
    del watched
    layer.run(program.f, 1)
    layer.data.clear()
    gc.collect()
    # The slot the frame used still holds the set.
    assert watched_ref() is not None
    del layer.tracer, layer
    gc.collect()
    assert watched_ref() is None


def test_destroying_a_tracer_leaves_other_trace_functions_alone():
    def python_trace(frame, event, arg):
        return None

    t = CTracer()
    previous = sys.gettrace()
    sys.settrace(python_trace)
    try:
        del t
        gc.collect()
        assert sys.gettrace() is python_trace
    finally:
        sys.settrace(previous)


def test_destroying_a_running_tracer_keeps_this_threads_other_trace_function(layer, program):
    """A tracer still running, released from another thread where it was started: this thread's
    own trace function is not its callback and stays."""
    t = layer.tracer

    def started_elsewhere():
        t.start()

    worker = threading.Thread(target=started_elsewhere)
    worker.start()
    worker.join()

    def python_trace(frame, event, arg):
        return None

    previous = sys.gettrace()
    sys.settrace(python_trace)
    try:
        sentinel = Thing()
        t.warn = sentinel
        ref = weakref.ref(sentinel)
        del t, layer.tracer, sentinel
        gc.collect()
        assert ref() is None
        assert sys.gettrace() is python_trace
    finally:
        sys.settrace(previous)
