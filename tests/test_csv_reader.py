"""read_csv_by_cells: real files in several encodings, the edge cases with
their log records, the exact library calls, propagated exceptions and leaks."""

import gc
import gzip
import logging
import math
import os
import sys
import traceback

import pandas as pd
import pytest

from helpers import (
    allocation_growth,
    assert_empty_result,
    growing_parse_cell,
    our_entries,
    records,
    table,
)

LOGGER = "vorlatek.excelTools"
QUALNAME = "vorlatek.excelTools.read_csv_by_cells"
ENCODINGS = ["utf-8-sig", "cp932", "cp950", "utf-8"]

# Every value is read as text: pandas before 3 keeps texts in object columns,
# pandas 3 in its own text dtype, shown as "str".
TEXT_DTYPE = "object" if int(pd.__version__.split(".")[0]) < 3 else "str"

# Real text in the three scripts the encodings exist for.
JAPANESE = "コード,品名,数量\nA01,東京都品川区,3\nA02,株式会社大阪,12\n"
# Big5 bytes of these words are not valid cp932, so the file is read as cp950.
CHINESE = "代號,單價,備註\nT01,訂單,臺北\nT02,單價,備註\n"
# ... while the Big5 bytes of these happen to be valid cp932 (as half-width kana).
CHINESE_CP932_LOOKALIKE = "臺北市,高雄\n"


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    return str(path)


# --- recording stand-ins for the module's names -----------------------------


class RecordingSeries:
    def __init__(self, inner, calls):
        self._inner, self._calls = inner, calls

    def reset_index(self, *args, **kwargs):
        self._calls.append(("reset_index", args, list(kwargs.items())))
        return self._inner.reset_index(*args, **kwargs)


class RecordingIloc:
    def __init__(self, inner, calls):
        self._inner, self._calls = inner, calls

    def __getitem__(self, key):
        self._calls.append(("iloc", key))
        return RecordingSeries(self._inner.iloc[key], self._calls)


class RecordingFrame:
    def __init__(self, inner, calls):
        self.inner, self._calls = inner, calls

    @property
    def empty(self):
        self._calls.append(("empty",))
        return self.inner.empty

    @property
    def columns(self):
        self._calls.append(("columns",))
        return self.inner.columns

    @property
    def iloc(self):
        return RecordingIloc(self.inner, self._calls)

    def dropna(self, *args, **kwargs):
        self._calls.append(("dropna", args, list(kwargs.items())))
        return RecordingFrame(self.inner.dropna(*args, **kwargs), self._calls)


class RecordingPandas:
    """Stands in for `pd`: records every call and hands it on to pandas."""

    errors = pd.errors

    def __init__(self, calls):
        self.calls = calls

    def read_csv(self, *args, **kwargs):
        self.calls.append(("pd.read_csv", args, list(kwargs.items())))
        return RecordingFrame(pd.read_csv(*args, **kwargs), self.calls)

    def DataFrame(self, *args, **kwargs):
        self.calls.append(("pd.DataFrame", args, list(kwargs.items())))
        return RecordingFrame(pd.DataFrame(*args, **kwargs), self.calls)


class RecordingOs:
    def __init__(self, calls):
        class Path:
            @staticmethod
            def exists(*args, **kwargs):
                calls.append(("os.path.exists", args, list(kwargs.items())))
                return os.path.exists(*args, **kwargs)

        self.path = Path


def record_everything(et):
    calls = []
    parse_cell, col_str_to_index = et.parse_cell, et.col_str_to_index

    def recording_parse_cell(*args, **kwargs):
        calls.append(("parse_cell", args, list(kwargs.items())))
        return parse_cell(*args, **kwargs)

    def recording_col_str_to_index(*args, **kwargs):
        calls.append(("col_str_to_index", args, list(kwargs.items())))
        return col_str_to_index(*args, **kwargs)

    et.pd = RecordingPandas(calls)
    et.os = RecordingOs(calls)
    et.parse_cell = recording_parse_cell
    et.col_str_to_index = recording_col_str_to_index
    return calls


def read_call(path, encoding, width=None):
    keywords = [("header", None), ("encoding", encoding), ("dtype", str)]
    if width is not None:
        keywords.append(("names", range(width)))
    return ("pd.read_csv", (path,), keywords)


