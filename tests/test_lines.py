"""The line recorder end to end: the decision per code file, the data lock, and line recording
through nested and already-running frames."""

from __future__ import annotations

import sys

import pytest

from kestrow import decode_arc

from conftest import make_disposition

PROGRAM = """\
import sys

def f(n):
    total = 0
    for i in range(n):
        total += i
    return total

def own_trace():
    return sys._getframe().f_trace
"""
F_LINES = {4, 5, 6, 7}


@pytest.fixture
def program(write_module):
    return write_module(PROGRAM)


def test_should_trace_runs_once_per_code_file_and_its_answer_is_cached(layer, write_module):
    recorded = write_module(PROGRAM)
    skipped = write_module(PROGRAM)
    layer.include.add(recorded.__file__)
    layer.tracer.start()
    try:
        for _ in range(3):
            recorded.f(2)
            skipped.f(2)
    finally:
        layer.tracer.stop()
    asked = [name for _, name in layer.called("should_trace")]
    assert asked.count(recorded.__file__) == 1
    assert asked.count(skipped.__file__) == 1
    assert len(asked) == len(set(asked))
    assert layer.cache[skipped.__file__] is None
    assert layer.cache[recorded.__file__].source_filename == recorded.__file__
    assert layer.data == {recorded.__file__: F_LINES}


def test_disposition_already_in_the_cache_is_used_without_asking(layer, program):
    layer.cache[program.__file__] = make_disposition("elsewhere.py")
    layer.run(program.f, 2)
    assert program.__file__ not in [name for _, name in layer.called("should_trace")]
    assert layer.data == {"elsewhere.py": F_LINES}


@pytest.mark.parametrize(
    "disposition, recorded_as",
    [
        pytest.param(None, None, id="no disposition"),
        pytest.param(dict(trace=True), "own", id="trace True"),
        pytest.param(dict(trace=1), None, id="trace 1"),
        pytest.param(dict(trace="yes"), None, id="trace non-empty str"),
        pytest.param(dict(trace=False), None, id="trace False"),
        pytest.param(dict(trace=None), None, id="trace None"),
        pytest.param(dict(trace=True, source_filename=None), None, id="source_filename None"),
        pytest.param(dict(trace=True, source_filename="other.py"), "other.py", id="renamed"),
        pytest.param(
            dict(trace=True, has_dynamic_filename=1), "own", id="has_dynamic_filename truthy"
        ),
    ],
)
def test_decision_rules(layer, program, disposition, recorded_as):
    if disposition is None:
        layer.decide = lambda filename, frame: None
    else:
        options = {"source_filename": program.__file__, **disposition}
        layer.decide = lambda filename, frame: (
            make_disposition(**options) if filename == program.__file__ else None
        )
    layer.run(program.f, 2)
    if recorded_as is None:
        assert layer.data == {}
        assert layer.called("lock_data") == []
    else:
        name = program.__file__ if recorded_as == "own" else recorded_as
        assert layer.data == {name: F_LINES}
        assert len(layer.called("lock_data")) == len(layer.called("unlock_data")) == 1


def test_disposition_subclass_is_honoured(layer, program):
    from kestrow.tracer import CFileDisposition

    class Disposition(CFileDisposition):
        pass

    def decide(filename, frame):
        if filename != program.__file__:
            return None
        d = Disposition()
        d.trace, d.source_filename, d.file_tracer, d.has_dynamic_filename = (
            True,
            "sub.py",
            None,
            False,
        )
        return d

    layer.decide = decide
    layer.run(program.f, 1)
    assert layer.data == {"sub.py": {4, 5, 6, 7}}


def test_code_files_with_one_source_filename_share_one_set(layer, write_module):
    first = write_module(PROGRAM)
    second = write_module("\n\n\ndef g():\n    return 10\n")
    names = {first.__file__, second.__file__}
    layer.decide = lambda filename, frame: (
        make_disposition("shared.py") if filename in names else None
    )
    layer.run(lambda: (first.f(1), second.g()))
    assert layer.data == {"shared.py": F_LINES | {5}}


def test_set_already_in_data_receives_the_lines(layer, program):
    layer.include.add(program.__file__)
    existing = {1000}
    layer.data[program.__file__] = existing
    layer.run(program.f, 2)
    assert layer.data[program.__file__] is existing
    assert existing == {1000} | F_LINES


def test_new_set_is_stored_empty_under_the_lock_before_any_line(layer, program):
    layer.include.add(program.__file__)
    seen = []

    def unlock_data():
        seen.append({k: set(v) for k, v in layer.data.items()})
        layer.unlock_data()

    layer.tracer.unlock_data = unlock_data
    layer.run(program.f, 2)
    assert seen == [{program.__file__: set()}]
    assert layer.data == {program.__file__: F_LINES}


def test_data_lock_brackets_each_recorded_call_and_only_those(layer, write_module):
    recorded = write_module(PROGRAM)
    skipped = write_module(PROGRAM)
    layer.include.add(recorded.__file__)
    layer.run(lambda: [(recorded.f(1), skipped.f(1)) for _ in range(3)])
    lock_calls = [c for c in layer.calls if c[0] in ("lock_data", "unlock_data")]
    assert lock_calls == [("lock_data",), ("unlock_data",)] * 3
    assert layer.locked == 0


def test_lines_run_many_times_are_recorded_once_as_plain_ints(layer, program):
    layer.include.add(program.__file__)
    layer.run(program.f, 50)
    recorded = layer.data[program.__file__]
    assert recorded == F_LINES
    assert {type(v) for v in recorded} == {int}


