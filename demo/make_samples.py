"""Writes the demo's sample inputs into demo/data/.

- shipments_report.xlsx: a fixed-layout report workbook as an accounting tool
  would produce it, with a title block above the table, written by
  xlsxwriter (a writer independent of the one the module uses).
- warehouse_export.csv: the warehouse system's export of the same month, in
  Shift JIS (cp932) with Windows line ends; a few codes carry stray blanks and
  some codes stand twice.

The content is fixed (no clock, no randomness), so running the script again
gives byte-identical files.

    python demo/make_samples.py [target_dir]
"""
from __future__ import annotations

import datetime
import pathlib
import sys
from typing import List, Tuple

import xlsxwriter

DATA_DIR = pathlib.Path(__file__).resolve().parent / "data"
REPORT_NAME = "shipments_report.xlsx"
EXPORT_NAME = "warehouse_export.csv"

# The table of the report starts below a title block (title, branch, period
# and a blank row): the header is sheet row 5, the first data row sheet row 6.
REPORT_HEADER = ["No.", "Code", "Product", "Qty", "Unit price", "Amount"]
REPORT_FIRST_DATA_ROW = 6

# (code, product, qty, unit price); the amount is a formula in the workbook.
REPORT_ROWS: List[Tuple[str, str, int, int]] = [
    ("A-1001", "Ballpoint pen", 120, 80),
    ("A-1002", "Notebook A5", 60, 150),
    ("A-1003", "Stapler", 10, 900),
    ("A-1003", "Stapler", 10, 900),
    ("A-1004", "Sticky notes", 40, 120),
    ("A-1005", "Clear file", 200, 30),
    ("B-2001", "Desk lamp", 3, 4500),
    ("B-2002", "Office chair", 2, 18000),
    ("B-2003", "Whiteboard", 1, 12000),
    ("A-1006", "Scissors", 15, 300),
]

EXPORT_HEADER = ["商品コード", "品名", "数量", "金額", "出荷日"]

# (code as exported, item name, qty, amount, shipping date). Stray blanks
# around " A-1002", "A-1003 " and "A-1004  "; A-1003 twice here as in the
# report (two pairs, not four); A-1005 twice here but once in the report; an
# amount that differs for B-2001; C-3001 only here; B-2003 only in the report.
EXPORT_ROWS: List[Tuple[str, str, str, str, str]] = [
    ("A-1001", "ボールペン", "120", "9600", "2024-05-07"),
    (" A-1002", "ノート A5", "60", "9000", "2024-05-08"),
    ("A-1003 ", "ホッチキス", "10", "9000", "2024-05-09"),
    ("A-1003", "ホッチキス", "10", "9000", "2024-05-20"),
    ("A-1004  ", "付箋", "40", "4800", "2024-05-10"),
    ("A-1005", "クリアファイル", "200", "6000", "2024-05-13"),
    ("A-1005", "クリアファイル", "50", "1500", "2024-05-27"),
    ("B-2001", "デスクライト", "3", "14500", "2024-05-14"),
    ("B-2002", "オフィスチェア", "2", "36000", "2024-05-15"),
    ("C-3001", "シュレッダー", "1", "25000", "2024-05-16"),
    ("A-1006", "はさみ", "15", "4500", "2024-05-17"),
]


def write_report(path: pathlib.Path) -> None:
    workbook = xlsxwriter.Workbook(str(path))
    # A fixed creation date keeps the file byte-identical between runs.
    workbook.set_properties({
        "title": "Monthly shipment report",
        "author": "Finance",
        "created": datetime.datetime(2024, 6, 3, 9, 0, 0),
    })
    sheet = workbook.add_worksheet("Report")
    title = workbook.add_format({"bold": True, "font_size": 16})
    label = workbook.add_format({"italic": True, "font_color": "#595959"})
    header = workbook.add_format({"bold": True, "bottom": 2, "bg_color": "#D9D9D9"})
    money = workbook.add_format({"num_format": "#,##0"})

    sheet.merge_range("A1:F1", "Monthly shipment report", title)
    sheet.write("A2", "Branch: Osaka", label)
    sheet.write("A3", "Period: 2024-05 (prepared 2024-06-03)", label)
    sheet.write_row("A5", REPORT_HEADER, header)
    sheet.set_column("A:A", 5)
    sheet.set_column("B:B", 9)
    sheet.set_column("C:C", 16)
    sheet.set_column("D:F", 11)

    for offset, (code, product, qty, price) in enumerate(REPORT_ROWS):
        row = REPORT_FIRST_DATA_ROW + offset  # 1-based sheet row
        index = row - 1  # xlsxwriter counts rows from 0
        sheet.write_number(index, 0, offset + 1)
        sheet.write_string(index, 1, code)
        sheet.write_string(index, 2, product)
        sheet.write_number(index, 3, qty)
        sheet.write_number(index, 4, price, money)
        # The amount is a formula with its cached result, as Excel saves it;
        # readers see the cached number.
        sheet.write_formula(index, 5, f"=D{row}*E{row}", money, qty * price)
    workbook.close()


def write_export(path: pathlib.Path) -> None:
    lines = [",".join(EXPORT_HEADER)]
    lines += [",".join(fields) for fields in EXPORT_ROWS]
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode("cp932"))


def main(argv: List[str]) -> int:
    target = pathlib.Path(argv[1]) if len(argv) > 1 else DATA_DIR
    target.mkdir(parents=True, exist_ok=True)
    write_report(target / REPORT_NAME)
    write_export(target / EXPORT_NAME)
    print(f"wrote {target / REPORT_NAME} and {target / EXPORT_NAME}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
