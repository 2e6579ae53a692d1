"""The native placement of a frame's body against pandas' own to_excel.

write_formatted_excel places a frame's values into the openpyxl sheet itself
when pandas and openpyxl are their own genuine selves; with the module's `pd`
rebound to a thin wrapper module it makes today's calls (pandas' to_excel,
one openpyxl cell per value). Both must leave the same workbook behind: the
same sheets, cells, values, data types, style arrays and style collections
before the save, the same archive after it (member by member, byte for
byte, the document properties' timestamps aside), the same result, log
records and warnings.
"""
import collections
import datetime
import decimal
import gc
import logging
import os
import re
import sys
import traceback
import types
import warnings
import zipfile

import numpy as np
import openpyxl
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas.io.excel._base import ExcelWriter
from pandas.io.excel._openpyxl import OpenpyxlWriter
from pandas.io.formats.excel import ExcelFormatter
from openpyxl.cell.cell import Cell
from openpyxl.worksheet.worksheet import Worksheet

from helpers import allocation_growth

LOGGER = "vorlatek.excelTools"
PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


def wrapped_pandas():
    """A module that hands out pandas' names: not pandas itself."""
    wrapper = types.ModuleType("pandas_wrapper")
    wrapper.__getattr__ = lambda name: getattr(pd, name)
    return wrapper


TIMESTAMPS = re.compile(rb"(<dcterms:(created|modified)[^>]*>)[^<]*(</dcterms:\2>)")


def archive(path):
    with zipfile.ZipFile(path) as z:
        members = []
        for info in z.infolist():
            data = z.read(info)
            if info.filename == "docProps/core.xml":
                data = TIMESTAMPS.sub(rb"\1\3", data)
            members.append((info.filename, info.compress_type, data))
        return members


def book_state(book):
    """Everything of the workbook the save reads, in the order it holds it."""
    sheets = []
    for ws in book._sheets:
        cells = []
        for key, c in ws._cells.items():
            value = getattr(c, "_value", None)
            style = getattr(c, "_style", None)
            cells.append((key, type(c).__name__, c.row, c.column, c.parent is ws,
                          type(value).__name__, repr(value), getattr(c, "data_type", None),
                          None if style is None else (type(style).__name__, tuple(style)),
                          getattr(c, "_hyperlink", None), getattr(c, "_comment", None)))
        sheets.append((ws.title, type(ws).__name__, ws._current_row, cells,
                       sorted(str(r) for r in ws.merged_cells.ranges),
                       sorted((k, d.width) for k, d in ws.column_dimensions.items())))
    collections_ = {name: [repr(x) for x in getattr(book, name)]
                    for name in ("_fonts", "_fills", "_borders", "_alignments", "_protections",
                                 "_number_formats", "_cell_styles")}
    return sheets, collections_, book.sheetnames, book.active.title


class Outcome:
    def __init__(self, result, records, warned, states, members, calls):
        self.result, self.records, self.warned = result, records, warned
        self.states, self.members, self.calls = states, members, calls

    def same_as(self, other):
        assert self.result == other.result
        assert self.records == other.records
        assert self.warned == other.warned
        assert self.states == other.states
        if self.members is None or other.members is None:
            assert self.members is other.members
            return
        assert [m[:2] for m in self.members] == [m[:2] for m in other.members]
        for mine, theirs in zip(self.members, other.members):
            assert mine == theirs, mine[0]


PROFILED = ("_generate_body", "_value_with_fmt", "_write_cells", "_bind_value")
try:
    import pyarrow as pa
    from pandas.core.arrays.arrow.array import ArrowExtensionArray
    ARROW_ITER_CODE = ArrowExtensionArray.__iter__.__code__
except ImportError:
    pa = None
    ARROW_ITER_CODE = None


