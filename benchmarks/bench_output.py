"""Workbook output timings, each against a yardstick measured in the same run.

    python benchmarks/bench_output.py            # 100,000 rows x 10 columns (formatter also 10,000)
    python benchmarks/bench_output.py --quick    # 10,000 rows
    python benchmarks/bench_output.py --profile  # also: where format_excel_sheet spends its time,
                                                 # through the public assignments and directly

Rows: (name, yardstick_seconds, ours_seconds, ratio = ours / yardstick), CPU time of this
process, median of 5 runs; the two sides alternate (and take turns going first).
- "write_formatted_excel auto_format=...", "format_excel_sheet NxM": against the same calls
  written as a plain Python script;
- "format_excel_sheet direct/public": a plain openpyxl sheet formatted by the direct route
  against the same call forced through the public style assignments (the module's Font bound
  to a wrapper function); each run starts from unstyled cells;
- "write_formatted_excel auto_format on/off": the writer with auto_format on against the same
  call with it off.
- "write_formatted_excel flushed/unflushed": the cost of flushing the workbook and its
  directory to disk. Wall-clock seconds per write (the flush waits for the disk, it costs
  little CPU), median over the writes of child processes that alternate between the sides.
  Both run under strace tracing fsync only, so they pay the same tracing cost; the
  yardstick's strace answers every fsync with success without running it. Each child starts
  after os.sync(), so neither side flushes what the other left in the page cache. The
  workbook goes to a folder on disk (tempfile's default; --folder to choose), not to tmpfs.
  Skipped when strace is missing.
"""
import argparse
import contextlib
import cProfile
import gc
import io
import os
import pstats
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import openpyxl
import pandas as pd
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from openpyxl.utils import get_column_letter

import vorlatek.excelTools as et


def make_frame(rows):
    return pd.DataFrame({
        "code": [f"C{i:07d}" for i in range(rows)],
        "name": [f"item number {i}" for i in range(rows)],
        "qty": list(range(rows)),
        "price": [i * 0.25 for i in range(rows)],
        "flag": [i % 3 == 0 for i in range(rows)],
        "city": ["東京" if i % 2 else "Osaka" for i in range(rows)],
        "note": [None if i % 5 else "check" for i in range(rows)],
        "zero": [0] * rows,
        "ratio": [i / 7 for i in range(rows)],
        "text": ["x" * (i % 17) for i in range(rows)],
    })


def make_sheet(frame):
    workbook = openpyxl.Workbook()
    sheet = workbook.active
    sheet.append(list(frame.columns))
    for row in frame.itertuples(index=False):
        sheet.append([None if isinstance(v, float) and v != v else v for v in row])
    return sheet


def python_format(worksheet):
    """The same style objects and attribute assignments, as a plain Python loop."""
    header_font = Font(name="Arial", bold=True, color="FFFFFF")
    header_fill = PatternFill(start_color="4F81BD", end_color="4F81BD", fill_type="solid")
    cell_font = Font(name="Arial", size=11)
    center_aligned = Alignment(horizontal="center", vertical="center")
    thin_border = Border(left=Side(style="thin"), right=Side(style="thin"),
                         top=Side(style="thin"), bottom=Side(style="thin"))
    for row_idx, row in enumerate(worksheet.iter_rows()):
        for cell in row:
            if cell.value is not None:
                if row_idx == 0:
                    cell.font = header_font
                    cell.fill = header_fill
                else:
                    cell.font = cell_font
                cell.alignment = center_aligned
                cell.border = thin_border
    for col in worksheet.columns:
        max_length = 0
        col_letter = get_column_letter(col[0].column)
        for cell in col:
            try:
                if cell.value:
                    if len(str(cell.value)) > max_length:
                        max_length = len(str(cell.value))
            except BaseException:
                pass
        worksheet.column_dimensions[col_letter].width = max_length + 3


def python_write(path, frame, auto_format):
    with pd.ExcelWriter(path, engine="openpyxl") as writer:
        frame.to_excel(writer, sheet_name="Data", index=False)
        if auto_format:
            python_format(writer.sheets["Data"])


REPEATS = 5


def _genuine_font(**kwargs):
    return Font(**kwargs)


@contextlib.contextmanager
def public_assignments():
    """format_excel_sheet through the public style assignments: with the module's
    Font bound to a wrapper the direct route does not apply; the styles are the same."""
    saved = et.Font
    et.Font = _genuine_font
    try:
        yield
    finally:
        et.Font = saved


def unstyle(sheet):
    """Back to cells without style arrays, as a freshly written sheet has them."""
    for cell in sheet._cells.values():
        cell._style = None


def median_pair(yardstick, ours, before=None, repeats=REPEATS):
    """Medians of CPU seconds; the sides alternate and take turns going first."""
    times = ([], [])
    for repeat in range(repeats):
        order = [(0, yardstick), (1, ours)]
        for side, function in order if repeat % 2 == 0 else order[::-1]:
            if before is not None:
                before()
            gc.collect()
            start = time.process_time()
            function()
            times[side].append(time.process_time() - start)
    return statistics.median(times[0]), statistics.median(times[1])


def row(name, yardstick, ours):
    return (name, yardstick, ours, ours / yardstick)


