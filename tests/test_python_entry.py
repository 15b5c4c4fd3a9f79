"""The tracer called as a Python-level trace function: tracer(frame, event, arg)."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import SUM_LINES as F_LINES, SUM_PROGRAM as PROGRAM, Boom, make_disposition
from kestrow.tracer import CTracer

GENERATOR = """\
def walk():
    yield 1
    x = 2
    yield x
"""


def send(tracer, frame, event, by_keyword=False):
    """Hand one event to the tracer and report (result or exception, trace function installed).

    A "call" installs the native callback in this thread; it is read and removed on the same line
    as the call, so no event of this frame reaches it in between."""
    if by_keyword:
        args, kwargs = (), {"frame": frame, "event": event, "arg": None}
    else:
        args, kwargs = (frame, event, None), {}
    try:
        result = tracer(*args, **kwargs); installed = sys.gettrace(); sys.settrace(None)
    except Exception as exc:
        result = exc; installed = sys.gettrace(); sys.settrace(None)
    return result, installed


@pytest.fixture
def running(layer):
    """The layer's tracer running, but with its callback installed in no live thread: events
    reach it only through the Python-level entry."""
    worker = threading.Thread(target=layer.tracer.start)
    worker.start()
    worker.join()
    layer.tracer.reset_activity()
    yield layer
    layer.tracer.stop()
    sys.settrace(None)


@pytest.fixture
def walker(write_module):
    """A suspended generator of a tiny module: its frame stands on line 2, then on line 4."""
    mod = write_module(GENERATOR)
    gen = mod.walk()
    next(gen)
    yield mod, gen
    gen.close()


def test_call_line_return_record_the_frames_lines_and_call_installs(running, walker):
    layer, tracer = running, running.tracer
    mod, gen = walker
    layer.include.add(mod.__file__)
    frame = gen.gi_frame

    assert send(tracer, frame, "call") == (tracer, tracer)
    assert frame.f_trace is tracer
    assert layer.data == {mod.__file__: set()}
    assert send(tracer, frame, "line") == (tracer, None)
    next(gen)  # untraced: now on line 4
    assert send(tracer, frame, "line") == (tracer, None)
    assert layer.lines(mod.__file__) == {2, 4}
    assert send(tracer, frame, "return") == (tracer, None)
    # The entry is popped: a line now finds an empty stack.
    assert send(tracer, frame, "line") == (tracer, None)
    assert layer.lines(mod.__file__) == {2, 4}


def test_arguments_by_keyword_behave_as_by_position(running, walker):
    layer, tracer = running, running.tracer
    mod, gen = walker
    layer.include.add(mod.__file__)
    frame = gen.gi_frame
    assert send(tracer, frame, "call", by_keyword=True) == (tracer, tracer)
    assert send(tracer, frame, "line", by_keyword=True) == (tracer, None)
    assert layer.lines(mod.__file__) == {2}
    assert send(tracer, frame, "return", by_keyword=True) == (tracer, None)
    assert send(tracer, frame, "line", by_keyword=True) == (tracer, None)
    assert layer.lines(mod.__file__) == {2}


@pytest.mark.parametrize(
    "name",
    [
        "exception",
        "c_call",
        "c_exception",
        "c_return",
        "opcode",
        "LINE",
        "Line",
        "CALL",
        "line ",
        "",
        "lïne",
        "l\u0131ne",
        "line\0",
        "call\0x",
        "\0",
        "\udcff",
    ],
)
def test_other_event_names_are_ignored_but_count_as_activity(running, walker, name):
    layer, tracer = running, running.tracer
    mod, gen = walker
    layer.include.add(mod.__file__)
    frame = gen.gi_frame
    send(tracer, frame, "call")
    tracer.reset_activity()
    assert send(tracer, frame, name) == (tracer, None)
    assert tracer.activity() is True
    # Not a line event, and not a return: the entry is still there for a real line.
    assert layer.lines(mod.__file__) == set()
    send(tracer, frame, "line")
    assert layer.lines(mod.__file__) == {2}


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param((), {}, id="nothing"),
        pytest.param(("frame", "line"), {}, id="two"),
        pytest.param(("frame", "line", None, 1), {}, id="four"),
        pytest.param(("frame", "line", None), {"extra": 1}, id="unknown keyword"),
        pytest.param(("frame", "line"), {"argument": None}, id="misspelt keyword"),
        pytest.param(("frame",), {"event": "line", "frame": None}, id="frame twice"),
        pytest.param((None, "line", None), {}, id="frame not a frame"),
        pytest.param(("code", "line", None), {}, id="code object as frame"),
        pytest.param(("frame", b"line", None), {}, id="event bytes"),
        pytest.param(("frame", None, None), {}, id="event None"),
    ],
)
def test_argument_errors_name_tracer_call_and_handle_nothing(running, walker, args, kwargs):
    layer, tracer = running, running.tracer
    mod, gen = walker
    layer.include.add(mod.__file__)
    values = {"frame": gen.gi_frame, "code": gen.gi_code}
    args = tuple(values.get(a, a) if isinstance(a, str) else a for a in args)
    with pytest.raises(TypeError, match="Tracer_call"):
        tracer(*args, **kwargs)
    assert sys.gettrace() is None
    assert tracer.activity() is False
    assert layer.data == {}


def test_call_on_a_stopped_tracer_installs_then_the_next_event_removes(layer, walker):
    tracer = layer.tracer
    mod, gen = walker
    layer.include.add(mod.__file__)
    assert send(tracer, gen.gi_frame, "call") == (tracer, tracer)
    tracer(gen.gi_frame, "call", None); installed = sys.gettrace()
    # This line's own event reached the stopped tracer, which removed itself.
    assert installed is tracer
    assert sys.gettrace() is None
    assert tracer.activity() is False
    assert layer.data == {}


def test_failed_call_raises_and_installs_all_the_same(running, walker):
    layer, tracer = running, running.tracer
    mod, gen = walker

    def decide(filename, frame):
        raise Boom(filename)

    layer.decide = decide
    result, installed = send(tracer, gen.gi_frame, "call")
    assert isinstance(result, Boom) and str(result) == mod.__file__
    assert installed is tracer


def test_tracer_without_init_survives_every_event(walker):
    _, gen = walker
    tracer = CTracer.__new__(CTracer)
    for event in ("call", "line", "return", "exception", "odd"):
        assert send(tracer, gen.gi_frame, event)[0] is tracer
    assert tracer.activity() is False


def test_sys_settrace_with_the_tracer_records_a_program(layer, write_module):
    mod = write_module(PROGRAM)
    layer.include.add(mod.__file__)
    tracer = layer.tracer
    tracer.start()
    sys.settrace(tracer)  # replaces the native callback with the Python-level entry
    try:
        result = mod.f(3)
    finally:
        tracer.stop()
        sys.settrace(None)
    assert result == 3
    assert layer.lines(mod.__file__) == F_LINES


def test_threading_settrace_traces_threads_started_afterwards(layer, write_module):
    before = write_module(PROGRAM)
    after = write_module(PROGRAM)
    layer.include.update({before.__file__, after.__file__})
    tracer = layer.tracer
    go = threading.Event()
    results = {}

    def run(name, mod):
        go.wait()
        results[name] = mod.f(3)

    early = threading.Thread(target=run, args=("before", before))
    early.start()
    late = None
    try:
        tracer.start()
        sys.settrace(None)  # not this thread: only the threads started from here on
        threading.settrace(tracer)
        late = threading.Thread(target=run, args=("after", after))
        late.start()
        go.set()
        early.join()
        late.join()
    finally:
        threading.settrace(None)
        tracer.stop()
        go.set()
        early.join()
        if late is not None:
            late.join()
    assert results == {"before": 3, "after": 3}
    assert layer.data == {after.__file__: F_LINES}


@pytest.mark.parametrize("through_settrace", [True, False], ids=["sys.settrace", "native"])
def test_after_a_failed_call_only_the_native_callback_keeps_tracing(
    layer, write_module, through_settrace
):
    """A trace function that raises is removed by the interpreter, so through sys.settrace a
    failed call ends tracing in that thread, although the tracer installed its native callback
    first; started natively, the tracer goes on with the next call."""
    failing = write_module(PROGRAM)
    recorded = write_module(PROGRAM)
    layer.include.add(recorded.__file__)

    def decide(filename, frame):
        if filename == failing.__file__:
            raise Boom("undecided")
        return make_disposition(filename) if filename in layer.include else None

    layer.decide = decide
    tracer = layer.tracer
    tracer.start()
    if through_settrace:
        sys.settrace(tracer)
    raised = None
    try:
        # The first call after sys.settrace comes through the Python-level entry.
        try:
            failing.f(1)
        except Boom as exc:
            raised = exc
        installed = sys.gettrace()
        recorded.f(3)
    finally:
        tracer.stop()
        sys.settrace(None)
    assert str(raised) == "undecided"
    if through_settrace:
        assert installed is None
        assert layer.data == {}
    else:
        assert installed is tracer
        assert layer.data == {recorded.__file__: F_LINES}


def test_failed_call_keeps_its_exception_when_an_audit_hook_refuses_the_install(tmp_path):
    """Installing the callback runs the audit hooks; one that refuses is only reported by the
    interpreter, and the call event's own exception is what the caller gets."""
    script = tmp_path / "refused.py"
    script.write_text(
        textwrap.dedent(
            """\
            import sys
            import threading
            from kestrow.tracer import CTracer

            refuse = False

            def hook(event, args):
                if refuse and event == "sys.settrace":
                    raise PermissionError("no tracing here")

            sys.addaudithook(hook)

            def undecided(filename, frame):
                raise LookupError("undecided")

            tracer = CTracer()
            tracer.should_trace = undecided
            tracer.should_trace_cache = {}
            tracer.concur_id_func = None
            tracer.should_start_context = None
            # Running, with the callback installed in no live thread.
            worker = threading.Thread(target=tracer.start)
            worker.start()
            worker.join()
            refuse = True
            try:
                tracer(sys._getframe(), "call", None)
            except Exception as exc:
                print(type(exc).__name__, exc)
            """
        )
    )
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "LookupError undecided\n"
    assert "PermissionError: no tracing here" in result.stderr
