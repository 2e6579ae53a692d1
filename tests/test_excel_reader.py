"""read_excel_by_cells: real workbooks, the edge cases with their log records,
the exact library calls, column labelling for any mapping order, propagated
exceptions and leaks."""

import datetime
import gc
import logging
import os
import sys
import traceback

import openpyxl
import pandas as pd
import pytest
import xlsxwriter

from helpers import (
    allocation_growth,
    assert_empty_result,
    growing_parse_cell,
    our_entries,
    records,
    table,
)

LOGGER = "vorlatek.excelTools"
QUALNAME = "vorlatek.excelTools.read_excel_by_cells"

# A report sheet: a title block above the table, the table from row 3 in
# columns B (code), D (date) and F (amount), an empty row inside it (with a
# note in an unmapped column) and a row that is only partly filled.
DAY = datetime.datetime
SHEET = {
    "A1": "Sales report",
    "C1": DAY(2024, 1, 31),
    "A2": "Region: North",
    "E2": 99,
    "B3": "C001", "D3": DAY(2024, 1, 5), "F3": 120,
    "B4": "C002", "D4": DAY(2024, 1, 6), "F4": 75.5,
    "H5": "note outside the table",
    "B6": "C003", "F6": 10,
    "B7": "  C004", "D7": DAY(2024, 2, 1),
}
CODES = ["C001", "C002", "C003", "  C004"]
DATES = [pd.Timestamp(2024, 1, 5), pd.Timestamp(2024, 1, 6), None, pd.Timestamp(2024, 2, 1)]
AMOUNTS = [120, 75.5, 10, None]


def write_with_openpyxl(path):
    book = openpyxl.Workbook()
    sheet = book.active
    for ref, value in SHEET.items():
        sheet[ref] = value
        if isinstance(value, DAY):
            sheet[ref].number_format = "yyyy-mm-dd"
    book.create_sheet("Other")["B3"] = "second sheet"
    book.save(path)


def write_with_xlsxwriter(path):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet()
    date_format = book.add_format({"num_format": "yyyy-mm-dd"})
    for ref, value in SHEET.items():
        if isinstance(value, DAY):
            sheet.write_datetime(ref, value, date_format)
        else:
            sheet.write(ref, value)
    book.add_worksheet("Other").write("B3", "second sheet")
    book.close()


@pytest.fixture(scope="module", params=[write_with_openpyxl, write_with_xlsxwriter], ids=["openpyxl", "xlsxwriter"])
def book(request, tmp_path_factory):
    path = str(tmp_path_factory.mktemp("books") / "report.xlsx")
    request.param(path)
    return path


@pytest.fixture(scope="module")
def plain_book(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("plain") / "report.xlsx")
    write_with_openpyxl(path)
    return path


@pytest.fixture(autouse=True)
def capture_warnings(caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)


# --- reading real workbooks ----------------------------------------------------


@pytest.mark.parametrize(
    "mapping, expected, logged",
    [
        pytest.param(
            {"Code": "B3", "Date": "D3", "Amount": "F3"},
            ([0, 1, 3, 4], ["Code", "Date", "Amount"], {"Code": CODES, "Date": DATES, "Amount": AMOUNTS}),
            [],
            id="left-to-right",
        ),
        pytest.param(
            {"Amount": "F3", "Code": "B3"},
            ([0, 1, 3, 4], ["Amount", "Code"], {"Amount": AMOUNTS, "Code": CODES}),
            [],
            id="right-to-left-each-name-on-its-own-column",
        ),
        pytest.param(
            {"Date": "D3", "Amount": "F3", "Code": "B3"},
            ([0, 1, 3, 4], ["Date", "Amount", "Code"], {"Date": DATES, "Amount": AMOUNTS, "Code": CODES}),
            [],
            id="mixed-order",
        ),
        pytest.param(
            {"Code": "b3"},
            ([0, 1, 3, 4], ["Code"], {"Code": CODES}),
            [],
            id="lower-case",
        ),
        pytest.param(
            {"Code": "B3", "Date": "D7"},
            ([0, 1, 3, 4], ["Code", "Date"], {"Code": CODES, "Date": DATES}),
            [],
            id="lower-cell-read-from-topmost-row",
        ),
        pytest.param(
            {"Title": "A1"},
            ([0, 1], ["Title"], {"Title": ["Sales report", "Region: North"]}),
            [],
            id="a1-nothing-skipped",
        ),
        pytest.param(
            {"Bad": "A0", "Code": "B3", "Num": 5},
            ([0, 1, 3, 4], ["Code"], {"Code": CODES}),
            [
                ("WARNING", "Invalid cell format: A0 for column Bad"),
                ("WARNING", "Invalid cell format: 5 for column Num"),
            ],
            id="invalid-entries-skipped",
        ),
        pytest.param(
            {"X": "3F", 7: None, "Z": "A0"},
            None,
            [
                ("WARNING", "Invalid cell format: 3F for column X"),
                ("WARNING", "Invalid cell format: None for column 7"),
                ("WARNING", "Invalid cell format: A0 for column Z"),
                ("WARNING", "No valid columns parsed for Excel reading."),
            ],
            id="all-invalid",
        ),
        pytest.param(
            {}, None, [("WARNING", "No valid columns parsed for Excel reading.")], id="empty-mapping"
        ),
    ],
)
def test_reads_mapped_columns(et, book, caplog, mapping, expected, logged):
    result = et.read_excel_by_cells(book, mapping)
    if expected is None:
        assert_empty_result(result)
    else:
        assert table(result) == expected
    assert records(caplog) == logged


