"""The configurations a workload is measured under, each with a fresh recorder per run.

Every recorder that chooses files records those under the same source roots. kestrow is measured
through its own controlling layer, `kestrow.Collector`.
"""

from __future__ import annotations

import functools
import os
import sys
import threading
import trace
from typing import Any, Callable

import kestrow
from kestrow.tracer import CFileDisposition, CTracer

Roots = tuple[str, ...]


def _under(filename: str, roots: Roots) -> str | None:
    """The canonical name of a code file under one of the roots, else None."""
    if filename.startswith("<"):
        return None
    canonical = os.path.realpath(filename)
    return canonical if canonical.startswith(roots) else None


def _settrace(function: Any) -> tuple[Callable[[], object], Callable[[], object]]:
    # Start and stop are the builtin itself: a lambda would be a frame of this file, called while
    # tracing, and the recorder would record its own stop.
    return functools.partial(sys.settrace, function), functools.partial(sys.settrace, None)


def kestrow_layer(roots: Roots, lock: Any) -> CTracer:
    """A CTracer recording lines of the files under `roots`, configured as the Collector configures
    one but for the data lock, which the Collector keeps to itself and the diagnosis replaces."""
    data: dict[str, set[int]] = {}

    def should_trace(filename: str, frame: Any) -> CFileDisposition:
        d = CFileDisposition()
        d.original_filename = filename
        canonical = _under(filename, roots)
        d.canonical_filename = canonical or filename
        d.trace = canonical is not None
        d.source_filename = canonical
        d.reason = "" if canonical else "outside the source roots"
        d.file_tracer = None
        d.has_dynamic_filename = False
        return d

    tracer = CTracer()
    tracer.should_trace = should_trace
    tracer.check_include = lambda name, frame: False
    tracer.warn = lambda *args: None
    tracer.concur_id_func = None
    tracer.data = data
    tracer.file_tracers = {}
    tracer.should_trace_cache = {}
    tracer.trace_arcs = False
    tracer.should_start_context = None
    tracer.switch_context = lambda context: None
    tracer.lock_data = lock.acquire
    tracer.unlock_data = lock.release
    tracer.disable_plugin = lambda disposition: None
    return tracer


class Recorder:
    """One configuration: `session()` makes a fresh (start, stop) pair for one timed run."""

    name = ""
    label = ""

    def __init__(self, roots: Roots) -> None:
        self.roots = roots

    def session(self) -> tuple[Callable[[], object], Callable[[], object]]:
        raise NotImplementedError


class Untraced(Recorder):
    name, label = "untraced", "untraced"

    def session(self):
        nothing = lambda: None  # noqa: E731
        return nothing, nothing


class Floor(Recorder):
    name, label = "floor", "floor (native no-op)"

    def session(self):
        import _kestrow_floor

        return _kestrow_floor.start, _kestrow_floor.stop


class KestrowLines(Recorder):
    name, label = "lines", "kestrow lines"
    arcs = False

    def session(self):
        self.collector = kestrow.Collector(source=self.roots, arcs=self.arcs)
        return self.collector.start, self.collector.stop

    def recorded(self) -> dict[str, set[int]]:
        """The lines of each file the last session recorded."""
        results = self.collector.results()
        return {name: results.lines_of(name) for name in results.files()}


class KestrowArcs(KestrowLines):
    name, label = "arcs", "kestrow arcs"
    arcs = True


class FreeLock:
    """A data lock that costs as little as a call can: for diagnosis only."""

    acquire = release = staticmethod(tuple)


class KestrowLinesFreeLock(Recorder):
    """Diagnosis: lines mode under a layer whose data lock is free, to show what share of the call
    event's cost is the controlling layer's locking."""

    name, label = "lines_freelock", "kestrow lines, free lock"

    def session(self):
        tracer = kestrow_layer(self.roots, FreeLock())
        return tracer.start, tracer.stop


