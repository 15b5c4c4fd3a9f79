"""Reports: executable lines from compiled code, missing-line ranges, the JSON and LCOV outputs."""

from __future__ import annotations

import io
import json
import textwrap
from pathlib import Path

import pytest

from kestrow import Collector, Results
from kestrow.report import (
    FileSummary,
    executable_lines,
    format_ranges,
    json_document,
    summarize,
    terminal_report,
    write_json,
    write_lcov,
)

# Every kind of statement whose lines the executable-line computation has to get right: decorators,
# multi-line signatures and expressions, docstrings, classes, loops with continue and else,
# try/except/finally, with, match, comprehensions and multi-line lambdas. All of it runs.
EVERY_CONSTRUCT = '''\
"""Module docstring."""
import functools


def deco(f):
    @functools.wraps(f)
    def inner(*a):
        return f(*a)
    return inner


@deco
def add(
    a,
    b,
):
    """Docstring."""
    total = (
        a
        + b
    )
    return total


class Box:
    size = 3

    def grow(self, n):
        self.size += n
        return self


def flow(items):
    out = []
    for i in items:
        if i % 2:
            out.append(i)
        else:
            continue
    try:
        raise KeyError(1)
    except KeyError:
        out.append(-1)
    finally:
        out.append(-2)
    with open(__file__) as f:
        f.read(1)
    match items:
        case [1, *rest]:
            out.append(len(rest))
        case _:
            out.append(0)
    squares = [x * x for x in items if x]
    func = lambda y: (
        y + 1
    )
    while out:
        out.pop()
    else:
        out.append(func(1))
    return squares, out


RESULT = add(1, 2), Box().grow(2).size, flow([1, 2, 3]), flow([2])
x = {
    "a": 1,
    "b": [
        add(2, 3),
    ],
}
'''


@pytest.mark.parametrize(
    ("lines", "expected"),
    [
        ([], ""),
        ([7], "7"),
        ([1, 2], "1-2"),
        ([3, 4, 5, 9], "3-5, 9"),
        ([1, 3, 5], "1, 3, 5"),
        ([9, 3, 4, 3, 5, 11, 10], "3-5, 9-11"),
    ],
)
def test_format_ranges(lines, expected):
    assert format_ranges(lines) == expected


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_executable_lines_are_exactly_the_lines_a_full_run_records(tmp_path, write_module, arcs):
    # If the computation counted a line no event can reach, a fully run file would show it missing;
    # if it left out a line that runs, the file would show more run lines than it has.
    collector = Collector([str(tmp_path)], arcs=arcs)
    with collector:
        module = write_module(EVERY_CONSTRUCT)
    path = str(Path(module.__file__).resolve())
    executed = collector.results().lines_of(path)
    assert executed == executable_lines(path)


def test_executable_lines_leave_out_blank_comment_and_docstring_only_lines(tmp_path):
    path = tmp_path / "m.py"
    path.write_text(
        textwrap.dedent(
            """\
            # a comment

            def f():
                '''Doc.'''
                # inside
                return 1
            """
        )
    )
    assert executable_lines(str(path)) == {3, 6}


@pytest.mark.parametrize(
    "content",
    [b"def broken(:\n", b"\xff\xfe not python", None],
    ids=["syntax-error", "not-text", "missing"],
)
def test_executable_lines_of_a_file_that_cannot_be_compiled_is_none(tmp_path, content):
    path = tmp_path / "x.py"
    if content is not None:
        path.write_bytes(content)
    assert executable_lines(str(path)) is None


def _summary(tmp_path: Path) -> tuple[Results, list[FileSummary], str]:
    src = tmp_path / "prog.py"
    src.write_text("a = 1\nif a:\n    b = 2\nelse:\n    b = 3\nc = 4\n")
    path = str(src)
    results = Results.from_raw(
        {"": {path: {1, 2, 3, 6}}, "t.test_x": {path: {1, 2}}}, arcs=False, plugins={}
    )
    return results, summarize(results), path


def test_terminal_report_rows_and_total(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    results, summaries, _path = _summary(tmp_path)
    out = io.StringIO()
    terminal_report(summaries, out)
    rows = [line.split() for line in out.getvalue().splitlines()]
    assert rows[0] == ["Name", "Lines", "Run", "Cover", "Missing"]
    assert rows[2] == ["prog.py", "5", "4", "80.0%", "5"]
    assert rows[-1] == ["TOTAL", "5", "4", "80.0%"]


def test_json_document_lists_lines_missing_lines_and_contexts(tmp_path):
    results, summaries, path = _summary(tmp_path)
    doc = json_document(results, summaries, {"argv": ["prog.py"], "exit_status": 0})
    out = io.StringIO()
    write_json(doc, out)
    loaded = json.loads(out.getvalue())
    assert (loaded["schema"], loaded["version"], loaded["mode"]) == ("kestrow.run", 1, "lines")
    entry = loaded["files"][path]
    assert entry["executable_lines"] == [1, 2, 3, 5, 6]
    assert entry["executed_lines"] == [1, 2, 3, 6]
    assert entry["missing_lines"] == [5]
    assert entry["contexts"] == {"t.test_x": [1, 2]}
    assert loaded["contexts"] == ["t.test_x"]
    assert loaded["totals"] == {"executable": 5, "executed": 4, "percent": 80.0}


def test_lcov_has_a_record_per_file_with_every_executable_line(tmp_path):
    _results, summaries, path = _summary(tmp_path)
    out = io.StringIO()
    write_lcov(summaries, out)
    assert out.getvalue().splitlines() == [
        "TN:",
        f"SF:{path}",
        "DA:1,1",
        "DA:2,1",
        "DA:3,1",
        "DA:5,0",
        "DA:6,1",
        "LF:5",
        "LH:4",
        "end_of_record",
    ]
