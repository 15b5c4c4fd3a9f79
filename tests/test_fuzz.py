"""Property-based tests: generated configurations, plug-in behaviours and small programs.

Whatever is generated, the tracer never crashes, every set in data holds ints only, should_trace
is asked at most once per file name while its cache is a dict, unlock_data follows every
successful lock_data, and a clean configuration records exactly the lines a Python-level trace
function sees. KESTROW_FUZZ_EXAMPLES raises the number of examples (modest by default, so that
the ordinary suite stays fast)."""

from __future__ import annotations

import contextlib
import importlib.util
import io
import itertools
import os
import sys
import tempfile
import textwrap
from pathlib import Path
from typing import Any, Callable

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from conftest import Layer, make_disposition  # noqa: E402
from kestrow import decode_arc  # noqa: E402

EXAMPLES = int(os.environ.get("KESTROW_FUZZ_EXAMPLES", "40"))
fuzz_settings = settings(max_examples=EXAMPLES, deadline=None, database=None,
                         suppress_health_check=[HealthCheck.too_slow])

_counter = itertools.count()
_workdir = tempfile.mkdtemp(prefix="kestrow-fuzz-")


def load(source: str) -> Any:
    name = f"fuzzed_{next(_counter)}"
    path = Path(_workdir) / f"{name}.py"
    path.write_text(source)
    module_spec = importlib.util.spec_from_file_location(name, path)
    assert module_spec is not None and module_spec.loader is not None
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


