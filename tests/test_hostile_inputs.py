"""Malformed and hostile files for both readers.

Every read runs in a child interpreter with a time limit, so a crash shows
as a return code and a hang as a timeout instead of taking the suite down.
The child reports the log records (with the chain of the exception being
handled when each was made), the result and how far its peak memory grew.
The answer is always one of the documented ones: the table, or error
records and the empty result.
"""
import json
import os
import random
import zipfile

import openpyxl
import pytest

from child_process import UNDER_SANITIZER, describe_return_code, run_child
from excel_differential import NATIVE_READ_ROUTE

LOGGER = "vorlatek.excelTools"
ENTITIES_FORBIDDEN = "defusedxml.common.EntitiesForbidden"
SECRET = "TOP-SECRET-7f3a"

READ_CHILD = r"""
import logging, math, time
import openpyxl
import pandas as pd
import vorlatek.excelTools as et

class Keep(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = []

    def emit(self, record):
        # The reader makes its error record while handling the library's
        # exception; the chain shows what really refused the file.
        chain, handled = [], sys.exc_info()[1]
        while handled is not None and len(chain) < 8:
            chain.append(type(handled).__module__ + "." + type(handled).__qualname__)
            handled = handled.__cause__ or handled.__context__
        self.seen.append([record.levelname, record.getMessage(), chain])

keep = Keep()
logger = logging.getLogger("vorlatek.excelTools")
logger.addHandler(keep)
logger.setLevel(logging.DEBUG)

reader, path, mapping, headroom_mb = sys.argv[1], sys.argv[2], json.loads(sys.argv[3]), int(sys.argv[4])
if sys.argv[5:] == ["generic"]:
    # pandas behind a wrapper: the reader then leaves the whole read to pandas.
    class Wrapped:
        def __getattr__(self, name):
            return getattr(pd, name)
    et.pd = Wrapped()
if headroom_mb:
    limit_address_space(headroom_mb)
before = peak_kb()
started = time.perf_counter()
result = getattr(et, reader)(path, mapping)
elapsed = time.perf_counter() - started
grown_kb = peak_kb() - before

def plain(value):
    if hasattr(value, "item"):
        value = value.item()
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, str) and len(value) > 64:
        return "<%d chars %r>" % (len(value), value[:8])
    return value

report({
    "defusedxml": openpyxl.DEFUSEDXML,
    # Identity, not the defining module's name: pandas 3 moved DataFrame's.
    "is_data_frame": type(result) is pd.DataFrame,
    "records": keep.seen,
    "columns": [str(c) for c in result.columns],
    "index": [int(i) for i in result.index],
    "rows": [[plain(v) for v in row] for row in result.itertuples(index=False, name=None)],
    "value_types": sorted({type(plain(v)).__name__ for row in result.itertuples(index=False, name=None)
                           for v in row}),
    "dtypes": [str(t) for t in result.dtypes] + [str(result.index.dtype)],
    "grown_kb": grown_kb,
    "seconds": round(elapsed, 3),
})
"""


def read_in_child(reader, path, mapping, headroom_mb=0, timeout=60, generic=False):
    code, report, stderr = run_child(
        READ_CHILD, [reader, path, json.dumps(mapping), headroom_mb] + (["generic"] if generic else []),
        timeout=timeout)
    assert code == 0, f"{describe_return_code(code)}\n{stderr[-3000:]}"
    assert report is not None, stderr[-3000:]
    assert report["is_data_frame"]
    print(f"{reader} {os.path.basename(path)}: {report['seconds']} s, "
          f"peak grew {report['grown_kb'] // 1024} MB")
    return report


def assert_refused(report, prefix):
    """One error record with the given prefix and the empty result."""
    [(level, message, chain)] = report["records"]
    assert level == "ERROR" and message.startswith(prefix), message
    assert report["columns"] == [] and report["rows"] == []
    return message, chain


# --- workbooks built part by part ------------------------------------------------

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PACKAGE = "http://schemas.openxmlformats.org/package/2006/relationships"
TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
SHEET_TYPES = "application/vnd.openxmlformats-officedocument.spreadsheetml"
DECLARATION = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'

PLAIN_ROWS = ('<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1"><v>7</v></c></row>'
              '<row r="2"><c r="A2" t="s"><v>1</v></c><c r="B2"><v>8</v></c></row>')


