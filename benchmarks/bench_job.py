"""The whole job at scale: the demo's reconcile (read the report workbook,
read the cp932 export, pair rows on the product code, write the styled
two-sheet report) at 10, 10,000 and 100,000 rows, beside the same job done
by the fastest peer of each step and by plain pandas + openpyxl.

    python benchmarks/bench_job.py [--quick] [--repeats N] [--wheel WHEEL]
                                   [--also PYTHON ...] [--no-threads]

Jobs, each run in a child process of its own (wall seconds, the least of
--repeats runs, 3 by default; the steps shown are those of that run, the
whole job's CPU seconds beside its wall seconds, since this machine's two
cores are often shared; the last step, "collect", is the collection of what
the job left to the cyclic garbage collector, which the program pays for
right after the job or at its exit):

- vorlatek: demo/reconcile.py's own reconcile() and summary_frame() on the
  module's readers, merge and styled write_formatted_excel;
- vorlatek wheel (with --wheel): the same with the module of that wheel;
- fastest peers: fastexcel to pandas (pd.read_excel with calamine where
  pyarrow is missing), pd.read_csv with the pyarrow engine (the C engine
  without pyarrow), pandas merge on the code and its cumcount (pairs
  repeated codes one to one as the module does), pyexcelerate's plain write;
- pandas + openpyxl: pd.read_excel and pd.read_csv (C engine), the same
  merge, DataFrame.to_excel through an openpyxl ExcelWriter, unstyled.

Every job produces the same matched and one-side-only tables (their row
counts are compared). --also runs the same table under other interpreters
in the same run (e.g. the venv without pyarrow: pandas 3 then keeps text in
Python strings). The two-thread figure (unless --no-threads): two
read_excel_by_cells of the largest workbook, and two write_formatted_excel
of its frame, once one after the other and once in two threads of one
process, wall seconds, the least of the repeats; beside them, as yardsticks,
the library work that holds the GIL in each: pandas' own parse of the read's
values (TextParser, as pd.read_excel runs it) and openpyxl making cells
(Worksheet.append of 10,000 of the frame's rows), the same way.

Venvs: `bash scripts/bench-read-venv.sh && bash scripts/bench-venv.sh` make
.venv/py3.12-bench (with pyarrow, fastexcel, python-calamine, pyexcelerate);
`bash scripts/bench-venv.sh --no-pyarrow` makes .venv/py3.12-bench-nopyarrow.
"""
import json
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

JOBS = ["vorlatek", "vorlatek wheel", "fastest peers", "pandas + openpyxl"]
STEPS = ["read workbook", "read csv", "merge", "write", "collect"]

# The child: makes nothing but the job; the files exist already.
CHILD = r"""
import json, os, sys, time, warnings
warnings.simplefilter("ignore")
sys.path[:0] = [os.path.join(sys.argv[1], "demo"), os.path.join(sys.argv[1], "benchmarks")]
import pandas as pd
import reconcile as demo
import bench_job

job, book, export, out, repeats = sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], int(sys.argv[6])
best = None
for _ in range(repeats):
    steps = bench_job.run_job(job, book, export, out)
    if best is None or sum(steps["seconds"].values()) < sum(best["seconds"].values()):
        best = steps
import vorlatek.excelTools as et
best["module"] = et.__file__
best["pyarrow"] = __import__("importlib").util.find_spec("pyarrow") is not None
best["pandas"] = pd.__version__
print("REPORT " + json.dumps(best))
"""

# --- the files ---------------------------------------------------------------

REPORT_CELLS = {"Code": "A2", "Product": "B2", "Name_en": "C2", "Qty": "D2", "Price": "E2",
                "Paid": "F2", "Shipped": "G2", "Note": "H2", "Amount": "I2", "Region": "J2"}
REPORT_FIRST_ROW = 2
EXPORT_CELLS = {"Code": "A2", "Item": "B2", "Qty": "C2", "Amount": "D2"}
EXPORT_FIRST_LINE = 2


