"""Reports which of vorlatek.excelTools' native routes run with the pandas and
openpyxl installed beside it.

    python scripts/native-routes.py          # a table, for people
    python scripts/native-routes.py --json   # one JSON object, for scripts

Run it with the interpreter of the environment in question, from outside the
checkout (the source folder holds no built module). It writes a small styled
workbook and reads it back, each step once through the module and watched
with a profiling hook, and tells from which library code ran whether the
module did the step natively:

    read    read_excel_by_cells without openpyxl's workbook and row reading
    format  format_excel_sheet without openpyxl's style descriptors
    cells   write_formatted_excel placing the body without pandas' cell loop
    save    write_formatted_excel saving rows without openpyxl's row writer

A route that does not run is no fault: the module then makes the plain
library calls, with the same results, at the libraries' speed. The results
are checked against the plain libraries too; a difference is reported as an
error (exit status 1).
"""
import contextlib
import copy
import datetime
import json
import os
import sys
import tempfile

import numpy as np
import openpyxl
import openpyxl.cell._writer as cell_writer
import openpyxl.worksheet._writer as sheet_writer
import pandas as pd
from openpyxl.reader.excel import ExcelReader, load_workbook
from openpyxl.styles.styleable import StyleDescriptor
from openpyxl.worksheet._reader import WorkSheetParser
from pandas.io.formats.excel import ExcelFormatter

import vorlatek.excelTools as et

# The library code each route stands in for: when none of it runs during the
# module's call, the route did the work.
WATCHED = {
    "read": {load_workbook.__code__, ExcelReader.read.__code__, WorkSheetParser.parse_row.__code__},
    "format": {StyleDescriptor.__set__.__code__},
    "cells": {ExcelFormatter._generate_body.__code__},
    "save": {sheet_writer.WorksheetWriter.write_rows.__code__,
             sheet_writer.WorksheetWriter.write_row.__code__,
             cell_writer.etree_write_cell.__code__, cell_writer.lxml_write_cell.__code__},
}


@contextlib.contextmanager
def watching():
    """Yields the set of watched code objects that started inside the block."""
    watched = set().union(*WATCHED.values())
    seen = set()

    def profile(frame, event, arg):
        if event == "call" and frame.f_code in watched:
            seen.add(frame.f_code)

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        yield seen
    finally:
        sys.setprofile(previous)


def frame():
    n = 300
    return pd.DataFrame({
        "Code": [f"C{i:04d}" for i in range(n)],
        "Amount": np.arange(n) * 1.25,
        "Count": np.arange(n, dtype="int64"),
        "Open": np.arange(n) % 3 == 0,
        "Day": pd.date_range("2024-01-01", periods=n, freq="D"),
    })


def check_write(folder, report, errors):
    data = {"Report": frame()}
    path = os.path.join(folder, "report.xlsx")
    with watching() as seen:
        written = et.write_formatted_excel(path, data)
    if written is not True:
        errors.append("write_formatted_excel returned False")
        return None
    report["cells"] = not (seen & WATCHED["cells"])
    report["save"] = not (seen & WATCHED["save"])
    expected = os.path.join(folder, "plain.xlsx")
    with pd.ExcelWriter(expected, engine="openpyxl") as writer:
        data["Report"].to_excel(writer, sheet_name="Report", index=False)
    ours = pd.read_excel(path, sheet_name="Report")
    plain = pd.read_excel(expected, sheet_name="Report")
    if not ours.equals(plain):
        errors.append("the written sheet's values differ from pandas' own to_excel")
    return path


def check_read(path, report, errors):
    mapping = {"Code": "A2", "Amount": "B2", "Count": "C2", "Open": "D2", "Day": "E2"}
    with watching() as seen:
        ours = et.read_excel_by_cells(path, mapping)
    report["read"] = not (seen & WATCHED["read"])
    plain = pd.read_excel(path, usecols="A:E", skiprows=1, header=None, names=list(mapping))
    if not ours.equals(plain):
        errors.append("read_excel_by_cells differs from pd.read_excel")


def check_format(report, errors):
    def sheet():
        book = openpyxl.Workbook()
        ws = book.active
        ws.append(["Code", "Amount", "When"])
        for i in range(20):
            ws.append([f"C{i}", i * 1.5, datetime.date(2024, 1, 1 + i)])
        return book, ws

    _, ws = sheet()
    with watching() as seen:
        et.format_excel_sheet(ws)
    report["format"] = not (seen & WATCHED["format"])
    # The same formatting through the public style assignments: the module's
    # Font bound to a wrapper steps the route aside.
    _, other = sheet()
    genuine = et.Font
    et.Font = lambda *args, **kwargs: genuine(*args, **kwargs)
    try:
        et.format_excel_sheet(other)
    finally:
        et.Font = genuine

    def styled(cell):
        # The style proxies compare by their targets' copies.
        return (cell.value, cell.number_format) + tuple(
            copy.copy(getattr(cell, name)) for name in ("font", "fill", "border", "alignment"))

    for mine, theirs in zip(ws.iter_rows(), other.iter_rows()):
        for a, b in zip(mine, theirs):
            if styled(a) != styled(b):
                errors.append(f"format_excel_sheet styled {a.coordinate} differently from the public assignments")
                return


def main(argv):
    report = {}
    errors = []
    with tempfile.TemporaryDirectory() as folder:
        path = check_write(folder, report, errors)
        if path is not None:
            check_read(path, report, errors)
        check_format(report, errors)
    versions = {
        "python": ".".join(map(str, sys.version_info[:3])),
        "pandas": pd.__version__,
        "numpy": np.__version__,
        "openpyxl": openpyxl.__version__,
        "lxml": bool(openpyxl.LXML),
    }
    if "--json" in argv:
        print(json.dumps({"versions": versions, "native": report, "errors": errors}))
    else:
        print(", ".join(f"{k} {v}" for k, v in versions.items()))
        for name in ("read", "format", "cells", "save"):
            if name in report:
                state = "native" if report[name] else "plain library calls (no native route)"
                print(f"  {name:<7}{state}")
        for error in errors:
            print(f"  error: {error}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