@pytest.fixture(autouse=True)
def capture_warnings(caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)


# --- encodings ---------------------------------------------------------------


@pytest.mark.parametrize(
    "data, attempts, first_row",
    [
        pytest.param(
            ("\ufeff" + JAPANESE).encode("utf-8"), ["utf-8-sig"], ["コード", "品名", "数量"], id="utf8-bom"
        ),
        pytest.param(JAPANESE.encode("utf-8"), ["utf-8-sig"], ["コード", "品名", "数量"], id="utf8"),
        pytest.param(
            JAPANESE.encode("cp932"), ["utf-8-sig", "cp932"], ["コード", "品名", "数量"], id="shift-jis"
        ),
        pytest.param(
            CHINESE.encode("cp950"), ["utf-8-sig", "cp932", "cp950"], ["代號", "單價", "備註"], id="big5"
        ),
    ],
)
def test_each_encoding_is_read_by_the_first_attempt_that_decodes(et, tmp_path, caplog, data, attempts, first_row):
    path = write(tmp_path, "data.csv", data)
    calls = record_everything(et)
    result = et.read_csv_by_cells(path, {"A": "A1", "B": "B1", "C": "C1"})
    assert [c for c in calls if c[0] == "pd.read_csv"] == [read_call(path, e) for e in attempts]
    text = (JAPANESE if first_row[0] == "コード" else CHINESE).splitlines()
    expected = [line.split(",") for line in text]
    assert table(result.inner) == (
        [0, 1, 2],
        ["A", "B", "C"],
        {name: [row[k] for row in expected] for k, name in enumerate("ABC")},
    )
    assert result.inner.iloc[0].tolist() == first_row  # no byte order mark left
    assert records(caplog) == []


def test_big5_file_that_decodes_as_cp932_is_read_as_cp932(et, tmp_path, caplog):
    path = write(tmp_path, "big5.csv", CHINESE_CP932_LOOKALIKE.encode("cp950"))
    result = et.read_csv_by_cells(path, {"City": "A1", "Other": "B1"})
    raw = CHINESE_CP932_LOOKALIKE.encode("cp950").decode("cp932").strip().split(",")
    assert table(result) == ([0], ["City", "Other"], {"City": [raw[0]], "Other": [raw[1]]})
    assert raw[0] != "臺北市"
    assert records(caplog) == []


def test_file_no_encoding_decodes(et, tmp_path, caplog):
    path = write(tmp_path, "noise.csv", b"a,b\n\x81 ,c\n")
    calls = record_everything(et)
    assert_empty_result(et.read_csv_by_cells(path, {"A": "A1"}).inner)
    assert [c for c in calls if c[0] == "pd.read_csv"] == [read_call(path, e) for e in ENCODINGS]
    assert records(caplog) == [("ERROR", "Failed to read CSV or file is empty: " + path)]


# --- files the library cannot read -----------------------------------------


def library_error(path):
    with pytest.raises(Exception) as info:
        pd.read_csv(path, header=None, encoding="utf-8-sig", dtype=str)
    assert not isinstance(info.value, UnicodeDecodeError)
    return str(info.value)


@pytest.mark.parametrize(
    "data, widened_to",
    [
        pytest.param(b"", [], id="empty-file"),
        pytest.param(b"\n\n\n", [], id="blank-lines-only"),
        pytest.param(b'a,"b\nc,d\n', [], id="unclosed-quote"),
        # The first failure is a line wider than the first; the widened read
        # then meets the unclosed quote, and the first failure is reported.
        pytest.param(b'title\na,b\n"x\n', [2], id="title-then-unclosed-quote"),
    ],
)
def test_unreadable_file_logs_two_errors_and_stops_trying(et, tmp_path, caplog, data, widened_to):
    path = write(tmp_path, "bad.csv", data)
    message = library_error(path)
    calls = record_everything(et)
    assert_empty_result(et.read_csv_by_cells(path, {"A": "A1"}).inner)
    assert [c for c in calls if c[0].startswith("pd.")] == [
        read_call(path, "utf-8-sig"),
        *(read_call(path, "utf-8-sig", width) for width in widened_to),
        ("pd.DataFrame", (), []),
    ]
    assert not [c for c in calls if c[0] == "parse_cell"]
    assert records(caplog) == [
        ("ERROR", f"Error reading CSV file {path} with utf-8-sig: {message}"),
        ("ERROR", "Failed to read CSV or file is empty: " + path),
    ]