class PySettrace(Recorder):
    """A line recorder in Python: a global trace function that decides once per file and a
    local one per recorded file that adds frame.f_lineno to that file's set."""

    name, label = "py", "py settrace"

    def session(self):
        roots = self.roots
        data: dict[str, set[int]] = {}
        local_for: dict[str, Any] = {}

        def local_tracer(lines: set[int]) -> Callable:
            add = lines.add

            def local(frame: Any, event: str, arg: Any) -> Callable:
                if event == "line":
                    add(frame.f_lineno)
                return local

            return local

        def global_trace(frame: Any, event: str, arg: Any) -> Callable | None:
            filename = frame.f_code.co_filename
            try:
                return local_for[filename]
            except KeyError:
                canonical = _under(filename, roots)
                local = None
                if canonical is not None:
                    local = local_tracer(data.setdefault(canonical, set()))
                local_for[filename] = local
                return local

        self.data = data
        return _settrace(global_trace)

    def recorded(self) -> dict[str, set[int]]:
        """The lines of each file the last session recorded."""
        return {name: lines for name, lines in self.data.items() if lines}


class PyDesign(Recorder):
    """kestrow's design written in Python: one trace function for every event, a stack of file
    sets, the decision cached per code file, and the data lock taken at each recorded call."""

    name, label = "py_design", "py, kestrow's design"

    def session(self):
        roots = self.roots
        data: dict[str, set[int]] = {}
        cache: dict[str, str | None] = {}
        lock = threading.Lock()
        stack: list[set[int] | None] = []
        current: set[int] | None = None

        def trace(frame: Any, event: str, arg: Any) -> Callable:
            nonlocal current
            if event == "line":
                if current is not None:
                    current.add(frame.f_lineno)
            elif event == "call":
                filename = frame.f_code.co_filename
                try:
                    name = cache[filename]
                except KeyError:
                    name = cache[filename] = _under(filename, roots)
                lines = None
                if name is not None:
                    with lock:
                        lines = data.get(name)
                        if lines is None:
                            lines = data[name] = set()
                stack.append(current)
                current = lines
            elif event == "return":
                current = stack.pop() if stack else None
            return trace

        self.data = data
        return _settrace(trace)


class StdlibTrace(Recorder):
    """The standard library's trace module, counting lines outside the interpreter's installation.

    trace cannot be told which directories to count, only which to ignore: ignoring the
    installation (the standard library and site-packages) leaves it the files under the roots, as
    the other recorders have. It remembers each decision by module base name, for whichever file of
    that name it meets first; the workloads reach the copies' `_parser` and `_re` before any
    standard-library module of those names, so the copies are counted.
    """

    name, label = "trace", "stdlib trace"

    def session(self):
        installation = {sys.prefix, sys.exec_prefix, sys.base_prefix, sys.base_exec_prefix}
        self.tracer = trace.Trace(count=1, trace=0, ignoredirs=sorted(installation))
        return _settrace(self.tracer.globaltrace)


class Monitoring(Recorder):
    """A sys.monitoring LINE recorder: records a line, then disables that location (the
    different design: each line costs one callback, then nothing)."""

    name, label = "monitoring", "sys.monitoring"

    def session(self):
        mon = sys.monitoring
        tool = mon.COVERAGE_ID
        roots = self.roots
        data: dict[str, set[int]] = {}
        set_for: dict[Any, set[int] | None] = {}
        disable = mon.DISABLE

        def on_line(code: Any, line: int) -> Any:
            try:
                lines = set_for[code]
            except KeyError:
                canonical = _under(code.co_filename, roots)
                lines = None if canonical is None else data.setdefault(canonical, set())
                set_for[code] = lines
            if lines is not None:
                lines.add(line)
            return disable

        def start() -> None:
            mon.use_tool_id(tool, "kestrow-bench")
            mon.register_callback(tool, mon.events.LINE, on_line)
            mon.set_events(tool, mon.events.LINE)
            mon.restart_events()

        def stop() -> None:
            mon.set_events(tool, 0)
            mon.register_callback(tool, mon.events.LINE, None)
            mon.free_tool_id(tool)

        self.data = data
        return start, stop


RECORDERS: list[type[Recorder]] = [
    Untraced, Floor, KestrowLines, KestrowArcs, PySettrace, PyDesign, StdlibTrace, Monitoring,
]
DIAGNOSTIC: list[type[Recorder]] = [KestrowLinesFreeLock]