PROGRAM = """\
def helper(x):
    if x % 2:
        return x * 3
    return x

def gen(n):
    for i in range(n):
        yield helper(i)

def main(n):
    total = 0
    for v in gen(n):
        try:
            total += 10 // (v - 3)
        except ZeroDivisionError:
            total -= 1
    return total
"""
PROGRAM_RESULT = sum(
    (10 // (v - 3)) if v != 3 else -1 for v in ((i * 3 if i % 2 else i) for i in range(5)))


def invariants(layer: Layer, data: Any) -> None:
    assert layer.locked == 0, "unlock_data follows every successful lock_data"
    if isinstance(data, dict):
        for value in data.values():
            if isinstance(value, set):
                assert all(type(v) is int for v in value)


# Generated configurations.

class Boom(Exception):
    pass


def raising(*args: Any) -> Any:
    raise Boom()


# For each member: what a configuration may put there. "keep" leaves the layer's own value.
CALLABLE_CHOICES = ["keep", "unset", None, 42, raising, lambda *a: "nonsense"]
DICT_CHOICES = ["keep", "unset", None, [], "text", 0]
MEMBER_CHOICES: dict[str, list[Any]] = {
    "should_trace": CALLABLE_CHOICES,
    "check_include": CALLABLE_CHOICES,
    "concur_id_func": ["keep", "unset", 42, raising, lambda: 5, lambda: [],
                       lambda: sys.modules[__name__].Boom],
    "data": DICT_CHOICES,
    "file_tracers": DICT_CHOICES,
    "should_trace_cache": DICT_CHOICES,
    "trace_arcs": ["keep", True, 0, "", None],
    "should_start_context": ["keep", "unset", 42, raising, lambda frame: None,
                             lambda frame: frame.f_code.co_name],
    "switch_context": CALLABLE_CHOICES,
    "lock_data": CALLABLE_CHOICES,
    "unlock_data": CALLABLE_CHOICES,
    "disable_plugin": CALLABLE_CHOICES,
}

configurations = st.fixed_dictionaries(
    {name: st.sampled_from(choices) for name, choices in MEMBER_CHOICES.items()})


class CountingLayer(Layer):
    """Counts should_trace answers per file name and lock/unlock pairs, even when a member is
    replaced by a configuration (the wrappers below keep the counting)."""

    def __init__(self, arcs: bool = False) -> None:
        super().__init__(arcs=arcs)
        self.answered: dict[str, int] = {}

    def should_trace(self, filename: str, frame: Any) -> Any:
        result = super().should_trace(filename, frame)
        self.answered[filename] = self.answered.get(filename, 0) + 1
        return result


def configure(layer: CountingLayer, config: dict[str, Any]) -> None:
    t = layer.tracer
    for name, choice in config.items():
        if isinstance(choice, str) and choice in ("keep", "unset"):
            if choice == "unset":
                delattr(t, name)
        elif name == "lock_data" and callable(choice):
            # Replacements keep the count: a lock_data that returns counts as taken.
            def lock(choice: Callable[..., Any] = choice) -> Any:
                result = choice()
                layer.locked += 1
                return result

            t.lock_data = lock
        elif name == "unlock_data" and callable(choice):
            def unlock(choice: Callable[..., Any] = choice) -> Any:
                layer.locked -= 1
                return choice()

            t.unlock_data = unlock
        else:
            setattr(t, name, choice)


@fuzz_settings
@given(config=configurations)
def test_generated_configurations(config):
    mod = load(PROGRAM)
    layer = CountingLayer()
    layer.include.add(mod.__file__)
    configure(layer, config)
    try:
        result = layer.run(mod.main, 5)
    except Exception:
        result = None
    finally:
        sys.settrace(None)
    if result is not None:
        assert result == PROGRAM_RESULT
    if not callable(layer.tracer.unlock_data):
        layer.locked = 0  # an unlock_data that cannot be called is not seen being tried
    invariants(layer, layer.tracer.data)
    if isinstance(layer.tracer.should_trace_cache, dict):
        assert all(count == 1 for count in layer.answered.values()), layer.answered


# Generated plug-in behaviours.

class Plugin:
    _kestrow_plugin_name = "fuzz"


answers = st.one_of(
    st.none(),
    st.sampled_from(["a.tmpl", "b.tmpl", 17, (), "raise", "exit"]),
)


def as_line(value: int) -> int:
    """The line the tracer makes of a range item: its low 32 bits, as a signed number."""
    low = value & 0xFFFFFFFF
    return low - 2**32 if low >= 2**31 else low


# Every range the tracer would expand spans few lines: a plug-in that answers with a span of
# billions gets billions of lines recorded, which is its answer and no test's business.
ranges = st.one_of(
    st.tuples(st.integers(-3, 40), st.integers(-3, 40)),
    st.tuples(st.integers(-(2**40), 2**40), st.integers(-(2**40), 2**40)).filter(
        lambda r: as_line(r[1]) - as_line(r[0]) < 50),
    st.sampled_from([(-1, -1), (1, 2, 3), [1, 2], ("a", 1), (1.5, 2), None, "raise", "exit"]),
)


def act(answer: Any) -> Any:
    if answer == "raise":
        raise Boom()
    if answer == "exit":
        raise SystemExit(9)
    return answer


class FuzzFileTracer:
    _kestrow_plugin = Plugin()

    def __init__(self, names: list[Any], spans: list[Any]) -> None:
        self.names = itertools.cycle(names)
        self.spans = itertools.cycle(spans)

    def dynamic_source_filename(self, filename: str, frame: Any) -> Any:
        return act(next(self.names))

    def line_number_range(self, frame: Any) -> Any:
        return act(next(self.spans))


@fuzz_settings
@given(
    names=st.lists(answers, min_size=1, max_size=4),
    spans=st.lists(ranges, min_size=1, max_size=6),
    dynamic=st.booleans(),
    include=st.sampled_from([True, False, "raise"]),
    arcs=st.booleans(),
)
def test_generated_plugins(names, spans, dynamic, include, arcs):
    mod = load(PROGRAM)
    layer = CountingLayer(arcs=arcs)
    file_tracer = FuzzFileTracer(names, spans)
    layer.decide = lambda filename, frame: (
        make_disposition("static.tmpl", file_tracer=file_tracer, has_dynamic_filename=dynamic)
        if filename == mod.__file__ else None)
    layer.check_include = lambda name, frame: act(include)  # type: ignore[method-assign]
    layer.tracer.check_include = layer.check_include
    try:
        with contextlib.redirect_stderr(io.StringIO()):  # plug-in failures are reported there
            result = layer.run(mod.main, 5)
    except (Boom, TypeError):
        # check_include failing, or an unhashable dynamic name, fails the call event.
        result = None
    except OverflowError:
        # A range reaching beyond what an arc key holds fails the line event that records it.
        assert arcs
        result = None
    finally:
        sys.settrace(None)
    if result is not None:
        assert result == PROGRAM_RESULT
    invariants(layer, layer.data)
    assert set(layer.file_tracers.values()) <= {"fuzz"}
    assert set(layer.file_tracers) == set(layer.data)
    if arcs:
        for lines in layer.data.values():
            for key in lines:
                assert key >= 0 and decode_arc(key) is not None


# Generated programs: a clean configuration records what a Python trace function sees.

names = st.sampled_from(["a", "b", "c"])
small = st.integers(0, 4)


def block(statements: list[str], indent: int) -> str:
    pad = "    " * indent
    return "".join(
        textwrap.indent(s, pad) if s else "" for s in statements) or pad + "pass\n"


@st.composite
def statements(draw: Any, depth: int = 0) -> str:
    kinds = ["assign", "aug", "call"] + (["if", "for", "while", "try", "with_gen", "comp"]
                                         if depth < 3 else [])
    kind = draw(st.sampled_from(kinds))
    body = lambda: block(draw(st.lists(statements(depth + 1), min_size=1, max_size=3)), 1)  # noqa: E731
    v = draw(names)
    if kind == "assign":
        return f"{v} = {draw(small)}\n"
    if kind == "aug":
        return f"{v} += {draw(small)}\n"
    if kind == "call":
        return f"{v} = helper({draw(names)})\n"
    if kind == "if":
        text = f"if {v} % {draw(st.integers(1, 3))}:\n{body()}"
        if draw(st.booleans()):
            text += f"else:\n{body()}"
        return text
    if kind == "for":
        return f"for {v} in range({draw(small)}):\n{body()}"
    if kind == "while":
        guard = f"_w{depth}"
        return (f"{guard} = 0\nwhile {guard} < {draw(small)}:\n    {guard} += 1\n{body()}")
    if kind == "try":
        text = f"try:\n{body()}    {v} = 1 // ({v} % 2)\nexcept ZeroDivisionError:\n{body()}"
        if draw(st.booleans()):
            text += f"finally:\n{body()}"
        return text
    if kind == "with_gen":
        return f"for {v} in numbers({draw(small)}):\n{body()}"
    return f"{v} = sum([x * 2 for x in range({draw(small)}) if x != {v}])\n"


@st.composite
def programs(draw: Any) -> str:
    main = block(draw(st.lists(statements(), min_size=1, max_size=6)), 1)
    return (
        "def helper(x):\n"
        "    if x > 2:\n"
        "        return x - 1\n"
        "    return x + 1\n"
        "\n"
        "def numbers(n):\n"
        "    for i in range(n):\n"
        "        yield i\n"
        "\n"
        "def main():\n"
        "    a = b = c = 1\n"
        f"{main}"
        "    return a + b + c\n"
    )


def python_lines(func: Callable[[], Any], filename: str) -> tuple[Any, set[int]]:
    """The lines of filename that a Python-level trace function sees while func runs."""
    seen: set[int] = set()

    def trace(frame: Any, event: str, arg: Any) -> Any:
        if frame.f_code.co_filename != filename:
            return None
        if event == "line":
            seen.add(frame.f_lineno)
        return trace

    sys.settrace(trace)
    try:
        result = func()
    finally:
        sys.settrace(None)
    return result, seen


@fuzz_settings
@given(source=programs(), arcs=st.booleans())
def test_generated_programs(source, arcs):
    mod = load(source)
    expected_result, expected_lines = python_lines(mod.main, mod.__file__)
    layer = CountingLayer(arcs=arcs)
    layer.include.add(mod.__file__)
    assert layer.run(mod.main) == expected_result
    sys.settrace(None)
    invariants(layer, layer.data)
    # Other files may show up (a garbage collector callback running mid-program), once each.
    assert layer.answered[mod.__file__] == 1
    assert set(layer.answered.values()) == {1}
    recorded = layer.lines(mod.__file__)
    if arcs:
        pairs = {decode_arc(key) for key in recorded}
        lines = {line for pair in pairs for line in pair if line > 0}
        assert lines == expected_lines
        assert (-10, 11) in pairs  # main entered at its first line
    else:
        assert recorded == expected_lines
