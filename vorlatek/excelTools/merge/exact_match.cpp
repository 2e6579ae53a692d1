// merge_exact_match: joins two DataFrames on cleaned key columns and pairs
// rows whose keys repeat one-to-one by occurrence (the k-th left row carrying
// a key combination with the k-th right row carrying it) instead of forming
// the many-to-many product of an ordinary join.
//
// All cleaning and numbering happen on deep copies, so the caller's frames and
// key lists are never changed. Unusable input (a missing or empty frame, no
// keys, a key absent from a side) is logged and answered with an empty
// DataFrame; everything else pandas or the interpreter raises propagates.
#include <Python.h>

#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "exact_match.hpp"

namespace xt {

namespace {

// pd.DataFrame(): the empty result, no rows and no columns.
Ref empty_frame()
{
    Ref pd = lookup_global(names.pd);
    Ref constructor = get_attr(pd.get(), names.DataFrame);
    return call(constructor.get(), {});
}

// df[key] = value, made the way the interpreter makes it: while the
// assignment runs, the statement's evaluation stack holds one more reference
// to the frame besides the variable. pandas reads the frame's reference count
// in __setitem__ to detect chained assignment, so without that reference an
// ordinary column assignment would be reported as a chained one.
void assign_column(PyObject* df, PyObject* key, PyObject* value)
{
    Ref on_stack = Ref::borrow(df);
    set_item(on_stack.get(), key, value);
}

// `frame is None or frame.empty`
bool missing_or_empty(PyObject* frame)
{
    if (frame == Py_None) {
        return true;
    }
    Ref empty = get_attr(frame, names.empty);
    return is_true(empty.get());
}

// `key in df.columns`: labels are compared exactly, so a name that differs
// from a label by case or surrounding blanks is not found.
bool has_column(PyObject* df, PyObject* key)
{
    Ref columns = get_attr(df, names.columns);
    return contains(columns.get(), key);
}

// df[key] = df[key].astype(str).str.strip(): every value, a missing one
// included, becomes its text form without surrounding whitespace.
void clean_text_key(PyObject* df, PyObject* key)
{
    // Each intermediate is let go as soon as the next one exists, as in the
    // expression, so no view of the frame is alive when the column is set.
    Ref column = get_item(df, key);
    Ref as_text = call_method(column.get(), names.astype,
                              {reinterpret_cast<PyObject*>(&PyUnicode_Type)});
    column.reset();
    Ref accessor = get_attr(as_text.get(), names.str_accessor);
    as_text.reset();
    Ref stripped = call_method(accessor.get(), names.strip);
    accessor.reset();
    assign_column(df, key, stripped.get());
}

// df[key] = pd.to_numeric(df[key], errors='coerce'): text that reads as a
// number becomes that number ("007" equals 7), anything else a missing value.
void clean_number_key(PyObject* df, PyObject* key)
{
    Ref pd = lookup_global(names.pd);
    Ref to_numeric = get_attr(pd.get(), names.to_numeric);
    Ref column = get_item(df, key);
    Ref numbers = call(to_numeric.get(), {column.get()}, {{names.errors, names.coerce}});
    column.reset();
    to_numeric.reset();
    assign_column(df, key, numbers.get());
}

// Runs `clean` over each entry of `keys` on the left copy, then on the right
// one; a side that lacks the column is skipped silently. `walk_line` is the
// source line of the loop; the four lines after it are the left test, the
// left cleaning, the right test and the right cleaning.
template <class Clean>
void clean_keys(CallFrame& frame, int walk_line, PyObject* keys, PyObject* df_l,
                PyObject* df_r, Clean clean)
{
    frame.at(walk_line);
    Ref walk = get_iter(keys);
    for (;;) {
        frame.at(walk_line);
        Ref key = next_item(walk.get());
        if (!key) {
            break;
        }
        frame.at(walk_line + 1);
        if (has_column(df_l, key.get())) {
            frame.at(walk_line + 2);
            clean(df_l, key.get());
        }
        frame.at(walk_line + 3);
        if (has_column(df_r, key.get())) {
            frame.at(walk_line + 4);
            clean(df_r, key.get());
        }
    }
}

// [k for k in merge_keys if k not in df.columns], in key-list order with
// repeats kept; the labels are read afresh for every key, as the
// comprehension does.
Ref keys_absent_from(PyObject* df, PyObject* merge_keys)
{
    Ref absent = new_list();
    Ref walk = get_iter(merge_keys);
    while (Ref k = next_item(walk.get())) {
        if (!has_column(df, k.get())) {
            list_append(absent.get(), k.get());
        }
    }
    return absent;
}

// df['MATCH_IDX'] = df.groupby(merge_keys, dropna=False).cumcount()
//
// Rows whose key values are missing (a numeric key whose text is no number)
// are numbered too, with the missing value counted as a key value of its own.
// Under the grouping's default they would get no number at all, the join
// would then pair every such left row with every such right row (the very
// product this function exists to prevent), and the column would turn into
// floats. Numbered, they pair one-to-one by occurrence like any other key.
void number_occurrences(PyObject* df, PyObject* merge_keys)
{
    Ref groupby = get_attr(df, names.groupby);
    Ref grouping = call(groupby.get(), {merge_keys}, {{names.dropna, Py_False}});
    Ref occurrence = call_method(grouping.get(), names.cumcount);
    grouping.reset();
    groupby.reset();
    assign_column(df, names.MATCH_IDX, occurrence.get());
}

// `keys or []` for a parameter that is exactly a list or None: a new empty
// list for None or an empty list, the caller's list otherwise (only read).
Ref keys_or_new_list(PyObject* keys)
{
    if (keys == Py_None || PyList_GET_SIZE(keys) == 0) {
        return new_list();
    }
    return Ref::borrow(keys);
}

}  // namespace

Ref merge_exact_match_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* const df_left = args[0];
    PyObject* const df_right = args[1];
    PyObject* const how = args[4];
    PyObject* const suffixes = args[5];