def write_export(path, rows):
    """The warehouse export of the report's rows in cp932 with a header line:
    every 97th report row missing, every 50th listed twice, every 7th code
    padded with blanks, every 11th amount different, and codes of its own."""
    lines = ["商品コード,品名,数量,金額,出荷日"]
    names = ["ボールペン", "ノート A5", "ホッチキス", "付箋", "クリアファイル", "デスクライト"]
    for r in range(1, rows + 1):
        if r % 97 == 0:
            continue
        code = f"P{r:07d}"
        if r % 7 == 0:
            code = f" {code}  "
        amount = (r % 97) * 10 + (5 if r % 11 == 0 else 0)
        line = f"{code},{names[r % len(names)]},{r % 1000},{amount},2024-05-{r % 28 + 1:02d}"
        lines.append(line)
        if r % 50 == 0:
            lines.append(line)
        if r % 100 == 0:
            lines.append(f"X{r:07d},{names[0]},1,100,2024-05-01")
    with open(path, "w", encoding="cp932", newline="") as handle:
        handle.write("\r\n".join(lines) + "\r\n")


# --- the jobs (run in the child) ----------------------------------------------

def run_job(job, book, export, out):
    """{"seconds": {step: wall s}, "cpu": {step: CPU s}, "matched": n, "unmatched": n}."""
    import gc
    import time

    import pandas as pd
    import reconcile as demo
    steps = JOB_STEPS[job]()
    seconds, cpu = {}, {}
    state = {}

    def timed(step, work):
        wall, processor = time.perf_counter(), time.process_time()
        work()
        seconds[step] = time.perf_counter() - wall
        cpu[step] = time.process_time() - processor

    def read_book():
        report = steps["read workbook"](book)
        report["Report row"] = report.index + REPORT_FIRST_ROW
        state["report"] = report

    def read_export():
        exported = steps["read csv"](export)
        for name in ["Qty", "Amount"]:
            exported[name] = pd.to_numeric(exported[name], errors="coerce")
        exported["Export line"] = exported.index + EXPORT_FIRST_LINE
        state["export"] = exported

    def merge():
        # The demo's reconcile with the job's merge in place of the module's.
        demo.et = steps["merge namespace"]
        state["matched"], state["unmatched"] = demo.reconcile(state["report"], state["export"])
        state["summary"] = demo.summary_frame(state["report"], state["export"], state["matched"],
                                              state["unmatched"])

    timed("read workbook", read_book)
    timed("read csv", read_export)
    timed("merge", merge)
    timed("write", lambda: steps["write"](out, state["matched"], state["unmatched"], state["summary"]))
    # What the job left to the cyclic garbage collector (a workbook is a web of reference
    # cycles): the program pays for it right after the job, or at its exit.
    timed("collect", gc.collect)
    return {"seconds": seconds, "cpu": cpu, "matched": len(state["matched"]),
            "unmatched": len(state["unmatched"])}


def module_steps():
    import vorlatek.excelTools as et

    def write(out, matched, unmatched, summary):
        assert et.write_formatted_excel(out, {
            "Reconciliation": [{"df": matched, "startcol": 0},
                               {"df": unmatched, "startcol": len(matched.columns) + 1}],
            "Summary": summary,
        }) is True
    return {"read workbook": lambda path: et.read_excel_by_cells(path, REPORT_CELLS),
            "read csv": lambda path: et.read_csv_by_cells(path, EXPORT_CELLS),
            "merge namespace": et, "write": write}


class PandasMerge:
    """merge_exact_match's work in plain pandas: codes trimmed, repeated codes
    paired one to one by their cumcount."""

    @staticmethod
    def merge_exact_match(left, right, str_keys, how, suffixes):
        import pandas as pd
        left, right = left.copy(), right.copy()
        keys = list(str_keys)
        for frame in (left, right):
            for key in keys:
                frame[key] = frame[key].astype(str).str.strip()
            frame["_pair"] = frame.groupby(keys).cumcount()
        both = pd.merge(left, right, on=keys + ["_pair"], how=how, suffixes=suffixes)
        return both.drop(columns="_pair")


def read_excel_plain(path, engine):
    import pandas as pd
    letters = [cell.rstrip("0123456789") for cell in REPORT_CELLS.values()]
    frame = pd.read_excel(path, usecols=",".join(letters), skiprows=REPORT_FIRST_ROW - 1,
                          header=None, names=list(REPORT_CELLS), engine=engine)
    return frame.dropna(how="all")