def write(et, caplog, path, data, auto_format, generic):
    """One write_formatted_excel call with everything observable of it."""
    states = []
    books = []
    real_save = OpenpyxlWriter._save

    def save_and_look(self):
        states.append(book_state(self.book))
        books.append(self.book)
        return real_save(self)

    calls = collections.Counter()
    iterations = []

    def profile(frame, event, arg):
        if event == "call":
            if frame.f_code.co_name in PROFILED:
                calls[frame.f_code.co_name] += 1
            elif frame.f_code is ARROW_ITER_CODE and all(f is not frame for f in iterations):
                # A generator's frame is called again at every value.
                iterations.append(frame)
                calls["arrow __iter__"] += 1

    caplog.clear()
    with pytest.MonkeyPatch.context() as patch, warnings.catch_warnings(record=True) as caught:
        patch.setattr(OpenpyxlWriter, "_save", save_and_look)
        if generic:
            patch.setattr(et, "pd", wrapped_pandas())
        warnings.simplefilter("always")
        sys.setprofile(profile)
        try:
            result = et.write_formatted_excel(str(path), data, auto_format)
        finally:
            sys.setprofile(None)
    # Every cell and style, and every sheet's cell dict, is in the garbage collector's care
    # again once the call returns (an untracked dict of cells would keep the workbook alive).
    states.append([all(gc.is_tracked(c) and gc.is_tracked(c._style) for ws in book._sheets
                       for c in ws._cells.values())
                   and all(gc.is_tracked(ws._cells) for ws in book._sheets if ws._cells)
                   for book in books])
    records = [(r.levelname, r.getMessage().replace(str(path), "<path>"))
               for r in caplog.records if r.name == LOGGER]
    warned = [(w.category.__name__, str(w.message)) for w in caught]
    members = archive(path) if result else None
    return Outcome(result, records, warned, states, members, calls)


@pytest.fixture
def both(et, caplog, tmp_path):
    """Writes `data` by the route and by the generic route; returns both outcomes."""
    caplog.set_level(logging.DEBUG, logger=LOGGER)

    def run(data, auto_format=True):
        route = write(et, caplog, tmp_path / "route.xlsx", data, auto_format, False)
        generic = write(et, caplog, tmp_path / "generic.xlsx", data, auto_format, True)
        route.same_as(generic)
        # The generic route is pandas' own loop through every value.
        assert generic.calls["_generate_body"] >= 1 or not generic.result
        return route, generic

    return run


# --- frames of every kind ------------------------------------------------------------

N = 24


def cycle(values, n=N):
    return [values[i % len(values)] for i in range(n)]


TEXTS = ["plain", "", " padded ", "<tag> & \"quoted\" 'single'", "line\nbreak\ttab\rreturn",
         "=SUM(A1:A3)", "=", "#N/A", "#DIV/0!", "#NAME", "東京都千代田区", "emoji \U0001F600",
         "\u00e9\u00e8 latin", "x" * 500, "]]>", "&amp;", "\u2028sep", "_x000D_", "  ",
         "True", "1.5", "nan", "inf"]

MIXED = [1, 2.5, "s", None, True, False, datetime.date(2020, 1, 2),
         datetime.datetime(2020, 1, 1, 5, 6, 7, 891011), datetime.time(1, 2, 3),
         datetime.timedelta(days=1, seconds=3), b"bytes", np.float32(1.5), np.int64(-7),
         np.float64("nan"), np.bool_(True), pd.NA, pd.NaT, float("nan"), float("inf"),
         -float("inf"), decimal.Decimal("1.25"), pd.Timestamp("2021-03-04 05:06:07.123456789"),
         [1, 2], 10 ** 20, -0.0, complex(1, 2)]


