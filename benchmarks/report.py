"""Turns a results JSON of benchmarks/run.py into the Markdown tables of the README.

    python benchmarks/report.py [benchmarks/results/latest.json]
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def fmt(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}"


def main(path: str) -> None:
    r = json.loads(Path(path).read_text())
    configs = list(r["configs"])
    print("| workload | " + " | ".join(configs) + " |")
    print("|---|" + "---:|" * len(configs))
    for w, d in r["workloads"].items():
        cells = [f"{d['best_s'][c] * 1e3:.1f} ms ({d['ratio_to_untraced'][c]:.2f}×)" for c in configs]
        print(f"| {w} | " + " | ".join(cells) + " |")
    print()
    print("| workload | lines/floor (≤ 1.3) | arcs/floor (≤ 1.6) | py/lines (≥ 8) "
          "| trace/lines (≥ 15) | py/floor | trace/floor | py_design/lines | freelock/floor |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for w, d in r["workloads"].items():
        k, o = d["key"], d["overhead_s"]
        py_floor = o["py"] / o["floor"] if "py" in o else None
        trace_floor = o["trace"] / o["floor"] if "trace" in o else None
        print(f"| {w} | {fmt(k['lines_vs_floor'])} | {fmt(k['arcs_vs_floor'])} "
              f"| {fmt(k['py_vs_lines'])} | {fmt(k['trace_vs_lines'])} | {fmt(py_floor)} "
              f"| {fmt(trace_floor)} | {fmt(k.get('py_design_vs_lines'))} "
              f"| {fmt(k.get('freelock_vs_floor'))} |")
    s = r.get("scaling")
    if s:
        print()
        print("| program | events | floor ns/event | lines ns/event | arcs ns/event |")
        print("|---|---:|---:|---:|---:|")
        for name, d in s.items():
            if name == "stack_memory":
                continue
            o = d["overhead_ns_per_event"]
            print(f"| {name} | {d['events']} | {o['floor']:.1f} | {o['lines']:.1f} | {o['arcs']:.1f} |")
        m = s["stack_memory"]
        print(f"\nFrame stack memory: {m['bytes_per_entry']:.1f} bytes per entry.")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(HERE / "results" / "latest.json"))
