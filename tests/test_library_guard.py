"""The route guard: every library piece a native route reproduces, changed the
ways a program changes one, and the module's result equal to what the
changed libraries give.

The pieces come from the guard's own list (library_check/pieces.inc). Each
code piece is replaced by a counting wrapper: plainly, with functools.wraps
(copied __module__, __qualname__, __wrapped__), inside a subclass put in the
class's place at module level, and after a first call that took the route.
The module's result and the wrapper's call count must equal those of the
plain library route under the same change: a route that ran natively past a
changed piece would skip the wrapper (fewer calls) or ignore what it does.
The digests the guard checks are also computed by scripts/library-digests.py;
its rows for the installed libraries must be in the verified table, and the
routes observed running on them (the differential tests) proves the native
digests agree.
"""
import datetime
import functools
import importlib.util
import os
import types

import openpyxl
import pandas as pd
import pytest

from excel_differential import assert_same, module_outcome, plain_outcome
from helpers import LOGGER

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "scripts", "library-digests.py")
spec = importlib.util.spec_from_file_location("library_digests", SCRIPT)
digests = importlib.util.module_from_spec(spec)
spec.loader.exec_module(digests)

PIECES = digests.read_pieces()
WRITE_ROUTES = {"cells", "save", "save_etree", "format"}


def code_pieces(routes):
    """(module, path) of the pieces of these routes that are code (or classes)."""
    seen = []
    for piece_routes, module, path, need in PIECES:
        if not set(piece_routes) & routes or (module, path) in seen:
            continue
        value = digests.resolve(module, path)
        if value is digests.MISSING or not (callable(value) or isinstance(value, (property, staticmethod, classmethod))):
            continue
        seen.append((module, path))
    return seen


def counted(function, calls, wraps):
    def replacement(*args, **kwargs):
        calls[0] += 1
        return function(*args, **kwargs)
    return functools.wraps(function)(replacement) if wraps else replacement


def replacement_for(value, calls, wraps):
    if isinstance(value, property):
        return property(*(None if f is None else counted(f, calls, wraps) for f in (value.fget, value.fset, value.fdel)))
    if isinstance(value, staticmethod):
        return staticmethod(counted(value.__func__, calls, wraps))
    if isinstance(value, classmethod):
        return classmethod(counted(value.__func__, calls, wraps))
    return counted(value, calls, wraps)


def subclass(cls, namespace):
    namespace = dict(namespace, __module__=cls.__module__, __qualname__=cls.__qualname__)
    return type(cls)(cls.__name__, (cls,), namespace)


class Changes:
    """Sets attributes of modules and classes and puts back exactly what was there."""

    def __init__(self):
        self.undo = []

    def set(self, owner, name, value):
        had = name in vars(owner)
        old = vars(owner).get(name)
        setattr(owner, name, value)
        self.undo.append((owner, name, had, old))

    def restore(self):
        for owner, name, had, old in reversed(self.undo):
            if had:
                setattr(owner, name, old)
            else:
                delattr(owner, name)
        self.undo.clear()


def change(module, path, mode, calls, changes):
    """Replaces the piece module:path as `mode` says."""
    owner = importlib.import_module(module)
    parts = path.split(".")
    value = digests.resolve(module, path)
    if isinstance(value, type):
        # A class: a subclass (with the original's names) in its place.
        changes.set(owner, parts[0], subclass(value, {}))
        return
    replacement = replacement_for(value, calls, mode != "plain")
    if len(parts) == 1:
        changes.set(owner, parts[0], replacement)
    elif mode == "subclass":
        cls = getattr(owner, parts[0])
        changes.set(owner, parts[0], subclass(cls, {parts[1]: replacement}))
    else:
        changes.set(getattr(owner, parts[0]), parts[1], replacement)


def modes_for(pieces):
    for module, path in pieces:
        value = digests.resolve(module, path)
        if isinstance(value, type):
            modes = ["subclass", "subclass-after"]
        elif "." in path:
            modes = ["plain", "wraps", "subclass", "wraps-after"]
        else:
            modes = ["plain", "wraps", "wraps-after"]
        for mode in modes:
            yield pytest.param(module, path, mode, id=f"{module}:{path}-{mode}")


