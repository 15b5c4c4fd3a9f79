"""File-tracer plug-ins: dynamic source file names, line ranges, and failures that never stop
tracing."""

from __future__ import annotations

import collections
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import Layer, make_disposition
from plugin_fixtures import RENDER, FixedRangeTracer, TemplateTracer

from kestrow import decode_arc

TESTS = Path(__file__).parent


def arcs(keys) -> set[tuple[int, int]]:
    return {decode_arc(key) for key in keys}


def plug(layer: Layer, filename: str, file_tracer, *, dynamic=True, source_filename=None):
    """Make layer give filename's frames to file_tracer; returns the disposition."""
    disposition = make_disposition(
        filename if source_filename is None else source_filename,
        file_tracer=file_tracer,
        has_dynamic_filename=dynamic,
    )
    layer.decide = lambda name, frame: disposition if name == filename else None
    return disposition


@pytest.fixture
def render(write_module):
    return write_module(RENDER)


def _render_all(mod):
    for template, items in [("a.tmpl", [1, 2]), ("skip.tmpl", [1]), ("a.tmpl", []), ("b.tmpl", [])]:
        mod.render(template, items)
    mod.render("skip.tmpl", [])
    mod.helper()


@pytest.mark.parametrize(
    ("arcs_mode", "expect_a", "expect_b"),
    [
        (False, {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 5, 6, 7}),
        (
            True,
            # items [1, 2], then [] into the same set: ranges chain from the line recorded
            # before them, and the exit arc leaves from the last line of the last range.
            {(-1, 1), (1, 2), (2, 3), (3, 4), (4, 2), (3, 5), (5, 6), (6, 7), (7, -1)},
            {(-1, 1), (1, 2), (2, 3), (3, 5), (5, 6), (6, 7), (7, -1)},
        ),
    ],
)
def test_template_plugin(render, arcs_mode, expect_a, expect_b):
    layer = Layer(arcs=arcs_mode)
    layer.included_dynamic = {"a.tmpl", "b.tmpl"}
    tracer = TemplateTracer()
    disposition = plug(layer, render.__file__, tracer)
    layer.run(_render_all, render)

    got_a, got_b = layer.data["a.tmpl"], layer.data["b.tmpl"]
    if arcs_mode:
        got_a, got_b = arcs(got_a), arcs(got_b)
    assert (got_a, got_b) == (expect_a, expect_b)
    assert set(layer.data) == {"a.tmpl", "b.tmpl"}  # never the generated file's own name
    # Each dynamic name is judged once; an excluded one is remembered as None.
    assert layer.called("check_include") == [
        ("check_include", "a.tmpl"),
        ("check_include", "skip.tmpl"),
        ("check_include", "b.tmpl"),
    ]
    assert layer.cache == {
        __file__: None,  # the driver's own code file
        render.__file__: disposition,
        "a.tmpl": disposition,
        "b.tmpl": disposition,
        "skip.tmpl": None,
    }
    assert layer.file_tracers == {"a.tmpl": "templates", "b.tmpl": "templates"}
    assert tracer.asked == [render.__file__] * 6
    assert layer.called("disable_plugin") == []
    assert layer.locked == 0


def test_file_tracers_only_for_files_the_tracer_creates(render, layer):
    layer.included_dynamic = {"a.tmpl", "b.tmpl"}
    plug(layer, render.__file__, TemplateTracer())
    layer.data["a.tmpl"] = {99}
    layer.run(_render_all, render)
    assert layer.file_tracers == {"b.tmpl": "templates"}
    assert layer.data["a.tmpl"] == {99, 1, 2, 3, 4, 5, 6, 7}


@pytest.mark.parametrize("verdict", [1, "yes", False, None])
def test_check_include_counts_only_the_true_object(render, layer, verdict):
    layer.check_include = lambda name, frame: layer.calls.append(("check_include", name)) or verdict
    layer.tracer.check_include = layer.check_include
    plug(layer, render.__file__, TemplateTracer())
    layer.run(_render_all, render)
    assert layer.data == {}
    assert layer.cache["a.tmpl"] is None
    assert len(layer.called("check_include")) == 3


def test_dynamic_name_judged_by_an_existing_cache_entry(render, layer):
    # A dynamic name that is already a key of the cache (here, as a code file name) is judged by
    # that entry, and check_include is not asked.
    plug(layer, render.__file__, TemplateTracer())
    other = make_disposition("elsewhere")
    layer.cache.update({"a.tmpl": other, "b.tmpl": None})
    layer.run(_render_all, render)
    assert set(layer.data) == {"a.tmpl"}
    assert layer.called("check_include") == [("check_include", "skip.tmpl")]


