"""Eight threads calling all seven functions at once, with the interpreter
switching threads as often as it can, get exactly what a serial run gets:
results, written workbooks and log records alike."""
import collections
import logging
import re
import sys
import threading
import zipfile

import openpyxl
import pandas as pd
import pytest

THREADS = 8
ROUNDS = 20
LOGGER = "vorlatek.excelTools"


class PerThreadRecords(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = collections.defaultdict(list)

    def emit(self, record):
        self.seen[threading.get_ident()].append((record.levelname, record.getMessage()))


@pytest.fixture
def records():
    handler = PerThreadRecords()
    logger = logging.getLogger(LOGGER)
    previous_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(previous_level)


def prepare(folder, k):
    """Thread k's own files, each with values that name k."""
    book = folder / f"book{k}.xlsx"
    pd.DataFrame({"code": [f"c{k}-{i}" for i in range(6)],
                  "amount": [k * 100 + i for i in range(6)]}).to_excel(book, index=False)
    csv = folder / f"data{k}.csv"
    csv.write_text("".join(f"r{k}-{i},{i},{'x' * k}\n" for i in range(8)), encoding="cp932")
    return str(book), str(csv), str(folder / f"out{k}.xlsx"), str(folder / f"none{k}.csv")


def plain(frame):
    """The frame as comparable data (a missing value as None: NaN is unequal to itself)."""
    return frame.astype(object).where(frame.notna(), None).to_dict("split")


def work(et, files, k):
    """Every function once, on success and failure paths; returns plain data."""
    book, csv, out, missing = files
    excel = et.read_excel_by_cells(book, {"Code": "A2", "Amount": "B2", "Bad": "0A"})
    text = et.read_csv_by_cells(csv, {"Key": "A2", "Qty": "B3", "Far": "Z1"})
    none = et.read_csv_by_cells(missing, {"Key": "A1"})
    left = pd.DataFrame({"Code": [f" c{k}-1", f"c{k}-1", f"c{k}-2"], "v": [1, 2, 3]})
    merged = et.merge_exact_match(left, excel, ["Code"], None, "left")
    refused = et.merge_exact_match(left, excel, ["Nope"])
    cells = [et.parse_cell(f"x{k}"), et.parse_cell(f"AB{k + 1}")]
    index = et.col_str_to_index("XFD" if k % 2 else "AA")
    sheet = openpyxl.Workbook().active
    sheet.append(["h", "w" * k])
    sheet.append([k, None])
    et.format_excel_sheet(sheet)
    written = et.write_formatted_excel(out, {"Merged": merged, "Text": [{"df": text},
                                                                      {"df": excel, "startcol": 4}]})
    empty = et.write_formatted_excel(out, {})
    saved = openpyxl.load_workbook(out)
    return {
        "excel": plain(excel), "text": plain(text), "none": none.shape,
        "merged": plain(merged), "refused": refused.shape,
        "cells": cells, "index": index,
        "styled": (sheet["A1"].font.b, sheet.column_dimensions["B"].width),
        "written": (written, empty),
        "saved": {ws.title: [list(r) for r in ws.iter_rows(values_only=True)] for ws in saved},
        "header": saved["Merged"]["A1"].fill.start_color.rgb,
    }


@pytest.mark.scale
def test_threads_get_the_serial_results(et, tmp_path, records):
    files = [prepare(tmp_path, k) for k in range(THREADS)]
    expected = []
    for k in range(THREADS):
        records.seen.clear()
        expected.append((work(et, files[k], k), records.seen[threading.get_ident()][:]))
    # The serial run itself went through the real paths.
    first, logged = expected[3]
    assert len(first["excel"]["data"]) == 6 and len(first["text"]["data"]) == 7
    assert first["merged"]["data"] and first["written"] == (True, False)
    assert [level for level, _ in logged] == ["WARNING", "WARNING", "WARNING", "ERROR", "WARNING"]

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for round_number in range(ROUNDS):
            records.seen.clear()
            results = [None] * THREADS
            errors = []
            start = threading.Barrier(THREADS)

            def run(k):
                try:
                    start.wait()
                    results[k] = (work(et, files[k], k), threading.get_ident())
                except BaseException as error:  # reported below, with its thread
                    errors.append((k, repr(error)))

            threads = [threading.Thread(target=run, args=(k,)) for k in range(THREADS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=120)
            assert not any(thread.is_alive() for thread in threads), f"round {round_number} hangs"
            assert errors == []
            for k, (result, ident) in enumerate(results):
                assert result == expected[k][0], f"round {round_number}, thread {k}"
                assert records.seen[ident] == expected[k][1], f"round {round_number}, thread {k}"
    finally:
        sys.setswitchinterval(previous)


# A fresh interpreter makes its first calls from eight threads at once, or
# from one: the process-wide layouts the native routes build at their first
# use must come out the same, built once. Each build keeps a reference to the
# library pieces it checked, so the reference counts of a few of them tell
# how many layouts were built.
FIRST_USE = r"""
import sys, threading
import numpy as np
import pandas as pd
import vorlatek.excelTools as et

threads = int(sys.argv[2])
folder = sys.argv[1]

def work(k):
    frame = pd.DataFrame({"code": [f"c{k}-{i}" for i in range(50)], "n": np.arange(50.0),
                          "when": pd.date_range("2024-01-01", periods=50)})
    path = f"{folder}/out{k}.xlsx"
    written = et.write_formatted_excel(path, {"S": frame, "T": [{"df": frame, "startcol": 4}]})
    back = et.read_excel_by_cells(path, {"code": "A2", "n": "B2"})
    return written, back.shape

sys.setswitchinterval(1e-6)
start = threading.Barrier(threads)
results = [None] * threads
errors = []

def run(k):
    try:
        start.wait()
        results[k] = work(k)
    except BaseException as error:
        errors.append(repr(error))

pool = [threading.Thread(target=run, args=(k,)) for k in range(threads)]
for thread in pool:
    thread.start()
for thread in pool:
    thread.join()

import openpyxl
from openpyxl.cell.cell import Cell
from openpyxl.utils.indexed_list import IndexedList
from openpyxl.worksheet._writer import WorksheetWriter
from pandas.io.excel._openpyxl import OpenpyxlWriter
pieces = {
    "Workbook.save": openpyxl.Workbook.__dict__["save"],
    "IndexedList.add": IndexedList.__dict__["add"],
    "Cell.value": Cell.__dict__["value"],
    "OpenpyxlWriter._write_cells": OpenpyxlWriter.__dict__["_write_cells"],
}
report({
    "errors": errors,
    "results": [list(map(str, r)) if r else None for r in results],
    "references": {name: sys.getrefcount(piece) for name, piece in pieces.items()},
    "route classes": sorted(c.__name__ for c in WorksheetWriter.__subclasses__()
                            if c.__module__ != "openpyxl.worksheet._writer"),
    "reader classes": len([c for c in pd.ExcelFile.__subclasses__()
                           if c.__module__ == "vorlatek.excelTools"]),
})
"""


@pytest.mark.scale
def test_first_use_from_many_threads_builds_each_layout_once(tmp_path):
    from child_process import run_child
    outcomes = {}
    for threads in (1, THREADS):
        folder = tmp_path / f"threads{threads}"
        folder.mkdir()
        returncode, report, stderr = run_child(FIRST_USE, [folder, threads], timeout=300)
        assert returncode == 0 and report is not None, stderr
        assert report.pop("errors") == []
        assert report.pop("results") == [["True", "(50, 2)"]] * threads
        outcomes[threads] = report
    assert outcomes[1]["route classes"] == ["WorksheetWriter"]
    assert outcomes[THREADS] == outcomes[1]
def members(path):
    """The archive's members; the document timestamps masked."""
    with zipfile.ZipFile(path) as z:
        return [(i.filename, re.sub(rb"<dcterms:(created|modified)[^>]*>[^<]*", b"",
                                    z.read(i.filename))) for i in z.infolist()]


def all_at_once(count, job):
    """job(k) for k in range(count), each in a thread of its own, all let go
    at once and switching as often as the interpreter allows."""
    results = [None] * count
    start = threading.Barrier(count)

    def run(k):
        start.wait()
        results[k] = job(k)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(previous)
    return results


@pytest.mark.scale
def test_large_writes_in_threads_match_serial_ones(et, tmp_path):
    # Sheets whose rows take several flushes of the native writer, during
    # which the other threads run (and change their own sheets).
    rows = 40_000
    frames = [pd.DataFrame({"code": [f"t{k}-{i:06d}" for i in range(rows)],
                            "amount": [k * 0.5 + i for i in range(rows)]}) for k in range(3)]
    # Beside each, a shorter frame: the styling's walk leaves empty cells
    # unmade, a record of each thread's own write.
    sheets = [{"S": [{"df": frame}, {"df": frame.head(1000 * (k + 1)), "startcol": 3}]}
              for k, frame in enumerate(frames)]
    serial = []
    for k, data in enumerate(sheets):
        assert et.write_formatted_excel(str(tmp_path / f"serial{k}.xlsx"), data) is True
        serial.append(members(tmp_path / f"serial{k}.xlsx"))
    results = all_at_once(len(frames), lambda k: et.write_formatted_excel(
        str(tmp_path / f"thread{k}.xlsx"), sheets[k]))
    assert results == [True] * len(frames)
    for k in range(len(frames)):
        assert members(tmp_path / f"thread{k}.xlsx") == serial[k], k


@pytest.mark.scale
def test_large_reads_in_threads_match_serial_ones(et, tmp_path):
    # Sheets of several pieces, each scanned without the interpreter's lock
    # while the other threads read (and make the rows of) their own.
    rows = 40_000
    paths = []
    for k in range(3):
        frame = pd.DataFrame({"code": [f"r{k}-{i:06d}" for i in range(rows)],
                              "amount": [k * 0.25 + i for i in range(rows)],
                              "flag": [i % 3 == k for i in range(rows)]})
        paths.append(str(tmp_path / f"book{k}.xlsx"))
        assert et.write_formatted_excel(paths[-1], {"S": frame}) is True
    mapping = {"code": "A2", "amount": "B2", "flag": "C2"}
    serial = [et.read_excel_by_cells(path, mapping) for path in paths]
    results = all_at_once(len(paths), lambda k: et.read_excel_by_cells(paths[k], mapping))
    for k in range(len(paths)):
        assert len(serial[k]) == rows
        pd.testing.assert_frame_equal(results[k], serial[k])
