"""format_excel_sheet: header band, body styling, borders, widths, and the exact calls."""
import copy
import datetime
import gc
import random
import struct
import sys
import traceback

import openpyxl
import pytest
from openpyxl.utils import get_column_letter

MODULE_FILE = "vorlatek/excelTools"
QUALNAME = "vorlatek.excelTools.format_excel_sheet"


def sheet_with(rows):
    workbook = openpyxl.Workbook()
    sheet = workbook.active
    for r, row in enumerate(rows, start=1):
        for c, value in enumerate(row, start=1):
            if value is not None:
                sheet.cell(row=r, column=c, value=value)
    return sheet


def is_header_styled(cell):
    return (cell.font.name == "Arial" and cell.font.b is True and cell.font.color.rgb == "00FFFFFF"
            and cell.font.sz is None and cell.fill.fill_type == "solid"
            and cell.fill.start_color.rgb == "004F81BD" and cell.fill.end_color.rgb == "004F81BD")


def is_body_styled(cell):
    return (cell.font.name == "Arial" and not cell.font.b and cell.font.sz == 11
            and cell.fill.fill_type is None)


def is_framed_and_centred(cell):
    sides = (cell.border.left, cell.border.right, cell.border.top, cell.border.bottom)
    return (all(side.style == "thin" for side in sides)
            and cell.alignment.horizontal == "center" and cell.alignment.vertical == "center")


def is_untouched(cell):
    return not cell.has_style


# --- real worksheets ---------------------------------------------------------

def test_header_band_has_gaps_where_cells_are_empty(et):
    sheet = sheet_with([["Code", None, "Amount"], ["A1", 5, None], [None, 0, 7]])
    assert et.format_excel_sheet(sheet) is None
    assert is_header_styled(sheet["A1"]) and is_framed_and_centred(sheet["A1"])
    assert is_header_styled(sheet["C1"]) and is_framed_and_centred(sheet["C1"])
    assert is_untouched(sheet["B1"])
    for ref in ("A2", "B2", "B3", "C3"):
        cell = sheet[ref]
        assert is_body_styled(cell) and is_framed_and_centred(cell), ref
    # The border grid has holes where values are None.
    assert is_untouched(sheet["C2"]) and is_untouched(sheet["A3"])


@pytest.mark.parametrize("falsy", [0, False, ""], ids=["zero", "false", "empty-text"])
def test_falsy_values_are_styled_but_not_measured(et, falsy):
    sheet = sheet_with([["h"], [falsy]])
    et.format_excel_sheet(sheet)
    cell = sheet["A2"]
    # openpyxl keeps "" as a value: it is not None, so it is styled.
    assert cell.value == falsy
    assert is_body_styled(cell) and is_framed_and_centred(cell)
    assert sheet.column_dimensions["A"].width == 1 + 3


@pytest.mark.parametrize(
    "values, width",
    [
        (["x" * 40], 43),
        (["x" * 500], 503),                # no cap
        (["東" * 10], 13),                  # characters, not display width
        ([3.5], 6),                         # text form of the number
        (["ab", "abcd", "abc"], 7),         # the longest wins, header included
        ([0, False, ""], 3),                # nothing true: smallest width
        ([12345, "xy"], 8),
        ([1e16, 0.001], 8),                 # "1e+16": exponent form past 16 digits
        ([-0.0, 0.0, float("nan")], 6),     # zeros are false, nan is "nan"
        ([datetime.datetime(2024, 1, 2)], 22),
        ([datetime.datetime(2024, 1, 2, 3, 4, 5, 6)], 29),
        ([datetime.date(2024, 1, 2), datetime.time(0, 0)], 13),   # a time is true
        ([datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc)], 28),
    ],
)
def test_column_width_is_longest_text_plus_three(et, values, width):
    sheet = sheet_with([[v] for v in values])
    et.format_excel_sheet(sheet)
    assert sheet.column_dimensions["A"].width == width


