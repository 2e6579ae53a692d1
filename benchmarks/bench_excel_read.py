"""Reading large workbooks: read_excel_by_cells beside the read it stands for,
pd.read_excel with the openpyxl engine (the yardstick), and beside two
native peers, pd.read_excel with the calamine engine and fastexcel handing
its table to pandas. CPU seconds of the read (median) and peak memory (the
peak resident size, VmHWM); every reader and case runs in a child process of
its own, so that the peak of one never hides in another's.

    python benchmarks/bench_excel_read.py [--quick] [--repeats N] [--wheel WHEEL]

--wheel adds the module as a user installs it: read_excel_by_cells from that
wheel (unpacked and put first on the child's path), beside the module of this
venv (a local build), so the two compilers and standard libraries are
compared in the same run.

Cases: 100,000 x 10 mixed cells written by xlsxwriter (unique codes,
repeated Japanese and Latin text, ints, floats, bools, dates, blanks), 100,000
x 10 distinct texts, and a 10-row file; --quick takes 10,000 rows. Each read
takes the first sheet without its header row, columns A to J.

The peers are only measured where they are installed, which the test venvs
never are: `bash scripts/bench-read-venv.sh` makes .venv/py3.12-bench with
them (and its own build of the module).

run(quick) gives (name, yardstick_cpu_s, module_cpu_s, ratio) rows and
run_memory(quick) (name, yardstick_peak_bytes, module_peak_bytes, ratio) rows
for benchmarks/run_all.py; main() prints the whole table with the peers.
"""
import datetime
import functools
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import zipfile

import xlsxwriter

COLUMNS = "ABCDEFGHIJ"
NAMES = [f"col_{letter}" for letter in COLUMNS]
MAPPING = {name: f"{letter}2" for name, letter in zip(NAMES, COLUMNS)}

# --- the files ---------------------------------------------------------------

JAPANESE = ["東京都千代田区", "大阪府大阪市", "名古屋", "ボールペン 黒", "クリアファイル", "株式会社サンプル"]
LATIN = ["Widget", "Gadget large", "Spare part", "Service fee", "Shipping", "Discount"]


