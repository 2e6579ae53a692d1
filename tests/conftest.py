import os
import pathlib

import pytest

import vorlatek.excelTools as excel_tools

SOURCE_DIR = pathlib.Path(__file__).resolve().parent.parent / "vorlatek"


def pytest_configure(config):
    # The suite must exercise the installed build, never the source folder.
    installed = pathlib.Path(excel_tools.__file__).resolve()
    assert SOURCE_DIR not in installed.parents, f"tests imported the source tree: {installed}"


@pytest.fixture
def et():
    """The module, with every name a test rebinds restored afterwards."""
    saved = dict(excel_tools.__dict__)
    yield excel_tools
    for name in list(excel_tools.__dict__):
        if name not in saved:
            delattr(excel_tools, name)
    for name, value in saved.items():
        if excel_tools.__dict__.get(name, object()) is not value:
            setattr(excel_tools, name, value)
