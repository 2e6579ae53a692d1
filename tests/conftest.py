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
    namespace = excel_tools.__dict__
    saved = dict(namespace)
    yield excel_tools
    # Put back values and insertion order alike (a deleted name re-added by
    # setattr would otherwise move to the end).
    if list(namespace.items()) != list(saved.items()):
        namespace.clear()
        namespace.update(saved)