def read_csv_plain(path, engine):
    import pandas as pd
    frame = pd.read_csv(path, header=None, skiprows=EXPORT_FIRST_LINE - 1, usecols=range(4),
                        names=list(EXPORT_CELLS), encoding="cp932", dtype=str, engine=engine,
                        keep_default_na=False)
    return frame


def has_pyarrow():
    import importlib.util
    return importlib.util.find_spec("pyarrow") is not None


def peer_steps():
    def read_book(path):
        if not has_pyarrow():
            return read_excel_plain(path, "calamine")
        import fastexcel
        frame = fastexcel.read_excel(path).load_sheet(
            0, header_row=None, skip_rows=REPORT_FIRST_ROW - 1,
            use_columns=list(range(len(REPORT_CELLS)))).to_pandas()
        frame.columns = list(REPORT_CELLS)
        return frame

    def write(out, matched, unmatched, summary):
        from pyexcelerate import Workbook

        def rows(frame):
            values = frame.astype(object).where(frame.notna(), None).values.tolist()
            return [list(frame.columns)] + values
        left, right = rows(matched), rows(unmatched)
        width = len(matched.columns) + 1
        side_by_side = []
        for i in range(max(len(left), len(right))):
            row = left[i] if i < len(left) else [None] * len(matched.columns)
            side_by_side.append(row + [None] + (right[i] if i < len(right) else []))
            assert len(row) + 1 == width
        book = Workbook()
        book.new_sheet("Reconciliation", data=side_by_side)
        book.new_sheet("Summary", data=rows(summary))
        book.save(out)
    return {"read workbook": read_book,
            "read csv": lambda path: read_csv_plain(path, "pyarrow" if has_pyarrow() else "c"),
            "merge namespace": PandasMerge, "write": write}


def plain_steps():
    def write(out, matched, unmatched, summary):
        import pandas as pd
        with pd.ExcelWriter(out, engine="openpyxl") as writer:
            matched.to_excel(writer, sheet_name="Reconciliation", index=False)
            unmatched.to_excel(writer, sheet_name="Reconciliation", index=False,
                               startcol=len(matched.columns) + 1)
            summary.to_excel(writer, sheet_name="Summary", index=False)
    return {"read workbook": lambda path: read_excel_plain(path, "openpyxl"),
            "read csv": lambda path: read_csv_plain(path, "c"),
            "merge namespace": PandasMerge, "write": write}


JOB_STEPS = {"vorlatek": module_steps, "vorlatek wheel": module_steps,
             "fastest peers": peer_steps, "pandas + openpyxl": plain_steps}

# --- two threads against one after the other (run in the child) ----------------

THREADS_CHILD = r"""
import json, sys, threading, time, warnings
warnings.simplefilter("ignore")
import vorlatek.excelTools as et
sys.path.insert(0, sys.argv[1])
import bench_job
book, folder, repeats = sys.argv[2], sys.argv[3], int(sys.argv[4])
frame = et.read_excel_by_cells(book, bench_job.REPORT_CELLS)
# Yardsticks of the same run: the pieces of library work each job keeps under
# the GIL, alone in two threads. pandas' parse of the read's values (what
# pd.read_excel does with the rows the sheet gives it), and openpyxl making
# the cells of 100,000 of the frame's values.
from pandas.io.parsers import TextParser
import openpyxl
values = frame.astype(object).where(frame.notna(), "").values.tolist()
cell_values = values[:10_000]
def pandas_parse(i):
    TextParser(values, header=None, names=list(frame.columns)).read()
def openpyxl_cells(i):
    sheet = openpyxl.Workbook().active
    for row in cell_values:
        sheet.append(row)
work = {
    "reads": lambda i: et.read_excel_by_cells(book, bench_job.REPORT_CELLS),
    "writes": lambda i: et.write_formatted_excel(f"{folder}/out{i}.xlsx", {"Report": frame}),
    "pandas parses of the read's values (yardstick)": pandas_parse,
    "openpyxl appends of 10,000 of its rows (yardstick)": openpyxl_cells,
}
result = {}
for name, task in work.items():
    serial, threaded = [], []
    for _ in range(repeats):
        start = time.perf_counter(); task(0); task(1); serial.append(time.perf_counter() - start)
        threads = [threading.Thread(target=task, args=(i,)) for i in range(2)]
        start = time.perf_counter()
        for t in threads: t.start()
        for t in threads: t.join()
        threaded.append(time.perf_counter() - start)
    result[name] = {"serial": min(serial), "threads": min(threaded)}
print("REPORT " + json.dumps(result))
"""


