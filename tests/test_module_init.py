"""Import, namespace and the introspection facts of the seven functions."""
import inspect
import logging
import os
import pickle
import re
import subprocess
import sys
import tempfile
import textwrap

import openpyxl.styles
import openpyxl.utils
import pandas
import pytest

import vorlatek.excelTools as et

FUNCTIONS = [
    "parse_cell",
    "read_excel_by_cells",
    "col_str_to_index",
    "read_csv_by_cells",
    "merge_exact_match",
    "format_excel_sheet",
    "write_formatted_excel",
]


def test_namespace_holds_its_names_in_binding_order():
    expected = (
        ["__builtins__", "os", "re", "pd", "logging"]
        + ["Font", "PatternFill", "Alignment", "Border", "Side", "get_column_letter", "log"]
        + FUNCTIONS
        + ["__test__"]
    )
    names = [name for name in et.__dict__ if name in expected]
    assert names == expected


def test_namespace_values():
    import builtins

    assert et.__builtins__ is builtins
    assert (et.os, et.re, et.pd, et.logging) == (os, re, pandas, logging)
    for name in ["Font", "PatternFill", "Alignment", "Border", "Side"]:
        assert getattr(et, name) is getattr(openpyxl.styles, name)
    assert et.get_column_letter is openpyxl.utils.get_column_letter
    assert et.log is logging.getLogger("vorlatek.excelTools")
    assert et.log.name == et.__name__ == "vorlatek.excelTools"
    assert et.__test__ == {}
    assert et.__doc__ is None
    assert sys.modules["vorlatek.excelTools"] is et


DOCS = {
    "parse_cell": "\n    解析 Excel 儲存格，例如 'F3' -> ('F', 3)\n    ",
    "read_excel_by_cells": "\n    依照指定的 cell 位置讀取 Excel 檔案，並給予對應的欄位名稱。\n    ",
    "col_str_to_index": "\n    將 Excel 欄位英文字母轉為 Index (A=0, B=1, Z=25, AA=26)\n    ",
    "read_csv_by_cells": (
        "\n    依照指定的 cell 位置讀取 CSV 檔案，並給予對應的欄位名稱。\n"
        "    (不依賴 title 列，直接依照絕對的欄與列來切割資料)\n    "
    ),
    "merge_exact_match": (
        "\n    將兩個 DataFrame 進行合併，並自動處理「多對多」造成的笛卡兒積問題（強制轉為一對一配對）。\n"
        "    \n"
        "    :param df_left: 左表 (例如 System Data)\n"
        "    :param df_right: 右表 (例如 Customer Data)\n"
        "    :param str_keys: 需作為比對條件的字串欄位列表 (會自動轉字串並去空白)\n"
        "    :param num_keys: 需作為比對條件的數值欄位列表 (會自動轉數值)\n"
        "    :param how: 合併方式 (inner, left, right, outer)\n"
        "    :param suffixes: 重複欄位的後綴名稱\n"
        "    :return: 合併後的 DataFrame\n    "
    ),
    "format_excel_sheet": (
        "\n    設定 Excel 工作表的字型、顏色、框線與自動調整欄寬\n"
        "    \n"
        "    :param worksheet: openpyxl 的 worksheet 物件\n    "
    ),
    "write_formatted_excel": (
        "\n    通用的 Excel 寫入工具，支援多 Sheet 輸出、同 Sheet 多個 DataFrame（並排顯示）以及自動美化。\n"
        "    \n"
        "    :param file_path: 輸出的 Excel 檔案路徑\n"
        "    :param sheets_data: 字典格式，定義要寫入的資料。\n"
        "        - Key: Sheet 名稱 (str)\n"
        "        - Value: \n"
        "            - 單一 pd.DataFrame (最簡單用法)\n"
        "            - 或 List[dict] (進階用法，用於同一個 Sheet 寫入多張表，例如:\n"
        '              [{"df": df1, "startcol": 0, "index": False}, \n'
        '               {"df": df2, "startcol": 5, "index": True}])\n'
        "    :param auto_format: 是否自動套用 format_excel_sheet 進行美化\n"
        "    :return: 是否成功寫入\n    "
    ),
}