@pytest.mark.parametrize("recorded", [True, False], ids=["recorded", "unrecorded"])
def test_f_trace_is_the_tracer_on_every_handled_frame(layer, program, recorded):
    if recorded:
        layer.include.add(program.__file__)
    assert layer.run(program.own_trace) is layer.tracer
    assert bool(layer.data) == recorded


NESTED = """\
def down(n):
    if n == 0:
        return 0
    below = down(n - 1)
    return below + 1

def deep_then_more(n, other):
    a = other(n)
    b = a + 1
    return b
"""


@pytest.mark.parametrize("depth", [19, 20, 21, 39, 40, 41, 45])
def test_deep_recursion_records_every_level(layer, write_module, depth):
    mod = write_module(NESTED)
    layer.include.add(mod.__file__)
    assert layer.run(mod.down, depth) == depth
    assert layer.lines(mod.__file__) == {2, 3, 4, 5}


@pytest.mark.parametrize("depth", [25, 45])
def test_lines_after_a_deep_unrecorded_call_go_to_the_callers_file(layer, write_module, depth):
    caller = write_module(NESTED)
    deep = write_module(NESTED)
    layer.include.add(caller.__file__)
    assert layer.run(caller.deep_then_more, depth, deep.down) == depth + 1
    assert layer.data == {caller.__file__: {8, 9, 10}}


PING = """\
def ping(n, other):
    if n == 0:
        return 0
    return other(n - 1, ping) + 1
"""
PONG = """\


def pong(n, other):
    if n == 0:
        return 0
    result = other(n - 1, pong)
    return result + 1
"""


def test_alternating_files_beyond_two_growths_keep_their_own_lines(layer, write_module):
    """Each level is in the other file; a slot that moved when the stack grew would send lines
    to the wrong set."""
    ping = write_module(PING)
    pong = write_module(PONG)
    layer.include.update({ping.__file__, pong.__file__})
    assert layer.run(ping.ping, 50, pong.pong) == 50
    assert layer.data == {ping.__file__: {2, 3, 4}, pong.__file__: {4, 6, 7}}


RUNNING = """\
def inner():
    return 1

def outer(start, stop):
    start()
    x = 1
    y = inner()
    z = x + y
    stop()
    return z
"""


def test_lines_of_frames_already_running_at_start_are_ignored(layer, write_module):
    mod = write_module(RUNNING)
    layer.include.add(mod.__file__)
    try:
        assert mod.outer(layer.tracer.start, layer.tracer.stop) == 2
    finally:
        layer.tracer.stop()
    assert layer.data == {mod.__file__: {2}}


def test_returns_of_frames_running_at_start_pop_nothing(layer, write_module):
    mod = write_module(RUNNING)
    layer.include.add(mod.__file__)

    def starts_and_returns():
        layer.tracer.start()

    try:
        starts_and_returns()  # its return event finds an empty stack
        mod.inner()
        mod.outer(lambda: None, lambda: None)
    finally:
        layer.tracer.stop()
    assert layer.data == {mod.__file__: {2, 5, 6, 7, 8, 9, 10}}


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_restart_from_another_frame_records_nothing_through_a_finished_frame(write_module, arcs):
    """Stopped inside a deeper frame, the tracer never sees that frame return; started again from
    another frame, that frame's lines must not land in the finished frame's file."""
    from conftest import Layer

    layer = Layer(arcs=arcs)
    deep = write_module(
        """\
        def stops_inside(tracer):
            x = 1
            tracer.stop()
            return x
        """
    )
    other = write_module(
        """\
        def starts_here(tracer):
            tracer.start()
            a = 1
            b = 2
            tracer.stop()
            return a + b
        """
    )
    layer.include.update({deep.__file__, other.__file__})
    try:
        layer.tracer.start()
        deep.stops_inside(layer.tracer)
        assert other.starts_here(layer.tracer) == 3
    finally:
        layer.tracer.stop()
    recorded = layer.data[deep.__file__]
    if arcs:
        assert {decode_arc(key) for key in recorded} == {(-1, 2), (2, 3)}
    else:
        assert recorded == {2, 3}
    assert other.__file__ not in layer.data


def test_pausing_inside_a_frame_goes_on_recording_it(layer, write_module):
    mod = write_module(
        """\
        def pauses(tracer):
            a = 1
            tracer.stop()
            b = 2
            tracer.start()
            c = 3
            return a + b + c
        """
    )
    layer.include.add(mod.__file__)
    assert layer.run(mod.pauses, layer.tracer) == 6
    assert layer.lines(mod.__file__) == {2, 3, 6, 7}


def test_events_after_stop_remove_the_callback(layer, program):
    layer.include.add(program.__file__)
    layer.tracer.start()
    assert sys.gettrace() is layer.tracer
    layer.tracer.stop()
    program.f(3)
    assert sys.gettrace() is None
    assert layer.data == {}


EXCEPTIONS = """\
def fails():
    raise ValueError("x")

def handles():
    try:
        fails()
    except ValueError:
        caught = True
    values = sorted([3, 1, 2])
    return caught, values

def gen():
    yield 1
    x = 2
    yield x

def uses_gen():
    total = 0
    for v in gen():
        total += v
    return total
"""


def test_exceptions_c_calls_and_generators_record_the_lines_that_ran(layer, write_module):
    mod = write_module(EXCEPTIONS)
    layer.include.add(mod.__file__)
    assert layer.run(mod.handles) == (True, [1, 2, 3])
    assert layer.run(mod.uses_gen) == 3
    assert layer.lines(mod.__file__) == {2, 5, 6, 7, 8, 9, 10, 13, 14, 15, 18, 19, 20, 21}
