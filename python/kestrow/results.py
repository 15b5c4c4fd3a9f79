"""What a collection produced, as plain data: per context and file, the lines (and arcs) run."""

from __future__ import annotations

from dataclasses import dataclass, field

from kestrow.arcs import decode_arc

# The context of everything that ran outside any test function (or with contexts off).
NO_CONTEXT = ""


def lines_of_arcs(arcs: set[tuple[int, int]]) -> set[int]:
    """The lines that ran: every line is recorded as the end of the arc that reached it (the
    start of an arc may have run under another context, as a generator's yield line does)."""
    return {end for _start, end in arcs if end > 0}


@dataclass
class Results:
    """Recorded lines and arcs.

    ``lines[context][file]`` is the set of line numbers that ran in that file under that context;
    ``arcs[context][file]`` the set of (from, to) line pairs (arcs mode only; a negative number is
    minus a code object's first line: ``(-first, line)`` enters it, ``(line, -first)`` leaves it).
    Files are absolute paths, or the names plug-ins gave. The context ``""`` holds what ran outside
    any context. ``plugins`` maps each file recorded through a plug-in to the plug-in's name.
    """

    arcs_mode: bool
    lines: dict[str, dict[str, set[int]]] = field(default_factory=dict)
    arcs: dict[str, dict[str, set[tuple[int, int]]]] = field(default_factory=dict)
    plugins: dict[str, str] = field(default_factory=dict)

    @classmethod
    def from_raw(
        cls, data: dict[str, dict[str, set[int]]], *, arcs: bool, plugins: dict[str, str]
    ) -> Results:
        """Build results from the tracer's raw sets: line numbers, or arc keys in arcs mode."""
        result = cls(arcs_mode=arcs, plugins=dict(plugins))
        for context, files in data.items():
            for name, raw in files.items():
                if not raw:
                    continue
                if arcs:
                    pairs = {decode_arc(key) for key in raw}
                    result.arcs.setdefault(context, {})[name] = pairs
                    result.lines.setdefault(context, {})[name] = lines_of_arcs(pairs)
                else:
                    result.lines.setdefault(context, {})[name] = set(raw)
        return result

    @property
    def contexts(self) -> list[str]:
        """Every context that recorded something, "" (no context) first."""
        return sorted(self.lines)

    def files(self) -> list[str]:
        return sorted({name for files in self.lines.values() for name in files})

    def lines_of(self, filename: str) -> set[int]:
        """Every line of the file that ran, in any context."""
        out: set[int] = set()
        for files in self.lines.values():
            out |= files.get(filename, set())
        return out

    def arcs_of(self, filename: str) -> set[tuple[int, int]]:
        out: set[tuple[int, int]] = set()
        for files in self.arcs.values():
            out |= files.get(filename, set())
        return out

    def contexts_of(self, filename: str, line: int) -> set[str]:
        """The contexts in which the line ran: with test contexts, the tests that ran it."""
        return {context for context, files in self.lines.items() if line in files.get(filename, ())}
