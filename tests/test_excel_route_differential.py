"""read_excel_by_cells equals pd.read_excel with the arguments the reader
works out (see excel_differential.py), on every workbook the suite has and
on generated ones for every kind of cell content, written by openpyxl, by
xlsxwriter, by LibreOffice and part by part for the shapes no writer makes;
with the same warnings; through the native route where it applies and
through openpyxl where the read must be left to it.
"""
import datetime
import gc
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import types

import openpyxl
import pandas as pd
import pytest
import xlsxwriter
from openpyxl.utils.datetime import CALENDAR_MAC_1904

import test_excel_reader as reader_books
import test_hostile_inputs as hostile_books
import workbook_parts as wp
from excel_differential import (
    NATIVE_READ_ROUTE,
    assert_same,
    module_outcome,
    plain_outcome,
)

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOFFICE = shutil.which("soffice")


def across(letters, row=1):
    return {f"c{letter}": f"{letter}{row}" for letter in letters}


def backwards(letters, row=1):
    return {f"c{letter}": f"{letter}{row}" for letter in reversed(letters)}


# --- cell contents, as writers write them -----------------------------------------

D = datetime.datetime
TEXTS = ["C-001", "  padded  ", "007", "NA", "", "TRUE", "1e3", "   ", "null", "two\nlines",
         "東京都", "tab\there", "a\r\nb", "😀 wide", "_x0041_ literal", "-0", "N/A", "#N/A"]
INTS = [0, 1, -5, 2 ** 31, 2 ** 53 + 1, 10 ** 15, -(10 ** 12), 7, 42, 3, 1, 0, 99, 5, 6, 8, 9, 10]
FLOATS = [0.5, -0.0, 1e-300, 1.5e200, 3.0, 1 / 3, -2.5e-7, 123456789.125, 0.1, 1e16, 2.0, 7.75,
          -1.5, 1e21, 5e-324, 0.0, 8.5, 9.25]
BOOLS = [True, False] * 9
DATES = [D(2024, 1, 5), D(1900, 1, 1), D(1900, 2, 28), D(1900, 3, 1), D(1904, 1, 2), D(2000, 2, 29),
         D(9999, 12, 31), D(1970, 1, 1), D(2024, 12, 31), D(2023, 6, 15), D(1950, 5, 5), D(2010, 10, 10),
         D(2001, 1, 1), D(1999, 12, 31), D(2024, 2, 29), D(2030, 1, 1), D(1960, 7, 4), D(2021, 3, 3)]
DATETIMES = [D(2024, 1, 5, 10, 20, 30), D(2024, 1, 5, 23, 59, 59, 999000), D(2024, 1, 5, 0, 0, 0, 500),
             D(2000, 1, 1, 12), D(1905, 6, 7, 8, 9, 10)] * 3 + [D(2024, 1, 1, 1, 1, 1)] * 3
TIMES = [datetime.time(0, 0), datetime.time(12, 30), datetime.time(23, 59, 59), datetime.time(6, 0, 0, 250000),
         datetime.time(1, 2, 3)] * 3 + [datetime.time(8)] * 3
DURATIONS = [datetime.timedelta(hours=1.5), datetime.timedelta(days=3, seconds=7), datetime.timedelta(0),
             datetime.timedelta(seconds=1), datetime.timedelta(days=400, hours=5)] * 3 + \
    [datetime.timedelta(minutes=3)] * 3
MIXED = ["text", 1, 2.5, True, D(2024, 1, 5), None, "x", -3, 0.0, False, "", 10 ** 20, "9", None,
         "last", 4, 4.5, "end"]
KINDS = [("text", TEXTS, None), ("int", INTS, None), ("float", FLOATS, None), ("bool", BOOLS, None),
         ("date", DATES, "yyyy-mm-dd"), ("datetime", DATETIMES, "yyyy-mm-dd hh:mm:ss.000"),
         ("time", TIMES, "hh:mm:ss"), ("duration", DURATIONS, "[h]:mm:ss"), ("mixed", MIXED, "General")]
KIND_LETTERS = "ABCDEFGHI"
# Serial numbers under date, time and duration formats: the 1900 system's
# missing leap day, fractions, a time of day, the last valid date and one
# past it, negative serials.
SERIALS = [0, 0.25, 1, 59, 60, 61, 45296.5, 0.999999999, 2958465.9999, 2958466, -1, 1e6 + 0.5]
# Serials every format turns into a date, time or duration without a warning
# in either date system: the route reads these itself.
SERIALS_IN_RANGE = [0, 0.25, 1, 59, 60, 61, 45296.5, 0.999999999, 1e6 + 0.5]
SERIAL_FORMATS = ["yyyy-mm-dd", "m/d/yy h:mm", "h:mm", "[h]:mm:ss", "mm:ss.0", "0.00%",
                  'yyyy"年"m"月"d"日"', "[$-409]mmmm d, yyyy;@", '0 "days"', "[mm]:ss", "@", "d-mmm-yy"]
SERIAL_LETTERS = "ABCDEFGHIJKL"


def openpyxl_kinds(path, epoch1904=False):
    book = openpyxl.Workbook()
    if epoch1904:
        book.epoch = CALENDAR_MAC_1904
    sheet = book.active
    sheet.append([name for name, _, _ in KINDS])
    for r in range(len(TEXTS)):
        row = []
        for _, values, _ in KINDS:
            value = values[r]
            # openpyxl refuses carriage returns in text and reads "#N/A" as an error.
            row.append(value.replace("\r", "") if isinstance(value, str) else value)
        sheet.append(row)
    for k, (_, _, fmt) in enumerate(KINDS):
        if fmt:
            for cell in sheet[KIND_LETTERS[k]][1:]:
                if isinstance(cell.value, (datetime.date, datetime.time, datetime.timedelta)):
                    cell.number_format = fmt
    # A row of styled empty cells and an empty-text cell after the table.
    for letter in "ABCDEF":
        sheet[f"{letter}25"].number_format = "0.00"
    sheet["B27"] = ""
    sheet["K3"] = "#DIV/0!"  # an error cell
    sheet["K5"] = "=1+1"  # a formula, saved without a cached value
    sheet.merge_cells("K7:L8")
    book.create_sheet("second")["A1"] = "never read"
    book.save(path)


def openpyxl_serials(path, epoch1904=False, values=SERIALS):
    book = openpyxl.Workbook()
    if epoch1904:
        book.epoch = CALENDAR_MAC_1904
    serials = book.active
    for r, serial in enumerate(values, start=1):
        for k, fmt in enumerate(SERIAL_FORMATS):
            serials.cell(row=r, column=k + 1, value=serial).number_format = fmt
    book.save(path)


def xlsxwriter_serials(path, epoch1904=False, values=SERIALS):
    book = xlsxwriter.Workbook(path, {"date_1904": epoch1904})
    serials = book.add_worksheet("serials")
    for k, fmt in enumerate(SERIAL_FORMATS):
        style = book.add_format({"num_format": fmt})
        for r, serial in enumerate(values):
            serials.write_number(r, k, serial, style)
    book.close()


def xlsxwriter_kinds(path, epoch1904=False):
    book = xlsxwriter.Workbook(path, {"date_1904": epoch1904, "strings_to_numbers": False})
    sheet = book.add_worksheet("kinds")
    formats = {fmt: book.add_format({"num_format": fmt}) for _, _, fmt in KINDS if fmt}
    for k, (name, values, fmt) in enumerate(KINDS):
        sheet.write_string(0, k, name)
        for r, value in enumerate(values, start=1):
            if isinstance(value, (datetime.date, datetime.time, datetime.timedelta)):
                sheet.write_datetime(r, k, value, formats[fmt])
            elif isinstance(value, bool):
                sheet.write_boolean(r, k, value)
            elif isinstance(value, (int, float)):
                sheet.write_number(r, k, value)
            elif value is None:
                continue
            else:
                sheet.write_string(r, k, value)
    bold = book.add_format({"bold": True})
    sheet.write_rich_string("J2", "rich ", bold, "run", " tail")
    sheet.write_rich_string("J3", bold, "東京", "都")
    # Formulas with cached results of every type.
    date_style = book.add_format({"num_format": "yyyy-mm-dd"})
    sheet.write_formula("K2", "=1+1", None, 2)
    sheet.write_formula("K3", '="a"&"b"', None, "ab")
    sheet.write_formula("K4", "=TRUE()", None, True)
    sheet.write_formula("K5", "=1/0", None, "#DIV/0!")
    sheet.write_formula("K6", "=DATE(2024,1,2)", date_style, 45293)
    sheet.write_formula("K7", "=0.1+0.2", None, 0.30000000000000004)
    sheet.write_formula("K8", "=A1", None, "")
    sheet.write_array_formula("L2:L3", "{=K2:K3}", None, 7)
    sheet.write_blank("M30", None, bold)  # a styled blank far below
    sheet.write_string("N4", "_x0041_")  # escaped by the writer, read back literally
    sheet.write_string("N5", "ctrl\x01\x1f")
    sheet.merge_range("N7:O8", "merged", bold)
    book.add_worksheet("second").write("A1", "never read")
    book.close()