# --- a first line narrower than the table ------------------------------------

# Exports that put a title (and a blank line) above the table.
TITLED_JP = "月報 2024年5月\n\nコード,品名,数量\nA-1,ペン,3\nA-2,ノート,5\n"
TITLED_TW = "113年05月 每日收盤行情\n\n代號,品名,數量\nA-1,原子筆,3\nA-2,筆記本,5\n"
TITLED_MAPPING = {"Title": "A1", "Code": "A3", "Qty": "C3", "Far": "D1"}
TITLE_DOWN = [None, None]
FAR_OUT = [("WARNING", "Column 'D' out of bounds for Far in {path}")]


def growing_lines(widest):
    return "".join(",".join(f"{k}.{f}" for f in range(k)) + "\n" for k in range(1, widest + 1))


@pytest.mark.parametrize(
    "name, data, mapping, reads, expected, logged",
    [
        pytest.param(
            "jp.csv", TITLED_JP.encode("cp932"), TITLED_MAPPING,
            [("utf-8-sig", None), ("cp932", None), ("cp932", 3)],
            ([0, 1, 2, 3], ["Title", "Code", "Qty"],
             {"Title": ["月報 2024年5月", "コード", "A-1", "A-2"], "Code": ["A-1", "A-2", *TITLE_DOWN], "Qty": ["3", "5", *TITLE_DOWN]}),
            FAR_OUT,
            id="title-above-shift-jis-table",
        ),
        pytest.param(
            "tw.csv", TITLED_TW.encode("cp950"), TITLED_MAPPING,
            [("utf-8-sig", None), ("cp932", None), ("cp950", None), ("cp950", 3)],
            ([0, 1, 2, 3], ["Title", "Code", "Qty"],
             {"Title": ["113年05月 每日收盤行情", "代號", "A-1", "A-2"], "Code": ["A-1", "A-2", *TITLE_DOWN], "Qty": ["3", "5", *TITLE_DOWN]}),
            FAR_OUT,
            id="title-above-big5-table",
        ),
        pytest.param(
            "data.csv", b"1,2\n1,2,3,4\n", {"A": "A1", "D": "D1"},
            [("utf-8-sig", None), ("utf-8-sig", 4)],
            ([0, 1], ["A", "D"], {"A": ["1", "1"], "D": [None, "4"]}),
            [],
            id="row-longer-than-first",
        ),
        pytest.param(
            "data.csv", b"Report,,,\n\ncode,qty\nA,1\n", {"Code": "A3", "Fourth": "D1"},
            [("utf-8-sig", None)],
            ([0], ["Code", "Fourth"], {"Code": ["A"], "Fourth": [None]}),
            [],
            id="title-wider-than-table-reads-as-before",
        ),
        pytest.param(
            # Each line one field wider: pandas' count, then one counting pass.
            "data.csv", growing_lines(12).encode(), {"First": "A12", "Last": "L12", "Beyond": "M1"},
            [("utf-8-sig", None), ("utf-8-sig", 2), ("utf-8-sig", 12)],
            ([0], ["First", "Last"], {"First": ["12.0"], "Last": ["12.11"]}),
            [("WARNING", "Column 'M' out of bounds for Beyond in {path}")],
            id="every-line-wider-counted-once",
        ),
        pytest.param(
            # pandas unpacks the file, so the counting pass stays out and
            # pandas' own counts lead.
            "data.csv.gz", gzip.compress(growing_lines(4).encode()), {"Last": "D4"},
            [("utf-8-sig", None), ("utf-8-sig", 2), ("utf-8-sig", 3), ("utf-8-sig", 4)],
            ([0], ["Last"], {"Last": ["4.3"]}),
            [],
            id="compressed-file-by-pandas-counts",
        ),
        pytest.param(
            "data.csv.gz", gzip.compress(growing_lines(6).encode()), {"A": "A1"},
            [("utf-8-sig", None), *(("utf-8-sig", w) for w in (2, 3, 4, 5))],
            None,
            [("ERROR", "Error reading CSV file {path} with utf-8-sig: {first}"),
             ("ERROR", "Failed to read CSV or file is empty: {path}")],
            id="gives-up-after-four-widened-reads",
        ),
        pytest.param(
            # The width error comes early; the bytes that are no UTF-8 only
            # meet the widened read, which moves on to the next encoding.
            "data.csv", b"t\na,b\n" + b"c,d\n" * 200_000 + "\u3000,x\n".encode("cp932"), {"A": "A2"},
            [("utf-8-sig", None), ("utf-8-sig", 2), ("cp932", None), ("cp932", 2)],
            ([*range(200_002)], ["A"], {"A": ["a", *["c"] * 200_000, "\u3000"]}),
            [],
            id="decoding-error-in-widened-read-tries-next-encoding",
        ),
    ],
)
def test_first_line_narrower_than_the_table(et, tmp_path, caplog, name, data, mapping, reads, expected, logged):
    path = write(tmp_path, name, data)
    try:
        pd.read_csv(path, header=None, encoding="utf-8-sig", dtype=str)
        first = None
    except Exception as error:
        first = str(error)
    calls = record_everything(et)
    result = et.read_csv_by_cells(path, mapping)
    assert [c for c in calls if c[0] == "pd.read_csv"] == [read_call(path, e, w) for e, w in reads]
    if expected is None:
        assert_empty_result(result.inner)
    else:
        assert table(result.inner) == expected
    assert records(caplog) == [(level, text.format(path=path, first=first)) for level, text in logged]


