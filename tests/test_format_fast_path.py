"""format_excel_sheet on plain openpyxl worksheets stores style indices directly.

Every sheet here is built twice from the same recipe and formatted once with
the direct route and once through the public style assignments (forced by
binding the module's Font to a wrapper that returns a genuine Font). The
saved workbooks must agree part by part, byte for byte, and so must every
cell's raw style array and styles, the workbook's style collections and the
column widths. A counter on openpyxl's StyleDescriptor.__set__ shows which
route ran.
"""
import copy
import datetime
import decimal
import gc
import io
import random
import sys
import zipfile

import openpyxl
import pytest
from openpyxl.cell.cell import Cell, MergedCell
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from openpyxl.styles.cell_style import StyleArray
from openpyxl.styles.styleable import StyleDescriptor
from openpyxl.utils.indexed_list import IndexedList
from openpyxl.worksheet.worksheet import Worksheet
from openpyxl.writer.excel import ExcelWriter

from helpers import module_entries

FIXED_TIME = datetime.datetime(2024, 1, 2, 3, 4, 5)
COLLECTIONS = ("_fonts", "_fills", "_borders", "_alignments", "_number_formats")


# --- recipes: each returns (workbook, sheets to format in order, irregular cells) ---
# Irregular cells are (sheet, row) of valued cells that are not plain cells of
# the sheet being formatted; they keep the public assignments on either route.

class Recipe:
    def __init__(self):
        self.workbook = openpyxl.Workbook()
        self.sheet = self.workbook.active
        self.order = [self.sheet]
        self.irregular = []

    def rows(self, rows, top=1, left=1, sheet=None):
        sheet = sheet or self.sheet
        for r, row in enumerate(rows, start=top):
            for c, value in enumerate(row, start=left):
                if value is not None:
                    sheet.cell(row=r, column=c, value=value)
        return self


def empty_sheet(recipe):
    pass


def no_values(recipe):
    for r in range(1, 4):
        for c in range(1, 4):
            recipe.sheet.cell(row=r, column=c)


def header_all_none(recipe):
    recipe.rows([[None, None, None], ["a", 1, None], [None, 2.5, "z"]])


def header_with_gaps(recipe):
    recipe.rows([["Code", None, "Amount", None], ["A1", 5, None, "x"], [None, 0, 7, None]])


def falsy_values(recipe):
    recipe.rows([["h", "", 0], [False, 0.0, ""], [0, False, None]])


def numbers_and_dates(recipe):
    recipe.rows([["int", "float", "date", "datetime", "time", "decimal", "delta"],
                 [12345, 3.5, datetime.date(2024, 2, 29), datetime.datetime(2023, 12, 31, 23, 59),
                  datetime.time(12, 30), decimal.Decimal("1.10"), datetime.timedelta(hours=5)],
                 [-7, 1e-7, datetime.date(1900, 3, 1), datetime.datetime(2000, 1, 1),
                  datetime.time(0, 0, 1), decimal.Decimal("-0.5"), datetime.timedelta(0)]])


def long_and_east_asian(recipe):
    recipe.rows([["名前", "x" * 40], ["東京都千代田区丸の内一丁目", "y" * 500],
                 ["ｶﾀｶﾅ", "😀" * 3]])


def stacked_tables(recipe):
    recipe.rows([["top", "table"], [1, 2], [None, None], ["lower", "header"], [3, 4]])


def pre_styled_cell(recipe):
    recipe.rows([["a", "b"], [1, 2]])
    recipe.sheet["B2"].font = Font(name="Courier", italic=True)
    recipe.sheet["A2"].fill = PatternFill(fill_type="solid", start_color="FF0000")
    recipe.sheet["C3"].border = Border(top=Side(style="double"))  # an empty, styled cell


