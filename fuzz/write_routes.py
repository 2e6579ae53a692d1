"""write_formatted_excel's native save route against the plain route.

The fuzzer's bytes become a recipe: sheets (names that need escaping
included), placements of frames built from columns of every kind pandas
writes (numbers with nan, inf and big ints, bools, texts with XML-special,
control and non-BMP characters, dates, times, durations, nullable,
categorical and object columns), offsets and indexes, and cell changes made
after the formatter (odd values and data types, merged ranges, styles). The
recipe is written twice: with the genuine pandas, which lets the save write
rows natively, and with `pd` bound to a wrapper module, which keeps today's
plain calls. Results, log records and the archives (every member, byte for
byte, the document properties' timestamps masked) must be the same.
"""
import datetime
import decimal
import logging
import os
import re
import sys
import types
import zipfile

import atheris
import numpy as np
import pandas as pd
from openpyxl.styles import Font

import vorlatek.excelTools as et

from common import expect, run, scratch_folder, shaped_text

SCRATCH = scratch_folder("write_routes")
GENUINE_FORMATTER = et.format_excel_sheet
NAMES = ["S", "R&D <1>", "Ünï 漢", "'q'", "a\"b", "Sheet1", "x" * 31]
TEXTS = ["", " ", "  lead", "trail ", "a&b<c>", "]]>", "\t\n\r", "=SUM(A1)", "=", "#N/A",
         "\x85", "\u3000", "😀", "\ud800", "\ufffe", "\x07", "x" * 300]
CELL_VALUES = [None, 0, -0.0, 1.5, float("nan"), float("inf"), 2 ** 70, True, "",
               " t ", "=A1", datetime.datetime(1900, 2, 28, 23, 59, 59, 999999),
               datetime.date(1900, 3, 1), datetime.time(1, 2, 3, 4),
               datetime.timedelta(days=-1, microseconds=3), decimal.Decimal("2.5"),
               np.float64(1.25), pd.Timestamp("2024-05-06 07:08:09.000001001"),
               # values openpyxl refuses when it saves; the last ones, picked rarely
               10 ** 400, datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)]
REFUSED = 2
DATA_TYPES = ["n", "s", "f", "b", "e", "d", "str", "inlineStr"]


def wrapped_pandas():
    wrapper = types.ModuleType("pandas_wrapper")
    for name in dir(pd):
        if not name.startswith("__"):
            setattr(wrapper, name, getattr(pd, name))
    return wrapper


WRAPPED = wrapped_pandas()


def column(fdp, rows):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        return [fdp.ConsumeIntInRange(-(2 ** 62), 2 ** 62) * fdp.ConsumeIntInRange(1, 64)
                for _ in range(rows)]
    if kind == 1:
        return [fdp.ConsumeRegularFloat() if fdp.ConsumeBool()
                else [np.nan, np.inf, -np.inf, -0.0][fdp.ConsumeIntInRange(0, 3)]
                for _ in range(rows)]
    if kind == 2:
        return [fdp.ConsumeBool() for _ in range(rows)]
    if kind == 3:
        return [TEXTS[fdp.ConsumeIntInRange(0, len(TEXTS) - 1)] if fdp.ConsumeBool()
                else shaped_text(fdp, 20) for _ in range(rows)]
    if kind == 4:
        return pd.Series([pd.Timestamp(fdp.ConsumeIntInRange(-(2 ** 62), 2 ** 62))
                          if fdp.ConsumeIntInRange(0, 5) else pd.NaT for _ in range(rows)])
    if kind == 5:
        return [datetime.date(1, 1, 1) + datetime.timedelta(days=fdp.ConsumeIntInRange(0, 3652058))
                for _ in range(rows)]
    if kind == 6:
        return [datetime.time(fdp.ConsumeIntInRange(0, 23), fdp.ConsumeIntInRange(0, 59),
                              fdp.ConsumeIntInRange(0, 59), fdp.ConsumeIntInRange(0, 999999))
                for _ in range(rows)]
    if kind == 7:
        return pd.to_timedelta([fdp.ConsumeIntInRange(-(2 ** 50), 2 ** 50) for _ in range(rows)],
                               unit="us")
    if kind == 8:
        return pd.array([fdp.ConsumeIntInRange(-99, 99) if fdp.ConsumeBool() else None
                         for _ in range(rows)], dtype="Int64")
    if kind == 9:
        return pd.array([shaped_text(fdp, 6) if fdp.ConsumeBool() else None for _ in range(rows)],
                        dtype="string")
    if kind == 10:
        return pd.Categorical([["a", "b", None][fdp.ConsumeIntInRange(0, 2)] for _ in range(rows)])
    return pd.Series([cell_value(fdp) for _ in range(rows)], dtype=object)