def xlsxwriter_cjk(path):
    """Japanese and Latin text repeated, as a shared string table holds it."""
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet()
    words = ["東京", "大阪", "名古屋", "Latin", "tokyo ", " ", "ｶﾀｶﾅ", "〒100-0001", "①②", "Ω≈ç"]
    for r in range(60):
        sheet.write_string(r, 0, f"CODE-{r:04d}")
        sheet.write_string(r, 1, words[r % len(words)])
        sheet.write_number(r, 2, r * 1.25)
        if r % 7:
            sheet.write_number(r, 3, r)
    book.close()


def chartsheet_first(path):
    book = openpyxl.Workbook()
    data = book.active
    data.title = "data"
    for r in range(1, 6):
        data.append([f"r{r}", r, r * 2.5])
    chart = openpyxl.chart.BarChart()
    chart.add_data(openpyxl.chart.Reference(data, min_col=2, min_row=1, max_row=5))
    chartsheet = book.create_chartsheet("chart", 0)
    chartsheet.add_chart(chart)
    book.save(path)


def hidden_first(path):
    book = openpyxl.Workbook()
    hidden = book.active
    hidden.title = "hidden"
    hidden.append(["secret", 1])
    hidden.sheet_state = "hidden"
    shown = book.create_sheet("shown")
    shown.append(["visible", 2])
    book.active = 1
    book.save(path)


def data_bar_sheet(path):
    """A sheet with a 2010 data bar: an extension openpyxl warns about."""
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet()
    for r in range(5):
        sheet.write_number(r, 0, r)
        sheet.write_string(r, 1, f"t{r}")
    sheet.conditional_format("A1:A5", {"type": "data_bar", "data_bar_2010": True})
    book.close()


def pandas_written(path):
    frame = pd.DataFrame({"code": ["a", "b", None, "d"], "amount": [1.5, None, 3, 4],
                          "when": pd.to_datetime(["2024-01-01", None, "2024-03-01", "2024-04-01"])})
    frame.to_excel(path, index=False)


def module_written(path):
    import vorlatek.excelTools as et

    frame = pd.DataFrame({"Code": ["A-1", "B-2"], "Qty": [3, 4], "When": [D(2024, 5, 1), D(2024, 5, 2)]})
    assert et.write_formatted_excel(path, {"Report": [{"df": frame}, {"df": frame, "startcol": 4}]})


# --- part by part ------------------------------------------------------------------


def c(ref, value=None, t=None, s=None, inner=None):
    attrs = (f' r="{ref}"' if ref else "") + (f' t="{t}"' if t else "") + (f' s="{s}"' if s is not None else "")
    if inner is None:
        inner = "" if value is None else f"<v>{value}</v>"
    return f"<c{attrs}>{inner}</c>" if inner else f"<c{attrs}/>"


def row(r, *cells, extra=""):
    return f'<row{f" r={chr(34)}{r}{chr(34)}" if r else ""}{extra}>{"".join(cells)}</row>'


def one_sheet(rows, strings=None, styles=None, workbook_pr="", **sheet):
    return wp.package([("Data", "worksheets/sheet1.xml", wp.sheet_xml(rows, **sheet), None)],
                      strings=strings, styles=styles, workbook_pr=workbook_pr)


SHARED = wp.strings_xml([
    "<t>plain</t>",
    '<t xml:space="preserve">  spaced  </t>',
    "<r><t>rich </t></r><r><rPr><b/></rPr><t>run</t></r>",
    "<r><t>東京</t></r><rPh sb=\"0\" eb=\"2\"><t>トウキョウ</t></rPh><phoneticPr fontId=\"0\" type=\"noConversion\"/>",
    "<t>_x000D_ kept _x005F_x0041_ unescaped</t>",
    "<t/>",
    "<t>line&#13;&#10;break</t>",
    "<t>raw\r\nnewline</t>",
    "<t><![CDATA[a<b & c]]></t>",
    "<t>&#x41;&amp;&lt;&gt;</t>",
    "<rPh sb=\"0\" eb=\"1\"><t>only phonetic</t></rPh>",
    "<t>first</t><r><t>+run</t></r>",
    "<t>NA</t>",
    "<t>12</t>",
    "<t>   </t>",
    # Read in one pass, then left to the events: white space between the
    # tags, an empty si, another xml:space, a bracket, two texts.
    "\n  <t>indented</t>\n",
    "",
    '<t xml:space="default">other space</t>',
    "<t>a ]] b</t>",
    "<t>first</t><t>last</t>",
]).replace("<si></si>", "<si/>")


def shared_and_inline():
    rows = "".join([
        row(1, *(c(f"{L}1", k, "s") for L, k in zip("ABCDEFGH", range(8)))),
        row(2, *(c(f"{L}2", k, "s") for L, k in zip("ABCDEFG", range(8, 15)))),
        row(3, c("A3", t="inlineStr", inner="<is><t>inline</t></is>"),
            c("B3", t="inlineStr", inner='<is><r><t xml:space="preserve">in </t></r><r><t>runs</t></r></is>'),
            c("C3", t="inlineStr", inner="<is><t>漢字</t><rPh sb=\"0\" eb=\"1\"><t>かんじ</t></rPh></is>"),
            c("D3", t="inlineStr", inner="<is><t>_x000A_ and _x005F_x0041_</t></is>"),
            c("E3", t="inlineStr", inner="<is/>"),
            c("F3", t="inlineStr"),
            c("G3", t="inlineStr", inner="<is><t>cr&#13;here</t></is>"),
            c("H3", t="inlineStr", inner="<v>ignored</v>")),
        row(4, c("A4", "cached text", "str"), c("B4", "", "str"), c("C4", "x", "unknown"),
            c("D4", 3, "s"), c("E4", "literal &lt;v&gt;", "inlineStr")),
        row(5, *(c(f"{L}5", k, "s") for L, k in zip("ABCDE", range(15, 20)))),
    ])
    return one_sheet(rows, strings=SHARED, styles=wp.styles_xml())


def numbers_and_booleans():
    values = ["1", "1.0", "1E3", "1e-3", "-0", "-0.0", "12345678901234567890", "0.1", " 7",
              "2.5E+307", "4.9E-324", "9007199254740993", "1.7976931348623157e308", "00012", "+5", "1_000",
              # 15 significant digits and fewer, then more (rounded the long way)
              "0.123456789012345", "-1234567890.12345", "-0.000000000000001", "999999999999999",
              "123456789012345.6", "9.999999999999999", "0.30000000000000004", "45293.75", "5."]
    rows = "".join(row(k + 1, c(f"A{k + 1}", v), c(f"B{k + 1}", v, "n", s=STYLE_PERCENT)) for k, v in enumerate(values))
    rows += row(len(values) + 1, c(f"A{len(values) + 1}", "1", "b"), c(f"B{len(values) + 1}", "0", "b"),
                c(f"C{len(values) + 1}", "2", "b"), c(f"D{len(values) + 1}", "#N/A", "e"),
                c(f"E{len(values) + 1}", "#REF!", "e"), c(f"F{len(values) + 1}", "", "n"))
    return one_sheet(rows, styles=wp.styles_xml())


STYLE_PERCENT = wp.STYLE[10]


def number_overflow(value):
    def parts():
        return one_sheet(row(1, c("A1", "1"), c("B1", value)), styles=wp.styles_xml())
    return parts


def formulas_cached():
    rows = "".join([
        row(1, c("A1", "2", inner="<f>1+1</f><v>2</v>"), c("B1", inner="<f>1+1</f>"),
            c("C1", t="str", inner="<f>\"a\"&amp;\"b\"</f><v>ab</v>"),
            c("D1", t="b", inner="<f>TRUE()</f><v>1</v>"), c("E1", t="e", inner="<f>1/0</f><v>#DIV/0!</v>"),
            c("F1", t="str", inner="<f>A1</f><v></v>"), c("G1", s=wp.STYLE[164], inner="<f>TODAY()</f><v>45293.75</v>")),
        row(2, c("A2", inner='<f t="shared" ref="A2:A4" si="0">B1*2</f><v>4</v>'),
            c("B2", t="s", inner="<f>X</f><v>0</v>")),
        row(3, c("A3", inner='<f t="shared" si="0"/><v>6</v>'), c("B3", inner='<f t="array" ref="B3">{1}</f><v>1</v>')),
        row(4, c("A4", inner='<f t="shared" si="0"/>')),
    ])
    return one_sheet(rows, strings=wp.strings_xml(["<t>shared from a formula</t>"]), styles=wp.styles_xml())


