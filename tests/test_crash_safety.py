"""The writer under abrupt ends, and interrupts from inside library calls.

A process killed in the middle of write_formatted_excel must leave the
workbook that was at the path before, byte for byte; the only trace of the
killed write is its temporary file beside the target, named
".<stem>-XXXXXX<suffix>". An interrupt raised inside any read or write
reaches the caller as the very same object, after the writer has removed
its temporary file.
"""
import contextlib
import gc
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback
import warnings

import openpyxl
import pandas as pd
import pytest

from child_process import child_command, run_child

MODULE_FILE = "vorlatek/excelTools"
OLD_VALUES = [("old",), (1,), (2,), (3,)]
KILLS = 20

WRITER_CHILD = r"""
import pandas as pd
import vorlatek.excelTools as et

path, rows = sys.argv[1], int(sys.argv[2])
frame = pd.DataFrame({"code": range(rows),
                      "name": ["name %d" % i for i in range(rows)],
                      "amount": [i * 0.25 for i in range(rows)]})
sys.stdout.write("READY\n")
sys.stdout.flush()
result = et.write_formatted_excel(path, {"Big": frame, "Copy": [{"df": frame, "startcol": 4}]})
sys.stdout.write("DONE %s\n" % result)
sys.stdout.flush()
"""


def old_workbook(path):
    pd.DataFrame({"old": [1, 2, 3]}).to_excel(path, index=False)
    return path.read_bytes()


def values(path):
    workbook = openpyxl.load_workbook(path, read_only=True)
    try:
        return list(workbook.worksheets[0].iter_rows(values_only=True))
    finally:
        workbook.close()


