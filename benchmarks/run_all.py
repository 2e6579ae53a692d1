"""Runs every benchmark and prints one table of ratios, each measured against
its yardstick in the same run (medians of at least 5 runs).

    .venv/py3.11/bin/python benchmarks/run_all.py [--quick]
"""
import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import print_rows  # noqa: E402

SUITES = ["bench_addressing", "bench_readers", "bench_excel_read", "bench_worst_cases", "bench_merge", "bench_output"]


def main(argv):
    quick = "--quick" in argv
    rows = []
    for name in SUITES:
        module = importlib.import_module(name)
        print(f"running {name} ...", file=sys.stderr, flush=True)
        rows.extend(module.run(quick=quick))
        if hasattr(module, "run_flush"):
            rows.extend(module.run_flush(quick=quick))
        if hasattr(module, "run_memory"):
            rows.extend((f"{label} [peak bytes]", a, b, r)
                        for label, a, b, r in module.run_memory(quick=quick))
    print(f"Python {sys.version.split()[0]}, ratio = ours / yardstick"
          + (" (quick sizes)" if quick else ""))
    print_rows(rows)


if __name__ == "__main__":
    main(sys.argv[1:])
