"""Shared helpers for the test modules."""
import gc
import sys
import traceback

MODULE_FILE = "vorlatek/excelTools"


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