ONE_LINE = """\
def one():
    return 1


def three():
    a = 1
    b = 2
    return a + b
"""

Pair = collections.namedtuple("Pair", "first last")


@pytest.mark.parametrize(
    ("result", "recorded", "error"),
    [
        ((5, 5), [5], None),
        ((5, 7), [5, 6, 7], None),
        ((7, 5), [], None),
        ((-1, 9), [], None),
        ((4, -1), [], None),  # a -1 in second place is just a range that ends below its start
        (Pair(5, 6), [5, 6], None),
        ((2**32 + 5, 2**32 + 5), [5], None),  # only the low 32 bits count
        ((2**32 - 1, 9), [], None),  # ... and these are -1
        ((-3, -2), [-3, -2], None),
        ([3, 4], [], "TypeError: line_number_range must return 2-tuple"),
        ((3,), [], "TypeError: line_number_range must return 2-tuple"),
        ((3, 4, 5), [], "TypeError: line_number_range must return 2-tuple"),
        (None, [], "TypeError: line_number_range must return 2-tuple"),
        ((2**63, 4), [], "OverflowError"),
        ((3, -(2**63) - 1), [], "OverflowError"),
        (("3", 4), [], "TypeError"),
        ((3, 4.0), [], "TypeError"),
        ((1, 2**31 - 1), [], "ValueError: line_number_range returned (1, 2147483647)"),
        ((-(2**31), 5), [], "ValueError: line_number_range returned"),
        (KeyError("broken range"), [], "KeyError: 'broken range'"),
    ],
)
def test_line_number_range_results(write_module, layer, capsys, result, recorded, error):
    mod = write_module(ONE_LINE)
    tracer = FixedRangeTracer(result)
    disposition = plug(layer, mod.__file__, tracer, dynamic=False, source_filename="fixed.src")
    assert layer.run(mod.one) == 1
    assert layer.data == {"fixed.src": set(recorded)}
    assert layer.file_tracers == {"fixed.src": "fixed"}
    stderr = capsys.readouterr().err
    if error is None:
        assert layer.called("disable_plugin") == []
        assert stderr == ""
    else:
        # Reported, handed to the controlling layer, and the traced program goes on.
        assert layer.called("disable_plugin") == [("disable_plugin", disposition)]
        assert error in stderr.splitlines()[-1]


def test_line_range_arcs_and_failures_leave_prev_line(write_module, arcs_layer, capsys):
    mod = write_module(ONE_LINE)

    class Flaky:
        _kestrow_plugin = FixedRangeTracer(None)._kestrow_plugin

        def line_number_range(self, frame):
            line = frame.f_lineno
            if line == 7:
                raise ValueError("no range for 7")
            return {6: (2, 2), 8: (5, 7)}[line]

    disposition = plug(arcs_layer, mod.__file__, Flaky(), dynamic=False, source_filename="t.src")
    assert arcs_layer.run(mod.three) == 3
    # The failed line event records nothing and leaves the frame's previous line at 2.
    assert arcs(arcs_layer.data["t.src"]) == {(-5, 2), (2, 5), (5, 6), (6, 7), (7, -5)}
    assert arcs_layer.called("disable_plugin") == [("disable_plugin", disposition)]
    assert "ValueError: no range for 7" in capsys.readouterr().err


def test_every_failing_line_event_is_reported(write_module, layer, capsys):
    mod = write_module(ONE_LINE)
    plug(layer, mod.__file__, FixedRangeTracer((3,)), dynamic=False)
    assert layer.run(mod.three) == 3
    assert len(layer.called("disable_plugin")) == 3
    assert capsys.readouterr().err.count("line_number_range must return 2-tuple") == 3


class _Raising:
    def __get__(self, obj, owner=None):
        raise LookupError("attribute broke")


class NoPlugin:
    def dynamic_source_filename(self, filename, frame):
        return "x.tmpl"


class NoPluginName(NoPlugin):
    _kestrow_plugin = object()


class PluginRaises(NoPlugin):
    _kestrow_plugin = _Raising()


class PluginNameRaises(NoPlugin):
    _kestrow_plugin = type("P", (), {"_kestrow_plugin_name": _Raising()})()


