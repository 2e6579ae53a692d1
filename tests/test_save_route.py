"""write_formatted_excel's native save route against the plain route.

Every workbook is written twice: with the genuine pandas (the route writes
each sheet's rows natively where it can) and with `pd` rebound to a thin
wrapper module (the plain calls of today). The two archives must be the
same member by member and byte for byte, the timestamps of the document
properties aside; results and log records must be the same too. A profile
hook tells whether openpyxl's own row writer ran.
"""
import copy
import datetime
import decimal
import gc
import importlib.util
import logging
import os
import pathlib
import re
import resource
import shutil
import signal
import sys
import tempfile
import types
import zipfile

import numpy as np
import openpyxl
import openpyxl.cell._writer as cell_writer
import openpyxl.worksheet._writer as sheet_writer
import openpyxl.writer.excel as excel_writer
import openpyxl.worksheet.worksheet as worksheet_module
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from openpyxl.comments import Comment
from openpyxl.styles import Font
from openpyxl.worksheet.datavalidation import DataValidation
from openpyxl.utils.datetime import MAC_EPOCH
from child_process import run_child
from test_writer import DF, DF2, FailingFrame

LOGGER = "vorlatek.excelTools"
LXML = openpyxl.LXML
ROOT = pathlib.Path(__file__).resolve().parent.parent

# openpyxl's code that writes rows and cells; none of it runs for a sheet
# the route writes.
ROW_WRITER_CODE = {
    sheet_writer.WorksheetWriter.write_rows.__code__,
    sheet_writer.WorksheetWriter.write_row.__code__,
    cell_writer.etree_write_cell.__code__,
    cell_writer.lxml_write_cell.__code__,
}
SAVE_CODE = openpyxl.Workbook.save.__code__
WRITE_ROWS_CODE = sheet_writer.WorksheetWriter.write_rows.__code__
# How many sheets openpyxl's row writer wrote, by route (generic or not).
ROW_WRITER_CALLS = {False: 0, True: 0}
# openpyxl's walk over every cell key for the sheet's dimension; the route
# finds the same corners natively.
DIMENSION_CODE = worksheet_module.Worksheet.calculate_dimension.__code__


def wrapped_pandas():
    """A module that offers pandas' names but is not pandas."""
    wrapper = types.ModuleType("pandas_wrapper")
    for name in dir(pd):
        if not name.startswith("__"):
            setattr(wrapper, name, getattr(pd, name))
    return wrapper


def archive(path):
    """Every member with what zipfile records of it; the timestamps of
    docProps/core.xml masked (and with them its sizes and checksum)."""
    if not path.exists():
        return None
    members = []
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            data = z.read(info.filename)
            sizes = (info.CRC, info.file_size, info.compress_size)
            if info.filename == "docProps/core.xml":
                data = re.sub(rb"(<dcterms:(created|modified)[^>]*>)[^<]*", rb"\1", data)
                sizes = None
            members.append((info.filename, info.compress_type, info.external_attr,
                            info.flag_bits, info.create_system, info.create_version,
                            info.extract_version, info.extra, info.comment, sizes, data))
    return members


def write(et, path, data, auto_format, caplog, generic):
    """(result, log records, archive, row writer ran, saved, dimension walked)
    of one write."""
    ran = {"rows": False, "save": False, "dimension": False}

    def profile(frame, event, arg):
        if event == "call":
            if frame.f_code in ROW_WRITER_CODE:
                ran["rows"] = True
                if frame.f_code is WRITE_ROWS_CODE:
                    ROW_WRITER_CALLS[generic] += 1
            elif frame.f_code is SAVE_CODE:
                ran["save"] = True
            elif frame.f_code is DIMENSION_CODE:
                ran["dimension"] = True

    caplog.clear()
    if generic:
        et.pd = wrapped_pandas()
    sys.setprofile(profile)
    try:
        result = et.write_formatted_excel(str(path), data, auto_format)
    finally:
        sys.setprofile(None)
        et.pd = pd
    logged = [(r.levelname, r.getMessage().replace(str(path), "<path>"))
              for r in caplog.records if r.name == LOGGER]
    return result, logged, archive(path), ran["rows"], ran["save"], ran["dimension"]


def both_routes(et, tmp_path, data, auto_format=True, caplog=None):
    routed = write(et, tmp_path / "routed.xlsx", data, auto_format, caplog, generic=False)
    plain = write(et, tmp_path / "plain.xlsx", data, auto_format, caplog, generic=True)
    assert plain[4] == routed[4]
    assert not plain[0] or plain[3], "the plain route writes its rows with openpyxl"
    assert routed[:3] == plain[:3]
    return routed


def assert_same(et, tmp_path, caplog, data, native, auto_format=True):
    result, _, written, rows_ran, _, dimension_ran = both_routes(et, tmp_path, data,
                                                                 auto_format, caplog)
    if native is not None:
        assert rows_ran != native, "row writer ran" if native else "row writer did not run"
    if native:
        assert not dimension_ran, "openpyxl walked the cells for the dimension"
    return result, written


@pytest.fixture(autouse=True)
def capture_logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)


def frame(**columns):
    return pd.DataFrame(columns)


