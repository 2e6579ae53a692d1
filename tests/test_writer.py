"""write_formatted_excel: real workbooks, log records, exact calls, safe replacement."""
import contextlib
import gc
import logging
import os
import random
import stat
import sys
import tracemalloc
import traceback
import types
import weakref
import warnings

import openpyxl
import pandas as pd
import pytest

from helpers import allocation_growth

LOGGER = "vorlatek.excelTools"
MODULE_FILE = "vorlatek/excelTools"
QUALNAME = "vorlatek.excelTools.write_formatted_excel"
NO_DATA = "No data provided to write_formatted_excel."


def frame(**columns):
    return pd.DataFrame(columns)


DF = frame(a=[1, 2], b=["x", "y"])
DF2 = frame(k=["p", "q", "r"])


def records(caplog):
    out = []
    for r in caplog.records:
        if r.name == LOGGER:
            # One finished text, nothing else handed to the logger.
            assert not r.args and r.exc_info is None and isinstance(r.msg, str)
            out.append((r.levelname, r.msg))
    return out


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: records(caplog)


def read_back(path):
    workbook = openpyxl.load_workbook(path)
    return {sheet.title: [list(row) for row in sheet.iter_rows(values_only=True)]
            for sheet in workbook}


@contextlib.contextmanager
def no_leaked_resources():
    """Fails when a file is left open or a finaliser complains."""
    unraisable = []
    previous_hook = sys.unraisablehook
    sys.unraisablehook = unraisable.append
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            yield
            gc.collect()
    finally:
        sys.unraisablehook = previous_hook
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []
    assert [repr(u.exc_value) for u in unraisable] == []


class InterruptingFrame(pd.DataFrame):
    def to_excel(self, *args, **kwargs):
        raise KeyboardInterrupt


class FailingFrame(pd.DataFrame):
    def to_excel(self, *args, **kwargs):
        raise ValueError("cannot write this frame")


# --- real workbooks ------------------------------------------------------------

def test_single_frame_is_written_without_index_at_the_origin(et, tmp_path, logs):
    path = str(tmp_path / "out.xlsx")
    assert et.write_formatted_excel(path, {"Data": DF}) is True
    assert read_back(path) == {"Data": [["a", "b"], [1, "x"], [2, "y"]]}
    assert logs() == []


def test_placements_several_frames_and_sheets_in_order(et, tmp_path):
    path = str(tmp_path / "out.xlsx")
    indexed = frame(v=[10, 20])
    indexed.index = ["r1", "r2"]
    data = {
        "Side": [{"df": DF, "startcol": 0, "index": False},
                 {"df": indexed, "startcol": 3, "index": True}],
        "Stack": [{"df": DF}, {"df": DF2, "startrow": 4, "ignored": "key"}],
        "Plain": DF2,
    }
    assert et.write_formatted_excel(path, data) is True
    sheets = read_back(path)
    assert list(sheets) == ["Side", "Stack", "Plain"]
    assert sheets["Side"] == [["a", "b", None, None, "v"],
                              [1, "x", None, "r1", 10],
                              [2, "y", None, "r2", 20]]
    assert sheets["Stack"] == [["a", "b"], [1, "x"], [2, "y"], [None, None],
                               ["k", None], ["p", None], ["q", None], ["r", None]]
    assert sheets["Plain"] == [["k"], ["p"], ["q"], ["r"]]


def test_each_written_sheet_is_styled(et, tmp_path):
    path = str(tmp_path / "out.xlsx")
    data = {"One": DF, "Stack": [{"df": DF}, {"df": DF2, "startrow": 4}]}
    assert et.write_formatted_excel(path, data) is True
    workbook = openpyxl.load_workbook(path)
    one, stack = workbook["One"], workbook["Stack"]
    header = one["A1"]
    assert (header.font.name, header.font.b, header.font.color.rgb) == ("Arial", True, "00FFFFFF")
    assert (header.fill.fill_type, header.fill.start_color.rgb) == ("solid", "004F81BD")
    body = one["B3"]
    assert (body.font.name, body.font.sz, body.fill.fill_type) == ("Arial", 11, None)
    assert (body.alignment.horizontal, body.border.bottom.style) == ("center", "thin")
    # The lower table's header is body-styled; the empty row between is bare.
    assert stack["A5"].font.sz == 11 and stack["A5"].fill.fill_type is None
    assert stack["A4"].border.left.style is None
    assert one.column_dimensions["A"].width == 4 and stack.column_dimensions["A"].width == 4