def start_writer(path, rows):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    child = subprocess.Popen(child_command(WRITER_CHILD) + [str(path), str(rows)], cwd="/",
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline() == "READY\n"
    return child, time.monotonic()


def finish(child, timeout=120):
    out, err = child.communicate(timeout=timeout)
    return out, err


def timed_full_write(path, rows):
    child, started = start_writer(path, rows)
    out, err = finish(child)
    assert child.returncode == 0 and out == "DONE True\n", err[-2000:]
    return time.monotonic() - started


TEMP_NAME = re.compile(r"^\.report-[A-Za-z0-9]{6}\.xlsx$")


@pytest.mark.scale
def test_killed_write_keeps_the_previous_workbook(tmp_path):
    target = tmp_path / "report.xlsx"
    rows = 4_000
    # One complete write shows how long a write takes here, and that it works.
    duration = timed_full_write(tmp_path / "probe.xlsx", rows)
    assert values(tmp_path / "probe.xlsx")[:2] == [("code", "name", "amount"), (0, "name 0", 0)]
    os.remove(tmp_path / "probe.xlsx")

    before = old_workbook(target)
    seed = random.randrange(1 << 30)
    moments = random.Random(seed).sample(range(950), KILLS)
    mid_write, strays = 0, set()
    for moment in moments:
        child, started = start_writer(target, rows)
        time.sleep(max(0.0, started + duration * moment / 1000 - time.monotonic()))
        child.send_signal(signal.SIGKILL)
        out, _ = finish(child)
        if out == "DONE True\n":
            # The write won the race: the new workbook, complete, is there.
            assert values(target)[0][:3] == ("code", "name", "amount")
            target.write_bytes(before)
            continue
        assert child.returncode == -signal.SIGKILL
        if target.read_bytes() != before:
            # Killed after the rename, before the report: the new workbook,
            # complete, is in place (a fast write makes that window wide).
            assert values(target)[0][:3] == ("code", "name", "amount"), f"seed {seed}"
            target.write_bytes(before)
            continue
        mid_write += 1
        assert values(target) == OLD_VALUES
        others = set(os.listdir(tmp_path)) - {"report.xlsx"}
        assert all(TEMP_NAME.match(name) for name in others), others
        strays |= others
    print(f"\n{mid_write} of {KILLS} kills hit the write (seed {seed}, write {duration:.2f} s); "
          f"{len(strays)} temporary files left beside the target: {sorted(strays)[:3]}")


# --- interrupts from inside library calls ---------------------------------------------

@contextlib.contextmanager
def no_leaked_resources():
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


STOP = KeyboardInterrupt("stop")


def interrupt(*args, **kwargs):
    raise STOP


def pd_with(**names):
    """The real pandas with some names replaced."""
    namespace = {name: getattr(pd, name) for name in
                 ("DataFrame", "read_excel", "read_csv", "merge", "to_numeric", "ExcelWriter")}
    namespace.update(names)
    return type("PdStandIn", (), {k: staticmethod(v) if callable(v) and not isinstance(v, type)
                                  else v for k, v in namespace.items()})


def decode_then_interrupt():
    attempts = []

    def read_csv(path, header, encoding, dtype):
        attempts.append(encoding)
        if encoding == "utf-8-sig":
            raise UnicodeDecodeError("utf-8", b"\x81", 0, 1, "invalid start byte")
        raise STOP
    return read_csv, attempts


class InterruptingDrop(pd.DataFrame):
    def dropna(self, *args, **kwargs):
        raise STOP


def writer_interrupted_while_saving(path, **kwargs):
    """A real workbook writer whose save writes part of the file, then is
    interrupted: the temporary file exists, holds bytes and is open."""
    writer = pd.ExcelWriter(path, **kwargs)

    def save(handle):
        handle.write(b"PK\x03\x04 half a workbook")
        raise STOP
    writer.book.save = save
    return writer


class InterruptingEnter:
    def __init__(self, path, **kwargs):
        self.path = path

    def __enter__(self):
        assert os.path.exists(self.path)
        raise STOP

    def __exit__(self, *exc):
        return None


LEFT = pd.DataFrame({"k": [" a", "b"], "n": ["1", "2"]})
RIGHT = pd.DataFrame({"k": ["a", "b"], "n": [1, 2]})


def csv_later_attempt(et, tmp):
    read_csv, attempts = decode_then_interrupt()
    et.pd = pd_with(read_csv=read_csv)
    return lambda: et.read_csv_by_cells(str(tmp / "data.csv"), {"A": "A1"}), [90]


def width_error(width):
    return pd.errors.ParserError(
        f"Error tokenizing data. C error: Expected {width} fields in line 2, saw {width + 1}\n")


def csv_widened_read(et, tmp):
    def read_csv(path, header, encoding, dtype, names=None):
        if names is None:
            raise width_error(1)
        raise STOP
    et.pd = pd_with(read_csv=read_csv, errors=pd.errors)
    return lambda: et.read_csv_by_cells(str(tmp / "data.csv"), {"A": "A1"}), [90]


class InterruptedFile:
    """A real open file whose reading is interrupted."""

    def __init__(self, inner):
        self.inner = inner

    def read(self, size):
        raise STOP

    def close(self):
        self.inner.close()


def csv_counting_pass(et, tmp):
    # Every read reports a still wider line, so the reader counts the lines
    # itself, through the module's `open`.
    def read_csv(path, header, encoding, dtype, names=None):
        raise width_error(1 if names is None else len(names))
    et.pd = pd_with(read_csv=read_csv, errors=pd.errors)
    et.open = lambda *args, **kwargs: InterruptedFile(open(*args, **kwargs))
    return lambda: et.read_csv_by_cells(str(tmp / "data.csv"), {"A": "A1"}), [90]


def excel_drop(et, tmp):
    et.pd = pd_with(read_excel=lambda *a, **k: InterruptingDrop({"A": [1]}))
    return lambda: et.read_excel_by_cells(str(tmp / "book.xlsx"), {"A": "A1"}), [57]


def merge_join(et, tmp):
    et.pd = pd_with(merge=interrupt)
    return lambda: et.merge_exact_match(LEFT, RIGHT, ["k"], ["n"]), [185]


def merge_cleaning(et, tmp):
    et.pd = pd_with(to_numeric=interrupt)
    return lambda: et.merge_exact_match(LEFT, RIGHT, ["k"], ["n"]), None


def writer_created(et, tmp):
    et.pd = pd_with(ExcelWriter=interrupt)
    return lambda: et.write_formatted_excel(str(tmp / "report.xlsx"), {"S": LEFT}), [267]


def writer_entered(et, tmp):
    et.pd = pd_with(ExcelWriter=InterruptingEnter)
    return lambda: et.write_formatted_excel(str(tmp / "report.xlsx"), {"S": LEFT}), [267]


def writer_saving(et, tmp):
    et.pd = pd_with(ExcelWriter=writer_interrupted_while_saving)
    return lambda: et.write_formatted_excel(str(tmp / "report.xlsx"), {"S": LEFT}), [267]


def styles_while_writing(et, tmp):
    et.Font = interrupt
    return lambda: et.write_formatted_excel(str(tmp / "report.xlsx"), {"S": LEFT}), [289, 210]


def styles_alone(et, tmp):
    et.Font = interrupt
    sheet = openpyxl.Workbook().active
    sheet["A1"] = "x"
    return lambda: et.format_excel_sheet(sheet), [210]


INTERRUPTED = {
    "csv-read-after-a-decoding-error": csv_later_attempt,
    "csv-read-widened-after-a-width-error": csv_widened_read,
    "csv-lines-counted-for-the-widening": csv_counting_pass,
    "excel-drop-of-empty-rows": excel_drop,
    "merge-join": merge_join,
    "merge-number-cleaning": merge_cleaning,
    "writer-creation": writer_created,
    "writer-entry": writer_entered,
    "writer-saving": writer_saving,
    "styling-inside-the-writer": styles_while_writing,
    "styling": styles_alone,
}


@pytest.mark.parametrize("case", sorted(INTERRUPTED))
def test_interrupt_inside_a_library_call_propagates_unchanged(et, tmp_path, case):
    (tmp_path / "data.csv").write_bytes(b"a,b\n")
    old_workbook(tmp_path / "book.xlsx")
    before = old_workbook(tmp_path / "report.xlsx")
    call, lines = INTERRUPTED[case](et, tmp_path)
    with no_leaked_resources():
        with pytest.raises(KeyboardInterrupt) as caught:
            call()
        assert caught.value is STOP
        ours = [entry.lineno for entry in traceback.extract_tb(caught.value.__traceback__)
                if entry.filename == MODULE_FILE]
        assert ours == lines if lines is not None else len(ours) == 1
        STOP.__traceback__ = STOP.__context__ = None
        del caught
    # Whatever was being written, the old workbook is untouched and no
    # temporary file remains.
    assert (tmp_path / "report.xlsx").read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["book.xlsx", "data.csv", "report.xlsx"]


# --- flushing to disk -----------------------------------------------------------------
# After a crash or power loss the path must hold the complete old or the complete
# new workbook: the temporary file is flushed before the rename, the directory
# after it. The child's system calls are traced; failures are injected.

FLUSH_CHILD = r"""
import logging
import pandas as pd
import vorlatek.excelTools as et

records = []
handler = logging.Handler()
handler.emit = lambda record: records.append([record.levelname, record.getMessage()])
et.log.addHandler(handler)
path = sys.argv[1]
result = et.write_formatted_excel(path, {"New": pd.DataFrame({"new": [7, 8]})})
report({"result": result, "records": records})
"""

FLUSH_CALL = re.compile(r'^(?:\d+ +)?(fsync|fdatasync|rename\w*)\((.*)\) += (-?\d+)')
IO_ERROR = "[Errno 5] Input/output error"

# name: (strace fault injection, result, log records, workbook left at the path)
FLUSH_CASES = {
    "flushed": ([], True, [], "new"),
    "interrupted-flush-retried": (["-e", "inject=fsync:error=EINTR:when=1"], True, [], "new"),
    "file-flush-fails": (["-e", "inject=fsync:error=EIO:when=1"], False,
                         [["ERROR", "Failed to write formatted excel to {p}: "
                                    + IO_ERROR + ": '{p}'"]], "old"),
    "directory-flush-fails": (["-e", "inject=fsync:error=EIO:when=2"], True,
                              [["WARNING", "Wrote formatted excel to {p}, but could not flush "
                                           "its directory to disk: " + IO_ERROR + ": '{p}'"]],
                              "new"),
}


def traced_calls(log_path):
    calls = []
    for line in log_path.read_text().splitlines():
        match = FLUSH_CALL.match(line)
        if match:
            calls.append((match[1], match[2], int(match[3])))
    return calls


# Each case writes in a child traced by strace (some 2 s).
@pytest.mark.scale
@pytest.mark.skipif(shutil.which("strace") is None,
                    reason="strace (apt package strace) is needed to trace and fail flushes")
@pytest.mark.parametrize("case", sorted(FLUSH_CASES))
def test_workbook_is_flushed_before_and_after_the_rename(tmp_path, case):
    injection, expected_result, expected_records, left = FLUSH_CASES[case]
    target = tmp_path / "report.xlsx"
    before = old_workbook(target)
    trace = tmp_path.parent / f"{tmp_path.name}.strace"
    wrapper = ["strace", "-f", "-y", "-o", str(trace),
               "-e", "trace=fsync,fdatasync,rename,renameat,renameat2", *injection]
    code, report, err = run_child(FLUSH_CHILD, [target], wrapper=wrapper, timeout=120)
    assert code == 0 and report is not None, err[-2000:]
    assert report["result"] is expected_result
    assert report["records"] == [[level, text.format(p=target)]
                                 for level, text in expected_records]
    assert os.listdir(tmp_path) == ["report.xlsx"]
    if left == "old":
        assert target.read_bytes() == before
    else:
        assert values(target) == [("new",), (7,), (8,)]

    calls = traced_calls(trace)
    temp = re.escape(str(tmp_path)) + r"/\.report-[A-Za-z0-9]{6}\.xlsx"
    temp_flush = re.compile(r"\d+<" + temp + ">")
    renamed = re.compile(f'"{temp}", "{re.escape(str(target))}"')
    # Every flush and rename the write made, in order, with what each returned.
    shape = [(name, "temp" if temp_flush.fullmatch(args) else
              "rename" if renamed.search(args) else
              "dir" if args.endswith(f"<{tmp_path}>") else args, result)
             for name, args, result in calls]
    retried = [("fsync", "temp", -1)] if "interrupted" in case else []
    if case == "file-flush-fails":
        assert shape == [("fsync", "temp", -1)], calls
    else:
        dir_result = -1 if case == "directory-flush-fails" else 0
        assert shape == [*retried, ("fsync", "temp", 0), (calls[-2][0], "rename", 0),
                         ("fsync", "dir", dir_result)], calls


# Python code that runs while the rows are written natively (another thread,
# a garbage collection's callback, a finaliser) rebinds the values of the
# cells being written; each rebound value was the only reference to its
# text. Which value a cell's saved text shows may differ, but it is always
# one of the two, and the process survives (the sanitizer run tells a use
# after free at once).
REBINDING_CHILD = r"""
import gc, sys, threading
import pandas as pd
from openpyxl import load_workbook
from openpyxl.styles import Font
from openpyxl.utils.indexed_list import IndexedList
import vorlatek.excelTools as et

path, how, rows = sys.argv[1], sys.argv[2], int(sys.argv[3])
ADD_CODE = IndexedList.add.__code__

def old_text(i):
    return "".join(["old text of cell ", str(i), " ", "o" * (i % 40)])

def new_text(i):
    return "new %d" % i

cells = []
by_style = {}
junk = []
state = {"armed": False, "rebinds": 0}

def rebind(i):
    # The freed old text's memory is taken again at once by another text.
    cell = cells[i]
    if cell._value.startswith("old"):
        size = len(cell._value)
        cell._value = new_text(i)
        junk.append("#" * size)
        state["rebinds"] += 1

def rebind_current(add_frame):
    # The style list's add is called with the style of the cell being written.
    i = by_style.get(id(add_frame.f_locals.get("value")))
    if i is not None:
        rebind(i)

def rebind_from(frame):
    # `frame`: the innermost frame of the code that was interrupted.
    while state["armed"] and frame is not None:
        if frame.f_code is ADD_CODE:
            rebind_current(frame)
            return
        frame = frame.f_back

def formatter(ws):
    cells.clear()
    by_style.clear()
    for i in range(rows):
        # One style of its own per cell: each goes through the style list.
        cell = ws.cell(row=i + 2, column=3, value=old_text(i))
        cell.font = Font(size=8 + i / 100)
        cells.append(cell)
    for i, cell in enumerate(cells):
        by_style[id(cell._style)] = i
    state["armed"] = True

et.format_excel_sheet = formatter
done = threading.Event()
writer_thread = threading.get_ident()

def rebind_in_writer():
    rebind_from(sys._current_frames().get(writer_thread))

# The rebinding runs while the writer's thread is in the style list's add:
# from a profile hook of that thread (at every call), or from a second
# thread while the writer's thread is paused there: in that thread's own
# loop, in a callback of a collection its allocations start, or in a
# finaliser that collection runs.
if how == "profile hook":
    def profile(frame, event, arg):
        if event == "call":
            rebind_from(frame)
    def churn():
        done.wait()
elif how == "thread":
    def churn():
        rebind_in_writer()
elif how == "gc callback":
    def callback(phase, info):
        if phase == "start" and threading.get_ident() != writer_thread:
            rebind_in_writer()
    gc.callbacks.append(callback)
    def churn():
        cycle = []
        cycle.append(cycle)
elif how == "finaliser":
    class Finalised:
        def __init__(self):
            self.cycle = self
        def __del__(self):
            if threading.get_ident() != writer_thread:
                rebind_in_writer()
    def churn():
        Finalised()

def helper_loop():
    while not done.is_set():
        churn()

if how in ("gc callback", "finaliser"):
    gc.set_threshold(1)
sys.setswitchinterval(1e-6)
helper = threading.Thread(target=helper_loop)
helper.start()
try:
    # A thread switch lands in the add now and then: a few saves at most
    # until one did.
    for attempt in range(8):
        if how == "profile hook":
            sys.setprofile(profile)
        written = et.write_formatted_excel(path, {"S": pd.DataFrame({"a": [1], "b": ["x"]})})
        sys.setprofile(None)
        if state["rebinds"]:
            break
finally:
    done.set()
    helper.join()
    gc.set_threshold(700)
sheet = load_workbook(path).active
saved = [sheet.cell(row=i + 2, column=3).value for i in range(rows)]
report({"written": written, "rebinds": state["rebinds"],
        "rebound": sum(value == new_text(i) for i, value in enumerate(saved)),
        "neither": [(i, value) for i, value in enumerate(saved)
                    if value not in (old_text(i), new_text(i))][:5]})
"""


@pytest.mark.parametrize("how", ["profile hook", "thread", "gc callback", "finaliser"])
def test_values_rebound_while_rows_are_written(tmp_path, how):
    returncode, report, stderr = run_child(
        REBINDING_CHILD, [tmp_path / "out.xlsx", how, 2000 if how == "profile hook" else 5000],
        timeout=300)
    assert returncode == 0 and report is not None, stderr
    assert report["written"] is True and report["rebinds"] > 0
    assert report["neither"] == []