@pytest.mark.parametrize(
    ("file_tracer", "error"),
    [
        (NoPlugin(), AttributeError),
        (NoPluginName(), AttributeError),
        (PluginRaises(), LookupError),
        (PluginNameRaises(), LookupError),
    ],
)
@pytest.mark.parametrize("recorded", [True, False])
def test_plugin_identity_failures_fail_the_call(render, layer, file_tracer, error, recorded):
    # Read at every call event, even for a frame that would not be recorded; the call event
    # fails, so the exception comes out of the traced call, and the plug-in is not disabled.
    layer.included_dynamic = {"x.tmpl"}
    plug(layer, render.__file__, file_tracer, dynamic=recorded, source_filename=None)
    with pytest.raises(error):
        layer.run(render.helper)
    assert layer.data == {}
    assert layer.file_tracers == {}
    assert layer.called("disable_plugin") == []
    assert layer.called("check_include") == []


class DynamicRaises(TemplateTracer):
    def dynamic_source_filename(self, filename, frame):
        raise ValueError("no name")


@pytest.mark.parametrize("arcs_mode", [False, True])
@pytest.mark.parametrize(
    ("file_tracer", "error"),
    [(DynamicRaises(), "ValueError: no name"), (None, "AttributeError")],
)
def test_dynamic_name_failure_records_nothing(write_module, arcs_mode, file_tracer, error, capsys):
    # The plug-in frame is called at the same depth as a recorded frame just before it, so its
    # stack slot was last filled by that frame: none of its lines or arcs may land in that set.
    layer = Layer(arcs=arcs_mode)
    recorded = write_module("def recorded():\n    return 1\n")
    plugged = write_module("def plugged():\n    a = 1\n    return a\n")
    disposition = make_disposition(
        plugged.__file__, file_tracer=file_tracer, has_dynamic_filename=True
    )
    layer.decide = lambda name, frame: {
        plugged.__file__: disposition,
        recorded.__file__: make_disposition(recorded.__file__),
    }.get(name)

    def drive():
        recorded.recorded()
        plugged.plugged()
        plugged.plugged()

    layer.run(drive)
    got = layer.data[recorded.__file__]
    assert set(layer.data) == {recorded.__file__}
    assert (arcs(got) if arcs_mode else got) == ({(-1, 2), (2, -1)} if arcs_mode else {2})
    assert layer.called("disable_plugin") == [("disable_plugin", disposition)] * 2
    assert capsys.readouterr().err.count(error) == 2


class BadHash(str):
    def __hash__(self):
        raise ArithmeticError("no hash today")


@pytest.mark.parametrize(
    ("name", "error", "match"),
    [
        (["not", "hashable"], TypeError, "unhashable"),
        (BadHash("a.tmpl"), ArithmeticError, "no hash"),
    ],
)
def test_unhashable_dynamic_name_fails_the_call(render, layer, name, error, match):
    class Naming(TemplateTracer):
        def dynamic_source_filename(self, filename, frame):
            return name

    plug(layer, render.__file__, Naming())
    with pytest.raises(error, match=match):
        layer.run(render.render, "a.tmpl", [])
    assert layer.called("check_include") == []
    assert layer.called("disable_plugin") == []
    assert layer.data == {}
    assert render.__file__ in layer.cache and "a.tmpl" not in layer.cache


def test_dynamic_name_of_any_hashable_type(render, layer):
    class Numbered(TemplateTracer):
        def dynamic_source_filename(self, filename, frame):
            return 42

    layer.included_dynamic = {42}
    plug(layer, render.__file__, Numbered())
    layer.run(render.render, "a.tmpl", [])
    assert layer.data == {42: {1, 2, 3, 5, 6, 7}}
    assert layer.file_tracers == {42: "templates"}


@pytest.mark.parametrize("flag", [1, "yes", False, None])
def test_only_true_selects_dynamic_names(render, layer, flag):
    tracer = TemplateTracer()
    plug(layer, render.__file__, tracer, dynamic=flag, source_filename="static.src")
    layer.run(render.render, "a.tmpl", [])
    assert tracer.asked == []
    # Recorded under the disposition's name, still with the plug-in's line ranges.
    assert layer.data == {"static.src": {1, 2, 3, 5, 6, 7}}
    assert layer.file_tracers == {"static.src": "templates"}


