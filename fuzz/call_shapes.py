"""Every function, called in fuzzer-chosen shapes, against fuzzer-driven fakes.

The fuzzer chooses the function, the calling route (plain, partial, bound
method, or native vectorcall and PyObject_Call through ctypes, which allows
repeated and non-text keyword names), the positional and keyword arguments
(values of every kind, among them objects whose __bool__, __str__ or __index__
raise and objects that change the caller's containers while the call runs),
and what each library name of the module does: `os`, `pd`, `log` and the rest
are rebound to fakes whose every answer (a value, another fake, an exception)
comes from the fuzzer's bytes. No library touches a file; the writer's own
temporary file lives in a scratch folder.

A call must return or raise an Exception (never SystemError) that carries the
called function's traceback entry, unless it is an argument type-test failure;
binding errors keep their fixed messages; log records are one finished text.
"""
import ctypes
import functools
import math
import os
import pathlib
import re
from collections import OrderedDict

import atheris
import pandas

import vorlatek.excelTools as et

from common import expect, run, scratch_folder, shaped_text

FUNCTIONS = {
    "parse_cell": ("cell_str",),
    "read_excel_by_cells": ("file_path", "cell_mapping"),
    "col_str_to_index": ("col_str",),
    "read_csv_by_cells": ("file_path", "cell_mapping"),
    "merge_exact_match": ("df_left", "df_right", "str_keys", "num_keys", "how", "suffixes"),
    "format_excel_sheet": ("worksheet",),
    "write_formatted_excel": ("file_path", "sheets_data", "auto_format"),
}
GENUINE = {name: getattr(et, name) for name in FUNCTIONS}
NAMESPACE = et.__dict__
SAVED_NAMESPACE = dict(NAMESPACE)
REBINDABLE = ("os", "re", "pd", "log", "Font", "PatternFill", "Alignment", "Border", "Side",
              "get_column_letter", *FUNCTIONS)
SCRATCH = scratch_folder("calls")
ALL_PARAMETERS = sorted({p for params in FUNCTIONS.values() for p in params})

BINDING_ERRORS = [re.compile(pattern, re.DOTALL) for pattern in (
    r"\w+\(\) takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)",
    r"\w+\(\) keywords must be strings",
    r"\w+\(\) got an unexpected keyword argument '.*'",
    r"\w+\(\) got multiple values for keyword argument '.*'",
)]
TYPE_TEST_ERROR = re.compile(r"Argument '\w+' has incorrect type \(expected (str|dict|list|tuple), "
                             r"got [\w.]+\)")


class Script:
    """Turns the fuzzer's bytes into decisions; 0 is always the ordinary one.

    Once the bytes run out every decision is 0, and a budget keeps a call
    from running long on fakes that keep answering with fakes."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.budget = 300
        self.containers = []  # what Meddler objects may change mid-call

    def choose(self, count):
        if self.budget <= 0:
            return 0
        self.budget -= 1
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def text(self):
        return shaped_text(self.fdp, 12)


script = None


class FakeError(Exception):
    """Raised by a fake library on the fuzzer's say-so."""


class Boom(Exception):
    """Raised by an argument's own __bool__, __str__, __index__..."""


def answer(what):
    """A fake operation's result: another fake, a value, None or FakeError."""
    choice = script.choose(6)
    if choice == 1:
        raise FakeError(what)
    if choice == 2:
        return None
    if choice == 3:
        return value(1)
    return Fake(what)


def truth(what):
    choice = script.choose(3)
    if choice == 2:
        raise FakeError(what)
    return choice == 1


class Fake:
    """Any library object: what each operation on it gives is the fuzzer's choice."""

    def __init__(self, what):
        object.__setattr__(self, "_what", what)

    def __getattr__(self, name):
        return answer(name)

    def __setattr__(self, name, value):
        if script.choose(4) == 1:
            raise FakeError("set " + name)

    def __call__(self, *args, **kwargs):
        return answer("call")

    def __getitem__(self, key):
        return answer("item")

    def __setitem__(self, key, item):
        if script.choose(4) == 1:
            raise FakeError("set item")

    def __iter__(self):
        for _ in range(script.choose(4)):
            yield answer("element")

    def __len__(self):
        if script.choose(4) == 1:
            raise FakeError("len")
        return script.choose(4)

    def __bool__(self):
        return truth("bool")

    def __contains__(self, item):
        return truth("contains")

    def __instancecheck__(self, instance):
        return truth("isinstance")

    def __enter__(self):
        return answer("enter")

    def __exit__(self, *exc_info):
        return truth("exit")

    def __str__(self):
        if script.choose(4) == 1:
            raise FakeError("str")
        return "fake " + self._what

    def __format__(self, format_text):
        return str(self)

    def __index__(self):
        if script.choose(4) == 1:
            raise FakeError("index")
        return script.choose(3)


class FakePandas(Fake):
    """pandas whose readers and writer are always fakes; the in-memory pieces the
    merge and the writer's type test use are genuine unless the fuzzer says otherwise."""

    def __getattr__(self, name):
        if name in ("DataFrame", "merge", "to_numeric") and script.choose(3) == 0:
            return getattr(pandas, name)
        return answer(name)