def write_mixed(path, rows):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("report")
    date_style = book.add_format({"num_format": "yyyy-mm-dd"})
    sheet.write_row(0, 0, ["code", "name_ja", "name_en", "qty", "price", "paid", "shipped", "note",
                           "amount", "region"])
    start = datetime.datetime(2024, 1, 1)
    for r in range(1, rows + 1):
        sheet.write_string(r, 0, f"P{r:07d}")
        sheet.write_string(r, 1, JAPANESE[r % len(JAPANESE)])
        sheet.write_string(r, 2, LATIN[r % len(LATIN)])
        sheet.write_number(r, 3, r % 1000)
        sheet.write_number(r, 4, r * 0.25 + 0.125)
        sheet.write_boolean(r, 5, r % 3 == 0)
        sheet.write_datetime(r, 6, start + datetime.timedelta(days=r % 730), date_style)
        if r % 4 == 0:  # a sparse note column: blanks in between
            sheet.write_string(r, 7, "check")
        sheet.write_number(r, 8, (r % 97) * 10)
        if r % 5:
            sheet.write_string(r, 9, LATIN[(r // 7) % len(LATIN)])
    book.close()


def write_distinct_texts(path, rows):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("texts")
    sheet.write_row(0, 0, NAMES)
    for r in range(1, rows + 1):
        for c in range(len(COLUMNS)):
            sheet.write_string(r, c, f"text {r}-{c} {JAPANESE[(r + c) % len(JAPANESE)]}")
    book.close()


def cases(quick):
    rows = 10_000 if quick else 100_000
    return [
        (f"mixed {rows:,} x 10 ({rows * 10 // 1000:,}k cells)", write_mixed, rows),
        (f"distinct texts {rows:,} x 10", write_distinct_texts, rows),
        ("mixed 10 x 10", write_mixed, 10),
    ]


# --- the readers, each run in a child ------------------------------------------

READERS = {
    "read_excel_by_cells": "import vorlatek.excelTools as et\n"
                           "read = lambda: et.read_excel_by_cells(path, mapping)",
    # The plain read the module stands for (the engine named: in a venv with
    # python-calamine pandas 3.1 would warn on the default).
    "pd.read_excel openpyxl": "read = lambda: pd.read_excel(path, usecols=use_cols, skiprows=1, header=None,"
                              " names=names, engine='openpyxl').dropna(how='all')",
    "pd.read_excel calamine": "read = lambda: pd.read_excel(path, usecols=use_cols, skiprows=1, header=None,"
                              " names=names, engine='calamine').dropna(how='all')",
    "fastexcel": "import fastexcel\n"
                 "read = lambda: fastexcel.read_excel(path).load_sheet(0, header_row=None, skip_rows=1,"
                 " use_columns=list(range(len(names)))).to_pandas()",
}
NEEDS = {"pd.read_excel calamine": "python_calamine", "fastexcel": "fastexcel"}
YARDSTICK = "pd.read_excel openpyxl"
WHEEL_READER = "read_excel_by_cells wheel"
READERS[WHEEL_READER] = READERS["read_excel_by_cells"]
# Folder of the unpacked wheel given by --wheel (put first on the path of the
# WHEEL_READER child); None without one.
wheel_folder = None

CHILD = r"""
import gc, hashlib, json, statistics, sys, time, warnings
import pandas as pd
warnings.simplefilter("ignore")

def high_water_kb():
    # The peak resident size of this process image (ru_maxrss would also
    # count the parent's size at the fork).
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

path, repeats, names = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
mapping = {n: n[-1] + "2" for n in names}
use_cols = ",".join(n[-1] for n in names)
{reader}
base_kb = high_water_kb()
times = []
for _ in range(repeats):
    gc.collect()
    start = time.process_time()
    frame = read()
    times.append(time.process_time() - start)
    if _ < repeats - 1:
        del frame
peak_kb = high_water_kb()
digest = hashlib.sha1(repr((list(frame.index), [str(t) for t in frame.dtypes],
                            frame.to_dict("list"))).encode()).hexdigest()
print("REPORT " + json.dumps({"cpu": statistics.median(times), "base_kb": base_kb, "peak_kb": peak_kb,
                              "shape": list(frame.shape), "digest": digest}))
"""


def available(reader):
    if reader == WHEEL_READER:
        return wheel_folder is not None
    module = NEEDS.get(reader)
    return module is None or importlib.util.find_spec(module) is not None


def measure(reader, path, repeats):
    code = CHILD.replace("{reader}", READERS[reader])
    env = dict(os.environ)
    if reader == WHEEL_READER:
        env["PYTHONPATH"] = wheel_folder
        code += "\nassert et.__file__.startswith(__import__('os').environ['PYTHONPATH']), et.__file__\n"
    done = subprocess.run([sys.executable, "-c", code, path, str(repeats), json.dumps(NAMES)],
                          capture_output=True, text=True, cwd=tempfile.gettempdir(), check=True, env=env)
    line = next(l for l in done.stdout.splitlines() if l.startswith("REPORT "))
    return json.loads(line[len("REPORT "):])


@functools.lru_cache(maxsize=None)
def results(quick, repeats=None):
    """{case name: {reader: report}}; every reader that is installed."""
    out = {}
    with tempfile.TemporaryDirectory() as folder:
        for name, write, rows in cases(quick):
            path = os.path.join(folder, f"{write.__name__}-{rows}.xlsx")
            write(path, rows)
            count = repeats or (3 if rows >= 10_000 else 7)
            out[name] = {reader: measure(reader, path, count) for reader in READERS if available(reader)}
            module, plain = out[name]["read_excel_by_cells"], out[name][YARDSTICK]
            # The module's frame is the plain read's, to the last value and type.
            assert (module["shape"], module["digest"]) == (plain["shape"], plain["digest"]), name
            if WHEEL_READER in out[name]:
                wheel = out[name][WHEEL_READER]
                assert (wheel["shape"], wheel["digest"]) == (plain["shape"], plain["digest"]), name
    return out


def run(quick=False):
    return [(f"excel read {name}", r[YARDSTICK]["cpu"], r["read_excel_by_cells"]["cpu"],
             r["read_excel_by_cells"]["cpu"] / r[YARDSTICK]["cpu"]) for name, r in results(quick).items()]


def run_memory(quick=False):
    def growth(report):
        return (report["peak_kb"] - report["base_kb"]) * 1024
    return [(f"excel read {name} (growth of the peak resident size)", growth(r[YARDSTICK]), growth(r["read_excel_by_cells"]),
             growth(r["read_excel_by_cells"]) / max(growth(r[YARDSTICK]), 1)) for name, r in results(quick).items()]


def main(argv):
    quick = "--quick" in argv
    repeats = int(argv[argv.index("--repeats") + 1]) if "--repeats" in argv else None
    import pandas as pd

    if "--wheel" in argv:
        global wheel_folder
        wheel_folder = tempfile.mkdtemp(prefix="bench-wheel-")
        zipfile.ZipFile(argv[argv.index("--wheel") + 1]).extractall(wheel_folder)

    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}; CPU seconds are medians; "
          "peak = highest resident size of the reader's own process, growth = peak minus the size after imports")
    missing = [r for r in READERS if not available(r)]
    if missing:
        print(f"not installed here, left out: {', '.join(missing)} (bash scripts/bench-read-venv.sh)")
    print(f"{'case':<34} {'reader':<24} {'CPU s':>8} {'x openpyxl':>10} {'peak MB':>8} {'growth MB':>9}")
    for name, reports in results(quick, repeats).items():
        yard = reports[YARDSTICK]["cpu"]
        for reader, report in reports.items():
            print(f"{name:<34} {reader:<24} {report['cpu']:>8.3f} {yard / report['cpu']:>10.1f} "
                  f"{report['peak_kb'] / 1024:>8.0f} {(report['peak_kb'] - report['base_kb']) / 1024:>9.0f}")


if __name__ == "__main__":
    main(sys.argv[1:])
