"""read_excel_by_cells beside the plain pandas read it stands for.

`plain_outcome` works out the arguments from the mapping as the reader does
(topmost row, the letters joined, the names in the sheet order of their
columns and the columns back in mapping order afterwards) and calls
pd.read_excel itself; `module_outcome` calls the module. Each outcome is the
frame or the failure text, the warnings raised on the way, the module's log
records, and whether openpyxl's own workbook reading ran. `assert_same`
holds the two to each other: equal frames (exact values, dtypes, index,
labels, and the type and repr of every element, so -0.0 and 0.0 or None and
NaN differ), or the same failure; the same warnings.

The fuzzing harness of the reading route uses the same pieces.
"""
import contextlib
import logging
import os
import re
import sys
import warnings
from typing import List, NamedTuple, Optional

import pandas as pd
import pandas.testing

# The module reads xlsx sheets natively when it can and steps aside to
# openpyxl otherwise. While this is False, every read is expected to go
# through openpyxl (the route-taken checks then only confirm that the
# recorder sees openpyxl at work), and the tests that need the native route
# (a sheet whose last cell holds a value, under a memory limit) are skipped.
# VORLATEK_EXPECT_NATIVE_READ=0 sets it False for a run against library
# releases the route is expected to step aside for (scripts/test-matrix.sh).
NATIVE_READ_ROUTE = os.environ.get("VORLATEK_EXPECT_NATIVE_READ", "1") != "0"

LOGGER = "vorlatek.excelTools"
CELL = re.compile(r"([A-Za-z]+)(\d+)")
ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def column_index(letters):
    index = 0
    for char in letters.upper():
        index = index * 26 + ord(char) - ord("A") + 1
    return index - 1


class ReadArguments(NamedTuple):
    use_cols: str
    skip_rows: int
    names: list            # as handed to pandas: in the sheet order of their columns
    reorder: Optional[list]  # the mapping order to select afterwards, if it differs


def read_arguments(mapping):
    cols, rows, names = [], [], []
    for name, cell in mapping.items():
        match = CELL.match(str(cell))
        if match and int(match.group(2)):
            cols.append(match.group(1).upper())
            rows.append(int(match.group(2)))
            names.append(name)
    positions = [column_index(c) for c in cols]
    ascending = all(a < b for a, b in zip(positions, positions[1:]))
    if ascending or len(set(positions)) < len(positions):
        return ReadArguments(",".join(cols), max(0, min(rows) - 1), names, None)
    order = sorted(range(len(names)), key=positions.__getitem__)
    return ReadArguments(",".join(cols), max(0, min(rows) - 1), [names[k] for k in order], names)


class Outcome(NamedTuple):
    frame: Optional[pd.DataFrame]
    error: Optional[str]
    warned: List[tuple]
    records: List[tuple]
    openpyxl_ran: bool


def warned(caught):
    return [(w.category, ADDRESS.sub("0x?", str(w.message))) for w in caught]


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelname, record.getMessage()))


def openpyxl_reading_code():
    """The code objects of openpyxl's workbook reading that pandas' openpyxl
    engine runs and the native route never does."""
    from openpyxl.reader.excel import ExcelReader, load_workbook
    from openpyxl.worksheet._reader import WorkSheetParser

    return {load_workbook.__code__, ExcelReader.read.__code__, WorkSheetParser.parse_row.__code__}


MONITORING_TOOL = 4


@contextlib.contextmanager
def openpyxl_calls():
    """Yields a set that is empty after the block if none of the code
    objects of openpyxl_reading_code() started running inside it."""
    watched = openpyxl_reading_code()
    seen = set()
    monitoring = getattr(sys, "monitoring", None)
    if monitoring is not None:
        # Events on the watched code objects only: the rest runs at full speed.
        def started(code, offset):
            seen.add(code)
            return monitoring.DISABLE

        monitoring.use_tool_id(MONITORING_TOOL, "vorlatek read route check")
        try:
            monitoring.register_callback(MONITORING_TOOL, monitoring.events.PY_START, started)
            for code in watched:
                monitoring.set_local_events(MONITORING_TOOL, code, monitoring.events.PY_START)
            monitoring.restart_events()
            yield seen
        finally:
            for code in watched:
                monitoring.set_local_events(MONITORING_TOOL, code, 0)
            monitoring.register_callback(MONITORING_TOOL, monitoring.events.PY_START, None)
            monitoring.free_tool_id(MONITORING_TOOL)
    else:
        def profile(frame, event, arg):
            if event == "call" and frame.f_code in watched:
                seen.add(frame.f_code)
                # One is enough to tell; the rest runs without the profiler.
                sys.setprofile(previous)

        previous = sys.getprofile()
        sys.setprofile(profile)
        try:
            yield seen
        finally:
            sys.setprofile(previous)


def plain_outcome(path, mapping):
    args = read_arguments(mapping)
    with warnings.catch_warnings(record=True) as caught, openpyxl_calls() as ran:
        warnings.simplefilter("always")
        try:
            frame = pd.read_excel(path, usecols=args.use_cols, skiprows=args.skip_rows,
                                  header=None, names=args.names)
            if args.reorder is not None:
                frame = frame[args.reorder]
            frame = frame.dropna(how="all")
        except Exception as exc:
            return Outcome(None, ADDRESS.sub("0x?", str(exc)), warned(caught), [], bool(ran))
    return Outcome(frame, None, warned(caught), [], bool(ran))


def module_outcome(et, path, mapping):
    records = Records()
    logger = logging.getLogger(LOGGER)
    logger.addHandler(records)
    try:
        with warnings.catch_warnings(record=True) as caught, openpyxl_calls() as ran:
            warnings.simplefilter("always")
            frame = et.read_excel_by_cells(path, mapping)
    finally:
        logger.removeHandler(records)
    error = None
    prefix = f"Error reading excel file {path}: "
    if len(records.seen) == 1 and records.seen[0][0] == "ERROR" and records.seen[0][1].startswith(prefix):
        error = ADDRESS.sub("0x?", records.seen[0][1][len(prefix):])
    return Outcome(frame, error, warned(caught), records.seen, bool(ran))


def elements(frame):
    return [[(type(v), repr(v)) for v in frame.iloc[:, k]] for k in range(frame.shape[1])]


def assert_same(ours, plain):
    """The module's outcome equals the plain read's."""
    assert ours.warned == plain.warned
    if plain.error is not None:
        assert ours.error == plain.error, (ours.records, plain.error)
        assert type(ours.frame) is pd.DataFrame and ours.frame.shape == (0, 0)
        return
    assert ours.records == []
    assert type(ours.frame) is pd.DataFrame
    pandas.testing.assert_frame_equal(ours.frame, plain.frame, check_exact=True)
    assert elements(ours.frame) == elements(plain.frame)


def route_expected(native):
    """Whether openpyxl's reading should have run, for a case that the native
    route takes (native True) or must leave to openpyxl (native False)."""
    return not (native and NATIVE_READ_ROUTE)
