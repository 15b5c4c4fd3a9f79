"""Shared fixtures: a controlling layer that fills every tracer member and notes what it is asked,
and tiny modules written to tmp_path to serve as traced programs."""

from __future__ import annotations

import importlib.util
import itertools
import sys
import textwrap
import weakref
from pathlib import Path
from typing import Any, Callable

import pytest

from kestrow.tracer import CFileDisposition, CTracer

_module_names = itertools.count()

# The smallest program with a loop: f's body is lines 2-5.
SUM_PROGRAM = """\
def f(n):
    total = 0
    for i in range(n):
        total += i
    return total
"""
SUM_LINES = {2, 3, 4, 5}


class Boom(Exception):
    """An exception a test raises on purpose, so that no other error is mistaken for it."""


def make_disposition(
    source_filename: Any = None,
    *,
    trace: Any = True,
    file_tracer: Any = None,
    has_dynamic_filename: Any = False,
    **extra: Any,
) -> CFileDisposition:
    """A disposition with the four members the tracer reads assigned (plus any others given)."""
    d = CFileDisposition()
    d.trace = trace
    d.source_filename = source_filename
    d.file_tracer = file_tracer
    d.has_dynamic_filename = has_dynamic_filename
    for name, value in extra.items():
        setattr(d, name, value)
    return d


def held_weakly(method: Callable[..., Any]) -> Callable[..., Any]:
    """The layer's bound method, reached through a weak reference. The tracer holds its members
    strongly and takes no part in cycle collection, so a bound method stored there would tie layer
    and tracer into a cycle that nothing frees."""
    ref = weakref.WeakMethod(method)
    name = method.__name__

    def call(*args: Any) -> Any:
        bound = ref()
        if bound is None:
            raise ReferenceError(f"the test layer behind {name} is gone")
        return bound(*args)

    return call


class Layer:
    """A controlling layer for tests: owns a CTracer with all thirteen members assigned and keeps a
    log of every call the tracer makes into it.

    By default it records the code files whose names are in `include` (under their own name);
    `decide` replaces that rule with any callable (filename, frame) -> disposition-or-None.
    """

    def __init__(self, include: set[str] | None = None, arcs: bool = False) -> None:
        self.include: set[str] = set(include or ())
        self.decide: Callable[[str, Any], Any] | None = None
        self.calls: list[tuple] = []
        self.data: dict[str, set[int]] = {}
        self.file_tracers: dict[str, Any] = {}
        self.cache: dict[Any, Any] = {}
        self.locked = 0
        self.tracer = CTracer()
        t = self.tracer
        t.should_trace = held_weakly(self.should_trace)
        t.check_include = held_weakly(self.check_include)
        t.warn = held_weakly(self.warn)
        t.concur_id_func = None
        t.data = self.data
        t.file_tracers = self.file_tracers
        t.should_trace_cache = self.cache
        t.trace_arcs = arcs
        t.should_start_context = None
        t.switch_context = held_weakly(self.switch_context)
        t.lock_data = held_weakly(self.lock_data)
        t.unlock_data = held_weakly(self.unlock_data)
        t.disable_plugin = held_weakly(self.disable_plugin)
        self.included_dynamic: set[str] = set()
        _layers.add(self)

    def close(self) -> None:
        """Let go of every member: a test that stores a callable reaching back to this layer
        (a bound method, a closure) has tied layer and tracer into a cycle, which the cycle
        collector cannot break because the tracer takes no part in it."""
        tracer = getattr(self, "tracer", None)  # a test may have dropped it already
        if isinstance(tracer, CTracer):
            for name in MEMBERS:
                setattr(tracer, name, None)

    # The members the tracer calls.
    def should_trace(self, filename: str, frame: Any) -> Any:
        self.calls.append(("should_trace", filename))
        if self.decide is not None:
            return self.decide(filename, frame)
        if filename in self.include:
            return make_disposition(filename)
        return None

    def check_include(self, name: str, frame: Any) -> Any:
        self.calls.append(("check_include", name))
        return name in self.included_dynamic

    def warn(self, *args: Any) -> None:
        self.calls.append(("warn", args))

    def switch_context(self, context: Any) -> None:
        self.calls.append(("switch_context", context))

    def lock_data(self) -> None:
        self.calls.append(("lock_data",))
        self.locked += 1

    def unlock_data(self) -> None:
        self.calls.append(("unlock_data",))
        self.locked -= 1

    def disable_plugin(self, disposition: Any) -> None:
        self.calls.append(("disable_plugin", disposition))

    # Helpers for tests.
    def called(self, name: str) -> list[tuple]:
        return [c for c in self.calls if c[0] == name]

    def run(self, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """Call func with the tracer running in this thread, and stop it afterwards."""
        self.tracer.start()
        try:
            return func(*args, **kwargs)
        finally:
            self.tracer.stop()

    def lines(self, filename: str | Path) -> set[int]:
        return set(self.data.get(str(filename), set()))


MEMBERS = (
    "should_trace", "check_include", "warn", "concur_id_func", "data", "file_tracers",
    "should_trace_cache", "trace_arcs", "should_start_context", "switch_context", "lock_data",
    "unlock_data", "disable_plugin",
)

# Every test layer made during the current test, closed when the test ends.
_layers: weakref.WeakSet[Layer] = weakref.WeakSet()


@pytest.fixture(autouse=True)
def _close_layers():
    yield
    for made in list(_layers):
        made.close()
    _layers.clear()


@pytest.fixture
def layer() -> Layer:
    return Layer()


@pytest.fixture
def arcs_layer() -> Layer:
    return Layer(arcs=True)


@pytest.fixture
def write_module(tmp_path: Path) -> Callable[..., Any]:
    """Write source to tmp_path as a fresh module and import it; returns the module, whose
    __file__ is the name the tracer sees as its code file name."""

    written: list[str] = []

    def write(source: str, name: str | None = None) -> Any:
        name = name or f"traced_{next(_module_names)}"
        path = tmp_path / f"{name}.py"
        path.write_text(textwrap.dedent(source))
        module_spec = importlib.util.spec_from_file_location(name, path)
        assert module_spec is not None and module_spec.loader is not None
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[name] = module
        written.append(name)
        module_spec.loader.exec_module(module)
        return module

    yield write
    # Forget the modules again, so that a test leaves the interpreter as it found it.
    for name in written:
        sys.modules.pop(name, None)