def test_values_keep_the_types_the_library_gives(et, plain_book):
    result = et.read_excel_by_cells(plain_book, {"Date": "D3", "Amount": "F3"})
    assert isinstance(result["Date"].iloc[0], pd.Timestamp)
    assert result["Amount"].iloc[0] == 120 and not isinstance(result["Amount"].iloc[0], str)


def test_right_to_left_matches_reading_the_columns_one_by_one(et, plain_book):
    # Each name must hold exactly what a read of its own column alone gives.
    mapping = {"Amount": "F3", "Date": "D3", "Code": "B3"}
    together = et.read_excel_by_cells(plain_book, mapping)
    for name, cell in mapping.items():
        alone = pd.read_excel(plain_book, usecols=cell[0], skiprows=2, header=None, names=[name])
        assert table(together)[2][name] == table(alone.reindex(together.index))[2][name]
    assert list(together.columns) == list(mapping)


def test_same_letter_twice_gets_what_the_library_makes_of_it(et, plain_book, caplog):
    mapping = {"First": "B3", "Second": "B4"}
    try:
        expected = pd.read_excel(plain_book, usecols="B,B", skiprows=2, header=None, names=["First", "Second"])
    except Exception as exc:
        assert_empty_result(et.read_excel_by_cells(plain_book, mapping))
        assert records(caplog) == [("ERROR", f"Error reading excel file {plain_book}: {exc}")]
    else:
        assert table(et.read_excel_by_cells(plain_book, mapping)) == table(expected.dropna(how="all"))
        assert records(caplog) == []


def test_file_that_is_not_a_workbook(et, tmp_path, caplog):
    path = tmp_path / "notes.xlsx"
    path.write_text("code,amount\nC001,3\n")
    with pytest.raises(Exception) as info:
        pd.read_excel(str(path), usecols="B", skiprows=2, header=None, names=["Code"])
    assert_empty_result(et.read_excel_by_cells(str(path), {"Code": "B3"}))
    assert records(caplog) == [("ERROR", f"Error reading excel file {path}: {info.value}")]


def test_missing_file_parses_nothing(et, tmp_path, caplog):
    path = str(tmp_path / "absent.xlsx")
    parsed = []
    et.parse_cell = lambda cell: parsed.append(cell)
    assert_empty_result(et.read_excel_by_cells(path, {"Bad": "0A", "Code": "B3"}))
    assert parsed == []
    assert records(caplog) == [("WARNING", "Excel file not found: " + path)]


# --- the exact calls ---------------------------------------------------------------


class RecordingFrame:
    def __init__(self, inner, calls):
        self.inner, self._calls = inner, calls

    def __getitem__(self, key):
        self._calls.append(("getitem", key))
        return RecordingFrame(self.inner[key], self._calls)

    def dropna(self, *args, **kwargs):
        self._calls.append(("dropna", args, list(kwargs.items())))
        return RecordingFrame(self.inner.dropna(*args, **kwargs), self._calls)


def record_everything(et):
    calls = []
    parse_cell = et.parse_cell

    class RecordingPandas:
        @staticmethod
        def read_excel(*args, **kwargs):
            calls.append(("pd.read_excel", args, list(kwargs.items())))
            return RecordingFrame(pd.read_excel(*args, **kwargs), calls)

        @staticmethod
        def DataFrame(*args, **kwargs):
            calls.append(("pd.DataFrame", args, list(kwargs.items())))
            return pd.DataFrame(*args, **kwargs)

    class RecordingOs:
        class path:
            @staticmethod
            def exists(*args, **kwargs):
                calls.append(("os.path.exists", args, list(kwargs.items())))
                return os.path.exists(*args, **kwargs)

    def recording_parse_cell(*args, **kwargs):
        calls.append(("parse_cell", args, list(kwargs.items())))
        return parse_cell(*args, **kwargs)

    et.pd, et.os, et.parse_cell = RecordingPandas, RecordingOs, recording_parse_cell
    return calls


def read_call(path, use_cols, skip_rows, names):
    return ("pd.read_excel", (path,), [("usecols", use_cols), ("skiprows", skip_rows), ("header", None), ("names", names)])


@pytest.mark.parametrize(
    "mapping, read, reorder",
    [
        pytest.param({"Code": "B3", "Bad": "x", "Date": "d7"}, ("B,D", 2, ["Code", "Date"]), None, id="left-to-right"),
        pytest.param({"Amount": "F5", "Code": "B5"}, ("F,B", 4, ["Code", "Amount"]), ["Amount", "Code"], id="right-to-left"),
        pytest.param(
            {"D": "D3", "F": "F3", "B": "B3"}, ("D,F,B", 2, ["B", "D", "F"]), ["D", "F", "B"], id="rotated"
        ),
        pytest.param({"First": "B3", "Second": "b4"}, ("B,B", 2, ["First", "Second"]), None, id="same-letter"),
        pytest.param({"Title": "A1"}, ("A", 0, ["Title"]), None, id="a1"),
    ],
)
def test_exact_library_calls_and_mapping_untouched(et, plain_book, mapping, read, reorder):
    snapshot = list(mapping.items())
    calls = record_everything(et)
    et.read_excel_by_cells(plain_book, mapping)
    expected = [("os.path.exists", (plain_book,), [])]
    expected += [("parse_cell", (cell,), []) for cell in mapping.values()]
    expected.append(read_call(plain_book, *read))
    if reorder is not None:
        expected.append(("getitem", reorder))
    if read[0] == "B,B":
        # Whatever the library makes of the letter twice: a table to drop
        # from, or the failure path's empty result.
        assert calls[len(expected)][0] in ("dropna", "pd.DataFrame")
        calls = calls[: len(expected)]
    else:
        expected.append(("dropna", (), [("how", "all")]))
    assert calls == expected
    read_kwargs = dict(calls[len(mapping) + 1][2])
    assert type(read_kwargs["skiprows"]) is int and type(read_kwargs["names"]) is list
    assert list(mapping.items()) == snapshot


