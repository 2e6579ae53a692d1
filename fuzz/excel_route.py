"""read_excel_by_cells against pd.read_excel with the same arguments, on
workbooks with one fuzzer-changed part.

The base workbook (made here, part by part) holds shared and inline strings,
numbers, booleans, errors, cached formula results and serial dates under
date, time and duration formats. The first byte chooses a part and how it
changes: replaced by the rest of the input (sheet, shared strings, styles,
workbook), or edited: cell and row addresses, cell types and style indices,
values and strings set to values drawn from the input, so that far cells
(hundreds of thousands of rows down, thousands of columns across) come up
at once. Both reads must end alike: equal frames with equal element types,
or the same failure text; the same warnings.

Sheets whose used range pandas could not build within the memory limit are
left out (pandas' own read is the yardstick); the read of such sheets is
held to its bound by the tests.
"""
import html
import os
import re
import sys

import atheris

with atheris.instrument_imports(include=["openpyxl"]):
    import openpyxl  # noqa: F401

import vorlatek.excelTools as et

from common import Broken, run, scratch_folder

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import workbook_parts as wp  # noqa: E402
from excel_differential import assert_same, module_outcome, plain_outcome  # noqa: E402

PATH = os.path.join(scratch_folder("excel_route"), "book.xlsx")
MAPPINGS = [
    {"a": "A1", "b": "B1", "c": "C1", "d": "D1", "e": "E1"},
    {"e": "E2", "a": "A2", "c": "C2"},
    {"b": "B3"},
    {"far": "XFD1", "a": "A1"},
    {"a": "A4", "gap": "H4", "wide": "AMJ4"},
    {"same": "A1", "again": "a2"},
]

S = wp.STYLE
STRINGS = [
    "<t>plain</t>",
    '<t xml:space="preserve">  spaced  </t>',
    "<r><t>rich </t></r><r><rPr><b/></rPr><t>run</t></r>",
    '<r><t>東京</t></r><rPh sb="0" eb="2"><t>トウキョウ</t></rPh>',
    "<t>_x000D_ kept _x005F_x0041_</t>",
    "<t/>",
    "<t>NA</t>",
    "<t>007</t>",
]


def c(ref, value=None, t=None, s=None, inner=None):
    attrs = f' r="{ref}"' + (f' t="{t}"' if t else "") + (f' s="{s}"' if s is not None else "")
    inner = inner if inner is not None else ("" if value is None else f"<v>{value}</v>")
    return f"<c{attrs}>{inner}</c>"


ROWS = [
    [c("A1", 0, "s"), c("B1", 1, "s"), c("C1", 2, "s"), c("D1", 3, "s"), c("E1", 4, "s")],
    [c("A2", 12), c("B2", "2.5"), c("C2", "-0.0"), c("D2", "1E3"), c("E2", "12345678901234567890")],
    [c("A3", 1, "b"), c("B3", "#N/A", "e"), c("C3", t="str", inner="<f>X</f><v>cached</v>"),
     c("D3", inner="<f>1+1</f><v>2</v>"), c("E3", t="inlineStr", inner="<is><r><t>in</t></r><r><t>line</t></r></is>")],
    [c("A4", "45293.5", s=S[22]), c("B4", "0.25", s=S[20]), c("C4", "1.5", s=S[46]), c("D4", 60, s=S[14]),
     c("E4", "2024-01-05T10:20:30", "d")],
    [c("A5", 7, "s"), c("B5", 5, "s"), c("C5", "2958466", s=S[164]), c("E5", "100.5", s=S[165])],
    [c("A7", 6, "s"), c("C7", "0.999999999", s=S[166])],
]


def sheet_xml(rows=ROWS):
    body = "".join(f'<row r="{k + 1 if k < 5 else 7}">{"".join(cells)}</row>' for k, cells in enumerate(rows))
    return wp.sheet_xml(body, dimension="A1:E7")


