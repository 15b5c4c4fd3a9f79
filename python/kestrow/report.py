"""Reports on results: the terminal table, the JSON document and the LCOV tracefile."""

from __future__ import annotations

import io
import json
import os
from collections.abc import Iterable
from dataclasses import dataclass
from types import CodeType
from typing import Any, TextIO

from kestrow.results import NO_CONTEXT, Results

JSON_SCHEMA = "kestrow.run"
JSON_VERSION = 1


def code_lines(code: CodeType) -> set[int]:
    """Every line that some instruction of the code object, or of the code nested in it, is on."""
    lines: set[int] = set()
    pending = [code]
    while pending:
        current = pending.pop()
        for _start, _end, line in current.co_lines():
            if line is not None and line > 0:
                lines.add(line)
        pending.extend(const for const in current.co_consts if isinstance(const, CodeType))
    return lines


def executable_lines(path: str) -> set[int] | None:
    """The lines of a Python source file that can run, from its compiled code; None if the file
    cannot be read or compiled (it changed, or is not Python: a plug-in's source)."""
    try:
        with open(path, "rb") as f:
            source = f.read()
        code = compile(source, path, "exec", dont_inherit=True)
    except OSError, SyntaxError, ValueError:
        return None
    return code_lines(code)


def format_ranges(lines: Iterable[int]) -> str:
    """Sorted line numbers as compact ranges: [3, 4, 5, 9] -> "3-5, 9"."""
    parts: list[str] = []
    ordered = sorted(set(lines))
    i = 0
    while i < len(ordered):
        j = i
        while j + 1 < len(ordered) and ordered[j + 1] == ordered[j] + 1:
            j += 1
        parts.append(str(ordered[i]) if i == j else f"{ordered[i]}-{ordered[j]}")
        i = j + 1
    return ", ".join(parts)


@dataclass
class FileSummary:
    path: str
    executable: set[int] | None  # None: the source could not be compiled
    executed: set[int]

    @property
    def missing(self) -> set[int]:
        return set() if self.executable is None else self.executable - self.executed

    @property
    def counted(self) -> int:
        """Executed lines that count towards the percentage (those that are executable)."""
        return (
            len(self.executed) if self.executable is None else len(self.executed & self.executable)
        )

    @property
    def percent(self) -> float | None:
        if not self.executable:
            return None
        return 100.0 * self.counted / len(self.executable)


def summarize(results: Results) -> list[FileSummary]:
    # A plug-in's source is not Python: only what ran is known, not what could have.
    return [
        FileSummary(
            path,
            None if path in results.plugins else executable_lines(path),
            results.lines_of(path),
        )
        for path in results.files()
    ]


def _display_name(path: str) -> str:
    try:
        relative = os.path.relpath(path)
    except ValueError:
        return path
    return path if relative.startswith(os.pardir + os.sep) else relative


def _percent_text(value: float | None) -> str:
    return "-" if value is None else f"{value:.0f}%" if value in (0.0, 100.0) else f"{value:.1f}%"


def terminal_report(summaries: list[FileSummary], out: TextIO) -> None:
    """One row per file: executable lines, executed, percent, missing lines; then a total."""
    rows = []
    for s in summaries:
        executable = "-" if s.executable is None else str(len(s.executable))
        rows.append(
            (
                _display_name(s.path),
                executable,
                str(s.counted),
                _percent_text(s.percent),
                format_ranges(s.missing),
            )
        )
    total_exec = sum(len(s.executable) for s in summaries if s.executable is not None)
    total_run = sum(s.counted for s in summaries if s.executable is not None)
    total_pct = 100.0 * total_run / total_exec if total_exec else None
    header = ("Name", "Lines", "Run", "Cover", "Missing")
    total = ("TOTAL", str(total_exec), str(total_run), _percent_text(total_pct), "")
    widths = [max(len(r[i]) for r in [header, total, *rows]) for i in range(4)]

    def line(row: tuple[str, ...]) -> str:
        cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in (1, 2, 3)]
        return ("   ".join(cells) + "   " + row[4]).rstrip()

    rule = "-" * len(line(header))
    buf = io.StringIO()
    print(line(header), file=buf)
    print(rule, file=buf)
    for row in rows:
        print(line(row), file=buf)
    print(rule, file=buf)
    print(line(total), file=buf)
    out.write(buf.getvalue())


def json_document(
    results: Results, summaries: list[FileSummary], program: dict[str, Any]
) -> dict[str, Any]:
    """The --json document (schema "kestrow.run", version 1; see the README)."""
    files: dict[str, Any] = {}
    for s in summaries:
        entry: dict[str, Any] = {
            "executable_lines": None if s.executable is None else sorted(s.executable),
            "executed_lines": sorted(s.executed),
            "missing_lines": sorted(s.missing),
            "percent": None if s.percent is None else round(s.percent, 2),
            "plugin": results.plugins.get(s.path),
        }
        if results.arcs_mode:
            entry["arcs"] = [list(pair) for pair in sorted(results.arcs_of(s.path))]
        contexts: dict[str, list[int]] = {}
        for context, by_file in results.lines.items():
            if context != NO_CONTEXT and s.path in by_file:
                contexts[context] = sorted(by_file[s.path])
        entry["contexts"] = contexts
        files[s.path] = entry
    total_exec = sum(len(s.executable) for s in summaries if s.executable is not None)
    total_run = sum(s.counted for s in summaries if s.executable is not None)
    return {
        "schema": JSON_SCHEMA,
        "version": JSON_VERSION,
        "mode": "arcs" if results.arcs_mode else "lines",
        "program": program,
        "contexts": [c for c in results.contexts if c != NO_CONTEXT],
        "files": files,
        "totals": {
            "executable": total_exec,
            "executed": total_run,
            "percent": round(100.0 * total_run / total_exec, 2) if total_exec else None,
        },
    }


def write_json(document: dict[str, Any], out: TextIO) -> None:
    json.dump(document, out, indent=2, sort_keys=False)
    out.write("\n")


def write_lcov(summaries: list[FileSummary], out: TextIO, test_name: str = "") -> None:
    """An LCOV tracefile: per source file, DA:<line>,<hits> for every executable line (hits are
    0 or 1: the recorder notes whether a line ran, not how often)."""
    out.write(f"TN:{test_name}\n")
    for s in summaries:
        lines = s.executable if s.executable is not None else s.executed
        out.write(f"SF:{s.path}\n")
        for line in sorted(lines):
            out.write(f"DA:{line},{1 if line in s.executed else 0}\n")
        out.write(f"LF:{len(lines)}\n")
        out.write(f"LH:{len(lines & s.executed)}\n")
        out.write("end_of_record\n")