STR_DF = {"file_path": "str", "cell_mapping": "dict", "return": "pd.DataFrame"}
FACTS = [
    # name, first line, defaults, annotations, locals
    ("parse_cell", 11, None, {}, ("cell_str", "match")),
    ("read_excel_by_cells", 20, None, STR_DF,
     ("file_path", "cell_mapping", "cols", "rows", "names", "name", "cell", "col", "row",
      "start_row", "skip_rows", "use_cols", "df", "e")),
    ("col_str_to_index", 64, None, {"col_str": "str", "return": "int"},
     ("col_str", "idx", "char")),
    ("read_csv_by_cells", 75, None, STR_DF,
     ("file_path", "cell_mapping", "df_raw", "encodings", "enc", "e", "result_dict", "name",
      "cell", "col_str", "row_num", "col_idx", "start_idx", "result_df")),
    ("merge_exact_match", 129, (None, None, "inner", ("_x", "_y")),
     {"df_left": "pd.DataFrame", "df_right": "pd.DataFrame", "str_keys": "list",
      "num_keys": "list", "how": "str", "suffixes": "tuple", "return": "pd.DataFrame"},
     ("df_left", "df_right", "str_keys", "num_keys", "how", "suffixes", "merge_keys", "df_l",
      "df_r", "key", "missing_l", "missing_r", "result_df", "k", "k")),
    ("format_excel_sheet", 203, None, {},
     ("worksheet", "header_font", "header_fill", "cell_font", "center_aligned", "thin_border",
      "row_idx", "row", "cell", "col", "max_length", "col_letter")),
    ("write_formatted_excel", 247, (True,),
     {"file_path": "str", "sheets_data": "dict", "auto_format": "bool", "return": "bool"},
     ("file_path", "sheets_data", "auto_format", "writer", "sheet_name", "data", "item", "df",
      "e")),
]
PARAM_COUNTS = {"merge_exact_match": 6, "write_formatted_excel": 3, "read_excel_by_cells": 2,
                "read_csv_by_cells": 2}