def every_kind(n=N):
    floats = cycle([0.0, -0.0, 1.5, np.nan, np.inf, -np.inf, 3e38, 5e-324, 1 / 3, -2.0, 1e16,
                    123456789.123, 65504.0], n)
    return pd.DataFrame({
        "int64": np.arange(n, dtype="int64") * 1_000_003 - 7,
        "int8": np.arange(n, dtype="int8"),
        "uint64": np.array([2 ** 64 - 1 - i for i in range(n)], dtype="uint64"),
        "float64": np.array(floats, dtype="float64"),
        "float32": np.array(floats, dtype="float32"),
        "float16": np.array([f if abs(f) < 6e4 else -f / 4e34 for f in floats], dtype="float16"),
        "bool": np.arange(n) % 3 == 0,
        "text": cycle(TEXTS, n),
        "mixed": cycle(MIXED, n),
        "none": [None] * n,
        "datetime64": pd.Series(pd.date_range("1999-12-31 23:59:59", periods=n, freq="37h")).where(
            np.arange(n) % 5 != 1),
        "dates": cycle([datetime.date(2024, 2, 29), None, datetime.date(1900, 1, 1)], n),
        "datetimes": cycle([datetime.datetime(2024, 2, 29, 12), pd.NaT,
                            datetime.datetime(1970, 1, 1, 0, 0, 0, 1)], n),
        "timedelta64": pd.Series(pd.to_timedelta(np.arange(n) * 3601.5, unit="s")).where(
            np.arange(n) % 4 != 2),
        "Int64": pd.array(cycle([1, None, -3, 2 ** 40], n), dtype="Int64"),
        "Float64": pd.array(cycle([1.25, None, -0.5, 1e-9], n), dtype="Float64"),
        "boolean": pd.array(cycle([True, None, False], n), dtype="boolean"),
        "category": pd.Categorical(cycle(["a", None, "b & c", "<d>"], n)),
        "category_int": pd.Categorical(cycle([1, 2, None], n)),
        "string": pd.array(cycle(["s", None, "=1+1", "t"], n), dtype="string"),
        "numpy_objects": pd.Series(cycle([np.int64(5), np.float64(2.5), np.bool_(False),
                                          np.uint8(200), np.float32(np.nan), np.int32(-1)], n),
                                   dtype=object),
    })


def texts_frame(values):
    return pd.DataFrame({"t": values})


SUITE_DF = pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})
SUITE_DF2 = pd.DataFrame({"k": ["p", "q", "r"]})
INDEXED = pd.DataFrame({"v": [10, 20]}, index=["r1", "r2"])
NAMED_INDEX = every_kind(6).set_index("text")
MULTI_ROWS = pd.DataFrame({"v": [1.5, 2.5, 3.5], "w": ["a", "b", "c"]},
                          index=pd.MultiIndex.from_tuples([("x", 1), ("x", 2), ("y", 1)],
                                                          names=["outer", "inner"]))
MULTI_COLUMNS = pd.DataFrame([[1, 2.5, "a"], [3, 4.5, "b"]],
                             columns=pd.MultiIndex.from_tuples([("g", "i"), ("g", "f"), ("h", "t")]))
DATE_INDEX = pd.DataFrame({"v": [1, 2, 3]}, index=pd.date_range("2020-01-01", periods=3, name="day"))
DUPLICATE_COLUMNS = pd.DataFrame([[1, "a", 2.5]], columns=["x", "x", "y"])
TZ_AWARE = pd.DataFrame({"when": pd.date_range("2020-01-01", periods=3, tz="Europe/Berlin")})
TZ_IN_OBJECTS = pd.DataFrame({"o": [1, datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)]})
CONTROL_CHARACTER = texts_frame(["fine", "bell\x07", "never"])
LONG_TEXTS = texts_frame(["y" * 32767, "z" * 32768, "short"])


