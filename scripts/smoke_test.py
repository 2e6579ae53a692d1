"""Smoke test of an installed vorlatek: run from an empty working directory.

Checks that the module comes from the installation (not a checkout), that the
typed interface came with it, and that a small CSV read, workbook write,
workbook read and merge round trip gives the expected table.
"""
import pathlib
import sys

import pandas as pd

import vorlatek
import vorlatek.excelTools as et

package = pathlib.Path(vorlatek.__file__).resolve().parent
assert "site-packages" in package.parts, f"vorlatek imported from {package}, not an installation"
for marker in ["py.typed", "excelTools.pyi"]:
    assert (package / marker).is_file(), f"{marker} is not installed"

assert et.parse_cell("F3") == ("F", 3)
assert et.parse_cell("3F") == (None, None)
assert et.col_str_to_index("AA") == 26

here = pathlib.Path.cwd()
export_path = here / "export.csv"
export_path.write_bytes("code,qty\r\n X-1 ,3\r\nX-2,5\r\n".encode("cp932"))
export = et.read_csv_by_cells(str(export_path), {"Code": "A2", "Qty": "B2"})
assert export.values.tolist() == [[" X-1 ", "3"], ["X-2", "5"]], export

book_path = here / "book.xlsx"
frame = pd.DataFrame({"Code": ["X-1", "X-2"], "Amount": [10, 20]})
assert et.write_formatted_excel(str(book_path), {"Data": frame}) is True
book = et.read_excel_by_cells(str(book_path), {"Code": "A2", "Amount": "B2"})
assert book.values.tolist() == [["X-1", 10], ["X-2", 20]], book

merged = et.merge_exact_match(book, export, str_keys=["Code"])
assert merged[["Code", "Amount", "Qty"]].values.tolist() == [["X-1", 10, "3"], ["X-2", 20, "5"]], merged

print(f"smoke test passed: Python {sys.version.split()[0]}, pandas {pd.__version__}, {et.__file__}")
