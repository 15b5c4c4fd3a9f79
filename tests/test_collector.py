"""The controlling layer: what it records, per thread and per test context, with plug-ins, and
that it leaves no tracer behind."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
import threading
import warnings
import weakref
from pathlib import Path

import pytest

import kestrow
from kestrow import NO_CONTEXT, Collector, FileSelector, KestrowWarning, LineMapPlugin
from kestrow.plugins import FileTracer, Plugin


def path_of(module) -> str:
    return str(Path(module.__file__).resolve())


# Which files get recorded.


@pytest.fixture
def tree(tmp_path):
    for name in ("app/main.py", "app/skip_me.py", "app/sub/util.py", "other/lib.py"):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("x = 1\n")
    return tmp_path


@pytest.mark.parametrize(
    ("roots", "omit", "name", "recorded"),
    [
        (["app"], [], "app/main.py", True),
        (["app"], [], "app/sub/util.py", True),
        (["app"], [], "other/lib.py", False),
        (["app", "other"], [], "other/lib.py", True),
        (["app"], ["*/skip_*.py"], "app/skip_me.py", False),
        (["app"], ["*/skip_*.py"], "app/main.py", True),
        (["app"], ["app/sub/*"], "app/sub/util.py", False),  # relative to the current directory
        (["app"], ["app/sub/*"], "app/main.py", True),
        (["ap"], [], "app/main.py", False),  # a root is a directory, not a name prefix
    ],
)
def test_source_roots_and_omit_patterns(tree, monkeypatch, roots, omit, name, recorded):
    monkeypatch.chdir(tree)
    selector = FileSelector([str(tree / r) for r in roots], omit)
    decision = selector.decide(str(tree / name))
    assert decision.trace is recorded
    assert decision.path == str((tree / name).resolve())


@pytest.mark.parametrize(
    "filename",
    [os.__file__, pytest.__file__, kestrow.__file__, kestrow.collector.__file__],
    ids=["stdlib", "site-packages", "kestrow", "kestrow-module"],
)
def test_never_records_the_standard_library_installed_packages_or_itself(filename):
    assert not FileSelector(["/"]).decide(filename).trace


@pytest.mark.parametrize("filename", ["<string>", "<frozen os>", "", "/no/such/file.py"])
def test_code_without_a_source_file_is_not_recorded(filename):
    assert not FileSelector(["/"]).decide(filename).trace


def test_symlinked_file_is_recorded_under_its_real_path(tmp_path):
    real = tmp_path / "real.py"
    real.write_text("x = 1\n")
    (tmp_path / "link.py").symlink_to(real)
    assert FileSelector([str(tmp_path)]).decide(str(tmp_path / "link.py")).path == str(
        real.resolve()
    )


# Recording.


def test_records_only_files_under_the_source_roots(tmp_path, write_module):
    helper = write_module("def double(x):\n    return 2 * x\n")
    collector = Collector([str(tmp_path)])
    with collector:
        assert helper.double(2) == 4
        os.path.join("a", "b")
    results = collector.results()
    assert results.files() == [path_of(helper)]
    assert results.lines_of(path_of(helper)) == {2}


def test_arcs_mode_records_decoded_pairs_and_the_lines_they_touch(tmp_path, write_module):
    mod = write_module(
        """\
        def pick(x):
            if x:
                return 1
            return 2
        """
    )
    collector = Collector([str(tmp_path)], arcs=True)
    with collector:
        mod.pick(True)
    results = collector.results()
    path = path_of(mod)
    assert results.arcs_of(path) == {(-1, 2), (2, 3), (3, -1)}
    assert results.lines_of(path) == {2, 3}


def test_lines_of_new_threads_are_recorded_and_stop_ends_every_thread(tmp_path, write_module):
    mod = write_module(
        """\
        import threading

        def work(out):
            out.append(1)

        def wait_then_work(event, out):
            event.wait()
            out.append(2)
        """
    )
    collector = Collector([str(tmp_path)])
    go = threading.Event()
    out: list[int] = []
    late = threading.Thread(target=mod.wait_then_work, args=(go, out))
    with collector:
        t = threading.Thread(target=mod.work, args=(out,))
        t.start()
        t.join()
        late.start()
    go.set()
    late.join()
    assert out == [1, 2]
    # The thread started while recording ran `work`; its line 8 ran after stop and is not recorded.
    assert collector.results().lines_of(path_of(mod)) == {4, 7}
    assert threading.gettrace() is None


def test_collector_gives_back_the_previous_trace_function(tmp_path):
    def previous(frame, event, arg):
        return None

    sys.settrace(previous)
    try:
        with Collector([str(tmp_path)]):
            pass
        assert sys.gettrace() is previous
    finally:
        sys.settrace(None)


def test_results_accumulate_across_start_and_stop(tmp_path, write_module):
    mod = write_module("def a():\n    return 1\n\ndef b():\n    return 2\n")
    collector = Collector([str(tmp_path)])
    with collector:
        mod.a()
    mod.b()  # not recording
    with collector:
        mod.b()
    assert collector.results().lines_of(path_of(mod)) == {2, 5}


def test_warn_member_issues_a_kestrow_warning(tmp_path):
    collector = Collector([str(tmp_path)])
    with collector:
        tracer = sys.gettrace()
        with pytest.warns(KestrowWarning, match="look out"):
            tracer.warn("look out")


# Start/stop cycles leave nothing behind.


def test_start_stop_cycles_free_every_tracer(tmp_path, write_module):
    mod = write_module("import sys\n\ndef f(seen):\n    seen.append(sys.gettrace())\n")
    tracers = []
    collectors = []
    for _ in range(3):
        collector = Collector([str(tmp_path)])
        collector.start()
        seen: list = []
        mod.f(seen)  # this thread's tracer
        worker = threading.Thread(target=mod.f, args=(seen,))
        worker.start()
        worker.join()
        collector.stop()
        assert collector.results().lines_of(path_of(mod)) == {4}
        tracers += [weakref.ref(t) for t in seen]
        collectors.append(weakref.ref(collector))
        del seen, collector, worker
    gc.collect()
    assert len(tracers) == 6
    assert [t() for t in tracers] == [None] * 6
    assert [c() for c in collectors] == [None] * 3


@pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (sys.gettotalrefcount)"
)
def test_start_stop_cycles_leave_the_total_refcount_flat(tmp_path, write_module):
    mod = write_module(
        """\
        import threading

        def work():
            return 1

        def test_it():
            t = threading.Thread(target=work)
            t.start()
            t.join()
            return work()
        """
    )

    def cycle():
        collector = Collector(
            [str(tmp_path)], arcs=True, contexts="test", plugins=[LineMapPlugin()]
        )
        with collector:
            mod.test_it()
        collector.results()

    for _ in range(10):
        cycle()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(100):
        cycle()
    gc.collect()
    # A leaked tracer would hold its members, data and stack: hundreds of references a cycle.
    assert sys.gettotalrefcount() - before < 50


def test_a_collector_dropped_while_running_is_freed(tmp_path, write_module):
    mod = write_module("def f():\n    return 1\n")
    collector = Collector([str(tmp_path)])
    collector.start()
    ref = weakref.ref(collector)
    del collector
    try:
        gc.collect()
        assert ref() is None
        mod.f()  # the orphaned tracer records nothing and raises nothing
    finally:
        sys.settrace(None)
        threading.settrace(None)


# Test contexts.

CONTEXT_PROGRAM = """\
def helper(x):
    return x * 2