@pytest.mark.parametrize("mapping", [{}, {"Bad": "A0", "Worse": None}], ids=["empty", "all-invalid"])
def test_no_usable_entry_never_opens_the_workbook(et, plain_book, mapping):
    calls = record_everything(et)
    assert_empty_result(et.read_excel_by_cells(plain_book, mapping))
    assert calls == [("os.path.exists", (plain_book,), [])] + [
        ("parse_cell", (cell,), []) for cell in mapping.values()
    ] + [("pd.DataFrame", (), [])]


def test_min_is_the_builtin_bound_once(et, plain_book):
    et.min = lambda rows: 1 / 0
    assert list(et.read_excel_by_cells(plain_book, {"Code": "B3"}).columns) == ["Code"]


# --- failures of the read and exceptions ----------------------------------------------


def raising(exc):
    def fake(*args, **kwargs):
        raise exc

    return fake


class FailingDropFrame:
    def dropna(self, how):
        raise MemoryError("no room")


class CustomError(LookupError):
    pass


@pytest.mark.parametrize(
    "read_excel, text",
    [
        pytest.param(raising(ValueError("bad sheet")), "bad sheet", id="value-error"),
        pytest.param(raising(CustomError("custom")), "custom", id="exception-subclass"),
        pytest.param(raising(OSError(13, "Permission denied")), "[Errno 13] Permission denied", id="os-error"),
        pytest.param(lambda *a, **k: FailingDropFrame(), "no room", id="drop-fails"),
    ],
)
def test_library_failures_are_logged(et, plain_book, caplog, read_excel, text):
    et.pd = type("P", (), {"read_excel": staticmethod(read_excel), "DataFrame": pd.DataFrame})
    assert_empty_result(et.read_excel_by_cells(plain_book, {"Code": "B3"}))
    assert records(caplog) == [("ERROR", f"Error reading excel file {plain_book}: {text}")]


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(2)], ids=type)
def test_exception_not_derived_from_exception_leaves_the_read(et, plain_book, caplog, exc):
    et.pd = type("P", (), {"read_excel": staticmethod(raising(exc)), "DataFrame": pd.DataFrame})
    with pytest.raises(type(exc)) as info:
        et.read_excel_by_cells(plain_book, {"Code": "B3"})
    assert info.value is exc
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, 50)]
    assert records(caplog) == []


class RaisingLog:
    def warning(self, message):
        raise RuntimeError("log: " + message)


@pytest.mark.parametrize(
    "rebind, error, text, line",
    [
        pytest.param(lambda et, m: setattr(et, "os", None), AttributeError, None, 24, id="os-rebound"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", raising(ZeroDivisionError("p"))), ZeroDivisionError, "p", 33, id="parse_cell-raises"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", lambda c: "B3X"), ValueError, "too many values to unpack (expected 2)", 33, id="parse_cell-three-values"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", growing_parse_cell(m)), RuntimeError, "dictionary changed size during iteration", 32, id="mapping-grows"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", lambda c: ("B", c)), TypeError, None, 45, id="rows-not-comparable"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", lambda c: (7, 3)), TypeError, "sequence item 0: expected str instance, int found", 47, id="letters-not-text"),
        pytest.param(lambda et, m: setattr(et, "log", RaisingLog()), RuntimeError, "log: Invalid cell format: 3 for column Qty", 39, id="log-raises"),
    ],
)
def test_exceptions_outside_the_read_propagate_with_their_line(et, plain_book, caplog, rebind, error, text, line):
    mapping = {"Code": "B3", "Qty": 3}
    rebind(et, mapping)
    with pytest.raises(error) as info:
        et.read_excel_by_cells(plain_book, mapping)
    if text is not None:
        assert str(info.value) == text
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, line)]
    assert records(caplog) == []


def test_read_handler_runs_like_an_except_block(et, plain_book):
    failure = ValueError("broken zip")
    seen = []

    class FailingLog:
        def error(self, message):
            seen.append((message, sys.exc_info()[1]))
            raise LookupError("logger broke")

    et.pd = type("P", (), {"read_excel": staticmethod(raising(failure)), "DataFrame": pd.DataFrame})
    et.log = FailingLog()
    with pytest.raises(LookupError) as info:
        et.read_excel_by_cells(plain_book, {"Code": "B3"})
    assert sys.exc_info() == (None, None, None)
    assert seen == [(f"Error reading excel file {plain_book}: broken zip", failure)]
    assert info.value.__context__ is failure
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, 60)]