def test_range_beyond_the_arc_key_format(write_module, arcs_layer):
    mod = write_module(ONE_LINE)
    limit = 2**28
    plug(arcs_layer, mod.__file__, FixedRangeTracer((limit - 1, limit)), dynamic=False)
    with pytest.raises(OverflowError, match="arc lines must be below"):
        arcs_layer.run(mod.one)
    # The line that fits is recorded; the one that does not fails its event.
    assert arcs(arcs_layer.data[mod.__file__]) == {(-1, limit - 1), (limit - 1, -1)}


def test_check_include_raising_fails_the_call_and_caches_nothing(render, layer):
    def check_include(name, frame):
        layer.calls.append(("check_include", name))
        raise RuntimeError("cannot judge")

    layer.tracer.check_include = check_include
    plug(layer, render.__file__, TemplateTracer())
    for _ in range(2):
        with pytest.raises(RuntimeError, match="cannot judge"):
            layer.run(render.render, "a.tmpl", [])
    assert layer.called("check_include") == [("check_include", "a.tmpl")] * 2
    assert "a.tmpl" not in layer.cache


def test_file_tracers_not_a_dict(render, layer):
    layer.included_dynamic = {"a.tmpl"}
    layer.tracer.file_tracers = []
    plug(layer, render.__file__, TemplateTracer())
    with pytest.raises(TypeError, match="file_tracers must be a dict"):
        layer.run(render.render, "a.tmpl", [])
    # The data lock was released, and the new set stays in data.
    assert layer.locked == 0
    assert layer.data == {"a.tmpl": set()}


def test_plugin_name_stored_unchanged(render, layer):
    name = ("any", "object")
    tracer = TemplateTracer(plugin=type("P", (), {"_kestrow_plugin_name": name})())
    layer.included_dynamic = {"a.tmpl"}
    plug(layer, render.__file__, tracer)
    layer.run(render.render, "a.tmpl", [])
    assert layer.file_tracers["a.tmpl"] is name


def _run_script(tmp_path, body: str) -> subprocess.CompletedProcess:
    script = tmp_path / "script.py"
    script.write_text(
        f"import sys\nsys.path.insert(0, {str(TESTS)!r})\n" + textwrap.dedent(body)
    )
    return subprocess.run(
        [sys.executable, str(script)], capture_output=True, cwd=tmp_path, timeout=60
    )


PREAMBLE = """\
from conftest import Layer, make_disposition
from plugin_fixtures import FixedRangeTracer

def one():
    return 1

layer = Layer()
layer.decide = lambda name, frame: (
    make_disposition("fixed.src", file_tracer=tracer) if name == __file__ else None
)
"""


def test_disable_plugin_raising_writes_the_message(tmp_path):
    proc = _run_script(
        tmp_path,
        PREAMBLE
        + """
tracer = FixedRangeTracer(ValueError("range broke"))

def disable_plugin(disposition):
    raise RuntimeError("cannot disable")

layer.tracer.disable_plugin = disable_plugin
print(layer.run(one), sorted(layer.data["fixed.src"]))
""",
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"1 []\n"
    message = b"Error occurred while disabling plug-in:\n"
    assert proc.stderr.count(message) == 1
    first, second = proc.stderr.split(message)
    assert first.startswith(b"Traceback (most recent call last):\n")
    assert first.endswith(b"ValueError: range broke\n")
    assert second.startswith(b"Traceback (most recent call last):\n")
    assert second.endswith(b"RuntimeError: cannot disable\n")


@pytest.mark.parametrize(
    "setup",
    [
        # From a line range.
        "tracer = FixedRangeTracer(SystemExit(3))",
        # From a dynamic source file name.
        """\
tracer = FixedRangeTracer((1, 1))
tracer.dynamic_source_filename = lambda filename, frame: (_ for _ in ()).throw(SystemExit(4))
layer.decide = lambda name, frame: (
    make_disposition("fixed.src", file_tracer=tracer, has_dynamic_filename=True)
    if name == __file__ else None
)
""",
        # From disable_plugin itself, after another failure.
        """\
tracer = FixedRangeTracer((3,))
def disable_plugin(disposition):
    raise SystemExit(5)
layer.tracer.disable_plugin = disable_plugin
""",
    ],
)
def test_plugin_system_exit_does_not_end_the_process(tmp_path, setup):
    proc = _run_script(tmp_path, PREAMBLE + setup + "\nprint('result', layer.run(one))\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"result 1\n"
    assert b"SystemExit: " in proc.stderr