def test_widened_table_is_pandas_reading_with_the_widest_line_first(et, tmp_path):
    # Quoting, blank lines and padding as pandas has them when the widest line
    # comes first; compared through a mapping of every column.
    body = 'a,"b,\n""b""",c\n\n  \n"x"y,z\r\n1,2,3,4,\n5\r6,7\n'
    path = write(tmp_path, "data.csv", "Title\n" + body)
    widest_first = write(tmp_path, "first.csv", ",,,,\nTitle\n" + body)
    mapping = {letter: letter + "1" for letter in "ABCDE"}
    expected = et.read_csv_by_cells(widest_first, {letter: letter + "2" for letter in "ABCDE"})
    pd.testing.assert_frame_equal(et.read_csv_by_cells(path, mapping), expected)


def test_missing_file(et, tmp_path, caplog):
    path = str(tmp_path / "absent.csv")
    calls = record_everything(et)
    assert_empty_result(et.read_csv_by_cells(path, {"Bad": "0A", "A": "A1"}).inner)
    assert calls == [("os.path.exists", (path,), []), ("pd.DataFrame", (), [])]
    assert records(caplog) == [("WARNING", "CSV file not found: " + path)]


def test_empty_table_is_reported(et, tmp_path, caplog):
    path = write(tmp_path, "x.csv", "1\n")

    class EmptyReadPandas:
        DataFrame = pd.DataFrame

        @staticmethod
        def read_csv(*args, **kwargs):
            return pd.DataFrame(columns=[0])

    et.pd = EmptyReadPandas
    assert_empty_result(et.read_csv_by_cells(path, {"A": "A1"}))
    assert records(caplog) == [("ERROR", "Failed to read CSV or file is empty: " + path)]


# --- cutting the columns -----------------------------------------------------

TEN_ROWS = "".join(f"a{r},b{r},{r:03d}\n" for r in range(1, 11))
A2_TO_A10 = [f"a{r}" for r in range(2, 11)]