def random_floats(count):
    rng = random.Random(7)
    values = [5e-324, 1.7976931348623157e308, 1e15, 9999999999999998.0, 1e-05, 1 / 3, 1e22]
    while len(values) < count:
        values.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
        values.append(rng.randint(-10**6, 10**6) * 10.0 ** rng.randint(-25, 25))
        values.append(round(rng.uniform(-1e4, 1e4), rng.randint(0, 6)))
    return values


def dates_and_times():
    return [datetime.datetime(1, 1, 1, 0, 0, 0, 1), datetime.datetime(9999, 12, 31, 23, 59, 59),
            datetime.time(23, 59, 59, 999999), datetime.time(1, 2, tzinfo=datetime.timezone.utc),
            datetime.date(1, 1, 1), datetime.timedelta(days=-1, seconds=5)]


@pytest.mark.parametrize("values", [random_floats(3000), dates_and_times()],
                         ids=["floats", "dates"])
def test_each_width_counts_the_text_str_gives(et, values):
    sheet = sheet_with([values])
    et.format_excel_sheet(sheet)
    widths = [sheet.column_dimensions[get_column_letter(c)].width for c in range(1, len(values) + 1)]
    assert widths == [(len(str(v)) if v else 0) + 3 for v in values]


def test_widths_of_several_columns(et):
    sheet = sheet_with([["Name", "A much longer header", None],
                        ["Tokyo Station", 1, None],
                        [None, 22, "z"]])
    et.format_excel_sheet(sheet)
    widths = {letter: sheet.column_dimensions[letter].width for letter in "ABC"}
    assert widths == {"A": 16, "B": 23, "C": 4}


def test_only_first_yielded_row_is_header_when_tables_are_stacked(et):
    sheet = sheet_with([["top", "table"], [1, 2], [None, None], ["lower", "header"], [3, 4]])
    et.format_excel_sheet(sheet)
    assert is_header_styled(sheet["A1"])
    assert is_body_styled(sheet["A4"]) and is_framed_and_centred(sheet["A4"])


def test_formatting_twice_equals_formatting_once(et):
    rows = [["Code", "Name", None], ["A", "東京", 1.5], [None, "x" * 12, 0]]
    once, twice = sheet_with(rows), sheet_with(rows)
    et.format_excel_sheet(once)
    et.format_excel_sheet(twice)
    et.format_excel_sheet(twice)

    def snapshot(sheet):
        cells = {c.coordinate: [copy.copy(style) for style in (c.font, c.fill, c.border,
                                                                c.alignment)]
                 for row in sheet.iter_rows() for c in row}
        widths = {k: d.width for k, d in sheet.column_dimensions.items()}
        return cells, widths

    assert snapshot(once) == snapshot(twice)


def test_empty_sheet_is_left_alone(et):
    sheet = openpyxl.Workbook().active
    et.format_excel_sheet(sheet)
    assert sheet.max_row == 1 and is_untouched(sheet["A1"])


def test_repeated_calls_do_not_leak(et):
    sheet = sheet_with([["a", "b"], [1, None], ["xyz", 2.5]])
    for _ in range(200):
        et.format_excel_sheet(sheet)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        et.format_excel_sheet(sheet)
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


# --- recording fakes -----------------------------------------------------------

class Events(list):
    pass


class FakeCell:
    def __init__(self, events, name, value, column=1):
        self._events, self._name, self._value, self._column = events, name, value, column

    @property
    def value(self):
        self._events.append(("value", self._name))
        if isinstance(self._value, BaseException):
            raise self._value
        return self._value

    @property
    def column(self):
        self._events.append(("column", self._name))
        return self._column

    def __setattr__(self, attr, obj):
        if attr in ("font", "fill", "alignment", "border"):
            self._events.append((attr, self._name, obj))
        object.__setattr__(self, attr, obj)


class FakeDimension:
    def __init__(self, events, letter):
        object.__setattr__(self, "_events", events)
        object.__setattr__(self, "_letter", letter)

    def __setattr__(self, attr, value):
        self._events.append((attr, self._letter, value))


