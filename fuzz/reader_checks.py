"""What both reader harnesses check: a DataFrame or the documented error
record, never an exception, and only the documented log records."""
import logging

import pandas

import vorlatek.excelTools as et

from common import Broken, expect

DOCUMENTED = {
    "WARNING": ("Excel file not found: ", "Invalid cell format", "No valid columns parsed",
                "CSV file not found: ", "Column '"),
    "ERROR": ("Error reading excel file ", "Error reading CSV file ",
              "Failed to read CSV or file is empty: "),
}


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelname, record.getMessage()))


records = Records()
logger = logging.getLogger(et.__name__)
logger.addHandler(records)
logger.setLevel(logging.DEBUG)
logger.propagate = False


def read_and_check(reader, path, mapping, text_only):
    """text_only: the CSV reader, whose values are all texts."""
    records.seen.clear()
    try:
        result = reader(path, mapping)
    except Exception as exc:
        raise Broken(f"{reader.__name__} raised {exc!r}") from exc
    expect(type(result) is pandas.DataFrame, "result type", type(result))
    for level, message in records.seen:
        expect(message.startswith(DOCUMENTED.get(level, ())), "record", level, message)
    if text_only:
        # The CSV reader decides itself when a result is empty, and says why.
        # (An Excel read may give a table without columns, for example when
        # the workbook names no readable sheet; that table is the answer.)
        if result.columns.empty and mapping:
            expect(records.seen, "an empty result without any record", mapping)
        for column in result.columns:
            expect(all(type(v) is str or v != v for v in result[column]), "not text", column)
    return result
