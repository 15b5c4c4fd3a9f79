"""Runs every workload untraced and under each recorder, in one process, and reports.

    python benchmarks/run.py [--repeat N] [--quick] [--output PATH] [--no-scaling]

Runs are interleaved (each round times every workload under every configuration once) and the
best of N rounds is kept, so a burst of load from elsewhere on the machine spoils one round rather
than one configuration. Overhead is the traced time minus the untraced time; the key figure per
workload is kestrow's overhead divided by the floor's. Before timing, the lines kestrow records are
checked against those of the plain Python recorder; the run stops if they differ.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from typing import Any, Callable

import kestrow

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import build_floor  # noqa: E402
import stdlib_copies  # noqa: E402

sys.path.insert(0, str(build_floor.build()))
sys.path.insert(0, str(stdlib_copies.build()))

import recorders  # noqa: E402
import workloads  # noqa: E402

# The speed kestrow must reach, per workload.
TARGETS = {"lines_vs_floor": 1.3, "arcs_vs_floor": 1.6, "py_vs_lines": 8.0, "trace_vs_lines": 15.0}


def source_roots(*extra: str) -> tuple[str, ...]:
    """The recorded source roots, the same for every recorder: the benchmark's own directory and
    the standard-library copies."""
    dirs = [str(HERE), str(stdlib_copies.OUT_DIR), *extra]
    return tuple(os.path.join(os.path.realpath(d), "") for d in dirs)


def time_once(recorder: recorders.Recorder, run: Callable[[], object]) -> float:
    start, stop = recorder.session()
    gc.collect()
    t0 = time.perf_counter()
    start()
    try:
        run()
    finally:
        stop()
    return time.perf_counter() - t0


def line_differences(got: dict[str, set[int]], expected: dict[str, set[int]]) -> list[str]:
    out = []
    for name in sorted(got.keys() | expected.keys()):
        a, b = got.get(name, set()), expected.get(name, set())
        if a != b:
            out.append(f"  {name}: only kestrow {sorted(a - b)}, only py {sorted(b - a)}")
    return out


def check_recorded_lines(runs: dict[str, Callable[[], object]], roots: tuple[str, ...]) -> None:
    """Stop the run unless kestrow, through its Collector, records the same lines of the same files
    as the plain Python recorder: timing recorders that record different things, or nothing,
    would compare nothing."""
    files = []
    for name, run in runs.items():
        kestrow_lines, py = recorders.KestrowLines(roots), recorders.PySettrace(roots)
        for recorder in (kestrow_lines, py):
            time_once(recorder, run)
        got, expected = kestrow_lines.recorded(), py.recorded()
        if not expected:
            raise SystemExit(f"{name}: py settrace recorded nothing under {', '.join(roots)}")
        if got != expected:
            raise SystemExit(f"{name}: kestrow lines and py settrace record different lines\n"
                             + "\n".join(line_differences(got, expected)))
        files.append(f"{name} {len(expected)}")
    print("Recorded lines agree (kestrow lines, py settrace); files per workload: "
          + ", ".join(files))


def count_events(run: Callable[[], object]) -> dict[str, int]:
    """Call and line events of one run, as a trace function sees them in every frame."""
    counts = {"call": 0, "line": 0}

    def local(frame: Any, event: str, arg: Any) -> Any:
        if event == "line":
            counts["line"] += 1
        return local

    def global_trace(frame: Any, event: str, arg: Any) -> Any:
        counts["call"] += 1
        return local

    sys.settrace(global_trace)
    try:
        run()
    finally:
        sys.settrace(None)
    return counts


def measure(
    runs: dict[str, Callable[[], object]],
    configs: list[recorders.Recorder],
    repeat: int,
    roots: tuple[str, ...],
) -> dict[str, dict[str, list[float]]]:
    times: dict[str, dict[str, list[float]]] = {w: {c.name: [] for c in configs} for w in runs}
    for run in runs.values():  # warm-up: imports, caches, specialisation
        run()
    check_recorded_lines(runs, roots)
    for _ in range(repeat):
        for name, run in runs.items():
            for config in configs:
                times[name][config.name].append(time_once(config, run))
    return times


def summarise(times: dict[str, list[float]]) -> dict[str, Any]:
    best = {c: min(v) for c, v in times.items()}
    base = best["untraced"]
    over = {c: t - base for c, t in best.items()}

    def per(a: str, b: str) -> float | None:
        return over[a] / over[b] if over.get(a) is not None and over.get(b, 0) > 0 else None

    return {
        "best_s": best,
        "ratio_to_untraced": {c: t / base for c, t in best.items()},
        "overhead_s": over,
        "key": {
            "lines_vs_floor": per("lines", "floor"),
            "arcs_vs_floor": per("arcs", "floor"),
            "py_vs_lines": per("py", "lines"),
            "trace_vs_lines": per("trace", "lines"),
            "py_vs_arcs": per("py", "arcs"),
            "trace_vs_arcs": per("trace", "arcs"),
            "freelock_vs_floor": per("lines_freelock", "floor"),
            "py_design_vs_lines": per("py_design", "lines"),
        },
    }


def meets(key: dict[str, float | None]) -> dict[str, bool]:
    """Each target whose figure was measured (its recorders ran), and whether it is met."""
    out = {}
    for name, limit in TARGETS.items():
        value = key[name]
        if value is None:
            continue
        if name.endswith("_vs_floor"):
            out[name] = value <= limit
        else:
            out[name] = value >= limit
    return out


# Scaling: generated programs 10x larger, recursion 10x deeper.
def generated_module(directory: str, functions: int) -> Any:
    """A module of `functions` functions, each a loop over a dozen distinct lines."""
    import importlib.util

    body = "\n".join(f"        t += i * {k} + {k}" for k in range(12))
    src = "\n\n".join(
        f"def f{n}(n):\n    t = 0\n    for i in range(n):\n{body}\n    return t" for n in range(functions)
    )
    src += "\n\nFUNCS = [" + ", ".join(f"f{n}" for n in range(functions)) + "]\n"
    path = os.path.join(directory, f"gen_{functions}.py")
    with open(path, "w") as f:
        f.write(src)
    module_spec = importlib.util.spec_from_file_location(f"gen_{functions}", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def scaling(
    configs: list[recorders.Recorder], repeat: int, roots: tuple[str, ...], gen_dir: str
) -> dict[str, Any]:
    small, large = generated_module(gen_dir, 100), generated_module(gen_dir, 1000)

    def program(module: Any, passes: int) -> Callable[[], object]:
        return lambda: [f(20) for _ in range(passes) for f in module.FUNCS]

    runs = {
        "code_1x": program(small, 10),  # same events, a tenth of the code
        "code_10x": program(large, 1),
        "depth_1x": lambda: [workloads.descend(100) for _ in range(1000)],
        "depth_10x": lambda: [workloads.descend(1000) for _ in range(100)],
    }
    chosen = [c for c in configs if c.name in ("untraced", "floor", "lines", "arcs")]
    times = measure(runs, chosen, repeat, roots)
    out: dict[str, Any] = {}
    for name, run in runs.items():
        events = count_events(run)
        n = events["call"] * 2 + events["line"]  # call, line and return events
        best = {c: min(v) for c, v in times[name].items()}
        out[name] = {
            "events": n,
            "best_s": best,
            "overhead_ns_per_event": {
                c: (best[c] - best["untraced"]) / n * 1e9 for c in best if c != "untraced"
            },
        }
    return out


def stack_memory(roots: tuple[str, ...]) -> dict[str, Any]:
    """Bytes the frame stack grows by per extra level of recursion, from traced allocations."""

    def grown(depth: int) -> int:
        collector = kestrow.Collector(source=roots)
        collector.start()
        workloads.descend(3)  # so the file's disposition and line set exist before measuring
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        workloads.descend(depth)
        # Read before stopping: the stack never shrinks, but stopping lets the tracer go.
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        collector.stop()
        return after - before

    shallow, deep = 200, 2000
    a, b = grown(shallow), grown(deep)
    return {"depths": [shallow, deep], "bytes": [a, b], "bytes_per_entry": (b - a) / (deep - shallow)}


def fmt_time(seconds: float) -> str:
    return f"{seconds * 1e3:8.1f}"


def table(results: dict[str, Any], configs: list[recorders.Recorder]) -> str:
    names = [c.name for c in configs]
    head = f"{'workload':<11}" + "".join(f"{n:>17}" for n in names)
    lines = ["Best time in ms (ratio to untraced)", head]
    for w, r in results["workloads"].items():
        row = f"{w:<11}"
        for n in names:
            row += f"{fmt_time(r['best_s'][n])} ({r['ratio_to_untraced'][n]:5.2f}x)"
        lines.append(row)
    lines += ["", "Overhead ratios (overhead = traced - untraced); the targets are on the last row",
              f"{'workload':<11}{'lines/floor':>14}{'arcs/floor':>14}{'py/lines':>12}"
              f"{'trace/lines':>14}{'py/arcs':>10}{'trace/arcs':>12}  targets"]
    for w, r in results["workloads"].items():
        k = r["key"]
        f = lambda v: "   n/a" if v is None else f"{v:6.2f}"  # noqa: E731
        ok = "met" if all(r["meets"].values()) else "MISSED " + ",".join(
            n for n, good in r["meets"].items() if not good)
        lines.append(f"{w:<11}{f(k['lines_vs_floor']):>14}{f(k['arcs_vs_floor']):>14}"
                     f"{f(k['py_vs_lines']):>12}{f(k['trace_vs_lines']):>14}"
                     f"{f(k['py_vs_arcs']):>10}{f(k['trace_vs_arcs']):>12}  {ok}")
    lines.append(f"{'targets':<11}{'<= 1.30':>14}{'<= 1.60':>14}{'>= 8':>12}{'>= 15':>14}")
    lines += ["", "What the peers leave for kestrow: their overhead over the floor's "
              "(kestrow's overhead can be little lower than the floor's)",
              f"{'workload':<11}{'py/floor':>10}{'trace/floor':>13}{'py_design/floor':>16}"
              f"{'py_design/lines':>16}{'freelock/floor':>16}"]
    for w, r in results["workloads"].items():
        o = r["overhead_s"]
        free = r["key"]["freelock_vs_floor"]
        def over_floor(name: str) -> float | None:
            return o[name] / o["floor"] if name in o and o["floor"] > 0 else None

        cells = [(over_floor("py"), 10), (over_floor("trace"), 13), (over_floor("py_design"), 16),
                 (r["key"]["py_design_vs_lines"], 16), (free, 16)]
        lines.append(f"{w:<11}" + "".join(
            f"{'-':>{width}}" if v is None else f"{v:{width}.2f}" for v, width in cells))
    return "\n".join(lines)


def scaling_table(s: dict[str, Any]) -> str:
    lines = ["", "Scaling: overhead per event in ns (call, line and return events)",
             f"{'program':<11}{'events':>10}{'floor':>9}{'lines':>9}{'arcs':>9}"]
    for name, r in s.items():
        if name == "stack_memory":
            continue
        o = r["overhead_ns_per_event"]
        lines.append(f"{name:<11}{r['events']:>10}{o['floor']:9.1f}{o['lines']:9.1f}{o['arcs']:9.1f}")
    m = s["stack_memory"]
    lines.append(f"Frame stack memory: {m['bytes_per_entry']:.1f} bytes per entry "
                 f"(growth from depth {m['depths'][0]} to {m['depths'][1]})")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="rounds; the best is kept")
    parser.add_argument("--quick", action="store_true", help="3 rounds, no scaling")
    parser.add_argument("--workloads", help="comma-separated subset of workloads")
    parser.add_argument("--configs", help="comma-separated subset of configurations")
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--diagnose", action="store_true",
                        help="also run kestrow lines under a layer whose data lock is free")
    parser.add_argument("--output", default=str(HERE / "results" / "latest.json"),
                        help="where to write the JSON results")
    args = parser.parse_args(argv)
    repeat = 3 if args.quick else args.repeat
    sys.setrecursionlimit(20_000)

    with tempfile.TemporaryDirectory(prefix="kestrow-bench-") as gen_dir:
        roots = source_roots(gen_dir)
        classes = recorders.RECORDERS + (recorders.DIAGNOSTIC if args.diagnose else [])
        configs = [cls(roots) for cls in classes]
        if args.configs:
            wanted = {"untraced", "floor", *args.configs.split(",")}
            configs = [c for c in configs if c.name in wanted]
        chosen = args.workloads.split(",") if args.workloads else list(workloads.WORKLOADS)
        runs = {w: workloads.WORKLOADS[w]() for w in chosen}

        results: dict[str, Any] = {
            "python": sys.version,
            "platform": platform.platform(),
            "repeat": repeat,
            "configs": {c.name: c.label for c in configs},
            "targets": TARGETS,
            "workloads": {},
        }
        started = time.time()
        times = measure(runs, configs, repeat, roots)
        for w, run in runs.items():
            r = summarise(times[w])
            r["meets"] = meets(r["key"])
            r["events"] = count_events(run)
            r["all_s"] = times[w]
            results["workloads"][w] = r
        print(table(results, configs))
        if not (args.quick or args.no_scaling):
            s = scaling(configs, repeat, roots, gen_dir)
            s["stack_memory"] = stack_memory(roots)
            results["scaling"] = s
            print(scaling_table(s))
        results["seconds"] = time.time() - started

    out = Path(args.output)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=2))
    print(f"\nJSON: {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