class FakeDimensions:
    def __init__(self, events):
        self._events = events

    def __getitem__(self, letter):
        self._events.append(("dimension", letter))
        return FakeDimension(self._events, letter)


class FakeSheet:
    """Rows of FakeCell; columns are the transposed rows."""

    def __init__(self, events, grid):
        self.events = events
        self.rows = [[FakeCell(events, f"{r}{c}", v, column=c + 1) for c, v in enumerate(row)]
                     for r, row in enumerate(grid)]
        self.column_dimensions = FakeDimensions(events)

    def iter_rows(self, *args, **kwargs):
        self.events.append(("iter_rows", args, kwargs))
        return iter(self.rows)

    @property
    def columns(self):
        self.events.append(("columns",))
        return tuple(zip(*self.rows))


def recording_styles(et, calls):
    """Rebinds the style classes and get_column_letter to recorders."""
    def make(name):
        def factory(*args, **kwargs):
            obj = (name, len(calls))
            calls.append((name, args, list(kwargs.items())))
            return obj
        return factory

    for name in ("Font", "PatternFill", "Border", "Side", "Alignment"):
        setattr(et, name, make(name))

    def letter(number):
        calls.append(("get_column_letter", (number,), []))
        return get_column_letter(number)

    et.get_column_letter = letter


def test_style_objects_are_made_once_with_exact_keywords(et):
    calls = []
    recording_styles(et, calls)
    events = Events()
    et.format_excel_sheet(FakeSheet(events, [["h1", "h2"], ["a", None]]))
    styles = [c for c in calls if c[0] != "get_column_letter"]
    sides = [("Side", i) for i in range(4, 8)]
    assert styles == [
        ("Font", (), [("name", "Arial"), ("bold", True), ("color", "FFFFFF")]),
        ("PatternFill", (), [("start_color", "4F81BD"), ("end_color", "4F81BD"),
                             ("fill_type", "solid")]),
        ("Font", (), [("name", "Arial"), ("size", 11)]),
        ("Alignment", (), [("horizontal", "center"), ("vertical", "center")]),
        ("Side", (), [("style", "thin")]),
        ("Side", (), [("style", "thin")]),
        ("Side", (), [("style", "thin")]),
        ("Side", (), [("style", "thin")]),
        ("Border", (), [("left", sides[0]), ("right", sides[1]), ("top", sides[2]),
                        ("bottom", sides[3])]),
    ]
    assert type(styles[0][2][1][1]) is bool and type(styles[2][2][1][1]) is int
    assert [c for c in calls if c[0] == "get_column_letter"] == [
        ("get_column_letter", (1,), []), ("get_column_letter", (2,), [])]


def test_exact_operation_order_on_a_fake_sheet(et):
    calls = []
    recording_styles(et, calls)
    events = Events()
    # Row 0 is the header; "b" is longer than "a" (three reads), "" is false
    # (one read), "z" is true but not longer (two reads).
    et.format_excel_sheet(FakeSheet(events, [["a", None], ["bb", ""], ["z", 0]]))
    header_font, header_fill, cell_font, centre, border = (
        ("Font", 0), ("PatternFill", 1), ("Font", 2), ("Alignment", 3), ("Border", 8))
    assert events == [
        ("iter_rows", (), {}),
        ("value", "00"), ("font", "00", header_font), ("fill", "00", header_fill),
        ("alignment", "00", centre), ("border", "00", border),
        ("value", "01"),
        ("value", "10"), ("font", "10", cell_font), ("alignment", "10", centre),
        ("border", "10", border),
        ("value", "11"), ("font", "11", cell_font), ("alignment", "11", centre),
        ("border", "11", border),
        ("value", "20"), ("font", "20", cell_font), ("alignment", "20", centre),
        ("border", "20", border),
        ("value", "21"), ("font", "21", cell_font), ("alignment", "21", centre),
        ("border", "21", border),
        ("columns",),
        ("column", "00"),
        ("value", "00"), ("value", "00"), ("value", "00"),
        ("value", "10"), ("value", "10"), ("value", "10"),
        ("value", "20"), ("value", "20"),
        ("dimension", "A"), ("width", "A", 5),
        ("column", "01"),
        ("value", "01"), ("value", "11"), ("value", "21"),
        ("dimension", "B"), ("width", "B", 3),
    ]


