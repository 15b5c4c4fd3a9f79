"""Dynamic contexts: a call may open a context, which its own return closes.

Each test drives a tiny traced program and reads the order in which the tracer asked
should_start_context (logged as ("ask", function name)), should_trace, and switch_context.
"""

from __future__ import annotations

import gc
import weakref
from typing import Any

import pytest

from conftest import Layer, make_disposition

PROGRAM = """\
def leaf():
    return 1

def opener():
    x = leaf()
    y = leaf()
    return x + y

def boom():
    return 3

def main():
    opener()
    leaf()
    return 0

def drive(*funcs):
    results = []
    for func in funcs:
        try:
            results.append(func())
        except Exception as exc:
            results.append(exc)
    return results
"""


class ContextLayer(Layer):
    """A layer whose should_start_context answers from `starts` (function name -> context) and can
    be told to raise, once, for a function name or at switch_context."""

    def __init__(self, starts: dict[str, Any], **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.starts = starts
        self.raise_at: dict[str, BaseException] = {}
        self.tracer.should_start_context = self.should_start_context

    def should_start_context(self, frame: Any) -> Any:
        name = frame.f_code.co_name
        self.calls.append(("ask", name))
        if name in self.raise_at:
            raise self.raise_at.pop(name)
        return self.starts.get(name)

    def switch_context(self, context: Any) -> None:
        super().switch_context(context)
        key = "open" if context is not None else "close"
        if key in self.raise_at:
            raise self.raise_at.pop(key)

    def log(self, *kinds: str) -> list[tuple]:
        kinds = kinds or ("ask", "switch_context")
        return [c for c in self.calls if c[0] in kinds]


@pytest.fixture
def program(write_module):
    return write_module(PROGRAM)


def test_contexts_off_asks_nothing(layer, program):
    def fail(*args):
        raise AssertionError("called with contexts off")

    layer.tracer.switch_context = fail
    layer.include.add(program.__file__)
    assert layer.run(program.main) == 0
    assert layer.called("switch_context") == []
    assert layer.lines(program.__file__) == {2, 5, 6, 7, 13, 14, 15}


def test_declining_is_asked_at_every_call(program):
    layer = ContextLayer({})
    layer.run(program.main)
    assert layer.log() == [
        ("ask", "main"),
        ("ask", "opener"),
        ("ask", "leaf"),
        ("ask", "leaf"),
        ("ask", "leaf"),
    ]


def test_context_lasts_while_its_frame_runs(program):
    layer = ContextLayer({"opener": "ctx-opener"}, include={program.__file__})
    layer.run(program.main)
    # Nothing is asked while opener runs; its return closes; the next call asks again.
    assert layer.log() == [
        ("ask", "main"),
        ("ask", "opener"),
        ("switch_context", "ctx-opener"),
        ("switch_context", None),
        ("ask", "leaf"),
    ]
    # Recording is the same whatever the context.
    assert layer.lines(program.__file__) == {2, 5, 6, 7, 13, 14, 15}


@pytest.mark.parametrize("context", [0, "", False, 0.0, ()], ids=repr)
def test_false_values_are_contexts(program, context):
    layer = ContextLayer({"opener": context})
    layer.run(program.main)
    assert layer.log() == [
        ("ask", "main"),
        ("ask", "opener"),
        ("switch_context", context),
        ("switch_context", None),
        ("ask", "leaf"),
    ]
    assert layer.called("switch_context")[0][1] is context


def test_same_context_for_successive_openers(write_module):
    mod = write_module(
        """\
        def a():
            return 1

        def main():
            a()
            a()
        """
    )
    ctx = object()
    layer = ContextLayer({"a": ctx})
    layer.run(mod.main)
    assert layer.log("switch_context") == [
        ("switch_context", ctx),
        ("switch_context", None),
        ("switch_context", ctx),
        ("switch_context", None),
    ]


@pytest.mark.parametrize(
    "disposition",
    [None, make_disposition("x.py", trace=1), make_disposition(None)],
    ids=["disposition None", "trace not True", "no source file"],
)
def test_unrecorded_frames_open_and_close(program, disposition):
    layer = ContextLayer({"opener": "ctx"})
    layer.decide = lambda filename, frame: disposition
    layer.run(program.main)
    assert layer.log("switch_context") == [("switch_context", "ctx"), ("switch_context", None)]
    assert layer.data == {}
    assert layer.called("lock_data") == []


def test_asked_before_should_trace_of_a_new_file(program):
    layer = ContextLayer({})
    layer.run(program.leaf)
    assert [c for c in layer.calls if c[0] in ("ask", "should_trace")] == [
        ("ask", "leaf"),
        ("should_trace", program.__file__),
    ]


def test_stopping_leaves_the_context_open(write_module):
    mod = write_module(
        """\
        def stops(tracer):
            tracer.stop()
            return 1

        def after():
            return 2
        """
    )
    ctx = object()
    layer = ContextLayer({"stops": ctx, "after": "ctx-after"})
    layer.run(mod.stops, layer.tracer)
    assert layer.log() == [("ask", "stops"), ("switch_context", ctx)]
    # The context was never closed, so a later run asks for no new one.
    layer.run(mod.after)
    assert layer.log() == [("ask", "stops"), ("switch_context", ctx)]


def test_destroying_the_tracer_releases_an_open_context(write_module):
    mod = write_module(
        """\
        def stops(tracer):
            tracer.stop()
        """
    )

    class Context:
        pass

    ctx = Context()
    alive = weakref.ref(ctx)
    layer = ContextLayer({"stops": ctx})
    layer.run(mod.stops, layer.tracer)
    del ctx
    layer.starts.clear()
    layer.calls.clear()
    assert alive() is not None
    layer.tracer = None
    gc.collect()
    assert alive() is None
    assert layer.calls == []


def test_should_start_context_raising_fails_the_call_and_closes_nothing(program):
    # boom's stack slot was last used by opener, which opened a context there: boom's failed
    # call must not leave the slot claiming it opened one, or its return would close again.
    layer = ContextLayer({"opener": "ctx"}, include={program.__file__})
    error = ValueError("no context")
    layer.raise_at["boom"] = error
    assert layer.run(program.drive, program.opener, program.boom, program.leaf) == [2, error, 1]
    assert layer.log() == [
        ("ask", "drive"),
        ("ask", "opener"),
        ("switch_context", "ctx"),
        ("switch_context", None),
        ("ask", "boom"),
        ("ask", "leaf"),
    ]
    # boom's body never ran.
    assert 11 not in layer.lines(program.__file__)


@pytest.mark.parametrize("failure", ["switch_context", "lock_data"])
def test_failure_after_opening_keeps_the_context_until_return(program, failure):
    # Either the open itself fails, or a later step of the same call event (the data lock
    # taken for the recorded opener).
    layer = ContextLayer({"opener": "ctx"}, include={program.__file__})
    if failure == "switch_context":
        layer.raise_at["open"] = KeyError("open")
    else:
        lock_data = layer.tracer.lock_data

        def failing_lock_data():
            if layer.called("switch_context") == [("switch_context", "ctx")]:
                raise KeyError("open")
            return lock_data()

        layer.tracer.lock_data = failing_lock_data

    result = layer.run(program.drive, program.opener, program.leaf)
    assert [type(r) for r in result] == [KeyError, int]
    # The context stays open through the failure and opener's return (as the exception leaves
    # it) closes it, once; the next call asks again.
    assert layer.log() == [
        ("ask", "drive"),
        ("ask", "opener"),
        ("switch_context", "ctx"),
        ("switch_context", None),
        ("ask", "leaf"),
    ]
    # opener's body never ran.
    assert not {5, 6, 7} & layer.lines(program.__file__)


def test_switch_context_raising_at_close_closes_once(program):
    layer = ContextLayer({"opener": "ctx"}, include={program.__file__})
    error = KeyError("close")
    layer.raise_at["close"] = error
    assert layer.run(program.drive, program.opener, program.leaf) == [error, 1]
    # The interpreter raises the error at opener's return and then reports that return again
    # as the exception leaves; the context is closed by then and must not be closed twice.
    assert layer.log() == [
        ("ask", "drive"),
        ("ask", "opener"),
        ("switch_context", "ctx"),
        ("switch_context", None),
        ("ask", "leaf"),
    ]
    assert {2, 5, 6, 7} <= layer.lines(program.__file__)


def test_generator_surviving_a_failed_close_does_not_close_again(write_module):
    mod = write_module(
        """\
        def gen(log):
            try:
                yield 1
            except KeyError as exc:
                log.append(("caught", str(exc)))
            yield 2

        def main(log):
            g = gen(log)
            log.append(("got", next(g)))
            log.append(("rest", list(g)))
        """
    )
    layer = ContextLayer({"gen": "ctx"})
    layer.raise_at["close"] = KeyError("close")
    layer.run(mod.main, layer.calls)
    # The first yield closes the context and fails; the generator catches the error in place and
    # goes on to yield again, which is the same frame returning once more: no second close. Its
    # next resumption is a new call and opens a context again.
    assert layer.log("ask", "switch_context", "caught", "got", "rest") == [
        ("ask", "main"),
        ("ask", "gen"),
        ("switch_context", "ctx"),
        ("switch_context", None),
        ("caught", "'close'"),
        ("got", 2),
        ("ask", "gen"),
        ("switch_context", "ctx"),
        ("switch_context", None),
        ("rest", []),
    ]
