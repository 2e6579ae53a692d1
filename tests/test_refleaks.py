"""Reference and memory hygiene of the call interface and cell addressing.

Each case runs 100,000 calls after a warm-up; the number of allocated blocks
and the reference counts of the argument objects must stay flat.
"""
import gc
import sys

import pytest

import vorlatek.excelTools as et

LOOPS = 100_000
path = "x.csv"
cell = "AB12"
mapping = {"a": "A1"}
wrong = 3.5


def call_ok(fn, *args, **kwargs):
    fn(*args, **kwargs)


def call_failing(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


CASES = [
    ("parse_cell hit", call_ok, et.parse_cell, (cell,), {}),
    ("parse_cell miss", call_ok, et.parse_cell, (wrong,), {}),
    ("parse_cell keyword", call_ok, et.parse_cell, (), {"cell_str": cell}),
    ("col_str_to_index", call_ok, et.col_str_to_index, ("XFD",), {}),
    ("col_str_to_index long", call_ok, et.col_str_to_index, ("Z" * 20,), {}),
    ("col_str_to_index unicode", call_ok, et.col_str_to_index, ("\u00df\u00df",), {}),
    ("count error", call_failing, et.parse_cell, (cell, cell), {}),
    ("unexpected keyword", call_failing, et.parse_cell, (), {"cell": cell}),
    ("multiple values", call_failing, et.parse_cell, (cell,), {"cell_str": cell}),
    ("missing required", call_failing, et.read_csv_by_cells, (), {"file_path": path}),
    ("type error", call_failing, et.read_csv_by_cells, (path, [mapping]), {}),
    ("subclass type error", call_failing, et.col_str_to_index, (type("S", (str,), {})("A"),), {}),
]


@pytest.mark.scale
@pytest.mark.parametrize("label,runner,fn,args,kwargs", CASES, ids=[c[0] for c in CASES])
def test_calls_leave_no_trace(label, runner, fn, args, kwargs):
    watched = list(args) + list(kwargs.values())
    for _ in range(1000):
        runner(fn, *args, **kwargs)
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(LOOPS):
        runner(fn, *args, **kwargs)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == refcounts
    assert sys.getallocatedblocks() - blocks < 50
