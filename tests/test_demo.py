"""The reconciliation demo: its sample files and the workbook it writes."""
import pathlib
import subprocess
import sys

import openpyxl
import pytest

from demo_run import DEMO_DIR, DIFFERENCES, MATCHED_CODES, UNMATCHED, run_demo

SAMPLES = ["shipments_report.xlsx", "warehouse_export.csv"]


def test_committed_samples_are_what_the_generator_writes(tmp_path):
    subprocess.run([sys.executable, str(DEMO_DIR / "make_samples.py"), str(tmp_path)],
                   check=True, capture_output=True, timeout=120)
    for name in SAMPLES:
        assert (tmp_path / name).read_bytes() == (DEMO_DIR / "data" / name).read_bytes(), name


def test_export_sample_is_shift_jis_with_padded_repeated_codes():
    raw = (DEMO_DIR / "data" / "warehouse_export.csv").read_bytes()
    with pytest.raises(UnicodeDecodeError):
        raw.decode("utf-8")  # so the reader's first encoding fails and cp932 reads it
    lines = raw.decode("cp932").split("\r\n")
    codes = [line.split(",")[0] for line in lines[1:] if line]
    assert " A-1002" in codes and "A-1003 " in codes and "A-1004  " in codes
    stripped = [code.strip() for code in codes]
    assert stripped.count("A-1003") == 2 and stripped.count("A-1005") == 2


def test_report_sample_has_a_title_block_above_its_table():
    sheet = openpyxl.load_workbook(DEMO_DIR / "data" / "shipments_report.xlsx").active
    assert sheet["A1"].value == "Monthly shipment report"
    assert [cell.value for cell in sheet[5]] == ["No.", "Code", "Product", "Qty", "Unit price", "Amount"]
    assert sheet["B6"].value == "A-1001"
    assert sheet["F6"].value == "=D6*E6"  # a formula; readers see its cached result


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    done, workbook = run_demo(tmp_path_factory.mktemp("demo"))
    assert done.returncode == 0, done.stdout + done.stderr
    return done, openpyxl.load_workbook(workbook)


def rows_of(sheet, first_col, last_col):
    return [
        [cell.value for cell in row]
        for row in sheet.iter_rows(min_col=first_col, max_col=last_col)
        if any(cell.value is not None for cell in row)
    ]


def test_demo_prints_where_the_workbook_is_and_what_it_holds(demo):
    done, _ = demo
    assert "reconciliation.xlsx" in done.stdout
    assert "9 matched rows (1 with a different amount) in columns A-H" in done.stdout
    assert "3 rows found on one side only from column J" in done.stdout


def test_demo_matched_table(demo):
    _, book = demo
    assert book.sheetnames == ["Reconciliation", "Summary"]
    header, *body = rows_of(book["Reconciliation"], 1, 8)
    assert header == ["Code", "Product", "Item", "Qty_report", "Qty_export",
                      "Amount_report", "Amount_export", "Difference"]
    assert [row[0] for row in body] == MATCHED_CODES
    assert {row[0]: row[7] for row in body if row[7]} == DIFFERENCES
    assert body[0][:3] == ["A-1001", "Ballpoint pen", "ボールペン"]  # read as Shift JIS


def test_demo_unmatched_table_stands_beside_it(demo):
    _, book = demo
    sheet = book["Reconciliation"]
    assert all(cell.value is None for cell in sheet["I"])  # the gap column
    header, *body = rows_of(sheet, 10, 15)
    assert header == ["Found only in", "Row", "Code", "Name", "Qty", "Amount"]
    assert [tuple(row[:3]) for row in body] == UNMATCHED


def test_demo_summary_counts(demo):
    _, book = demo
    summary = dict(rows_of(book["Summary"], 1, 2)[1:])
    assert summary["Report rows read"] == 10
    assert summary["Export rows read"] == 11
    assert summary["Matched pairs"] == len(MATCHED_CODES)
    assert summary["Rows only in the report"] + summary["Rows only in the export"] == len(UNMATCHED)


@pytest.mark.parametrize("sheet,cell,header", [
    ("Reconciliation", "A1", True), ("Reconciliation", "J1", True),
    ("Reconciliation", "A2", False), ("Summary", "B1", True), ("Summary", "A9", False),
])
def test_demo_workbook_is_styled(demo, sheet, cell, header):
    _, book = demo
    styled = book[sheet][cell]
    assert styled.border.left.style == "thin"
    assert styled.font.bold is header
    assert (styled.fill.fgColor.rgb == "004F81BD") is header
