"""Argument binding: counts, keywords, defaults, type tests and their traceback entries."""
import collections
import functools
import pathlib
import re

import pytest

import vorlatek.excelTools as et
from helpers import module_entries


class Dict(dict):
    pass


class Str(str):
    pass


def entry(name, line):
    return [(f"vorlatek.excelTools.{name}", line)]


# function, args, kwargs, message, traceback entries the module adds
BINDING_ERRORS = [
    ("parse_cell", (), {}, "parse_cell() takes exactly 1 positional argument (0 given)", 11),
    ("parse_cell", ("A1", "B2"), {}, "parse_cell() takes exactly 1 positional argument (2 given)",
     11),
    ("parse_cell", ("A1",), {"cell_str": "B2"},
     "parse_cell() got multiple values for keyword argument 'cell_str'", 11),
    ("parse_cell", (), {"cell": "A1"}, "parse_cell() got an unexpected keyword argument 'cell'",
     11),
    ("read_csv_by_cells", (), {"cell_mapping": {}},
     "read_csv_by_cells() takes exactly 2 positional arguments (0 given)", 75),
    ("read_csv_by_cells", (), {"file_path": "x"},
     "read_csv_by_cells() takes exactly 2 positional arguments (1 given)", 75),
    ("read_csv_by_cells", ("a", {}, 3), {"nope": 1},
     "read_csv_by_cells() takes exactly 2 positional arguments (3 given)", 75),
    ("read_excel_by_cells", ("a",), {},
     "read_excel_by_cells() takes exactly 2 positional arguments (1 given)", 20),
    ("merge_exact_match", (), {"df_right": 1},
     "merge_exact_match() takes at least 2 positional arguments (0 given)", 129),
    ("merge_exact_match", (1, 2, None, None, "inner", (), 7), {},
     "merge_exact_match() takes at most 6 positional arguments (7 given)", 129),
    ("merge_exact_match", (1,), {},
     "merge_exact_match() takes at least 2 positional arguments (1 given)", 129),
    ("merge_exact_match", (1, 2, None, None, "inner", (), 7), {"how": "x"},
     "merge_exact_match() takes at most 6 positional arguments (7 given)", 129),
    ("merge_exact_match", (1,), {"how": "x"},
     "merge_exact_match() takes at least 2 positional arguments (1 given)", 129),
    ("merge_exact_match", (1, 2), {"how": "x", "df_left": 3},
     "merge_exact_match() got multiple values for keyword argument 'df_left'", 129),
    ("write_formatted_excel", ("a", {}, True, 4), {},
     "write_formatted_excel() takes at most 3 positional arguments (4 given)", 247),
    ("write_formatted_excel", ("a",), {},
     "write_formatted_excel() takes at least 2 positional arguments (1 given)", 247),
    ("col_str_to_index", ("A", "B"), {},
     "col_str_to_index() takes exactly 1 positional argument (2 given)", 64),
    ("format_excel_sheet", (), {"worksheet": None, "sheet": 1},
     "format_excel_sheet() got an unexpected keyword argument 'sheet'", 203),
    ("format_excel_sheet", (), {"Worksheet": None},
     "format_excel_sheet() got an unexpected keyword argument 'Worksheet'", 203),
]


@pytest.mark.parametrize("name,args,kwargs,message,line", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message, line):
    with pytest.raises(TypeError) as info:
        getattr(et, name)(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == entry(name, line)


SUBCLASS_NOTE = (". Subclasses of builtin types are refused for this parameter, which is "
                 "stricter than PEP 484 asks.")

# function, args, kwargs, parameter, expected type, given type name, subclass note
TYPE_ERRORS = [
    ("col_str_to_index", (None,), {}, "col_str", "str", "NoneType", False),
    ("col_str_to_index", (Str("A"),), {}, "col_str", "str", "Str", True),
    ("read_csv_by_cells", (pathlib.PurePosixPath("a.csv"), {}), {}, "file_path", "str",
     "PurePosixPath", False),
    ("read_excel_by_cells", ("a.xlsx", Dict()), {}, "cell_mapping", "dict", "Dict", True),
    ("read_excel_by_cells", ("a.xlsx", collections.OrderedDict()), {}, "cell_mapping", "dict",
     "collections.OrderedDict", True),
    ("read_excel_by_cells", (b"a.xlsx", None), {}, "file_path", "str", "bytes", False),
    ("merge_exact_match", (None, None), {"str_keys": ("a",)}, "str_keys", "list", "tuple", False),
    ("merge_exact_match", (None, None, None, 1), {}, "num_keys", "list", "int", False),
    ("merge_exact_match", (None, None), {"how": None}, "how", "str", "NoneType", False),
    ("merge_exact_match", (None, None), {"suffixes": ["_a", "_b"]}, "suffixes", "tuple", "list",
     False),
    # tests run in declaration order: str_keys is reported before how
    ("merge_exact_match", (None, None, 1, None, None), {}, "str_keys", "list", "int", False),
    ("write_formatted_excel", (1, {}), {}, "file_path", "str", "int", False),
    ("write_formatted_excel", ("a", []), {"auto_format": False}, "sheets_data", "dict", "list",
     False),
]


@pytest.mark.parametrize("name,args,kwargs,param,expected,given,note", TYPE_ERRORS)
def test_type_errors_name_the_argument_and_add_no_entry(name, args, kwargs, param, expected,
                                                        given, note):
    with pytest.raises(TypeError) as info:
        getattr(et, name)(*args, **kwargs)
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {given})"
    assert str(info.value) == message + (SUBCLASS_NOTE if note else "")
    assert module_entries(info.value) == []


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("auto_format,expected", [
    (None, False), ([], False), (0, False), ("", False), (Truthy(False), False),
    (True, True), (1, True), ([0], True), (Truthy(True), True),
])
def test_auto_format_is_reduced_to_a_truth_value(et, tmp_path, auto_format, expected):
    import pandas as pd

    formatted = []
    et.format_excel_sheet = formatted.append
    frame = pd.DataFrame({"a": [1]})
    assert et.write_formatted_excel(str(tmp_path / "out.xlsx"), {"S": frame}, auto_format)
    assert len(formatted) == (1 if expected else 0)


def test_auto_format_truth_error_comes_before_type_tests():
    error = ValueError("no truth")
    with pytest.raises(ValueError) as info:
        et.write_formatted_excel(1, None, Truthy(error))
    assert info.value is error
    assert module_entries(info.value) == entry("write_formatted_excel", 247)


@pytest.mark.parametrize("call", [
    lambda: et.parse_cell("B7"),
    lambda: et.parse_cell(cell_str="B7"),
    lambda: et.parse_cell(*["B7"]),
    lambda: et.parse_cell(**{"cell_str": "B7"}),
    lambda: functools.partial(et.parse_cell, "B7")(),
    lambda: functools.partial(et.parse_cell, cell_str="B7")(),
    lambda: et.parse_cell.__call__("B7"),
    lambda: type(et.parse_cell).__call__(et.parse_cell, "B7"),
    lambda: list(map(et.parse_cell, ["B7"]))[0],
])
def test_every_calling_form_reaches_the_same_binding(call):
    assert call() == ("B", 7)


def test_keywords_must_be_strings():
    # Only native code can pass a non-string keyword: call through tp_call with a dict.
    import ctypes

    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError, match=re.escape("keywords must be strings")):
        call(et.parse_cell, (), {1: "A1"})


def test_body_failure_entry_uses_the_failing_line(et):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError) as info:
        et.parse_cell(Unprintable())
    assert module_entries(info.value) == entry("parse_cell", 15)