def pre_styled_with_the_same_styles(recipe):
    # The collections already hold equal objects: their indices are reused.
    recipe.rows([["a", "b"], [1, 2]])
    recipe.sheet["D4"].font = Font(name="Arial", size=11)
    recipe.sheet["D4"].alignment = Alignment(horizontal="center", vertical="center")
    recipe.sheet["D5"].font = Font(name="Arial", bold=True, color="FFFFFF")


def formatted_twice(recipe):
    recipe.rows([["Code", "Name", None], ["A", "東京", 1.5], [None, "x" * 12, 0]])
    recipe.order = [recipe.sheet, recipe.sheet]


def merged_cells(recipe):
    recipe.rows([["Title", None, None], ["a", "b", "c"], [1, 2, 3], [4, None, 6]])
    recipe.sheet.merge_cells("A1:C1")
    recipe.sheet.merge_cells("B3:C4")


def loaded_workbook(recipe):
    recipe.rows([["h1", "h2"], ["v", 2]])
    recipe.sheet["A2"].font = Font(name="Calibri", bold=True)
    recipe.sheet["B2"].number_format = "0.00%"
    buffer = io.BytesIO()
    recipe.workbook.save(buffer)
    recipe.workbook = openpyxl.load_workbook(io.BytesIO(buffer.getvalue()))
    recipe.sheet = recipe.workbook.active
    recipe.order = [recipe.sheet]


def two_sheets(recipe):
    recipe.rows([["a", None], [1, 2]])
    second = recipe.workbook.create_sheet("Second")
    recipe.rows([[None, "b"], ["c", None], [None, 3]], sheet=second)
    recipe.order = [recipe.sheet, second]


class PlainCellSubclass(Cell):
    __slots__ = ()


def cell_subclass_in_grid(recipe):
    recipe.rows([["a", "b", "c"], [1, 2, 3]])
    sheet = recipe.sheet
    sheet._cells[(1, 2)] = PlainCellSubclass(sheet, row=1, column=2, value="sub")
    sheet._cells[(2, 3)] = PlainCellSubclass(sheet, row=2, column=3, value=33)
    recipe.irregular += [(sheet, 1), (sheet, 2)]


class ReplacesACellWhenRead(Cell):
    """Its value, read in the styling pass, puts a new cell with a longer text
    under another cell's key: the sheet keeps its size, the width pass must
    still measure the new cell."""
    __slots__ = ("swap",)

    @property
    def value(self):
        if self.swap is not None:
            sheet, key = self.swap
            self.swap = None
            sheet._cells[key] = Cell(sheet, row=key[0], column=key[1], value="a much longer text")
        return self._value

    @value.setter
    def value(self, value):
        Cell.value.fset(self, value)


def cell_replaced_while_styled(recipe):
    recipe.rows([["a", "b"], [1, 2], [3, 4]])
    sheet = recipe.sheet
    cell = ReplacesACellWhenRead(sheet, row=2, column=1, value=1)
    cell.swap = (sheet, (3, 2))
    sheet._cells[(2, 1)] = cell
    recipe.irregular.append((sheet, 2))


def cell_of_another_sheet(recipe):
    recipe.rows([["a", "b"], [1, 2]])
    other = recipe.workbook.create_sheet("Other")
    other["A1"] = "elsewhere"
    recipe.sheet._cells[(2, 3)] = other["A1"]
    recipe.irregular.append((recipe.sheet, 2))


def empty_style_array(recipe):
    recipe.rows([["a", "b"], [1, 2]])
    recipe.sheet["B2"]._style = StyleArray([])
    recipe.irregular.append((recipe.sheet, 2))


class Two(int):
    pass


def cell_dict_with_an_int_subclass_key(recipe):
    # Found by lookups like any key, but no longer a plain (int, int) pair.
    recipe.rows([["a", "b"], [1, 2], ["x", None]])
    cells = recipe.sheet._cells
    cells[(Two(2), 2)] = cells.pop((2, 2))


class CellDict(dict):
    pass


def cell_dict_subclass(recipe):
    recipe.rows([["a", None], [None, 2], ["x", "yy"]])
    recipe.sheet._cells = CellDict(recipe.sheet._cells)


