"""The native parse_cell path against the regular-expression path it replaces."""
import re
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorlatek.excelTools as et

# Characters that matter to the pattern, with plenty of near misses: ASCII
# letters, ASCII and other decimal digits, letters outside ASCII, digit-like
# characters that are not decimal (superscripts, Roman numerals), separators.
INTERESTING = (
    "AZaz" "bqxY" "0189"
    "\u0660\u0663\u06f5\u0966\uff10\uff19\U0001d7ce\U0001d7ff"  # decimal digits
    "\u00b2\u2163\u2460\u00bd"  # digits and numbers that are not decimal
    "\u00e9\u00df\u212a\u0130\u0131\uff21\u03a9"  # letters outside ASCII
    " $!:_-\t\x00"
)
pieces = st.one_of(
    st.text(alphabet=INTERESTING, max_size=8),
    st.text(max_size=4),
    st.from_regex(r"[A-Za-z]{1,4}[0-9]{1,6}", fullmatch=True),
    st.builds(lambda n, s: "A" + "7" * n + s, st.integers(0, 40), st.text(max_size=2)),
)
cell_texts = st.builds("".join, st.lists(pieces, max_size=3))


def generic(text):
    """parse_cell through a stand-in `re` whose match is the real one (the generic path)."""
    saved = et.re
    et.re = types.SimpleNamespace(match=re.match)
    try:
        return outcome(text)
    finally:
        et.re = saved


def outcome(text):
    try:
        return ("ok", et.parse_cell(text))
    except Exception as exc:  # both paths must fail alike
        return ("error", type(exc), str(exc))


def quick_texts(rng, count):
    """Cheap extra strings from hypothesis' random source, shaped like cell references."""
    letters = "ABCXYZabcxyz\u00e9\u212a"
    digits = "0123456789\u0663\uff11\u00b2"
    tails = ["", ":", "!", "a", "\u00df", " 1"]
    return [
        "".join(rng.choice(letters) for _ in range(rng.randint(0, 3)))
        + "".join(rng.choice(digits) for _ in range(rng.randint(0, rng.choice([2, 6, 25]))))
        + rng.choice(tails)
        for _ in range(count)
    ]


def compare_paths(texts, rng):
    for text in texts + quick_texts(rng, 90):
        assert outcome(text) == generic(text), repr(text)


def drawn_texts(examples):
    """The comparison over `examples` draws of 10 drawn and 90 derived strings."""
    return settings(max_examples=examples, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))(
        given(st.lists(cell_texts, min_size=10, max_size=10),
              st.randoms(use_true_random=False))(compare_paths))


# 10,000 strings on every run; 100,000 in the once-per-run scale pass.
test_native_path_matches_the_regular_expression = drawn_texts(100)
test_native_path_matches_the_regular_expression_at_scale = pytest.mark.scale(drawn_texts(1_000))


@pytest.mark.parametrize("text", [
    "A" + "1" * 4300,
    "A" + "1" * 4301,
    "B" + "\u0661" * 5000,
    "C" + "9" * 18 + "x",
    "D" + "9" * 19,
    "e" + "0" * 30,
])
def test_long_digit_runs_follow_int(text):
    assert outcome(text) == generic(text)


def test_native_path_is_left_when_re_match_is_replaced(et):
    calls = []
    real_match = re.match

    def recording_match(pattern, string):
        calls.append(string)
        return real_match(pattern, string)

    et.re.match = recording_match  # patch the genuine module's attribute
    try:
        assert et.parse_cell("K5") == ("K", 5)
    finally:
        et.re.match = real_match
    assert calls == ["K5"]
    assert sys.modules["re"].match is real_match
