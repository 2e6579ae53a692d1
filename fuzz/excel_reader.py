"""read_excel_by_cells on workbooks with one fuzzer-mutated member.

The first byte chooses a member of a small valid workbook (made here, with
text, numbers, dates, a gap and a merged range); the rest replaces that
member's contents. A first byte beyond the members makes the rest the whole
file. A table or the documented error record, never an exception or a crash.

Sheets that place cells far out (thousands of rows, three-letter columns) are
left out: such a sheet makes the library build every row up to that cell,
which is bounded by the address space, not by the reader.
"""
import datetime
import html
import io
import os
import re
import sys
import zipfile

import atheris

# Coverage of openpyxl's own parsing guides the fuzzer toward the many ways a
# workbook can be odd; the module's native code is instrumented at build time.
with atheris.instrument_imports(include=["openpyxl"]):
    import openpyxl

import vorlatek.excelTools as et

from common import run, scratch_folder
from reader_checks import read_and_check

MAPPINGS = [
    {"Code": "A2", "Amount": "B2", "When": "C2"},
    {"Amount": "b3", "Code": "A3", "Zero": "A0"},
    {"Only": "D1"},
    {"Bad": "1A", "Same": "A2", "Again": "a2"},
]
PATH = os.path.join(scratch_folder("excel"), "book.xlsx")
# Where a sheet places cells: r, ref, sqref and spans attributes.
PLACES = re.compile(r"""\b(?:r|ref|sqref|spans)\s*=\s*(["'])(.*?)\1""", re.DOTALL)
FAR = re.compile(r"\d{5}|[A-Za-z]{3}")


def places_far_cells(contents):
    text = html.unescape(contents.decode("latin-1"))
    return any(FAR.search(value) for _, value in PLACES.findall(text))


def base_members():
    workbook = openpyxl.Workbook()
    sheet = workbook.active
    sheet.title = "Data"
    for row in (["Code", "Amount", "When", "Note"],
                ["A-1", 12.5, datetime.date(2024, 2, 29), "東京"],
                [None, None, None, None],
                ["B-2", -3, datetime.datetime(2023, 12, 31, 23, 59), "x" * 20]):
        sheet.append(row)
    sheet.merge_cells("D3:D4")
    sheet["B2"].number_format = "0.00"
    workbook.properties.created = workbook.properties.modified = datetime.datetime(2024, 1, 1)
    buffer = io.BytesIO()
    workbook.save(buffer)
    with zipfile.ZipFile(buffer) as archive:
        return [(name, archive.read(name)) for name in sorted(archive.namelist())]


MEMBERS = base_members()


def workbook_with(choice, contents):
    if choice >= len(MEMBERS):
        return contents
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for index, (name, original) in enumerate(MEMBERS):
            archive.writestr(name, contents if index == choice else original)
    return buffer.getvalue()


def test_one_input(data):
    if len(data) < 2:
        return
    choice, contents = data[0] % (len(MEMBERS) + 1), data[2:]
    if choice < len(MEMBERS) and MEMBERS[choice][0].startswith("xl/worksheets/") and \
            places_far_cells(contents):
        return
    with open(PATH, "wb") as file:
        file.write(workbook_with(choice, contents))
    read_and_check(et.read_excel_by_cells, PATH, MAPPINGS[data[1] % len(MAPPINGS)], text_only=False)


def write_seeds(folder):
    os.makedirs(folder, exist_ok=True)
    for index, (name, contents) in enumerate(MEMBERS):
        if name.startswith(("xl/worksheets/", "xl/styles", "xl/workbook", "[Content_Types]")):
            with open(os.path.join(folder, name.replace("/", "_")), "wb") as file:
                file.write(bytes([index, 0]) + contents)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--write-seeds"]:
        write_seeds(sys.argv[2])
    else:
        run(test_one_input)