# --- references ------------------------------------------------------------------------


class SilentLog:
    def warning(self, message):
        pass

    def error(self, message):
        pass


class StandInTable:
    """Just enough of a DataFrame for the reader, with no caches of its own
    (pandas keeps some memory per call that would hide or fake a leak)."""

    def __getitem__(self, key):
        return self

    def dropna(self, how):
        return self


@pytest.mark.scale
def test_no_references_leak(et, plain_book, tmp_path):
    missing = str(tmp_path / "missing.xlsx")

    class StandInPandas:
        DataFrame = StandInTable

        @staticmethod
        def read_excel(path, usecols, skiprows, header, names):
            if usecols == "Z":
                raise ValueError("no such column")
            return StandInTable()

    et.pd = StandInPandas
    et.log = SilentLog()
    original = et.parse_cell
    et.parse_cell = lambda cell: original(cell) if cell != "boom" else 1 / 0

    def every_path():
        et.read_excel_by_cells(plain_book, {"Code": "B3", "Bad": "A0", "Date": "D3", "Amount": "F3"})
        et.read_excel_by_cells(plain_book, {"Amount": "F3", "Code": "B3", "Date": "D3"})
        et.read_excel_by_cells(plain_book, {"Z": "Z1"})
        et.read_excel_by_cells(plain_book, {"Bad": 5})
        et.read_excel_by_cells(missing, {"Code": "B3"})
        try:
            et.read_excel_by_cells(plain_book, {"x": "A1", "y": "boom"})
        except ZeroDivisionError:
            pass

    assert allocation_growth(every_path) < 100


def test_shared_strings_given_another_object_mid_read_are_tracked_again(et, tmp_path):
    # The native load keeps the workbook's list of shared strings (strings only) out of the
    # cyclic collector; anything else put into it before the sheet is read makes that read
    # step aside and the list tracked again, so a cycle through it can still be freed.
    seen = []

    def give_other_object(frame, event, arg):
        # The engine picks the sheet (pandas' own code) just before reading it.
        if event != "call" or frame.f_code.co_name != "get_sheet_by_index" or seen:
            return
        state = getattr(frame.f_locals["self"], "_vorlatek_book", None)
        if state:
            strings = state[1]
            seen.append((gc.is_tracked(strings), strings))
            strings.append([strings])

    path = str(tmp_path / "shared.xlsx")
    write_with_xlsxwriter(path)  # its texts are shared strings
    mapping = {"Code": "B3", "Date": "D3", "Amount": "F3"}
    expected = et.read_excel_by_cells(path, mapping)
    sys.setprofile(give_other_object)
    try:
        result = et.read_excel_by_cells(path, mapping)
    finally:
        sys.setprofile(None)
    if not seen:
        pytest.skip("the native read does not run with these releases")
    [(tracked_before, strings)] = seen
    assert not tracked_before and gc.is_tracked(strings)
    assert table(result) == table(expected)
    assert list(result["Code"]) == CODES


# --- the native reading route ----------------------------------------------------
#
# With the module's `pd` being pandas itself, the reader parses the sheet's
# cells natively; the result must be what today's single pd.read_excel call
# gives. The reference is that very call, made by the module through a stand-in
# `pd` (which keeps it on the plain route). The route is seen to be taken when
# openpyxl's load and sheet parser never run.

import types
import warnings
import zipfile

import openpyxl.reader.excel as openpyxl_excel
import openpyxl.worksheet._reader as openpyxl_sheet_reader

from helpers import shared_xml, sheet_xml, styles_xml, write_raw_book

PLAIN_CODES = {openpyxl_excel.load_workbook.__code__, openpyxl_sheet_reader.WorkSheetParser.parse.__code__,
               openpyxl_sheet_reader.WorkSheetParser.parse_dimensions.__code__}


def observed_read(et, path, mapping):
    """(frame or exception text, log records, warnings, whether openpyxl's
    own load or sheet parser ran)."""
    ran = []

    def watch(frame, event, arg):
        if event == "call" and frame.f_code in PLAIN_CODES:
            ran.append(frame.f_code.co_name)

    logged = []
    handler = logging.Handler()
    handler.emit = lambda record: logged.append((record.levelname, record.getMessage()))
    log = logging.getLogger(LOGGER)
    log.addHandler(handler)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            sys.setprofile(watch)
            try:
                df = et.read_excel_by_cells(path, mapping)
            finally:
                sys.setprofile(None)
    finally:
        log.removeHandler(handler)
    seen = [(w.category, str(w.message), w.filename, w.lineno) for w in caught]
    return df, logged, seen, bool(ran)


def assert_same_as_plain_read(et, path, mapping, route):
    df, logged, seen, plain_ran = observed_read(et, path, mapping)
    et.pd = types.SimpleNamespace(read_excel=pd.read_excel, DataFrame=pd.DataFrame)
    expected, expected_logged, expected_seen, _ = observed_read(et, path, mapping)
    et.pd = pd
    pd.testing.assert_frame_equal(df, expected, check_exact=True)
    for column in df.columns:
        assert [type(v) for v in df[column]] == [type(v) for v in expected[column]], column
    assert logged == expected_logged
    assert seen == expected_seen
    assert plain_ran is not route, "route taken" if plain_ran is False else "route not taken"


