"""The plug-in interface: how code that is not plain Python source gets recorded against its source.

A plug-in claims code files and hands the recorder a *file tracer* for each one it claims. The file
tracer says under which source file a frame's lines are recorded and which source lines each
executed line of generated code stands for.

Writing a plug-in
-----------------
Subclass `Plugin` and `FileTracer` (or write classes with the same methods):

``Plugin.file_tracer(filename) -> FileTracer | None``
    Called once per code file name (a code object's ``co_filename``) the first time a frame of
    that file runs. Return a file tracer to claim the file, None to leave it to the ordinary source
    and omit rules.

``FileTracer.has_dynamic_source_filename() -> bool``
    False (the default): every frame of the code file is recorded under ``source_filename()``.
    True: ``dynamic_source_filename(source_filename, frame)`` is asked at every call of a frame.

``FileTracer.source_filename() -> str | None``
    The file the code file's lines are recorded under. None: not recorded.

``FileTracer.dynamic_source_filename(source_filename, frame) -> str | None``
    The file this frame's lines are recorded under, or None to leave the frame unrecorded. The
    name is then checked against the collector's source and omit rules once.

``FileTracer.line_number_range(frame) -> tuple[int, int]``
    The first and last source line (inclusive) that the frame's current line stands for; a first
    value of -1 records nothing. It must return a real 2-tuple of ints.

A plug-in that raises from ``dynamic_source_filename`` or ``line_number_range`` (or returns
something other than a 2-tuple) is reported once with a traceback and a `KestrowWarning`, and
is disabled: its files stop being recorded, also in frames that are still running.

The collector fills in two attributes the native recorder reads: each file tracer it hands over
gets ``_kestrow_plugin`` (the plug-in object) and each plug-in ``_kestrow_plugin_name`` (its
``name``); plug-ins need not set them.

The shipped example, `LineMapPlugin`, records generated Python code against the file it was
generated from.
"""

from __future__ import annotations

import fnmatch
from collections.abc import Iterable, Mapping
from types import FrameType
from typing import Any


class FileTracer:
    """Base class of file tracers; the defaults record frames under the code file's own name."""

    def has_dynamic_source_filename(self) -> bool:
        return False

    def source_filename(self) -> str | None:
        return None

    def dynamic_source_filename(self, source_filename: str | None, frame: FrameType) -> str | None:
        return source_filename

    def line_number_range(self, frame: FrameType) -> tuple[int, int]:
        return frame.f_lineno, frame.f_lineno


class Plugin:
    """Base class of plug-ins. ``name`` identifies the plug-in in results and warnings."""

    name: str = ""

    def file_tracer(self, filename: str) -> FileTracer | None:
        return None


class _LineMapFileTracer(FileTracer):
    def has_dynamic_source_filename(self) -> bool:
        return True

    def dynamic_source_filename(self, source_filename: str | None, frame: FrameType) -> str | None:
        origin = frame.f_globals.get("__kestrow_source__")
        return origin if isinstance(origin, str) else None

    def line_number_range(self, frame: FrameType) -> tuple[int, int]:
        line_map: Mapping[int, Any] = frame.f_globals.get("__kestrow_lines__") or {}
        target = line_map.get(frame.f_lineno)
        if target is None:
            return -1, -1
        if isinstance(target, int):
            return target, target
        first, last = target
        return int(first), int(last)


class LineMapPlugin(Plugin):
    """Records generated Python code against the file it was generated from.

    A code generator (a template engine, a parser generator, ...) compiles its output under a
    pseudo file name matching one of ``patterns`` (default ``<generated:*>``) and puts two names in
    the generated code's globals:

    - ``__kestrow_source__``: the path of the file the code was generated from;
    - ``__kestrow_lines__``: a dict from generated line number to the source line (an int) or the
      inclusive range of source lines (a pair) it came from. Generated lines not in the map (the
      generator's own scaffolding) are not recorded.

    Each frame's name is looked up when it runs, so one generated helper can serve many sources.
    """

    name = "linemap"

    def __init__(self, patterns: Iterable[str] = ("<generated:*>",)) -> None:
        self.patterns = list(patterns)
        self._tracer = _LineMapFileTracer()

    def file_tracer(self, filename: str) -> FileTracer | None:
        if any(fnmatch.fnmatchcase(filename, pattern) for pattern in self.patterns):
            return self._tracer
        return None
