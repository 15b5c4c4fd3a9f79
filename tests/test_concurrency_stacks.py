"""Concurrency-context stacks: with concur_id_func set, each concurrency id gets a frame stack of
its own, so one context's call and return events never pop another context's frames."""

from __future__ import annotations

import asyncio
import gc
import os
import subprocess
import sys
import threading
import weakref
from typing import Any

import pytest

from conftest import Layer

# A worker that hands over to another thread in the middle of its body and finishes after it is
# handed back. Event.wait is Python code: the waiting thread's first events after it wakes up
# are returns from it, which select that thread's stack again before any of work's lines run.
WORKER = """\
def work(start_next, mine, resume_next):
    a = 1
    start_next.set()
    mine.wait()
    b = 2
    resume_next.set()
    return a + b
"""
WORKER_LINES = {2, 3, 4, 5, 6, 7}


@pytest.fixture
def no_preemption():
    """Let a thread run until it blocks, so threads change only where the test hands over."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    yield
    sys.setswitchinterval(old)


def run_ring(layer: Layer, modules: list[Any], count: int) -> None:
    """Run `count` threads sharing the layer's tracer, each calling start() and then work() of
    modules[i % len(modules)]. Thread i starts thread i+1 in the middle of its work, so all of
    them are inside work() at once, and they finish in order 0, 1, ..., count-1."""
    starts = [threading.Event() for _ in range(count + 1)]
    resumes = [threading.Event() for _ in range(count + 1)]
    errors: list[BaseException] = []

    def thread_main(i: int) -> None:
        try:
            layer.tracer.start()
            starts[i].wait()
            modules[i % len(modules)].work(starts[i + 1], resumes[i], resumes[i + 1])
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)
            for event in starts + resumes:  # let the others finish rather than hang
                event.set()

    threads = [threading.Thread(target=thread_main, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    starts[0].set()
    all_inside = starts[count].wait(timeout=60)  # every thread is now inside work()
    resumes[0].set()
    for t in threads:
        t.join(timeout=60)
    layer.tracer.stop()
    assert errors == []
    assert all_inside and not any(t.is_alive() for t in threads)


@pytest.fixture
def workers(write_module):
    return [write_module(WORKER), write_module(WORKER)]


def test_threads_sharing_a_tracer_record_their_own_frames(no_preemption, workers):
    layer = Layer(include={m.__file__ for m in workers})
    layer.tracer.concur_id_func = threading.current_thread
    run_ring(layer, workers, 2)
    for m in workers:
        assert layer.lines(m.__file__) == WORKER_LINES


def test_one_shared_stack_mixes_up_the_threads(no_preemption, workers):
    # The scenario above with every thread on the main stack: a thread that wakes up pops the
    # other thread's entries and records its lines through them. This is what the per-thread
    # stacks are for, and shows that the ring really interleaves the threads.
    layer = Layer(include={m.__file__ for m in workers})
    run_ring(layer, workers, 2)
    assert [layer.lines(m.__file__) for m in workers] != [WORKER_LINES, WORKER_LINES]


def test_many_threads_and_dead_ids(no_preemption, workers):
    # 23 and then 12 more distinct ids: stacks are added in blocks as ids are first seen, the
    # threads of the first ring are gone before the second starts, and every thread's frames
    # stay on a stack of their own throughout.
    layer = Layer(include={m.__file__ for m in workers})
    layer.tracer.concur_id_func = threading.current_thread
    run_ring(layer, workers, 23)
    for m in workers:
        assert layer.lines(m.__file__) == WORKER_LINES
    layer.data.clear()
    gc.collect()
    run_ring(layer, workers, 12)
    for m in workers:
        assert layer.lines(m.__file__) == WORKER_LINES


def test_ids_are_not_kept_alive(write_module):
    mod = write_module(
        """\
        def f():
            return 1
        """
    )

    class Id:
        pass

    current = [Id()]
    layer = Layer(include={mod.__file__})
    layer.tracer.concur_id_func = lambda: current[0]
    layer.run(mod.f)
    dead = weakref.ref(current[0])
    current[0] = Id()
    gc.collect()
    assert dead() is None
    layer.data.clear()
    layer.run(mod.f)
    assert layer.lines(mod.__file__) == {2}


class Key:
    """A concurrency id compared by name: distinct Key objects with one name are equal."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Key) and other.name == self.name

    def __hash__(self) -> int:
        return hash(self.name)


CALLER = """\
def callee():
    return 1

def caller():
    x = 1
    callee()
    y = 2
    return x + y
"""


@pytest.mark.parametrize(
    "names, lines",
    [
        # Equal ids share a stack: callee's return pops callee's entry, and caller's lines go on.
        (("same", "same"), {2, 5, 6, 7, 8}),
        # Control: with two unequal ids alternating, callee's return comes under caller's id and
        # pops caller's entry instead, and caller's remaining lines are lost.
        (("one", "other"), {2, 5, 6}),
    ],
    ids=["equal ids", "unequal ids"],
)
def test_equal_ids_share_a_stack(write_module, names, lines):
    mod = write_module(CALLER)
    ids = [Key(n) for n in names]  # kept alive for the whole run
    turn = iter(range(1000))
    layer = Layer(include={mod.__file__})
    # Events alternate between the two objects: caller's call and callee's return under the
    # first, callee's call and caller's return under the second.
    layer.tracer.concur_id_func = lambda: ids[next(turn) % 2]
    layer.run(mod.caller)
    assert layer.lines(mod.__file__) == lines


