"""Memory, reference and file-descriptor hygiene of the seven functions on
every path: success, reported failures, propagated errors and argument
errors. (The call interface and the ordinary paths of cell addressing have
their own 100,000-call checks in test_refleaks.py.)

Each case runs 100,000 calls after a warm-up. pandas keeps a little memory
per call of its own, so these loops go through stand-ins bound over the
module's `pd`, `log` and style names: what remains is the module's own
work, which must leave the allocated blocks and the reference counts of the
argument objects where they were. The descriptor checks use the real
libraries, 1,000 failing calls each.
"""
import gc
import os
import sys

import pandas as pd
import pytest

LOOPS = 100_000


class SilentLog:
    def warning(self, message):
        pass

    def error(self, message):
        pass


def expect(error):
    """A runner that calls and expects `error` (None: no exception)."""
    def run(fn, args, kwargs):
        try:
            fn(*args, **kwargs)
        except error:
            return
        assert error is None, f"{error} not raised"
    if error is None:
        return lambda fn, args, kwargs: fn(*args, **kwargs)
    return run


def assert_flat(fn, args, kwargs, runner, loops=LOOPS):
    watched = list(args) + list(kwargs.values())
    for _ in range(2000):
        runner(fn, args, kwargs)
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(loops):
        runner(fn, args, kwargs)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == refcounts
    # One block kept per call would show as 100,000.
    assert sys.getallocatedblocks() - blocks < 100


# --- stand-ins ---------------------------------------------------------------------

class Table:
    """A DataFrame stand-in for the readers: every cut and drop is itself."""
    empty = False
    columns = ("a", "b", "c")

    def __init__(self, *args):
        self.iloc = self

    def __getitem__(self, key):
        return self

    def reset_index(self, drop):
        return self

    def dropna(self, how):
        return self


class EmptyTable(Table):
    empty = True


class Strings:
    def __init__(self, column):
        self.column = column

    def strip(self):
        return self.column


class Column:
    def astype(self, kind):
        return self

    @property
    def str(self):
        return Strings(self)


class Grouping:
    def cumcount(self):
        return Column()


class Frame:
    """A DataFrame stand-in for the merge and the writer."""
    empty = False

    def __init__(self, *args, **kwargs):
        self.columns = {"k": None, "n": None, "v": None}

    def copy(self):
        return Frame()

    def __getitem__(self, key):
        return Column()

    def __setitem__(self, key, value):
        self.columns[key] = None

    def groupby(self, keys, dropna):
        return Grouping()

    def drop(self, columns):
        return self

    def dropna(self, how):
        return self

    def to_excel(self, writer, **kwargs):
        writer.sheets[kwargs["sheet_name"]] = SHEET


class FailingFrame(Frame):
    def to_excel(self, writer, **kwargs):
        raise ValueError("cannot write")


class InterruptingFrame(Frame):
    def to_excel(self, writer, **kwargs):
        raise KeyboardInterrupt


class Writer:
    def __init__(self, path, engine):
        self.sheets = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


class Pandas:
    DataFrame = Frame
    ExcelWriter = Writer

    @staticmethod
    def read_excel(path, usecols, skiprows, header, names):
        if usecols == "Z":
            raise ValueError("no such column")
        return Table()

    @staticmethod
    def read_csv(path, header, encoding, dtype):
        if path.endswith("bad.csv"):
            raise ValueError("cannot parse")
        if path.endswith("empty.csv"):
            return EmptyTable()
        if encoding == "utf-8-sig" or path.endswith("undecodable.csv"):
            raise UnicodeDecodeError("utf-8", b"\x81", 0, 1, "invalid start byte")
        return Table()

    @staticmethod
    def to_numeric(column, errors):
        return column

    @staticmethod
    def merge(left, right, on, how, suffixes):
        if how == "sideways":
            raise ValueError("no such join")
        return Frame()


class Cell:
    def __init__(self, value, column):
        self.value, self.column = value, column


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class Dimension:
    width = None


class Sheet:
    def __init__(self):
        self.rows = [[Cell("head", 1), Cell("er", 2)], [Cell(1.5, 1), Cell(Unprintable(), 2)],
                     [Cell(None, 1), Cell("x" * 30, 2)]]
        self.column_dimensions = {"A": Dimension(), "B": Dimension()}

    def iter_rows(self):
        return iter(self.rows)

    @property
    def columns(self):
        return tuple(zip(*self.rows))


class RefusingRe:
    @staticmethod
    def match(pattern, text):
        raise ValueError("no patterns today")


def style(*args, **kwargs):
    return "style"


def refusing_style(*args, **kwargs):
    raise ValueError("no fonts today")