    // The right input is not looked at once the left one fails.
    frame.at(143);
    if (missing_or_empty(df_left) || missing_or_empty(df_right)) {
        frame.at(144);
        log_message(names.warning, names.merge_frames_missing);
        frame.at(145);
        return empty_frame();
    }

    frame.at(147);
    Ref str_keys = keys_or_new_list(args[2]);
    frame.at(148);
    Ref num_keys = keys_or_new_list(args[3]);
    // String keys first; a name in both lists stays twice.
    frame.at(149);
    Ref merge_keys = Ref::checked(PySequence_Concat(str_keys.get(), num_keys.get()));
    if (PyList_GET_SIZE(merge_keys.get()) == 0) {
        frame.at(152);
        log_message(names.error, names.merge_no_keys);
        frame.at(153);
        return empty_frame();
    }

    frame.at(156);
    Ref df_l = call_method(df_left, names.copy);
    frame.at(157);
    Ref df_r = call_method(df_right, names.copy);

    // Text cleaning runs completely before numeric cleaning, so a name listed
    // in both ends up numeric.
    clean_keys(frame, 160, str_keys.get(), df_l.get(), df_r.get(), clean_text_key);
    clean_keys(frame, 167, num_keys.get(), df_l.get(), df_r.get(), clean_number_key);

    frame.at(174);
    Ref missing_l = keys_absent_from(df_l.get(), merge_keys.get());
    frame.at(175);
    Ref missing_r = keys_absent_from(df_r.get(), merge_keys.get());
    if (PyList_GET_SIZE(missing_l.get()) != 0 || PyList_GET_SIZE(missing_r.get()) != 0) {
        frame.at(177);
        Ref left_text = text_of(missing_l.get());
        Ref right_text = text_of(missing_r.get());
        Ref message = concat({names.merge_left_missing, left_text.get(),
                              names.merge_right_missing, right_text.get()});
        log_message(names.error, message.get());
        frame.at(178);
        return empty_frame();
    }

    frame.at(181);
    number_occurrences(df_l.get(), merge_keys.get());
    frame.at(182);
    number_occurrences(df_r.get(), merge_keys.get());

    // pd.merge(df_l, df_r, on=merge_keys + ['MATCH_IDX'], how=how,
    //          suffixes=suffixes); the join's key list is a new list.
    frame.at(185);
    Ref pd = lookup_global(names.pd);
    Ref merge = get_attr(pd.get(), names.merge);
    frame.at(188);
    Ref join_keys = Ref::checked(PyList_GetSlice(merge_keys.get(), 0, PY_SSIZE_T_MAX));
    list_append(join_keys.get(), names.MATCH_IDX);
    frame.at(185);
    Ref result_df = call(merge.get(), {df_l.get(), df_r.get()},
                         {{names.on, join_keys.get()},
                          {names.how, how},
                          {names.suffixes, suffixes}});

    frame.at(194);
    if (has_column(result_df.get(), names.MATCH_IDX)) {
        frame.at(195);
        Ref drop = get_attr(result_df.get(), names.drop);
        Ref dropped_columns = new_list();
        list_append(dropped_columns.get(), names.MATCH_IDX);
        result_df = call(drop.get(), {}, {{names.columns, dropped_columns.get()}});
    }
    return result_df;
}

}  // namespace xt