CASES = {
    # what the rest of the suite and the demo write
    "suite-single": {"Data": SUITE_DF},
    "suite-placements": {
        "Side": [{"df": SUITE_DF, "startcol": 0, "index": False},
                 {"df": INDEXED, "startcol": 3, "index": True}],
        "Stack": [{"df": SUITE_DF}, {"df": SUITE_DF2, "startrow": 4, "ignored": "key"}],
        "Plain": SUITE_DF2,
    },
    "suite-east-asian": {"S": pd.DataFrame({"c": ["東" * 10], "z": [0]})},
    "suite-empty-items": {"S": [{"startrow": 2}, {"df": None}, {"df": pd.DataFrame()}], "T": SUITE_DF2},
    "demo-like": {
        "Reconciliation": [{"df": every_kind(9)[["text", "int64", "float64"]], "startcol": 0},
                           {"df": SUITE_DF, "startcol": 4}],
        "Summary": pd.DataFrame({"What": ["matched", "unmatched"], "Rows": [9, 3]}),
    },
    # every kind of value
    "every-kind": {"All": every_kind()},
    "every-kind-index": {"All": [{"df": every_kind(), "index": True, "startrow": 1, "startcol": 2}]},
    "named-index": {"I": [{"df": NAMED_INDEX, "index": True}]},
    "date-index": {"I": [{"df": DATE_INDEX, "index": True}]},
    "multiindex-rows": {"M": [{"df": MULTI_ROWS, "index": True}]},
    "multiindex-columns": {"M": [{"df": MULTI_COLUMNS, "index": True, "startrow": 2}]},
    "multiindex-columns-no-index": {"M": MULTI_COLUMNS},
    "duplicate-columns": {"D": DUPLICATE_COLUMNS},
    "one-cell": {"O": pd.DataFrame({"only": [42]})},
    "long-texts": {"L": LONG_TEXTS},
    "signals-interval": {"Big": pd.DataFrame({"i": np.arange(5000), "t": cycle(TEXTS, 5000)})},
    # several frames on a sheet, at offsets, overlapping
    "side-by-side-and-stacked": {"S": [
        {"df": every_kind(5), "startcol": 0},
        {"df": SUITE_DF, "startcol": 30, "index": True},
        {"df": SUITE_DF2, "startrow": 10, "startcol": 2},
    ]},
    "overlapping": {"S": [
        {"df": every_kind(8)},
        {"df": every_kind(8).iloc[:, ::-1], "startrow": 3, "startcol": 2},
        {"df": SUITE_DF, "startrow": 1, "startcol": 0, "index": True},
    ]},
    # A date column whose first cells land on datetimes already written: those
    # keep their date format, so openpyxl picks one only at the first new cell.
    "dates-over-datetimes": {"S": [
        {"df": pd.DataFrame({"when": pd.to_datetime(["2024-01-02 03:04", "2025-05-06 07:08"])})},
        {"df": pd.DataFrame({"day": [datetime.date(2024, 1, d) for d in range(1, 7)]})},
    ]},
    "same-sheet-twice": {"S": SUITE_DF, "T": [{"df": SUITE_DF2}], "U": [{"df": SUITE_DF, "startrow": 3}]},
    # names that need escaping or that openpyxl changes
    "sheet-names": {name: SUITE_DF for name in [
        "R&D", "<tag>", "O'Brien", "\u00dcnic\u00f6de \u6771\u4eac", "Sheet 1", "a" * 31, "b" * 40,
        "2024", "Sheet", "sheet", "History"]},
    "many-sheets": {f"S{i}": every_kind(3) for i in range(15)},
    # what fails, and how
    "tz-aware": {"Ok": SUITE_DF, "T": TZ_AWARE},
    "tz-in-objects": {"T": TZ_IN_OBJECTS},
    "control-character": {"C": CONTROL_CHARACTER},
    "beyond-the-last-row": {"B": [{"df": SUITE_DF2, "startrow": 1048574}]},
    "negative-startrow": {"N": [{"df": SUITE_DF, "startrow": -1}]},
    "invalid-sheet-name": {"bad/name": SUITE_DF},
}