def cell(ref, value=None, t=None, s=None, inner=None):
    attrs = (f' r="{ref}"' if ref else "") + (f' t="{t}"' if t else "") + (f' s="{s}"' if s is not None else "")
    body = inner if inner is not None else (f"<v>{value}</v>" if value is not None else "")
    return f"<c{attrs}>{body}</c>" if body else f"<c{attrs}/>"


def row(number, *cells):
    return f'<row{f" r={chr(34)}{number}{chr(34)}" if number else ""}>{"".join(cells)}</row>'


SHARED = shared_xml([
    "<t>plain</t>",
    '<t xml:space="preserve">  padded \r\n text  </t>',
    "<r><t>rich </t></r><r><t>runs</t></r>",
    '<t>漢字</t><rPh sb="0" eb="2"><t>かんじ</t></rPh><phoneticPr fontId="1" type="Hiragana"/>',
    "<t>esc_x005F_x000D_aped _x000D_ kept</t>",
    "<t>&lt;&amp;&gt; &#233;&#x4E2D; &quot;q&quot;</t>",
    "<t/>",
    "<t>007</t>",
    "<t>first</t><t>last t wins</t>",
    '<r><rPr><b/><sz val="11"/><color rgb="FFFF0000"/><rFont val="Calibri"/><family val="2"/></rPr><t>bold</t></r>'
    '<r><t xml:space="preserve"> plain</t></r>',
])
# Styles 0 General, 1 built-in date (14), 2 custom date, 3 time of day, 4 a
# duration, 5 text (49).
STYLES = styles_xml([0, 14, 164, 165, 166, 49], [(164, "yyyy-mm-dd hh:mm"), (165, "h:mm:ss"), (166, "[h]:mm:ss")])

ROUTE_CASES = {
    "kinds of cells": dict(rows=(
        row(1, cell("A1", 0, "s"), cell("B1", 1, "s"), cell("C1", 2, "s"), cell("D1", 3, "s")),
        row(2, cell("A2", 4, "s"), cell("B2", 5, "s"), cell("C2", 6, "s"), cell("D2", 7, "s")),
        row(3, cell("A3", 8, "s"), cell("B3", "1"), cell("C3", "0", "b"), cell("D3", "1", "b"), cell("E3", 9, "s")),
        row(4, cell("A4", "-12.50"), cell("B4", "1E3"), cell("C4", "2.5e-3"), cell("D4", "-0.0")),
        row(5, cell("A5", "123456789012345678901234567890"), cell("B5", "1e20"), cell("C5", "007"),
            cell("D5", "3.0")),
        row(6, cell("A6", "#N/A", "e"), cell("B6", "text &amp; result", "str"), cell("C6", "2024-03-01T10:20:30", "d"),
            cell("D6", "2024-03-01", "d")),
        row(7, cell("A7", t="inlineStr", inner="<is><t>inline _x000D_ x005F_</t></is>"),
            cell("B7", t="inlineStr", inner="<is><r><t>in</t></r><r><t>line</t></r></is>"),
            cell("C7", t="inlineStr"), cell("D7", "5", inner="<f>SUM(A1:A2)</f><v>5</v>")),
        row(8, cell("A8", "45000.75", s=1), cell("B8", "45000.5", s=2), cell("C8", "0.25", s=3),
            cell("D8", "1.5", s=4)),
        row(9, cell("A9", "59", s=1), cell("B9", "60", s=1), cell("C9", "61", s=1), cell("D9", "12", s=5)),
    ), mapping={"a": "A1", "b": "B1", "c": "C1", "d": "D1"}, route=True),
    "the 1904 date system": dict(rows=(
        row(1, cell("A1", "0", s=1), cell("B1", "1462.5", s=2), cell("C1", "0.999", s=3)),
        row(2, cell("A2", "59", s=1), cell("B2", "60.25", s=2), cell("C2", "40000", s=1)),
    ), mapping={"a": "A1", "b": "B1", "c": "C1"}, route=True, date1904=True),
    "cells and rows without r": dict(rows=(
        row(None, cell(None, "1"), cell(None, "2"), cell("D1", "4"), cell(None, "5")),
        row(None, cell(None, "6")),
        row(5, cell("B5", "7"), cell(None, "8")),
    ), mapping={"a": "A1", "b": "B1", "e": "E1"}, route=True),
    "sparse, out-of-order and repeated rows": dict(rows=(
        row(2, cell("A2", "1")), row(6, cell("C6", "2")), row(4, cell("A4", "skipped", "str")),
        row(6, cell("A6", "repeated", "str")), row(9, cell("B9", "3")),
    ), mapping={"a": "A1", "b": "B1", "c": "C1"}, route=True),
    "cells out of order in a row": dict(rows=(
        row(1, cell("C1", "3"), cell("A1", "1"), cell("B1", "2")),
        row(2, cell("A2", "1"), cell("D2", "dropped: after the last column", "str"), cell("B2", "2")),
        row(3, cell("B3", "first", "str"), cell("B3", "second", "str")),
    ), mapping={"a": "A1", "b": "B1", "c": "C1", "d": "D1"}, route=True),
    "trailing empty cells and rows": dict(rows=(
        row(1, cell("A1", "1"), cell("B1", 6, "s"), cell("C1")),
        row(2, cell("A2", "2"), cell("E2", t="inlineStr", inner="<is><t></t></is>")),
        row(3), row(4, cell("A4"), cell("B4", 6, "s")),
    ), mapping={"a": "A1", "b": "B1", "e": "E1"}, route=True),
    "a wrong dimension": dict(rows=(row(1, cell("A1", "1"), cell("B1", "2")), row(30, cell("C30", "3"))),
                              before='<dimension ref="A1:B2"/>', mapping={"a": "A2", "c": "C2"}, route=True),
    "no dimension, other parts": dict(rows=(row(1, cell("A1", "1")), row(2, cell("B2", "2"))),
                                      before='<sheetViews><sheetView workbookViewId="0"/></sheetViews>'
                                             '<sheetFormatPr defaultRowHeight="15"/><cols><col min="1" max="2" width="9"/></cols>',
                                      after='<mergeCells count="1"><mergeCell ref="A5:B5"/></mergeCells>'
                                            '<pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75" header="0.3" footer="0.3"/>',
                                      mapping={"a": "A1", "b": "B1"}, route=True),
    "mapping right to left, rows below the start": dict(rows=(
        row(1, cell("A1", "title", "str")), row(3, cell("B3", "x", "str"), cell("D3", "1")),
        row(4, cell("B4", "y", "str"), cell("D4", "2.5")),
    ), mapping={"d": "D3", "b": "B3"}, route=True),
    "namespaces by URI, not prefix": dict(
        xml='<?xml version="1.0"?><x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            '<x:sheetData><x:row r="1"><x:c r="A1" t="str"><x:v>1</x:v></x:c><x:c r="B1"><x:v>2</x:v></x:c>'
            '<x:c r="C1" xmlns:o="urn:other" o:t="s"><x:v>3</x:v></x:c></x:row></x:sheetData>'
            '<x:pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75" header="0.3" footer="0.3"/></x:worksheet>',
        mapping={"a": "A1", "b": "B1", "c": "C1"}, route=True),
    # Left to openpyxl: each keeps openpyxl's own result, message or warning.
    "a repeated namespace declaration": dict(rows=(row(1, cell("A1", "1")),),
                                             root_attributes=' xmlns:r="urn:again"', mapping={"a": "A1"},
                                             route=False),
    "extension list (openpyxl warns)": dict(rows=(row(1, cell("A1", "1")),),
                                            after='<extLst><ext uri="{78C0D931-6437-407d-A8EE-F0AAD7539E65}"/></extLst>',
                                            mapping={"a": "A1"}, route=False),
    "a date out of range (openpyxl warns)": dict(rows=(row(1, cell("A1", "1"), cell("B1", "99999999", s=1)),),
                                                 mapping={"a": "A1"}, route=False),
    "an unknown cell type": dict(rows=(row(1, cell("A1", "1", "x")),), mapping={"a": "A1"}, route=False),
    "a number int() reads with underscores": dict(rows=(row(1, cell("A1", "1_000")),), mapping={"a": "A1"},
                                                   route=False),
    "a comment in the sheet": dict(rows=(row(1, "<!-- note -->", cell("A1", "1")),), mapping={"a": "A1"},
                                   route=False),
    "CDATA": dict(rows=(row(1, cell("A1", t="str", inner="<v><![CDATA[1]]></v>")),), mapping={"a": "A1"},
                  route=False),
    "broken XML (openpyxl's error)": dict(rows=(row(1, cell("A1", "1")) + "<row>",), mapping={"a": "A1"},
                                          route=False),
    "a shared string index out of range": dict(rows=(row(1, cell("A1", "99", "s")),), mapping={"a": "A1"},
                                               route=False),
}


