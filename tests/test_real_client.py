"""The demo's workbook as a real spreadsheet program sees it.

LibreOffice (headless) opens the workbook and converts it to CSV, one file per
sheet, and to PDF, one page per sheet; pdftoppm renders the pages. The values
must survive the round trip and the header band must come out blue.
"""
import csv
import pathlib
import shutil
import subprocess

import openpyxl
import pytest

from demo_run import MATCHED_CODES, UNMATCHED, run_demo

SOFFICE = shutil.which("soffice")
PDFTOPPM = shutil.which("pdftoppm")

pytestmark = pytest.mark.skipif(
    SOFFICE is None or PDFTOPPM is None,
    reason="needs LibreOffice and poppler: apt-get install libreoffice-calc-nogui poppler-utils")

# Comma, double quote, UTF-8 (76), from line 1, cells as shown, every sheet
# (the last token, -1) into its own file named <book>-<sheet>.csv.
CSV_FILTER = "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1"
# Each sheet on one page sized to its content, so a page shows a whole table.
PDF_FILTER = 'pdf:calc_pdf_Export:{"SinglePageSheets":{"type":"boolean","value":"true"}}'

HEADER_BLUE = (0x4F, 0x81, 0xBD)


def soffice_convert(workbook, target_filter, out_dir, profile):
    subprocess.run(
        [SOFFICE, f"-env:UserInstallation={profile.as_uri()}", "--headless",
         "--convert-to", target_filter, "--outdir", str(out_dir), str(workbook)],
        check=True, capture_output=True, timeout=300)


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    base = tmp_path_factory.mktemp("real_client")
    done, workbook = run_demo(base)
    assert done.returncode == 0, done.stdout + done.stderr
    # A private profile: no clash with a running office or a parallel run.
    profile = base / "lo-profile"
    soffice_convert(workbook, CSV_FILTER, base / "csv", profile)
    soffice_convert(workbook, PDF_FILTER, base / "pdf", profile)
    return workbook, base


def read_ppm(path):
    """(width, height, rows of RGB tuples) of a binary PPM (P6, maxval 255)."""
    data = path.read_bytes()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    assert (magic, maxval) == (b"P6", 255)
    pixels = data[pos + 1:]
    assert len(pixels) == width * height * 3
    rows = [
        [tuple(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]) for x in range(width)]
        for y in range(height)
    ]
    return width, height, rows


def is_header_blue(pixel, tolerance=10):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, HEADER_BLUE))


def render_page(pdf, page, out_dir):
    prefix = out_dir / f"page{page}"
    subprocess.run([PDFTOPPM, "-r", "60", "-f", str(page), "-l", str(page), "-singlefile",
                    str(pdf), str(prefix)], check=True, capture_output=True, timeout=120)
    return read_ppm(prefix.with_suffix(".ppm"))


def shown(value):
    """A cell value as a CSV export shows it under the General format."""
    if value is None:
        return ""
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


@pytest.mark.parametrize("sheet", ["Reconciliation", "Summary"])
def test_libreoffice_reads_the_values_written(converted, sheet):
    workbook, base = converted
    with open(base / "csv" / f"reconciliation-{sheet}.csv", encoding="utf-8", newline="") as f:
        seen = [row for row in csv.reader(f)]
    book = openpyxl.load_workbook(workbook)
    written = [[shown(v) for v in row] for row in book[sheet].iter_rows(values_only=True)]
    assert seen == written


def test_libreoffice_sees_the_reconciliation(converted):
    _, base = converted
    with open(base / "csv" / "reconciliation-Reconciliation.csv", encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    assert [row[0] for row in rows[1:]] == MATCHED_CODES
    assert [(row[9], int(row[10]), row[11]) for row in rows[1:] if row[9]] == UNMATCHED
    assert rows[1][2] == "ボールペン"


@pytest.mark.parametrize("page", [1, 2])
def test_pdf_page_shows_the_blue_header_band(converted, tmp_path, page):
    _, base = converted
    width, height, rows = render_page(base / "pdf" / "reconciliation.pdf", page, tmp_path)
    blue_share = [sum(map(is_header_blue, row)) / width for row in rows]
    band = [y for y, share in enumerate(blue_share) if share > 0.5]
    assert band, f"no pixel row of page {page} is mostly {HEADER_BLUE}"
    # The band is the table's first row: it starts at the top of the page and
    # nothing below it is blue (body rows get no fill).
    assert band[0] < height // 5
    below = band[-1] + 2
    assert below < height
    assert not any(is_header_blue(pixel) for row in rows[below:] for pixel in row)
