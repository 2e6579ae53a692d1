"""read_csv_by_cells on fuzzer-made files: the first bytes choose the cell
mapping, the rest is the file. A table of texts or the documented error
record, never an exception or a crash."""
import os

import atheris

import vorlatek.excelTools as et

from common import run, scratch_folder
from reader_checks import read_and_check

MAPPINGS = [
    {"Code": "A1", "Amount": "B2"},
    {"Code": "A2", "Qty": "C5", "Far": "Z1"},
    {"Same": "b3", "Again": "B3", "Zero": "A0"},
    {"Wide": "AA1", "Bad": "1A", "Number": 5},
]
PATH = os.path.join(scratch_folder("csv"), "data.csv")


def test_one_input(data):
    if not data:
        return
    mapping = MAPPINGS[data[0] % len(MAPPINGS)]
    with open(PATH, "wb") as file:
        file.write(data[1:])
    read_and_check(et.read_csv_by_cells, PATH, mapping, text_only=True)


if __name__ == "__main__":
    run(test_one_input)
