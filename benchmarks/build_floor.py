"""Builds the floor extension (benchmarks/floor/floor.c) for the running interpreter.

The result goes to build/bench/ (ignored by git); it is rebuilt when the source is newer.
Run directly (`python benchmarks/build_floor.py`) or through `build()` from the runner.
"""

from __future__ import annotations

import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "floor" / "floor.c"
OUT_DIR = HERE.parent / "build" / "bench"


def build() -> Path:
    """Compile the floor if needed; returns the directory to put on sys.path."""
    target = OUT_DIR / ("_kestrow_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return OUT_DIR
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    include = sysconfig.get_paths()["include"]
    # Same optimisation level as the package's release build.
    command = [*cc, "-O3", "-shared", "-fPIC", "-Wall", "-Werror", f"-I{include}",
               str(SOURCE), "-o", str(target)]
    subprocess.run(command, check=True)
    return OUT_DIR


if __name__ == "__main__":
    print(build(), file=sys.stderr)
