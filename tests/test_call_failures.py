"""Call events that fail: the exception reaches the traced program at the call, and the tracer
stays sound for the events that follow."""

from __future__ import annotations

import gc
import weakref

import pytest

from conftest import SUM_LINES as F_LINES, SUM_PROGRAM as PROGRAM, Boom, make_disposition
from kestrow.tracer import CFileDisposition, CTracer


@pytest.fixture
def program(write_module):
    return write_module(PROGRAM)


def outcome(func, *args):
    """Run func; a failed call event raises its exception here, at the traced call."""
    try:
        return ("returned", func(*args))
    except Exception as exc:
        return ("raised", exc)


def run_program(layer, program, times=1):
    """Call program.f(2) `times` times under the tracer, catching each failure."""
    return layer.run(lambda: [outcome(program.f, 2) for _ in range(times)])


def only_for(program, result):
    """A decide rule that gives program's code file `result` (a callable) and others None."""

    def decide(filename, frame):
        return result() if filename == program.__file__ else None

    return decide


# should_trace ----------------------------------------------------------------------------------


def test_should_trace_raising_fails_the_call_and_caches_nothing(layer, program):
    asked = []

    def decide(filename, frame):
        if filename == program.__file__:
            asked.append(filename)
            if len(asked) == 1:
                raise Boom("cannot decide")
            return make_disposition(filename)
        return None

    layer.decide = decide
    first, second = run_program(layer, program, times=2)
    assert first[0] == "raised" and isinstance(first[1], Boom)
    assert second == ("returned", 1)
    # Not cached after the failure, so the next call asked again.
    assert len(asked) == 2
    assert layer.data == {program.__file__: F_LINES}


@pytest.mark.parametrize(
    "result",
    [5, "yes", object(), {"trace": True}, CTracer(), True],
    ids=["int", "str", "object", "dict", "tracer", "True"],
)
def test_should_trace_result_that_is_not_a_disposition(layer, program, result):
    layer.decide = only_for(program, lambda: result)
    (got,) = run_program(layer, program)
    assert got[0] == "raised"
    assert isinstance(got[1], TypeError)
    assert "should_trace must return a CFileDisposition or None" in str(got[1])
    assert program.__file__ not in layer.cache
    assert layer.data == {}


@pytest.mark.parametrize("value", [5, "yes", object()], ids=["int", "str", "object"])
def test_cache_value_that_is_not_a_disposition(layer, program, value):
    layer.cache[program.__file__] = value
    (got,) = run_program(layer, program)
    assert got[0] == "raised" and isinstance(got[1], TypeError)
    assert "should_trace_cache" in str(got[1])
    assert ("should_trace", program.__file__) not in layer.calls


# Members never assigned -------------------------------------------------------------------------


@pytest.mark.parametrize("member", ["data", "lock_data", "unlock_data"])
def test_unset_data_member_fails_recorded_calls_naming_it(layer, program, member):
    layer.include.add(program.__file__)
    delattr(layer.tracer, member)
    (got,) = run_program(layer, program)
    assert got[0] == "raised"
    assert isinstance(got[1], AttributeError)
    assert str(got[1]) == f"CTracer member '{member}' was never assigned"
    # Only a lock that was never assigned is not taken; one taken without an unlock_data to
    # call stays taken.
    assert layer.locked == (1 if member == "unlock_data" else 0)


@pytest.mark.parametrize(
    "member", ["should_trace", "should_trace_cache", "should_start_context", "concur_id_func"]
)
def test_unset_member_every_call_needs_fails_the_first_call(layer, program, member):
    """These fail every call event, so the first call after start raises."""
    layer.include.add(program.__file__)
    delattr(layer.tracer, member)
    with pytest.raises(AttributeError, match=f"^CTracer member '{member}' was never assigned$"):
        layer.run(program.f, 2)
    assert layer.data == {}


