"""format_excel_sheet's direct route against the public-assignment route.

The fuzzer's bytes become a recipe: values and gaps, merged ranges, cells
styled beforehand, a second sheet, and the irregular pieces the direct route
must hand to the public assignments (cell subclasses, a cell of another sheet,
odd style arrays, odd keys, values whose text conversion raises or changes the
sheet). The recipe is built twice; one copy is formatted as the module does by
default, the other with the module's Font bound to a wrapper, which forces
the public assignments. Both must end alike: the same exception or none, the
same cells with the same raw style arrays and styles, the same style
collections and the same column widths.
"""
import copy
import datetime
import decimal
import io

import atheris
import openpyxl
from openpyxl.cell.cell import Cell, MergedCell
from openpyxl.styles import Alignment, Border, Font, PatternFill, Protection, Side
from openpyxl.styles.cell_style import StyleArray

import vorlatek.excelTools as et

from common import expect, run, shaped_text

GENUINE_FONT = et.Font
COLLECTIONS = ("_fonts", "_fills", "_borders", "_alignments", "_number_formats", "_protections")
VALUES = [0, 0.0, False, True, "", "x", "Code", "  padded  ", 12345, -7, 3.5, 1e-7, 10 ** 15,
          "東京都千代田区", "x" * 60, datetime.date(2024, 2, 29),
          datetime.datetime(2023, 12, 31, 23, 59), datetime.time(12, 30),
          decimal.Decimal("1.10"), "=SUM(A1:A2)", "😀", -0.0, float("nan"), float("-inf"), 1e16,
          5e-324, datetime.datetime(1, 1, 1, 0, 0, 0, 1),
          datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc),
          datetime.time(1, 2, tzinfo=datetime.timezone(datetime.timedelta(hours=9)))]
PRE_STYLES = [
    ("font", Font(name="Arial", size=11)), ("font", Font(name="Arial", bold=True, color="FFFFFF")),
    ("font", Font(name="Courier", italic=True)),
    ("fill", PatternFill(fill_type="solid", start_color="FF0000")),
    ("fill", PatternFill(start_color="4F81BD", end_color="4F81BD", fill_type="solid")),
    ("border", Border(top=Side(style="double"))),
    ("alignment", Alignment(horizontal="center", vertical="center")),
    ("alignment", Alignment(wrap_text=True)),
    ("number_format", "0.00%"), ("protection", Protection(locked=False)),
]


def genuine_font(**kwargs):
    return GENUINE_FONT(**kwargs)


class PlainCellSubclass(Cell):
    __slots__ = ()


class Two(int):
    pass


class CellDict(dict):
    pass


class Awkward:
    """A cell value whose text conversion raises, is long, or changes the sheet."""

    def __init__(self, sheet, mode, row, column):
        self.sheet, self.mode, self.row, self.column = sheet, mode, row, column

    def __str__(self):
        if self.mode == 0:
            raise LookupError("no text")
        if self.mode == 1:
            self.sheet.cell(row=self.row, column=self.column, value="grown")
        elif self.mode == 2:
            self.sheet._cells.pop((self.row, self.column), None)
        elif self.mode == 3:
            self.sheet._cells.clear()
        return "awkward" * (self.row % 4)

    def __bool__(self):
        return self.mode != 4


def read_recipe(fdp):
    """The steps, decided once, so that both copies are built alike."""
    steps = []
    for _ in range(fdp.ConsumeIntInRange(0, 40)):
        kind = fdp.ConsumeIntInRange(0, 15)
        row, column = fdp.ConsumeIntInRange(1, 8), fdp.ConsumeIntInRange(1, 6)
        if kind <= 5:
            steps.append(("value", row, column, fdp.ConsumeIntInRange(0, len(VALUES))))
            if steps[-1][3] == len(VALUES):
                steps[-1] = ("value", row, column, shaped_text(fdp, 30))
        elif kind == 6:
            steps.append(("empty", row, column))
        elif kind == 7:
            steps.append(("merge", row, column, fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3)))
        elif kind == 8:
            steps.append(("style", row, column, fdp.ConsumeIntInRange(0, len(PRE_STYLES) - 1)))
        elif kind == 9:
            steps.append(("second sheet", fdp.ConsumeBool()))
        else:
            steps.append(("irregular", row, column, kind - 10, fdp.ConsumeIntInRange(0, 5)))
    return steps, fdp.ConsumeIntInRange(0, 7)