@pytest.mark.parametrize(
    "data, mapping, expected, logged",
    [
        pytest.param(
            TEN_ROWS,
            {"Code": "A2", "Qty": "C5"},
            (list(range(9)), ["Code", "Qty"], {"Code": A2_TO_A10, "Qty": [f"{r:03d}" for r in range(5, 11)] + [None] * 3}),
            [],
            id="own-start-rows-aligned-at-top",
        ),
        pytest.param(
            TEN_ROWS,
            {"Code": "A2", "Far": "D1"},
            ([*range(9)], ["Code"], {"Code": A2_TO_A10}),
            [("WARNING", "Column 'D' out of bounds for Far in {path}")],
            id="column-beyond-width",
        ),
        pytest.param(
            TEN_ROWS,
            {"Low": "B11"},
            ([], ["Low"], {"Low": []}),
            [],
            id="row-below-table-only-column",
        ),
        pytest.param(
            TEN_ROWS,
            {"Code": "A9", "Low": "B20"},
            ([0, 1], ["Code", "Low"], {"Code": ["a9", "a10"], "Low": [None, None]}),
            [],
            id="row-below-table-beside-another",
        ),
        pytest.param(
            TEN_ROWS,
            {"Bad": "A0", "Code": "a9"},
            ([0, 1], ["Code"], {"Code": ["a9", "a10"]}),
            [("WARNING", "Invalid cell format 'A0' for column Bad")],
            id="row-zero-and-lower-case",
        ),
        pytest.param(
            TEN_ROWS,
            {"Bad": "0A", 7: None, "Num": 5, "Far": "AA1"},
            None,
            [
                ("WARNING", "Invalid cell format '0A' for column Bad"),
                ("WARNING", "Invalid cell format 'None' for column 7"),
                ("WARNING", "Invalid cell format '5' for column Num"),
                ("WARNING", "Column 'AA' out of bounds for Far in {path}"),
            ],
            id="nothing-cut-no-extra-message",
        ),
        pytest.param(TEN_ROWS, {}, None, [], id="empty-mapping"),
        pytest.param(
            TEN_ROWS,
            {"One": "B9", "Two": "B9", "Three": "b10"},
            ([0, 1], ["One", "Two", "Three"], {"One": ["b9", "b10"], "Two": ["b9", "b10"], "Three": ["b10", None]}),
            [],
            id="same-cell-and-column-twice",
        ),
        pytest.param(
            "x,,\n,,\n,1,\n,,\n2,,\n",
            {"A": "A1", "B": "B1"},
            ([0, 2, 4], ["A", "B"], {"A": ["x", None, "2"], "B": [None, "1", None]}),
            [],
            id="all-empty-rows-dropped-labels-kept",
        ),
        pytest.param(
            "id,name,amount\n007,x,0012\n",
            {"Id": "A2", "Amount": "C2"},
            ([0], ["Id", "Amount"], {"Id": ["007"], "Amount": ["0012"]}),
            [],
            id="numbers-stay-text",
        ),
        pytest.param(
            "1,2,3\n4,5\n6\n",
            {"Third": "C1", "First": "A1"},
            ([0, 1, 2], ["Third", "First"], {"Third": ["3", None, None], "First": ["1", "4", "6"]}),
            [],
            id="ragged-rows-shorter-than-column",
        ),
        pytest.param(
            "1,2\n3,4\n",
            {"Third": "C1", "First": "A1"},
            ([0, 1], ["First"], {"First": ["1", "3"]}),
            [("WARNING", "Column 'C' out of bounds for Third in {path}")],
            id="every-row-shorter-than-column",
        ),
    ],
)
def test_columns_cut_by_cell(et, tmp_path, caplog, data, mapping, expected, logged):
    path = write(tmp_path, "data.csv", data)
    result = et.read_csv_by_cells(path, mapping)
    if expected is None:
        assert_empty_result(result)
    else:
        assert table(result) == expected
        assert [str(dtype) for dtype in result.dtypes] == [TEXT_DTYPE] * len(result.columns)
        # Both pandas versions mark a missing text with NaN (not None or pd.NA).
        assert all(isinstance(v, str) or (isinstance(v, float) and math.isnan(v))
                   for c in result.columns for v in result[c])
    assert records(caplog) == [(level, message.format(path=path)) for level, message in logged]


# --- the exact calls ---------------------------------------------------------