def single_cell(recipe):
    recipe.rows([["only"]])


def wide_row(recipe):
    recipe.rows([[f"col{i}" for i in range(60)], list(range(60))])


def only_header(recipe):
    recipe.rows([["a", "bb", "ccc"]])


def table_offset(recipe):
    recipe.rows([["Code", "Amount"], ["X", 1], ["Y", 22]], top=5, left=3)


class ChangesTheSheet(int):
    """A number whose first text conversion, in the width pass, runs `change`
    on the sheet; both routes must measure the later columns as the sheet
    then stands."""

    def __new__(cls, sheet, change):
        made = super().__new__(cls, 7)
        made.sheet, made.change = sheet, change
        return made

    def __str__(self):
        change, self.change = self.change, None
        if change is not None:
            change(self.sheet)
        return "7"


def longer(sheet, row, column):
    return Cell(sheet, row=row, column=column, value="a new text, much longer than before")


SHEET_CHANGES = {
    # Both routes make the removed cell anew, as cell() does.
    "drops_a_cell": lambda sheet: sheet._cells.pop((2, 3), None),
    # Same key, same dict size.
    "replaces_a_cell": lambda sheet: sheet._cells.update({(2, 3): longer(sheet, 2, 3)}),
    "rebinds_the_cell_dict": lambda sheet: setattr(
        sheet, "_cells", {**sheet._cells, (3, 3): longer(sheet, 3, 3)}),
    "changes_a_value": lambda sheet: setattr(sheet._cells[(3, 3)], "value", "a new, longer value"),
}


def sheet_changed_while_measured(change):
    def build(recipe):
        recipe.rows([["a", "b", "c"], [1, ChangesTheSheet(recipe.sheet, change), "a longer text"],
                     [4, 5, 6]])
    return build


def values_then_nothing(recipe):
    recipe.rows([["a"], ["b"]])
    recipe.sheet.cell(row=30, column=10)


VALUES = [None, None, None, None, 0, 0.0, False, True, "", "x", "Code", "  padded  ", 12345, -7,
          3.5, 1e-7, 10 ** 15, "東京都千代田区", "x" * 60, "y" * 300, datetime.date(2024, 2, 29),
          datetime.datetime(2023, 12, 31, 23, 59), datetime.time(12, 30),
          decimal.Decimal("1.10"), "=SUM(A1:A2)", "ｶﾀｶﾅ", "😀"]


def random_recipe(seed):
    def build(recipe):
        rng = random.Random(seed)
        sheets = [recipe.sheet]
        if rng.random() < 0.2:
            sheets.append(recipe.workbook.create_sheet("More"))
        for sheet in sheets:
            top, left = rng.choice([1, 1, 1, 2, 4]), rng.choice([1, 1, 2, 3])
            rows, cols = rng.randint(1, 12), rng.randint(1, 8)
            grid = [[rng.choice(VALUES) for _ in range(cols)] for _ in range(rows)]
            recipe.rows(grid, top=top, left=left, sheet=sheet)
            for _ in range(rng.randint(0, 3)):
                if rng.random() < 0.5:
                    sheet.cell(row=rng.randint(1, 15), column=rng.randint(1, 9))
            if rng.random() < 0.3:
                r, c = rng.randint(1, 8), rng.randint(1, 6)
                sheet.merge_cells(start_row=r, start_column=c,
                                  end_row=r + rng.randint(0, 2), end_column=c + rng.randint(1, 2))
            if rng.random() < 0.3:
                cell = sheet.cell(row=rng.randint(1, 10), column=rng.randint(1, 8))
                if not isinstance(cell, MergedCell):
                    cell.font = Font(name=rng.choice(["Arial", "Calibri"]), size=rng.choice([11, 12]))
        recipe.order = sheets * (2 if rng.random() < 0.15 else 1)
    return build