BASE = wp.package([("Data", "worksheets/sheet1.xml", sheet_xml(), None)],
                  strings=wp.strings_xml(STRINGS), styles=wp.styles_xml())
NAMES = ["xl/worksheets/sheet1.xml", "xl/sharedStrings.xml", "xl/styles.xml", "xl/workbook.xml"]

# Values the edits draw from.
ROW_NUMBERS = [1, 2, 3, 4, 5, 7, 9, 10, 99, 1000, 9999, 65536, 100000, 200000, 250000]
COLUMNS = ["A", "B", "C", "E", "F", "H", "Z", "AA", "AMJ", "AMK", "XFD", "XFE", "ZZZ"]
TYPES = ["n", "s", "b", "e", "str", "inlineStr", "d", "x", ""]
VALUES = ["0", "1", "2", "7", "-0", "-0.0", "1e3", "1E400", "nan", "45293.5", "60", "2958466", "-1",
          "2024-01-05", "10:20:30", "PT1H", "#REF!", "", " 7", "3.0", "0x10", "1.5", "99"]
TEXTS = ["x", "", "  ", "NA", "TRUE", "1e5", "_x000A_", "a\r\nb", "東京", "&amp;", "<![CDATA[<>]]>"]
ROW_PLACES = re.compile(r'(<row r=")(\d+)(")')
CELL_PLACES = re.compile(r'(<c r=")([A-Z]+)(\d+)(")')
CELL_TYPES = re.compile(r'(<c r="[A-Z]+\d+")( t="[^"]*")?( s="\d+")?')
CELL_VALUES = re.compile(r"(<v>)([^<]*)(</v>)")
ROW_ADDRESS = re.compile(r'(<row) r="\d+"')
CELL_ADDRESS = re.compile(r'(<c) r="[A-Z]+\d+"')


def nth(pattern, xml, k, replace):
    """xml with the k-th match (mod count) of pattern replaced by replace(match)."""
    matches = list(pattern.finditer(xml))
    if not matches:
        return xml
    m = matches[k % len(matches)]
    return xml[:m.start()] + replace(m) + xml[m.end():]


def pick(fdp, values):
    return values[fdp.ConsumeIntInRange(0, len(values) - 1)]


def edited_sheet(fdp):
    xml = sheet_xml()
    strings = list(STRINGS)
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        what, k = fdp.ConsumeIntInRange(0, 5), fdp.ConsumeIntInRange(0, 40)
        if what == 0:
            number = pick(fdp, ROW_NUMBERS)
            xml = nth(ROW_PLACES, xml, k, lambda m: m.group(1) + str(number) + m.group(3))
        elif what == 1:
            column, number = pick(fdp, COLUMNS), pick(fdp, ROW_NUMBERS)
            xml = nth(CELL_PLACES, xml, k, lambda m: m.group(1) + column + str(number) + m.group(4))
        elif what == 2:
            kind = pick(fdp, TYPES)
            style = fdp.ConsumeIntInRange(0, len(wp.STYLE_FORMATS))
            xml = nth(CELL_TYPES, xml, k,
                      lambda m: m.group(1) + (f' t="{kind}"' if kind else "") + f' s="{style}"')
        elif what == 3:
            value = pick(fdp, VALUES)
            xml = nth(CELL_VALUES, xml, k, lambda m: m.group(1) + value + m.group(3))
        elif what == 4:
            strings[k % len(strings)] = f"<t>{pick(fdp, TEXTS)}</t>"
        else:
            # A row or cell without its address.
            xml = nth(CELL_ADDRESS if k % 2 else ROW_ADDRESS, xml, k // 2, lambda m: m.group(1))
    return {NAMES[0]: xml, NAMES[1]: wp.strings_xml(strings)}


# Cells pandas would build for the used range: rows down to the last row
# number, each as wide as the widest row. Beyond this the yardstick itself
# would not finish within the fuzzer's memory limit.
MAX_CELLS = 3_000_000
NUMBER = re.compile(r"""\br\s*=\s*["']\s*([A-Za-z]*)\s*([0-9.eE+-]*)""")


def used_range_cells(sheet):
    text = html.unescape(sheet.decode("utf-8", "replace") if isinstance(sheet, bytes) else sheet)
    rows = text.count("<row") + 1
    width = max((row.count("<c") for row in text.split("<row")), default=1) + 1
    for letters, digits in NUMBER.findall(text):
        try:
            number = int(float(digits)) if digits else 0
        except (ValueError, OverflowError):
            continue
        if letters:
            width = max(width, wp_column(letters))
        rows = max(rows, number + text.count("<row"))
    return rows * max(width, 1)


def wp_column(letters):
    index = 0
    for char in letters.upper()[:4]:
        index = index * 26 + ord(char) - ord("A") + 1
    return index


def test_one_input(data):
    if len(data) < 3:
        return
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, len(NAMES))
    mapping = MAPPINGS[fdp.ConsumeIntInRange(0, len(MAPPINGS) - 1)]
    parts = dict(BASE)
    if mode == len(NAMES):
        parts.update(edited_sheet(fdp))
    else:
        parts[NAMES[mode]] = fdp.ConsumeBytes(fdp.remaining_bytes())
    if used_range_cells(parts[NAMES[0]]) > MAX_CELLS:
        return
    wp.save(PATH, parts)
    ours = module_outcome(et, PATH, mapping)
    plain = plain_outcome(PATH, mapping)
    try:
        assert_same(ours, plain)
    except AssertionError as exc:
        raise Broken("the module's read differs from pd.read_excel", mapping, str(exc)[:2000]) from None