def test_auto_format_off_leaves_sheets_plain(et, tmp_path):
    path = str(tmp_path / "out.xlsx")
    assert et.write_formatted_excel(path, {"S": frame(name=["東京都千代田区丸の内一"])}, False)
    sheet = openpyxl.load_workbook(path)["S"]
    # pandas' own header style only: bold, no fill, no Arial, no width set.
    assert sheet["A1"].font.name != "Arial" and sheet["A1"].fill.fill_type is None
    assert sheet["A2"].border.left.style is None
    assert "A" not in sheet.column_dimensions or sheet.column_dimensions["A"].width == 13


def test_east_asian_text_counts_characters(et, tmp_path):
    path = str(tmp_path / "out.xlsx")
    assert et.write_formatted_excel(path, {"S": frame(c=["東" * 10], z=[0])})
    sheet = openpyxl.load_workbook(path)["S"]
    assert sheet.column_dimensions["A"].width == 13
    assert sheet.column_dimensions["B"].width == 4  # header "z"; 0 does not count


# --- edge cases with their records ---------------------------------------------

def formatter_raising(et, data):
    def broken(worksheet):
        raise ValueError("bad sheet")
    et.format_excel_sheet = broken
    return data


def formatter_growing_the_dict(et, data):
    et.format_excel_sheet = lambda worksheet: data.setdefault("Extra", DF)
    return data


def keep(et, data):
    return data


FAILED = "Failed to write formatted excel to {path}: "


@pytest.mark.parametrize(
    "data, arrange, result, expected_records, sheets",
    [
        ({}, keep, False, [("WARNING", NO_DATA)], None),
        ({"S": pd.DataFrame()}, keep, False,
         [("ERROR", FAILED + "At least one sheet must be visible")], None),
        ({"S": DF}, keep, True, [], {"S": [["a", "b"], [1, "x"], [2, "y"]]}),
        ({"S": [{"df": DF}]}, keep, True, [], {"S": [["a", "b"], [1, "x"], [2, "y"]]}),
        ({"S": [{"startrow": 2}, {"df": None}, {"df": pd.DataFrame()}], "T": DF2}, keep, True, [],
         {"T": [["k"], ["p"], ["q"], ["r"]]}),
        ({"S": ({"df": DF},), "T": DF2}, keep, True, [], {"T": [["k"], ["p"], ["q"], ["r"]]}),
        ({"S": "text", "N": None, "D": {"df": DF}, "T": DF2}, keep, True, [],
         {"T": [["k"], ["p"], ["q"], ["r"]]}),
        ({"S": [{"df": DF}, 5]}, keep, False,
         [("ERROR", FAILED + "'int' object has no attribute 'get'")], None),
        ({"S": DF}, formatter_raising, False, [("ERROR", FAILED + "bad sheet")], None),
        ({"S": DF}, formatter_growing_the_dict, False,
         [("ERROR", FAILED + "dictionary changed size during iteration")], None),
        ({"A": DF, "S": FailingFrame(DF)}, keep, False,
         [("ERROR", FAILED + "cannot write this frame")], None),
        # The failed exit (nothing to save) reports its own error instead.
        ({"S": FailingFrame(DF)}, keep, False,
         [("ERROR", FAILED + "At least one sheet must be visible")], None),
    ],
    ids=["empty-dict", "only-empty-frame", "single-frame", "placement-defaults",
         "no-usable-items", "tuple-ignored", "other-values-ignored", "item-without-get",
         "formatter-raises", "dict-grows", "to-excel-raises", "to-excel-raises-first"],
)
def test_edge_cases(et, tmp_path, logs, data, arrange, result, expected_records, sheets):
    path = str(tmp_path / "out.xlsx")
    data = arrange(et, dict(data))
    with no_leaked_resources():
        assert et.write_formatted_excel(path, data) is result
    assert logs() == [(level, text.format(path=path)) for level, text in expected_records]
    if sheets is None:
        assert os.listdir(tmp_path) == []
    else:
        assert os.listdir(tmp_path) == ["out.xlsx"] and read_back(path) == sheets


