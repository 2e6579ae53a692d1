"""Workbook output timings against plain-Python yardsticks measured in the same run.

    python benchmarks/bench_output.py            # 100,000 rows x 10 columns, median of 5
    python benchmarks/bench_output.py --quick    # 10,000 rows, median of 3
    python benchmarks/bench_output.py --profile  # also: where format_excel_sheet spends its time

Rows: (name, yardstick_seconds, ours_seconds, ratio = ours / yardstick).
"""
import argparse
import cProfile
import io
import os
import pstats
import statistics
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


def median_time(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def run(quick=False):
    rows = 10_000 if quick else 100_000
    repeats = 3 if quick else 5
    frame = make_frame(rows)
    results = []
    with tempfile.TemporaryDirectory() as folder:
        ours_path = os.path.join(folder, "ours.xlsx")
        base_path = os.path.join(folder, "base.xlsx")
        for auto_format in (True, False):
            base = median_time(lambda: python_write(base_path, frame, auto_format), repeats)
            ours = median_time(
                lambda: et.write_formatted_excel(ours_path, {"Data": frame}, auto_format), repeats)
            results.append((f"write_formatted_excel auto_format={auto_format} {rows}x10",
                            base, ours, ours / base))
    sheet = make_sheet(frame)
    python_format(sheet)  # both then restyle an already styled sheet
    base = median_time(lambda: python_format(sheet), repeats)
    ours = median_time(lambda: et.format_excel_sheet(sheet), repeats)
    results.append((f"format_excel_sheet {rows}x10", base, ours, ours / base))
    return results


def profile_formatter(rows, top=12):
    sheet = make_sheet(make_frame(rows))
    profiler = cProfile.Profile()
    profiler.enable()
    et.format_excel_sheet(sheet)
    profiler.disable()
    out = io.StringIO()
    pstats.Stats(profiler, stream=out).sort_stats("tottime").print_stats(top)
    return out.getvalue()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10,000 rows, median of 3")
    parser.add_argument("--profile", action="store_true", help="profile format_excel_sheet")
    args = parser.parse_args(argv)
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}, "
          f"openpyxl {openpyxl.__version__}")
    print(f"{'case':50} {'yardstick s':>12} {'ours s':>10} {'ratio':>7}")
    for name, base, ours, ratio in run(quick=args.quick):
        print(f"{name:50} {base:12.3f} {ours:10.3f} {ratio:7.2f}")
    if args.profile:
        print(profile_formatter(10_000 if args.quick else 100_000))


if __name__ == "__main__":
    main()
