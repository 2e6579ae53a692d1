"""parse_cell and col_str_to_index."""
import re

import pytest

import vorlatek.excelTools as et
from helpers import module_entries


@pytest.mark.parametrize("text,expected", [
    ("F3", ("F", 3)),
    ("f3", ("F", 3)),
    ("AA10", ("AA", 10)),
    ("F03", ("F", 3)),
    ("A0", ("A", 0)),
    ("F3abc", ("F", 3)),
    ("F3:G5", ("F", 3)),
    ("Sheet1!A1", ("SHEET", 1)),
    ("ABCDEFG1", ("ABCDEFG", 1)),
    ("A\uff11\uff12", ("A", 12)),          # full-width digits
    ("B\u0663", ("B", 3)),                 # Arabic-Indic digit three
    ("x" + "9" * 50, ("X", int("9" * 50))),
    (" F3", (None, None)),
    ("$F$3", (None, None)),
    ("F 3", (None, None)),
    ("3F", (None, None)),
    ("AB", (None, None)),
    ("", (None, None)),
    ("\u00e9B3", (None, None)),            # accented letter first
    ("\u212a3", (None, None)),             # Kelvin sign is no ASCII letter
    (None, (None, None)),
    (5, (None, None)),
    (3.0, (None, None)),
    (b"F3", (None, None)),
])
def test_parse_cell(text, expected):
    result = et.parse_cell(text)
    assert result == expected
    assert type(result) is tuple
    if expected[0] is not None:
        assert type(result[0]) is str and type(result[1]) is int


def test_parse_cell_uses_str_of_non_str_objects():
    class Cell:
        def __str__(self):
            return "c12"

    class Text(str):
        def __str__(self):
            return "D4"

    assert et.parse_cell(Cell()) == ("C", 12)
    assert et.parse_cell(Text("zz")) == ("D", 4)  # a str subclass goes through str() too


def test_parse_cell_calls_re_match_through_the_module_global(et):
    calls = []

    class FakeRe:
        @staticmethod
        def match(*args, **kwargs):
            calls.append((args, kwargs))
            return re.match(*args)

    et.re = FakeRe
    assert et.parse_cell("Q9") == ("Q", 9)
    assert calls == [((r"([A-Za-z]+)(\d+)", "Q9"), {})]


@pytest.mark.parametrize("rebinding,error,line", [
    (lambda m: delattr(m, "re"), NameError, 15),
    (lambda m: setattr(m, "re", type("R", (), {"match": staticmethod(lambda p, s: 1)})),
     AttributeError, 17),
])
def test_parse_cell_failures_carry_the_line(et, rebinding, error, line):
    rebinding(et)
    with pytest.raises(error) as info:
        et.parse_cell("A1")
    if error is NameError:
        assert str(info.value) == "name 're' is not defined"
    assert module_entries(info.value) == [("vorlatek.excelTools.parse_cell", line)]


@pytest.mark.parametrize("text,expected", [
    ("A", 0), ("B", 1), ("Z", 25),
    ("AA", 26), ("AZ", 51), ("BA", 52),
    ("ZZ", 701), ("AAA", 702),
    ("XFD", 16383), ("xfd", 16383),
    ("", -1), ("@", -1), ("[", 26), ("1", -16), ("A1", 10), (" ", -33),
    ("\u00df", 512), ("SS", 512),
    ("Z" * 14, sum(26 * 26 ** k for k in range(14)) - 1),
    ("\U0010ffff", 0x10FFFF - 65),
])
def test_col_str_to_index(text, expected):
    assert et.col_str_to_index(text) == expected


def reference_index(text):
    idx = 0
    for char in text.upper():
        idx = idx * 26 + (ord(char) - 65) + 1
    return idx - 1


@pytest.mark.parametrize("length", [12, 13, 14, 15, 40, 500])
@pytest.mark.parametrize("alphabet", ["Z", "A", "\u00df", "\U0010ffff", "\x00", "m"])
def test_col_str_to_index_is_exact_at_any_length(alphabet, length):
    text = alphabet * length
    assert et.col_str_to_index(text) == reference_index(text)