@pytest.mark.parametrize(
    "name, message, ending",
    [
        # pandas' own check of the extension (its engine name varies by version)
        ("out.txt", "Invalid extension for engine ", ": 'txt'"),
        ("missing/out.xlsx", "[Errno 2] No such file or directory: '{path}'", ""),
        ("out\0.xlsx", "embedded null byte", ""),
    ],
)
def test_unusable_paths_fail_cleanly(et, tmp_path, logs, name, message, ending):
    path = str(tmp_path / name)
    with no_leaked_resources():
        assert et.write_formatted_excel(path, {"S": DF}) is False
    [(level, logged)] = logs()
    assert level == "ERROR" and logged.endswith(ending)
    assert logged.startswith(FAILED.format(path=path) + message.format(path=path))
    assert os.listdir(tmp_path) == []


def test_directory_as_path_fails_and_is_untouched(et, tmp_path, logs):
    target = tmp_path / "out.xlsx"
    target.mkdir()
    assert et.write_formatted_excel(str(target), {"S": DF}) is False
    assert logs() == [("ERROR", FAILED.format(path=target) + f"[Errno 21] Is a directory: '{target}'")]
    assert os.listdir(tmp_path) == ["out.xlsx"] and os.listdir(target) == []


def test_logger_failure_propagates(et):
    class BrokenLog:
        def warning(self, message):
            raise RuntimeError("logger down")
    et.log = BrokenLog()
    with pytest.raises(RuntimeError, match="logger down"):
        et.write_formatted_excel("x.xlsx", {})


# --- safe replacement of file_path -------------------------------------------------

FAILURES = {
    "exit-fails": lambda et: {"S": pd.DataFrame()},
    "item-without-get": lambda et: {"S": [{"df": DF}, object()]},
    "formatter-raises": lambda et: formatter_raising(et, {"S": DF}),
    "to-excel-raises": lambda et: {"A": DF, "S": FailingFrame(DF)},
    "writer-not-created": lambda et: broken_writer_class(et),
}


def broken_writer_class(et):
    class Pd:
        DataFrame = pd.DataFrame

        def ExcelWriter(self, *args, **kwargs):
            raise OSError("no writer today")
    et.pd = Pd()
    return {"S": DF}


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "report.xlsx"
    pd.DataFrame({"old": [1, 2, 3]}).to_excel(path, index=False)
    return path


@pytest.mark.parametrize("failure", sorted(FAILURES))
def test_failures_keep_the_existing_workbook(et, existing, logs, failure):
    before = existing.read_bytes()
    data = FAILURES[failure](et)
    with no_leaked_resources():
        assert et.write_formatted_excel(str(existing), data) is False
    assert existing.read_bytes() == before
    assert os.listdir(existing.parent) == ["report.xlsx"]
    assert len(logs()) == 1 and logs()[0][1].startswith(FAILED.format(path=existing))


def test_success_replaces_the_workbook_and_keeps_its_mode(et, existing):
    os.chmod(existing, 0o640)
    with no_leaked_resources():
        assert et.write_formatted_excel(str(existing), {"New": DF}) is True
    assert read_back(existing) == {"New": [["a", "b"], [1, "x"], [2, "y"]]}
    assert stat.S_IMODE(os.stat(existing).st_mode) == 0o640
    assert os.listdir(existing.parent) == ["report.xlsx"]


@pytest.mark.parametrize("mask, mode", [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)])
def test_new_file_mode_follows_the_umask(et, tmp_path, mask, mode):
    path = tmp_path / "new.xlsx"
    previous = os.umask(mask)
    try:
        assert et.write_formatted_excel(str(path), {"S": DF}) is True
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(path).st_mode) == mode


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file")
def test_read_only_workbook_is_not_replaced(et, existing, logs):
    os.chmod(existing, 0o444)
    before = existing.read_bytes()
    assert et.write_formatted_excel(str(existing), {"S": DF}) is False
    assert existing.read_bytes() == before
    assert logs() == [("ERROR", FAILED.format(path=existing)
                       + f"[Errno 13] Permission denied: '{existing}'")]