@pytest.mark.parametrize(
    "member", ["trace", "source_filename", "file_tracer", "has_dynamic_filename"]
)
def test_unset_disposition_member_fails_every_call_of_that_file(layer, program, member):
    def disposition():
        d = make_disposition(program.__file__)
        delattr(d, member)
        return d

    layer.decide = only_for(program, disposition)
    results = run_program(layer, program, times=2)
    for got in results:
        assert got[0] == "raised" and isinstance(got[1], AttributeError)
        assert str(got[1]) == f"CFileDisposition member '{member}' was never assigned"
    # The disposition stays cached: asked once, failing the same way each time.
    assert [name for _, name in layer.called("should_trace")].count(program.__file__) == 1
    assert layer.data == {}
    assert layer.locked == 0


def test_members_after_an_untrue_trace_are_never_read(layer, program):
    def disposition():
        d = CFileDisposition()
        d.trace = 1
        return d

    layer.decide = only_for(program, disposition)
    assert run_program(layer, program) == [("returned", 1)]
    assert layer.data == {}


# Containers that are not dicts ------------------------------------------------------------------


@pytest.mark.parametrize("value", [[], None, {1: 2}.items()], ids=["list", "None", "items"])
def test_data_that_is_not_a_dict(layer, program, value):
    layer.include.add(program.__file__)
    layer.tracer.data = value
    (got,) = run_program(layer, program)
    assert got[0] == "raised" and isinstance(got[1], TypeError)
    assert "CTracer.data must be a dict" in str(got[1])
    assert layer.locked == 0


@pytest.mark.parametrize("value", [[], None, {1: 2}.items()], ids=["list", "None", "items"])
def test_cache_that_is_not_a_dict_fails_the_first_call(layer, program, value):
    layer.tracer.should_trace_cache = value
    with pytest.raises(TypeError, match="CTracer.should_trace_cache must be a dict"):
        layer.run(program.f, 2)
    assert layer.called("should_trace") == []


class Plugin:
    _kestrow_plugin_name = "the-plugin"


class FileTracer:
    _kestrow_plugin = Plugin()

    def line_number_range(self, frame):
        return frame.f_lineno, frame.f_lineno


def test_file_tracers_that_is_not_a_dict(layer, program):
    plugged = lambda: make_disposition("plugged.py", file_tracer=FileTracer())
    layer.decide = only_for(program, plugged)
    layer.tracer.file_tracers = ["not", "a", "dict"]
    (got,) = run_program(layer, program)
    assert got[0] == "raised" and isinstance(got[1], TypeError)
    assert "CTracer.file_tracers must be a dict" in str(got[1])
    # The set was stored before the plug-in name could be; it stays, empty.
    assert layer.data == {"plugged.py": set()}
    assert layer.locked == 0


def test_data_value_that_is_not_a_set(layer, program):
    layer.include.add(program.__file__)
    layer.data[program.__file__] = [1, 2]
    (got,) = run_program(layer, program)
    assert got[0] == "raised" and isinstance(got[1], TypeError)
    assert "must be a set" in str(got[1])
    assert layer.data[program.__file__] == [1, 2]
    assert layer.locked == 0


def test_unhashable_recorded_name(layer, program):
    layer.decide = only_for(program, lambda: make_disposition(["not", "hashable"]))
    (got,) = run_program(layer, program)
    assert got[0] == "raised" and isinstance(got[1], TypeError)
    assert "unhashable" in str(got[1])
    assert layer.data == {}
    assert [c[0] for c in layer.calls if "lock" in c[0]] == ["lock_data", "unlock_data"]


# The data lock ----------------------------------------------------------------------------------


def test_lock_data_raising_leaves_data_alone_and_skips_unlock(layer, program):
    layer.include.add(program.__file__)

    def lock_data():
        layer.calls.append(("lock_data",))
        raise Boom("no lock")

    layer.tracer.lock_data = lock_data
    (got,) = run_program(layer, program)
    assert got[0] == "raised" and isinstance(got[1], Boom)
    assert layer.data == {}
    assert layer.called("unlock_data") == []