@pytest.fixture
def stand_ins(et, tmp_path):
    et.pd = Pandas
    et.log = SilentLog()
    for name in ("Font", "PatternFill", "Border", "Side", "Alignment"):
        setattr(et, name, style)
    et.get_column_letter = "_ABCDEFGH".__getitem__
    for name in ("book.xlsx", "data.csv", "bad.csv", "empty.csv", "undecodable.csv"):
        (tmp_path / name).write_bytes(b"x")
    return et


def raising_parse_cell(et):
    original = et.parse_cell
    et.parse_cell = lambda cell: original(cell) if cell != "boom" else 1 / 0


# Each case: (function name, args as a function of the folder, expected error,
# extra arrangement).
MAPPING = {"Code": "B3", "Bad": "A0", "Date": "D3", "Amount": "F3"}
LEFT, RIGHT = Frame(), Frame()
SHEET = Sheet()

CASES = {
    "excel-success": ("read_excel_by_cells", lambda d: (d + "/book.xlsx", MAPPING), None, None),
    "excel-right-to-left": ("read_excel_by_cells",
                            lambda d: (d + "/book.xlsx", {"F": "F3", "B": "B3"}), None, None),
    "excel-missing-file": ("read_excel_by_cells", lambda d: (d + "/none.xlsx", MAPPING), None, None),
    "excel-no-usable-cell": ("read_excel_by_cells", lambda d: (d + "/book.xlsx", {"x": 5}), None,
                             None),
    "excel-read-fails": ("read_excel_by_cells", lambda d: (d + "/book.xlsx", {"Z": "Z1"}), None,
                         None),
    "excel-propagates": ("read_excel_by_cells", lambda d: (d + "/book.xlsx", {"y": "boom"}),
                         ZeroDivisionError, raising_parse_cell),
    "excel-wrong-type": ("read_excel_by_cells", lambda d: (d.encode(), MAPPING), TypeError, None),
    "excel-too-many": ("read_excel_by_cells", lambda d: (d, MAPPING, 1), TypeError, None),
    "csv-success-second-encoding": ("read_csv_by_cells",
                                    lambda d: (d + "/data.csv", {"A": "A2", "C": "c3"}), None, None),
    "csv-bad-and-far-cells": ("read_csv_by_cells",
                              lambda d: (d + "/data.csv", {"Bad": "A0", "Far": "D1"}), None, None),
    "csv-missing-file": ("read_csv_by_cells", lambda d: (d + "/none.csv", MAPPING), None, None),
    "csv-read-fails": ("read_csv_by_cells", lambda d: (d + "/bad.csv", MAPPING), None, None),
    "csv-empty-table": ("read_csv_by_cells", lambda d: (d + "/empty.csv", MAPPING), None, None),
    "csv-undecodable": ("read_csv_by_cells", lambda d: (d + "/undecodable.csv", MAPPING), None,
                        None),
    "csv-propagates": ("read_csv_by_cells", lambda d: (d + "/data.csv", {"y": "boom"}),
                       ZeroDivisionError, raising_parse_cell),
    "csv-wrong-type": ("read_csv_by_cells", lambda d: (d, [MAPPING]), TypeError, None),
    "merge-success": ("merge_exact_match", lambda d: (LEFT, RIGHT, ["k"], ["n"], "left"), None,
                      None),
    "merge-missing-frame": ("merge_exact_match", lambda d: (None, RIGHT, ["k"]), None, None),
    "merge-no-keys": ("merge_exact_match", lambda d: (LEFT, RIGHT), None, None),
    "merge-missing-key": ("merge_exact_match", lambda d: (LEFT, RIGHT, ["k", "zz"]), None, None),
    "merge-join-fails": ("merge_exact_match", lambda d: (LEFT, RIGHT, ["k"], None, "sideways"),
                         ValueError, None),
    "merge-wrong-type": ("merge_exact_match", lambda d: (LEFT, RIGHT, ("k",)), TypeError, None),
    "format-success": ("format_excel_sheet", lambda d: (SHEET,), None, None),
    "format-propagates": ("format_excel_sheet", lambda d: (SHEET,), ValueError,
                          lambda et: setattr(et, "Border", refusing_style)),
    "format-missing-argument": ("format_excel_sheet", lambda d: (), TypeError, None),
    "write-success": ("write_formatted_excel",
                      lambda d: (d + "/out.xlsx", {"S": Frame(), "T": [{"df": Frame()}]}), None,
                      None),
    "write-nothing-to-write": ("write_formatted_excel", lambda d: (d + "/out.xlsx", {}), None,
                               None),
    "write-to-excel-fails": ("write_formatted_excel",
                             lambda d: (d + "/out.xlsx", {"S": FailingFrame()}), None, None),
    "write-missing-directory": ("write_formatted_excel",
                                lambda d: (d + "/no/out.xlsx", {"S": Frame()}), None, None),
    "write-interrupted": ("write_formatted_excel",
                          lambda d: (d + "/out.xlsx", {"S": InterruptingFrame()}),
                          KeyboardInterrupt, None),
    "parse-cell-propagates": ("parse_cell", lambda d: ("B3",), ValueError,
                              lambda et: setattr(et, "re", RefusingRe)),
    "parse-cell-unprintable": ("parse_cell", lambda d: (Unprintable(),), RuntimeError, None),
    "col-str-to-index-not-text": ("col_str_to_index", lambda d: (3,), TypeError, None),
    "write-unknown-keyword": ("write_formatted_excel", lambda d: (d + "/out.xlsx", {}),
                              TypeError, "keyword"),
}