# --- reading ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def read_book(tmp_path_factory):
    path = tmp_path_factory.mktemp("guard") / "kinds.xlsx"
    frame = pd.DataFrame({
        "n": [1, 2, 3], "f": [1.5, -2.25, 1e20], "t": ["a", "b b", ""],
        "d": [datetime.datetime(2024, 1, 2, 3, 4, 5), datetime.datetime(1900, 3, 1), None],
        "b": [True, False, True],
    })
    frame.to_excel(path, index=False)
    return str(path)


READ_MAPPING = {"Number": "A2", "Float": "B2", "Text": "C2", "Date": "D2", "Flag": "E2"}


@pytest.mark.parametrize("module, path, mode", list(modes_for(code_pieces({"read"}))))
def test_read_with_a_changed_piece_is_the_changed_librarys(et, read_book, module, path, mode):
    calls = [0]
    changes = Changes()
    try:
        if mode.endswith("-after"):
            module_outcome(et, read_book, READ_MAPPING)
        change(module, path, mode.replace("-after", ""), calls, changes)
        ours = module_outcome(et, read_book, READ_MAPPING)
        ours_calls, calls[0] = calls[0], 0
        plain = plain_outcome(read_book, READ_MAPPING)
        assert ours_calls == calls[0]
        assert_same(ours, plain)
    finally:
        changes.restore()
    # Put back, the pieces are verified again and the route reads natively.
    ours = module_outcome(et, read_book, READ_MAPPING)
    assert not ours.openpyxl_ran
    assert_same(ours, plain_outcome(read_book, READ_MAPPING))


def test_cast_number_kept_as_text_gives_pandas_frame(et, read_book, monkeypatch):
    reader = importlib.import_module("openpyxl.worksheet._reader")
    monkeypatch.setattr(reader, "_cast_number", lambda value: value)
    ours = module_outcome(et, read_book, {"Text": "C2", "Date": "D2"})
    assert_same(ours, plain_outcome(read_book, {"Text": "C2", "Date": "D2"}))
    assert ours.openpyxl_ran


# --- writing ----------------------------------------------------------------------

WRITE_FRAME = pd.DataFrame({
    "Code": ["A-1", "B-2", "=C3", None],
    "Amount": [1.23456, -2.5, 3.0, float("nan")],
    "Count": [1, 2, 3, 4],
    "When": pd.to_datetime(["2024-01-02 00:00", "2024-02-03 04:05", None, "1999-12-31 00:00"]),
    "Flag": [True, False, True, False],
})


def archive(path):
    from test_cells_route import archive as members
    return members(path)


def plain_library(et, changes):
    """The module's calls made through pandas' and openpyxl's own code only."""
    wrapper = types.ModuleType("pandas_wrapper")
    wrapper.__getattr__ = lambda name: getattr(pd, name)
    font = openpyxl.styles.Font
    changes.set(et, "pd", wrapper)
    changes.set(et, "Font", lambda **kwargs: font(**kwargs))


def written(et, path, calls):
    calls[0] = 0
    result = et.write_formatted_excel(str(path), {"S": WRITE_FRAME, "T": [{"df": WRITE_FRAME, "startrow": 3}]})
    return result, calls[0], archive(path) if result else None


@pytest.mark.parametrize("module, path, mode", list(modes_for(code_pieces(WRITE_ROUTES))))
def test_write_with_a_changed_piece_is_the_changed_librarys(et, tmp_path, caplog, module, path, mode):
    calls = [0]
    changes = Changes()
    try:
        if mode.endswith("-after"):
            assert written(et, tmp_path / "first.xlsx", calls)[0]
        change(module, path, mode.replace("-after", ""), calls, changes)
        ours = written(et, tmp_path / "ours.xlsx", calls)
        plain_changes = Changes()
        try:
            plain_library(et, plain_changes)
            plain = written(et, tmp_path / "plain.xlsx", calls)
        finally:
            plain_changes.restore()
    finally:
        changes.restore()
    assert ours == plain
    errors = [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelname == "ERROR"]
    assert len(errors) in (0, 2), errors


def test_illegal_characters_changed_are_honoured(et, tmp_path, monkeypatch):
    import re
    cell_module = importlib.import_module("openpyxl.cell.cell")
    # A program that also refuses tabs.
    monkeypatch.setattr(cell_module, "ILLEGAL_CHARACTERS_RE", re.compile(r"[\000-\011]|[\013-\014]|[\016-\037]"))
    frame = pd.DataFrame({"t": ["a\tb", "c"]})
    assert et.write_formatted_excel(str(tmp_path / "t.xlsx"), {"S": frame}) is False


