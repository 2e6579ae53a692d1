"""Scale table of a styled report write against plain writers, in one run.

    python benchmarks/bench_write.py            # 100,000 x 10 (1M cells) and 10 x 10
    python benchmarks/bench_write.py --quick    # 10,000 x 10 and 10 x 10
    python benchmarks/bench_write.py --no-pyarrow   # text columns without pyarrow
    python benchmarks/bench_write.py --threads  # two writes in two threads
    python benchmarks/bench_write.py --wheel WHEEL  # also the module of that wheel

Every case runs in a child process of its own (so peak memory is that case's
alone): CPU seconds of the write itself (user + system, median of the
child's repeats), its wall-clock seconds (median) and the child's peak
resident memory (ru_maxrss) with the memory it had before the write.

Text columns: pandas 3 keeps them in pyarrow when pyarrow can be imported
(the common install); --no-pyarrow hides pyarrow from the children, so the
same frame holds pandas' own text arrays.

--threads: in one child process, two styled writes of the frame (each to
its own file) one after the other, then the same two at once in two
threads; wall-clock seconds of each (least of the repeats), their ratio,
and the CPU seconds per wall second of the threads run (how many cores it
kept busy; on a machine shared with other work the ratio says little
without it).

- styled route: write_formatted_excel(path, {"Report": frame}) as it is;
- styled route wheel (with --wheel): the same call with the module of that
  wheel (unpacked and put first on the child's path), e.g. an earlier
  revision's build beside this one's;
- styled generic: the same call with the module's `pd` rebound to a module
  that only hands out pandas' names, so every phase takes pandas' and
  openpyxl's own calls (today's route);
- to_excel openpyxl / xlsxwriter: pandas' plain to_excel(path, index=False);
- pyexcelerate: its plain Workbook.new_sheet(data=rows).save(path), the rows
  made from the frame as a user would (header, then df.values.tolist()).
  Needs pyexcelerate, which only the benchmark venv has
  (bash scripts/bench-venv.sh); skipped elsewhere.

- cells route / cells generic (with --phases): the frame's values placed into
  the sheet alone, by the native placement and by pandas' to_excel: the
  same call with auto_format off and openpyxl's save left out (the writer's
  _save does nothing, so an empty file is renamed into place).

The ratios are against "styled generic" ("cells generic" for the phase
rows) measured in the same run.
"""
import argparse
import datetime
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import types

CASES = ["styled route", "styled generic", "to_excel openpyxl", "to_excel xlsxwriter",
         "pyexcelerate"]


def make_frame(rows):
    import numpy as np
    import pandas as pd
    start = datetime.datetime(2024, 1, 1)
    return pd.DataFrame({
        "code": [f"C{i:07d}" for i in range(rows)],
        "name": [f"item number {i}" for i in range(rows)],
        "qty": np.arange(rows, dtype="int64"),
        "price": np.arange(rows) * 0.25,
        "flag": np.arange(rows) % 3 == 0,
        "day": pd.date_range(start, periods=rows, freq="min"),
        "city": ["東京" if i % 2 else "Osaka" for i in range(rows)],
        "stock": np.arange(rows, dtype="int64") * 7 - 3,
        "ratio": np.arange(rows) / 7,
        "open": np.arange(rows) % 2 == 0,
    })


def writer_for(case, frame, path):
    import pandas as pd
    if case.startswith("cells"):
        import vorlatek.excelTools as et
        from pandas.io.excel._openpyxl import OpenpyxlWriter
        OpenpyxlWriter._save = lambda self: None
        if case == "cells generic":
            wrapper = types.ModuleType("pandas_wrapper")
            wrapper.__getattr__ = lambda name: getattr(pd, name)
            et.pd = wrapper

        def write():
            assert et.write_formatted_excel(path, {"Report": frame}, False) is True
        return write
    if case.startswith("styled"):  # "styled route wheel": the same, on the wheel's path
        import vorlatek.excelTools as et
        if case == "styled generic":
            wrapper = types.ModuleType("pandas_wrapper")
            wrapper.__getattr__ = lambda name: getattr(pd, name)
            et.pd = wrapper

        def write():
            assert et.write_formatted_excel(path, {"Report": frame}) is True
        return write
    if case.startswith("to_excel"):
        engine = case.split()[1]
        return lambda: frame.to_excel(path, index=False, engine=engine)
    from pyexcelerate import Workbook

    def write():
        book = Workbook()
        book.new_sheet("Report", data=[list(frame.columns)] + frame.values.tolist())
        book.save(path)
    return write


def hide_pyarrow():
    # pandas treats a module that cannot be imported as not installed.
    sys.modules["pyarrow"] = None


def child(case, rows, repeats):
    frame = make_frame(rows)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "report.xlsx")
        write = writer_for(case, frame, path)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        times = []
        walls = []
        for _ in range(repeats):
            start = time.process_time()
            wall = time.perf_counter()
            write()
            walls.append(time.perf_counter() - wall)
            times.append(time.process_time() - start)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        size = os.path.getsize(path)
    module = sys.modules.get("vorlatek.excelTools")
    print(json.dumps({"cpu": statistics.median(times), "wall": statistics.median(walls),
                      "peak_kb": peak, "before_kb": before, "bytes": size,
                      "module": getattr(module, "__file__", None)}))