class FakeLog(Fake):
    def _record(self, *args, **kwargs):
        expect(len(args) == 1 and not kwargs and type(args[0]) is str, "log record", args, kwargs)
        return answer("record")

    warning = error = _record


class Raising:
    """An argument whose every conversion raises."""

    def __bool__(self):
        raise Boom("bool")

    def __str__(self):
        raise Boom("str")

    def __index__(self):
        raise Boom("index")

    def __len__(self):
        raise Boom("len")

    def __hash__(self):
        raise Boom("hash")

    def __eq__(self, other):
        raise Boom("eq")

    def __iter__(self):
        raise Boom("iter")


class Reentrant:
    """Calls back into the module while being converted."""

    def __str__(self):
        GENUINE["col_str_to_index"]("AB")
        return str(GENUINE["parse_cell"]("F3")[0]) + "3"

    def __bool__(self):
        return GENUINE["parse_cell"]("A1")[1] == 1


class Meddler:
    """Changes one of the call's own containers (the mapping being walked, a
    placement list, a key list) whenever it is converted or asked for anything."""

    def _meddle(self):
        if not script.containers:
            return
        target = script.containers[script.choose(len(script.containers))]
        how = script.choose(3)
        if isinstance(target, dict):
            if how == 0:
                target.clear()
            elif how == 1 and target:
                target.pop(next(iter(target)))
            else:
                target[script.text()] = "B2"
        else:
            if how == 0:
                target.clear()
            elif how == 1 and target:
                target.pop()
            else:
                target.append(script.text())

    def __str__(self):
        self._meddle()
        return "C4"

    def __bool__(self):
        self._meddle()
        return True

    def __getattr__(self, name):
        self._meddle()
        return answer(name)


class Text(str):
    pass


class Mapping(dict):
    pass


def small_frame():
    columns = [script.fdp.PickValueInList(["a", "b", "k", "MATCH_IDX", "a_x"])
               for _ in range(script.choose(4))]
    rows = script.choose(4)
    data = {}
    for column in columns:
        data[column] = [value(2) for _ in range(rows)]
    try:
        return pandas.DataFrame(data)
    except Exception:
        return pandas.DataFrame()


def container(make, depth):
    made = make(value(depth + 1) for _ in range(script.choose(4)))
    script.containers.append(made)
    return made


def mapping(depth):
    made = {}
    for _ in range(script.choose(5)):
        key = script.text() if script.choose(4) else value(depth + 1)
        try:
            made[key] = value(depth + 1)
        except Exception:  # an unhashable key
            pass
    script.containers.append(made)
    return made


def placements(depth):
    made = [{"df": small_frame() if script.choose(3) else value(depth + 1),
             "startrow": value(depth + 1), "startcol": value(depth + 1), "index": value(depth + 1)}
            for _ in range(script.choose(3))]
    script.containers.append(made)
    return made


def value(depth=0):
    """An argument, or a fake's answer, of any kind."""
    choice = script.choose(26)
    if depth > 2 and choice > 16:
        choice = 0
    makers = [
        lambda: script.text(),
        lambda: None, lambda: True, lambda: False, lambda: 0, lambda: -1,
        lambda: 2 ** 70, lambda: 3.5, lambda: math.nan,
        lambda: Text(script.text()),
        lambda: script.text().encode("utf-8", "surrogatepass"),
        lambda: pathlib.PurePosixPath("x.csv"),
        lambda: Raising(), lambda: Reentrant(), lambda: Meddler(),
        lambda: Fake("argument"), lambda: ("_x", "_y"),
        lambda: container(list, depth), lambda: container(tuple, depth),
        lambda: mapping(depth), lambda: Mapping(mapping(depth)),
        lambda: OrderedDict(mapping(depth)), lambda: small_frame(),
        lambda: placements(depth),
        lambda: {script.text(): small_frame(), script.text(): placements(depth + 1)},
        lambda: [script.text() for _ in range(script.choose(3))],
    ]
    return makers[choice]()


# --- calling routes --------------------------------------------------------------

pythonapi = ctypes.pythonapi
pythonapi.PyObject_Vectorcall.restype = ctypes.py_object
pythonapi.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                          ctypes.c_void_p]
pythonapi.PyObject_Call.restype = ctypes.py_object
pythonapi.PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
ARGUMENTS_OFFSET = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)


def native_vectorcall(function, args, keywords):
    """As a native caller would: keyword names in a tuple, repeats and all;
    sometimes with the slot before the arguments free for the callee to use."""
    values = [None, *args, *(item for _, item in keywords)]
    array = (ctypes.py_object * len(values))(*values)
    start = ctypes.addressof(array) + ctypes.sizeof(ctypes.py_object)
    kwnames = tuple(name for name, _ in keywords)
    nargsf = len(args) | (ARGUMENTS_OFFSET if script.choose(2) else 0)
    names_pointer = id(kwnames) if kwnames or script.choose(2) else None
    return pythonapi.PyObject_Vectorcall(function, start, nargsf, names_pointer)