def test_format_value_wrapped_rounds_in_the_sheet(et, tmp_path, monkeypatch):
    from pandas.io.formats.excel import ExcelFormatter
    original = ExcelFormatter._format_value

    @functools.wraps(original)
    def rounded(self, value):
        value = original(self, value)
        return round(value, 1) if isinstance(value, float) else value

    monkeypatch.setattr(ExcelFormatter, "_format_value", rounded)
    path = tmp_path / "r.xlsx"
    assert et.write_formatted_excel(str(path), {"S": pd.DataFrame({"x": [1.23456]})})
    assert openpyxl.load_workbook(path).active["A2"].value == 1.2


# --- the digests ------------------------------------------------------------------

def test_the_installed_releases_are_verified():
    """Every piece of the installed libraries has a verified digest, computed
    in Python the way the module computes it (the routes run on these
    releases, which the differential tests observe)."""
    import sys
    verified = digests.read_verified()
    minor = sys.version_info[1]
    missing = []
    for routes, module, path, need in PIECES:
        digest, note = digests.digest(module, path)
        if digest == "absent" and need == "optional":
            continue
        if (minor, f"{module}:{path}", digest) not in verified:
            missing.append((module, path, digest, note))
    assert missing == []


def test_the_modules_digests_are_the_scripts(tmp_path):
    """Each piece the module digested while the four routes verified their
    pieces (recorded through VORLATEK_PIECE_DIGESTS) has the digest the
    script computes for it, and every route's every present piece was seen."""
    import subprocess
    import sys
    record = tmp_path / "digests.txt"
    book = tmp_path / "book.xlsx"
    code = (
        "import sys, pandas as pd\n"
        "from vorlatek import excelTools as et\n"
        "frame = pd.DataFrame({'a': [1, 2], 'b': ['x', 'y']})\n"
        "assert et.write_formatted_excel(sys.argv[1], {'S': frame}) is True\n"
        "et.read_excel_by_cells(sys.argv[1], {'A': 'A2'})\n"
    )
    env = dict(os.environ, VORLATEK_PIECE_DIGESTS=str(record))
    subprocess.run([sys.executable, "-c", code, str(book)], check=True, env=env, cwd=str(tmp_path))
    seen = dict(line.split(" ") for line in record.read_text().splitlines())
    verified = digests.read_verified()
    minor = sys.version_info[1]
    lxml = getattr(openpyxl, "LXML", False)
    # Every present piece of each route the script finds verified here (a
    # route stops verifying at its first unverified piece).
    expected = set()
    for route in digests.ROUTES:
        if route == "save_etree" and lxml:
            continue
        present = [(m, p) for rs, m, p, need in PIECES if route in rs and digests.digest(m, p)[0] != "absent"]
        if all((minor, f"{m}:{p}", digests.digest(m, p)[0]) in verified for m, p in present):
            expected.update(f"{m}:{p}" for m, p in present)
    assert expected and expected <= set(seen)
    differ = {piece: (d, digests.digest(*piece.split(":", 1))[0]) for piece, d in seen.items()
              if d != (digests.digest(*piece.split(":", 1))[0] or "not-genuine")}
    assert differ == {}


def test_a_route_steps_aside_with_the_pieces_it_needs(monkeypatch, capsys):
    """The cell placement runs on the openpyxl layout the formatter's pieces
    vouch for: with one of those replaced, the script reports both routes
    stepping aside, the placement for the pieces it needs."""
    from openpyxl.worksheet.worksheet import Worksheet
    iter_cols = Worksheet.iter_cols
    monkeypatch.setattr(Worksheet, "iter_cols", lambda self, *a, **k: iter_cols(self, *a, **k))
    digests.main(["--routes"])
    report = capsys.readouterr().out.splitlines()
    assert "format     steps aside" in report
    assert "cells      steps aside" in report
    assert "    needs the format route's pieces" in report
    assert "read       native" in report


