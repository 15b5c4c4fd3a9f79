"""The `kestrow run` command, end to end in a subprocess."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

KESTROW_SCRIPT = Path(sys.executable).parent / "kestrow"


def _interruptible() -> None:
    # A process started in the background inherits SIGINT ignored, and Python then leaves it so:
    # give the child the default disposition a program run from a terminal has.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def kestrow(*args: str, cwd: Path, via: str = "module") -> subprocess.CompletedProcess:
    command = [str(KESTROW_SCRIPT)] if via == "script" else [sys.executable, "-m", "kestrow"]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return subprocess.run(
        [*command, *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
        preexec_fn=_interruptible,
    )


def write(path: Path, source: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source))
    return path


def report_rows(stdout: str) -> dict[str, list[str]]:
    """The terminal report's rows by name (the program's own output before it is skipped)."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["Name", "Lines"])
    return {
        line.split()[0]: line.split()[1:]
        for line in lines[start + 2 :]
        if line and not line.startswith("-")
    }


PROGRAM = """\
import os
import sys


def describe(n):
    if n > 1:
        return "many"
    return "one"


print(__name__, sys.argv, sys.path[0] == os.path.dirname(os.path.realpath(__file__)))
print(describe(len(sys.argv)))
"""


@pytest.mark.parametrize("via", ["module", "script"])
def test_runs_a_script_as_python_would_and_reports_missing_lines(tmp_path, via):
    write(tmp_path / "prog.py", PROGRAM)
    result = kestrow("run", "prog.py", "x", "--flag", cwd=tmp_path, via=via)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:2] == ["__main__ ['prog.py', 'x', '--flag'] True", "many"]
    rows = report_rows(result.stdout)
    assert rows["prog.py"] == ["8", "7", "87.5%", "8"]
    assert rows["TOTAL"] == ["8", "7", "87.5%"]
    assert result.stderr == ""


def test_runs_a_module_and_a_package_with_dash_m(tmp_path):
    write(tmp_path / "pkg" / "__init__.py", "LOADED = True\n")
    write(
        tmp_path / "pkg" / "tool.py",
        "import sys\nfrom pkg import LOADED\nprint(__name__, LOADED, sys.argv[1:])\n",
    )
    write(
        tmp_path / "pkg" / "__main__.py",
        "import sys\nprint('main of', __package__, sys.argv[1:])\n",
    )
    tool = kestrow("run", "-m", "pkg.tool", "a", "-b", cwd=tmp_path)
    assert tool.returncode == 0, tool.stderr
    assert tool.stdout.splitlines()[0] == "__main__ True ['a', '-b']"
    rows = report_rows(tool.stdout)
    assert rows[os.path.join("pkg", "__init__.py")][:2] == ["1", "1"]  # the parent package's import
    assert rows[os.path.join("pkg", "tool.py")][:3] == ["3", "3", "100%"]
    package = kestrow("run", "--quiet", "-m", "pkg", "z", cwd=tmp_path)
    assert (package.returncode, package.stdout) == (0, "main of pkg ['z']\n")


def test_a_failing_parent_package_is_the_programs_error(tmp_path):
    write(tmp_path / "broken" / "__init__.py", "raise ValueError('init broke')\n")
    write(tmp_path / "broken" / "mod.py", "print('never')\n")
    result = kestrow("run", "-m", "broken.mod", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        "Traceback (most recent call last):",
        f'  File "{tmp_path / "broken" / "__init__.py"}", line 1, in <module>',
        "    raise ValueError('init broke')",
        "ValueError: init broke",
    ]
    assert report_rows(result.stdout)[os.path.join("broken", "__init__.py")][:2] == ["1", "1"]