@pytest.mark.parametrize("case", list(ROUTE_CASES), ids=list(ROUTE_CASES))
def test_native_route_reads_as_pandas_reads(et, tmp_path, case):
    spec = ROUTE_CASES[case]
    xml = spec.get("xml") or sheet_xml("".join(spec["rows"]), before=spec.get("before", ""),
                                       after=spec.get("after", ""), root_attributes=spec.get("root_attributes", ""))
    path = write_raw_book(str(tmp_path / "book.xlsx"), [xml], shared=SHARED, styles=STYLES,
                          date1904=spec.get("date1904", False))
    assert_same_as_plain_read(et, path, spec["mapping"], spec["route"])


@pytest.mark.parametrize(
    "part, content",
    [
        ("xl/styles.xml", STYLES.replace('fontId="0" fillId', 'fontId="x" fillId')),
        ("docProps/core.xml", "<not-closed>"),
        ("xl/sharedStrings.xml", SHARED.replace("<t>plain</t>", '<r><rPr><sz val="big"/></rPr><t>plain</t></r>')),
        ("xl/sharedStrings.xml", SHARED.replace("<t>plain</t>", '<r><rPr><b/><sz val="11"/></rPr><t>plain</t></r>')),
    ],
    ids=["bad style", "bad properties", "bad run properties", "run properties"],
)
def test_native_route_keeps_openpyxl_verdict_on_other_parts(et, tmp_path, part, content):
    xml = sheet_xml(row(1, cell("A1", 0, "s"), cell("B1", "2")))
    extra = {part: content} if part == "docProps/core.xml" else {}
    kwargs = {"shared": SHARED, "styles": STYLES}
    if part == "xl/styles.xml":
        kwargs["styles"] = content
    elif part == "xl/sharedStrings.xml":
        kwargs["shared"] = content
    path = write_raw_book(str(tmp_path / "book.xlsx"), [xml], extra=extra, **kwargs)
    df, logged, _, _ = observed_read(et, path, {"a": "A1", "b": "B1"})
    et.pd = types.SimpleNamespace(read_excel=pd.read_excel, DataFrame=pd.DataFrame)
    expected, expected_logged, _, _ = observed_read(et, path, {"a": "A1", "b": "B1"})
    pd.testing.assert_frame_equal(df, expected, check_exact=True)
    assert logged == expected_logged


