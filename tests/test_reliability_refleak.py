"""The reference-leak check itself: it must flag a test that leaks and pass one that does not,
whatever the fixtures around them do. Runs on a debug interpreter only (`make refleak`)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter"),
    pytest.mark.refleak_skip("runs the leak check itself, in a child pytest"),
]

REPO = Path(__file__).resolve().parent.parent

SUITE = """\
    import pytest
    from kestrow.tracer import CTracer

    kept = []

    @pytest.fixture
    def tracer(tmp_path):
        t = CTracer()
        t.data = {str(tmp_path): {1}}
        yield t

    def test_clean(tracer, tmp_path):
        tracer.should_trace = lambda *a: None
        assert tracer.data[str(tmp_path)] == {1}

    def test_leaks_a_list(tracer):
        kept.append([tracer])

    def test_leaks_one_int(tracer):
        kept.append(10**6 + len(kept))

    def test_fails_plainly(tracer):
        assert tracer is None
"""


def test_leak_check_flags_leaks_only(tmp_path):
    suite = tmp_path / "test_suite.py"
    suite.write_text(textwrap.dedent(SUITE))
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "tests.refleak", "--refleak",
         "-p", "no:cacheprovider", suite.name],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
        env={**os.environ, "PYTHONPATH": str(REPO)})
    out = child.stdout
    sections = dict(re.findall(r"^_+ (test_\w+) _+\n(.*?)(?=^_+ test_|^=+ short)", out,
                               re.MULTILINE | re.DOTALL))
    assert set(sections) == {"test_leaks_a_list", "test_leaks_one_int", "test_fails_plainly"}, out
    assert sections["test_leaks_a_list"].startswith("reference leak: "), out
    assert sections["test_leaks_one_int"].startswith("reference leak: "), out
    assert "reference leak" not in sections["test_fails_plainly"], out
    assert "3 failed, 1 passed" in out, out