DRIVER = """\
def f():
    return 1

def drive(*funcs):
    results = []
    for func in funcs:
        try:
            results.append(func())
        except Exception as exc:
            results.append(type(exc))
    return results
"""


def event_frame_name() -> str:
    """Called from concur_id_func: the name of the function whose event is being handled."""
    return sys._getframe(2).f_code.co_name


@pytest.mark.parametrize("bad_id", [None, 7, "text", [1]], ids=repr)
@pytest.mark.parametrize("event", ["call", "return"])
def test_id_the_index_cannot_hold_fails_the_event(write_module, bad_id, event):
    # None, ints and strs cannot be weakly referenced, a list cannot even be hashed: the event
    # of f fails with a TypeError raised in f, and the tracer goes on with good ids.
    mod = write_module(DRIVER)
    layer = Layer(include={mod.__file__})
    good = Key("good")
    seen = []

    def concur_id():
        if event_frame_name() == "f":
            seen.append(1)
            if event == "call" or len(seen) > 1:
                return bad_id
        return good

    layer.tracer.concur_id_func = concur_id
    assert layer.run(mod.drive, mod.f) == [TypeError]
    layer.tracer.concur_id_func = lambda: good
    assert layer.run(mod.drive, mod.f) == [1]
    assert layer.lines(mod.__file__) >= {2, 5, 6, 7, 8, 11}
    # Many more ids, across growths of the stack array, then destruction: a failed registration
    # must not have left a stack counted that was never set up.
    keys = [Key(f"k{i}") for i in range(12)]
    for k in keys:
        layer.tracer.concur_id_func = lambda k=k: k
        layer.data.clear()
        layer.run(mod.f)
        assert layer.lines(mod.__file__) == {2}
    layer.tracer = None
    gc.collect()


GREW_AND_FAILED = """\
import sys
sys.path[:0] = [sys.argv[1], sys.argv[2]]
from conftest import Layer
from test_concurrency_stacks import Key, event_frame_name
import driver

layer = Layer(include={driver.__file__})
for k in [Key(f"k{i}") for i in range(8)]:
    layer.tracer.concur_id_func = lambda k=k: k
    layer.run(driver.f)
layer.data.clear()
good = Key("good")
layer.tracer.concur_id_func = lambda: None if event_frame_name() == "f" else good
assert layer.run(driver.drive, driver.f) == [TypeError]
print(sorted(layer.lines(driver.__file__)))
"""


def test_failed_registration_that_grew_the_stacks_keeps_recording(tmp_path):
    # Eight ids, then drive's as the ninth: the tenth registration, f's unusable id, enlarges
    # the array of stacks (which moves it) and then fails. drive's lines that follow, on its
    # stack in the enlarged array, are still recorded. Run with the checking allocator, which
    # overwrites the old array when it is freed.
    (tmp_path / "driver.py").write_text(DRIVER)
    script = tmp_path / "grew_and_failed.py"
    script.write_text(GREW_AND_FAILED)
    proc = subprocess.run(
        [sys.executable, str(script), str(tmp_path), os.path.dirname(__file__)],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ, PYTHONMALLOC="debug"),
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "[5, 6, 7, 8, 9, 10, 11]"


@pytest.mark.parametrize("event", ["call", "return"])
def test_concur_id_func_raising_fails_the_event(write_module, event):
    mod = write_module(DRIVER)
    layer = Layer(include={mod.__file__})
    good = Key("good")
    seen = []

    def concur_id():
        if event_frame_name() == "f":
            seen.append(1)
            if len(seen) == (1 if event == "call" else 2):
                raise LookupError("no id")
        return good

    layer.tracer.concur_id_func = concur_id
    assert layer.run(mod.drive, mod.f, mod.f) == [LookupError, 1]
    lines = layer.lines(mod.__file__)
    if event == "return":
        # The failed return popped nothing; the exception then leaves f, whose return is
        # reported again and pops f's entry, so drive's remaining lines are recorded.
        assert lines == {2, 5, 6, 7, 8, 9, 10, 11}
    else:
        # The failed call pushed nothing, yet f's return is still reported as the exception
        # leaves it, and takes drive's entry: drive's later lines are not recorded. The second
        # call of f is recorded normally.
        assert lines >= {2, 5, 6, 7, 8}


ASYNC_PROGRAM = """\
import asyncio

async def step(n, log):
    a = n
    log.append(("suspend", n))
    await asyncio.sleep(0)
    log.append(("resume", n))
    return a + 1

async def work(n, log):
    x = await step(n, log)
    y = await step(x, log)
    return y

async def main(log):
    return await asyncio.gather(work(1, log), work(10, log))
"""