def test_exact_library_calls_and_mapping_untouched(et, tmp_path):
    path = write(tmp_path, "jp.csv", (JAPANESE + "A03,,\n,,\n").encode("cp932"))
    mapping = {"Code": "A2", "Qty": "c3", "Bad": "A0", "Far": "D1"}
    snapshot = list(mapping.items())
    calls = record_everything(et)
    result = et.read_csv_by_cells(path, mapping)
    cut = [slice(1, None, None), slice(2, None, None)]
    assert calls == [
        ("os.path.exists", (path,), []),
        read_call(path, "utf-8-sig"),
        read_call(path, "cp932"),
        ("empty",),
        ("parse_cell", ("A2",), []),
        ("col_str_to_index", ("A",), []),
        ("columns",),
        ("iloc", (cut[0], 0)),
        ("reset_index", (), [("drop", True)]),
        ("parse_cell", ("c3",), []),
        ("col_str_to_index", ("C",), []),
        ("columns",),
        ("iloc", (cut[1], 2)),
        ("reset_index", (), [("drop", True)]),
        ("parse_cell", ("A0",), []),
        ("parse_cell", ("D1",), []),
        ("col_str_to_index", ("D",), []),
        ("columns",),
        ("pd.DataFrame", (calls[-2][1][0],), []),
        ("dropna", (), [("how", "all")]),
    ]
    assembled = calls[-2][1][0]
    assert type(assembled) is dict and list(assembled) == ["Code", "Qty"]
    assert type(calls[7][1][0].start) is int and type(calls[7][1][1]) is int
    assert calls[2][2][2][1] is str
    assert table(result.inner) == ([0, 1, 2], ["Code", "Qty"], {"Code": ["A01", "A02", "A03"], "Qty": ["12", None, None]})
    assert list(mapping.items()) == snapshot


def test_module_names_are_looked_up_at_each_use(et, tmp_path, caplog):
    path = write(tmp_path, "data.csv", TEN_ROWS)
    et.parse_cell = lambda cell: ("B", 10)
    et.col_str_to_index = lambda letters: 0
    assert table(et.read_csv_by_cells(path, {"X": "C3"})) == ([0], ["X"], {"X": ["a10"]})

    class QuietLog:
        messages = []

        def warning(self, message):
            self.messages.append(message)

    et.log = QuietLog()
    et.os = type("FakeOs", (), {"path": type("P", (), {"exists": staticmethod(lambda p: False)})})
    assert_empty_result(et.read_csv_by_cells(path, {}))
    assert QuietLog.messages == ["CSV file not found: " + path]
    assert records(caplog) == []


# --- exceptions ---------------------------------------------------------------


def raising(exc):
    def fake(*args, **kwargs):
        raise exc

    return fake


@pytest.mark.parametrize(
    "rebind, error, text, line",
    [
        pytest.param(lambda et, m: setattr(et, "parse_cell", raising(ZeroDivisionError("p"))), ZeroDivisionError, "p", 105, id="parse_cell-raises"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", lambda c: ("A", 1, 2)), ValueError, "too many values to unpack (expected 2)", 105, id="parse_cell-three-values"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", growing_parse_cell(m)), RuntimeError, "dictionary changed size during iteration", 104, id="mapping-grows"),
        pytest.param(lambda et, m: setattr(et, "col_str_to_index", raising(KeyError("c"))), KeyError, "'c'", 107, id="col_str_to_index-raises"),
        pytest.param(lambda et, m: setattr(et, "col_str_to_index", lambda s: "x"), TypeError, None, 109, id="index-not-comparable"),
        pytest.param(lambda et, m: setattr(et, "parse_cell", lambda c: ("A", "1")), TypeError, None, 111, id="row-not-a-number"),
        pytest.param(lambda et, m: setattr(et, "os", None), AttributeError, None, 80, id="os-rebound"),
    ],
)
def test_exceptions_outside_the_read_propagate_with_their_line(et, tmp_path, caplog, rebind, error, text, line):
    path = write(tmp_path, "data.csv", TEN_ROWS)
    mapping = {"Code": "A2", "Qty": "B3"}
    rebind(et, mapping)
    with pytest.raises(error) as info:
        et.read_csv_by_cells(path, mapping)
    if text is not None:
        assert str(info.value) == text
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, line)]
    assert records(caplog) == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()], ids=type)
def test_exception_not_derived_from_exception_leaves_the_read(et, tmp_path, caplog, exc):
    path = write(tmp_path, "data.csv", TEN_ROWS)
    et.pd = type("P", (), {"read_csv": staticmethod(raising(exc)), "DataFrame": pd.DataFrame})
    with pytest.raises(type(exc)) as info:
        et.read_csv_by_cells(path, {"A": "A1"})
    assert info.value is exc
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, 90)]
    assert records(caplog) == []


