"""Spreadsheet helpers for data-processing scripts; see ``vorlatek.excelTools``."""
import os as _os

# The checkout's own vorlatek/ folder holds the C++ sources, not the built
# module; imported from there, `vorlatek.excelTools` would be an empty
# namespace package. Say so plainly instead.
if _os.path.isfile(_os.path.join(_os.path.dirname(__file__), "CMakeLists.txt")):
    raise ImportError(
        "this is the vorlatek source folder, which holds no built module: install the "
        "package (pip install .) and import it from outside the checkout; the tests "
        "run from the checkout with `python -m pytest` or the venv's `pytest`"
    )