NOW = datetime.datetime(2024, 2, 29, 13, 14, 15, 123456)
MIXED = frame(
    num=[1, -2, 3], big=[2 ** 53 + 1, 10 ** 20, -(2 ** 63)], real=[0.1, -0.0, 1e300],
    missing=[np.nan, np.inf, -np.inf], flag=[True, False, True],
    text=["plain", " padded ", "a&b<c>\"'"], blanks=["  ", "\t", ""],
)
DATES = frame(
    stamp=pd.Series([pd.Timestamp("1899-12-30"), pd.Timestamp("1900-02-28 23:59:59.999999"),
                     pd.Timestamp("2024-02-29 12:00:00.000000001")]),
    seconds=pd.Series([pd.Timestamp("1800-01-01"), pd.Timestamp("2262-04-11"),
                       pd.Timestamp("1970-01-01 00:00:01")]).astype("datetime64[s]"),
    day=[datetime.date(1900, 1, 1), datetime.date(1900, 3, 1), datetime.date(9999, 12, 31)],
    clock=[datetime.time(0, 0), datetime.time(23, 59, 59, 999999), datetime.time(12)],
    span=pd.to_timedelta(["1 days 02:03:04", "-3 hours", "0s"]),
    missing=pd.to_datetime(["2024-01-01", None, "2024-01-03"]),
    python=[NOW, datetime.datetime(1, 1, 1), datetime.datetime(1904, 1, 1)],
)
NULLABLE = frame(
    ints=pd.array([1, None, 3], dtype="Int64"), flags=pd.array([True, None, False], dtype="boolean"),
    texts=pd.array(["x", None, "z"], dtype="string"), floats=pd.array([1.5, None, 2.5], dtype="Float64"),
    category=pd.Categorical(["b", "a", None]), objects=[None, pd.NA, "v"],
)
TEXTS = frame(
    unicode=["é漢字", "\U0001F600 emoji", "\u3000wide\u3000"],
    controls=["tab\tinside", "line\nbreak", "cr\rreturn"],
    edges=["\x85next", "trail\u2028", "\x7fdel"],
    formulas=["=SUM(A1:A2)", "=A1&\"x\"", "=="],
    errors=["#N/A", "#DIV/0!", "#VALUE!"],
    markup=["]]>", "<sheetData>", "&amp;"],
)
LONG = frame(long=["x" * 40000, "y " * 20000, "z"])
# Beyond the sink's room and the archive's pieces, in runs cut by the room
# their texts need: texts of each width with escapes among them.
HUGE = frame(ascii=[f"<{k}> & \"{k}\" " * 60 for k in range(1500)],
             cjk=["漢字" * 300 + f"{k}" for k in range(1500)],
             wide=[(" \U0001F600é" * 200)[k % 3:] for k in range(1500)])
INDEXED = pd.DataFrame({"v": [1.25, 2.5]}, index=pd.Index(["r1", "r2"], name="key"))
MULTI = pd.DataFrame(
    np.arange(8).reshape(4, 2),
    index=pd.MultiIndex.from_tuples([("a", 1), ("a", 2), ("b", 1), ("b", 2)], names=["g", "n"]),
    columns=pd.MultiIndex.from_tuples([("top", "x"), ("top", "y")]),
)
WIDE = pd.DataFrame(np.arange(3 * 60).reshape(3, 60), columns=[f"c{i}" for i in range(60)])
# Frames of unequal length side by side: the styling's walk over the grid
# meets empty cells beside the shorter one.
TALL = frame(code=[f"P{i:05d}" for i in range(4000)], n=list(range(4000)),
             f=[i / 8 for i in range(4000)])
SHORT = frame(x=[1.5, None, 3.5], t=["a", "", "東"])

CASES = {
    "single frame": {"S": MIXED},
    "dates and times": {"Dates": DATES},
    "nullable and categorical": {"N": NULLABLE},
    "texts": {"T": TEXTS},
    "long texts": {"L": LONG},
    "larger than the sink": {"H": HUGE},
    # pandas 2 writes a Decimal as its text, pandas 3 as the Decimal.
    "decimals": {"D": frame(n=[decimal.Decimal("1.10"), decimal.Decimal("NaN"),
                               decimal.Decimal("-1E+400")])},
    "index and offsets": {"P": [
        {"df": INDEXED, "index": True},
        {"df": MIXED, "startrow": 5, "startcol": 3},
        {"df": DATES, "startrow": 0, "startcol": 12, "index": True},
    ]},
    "merged header and index": {"M": [{"df": MULTI, "index": True},
                                      {"df": MULTI, "startrow": 8, "startcol": 4, "index": True}]},
    "beyond column Z": {"W": [{"df": WIDE, "startcol": 700}]},
    "many sheets": {f"Sheet {i}": frame(i=[i], t=[str(i)]) for i in range(12)},
    "names needing escapes": {"R&D <1> \"q\"": MIXED, "Ünï 漢": TEXTS, "'quoted'": INDEXED},
    "the writer tests' frames": {"S": DF, "T": [{"df": DF2, "startcol": 3, "index": True}],
                                 "U": pd.DataFrame({"c": ["東" * 10], "z": [0]})},
    "side by side, the left frame longer": {"R": [{"df": TALL}, {"df": SHORT, "startcol": 4}],
                                            "T": SHORT},
    "side by side, the right frame longer": {"R": [{"df": SHORT}, {"df": TALL, "startcol": 3}]},
    "a row without cells between frames": {"R": [{"df": SHORT}, {"df": TALL, "startrow": 5}]},
    "merged headers beside a shorter frame": {"M": [{"df": SHORT},
                                                    {"df": MULTI, "startcol": 3, "index": True}]},
    "frames off the first column": {"R": [{"df": SHORT, "startcol": 1},
                                          {"df": TALL, "startcol": 4, "index": True}]},
    "skipped entries": {"E": pd.DataFrame(), "F": [{"df": None}, {"df": pd.DataFrame()}],
                        "G": (MIXED,), "H": MIXED},
}