def build(steps, ending):
    workbook = openpyxl.Workbook()
    sheet = workbook.active
    order = [sheet]
    for step in steps:
        kind, rest = step[0], step[1:]
        try:
            if kind == "value":
                row, column, choice = rest
                sheet.cell(row=row, column=column,
                           value=VALUES[choice] if isinstance(choice, int) else choice)
            elif kind == "empty":
                sheet.cell(row=rest[0], column=rest[1])
            elif kind == "merge":
                row, column, down, right = rest
                sheet.merge_cells(start_row=row, start_column=column,
                                  end_row=row + down, end_column=column + right)
            elif kind == "style":
                row, column, choice = rest
                attribute, style = PRE_STYLES[choice]
                setattr(sheet.cell(row=row, column=column), attribute, copy.copy(style))
            elif kind == "second sheet":
                sheet = workbook.create_sheet()
                order = order + [sheet] if rest[0] else [sheet] + order
            else:
                irregular(workbook, sheet, *rest)
        except Exception:
            pass  # openpyxl refused the step (an illegal character, a merged cell...)
    if ending == 1:
        order = order * 2
    elif ending == 2:
        buffer = io.BytesIO()
        try:
            workbook.save(buffer)
            loaded = openpyxl.load_workbook(io.BytesIO(buffer.getvalue()))
        except Exception:
            return workbook, order  # openpyxl cannot save or reload it (an odd style array...)
        workbook, order = loaded, loaded.worksheets
    return workbook, order


def irregular(workbook, sheet, row, column, kind, mode):
    cells = sheet._cells
    if kind == 0:
        cells[(row, column)] = PlainCellSubclass(sheet, row=row, column=column, value="sub")
    elif kind == 1:
        other = workbook.create_sheet("Other") if "Other" not in workbook else workbook["Other"]
        other["A1"] = "elsewhere"
        cells[(row, column)] = other["A1"]
    elif kind == 2:
        sheet.cell(row=row, column=column, value="v")._style = StyleArray([] if mode < 3 else [1, 2])
    elif kind == 3 and (row, column) in cells:
        cells[(Two(row), column)] = cells.pop((row, column))
    elif kind == 4:
        sheet._cells = CellDict(cells)
    elif kind == 5:
        sheet.cell(row=row, column=column)._value = Awkward(sheet, mode, row + 1, column + 1)


def outcome(workbook, order):
    try:
        for sheet in order:
            expect(et.format_excel_sheet(sheet) is None, "formatter result")
    except Exception as exc:
        return type(exc), str(exc)
    return None


def plain(value):
    return value if type(value) in (int, float, str, bool, type(None)) else type(value).__name__


def style_of(cell):
    try:
        return [copy.copy(getattr(cell, attr)) for attr in ("font", "fill", "alignment", "border")]
    except Exception as exc:
        return type(exc), str(exc)


def state_of(workbook):
    raw = {(sheet.title, key): (type(cell).__name__, plain(cell._value),
                                None if cell._style is None else list(cell._style))
           for sheet in workbook.worksheets for key, cell in sheet._cells.items()}
    collections = {name: list(getattr(workbook, name)) for name in COLLECTIONS}
    widths = {(sheet.title, letter): dimension.width
              for sheet in workbook.worksheets
              for letter, dimension in sheet.column_dimensions.items()}
    styles = {(sheet.title, key): style_of(cell)
              for sheet in workbook.worksheets for key, cell in sheet._cells.items()
              if not isinstance(cell, MergedCell)}
    return raw, collections, widths, styles


def test_one_input(data):
    steps, ending = read_recipe(atheris.FuzzedDataProvider(data))

    direct = build(steps, ending)
    direct_outcome = outcome(*direct)
    et.Font = genuine_font
    try:
        public = build(steps, ending)
        public_outcome = outcome(*public)
    finally:
        et.Font = GENUINE_FONT
    expect(direct_outcome == public_outcome, "outcome", direct_outcome, public_outcome, steps)
    for name, ours, theirs in zip(("raw cells", "collections", "widths", "styles"),
                                  state_of(direct[0]), state_of(public[0])):
        expect(ours == theirs, name, steps, ours, theirs)


if __name__ == "__main__":
    run(test_one_input)