def threads_child(rows, repeats):
    import threading
    import vorlatek.excelTools as et
    frame = make_frame(rows)
    with tempfile.TemporaryDirectory() as folder:
        paths = [os.path.join(folder, f"report{i}.xlsx") for i in range(2)]
        results = []

        def write(path):
            results.append(et.write_formatted_excel(path, {"Report": frame}))

        serial = []
        parallel = []
        busy = []
        for _ in range(repeats):
            start = time.perf_counter()
            for path in paths:
                write(path)
            serial.append(time.perf_counter() - start)
            workers = [threading.Thread(target=write, args=(path,)) for path in paths]
            start = time.perf_counter()
            cpu = time.process_time()
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
            wall = time.perf_counter() - start
            parallel.append(wall)
            busy.append((time.process_time() - cpu) / wall)
        assert results == [True] * (4 * repeats)
    print(json.dumps({"serial": min(serial), "threads": min(parallel),
                      "busy": busy[parallel.index(min(parallel))]}))


def available(case):
    if case != "pyexcelerate":
        return True
    try:
        import pyexcelerate  # noqa: F401
        return True
    except ImportError:
        return False


# Folder of the unpacked wheel given by --wheel, first on the path of the
# "styled route wheel" children.
wheel_folder = None
WHEEL_CASE = "styled route wheel"


def run_case(case, rows, repeats, no_pyarrow):
    env = dict(os.environ)
    if case == WHEEL_CASE:
        env["PYTHONPATH"] = wheel_folder
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", case,
                           "--rows", str(rows), "--repeats", str(repeats)]
                          + (["--no-pyarrow"] if no_pyarrow else []),
                          capture_output=True, text=True, check=True, env=env)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    if case == WHEEL_CASE:
        assert result["module"].startswith(wheel_folder), result["module"]
    return result


def text_storage(no_pyarrow):
    done = subprocess.run([sys.executable, "-c",
                           "import sys\n"
                           + ("sys.modules['pyarrow'] = None\n" if no_pyarrow else "")
                           + "import pandas as pd\nprint(type(pd.Series(['a']).array).__name__)"],
                          capture_output=True, text=True, check=True)
    return done.stdout.strip()


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--child")
    parser.add_argument("--rows", type=int)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--phases", action="store_true")
    parser.add_argument("--no-pyarrow", action="store_true")
    parser.add_argument("--threads", action="store_true")
    parser.add_argument("--wheel")
    args = parser.parse_args(argv)
    cases = list(CASES)
    if args.wheel:
        global wheel_folder
        import zipfile
        wheel_folder = tempfile.mkdtemp(prefix="bench-wheel-")
        zipfile.ZipFile(args.wheel).extractall(wheel_folder)
        cases.insert(1, WHEEL_CASE)
    if args.no_pyarrow:
        hide_pyarrow()
    if args.child == "threads":
        threads_child(args.rows, args.repeats)
        return
    if args.child:
        child(args.child, args.rows, args.repeats)
        return
    rows_at_scale = 10_000 if args.quick else 100_000
    sizes = [(rows_at_scale, 1), (10, 20)]
    import openpyxl
    import pandas as pd
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}, openpyxl "
          f"{openpyxl.__version__}, text columns: {text_storage(args.no_pyarrow)}")
    if args.threads:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", "threads",
                               "--rows", str(rows_at_scale), "--repeats", "3"]
                              + (["--no-pyarrow"] if args.no_pyarrow else []),
                              capture_output=True, text=True, check=True)
        r = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"two styled writes of {rows_at_scale:,} x 10, wall s (least of 3): one after the "
              f"other {r['serial']:.3f}, in two threads {r['threads']:.3f}, ratio "
              f"{r['threads'] / r['serial']:.3f}; cores busy in the threads run {r['busy']:.2f} "
              f"(CPU s per wall s: below 2 when the GIL or other processes keep a core idle)")
        return
    print("CPU s and wall s of one write (median), peak RSS of its process")
    print(f"{'rows x 10':>10} {'case':<20} {'CPU s':>9} {'wall s':>9} {'vs generic':>10} "
          f"{'peak MB':>8} {'before MB':>9} {'file KB':>8}")
    for rows, repeats in sizes:
        results = {}
        for case in cases:
            if available(case):
                results[case] = run_case(case, rows, repeats, args.no_pyarrow)
        yardstick = results["styled generic"]["cpu"]
        if args.phases:
            for case in ("cells route", "cells generic"):
                results[case] = run_case(case, rows, repeats, args.no_pyarrow)
        for case, r in results.items():
            if case == "cells route":
                yardstick = results["cells generic"]["cpu"]
            print(f"{rows:>10} {case:<20} {r['cpu']:>9.4f} {r['wall']:>9.4f} "
                  f"{r['cpu'] / yardstick:>10.3f} "
                  f"{r['peak_kb'] / 1024:>8.1f} {r['before_kb'] / 1024:>9.1f} "
                  f"{r['bytes'] / 1024:>8.1f}", flush=True)
        for case in CASES:
            if not available(case):
                print(f"{rows:>10} {case:<20} {'skipped (not installed)':>30}")


if __name__ == "__main__":
    main(sys.argv[1:])
