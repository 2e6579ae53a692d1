"""Type interface of the compiled module ``vorlatek.excelTools``.

Readers and the merge answer unusable input with an empty DataFrame and a
record of the logger ``log``; the writer answers with ``False``.
"""
import logging
from typing import Any, Literal, TypedDict, type_check_only

import pandas as pd

log: logging.Logger
"""The module logger, named "vorlatek.excelTools"; no handler is attached."""

@type_check_only
class Placement(TypedDict, total=False):
    """One frame of a sheet written by ``write_formatted_excel``.

    Only for annotations (``if TYPE_CHECKING:``); at run time a plain dict.
    """

    df: pd.DataFrame | None
    startrow: int
    startcol: int
    index: bool

def parse_cell(cell_str: object) -> tuple[str, int] | tuple[None, None]:
    """"F3" -> ("F", 3); (None, None) for text that is no cell reference."""

def col_str_to_index(col_str: str) -> int:
    """Column letters to a zero-based index: "A" -> 0, "AA" -> 26, "" -> -1."""

def read_excel_by_cells(file_path: str, cell_mapping: dict[Any, Any]) -> pd.DataFrame:
    """Reads the first sheet by cell address into the named columns."""

def read_csv_by_cells(file_path: str, cell_mapping: dict[Any, Any]) -> pd.DataFrame:
    """Reads a header-less CSV file by cell address; every value stays text."""

def merge_exact_match(
    df_left: pd.DataFrame | None,
    df_right: pd.DataFrame | None,
    str_keys: list[Any] | None = None,
    num_keys: list[Any] | None = None,
    how: Literal["inner", "left", "right", "outer"] = "inner",
    suffixes: tuple[str | None, str | None] = ("_x", "_y"),
) -> pd.DataFrame:
    """Joins on cleaned keys, pairing repeated keys one-to-one."""

def format_excel_sheet(worksheet: Any) -> None:
    """Styles an openpyxl worksheet as a report, in place."""

def write_formatted_excel(
    file_path: str,
    sheets_data: dict[str, pd.DataFrame | list[Placement]],
    auto_format: bool = True,
) -> bool:
    """Writes frames to one or several sheets; False (and a record) on failure."""