def runs_by_python():
    """The release sets each Python's tests run on: one per release-matrix
    combination (named) and one for the pinned suite (constraints/py3.N.txt)."""
    import re
    root = os.path.join(HERE, "..")
    runs = {}
    matrix = open(os.path.join(root, "scripts", "test-matrix.sh"), encoding="utf-8").read()
    for name, minor, pandas_release, openpyxl_release in re.findall(
            r'"(py3\.(\d+)-pandas([\d.]+)-openpyxl([\d.]+)\S*)', matrix):
        runs.setdefault(int(minor), {})[name] = {"pandas " + pandas_release, "openpyxl " + openpyxl_release}
    for name in os.listdir(os.path.join(root, "constraints")):
        m = re.fullmatch(r"py3\.(\d+)\.txt", name)
        if m:
            text = open(os.path.join(root, "constraints", name), encoding="utf-8").read()
            pins = dict(re.findall(r"(?m)^(pandas|openpyxl)==(\S+)$", text))
            runs.setdefault(int(m[1]), {})[name] = {f"{k} {v}" for k, v in pins.items()}
    return runs


def untested_rows(runs):
    return [row for row in digests.read_verified_rows()
            if not any(r.startswith(("et_xmlfile ", "python ")) or any(r in s for s in runs.get(row[0], {}).values())
                       for r in row[3])]


def test_every_verified_row_is_tested_on_its_python():
    """Each digest row is exercised on its Python by the pinned suite
    (constraints/py3.N.txt) or by a release-matrix combination holding one of
    the row's releases: a digest nothing tests would let a route run on code
    no differential test has seen."""
    assert untested_rows(runs_by_python()) == []


def test_every_matrix_combination_tests_a_row_no_other_run_does():
    """A combination whose rows all run elsewhere on its Python adds no code
    for the routes to reproduce, only time."""
    runs = runs_by_python()
    idle = []
    for minor, named in runs.items():
        for name in named:
            if not name.endswith(".txt"):  # a combination, not the pinned suite
                others = {**runs, minor: {n: r for n, r in named.items() if n != name}}
                if not untested_rows(others):
                    idle.append(name)
    assert idle == []


@pytest.mark.parametrize("release", ["pandas 2.0.3", "openpyxl 3.1.3"])
def test_retiring_a_release_keeps_the_rows_others_share(tmp_path, monkeypatch, release):
    (tmp_path / "verified_digests.inc").write_text(
        open(os.path.join(digests.CHECK_DIR, "verified_digests.inc"), encoding="utf-8").read())
    monkeypatch.setattr(digests, "CHECK_DIR", str(tmp_path))
    before = digests.read_verified_rows()
    digests.retire(release, 9)
    after = digests.read_verified_rows()
    assert not [row for row in after if row[0] == 9 and release in row[3]]
    # Rows of other minors and rows the release did not hold are untouched; a
    # row it shared keeps its other releases; one it held alone goes.
    untouched = [r for r in before if r[0] != 9 or release not in r[3]]
    assert all(r in after for r in untouched)
    shared = [(m, p, d, [r for r in rs if r != release]) for m, p, d, rs in before
              if m == 9 and release in rs and len(rs) > 1]
    assert shared and all(row in after for row in shared)
    assert len(after) == len(untouched) + len(shared)
    with pytest.raises(SystemExit):
        digests.retire(release, 9)


@pytest.mark.parametrize("change", ["bytecode", "constant", "default", "location"])
def test_digest_sees_what_decides_behaviour(change, tmp_path):
    """The digest changes with the code, constants and defaults; not with line
    numbers; a function from outside the libraries' folders is not genuine."""
    source = "def f(x, y=1):\n    return x + y * 2\n"
    changed = {
        "bytecode": "def f(x, y=1):\n    return x - y * 2\n",
        "constant": "def f(x, y=1):\n    return x + y * 3\n",
        "default": "def f(x, y=2):\n    return x + y * 2\n",
        "location": source,
    }[change]
    folder = str(tmp_path) + os.sep

    def digest_of(text, lines_before=0, inside=True):
        namespace = {}
        exec(compile("\n" * lines_before + text, str(tmp_path / "lib.py") if inside else "<elsewhere>", "exec"), namespace)
        try:
            return digests.fnv1a(digests.Digester([folder]).callable_piece(namespace["f"]))
        except digests.NotGenuine:
            return None

    original = digest_of(source)
    assert original is not None and digest_of(source, lines_before=7) == original
    if change == "location":
        assert digest_of(changed, inside=False) is None
    else:
        assert digest_of(changed) not in (None, original)