def test_native_route_reads_the_first_worksheet_pandas_picks(et, tmp_path):
    first = sheet_xml(row(1, cell("A1", "first sheet", "str")))
    second = sheet_xml(row(1, cell("A1", "second sheet", "str")))
    path = write_raw_book(str(tmp_path / "book.xlsx"), [first, second])
    # The workbook lists the second part first.
    import zipfile
    with zipfile.ZipFile(path) as archive:
        parts = {name: archive.read(name) for name in archive.namelist()}
    parts["xl/workbook.xml"] = parts["xl/workbook.xml"].replace(
        b'<sheet name="Sheet1" sheetId="1" r:id="rId1"/><sheet name="Sheet2" sheetId="2" r:id="rId2"/>',
        b'<sheet name="Sheet2" sheetId="2" r:id="rId2"/><sheet name="Sheet1" sheetId="1" r:id="rId1"/>')
    with zipfile.ZipFile(path, "w") as archive:
        for name, content in parts.items():
            archive.writestr(name, content)
    assert_same_as_plain_read(et, path, {"a": "A1"}, route=True)
    assert list(et.read_excel_by_cells(path, {"a": "A1"})["a"]) == ["second sheet"]


@pytest.mark.parametrize("write", [write_with_openpyxl, write_with_xlsxwriter], ids=["openpyxl", "xlsxwriter"])
@pytest.mark.parametrize("mapping", [{"Code": "B3", "Date": "D3", "Amount": "F3"}, {"Amount": "F1", "Code": "B2"},
                                     {"Title": "A1", "Note": "H1"}], ids=["table", "reordered", "whole"])
def test_native_route_on_written_workbooks(et, tmp_path, write, mapping):
    path = str(tmp_path / "report.xlsx")
    write(path)
    assert_same_as_plain_read(et, path, mapping, route=True)


# Stray values far from the table: the route hands pandas only the selected
# columns and the rows up to the last value, and must still give pandas'
# frame (index labels, dtypes) and pandas' refusals.
FAR_CASES = {
    "far right": ("ALL3", {"a": "A1", "b": "B1"}),
    "far right, selected beyond it": ("ALL3", {"a": "A1", "zz": "AMA1"}),
    "far right, selected at it": ("ALL3", {"a": "A1", "far": "ALL1"}),
    "far below": ("B200000", {"a": "A1", "b": "B1"}),
    "far below, start below the table": ("B200000", {"a": "A20", "b": "B20"}),
    "far below, start below it": ("B200000", {"a": "A200001"}),
    "far below in an unused column": ("Q150000", {"a": "A2", "c": "C2"}),
    "far right and below": ("CV5000", {"c": "C1", "a": "A1"}),
    "beyond the widest row": (None, {"a": "A1", "z": "Z1"}),
}


@pytest.mark.parametrize("case", list(FAR_CASES), ids=list(FAR_CASES))
def test_native_route_bounds_far_cells_with_pandas_result(et, tmp_path, case):
    stray, mapping = FAR_CASES[case]
    book = openpyxl.Workbook()
    sheet = book.active
    for i in range(1, 11):
        sheet.append([f"C{i:03d}", i * 1.5, i if i % 3 else None, "x" if i == 4 else None])
    if stray:
        sheet[stray] = "stray"
    path = str(tmp_path / "far.xlsx")
    book.save(path)
    assert_same_as_plain_read(et, path, mapping, route=True)


def test_native_route_last_cell_of_the_sheet_under_a_memory_limit(tmp_path):
    from child_process import UNDER_SANITIZER, run_child
    if UNDER_SANITIZER:
        pytest.skip("the sanitizer runtime reserves the address space a limit would bound")
    book = openpyxl.Workbook()
    sheet = book.active
    for i in range(1, 11):
        sheet.append([f"C{i:03d}", f"name {i}"])
    sheet["XFD1048576"] = "stray"
    path = str(tmp_path / "last-cell.xlsx")
    book.save(path)
    code = r"""
import logging
limit_address_space(1536)
import vorlatek.excelTools as et
records = []
handler = logging.Handler()
handler.emit = records.append
logging.getLogger("vorlatek.excelTools").addHandler(handler)
df = et.read_excel_by_cells(sys.argv[1], {"code": "A1", "name": "B1"})
report({"codes": list(df["code"]), "index": list(map(int, df.index)), "records": [r.getMessage() for r in records]})
"""
    returncode, report, stderr = run_child(code, [path], timeout=60)
    assert returncode == 0, stderr
    assert report == {"codes": [f"C{i:03d}" for i in range(1, 11)], "index": list(range(10)), "records": []}