def numbers():
    yield 1
    yield 2

def test_a(g):
    a = helper(1)
    b = next(g)
    return a + b

def test_b(g):
    c = next(g)
    return c

def runner():
    g = numbers()
    x = test_a(g)
    y = test_b(g)
    return x + y
"""


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_test_contexts_attribute_each_line_to_the_tests_that_ran_it(tmp_path, write_module, arcs):
    mod = write_module(CONTEXT_PROGRAM, name="ctxprog")
    collector = Collector([str(tmp_path)], arcs=arcs, contexts="test")
    with collector:
        assert mod.runner() == 5
    results = collector.results()
    path = path_of(mod)
    assert results.contexts == [NO_CONTEXT, "ctxprog.test_a", "ctxprog.test_b"]
    # The generator made outside the tests is resumed inside each one: its lines go to the test
    # that resumed it. runner's own lines after each test returns stay outside any context.
    assert results.lines["ctxprog.test_a"][path] == {2, 5, 9, 10, 11}
    assert results.lines["ctxprog.test_b"][path] == {6, 14, 15}
    assert results.lines[NO_CONTEXT][path] == {18, 19, 20, 21}
    assert results.contexts_of(path, 2) == {"ctxprog.test_a"}


def test_lines_of_a_frame_running_across_context_switches_are_kept(tmp_path, write_module):
    # runner is entered before any context opens and keeps running after each closes: the lines
    # it runs between, and after, the tests must land in its own context, none dropped.
    mod = write_module(
        """\
        def test_one():
            return 1

        def runner():
            total = 0
            for _ in range(3):
                total += test_one()
                total += 1
            done = total
            return done
        """,
        name="across",
    )
    collector = Collector([str(tmp_path)], contexts="test")
    with collector:
        assert mod.runner() == 6
    results = collector.results()
    path = path_of(mod)
    assert results.lines[NO_CONTEXT][path] == {5, 6, 7, 8, 9, 10}
    assert results.lines["across.test_one"][path] == {2}


def test_a_thread_started_by_a_test_counts_for_that_test(tmp_path, write_module):
    mod = write_module(
        """\
        import threading

        def work():
            return 1

        def test_threads():
            t = threading.Thread(target=work)
            t.start()
            t.join()
        """,
        name="threaded_test",
    )
    collector = Collector([str(tmp_path)], contexts="test")
    with collector:
        mod.test_threads()
    assert collector.results().contexts_of(path_of(mod), 4) == {"threaded_test.test_threads"}


def test_functions_named_test_outside_the_source_roots_open_no_context(tmp_path, write_module):
    outside = tmp_path / "outside"
    inside = tmp_path / "inside"
    outside.mkdir()
    inside.mkdir()
    (outside / "ext.py").write_text("def test_ext(f):\n    return f()\n")
    (inside / "own.py").write_text("def work():\n    return 1\n")
    sys.path.insert(0, str(outside))
    sys.path.insert(0, str(inside))
    try:
        import ext
        import own

        collector = Collector([str(inside)], contexts="test")
        with collector:
            ext.test_ext(own.work)
    finally:
        sys.path.remove(str(outside))
        sys.path.remove(str(inside))
        sys.modules.pop("ext", None)
        sys.modules.pop("own", None)
    assert collector.results().contexts == [NO_CONTEXT]


# Plug-ins.


def generated_module(
    tmp_path: Path, template_lines: list[str], generated: str, line_map: dict
) -> tuple[str, dict]:
    """Compile `generated` as a code generator would, under a pseudo name, mapped to a template."""
    template = tmp_path / "page.tmpl"
    template.write_text("\n".join(template_lines) + "\n")
    code = compile(textwrap.dedent(generated), "<generated:page.tmpl>", "exec")
    namespace = {"__kestrow_source__": str(template), "__kestrow_lines__": line_map}
    exec(code, namespace)
    return str(template), namespace


def test_line_map_plugin_records_generated_code_against_its_template(tmp_path):
    template, ns = generated_module(
        tmp_path,
        ["Hello {{ name }}", "{% if vip %}", "  Welcome back!", "{% endif %}"],
        """\
        def render(ctx):
            out = []
            out.append("Hello " + ctx["name"])
            if ctx["vip"]:
                out.append("Welcome back!")
            return "\\n".join(out)
        """,
        {3: 1, 4: 2, 5: (3, 4)},
    )
    collector = Collector([str(tmp_path)], plugins=[LineMapPlugin()])
    with collector:
        ns["render"]({"name": "Ada", "vip": False})
    results = collector.results()
    assert results.lines_of(template) == {1, 2}
    with collector:
        ns["render"]({"name": "Bo", "vip": True})
    results = collector.results()
    assert results.lines_of(template) == {1, 2, 3, 4}
    assert results.plugins == {template: "linemap"}
    assert not any(name.startswith("<") for name in results.files())


def test_line_map_plugin_respects_source_roots(tmp_path):
    (tmp_path / "elsewhere").mkdir()
    _template, ns = generated_module(tmp_path, ["x"], "def f():\n    return 1\n", {2: 1})
    collector = Collector([str(tmp_path / "elsewhere")], plugins=[LineMapPlugin()])
    with collector:
        ns["f"]()
    assert collector.results().files() == []


class _Flaky(FileTracer):
    def __init__(self, path: str, fault: str) -> None:
        self.path = path
        self.fault = fault
        self.calls = 0

    def source_filename(self):
        return self.path

    def line_number_range(self, frame):
        self.calls += 1
        if frame.f_lineno == 3:
            if self.fault == "raises":
                raise RuntimeError("plug-in bug")
            if self.fault == "list":
                return [3, 3]
        return frame.f_lineno, frame.f_lineno


class _FlakyPlugin(Plugin):
    name = "flaky"

    def __init__(self, path: str, fault: str) -> None:
        self.tracer = _Flaky(path, fault)

    def file_tracer(self, filename):
        if self.tracer.fault == "claim":
            raise RuntimeError("plug-in bug")
        return self.tracer if filename == self.tracer.path else None


@pytest.mark.parametrize(
    ("fault", "error", "recorded", "asked"),
    [
        # Line 2 was recorded before the failure; after it the running frame records nothing more,
        # the plug-in is not asked again, and later calls are not recorded.
        ("raises", "RuntimeError: plug-in bug", {2}, 2),
        ("list", "TypeError: line_number_range must return 2-tuple", {2}, 2),
        # A plug-in failing to claim files is dropped; the ordinary rules record the file.
        ("claim", "RuntimeError: plug-in bug", {2, 3, 4, 5}, 0),
    ],
)
def test_a_failing_plugin_is_disabled_with_one_warning(
    tmp_path, write_module, capfd, fault, error, recorded, asked
):
    mod = write_module(
        """\
        def f():
            a = 1
            b = 2
            c = 3
            return a + b + c
        """
    )
    plugin = _FlakyPlugin(mod.__file__, fault)
    collector = Collector([str(tmp_path)], plugins=[plugin])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with collector:
            assert mod.f() == 6  # the program goes on undisturbed
            assert mod.f() == 6
    assert [str(w.message) for w in caught if w.category is KestrowWarning] == [
        "Disabling plug-in 'flaky' after an error; its files are no longer recorded"
    ]
    assert capfd.readouterr().err.count(error) == 1
    assert collector.results().lines_of(path_of(mod)) == recorded
    assert plugin.tracer.calls == asked


def test_shipped_template_example_reports_its_template_lines():
    example = Path(__file__).resolve().parent.parent / "examples" / "template_demo.py"
    result = subprocess.run(
        [sys.executable, str(example)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "template lines run: 1-2, 5-6; not run: 3"