RECIPES = {f.__name__: f for f in (
    empty_sheet, no_values, header_all_none, header_with_gaps, falsy_values, numbers_and_dates,
    long_and_east_asian, stacked_tables, pre_styled_cell, pre_styled_with_the_same_styles,
    formatted_twice, merged_cells, loaded_workbook, two_sheets, cell_subclass_in_grid,
    cell_replaced_while_styled, cell_of_another_sheet, empty_style_array, cell_dict_with_an_int_subclass_key,
    cell_dict_subclass, single_cell, wide_row, only_header, table_offset, values_then_nothing)}
RECIPES.update({f"value_that_{name}_while_measured": sheet_changed_while_measured(change)
                for name, change in SHEET_CHANGES.items()})
RECIPES.update({f"random_{seed}": random_recipe(seed) for seed in range(40)})


# --- running and comparing -------------------------------------------------------

@pytest.fixture
def descriptor_calls():
    """Counts assignments through openpyxl's StyleDescriptor.

    A profiler counts them: wrapping the descriptor's __set__ would change a
    piece the direct route reproduces, and the route would (rightly) step
    aside for the wrapper."""
    calls = [0]
    code = StyleDescriptor.__set__.__code__

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code:
            calls[0] += 1

    previous = sys.getprofile()
    sys.setprofile(profile)
    yield calls
    sys.setprofile(previous)


def genuine_font(**kwargs):
    return Font(**kwargs)


def saved_parts(workbook):
    """Every member of the saved workbook, with the timestamps fixed."""
    workbook.properties.created = workbook.properties.modified = FIXED_TIME
    buffer = io.BytesIO()
    archive = zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED)
    ExcelWriter(workbook, archive).save()
    with zipfile.ZipFile(io.BytesIO(buffer.getvalue())) as saved:
        return {name: saved.read(name) for name in saved.namelist()}


def state_of(workbook):
    # Raw state first: reading a cell's style attribute gives it a style array.
    raw = {(sheet.title, key): (type(cell).__name__, cell.value,
                                None if cell._style is None else list(cell._style))
           for sheet in workbook.worksheets for key, cell in sheet._cells.items()}
    collections = {name: list(getattr(workbook, name)) for name in COLLECTIONS}
    widths = {(sheet.title, letter): dimension.width
              for sheet in workbook.worksheets
              for letter, dimension in sheet.column_dimensions.items()}
    parts = saved_parts(workbook)
    styles = {(sheet.title, key): [copy.copy(getattr(cell, attr))
                                   for attr in ("font", "fill", "alignment", "border")]
              for sheet in workbook.worksheets for key, cell in sheet._cells.items()}
    current_rows = {sheet.title: sheet._current_row for sheet in workbook.worksheets}
    return raw, collections, widths, parts, styles, current_rows


def formatted(et, recipe_name, calls):
    recipe = Recipe()
    RECIPES[recipe_name](recipe)
    calls[0] = 0
    for sheet in recipe.order:
        assert et.format_excel_sheet(sheet) is None
    return recipe, calls[0]


def expected_public_assignments(recipe):
    return sum(4 if row == 1 else 3 for formatted_sheet in recipe.order
               for sheet, row in recipe.irregular if sheet is formatted_sheet)


@pytest.mark.parametrize("recipe_name", list(RECIPES))
def test_direct_route_saves_the_same_workbook(et, descriptor_calls, recipe_name):
    direct, direct_assignments = formatted(et, recipe_name, descriptor_calls)
    et.Font = genuine_font
    public, public_assignments = formatted(et, recipe_name, descriptor_calls)

    direct_state, public_state = state_of(direct.workbook), state_of(public.workbook)
    names = ("raw cells", "style collections", "column widths", "saved parts", "cell styles",
             "highest rows")
    for name, ours, theirs in zip(names, direct_state, public_state):
        assert ours == theirs, name
    assert any(part.startswith("xl/worksheets/") for part in direct_state[3])
    assert "xl/styles.xml" in direct_state[3]

    # Only irregular cells went through the descriptors on the direct route.
    assert direct_assignments == expected_public_assignments(direct)
    has_values = any(value is not None for _, value, _ in direct_state[0].values())
    assert (public_assignments > direct_assignments) == has_values


