"""Copies of the standard-library code the workloads run, under names of their own.

kestrow never records the standard library, so the standard-library workloads run copies of it
instead: made from the running interpreter's library into build/bench/stdlib_copies/ (ignored by
git), a source root like the benchmark's own directory, so every recorder records them as the
ordinary files they now are. A copy is rewritten when it differs from its original (first use,
or another interpreter). Run directly (`python benchmarks/stdlib_copies.py`) or through `build()`
from the runner.
"""

from __future__ import annotations

import os
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT_DIR = HERE.parent / "build" / "bench" / "stdlib_copies"

# Name of the copy: the module file or package directory it is copied from. tomllib's modules
# import one another relatively, so the package works unchanged under another name.
COPIES = {"bench_tomllib": "tomllib", "bench_difflib": "difflib.py"}


def _refresh(source: Path, target: Path) -> None:
    data = source.read_bytes()
    if target.exists() and target.read_bytes() == data:
        return
    target.parent.mkdir(parents=True, exist_ok=True)
    # Written aside and renamed into place: another benchmark process importing the copy at the
    # same moment sees the old file or the new one, never half of one.
    partial = target.with_name(f"{target.name}.{os.getpid()}.tmp")
    partial.write_bytes(data)
    os.replace(partial, target)


def build() -> Path:
    """Make the copies if needed; returns the directory to put on sys.path."""
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    for name, original in COPIES.items():
        source = stdlib / original
        if source.is_dir():
            for module in source.glob("*.py"):
                _refresh(module, OUT_DIR / name / module.name)
        else:
            _refresh(source, OUT_DIR / f"{name}.py")
    return OUT_DIR


if __name__ == "__main__":
    print(build(), file=sys.stderr)