@pytest.mark.parametrize("auto_format", [True, False], ids=["styled", "plain"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_route_writes_what_to_excel_writes(both, case, auto_format):
    route, generic = both(CASES[case], auto_format)
    # pandas' body generator never ran on the route.
    assert route.calls["_generate_body"] == 0
    if route.result and case not in ("suite-empty-items",):
        assert route.calls["_value_with_fmt"] < generic.calls["_value_with_fmt"]


@pytest.mark.parametrize("name", ["__setattr__", "__getattribute__"])
def test_objects_own_attribute_set_on_the_formatter_keeps_the_route(both, name):
    """object's own attribute, set on the class itself, is what the class
    inherits anyway: the route still runs (object keeps its attribute dict
    in the interpreter, not in the type, from Python 3.12 on)."""
    from pandas.io.formats.excel import ExcelFormatter
    assert name not in vars(ExcelFormatter)
    setattr(ExcelFormatter, name, getattr(object, name))
    try:
        route, _ = both({"S": SUITE_DF}, True)
    finally:
        delattr(ExcelFormatter, name)
    assert route.calls["_generate_body"] == 0


def test_far_offsets(both):
    # Unstyled only: the formatter would walk the whole grid from A1.
    both({"F": [{"df": SUITE_DF, "startrow": 1048573, "startcol": 16380, "index": True}]}, False)


def test_failures_are_pandas_own(both):
    route, _ = both({"Ok": SUITE_DF, "T": TZ_AWARE})
    assert route.result is False
    [(level, message)] = route.records
    assert level == "ERROR" and "Excel does not support datetimes with timezones" in message
    route, _ = both({"C": CONTROL_CHARACTER})
    assert route.records == [("ERROR", "Failed to write formatted excel to <path>: "
                              "bell\x07 cannot be used in worksheets.")]


def test_body_values_take_no_per_value_calls(both):
    frame = every_kind(50)[["int64", "float64", "bool", "text", "none", "Int64", "Float64",
                            "boolean", "category", "string", "datetime64", "dates",
                            "timedelta64", "numpy_objects"]]
    route, generic = both({"S": frame}, False)
    header = len(frame.columns)
    # The header cells, and the first value of each dated kind (datetime64,
    # dates, timedelta64) whose number format the route learns from pandas.
    assert route.calls["_value_with_fmt"] == header + 3
    assert generic.calls["_value_with_fmt"] == header + frame.size


# Text columns held in pyarrow take their values in one call (pyarrow's
# to_pylist) instead of one __iter__ step each; other pyarrow columns and
# arrays whose iteration is not pandas' own iterate as pandas does.
def arrow_column(kind, values):
    if kind == "string[pyarrow]":
        return pd.array(values, dtype="string[pyarrow]")
    if kind == "str":
        return pd.array(values, dtype=pd.StringDtype("pyarrow", na_value=np.nan))
    if kind == "large_string":
        return pd.array(values, dtype=pd.ArrowDtype(pa.large_string()))
    if kind == "chunked":
        middle = len(values) // 2
        return pd.arrays.ArrowExtensionArray(pa.chunked_array([values[:middle], values[middle:], []],
                                                              type=pa.string()))
    if kind == "subclass":
        class Iterating(type(pd.array([], dtype="string[pyarrow]"))):
            def __iter__(self):
                return iter(list(super().__iter__()))
        return Iterating(pa.chunked_array([values], type=pa.string()))
    raise AssertionError(kind)


ARROW_TEXTS = cycle(TEXTS + [None, "", None], 40)
ARROW_KINDS = {"string[pyarrow]": True, "str": True, "large_string": True, "chunked": True,
               "subclass": False}


@pytest.mark.parametrize("kind", sorted(ARROW_KINDS))
def test_arrow_text_columns(both, kind):
    if pa is None:
        pytest.skip("pyarrow is not installed")
    if kind == "str" and not hasattr(pd.StringDtype(), "na_value"):
        pytest.skip("this pandas has no str dtype with nan as its missing value")
    frame = pd.DataFrame({"t": arrow_column(kind, ARROW_TEXTS), "i": np.arange(len(ARROW_TEXTS)),
                          "stamp": pd.array(pd.date_range("2024-01-01", periods=len(ARROW_TEXTS),
                                                          freq="s"),
                                            dtype=pd.ArrowDtype(pa.timestamp("ms")))})
    route, generic = both({"S": [{"df": frame}, {"df": frame, "startrow": 50, "startcol": 2}]})
    assert route.result is True
    # The timestamps (and a header of pyarrow texts) always iterate; the
    # text column of each placement only where it is not taken in bulk.
    assert route.calls["arrow __iter__"] == generic.calls["arrow __iter__"] - (
        2 if ARROW_KINDS[kind] else 0)


# --- generated frames ------------------------------------------------------------------

CHARACTERS = st.characters(codec="utf-8", exclude_categories=["Cs"])
VALUES = st.one_of(
    st.integers(min_value=-(2 ** 70), max_value=2 ** 70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(CHARACTERS, max_size=12),
    st.booleans(),
    st.none(),
    st.sampled_from([pd.NA, pd.NaT, np.nan, "=A1", "#REF!", "<&>", "\x0b"]),
    st.datetimes(min_value=datetime.datetime(1900, 1, 1), max_value=datetime.datetime(2100, 1, 1)),
    st.dates(min_value=datetime.date(1900, 1, 1)),
    st.timedeltas(min_value=datetime.timedelta(days=-1000), max_value=datetime.timedelta(days=1000)),
)


@st.composite
def columns(draw, rows):
    kind = draw(st.sampled_from(["object", "int", "float", "bool", "datetime", "Int64", "string",
                                 "category"]))
    if kind == "int":
        return np.array(draw(st.lists(st.integers(-2 ** 63, 2 ** 63 - 1), min_size=rows, max_size=rows)),
                        dtype="int64")
    if kind == "float":
        return np.array(draw(st.lists(st.floats(), min_size=rows, max_size=rows)), dtype="float64")
    if kind == "bool":
        return np.array(draw(st.lists(st.booleans(), min_size=rows, max_size=rows)))
    if kind == "datetime":
        moments = draw(st.lists(st.one_of(st.none(), st.datetimes(
            min_value=datetime.datetime(1900, 1, 1), max_value=datetime.datetime(2200, 1, 1))),
            min_size=rows, max_size=rows))
        return pd.Series(pd.to_datetime(moments))
    if kind == "Int64":
        return pd.array(draw(st.lists(st.one_of(st.none(), st.integers(-2 ** 60, 2 ** 60)),
                                      min_size=rows, max_size=rows)), dtype="Int64")
    texts = st.one_of(st.none(), st.text(CHARACTERS.filter(lambda c: c >= " " or c in "\t\n\r"),
                                         max_size=20))
    if kind == "string":
        return pd.array(draw(st.lists(texts, min_size=rows, max_size=rows)), dtype="string")
    if kind == "category":
        return pd.Categorical(draw(st.lists(texts, min_size=rows, max_size=rows)))
    return pd.Series(draw(st.lists(VALUES, min_size=rows, max_size=rows)), dtype=object)


@st.composite
def placements(draw):
    rows = draw(st.integers(1, 8))
    width = draw(st.integers(1, 4))
    frame = pd.DataFrame({f"c{i}": draw(columns(rows)) for i in range(width)})
    return {"df": frame, "startrow": draw(st.integers(0, 6)), "startcol": draw(st.integers(0, 6)),
            "index": draw(st.booleans())}


SHEET_NAMES = st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"],
                                    exclude_characters="[]:*?/\\"), min_size=1, max_size=12)


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.dictionaries(SHEET_NAMES, st.lists(placements(), min_size=1, max_size=3),
                            min_size=1, max_size=3),
       auto_format=st.booleans())