@pytest.mark.parametrize("auto_format", [True, False], ids=["styled", "plain"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_frames_write_the_same_workbook(et, tmp_path, caplog, case, auto_format):
    result, written = assert_same(et, tmp_path, caplog, CASES[case], native=True,
                                  auto_format=auto_format)
    assert result is True and written


# Code other than pandas' and the module's own that gets hold of the
# workbook, during the write or after it, finds the same cells, in the same
# order, as without the module's routes: the empty ones the styling's walk
# makes beside the shorter frame included.
def cells_of(book):
    return [(ws.title, list(ws._cells)) for ws in book.worksheets]


SNOOPED, SEEN, HELD = [], [], []


def snoop(book):
    SNOOPED.append(book)
    SEEN.append(cells_of(book))
    HELD.append({(ws.title, key): cell for ws in book.worksheets for key, cell in ws._cells.items()})


def cells_still_held(book):
    """Whether each cell seen mid-write is still the one its sheet holds."""
    return [all(book[title]._cells.get(key) is cell for (title, key), cell in held.items())
            for held in HELD]


class SnoopingFrame(pd.DataFrame):
    def to_excel(self, writer, *args, **kwargs):
        snoop(writer.book)
        return super().to_excel(writer, *args, **kwargs)


def snoop_in_formatter(et, monkeypatch):
    formatter = et.format_excel_sheet
    monkeypatch.setattr(et, "format_excel_sheet", lambda ws: (snoop(ws.parent), formatter(ws)))
    return {"T": DF}


def snoop_in_pandas_save(et, monkeypatch):
    from pandas.io.excel._openpyxl import OpenpyxlWriter
    save = OpenpyxlWriter._save
    monkeypatch.setattr(OpenpyxlWriter, "_save", lambda self: (snoop(self.book), save(self)))
    return {"T": DF}


def take_hold_at_collections(phase):
    from pandas.io.excel._openpyxl import OpenpyxlWriter

    def take_hold(now, info):
        writers = [o for o in gc.get_objects() if type(o) is OpenpyxlWriter and "R" in o.book]
        if now == phase and writers and not SNOOPED:
            SNOOPED.append(writers[0].book)

    take_hold.snooping = True
    gc.callbacks.append(take_hold)


def snoop_at_the_collection(et, monkeypatch):
    # At the latest, at the collection the write asks for at its end.
    take_hold_at_collections("stop")
    return {"T": DF}


def snoop_after_a_failure(et, monkeypatch):
    # The failed write's writer is garbage; the next collection finds it.
    take_hold_at_collections("start")
    return {"T": [{"df": DF}, "no placement"]}


class SnoopingDate(datetime.datetime):
    """A date whose text form, taken when the column widths are measured,
    finds the write's workbook (before the columns beside the shorter frame)."""

    def __str__(self):
        from pandas.io.excel._openpyxl import OpenpyxlWriter
        if not SNOOPED:
            snoop(next(o for o in gc.get_objects() if type(o) is OpenpyxlWriter).book)
        return super().__str__()


def snoop_while_measured(et, monkeypatch):
    tall = TALL.copy()
    tall["d"] = pd.Series([SnoopingDate(2024, 1, 1)] * len(tall), dtype=object)
    return {"R": [{"df": tall}, {"df": SHORT, "startcol": 5}]}


SNOOPS = {
    "a value measured for the widths": snoop_while_measured,
    "a frame's own to_excel": lambda et, monkeypatch: {"T": SnoopingFrame(DF)},
    "a replaced formatter": snoop_in_formatter,
    "a wrapped step of pandas' writer": snoop_in_pandas_save,
    "code run by the write's collection": snoop_at_the_collection,
    "code run by a collection after a failed write": snoop_after_a_failure,
}


# A collection walks every object: two of the cases take some 20 s each.
SLOW_SNOOPS = {"code run by the write's collection", "code run by a collection after a failed write"}


@pytest.mark.parametrize("case", [
    pytest.param(case, marks=[pytest.mark.scale] if case in SLOW_SNOOPS else [])
    for case in sorted(SNOOPS)])
def test_code_holding_the_workbook_finds_every_cell(et, tmp_path, monkeypatch, case):
    seen = {}
    for generic in [False, True]:
        SNOOPED.clear()
        SEEN.clear()
        HELD.clear()
        with monkeypatch.context() as patches:
            data = {"R": [{"df": TALL}, {"df": SHORT, "startcol": 4}], **SNOOPS[case](et, patches)}
            right = data["R"][-1]
            if generic:
                patches.setattr(et, "pd", wrapped_pandas())
            try:
                result = et.write_formatted_excel(str(tmp_path / "out.xlsx"), data)
                gc.collect()
                assert result is ("failed" not in case)
            finally:
                gc.callbacks[:] = [c for c in gc.callbacks if not hasattr(c, "snooping")]
        assert SNOOPED and all(book is SNOOPED[0] for book in SNOOPED)
        seen[generic] = SEEN + [cells_of(SNOOPED[0]), cells_still_held(SNOOPED[0])]
    # Every cell of the grid from A1 to the right frame's last column.
    assert len(seen[False][-2][0][1]) == 4001 * (right["startcol"] + len(right["df"].columns))
    assert seen[False] == seen[True]


# Frames the route leaves to openpyxl, or that fail in pandas or openpyxl:
# the same failure, the same record, no file.
FALLBACKS = {
    "timezone-aware stamps": ({"Z": frame(t=pd.to_datetime(["2024-01-01"]).tz_localize("UTC"))},
                              None),
    "control character": ({"C": frame(t=["bell\x07"])}, None),
    "int beyond float": ({"B": frame(n=pd.Series([10 ** 400], dtype=object))}, None),
    "lone surrogate": ({"U": frame(t=["\ud800x"])}, False if LXML else True),
    "non-characters": ({"U": frame(t=["\ufffe\uffff"])}, False if LXML else True),
    "no sheet at all": ({"E": pd.DataFrame()}, None),
    # The exit still saves the sheets written before the failure.
    "failing frame after a written sheet": ({"A": MIXED, "S": FailingFrame(DF)}, True),
}


@pytest.mark.parametrize("case", sorted(FALLBACKS))
def test_cells_the_route_leaves_to_openpyxl(et, tmp_path, caplog, case):
    data, native = FALLBACKS[case]
    assert_same(et, tmp_path, caplog, data, native=native)


def test_the_demo_report(et, tmp_path, caplog, monkeypatch):
    spec = importlib.util.spec_from_file_location("demo_reconcile", ROOT / "demo" / "reconcile.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    captured = []
    monkeypatch.setattr(demo, "et", types.SimpleNamespace(
        **{name: getattr(et, name) for name in dir(et) if not name.startswith("__")}))
    monkeypatch.setattr(demo.et, "write_formatted_excel",
                        lambda path, data, auto_format=True: captured.append(data) or True)
    assert demo.main(["--out", str(tmp_path / "demo")]) == 0
    assert_same(et, tmp_path, caplog, captured[0], native=True)


# Cells placed by a formatter stand-in after the real formatter: kinds
# pandas never writes, and sheet features the route leaves to openpyxl.
def set_cell(ws, coordinate, value, data_type=None):
    cell = ws[coordinate]
    cell.value = value
    if data_type is not None:
        cell.data_type = data_type


def raw(ws, coordinate, value, data_type):
    cell = ws[coordinate]
    cell._value = value
    cell.data_type = data_type


# The longest text a run of cells written without the GIL takes (its sink
# holds 4 MiB, a cell asks for 512 bytes and 12 a character).
ROOM_OF_A_RUN = ((4 << 20) - 512) // 12

SHEET_CHANGES = {
    "python values": (lambda ws: [set_cell(ws, "H1", datetime.time(6, 30, 0, 5)),
                                  set_cell(ws, "H2", datetime.timedelta(days=-2, microseconds=7)),
                                  set_cell(ws, "H3", True), set_cell(ws, "H4", 7.0)], True),
    "odd data types": (lambda ws: [raw(ws, "J1", "=", "f"), raw(ws, "J2", "", "f"),
                                   raw(ws, "J3", "text", "n"), raw(ws, "J4", 5, "str"),
                                   raw(ws, "J5", "x", "inlineStr"), raw(ws, "J6", None, "s"),
                                   raw(ws, "J7", 1.5, "e"), raw(ws, "J8", float("nan"), "b")],
                       True),
    "styled empty and merged cells": (lambda ws: [
        setattr(ws["K5"], "font", Font(italic=True)), ws.merge_cells("K6:L8"),
        setattr(ws["L7"], "font", Font(bold=True)), ws.merge_cells("M1:M2")], True),
    "style arrays shared and reset": (lambda ws: [
        setattr(ws["A1"], "_style", ws["A2"]._style), setattr(ws["B1"], "_style", None),
        setattr(ws["N1"], "font", Font(name="Arial", size=11))], True),
    "1904 epoch": (lambda ws: setattr(ws.parent, "epoch", MAC_EPOCH), True),
    "empty row of unstyled cells": (lambda ws: ws.cell(row=40, column=2), True),
    "row dimensions": (lambda ws: setattr(ws.row_dimensions[2], "height", 30), False),
    "hyperlink": (lambda ws: setattr(ws["A2"], "hyperlink", "https://example.com/x"), False),
    "comment": (lambda ws: setattr(ws["A2"], "comment", Comment("note", "me")), False),
    "numpy and decimal values": (lambda ws: [
        raw(ws, "P1", np.int64(-5), "n"), raw(ws, "P2", np.float32(0.1), "n"),
        raw(ws, "P3", np.bool_(True), "b"), raw(ws, "P4", np.float16("nan"), "n"),
        raw(ws, "P5", np.uint64(2 ** 64 - 1), "n"), raw(ws, "P6", decimal.Decimal("1.10"), "n"),
        raw(ws, "P7", decimal.Decimal("-Infinity"), "n"), raw(ws, "P8", decimal.Decimal("1e999"), "n"),
        raw(ws, "P9", np.longdouble("1e-400"), "n")], True),
    "signalling decimal": (lambda ws: raw(ws, "A2", decimal.Decimal("sNaN"), "n"), False),
    "numpy value of another kind": (lambda ws: raw(ws, "A2", np.datetime64("2024-01-01"), "n"),
                                    False),
    "iso dates": (lambda ws: setattr(ws.parent, "iso_dates", True), False),
    "date cell without a date": (lambda ws: [raw(ws, "A2", None, "d"),
                                             setattr(ws["A2"], "font", Font(bold=True))], False),
    "timezone-aware cell": (lambda ws: raw(
        ws, "A2", datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc), "d"), False),
    "unknown data type": (lambda ws: raw(ws, "A2", 1, "x"), False),
    "cell of another sheet": (lambda ws: setattr(ws["A2"], "parent", ws.parent.create_sheet("O")),
                              False),
    # Texts longer than any run of cells the route writes at once, in each
    # width of characters, beside ordinary cells of the same rows.
    "texts too long for a run": (lambda ws: [
        raw(ws, "Q1", "漢" * 400_000, "s"), raw(ws, "Q2", "\U0001F600 " * 200_000, "s"),
        raw(ws, "Q3", "9" * 400_000, "n"), raw(ws, "Q4", "=" + "A1&" * 140_000 + "1", "f"),
        set_cell(ws, "R1", 1.5), set_cell(ws, "R2", "short")], True),
    # Texts at the most one run holds and one character more, in each width,
    # escapes among them, between short cells.
    "texts at the room of one run": (lambda ws: [
        raw(ws, f"S{k + 1}", text, "s") for k, text in enumerate(
            ["x" * ROOM_OF_A_RUN, "&" * (ROOM_OF_A_RUN + 1), "é<" * (ROOM_OF_A_RUN // 2),
             "\u3042" * (ROOM_OF_A_RUN + 1), "\U0001F600" * ROOM_OF_A_RUN, "\U0001F600" * (ROOM_OF_A_RUN + 1)])] + [
        set_cell(ws, f"T{k}", k) for k in range(1, 8)], True),
    # Thousands of rows: many runs, cut by their cell count and by the room
    # their texts need, with styles first met in later runs, and cells made
    # out of their rows' and columns' order.
    "rows across many runs": (lambda ws: [
        ws.cell(row=row, column=column, value=value)
        for row in range(20, 2_520) for column, value in enumerate(
            (row * 0.5, f"r{row} é", "\u3042" * (row % 7) * 100, row % 2 == 0,
             "\U0001F600" * (row % 3)), start=1)] + [
        setattr(ws.cell(row=row, column=2), "font", Font(size=8 + row % 5))
        for row in range(2_000, 2_520, 7)] + [
        ws.cell(row=row, column=column, value=column)
        for row in range(2_600, 2_500, -3) for column in (9, 7, 8)], True),
    # Texts needing escapes, characters beyond the BMP and edge white space
    # in every cell around the ends of the first runs.
    "escapes where runs end": (lambda ws: [
        ws.cell(row=row, column=column, value=value)
        for row in range(20, 2_120) for column, value in enumerate(
            (f'<{row}&amp;"\'>', "\U0001F600" + "é" * (row % 3) + "\U00010348", " lead", "trail ",
             "]]>\r\n", '="a&b"&"<"', "\u2028x\x85", row), start=1)], True),
    # One row across runs, its cells made from the last column back; rows
    # made from the last one back (put in order by counting); a row of
    # unstyled empty cells.
    "rows and columns out of order": (lambda ws: [
        ws.cell(row=30, column=column, value=f"c{column}") for column in range(9_000, 0, -1)] + [
        ws.cell(row=row, column=column, value=row - column)
        for row in range(3_000, 31, -1) for column in (3, 1, 2)] + [
        ws.cell(row=31, column=column) for column in range(1, 60)], True),
    # A part whose bytes after the rows outrun the 4 MB the member takes at
    # a time (written in whole pieces around the end of a chunk).
    "validations beyond the sink": (lambda ws: [
        ws.add_data_validation(DataValidation(type="list", formula1=f'"{k:05d},' + "v" * 240 + '"',
                                              sqref=f"Z{k}")) for k in range(1, 13_001)], True),
    # Rows too far apart to count (sorted instead), made out of order.
    "sparse rows far apart": (lambda ws: [
        ws.cell(row=row, column=2, value=row) for row in (1_000_000, 500_000, 40, 250_000, 41)], True),
    # Cells moved to other keys: grouped by the key, written by their own
    # coordinates.
    "cells under other keys": (lambda ws: [
        ws._cells.__setitem__((50, 3), ws._cells.pop((2, 1))),
        ws._cells.__setitem__((1, 9), ws._cells.pop((3, 2)))], True),
    # The dimension: "A1:A1" for a sheet without cells, get_column_letter's
    # refusal for a column beyond ZZZ, corners of cells far from the table.
    "every cell removed": (lambda ws: ws._cells.clear(), True),
    "cell beyond column ZZZ": (lambda ws: ws.cell(row=2, column=18279, value=1), False),
    "far corners": (lambda ws: [ws.cell(row=1048576, column=16384, value=1),
                                ws.cell(row=3, column=1000, value="x")], True),
}


@pytest.mark.parametrize("case", sorted(SHEET_CHANGES))
def test_sheet_changes_after_formatting(et, tmp_path, caplog, case):
    change, native = SHEET_CHANGES[case]
    formatter = et.format_excel_sheet

    def format_then_change(ws):
        formatter(ws)
        if ws.title == "S":
            change(ws)

    et.format_excel_sheet = format_then_change
    data = {"S": [{"df": MIXED}, {"df": DATES, "startrow": 5}], "Other": TEXTS}
    result, _, _, rows_ran, _, dimension_ran = both_routes(et, tmp_path, data, True, caplog)
    # The other sheet takes the route whatever happens to this one.
    if native:
        assert result is True and not rows_ran and not dimension_ran
    elif result:
        assert rows_ran


# openpyxl pieces the route stands in for: rebinding any of them makes the
# save take openpyxl's code, whatever the replacement does.
def counting(function):
    def replacement(*args, **kwargs):
        return function(*args, **kwargs)
    return replacement


PATCHES = {
    "write_cell": (sheet_writer, "write_cell"),
    "safe_string": (cell_writer, "safe_string"),
    "to_excel": (cell_writer, "to_excel"),
    "write_row": (sheet_writer.WorksheetWriter, "write_row"),
    "style list add": (openpyxl.utils.indexed_list.IndexedList, "add"),
    "save_workbook": (openpyxl.workbook.workbook, "save_workbook"),
    "calculate_dimension": (worksheet_module.Worksheet, "calculate_dimension"),
    "write_dimensions": (sheet_writer.WorksheetWriter, "write_dimensions"),
    "get_column_letter": (worksheet_module, "get_column_letter"),
    "archive class": (excel_writer, "ZipFile"),
}
# What the archive's large-piece copy relies on: rebinding any of it keeps
# the native rows, written into zipfile's own archive.
ARCHIVE_PATCHES = {
    "archive write": (zipfile.ZipFile, "write"),
    "file copy": (shutil, "copyfileobj"),
}


@pytest.mark.parametrize("case", sorted(PATCHES) + sorted(ARCHIVE_PATCHES))
def test_rebound_openpyxl_pieces_take_the_plain_code(et, tmp_path, caplog, monkeypatch, case):
    owner, name = PATCHES.get(case) or ARCHIVE_PATCHES[case]
    monkeypatch.setattr(owner, name, counting(getattr(owner, name)))
    assert_same(et, tmp_path, caplog, {"S": MIXED, "L": LONG}, native=case in ARCHIVE_PATCHES)


@pytest.mark.parametrize("how", ["routed", "archive write replaced", "plain"])
def test_rows_reach_the_archive_without_a_file_of_their_own(et, tmp_path, monkeypatch, how):
    """Under the route's own archive, the part zipfile copies into a sheet's
    member holds only a marker where the rows go (they are handed to the
    member as they are serialised); otherwise it is the whole part."""
    zip_write = zipfile.ZipFile.write.__code__
    copied = {}

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is zip_write:
            name = frame.f_locals.get("arcname") or ""
            if name.startswith("xl/worksheets/sheet"):
                copied[name] = os.stat(frame.f_locals["filename"]).st_size

    if how == "archive write replaced":
        monkeypatch.setattr(zipfile.ZipFile, "write", counting(zipfile.ZipFile.write))
    if how == "plain":
        et.pd = wrapped_pandas()
    path = tmp_path / "out.xlsx"
    sys.setprofile(profile)
    try:
        assert et.write_formatted_excel(str(path), CASES["larger than the sink"]) is True
    finally:
        sys.setprofile(None)
        et.pd = pd
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.getinfo(name).file_size for name in copied}
    assert copied and min(members.values()) > 1_000_000
    if how == "routed":
        assert max(copied.values()) < 4096, copied
    else:
        assert copied == members


REPLACED_AT_FIRST_SAVE = r"""
import importlib, sys, zipfile
import pandas as pd, vorlatek.excelTools as et
from openpyxl.worksheet._writer import WorksheetWriter
owner = importlib.import_module(sys.argv[1])
if sys.argv[2] == "ZipFile.write":
    owner, name = owner.ZipFile, "write"
else:
    name = sys.argv[2]
original = getattr(owner, name)
zip_write = zipfile.ZipFile.write.__code__
data = {"H": pd.DataFrame({"text": ["<x> & y " * 40 + str(k) for k in range(3000)]})}

def save(path):
    seen = {"plain rows": False, "part": 0}
    def profile(frame, event, arg):
        if event != "call":
            return
        if frame.f_code is WorksheetWriter.write_rows.__code__:
            seen["plain rows"] = True
        if frame.f_code is zip_write:
            if (frame.f_locals.get("arcname") or "").startswith("xl/worksheets/sheet"):
                seen["part"] = os.stat(frame.f_locals["filename"]).st_size
    sys.setprofile(profile)
    assert et.write_formatted_excel(path, data) is True
    sys.setprofile(None)
    return seen

def wrapper(*args, **kwargs):
    return original(*args, **kwargs)

setattr(owner, name, wrapper)
first = save(sys.argv[3] + "/first.xlsx")
setattr(owner, name, original)
report([first, save(sys.argv[3] + "/again.xlsx")])
"""


@pytest.mark.parametrize("module, name, rows_while_replaced", [
    ("openpyxl.writer.excel", "ZipFile", "plain"),
    ("zipfile", "ZipFile.write", "native"),
    ("shutil", "copyfileobj", "native"),
])
def test_route_comes_back_once_a_piece_replaced_at_the_first_save_is_restored(
        tmp_path, module, name, rows_while_replaced):
    """A process whose first save runs with a piece replaced takes the plain
    code for it (all of the save, or zipfile's own archive), and the whole
    route once the piece is put back."""
    code, report, stderr = run_child(REPLACED_AT_FIRST_SAVE, [module, name, tmp_path])
    assert code == 0, stderr
    first, again = report
    assert first["plain rows"] == (rows_while_replaced == "plain")
    assert first["part"] > 1_000_000 or first["plain rows"]
    assert again == {"plain rows": False, "part": again["part"]} and again["part"] < 4096
    with zipfile.ZipFile(tmp_path / "first.xlsx") as one, zipfile.ZipFile(tmp_path / "again.xlsx") as two:
        assert one.read("xl/worksheets/sheet1.xml") == two.read("xl/worksheets/sheet1.xml")


def test_temporary_files_are_removed(et, tmp_path, caplog, monkeypatch):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    _, written = assert_same(et, tmp_path, caplog, CASES["many sheets"], native=True)
    assert written and list(scratch.iterdir()) == []


def test_workbook_keeps_no_trace_of_the_route(et, tmp_path, caplog):
    seen = []
    formatter = et.format_excel_sheet

    def keep_workbook(ws):
        formatter(ws)
        seen.append(ws.parent)

    et.format_excel_sheet = keep_workbook
    assert_same(et, tmp_path, caplog, {"S": MIXED}, native=True)
    assert "save" not in vars(seen[0]) and "save" not in vars(seen[1])


def save_outcome(workbook, path):
    try:
        workbook.save(path)
    except Exception as error:
        return type(error).__name__
    saved = openpyxl.load_workbook(path)
    return saved.sheetnames, saved.properties.title


@pytest.mark.parametrize("deep", [False, True], ids=["copy", "deepcopy"])
def test_a_copy_of_the_workbook_saves_itself(et, tmp_path, caplog, deep):
    """A replaced formatter copies the workbook and saves the copy, during
    the write and after it: each copy saves itself as openpyxl saves it (a
    deep copy fails as openpyxl fails), and the workbook itself still takes
    the route."""
    formatter = et.format_excel_sheet
    copies = []
    outcomes = []

    def copying(ws):
        formatter(ws)
        duplicate = copy.deepcopy(ws.parent) if deep else copy.copy(ws.parent)
        # The copy's own title; a shallow copy shares the sheet list.
        duplicate.properties = copy.copy(duplicate.properties)
        duplicate.properties.title = "the copy"
        if deep:
            duplicate.create_sheet("Extra")
        outcomes.append(save_outcome(duplicate, tmp_path / f"copy{len(copies)}.xlsx"))
        copies.append(duplicate)

    et.format_excel_sheet = copying
    ROW_WRITER_CALLS.update({False: 0, True: 0})
    both_routes(et, tmp_path, {"S": MIXED}, True, caplog)
    # The workbook's own sheet written natively, the copy's by openpyxl.
    assert ROW_WRITER_CALLS[False] == ROW_WRITER_CALLS[True] - 1
    later = [save_outcome(duplicate, tmp_path / f"later{k}.xlsx") for k, duplicate in enumerate(copies)]
    assert outcomes[0] == outcomes[1] and later[0] == later[1]
    assert outcomes[0] == ("IndexError" if deep else (["S"], "the copy"))


COLUMN = st.one_of(
    st.lists(st.integers(-(2 ** 70), 2 ** 70), min_size=3, max_size=3),
    st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=3, max_size=3),
    st.lists(st.text(st.characters(blacklist_categories=["Cs", "Cc"]), max_size=12),
             min_size=3, max_size=3),
    st.lists(st.one_of(st.none(), st.booleans(), st.integers(-5, 5), st.text(max_size=3)),
             min_size=3, max_size=3),
    st.lists(st.datetimes(min_value=datetime.datetime(1677, 9, 22),
                          max_value=datetime.datetime(2262, 4, 11)), min_size=3, max_size=3),
)


@settings(max_examples=30, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(columns=st.lists(COLUMN, min_size=1, max_size=4),
       startrow=st.integers(0, 30), startcol=st.integers(0, 40), index=st.booleans())
def test_generated_frames(et, tmp_path, caplog, columns, startrow, startcol, index):
    df = pd.DataFrame({f"c{i}": pd.Series(values, dtype=object if i % 2 else None)
                       for i, values in enumerate(columns)})
    data = {"G": [{"df": df}, {"df": df, "startrow": startrow + 5, "startcol": startcol,
                               "index": index}]}
    both_routes(et, tmp_path, data, True, caplog)


def test_column_letters_match_openpyxl(et, tmp_path, caplog):
    formatter = et.format_excel_sheet

    def every_column(ws):
        formatter(ws)
        for column in range(1, 18279, 37):
            ws.cell(row=3, column=column, value=column)
        ws.cell(row=4, column=18278, value="last")

    et.format_excel_sheet = every_column
    assert_same(et, tmp_path, caplog, {"S": MIXED}, native=True)


def hex_codes(rows):
    """Two columns of random hex codes: 5 MB of rows for 60,000."""
    codes = np.random.default_rng(7).integers(0, 2 ** 62, size=(rows, 2))
    return frame(a=[f"{v:016x}" for v in codes[:, 0]], b=[f"{v:016x}" for v in codes[:, 1]])


@pytest.mark.parametrize("generic, where", [
    pytest.param(False, "first style", id="routed-first style"),
    pytest.param(True, "first style", id="plain-first style"),
    pytest.param(False, "last row of a large sheet", id="routed-last row of a large sheet"),
    # openpyxl's own save of the large sheet takes some 7 s.
    pytest.param(True, "last row of a large sheet", id="plain-last row of a large sheet",
                 marks=pytest.mark.scale),
])
def test_interrupt_while_saving_rows(et, tmp_path, monkeypatch, generic, where):
    """An interrupt that arrives while the rows are being written (at the
    first style lookup, which both routes make, or at a style first met in
    the last row, when the route's thread is deflating the chunks before it)
    reaches the caller; the target stays as it was and both routes leave the
    same files behind, and no thread."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    target = tmp_path / "report.xlsx"
    target.write_bytes(b"previous")
    add_code = openpyxl.utils.indexed_list.IndexedList.add.__code__
    state = {"saving": False}
    data = {"S": MIXED}
    if where != "first style":
        data = {"S": hex_codes(60_000)}
        formatter = et.format_excel_sheet

        def format_then_mark_last_row(ws):
            formatter(ws)
            last = ws.cell(row=ws.max_row, column=1)
            last.font = Font(size=13)
            state["style"] = last._style

        et.format_excel_sheet = format_then_mark_last_row

    def profile(frame, event, arg):
        if event == "call":
            if frame.f_code is SAVE_CODE:
                state["saving"] = True
            elif state["saving"] and frame.f_code is add_code and (
                    "style" not in state or frame.f_locals.get("value") is state["style"]):
                state["saving"] = False
                raise KeyboardInterrupt

    if generic:
        et.pd = wrapped_pandas()
    threads = len(os.listdir("/proc/self/task"))
    sys.setprofile(profile)
    try:
        with pytest.raises(KeyboardInterrupt):
            et.write_formatted_excel(str(target), data)
    finally:
        sys.setprofile(None)
        et.pd = pd
    assert target.read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["report.xlsx", "scratch"]
    # openpyxl's own temporary part of the sheet, removed only at exit.
    assert [p.name.startswith("openpyxl.") for p in scratch.iterdir()] == [True]
    assert len(os.listdir("/proc/self/task")) == threads


@pytest.mark.scale
def test_archive_that_stops_growing_mid_sheet(et, tmp_path, caplog, monkeypatch):
    """The archive reaches the file size limit while the sheet's chunks are
    being deflated (on the save's own thread, past the first 4 MB): the same
    result as the plain route, no file, no thread left behind.
    (openpyxl leaves a failed save's archive open; closing it when it is
    collected fails again, which Python reports as ignored.)"""
    gc.collect()
    ignored = []
    monkeypatch.setattr(sys, "unraisablehook", ignored.append)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    data = {"R": hex_codes(60_000)}
    threads = len(os.listdir("/proc/self/task"))
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 19, hard))
    try:
        routed = write(et, tmp_path / "routed.xlsx", data, False, caplog, generic=False)
        gc.collect()
        plain = write(et, tmp_path / "plain.xlsx", data, False, caplog, generic=True)
        gc.collect()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous)
    # The plain save fails writing openpyxl's part of the sheet (through lxml
    # where openpyxl uses it, which says so in words of its own).
    assert routed[0] is plain[0] is False and routed[2] is plain[2] is None
    assert routed[1] == [("ERROR", "Failed to write formatted excel to <path>: [Errno 27] File too large")]
    assert [(level, message.split(": ")[0]) for level, message in plain[1]] == [
        ("ERROR", "Failed to write formatted excel to <path>")]
    assert len(os.listdir("/proc/self/task")) == threads
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scratch"]
    for unclosed in ignored:
        code = getattr(unclosed.object, "__code__", None) or unclosed.object.gi_code
        assert re.search(r"[/\\](zipfile|openpyxl)[/\\.]", code.co_filename), unclosed