@pytest.mark.parametrize("recipe_name", ["header_with_gaps", "stacked_tables", "header_all_none"])
def test_cells_missing_from_the_grid_are_made_without_the_sheets_cell_method(et, recipe_name):
    # Their cells are made and styled as cell() would make them (the saved
    # workbook is compared above); here: without a call per missing cell.
    code = Worksheet.cell.__code__
    calls = {"direct": 0, "public": 0}
    route = "direct"

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code:
            calls[route] += 1

    missing = {}
    for route in ("direct", "public"):
        recipe = Recipe()
        RECIPES[recipe_name](recipe)
        sheet = recipe.sheet
        missing[route] = sheet.max_row * sheet.max_column - len(sheet._cells)
        if route == "public":
            et.Font = genuine_font
        previous = sys.getprofile()
        sys.setprofile(profile)
        try:
            et.format_excel_sheet(sheet)
        finally:
            sys.setprofile(previous)
    assert missing["direct"] > 0
    assert calls["direct"] == 0
    assert calls["public"] >= missing["public"]


def test_nothing_is_added_to_the_collections_when_no_cell_is_styled(et):
    recipe = Recipe()
    no_values(recipe)
    before = {name: list(getattr(recipe.workbook, name)) for name in COLLECTIONS}
    et.format_excel_sheet(recipe.sheet)
    assert {name: list(getattr(recipe.workbook, name)) for name in COLLECTIONS} == before
    assert all(cell._style is None for cell in recipe.sheet._cells.values())


def test_header_all_none_adds_the_body_font_first(et):
    recipe = Recipe()
    header_all_none(recipe)
    fonts_before = len(recipe.workbook._fonts)
    et.format_excel_sheet(recipe.sheet)
    assert recipe.workbook._fonts[fonts_before:] == [Font(name="Arial", size=11)]
    assert recipe.sheet["A2"]._style.fontId == fonts_before


# --- anything not openpyxl's own takes the public assignments ----------------------

class WorksheetSubclass(Worksheet):
    pass


def rebind_module(name, make):
    def arrange(et, monkeypatch, sheet):
        setattr(et, name, make(getattr(et, name)))
    return arrange


def wrapper(original):
    return lambda *args, **kwargs: original(*args, **kwargs)


def subclass_worksheet(et, monkeypatch, sheet):
    sheet.__class__ = WorksheetSubclass


def shadow_iter_rows(et, monkeypatch, sheet):
    sheet.iter_rows = sheet.iter_rows


def replace_value_property(et, monkeypatch, sheet):
    monkeypatch.setattr(Cell, "value", property(lambda cell: cell._value, Cell.value.fset))


def wrap_collection_add(et, monkeypatch, sheet):
    original = IndexedList.add
    monkeypatch.setattr(IndexedList, "add", lambda self, value: original(self, value))


class Zero(int):
    pass


def font_field_key_of_another_type(et, monkeypatch, sheet):
    # Still position 0 for the array, but no longer the plain int 0.
    monkeypatch.setattr(StyleArray.__dict__["fontId"], "key", Zero(0))


def new_style_array_defaults(et, monkeypatch, sheet):
    monkeypatch.setattr(StyleArray.__new__, "__defaults__", ([0] * 9,))


@pytest.mark.parametrize("arrange", [
    rebind_module("Font", wrapper),
    rebind_module("PatternFill", wrapper),
    rebind_module("Alignment", wrapper),
    rebind_module("Border", wrapper),
    rebind_module("Side", wrapper),
    rebind_module("get_column_letter", wrapper),
    subclass_worksheet,
    shadow_iter_rows,
    replace_value_property,
    wrap_collection_add,
    font_field_key_of_another_type,
    new_style_array_defaults,
], ids=["Font", "PatternFill", "Alignment", "Border", "Side", "get_column_letter",
        "worksheet-subclass", "shadowed-iter_rows", "value-property", "collection-add",
        "field-key", "style-array-defaults"])
