"""Reconciles the month's shipment report against the warehouse export.

Reads both sample files of demo/data by cell address, pairs their rows on the
product code (stray blanks ignored, a code listed twice on both sides gives
two pairs), and writes out/reconciliation.xlsx with:

- sheet "Reconciliation": the matched rows (columns A to H) and, side by side
  from column J, the rows found in only one of the two files;
- sheet "Summary": the counts.

    python demo/reconcile.py [--out DIR]

Exits with status 1 when a file cannot be read or the workbook cannot be
written; the module's log records (shown on stderr) say why.
"""
from __future__ import annotations

import argparse
import logging
import pathlib
import sys
from typing import List, Optional

import pandas as pd

import vorlatek.excelTools as et

HERE = pathlib.Path(__file__).resolve().parent
REPORT_PATH = HERE / "data" / "shipments_report.xlsx"
EXPORT_PATH = HERE / "data" / "warehouse_export.csv"
DEFAULT_OUT = HERE.parent / "out"
OUT_NAME = "reconciliation.xlsx"

# The report's table starts at sheet row 6, below its title block and header.
REPORT_FIRST_ROW = 6
REPORT_CELLS = {"Code": "B6", "Product": "C6", "Qty": "D6", "Amount": "F6"}
# The export has a header line; its data starts at line 2.
EXPORT_FIRST_LINE = 2
EXPORT_CELLS = {"Code": "A2", "Item": "B2", "Qty": "C2", "Amount": "D2"}

MATCHED_COLUMNS = [
    "Code", "Product", "Item",
    "Qty_report", "Qty_export", "Amount_report", "Amount_export", "Difference",
]
UNMATCHED_COLUMNS = ["Found only in", "Row", "Code", "Name", "Qty", "Amount"]


def read_report(path: pathlib.Path) -> pd.DataFrame:
    report = et.read_excel_by_cells(str(path), REPORT_CELLS)
    if report.empty:
        return report
    # The reader keeps the row labels (0 for the first data row), so the
    # sheet row of every entry is its label plus the first row.
    report["Report row"] = report.index + REPORT_FIRST_ROW
    return report


def read_export(path: pathlib.Path) -> pd.DataFrame:
    export = et.read_csv_by_cells(str(path), EXPORT_CELLS)
    if export.empty:
        return export
    # Every CSV value arrives as text; the quantities and amounts are numbers.
    export["Qty"] = pd.to_numeric(export["Qty"], errors="coerce")
    export["Amount"] = pd.to_numeric(export["Amount"], errors="coerce")
    export["Export line"] = export.index + EXPORT_FIRST_LINE
    return export


def reconcile(report: pd.DataFrame, export: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame]:
    """(matched rows, rows found on one side only)."""
    both = et.merge_exact_match(
        report, export, str_keys=["Code"], how="outer", suffixes=("_report", "_export"))
    in_report = both["Report row"].notna()
    in_export = both["Export line"].notna()

    # Listed in the order of their files (the join's own row order differs
    # between pandas versions).
    matched = both[in_report & in_export].sort_values("Report row")
    matched["Difference"] = matched["Amount_export"] - matched["Amount_report"]
    matched = whole_numbers(matched[MATCHED_COLUMNS].reset_index(drop=True))

    only_report = both[in_report & ~in_export].sort_values("Report row")
    only_export = both[in_export & ~in_report].sort_values("Export line")
    unmatched = pd.concat([
        pd.DataFrame({
            "Found only in": "report",
            "Row": only_report["Report row"].astype(int),
            "Code": only_report["Code"],
            "Name": only_report["Product"],
            "Qty": only_report["Qty_report"],
            "Amount": only_report["Amount_report"],
        }),
        pd.DataFrame({
            "Found only in": "export",
            "Row": only_export["Export line"].astype(int),
            "Code": only_export["Code"],
            "Name": only_export["Item"],
            "Qty": only_export["Qty_export"],
            "Amount": only_export["Amount_export"],
        }),
    ], ignore_index=True)
    return matched, whole_numbers(unmatched[UNMATCHED_COLUMNS])


def whole_numbers(frame: pd.DataFrame) -> pd.DataFrame:
    """The outer join turns number columns into floats (a missing partner is
    NaN); columns that hold only whole numbers go back to integers, so the
    workbook shows 9600 and not 9600.0."""
    frame = frame.copy()
    for name in frame.columns:
        column = frame[name]
        if pd.api.types.is_float_dtype(column) and bool((column.dropna() % 1 == 0).all()):
            frame[name] = column.astype("Int64")
    return frame


def summary_frame(report: pd.DataFrame, export: pd.DataFrame,
                  matched: pd.DataFrame, unmatched: pd.DataFrame) -> pd.DataFrame:
    differing = int((matched["Difference"] != 0).sum())
    only_report = int((unmatched["Found only in"] == "report").sum())
    return pd.DataFrame({
        "Item": [
            "Report workbook", "Export file",
            "Report rows read", "Export rows read",
            "Matched pairs", "Matched pairs with a different amount",
            "Rows only in the report", "Rows only in the export",
        ],
        "Value": [
            REPORT_PATH.name, EXPORT_PATH.name,
            len(report), len(export),
            len(matched), differing,
            only_report, len(unmatched) - only_report,
        ],
    })


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT,
                        help="directory for reconciliation.xlsx (default: out/)")
    args = parser.parse_args(argv)
    # The module reports problems as records of the logger
    # "vorlatek.excelTools"; without a handler they would go unseen.
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")

    report = read_report(REPORT_PATH)
    export = read_export(EXPORT_PATH)
    if report.empty or export.empty:
        print("nothing to reconcile: a sample file could not be read", file=sys.stderr)
        return 1
    matched, unmatched = reconcile(report, export)

    out_dir: pathlib.Path = args.out
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / OUT_NAME
    gap = 1  # one empty column between the two tables
    written = et.write_formatted_excel(str(target), {
        "Reconciliation": [
            {"df": matched, "startcol": 0},
            {"df": unmatched, "startcol": len(matched.columns) + gap},
        ],
        "Summary": summary_frame(report, export, matched, unmatched),
    })
    if not written:
        print(f"could not write {target}", file=sys.stderr)
        return 1

    differing = int((matched["Difference"] != 0).sum())
    first_unmatched = len(matched.columns) + gap
    print(f"Read {len(report)} rows from {REPORT_PATH.name} and {len(export)} rows "
          f"from {EXPORT_PATH.name} (Shift JIS).")
    print(f"Wrote {target}")
    print(f"  sheet 'Reconciliation': {len(matched)} matched rows "
          f"({differing} with a different amount) in columns A-{column_letter(len(matched.columns) - 1)}; "
          f"{len(unmatched)} rows found on one side only from column {column_letter(first_unmatched)}")
    print("  sheet 'Summary': the counts")
    return 0


def column_letter(index: int) -> str:
    """Zero-based column index to its letters (0 -> A, 26 -> AA)."""
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


if __name__ == "__main__":
    sys.exit(main())