def workbook_parts(rows=PLAIN_ROWS, strings=("alpha", "beta"), sheet_name="Data",
                   doctype_strings="", doctype_workbook="", doctype_sheet=""):
    """The parts of a minimal workbook with a shared-string table; a
    doctype can be put before the root of three of them."""
    return {
        "[Content_Types].xml": DECLARATION + f'<Types xmlns="{TYPES}">'
        '<Default Extension="rels" '
        'ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>'
        f'<Override PartName="/xl/workbook.xml" ContentType="{SHEET_TYPES}.sheet.main+xml"/>'
        f'<Override PartName="/xl/worksheets/sheet1.xml" '
        f'ContentType="{SHEET_TYPES}.worksheet+xml"/>'
        f'<Override PartName="/xl/sharedStrings.xml" '
        f'ContentType="{SHEET_TYPES}.sharedStrings+xml"/></Types>',
        "_rels/.rels": DECLARATION + f'<Relationships xmlns="{PACKAGE}">'
        f'<Relationship Id="rId1" Type="{RELS}/officeDocument" Target="xl/workbook.xml"/>'
        "</Relationships>",
        "xl/workbook.xml": DECLARATION + doctype_workbook
        + f'<workbook xmlns="{MAIN}" xmlns:r="{RELS}"><sheets>'
        f'<sheet name="{sheet_name}" sheetId="1" r:id="rId1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels": DECLARATION + f'<Relationships xmlns="{PACKAGE}">'
        f'<Relationship Id="rId1" Type="{RELS}/worksheet" Target="worksheets/sheet1.xml"/>'
        f'<Relationship Id="rId2" Type="{RELS}/sharedStrings" Target="sharedStrings.xml"/>'
        "</Relationships>",
        "xl/worksheets/sheet1.xml": DECLARATION + doctype_sheet
        + f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>',
        "xl/sharedStrings.xml": DECLARATION + doctype_strings
        + f'<sst xmlns="{MAIN}" count="{len(strings)}" uniqueCount="{len(strings)}">'
        + "".join(f"<si><t>{s}</t></si>" for s in strings) + "</sst>",
    }


def save_parts(path, parts):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, text in parts.items():
            archive.writestr(name, text)
    return str(path)


def laughs(root, last):
    """Ten levels of ten-fold entity expansion: &a9; would be 3 GB of text."""
    levels = "".join(f'<!ENTITY a{i} "{("&a%d;" % (i - 1)) * 10}">' for i in range(1, 10))
    return f'<!DOCTYPE {root} [<!ENTITY a0 "dha">{levels}<!ENTITY {last} "&a9;">]>'


def external(root, name, target):
    return f'<!DOCTYPE {root} [<!ENTITY {name} SYSTEM "file://{target}">]>'


def test_openpyxl_parses_with_defusedxml():
    # The switch is read once when openpyxl is imported; the readers rely on it.
    assert openpyxl.DEFUSEDXML is True


def test_plain_built_workbook_reads(tmp_path):
    """The builder makes a sound workbook: the attacks below differ from it
    only by their doctype."""
    path = save_parts(tmp_path / "plain.xlsx", workbook_parts())
    report = read_in_child("read_excel_by_cells", path, {"Name": "A1", "Qty": "B1"})
    assert report["records"] == []
    assert report["rows"] == [["alpha", 7], ["beta", 8]]


@pytest.fixture
def secret_file(tmp_path):
    path = tmp_path / "secret.txt"
    path.write_text(SECRET)
    return str(path)


XML_ATTACKS = {
    "laughs-in-shared-strings": lambda secret: workbook_parts(
        strings=("&boom;", "beta"), doctype_strings=laughs("sst", "boom")),
    "laughs-in-workbook": lambda secret: workbook_parts(
        sheet_name="&boom;", doctype_workbook=laughs("workbook", "boom")),
    "laughs-in-worksheet": lambda secret: workbook_parts(
        rows='<row r="1"><c r="A1" t="inlineStr"><is><t>&boom;</t></is></c></row>',
        doctype_sheet=laughs("worksheet", "boom")),
    "external-in-shared-strings": lambda secret: workbook_parts(
        strings=("&leak;", "beta"), doctype_strings=external("sst", "leak", secret)),
    "external-in-workbook": lambda secret: workbook_parts(
        sheet_name="&leak;", doctype_workbook=external("workbook", "leak", secret)),
}