def native_call(function, args, keywords):
    """PyObject_Call with a keyword dict that may hold keys of any type."""
    kwargs = dict(keywords)
    return pythonapi.PyObject_Call(function, tuple(args), id(kwargs) if kwargs else None)


def plain_call(function, args, keywords):
    return function(*args, **dict(keywords))


def partial_call(function, args, keywords):
    split = script.choose(len(args) + 1)
    return functools.partial(function, *args[:split])(*args[split:], **dict(keywords))


def method_call(function, args, keywords):
    holder = type("Holder", (), {"function": function})()
    return holder.function(*args, **dict(keywords))


ROUTES = [plain_call, native_vectorcall, native_call, partial_call, method_call]


# --- one input -------------------------------------------------------------------

def rebind_names():
    for name in REBINDABLE:
        choice = script.choose(5)
        if choice == 1:
            NAMESPACE[name] = Fake(name)
        elif choice == 2:
            del NAMESPACE[name]
        elif choice == 3:
            NAMESPACE[name] = None
        elif name == "os":
            NAMESPACE[name] = Fake("os")
        elif name == "pd":
            NAMESPACE[name] = FakePandas("pd")
        elif name == "log":
            NAMESPACE[name] = FakeLog("log")


def safe_path(item):
    """The writer writes beside its file_path: keep every kind of path inside the scratch folder.

    Texts (and their subclasses), bytes and path objects all name files to the
    writer; each keeps its kind, so the call still meets the same shapes.
    """
    if isinstance(item, bytes):
        return os.fsencode(safe_path(os.fsdecode(item)))
    if isinstance(item, os.PathLike):
        return type(item)(safe_path(os.fspath(item)))
    if not isinstance(item, str):
        return item
    name = str(item).replace("/", "_").replace("\x00", "")
    return type(item)(os.path.join(SCRATCH, name if name.strip(".") else "out.xlsx"))


def keyword_name(params):
    choice = script.choose(8)
    if choice < 3 and params:
        return params[script.choose(len(params))]
    if choice == 3:
        return ALL_PARAMETERS[script.choose(len(ALL_PARAMETERS))]
    if choice == 4:
        return Text(params[0]) if params else Text("x")
    if choice == 5:
        return script.text()
    return [1, None, b"file_path", ("cell_str",)][script.choose(4)] if choice == 6 else "cell"


def check_exception(name, exc, route):
    chain, seen = [], exc
    while seen is not None and len(chain) < 20:
        chain.append(seen)
        seen = seen.__cause__ or seen.__context__
    expect(isinstance(exc, Exception), "not an Exception", repr(exc))
    expect(not any(isinstance(link, SystemError) for link in chain), "SystemError", repr(chain))
    message = str(exc) if type(exc) is TypeError else ""
    if TYPE_TEST_ERROR.match(message):
        return  # refused before the body, without an entry of the module's own
    if message == "keywords must be strings" and route is native_call:
        return  # the interpreter refuses the dict before the function sees it
    if message.startswith(name + "()"):
        expect(any(p.fullmatch(message) for p in BINDING_ERRORS), "binding message", message)
    module_entries = [code for code in entries(exc) if code.co_filename == "vorlatek/excelTools"]
    expect(module_entries, "no traceback entry", repr(exc))
    expect(module_entries[0].co_name == "vorlatek.excelTools." + name, "first entry",
           module_entries[0].co_name, name)


def entries(exc):
    tb, codes = exc.__traceback__, []
    while tb is not None:
        codes.append(tb.tb_frame.f_code)
        tb = tb.tb_next
    return codes


def test_one_input(data):
    global script
    script = Script(atheris.FuzzedDataProvider(data))
    name = list(FUNCTIONS)[script.choose(len(FUNCTIONS))]
    params = FUNCTIONS[name]
    route = ROUTES[script.choose(len(ROUTES))]
    args = [value() for _ in range(script.choose(8))]
    keywords = [(keyword_name(params), value()) for _ in range(script.choose(4))]
    if route not in (native_vectorcall, native_call):
        keywords = [(key, item) for key, item in keywords if type(key) in (str, Text)]
    if name == "write_formatted_excel":
        args = [safe_path(item) for item in args]
        keywords = [(key, safe_path(item)) for key, item in keywords]
    rebind_names()
    try:
        result = route(GENUINE[name], args, keywords)
    except Exception as exc:
        check_exception(name, exc, route)
    else:
        if name == "write_formatted_excel":
            expect(result is True or result is False, "writer result", repr(result))
        if name == "format_excel_sheet":
            expect(result is None, "formatter result", repr(result))
    finally:
        NAMESPACE.clear()
        NAMESPACE.update(SAVED_NAMESPACE)
        for leftover in os.listdir(SCRATCH):
            os.unlink(os.path.join(SCRATCH, leftover))


if __name__ == "__main__":
    run(test_one_input)