def test_symbolic_link_is_written_through(et, existing):
    link = existing.parent / "link.xlsx"
    link.symlink_to(existing.name)
    assert et.write_formatted_excel(str(link), {"S": DF}) is True
    assert link.is_symlink() and read_back(existing) == read_back(link)
    assert sorted(os.listdir(existing.parent)) == ["link.xlsx", "report.xlsx"]


@pytest.mark.parametrize("name", ["report.xlsx", "report", ".hidden", "a.b.xlsm",
                                  "東京" * 40 + ".xlsx", "x" * 250 + ".xlsx"])
def test_writer_gets_a_fresh_file_beside_the_target(et, tmp_path, name):
    seen = []

    class Pd:
        DataFrame = pd.DataFrame

        def ExcelWriter(self, *args, **kwargs):
            seen.append((args, kwargs, os.path.exists(args[0]), os.path.getsize(args[0])))
            raise OSError("stop here")

    et.pd = Pd()
    path = str(tmp_path / name)
    assert et.write_formatted_excel(path, {"S": DF}) is False
    [((temp,), kwargs, existed, size)] = seen
    assert kwargs == {"engine": "openpyxl"} and existed and size == 0
    assert os.path.dirname(temp) == str(tmp_path) and temp != path
    assert os.path.splitext(temp)[1] == os.path.splitext(path)[1]
    assert len(os.fsencode(os.path.basename(temp))) <= 255
    assert os.listdir(tmp_path) == []


# --- interrupts -------------------------------------------------------------------

def formatter_interrupting(et):
    def interrupt(worksheet):
        raise KeyboardInterrupt
    et.format_excel_sheet = interrupt
    return {"S": DF, "T": DF2}


@pytest.mark.parametrize("source, line, exit_error", [
    (formatter_interrupting, 289, None),
    (lambda et: {"S": InterruptingFrame(DF)}, 272, "At least one sheet must be visible"),
    (lambda et: {"S": [{"df": InterruptingFrame(DF)}]}, 279,
     "At least one sheet must be visible"),
], ids=["formatter", "frame-to-excel", "placed-frame-to-excel"])
def test_interrupt_in_the_first_sheet_reaches_the_caller(et, existing, logs, source, line,
                                                         exit_error):
    before = existing.read_bytes()
    data = source(et)
    with no_leaked_resources():
        with pytest.raises(KeyboardInterrupt) as caught:
            et.write_formatted_excel(str(existing), data)
        context = caught.value.__context__
        assert (str(context) if context is not None else None) == exit_error
        ours = [(e.name, e.lineno) for e in traceback.extract_tb(caught.value.__traceback__)
                if e.filename == MODULE_FILE]
        assert ours == [(QUALNAME, line)]
        del caught, context
    assert logs() == []
    assert existing.read_bytes() == before
    assert os.listdir(existing.parent) == ["report.xlsx"]


class Item:
    """A placement whose get() can be made to interrupt on one key."""

    def __init__(self, interrupt_on, **values):
        self.values, self.interrupt_on = values, interrupt_on

    def get(self, key, default=None):
        if key == self.interrupt_on:
            raise KeyboardInterrupt
        return self.values.get(key, default)


