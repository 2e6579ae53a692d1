"""Speed-up of the native routes over the plain library calls, per release.

Runs one child per interpreter given (default: every venv the release matrix
made, .venv/matrix-*/bin/python), each with the module installed there. In each
child, a 20,000 x 10 workbook of mixed values is read with read_excel_by_cells
and a frame of that size written with write_formatted_excel (styled), once
with the module's `pd` as it is and once with `pd` rebound to a module that
offers pandas' names but is not pandas, which makes the reading, cells and
save routes take the plain library calls (the styling's direct route, which
pd does not decide, runs in both). The yardstick is that plain run, measured in the same
child; the ratio is plain CPU time over native CPU time (higher is faster).

    python benchmarks/bench_releases.py [--rows N] [--repeats K] [PYTHON ...]
"""
import argparse
import glob
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r"""
import datetime, json, os, sys, tempfile, time, types, warnings
import numpy as np
import openpyxl
import pandas as pd
import vorlatek.excelTools as et

rows, repeats = int(sys.argv[1]), int(sys.argv[2])
warnings.simplefilter("ignore")
rng = np.random.default_rng(7)
frame = pd.DataFrame({
    "code": [f"A-{i:06d}" for i in range(rows)],
    "name": [f"item {i % 977}" for i in range(rows)],
    "qty": rng.integers(0, 1000, rows),
    "price": rng.random(rows) * 100,
    "flag": rng.random(rows) > 0.5,
    "when": pd.date_range("2024-01-01", periods=rows, freq="h"),
    "note": ["x" * (i % 13) for i in range(rows)],
    "n2": rng.integers(0, 10**6, rows),
    "f2": rng.random(rows),
    "city": [("Tokyo", "Osaka", "Nagoya")[i % 3] for i in range(rows)],
})
mapping = {name: f"{letter}2" for name, letter in zip(frame.columns, "ABCDEFGHIJ")}
folder = tempfile.mkdtemp()
book = os.path.join(folder, "in.xlsx")
frame.to_excel(book, index=False, engine="openpyxl")

plain_pd = types.ModuleType("pandas_wrapper")
for name in dir(pd):
    if not name.startswith("__"):
        setattr(plain_pd, name, getattr(pd, name))

def cpu(fn):
    best = None
    for _ in range(repeats):
        start = time.process_time()
        fn()
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    return best

def read():
    assert len(et.read_excel_by_cells(book, mapping)) == rows

def write():
    assert et.write_formatted_excel(os.path.join(folder, "out.xlsx"), {"S": frame}) is True

result = {"python": "%d.%d" % sys.version_info[:2], "pandas": pd.__version__,
          "openpyxl": openpyxl.__version__, "lxml": bool(getattr(openpyxl, "LXML", False))}
for step, fn in (("read", read), ("write", write)):
    fn()  # first use builds the routes' layouts
    native = cpu(fn)
    et.pd = plain_pd
    try:
        fn()
        plain = cpu(fn)
    finally:
        et.pd = pd
    result[step] = [native, plain]
print(json.dumps(result))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("pythons", nargs="*")
    args = parser.parse_args()
    pythons = args.pythons or sorted(glob.glob(os.path.join(ROOT, ".venv", "matrix-*", "bin", "python")))
    if not pythons:
        sys.exit("no interpreter given and no .venv/matrix-* (bash scripts/test-matrix.sh makes them)")
    print(f"{args.rows:,} x 10, CPU s, least of {args.repeats}; ratio = plain / native")
    print(f"{'python':<7} {'pandas':<7} {'openpyxl':<9} {'lxml':<5} "
          f"{'read native':>11} {'plain':>7} {'x':>6} {'write native':>12} {'plain':>7} {'x':>6}")
    for python in map(os.path.abspath, pythons):
        # Outside the checkout: its source folder holds no built module.
        done = subprocess.run([python, "-c", CHILD, str(args.rows), str(args.repeats)],
                              capture_output=True, text=True, cwd=os.path.dirname(python))
        if done.returncode != 0:
            print(f"{python}: failed\n{done.stderr[-2000:]}")
            continue
        r = json.loads(done.stdout.strip().splitlines()[-1])
        (rn, rp), (wn, wp) = r["read"], r["write"]
        print(f"{r['python']:<7} {r['pandas']:<7} {r['openpyxl']:<9} {str(r['lxml']):<5} "
              f"{rn:>11.3f} {rp:>7.3f} {rp / rn:>6.1f} {wn:>12.3f} {wp:>7.3f} {wp / wn:>6.1f}")


if __name__ == "__main__":
    main()