@pytest.mark.parametrize(
    ("source", "status", "stderr_end"),
    [
        ("import sys\nsys.exit(3)\n", 3, ""),
        ("import sys\nsys.exit('bad input file')\n", 1, "bad input file\n"),
        ("raise SystemExit\n", 0, ""),
        ("import sys\nsys.exit(256 + 7)\n", 7, ""),
        ("def f():\n    raise ValueError('boom')\n\nf()\n", 1, "ValueError: boom\n"),
        ("x = (\n", 1, "SyntaxError: '(' was never closed\n"),
    ],
    ids=["exit-3", "exit-message", "bare-systemexit", "exit-263", "exception", "syntax-error"],
)
def test_keeps_the_programs_exit_status_and_error_output(tmp_path, source, status, stderr_end):
    write(tmp_path / "prog.py", source)
    result = kestrow("run", "--json", "out.json", "prog.py", cwd=tmp_path)
    assert result.returncode == status
    assert result.stderr.endswith(stderr_end)
    plain = subprocess.run(
        [sys.executable, "prog.py"], cwd=tmp_path, capture_output=True, text=True
    )
    assert (result.stderr, result.returncode) == (plain.stderr, plain.returncode)
    # Recorded data is still reported when the program fails.
    assert json.loads((tmp_path / "out.json").read_text())["program"]["exit_status"] == status


def test_traceback_shows_only_the_programs_frames(tmp_path):
    write(tmp_path / "prog.py", "def f():\n    return 1 / 0\n\nf()\n")
    result = kestrow("run", "prog.py", cwd=tmp_path)
    assert result.returncode == 1
    assert "kestrow" not in result.stderr.replace(str(tmp_path), "")
    assert result.stderr.startswith('Traceback (most recent call last):\n  File "')
    assert "prog.py" in report_rows(result.stdout)


def test_ctrl_c_still_reports_and_dies_of_the_signal(tmp_path):
    write(
        tmp_path / "prog.py",
        """\
        import signal
        print("working")
        signal.raise_signal(signal.SIGINT)
        print("never")
        """,
    )
    result = kestrow("run", "--json", "out.json", "prog.py", cwd=tmp_path)
    assert result.returncode == -signal.SIGINT
    assert result.stderr.rstrip().endswith("KeyboardInterrupt")
    assert report_rows(result.stdout)["prog.py"][1:] == ["3", "75.0%", "4"]
    assert json.loads((tmp_path / "out.json").read_text())["files"]