def iso_dates():
    values = ["2024-01-05T10:20:30", "2024-01-05", "10:20:30", "2024-01-05T10:20:30.123456",
              "2024-01-05T10:20:30Z", "2024-01-05T10:20", "PT1H30M", "T10:20", "1900-02-28T00:00:00"]
    rows = "".join(row(k + 1, c(f"A{k + 1}", v, "d"), c(f"B{k + 1}", k)) for k, v in enumerate(values))
    return one_sheet(rows, styles=wp.styles_xml())


def bad_iso_date():
    return one_sheet(row(1, c("A1", "2024-13-01", "d")))


def serial_formats(epoch1904):
    def parts():
        rows = "".join(
            row(r + 1, *(c(f"{wp_letter(k)}{r + 1}", serial, s=style) for k, style in enumerate(range(len(wp.STYLE_FORMATS)))))
            for r, serial in enumerate(["0", "0.25", "1", "59", "60", "61", "45296.5", "-1", "2958465.99999",
                                        "1e7", "0.99999999999", "100.000011574"]))
        pr = '<workbookPr date1904="1"/>' if epoch1904 else '<workbookPr date1904="false"/>'
        return one_sheet(rows, styles=wp.styles_xml(), workbook_pr=pr)
    return parts


def wp_letter(k):
    return "ABCDEFGHIJKLMNOPQRSTUVWXYZ"[k]


def unaddressed():
    rows = "".join([
        row(None, c(None, 1), c(None, 2), c(None, 3)),
        row(None, c(None, 4), c("D2", 5), c(None, 6)),
        row(5, c(None, 7), c("C5", 8), c(None, 9)),
        row(None, c("B6", 10), c(None, 11)),
        row("7.0", c(None, 12)),
    ])
    return one_sheet(rows)


def sparse_out_of_order():
    rows = "".join([
        row(3, c("A3", 3), c("B3", 33)),
        row(9, c("A9", 9), c("C9", 99)),
        row(5, c("A5", 5), c("B5", 55)),
        row(9, c("B9", 999)),
        row(12, c("C12", 12), c("A12", 120)),
        row(14, c("A14", 1), c("A14", 2), c("B14", 3)),
        row(20, c("A20", 20)),
    ])
    return one_sheet(rows)


def trailing_empties():
    rows = "".join([
        row(1, c("A1", 1), c("B1", 2), c("C1", s=1), c("D1", "", "str"), c("E1", t="inlineStr", inner="<is><t></t></is>")),
        row(2, c("A2", 3), c("G2", s=0)),
        row(3, c("C3", "", "str")),
        row(4),
        row(8, c("A8", s=1), c("B8", s=1)),
        row(30, extra=' ht="20" customHeight="1"'),
    ])
    return one_sheet(rows, styles=wp.styles_xml())


def dimension(ref):
    def parts():
        rows = row(1, c("A1", 1), c("B1", 2)) + row(2, c("A2", 3), c("D2", 4)) + row(6, c("B6", 5))
        return one_sheet(rows, dimension=ref)
    return parts


def sheet_order_differs():
    first = wp.sheet_xml(row(1, c("A1", 1), c("B1", "second file, listed first", "inlineStr",
                                                 inner="<is><t>second file, listed first</t></is>")))
    second = wp.sheet_xml(row(1, c("A1", 2), c("B1", t="inlineStr", inner="<is><t>first file</t></is>")))
    return wp.package([("listed first", "worksheets/sheet2.xml", first, None),
                       ("listed second", "worksheets/sheet1.xml", second, None)])


def hidden_states(state):
    def parts():
        hidden = wp.sheet_xml(row(1, c("A1", 1), c("B1", 10)))
        shown = wp.sheet_xml(row(1, c("A1", 2), c("B1", 20)))
        return wp.package([("first", "worksheets/sheet1.xml", hidden, state),
                           ("second", "worksheets/sheet2.xml", shown, None)])
    return parts


def first_part_missing():
    shown = wp.sheet_xml(row(1, c("A1", 2), c("B1", 20)))
    return wp.package([("gone", "worksheets/sheet1.xml", None, None),
                       ("present", "worksheets/sheet2.xml", shown, None)])


def no_styles_part():
    return one_sheet(row(1, c("A1", 45000, s=1), c("B1", 2)))


def prefixed_namespace():
    x = "x:"
    rows = (f'<{x}row r="1"><{x}c r="A1" t="s"><{x}v>0</{x}v></{x}c><{x}c r="B1"><{x}v>5</{x}v></{x}c></{x}row>'
            f'<{x}row r="2"><{x}c r="A2" t="inlineStr"><{x}is><{x}t>inline</{x}t></{x}is></{x}c></{x}row>')
    sheet = wp.sheet_xml(rows, root=f'<x:worksheet xmlns:x="{wp.MAIN}">', end="</x:worksheet>",
                         data=("<x:sheetData>", "</x:sheetData>"))
    strings = wp.DECLARATION + f'<x:sst xmlns:x="{wp.MAIN}"><x:si><x:t>prefixed</x:t></x:si></x:sst>'
    return wp.package([("Data", "worksheets/sheet1.xml", sheet, None)], strings=strings)


def utf16_parts():
    rows = row(1, c("A1", 0, "s"), c("B1", 1))
    parts = one_sheet(rows, strings=wp.strings_xml(["<t>utf-16 text ü</t>"]))
    for name in ("xl/sharedStrings.xml", "xl/worksheets/sheet1.xml"):
        parts[name] = parts[name].replace('encoding="UTF-8"', 'encoding="UTF-16"').encode("utf-16")
    return parts


def comments_and_odd_markup():
    rows = "".join([
        row(1, c("A1", inner="<v>1<!-- a comment -->2</v>"), c("B1", inner="<v><?pi x?>3</v>"),
            c("C1", t="s", inner="<v>0</v><extLst/>")),
        row(2, c("A2", inner="<v>\n 4 \n</v>"), c("B2", t="inlineStr", inner="<is><t>a<!-- c -->b</t></is>")),
    ])
    return one_sheet(rows, strings=wp.strings_xml(["<t>x<!-- y -->z</t>"]))


def sheet_with_extensions():
    ext = ('<extLst><ext uri="{78C0D931-6437-407d-A8EE-F0AAD7539E65}" '
           'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"></ext></extLst>')
    return one_sheet(row(1, c("A1", 1), c("B1", 2)), after=ext)


def only_chartsheet_parts():
    chart = (wp.DECLARATION + f'<chartsheet xmlns="{wp.MAIN}" xmlns:r="{wp.RELS}"><sheetViews>'
             '<sheetView workbookViewId="0"/></sheetViews></chartsheet>')
    return wp.package([("chart", "chartsheets/sheet1.xml", chart, None)])


def shared_index_out_of_range():
    return one_sheet(row(1, c("A1", 5, "s")), strings=wp.strings_xml(["<t>only</t>"]))


def bad_style_index():
    return one_sheet(row(1, c("A1", 1, s="x")))


# --- far cells ---------------------------------------------------------------------

FAR_BELOW = 200_000


def table_rows(last=10, width="ABC"):
    return "".join(row(r, *(c(f"{L}{r}", r * 10 + k) for k, L in enumerate(width))) for r in range(1, last + 1))


def far_cell(ref, text_rows=None, above=""):
    def parts():
        r = int("".join(ch for ch in ref if ch.isdigit()))
        rows = text_rows or table_rows()
        if r <= 10:
            # Within the table's rows: the stray joins that row.
            body = "".join(row(k, *(c(f"{L}{k}", k * 10 + n) for n, L in enumerate("ABC")),
                               *([c(ref, 7)] if k == r else [])) for k in range(1, 11))
        else:
            body = rows + row(r, c(ref, 7))
        return one_sheet(above + body)
    return parts


# --- the scanner's worst cases --------------------------------------------------------
#
# At sizes that span several of the pieces the route reads a member in, so
# that a character, a tag or a search is cut where a piece ends.

PIECE = 1 << 20  # what the route reads of a member at a time
TOKEN_BOUND = 4 << 20  # the longest tag or text it holds before leaving the part to openpyxl
MIXED_TEXT = "é東京😀 x"  # characters of two, three and four bytes, and ASCII


def with_root_prefix(sheet, markup):
    """The sheet with `markup` right after the root's start tag."""
    root = f'<worksheet xmlns="{wp.MAIN}">'
    return sheet.replace(root, root[:-1] + markup + ">" if markup.startswith(" ") else root + markup, 1)


def comment_ahead_of_rows():
    # The apostrophe opens no quote in a comment: the route leaves the sheet
    # at the comment, before reading the rows.
    sheet = wp.sheet_xml(table_rows(30_000), dimension="A1:C30000")
    return {**one_sheet(""), "xl/worksheets/sheet1.xml": with_root_prefix(sheet, "<!-- the owner's note -->")}