def test_native_route_steps_aside_for_a_wrapped_read_excel(et, plain_book, monkeypatch):
    calls = []
    original = pd.read_excel

    def wrapped(*args, **kwargs):
        calls.append(args[0])
        return original(*args, **kwargs)

    monkeypatch.setattr(pd, "read_excel", wrapped)
    df = et.read_excel_by_cells(plain_book, {"Code": "B3"})
    assert calls == [plain_book]
    assert table(df)[2]["Code"] == CODES


def test_native_route_with_the_engine_option(et, plain_book):
    with pd.option_context("io.excel.xlsx.reader", "openpyxl"):
        assert_same_as_plain_read(et, plain_book, {"Code": "B3", "Amount": "F3"}, route=True)



def strings_book(path, shared=SHARED):
    return write_raw_book(path, [sheet_xml(row(1, cell("A1", 0, "s"), cell("B1", "2")))], shared=shared,
                          styles=STYLES)


# Shared strings the native reading leaves to openpyxl's reader, which fails
# on them (TypeError).
RICH_SHARED = SHARED.replace("<t>plain</t>", '<r><rPr><sz val="big"/></rPr><t>plain</t></r>')

# Where the route closes an archive member: (the shared strings, the member,
# which of its closes is the one that raises, the error already in flight).
MEMBER_CLOSES = {
    "shared strings read natively": (SHARED, "xl/sharedStrings.xml", 1, None),
    "worksheet read natively": (SHARED, "xl/worksheets/sheet1.xml", 1, None),
    "shared strings openpyxl failed to read": (RICH_SHARED, "xl/sharedStrings.xml", 2, TypeError),
}


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, ValueError], ids=lambda e: e.__name__)
@pytest.mark.parametrize("case", list(MEMBER_CLOSES), ids=list(MEMBER_CLOSES))
def test_native_route_passes_on_an_interrupt_while_closing_a_member(et, tmp_path, caplog, monkeypatch, case,
                                                                     raised):
    shared, member, failing_close, in_flight = MEMBER_CLOSES[case]
    path = strings_book(str(tmp_path / "book.xlsx"), shared)
    mapping = {"a": "A1", "b": "B1"}
    untouched = et.read_excel_by_cells(path, mapping)
    untouched_records = records(caplog)
    caplog.clear()
    real_close = zipfile.ZipExtFile.close
    closes = []

    def close(self):
        real_close(self)  # the member is closed, then the error arrives
        if self.name == member:
            closes.append(self.name)
            if len(closes) == failing_close:
                raise raised("while closing")

    monkeypatch.setattr(zipfile.ZipExtFile, "close", close)
    if issubclass(raised, Exception):
        # An ordinary error of the close changes nothing.
        df = et.read_excel_by_cells(path, mapping)
        assert table(df) == table(untouched) and records(caplog) == untouched_records
        return
    with warnings.catch_warnings():
        # pandas closes the file it opened only after an Exception.
        warnings.simplefilter("ignore", ResourceWarning)
        with pytest.raises(raised, match="^while closing$") as caught:
            et.read_excel_by_cells(path, mapping)
        context = caught.value.__context__
        assert (None if context is None else type(context)) is in_flight
        assert our_entries(caught.value) == [("vorlatek/excelTools", QUALNAME, 50)]
        assert records(caplog) == []
        del caught, context
        gc.collect()


@pytest.mark.parametrize("raised, outcome", [(KeyboardInterrupt, KeyboardInterrupt), (SystemExit, SystemExit),
                                             (ValueError, AttributeError)], ids=lambda e: e.__name__)
@pytest.mark.parametrize("attribute", ["_vorlatek_book", "book"])
def test_native_sheet_reading_passes_on_an_interrupt_reading_its_reader(et, tmp_path, attribute, raised, outcome):
    # The route's engine reads its state from the reader it is called on;
    # when that fails in an ordinary way, the engine's own reading runs,
    # which an object of no engine class does not have (AttributeError).
    et.read_excel_by_cells(strings_book(str(tmp_path / "book.xlsx")), {"a": "A1"})
    engine = pd.ExcelFile._engines["openpyxl"]
    native = [c for c in engine.__subclasses__() if c.__module__ == "vorlatek.excelTools"][-1]

    class Reader:
        def __getattribute__(self, name):
            if name == attribute:
                raise raised(name)
            if name == "_vorlatek_book":
                return ()
            return object.__getattribute__(self, name)

    with pytest.raises(outcome) as caught:
        native.get_sheet_data(Reader(), None)
    assert outcome is AttributeError or str(caught.value) == attribute

@pytest.mark.scale
def test_native_route_keeps_no_references(et, tmp_path):
    xml = sheet_xml("".join(ROUTE_CASES["kinds of cells"]["rows"]))
    path = write_raw_book(str(tmp_path / "book.xlsx"), [xml], shared=SHARED, styles=STYLES)
    broken = write_raw_book(str(tmp_path / "broken.xlsx"), [xml + "<"], shared=SHARED, styles=STYLES)
    et.log = types.SimpleNamespace(warning=lambda message: None, error=lambda message: None)
    mapping = {"a": "A1", "b": "B1", "d": "D1"}

    def both():
        et.read_excel_by_cells(path, mapping)
        et.read_excel_by_cells(broken, mapping)

    # pandas and openpyxl fill caches of their own over the first thousand
    # reads or so (the plain route grows alike); a leak keeps growing.
    for _ in range(1500):
        both()
    assert allocation_growth(both, repeat=300) < 100