@pytest.mark.scale
@pytest.mark.parametrize("case", CASES)
def test_100k_calls_leave_no_trace(stand_ins, tmp_path, case):
    name, make_args, error, arrange = CASES[case]
    fn = getattr(stand_ins, name)
    args, kwargs = make_args(str(tmp_path)), {}
    if arrange == "keyword":
        kwargs = {"formatting": True}
    elif arrange is not None:
        arrange(stand_ins)
    assert_flat(fn, args, kwargs, expect(error))
    # The writer's temporary files never pile up.
    assert sorted(os.listdir(tmp_path)) in (
        sorted(["book.xlsx", "data.csv", "bad.csv", "empty.csv", "undecodable.csv"]),
        sorted(["book.xlsx", "data.csv", "bad.csv", "empty.csv", "undecodable.csv", "out.xlsx"]))


# --- file descriptors, with the real libraries -----------------------------------------

def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


class RefusingFrame(pd.DataFrame):
    def to_excel(self, *args, **kwargs):
        raise ValueError("cannot write this frame")


def not_a_workbook(tmp):
    path = tmp / "text.xlsx"
    path.write_text("just text\n")
    return lambda et: et.read_excel_by_cells(str(path), {"A": "A1"})


def truncated_workbook(tmp):
    whole = tmp / "whole.xlsx"
    pd.DataFrame({"a": range(50)}).to_excel(whole, index=False)
    data = whole.read_bytes()
    path = tmp / "truncated.xlsx"
    path.write_bytes(data[: len(data) * 3 // 4])
    return lambda et: et.read_excel_by_cells(str(path), {"A": "A1"})


def undecodable_csv(tmp):
    path = tmp / "data.csv"
    path.write_bytes(b"a,b\n\x81 ,c\n")
    return lambda et: et.read_csv_by_cells(str(path), {"A": "A1"})


def unparsable_csv(tmp):
    # Widened twice (the second time after counting the lines), then refused
    # for its unclosed quote.
    path = tmp / "data.csv"
    path.write_bytes(b'title\n1,2\n1,2,3,4\n"x\n')
    return lambda et: et.read_csv_by_cells(str(path), {"A": "A1"})


def missing_files(tmp):
    def both(et):
        et.read_excel_by_cells(str(tmp / "none.xlsx"), {"A": "A1"})
        et.read_csv_by_cells(str(tmp / "none.csv"), {"A": "A1"})
    return both


def missing_directory(tmp):
    return lambda et: et.write_formatted_excel(str(tmp / "no" / "out.xlsx"), {"S": FRAME})


def refusing_to_excel(tmp):
    frame = RefusingFrame({"a": [1]})
    return lambda et: et.write_formatted_excel(str(tmp / "out.xlsx"), {"A": FRAME, "S": frame})


def failing_save(tmp):
    # Nothing written: saving fails ("At least one sheet must be visible")
    # with the file open.
    return lambda et: et.write_formatted_excel(str(tmp / "out.xlsx"), {"S": pd.DataFrame()})


FRAME = pd.DataFrame({"a": [1, 2]})
FAILING = {
    "missing-files": missing_files,
    "not-a-workbook": not_a_workbook,
    "truncated-workbook": truncated_workbook,
    "undecodable-csv": undecodable_csv,
    "unparsable-csv": unparsable_csv,
    "write-missing-directory": missing_directory,
    "write-to-excel-raises": refusing_to_excel,
    "write-save-fails": failing_save,
}


@pytest.mark.scale
@pytest.mark.parametrize("case", FAILING)
def test_1000_failing_calls_keep_no_descriptor(et, tmp_path, case):
    et.log = SilentLog()
    call = FAILING[case](tmp_path)
    files = sorted(os.listdir(tmp_path))
    call(et)
    gc.collect()
    before = open_descriptors()
    for _ in range(1000):
        result = call(et)
        assert result is None or result is False or result.empty
    gc.collect()
    assert open_descriptors() == before
    assert sorted(os.listdir(tmp_path)) == files