class OutsideTasks:
    """The id of the code that runs outside any task (the event loop's own frames)."""


def current_task_id(outside=OutsideTasks()) -> Any:
    # asyncio.current_task() is None in the loop's own frames and raises before a loop runs;
    # neither can key a stack, so those frames share one id of their own.
    try:
        task = asyncio.current_task()
    except RuntimeError:
        task = None
    return outside if task is None else task


@pytest.mark.parametrize("concur_id_func", [current_task_id, None], ids=["per task", "main stack"])
def test_asyncio_tasks_switching_inside_functions(write_module, concur_id_func):
    # Each task suspends in the middle of step() and work() while the other runs. asyncio
    # reports every suspension as a return and every resumption as a call, so a frame's
    # entry never outlives a switch, and the main stack copes as well as per-task stacks;
    # the per-thread test above is where a shared stack goes wrong.
    from kestrow.arcs import decode_arc

    mod = write_module(ASYNC_PROGRAM)
    layer = Layer(include={mod.__file__}, arcs=True)
    layer.tracer.concur_id_func = concur_id_func
    log: list[tuple] = []
    assert layer.run(asyncio.run, mod.main(log)) == [3, 12]
    assert log == [
        ("suspend", 1),
        ("suspend", 10),
        ("resume", 1),
        ("suspend", 2),
        ("resume", 10),
        ("suspend", 11),
        ("resume", 2),
        ("resume", 11),
    ]
    arcs = {decode_arc(k) for k in layer.data[mod.__file__]}
    assert arcs == {
        (-3, 4), (4, 5), (5, 6), (6, 7), (7, 8), (8, -3),
        (-10, 11), (11, 12), (12, 13), (13, -10),
        (-15, 16), (16, -15),
    }


def test_concur_id_func_set_while_frames_run(write_module):
    mod = write_module(
        """\
        def inner():
            return 1

        def outer(tracer, func):
            a = 1
            tracer.concur_id_func = func
            inner()
            tracer.concur_id_func = None
            return a
        """
    )
    layer = Layer(include={mod.__file__})
    layer.tracer.should_start_context = lambda frame: (
        "ctx" if frame.f_code.co_name == "outer" else None
    )
    key = Key("k")
    layer.run(mod.outer, layer.tracer, lambda: key)
    # outer's entry stays on the main stack, inner's call and return use the id's stack, and
    # outer's return, back on the main stack, finds outer's entry and closes its context.
    # (Between inner's return and outer's, line events use the id's stack, now empty, so
    # outer's last lines are not recorded.)
    assert {2, 5, 6, 7} <= layer.lines(mod.__file__)
    assert layer.called("switch_context") == [("switch_context", "ctx"), ("switch_context", None)]


def test_one_context_at_a_time_across_threads(no_preemption, write_module):
    # Thread A is asked whether its call starts a context, and while the layer thinks it over,
    # thread B opens one. The context is the tracer's, not a thread's: A's answer comes too late
    # and must not replace B's context unannounced, and each context is closed once.
    mod = write_module(
        """\
        def a_work():
            return 1

        def b_work(a_may_answer, b_may_return):
            a_may_answer.set()
            b_may_return.wait(60)
            return 2
        """
    )
    layer = Layer()
    layer.tracer.concur_id_func = threading.current_thread
    b_may_start = threading.Event()
    a_may_answer = threading.Event()
    b_may_return = threading.Event()

    def should_start_context(frame):
        name = frame.f_code.co_name
        if name == "a_work":
            b_may_start.set()
            a_may_answer.wait(60)
            return "ctx-a"
        if name == "b_work":
            return "ctx-b"
        return None

    layer.tracer.should_start_context = should_start_context

    def thread_a():
        layer.tracer.start()
        mod.a_work()
        b_may_return.set()

    def thread_b():
        layer.tracer.start()
        b_may_start.wait(60)
        mod.b_work(a_may_answer, b_may_return)

    threads = [threading.Thread(target=thread_a), threading.Thread(target=thread_b)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    layer.tracer.stop()
    assert layer.called("switch_context") == [("switch_context", "ctx-b"), ("switch_context", None)]


class FileSet(set):
    """A file set the layer hands in itself, so the test can see when it is freed."""


@pytest.mark.parametrize("stopped_inside", [False, True], ids=["returned", "still running"])
def test_destroying_the_tracer_releases_its_context_stacks(write_module, stopped_inside):
    mod = write_module(
        """\
        def f(tracer, stop):
            if stop:
                tracer.stop()
            return 1
        """
    )
    layer = Layer(include={mod.__file__})
    file_set = FileSet()
    layer.data[mod.__file__] = file_set
    alive = weakref.ref(file_set)
    del file_set
    keys = [Key(f"k{i}") for i in range(12)]
    for k in keys:
        layer.tracer.concur_id_func = lambda k=k: k
        layer.run(mod.f, layer.tracer, stopped_inside)
    assert 2 in layer.lines(mod.__file__)
    layer.data.clear()
    gc.collect()
    assert alive() is not None  # the stacks' entries still hold it
    layer.tracer = None
    gc.collect()
    assert alive() is None