@pytest.mark.parametrize("attack", sorted(XML_ATTACKS))
def test_xml_entity_attacks_are_refused_by_the_parser(tmp_path, secret_file, attack):
    path = save_parts(tmp_path / "attack.xlsx", XML_ATTACKS[attack](secret_file))
    report = read_in_child("read_excel_by_cells", path, {"Name": "A1", "Qty": "B1"})
    assert report["defusedxml"] is True
    message, chain = assert_refused(report, f"Error reading excel file {path}: ")
    # defusedxml refused the entity declaration itself: nothing was expanded
    # or fetched, so memory stayed small and the secret never appears.
    assert ENTITIES_FORBIDDEN in chain, chain
    assert SECRET not in json.dumps(report)
    assert report["grown_kb"] < 64 * 1024


# --- files that are no workbook --------------------------------------------------

def random_bytes(tmp_path):
    generator = random.Random(7)
    data = bytearray(generator.getrandbits(8) for _ in range(1 << 16))
    data[:4] = b"\x00\x01\x02\x03"  # neither the zip nor the old binary signature
    path = tmp_path / "random.xlsx"
    path.write_bytes(bytes(data))
    return str(path)


def truncated(fraction):
    def make(tmp_path):
        whole = save_parts(tmp_path / "whole.xlsx", workbook_parts())
        with open(whole, "rb") as f:
            data = f.read()
        path = tmp_path / "truncated.xlsx"
        path.write_bytes(data[: int(len(data) * fraction)])
        return str(path)
    return make


def zip_without_workbook(tmp_path):
    path = tmp_path / "archive.xlsx"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("notes.txt", "just a zip")
    return str(path)


def zip_with_broken_sheet(tmp_path):
    parts = workbook_parts()
    parts["xl/worksheets/sheet1.xml"] = DECLARATION + f'<worksheet xmlns="{MAIN}"><sheetData><row'
    return save_parts(tmp_path / "broken.xlsx", parts)


def empty_file(tmp_path):
    path = tmp_path / "empty.xlsx"
    path.write_bytes(b"")
    return str(path)


NOT_WORKBOOKS = {
    "random-bytes": random_bytes,
    "truncated-half": truncated(0.5),
    "truncated-last-bytes": truncated(0.97),
    "zip-without-workbook": zip_without_workbook,
    "unclosed-sheet-xml": zip_with_broken_sheet,
    "empty-file": empty_file,
}


@pytest.mark.parametrize("case", sorted(NOT_WORKBOOKS))
def test_files_that_are_no_workbook_are_reported(tmp_path, case):
    path = NOT_WORKBOOKS[case](tmp_path)
    report = read_in_child("read_excel_by_cells", path, {"Name": "A1", "Qty": "B1"})
    message, _ = assert_refused(report, f"Error reading excel file {path}: ")
    assert len(message) > len(f"Error reading excel file {path}: ")


# --- tags crowded with attributes ----------------------------------------------------

def crowded_tag_book(tmp_path, count, kind):
    """A first cell whose tag holds `count` attributes (plain or prefixed)
    or namespace declarations."""
    if kind == "declarations":
        attributes = "".join(f' xmlns:n{k:x}="urn:n{k:x}"' for k in range(count))
    else:
        prefix = "o:" if kind == "prefixed" else ""
        attributes = ' xmlns:o="urn:other"' + "".join(f' {prefix}a{k:x}="{k % 10}"' for k in range(count))
    rows = (f'<row r="1"><c r="A1" t="s"{attributes}><v>0</v></c><c r="B1"><v>7</v></c></row>'
            '<row r="2"><c r="A2" t="s"><v>1</v></c><c r="B2"><v>8</v></c></row>')
    return save_parts(tmp_path / f"crowded-{kind}.xlsx", workbook_parts(rows=rows))


@pytest.mark.scale
@pytest.mark.parametrize("count, kind", [(250_000, "plain"), (250_000, "prefixed"), (100_000, "declarations")],
                         ids=["attributes", "prefixed-attributes", "namespace-declarations"])
def test_crowded_tag_reads_as_the_library_reads_it(tmp_path, count, kind):
    # Checks that compared every pair of names in the tag would take minutes
    # here (tens of billions of comparisons) and outlast the child's time
    # limit; checked in n log n they take a moment.
    path = crowded_tag_book(tmp_path, count, kind)
    mapping = {"Name": "A1", "Qty": "B1"}
    ours = read_in_child("read_excel_by_cells", path, mapping, timeout=60)
    plain = read_in_child("read_excel_by_cells", path, mapping, timeout=60, generic=True)
    assert ours["records"] == plain["records"] == []
    assert ours["rows"] == plain["rows"] == [["alpha", 7], ["beta", 8]]
    assert ours["dtypes"] == plain["dtypes"]


