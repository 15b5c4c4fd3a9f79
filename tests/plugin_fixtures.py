"""A small file-tracer plug-in for the tests: generated "render" code whose frames are recorded
under the name of the template they render, with each generated line mapped onto a range of
template lines."""

from __future__ import annotations

from typing import Any

# The generated module. Its frames belong to the template named by their `template` argument.
RENDER = """\
def render(template, items):
    out = []
    for item in items:
        out.append(item)
    return out


def helper():
    return 1
"""

# Generated line -> the template lines it was rendered from (first, last).
TEMPLATE_LINES = {2: (1, 1), 3: (2, 3), 4: (4, 4), 5: (5, 7)}


class TemplatePlugin:
    _kestrow_plugin_name = "templates"


class TemplateTracer:
    def __init__(self, plugin: Any = None) -> None:
        self._kestrow_plugin = plugin or TemplatePlugin()
        self.asked: list[str] = []

    def dynamic_source_filename(self, filename: str, frame: Any) -> Any:
        self.asked.append(filename)
        # helper() has no template: its frames are not recorded.
        return frame.f_locals.get("template")

    def line_number_range(self, frame: Any) -> tuple[int, int]:
        return TEMPLATE_LINES.get(frame.f_lineno, (-1, -1))


class FixedRangeTracer:
    """A file tracer whose every line event answers with the same result (or raises it)."""

    def __init__(self, result: Any, name: Any = "fixed") -> None:
        self.result = result
        self._kestrow_plugin = type("Plugin", (), {"_kestrow_plugin_name": name})()

    def line_number_range(self, frame: Any) -> Any:
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result