def _worst_case_seeds():
    """Small forms of the scanner's worst cases: a comment with an apostrophe
    ahead of the rows, a long text of mixed widths, a tag crowded with
    attributes and namespace declarations, shared strings of mixed widths."""
    root = f'<worksheet xmlns="{wp.MAIN}">'
    # Without the base's date past the last one, which leaves the sheet to
    # openpyxl whatever else it holds.
    sheet = sheet_xml().replace(">2958466<", ">2958465<")
    crowded = "".join(f' a{k:x}="{k}"' for k in range(40)) + ' xmlns:o="urn:o"' + \
        "".join(f' o:b{k}="{k}"' for k in range(12))
    mixed = "é東京😀 x" * 400
    strings = wp.strings_xml(STRINGS[:4] + [f"<t>{mixed}</t>", "<t>😀é</t>"] + STRINGS[4:])
    return [
        ("worst_comment_ahead", 0, sheet.replace(root, root + "<!-- the owner's note -->", 1)),
        ("worst_long_text", 0, sheet.replace("<is><r><t>in</t></r>", f"<is><r><t>{mixed}</t></r>", 1)),
        ("worst_crowded_tag", 0, sheet.replace('<c r="A2"', f'<c r="A2"{crowded}', 1)),
        ("worst_mixed_strings", 1, strings),
    ]


WORST_CASE_SEEDS = _worst_case_seeds()


def write_seeds(folder):
    os.makedirs(folder, exist_ok=True)
    for mode, name in enumerate(NAMES):
        content = BASE[name]
        with open(os.path.join(folder, name.replace("/", "_")), "wb") as file:
            file.write(bytes([mode, mode % len(MAPPINGS)]) + (content.encode() if isinstance(content, str) else content))
    for name, mode, content in WORST_CASE_SEEDS:
        with open(os.path.join(folder, name), "wb") as file:
            file.write(bytes([mode, 0]) + content.encode())
    for k, recipe in enumerate([b"\x04\x00\x03\x00\x05\x00\x02", b"\x04\x03\x05\x01\x02\x0a\x09\x01\x03\x0b",
                                b"\x04\x04\x02\x00\x0c\x03\x04\x05\x06"]):
        with open(os.path.join(folder, f"edits_{k}"), "wb") as file:
            file.write(recipe)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--write-seeds"]:
        write_seeds(sys.argv[2])
    else:
        run(test_one_input)
