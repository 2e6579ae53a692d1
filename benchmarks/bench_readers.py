"""Time and peak memory of the two cell-mapped readers beside the same
library calls written out as a plain Python script; and of the CSV reader on a
Shift JIS export with a one-field title line (which it reads by widening)
beside pandas reading that file with the width given, and beside the reader on
the same file whose title line already has the table's width.

    python benchmarks/bench_readers.py [--quick]

Each measurement is the median of 5 runs (3 with --quick), yardstick and
module interleaved in the same process; times are CPU seconds of the process. run(quick) returns the time rows
(name, yardstick_seconds, ours_seconds, ratio); run_memory(quick) the peak
memory rows (name, yardstick_bytes, ours_bytes, ratio).
"""

import datetime
import gc
import os
import re
import statistics
import sys
import tempfile
import time
import tracemalloc

import openpyxl
import pandas as pd

import vorlatek.excelTools as et

COLUMNS = 10
LETTERS = "ABCDEFGHIJ"


# --- the yardstick: the same steps as a plain script -------------------------


def script_parse_cell(cell_str):
    match = re.match(r"([A-Za-z]+)(\d+)", str(cell_str))
    if not match:
        return None, None
    return match.group(1).upper(), int(match.group(2))


def script_col_str_to_index(col_str):
    idx = 0
    for char in col_str.upper():
        idx = idx * 26 + (ord(char) - ord("A")) + 1
    return idx - 1


def script_read_excel(file_path, cell_mapping):
    if not os.path.exists(file_path):
        return pd.DataFrame()
    cols, rows, names = [], [], []
    for name, cell in cell_mapping.items():
        col, row = script_parse_cell(cell)
        if col and row:
            cols.append(col)
            rows.append(row)
            names.append(name)
    if not cols:
        return pd.DataFrame()
    skip_rows = max(0, min(rows) - 1)
    use_cols = ",".join(cols)
    try:
        df = pd.read_excel(file_path, usecols=use_cols, skiprows=skip_rows, header=None, names=names)
        return df.dropna(how="all")
    except Exception:
        return pd.DataFrame()


def script_read_csv(file_path, cell_mapping):
    if not os.path.exists(file_path):
        return pd.DataFrame()
    df_raw = None
    for enc in ["utf-8-sig", "cp932", "cp950", "utf-8"]:
        try:
            df_raw = pd.read_csv(file_path, header=None, encoding=enc, dtype=str)
            break
        except UnicodeDecodeError:
            continue
        except Exception:
            break
    if df_raw is None or df_raw.empty:
        return pd.DataFrame()
    result_dict = {}
    for name, cell in cell_mapping.items():
        col_str, row_num = script_parse_cell(cell)
        if col_str and row_num:
            col_idx = script_col_str_to_index(col_str)
            if 0 <= col_idx < len(df_raw.columns):
                start_idx = max(0, row_num - 1)
                result_dict[name] = df_raw.iloc[start_idx:, col_idx].reset_index(drop=True)
    if not result_dict:
        return pd.DataFrame()
    result_df = pd.DataFrame(result_dict)
    return result_df.dropna(how="all")


# --- input files ---------------------------------------------------------------


def make_workbook(path, rows):
    book = openpyxl.Workbook(write_only=True)
    sheet = book.create_sheet()
    sheet.append(["Monthly report", None, datetime.datetime(2024, 1, 31)])
    sheet.append([])
    start = datetime.datetime(2024, 1, 1)
    for r in range(rows):
        if r % 97 == 50:
            sheet.append([])
            continue
        values = []
        for c in range(COLUMNS):
            kind = c % 3
            if kind == 0:
                values.append(f"K{r:06d}-{c}")
            elif kind == 1:
                values.append(r * 1.25 + c)
            else:
                values.append(start + datetime.timedelta(days=r % 365))
        sheet.append(values)
    book.save(path)


def make_csv(path, rows):
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write("report,,,,,,,,,\n")
        for r in range(rows):
            if r % 97 == 50:
                out.write(",,,,,,,,,\n")
                continue
            out.write(",".join(f"{r:07d}" if c % 2 else f"K{r}-{c}" for c in range(COLUMNS)) + "\n")


TITLE = "月次出荷報告 2024年5月"


def make_titled_csv(path, rows, title):
    with open(path, "w", encoding="cp932", newline="") as out:
        out.write(title + "\n\n")
        out.write(",".join(f"項目{c}" for c in range(COLUMNS)) + "\n")
        for r in range(rows):
            out.write(",".join(f"{r:07d}" if c % 2 else f"品目{r}-{c}" for c in range(COLUMNS)) + "\n")


# --- measuring -----------------------------------------------------------------


