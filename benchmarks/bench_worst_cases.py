"""The native reading route on the XML shapes that cost a careless scanner
most, beside the plain route on the same file: read_excel_by_cells as it
runs (the route) and read_excel_by_cells with `pd` rebound to a wrapper,
which leaves the whole read to pd.read_excel with openpyxl (the yardstick).
CPU seconds of the read (median) and the growth of the peak resident size
(VmHWM); each read runs in a child process of its own. Every shape is also
measured at twice its size: a linear read takes about twice the time.

    python benchmarks/bench_worst_cases.py [--scale F] [--quick] [--repeats N]

Shapes (at --scale 1):
- a comment holding an apostrophe ahead of the rows, then 1,000,000 cells
  (100,000 rows x 10 numbers);
- one inline text of 50 MB without an ASCII byte (three-byte characters);
- one cell tag with 100,000 attributes;
- a shared-string part of 200 MB (short distinct texts), a few cells using it.
--quick is --scale 0.1.

run(quick) gives (name, yardstick_cpu_s, module_cpu_s, ratio) rows and
run_memory(quick) (name, yardstick_peak_bytes, module_peak_bytes, ratio) rows
for benchmarks/run_all.py; main() prints the whole table with the 2x ratios.
"""
import functools
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import workbook_parts as wp  # noqa: E402

WIDTH = "ABCDEFGHIJ"
MAPPING = {"a": "A1", "b": "B1"}


def numbers_sheet(rows, before=""):
    body = "".join(f'<row r="{r}">' + "".join(f'<c r="{L}{r}"><v>{r * 10 + k}</v></c>' for k, L in enumerate(WIDTH))
                   + "</row>" for r in range(1, rows + 1))
    return wp.sheet_xml(body, before=before)


def comment_ahead(scale):
    rows = max(1, int(100_000 * scale))
    # Ahead of everything the route reads, the dimension included.
    sheet = numbers_sheet(rows).replace(f'<worksheet xmlns="{wp.MAIN}">',
                                        f"<worksheet xmlns=\"{wp.MAIN}\"><!-- the owner's note -->", 1)
    return f"comment with an apostrophe, {rows * len(WIDTH):,} cells", wp.package(
        [("Data", "worksheets/sheet1.xml", sheet, None)])


