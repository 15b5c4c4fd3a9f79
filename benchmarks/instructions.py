"""Instruction counts under callgrind: a repeatable cross-check of the timed ratios, which the
shared machine makes noisy. Each (workload, recorder) pair runs in its own process under
`valgrind --tool=callgrind`, which counts only the measured run (the recorder's start, the
workload, its stop), as the timed runner times it; the overhead is that count minus the untraced
count.

    python benchmarks/instructions.py [--workloads a,b] [--configs lines,arcs,lines_freelock]

Slow (callgrind runs some fifty times slower); the workloads are run at a reduced size.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Reduced workloads: the same code, fewer repetitions.
SMALL = {
    "calls_wide": "lambda: W.fib(19)",
    "calls_deep": "lambda: [W.descend(500) for _ in range(20)]",
    "lines": "lambda: W.loops(50_000)",
    "tomllib": None,
    "difflib": None,
}


def child(workload: str, config: str) -> None:
    sys.path.insert(0, str(HERE))
    # Importing `run` builds the floor and the standard-library copies and puts both on sys.path,
    # where the recorders and the workloads find them.
    import recorders
    import run
    import workloads as W  # noqa: N812

    import _kestrow_floor  # on sys.path once `run` is imported

    sys.setrecursionlimit(20_000)
    small = SMALL.get(workload)
    fn = eval(small, {"W": W}) if small else W.WORKLOADS[workload]()  # noqa: S307 (fixed table above)
    fn()  # warm-up, untraced
    known = recorders.RECORDERS + recorders.DIAGNOSTIC
    recorder = {cls.name: cls for cls in known}[config](run.source_roots())
    start, stop = recorder.session()

    def measured() -> None:
        start()
        fn()
        stop()

    _kestrow_floor.measured(measured)


def count(workload: str, config: str) -> int:
    # A fixed hash seed: with a random one, the order of dicts and sets of strings, and so the
    # work of the workloads, moves the counts between runs.
    env = dict(os.environ, PYTHONHASHSEED="0")
    with tempfile.TemporaryDirectory() as tmp:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/out",
             "--collect-atstart=no", "--toggle-collect=floor_measured",
             sys.executable, __file__, "--child", workload, config],
            capture_output=True, text=True, check=True, env=env)
    collected = int(re.search(r"Collected : (\d+)", result.stderr).group(1))
    if collected == 0:
        raise SystemExit("callgrind counted nothing: it did not find floor_measured in the floor "
                         "extension (build/bench/), which must keep its symbols")
    return collected


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--workloads", default="calls_wide,calls_deep,lines,tomllib,difflib")
    parser.add_argument("--configs", default="floor,lines,arcs")
    parser.add_argument("--child", nargs=2)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    configs = args.configs.split(",")
    print(f"{'workload':<11}" + "".join(f"{c + '/floor':>14}" for c in configs if c != "floor"))
    for w in args.workloads.split(","):
        base = count(w, "untraced")
        over = {c: count(w, c) - base for c in configs}
        print(f"{w:<11}" + "".join(f"{over[c] / over['floor']:14.2f}" for c in configs
                                   if c != "floor"), flush=True)


if __name__ == "__main__":
    main()