def _median_times(pairs, repeats):
    # CPU time of this process: other work on a busy machine does not count.
    # The order alternates from run to run so neither side always goes first.
    yard, ours = [], []
    for run_number in range(repeats):
        order = [(yard, pairs[0]), (ours, pairs[1])]
        for target, function in order if run_number % 2 == 0 else order[::-1]:
            gc.collect()  # both sides start from the same collector state
            start = time.process_time()
            function()
            target.append(time.process_time() - start)
    return statistics.median(yard), statistics.median(ours)


def _peak(function):
    tracemalloc.start()
    try:
        function()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def _median_peaks(pairs, repeats):
    yard, ours = [], []
    for _ in range(repeats):
        yard.append(_peak(pairs[0]))
        ours.append(_peak(pairs[1]))
    return statistics.median(yard), statistics.median(ours)


def _cases(folder, quick):
    excel_rows = 1_000 if quick else 10_000
    csv_rows = 10_000 if quick else 100_000
    book = os.path.join(folder, "report.xlsx")
    csv = os.path.join(folder, "export.csv")
    make_workbook(book, excel_rows)
    make_csv(csv, csv_rows)
    excel_mapping = {f"col{c}": f"{LETTERS[c]}3" for c in range(COLUMNS)}
    # Each CSV column starts at its own row, as exports with a ragged header do.
    csv_mapping = {f"col{c}": f"{LETTERS[c]}{2 + c % 3}" for c in range(COLUMNS)}
    cases = [
        (
            f"read_excel_by_cells {excel_rows:,} x {COLUMNS}",
            lambda: script_read_excel(book, excel_mapping),
            lambda: et.read_excel_by_cells(book, excel_mapping),
        ),
        (
            f"read_csv_by_cells {csv_rows:,} x {COLUMNS}",
            lambda: script_read_csv(csv, csv_mapping),
            lambda: et.read_csv_by_cells(csv, csv_mapping),
        ),
    ]
    for _, yard, ours in cases:
        pd.testing.assert_frame_equal(yard(), ours())  # the yardstick does the same work
    return cases + _titled_cases(folder, csv_rows)


def _titled_cases(folder, rows):
    titled = os.path.join(folder, "titled_sjis.csv")
    full_width = os.path.join(folder, "full_width_title_sjis.csv")
    make_titled_csv(titled, rows, TITLE)
    make_titled_csv(full_width, rows, TITLE + "," * (COLUMNS - 1))
    mapping = {f"col{c}": f"{LETTERS[c]}3" for c in range(COLUMNS)}

    def pandas_with_width():
        return pd.read_csv(titled, header=None, encoding="cp932", dtype=str, names=range(COLUMNS))

    widened = et.read_csv_by_cells(titled, mapping)
    assert widened.shape == (rows, COLUMNS), widened.shape  # read, not refused
    expected = pandas_with_width().iloc[2:, :].reset_index(drop=True)
    assert widened.values.tolist() == expected.values.tolist()
    pd.testing.assert_frame_equal(widened, et.read_csv_by_cells(full_width, mapping))
    name = f"read_csv_by_cells titled SJIS {rows:,} x {COLUMNS}"
    return [
        (
            f"{name} / pd.read_csv width given",
            pandas_with_width,
            lambda: et.read_csv_by_cells(titled, mapping),
        ),
        (
            f"{name} / title as wide as table",
            lambda: et.read_csv_by_cells(full_width, mapping),
            lambda: et.read_csv_by_cells(titled, mapping),
        ),
    ]


def _rows(measure, quick):
    repeats = 3 if quick else 5
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for name, yard, ours in _cases(folder, quick):
            yard_value, ours_value = measure((yard, ours), repeats)
            rows.append((name, yard_value, ours_value, ours_value / yard_value))
    return rows


def run(quick=False):
    """Time rows: (name, yardstick_seconds, ours_seconds, ratio)."""
    return _rows(_median_times, quick)


def run_memory(quick=False):
    """Peak traced memory rows: (name, yardstick_bytes, ours_bytes, ratio)."""
    return _rows(_median_peaks, quick)


def main(argv):
    quick = "--quick" in argv
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}; median of {3 if quick else 5}")
    print(f"{'time':<64} {'script cpu s':>12} {'module cpu s':>12} {'ratio':>7}  (target <= 1.02)")
    for name, yard, ours, ratio in run(quick):
        print(f"{name:<64} {yard:>12.4f} {ours:>12.4f} {ratio:>7.3f}")
    print(f"{'peak memory':<64} {'script MB':>12} {'module MB':>12} {'ratio':>7}  (target <= 1.05)")
    for name, yard, ours, ratio in run_memory(quick):
        print(f"{name:<64} {yard / 1e6:>12.2f} {ours / 1e6:>12.2f} {ratio:>7.3f}")


if __name__ == "__main__":
    main(sys.argv[1:])
