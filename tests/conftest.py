import os
import pathlib

import pytest

import vorlatek.excelTools as excel_tools

SOURCE_DIR = pathlib.Path(__file__).resolve().parent.parent / "vorlatek"


def pytest_configure(config):
    # The suite must exercise the installed build, never the source folder.
    installed = pathlib.Path(excel_tools.__file__).resolve()
    assert SOURCE_DIR not in installed.parents, f"tests imported the source tree: {installed}"


@pytest.fixture(scope="session", autouse=True)
def scratch_working_directory(tmp_path_factory):
    """The suite runs in a scratch folder: a file a test names by a relative
    path lands there, never in the checkout (CI fails on any file the suite
    leaves in the checkout)."""
    previous = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("cwd"))
    yield
    os.chdir(previous)


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