# --- one cell far away ---------------------------------------------------------------

def far_cell_book(tmp_path, far, table_rows=0):
    """A cell `far` away holding 5, below a top cell (and a table of
    `table_rows` rows in A:B beneath it)."""
    rows = ('<row r="1"><c r="A1" t="s"><v>0</v></c></row>'
            + "".join(f'<row r="{r}"><c r="A{r}" t="s"><v>{1 + r % 3}</v></c><c r="B{r}"><v>{r * 1.5}</v></c></row>'
                      for r in range(2, table_rows + 2))
            + f'<row r="{far[3:]}"><c r="{far}"><v>5</v></c></row>')
    strings = ("top", "tokyo", "osaka", "nagoya")
    return save_parts(tmp_path / f"far-{far}-{table_rows}.xlsx", workbook_parts(rows=rows, strings=strings))


def test_far_cell_in_a_small_sheet_is_read(tmp_path):
    # The library widens every row to the widest one: 300 rows of 16,384
    # columns is still quick.
    path = far_cell_book(tmp_path, "XFD300")
    report = read_in_child("read_excel_by_cells", path, {"First": "A1", "Far": "XFD1"})
    assert report["records"] == []
    assert report["index"] == [0, 299]
    assert report["rows"] == [["top", None], [None, 5]]


@pytest.mark.scale
@pytest.mark.skipif(UNDER_SANITIZER, reason="no address-space limit beside the sanitizer runtime")
def test_far_cell_at_the_last_address_fails_cleanly_within_a_memory_bound(tmp_path):
    # When pandas does the whole read (here behind a wrapper), a cell at
    # XFD1048576 makes the library build 1,048,576 rows of 16,384 cells
    # (hundreds of gigabytes). With 1 GB of address space to spare the
    # allocation fails; the reader reports the MemoryError like any other
    # failed read, and the process lives on.
    path = far_cell_book(tmp_path, "XFD1048576")
    report = read_in_child("read_excel_by_cells", path, {"First": "A1", "Far": "XFD1"},
                           headroom_mb=1024, timeout=180, generic=True)
    message, chain = assert_refused(report, f"Error reading excel file {path}: ")
    assert chain[0] in ("builtins.MemoryError", "numpy.core._exceptions._ArrayMemoryError",
                        "numpy._core._exceptions._ArrayMemoryError")


@pytest.mark.skipif(UNDER_SANITIZER, reason="no address-space limit beside the sanitizer runtime")
@pytest.mark.skipif(not NATIVE_READ_ROUTE, reason="needs the native reading route; through openpyxl "
                    "this read asks for about 22 GB")
@pytest.mark.parametrize("table_rows", [10, 0], ids=["table-and-stray", "only-the-stray"])
@pytest.mark.parametrize("mapping", [{"code": "A1", "name": "B1"}, {"name": "B3", "code": "A3"}],
                         ids=["from-row-1", "from-row-3-right-to-left"])
def test_stray_value_in_the_last_cell_leaves_the_table_readable(tmp_path, table_rows, mapping):
    # What pandas would return with unlimited memory equals its answer for
    # the same stray value 100 rows down: the stray's row is dropped
    # (nothing mapped stands in it) and the padded cells are missing values
    # either way.
    path = far_cell_book(tmp_path, "XFD1048576", table_rows)
    near = far_cell_book(tmp_path, "XFD100", table_rows)
    report = read_in_child("read_excel_by_cells", path, mapping, headroom_mb=3072, timeout=120)
    expected = read_in_child("read_excel_by_cells", near, mapping)
    assert report["records"] == []
    for key in ("columns", "index", "rows", "value_types", "dtypes"):
        assert report[key] == expected[key], key


# --- CSV files ------------------------------------------------------------------------

TEN_MB = 10 << 20