@pytest.mark.parametrize("name,first_line,defaults,annotations,local_names", FACTS)
def test_function_introspection(name, first_line, defaults, annotations, local_names):
    fn = getattr(et, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "vorlatek.excelTools"
    assert fn.__doc__ == DOCS[name]
    assert fn.__defaults__ == defaults
    assert fn.__kwdefaults__ is None
    assert fn.__annotations__ == annotations
    assert list(fn.__annotations__) == list(annotations)
    assert fn.__globals__ is et.__dict__
    assert fn.__closure__ is None
    assert fn.__dict__ == {}
    code = fn.__code__
    assert code.co_name == name
    assert code.co_filename == "vorlatek/excelTools"
    assert code.co_firstlineno == first_line
    assert code.co_argcount == PARAM_COUNTS.get(name, 1)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == 3
    assert code.co_varnames == local_names
    assert pickle.loads(pickle.dumps(fn)) is fn


@pytest.mark.parametrize("name,expected", [
    ("parse_cell", "(cell_str)"),
    ("read_excel_by_cells", "(file_path: 'str', cell_mapping: 'dict') -> 'pd.DataFrame'"),
    ("col_str_to_index", "(col_str: 'str') -> 'int'"),
    ("merge_exact_match",
     "(df_left: 'pd.DataFrame', df_right: 'pd.DataFrame', str_keys: 'list' = None, "
     "num_keys: 'list' = None, how: 'str' = 'inner', suffixes: 'tuple' = ('_x', '_y'))"
     " -> 'pd.DataFrame'"),
    ("format_excel_sheet", "(worksheet)"),
    ("write_formatted_excel",
     "(file_path: 'str', sheets_data: 'dict', auto_format: 'bool' = True) -> 'bool'"),
])
def test_signature(name, expected):
    assert str(inspect.signature(getattr(et, name))) == expected


def test_binds_as_method_and_keeps_attributes():
    class Holder:
        parse = et.parse_cell

    assert Holder.parse is et.parse_cell
    assert Holder().parse() == (None, None)  # the instance's text is no cell reference
    et.parse_cell.extra = 1
    try:
        assert et.parse_cell.__dict__ == {"extra": 1}
    finally:
        del et.parse_cell.extra


@pytest.mark.parametrize("attr,value,message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (1,), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_attribute_assignment_is_type_checked(attr, value, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        setattr(et.merge_exact_match, attr, value)


def test_defaults_assignment_warns_and_changes_only_introspection(et):
    import pandas as pd

    fn = et.merge_exact_match
    old = fn.__defaults__
    try:
        with pytest.warns(RuntimeWarning, match="do not affect the values used in calls"):
            fn.__defaults__ = (None, None, "outer", ("_l", "_r"))
        with pytest.warns(RuntimeWarning):
            fn.__kwdefaults__ = {"how": "outer"}
        assert fn.__defaults__ == (None, None, "outer", ("_l", "_r"))
        left = pd.DataFrame({"k": ["a", "b"], "v": [1, 2]})
        right = pd.DataFrame({"k": ["a", "c"], "v": [3, 4]})
        merged = fn(left, right, ["k"])
        assert list(merged["k"]) == ["a"]  # still "inner"
        assert list(merged.columns) == ["k", "v_x", "v_y"]
    finally:
        with pytest.warns(RuntimeWarning):
            fn.__defaults__ = old
        with pytest.warns(RuntimeWarning):
            fn.__kwdefaults__ = None


def test_writable_names_and_docs():
    fn = et.col_str_to_index
    try:
        fn.__name__ = "renamed"
        fn.__doc__ = "doc"
        fn.__annotations__ = None
        assert (fn.__name__, fn.__doc__, fn.__annotations__) == ("renamed", "doc", {})
        # the fixed name still appears in messages
        with pytest.raises(TypeError, match=r"^col_str_to_index\(\) takes"):
            fn()
    finally:
        fn.__name__ = "col_str_to_index"
        fn.__doc__ = DOCS["col_str_to_index"]
        fn.__annotations__ = {"col_str": "str", "return": "int"}


def run_python(code):
    # Run from a neutral directory so the checkout's source folder is not importable.
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tempfile.gettempdir(),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_failed_import_leaves_nothing_and_retries():
    out = run_python("""
        import sys, traceback
        for attempt in range(3):
            sys.modules["pandas"] = None
            try:
                import vorlatek.excelTools
            except ModuleNotFoundError as e:
                entries = [(f.filename, f.name, f.lineno)
                           for f in traceback.extract_tb(e.__traceback__)]
                assert entries[-1] == ("vorlatek/excelTools", "init vorlatek.excelTools", 3), entries
                assert "vorlatek.excelTools" not in sys.modules
            else:
                raise AssertionError("import succeeded without pandas")
        del sys.modules["pandas"]
        import vorlatek.excelTools as m
        import pandas
        assert m.pd is pandas
        print("ok")
    """)
    assert out.strip() == "ok"


def test_missing_openpyxl_name_fails_at_its_line():
    out = run_python("""
        import traceback
        import openpyxl.utils
        del openpyxl.utils.get_column_letter
        try:
            import vorlatek.excelTools
        except ImportError as e:
            entry = traceback.extract_tb(e.__traceback__)[-1]
            print(e, entry.name, entry.lineno)
    """)
    assert out.strip() == "cannot import name get_column_letter init vorlatek.excelTools 7"



# The initialisation looks names up on modules (openpyxl.styles' names before
# it imports them, `min` on the builtins, `re.match`). The lookup raises once:
# an ordinary exception keeps its old meaning, anything else ends the import.
@pytest.mark.parametrize("module, name, raised, outcome", [
    ("openpyxl.styles", "Font", "KeyboardInterrupt", "KeyboardInterrupt"),
    ("openpyxl.styles", "Side", "SystemExit", "SystemExit"),
    ("openpyxl.styles", "Font", "ValueError", "imported"),
    ("builtins", "min", "KeyboardInterrupt", "KeyboardInterrupt"),
    ("builtins", "enumerate", "SystemExit", "SystemExit"),
    ("builtins", "min", "ValueError", "NameError: name 'min' is not defined"),
    ("re", "match", "KeyboardInterrupt", "KeyboardInterrupt"),
    ("re", "match", "ValueError", "imported"),
], ids=lambda value: value.split(":")[0].split(".")[-1])
def test_interrupt_while_looking_names_up_at_import_propagates(module, name, raised, outcome):
    out = run_python(f"""
        import builtins, re, sys, types
        import openpyxl.styles
        armed = [True]

        class RaisingOnce(types.ModuleType):
            def __getattribute__(self, attr):
                if attr == {name!r} and armed:
                    armed.pop()
                    raise {raised}("from the lookup")
                return super().__getattribute__(attr)

        sys.modules[{module!r}].__class__ = RaisingOnce
        try:
            import vorlatek.excelTools as et
        except BaseException as e:
            assert "vorlatek.excelTools" not in sys.modules
            print(type(e).__name__ if type(e).__name__ == {raised!r} else f"{{type(e).__name__}}: {{e}}")
        else:
            assert not armed and et.parse_cell("B7") == ("B", 7)
            print("imported")
    """)
    assert out.strip() == outcome

def test_second_import_and_reload_give_the_same_module():
    out = run_python("""
        import importlib, sys
        import vorlatek.excelTools as first
        fn = first.parse_cell
        del sys.modules["vorlatek.excelTools"]
        import vorlatek.excelTools as second
        assert second is first and second.parse_cell is fn
        assert importlib.reload(first) is first and first.parse_cell is fn
        print("ok")
    """)
    assert out.strip() == "ok"


def test_sub_interpreter_is_refused():
    out = run_python("""
        import _testcapi
        import vorlatek.excelTools
        print(_testcapi.run_in_subinterp("import vorlatek.excelTools"))
    """)
    assert out.strip() == "-1"


CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_pytest(args, cwd, extra_path=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(extra_path))
    env.pop("PYTEST_XDIST_WORKER", None)
    env.pop("PYTEST_ADDOPTS", None)
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_python_m_pytest_in_the_checkout_imports_the_installed_module():
    # `python -m pytest` puts the checkout, whose vorlatek/ holds only sources, first on sys.path.
    result = run_pytest(["tests/test_cell_address.py", "-k", "parse_cell", "-n", "0"], CHECKOUT)
    assert result.returncode == 0, result.stdout + result.stderr
    assert " passed" in result.stdout


def test_failure_report_with_a_lone_surrogate_reaches_the_controller(tmp_path):
    # A pytest-xdist worker sends reports as UTF-8: the run must report the failure, not crash.
    (tmp_path / "test_surrogate.py").write_text(
        "def test_text():\n    assert False, 'lone \\ud800'\n\n"
        "def test_other():\n    pass\n", encoding="utf-8")
    result = run_pytest(["-p", "conftest", "-n", "2", "--rootdir", str(tmp_path), str(tmp_path)],
                        str(tmp_path), [os.path.join(CHECKOUT, "tests")])
    assert "INTERNALERROR" not in result.stdout + result.stderr
    assert "1 failed, 1 passed" in result.stdout, result.stdout + result.stderr