def test_unlock_data_raising_keeps_the_new_set_for_the_next_call(layer, program):
    layer.include.add(program.__file__)
    unlocks = []

    def unlock_data():
        layer.unlock_data()
        unlocks.append(1)
        if len(unlocks) == 1:
            raise Boom("no unlock")

    layer.tracer.unlock_data = unlock_data
    first, second = run_program(layer, program, times=2)
    assert first[0] == "raised" and isinstance(first[1], Boom)
    assert second == ("returned", 1)
    assert layer.data == {program.__file__: F_LINES}
    assert layer.locked == 0


@pytest.mark.parametrize(
    "break_lookup",
    [
        pytest.param(
            lambda layer, program: setattr(layer.tracer, "data", []), id="data not a dict"
        ),
        pytest.param(
            lambda layer, program: layer.data.__setitem__(program.__file__, "not a set"),
            id="value not a set",
        ),
    ],
)
@pytest.mark.parametrize("unlock_raises", [False, True], ids=["unlock ok", "unlock raises"])
def test_lookup_failure_still_unlocks_with_the_error_set_aside(
    layer, program, break_lookup, unlock_raises
):
    """unlock_data runs as ordinary Python code: were the lookup's error still pending, the
    interpreter would turn its result into a SystemError."""
    layer.include.add(program.__file__)
    break_lookup(layer, program)

    def unlock_data():
        layer.unlock_data()
        if unlock_raises:
            raise Boom("unlock failed too")

    layer.tracer.unlock_data = unlock_data
    (got,) = run_program(layer, program)
    assert got[0] == "raised"
    if unlock_raises:
        assert isinstance(got[1], Boom)
        assert isinstance(got[1].__context__, TypeError)
    else:
        assert type(got[1]) is TypeError
    assert layer.locked == 0
    assert len(layer.called("unlock_data")) == 1


# What a failed call leaves behind -----------------------------------------------------------------

RECORDED = """\
def r():
    a = 1
    return a
"""

GENERATOR = """\
def gen():
    got = []
    while True:
        try:
            yield got
        except RuntimeError as exc:
            got.append(exc)
            note = "caught"
"""


def test_failed_call_leaves_an_entry_that_records_nothing(layer, write_module):
    """A generator catches the failure of its resumption's call event and runs on in a slot that a
    recorded frame of another file used just before: none of its lines may land in that file."""
    recorded = write_module(RECORDED)
    generator = write_module(GENERATOR)
    layer.include.update({recorded.__file__, generator.__file__})
    failing = False

    def lock_data():
        layer.lock_data()
        if failing:
            layer.unlock_data()
            raise RuntimeError("locked out")

    layer.tracer.lock_data = lock_data

    def program():
        nonlocal failing
        g = generator.gen()
        next(g)
        recorded.r()
        failing = True
        got = g.send(None)
        failing = False
        return g, got

    g, got = layer.run(program)
    assert [str(e) for e in got] == ["locked out"]
    assert layer.data == {recorded.__file__: {2, 3}, generator.__file__: {2, 3, 4, 5}}
    g.close()


def test_clearing_the_cache_while_frames_run_is_safe(layer, write_module):
    """The cache held the only reference to each disposition, and the disposition the only one to
    its file tracer, which the running frame's line events still use."""
    mod = write_module(
        """\
        def inner():
            return 2

        def outer(clear):
            a = 1
            clear()
            b = inner()
            return a + b
        """
    )
    tracers = []

    def decide(filename, frame):
        if filename != mod.__file__:
            return None
        file_tracer = FileTracer()
        tracers.append(weakref.ref(file_tracer))
        return make_disposition(filename, file_tracer=file_tracer)

    layer.decide = decide

    def clear():
        layer.cache.clear()
        gc.collect()

    assert layer.run(mod.outer, clear) == 3
    # Lines after the clear still went to the file; the nested call asked again.
    assert layer.lines(mod.__file__) == {2, 5, 6, 7, 8}
    assert layer.file_tracers == {mod.__file__: "the-plugin"}
    assert len(tracers) == 2
    layer.cache.clear()
    layer.tracer.__init__()
    gc.collect()
    assert [ref() for ref in tracers] == [None, None]