CSV_FILES = {
    "nul-bytes": b"a,b\x00c,d\n1,\x002,3\n\x00\x00\x00\n4,5,6\n",
    "only-nul-bytes": b"\x00" * 300,
    "shorter-rows": b"1,2,3\n4\n5,6\n",
    "longer-row": b"1,2\n1,2,3,4\n",
    "unterminated-quote": b'a,"b\nc,d\n',
    "utf8-then-shift-jis": "名前,値\n".encode("utf-8") + "東京,1\n".encode("cp932"),
    "undecodable-everywhere": b"a,b\n\x81 ,c\n",
    "bom-at-start-and-in-the-middle": b"\xef\xbb\xbfa,b\nc,\xef\xbb\xbfd\n",
    "ten-megabyte-field": b"x" * TEN_MB + b",tail\nq,r\n",
    "ten-megabyte-quoted-field": b'"' + b"y\n" * (TEN_MB // 2) + b'",z\nq,r\n',
    # Narrow title lines above a field of 10 MB on the widest line: found by
    # the widening, whose counting pass has no field-size limit of its own.
    "titles-above-ten-megabyte-field": b"title\nq,r\n" + b"x" * TEN_MB + b",tail,end\n",
    "random-binary": bytes(random.Random(11).getrandbits(8) for _ in range(1 << 14)),
}


def read_csv_case(tmp_path, name):
    path = tmp_path / "data.csv"
    path.write_bytes(CSV_FILES[name])
    return str(path), read_in_child("read_csv_by_cells", str(path), {"A": "A1", "B": "B1"})


def only_texts(report):
    return set(report["value_types"]) <= {"str", "NoneType"}


@pytest.mark.parametrize("name, rows", [
    ("shorter-rows", [["1", "2"], ["4", None], ["5", "6"]]),
    ("utf8-then-shift-jis", [["蜷榊燕", "蛟､"], ["東京", "1"]]),  # read as cp932, as documented
    ("bom-at-start-and-in-the-middle", [["a", "b"], ["c", "\ufeffd"]]),
    ("ten-megabyte-field", [[f"<{TEN_MB} chars 'xxxxxxxx'>", "tail"], ["q", "r"]]),
    ("ten-megabyte-quoted-field", [[f"<{TEN_MB} chars 'y\\ny\\ny\\ny\\n'>", "z"], ["q", "r"]]),
    # A row longer than the first is read as wide as the widest line.
    ("longer-row", [["1", "2"], ["1", "2"]]),
    ("titles-above-ten-megabyte-field", [["title", None], ["q", "r"], [f"<{TEN_MB} chars 'xxxxxxxx'>", "tail"]]),
])
def test_odd_csv_files_read_as_texts(tmp_path, name, rows):
    path, report = read_csv_case(tmp_path, name)
    assert [r for r in report["records"] if r[0] == "ERROR"] == []
    assert report["columns"] == ["A", "B"] and report["rows"] == rows


@pytest.mark.parametrize("name", ["nul-bytes", "only-nul-bytes"])
def test_nul_bytes_never_break_the_read(tmp_path, name):
    # The library's tokenizer ends a field at a NUL byte; what it keeps is
    # still text, and the reader answers with a table.
    path, report = read_csv_case(tmp_path, name)
    assert [r for r in report["records"] if r[0] == "ERROR"] == []
    assert report["columns"] in (["A"], ["A", "B"]) and only_texts(report)


@pytest.mark.parametrize("name, failed_with", [
    ("unterminated-quote", "utf-8-sig"),
])
def test_unparsable_csv_files_are_reported(tmp_path, name, failed_with):
    path, report = read_csv_case(tmp_path, name)
    [(level, first, _), (level2, second, _)] = report["records"]
    assert (level, level2) == ("ERROR", "ERROR")
    assert first.startswith(f"Error reading CSV file {path} with {failed_with}: ")
    assert second == f"Failed to read CSV or file is empty: {path}"
    assert report["columns"] == [] and report["rows"] == []


def test_csv_undecodable_in_every_encoding(tmp_path):
    path, report = read_csv_case(tmp_path, "undecodable-everywhere")
    assert [r[:2] for r in report["records"]] == [
        ["ERROR", f"Failed to read CSV or file is empty: {path}"]]
    assert report["columns"] == [] and report["rows"] == []


def test_random_binary_gets_a_documented_answer(tmp_path):
    path, report = read_csv_case(tmp_path, "random-binary")
    errors = [r[1] for r in report["records"] if r[0] == "ERROR"]
    if errors:
        assert errors[-1] == f"Failed to read CSV or file is empty: {path}"
        assert report["columns"] == [] and report["rows"] == []
    else:
        assert only_texts(report)
