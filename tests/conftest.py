import os
import pathlib
import sys

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_DIR = CHECKOUT / "vorlatek"

# `python -m pytest` run in the checkout puts the checkout first on sys.path,
# where vorlatek/ holds the sources and no built module: the tests import the
# installed package instead.
sys.path[:] = [entry for entry in sys.path if pathlib.Path(entry or ".").resolve() != CHECKOUT]
try:
    import vorlatek.excelTools as excel_tools
except ImportError as error:
    raise pytest.UsageError(
        f"the tests need the module installed in this interpreter ({sys.executable}): "
        "`pip install .` first, or let `bash scripts/test.sh` make a venv with it "
        f"({error})") from None

# Cases marked `scale` prove behaviour at scale or in the worst case (large
# workbooks, many-round leak and thread loops). They are left out unless
# VORLATEK_SCALE says otherwise: "1" runs them beside the rest, "only" runs
# nothing else (the once-per-run scale pass).
SCALE = os.environ.get("VORLATEK_SCALE", "")
if SCALE not in ("", "0", "1", "only"):
    raise pytest.UsageError(f"VORLATEK_SCALE must be 0, 1 or only, not {SCALE!r}")


def pytest_collection_modifyitems(config, items):
    if SCALE == "1":
        return
    wanted = SCALE == "only"
    kept = [item for item in items if (item.get_closest_marker("scale") is not None) == wanted]
    left_out = [item for item in items if (item.get_closest_marker("scale") is not None) != wanted]
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = kept


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


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failure's report goes from a pytest-xdist worker to the controller as
    UTF-8, which a lone surrogate in it (a case about such texts) cannot be:
    the report keeps it escaped, so the run reports the failure instead of
    crashing the worker."""
    outcome = yield
    report = outcome.get_result()
    if report.longrepr is not None and not isinstance(report.longrepr, tuple):
        text = str(report.longrepr)
        safe = text.encode("utf-8", "backslashreplace").decode("utf-8")
        if safe != text:
            report.longrepr = safe
