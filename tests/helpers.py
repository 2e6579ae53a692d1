"""Shared helpers for the test modules."""
import traceback

MODULE_FILE = "vorlatek/excelTools"


def module_entries(exc):
    """(name, line) of each traceback entry the module added to `exc`."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == MODULE_FILE
    ]
