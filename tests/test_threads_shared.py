"""One tracer started in several threads whose calls into the controlling layer let other threads
run in the middle of a call event, while the stacks grow past their first blocks."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import Layer, make_disposition
from kestrow.tracer import CFileDisposition

PROGRAM = """\
def down(n):
    if n == 0:
        return 0
    below = down(n - 1)
    return below + 1

def work(rounds, depth):
    total = 0
    for _ in range(rounds):
        total += down(depth)
    return total
"""


class YieldingLayer(Layer):
    """Every call into the layer gives the other threads a turn."""

    def should_trace(self, filename, frame):
        time.sleep(0)
        return super().should_trace(filename, frame)

    def lock_data(self):
        time.sleep(0)
        super().lock_data()

    def unlock_data(self):
        super().unlock_data()
        time.sleep(0)


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


# Set by the run under the checking allocator below, to repeat the scenario in one process.
REPEATS = int(os.environ.get("KESTROW_THREAD_REPEATS", "1"))


@pytest.mark.parametrize("repeat", range(REPEATS))
@pytest.mark.parametrize("per_thread_stacks", [False, True], ids=["one stack", "stack per thread"])
def test_threads_sharing_one_tracer(write_module, fast_switching, per_thread_stacks, repeat):
    layer = YieldingLayer()
    if per_thread_stacks:
        layer.tracer.concur_id_func = threading.current_thread
    mods = [write_module(PROGRAM) for _ in range(4)]
    layer.include.update(m.__file__ for m in mods[:3])  # the fourth is never recorded
    results = {}
    errors = []
    barrier = threading.Barrier(len(mods))

    def worker(index, mod):
        try:
            barrier.wait()
            layer.tracer.start()
            # No stop here: running is shared, and one thread's stop would end them all.
            results[index] = mod.work(8, 22 + 10 * index)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i, m)) for i, m in enumerate(mods)]
    for t in threads:
        t.start()
    try:
        for t in threads:
            t.join()
    finally:
        layer.tracer.stop()

    assert errors == []
    assert results == {i: 8 * (22 + 10 * i) for i in range(len(mods))}
    assert layer.locked == 0
    assert set(layer.data) <= {m.__file__ for m in mods[:3]}
    # The line path follows the entry of whichever thread's call or return came last, so a line
    # may land in another thread's file; what is stored is still a line number.
    for lines in layer.data.values():
        assert all(type(line) is int and line > 0 for line in lines)


@pytest.mark.skipif(REPEATS > 1, reason="this is the run that repeats")
def test_threads_sharing_one_tracer_under_the_checking_allocator():
    """The interpreter's debug allocator fills freed memory and moves every reallocated block, so
    a write through an entry pointer that a stack growth made stale shows up as a crash."""
    env = dict(os.environ, PYTHONMALLOC="debug", KESTROW_THREAD_REPEATS="4")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-k",
            "not checking_allocator",
            str(Path(__file__)),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
        cwd=Path(__file__).parent,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


LOOPER = """\
import time

def loop_until(done):
    n = 0
    while not done.is_set():
        time.sleep(0)
        n += 1
    return n

def once():
    return 1
"""


class Plugin:
    _kestrow_plugin_name = "lines"


class FileTracer:
    _kestrow_plugin = Plugin()

    def line_number_range(self, frame):
        return frame.f_lineno, frame.f_lineno


class YieldingId:
    """A concurrency id whose hashing lets other threads run."""

    def __hash__(self):
        time.sleep(0)
        return id(self) >> 4


def test_line_events_while_another_thread_adds_concurrency_contexts(write_module):
    """A thread keeps producing line events while threads started one after another each register
    a concurrency context; the array of context stacks moves as it grows, and line events that
    arrive while a registration runs Python code must not use the old array."""
    mod = write_module(LOOPER)
    layer = Layer()
    layer.decide = lambda filename, frame: (
        make_disposition(filename, file_tracer=FileTracer()) if filename == mod.__file__ else None
    )
    ids = {}

    def concur_id():
        return ids.setdefault(threading.current_thread(), YieldingId())

    layer.tracer.concur_id_func = concur_id
    done = threading.Event()
    looped = []

    def looper():
        layer.tracer.start()
        looped.append(mod.loop_until(done))

    def once():
        layer.tracer.start()
        mod.once()

    first = threading.Thread(target=looper)
    first.start()
    try:
        for _ in range(40):
            t = threading.Thread(target=once)
            t.start()
            t.join()
    finally:
        done.set()
        first.join()
        layer.tracer.stop()
    assert len(looped) == 1 and looped[0] > 0
    assert set(layer.data) == {mod.__file__}
    assert layer.file_tracers == {mod.__file__: "lines"}


NESTING = """\
def f():
    return 1

def down(n):
    if n == 0:
        return 0
    return down(n - 1) + 1
"""


def test_entry_released_while_another_thread_grows_the_shared_stack(write_module):
    """Reusing a stack slot releases what its last frame left there; when that release runs a
    finaliser that lets another thread grow the same stack, the slot's array moves, and the rest
    of the release must not go through the old one."""
    mod = write_module(NESTING)
    grow_now = threading.Event()
    grown = threading.Event()

    order = []

    class Disposition(CFileDisposition):
        armed = False

        def __del__(self):
            if self.armed:
                order.append("released")
                grow_now.set()
                grown.wait(10)

    def disposition(filename, frame):
        if filename != mod.__file__:
            return None
        d = Disposition()
        d.trace, d.source_filename = True, filename
        d.file_tracer, d.has_dynamic_filename = None, False
        return d

    layer = Layer()
    layer.decide = disposition

    def grower():
        layer.tracer.start()
        grow_now.wait(10)
        mod.down(45)  # pushes past two growths of the stack it shares with the main thread
        order.append("grown")
        grown.set()

    other = threading.Thread(target=grower)
    other.start()
    layer.tracer.start()
    try:
        mod.f()  # its slot now holds the only reference to the disposition, once uncached
        disposition = layer.cache.pop(mod.__file__)
        disposition.armed = True
        del disposition
        mod.f()  # the same slot, released while the other thread grows the stack
        order.append("second call returned")
    finally:
        layer.tracer.stop()
        grow_now.set()
        other.join()
    assert order == ["released", "grown", "second call returned"]
    assert layer.data == {mod.__file__: {2, 5, 6, 7}}