def text_without_ascii(size):
    def parts():
        text = "\u3042" * (size // 3)
        return one_sheet(row(1, c("A1", t="inlineStr", inner=f"<is><t>{text}</t></is>"), c("B1", 1))
                         + row(2, c("A2", 2), c("B2", 3)), dimension="A1:B2")
    return parts


def long_mixed_strings():
    # Shared and inline texts far longer than a piece, of mixed widths, and a
    # table of short ones: every piece ends inside some character.
    long_text = MIXED_TEXT * (3 * PIECE // len(MIXED_TEXT.encode()))
    items = [f"<t>{long_text}</t>"] + [f"<t>{MIXED_TEXT * (k % 7)}{k}</t>" for k in range(60_000)]
    rows = (row(1, c("A1", 0, "s"), c("B1", t="inlineStr", inner=f"<is><t>{long_text[1:]}</t></is>"), c("C1", 59_999, "s"))
            + "".join(row(r, c(f"A{r}", r * 997 % 60_000, "s"), c(f"B{r}", r), c(f"C{r}", r * 13 % 60_000, "s"))
                      for r in range(2, 200)))
    return one_sheet(rows, strings=wp.strings_xml(items), dimension="A1:C199")


X14AC = "http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac"

# Rows in the shapes writers give them, read in one pass over the bytes:
# attributes in any order and quotes of either kind, white space inside
# tags and between cells, empty cells and values, formulas, inline strings
# of one text, rows without a number.
PLAIN_ROWS = [
    '<row r="{r}" spans="1:4" x14ac:dyDescent="0.25"><c s="1" t="s" r="A{r}"><v>0</v></c>'
    '<c r="B{r}" s=\'0\'><v>{r}.5</v></c></row>',
    '<row r="{r}">\n  <c r="A{r}" t="n"><v>{r}</v></c>\n  <c r="C{r}"/>\n  <c r = "D{r}" t="b" ><v>1</v></c >\n</row >',
    '<row r="{r}"><c r="A{r}" t="inlineStr"><is><t xml:space="preserve"> in {r} </t></is></c>'
    '<c r="B{r}"><f>1+1</f><v>2</v></c><c r="C{r}" t="str"><v/></c><c r="D{r}" t="e"><v>#N/A</v></c></row>',
    '<row><c><v>{r}</v></c><c t="s"><v>1</v></c><c r="D{r}" t="inlineStr"><is><t/></is></c></row>',
    '<row r="{r}"/>',
    '<row r="{r}"><c r="B{r}" t="inlineStr"><is/></c><c r="A{r}" t="d"><v>2024-01-05</v></c><c r="C{r}"><v></v></c></row>',
]
# Rows the scanner's events read instead (natively all the same):
# references, rich inline text, a declaration, a second value, text
# between cells, a formula with a reference, a prefixed attribute twice.
EVENT_ROWS = [
    '<row r="{r}"><c r="A{r}" t="str"><v>a &amp; b</v></c><c r="B{r}"><v>{r}</v></c></row>',
    '<row r="{r}"><c r="A{r}" t="inlineStr"><is><r><t>rich </t></r><r><t>{r}</t></r></is></c></row>',
    '<row r="{r}" xmlns:y="urn:y"><c r="A{r}" y:z="1"><v>2</v></c><c r="D{r}" t="s"><v>1</v></c></row>',
    '<row r="{r}"><c r="A{r}"><v>1</v><v>2</v></c></row>',
    '<row r="{r}">stray<c r="B{r}"><v>3</v></c></row>',
    '<row r="{r}"><c r="A{r}" t="str"><f>"a"&amp;"b"</f><v>ab</v></c><c r="C{r}" t="str"><v>]]</v></c></row>',
    '<row r="{r}" x14ac:a="1" x14ac:b="2"><c r="A{r}" t="inlineStr"><is><t>x&#13;y</t></is></c></row>',
]


def plain_and_event_rows(count, tail="", shapes=None):
    """`count` rows taking turns between the two readings, long enough to
    cross the pieces the route reads; `tail` after them."""
    def parts():
        chosen = shapes or PLAIN_ROWS + EVENT_ROWS
        rows = "".join(chosen[k % len(chosen)].replace("{r}", str(k + 1)) for k in range(count)) + tail
        sheet = wp.sheet_xml(rows, root=f'<worksheet xmlns="{wp.MAIN}" xmlns:x14ac="{X14AC}">')
        return {**one_sheet("", strings=wp.strings_xml(["<t>one</t>", "<t>two</t>"]), styles=wp.styles_xml()),
                "xl/worksheets/sheet1.xml": sheet}
    return parts


# Rows that start in one pass and are left to the events part way along
# (the cells read so far dropped and read again), the counters of rows and
# columns carried across the two readings, and the bounds of the plain
# reading: its most attributes on one tag, white space and quotes of every
# kind, a namespace declared on a cell, line ends and references in texts.
# With r, s and t: the most attributes the plain reading takes on one tag.
ATTRIBUTES_16 = "".join(f' k{k}="{k}"' for k in range(13))
MID_ROW_SWITCHES = [
    '<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="s"><v>0</v></c>'
    '<c r="C{r}" t="inlineStr"><is><t>caf&#233;</t></is></c><c r="D{r}"><v>1.25</v></c></row>',
    '<row><c><v>1</v></c><c t="str"><v>a&lt;b</v></c><c><v>3</v></c><c t="b"><v>1</v></c></row>',
    '<row><c><v>{r}</v></c><c/><c t="b"><v>0</v></c></row>',
    '<row r="{r}"><c r="A{r}" s="1" t="n"' + ATTRIBUTES_16 + '><v>16</v></c>'
    '<c r="B{r}" s="1" t="n"' + ATTRIBUTES_16 + ' k13="x"><v>17</v></c><c><v>-0</v></c></row>',
    '<row r="{r}"><c r="A{r}"><v>1</v></c><c xmlns:q="urn:q" r="B{r}" q:z="1"><v>2</v></c><c><v>.5</v></c></row>',
    '<row r="{r}"><c r="A{r}" t="inlineStr"><is><t>tab\there\nline</t></is></c>'
    '<c r="B{r}" t="inlineStr"><is><t>cr\r\nlf\rx</t></is></c><c t="str"><v>1.</v></c></row>',
    '<row r="{r}"><c r="A{r}" t="inlineStr"><is> <t>spaced</t> </is></c>'
    '<c r="B{r}" t="inlineStr"><is><t>a</t><t>b</t></is></c><c r="D{r}" t="e"><v>#REF!</v></c></row>',
    '<row r="{r}"\n\t><c\tr="A{r}"\r\n t=\'inlineStr\'><is><t xml:space="default">  d  </t></is></c\n>'
    '<c r="B{r}" t="inlineStr"><is><t xml:space=\'preserve\'>  p  </t></is></c></row\t>',
    '<row r="{r}" spans="1:4"></row>',
    '<row r="{r}">\n</row>',
    '<row r="{r}" x14ac:dyDescent="&#48;.25"><c r="A{r}"><v>5</v></c><c r="C{r}" t="inlineStr"><is><t>é😀</t></is></c></row>',
    '<row r="{r}"><c r="A{r}"><f>1&lt;2</f><v>1</v></c><c r="B{r}" t="str"><f>"x"</f><v>x &gt; y</v></c>'
    '<c r="C{r}"><f t="shared" ref="C1:C9" si="0">1+1</f><v>2</v></c></row>',
    # an inline string in a number cell, an attribute on an inline text,
    # references in lower case and naming other rows
    '<row r="{r}"><c r="A{r}"><is><t>x</t></is><v>4</v></c><c r="B{r}" t="inlineStr"><is><t q="1">attr</t></is></c>'
    '<c r="c{r}"><v>6</v></c></row>',
    '<row r="{r}"><c r="A1"><v>7</v></c><c r="B999999999"><v>8</v></c><c r="d{r}" t="s"><v>1</v></c></row>',
]

# Where the route's pieces end: a filler before each target sized so that
# the k-th piece ends `into` bytes past the start of `at` in the k-th target.
SHEET_HEAD = (wp.DECLARATION + f'<worksheet xmlns="{wp.MAIN}" xmlns:x14ac="{X14AC}"><sheetData>').encode()
CUT_ROWS = [
    # before and inside a reference in the third cell
    ('<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="s"><v>1</v></c><c r="C{r}" t="inlineStr">'
     '<is><t>caf&#233; au lait</t></is></c><c r="D{r}"><v>2.5</v></c></row>', "&#233;", 0),
    ('<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="C{r}" t="inlineStr"><is><t>caf&#233;</t></is></c></row>', "&#233;", 3),
    # inside characters of four, three and two bytes
    ('<row r="{r}"><c r="A{r}" t="inlineStr"><is><t>x😀y</t></is></c><c r="B{r}"><v>1</v></c></row>', "😀", 1),
    ('<row r="{r}"><c r="A{r}" t="inlineStr"><is><t>x😀y</t></is></c><c r="B{r}"><v>2</v></c></row>', "😀", 3),
    ('<row r="{r}"><c r="A{r}"><v>3</v></c><c r="B{r}" t="str"><v>東京é</v></c></row>', "東", 2),
    ('<row r="{r}"><c r="A{r}"><v>4</v></c><c r="B{r}" t="str"><v>東京é</v></c></row>', "é", 1),
    # in the markup of the plain reading
    ('<row r="{r}"><c r="A{r}"><v>5</v></c></row>', "</row>", 1),
    ('<row r="{r}"><c r="A{r}"><v>6</v></c><c r="B{r}"/></row>', "</c>", 3),
    ('<row r="{r}"><c r="A{r}"><v>12345.678</v></c></row>', "345", 0),
    ('<row r="{r}"><c r="A{r}" t="s"><v>0</v></c></row>', ' t="s"', 2),
    ('<row r="{r}"><c r="A{r}" s="1"><v>7</v></c></row>', '="1"', 1),
    ('<row r="{r}"><c r="A{r}"><v>8</v></c><c r="B{r}"/></row>', "/>", 1),
    ('<row r="{r}"><c r="A{r}"><v>9</v></c></row>', "<row", 0),
    ('<row><c><v>10</v></c><c t="b"><v>1</v></c></row>', "<c t", 2),
    # in the shapes left to the events
    ('<row r="{r}"><c r="A{r}"><v>11</v></c><c xmlns:q="urn:q" r="B{r}" q:z="1"><v>3</v></c></row>', "xmlns", 3),
    ('<row r="{r}"><c r="A{r}" t="inlineStr"><is><r><t>ri</t></r><r><t>ch</t></r></is></c></row>', "<r>", 1),
    ('<row r="{r}"><c r="A{r}" t="inlineStr"><is><t>a\r\nb</t></is></c><c r="B{r}"><v>12</v></c></row>', "\r\n", 1),
    # between the two bytes of a line end in the white space between tags
    ('<row r="{r}">\r\n  <c r="A{r}"><v>13</v></c>\r\n</row>', "\r\n", 1),
]
STRINGS_HEAD = (wp.DECLARATION + f'<sst xmlns="{wp.MAIN}">').encode()
CUT_STRINGS = [
    ("<si><t>plain target</t></si>", "<si>", 0),
    ("<si><t>plain target</t></si>", "<si>", 2),
    ("<si><t>plain target</t></si>", "<t>", 1),
    ("<si><t>plain target</t></si>", "target", 3),
    ("<si><t>plain target</t></si>", "</si>", 2),
    ('<si>\n <t xml:space="preserve"> spaced </t>\n</si>', "space=", 3),
    ("<si><t>é東😀</t></si>", "😀", 2),
    ("<si><t>é東😀</t></si>", "東", 1),
    ("<si><r><t>ri</t></r><r><rPr><b/></rPr><t>ch</t></r></si>", "<r>", 1),
    ("<si><t>a&amp;b</t></si>", "&amp;", 2),
    ("<si><t>x\r\ny</t></si>", "\r\n", 1),
    ("<si><t>_x000D_escaped</t></si>", "_x000D_", 3),
    ("<si/>", "/>", 1),
    ("<si>\r\n  <t>crlf around</t>\r\n</si>", "\r\n", 1),
]


def at_piece_ends(head, targets, filler, tail):
    """head, then each target (its "{r}" numbered) after a filler, so that
    the k-th piece ends where the k-th target says; then tail."""
    out, size, number = [head], len(head), 0
    for k, (target, at, into) in enumerate(targets, start=1):
        number += 2
        body = target.replace("{r}", str(number)).encode()
        cut = body.index(at.encode()) + into
        pad = filler(k * PIECE - cut - size, number - 1)
        assert len(pad) == k * PIECE - cut - size
        out += [pad, body]
        size += len(pad) + len(body)
    return b"".join(out + [tail.encode()])


def filler_row(size, number):
    frame = f'<row r="{number}"><c r="F{number}" t="inlineStr"><is><t></t></is></c></row>'.encode()
    return frame.replace(b"<t></t>", b"<t>" + b"p" * (size - len(frame)) + b"</t>")


def filler_string(size, number):
    return b"<si><t>" + b"q" * (size - 16) + b"</t></si>"


def rows_cut_at_piece_ends():
    sheet = at_piece_ends(SHEET_HEAD, CUT_ROWS, filler_row, "</sheetData></worksheet>")
    return {**one_sheet("", strings=wp.strings_xml(["<t>one</t>", "<t>two</t>"]), styles=wp.styles_xml()),
            "xl/worksheets/sheet1.xml": sheet}


def strings_cut_at_piece_ends():
    strings = at_piece_ends(STRINGS_HEAD, CUT_STRINGS, filler_string, "</sst>")
    rows = "".join(row(k, c(f"A{k}", 2 * k - 1, "s"), c(f"B{k}", k)) for k in range(1, len(CUT_STRINGS) + 1))
    return {**one_sheet(rows, strings=""), "xl/sharedStrings.xml": strings}


# Cells of every kind the route reads itself, a few megabytes of them: long
# and short numbers, exponents, signs, negative zero, serials under date
# styles, texts that look like numbers, booleans, errors, formulas, inline
# and shared strings (plain and rich), a row for the events every so often
# and a stretch where the two readings take turns at every row.
MANY_NUMBERS = ["0.30000000000000004", "123456789012345678", "-1234567890123456789", "9007199254740993",
                "1.7976931348623157e298", "4.9E-324", "1e-400", "-0", "-0.0", "1.", ".5", "-.5", "+1.5", "+7",
                "1.5E+3", "2e-7", "-2.5e10", "123456789.123456789", "0.1", "00042", "1" + "0" * 40,
                "3.14159265358979", "-99999999999999.9", "5e0", "999999999999999", "0.000001", "-1E-5",
                # 16 digits: a mantissa beyond 2 ** 53 rounds twice when divided
                "0.9007199254740993", "96.48064786969077", "-91128735.31840813"]
MANY_TEXTS = ["inf", "-Infinity", "NaN", "nan", "1e5", "TRUE", "#N/A", "", " spaced ", "é東京😀", "a > b",
              "quote ' \"", "tab\there", "-0", "1."]
MANY_STRINGS = ["<t>plain</t>", '<t xml:space="preserve"> kept </t>', "<r><t>ri</t></r><r><rPr><b/></rPr><t>ch</t></r>",
                "<t>a&amp;b</t>", "", "<t/>", "<t>_x0041_x</t>", '<r><t xml:space="preserve">lead </t></r>',
                "<t>東京</t><rPh sb=\"0\" eb=\"1\"><t>トウ</t></rPh>", "<t>12</t>", "\n <t>around</t> "]


def many_kinds_cell(ref, k):
    kind = k % 9
    if kind == 0:
        return c(ref, MANY_NUMBERS[k // 9 % len(MANY_NUMBERS)])
    if kind == 1:
        return c(ref, MANY_TEXTS[k // 9 % len(MANY_TEXTS)].replace("&", "&amp;"), "str")
    if kind == 2:
        return c(ref, ["0", "1", "2", "-1", "00", "+1"][k % 6], "b")
    if kind == 3:
        return c(ref, ["#N/A", "#DIV/0!", "#REF!", "#NAME?", "#NUM!", "#NULL!", "#VALUE!", "#GETTING_DATA"][k % 8], "e")
    if kind == 4:
        return [c(ref, inner="<f>1+1</f><v>2</v>"), c(ref, "s", "str", inner='<f>"s"</f><v>s</v>'),
                c(ref, t="b", inner="<f>TRUE()</f><v>1</v>"), c(ref, inner="<f>PI()</f>")][k % 4]
    if kind == 5:
        return c(ref, t="inlineStr", inner=["<is><t>inline é</t></is>", '<is><t xml:space="preserve">  lead</t></is>',
                                            "<is/>", "<is><t/></is>"][k % 4])
    if kind == 6:
        return c(ref, k % len(MANY_STRINGS), "s")
    if kind == 7:
        return c(ref, ["45293.5", "1", "0.75", "2958465", "61"][k % 5], s=wp.STYLE[[14, 22, 20, 164][k % 4]])
    return c(ref, f"{k}.{k % 997}", s=STYLE_PERCENT)


def many_kinds(count):
    def parts():
        rows = []
        for r in range(1, count + 1):
            cells = [many_kinds_cell(f"{L}{r}", r * 8 + n) for n, L in enumerate("ABCDEFGH")]
            if r % 97 == 0 or 3000 <= r < 3100 and r % 2 or 4000 <= r < 5000 and r % 64 in (0, 1):
                cells[5] = c(f"F{r}", "a &amp; b", "str")  # for the events, part way along
            rows.append(row(r, *cells))
        return one_sheet("".join(rows), strings=wp.strings_xml(MANY_STRINGS), styles=wp.styles_xml())
    return parts


def shared_strings_taking_turns(count):
    """`count` shared strings, the plain ones and those for the events in
    turn (a piece ends anywhere among them), and rows reaching across."""
    def parts():
        shapes = MANY_STRINGS + ["<t>é東😀 {k}</t>", "<t>{k}&#10;x</t>", "<r><t>{k}</t></r>", '<t xml:space="preserve">{k} </t>',
                                 "<t>_x000D_{k}</t>", "<t>{k}\r\n</t>", "<t>]{k}</t>", "<t>a</t><t>{k}</t>"]
        items = [shapes[k % len(shapes)].replace("{k}", str(k)) for k in range(count)]
        rows = "".join(row(r, c(f"A{r}", r * 131 % count, "s"), c(f"B{r}", r * 7919 % count, "s"), c(f"C{r}", r % len(shapes), "s"))
                       for r in range(1, 400))
        return one_sheet(rows, strings=wp.strings_xml(items))
    return parts


def late_odd_cell(cell, count=1500):
    """Plainly written rows past the size the route reads without the lock,
    then a cell the library reads otherwise (the sheet is left to it)."""
    def parts():
        rows = table_rows(count, "ABCD") + row(count + 1, c(f"A{count + 1}", 1), cell(f"B{count + 1}"))
        return one_sheet(rows, strings=wp.strings_xml(["<t>one</t>", "<t>two</t>"]))
    return parts


def many_attributes(count, prefix="", repeat_first=False):
    def parts():
        names = [f"a{k:x}" for k in range(count)] + (["a0"] if repeat_first else [])
        attributes = "".join(f' {prefix}{name}="{k % 10}"' for k, name in enumerate(names))
        declaration = ' xmlns:o="urn:other"' if prefix else ""
        rows = row(1, f'<c r="A1"{declaration}{attributes}><v>1</v></c>', c("B1", 2)) + row(2, c("A2", 3))
        return one_sheet(rows)
    return parts


def many_namespaces(count):
    def parts():
        declarations = "".join(f' xmlns:n{k}="urn:n{k}"' for k in range(count))
        sheet = wp.sheet_xml(row(1, c("A1", 1), c("B1", 2)))
        return {**one_sheet(""), "xl/worksheets/sheet1.xml": with_root_prefix(sheet, declarations)}
    return parts


BASE_MAPPINGS = [across("ABC"), backwards("ABC"), across("AB", row=3)]

# name: (how the file comes about, mappings, whether the native route reads it)
# A file is made by a function of its path (writers), by a function giving
# its parts, or converted by LibreOffice from another case ("soffice:<case>").
CASES = {
    # The workbooks the suite already has.
    "demo-report": (lambda p: shutil.copy(ROOT / "demo/data/shipments_report.xlsx", p),
                    [{"Code": "B6", "Product": "C6", "Qty": "D6", "Amount": "F6"},
                     {"Amount": "F6", "Code": "B6"}, {"Title": "A1", "Note": "G1"}], "native"),
    "reader-openpyxl": (reader_books.write_with_openpyxl,
                        [{"Code": "B3", "Date": "D3", "Amount": "F3"}, {"Amount": "F3", "Code": "B3"},
                         {"Title": "A1"}, {"First": "B3", "Second": "B4"}, {"Far": "Z3"},
                         {1: "d3", None: "b3", 2.5: "F4"}], "native"),
    "reader-xlsxwriter": (reader_books.write_with_xlsxwriter,
                          [{"Code": "B3", "Date": "D3", "Amount": "F3"}, {"Date": "D3", "Amount": "F3", "Code": "B3"},
                           {"Code": "B3", "Date": "D7"}], "native"),
    "hostile-plain": (lambda p: wp.save(p, hostile_books.workbook_parts()),
                      [{"Name": "A1", "Qty": "B1"}], "native"),
    "hostile-far-xfd300": (lambda p: shutil.copy(hostile_books.far_cell_book(pathlib.Path(os.path.dirname(p)), "XFD300"), p),
                           [{"First": "A1", "Far": "XFD1"}, {"First": "A1"}], "native"),
    "pandas-written": (pandas_written, [across("ABC"), across("ABC", row=2), backwards("AC", row=2)], "native"),
    "module-written": (module_written, [across("ABCEFG"), backwards("AEG", row=2), across("D", row=2)], "native"),
    # Every kind of cell, both date systems, by each writer.
    "openpyxl-kinds-1900": (openpyxl_kinds, [across(KIND_LETTERS + "JK"), backwards("ACEG", row=2)], "native"),
    "openpyxl-kinds-1904": (lambda p: openpyxl_kinds(p, epoch1904=True), [across(KIND_LETTERS, row=2)], "native"),
    # Serials past the last date or below zero make openpyxl warn and read an
    # error: the route leaves such sheets to openpyxl, so these two kinds of
    # file are "either"; the in-range twins stay on the route.
    "openpyxl-serials-1900": (openpyxl_serials, [across(SERIAL_LETTERS), backwards("ABCD", row=4)], "either"),
    "openpyxl-serials-in-range-1900": (lambda p: openpyxl_serials(p, values=SERIALS_IN_RANGE), [across(SERIAL_LETTERS), backwards("ABCD", row=4)], "native"),
    "openpyxl-serials-in-range-1904": (lambda p: openpyxl_serials(p, True, SERIALS_IN_RANGE), [across(SERIAL_LETTERS)], "native"),
    "openpyxl-serials-1904": (lambda p: openpyxl_serials(p, epoch1904=True), [across(SERIAL_LETTERS)], "either"),
    "xlsxwriter-kinds-1900": (xlsxwriter_kinds, [across(KIND_LETTERS + "JKLMN"), across("AB", row=5)], "native"),
    "xlsxwriter-kinds-1904": (lambda p: xlsxwriter_kinds(p, epoch1904=True), [across(KIND_LETTERS + "K", row=2)], "native"),
    "xlsxwriter-serials-1900": (xlsxwriter_serials, [across(SERIAL_LETTERS)], "either"),
    "xlsxwriter-serials-in-range-1904": (lambda p: xlsxwriter_serials(p, True, SERIALS_IN_RANGE), [across(SERIAL_LETTERS)], "native"),
    "xlsxwriter-serials-1904": (lambda p: xlsxwriter_serials(p, epoch1904=True), [across(SERIAL_LETTERS)], "either"),
    "xlsxwriter-cjk": (xlsxwriter_cjk, [across("ABCD"), backwards("ABD", row=4)], "native"),
    "openpyxl-chartsheet-first": (chartsheet_first, [across("ABC")], "native"),
    "openpyxl-hidden-first": (hidden_first, [across("AB")], "native"),
    "xlsxwriter-data-bar": (data_bar_sheet, [across("AB")], "either"),
    # LibreOffice's own writing of the same contents.
    "soffice-kinds-1900": ("soffice:openpyxl-kinds-1900", [across(KIND_LETTERS + "JK"), backwards("BDF", row=2)], "native"),
    "soffice-kinds-1904": ("soffice:openpyxl-kinds-1904", [across(KIND_LETTERS, row=2)], "native"),
    "soffice-xlsxwriter-kinds": ("soffice:xlsxwriter-kinds-1900", [across(KIND_LETTERS + "JKLMN")], "native"),
    "soffice-serials-1904": ("soffice:xlsxwriter-serials-1904", [across(SERIAL_LETTERS)], "either"),
    "soffice-cjk": ("soffice:xlsxwriter-cjk", [across("ABCD")], "native"),
    "soffice-parts-strings": ("soffice:parts-shared-and-inline", [across("ABCDEFGH")], "native"),
    # Part by part.
    # These three hold texts Python's int() takes but the route does not read
    # itself (" 7", "+5", "1_000", r="7.0"), an unknown cell type and a
    # carriage return by reference: left to openpyxl, equal all the same.
    "parts-shared-and-inline": (shared_and_inline, [across("ABCDEFGH"), backwards("ACEG", row=2), across("ABCDE", row=5)], "either"),
    "parts-numbers-booleans": (numbers_and_booleans, [across("ABCDE"), across("A", row=3), across("ABCDEF")], "either"),
    "parts-number-infinite": (number_overflow("1e400"), [across("AB")], "either"),
    "parts-number-hex": (number_overflow("0x10"), [across("AB")], "either"),
    "parts-number-nan-text": (number_overflow("NaN"), [across("AB")], "either"),
    "parts-formulas-cached": (formulas_cached, [across("ABCDEFG"), across("AB", row=2)], "native"),
    "parts-iso-dates": (iso_dates, [across("AB")], "native"),
    "parts-iso-date-invalid": (bad_iso_date, [across("A")], "either"),
    "parts-serials-1900": (serial_formats(False), [across("ABCDEFGHIJKLMNOPQRSTUVW")], "either"),
    "parts-serials-1904": (serial_formats(True), [across("ABCDEFGHIJKLMNOPQRSTUVW")], "either"),
    "parts-unaddressed": (unaddressed, [across("ABCD"), across("BC", row=2)], "either"),
    "parts-sparse-out-of-order": (sparse_out_of_order, [across("ABC"), across("AB", row=4), backwards("AC", row=9)], "native"),
    "parts-trailing-empties": (trailing_empties, [across("AB"), across("ABCDEFG"), across("A", row=3)], "native"),
    "parts-dimension-too-small": (dimension("A1:B2"), [across("ABD")], "native"),
    "parts-dimension-single": (dimension("A1"), [across("ABD")], "native"),
    "parts-dimension-too-large": (dimension("A1:Z900"), [across("ABD")], "native"),
    "parts-dimension-missing": (dimension(""), [across("ABD")], "native"),
    "parts-dimension-garbage": (dimension("nonsense"), [across("AB")], "either"),
    "parts-sheet-order": (sheet_order_differs, [across("AB")], "native"),
    "parts-hidden-first": (hidden_states("hidden"), [across("AB")], "native"),
    "parts-very-hidden-first": (hidden_states("veryHidden"), [across("AB")], "native"),
    "parts-first-sheet-part-missing": (first_part_missing, [across("AB")], "either"),
    "parts-no-styles": (no_styles_part, [across("AB")], "either"),
    "parts-prefixed-namespace": (prefixed_namespace, [across("AB")], "either"),
    "parts-utf16": (utf16_parts, [across("AB")], "either"),
    "parts-comments-in-values": (comments_and_odd_markup, [across("ABC")], "either"),
    "parts-sheet-extensions": (sheet_with_extensions, [across("AB")], "either"),
    "parts-only-chartsheet": (only_chartsheet_parts, [across("A")], "either"),
    "parts-shared-index-out-of-range": (shared_index_out_of_range, [across("A")], "either"),
    "parts-bad-style-index": (bad_style_index, [across("A")], "either"),
    # Stray values far to the right and far below a 10-row table in A:C.
    "far-right-in-table-row": (far_cell("DKJ5"), [across("ABC"), across("AB", row=3), {"a": "A1", "far": "DKJ1"},
                                                   {"far": "DKJ1", "a": "A1"}, {"gap": "Z1"}, {"beyond": "DKK1"}], "native"),
    "far-right-last-column": (far_cell("XFD2"), [across("ABC"), {"c": "C3", "far": "XFD3"}, {"a": "A1", "far": "XFD1"}], "native"),
    "far-right-above-start": (far_cell("ALL2"), [across("ABC", row=3), {"gap": "D3"}, {"far": "ALL3"},
                                                  {"far": "ALL1", "b": "B1"}], "native"),
    "far-below-used-column": (far_cell(f"B{FAR_BELOW}"), [across("ABC"), backwards("AB", row=2),
                                                           {"b": f"B{FAR_BELOW + 1}"}], "native"),
    "far-below-unused-column": (far_cell(f"E{FAR_BELOW}"), [across("ABC", row=3), {"gap": "D1", "f": "F1"}], "native"),
    "far-below-and-right": (far_cell(f"AB{FAR_BELOW // 4}"), [across("ABC"), {"far": "AB3", "a": "A3"}], "native"),
    # The scanner's worst cases; beyond its bounds the route leaves the sheet
    # to openpyxl.
    "worst-comment-ahead": (comment_ahead_of_rows, [across("ABC"), across("BC", row=29_000)], "aside"),
    "worst-text-without-ascii": (text_without_ascii(TOKEN_BOUND + 3 * PIECE), [across("AB")], "aside"),
    "worst-text-without-ascii-within-bound": (text_without_ascii(TOKEN_BOUND - PIECE), [across("AB")], "native"),
    "worst-long-mixed-strings": (long_mixed_strings, [across("ABC"), backwards("AC", row=150)], "native"),
    "worst-many-attributes": (many_attributes(20_000), [across("AB")], "native"),
    "worst-many-attributes-prefixed": (many_attributes(20_000, "o:"), [across("AB")], "native"),
    "worst-many-attributes-one-twice": (many_attributes(20_000, repeat_first=True), [across("AB")], "either"),
    "worst-many-namespaces": (many_namespaces(1000), [across("AB")], "aside"),
    "worst-namespaces-within-bound": (many_namespaces(40), [across("AB")], "native"),
    "plain-and-event-rows": (plain_and_event_rows(13), [across("ABCD"), backwards("BD", row=4), across("AC", row=9)], "native"),
    "plain-and-event-rows-many": (plain_and_event_rows(12_000), [across("ABCD"), backwards("AD", row=11_000)], "native"),
    "plain-rows-then-comment": (plain_and_event_rows(300, '<row r="301"><!-- a note --></row>'), [across("AB")], "aside"),
    "plain-rows-switching-mid-row": (plain_and_event_rows(len(MID_ROW_SWITCHES) * 2, shapes=MID_ROW_SWITCHES + PLAIN_ROWS),
                                     [across("ABCD"), backwards("ABD", row=2), across("ABC", row=14), across("ABCD", row=13)], "native"),
    "plain-rows-switching-mid-row-many": (plain_and_event_rows(6_000, shapes=MID_ROW_SWITCHES + PLAIN_ROWS[:3]),
                                          [across("ABCD", row=5_000)], "native"),
    "pieces-ending-within-rows": (rows_cut_at_piece_ends, [across("ABCD"), across("ABC", row=6), across("ABF", row=19), across("A", row=36)], "native"),
    "pieces-ending-within-shared-strings": (strings_cut_at_piece_ends, [across("AB")], "native"),
    "many-kinds-across-pieces": (many_kinds(6_000), [across("ABCDEFGH"), backwards("ACEFH", row=2_990)], "native"),
    "shared-strings-taking-turns": (shared_strings_taking_turns(45_000), [across("ABC")], "native"),
    "late-number-text-inf": (late_odd_cell(lambda ref: c(ref, "inf")), [across("AB")], "aside"),
    "late-number-text-nan": (late_odd_cell(lambda ref: c(ref, "nan")), [across("AB")], "aside"),
    "late-shared-index-out-of-range": (late_odd_cell(lambda ref: c(ref, 2, "s")), [across("AB")], "aside"),
    "late-empty-style": (late_odd_cell(lambda ref: c(ref, 5, s="")), [across("AB")], "aside"),
    "late-cdata-value": (late_odd_cell(lambda ref: c(ref, inner="<v><![CDATA[7]]></v>")), [across("AB")], "aside"),
    "late-processing-instruction": (late_odd_cell(lambda ref: "<?pi x?>" + c(ref, 3)), [across("AB")], "aside"),
    "far-below-gaps-and-skips": (far_cell(f"A{FAR_BELOW}", table_rows(4) + row(50_000, c("B50000", 5)) + row(150_000, c("C150000", 6))),
                                 [across("AC", row=60_000), {"c": "C150000", "b": "B2"}], "native"),
}


def soffice_convert_all(sources, out_dir, profile):
    """Converts every source in ONE LibreOffice run (it starts slowly)."""
    if not sources:
        return
    subprocess.run([SOFFICE, f"-env:UserInstallation={profile.as_uri()}", "--headless",
                    "--convert-to", "xlsx", "--outdir", str(out_dir), *map(str, sources)],
                   check=True, capture_output=True, timeout=300)


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    folder = tmp_path_factory.mktemp("route_books")
    paths = {}
    for name, (make, _, _) in CASES.items():
        if isinstance(make, str):
            continue
        path = folder / f"{name}.xlsx"
        if inspect.signature(make).parameters:
            make(str(path))  # a writer
        else:
            wp.save(path, make())  # the parts
        paths[name] = str(path)
    converted = {name: make.split(":", 1)[1] for name, (make, _, _) in CASES.items() if isinstance(make, str)}
    if SOFFICE is not None:
        # Sources renamed so that every output has its own name.
        sources = []
        for name, source in converted.items():
            copy = folder / "to_convert" / f"{name}.xlsx"
            copy.parent.mkdir(exist_ok=True)
            shutil.copy(paths[source], copy)
            sources.append(copy)
        soffice_convert_all(sources, folder / "converted", folder / "lo-profile")
        for name in converted:
            paths[name] = str(folder / "converted" / f"{name}.xlsx")
    return paths


def case_params():
    for name, (make, mappings, route) in CASES.items():
        marks = [pytest.mark.skipif(SOFFICE is None, reason="needs LibreOffice (soffice)")] \
            if isinstance(make, str) else []
        for k, mapping in enumerate(mappings):
            yield pytest.param(name, mapping, route, id=f"{name}-{k}", marks=marks)


def assert_route(ours, plain, route):
    """openpyxl's reading ran in the module's read exactly where it must."""
    if not plain.openpyxl_ran:
        # The file was refused before openpyxl was reached.
        assert not ours.openpyxl_ran
    elif not NATIVE_READ_ROUTE or route == "aside":
        assert ours.openpyxl_ran
    elif route == "native":
        assert not ours.openpyxl_ran


@pytest.mark.parametrize("name, mapping, route", list(case_params()))
def test_same_as_pandas_with_the_same_arguments(et, books, name, mapping, route):
    path = books[name]
    ours = module_outcome(et, path, mapping)
    plain = plain_outcome(path, mapping)
    assert_same(ours, plain)
    assert_route(ours, plain, route)


# --- when the read must stay with pandas' own engine choice ---------------------------


class WrappedPandas:
    """pandas behind a wrapper, as a test or a caller may bind it."""

    def __getattr__(self, name):
        return getattr(pd, name)


def wrapped_pd(et, monkeypatch):
    et.pd = WrappedPandas()


def namespace_pd(et, monkeypatch):
    et.pd = types.SimpleNamespace(read_excel=pd.read_excel, DataFrame=pd.DataFrame)


def patched_read_excel(et, monkeypatch):
    original = pd.read_excel
    monkeypatch.setattr(pd, "read_excel", lambda *args, **kwargs: original(*args, **kwargs))


def reader_option(engine):
    def setup(et, monkeypatch):
        pd.set_option("io.excel.xlsx.reader", engine)
    return setup


def calamine_installed(et, monkeypatch):
    # pandas 3.1 warns on this path that its default xlsx engine will change
    # whenever python-calamine can be imported; older pandas say nothing.
    fake = types.ModuleType("python_calamine")
    fake.__version__ = "99.0"
    fake.CalamineWorkbook = type("CalamineWorkbook", (), {})
    monkeypatch.setitem(sys.modules, "python_calamine", fake)


def other_formats(tmp_path):
    ods = wp.save(tmp_path / "sheet.xlsx", {"content.xml": "<office:document-content/>", "mimetype": "x"})
    xlsb = wp.save(tmp_path / "binary.xlsx", {"xl/workbook.bin": b"\0" * 8})
    xls = tmp_path / "legacy.xlsx"
    xls.write_bytes(b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 504)
    return [ods, xlsb, str(xls)]


@pytest.mark.parametrize("setup, route, fails", [
    pytest.param(wrapped_pd, "aside", False, id="wrapped-pd"),
    pytest.param(namespace_pd, "aside", False, id="stand-in-pd-with-the-real-read_excel"),
    pytest.param(patched_read_excel, "aside", False, id="pandas-read_excel-replaced"),
    # xlrd is not installed: both reads fail alike.
    pytest.param(reader_option("xlrd"), "aside", True, id="xlsx-reader-option-xlrd"),
    pytest.param(reader_option("openpyxl"), "native", False, id="xlsx-reader-option-openpyxl"),
    pytest.param(reader_option("auto"), "native", False, id="xlsx-reader-option-auto"),
    pytest.param(calamine_installed, "either", False, id="calamine-installed"),
])
@pytest.mark.parametrize("name, mapping", [
    ("reader-xlsxwriter", {"Amount": "F3", "Code": "B3"}),
    ("openpyxl-kinds-1904", across(KIND_LETTERS, row=2)),
])
def test_engine_choice_and_bindings(et, books, monkeypatch, setup, route, fails, name, mapping):
    previous = pd.get_option("io.excel.xlsx.reader")
    try:
        setup(et, monkeypatch)
        ours = module_outcome(et, books[name], mapping)
        plain = plain_outcome(books[name], mapping)
    finally:
        pd.set_option("io.excel.xlsx.reader", previous)
    assert (plain.error is not None) == fails, plain.error
    assert_same(ours, plain)
    assert_route(ours, plain, route)


def test_files_pandas_gives_to_other_engines(et, tmp_path):
    for path in other_formats(tmp_path):
        ours = module_outcome(et, path, {"a": "A1"})
        plain = plain_outcome(path, {"a": "A1"})
        assert plain.error is not None
        assert_same(ours, plain)
        assert not ours.openpyxl_ran


@pytest.mark.parametrize("where", ["non-ascii-name", "relative", "directory"])
def test_paths(et, books, tmp_path, monkeypatch, where):
    mapping = {"Code": "B3", "Amount": "F3"}
    source = books["reader-openpyxl"]
    if where == "non-ascii-name":
        path = str(tmp_path / "月報 2024年 (最終版).xlsx")
        shutil.copy(source, path)
    elif where == "relative":
        monkeypatch.chdir(os.path.dirname(source))
        path = os.path.basename(source)
    else:
        path = str(tmp_path)
    ours = module_outcome(et, path, mapping)
    plain = plain_outcome(path, mapping)
    assert (plain.error is not None) == (where == "directory")
    assert_same(ours, plain)
    assert_route(ours, plain, "either" if where == "directory" else "native")


@pytest.mark.parametrize("threshold", [1, 50])
def test_cyclic_collection_during_the_read(et, tmp_path, threshold):
    # The rows are built for pandas outside the collector's view; with a
    # collection every few allocations, half-built and padded rows (trailing
    # blanks, rows of unequal width) must still give pandas' own frame.
    rows = "".join(
        row(r, *(c(f"{letter}{r}", r * 10 + k) for k, letter in enumerate("ABCDE"[: 1 + r % 5])))
        for r in range(1, 3001))
    path = str(wp.save(tmp_path / "ragged.xlsx", one_sheet(rows)))
    mapping = across("ABCDE")
    old = gc.get_threshold()
    gc.set_threshold(threshold, 1, 1)
    try:
        ours = module_outcome(et, path, mapping)
    finally:
        gc.set_threshold(*old)
    plain = plain_outcome(path, mapping)
    assert_same(ours, plain)
    assert_route(ours, plain, "native")


# --- the work the route does on the scanner's worst cases -----------------------------

def _library_places():
    import xml.etree.ElementTree
    import zipfile

    import defusedxml

    places = [os.path.dirname(xml.etree.ElementTree.__file__), os.path.dirname(openpyxl.__file__),
              os.path.dirname(defusedxml.__file__)]
    # zipfile is a module on 3.8 to 3.11 and a package from 3.12 on.
    zip_file = zipfile.__file__
    places.append(os.path.dirname(zip_file) if zip_file.endswith("__init__.py") else zip_file)
    return tuple(os.path.realpath(p).replace(os.sep, "/") for p in places)


# Where openpyxl's and zipfile's own reading of a member runs (as opposed to
# the route's, which calls the stream's read from native code), by file or
# folder: a venv's own path may well name the libraries it holds.
LIBRARY_READING = _library_places()


def route_pieces(monkeypatch):
    """{member name: [bytes of each piece]} the module's own code reads
    from archive members from now on."""
    import zipfile

    pieces = {}
    original = zipfile.ZipExtFile.read

    def read(self, n=-1):
        data = original(self, n)
        caller = sys._getframe(1).f_code.co_filename.replace(os.sep, "/")
        if not os.path.realpath(caller).replace(os.sep, "/").startswith(LIBRARY_READING):
            pieces.setdefault(self.name, []).append(len(data))
        return data

    monkeypatch.setattr(zipfile.ZipExtFile, "read", read)
    return pieces


@pytest.mark.skipif(not NATIVE_READ_ROUTE, reason="measures the native reading route")
@pytest.mark.parametrize("name, member, most_in_all, most_at_once", [
    # Left at the comment: one piece of the dimension's probe, one of the rows.
    ("worst-comment-ahead", "xl/worksheets/sheet1.xml", 2 * PIECE, PIECE),
    # Left when the text outgrows the bound, without holding the rest.
    ("worst-text-without-ascii", "xl/worksheets/sheet1.xml", TOKEN_BOUND + 2 * PIECE, PIECE),
    # Read whole, a piece at a time.
    ("worst-long-mixed-strings", "xl/sharedStrings.xml", None, PIECE),
])
def test_route_reads_worst_cases_a_piece_at_a_time(et, books, monkeypatch, name, member, most_in_all, most_at_once):
    path = books[name]
    plain = plain_outcome(path, across("AB"))
    pieces = route_pieces(monkeypatch)
    ours = module_outcome(et, path, across("AB"))
    monkeypatch.undo()
    assert_same(ours, plain)
    read = pieces.get(member, [])
    assert read, pieces
    assert max(read) <= most_at_once
    if most_in_all is not None:
        assert sum(read) <= most_in_all, (sum(read), len(read))
    else:
        with zipfile_of(path) as archive:
            assert sum(read) == archive.getinfo(member).file_size


def zipfile_of(path):
    import zipfile

    return zipfile.ZipFile(path)