def test_generated_frames(both, data, auto_format):
    both(data, auto_format)


# --- when the route steps aside ---------------------------------------------------------

class Subframe(pd.DataFrame):
    pass


def test_subclass_and_wrapped_pd_take_pandas_own_loop(et, caplog, tmp_path):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    out = write(et, caplog, tmp_path / "a.xlsx", {"S": Subframe(every_kind(4))}, True, False)
    assert out.calls["_generate_body"] >= 1 and out.result is True
    out = write(et, caplog, tmp_path / "b.xlsx", {"S": every_kind(4)}, True, True)
    assert out.calls["_generate_body"] >= 1 and out.result is True


@pytest.mark.parametrize("owner, name", [
    (ExcelWriter, "_value_with_fmt"),
    (ExcelFormatter, "_format_value"),
    (Cell, "_bind_value"),
    (Worksheet, "cell"),
    (sys.modules["pandas.io.formats.excel"], "is_scalar"),
    (sys.modules["openpyxl.cell.cell"], "get_type"),
])
def test_changed_library_pieces_take_their_own_loop(et, caplog, tmp_path, monkeypatch, owner, name):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    real = getattr(owner, name)
    seen = []

    def wrapped(*args, **kwargs):
        seen.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(owner, name, wrapped)
    frame = every_kind(4)[["int64", "text", "float64"]]
    out = write(et, caplog, tmp_path / "a.xlsx", {"S": frame}, False, False)
    assert out.result is True and out.calls["_generate_body"] >= 1
    # get_type runs only for types openpyxl has not met yet.
    assert len(seen) >= (0 if name == "get_type" else frame.size)


