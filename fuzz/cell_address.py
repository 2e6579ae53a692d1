"""parse_cell's native path against the regular-expression route, and
col_str_to_index against the plain formula: equal results, equal errors.

The module parses natively only while its `re` is the genuine module; bound
to a stand-in whose match is the real re.match, it takes the generic route.
"""
import re
import types

import atheris

import vorlatek.excelTools as et

from common import expect, run, shaped_text

GENUINE_RE = et.re
STAND_IN_RE = types.SimpleNamespace(match=re.match)


class Text(str):
    """A str subclass: parse_cell reads it through str()."""


def outcome(function, argument):
    try:
        return ("ok", function(argument))
    except Exception as exc:
        return ("error", type(exc), str(exc))


def parsed_both_ways(argument):
    et.re = GENUINE_RE
    native = outcome(et.parse_cell, argument)
    et.re = STAND_IN_RE
    try:
        generic = outcome(et.parse_cell, argument)
    finally:
        et.re = GENUINE_RE
    return native, generic


def column_index_by_formula(letters):
    if letters == "":
        return -1
    index = 0
    for char in letters.upper():
        index = index * 26 + ord(char) - 65 + 1
    return index - 1


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    text = shaped_text(fdp, 40)
    if fdp.ConsumeBool():
        # A long digit run: the native path switches to int() beyond 18 digits.
        text += fdp.PickValueInList(["7", "0", "\u0663"]) * fdp.ConsumeIntInRange(0, 40)
        text += shaped_text(fdp, 4)
    argument = Text(text) if fdp.ConsumeIntInRange(0, 7) == 0 else text

    native, generic = parsed_both_ways(argument)
    expect(native == generic, repr(text), native, generic)
    if native[0] == "ok":
        letters, row = native[1]
        expect(type(letters) is type(row) is type(None) or
               (type(letters) is str and type(row) is int and row >= 0), repr(text), native)

    expected = outcome(column_index_by_formula, text)
    got = outcome(et.col_str_to_index, text)
    expect(got == expected and type(got[1]) is type(expected[1]), repr(text), got, expected)


if __name__ == "__main__":
    run(test_one_input)
