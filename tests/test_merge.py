"""merge_exact_match: cleaned keys, one-to-one pairing of repeated keys,
reported failures, exact library calls, untouched inputs, references."""
import contextlib
import gc
import itertools
import logging
import math
import sys
import traceback
import warnings

import numpy as np
import pandas as pd
import pytest

PANDAS_MAJOR = int(pd.__version__.split(".")[0])
LOGGER = "vorlatek.excelTools"
FRAMES_MISSING = "One of the DataFrames is missing or empty. Cannot merge."
NO_KEYS = "No merge keys provided."
HOWS = ["inner", "left", "right", "outer"]


# ---------------------------------------------------------------- helpers

def is_missing(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def pairs(result, key_columns=("code",)):
    """The result as a sorted list of (key..., left id, right id); an absent
    side is None."""
    rows = []
    for rec in result.to_dict("records"):
        lid = None if is_missing(rec["lid"]) else int(rec["lid"])
        rid = None if is_missing(rec["rid"]) else int(rec["rid"])
        key = tuple(None if is_missing(rec[c]) else rec[c] for c in key_columns)
        rows.append(key + (lid, rid))
    return sorted(rows, key=repr)


def expected_pairs(key, m, n, how):
    """The pairing rule for one key value seen m times left and n times
    right: occurrence k pairs with occurrence k; `left`/`right`/`outer` keep
    the unpaired occurrences of their side(s)."""
    common = min(m, n)
    out = [key + (k, k) for k in range(common)]
    if how in ("left", "outer"):
        out += [key + (k, None) for k in range(common, m)]
    if how in ("right", "outer"):
        out += [key + (None, k) for k in range(common, n)]
    return out


def side_ids(counts, id_name, offset):
    """Rows for {key: count}, interleaved across keys so that row order, not
    grouping, decides the occurrence numbers. Ids are global per side; the
    k-th row of a key gets id offset + 100*index(key) + k."""
    keys = list(counts)
    rows = []
    seen = {k: 0 for k in keys}
    for turn in range(max(counts.values(), default=0)):
        for position, key in enumerate(keys):
            if turn < counts[key]:
                rows.append((key, offset + 100 * position + seen[key]))
                seen[key] += 1
    return rows


def snapshot(*objects):
    """Deep copies (frames with their dtypes, lists with their items) to
    compare the caller's objects with after a call."""
    saved = []
    for obj in objects:
        if isinstance(obj, pd.DataFrame):
            saved.append((obj, obj.copy(deep=True), list(obj.dtypes), list(obj.columns)))
        elif isinstance(obj, list):
            saved.append((obj, list(obj), None, None))
    return saved


def assert_unchanged(saved):
    for obj, copy, dtypes, columns in saved:
        if isinstance(obj, pd.DataFrame):
            assert obj.equals(copy)
            assert list(obj.dtypes) == dtypes
            assert list(obj.columns) == columns
        else:
            assert obj == copy
            assert [type(x) for x in obj] == [type(x) for x in copy]


def assert_empty_result(result):
    assert type(result) is pd.DataFrame
    assert result.shape == (0, 0)


def entry_line(exc_info):
    """Source line of the module's own traceback entry."""
    entries = [
        fs for fs in traceback.extract_tb(exc_info.tb)
        if fs.filename == "vorlatek/excelTools"
    ]
    assert len(entries) == 1
    assert entries[0].name == "vorlatek.excelTools.merge_exact_match"
    return entries[0].lineno


def frame(**columns):
    return pd.DataFrame(columns)


# ---------------------------------------------------------------- pairing rule

COUNTS = range(4)


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("m,n", list(itertools.product(COUNTS, COUNTS)))
def test_repeated_key_pairs_by_occurrence(et, how, m, n):
    # "K" repeats m times left and n times right; "B" (2 left, 1 right) keeps
    # both frames non-empty and checks that groups do not bleed together.
    left_rows = side_ids({"K": m, "B": 2}, "lid", 0)
    right_rows = side_ids({"K": n, "B": 1}, "rid", 0)
    left = pd.DataFrame(left_rows, columns=["code", "lid"])
    right = pd.DataFrame(right_rows, columns=["code", "rid"])

    result = et.merge_exact_match(left, right, ["code"], how=how)

    k_left = [lid for code, lid in left_rows if code == "K"]
    k_right = [rid for code, rid in right_rows if code == "K"]
    b_left = [lid for code, lid in left_rows if code == "B"]
    b_right = [rid for code, rid in right_rows if code == "B"]

    def by_id(rows, left_ids, right_ids):
        out = []
        for code, lo, ro in rows:
            out.append((code,
                        None if lo is None else left_ids[lo],
                        None if ro is None else right_ids[ro]))
        return out

    want = by_id(expected_pairs(("K",), m, n, how), k_left, k_right)
    want += by_id(expected_pairs(("B",), 2, 1, how), b_left, b_right)
    assert pairs(result) == sorted(want, key=repr)
    assert "MATCH_IDX" not in result.columns


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("m,n", [(3, 2), (2, 3), (1, 3), (3, 3)])
def test_pairing_on_combined_string_and_numeric_keys(et, how, m, n):
    # Rows count as the same key only when all keys agree; the numeric key
    # arrives as text on the left and as numbers on the right.
    left = pd.DataFrame({
        "s": ["a", " a", "a", "b"] * m,
        "n": ["1", "1", "2", "1"] * m,
        "lid": range(4 * m),
    })
    right = pd.DataFrame({
        "s": ["a ", "a", "b", "a"] * n,
        "n": [1, 2, 1, 1.0] * n,
        "rid": range(4 * n),
    })
    result = et.merge_exact_match(left, right, ["s"], ["n"], how)

    def occurrences(df, id_col):
        groups = {}
        for s, num, ident in zip(df["s"], df["n"], df[id_col]):
            groups.setdefault((str(s).strip(), float(str(num).strip())), []).append(ident)
        return groups

    lg = occurrences(left, "lid")
    rg = occurrences(right, "rid")
    want = []
    for key in set(lg) | set(rg):
        ls, rs = lg.get(key, []), rg.get(key, [])
        for lo, ro in expected_pairs((), len(ls), len(rs), how):
            want.append(key + (None if lo is None else ls[lo], None if ro is None else rs[ro]))
    got = []
    for rec in result.to_dict("records"):
        got.append((rec["s"], float(rec["n"]),
                    None if is_missing(rec["lid"]) else int(rec["lid"]),
                    None if is_missing(rec["rid"]) else int(rec["rid"])))
    assert sorted(got, key=repr) == sorted(want, key=repr)


def test_reordering_an_input_changes_which_rows_pair(et):
    left = frame(code=["K", "K", "K"], lid=[0, 1, 2])
    right = frame(code=["K", "K"], rid=[0, 1])
    first = et.merge_exact_match(left, right, ["code"])
    second = et.merge_exact_match(left.iloc[::-1], right, ["code"])
    assert pairs(first) == [("K", 0, 0), ("K", 1, 1)]
    assert pairs(second) == [("K", 1, 1), ("K", 2, 0)]


# ---------------------------------------------------------------- missing keys after cleaning

@pytest.mark.parametrize("how,want", [
    ("inner", [(None, 0, 0)]),
    ("left", [(None, 0, 0), (None, 1, None)]),
    ("right", [(None, 0, 0)]),
    ("outer", [(None, 0, 0), (None, 1, None)]),
])
def test_rows_with_unreadable_numeric_keys_pair_one_to_one(et, how, want):
    left = frame(code=["x", "not a number"], lid=[0, 1])
    right = frame(code=["??"], rid=[0])
    result = et.merge_exact_match(left, right, num_keys=["code"], how=how)
    assert pairs(result) == want


def test_missing_key_rows_are_numbered_within_their_other_keys(et):
    left = frame(s=["a", "a", "b", "a"], n=["1", "x", "x", "y"], lid=range(4))
    right = frame(s=["a", "b", "a", "a"], n=["z", "w", 1, "v"], rid=range(4))
    result = et.merge_exact_match(left, right, ["s"], ["n"], "outer")
    assert pairs(result, ("s", "n")) == sorted([
        ("a", 1.0, 0, 2), ("a", None, 1, 0), ("a", None, 3, 3), ("b", None, 2, 1),
    ], key=repr)


def test_numbering_with_missing_keys_stays_integer(et):
    captured = []
    real_merge = pd.merge

    class Pd:
        def __getattr__(self, name):
            return getattr(pd, name)

        def merge(self, left, right, **kw):
            captured.append((left["MATCH_IDX"].dtype, right["MATCH_IDX"].dtype))
            return real_merge(left, right, **kw)

    et.pd = Pd()
    et.merge_exact_match(frame(k=["x", "1"]), frame(k=["y", "1"]), num_keys=["k"])
    assert captured == [(np.dtype("int64"), np.dtype("int64"))]


# ---------------------------------------------------------------- key cleaning

@pytest.mark.parametrize("left_values,right_values,str_keys,num_keys,matches", [
    ([" A1 ", "B2\t"], ["A1", " B2"], ["code"], None, 2),    # blanks around codes
    ([7, 8], ["7", "8 "], ["code"], None, 2),                # int 7 vs text "7"
    ([7.0, 8.5], ["7", "8.5"], ["code"], None, 1),           # 7.0 reads "7.0"
    (["007", "1e1"], [7, 10], None, ["code"], 2),            # numeric text
    ([" 007 ", "8"], [7.0, 8], ["code"], ["code"], 2),       # text, then number
    (["abc", "7"], ["xyz", 7], None, ["code"], 2),           # no number: missing
    (["7", "8"], ["7.0", "08"], ["code"], None, 0),          # texts stay texts
], ids=["blanks", "int-vs-text", "float-text", "numeric-text", "both-lists", "non-number",
        "text-only"])
def test_key_cleaning(et, left_values, right_values, str_keys, num_keys, matches):
    left = frame(code=left_values, lid=range(len(left_values)))
    right = frame(code=right_values, rid=range(len(right_values)))
    result = et.merge_exact_match(left, right, str_keys, num_keys)
    assert len(result) == matches


def test_result_holds_cleaned_key_values_once(et):
    left = frame(code=[" A1 "], n=["007"], v=[1])
    right = frame(code=["A1"], n=[7], v=[2])
    result = et.merge_exact_match(left, right, ["code"], ["n"])
    assert list(result.columns) == ["code", "n", "v_x", "v_y"]
    assert result["code"].tolist() == ["A1"]
    assert result["n"].tolist() == [7]
    assert result["n"].dtype.kind in "iuf"


def test_name_in_both_lists_ends_numeric(et):
    left = frame(code=[" 7 "], lid=[0])
    right = frame(code=[7.0], rid=[0])
    result = et.merge_exact_match(left, right, ["code"], ["code"])
    assert pairs(result) == [(7.0, 0, 0)]
    assert result["code"].dtype.kind in "iuf"


@pytest.mark.parametrize("suffixes,names", [
    (("_x", "_y"), ["v_x", "v_y"]),
    (("_sys", "_cust"), ["v_sys", "v_cust"]),
    (("", "_r"), ["v", "v_r"]),
])
def test_suffixes_apply_to_shared_non_key_columns(et, suffixes, names):
    left = frame(code=["a"], v=[1], only_left=[2])
    right = frame(code=["a"], v=[3], only_right=[4])
    result = et.merge_exact_match(left, right, ["code"], suffixes=suffixes)
    assert list(result.columns) == ["code", names[0], "only_left", names[1], "only_right"]


def test_default_suffixes_without_argument(et):
    result = et.merge_exact_match(frame(k=["a"], v=[1]), frame(k=["a"], v=[2]), ["k"])
    assert list(result.columns) == ["k", "v_x", "v_y"]


def test_input_column_named_match_idx_is_overwritten_in_the_copy(et):
    left = frame(code=["a", "a"], MATCH_IDX=[5, 5], lid=[0, 1])
    right = frame(code=["a", "a"], rid=[0, 1])
    saved = snapshot(left, right)
    result = et.merge_exact_match(left, right, ["code"])
    assert pairs(result) == [("a", 0, 0), ("a", 1, 1)]
    assert "MATCH_IDX" not in result.columns
    assert_unchanged(saved)


def test_no_common_key_values_gives_columns_without_rows(et, caplog):
    result = et.merge_exact_match(frame(k=["a"], v=[1]), frame(k=["b"], w=[2]), ["k"])
    assert list(result.columns) == ["k", "v", "w"]
    assert len(result) == 0
    assert caplog.record_tuples == []


def test_str_keys_none_with_num_keys_and_the_reverse(et):
    left, right = frame(k=["1"], lid=[0]), frame(k=[1], rid=[0])
    assert len(et.merge_exact_match(left, right, None, ["k"])) == 1
    assert len(et.merge_exact_match(left, right, ["k"], None)) == 1


# ---------------------------------------------------------------- reported failures

def unready(name):
    """A DataFrame replacement that fails loudly when anything is read."""

    class Untouchable:
        touched = []

        def __getattribute__(self, attr):
            Untouchable.touched.append(attr)
            raise AssertionError(f"{name}.{attr} read")

        def __bool__(self):
            Untouchable.touched.append("__bool__")
            raise AssertionError(f"{name} tested")

    return Untouchable()


FULL = frame(code=["a"], v=[1])

EMPTY_INPUTS = {
    "left None": (None, FULL),
    "right None": (FULL, None),
    "left columns without rows": (frame(code=[], v=[]), FULL),
    "right rows without columns": (FULL, pd.DataFrame(index=range(3))),
    "left no rows no columns": (pd.DataFrame(), FULL),
    "both None": (None, None),
}


@pytest.mark.parametrize("left,right", EMPTY_INPUTS.values(), ids=EMPTY_INPUTS.keys())
@pytest.mark.parametrize("str_keys", [["code"], None])
def test_missing_or_empty_frames(et, caplog, left, right, str_keys):
    saved = snapshot(left, right, str_keys)
    result = et.merge_exact_match(left, right, str_keys)
    assert_empty_result(result)
    assert caplog.record_tuples == [(LOGGER, logging.WARNING, FRAMES_MISSING)]
    assert_unchanged(saved)


def test_left_none_never_touches_the_right_input(et, caplog):
    right = unready("right")
    result = et.merge_exact_match(None, right, ["code"])
    assert_empty_result(result)
    assert type(right).touched == []
    assert caplog.record_tuples == [(LOGGER, logging.WARNING, FRAMES_MISSING)]


def test_right_input_without_empty_propagates(et, caplog):
    with pytest.raises(AttributeError) as info:
        et.merge_exact_match(FULL, object(), ["code"])
    assert entry_line(info) == 143
    assert caplog.record_tuples == []


@pytest.mark.parametrize("str_keys,num_keys", [
    (None, None), ([], []), (None, []), ([], None),
])
def test_no_merge_keys(et, caplog, str_keys, num_keys):
    result = et.merge_exact_match(FULL, FULL, str_keys, num_keys)
    assert_empty_result(result)
    assert caplog.record_tuples == [(LOGGER, logging.ERROR, NO_KEYS)]


@pytest.mark.parametrize("left,right,str_keys,num_keys,message", [
    (frame(ID=["1"], Amount=[1]), frame(id=["1"], Amount=[1]), ["ID"], ["Amount"],
     "Missing merge keys. Left missing: [], Right missing: ['ID']"),
    (frame(A=[1]), frame(B=[1]), ["A"], ["B"],
     "Missing merge keys. Left missing: ['B'], Right missing: ['A']"),
    (frame(A=[1]), frame(A=[1]), ["Z"], ["Z"],
     "Missing merge keys. Left missing: ['Z', 'Z'], Right missing: ['Z', 'Z']"),
    (frame(Code=[1]), frame(Code=[1]), ["code", " Code", "Code "], None,
     "Missing merge keys. Left missing: ['code', ' Code', 'Code '], "
     "Right missing: ['code', ' Code', 'Code ']"),
    (frame(A=[1]), frame(A=[1]), None, [7, "A", 2.5],
     "Missing merge keys. Left missing: [7, 2.5], Right missing: [7, 2.5]"),
], ids=["right-lacks", "each-lacks", "both-lists", "case-and-blanks", "non-text-names"])
def test_missing_merge_keys(et, caplog, left, right, str_keys, num_keys, message):
    saved = snapshot(left, right, str_keys, num_keys)
    result = et.merge_exact_match(left, right, str_keys, num_keys)
    assert_empty_result(result)
    assert caplog.record_tuples == [(LOGGER, logging.ERROR, message)]
    assert_unchanged(saved)


def test_empty_frames_and_no_keys_log_only_the_frame_warning(et, caplog):
    result = et.merge_exact_match(pd.DataFrame(), pd.DataFrame())
    assert_empty_result(result)
    assert caplog.record_tuples == [(LOGGER, logging.WARNING, FRAMES_MISSING)]


def test_join_type_pandas_refuses_propagates_from_the_join(et, caplog):
    left = frame(code=["a"], v=[1])
    right = frame(code=["a"], w=[1])
    saved = snapshot(left, right)
    with pytest.raises(Exception) as direct:
        pd.merge(left, right, on=["code"], how="sideways")
    with pytest.raises(direct.type) as info:
        et.merge_exact_match(left, right, ["code"], how="sideways")
    assert str(info.value) == str(direct.value)
    assert entry_line(info) == 185
    assert caplog.record_tuples == []
    assert_unchanged(saved)


# ---------------------------------------------------------------- failure lines

class NoGroupby(pd.DataFrame):
    @property
    def _constructor(self):
        return NoGroupby

    def groupby(self, *args, **kwargs):
        raise RuntimeError("no grouping")


class NoCopy(pd.DataFrame):
    def copy(self, deep=True):
        raise RuntimeError("no copy")


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class Namespace:
    """Stands in for a module: only the given attributes, the rest of pandas
    behind them when `base` is given."""

    def __init__(self, base=None, **attrs):
        self._base = base
        self.__dict__.update(attrs)

    def __getattr__(self, name):
        if self._base is None:
            raise AttributeError(name)
        return getattr(self._base, name)


def failing_after(count, real):
    calls = []

    def fn(*args, **kwargs):
        calls.append(args)
        if len(calls) > count:
            raise RuntimeError("refused")
        return real(*args, **kwargs)

    return fn


def test_failure_lines(et):
    ok = frame(k=["1"], v=[1])

    def line_of(call):
        with pytest.raises(Exception) as info:
            call()
        return entry_line(info)

    # copies
    assert line_of(lambda: et.merge_exact_match(NoCopy(ok), ok, ["k"])) == 156
    assert line_of(lambda: et.merge_exact_match(ok, NoCopy(ok), ["k"])) == 157
    # key tests: a name that cannot be a label
    assert line_of(lambda: et.merge_exact_match(ok, ok, [["k"]])) == 161
    assert line_of(lambda: et.merge_exact_match(ok, ok, None, [{}])) == 168
    # text cleaning of a value without a text form, left then right
    bad = frame(k=[Unprintable()], v=[1])
    assert line_of(lambda: et.merge_exact_match(bad, ok, ["k"])) == 162
    assert line_of(lambda: et.merge_exact_match(ok, bad, ["k"])) == 164
    # numeric cleaning, left then right
    et.pd = Namespace(pd, to_numeric=failing_after(0, pd.to_numeric))
    assert line_of(lambda: et.merge_exact_match(ok, ok, None, ["k"])) == 169
    et.pd = Namespace(pd, to_numeric=failing_after(1, pd.to_numeric))
    assert line_of(lambda: et.merge_exact_match(ok, ok, None, ["k"])) == 171
    et.pd = pd
    # numbering, left then right
    assert line_of(lambda: et.merge_exact_match(NoGroupby(ok), ok, ["k"])) == 181
    assert line_of(lambda: et.merge_exact_match(ok, NoGroupby(ok), ["k"])) == 182
    # the join and the removal of the occurrence column
    et.pd = Namespace(pd, merge=lambda *a, **k: object())
    assert line_of(lambda: et.merge_exact_match(ok, ok, ["k"])) == 194

    class NoDrop:
        columns = pd.Index(["k", "MATCH_IDX"])

        def drop(self, **kwargs):
            raise RuntimeError("no drop")

    et.pd = Namespace(pd, merge=lambda *a, **k: NoDrop())
    assert line_of(lambda: et.merge_exact_match(ok, ok, ["k"])) == 195
    et.pd = Namespace(pd, merge=None)
    assert line_of(lambda: et.merge_exact_match(ok, ok, ["k"])) == 185
    # the empty results and the log records
    et.pd = Namespace()
    assert line_of(lambda: et.merge_exact_match(None, ok, ["k"])) == 145
    assert line_of(lambda: et.merge_exact_match(ok, ok)) == 153
    assert line_of(lambda: et.merge_exact_match(ok, ok, ["zz"])) == 178
    et.pd = pd
    et.log = Namespace()
    assert line_of(lambda: et.merge_exact_match(None, ok, ["k"])) == 144
    assert line_of(lambda: et.merge_exact_match(ok, ok)) == 152
    assert line_of(lambda: et.merge_exact_match(ok, ok, ["zz"])) == 177


def test_unprintable_missing_key_fails_at_the_message(et):
    class Key:
        def __repr__(self):
            raise RuntimeError("no repr")

    with pytest.raises(RuntimeError, match="no repr") as info:
        et.merge_exact_match(frame(k=[1]), frame(k=[1]), [Key()])
    assert entry_line(info) == 177


def test_log_and_pd_are_looked_up_at_each_call(et, caplog):
    records = []
    et.log = Namespace(warning=lambda m: records.append(("w", m)),
                       error=lambda m: records.append(("e", m)))
    et.pd = Namespace(pd, DataFrame=lambda: "the empty result")
    assert et.merge_exact_match(None, None) == "the empty result"
    assert et.merge_exact_match(FULL, FULL) == "the empty result"
    assert records == [("w", FRAMES_MISSING), ("e", NO_KEYS)]
    assert caplog.record_tuples == []


# ---------------------------------------------------------------- exact library calls

class RecordingPd:
    """Over the module's `pd`: records merge, to_numeric and DataFrame calls
    with their keyword order and forwards to pandas."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return getattr(pd, name)

    def merge(self, *args, **kwargs):
        self.calls.append(("merge", args, list(kwargs.items())))
        return pd.merge(*args, **kwargs)

    def to_numeric(self, *args, **kwargs):
        self.calls.append(("to_numeric", args, list(kwargs.items())))
        return pd.to_numeric(*args, **kwargs)

    def DataFrame(self, *args, **kwargs):
        self.calls.append(("DataFrame", args, list(kwargs.items())))
        return pd.DataFrame(*args, **kwargs)


class RecordingSeries(pd.Series):
    calls = []

    @property
    def _constructor(self):
        return RecordingSeries

    @property
    def _constructor_expanddim(self):
        return RecordingFrame

    def astype(self, *args, **kwargs):
        RecordingSeries.calls.append(("astype", args, list(kwargs.items())))
        return super().astype(*args, **kwargs)


class RecordingFrame(pd.DataFrame):
    calls = []

    @property
    def _constructor(self):
        return RecordingFrame

    @property
    def _constructor_sliced(self):
        return RecordingSeries

    def copy(self, *args, **kwargs):
        RecordingFrame.calls.append(("copy", args, list(kwargs.items())))
        return super().copy(*args, **kwargs)

    def groupby(self, *args, **kwargs):
        RecordingFrame.calls.append(("groupby", args, list(kwargs.items())))
        return super().groupby(*args, **kwargs)

    def drop(self, *args, **kwargs):
        RecordingFrame.calls.append(("drop", args, list(kwargs.items())))
        return super().drop(*args, **kwargs)


@pytest.fixture
def recording(et):
    fake = RecordingPd()
    et.pd = fake
    RecordingFrame.calls = []
    RecordingSeries.calls = []
    yield fake


def test_library_calls_of_a_successful_merge(et, recording):
    left = RecordingFrame({"s": [" a"], "n": ["1"], "v": [1]})
    right = RecordingFrame({"s": ["a"], "n": [1], "v": [2]})
    str_keys, num_keys, suffixes = ["s"], ["n"], ("_l", "_r")
    how = "".join(["le", "ft"])  # a text that is equal to, not the same as, "left"
    et.merge_exact_match(left, right, str_keys, num_keys, how, suffixes)

    names = [c[0] for c in recording.calls]
    assert names == ["to_numeric", "to_numeric", "merge"]
    for _, args, kwargs in recording.calls[:2]:
        assert len(args) == 1 and isinstance(args[0], pd.Series)
        assert kwargs == [("errors", "coerce")]
    _, args, kwargs = recording.calls[2]
    assert len(args) == 2 and args[0] is not left and args[1] is not right
    assert [k for k, _ in kwargs] == ["on", "how", "suffixes"]
    on = kwargs[0][1]
    assert on == ["s", "n", "MATCH_IDX"]
    assert on is not str_keys and on is not num_keys
    assert kwargs[1][1] is how
    assert kwargs[2][1] is suffixes

    assert RecordingSeries.calls == [("astype", (str,), []), ("astype", (str,), [])]
    frame_calls = RecordingFrame.calls
    assert frame_calls[:2] == [("copy", (), []), ("copy", (), [])]
    groupings = [c for c in frame_calls if c[0] == "groupby"]
    assert len(groupings) == 2
    for _, args, kwargs in groupings:
        assert args == (["s", "n"],) and kwargs == [("dropna", False)]
    # (the join itself may drop columns of its own, positionally)
    assert [c for c in frame_calls if c[0] == "drop" and not c[1]] == [
        ("drop", (), [("columns", ["MATCH_IDX"])])
    ]
    assert str_keys == ["s"] and num_keys == ["n"]


def test_repeated_key_names_go_twice_to_grouping_and_join(et, recording):
    left = RecordingFrame({"k": ["1", "1"], "lid": [0, 1]})
    right = RecordingFrame({"k": [1, 1], "rid": [0, 1]})
    result = et.merge_exact_match(left, right, ["k"], ["k"])
    groupings = [c for c in RecordingFrame.calls if c[0] == "groupby"]
    assert all(args == (["k", "k"],) for _, args, _ in groupings)
    assert recording.calls[-1][2][0] == ("on", ["k", "k", "MATCH_IDX"])
    assert len(recording.calls) == 3  # to_numeric left, right, merge
    assert pairs(result, ("k",)) == [(1, 0, 0), (1, 1, 1)]


@pytest.mark.parametrize("left_columns,right_columns,message", [
    (["n"], ["m"], "Missing merge keys. Left missing: [], Right missing: ['n']"),
    (["m"], ["n"], "Missing merge keys. Left missing: ['n'], Right missing: []"),
])
def test_numeric_key_cleaned_on_the_side_that_has_it_before_missing_report(
        et, recording, caplog, left_columns, right_columns, message):
    left = RecordingFrame({name: ["1"] for name in left_columns})
    right = RecordingFrame({name: ["2"] for name in right_columns})
    result = et.merge_exact_match(left, right, None, ["n"])
    assert [c[0] for c in recording.calls] == ["to_numeric", "DataFrame"]
    assert recording.calls[0][1][0].tolist() == ["1" if "n" in left_columns else "2"]
    assert recording.calls[1][1:] == ((), [])
    assert_empty_result(result)
    assert caplog.record_tuples == [(LOGGER, logging.ERROR, message)]


@pytest.mark.parametrize("left,right,keys", [
    (None, FULL, ["code"]),
    (FULL, FULL, None),
    (FULL, FULL, ["nope"]),
])
def test_empty_result_is_a_new_frame_from_pd(et, recording, left, right, keys):
    first = et.merge_exact_match(left, right, keys)
    second = et.merge_exact_match(left, right, keys)
    assert first is not second
    assert recording.calls[-1] == ("DataFrame", (), [])


# ---------------------------------------------------------------- inputs unchanged

def unchanged_cases():
    base_left = frame(s=[" a", "b ", "a"], n=["1", "x", "1"], MATCH_IDX=[9, 9, 9], v=[1, 2, 3])
    base_right = frame(s=["a", "b", "a"], n=[1.0, 2.0, 1.0], v=[4, 5, 6])
    return {
        "success": (base_left, base_right, ["s"], ["n"], "outer"),
        "name in both lists": (base_left, base_right, ["n"], ["n"], "inner"),
        "missing key": (base_left, base_right, ["s", "zz"], ["n"], "inner"),
        "refused join type": (base_left, base_right, ["s"], ["n"], "sideways"),
        "no keys": (base_left, base_right, [], [], "inner"),
        "empty right": (base_left, pd.DataFrame({"s": []}), ["s"], None, "inner"),
    }


@pytest.mark.parametrize("case", unchanged_cases().values(), ids=unchanged_cases().keys())
def test_inputs_unchanged_on_every_path(et, case):
    left, right, str_keys, num_keys, how = case
    saved = snapshot(left, right, str_keys, num_keys)
    try:
        et.merge_exact_match(left, right, str_keys, num_keys, how)
    except Exception:  # whatever pandas raises for the refused join type
        assert how == "sideways"
    assert_unchanged(saved)


# Missing text keys follow what astype(str) does in the pandas in use: up to
# pandas 2 None and NaN become the texts "None" and "nan" (so NaN pairs with a
# literal "nan" and not with None); pandas 3 keeps them missing, so they pair
# with each other by occurrence and "nan" pairs only with "nan".
MISSING_TEXT_KEY_PAIRS = (
    {("a", 1, 5), ("None", 2, 7), ("nan", 3, 6), ("nan", 4, None)} if PANDAS_MAJOR < 3 else
    {("a", 1, 5), (None, 2, 7), (None, 3, None), ("nan", 4, 6)})


def test_missing_text_keys_pair_as_the_pandas_in_use_converts_them(et):
    left = pd.DataFrame({"k": ["a", None, np.nan, "nan"], "v": [1, 2, 3, 4]}, dtype=object)
    right = pd.DataFrame({"k": ["a", "nan", None], "w": [5, 6, 7]}, dtype=object)
    result = et.merge_exact_match(left, right, ["k"], [], "outer")
    pairs = {tuple(None if is_missing(v) else v for v in row)
             for row in result[["k", "v", "w"]].itertuples(index=False, name=None)}
    assert pairs == MISSING_TEXT_KEY_PAIRS


# ---------------------------------------------------------------- pandas warnings

# pandas 3 always copies on write and deprecates the option that chose it, so
# there the merge runs once as it is; earlier releases run it both ways.
COPY_ON_WRITE_MODES = [False, True] if PANDAS_MAJOR < 3 else ["always"]


@pytest.mark.parametrize("copy_on_write", COPY_ON_WRITE_MODES)
def test_merge_raises_no_pandas_warnings(et, copy_on_write):
    left = frame(s=[" a", "a"], n=["1", "x"], v=[1, 2])
    right = frame(s=["a", "a"], n=[1, "y"], v=[3, 4])
    mode = (contextlib.nullcontext() if copy_on_write == "always"
            else pd.option_context("mode.copy_on_write", copy_on_write))
    with mode:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            result = et.merge_exact_match(left, right, ["s"], ["n"], "outer")
    assert len(result) == 2


# ---------------------------------------------------------------- references

@pytest.mark.scale
def test_no_reference_leaks(et, caplog):
    caplog.set_level(logging.CRITICAL + 1, logger=LOGGER)

    def run():
        # Fresh inputs each round: pandas keeps weak references to the views
        # taken of an input's index and clears them only now and then, which
        # would show as a sawtooth of blocks unrelated to this module.
        left = frame(s=[" a", "a", "b"], n=["1", "1", "x"], v=[1, 2, 3])
        right = frame(s=["a", "a"], n=[1, 1], w=[4, 5])
        et.merge_exact_match(left, right, ["s"], ["n"], "left")
        et.merge_exact_match(None, right, ["s"])
        et.merge_exact_match(left, right)
        et.merge_exact_match(left, right, ["s", "zz"], ["n"])
        try:
            et.merge_exact_match(left, right, ["s"], how="sideways")
        except Exception:
            pass

    for _ in range(100):
        run()
    # 2,000 calls in four windows of 500. A leak grows with every call, so it
    # shows in every window (at least 100 blocks for one block per call on
    # any one path); the interpreter's and pandas' own warm-up growth fades
    # and stays small in at least one of them.
    growths = []
    for _ in range(4):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(100):
            run()
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
    assert min(growths) < 50, growths
