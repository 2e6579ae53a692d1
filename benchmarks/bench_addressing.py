"""parse_cell against its generic path (re.match through the module global) and
col_str_to_index against len() on the same text."""
import re
import sys
import types

sys.path.insert(0, __import__("os").path.dirname(__file__))
from common import median_seconds, print_rows  # noqa: E402

import vorlatek.excelTools as et  # noqa: E402


def run(quick=False):
    number = 100_000 if quick else 1_000_000
    rows = []
    parse_cell = et.parse_cell
    native = median_seconds(lambda: [parse_cell("F3") for _ in range(100)], number=number // 100)
    saved = et.re
    et.re = types.SimpleNamespace(match=re.match)  # not the genuine module: generic path
    try:
        generic = median_seconds(lambda: [parse_cell("F3") for _ in range(100)],
                                 number=number // 100)
    finally:
        et.re = saved
    rows.append(("parse_cell('F3') native vs generic path (s/100 calls)", generic, native,
                 native / generic))
    col = et.col_str_to_index
    ours = median_seconds(lambda: [col("XFD") for _ in range(100)], number=number // 100)
    yardstick = median_seconds(lambda: [len("XFD") for _ in range(100)], number=number // 100)
    rows.append(("col_str_to_index('XFD') vs len('XFD') (s/100 calls)", yardstick, ours,
                 ours / yardstick))
    return rows


if __name__ == "__main__":
    print_rows(run(quick="--quick" in sys.argv))
