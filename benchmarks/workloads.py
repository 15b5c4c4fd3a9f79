"""The benchmark workloads. Each `make_*` function prepares its input (untimed) and returns the
zero-argument callable that is timed. This file is recorded, and so are the copies of the
standard-library code the last two workloads run (made by stdlib_copies.py, which the runner puts
on sys.path), so every workload produces call and line events in recorded files."""

from __future__ import annotations

import random
from typing import Callable

Workload = Callable[[], object]


# Call-heavy: many short frames.
def fib(n: int) -> int:
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


def descend(n: int) -> int:
    if n == 0:
        return 0
    return descend(n - 1) + 1


def make_calls_wide(scale: int = 1) -> Workload:
    """Wide recursion: a binary call tree of about 390,000 frames, shallow at any time."""
    return lambda: [fib(26) for _ in range(scale)]


def make_calls_deep(scale: int = 1) -> Workload:
    """Deep recursion: chains 800 frames deep, repeated (240,000 frames)."""
    return lambda: [descend(800) for _ in range(300 * scale)]


# Line-heavy: a long loop of simple statements in one frame.
def loops(n: int) -> int:
    total = 0
    for i in range(n):
        x = i * 3
        if x % 2:
            total += x
        else:
            total -= 1
        y = x ^ i
        total += y & 7
    return total


def make_lines(scale: int = 1) -> Workload:
    return lambda: loops(400_000 * scale)


# Standard-library jobs: copies of pure-Python modules, recorded like the rest.
def toml_document(rng: random.Random, tables: int) -> str:
    """A generated TOML document with nested tables, arrays, strings, numbers and dates."""
    out = ['title = "generated"', 'version = "1.0.0"', ""]
    for t in range(tables):
        out.append(f"[server.s{t}]")
        out.append(f'host = "host-{rng.randrange(10_000)}.example"')
        out.append(f"port = {rng.randrange(1, 65535)}")
        out.append(f"weight = {rng.random():.6f}")
        out.append(f"enabled = {'true' if rng.random() < 0.5 else 'false'}")
        out.append(f"tags = [{', '.join(repr(f'tag{rng.randrange(99)}') for _ in range(4))}]")
        out.append(f"started = 2024-0{rng.randrange(1, 9)}-1{rng.randrange(9)}T10:20:30Z")
        out.append(f'limits = {{ cpu = {rng.randrange(64)}, mem = "{rng.randrange(512)}M" }}')
        out.append(f"[[server.s{t}.route]]")
        out.append(f'path = "/api/v{rng.randrange(3)}/item"')
        out.append('note = """a multi-line\nstring value"""')
        out.append("")
    return "\n".join(out)


def make_tomllib(scale: int = 1) -> Workload:
    import bench_tomllib as tomllib

    text = toml_document(random.Random(8), 400 * scale)
    return lambda: tomllib.loads(text)


def generated_lines(rng: random.Random, count: int) -> list[str]:
    words = ["alpha", "beta", "gamma", "delta", "eps", "zeta", "eta", "theta", "iota", "kappa"]
    return [" ".join(rng.choice(words) for _ in range(rng.randrange(3, 9))) + "\n"
            for _ in range(count)]


def make_difflib(scale: int = 1) -> Workload:
    import bench_difflib as difflib

    rng = random.Random(9)
    before = generated_lines(rng, 3000 * scale)
    after = list(before)
    for _ in range(300 * scale):  # edits: replace, insert, delete
        at = rng.randrange(len(after))
        kind = rng.randrange(3)
        if kind == 0:
            after[at] = generated_lines(rng, 1)[0]
        elif kind == 1:
            after.insert(at, generated_lines(rng, 1)[0])
        else:
            del after[at]

    def run() -> object:
        diff = list(difflib.unified_diff(before, after, "before", "after", n=2))
        close = difflib.get_close_matches("gamma delta", before, n=3)
        # Character-level comparison of the changed lines, as ndiff does it.
        fine = list(difflib.ndiff(before[:600], after[:600]))
        return len(diff), close, len(fine)

    return run


WORKLOADS: dict[str, Callable[[int], Workload]] = {
    "calls_wide": make_calls_wide,
    "calls_deep": make_calls_deep,
    "lines": make_lines,
    "tomllib": make_tomllib,
    "difflib": make_difflib,
}
