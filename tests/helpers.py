"""Shared helpers for the test modules."""
import gc
import sys
import traceback

import pandas as pd

MODULE_FILE = "vorlatek/excelTools"
LOGGER = "vorlatek.excelTools"


def module_entries(exc):
    """(name, line) of each traceback entry the module added to `exc`."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == MODULE_FILE
    ]


def growing_parse_cell(mapping):
    """A parse_cell stand-in that adds an entry to the mapping it walks."""

    def fake(cell):
        mapping["added" + str(len(mapping))] = "A1"
        return ("A", 1)

    return fake


def allocation_growth(action, repeat=2000):
    """Blocks gained over `repeat` calls after a warm-up; the smaller of two
    rounds, so caches pandas fills on first use do not count, while a leak
    of even one block per call shows in both."""
    for _ in range(200):
        action()
    growth = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeat):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return min(growth)


def records(caplog):
    out = []
    for record in caplog.records:
        if record.name == LOGGER:
            assert record.args == ()  # one finished text, no formatting arguments
            out.append((record.levelname, record.msg))
    return out


def table(df):
    """Index, column labels and values (missing values as None) of a frame."""
    return (
        list(df.index),
        list(df.columns),
        {c: [None if pd.isna(v) else v for v in df[c]] for c in df.columns},
    )


def assert_empty_result(df):
    assert type(df) is pd.DataFrame
    assert df.shape == (0, 0)


def our_entries(exc):
    return [
        (entry.filename, entry.name, entry.lineno)
        for entry in traceback.extract_tb(exc.__traceback__)
        if entry.filename == "vorlatek/excelTools"
    ]