def run(quick=False):
    rows = 10_000 if quick else 100_000
    frame = make_frame(rows)
    results = []
    with tempfile.TemporaryDirectory() as folder:
        ours_path = os.path.join(folder, "ours.xlsx")
        base_path = os.path.join(folder, "base.xlsx")
        for auto_format in (True, False):
            base, ours = median_pair(
                lambda: python_write(base_path, frame, auto_format),
                lambda: et.write_formatted_excel(ours_path, {"Data": frame}, auto_format))
            results.append(row(f"write_formatted_excel auto_format={auto_format} {rows}x10",
                               base, ours))
        off, on = median_pair(
            lambda: et.write_formatted_excel(base_path, {"Data": frame}, False),
            lambda: et.write_formatted_excel(ours_path, {"Data": frame}, True))
        results.append(row(f"write_formatted_excel auto_format on/off {rows}x10", off, on))

    sheet = make_sheet(frame)
    python_format(sheet)  # both then restyle an already styled sheet
    base, ours = median_pair(lambda: python_format(sheet), lambda: et.format_excel_sheet(sheet))
    results.append(row(f"format_excel_sheet {rows}x10", base, ours))

    for size in sorted({10_000, rows}):
        sheet = make_sheet(make_frame(size))

        def through_public_assignments():
            with public_assignments():
                et.format_excel_sheet(sheet)

        public, direct = median_pair(through_public_assignments,
                                     lambda: et.format_excel_sheet(sheet),
                                     before=lambda: unstyle(sheet))
        results.append(row(f"format_excel_sheet direct/public {size}x10", public, direct))
    return results


FLUSH_CHILD = r"""
import statistics, sys, time
sys.path.insert(0, sys.argv[1])
from bench_output import make_frame
import vorlatek.excelTools as et

path, rows, writes = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
frame = make_frame(rows)
for _ in range(writes):
    start = time.perf_counter()
    assert et.write_formatted_excel(path, {"Data": frame}) is True
    print(time.perf_counter() - start)
"""

# strace options of each side: the yardstick's fsync calls succeed without running.
FLUSH_SIDES = (["-e", "inject=fsync:retval=0"], [])


def flushed_write_seconds(folder, rows, writes, injection):
    """Wall-clock seconds of each of `writes` writes in one traced child."""
    os.sync()
    command = ["strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=fsync", *injection,
               sys.executable, "-c", FLUSH_CHILD, os.path.dirname(os.path.abspath(__file__)),
               os.path.join(folder, "flushed.xlsx"), str(rows), str(writes)]
    # The folder as working directory: a checkout there would shadow the installed module.
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True, check=True)
    return [float(line) for line in done.stdout.split()]


def run_flush(quick=False, folder=None):
    if shutil.which("strace") is None:
        print("flush cost skipped: strace (apt package strace) is not installed",
              file=sys.stderr)
        return []
    results = []
    big = 10_000 if quick else 100_000
    # (rows, child processes per side, writes per child)
    for rows, children, writes in ((10, 3, 10), (big, 2, 2)):
        times = ([], [])
        with tempfile.TemporaryDirectory(dir=folder) as work:
            for child in range(children):
                order = [0, 1] if child % 2 == 0 else [1, 0]
                for side in order:
                    times[side].extend(
                        flushed_write_seconds(work, rows, writes, FLUSH_SIDES[side]))
        results.append(row(f"write_formatted_excel flushed/unflushed {rows}x10",
                           statistics.median(times[0]), statistics.median(times[1])))
    return results


def profile_formatter(rows, top=12):
    """cProfile summaries of one call through the public assignments, then one direct.

    cProfile sees only Python-level calls: time spent in the module's own C++ code is
    in neither list, so each summary is preceded by the CPU time of an unprofiled call."""
    sheet = make_sheet(make_frame(rows))
    reports = []
    for label, route in (("public assignments", public_assignments),
                         ("direct route", contextlib.nullcontext)):
        with route():
            unstyle(sheet)
            gc.collect()
            start = time.process_time()
            et.format_excel_sheet(sheet)
            seconds = time.process_time() - start
            unstyle(sheet)
            gc.collect()
            profiler = cProfile.Profile()
            profiler.enable()
            et.format_excel_sheet(sheet)
            profiler.disable()
        out = io.StringIO()
        pstats.Stats(profiler, stream=out).sort_stats("tottime").print_stats(top)
        reports.append(f"--- format_excel_sheet {rows}x10, {label}: {seconds:.3f} CPU s "
                       f"unprofiled ---\n{out.getvalue()}")
    return "\n".join(reports)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10,000 rows")
    parser.add_argument("--profile", action="store_true", help="profile format_excel_sheet")
    parser.add_argument("--folder", help="where the flush cost is measured (a disk, not tmpfs)")
    parser.add_argument("--flush-only", action="store_true", help="only the flush cost")
    args = parser.parse_args(argv)
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}, "
          f"openpyxl {openpyxl.__version__}")
    print(f"{'case':52} {'yardstick s':>12} {'ours s':>10} {'ratio':>7}")
    rows = [] if args.flush_only else run(quick=args.quick)
    for name, base, ours, ratio in rows + run_flush(args.quick, args.folder):
        print(f"{name:52} {base:12.3f} {ours:10.3f} {ratio:7.3f}")
    if args.profile:
        print(profile_formatter(10_000))


if __name__ == "__main__":
    main()
