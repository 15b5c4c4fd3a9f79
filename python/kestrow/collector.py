"""The controlling layer: owns one native tracer per thread and turns what they record into results.

from kestrow import Collector

collector = Collector(source=["src"], arcs=True, contexts="test")
with collector:
    run_the_program()
results = collector.results()
results.lines_of("src/app.py")           # {1, 2, 5, ...}
results.contexts_of("src/app.py", 5)     # {"test_app.test_parse", ...}
"""

from __future__ import annotations

import os
import sys
import threading
import traceback
import warnings
import weakref
from collections.abc import Callable, Iterable
from types import FrameType
from typing import Any

from kestrow.plugins import FileTracer, Plugin
from kestrow.results import NO_CONTEXT, Results
from kestrow.selection import FileSelector
from kestrow.tracer import CFileDisposition, CTracer


class KestrowWarning(UserWarning):
    """Warnings about the recording itself (a plug-in disabled, ...), never about the program."""


class _ThreadTracer(CTracer):
    # Only so that tests and callers can hold a tracer weakly and see it go away.
    __slots__ = ("__weakref__",)


class _GuardedFileTracer:
    """What the native tracer holds for a plug-in's file tracer.

    Once the plug-in is disabled it answers "nothing to record" without calling into the plug-in,
    so frames that were already running under it stop reporting the same failure at every line.
    """

    __slots__ = ("_kestrow_plugin", "inner", "state")

    def __init__(self, inner: FileTracer, plugin: Plugin, state: _PluginState) -> None:
        self._kestrow_plugin = plugin
        self.inner = inner
        self.state = state

    def dynamic_source_filename(self, source_filename: Any, frame: FrameType) -> Any:
        if self.state.disabled:
            return None
        return self.inner.dynamic_source_filename(source_filename, frame)

    def line_number_range(self, frame: FrameType) -> Any:
        if self.state.disabled:
            return (-1, -1)
        return self.inner.line_number_range(frame)


class _PluginState:
    __slots__ = ("disabled", "plugin")

    def __init__(self, plugin: Plugin) -> None:
        self.plugin = plugin
        self.disabled = False


def _weakly(method: Callable[..., Any], default: Any = None) -> Callable[..., Any]:
    """A plain function calling `method` through a weak reference to its object.

    The native tracer takes no part in cyclic garbage collection, so a tracer member holding a bound
    method of the collector (which holds the tracer) would make a cycle nothing can free. Holding
    the collector weakly leaves no cycle to break.
    """
    ref = weakref.WeakMethod(method)

    def call(*args: Any) -> Any:
        bound = ref()
        return default if bound is None else bound(*args)

    call.__name__ = method.__name__
    return call


def context_label_of_test(frame: FrameType) -> str:
    """The context name of a test function's frame: its module and qualified name."""
    module = frame.f_globals.get("__name__") or "?"
    if module == "__main__":
        module = os.path.splitext(os.path.basename(frame.f_code.co_filename))[0]
    return f"{module}.{frame.f_code.co_qualname}"