def test_pieces_that_are_not_openpyxls_own_take_the_public_assignments(
        et, monkeypatch, descriptor_calls, arrange):
    reference, _ = formatted(et, "header_with_gaps", descriptor_calls)
    recipe = Recipe()
    header_with_gaps(recipe)
    arrange(et, monkeypatch, recipe.sheet)
    descriptor_calls[0] = 0
    et.format_excel_sheet(recipe.sheet)
    assert descriptor_calls[0] == 4 * 2 + 3 * 5
    if isinstance(recipe.sheet, WorksheetSubclass):
        recipe.sheet.__class__ = Worksheet
    monkeypatch.undo()
    assert state_of(recipe.workbook) == state_of(reference.workbook)


def test_direct_route_is_taken_again_once_the_module_names_are_restored(et, descriptor_calls):
    et.Font = genuine_font
    formatted(et, "single_cell", descriptor_calls)
    assert descriptor_calls[0] == 4
    et.Font = Font
    formatted(et, "single_cell", descriptor_calls)
    assert descriptor_calls[0] == 0


# openpyxl before 3.1.3 calls datetime.utcnow() for every new workbook, which
# Python 3.12 and later deprecate: pytest's record of those warnings would
# count as allocations the formatter kept.
@pytest.mark.scale
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_direct_route_leaves_no_references_behind(et):
    def one_round():
        for name in ("header_with_gaps", "merged_cells", "cell_subclass_in_grid",
                     "cell_dict_with_an_int_subclass_key"):
            recipe = Recipe()
            RECIPES[name](recipe)
            for sheet in recipe.order:
                et.format_excel_sheet(sheet)

    for _ in range(100):
        one_round()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        one_round()
    gc.collect()
    # Every round drops its workbooks: a cell or style array kept by the
    # formatter would stay allocated, hundreds per round.
    assert sys.getallocatedblocks() - before < 500


# --- failures inside the direct route propagate as from the assignments -----------

class Clash:
    """Hashes like a style object, and fails when compared with it."""

    def __init__(self, like):
        self.hash = hash(like)

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        raise LookupError("clash")


@pytest.mark.parametrize("collection, style, line", [
    ("_fonts", Font(name="Arial", bold=True, color="FFFFFF"), 225),
    ("_fills", PatternFill(start_color="4F81BD", end_color="4F81BD", fill_type="solid"), 226),
    ("_fonts", Font(name="Arial", size=11), 228),
    ("_alignments", Alignment(horizontal="center", vertical="center"), 230),
    ("_borders", Border(left=Side(style="thin"), right=Side(style="thin"),
                        top=Side(style="thin"), bottom=Side(style="thin")), 231),
], ids=["header-font", "header-fill", "body-font", "alignment", "border"])
def test_a_failing_collection_add_propagates_with_its_line(
        et, descriptor_calls, collection, style, line):
    def attempt():
        recipe = Recipe()
        header_with_gaps(recipe)
        getattr(recipe.workbook, collection)._dict[Clash(style)] = 99
        descriptor_calls[0] = 0
        with pytest.raises(LookupError, match="clash") as caught:
            et.format_excel_sheet(recipe.sheet)
        raw = {key: None if cell._style is None else list(cell._style)
               for key, cell in recipe.sheet._cells.items()}
        return module_entries(caught.value), raw, descriptor_calls[0]

    direct_entries, direct_raw, direct_assignments = attempt()
    et.Font = genuine_font
    public_entries, public_raw, public_assignments = attempt()
    assert direct_entries == public_entries == [("vorlatek.excelTools.format_excel_sheet", line)]
    assert direct_raw == public_raw
    assert direct_assignments == 0 and public_assignments > 0