def test_missing_pd_is_reported_by_the_read_then_raised_by_the_empty_result(et, tmp_path, caplog):
    path = write(tmp_path, "data.csv", TEN_ROWS)
    del et.pd
    with pytest.raises(NameError, match="name 'pd' is not defined") as info:
        et.read_csv_by_cells(path, {"A": "A1"})
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, 100)]
    assert records(caplog) == [
        ("ERROR", f"Error reading CSV file {path} with utf-8-sig: name 'pd' is not defined"),
        ("ERROR", "Failed to read CSV or file is empty: " + path),
    ]


def test_read_handler_runs_like_an_except_block(et, tmp_path):
    path = write(tmp_path, "data.csv", TEN_ROWS)
    failure = OSError("disk gone")
    seen = []

    class FailingLog:
        def error(self, message):
            seen.append((message, sys.exc_info()[1]))
            raise LookupError("logger broke")

    et.pd = type("P", (), {"read_csv": staticmethod(raising(failure)), "DataFrame": pd.DataFrame})
    et.log = FailingLog()
    outer = ValueError("caller's own")
    try:
        raise outer
    except ValueError:
        with pytest.raises(LookupError) as info:
            et.read_csv_by_cells(path, {"A": "A1"})
        assert sys.exc_info()[1] is outer
    assert seen == [(f"Error reading CSV file {path} with utf-8-sig: disk gone", failure)]
    assert info.value.__context__ is failure
    assert our_entries(info.value) == [("vorlatek/excelTools", QUALNAME, 95)]


# --- references -----------------------------------------------------------------


class SilentLog:
    def warning(self, message):
        pass

    def error(self, message):
        pass


class StandInTable:
    """Just enough of a DataFrame for the reader, with no caches of its own
    (pandas keeps some memory per call that would hide or fake a leak)."""

    empty = False
    columns = ("first", "second", "third")

    def __init__(self, *args):
        self.iloc = self

    def __getitem__(self, key):
        return self

    def reset_index(self, drop):
        return self

    def dropna(self, how):
        return self


@pytest.mark.scale
def test_no_references_leak(et, tmp_path):
    good = write(tmp_path, "good.csv", JAPANESE.encode("cp932"))
    bad = write(tmp_path, "bad.csv", b"1,2\n1,2,3,4\n")
    missing = str(tmp_path / "missing.csv")
    # Files whose first line is narrower: widened once; widened after a
    # counting pass; widened until the reader gives up; widened into a
    # decoding error.
    lines = b"a\nb,c\nd,e,f\n"
    widest = {
        write(tmp_path, "titled.csv", lines): 2,
        write(tmp_path, "growing.csv", lines): 3,
        write(tmp_path, "ever_wider.csv", lines): 10**6,
        write(tmp_path, "decodes_late.csv", lines): 2,
    }

    class StandInPandas:
        DataFrame = StandInTable
        errors = pd.errors

        @staticmethod
        def read_csv(path, header, encoding, dtype, names=None):
            if path == bad:
                raise ValueError("cannot parse")
            if encoding == "utf-8-sig":
                raise UnicodeDecodeError("utf-8", b"\x81", 0, 1, "invalid start byte")
            if path in widest:
                width = 1 if names is None else len(names)
                if width < widest[path]:
                    raise pd.errors.ParserError(f"C error: Expected {width} fields in line 3, saw {width + 1}\n")
                if path.endswith("decodes_late.csv") and encoding == "cp932":
                    raise UnicodeDecodeError("cp932", b"\x81", 0, 1, "incomplete multibyte sequence")
            return StandInTable()

    et.pd = StandInPandas
    et.log = SilentLog()
    original = et.parse_cell
    et.parse_cell = lambda cell: original(cell) if cell != "B" else 1 / 0
    mapping = {"Code": "A2", "Qty": "c3", "Bad": "A0", "Far": "D1"}

    def every_path():
        et.read_csv_by_cells(good, mapping)
        et.read_csv_by_cells(bad, mapping)
        et.read_csv_by_cells(missing, mapping)
        for path in widest:
            et.read_csv_by_cells(path, mapping)
        try:
            et.read_csv_by_cells(good, {"x": "A1", 3: "B"})
        except ZeroDivisionError:
            pass

    assert allocation_growth(every_path) < 100
