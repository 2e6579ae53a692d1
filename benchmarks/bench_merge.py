"""merge_exact_match against the same pandas operations written as a plain
Python function, measured in the same run.

Two 200,000-row frames, two string keys (codes with stray blanks, a region),
one numeric key (text on the left, numbers on the right), about 10% of the
rows repeating a key combination. CPU time and peak traced memory (tracemalloc)
are the median of 5 runs each; ours and the yardstick alternate (and take turns going first) so
drift of the machine hits both alike.

    python benchmarks/bench_merge.py          # full size
    python benchmarks/bench_merge.py --quick  # 20,000 rows

run(quick=False) returns rows (name, yardstick_seconds, ours_seconds, ratio);
for the rows whose name ends in "peak MiB" the two middle values are peak
traced memory in MiB instead of seconds.
"""
import gc
import logging
import statistics
import sys
import time
import tracemalloc

import numpy as np
import pandas as pd

import vorlatek.excelTools as et

ROWS = 200_000
QUICK_ROWS = 20_000
REPEATS = 5
TIME_TARGET = 1.02
MEMORY_TARGET = 1.05

log = logging.getLogger("vorlatek.excelTools")


def yardstick(df_left, df_right, str_keys=None, num_keys=None, how="inner",
              suffixes=("_x", "_y")):
    """The same pandas operations, in the same order, as plain Python."""
    if df_left is None or df_left.empty or df_right is None or df_right.empty:
        log.warning("One of the DataFrames is missing or empty. Cannot merge.")
        return pd.DataFrame()
    str_keys = str_keys or []
    num_keys = num_keys or []
    merge_keys = str_keys + num_keys
    if not merge_keys:
        log.error("No merge keys provided.")
        return pd.DataFrame()
    df_l = df_left.copy()
    df_r = df_right.copy()
    for key in str_keys:
        if key in df_l.columns:
            df_l[key] = df_l[key].astype(str).str.strip()
        if key in df_r.columns:
            df_r[key] = df_r[key].astype(str).str.strip()
    for key in num_keys:
        if key in df_l.columns:
            df_l[key] = pd.to_numeric(df_l[key], errors="coerce")
        if key in df_r.columns:
            df_r[key] = pd.to_numeric(df_r[key], errors="coerce")
    missing_l = [k for k in merge_keys if k not in df_l.columns]
    missing_r = [k for k in merge_keys if k not in df_r.columns]
    if missing_l or missing_r:
        log.error(f"Missing merge keys. Left missing: {missing_l}, Right missing: {missing_r}")
        return pd.DataFrame()
    df_l["MATCH_IDX"] = df_l.groupby(merge_keys, dropna=False).cumcount()
    df_r["MATCH_IDX"] = df_r.groupby(merge_keys, dropna=False).cumcount()
    result_df = pd.merge(df_l, df_r, on=merge_keys + ["MATCH_IDX"], how=how, suffixes=suffixes)
    if "MATCH_IDX" in result_df.columns:
        result_df = result_df.drop(columns=["MATCH_IDX"])
    return result_df


def make_frames(rows, seed=20240601):
    rng = np.random.default_rng(seed)
    regions = np.array(["North", "South", "East", "West", "Central"])

    def side(id_values, blank_share, numeric_as_text):
        # About 10% of the rows repeat the key of another row.
        ids = id_values.copy()
        repeat = rng.random(len(ids)) < 0.10
        ids[repeat] = rng.choice(ids[~repeat], repeat.sum())
        codes = np.char.add("C", np.char.zfill(ids.astype(str), 7))
        padded = rng.random(len(ids)) < blank_share
        codes = np.where(padded, np.char.add(np.char.add(" ", codes), "  "), codes)
        amount = (ids % 997).astype(np.int64)
        frame = pd.DataFrame({
            "code": codes.astype(object),
            "region": regions[ids % len(regions)].astype(object),
            "amount": amount.astype(str).astype(object) if numeric_as_text else amount,
            "value": rng.random(len(ids)),
            "label": np.char.add("row", np.arange(len(ids)).astype(str)).astype(object),
        })
        return frame.sample(frac=1.0, random_state=int(rng.integers(1 << 31))).reset_index(drop=True)

    all_ids = np.arange(int(rows * 1.1))
    left = side(rng.choice(all_ids, rows, replace=False), 0.2, True)
    right = side(rng.choice(all_ids, rows, replace=False), 0.05, False)
    return left, right


def _timed(fn, args, kwargs):
    # CPU time of this process: pandas runs these operations on one thread,
    # and on a shared machine wall time mostly measures the neighbours.
    gc.collect()
    start = time.process_time()
    fn(*args, **kwargs)
    return time.process_time() - start


def _peak(fn, args, kwargs):
    gc.collect()
    tracemalloc.start()
    try:
        fn(*args, **kwargs)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def _medians(measure, args, kwargs):
    ours, theirs = [], []
    for repeat in range(REPEATS):
        # Alternate which goes first, so neither always meets a warm cache.
        if repeat % 2 == 0:
            theirs.append(measure(yardstick, args, kwargs))
            ours.append(measure(et.merge_exact_match, args, kwargs))
        else:
            ours.append(measure(et.merge_exact_match, args, kwargs))
            theirs.append(measure(yardstick, args, kwargs))
    return statistics.median(theirs), statistics.median(ours)


def run(quick=False):
    rows = QUICK_ROWS if quick else ROWS
    left, right = make_frames(rows)
    args = (left, right, ["code", "region"], ["amount"])
    results = []
    for how in ("inner", "outer"):
        kwargs = {"how": how}
        check_ours = et.merge_exact_match(*args, **kwargs)
        check_theirs = yardstick(*args, **kwargs)
        assert check_ours.equals(check_theirs), f"results differ for how={how}"
        base, ours = _medians(_timed, args, kwargs)
        results.append((f"{how} {rows:,} rows time", base, ours, ours / base))
        base, ours = _medians(_peak, args, kwargs)
        mib = 1024.0 * 1024.0
        results.append((f"{how} {rows:,} rows peak MiB", base / mib, ours / mib, ours / base))
    return results


def main(argv):
    quick = "--quick" in argv
    print(f"pandas {pd.__version__}, Python {sys.version.split()[0]}, median of {REPEATS}")
    print(f"{'case':34} {'yardstick':>12} {'ours':>12} {'ratio':>7}  target")
    for name, base, ours, ratio in run(quick=quick):
        memory = name.endswith("peak MiB")
        unit = " MiB" if memory else " s"
        target = MEMORY_TARGET if memory else TIME_TARGET
        mark = "ok" if ratio <= target else "OVER"
        print(f"{name:34} {base:9.3f}{unit:4} {ours:9.3f}{unit:4} {ratio:7.3f}  <= {target} {mark}")


if __name__ == "__main__":
    main(sys.argv[1:])