class Awkward:
    """A true value whose text form, or truth test, raises."""

    def __init__(self, error, where):
        self.error, self.where = error, where

    def __bool__(self):
        if self.where == "bool":
            raise self.error
        return True

    def __str__(self):
        raise self.error


@pytest.mark.parametrize("where", ["str", "bool"])
@pytest.mark.parametrize("error", [ValueError("no text"), KeyboardInterrupt(), SystemExit(3)],
                         ids=["value-error", "keyboard-interrupt", "system-exit"])
def test_measurement_guard_swallows_every_exception(et, error, where):
    events = Events()
    sheet = FakeSheet(events, [["abcd"], [Awkward(error, where)], ["abcdefg"], ["x"]])
    et.format_excel_sheet(sheet)
    assert events[-1] == ("width", "A", 10)


def test_value_read_failure_in_width_pass_is_swallowed(et):
    class FlakyCell(FakeCell):
        reads = 0

        @property
        def value(self):
            FlakyCell.reads += 1
            if FlakyCell.reads > 1:
                raise KeyboardInterrupt
            return "a very long text indeed"

    events = Events()
    sheet = FakeSheet(events, [["ab"]])
    sheet.rows[0][0].__class__ = FlakyCell
    et.format_excel_sheet(sheet)
    assert events[-1] == ("width", "A", 3)


def test_width_is_a_plain_int(et):
    events = Events()
    et.format_excel_sheet(FakeSheet(events, [["abc"]]))
    width = events[-1][2]
    assert type(width) is int and width == 6


def test_module_names_are_looked_up_at_each_call(et):
    events = Events()
    et.format_excel_sheet(FakeSheet(events, [["a"]]))
    calls = []
    recording_styles(et, calls)
    et.format_excel_sheet(FakeSheet(events, [["a"]]))
    assert [c[0] for c in calls][:4] == ["Font", "PatternFill", "Font", "Alignment"]


# --- failures propagate with the statement's line --------------------------------

def failing_style(et, name, on_call=1):
    original = getattr(et, name)
    count = [0]

    def wrapper(*args, **kwargs):
        count[0] += 1
        if count[0] == on_call:
            raise LookupError(f"{name} failed")
        return original(*args, **kwargs)

    setattr(et, name, wrapper)


class FailingRows(FakeSheet):
    def iter_rows(self):
        yield self.rows[0]
        raise LookupError("rows failed")


class FailingColumn(FakeSheet):
    @property
    def columns(self):
        def column():
            yield self.rows[0][0]
            raise LookupError("column failed")
        return [ListWithFirst(column(), self.rows[0][0])]


class ListWithFirst:
    def __init__(self, iterator, first):
        self.iterator, self.first = iterator, first

    def __getitem__(self, index):
        return self.first

    def __iter__(self):
        return self.iterator


def fail_cell_attribute(attr, row=0):
    def arrange(et, sheet):
        cell = sheet.rows[row][0]

        def refuse(self, name, value, _cell=cell):
            if self is _cell and name == attr:
                raise LookupError(f"{attr} refused")
            object.__setattr__(self, name, value)

        FakeCellRefusing = type("FakeCellRefusing", (FakeCell,), {"__setattr__": refuse})
        cell.__class__ = FakeCellRefusing
    return arrange


def fail_dimensions(kind):
    def arrange(et, sheet):
        if kind == "lookup":
            def broken(letter):
                raise LookupError("no dimension")
            sheet.column_dimensions = type("D", (), {"__getitem__": lambda s, k: broken(k)})()
        else:
            class Refusing:
                def __setattr__(self, name, value):
                    raise LookupError("width refused")
            sheet.column_dimensions = type("D", (), {"__getitem__": lambda s, k: Refusing()})()
    return arrange