class Collector:
    """Records which lines (or arcs) of the selected source files run, per thread and context.

    source:   directories whose files are recorded (default: the current directory).
    omit:     glob patterns of files not to record (see `FileSelector`).
    arcs:     record line-to-line arcs instead of lines only.
    contexts: None, or "test" to record per test function: every call of a function whose name
              starts with "test", in a recorded file, opens a context named after it until it
              returns, and the results tell which contexts ran each line.
    plugins:  `Plugin` objects, asked in order about each code file.

    `start` records in the calling thread and in every thread started afterwards; `stop` ends it
    everywhere. A collector can be started again after `stop`; results accumulate.
    """

    def __init__(
        self,
        source: Iterable[str] | None = None,
        omit: Iterable[str] = (),
        *,
        arcs: bool = False,
        contexts: str | None = None,
        plugins: Iterable[Plugin] = (),
    ) -> None:
        if contexts not in (None, "test"):
            raise ValueError(f"unknown contexts option {contexts!r} (only 'test' is known)")
        self.selector = FileSelector(source if source is not None else [os.getcwd()], omit)
        self.arcs = bool(arcs)
        self.contexts = contexts
        self._plugins = [_PluginState(plugin) for plugin in plugins]
        for index, state in enumerate(self._plugins):
            name = getattr(state.plugin, "name", "") or f"{type(state.plugin).__name__}#{index}"
            state.plugin._kestrow_plugin_name = name

        # One dict of file sets per context, shared by every thread's tracer: a tracer's `data` is
        # the dict of the context it is in. Tracers add to sets they already hold outside any lock,
        # so sets are never replaced or emptied here: a frame entered under one context keeps
        # recording into that context's set, and nothing it records is lost when contexts switch.
        self._data: dict[str, dict[str, set[int]]] = {NO_CONTEXT: {}}
        self._file_tracers: dict[str, Any] = {}
        # Dispositions stay here for the collector's lifetime: the native tracer borrows them (and
        # their file tracers) for frames that may still be running after a stop.
        self._cache: dict[Any, Any] = {}
        self._lock = threading.Lock()
        self._control = threading.Lock()
        self._tracers: dict[int, _ThreadTracer] = {}
        self._latest_context = NO_CONTEXT
        self._running = False
        self._start_thread: int | None = None
        self._saved_trace: Any = None
        self._saved_thread_hook: Any = None

        self._m_should_trace = _weakly(self._should_trace)
        self._m_check_include = _weakly(self._check_include, False)
        self._m_warn = _weakly(self._warn)
        self._m_should_start_context = _weakly(self._should_start_context)
        self._m_switch_context = _weakly(self._switch_context)
        self._m_disable_plugin = _weakly(self._disable_plugin)
        self._thread_hook = _weakly(self._start_in_new_thread)

    # Control.
    def start(self) -> Collector:
        if self._running:
            return self
        self._running = True
        self._start_thread = threading.get_ident()
        self._saved_trace = sys.gettrace()
        self._saved_thread_hook = threading.gettrace()
        threading.settrace(self._thread_hook)
        self._make_tracer().start()
        return self

    def stop(self) -> None:
        with self._control:
            if not self._running:
                return
            self._running = False
            threading.settrace(self._saved_thread_hook)
            tracers = list(self._tracers.values())
            self._tracers.clear()
        for tracer in tracers:
            tracer.stop()
        # Frames of this thread that ran while recording have the tracer as their local trace
        # function; a trace function restored below would hand their next event to the stopped
        # tracer, which answers by removing whatever trace function is installed.
        frame = sys._getframe()
        while frame is not None:
            if isinstance(frame.f_trace, _ThreadTracer):
                frame.f_trace = None
            frame = frame.f_back
        if threading.get_ident() == self._start_thread:
            # Replacing the callback drops the thread's reference to the tracer now rather than at
            # its next event, and gives back whatever trace function was there before.
            sys.settrace(self._saved_trace)
        self._saved_trace = self._saved_thread_hook = None

    def __enter__(self) -> Collector:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._running

    def results(self) -> Results:
        """A snapshot of everything recorded so far (also while running)."""
        # Only copies of dicts, sets and strs under the data lock: nothing that could run Python
        # code, which could be a recorded call needing the lock in this very thread.
        with self._lock:
            data = {
                context: {name: set(lines) for name, lines in files.items()}
                for context, files in list(self._data.items())
            }
            plugins = dict(self._file_tracers)
        plugin_names = {name: str(plugin) for name, plugin in plugins.items()}
        return Results.from_raw(data, arcs=self.arcs, plugins=plugin_names)

    # Tracers.
    def _make_tracer(self) -> _ThreadTracer:
        tracer = _ThreadTracer()
        tracer.should_trace = self._m_should_trace
        tracer.check_include = self._m_check_include
        tracer.warn = self._m_warn
        tracer.concur_id_func = None
        tracer.data = self._context_data(self._latest_context)
        tracer.file_tracers = self._file_tracers
        tracer.should_trace_cache = self._cache
        tracer.trace_arcs = self.arcs
        tracer.should_start_context = self._m_should_start_context if self.contexts else None
        tracer.switch_context = self._m_switch_context
        tracer.lock_data = self._lock.acquire
        tracer.unlock_data = self._lock.release
        tracer.disable_plugin = self._m_disable_plugin
        self._tracers[threading.get_ident()] = tracer
        return tracer

    def _start_in_new_thread(self, frame: FrameType, event: str, arg: Any) -> Any:
        # Installed with threading.settrace: runs as the first trace event of each new thread.
        with self._control:
            if not self._running:
                sys.settrace(None)
                return None
            tracer = self._make_tracer()
            tracer.start()
        # Let the tracer handle this first call itself; it installs itself as the native callback.
        return tracer(frame, event, arg)

    def _context_data(self, context: str) -> dict[str, set[int]]:
        files = self._data.get(context)
        if files is None:
            files = self._data.setdefault(context, {})
        return files

    # The members the native tracer calls.
    def _should_trace(self, filename: str, frame: FrameType) -> CFileDisposition:
        disposition = CFileDisposition()
        disposition.original_filename = filename
        disposition.file_tracer = None
        disposition.has_dynamic_filename = False
        for state in self._plugins:
            if state.disabled:
                continue
            try:
                file_tracer = state.plugin.file_tracer(filename)
                if file_tracer is None:
                    continue
                dynamic = bool(file_tracer.has_dynamic_source_filename())
                source = filename if dynamic else file_tracer.source_filename()
            except Exception:
                # A plug-in's fault must not reach the traced program: report it, drop the plug-in.
                traceback.print_exc()
                self._disable(state)
                continue
            disposition.canonical_filename = filename
            disposition.source_filename = source
            disposition.file_tracer = _GuardedFileTracer(file_tracer, state.plugin, state)
            disposition.has_dynamic_filename = dynamic
            if dynamic:
                disposition.trace = True
                disposition.reason = f"claimed by plug-in {state.plugin._kestrow_plugin_name}"
            else:
                decision = self.selector.decide(source) if isinstance(source, str) else None
                disposition.trace = bool(decision and decision.trace)
                disposition.reason = decision.reason if decision else "plug-in gave no source"
                disposition.source_filename = decision.path if decision and decision.trace else None
            return disposition
        decision = self.selector.decide(filename)
        disposition.canonical_filename = decision.path
        disposition.source_filename = decision.path
        disposition.trace = decision.trace
        disposition.reason = decision.reason
        return disposition

    def _check_include(self, name: Any, frame: FrameType) -> bool:
        # Only plain strs: a name becomes a key of `data`, looked up under the data lock, and a
        # str subclass could run Python code there.
        return type(name) is str and self.selector.decide(name).trace

    def _warn(self, message: Any, *args: Any) -> None:
        warnings.warn(str(message), KestrowWarning, stacklevel=2)

    def _should_start_context(self, frame: FrameType) -> str | None:
        code = frame.f_code
        if not code.co_name.startswith("test"):
            return None
        disposition = self._cache.get(code.co_filename)
        if disposition is None:
            traced = self.selector.decide(code.co_filename).trace
        else:
            traced = disposition.trace is True
        return context_label_of_test(frame) if traced else None

    def _switch_context(self, context: str | None) -> None:
        label = NO_CONTEXT if context is None else str(context)
        self._latest_context = label
        tracer = self._tracers.get(threading.get_ident())
        if tracer is not None:
            tracer.data = self._context_data(label)

    def _disable_plugin(self, disposition: CFileDisposition) -> None:
        state = getattr(disposition.file_tracer, "state", None)
        if isinstance(state, _PluginState):
            self._disable(state)

    def _disable(self, state: _PluginState) -> None:
        if state.disabled:
            return
        state.disabled = True
        name = state.plugin._kestrow_plugin_name
        self._warn(f"Disabling plug-in {name!r} after an error; its files are no longer recorded")
        # Dispositions stay cached (running frames borrow them); they just stop recording.
        for cached in list(self._cache.values()):
            if cached is not None and getattr(cached.file_tracer, "state", None) is state:
                cached.trace = False