def test_records_threads_and_waits_for_them(tmp_path):
    write(
        tmp_path / "prog.py",
        """\
        import threading
        import time

        def slow(out):
            time.sleep(0.2)
            out.append("done")

        out = []
        threading.Thread(target=slow, args=(out,)).start()
        """,
    )
    result = kestrow("run", "prog.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert report_rows(result.stdout)["prog.py"][1:] == ["7", "100%"]


def test_shuts_down_like_the_interpreter_while_recording(tmp_path):
    # An executor left running and an atexit callback: the run must end (the executor's workers
    # are released as at interpreter exit) and the callback's lines count.
    write(
        tmp_path / "prog.py",
        """\
        import atexit
        from concurrent.futures import ThreadPoolExecutor

        def square(x):
            return x * x

        def bye():
            print("bye")

        atexit.register(bye)
        pool = ThreadPoolExecutor(2)
        print(sum(pool.map(square, [1, 2])))
        """,
    )
    result = kestrow("run", "prog.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:2] == ["5", "bye"]
    assert report_rows(result.stdout)["prog.py"][1:] == ["9", "100%"]


def test_source_and_omit_choose_the_reported_files(tmp_path):
    write(
        tmp_path / "app" / "main.py",
        "import sys\nsys.path.append(sys.argv[1])\n"
        "import helper, extra, shared\nprint(helper.X + extra.Y + shared.Z)\n",
    )
    write(tmp_path / "app" / "helper.py", "X = 1\n")
    write(tmp_path / "app" / "extra.py", "Y = 2\n")
    write(tmp_path / "lib" / "shared.py", "Z = 3\n")
    cases = [
        ([], ["app/extra.py", "app/helper.py", "app/main.py"]),  # default: the program's directory
        (
            ["--source", "app", "--source", "lib"],
            ["app/extra.py", "app/helper.py", "app/main.py", "lib/shared.py"],
        ),
        (["--source", "lib"], ["lib/shared.py"]),
        (["--omit", "*/extra.py", "--omit", "app/main.py"], ["app/helper.py"]),
    ]
    for options, expected in cases:
        result = kestrow("run", *options, "app/main.py", str(tmp_path / "lib"), cwd=tmp_path)
        assert result.stdout.splitlines()[0] == "6", result.stderr
        assert sorted(report_rows(result.stdout)) == sorted([*expected, "TOTAL"]), options


def test_json_document_with_arcs_and_test_contexts(tmp_path):
    write(
        tmp_path / "prog.py",
        """\
        def shared(x):
            if x:
                return 1
            return 0

        def test_yes():
            assert shared(True) == 1

        def test_no():
            assert shared(False) == 0

        test_yes()
        test_no()
        """,
    )
    result = kestrow(
        "run",
        "--arcs",
        "--contexts",
        "test",
        "--json",
        "out.json",
        "--quiet",
        "prog.py",
        cwd=tmp_path,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    doc = json.loads((tmp_path / "out.json").read_text())
    assert (doc["schema"], doc["version"], doc["mode"]) == ("kestrow.run", 1, "arcs")
    assert doc["program"] == {"argv": ["prog.py"], "exit_status": 0}
    assert doc["contexts"] == ["prog.test_no", "prog.test_yes"]
    entry = doc["files"][str((tmp_path / "prog.py").resolve())]
    assert entry["missing_lines"] == []
    assert [2, 3] in entry["arcs"] and [2, 4] in entry["arcs"] and [-1, 2] in entry["arcs"]
    assert entry["contexts"]["prog.test_yes"] == [2, 3, 7]
    assert entry["contexts"]["prog.test_no"] == [2, 4, 10]


def test_lcov_tracefile_renders_with_genhtml(tmp_path):
    genhtml = shutil.which("genhtml")
    if genhtml is None:
        pytest.skip(
            "genhtml (Debian package lcov) is not installed; scripts/bootstrap installs it as root"
        )
    write(tmp_path / "prog.py", PROGRAM)
    result = kestrow("run", "--quiet", "--lcov", "cov.info", "prog.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    html = tmp_path / "html"
    rendered = subprocess.run(
        [genhtml, "--output-directory", str(html), str(tmp_path / "cov.info")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert rendered.returncode == 0, rendered.stderr
    assert "lines......: 87.5% (7 of 8 lines)" in rendered.stdout
    page = next(html.rglob("prog.py.gcov.html")).read_text()
    # The one line that did not run is the one marked uncovered.
    assert re.search(r'lineCov">\s*1 : def describe\(n\):', page)
    assert re.findall(r'lineNoCov">\s*0 :(.*)</span>', page) == ["         return &quot;many&quot;"]
    assert tmp_path.name in (html / "index.html").read_text()


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["run", "missing.py"], "can't open file 'missing.py'"),
        (["run", "adir"], "can't open file 'adir'"),
        (["run", "-m", "no_such_module_here"], "no module named 'no_such_module_here'"),
        (["run", "-m", "no_such_pkg.sub"], "no module named 'no_such_pkg.sub'"),
        (["run", "--json", "no/such/dir/out.json", "prog.py"], "cannot write"),
        (["run", "--lcov", "adir", "prog.py"], "is a directory"),
        (["run", "--source", "nowhere", "prog.py"], "is not a directory"),
        (["run", "--contexts", "thread", "prog.py"], "--contexts"),
        (["run", "--frobnicate", "prog.py"], "unknown option"),
        (["run", "--json"], "needs a value"),
        (["run"], "no program given"),
        (["walk", "prog.py"], "unknown command"),
    ],
)
def test_bad_input_is_one_line_and_status_2(tmp_path, args, message):
    (tmp_path / "adir").mkdir()
    write(tmp_path / "prog.py", "open('ran', 'w').close()\n")
    result = kestrow(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("kestrow: error: ")
    assert message in result.stderr
    assert not (tmp_path / "ran").exists()


def test_unwritable_output_after_the_run_is_reported_as_bad_input(tmp_path):
    # The directory disappears while the program runs.
    write(tmp_path / "prog.py", "import shutil\nshutil.rmtree('out')\n")
    (tmp_path / "out").mkdir()
    result = kestrow("run", "--quiet", "--json", "out/r.json", "prog.py", cwd=tmp_path)
    assert result.returncode == 2
    assert (
        result.stderr.startswith("kestrow: error: cannot write") and result.stderr.count("\n") == 1
    )