def cell_value(fdp):
    last = len(CELL_VALUES) - 1 if fdp.ConsumeIntInRange(0, 15) == 0 else len(CELL_VALUES) - 1 - REFUSED
    return CELL_VALUES[fdp.ConsumeIntInRange(0, last)]


def sheet_name(fdp):
    if fdp.ConsumeIntInRange(0, 3):
        return NAMES[fdp.ConsumeIntInRange(0, len(NAMES) - 1)]
    # Characters openpyxl refuses in titles mostly left out.
    return re.sub(r"[\\*?:/\[\]]", "", shaped_text(fdp, 12)) or "Blank"


def read_recipe(fdp):
    sheets = {}
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        name = sheet_name(fdp)
        placements = []
        for _ in range(fdp.ConsumeIntInRange(1, 3)):
            rows = fdp.ConsumeIntInRange(0, 6) or fdp.ConsumeIntInRange(0, 1)
            frame = pd.DataFrame({f"c{i}": column(fdp, rows)
                                  for i in range(fdp.ConsumeIntInRange(1, 4))})
            # Frames at the first row and column, often: side by side, the
            # styling's walk meets empty cells beside the shorter one.
            startrow = fdp.ConsumeIntInRange(0, 12)
            startcol = fdp.ConsumeIntInRange(0, 30)
            placements.append({"df": frame, "startrow": 0 if startrow > 9 else startrow,
                               "startcol": 0 if startcol > 24 else startcol,
                               "index": fdp.ConsumeBool()})
        sheets[name] = placements[0]["df"] if len(placements) == 1 and fdp.ConsumeBool() \
            else placements
    changes = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        changes.append((fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(1, 12),
                        fdp.ConsumeIntInRange(1, 8), fdp.ConsumeIntInRange(0, len(CELL_VALUES) - 1),
                        fdp.ConsumeIntInRange(0, len(DATA_TYPES))))
    return sheets, changes, fdp.ConsumeBool()


def change_sheet(ws, changes):
    for kind, row, col, value, data_type in changes:
        try:
            cell = ws.cell(row=row, column=col)
            if kind == 0:
                cell.value = CELL_VALUES[value]
            elif kind == 1:
                cell._value = CELL_VALUES[value]
                if data_type < len(DATA_TYPES):
                    cell.data_type = DATA_TYPES[data_type]
            elif kind == 2:
                ws.merge_cells(start_row=row, start_column=col, end_row=row + value % 3,
                               end_column=col + data_type % 3)
            else:
                cell.font = Font(bold=bool(value % 2), italic=bool(data_type % 2))
        except Exception:
            pass  # openpyxl refused the change


def archive(path):
    if not os.path.exists(path):
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
                            info.flag_bits, info.extra, sizes, data))
    os.remove(path)
    return members


class Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelname, record.getMessage()))


RECORDS = Records()
logging.getLogger("vorlatek.excelTools").addHandler(RECORDS)
logging.getLogger("vorlatek.excelTools").propagate = False


def write(sheets, changes, auto_format, pd_module):
    path = os.path.join(SCRATCH, "out.xlsx")

    def format_then_change(ws):
        GENUINE_FORMATTER(ws)
        change_sheet(ws, changes)

    # Without changes the module's own formatter runs, as in a plain call
    # (its empty grid cells may then stay unmade).
    et.format_excel_sheet = format_then_change if changes else GENUINE_FORMATTER
    et.pd = pd_module
    RECORDS.seen = []
    try:
        result = et.write_formatted_excel(path, sheets, auto_format)
    except BaseException as error:  # pragma: no cover - reported as a difference
        result = ("raised", type(error).__name__, str(error))
    finally:
        et.pd = pd
        et.format_excel_sheet = GENUINE_FORMATTER
    logged = [(level, message.replace(path, "<path>")) for level, message in RECORDS.seen]
    return result, logged, archive(path)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    sheets, changes, auto_format = read_recipe(fdp)
    routed = write(sheets, changes, auto_format, pd)
    plain = write(sheets, changes, auto_format, WRAPPED)
    expect(routed[:2] == plain[:2], "results or records differ", routed[:2], plain[:2])
    if routed[2] != plain[2]:
        for a, b in zip(routed[2] or [], plain[2] or []):
            if a != b:
                expect(False, "member differs", a[0], a[-1][:2000], b[-1][:2000])
        expect(False, "archives differ")


if __name__ == "__main__":
    sys.setrecursionlimit(10000)
    run(test_one_input)