class EmptyInterrupts(pd.DataFrame):
    @property
    def empty(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("data, line", [
    ({"S": [Item("df", df=DF)]}, 277),
    ({"S": [Item("startrow", df=DF)]}, 282),
    ({"S": [Item("startcol", df=DF)]}, 283),
    ({"S": [Item("index", df=DF)]}, 284),
    ({"S": EmptyInterrupts(DF)}, 271),
    ({"S": [{"df": EmptyInterrupts(DF)}]}, 278),
])
def test_interrupt_lines(et, tmp_path, data, line):
    with pytest.raises(KeyboardInterrupt) as caught:
        et.write_formatted_excel(str(tmp_path / "o.xlsx"), data)
    ours = [e.lineno for e in traceback.extract_tb(caught.value.__traceback__)
            if e.filename == MODULE_FILE]
    assert ours == [line]
    assert os.listdir(tmp_path) == []


# --- exact calls through recording fakes -------------------------------------------

class Recorded:
    """A special method on the writer's type that records being looked up."""

    def __init__(self, name, function):
        self.name, self.function = name, function

    def __get__(self, obj, owner):
        obj.events.append(("lookup", self.name))
        return types.MethodType(self.function, obj)


class Entered:
    def __init__(self, events, sheets):
        self.events, self._sheets = events, sheets

    @property
    def sheets(self):
        self.events.append("sheets")
        return self._sheets


class FakeWriter:
    def __init__(self, events, exit_result=None, exit_error=None):
        self.events, self.exit_result, self.exit_error = events, exit_result, exit_error
        self.entered = Entered(events, {})
        # An instance attribute is not what a with statement uses.
        self.__dict__["__exit__"] = lambda *a: events.append("instance exit")

    def _enter(self):
        self.events.append("enter")
        return self.entered

    def _exit(self, *exc):
        self.events.append(("exit",) + tuple(type(x).__name__ if x is not None else None
                                             for x in exc))
        if self.exit_error is not None:
            raise self.exit_error
        return self.exit_result

    __enter__ = Recorded("__enter__", _enter)
    __exit__ = Recorded("__exit__", _exit)


class FakePd:
    def __init__(self, events, **writer_options):
        self.events, self.writer_options, self.created = events, writer_options, []

    @property
    def DataFrame(self):
        self.events.append("pd.DataFrame")
        return pd.DataFrame

    def ExcelWriter(self, *args, **kwargs):
        self.events.append(("ExcelWriter", len(args), list(kwargs.items())))
        writer = FakeWriter(self.events, **self.writer_options)
        self.created.append((args, writer))
        return writer


class RecordingFrame(pd.DataFrame):
    _metadata = ["tag"]

    def to_excel(self, *args, **kwargs):
        writer = args[0]
        writer.events.append(("to_excel", self.tag, type(writer).__name__, len(args),
                              list(kwargs.items())))
        writer._sheets[kwargs["sheet_name"]] = "ws-" + kwargs["sheet_name"]


def tagged(tag, source=DF):
    result = RecordingFrame(source)
    result.tag = tag
    return result


class RecordingItem:
    def __init__(self, events, **values):
        self.events, self.values = events, values

    def get(self, *args):
        self.events.append(("get",) + args)
        return self.values.get(args[0], args[1] if len(args) > 1 else None)


def record_formatter(et, events):
    et.format_excel_sheet = lambda worksheet: events.append(("format", worksheet))


def test_exact_calls_and_order(et, tmp_path, logs):
    events = []
    et.pd = fake = FakePd(events)
    record_formatter(et, events)
    data = {
        "One": tagged("A"),
        "Two": [RecordingItem(events, df=tagged("B"), startcol=5, index=True),
                RecordingItem(events, df=None),
                RecordingItem(events, df=tagged("C"), startrow=7, unused=1)],
        "Three": "ignored",
    }
    assert et.write_formatted_excel(str(tmp_path / "out.xlsx"), data) is True
    assert logs() == []
    assert events == [
        ("ExcelWriter", 1, [("engine", "openpyxl")]),
        ("lookup", "__exit__"), ("lookup", "__enter__"), "enter",
        "pd.DataFrame",
        ("to_excel", "A", "Entered", 1, [("sheet_name", "One"), ("index", False)]),
        "sheets", "sheets", ("format", "ws-One"),
        "pd.DataFrame",
        ("get", "df"), ("get", "startrow", 0), ("get", "startcol", 0), ("get", "index", False),
        ("to_excel", "B", "Entered", 1,
         [("sheet_name", "Two"), ("startrow", 0), ("startcol", 5), ("index", True)]),
        ("get", "df"),
        ("get", "df"), ("get", "startrow", 0), ("get", "startcol", 0), ("get", "index", False),
        ("to_excel", "C", "Entered", 1,
         [("sheet_name", "Two"), ("startrow", 7), ("startcol", 0), ("index", False)]),
        "sheets", "sheets", ("format", "ws-Two"),
        "pd.DataFrame",
        "sheets",
        ("exit", None, None, None),
    ]
    [((temp,), writer)] = fake.created
    assert not os.path.exists(temp) and os.listdir(tmp_path) == ["out.xlsx"]


def test_auto_format_off_never_reads_sheets(et, tmp_path):
    events = []
    et.pd = FakePd(events)
    record_formatter(et, events)
    data = {"One": tagged("A"), "Two": [{"df": tagged("B")}]}
    assert et.write_formatted_excel(str(tmp_path / "out.xlsx"), data, auto_format=0) is True
    assert "sheets" not in events and not [e for e in events if e[0] == "format"]


@pytest.mark.parametrize("exit_result, result, expected_records", [
    (True, True, []),
    (1, True, []),
    (None, False, [("ERROR", "cannot write this frame")]),
    ("", False, [("ERROR", "cannot write this frame")]),
])
def test_exit_sees_the_exception_and_may_suppress_it(et, tmp_path, logs, exit_result, result,
                                                    expected_records):
    events = []
    et.pd = FakePd(events, exit_result=exit_result)
    path = str(tmp_path / "out.xlsx")
    assert et.write_formatted_excel(path, {"S": FailingFrame(DF), "T": DF}) is result
    assert events[-1] == ("exit", "type", "ValueError", "traceback")
    assert "pd.DataFrame" in events and events.count("pd.DataFrame") == 1
    assert logs() == [(level, FAILED.format(path=path) + text) for level, text in expected_records]
    # Whatever the writer produced replaces the target only on success.
    assert os.listdir(tmp_path) == (["out.xlsx"] if result else [])


def test_failing_exit_replaces_an_ordinary_error(et, tmp_path, logs):
    events = []
    et.pd = FakePd(events, exit_error=OSError("disk full"))
    path = str(tmp_path / "out.xlsx")
    assert et.write_formatted_excel(path, {"S": FailingFrame(DF)}) is False
    assert logs() == [("ERROR", FAILED.format(path=path) + "disk full")]
    assert os.listdir(tmp_path) == []


def test_failing_exit_does_not_swallow_an_interrupt(et, tmp_path, logs):
    events = []
    et.pd = FakePd(events, exit_error=OSError("disk full"))
    with pytest.raises(KeyboardInterrupt) as caught:
        et.write_formatted_excel(str(tmp_path / "out.xlsx"), {"S": InterruptingFrame(DF)})
    assert str(caught.value.__context__) == "disk full"
    assert logs() == [] and os.listdir(tmp_path) == []


def test_writer_without_exit_is_not_entered(et, tmp_path, logs):
    events = []

    class NoExit:
        def __enter__(self):
            events.append("enter")

    class Pd:
        DataFrame = pd.DataFrame
        ExcelWriter = staticmethod(lambda *a, **k: NoExit())

    et.pd = Pd()
    path = str(tmp_path / "out.xlsx")
    assert et.write_formatted_excel(path, {"S": DF}) is False
    assert events == [] and logs() == [("ERROR", FAILED.format(path=path) + "__exit__")]
    assert os.listdir(tmp_path) == []


def test_pd_and_formatter_are_looked_up_at_each_use(et, tmp_path):
    events = []
    et.pd = FakePd(events)
    record_formatter(et, events)
    et.write_formatted_excel(str(tmp_path / "a.xlsx"), {"S": tagged("A")})
    assert ("format", "ws-S") in events
    del et.pd
    assert et.write_formatted_excel(str(tmp_path / "b.xlsx"), {"S": DF}) is False


# --- the written workbook's memory ------------------------------------------------

TABLE = frame(n=list(range(4000)), t=[f"text {i}" for i in range(4000)], f=[i / 4 for i in range(4000)])
TABLE_CELLS = (len(TABLE) + 1) * len(TABLE.columns)

# What code running during the write keeps of the workbook, and the cells that leads to once
# the write is done (None: nothing leads to them; they must be gone at once).
HOLDS = {
    "nothing": (lambda writer: None, None),
    "the writer": (lambda writer: writer, lambda held: held.book["S"]._cells),
    "the workbook": (lambda writer: writer.book, lambda held: held["S"]._cells),
    "the sheet": (lambda writer: writer.book["S"], lambda held: held._cells),
    "a weak reference to the workbook": (lambda writer: weakref.ref(writer.book),
                                         lambda held: held()["S"]._cells),
    "a weak reference to the sheet": (lambda writer: weakref.ref(writer.book["S"]),
                                      lambda held: held()._cells),
    "one cell": (lambda writer: writer.book["S"]["B7"], lambda held: held.parent._cells),
    "the sheet's cell dict": (lambda writer: writer.book["S"]._cells, lambda held: held),
    "the sheet's row dimensions": (lambda writer: writer.book["S"].row_dimensions,
                                   lambda held: held.worksheet._cells),
    "the named styles": (lambda writer: writer.book._named_styles,
                         lambda held: held[0]._wb["S"]._cells),
    # A value a cell holds leads nowhere: the cells go, the value stays whole.
    "one cell's style array": (lambda writer: (lambda style: (style, list(style)))(
        writer.book["S"]["B7"]._style), None),
}


@pytest.mark.parametrize("hold", sorted(HOLDS))
def test_written_cells_are_freed_at_once_unless_something_still_reaches_them(et, tmp_path, hold):
    from pandas.io.excel._openpyxl import OpenpyxlWriter
    keep, cells_of = HOLDS[hold]
    held = []

    def take_hold(phase, info):
        # Code that runs during the write (here, at the collection the write asks for) takes
        # hold of a part of the workbook.
        writers = [o for o in gc.get_objects() if type(o) is OpenpyxlWriter and "S" in o.book
                   and len(o.book["S"]._cells) == TABLE_CELLS]
        if phase == "stop" and writers and not held:
            held.append(keep(writers[0]))

    # Collections only when asked for.
    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(10 ** 9)
    gc.callbacks.append(take_hold)
    try:
        assert et.write_formatted_excel(str(tmp_path / "out.xlsx"), {"S": TABLE}) is True
        gc.callbacks.remove(take_hold)
        assert len(held) == 1
        if cells_of is None:
            # Only the small rest of the workbook is left to the collector.
            assert gc.collect() < TABLE_CELLS / 4
            # The cell that held the style array is gone; the array lives on, whole.
            assert held[0] is None or list(held[0][0]) == held[0][1]
        else:
            cells = cells_of(held[0])
            assert len(cells) == TABLE_CELLS
            assert cells[(7, 2)].value == "text 5"
    finally:
        gc.set_threshold(*threshold)
        if take_hold in gc.callbacks:
            gc.callbacks.remove(take_hold)
    assert read_back(tmp_path / "out.xlsx")["S"][4000] == [3999, "text 3999", 3999 / 4]


@pytest.mark.scale
def test_sheets_deflated_on_their_own_thread_leave_nothing_behind(et, tmp_path):
    # Sheets of several 4 MB chunks, each deflated on the save's own thread:
    # no chunk, no workbook and no thread outlives the writes.
    codes = random.Random(7)
    sheet = frame(a=[f"{codes.getrandbits(64):016x}" for _ in range(60_000)],
                  b=[f"{codes.getrandbits(64):016x}" for _ in range(60_000)])
    threads = len(os.listdir("/proc/self/task"))
    gc.collect()
    books = {id(o) for o in gc.get_objects() if isinstance(o, openpyxl.Workbook)}
    tracemalloc.start()
    try:
        for _ in range(3):
            assert et.write_formatted_excel(str(tmp_path / "out.xlsx"), {"S": sheet}) is True
        gc.collect()
        large = [trace.size for trace in tracemalloc.take_snapshot().traces if trace.size >= 1 << 18]
    finally:
        tracemalloc.stop()
    assert large == []
    assert {id(o) for o in gc.get_objects() if isinstance(o, openpyxl.Workbook)} <= books
    assert len(os.listdir("/proc/self/task")) == threads


@pytest.mark.scale
def test_large_writes_one_after_another_leave_nothing_behind(et, tmp_path):
    path = str(tmp_path / "out.xlsx")

    def write():
        assert et.write_formatted_excel(path, {"S": TABLE}) is True

    def workbooks():
        gc.collect()
        return {id(o) for o in gc.get_objects() if isinstance(o, openpyxl.Workbook)}

    before = workbooks()
    # A block kept per cell would be thousands per write.
    assert allocation_growth(write, repeat=3, warm_up=2) < TABLE_CELLS / 10
    assert workbooks() <= before
