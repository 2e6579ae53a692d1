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