def remove(name):
    def arrange(et, sheet):
        delattr(et, name)
    return arrange


def style_fails(name, on_call=1):
    def arrange(et, sheet):
        failing_style(et, name, on_call)
    return arrange


def value_fails(et, sheet):
    sheet.rows[1][0]._value = LookupError("value failed")


def columns_fail(et, sheet):
    type(sheet).columns = property(lambda s: (_ for _ in ()).throw(LookupError("no columns")))


def empty_column(et, sheet):
    type(sheet).columns = property(lambda s: [()])


def letter_fails(et, sheet):
    def broken(number):
        raise LookupError("no letter")
    et.get_column_letter = broken


@pytest.mark.parametrize(
    "arrange, sheet_class, error, line",
    [
        (remove("Font"), FakeSheet, NameError, 210),
        (style_fails("PatternFill"), FakeSheet, LookupError, 211),
        (style_fails("Font", on_call=2), FakeSheet, LookupError, 212),
        (style_fails("Alignment"), FakeSheet, LookupError, 213),
        (remove("Border"), FakeSheet, NameError, 214),
        (style_fails("Side", on_call=2), FakeSheet, LookupError, 215),
        (style_fails("Side", on_call=3), FakeSheet, LookupError, 216),
        (style_fails("Side", on_call=4), FakeSheet, LookupError, 216),
        (style_fails("Border"), FakeSheet, LookupError, 214),
        (lambda et, sheet: None, FailingRows, LookupError, 220),
        (value_fails, FakeSheet, LookupError, 222),
        (fail_cell_attribute("font"), FakeSheet, LookupError, 225),
        (fail_cell_attribute("fill"), FakeSheet, LookupError, 226),
        (fail_cell_attribute("font", row=1), FakeSheet, LookupError, 228),
        (fail_cell_attribute("alignment"), FakeSheet, LookupError, 230),
        (fail_cell_attribute("border"), FakeSheet, LookupError, 231),
        (columns_fail, type("S", (FakeSheet,), {}), LookupError, 234),
        (empty_column, type("S", (FakeSheet,), {}), IndexError, 236),
        (letter_fails, FakeSheet, LookupError, 236),
        (remove("get_column_letter"), FakeSheet, NameError, 236),
        (lambda et, sheet: None, FailingColumn, LookupError, 237),
        (fail_dimensions("lookup"), FakeSheet, LookupError, 244),
        (fail_dimensions("width"), FakeSheet, LookupError, 244),
    ],
)
def test_failures_propagate_with_the_failing_line(et, arrange, sheet_class, error, line):
    sheet = sheet_class(Events(), [["a"], ["b"]])
    arrange(et, sheet)
    with pytest.raises(error) as caught:
        et.format_excel_sheet(sheet)
    ours = [entry for entry in traceback.extract_tb(caught.value.__traceback__)
            if entry.filename == MODULE_FILE]
    assert [(entry.name, entry.lineno) for entry in ours] == [(QUALNAME, line)]


def test_missing_border_is_reported_before_any_side_is_made(et):
    calls = []
    recording_styles(et, calls)
    del et.Border
    with pytest.raises(NameError, match="name 'Border' is not defined"):
        et.format_excel_sheet(FakeSheet(Events(), [["a"]]))
    assert [c[0] for c in calls] == ["Font", "PatternFill", "Font", "Alignment"]


def test_styles_already_applied_stay_when_a_later_cell_fails(et):
    events = Events()
    sheet = FakeSheet(events, [["a"], ["b"], ["c"]])
    sheet.rows[2][0]._value = LookupError("bad cell")
    with pytest.raises(LookupError):
        et.format_excel_sheet(sheet)
    assert [e[0] for e in events if e[0] in ("font", "fill")] == ["font", "fill", "font"]