def text_without_ascii(scale):
    size = max(3, int(50_000_000 * scale)) // 3 * 3
    text = "\u3042" * (size // 3)
    cells = '<row r="1"><c r="A1" t="inlineStr"><is><t>' + text + '</t></is></c><c r="B1"><v>1</v></c></row>'
    cells += "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c></row>' for r in range(2, 11))
    return f"one text of {size / 1e6:,.0f} MB without ASCII", wp.package(
        [("Data", "worksheets/sheet1.xml", wp.sheet_xml(cells), None)])


def many_attributes(scale):
    count = max(1, int(100_000 * scale))
    attributes = "".join(f' a{k}="{k % 10}"' for k in range(count))
    cells = f'<row r="1"><c r="A1"{attributes}><v>1</v></c><c r="B1"><v>2</v></c></row>'
    cells += "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c></row>' for r in range(2, 11))
    return f"a tag with {count:,} attributes", wp.package(
        [("Data", "worksheets/sheet1.xml", wp.sheet_xml(cells), None)])


def large_shared_strings(scale):
    target = max(1000, int(200_000_000 * scale))
    item = "<si><t>shared text number {:09d} of the table, with some words after it</t></si>"
    count = target // len(item.format(0))
    strings = (wp.DECLARATION + f'<sst xmlns="{wp.MAIN}" count="{count}" uniqueCount="{count}">'
               + "".join(item.format(k) for k in range(count)) + "</sst>")
    cells = "".join(f'<row r="{r}"><c r="A{r}" t="s"><v>{r * 7 % count}</v></c><c r="B{r}"><v>{r}</v></c></row>'
                    for r in range(1, 11))
    return f"shared strings of {len(strings) / 1e6:,.0f} MB", wp.package(
        [("Data", "worksheets/sheet1.xml", wp.sheet_xml(cells), None)], strings=strings)


SHAPES = [comment_ahead, text_without_ascii, many_attributes, large_shared_strings]

CHILD = r"""
import gc, hashlib, json, statistics, sys, time, warnings
import pandas as pd
import vorlatek.excelTools as et
warnings.simplefilter("ignore")

def high_water_kb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

path, repeats, mapping, how = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3]), sys.argv[4]
if how == "plain":
    class Wrapped:
        def __getattr__(self, name):
            return getattr(pd, name)
    et.pd = Wrapped()
base_kb = high_water_kb()
times = []
for k in range(repeats):
    gc.collect()
    start = time.process_time()
    frame = et.read_excel_by_cells(path, mapping)
    times.append(time.process_time() - start)
    if k < repeats - 1:
        del frame
peak_kb = high_water_kb()
digest = hashlib.sha1(repr((list(frame.index), [str(t) for t in frame.dtypes],
                            frame.to_dict("list"))).encode()).hexdigest()
print("REPORT " + json.dumps({"cpu": statistics.median(times), "growth_kb": peak_kb - base_kb,
                              "shape": list(frame.shape), "digest": digest}))
"""


def measure(path, repeats, how):
    done = subprocess.run([sys.executable, "-c", CHILD, path, str(repeats), json.dumps(MAPPING), how],
                          capture_output=True, text=True, cwd=tempfile.gettempdir(), check=True)
    line = next(l for l in done.stdout.splitlines() if l.startswith("REPORT "))
    return json.loads(line[len("REPORT "):])


@functools.lru_cache(maxsize=None)
def results(scale, repeats=1):
    """[(shape name, {"route"|"plain": (report at 1x, report at 2x)})]."""
    out = []
    with tempfile.TemporaryDirectory() as folder:
        for shape in SHAPES:
            measured = {"route": [], "plain": []}
            name = None
            for factor in (1, 2):
                label, parts = shape(scale * factor)
                name = name or label
                path = wp.save(os.path.join(folder, f"{shape.__name__}-{factor}.xlsx"), parts)
                del parts
                for how in measured:
                    measured[how].append(measure(path, repeats, how))
                route, plain = measured["route"][-1], measured["plain"][-1]
                # The route's frame is the plain read's, to the last value and type.
                assert (route["shape"], route["digest"]) == (plain["shape"], plain["digest"]), label
                os.remove(path)
            out.append((name, measured))
    return tuple(out)


def run(quick=False):
    return [(f"worst case {name}", m["plain"][0]["cpu"], m["route"][0]["cpu"],
             m["route"][0]["cpu"] / m["plain"][0]["cpu"]) for name, m in results(0.1 if quick else 1.0)]


def run_memory(quick=False):
    def growth(report):
        return max(report["growth_kb"], 1) * 1024
    return [(f"worst case {name} (growth of the peak resident size)", growth(m["plain"][0]),
             growth(m["route"][0]), growth(m["route"][0]) / growth(m["plain"][0]))
            for name, m in results(0.1 if quick else 1.0)]


def main(argv):
    scale = 0.1 if "--quick" in argv else 1.0
    if "--scale" in argv:
        scale = float(argv[argv.index("--scale") + 1])
    repeats = int(argv[argv.index("--repeats") + 1]) if "--repeats" in argv else 1
    import pandas as pd

    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}, scale {scale:g}; CPU seconds "
          f"(median of {repeats}); memory = growth of the peak resident size; plain = the module with "
          "pd behind a wrapper (pd.read_excel with openpyxl)")
    print(f"{'shape':<44} {'plain s':>8} {'route s':>8} {'time x':>7} {'plain MB':>9} {'route MB':>9} "
          f"{'mem x':>6} {'2x: plain':>9} {'route':>6}")
    for name, m in results(scale, repeats):
        plain, route = m["plain"], m["route"]
        print(f"{name:<44} {plain[0]['cpu']:>8.3f} {route[0]['cpu']:>8.3f} "
              f"{route[0]['cpu'] / plain[0]['cpu']:>7.2f} {plain[0]['growth_kb'] / 1024:>9.1f} "
              f"{route[0]['growth_kb'] / 1024:>9.1f} "
              f"{max(route[0]['growth_kb'], 1) / max(plain[0]['growth_kb'], 1):>6.2f} "
              f"{plain[1]['cpu'] / plain[0]['cpu']:>9.2f} {route[1]['cpu'] / route[0]['cpu']:>6.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