# --- the parent ----------------------------------------------------------------

def child_report(python, code, args, env=None):
    done = subprocess.run([python, "-c", code] + args, capture_output=True, text=True,
                          cwd=tempfile.gettempdir(), env=env)
    if done.returncode != 0:
        raise RuntimeError(f"child failed: {done.stderr[-2000:]}")
    line = next(l for l in done.stdout.splitlines() if l.startswith("REPORT "))
    return json.loads(line[len("REPORT "):])


def wheel_folder(wheel):
    folder = tempfile.mkdtemp(prefix="bench-job-wheel-")
    zipfile.ZipFile(wheel).extractall(folder)
    return folder


def main(argv):
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="10 and 10,000 rows only")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--wheel")
    parser.add_argument("--also", nargs="*", default=[], help="other interpreters to run under")
    parser.add_argument("--no-threads", action="store_true")
    args = parser.parse_args(argv)
    sys.path.insert(0, os.path.join(ROOT, "benchmarks"))
    import bench_excel_read

    sizes = [10, 10_000] if args.quick else [10, 10_000, 100_000]
    wheel = wheel_folder(args.wheel) if args.wheel else None
    pythons = [sys.executable] + [os.path.abspath(python) for python in args.also]
    with tempfile.TemporaryDirectory() as folder:
        files = {}
        for rows in sizes:
            book, export = f"{folder}/report-{rows}.xlsx", f"{folder}/export-{rows}.csv"
            bench_excel_read.write_mixed(book, rows)
            write_export(export, rows)
            files[rows] = (book, export)
        for python in pythons:
            table = []
            for rows in sizes:
                book, export = files[rows]
                for job in JOBS:
                    env = dict(os.environ)
                    if job == "vorlatek wheel":
                        if wheel is None:
                            continue
                        env["PYTHONPATH"] = wheel
                    report = child_report(python, CHILD, [ROOT, job, book, export, f"{folder}/out.xlsx",
                                                          str(args.repeats)], env)
                    if job == "vorlatek wheel":
                        assert report["module"].startswith(wheel), report["module"]
                    table.append((rows, job, report))
            first = table[0][2]
            print(f"\n{python}: pandas {first['pandas']}, pyarrow "
                  f"{'installed' if first['pyarrow'] else 'not installed'}; wall seconds, least of "
                  f"{args.repeats} (steps of that run)")
            print(f"{'rows':>8} {'job':<18} " + " ".join(f"{s:>13}" for s in STEPS)
                  + f" {'job wall':>9} {'job CPU':>8} {'x vorlatek':>10} {'matched':>8} {'one side':>8}")
            ours = {}
            for rows, job, report in table:
                whole = sum(report["seconds"].values())
                ours.setdefault(rows, whole)
                expected = next(r for n, j, r in table if n == rows)
                assert (report["matched"], report["unmatched"]) == (expected["matched"], expected["unmatched"]), \
                    (rows, job)
                print(f"{rows:>8,} {job:<18} " + " ".join(f"{report['seconds'][s]:>13.3f}" for s in STEPS)
                      + f" {whole:>9.3f} {sum(report['cpu'].values()):>8.3f} {whole / ours[rows]:>10.2f}"
                      f" {report['matched']:>8} {report['unmatched']:>8}")
            if not args.no_threads:
                book = files[sizes[-1]][0]
                threads = child_report(python, THREADS_CHILD,
                                       [os.path.join(ROOT, "benchmarks"), book, folder, str(args.repeats)])
                for name, figure in threads.items():
                    print(f"two {name}: one after the other {figure['serial']:.3f} s, "
                          f"in two threads {figure['threads']:.3f} s "
                          f"({figure['threads'] / figure['serial']:.2f}x)")


if __name__ == "__main__":
    main(sys.argv[1:])