class Interrupting:
    def __str__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("generic", [False, True], ids=["route", "generic"])
def test_interrupt_in_the_body_reaches_the_caller(et, tmp_path, monkeypatch, generic):
    if generic:
        monkeypatch.setattr(et, "pd", wrapped_pandas())
    frame = pd.DataFrame({"a": np.arange(5), "b": [1, "x", Interrupting(), 2, 3]})
    with pytest.raises(KeyboardInterrupt) as caught:
        et.write_formatted_excel(str(tmp_path / "o.xlsx"), {"S": frame})
    ours = [e.lineno for e in traceback.extract_tb(caught.value.__traceback__)
            if e.filename == "vorlatek/excelTools"]
    assert ours == [272] and os.listdir(tmp_path) == []


# Sheets as written: one frame unstyled; beside a shorter frame and styled,
# small (left to the collector whole) and large (its cells freed at once),
# where the styling's walk leaves empty cells unmade.
LAYOUTS = {
    "one frame": (lambda frame: {"S": frame}, False, 50, 200),
    "side by side, styled": (
        lambda frame: {"S": [{"df": frame}, {"df": frame.head(3), "startcol": 22}]}, True, 50, 200),
    "side by side, styled, large": (
        lambda frame: {"S": [{"df": pd.DataFrame({"n": np.arange(4000), "f": np.arange(4000) / 8})},
                             {"df": frame, "startcol": 3}]}, True, 10, 5),
}


@pytest.mark.scale
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_route_keeps_no_memory(et, tmp_path, layout):
    frame = every_kind(12)
    texts = frame["text"].tolist()
    mixed = frame["mixed"].tolist()
    watched = [texts[3], texts[5], mixed[0], mixed[2], Cell, pd.NA, pd.NaT,
               openpyxl.styles.cell_style.StyleArray, pd.Timestamp]
    path = str(tmp_path / "o.xlsx")
    arrange, styled, repeat, warm_up = LAYOUTS[layout]
    data = arrange(frame)

    def write():
        assert et.write_formatted_excel(path, data, styled) is True

    write()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    route = allocation_growth(write, repeat=repeat, warm_up=warm_up)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # pandas and openpyxl keep a little per write on some versions; a value,
    # cell or row number kept per cell would show as hundreds of blocks per
    # write more (the frame has 12 x 21 cells).
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(et, "pd", wrapped_pandas())
        generic = allocation_growth(write, repeat=repeat, warm_up=warm_up)
    assert route < generic + 500
